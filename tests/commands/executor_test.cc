#include "commands/executor.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mavlink/link.h"
#include "mavlink/messages.h"
#include "support/json.h"
#include "tests/commands/signing.h"
#include "tests/commands/vehicle_messages.h"
#include "tests/testkit/testkit.h"

namespace orvel::commands {
namespace {

namespace m = mavlink;
using testing::DEFAULT;
using testing::heartbeat;
using testing::message;
using testing::px4_mode;
using testkit::TestSigner;

constexpr double kStart = 1000.0;  // monotonic seconds when a test begins
constexpr uint8_t kSysid = 7;      // the vehicle of most tests
constexpr uint8_t kCompid = 2;
const std::vector<std::string> kAllKinds = {"land",    "return_home", "hold",
                                            "takeoff", "goto",        "velocity"};

// Every message the executor sends, with the test time (seconds since `origin`) of the send.
class RecordingSender final : public m::Sender {
 public:
  RecordingSender(const Clock& clock, const double& origin) : clock_(clock), origin_(origin) {}
  void send_payload(uint32_t msgid, std::span<const uint8_t> payload) override {
    sent.push_back({msgid, {payload.begin(), payload.end()}, clock_.monotonic() - origin_});
  }
  template <class T>
  std::vector<T> all() const {
    std::vector<T> out;
    for (const auto& s : sent)
      if (s.msgid == T::ID) out.push_back(T::decode(s.payload));
    return out;
  }
  template <class T>
  std::vector<double> times() const {
    std::vector<double> out;
    for (const auto& s : sent)
      if (s.msgid == T::ID) out.push_back(s.at);
    return out;
  }

  struct Sent {
    uint32_t msgid;
    std::vector<uint8_t> payload;
    double at;
  };
  std::vector<Sent> sent;

 private:
  const Clock& clock_;
  const double& origin_;
};

void expect_times(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-9) << i;
}

std::vector<double> every_tenth(double from, double to) {
  std::vector<double> out;
  for (int k = static_cast<int>(std::lround(from * 10)); k <= std::lround(to * 10); ++k)
    out.push_back(k / 10.0);
  return out;
}

class ExecutorTest : public ::testing::Test {
 public:
  void SetUp() override { make(kAllKinds); }

  // A fresh executor (the vehicle state goes with it) allowing `allow`. Test time 0 is the next
  // whole second, so that time limits in whole seconds fall exactly on a tick.
  void make(std::vector<std::string> allow, bool with_fetch = true) {
    answers.clear();
    log.clear();
    mav.sent.clear();
    acked = 0;
    origin = std::ceil(clock.monotonic());
    clock.advance(origin - clock.monotonic());
    CommandExecutor::FetchKey fetch;
    if (with_fetch) {
      fetch = [this] {
        ++fetches;
        if (fetch_throws) throw std::runtime_error("connection refused");
        return fetch_result;
      };
    }
    exec.emplace(
        mav, [this](const Json& a) { answers.push_back(a); }, std::move(allow), verifier, "dev-1",
        std::move(fetch), clock, &log);
  }

  // A body valid now for `vehicle_key`, with a fresh nonce and id "r-n-<number>".
  Json body(std::string_view kind, std::string_view vehicle_key = "edge_bridge:dev-1") {
    return testkit::command_body(kind, vehicle_key, "n-" + std::to_string(++nonces),
                                 static_cast<std::int64_t>(clock.wall()));
  }
  void deliver(const Json& b, const TestSigner* signer = nullptr) {
    exec->on_envelope(to_json((signer ? *signer : platform).envelope(b)));
  }
  Json send(std::string_view kind, Json args = Json()) {
    Json b = body(kind);
    if (!args.is_null()) b["args"] = std::move(args);
    deliver(b);
    return b;
  }

  void vehicle(uint8_t autopilot, bool with_position = true, uint32_t custom_mode = 0) {
    exec->on_message(heartbeat(kSysid, kCompid, autopilot, custom_mode));
    if (with_position) fix(testing::Fix{}.relative_alt_mm);
  }
  void fix(int32_t relative_alt_mm, int32_t lat_e7 = testing::Fix{}.lat_e7,
           int32_t lon_e7 = testing::Fix{}.lon_e7) {
    exec->on_message(
        testing::position(kSysid, lat_e7, lon_e7, testing::Fix{}.alt_mm, relative_alt_mm));
  }
  void mode(uint8_t autopilot, uint32_t custom_mode) {
    exec->on_message(heartbeat(kSysid, kCompid, autopilot, custom_mode));
  }
  void ack(uint16_t command, uint8_t result = m::MAV_RESULT_ACCEPTED) {
    m::CommandAck a;
    a.command = command;
    a.result = result;
    exec->on_message(message(a, kSysid, kCompid));
  }
  // Moves the clock to test time `t`.
  void move_to(double t) { clock.advance(origin + t - clock.monotonic()); }
  // Moves the clock to test time `t` and ticks.
  void at(double t) {
    move_to(t);
    exec->tick();
  }
  // Ticks every 0.1 s from `from` to `to`, both included.
  void ticks(double from, double to) {
    for (double t : every_tenth(from, to)) at(t);
  }
  // Accepts every command sent since the last call, as a willing autopilot would.
  void accept_new_commands() {
    for (; acked < mav.sent.size(); ++acked) {
      const auto& s = mav.sent[acked];
      if (s.msgid == m::CommandLong::ID) ack(m::CommandLong::decode(s.payload).command);
      if (s.msgid == m::CommandInt::ID) ack(m::CommandInt::decode(s.payload).command);
    }
  }

  // "stage" or "stage/code" of every answer, in order.
  std::vector<std::string> stages() const {
    std::vector<std::string> out;
    for (const Json& a : answers) {
      const std::string& code = a.at("code").as_string();
      out.push_back(a.at("stage").as_string() + (code.empty() ? "" : "/" + code));
    }
    return out;
  }
  std::string detail(size_t i) const { return answers.at(i).at("detail").as_string(); }

