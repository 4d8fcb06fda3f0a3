// orvel-edge-demo-platform: plays the Orvel platform's side of the conversation for `make demo`.
// It listens on the agent's topics of a local broker and prints what arrives in readable form
// (telemetry batches once a second, the hello, the parameter snapshot), then flies three signed
// commands one after the other: take off, go to a point about 100 m away, land. Exits 0 when
// every command was executed and a parameter snapshot arrived, 1 otherwise.
//
//   orvel-edge-demo-platform PORT DEVICE_ID PRIVATE_KEY_PEM
#include <MQTTAsync.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/verifier.h"
#include "mavlink/frame.h"
#include "mavlink/messages.h"
#include "params/param_reader.h"
#include "support/base64.h"
#include "support/json.h"

namespace {

using orvel::Json;
using Clock = std::chrono::steady_clock;
namespace m = orvel::mavlink;

const Clock::time_point START = Clock::now();

// One output line, stamped with the seconds since the start.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  const double t = std::chrono::duration<double>(Clock::now() - START).count();
  std::printf("[%5.1fs] ", t);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------
// Signing with the platform's Ed25519 private key.

class Signer {
 public:
  explicit Signer(const std::string& pem_file) {
    FILE* f = std::fopen(pem_file.c_str(), "r");
    if (f == nullptr) throw std::runtime_error("cannot open " + pem_file);
    key_.reset(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    if (!key_ || EVP_PKEY_id(key_.get()) != EVP_PKEY_ED25519)
      throw std::runtime_error(pem_file + " holds no Ed25519 private key");
  }

  // {"body": body, "sig": Base64 Ed25519 signature over the canonical body}.
  Json envelope(const Json& body) const {
    const std::string bytes = orvel::commands::canonical(body);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t length = sizeof signature;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1)
      throw std::runtime_error("Ed25519 signing failed");
    return Json::object(
        {{"body", body},
         {"sig", orvel::base64_encode({reinterpret_cast<const char*>(signature), length})}});
  }

 private:
  struct Free {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
  };
  std::unique_ptr<EVP_PKEY, Free> key_;
};

// ---------------------------------------------------------------------------------------------
// A plain MQTT 3.1.1 client (Paho C) that queues what arrives for the main thread.

struct Received {
  std::string topic;
  std::string payload;
};

class Mqtt {
 public:
  Mqtt(int port, const std::string& client_id) {
    const std::string uri = "tcp://127.0.0.1:" + std::to_string(port);
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    create.MQTTVersion = MQTTVERSION_3_1_1;
    if (MQTTAsync_createWithOptions(&handle_, uri.c_str(), client_id.c_str(),
                                    MQTTCLIENT_PERSISTENCE_NONE, nullptr,
                                    &create) != MQTTASYNC_SUCCESS ||
        MQTTAsync_setCallbacks(handle_, this, nullptr, &on_message, nullptr) != MQTTASYNC_SUCCESS)
      throw std::runtime_error("cannot make an MQTT client for " + uri);
    MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
    opts.MQTTVersion = MQTTVERSION_3_1_1;
    opts.cleansession = 1;
    request([&](MQTTAsync_responseOptions& r) {
      opts.onSuccess = r.onSuccess;
      opts.onFailure = r.onFailure;
      opts.context = r.context;
      return MQTTAsync_connect(handle_, &opts);
    });
  }
  ~Mqtt() {
    if (MQTTAsync_isConnected(handle_)) {
      MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
      opts.timeout = 1000;
      MQTTAsync_disconnect(handle_, &opts);
    }
    MQTTAsync_destroy(&handle_);
  }
  Mqtt(const Mqtt&) = delete;
  Mqtt& operator=(const Mqtt&) = delete;

  void subscribe(const std::string& topic, int qos) {
    request([&](MQTTAsync_responseOptions& r) {
      return MQTTAsync_subscribe(handle_, topic.c_str(), qos, &r);
    });
  }
  void publish(const std::string& topic, const std::string& payload, int qos) {
    request([&](MQTTAsync_responseOptions& r) {
      return MQTTAsync_send(handle_, topic.c_str(), static_cast<int>(payload.size()),
                            payload.data(), qos, 0, &r);
    });
  }

