// The agent program as a whole: the simulator as its autopilot, a real broker, and a fake
// platform that reads telemetry and answers and sends signed commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "mavlink/connection.h"
#include "mavlink/messages.h"
#include "sim/simulator.h"
#include "tests/e2e/e2e_rig.h"
#include "tests/testkit/testkit.h"

namespace orvel::e2e {
namespace {

namespace m = orvel::mavlink;
using testkit::ChildProcess;
using Stages = std::vector<std::string>;

const Stages DONE = {"received", "accepted", "executed"};
constexpr const char* ALLOW = "takeoff,goto,land,hold,return_home";
constexpr double METRES_PER_DEG = 111319.49;

std::string port_text(int port) {
  return std::to_string(port);
}

std::map<std::string, std::string> mqtt_env(int ap_port, int broker_port, const std::string& device,
                                            const testkit::TestSigner& signer) {
  return {{"EDGE_AUTOPILOT", "udpin:127.0.0.1:" + port_text(ap_port)},
          {"EDGE_UTM", "mqtt://127.0.0.1:" + port_text(broker_port)},
          {"EDGE_DEVICE_ID", device},
          {"EDGE_ALLOW_COMMANDS", ALLOW},
          {"EDGE_COMMAND_PUBLIC_KEY", signer.public_key_b64()}};
}

std::string logs(const ChildProcess& agent, const ChildProcess& sim) {
  return "--- agent:\n" + agent.stderr_text() + "--- sim:\n" + sim.stderr_text();
}

// A point `north_m` north of the simulator's home, at `alt_m` above it.
Json goto_args(double north_m, double alt_m) {
  return Json::object({{"lat_deg", sim::HOME_LAT + north_m / METRES_PER_DEG},
                       {"lon_deg", sim::HOME_LON},
                       {"alt_m_agl", alt_m}});
}

double metres_north_of_home(const m::GlobalPositionInt& pos) {
  return (pos.lat / 1e7 - sim::HOME_LAT) * METRES_PER_DEG;
}

// ---- relay ----

TEST(E2eRelay, UdpUplinkCarriesTheSimulatorsPosition) {
  const int ap_port = testkit::free_port();
  const int up_port = testkit::free_port();
  auto platform = m::open_link("udpin:127.0.0.1:" + port_text(up_port), 0, 250, 1);
  auto agent = start_agent({{"EDGE_AUTOPILOT", "udpin:127.0.0.1:" + port_text(ap_port)},
                            {"EDGE_UTM", "udpout:127.0.0.1:" + port_text(up_port)}});
  auto sim = start_sim(ap_port, {.sysid = 7});
  // The simulator streams positions only once the agent has asked for them.
  std::optional<m::GlobalPositionInt> position;
  const auto deadline = std::chrono::steady_clock::now() + WAIT;
  while (!position && std::chrono::steady_clock::now() < deadline)
    if (auto msg = platform->recv(0.1); msg && msg->sysid == 7)
      position = msg->as<m::GlobalPositionInt>();
  ASSERT_TRUE(position) << logs(*agent, *sim);
  EXPECT_NEAR(position->lat / 1e7, sim::HOME_LAT, 1e-5);
  EXPECT_NEAR(position->lon / 1e7, sim::HOME_LON, 1e-5);
}

// ---- both autopilot families over MQTT: telemetry, hello, parameters, a short flight ----

struct FamilyCase {
  std::string autopilot;
  int sysid;
  int params;
};

// Names the row in test output instead of a byte dump.
void PrintTo(const FamilyCase& c, std::ostream* os) {
  *os << c.autopilot;
}

class E2eFamily : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(E2eFamily, ReportsAndFliesTakeoffGotoLand) {
  const FamilyCase& c = GetParam();
  const std::string device = "drone-" + c.autopilot;
  const testkit::TestSigner signer;
  testkit::MosquittoBroker broker;
  FakePlatform platform(broker.port(), device);
  const int ap_port = testkit::free_port();
  auto agent = start_agent(mqtt_env(ap_port, broker.port(), device, signer));
  auto sim = start_sim(ap_port, {.autopilot = c.autopilot, .sysid = c.sysid, .params = c.params});
  const auto id = static_cast<uint8_t>(c.sysid);

