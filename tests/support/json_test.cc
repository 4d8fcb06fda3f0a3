#include "support/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "tests/support/python_oracle.h"

namespace orvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.as_object()) keys.push_back(key);
  return keys;
}

// ---------------------------------------------------------------------------------------------
// Building and reading values in code

TEST(JsonValue, ObjectsKeepInsertionOrderAndFirstPositionOfAResetKey) {
  Json reply = Json::object({{"v", 1}, {"type", "ack"}, {"id", "r-1"}});
  reply["stage"] = "received";
  reply.set("type", "nack");
  reply["v"] = 2;
  EXPECT_EQ(keys_of(reply), (std::vector<std::string>{"v", "type", "id", "stage"}));
  EXPECT_EQ(reply.at("type").as_string(), "nack");
  EXPECT_EQ(reply.at("v").as_int(), 2);

  const Json twice = Json::object({{"a", 1}, {"b", 2}, {"a", 3}});
  EXPECT_EQ(keys_of(twice), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(twice.at("a").as_int(), 3);

  Json grown;  // null grows into what is asked of it
  grown["x"]["y"] = true;
  Json list;
  list.push_back(1);
  list.push_back("two");
  EXPECT_EQ(compact_json(grown), R"({"x":{"y":true}})");
  EXPECT_EQ(compact_json(list), R"([1,"two"])");
}

TEST(JsonValue, ConstructorsPickTheIntendedKind) {
  const std::string text = "s";
  const std::string_view view = text;
  const char* no_text = nullptr;
  const struct {
    Json value;
    Json::Kind kind;
  } cases[] = {
      {Json(), Json::Kind::Null},
      {Json(nullptr), Json::Kind::Null},
      {Json(no_text), Json::Kind::Null},
      {Json(true), Json::Kind::Bool},
      {Json(false), Json::Kind::Bool},
      {Json("literal"), Json::Kind::String},  // not bool
      {Json(""), Json::Kind::String},
      {Json(text), Json::Kind::String},
      {Json(view), Json::Kind::String},
      {Json(0), Json::Kind::Int},
      {Json(static_cast<short>(-3)), Json::Kind::Int},
      {Json(42u), Json::Kind::Int},
      {Json(std::numeric_limits<std::int64_t>::min()), Json::Kind::Int},
      {Json(std::uint64_t{9223372036854775807u}), Json::Kind::Int},
      {Json(std::uint64_t{9223372036854775808u}), Json::Kind::BigInt},
      {Json(1.0), Json::Kind::Real},
      {Json(0.5f), Json::Kind::Real},
      {Json(Json::Array{}), Json::Kind::Array},
      {Json::array({1, "a"}), Json::Kind::Array},
      {Json::object(), Json::Kind::Object},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value.kind(), c.kind) << compact_json(c.value);
  }
  EXPECT_EQ(Json(std::numeric_limits<std::uint64_t>::max()).integer_text(), "18446744073709551615");
}

TEST(JsonValue, AccessorsRefuseOtherKinds) {
  const Json object = Json::object({{"a", 1}});
  const Json array = Json::array({1});
  Json number = 5;
  EXPECT_THROW((void)Json("1").as_int(), JsonError);
  EXPECT_THROW((void)Json(1.0).as_int(), JsonError);
  EXPECT_THROW((void)Json::integer("99999999999999999999").as_int(), JsonError);
  EXPECT_THROW((void)Json(1).as_string(), JsonError);
  EXPECT_THROW((void)Json(1).as_bool(), JsonError);
  EXPECT_THROW((void)Json("x").as_double(), JsonError);
  EXPECT_THROW((void)Json(1).size(), JsonError);
  EXPECT_THROW((void)object.at("b"), JsonError);
  EXPECT_THROW((void)object["b"], JsonError);
  EXPECT_THROW((void)array.at(1), JsonError);
  EXPECT_THROW((void)array.as_object(), JsonError);
  EXPECT_THROW(number.set("a", 1), JsonError);
  EXPECT_THROW(number.push_back(1), JsonError);
  EXPECT_EQ(number.find("a"), nullptr);
  EXPECT_EQ(array.find("a"), nullptr);
  EXPECT_EQ(object.find("b"), nullptr);
  ASSERT_NE(object.find("a"), nullptr);
  EXPECT_EQ(object.find("a")->as_int(), 1);
  EXPECT_DOUBLE_EQ(Json::integer("100000000000000000000").as_double(), 1e20);
  EXPECT_EQ(Json(7).integer_text(), "7");
}

