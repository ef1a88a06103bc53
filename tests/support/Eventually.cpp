#include "support/Eventually.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#ifndef TESSEL_TIME_SCALE
#define TESSEL_TIME_SCALE 1
#endif

namespace tessel::test {

int TimeScale() {
  static const int scale = [] {
    const char* text = std::getenv("TESSEL_TIME_SCALE");
    const int given = text ? std::atoi(text) : 0;
    return given >= 1 ? given : TESSEL_TIME_SCALE;
  }();
  return scale;
}

std::chrono::milliseconds Scaled(std::chrono::milliseconds bound) {
  return bound * TimeScale();
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(within);
  // A millisecond at first, so that what happens at once is seen at once; then less often.
  std::chrono::microseconds pause(1000);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
  return true;
}

}  // namespace tessel::test
