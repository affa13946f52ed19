// The simulated machines' virtual clock. Nothing in the simulator sleeps:
// busy-waits, timeouts and device timing advance this clock instead, so a
// test can assert how long an operation would take on real hardware.
#pragma once
#include <cstdint>

namespace sim {

class VirtualClock {
 public:
  std::uint64_t now_ns() const { return now_ns_; }
  std::uint64_t now_us() const { return now_ns_ / 1000; }
  std::uint64_t now_ms() const { return now_ns_ / 1000000; }
  void advance_ns(std::uint64_t ns) { now_ns_ += ns; }
  void advance_us(std::uint64_t us) { now_ns_ += us * 1000; }
  void advance_ms(std::uint64_t ms) { now_ns_ += ms * 1000000; }
  void reset() { now_ns_ = 0; }

 private:
  std::uint64_t now_ns_ = 0;
};

}  // namespace sim
