// Typed messages, checksums and outgoing frames.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/messages.h"
#include "tests/mavlink/mavlink_testing.h"

namespace orvel::mavlink {
namespace {

using mavtest::as_json;
using mavtest::fill_random;

template <class Tuple>
struct GtestTypes;
template <class... T>
struct GtestTypes<std::tuple<T...>> {
  using type = ::testing::Types<T...>;
};

template <class T>
class TypedMessage : public ::testing::Test {};
TYPED_TEST_SUITE(TypedMessage, GtestTypes<TypedMessages>::type);

TYPED_TEST(TypedMessage, AgreesWithTheDialectTable) {
  using T = TypeParam;
  const MessageInfo* info = find_message(T::ID);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(std::string_view(info->name), T::NAME);
  EXPECT_EQ(info->crc_extra, T::CRC_EXTRA);
  EXPECT_EQ(info->min_length, T::MIN_LENGTH);
  EXPECT_EQ(info->max_length, T::MAX_LENGTH);
}

TYPED_TEST(TypedMessage, RoundTripsEveryField) {
  using T = TypeParam;
  std::mt19937 rng(T::ID);
  for (int i = 0; i < 20; ++i) {
    T msg;
    fill_random(msg, rng);
    std::array<uint8_t, 256> buf;
    buf.fill(0xA5);
    ASSERT_EQ(msg.encode(buf.data()), T::MAX_LENGTH);
    EXPECT_TRUE(std::all_of(buf.begin() + T::MAX_LENGTH, buf.end(), [](uint8_t b) {
      return b == 0xA5;
    })) << "encode wrote past the payload";
    EXPECT_EQ(as_json(T::decode({buf.data(), T::MAX_LENGTH})), as_json(msg));
  }
}

TYPED_TEST(TypedMessage, ZeroExtendsATruncatedPayload) {
  using T = TypeParam;
  std::mt19937 rng(T::ID + 1);
  T msg;
  fill_random(msg, rng);
  uint8_t buf[255] = {};
  msg.encode(buf);
  for (size_t n = 0; n <= T::MAX_LENGTH; ++n) {
    // Exactly n bytes on the heap, so that reading beyond them is caught by ASan.
    const std::vector<uint8_t> truncated(buf, buf + n);
    std::vector<uint8_t> extended = truncated;
    extended.resize(T::MAX_LENGTH, 0);
    EXPECT_EQ(as_json(T::decode(truncated)), as_json(T::decode(extended))) << n << " bytes";
  }
}

TYPED_TEST(TypedMessage, IgnoresBytesBeyondItsLength) {
  using T = TypeParam;
  std::mt19937 rng(T::ID + 2);
  T msg;
  fill_random(msg, rng);
  std::array<uint8_t, 255> buf;
  buf.fill(0xEE);
  msg.encode(buf.data());
  EXPECT_EQ(as_json(T::decode(buf)), as_json(msg));
}

TEST(TextField, FullFieldHasNoTerminatorAndStaysInBounds) {
  ParamValue pv;
  set_text(pv.param_id, "MPC_XY_VEL_MAX_X_TOO_LONG");
  EXPECT_EQ(text(pv.param_id), "MPC_XY_VEL_MAX_X");
  EXPECT_NE(pv.param_id.back(), '\0');

  set_text(pv.param_id, "SYS_ID");  // shorter text clears the rest
  EXPECT_EQ(text(pv.param_id), "SYS_ID");
  EXPECT_TRUE(std::all_of(pv.param_id.begin() + 6, pv.param_id.end(), [](char c) { return !c; }));

  pv.param_id = {'A', 'B', '\0', 'C'};  // text ends at the first NUL
  EXPECT_EQ(text(pv.param_id), "AB");
}

// The checksum as the MAVLink C library computes it, one bit-twiddled byte at a time.
uint16_t reference_crc(std::span<const uint8_t> bytes, uint16_t crc = 0xFFFF) {
  for (uint8_t b : bytes) {
    uint8_t tmp = b ^ static_cast<uint8_t>(crc & 0xFF);
    tmp ^= static_cast<uint8_t>(tmp << 4);
    crc = static_cast<uint16_t>((crc >> 8) ^ (tmp << 8) ^ (tmp << 3) ^ (tmp >> 4));
  }
  return crc;
}

TEST(Crc, MatchesTheReferenceAlgorithm) {
  const std::string check = "123456789";
  EXPECT_EQ(crc_accumulate({reinterpret_cast<const uint8_t*>(check.data()), check.size()}),
            0x6F91);  // the published check value of CRC-16/MCRF4XX

  std::mt19937 rng(7);
  std::vector<uint8_t> data(1000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  EXPECT_EQ(crc_accumulate(data), reference_crc(data));
  const uint16_t first = crc_accumulate(std::span(data).first(333));
  EXPECT_EQ(crc_accumulate(std::span(data).subspan(333), first), reference_crc(data));
}

TEST(EncodeFrame, WritesAMavlink2HeaderAndChecksum) {
  const GlobalPositionInt gpi{.time_boot_ms = 1234, .lat = 473977418, .lon = 85455939};
  uint8_t payload[255] = {};
  const size_t n = gpi.encode(payload);
  const auto frame = encode_frame(GlobalPositionInt::ID, {payload, n}, 245, 191, 77);

  // time_boot_ms, lat, lon are the first 12 bytes on the wire; the zeros after them go.
  ASSERT_EQ(frame.size(), MAVLINK2_HEADER_LENGTH + 12 + CHECKSUM_LENGTH);
  const std::vector<uint8_t> header(frame.begin(), frame.begin() + MAVLINK2_HEADER_LENGTH);
  EXPECT_EQ(header, (std::vector<uint8_t>{0xFD, 12, 0, 0, 77, 245, 191, 33, 0, 0}));
  EXPECT_TRUE(std::equal(frame.begin() + 10, frame.begin() + 22, payload));
  uint16_t crc = reference_crc(std::span(frame).subspan(1, 9 + 12));
  const uint8_t extra = GlobalPositionInt::CRC_EXTRA;
  crc = reference_crc({&extra, 1}, crc);
  EXPECT_EQ(frame[22], crc & 0xFF);
  EXPECT_EQ(frame[23], crc >> 8);
}

TEST(EncodeFrame, TruncatesTrailingZerosButKeepsOneByte) {
  struct Case {
    std::vector<uint8_t> payload;
    size_t wire_length;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0, 0}, 1},  // all zero: the first byte stays
      {{}, 1},                           // nothing given: one zero byte
      {{0, 0, 5, 0, 0, 0, 0, 0, 0}, 3},  // zeros before the last non-zero byte stay
      {{1, 2, 3, 4, 5, 6, 7, 8, 9}, 9},
      {{1, 2}, 2},  // shorter than the message: the rest is zero anyway
  };
  for (const auto& c : cases) {
    const auto frame = encode_frame(Heartbeat::ID, c.payload, 1, 1, 0);
    EXPECT_EQ(frame[1], c.wire_length);
    EXPECT_EQ(frame.size(), MAVLINK2_HEADER_LENGTH + c.wire_length + CHECKSUM_LENGTH);
  }
}

TEST(EncodeFrame, WritesThreeByteMessageIds) {
  const MessageInfo* info = find_message("OPEN_DRONE_ID_BASIC_ID");
  ASSERT_NE(info, nullptr);
  const std::vector<uint8_t> payload(info->max_length, 1);
  const auto frame = encode_frame(info->id, payload, 1, 1, 0);
  EXPECT_EQ(frame[7] | frame[8] << 8 | frame[9] << 16, static_cast<int>(info->id));
}

TEST(EncodeFrame, RefusesUnknownIdsAndLongPayloads) {
  const std::vector<uint8_t> ten(10, 1);
  EXPECT_THROW(encode_frame(3, ten, 1, 1, 0), std::invalid_argument);  // no message 3
  EXPECT_THROW(encode_frame(Heartbeat::ID, ten, 1, 1, 0), std::invalid_argument);
}

TEST(MessageView, PayloadAndTypedAccess) {
  const CommandAck ack{.command = MAV_CMD_COMPONENT_ARM_DISARM, .result = MAV_RESULT_DENIED};
  const auto frame = mavtest::frame_of(ack, 1, 1, 9);
  const auto msgs = mavtest::parse(frame);
  ASSERT_EQ(msgs.size(), 1u);
  const Message& msg = msgs[0];
  EXPECT_EQ(msg.payload().size(), frame[1]);
  EXPECT_TRUE(std::equal(msg.payload().begin(), msg.payload().end(), frame.begin() + 10));
  ASSERT_TRUE(msg.as<CommandAck>().has_value());
  EXPECT_EQ(msg.as<CommandAck>()->result, MAV_RESULT_DENIED);
  EXPECT_FALSE(msg.as<Heartbeat>().has_value());

  Message bad;  // BAD_DATA: no payload, no typed view
  bad.frame = frame;
  EXPECT_TRUE(bad.payload().empty());
  EXPECT_FALSE(bad.as<CommandAck>().has_value());
}

}  // namespace
}  // namespace orvel::mavlink
