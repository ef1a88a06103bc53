#pragma once
// Time in tests: bounds on wall-clock time scaled for slow builds, and waiting for a condition
// instead of sleeping for a guess.
#include <chrono>
#include <functional>

namespace tessel::test {

// How many times longer than in a plain build a test may take here: sanitizer builds run several
// times slower, and CI shares two cores among them. TESSEL_TIME_SCALE in the environment (a
// whole number of at least 1) overrides the build's own: 1, or 4 with a sanitizer.
int TimeScale();

// An upper bound on wall-clock time, scaled for this build.
std::chrono::milliseconds Scaled(std::chrono::milliseconds bound);

// How long Eventually waits by default: ample for anything that works, short enough that a
// condition that never holds fails the test long before ctest's time-out.
inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(10);

// Polls condition until it holds (true) or Scaled(within) has passed (false, after a last look):
// every millisecond at first, every 10 ms after a while.
bool Eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds within = kPatience);

}  // namespace tessel::test
