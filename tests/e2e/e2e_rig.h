#pragma once
// Shared pieces of the end-to-end tests: the agent and the simulator as child processes, a fake
// platform on the broker, a fake platform web server for the command key, and a TCP gate in
// front of the broker.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mavlink/messages.h"
#include "support/json.h"
#include "tests/commands/signing.h"
#include "tests/testkit/mosquitto.h"
#include "tests/testkit/process.h"

namespace orvel::e2e {

// Upper bound of every wait; conditions usually hold within a few seconds.
inline constexpr auto WAIT = std::chrono::seconds(20);

struct SimSettings {
  std::string autopilot = "px4";  // or "ardupilot"
  int sysid = 1;
  int params = 40;
  double loss = 0.0;
  int seed = 1;
};

// The simulator sending to the agent's autopilot port.
std::unique_ptr<testkit::ChildProcess> start_sim(int agent_port, const SimSettings& settings);
std::unique_ptr<testkit::ChildProcess> start_agent(std::map<std::string, std::string> env);

// The test side of the broker for one device: records answers, telemetry batches and parameter
// snapshots, and publishes signed commands.
class FakePlatform {
 public:
  FakePlatform(int broker_port, std::string device_id);

  std::vector<Json> hellos() const;
  // Stages of the answers to request `id`, in arrival order.
  std::vector<std::string> stages(const std::string& id) const;
  // The answers to request `id` (all messages on the answer topic for ""), as text, for
  // failure messages.
  std::string answers_text(const std::string& id = "") const;

  // Telemetry batches are numbered in arrival order; the position reports (with their sender)
  // in batches from number `first` on.
  size_t batch_count() const;
  std::vector<std::pair<uint8_t, mavlink::GlobalPositionInt>> positions_since(size_t first) const;
  // Waits for a position report of `sysid` in batches from `first` on.
  bool wait_position(uint8_t sysid, size_t first = 0);
  bool wait_hello(uint8_t sysid);

  // Decoded parameter snapshots so far.
  std::vector<Json> snapshots() const;

  // Publishes a signed command and returns its request id.
  std::string send(const testkit::TestSigner& signer, const std::string& kind, Json args = Json());
  // Sends a command and waits for its last answer (executed, failed or rejected); returns the
  // stages seen.
  std::vector<std::string> fly(const testkit::TestSigner& signer, const std::string& kind,
                               Json args = Json());

  testkit::TestMqttClient& client() { return client_; }

 private:
  testkit::TestMqttClient client_;
  std::string device_;
};

// A TCP listener on a free loopback port served by a thread; the base of the two helpers below.
class LoopbackServer {
 public:
  LoopbackServer();
  virtual ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  int port() const { return port_; }

 protected:
  // Starts the thread; called by subclasses once they are fully built.
  void run();
  // Joins the thread; subclasses call it first in their destructor.
  void halt();
  virtual void on_accept(int fd) = 0;
  // Extra descriptors to watch, and what to do when one is readable or closed.
  virtual std::vector<int> watched() { return {}; }
  virtual void on_readable(int /*fd*/) {}
  virtual void on_turn() {}

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Answers every HTTP request with 200 and a fixed JSON body, and records the request lines.
class KeyServer final : public LoopbackServer {
 public:
  explicit KeyServer(std::string body);
  ~KeyServer() override;
  std::vector<std::string> request_lines() const;

 private:
  void on_accept(int fd) override;
  std::string body_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Forwards connections to a loopback port while open. Closing it cuts every forwarded
// connection and turns new ones away, so the test decides when a client can reach the broker.
class TcpGate final : public LoopbackServer {
 public:
  explicit TcpGate(int target_port);
  ~TcpGate() override;
  void set_open(bool open) { open_ = open; }

 private:
  void on_accept(int fd) override;
  std::vector<int> watched() override;
  void on_readable(int fd) override;
  void on_turn() override;
  void cut(int fd);

  int target_;
  std::atomic<bool> open_{true};
  std::map<int, int> peer_;  // both directions; only the server thread touches it
};

}  // namespace orvel::e2e
