#pragma once
// Stand-ins for the autopilot link, the uplink and the HTTP client, for tests of the core.

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <atomic>

#include "bridge/mqtt_client.h"
#include "bridge/uplink.h"
#include "mavlink/frame.h"
#include "mavlink/link.h"
#include "mavlink/messages.h"
#include "support/http.h"
#include "tests/testkit/testkit.h"

namespace orvel::bridge::fakes {

// A real parsed message, as the link would hand it over.
template <class T>
mavlink::Message message(const T& msg, uint8_t sysid, uint8_t compid, uint8_t seq = 0) {
  uint8_t buf[255] = {};
  const size_t n = msg.encode(buf);
  const auto frame = mavlink::encode_frame(T::ID, {buf, n}, sysid, compid, seq);
  mavlink::Parser parser;
  parser.push(frame);
  return *parser.next();
}

inline mavlink::Message heartbeat(uint8_t sysid, uint8_t type = mavlink::MAV_TYPE_QUADROTOR,
                                  uint8_t compid = 1) {
  mavlink::Heartbeat hb;
  hb.type = type;
  hb.autopilot = mavlink::MAV_AUTOPILOT_PX4;
  return message(hb, sysid, compid);
}

struct SentPayload {
  uint32_t msgid;
  std::vector<uint8_t> payload;
};

// recv() hands out queued messages (nullopt when none), advancing the fake clock by the read
// time-out when it has nothing, as a real read would take that long.
class FakeLink final : public mavlink::Link {
 public:
  explicit FakeLink(testkit::FakeClock* clock = nullptr) : clock_(clock) {}
  std::optional<mavlink::Message> recv(double timeout_s) override {
    if (inbox.empty()) {
      if (clock_) clock_->advance(timeout_s);
      return std::nullopt;
    }
    auto m = std::move(inbox.front());
    inbox.pop_front();
    return m;
  }
  void send_payload(uint32_t msgid, std::span<const uint8_t> payload) override {
    sent.push_back({msgid, {payload.begin(), payload.end()}});
  }
  void write(std::span<const uint8_t> bytes) override {
    written.emplace_back(bytes.begin(), bytes.end());
  }
  void wake() override { ++wakes; }
  void close() override {}

  template <class T>
  std::vector<T> sent_as() const {
    std::vector<T> out;
    for (const auto& s : sent)
      if (s.msgid == T::ID) out.push_back(T::decode(s.payload));
    return out;
  }

  std::deque<mavlink::Message> inbox;
  std::vector<SentPayload> sent;
  std::vector<std::vector<uint8_t>> written;
  int wakes = 0;

 private:
  testkit::FakeClock* clock_;
};

class FakeUplink final : public Uplink {
 public:
  void write(std::span<const uint8_t> frame) override {
    frames.emplace_back(frame.begin(), frame.end());
  }
  void tick() override { ++ticks; }
  bool publish_side(std::string_view, std::string_view) override { return false; }
  std::string describe() const override { return "fake"; }

  std::vector<std::vector<uint8_t>> frames;
  int ticks = 0;
};

struct Published {
  std::string topic;
  std::string payload;
  int qos;
};

class FakeMqttClient final : public MqttClient {
 public:
  explicit FakeMqttClient(MqttOptions o) : options(std::move(o)) {}
  void start(MqttHandlers h) override {
    handlers = std::move(h);
    ++starts;
  }
  bool is_connected() const override { return connected; }
  bool subscribe(const std::string& topic, int qos) override {
    subscriptions.emplace_back(topic, qos);
    return true;
  }
  bool publish(const std::string& topic, std::string_view payload, int qos) override {
    if (!accept_publish) return false;
    published.push_back({topic, std::string(payload), qos});
    return true;
  }

  MqttOptions options;
  MqttHandlers handlers;
  int starts = 0;
  std::atomic<bool> connected{false};
  bool accept_publish = true;
  std::vector<std::pair<std::string, int>> subscriptions;
  std::vector<Published> published;
};

// Answers every request with one scripted response, or throws HttpError when `fail` is set.
class FakeHttp final : public HttpClient {
 public:
  HttpResponse get(const std::string& url, const Headers&, const HttpOptions& options) override {
    urls.push_back(url);
    last_options = options;
    if (!fail.empty()) throw HttpError(fail);
    return response;
  }
  HttpResponse post(const std::string& url, const Headers&, const HttpBody&,
                    const HttpOptions&) override {
    urls.push_back(url);
    return response;
  }
  HttpResponse response{200, "{}"};
  std::string fail;
  std::vector<std::string> urls;
  HttpOptions last_options;
};

}  // namespace orvel::bridge::fakes
