#pragma once
// The flight-command kinds a signed envelope may ask for, in their fixed order.
#include <array>
#include <string_view>

namespace orvel::commands {

inline constexpr std::array<std::string_view, 6> KINDS = {"land",    "return_home", "hold",
                                                          "takeoff", "goto",        "velocity"};

inline bool is_kind(std::string_view kind) {
  for (auto k : KINDS)
    if (k == kind) return true;
  return false;
}

}  // namespace orvel::commands
