#include "bridge/readiness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mavlink/messages.h"
#include "tests/commands/signing.h"
#include "tests/commands/vehicle_messages.h"
#include "tests/testkit/testkit.h"

namespace orvel::bridge {
namespace {

// The checks only listen; nothing may be sent.
class NullSender final : public mavlink::Sender {
 public:
  void send_payload(uint32_t, std::span<const uint8_t>) override { ADD_FAILURE() << "sent"; }
};

namespace m = orvel::mavlink;
using commands::testing::heartbeat;
using commands::testing::message;

constexpr const char* VEHICLE_KEY = "edge_bridge:dev-1";

m::Message gps(std::uint8_t fix_type, std::uint8_t satellites, std::uint8_t sysid = 1) {
  m::GpsRawInt g;
  g.fix_type = fix_type;
  g.satellites_visible = satellites;
  return message(g, sysid, 1);
}

m::Message sys_status(std::int8_t battery_remaining, std::uint8_t sysid = 1) {
  m::SysStatus s;
  s.battery_remaining = battery_remaining;
  return message(s, sysid, 1);
}

m::Message home(std::uint8_t sysid = 1) {
  m::HomePosition h;
  h.latitude = 473977418;
  h.longitude = 85455939;
  return message(h, sysid, 1);
}

m::Message typed_heartbeat(std::uint8_t sysid, std::uint8_t type) {
  m::Heartbeat hb;
  hb.type = type;
  hb.autopilot = m::MAV_AUTOPILOT_PX4;
  return message(hb, sysid, 1);
}

// A Readiness over a real Verifier, a platform signer, a clock moved by hand and a list of the
// answers it gave.
struct Rig {
  explicit Rig(bool allow_checks = true, bool with_key = true)
      : verifier(with_key ? platform.public_key_b64() : "", with_key ? "k1" : "", clock),
        readiness(
            mav, [this](const Json& a) { answers.push_back(a); }, verifier, "dev-1", allow_checks,
            [] {
              return std::set<std::string>{VEHICLE_KEY, "mavlink:1"};
            },
            clock, &sink) {}

  // A correctly signed body of `kind`, issued now, with id "r-" + nonce.
  Json body(std::string_view kind, std::string_view nonce = "n1") const {
    return testkit::command_body(kind, VEHICLE_KEY, nonce, static_cast<std::int64_t>(clock.wall()));
  }
  std::string envelope(const Json& b, const testkit::TestSigner& signer) const {
    return to_json(signer.envelope(b));
  }
  std::string envelope(const Json& b) const { return envelope(b, platform); }

  // The one answer to `raw`.
  Json ask(const std::string& raw) {
    const std::size_t before = answers.size();
    readiness.on_envelope(raw);
    EXPECT_EQ(answers.size(), before + 1) << raw;
    return answers.size() == before + 1 ? answers.back() : Json();
  }
  Json run(std::string_view nonce = "n1") { return ask(envelope(body("checks.run", nonce))); }

  // System 1 in good shape: heartbeat now, 3D fix with 9 satellites, battery 76%, home set.
  void healthy_vehicle() {
    readiness.on_message(heartbeat(1, 1, m::MAV_AUTOPILOT_PX4));
    readiness.on_message(gps(m::GPS_FIX_TYPE_3D_FIX, 9));
    readiness.on_message(sys_status(76));
    readiness.on_message(home());
  }

