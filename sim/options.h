#pragma once
// Command-line settings of the vehicle simulator.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace orvel::sim {

enum class Autopilot { kPx4, kArduPilot };

struct SimOptions {
  Autopilot autopilot = Autopilot::kPx4;
  std::string link = "udpout:127.0.0.1:14540";
  bool pty = false;  // a pseudo-terminal instead of `link`
  uint8_t sysid = 1;
  double loss = 0.0;     // probability of dropping each frame, either way
  double delay_s = 0.0;  // added to every outgoing frame
  int params = 1000;     // size of the parameter table
  uint64_t seed = 1;     // for the loss draws, so a run can be repeated
  int logs = 3;          // stored flight logs offered for download
};

// Reads the arguments after the program name. Throws std::invalid_argument naming the bad
// option; an empty argument list gives the defaults. --link and --pty exclude each other;
// without either the default link is used.
SimOptions parse_args(std::span<const std::string_view> args);

std::string usage();

}  // namespace orvel::sim