  testkit::FakeClock clock{kStart};
  testkit::CaptureSink log;
  double origin = kStart;
  RecordingSender mav{clock, origin};
  std::vector<Json> answers;
  TestSigner platform;
  Verifier verifier{platform.public_key_b64(), "k1", clock};
  int fetches = 0;
  bool fetch_throws = false;
  std::pair<std::string, std::string> fetch_result{"", ""};
  std::optional<CommandExecutor> exec;
  int nonces = 0;
  size_t acked = 0;
};

TEST_F(ExecutorTest, HelloAndVehicleKeysFollowTheFirstVehicleHeartbeat) {
  make({"land", "camera.snap", "goto", "land", "bogus"});
  EXPECT_EQ(to_json(exec->hello()),
            R"({"v": 1, "type": "hello", "sysid": null, "allow": ["land", "goto", "land"], )"
            R"("key_id": "", "version": ""})");
  EXPECT_EQ(exec->own_keys(), std::set<std::string>{"edge_bridge:dev-1"});

  // Ground stations and companion computers never become the vehicle.
  for (uint8_t type : {m::MAV_TYPE_GCS, m::MAV_TYPE_ONBOARD_CONTROLLER}) {
    m::Heartbeat hb;
    hb.type = type;
    hb.autopilot = m::MAV_AUTOPILOT_PX4;
    exec->on_message(message(hb, 200, 1));
  }
  EXPECT_FALSE(exec->state().sysid.has_value());

  exec->on_message(heartbeat(kSysid, kCompid, m::MAV_AUTOPILOT_ARDUPILOTMEGA));
  exec->on_message(heartbeat(9, 1, m::MAV_AUTOPILOT_PX4));  // a second vehicle changes nothing
  EXPECT_EQ(to_json(exec->hello()),
            R"({"v": 1, "type": "hello", "sysid": 7, "allow": ["land", "goto", "land"], )"
            R"("key_id": "", "version": ""})");
  EXPECT_EQ(exec->own_keys(), (std::set<std::string>{"edge_bridge:dev-1", "mavlink:7"}));
  EXPECT_EQ(exec->state().autopilot, "ardupilot");
  EXPECT_EQ(&exec->verifier(), &verifier);
}

TEST_F(ExecutorTest, AnswersListTheirMembersInOrder) {
  send("land");  // before any heartbeat
  exec->on_message(heartbeat(kSysid, kCompid, m::MAV_AUTOPILOT_PX4));
  send("land");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(to_json(answers[0]),
            R"({"v": 1, "type": "ack", "id": "r-n-1", "sysid": null, "stage": "rejected", )"
            R"("code": "no_autopilot", "detail": "No autopilot connected to the agent."})");
  EXPECT_EQ(to_json(answers[1]),
            R"({"v": 1, "type": "ack", "id": "r-n-2", "sysid": 7, "stage": "received", )"
            R"("code": "", "detail": "Verified on the drone; sending land to the autopilot"})");
  EXPECT_TRUE(log.contains("Command r-n-1 refused: No autopilot connected to the agent."));
  EXPECT_TRUE(log.contains("Command r-n-2: land"));
}

TEST_F(ExecutorTest, RefusalsAreAnsweredLoggedCountedAndSendNothing) {
  struct Case {
    const char* name;
    std::vector<std::string> allow;
    bool heartbeat;
    bool position;
    const char* kind;
    const char* vehicle_key;
    std::function<void(Json&)> change;
    const char* code;
    const char* detail;
  };
  const auto none = [](Json&) {};
  const std::vector<Case> cases = {
      {"no heartbeat yet", kAllKinds, false, false, "land", "edge_bridge:dev-1", none,
       "no_autopilot", "No autopilot connected to the agent."},
      {"own system id before it is known", kAllKinds, false, false, "land", "mavlink:7", none,
       "wrong_vehicle", "The command is for another vehicle."},
      {"another vehicle", kAllKinds, true, true, "land", "mavlink:8", none, "wrong_vehicle",
       "The command is for another vehicle."},
      {"kind not allowed here",
       {"land", "hold"},
       true,
       true,
       "goto",
       "mavlink:7",
       none,
       "not_allowed",
       "This drone does not allow 'goto' (EDGE_ALLOW_COMMANDS)."},
      {"nothing allowed",
       {},
       true,
       true,
       "land",
       "mavlink:7",
       none,
       "not_allowed",
       "This drone does not allow 'land' (EDGE_ALLOW_COMMANDS)."},
      {"no position yet", kAllKinds, true, false, "takeoff", "mavlink:7",
       [](Json& b) {
         b["args"] = Json::object({{"alt_m_agl", 10}});
       },
       "no_position", "The autopilot has not reported a position yet."},
      {"velocity without duration", kAllKinds, true, true, "velocity", "mavlink:7",
       [](Json& b) {
         b["args"] = Json::object({{"north_ms", 1}});
       },
       "bad_envelope", "seconds must be positive."},
      {"expired", kAllKinds, true, true, "land", "mavlink:7",
       [](Json& b) {
         b["iat"] = b["iat"].as_int() - 60;
         b["exp"] = b["exp"].as_int() - 60;
       },
       "expired",
       "The command expired before it arrived (check the drone's clock if this repeats)."},
      {"no id", kAllKinds, true, true, "land", "mavlink:7",
       [](Json& b) { b.as_object().erase("id"); }, "bad_envelope", "The command has no id."},
      {"empty id", kAllKinds, true, true, "land", "mavlink:7", [](Json& b) { b["id"] = ""; },
       "bad_envelope", "The command has no id."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    make(c.allow);
    if (c.heartbeat) vehicle(m::MAV_AUTOPILOT_PX4, c.position);
    Json b = body(c.kind, c.vehicle_key);
    c.change(b);
    deliver(b);

    ASSERT_EQ(answers.size(), 1u);
    const Json& a = answers[0];
    EXPECT_EQ(stages(), std::vector<std::string>{std::string("rejected/") + c.code});
    EXPECT_EQ(detail(0), c.detail);
    const Json* id = b.find("id");
    EXPECT_EQ(to_json(a.at("id")), id ? to_json(*id) : "\"\"");
    EXPECT_EQ(to_json(a.at("sysid")), c.heartbeat ? "7" : "null");
    const std::string id_text = id ? id->as_string() : "";
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, Level::Warning);
    EXPECT_EQ(log.lines()[0].logger, "orvel_edge.commands");
    EXPECT_EQ(log.lines()[0].message, "Command " + id_text + " refused: " + c.detail);
    EXPECT_EQ(exec->counts(), (CommandCounts{.rejected = 1}));

    EXPECT_FALSE(exec->running());
    ticks(0, 2);
    EXPECT_TRUE(mav.sent.empty());
  }
}

// A refusal answers with the id's text form; once a job runs, answers carry the id as sent.
TEST_F(ExecutorTest, IdsAreAnsweredAsTextWhenRefusedAndAsReceivedOnceFlown) {
  const std::pair<Json, std::string> ids[] = {
      {Json(42), "42"},
      {Json(1.5), "1.5"},
      {Json(true), "true"},
      {Json::object({{"job", Json::array({1, "a"})}}), R"({"job": [1, "a"]})"},
      {Json("r\xc3\xa9q"), "r\xc3\xa9q"},
  };
  for (const auto& [id, text] : ids) {
    SCOPED_TRACE(to_json(id));
    make(kAllKinds);
    Json refused = body("land");
    refused["id"] = id;
    deliver(refused);  // no vehicle yet
    vehicle(m::MAV_AUTOPILOT_PX4);
    Json flown = body("land");
    flown["id"] = id;
    deliver(flown);
    ASSERT_EQ(stages(), (std::vector<std::string>{"rejected/no_autopilot", "received"}));
    EXPECT_EQ(answers[0].at("id"), Json(text));
    EXPECT_EQ(answers[1].at("id"), id);
    EXPECT_EQ(exec->job()->id, id);
  }
}

TEST_F(ExecutorTest, LogLinesStayOneLineWhateverTheId) {
  Json b = body("land");
  b["id"] = "x\nINFO forged line";
  deliver(b);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].message,
            "Command \"x\\nINFO forged line\" refused: No autopilot connected to the agent.");
  EXPECT_EQ(answers.at(0).at("id").as_string(), "x\nINFO forged line");

  log.clear();
  b = body("land");
  b["id"] = std::string(5000, 'i');
  deliver(b);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].message, "Command " + std::string(200, 'i') +
                                        "... refused: No autopilot connected to the agent.");
}

