#include "mavlink/frame.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace orvel::mavlink {
namespace {

// CRC-16/MCRF4XX one byte at a time: reflected polynomial 0x1021 (0x8408).
constexpr std::array<uint16_t, 256> kCrcTable = [] {
  std::array<uint16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    uint16_t crc = static_cast<uint16_t>(byte);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    table[byte] = crc;
  }
  return table;
}();

// The checksum of a frame: every byte after the start byte up to the end of the payload, then
// the message's CRC_EXTRA. `header` is the header's length, including the start byte.
uint16_t frame_checksum(const uint8_t* frame, size_t header, size_t payload_length,
                        uint8_t crc_extra) {
  const uint16_t crc = crc_accumulate({frame + 1, header - 1 + payload_length});
  return crc_accumulate({&crc_extra, 1}, crc);
}

uint16_t read_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool is_start_byte(uint8_t b) {
  return b == MAVLINK2_STX || b == MAVLINK1_STX;
}

}  // namespace

uint16_t crc_accumulate(std::span<const uint8_t> bytes, uint16_t crc) {
  for (const uint8_t b : bytes) crc = (crc >> 8) ^ kCrcTable[(crc ^ b) & 0xFF];
  return crc;
}

std::vector<uint8_t> encode_frame(uint32_t msgid, std::span<const uint8_t> payload, uint8_t sysid,
                                  uint8_t compid, uint8_t seq) {
  const MessageInfo* info = find_message(msgid);
  if (info == nullptr) {
    throw std::invalid_argument("MAVLink message id " + std::to_string(msgid) +
                                " is not in the dialect");
  }
  if (payload.size() > info->max_length) {
    throw std::invalid_argument(std::string("MAVLink payload of ") + info->name + " is " +
                                std::to_string(payload.size()) + " bytes, at most " +
                                std::to_string(info->max_length) + " allowed");
  }
  // MAVLink 2 drops trailing zeros, but always sends the first payload byte.
  size_t length = payload.size();
  while (length > 1 && payload[length - 1] == 0) --length;
  length = std::max<size_t>(length, 1);

  std::vector<uint8_t> frame(MAVLINK2_HEADER_LENGTH + length + CHECKSUM_LENGTH, 0);
  frame[0] = MAVLINK2_STX;
  frame[1] = static_cast<uint8_t>(length);
  frame[2] = 0;  // incompatibility flags
  frame[3] = 0;  // compatibility flags
  frame[4] = seq;
  frame[5] = sysid;
  frame[6] = compid;
  frame[7] = static_cast<uint8_t>(msgid);
  frame[8] = static_cast<uint8_t>(msgid >> 8);
  frame[9] = static_cast<uint8_t>(msgid >> 16);
  std::copy_n(payload.begin(), std::min(length, payload.size()),
              frame.begin() + MAVLINK2_HEADER_LENGTH);
  const uint16_t crc =
      frame_checksum(frame.data(), MAVLINK2_HEADER_LENGTH, length, info->crc_extra);
  frame[MAVLINK2_HEADER_LENGTH + length] = static_cast<uint8_t>(crc);
  frame[MAVLINK2_HEADER_LENGTH + length + 1] = static_cast<uint8_t>(crc >> 8);
  return frame;
}

void Parser::push(std::span<const uint8_t> bytes) {
  // Drop what next() has consumed first, so that the buffer holds only unparsed bytes.
  if (pos_ > 0) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
    pos_ = 0;
  }
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

size_t Parser::buffered() const {
  return buf_.size() - pos_;
}

std::optional<Message> Parser::next() {
  for (;;) {
    if (junk_ == MAX_FRAME_LENGTH) return take_junk();
    const size_t start = pos_ + junk_;
    if (start == buf_.size()) return std::nullopt;  // the junk run may go on

    if (!is_start_byte(buf_[start])) {
      // Extend the junk run up to the next start byte, or until the run is as long as it may be.
      const size_t limit = std::min(buf_.size(), pos_ + MAX_FRAME_LENGTH);
      size_t end = start + 1;
      while (end < limit && !is_start_byte(buf_[end])) ++end;
      junk_ = end - pos_;
      continue;
    }

    const MessageInfo* info = nullptr;
    size_t length = 0;
    switch (examine(start, info, length)) {
      case Verdict::kIncomplete:
        return std::nullopt;
      case Verdict::kInvalid:
        ++junk_;  // this start byte only: a real frame may begin right after it
        continue;
      case Verdict::kValid:
        // The junk before the frame goes first; the frame is examined again on the next call.
        if (junk_ > 0) return take_junk();
        return take_frame(info, length);
    }
  }
}

Parser::Verdict Parser::examine(size_t start, const MessageInfo*& info, size_t& length) const {
  const uint8_t* p = buf_.data() + start;
  const size_t available = buf_.size() - start;
  const bool v2 = p[0] == MAVLINK2_STX;
  const size_t header = v2 ? MAVLINK2_HEADER_LENGTH : MAVLINK1_HEADER_LENGTH;
  if (available < header) return Verdict::kIncomplete;

  const size_t payload_length = p[1];
  size_t signature = 0;
  if (v2) {
    const uint8_t incompat = p[2];
    if ((incompat & ~INCOMPAT_FLAG_SIGNED) != 0) return Verdict::kInvalid;
    if (incompat & INCOMPAT_FLAG_SIGNED) signature = SIGNATURE_LENGTH;
    info = find_message(p[7] | p[8] << 8 | static_cast<uint32_t>(p[9]) << 16);
    if (info == nullptr || payload_length > info->max_length) return Verdict::kInvalid;
  } else {
    info = find_message(p[5]);
    if (info == nullptr || payload_length != info->min_length) return Verdict::kInvalid;
  }

  length = header + payload_length + CHECKSUM_LENGTH + signature;
  if (available < length) return Verdict::kIncomplete;
  const uint16_t crc = frame_checksum(p, header, payload_length, info->crc_extra);
  if (crc != read_u16(p + header + payload_length)) return Verdict::kInvalid;
  return Verdict::kValid;
}

Message Parser::take_junk() {
  Message msg;  // BAD_DATA
  const auto begin = buf_.begin() + static_cast<std::ptrdiff_t>(pos_);
  msg.frame.assign(begin, begin + static_cast<std::ptrdiff_t>(junk_));
  pos_ += junk_;
  junk_ = 0;
  return msg;
}

Message Parser::take_frame(const MessageInfo* info, size_t length) {
  const uint8_t* p = buf_.data() + pos_;
  Message msg;
  msg.type = info->name;
  msg.info = info;
  msg.id = info->id;
  if (p[0] == MAVLINK2_STX) {
    msg.version = 2;
    msg.is_signed = (p[2] & INCOMPAT_FLAG_SIGNED) != 0;
    msg.seq = p[4];
    msg.sysid = p[5];
    msg.compid = p[6];
  } else {
    msg.version = 1;
    msg.seq = p[2];
    msg.sysid = p[3];
    msg.compid = p[4];
  }
  msg.frame.assign(p, p + length);
  pos_ += length;
  return msg;
}

}  // namespace orvel::mavlink
