#pragma once
// A real MQTT broker for tests (the mosquitto program on a free loopback port, with its own
// configuration, certificates and password file in a temporary folder) and a small MQTT client
// for the test's side of the conversation.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvel::testkit {

// The server certificate of the TLS listener.
enum class BrokerCert {
  None,        // no TLS listener
  Valid,       // signed by the test CA for "localhost" and 127.0.0.1
  WrongHost,   // signed by the test CA, but for another host name
  SelfSigned,  // for "localhost" and 127.0.0.1, but not under the test CA
};

struct BrokerOptions {
  BrokerCert cert = BrokerCert::None;
  // User name and password pairs; empty admits anonymous clients.
  std::vector<std::pair<std::string, std::string>> users;
  // False: ports are chosen, but the broker is not started until start().
  bool start = true;
};

// The broker process is ended with the thread that started it, so start it from the test's
// main thread; then it is not left behind even when the test process is killed.
class MosquittoBroker {
 public:
  explicit MosquittoBroker(BrokerOptions options = {});
  // Kills the broker and deletes its folder.
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Starts the broker on the same ports as before and waits until every listener accepts
  // connections. Throws when that does not happen within 10 s.
  void start();
  // Stops the broker and waits for the process to end.
  void stop();
  bool running() const { return pid_ > 0; }

  int port() const { return port_; }          // plain MQTT
  int tls_port() const { return tls_port_; }  // 0 without TLS
  // The test CA's certificate; empty without TLS.
  std::string ca_file() const;
  const std::string& dir() const { return dir_; }
  // What the broker wrote to its log so far.
  std::string log() const;

 private:
  void write_files();
  bool try_start();

  BrokerOptions options_;
  std::string dir_;
  int port_ = 0;
  int tls_port_ = 0;
  pid_t pid_ = -1;
};

// A loopback port that was free a moment ago.
int free_port();
// Runs a program (found on the search path, no shell) and waits for it; throws with its output
// when it cannot be run or exits with a status other than 0.
void run_program(const std::vector<std::string>& argv, const std::string& output_file);

struct ReceivedMessage {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retained = false;
};

// A plain MQTT 3.1.1 client on 127.0.0.1 that records what it receives. Built on the Paho C
// client directly, independent of the agent's own MQTT code.
class TestMqttClient {
 public:
  // Connects, waiting up to 10 s; throws when it cannot.
  explicit TestMqttClient(int port, std::string client_id = "");
  ~TestMqttClient();
  TestMqttClient(const TestMqttClient&) = delete;
  TestMqttClient& operator=(const TestMqttClient&) = delete;

  // Both wait (at most 10 s) for the broker's answer and throw without one.
  void subscribe(const std::string& filter, int qos);
  void publish(const std::string& topic, std::string_view payload, int qos);

  std::vector<ReceivedMessage> messages() const;
  std::vector<ReceivedMessage> messages_on(const std::string& topic) const;
  // Waits until `done` holds for the messages received so far; false when time runs out.
  bool wait_for(const std::function<bool(const std::vector<ReceivedMessage>&)>& done,
                std::chrono::milliseconds timeout);

  // One request to the broker whose answer is awaited; kept until the client is gone, since the
  // answer may come after the wait gave up.
  struct Request {
    TestMqttClient* client = nullptr;
    bool done = false;
    bool ok = false;
    int code = 0;
  };

 private:
  struct Callbacks;
  Request& new_request();
  // Waits for the answer; throws with `what` when it fails or does not come.
  void await(Request& request, const std::string& what);

  void* handle_ = nullptr;  // MQTTAsync
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReceivedMessage> received_;
  std::list<Request> requests_;
};

// Polls `done` every 20 ms until it holds or `timeout` passes; returns its last value.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace orvel::testkit
