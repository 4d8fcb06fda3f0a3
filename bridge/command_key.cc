#include "bridge/command_key.h"

#include <exception>

#include "support/json.h"

namespace orvel::bridge {

namespace {

constexpr double KEY_TIMEOUT_S = 10.0;

// The text of a member, or "" when it is missing, null or not text.
std::string text_member(const Json& obj, const char* key) {
  const Json* v = obj.find(key);
  if (v == nullptr || !v->is_string()) return "";
  return v->as_string();
}

}  // namespace

CommandKey fetch_command_key(const std::string& server, HttpClient& http, const Logger& log) {
  std::string base = server;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string url = base + "/api/v1/edge/command-key/";

  auto fail = [&](const std::string& why) {
    log.warning("Could not fetch the command key from %s: %s", server.c_str(), why.c_str());
    return CommandKey{};
  };
  try {
    HttpOptions options;
    options.connect_timeout_s = KEY_TIMEOUT_S;
    options.wait_timeout_s = KEY_TIMEOUT_S;
    const HttpResponse r = http.get(url, {}, options);
    if (r.status >= 400) return fail("HTTP status " + std::to_string(r.status));
    const std::optional<Json> doc = parse_json(r.body);
    if (!doc) return fail("the answer is not valid JSON");
    // Anything but an object carries no key; say so rather than guessing.
    if (!doc->is_object()) return fail("the answer is not a JSON object");
    return CommandKey{text_member(*doc, "public_key"), text_member(*doc, "key_id")};
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

}  // namespace orvel::bridge
