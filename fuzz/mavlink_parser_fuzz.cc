// libFuzzer target for the MAVLink stream parser: any input, split any way, must parse without
// a crash, hang or unbounded buffer, and every frame it accepts must check out on its own.
// Inputs it finds go to tests/mavlink/data/fuzz-regressions/ (replayed by the unit tests).

#include <cstdio>
#include <cstdlib>

#include "fuzz/parser_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string error = orvel::mavlink::fuzzing::check_input({data, size});
  if (!error.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}
