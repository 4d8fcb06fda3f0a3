// The simulator program over UDP on loopback: it must be heard, obey commands and list its
// parameters like an autopilot would.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <set>
#include <stdexcept>
#include <string>

#include "mavlink/connection.h"
#include "mavlink/messages.h"
#include "tests/testkit/process.h"
#include "tests/testkit/testkit.h"

namespace orvel {
namespace {

namespace m = orvel::mavlink;

// A UDP port nobody uses right now (the system picks it).
int free_udp_port() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("no free UDP port");
  ::close(fd);
  return ntohs(addr.sin_port);
}

// Reads messages until `done` says so or `timeout_s` passes.
template <class F>
bool read_until(m::Link& link, double timeout_s, F done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (std::chrono::steady_clock::now() < end)
    if (auto msg = link.recv(0.05); msg && done(*msg)) return true;
  return false;
}

m::CommandLong command(uint16_t cmd, float p1 = 0, float p2 = 0, float p7 = 0) {
  m::CommandLong c;
  c.target_system = 1;
  c.target_component = 1;
  c.command = cmd;
  c.param1 = p1;
  c.param2 = p2;
  c.param4 = NAN;
  c.param7 = p7;
  return c;
}

TEST(SimProgram, FliesAndListsParametersOverUdp) {
  const int port = free_udp_port();
  auto gcs = m::open_link("udpin:127.0.0.1:" + std::to_string(port), 0, 245, 191);
  testkit::ChildProcess sim(
      {testkit::binary_dir() + "/sim/orvel-edge-sim", "--autopilot", "px4", "--link",
       "udpout:127.0.0.1:" + std::to_string(port), "--params", "300"},
      {});
  ASSERT_TRUE(read_until(*gcs, 5.0, [](const m::Message& msg) {
    const auto hb = msg.as<m::Heartbeat>();
    return hb && hb->autopilot == m::MAV_AUTOPILOT_PX4 && msg.sysid == 1;
  })) << sim.stderr_text();

  gcs->send(command(m::MAV_CMD_SET_MESSAGE_INTERVAL, m::GlobalPositionInt::ID, 100000));
  gcs->send(command(m::MAV_CMD_COMPONENT_ARM_DISARM, 1));
  gcs->send(command(m::MAV_CMD_NAV_TAKEOFF, 0, 0, 488.0f + 3.0f));
  std::set<uint16_t> accepted;
  int32_t alt_mm = 0;
  EXPECT_TRUE(read_until(*gcs, 8.0,
                         [&](const m::Message& msg) {
                           if (auto ack = msg.as<m::CommandAck>();
                               ack && ack->result == m::MAV_RESULT_ACCEPTED)
                             accepted.insert(ack->command);
                           if (auto pos = msg.as<m::GlobalPositionInt>())
                             alt_mm = pos->relative_alt;
                           return alt_mm >= 2950;
                         }))
      << "height " << alt_mm << "\n"
      << sim.stderr_text();
  EXPECT_EQ(accepted,
            (std::set<uint16_t>{m::MAV_CMD_SET_MESSAGE_INTERVAL, m::MAV_CMD_COMPONENT_ARM_DISARM,
                                m::MAV_CMD_NAV_TAKEOFF}));

  gcs->send(m::ParamRequestList{1, 1});
  std::set<uint16_t> indices;
  EXPECT_TRUE(read_until(*gcs, 5.0,
                         [&](const m::Message& msg) {
                           if (auto v = msg.as<m::ParamValue>(); v && v->param_count == 300)
                             indices.insert(v->param_index);
                           return indices.size() == 300;
                         }))
      << indices.size() << " of 300 parameters";

  EXPECT_EQ(sim.wait(0.0), std::nullopt) << "the simulator stopped\n" << sim.stderr_text();
  sim.stop();
}

TEST(SimProgram, RefusesBadArguments) {
  testkit::ChildProcess sim({testkit::binary_dir() + "/sim/orvel-edge-sim", "--loss", "2"}, {});
  EXPECT_EQ(sim.wait(5.0), 2);
  EXPECT_NE(sim.stderr_text().find("--loss"), std::string::npos) << sim.stderr_text();
}

}  // namespace
}  // namespace orvel
