#pragma once
// Readiness checks: the platform asks, with a signed "checks.run" envelope, whether the drone
// could fly now, and gets one report of what the agent hears from the autopilot:
//
//   link     a vehicle HEARTBEAT within the last LINK_TIMEOUT_S seconds
//   gps      GPS_RAW_INT with at least a 3D fix and MIN_SATELLITES satellites
//   battery  SYS_STATUS battery_remaining of at least MIN_BATTERY_PERCENT
//   home     a HOME_POSITION received
//
// Answers, on the "cmdack" channel like every module's:
//   {"v": 1, "type": "checks", "id", "sysid", "stage": "report", "ready", "checks": [
//      {"name", "ok", "detail"}, ...]}              in the order above; "ready" = all ok
//   {"v": 1, "type": "checks", "id", "sysid", "stage": "failed", "code", "detail"}
// "sysid" is the tracked vehicle's system id, or null before its first HEARTBEAT. A report
// carries the body's "id" as received ("" when the body has none); a refusal carries its text
// form, because a refused body may hold anything: a text as is, null, false, 0, 0.0, "", [] and
// {} as "", any other value as its JSON text (7 as "7").
//
// Refusals: every code of the shared Verifier (a kind other than "checks.run", such as
// "checks.x", is its "bad_envelope" "Unknown command."), then "checks_off" while checks are not
// allowed. The signature is checked before the switch, so an unsigned envelope learns nothing
// about this drone but that it was refused. A payload that is not an object with an object body
// is dropped without an answer, as the other modules do.
//
// Unlike the core's other modules this one is built without the MAVLink sender: it only
// listens, and never sends to the autopilot.
//
// Main thread only; no locks. Nothing thrown by the outside (answer, own_keys, the verifier)
// leaves the module: it is logged and the envelope dropped.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "bridge/module.h"
#include "commands/verifier.h"
#include "mavlink/link.h"
#include "mavlink/message.h"
#include "support/clock.h"
#include "support/json.h"
#include "support/log.h"

namespace orvel::bridge {

// The envelope kinds this module claims all begin with this; only CHECK_KINDS are carried out.
inline constexpr std::string_view CHECKS_PREFIX = "checks.";
inline constexpr std::array<std::string_view, 1> CHECK_KINDS = {"checks.run"};

// A vehicle that sends HEARTBEAT at 1 Hz has missed three when this runs out.
inline constexpr double LINK_TIMEOUT_S = 3.0;
inline constexpr int MIN_SATELLITES = 6;
inline constexpr int MIN_BATTERY_PERCENT = 20;

class Readiness final : public RequestModule {
 public:
  // `verifier` is the instance shared by all modules (one replay memory); it and `clock` must
  // outlive the module. `own_keys` gives the vehicle keys envelopes may name; when empty, only
  // "edge_bridge:" + device_id. `clock` is the monotonic clock that link ages are measured on;
  // wall time for envelope lifetimes is the verifier's own.
  // `mav` is taken like every module's, though the checks only listen.
  Readiness(mavlink::Sender& mav, Answer answer, commands::Verifier& verifier,
            std::string device_id, bool allow_checks,
            std::function<std::set<std::string>()> own_keys,
            const Clock& clock = SystemClock::instance(),
            LogSink* log_sink = &StderrSink::instance());

  // True exactly for an object whose "body" is an object whose "kind" is text beginning with
  // CHECKS_PREFIX.
  bool handles(std::string_view envelope) override;
  void on_envelope(std::string_view envelope) override;
  // Nothing runs on a timer: the state is read when a report is asked for.
  void tick(double now) override;
  void on_message(const mavlink::Message& msg) override;
  // {"checks": allow_checks}
  Json hello() override;

 private:
  void _handle(const Json& envelope, const std::string& refusal_id);
  // {"checks": [...], "ready": ...} members, from the state as it is now.
  Json _checks() const;
  Json _reply(const Json& id, std::string_view stage) const;

  Answer answer_;
  commands::Verifier* verifier_;
  std::string device_id_;
  bool allow_checks_;
  std::function<std::set<std::string>()> own_keys_;
  const Clock* clock_;
  Logger log_;

  // The vehicle is the sender (system and component) of the first vehicle HEARTBEAT; the
  // readings below come from it alone, so a second vehicle or a peripheral on the same system
  // cannot make this one look ready.
  std::optional<std::uint8_t> sysid_;
  std::uint8_t compid_ = 0;
  std::optional<double> heartbeat_at_;  // monotonic
  struct Gps {
    std::uint8_t fix_type;
    std::uint8_t satellites;  // 255: unknown
  };
  std::optional<Gps> gps_;
  std::optional<int> battery_percent_;  // -1: unknown
  bool home_ = false;
};

}  // namespace orvel::bridge