// MAVLink ids and fields are uint8_t and int8_t: they must become numbers, never booleans.
TEST(JsonValue, SmallIntegerTypesAreNumbers) {
  EXPECT_EQ(to_json(Json(std::uint8_t{7})), "7");
  EXPECT_EQ(to_json(Json(std::int8_t{-3})), "-3");
  EXPECT_EQ(to_json(Json(std::uint8_t{0})), "0");
  EXPECT_EQ(to_json(Json::object({{"sysid", std::uint8_t{255}}})), R"({"sysid": 255})");
  EXPECT_FALSE((std::is_constructible_v<Json, char>));
}

TEST(JsonValue, IntegerFromDecimalText) {
  const struct {
    const char* text;
    const char* printed;
    bool fits;
  } cases[] = {
      {"0", "0", true},
      {"-0", "0", true},
      {"007", "7", true},
      {"-00", "0", true},
      {"9223372036854775807", "9223372036854775807", true},
      {"9223372036854775808", "9223372036854775808", false},
      {"-9223372036854775808", "-9223372036854775808", true},
      {"-9223372036854775809", "-9223372036854775809", false},
      {"000123456789012345678901234567890", "123456789012345678901234567890", false},
      {"-18446744073709551616", "-18446744073709551616", false},
  };
  for (const auto& c : cases) {
    const Json n = Json::integer(c.text);
    EXPECT_EQ(n.integer_text(), c.printed) << c.text;
    EXPECT_EQ(n.is_int(), c.fits) << c.text;
    EXPECT_TRUE(n.is_integer()) << c.text;
    EXPECT_EQ(compact_json(n), c.printed) << c.text;
  }
  for (const char* bad : {"", "-", "+1", "1.0", "1e3", " 1", "12a", "--1"}) {
    EXPECT_THROW(Json::integer(bad), JsonError) << bad;
  }
}

