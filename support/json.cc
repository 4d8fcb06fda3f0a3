#include "support/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numeric>

namespace orvel {

namespace {

struct CodePoint {
  char32_t value = 0;
  std::size_t length = 0;  // 0: not valid UTF-8
};

// Decodes one well-formed UTF-8 sequence at s[i] (s[i] >= 0x80): no overlong forms, no encoded
// surrogates, nothing above U+10FFFF.
CodePoint decode_utf8(std::string_view s, std::size_t i) {
  const auto byte = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned b0 = byte(i);
  std::size_t more = 0;
  unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  char32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    more = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    more = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    more = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {};
  }
  if (s.size() - i <= more) return {};
  const unsigned b1 = byte(i + 1);
  if (b1 < lo || b1 > hi) return {};
  cp = (cp << 6) | (b1 & 0x3F);
  for (std::size_t k = 2; k <= more; ++k) {
    const unsigned b = byte(i + k);
    if ((b & 0xC0) != 0x80) return {};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, more + 1};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// ---------------------------------------------------------------------------------------------
// Reader. Our own rather than nlohmann's: python's json.loads, which the platform uses, reads
// NaN, Infinity and -Infinity and turns 1E400 into inf, and canonical bodies must read the same
// here; nlohmann refuses all of these. Containers under construction live on an explicit stack,
// so the nesting costs heap, bounded by kMaxJsonDepth, never call stack.

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Json read() {
    if (text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;  // python drops it from bytes as well
    std::vector<Frame> stack;
    Json value;
    for (;;) {
      skip_space();
      if (at_end()) fail("unexpected end of text");
      const char c = peek();
      if (c == '[' || c == '{') {
        if (stack.size() >= kMaxJsonDepth) fail("nesting too deep");
        ++pos_;
        stack.push_back(Frame{c == '{', {}, {}, {}});
        skip_space();
        if (at_end() || peek() != (c == '{' ? '}' : ']')) {
          if (c == '{') read_key(stack.back());
          continue;  // on to the first element
        }
        ++pos_;
        value = close(stack);
      } else {
        value = read_scalar();
      }
      // Put the finished value into its container; a closing bracket finishes that one in turn.
      for (;;) {
        if (stack.empty()) {
          skip_space();
          if (!at_end()) fail("unexpected text after the value");
          return value;
        }
        Frame& top = stack.back();
        if (top.object) {
          top.members.emplace_back(std::move(top.key), std::move(value));
        } else {
          top.items.push_back(std::move(value));
        }
        skip_space();
        if (at_end()) fail("unexpected end of text");
        if (peek() == ',') {
          ++pos_;
          if (top.object) read_key(top);
          break;
        }
        if (peek() != (top.object ? '}' : ']')) {
          fail(top.object ? "expected ',' or '}'" : "expected ',' or ']'");
        }
        ++pos_;
        value = close(stack);
      }
    }
  }

 private:
  struct Frame {
    bool object;
    Json::Array items;
    std::vector<JsonObject::Member> members;
    std::string key;  // of the member being read
  };

  [[noreturn]] void fail(const char* reason) const {
    throw JsonError("invalid JSON at byte " + std::to_string(pos_) + ": " + reason);
  }
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  unsigned char byte_at(std::size_t i) const { return static_cast<unsigned char>(text_[i]); }
  void skip_space() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
      ++pos_;
    }
  }
  bool consume(std::string_view word) {
    if (!text_.substr(pos_).starts_with(word)) return false;
    pos_ += word.size();
    return true;
  }

  static Json close(std::vector<Frame>& stack) {
    Frame frame = std::move(stack.back());
    stack.pop_back();
    if (frame.object) return Json(JsonObject(std::move(frame.members)));
    return Json(std::move(frame.items));
  }

  void read_key(Frame& frame) {
    skip_space();
    if (at_end() || peek() != '"') fail("expected a member name");
    frame.key = read_string();
    skip_space();
    if (at_end() || peek() != ':') fail("expected ':'");
    ++pos_;
  }

