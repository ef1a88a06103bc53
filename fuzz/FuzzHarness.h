#pragma once
// What every fuzz target sets up the same way: checks that name the failed line, a temporary
// program folder removed at exit, and the program's stores and running service over it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "service/ServiceStack.h"

namespace fuzz {

// Names the failed check, so that a crash report says which property broke.
inline void CheckAt(bool condition, const char* file, int line) {
  if (condition) return;
  std::fprintf(stderr, "check failed at %s:%d\n", file, line);
  std::abort();
}

// A loopback port that was free a moment ago (fuzz/run runs each target in a network namespace
// of its own).
inline int FreeLoopbackPort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

// A fresh folder under the temporary folder, removed with its contents when the process exits.
inline std::string TemporaryFolder(const std::string& name) {
  static std::string folder;
  std::string pattern = (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) return "";
  folder = pattern;
  std::atexit([] {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
  });
  return folder;
}

// The program's stores on a temporary program folder, opened, and its service running on a
// free loopback port (the line readers give up on a stopped service). Made once per process.
inline CServiceStack& Stack(const std::string& name, std::chrono::milliseconds io_timeout) {
  static CServiceStack* made = [&] {
    static CServiceStack stack({.data_folder = TemporaryFolder(name), .io_timeout = io_timeout});
    const bool ready = stack.OpenStores() && stack.service.Start(FreeLoopbackPort());
    CheckAt(ready, __FILE__, __LINE__);
    return &stack;
  }();
  return *made;
}

}  // namespace fuzz

#define Check(condition) fuzz::CheckAt((condition), __FILE__, __LINE__)