TEST(JsonValue, EqualityComparesKindAndValue) {
  const struct {
    Json a;
    Json b;
    bool equal;
  } cases[] = {
      {Json(1), Json(1.0), false},
      {Json(1), Json(1), true},
      {Json(0.0), Json(-0.0), true},
      {Json(kNaN), Json(kNaN), false},
      {Json::integer("123456789012345678901234"), Json::integer("0123456789012345678901234"), true},
      {Json::integer("123456789012345678901234"), Json::integer("123456789012345678901235"), false},
      {Json("a"), Json("b"), false},
      {Json(), Json(false), false},
      {Json::object({{"a", 1}, {"b", 2}}), Json::object({{"b", 2}, {"a", 1}}), true},
      {Json::object({{"a", 1}}), Json::object({{"a", 1}, {"b", 2}}), false},
      {Json::object({{"a", 1}, {"c", 2}}), Json::object({{"a", 1}, {"b", 2}}), false},
      {Json::array({1, 2}), Json::array({2, 1}), false},
      {Json::array({Json::object({{"x", Json::array({1, "deep"})}})}),
       Json::array({Json::object({{"x", Json::array({1, "deeper"})}})}), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << compact_json(c.a) << " vs " << compact_json(c.b);
    EXPECT_EQ(c.b == c.a, c.equal) << compact_json(c.b) << " vs " << compact_json(c.a);
  }
}

// Large objects keep a sorted index besides the members; random edits must keep both in step.
TEST(JsonValue, ObjectEditsMatchASimpleModel) {
  std::mt19937 rng(7);
  Json object = Json::object();
  std::vector<std::pair<std::string, int>> model;
  for (int step = 0; step < 3000; ++step) {
    const std::string key = "k" + std::to_string(rng() % 60);
    const auto it = std::find_if(model.begin(), model.end(),
                                 [&](const auto& member) { return member.first == key; });
    if (rng() % 3 == 0) {
      EXPECT_EQ(object.as_object().erase(key), it != model.end());
      if (it != model.end()) model.erase(it);
    } else {
      const int value = static_cast<int>(rng() % 1000);
      object.set(key, value);
      if (it != model.end()) {
        it->second = value;
      } else {
        model.emplace_back(key, value);
      }
    }
    if (step % 50 == 0) {
      const Json copy = object;  // copies carry the index too
      ASSERT_EQ(copy.size(), model.size());
      std::size_t i = 0;
      for (const auto& [key_, value] : copy.as_object()) {
        EXPECT_EQ(key_, model[i].first);
        EXPECT_EQ(value.as_int(), model[i].second);
        ++i;
      }
      for (int k = 0; k < 60; ++k) {
        const std::string probe = "k" + std::to_string(k);
        const auto in_model = std::find_if(
            model.begin(), model.end(), [&](const auto& member) { return member.first == probe; });
        const Json* found = copy.find(probe);
        ASSERT_EQ(found != nullptr, in_model != model.end()) << probe << " at step " << step;
        if (found != nullptr) {
          EXPECT_EQ(found->as_int(), in_model->second);
        }
      }
    }
  }
}

// A value nested far deeper than the reader allows, built in code: copying, comparing,
// writing and destroying it must not use the call stack per level.
TEST(JsonValue, DeepValuesAreHandledWithoutRecursion) {
  constexpr int kDepth = 100000;
  Json deep = "bottom";
  std::string opening;
  std::string closing;
  for (int i = 0; i < kDepth; ++i) {
    if (i % 2 == 0) {
      Json::Array items;
      items.push_back(std::move(deep));
      deep = Json(std::move(items));
      opening += "[";  // reversed below
      closing += "]";
    } else {
      Json::Object members;
      members.set("k", std::move(deep));
      deep = Json(std::move(members));
      opening += ":\"k\"{";
      closing += "}";
    }
  }
  std::reverse(opening.begin(), opening.end());
  const std::string expected = opening + "\"bottom\"" + closing;
  Json copy = deep;
  EXPECT_TRUE(copy == deep);
  Json* bottom = &copy;
  while (!bottom->is_string()) bottom = bottom->is_array() ? &bottom->at(0) : bottom->find("k");
  *bottom = "changed";
  EXPECT_FALSE(copy == deep);
  EXPECT_EQ(compact_json(deep), expected);
  EXPECT_EQ(canonical_json(deep), expected);
  EXPECT_EQ(to_json(deep).size(), expected.size() + kDepth / 2);  // ": " instead of ":"
  EXPECT_FALSE(parse_json(expected).has_value());
  deep = std::move(*deep.find("k"));  // assigning from inside itself
  EXPECT_EQ(compact_json(deep), expected.substr(5, expected.size() - 6));
}

// ---------------------------------------------------------------------------------------------
// Reader

TEST(JsonReader, ReadsValuesExactly) {
  const struct {
    const char* text;
    const char* compact;
  } cases[] = {
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"-123456789012345678901234567890", "-123456789012345678901234567890"},
      {"9223372036854775807", "9223372036854775807"},
      {"9223372036854775808", "9223372036854775808"},
      {"18446744073709551616", "18446744073709551616"},
      {"-9223372036854775809", "-9223372036854775809"},
      {"-0", "0"},
      {"-0.0", "-0.0"},
      {"1.0", "1.0"},
      {"1E2", "100.0"},
      {"1e+2", "100.0"},
      {"1.50", "1.5"},
      {"0.0001", "0.0001"},
      {"10E-6", "1e-05"},
      {"1e400", "Infinity"},
      {"-1e400", "-Infinity"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"0.000e999999999999999", "0.0"},
      {"123456789e-400", "0.0"},
      {"0.00001e400", "Infinity"},
      {"2.4703282292062328e-324", "5e-324"},
      {"2.4703282292062327e-324", "0.0"},
      {"NaN", "NaN"},
      {"Infinity", "Infinity"},
      {"[-Infinity]", "[-Infinity]"},
      {"true", "true"},
      {"false", "false"},
      {"null", "null"},
      {" \t\r\n[ 1 , 2 ,{ } ,[ ] ] \n", "[1,2,{},[]]"},
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"b":{"y":1,"x":2,"y":3},"a":[]})", R"({"b":{"y":3,"x":2},"a":[]})"},
      {R"("\u00e9\ud83d\ude00\/\"\\\b\f\n\r\t")", R"("\u00e9\ud83d\ude00/\"\\\b\f\n\r\t")"},
      {R"("\u00C9\u0000")", R"("\u00c9\u0000")"},
      {"\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\"", R"("\u00e9\u20ac\ud83d\ude00\u007f")"},
      {"\xEF\xBB\xBF{}", "{}"},
  };
  for (const auto& c : cases) {
    std::string error;
    const std::optional<Json> value = parse_json(c.text, &error);
    ASSERT_TRUE(value.has_value()) << c.text << ": " << error;
    EXPECT_EQ(compact_json(*value), c.compact) << c.text;
  }
}

