#pragma once

#include <string>

#include "app/DesktopFrontEnd.h"

// The window lives in a module of its own beside the program, opened only when a window is to
// be shown: a headless server never maps Qt Widgets and the libraries they pull in, which would
// cost it several MiB of resident memory. The module finds start-up, the stores and the service
// in the program, which exports them.
namespace tessel {

inline constexpr const char* kDesktopModuleName = "tessel-desktop.so";
// Where an installed program keeps the module, from the program's folder.
inline constexpr const char* kInstalledModuleFolder = "../lib/tessel";
// The module's one entry: extern "C" DesktopFrontEnd* TesselDesktopFrontEnd().
inline constexpr const char* kDesktopEntryName = "TesselDesktopFrontEnd";

// Opens kDesktopModuleName beside the program in program_folder (a build, a portable copy) or
// else in kInstalledModuleFolder from it (installed), and returns its front end, which lives as
// long as the process. nullptr, with *error saying why, when the module is missing or unusable.
DesktopFrontEnd* LoadDesktopModule(const std::string& program_folder, std::string* error);

}  // namespace tessel
