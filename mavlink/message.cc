#include "mavlink/message.h"

#include <algorithm>
#include <vector>

#include "mavlink/frame.h"

namespace orvel::mavlink {

const MessageInfo* find_message(uint32_t id) {
  const auto table = dialect_messages();
  const auto it = std::lower_bound(table.begin(), table.end(), id,
                                   [](const MessageInfo& m, uint32_t key) { return m.id < key; });
  return it != table.end() && it->id == id ? &*it : nullptr;
}

const MessageInfo* find_message(std::string_view name) {
  // The table sorted by name, made once on first use.
  static const std::vector<const MessageInfo*> by_name = [] {
    std::vector<const MessageInfo*> v;
    for (const MessageInfo& m : dialect_messages()) v.push_back(&m);
    std::sort(v.begin(), v.end(), [](const MessageInfo* a, const MessageInfo* b) {
      return std::string_view(a->name) < std::string_view(b->name);
    });
    return v;
  }();
  const auto it = std::lower_bound(
      by_name.begin(), by_name.end(), name,
      [](const MessageInfo* m, std::string_view key) { return std::string_view(m->name) < key; });
  return it != by_name.end() && (*it)->name == name ? *it : nullptr;
}

std::span<const uint8_t> Message::payload() const {
  // frame[1] is the payload length in both framings; the header is 10 bytes long in MAVLink 2
  // and 6 in MAVLink 1. A BAD_DATA run, or a frame too short for its length byte, has none.
  const size_t header = version == 1 ? MAVLINK1_HEADER_LENGTH : MAVLINK2_HEADER_LENGTH;
  if (bad() || frame.size() < header) return {};
  const size_t length = frame[1];
  if (frame.size() < header + length) return {};
  return std::span<const uint8_t>(frame).subspan(header, length);
}

}  // namespace orvel::mavlink
