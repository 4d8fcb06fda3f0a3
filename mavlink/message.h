#pragma once
// A MAVLink message as the agent's modules see it: its type name, the sender's ids from the
// frame header, and the frame's bytes exactly as received. Fields are decoded on demand into
// the typed structs of messages.h (see Message::as).

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace orvel::mavlink {

// One entry of the dialect table (generated into common_table.cc).
struct MessageInfo {
  uint32_t id;
  const char* name;
  uint8_t crc_extra;
  uint8_t min_length;  // payload length without extension fields (the MAVLink 1 length)
  uint8_t max_length;  // payload length with extension fields
};

// Every message of the dialect, sorted by id.
std::span<const MessageInfo> dialect_messages();

// nullptr when the dialect has no such message. By id: a binary search (the parser looks up
// every frame); by name: slower, for set-up code.
const MessageInfo* find_message(uint32_t id);
const MessageInfo* find_message(std::string_view name);

inline constexpr std::string_view BAD_DATA = "BAD_DATA";

struct Message {
  // "BAD_DATA" for bytes that do not form a valid frame; then only `frame` is meaningful
  // (the discarded bytes) and `info` is null.
  std::string_view type = BAD_DATA;
  const MessageInfo* info = nullptr;
  uint32_t id = 0;
  uint8_t sysid = 0;
  uint8_t compid = 0;
  uint8_t seq = 0;
  uint8_t version = 2;  // 1 or 2: the framing it arrived in
  bool is_signed = false;
  std::vector<uint8_t> frame;  // complete frame: header, payload, checksum, signature if any

  bool bad() const { return info == nullptr; }
  // The payload as it was on the wire (MAVLink 2 may have truncated trailing zeros).
  std::span<const uint8_t> payload() const;
  // Typed decoding, zero-extending a truncated payload; nullopt when this is not a T.
  template <class T>
  std::optional<T> as() const {
    if (info == nullptr || id != T::ID) return std::nullopt;
    return T::decode(payload());
  }
};

}  // namespace orvel::mavlink
