// End-to-end benchmark of the agent program with a real MQTT broker (mosquitto on loopback), a
// fake PX4 autopilot over UDP and a fake platform over MQTT:
//
//  1. Command latency: signed "land" envelopes, one at a time, from the platform's publish call
//     to the arrival of COMMAND_LONG MAV_CMD_NAV_LAND at the autopilot, with the link quiet.
//  2. Telemetry relay: GLOBAL_POSITION_INT at a fixed rate for a few seconds, counted in the MQTT
//     batches, once without and once with 100 invalid envelopes (bad signature) per second;
//     the agent's CPU time, and from the difference the cost of one invalid envelope.
//
//   command_bench <path to orvel-edge-bridge> [latency | relay]   (both parts by default)
//
// The broker, the generator and the platform client share the two cores with the agent, so the
// figures are a lower bound for the agent alone.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/messages.h"
#include "support/json.h"
#include "tests/commands/signing.h"
#include "tests/testkit/mosquitto.h"

namespace {

namespace m = orvel::mavlink;
namespace tk = orvel::testkit;
using Clock = std::chrono::steady_clock;

constexpr const char* DEVICE = "drone-7";
constexpr const char* VEHICLE_KEY = "edge_bridge:drone-7";
const std::string CMD_TOPIC = "utm/cmd/drone-7";
const std::string ACK_TOPIC = "utm/cmdack/drone-7";
const std::string TELEMETRY_TOPIC = "utm/mavlink/drone-7";

constexpr int LATENCY_COMMANDS = 200;
constexpr double TRIAL_SECONDS = 3.0;
constexpr int INVALID_PER_SECOND = 100;
constexpr uint32_t PX4_AUTO_LOITER = (3u << 24) | (4u << 16);

double now_s() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

void sleep_s(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A UDP port on loopback that was free a moment ago (the agent listens on it).
int free_udp_port() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    perror("free port");
    std::exit(1);
  }
  close(fd);
  return ntohs(a.sin_port);
}

// CPU time of all threads of a process in seconds, from the scheduler's nanosecond counters
// (the 10 ms ticks of /proc/PID/stat are too coarse for a few hundred envelopes).
double cpu_seconds(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  unsigned long long total_ns = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/schedstat");
    unsigned long long ns = 0;
    if (in >> ns) total_ns += ns;
  }
  closedir(d);
  return static_cast<double>(total_ns) / 1e9;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The agent as a child process with exactly the given environment and its standard error in a