  Json read_scalar() {
    switch (peek()) {
      case '"':
        return Json(read_string());
      case 't':
        if (consume("true")) return Json(true);
        break;
      case 'f':
        if (consume("false")) return Json(false);
        break;
      case 'n':
        if (consume("null")) return Json();
        break;
      case 'N':
        if (consume("NaN")) return Json(std::numeric_limits<double>::quiet_NaN());
        break;
      case 'I':
        if (consume("Infinity")) return Json(std::numeric_limits<double>::infinity());
        break;
      case '-':
        if (consume("-Infinity")) return Json(-std::numeric_limits<double>::infinity());
        return read_number();
      default:
        if (is_digit(peek())) return read_number();
        break;
    }
    fail("unexpected character");
  }

  void skip_digits() {
    while (!at_end() && is_digit(peek())) ++pos_;
  }

  Json read_number() {
    const std::size_t start = pos_;
    if (peek() == '-') ++pos_;
    if (at_end() || !is_digit(peek())) fail("invalid number");
    if (peek() == '0') {
      ++pos_;
    } else {
      skip_digits();
    }
    bool real = false;
    if (!at_end() && peek() == '.') {
      ++pos_;
      if (at_end() || !is_digit(peek())) fail("invalid number");
      skip_digits();
      real = true;
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (at_end() || !is_digit(peek())) fail("invalid number");
      skip_digits();
      real = true;
    }
    const std::string_view text = text_.substr(start, pos_ - start);
    const char* first = text.data();
    const char* last = first + text.size();
    if (!real) {
      std::int64_t n = 0;
      if (std::from_chars(first, last, n).ec == std::errc()) return Json(n);
      return Json::integer(text);  // beyond 64 bits
    }
    double x = 0;
    if (std::from_chars(first, last, x).ec == std::errc::result_out_of_range) {
      x = out_of_range(text);
    }
    return Json(x);
  }

  // from_chars leaves the value alone when it does not fit a double; python gives an infinity
  // or zero of the same sign. Which one follows from the decimal exponent of the first
  // non-zero digit: overflow needs it above 300, underflow below -300.
  static double out_of_range(std::string_view text) {
    const bool negative = text.front() == '-';
    if (negative) text.remove_prefix(1);
    const std::size_t e = text.find_first_of("eE");
    long long exponent = 0;
    if (e != std::string_view::npos) {
      std::size_t i = e + 1;
      const bool down = text[i] == '-';
      if (text[i] == '+' || text[i] == '-') ++i;
      for (; i < text.size(); ++i) {
        exponent = std::min(exponent * 10 + (text[i] - '0'), 1000000000LL);
      }
      if (down) exponent = -exponent;
    }
    const std::string_view mantissa = text.substr(0, e);
    const std::size_t point = mantissa.find('.');
    const std::string_view whole = mantissa.substr(0, point);
    long long lead = 0;
    if (whole != "0") {
      lead = static_cast<long long>(whole.size()) - 1;
    } else if (point != std::string_view::npos) {
      const std::string_view fraction = mantissa.substr(point + 1);
      const std::size_t first = fraction.find_first_not_of('0');
      if (first == std::string_view::npos) return negative ? -0.0 : 0.0;
      lead = -static_cast<long long>(first) - 1;
    }
    const double magnitude = lead + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
  }

