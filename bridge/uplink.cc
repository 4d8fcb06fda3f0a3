#include "bridge/uplink.h"

#include <utility>

#include "mavlink/connection.h"

namespace orvel::bridge {

namespace {

bool ascii_alpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool ascii_digit(char c) {
  return c >= '0' && c <= '9';
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Port text to a number; empty text and 0 both mean the scheme's default.
int parse_port(std::string_view text, int fallback) {
  if (text.empty()) return fallback;
  int value = 0;
  for (char c : text) {
    if (!ascii_digit(c) || (value = value * 10 + (c - '0')) > 65535)
      throw FatalConfigError("The port in EDGE_UTM must be a number from 0 to 65535, not '" +
                             std::string(text) + "'");
  }
  return value == 0 ? fallback : value;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Addresses

std::string url_scheme(std::string_view url) {
  const auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 || !ascii_alpha(url[0])) return "";
  const auto scheme = url.substr(0, colon);
  for (char c : scheme)
    if (!ascii_alpha(c) && !ascii_digit(c) && c != '+' && c != '-' && c != '.') return "";
  return ascii_lower(scheme);
}

MqttUrl parse_mqtt_url(std::string_view url) {
  MqttUrl out;
  out.scheme = url_scheme(url);
  std::string_view rest = out.scheme.empty() ? url : url.substr(out.scheme.size() + 1);
  if (!rest.starts_with("//")) return out;  // no authority part, so no host either
  rest.remove_prefix(2);
  const std::string_view netloc = rest.substr(0, rest.find_first_of("/?#"));
  const bool open = netloc.find('[') != std::string_view::npos;
  const bool close = netloc.find(']') != std::string_view::npos;
  // The message leaves the address out: it may hold a password.
  if (open != close) throw FatalConfigError("EDGE_UTM has an IPv6 address with unmatched brackets");

  std::string_view hostinfo = netloc;
  if (const auto at = netloc.rfind('@'); at != std::string_view::npos) {
    const std::string_view userinfo = netloc.substr(0, at);
    hostinfo = netloc.substr(at + 1);
    const auto colon = userinfo.find(':');
    out.username = std::string(userinfo.substr(0, colon));
    if (colon != std::string_view::npos) out.password = std::string(userinfo.substr(colon + 1));
  }
  std::string_view host = hostinfo;
  std::string_view port;
  if (const auto bracket = hostinfo.find('['); bracket != std::string_view::npos) {
    const std::string_view inside = hostinfo.substr(bracket + 1);
    const auto end = inside.find(']');
    host = inside.substr(0, end);
    const std::string_view tail =
        end == std::string_view::npos ? std::string_view() : inside.substr(end + 1);
    if (const auto colon = tail.find(':'); colon != std::string_view::npos)
      port = tail.substr(colon + 1);
  } else if (const auto colon = hostinfo.find(':'); colon != std::string_view::npos) {
    host = hostinfo.substr(0, colon);
    port = hostinfo.substr(colon + 1);
  }
  out.host = ascii_lower(host);
  out.port = std::string(port);
  return out;
}

// ---------------------------------------------------------------------------------------------
// UDP

UdpUplink::UdpUplink(const BridgeConfig& config, const Clock& clock, LogSink* log_sink,
                     LinkFactory open_link)
    : utm_(config.utm),
      sysid_(static_cast<uint8_t>(config.source_system)),
      resolve_seconds_(static_cast<double>(config.resolve_seconds)),
      clock_(clock),
      log_("bridge", log_sink),
      open_link_(std::move(open_link)) {
  if (!open_link_) {
    open_link_ = [](std::string_view endpoint, int baud, uint8_t sysid, uint8_t compid) {
      return mavlink::open_link(endpoint, baud, sysid, compid);
    };
  }
  conn_ = open();
  connected_at_ = clock_.monotonic();
}

std::unique_ptr<mavlink::Link> UdpUplink::open() const {
  auto link = open_link_(utm_, SERIAL_BAUD, sysid_, COMPONENT_ID);
  if (!link) throw mavlink::LinkError("no connection to " + utm_);
  return link;
}

void UdpUplink::write(std::span<const uint8_t> frame) {
  try {
    conn_->write(frame);
  } catch (const std::exception& e) {
    // A lost frame is not worth stopping the agent for, nor a log line per frame.
    const double now = clock_.monotonic();
    if (!send_warned_at_ || now - *send_warned_at_ >= SEND_WARNING_INTERVAL_S) {
      send_warned_at_ = now;
      log_.warning("Could not send to %s (%s)", utm_.c_str(), e.what());
    }
  }
}

void UdpUplink::tick() {
  if (clock_.monotonic() - connected_at_ <= resolve_seconds_) return;
  // The new connection is made before the old one is let go: when the name cannot be looked
  // up right now, the last good address is still better than none.
  try {
    auto fresh = open();
    try {
      conn_->close();
    } catch (const std::exception&) {
      // It is being replaced anyway.
    }
    conn_ = std::move(fresh);
  } catch (const std::exception& e) {
    log_.warning("Could not re-create the uplink to %s (%s); keeping the previous connection",
                 utm_.c_str(), e.what());
  }
  // Also after a failure, so the next try waits a whole interval instead of every step.
  connected_at_ = clock_.monotonic();
}

// ---------------------------------------------------------------------------------------------
// Envelope queue

bool EnvelopeQueue::try_put(std::string envelope) {
  std::lock_guard lock(mutex_);
  if (items_.size() >= capacity_) return false;
  items_.push_back(std::move(envelope));
  return true;
}

std::optional<std::string> EnvelopeQueue::try_take() {
  std::lock_guard lock(mutex_);
  if (items_.empty()) return std::nullopt;
  std::string item = std::move(items_.front());
  items_.pop_front();
  return item;
}

size_t EnvelopeQueue::size() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

// ---------------------------------------------------------------------------------------------
// MQTT

MqttUplink::MqttUplink(const BridgeConfig& config, const Clock& clock, LogSink* log_sink,
                       MqttClientFactory make_client, std::function<void()> on_envelope)
    : log_("bridge", log_sink),
      clock_(clock),
      commands_(COMMAND_QUEUE_SIZE),
      on_envelope_(std::move(on_envelope)) {
  const MqttUrl url = parse_mqtt_url(config.utm);
  if (!is_device_id(config.device_id))
    throw FatalConfigError(
        "EDGE_DEVICE_ID (or EDGE_MQTT_USERNAME) must be 1-64 of A-Z a-z 0-9 _ -");

  topic_ = "utm/mavlink/" + config.device_id;
  device_id_ = config.device_id;
  command_topic_ = "utm/cmd/" + config.device_id;
  batch_seconds_ = static_cast<double>(config.mqtt_batch_ms) / 1000.0;
  flushed_at_ = clock_.monotonic();

  if (url.host.empty())
    throw FatalConfigError(
        "EDGE_UTM names no MQTT broker host; expected mqtt://HOST[:PORT] or "
        "mqtts://HOST[:PORT]");
  host_ = url.host;
  port_ = parse_port(url.port, url.scheme == "mqtts" ? 8883 : 1883);
  scheme_ = url.scheme;

  MqttOptions options;
  options.host = host_;
  options.port = port_;
  options.client_id = "edge-" + device_id_;
  options.clean_session = true;
  options.username = !config.mqtt_username.empty() ? config.mqtt_username : url.username;
  options.password = !config.mqtt_password.empty() ? config.mqtt_password : url.password;
  options.tls = scheme_ == "mqtts";
  if (options.tls) options.ca_file = config.mqtt_ca;
  options.keep_alive_s = 30;
  options.min_retry_s = 1;
  options.max_retry_s = 30;

  client_ = make_client ? make_client(options) : std::make_unique<PahoMqttClient>(options);
  if (!client_) throw std::logic_error("the MQTT client factory made no client");
  MqttHandlers handlers;
  handlers.connected = [this](const std::string& cause) { on_connected(cause); };
  handlers.connect_failed = [this](const std::string& reason) { on_connect_failed(reason); };
  handlers.message = [this](std::string payload) { on_message(std::move(payload)); };
  handlers.connection_lost = [this](const std::string& cause) { on_connection_lost(cause); };
  client_->start(std::move(handlers));
}

MqttUplink::~MqttUplink() {
  client_.reset();
}

void MqttUplink::on_connected(const std::string& cause) {
  log_.info("MQTT %s (%s)", "connected", cause.c_str());
  connected_count_.fetch_add(1);
  // The session is clean, so the broker forgot the subscription with the last connection.
  if (!client_->subscribe(command_topic_, COMMAND_QOS))
    log_.warning("Could not subscribe to %s; no commands until the next connection",
                 command_topic_.c_str());
}

void MqttUplink::on_connect_failed(const std::string& reason) {
  log_.info("MQTT %s (%s)", "refused", reason.c_str());
}

void MqttUplink::on_connection_lost(const std::string& cause) {
  log_.warning("MQTT disconnected (%s); reconnecting", cause.c_str());
}

void MqttUplink::on_message(std::string payload) {
  // No request of the platform comes near this size; a larger payload would only cost memory
  // and parsing time on the main loop.
  if (payload.size() > MAX_ENVELOPE_BYTES) {
    log_.warning("Envelope of %zu bytes dropped (the limit is %zu)", payload.size(),
                 MAX_ENVELOPE_BYTES);
    return;
  }
  if (!commands_.try_put(std::move(payload))) {
    log_.warning("Command queue full; command dropped");
    return;
  }
  if (on_envelope_) {
    try {
      on_envelope_();
    } catch (...) {
      // Only a wake-up; the envelope is queued either way.
    }
  }
}

void MqttUplink::write(std::span<const uint8_t> frame) {
  buffer_.append(reinterpret_cast<const char*>(frame.data()), frame.size());
  if (buffer_.size() >= MAX_BATCH_BYTES)
    flush();
  else
    tick();
}

void MqttUplink::tick() {
  if (buffer_.empty()) return;
  if (clock_.monotonic() - flushed_at_ < batch_seconds_) return;
  flush();
}

void MqttUplink::flush() {
  const bool sent = client_->is_connected() && client_->publish(topic_, buffer_, TELEMETRY_QOS);
  if (!sent) ++dropped_;
  buffer_.clear();
  flushed_at_ = clock_.monotonic();
}

bool MqttUplink::publish_side(std::string_view kind, std::string_view payload) {
  if (!client_->is_connected()) return false;
  return client_->publish("utm/" + std::string(kind) + "/" + device_id_, payload, SIDE_QOS);
}

std::string MqttUplink::describe() const {
  return scheme_ + "://" + host_ + ":" + std::to_string(port_) + " " + topic_;
}

// ---------------------------------------------------------------------------------------------

std::unique_ptr<Uplink> make_uplink(const BridgeConfig& config, const Clock& clock,
                                    LogSink* log_sink, std::function<void()> on_envelope,
                                    MqttClientFactory make_client, LinkFactory open_link) {
  const std::string scheme = url_scheme(config.utm);
  if (scheme == "mqtt" || scheme == "mqtts")
    return std::make_unique<MqttUplink>(config, clock, log_sink, std::move(make_client),
                                        std::move(on_envelope));
  return std::make_unique<UdpUplink>(config, clock, log_sink, std::move(open_link));
}

}  // namespace orvel::bridge
