#include "bridge/bridge.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "bridge/command_key.h"
#include "mavlink/connection.h"
#include "mavlink/messages.h"
#include "support/version.h"

namespace orvel::bridge {

namespace m = orvel::mavlink;

const StreamRate STREAMS_HZ[5] = {
    {m::GlobalPositionInt::ID, 4.0}, {m::SysStatus::ID, 1.0},    {m::GpsRawInt::ID, 1.0},
    {m::ExtendedSysState::ID, 1.0},  {m::HomePosition::ID, 0.2},
};

namespace {

constexpr std::array<std::string_view, 12> FORWARD = {
    "HEARTBEAT",
    "GLOBAL_POSITION_INT",
    "SYS_STATUS",
    "GPS_RAW_INT",
    "EXTENDED_SYS_STATE",
    "HOME_POSITION",
    "STATUSTEXT",
    "AUTOPILOT_VERSION",
    "OPEN_DRONE_ID_BASIC_ID",
    "OPEN_DRONE_ID_LOCATION",
    "OPEN_DRONE_ID_SYSTEM",
    "OPEN_DRONE_ID_OPERATOR_ID",
};

}  // namespace

bool should_forward(const m::Message& msg) {
  if (std::find(FORWARD.begin(), FORWARD.end(), msg.type) == FORWARD.end()) return false;
  if (msg.id == m::Heartbeat::ID) {
    const auto hb = msg.as<m::Heartbeat>();
    return hb && is_vehicle_type(hb->type);
  }
  return true;
}

int64_t interval_us(double rate_hz) {
  return static_cast<int64_t>(1000000.0 / rate_hz);
}

Bridge::Bridge(BridgeConfig config, BridgeEnv env)
    : config_(std::move(config)),
      env_(std::move(env)),
      log_("bridge", env_.log_sink),
      version_(RELEASE_VERSION) {
  if (!env_.open_link) env_.open_link = m::open_link;
  if (!env_.make_uplink) {
    env_.make_uplink = [this](const BridgeConfig& c, std::function<void()> on_envelope) {
      return make_uplink(c, *env_.clock, env_.log_sink, std::move(on_envelope));
    };
  }
  if (env_.http == nullptr) {
    own_http_ = std::make_unique<CurlHttpClient>();
    env_.http = own_http_.get();
  }

  autopilot_ =
      env_.open_link(config_.autopilot, static_cast<int>(config_.baud),
                     static_cast<uint8_t>(config_.source_system), m::MAV_COMP_ID_ONBOARD_COMPUTER);
  // An envelope from the platform wakes the loop at once instead of after the read time-out.
  m::Link* link = autopilot_.get();
  utm_ = env_.make_uplink(config_, [link] { link->wake(); });
  side_channels_ = utm_->mqtt() != nullptr;

  Uplink* utm = utm_.get();
  params_ = std::make_unique<params::ParamReader>(
      *autopilot_, [utm](std::string_view bytes) { return utm->publish_side("params", bytes); },
      static_cast<double>(config_.params_seconds), *env_.clock, env_.log_sink);

  command_key_ = config_.command_public_key;
  command_key_id_ = config_.command_key_id;
  const bool wants_envelopes = !config_.allow_commands.empty() || config_.share_logs ||
                               config_.allow_checks || config_.camera.size() > 0;
  if (wants_envelopes && command_key_.empty() && !config_.server.empty()) {
    const CommandKey key = fetch_command_key(config_.server, *env_.http, log_);
    command_key_ = key.public_key;
    command_key_id_ = key.key_id;
  }

  verifier_ = std::make_unique<commands::Verifier>(command_key_, command_key_id_, *env_.clock);
  commands::CommandExecutor::FetchKey fetch_key;
  if (!config_.server.empty()) {
    fetch_key = [this] {
      const CommandKey key = fetch_command_key(config_.server, *env_.http, log_);
      return std::make_pair(key.public_key, key.key_id);
    };
  }
  const Answer answer = [this](const Json& message) { this->answer(message); };
  executor_ = std::make_unique<commands::CommandExecutor>(
      *autopilot_, answer, config_.allow_commands, *verifier_, config_.device_id,
      std::move(fetch_key), *env_.clock, env_.log_sink);
  auto own_keys = [this] { return executor_->own_keys(); };
  readiness_ =
      std::make_unique<Readiness>(*autopilot_, answer, *verifier_, config_.device_id,
                                  config_.allow_checks, own_keys, *env_.clock, env_.log_sink);

  if (!executor_->allow().empty()) {
    std::string kinds;
    for (const auto& k : executor_->allow()) kinds += (kinds.empty() ? "" : ", ") + k;
    log_.info("Commands allowed on this drone: %s%s", kinds.c_str(),
              command_key_.empty() ? " (NO command key: all will be refused)" : "");
  }
}

Bridge::~Bridge() = default;

void Bridge::run() {
  log_.info("Edge bridge %s \u2192 %s", config_.autopilot.c_str(), utm_->describe().c_str());
  last_log_ = env_.clock->monotonic();
  for (;;) {
    step();
    maybe_log_stats();
  }
}

void Bridge::maybe_log_stats() {
  if (env_.clock->monotonic() - last_log_ > STATS_SECONDS) {
    last_log_ = env_.clock->monotonic();
    log_.info("%s", stats_line().c_str());
  }
}

std::string Bridge::stats_line() const {
  std::string vehicles = "[";
  for (int id : stats_.vehicles) vehicles += (vehicles.size() > 1 ? ", " : "") + std::to_string(id);
  vehicles += "]";
  const MqttUplink* mqtt = std::as_const(*utm_).mqtt();
  const long long uplink_dropped = mqtt ? static_cast<long long>(mqtt->dropped()) : 0;
  const long long params_published = params_->published();
  const std::string commands = executor_->counts_text();
  return strf(
      "vehicles=%s received=%lld forwarded=%lld dropped=%lld uplink_dropped_batches=%lld "
      "params_published=%lld commands=%s",
      vehicles.c_str(), static_cast<long long>(stats_.received),
      static_cast<long long>(stats_.forwarded), static_cast<long long>(stats_.dropped),
      uplink_dropped, params_published, commands.c_str());
}

void Bridge::step() {
  std::optional<m::Message> msg = autopilot_->recv(READ_TIMEOUT_S);
  utm_->tick();
  side_tick();
  if (!msg || msg->bad()) return;

  stats_.received += 1;
  if (msg->id == m::Heartbeat::ID) {
    const auto hb = msg->as<m::Heartbeat>();
    if (hb && is_vehicle_type(hb->type)) {
      stats_.vehicles.insert(msg->sysid);
      request_streams(msg->sysid, msg->compid);
      if (side_channels_) params_->on_heartbeat(*msg);
    }
  }
  if (side_channels_) {
    if (msg->id == m::ParamValue::ID)
      params_->on_param_value(*msg);
    else if (msg->id == m::AutopilotVersion::ID)
      params_->on_autopilot_version(*msg);
    executor_->on_message(*msg);
    readiness_->on_message(*msg);
  }
  if (should_forward(*msg)) {
    utm_->write(msg->frame);
    stats_.forwarded += 1;
  } else {
    stats_.dropped += 1;
  }
}

void Bridge::request_streams(uint8_t sysid, uint8_t compid) {
  const double now = env_.clock->monotonic();
  auto it = last_stream_request_.find(sysid);
  const double last = it == last_stream_request_.end() ? 0.0 : it->second;
  if (now - last < static_cast<double>(config_.stream_request_seconds)) return;
  last_stream_request_[sysid] = now;
  for (const StreamRate& s : STREAMS_HZ) {
    m::CommandLong cmd;
    cmd.target_system = sysid;
    cmd.target_component = compid;
    cmd.command = m::MAV_CMD_SET_MESSAGE_INTERVAL;
    cmd.confirmation = 0;
    cmd.param1 = static_cast<float>(s.msgid);
    cmd.param2 = static_cast<float>(interval_us(s.rate_hz));
    autopilot_->send(cmd);
  }
}

void Bridge::side_tick() {
  MqttUplink* mqtt = utm_->mqtt();
  if (mqtt == nullptr) return;
  const double now = env_.clock->monotonic();
  if (config_.params_seconds > 0) params_->tick(now);
  // Everything queued now, and whatever arrives while draining, is handled in this turn.
  while (std::optional<std::string> envelope = mqtt->take_command()) route_envelope(*envelope);
  executor_->tick(now);
  readiness_->tick(now);
  send_hello_if_due(now);
}

void Bridge::route_envelope(std::string_view envelope) {
  // Each envelope goes to exactly one module: the first that claims it, else the executor.
  if (readiness_->handles(envelope)) {
    readiness_->on_envelope(envelope);
    return;
  }
  executor_->on_envelope(envelope);
}

void Bridge::send_hello_if_due(double now) {
  const MqttUplink* mqtt = std::as_const(*utm_).mqtt();
  const bool reconnected = mqtt->connected_count() != hello_connection_;
  const bool due = reconnected || now - hello_at_ > HELLO_SECONDS;
  if (!executor_->state().sysid || !due) return;

  Json hello = executor_->hello();
  const Json readiness = readiness_->hello();
  for (const auto& [key, value] : readiness.as_object()) hello.set(key, value);
  hello.set("key_id", verifier_->key_id());
  hello.set("version", version_);
  if (utm_->publish_side("cmdack", to_json(hello))) {
    hello_at_ = now;
    hello_connection_ = mqtt->connected_count();
  }
}

void Bridge::answer(const Json& message) {
  utm_->publish_side("cmdack", to_json(message));
}

}  // namespace orvel::bridge
