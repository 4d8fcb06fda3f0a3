#include "bridge/bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "bridge/command_key.h"
#include "support/version.h"
#include "tests/bridge/fakes.h"
#include "tests/commands/signing.h"

namespace orvel::bridge {
namespace {

namespace m = orvel::mavlink;
using fakes::FakeHttp;

// Two well-formed Ed25519 public keys (32 bytes each, Base64).
constexpr const char* KEY_A = "O2onvM62pC1io6jQKm8Nc2UyFXcd4kOmOsBIoYtZ2ik=";
constexpr const char* KEY_B = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";
using fakes::FakeLink;
using fakes::FakeUplink;

// A Bridge over fake link, uplink and HTTP, with a clock moved by hand.
struct Rig {
  explicit Rig(BridgeConfig config = {}) {
    BridgeEnv env;
    env.clock = &clock;
    env.log_sink = &sink;
    env.http = &http;
    env.open_link = [this](std::string_view endpoint, int baud, uint8_t sysid, uint8_t compid) {
      opened = {std::string(endpoint), baud, sysid, compid};
      auto l = std::make_unique<FakeLink>(&clock);
      link = l.get();
      return l;
    };
    if (url_scheme(config.utm) == "mqtt") {
      env.make_uplink = [this](const BridgeConfig& c, std::function<void()> on_envelope) {
        return make_uplink(c, clock, &sink, std::move(on_envelope), [this](const MqttOptions& o) {
          auto client = std::make_unique<fakes::FakeMqttClient>(o);
          mqtt_client = client.get();
          return client;
        });
      };
    } else {
      env.make_uplink = [this](const BridgeConfig&, std::function<void()>) {
        auto u = std::make_unique<FakeUplink>();
        uplink = u.get();
        return u;
      };
    }
    bridge = std::make_unique<Bridge>(std::move(config), env);
  }
  // A connected MQTT uplink, as after the broker's answer.
  static BridgeConfig mqtt_config() {
    BridgeConfig c;
    c.utm = "mqtt://broker.example";
    c.device_id = "drone-7";
    return c;
  }
  void connect() {
    mqtt_client->connected = true;
    mqtt_client->handlers.connected("connect onward");
  }
  std::vector<fakes::Published> published_on(const std::string& topic) const {
    std::vector<fakes::Published> out;
    for (const auto& p : mqtt_client->published)
      if (p.topic == topic) out.push_back(p);
    return out;
  }
  // Queues a message and runs one step.
  void feed(m::Message msg) {
    link->inbox.push_back(std::move(msg));
    bridge->step();
  }

