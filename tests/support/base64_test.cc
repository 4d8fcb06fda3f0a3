#include "support/base64.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/support/python_oracle.h"

namespace orvel {
namespace {

TEST(Base64, EncodesWithPadding) {
  const struct {
    const char* bytes;
    const char* text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64_encode(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(base64_decode(c.text), c.bytes) << c.text;
  }
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  EXPECT_EQ(base64_decode(base64_encode(all_bytes)), all_bytes);
  EXPECT_EQ(base64_encode("\xfb\xff"), "+/8=");
}

TEST(Base64, DecodesLeniently) {
  const struct {
    std::string text;
    std::optional<std::string> bytes;
  } cases[] = {
      {"Zm9v\nYmFy\n", "foobar"},    // line breaks skipped
      {" Zm 9v*Y-m_Fy ", "foobar"},  // junk and the URL-safe letters skipped
      {std::string("Zm\0\xff"
                   "9v",
                   6),
       "foo"},            // any byte outside the alphabet
      {"Zg==Zm9v", "f"},  // stops at completed padding
      {"Zg=\n=", "f"},
      {"Z=g==", "f"},      // "=" before two characters does not count
      {"Zg=a=", "f\x06"},  // padding interrupted, then completed
      {"Zm9v=", "foo"},    // "=" at a group start is ignored
      {"Zm9v====", "foo"},
      {"====", ""},
      {"", ""},
      {"Zm8====", "fo"},
      {"Zg", std::nullopt},   // padding missing
      {"Zg=", std::nullopt},  // padding incomplete
      {"Zm9vZm=", std::nullopt},
      {"Z", std::nullopt},  // one character left over
      {"Zm9vZ===", std::nullopt},
      {"Z===", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64_decode(c.text), c.bytes) << c.text;
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

constexpr const char* kPythonBase64 = R"PY(
import base64, binascii, sys
out = []
for line in open(sys.argv[1]).read().split('\n')[:-1]:
    try:
        out.append('D' + base64.b64decode(bytes.fromhex(line)).hex())
    except binascii.Error:
        out.append('E')
open(sys.argv[2], 'w').write('\n'.join(out) + '\n')
)PY";

// Valid encodings damaged at random: junk, stray and missing padding, cut ends, data after
// padding. Python's answer (bytes or error) must be ours.
TEST(Base64, DecodesAsPythonDoes) {
  constexpr int kInputs = 5000;
  std::mt19937_64 rng(99);
  const auto below = [&rng](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  static const std::string kJunk = std::string(" \n\t-_*.\0\x80\xff", 10);
  std::vector<std::string> inputs;
  std::string listing;
  for (int i = 0; i < kInputs; ++i) {
    std::string bytes;
    for (std::size_t n = below(12); n > 0; --n) bytes += static_cast<char>(below(256));
    std::string text = base64_encode(bytes);
    for (std::size_t edits = below(4); edits > 0; --edits) {
      const std::size_t at = text.empty() ? 0 : below(text.size() + 1);
      switch (below(5)) {
        case 0:
          text.insert(at, 1, kJunk[below(kJunk.size())]);
          break;
        case 1:
          text.insert(at, below(3) + 1, '=');
          break;
        case 2:
          if (!text.empty()) text.erase(below(text.size()), 1);
          break;
        case 3:
          text.resize(at);
          break;
        default:
          text += base64_encode(std::string(below(4) + 1, 'x'));
          break;
      }
    }
    inputs.push_back(text);
    listing += hex(text) + "\n";
  }
  const std::optional<std::string> output = testkit::run_python(kPythonBase64, listing);
  ASSERT_TRUE(output.has_value());
  std::vector<std::string> answers;
  for (std::size_t start = 0; start < output->size();) {
    const std::size_t end = output->find('\n', start);
    answers.push_back(output->substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(answers.size(), inputs.size());
  int errors = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::optional<std::string> ours = base64_decode(inputs[i]);
    const std::string answer = ours ? "D" + hex(*ours) : "E";
    EXPECT_EQ(answer, answers[i]) << "input (hex) " << hex(inputs[i]);
    errors += answers[i] == "E";
  }
  // The damage must produce both outcomes often, or the comparison proves little.
  EXPECT_GT(errors, kInputs / 10);
  EXPECT_LT(errors, kInputs * 9 / 10);
}

}  // namespace
}  // namespace orvel
