#pragma once
#include <atomic>
#include <chrono>

namespace tessel {

// Waits until the socket has one of the poll events, the deadline passes, or cancel (when given)
// is set, which is looked at every 50 ms. True when the events came first.
bool WaitForSocket(int fd, short events, std::chrono::steady_clock::time_point deadline,
                   const std::atomic<bool>* cancel);

}  // namespace tessel
