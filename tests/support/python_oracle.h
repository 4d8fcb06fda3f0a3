#pragma once
// Runs python3 once over data prepared by a test, so that our encoders can be compared byte for
// byte with python's on many inputs in a single process call.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

extern char** environ;

namespace orvel::testkit {

// Runs `python3 -c script IN OUT` where IN holds `input`; returns what the script wrote to OUT,
// or nullopt (with a test failure recorded) when python3 could not run or failed.
inline std::optional<std::string> run_python(const std::string& script, const std::string& input) {
  std::string dir = ::testing::TempDir() + "orvel_python_XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a temporary folder";
    return std::nullopt;
  }
  const std::string in_path = dir + "/in";
  const std::string out_path = dir + "/out";
  std::ofstream(in_path, std::ios::binary) << input;

  const char* argv[] = {"python3",        "-c",   script.c_str(), in_path.c_str(),
                        out_path.c_str(), nullptr};
  pid_t pid = 0;
  std::optional<std::string> result;
  if (posix_spawnp(&pid, "python3", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
      0) {
    ADD_FAILURE() << "cannot start python3";
  } else {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ADD_FAILURE() << "python3 failed, status " << status;
    } else {
      std::ifstream out(out_path, std::ios::binary);
      std::ostringstream text;
      text << out.rdbuf();
      result = text.str();
    }
  }
  std::remove(in_path.c_str());
  std::remove(out_path.c_str());
  rmdir(dir.c_str());
  return result;
}

}  // namespace orvel::testkit
