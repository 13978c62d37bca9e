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

void SleepMs(std::uint32_t milliseconds) { Sleep(milliseconds); }

std::int64_t MonotonicMs() { return static_cast<std::int64_t>(GetTickCount64()); }

}  // namespace platform
