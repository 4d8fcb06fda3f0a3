#include "sim/options.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace orvel::sim {
namespace {

[[noreturn]] void bad(std::string_view option, std::string_view why) {
  throw std::invalid_argument(std::string(option) + ": " + std::string(why));
}

template <class T>
T parse_number(std::string_view option, std::string_view text) {
  T value{};
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) bad(option, "not a number");
  return value;
}

}  // namespace

SimOptions parse_args(std::span<const std::string_view> args) {
  SimOptions o;
  bool link_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view opt = args[i];
    if (opt == "--pty") {
      if (link_given) bad(opt, "cannot be used with --link");
      o.pty = true;
      continue;
    }
    if (i + 1 >= args.size()) bad(opt, opt.starts_with("--") ? "needs a value" : "unknown option");
    const std::string_view value = args[++i];
    if (opt == "--autopilot") {
      if (value == "px4") {
        o.autopilot = Autopilot::kPx4;
      } else if (value == "ardupilot") {
        o.autopilot = Autopilot::kArduPilot;
      } else {
        bad(opt, "expected px4 or ardupilot");
      }
    } else if (opt == "--link") {
      if (value.empty()) bad(opt, "empty");
      if (o.pty) bad(opt, "cannot be used with --pty");
      o.link = std::string(value);
      link_given = true;
    } else if (opt == "--sysid") {
      const int id = parse_number<int>(opt, value);
      if (id < 1 || id > 255) bad(opt, "expected 1 to 255");
      o.sysid = static_cast<uint8_t>(id);
    } else if (opt == "--loss") {
      o.loss = parse_number<double>(opt, value);
      if (!(o.loss >= 0.0 && o.loss <= 1.0)) bad(opt, "expected 0.0 to 1.0");
    } else if (opt == "--delay-ms") {
      const int ms = parse_number<int>(opt, value);
      if (ms < 0 || ms > 60000) bad(opt, "expected 0 to 60000");
      o.delay_s = ms / 1000.0;
    } else if (opt == "--params") {
      o.params = parse_number<int>(opt, value);
      // PARAM_VALUE carries the count in 16 bits and 65535 means "no index".
      if (o.params < 0 || o.params > 65534) bad(opt, "expected 0 to 65534");
    } else if (opt == "--logs") {
      o.logs = parse_number<int>(opt, value);
      // Log ids are 16 bits; a few are plenty for tests.
      if (o.logs < 0 || o.logs > 100) bad(opt, "expected 0 to 100");
    } else if (opt == "--seed") {
      o.seed = parse_number<uint64_t>(opt, value);
    } else {
      bad(opt, "unknown option");
    }
  }
  return o;
}

std::string usage() {
  return "usage: orvel-edge-sim --autopilot px4|ardupilot (--link ENDPOINT | --pty) [--sysid 1]\n"
         "                      [--loss 0.0..1.0] [--delay-ms N] [--params N] [--logs N]\n"
         "                      [--seed S]\n"
         "  ENDPOINT: udpout:HOST:PORT, udpin:ADDR:PORT, tcp:HOST:PORT or a serial device\n"
         "  --pty: opens a pseudo-terminal and prints \"pty: SLAVE_PATH\" on standard output\n";
}

}  // namespace orvel::sim
