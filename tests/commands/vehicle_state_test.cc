#include "commands/vehicle_state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "mavlink/messages.h"
#include "tests/commands/vehicle_messages.h"

namespace orvel::commands {
namespace {

using testing::expect_params;
using testing::heartbeat;
using testing::position;
using testing::px4_mode;

TEST(VehicleState, StartsUnknown) {
  const VehicleState state;
  EXPECT_FALSE(state.sysid);
  EXPECT_EQ(state.compid, 1);
  EXPECT_EQ(state.autopilot, "generic");
  EXPECT_EQ(state.custom_mode, 0u);
  EXPECT_FALSE(state.lat || state.lon || state.alt_amsl || state.alt_rel);
}

TEST(VehicleState, FirstHeartbeatFixesVehicleAndFamily) {
  struct Case {
    uint8_t autopilot;
    const char* family;
  };
  for (const Case c : std::vector<Case>{{mavlink::MAV_AUTOPILOT_PX4, "px4"},
                                        {mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA, "ardupilot"},
                                        {mavlink::MAV_AUTOPILOT_GENERIC, "generic"},
                                        {mavlink::MAV_AUTOPILOT_INVALID, "generic"},
                                        {255, "generic"}}) {
    SCOPED_TRACE(c.family);
    VehicleState state;
    state.on_heartbeat(heartbeat(7, 3, c.autopilot, 0xDEADBEEF));
    EXPECT_EQ(state.sysid, 7);
    EXPECT_EQ(state.compid, 3);
    EXPECT_EQ(state.autopilot, c.family);
    EXPECT_EQ(state.custom_mode, 0xDEADBEEFu);
  }
}

TEST(VehicleState, SecondVehicleChangesNothing) {
  VehicleState state;
  state.on_heartbeat(heartbeat(1, 1, mavlink::MAV_AUTOPILOT_PX4, 11));
  state.on_heartbeat(heartbeat(2, 1, mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA, 22));
  state.on_position(position(2, 10, 20, 30, 40));
  EXPECT_EQ(state.sysid, 1);
  EXPECT_EQ(state.autopilot, "px4");
  EXPECT_EQ(state.custom_mode, 11u);
  EXPECT_FALSE(state.lat);
}

TEST(VehicleState, OtherComponentOfSameSystemSetsModeButNotIdentity) {
  VehicleState state;
  state.on_heartbeat(heartbeat(1, 1, mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA, 5));
  state.on_heartbeat(heartbeat(1, mavlink::MAV_COMP_ID_CAMERA, mavlink::MAV_AUTOPILOT_INVALID, 0));
  EXPECT_EQ(state.custom_mode, 0u);
  EXPECT_EQ(state.compid, 1);
  EXPECT_EQ(state.autopilot, "ardupilot");
}

TEST(VehicleState, PositionOnlyFromTheVehicleOnceKnown) {
  VehicleState state;
  state.on_position(position(1, 473977418, 85455939, 488000, 1500));
  EXPECT_FALSE(state.lat) << "no vehicle yet";

  state.on_heartbeat(heartbeat(1, 1, mavlink::MAV_AUTOPILOT_PX4));
  state.on_position(position(1, 473977418, -85455939, -12345, 1500));
  ASSERT_TRUE(state.lat && state.lon && state.alt_amsl && state.alt_rel);
  EXPECT_DOUBLE_EQ(*state.lat, 47.3977418);
  EXPECT_DOUBLE_EQ(*state.lon, -8.5455939);
  EXPECT_DOUBLE_EQ(*state.alt_amsl, -12.345);
  EXPECT_DOUBLE_EQ(*state.alt_rel, 1.5);

  // The latest position wins; extreme wire values stay finite.
  constexpr int32_t lo = std::numeric_limits<int32_t>::min();
  state.on_position(position(1, lo, lo, lo, lo));
  EXPECT_DOUBLE_EQ(*state.lat, lo / 1e7);
  EXPECT_DOUBLE_EQ(*state.alt_rel, lo / 1000.0);
}

TEST(VehicleState, MessagesOfAnotherTypeAreIgnored) {
  VehicleState state;
  state.on_heartbeat(position(1, 1, 1, 1, 1));
  EXPECT_FALSE(state.sysid);
  state.on_heartbeat(heartbeat(1, 1, mavlink::MAV_AUTOPILOT_PX4, 9));
  state.on_position(heartbeat(1, 1, mavlink::MAV_AUTOPILOT_PX4));
  state.on_heartbeat(position(1, 1, 1, 1, 1));
  EXPECT_FALSE(state.lat);
  EXPECT_EQ(state.custom_mode, 9u);
}

struct ModeCase {
  uint8_t autopilot;
  uint32_t custom_mode;
  const char* kind;
  bool expected;
};

TEST(InMode, ReadsEachFamilysNumbers) {
  using mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA;
  using mavlink::MAV_AUTOPILOT_GENERIC;
  using mavlink::MAV_AUTOPILOT_PX4;
  const std::vector<ModeCase> cases = {
      {MAV_AUTOPILOT_PX4, px4_mode(4, 3), "hold", true},
      {MAV_AUTOPILOT_PX4, px4_mode(4, 3), "land", false},
      {MAV_AUTOPILOT_PX4, px4_mode(4, 5), "return_home", true},
      {MAV_AUTOPILOT_PX4, px4_mode(4, 6), "land", true},
      {MAV_AUTOPILOT_PX4, px4_mode(4, 3) | 0xFFFF, "hold", true},  // low bits are not the mode
      {MAV_AUTOPILOT_PX4, px4_mode(6, 3), "hold", false},          // OFFBOARD, not AUTO
      {MAV_AUTOPILOT_PX4, px4_mode(3, 3), "hold", false},
      // Outside AUTO the sub-mode table is not consulted, so kinds it lacks do not throw.
      {MAV_AUTOPILOT_PX4, px4_mode(6, 0), "guided", false},
      {MAV_AUTOPILOT_PX4, px4_mode(6, 0), "takeoff", false},
      {MAV_AUTOPILOT_PX4, 5, "hold", false},  // ArduPilot's hold number means nothing on PX4
      {MAV_AUTOPILOT_ARDUPILOTMEGA, 4, "guided", true},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, 5, "hold", true},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, 6, "return_home", true},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, 9, "land", true},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, 9, "hold", false},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, px4_mode(4, 3), "hold", false},
      {MAV_AUTOPILOT_GENERIC, 5, "hold", true},
      {MAV_AUTOPILOT_GENERIC, 9, "land", true},
      {MAV_AUTOPILOT_GENERIC, px4_mode(4, 6), "land", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.autopilot) + " " + std::to_string(c.custom_mode) + " " + c.kind);
    const auto state = testing::vehicle(c.autopilot, std::nullopt, c.custom_mode);
    EXPECT_EQ(state.in_mode(c.kind), c.expected);
  }
}

