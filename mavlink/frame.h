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
inline constexpr size_t MAVLINK1_HEADER_LENGTH = 6;
inline constexpr size_t MAVLINK2_HEADER_LENGTH = 10;
inline constexpr size_t CHECKSUM_LENGTH = 2;
// The longest frame there is: signed MAVLink 2 with a 255-byte payload (280 bytes).
inline constexpr size_t MAX_FRAME_LENGTH =
    MAVLINK2_HEADER_LENGTH + 255 + CHECKSUM_LENGTH + SIGNATURE_LENGTH;

// CRC-16/MCRF4XX (X.25) as MAVLink uses it, seeded with 0xFFFF.
uint16_t crc_accumulate(std::span<const uint8_t> bytes, uint16_t crc = 0xFFFF);

// A MAVLink 2 frame for message `msgid` with the given untruncated payload; trailing zero bytes
// of the payload are removed (at least one byte stays). The message must be in the dialect
// table. Throws std::invalid_argument for an unknown id or a payload longer than the message.
std::vector<uint8_t> encode_frame(uint32_t msgid, std::span<const uint8_t> payload, uint8_t sysid,
                                  uint8_t compid, uint8_t seq);

// Splits a byte stream into messages. Bytes that cannot be part of a valid frame come back as
// "BAD_DATA" messages: one per bad frame or run of junk. Memory stays bounded whatever the input.
//
// A frame is valid when it starts with 0xFD (MAVLink 2) or 0xFE (MAVLink 1), its message id is
// in the dialect, its payload length fits the message (MAVLink 1: exactly min_length; MAVLink 2:
// at most max_length, and 0 is accepted: some senders, node-mavlink among them, truncate an
// all-zero payload to nothing, and the checksum still covers the id and the header), its
// MAVLink 2 incompatibility flags hold nothing but "signed", and its checksum with the
// message's CRC_EXTRA is right. A signed frame keeps its 13 signature bytes in `frame`; the
// signature is not verified.
//
// Every byte that does not start a valid frame is junk. Consecutive junk bytes, bad frames
// included, come back as one BAD_DATA message, which is cut when it reaches MAX_FRAME_LENGTH
// bytes. A start byte that turns out not to start a valid frame is junk on its own: scanning
// goes on from the byte after it, so a real frame inside a damaged one is still found. The
// result depends only on the bytes, not on how they were split between push() calls.
class Parser {
 public:
  // Appends bytes to parse. The parser keeps everything pushed until next() has taken it:
  // drain it (next() until nullopt) after each push to keep its memory small.
  void push(std::span<const uint8_t> bytes);
  // The next complete message or BAD_DATA run, or nullopt when more bytes are needed.
  std::optional<Message> next();
  // Bytes held back waiting for the rest of a frame. Once next() has returned nullopt this is
  // below MAX_BUFFERED: a pending junk run and the start of one frame.
  size_t buffered() const;

  static constexpr size_t MAX_BUFFERED = 2 * MAX_FRAME_LENGTH;

 private:
  enum class Verdict { kValid, kInvalid, kIncomplete };
  // Looks at the frame that would start at `start` (a start byte) and, when it is valid, sets
  // `info` and `length` (the whole frame's).
  Verdict examine(size_t start, const MessageInfo*& info, size_t& length) const;
  Message take_junk();
  Message take_frame(const MessageInfo* info, size_t length);

  std::vector<uint8_t> buf_;
  size_t pos_ = 0;   // start of unparsed bytes in buf_
  size_t junk_ = 0;  // how many bytes from pos_ on are known junk (the next BAD_DATA run)
};

}  // namespace orvel::mavlink
