#pragma once
// A simulator on a fake clock and a recording link, with helpers that speak to it as the agent
// would.

#include <array>
#include <cmath>
#include <optional>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/link.h"
#include "mavlink/messages.h"
#include "sim/simulator.h"
#include "tests/testkit/testkit.h"

namespace orvel::sim::testing {

namespace m = orvel::mavlink;

struct Sent {
  double at;  // fake monotonic time of the send
  uint32_t msgid;
  std::vector<uint8_t> payload;
  bool operator==(const Sent&) const = default;
};

// Records what is sent with the time it was sent; never receives (the rig calls handle()).
class RecordingLink final : public m::Link {
 public:
  explicit RecordingLink(const Clock& clock) : clock_(clock) {}
  std::optional<m::Message> recv(double) override { return std::nullopt; }
  void send_payload(uint32_t msgid, std::span<const uint8_t> payload) override {
    sent.push_back({clock_.monotonic(), msgid, {payload.begin(), payload.end()}});
  }
  void write(std::span<const uint8_t>) override {}
  void wake() override {}
  void close() override {}
  std::vector<Sent> sent;

 private:
  const Clock& clock_;
};

// A parsed message as a link would deliver it, from the agent (245/191).
template <class T>
m::Message as_message(const T& msg, uint8_t sysid = 245, uint8_t compid = 191) {
  uint8_t buf[255] = {};
  const size_t n = msg.encode(buf);
  m::Parser parser;
  parser.push(m::encode_frame(T::ID, {buf, n}, sysid, compid, 0));
  return *parser.next();
}

inline SimOptions options_for(Autopilot a) {
  SimOptions o;
  o.autopilot = a;
  return o;
}

inline constexpr float kNaN = NAN;

struct Rig {
  explicit Rig(const SimOptions& o = {})
      : link(clock), sim(o, clock, link), is_px4(o.autopilot == Autopilot::kPx4) {}
  explicit Rig(Autopilot a) : Rig(options_for(a)) {}

  // Advances time in 10 ms steps, as the program's loop does.
  void run(double seconds) {
    const long steps = std::lround(seconds / 0.01);
    for (long i = 0; i < steps; ++i) {
      clock.advance(0.01);
      sim.tick();
    }
  }
  template <class T>
  void deliver(const T& msg) {
    sim.handle(as_message(msg));
  }
  // Sends a COMMAND_LONG and returns the result of its acknowledgement, if one was sent.
  std::optional<uint8_t> command(uint16_t cmd, std::array<float, 7> p = {}, uint8_t target = 1) {
    m::CommandLong c;
    c.target_system = target;
    c.target_component = 1;
    c.command = cmd;
    c.param1 = p[0], c.param2 = p[1], c.param3 = p[2], c.param4 = p[3];
    c.param5 = p[4], c.param6 = p[5], c.param7 = p[6];
    return ack_of(cmd, [&] { deliver(c); });
  }
  std::optional<uint8_t> command_int(uint16_t cmd, uint8_t frame, std::array<float, 4> p, int32_t x,
                                     int32_t y, float z) {
    m::CommandInt c;
    c.target_system = 1;
    c.target_component = 1;
    c.command = cmd;
    c.frame = frame;
    c.param1 = p[0], c.param2 = p[1], c.param3 = p[2], c.param4 = p[3];
    c.x = x, c.y = y, c.z = z;
    return ack_of(cmd, [&] { deliver(c); });
  }
  template <class F>
  std::optional<uint8_t> ack_of(uint16_t cmd, F&& send) {
    const size_t from = link.sent.size();
    send();
    for (size_t i = from; i < link.sent.size(); ++i) {
      if (link.sent[i].msgid != m::CommandAck::ID) continue;
      const auto ack = m::CommandAck::decode(link.sent[i].payload);
      if (ack.command == cmd) return ack.result;
    }
    return std::nullopt;
  }

  template <class T>
  std::vector<T> sent_as(size_t from = 0) const {
    std::vector<T> out;
    for (size_t i = from; i < link.sent.size(); ++i)
      if (link.sent[i].msgid == T::ID) out.push_back(T::decode(link.sent[i].payload));
    return out;
  }
  std::vector<double> times_of(uint32_t msgid) const {
    std::vector<double> out;
    for (const auto& s : link.sent)
      if (s.msgid == msgid) out.push_back(s.at);
    return out;
  }
  void set_interval(uint32_t msgid, float us) {
    command(m::MAV_CMD_SET_MESSAGE_INTERVAL, {static_cast<float>(msgid), us});
  }
  // Arms and climbs to `alt` metres above home, in the family's own way.
  void take_off(double alt) {
    command(m::MAV_CMD_COMPONENT_ARM_DISARM, {1});
    if (is_px4) {
      command(m::MAV_CMD_NAV_TAKEOFF,
              {0, 0, 0, kNaN, kNaN, kNaN, static_cast<float>(HOME_ALT + alt)});
    } else {
      command(m::MAV_CMD_DO_SET_MODE, {m::MAV_MODE_FLAG_CUSTOM_MODE_ENABLED, apm::GUIDED});
      command(m::MAV_CMD_NAV_TAKEOFF, {0, 0, 0, kNaN, 0, 0, static_cast<float>(alt)});
    }
    run(alt / CLIMB_MS + 1.0);
  }

  testkit::FakeClock clock;
  RecordingLink link;
  Simulator sim;
  bool is_px4;
};

}  // namespace orvel::sim::testing