// file. It is killed if this program dies first, and stopped when the object goes.
class Agent {
 public:
  Agent(const std::string& path, const std::map<std::string, std::string>& env) {
    char tmpl[] = "/tmp/orvel-cmdbench-XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    stderr_path_ = tmpl;
    // Everything exec needs is made before fork: the child may only make async-signal-safe
    // calls, other threads may hold locks.
    std::vector<std::string> env_text;
    for (const auto& [k, v] : env) env_text.push_back(k + "=" + v);
    if (const char* p = std::getenv("PATH")) env_text.push_back(std::string("PATH=") + p);
    std::vector<char*> cenv;
    for (auto& e : env_text) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    std::string prog = path;
    char* argv[] = {prog.data(), nullptr};
    const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(126);
      dup2(fd, STDERR_FILENO);
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDOUT_FILENO);
      execve(argv[0], argv, cenv.data());
      _exit(127);
    }
    close(fd);
    close(devnull);
  }
  ~Agent() {
    kill(pid_, SIGTERM);
    int status = 0;
    const double deadline = now_s() + 5.0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (now_s() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      sleep_s(0.01);
    }
    unlink(stderr_path_.c_str());
  }
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  pid_t pid() const { return pid_; }
  std::string stderr_text() const { return read_text(stderr_path_); }
  bool running() const {
    int status = 0;
    return waitpid(pid_, &status, WNOHANG) == 0;
  }
  bool wait_for_stderr(const std::string& text, double timeout_s) const {
    const double deadline = now_s() + timeout_s;
    while (now_s() < deadline) {
      if (stderr_text().find(text) != std::string::npos) return true;
      sleep_s(0.02);
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  std::string stderr_path_;
};

template <class T>
std::vector<uint8_t> encode(const T& msg, uint8_t seq) {
  uint8_t buf[255] = {};
  const size_t n = msg.encode(buf);
  return m::encode_frame(T::ID, {buf, n}, 1, 1, seq);
}

// A GLOBAL_POSITION_INT whose time_boot_ms carries its number, so the platform can count
// distinct frames.
std::vector<uint8_t> position_frame(uint32_t number) {
  m::GlobalPositionInt p;
  p.time_boot_ms = number;
  p.lat = 473977418;
  p.lon = 85455939;
  p.alt = 500000;
  return encode(p, static_cast<uint8_t>(number));
}

// The fake PX4 (system 1, component 1): one UDP socket for everything it sends, so the agent's
// "udpin:" answers always reach it. A thread timestamps each first send (confirmation 0) of
// MAV_CMD_NAV_LAND as it arrives and acknowledges it, as an autopilot would.
class Autopilot {
 public:
  explicit Autopilot(int agent_port) : to_(loopback(agent_port)) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int big = 8 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    timeval tv{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    receiver_ = std::thread([this] { receive(); });
  }
  ~Autopilot() {
    stop_ = true;
    receiver_.join();
    close(fd_);
  }
  Autopilot(const Autopilot&) = delete;
  Autopilot& operator=(const Autopilot&) = delete;

  void send(const std::vector<uint8_t>& frame) {
    sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
  }
  void heartbeat() {
    m::Heartbeat hb;
    hb.type = m::MAV_TYPE_QUADROTOR;
    hb.autopilot = m::MAV_AUTOPILOT_PX4;
    hb.base_mode = m::MAV_MODE_FLAG_CUSTOM_MODE_ENABLED;
    hb.custom_mode = PX4_AUTO_LOITER;
    hb.system_status = m::MAV_STATE_ACTIVE;
    send(encode(hb, seq_++));
  }

  size_t lands() const {
    std::lock_guard lock(mutex_);
    return land_at_.size();
  }
  // Waits until more than `seen` lands have arrived; the arrival time of land number `seen`.
  std::optional<double> wait_land(size_t seen, double timeout_s) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::duration<double>(timeout_s),
                           [&] { return land_at_.size() > seen; }))
      return std::nullopt;
    return land_at_[seen];
  }
  int resends() const { return resends_; }

 private:
  void receive() {
    uint8_t buf[2048];
    while (!stop_) {
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      const double at = now_s();
      m::Parser parser;
      parser.push({buf, static_cast<size_t>(n)});
      while (auto msg = parser.next()) {
        const auto cmd = msg->as<m::CommandLong>();
        if (!cmd || cmd->command != m::MAV_CMD_NAV_LAND) continue;
        if (cmd->confirmation != 0) {
          ++resends_;
          continue;
        }
        {
          std::lock_guard lock(mutex_);
          land_at_.push_back(at);
        }
        changed_.notify_all();
        m::CommandAck ack;
        ack.command = cmd->command;
        ack.result = m::MAV_RESULT_ACCEPTED;
        send(encode(ack, seq_++));
      }
    }
  }

  int fd_ = -1;
  sockaddr_in to_;
  std::atomic<uint8_t> seq_{0};
  std::atomic<bool> stop_{false};
  std::atomic<int> resends_{0};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<double> land_at_;
  std::thread receiver_;
};

