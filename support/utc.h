#pragma once
#include <string>

namespace orvel {

// A point in time (seconds since the epoch) as ISO 8601 UTC text with a "+00:00" offset:
// "2024-05-01T09:00:00+00:00", or with ".ffffff" microseconds when they are not zero.
std::string utc_text(double epoch_seconds);

}  // namespace orvel