TEST_F(ExecutorTest, UnreadablePayloadsAreDroppedSilently) {
  vehicle(m::MAV_AUTOPILOT_PX4);
  send("hold");
  const std::string sig = platform.sign_b64("[1]");
  std::string junk(1 << 20, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 131 + 7) % 256);
  const std::vector<std::pair<const char*, std::string>> payloads = {
      {"not JSON", "land now"},
      {"empty", ""},
      {"1 MB of junk", junk},
      {"100000-deep arrays", std::string(100000, '[') + std::string(100000, ']')},
      {"deep nesting inside the body",
       "{\"body\": " + std::string(100000, '[') + std::string(100000, ']') + ", \"sig\": \"\"}"},
      {"envelope is a list", "[{\"body\": {}}]"},
      {"envelope is text", "\"land\""},
      {"envelope is a number", "5"},
      {"body is a list, validly signed", "{\"body\": [1], \"sig\": \"" + sig + "\"}"},
      {"body is text", "{\"body\": \"land\", \"sig\": \"AAAA\"}"},
      {"body is a number", "{\"body\": 7}"},
      {"body is true", "{\"body\": true}"},
      {"truncated", to_json(platform.envelope(body("land"))).substr(0, 40)},
  };
  const CommandCounts before = exec->counts();
  const Json running = exec->job()->id;
  answers.clear();
  log.clear();
  for (const auto& [name, payload] : payloads) {
    SCOPED_TRACE(name);
    exec->on_envelope(payload);
    EXPECT_TRUE(answers.empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(exec->counts(), before);
    ASSERT_TRUE(exec->running());
    EXPECT_EQ(exec->job()->id, running);
  }
}

