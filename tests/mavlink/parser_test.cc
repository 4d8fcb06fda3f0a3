// The stream parser: valid frames in both framings, bad frames, junk, resynchronisation, and
// independence from how the stream is split.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/messages.h"
#include "tests/mavlink/mavlink_testing.h"

namespace orvel::mavlink {
namespace {

using Bytes = std::vector<uint8_t>;
using mavtest::frame_of;
using mavtest::parse;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A frame with a correct checksum for `crc_extra`, whatever its header says.
Bytes raw_frame(uint8_t stx, uint8_t incompat, uint32_t msgid, const Bytes& payload,
                uint8_t crc_extra, size_t signature = 0) {
  Bytes f;
  if (stx == MAVLINK2_STX) {
    f = {stx,
         static_cast<uint8_t>(payload.size()),
         incompat,
         0,
         3,
         1,
         1,
         static_cast<uint8_t>(msgid),
         static_cast<uint8_t>(msgid >> 8),
         static_cast<uint8_t>(msgid >> 16)};
  } else {
    f = {stx, static_cast<uint8_t>(payload.size()), 3, 1, 1, static_cast<uint8_t>(msgid)};
  }
  f.insert(f.end(), payload.begin(), payload.end());
  uint16_t crc = crc_accumulate(std::span(f).subspan(1));
  crc = crc_accumulate({&crc_extra, 1}, crc);
  f.push_back(static_cast<uint8_t>(crc));
  f.push_back(static_cast<uint8_t>(crc >> 8));
  f.insert(f.end(), signature, 0x5A);
  return f;
}

Bytes heartbeat(uint8_t seq = 0) {
  return frame_of(Heartbeat{.type = MAV_TYPE_QUADROTOR, .autopilot = MAV_AUTOPILOT_PX4}, 1, 1, seq);
}

Bytes position(uint8_t seq = 0) {
  return frame_of(GlobalPositionInt{.time_boot_ms = 1000,
                                    .lat = 473977418,
                                    .lon = 85455939,
                                    .alt = 488000,
                                    .relative_alt = 10000,
                                    .hdg = 9000},
                  1, 1, seq);
}

// type and frame bytes of each message, for comparing whole parses.
std::vector<std::pair<std::string, Bytes>> summary(const std::vector<Message>& msgs) {
  std::vector<std::pair<std::string, Bytes>> out;
  for (const Message& m : msgs) out.emplace_back(std::string(m.type), m.frame);
  return out;
}

TEST(Parser, ReadsHeaderFieldsOfBothFramings) {
  const Bytes v2 = frame_of(Heartbeat{.type = MAV_TYPE_GCS}, 245, 191, 17);
  Bytes v1 = raw_frame(MAVLINK1_STX, 0, Heartbeat::ID, Bytes(9, 0), Heartbeat::CRC_EXTRA);
  const auto msgs = parse(concat({v2, v1}));
  ASSERT_EQ(msgs.size(), 2u);

  EXPECT_EQ(msgs[0].type, "HEARTBEAT");
  EXPECT_EQ(msgs[0].version, 2);
  EXPECT_EQ(msgs[0].sysid, 245);
  EXPECT_EQ(msgs[0].compid, 191);
  EXPECT_EQ(msgs[0].seq, 17);
  EXPECT_FALSE(msgs[0].is_signed);
  EXPECT_EQ(msgs[0].frame, v2);
  EXPECT_EQ(msgs[0].as<Heartbeat>()->type, MAV_TYPE_GCS);

  EXPECT_EQ(msgs[1].type, "HEARTBEAT");
  EXPECT_EQ(msgs[1].version, 1);
  EXPECT_EQ((std::tuple(msgs[1].seq, msgs[1].sysid, msgs[1].compid)), std::tuple(3, 1, 1));
  EXPECT_EQ(msgs[1].frame, v1);
  EXPECT_EQ(msgs[1].payload().size(), 9u);
}

TEST(Parser, KeepsTheSignatureOfSignedFrames) {
  const Bytes payload = {1, 2, 3, 4, 5, 6, 7, 8, 3};
  const Bytes signed_frame = raw_frame(MAVLINK2_STX, INCOMPAT_FLAG_SIGNED, Heartbeat::ID, payload,
                                       Heartbeat::CRC_EXTRA, SIGNATURE_LENGTH);
  const auto msgs = parse(concat({signed_frame, heartbeat()}));
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_TRUE(msgs[0].is_signed);
  EXPECT_EQ(msgs[0].frame, signed_frame);
  EXPECT_EQ(Bytes(msgs[0].payload().begin(), msgs[0].payload().end()), payload);
  EXPECT_EQ(msgs[1].type, "HEARTBEAT");
}

TEST(Parser, AcceptsAnEmptyMavlink2Payload) {
  const Bytes empty =
      raw_frame(MAVLINK2_STX, 0, ParamRequestList::ID, {}, ParamRequestList::CRC_EXTRA);
  const auto msgs = parse(empty);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].type, "PARAM_REQUEST_LIST");
  EXPECT_EQ(msgs[0].as<ParamRequestList>()->target_system, 0);
}