  // The next message, waiting at most until `deadline`.
  std::optional<Received> next(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [&] { return !queue_.empty(); })) return std::nullopt;
    Received r = std::move(queue_.front());
    queue_.pop_front();
    return r;
  }

 private:
  struct Answer {
    Mqtt* self;
    bool done = false;
    bool ok = false;
    int code = 0;
  };

  static void finish(void* context, bool ok, int code) {
    auto& a = *static_cast<Answer*>(context);
    std::lock_guard lock(a.self->mutex_);
    a.done = true;
    a.ok = ok;
    a.code = code;
    a.self->changed_.notify_all();
  }
  static void on_success(void* context, MQTTAsync_successData*) { finish(context, true, 0); }
  static void on_failure(void* context, MQTTAsync_failureData* data) {
    finish(context, false, data != nullptr ? data->code : MQTTASYNC_FAILURE);
  }
  static int on_message(void* context, char* topic, int topic_len, MQTTAsync_message* msg) {
    auto& self = *static_cast<Mqtt*>(context);
    Received r;
    r.topic = topic_len > 0 ? std::string(topic, static_cast<size_t>(topic_len)) : topic;
    if (msg->payload != nullptr && msg->payloadlen > 0)
      r.payload.assign(static_cast<const char*>(msg->payload),
                       static_cast<size_t>(msg->payloadlen));
    {
      std::lock_guard lock(self.mutex_);
      self.queue_.push_back(std::move(r));
      self.changed_.notify_all();
    }
    MQTTAsync_freeMessage(&msg);
    MQTTAsync_free(topic);
    return 1;
  }

  // Starts one request and waits up to 10 s for the broker's answer. The answer record lives
  // until the client is destroyed, since a late answer may still write to it.
  void request(const std::function<int(MQTTAsync_responseOptions&)>& start) {
    Answer* a;
    {
      std::lock_guard lock(mutex_);
      a = &answers_.emplace_back(Answer{this});
    }
    MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
    r.onSuccess = &on_success;
    r.onFailure = &on_failure;
    r.context = a;
    if (const int rc = start(r); rc != MQTTASYNC_SUCCESS)
      throw std::runtime_error(std::string("MQTT request refused: ") + MQTTAsync_strerror(rc));
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return a->done; }))
      throw std::runtime_error("no answer from the broker");
    if (!a->ok)
      throw std::runtime_error("MQTT request failed with code " + std::to_string(a->code));
  }

  MQTTAsync handle_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Received> queue_;
  std::deque<Answer> answers_;
};

// ---------------------------------------------------------------------------------------------
// What the platform has learnt about the vehicle from telemetry.

std::string px4_mode(uint32_t custom_mode) {
  const unsigned main_mode = (custom_mode >> 16) & 0xff;
  const unsigned sub_mode = (custom_mode >> 24) & 0xff;
  static const char* const MAIN[] = {"?",    "MANUAL",   "ALTCTL",     "POSCTL",   "AUTO",
                                     "ACRO", "OFFBOARD", "STABILIZED", "RATTITUDE"};
  static const char* const AUTO[] = {"?",   "READY", "TAKEOFF", "LOITER", "MISSION",
                                     "RTL", "LAND",  "?",       "FOLLOW", "PRECLAND"};
  if (main_mode == 0 || main_mode >= std::size(MAIN)) return "mode " + std::to_string(custom_mode);
  std::string text = MAIN[main_mode];
  if (main_mode == 4 && sub_mode < std::size(AUTO)) text += std::string(".") + AUTO[sub_mode];
  return text;
}

struct Telemetry {
  std::optional<m::GlobalPositionInt> position;
  std::optional<m::GlobalPositionInt> home;  // the first position seen
  std::optional<m::Heartbeat> heartbeat;
  int frames = 0;  // since the last summary
  std::map<std::string, int> types;

  void add_batch(const std::string& payload) {
    m::Parser parser;
    parser.push({reinterpret_cast<const uint8_t*>(payload.data()), payload.size()});
    while (auto msg = parser.next()) {
      if (msg->bad()) continue;
      ++frames;
      ++types[std::string(msg->type)];
      if (auto p = msg->as<m::GlobalPositionInt>()) {
        position = p;
        if (!home) home = p;
      } else if (auto hb = msg->as<m::Heartbeat>(); hb && msg->compid == 1) {
        heartbeat = hb;
      }
    }
  }

  double rel_alt_m() const { return position ? position->relative_alt / 1000.0 : 0.0; }

  // North and east of the first position, in metres.
  std::pair<double, double> offset_m() const {
    if (!position || !home) return {0, 0};
    const double north = (position->lat - home->lat) * 1e-7 * 111320.0;
    const double east = (position->lon - home->lon) * 1e-7 * 111320.0 *
                        std::cos(home->lat * 1e-7 * std::numbers::pi / 180.0);
    return {north, east};
  }

