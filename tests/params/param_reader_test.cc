#include "params/param_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/link.h"
#include "mavlink/messages.h"
#include "support/json.h"
#include "tests/support/python_oracle.h"
#include "tests/testkit/testkit.h"

namespace orvel::params {
namespace {

using mavlink::MAV_PARAM_TYPE_INT32;
using mavlink::MAV_PARAM_TYPE_INT64;
using mavlink::MAV_PARAM_TYPE_INT8;
using mavlink::MAV_PARAM_TYPE_REAL32;
using mavlink::MAV_PARAM_TYPE_UINT16;
using mavlink::MAV_PARAM_TYPE_UINT32;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A float field carrying an integer's bytes, as PX4 sends integer parameters.
float int_bits(int32_t n) {
  return std::bit_cast<float>(n);
}

// A real parsed message, as the link hands it over.
template <class T>
mavlink::Message message(const T& msg, uint8_t sysid, uint8_t compid) {
  uint8_t buf[255] = {};
  const size_t n = msg.encode(buf);
  mavlink::Parser parser;
  parser.push(mavlink::encode_frame(T::ID, {buf, n}, sysid, compid, 0));
  return *parser.next();
}

// `raw` goes into param_id byte for byte (at most 16 bytes; the rest stays NUL).
mavlink::Message param_value(std::string_view raw, float value, uint16_t count, uint16_t index,
                             uint8_t type = MAV_PARAM_TYPE_REAL32, uint8_t sysid = 1,
                             uint8_t compid = 1) {
  mavlink::ParamValue pv;
  std::memcpy(pv.param_id.data(), raw.data(), std::min(raw.size(), pv.param_id.size()));
  pv.param_value = value;
  pv.param_type = type;
  pv.param_count = count;
  pv.param_index = index;
  return message(pv, sysid, compid);
}

class RecordingSender final : public mavlink::Sender {
 public:
  void send_payload(uint32_t msgid, std::span<const uint8_t> payload) override {
    sent.push_back({msgid, {payload.begin(), payload.end()}});
  }
  template <class T>
  std::vector<T> sent_as() const {
    std::vector<T> out;
    for (const auto& [id, payload] : sent)
      if (id == T::ID) out.push_back(T::decode(payload));
    return out;
  }
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> sent;
};

std::vector<int> indices_asked(const RecordingSender& mav) {
  std::vector<int> out;
  for (const auto& r : mav.sent_as<mavlink::ParamRequestRead>()) out.push_back(r.param_index);
  return out;
}

// Reads every snapshot with python: zlib.decompress, then json.loads refusing NaN and
// Infinity as strict JSON readers do. Our text must be exactly what python's json.dumps writes
// for the value it read; each line of the result is that text, or MISMATCH and ours.
constexpr const char* kPythonSnapshots = R"PY(
import json, struct, sys, zlib

def refuse(name):
    raise ValueError('not strict JSON: ' + name)

data = open(sys.argv[1], 'rb').read()
out = []
pos = 0
while pos < len(data):
    (n,) = struct.unpack_from('<I', data, pos)
    blob = data[pos + 4:pos + 4 + n]
    pos += 4 + n
    text = zlib.decompress(blob).decode('ascii')
    value = json.loads(text, parse_constant=refuse)
    again = json.dumps(value, separators=(',', ':'), allow_nan=False)
    out.append(again if again == text else 'MISMATCH ' + text)
open(sys.argv[2], 'w').write('\n'.join(out))
)PY";

std::vector<Json> read_with_python(const std::vector<std::string>& blobs) {
  std::string input;
  for (const std::string& blob : blobs) {
    // Level 6 is zlib's default level; its stream header is 78 9C.
    EXPECT_THAT(blob.substr(0, 2), ::testing::StrEq("\x78\x9c"));
    const auto n = static_cast<uint32_t>(blob.size());
    input.append(reinterpret_cast<const char*>(&n), sizeof n);
    input += blob;
  }
  std::vector<Json> out;
  if (blobs.empty()) return out;
  const std::optional<std::string> text = testkit::run_python(kPythonSnapshots, input);
  if (!text) return out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    const std::size_t end = std::min(text->find('\n', start), text->size());
    const std::string line = text->substr(start, end - start);
    start = end + 1;
    EXPECT_FALSE(line.starts_with("MISMATCH")) << line;
    out.push_back(parse_json(line).value_or(Json()));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Free functions

struct DecodeCase {
  const char* what;
  float value;
  uint8_t type;
  const char* autopilot;
  const char* json;  // the stored value as the snapshot writes it
};

TEST(DecodeValue, StoresIntegersRealsAndNull) {
  const DecodeCase cases[] = {
      {"px4 integer bytes 01 00 00 00", int_bits(1), MAV_PARAM_TYPE_INT32, "px4", "1"},
      {"px4 integer whose bytes are a NaN", int_bits(-1), MAV_PARAM_TYPE_INT32, "px4", "-1"},
      {"px4 integer whose bytes are +inf", int_bits(0x7F800000), MAV_PARAM_TYPE_UINT32, "px4",
       "2139095040"},
      {"ardupilot integer sent as 1.0", 1.0f, MAV_PARAM_TYPE_INT32, "ardupilot", "1"},
      {"truncated toward zero", -2.7f, MAV_PARAM_TYPE_INT8, "ardupilot", "-2"},
      {"generic truncates too", 2.9f, MAV_PARAM_TYPE_UINT16, "generic", "2"},
      {"integer beyond 32 bits", 3e9f, MAV_PARAM_TYPE_UINT32, "ardupilot", "3000000000"},
      {"integer beyond 64 bits, exact", 1e30f, MAV_PARAM_TYPE_INT32, "ardupilot",
       "1000000015047466219876688855040"},
      {"negative beyond 64 bits", -1e30f, MAV_PARAM_TYPE_INT32, "generic",
       "-1000000015047466219876688855040"},
      {"integer NaN", kNaN, MAV_PARAM_TYPE_INT32, "ardupilot", "null"},
      {"integer infinity", -kInf, MAV_PARAM_TYPE_INT32, "generic", "null"},
      {"real 0.1 as a float", 0.1f, MAV_PARAM_TYPE_REAL32, "px4", "0.1"},
      {"real whole number stays real", 1.0f, MAV_PARAM_TYPE_REAL32, "ardupilot", "1.0"},
      {"tie rounds to even, down", 0.0078125f, MAV_PARAM_TYPE_REAL32, "px4", "0.007812"},
      {"tie rounds to even, up", 0.0234375f, MAV_PARAM_TYPE_REAL32, "px4", "0.023438"},
      {"tie with an integer part", 123456.7890625f, MAV_PARAM_TYPE_REAL32, "px4", "123456.789062"},
      {"tiny negative keeps its sign", -1e-9f, MAV_PARAM_TYPE_REAL32, "px4", "-0.0"},
      {"largest float", std::numeric_limits<float>::max(), MAV_PARAM_TYPE_REAL32, "px4",
       "3.4028234663852886e+38"},
      {"64-bit type is not an integer type", 3.5f, MAV_PARAM_TYPE_INT64, "ardupilot", "3.5"},
      {"real NaN", kNaN, MAV_PARAM_TYPE_REAL32, "px4", "null"},
      {"real infinity", kInf, MAV_PARAM_TYPE_REAL32, "ardupilot", "null"},
      {"real minus infinity", -kInf, MAV_PARAM_TYPE_REAL32, "generic", "null"},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(compact_json(decode_value(c.value, c.type, c.autopilot)), c.json) << c.what;
  }
}

// python's round(x, 6) on the float's exact value, for random bit patterns and for values
// next to the ties between two 6-digit decimals.
constexpr const char* kPythonRound = R"PY(
import struct, sys
out = []
for line in open(sys.argv[1]).read().split():
    x = struct.unpack('>f', bytes.fromhex(line))[0]
    out.append(struct.pack('>d', round(x, 6)).hex())
open(sys.argv[2], 'w').write('\n'.join(out))
)PY";

TEST(DecodeValue, RoundsRealsLikePython) {
  std::mt19937 random(20240501);
  std::vector<float> floats;
  while (floats.size() < 20000) {
    const auto f = std::bit_cast<float>(static_cast<uint32_t>(random()));
    if (std::isfinite(f)) floats.push_back(f);
  }
  std::uniform_int_distribution<int64_t> micros(-2'000'000'000, 2'000'000'000);
  for (int i = 0; i < 20000; ++i) {
    floats.push_back(static_cast<float>((static_cast<double>(micros(random)) + 0.5) / 1e6));
  }
  std::string input;
  for (const float f : floats) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x ", std::bit_cast<uint32_t>(f));
    input += hex;
  }
  const std::optional<std::string> output = testkit::run_python(kPythonRound, input);
  ASSERT_TRUE(output.has_value());
  int failures = 0;
  for (std::size_t i = 0, pos = 0; i < floats.size() && failures < 10; ++i, pos += 17) {
    ASSERT_LE(pos + 16, output->size());
    const auto expected = std::stoull(output->substr(pos, 16), nullptr, 16);
    const Json got = decode_value(floats[i], MAV_PARAM_TYPE_REAL32, "px4");
    if (!got.is_real() || std::bit_cast<uint64_t>(got.as_double()) != expected) {
      ++failures;
      ADD_FAILURE() << "round(" << json_real(floats[i]) << ", 6): python "
                    << json_real(std::bit_cast<double>(static_cast<uint64_t>(expected)))
                    << ", ours " << compact_json(got);
    }
  }
}

