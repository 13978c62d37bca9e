#include "platform/clock.h"

#include <windows.h>

namespace platform {

UtcTime CurrentUtcTime() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  UtcTime t;
  t.year = now.wYear;
  t.month = now.wMonth;
  t.day = now.wDay;
  t.hour = now.wHour;
  t.minute = now.wMinute;
  t.second = now.wSecond;
  return t;
}

void SleepMs(std::uint32_t milliseconds) {
  // Sleep may wake a tick early; the pause is made whole against the
  // monotonic clock.
  std::int64_t deadline = MonotonicMs() + milliseconds;
  for (std::int64_t left = milliseconds; left > 0; left = deadline - MonotonicMs()) Sleep(static_cast<DWORD>(left));
}

std::int64_t MonotonicMs() {
  // The performance counter, not the tick count, whose steps are as coarse
  // as the system timer's (often 15.6 ms).
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<std::int64_t>(now.QuadPart / frequency * 1000 + now.QuadPart % frequency * 1000 / frequency);
}

}  // namespace platform
