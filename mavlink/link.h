#pragma once
// The narrow interfaces the agent uses to talk MAVLink, so tests can replace the real link.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mavlink/message.h"

namespace orvel::mavlink {

// Sends messages with the link's own system and component ids and its own sequence numbers,
// always in MAVLink 2 framing. This is what modules are given to send with.
class Sender {
 public:
  virtual ~Sender() = default;
  // `payload` is the untruncated payload of message `msgid`; the sender truncates trailing
  // zeros, frames it and sends it.
  virtual void send_payload(uint32_t msgid, std::span<const uint8_t> payload) = 0;

  // Typed convenience: any struct of messages.h.
  template <class T>
  void send(const T& msg) {
    uint8_t buf[255] = {};
    const size_t n = msg.encode(buf);
    send_payload(T::ID, std::span<const uint8_t>(buf, n));
  }
};

// A connection to a MAVLink endpoint (see connection.h for how one is made).
class Link : public Sender {
 public:
  // Returns the next message, waiting at most `timeout_s` seconds; nullopt when the time is up
  // or wake() was called. Unparsable bytes come back as a "BAD_DATA" message.
  virtual std::optional<Message> recv(double timeout_s) = 0;
  // Writes bytes unchanged (one datagram on UDP). Routine network failures do not throw.
  virtual void write(std::span<const uint8_t> bytes) = 0;
  // Makes a recv() that is waiting, or the next one, return early. Safe from any thread.
  virtual void wake() = 0;
  virtual void close() = 0;
};

}  // namespace orvel::mavlink
