#pragma once
// JSON values as the agent reads and writes them.
//
// Integers stay exact at any size and never turn into reals; 1 and 1.0 stay apart. Objects keep
// their members in the order in which they were put in. Nothing here recurses over the nesting
// (destruction, copies, comparison, the writers), so neither a hostile input nor a deep value
// built in code can overflow the stack; the reader refuses inputs nested deeper than
// kMaxJsonDepth.
//
//   Json reply = Json::object({{"v", 1}, {"type", "ack"}, {"id", id}});
//   reply["stage"] = "received";
//   std::string text = to_json(reply);
//
//   std::optional<Json> env = parse_json(payload);
//   if (!env || !env->is_object()) ...;
//   if (const Json* sig = env->find("sig"); sig && sig->is_string()) ...;

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace orvel {

class Json;

// A value of the wrong kind, a missing member or element, or unreadable text.
class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The members of an object in insertion order, each key once. Setting a key that is already
// there keeps its position and takes the new value.
class JsonObject {
 public:
  using Member = std::pair<std::string, Json>;
  using const_iterator = std::vector<Member>::const_iterator;

  JsonObject() = default;
  // Takes members as read from text: a key that comes again keeps its first position and takes
  // its last value.
  explicit JsonObject(std::vector<Member> members);

  std::size_t size() const;
  bool empty() const;
  // Members in insertion order. There is no mutable iteration: keys must not change under the
  // index; change values through find(), set() or operator[].
  const_iterator begin() const;
  const_iterator end() const;

  // nullptr when the key is absent.
  const Json* find(std::string_view key) const;
  Json* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Returns the stored value.
  Json& set(std::string_view key, Json value);
  // The member's value; a missing key is appended with null.
  Json& operator[](std::string_view key);
  // False when the key was absent.
  bool erase(std::string_view key);

  // Same keys with equal values; the order of members does not matter.
  friend bool operator==(const JsonObject& a, const JsonObject& b);

 private:
  friend class Json;
  static constexpr std::size_t kLinearSearchMax = 16;

  std::size_t position_of(std::string_view key) const;  // size() when absent
  std::vector<std::size_t>::const_iterator lower_bound(std::string_view key) const;
  void rebuild_index();

  std::vector<Member> members_;
  // Positions in members_ sorted by key, kept only while the object is larger than
  // kLinearSearchMax, so that objects read from large hostile inputs stay fast to search.
  std::vector<std::size_t> by_key_;
};

// The integer types Json takes as numbers: not bool, not the character types.
template <typename T>
concept JsonInteger = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                      !std::same_as<T, wchar_t> && !std::same_as<T, char8_t> &&
                      !std::same_as<T, char16_t> && !std::same_as<T, char32_t>;

// Character types: a character is neither a number nor text of its own (and must not slip
// through to the bool constructor).
template <typename T>
concept JsonCharacter = std::same_as<T, char> || std::same_as<T, wchar_t> ||
    std::same_as<T, char8_t> || std::same_as<T, char16_t> || std::same_as<T, char32_t>;

class Json {
 public:
  enum class Kind { Null, Bool, Int, BigInt, Real, String, Array, Object };
  using Array = std::vector<Json>;
  using Object = JsonObject;

  Json() noexcept = default;  // null
  Json(std::nullptr_t) noexcept {}
  Json(bool b) noexcept : value_(b) {}
  // Unsigned values beyond the signed 64-bit range become big integers.
  template <JsonInteger T>
  Json(T n) : value_(integer_value(n)) {}
  template <std::floating_point T>
  Json(T x) noexcept : value_(static_cast<double>(x)) {}
  template <JsonCharacter T>
  Json(T) = delete;
  // Text is UTF-8. A null pointer makes null.
  Json(const char* s);
  Json(char* s) : Json(static_cast<const char*>(s)) {}
  // Other pointers would silently become booleans.
  template <typename T>
  Json(T*) = delete;
  Json(std::string s) noexcept : value_(std::move(s)) {}
  Json(std::string_view s) : value_(std::string(s)) {}
  Json(Array items) noexcept : value_(std::move(items)) {}
  Json(Object members) noexcept : value_(std::move(members)) {}

  Json(const Json& other);
  Json(Json&& other) noexcept;
  Json& operator=(const Json& other);
  Json& operator=(Json&& other) noexcept;
  ~Json();

  static Json array(std::initializer_list<Json> items = {});
  // A key given twice keeps its first position and takes its last value.
  static Json object(std::initializer_list<std::pair<std::string_view, Json>> members = {});
  // An integer from decimal text ("-" and digits; leading zeros allowed), exact at any size.
  // Throws JsonError on any other text.
  static Json integer(std::string_view decimal);

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_bool() const { return kind() == Kind::Bool; }
  bool is_int() const { return kind() == Kind::Int; }         // an integer that fits 64 bits
  bool is_big_int() const { return kind() == Kind::BigInt; }  // an integer beyond 64 bits
  bool is_integer() const { return is_int() || is_big_int(); }
  bool is_real() const { return kind() == Kind::Real; }
  bool is_number() const { return is_integer() || is_real(); }
  bool is_string() const { return kind() == Kind::String; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }

  // Accessors throw JsonError when the value is of another kind; none of them converts between
  // kinds except as_double.
  bool as_bool() const;
  std::int64_t as_int() const;
  // Any number; big integers are rounded to the nearest double (or an infinity).
  double as_double() const;
  const std::string& as_string() const;
  // Decimal text of any integer, exact.
  std::string integer_text() const;
  const Array& as_array() const;
  Array& as_array();
  const Object& as_object() const;
  Object& as_object();

  // Objects. find() gives nullptr when the key is absent or this is not an object, so reading a
  // hostile envelope needs no kind check before each look-up.
  const Json* find(std::string_view key) const;
  Json* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Throws JsonError when this is not an object or the key is absent.
  const Json& at(std::string_view key) const;
  const Json& operator[](std::string_view key) const { return at(key); }
  // Null turns into an empty object first; throws JsonError for other non-objects.
  Json& set(std::string_view key, Json value);
  Json& operator[](std::string_view key);

  // Arrays. Indexes are checked (JsonError). push_back turns null into an empty array first.
  const Json& at(std::size_t index) const;
  Json& at(std::size_t index);
  const Json& operator[](std::size_t index) const { return at(index); }
  Json& operator[](std::size_t index) { return at(index); }
  void push_back(Json value);

  // Elements of an array or members of an object; throws JsonError for other kinds.
  std::size_t size() const;
  bool empty() const { return size() == 0; }

  // Same kind and same value: 1 and 1.0 differ, reals compare as doubles (NaN differs from
  // itself), objects compare without regard to member order.
  friend bool operator==(const Json& a, const Json& b);

  // The name of a kind for messages: "null", "boolean", "integer", "real", "text", ...
  static const char* kind_name(Kind kind);

 private:
  friend class JsonObject;
  struct BigInt {
    std::string digits;  // "-" and digits, no leading zeros, outside the int64 range
    bool operator==(const BigInt&) const = default;
  };
  // Alternatives in the order of Kind.
  using Value =
      std::variant<std::nullptr_t, bool, std::int64_t, BigInt, double, std::string, Array, Object>;

  template <JsonInteger T>
  static Value integer_value(T n) {
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
      if (n > static_cast<T>(INT64_MAX)) return BigInt{std::to_string(n)};
    }
    return static_cast<std::int64_t>(n);
  }
  static Value shallow_copy(const Value& v);
  bool has_nested_containers() const;
  void release_children() noexcept;
  [[noreturn]] void wrong_kind(const char* wanted) const;

  Value value_;

  friend class JsonCodec;  // the writers, in json.cc
};

