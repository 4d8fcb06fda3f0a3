#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "bridge/config.h"

namespace orvel::bridge {
namespace {

using Env = std::map<std::string, std::string>;

BridgeConfig read(const Env& env) {
  return BridgeConfig::from_env([&](const char* name) -> std::optional<std::string> {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  });
}

TEST(Config, EmptyEnvironmentGivesDefaults) {
  const BridgeConfig c = read({});
  const BridgeConfig d;
  EXPECT_EQ(c.autopilot, "udpin:0.0.0.0:14540");
  EXPECT_EQ(c.baud, 57600);
  EXPECT_EQ(c.utm, d.utm);
  EXPECT_EQ(c.resolve_seconds, 30);
  EXPECT_EQ(c.stream_request_seconds, 10);
  EXPECT_EQ(c.source_system, 245);
  EXPECT_EQ(c.device_id, "");
  EXPECT_EQ(c.mqtt_batch_ms, 100);
  EXPECT_EQ(c.params_seconds, 600);
  EXPECT_TRUE(c.allow_commands.empty());
  EXPECT_EQ(c.logs_since, 0.0);
  EXPECT_EQ(c.logs_state, "/tmp/orvel-edge-logs-sent.json");
  EXPECT_EQ(d.logs_state, "");
  EXPECT_FALSE(c.share_logs);
  EXPECT_TRUE(c.allow_checks);
  EXPECT_EQ(c.command_key_id, "");
  EXPECT_TRUE(c.camera.is_object() && c.camera.size() == 0);
}

TEST(Config, TruthValues) {
  struct Case {
    const char* var;
    const char* value;
    bool want;
  } cases[] = {
      {"EDGE_ALLOW_CHECKS", "", false},    {"EDGE_ALLOW_CHECKS", "ON", true},
      {"EDGE_ALLOW_CHECKS", " on", false}, {"EDGE_ALLOW_CHECKS", "off", false},
      {"EDGE_SHARE_LOGS", "Yes", true},    {"EDGE_SHARE_LOGS", "2", false},
      {"EDGE_SHARE_LOGS", "TRUE", true},   {"EDGE_SHARE_LOGS", "1", true},
  };
  for (const auto& c : cases) {
    const BridgeConfig cfg = read({{c.var, c.value}});
    const bool got = std::string(c.var) == "EDGE_SHARE_LOGS" ? cfg.share_logs : cfg.allow_checks;
    EXPECT_EQ(got, c.want) << c.var << "='" << c.value << "'";
  }
}

TEST(Config, DeviceIdFallsBackToUserNameOnlyWhenMissing) {
  EXPECT_EQ(read({{"EDGE_MQTT_USERNAME", "drone-7"}}).device_id, "drone-7");
  EXPECT_EQ(read({{"EDGE_MQTT_USERNAME", "drone-7"}, {"EDGE_DEVICE_ID", ""}}).device_id, "");
  EXPECT_EQ(read({{"EDGE_MQTT_USERNAME", "u"}, {"EDGE_DEVICE_ID", "d"}}).device_id, "d");
}

TEST(Config, NumbersAreConvertedAndBadOnesReportedInTableOrder) {
  EXPECT_EQ(read({{"EDGE_BAUD", " 115200 "}}).baud, 115200);
  EXPECT_EQ(read({{"EDGE_PARAMS_SECONDS", "-5"}}).params_seconds, -5);
  EXPECT_EQ(read({{"EDGE_PARAMS_SECONDS", "+0"}}).params_seconds, 0);
  EXPECT_DOUBLE_EQ(read({{"EDGE_LOGS_SINCE", "1.7e9"}}).logs_since, 1.7e9);
  EXPECT_DOUBLE_EQ(read({{"EDGE_LOGS_SINCE", " -.5 "}}).logs_since, -0.5);
  EXPECT_EQ(read({{"EDGE_SERVER", "https://x/"}}).server, "https://x/");  // not trimmed

  for (const char* bad : {"fast", "", "1.5", "1e3", "0x10", "1 2", "99999999999999999999"}) {
    EXPECT_THROW(read({{"EDGE_BAUD", bad}}), ConversionError) << bad;
  }
  for (const char* bad : {"", "abc", "1.2.3", "e5", "1e", "inf", "."}) {
    EXPECT_THROW(read({{"EDGE_LOGS_SINCE", bad}}), ConversionError) << bad;
  }
  // EDGE_BAUD comes before EDGE_RESOLVE_SECONDS and EDGE_MQTT_BATCH_MS in reading order.
  try {
    read({{"EDGE_MQTT_BATCH_MS", "x"}, {"EDGE_BAUD", "fast"}, {"EDGE_RESOLVE_SECONDS", "y"}});
    FAIL() << "no error";
  } catch (const ConversionError& e) {
    EXPECT_NE(std::string(e.what()).find("'fast'"), std::string::npos) << e.what();
  }
  // The allow list is read before the baud rate.
  EXPECT_THROW(read({{"EDGE_BAUD", "fast"}, {"EDGE_ALLOW_COMMANDS", "fly"}}), FatalConfigError);
}

TEST(ParseAllow, Lists) {
  using V = std::vector<std::string>;
  const V five = {"land", "return_home", "hold", "takeoff", "goto"};
  struct Case {
    const char* text;
    V want;
  } cases[] = {
      {"", {}},
      {" , ;", {}},
      {"none", {}},
      {"all", five},
      {"all;velocity", {"land", "return_home", "hold", "takeoff", "goto", "velocity"}},
      {"velocity, land", {"velocity", "land"}},
      {"all,land", five},
      {"land,land", {"land", "land"}},
      {"goto;none; hold", {"goto", "hold"}},
      {"velocity,all,velocity",
       {"land", "return_home", "hold", "takeoff", "goto", "velocity", "velocity"}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_allow(c.text), c.want) << "'" << c.text << "'";
  EXPECT_TRUE(read({}).allow_commands.empty());
}

TEST(ParseAllow, UnknownNamesAreFatalWithTheExactMessage) {
  struct Case {
    const char* text;
    const char* bracket;
  } cases[] = {{"Land", "['Land']"}, {"land,Fly", "['Fly']"}, {"a; land ;b", "['a', 'b']"}};
  for (const auto& c : cases) {
    try {
      parse_allow(c.text);
      ADD_FAILURE() << c.text;
    } catch (const FatalConfigError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Unknown command(s) in EDGE_ALLOW_COMMANDS: ") +
                                           c.bracket +
                                           ". Known: land, return_home, hold, takeoff, goto, "
                                           "velocity");
    }
  }
}

TEST(DeviceId, Pattern) {
  EXPECT_TRUE(is_device_id("drone-7_A"));
  EXPECT_TRUE(is_device_id(std::string(64, 'a')));
  EXPECT_FALSE(is_device_id(std::string(65, 'a')));
  for (const char* bad : {"", "a b", "drone/7", "dr\xc3\xa9", "a+b", "a\n"})
    EXPECT_FALSE(is_device_id(bad)) << bad;
}

TEST(Mavlink20, ExistingValueStays) {
  unsetenv("MAVLINK20");
  set_mavlink20_default();
  EXPECT_STREQ(getenv("MAVLINK20"), "1");
  setenv("MAVLINK20", "0", 1);
  set_mavlink20_default();
  EXPECT_STREQ(getenv("MAVLINK20"), "0");
  setenv("MAVLINK20", "", 1);
  set_mavlink20_default();
  EXPECT_STREQ(getenv("MAVLINK20"), "");
  unsetenv("MAVLINK20");
}

}  // namespace
}  // namespace orvel::bridge