  testkit::FakeClock clock;
  testkit::CaptureSink sink;
  FakeHttp http;
  FakeLink* link = nullptr;
  FakeUplink* uplink = nullptr;
  fakes::FakeMqttClient* mqtt_client = nullptr;
  struct {
    std::string endpoint;
    int baud;
    int sysid, compid;
  } opened{};
  std::unique_ptr<Bridge> bridge;
};

TEST(Bridge, OpensTheAutopilotWithOwnIds) {
  BridgeConfig c;
  c.autopilot = "/dev/ttyAMA0";
  c.baud = 921600;
  Rig rig(c);
  EXPECT_EQ(rig.opened.endpoint, "/dev/ttyAMA0");
  EXPECT_EQ(rig.opened.baud, 921600);
  EXPECT_EQ(rig.opened.sysid, 245);
  EXPECT_EQ(rig.opened.compid, m::MAV_COMP_ID_ONBOARD_COMPUTER);
  EXPECT_FALSE(rig.bridge->side_channels());
}

TEST(Bridge, VehicleHeartbeatIsCountedForwardedAndAskedForStreams) {
  Rig rig;
  const auto hb = fakes::heartbeat(1);
  rig.feed(hb);
  EXPECT_EQ(rig.bridge->stats().vehicles, std::set<int>{1});
  EXPECT_EQ(rig.bridge->stats().received, 1);
  EXPECT_EQ(rig.bridge->stats().forwarded, 1);
  ASSERT_EQ(rig.uplink->frames.size(), 1u);
  EXPECT_EQ(rig.uplink->frames[0], hb.frame);  // relayed byte for byte

  const auto cmds = rig.link->sent_as<m::CommandLong>();
  ASSERT_EQ(cmds.size(), 5u);
  const std::pair<uint32_t, float> want[] = {
      {33, 250000.f}, {1, 1000000.f}, {24, 1000000.f}, {245, 1000000.f}, {242, 5000000.f}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(cmds[i].target_system, 1);
    EXPECT_EQ(cmds[i].target_component, 1);
    EXPECT_EQ(cmds[i].command, m::MAV_CMD_SET_MESSAGE_INTERVAL);
    EXPECT_EQ(cmds[i].confirmation, 0);
    EXPECT_EQ(cmds[i].param1, static_cast<float>(want[i].first));
    EXPECT_EQ(cmds[i].param2, want[i].second);
    EXPECT_EQ(cmds[i].param3 + cmds[i].param4 + cmds[i].param5 + cmds[i].param6 + cmds[i].param7,
              0.f);
  }
}

TEST(Bridge, StreamRequestsAreRepeatedOnlyAfterTheInterval) {
  Rig rig;
  rig.feed(fakes::heartbeat(1));
  rig.clock.advance(1.0);
  rig.feed(fakes::heartbeat(1, m::MAV_TYPE_QUADROTOR, 2));  // another component, same system
  EXPECT_EQ(rig.link->sent_as<m::CommandLong>().size(), 5u);
  rig.clock.advance(9.0);
  rig.feed(fakes::heartbeat(1, m::MAV_TYPE_QUADROTOR, 2));
  const auto cmds = rig.link->sent_as<m::CommandLong>();
  ASSERT_EQ(cmds.size(), 10u);
  EXPECT_EQ(cmds[5].target_component, 2);  // whoever spoke first after the interval
  rig.feed(fakes::heartbeat(2));           // another vehicle has its own interval
  EXPECT_EQ(rig.link->sent_as<m::CommandLong>().size(), 15u);
}

TEST(Bridge, NonVehicleHeartbeatsAreCountedButNotForwarded) {
  for (uint8_t type : {m::MAV_TYPE_GCS, m::MAV_TYPE_ONBOARD_CONTROLLER, m::MAV_TYPE_GIMBAL,
                       m::MAV_TYPE_CAMERA, m::MAV_TYPE_ADSB}) {
    Rig rig;
    rig.feed(fakes::heartbeat(255, type));
    EXPECT_EQ(rig.bridge->stats().received, 1);
    EXPECT_EQ(rig.bridge->stats().dropped, 1);
    EXPECT_TRUE(rig.bridge->stats().vehicles.empty());
    EXPECT_TRUE(rig.link->sent.empty());
    EXPECT_TRUE(rig.uplink->frames.empty());
  }
}

TEST(Bridge, ForwardsTelemetryAndDropsTheRest) {
  Rig rig;
  m::GlobalPositionInt gpi;
  gpi.lat = 473977418;
  rig.feed(fakes::message(gpi, 1, 1));
  m::ParamValue pv;
  rig.feed(fakes::message(pv, 1, 1));
  EXPECT_EQ(rig.bridge->stats().forwarded, 1);
  EXPECT_EQ(rig.bridge->stats().dropped, 1);
  EXPECT_EQ(rig.uplink->frames.size(), 1u);

  // Unparsable bytes are not counted at all, but the periodic work still runs.
  m::Message junk;
  junk.frame = {1, 2, 3};
  const int ticks = rig.uplink->ticks;
  rig.feed(junk);
  EXPECT_EQ(rig.bridge->stats().received, 2);
  EXPECT_EQ(rig.uplink->ticks, ticks + 1);
}

TEST(ShouldForward, ByTypeAndSender) {
  struct Case {
    m::Message msg;
    bool want;
  } cases[] = {
      {fakes::heartbeat(1), true},
      {fakes::heartbeat(1, m::MAV_TYPE_GCS), false},
      {fakes::message(m::SysStatus{}, 1, 1), true},
      {fakes::message(m::GpsRawInt{}, 1, 1), true},
      {fakes::message(m::ExtendedSysState{}, 1, 1), true},
      {fakes::message(m::HomePosition{}, 1, 1), true},
      {fakes::message(m::Statustext{}, 200, 1), true},  // any sender
      {fakes::message(m::AutopilotVersion{}, 1, 1), true},
      {fakes::message(m::CommandAck{}, 1, 1), false},
      {fakes::message(m::ParamValue{}, 1, 1), false},
      {fakes::message(m::LogData{}, 1, 1), false},
  };
  for (const auto& c : cases) EXPECT_EQ(should_forward(c.msg), c.want) << c.msg.type;
}

TEST(IntervalUs, TruncatesTowardZero) {
  const std::pair<double, int64_t> cases[] = {
      {0.2, 5000000}, {4.0, 250000}, {1.0, 1000000}, {3.0, 333333}, {1e7, 0}};
  for (auto [hz, us] : cases) EXPECT_EQ(interval_us(hz), us) << hz;
}

TEST(Bridge, StatisticsLine) {
  Rig rig;
  rig.clock.advance(100);  // past the first stream-request interval
  EXPECT_EQ(
      rig.bridge->stats_line(),
      "vehicles=[] received=0 forwarded=0 dropped=0 uplink_dropped_batches=0 "
      "params_published=0 commands={'received': 0, 'rejected': 0, 'executed': 0, 'failed': 0}");
  rig.feed(fakes::heartbeat(7));
  rig.feed(fakes::heartbeat(1));
  rig.feed(fakes::heartbeat(200, m::MAV_TYPE_GCS));
  EXPECT_EQ(
      rig.bridge->stats_line(),
      "vehicles=[1, 7] received=3 forwarded=2 dropped=1 uplink_dropped_batches=0 "
      "params_published=0 commands={'received': 0, 'rejected': 0, 'executed': 0, 'failed': 0}");
}

TEST(Bridge, StatisticsAreLoggedEvery30SecondsWithoutTraffic) {
  Rig rig;
  rig.bridge->maybe_log_stats();  // the loop's first reading of the clock is its start
  rig.sink.clear();
  for (int i = 0; i < 650; ++i) {  // each empty read takes 0.1 s: 65 s
    rig.bridge->step();
    rig.bridge->maybe_log_stats();
  }
  int lines = 0;
  for (const auto& l : rig.sink.messages())
    if (l.rfind("vehicles=[] received=0 forwarded=0 dropped=0", 0) == 0) ++lines;
  EXPECT_EQ(lines, 2);
}

TEST(Bridge, CommandKeyIsFetchedAtStartOnlyWhenNeeded) {
  struct Case {
    const char* name;
    std::vector<std::string> allow;
    bool allow_checks;
    std::string key;
    std::string server;
    bool fetched;
  } cases[] = {
      {"checks need envelopes", {}, true, "", "https://orvel.example", true},
      {"commands need envelopes", {"land"}, false, "", "https://orvel.example", true},
      {"nothing needs envelopes", {}, false, "", "https://orvel.example", false},
      {"key configured", {"land"}, true, KEY_A, "https://orvel.example", false},
      {"no server", {"land"}, true, "", "", false},
  };
  for (const auto& c : cases) {
    BridgeConfig cfg;
    cfg.allow_commands = c.allow;
    cfg.allow_checks = c.allow_checks;
    cfg.command_public_key = c.key;
    cfg.command_key_id = "configured";
    cfg.server = c.server;
    testkit::FakeClock clock;
    testkit::CaptureSink sink;
    FakeHttp http;
    http.response = {200, std::string(R"({"public_key": ")") + KEY_B + R"(", "key_id": "k9"})"};
    BridgeEnv env;
    env.clock = &clock;
    env.log_sink = &sink;
    env.http = &http;
    env.open_link = [](std::string_view, int, uint8_t, uint8_t) {
      return std::make_unique<FakeLink>();
    };
    env.make_uplink = [](const BridgeConfig&, std::function<void()>) {
      return std::make_unique<FakeUplink>();
    };
    Bridge b(cfg, env);
    EXPECT_EQ(http.urls.size(), c.fetched ? 1u : 0u) << c.name;
    EXPECT_EQ(b.command_key(), c.fetched ? KEY_B : c.key) << c.name;
    EXPECT_EQ(b.command_key_id(), c.fetched ? "k9" : "configured") << c.name;
  }
}

TEST(Bridge, StartLineSaysWhenCommandsHaveNoKey) {
  BridgeConfig cfg;
  cfg.allow_commands = {"land", "goto"};
  cfg.server = "https://orvel.example";
  {
    Rig rig(cfg);  // the fetch answers an empty object: no key
    EXPECT_TRUE(
        rig.sink.contains("Commands allowed on this drone: land, goto (NO command key: all will be "
                          "refused)"));
  }
  cfg.command_public_key = KEY_A;
  Rig rig(cfg);
  EXPECT_TRUE(rig.sink.contains("Commands allowed on this drone: land, goto"));
}

m::Message param_value(const char* name, float value, uint16_t index, uint16_t count,
                       uint8_t sysid = 1) {
  m::ParamValue pv;
  std::copy(name, name + std::strlen(name), pv.param_id.begin());
  pv.param_value = value;
  pv.param_type = m::MAV_PARAM_TYPE_REAL32;
  pv.param_index = index;
  pv.param_count = count;
  return fakes::message(pv, sysid, 1);
}

TEST(Bridge, ParameterReaderIsFedOnlyWithSideChannels) {
  for (bool mqtt : {false, true}) {
    Rig rig(mqtt ? Rig::mqtt_config() : BridgeConfig{});
    EXPECT_EQ(rig.bridge->side_channels(), mqtt);
    rig.feed(fakes::heartbeat(1));
    rig.feed(param_value("ALT_MAX", 120.f, 0, 2));
    EXPECT_EQ(rig.bridge->params().target().has_value(), mqtt);
    EXPECT_EQ(rig.bridge->params().by_name().size(), mqtt ? 1u : 0u);
    EXPECT_EQ(rig.bridge->stats().dropped, 1) << "PARAM_VALUE is never relayed";
  }
}

TEST(Bridge, FullParameterReadIsPublishedOnTheParamsChannel) {
  Rig rig(Rig::mqtt_config());
  rig.connect();
  rig.feed(fakes::heartbeat(1));
  for (int i = 0; i < 3; ++i) rig.bridge->step();  // the read starts on a turn
  const auto lists = rig.link->sent_as<m::ParamRequestList>();
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0].target_system, 1);
  rig.feed(param_value("A", 1.f, 0, 2));
  rig.feed(param_value("B", 2.f, 1, 2));
  for (int i = 0; i < 3; ++i) rig.bridge->step();
  const auto snapshots = rig.published_on("utm/params/drone-7");
  ASSERT_EQ(snapshots.size(), 1u);
  EXPECT_EQ(snapshots[0].qos, 1);
  EXPECT_EQ(rig.bridge->params().published(), 1);
  EXPECT_NE(rig.bridge->stats_line().find("params_published=1 "), std::string::npos);
}

TEST(Bridge, ParameterPeriodZeroSwitchesTheReaderOff) {
  BridgeConfig c = Rig::mqtt_config();
  c.params_seconds = 0;
  Rig rig(c);
  rig.connect();
  rig.feed(fakes::heartbeat(1));
  for (int i = 0; i < 50; ++i) rig.bridge->step();
  EXPECT_TRUE(rig.link->sent_as<m::ParamRequestList>().empty());
}

struct SignerHolder {
  testkit::TestSigner signer;
};

// An MQTT agent with commands allowed and the test signer's key, connected to the fake broker.
struct SignedRig : SignerHolder, Rig {
  static BridgeConfig config(const testkit::TestSigner& signer) {
    BridgeConfig c = Rig::mqtt_config();
    c.allow_commands = {"land"};
    c.command_public_key = signer.public_key_b64();
    c.command_key_id = "k1";
    return c;
  }
  SignedRig() : Rig(config(signer)) { connect(); }
  // As the MQTT client's network thread delivers it.
  void deliver(const std::string& payload) { mqtt_client->handlers.message(payload); }
  std::string envelope(std::string_view kind, std::string_view nonce) {
    const auto iat = static_cast<int64_t>(clock.wall());
    return to_json(signer.envelope(testkit::command_body(kind, "edge_bridge:drone-7", nonce, iat)));
  }
  std::vector<Json> answers() const {
    std::vector<Json> out;
    for (const auto& p : published_on("utm/cmdack/drone-7")) out.push_back(*parse_json(p.payload));
    return out;
  }
  std::vector<Json> hellos() const {
    std::vector<Json> out;
    for (const auto& a : answers())
      if (a.at("type").as_string() == "hello") out.push_back(a);
    return out;
  }
};

TEST(Bridge, EnvelopesAreRoutedInArrivalOrderToOneModuleEach) {
  SignedRig rig;
  rig.deliver(rig.envelope("checks.run", "n1"));
  rig.deliver(rig.envelope("land", "n2"));
  rig.deliver("not json at all");
  rig.deliver(rig.envelope("checks.run", "n3"));
  rig.deliver(rig.envelope("land", "n4"));
  EXPECT_EQ(rig.link->wakes, 5);  // each arrival wakes the main loop
  rig.bridge->step();             // one turn handles all five
  const auto answers = rig.answers();
  ASSERT_EQ(answers.size(), 4u);  // the unreadable one is dropped without an answer
  const std::pair<const char*, const char*> want[] = {
      {"checks", "r-n1"}, {"ack", "r-n2"}, {"checks", "r-n3"}, {"ack", "r-n4"}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(answers[i].at("type").as_string(), want[i].first);
    EXPECT_EQ(answers[i].at("id").as_string(), want[i].second);
  }
  // No autopilot yet: the land commands are refused, the checks report.
  EXPECT_EQ(answers[1].at("code").as_string(), "no_autopilot");
  EXPECT_TRUE(answers[1].at("sysid").is_null());
  EXPECT_EQ(answers[0].at("stage").as_string(), "report");
  EXPECT_NE(rig.bridge->stats_line().find("commands={'received': 0, 'rejected': 2,"),
            std::string::npos);
}

TEST(Bridge, SignedLandIsSentToTheAutopilotAndAnswered) {
  SignedRig rig;
  rig.feed(fakes::heartbeat(1));
  rig.deliver(rig.envelope("land", "n1"));
  rig.bridge->step();
  rig.bridge->step();
  const auto lands = rig.link->sent_as<m::CommandLong>();
  ASSERT_FALSE(lands.empty());
  EXPECT_EQ(lands.back().command, m::MAV_CMD_NAV_LAND);
  EXPECT_EQ(lands.back().target_system, 1);
  const auto answers = rig.answers();
  ASSERT_FALSE(answers.empty());
  bool received = false;
  for (const auto& a : answers)
    if (a.at("type").as_string() == "ack") received = a.at("stage").as_string() == "received";
  EXPECT_TRUE(received);
}

TEST(Bridge, HelloNeedsTheSystemIdAndFollowsConnectionsAndTime) {
  SignedRig rig;
  for (int i = 0; i < 5; ++i) rig.bridge->step();
  EXPECT_TRUE(rig.hellos().empty()) << "no system id yet";

  rig.feed(fakes::heartbeat(1));
  rig.bridge->step();
  auto hellos = rig.hellos();
  ASSERT_EQ(hellos.size(), 1u);
  std::vector<std::string> keys;
  for (const auto& [k, v] : hellos[0].as_object()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"v", "type", "sysid", "allow", "key_id", "version",
                                            "checks"}));
  EXPECT_EQ(to_json(hellos[0]),
            std::string(R"({"v": 1, "type": "hello", "sysid": 1, "allow": ["land"], )") +
                R"("key_id": "k1", "version": ")" + std::string(RELEASE_VERSION) +
                R"(", "checks": true})");

  rig.clock.advance(30);
  rig.bridge->step();
  EXPECT_EQ(rig.hellos().size(), 1u) << "not due yet";
  rig.clock.advance(31);
  rig.bridge->step();
  EXPECT_EQ(rig.hellos().size(), 2u) << "due after 60 s";

  rig.connect();  // a reconnection
  rig.bridge->step();
  EXPECT_EQ(rig.hellos().size(), 3u) << "due after a reconnection";

  rig.mqtt_client->accept_publish = false;  // refused: nothing is recorded
  rig.connect();
  rig.bridge->step();
  rig.mqtt_client->accept_publish = true;
  rig.bridge->step();
  EXPECT_EQ(rig.hellos().size(), 4u);
  rig.bridge->step();
  EXPECT_EQ(rig.hellos().size(), 4u);
}

