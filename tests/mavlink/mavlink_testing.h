#pragma once
// Helpers for the MAVLink codec and parser tests: random field values, field comparison with
// JSON from node-mavlink, and parsing a byte stream in chunks.

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "mavlink/frame.h"
#include "mavlink/messages.h"

namespace orvel::mavlink::mavtest {

template <class T>
inline constexpr bool is_std_array = false;
template <class T, size_t N>
inline constexpr bool is_std_array<std::array<T, N>> = true;
template <class T>
inline constexpr bool is_char_array = false;
template <size_t N>
inline constexpr bool is_char_array<std::array<char, N>> = true;

template <class T>
T random_scalar(std::mt19937& rng) {
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(std::uniform_real_distribution<double>(-1e4, 1e4)(rng));
  } else {
    using Wide = std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>;
    std::uniform_int_distribution<Wide> d(std::numeric_limits<T>::min(),
                                          std::numeric_limits<T>::max());
    return static_cast<T>(d(rng));
  }
}

// Sets every field of `msg` to a random value; text fields get printable text of random length.
template <class T>
void fill_random(T& msg, std::mt19937& rng) {
  msg.for_each_field([&](const char*, auto& field) {
    using F = std::decay_t<decltype(field)>;
    if constexpr (is_char_array<F>) {
      std::string s(std::uniform_int_distribution<size_t>(0, field.size())(rng), ' ');
      for (char& c : s) c = static_cast<char>(std::uniform_int_distribution<int>(32, 126)(rng));
      set_text(field, s);
    } else if constexpr (is_std_array<F>) {
      for (auto& v : field) v = random_scalar<typename F::value_type>(rng);
    } else {
      field = random_scalar<F>(rng);
    }
  });
}

// Every field by name, exactly (a char array as its numbers, NUL bytes included), to compare
// two messages with a readable difference.
template <class T>
nlohmann::json as_json(const T& msg) {
  nlohmann::json out = nlohmann::json::object();
  msg.for_each_field([&](const char* name, const auto& field) {
    using F = std::decay_t<decltype(field)>;
    if constexpr (is_std_array<F>) {
      for (const auto v : field) out[name].push_back(+v);
    } else {
      out[name] = +field;
    }
  });
  return out;
}

template <class V>
bool scalar_matches(V value, const nlohmann::json& j) {
  if constexpr (std::is_floating_point_v<V>) {
    return j.is_number() && j.get<double>() == static_cast<double>(value);
  } else if constexpr (sizeof(V) == 8) {
    return j.is_string() && j.get<std::string>() == std::to_string(value);  // 64-bit as text
  } else {
    return j.is_number_integer() && j.get<int64_t>() == static_cast<int64_t>(value);
  }
}

// The names of the fields of `msg` whose values differ from `fields` (node-mavlink's JSON:
// 64-bit integers as strings, char arrays as strings up to the first NUL).
template <class T>
std::vector<std::string> field_mismatches(const T& msg, const nlohmann::json& fields) {
  std::vector<std::string> bad;
  msg.for_each_field([&](const char* name, const auto& field) {
    using F = std::decay_t<decltype(field)>;
    bool ok = fields.contains(name);
    if (!ok) {
    } else if constexpr (is_char_array<F>) {
      ok = fields[name].is_string() && fields[name].template get<std::string>() == text(field);
    } else if constexpr (is_std_array<F>) {
      ok = fields[name].is_array() && fields[name].size() == field.size();
      for (size_t k = 0; ok && k < field.size(); ++k)
        ok = scalar_matches(field[k], fields[name][k]);
    } else {
      ok = scalar_matches(field, fields[name]);
    }
    if (!ok) bad.push_back(name);
  });
  return bad;
}

// Calls f(T{}) with the typed struct whose ID is `id`; false when there is none.
template <class F>
bool with_typed(uint32_t id, F&& f) {
  return std::apply(
      [&](auto... msgs) { return ((decltype(msgs)::ID == id ? (f(msgs), true) : false) || ...); },
      TypedMessages{});
}

// A frame of a typed message, as the link layer sends it.
template <class T>
std::vector<uint8_t> frame_of(const T& msg, uint8_t sysid = 1, uint8_t compid = 1,
                              uint8_t seq = 0) {
  uint8_t buf[255] = {};
  const size_t n = msg.encode(buf);
  return encode_frame(T::ID, std::span<const uint8_t>(buf, n), sysid, compid, seq);
}

inline std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Pushes `bytes` in pieces of the given sizes (cycled; empty: all at once), draining the parser
// after every push.
inline std::vector<Message> parse(std::span<const uint8_t> bytes,
                                  const std::vector<size_t>& chunks = {}) {
  Parser parser;
  std::vector<Message> out;
  size_t pos = 0;
  for (size_t i = 0; pos < bytes.size(); ++i) {
    const size_t n =
        chunks.empty() ? bytes.size() : std::min(chunks[i % chunks.size()], bytes.size() - pos);
    parser.push(bytes.subspan(pos, n));
    pos += n;
    while (auto msg = parser.next()) out.push_back(std::move(*msg));
  }
  return out;
}

}  // namespace orvel::mavlink::mavtest
