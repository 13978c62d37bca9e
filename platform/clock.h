// Time: the UTC calendar date and time, pauses, and a monotonic clock.
#pragma once

#include <cstdint>

namespace platform {

struct UtcTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

UtcTime CurrentUtcTime();
void SleepMs(std::uint32_t milliseconds);
// Milliseconds from an arbitrary start; never goes backwards.
std::int64_t MonotonicMs();

}  // namespace platform