  unsigned read_hex4() {
    if (text_.size() - pos_ < 4) fail("invalid \\u escape");
    unsigned value = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = peek();
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        fail("invalid \\u escape");
      }
      value = value * 16 + digit;
      ++pos_;
    }
    return value;
  }

  void read_escape(std::string& out) {
    ++pos_;  // the backslash
    if (at_end()) fail("unterminated string");
    const char c = peek();
    ++pos_;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += c;
        return;
      case 'b':
        out += '\b';
        return;
      case 'f':
        out += '\f';
        return;
      case 'n':
        out += '\n';
        return;
      case 'r':
        out += '\r';
        return;
      case 't':
        out += '\t';
        return;
      case 'u':
        break;
      default:
        --pos_;
        fail("invalid escape");
    }
    char32_t cp = read_hex4();
    if (cp >= 0xDC00 && cp <= 0xDFFF) fail("unpaired surrogate");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // Python would keep a lone surrogate, but it has no UTF-8 form: every string read here
      // stays valid UTF-8 instead.
      if (!consume("\\u")) fail("unpaired surrogate");
      const char32_t low = read_hex4();
      if (low < 0xDC00 || low > 0xDFFF) fail("unpaired surrogate");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, cp);
  }

  std::string read_string() {
    ++pos_;  // the opening quote
    std::string out;
    for (;;) {
      // Copy runs of ordinary characters at once.
      std::size_t run = pos_;
      while (run < text_.size()) {
        const unsigned char b = byte_at(run);
        if (b >= 0x80) {
          const std::size_t length = decode_utf8(text_, run).length;
          if (length == 0) break;
          run += length;
        } else if (b >= 0x20 && b != '"' && b != '\\') {
          ++run;
        } else {
          break;
        }
      }
      out.append(text_, pos_, run - pos_);
      pos_ = run;
      if (at_end()) fail("unterminated string");
      const unsigned char b = byte_at(pos_);
      if (b == '"') {
        ++pos_;
        return out;
      }
      if (b == '\\') {
        read_escape(out);
      } else if (b < 0x20) {
        fail("control character in string");
      } else {
        fail("invalid UTF-8");
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Writer pieces.

void append_unit(std::string& out, unsigned unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char escape[6] = {'\\',
                          'u',
                          kHex[(unit >> 12) & 0xF],
                          kHex[(unit >> 8) & 0xF],
                          kHex[(unit >> 4) & 0xF],
                          kHex[unit & 0xF]};
  out.append(escape, sizeof escape);
}

void append_string(std::string& out, std::string_view s) {
  out += '"';
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t run = i;
    while (run < s.size() && s[run] >= 0x20 && s[run] <= 0x7E && s[run] != '"' && s[run] != '\\') {
      ++run;
    }
    out.append(s, i, run - i);
    i = run;
    if (i == s.size()) break;
    const unsigned char b = static_cast<unsigned char>(s[i]);
    switch (b) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (b < 0x80) {
          append_unit(out, b);
          break;
        }
        const CodePoint cp = decode_utf8(s, i);
        if (cp.length == 0) {
          append_unit(out, 0xFFFD);  // not UTF-8: one replacement character per byte
          break;
        }
        if (cp.value > 0xFFFF) {
          const char32_t v = cp.value - 0x10000;
          append_unit(out, 0xD800 + (v >> 10));
          append_unit(out, 0xDC00 + (v & 0x3FF));
        } else {
          append_unit(out, cp.value);
        }
        i += cp.length;
        continue;
    }
    ++i;
  }
  out += '"';
}

void append_real(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "NaN";
    return;
  }
  if (std::isinf(x)) {
    out += x < 0 ? "-Infinity" : "Infinity";
    return;
  }
  // Shortest round-trip digits come from the scientific form: "-d.ddde+XX".
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
  const std::size_t e = sci.find('e');
  int exponent = 0;
  for (std::size_t i = e + 2; i < sci.size(); ++i) exponent = exponent * 10 + (sci[i] - '0');
  if (sci[e + 1] == '-') exponent = -exponent;
  // Python's repr switches to exponent form when the point would sit at -4 or beyond 16, and
  // then prints exactly what to_chars does.
  const int point = exponent + 1;
  if (point <= -4 || point > 16) {
    out += sci;
    return;
  }
  std::string_view mantissa = sci.substr(0, e);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits(mantissa.substr(0, 1));
  if (mantissa.size() > 2) digits += mantissa.substr(2);
  const auto count = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point < count) {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  } else {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
    out += ".0";
  }
}

}  // namespace