  void print_summary() {
    std::vector<std::pair<int, std::string>> by_count;
    for (const auto& [name, n] : types) by_count.emplace_back(n, name);
    std::sort(by_count.rbegin(), by_count.rend());
    std::string names;
    for (size_t i = 0; i < by_count.size() && i < 3; ++i)
      names += (i ? ", " : "") + by_count[i].second;
    if (by_count.size() > 3) names += ", ...";
    std::string where = "no position yet";
    if (position) {
      const auto [north, east] = offset_m();
      char buf[160];
      std::snprintf(buf, sizeof buf, "%.6f %.6f, %4.1f m up, %3.0f m N %3.0f m E",
                    position->lat * 1e-7, position->lon * 1e-7, rel_alt_m(), north, east);
      where = buf;
    }
    if (heartbeat) {
      const bool armed = (heartbeat->base_mode & m::MAV_MODE_FLAG_SAFETY_ARMED) != 0;
      where += std::string(armed ? ", armed, " : ", disarmed, ") + px4_mode(heartbeat->custom_mode);
    }
    say("telemetry: %2d frames in the last second (%s): %s", frames, names.c_str(), where.c_str());
    frames = 0;
    types.clear();
  }
};

std::string text_of(const Json* value) {
  if (value == nullptr) return "-";
  if (value->is_string() && !value->as_string().empty()) return value->as_string();
  return orvel::to_json(*value);
}

// ---------------------------------------------------------------------------------------------

class Platform {
 public:
  Platform(int port, std::string device, const std::string& key_file)
      : device_(std::move(device)),
        signer_(key_file),
        mqtt_(port, "orvel-demo-platform-" + std::to_string(::getpid())) {
    mqtt_.subscribe("utm/mavlink/" + device_, 0);
    mqtt_.subscribe("utm/cmdack/" + device_, 1);
    mqtt_.subscribe("utm/params/" + device_, 1);
    say("platform: connected to the broker, listening on utm/mavlink/%s, utm/cmdack/%s and "
        "utm/params/%s",
        device_.c_str(), device_.c_str(), device_.c_str());
  }

  int run() {
    say("platform: waiting for the agent's hello (it comes once the agent hears the autopilot)");
    if (!pump_until([&] { return hello_ && telemetry_.position; }, std::chrono::seconds(45))) {
      say("platform: FAILED: no hello or no position from the agent within 45 s");
      return 1;
    }
    say("platform: waiting for the parameter snapshot before flying");
    if (!pump_until([&] { return params_; }, std::chrono::seconds(30)))
      say("platform: no parameter snapshot within 30 s; flying anyway");

    const auto& home = *telemetry_.home;
    const double lat0 = home.lat * 1e-7, lon0 = home.lon * 1e-7;
    // 80 m north and 60 m east of home: 100 m away.
    const double lat1 = lat0 + 80.0 / 111320.0;
    const double lon1 = lon0 + 60.0 / (111320.0 * std::cos(lat0 * std::numbers::pi / 180.0));
    bool ok = fly("takeoff", Json::object({{"alt_m_agl", 10}}), std::chrono::seconds(30),
                  "take off to 10 m above home") &&
              fly("goto", Json::object({{"lat_deg", lat1}, {"lon_deg", lon1}, {"alt_m_agl", 15}}),
                  std::chrono::seconds(60), "fly to a point 100 m away (80 m N, 60 m E) at 15 m") &&
              fly("land", Json::object(), std::chrono::seconds(30), "land where it is");
    if (ok) {
      say("platform: waiting for touch-down");
      ok = pump_until(
          [&] {
            return telemetry_.heartbeat &&
                   (telemetry_.heartbeat->base_mode & m::MAV_MODE_FLAG_SAFETY_ARMED) == 0;
          },
          std::chrono::seconds(40));
      if (ok) {
        telemetry_.print_summary();
        say("platform: the drone landed and disarmed");
      } else {
        say("platform: FAILED: the drone did not land and disarm within 40 s");
      }
    }
    if (!params_) {
      say("platform: FAILED: no parameter snapshot arrived");
      ok = false;
    }
    say("platform: %s", ok ? "all commands executed" : "FAILED");
    return ok ? 0 : 1;
  }

