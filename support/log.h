#pragma once
// Logging: one line per event on standard error, "<local time,ms> <LEVEL> <logger> <message>".
// Loggers are cheap values that modules receive at construction; tests hand them a sink that
// captures lines instead of printing them.

#include <string>
#include <string_view>

namespace orvel {

enum class Level { Debug = 10, Info = 20, Warning = 30, Error = 40 };

const char* level_name(Level level);

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Called from any thread; must write the whole line at once.
  virtual void write(Level level, std::string_view logger, std::string_view message) = 0;
};

// Writes to standard error, each line with a single write(2) under a lock, so lines from
// several threads never interleave.
class StderrSink final : public LogSink {
 public:
  void write(Level level, std::string_view logger, std::string_view message) override;
  static StderrSink& instance();
};

// The line as StderrSink writes it, without the trailing newline. `epoch_seconds` is shown in
// local time: "2024-05-01 12:00:00,123 INFO orvel_edge.bridge message".
std::string format_log_line(double epoch_seconds, Level level, std::string_view logger,
                            std::string_view message);

class Logger {
 public:
  // `module` is the short module name; the logger is called "orvel_edge." + module.
  explicit Logger(std::string_view module, LogSink* sink = &StderrSink::instance(),
                  Level threshold = Level::Info);

  const std::string& name() const { return name_; }
  bool enabled(Level level) const { return level >= threshold_; }

  void log(Level level, std::string_view message) const;
  void debug(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
  void info(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
  void warning(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));

 private:
  std::string name_;
  LogSink* sink_;
  Level threshold_;
};

// printf into a std::string.
std::string strf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orvel
