#include "bridge/mqtt_client.h"

#include <MQTTAsync.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace orvel::bridge {

namespace {

constexpr auto DISCONNECT_WAIT = std::chrono::seconds(2);

std::string server_uri(const MqttOptions& o) {
  const bool ipv6 = o.host.find(':') != std::string::npos;
  return std::string(o.tls ? "ssl://" : "tcp://") + (ipv6 ? "[" + o.host + "]" : o.host) + ":" +
         std::to_string(o.port);
}

// OpenSSL error lines read "<thread>:error:<code>:<library>:<function>:<reason>:<file>:<line>:";
// the reason is what an operator can act on.
std::string tls_reason(std::string_view line) {
  const auto at = line.find("error:");
  if (at != std::string_view::npos) {
    std::vector<std::string_view> fields;
    size_t start = at + 6;
    while (fields.size() < 4) {
      const auto colon = line.find(':', start);
      if (colon == std::string_view::npos) break;
      fields.push_back(line.substr(start, colon - start));
      start = colon + 1;
    }
    if (fields.size() == 4 && !fields[3].empty()) return std::string(fields[3]);
  }
  std::string text(line.substr(0, 200));
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  return text;
}

}  // namespace

std::string connect_failure_text(int rc) {
  switch (rc) {
    // CONNACK return codes of MQTT 3.1.1.
    case 1:
      return "unacceptable protocol version";
    case 2:
      return "client identifier rejected";
    case 3:
      return "server unavailable";
    case 4:
      return "bad user name or password";
    case 5:
      return "not authorised";
    case MQTTASYNC_FAILURE:
      return "connection failed";
    default:
      break;
  }
  const char* text = MQTTAsync_strerror(rc);
  if (text != nullptr && *text != '\0') return text;
  return "error " + std::to_string(rc);
}

struct PahoMqttClient::Callbacks {
  static PahoMqttClient& of(void* context) { return *static_cast<PahoMqttClient*>(context); }

  static void connected(void* context, char* cause) {
    auto& self = of(context);
    self.guarded([&] {
      // The library says "connect onSuccess called" after the first connection and "automatic
      // reconnect" after the others.
      const std::string text = cause == nullptr ? "" : cause;
      const bool first = text.empty() || text == "connect onSuccess called";
      if (self.handlers_.connected)
        self.handlers_.connected(first ? "accepted" : "accepted on " + text);
    });
  }

  static void connection_lost(void* context, char* cause) {
    auto& self = of(context);
    self.guarded([&] {
      if (self.handlers_.connection_lost)
        self.handlers_.connection_lost(cause == nullptr || *cause == '\0' ? "connection lost"
                                                                          : cause);
    });
  }

  static int message(void* context, char* topic, int, MQTTAsync_message* msg) {
    auto& self = of(context);
    if (msg != nullptr && msg->payloadlen >= 0) {
      self.guarded([&] {
        if (!self.handlers_.message) return;
        std::string payload;
        if (msg->payload != nullptr)
          payload.assign(static_cast<const char*>(msg->payload),
                         static_cast<size_t>(msg->payloadlen));
        self.handlers_.message(std::move(payload));
      });
    }
    MQTTAsync_freeMessage(&msg);
    MQTTAsync_free(topic);
    return 1;  // taken; the library must not deliver it again
  }

  // Only the first attempt reports a failure; the library's automatic retries that follow report
  // nothing until one succeeds.
  static void connect_failure(void* context, MQTTAsync_failureData* data) {
    auto& self = of(context);
    self.guarded([&] {
      std::string reason = connect_failure_text(data == nullptr ? MQTTASYNC_FAILURE : data->code);
      {
        std::lock_guard lock(self.tls_error_mutex_);
        if (!self.last_tls_error_.empty()) reason += ": " + self.last_tls_error_;
        self.last_tls_error_.clear();
      }
      if (self.handlers_.connect_failed) self.handlers_.connect_failed(reason);
    });
  }

  // Nothing to do, but without it the library names the first connection an automatic
  // reconnect.
  static void connect_success(void*, MQTTAsync_successData*) {}

  static int tls_error(const char* text, size_t len, void* context) {
    auto& self = of(context);
    try {
      std::string reason =
          tls_reason(std::string_view(text == nullptr ? "" : text, text ? len : 0));
      std::lock_guard lock(self.tls_error_mutex_);
      self.last_tls_error_ = std::move(reason);
    } catch (...) {
      // Only detail for a log line.
    }
    return 0;
  }

  static void disconnect_success(void* context, MQTTAsync_successData*) { disconnected(context); }
  static void disconnect_failure(void* context, MQTTAsync_failureData*) { disconnected(context); }
  static void disconnected(void* context) {
    auto& self = of(context);
    try {
      std::lock_guard lock(self.disconnect_mutex_);
      self.disconnected_ = true;
      self.disconnect_done_.notify_all();
    } catch (...) {
      // The destructor then waits its full time instead.
    }
  }
};

