// Parsing speed of the MAVLink stream parser on mixed telemetry: HEARTBEAT, GLOBAL_POSITION_INT,
// SYS_STATUS and GPS_RAW_INT frames, read in pieces as a serial port or a UDP socket hands
// them over. Reported as frames (items) per second.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "mavlink/frame.h"
#include "mavlink/messages.h"

namespace {

using namespace orvel::mavlink;

template <class T>
void append(std::vector<uint8_t>& stream, const T& msg, uint8_t seq) {
  uint8_t payload[255] = {};
  const size_t n = msg.encode(payload);
  const auto frame = encode_frame(T::ID, {payload, n}, 1, MAV_COMP_ID_AUTOPILOT1, seq);
  stream.insert(stream.end(), frame.begin(), frame.end());
}

// 1000 frames of plausible telemetry, about 38 kB.
std::vector<uint8_t> telemetry() {
  std::vector<uint8_t> stream;
  for (int i = 0; i < 250; ++i) {
    const auto t = static_cast<uint32_t>(i * 250);
    append(stream,
           Heartbeat{.type = MAV_TYPE_QUADROTOR,
                     .autopilot = MAV_AUTOPILOT_PX4,
                     .base_mode = MAV_MODE_FLAG_CUSTOM_MODE_ENABLED,
                     .custom_mode = 0x04030000,
                     .system_status = 4},
           static_cast<uint8_t>(4 * i));
    append(stream,
           GlobalPositionInt{.time_boot_ms = t,
                             .lat = 473977418 + i,
                             .lon = 85455939 - i,
                             .alt = 488000 + i,
                             .relative_alt = 10000,
                             .vx = 120,
                             .vy = -35,
                             .vz = 4,
                             .hdg = 9000},
           static_cast<uint8_t>(4 * i + 1));
    append(stream,
           SysStatus{.onboard_control_sensors_present = 0x3520FC2F,
                     .onboard_control_sensors_enabled = 0x3520FC2F,
                     .onboard_control_sensors_health = 0x3520FC2F,
                     .load = 350,
                     .voltage_battery = 16200,
                     .current_battery = 1450,
                     .battery_remaining = 87,
                     .errors_count4 = 1},
           static_cast<uint8_t>(4 * i + 2));
    append(stream,
           GpsRawInt{.time_usec = t * 1000ull,
                     .fix_type = GPS_FIX_TYPE_3D_FIX,
                     .lat = 473977418 + i,
                     .lon = 85455939 - i,
                     .alt = 488000,
                     .eph = 80,
                     .epv = 120,
                     .vel = 125,
                     .cog = 28000,
                     .satellites_visible = 14,
                     .alt_ellipsoid = 535000,
                     .h_acc = 900,
                     .v_acc = 1400,
                     .vel_acc = 200,
                     .hdg_acc = 0,
                     .yaw = 0},
           static_cast<uint8_t>(4 * i + 3));
  }
  return stream;
}

void BM_ParseTelemetry(benchmark::State& state) {
  const std::vector<uint8_t> stream = telemetry();
  const auto piece = static_cast<size_t>(state.range(0));
  Parser parser;
  int64_t frames = 0;
  for (auto _ : state) {
    for (size_t pos = 0; pos < stream.size(); pos += piece) {
      parser.push(std::span(stream).subspan(pos, std::min(piece, stream.size() - pos)));
      while (auto msg = parser.next()) {
        benchmark::DoNotOptimize(msg->frame.data());
        ++frames;
      }
    }
  }
  state.SetItemsProcessed(frames);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
// Pieces of 64 bytes (a serial read), 1500 (a UDP datagram) and 16 kB (a large read).
BENCHMARK(BM_ParseTelemetry)->Arg(64)->Arg(1500)->Arg(16384);

}  // namespace

BENCHMARK_MAIN();
