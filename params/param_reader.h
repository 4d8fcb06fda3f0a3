#pragma once
// The parameter reader: keeps the platform's copy of the autopilot's parameters.
//
// It reads every parameter with one PARAM_REQUEST_LIST, re-asks by index for those that did not
// arrive, and publishes the whole set as one zlib-compressed JSON snapshot on the "params" side
// channel. The full read repeats every `interval_s`; between reads, a parameter that changes
// (a ground station sets one) leads to a fresh snapshot once the changes have stopped for
// CHANGE_DEBOUNCE_SECONDS.
//
//   ParamReader params(link, [&](std::string_view b) { return uplink.publish_side("params", b); });
//   params.on_heartbeat(msg);     // vehicle HEARTBEATs
//   params.on_param_value(msg);   // PARAM_VALUE
//   params.tick(now);             // every turn of the loop
//
// Everything the autopilot link delivers may be hostile: names, counts, indices and values are
// taken as they come, but nothing crashes and memory stays bounded (at most INDEX_LIMIT indices
// and MAX_NAMES names are kept).

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "mavlink/link.h"
#include "mavlink/message.h"
#include "mavlink/messages.h"
#include "support/clock.h"
#include "support/json.h"
#include "support/log.h"

namespace orvel::params {

// Silence after which a full read stops waiting for values.
inline constexpr double QUIET_SECONDS = 3.0;
// Delay after the latest change before a change snapshot is published.
inline constexpr double CHANGE_DEBOUNCE_SECONDS = 2.0;
// Re-read rounds per full read.
inline constexpr int MAX_RETRY_ROUNDS = 3;
// Most parameter indices asked for in one re-read round.
inline constexpr std::size_t REREAD_BATCH = 200;
// A PARAM_VALUE with param_index at or above this is not part of the indexed set (65535 is
// MAVLink's "index unknown").
inline constexpr uint32_t INDEX_LIMIT = 65535;
// Distinct names kept in by_name. No autopilot comes near it; it only stops a peer that invents
// names from growing memory without end.
inline constexpr std::size_t MAX_NAMES = 65535;

// Parameter types whose value is an integer.
inline constexpr std::array<uint8_t, 6> INT_TYPES = {
    mavlink::MAV_PARAM_TYPE_UINT8, mavlink::MAV_PARAM_TYPE_INT8,   mavlink::MAV_PARAM_TYPE_UINT16,
    mavlink::MAV_PARAM_TYPE_INT16, mavlink::MAV_PARAM_TYPE_UINT32, mavlink::MAV_PARAM_TYPE_INT32};

// Autopilot family by HEARTBEAT `autopilot`; any other value is "generic".
struct AutopilotFamily {
  uint8_t autopilot;
  std::string_view name;
};
inline constexpr std::array<AutopilotFamily, 2> AUTOPILOTS = {{
    {mavlink::MAV_AUTOPILOT_PX4, "px4"},
    {mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA, "ardupilot"},
}};

// The float `param_value` of a PARAM_VALUE as stored: null (absent), an integer or a real.
// - Not an integer type: a real rounded to 6 digits after the point, correctly rounded from the
//   exact value (as python's round(x, 6)). Not-a-number and the infinities give null: an
//   infinity would have to be written as Infinity, which strict JSON readers refuse, and the
//   whole snapshot would be lost to them for one bad value.
// - Integer type on "px4": the float's four bytes read as a signed 32-bit integer (PX4 puts the
//   integer's bytes into the float field).
// - Integer type otherwise: truncated toward zero, exact at any size; null when the value is
//   not a number or infinite, as there is no integer to give.
Json decode_value(float value, uint8_t param_type, std::string_view autopilot);

// A parameter name from the raw bytes of `param_id` (16 bytes, NUL-terminated only when
// shorter): bytes outside ASCII dropped, cut at the first NUL, white space stripped from both
// ends.
std::string param_name(std::string_view raw);

// "major.minor.patch" from AUTOPILOT_VERSION flight_sw_version; the lowest byte (release type)
// is not shown.
std::string firmware_from_version(uint32_t sw);

// A snapshot of the index limit's worth of parameters stays far below this.
inline constexpr std::size_t MAX_SNAPSHOT_TEXT_BYTES = 64u << 20;

// The snapshot as sent: compact JSON ("," and ":", ASCII only), compressed as a zlib stream at
// level 6.
std::string encode_snapshot(const Json& snapshot);

// The inverse, for whoever reads snapshots (tools, the demo platform, tests): nullopt when the
// bytes are not a zlib stream of JSON, or would inflate beyond `max_bytes`.
std::optional<Json> decode_snapshot(std::string_view bytes,
                                    std::size_t max_bytes = MAX_SNAPSHOT_TEXT_BYTES);

class ParamReader {
 public:
  struct Target {
    uint8_t sysid = 0;
    uint8_t compid = 0;
    bool operator==(const Target&) const = default;
  };
  // What a full read has received, by index.
  using IndexedValues = std::map<uint16_t, std::pair<std::string, Json>>;