// Private access for the writer.
class JsonCodec {
 public:
  static void write(std::string& out, const Json& root, JsonFormat format) {
    const std::string_view item_separator = format.spaced ? ", " : ",";
    const std::string_view key_separator = format.spaced ? ": " : ":";
    struct Frame {
      const Json* node;
      std::size_t next = 0;
      std::vector<const JsonObject::Member*> sorted;  // with sort_keys only
    };
    // Containers being written, outermost first; the nesting never reaches the call stack.
    std::vector<Frame> stack;
    // Writes a scalar or an empty container whole, or opens a container and stacks it.
    const auto start = [&](const Json& v) {
      switch (v.kind()) {
        case Json::Kind::Null:
          out += "null";
          return;
        case Json::Kind::Bool:
          out += std::get<bool>(v.value_) ? "true" : "false";
          return;
        case Json::Kind::Int: {
          char buf[24];
          const auto r = std::to_chars(buf, buf + sizeof buf, std::get<std::int64_t>(v.value_));
          out.append(buf, r.ptr);
          return;
        }
        case Json::Kind::BigInt:
          out += std::get<Json::BigInt>(v.value_).digits;
          return;
        case Json::Kind::Real:
          append_real(out, std::get<double>(v.value_));
          return;
        case Json::Kind::String:
          append_string(out, std::get<std::string>(v.value_));
          return;
        case Json::Kind::Array:
          if (std::get<Json::Array>(v.value_).empty()) {
            out += "[]";
          } else {
            out += '[';
            stack.push_back(Frame{&v});
          }
          return;
        case Json::Kind::Object: {
          const JsonObject& object = std::get<JsonObject>(v.value_);
          if (object.empty()) {
            out += "{}";
            return;
          }
          out += '{';
          Frame frame{&v};
          if (format.sort_keys) {
            frame.sorted.reserve(object.size());
            for (const auto& member : object) frame.sorted.push_back(&member);
            // Byte order of UTF-8 is code point order (std::string compares bytes unsigned).
            std::sort(frame.sorted.begin(), frame.sorted.end(),
                      [](const auto* a, const auto* b) { return a->first < b->first; });
          }
          stack.push_back(std::move(frame));
          return;
        }
      }
    };
    start(root);
    while (!stack.empty()) {
      Frame& top = stack.back();  // start() may grow the stack: do not use `top` after it
      if (const auto* array = std::get_if<Json::Array>(&top.node->value_)) {
        if (top.next == array->size()) {
          out += ']';
          stack.pop_back();
          continue;
        }
        if (top.next > 0) out += item_separator;
        start((*array)[top.next++]);
      } else {
        const JsonObject& object = std::get<JsonObject>(top.node->value_);
        if (top.next == object.size()) {
          out += '}';
          stack.pop_back();
          continue;
        }
        if (top.next > 0) out += item_separator;
        const JsonObject::Member& member =
            format.sort_keys ? *top.sorted[top.next]
                             : object.begin()[static_cast<std::ptrdiff_t>(top.next)];
        ++top.next;
        append_string(out, member.first);
        out += key_separator;
        start(member.second);
      }
    }
  }
};

// ---------------------------------------------------------------------------------------------
// JsonObject

JsonObject::JsonObject(std::vector<Member> members) : members_(std::move(members)) {
  const std::size_t n = members_.size();
  if (n < 2) return;
  // A later duplicate hands its value to the first occurrence and is dropped.
  std::vector<bool> dropped(n, false);
  bool any_dropped = false;
  const auto merge = [&](std::size_t first, std::size_t later) {
    members_[first].second = std::move(members_[later].second);
    dropped[later] = true;
    any_dropped = true;
  };
  if (n <= kLinearSearchMax) {
    for (std::size_t i = 1; i < n; ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (!dropped[j] && members_[j].first == members_[i].first) {
          merge(j, i);
          break;
        }
      }
    }
  } else {
    // Sorting keeps large hostile objects at n log n; the stable sort keeps each key's
    // occurrences in input order.
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
      return members_[a].first < members_[b].first;
    });
    for (std::size_t i = 0; i < n;) {
      std::size_t j = i + 1;
      while (j < n && members_[order[j]].first == members_[order[i]].first)
        merge(order[i], order[j++]);
      i = j;
    }
  }
  if (any_dropped) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (dropped[i]) continue;
      if (kept != i) members_[kept] = std::move(members_[i]);
      ++kept;
    }
    members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(kept), members_.end());
  }
  rebuild_index();
}

void JsonObject::rebuild_index() {
  by_key_.clear();
  if (members_.size() <= kLinearSearchMax) return;
  by_key_.resize(members_.size());
  std::iota(by_key_.begin(), by_key_.end(), std::size_t{0});
  std::sort(by_key_.begin(), by_key_.end(),
            [this](std::size_t a, std::size_t b) { return members_[a].first < members_[b].first; });
}

std::vector<std::size_t>::const_iterator JsonObject::lower_bound(std::string_view key) const {
  return std::lower_bound(by_key_.begin(), by_key_.end(), key,
                          [this](std::size_t i, std::string_view k) {
                            return std::string_view(members_[i].first) < k;
                          });
}

