#include "tests/testkit/mosquitto.h"

#include <MQTTAsync.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/testkit/testkit.h"

extern char** environ;

namespace orvel::testkit {

namespace {

constexpr const char* MOSQUITTO = "/usr/sbin/mosquitto";
constexpr auto START_TIMEOUT = std::chrono::seconds(10);
constexpr auto STOP_TIMEOUT = std::chrono::seconds(5);
constexpr auto ANSWER_TIMEOUT = std::chrono::seconds(10);

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool accepts_connections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_in addr = loopback(port);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// Starts `argv` with standard output and error appended to `output_file`.
pid_t spawn(const std::vector<std::string>& argv, const std::string& output_file) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

// Starts mosquitto so that it dies with the test process, also when that is killed or crashes
// and no destructor runs. Between fork and exec only async-signal-safe calls: other threads of
// the test may hold locks.
pid_t spawn_broker(const std::string& config, const std::string& log_file) {
  const pid_t parent = ::getpid();
  const char* const args[] = {MOSQUITTO, "-c", config.c_str(), nullptr};
  const pid_t pid = ::fork();
  if (pid < 0)
    throw std::runtime_error("cannot start mosquitto: " + std::string(std::strerror(errno)));
  if (pid == 0) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(126);
    const int fd = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) ::_exit(126);
    ::execv(MOSQUITTO, const_cast<char* const*>(args));
    ::_exit(127);
  }
  return pid;
}

std::string read_or_empty(const std::string& path) {
  try {
    return read_file(path);
  } catch (const std::exception&) {
    return "";
  }
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("no socket for a free port");
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot find a free port");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

void run_program(const std::vector<std::string>& argv, const std::string& output_file) {
  const pid_t pid = spawn(argv, output_file);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("cannot wait for " + argv[0]);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(argv[0] + " failed: " + read_or_empty(output_file));
}

// ---------------------------------------------------------------------------------------------

MosquittoBroker::MosquittoBroker(BrokerOptions options) : options_(std::move(options)) {
  char templ[] = "/tmp/orvel-mosquitto-XXXXXX";
  if (::mkdtemp(templ) == nullptr) throw std::runtime_error("cannot make a temporary folder");
  dir_ = templ;
  try {
    write_files();
    port_ = free_port();
    if (options_.cert != BrokerCert::None) tls_port_ = free_port();
    if (!options_.start) return;
    // A port found free may be taken before the broker binds it: then try other ports.
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (try_start()) return;
      port_ = free_port();
      if (options_.cert != BrokerCert::None) tls_port_ = free_port();
    }
    throw std::runtime_error("mosquitto did not start: " + log());
  } catch (...) {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    throw;
  }
}

MosquittoBroker::~MosquittoBroker() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string MosquittoBroker::ca_file() const {
  return options_.cert == BrokerCert::None ? "" : dir_ + "/ca.crt";
}

std::string MosquittoBroker::log() const {
  return read_or_empty(dir_ + "/broker.log");
}

