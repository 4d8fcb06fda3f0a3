#include "tests/testkit/testkit.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orvel::testkit {

void CaptureSink::write(Level level, std::string_view logger, std::string_view message) {
  std::lock_guard lock(mutex_);
  lines_.push_back({level, std::string(logger), std::string(message)});
}

std::vector<LogLine> CaptureSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> CaptureSink::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& l : lines_) out.push_back(l.message);
  return out;
}

bool CaptureSink::contains(std::string_view message) const {
  std::lock_guard lock(mutex_);
  for (const auto& l : lines_)
    if (l.message == message) return true;
  return false;
}

void CaptureSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

std::string source_dir() {
  return ORVEL_SOURCE_DIR;
}
std::string binary_dir() {
  return ORVEL_BINARY_DIR;
}
std::string test_data(const std::string& relative) {
  return source_dir() + "/tests/" + relative;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace orvel::testkit
