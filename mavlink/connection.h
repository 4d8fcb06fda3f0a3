#pragma once
// MAVLink connections made from endpoint text.
//
// Endpoint forms (scheme names are case-insensitive):
//   /dev/ttyACM0                 a serial line at the given baud: raw, 8N1, no flow control.
//                                Anything that has none of the schemes below is a device path.
//                                When the line hangs up (adapter pulled, controller rebooting),
//                                recv() returns nothing and reopens it about once a second.
//   serial:/dev/ttyAMA0:921600   a serial line with its own speed (":BAUD" may be left out).
//   udpin:ADDR:PORT              listens on ADDR:PORT ("udp:" means the same). Sends go to the
//                                sender of the last datagram received and are dropped until one
//                                has arrived.
//   udpout:HOST:PORT             sends to HOST:PORT; HOST is looked up once, when the connection
//                                is made. Replies to the socket are read as well.
//   tcp:HOST:PORT                a TCP client. When the peer closes, recv() keeps returning
//                                nothing and reconnects to the same address about once a second;
//                                sends in the meantime are dropped.
// IPv6 addresses may be written in brackets: "udpin:[::]:14550".
//
// Threads: wake(), send_payload(), write() and send_errors() may be called from any thread, also
// while another thread waits in recv(). recv() is for one thread at a time, and close() must not
// run while another thread is in recv(). After close(), writes are dropped (and counted), wake()
// is harmless and recv() throws LinkError.
//
// Writes never block: on a serial line or TCP connection, bytes the system does not take at once
// wait in a bounded queue (sent on later writes and while recv() waits); when it is full, whole
// frames are dropped and counted.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "mavlink/link.h"

namespace orvel::mavlink {

// A connection that cannot be made (malformed endpoint text, unknown host, refused TCP
// connection, missing device), or a link used after close().
class LinkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Connection : public Link {
 public:
  // Writes dropped because of a routine failure: network or host unreachable, send buffer full,
  // peer gone, link closed. Such failures never throw.
  virtual uint64_t send_errors() const = 0;
  // The endpoint text the connection was made from.
  virtual const std::string& endpoint() const = 0;
};

// Opens `endpoint`; `baud` is used for serial lines only, and frames sent with send_payload()
// carry `sysid` and `compid`. Throws LinkError when the connection cannot be made and
// std::invalid_argument for a serial speed the system does not support.
std::unique_ptr<Connection> open_connection(std::string_view endpoint, int baud, uint8_t sysid,
                                            uint8_t compid);

// The same, for callers that need only the Link interface.
std::unique_ptr<Link> open_link(std::string_view endpoint, int baud, uint8_t sysid, uint8_t compid);

}  // namespace orvel::mavlink
