#include "tests/e2e/e2e_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <stdexcept>

#include "mavlink/frame.h"
#include "params/param_reader.h"
#include "tests/testkit/testkit.h"

namespace orvel::e2e {

namespace m = orvel::mavlink;

std::unique_ptr<testkit::ChildProcess> start_sim(int agent_port, const SimSettings& s) {
  return std::make_unique<testkit::ChildProcess>(
      std::vector<std::string>{testkit::binary_dir() + "/sim/orvel-edge-sim", "--autopilot",
                               s.autopilot, "--link",
                               "udpout:127.0.0.1:" + std::to_string(agent_port), "--sysid",
                               std::to_string(s.sysid), "--params", std::to_string(s.params),
                               "--loss", std::to_string(s.loss), "--seed", std::to_string(s.seed)},
      std::map<std::string, std::string>{});
}

std::unique_ptr<testkit::ChildProcess> start_agent(std::map<std::string, std::string> env) {
  return std::make_unique<testkit::ChildProcess>(
      std::vector<std::string>{testkit::binary_dir() + "/bridge/orvel-edge-bridge"},
      std::move(env));
}

namespace {

std::optional<Json> answer_of(const testkit::ReceivedMessage& msg) {
  auto doc = parse_json(msg.payload);
  if (!doc || !doc->is_object()) return std::nullopt;
  return doc;
}

bool has_text(const Json& doc, std::string_view key, std::string_view value) {
  const Json* member = doc.find(key);
  return member != nullptr && member->is_string() && member->as_string() == value;
}

}  // namespace

FakePlatform::FakePlatform(int broker_port, std::string device_id)
    : client_(broker_port), device_(std::move(device_id)) {
  client_.subscribe("utm/cmdack/" + device_, 1);
  client_.subscribe("utm/mavlink/" + device_, 0);
  client_.subscribe("utm/params/" + device_, 1);
}

std::vector<Json> FakePlatform::hellos() const {
  std::vector<Json> out;
  for (const auto& msg : client_.messages_on("utm/cmdack/" + device_))
    if (auto doc = answer_of(msg); doc && has_text(*doc, "type", "hello")) out.push_back(*doc);
  return out;
}

std::vector<std::string> FakePlatform::stages(const std::string& id) const {
  std::vector<std::string> out;
  for (const auto& msg : client_.messages_on("utm/cmdack/" + device_))
    if (auto doc = answer_of(msg); doc && has_text(*doc, "type", "ack") && has_text(*doc, "id", id))
      out.push_back(doc->at("stage").as_string());
  return out;
}

std::string FakePlatform::answers_text(const std::string& id) const {
  std::string out;
  for (const auto& msg : client_.messages_on("utm/cmdack/" + device_))
    if (auto doc = answer_of(msg); id.empty() || (doc && has_text(*doc, "id", id)))
      out += msg.payload + "\n";
  return out;
}

size_t FakePlatform::batch_count() const {
  return client_.messages_on("utm/mavlink/" + device_).size();
}

std::vector<std::pair<uint8_t, m::GlobalPositionInt>> FakePlatform::positions_since(
    size_t first) const {
  std::vector<std::pair<uint8_t, m::GlobalPositionInt>> out;
  const auto batches = client_.messages_on("utm/mavlink/" + device_);
  for (size_t i = first; i < batches.size(); ++i) {
    // A batch holds whole frames back to back.
    m::Parser parser;
    const auto& bytes = batches[i].payload;
    parser.push({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    while (auto msg = parser.next())
      if (auto pos = msg->as<m::GlobalPositionInt>()) out.emplace_back(msg->sysid, *pos);
  }
  return out;
}

bool FakePlatform::wait_position(uint8_t sysid, size_t first) {
  return testkit::wait_until(
      [&] {
        for (const auto& [from, pos] : positions_since(first))
          if (from == sysid) return true;
        return false;
      },
      WAIT);
}

bool FakePlatform::wait_hello(uint8_t sysid) {
  return testkit::wait_until(
      [&] {
        for (const auto& hello : hellos())
          if (hello.at("sysid") == Json(static_cast<int>(sysid))) return true;
        return false;
      },
      WAIT);
}

std::vector<Json> FakePlatform::snapshots() const {
  std::vector<Json> out;
  for (const auto& msg : client_.messages_on("utm/params/" + device_))
    if (auto doc = params::decode_snapshot(msg.payload)) out.push_back(*doc);
  return out;
}

std::string FakePlatform::send(const testkit::TestSigner& signer, const std::string& kind,
                               Json args) {
  // Unique in the whole program: the agent refuses a nonce it has seen, even from an earlier
  // platform connection.
  static std::atomic<int> next_nonce{1};
  const std::string nonce = "n-" + std::to_string(next_nonce++);
  Json body = testkit::command_body(kind, "edge_bridge:" + device_, nonce,
                                    static_cast<int64_t>(std::time(nullptr)));
  if (!args.is_null()) body.set("args", std::move(args));
  client_.publish("utm/cmd/" + device_, to_json(signer.envelope(body)), 1);
  return "r-" + nonce;
}

std::vector<std::string> FakePlatform::fly(const testkit::TestSigner& signer,
                                           const std::string& kind, Json args) {
  const std::string id = send(signer, kind, std::move(args));
  testkit::wait_until(
      [&] {
        const auto seen = stages(id);
        return !seen.empty() &&
               (seen.back() == "executed" || seen.back() == "failed" || seen.back() == "rejected");
      },
      std::chrono::seconds(40));
  return stages(id);
}

// ---- loopback servers ----

LoopbackServer::LoopbackServer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    throw std::runtime_error("cannot listen on loopback");
  }
  port_ = ntohs(addr.sin_port);
}

LoopbackServer::~LoopbackServer() {
  halt();
  ::close(listen_fd_);
}

void LoopbackServer::run() {
  thread_ = std::thread([this] {
    while (!stop_) {
      on_turn();
      std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
      for (int fd : watched()) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      for (size_t i = 1; i < fds.size(); ++i)
        if (fds[i].revents != 0) on_readable(fds[i].fd);
      if (fds[0].revents & POLLIN) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) on_accept(fd);
      }
    }
  });
}

