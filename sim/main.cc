// orvel-edge-sim: a simulated PX4 or ArduPilot multicopter on a MAVLink link, for tests and
// demos of the agent. Runs until killed.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mavlink/connection.h"
#include "mavlink/messages.h"
#include "sim/options.h"
#include "sim/pty_link.h"
#include "sim/simulator.h"
#include "support/clock.h"

int main(int argc, char** argv) {
  using namespace orvel;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
    std::fputs(sim::usage().c_str(), stdout);
    return 0;
  }
  sim::SimOptions options;
  try {
    options = sim::parse_args(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvel-edge-sim: %s\n%s", e.what(), sim::usage().c_str());
    return 2;
  }
  std::unique_ptr<mavlink::Link> link;
  std::string where = options.link;
  try {
    if (options.pty) {
      auto pty = std::make_unique<sim::PtyLink>(options.sysid, mavlink::MAV_COMP_ID_AUTOPILOT1);
      where = pty->slave_path();
      // One line on standard output, so a script or test can pick up the device path.
      std::printf("pty: %s\n", where.c_str());
      std::fflush(stdout);
      link = std::move(pty);
    } else {
      link =
          mavlink::open_link(options.link, 57600, options.sysid, mavlink::MAV_COMP_ID_AUTOPILOT1);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvel-edge-sim: cannot open %s: %s\n",
                 options.pty ? "a pseudo-terminal" : options.link.c_str(), e.what());
    return 1;
  }
  const Clock& clock = SystemClock::instance();
  sim::Simulator vehicle(options, clock, *link);
  std::fprintf(
      stderr,
      "orvel-edge-sim: %s system %d on %s, %d parameters, %d logs, loss %.2f, delay %.0f ms\n",
      options.autopilot == sim::Autopilot::kPx4 ? "px4" : "ardupilot", options.sysid, where.c_str(),
      options.params, options.logs, options.loss, options.delay_s * 1000);
  std::fflush(stderr);
  // A short read wait keeps stream and delay timing within about 10 ms.
  for (;;) {
    if (auto msg = link->recv(0.01)) vehicle.handle(*msg);
    vehicle.tick();
  }
}
