// The sleep layer: pauses last at least their time, and on Windows the 1 ms
// timer period is held while the program pauses and given back.
#include "platform/sleep.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(Sleep, PausesLastAtLeastTheirTimeAndHoldTheTimerPeriodOnWindows) {
  using Clock = std::chrono::steady_clock;
#ifdef _WIN32
  constexpr unsigned kHeld = 1;
#else
  constexpr unsigned kHeld = 0;
#endif
  platform_sleep_release();  // whatever an earlier test in this process took
  EXPECT_EQ(platform_sleep_timer_period(), 0u);
  const Clock::time_point start = Clock::now();
  platform_sleep_ms(2);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2));
  EXPECT_EQ(platform_sleep_timer_period(), kHeld);
  platform_sleep_release();
  platform_sleep_release();
  EXPECT_EQ(platform_sleep_timer_period(), 0u);
  platform_sleep_ms(0);  // the next pause asks again
  EXPECT_EQ(platform_sleep_timer_period(), kHeld);
}

// The paced pauses of an update: each ends at its deadline or after, with no
// earlier pause having taken a timer period, and none is left held after it.
TEST(Sleep, PausesUntilADeadlineOnTheirOwn) {
  using Clock = std::chrono::steady_clock;
  platform_sleep_release();
  for (int i = 0; i < 20; ++i) {
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(1900);
    platform_sleep_until(deadline);
    EXPECT_GE(Clock::now(), deadline);
  }
  platform_sleep_until(Clock::now() - std::chrono::milliseconds(1));  // past: at once
  EXPECT_EQ(platform_sleep_timer_period(), 0u);
}

}  // namespace
