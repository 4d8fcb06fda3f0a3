#pragma once
// The command executor: flies signed flight commands from the platform.
//
// Every envelope that no other module claims comes here. It is verified with the shared
// Verifier, checked against the kinds this drone allows, planned for the autopilot's family
// and run as a job: the plan's MAVLink commands go out one at a time with acknowledgement and
// resend, a velocity command streams setpoints, and the vehicle state is watched until the
// target is reached or the kind's time limit passes. Each stage is answered through `answer`.
// At most one job runs; a newer verified command replaces it.
//
//   Verifier verifier(key_b64, key_id);           // owned by the core, shared by all modules
//   CommandExecutor exec(link, answer, {"land", "hold"}, verifier, "dev-1", fetch_key);
//   exec.on_envelope(payload);                    // an MQTT payload, any bytes
//   exec.on_message(msg);                         // every message of the autopilot link
//   exec.tick();                                  // every turn of the loop (<= 0.1 s apart)
//   Logbook logbook(..., exec.verifier(), ..., [&exec] { return exec.own_keys(); });
//
// Main thread only; no locks. Envelopes and MAVLink messages may be hostile: they are answered
// or dropped, never allowed to throw out of on_envelope, on_message, tick or hello.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/kinds.h"
#include "commands/plans.h"
#include "commands/vehicle_state.h"
#include "commands/verifier.h"
#include "mavlink/link.h"
#include "mavlink/message.h"
#include "support/clock.h"
#include "support/json.h"
#include "support/log.h"

namespace orvel::commands {

// Wait for a COMMAND_ACK before sending a step again.
inline constexpr double ACK_TIMEOUT_S = 1.5;
// Sends of one step before the job fails with "no_ack".
inline constexpr int ACK_RETRIES = 3;
// Interval of velocity setpoints (10 per second).
inline constexpr double SETPOINT_PERIOD_S = 0.1;
// Setpoints streamed before a velocity command's mode switch is first sent: the autopilot
// refuses OFFBOARD/guided velocity control without a live setpoint stream.
inline constexpr double SETPOINT_LEAD_S = 0.3;
// SET_POSITION_TARGET_LOCAL_NED type mask: position, acceleration and yaw ignored; velocity
// and yaw rate used.
inline constexpr uint16_t VELOCITY_ONLY = 1479;
// Least interval between two fetches of the platform's command key.
inline constexpr double KEY_REFRESH_SECONDS = 60.0;
// Longest "detail" of an answer, in characters.
inline constexpr std::size_t MAX_DETAIL_CHARS = 500;

// Longest time from a job's start until its target must be reached, per kind.
struct KindSeconds {
  std::string_view kind;
  double seconds;
};
inline constexpr std::array<KindSeconds, 6> EXECUTE_TIMEOUT_S = {{{"land", 20},
                                                                  {"return_home", 20},
                                                                  {"hold", 20},
                                                                  {"takeoff", 120},
                                                                  {"goto", 600},
                                                                  {"velocity", 30}}};
// The limit of `kind`; jobs only ever have a kind of KINDS, others get the shortest limit.
double execute_timeout_s(std::string_view kind);

// The first `n` characters (code points) of UTF-8 text, never cutting one in half.
std::string first_characters(std::string_view utf8, std::size_t n);

// One command being carried out.
struct Job {
  Json id;                   // the body's "id", as received
  std::string kind;          // the body's "kind"
  std::vector<Step> steps;   // not yet acknowledged; the first is the one being sent
  bool accepted = false;     // "accepted" has been answered
  double started = 0.0;      // monotonic seconds at creation
  Json target;               // the plan's target; the end of a velocity turns it into hold
  double setpoint_at = 0.0;  // monotonic seconds of the last velocity setpoint
};

// Answers by stage, as the core's statistics line shows them.
struct CommandCounts {
  std::int64_t received = 0;
  std::int64_t rejected = 0;
  std::int64_t executed = 0;
  std::int64_t failed = 0;
  bool operator==(const CommandCounts&) const = default;
};

// A request id as a log line shows it. Ids of unverified envelopes may hold anything: control
// characters are escaped so a line break cannot forge a line, and a long id is cut.
std::string id_for_log(const Json& id);

class CommandExecutor {
 public:
  using Answer = std::function<void(const Json&)>;
  // Returns the platform's current (public key, key id); ("", "") when the fetch failed.
  using FetchKey = std::function<std::pair<std::string, std::string>()>;