// Defined here, where Json is complete: members hold Json values.
inline std::size_t JsonObject::size() const {
  return members_.size();
}
inline bool JsonObject::empty() const {
  return members_.empty();
}
inline JsonObject::const_iterator JsonObject::begin() const {
  return members_.begin();
}
inline JsonObject::const_iterator JsonObject::end() const {
  return members_.end();
}

// Nesting deeper than this (arrays and objects inside each other) is refused by the reader.
inline constexpr std::size_t kMaxJsonDepth = 200;

// Reads one JSON text (UTF-8, an optional byte order mark, white space around the value) the way
// python's json.loads does: NaN, Infinity and -Infinity are read, numbers too large for a double
// become infinities and too small ones zero, and a key given twice keeps its last value at its
// first position. Refused: invalid UTF-8, unpaired surrogate escapes (so every string read is
// valid UTF-8), raw control characters in strings, truncated text, text after the value, and
// nesting deeper than kMaxJsonDepth. On refusal parse_json returns nullopt and, when `error` is
// given, stores the reason with its byte offset there; parse_json_or_throw throws JsonError.
std::optional<Json> parse_json(std::string_view text, std::string* error = nullptr);
Json parse_json_or_throw(std::string_view text);

// Layout choices of the writers. All forms print pure ASCII: strings escape \" \\ \b \f \n \r \t,
// every other character outside 0x20..0x7E as \uXXXX (lowercase hex, surrogate pairs above
// U+FFFF) and leave "/" alone; integers print in plain decimal; reals as json_real does. Bytes
// of a string that are not valid UTF-8 print as \ufffd.
struct JsonFormat {
  bool spaced = true;      // ", " and ": " instead of "," and ":"
  bool sort_keys = false;  // members by key in code point order instead of insertion order
};
void write_json_to(std::string& out, const Json& value, JsonFormat format);
std::string write_json(const Json& value, JsonFormat format);

// The agent's usual form: ", " and ": ", members in insertion order.
std::string to_json(const Json& value);

// Whether python's `not value` holds: null, false, 0, 0.0, "", [] and {}. The platform uses that
// reading for "missing", so request members are judged the same way here.
bool is_falsy(const Json& value);
// Text as it is, anything else as its JSON text: how an id is shown when it must be text.
std::string text_form(const Json& value);
// The signed form of a command body: "," and ":", members sorted by key at every level.
std::string canonical_json(const Json& value);
// "," and ":", members in insertion order (parameter snapshots).
std::string compact_json(const Json& value);

// A real as python's repr prints it: the shortest digits that read back to the same double, in
// fixed notation with at least one digit after the point when the value is zero or its
// magnitude is in [1e-4, 1e16), otherwise in exponent notation with a sign and at least two
// exponent digits; NaN, Infinity, -Infinity.
std::string json_real(double x);
// A quoted and escaped JSON string.
std::string json_string(std::string_view utf8);

}  // namespace orvel