void MosquittoBroker::write_files() {
  const std::string out = dir_ + "/tools.log";
  if (!options_.users.empty()) {
    bool first = true;
    for (const auto& [user, password] : options_.users) {
      std::vector<std::string> argv = {"mosquitto_passwd", "-b", dir_ + "/passwd", user, password};
      if (first) argv.insert(argv.begin() + 1, "-c");
      first = false;
      run_program(argv, out);
    }
  }
  if (options_.cert == BrokerCert::None) return;

  const std::vector<std::string> ec_key = {"-newkey", "ec", "-pkeyopt",
                                           "ec_paramgen_curve:prime256v1", "-nodes"};
  auto with_key = [&](std::vector<std::string> argv, const std::string& key) {
    argv.insert(argv.begin() + 2, ec_key.begin(), ec_key.end());
    argv.insert(argv.end(), {"-keyout", key});
    return argv;
  };
  run_program(with_key({"openssl", "req", "-x509", "-days", "2", "-subj", "/CN=orvel-test-ca",
                        "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                        "keyUsage=critical,keyCertSign,cRLSign", "-out", dir_ + "/ca.crt"},
                       dir_ + "/ca.key"),
              out);
  const std::string localhost = "subjectAltName=DNS:localhost,IP:127.0.0.1";
  if (options_.cert == BrokerCert::SelfSigned) {
    run_program(with_key({"openssl", "req", "-x509", "-days", "2", "-subj", "/CN=localhost",
                          "-addext", localhost, "-out", dir_ + "/server.crt"},
                         dir_ + "/server.key"),
                out);
    return;
  }
  const bool wrong = options_.cert == BrokerCert::WrongHost;
  write_text(dir_ + "/server.ext",
             wrong ? "subjectAltName=DNS:wrong-host.invalid\n" : localhost + "\n");
  run_program(
      with_key({"openssl", "req", "-new", "-subj",
                wrong ? "/CN=wrong-host.invalid" : "/CN=localhost", "-out", dir_ + "/server.csr"},
               dir_ + "/server.key"),
      out);
  run_program({"openssl", "x509", "-req", "-in", dir_ + "/server.csr", "-CA", dir_ + "/ca.crt",
               "-CAkey", dir_ + "/ca.key", "-CAcreateserial", "-days", "2", "-extfile",
               dir_ + "/server.ext", "-out", dir_ + "/server.crt"},
              out);
}

bool MosquittoBroker::try_start() {
  std::ostringstream conf;
  conf << "persistence false\n"
       << "log_dest stderr\n";
  if (::geteuid() == 0) conf << "user root\n";  // else it switches to a user that cannot read dir_
  if (options_.users.empty()) {
    conf << "allow_anonymous true\n";
  } else {
    conf << "allow_anonymous false\n"
         << "password_file " << dir_ << "/passwd\n";
  }
  conf << "listener " << port_ << " 127.0.0.1\n";
  if (options_.cert != BrokerCert::None) {
    conf << "listener " << tls_port_ << " 127.0.0.1\n"
         << "cafile " << dir_ << "/ca.crt\n"
         << "certfile " << dir_ << "/server.crt\n"
         << "keyfile " << dir_ << "/server.key\n";
  }
  write_text(dir_ + "/mosquitto.conf", conf.str());

  pid_ = spawn_broker(dir_ + "/mosquitto.conf", dir_ + "/broker.log");
  const auto deadline = std::chrono::steady_clock::now() + START_TIMEOUT;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // it ended, most likely because a port was taken
      return false;
    }
    if (accepts_connections(port_) && (tls_port_ == 0 || accepts_connections(tls_port_)))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop();
  return false;
}