TEST(ParamName, CleansRawBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string("ABCDEFGHIJKL\0\0\0\0", 16), "ABCDEFGHIJKL"},
      {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},  // full field, no NUL
      {"RATE\xC3\xA9_P\xFF", "RATE_P"},          // bytes outside ASCII dropped
      {"  MC_ROLL_P\t\r\n", "MC_ROLL_P"},
      {"\x1f\x1cX Y\x0b\x0c", "X Y"},  // python counts 0x1C..0x1F as white space
      {std::string("A\0B", 3), "A"},   // cut at the first NUL
      {"\x01Z", "\x01Z"},              // other control characters stay
      {std::string(16, '\0'), ""},
      {"\x80\xff", ""},
      {"   ", ""},
  };
  for (const auto& [raw, name] : cases) EXPECT_EQ(param_name(raw), name) << json_string(raw);
}

TEST(FirmwareFromVersion, ShowsMajorMinorPatch) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0x010E0300, "1.14.3"},
      {0x040500FF, "4.5.0"},  // release type byte not shown
      {0, "0.0.0"},
      {0xFFFFFFFF, "255.255.255"},
  };
  for (const auto& [sw, text] : cases) EXPECT_EQ(firmware_from_version(sw), text) << sw;
}

// ---------------------------------------------------------------------------------------------
// The reader

