#pragma once
// The few MQTT operations the uplink needs, behind an interface so that tests can put a fake in
// place of the real client.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace orvel::bridge {

struct MqttOptions {
  std::string host;  // a name or an address; IPv6 without brackets
  int port = 1883;
  bool tls = false;
  std::string ca_file;  // TLS only; empty means the system's trust store
  std::string client_id;
  std::string username;
  std::string password;
  bool clean_session = true;
  int keep_alive_s = 30;
  int min_retry_s = 1;
  int max_retry_s = 30;
};

// Called on the client's network thread. They must not block and must not throw.
struct MqttHandlers {
  std::function<void(const std::string& cause)> connected;
  std::function<void(const std::string& cause)> connection_lost;
  std::function<void(std::string payload)> message;
  std::function<void(const std::string& reason)> connect_failed;
};

class MqttClient {
 public:
  virtual ~MqttClient() = default;
  // Installs the handlers and starts connecting in the background; returns at once. The client
  // keeps trying, also when the very first attempt fails, until a connection is made, and
  // reconnects by itself whenever it is lost. Called once.
  virtual void start(MqttHandlers handlers) = 0;
  virtual bool is_connected() const = 0;
  // Both return false instead of throwing when the request cannot be queued (not connected,
  // buffer full). Safe from any thread, also from inside the handlers.
  virtual bool subscribe(const std::string& topic, int qos) = 0;
  virtual bool publish(const std::string& topic, std::string_view payload, int qos) = 0;
};

using MqttClientFactory = std::function<std::unique_ptr<MqttClient>(const MqttOptions&)>;

// MQTT 3.1.1 over the Eclipse Paho asynchronous C client (the library under Paho C++), with
// TLS host-name verification on. The C interface keeps Paho's shared token objects out of our
// code, whose reference counts ThreadSanitizer cannot follow into the uninstrumented library.
class PahoMqttClient final : public MqttClient {
 public:
  // Throws std::runtime_error when the library refuses the address or client id.
  explicit PahoMqttClient(const MqttOptions& options);
  // Stops the network activity; no handler runs once this returns.
  ~PahoMqttClient() override;
  PahoMqttClient(const PahoMqttClient&) = delete;
  PahoMqttClient& operator=(const PahoMqttClient&) = delete;

  // Throws std::runtime_error for arguments the library refuses outright (such as a user name
  // that is not UTF-8); network trouble is never reported this way.
  void start(MqttHandlers handlers) override;
  bool is_connected() const override;
  bool subscribe(const std::string& topic, int qos) override;
  bool publish(const std::string& topic, std::string_view payload, int qos) override;

  // Requests waiting in the client at most; more are refused rather than buffered.
  static constexpr int MAX_BUFFERED_MESSAGES = 1000;

 private:
  // The entry points for the library's network threads.
  struct Callbacks;

  template <class F>
  void guarded(F&& call);

  MqttOptions options_;
  std::string uri_;
  void* handle_ = nullptr;  // MQTTAsync
  // Serialises the handlers and lets the destructor wait for one that is running.
  std::mutex handler_mutex_;
  bool closed_ = false;  // under handler_mutex_
  MqttHandlers handlers_;
  // Its own lock: the TLS error callback may run while the library holds its internal lock,
  // which a handler holding handler_mutex_ may be waiting for.
  std::mutex tls_error_mutex_;
  std::string last_tls_error_;
  // Publishing from several threads at once near the buffer limit loses messages in Paho.
  std::mutex publish_mutex_;
  // The end of a clean disconnect, awaited (briefly) by the destructor.
  std::mutex disconnect_mutex_;
  std::condition_variable disconnect_done_;
  bool disconnected_ = false;
};

// Readable text for a failed connection attempt: CONNACK refusals and the client's own codes.
std::string connect_failure_text(int rc);

}  // namespace orvel::bridge