  ASSERT_TRUE(platform.wait_position(id)) << logs(*agent, *sim);
  ASSERT_TRUE(platform.wait_hello(id)) << platform.answers_text() << logs(*agent, *sim);
  const Json hello = platform.hellos().back();
  std::vector<std::string> allowed;
  for (size_t i = 0; i < hello.at("allow").size(); ++i)
    allowed.push_back(hello.at("allow").at(i).as_string());
  std::sort(allowed.begin(), allowed.end());
  EXPECT_EQ(allowed, (Stages{"goto", "hold", "land", "return_home", "takeoff"}));

  ASSERT_TRUE(testkit::wait_until([&] { return !platform.snapshots().empty(); }, WAIT))
      << logs(*agent, *sim);
  const Json snapshot = platform.snapshots().front();
  EXPECT_TRUE(snapshot.at("complete").as_bool());
  EXPECT_EQ(snapshot.at("params").size(), static_cast<size_t>(c.params));
  EXPECT_EQ(snapshot.at("sysid"), Json(c.sysid));
  EXPECT_EQ(snapshot.at("autopilot").as_string(), c.autopilot);

  ASSERT_EQ(platform.fly(signer, "takeoff", Json::object({{"alt_m_agl", 3}})), DONE)
      << platform.answers_text() << logs(*agent, *sim);
  const size_t before_goto = platform.batch_count();
  ASSERT_EQ(platform.fly(signer, "goto", goto_args(20, 3)), DONE)
      << platform.answers_text() << logs(*agent, *sim);
  // The vehicle really went there: the relayed position is near the target.
  EXPECT_TRUE(testkit::wait_until(
      [&] {
        for (const auto& [from, pos] : platform.positions_since(before_goto))
          if (from == id && std::abs(metres_north_of_home(pos) - 20) < 3) return true;
        return false;
      },
      WAIT));
  EXPECT_EQ(platform.fly(signer, "land"), DONE) << platform.answers_text() << logs(*agent, *sim);
  EXPECT_FALSE(agent->wait(0.0)) << logs(*agent, *sim);
}

INSTANTIATE_TEST_SUITE_P(Families, E2eFamily,
                         ::testing::Values(FamilyCase{"px4", 1, 37},
                                           FamilyCase{"ardupilot", 3, 52}),
                         [](const auto& row) { return row.param.autopilot; });

// ---- the command key from the platform ----

TEST(E2eCommandKey, FetchedFromThePlatformAndUsedToVerify) {
  const testkit::TestSigner platform_key(1);
  const testkit::TestSigner stranger(2);
  KeyServer server(to_json(
      Json::object({{"public_key", platform_key.public_key_b64()}, {"key_id", "platform-key-7"}})));
  testkit::MosquittoBroker broker;
  FakePlatform platform(broker.port(), "drone-k");
  const int ap_port = testkit::free_port();
  auto agent = start_agent({{"EDGE_AUTOPILOT", "udpin:127.0.0.1:" + port_text(ap_port)},
                            {"EDGE_UTM", "mqtt://127.0.0.1:" + port_text(broker.port())},
                            {"EDGE_DEVICE_ID", "drone-k"},
                            {"EDGE_ALLOW_COMMANDS", ALLOW},
                            {"EDGE_SERVER", "http://127.0.0.1:" + port_text(server.port())}});
  auto sim = start_sim(ap_port, {});

  ASSERT_TRUE(platform.wait_hello(1)) << logs(*agent, *sim);
  EXPECT_EQ(platform.hellos().back().at("key_id").as_string(), "platform-key-7");
  ASSERT_FALSE(server.request_lines().empty());
  EXPECT_EQ(server.request_lines().front(), "GET /api/v1/edge/command-key/ HTTP/1.1");
  ASSERT_TRUE(platform.wait_position(1)) << logs(*agent, *sim);

  // Only the served key is trusted.
  const Stages refused = platform.fly(stranger, "takeoff", Json::object({{"alt_m_agl", 3}}));
  EXPECT_EQ(refused, Stages{"rejected"}) << logs(*agent, *sim);
  EXPECT_EQ(platform.fly(platform_key, "takeoff", Json::object({{"alt_m_agl", 3}})), DONE)
      << platform.answers_text() << logs(*agent, *sim);
}

// ---- faults ----

TEST(E2eFaults, BrokerRestartMidFlight) {
  const testkit::TestSigner signer;
  testkit::MosquittoBroker broker;
  // The agent reaches the broker through a gate, so the platform can subscribe to the restarted
  // broker before the agent is back and its new hello cannot slip by unseen.
  TcpGate gate(broker.port());
  auto platform = std::make_unique<FakePlatform>(broker.port(), "drone-b");
  const int ap_port = testkit::free_port();
  auto agent = start_agent(mqtt_env(ap_port, gate.port(), "drone-b", signer));
  auto sim = start_sim(ap_port, {});
  ASSERT_TRUE(platform->wait_hello(1)) << logs(*agent, *sim);
  ASSERT_TRUE(platform->wait_position(1)) << logs(*agent, *sim);
  ASSERT_EQ(platform->fly(signer, "takeoff", Json::object({{"alt_m_agl", 3}})), DONE)
      << platform->answers_text() << logs(*agent, *sim);

  gate.set_open(false);
  platform.reset();
  broker.stop();
  broker.start();
  platform = std::make_unique<FakePlatform>(broker.port(), "drone-b");
  gate.set_open(true);

  EXPECT_TRUE(platform->wait_hello(1)) << logs(*agent, *sim);
  EXPECT_TRUE(platform->wait_position(1)) << logs(*agent, *sim);
  // The restarted broker knows no subscriptions: commands arrive only if the agent renewed its.
  EXPECT_EQ(platform->fly(signer, "goto", goto_args(15, 3)), DONE)
      << platform->answers_text() << logs(*agent, *sim);
}

TEST(E2eFaults, LossyAutopilotLinkStillFliesAndReadsEveryParameter) {
  const testkit::TestSigner signer;
  testkit::MosquittoBroker broker;
  FakePlatform platform(broker.port(), "drone-l");
  const int ap_port = testkit::free_port();
  auto agent = start_agent(mqtt_env(ap_port, broker.port(), "drone-l", signer));
  auto sim = start_sim(ap_port, {.params = 120, .loss = 0.1, .seed = 7});
  ASSERT_TRUE(platform.wait_hello(1)) << logs(*agent, *sim);
  ASSERT_TRUE(platform.wait_position(1)) << logs(*agent, *sim);
  // Three sends of a step all lost, or all their acknowledgements, stays possible at 10 % loss
  // (about 1 % a step); the platform then sends the command again, as a real one would.
  Stages stages;
  for (int attempt = 0; attempt < 3; ++attempt) {
    stages = platform.fly(signer, "takeoff", Json::object({{"alt_m_agl", 3}}));
    if (stages == DONE) break;
  }
  EXPECT_EQ(stages, DONE) << platform.answers_text() << logs(*agent, *sim);
  // Each re-read round waits 3 s of quiet, so the first snapshot can take a while under load.
  ASSERT_TRUE(testkit::wait_until([&] { return !platform.snapshots().empty(); }, 3 * WAIT))
      << logs(*agent, *sim);
  const Json snapshot = platform.snapshots().front();
  // Re-reads recover nearly everything; "complete" must say honestly whether all came.
  EXPECT_GE(snapshot.at("params").size(), 114u);
  EXPECT_EQ(snapshot.at("complete").as_bool(), snapshot.at("params").size() == 120u);
}

TEST(E2eFaults, SimulatorRestartIsRelayedAgain) {
  const testkit::TestSigner signer;
  testkit::MosquittoBroker broker;
  FakePlatform platform(broker.port(), "drone-s");
  const int ap_port = testkit::free_port();
  auto agent = start_agent(mqtt_env(ap_port, broker.port(), "drone-s", signer));
  auto sim = start_sim(ap_port, {});
  // Reports of the old simulator are told apart by their time since boot: it ran at least
  // OLD_RUN_MS before being killed, and its last reports reach the platform within a second.
  constexpr uint32_t OLD_RUN_MS = 5000;
  ASSERT_TRUE(testkit::wait_until(
      [&] {
        for (const auto& [from, pos] : platform.positions_since(0))
          if (pos.time_boot_ms >= OLD_RUN_MS) return true;
        return false;
      },
      WAIT))
      << logs(*agent, *sim);

  sim->stop();
  const size_t first = platform.batch_count();
  const auto restarted = std::chrono::steady_clock::now();
  sim = start_sim(ap_port, {});
  // The new one streams only after the agent asks again (every 10 s while heartbeats arrive).
  EXPECT_TRUE(testkit::wait_until(
      [&] {
        const double since_ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - restarted)
                .count();
        for (const auto& [from, pos] : platform.positions_since(first))
          if (from == 1 && pos.time_boot_ms <= since_ms + 1000) return true;
        return false;
      },
      std::chrono::seconds(25)))
      << logs(*agent, *sim);
  EXPECT_FALSE(agent->wait(0.0)) << logs(*agent, *sim);
}

}  // namespace
}  // namespace orvel::e2e
