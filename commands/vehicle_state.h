#pragma once
// What the command executor knows about the vehicle it flies: which autopilot it is (fixed by
// the first heartbeat), its flight mode and its position. Also the flight-mode numbers of the
// two autopilot families and the MAVLink command record that plans are made of.
//
//   VehicleState state;
//   state.on_heartbeat(msg);                       // every HEARTBEAT of a vehicle
//   state.on_position(msg);                        // every GLOBAL_POSITION_INT
//   if (state.in_mode("hold")) ...;
//   Step step = set_mode_step(state, "land");
//
// Main loop only; no locking.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "mavlink/message.h"

namespace orvel::commands {

// Flight-mode numbers by command kind. at() throws std::out_of_range for a kind that the table
// does not hold: callers pass only the kinds listed, so a miss is a programming error.
template <std::size_t N>
struct ModeTable {
  struct Entry {
    std::string_view kind;
    uint32_t number;
  };
  std::array<Entry, N> entries;

  // nullptr when the table has no such kind.
  constexpr const uint32_t* find(std::string_view kind) const {
    for (const auto& e : entries)
      if (e.kind == kind) return &e.number;
    return nullptr;
  }
  constexpr bool contains(std::string_view kind) const { return find(kind) != nullptr; }
  constexpr uint32_t at(std::string_view kind) const {
    if (const uint32_t* n = find(kind)) return *n;
    throw std::out_of_range("no flight mode for '" + std::string(kind) + "'");
  }
};

// ArduPilot custom mode numbers (copter), also used for autopilots of no known family.
inline constexpr ModeTable<4> AC_MODES{
    {{{"guided", 4}, {"hold", 5}, {"return_home", 6}, {"land", 9}}}};
// PX4 packs its mode into custom_mode: main mode in bits 16..23, sub mode in bits 24..31.
inline constexpr uint32_t PX4_AUTO = 4;      // main mode AUTO
inline constexpr uint32_t PX4_OFFBOARD = 6;  // main mode OFFBOARD
// Sub modes of AUTO.
inline constexpr ModeTable<3> PX4_SUB{{{{"hold", 3}, {"return_home", 5}, {"land", 6}}}};

// One MAVLink command of a plan. Params are doubles so that NaN ("use your current or default
// value") and the integer coordinates of COMMAND_INT survive unchanged: when is_int is set,
// params[4] and params[5] hold latitude and longitude in degrees times 10^7 as whole numbers
// within the int32 range.
struct Step {
  uint16_t command = 0;            // MAV_CMD_*
  std::array<double, 7> params{};  // param1..param7
  bool is_int = false;             // send as COMMAND_INT rather than COMMAND_LONG
  uint8_t frame = 0;               // MAV_FRAME_*, only when is_int
  int attempts = 0;                // sends so far (executor)
  double sent_at = 0.0;            // monotonic time of the last send, 0.0 before the first
};

struct VehicleState {
  // Fixed by the first heartbeat the executor passes on, never re-learnt.
  std::optional<int> sysid;
  int compid = 1;
  std::string autopilot = "generic";  // "px4", "ardupilot" or "generic"
  // From the latest heartbeat of any component of system `sysid`.
  uint32_t custom_mode = 0;
  // From the latest GLOBAL_POSITION_INT of system `sysid`; all absent until the first one.
  std::optional<double> lat, lon;  // degrees
  std::optional<double> alt_amsl;  // metres above mean sea level
  std::optional<double> alt_rel;   // metres above the home point

  // Feed one HEARTBEAT. The caller leaves out ground stations and onboard computers, so that
  // only an autopilot can become the vehicle. Any other message type is ignored.
  void on_heartbeat(const mavlink::Message& msg);
  // Feed one GLOBAL_POSITION_INT; ignored unless it comes from system `sysid`, and ignored for
  // any other message type.
  void on_position(const mavlink::Message& msg);

  // Whether the vehicle flies in the mode that stands for `kind` ("hold", "land", ...). Throws
  // std::out_of_range when the consulted table has no such kind; on PX4 the sub-mode table is
  // consulted only while the main mode is AUTO.
  bool in_mode(std::string_view kind) const;
};

// MAV_CMD_DO_SET_MODE (COMMAND_LONG) that switches the vehicle of `state` to the mode of `kind`.
// Throws std::out_of_range when the family's table has no such kind (for example "guided" on
// PX4, or "takeoff" anywhere).
Step set_mode_step(const VehicleState& state, std::string_view kind);

}  // namespace orvel::commands
