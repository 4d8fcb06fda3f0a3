#pragma once
// Clocks as an interface, so timing logic can be driven by a fake clock in tests.
// Every timer in the agent uses the monotonic clock; wall time is only for timestamps that
// leave the drone (envelope lifetimes, file times, "captured_at").

namespace orvel {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds from an arbitrary fixed point; never goes backwards.
  virtual double monotonic() const = 0;
  // Seconds since the Unix epoch.
  virtual double wall() const = 0;
};

// The real clocks of the system.
class SystemClock final : public Clock {
 public:
  double monotonic() const override;
  double wall() const override;
  // One shared instance; it has no state.
  static const SystemClock& instance();
};

}  // namespace orvel
