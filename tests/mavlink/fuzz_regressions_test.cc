// Replays the inputs kept from fuzzing the parser (tests/mavlink/data/fuzz-regressions/) with
// the fuzz target's own checks (fuzz/parser_invariants.h).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/parser_invariants.h"
#include "tests/testkit/testkit.h"

namespace orvel::mavlink {
namespace {

TEST(FuzzRegressions, EveryKeptInputKeepsTheParserInvariants) {
  const std::filesystem::path dir = testkit::test_data("mavlink/data/fuzz-regressions");
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file() && entry.path().extension() != ".md")
      inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no inputs in " << dir;

  for (const auto& path : inputs) {
    const std::string bytes = testkit::read_file(path.string());
    const std::vector<uint8_t> data(bytes.begin(), bytes.end());
    EXPECT_EQ(fuzzing::check_input(data), "") << path.filename();
  }
}

}  // namespace
}  // namespace orvel::mavlink
