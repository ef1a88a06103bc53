#include "base/ProgramFolder.h"

#include <filesystem>
#include <system_error>

namespace tessel {

std::string ExecutablePath() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

std::string ExecutableFolder() {
  const std::string exe = ExecutablePath();
  return exe.empty() ? exe : std::filesystem::path(exe).parent_path().string();
}

}  // namespace tessel
