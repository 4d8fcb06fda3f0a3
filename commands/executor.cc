#include "commands/executor.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>

#include "commands/plans.h"
#include "commands/rejected.h"
#include "mavlink/messages.h"

namespace orvel::commands {

namespace m = mavlink;

namespace {

constexpr double PI = 3.14159265358979323846;
// Clock readings are sums of rounded reals: a period met up to rounding counts as met, so a
// loop that turns every 0.1 s streams a setpoint on every turn.
constexpr double CLOCK_SLACK_S = 1e-6;
// Longest request id written into a log line, in characters.
constexpr std::size_t MAX_LOG_ID_CHARS = 200;

bool elapsed(double seconds, double period) {
  return seconds >= period - CLOCK_SLACK_S;
}

}  // namespace

std::string id_for_log(const Json& id) {
  std::string text = id.is_string() ? id.as_string() : to_json(id);
  const bool has_control = std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
  if (has_control) text = json_string(text);
  std::string cut = first_characters(text, MAX_LOG_ID_CHARS);
  if (cut.size() < text.size()) cut += "...";
  return cut;
}

namespace {

// MAVLink floats: a finite double beyond the float range would be undefined to convert.
float to_float(double x) {
  if (std::isfinite(x)) x = std::clamp(x, double{-FLT_MAX}, double{FLT_MAX});
  return static_cast<float>(x);
}

// COMMAND_INT coordinates. Plans keep them within range; a conversion of anything else must
// still not be undefined.
int32_t to_int32(double x) {
  if (std::isnan(x)) return 0;
  if (x <= double{std::numeric_limits<int32_t>::min()}) return std::numeric_limits<int32_t>::min();
  if (x >= double{std::numeric_limits<int32_t>::max()}) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(x);
}

double number_in(const Json& object, std::string_view name) {
  const Json* member = object.find(name);
  return member != nullptr && member->is_number() ? member->as_double() : 0.0;
}

std::string result_code(uint8_t result) {
  switch (result) {
    case m::MAV_RESULT_DENIED:
      return "denied";
    case m::MAV_RESULT_TEMPORARILY_REJECTED:
      return "temporarily_rejected";
    case m::MAV_RESULT_UNSUPPORTED:
      return "unsupported";
    case m::MAV_RESULT_FAILED:
      return "failed";
    default:
      return "result_" + std::to_string(result);
  }
}

}  // namespace

double execute_timeout_s(std::string_view kind) {
  double shortest = EXECUTE_TIMEOUT_S.front().seconds;
  for (const auto& limit : EXECUTE_TIMEOUT_S) {
    if (limit.kind == kind) return limit.seconds;
    shortest = std::min(shortest, limit.seconds);
  }
  return shortest;
}

std::string first_characters(std::string_view utf8, std::size_t n) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    // Continuation bytes (10xxxxxx) belong to the character before them.
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) continue;
    if (characters == n) return std::string(utf8.substr(0, i));
    ++characters;
  }
  return std::string(utf8);
}

CommandExecutor::CommandExecutor(mavlink::Sender& mav, Answer answer,
                                 std::vector<std::string> allow, Verifier& verifier,
                                 std::string device_id, FetchKey fetch_key, const Clock& clock,
                                 LogSink* log_sink)
    : mav_(mav),
      answer_(std::move(answer)),
      verifier_(verifier),
      device_id_(std::move(device_id)),
      fetch_key_(std::move(fetch_key)),
      clock_(clock),
      log_("commands", log_sink) {
  for (std::string& kind : allow)
    if (is_kind(kind)) allow_.push_back(std::move(kind));
}

std::set<std::string> CommandExecutor::own_keys() const {
  std::set<std::string> keys = {"edge_bridge:" + device_id_};
  if (state_.sysid) keys.insert("mavlink:" + std::to_string(*state_.sysid));
  return keys;
}

