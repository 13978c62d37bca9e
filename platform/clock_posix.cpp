#include "platform/clock.h"

#include <errno.h>
#include <time.h>

namespace platform {

UtcTime CurrentUtcTime() {
  time_t now = time(nullptr);
  struct tm parts;
  gmtime_r(&now, &parts);
  UtcTime t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  return t;
}

void SleepMs(std::uint32_t milliseconds) {
  struct timespec request;
  request.tv_sec = milliseconds / 1000;
  request.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

std::int64_t MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace platform
