#pragma once
// Base64 with the standard alphabet (A-Z a-z 0-9 + /) and "=" padding.

#include <optional>
#include <string>
#include <string_view>

namespace orvel {

// Padded encoding of raw bytes.
std::string base64_encode(std::string_view bytes);

// Decodes leniently, the way python's base64.b64decode does by default, so that keys and
// signatures the platform's tools accept are accepted here too: bytes outside the alphabet and
// "=" are skipped; "=" only counts after at least two characters of a group and decoding stops
// once padding completes a group (anything after it is ignored). Refused (nullopt): one
// character left over after the last full group, or a group left without enough padding.
// Returns the raw bytes.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace orvel
