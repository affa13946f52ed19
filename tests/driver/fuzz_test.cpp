// Random requests against the driver: codes near and inside the protocol,
// random lengths and inputs, addresses biased towards the ones that matter
// (client buffers, mapped windows, the adapter). Nothing outside the named
// client buffers may change, the driver may never fault, every result must
// fit its output buffer, and the unload must leave nothing behind.
#include <cstring>
#include <random>

#include "tests/driver/driver_fixture.h"

namespace nicport_test {
namespace {

class FuzzTest : public DriverTest {};

TEST_F(FuzzTest, RandomRequestsNeverFaultLeakOrTouchOtherMemory) {
  std::mt19937 random(0x4E1C9047);
  sim::kernel::ClientMemory target = k.client_alloc(2 * PAGE_SIZE);
  sim::kernel::ClientMemory canary = k.client_alloc(PAGE_SIZE);
  std::memset(canary.data(), 0xC3, PAGE_SIZE);

  std::vector<uint32_t> windows;
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  auto address = [&]() -> uint32_t {
    switch (pick(8)) {
      case 0: return target.address() + pick(PAGE_SIZE);  // the HAL copies at most 256 bytes
      case 1: return windows.empty() ? 0 : windows[pick(static_cast<uint32_t>(windows.size()))] + pick(0x1010);
      case 2: return kAdapterPort + pick(0x48);
      case 3: return kAdapterMemory + pick(0x1100);
      case 4: return pick(0x20) << 20 | pick(2) << 12;  // around 2 MB boundaries
      case 5: return 0xFFFFFFFFu - pick(16);
      case 6: return pick(0x20);
      default: return static_cast<uint32_t>(random());
    }
  };

  const int kRequests = 20000;
  for (int i = 0; i < kRequests; i++) {
    uint32_t code;
    if (pick(10) < 8) {
      code = KDVR_CTL_CODE(pick(56));
    } else {
      code = static_cast<uint32_t>(random());
      if (pick(2)) code = (code & 0xFFFF) | 0x80FF0000u;
    }
    // Stalls are virtual time, but keep the clock within reason.
    std::vector<uint8_t> input(pick(41));
    for (size_t w = 0; w + 4 <= input.size(); w += 4) {
      uint32_t value = pick(3) ? address() : static_cast<uint32_t>(random());
      if (code == IOCTL_KDVR_STALL && w == 0) value %= 5000;
      if (code == IOCTL_KDVR_MAP_MEMORY && w == 8) value = 1 + pick(0x2000);
      // Often aim mappings and validations at the adapter, so that windows
      // and per-device objects really come and go.
      if ((code == IOCTL_KDVR_MAP_MEMORY || code == IOCTL_KDVR_VALIDATE_MEM_SPACE) && pick(2)) {
        if (w == 0) value = code == IOCTL_KDVR_MAP_MEMORY ? kAdapterMemory + pick(0x800) : pick(0x800000);
        if (w == 4) value = 0;
        if (w == 8 && code == IOCTL_KDVR_VALIDATE_MEM_SPACE) value = kAdapterSlot;
      }
      std::memcpy(&input[w], &value, 4);
    }
    for (size_t b = input.size() & ~size_t{3}; b < input.size(); b++) input[b] = static_cast<uint8_t>(random());
    uint32_t out = pick(4) ? 8 : pick(13);

    sim::kernel::IoResult r = Call(code, input, out);
    ASSERT_FALSE(r.faulted) << "request " << i << " code " << std::hex << code;
    ASSERT_LE(r.information, out);
    ASSERT_EQ(r.output.size(), r.information);
    if (code == IOCTL_KDVR_MAP_MEMORY && r.status == STATUS_SUCCESS && WordAt(r, 0) >= 0x40000000u) {
      windows.push_back(WordAt(r, 0));
    }
    if (i % 500 == 0) {
      for (size_t b = 0; b < PAGE_SIZE; b++) ASSERT_EQ(canary.data()[b], 0xC3) << "request " << i;
    }
  }
  for (size_t b = 0; b < PAGE_SIZE; b++) ASSERT_EQ(canary.data()[b], 0xC3);
  EXPECT_TRUE(k.driver_faults().empty());
  // The fixture's tear-down unloads and fails on any leak or fault.
}

}  // namespace
}  // namespace nicport_test
