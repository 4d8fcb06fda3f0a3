#pragma once
// What must hold for any input to the MAVLink stream parser. Shared by the fuzz target and by
// the test that replays the inputs it has found (tests/mavlink/fuzz_regressions_test.cc).

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/messages.h"

namespace orvel::mavlink::fuzzing {

// Re-checks a frame the parser accepted, without the parser's code: header, length, checksum.
inline std::string check_frame(const Message& msg) {
  const std::vector<uint8_t>& f = msg.frame;
  const bool v2 = msg.version == 2;
  const size_t header = v2 ? MAVLINK2_HEADER_LENGTH : MAVLINK1_HEADER_LENGTH;
  if (f.size() < header + CHECKSUM_LENGTH) return "accepted frame is too short";
  if (f[0] != (v2 ? MAVLINK2_STX : MAVLINK1_STX)) return "accepted frame has the wrong start";
  const uint32_t id = v2 ? (f[7] | f[8] << 8 | static_cast<uint32_t>(f[9]) << 16) : f[5];
  const MessageInfo* info = find_message(id);
  if (info == nullptr || info != msg.info || id != msg.id) return "accepted frame's id is wrong";
  if (msg.type != info->name) return "accepted frame's type is wrong";
  const size_t length = f[1];
  if (v2 ? length > info->max_length : length != info->min_length) return "impossible length";
  const bool is_signed = v2 && (f[2] & INCOMPAT_FLAG_SIGNED);
  if (v2 && (f[2] & ~INCOMPAT_FLAG_SIGNED)) return "accepted frame has unknown flags";
  if (is_signed != msg.is_signed) return "signed flag is wrong";
  if (f.size() != header + length + CHECKSUM_LENGTH + (is_signed ? SIGNATURE_LENGTH : 0))
    return "accepted frame has the wrong size";
  uint16_t crc = crc_accumulate(std::span(f).subspan(1, header - 1 + length));
  crc = crc_accumulate({&info->crc_extra, 1}, crc);
  if (f[header + length] != (crc & 0xFF) || f[header + length + 1] != crc >> 8)
    return "accepted frame has a bad checksum";
  if (msg.payload().size() != length) return "payload() has the wrong size";
  // Typed decoding of whatever arrived must be safe.
  std::apply([&](auto... typed) { ((void)msg.as<decltype(typed)>(), ...); }, TypedMessages{});
  return "";
}

struct Parsed {
  std::vector<Message> messages;
  std::string error;  // the first broken invariant, or empty
};

// Feeds `data` to a parser, in pieces of the given sizes (cycled, 0 read as 1; empty: all at
// once), draining
// it after each, and checks the invariants along the way.
inline Parsed parse_checked(std::span<const uint8_t> data, std::span<const uint8_t> chunks) {
  Parsed out;
  Parser parser;
  size_t pos = 0, returned = 0;
  for (size_t i = 0; pos < data.size() && out.error.empty(); ++i) {
    const size_t piece =
        chunks.empty() ? data.size() : std::max<size_t>(chunks[i % chunks.size()], 1);
    const size_t n = std::min(piece, data.size() - pos);
    parser.push(data.subspan(pos, n));
    pos += n;
    while (auto msg = parser.next()) {
      if (msg->frame.empty()) out.error = "empty message";
      if (!std::equal(msg->frame.begin(), msg->frame.end(), data.begin() + returned))
        out.error = "message bytes are not the input's next bytes";
      returned += msg->frame.size();
      if (msg->bad() && msg->frame.size() > MAX_FRAME_LENGTH) out.error = "BAD_DATA run too long";
      if (!msg->bad()) {
        const std::string e = check_frame(*msg);
        if (!e.empty()) out.error = e;
      }
      out.messages.push_back(std::move(*msg));
      if (!out.error.empty()) return out;
    }
    if (parser.buffered() >= Parser::MAX_BUFFERED) out.error = "parser holds too many bytes";
    if (returned + parser.buffered() != pos) out.error = "bytes lost or made up";
  }
  return out;
}

// All invariants for one input: the checks above with the input in one piece and in pieces of
// sizes taken from the input itself, and the same messages both ways.
inline std::string check_input(std::span<const uint8_t> data) {
  const Parsed whole = parse_checked(data, {});
  if (!whole.error.empty()) return "in one piece: " + whole.error;
  const Parsed split = parse_checked(data, data.first(std::min<size_t>(data.size(), 16)));
  if (!split.error.empty()) return "in pieces: " + split.error;
  if (split.messages.size() != whole.messages.size()) return "splitting changed the messages";
  for (size_t i = 0; i < whole.messages.size(); ++i) {
    if (split.messages[i].frame != whole.messages[i].frame ||
        split.messages[i].type != whole.messages[i].type)
      return "splitting changed the messages";
  }
  return "";
}

}  // namespace orvel::mavlink::fuzzing
