#pragma once
// Runs a program of ours as a child process for end-to-end tests: its own environment, its
// standard error kept in a file, and killed and reaped when the test is done.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvel::testkit {

class ChildProcess {
 public:
  // Starts `argv` with exactly `env` as its environment (plus PATH and TZ of this process).
  ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> env);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits up to `timeout_s` for the process to end; its exit status, or nullopt if it still runs
  // (or -signal when a signal ended it).
  std::optional<int> wait(double timeout_s);
  // SIGTERM, then SIGKILL after a grace period; returns the status as wait() does.
  std::optional<int> stop();
  // What the process wrote to standard error so far.
  std::string stderr_text() const;
  // Polls stderr until it contains `text`; false after `timeout_s`.
  bool wait_for_stderr(const std::string& text, double timeout_s) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string stderr_path_;
};

}  // namespace orvel::testkit
