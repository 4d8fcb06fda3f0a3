// The agent on a serial line: the simulator's pseudo-terminal as the autopilot device.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "tests/e2e/e2e_rig.h"
#include "tests/testkit/testkit.h"

namespace orvel::e2e {
namespace {

// The slave path from the simulator's "pty: PATH" line, once it is complete.
std::string pty_path_in(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("pty: ") && !in.eof()) return line.substr(5);
  return "";
}

TEST(E2eSerial, AgentOnThePseudoTerminalReportsOverMqtt) {
  constexpr int SYSID = 9;
  std::string out_file = ::testing::TempDir() + "sim_pty_XXXXXX";
  const int fd = ::mkstemp(out_file.data());
  ASSERT_GE(fd, 0);
  ::close(fd);
  // The rig's child processes drop standard output, so a shell redirects it to a file; exec
  // leaves the simulator itself as the child that is stopped at the end.
  const std::string sim_cmd = "exec '" + testkit::binary_dir() +
                              "/sim/orvel-edge-sim' --autopilot px4 --pty --sysid " +
                              std::to_string(SYSID) + " --params 40 > '" + out_file + "'";
  auto sim = std::make_unique<testkit::ChildProcess>(
      std::vector<std::string>{"/bin/sh", "-c", sim_cmd}, std::map<std::string, std::string>{});
  std::string device;
  ASSERT_TRUE(testkit::wait_until([&] { return !(device = pty_path_in(out_file)).empty(); }, WAIT))
      << sim->stderr_text();
  ::unlink(out_file.c_str());

  testkit::MosquittoBroker broker;
  FakePlatform platform(broker.port(), "drone-serial");
  auto agent = start_agent({{"EDGE_AUTOPILOT", device},
                            {"EDGE_UTM", "mqtt://127.0.0.1:" + std::to_string(broker.port())},
                            {"EDGE_DEVICE_ID", "drone-serial"}});
  const auto logs = [&] {
    return "--- agent:\n" + agent->stderr_text() + "--- sim:\n" + sim->stderr_text();
  };
  ASSERT_TRUE(platform.wait_hello(SYSID)) << platform.answers_text() << logs();
  ASSERT_TRUE(platform.wait_position(SYSID)) << logs();
  const auto positions = platform.positions_since(0);
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.back().first, SYSID);
  EXPECT_NEAR(positions.back().second.lat / 1e7, sim::HOME_LAT, 1e-5);
}

}  // namespace
}  // namespace orvel::e2e