TEST_F(ExecutorTest, HostileEnvelopesAreRefusedWithTheirCode) {
  vehicle(m::MAV_AUTOPILOT_PX4);
  struct Case {
    const char* name;
    std::function<Json()> envelope;
    const char* code;
    const char* detail;
  };
  const char* kMalformed = "The command is malformed.";
  const char* kUnknown = "Unknown command.";
  const char* kLifetime = "The command lifetime is not valid.";
  // A validly signed land whose member `name` is `value`.
  const auto signed_with = [this](const char* name, Json value, const char* kind = "land") {
    return [this, name, value, kind] {
      Json b = body(kind, "mavlink:7");
      b[name] = value;
      return platform.envelope(b);
    };
  };
  const auto with_sig = [this](Json sig) {
    return [this, sig] {
      return Json::object({{"body", body("land", "mavlink:7")}, {"sig", sig}});
    };
  };
  const std::vector<Case> cases = {
      {"empty object", [] { return Json::object(); }, "bad_envelope", kMalformed},
      {"no signature",
       [this] {
         return Json::object({{"body", body("land")}});
       },
       "bad_envelope", kMalformed},
      {"null body, signed",
       [this] {
         return Json::object({{"body", nullptr}, {"sig", platform.sign_b64("null")}});
       },
       "bad_envelope", kMalformed},
      {"signature is a number", with_sig(5), "bad_envelope", kMalformed},
      {"signature is not Base64", with_sig("A"), "bad_envelope", kMalformed},
      {"signature of junk characters", with_sig("!!!!"), "bad_signature",
       "The command signature is not valid."},
      {"signature of another body",
       [this] {
         Json e = platform.envelope(body("land", "mavlink:7"));
         e["body"]["kind"] = "hold";
         return e;
       },
       "bad_signature", "The command signature is not valid."},
      {"signed by another key",
       [this] { return TestSigner(9).envelope(body("land", "mavlink:7")); }, "bad_signature",
       "The command signature is not valid."},
      {"version is text", signed_with("v", "1"), "bad_envelope", kUnknown},
      {"kind is a list", signed_with("kind", Json::array({"land"})), "bad_envelope", kUnknown},
      {"kind is not a flight command", signed_with("kind", "camera.snap"), "bad_envelope",
       kUnknown},
      {"vehicle key is a number", signed_with("vehicle_key", 7), "wrong_vehicle",
       "The command is for another vehicle."},
      {"iat is text", signed_with("iat", "1700000000"), "bad_envelope", kLifetime},
      {"exp is null", signed_with("exp", nullptr), "bad_envelope", kLifetime},
      {"nonce is an empty list", signed_with("nonce", Json::array()), "replayed",
       "This command was already received."},
      {"id is null", signed_with("id", nullptr), "bad_envelope", "The command has no id."},
      {"args is text", signed_with("args", "fast"), "bad_envelope", "args is not an object."},
      {"args is a list", signed_with("args", Json::array({1})), "bad_envelope",
       "args is not an object."},
      {"takeoff height is a word",
       signed_with("args", Json::object({{"alt_m_agl", "high"}}), "takeoff"), "bad_envelope",
       "alt_m_agl is not a number."},
      {"goto without latitude",
       signed_with("args", Json::object({{"lon_deg", 8}, {"alt_m_agl", 10}}), "goto"),
       "bad_envelope", "lat_deg is missing."},
      {"goto beyond the pole",
       signed_with("args", Json::object({{"lat_deg", 1e12}, {"lon_deg", 8}, {"alt_m_agl", 10}}),
                   "goto"),
       "bad_envelope", "lat_deg must be between -90 and 90."},
      {"velocity of NaN",
       signed_with("args", Json::object({{"up_ms", "nan"}, {"seconds", 1}}), "velocity"),
       "bad_envelope", "up_ms is not a number."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    answers.clear();
    exec->on_envelope(to_json(c.envelope()));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(stages(), std::vector<std::string>{std::string("rejected/") + c.code});
    EXPECT_EQ(detail(0), c.detail);
    EXPECT_FALSE(exec->running());
  }
  EXPECT_EQ(exec->counts(), (CommandCounts{.rejected = static_cast<int64_t>(cases.size())}));
  ticks(0, 1);
  EXPECT_TRUE(mav.sent.empty());
}

TEST_F(ExecutorTest, OddButValidMembersStillFly) {
  const std::vector<std::pair<const char*, Json>> members = {
      {"kid", 42},       // not text: names no key, fetches nothing
      {"args", Json()},  // false-like args count as none
      {"args", Json::array()},
      {"args", 0},
      {"nonce", Json::array({1})},  // any truthy nonce is remembered
  };
  for (const auto& [name, value] : members) {
    SCOPED_TRACE(std::string(name) + " = " + to_json(value));
    make(kAllKinds);
    vehicle(m::MAV_AUTOPILOT_PX4);
    Json b = body("land", "mavlink:7");
    b[name] = value;
    deliver(b);
    EXPECT_EQ(stages(), std::vector<std::string>{"received"});
  }
  EXPECT_EQ(fetches, 0);
}

TEST_F(ExecutorTest, HostileMavlinkChangesNothingItShouldNot) {
  mavlink::Message junk;  // BAD_DATA
  junk.frame = {0xFD, 0x00, 0xFF};
  exec->on_message(junk);
  ack(m::MAV_CMD_DO_SET_MODE, 255);  // no job: ignored
  exec->on_message(testing::position(kSysid, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX));
  EXPECT_FALSE(exec->state().lat.has_value());  // not yet the vehicle
  vehicle(m::MAV_AUTOPILOT_PX4, false);
  exec->on_message(testing::position(kSysid, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX));
  send("takeoff", Json::object({{"alt_m_agl", 1e6}}));
  ASSERT_EQ(stages(), std::vector<std::string>{"received"});
  at(0);
  ASSERT_EQ(mav.all<m::CommandLong>().size(), 1u);
  ack(m::MAV_CMD_COMPONENT_ARM_DISARM, 255);
  EXPECT_EQ(stages(), (std::vector<std::string>{"received", "failed/result_255"}));
  ticks(0.1, 2);
  EXPECT_EQ(mav.sent.size(), 1u);
}

TEST_F(ExecutorTest, HoldWithoutAnyAckIsSentThreeTimesThenFails) {
  vehicle(m::MAV_AUTOPILOT_PX4, false);
  send("hold");
  ticks(0, 4.4);
  const auto sent = mav.all<m::CommandLong>();
  ASSERT_EQ(sent.size(), 3u);
  expect_times(mav.times<m::CommandLong>(), {0.0, 1.5, 3.0});
  for (uint8_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sent[i].confirmation, i);
    EXPECT_EQ(sent[i].command, m::MAV_CMD_DO_SET_MODE);
    EXPECT_EQ(sent[i].target_system, kSysid);
    EXPECT_EQ(sent[i].target_component, kCompid);
  }
  EXPECT_EQ(stages(), std::vector<std::string>{"received"});

  at(4.5);
  EXPECT_EQ(stages(), (std::vector<std::string>{"received", "failed/no_ack"}));
  EXPECT_EQ(detail(1), "The autopilot did not acknowledge the command.");
  EXPECT_FALSE(exec->running());
  ticks(4.6, 6);
  EXPECT_EQ(mav.all<m::CommandLong>().size(), 3u);
  EXPECT_EQ(exec->counts(), (CommandCounts{.received = 1, .failed = 1}));
}

