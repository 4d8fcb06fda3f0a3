#include "mavlink/connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "mavlink/frame.h"
#include "support/fd.h"

namespace orvel::mavlink {
namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

// Large reads keep the number of system calls low under heavy telemetry; also the largest
// UDP datagram fits.
constexpr size_t READ_CHUNK = 64 * 1024;
constexpr int UDP_RECEIVE_BUFFER_BYTES = 2 * 1024 * 1024;
// Whole frames that wait for a slow serial line or TCP peer. Beyond this, frames are dropped
// rather than blocking the caller or growing without bound.
constexpr size_t MAX_PENDING = 64 * 1024;
constexpr auto TCP_CONNECT_TIMEOUT = std::chrono::seconds(5);
constexpr auto TCP_RETRY_INTERVAL = std::chrono::seconds(1);
constexpr auto SERIAL_RETRY_INTERVAL = std::chrono::seconds(1);
// Longer waits are cut to this, which keeps the deadline arithmetic far from overflow.
constexpr double MAX_WAIT_S = 1e7;

std::string errno_text(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);  // the GNU variant: returns the text
}

// Endpoint text for error messages. It may come from anywhere, so it is capped and control
// bytes are escaped.
std::string quoted(std::string_view text) {
  constexpr size_t MAX_SHOWN = 120;
  std::string out = "\"";
  for (size_t i = 0; i < text.size() && i < MAX_SHOWN; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > MAX_SHOWN) out += "...";
  out += '"';
  return out;
}

// ---- Endpoint text ----

enum class Kind { Serial, UdpIn, UdpOut, Tcp };

struct Endpoint {
  Kind kind = Kind::Serial;
  std::string path;  // serial
  int baud = 0;      // serial
  std::string host;  // network
  std::string port;  // network, decimal text of 1..65535
};

[[noreturn]] void malformed(std::string_view text, const std::string& why) {
  throw LinkError("bad MAVLink endpoint " + quoted(text) + ": " + why);
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

Endpoint parse_network(Kind kind, std::string_view text, std::string_view rest) {
  Endpoint ep;
  ep.kind = kind;
  std::string_view host;
  std::string_view port;
  if (rest.empty()) malformed(text, "missing HOST:PORT");
  if (rest.front() == '[') {  // bracketed IPv6 address
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) malformed(text, "unclosed '['");
    host = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (after.empty() || after.front() != ':') malformed(text, "missing port after the address");
    port = after.substr(1);
  } else {
    // The last colon separates the port, so an unbracketed IPv6 address also works.
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) malformed(text, "missing port (expected HOST:PORT)");
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty()) malformed(text, "empty host");
  const int number = all_digits(port) && port.size() <= 5 ? std::stoi(std::string(port)) : 0;
  if (number < 1 || number > 65535) malformed(text, "port must be a number from 1 to 65535");
  ep.host = std::string(host);
  ep.port = std::to_string(number);
  return ep;
}

Endpoint parse_endpoint(std::string_view text, int baud) {
  if (text.find('\0') != std::string_view::npos) malformed(text, "contains a NUL byte");
  struct Scheme {
    std::string_view prefix;
    Kind kind;
  };
  static constexpr Scheme SCHEMES[] = {{"udpin:", Kind::UdpIn},
                                       {"udp:", Kind::UdpIn},
                                       {"udpout:", Kind::UdpOut},
                                       {"tcp:", Kind::Tcp},
                                       {"serial:", Kind::Serial}};
  for (const Scheme& scheme : SCHEMES) {
    if (!starts_with_nocase(text, scheme.prefix)) continue;
    const std::string_view rest = text.substr(scheme.prefix.size());
    if (scheme.kind != Kind::Serial) return parse_network(scheme.kind, text, rest);
    Endpoint ep;
    ep.path = std::string(rest);
    ep.baud = baud;
    // Device paths may hold colons themselves (/dev/serial/by-path/...), so only a trailing
    // all-digit part is taken as the speed.
    const size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos && all_digits(rest.substr(colon + 1))) {
      const std::string_view digits = rest.substr(colon + 1);
      ep.path = std::string(rest.substr(0, colon));
      ep.baud = digits.size() > 9 ? -1 : std::stoi(std::string(digits));
    }
    if (ep.path.empty()) malformed(text, "empty device path");
    return ep;
  }
  if (text.empty()) malformed(text, "empty endpoint");
  Endpoint ep;
  ep.path = std::string(text);
  ep.baud = baud;
  return ep;
}