class ParamReaderTest : public ::testing::Test {
 protected:
  explicit ParamReaderTest(double interval_s = 600) : interval_s_(interval_s) {}

  void heartbeat(uint8_t autopilot = mavlink::MAV_AUTOPILOT_PX4, uint8_t sysid = 1,
                 uint8_t compid = 1) {
    mavlink::Heartbeat hb;
    hb.type = mavlink::MAV_TYPE_QUADROTOR;
    hb.autopilot = autopilot;
    reader.on_heartbeat(message(hb, sysid, compid));
  }
  void value(std::string_view name, float v, uint16_t count, uint16_t index,
             uint8_t type = MAV_PARAM_TYPE_REAL32) {
    reader.on_param_value(param_value(name, v, count, index, type));
  }
  // A heartbeat and the first tick: the first full read is running.
  void start_read(uint8_t autopilot = mavlink::MAV_AUTOPILOT_PX4) {
    heartbeat(autopilot);
    reader.tick();
    ASSERT_TRUE(reader.reading());
  }
  // A full read of `count` parameters P0, P1, ... with value index / 10, then the tick that
  // publishes it.
  void full_read(uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) {
      value("P" + std::to_string(i), static_cast<float>(i) / 10, count, i);
    }
    reader.tick();
    ASSERT_FALSE(reader.reading());
  }
  void advance(double seconds) { clock.advance(seconds); }

  double interval_s_;
  testkit::FakeClock clock{1000.0, 1714566605.123456};
  testkit::CaptureSink log;
  RecordingSender mav;
  std::vector<std::string> snapshots;
  bool publish_result = true;
  ParamReader reader{mav,
                     [this](std::string_view bytes) {
                       snapshots.emplace_back(bytes);
                       return publish_result;
                     },
                     interval_s_, clock, &log};
};