std::size_t JsonObject::position_of(std::string_view key) const {
  if (by_key_.empty()) {
    for (std::size_t i = 0; i < members_.size(); ++i) {
      if (members_[i].first == key) return i;
    }
    return members_.size();
  }
  const auto it = lower_bound(key);
  if (it != by_key_.end() && members_[*it].first == key) return *it;
  return members_.size();
}

const Json* JsonObject::find(std::string_view key) const {
  const std::size_t i = position_of(key);
  return i < members_.size() ? &members_[i].second : nullptr;
}

Json* JsonObject::find(std::string_view key) {
  const std::size_t i = position_of(key);
  return i < members_.size() ? &members_[i].second : nullptr;
}

Json& JsonObject::set(std::string_view key, Json value) {
  const std::size_t i = position_of(key);
  if (i < members_.size()) {
    members_[i].second = std::move(value);
    return members_[i].second;
  }
  const auto slot = by_key_.empty() ? by_key_.end() : lower_bound(key);
  members_.emplace_back(std::string(key), std::move(value));
  if (!by_key_.empty()) {
    by_key_.insert(slot, members_.size() - 1);
  } else if (members_.size() > kLinearSearchMax) {
    rebuild_index();
  }
  return members_.back().second;
}

Json& JsonObject::operator[](std::string_view key) {
  if (Json* found = find(key)) return *found;
  return set(key, Json());
}

bool JsonObject::erase(std::string_view key) {
  const std::size_t i = position_of(key);
  if (i == members_.size()) return false;
  members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(i));
  if (members_.size() <= kLinearSearchMax) {
    by_key_.clear();
  } else if (!by_key_.empty()) {
    by_key_.erase(std::find(by_key_.begin(), by_key_.end(), i));
    for (std::size_t& p : by_key_) {
      if (p > i) --p;
    }
  }
  return true;
}

bool operator==(const JsonObject& a, const JsonObject& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const Json* other = b.find(key);
    if (other == nullptr || !(*other == value)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Json

namespace {
bool has_children(const Json& j) {
  return (j.is_array() && !j.as_array().empty()) || (j.is_object() && !j.as_object().empty());
}
}  // namespace

Json::Json(const char* s) {
  if (s != nullptr) value_ = std::string(s);
}

Json::Value Json::shallow_copy(const Value& v) {
  if (std::holds_alternative<Array>(v)) return Value(std::in_place_type<Array>);
  if (std::holds_alternative<Object>(v)) return Value(std::in_place_type<Object>);
  return v;
}

Json::Json(const Json& other) : value_(shallow_copy(other.value_)) {
  if (!has_children(other)) return;
  // Copies level by level through an explicit list of containers still to fill. Each
  // container is filled completely before its children are listed, so the listed pointers
  // stay valid.
  std::vector<std::pair<const Json*, Json*>> todo{{&other, this}};
  while (!todo.empty()) {
    const auto [from, to] = todo.back();
    todo.pop_back();
    if (const auto* items = std::get_if<Array>(&from->value_)) {
      Array& copy = std::get<Array>(to->value_);
      copy.reserve(items->size());
      for (const Json& item : *items) {
        copy.emplace_back();
        copy.back().value_ = shallow_copy(item.value_);
      }
      for (std::size_t i = 0; i < items->size(); ++i) {
        if (has_children((*items)[i])) todo.emplace_back(&(*items)[i], &copy[i]);
      }
    } else {
      const Object& members = std::get<Object>(from->value_);
      Object& copy = std::get<Object>(to->value_);
      copy.members_.reserve(members.size());
      for (const auto& [key, value] : members.members_) {
        copy.members_.emplace_back(key, Json());
        copy.members_.back().second.value_ = shallow_copy(value.value_);
      }
      copy.by_key_ = members.by_key_;
      for (std::size_t i = 0; i < members.size(); ++i) {
        const Json& value = members.members_[i].second;
        if (has_children(value)) todo.emplace_back(&value, &copy.members_[i].second);
      }
    }
  }
}

Json::Json(Json&& other) noexcept : value_(std::move(other.value_)) {
  other.value_.emplace<std::nullptr_t>();
}

Json& Json::operator=(const Json& other) {
  if (this != &other) {
    Json copy(other);
    value_.swap(copy.value_);
  }
  return *this;
}

Json& Json::operator=(Json&& other) noexcept {
  if (this != &other) {
    // `other` may live inside this value: take it out before the old value goes.
    Json taken(std::move(other));
    value_.swap(taken.value_);
  }
  return *this;
}

Json::~Json() {
  if (has_children(*this)) release_children();
}

void Json::release_children() noexcept {
  // Nested containers are moved into a flat list before anything is destroyed, so each
  // destructor sees at most one level of children and deep values never recurse.
  std::vector<Json> pending;
  const auto detach = [&pending](Json& j) {
    if (auto* items = std::get_if<Array>(&j.value_)) {
      for (Json& item : *items) {
        if (has_children(item)) pending.push_back(std::move(item));
      }
      items->clear();
    } else if (auto* members = std::get_if<Object>(&j.value_)) {
      for (auto& member : members->members_) {
        if (has_children(member.second)) pending.push_back(std::move(member.second));
      }
      members->members_.clear();
      members->by_key_.clear();
    }
  };
  detach(*this);
  while (!pending.empty()) {
    Json j = std::move(pending.back());
    pending.pop_back();
    detach(j);
  }
}

Json Json::array(std::initializer_list<Json> items) {
  return Json(Array(items));
}

Json Json::object(std::initializer_list<std::pair<std::string_view, Json>> members) {
  Object object;
  for (const auto& [key, value] : members) object.set(key, value);
  return Json(std::move(object));
}

Json Json::integer(std::string_view decimal) {
  std::string_view digits = decimal;
  const bool negative = digits.starts_with('-');
  if (negative) digits.remove_prefix(1);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), is_digit)) {
    throw JsonError("not an integer in decimal");
  }
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  std::string text = negative && digits != "0" ? "-" : "";
  text += digits;
  std::int64_t n = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
  if (r.ec == std::errc()) return Json(n);
  Json big;
  big.value_ = BigInt{std::move(text)};
  return big;
}

