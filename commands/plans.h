#pragma once
// Flight commands turned into MAVLink: for a verified command's kind and arguments, the steps
// to send one after the other and the target, the vehicle state that shows the command done.
// Each autopilot family gets its own commands for the same kind. Free functions, no state.
//
//   Plan p = plan("takeoff", args, state);   // throws Rejected
//   ... send p.steps ...
//   if (reached(p.target, state)) ...;
//
// Targets are JSON objects of one of these shapes:
//   {"mode": kind}                          land, return_home, hold (and the end of velocity)
//   {"alt_rel": m}                          takeoff
//   {"lat": deg, "lon": deg, "alt_rel": m}  goto
//   {"velocity": velocity_args(args)}       velocity, streamed by the executor
//
// Argument values come from the platform. Each is a JSON number or text holding one, read as
// python's float() reads text but kept to plain decimal notation: surrounding ASCII white
// space, an optional sign, digits with an optional point, an optional exponent ("1e3",
// ".5", " -2.0 "). The words nan, inf and infinity (any case, optional sign) are read too and
// then refused by the finiteness check, like a JSON NaN. Anything else (booleans, arrays,
// objects, "1_000", "0x10", non-ASCII digits) is not a number. Decimal text too large for a
// double reads as an infinity, too small as zero. Every refusal of an argument has code
// "bad_envelope" and a detail that names the argument.

#include <string_view>
#include <vector>

#include "commands/rejected.h"
#include "commands/vehicle_state.h"
#include "support/json.h"

namespace orvel::commands {

inline constexpr double MAX_SPEED_MS = 8.0;    // largest horizontal speed
inline constexpr double MAX_CLIMB_MS = 3.0;    // largest vertical speed
inline constexpr double MAX_VELOCITY_S = 5.0;  // longest velocity command
inline constexpr double ARRIVED_M = 3.0;       // horizontal distance that counts as arrived
inline constexpr double ARRIVED_ALT_M = 2.0;   // height difference that counts as arrived

struct Plan {
  std::vector<Step> steps;
  Json target;
};

// The steps and target of flight command `kind` with arguments `args` (an object; null counts
// as an empty one) for the vehicle of `state`. Throws Rejected:
//   "bad_envelope"  args is not an object; an argument is missing, not a number, not finite,
//                   or out of range (latitude beyond ±90, longitude beyond ±180, an altitude
//                   that a MAVLink float cannot carry); a velocity refused by velocity_args;
//                   an unknown kind ("Unknown command " + kind + ".").
//   "no_position"   takeoff, goto and velocity before the autopilot reported a position. This
//                   is checked before the arguments are read.
// "args is not an object." is checked first, for every kind: such a command is malformed as a
// whole, and nothing of it is sent.
Plan plan(std::string_view kind, const Json& args, const VehicleState& state);

// The limited velocity of a velocity command: {"north", "east", "up", "yaw_rate", "seconds"}
// in this member order (m/s, m/s, m/s, degrees/s, s). A missing member, null, false, zero or
// empty text counts as 0.0. Values are clamped: each horizontal component and then the
// horizontal speed to MAX_SPEED_MS, up to MAX_CLIMB_MS, yaw rate to 90 degrees/s, seconds to
// MAX_VELOCITY_S. Arguments are examined in the order north_ms, east_ms, seconds, up_ms,
// yaw_rate_dps; the first fault found is reported. Throws Rejected "bad_envelope" with
// "<name> is not a number.", "seconds must be positive." or "args is not an object.".
Json velocity_args(const Json& args);

// Whether the vehicle of `state` shows `target` reached: in the target's mode; or within
// ARRIVED_ALT_M of its height and, for a position, within ARRIVED_M of it horizontally. False
// for anything that is not one of the mode, height or position shapes above, a velocity target
// included (the executor turns that into a mode target before testing it).
bool reached(const Json& target, const VehicleState& state);

}  // namespace orvel::commands
