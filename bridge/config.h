#pragma once
// The agent's settings, read once from the environment at start-up and never changed.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/json.h"

namespace orvel::bridge {

// A setting that makes start-up impossible. main() prints its message and exits with status 1.
class FatalConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A number setting that does not read as a number. Ends start-up with an error report.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Device identifiers as the platform allows them in topics and client ids.
bool is_device_id(std::string_view id);
inline constexpr const char* DEVICE_ID = "^[A-Za-z0-9_-]{1,64}$";

// Allow-list text ("land, goto", "all;velocity", "none") to the allowed command kinds.
// Throws FatalConfigError for unknown names.
std::vector<std::string> parse_allow(std::string_view value);

struct BridgeConfig {
  std::string autopilot = "udpin:0.0.0.0:14540";
  int64_t baud = 57600;
  std::string utm = "udpout:telemetry.orvel.io:14550";
  int64_t resolve_seconds = 30;
  int64_t stream_request_seconds = 10;
  int64_t source_system = 245;
  std::string device_id;
  std::string mqtt_username;
  std::string mqtt_password;
  std::string mqtt_ca;
  int64_t mqtt_batch_ms = 100;
  int64_t params_seconds = 600;
  std::vector<std::string> allow_commands;
  std::string command_public_key;
  std::string command_key_id;
  std::string server;
  std::string upload_token;
  std::string logs_dir;
  double logs_since = 0.0;
  std::string logs_state;
  bool share_logs = false;
  bool allow_checks = true;
  Json camera = Json::object();

  // Looks a variable up; nullopt when it is not set at all (set but empty is "").
  using Lookup = std::function<std::optional<std::string>(const char* name)>;

  // Reads the EDGE_* variables of the process environment.
  static BridgeConfig from_env();
  static BridgeConfig from_env(const Lookup& lookup);
};

// Makes the MAVLink layer speak version 2 unless MAVLINK20 is already set, whatever its value.
void set_mavlink20_default();

}  // namespace orvel::bridge
