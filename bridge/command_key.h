#pragma once
// Fetches the platform's current command key over HTTP.

#include <string>
#include <utility>

#include "support/http.h"
#include "support/log.h"

namespace orvel::bridge {

struct CommandKey {
  std::string public_key;
  std::string key_id;
};

// GET server + "/api/v1/edge/command-key/". Never throws for network, HTTP or body errors: it
// logs a warning and returns an empty pair.
CommandKey fetch_command_key(const std::string& server, HttpClient& http, const Logger& log);

}  // namespace orvel::bridge
