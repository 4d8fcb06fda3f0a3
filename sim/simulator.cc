#include "sim/simulator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "mavlink/messages.h"

namespace orvel::sim {
namespace m = orvel::mavlink;

namespace {

constexpr double METRES_PER_DEG = 111320.0;
constexpr uint32_t VERSION_OFFICIAL = 0xFF;  // FIRMWARE_VERSION_TYPE_OFFICIAL in the low byte
constexpr uint32_t PX4_VERSION = (1u << 24) | (14u << 16) | (3u << 8) | VERSION_OFFICIAL;
constexpr uint32_t APM_VERSION = (4u << 24) | (5u << 16) | (7u << 8) | VERSION_OFFICIAL;
// MAV_PROTOCOL_CAPABILITY bits.
constexpr uint64_t CAP_MISSION_INT = 4, CAP_COMMAND_INT = 8, CAP_PARAM_BYTEWISE = 16,
                   CAP_SET_POSITION_TARGET_LOCAL_NED = 128, CAP_MAVLINK2 = 8192,
                   CAP_PARAM_C_CAST = 131072;
constexpr uint16_t FORCE_DISARM_MAGIC = 21196;
// SET_POSITION_TARGET type_mask bits that ignore position and velocity.
constexpr uint16_t IGNORE_POSITION = 0x7, IGNORE_VELOCITY = 0x38;

bool is_int_type(uint8_t t) {
  return t != m::MAV_PARAM_TYPE_REAL32 && t != m::MAV_PARAM_TYPE_REAL64;
}

// Limits an integer to what its MAVLink parameter type can hold.
double clamp_to_type(double v, uint8_t t) {
  switch (t) {
    case m::MAV_PARAM_TYPE_UINT8:
      return std::clamp(v, 0.0, 255.0);
    case m::MAV_PARAM_TYPE_INT8:
      return std::clamp(v, -128.0, 127.0);
    case m::MAV_PARAM_TYPE_UINT16:
      return std::clamp(v, 0.0, 65535.0);
    case m::MAV_PARAM_TYPE_INT16:
      return std::clamp(v, -32768.0, 32767.0);
    default:
      return std::clamp(v, -2147483648.0, 2147483647.0);
  }
}

std::string id_text(const std::array<char, 16>& id) {
  return std::string(id.data(), strnlen(id.data(), id.size()));
}

}  // namespace

std::vector<Param> make_params(Autopilot autopilot, int count) {
  std::vector<Param> named;
  if (autopilot == Autopilot::kPx4) {
    named = {{"SYS_AUTOSTART", m::MAV_PARAM_TYPE_INT32, 4001},
             {"MIS_TAKEOFF_ALT", m::MAV_PARAM_TYPE_REAL32, 2.5},
             {"MPC_XY_CRUISE", m::MAV_PARAM_TYPE_REAL32, CRUISE_MS},
             {"RTL_RETURN_ALT", m::MAV_PARAM_TYPE_REAL32, 30.0},
             {"NAV_RCL_ACT", m::MAV_PARAM_TYPE_INT32, 2},
             {"COM_OBL_RC_ACT", m::MAV_PARAM_TYPE_INT32, -1}};
  } else {
    named = {{"SYSID_THISMAV", m::MAV_PARAM_TYPE_INT16, 1},
             {"WPNAV_SPEED", m::MAV_PARAM_TYPE_REAL32, CRUISE_MS * 100},
             {"RTL_ALT", m::MAV_PARAM_TYPE_INT32, 1500},
             {"FS_THR_ENABLE", m::MAV_PARAM_TYPE_INT8, 1},
             {"PILOT_TKOFF_ALT", m::MAV_PARAM_TYPE_REAL32, 0.0}};
  }
  // PX4 only has 32-bit integers and floats; ArduPilot also has narrow integers.
  const std::vector<uint8_t> types =
      autopilot == Autopilot::kPx4
          ? std::vector<uint8_t>{m::MAV_PARAM_TYPE_REAL32, m::MAV_PARAM_TYPE_INT32}
          : std::vector<uint8_t>{m::MAV_PARAM_TYPE_REAL32, m::MAV_PARAM_TYPE_INT32,
                                 m::MAV_PARAM_TYPE_INT8, m::MAV_PARAM_TYPE_INT16};
  std::vector<Param> out;
  out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    if (static_cast<size_t>(i) < named.size()) {
      out.push_back(named[static_cast<size_t>(i)]);
      continue;
    }
    char name[17];
    std::snprintf(name, sizeof name, "SIM_P%05d", i);
    const uint8_t t = types[static_cast<size_t>(i) % types.size()];
    // Negative integers included: they are what a wrong integer encoding breaks first.
    const double v = is_int_type(t) ? clamp_to_type((i * 7919) % 2001 - 1000, t) : i * 0.25 + 0.1;
    out.push_back({name, t, v});
  }
  return out;
}