TEST(JsonReader, TellsIntegersFromReals) {
  EXPECT_TRUE(parse_json_or_throw("1").is_int());
  EXPECT_TRUE(parse_json_or_throw("100000000000000000000").is_big_int());
  for (const char* real : {"1.0", "1E2", "1e-2", "-0.0", "1e400"}) {
    EXPECT_TRUE(parse_json_or_throw(real).is_real()) << real;
  }
}

TEST(JsonReader, RefusesMalformedText) {
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"only space", "  \n"},
      {"truncated array", "[1, 2"},
      {"truncated object", R"({"a": 1)"},
      {"truncated member", R"({"a")"},
      {"truncated string", R"("abc)"},
      {"truncated escape", R"("abc\)"},
      {"truncated literal", "tru"},
      {"trailing comma in array", "[1,]"},
      {"trailing comma in object", R"({"a":1,})"},
      {"missing comma", "[1 2]"},
      {"missing colon", R"({"a" 1})"},
      {"number as key", "{1:2}"},
      {"unquoted key", "{a:1}"},
      {"text after the value", "{} x"},
      {"second value", "1 2"},
      {"extra bracket", "[1]]"},
      {"mismatched bracket", "[1}"},
      {"leading zero", "01"},
      {"plus sign", "+1"},
      {"bare minus", "-"},
      {"point without digits", "1."},
      {"point first", ".5"},
      {"exponent without digits", "1e"},
      {"hex number", "0x10"},
      {"negative NaN", "-NaN"},
      {"lowercase nan", "nan"},
      {"lowercase infinity", "infinity"},
      {"single quotes", "'a'"},
      {"unknown escape", R"("\x41")"},
      {"short unicode escape", R"("\u12")"},
      {"bad hex digit", R"("\u12G4")"},
      {"lone high surrogate", R"("\ud800")"},
      {"high surrogate then letter", R"("\ud800\u0041")"},
      {"lone low surrogate", R"("\udc00")"},
      {"raw control character", std::string("\"a\x01\"")},
      {"raw newline", "\"a\nb\""},
      {"raw NUL", std::string("\"a\0b\"", 5)},
      {"invalid continuation", "\"\xc3\x28\""},
      {"stray continuation", "\"\x80\""},
      {"overlong slash", "\"\xc0\xaf\""},
      {"overlong three bytes", "\"\xe0\x80\xaf\""},
      {"encoded surrogate", "\"\xed\xa0\x80\""},
      {"beyond U+10FFFF", "\"\xf4\x90\x80\x80\""},
      {"truncated sequence", "\"\xe2\x82\""},
      {"sequence cut by the end", "\"\xe2\x82"},
      {"byte 0xFF", "\"\xff\""},
      {"invalid UTF-8 outside strings", "[\xc3\xa9]"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(parse_json(c.text, &error).has_value()) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_THROW(parse_json_or_throw(c.text), JsonError) << c.name;
  }
  std::string error;
  (void)parse_json("[1,]", &error);
  EXPECT_NE(error.find("byte 3"), std::string::npos) << error;
}