TEST_F(ParamReaderTest, FirstHeartbeatFixesTargetAndAsksForTheVersionOnce) {
  reader.tick();  // nothing to do without an autopilot
  EXPECT_THAT(mav.sent, IsEmpty());

  heartbeat(mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA, 7, 1);
  heartbeat(mavlink::MAV_AUTOPILOT_PX4, 9, 3);
  heartbeat(mavlink::MAV_AUTOPILOT_PX4, 7, 1);

  EXPECT_EQ(reader.target(), (ParamReader::Target{7, 1}));
  EXPECT_EQ(reader.autopilot(), "ardupilot");
  const auto commands = mav.sent_as<mavlink::CommandLong>();
  ASSERT_EQ(mav.sent.size(), 1u);
  ASSERT_EQ(commands.size(), 1u);
  const mavlink::CommandLong& c = commands[0];
  EXPECT_EQ(c.target_system, 7);
  EXPECT_EQ(c.target_component, 1);
  EXPECT_EQ(c.command, mavlink::MAV_CMD_REQUEST_MESSAGE);
  EXPECT_EQ(c.confirmation, 0);
  EXPECT_EQ(c.param1, static_cast<float>(mavlink::AutopilotVersion::ID));
  EXPECT_THAT((std::vector<float>{c.param2, c.param3, c.param4, c.param5, c.param6, c.param7}),
              ::testing::Each(0.0f));
}

TEST_F(ParamReaderTest, AutopilotFamilyComesFromTheHeartbeat) {
  const std::pair<uint8_t, const char*> cases[] = {
      {mavlink::MAV_AUTOPILOT_PX4, "px4"},
      {mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA, "ardupilot"},
      {mavlink::MAV_AUTOPILOT_GENERIC, "generic"},
      {mavlink::MAV_AUTOPILOT_INVALID, "generic"},
      {200, "generic"},
  };
  for (const auto& [autopilot, name] : cases) {
    RecordingSender sender;
    ParamReader fresh(
        sender, [](std::string_view) { return true; }, 600, clock, &log);
    mavlink::Heartbeat hb;
    hb.autopilot = autopilot;
    fresh.on_heartbeat(message(hb, 1, 1));
    EXPECT_EQ(fresh.autopilot(), name) << int{autopilot};
    EXPECT_EQ(fresh.snapshot(true).at("autopilot").as_string(), name);
  }
}

TEST_F(ParamReaderTest, CompleteReadPublishesOneSnapshot) {
  heartbeat();
  reader.on_autopilot_version(
      message(mavlink::AutopilotVersion{.flight_sw_version = 0x010E0300}, 1, 1));
  reader.tick();
  const auto lists = mav.sent_as<mavlink::ParamRequestList>();
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0].target_system, 1);
  EXPECT_EQ(lists[0].target_component, 1);

  // Values arrive out of order; a name seen twice keeps its first place.
  value(std::string("MC_ROLLRATE_P\0\0\0", 16), 0.1f, 4, 1);
  value("SYS_AUTOSTART", int_bits(4001), 4, 0, MAV_PARAM_TYPE_INT32);
  value("MPC_XY_VEL_MAX", 12.0f, 4, 3);
  advance(1);
  reader.tick();
  EXPECT_TRUE(reader.reading());  // index 2 still missing
  value("MC_ROLLRATE_P", 0.15f, 4, 1);
  value("COM_ARM_WO_GPS", int_bits(1), 4, 2, MAV_PARAM_TYPE_INT32);
  EXPECT_THAT(snapshots, IsEmpty());
  clock.set_wall(1714566605.123456);
  reader.tick();

  EXPECT_FALSE(reader.reading());
  EXPECT_EQ(reader.published(), 1);
  EXPECT_THAT(log.messages(), ElementsAre("Published 4 parameters (px4, complete=True)"));
  EXPECT_EQ(log.lines()[0].logger, "orvel_edge.params");
  const std::vector<Json> read = read_with_python(snapshots);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(compact_json(read[0]),
            R"({"v":1,"type":"params","sysid":1,"autopilot":"px4","firmware":"1.14.3",)"
            R"("captured_at":"2024-05-01T12:30:05.123456+00:00","complete":true,)"
            R"("params":{"MC_ROLLRATE_P":0.15,"SYS_AUTOSTART":4001,"MPC_XY_VEL_MAX":12.0,)"
            R"("COM_ARM_WO_GPS":1}})");

  // Nothing more until the interval has run out since the request.
  advance(598.5);
  reader.tick();
  EXPECT_FALSE(reader.reading());
  advance(0.5);
  reader.tick();
  EXPECT_TRUE(reader.reading());
  EXPECT_EQ(mav.sent_as<mavlink::ParamRequestList>().size(), 2u);
  EXPECT_EQ(reader.requested_at(), clock.monotonic());
}

