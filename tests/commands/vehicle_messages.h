#pragma once
// Real MAVLink messages from a pretend autopilot, and a comparison of Step params that treats
// NaN ("autopilot default") as a value of its own.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "commands/vehicle_state.h"
#include "mavlink/frame.h"
#include "mavlink/message.h"
#include "mavlink/messages.h"

namespace orvel::commands::testing {

// Encoded into a frame and parsed back, as the link would hand it over.
template <class T>
mavlink::Message message(const T& msg, uint8_t sysid, uint8_t compid) {
  uint8_t buf[255] = {};
  const size_t n = msg.encode(buf);
  const auto frame = mavlink::encode_frame(T::ID, {buf, n}, sysid, compid, 0);
  mavlink::Parser parser;
  parser.push(frame);
  return *parser.next();
}

inline mavlink::Message heartbeat(uint8_t sysid, uint8_t compid, uint8_t autopilot,
                                  uint32_t custom_mode = 0) {
  mavlink::Heartbeat hb;
  hb.type = mavlink::MAV_TYPE_QUADROTOR;
  hb.autopilot = autopilot;
  hb.custom_mode = custom_mode;
  return message(hb, sysid, compid);
}

inline mavlink::Message position(uint8_t sysid, int32_t lat_e7, int32_t lon_e7, int32_t alt_mm,
                                 int32_t relative_alt_mm) {
  mavlink::GlobalPositionInt pos;
  pos.lat = lat_e7;
  pos.lon = lon_e7;
  pos.alt = alt_mm;
  pos.relative_alt = relative_alt_mm;
  return message(pos, sysid, 1);
}

// PX4's custom_mode for a main and sub mode.
inline uint32_t px4_mode(uint32_t main_mode, uint32_t sub_mode) {
  return (sub_mode << 24) | (main_mode << 16);
}

struct Fix {
  int32_t lat_e7 = 473977418;
  int32_t lon_e7 = 85455939;
  int32_t alt_mm = 500000;
  int32_t relative_alt_mm = 200;
};

// System 1 of the given family, after its heartbeat and, when given, one position.
inline VehicleState vehicle(uint8_t autopilot, std::optional<Fix> fix = Fix{},
                            uint32_t custom_mode = 0) {
  VehicleState state;
  state.on_heartbeat(heartbeat(1, 1, autopilot, custom_mode));
  if (fix)
    state.on_position(position(1, fix->lat_e7, fix->lon_e7, fix->alt_mm, fix->relative_alt_mm));
  return state;
}

// NaN where the autopilot's default is meant.
inline constexpr double DEFAULT = std::numeric_limits<double>::quiet_NaN();

inline void expect_params(const Step& step, const std::array<double, 7>& expected) {
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("param" + std::to_string(i + 1));
    if (std::isnan(expected[i]))
      EXPECT_TRUE(std::isnan(step.params[i])) << step.params[i];
    else
      EXPECT_DOUBLE_EQ(step.params[i], expected[i]);
  }
}

}  // namespace orvel::commands::testing
