#include "app/DisplayCheck.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tessel {
namespace {

std::string_view Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string_view(value) : std::string_view();
}

// Connects to a Unix socket, abstract (leading NUL) or in the file system.
bool SocketAnswers(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (path.size() + offset >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                  path.size() + (abstract ? 0 : 1));
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  close(fd);
  return answered;
}

// An X display on this computer (":0", "unix:1.0") listens at /tmp/.X11-unix/X<n>, in the file
// system or the abstract name space. Remote displays ("host:10.0") are left to Qt.
bool XDisplayAnswers(std::string_view display) {
  const size_t colon = display.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  std::string_view number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  const std::string path = "/tmp/.X11-unix/X" + std::string(number);
  return SocketAnswers(path, true) || SocketAnswers(path, false);
}

}  // namespace

bool DisplayAvailable(std::string* reason) {
  static constexpr std::array<std::string_view, 5> kWithoutDisplay = {"offscreen", "minimal", "vnc",
                                                                      "linuxfb", "eglfs"};
  const std::string_view platform = Env("QT_QPA_PLATFORM");
  for (std::string_view name : kWithoutDisplay)
    if (platform.starts_with(name)) return true;
  if (!Env("WAYLAND_DISPLAY").empty()) return true;
  const std::string_view display = Env("DISPLAY");
  if (display.empty()) {
    if (reason) *reason = "no display (DISPLAY and WAYLAND_DISPLAY are not set)";
    return false;
  }
  if (!XDisplayAnswers(display)) {
    if (reason) *reason = "the display " + std::string(display) + " does not answer";
    return false;
  }
  return true;
}

}  // namespace tessel
