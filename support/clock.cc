#include "support/clock.h"

#include <time.h>

namespace orvel {

namespace {
double read(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
}  // namespace

double SystemClock::monotonic() const {
  return read(CLOCK_MONOTONIC);
}
double SystemClock::wall() const {
  return read(CLOCK_REALTIME);
}

const SystemClock& SystemClock::instance() {
  static const SystemClock clock;
  return clock;
}

}  // namespace orvel
