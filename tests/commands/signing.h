#pragma once
// Signs command envelopes as the platform does, for tests (and benchmarks) that need envelopes a
// Verifier accepts. Keys are made from a seed, so a test's keys are the same on every run and
// two signers with different seeds hold different keys.
//
//   testkit::TestSigner platform;
//   Verifier verifier(platform.public_key_b64(), "k1");
//   Json body = testkit::command_body("land", "edge_bridge:dev-1", "n-1", /*iat=*/1000);
//   body["args"] = Json::object({{"alt_m", 10}});
//   verifier.verify(platform.envelope(body), {"edge_bridge:dev-1"}, 1000.0);

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "commands/verifier.h"
#include "support/base64.h"
#include "support/json.h"

namespace orvel::testkit {

class TestSigner {
 public:
  explicit TestSigner(std::uint8_t seed = 1) {
    unsigned char secret[32];
    for (unsigned i = 0; i < sizeof secret; ++i) secret[i] = static_cast<unsigned char>(seed + i);
    key_.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret, sizeof secret));
    unsigned char raw[32];
    std::size_t length = sizeof raw;
    if (!key_ || EVP_PKEY_get_raw_public_key(key_.get(), raw, &length) != 1 || length != 32) {
      throw std::runtime_error("cannot make an Ed25519 test key");
    }
    public_key_b64_ = base64_encode({reinterpret_cast<const char*>(raw), length});
  }

  // The raw 32-byte public key in Base64, as the platform hands it out.
  const std::string& public_key_b64() const { return public_key_b64_; }

  // The 64-byte Ed25519 signature of `bytes`.
  std::string sign(std::string_view bytes) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned char signature[64];
    std::size_t length = sizeof signature;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
      throw std::runtime_error("Ed25519 signing failed");
    }
    return {reinterpret_cast<const char*>(signature), length};
  }
  std::string sign_b64(std::string_view bytes) const { return base64_encode(sign(bytes)); }

  // {"body": body, "sig": signature over canonical(body)}.
  Json envelope(const Json& body) const {
    return Json::object({{"body", body}, {"sig", sign_b64(commands::canonical(body))}});
  }

 private:
  struct Free {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
  };
  std::unique_ptr<EVP_PKEY, Free> key_;
  std::string public_key_b64_;
};

// A body that passes every check of the Verifier for `vehicle_key` at any time from iat - 5 to
// iat + 35: version 1, valid for 30 s from `iat`, with request id "r-" + nonce.
inline Json command_body(std::string_view kind, std::string_view vehicle_key,
                         std::string_view nonce, std::int64_t iat) {
  return Json::object({{"v", 1},
                       {"kind", kind},
                       {"id", "r-" + std::string(nonce)},
                       {"vehicle_key", vehicle_key},
                       {"iat", iat},
                       {"exp", iat + 30},
                       {"nonce", nonce}});
}

}  // namespace orvel::testkit