TEST_F(ExecutorTest, AcksThatAreNotAnAnswerToTheStepLeaveTheResendsGoing) {
  struct Case {
    const char* name;
    uint16_t command;
    uint8_t result;
  };
  const std::vector<Case> cases = {
      {"in progress", m::MAV_CMD_DO_SET_MODE, m::MAV_RESULT_IN_PROGRESS},
      {"accepted, another command", m::MAV_CMD_COMPONENT_ARM_DISARM, m::MAV_RESULT_ACCEPTED},
      {"denied, another command", m::MAV_CMD_NAV_LAND, m::MAV_RESULT_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    make(kAllKinds);
    vehicle(m::MAV_AUTOPILOT_ARDUPILOTMEGA, false);
    send("hold");
    at(0);
    at(0.5);
    ack(c.command, c.result);
    ticks(0.6, 1.5);
    const auto sent = mav.all<m::CommandLong>();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].confirmation, 1);
    expect_times(mav.times<m::CommandLong>(), {0.0, 1.5});
    EXPECT_EQ(stages(), std::vector<std::string>{"received"});

    ack(m::MAV_CMD_DO_SET_MODE);
    EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted"}));
    EXPECT_EQ(detail(1), "Accepted by the autopilot");
    ticks(1.6, 5);
    EXPECT_EQ(mav.all<m::CommandLong>().size(), 2u);  // nothing more to send
  }
}

TEST_F(ExecutorTest, ModeAndGotoCommandsPerFamily) {
  struct Case {
    const char* name;
    uint8_t autopilot;
    const char* kind;
    Json args;
    uint16_t command;
    std::array<double, 7> params;  // COMMAND_INT: param1..4, x, y, z
    std::optional<uint8_t> frame;  // set: sent as COMMAND_INT in this frame
    std::function<void(ExecutorTest&)> arrive;
  };
  constexpr double X = DEFAULT;
  const auto px4_in = [](uint32_t sub) {
    return [sub](ExecutorTest& t) { t.mode(m::MAV_AUTOPILOT_PX4, px4_mode(PX4_AUTO, sub)); };
  };
  const auto ardupilot_in = [](uint32_t custom) {
    return [custom](ExecutorTest& t) { t.mode(m::MAV_AUTOPILOT_ARDUPILOTMEGA, custom); };
  };
  const auto at_sydney = [](ExecutorTest& t) { t.fix(30000, -338568000, 1512153000); };
  const Json sydney =
      Json::object({{"lat_deg", -33.8568}, {"lon_deg", 151.2153}, {"alt_m_agl", 30}});
  const std::vector<Case> cases = {
      {"px4 land",
       m::MAV_AUTOPILOT_PX4,
       "land",
       Json(),
       m::MAV_CMD_NAV_LAND,
       {0, 0, 0, X, X, X, X},
       std::nullopt,
       px4_in(6)},
      {"px4 return_home",
       m::MAV_AUTOPILOT_PX4,
       "return_home",
       Json(),
       m::MAV_CMD_NAV_RETURN_TO_LAUNCH,
       {0, 0, 0, 0, 0, 0, 0},
       std::nullopt,
       px4_in(5)},
      {"px4 hold",
       m::MAV_AUTOPILOT_PX4,
       "hold",
       Json(),
       m::MAV_CMD_DO_SET_MODE,
       {1, 4, 3, 0, 0, 0, 0},
       std::nullopt,
       px4_in(3)},
      {"px4 goto",
       m::MAV_AUTOPILOT_PX4,
       "goto",
       sydney,
       m::MAV_CMD_DO_REPOSITION,
       {-1, 1, 0, X, -338568000, 1512153000, 499.8 + 30},
       m::MAV_FRAME_GLOBAL,
       at_sydney},
      {"ardupilot land",
       m::MAV_AUTOPILOT_ARDUPILOTMEGA,
       "land",
       Json(),
       m::MAV_CMD_DO_SET_MODE,
       {1, 9, 0, 0, 0, 0, 0},
       std::nullopt,
       ardupilot_in(9)},
      {"ardupilot return_home",
       m::MAV_AUTOPILOT_ARDUPILOTMEGA,
       "return_home",
       Json(),
       m::MAV_CMD_DO_SET_MODE,
       {1, 6, 0, 0, 0, 0, 0},
       std::nullopt,
       ardupilot_in(6)},
      {"ardupilot hold",
       m::MAV_AUTOPILOT_ARDUPILOTMEGA,
       "hold",
       Json(),
       m::MAV_CMD_DO_SET_MODE,
       {1, 5, 0, 0, 0, 0, 0},
       std::nullopt,
       ardupilot_in(5)},
      {"ardupilot goto",
       m::MAV_AUTOPILOT_ARDUPILOTMEGA,
       "goto",
       sydney,
       m::MAV_CMD_DO_REPOSITION,
       {-1, 1, 0, X, -338568000, 1512153000, 30},
       m::MAV_FRAME_GLOBAL_RELATIVE_ALT,
       at_sydney},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    make(kAllKinds);
    vehicle(c.autopilot);
    send(c.kind, c.args);
    at(0);

    ASSERT_EQ(mav.sent.size(), 1u);
    Step seen;  // what went out, in the shape of a plan's step
    if (c.frame) {
      ASSERT_EQ(mav.sent[0].msgid, m::CommandInt::ID);
      const auto cmd = mav.all<m::CommandInt>()[0];
      EXPECT_EQ(cmd.target_system, kSysid);
      EXPECT_EQ(cmd.target_component, kCompid);
      EXPECT_EQ(cmd.frame, *c.frame);
      EXPECT_EQ(cmd.current, 0);
      EXPECT_EQ(cmd.autocontinue, 0);
      seen.command = cmd.command;
      seen.params = {cmd.param1,    cmd.param2,    cmd.param3, cmd.param4,
                     double(cmd.x), double(cmd.y), cmd.z};
      EXPECT_EQ(cmd.x, static_cast<int32_t>(c.params[4]));
      EXPECT_EQ(cmd.y, static_cast<int32_t>(c.params[5]));
      EXPECT_FLOAT_EQ(cmd.z, static_cast<float>(c.params[6]));
    } else {
      ASSERT_EQ(mav.sent[0].msgid, m::CommandLong::ID);
      const auto cmd = mav.all<m::CommandLong>()[0];
      EXPECT_EQ(cmd.target_system, kSysid);
      EXPECT_EQ(cmd.target_component, kCompid);
      EXPECT_EQ(cmd.confirmation, 0);
      seen.command = cmd.command;
      seen.params = {cmd.param1, cmd.param2, cmd.param3, cmd.param4,
                     cmd.param5, cmd.param6, cmd.param7};
    }
    EXPECT_EQ(seen.command, c.command);
    // As the float fields carry them; COMMAND_INT's x and y are whole numbers.
    std::array<double, 7> carried = c.params;
    for (size_t i = 0; i < carried.size(); ++i)
      if (!(c.frame && (i == 4 || i == 5))) carried[i] = static_cast<float>(carried[i]);
    testing::expect_params(seen, carried);

    ack(c.command);
    at(0.1);
    EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted"}));
    c.arrive(*this);
    at(0.2);
    EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted", "executed"}));
    EXPECT_EQ(detail(2), std::string(c.kind) + " confirmed by the autopilot's state");
    EXPECT_FALSE(exec->running());
    EXPECT_EQ(exec->counts(), (CommandCounts{.received = 1, .executed = 1}));
  }
}

