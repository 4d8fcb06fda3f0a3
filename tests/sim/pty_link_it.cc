// The simulator's pseudo-terminal link against the serial connection the agent uses.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

#include "mavlink/connection.h"
#include "mavlink/messages.h"
#include "sim/pty_link.h"

namespace orvel::sim {
namespace {

namespace m = orvel::mavlink;

template <class T>
std::optional<T> recv_as(m::Link& link, uint8_t from_sysid) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end)
    if (auto msg = link.recv(0.05); msg && msg->sysid == from_sysid)
      if (auto t = msg->as<T>()) return t;
  return std::nullopt;
}

TEST(PtyLink, CarriesFramesBothWaysThroughTheSlaveDevice) {
  PtyLink pty(7, m::MAV_COMP_ID_AUTOPILOT1);
  ASSERT_TRUE(pty.slave_path().starts_with("/dev/"));
  auto serial = m::open_link(pty.slave_path(), 57600, 245, 191);

  m::LogEntry entry;
  entry.id = 2;
  entry.size = 51200;
  pty.send(entry);
  const auto got = recv_as<m::LogEntry>(*serial, 7);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->id, 2);
  EXPECT_EQ(got->size, 51200u);

  m::LogRequestData req;
  req.target_system = 7;
  req.id = 2;
  req.ofs = 900;
  req.count = 0xFFFFFFFF;
  serial->send(req);
  const auto back = recv_as<m::LogRequestData>(pty, 245);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->ofs, 900u);
  EXPECT_EQ(back->count, 0xFFFFFFFFu);
}

TEST(PtyLink, RecvWithoutPeerReturnsNothingAndWakes) {
  PtyLink pty(1, m::MAV_COMP_ID_AUTOPILOT1);
  pty.send(m::Heartbeat{});
  pty.wake();
  EXPECT_FALSE(pty.recv(5.0));
  EXPECT_FALSE(pty.recv(0.0));
}

}  // namespace
}  // namespace orvel::sim
