#include "commands/plans.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "mavlink/messages.h"
#include "support/json.h"
#include "tests/commands/vehicle_messages.h"

namespace orvel::commands {
namespace {

using mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA;
using mavlink::MAV_AUTOPILOT_GENERIC;
using mavlink::MAV_AUTOPILOT_PX4;
using testing::DEFAULT;
using testing::expect_params;
using testing::Fix;
using testing::vehicle;

Json args(const char* text) {
  return parse_json_or_throw(text);
}

// The refusal plan() raises, as "code: detail"; "" when it plans.
std::string refusal(std::string_view kind, const Json& a, const VehicleState& state) {
  try {
    (void)plan(kind, a, state);
    return "";
  } catch (const Rejected& e) {
    return e.code() + ": " + e.detail();
  }
}

std::string velocity_refusal(const Json& a) {
  try {
    (void)velocity_args(a);
    return "";
  } catch (const Rejected& e) {
    return e.code() + ": " + e.detail();
  }
}

std::string family_name(uint8_t autopilot) {
  return vehicle(autopilot, std::nullopt).autopilot;
}

TEST(Plan, ModeCommandsPerFamilyNeedNoPosition) {
  struct Case {
    uint8_t autopilot;
    const char* kind;
    uint16_t command;
    std::array<double, 7> params;
  };
  constexpr double X = DEFAULT;
  const std::vector<Case> cases = {
      {MAV_AUTOPILOT_PX4, "land", mavlink::MAV_CMD_NAV_LAND, {0, 0, 0, X, X, X, X}},
      {MAV_AUTOPILOT_PX4,
       "return_home",
       mavlink::MAV_CMD_NAV_RETURN_TO_LAUNCH,
       {0, 0, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_PX4, "hold", mavlink::MAV_CMD_DO_SET_MODE, {1, 4, 3, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, "land", mavlink::MAV_CMD_DO_SET_MODE, {1, 9, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_ARDUPILOTMEGA,
       "return_home",
       mavlink::MAV_CMD_DO_SET_MODE,
       {1, 6, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_ARDUPILOTMEGA, "hold", mavlink::MAV_CMD_DO_SET_MODE, {1, 5, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_GENERIC, "land", mavlink::MAV_CMD_DO_SET_MODE, {1, 9, 0, 0, 0, 0, 0}},
      {MAV_AUTOPILOT_GENERIC, "return_home", mavlink::MAV_CMD_DO_SET_MODE, {1, 6, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(family_name(c.autopilot) + " " + c.kind);
    const Plan p = plan(c.kind, Json(), vehicle(c.autopilot, std::nullopt));
    ASSERT_EQ(p.steps.size(), 1u);
    EXPECT_EQ(p.steps[0].command, c.command);
    EXPECT_FALSE(p.steps[0].is_int);
    expect_params(p.steps[0], c.params);
    EXPECT_EQ(p.target, Json::object({{"mode", c.kind}}));
  }
}

TEST(Plan, TakeoffOnPx4ClimbsToAnAltitudeAboveSeaLevel) {
  // alt_amsl 500.0, alt_rel 0.2: home is at 499.8 m.
  const Plan p = plan("takeoff", args(R"({"alt_m_agl": 10})"),
                      vehicle(MAV_AUTOPILOT_PX4, Fix{.alt_mm = 500000, .relative_alt_mm = 200}));
  ASSERT_EQ(p.steps.size(), 2u);
  EXPECT_EQ(p.steps[0].command, mavlink::MAV_CMD_COMPONENT_ARM_DISARM);
  expect_params(p.steps[0], {1, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(p.steps[1].command, mavlink::MAV_CMD_NAV_TAKEOFF);
  expect_params(p.steps[1], {0, 0, 0, DEFAULT, DEFAULT, DEFAULT, 509.8});
  EXPECT_EQ(p.target, Json::object({{"alt_rel", 10.0}}));
}

TEST(Plan, TakeoffOnArduPilotSwitchesToGuidedArmsAndClimbsRelativeToHome) {
  for (uint8_t autopilot : {MAV_AUTOPILOT_ARDUPILOTMEGA, MAV_AUTOPILOT_GENERIC}) {
    SCOPED_TRACE(family_name(autopilot));
    const Plan p = plan("takeoff", args(R"({"alt_m_agl": "10"})"),
                        vehicle(autopilot, Fix{.alt_mm = 500000, .relative_alt_mm = 200}));
    ASSERT_EQ(p.steps.size(), 3u);
    EXPECT_EQ(p.steps[0].command, mavlink::MAV_CMD_DO_SET_MODE);
    expect_params(p.steps[0], {1, 4, 0, 0, 0, 0, 0});
    EXPECT_EQ(p.steps[1].command, mavlink::MAV_CMD_COMPONENT_ARM_DISARM);
    expect_params(p.steps[1], {1, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(p.steps[2].command, mavlink::MAV_CMD_NAV_TAKEOFF);
    expect_params(p.steps[2], {0, 0, 0, DEFAULT, 0, 0, 10.0});
    for (const Step& s : p.steps) EXPECT_FALSE(s.is_int);
    EXPECT_EQ(p.target, Json::object({{"alt_rel", 10.0}}));
  }
}

TEST(Plan, GotoRepositionsInIntegerCoordinates) {
  struct Case {
    uint8_t autopilot;
    uint8_t frame;
    double z;
  };
  // Vehicle at 500.0 m above sea level and 0.2 m above home; goto to 30 m above home.
  for (const Case c :
       {Case{MAV_AUTOPILOT_PX4, mavlink::MAV_FRAME_GLOBAL, 529.8},
        Case{MAV_AUTOPILOT_ARDUPILOTMEGA, mavlink::MAV_FRAME_GLOBAL_RELATIVE_ALT, 30},
        Case{MAV_AUTOPILOT_GENERIC, mavlink::MAV_FRAME_GLOBAL_RELATIVE_ALT, 30}}) {
    SCOPED_TRACE(family_name(c.autopilot));
    const Plan p =
        plan("goto", args(R"({"lat_deg": -33.8568, "lon_deg": 151.2153, "alt_m_agl": 30})"),
             vehicle(c.autopilot, Fix{.alt_mm = 500000, .relative_alt_mm = 200}));
    ASSERT_EQ(p.steps.size(), 1u);
    const Step& s = p.steps[0];
    EXPECT_EQ(s.command, mavlink::MAV_CMD_DO_REPOSITION);
    EXPECT_TRUE(s.is_int);
    EXPECT_EQ(s.frame, c.frame);
    expect_params(s, {-1, mavlink::MAV_DO_REPOSITION_FLAGS_CHANGE_MODE, 0, DEFAULT, -338568000.0,
                      1512153000.0, c.z});
    EXPECT_EQ(p.target, Json::object({{"lat", -33.8568}, {"lon", 151.2153}, {"alt_rel", 30.0}}));
  }
}

TEST(Plan, GotoCoordinatesTruncateTowardZeroUpToTheEdgesOfTheMap) {
  struct Case {
    const char* args;
    double lat_e7, lon_e7;
  };
  const std::vector<Case> cases = {
      {R"({"lat_deg": 1.00000009, "lon_deg": -1.00000009, "alt_m_agl": 5})", 10000000, -10000000},
      {R"({"lat_deg": 90, "lon_deg": 180, "alt_m_agl": 5})", 900000000, 1800000000},
      {R"({"lat_deg": -90, "lon_deg": -180, "alt_m_agl": 5})", -900000000, -1800000000},
      {R"({"lat_deg": "-0.00000001", "lon_deg": " 0 ", "alt_m_agl": 5})", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Plan p = plan("goto", args(c.args), vehicle(MAV_AUTOPILOT_ARDUPILOTMEGA));
    ASSERT_EQ(p.steps.size(), 1u);
    EXPECT_EQ(p.steps[0].params[4], c.lat_e7);
    EXPECT_EQ(p.steps[0].params[5], c.lon_e7);
  }
}

TEST(Plan, VelocitySwitchesToTheFamilysExternalControlMode) {
  const Json a = args(R"({"north_ms": 1, "seconds": 2})");
  struct Case {
    uint8_t autopilot;
    double mode;
  };
  for (const Case c : {Case{MAV_AUTOPILOT_PX4, 6}, Case{MAV_AUTOPILOT_ARDUPILOTMEGA, 4},
                       Case{MAV_AUTOPILOT_GENERIC, 4}}) {
    SCOPED_TRACE(family_name(c.autopilot));
    const Plan p = plan("velocity", a, vehicle(c.autopilot));
    ASSERT_EQ(p.steps.size(), 1u);
    EXPECT_EQ(p.steps[0].command, mavlink::MAV_CMD_DO_SET_MODE);
    expect_params(p.steps[0], {1, c.mode, 0, 0, 0, 0, 0});
    EXPECT_EQ(p.target, Json::object({{"velocity", velocity_args(a)}}));
  }
}

TEST(Plan, RefusesWhatItCannotFly) {
  const auto located = vehicle(MAV_AUTOPILOT_PX4);
  const auto unlocated = vehicle(MAV_AUTOPILOT_PX4, std::nullopt);
  const VehicleState unknown;
  const std::string no_position = "no_position: The autopilot has not reported a position yet.";
  const std::string not_object = "bad_envelope: args is not an object.";
  struct Case {
    const char* kind;
    Json args;
    const VehicleState* state;
    std::string expected;
  };
  const std::vector<Case> cases = {
      // Kinds that fly somewhere need a position, whatever their arguments.
      {"takeoff", args(R"({"alt_m_agl": 10})"), &unlocated, no_position},
      {"goto", args(R"({"lat_deg": 1, "lon_deg": 2, "alt_m_agl": 3})"), &unlocated, no_position},
      {"velocity", args(R"({"north_ms": 1, "seconds": 2})"), &unlocated, no_position},
      {"takeoff", args("{}"), &unlocated, no_position},
      {"takeoff", args("{}"), &unknown, no_position},
      // A malformed "args" refuses every kind, even those that read no argument.
      {"land", args("[]"), &unlocated, not_object},
      {"hold", args(R"("x")"), &located, not_object},
      {"return_home", args("false"), &located, not_object},
      {"takeoff", args("10"), &located, not_object},
      {"goto", args("[1, 2, 3]"), &located, not_object},
      {"velocity", args("true"), &located, not_object},
      {"flip", args("{}"), &located, "bad_envelope: Unknown command flip."},
      {"", Json(), &located, "bad_envelope: Unknown command ."},
      // Takeoff and goto arguments are required, numeric and finite.
      {"takeoff", args("{}"), &located, "bad_envelope: alt_m_agl is missing."},
      {"takeoff", args(R"({"alt_m_agl": null})"), &located,
       "bad_envelope: alt_m_agl is not a number."},
      {"takeoff", args(R"({"alt_m_agl": true})"), &located,
       "bad_envelope: alt_m_agl is not a number."},
      {"takeoff", args(R"({"alt_m_agl": [10]})"), &located,
       "bad_envelope: alt_m_agl is not a number."},
      {"takeoff", args(R"({"alt_m_agl": {"m": 10}})"), &located,
       "bad_envelope: alt_m_agl is not a number."},
      {"takeoff", args(R"({"alt_m_agl": NaN})"), &located,
       "bad_envelope: alt_m_agl is not a number."},
      {"takeoff", args(R"({"alt_m_agl": -Infinity})"), &located,
       "bad_envelope: alt_m_agl is not a number."},
      {"takeoff", args(R"({"alt_m_agl": 1e999})"), &located,
       "bad_envelope: alt_m_agl is not a number."},
      {"takeoff", args(("{\"alt_m_agl\": 1" + std::string(400, '0') + "}").c_str()), &located,
       "bad_envelope: alt_m_agl is not a number."},
      {"takeoff", args(R"({"alt_m_agl": 1e39})"), &located,
       "bad_envelope: alt_m_agl is out of range."},
      {"goto", args(R"({"lat_deg": 1, "lon_deg": 2, "alt_m_agl": -1e300})"), &located,
       "bad_envelope: alt_m_agl is out of range."},
      {"goto", args("{}"), &located, "bad_envelope: lat_deg is missing."},
      {"goto", args(R"({"lat_deg": "nan", "lon_deg": "nan"})"), &located,
       "bad_envelope: lat_deg is not a number."},
      {"goto", args(R"({"lat_deg": 1, "lon_deg": "east"})"), &located,
       "bad_envelope: lon_deg is not a number."},
      {"goto", args(R"({"lat_deg": 1, "lon_deg": 2})"), &located,
       "bad_envelope: alt_m_agl is missing."},
      // Beyond the map, degrees times 10^7 would overflow COMMAND_INT's coordinates.
      {"goto", args(R"({"lat_deg": 90.0000001, "lon_deg": 2, "alt_m_agl": 3})"), &located,
       "bad_envelope: lat_deg must be between -90 and 90."},
      {"goto", args(R"({"lat_deg": -215, "lon_deg": 2, "alt_m_agl": 3})"), &located,
       "bad_envelope: lat_deg must be between -90 and 90."},
      {"goto", args(R"({"lat_deg": 1, "lon_deg": 180.5, "alt_m_agl": 3})"), &located,
       "bad_envelope: lon_deg must be between -180 and 180."},
      {"goto", args(R"({"lat_deg": 1, "lon_deg": "-1e10", "alt_m_agl": 3})"), &located,
       "bad_envelope: lon_deg must be between -180 and 180."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + to_json(c.args));
    EXPECT_EQ(refusal(c.kind, c.args, *c.state), c.expected);
  }
}

TEST(Plan, ReadsNumbersFromText) {
  struct Case {
    std::string value;               // JSON text of the argument
    std::optional<double> expected;  // nullopt: refused as not a number
  };
  const auto text = [](std::string_view s) { return json_string(s); };
  const std::vector<Case> cases = {
      {"12", 12.0},
      {"-3.25", -3.25},
      {text(" 12 "), 12.0},
      {text("\t7\n"), 7.0},
      {text("+1.5"), 1.5},
      {text("-.5"), -0.5},
      {text("5."), 5.0},
      {text("1e1"), 10.0},
      {text("2E-1"), 0.2},
      {text("0012"), 12.0},
      {text("1e-400"), 0.0},  // too small for a double: zero, as python reads it
      {text("0." + std::string(400, '0') + "1"), 0.0},
      {text("1" + std::string(400, '0')), std::nullopt},  // too large: infinity, refused
      {text("1e400"), std::nullopt},
      {text("1e99999999999999999999"), std::nullopt},
      {text("nan"), std::nullopt},
      {text("-NaN"), std::nullopt},
      {text("Infinity"), std::nullopt},
      {text("-inf"), std::nullopt},
      {text(""), std::nullopt},
      {text("  "), std::nullopt},
      {text("1_000"), std::nullopt},
      {text("0x10"), std::nullopt},
      {text("1.2.3"), std::nullopt},
      {text("."), std::nullopt},
      {text("e5"), std::nullopt},
      {text("1e"), std::nullopt},
      {text("1e+"), std::nullopt},
      {text("--1"), std::nullopt},
      {text("+-1"), std::nullopt},
      {text("1 2"), std::nullopt},
      {text("12m"), std::nullopt},
      {text("infinit"), std::nullopt},
      {text("\xd9\xa1"), std::nullopt},  // ARABIC-INDIC DIGIT ONE
      {text(std::string("1\0", 2)), std::nullopt},
  };
  const auto state = vehicle(MAV_AUTOPILOT_ARDUPILOTMEGA);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const Json a = args(("{\"alt_m_agl\": " + c.value + "}").c_str());
    if (c.expected) {
      const Plan p = plan("takeoff", a, state);
      EXPECT_EQ(p.target, Json::object({{"alt_rel", *c.expected}}));
    } else {
      EXPECT_EQ(refusal("takeoff", a, state), "bad_envelope: alt_m_agl is not a number.");
    }
  }
}

TEST(VelocityArgs, LimitsEachValue) {
  struct Case {
    const char* args;
    double north, east, up, yaw_rate, seconds;
  };
  const std::vector<Case> cases = {
      {R"({"north_ms": 1, "east_ms": -2, "up_ms": 0.5, "yaw_rate_dps": 10, "seconds": 3})", 1, -2,
       0.5, 10, 3},
      // Horizontal speed 10 scales down to 8 in the same direction.
      {R"({"north_ms": 6, "east_ms": 8, "seconds": 1})", 4.8, 6.4, 0, 0, 1},
      {R"({"north_ms": -6, "east_ms": "-8", "seconds": 1})", -4.8, -6.4, 0, 0, 1},
      {R"({"north_ms": 20, "seconds": 1})", 8, 0, 0, 0, 1},
      {R"({"east_ms": -1e300, "seconds": 1})", 0, -8, 0, 0, 1},
      {R"({"up_ms": 5, "seconds": 1})", 0, 0, 3, 0, 1},
      {R"({"up_ms": -5, "seconds": 1})", 0, 0, -3, 0, 1},
      {R"({"yaw_rate_dps": -200, "seconds": 1})", 0, 0, 0, -90, 1},
      {R"({"yaw_rate_dps": " 91 ", "seconds": 1})", 0, 0, 0, 90, 1},
      {R"({"seconds": 12})", 0, 0, 0, 0, 5},
      {R"({"seconds": "0.25"})", 0, 0, 0, 0, 0.25},
      // Missing, null, false, zero and empty text all count as zero.
      {R"({"north_ms": null, "east_ms": false, "up_ms": "", "yaw_rate_dps": 0, "seconds": 1})", 0,
       0, 0, 0, 1},
      {R"({"north_ms": -0.0, "seconds": 1})", 0, 0, 0, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Json v = velocity_args(args(c.args));
    ASSERT_EQ(v.size(), 5u);
    EXPECT_DOUBLE_EQ(v["north"].as_double(), c.north);
    EXPECT_DOUBLE_EQ(v["east"].as_double(), c.east);
    EXPECT_DOUBLE_EQ(v["up"].as_double(), c.up);
    EXPECT_DOUBLE_EQ(v["yaw_rate"].as_double(), c.yaw_rate);
    EXPECT_DOUBLE_EQ(v["seconds"].as_double(), c.seconds);
  }
}

TEST(VelocityArgs, MembersComeInFixedOrderAsReals) {
  const Json v = velocity_args(args(R"({"seconds": 2, "yaw_rate_dps": 1, "up_ms": 1,
                                        "east_ms": 1, "north_ms": 1})"));
  std::vector<std::string> keys;
  for (const auto& [key, value] : v.as_object()) {
    keys.push_back(key);
    EXPECT_TRUE(value.is_real()) << key;
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"north", "east", "up", "yaw_rate", "seconds"}));
}

TEST(VelocityArgs, RefusesTheFirstFaultInReadingOrder) {
  struct Case {
    const char* args;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"{}", "bad_envelope: seconds must be positive."},
      {"null", "bad_envelope: seconds must be positive."},
      {R"({"seconds": 0})", "bad_envelope: seconds must be positive."},
      {R"({"seconds": -3})", "bad_envelope: seconds must be positive."},
      {R"({"seconds": ""})", "bad_envelope: seconds must be positive."},
      {R"({"seconds": "1e-400"})", "bad_envelope: seconds must be positive."},
      {R"({"up_ms": "nan", "seconds": 1})", "bad_envelope: up_ms is not a number."},
      {R"({"north_ms": true, "seconds": 1})", "bad_envelope: north_ms is not a number."},
      {R"({"east_ms": [1], "seconds": 1})", "bad_envelope: east_ms is not a number."},
      {R"({"yaw_rate_dps": "left", "seconds": 1})", "bad_envelope: yaw_rate_dps is not a number."},
      {R"({"seconds": NaN})", "bad_envelope: seconds is not a number."},
      {R"({"seconds": "Infinity"})", "bad_envelope: seconds is not a number."},
      {R"({"up_ms": -Infinity, "seconds": 1})", "bad_envelope: up_ms is not a number."},
      // Order: north_ms, east_ms, seconds, up_ms, yaw_rate_dps.
      {R"({"yaw_rate_dps": "x", "up_ms": "x", "seconds": "x", "east_ms": "x", "north_ms": "x"})",
       "bad_envelope: north_ms is not a number."},
      {R"({"yaw_rate_dps": "x", "up_ms": "x", "seconds": "x", "east_ms": "x"})",
       "bad_envelope: east_ms is not a number."},
      {R"({"yaw_rate_dps": "x", "up_ms": "x", "seconds": "x"})",
       "bad_envelope: seconds is not a number."},
      {R"({"yaw_rate_dps": "x", "up_ms": "x"})", "bad_envelope: seconds must be positive."},
      {R"({"yaw_rate_dps": "x", "up_ms": "x", "seconds": 1})",
       "bad_envelope: up_ms is not a number."},
      {"[]", "bad_envelope: args is not an object."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    EXPECT_EQ(velocity_refusal(args(c.args)), c.expected);
  }
}

// A vehicle of `autopilot` at 47.3977418 N 8.5455939 E, `alt_rel` metres above home.
VehicleState at_height(double alt_rel, uint8_t autopilot = MAV_AUTOPILOT_PX4,
                       int32_t lon_e7 = 85455939) {
  return vehicle(autopilot,
                 Fix{.lon_e7 = lon_e7,
                     .alt_mm = 500000,
                     .relative_alt_mm = static_cast<int32_t>(std::lround(alt_rel * 1000))});
}

TEST(Reached, HeightWithinTwoMetres) {
  const Json target = Json::object({{"alt_rel", 10.0}});
  struct Case {
    double alt_rel;
    bool expected;
  };
  for (const Case c : {Case{8.1, true}, Case{7.9, false}, Case{10.0, true}, Case{11.9, true},
                       Case{12.1, false}, Case{-10.0, false}}) {
    SCOPED_TRACE(c.alt_rel);
    EXPECT_EQ(reached(target, at_height(c.alt_rel)), c.expected);
  }
  EXPECT_FALSE(reached(target, vehicle(MAV_AUTOPILOT_PX4, std::nullopt))) << "no position yet";
}

TEST(Reached, PositionWithinThreeMetres) {
  const auto state = at_height(30.0);
  const double lat = *state.lat, lon = *state.lon;
  const double metre_lat = 1 / 111320.0;
  const double metre_lon = metre_lat / std::cos(lat * M_PI / 180);
  struct Case {
    const char* name;
    double north_m, east_m, alt_rel;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"here", 0, 0, 30, true},
      {"2.9 m north", 2.9, 0, 30, true},
      {"3.1 m north", 3.1, 0, 30, false},
      {"2.9 m south", -2.9, 0, 30, true},
      {"2.9 m east", 0, 2.9, 30, true},  // a degree of longitude is shorter away from the equator
      {"3.1 m west", 0, -3.1, 30, false},
      {"2 m north, 2 m east", 2, 2, 30, true},
      {"2.2 m north, 2.2 m east", 2.2, 2.2, 30, false},
      {"here, 2.5 m too high", 0, 0, 27.5, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Json target = Json::object({{"lat", lat + c.north_m * metre_lat},
                                      {"lon", lon + c.east_m * metre_lon},
                                      {"alt_rel", c.alt_rel}});
    EXPECT_EQ(reached(target, state), c.expected);
  }
}

TEST(Reached, PositionAcrossTheAntimeridian) {
  // 0.00001 degrees of longitude is about 1.1 m at the equator.
  auto state = vehicle(MAV_AUTOPILOT_ARDUPILOTMEGA,
                       Fix{.lat_e7 = 0, .lon_e7 = 1799999900, .relative_alt_mm = 10000});
  EXPECT_TRUE(reached(Json::object({{"lat", 0.0}, {"lon", -179.99999}, {"alt_rel", 10.0}}), state));
  EXPECT_FALSE(reached(Json::object({{"lat", 0.0}, {"lon", -179.9999}, {"alt_rel", 10.0}}), state));
}

TEST(Reached, ModeTargetFollowsTheFamilysModes) {
  EXPECT_TRUE(reached(Json::object({{"mode", "hold"}}),
                      vehicle(MAV_AUTOPILOT_PX4, std::nullopt, testing::px4_mode(4, 3))));
  EXPECT_FALSE(reached(Json::object({{"mode", "land"}}),
                       vehicle(MAV_AUTOPILOT_PX4, std::nullopt, testing::px4_mode(4, 3))));
  EXPECT_TRUE(reached(Json::object({{"mode", "land"}}),
                      vehicle(MAV_AUTOPILOT_ARDUPILOTMEGA, std::nullopt, 9)));
  EXPECT_FALSE(reached(Json::object({{"mode", "return_home"}}),
                       vehicle(MAV_AUTOPILOT_GENERIC, std::nullopt, 9)));
}

TEST(Reached, AnythingElseIsNeverReached) {
  // The vehicle sits exactly on the numbers below, in AUTO hold on PX4.
  auto state = at_height(10.0);
  state.custom_mode = testing::px4_mode(4, 3);
  const double lat = *state.lat;
  std::vector<Json> targets = {
      Json::object({{"velocity", velocity_args(args(R"({"seconds": 1})"))}}),
      Json::object({{"alt_rel", std::nan("")}}),
      Json::object({{"lat", lat}, {"alt_rel", 10.0}}),
  };
  for (const char* text : {"{}", "null", R"("hold")", "[10.0]", R"({"mode": "takeoff"})",
                           R"({"mode": "guided"})",  // not a PX4 mode
                           R"({"mode": 3})", R"({"alt_rel": "10"})",
                           R"({"lat": "x", "lon": 8.5455939, "alt_rel": 10.0})"})
    targets.push_back(args(text));
  for (const auto& target : targets) {
    SCOPED_TRACE(to_json(target));
    EXPECT_FALSE(reached(target, state));
  }
}

}  // namespace
}  // namespace orvel::commands