TEST(JsonReader, RefusesNestingBeyondTheLimit) {
  const auto nested = [](std::size_t depth, const char* open, const char* inner,
                         const char* close) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    text += inner;
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
  };
  EXPECT_TRUE(parse_json(nested(kMaxJsonDepth, "[", "", "]")).has_value());
  EXPECT_TRUE(parse_json(nested(kMaxJsonDepth, R"({"a":)", "1", "}")).has_value());
  EXPECT_TRUE(parse_json(nested(kMaxJsonDepth / 2, R"([{"a":)", "1", "}]")).has_value());
  EXPECT_FALSE(parse_json(nested(kMaxJsonDepth + 1, "[", "", "]")).has_value());
  EXPECT_FALSE(parse_json(nested(kMaxJsonDepth + 1, R"({"a":)", "1", "}")).has_value());
  EXPECT_FALSE(parse_json(nested(kMaxJsonDepth / 2, R"([{"a":)", "[]", "}]")).has_value());
  EXPECT_FALSE(parse_json(std::string(100000, '[')).has_value());
  EXPECT_FALSE(parse_json(nested(100000, "[", "", "]")).has_value());
  EXPECT_FALSE(parse_json(nested(100000, R"({"":)", "0", "}")).has_value());
}

// About a megabyte, including one object with many repeated keys: reading must stay close to
// linear in the size.
TEST(JsonReader, ReadsAMegabyteQuickly) {
  std::string text = "{\"records\": [";
  for (int i = 0; i < 2000; ++i) {
    if (i > 0) text += ", ";
    text += R"({"id": )" + std::to_string(i) +
            R"(, "name": "r\u00e9cord", "values": [1.5, -2, true, null], "ok": false})";
  }
  text += "], \"index\": {";
  for (int i = 0; i < 90000; ++i) {
    if (i > 0) text += ",";
    text += "\"key" + std::to_string(i % 60000) + "\":" + std::to_string(i);
  }
  text += "}}";
  ASSERT_GT(text.size(), 1000000u);

  const std::optional<Json> value = parse_json(text);

  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->at("records").size(), 2000u);
  const Json& index = value->at("index");
  ASSERT_EQ(index.size(), 60000u);
  EXPECT_EQ(index.at("key0").as_int(), 60000);      // last value
  EXPECT_EQ(index.at("key59999").as_int(), 59999);  // not repeated
  EXPECT_EQ(keys_of(index).front(), "key0");
  EXPECT_EQ(keys_of(index).back(), "key59999");
  EXPECT_TRUE(parse_json_or_throw(compact_json(*value)) == *value);
}

// ---------------------------------------------------------------------------------------------
// Writers

TEST(JsonWriter, RealsPrintLikePython) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1.5, "1.5"},
      {100.0, "100.0"},
      {2.0, "2.0"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.0001, "0.0001"},
      {0.00012345, "0.00012345"},
      {0.0009999999999999998, "0.0009999999999999998"},
      {1e-05, "1e-05"},
      {-1.5e-7, "-1.5e-07"},
      {1234.5678, "1234.5678"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {123456789012345678.0, "1.2345678901234568e+17"},
      {1e100, "1e+100"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {5e-324, "5e-324"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {kNaN, "NaN"},
      {kInf, "Infinity"},
      {-kInf, "-Infinity"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_real(c.value), c.text);
    EXPECT_EQ(compact_json(Json(c.value)), c.text);
  }
}

TEST(JsonWriter, StringsAreEscapedToAscii) {
  const struct {
    std::string text;
    const char* written;
  } cases[] = {
      {"plain / text", R"("plain / text")"},
      {"\"\\\b\f\n\r\t", R"("\"\\\b\f\n\r\t")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f", R"("\u007f")"},
      {"\xc2\x80\xc3\xa9", R"("\u0080\u00e9")"},
      {"\xe2\x82\xac\xe2\x80\xa8\xef\xbf\xbf", R"("\u20ac\u2028\uffff")"},
      {"\xf0\x9f\x98\x80", R"("\ud83d\ude00")"},
      {"\xf4\x8f\xbf\xbf", R"("\udbff\udfff")"},
      {"a\xffz\xc3", R"("a\ufffdz\ufffd")"},  // not UTF-8
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_string(c.text), c.written);
    EXPECT_EQ(compact_json(Json(c.text)), c.written);
  }
}