std::string envelope(const tk::TestSigner& signer, const std::string& nonce) {
  const auto iat = static_cast<int64_t>(std::time(nullptr));
  return orvel::to_json(signer.envelope(tk::command_body("land", VEHICLE_KEY, nonce, iat)));
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

// A second subscriber of the command topic, timestamping each envelope as it arrives: the share
// of the latency that the broker and the MQTT client library take without the agent.
class Probe {
 public:
  explicit Probe(int broker_port) : client_(broker_port) {
    client_.subscribe(CMD_TOPIC, 1);
    thread_ = std::thread([this] {
      for (size_t k = 0; !stop_; ++k) {
        while (!stop_ && !client_.wait_for([&](const auto& got) { return got.size() > k; },
                                           std::chrono::milliseconds(100))) {
        }
        std::lock_guard lock(mutex_);
        at_.push_back(now_s());
      }
    });
  }
  ~Probe() {
    stop_ = true;
    thread_.join();
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  size_t count() const {
    std::lock_guard lock(mutex_);
    return at_.size();
  }
  std::optional<double> arrival(size_t k) const {
    std::lock_guard lock(mutex_);
    return k < at_.size() ? std::optional<double>(at_[k]) : std::nullopt;
  }

 private:
  tk::TestMqttClient client_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<double> at_;
  std::thread thread_;
};

// `count` envelopes, each sent `gap_s` after the previous one arrived at the autopilot.
void measure_latency(Autopilot& autopilot, tk::TestMqttClient& platform,
                     const tk::TestSigner& signer, Probe& probe, int count, double gap_s,
                     const std::string& tag) {
  std::vector<double> ms, probe_ms;
  int missed = 0;
  double last_beat = now_s();
  const double deadline = now_s() + 60.0;
  for (int i = 0; i < count && now_s() < deadline; ++i) {
    // Heartbeats only between measurements, and time for the agent to take them in, so the
    // link is quiet while a command is on its way.
    if (now_s() - last_beat >= 1.0) {
      autopilot.heartbeat();
      last_beat = now_s();
      sleep_s(0.02);
    }
    const std::string text = envelope(signer, tag + "-" + std::to_string(i));
    const size_t seen = autopilot.lands();
    const size_t probed = probe.count();
    const double t0 = now_s();
    platform.publish(CMD_TOPIC, text, 1);
    if (const auto at = autopilot.wait_land(seen, 2.0)) {
      ms.push_back((*at - t0) * 1e3);
    } else {
      ++missed;
    }
    if (const auto at = probe.arrival(probed)) probe_ms.push_back((*at - t0) * 1e3);
    // Meanwhile the agent publishes its answers ("received", "superseded", "accepted").
    sleep_s(gap_s);
  }
  std::printf(
      "command latency, signed 'land' every %.0f ms (publish -> COMMAND_LONG NAV_LAND "
      "at the autopilot):\n",
      gap_s * 1e3);
  if (ms.empty()) {
    std::printf("  none arrived (%d missed)\n", missed);
    return;
  }
  const auto over = std::count_if(ms.begin(), ms.end(), [](double v) { return v > 2.0; });
  std::printf(
      "  %zu commands: median %.3f ms, p90 %.3f ms, max %.3f ms, min %.3f ms; over 2 ms %ld; "
      "missed %d\n",
      ms.size(), percentile(ms, 0.5), percentile(ms, 0.9), *std::max_element(ms.begin(), ms.end()),
      *std::min_element(ms.begin(), ms.end()), static_cast<long>(over), missed);
  if (!probe_ms.empty())
    std::printf(
        "  same publishes at a second MQTT subscriber (broker + client library, no agent): "
        "median %.3f ms, p90 %.3f ms, max %.3f ms\n",
        percentile(probe_ms, 0.5), percentile(probe_ms, 0.9),
        *std::max_element(probe_ms.begin(), probe_ms.end()));
}

struct Trial {
  double rate = 0;
  bool invalid = false;
  uint32_t sent = 0;
  uint32_t received = 0;
  int envelopes = 0;
  int rejected = 0;
  double agent_cpu_s = 0;
};

int count_rejections(const tk::TestMqttClient& client) {
  int n = 0;
  for (const auto& msg : client.messages_on(ACK_TOPIC)) {
    const auto answer = orvel::parse_json(msg.payload);
    if (answer && answer->is_object() && answer->find("stage") && answer->at("stage").is_string() &&
        answer->at("stage").as_string() == "rejected")
      ++n;
  }
  return n;
}

Trial run_trial(pid_t agent, int broker_port, Autopilot& autopilot, double rate, bool invalid,
                uint32_t base) {
  Trial t;
  t.rate = rate;
  t.invalid = invalid;
  const auto count = static_cast<uint32_t>(rate * TRIAL_SECONDS);
  std::vector<std::vector<uint8_t>> frames;
  frames.reserve(count);
  for (uint32_t i = 0; i < count; ++i) frames.push_back(position_frame(base + i));

  // Valid JSON and a well-formed signature, made with a key the agent does not hold.
  const tk::TestSigner stranger(99);
  const int envelope_count = invalid ? static_cast<int>(INVALID_PER_SECOND * TRIAL_SECONDS) : 0;
  std::vector<std::string> envelopes;
  for (int k = 0; k < envelope_count; ++k)
    envelopes.push_back(
        envelope(stranger, "bad-" + std::to_string(base) + "-" + std::to_string(k)));

  tk::TestMqttClient platform(broker_port);
  platform.subscribe(TELEMETRY_TOPIC, 0);
  tk::TestMqttClient attacker(broker_port);
  attacker.subscribe(ACK_TOPIC, 1);

  const double cpu0 = cpu_seconds(agent);
  const double start = now_s();
  std::thread publisher([&] {
    try {
      for (int k = 0; k < envelope_count; ++k) {
        sleep_s(start + k / static_cast<double>(INVALID_PER_SECOND) - now_s());
        attacker.publish(CMD_TOPIC, envelopes[static_cast<size_t>(k)], 1);
        ++t.envelopes;
      }
    } catch (const std::exception& e) {
      // The table shows how many went out; a throw here would end the program uncleaned.
      std::fprintf(stderr, "invalid envelopes stopped: %s\n", e.what());
    }
  });

  // Paced in 0.5 ms slices with a sleep between them, so the generator leaves the cores to the
  // agent instead of spinning; a heartbeat every second, as an autopilot sends.
  constexpr double SLICE_S = 0.0005;
  const int slices = static_cast<int>(TRIAL_SECONDS / SLICE_S);
  uint32_t i = 0;
  double next_beat = start;
  for (int slice = 0; slice < slices; ++slice) {
    sleep_s(start + slice * SLICE_S - now_s());
    if (now_s() >= next_beat) {
      autopilot.heartbeat();
      next_beat += 1.0;
    }
    const uint32_t until =
        std::min<uint32_t>(count, static_cast<uint32_t>((slice + 1) * SLICE_S * rate));
    for (; i < until; ++i) autopilot.send(frames[i]);
  }
  publisher.join();
  sleep_s(0.5);  // the last batch and the last answers drain
  t.agent_cpu_s = cpu_seconds(agent) - cpu0;
  t.sent = i;

  std::vector<bool> seen(count, false);
  for (const auto& batch : platform.messages_on(TELEMETRY_TOPIC)) {
    m::Parser parser;
    parser.push({reinterpret_cast<const uint8_t*>(batch.payload.data()), batch.payload.size()});
    while (auto msg = parser.next()) {
      const auto p = msg->as<m::GlobalPositionInt>();
      if (p && p->time_boot_ms >= base && p->time_boot_ms - base < count &&
          !seen[p->time_boot_ms - base]) {
        seen[p->time_boot_ms - base] = true;
        ++t.received;
      }
    }
  }
  t.rejected = count_rejections(attacker);
  return t;
}

void print_trial(const Trial& t) {
  const double cpu_ms = t.agent_cpu_s * 1e3;
  char per_k[32] = "      -";
  if (t.received > 0) std::snprintf(per_k, sizeof per_k, "%7.1f", cpu_ms / (t.received / 1e3));
  const double loss = t.sent > 0 ? 100.0 * (t.sent - t.received) / t.sent : 0.0;
  std::printf("  %7.0f/s  %-8s %8u %9u %7.3f%%  %9.1f %s %5d/%d\n", t.rate,
              t.invalid ? "100/s" : "none", t.sent, t.received, loss, cpu_ms, per_k, t.rejected,
              t.envelopes);
}

int run(const char* agent_path, const std::string& part) {
  const tk::TestSigner signer;
  tk::MosquittoBroker broker;  // from the main thread: it dies with this thread
  const int ap_port = free_udp_port();
  Agent agent(agent_path, {{"EDGE_AUTOPILOT", "udpin:127.0.0.1:" + std::to_string(ap_port)},
                           {"EDGE_UTM", "mqtt://127.0.0.1:" + std::to_string(broker.port())},
                           {"EDGE_DEVICE_ID", DEVICE},
                           {"EDGE_ALLOW_COMMANDS", "land"},
                           {"EDGE_COMMAND_PUBLIC_KEY", signer.public_key_b64()},
                           {"EDGE_ALLOW_CHECKS", "off"}});
  if (!agent.wait_for_stderr("MQTT connected", 15.0)) {
    std::fprintf(stderr, "the agent did not connect to the broker:\n%s\n",
                 agent.stderr_text().c_str());
    return 1;
  }
  tk::TestMqttClient platform(broker.port());
  platform.subscribe(ACK_TOPIC, 1);
  Autopilot autopilot(ap_port);
  // The hello on the answer topic tells that the agent knows the vehicle.
  const double known_deadline = now_s() + 10.0;
  while (platform.messages_on(ACK_TOPIC).empty()) {
    if (now_s() > known_deadline) {
      std::fprintf(stderr, "the agent did not greet the vehicle:\n%s\n",
                   agent.stderr_text().c_str());
      return 1;
    }
    autopilot.heartbeat();
    sleep_s(0.2);
  }
  sleep_s(0.5);  // stream requests and the first batches settle

  if (part != "relay") {
    Probe probe(broker.port());
    // Commands far apart, as in flight, then in quick succession (a newer one supersedes).
    measure_latency(autopilot, platform, signer, probe, LATENCY_COMMANDS, 0.1, "calm");
    measure_latency(autopilot, platform, signer, probe, LATENCY_COMMANDS / 2, 0.03, "quick");
    std::printf("  resends of NAV_LAND seen: %d\n", autopilot.resends());
  }
  if (part == "latency") return 0;

  std::printf(
      "relay of GLOBAL_POSITION_INT for %.0f s over MQTT batches, with and without %d invalid "
      "envelopes/s:\n"
      "       rate  invalid      sent  received    loss  agent CPU ms  ms/1000 msg  "
      "rejected\n",
      TRIAL_SECONDS, INVALID_PER_SECOND);
  uint32_t base = 1000;
  for (double rate : {0.0, 20000.0, 50000.0, 100000.0}) {
    Trial plain = run_trial(agent.pid(), broker.port(), autopilot, rate, false, base);
    base += 10'000'000;
    print_trial(plain);
    Trial attacked = run_trial(agent.pid(), broker.port(), autopilot, rate, true, base);
    base += 10'000'000;
    print_trial(attacked);
    if (attacked.envelopes > 0)
      std::printf("           -> %.0f us agent CPU per invalid envelope (difference / %d)\n",
                  (attacked.agent_cpu_s - plain.agent_cpu_s) * 1e6 / attacked.envelopes,
                  attacked.envelopes);
    std::fflush(stdout);
    if (!agent.running()) {
      std::fprintf(stderr, "the agent stopped:\n%s\n", agent.stderr_text().c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <orvel-edge-bridge> [latency | relay]\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  try {
    return run(argv[1], argc > 2 ? argv[2] : "");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "command_bench: %s\n", e.what());
    return 1;
  }
}
