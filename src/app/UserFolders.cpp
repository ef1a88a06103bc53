#include "app/UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

// The variable's value when it names an absolute path: the rules ignore a relative one.
const char* AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' ? value : nullptr;
}

std::string BelowHome(const char* relative) {
  const std::string home = tessel::HomeFolder();
  if (home.empty()) return "";
  return (home == "/" ? "" : home) + "/" + relative;
}

}  // namespace

std::string tessel::HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir)
    return found->pw_dir;
  return "";
}

std::string tessel::ConfigHome() {
  if (const char* config = AbsoluteFromEnvironment("XDG_CONFIG_HOME")) return config;
  return BelowHome(".config");
}

std::string tessel::DataHome() {
  if (const char* data = AbsoluteFromEnvironment("XDG_DATA_HOME")) return data;
  return BelowHome(".local/share");
}
