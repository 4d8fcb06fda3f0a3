#include "commands/verifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

#include "support/base64.h"
#include "support/json.h"
#include "tests/commands/signing.h"
#include "tests/testkit/testkit.h"

namespace orvel::commands {
namespace {

using testkit::command_body;
using testkit::TestSigner;

const std::set<std::string> kOwnKeys = {"edge_bridge:dev-1", "mavlink:1"};

struct Refusal {
  std::string code;
  std::string detail;
  bool operator==(const Refusal&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Refusal& r) {
    return out << r.code << " \"" << r.detail << "\"";
  }
};

const Refusal kNoKey{"no_key",
                     "This agent has no command key (enroll again or run `orvel-edge "
                     "allow-commands`)."};
const Refusal kMalformed{"bad_envelope", "The command is malformed."};
const Refusal kBadSignature{"bad_signature", "The command signature is not valid."};
const Refusal kUnknown{"bad_envelope", "Unknown command."};
const Refusal kWrongVehicle{"wrong_vehicle", "The command is for another vehicle."};
const Refusal kLifetime{"bad_envelope", "The command lifetime is not valid."};
const Refusal kExpired{
    "expired", "The command expired before it arrived (check the drone's clock if this repeats)."};
const Refusal kFuture{"bad_envelope", "The command is from the future (check the drone's clock)."};
const Refusal kReplayed{"replayed", "This command was already received."};

// What verify() does with an envelope: nullopt when it accepts, else its refusal. Any other
// exception fails the test.
std::optional<Refusal> outcome(Verifier& verifier, const Json& envelope, double now,
                               std::span<const std::string_view> kinds = KINDS) {
  try {
    verifier.verify(envelope, kOwnKeys, now, kinds);
    return std::nullopt;
  } catch (const Rejected& r) {
    return Refusal{r.code(), r.detail()};
  }
}

// A valid body for this agent: kind "land", issued at 1000, valid until 1030.
Json base_body(std::string_view nonce = "n-1") {
  return command_body("land", "edge_bridge:dev-1", nonce, 1000);
}

std::string random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

Json parsed(std::string_view text) {
  std::optional<Json> value = parse_json(text);
  if (!value) throw std::invalid_argument("test JSON does not parse: " + std::string(text));
  return *value;
}

class VerifierTest : public ::testing::Test {
 protected:
  TestSigner platform_;
  Verifier verifier_{platform_.public_key_b64(), "k1"};
};

// ---------------------------------------------------------------------------------------------
// Checks on the signed body, one fault (or one order of faults) per row.

struct BodyCase {
  const char* name;
  std::function<void(Json&)> edit;
  double now;
  std::optional<Refusal> expected;  // nullopt: accepted
};

TEST_F(VerifierTest, BodyChecks) {
  const Json big = Json::integer("100000000000000000000");
  const auto set = [](std::string_view key, Json value) {
    return [key = std::string(key), value](Json& body) { body[key] = value; };
  };
  const auto drop = [](std::string_view key) {
    return [key = std::string(key)](Json& body) { body.as_object().erase(key); };
  };
  const auto times = [](Json iat, Json exp) {
    return [iat, exp](Json& body) {
      body["iat"] = iat;
      body["exp"] = exp;
    };
  };
  const auto both = [](std::function<void(Json&)> a, std::function<void(Json&)> b) {
    return [a, b](Json& body) {
      a(body);
      b(body);
    };
  };
  const BodyCase cases[] = {
      {"as issued", [](Json&) {}, 1000, std::nullopt},
      {"autopilot's vehicle key", set("vehicle_key", "mavlink:1"), 1000, std::nullopt},
      {"last flight kind", set("kind", "velocity"), 1000, std::nullopt},
      {"unread members", set("args", Json::object({{"alt_m", 12.5}})), 1000, std::nullopt},
      // The platform's python compares "v" != 1, which 1.0 and true pass.
      {"v 1.0", set("v", 1.0), 1000, std::nullopt},
      {"v true", set("v", true), 1000, std::nullopt},
      {"v 2", set("v", 2), 1000, kUnknown},
      {"v text", set("v", "1"), 1000, kUnknown},
      {"v 1.5", set("v", 1.5), 1000, kUnknown},
      {"v false", set("v", false), 1000, kUnknown},
      {"v beyond 64 bits", set("v", Json::integer("18446744073709551617")), 1000, kUnknown},
      {"v missing", drop("v"), 1000, kUnknown},
      {"kind unknown", set("kind", "fly"), 1000, kUnknown},
      {"kind in capitals", set("kind", "LAND"), 1000, kUnknown},
      {"kind not text", set("kind", Json::array({"land"})), 1000, kUnknown},
      {"kind missing", drop("kind"), 1000, kUnknown},
      {"other vehicle", set("vehicle_key", "edge_bridge:dev-2"), 1000, kWrongVehicle},
      {"vehicle key not text", set("vehicle_key", 1), 1000, kWrongVehicle},
      {"vehicle key missing", drop("vehicle_key"), 1000, kWrongVehicle},
      {"lifetime 60 s", times(1000, 1060), 1000, std::nullopt},
      {"lifetime 0 s", times(1000, 1000), 1000, std::nullopt},
      {"lifetime 61 s", times(1000, 1061), 1000, kLifetime},
      {"exp before iat", times(1000, 999), 1000, kLifetime},
      {"iat real", times(1000.0, 1030), 1000, kLifetime},
      {"exp real", times(1000, 1030.0), 1000, kLifetime},
      {"iat text", times("1000", 1030), 1000, kLifetime},
      {"iat true", times(true, 1), 1000, kLifetime},
      {"exp null", times(1000, nullptr), 1000, kLifetime},
      {"iat missing", drop("iat"), 1000, kLifetime},
      {"exp missing", drop("exp"), 1000, kLifetime},
      {"exp beyond 64 bits", times(1000, big), 1000, kLifetime},
      {"both beyond 64 bits", times(big, big), 1000, kLifetime},
      {"span overflows 64 bits",
       times(std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()),
       1000, kLifetime},
      {"5 s after exp", times(990, 1000), 1005.0, std::nullopt},
      {"just over 5 s after exp", times(990, 1000), 1005.1, kExpired},
      {"long after exp", times(990, 1000), 1.7e9, kExpired},
      {"5 s before iat", times(1000, 1030), 995.0, std::nullopt},
      {"just over 5 s before iat", times(1000, 1030), 994.9, kFuture},
      {"long before iat", times(1000, 1030), 0, kFuture},
      {"latest time",
       times(std::numeric_limits<std::int64_t>::max() - 60,
             std::numeric_limits<std::int64_t>::max()),
       1000, kFuture},
      {"nonce a number", set("nonce", 5), 1000, std::nullopt},
      {"nonce missing", drop("nonce"), 1000, kReplayed},
      {"nonce null", set("nonce", nullptr), 1000, kReplayed},
      {"nonce false", set("nonce", false), 1000, kReplayed},
      {"nonce 0", set("nonce", 0), 1000, kReplayed},
      {"nonce 0.0", set("nonce", 0.0), 1000, kReplayed},
      {"nonce empty", set("nonce", ""), 1000, kReplayed},
      {"nonce empty list", set("nonce", Json::array()), 1000, kReplayed},
      {"nonce empty object", set("nonce", Json::object()), 1000, kReplayed},
      // Several faults: the first check in order decides.
      {"unknown kind for another vehicle", both(set("kind", "fly"), set("vehicle_key", "x")), 1000,
       kUnknown},
      {"another vehicle, bad lifetime", both(set("vehicle_key", "x"), times(1000, 999)), 1000,
       kWrongVehicle},
      {"bad lifetime, long expired", times(1000, 999), 5000, kLifetime},
      {"expired without nonce", both(times(990, 1000), drop("nonce")), 1006, kExpired},
      {"future without nonce", drop("nonce"), 900, kFuture},
  };
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.name);
    Verifier verifier(platform_.public_key_b64());
    Json body = base_body();
    c.edit(body);
    EXPECT_EQ(outcome(verifier, platform_.envelope(body), c.now), c.expected);
  }
}

