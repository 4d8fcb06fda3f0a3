// Lines written to standard error from several threads at once must stay whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/log.h"

namespace orvel {
namespace {

TEST(StderrSink, LinesFromManyThreadsNeverInterleave) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved = dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_GE(dup2(fds[1], STDERR_FILENO), 0);
  close(fds[1]);

  std::string captured;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) captured.append(buf, static_cast<size_t>(n));
  });

  constexpr int THREADS = 4, LINES = 500;
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < THREADS; ++t) {
      writers.emplace_back([t] {
        Logger log("test");
        // Long enough that one line does not fit an atomic pipe write.
        const std::string filler(3000, static_cast<char>('a' + t));
        for (int i = 0; i < LINES; ++i) log.info("t%d i%d %s end", t, i, filler.c_str());
      });
    }
  }
  dup2(saved, STDERR_FILENO);
  close(saved);
  reader.join();
  close(fds[0]);

  const std::regex head_re(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO orvel_edge\.test t(\d) i\d+ )");
  std::istringstream in(captured);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, head_re, std::regex_constants::match_continuous))
        << line.substr(0, 120);
    const char fill = static_cast<char>('a' + (m[1].str()[0] - '0'));
    EXPECT_EQ(line.substr(static_cast<size_t>(m.length(0))), std::string(3000, fill) + " end");
    ++count;
  }
  EXPECT_EQ(count, THREADS * LINES);
}

}  // namespace
}  // namespace orvel