Json CommandExecutor::hello() const {
  Json allow = Json::array();
  for (const std::string& kind : allow_) allow.push_back(kind);
  return Json::object({{"v", 1},
                       {"type", "hello"},
                       {"sysid", state_.sysid ? Json(*state_.sysid) : Json()},
                       {"allow", std::move(allow)},
                       {"key_id", ""},
                       {"version", ""}});
}

std::string CommandExecutor::counts_text() const {
  return strf("{'received': %lld, 'rejected': %lld, 'executed': %lld, 'failed': %lld}",
              static_cast<long long>(counts_.received), static_cast<long long>(counts_.rejected),
              static_cast<long long>(counts_.executed), static_cast<long long>(counts_.failed));
}

void CommandExecutor::reply(const Json& command_id, std::string_view stage, std::string_view code,
                            std::string_view detail) {
  if (stage == "received") counts_.received += 1;
  if (stage == "rejected") counts_.rejected += 1;
  if (stage == "executed") counts_.executed += 1;
  if (stage == "failed") counts_.failed += 1;
  if (!answer_) return;
  answer_(Json::object({{"v", 1},
                        {"type", "ack"},
                        {"id", command_id},
                        {"sysid", state_.sysid ? Json(*state_.sysid) : Json()},
                        {"stage", stage},
                        {"code", code},
                        {"detail", first_characters(detail, MAX_DETAIL_CHARS)}}));
}

void CommandExecutor::refuse(const Json& command_id, std::string_view code,
                             std::string_view detail) {
  log_.warning("Command %s refused: %s", id_for_log(command_id).c_str(),
               std::string(detail).c_str());
  reply(command_id, "rejected", code, detail);
}

void CommandExecutor::on_envelope(std::string_view raw, std::optional<double> wall_now) {
  const std::optional<Json> envelope = parse_json(raw);
  if (!envelope || !envelope->is_object()) return;
  const Json no_body = Json::object();
  const Json* body = envelope->find("body");
  if (body == nullptr || is_falsy(*body))
    body = &no_body;
  else if (!body->is_object())
    return;
  // Refusals answer with the id's text form, "" when it is missing or empty; the platform
  // matches them by that text. Later answers carry the id as it was sent.
  const Json* sent_id = body->find("id");
  const Json command_id =
      sent_id == nullptr || is_falsy(*sent_id) ? Json("") : Json(text_form(*sent_id));

  refresh_key_if_rotated(body->find("kid"));

  Json verified;
  Plan planned;
  try {
    verified = verifier_.verify(*envelope, own_keys(), wall_now);
    planned = admit(verified);
  } catch (const Rejected& refusal) {
    refuse(command_id, refusal.code(), refusal.detail());
    return;
  } catch (const JsonError& error) {
    // Neither the Verifier nor the plans should read a member of the wrong kind; if one ever
    // does, the platform still hears of it and the loop goes on.
    log_.error("Command %s could not be read: %s", id_for_log(command_id).c_str(), error.what());
    refuse(command_id, "bad_envelope", "The command is malformed.");
    return;
  } catch (const std::logic_error& error) {
    log_.error("Command %s could not be planned: %s", id_for_log(command_id).c_str(), error.what());
    refuse(command_id, "bad_envelope", "The command is malformed.");
    return;
  }
  start(verified, std::move(planned));
}

Plan CommandExecutor::admit(const Json& body) {
  // Without an id no answer could be matched to the command, so it is not flown.
  const Json* id = body.find("id");
  if (id == nullptr || id->is_null() || (id->is_string() && id->as_string().empty()))
    throw Rejected("bad_envelope", "The command has no id.");
  const std::string& kind = body.at("kind").as_string();  // the Verifier admitted a kind
  if (std::find(allow_.begin(), allow_.end(), kind) == allow_.end())
    throw Rejected("not_allowed",
                   "This drone does not allow '" + kind + "' (EDGE_ALLOW_COMMANDS).");
  if (!state_.sysid) throw Rejected("no_autopilot", "No autopilot connected to the agent.");
  const Json* args = body.find("args");
  const Json no_args = Json::object();
  return plan(kind, args != nullptr && !is_falsy(*args) ? *args : no_args, state_);
}

