#include "support/utc.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace orvel {

std::string utc_text(double epoch_seconds) {
  // Round to whole microseconds first (half to even, like the platform's own tools), so a
  // value just below a second boundary does not print as ".1000000".
  const double micros_total = std::nearbyint(epoch_seconds * 1e6);
  auto total = static_cast<long long>(micros_total);
  long long secs = total / 1000000;
  long long micros = total % 1000000;
  if (micros < 0) {
    micros += 1000000;
    secs -= 1;
  }
  const time_t t = static_cast<time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  if (micros != 0) n += std::snprintf(buf + n, sizeof buf - n, ".%06lld", micros);
  std::snprintf(buf + n, sizeof buf - n, "+00:00");
  return buf;
}

}  // namespace orvel