std::optional<speed_t> speed_constant(int baud) {
  static constexpr std::pair<int, speed_t> SPEEDS[] = {
      {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
      {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
      {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
      {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
      {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000}};
  for (const auto& [rate, constant] : SPEEDS) {
    if (rate == baud) return constant;
  }
  return std::nullopt;
}

// ---- Addresses ----

struct SockAddr {
  sockaddr_storage storage{};
  socklen_t len = 0;
  int family = AF_UNSPEC;

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

struct AddrInfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

std::vector<SockAddr> resolve(const Endpoint& ep, std::string_view text, int socktype,
                              bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = socktype;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(ep.host.c_str(), ep.port.c_str(), &hints, &list);
  if (rc != 0) {
    const std::string why = rc == EAI_SYSTEM ? errno_text(errno) : gai_strerror(rc);
    throw LinkError("cannot resolve host " + quoted(ep.host) + " of MAVLink endpoint " +
                    quoted(text) + ": " + why);
  }
  const std::unique_ptr<addrinfo, AddrInfoFree> guard(list);
  std::vector<SockAddr> out;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addr == nullptr || ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SockAddr addr;
    std::memcpy(&addr.storage, ai->ai_addr, ai->ai_addrlen);
    addr.len = ai->ai_addrlen;
    addr.family = ai->ai_family;
    out.push_back(addr);
  }
  if (out.empty()) {
    throw LinkError("host " + quoted(ep.host) + " of MAVLink endpoint " + quoted(text) +
                    " has no usable address");
  }
  return out;
}

int poll_ms(TimePoint now, TimePoint until) {
  if (until <= now) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

SteadyClock::duration wait_duration(double seconds) {
  if (!(seconds > 0)) return SteadyClock::duration::zero();  // also NaN
  return std::chrono::duration_cast<SteadyClock::duration>(
      std::chrono::duration<double>(std::min(seconds, MAX_WAIT_S)));
}

// ---- Common part of all connections ----

class BasicConnection : public Connection {
 public:
  BasicConnection(std::string endpoint, uint8_t sysid, uint8_t compid)
      : endpoint_(std::move(endpoint)), sysid_(sysid), compid_(compid) {
    wake_fd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_fd_) throw LinkError("cannot create an event fd: " + errno_text(errno));
  }

  std::optional<Message> recv(double timeout_s) override {
    if (closed_.load()) throw LinkError("MAVLink connection " + quoted(endpoint_) + " is closed");
    const TimePoint deadline = SteadyClock::now() + wait_duration(timeout_s);
    bool polled = false;
    for (;;) {
      // A message already here comes first: a wake only cuts a wait short, so a stream of
      // wake-ups (envelopes arriving) can never starve the link.
      if (auto msg = parser_.next()) return msg;
      if (woken_.exchange(false)) {
        drain_wake();
        return std::nullopt;
      }
      const TimePoint now = SteadyClock::now();
      if (polled && now >= deadline) return std::nullopt;
      polled = true;  // even a zero timeout reads what is waiting

      pollfd fds[2] = {{wake_fd_.get(), POLLIN, 0}, {-1, 0, 0}};
      TimePoint until = deadline;
      prepare_poll(fds[1], until, now);
      const int n = ::poll(fds, 2, poll_ms(now, std::min(until, deadline)));
      if (n < 0) {
        const int err = errno;
        if (err == EINTR) continue;
        throw LinkError("poll failed on MAVLink connection " + quoted(endpoint_) + ": " +
                        errno_text(err));
      }
      if (fds[0].revents != 0) {
        drain_wake();
        // The event fd can be left readable by a wake() whose flag an earlier recv() already
        // took; only the flag counts.
        if (woken_.exchange(false)) return std::nullopt;
      }
      if (fds[1].fd >= 0 && fds[1].revents != 0) on_poll(fds[1].revents);
    }
  }

  void send_payload(uint32_t msgid, std::span<const uint8_t> payload) override {
    const uint8_t seq = seq_.fetch_add(1, std::memory_order_relaxed);
    const std::vector<uint8_t> frame = encode_frame(msgid, payload, sysid_, compid_, seq);
    write(frame);
  }

  void wake() override {
    woken_.store(true);
    const uint64_t one = 1;
    // Can only fail when the counter is about to overflow, and then it is readable anyway.
    if (::write(wake_fd_.get(), &one, sizeof one) < 0) return;
  }

  // The event fd stays open until destruction so that wake() is safe at any time.
  void close() override {
    if (closed_.exchange(true)) return;
    close_transport();
  }

  uint64_t send_errors() const override { return send_errors_.load(std::memory_order_relaxed); }
  const std::string& endpoint() const override { return endpoint_; }

 protected:
  // Called on the recv() thread before each wait: fills `pfd` with the fd and events to wait
  // for (fd -1 for none) and may move `until` earlier to get control back sooner.
  virtual void prepare_poll(pollfd& pfd, TimePoint& until, TimePoint now) = 0;
  // Called on the recv() thread with the events of that fd; feeds what it reads to feed().
  virtual void on_poll(short revents) = 0;
  virtual void close_transport() = 0;

  void feed(std::span<const uint8_t> bytes) { parser_.push(bytes); }
  // A new stream, as after a reconnection: a frame cut short by the old one is dropped.
  void reset_stream() { parser_ = Parser(); }
  std::span<uint8_t> read_buffer() {
    if (read_buf_.empty()) read_buf_.resize(READ_CHUNK);  // only links that read need it
    return read_buf_;
  }
  void count_send_error() { send_errors_.fetch_add(1, std::memory_order_relaxed); }

 private:
  void drain_wake() {
    uint64_t count = 0;
    if (::read(wake_fd_.get(), &count, sizeof count) < 0) return;  // EAGAIN: nothing to drain
  }

  const std::string endpoint_;
  const uint8_t sysid_;
  const uint8_t compid_;
  std::atomic<uint8_t> seq_{0};
  std::atomic<uint64_t> send_errors_{0};
  std::atomic<bool> woken_{false};
  std::atomic<bool> closed_{false};
  Fd wake_fd_;
  Parser parser_;                  // recv() thread only
  std::vector<uint8_t> read_buf_;  // recv() thread only
};

// ---- Byte streams: serial lines and TCP ----

// Writes never block: what the fd does not take at once waits in a bounded queue and goes out
// on later writes or while recv() waits. Only whole frames are queued or dropped, so the byte
// stream stays intact.
class StreamConnection : public BasicConnection {
 public:
  StreamConnection(std::string endpoint, uint8_t sysid, uint8_t compid, bool socket)
      : BasicConnection(std::move(endpoint), sysid, compid), socket_(socket) {}

  void write(std::span<const uint8_t> bytes) override {
    if (bytes.empty()) return;
    const std::lock_guard lock(mu_);
    if (!fd_ || !ready_ || !flush_locked()) {
      count_send_error();
      return;
    }
    if (!out_.empty()) {
      if (out_.size() + bytes.size() > MAX_PENDING) {
        count_send_error();
        return;
      }
      out_.insert(out_.end(), bytes.begin(), bytes.end());
      return;
    }
    const ssize_t n = write_some(bytes);
    if (n < 0) {
      count_send_error();
      return;
    }
    // The start of the frame is out: the rest must follow whatever its size.
    out_.insert(out_.end(), bytes.begin() + n, bytes.end());
  }

 protected:
  // The fd as the recv() thread sees it; only that thread replaces it.
  int stream_fd() const { return fd_.get(); }

  bool has_pending() {
    const std::lock_guard lock(mu_);
    return !out_.empty();
  }

  void flush() {
    const std::lock_guard lock(mu_);
    if (!flush_locked()) count_send_error();
  }

  // Replaces the fd; `ready` says whether writes may use it yet.
  void install(Fd fd, bool ready) {
    const std::lock_guard lock(mu_);
    fd_ = std::move(fd);
    ready_ = ready;
    out_.clear();
  }

  void set_ready() {
    const std::lock_guard lock(mu_);
    ready_ = true;
  }

  void close_transport() override { install(Fd(), false); }

 private:
  // Bytes written (0 when the fd takes none now), or -1 on a failure.
  ssize_t write_some(std::span<const uint8_t> bytes) {
    for (;;) {
      const ssize_t n =
          socket_ ? ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                  : ::write(fd_.get(), bytes.data(), bytes.size());
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return -1;
    }
  }

  // False when the fd failed; the queue is then dropped.
  bool flush_locked() {
    while (!out_.empty()) {
      const ssize_t n = write_some(out_);
      if (n < 0) {
        out_.clear();
        return false;
      }
      if (n == 0) break;
      out_.erase(out_.begin(), out_.begin() + n);
    }
    return true;
  }

  const bool socket_;
  std::mutex mu_;
  Fd fd_;                     // replaced under mu_ by the recv() thread only
  bool ready_ = false;        // guarded by mu_
  std::vector<uint8_t> out_;  // guarded by mu_
};

// A serial line. When it hangs up or fails (a USB adapter pulled out, the flight controller
// rebooting), it is closed and opened again about once a second while recv() is called, so a
// cable glitch costs telemetry for a moment instead of ending the agent.
class SerialConnection final : public StreamConnection {
 public:
  SerialConnection(std::string endpoint, const std::string& path, speed_t speed, uint8_t sysid,
                   uint8_t compid)
      : StreamConnection(std::move(endpoint), sysid, compid, false), path_(path), speed_(speed) {
    install(open_line(), true);
    open_ = true;
  }

 protected:
  void prepare_poll(pollfd& pfd, TimePoint& until, TimePoint now) override {
    if (!open_ && now >= retry_at_) reopen(now);
    if (!open_) {
      until = retry_at_;  // only the wake fd is watched meanwhile: no busy loop
      return;
    }
    pfd.fd = stream_fd();
    pfd.events = static_cast<short>(POLLIN | (has_pending() ? POLLOUT : 0));
  }

  void on_poll(short revents) override {
    const TimePoint now = SteadyClock::now();
    if ((revents & POLLNVAL) != 0) return drop(now);
    if ((revents & POLLOUT) != 0) flush();
    if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    const std::span<uint8_t> buf = read_buffer();
    const ssize_t n = ::read(stream_fd(), buf.data(), buf.size());
    if (n > 0) {
      feed(buf.first(static_cast<size_t>(n)));
      return;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR) || (revents & (POLLHUP | POLLERR)) != 0)
      drop(now);
  }

  void close_transport() override {
    StreamConnection::close_transport();
    open_ = false;
  }

 private:
  Fd open_line() const {
    Fd fd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) fail("cannot open serial device ", errno);
    termios tio{};
    if (::tcgetattr(fd.get(), &tio) != 0) fail("not a serial device ", errno);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS | PARENB | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed_) != 0 || ::cfsetospeed(&tio, speed_) != 0 ||
        ::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
      fail("cannot set up serial device ", errno);
    }
    ::tcflush(fd.get(), TCIFLUSH);  // bytes from before we listened are stale
    return fd;
  }

  void drop(TimePoint now) {
    install(Fd(), false);
    open_ = false;
    retry_at_ = now + SERIAL_RETRY_INTERVAL;
  }

  void reopen(TimePoint now) {
    try {
      install(open_line(), true);
      open_ = true;
      reset_stream();  // a frame cut short by the hang-up is not completed by the new line
    } catch (const LinkError&) {
      retry_at_ = now + SERIAL_RETRY_INTERVAL;
    }
  }

  [[noreturn]] void fail(const char* what, int err) const {
    throw LinkError(what + quoted(path_) + ": " + errno_text(err));
  }

  const std::string path_;
  const speed_t speed_;
  // recv() thread only, like the reopening itself.
  bool open_ = false;
  TimePoint retry_at_{};
};

