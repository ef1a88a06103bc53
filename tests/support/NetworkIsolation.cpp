#include "support/NetworkIsolation.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace tessel::test {
namespace {

bool BringLoopbackUp() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up && !(request.ifr_flags & IFF_UP)) {
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  close(fd);
  return up;
}

bool Isolate() {
  // As root a new network namespace is enough; otherwise a user namespace grants the right to
  // make one. Either must happen while the process still has a single thread.
  if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
  return BringLoopbackUp();
}

const bool g_isolated = Isolate();

}  // namespace

bool NetworkIsolated() {
  return g_isolated;
}

}  // namespace tessel::test