void LoopbackServer::halt() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

KeyServer::KeyServer(std::string body) : body_(std::move(body)) {
  run();
}

KeyServer::~KeyServer() {
  halt();
}

std::vector<std::string> KeyServer::request_lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void KeyServer::on_accept(int fd) {
  // One request per connection; the agent's requests are small, so the head is read whole.
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    request.append(buffer, static_cast<size_t>(n));
  }
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(request.substr(0, request.find("\r\n")));
  }
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
      std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
  size_t sent = 0;
  while (sent < response.size()) {
    const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  ::close(fd);
}

TcpGate::TcpGate(int target_port) : target_(target_port) {
  run();
}

TcpGate::~TcpGate() {
  halt();
  for (const auto& [fd, peer] : peer_) ::close(fd);
}

void TcpGate::on_accept(int fd) {
  if (!open_) {
    ::close(fd);
    return;
  }
  const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(target_));
  if (upstream < 0 || ::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (upstream >= 0) ::close(upstream);
    ::close(fd);
    return;
  }
  peer_[fd] = upstream;
  peer_[upstream] = fd;
}

std::vector<int> TcpGate::watched() {
  std::vector<int> out;
  for (const auto& [fd, peer] : peer_) out.push_back(fd);
  return out;
}

void TcpGate::on_readable(int fd) {
  const auto it = peer_.find(fd);
  if (it == peer_.end()) return;  // already cut along with its peer in this turn
  const int peer = it->second;
  char buffer[65536];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n <= 0) {
    cut(fd);
    return;
  }
  // Loopback peers read promptly, so a blocking write does not stall the gate for long.
  ssize_t sent = 0;
  while (sent < n) {
    const ssize_t w = ::send(peer, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
    if (w <= 0) {
      cut(fd);
      return;
    }
    sent += w;
  }
}

void TcpGate::on_turn() {
  if (open_) return;
  while (!peer_.empty()) cut(peer_.begin()->first);
}

void TcpGate::cut(int fd) {
  const auto it = peer_.find(fd);
  if (it == peer_.end()) return;
  const int peer = it->second;
  peer_.erase(fd);
  peer_.erase(peer);
  ::close(fd);
  ::close(peer);
}

}  // namespace orvel::e2e
