// Client buffers: what the client frees is taken back, so a client that
// allocates and frees for ever never runs out of the space below 4 GiB, and
// a freed buffer is no longer the client's memory.
#include <stdexcept>

#include "tests/kernel/test_driver.h"

namespace {

using namespace testdrv;

class ClientMemoryTest : public Fixture {};

TEST_F(ClientMemoryTest, FreedBuffersAreTakenBackAndNoLongerTheClients) {
  // The client range holds about 768 buffers of this size at once.
  constexpr int kCycles = 2000;
  ULONG first = 0;
  bool reused = false;
  for (int i = 0; i < kCycles; i++) {
    auto mem = kernel.client_alloc(0x10000);
    ASSERT_NE(mem.data(), nullptr) << "cycle " << i;
    if (i == 0) first = mem.address();
    reused = reused || (i > 0 && mem.address() == first);
  }
  EXPECT_TRUE(reused) << "no address was given out twice in " << kCycles << " cycles";

  ULONG freed = 0;
  {
    auto mem = kernel.client_alloc(256);
    freed = mem.address();
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, 3, mem.data(), 0, 4), 4u);
  }
  auto *stale = reinterpret_cast<void *>(static_cast<std::uintptr_t>(freed));
  EXPECT_THROW(HalGetBusDataByOffset(PCIConfiguration, 0, 3, stale, 0, 4), std::runtime_error);
}

}  // namespace