  testkit::FakeClock clock;
  testkit::CaptureSink sink;
  testkit::TestSigner platform;
  commands::Verifier verifier;
  std::vector<Json> answers;
  NullSender mav;
  Readiness readiness;
};

Json failed(const Json& id, const Json& sysid, std::string_view code, std::string_view detail) {
  return Json::object({{"v", 1},
                       {"type", "checks"},
                       {"id", id},
                       {"sysid", sysid},
                       {"stage", "failed"},
                       {"code", code},
                       {"detail", detail}});
}

// The "ok" member of each check, by name, in the order the report lists them.
std::vector<std::pair<std::string, bool>> oks(const Json& report) {
  std::vector<std::pair<std::string, bool>> out;
  for (const Json& c : report.at("checks").as_array())
    out.emplace_back(c.at("name").as_string(), c.at("ok").as_bool());
  return out;
}

const Json* find_check(const Json& report, std::string_view name) {
  for (const Json& c : report.at("checks").as_array())
    if (c.at("name").as_string() == name) return &c;
  return nullptr;
}

TEST(ReadinessClaim, TakesOnlyChecksKindsAndNeverThrows) {
  Rig rig;
  const std::string signed_run = rig.envelope(rig.body("checks.run"));
  const struct {
    std::string payload;
    bool claimed;
  } cases[] = {
      {signed_run, true},
      {R"({"body": {"kind": "checks.x"}})", true},
      {rig.envelope(rig.body("camera.snap")), false},
      {rig.envelope(rig.body("land")), false},
      {R"({"body": {"kind": "logs.list"}})", false},
      {R"({"body": {"kind": "checks"}})", false},
      {R"({"body": {"kind": "Checks.run"}})", false},
      {R"({"kind": "checks.run"})", false},
      {"checks.run", false},
      {"", false},
      {"{\"body\": {\"kind\": \"checks.run\"", false},
      {"\xff\xfe", false},
      {R"({"body": "checks.run"})", false},
      {R"({"body": ["checks.run"]})", false},
      {R"({"body": {"kind": 5}})", false},
      {R"({"body": {"kind": ["checks.run"]}})", false},
      {R"(["checks.run"])", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    bool claimed = !c.claimed;
    EXPECT_NO_THROW(claimed = rig.readiness.handles(c.payload));
    EXPECT_EQ(claimed, c.claimed);
  }
}

TEST(ReadinessRefusal, EveryPathAnswersFailedOnceAndLogsAWarning) {
  const testkit::TestSigner stranger(2);
  const struct {
    const char* name;
    bool allow_checks;
    bool with_key;
    std::string (*make)(const Rig&, const testkit::TestSigner&);
    const char* code;
    const char* detail;
  } cases[] = {
      {"no key", true, false,
       [](const Rig& r, const testkit::TestSigner&) { return r.envelope(r.body("checks.run")); },
       "no_key",
       "This agent has no command key (enroll again or run `orvel-edge allow-commands`)."},
      {"signed by another key", true, true,
       [](const Rig& r, const testkit::TestSigner& s) {
         return r.envelope(r.body("checks.run"), s);
       },
       "bad_signature", "The command signature is not valid."},
      {"no signature", true, true,
       [](const Rig& r, const testkit::TestSigner&) {
         return to_json(Json::object({{"body", r.body("checks.run")}}));
       },
       "bad_envelope", "The command is malformed."},
      {"unknown checks kind", true, true,
       [](const Rig& r, const testkit::TestSigner&) { return r.envelope(r.body("checks.x")); },
       "bad_envelope", "Unknown command."},
      {"another vehicle", true, true,
       [](const Rig& r, const testkit::TestSigner&) {
         Json b = r.body("checks.run");
         b["vehicle_key"] = "edge_bridge:dev-2";
         return r.envelope(b);
       },
       "wrong_vehicle", "The command is for another vehicle."},
      {"expired", true, true,
       [](const Rig& r, const testkit::TestSigner&) {
         Json b = r.body("checks.run");
         b["iat"] = b.at("iat").as_int() - 100;
         b["exp"] = b.at("iat").as_int() + 30;
         return r.envelope(b);
       },
       "expired",
       "The command expired before it arrived (check the drone's clock if this repeats)."},
      {"checks off", false, true,
       [](const Rig& r, const testkit::TestSigner&) { return r.envelope(r.body("checks.run")); },
       "checks_off", "Readiness checks are off on this drone."},
      // The switch is not revealed to an envelope that fails verification.
      {"checks off, signed by another key", false, true,
       [](const Rig& r, const testkit::TestSigner& s) {
         return r.envelope(r.body("checks.run"), s);
       },
       "bad_signature", "The command signature is not valid."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.allow_checks, c.with_key);
    const Json answer = rig.ask(c.make(rig, stranger));
    EXPECT_EQ(answer, failed("r-n1", nullptr, c.code, c.detail)) << to_json(answer);
    const auto lines = rig.sink.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, Level::Warning);
    EXPECT_EQ(lines[0].logger, "orvel_edge.readiness");
    EXPECT_EQ(lines[0].message, std::string("Checks r-n1 refused: ") + c.detail);
  }
}

TEST(ReadinessRefusal, SameEnvelopeTwiceIsReplayedAndSysidIsKnown) {
  Rig rig;
  rig.healthy_vehicle();
  const std::string raw = rig.envelope(rig.body("checks.run"));
  EXPECT_EQ(rig.ask(raw).at("stage"), Json("report"));
  EXPECT_EQ(rig.ask(raw), failed("r-n1", 1, "replayed", "This command was already received."));
}

TEST(ReadinessRefusal, IdIsTextWhenRefusedAndAsReceivedInReport) {
  const struct {
    Json id;
    bool present;  // false: the body has no "id" member
    Json refused;
    Json reported;
  } cases[] = {
      {7, true, "7", 7},       {"r-9", true, "r-9", "r-9"},
      {0, true, "", 0},        {nullptr, true, "", nullptr},
      {Json(), false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.present ? "id " + to_json(c.id) : std::string("no id"));
    Rig off(false);
    Rig on(true);
    Json b = on.body("checks.run");
    if (c.present)
      b["id"] = c.id;
    else
      b.as_object().erase("id");
    EXPECT_EQ(off.ask(off.envelope(b)).at("id"), c.refused);
    EXPECT_EQ(on.ask(on.envelope(b)).at("id"), c.reported);
  }
}

TEST(ReadinessRefusal, UnreadablePayloadIsDroppedWithoutAnswer) {
  Rig rig;
  for (const char* raw : {"", "not json", "[1]", R"({"body": 5})", R"({"body": "checks.run"})"}) {
    SCOPED_TRACE(raw);
    EXPECT_NO_THROW(rig.readiness.on_envelope(raw));
  }
  EXPECT_TRUE(rig.answers.empty());
}

TEST(ReadinessRefusal, FailingAnswerCallbackDoesNotEscape) {
  testkit::FakeClock clock;
  testkit::CaptureSink sink;
  testkit::TestSigner platform;
  commands::Verifier verifier(platform.public_key_b64(), "k1", clock);
  NullSender mav;
  Readiness readiness(
      mav, [](const Json&) { throw std::runtime_error("publish failed"); }, verifier, "dev-1", true,
      nullptr, clock, &sink);
  const Json body =
      testkit::command_body("checks.run", VEHICLE_KEY, "n1", static_cast<int64_t>(clock.wall()));
  EXPECT_NO_THROW(readiness.on_envelope(to_json(platform.envelope(body))));
  ASSERT_FALSE(sink.lines().empty());
  EXPECT_EQ(sink.lines().back().level, Level::Error);
}

TEST(ReadinessReport, AllChecksPass) {
  Rig rig;
  rig.healthy_vehicle();
  rig.clock.advance(0.4);
  const Json check_list = Json::array({
      Json::object({{"name", "link"}, {"ok", true}, {"detail", "HEARTBEAT 0.4 s ago"}}),
      Json::object({{"name", "gps"}, {"ok", true}, {"detail", "3D fix, 9 satellites"}}),
      Json::object({{"name", "battery"}, {"ok", true}, {"detail", "battery 76%"}}),
      Json::object({{"name", "home"}, {"ok", true}, {"detail", "home position set"}}),
  });
  const Json expected = Json::object({{"v", 1},
                                      {"type", "checks"},
                                      {"id", "r-n1"},
                                      {"sysid", 1},
                                      {"stage", "report"},
                                      {"ready", true},
                                      {"checks", check_list}});
  const Json report = rig.run();
  EXPECT_EQ(report, expected) << to_json(report);
  // Member order is part of the answer's form.
  EXPECT_EQ(to_json(report), to_json(expected));
  EXPECT_TRUE(rig.sink.contains("Checks r-n1: ready"));
}

// One reading at a time is spoilt (or brought to its limit); only that check may change.
TEST(ReadinessReport, EachCheckFailsOnItsOwn) {
  struct Vehicle {
    double heartbeat_age = 0.4;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> gps{{m::GPS_FIX_TYPE_3D_FIX, 9}};
    std::optional<std::int8_t> battery = 76;
    bool home = true;
  };
  const struct {
    const char* name;
    Vehicle vehicle;
    const char* failing;  // "" when every check passes
    const char* detail;   // of the failing check
  } cases[] = {
      {"heartbeat 3.0 s old", {.heartbeat_age = 3.0}, "", ""},
      {"heartbeat 3.1 s old", {.heartbeat_age = 3.1}, "link", "last HEARTBEAT 3.1 s ago"},
      {"2D fix",
       {.gps = {{m::GPS_FIX_TYPE_2D_FIX, 12}}},
       "gps",
       "2D fix, 12 satellites (needs a 3D fix and 6 satellites)"},
      {"no fix",
       {.gps = {{m::GPS_FIX_TYPE_NO_FIX, 0}}},
       "gps",
       "no fix, 0 satellites (needs a 3D fix and 6 satellites)"},
      {"5 satellites",
       {.gps = {{m::GPS_FIX_TYPE_3D_FIX, 5}}},
       "gps",
       "3D fix, 5 satellites (needs a 3D fix and 6 satellites)"},
      {"6 satellites", {.gps = {{m::GPS_FIX_TYPE_3D_FIX, 6}}}, "", ""},
      {"satellites unknown",
       {.gps = {{m::GPS_FIX_TYPE_RTK_FIXED, 255}}},
       "gps",
       "RTK fixed fix, satellites unknown (needs a 3D fix and 6 satellites)"},
      {"RTK fixed", {.gps = {{m::GPS_FIX_TYPE_RTK_FIXED, 20}}}, "", ""},
      {"unnamed fix type", {.gps = {{200, 9}}}, "", ""},
      {"no GPS_RAW_INT", {.gps = std::nullopt}, "gps", "no GPS_RAW_INT yet"},
      {"battery 19%", {.battery = 19}, "battery", "battery 19% (needs 20%)"},
      {"battery 20%", {.battery = 20}, "", ""},
      {"battery unknown", {.battery = -1}, "battery", "battery level unknown"},
      {"battery negative", {.battery = -100}, "battery", "battery level unknown"},
      {"no SYS_STATUS", {.battery = std::nullopt}, "battery", "no SYS_STATUS yet"},
      {"no HOME_POSITION", {.home = false}, "home", "no HOME_POSITION yet"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.readiness.on_message(heartbeat(1, 1, m::MAV_AUTOPILOT_PX4));
    if (c.vehicle.gps) rig.readiness.on_message(gps(c.vehicle.gps->first, c.vehicle.gps->second));
    if (c.vehicle.battery) rig.readiness.on_message(sys_status(*c.vehicle.battery));
    if (c.vehicle.home) rig.readiness.on_message(home());
    rig.clock.advance(c.vehicle.heartbeat_age);

    const Json report = rig.run();
    ASSERT_EQ(report.at("stage"), Json("report")) << to_json(report);
    const std::string failing = c.failing;
    EXPECT_EQ(report.at("ready"), Json(failing.empty()));
    const std::vector<std::pair<std::string, bool>> expected = {{"link", failing != "link"},
                                                                {"gps", failing != "gps"},
                                                                {"battery", failing != "battery"},
                                                                {"home", failing != "home"}};
    EXPECT_EQ(oks(report), expected) << to_json(report);
    if (!failing.empty()) {
      EXPECT_EQ(find_check(report, failing)->at("detail"), Json(c.detail));
      EXPECT_TRUE(rig.sink.contains("Checks r-n1: not ready (" + failing + ")"));
    }
  }
}

TEST(ReadinessReport, NothingHeardFromAVehicle) {
  Rig rig;
  // A ground station and a gimbal are not the vehicle; readings without a vehicle count for none.
  rig.readiness.on_message(typed_heartbeat(255, m::MAV_TYPE_GCS));
  rig.readiness.on_message(typed_heartbeat(1, m::MAV_TYPE_GIMBAL));
  // Nor a Remote-ID module: it has no autopilot.
  rig.readiness.on_message(heartbeat(1, 1, m::MAV_AUTOPILOT_INVALID));
  rig.readiness.on_message(gps(m::GPS_FIX_TYPE_3D_FIX, 9));
  rig.readiness.on_message(sys_status(76));
  rig.readiness.on_message(home());
  rig.readiness.on_message(m::Message{});  // bytes that formed no frame

  const Json report = rig.run();
  EXPECT_EQ(report.at("sysid"), Json());
  EXPECT_EQ(report.at("ready"), Json(false));
  const std::vector<std::pair<std::string, bool>> none_ok = {
      {"link", false}, {"gps", false}, {"battery", false}, {"home", false}};
  EXPECT_EQ(oks(report), none_ok);
  EXPECT_EQ(find_check(report, "link")->at("detail"), Json("no HEARTBEAT from a vehicle yet"));
  EXPECT_TRUE(rig.sink.contains("Checks r-n1: not ready (link, gps, battery, home)"));
}

TEST(ReadinessReport, OnlyTheFirstVehicleCounts) {
  Rig rig;
  rig.healthy_vehicle();
  // A second vehicle in poor shape, and a peripheral of system 1 with its own battery reading.
  rig.readiness.on_message(heartbeat(2, 1, m::MAV_AUTOPILOT_ARDUPILOTMEGA));
  rig.readiness.on_message(gps(m::GPS_FIX_TYPE_NO_FIX, 0, 2));
  rig.readiness.on_message(sys_status(5, 2));
  {
    m::SysStatus s;
    s.battery_remaining = -1;
    rig.readiness.on_message(message(s, 1, 154));
  }
  Json report = rig.run("n1");
  EXPECT_EQ(report.at("sysid"), Json(1));
  EXPECT_EQ(report.at("ready"), Json(true)) << to_json(report);

  // The other vehicle's heartbeat does not keep this one's link alive.
  rig.clock.advance(LINK_TIMEOUT_S + 1.0);
  rig.readiness.on_message(heartbeat(2, 1, m::MAV_AUTOPILOT_ARDUPILOTMEGA));
  report = rig.run("n2");
  EXPECT_EQ(find_check(report, "link")->at("ok"), Json(false)) << to_json(report);
}

TEST(ReadinessReport, LinkGoesStaleAndRecovers) {
  Rig rig;
  rig.healthy_vehicle();
  rig.clock.advance(LINK_TIMEOUT_S);
  EXPECT_EQ(find_check(rig.run("n1"), "link")->at("ok"), Json(true));

  rig.clock.advance(2.5);
  Json report = rig.run("n2");
  EXPECT_EQ(report.at("ready"), Json(false));
  EXPECT_EQ(
      *find_check(report, "link"),
      Json::object({{"name", "link"}, {"ok", false}, {"detail", "last HEARTBEAT 5.5 s ago"}}));

  rig.readiness.on_message(heartbeat(1, 1, m::MAV_AUTOPILOT_PX4));
  report = rig.run("n3");
  EXPECT_EQ(report.at("ready"), Json(true)) << to_json(report);
  EXPECT_EQ(find_check(report, "link")->at("detail"), Json("HEARTBEAT 0.0 s ago"));
}

TEST(ReadinessReport, LatestReadingWins) {
  Rig rig;
  rig.healthy_vehicle();
  rig.readiness.on_message(gps(m::GPS_FIX_TYPE_2D_FIX, 9));
  rig.readiness.on_message(sys_status(10));
  Json report = rig.run("n1");
  EXPECT_EQ(oks(report), (std::vector<std::pair<std::string, bool>>{
                             {"link", true}, {"gps", false}, {"battery", false}, {"home", true}}));

  rig.readiness.on_message(gps(m::GPS_FIX_TYPE_3D_FIX, 9));
  rig.readiness.on_message(sys_status(90));
  report = rig.run("n2");
  EXPECT_EQ(report.at("ready"), Json(true)) << to_json(report);
}

TEST(ReadinessHello, TellsWhetherChecksAreAllowed) {
  for (bool allow : {true, false}) {
    Rig rig(allow);
    EXPECT_EQ(rig.readiness.hello(), Json::object({{"checks", allow}}));
  }
}

}  // namespace
}  // namespace orvel::bridge