TEST_F(VerifierTest, KindsAreTheCallersOwn) {
  const std::array<std::string_view, 1> camera = {"camera.snap"};
  Json body = base_body();
  EXPECT_EQ(outcome(verifier_, platform_.envelope(body), 1000, camera), kUnknown);
  body["kind"] = "camera.snap";
  EXPECT_EQ(outcome(verifier_, platform_.envelope(body), 1000), kUnknown);
  EXPECT_EQ(outcome(verifier_, platform_.envelope(body), 1000, camera), std::nullopt);
}

TEST_F(VerifierTest, ReturnsTheBody) {
  Json body = base_body();
  body["args"] = Json::object({{"alt_m", 10}});
  EXPECT_EQ(verifier_.verify(platform_.envelope(body), kOwnKeys, 1000.0), body);
}

// ---------------------------------------------------------------------------------------------
// The envelope and its signature.

TEST_F(VerifierTest, EnvelopeAndSignatureChecks) {
  const Json body = base_body();
  const std::string good_sig = platform_.sign_b64(canonical(body));
  const std::string raw_sig = platform_.sign(canonical(body));
  const auto envelope = [&](Json sig, Json signed_body = nullptr) {
    return Json::object({{"body", signed_body.is_null() ? body : signed_body}, {"sig", sig}});
  };
  Json bad_v = body;
  bad_v["v"] = 2;
  const Json list_body = Json::array({1, 2});
  const struct {
    const char* name;
    Json envelope;
    std::optional<Refusal> expected;
  } cases[] = {
      {"valid", envelope(good_sig), std::nullopt},
      // The platform's Base64 reader skips characters outside the alphabet; so does ours.
      {"signature with line breaks",
       envelope(good_sig.substr(0, 40) + "\n" + good_sig.substr(40, 30) + "\r\n" +
                good_sig.substr(70)),
       std::nullopt},
      {"unsigned members ignored",
       [&] {
         Json e = envelope(good_sig);
         e["relay"] = Json::object({{"hops", 3}});
         return e;
       }(),
       std::nullopt},
      {"envelope a list", Json::array({body, good_sig}), kMalformed},
      {"envelope text", Json("{}"), kMalformed},
      {"envelope null", Json(), kMalformed},
      {"envelope empty", Json::object(), kMalformed},
      {"body missing", Json::object({{"sig", good_sig}}), kMalformed},
      {"sig missing", Json::object({{"body", body}}), kMalformed},
      {"sig a number", envelope(5), kMalformed},
      {"sig null", envelope(nullptr), kMalformed},
      {"sig a list", envelope(Json::array({good_sig})), kMalformed},
      {"sig one character over", envelope(good_sig.substr(0, 85)), kMalformed},
      {"sig padding short", envelope(good_sig.substr(0, 84) + "AA="), kMalformed},
      {"sig of random bytes", envelope(base64_encode(random_bytes(64, 7))), kBadSignature},
      {"sig empty", envelope(""), kBadSignature},
      {"sig 63 bytes", envelope(base64_encode(raw_sig.substr(0, 63))), kBadSignature},
      {"sig 65 bytes", envelope(base64_encode(raw_sig + '\0')), kBadSignature},
      {"sig by another key", TestSigner(2).envelope(body), kBadSignature},
      {"body changed after signing", envelope(good_sig, bad_v), kBadSignature},
      {"sig over the spaced form", envelope(platform_.sign_b64(to_json(body))), kBadSignature},
      // A body that is not an object is never sent; signed or not, it is refused.
      {"signed list body", envelope(platform_.sign_b64(canonical(list_body)), list_body),
       kMalformed},
      {"signed text body", envelope(platform_.sign_b64("\"land\""), Json("land")), kMalformed},
      {"signed null body", Json::object({{"body", nullptr}, {"sig", platform_.sign_b64("null")}}),
       kMalformed},
      {"unsigned list body", envelope(good_sig, list_body), kBadSignature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Verifier verifier(platform_.public_key_b64());
    EXPECT_EQ(outcome(verifier, c.envelope, 1000), c.expected);
  }
}

TEST(VerifierNoKey, EveryEnvelopeIsRefusedForWantOfAKey) {
  const TestSigner platform;
  Verifier verifier;
  EXPECT_FALSE(verifier.has_key());
  const Json envelopes[] = {
      platform.envelope(base_body()),
      Json(5),
      Json::object(),
      Json::object({{"body", base_body()}, {"sig", 5}}),
      Json::object({{"body", base_body()}, {"sig", "not base64!"}}),
  };
  for (const Json& envelope : envelopes) {
    SCOPED_TRACE(to_json(envelope));
    EXPECT_EQ(outcome(verifier, envelope, 1000), kNoKey);
  }
}

// ---------------------------------------------------------------------------------------------
// The signature covers the canonical form of the body, not the text that arrived.

TEST_F(VerifierTest, SignatureCoversTheCanonicalFormOfTheReceivedBody) {
  const std::string head = R"({ "v": 1, "kind": "goto", "vehicle_key": "edge_bridge:dev-1", )"
                           R"("iat": 1000, "exp": 1030, "nonce": "n-7", )";
  const struct {
    const char* name;
    std::string received_body;
    std::string signed_bytes;
    std::optional<Refusal> expected;
  } cases[] = {
      {"members reordered, spaces, 1.50 and 1E2",
       R"({"vehicle_key" : "edge_bridge:dev-1", "speed": 1.50, "nonce":"n-7", "kind":"goto",)"
       R"( "v":1, "iat":1000, "exp":1030, "args": { "lon": 8.5, "alt_m": 1E2, "lat": 47.0 } })",
       R"({"args":{"alt_m":100.0,"lat":47.0,"lon":8.5},"exp":1030,"iat":1000,"kind":"goto",)"
       R"("nonce":"n-7","speed":1.5,"v":1,"vehicle_key":"edge_bridge:dev-1"})",
       std::nullopt},
      {"non-ASCII text signed as escapes", head + "\"label\": \"Zürich ✈ 𝄞\" }",
       R"({"exp":1030,"iat":1000,"kind":"goto","label":"Z\u00fcrich \u2708 \ud834\udd1e",)"
       R"("nonce":"n-7","v":1,"vehicle_key":"edge_bridge:dev-1"})",
       std::nullopt},
      {"non-ASCII text signed as UTF-8", head + "\"label\": \"Zürich\" }",
       R"({"exp":1030,"iat":1000,"kind":"goto","label":"Zürich",)"
       R"("nonce":"n-7","v":1,"vehicle_key":"edge_bridge:dev-1"})",
       kBadSignature},
      {"integer beyond 64 bits, -0, key given twice",
       head + R"("args": {"n": 123456789012345678901234567890, "z": 1, "m": -0, "z": [1, "/"]} })",
       R"({"args":{"m":0,"n":123456789012345678901234567890,"z":[1,"/"]},"exp":1030,"iat":1000,)"
       R"("kind":"goto","nonce":"n-7","v":1,"vehicle_key":"edge_bridge:dev-1"})",
       std::nullopt},
      {"signed as received", head + "\"x\": 1.50 }", head + "\"x\": 1.50 }", kBadSignature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Verifier verifier(platform_.public_key_b64());
    const Json envelope = parsed(R"({"body": )" + c.received_body + R"(, "sig": ")" +
                                 platform_.sign_b64(c.signed_bytes) + "\"}");
    EXPECT_EQ(outcome(verifier, envelope, 1000), c.expected);
  }
}

// ---------------------------------------------------------------------------------------------
// Replay memory.

TEST_F(VerifierTest, SameEnvelopeIsReplayedWithinItsWindowThenExpired) {
  const Json envelope = platform_.envelope(base_body());  // iat 1000, exp 1030
  EXPECT_EQ(outcome(verifier_, envelope, 1000), std::nullopt);
  EXPECT_EQ(outcome(verifier_, envelope, 1001), kReplayed);
  EXPECT_EQ(outcome(verifier_, envelope, 1035.0), kReplayed);
  EXPECT_EQ(outcome(verifier_, envelope, 1035.1), kExpired);
}

TEST_F(VerifierTest, NonceIsForgottenFiveSecondsAfterItsExp) {
  EXPECT_EQ(outcome(verifier_, platform_.envelope(base_body("n")), 1000), std::nullopt);
  // Another envelope with the same nonce, valid later.
  const Json later = platform_.envelope(command_body("hold", "mavlink:1", "n", 1031));
  EXPECT_EQ(outcome(verifier_, later, 1035.0), kReplayed);
  EXPECT_EQ(outcome(verifier_, later, 1035.1), std::nullopt);
  EXPECT_EQ(outcome(verifier_, later, 1036), kReplayed);
}

TEST_F(VerifierTest, RefusedEnvelopeDoesNotUseUpItsNonce) {
  Json body = base_body("n");
  body["vehicle_key"] = "edge_bridge:dev-2";
  EXPECT_EQ(outcome(verifier_, platform_.envelope(body), 1000), kWrongVehicle);
  body["vehicle_key"] = "edge_bridge:dev-1";
  EXPECT_EQ(outcome(verifier_, platform_.envelope(body), 1000), std::nullopt);
}

TEST_F(VerifierTest, NoncesAreSharedByAllKindsAndKeptApartByType) {
  const std::array<std::string_view, 1> camera = {"camera.snap"};
  Json snap = command_body("camera.snap", "edge_bridge:dev-1", "n-1", 1000);
  EXPECT_EQ(outcome(verifier_, platform_.envelope(snap), 1000, camera), std::nullopt);
  EXPECT_EQ(outcome(verifier_, platform_.envelope(base_body("n-1")), 1000), kReplayed);

  // The number 5 and the text "5" are different nonces, as they are different keys in python.
  Json body = base_body();
  body["nonce"] = 5;
  EXPECT_EQ(outcome(verifier_, platform_.envelope(body), 1000), std::nullopt);
  body["nonce"] = "5";
  EXPECT_EQ(outcome(verifier_, platform_.envelope(body), 1000), std::nullopt);
  body["id"] = "another request";
  EXPECT_EQ(outcome(verifier_, platform_.envelope(body), 1000), kReplayed);
  body["nonce"] = 5;
  EXPECT_EQ(outcome(verifier_, platform_.envelope(body), 1000), kReplayed);
}

TEST_F(VerifierTest, MemoryHoldsOnlyTheLastMinuteOrSo) {
  // One longest-lived envelope a second for ten minutes: each nonce is kept from its iat until
  // exp + skew, so no more than MAX_LIFETIME_S + CLOCK_SKEW_S + 1 are ever held.
  const auto bound = static_cast<std::size_t>(MAX_LIFETIME_S + CLOCK_SKEW_S + 1);
  std::size_t most = 0;
  for (std::int64_t t = 1000; t < 1600; ++t) {
    Json body = command_body("hold", "mavlink:1", "n-" + std::to_string(t), t);
    body["exp"] = t + MAX_LIFETIME_S;
    ASSERT_EQ(outcome(verifier_, platform_.envelope(body), static_cast<double>(t)), std::nullopt);
    most = std::max(most, verifier_.remembered());
  }
  EXPECT_EQ(most, bound);
}

// ---------------------------------------------------------------------------------------------
// Time source.

TEST(VerifierClock, WithoutNowTheInjectedWallClockDecides) {
  const TestSigner platform;
  testkit::FakeClock clock(/*mono=*/5.0, /*wall=*/1000.0);
  Verifier verifier(platform.public_key_b64(), "k1", clock);
  EXPECT_NO_THROW(verifier.verify(platform.envelope(base_body("a")), kOwnKeys));
  clock.set_wall(1035.5);
  try {
    verifier.verify(platform.envelope(base_body("b")), kOwnKeys);
    ADD_FAILURE() << "accepted an expired envelope";
  } catch (const Rejected& r) {
    EXPECT_EQ(r.code(), "expired");
  }
}

// ---------------------------------------------------------------------------------------------
// Keys.

TEST(VerifierKey, StartsWithoutKeyAndTakesOneLater) {
  const TestSigner platform;
  Verifier verifier("", "k0");
  EXPECT_FALSE(verifier.has_key());
  EXPECT_EQ(verifier.key_id(), "");  // no key id without a key
  verifier.set_key(platform.public_key_b64(), "k1");
  EXPECT_TRUE(verifier.has_key());
  EXPECT_EQ(verifier.key_id(), "k1");
  EXPECT_EQ(outcome(verifier, platform.envelope(base_body()), 1000), std::nullopt);
}

TEST(VerifierKey, KeyIsReadAsLenientBase64) {
  const TestSigner platform;
  const std::string key = platform.public_key_b64();
  Verifier verifier(" " + key.substr(0, 20) + "\n" + key.substr(20) + "\n", "k1");
  EXPECT_EQ(outcome(verifier, platform.envelope(base_body()), 1000), std::nullopt);
}

TEST(VerifierKey, BadKeyIsRefusedAndTheOldOneKept) {
  const TestSigner platform;
  const std::string key = platform.public_key_b64();
  const std::string raw = *base64_decode(key);
  const std::string bad_keys[] = {
      "",                                // no bytes
      key.substr(0, 41),                 // one character over a group
      key.substr(0, 42) + "=",           // padding short
      base64_encode(raw.substr(0, 31)),  // too short
      base64_encode(raw + "x"),          // too long
      base64_encode(raw + raw),          // a key pair's 64 bytes
      "not a key at all",                // 12 alphabet characters: 9 bytes
  };
  Verifier verifier(key, "k1");
  for (const std::string& bad : bad_keys) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(verifier.set_key(bad, "k2"), std::invalid_argument);
    EXPECT_TRUE(verifier.has_key());
    EXPECT_EQ(verifier.key_id(), "k1");
    EXPECT_EQ(outcome(verifier, platform.envelope(base_body(bad + "n")), 1000), std::nullopt);
  }
}