PahoMqttClient::PahoMqttClient(const MqttOptions& options)
    : options_(options), uri_(server_uri(options)) {
  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
  create.MQTTVersion = MQTTVERSION_3_1_1;
  create.maxBufferedMessages = MAX_BUFFERED_MESSAGES;
  MQTTAsync handle = nullptr;
  const int rc = MQTTAsync_createWithOptions(&handle, uri_.c_str(), options_.client_id.c_str(),
                                             MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
  if (rc != MQTTASYNC_SUCCESS)
    throw std::runtime_error("MQTT client cannot be made for " + uri_ + ": " +
                             connect_failure_text(rc));
  handle_ = handle;
}

PahoMqttClient::~PahoMqttClient() {
  {
    std::lock_guard lock(handler_mutex_);
    closed_ = true;
  }
  if (MQTTAsync_isConnected(handle_)) {
    MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
    opts.timeout = 0;
    opts.context = this;
    opts.onSuccess = &Callbacks::disconnect_success;
    opts.onFailure = &Callbacks::disconnect_failure;
    if (MQTTAsync_disconnect(handle_, &opts) == MQTTASYNC_SUCCESS) {
      std::unique_lock lock(disconnect_mutex_);
      disconnect_done_.wait_for(lock, DISCONNECT_WAIT, [this] { return disconnected_; });
    }
  }
  // Destroying the client also ends its retries, which a disconnect does not.
  MQTTAsync handle = handle_;
  MQTTAsync_destroy(&handle);
}

template <class F>
void PahoMqttClient::guarded(F&& call) {
  try {
    std::lock_guard lock(handler_mutex_);
    if (closed_) return;
    call();
  } catch (...) {
    // Nothing may leave a callback into the library's thread.
  }
}

void PahoMqttClient::start(MqttHandlers handlers) {
  {
    std::lock_guard lock(handler_mutex_);
    handlers_ = std::move(handlers);
  }
  int rc = MQTTAsync_setCallbacks(handle_, this, &Callbacks::connection_lost, &Callbacks::message,
                                  nullptr);
  if (rc == MQTTASYNC_SUCCESS) rc = MQTTAsync_setConnected(handle_, this, &Callbacks::connected);
  if (rc != MQTTASYNC_SUCCESS)
    throw std::runtime_error("MQTT client callbacks refused: " + connect_failure_text(rc));

  MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
  opts.MQTTVersion = MQTTVERSION_3_1_1;  // the default would fall back to 3.1
  opts.cleansession = options_.clean_session ? 1 : 0;
  opts.keepAliveInterval = options_.keep_alive_s;
  // Retries also follow a failed first attempt, so a broker that is down at start-up is
  // reached once it comes up.
  opts.automaticReconnect = 1;
  opts.minRetryInterval = options_.min_retry_s;
  opts.maxRetryInterval = options_.max_retry_s;
  opts.context = this;
  opts.onSuccess = &Callbacks::connect_success;
  opts.onFailure = &Callbacks::connect_failure;
  // Both always go into CONNECT, possibly empty.
  opts.username = options_.username.c_str();
  opts.binarypwd.data = options_.password.data();
  opts.binarypwd.len = static_cast<int>(std::min<size_t>(options_.password.size(), INT_MAX));

  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  if (options_.tls) {
    // The chain is checked with enableServerCertAuth, the host name only with verify. Without a
    // CA file the library uses OpenSSL's default store, the system's.
    ssl.trustStore = options_.ca_file.empty() ? nullptr : options_.ca_file.c_str();
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1;
    ssl.ssl_error_cb = &Callbacks::tls_error;
    ssl.ssl_error_context = this;
    opts.ssl = &ssl;
  }
  rc = MQTTAsync_connect(handle_, &opts);
  if (rc != MQTTASYNC_SUCCESS)
    throw std::runtime_error("MQTT client cannot connect to " + uri_ + ": " +
                             connect_failure_text(rc));
}

bool PahoMqttClient::is_connected() const {
  return MQTTAsync_isConnected(handle_) != 0;
}

bool PahoMqttClient::subscribe(const std::string& topic, int qos) {
  return MQTTAsync_subscribe(handle_, topic.c_str(), qos, nullptr) == MQTTASYNC_SUCCESS;
}

bool PahoMqttClient::publish(const std::string& topic, std::string_view payload, int qos) {
  if (payload.size() > static_cast<size_t>(INT_MAX)) return false;
  std::lock_guard lock(publish_mutex_);
  // The library copies the payload before this returns.
  return MQTTAsync_send(handle_, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                        qos, 0, nullptr) == MQTTASYNC_SUCCESS;
}

}  // namespace orvel::bridge
