#pragma once
// The agent core: owns the configuration, the autopilot link, the uplink and the modules, and
// runs the main loop. Everything here runs on the main thread, except answer(), which module
// worker threads may call too.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "bridge/config.h"
#include "bridge/readiness.h"
#include "bridge/uplink.h"
#include "bridge/vehicle_types.h"
#include "commands/executor.h"
#include "commands/verifier.h"
#include "mavlink/link.h"
#include "mavlink/message.h"
#include "params/param_reader.h"
#include "support/clock.h"
#include "support/http.h"
#include "support/json.h"
#include "support/log.h"

namespace orvel::bridge {

struct BridgeStats {
  int64_t received = 0;    // messages read from the autopilot, not counting unparsable data
  int64_t forwarded = 0;   // messages handed to the uplink
  int64_t dropped = 0;     // messages read but not forwarded
  std::set<int> vehicles;  // system ids that sent a HEARTBEAT of a vehicle type
};

// Message ids and rates of the telemetry streams asked of every vehicle, in request order.
struct StreamRate {
  uint32_t msgid;
  double rate_hz;
};
extern const StreamRate STREAMS_HZ[5];

// Whether a message goes to the platform.
bool should_forward(const mavlink::Message& msg);
// Message interval in whole microseconds for a rate in hertz.
int64_t interval_us(double rate_hz);

// What the core needs from the outside world; tests replace any of it.
struct BridgeEnv {
  const Clock* clock = &SystemClock::instance();
  LogSink* log_sink = &StderrSink::instance();
  // Opens the autopilot link: endpoint, baud, own system id, own component id.
  std::function<std::unique_ptr<mavlink::Link>(std::string_view, int, uint8_t, uint8_t)> open_link;
  // Builds the uplink; the callback it is given must be called when an envelope arrives.
  std::function<std::unique_ptr<Uplink>(const BridgeConfig&, std::function<void()> on_envelope)>
      make_uplink;
  HttpClient* http = nullptr;  // for the command-key fetch; nullptr means a real client
};

class Bridge {
 public:
  static constexpr double HELLO_SECONDS = 60.0;
  static constexpr double STATS_SECONDS = 30.0;
  static constexpr double READ_TIMEOUT_S = 0.1;

  explicit Bridge(BridgeConfig config, BridgeEnv env = {});
  ~Bridge();

  // Logs the start line and runs step() for ever; returns only by an exception.
  [[noreturn]] void run();
  // One turn of the loop.
  void step();
  // Logs the statistics line at most every STATS_SECONDS; run() calls it after each step.
  void maybe_log_stats();
  std::string stats_line() const;

  // Asks one vehicle for the telemetry streams, at most once per stream_request_seconds.
  void request_streams(uint8_t sysid, uint8_t compid);
  // The side-channel turn: envelopes, module ticks, hello.
  void side_tick();
  // Sends a reply to the platform on the "cmdack" channel. Safe from any thread.
  void answer(const Json& message);

  const BridgeConfig& config() const { return config_; }
  const BridgeStats& stats() const { return stats_; }
  Uplink& uplink() { return *utm_; }
  bool side_channels() const { return side_channels_; }
  const std::string& command_key() const { return command_key_; }
  const std::string& command_key_id() const { return command_key_id_; }
  const params::ParamReader& params() const { return *params_; }
  const commands::CommandExecutor& executor() const { return *executor_; }
  const commands::Verifier& verifier() const { return *verifier_; }

 private:
  void route_envelope(std::string_view envelope);
  void send_hello_if_due(double now);

  BridgeConfig config_;
  BridgeEnv env_;
  Logger log_;
  std::string version_;
  BridgeStats stats_;
  std::unique_ptr<HttpClient> own_http_;
  std::unique_ptr<mavlink::Link> autopilot_;
  std::unique_ptr<Uplink> utm_;
  std::map<int, double> last_stream_request_;
  bool side_channels_ = false;
  std::unique_ptr<params::ParamReader> params_;
  std::string command_key_;
  std::string command_key_id_;
  // Shared by every module that takes envelopes, so a nonce used once is refused by all.
  std::unique_ptr<commands::Verifier> verifier_;
  std::unique_ptr<commands::CommandExecutor> executor_;
  std::unique_ptr<Readiness> readiness_;
  double hello_at_ = 0.0;
  int64_t hello_connection_ = 0;
  double last_log_ = 0.0;
};

}  // namespace orvel::bridge
