#pragma once
// Helpers shared by the tests: a clock moved by hand, a log sink that records lines, and
// paths to the source and build trees.

#include <mutex>
#include <string>
#include <vector>

#include "support/clock.h"
#include "support/log.h"

namespace orvel::testkit {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(double mono = 1000.0, double wall = 1.7e9) : mono_(mono), wall_(wall) {}
  double monotonic() const override { return mono_; }
  double wall() const override { return wall_; }
  // Moves both clocks forward.
  void advance(double seconds) {
    mono_ += seconds;
    wall_ += seconds;
  }
  void set_wall(double wall) { wall_ = wall; }

 private:
  double mono_;
  double wall_;
};

struct LogLine {
  Level level;
  std::string logger;
  std::string message;
};

class CaptureSink final : public LogSink {
 public:
  void write(Level level, std::string_view logger, std::string_view message) override;
  std::vector<LogLine> lines() const;
  // Messages only, in order.
  std::vector<std::string> messages() const;
  bool contains(std::string_view message) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
};

std::string source_dir();  // the repository's top folder
std::string binary_dir();  // the build folder
// A path under the repository's tests/ folder.
std::string test_data(const std::string& relative);
// Whole file as bytes; throws when unreadable.
std::string read_file(const std::string& path);

}  // namespace orvel::testkit
