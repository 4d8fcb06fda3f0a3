// Connections over real loopback sockets and pseudo-terminals.

#include "mavlink/connection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/messages.h"

namespace orvel::mavlink {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t AGENT_SYSID = 245;
constexpr uint8_t AGENT_COMPID = 191;
constexpr uint8_t MAV_TYPE_QUADROTOR = 2;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Bytes heartbeat_frame(uint8_t sysid, uint8_t seq, uint8_t type = MAV_TYPE_QUADROTOR) {
  Heartbeat hb;
  hb.type = type;
  uint8_t payload[Heartbeat::MAX_LENGTH];
  const size_t n = hb.encode(payload);
  return encode_frame(Heartbeat::ID, std::span<const uint8_t>(payload, n), sysid, 1, seq);
}

// The next message of `type`, skipping others, waiting up to `timeout_s` in all.
std::optional<Message> next_of_type(Link& link, std::string_view type, double timeout_s = 5.0) {
  const auto start = Clock::now();
  while (seconds_since(start) < timeout_s) {
    auto msg = link.recv(0.1);
    if (msg && msg->type == type) return msg;
  }
  return std::nullopt;
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Socket() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

sockaddr_in loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

uint16_t local_port(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  return ntohs(addr.sin_port);
}

// A socket bound to an ephemeral loopback port.
Socket bound_socket(int type) {
  Socket s(::socket(AF_INET, type, 0));
  const sockaddr_in addr = loopback(0);
  EXPECT_EQ(::bind(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  return s;
}

// A port that nothing listens on right now (the kernel just handed it out and took it back).
uint16_t unused_port(int type) {
  return local_port(bound_socket(type).get());
}

bool readable(int fd, double timeout_s) {
  pollfd pfd{fd, POLLIN, 0};
  return ::poll(&pfd, 1, static_cast<int>(timeout_s * 1000)) == 1;
}

void send_datagram(const Socket& s, uint16_t port, const Bytes& bytes) {
  const sockaddr_in to = loopback(port);
  ASSERT_EQ(::sendto(s.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to),
            static_cast<ssize_t>(bytes.size()));
}

std::optional<Bytes> recv_datagram(const Socket& s, double timeout_s = 5.0) {
  if (!readable(s.get(), timeout_s)) return std::nullopt;
  Bytes buf(70000);
  const ssize_t n = ::recv(s.get(), buf.data(), buf.size(), 0);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return buf;
}

std::string udpin_endpoint(uint16_t port) {
  return "udpin:127.0.0.1:" + std::to_string(port);
}
std::string udpout_endpoint(uint16_t port) {
  return "udpout:127.0.0.1:" + std::to_string(port);
}

// ---- UDP ----

TEST(UdpConnection, ExchangesMessagesBothWaysWithOwnIdsAndSequence) {
  const uint16_t port = unused_port(SOCK_DGRAM);
  auto server = open_connection(udpin_endpoint(port), 115200, 1, 1);
  auto client = open_connection(udpout_endpoint(port), 115200, AGENT_SYSID, AGENT_COMPID);

  // Nobody has sent to the listening side yet: its sends go nowhere, quietly.
  EXPECT_NO_THROW(server->send(Heartbeat{}));
  EXPECT_EQ(server->send_errors(), 0u);

  // Across a wrap of the 8-bit sequence number.
  for (int i = 0; i < 260; ++i) {
    client->send(Heartbeat{.type = MAV_TYPE_QUADROTOR});
    const auto msg = server->recv(5.0);
    ASSERT_TRUE(msg.has_value()) << "message " << i;
    EXPECT_EQ(msg->type, "HEARTBEAT");
    EXPECT_EQ(msg->sysid, AGENT_SYSID);
    EXPECT_EQ(msg->compid, AGENT_COMPID);
    ASSERT_EQ(msg->seq, static_cast<uint8_t>(i));
  }

  server->send(CommandAck{.command = 511, .result = 0});
  const auto reply = next_of_type(*client, "COMMAND_ACK");
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->sysid, 1);
  EXPECT_EQ(reply->as<CommandAck>()->command, 511);
  EXPECT_EQ(client->send_errors(), 0u);
  EXPECT_EQ(server->send_errors(), 0u);
}

TEST(UdpConnection, ListenerRepliesToTheLastSender) {
  const uint16_t port = unused_port(SOCK_DGRAM);
  auto link = open_connection(udpin_endpoint(port), 115200, AGENT_SYSID, AGENT_COMPID);
  const Socket first = bound_socket(SOCK_DGRAM);
  const Socket second = bound_socket(SOCK_DGRAM);

  send_datagram(first, port, heartbeat_frame(1, 0));
  ASSERT_TRUE(link->recv(5.0).has_value());
  send_datagram(second, port, heartbeat_frame(2, 0));
  ASSERT_TRUE(link->recv(5.0).has_value());

  link->send(Heartbeat{});
  const auto got = recv_datagram(second);
  ASSERT_TRUE(got.has_value());
  Parser parser;
  parser.push(*got);
  const auto msg = parser.next();
  ASSERT_TRUE(msg.has_value());
  EXPECT_EQ(msg->type, "HEARTBEAT");
  EXPECT_EQ(msg->sysid, AGENT_SYSID);
  EXPECT_FALSE(readable(first.get(), 0.05));
}

TEST(UdpConnection, WriteSendsBytesUnchangedOneDatagramPerCall) {
  const Socket receiver = bound_socket(SOCK_DGRAM);
  auto link = open_connection(udpout_endpoint(local_port(receiver.get())), 115200, AGENT_SYSID,
                              AGENT_COMPID);
  // Relayed frames keep the autopilot's ids and sequence; other bytes go out just as well.
  const Bytes frame = heartbeat_frame(42, 17);
  const Bytes junk = {'n', 'o', 't', ' ', 'a', ' ', 'f', 'r', 'a', 'm', 'e'};
  link->write(frame);
  link->write(junk);
  EXPECT_EQ(recv_datagram(receiver), frame);
  EXPECT_EQ(recv_datagram(receiver), junk);
}

TEST(UdpConnection, ReceivedFramesKeepTheirBytesAndBufferedOnesComeWithoutWaiting) {
  const uint16_t port = unused_port(SOCK_DGRAM);
  auto link = open_connection(udpin_endpoint(port), 115200, AGENT_SYSID, AGENT_COMPID);
  const Socket sender = bound_socket(SOCK_DGRAM);
  const std::vector<Bytes> frames = {heartbeat_frame(7, 200), heartbeat_frame(8, 201),
                                     heartbeat_frame(9, 202)};
  Bytes datagram;
  for (const Bytes& f : frames) datagram.insert(datagram.end(), f.begin(), f.end());
  send_datagram(sender, port, datagram);

  const auto first = link->recv(5.0);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->frame, frames[0]);
  EXPECT_EQ(first->seq, 200);
  // The datagram has been read: the other two frames come from the parser at once.
  for (size_t i = 1; i < frames.size(); ++i) {
    const auto msg = link->recv(0.0);
    ASSERT_TRUE(msg.has_value()) << "frame " << i;
    EXPECT_EQ(msg->frame, frames[i]);
    EXPECT_EQ(msg->sysid, 7 + i);
  }
  EXPECT_FALSE(link->recv(0.0).has_value());
}

TEST(UdpConnection, RecvWaitsAtMostTheTimeout) {
  const uint16_t port = unused_port(SOCK_DGRAM);
  auto link = open_connection(udpin_endpoint(port), 115200, 1, 1);
  const auto start = Clock::now();
  EXPECT_FALSE(link->recv(0.2).has_value());
  const double waited = seconds_since(start);
  EXPECT_GE(waited, 0.15);
  EXPECT_LT(waited, 2.0);

  const auto again = Clock::now();
  EXPECT_FALSE(link->recv(0.0).has_value());
  EXPECT_FALSE(link->recv(-1.0).has_value());
  EXPECT_LT(seconds_since(again), 1.0);

  // A zero timeout still reads what is waiting.
  const Socket sender = bound_socket(SOCK_DGRAM);
  send_datagram(sender, port, heartbeat_frame(3, 0));
  std::optional<Message> msg;
  const auto polling = Clock::now();
  while (!msg && seconds_since(polling) < 5.0) msg = link->recv(0.0);
  ASSERT_TRUE(msg.has_value());
  EXPECT_EQ(msg->sysid, 3);
}

TEST(UdpConnection, WakeInterruptsAWaitingOrTheNextRecv) {
  auto link = open_connection(udpin_endpoint(unused_port(SOCK_DGRAM)), 115200, 1, 1);

  // Called before: the next recv returns at once, and only that one.
  link->wake();
  auto start = Clock::now();
  EXPECT_FALSE(link->recv(30.0).has_value());
  EXPECT_LT(seconds_since(start), 5.0);
  start = Clock::now();
  EXPECT_FALSE(link->recv(0.2).has_value());
  EXPECT_GE(seconds_since(start), 0.15);

  // Called from another thread while recv waits.
  start = Clock::now();
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    link->wake();
  });
  EXPECT_FALSE(link->recv(30.0).has_value());
  waker.join();
  EXPECT_LT(seconds_since(start), 5.0);
}

