#include "support/log.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "support/clock.h"

namespace orvel {

namespace {

std::string vstrf(const char* fmt, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  return out;
}

}  // namespace

const char* level_name(Level level) {
  switch (level) {
    case Level::Debug:
      return "DEBUG";
    case Level::Info:
      return "INFO";
    case Level::Warning:
      return "WARNING";
    case Level::Error:
      return "ERROR";
  }
  return "INFO";
}

std::string format_log_line(double epoch_seconds, Level level, std::string_view logger,
                            std::string_view message) {
  double whole = std::floor(epoch_seconds);
  auto millis = static_cast<int>((epoch_seconds - whole) * 1000.0);
  if (millis > 999) millis = 999;
  const time_t t = static_cast<time_t>(whole);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[48];
  const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::snprintf(stamp + n, sizeof stamp - n, ",%03d", millis);

  std::string line;
  line.reserve(64 + logger.size() + message.size());
  line += stamp;
  line += ' ';
  line += level_name(level);
  line += ' ';
  line += logger;
  line += ' ';
  line += message;
  return line;
}

void StderrSink::write(Level level, std::string_view logger, std::string_view message) {
  std::string line = format_log_line(SystemClock::instance().wall(), level, logger, message);
  line += '\n';
  static std::mutex mutex;  // one stderr per process: serialise whole lines
  std::lock_guard lock(mutex);
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t w = ::write(STDERR_FILENO, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report it
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
}

StderrSink& StderrSink::instance() {
  static StderrSink sink;
  return sink;
}

Logger::Logger(std::string_view module, LogSink* sink, Level threshold)
    : name_("orvel_edge." + std::string(module)), sink_(sink), threshold_(threshold) {}

void Logger::log(Level level, std::string_view message) const {
  if (enabled(level)) sink_->write(level, name_, message);
}

#define ORVEL_LOG_AT(level)            \
  if (!enabled(level)) return;         \
  va_list args;                        \
  va_start(args, fmt);                 \
  std::string text = vstrf(fmt, args); \
  va_end(args);                        \
  sink_->write(level, name_, text)

void Logger::debug(const char* fmt, ...) const {
  ORVEL_LOG_AT(Level::Debug);
}
void Logger::info(const char* fmt, ...) const {
  ORVEL_LOG_AT(Level::Info);
}
void Logger::warning(const char* fmt, ...) const {
  ORVEL_LOG_AT(Level::Warning);
}
void Logger::error(const char* fmt, ...) const {
  ORVEL_LOG_AT(Level::Error);
}

#undef ORVEL_LOG_AT

std::string strf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = vstrf(fmt, args);
  va_end(args);
  return out;
}

}  // namespace orvel
