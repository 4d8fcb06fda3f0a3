#include "support/base64.h"

namespace orvel {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for alphabet characters, -1 for everything else.
int sextet(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  int position = 0;    // of the next character within its group of four
  unsigned carry = 0;  // bits of the group not yet written out
  int pads = 0;        // "=" seen since the last alphabet character
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '=') {
      // Padding counts only once a group holds two characters; enough of it ends the input.
      if (position >= 2 && position + ++pads >= 4) return out;
      continue;
    }
    const int v = sextet(c);
    if (v < 0) continue;
    pads = 0;
    switch (position) {
      case 0:
        carry = static_cast<unsigned>(v);
        break;
      case 1:
        out += static_cast<char>((carry << 2 | static_cast<unsigned>(v) >> 4) & 0xFF);
        carry = static_cast<unsigned>(v) & 0x0F;
        break;
      case 2:
        out += static_cast<char>((carry << 4 | static_cast<unsigned>(v) >> 2) & 0xFF);
        carry = static_cast<unsigned>(v) & 0x03;
        break;
      default:
        out += static_cast<char>((carry << 6 | static_cast<unsigned>(v)) & 0xFF);
        carry = 0;
        break;
    }
    position = (position + 1) % 4;
  }
  if (position != 0) return std::nullopt;
  return out;
}

}  // namespace orvel