TEST(InMode, KindMissingFromTheConsultedTableThrows) {
  const auto px4 = testing::vehicle(mavlink::MAV_AUTOPILOT_PX4, std::nullopt, px4_mode(4, 3));
  EXPECT_THROW((void)px4.in_mode("guided"), std::out_of_range);
  EXPECT_THROW((void)px4.in_mode("takeoff"), std::out_of_range);
  const auto ardupilot = testing::vehicle(mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA, std::nullopt, 5);
  EXPECT_THROW((void)ardupilot.in_mode("velocity"), std::out_of_range);
  EXPECT_THROW((void)ardupilot.in_mode(""), std::out_of_range);
}

TEST(SetModeStep, BuildsEachFamilysModeSwitch) {
  struct Case {
    uint8_t autopilot;
    const char* kind;
    std::array<double, 7> params;
  };
  using mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA;
  using mavlink::MAV_AUTOPILOT_GENERIC;
  using mavlink::MAV_AUTOPILOT_PX4;
  const std::vector<Case> cases = {
      {MAV_AUTOPILOT_PX4, "hold", {1, 4, 3, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_PX4, "return_home", {1, 4, 5, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_PX4, "land", {1, 4, 6, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, "guided", {1, 4, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, "hold", {1, 5, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, "return_home", {1, 6, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, "land", {1, 9, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_GENERIC, "hold", {1, 5, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_GENERIC, "land", {1, 9, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.autopilot) + " " + c.kind);
    const Step step = set_mode_step(testing::vehicle(c.autopilot, std::nullopt), c.kind);
    EXPECT_EQ(step.command, mavlink::MAV_CMD_DO_SET_MODE);
    EXPECT_FALSE(step.is_int);
    EXPECT_EQ(step.attempts, 0);
    EXPECT_EQ(step.sent_at, 0.0);
    expect_params(step, c.params);
  }
}

TEST(SetModeStep, KindMissingFromTheFamilysTableThrows) {
  EXPECT_THROW(set_mode_step(testing::vehicle(mavlink::MAV_AUTOPILOT_PX4, std::nullopt), "guided"),
               std::out_of_range);
  EXPECT_THROW(set_mode_step(VehicleState{}, "takeoff"), std::out_of_range);
}

}  // namespace
}  // namespace orvel::commands