  // `publish` hands a snapshot to the uplink; its result is not used (a lost snapshot is made
  // good by the next change or full read).
  ParamReader(mavlink::Sender& mav, std::function<bool(std::string_view bytes)> publish,
              double interval_s = 600, const Clock& clock = SystemClock::instance(),
              LogSink* log_sink = &StderrSink::instance());
  ParamReader(const ParamReader&) = delete;
  ParamReader& operator=(const ParamReader&) = delete;

  // A vehicle's HEARTBEAT. The first one fixes the autopilot (target and family) for the run
  // and asks once for AUTOPILOT_VERSION.
  void on_heartbeat(const mavlink::Message& msg);
  // AUTOPILOT_VERSION from the target component.
  void on_autopilot_version(const mavlink::Message& msg);
  // PARAM_VALUE from the target component; others are ignored. `now` defaults to the clock.
  void on_param_value(const mavlink::Message& msg, std::optional<double> now = std::nullopt);
  // Starts, re-reads and finishes full reads and publishes change snapshots when due.
  void tick(std::optional<double> now = std::nullopt);

  // Steps of tick, public for tests and for the core's inspection.
  void request_all(double now);
  void finish(bool complete);
  // The snapshot object at the moment of the call.
  Json snapshot(bool complete) const;

  double interval_s() const { return interval_s_; }
  const std::optional<Target>& target() const { return target_; }
  const std::string& autopilot() const { return autopilot_; }
  const std::string& firmware() const { return firmware_; }
  const IndexedValues& values() const { return values_; }
  // Latest value of every name ever received, in first-seen order; never emptied.
  const JsonObject& by_name() const { return by_name_; }
  const std::optional<uint32_t>& count() const { return count_; }
  bool reading() const { return reading_; }
  int retry_rounds() const { return retry_rounds_; }
  double last_value_at() const { return last_value_at_; }
  double requested_at() const { return requested_at_; }
  const std::optional<double>& dirty_at() const { return dirty_at_; }
  // Snapshots handed to `publish`, whether or not the uplink took them.
  int published() const { return published_; }
  bool version_requested() const { return version_requested_; }

 private:
  bool from_target(const mavlink::Message& msg) const;
  void publish_snapshot(const Json& snapshot);

  mavlink::Sender& mav_;
  std::function<bool(std::string_view)> publish_;
  double interval_s_;
  const Clock& clock_;
  Logger log_;

  std::optional<Target> target_;
  std::string autopilot_ = "generic";
  std::string firmware_;
  IndexedValues values_;
  JsonObject by_name_;
  std::optional<uint32_t> count_;
  bool reading_ = false;
  int retry_rounds_ = 0;
  double last_value_at_ = 0.0;
  double requested_at_ = 0.0;  // 0.0: never
  std::optional<double> dirty_at_;
  int published_ = 0;
  bool version_requested_ = false;
};

}  // namespace orvel::params
