// Cost of one full parameter read on the main thread: handling the 1,500 PARAM_VALUE messages
// of a typical autopilot, and building and compressing the snapshot they make. Messages are
// reported as items per second.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/link.h"
#include "mavlink/messages.h"
#include "params/param_reader.h"
#include "support/clock.h"
#include "support/log.h"

namespace {

using namespace orvel;
using namespace orvel::mavlink;

constexpr uint16_t kParams = 1500;

class NullSender final : public Sender {
 public:
  void send_payload(uint32_t, std::span<const uint8_t>) override {}
};

class NullSink final : public LogSink {
 public:
  void write(Level, std::string_view, std::string_view) override {}
};

class FixedClock final : public Clock {
 public:
  double monotonic() const override { return 1000.0; }
  double wall() const override { return 1714566605.123456; }
};

template <class T>
Message parsed(const T& msg) {
  uint8_t buf[255] = {};
  const size_t n = msg.encode(buf);
  Parser parser;
  parser.push(encode_frame(T::ID, {buf, n}, 1, MAV_COMP_ID_AUTOPILOT1, 0));
  return *parser.next();
}

// Names and values like an ArduPilot copter's: a third integers, the rest reals.
std::vector<Message> param_values() {
  std::vector<Message> out;
  for (uint16_t i = 0; i < kParams; ++i) {
    ParamValue pv;
    set_text(pv.param_id, "PARAM_GROUP" + std::to_string(i % 40) + "_" + std::to_string(i));
    const bool integer = i % 3 == 0;
    pv.param_type = integer ? MAV_PARAM_TYPE_INT32 : MAV_PARAM_TYPE_REAL32;
    pv.param_value = integer ? static_cast<float>(i % 7) : static_cast<float>(i) * 0.0137f;
    pv.param_count = kParams;
    pv.param_index = i;
    out.push_back(parsed(pv));
  }
  return out;
}

struct Fixture {
  NullSender mav;
  NullSink sink;
  FixedClock clock;
  std::size_t published_bytes = 0;
  params::ParamReader reader{mav,
                             [this](std::string_view b) {
                               published_bytes += b.size();
                               return true;
                             },
                             600, clock, &sink};

  Fixture() {
    Heartbeat hb;
    hb.type = MAV_TYPE_QUADROTOR;
    hb.autopilot = MAV_AUTOPILOT_ARDUPILOTMEGA;
    reader.on_heartbeat(parsed(hb));
  }
};

// A whole read: request, 1,500 values, the snapshot published.
void BM_FullRead(benchmark::State& state) {
  const std::vector<Message> messages = param_values();
  Fixture f;
  for (auto _ : state) {
    f.reader.request_all(1000.0);
    for (const Message& m : messages) f.reader.on_param_value(m, 1000.0);
    f.reader.tick(1000.0);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kParams);
  state.counters["snapshot_bytes"] =
      static_cast<double>(f.published_bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FullRead)->Unit(benchmark::kMillisecond);

// The 1,500 PARAM_VALUE messages alone.
void BM_HandleParamValues(benchmark::State& state) {
  const std::vector<Message> messages = param_values();
  Fixture f;
  for (auto _ : state) {
    f.reader.request_all(1000.0);
    for (const Message& m : messages) f.reader.on_param_value(m, 1000.0);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kParams);
}
BENCHMARK(BM_HandleParamValues)->Unit(benchmark::kMicrosecond);

// Building and compressing the snapshot of 1,500 parameters.
void BM_EncodeSnapshot(benchmark::State& state) {
  const std::vector<Message> messages = param_values();
  Fixture f;
  f.reader.request_all(1000.0);
  for (const Message& m : messages) f.reader.on_param_value(m, 1000.0);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string out = params::encode_snapshot(f.reader.snapshot(true));
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["compressed_bytes"] = static_cast<double>(bytes);
  state.counters["json_bytes"] = static_cast<double>(compact_json(f.reader.snapshot(true)).size());
}
BENCHMARK(BM_EncodeSnapshot)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
