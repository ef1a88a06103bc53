#include "net/SocketWait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace tessel {

namespace {

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool WaitForSocket(int fd, short events, std::chrono::steady_clock::time_point deadline,
                   const std::atomic<bool>* cancel) {
  // Looks at the cancel flag this often while waiting.
  constexpr int kCancelCheckMs = 50;
  for (;;) {
    if (cancel && cancel->load()) return false;
    pollfd p{fd, events, 0};
    const int left = MillisecondsLeft(deadline);
    const int n = poll(&p, 1, std::min(left, kCancelCheckMs));
    if (n > 0) return true;
    if ((n < 0 && errno != EINTR) || left == 0) return false;
  }
}

}  // namespace tessel