TEST(JsonWriter, ThreeForms) {
  Json value = Json::object({
      {"b", 1},
      {"a",
       Json::object({{"\xf0\x9f\x98\x80", 1}, {"\xef\xbd\x9e", 2}, {"\xc3\xa9", 3}, {"Z", 4}})},
      {"c", Json::array({Json::object({{"y", -9223372036854775807 - 1}, {"x", 2.5}}), Json(),
                         Json::array(), Json::object(), false})},
      {"big", Json::integer("-123456789012345678901234567890")},
  });
  EXPECT_EQ(to_json(value),
            R"({"b": 1, "a": {"\ud83d\ude00": 1, "\uff5e": 2, "\u00e9": 3, "Z": 4}, )"
            R"("c": [{"y": -9223372036854775808, "x": 2.5}, null, [], {}, false], )"
            R"("big": -123456789012345678901234567890})");
  // Keys by code point: U+FF5E before U+1F600, though UTF-16 units would order them the other
  // way round.
  EXPECT_EQ(canonical_json(value), R"({"a":{"Z":4,"\u00e9":3,"\uff5e":2,"\ud83d\ude00":1},"b":1,)"
                                   R"("big":-123456789012345678901234567890,)"
                                   R"("c":[{"x":2.5,"y":-9223372036854775808},null,[],{},false]})");
  EXPECT_EQ(compact_json(value), R"({"b":1,"a":{"\ud83d\ude00":1,"\uff5e":2,"\u00e9":3,"Z":4},)"
                                 R"("c":[{"y":-9223372036854775808,"x":2.5},null,[],{},false],)"
                                 R"("big":-123456789012345678901234567890})");
}

// ---------------------------------------------------------------------------------------------
// Comparison with python3 on random values

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

std::string hex(std::string_view bytes) {
  std::string out;
  char buf[3];
  for (const char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(c));
    out += buf;
  }
  return out;
}

// Random values, each with a description that python rebuilds without any JSON involved:
// n t f, i<decimal>, r<bits of the double in hex>, s<hex of UTF-8>, a<count> items,
// o<count> key/value pairs.
class RandomValues {
 public:
  explicit RandomValues(std::uint64_t seed) : rng_(seed) {}

  Json value(std::string& description, int depth = 0) {
    const auto pick = below(depth < 4 ? 10 : 7);
    switch (pick) {
      case 0:
        description += " n";
        return Json();
      case 1: {
        const bool b = below(2) == 1;
        description += b ? " t" : " f";
        return Json(b);
      }
      case 2:
      case 3:
        return integer(description);
      case 4:
      case 5:
        return real(description);
      case 6: {
        const std::string s = text(12);
        description += " s" + hex(s);
        return Json(s);
      }
      case 7:
      case 8: {
        const auto count = below(6);
        description += " a" + std::to_string(count);
        Json::Array items;
        for (std::uint64_t i = 0; i < count; ++i) items.push_back(value(description, depth + 1));
        return Json(std::move(items));
      }
      default: {
        const auto count = below(7);
        description += " o" + std::to_string(count);
        Json object = Json::object();
        for (std::uint64_t i = 0; i < count; ++i) {
          const std::string k = key();
          description += " s" + hex(k);
          object.set(k, value(description, depth + 1));  // python's dict keeps the same order
        }
        return object;
      }
    }
  }

