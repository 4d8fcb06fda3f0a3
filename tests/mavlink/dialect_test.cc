// The generated dialect table and enum constants.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "mavlink/message.h"
#include "mavlink/messages.h"

namespace orvel::mavlink {
namespace {

TEST(Dialect, TableIsSortedAndEveryEntryIsFound) {
  const auto table = dialect_messages();
  ASSERT_GT(table.size(), 200u);  // common.xml has over 200 messages
  std::set<std::string> names;
  for (size_t i = 0; i < table.size(); ++i) {
    const MessageInfo& m = table[i];
    if (i > 0) {
      EXPECT_LT(table[i - 1].id, m.id);
    }
    EXPECT_TRUE(names.insert(m.name).second) << m.name << " twice";
    EXPECT_GE(m.min_length, 1) << m.name;
    EXPECT_LE(m.min_length, m.max_length) << m.name;
    EXPECT_EQ(find_message(m.id), &m) << m.name;
    EXPECT_EQ(find_message(std::string_view(m.name)), &m) << m.name;
  }
}

TEST(Dialect, UnknownIdsAndNamesAreNotFound) {
  for (uint32_t id : {3u, 256u + 16u, 9999u, 12999u, 0xFFFFFFu, 0xFFFFFFFFu})
    EXPECT_EQ(find_message(id), nullptr) << id;
  for (const char* name : {"", "heartbeat", "HEARTBEAT ", "NOPE", "ZZZZ", "A"})
    EXPECT_EQ(find_message(std::string_view(name)), nullptr) << name;
}

// Values as published in common.xml and in the MAVLink C headers generated from it; they must
// not depend on the generator being right.
TEST(Dialect, MessagesTheAgentUsesHaveTheirPublishedValues) {
  struct Row {
    const char* name;
    uint32_t id;
    uint8_t crc_extra, min_length, max_length;
  };
  const Row rows[] = {
      {"HEARTBEAT", 0, 50, 9, 9},
      {"SYS_STATUS", 1, 124, 31, 43},
      {"PARAM_REQUEST_READ", 20, 214, 20, 20},
      {"PARAM_REQUEST_LIST", 21, 159, 2, 2},
      {"PARAM_VALUE", 22, 220, 25, 25},
      {"PARAM_SET", 23, 168, 23, 23},
      {"GPS_RAW_INT", 24, 24, 30, 52},
      {"GLOBAL_POSITION_INT", 33, 104, 28, 28},
      {"COMMAND_INT", 75, 158, 35, 35},
      {"COMMAND_LONG", 76, 152, 33, 33},
      {"COMMAND_ACK", 77, 143, 3, 10},
      {"SET_POSITION_TARGET_LOCAL_NED", 84, 143, 53, 53},
      {"LOG_REQUEST_LIST", 117, 128, 6, 6},
      {"LOG_ENTRY", 118, 56, 14, 14},
      {"LOG_REQUEST_DATA", 119, 116, 12, 12},
      {"LOG_DATA", 120, 134, 97, 97},
      {"LOG_REQUEST_END", 122, 203, 2, 2},
      {"AUTOPILOT_VERSION", 148, 178, 60, 78},
      {"HOME_POSITION", 242, 104, 52, 60},
      {"EXTENDED_SYS_STATE", 245, 130, 2, 2},
      {"STATUSTEXT", 253, 83, 51, 54},
      {"OPEN_DRONE_ID_BASIC_ID", 12900, 114, 44, 44},
      {"OPEN_DRONE_ID_LOCATION", 12901, 254, 59, 59},
      {"OPEN_DRONE_ID_SYSTEM", 12904, 77, 54, 54},
      {"OPEN_DRONE_ID_OPERATOR_ID", 12905, 49, 43, 43},
  };
  for (const Row& r : rows) {
    const MessageInfo* m = find_message(std::string_view(r.name));
    ASSERT_NE(m, nullptr) << r.name;
    EXPECT_EQ(m->id, r.id) << r.name;
    EXPECT_EQ(m->crc_extra, r.crc_extra) << r.name;
    EXPECT_EQ(m->min_length, r.min_length) << r.name;
    EXPECT_EQ(m->max_length, r.max_length) << r.name;
  }
}

TEST(Dialect, EnumValuesTheAgentUsesAreThePublishedOnes) {
  struct Row {
    const char* name;
    long long actual, published;
  };
#define ROW(name, value) \
  { #name, name, value }
  const Row rows[] = {
      ROW(MAV_TYPE_FIXED_WING, 1),
      ROW(MAV_TYPE_QUADROTOR, 2),
      ROW(MAV_TYPE_GCS, 6),
      ROW(MAV_TYPE_HEXAROTOR, 13),
      ROW(MAV_TYPE_OCTOROTOR, 14),
      ROW(MAV_TYPE_ONBOARD_CONTROLLER, 18),
      ROW(MAV_TYPE_GIMBAL, 26),
      ROW(MAV_TYPE_ADSB, 27),
      ROW(MAV_TYPE_CAMERA, 30),
      ROW(MAV_AUTOPILOT_GENERIC, 0),
      ROW(MAV_AUTOPILOT_ARDUPILOTMEGA, 3),
      ROW(MAV_AUTOPILOT_INVALID, 8),
      ROW(MAV_AUTOPILOT_PX4, 12),
      ROW(MAV_MODE_FLAG_CUSTOM_MODE_ENABLED, 1),
      ROW(MAV_MODE_FLAG_TEST_ENABLED, 2),
      ROW(MAV_MODE_FLAG_AUTO_ENABLED, 4),
      ROW(MAV_MODE_FLAG_GUIDED_ENABLED, 8),
      ROW(MAV_MODE_FLAG_STABILIZE_ENABLED, 16),
      ROW(MAV_MODE_FLAG_HIL_ENABLED, 32),
      ROW(MAV_MODE_FLAG_MANUAL_INPUT_ENABLED, 64),
      ROW(MAV_MODE_FLAG_SAFETY_ARMED, 128),
      ROW(MAV_COMP_ID_AUTOPILOT1, 1),
      ROW(MAV_COMP_ID_ONBOARD_COMPUTER, 191),
      ROW(MAV_CMD_NAV_WAYPOINT, 16),
      ROW(MAV_CMD_NAV_LOITER_UNLIM, 17),
      ROW(MAV_CMD_NAV_RETURN_TO_LAUNCH, 20),
      ROW(MAV_CMD_NAV_LAND, 21),
      ROW(MAV_CMD_NAV_TAKEOFF, 22),
      ROW(MAV_CMD_DO_SET_MODE, 176),
      ROW(MAV_CMD_DO_CHANGE_SPEED, 178),
      ROW(MAV_CMD_DO_REPOSITION, 192),
      ROW(MAV_CMD_MISSION_START, 300),
      ROW(MAV_CMD_COMPONENT_ARM_DISARM, 400),
      ROW(MAV_CMD_SET_MESSAGE_INTERVAL, 511),
      ROW(MAV_CMD_REQUEST_MESSAGE, 512),
      ROW(MAV_RESULT_ACCEPTED, 0),
      ROW(MAV_RESULT_TEMPORARILY_REJECTED, 1),
      ROW(MAV_RESULT_DENIED, 2),
      ROW(MAV_RESULT_UNSUPPORTED, 3),
      ROW(MAV_RESULT_FAILED, 4),
      ROW(MAV_RESULT_IN_PROGRESS, 5),
      ROW(MAV_RESULT_CANCELLED, 6),
      ROW(MAV_PARAM_TYPE_UINT8, 1),
      ROW(MAV_PARAM_TYPE_INT8, 2),
      ROW(MAV_PARAM_TYPE_UINT16, 3),
      ROW(MAV_PARAM_TYPE_INT16, 4),
      ROW(MAV_PARAM_TYPE_UINT32, 5),
      ROW(MAV_PARAM_TYPE_INT32, 6),
      ROW(MAV_PARAM_TYPE_UINT64, 7),
      ROW(MAV_PARAM_TYPE_INT64, 8),
      ROW(MAV_PARAM_TYPE_REAL32, 9),
      ROW(MAV_PARAM_TYPE_REAL64, 10),
      ROW(MAV_FRAME_GLOBAL, 0),
      ROW(MAV_FRAME_LOCAL_NED, 1),
      ROW(MAV_FRAME_GLOBAL_RELATIVE_ALT, 3),
      ROW(MAV_FRAME_GLOBAL_INT, 5),
      ROW(MAV_FRAME_GLOBAL_RELATIVE_ALT_INT, 6),
      ROW(MAV_FRAME_BODY_NED, 8),
      ROW(MAV_FRAME_BODY_OFFSET_NED, 9),
      ROW(MAV_FRAME_BODY_FRD, 12),
      ROW(MAV_LANDED_STATE_UNDEFINED, 0),
      ROW(MAV_LANDED_STATE_ON_GROUND, 1),
      ROW(MAV_LANDED_STATE_IN_AIR, 2),
      ROW(MAV_LANDED_STATE_TAKEOFF, 3),
      ROW(MAV_LANDED_STATE_LANDING, 4),
      ROW(GPS_FIX_TYPE_NO_GPS, 0),
      ROW(GPS_FIX_TYPE_NO_FIX, 1),
      ROW(GPS_FIX_TYPE_2D_FIX, 2),
      ROW(GPS_FIX_TYPE_3D_FIX, 3),
      ROW(GPS_FIX_TYPE_DGPS, 4),
      ROW(GPS_FIX_TYPE_RTK_FLOAT, 5),
      ROW(GPS_FIX_TYPE_RTK_FIXED, 6),
      ROW(GPS_FIX_TYPE_STATIC, 7),
      ROW(GPS_FIX_TYPE_PPP, 8),
      ROW(MAV_SEVERITY_EMERGENCY, 0),
      ROW(MAV_SEVERITY_ERROR, 3),
      ROW(MAV_SEVERITY_WARNING, 4),
      ROW(MAV_SEVERITY_INFO, 6),
      ROW(MAV_SEVERITY_DEBUG, 7),
      ROW(MAV_DO_REPOSITION_FLAGS_CHANGE_MODE, 1),
  };
#undef ROW
  for (const Row& r : rows) EXPECT_EQ(r.actual, r.published) << r.name;
}

}  // namespace
}  // namespace orvel::mavlink