TEST(UdpConnection, SendsFromAnotherThreadWhileReceiving) {
  const uint16_t port = unused_port(SOCK_DGRAM);
  auto link = open_connection(udpin_endpoint(port), 115200, AGENT_SYSID, AGENT_COMPID);
  const Socket peer = bound_socket(SOCK_DGRAM);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop.load()) link->send(Heartbeat{});
  });
  for (uint8_t i = 0; i < 50; ++i) {
    send_datagram(peer, port, heartbeat_frame(9, i));
    const auto msg = next_of_type(*link, "HEARTBEAT");
    ASSERT_TRUE(msg.has_value());
  }
  const bool replied = readable(peer.get(), 5.0);
  stop.store(true);
  sender.join();
  EXPECT_TRUE(replied);
}

TEST(UdpConnection, RoutineSendFailuresAreCountedNotThrown) {
  // Nothing listens: the datagram is lost, as UDP allows.
  auto link = open_connection(udpout_endpoint(unused_port(SOCK_DGRAM)), 115200, 1, 1);
  for (int i = 0; i < 5; ++i) EXPECT_NO_THROW(link->send(Heartbeat{}));

  // Too large for a datagram.
  const uint64_t before = link->send_errors();
  EXPECT_NO_THROW(link->write(Bytes(70000, 0xAA)));
  EXPECT_EQ(link->send_errors(), before + 1);

  // Closed: writes are dropped and counted, a second close does nothing, reading is refused.
  link->close();
  EXPECT_NO_THROW(link->close());
  EXPECT_NO_THROW(link->send(Heartbeat{}));
  EXPECT_EQ(link->send_errors(), before + 2);
  EXPECT_THROW(link->recv(0.0), LinkError);
  EXPECT_NO_THROW(link->wake());
}

