#pragma once
// A simulated multicopter that speaks MAVLink like a PX4 or ArduPilot autopilot, for tests and
// demos of the agent. Kinematics are deliberately simple: straight lines at fixed speeds.
//
// The owner calls handle() for every received message and tick() often (every 10 ms or so);
// all timing comes from the injected clock, so tests drive it without sleeping.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "mavlink/link.h"
#include "mavlink/message.h"
#include "sim/options.h"
#include "support/clock.h"

namespace orvel::sim {

// PX4 packs its main mode into bits 16-23 of custom_mode and the AUTO sub mode into bits 24-31.
namespace px4 {
inline constexpr uint8_t MAIN_MANUAL = 1;
inline constexpr uint8_t MAIN_POSCTL = 3;
inline constexpr uint8_t MAIN_AUTO = 4;
inline constexpr uint8_t MAIN_OFFBOARD = 6;
inline constexpr uint8_t MAIN_STABILIZED = 7;
inline constexpr uint8_t SUB_READY = 1;
inline constexpr uint8_t SUB_TAKEOFF = 2;
inline constexpr uint8_t SUB_LOITER = 3;
inline constexpr uint8_t SUB_MISSION = 4;
inline constexpr uint8_t SUB_RTL = 5;
inline constexpr uint8_t SUB_LAND = 6;
constexpr uint32_t custom_mode(uint8_t main, uint8_t sub = 0) {
  return (uint32_t{main} << 16) | (uint32_t{sub} << 24);
}
}  // namespace px4

// ArduCopter custom mode numbers.
namespace apm {
inline constexpr uint32_t STABILIZE = 0;
inline constexpr uint32_t ALT_HOLD = 2;
inline constexpr uint32_t AUTO = 3;
inline constexpr uint32_t GUIDED = 4;
inline constexpr uint32_t LOITER = 5;
inline constexpr uint32_t RTL = 6;
inline constexpr uint32_t LAND = 9;
inline constexpr uint32_t POSHOLD = 16;
}  // namespace apm

// Where the simulated vehicle starts (and returns to).
inline constexpr double HOME_LAT = 47.3977418;
inline constexpr double HOME_LON = 8.5455938;
inline constexpr double HOME_ALT = 488.0;  // metres above sea level

inline constexpr double TICK_S = 0.1;               // kinematics step
inline constexpr double CLIMB_MS = 2.0;             // take-off and vertical moves
inline constexpr double CRUISE_MS = 5.0;            // horizontal moves unless a speed is given
inline constexpr double DESCENT_MS = 1.0;           // landing
inline constexpr double SETPOINT_TIMEOUT_S = 1.0;   // velocity set-points older than this stop
inline constexpr int PARAMS_PER_TICK = 200;         // pacing of a full parameter list
inline constexpr int LOG_CHUNKS_PER_TICK = 40;      // pacing of a log download (90 bytes each)
inline constexpr size_t LOG_CHUNK = 90;             // data bytes of one LOG_DATA
inline constexpr uint32_t LOG_TO_END = 0xFFFFFFFF;  // LOG_REQUEST_DATA count: the whole rest

struct Param {
  std::string name;  // at most 16 characters
  uint8_t type;      // MAV_PARAM_TYPE
  double value;      // the value itself, before wire encoding
};

// A stored flight log; ids count from 1.
struct StoredLog {
  uint16_t id;
  uint32_t time_utc;  // seconds since 1970
  std::vector<uint8_t> data;
};

class Simulator {
 public:
  Simulator(const SimOptions& options, const Clock& clock, mavlink::Link& link);

  // One received message; subject to the configured loss.
  void handle(const mavlink::Message& msg);
  // Runs the kinematics up to now, sends what is due and releases delayed frames.
  void tick();

  // Read-outs for tests and the program's log.
  bool armed() const { return armed_; }
  uint32_t custom_mode() const { return mode_; }
  uint8_t landed_state() const;
  double alt_rel() const { return -pos_[2]; }
  double lat() const;
  double lon() const;
  const std::vector<Param>& params() const { return params_; }
  const std::vector<StoredLog>& logs() const { return logs_; }
  // The value PARAM_VALUE carries for `p`: PX4 puts integers bit for bit into the float field,
  // ArduPilot converts them to float.
  float wire_value(const Param& p) const;

 private:
  enum class Behaviour { kIdle, kFlyTo, kVelocity, kLand, kReturn };
  struct Command {
    uint16_t command;
    float p[7];
    bool is_int;
    uint8_t frame;
    int32_t x, y;  // COMMAND_INT latitude and longitude, degrees × 1e7
  };
  struct Pending {
    double due;
    uint32_t msgid;
    std::vector<uint8_t> payload;
  };

  bool px4() const { return options_.autopilot == Autopilot::kPx4; }
  bool for_me(uint8_t target_system) const;
  bool drop();  // one loss draw
  template <class T>
  void emit(const T& msg);
  void release_delayed(double now);

  void on_command(const Command& c, uint8_t from_sys, uint8_t from_comp);
  uint8_t do_command(const Command& c);
  uint8_t do_arm(const Command& c);
  uint8_t do_takeoff(const Command& c);
  uint8_t do_reposition(const Command& c);
  uint8_t do_set_mode(const Command& c);
  uint8_t do_set_interval(const Command& c);
  uint8_t do_request_message(const Command& c);
  void on_setpoint(const mavlink::Message& msg);
  void on_param_set(const mavlink::Message& msg);
  void on_param_read(const mavlink::Message& msg);
  void on_log_list(const mavlink::Message& msg);
  void on_log_data(const mavlink::Message& msg);
  void send_log_chunks();

  void set_mode(uint32_t mode);
  Behaviour behaviour() const;
  bool on_ground() const { return pos_[2] >= -0.01; }
  void step(double dt);
  void fly_to(const double target[3], double speed, double dt);

  void send_stream(uint32_t msgid);
  void send_heartbeat();
  void send_param(size_t index);
  void send_autopilot_version();
  uint32_t time_boot_ms() const;

  SimOptions options_;
  const Clock& clock_;
  mavlink::Link& link_;
  std::mt19937_64 rng_;
  double boot_;
  double sim_time_;  // kinematics have run up to here
  double next_heartbeat_;
  std::deque<Pending> delayed_;

  bool armed_ = false;
  uint32_t mode_;
  double pos_[3] = {0, 0, 0};  // north, east, down from home, metres
  double vel_[3] = {0, 0, 0};  // metres per second, same axes
  double target_[3] = {0, 0, 0};
  double speed_ = CRUISE_MS;
  bool taking_off_ = false;
  double setpoint_vel_[3] = {0, 0, 0};
  std::optional<double> setpoint_at_;
  double battery_ = 100.0;  // percent

  struct Stream {
    double interval;
    double next;
  };
  std::map<uint32_t, Stream> streams_;  // by message id; absent means off

  std::vector<Param> params_;
  std::optional<size_t> param_cursor_;  // next index of a running full list

  struct LogTransfer {
    size_t log;     // index into logs_
    uint32_t next;  // offset of the next chunk
    uint32_t end;   // one past the last byte to send
  };
  std::vector<StoredLog> logs_;
  std::optional<LogTransfer> log_transfer_;
};

// The parameter table for a family: a few well-known names first, then numbered fillers of
// mixed types, `count` in all.
std::vector<Param> make_params(Autopilot autopilot, int count);

// `count` logs of pseudo-random bytes, the same on every run: sizes cycle through 10 kB, 50 kB
// and 3 kB, and each is an hour newer than the one before.
std::vector<StoredLog> make_logs(int count);

}  // namespace orvel::sim
