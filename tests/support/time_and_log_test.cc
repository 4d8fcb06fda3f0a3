#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/log.h"
#include "support/utc.h"
#include "tests/testkit/testkit.h"

namespace orvel {
namespace {

TEST(UtcText, FormatsWholeAndFractionalSeconds) {
  struct Case {
    double t;
    const char* want;
  } cases[] = {
      {1714554000.0, "2024-05-01T09:00:00+00:00"},
      {1714566605.123456, "2024-05-01T12:30:05.123456+00:00"},
      {0.0, "1970-01-01T00:00:00+00:00"},
      {0.5, "1970-01-01T00:00:00.500000+00:00"},
      // Just below a second boundary rounds up to it instead of printing 1000000 micros.
      {1714554000.9999996, "2024-05-01T09:00:01+00:00"},
      {1709164800.0, "2024-02-29T00:00:00+00:00"},
      {-0.25, "1969-12-31T23:59:59.750000+00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(utc_text(c.t), c.want) << c.t;
}

TEST(LogLine, HasLocalTimeWithMillisecondsLevelAndLogger) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(format_log_line(1714566605.123456, Level::Warning, "orvel_edge.bridge", "hi there"),
            "2024-05-01 12:30:05,123 WARNING orvel_edge.bridge hi there");
  EXPECT_EQ(format_log_line(1714566605.9999, Level::Info, "orvel_edge.params", "x"),
            "2024-05-01 12:30:05,999 INFO orvel_edge.params x");
  unsetenv("TZ");
  tzset();
}

TEST(Logger, NamesAndThreshold) {
  testkit::CaptureSink sink;
  Logger log("commands", &sink);
  EXPECT_EQ(log.name(), "orvel_edge.commands");
  log.debug("hidden %d", 1);
  log.info("shown %s=%d", "a", 2);
  log.warning("%s", "w");
  log.error("e");
  auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].message, "shown a=2");
  EXPECT_EQ(lines[0].logger, "orvel_edge.commands");
  EXPECT_EQ(lines[1].level, Level::Warning);
  EXPECT_EQ(lines[2].level, Level::Error);
}

TEST(Logger, LongMessagesAreNotCut) {
  testkit::CaptureSink sink;
  Logger log("bridge", &sink);
  const std::string big(5000, 'x');
  log.info("%s|", big.c_str());
  EXPECT_EQ(sink.messages().at(0), big + "|");
  EXPECT_EQ(strf("%05d-%s", 42, big.c_str()).size(), 6 + big.size());
}

}  // namespace
}  // namespace orvel
