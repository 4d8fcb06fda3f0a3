#pragma once
// The uplink to Orvel: relayed MAVLink frames out, and with MQTT also the side channels
// (replies, hello messages, parameter snapshots out; signed envelopes in).

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bridge/config.h"
#include "bridge/mqtt_client.h"
#include "mavlink/link.h"
#include "support/clock.h"
#include "support/log.h"

namespace orvel::bridge {

class MqttUplink;

class Uplink {
 public:
  virtual ~Uplink() = default;
  // One complete MAVLink frame, relayed unchanged.
  virtual void write(std::span<const uint8_t> frame) = 0;
  // Periodic work; called on every step of the main loop, so it is cheap when idle.
  virtual void tick() = 0;
  // True when the message was handed over for sending on "utm/" + kind + "/" + device id.
  virtual bool publish_side(std::string_view kind, std::string_view payload) = 0;
  // For the start-up log line.
  virtual std::string describe() const = 0;
  // The MQTT uplink, or nullptr: only it carries side channels.
  virtual MqttUplink* mqtt() { return nullptr; }
  const MqttUplink* mqtt() const { return const_cast<Uplink*>(this)->mqtt(); }
};

// Opens a MAVLink connection: endpoint text, serial speed, own system id, own component id.
using LinkFactory = std::function<std::unique_ptr<mavlink::Link>(
    std::string_view endpoint, int baud, uint8_t sysid, uint8_t compid)>;

// Relays frames to any MAVLink endpoint, normally "udpout:HOST:PORT", one datagram per frame.
class UdpUplink final : public Uplink {
 public:
  // Throws when the first connection cannot be made (mavlink::LinkError for a bad endpoint or
  // a host name that does not resolve). An empty factory means mavlink::open_link.
  UdpUplink(const BridgeConfig& config, const Clock& clock, LogSink* log_sink,
            LinkFactory open_link = {});

  void write(std::span<const uint8_t> frame) override;
  // Re-creates the connection once it is older than resolve_seconds, so a changed address of
  // the platform's gateway is picked up without a restart. When that fails (the name does not
  // resolve at the moment), the previous connection stays, a warning is logged and the next
  // try comes one interval later.
  void tick() override;
  bool publish_side(std::string_view, std::string_view) override { return false; }
  std::string describe() const override { return utm_; }

  static constexpr uint8_t COMPONENT_ID = 191;  // MAV_COMP_ID_ONBOARD_COMPUTER
  static constexpr int SERIAL_BAUD = 115200;    // only for a serial-line uplink
  static constexpr double SEND_WARNING_INTERVAL_S = 30.0;

 private:
  std::unique_ptr<mavlink::Link> open() const;

  std::string utm_;
  uint8_t sysid_;
  double resolve_seconds_;
  const Clock& clock_;
  Logger log_;
  LinkFactory open_link_;
  std::unique_ptr<mavlink::Link> conn_;
  double connected_at_;
  std::optional<double> send_warned_at_;
};

// Envelopes from the platform on their way from the network thread to the main thread.
// Neither side ever waits.
class EnvelopeQueue {
 public:
  explicit EnvelopeQueue(size_t capacity) : capacity_(capacity) {}
  // False when full; the envelope is then not kept.
  bool try_put(std::string envelope);
  std::optional<std::string> try_take();
  size_t size() const;

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<std::string> items_;
};

// Parts of an "mqtt://" or "mqtts://" address.
struct MqttUrl {
  std::string scheme;  // lower-cased
  std::string username;
  std::string password;
  std::string host;  // lower-cased, without the brackets of an IPv6 literal
  std::string port;  // as written; may be empty
};

// The text before the first ":" when it is a valid URL scheme, lower-cased; otherwise "".
std::string url_scheme(std::string_view url);
// Throws FatalConfigError when the brackets of an IPv6 literal do not match.
MqttUrl parse_mqtt_url(std::string_view url);

// Batches telemetry over MQTT and carries the side channels.
class MqttUplink final : public Uplink {
 public:
  // Throws FatalConfigError for a device id the platform does not accept, a port that is not a
  // number from 0 to 65535, or an address without a host name. Returns without waiting for the
  // connection. `on_envelope` (may be empty) runs on the network thread after an envelope was
  // queued, so the main loop can be woken early. An empty factory means PahoMqttClient.
  MqttUplink(const BridgeConfig& config, const Clock& clock, LogSink* log_sink,
             MqttClientFactory make_client = {}, std::function<void()> on_envelope = {});
  // Ends the client first: its callbacks use this object.
  ~MqttUplink() override;
  MqttUplink(const MqttUplink&) = delete;
  MqttUplink& operator=(const MqttUplink&) = delete;

  void write(std::span<const uint8_t> frame) override;
  void tick() override;
  // Any thread. False while disconnected: side-channel messages are not kept for later.
  bool publish_side(std::string_view kind, std::string_view payload) override;
  std::string describe() const override;
  MqttUplink* mqtt() override { return this; }
  using Uplink::mqtt;

  // The next envelope from the platform, without waiting. Main thread.
  std::optional<std::string> take_command() { return commands_.try_take(); }
  // Envelopes larger than this are dropped on arrival.
  static constexpr size_t MAX_ENVELOPE_BYTES = 64 * 1024;
  size_t queued_commands() const { return commands_.size(); }
  // Telemetry batches thrown away because they could not be published. Main thread.
  int64_t dropped() const { return dropped_; }
  // Successful connections so far; grows by one on every reconnection. Any thread.
  int64_t connected_count() const { return connected_count_.load(); }

  const std::string& topic() const { return topic_; }
  const std::string& scheme() const { return scheme_; }
  const std::string& host() const { return host_; }
  int port() const { return port_; }

  static constexpr size_t COMMAND_QUEUE_SIZE = 20;
  static constexpr int TELEMETRY_QOS = 0;
  static constexpr int SIDE_QOS = 1;
  static constexpr int COMMAND_QOS = 1;
  // A batch is sent early when it reaches this size, so that a long batch interval cannot make
  // the buffer grow without limit.
  static constexpr size_t MAX_BATCH_BYTES = 256 * 1024;

 private:
  void flush();
  void on_connected(const std::string& cause);
  void on_connect_failed(const std::string& reason);
  void on_connection_lost(const std::string& cause);
  void on_message(std::string payload);

  Logger log_;
  const Clock& clock_;
  std::string topic_;
  std::string device_id_;
  std::string command_topic_;
  EnvelopeQueue commands_;
  double batch_seconds_;
  std::string buffer_;
  double flushed_at_;
  int64_t dropped_ = 0;
  std::string host_;
  int port_ = 0;
  std::string scheme_;
  std::function<void()> on_envelope_;
  std::atomic<int64_t> connected_count_{0};
  std::unique_ptr<MqttClient> client_;
};

// "mqtt" and "mqtts" addresses (in any case) make an MqttUplink, anything else a UdpUplink.
// `on_envelope` runs on the MQTT network thread after an envelope was queued; the factories
// replace the real MQTT client and MAVLink connection (empty: PahoMqttClient, open_link).
std::unique_ptr<Uplink> make_uplink(const BridgeConfig& config, const Clock& clock,
                                    LogSink* log_sink, std::function<void()> on_envelope = {},
                                    MqttClientFactory make_client = {}, LinkFactory open_link = {});

}  // namespace orvel::bridge