TEST(Bridge, UdpUplinkHandlesNoEnvelopesAndSendsNoHello) {
  Rig rig;
  rig.feed(fakes::heartbeat(1));
  for (int i = 0; i < 5; ++i) rig.bridge->step();
  EXPECT_EQ(rig.bridge->executor().state().sysid, std::nullopt) << "modules see no messages";
}

TEST(Bridge, AnUnusableConfiguredKeyEndsStartUp) {
  BridgeConfig c;
  c.allow_commands = {"land"};
  c.command_public_key = "QUJD";  // 3 bytes, not a key
  EXPECT_THROW(Rig rig(c), std::invalid_argument);
}

TEST(FetchCommandKey, AnswersAndFailures) {
  struct Case {
    const char* name;
    HttpResponse response;
    std::string fail;
    CommandKey want;
    std::string warning;  // "" when none is expected
  } cases[] = {
      {"both", {200, R"({"public_key": "PK", "key_id": "k1", "x": 1})"}, "", {"PK", "k1"}, ""},
      {"empty key", {200, R"({"public_key": "", "key_id": "k2"})"}, "", {"", "k2"}, ""},
      {"null id", {200, R"({"key_id": null})"}, "", {"", ""}, ""},
      {"wrong types", {200, R"({"public_key": 5, "key_id": ["a"]})"}, "", {"", ""}, ""},
      {"404", {404, "nope"}, "", {"", ""}, "HTTP status 404"},
      {"500", {500, "{}"}, "", {"", ""}, "HTTP status 500"},
      {"not json", {200, "<html>"}, "", {"", ""}, "the answer is not valid JSON"},
      {"a list", {200, "[1, 2]"}, "", {"", ""}, "the answer is not a JSON object"},
      {"network", {}, "Could not resolve host: x", {"", ""}, "Could not resolve host: x"},
  };
  for (const auto& c : cases) {
    FakeHttp http;
    http.response = c.response;
    http.fail = c.fail;
    testkit::CaptureSink sink;
    const CommandKey got = fetch_command_key("https://o.example/", http, Logger("bridge", &sink));
    EXPECT_EQ(got.public_key, c.want.public_key) << c.name;
    EXPECT_EQ(got.key_id, c.want.key_id) << c.name;
    if (c.warning.empty()) {
      EXPECT_TRUE(sink.lines().empty()) << c.name;
    } else {
      EXPECT_TRUE(
          sink.contains("Could not fetch the command key from https://o.example/: " + c.warning))
          << c.name;
    }
  }
}

TEST(FetchCommandKey, UrlAndTimeouts) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://o.example", "https://o.example/api/v1/edge/command-key/"},
      {"https://o.example/", "https://o.example/api/v1/edge/command-key/"},
      {"https://o.example//", "https://o.example/api/v1/edge/command-key/"},
      {"http://o.example:8080/orvel/", "http://o.example:8080/orvel/api/v1/edge/command-key/"},
  };
  for (auto [server, url] : cases) {
    FakeHttp http;
    testkit::CaptureSink sink;
    fetch_command_key(server, http, Logger("bridge", &sink));
    ASSERT_EQ(http.urls.size(), 1u);
    EXPECT_EQ(http.urls[0], url);
    EXPECT_EQ(http.last_options.connect_timeout_s, 10.0);
    EXPECT_EQ(http.last_options.wait_timeout_s, 10.0);
  }
}

}  // namespace
}  // namespace orvel::bridge
