// orvel-edge-bridge: the agent's long-lived process. Configured by EDGE_* environment variables.

#include <cstdio>
#include <exception>

#include "bridge/bridge.h"
#include "bridge/config.h"
#include "support/http.h"

int main() {
  using namespace orvel;
  try {
    bridge::BridgeConfig config = bridge::BridgeConfig::from_env();
    bridge::set_mavlink20_default();
    // Only the platform's HTTP interface needs libcurl; without it the TLS libraries stay
    // untouched, which keeps a telemetry-only agent small.
    if (!config.server.empty()) http_global_init();
    bridge::Bridge agent(std::move(config));
    agent.run();
  } catch (const bridge::FatalConfigError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    // Anything else that ends the loop or start-up: report it and let the supervisor restart us.
    Logger("bridge").error("Stopped by an error: %s", e.what());
    return 2;
  }
}