TEST_F(ExecutorTest, ArduPilotTakeoffSendsEachStepAfterTheLastWasAccepted) {
  struct Case {
    const char* name;
    int32_t climbs_to_mm;
    std::vector<std::string> stages;
  };
  const std::vector<Case> cases = {
      {"within 2 m of the height", 8100, {"received", "accepted", "executed"}},
      {"stays low", 7900, {"received", "accepted", "failed/not_executed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    make(kAllKinds);
    vehicle(m::MAV_AUTOPILOT_ARDUPILOTMEGA);
    send("takeoff", Json::object({{"alt_m_agl", 10}}));
    ticks(0, 0.4);
    ack(m::MAV_CMD_DO_SET_MODE);
    ticks(0.5, 0.9);
    ack(m::MAV_CMD_COMPONENT_ARM_DISARM);
    ticks(1.0, 1.4);
    EXPECT_EQ(stages(), std::vector<std::string>{"received"});
    ack(m::MAV_CMD_NAV_TAKEOFF);
    EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted"}));

    const auto sent = mav.all<m::CommandLong>();
    ASSERT_EQ(sent.size(), 3u);
    expect_times(mav.times<m::CommandLong>(), {0.0, 0.5, 1.0});
    EXPECT_EQ(sent[0].command, m::MAV_CMD_DO_SET_MODE);
    EXPECT_EQ(sent[0].param2, 4.0f);  // guided
    EXPECT_EQ(sent[1].command, m::MAV_CMD_COMPONENT_ARM_DISARM);
    EXPECT_EQ(sent[1].param1, 1.0f);
    EXPECT_EQ(sent[2].command, m::MAV_CMD_NAV_TAKEOFF);
    EXPECT_EQ(sent[2].param7, 10.0f);

    fix(c.climbs_to_mm);
    at(60);
    at(120);  // the limit itself is still within time
    at(120.1);
    EXPECT_EQ(stages(), c.stages);
    EXPECT_FALSE(exec->running());
    EXPECT_EQ(mav.all<m::CommandLong>().size(), 3u);
  }
  EXPECT_EQ(detail(2),
            "Accepted, but the autopilot did not complete takeoff in time (the pilot may have "
            "taken over).");
}

TEST_F(ExecutorTest, ARefusedStepEndsTheJobWithoutUndoingAnything) {
  const std::vector<std::pair<uint8_t, const char*>> results = {
      {m::MAV_RESULT_DENIED, "denied"},
      {m::MAV_RESULT_TEMPORARILY_REJECTED, "temporarily_rejected"},
      {m::MAV_RESULT_UNSUPPORTED, "unsupported"},
      {m::MAV_RESULT_FAILED, "failed"},
      {m::MAV_RESULT_CANCELLED, "result_6"},
      {m::MAV_RESULT_COMMAND_UNSUPPORTED_MAV_FRAME, "result_9"},
      {200, "result_200"},
  };
  for (const auto& [result, code] : results) {
    SCOPED_TRACE(code);
    make(kAllKinds);
    vehicle(m::MAV_AUTOPILOT_ARDUPILOTMEGA);
    send("takeoff", Json::object({{"alt_m_agl", 10}}));
    at(0);
    ack(m::MAV_CMD_DO_SET_MODE);
    at(0.1);
    ack(m::MAV_CMD_COMPONENT_ARM_DISARM, result);
    EXPECT_EQ(stages(), (std::vector<std::string>{"received", std::string("failed/") + code}));
    EXPECT_EQ(detail(1), "The autopilot refused command 400 (" + std::string(code) + ").");
    EXPECT_FALSE(exec->running());
    ticks(0.2, 3);
    EXPECT_EQ(mav.all<m::CommandLong>().size(), 2u);  // no takeoff, no disarm
  }
}

TEST_F(ExecutorTest, ExecuteTimeLimitsCountFromTheJobsStart) {
  const std::vector<std::pair<const char*, double>> limits = {{"land", 20},  {"return_home", 20},
                                                              {"hold", 20},  {"takeoff", 120},
                                                              {"goto", 600}, {"velocity", 30}};
  const Json args = Json::object(
      {{"alt_m_agl", 10}, {"lat_deg", 47.0}, {"lon_deg", 8.0}, {"north_ms", 1}, {"seconds", 1}});
  for (const auto& [kind, limit] : limits) {
    SCOPED_TRACE(kind);
    make(kAllKinds);
    vehicle(m::MAV_AUTOPILOT_PX4);
    send(kind, args);
    // A willing autopilot that never gets there.
    for (double t = 0; t <= limit; t += 0.5) {
      at(t);
      accept_new_commands();
    }
    EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted"}));
    at(limit + 0.5);
    EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted", "failed/not_executed"}));
  }
}

TEST_F(ExecutorTest, ANewerCommandSupersedesTheRunningOne) {
  EXPECT_EQ(exec->counts_text(), "{'received': 0, 'rejected': 0, 'executed': 0, 'failed': 0}");
  vehicle(m::MAV_AUTOPILOT_PX4);
  const Json go =
      send("goto", Json::object({{"lat_deg", 47.4}, {"lon_deg", 8.55}, {"alt_m_agl", 20}}));
  at(0);
  ack(m::MAV_CMD_DO_REPOSITION);
  ticks(0.1, 5);

  const Json land = send("land");
  ASSERT_EQ(stages(),
            (std::vector<std::string>{"received", "accepted", "failed/superseded", "received"}));
  EXPECT_EQ(answers[2].at("id"), go.at("id"));
  EXPECT_EQ(detail(2), "Replaced by a newer command (land).");
  EXPECT_EQ(answers[3].at("id"), land.at("id"));
  EXPECT_EQ(exec->job()->kind, "land");

  at(5.1);
  ASSERT_EQ(mav.sent.size(), 2u);
  EXPECT_EQ(mav.all<m::CommandLong>().at(0).command, m::MAV_CMD_NAV_LAND);
  ack(m::MAV_CMD_DO_REPOSITION);    // a late answer to the replaced goto
  fix(20000, 474000000, 85500000);  // the goto's target: nothing to do with land
  at(5.2);
  EXPECT_EQ(answers.size(), 4u);
  ack(m::MAV_CMD_NAV_LAND);
  mode(m::MAV_AUTOPILOT_PX4, px4_mode(PX4_AUTO, 6));
  at(5.3);
  EXPECT_EQ(stages().back(), "executed");
  EXPECT_EQ(exec->counts_text(), "{'received': 2, 'rejected': 0, 'executed': 1, 'failed': 1}");
}

TEST_F(ExecutorTest, ARefusedEnvelopeLeavesTheRunningJobAlone) {
  vehicle(m::MAV_AUTOPILOT_PX4);
  const Json hold = body("hold");
  deliver(hold);
  at(0);
  at(0.5);
  deliver(hold);
  deliver(body("land", "mavlink:8"));
  exec->on_envelope("{\"body\": {\"kind\": \"land\", \"id\": \"x\"}}");
  EXPECT_EQ(stages(),
            (std::vector<std::string>{"received", "rejected/replayed", "rejected/wrong_vehicle",
                                      "rejected/bad_envelope"}));
  ASSERT_TRUE(exec->running());
  EXPECT_EQ(exec->job()->id, hold.at("id"));
  ASSERT_EQ(exec->job()->steps.size(), 1u);
  EXPECT_EQ(exec->job()->steps[0].attempts, 1);

  ticks(0.6, 1.5);  // the resend keeps its time
  expect_times(mav.times<m::CommandLong>(), {0.0, 1.5});
  ack(m::MAV_CMD_DO_SET_MODE);
  EXPECT_EQ(stages().back(), "accepted");
}

TEST_F(ExecutorTest, VelocityOnPx4StreamsSetpointsAroundTheModeSwitch) {
  vehicle(m::MAV_AUTOPILOT_PX4);
  send(
      "velocity",
      Json::object(
          {{"north_ms", 1}, {"east_ms", 2}, {"up_ms", 0.5}, {"yaw_rate_dps", 45}, {"seconds", 2}}));
  ticks(0, 0.4);
  move_to(0.5);
  ack(m::MAV_CMD_DO_SET_MODE);  // the OFFBOARD switch, accepted at 0.5 s
  EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted"}));
  ticks(0.5, 2.5);

  const auto commands = mav.all<m::CommandLong>();
  ASSERT_EQ(commands.size(), 2u);
  expect_times(mav.times<m::CommandLong>(), {0.3, 2.0});
  EXPECT_EQ(commands[0].command, m::MAV_CMD_DO_SET_MODE);
  EXPECT_EQ(commands[0].param2, float(PX4_OFFBOARD));
  EXPECT_EQ(commands[1].command, m::MAV_CMD_DO_SET_MODE);
  EXPECT_EQ(commands[1].param2, float(PX4_AUTO));
  EXPECT_EQ(commands[1].param3, 3.0f);  // hold

  expect_times(mav.times<m::SetPositionTargetLocalNed>(), every_tenth(0, 1.9));
  for (const auto& sp : mav.all<m::SetPositionTargetLocalNed>()) {
    EXPECT_EQ(sp.time_boot_ms, 0u);
    EXPECT_EQ(sp.target_system, kSysid);
    EXPECT_EQ(sp.target_component, kCompid);
    EXPECT_EQ(sp.coordinate_frame, m::MAV_FRAME_LOCAL_NED);
    EXPECT_EQ(sp.type_mask, VELOCITY_ONLY);
    EXPECT_EQ(sp.vx, 1.0f);
    EXPECT_EQ(sp.vy, 2.0f);
    EXPECT_EQ(sp.vz, -0.5f);  // z points down
    EXPECT_FLOAT_EQ(sp.yaw_rate, 0.78539816f);
    EXPECT_EQ(sp.x, 0.0f);
    EXPECT_EQ(sp.afx, 0.0f);
    EXPECT_EQ(sp.yaw, 0.0f);
  }

  ack(m::MAV_CMD_DO_SET_MODE);  // the hold switch: no second "accepted"
  at(2.6);
  EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted"}));
  mode(m::MAV_AUTOPILOT_PX4, px4_mode(PX4_AUTO, 3));
  at(2.7);
  EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted", "executed"}));
  EXPECT_EQ(detail(2), "velocity confirmed by the autopilot's state");
}

TEST_F(ExecutorTest, VelocityThatOutlastsItsUnansweredSwitchTurnsToHold) {
  vehicle(m::MAV_AUTOPILOT_ARDUPILOTMEGA);
  send("velocity", Json::object({{"east_ms", -3}, {"seconds", 1}}));
  ticks(0, 1.0);
  const auto commands = mav.all<m::CommandLong>();
  ASSERT_EQ(commands.size(), 2u);
  expect_times(mav.times<m::CommandLong>(), {0.3, 1.0});
  EXPECT_EQ(commands[0].param2, 4.0f);  // guided, never answered
  EXPECT_EQ(commands[1].param2, 5.0f);  // hold replaces it
  EXPECT_EQ(commands[1].confirmation, 0);
  EXPECT_EQ(stages(), std::vector<std::string>{"received"});

  ack(m::MAV_CMD_DO_SET_MODE);  // the hold's acceptance carries "accepted"
  mode(m::MAV_AUTOPILOT_ARDUPILOTMEGA, 5);
  at(1.1);
  EXPECT_EQ(stages(), (std::vector<std::string>{"received", "accepted", "executed"}));
  EXPECT_EQ(mav.all<m::SetPositionTargetLocalNed>().size(), 10u);
}

TEST_F(ExecutorTest, RotatedKeyIsFetchedAtMostOncePerMinute) {
  vehicle(m::MAV_AUTOPILOT_PX4);
  const auto send_with_kid = [this](Json kid) {
    Json b = body("hold", "mavlink:7");
    b["kid"] = std::move(kid);
    deliver(b);
  };
  send_with_kid("k1");  // the key held: nothing to fetch
  EXPECT_EQ(fetches, 0);
  send_with_kid("k2");  // the fetch fails: ("", "")
  EXPECT_EQ(fetches, 1);
  clock.advance(30);
  send_with_kid("k2");
  clock.advance(29.9);
  send_with_kid("k3");
  EXPECT_EQ(fetches, 1);
  clock.advance(0.1);
  send_with_kid("k2");
  EXPECT_EQ(fetches, 2);
  EXPECT_EQ(verifier.key_id(), "k1");
  // Still signed with the held key, so every one of them flew.
  EXPECT_EQ(exec->counts().received, 5);
}

TEST_F(ExecutorTest, NoFetchWithoutAReasonToAsk) {
  struct Case {
    const char* name;
    std::vector<std::string> allow;
    bool with_fetch;
    std::optional<Json> kid;
  };
  const std::vector<Case> cases = {
      {"no kid", kAllKinds, true, std::nullopt},
      {"empty kid", kAllKinds, true, Json("")},
      {"kid of the held key", kAllKinds, true, Json("k1")},
      {"kid that is not text", kAllKinds, true, Json(2)},
      {"no command allowed", {}, true, Json("k2")},
      {"no platform address", kAllKinds, false, Json("k2")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fetches = 0;
    make(c.allow, c.with_fetch);
    Json b = body("land");
    if (c.kid) b["kid"] = *c.kid;
    deliver(b);
    EXPECT_EQ(fetches, 0);
  }
}

TEST_F(ExecutorTest, AFetchedKeyIsUsedForTheEnvelopeThatAskedForIt) {
  vehicle(m::MAV_AUTOPILOT_PX4);
  const TestSigner rotated(2);
  fetch_result = {rotated.public_key_b64(), "k2"};
  Json b = body("land", "mavlink:7");
  b["kid"] = "k2";
  deliver(b, &rotated);
  EXPECT_EQ(fetches, 1);
  EXPECT_EQ(verifier.key_id(), "k2");
  EXPECT_EQ(stages(), std::vector<std::string>{"received"});
  EXPECT_TRUE(log.contains("Platform command key changed: now k2"));

  deliver(body("hold", "mavlink:7"));  // the old key is gone
  EXPECT_EQ(stages(), (std::vector<std::string>{"received", "rejected/bad_signature"}));
}

TEST_F(ExecutorTest, AKeyThatCannotBeUsedLeavesTheOldOne) {
  struct Case {
    const char* name;
    std::pair<std::string, std::string> fetched;
    bool throws;
    bool warns;
  };
  const std::vector<Case> cases = {
      {"not Base64", {"not base64!", "k3"}, false, true},
      {"not 32 bytes", {"AAAA", "k3"}, false, true},
      {"fetch throws", {}, true, true},
      {"no key", {"", "k3"}, false, false},
      {"no key id", {TestSigner(3).public_key_b64(), ""}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fetches = 0;
    fetch_result = c.fetched;
    fetch_throws = c.throws;
    make(kAllKinds);
    vehicle(m::MAV_AUTOPILOT_PX4);
    Json b = body("land", "mavlink:7");
    b["kid"] = "k3";
    deliver(b);  // signed with the held key
    EXPECT_EQ(fetches, 1);
    EXPECT_EQ(verifier.key_id(), "k1");
    EXPECT_EQ(stages(), std::vector<std::string>{"received"});
    bool warned = false;
    for (const auto& line : log.lines()) warned |= line.level == Level::Warning;
    EXPECT_EQ(warned, c.warns);
  }
}

TEST(FirstCharacters, CutsWholeCharactersOnly) {
  const std::string e_acute = "\xc3\xa9";         // 2 bytes
  const std::string check = "\xe2\x9c\x93";       // 3 bytes
  const std::string rocket = "\xf0\x9f\x9a\x80";  // 4 bytes
  struct Case {
    std::string text;
    size_t n;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", 500, ""},
      {std::string(500, 'a'), 500, std::string(500, 'a')},
      {std::string(501, 'a'), 500, std::string(500, 'a')},
      {std::string(499, 'a') + e_acute + "x", 500, std::string(499, 'a') + e_acute},
      {std::string(499, 'a') + check + rocket, 500, std::string(499, 'a') + check},
      {[&] {
         std::string s;
         for (int i = 0; i < 600; ++i) s += rocket;
         return s;
       }(),
       500,
       [&] {
         std::string s;
         for (int i = 0; i < 500; ++i) s += rocket;
         return s;
       }()},
      {"ab", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size());
    EXPECT_EQ(first_characters(c.text, c.n), c.expected);
  }
}

}  // namespace
}  // namespace orvel::commands