 private:
  // Handles arriving messages (and the once-a-second telemetry summary) until `done` holds or
  // `limit` passes; returns whether it holds.
  bool pump_until(const std::function<bool()>& done, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
      const auto now = Clock::now();
      if (now >= deadline) return false;
      if (now >= next_summary_) {
        if (telemetry_.frames > 0) telemetry_.print_summary();
        next_summary_ = now + std::chrono::seconds(1);
      }
      if (auto msg = mqtt_.next(std::min(deadline, next_summary_))) handle(*msg);
    }
    return true;
  }

  void handle(const Received& msg) {
    if (msg.topic == "utm/mavlink/" + device_) {
      telemetry_.add_batch(msg.payload);
    } else if (msg.topic == "utm/params/" + device_) {
      on_params(msg.payload);
    } else if (msg.topic == "utm/cmdack/" + device_) {
      const auto answer = orvel::parse_json(msg.payload);
      if (!answer || !answer->is_object()) {
        say("cmdack: unreadable answer: %s", msg.payload.c_str());
      } else if (const Json* type = answer->find("type"); type && *type == Json("hello")) {
        on_hello(*answer);
      } else {
        on_answer(*answer);
      }
    }
  }

  void on_hello(const Json& hello) {
    if (hello_) return;  // the first one is enough
    hello_ = true;
    say("hello from the agent on utm/cmdack/%s:", device_.c_str());
    for (const auto& [key, value] : hello.as_object())
      std::printf("           %-12s %s\n", (key + ":").c_str(), text_of(&value).c_str());
    std::fflush(stdout);
  }

  void on_params(const std::string& payload) {
    const auto snapshot = orvel::params::decode_snapshot(payload);
    if (!snapshot || !snapshot->is_object()) {
      say("params: an unreadable snapshot of %zu bytes", payload.size());
      return;
    }
    params_ = true;
    const Json* params = snapshot->find("params");
    const size_t count = params && params->is_object() ? params->size() : 0;
    say("params: snapshot on utm/params/%s: %zu bytes compressed, %zu parameters, autopilot %s, "
        "firmware %s, complete %s",
        device_.c_str(), payload.size(), count, text_of(snapshot->find("autopilot")).c_str(),
        text_of(snapshot->find("firmware")).c_str(), text_of(snapshot->find("complete")).c_str());
    if (count > 0) {
      std::string sample;
      int n = 0;
      for (const auto& [name, value] : params->as_object()) {
        if (n++ == 4) break;
        sample += (sample.empty() ? "" : ", ") + name + "=" + text_of(&value);
      }
      say("        e.g. %s, ...", sample.c_str());
    }
  }

  void on_answer(const Json& answer) {
    const std::string id = text_of(answer.find("id"));
    const std::string stage = text_of(answer.find("stage"));
    const std::string code = text_of(answer.find("code"));
    const std::string detail = text_of(answer.find("detail"));
    if (stage == "rejected" || stage == "failed")
      say("  answer to %s: %s (code %s): %s", id.c_str(), stage.c_str(), code.c_str(),
          detail.c_str());
    else
      say("  answer to %s: %s: %s", id.c_str(), stage.c_str(), detail.c_str());
    if (id == current_id_) current_stage_ = stage;
  }

  // Signs and sends one command, then waits for its final answer.
  bool fly(const std::string& kind, Json args, Clock::duration limit, const char* what) {
    const auto now = static_cast<int64_t>(std::time(nullptr));
    const std::string nonce =
        "demo-" + std::to_string(::getpid()) + "-" + std::to_string(now) + "-" + kind;
    current_id_ = "demo-" + std::to_string(++sent_) + "-" + kind;
    current_stage_.clear();
    const Json body = Json::object({{"v", 1},
                                    {"kind", kind},
                                    {"id", current_id_},
                                    {"vehicle_key", "edge_bridge:" + device_},
                                    {"iat", now},
                                    {"exp", now + 30},
                                    {"nonce", nonce},
                                    {"args", std::move(args)}});
    say("command %s: %s", current_id_.c_str(), what);
    say("  signed with Ed25519, sent on utm/cmd/%s: %s", device_.c_str(),
        orvel::to_json(body).c_str());
    mqtt_.publish("utm/cmd/" + device_, orvel::to_json(signer_.envelope(body)), 1);
    const auto started = Clock::now();
    const bool answered = pump_until(
        [&] {
          return current_stage_ == "executed" || current_stage_ == "failed" ||
                 current_stage_ == "rejected";
        },
        limit);
    if (!answered) {
      say("command %s: FAILED: not executed within %.0f s", current_id_.c_str(),
          std::chrono::duration<double>(limit).count());
      return false;
    }
    if (current_stage_ != "executed") return false;
    say("command %s: done in %.1f s", current_id_.c_str(),
        std::chrono::duration<double>(Clock::now() - started).count());
    return true;
  }

  std::string device_;
  Signer signer_;
  Mqtt mqtt_;
  Telemetry telemetry_;
  bool hello_ = false;
  bool params_ = false;
  int sent_ = 0;
  std::string current_id_;
  std::string current_stage_;
  Clock::time_point next_summary_ = Clock::now() + std::chrono::seconds(1);
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: %s PORT DEVICE_ID PRIVATE_KEY_PEM\n"
                 "Plays the Orvel platform against an agent on the MQTT broker at "
                 "127.0.0.1:PORT.\n",
                 argv[0]);
    return 2;
  }
  try {
    const int port = std::stoi(argv[1]);
    Platform platform(port, argv[2], argv[3]);
    return platform.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvel-edge-demo-platform: %s\n", e.what());
    return 1;
  }
}
