#pragma once
// A MAVLink link on the master side of a pseudo-terminal, so the agent can reach the simulator
// through a serial device path (the slave side) without hardware.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/link.h"

namespace orvel::sim {

// For one thread. Writes never block: bytes the terminal does not take at once wait in a
// bounded queue, and whole frames are dropped when it is full. While nobody has the slave
// open, recv() just waits and returns nothing.
class PtyLink final : public mavlink::Link {
 public:
  // Opens a new pseudo-terminal in raw mode. Throws std::runtime_error when the system has none.
  PtyLink(uint8_t sysid, uint8_t compid);
  ~PtyLink() override;
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  // The device path a peer opens, e.g. /dev/pts/3.
  const std::string& slave_path() const { return slave_path_; }

  std::optional<mavlink::Message> recv(double timeout_s) override;
  void send_payload(uint32_t msgid, std::span<const uint8_t> payload) override;
  void write(std::span<const uint8_t> bytes) override;
  void wake() override;
  void close() override;

 private:
  void flush();

  int master_ = -1;
  int wake_fd_ = -1;
  std::string slave_path_;
  uint8_t sysid_, compid_;
  uint8_t seq_ = 0;
  std::vector<uint8_t> out_;
  mavlink::Parser parser_;
};

}  // namespace orvel::sim
