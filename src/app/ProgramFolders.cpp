#include "app/ProgramFolders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app/UserFolders.h"
#include "base/ProgramFolder.h"

namespace fs = std::filesystem;

namespace tessel {

ProgramFolders ProgramFolders::Locate(const std::string& executable_folder,
                                      const std::string& data_home) {
  ProgramFolders folders;
  folders.executable = executable_folder;
  const fs::path executable(executable_folder);
  const fs::path beside = executable / "web";
  const fs::path shared = executable.parent_path() / "share" / "tessel" / "web";
  std::error_code ec;
  folders.installed = !fs::is_directory(beside, ec) && fs::is_directory(shared, ec);
  if (!folders.installed) {
    folders.web = beside.string();
    folders.data = executable_folder;
  } else {
    folders.web = shared.string();
    folders.data =
        data_home.empty() ? executable_folder : (fs::path(data_home) / "tessel").string();
  }
  return folders;
}

ProgramFolders ProgramFolders::OfThisProcess() {
  return Locate(ExecutableFolder(), DataHome());
}

bool MakePrivateFolder(const std::string& folder, std::string* error) {
  fs::path partial;
  for (const fs::path& part : fs::path(folder).lexically_normal()) {
    if (part.empty()) continue;  // after a trailing "/"
    partial /= part;
    if (mkdir(partial.c_str(), 0700) == 0) {
      // The umask may have taken bits away; the user needs them all.
      chmod(partial.c_str(), 0700);
      continue;
    }
    const int failure = errno;
    struct stat status {};
    if (failure == EEXIST && stat(partial.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
      continue;
    if (error)
      *error = partial.string() + ": " + std::strerror(failure == EEXIST ? ENOTDIR : failure);
    return false;
  }
  return true;
}

}  // namespace tessel
