#include "tests/testkit/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/testkit/testkit.h"

namespace orvel::testkit {

namespace {
using Clock = std::chrono::steady_clock;

int decode_status(int raw) {
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
}
}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> env) {
  char tmpl[] = "/tmp/orvel-child-XXXXXX";
  const int fd = mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  stderr_path_ = tmpl;

  for (const char* keep :
       {"PATH", "TZ", "LD_LIBRARY_PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
    if (const char* v = std::getenv(keep); v && !env.count(keep)) env[keep] = v;
  std::vector<std::string> env_text;
  for (const auto& [k, v] : env) env_text.push_back(k + "=" + v);
  std::vector<char*> cargv, cenv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (auto& e : env_text) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(fd, STDERR_FILENO);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(fd);
}

ChildProcess::~ChildProcess() {
  stop();
  unlink(stderr_path_.c_str());
}

std::optional<int> ChildProcess::wait(double timeout_s) {
  if (status_) return status_;
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
  for (;;) {
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = decode_status(raw);
      return status_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::optional<int> ChildProcess::stop() {
  if (status_ || pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  if (auto s = wait(5.0)) return s;
  kill(pid_, SIGKILL);
  return wait(5.0);
}

std::string ChildProcess::stderr_text() const {
  return read_file(stderr_path_);
}

bool ChildProcess::wait_for_stderr(const std::string& text, double timeout_s) const {
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
  while (Clock::now() < deadline) {
    if (stderr_text().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace orvel::testkit