TEST(Parser, WaitsForTheRestOfAFrame) {
  const Bytes f = position();
  Parser parser;
  for (size_t i = 0; i + 1 < f.size(); ++i) {
    parser.push({&f[i], 1});
    EXPECT_FALSE(parser.next().has_value()) << "after " << i + 1 << " bytes";
    EXPECT_EQ(parser.buffered(), i + 1);
  }
  parser.push({&f.back(), 1});
  const auto msg = parser.next();
  ASSERT_TRUE(msg.has_value());
  EXPECT_EQ(msg->frame, f);
  EXPECT_EQ(parser.buffered(), 0u);
}

// Bytes that are no valid frame, between two good frames, come back as one BAD_DATA message
// holding exactly those bytes.
TEST(Parser, ReportsEachBadStretchOnceAndExactly) {
  Bytes bad_crc = position();
  bad_crc[bad_crc.size() - 1] ^= 0x01;
  Bytes bad_payload = heartbeat();
  bad_payload[12] ^= 0x40;
  const Bytes nine(9, 1);
  const Bytes whole_heartbeat = heartbeat();
  const Bytes cut(whole_heartbeat.begin(), whole_heartbeat.end() - 3);
  struct Case {
    const char* what;
    Bytes bad;
  };
  const Case cases[] = {
      {"junk without start bytes", {0x00, 0x11, 0x22, 0x33, 0x44}},
      {"junk with stray start bytes", {0xFD, 0x01, 0xFE, 0xFE, 0x00, 0xFD}},
      {"a lone MAVLink 2 start byte", {0xFD}},
      {"bad checksum", bad_crc},
      {"corrupted payload", bad_payload},
      {"unknown message id", raw_frame(MAVLINK2_STX, 0, 3, nine, 0)},
      {"unknown id beyond 16 bits", raw_frame(MAVLINK2_STX, 0, 0x10000, nine, 50)},
      {"unknown incompatibility flag",
       raw_frame(MAVLINK2_STX, 0x02, Heartbeat::ID, nine, Heartbeat::CRC_EXTRA)},
      {"signed plus unknown flag",
       raw_frame(MAVLINK2_STX, 0x81, Heartbeat::ID, nine, Heartbeat::CRC_EXTRA, 13)},
      {"MAVLink 2 payload longer than the message",
       raw_frame(MAVLINK2_STX, 0, Heartbeat::ID, Bytes(10, 1), Heartbeat::CRC_EXTRA)},
      {"MAVLink 1 payload shorter than the message",
       raw_frame(MAVLINK1_STX, 0, Heartbeat::ID, Bytes(8, 1), Heartbeat::CRC_EXTRA)},
      {"MAVLink 1 payload with extension fields",
       raw_frame(MAVLINK1_STX, 0, SysStatus::ID, Bytes(43, 1), SysStatus::CRC_EXTRA)},
      {"MAVLink 1 unknown message id", raw_frame(MAVLINK1_STX, 0, 3, nine, 0)},
      {"valid frame cut short", cut},
  };
  for (const Case& c : cases) {
    const Bytes before = heartbeat(1), after = position(2);
    const auto msgs = parse(concat({before, c.bad, after}));
    ASSERT_EQ(msgs.size(), 3u) << c.what;
    EXPECT_EQ(msgs[0].frame, before) << c.what;
    EXPECT_EQ(msgs[1].type, BAD_DATA) << c.what;
    EXPECT_TRUE(msgs[1].bad()) << c.what;
    EXPECT_EQ(msgs[1].frame, c.bad) << c.what;
    EXPECT_EQ(msgs[2].frame, after) << c.what;
  }
}

