// Cross-check with node-mavlink, an independent MAVLink implementation: we must read its frames
// (kept in tests/mavlink/data/node-vectors.json, made by tools/node/make-vectors.js) and it must
// read ours (through tools/node/decode-frames.js, where node and its packages are installed).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "mavlink/frame.h"
#include "mavlink/messages.h"
#include "tests/mavlink/mavlink_testing.h"
#include "tests/testkit/testkit.h"

namespace orvel::mavlink {
namespace {

using mavtest::field_mismatches;
using mavtest::with_typed;
using nlohmann::json;

std::string join(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

TEST(NodeVectors, EveryFrameParsesToTheSameFields) {
  const json doc =
      json::parse(testkit::read_file(testkit::test_data("mavlink/data/node-vectors.json")));
  const json& vectors = doc.at("vectors");
  ASSERT_GE(vectors.size(), 30u);
  for (const json& v : vectors) {
    const std::string what = v.at("description");
    const auto bytes = mavtest::from_hex(v.at("hex"));
    const auto msgs = mavtest::parse(bytes, {7});
    ASSERT_EQ(msgs.size(), 1u) << what;
    const Message& msg = msgs[0];
    ASSERT_FALSE(msg.bad()) << what;
    EXPECT_EQ(msg.type, v.at("name").get<std::string>()) << what;
    EXPECT_EQ(msg.id, v.at("msgid").get<uint32_t>()) << what;
    EXPECT_EQ(msg.version, v.at("version").get<int>()) << what;
    EXPECT_EQ(msg.is_signed, v.at("signed").get<bool>()) << what;
    EXPECT_EQ(msg.sysid, v.at("sysid").get<int>()) << what;
    EXPECT_EQ(msg.compid, v.at("compid").get<int>()) << what;
    EXPECT_EQ(msg.seq, v.at("seq").get<int>()) << what;
    EXPECT_EQ(msg.frame, bytes) << what;
    const bool typed = with_typed(msg.id, [&](auto type) {
      const auto decoded = msg.as<decltype(type)>();
      ASSERT_TRUE(decoded.has_value()) << what;
      EXPECT_EQ(join(field_mismatches(*decoded, v.at("fields"))), "") << what;
    });
    EXPECT_TRUE(typed) << what << ": no typed struct";
  }
}

// Runs a command and returns its standard output; throws when it fails.
std::string run(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  const int status = pclose(pipe);
  if (status != 0)
    throw std::runtime_error(command + " failed with status " + std::to_string(status));
  return out;
}

class NodeDecodesOurFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string tools = testkit::source_dir() + "/tools/node";
    if (!std::filesystem::exists(tools + "/node_modules/node-mavlink")) {
      GTEST_SKIP() << "node-mavlink is not installed in tools/node (scripts/install-deps runs "
                      "`npm ci` there); skipping the check of our frames with node-mavlink";
    }
    if (std::system("node --version > /dev/null 2>&1") != 0) {
      GTEST_SKIP() << "node is not installed; skipping the check of our frames with node-mavlink";
    }
    script_ = tools + "/decode-frames.js";
  }
  std::string script_;
};

// One message of each typed kind three ways: every field random, the first third of a random
// payload (so that the frame is truncated), and all zero (one payload byte on the wire).
struct Sent {
  std::vector<uint8_t> frame;
  std::function<std::vector<std::string>(const json&)> mismatches;
};

template <class T>
void add_samples(std::vector<Sent>& out, std::mt19937& rng) {
  T random;
  mavtest::fill_random(random, rng);
  uint8_t payload[255] = {};
  random.encode(payload);
  for (const T& msg : {random, T::decode({payload, T::MAX_LENGTH / 3}), T::decode({})}) {
    const auto seq = static_cast<uint8_t>(out.size());
    out.push_back({mavtest::frame_of(msg, 200, 191, seq),
                   [msg](const json& fields) { return field_mismatches(msg, fields); }});
  }
}

TEST_F(NodeDecodesOurFrames, EveryFieldArrivesUnchanged) {
  std::mt19937 rng(1234);
  std::vector<Sent> sent;
  std::apply([&](auto... msgs) { (add_samples<decltype(msgs)>(sent, rng), ...); }, TypedMessages{});

  const std::string path = (std::filesystem::temp_directory_path() /
                            ("orvel-mavlink-" + std::to_string(getpid()) + ".bin"))
                               .string();
  {
    std::ofstream out(path, std::ios::binary);
    for (const Sent& s : sent)
      out.write(reinterpret_cast<const char*>(s.frame.data()),
                static_cast<std::streamsize>(s.frame.size()));
  }
  const json decoded = json::parse(run("node '" + script_ + "' '" + path + "'"));
  std::filesystem::remove(path);

  ASSERT_EQ(decoded.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    const json& d = decoded[i];
    const std::string what = d.at("name").get<std::string>() + " #" + std::to_string(i);
    EXPECT_EQ(mavtest::from_hex(d.at("hex")), sent[i].frame) << what;
    EXPECT_EQ(d.at("version"), 2) << what;
    EXPECT_EQ(d.at("sysid"), 200) << what;
    EXPECT_EQ(d.at("compid"), 191) << what;
    EXPECT_EQ(d.at("seq"), i) << what;
    EXPECT_EQ(join(sent[i].mismatches(d.at("fields"))), "") << what;
  }
}

}  // namespace
}  // namespace orvel::mavlink
