#include "base/TimeStamp.h"

#include <ctime>

namespace tessel {

std::string CurrentTimeStamp() {
  // The text changes once a second: each thread keeps its own, so that the C library's time-zone
  // lock is taken once a second per thread at most.
  thread_local std::time_t stamped = -1;
  thread_local char text[32] = {};
  const std::time_t now = std::time(nullptr);
  if (now != stamped) {
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    stamped = now;
  }
  return text;
}

}  // namespace tessel