TEST_F(ParamReaderTest, ReReadsMissingIndicesThenPublishesIncomplete) {
  start_read();
  for (uint16_t i : {0, 1, 2, 4}) value("P" + std::to_string(i), 1.0f, 5, i);
  advance(2.5);
  reader.tick();
  EXPECT_EQ(reader.retry_rounds(), 0);
  advance(0.5);
  reader.tick();
  EXPECT_EQ(reader.retry_rounds(), 1);
  EXPECT_THAT(indices_asked(mav), ElementsAre(3));
  const auto read = mav.sent_as<mavlink::ParamRequestRead>()[0];
  EXPECT_EQ(read.target_system, 1);
  EXPECT_EQ(read.target_component, 1);
  EXPECT_EQ(mavlink::text(read.param_id), "");
  EXPECT_THAT(log.messages(), ElementsAre("Re-reading 1 missing parameters (round 1)"));

  for (int round = 2; round <= 3; ++round) {
    advance(3);
    reader.tick();
    EXPECT_EQ(reader.retry_rounds(), round);
  }
  EXPECT_THAT(indices_asked(mav), ElementsAre(3, 3, 3));
  EXPECT_THAT(snapshots, IsEmpty());
  advance(3);
  reader.tick();
  EXPECT_FALSE(reader.reading());
  EXPECT_THAT(log.messages(), ElementsAre("Re-reading 1 missing parameters (round 1)",
                                          "Re-reading 1 missing parameters (round 2)",
                                          "Re-reading 1 missing parameters (round 3)",
                                          "Published 4 parameters (px4, complete=False)"));
  const std::vector<Json> read_back = read_with_python(snapshots);
  ASSERT_EQ(read_back.size(), 1u);
  EXPECT_FALSE(read_back[0].at("complete").as_bool());
  EXPECT_EQ(compact_json(read_back[0].at("params")), R"({"P0":1.0,"P1":1.0,"P2":1.0,"P4":1.0})");
}

TEST_F(ParamReaderTest, ValueArrivingAfterAReReadCompletesTheRead) {
  start_read();
  for (uint16_t i : {0, 2}) value("P" + std::to_string(i), 1.0f, 3, i);
  advance(3);
  reader.tick();
  EXPECT_THAT(indices_asked(mav), ElementsAre(1));
  value("P1", 1.0f, 3, 1);
  reader.tick();
  EXPECT_FALSE(reader.reading());
  EXPECT_TRUE(log.contains("Published 3 parameters (px4, complete=True)"));
}

TEST_F(ParamReaderTest, ReReadRoundAsksForAtMost200Indices) {
  start_read();
  value("P0", 0.0f, 500, 0);
  value("P300", 0.0f, 500, 300);
  advance(3);
  reader.tick();
  std::vector<int> expected;
  for (int i = 1; i <= 200; ++i) expected.push_back(i);
  EXPECT_EQ(indices_asked(mav), expected);
  EXPECT_TRUE(log.contains("Re-reading 200 missing parameters (round 1)"));

  for (uint16_t i = 1; i <= 150; ++i) value("P" + std::to_string(i), 0.0f, 500, i);
  mav.sent.clear();
  advance(3);
  reader.tick();
  expected.clear();
  for (int i = 151; i < 352; ++i) {
    if (i != 300) expected.push_back(i);
  }
  EXPECT_EQ(indices_asked(mav), expected);
}

TEST_F(ParamReaderTest, ReadWithNoAnswerEndsWithoutSnapshot) {
  start_read();
  advance(3);
  reader.tick();
  EXPECT_FALSE(reader.reading());
  EXPECT_THAT(snapshots, IsEmpty());
  EXPECT_THAT(log.messages(), IsEmpty());
  // The next full read comes an interval after this one's request, not after its end.
  advance(600 - 3 - 0.5);
  reader.tick();
  EXPECT_FALSE(reader.reading());
  advance(0.5);
  reader.tick();
  EXPECT_TRUE(reader.reading());
}

