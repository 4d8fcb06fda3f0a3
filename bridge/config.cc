#include "bridge/config.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "commands/kinds.h"

namespace orvel::bridge {

namespace {

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

int64_t to_integer(const char* var, const std::string& text) {
  std::string_view s = trim(text);
  std::string_view digits = s;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  bool ok = !digits.empty();
  for (char c : digits) ok = ok && c >= '0' && c <= '9';
  if (!ok) throw ConversionError(std::string(var) + ": not an integer: '" + text + "'");
  errno = 0;
  const long long v = std::strtoll(std::string(s).c_str(), nullptr, 10);
  // Larger values than these could never be meant; refusing beats wrapping round.
  if (errno == ERANGE)
    throw ConversionError(std::string(var) + ": integer out of range: '" + text + "'");
  return v;
}

double to_real(const char* var, const std::string& text) {
  std::string_view s = trim(text);
  size_t i = 0;
  auto digits = [&] {
    size_t start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i - start;
  };
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t mantissa = digits();
  if (i < s.size() && s[i] == '.') {
    ++i;
    mantissa += digits();
  }
  bool ok = mantissa > 0;
  if (ok && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    ok = digits() > 0;
  }
  if (!ok || i != s.size())
    throw ConversionError(std::string(var) + ": not a number: '" + text + "'");
  return std::strtod(std::string(s).c_str(), nullptr);
}

bool to_truth(const std::string& text) {
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "1" || lower == "true" || lower == "on" || lower == "yes";
}

}  // namespace

bool is_device_id(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::vector<std::string> parse_allow(std::string_view value) {
  std::vector<std::string> wanted;
  std::string piece;
  auto take = [&] {
    auto t = trim(piece);
    if (!t.empty()) wanted.emplace_back(t);
    piece.clear();
  };
  for (char c : value) {
    if (c == ',' || c == ';')
      take();
    else
      piece += c;
  }
  take();

  std::vector<std::string> unknown;
  for (const auto& w : wanted)
    if (!commands::is_kind(w) && w != "none" && w != "all") unknown.push_back(w);
  if (!unknown.empty()) {
    std::string msg = "Unknown command(s) in EDGE_ALLOW_COMMANDS: [";
    for (size_t i = 0; i < unknown.size(); ++i) msg += (i ? ", '" : "'") + unknown[i] + "'";
    msg += "]. Known: ";
    for (size_t i = 0; i < commands::KINDS.size(); ++i)
      msg += (i ? ", " : "") + std::string(commands::KINDS[i]);
    throw FatalConfigError(msg);
  }

  std::vector<std::string> chosen;
  const bool all = std::find(wanted.begin(), wanted.end(), "all") != wanted.end();
  if (all)
    for (auto k : commands::KINDS)
      if (k != "velocity") chosen.emplace_back(k);
  const size_t from_all = chosen.size();
  for (const auto& w : wanted) {
    if (!commands::is_kind(w)) continue;
    if (std::find(chosen.begin(), chosen.begin() + static_cast<long>(from_all), w) !=
        chosen.begin() + static_cast<long>(from_all))
      continue;
    chosen.push_back(w);
  }
  return chosen;
}

BridgeConfig BridgeConfig::from_env() {
  return from_env([](const char* name) -> std::optional<std::string> {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return std::string(v);
  });
}

BridgeConfig BridgeConfig::from_env(const Lookup& lookup) {
  BridgeConfig c;
  auto get = [&](const char* name, const std::string& missing) {
    return lookup(name).value_or(missing);
  };
  // The order is fixed: the first bad value in this order is the one reported.
  c.mqtt_username = get("EDGE_MQTT_USERNAME", "");
  c.params_seconds = to_integer("EDGE_PARAMS_SECONDS", get("EDGE_PARAMS_SECONDS", "600"));
  c.allow_commands = parse_allow(get("EDGE_ALLOW_COMMANDS", ""));
  c.command_public_key = get("EDGE_COMMAND_PUBLIC_KEY", "");
  c.server = get("EDGE_SERVER", "");
  c.autopilot = get("EDGE_AUTOPILOT", c.autopilot);
  c.baud = to_integer("EDGE_BAUD", get("EDGE_BAUD", "57600"));
  c.utm = get("EDGE_UTM", c.utm);
  c.resolve_seconds = to_integer("EDGE_RESOLVE_SECONDS", get("EDGE_RESOLVE_SECONDS", "30"));
  c.device_id = get("EDGE_DEVICE_ID", c.mqtt_username);
  c.mqtt_password = get("EDGE_MQTT_PASSWORD", "");
  c.mqtt_ca = get("EDGE_MQTT_CA", "");
  c.mqtt_batch_ms = to_integer("EDGE_MQTT_BATCH_MS", get("EDGE_MQTT_BATCH_MS", "100"));
  c.upload_token = get("EDGE_UPLOAD_TOKEN", "");
  c.logs_dir = get("EDGE_LOGS_DIR", "");
  c.logs_since = to_real("EDGE_LOGS_SINCE", get("EDGE_LOGS_SINCE", "0"));
  c.logs_state = get("EDGE_LOGS_STATE", "/tmp/orvel-edge-logs-sent.json");
  c.share_logs = to_truth(get("EDGE_SHARE_LOGS", ""));
  c.allow_checks = to_truth(get("EDGE_ALLOW_CHECKS", "on"));
  return c;
}

void set_mavlink20_default() {
  setenv("MAVLINK20", "1", /*overwrite=*/0);
}

}  // namespace orvel::bridge