// Starts a non-blocking connect: the socket, and 0, EINPROGRESS or the error.
std::pair<Fd, int> start_connect(const SockAddr& addr) {
  Fd fd(::socket(addr.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return {Fd(), errno};
  const int one = 1;
  // Frames are small and latency matters more than packing them.
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd.get(), addr.get(), addr.len) == 0) return {std::move(fd), 0};
  const int err = errno == EINTR ? EINPROGRESS : errno;  // an interrupted connect goes on
  return {std::move(fd), err};
}

int socket_error(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

class TcpConnection final : public StreamConnection {
 public:
  TcpConnection(std::string endpoint, std::vector<SockAddr> addrs, uint8_t sysid, uint8_t compid)
      : StreamConnection(std::move(endpoint), sysid, compid, true), addrs_(std::move(addrs)) {
    const TimePoint deadline = SteadyClock::now() + TCP_CONNECT_TIMEOUT;
    int err = 0;
    for (size_t i = 0; i < addrs_.size(); ++i) {
      auto [fd, result] = start_connect(addrs_[i]);
      err = result;
      if (err == EINPROGRESS) {
        pollfd pfd{fd.get(), POLLOUT, 0};
        int n = 0;
        do {
          n = ::poll(&pfd, 1, poll_ms(SteadyClock::now(), deadline));
        } while (n < 0 && errno == EINTR);
        err = n > 0 ? socket_error(fd.get()) : n == 0 ? ETIMEDOUT : errno;
      }
      if (err == 0) {
        next_addr_ = i;
        install(std::move(fd), true);
        state_ = State::Connected;
        return;
      }
      if (SteadyClock::now() >= deadline) break;
    }
    throw LinkError("cannot connect to MAVLink endpoint " + quoted(this->endpoint()) + ": " +
                    errno_text(err));
  }

 protected:
  void prepare_poll(pollfd& pfd, TimePoint& until, TimePoint now) override {
    if (state_ == State::Disconnected && now >= retry_at_) begin_reconnect(now);
    if (state_ == State::Connecting && now >= connect_deadline_) disconnect(now);
    switch (state_) {
      case State::Connected:
        pfd.fd = stream_fd();
        pfd.events = static_cast<short>(POLLIN | (has_pending() ? POLLOUT : 0));
        break;
      case State::Connecting:
        pfd.fd = stream_fd();
        pfd.events = POLLOUT;
        until = connect_deadline_;
        break;
      case State::Disconnected:
        until = retry_at_;  // only the wake fd is watched meanwhile: no busy loop
        break;
    }
  }

  void on_poll(short revents) override {
    const TimePoint now = SteadyClock::now();
    if (state_ == State::Connecting) {
      if (socket_error(stream_fd()) != 0 || (revents & POLLNVAL) != 0) {
        disconnect(now);
        return;
      }
      state_ = State::Connected;
      reset_stream();
      set_ready();
      return;
    }
    if ((revents & POLLNVAL) != 0) {
      disconnect(now);
      return;
    }
    if ((revents & POLLOUT) != 0) flush();
    if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    const std::span<uint8_t> buf = read_buffer();
    const ssize_t n = ::recv(stream_fd(), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n > 0) {
      feed(buf.first(static_cast<size_t>(n)));
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      disconnect(now);  // closed or reset by the peer
    }
  }

  void close_transport() override {
    StreamConnection::close_transport();
    state_ = State::Disconnected;
  }

 private:
  enum class State { Connected, Connecting, Disconnected };

  void begin_reconnect(TimePoint now) {
    auto [fd, err] = start_connect(addrs_[next_addr_]);
    if (err == 0) {
      install(std::move(fd), true);
      state_ = State::Connected;
      reset_stream();
    } else if (err == EINPROGRESS) {
      install(std::move(fd), false);
      state_ = State::Connecting;
      connect_deadline_ = now + TCP_CONNECT_TIMEOUT;
    } else {
      disconnect(now);
    }
  }

  void disconnect(TimePoint now) {
    install(Fd(), false);
    state_ = State::Disconnected;
    retry_at_ = now + TCP_RETRY_INTERVAL;
    next_addr_ = (next_addr_ + 1) % addrs_.size();
  }

  const std::vector<SockAddr> addrs_;
  // recv() thread only, like the reconnection itself.
  State state_ = State::Disconnected;
  size_t next_addr_ = 0;
  TimePoint retry_at_{};
  TimePoint connect_deadline_{};
};

// ---- UDP ----

// One parser for all datagrams: they come from one autopilot, or from a few senders whose
// frames each fit in a datagram.
class UdpConnection final : public BasicConnection {
 public:
  // Without `target`, sends go to the sender of the last datagram received.
  UdpConnection(std::string endpoint, Fd fd, std::optional<SockAddr> target, uint8_t sysid,
                uint8_t compid)
      : BasicConnection(std::move(endpoint), sysid, compid),
        reply_to_sender_(!target),
        fd_(std::move(fd)),
        peer_(target) {}

  void write(std::span<const uint8_t> bytes) override {
    if (bytes.empty()) return;
    const std::lock_guard lock(mu_);
    if (!fd_) {
      count_send_error();
      return;
    }
    if (!peer_) return;  // nobody has sent to us yet: nowhere to send
    ssize_t n = 0;
    do {
      n = ::sendto(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT, peer_->get(),
                   peer_->len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) count_send_error();
  }

 protected:
  void prepare_poll(pollfd& pfd, TimePoint&, TimePoint) override {
    pfd.fd = fd_.get();
    pfd.events = POLLIN;
  }

  void on_poll(short revents) override {
    if ((revents & POLLNVAL) != 0) {
      throw LinkError("MAVLink connection " + quoted(endpoint()) + " has an invalid fd");
    }
    // Take what is waiting, up to a bound, so a busy link costs one poll per burst rather than
    // one per datagram.
    const std::span<uint8_t> buf = read_buffer();
    size_t taken = 0;
    for (int i = 0; i < MAX_DATAGRAMS_PER_POLL && taken < buf.size(); ++i) {
      SockAddr from;
      from.len = sizeof from.storage;
      const ssize_t n = ::recvfrom(fd_.get(), buf.data(), buf.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from.storage), &from.len);
      // Errors (nothing more to read, an ICMP report) end the burst.
      if (n < 0) return;
      if (reply_to_sender_ && from.len <= sizeof from.storage) {
        from.family = from.storage.ss_family;
        const std::lock_guard lock(mu_);
        peer_ = from;
      }
      feed(buf.first(static_cast<size_t>(n)));
      taken += static_cast<size_t>(n);
    }
  }

  static constexpr int MAX_DATAGRAMS_PER_POLL = 64;

  void close_transport() override {
    const std::lock_guard lock(mu_);
    fd_.reset();
  }

 private:
  const bool reply_to_sender_;
  std::mutex mu_;
  Fd fd_;                         // closed under mu_
  std::optional<SockAddr> peer_;  // guarded by mu_
};

Fd udp_socket(const SockAddr& addr) {
  Fd fd(::socket(addr.family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  // Room for bursts while the main loop is busy: each queued datagram costs far more than its
  // bytes, so the default buffer holds only a few hundred frames. The kernel caps the request.
  const int bytes = UDP_RECEIVE_BUFFER_BYTES;
  if (fd) ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  return fd;
}

std::unique_ptr<Connection> open_udp_in(const Endpoint& ep, std::string name, uint8_t sysid,
                                        uint8_t compid) {
  int err = 0;
  for (const SockAddr& addr : resolve(ep, name, SOCK_DGRAM, true)) {
    Fd fd = udp_socket(addr);
    if (fd && ::bind(fd.get(), addr.get(), addr.len) == 0) {
      return std::make_unique<UdpConnection>(std::move(name), std::move(fd), std::nullopt, sysid,
                                             compid);
    }
    err = errno;
  }
  throw LinkError("cannot listen on MAVLink endpoint " + quoted(name) + ": " + errno_text(err));
}

std::unique_ptr<Connection> open_udp_out(const Endpoint& ep, std::string name, uint8_t sysid,
                                         uint8_t compid) {
  int err = 0;
  // Not connected: an unreachable network at this moment must not fail the connection, it
  // only makes sends fail (and be counted) until it is back.
  for (const SockAddr& addr : resolve(ep, name, SOCK_DGRAM, false)) {
    Fd fd = udp_socket(addr);
    if (fd) {
      const int one = 1;
      ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
      return std::make_unique<UdpConnection>(std::move(name), std::move(fd), addr, sysid, compid);
    }
    err = errno;
  }
  throw LinkError("cannot open a socket for MAVLink endpoint " + quoted(name) + ": " +
                  errno_text(err));
}

}  // namespace

std::unique_ptr<Connection> open_connection(std::string_view endpoint, int baud, uint8_t sysid,
                                            uint8_t compid) {
  const Endpoint ep = parse_endpoint(endpoint, baud);
  std::string name(endpoint);
  switch (ep.kind) {
    case Kind::Serial: {
      const std::optional<speed_t> speed = speed_constant(ep.baud);
      if (!speed) {
        throw std::invalid_argument("unsupported serial speed " + std::to_string(ep.baud) +
                                    " for MAVLink endpoint " + quoted(endpoint));
      }
      return std::make_unique<SerialConnection>(std::move(name), ep.path, *speed, sysid, compid);
    }
    case Kind::UdpIn:
      return open_udp_in(ep, std::move(name), sysid, compid);
    case Kind::UdpOut:
      return open_udp_out(ep, std::move(name), sysid, compid);
    case Kind::Tcp: {
      std::vector<SockAddr> addrs = resolve(ep, name, SOCK_STREAM, false);
      return std::make_unique<TcpConnection>(std::move(name), std::move(addrs), sysid, compid);
    }
  }
  throw std::logic_error("unknown endpoint kind");
}

std::unique_ptr<Link> open_link(std::string_view endpoint, int baud, uint8_t sysid,
                                uint8_t compid) {
  return open_connection(endpoint, baud, sysid, compid);
}

}  // namespace orvel::mavlink