TEST(Parser, FindsAFrameHiddenInsideABadOne) {
  // A STATUSTEXT whose text carries a whole HEARTBEAT frame, with its own checksum broken: the
  // parser must give up the outer frame at its start byte and find the inner one.
  const Bytes inner = heartbeat(5);
  Statustext st{.severity = MAV_SEVERITY_INFO};
  std::copy(inner.begin(), inner.end(), st.text.begin() + 4);
  Bytes outer = frame_of(st);
  outer[outer.size() - 2] ^= 0xFF;
  const size_t inner_at = MAVLINK2_HEADER_LENGTH + 1 + 4;

  const auto msgs = parse(concat({outer, position()}));
  ASSERT_EQ(msgs.size(), 4u);
  EXPECT_EQ(msgs[0].type, BAD_DATA);
  EXPECT_EQ(msgs[0].frame, Bytes(outer.begin(), outer.begin() + inner_at));
  EXPECT_EQ(msgs[1].frame, inner);
  EXPECT_EQ(msgs[2].type, BAD_DATA);
  EXPECT_EQ(msgs[2].frame, Bytes(outer.begin() + inner_at + inner.size(), outer.end()));
  EXPECT_EQ(msgs[3].type, "GLOBAL_POSITION_INT");
}

TEST(Parser, CutsLongJunkIntoBoundedRuns) {
  const Bytes junk(1000, 0x55);
  const auto msgs = parse(concat({junk, heartbeat()}));
  ASSERT_EQ(msgs.size(), 5u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(msgs[i].frame.size(), MAX_FRAME_LENGTH);
  EXPECT_EQ(msgs[3].frame.size(), 1000 - 3 * MAX_FRAME_LENGTH);
  EXPECT_EQ(msgs[4].type, "HEARTBEAT");
}

TEST(Parser, StaysBoundedWhateverItIsFed) {
  std::mt19937 rng(99);
  Parser parser;
  size_t pushed = 0, returned = 0;
  for (int round = 0; round < 3000; ++round) {
    // Random bytes rich in start bytes, and now and then a frame or the start of one.
    Bytes chunk(std::uniform_int_distribution<size_t>(0, 300)(rng));
    for (auto& b : chunk) {
      const unsigned r = rng() % 8;
      b = r == 0 ? MAVLINK2_STX : r == 1 ? MAVLINK1_STX : static_cast<uint8_t>(rng());
    }
    if (rng() % 4 == 0) {
      const Bytes f = position();
      chunk.insert(chunk.end(), f.begin(), f.begin() + static_cast<long>(rng() % f.size()));
    }
    parser.push(chunk);
    pushed += chunk.size();
    while (auto msg = parser.next()) returned += msg->frame.size();
    ASSERT_LT(parser.buffered(), Parser::MAX_BUFFERED);
    ASSERT_EQ(returned + parser.buffered(), pushed);  // no byte lost or made up
  }
}

TEST(Parser, ResultDoesNotDependOnHowTheStreamIsSplit) {
  std::mt19937 rng(2024);
  Bytes bad_crc = heartbeat(9);
  bad_crc[14] ^= 0x10;
  Bytes stream;
  for (int i = 0; i < 40; ++i) {
    switch (rng() % 7) {
      case 0:
        stream = concat({stream, heartbeat(static_cast<uint8_t>(i))});
        break;
      case 1:
        stream = concat({stream, position(static_cast<uint8_t>(i))});
        break;
      case 2:
        stream = concat(
            {stream, raw_frame(MAVLINK1_STX, 0, Heartbeat::ID, Bytes(9, 7), Heartbeat::CRC_EXTRA)});
        break;
      case 3:
        stream = concat({stream, raw_frame(MAVLINK2_STX, 1, Heartbeat::ID, Bytes(9, 7),
                                           Heartbeat::CRC_EXTRA, SIGNATURE_LENGTH)});
        break;
      case 4:
        stream = concat({stream, bad_crc});
        break;
      case 5:
        stream = concat({stream, {0xFD, 0x20, 0x00, 0xFE}});
        break;
      default:
        stream = concat({stream, Bytes(rng() % 40, static_cast<uint8_t>(rng()))});
        break;
    }
  }
  stream = concat({stream, heartbeat()});  // ends any pending junk run

  const auto whole = summary(parse(stream));
  EXPECT_EQ(summary(parse(stream, {1})), whole);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<size_t> chunks(10);
    for (auto& c : chunks) c = 1 + rng() % 64;
    EXPECT_EQ(summary(parse(stream, chunks)), whole) << "trial " << trial;
  }

  // Every byte comes back exactly once, in order.
  Bytes joined;
  for (const auto& [type, frame] : whole) joined.insert(joined.end(), frame.begin(), frame.end());
  EXPECT_EQ(joined, stream);
}

}  // namespace
}  // namespace orvel::mavlink
