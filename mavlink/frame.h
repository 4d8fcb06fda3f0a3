#pragma once
// MAVLink framing: checksums, encoding of outgoing frames and the stream parser.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mavlink/message.h"

namespace orvel::mavlink {

inline constexpr uint8_t MAVLINK1_STX = 0xFE;
inline constexpr uint8_t MAVLINK2_STX = 0xFD;
inline constexpr uint8_t INCOMPAT_FLAG_SIGNED = 0x01;
inline constexpr size_t SIGNATURE_LENGTH = 13;

// CRC-16/MCRF4XX (X.25) as MAVLink uses it, seeded with 0xFFFF.
uint16_t crc_accumulate(std::span<const uint8_t> bytes, uint16_t crc = 0xFFFF);

// A MAVLink 2 frame for message `msgid` with the given untruncated payload; trailing zero bytes
// of the payload are removed (at least one byte stays). The message must be in the dialect
// table. Throws std::invalid_argument for an unknown id or a payload longer than the message.
std::vector<uint8_t> encode_frame(uint32_t msgid, std::span<const uint8_t> payload, uint8_t sysid,
                                  uint8_t compid, uint8_t seq);

// Splits a byte stream into messages. Bytes that cannot be part of a valid frame come back as
// "BAD_DATA" messages: one per bad frame or run of junk. Memory stays bounded whatever the input.
class Parser {
 public:
  void push(std::span<const uint8_t> bytes);
  // The next complete message or BAD_DATA run, or nullopt when more bytes are needed.
  std::optional<Message> next();
  // Bytes held back waiting for the rest of a frame.
  size_t buffered() const;

 private:
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;  // start of unparsed bytes in buf_
};

}  // namespace orvel::mavlink
