#pragma once
// Signed envelopes: the bytes the platform signs for a command body, and the Verifier that holds
// the platform's Ed25519 command key and decides whether an envelope may be acted on.
//
//   Verifier verifier(command_key_b64, key_id);
//   try {
//     Json body = verifier.verify(envelope, own_keys(), std::nullopt);  // flight kinds
//   } catch (const Rejected& r) {
//     reply("rejected", r.code(), r.detail());
//   }
//
// One Verifier is shared by every module that takes requests, so a nonce accepted by one is
// refused as replayed by all. It has no lock: call it from the main loop only.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "commands/kinds.h"
#include "commands/rejected.h"
#include "support/clock.h"
#include "support/json.h"

struct evp_pkey_st;  // OpenSSL's EVP_PKEY, kept out of this header

namespace orvel::commands {

// Largest allowed exp - iat of an envelope, in seconds.
inline constexpr std::int64_t MAX_LIFETIME_S = 60;
// Tolerance on both ends of an envelope's validity window, and how long past its exp a nonce is
// remembered, in seconds.
inline constexpr std::int64_t CLOCK_SKEW_S = 5;

// The bytes that are signed for a body: members sorted by key at every level, no white space,
// pure ASCII, numbers printed from their value. The platform's signer makes the same bytes.
std::string canonical(const Json& body);

class Verifier {
 public:
  // Holds no key until one is given; a non-empty key is set at once, and a bad one throws as
  // set_key does. `clock` gives the wall time when verify() is called without `now`; it must
  // outlive the Verifier.
  explicit Verifier(std::string_view public_key_b64 = "", std::string key_id = "",
                    const Clock& clock = SystemClock::instance());
  ~Verifier();
  Verifier(Verifier&&) noexcept;
  Verifier& operator=(Verifier&&) noexcept;
  // One instance holds the replay memory that all modules share: never copied.
  Verifier(const Verifier&) = delete;
  Verifier& operator=(const Verifier&) = delete;

  // Takes a raw 32-byte Ed25519 public key in Base64, read leniently as the platform's tools
  // write it (characters outside the alphabet are skipped). Throws std::invalid_argument when
  // the Base64 is malformed or the key is not 32 bytes; the key and key id held before are then
  // kept. The replay memory is not touched.
  void set_key(std::string_view public_key_b64, std::string key_id = "");
  // The id of the key held; "" while no key is held.
  const std::string& key_id() const { return key_id_; }
  bool has_key() const { return key_ != nullptr; }

  // Returns the envelope's body when every check passes, and remembers its nonce; otherwise
  // throws Rejected with the code and detail of the first check that fails, in this order:
  // no key; malformed envelope; signature; version and kind; vehicle; lifetime; expired; from
  // the future; replayed. `own_keys` are the vehicle keys this agent answers to, `now` the wall
  // time in seconds since the Unix epoch (the clock's when absent), `kinds` the kinds the
  // caller accepts. Any JSON value is a valid argument.
  //
  // Where the body holds unexpected types, values compare as the platform's python does:
  // "v" may be 1, 1.0 or true. Stricter: "iat" and "exp" must be JSON integers within 64 bits
  // (not true, not 1000.0, not 10^20). A nonce is refused when python would find it false (null,
  // false, 0, 0.0, "", [], {}); any other value is remembered by its canonical text, so 5 and
  // "5" are different nonces (and so are 1 and true). A validly signed body that is not an
  // object is refused as malformed.
  Json verify(const Json& envelope, const std::set<std::string>& own_keys,
              std::optional<double> now = std::nullopt,
              std::span<const std::string_view> kinds = KINDS);

  // How many nonces are remembered. An entry is dropped at the first verification after its
  // exp + CLOCK_SKEW_S, at most MAX_LIFETIME_S + 2 * CLOCK_SKEW_S after it was accepted, so the
  // count is bounded by the envelopes accepted within that span.
  std::size_t remembered() const { return seen_.size(); }

 private:
  struct KeyFree {
    void operator()(evp_pkey_st* key) const noexcept;
  };

  std::unique_ptr<evp_pkey_st, KeyFree> key_;
  std::string key_id_;
  // Canonical text of each accepted nonce, with the exp of its envelope.
  std::unordered_map<std::string, std::int64_t> seen_;
  const Clock* clock_;
};

}  // namespace orvel::commands