TEST(VerifierKey, ConstructorRefusesABadKey) {
  const std::string short_key = base64_encode(std::string(31, 'k'));
  EXPECT_THROW({ Verifier verifier(short_key, "k1"); }, std::invalid_argument);
}

TEST(VerifierKey, RotationSwitchesKeysAndKeepsTheReplayMemory) {
  const TestSigner old_key(1);
  const TestSigner new_key(2);
  Verifier verifier(old_key.public_key_b64(), "k1");
  EXPECT_EQ(outcome(verifier, old_key.envelope(base_body("n-1")), 1000), std::nullopt);

  verifier.set_key(new_key.public_key_b64(), "k2");
  EXPECT_EQ(verifier.key_id(), "k2");
  EXPECT_EQ(outcome(verifier, old_key.envelope(base_body("n-2")), 1000), kBadSignature);
  EXPECT_EQ(outcome(verifier, new_key.envelope(base_body("n-2")), 1000), std::nullopt);
  EXPECT_EQ(outcome(verifier, new_key.envelope(base_body("n-1")), 1000), kReplayed);
}

// ---------------------------------------------------------------------------------------------
// Hostile bodies: every member the verifier reads, set to a value of every kind, is either
// accepted or refused with Rejected; nothing else escapes.

TEST_F(VerifierTest, ValuesOfEveryKindAreRefusedCleanly) {
  const Json values[] = {
      nullptr,
      true,
      false,
      0,
      -1,
      1030,
      std::numeric_limits<std::int64_t>::min(),
      Json::integer("-100000000000000000000"),
      1e308,
      -0.0,
      std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::infinity(),
      "",
      "land",
      "\xf0\x9d\x84\x9e",
      Json::array(),
      Json::array({Json::array({Json::object({{"a", nullptr}})})}),
      Json::object(),
      Json::object({{"v", 1}}),
  };
  const char* members[] = {"v", "kind", "vehicle_key", "iat", "exp", "nonce"};
  for (const char* member : members) {
    for (const Json& value : values) {
      SCOPED_TRACE(std::string(member) + " = " + to_json(value));
      Json body = base_body(member);
      body[member] = value;
      const Json envelope = platform_.envelope(body);
      for (const double now : {1000.0, -1e300, std::numeric_limits<double>::infinity()}) {
        EXPECT_NO_THROW(outcome(verifier_, envelope, now));
      }
    }
  }
}

}  // namespace
}  // namespace orvel::commands
