#include "app/DesktopModule.h"

#include <dlfcn.h>

namespace tessel {

DesktopFrontEnd* LoadDesktopModule(const std::string& folder, std::string* error) {
  const std::string path = folder + "/" + kDesktopModuleName;
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