void CommandExecutor::start(const Json& body, Plan planned) {
  const Json& id = body.at("id");
  const std::string& kind = body.at("kind").as_string();
  if (job_) {
    const Json replaced = job_->id;
    job_.reset();  // none of its remaining steps goes out
    reply(replaced, "failed", "superseded", "Replaced by a newer command (" + kind + ").");
  }
  job_.emplace();
  job_->id = id;
  job_->kind = kind;
  job_->steps = std::move(planned.steps);
  job_->started = clock_.monotonic();
  job_->target = std::move(planned.target);
  log_.info("Command %s: %s", id_for_log(id).c_str(), kind.c_str());
  reply(id, "received", "", "Verified on the drone; sending " + kind + " to the autopilot");
}

void CommandExecutor::refresh_key_if_rotated(const Json* kid) {
  // Only a text kid can name a key; the kid is not verified yet, so the time limit bounds how
  // often envelopes can make the agent ask the platform.
  if (!fetch_key_ || allow_.empty() || kid == nullptr || !kid->is_string()) return;
  const std::string& wanted = kid->as_string();
  if (wanted.empty() || wanted == verifier_.key_id()) return;
  const double now = clock_.monotonic();
  if (!elapsed(now - key_fetched_at_, KEY_REFRESH_SECONDS)) return;
  key_fetched_at_ = now;  // before the fetch: a failed one waits its turn too

  std::pair<std::string, std::string> fetched;
  try {
    fetched = fetch_key_();
  } catch (const std::exception& error) {
    log_.warning("Could not fetch the command key from Orvel: %s", error.what());
    return;
  }
  const auto& [key, key_id] = fetched;
  if (key.empty() || key_id.empty() || key_id == verifier_.key_id()) return;
  try {
    verifier_.set_key(key, key_id);
  } catch (const std::invalid_argument& error) {
    // set_key keeps the old key on failure: envelopes signed with it still verify.
    log_.warning("The command key %s from Orvel cannot be used (%s); keeping key %s",
                 key_id.c_str(), error.what(), verifier_.key_id().c_str());
    return;
  }
  log_.info("Platform command key changed: now %s", key_id.c_str());
}

void CommandExecutor::on_message(const mavlink::Message& msg) {
  if (const auto hb = msg.as<m::Heartbeat>()) {
    // A ground station or another companion computer must never become the vehicle.
    if (hb->type != m::MAV_TYPE_GCS && hb->type != m::MAV_TYPE_ONBOARD_CONTROLLER)
      state_.on_heartbeat(msg);
  } else if (msg.id == m::GlobalPositionInt::ID) {
    state_.on_position(msg);
  } else if (const auto ack = msg.as<m::CommandAck>()) {
    // Matched by command number only, from any sender.
    if (job_ && !job_->steps.empty() && ack->command == job_->steps.front().command)
      on_ack(ack->result);
  }
}

void CommandExecutor::on_ack(uint8_t result) {
  if (result == m::MAV_RESULT_IN_PROGRESS) return;  // the resend timer keeps running
  Job& job = *job_;
  const uint16_t command = job.steps.front().command;
  job.steps.erase(job.steps.begin());
  if (result != m::MAV_RESULT_ACCEPTED) {
    // No retry and no undo: a refused climb leaves the vehicle armed on the ground.
    const std::string code = result_code(result);
    finish("failed", code,
           "The autopilot refused command " + std::to_string(command) + " (" + code + ").");
    return;
  }
  if (job.steps.empty() && !job.accepted) {
    job.accepted = true;
    reply(job.id, "accepted", "", "Accepted by the autopilot");
  }
}

void CommandExecutor::finish(std::string_view stage, std::string_view code,
                             std::string_view detail) {
  const Json id = job_->id;
  job_.reset();
  reply(id, stage, code, detail);
}