std::vector<StoredLog> make_logs(int count) {
  static constexpr uint32_t sizes[] = {10 * 1024, 50 * 1024, 3 * 1024};
  constexpr uint32_t FIRST_TIME_UTC = 1'700'000'000;  // November 2023
  std::vector<StoredLog> out;
  for (int i = 0; i < count; ++i) {
    StoredLog log{static_cast<uint16_t>(i + 1), FIRST_TIME_UTC + static_cast<uint32_t>(i) * 3600,
                  std::vector<uint8_t>(sizes[i % 3])};
    // splitmix64: cheap, and fixed by its definition rather than by the library.
    uint64_t state = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(i + 1);
    for (auto& b : log.data) {
      uint64_t z = (state += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      b = static_cast<uint8_t>(z ^ (z >> 31));
    }
    out.push_back(std::move(log));
  }
  return out;
}

Simulator::Simulator(const SimOptions& options, const Clock& clock, mavlink::Link& link)
    : options_(options),
      clock_(clock),
      link_(link),
      rng_(options.seed),
      boot_(clock.monotonic()),
      sim_time_(boot_),
      next_heartbeat_(boot_),
      mode_(options.autopilot == Autopilot::kPx4 ? px4::custom_mode(px4::MAIN_POSCTL)
                                                 : apm::STABILIZE),
      params_(make_params(options.autopilot, options.params)),
      logs_(make_logs(options.logs)) {}

bool Simulator::drop() {
  if (options_.loss <= 0.0) return false;  // no draw, so loss 0 never consumes randomness
  // 53 random bits to a double in [0, 1): the same on every platform, unlike the distributions.
  const double u = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
  return u < options_.loss;
}

template <class T>
void Simulator::emit(const T& msg) {
  if (drop()) return;
  uint8_t buf[255] = {};
  const size_t n = msg.encode(buf);
  if (options_.delay_s > 0.0 || !delayed_.empty()) {
    delayed_.push_back({clock_.monotonic() + options_.delay_s, T::ID, {buf, buf + n}});
    return;
  }
  link_.send_payload(T::ID, std::span<const uint8_t>(buf, n));
}

void Simulator::release_delayed(double now) {
  // The delay is the same for every frame, so the queue is in due order.
  while (!delayed_.empty() && delayed_.front().due <= now) {
    link_.send_payload(delayed_.front().msgid, delayed_.front().payload);
    delayed_.pop_front();
  }
}

bool Simulator::for_me(uint8_t target_system) const {
  return target_system == 0 || target_system == options_.sysid;
}

uint32_t Simulator::time_boot_ms() const {
  return static_cast<uint32_t>((clock_.monotonic() - boot_) * 1000.0);
}

double Simulator::lat() const {
  return HOME_LAT + pos_[0] / METRES_PER_DEG;
}
double Simulator::lon() const {
  return HOME_LON + pos_[1] / (METRES_PER_DEG * std::cos(HOME_LAT * std::numbers::pi / 180.0));
}

float Simulator::wire_value(const Param& p) const {
  if (px4() && is_int_type(p.type)) return std::bit_cast<float>(static_cast<int32_t>(p.value));
  return static_cast<float>(p.value);
}

// ---- incoming -----------------------------------------------------------------------------

void Simulator::handle(const mavlink::Message& msg) {
  if (msg.bad() || drop()) return;
  if (auto c = msg.as<m::CommandLong>()) {
    if (!for_me(c->target_system)) return;
    Command cmd{
        c->command, {c->param1, c->param2, c->param3, c->param4, c->param5, c->param6, c->param7},
        false,      0,
        0,          0};
    on_command(cmd, msg.sysid, msg.compid);
  } else if (auto ci = msg.as<m::CommandInt>()) {
    if (!for_me(ci->target_system)) return;
    Command cmd{ci->command,
                {ci->param1, ci->param2, ci->param3, ci->param4, static_cast<float>(ci->x),
                 static_cast<float>(ci->y), ci->z},
                true,
                ci->frame,
                ci->x,
                ci->y};
    on_command(cmd, msg.sysid, msg.compid);
  } else if (msg.id == m::SetPositionTargetLocalNed::ID) {
    on_setpoint(msg);
  } else if (auto rl = msg.as<m::ParamRequestList>()) {
    if (for_me(rl->target_system) && !params_.empty()) param_cursor_ = 0;
  } else if (msg.id == m::ParamRequestRead::ID) {
    on_param_read(msg);
  } else if (msg.id == m::ParamSet::ID) {
    on_param_set(msg);
  } else if (msg.id == m::LogRequestList::ID) {
    on_log_list(msg);
  } else if (msg.id == m::LogRequestData::ID) {
    on_log_data(msg);
  } else if (auto e = msg.as<m::LogRequestEnd>()) {
    if (for_me(e->target_system)) log_transfer_.reset();
  }
}

void Simulator::on_command(const Command& c, uint8_t from_sys, uint8_t from_comp) {
  m::CommandAck ack;
  ack.command = c.command;
  ack.result = do_command(c);
  ack.target_system = from_sys;
  ack.target_component = from_comp;
  emit(ack);
  // The requested message follows its acknowledgement, as on the real autopilots.
  if (c.command == m::MAV_CMD_REQUEST_MESSAGE && ack.result == m::MAV_RESULT_ACCEPTED) {
    const auto id = static_cast<uint32_t>(c.p[0]);
    if (id == m::AutopilotVersion::ID) {
      send_autopilot_version();
    } else {
      send_stream(id);
    }
  }
}

uint8_t Simulator::do_command(const Command& c) {
  switch (c.command) {
    case m::MAV_CMD_COMPONENT_ARM_DISARM:
      return do_arm(c);
    case m::MAV_CMD_NAV_TAKEOFF:
      return do_takeoff(c);
    case m::MAV_CMD_DO_REPOSITION:
      return do_reposition(c);
    case m::MAV_CMD_NAV_LAND:
      set_mode(px4() ? px4::custom_mode(px4::MAIN_AUTO, px4::SUB_LAND) : apm::LAND);
      return m::MAV_RESULT_ACCEPTED;
    case m::MAV_CMD_NAV_RETURN_TO_LAUNCH:
      set_mode(px4() ? px4::custom_mode(px4::MAIN_AUTO, px4::SUB_RTL) : apm::RTL);
      return m::MAV_RESULT_ACCEPTED;
    case m::MAV_CMD_DO_SET_MODE:
      return do_set_mode(c);
    case m::MAV_CMD_SET_MESSAGE_INTERVAL:
      return do_set_interval(c);
    case m::MAV_CMD_REQUEST_MESSAGE:
      return do_request_message(c);
    default:
      return m::MAV_RESULT_UNSUPPORTED;
  }
}

uint8_t Simulator::do_arm(const Command& c) {
  if (c.p[0] >= 0.5f) {
    armed_ = true;
    return m::MAV_RESULT_ACCEPTED;
  }
  // Disarming in flight needs the force value, as on the real autopilots; the vehicle then
  // drops to the ground at once.
  if (!on_ground() && c.p[1] != FORCE_DISARM_MAGIC) return m::MAV_RESULT_DENIED;
  armed_ = false;
  taking_off_ = false;
  pos_[2] = 0.0;
  return m::MAV_RESULT_ACCEPTED;
}

uint8_t Simulator::do_takeoff(const Command& c) {
  if (!armed_) return m::MAV_RESULT_DENIED;
  double alt;  // above home
  if (px4()) {
    // PX4 takes an altitude above sea level; NaN means its default take-off height.
    alt = std::isnan(c.p[6]) ? 2.5 : c.p[6] - HOME_ALT;
  } else {
    if (mode_ != apm::GUIDED) return m::MAV_RESULT_DENIED;
    alt = c.p[6];
  }
  if (!(alt > 0.0)) return m::MAV_RESULT_DENIED;
  if (px4()) set_mode(px4::custom_mode(px4::MAIN_AUTO, px4::SUB_TAKEOFF));
  target_[0] = pos_[0];
  target_[1] = pos_[1];
  target_[2] = -alt;
  taking_off_ = true;
  return m::MAV_RESULT_ACCEPTED;
}

uint8_t Simulator::do_reposition(const Command& c) {
  if (!c.is_int) return m::MAV_RESULT_COMMAND_INT_ONLY;
  double alt;  // above home
  switch (c.frame) {
    case m::MAV_FRAME_GLOBAL:
    case m::MAV_FRAME_GLOBAL_INT:
      alt = c.p[6] - HOME_ALT;
      break;
    case m::MAV_FRAME_GLOBAL_RELATIVE_ALT:
    case m::MAV_FRAME_GLOBAL_RELATIVE_ALT_INT:
      alt = c.p[6];
      break;
    default:
      return m::MAV_RESULT_COMMAND_UNSUPPORTED_MAV_FRAME;
  }
  if (std::isnan(c.p[6])) alt = -pos_[2];
  if (!armed_ || on_ground()) return m::MAV_RESULT_DENIED;
  const bool change_mode = (static_cast<int>(c.p[1]) & m::MAV_DO_REPOSITION_FLAGS_CHANGE_MODE) != 0;
  if (px4()) {
    set_mode(px4::custom_mode(px4::MAIN_AUTO, px4::SUB_LOITER));
  } else if (mode_ != apm::GUIDED) {
    if (!change_mode) return m::MAV_RESULT_DENIED;
    set_mode(apm::GUIDED);
  }
  target_[0] = (c.x / 1e7 - HOME_LAT) * METRES_PER_DEG;
  target_[1] =
      (c.y / 1e7 - HOME_LON) * METRES_PER_DEG * std::cos(HOME_LAT * std::numbers::pi / 180.0);
  target_[2] = -alt;
  setpoint_at_.reset();
  speed_ = c.p[0] > 0.0f ? c.p[0] : CRUISE_MS;
  return m::MAV_RESULT_ACCEPTED;
}

uint8_t Simulator::do_set_mode(const Command& c) {
  if ((static_cast<int>(c.p[0]) & m::MAV_MODE_FLAG_CUSTOM_MODE_ENABLED) == 0)
    return m::MAV_RESULT_DENIED;
  const auto a = static_cast<uint32_t>(c.p[1]);
  const auto b = static_cast<uint32_t>(c.p[2]);
  if (px4()) {
    const bool known_main = a >= px4::MAIN_MANUAL && a <= px4::MAIN_STABILIZED;
    const bool known_sub = a != px4::MAIN_AUTO || (b >= px4::SUB_READY && b <= px4::SUB_LAND);
    if (!known_main || !known_sub) return m::MAV_RESULT_DENIED;
    set_mode(px4::custom_mode(static_cast<uint8_t>(a),
                              a == px4::MAIN_AUTO ? static_cast<uint8_t>(b) : 0));
    if (a == px4::MAIN_AUTO && b == px4::SUB_TAKEOFF && armed_) {
      target_[2] = -2.5;  // default take-off height
      taking_off_ = true;
    }
  } else {
    static constexpr uint32_t known[] = {apm::STABILIZE, apm::ALT_HOLD, apm::AUTO, apm::GUIDED,
                                         apm::LOITER,    apm::RTL,      apm::LAND, apm::POSHOLD};
    if (std::find(std::begin(known), std::end(known), a) == std::end(known))
      return m::MAV_RESULT_DENIED;
    set_mode(a);
  }
  return m::MAV_RESULT_ACCEPTED;
}

uint8_t Simulator::do_set_interval(const Command& c) {
  const auto id = static_cast<uint32_t>(c.p[0]);
  static constexpr uint32_t streamable[] = {m::GlobalPositionInt::ID, m::SysStatus::ID,
                                            m::GpsRawInt::ID, m::ExtendedSysState::ID,
                                            m::HomePosition::ID};
  if (std::find(std::begin(streamable), std::end(streamable), id) == std::end(streamable))
    return m::MAV_RESULT_DENIED;
  const double us = c.p[1];
  if (us < 0) {
    streams_.erase(id);
    return m::MAV_RESULT_ACCEPTED;
  }
  // 0 asks for the default rate.
  const double interval = us == 0 ? (id == m::GlobalPositionInt::ID ? 0.2 : 1.0) : us / 1e6;
  streams_[id] = {interval, clock_.monotonic()};
  return m::MAV_RESULT_ACCEPTED;
}

uint8_t Simulator::do_request_message(const Command& c) {
  const auto id = static_cast<uint32_t>(c.p[0]);
  const bool known = id == m::AutopilotVersion::ID || id == m::GlobalPositionInt::ID ||
                     id == m::SysStatus::ID || id == m::GpsRawInt::ID ||
                     id == m::ExtendedSysState::ID || id == m::HomePosition::ID;
  return known ? m::MAV_RESULT_ACCEPTED : m::MAV_RESULT_DENIED;
}

void Simulator::on_setpoint(const mavlink::Message& msg) {
  const auto sp = msg.as<m::SetPositionTargetLocalNed>();
  if (!sp || !for_me(sp->target_system) || !armed_) return;
  const bool offboard = px4() ? (mode_ >> 16 & 0xFF) == px4::MAIN_OFFBOARD : mode_ == apm::GUIDED;
  if (!offboard || sp->coordinate_frame != m::MAV_FRAME_LOCAL_NED) return;
  if ((sp->type_mask & IGNORE_VELOCITY) == 0) {
    setpoint_vel_[0] = sp->vx;
    setpoint_vel_[1] = sp->vy;
    setpoint_vel_[2] = sp->vz;
    setpoint_at_ = clock_.monotonic();
    taking_off_ = false;
  } else if ((sp->type_mask & IGNORE_POSITION) == 0) {
    target_[0] = sp->x;
    target_[1] = sp->y;
    target_[2] = std::min<double>(sp->z, 0.0);
    speed_ = CRUISE_MS;
    setpoint_at_.reset();
  }
}

void Simulator::on_param_read(const mavlink::Message& msg) {
  const auto r = msg.as<m::ParamRequestRead>();
  if (!r || !for_me(r->target_system)) return;
  if (r->param_index >= 0) {
    if (static_cast<size_t>(r->param_index) < params_.size())
      send_param(static_cast<size_t>(r->param_index));
    return;
  }
  const std::string name = id_text(r->param_id);
  for (size_t i = 0; i < params_.size(); ++i)
    if (params_[i].name == name) return send_param(i);
}

void Simulator::on_param_set(const mavlink::Message& msg) {
  const auto s = msg.as<m::ParamSet>();
  if (!s || !for_me(s->target_system)) return;
  const std::string name = id_text(s->param_id);
  for (size_t i = 0; i < params_.size(); ++i) {
    Param& p = params_[i];
    if (p.name != name) continue;
    if (!is_int_type(p.type)) {
      p.value = s->param_value;
    } else if (px4()) {
      p.value = std::bit_cast<int32_t>(s->param_value);
    } else if (std::isfinite(s->param_value)) {
      p.value = clamp_to_type(std::trunc(s->param_value), p.type);
    }
    // The new value is announced whether or not it changed, as the autopilots do.
    return send_param(i);
  }
}

void Simulator::on_log_list(const mavlink::Message& msg) {
  const auto r = msg.as<m::LogRequestList>();
  if (!r || !for_me(r->target_system)) return;
  const auto num = static_cast<uint16_t>(logs_.size());
  if (logs_.empty()) {
    // The requester learns there is nothing rather than waiting for entries.
    emit(m::LogEntry{});
    return;
  }
  for (const StoredLog& log : logs_) {
    if (log.id < r->start || log.id > r->end) continue;
    m::LogEntry e;
    e.id = log.id;
    e.num_logs = num;
    e.last_log_num = logs_.back().id;
    e.time_utc = log.time_utc;
    e.size = static_cast<uint32_t>(log.data.size());
    emit(e);
  }
}

void Simulator::on_log_data(const mavlink::Message& msg) {
  const auto r = msg.as<m::LogRequestData>();
  if (!r || !for_me(r->target_system)) return;
  for (size_t i = 0; i < logs_.size(); ++i) {
    if (logs_[i].id != r->id) continue;
    const auto size = static_cast<uint32_t>(logs_[i].data.size());
    if (r->ofs >= size) {
      // Nothing there: one empty chunk says so, and any running download stops.
      m::LogData d;
      d.id = r->id;
      d.ofs = r->ofs;
      emit(d);
      log_transfer_.reset();
      return;
    }
    const uint64_t end = std::min<uint64_t>(size, uint64_t{r->ofs} + r->count);
    // A new request replaces the running one, as a requester retrying a gap expects.
    log_transfer_ = LogTransfer{i, r->ofs, static_cast<uint32_t>(end)};
    return;
  }
}

void Simulator::send_log_chunks() {
  for (int n = 0; log_transfer_ && n < LOG_CHUNKS_PER_TICK; ++n) {
    LogTransfer& t = *log_transfer_;
    const StoredLog& log = logs_[t.log];
    m::LogData d;
    d.id = log.id;
    d.ofs = t.next;
    d.count = static_cast<uint8_t>(std::min<uint32_t>(LOG_CHUNK, t.end - t.next));
    std::copy_n(log.data.begin() + t.next, d.count, d.data.begin());
    emit(d);
    t.next += d.count;
    if (t.next >= t.end) log_transfer_.reset();
  }
}

// ---- modes and kinematics -----------------------------------------------------------------

void Simulator::set_mode(uint32_t mode) {
  mode_ = mode;
  // A new mode starts by holding where the vehicle is.
  for (int i = 0; i < 3; ++i) target_[i] = pos_[i];
  speed_ = CRUISE_MS;
  taking_off_ = false;
  setpoint_at_.reset();
}

Simulator::Behaviour Simulator::behaviour() const {
  if (!armed_) return Behaviour::kIdle;
  bool offboard;
  if (px4()) {
    const uint32_t main = mode_ >> 16 & 0xFF, sub = mode_ >> 24 & 0xFF;
    if (main == px4::MAIN_AUTO && sub == px4::SUB_LAND) return Behaviour::kLand;
    if (main == px4::MAIN_AUTO && sub == px4::SUB_RTL) return Behaviour::kReturn;
    offboard = main == px4::MAIN_OFFBOARD;
  } else {
    if (mode_ == apm::LAND) return Behaviour::kLand;
    if (mode_ == apm::RTL) return Behaviour::kReturn;
    offboard = mode_ == apm::GUIDED;
  }
  return offboard && setpoint_at_ ? Behaviour::kVelocity : Behaviour::kFlyTo;
}

uint8_t Simulator::landed_state() const {
  const Behaviour b = behaviour();
  if (taking_off_) return m::MAV_LANDED_STATE_TAKEOFF;
  if (on_ground()) return m::MAV_LANDED_STATE_ON_GROUND;
  if (b == Behaviour::kLand) return m::MAV_LANDED_STATE_LANDING;
  if (b == Behaviour::kReturn && std::hypot(pos_[0], pos_[1]) < 0.5)
    return m::MAV_LANDED_STATE_LANDING;
  return m::MAV_LANDED_STATE_IN_AIR;
}

void Simulator::fly_to(const double target[3], double speed, double dt) {
  const double dn = target[0] - pos_[0], de = target[1] - pos_[1], dd = target[2] - pos_[2];
  const double dist = std::hypot(dn, de);
  const double h = std::min(dist, speed * dt);
  vel_[0] = dist > 0 ? dn / dist * h / dt : 0.0;
  vel_[1] = dist > 0 ? de / dist * h / dt : 0.0;
  vel_[2] = std::clamp(dd, -CLIMB_MS * dt, CLIMB_MS * dt) / dt;
}

void Simulator::step(double dt) {
  const Behaviour b = behaviour();
  switch (b) {
    case Behaviour::kIdle:
      vel_[0] = vel_[1] = vel_[2] = 0.0;
      break;
    case Behaviour::kFlyTo:
      fly_to(target_, speed_, dt);
      break;
    case Behaviour::kVelocity: {
      const bool fresh = clock_.monotonic() - *setpoint_at_ <= SETPOINT_TIMEOUT_S;
      for (int i = 0; i < 3; ++i) vel_[i] = fresh ? setpoint_vel_[i] : 0.0;
      break;
    }
    case Behaviour::kLand:
      vel_[0] = vel_[1] = 0.0;
      vel_[2] = DESCENT_MS;
      break;
    case Behaviour::kReturn: {
      // Home at the current height first, then straight down.
      if (std::hypot(pos_[0], pos_[1]) > 0.01) {
        const double home[3] = {0.0, 0.0, pos_[2]};
        fly_to(home, CRUISE_MS, dt);
      } else {
        vel_[0] = vel_[1] = 0.0;
        vel_[2] = DESCENT_MS;
      }
      break;
    }
  }
  for (int i = 0; i < 3; ++i) pos_[i] += vel_[i] * dt;
  if (pos_[2] >= 0.0) {
    pos_[2] = 0.0;
    vel_[2] = 0.0;
    // Touch-down at the end of a landing disarms, as both autopilots do by default.
    if (b == Behaviour::kLand || b == Behaviour::kReturn) armed_ = false;
  }
  if (taking_off_ && std::abs(pos_[2] - target_[2]) < 0.05) {
    taking_off_ = false;
    // PX4 holds position once the take-off height is reached; ArduPilot stays in GUIDED.
    if (px4()) {
      const double hold[3] = {target_[0], target_[1], target_[2]};
      set_mode(px4::custom_mode(px4::MAIN_AUTO, px4::SUB_LOITER));
      for (int i = 0; i < 3; ++i) target_[i] = hold[i];
    }
  }
  if (armed_) battery_ = std::max(0.0, battery_ - 0.05 * dt);

  // A full parameter list goes out in slices so the link is not flooded.
  for (int n = 0; param_cursor_ && n < PARAMS_PER_TICK; ++n) {
    send_param(*param_cursor_);
    if (++*param_cursor_ >= params_.size()) param_cursor_.reset();
  }
  send_log_chunks();
}

void Simulator::tick() {
  const double now = clock_.monotonic();
  while (now - sim_time_ >= TICK_S) {
    sim_time_ += TICK_S;
    step(TICK_S);
  }
  if (now >= next_heartbeat_) {
    send_heartbeat();
    next_heartbeat_ += 1.0;
    if (next_heartbeat_ <= now) next_heartbeat_ = now + 1.0;  // after a stall, no burst
  }
  for (auto& [id, s] : streams_) {
    if (now < s.next) continue;
    send_stream(id);
    s.next += s.interval;
    if (s.next <= now) s.next = now + s.interval;
  }
  release_delayed(now);
}

// ---- outgoing -----------------------------------------------------------------------------

void Simulator::send_heartbeat() {
  m::Heartbeat hb;
  hb.type = m::MAV_TYPE_QUADROTOR;
  hb.autopilot = px4() ? m::MAV_AUTOPILOT_PX4 : m::MAV_AUTOPILOT_ARDUPILOTMEGA;
  hb.base_mode = m::MAV_MODE_FLAG_CUSTOM_MODE_ENABLED;
  if (armed_) hb.base_mode |= m::MAV_MODE_FLAG_SAFETY_ARMED;
  hb.custom_mode = mode_;
  hb.system_status = armed_ ? m::MAV_STATE_ACTIVE : m::MAV_STATE_STANDBY;
  emit(hb);
}

void Simulator::send_stream(uint32_t msgid) {
  const auto lat_e7 = static_cast<int32_t>(std::lround(lat() * 1e7));
  const auto lon_e7 = static_cast<int32_t>(std::lround(lon() * 1e7));
  const auto alt_mm = static_cast<int32_t>(std::lround((HOME_ALT - pos_[2]) * 1000.0));
  const double ground_speed = std::hypot(vel_[0], vel_[1]);
  double course = std::atan2(vel_[1], vel_[0]) * 180.0 / std::numbers::pi;
  if (course < 0) course += 360.0;
  if (msgid == m::GlobalPositionInt::ID) {
    m::GlobalPositionInt p;
    p.time_boot_ms = time_boot_ms();
    p.lat = lat_e7;
    p.lon = lon_e7;
    p.alt = alt_mm;
    p.relative_alt = static_cast<int32_t>(std::lround(-pos_[2] * 1000.0));
    p.vx = static_cast<int16_t>(std::lround(vel_[0] * 100));
    p.vy = static_cast<int16_t>(std::lround(vel_[1] * 100));
    p.vz = static_cast<int16_t>(std::lround(vel_[2] * 100));
    p.hdg = ground_speed > 0.1 ? static_cast<uint16_t>(std::lround(course * 100)) % 36000 : 0;
    emit(p);
  } else if (msgid == m::SysStatus::ID) {
    m::SysStatus s;
    s.load = 250;
    s.voltage_battery = static_cast<uint16_t>(14000 + battery_ * 22);  // 4S pack, 14.0-16.2 V
    s.current_battery = static_cast<int16_t>(armed_ ? 1500 : 50);
    s.battery_remaining = static_cast<int8_t>(std::lround(battery_));
    emit(s);
  } else if (msgid == m::GpsRawInt::ID) {
    m::GpsRawInt g;
    g.time_usec = static_cast<uint64_t>(time_boot_ms()) * 1000;
    g.fix_type = m::GPS_FIX_TYPE_3D_FIX;
    g.lat = lat_e7;
    g.lon = lon_e7;
    g.alt = alt_mm;
    g.eph = 80;
    g.epv = 120;
    g.vel = static_cast<uint16_t>(std::lround(ground_speed * 100));
    g.cog = static_cast<uint16_t>(std::lround(course * 100)) % 36000;
    g.satellites_visible = 10;
    emit(g);
  } else if (msgid == m::ExtendedSysState::ID) {
    m::ExtendedSysState e;
    e.landed_state = landed_state();
    emit(e);
  } else if (msgid == m::HomePosition::ID) {
    m::HomePosition h;
    h.latitude = static_cast<int32_t>(std::lround(HOME_LAT * 1e7));
    h.longitude = static_cast<int32_t>(std::lround(HOME_LON * 1e7));
    h.altitude = static_cast<int32_t>(std::lround(HOME_ALT * 1000));
    h.q = {1.0f, 0.0f, 0.0f, 0.0f};
    emit(h);
  }
}

void Simulator::send_param(size_t index) {
  const Param& p = params_[index];
  m::ParamValue v;
  std::copy_n(p.name.data(), std::min(p.name.size(), v.param_id.size()), v.param_id.begin());
  v.param_value = wire_value(p);
  v.param_type = p.type;
  v.param_count = static_cast<uint16_t>(params_.size());
  v.param_index = static_cast<uint16_t>(index);
  emit(v);
}

void Simulator::send_autopilot_version() {
  m::AutopilotVersion v;
  v.capabilities = CAP_MISSION_INT | CAP_COMMAND_INT | CAP_SET_POSITION_TARGET_LOCAL_NED |
                   CAP_MAVLINK2 | (px4() ? CAP_PARAM_BYTEWISE : CAP_PARAM_C_CAST);
  v.flight_sw_version = px4() ? PX4_VERSION : APM_VERSION;
  v.uid = 0x5157'0000'0000'0000ull | options_.sysid;
  emit(v);
}

}  // namespace orvel::sim