// ---- Endpoint text ----

bool ipv6_loopback_available() {
  Socket s(::socket(AF_INET6, SOCK_DGRAM, 0));
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  return s.get() >= 0 &&
         ::bind(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

TEST(OpenLink, AddressFormsOfBothFamiliesExchangeMessages) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback";
  struct Case {
    const char* listen;  // PORT stands for the port
    const char* send;
  };
  const Case cases[] = {
      {"udpin:[::1]:PORT", "UDPOUT:[::1]:PORT"},  // bracketed, any case of scheme
      {"udp:::1:PORT", "udpout:::1:PORT"},        // unbracketed, the last colon splits
      {"udpin:[::]:PORT", "udpout:localhost:PORT"},
      {"udpin:0.0.0.0:PORT", "udpout:127.0.0.1:PORT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.listen) + " / " + c.send);
    const std::string port = std::to_string(unused_port(SOCK_DGRAM));
    const auto with_port = [&](std::string text) {
      return text.replace(text.find("PORT"), 4, port);
    };
    auto server = open_connection(with_port(c.listen), 115200, 1, 1);
    auto client = open_connection(with_port(c.send), 115200, AGENT_SYSID, AGENT_COMPID);
    client->send(Heartbeat{});
    const auto there = server->recv(5.0);
    ASSERT_TRUE(there.has_value());
    EXPECT_EQ(there->sysid, AGENT_SYSID);
    server->send(Heartbeat{});
    const auto back = client->recv(5.0);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->sysid, 1);
  }
}

TEST(OpenLink, MalformedEndpointsAreRefusedNamingTheEndpoint) {
  const char* const cases[] = {
      "",                           // nothing at all
      "udpout:localhost",           // no port
      "udpout:localhost:",          // empty port
      "udpout::14550",              // empty host
      "udpin:",                     // nothing after the scheme
      "udpout:localhost:0",         // port out of range
      "udpout:localhost:65536",     // port out of range
      "udpout:localhost:99999999",  // port out of range
      "udpout:localhost:-1",        // port not a number
      "udpout:localhost:14550x",    // port not a number
      "udpout:localhost: 14550",    // port not a number
      "tcp:127.0.0.1",              // no port
      "UDPIN:0.0.0.0",              // no port, upper-case scheme
      "udpout:[::1",                // unclosed bracket
      "udpout:[::1]14550",          // no colon after the bracket
      "udpout:[]:14550",            // empty bracketed host
      "serial:",                    // no device
  };
  for (const std::string endpoint : cases) {
    try {
      open_link(endpoint, 115200, 1, 1);
      ADD_FAILURE() << "accepted \"" << endpoint << "\"";
    } catch (const LinkError& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + endpoint + "\""), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(open_link(std::string("/dev/tty\0S0", 11), 115200, 1, 1), LinkError);
}

TEST(OpenLink, UnresolvableHostThrowsLinkError) {
  for (const std::string endpoint :
       {"udpout:no-such-host.invalid:14550", "tcp:no-such-host.invalid:5760"}) {
    try {
      open_link(endpoint, 115200, 1, 1);
      ADD_FAILURE() << "resolved " << endpoint;
    } catch (const LinkError& e) {
      EXPECT_NE(std::string(e.what()).find("no-such-host.invalid"), std::string::npos) << e.what();
    }
  }
}

TEST(OpenLink, UnopenableDevicesAndListenersThrowLinkError) {
  EXPECT_THROW(open_link("/nonexistent/ttyACM0", 115200, 1, 1), LinkError);
  EXPECT_THROW(open_link("/dev/null", 115200, 1, 1), LinkError);  // not a terminal
  // The port is taken.
  const Socket taken = bound_socket(SOCK_DGRAM);
  EXPECT_THROW(open_link(udpin_endpoint(local_port(taken.get())), 115200, 1, 1), LinkError);
}

// ---- TCP ----

Socket accept_within(const Socket& listener, double timeout_s) {
  if (!readable(listener.get(), timeout_s)) return Socket(-1);
  return Socket(::accept(listener.get(), nullptr, nullptr));
}

void write_all(int fd, const Bytes& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads from a stream fd until one message parses, up to `timeout_s`.
std::optional<Message> read_message(int fd, double timeout_s = 5.0) {
  Parser parser;
  const auto start = Clock::now();
  while (seconds_since(start) < timeout_s) {
    if (auto msg = parser.next()) return msg;
    if (!readable(fd, 0.1)) continue;
    uint8_t buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    parser.push(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
  }
  return std::nullopt;
}

double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

TEST(TcpConnection, ExchangesSurvivesPeerCloseAndReconnects) {
  const Socket listener = bound_socket(SOCK_STREAM);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  auto link = open_connection("tcp:127.0.0.1:" + std::to_string(local_port(listener.get())), 115200,
                              AGENT_SYSID, AGENT_COMPID);
  Socket peer = accept_within(listener, 5.0);
  ASSERT_GE(peer.get(), 0);

  const Bytes frame = heartbeat_frame(1, 33);
  write_all(peer.get(), frame);
  const auto msg = link->recv(5.0);
  ASSERT_TRUE(msg.has_value());
  EXPECT_EQ(msg->frame, frame);

  link->send(Heartbeat{});
  const auto sent = read_message(peer.get());
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(sent->sysid, AGENT_SYSID);
  EXPECT_EQ(sent->compid, AGENT_COMPID);

  // The peer goes away. Writes into the dead connection must neither throw nor raise SIGPIPE.
  peer.reset();
  for (int i = 0; i < 20; ++i) EXPECT_NO_THROW(link->write(frame));
  // Reading returns nothing, without spinning.
  const double cpu_before = thread_cpu_seconds();
  const auto start = Clock::now();
  EXPECT_FALSE(link->recv(0.3).has_value());
  EXPECT_GE(seconds_since(start), 0.25);
  EXPECT_LT(thread_cpu_seconds() - cpu_before, 0.15);

  // The link connects again by itself while it is read.
  Socket again(-1);
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (again.get() < 0 && Clock::now() < until) {
    link->recv(0.1);
    again = accept_within(listener, 0.0);
  }
  ASSERT_GE(again.get(), 0) << "no reconnection";
  const Bytes later = heartbeat_frame(1, 34);
  write_all(again.get(), later);
  const auto after = next_of_type(*link, "HEARTBEAT");
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->frame, later);
}

TEST(TcpConnection, RefusedConnectionThrowsLinkError) {
  EXPECT_THROW(open_link("tcp:127.0.0.1:" + std::to_string(unused_port(SOCK_STREAM)), 115200, 1, 1),
               LinkError);
}

// ---- Serial, through a pseudo-terminal ----

class PseudoTerminal {
 public:
  PseudoTerminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY)) {
    if (master_.get() < 0 || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    char name[128];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0) throw std::runtime_error("ptsname");
    slave_path_ = name;
  }
  int master() const { return master_.get(); }
  const std::string& slave_path() const { return slave_path_; }
  void hang_up() { master_.reset(); }

 private:
  Socket master_;
  std::string slave_path_;
};

TEST(SerialConnection, ReadsAndWritesFramesInBothEndpointForms) {
  for (const bool with_scheme : {false, true}) {
    SCOPED_TRACE(with_scheme ? "serial:PATH:BAUD" : "PATH");
    PseudoTerminal pty;
    const std::string endpoint =
        with_scheme ? "serial:" + pty.slave_path() + ":57600" : pty.slave_path();
    // The speed in the text wins over the argument, which is no valid speed here.
    auto link = open_connection(endpoint, with_scheme ? 1 : 57600, AGENT_SYSID, AGENT_COMPID);

    const Bytes first = heartbeat_frame(1, 10);
    const Bytes second = heartbeat_frame(1, 11);
    Bytes stream = first;
    stream.insert(stream.end(), {0x01, 0x02, 0x03});  // line noise between frames
    stream.insert(stream.end(), second.begin(), second.end());
    write_all(pty.master(), stream);

    std::vector<Message> got;
    const auto start = Clock::now();
    while (got.size() < 3 && seconds_since(start) < 5.0) {
      if (auto msg = link->recv(0.1)) got.push_back(*msg);
    }
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].frame, first);
    EXPECT_TRUE(got[1].bad());
    EXPECT_EQ(got[2].frame, second);

    link->send(Heartbeat{.type = 18});  // MAV_TYPE_ONBOARD_CONTROLLER
    const auto sent = read_message(pty.master());
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->sysid, AGENT_SYSID);
    EXPECT_EQ(sent->as<Heartbeat>()->type, 18);
  }
}

