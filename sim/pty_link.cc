#include "sim/pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace orvel::sim {
namespace {

// Room for a burst of log data while the peer is slow to read; more is treated as loss.
constexpr size_t MAX_QUEUED = 64 * 1024;

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

PtyLink::PtyLink(uint8_t sysid, uint8_t compid) : sysid_(sysid), compid_(compid) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) fail("posix_openpt");
  try {
    if (::grantpt(master_) != 0) fail("grantpt");
    if (::unlockpt(master_) != 0) fail("unlockpt");
    const char* name = ::ptsname(master_);
    if (name == nullptr) fail("ptsname");
    slave_path_ = name;
    // On the master the settings apply to the slave: no echo or line editing of frames before
    // the peer sets its own mode.
    termios tio{};
    if (::tcgetattr(master_, &tio) != 0) fail("tcgetattr");
    ::cfmakeraw(&tio);
    if (::tcsetattr(master_, TCSANOW, &tio) != 0) fail("tcsetattr");
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl");
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) fail("eventfd");
  } catch (...) {
    close();
    throw;
  }
}

PtyLink::~PtyLink() {
  close();
}

void PtyLink::close() {
  if (master_ >= 0) ::close(master_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
  master_ = wake_fd_ = -1;
}

std::optional<mavlink::Message> PtyLink::recv(double timeout_s) {
  if (auto msg = parser_.next()) return msg;
  if (master_ < 0) return std::nullopt;
  using Steady = std::chrono::steady_clock;
  const auto deadline = Steady::now() + std::chrono::duration<double>(std::max(timeout_s, 0.0));
  for (;;) {
    const auto left = std::chrono::duration<double>(deadline - Steady::now()).count();
    const int ms = left > 0 ? static_cast<int>(std::ceil(left * 1000.0)) : 0;
    pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
                     {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, ms) < 0 && errno != EINTR) return std::nullopt;
    if (fds[1].revents & POLLIN) {
      uint64_t n;
      [[maybe_unused]] const auto r = ::read(wake_fd_, &n, sizeof n);
      return std::nullopt;
    }
    if (fds[0].revents & POLLOUT) flush();
    bool hung_up = (fds[0].revents & (POLLHUP | POLLERR)) != 0 && !(fds[0].revents & POLLIN);
    if (fds[0].revents & POLLIN) {
      uint8_t buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        parser_.push({buf, static_cast<size_t>(n)});
        if (auto msg = parser_.next()) return msg;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        hung_up = true;  // EIO: no slave open
      }
    }
    if (hung_up) {
      // Nobody on the slave side: the master would report that at once, so wait on the wake
      // descriptor alone for the rest of the time rather than spin.
      pollfd w{wake_fd_, POLLIN, 0};
      if (::poll(&w, 1, ms) > 0) {
        uint64_t n;
        [[maybe_unused]] const auto r = ::read(wake_fd_, &n, sizeof n);
      }
      return std::nullopt;
    }
    if (ms == 0) return std::nullopt;
  }
}

void PtyLink::send_payload(uint32_t msgid, std::span<const uint8_t> payload) {
  write(mavlink::encode_frame(msgid, payload, sysid_, compid_, seq_++));
}

void PtyLink::write(std::span<const uint8_t> bytes) {
  if (master_ < 0 || out_.size() + bytes.size() > MAX_QUEUED) return;
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  flush();
}

void PtyLink::wake() {
  if (wake_fd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const auto r = ::write(wake_fd_, &one, sizeof one);
}

void PtyLink::flush() {
  while (!out_.empty()) {
    const ssize_t n = ::write(master_, out_.data(), out_.size());
    if (n > 0) {
      out_.erase(out_.begin(), out_.begin() + n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // Full (EAGAIN) waits for the next flush; any other failure means no peer to send to.
      if (n < 0 && errno != EAGAIN) out_.clear();
      return;
    }
  }
}

}  // namespace orvel::sim