void CommandExecutor::tick(std::optional<double> now) {
  if (!job_) return;
  const double t = now ? *now : clock_.monotonic();
  Job& job = *job_;
  if (job.target.contains("velocity") && fly_velocity(job, t)) return;

  if (!job.steps.empty()) {
    Step& step = job.steps.front();
    if (step.attempts > 0 && !elapsed(t - step.sent_at, ACK_TIMEOUT_S)) return;
    if (step.attempts >= ACK_RETRIES) {
      finish("failed", "no_ack", "The autopilot did not acknowledge the command.");
      return;
    }
    send(step);
    step.attempts += 1;
    step.sent_at = t;
    return;
  }

  const std::string kind = job.kind;
  if (reached(job.target, state_)) {
    finish("executed", "", kind + " confirmed by the autopilot's state");
  } else if (t - job.started > execute_timeout_s(kind)) {
    finish("failed", "not_executed",
           "Accepted, but the autopilot did not complete " + kind +
               " in time (the pilot may have taken over).");
  }
}

bool CommandExecutor::fly_velocity(Job& job, double now) {
  const Json& velocity = job.target.at("velocity");  // not used once the target changes
  if (elapsed(now - job.started, number_in(velocity, "seconds"))) {
    // From here on an ordinary mode job; a switch still waiting for its ACK is dropped.
    job.target = Json::object({{"mode", "hold"}});
    job.steps = {set_mode_step(state_, "hold")};
    return false;
  }
  if (elapsed(now - job.setpoint_at, SETPOINT_PERIOD_S)) {
    job.setpoint_at = now;
    m::SetPositionTargetLocalNed setpoint;
    setpoint.time_boot_ms = 0;
    setpoint.target_system = static_cast<uint8_t>(state_.sysid.value_or(0));
    setpoint.target_component = static_cast<uint8_t>(state_.compid);
    setpoint.coordinate_frame = m::MAV_FRAME_LOCAL_NED;
    setpoint.type_mask = VELOCITY_ONLY;
    setpoint.vx = to_float(number_in(velocity, "north"));
    setpoint.vy = to_float(number_in(velocity, "east"));
    setpoint.vz = to_float(-number_in(velocity, "up"));  // the frame's z axis points down
    setpoint.yaw_rate = to_float(number_in(velocity, "yaw_rate") * PI / 180.0);
    mav_.send(setpoint);
  }
  return job.steps.empty() || !elapsed(now - job.started, SETPOINT_LEAD_S);
}

void CommandExecutor::send(const Step& step) {
  const auto target_system = static_cast<uint8_t>(state_.sysid.value_or(0));
  const auto target_component = static_cast<uint8_t>(state_.compid);
  if (step.is_int) {
    m::CommandInt cmd;
    cmd.target_system = target_system;
    cmd.target_component = target_component;
    cmd.frame = step.frame;
    cmd.command = step.command;
    cmd.current = 0;
    cmd.autocontinue = 0;
    cmd.param1 = to_float(step.params[0]);
    cmd.param2 = to_float(step.params[1]);
    cmd.param3 = to_float(step.params[2]);
    cmd.param4 = to_float(step.params[3]);
    cmd.x = to_int32(step.params[4]);
    cmd.y = to_int32(step.params[5]);
    cmd.z = to_float(step.params[6]);
    mav_.send(cmd);
    return;
  }
  m::CommandLong cmd;
  cmd.target_system = target_system;
  cmd.target_component = target_component;
  cmd.command = step.command;
  cmd.confirmation = static_cast<uint8_t>(std::clamp(step.attempts, 0, 255));
  cmd.param1 = to_float(step.params[0]);
  cmd.param2 = to_float(step.params[1]);
  cmd.param3 = to_float(step.params[2]);
  cmd.param4 = to_float(step.params[3]);
  cmd.param5 = to_float(step.params[4]);
  cmd.param6 = to_float(step.params[5]);
  cmd.param7 = to_float(step.params[6]);
  mav_.send(cmd);
}

}  // namespace orvel::commands