// The device is reached through a link, as udev's /dev/serial/by-id names are, so a new
// pseudo-terminal can stand in for the adapter plugged in again.
TEST(SerialConnection, HangUpIsSurvivedAndTheLineReopened) {
  const std::string dir = ::testing::TempDir() + "serial-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/autopilot";
  auto first = std::make_unique<PseudoTerminal>();
  std::filesystem::remove(path);
  std::filesystem::create_symlink(first->slave_path(), path);
  auto link = open_connection(path, 115200, 1, 1);

  first->hang_up();
  const auto cpu_before = std::clock();
  EXPECT_FALSE(link->recv(0.5).has_value());  // no throw, no spinning while it is gone
  EXPECT_LT(static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC, 0.25);
  EXPECT_NO_THROW(link->send(Heartbeat{}));
  EXPECT_GE(link->send_errors(), 1u);

  PseudoTerminal second;
  std::filesystem::remove(path);
  std::filesystem::create_symlink(second.slave_path(), path);
  const Bytes frame = heartbeat_frame(1, 42);
  std::optional<Message> got;
  const auto start = Clock::now();
  while (!got && seconds_since(start) < 5.0) {
    write_all(second.master(), frame);  // lost until the line is open again
    got = link->recv(0.2);
  }
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->frame, frame);
  std::filesystem::remove_all(dir);
}

TEST(SerialConnection, UnsupportedSpeedIsInvalidArgument) {
  PseudoTerminal pty;
  for (const int baud : {0, -9600, 12345}) {
    EXPECT_THROW(open_link(pty.slave_path(), baud, 1, 1), std::invalid_argument) << baud;
  }
  EXPECT_THROW(open_link("serial:" + pty.slave_path() + ":31337", 115200, 1, 1),
               std::invalid_argument);
}

}  // namespace
}  // namespace orvel::mavlink