TEST_F(ParamReaderTest, SnapshotKeepsParametersMissingFromTheLatestRead) {
  start_read();
  full_read(3);
  advance(600);
  reader.tick();
  ASSERT_TRUE(reader.reading());
  value("P0", 5.0f, 2, 0);
  value("NEW", 6.0f, 2, 1);
  reader.tick();
  EXPECT_THAT(log.messages(), ElementsAre("Published 3 parameters (px4, complete=True)",
                                          "Published 4 parameters (px4, complete=True)"));
  const std::vector<Json> read = read_with_python(snapshots);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(compact_json(read[1].at("params")), R"({"P0":5.0,"P1":0.1,"P2":0.2,"NEW":6.0})");
}

TEST_F(ParamReaderTest, PublishRefusedStillCounts) {
  publish_result = false;
  start_read();
  full_read(2);
  EXPECT_EQ(reader.published(), 1);
  EXPECT_EQ(snapshots.size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Changes between full reads

class ParamChangeTest : public ParamReaderTest {
 protected:
  ParamChangeTest() : ParamReaderTest(3600) {}
  void SetUp() override {
    start_read();
    full_read(3);
    log.clear();
  }
};

TEST_F(ParamChangeTest, GroundStationChangeIsPublishedAfterTheChangesStop) {
  advance(600);
  reader.on_param_value(param_value("P1", 0.5f, 3, 1));
  advance(1.5);
  reader.on_param_value(param_value("P2", 0.7f, 3, 2));  // moves the wait forward
  advance(1.5);
  reader.tick();
  EXPECT_EQ(snapshots.size(), 1u);
  advance(0.5);
  reader.tick();
  reader.tick();
  EXPECT_EQ(reader.published(), 2);
  EXPECT_FALSE(reader.dirty_at().has_value());
  EXPECT_THAT(log.messages(), IsEmpty());  // change snapshots are not logged
  const std::vector<Json> read = read_with_python(snapshots);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_TRUE(read[1].at("complete").as_bool());
  EXPECT_EQ(compact_json(read[1].at("params")), R"({"P0":0.0,"P1":0.5,"P2":0.7})");
}

TEST_F(ParamChangeTest, SameValueAgainIsNoChange) {
  // Numbers compare by value whatever their kind; null equals null.
  value("I", 1.0f, 0, 65535, MAV_PARAM_TYPE_INT32);  // px4 integer 1065353216
  value("N", kNaN, 0, 65535);
  advance(3);
  reader.tick();
  ASSERT_EQ(reader.published(), 2);

  value("P1", 0.1f, 3, 1);                               // 0.1 rounds to the stored 0.1
  value("P0", int_bits(0), 3, 0, MAV_PARAM_TYPE_INT32);  // integer 0 equals the real 0.0
  value("I", 1065353216.0f, 0, 65535);                   // a real equal to the stored integer
  value("N", kInf, 0, 65535);                            // null again
  advance(3);
  reader.tick();
  EXPECT_EQ(reader.published(), 2);
  EXPECT_FALSE(reader.dirty_at().has_value());
}

TEST_F(ParamChangeTest, PendingChangeOutlivesAFullRead) {
  advance(3600 - 3);
  value("P0", 9.0f, 3, 0);
  advance(3);
  reader.tick();  // the interval ran out first
  ASSERT_TRUE(reader.reading());
  full_read(3);
  EXPECT_EQ(reader.published(), 2);
  reader.tick();
  EXPECT_EQ(reader.published(), 3);
  EXPECT_FALSE(reader.dirty_at().has_value());
}

TEST_F(ParamReaderTest, ChangeBeforeTheFirstSnapshotIsNotPublishedOnItsOwn) {
  heartbeat();
  value("EARLY", 1.0f, 1, 0);
  advance(5);
  reader.tick();  // starts the first full read
  EXPECT_FALSE(reader.dirty_at().has_value());
  value("EARLY", 2.0f, 1, 0);
  reader.tick();
  EXPECT_EQ(reader.published(), 1);
  advance(10);
  reader.tick();
  EXPECT_EQ(reader.published(), 1);
}

// ---------------------------------------------------------------------------------------------
// Senders

TEST_F(ParamReaderTest, OnlyTheTargetComponentIsHeard) {
  reader.on_param_value(param_value("BEFORE", 1.0f, 1, 0));  // no autopilot known yet
  start_read();
  const std::pair<uint8_t, uint8_t> others[] = {{2, 1}, {1, 154}, {255, 190}};
  for (const auto& [sysid, compid] : others) {
    reader.on_param_value(param_value("OTHER", 1.0f, 1, 0, MAV_PARAM_TYPE_REAL32, sysid, compid));
    reader.on_autopilot_version(
        message(mavlink::AutopilotVersion{.flight_sw_version = 0x04050000}, sysid, compid));
  }
  EXPECT_TRUE(reader.by_name().empty());
  EXPECT_TRUE(reader.values().empty());
  EXPECT_FALSE(reader.count().has_value());
  EXPECT_EQ(reader.firmware(), "");
  reader.on_autopilot_version(
      message(mavlink::AutopilotVersion{.flight_sw_version = 0x010F0200}, 1, 1));
  EXPECT_EQ(reader.firmware(), "1.15.2");
}

// ---------------------------------------------------------------------------------------------
// Hostile input

TEST_F(ParamReaderTest, UnknownIndexUpdatesNamesAndCountButNotCompletion) {
  start_read();
  value("A", 1.0f, 2, 0);
  value("B", 2.0f, 3, 65535);
  EXPECT_EQ(reader.count(), 3u);
  EXPECT_EQ(reader.values().size(), 1u);
  EXPECT_TRUE(reader.by_name().contains("B"));
  value("C", 3.0f, 2, 1);
  reader.tick();
  EXPECT_TRUE(log.contains("Published 3 parameters (px4, complete=True)"));
}

TEST_F(ParamReaderTest, IndexAtOrBeyondCountIsNotCounted) {
  start_read();
  for (uint16_t i : {0, 1, 2, 4, 5, 7}) value("P" + std::to_string(i), 1.0f, 5, i);
  EXPECT_EQ(reader.values().size(), 4u);
  reader.tick();
  EXPECT_TRUE(reader.reading());
  advance(3);
  reader.tick();
  EXPECT_THAT(indices_asked(mav), ElementsAre(3));
}

TEST_F(ParamReaderTest, ChangingCountKeepsValuesWithinIt) {
  start_read();
  for (uint16_t i = 0; i < 10; ++i) value("P" + std::to_string(i), 1.0f, 1000, i);
  value("P900", 1.0f, 1000, 900);
  EXPECT_EQ(reader.values().size(), 11u);
  value("P2", 1.0f, 5, 2);  // the autopilot now says 5
  EXPECT_EQ(reader.count(), 5u);
  EXPECT_EQ(reader.values().size(), 5u);
  EXPECT_EQ(reader.values().rbegin()->first, 4);
  reader.tick();
  EXPECT_TRUE(log.contains("Published 11 parameters (px4, complete=True)"));
}

TEST_F(ParamReaderTest, CountZeroDoesNotEndTheRead) {
  start_read();
  value("A", 1.0f, 0, 0);
  reader.tick();
  EXPECT_TRUE(reader.reading());
  EXPECT_TRUE(reader.values().empty());
  value("A", 1.0f, 2, 0);
  value("B", 1.0f, 0, 1);
  reader.tick();
  EXPECT_TRUE(reader.reading());
  EXPECT_EQ(reader.count(), 2u);
  advance(3);
  reader.tick();
  EXPECT_THAT(indices_asked(mav), ElementsAre(1));
}

TEST_F(ParamReaderTest, IndicesThatCannotBeAskedForAreNotReRead) {
  // PARAM_REQUEST_READ holds the index as int16: from 32768 on it would turn negative.
  start_read();
  for (uint16_t i = 0; i < 32768; ++i) value("P" + std::to_string(i), 1.0f, 32770, i);
  advance(3);
  reader.tick();
  EXPECT_THAT(indices_asked(mav), IsEmpty());
  EXPECT_FALSE(reader.reading());
  EXPECT_TRUE(log.contains("Published 32768 parameters (px4, complete=False)"));
}

TEST_F(ParamReaderTest, DistinctNamesAreCapped) {
  start_read();
  full_read(1);
  for (uint32_t i = 0; i < MAX_NAMES + 100; ++i) {
    value("N" + std::to_string(i), 1.0f, 1, 65535);
  }
  EXPECT_EQ(reader.by_name().size(), MAX_NAMES);
  EXPECT_FALSE(reader.by_name().contains("N" + std::to_string(MAX_NAMES + 50)));
  value("P0", 4.0f, 1, 0);  // known names still update
  EXPECT_EQ(reader.by_name().find("P0")->as_double(), 4.0);
  advance(2);
  reader.tick();
  const std::vector<Json> read = read_with_python(snapshots);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1].at("params").size(), MAX_NAMES);
  EXPECT_EQ(read[1].at("params").at("P0").as_double(), 4.0);
}