  // `verifier` is the one the core shares with every module that takes envelopes (one replay
  // memory for all); it is held by reference and must outlive the executor, and verifier()
  // hands the same instance on. `allow` keeps only the entries that are flight-command kinds,
  // in order and with repeats. `fetch_key` is empty when the agent has no platform address.
  // `clock` (monotonic time) and `log_sink` must outlive the executor.
  CommandExecutor(mavlink::Sender& mav, Answer answer, std::vector<std::string> allow,
                  Verifier& verifier, std::string device_id, FetchKey fetch_key = {},
                  const Clock& clock = SystemClock::instance(),
                  LogSink* log_sink = &StderrSink::instance());
  CommandExecutor(const CommandExecutor&) = delete;
  CommandExecutor& operator=(const CommandExecutor&) = delete;

  // Handles one envelope (raw MQTT payload, any bytes). `wall_now` is the wall time for the
  // Verifier, its clock's when absent. Unreadable payloads (not JSON, not an object, a body
  // that is not an object) are dropped without answer; every other envelope is answered
  // "rejected" or starts a job answered "received", replacing a running one. Answers carry
  // the body's "id" as sent ("" when it has none); a verified body whose id is missing, null or
  // "" is refused "bad_envelope", as no answer could be matched to it. A "kid" other than the
  // held key id makes the executor fetch the platform's key first, at most once a minute; a
  // key that cannot be used is logged and the old one stays.
  void on_envelope(std::string_view raw, std::optional<double> wall_now = std::nullopt);
  // One message of the autopilot link: vehicle HEARTBEATs (not those of ground stations or
  // onboard computers), GLOBAL_POSITION_INT and the COMMAND_ACK of the step being sent.
  void on_message(const mavlink::Message& msg);
  // Advances the job: setpoints, sends and resends, time limits, the target. `now` is
  // monotonic seconds, the clock's when absent. Sends at most one command and one setpoint.
  void tick(std::optional<double> now = std::nullopt);

  // The first keys of the hello message: {"v", "type", "sysid", "allow", "key_id", "version"};
  // the core fills in the last two.
  Json hello() const;
  // The vehicle keys an envelope may name: "edge_bridge:" + device id, and "mavlink:" + the
  // system id once a vehicle has been heard.
  std::set<std::string> own_keys() const;

  const VehicleState& state() const { return state_; }
  Verifier& verifier() { return verifier_; }
  const Verifier& verifier() const { return verifier_; }
  const std::vector<std::string>& allow() const { return allow_; }
  const CommandCounts& counts() const { return counts_; }
  // "{'received': 0, 'rejected': 0, 'executed': 0, 'failed': 0}", for the statistics line.
  std::string counts_text() const;
  const std::optional<Job>& job() const { return job_; }
  bool running() const { return job_.has_value(); }

 private:
  void reply(const Json& command_id, std::string_view stage, std::string_view code = "",
             std::string_view detail = "");
  void refuse(const Json& command_id, std::string_view code, std::string_view detail);
  // The plan of a verified body; throws Rejected when it may not run here.
  Plan admit(const Json& body);
  // Replaces the running job, if any, by the job of a verified and planned body.
  void start(const Json& body, Plan planned);
  void refresh_key_if_rotated(const Json* kid);
  void on_ack(uint8_t result);
  // True when the tick ends with the velocity phase.
  bool fly_velocity(Job& job, double now);
  void send(const Step& step);
  // Ends the job with its last answer.
  void finish(std::string_view stage, std::string_view code, std::string_view detail);

  mavlink::Sender& mav_;
  Answer answer_;
  std::vector<std::string> allow_;
  Verifier& verifier_;
  std::string device_id_;
  FetchKey fetch_key_;
  const Clock& clock_;
  Logger log_;
  double key_fetched_at_ = -KEY_REFRESH_SECONDS;
  VehicleState state_;
  std::optional<Job> job_;
  CommandCounts counts_;
};

}  // namespace orvel::commands
