// The agent program end to end: a fake autopilot on UDP, the uplink over UDP or a real broker.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <map>
#include <string>

#include "mavlink/connection.h"
#include "mavlink/frame.h"
#include "mavlink/messages.h"
#include "params/param_reader.h"
#include "support/json.h"
#include "tests/commands/signing.h"
#include "tests/testkit/mosquitto.h"
#include "tests/testkit/process.h"
#include "tests/testkit/testkit.h"

namespace orvel {
namespace {

namespace m = orvel::mavlink;
using testkit::ChildProcess;

std::string agent_path() {
  return testkit::binary_dir() + "/bridge/orvel-edge-bridge";
}

ChildProcess start_agent(std::map<std::string, std::string> env) {
  return ChildProcess({agent_path()}, std::move(env));
}

// Settings for an agent on a fake autopilot's UDP port and the test broker, as device "drone-7";
// `extra` adds settings.
std::map<std::string, std::string> mqtt_env(int ap_port, int broker_port,
                                            std::map<std::string, std::string> extra = {}) {
  extra.insert({{"EDGE_AUTOPILOT", "udpin:127.0.0.1:" + std::to_string(ap_port)},
                {"EDGE_UTM", "mqtt://127.0.0.1:" + std::to_string(broker_port)},
                {"EDGE_DEVICE_ID", "drone-7"}});
  return extra;
}

// The fake autopilot (system 1, component 1), sending to the agent's port.
std::unique_ptr<m::Link> fake_autopilot(int ap_port) {
  return m::open_link("udpout:127.0.0.1:" + std::to_string(ap_port), 0, 1, 1);
}

m::Heartbeat quad_heartbeat() {
  m::Heartbeat hb;
  hb.type = m::MAV_TYPE_QUADROTOR;
  hb.autopilot = m::MAV_AUTOPILOT_PX4;
  hb.base_mode = m::MAV_MODE_FLAG_CUSTOM_MODE_ENABLED;
  return hb;
}

// Sends a heartbeat every 0.2 s from `autopilot` until `until` is true or time runs out.
// `custom_mode`, when given, is read at every beat, so the fake can change its flight mode.
template <class Pred>
bool beat_until(m::Link& autopilot, double timeout_s, Pred until,
                const uint32_t* custom_mode = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (std::chrono::steady_clock::now() < deadline) {
    m::Heartbeat hb = quad_heartbeat();
    if (custom_mode) hb.custom_mode = *custom_mode;
    autopilot.send(hb);
    if (until()) return true;
  }
  return false;
}

TEST(Agent, RelaysOverUdpAndAsksForStreams) {
  const int ap_port = testkit::free_port();
  const int up_port = testkit::free_port();
  auto agent = start_agent({{"EDGE_AUTOPILOT", "udpin:127.0.0.1:" + std::to_string(ap_port)},
                            {"EDGE_UTM", "udpout:127.0.0.1:" + std::to_string(up_port)}});
  auto platform = m::open_link("udpin:127.0.0.1:" + std::to_string(up_port), 0, 250, 1);
  // The fake autopilot: system 1, component 1.
  auto autopilot = fake_autopilot(ap_port);

  std::optional<m::Message> relayed;
  int stream_requests = 0;
  ASSERT_TRUE(beat_until(*autopilot, 10.0, [&] {
    while (auto msg = autopilot->recv(0.0)) {
      if (auto cmd = msg->as<m::CommandLong>();
          cmd && cmd->command == m::MAV_CMD_SET_MESSAGE_INTERVAL && cmd->target_system == 1) {
        EXPECT_EQ(msg->sysid, 245);
        EXPECT_EQ(msg->compid, m::MAV_COMP_ID_ONBOARD_COMPUTER);
        ++stream_requests;
      }
    }
    if (!relayed) relayed = platform->recv(0.2);
    return relayed && stream_requests >= 5;
  })) << agent.stderr_text();
  ASSERT_EQ(relayed->type, "HEARTBEAT");
  EXPECT_EQ(relayed->sysid, 1);   // the autopilot's own frame, not re-encoded
  EXPECT_EQ(stream_requests, 5);  // at most once per 10 s
  EXPECT_TRUE(agent.stderr_text().find(
                  " INFO orvel_edge.bridge Edge bridge udpin:127.0.0.1:" + std::to_string(ap_port) +
                  " \u2192 udpout:127.0.0.1:" + std::to_string(up_port)) != std::string::npos)
      << agent.stderr_text();
  EXPECT_FALSE(agent.wait(0.0)) << "the agent stopped";
}

TEST(Agent, RelaysInMqttBatches) {
  testkit::MosquittoBroker broker;
  testkit::TestMqttClient platform(broker.port());
  platform.subscribe("utm/mavlink/drone-7", 0);
  const int ap_port = testkit::free_port();
  auto agent = start_agent(mqtt_env(ap_port, broker.port()));
  ASSERT_TRUE(agent.wait_for_stderr("MQTT connected", 15.0)) << agent.stderr_text();
  auto autopilot = fake_autopilot(ap_port);
  ASSERT_TRUE(beat_until(*autopilot, 10.0, [&] {
    autopilot->recv(0.2);
    return !platform.messages().empty();
  })) << agent.stderr_text();
  const auto batch = platform.messages().front();
  // A batch is whole frames back to back: it parses into heartbeats only.
  m::Parser parser;
  parser.push({reinterpret_cast<const uint8_t*>(batch.payload.data()), batch.payload.size()});
  int frames = 0;
  while (auto msg = parser.next()) {
    EXPECT_EQ(msg->type, "HEARTBEAT");
    ++frames;
  }
  EXPECT_GE(frames, 1);
  EXPECT_EQ(batch.qos, 0);
  EXPECT_FALSE(batch.retained);
}

// A fake PX4 that serves 20 parameters, but loses index 7 from the full list; it answers the
// re-read of that index.
TEST(Agent, PublishesACompleteParameterSnapshotDespiteALostValue) {
  testkit::MosquittoBroker broker;
  testkit::TestMqttClient platform(broker.port());
  platform.subscribe("utm/params/drone-7", 1);
  const int ap_port = testkit::free_port();
  auto agent = start_agent(mqtt_env(ap_port, broker.port()));
  ASSERT_TRUE(agent.wait_for_stderr("MQTT connected", 15.0)) << agent.stderr_text();
  auto autopilot = fake_autopilot(ap_port);
  constexpr uint16_t COUNT = 20, LOST = 7;
  auto send_param = [&](uint16_t index) {
    m::ParamValue pv;
    const std::string name = "PARAM_" + std::to_string(index);
    std::copy(name.begin(), name.end(), pv.param_id.begin());
    pv.param_value = static_cast<float>(index) * 0.5f;
    pv.param_type = m::MAV_PARAM_TYPE_REAL32;
    pv.param_index = index;
    pv.param_count = COUNT;
    autopilot->send(pv);
  };
  int rereads = 0;
  ASSERT_TRUE(beat_until(*autopilot, 20.0, [&] {
    while (auto msg = autopilot->recv(0.05)) {
      if (msg->as<m::ParamRequestList>()) {
        for (uint16_t i = 0; i < COUNT; ++i)
          if (i != LOST) send_param(i);
      } else if (auto rr = msg->as<m::ParamRequestRead>()) {
        ++rereads;
        if (rr->param_index >= 0) send_param(static_cast<uint16_t>(rr->param_index));
      }
    }
    return !platform.messages_on("utm/params/drone-7").empty();
  })) << agent.stderr_text();
  EXPECT_EQ(rereads, 1);
  const auto snapshot =
      params::decode_snapshot(platform.messages_on("utm/params/drone-7")[0].payload);
  ASSERT_TRUE(snapshot.has_value());
  EXPECT_EQ(snapshot->at("type").as_string(), "params");
  EXPECT_EQ(snapshot->at("sysid").as_int(), 1);
  EXPECT_EQ(snapshot->at("autopilot").as_string(), "px4");
  EXPECT_TRUE(snapshot->at("complete").as_bool());
  ASSERT_EQ(snapshot->at("params").size(), COUNT);
  EXPECT_EQ(snapshot->at("params").at("PARAM_7").as_double(), 3.5);
  EXPECT_TRUE(agent.wait_for_stderr("Published 20 parameters (px4, complete=True)", 1.0))
      << agent.stderr_text();
}

// A signed "land" from the platform reaches a fake PX4 as MAV_CMD_NAV_LAND; the fake
// acknowledges it and switches to AUTO.LAND, and the platform hears every stage in order.
TEST(Agent, FliesASignedCommandEndToEnd) {
  testkit::TestSigner signer;
  testkit::MosquittoBroker broker;
  testkit::TestMqttClient platform(broker.port());
  platform.subscribe("utm/cmdack/drone-7", 1);
  const int ap_port = testkit::free_port();
  auto agent = start_agent(mqtt_env(
      ap_port, broker.port(),
      {{"EDGE_ALLOW_COMMANDS", "land"}, {"EDGE_COMMAND_PUBLIC_KEY", signer.public_key_b64()}}));
  ASSERT_TRUE(agent.wait_for_stderr("MQTT connected", 15.0)) << agent.stderr_text();
  auto autopilot = fake_autopilot(ap_port);

  constexpr uint32_t PX4_AUTO_LOITER = (3u << 24) | (4u << 16);
  constexpr uint32_t PX4_AUTO_LAND = (6u << 24) | (4u << 16);
  uint32_t custom_mode = PX4_AUTO_LOITER;
  // The hello tells that the agent knows the vehicle.
  ASSERT_TRUE(beat_until(
      *autopilot, 10.0,
      [&] {
        autopilot->recv(0.1);
        return !platform.messages_on("utm/cmdack/drone-7").empty();
      },
      &custom_mode))
      << agent.stderr_text();

  const auto iat = static_cast<int64_t>(std::time(nullptr));
  const Json body = testkit::command_body("land", "edge_bridge:drone-7", "n-1", iat);
  platform.publish("utm/cmd/drone-7", to_json(signer.envelope(body)), 1);

  int lands = 0;
  auto stages = [&] {
    std::vector<std::string> out;
    for (const auto& msg : platform.messages_on("utm/cmdack/drone-7")) {
      const auto answer = parse_json(msg.payload);
      if (answer && answer->at("type").as_string() == "ack")
        out.push_back(answer->at("stage").as_string());
    }
    return out;
  };
  ASSERT_TRUE(beat_until(
      *autopilot, 15.0,
      [&] {
        while (auto msg = autopilot->recv(0.05)) {
          if (auto cmd = msg->as<m::CommandLong>(); cmd && cmd->command == m::MAV_CMD_NAV_LAND) {
            ++lands;
            EXPECT_EQ(cmd->target_system, 1);
            m::CommandAck ack;
            ack.command = cmd->command;
            ack.result = m::MAV_RESULT_ACCEPTED;
            autopilot->send(ack);
            custom_mode = PX4_AUTO_LAND;
          }
        }
        return stages().size() >= 3;
      },
      &custom_mode))
      << agent.stderr_text();
  EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted", "executed"}));
  EXPECT_EQ(lands, 1);
  // Answers are in the default JSON form, members in their fixed order.
  const std::string first = platform.messages_on("utm/cmdack/drone-7")[1].payload;
  EXPECT_EQ(first.rfind(R"({"v": 1, "type": "ack", "id": "r-n-1", "sysid": 1, "stage": )", 0), 0u)
      << first;
  EXPECT_TRUE(agent.wait_for_stderr("Command r-n-1: land", 1.0)) << agent.stderr_text();
}

// Hostile payloads on the command topic are answered or dropped; the agent neither stops nor
// stalls, telemetry keeps flowing, and a good command afterwards is still carried out.
TEST(Agent, HostileEnvelopesNeverStopTheAgent) {
  testkit::TestSigner signer;
  testkit::MosquittoBroker broker;
  testkit::TestMqttClient platform(broker.port());
  platform.subscribe("utm/cmdack/drone-7", 1);
  platform.subscribe("utm/mavlink/drone-7", 0);
  const int ap_port = testkit::free_port();
  auto agent = start_agent(mqtt_env(
      ap_port, broker.port(),
      {{"EDGE_ALLOW_COMMANDS", "land"}, {"EDGE_COMMAND_PUBLIC_KEY", signer.public_key_b64()}}));
  ASSERT_TRUE(agent.wait_for_stderr("MQTT connected", 15.0)) << agent.stderr_text();
  auto autopilot = fake_autopilot(ap_port);
  ASSERT_TRUE(beat_until(*autopilot, 10.0, [&] {
    autopilot->recv(0.1);
    return !platform.messages_on("utm/cmdack/drone-7").empty();  // the hello
  })) << agent.stderr_text();

  const auto iat = static_cast<int64_t>(std::time(nullptr));
  Json wrong_types = Json::object({{"v", "1"},
                                   {"kind", 5},
                                   {"id", Json::array({1})},
                                   {"vehicle_key", nullptr},
                                   {"iat", "now"},
                                   {"exp", true},
                                   {"nonce", Json::object()}});
  Json bad_sig_body = testkit::command_body("land", "edge_bridge:drone-7", "n-bad", iat);
  const std::string hostile[] = {
      "not json",
      std::string(1 << 20, 'x'),
      std::string(100000, '[') + std::string(100000, ']'),
      R"({"body": 5, "sig": "AAAA"})",
      "[1, 2, 3]",
      to_json(Json::object({{"body", wrong_types}, {"sig", signer.sign_b64("x")}})),
      to_json(Json::object({{"body", bad_sig_body}, {"sig", "!!not base64!!"}})),
      to_json(Json::object({{"body", bad_sig_body}, {"sig", 5}})),
  };
  const size_t answers_before = platform.messages_on("utm/cmdack/drone-7").size();
  for (const auto& payload : hostile) platform.publish("utm/cmd/drone-7", payload, 1);
  const Json good = testkit::command_body("land", "edge_bridge:drone-7", "n-good", iat);
  platform.publish("utm/cmd/drone-7", to_json(signer.envelope(good)), 1);

  auto acks = [&] {
    std::vector<Json> out;
    const auto all = platform.messages_on("utm/cmdack/drone-7");
    for (size_t i = answers_before; i < all.size(); ++i) {
      auto a = parse_json(all[i].payload);
      if (a && a->at("type").as_string() == "ack") out.push_back(*a);
    }
    return out;
  };
  bool got_good = false;
  ASSERT_TRUE(beat_until(*autopilot, 15.0, [&] {
    autopilot->recv(0.1);
    for (const auto& a : acks())
      if (a.at("id") == Json("r-n-good") && a.at("stage").as_string() == "received")
        got_good = true;
    return got_good;
  })) << agent.stderr_text();

  // Only the three with a readable body are answered: as refusals, and the good one is not.
  std::vector<std::string> codes;
  for (const auto& a : acks())
    if (a.at("stage").as_string() == "rejected") codes.push_back(a.at("code").as_string());
  EXPECT_EQ(codes.size(), 3u);
  for (const auto& c : codes) EXPECT_TRUE(c == "bad_envelope" || c == "bad_signature") << c;

  // Telemetry still flows after the burst.
  const size_t batches = platform.messages_on("utm/mavlink/drone-7").size();
  ASSERT_TRUE(beat_until(*autopilot, 5.0, [&] {
    autopilot->recv(0.1);
    return platform.messages_on("utm/mavlink/drone-7").size() > batches;
  }));
  EXPECT_FALSE(agent.wait(0.0)) << agent.stderr_text();
}

TEST(Agent, StartUpErrorsEndTheProcess) {
  struct Case {
    std::map<std::string, std::string> env;
    int status;
    std::string message;
  } cases[] = {
      {{{"EDGE_ALLOW_COMMANDS", "land,Fly"}},
       1,
       "Unknown command(s) in EDGE_ALLOW_COMMANDS: ['Fly']. Known: land, return_home, hold, "
       "takeoff, goto, velocity\n"},
      {{{"EDGE_UTM", "mqtt://127.0.0.1:1883"}, {"EDGE_DEVICE_ID", "a b"}},
       1,
       "EDGE_DEVICE_ID (or EDGE_MQTT_USERNAME) must be 1-64 of A-Z a-z 0-9 _ -\n"},
      {{{"EDGE_BAUD", "fast"}}, 2, "'fast'"},
      {{{"EDGE_AUTOPILOT", "udpin:127.0.0.1:notaport"}}, 2, "notaport"},
  };
  for (const auto& c : cases) {
    auto agent = start_agent(c.env);
    const auto status = agent.wait(10.0);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, c.status);
    const std::string err = agent.stderr_text();
    if (c.status == 1)
      EXPECT_EQ(err, c.message);
    else
      EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace orvel