const char* Json::kind_name(Kind kind) {
  switch (kind) {
    case Kind::Null:
      return "null";
    case Kind::Bool:
      return "boolean";
    case Kind::Int:
    case Kind::BigInt:
      return "integer";
    case Kind::Real:
      return "real";
    case Kind::String:
      return "text";
    case Kind::Array:
      return "array";
    case Kind::Object:
      return "object";
  }
  return "unknown";
}

void Json::wrong_kind(const char* wanted) const {
  if (wanted == std::string_view("integer") && is_big_int()) {
    throw JsonError("integer beyond 64 bits: " + std::get<BigInt>(value_).digits);
  }
  throw JsonError(std::string("expected ") + wanted + ", got " + kind_name(kind()));
}

bool Json::as_bool() const {
  if (!is_bool()) wrong_kind("boolean");
  return std::get<bool>(value_);
}

std::int64_t Json::as_int() const {
  if (!is_int()) wrong_kind("integer");
  return std::get<std::int64_t>(value_);
}

double Json::as_double() const {
  switch (kind()) {
    case Kind::Int:
      return static_cast<double>(std::get<std::int64_t>(value_));
    case Kind::Real:
      return std::get<double>(value_);
    case Kind::BigInt: {
      const std::string& digits = std::get<BigInt>(value_).digits;
      double x = 0;
      const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), x);
      if (r.ec == std::errc::result_out_of_range) {
        x = digits.front() == '-' ? -std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::infinity();
      }
      return x;
    }
    default:
      wrong_kind("number");
  }
}

const std::string& Json::as_string() const {
  if (!is_string()) wrong_kind("text");
  return std::get<std::string>(value_);
}

std::string Json::integer_text() const {
  if (is_int()) return std::to_string(std::get<std::int64_t>(value_));
  if (!is_big_int()) wrong_kind("integer");
  return std::get<BigInt>(value_).digits;
}

const Json::Array& Json::as_array() const {
  if (!is_array()) wrong_kind("array");
  return std::get<Array>(value_);
}

Json::Array& Json::as_array() {
  if (!is_array()) wrong_kind("array");
  return std::get<Array>(value_);
}

const Json::Object& Json::as_object() const {
  if (!is_object()) wrong_kind("object");
  return std::get<Object>(value_);
}

Json::Object& Json::as_object() {
  if (!is_object()) wrong_kind("object");
  return std::get<Object>(value_);
}

