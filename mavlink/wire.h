#pragma once
// Field access for the typed messages of messages.h: little-endian values at fixed byte offsets
// of a payload, and the character arrays of text fields.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace orvel::mavlink {

namespace wire {

// MAVLink is little endian, and so is every board we run on (x86-64, arm64): a field's bytes
// are its bytes in memory.
static_assert(std::endian::native == std::endian::little,
              "MAVLink field access assumes a little-endian host");

// Writes `value` (a number or a std::array of numbers) at `Offset` of a payload buffer.
template <size_t Offset, class T>
void put(uint8_t* buf, const T& value) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memcpy(buf + Offset, &value, sizeof value);
}

// A payload zero-extended to the message's full length N, so that fields truncated away by a
// MAVLink 2 sender read as 0 and nothing is read beyond the received bytes.
template <size_t N>
class Padded {
 public:
  explicit Padded(std::span<const uint8_t> payload) {
    std::copy_n(payload.begin(), std::min(payload.size(), N), bytes_.begin());
  }

  template <size_t Offset, class T>
  void get(T& value) const {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert(Offset + sizeof value <= N, "field beyond the payload");
    std::memcpy(&value, bytes_.data() + Offset, sizeof value);
  }

 private:
  std::array<uint8_t, N> bytes_{};
};

}  // namespace wire

// The text of a character array field: up to its first NUL, or all N characters when it has
// none (a full field is not NUL-terminated).
template <size_t N>
std::string text(const std::array<char, N>& field) {
  return std::string(field.begin(), std::find(field.begin(), field.end(), '\0'));
}

// Fills a character array field with `value`, cut to N characters; the rest becomes NUL.
template <size_t N>
void set_text(std::array<char, N>& field, std::string_view value) {
  field.fill('\0');
  std::copy_n(value.begin(), std::min(value.size(), N), field.begin());
}

}  // namespace orvel::mavlink