 private:
  std::uint64_t below(std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_);
  }

  Json integer(std::string& description) {
    static const char* const kEdges[] = {"9223372036854775806",
                                         "9223372036854775807",
                                         "9223372036854775808",
                                         "-9223372036854775807",
                                         "-9223372036854775808",
                                         "-9223372036854775809",
                                         "18446744073709551615",
                                         "18446744073709551616",
                                         "-18446744073709551616",
                                         "-0",
                                         "000",
                                         "00012"};
    std::string text;
    Json n;
    switch (below(5)) {
      case 0: {
        const auto v = static_cast<std::int64_t>(below(2001)) - 1000;
        text = std::to_string(v);
        n = Json(v);
        break;
      }
      case 1: {
        const auto v = static_cast<std::int64_t>(rng_());
        text = std::to_string(v);
        n = Json(v);
        break;
      }
      case 2: {
        const std::uint64_t v = rng_();
        text = std::to_string(v);
        n = Json(v);
        break;
      }
      case 3:
        text = kEdges[below(std::size(kEdges))];
        n = Json::integer(text);
        break;
      default:
        if (below(2) == 1) text = "-";
        for (auto digits = 1 + below(60); digits > 0; --digits) {
          text += static_cast<char>('0' + below(10));
        }
        n = Json::integer(text);
        break;
    }
    description += " i" + text;
    return n;
  }

  Json real(std::string& description) {
    static const double kSpecial[] = {
        0.0, -0.0, kInf, -kInf, kNaN, 5e-324, 1e16, 1e-05, 1e-04, 1e15, 1e-4 * (1 - 1e-16)};
    double x = 0;
    switch (below(6)) {
      case 0:  // any bit pattern: every exponent, subnormals, NaNs
        x = std::bit_cast<double>(rng_());
        break;
      case 1:  // subnormal
        x = std::bit_cast<double>(rng_() & 0x800FFFFFFFFFFFFFull);
        break;
      case 2: {  // near the switch between fixed and exponent notation
        const int e = static_cast<int>(below(26)) - 7;
        x = std::pow(10.0, e);
        for (auto steps = below(3); steps > 0; --steps) x = std::nextafter(x, below(2) ? kInf : 0);
        break;
      }
      case 3:  // short decimals
        x = static_cast<double>(static_cast<std::int64_t>(below(2000001)) - 1000000) /
            std::pow(10.0, static_cast<double>(below(8)));
        break;
      case 4:  // integral values around 2^53 and beyond
        x = std::ldexp(static_cast<double>(rng_() >> 11), static_cast<int>(below(30)));
        break;
      default:
        x = kSpecial[below(std::size(kSpecial))];
        break;
    }
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016" PRIx64, std::bit_cast<std::uint64_t>(x));
    description += std::string(" r") + buf;
    return Json(x);
  }

  std::string text(std::uint64_t max_length) {
    std::string s;
    for (auto n = below(max_length + 1); n > 0; --n) {
      char32_t cp = 0;
      switch (below(6)) {
        case 0:
        case 1:
          cp = static_cast<char32_t>(0x20 + below(0x5F));  // printable ASCII with " \ /
          break;
        case 2:
          cp = below(8) == 0 ? 0x7F : static_cast<char32_t>(below(0x20));
          break;
        case 3:
          cp = static_cast<char32_t>(0x80 + below(0x780));
          break;
        case 4:
          cp = static_cast<char32_t>(0x800 + below(0xD800 - 0x800));  // below the surrogates
          if (below(2) == 1) cp = static_cast<char32_t>(0xE000 + below(0x2000));  // above them
          break;
        default:
          cp = static_cast<char32_t>(0x10000 + below(0x100000));
          break;
      }
      append_utf8(s, cp);
    }
    return s;
  }

  // Often from a small set, so that objects get repeated keys and keys whose code point order
  // differs from their UTF-16 order.
  std::string key() {
    static const char* const kKeys[] = {"",
                                        "a",
                                        "b",
                                        "ab",
                                        "B",
                                        "\xc3\xa9",
                                        "\xee\x80\x80",
                                        "\xef\xbd\x9e",
                                        "\xef\xbf\xbf",
                                        "\xf0\x9f\x98\x80",
                                        "\xf4\x8f\xbf\xbf",
                                        "a\x7f"};
    if (below(2) == 0) return kKeys[below(std::size(kKeys))];
    return text(4);
  }

  std::mt19937_64 rng_;
};