const Json* Json::find(std::string_view key) const {
  const auto* members = std::get_if<Object>(&value_);
  return members != nullptr ? members->find(key) : nullptr;
}

Json* Json::find(std::string_view key) {
  auto* members = std::get_if<Object>(&value_);
  return members != nullptr ? members->find(key) : nullptr;
}

const Json& Json::at(std::string_view key) const {
  const Json* found = as_object().find(key);
  if (found == nullptr) throw JsonError("no member \"" + std::string(key) + "\"");
  return *found;
}

Json& Json::set(std::string_view key, Json value) {
  if (is_null()) value_.emplace<Object>();
  return as_object().set(key, std::move(value));
}

Json& Json::operator[](std::string_view key) {
  if (is_null()) value_.emplace<Object>();
  return as_object()[key];
}

const Json& Json::at(std::size_t index) const {
  const Array& items = as_array();
  if (index >= items.size()) {
    throw JsonError("index " + std::to_string(index) + " out of range (size " +
                    std::to_string(items.size()) + ")");
  }
  return items[index];
}

Json& Json::at(std::size_t index) {
  return const_cast<Json&>(static_cast<const Json&>(*this).at(index));
}

void Json::push_back(Json value) {
  if (is_null()) value_.emplace<Array>();
  as_array().push_back(std::move(value));
}

std::size_t Json::size() const {
  if (is_array()) return std::get<Array>(value_).size();
  if (is_object()) return std::get<Object>(value_).size();
  wrong_kind("array or object");
}

bool operator==(const Json& a, const Json& b) {
  // Pairs still to compare, so deep values never recurse.
  std::vector<std::pair<const Json*, const Json*>> todo{{&a, &b}};
  while (!todo.empty()) {
    const auto [x, y] = todo.back();
    todo.pop_back();
    if (x->kind() != y->kind()) return false;
    if (const auto* items = std::get_if<Json::Array>(&x->value_)) {
      const auto& others = std::get<Json::Array>(y->value_);
      if (items->size() != others.size()) return false;
      for (std::size_t i = 0; i < items->size(); ++i) todo.emplace_back(&(*items)[i], &others[i]);
    } else if (const auto* members = std::get_if<JsonObject>(&x->value_)) {
      const auto& others = std::get<JsonObject>(y->value_);
      if (members->size() != others.size()) return false;
      for (const auto& [key, value] : *members) {
        const Json* other = others.find(key);
        if (other == nullptr) return false;
        todo.emplace_back(&value, other);
      }
    } else if (!(x->value_ == y->value_)) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Reading and writing

std::optional<Json> parse_json(std::string_view text, std::string* error) {
  try {
    return Reader(text).read();
  } catch (const JsonError& e) {
    if (error != nullptr) *error = e.what();
    return std::nullopt;
  }
}

Json parse_json_or_throw(std::string_view text) {
  return Reader(text).read();
}

void write_json_to(std::string& out, const Json& value, JsonFormat format) {
  JsonCodec::write(out, value, format);
}

std::string write_json(const Json& value, JsonFormat format) {
  std::string out;
  write_json_to(out, value, format);
  return out;
}

std::string to_json(const Json& value) {
  return write_json(value, {.spaced = true});
}

std::string canonical_json(const Json& value) {
  return write_json(value, {.spaced = false, .sort_keys = true});
}

std::string compact_json(const Json& value) {
  return write_json(value, {.spaced = false});
}

std::string json_real(double x) {
  std::string out;
  append_real(out, x);
  return out;
}

std::string json_string(std::string_view utf8) {
  std::string out;
  append_string(out, utf8);
  return out;
}

bool is_falsy(const Json& value) {
  switch (value.kind()) {
    case Json::Kind::Null:
      return true;
    case Json::Kind::Bool:
      return !value.as_bool();
    case Json::Kind::Int:
      return value.as_int() == 0;
    case Json::Kind::BigInt:
      return false;
    case Json::Kind::Real:
      return value.as_double() == 0.0;
    case Json::Kind::String:
      return value.as_string().empty();
    case Json::Kind::Array:
    case Json::Kind::Object:
      return value.empty();
  }
  return false;
}

std::string text_form(const Json& value) {
  return value.is_string() ? value.as_string() : to_json(value);
}

}  // namespace orvel
