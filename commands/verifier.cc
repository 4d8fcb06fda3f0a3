#include "commands/verifier.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <compare>
#include <stdexcept>
#include <utility>

#include "support/base64.h"

namespace orvel::commands {

namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;

[[noreturn]] void refuse(const char* code, const char* detail) {
  throw Rejected(code, detail);
}

[[noreturn]] void malformed() {
  refuse("bad_envelope", "The command is malformed.");
}

// Wide enough for an int64 time plus the skew without overflow.
__extension__ using Wide = __int128;

// Compares an integer with a real exactly, as python compares an int with a float; unordered
// when the real is not a number.
std::partial_ordering compare(Wide a, double b) {
  if (std::isnan(b)) return std::partial_ordering::unordered;
  // |a| stays far below 2^100 here, and every real within +-2^100 has an exact integer floor.
  if (b >= 0x1p100) return std::partial_ordering::less;
  if (b <= -0x1p100) return std::partial_ordering::greater;
  const double floor = std::floor(b);
  const auto whole = static_cast<Wide>(floor);
  if (a < whole) return std::partial_ordering::less;
  if (a > whole) return std::partial_ordering::greater;
  return floor == b ? std::partial_ordering::equivalent : std::partial_ordering::less;
}

// The platform's python compares "v" with 1, which 1.0 and true equal too.
bool is_version_one(const Json* v) {
  if (v == nullptr) return false;
  switch (v->kind()) {
    case Json::Kind::Int:
      return v->as_int() == 1;
    case Json::Kind::Real:
      return v->as_double() == 1.0;
    case Json::Kind::Bool:
      return v->as_bool();
    default:
      return false;
  }
}

bool is_one_of(const Json* text, std::span<const std::string_view> allowed) {
  return text != nullptr && text->is_string() &&
         std::find(allowed.begin(), allowed.end(), text->as_string()) != allowed.end();
}

// A time in whole seconds. Integers beyond 64 bits are no time this agent will ever see.
std::optional<std::int64_t> seconds(const Json* t) {
  if (t == nullptr || !t->is_int()) return std::nullopt;
  return t->as_int();
}

// One-shot Ed25519 verification. A refused signature leaves entries in this thread's OpenSSL
// error queue, which would later be reported against an unrelated TLS failure: drop them.
bool signature_valid(EVP_PKEY* key, std::string_view signature, std::string_view message) {
  if (signature.size() != kSignatureBytes) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool valid =
      ctx != nullptr && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
      EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  if (!valid) ERR_clear_error();
  return valid;
}

}  // namespace

std::string canonical(const Json& body) {
  return canonical_json(body);
}

void Verifier::KeyFree::operator()(evp_pkey_st* key) const noexcept {
  EVP_PKEY_free(key);
}

Verifier::Verifier(std::string_view public_key_b64, std::string key_id, const Clock& clock)
    : clock_(&clock) {
  if (!public_key_b64.empty()) set_key(public_key_b64, std::move(key_id));
}

Verifier::~Verifier() = default;
Verifier::Verifier(Verifier&&) noexcept = default;
Verifier& Verifier::operator=(Verifier&&) noexcept = default;

void Verifier::set_key(std::string_view public_key_b64, std::string key_id) {
  const std::optional<std::string> raw = base64_decode(public_key_b64);
  if (!raw) throw std::invalid_argument("The command key is not valid Base64.");
  if (raw->size() != kKeyBytes) {
    throw std::invalid_argument("The command key must be 32 bytes long, not " +
                                std::to_string(raw->size()) + ".");
  }
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(raw->data()), raw->size());
  if (key == nullptr) {
    ERR_clear_error();
    throw std::invalid_argument("The command key is not a usable Ed25519 key.");
  }
  key_.reset(key);
  key_id_ = std::move(key_id);
}

Json Verifier::verify(const Json& envelope, const std::set<std::string>& own_keys,
                      std::optional<double> now, std::span<const std::string_view> kinds) {
  if (!key_) {
    refuse("no_key",
           "This agent has no command key (enroll again or run `orvel-edge allow-commands`).");
  }

  // find() is null for a missing member and for an envelope that is not an object.
  const Json* body = envelope.find("body");
  const Json* sig = envelope.find("sig");
  if (body == nullptr || sig == nullptr || !sig->is_string()) malformed();
  const std::optional<std::string> signature = base64_decode(sig->as_string());
  if (!signature) malformed();
  if (!signature_valid(key_.get(), *signature, canonical(*body))) {
    refuse("bad_signature", "The command signature is not valid.");
  }
  // The platform never signs anything else; without this, the member look-ups below would
  // quietly treat a signed list or text as a body with every member missing.
  if (!body->is_object()) malformed();

  if (!is_version_one(body->find("v")) || !is_one_of(body->find("kind"), kinds)) {
    refuse("bad_envelope", "Unknown command.");
  }

  const Json* vehicle_key = body->find("vehicle_key");
  if (vehicle_key == nullptr || !vehicle_key->is_string() ||
      !own_keys.contains(vehicle_key->as_string())) {
    refuse("wrong_vehicle", "The command is for another vehicle.");
  }

  const std::optional<std::int64_t> iat = seconds(body->find("iat"));
  const std::optional<std::int64_t> exp = seconds(body->find("exp"));
  if (!iat || !exp || *exp < *iat || Wide{*exp} - *iat > MAX_LIFETIME_S) {
    refuse("bad_envelope", "The command lifetime is not valid.");
  }

  const double at = now ? *now : clock_->wall();
  if (compare(Wide{*exp} + CLOCK_SKEW_S, at) < 0) {
    refuse("expired",
           "The command expired before it arrived (check the drone's clock if this repeats).");
  }
  // at + skew is a real sum here, as on the platform's side of the rule.
  if (compare(*iat, at + static_cast<double>(CLOCK_SKEW_S)) > 0) {
    refuse("bad_envelope", "The command is from the future (check the drone's clock).");
  }

  std::erase_if(seen_, [at](const auto& entry) {
    return !(compare(Wide{entry.second} + CLOCK_SKEW_S, at) >= 0);
  });

  const Json* nonce = body->find("nonce");
  if (nonce == nullptr || is_falsy(*nonce)) {
    refuse("replayed", "This command was already received.");
  }
  std::string remembered_as = canonical(*nonce);
  if (seen_.contains(remembered_as)) refuse("replayed", "This command was already received.");
  seen_.emplace(std::move(remembered_as), *exp);
  return *body;
}

}  // namespace orvel::commands
