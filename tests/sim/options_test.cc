// Command-line parsing of the simulator program.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string_view>
#include <vector>

#include "sim/options.h"

namespace orvel::sim {
namespace {

SimOptions parse(std::vector<std::string_view> args) {
  return parse_args(args);
}

TEST(Options, ReadsEveryOption) {
  const auto o = parse({"--autopilot", "ardupilot", "--link", "udpin:0.0.0.0:14550", "--sysid", "7",
                        "--loss", "0.25", "--delay-ms", "150", "--params", "20", "--seed", "99"});
  EXPECT_EQ(o.autopilot, Autopilot::kArduPilot);
  EXPECT_EQ(o.link, "udpin:0.0.0.0:14550");
  EXPECT_EQ(o.sysid, 7);
  EXPECT_DOUBLE_EQ(o.loss, 0.25);
  EXPECT_DOUBLE_EQ(o.delay_s, 0.15);
  EXPECT_EQ(o.params, 20);
  EXPECT_EQ(o.seed, 99u);
  EXPECT_FALSE(o.pty);
  const auto p = parse({"--pty", "--logs", "0", "--sysid", "3"});
  EXPECT_TRUE(p.pty);
  EXPECT_EQ(p.logs, 0);
  EXPECT_EQ(p.sysid, 3);
  const auto d = parse({});
  EXPECT_EQ(d.autopilot, Autopilot::kPx4);
  EXPECT_EQ(d.params, 1000);
  EXPECT_EQ(d.loss, 0.0);
  EXPECT_EQ(d.logs, 3);
  EXPECT_FALSE(d.pty);
}

TEST(Options, RejectsBadInput) {
  const std::vector<std::vector<std::string_view>> bad = {{"--autopilot", "inav"},
                                                          {"--sysid", "0"},
                                                          {"--sysid", "256"},
                                                          {"--loss", "1.5"},
                                                          {"--loss", "-0.1"},
                                                          {"--loss", "nan"},
                                                          {"--delay-ms", "-1"},
                                                          {"--params", "70000"},
                                                          {"--params", "12x"},
                                                          {"--seed", "abc"},
                                                          {"--link"},
                                                          {"--verbose", "1"},
                                                          {"stray"},
                                                          {"--link", ""},
                                                          {"--logs", "-1"},
                                                          {"--logs", "101"},
                                                          {"--pty", "--link", "udpin:0.0.0.0:1"},
                                                          {"--link", "udpin:0.0.0.0:1", "--pty"}};
  for (const auto& args : bad) {
    EXPECT_THROW(parse(args), std::invalid_argument) << args[0] << " " << args.back();
  }
}

}  // namespace
}  // namespace orvel::sim