TEST_F(ParamReaderTest, SnapshotsOfHostileValuesReadAsStrictJson) {
  start_read(mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA);
  const std::pair<std::string, float> reals[] = {
      {"SIXTEEN_CHARS_NO", 1.5f},  // no NUL at all
      {"NON\xC3\xA9"
       "ASCII\x80",
       2.0f},                     // bytes outside ASCII
      {"QUOTE\"BACK\\SL", 3.0f},  // must be escaped
      {"CTRL\x01\x7f", 4.0f},
      {" PADDED ", 5.0f},
      {std::string(16, '\0'), 6.0f},  // empty name: not in the snapshot
      {"NAN", kNaN},
      {"INF", kInf},
      {"NEG_INF", -kInf},
      {"TINY_NEG", -1e-9f},
  };
  uint16_t index = 0;
  const auto count = static_cast<uint16_t>(std::size(reals) + 2);
  for (const auto& [name, v] : reals) value(name, v, count, index++);
  value("INT_NAN", kNaN, count, index++, MAV_PARAM_TYPE_INT32);
  value("HUGE_INT", 1e30f, count, index++, MAV_PARAM_TYPE_INT32);
  reader.tick();
  ASSERT_FALSE(reader.reading());
  // The same names come back changed, outside a read: a change snapshot.
  value("INF", 7.0f, count, 7);
  value("PADDED", kInf, count, 4);
  advance(2);
  reader.tick();

  const std::vector<Json> read = read_with_python(snapshots);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(compact_json(read[0].at("params")),
            R"({"SIXTEEN_CHARS_NO":1.5,"NONASCII":2.0,"QUOTE\"BACK\\SL":3.0,)"
            R"("CTRL\u0001\u007f":4.0,"PADDED":5.0,"NAN":null,"INF":null,"NEG_INF":null,)"
            R"("TINY_NEG":-0.0,"INT_NAN":null,"HUGE_INT":1000000015047466219876688855040})");
  EXPECT_EQ(compact_json(read[1].at("params").at("INF")), "7.0");
  EXPECT_TRUE(read[1].at("params").at("PADDED").is_null());
}