void MosquittoBroker::start() {
  if (running()) return;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (try_start()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  throw std::runtime_error("mosquitto did not start again on port " + std::to_string(port_) + ": " +
                           log());
}

void MosquittoBroker::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + STOP_TIMEOUT;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

// ---------------------------------------------------------------------------------------------

struct TestMqttClient::Callbacks {
  static int message(void* context, char* topic, int topic_len, MQTTAsync_message* msg) {
    auto& self = *static_cast<TestMqttClient*>(context);
    {
      std::lock_guard lock(self.mutex_);
      ReceivedMessage m;
      m.topic = topic_len > 0 ? std::string(topic, static_cast<size_t>(topic_len)) : topic;
      if (msg->payload != nullptr && msg->payloadlen > 0)
        m.payload.assign(static_cast<const char*>(msg->payload),
                         static_cast<size_t>(msg->payloadlen));
      m.qos = msg->qos;
      m.retained = msg->retained != 0;
      self.received_.push_back(std::move(m));
      self.changed_.notify_all();
    }
    MQTTAsync_freeMessage(&msg);
    MQTTAsync_free(topic);
    return 1;
  }
  static void finish(void* context, bool ok, int code) {
    auto& request = *static_cast<Request*>(context);
    std::lock_guard lock(request.client->mutex_);
    request.done = true;
    request.ok = ok;
    request.code = code;
    request.client->changed_.notify_all();
  }
  static void success(void* context, MQTTAsync_successData*) { finish(context, true, 0); }
  static void failure(void* context, MQTTAsync_failureData* data) {
    finish(context, false, data ? data->code : MQTTASYNC_FAILURE);
  }
};

TestMqttClient::TestMqttClient(int port, std::string client_id) {
  if (client_id.empty())
    client_id = "test-" + std::to_string(::getpid()) + "-" +
                std::to_string(reinterpret_cast<uintptr_t>(this));
  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
  create.MQTTVersion = MQTTVERSION_3_1_1;
  const std::string uri = "tcp://127.0.0.1:" + std::to_string(port);
  MQTTAsync handle = nullptr;
  if (MQTTAsync_createWithOptions(&handle, uri.c_str(), client_id.c_str(),
                                  MQTTCLIENT_PERSISTENCE_NONE, nullptr,
                                  &create) != MQTTASYNC_SUCCESS)
    throw std::runtime_error("test client cannot be made for " + uri);
  handle_ = handle;
  try {
    if (MQTTAsync_setCallbacks(handle_, this, nullptr, &Callbacks::message, nullptr) !=
        MQTTASYNC_SUCCESS)
      throw std::runtime_error("test client refused its callbacks");
    Request& request = new_request();
    MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
    opts.MQTTVersion = MQTTVERSION_3_1_1;
    opts.cleansession = 1;
    opts.context = &request;
    opts.onSuccess = &Callbacks::success;
    opts.onFailure = &Callbacks::failure;
    if (MQTTAsync_connect(handle_, &opts) != MQTTASYNC_SUCCESS) request.done = true;
    await(request, "test client connection to " + uri);
  } catch (...) {
    MQTTAsync_destroy(&handle);
    throw;
  }
}

TestMqttClient::~TestMqttClient() {
  if (MQTTAsync_isConnected(handle_)) {
    Request& request = new_request();
    MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
    opts.context = &request;
    opts.onSuccess = &Callbacks::success;
    opts.onFailure = &Callbacks::failure;
    if (MQTTAsync_disconnect(handle_, &opts) == MQTTASYNC_SUCCESS) {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(2), [&] { return request.done; });
    }
  }
  MQTTAsync handle = handle_;
  MQTTAsync_destroy(&handle);  // before the state its callbacks write to
}

TestMqttClient::Request& TestMqttClient::new_request() {
  std::lock_guard lock(mutex_);
  Request& request = requests_.emplace_back();
  request.client = this;
  return request;
}

void TestMqttClient::await(Request& request, const std::string& what) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, ANSWER_TIMEOUT, [&] { return request.done; }))
    throw std::runtime_error(what + ": no answer");
  if (!request.ok)
    throw std::runtime_error(what + " failed with code " + std::to_string(request.code));
}

void TestMqttClient::subscribe(const std::string& filter, int qos) {
  Request& request = new_request();
  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  opts.context = &request;
  opts.onSuccess = &Callbacks::success;
  opts.onFailure = &Callbacks::failure;
  if (MQTTAsync_subscribe(handle_, filter.c_str(), qos, &opts) != MQTTASYNC_SUCCESS)
    throw std::runtime_error("subscription to " + filter + " refused");
  await(request, "subscription to " + filter);
}

void TestMqttClient::publish(const std::string& topic, std::string_view payload, int qos) {
  Request& request = new_request();
  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  opts.context = &request;
  opts.onSuccess = &Callbacks::success;
  opts.onFailure = &Callbacks::failure;
  if (MQTTAsync_send(handle_, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                     0, &opts) != MQTTASYNC_SUCCESS)
    throw std::runtime_error("publish to " + topic + " refused");
  await(request, "publish to " + topic);
}

std::vector<ReceivedMessage> TestMqttClient::messages() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<ReceivedMessage> TestMqttClient::messages_on(const std::string& topic) const {
  std::lock_guard lock(mutex_);
  std::vector<ReceivedMessage> out;
  for (const auto& m : received_)
    if (m.topic == topic) out.push_back(m);
  return out;
}

bool TestMqttClient::wait_for(const std::function<bool(const std::vector<ReceivedMessage>&)>& done,
                              std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(received_); });
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace orvel::testkit
