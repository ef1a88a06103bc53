#include "app/DesktopModule.h"

#include <dlfcn.h>

#include <filesystem>

namespace tessel {

DesktopFrontEnd* LoadDesktopModule(const std::string& program_folder, std::string* error) {
  std::string path = program_folder + "/" + kDesktopModuleName;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec))
    path = program_folder + "/" + kInstalledModuleFolder + "/" + kDesktopModuleName;
  // Never closed: the window, the application object and their statics belong to it.
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    if (error) *error = dlerror();
    return nullptr;
  }
  using Entry = DesktopFrontEnd* (*)();
  auto entry = reinterpret_cast<Entry>(dlsym(module, kDesktopEntryName));
  DesktopFrontEnd* desktop = entry ? entry() : nullptr;
  if (!desktop && error) *error = path + " has no desktop in it";
  return desktop;
}

}  // namespace tessel