bool contains_nan(const Json& v) {
  if (v.is_real()) return std::isnan(v.as_double());
  if (v.is_array()) return std::any_of(v.as_array().begin(), v.as_array().end(), contains_nan);
  if (v.is_object()) {
    for (const auto& [key, value] : v.as_object()) {
      if (contains_nan(value)) return true;
    }
  }
  return false;
}

constexpr const char* kPythonJson = R"PY(
import json, struct, sys

def build(tokens):
    kind, rest = next(tokens)
    if kind == 'n': return None
    if kind == 't': return True
    if kind == 'f': return False
    if kind == 'i': return int(rest)
    if kind == 'r': return struct.unpack('>d', bytes.fromhex(rest))[0]
    if kind == 's': return bytes.fromhex(rest).decode('utf-8')
    if kind == 'a': return [build(tokens) for _ in range(int(rest))]
    d = {}
    for _ in range(int(rest)):
        key = build(tokens)
        d[key] = build(tokens)
    return d

out = []
for line in open(sys.argv[1]).read().splitlines():
    v = build((t[0], t[1:]) for t in line.split())
    out.append(json.dumps(v, separators=(', ', ': ')))
    out.append(json.dumps(v, sort_keys=True, separators=(',', ':')))
    out.append(json.dumps(v, separators=(',', ':')))
    out.append(json.dumps(v, ensure_ascii=False, indent=1))
# Control characters are escaped even without ensure_ascii, so NUL can separate the texts.
open(sys.argv[2], 'wb').write(b'\0'.join(s.encode('utf-8') for s in out))
)PY";

TEST(JsonPython, WritersAndReaderAgreeWithPython) {
  constexpr std::size_t kValues = 3000;
  RandomValues random(20240501);
  std::vector<Json> values;
  std::vector<std::string> descriptions;
  std::string input;
  for (std::size_t i = 0; i < kValues; ++i) {
    std::string description;
    values.push_back(random.value(description));
    descriptions.push_back(description.substr(1));
    input += descriptions.back() + "\n";
  }
  const std::optional<std::string> output = testkit::run_python(kPythonJson, input);
  ASSERT_TRUE(output.has_value());
  std::vector<std::string> texts;
  for (std::size_t start = 0;;) {
    const std::size_t end = output->find('\0', start);
    texts.push_back(output->substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  ASSERT_EQ(texts.size(), 4 * kValues);

  std::size_t reported = 0;
  for (std::size_t i = 0; i < kValues && reported < 10; ++i) {
    const Json& value = values[i];
    const std::string* python = &texts[4 * i];
    const std::string compact = compact_json(value);
    std::string problems;
    if (to_json(value) != python[0]) problems += "\n usual form: " + to_json(value);
    if (canonical_json(value) != python[1]) problems += "\n canonical: " + canonical_json(value);
    if (compact != python[2]) problems += "\n compact: " + compact;
    // python's texts read back to the same value: its usual form and an indented UTF-8 form.
    for (const std::string* text : {&python[0], &python[3]}) {
      std::string error;
      const std::optional<Json> read = parse_json(*text, &error);
      if (!read) {
        problems += "\n cannot read " + *text + ": " + error;
      } else if (compact_json(*read) != compact || (!contains_nan(value) && !(*read == value))) {
        problems += "\n read " + *text + " as " + compact_json(*read);
      }
    }
    if (!problems.empty()) {
      ++reported;
      ADD_FAILURE() << "value " << descriptions[i] << "\n python: " << python[2] << problems;
    }
  }
}

}  // namespace
}  // namespace orvel
