// Cost of checking one signed command as it arrives from the platform: reading the envelope
// text, writing the body's canonical form and the Ed25519 verification. Reported per envelope.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "commands/verifier.h"
#include "support/json.h"
#include "tests/commands/signing.h"

namespace {

using orvel::Json;
using orvel::commands::Rejected;
using orvel::commands::Verifier;

const std::set<std::string> kOwnKeys = {"edge_bridge:dev-1", "mavlink:1"};

// A typical goto command, issued at `iat`, as the text that arrives over MQTT.
std::string envelope_text(const orvel::testkit::TestSigner& platform, std::int64_t iat,
                          bool good_signature) {
  Json body = orvel::testkit::command_body("goto", "edge_bridge:dev-1",
                                           "nonce-" + std::to_string(iat), iat);
  body["kid"] = "2024-05";
  body["args"] =
      Json::object({{"lat", 47.397742}, {"lon", 8.545594}, {"alt_m", 35.0}, {"speed_mps", 8.5}});
  Json envelope = platform.envelope(body);
  if (!good_signature) envelope["body"]["args"]["alt_m"] = 36.0;
  return orvel::to_json(envelope);
}

void verify_text(Verifier& verifier, const std::string& text, double now) {
  const std::optional<Json> envelope = orvel::parse_json(text);
  try {
    benchmark::DoNotOptimize(verifier.verify(*envelope, kOwnKeys, now));
  } catch (const Rejected& r) {
    benchmark::DoNotOptimize(r.code());
  }
}

// Distinct envelopes, one issued each second, so that none is a replay; the replay memory holds
// about a minute of them, as it would in flight.
void BM_VerifyValidEnvelope(benchmark::State& state) {
  const orvel::testkit::TestSigner platform;
  constexpr std::int64_t kPool = 4096;
  std::vector<std::string> texts;
  for (std::int64_t i = 0; i < kPool; ++i) texts.push_back(envelope_text(platform, 1000 + i, true));
  std::optional<Verifier> verifier;
  std::int64_t i = 0;
  for (auto _ : state) {
    if (i % kPool == 0) {
      state.PauseTiming();
      verifier.emplace(platform.public_key_b64());
      state.ResumeTiming();
    }
    verify_text(*verifier, texts[i % kPool], static_cast<double>(1000 + i % kPool));
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VerifyValidEnvelope);

void BM_VerifyBadSignature(benchmark::State& state) {
  const orvel::testkit::TestSigner platform;
  const std::string text = envelope_text(platform, 1000, false);
  Verifier verifier(platform.public_key_b64());
  for (auto _ : state) verify_text(verifier, text, 1000.0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VerifyBadSignature);

// The share of the work before the signature check.
void BM_ParseAndCanonical(benchmark::State& state) {
  const orvel::testkit::TestSigner platform;
  const std::string text = envelope_text(platform, 1000, true);
  for (auto _ : state) {
    const std::optional<Json> envelope = orvel::parse_json(text);
    benchmark::DoNotOptimize(orvel::commands::canonical(envelope->at("body")));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseAndCanonical);

}  // namespace

BENCHMARK_MAIN();