// Reading a snapshot back: what encode_snapshot wrote comes back whole; anything else, a cut
// stream or one that inflates past the limit, reads as nothing instead of growing memory.
TEST(DecodeSnapshot, ReadsWhatWasWrittenAndRefusesTheRest) {
  const Json snapshot = Json::object(
      {{"v", 1}, {"type", "params"}, {"params", Json::object({{"A", 1}, {"B", 0.5}})}});
  const std::string bytes = encode_snapshot(snapshot);
  const auto back = decode_snapshot(bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(*back == snapshot);

  const std::string text = compact_json(snapshot);
  const Json huge = Json::object({{"pad", std::string(1 << 20, ' ')}});
  const struct {
    const char* name;
    std::string bytes;
    std::size_t limit;
  } refused[] = {
      {"not zlib", "plain text", MAX_SNAPSHOT_TEXT_BYTES},
      {"cut short", bytes.substr(0, bytes.size() - 3), MAX_SNAPSHOT_TEXT_BYTES},
      {"trailing bytes", bytes + "x", MAX_SNAPSHOT_TEXT_BYTES},
      {"beyond the limit", encode_snapshot(huge), 4096},
      {"exactly one byte too long", bytes, text.size() - 1},
  };
  for (const auto& c : refused) EXPECT_FALSE(decode_snapshot(c.bytes, c.limit)) << c.name;
  EXPECT_TRUE(decode_snapshot(bytes, text.size()).has_value()) << "a limit equal to the size";
}

}  // namespace
}  // namespace orvel::params
