// Requests from several threads on one handle. Each race is made to happen
// at one exact point: a pause point stops the first request inside a
// platform call and runs the second one from another thread meanwhile.
#include <chrono>
#include <cstring>
#include <future>
#include <random>
#include <thread>

#include "tests/hwparts/hw_driver_fixture.h"

namespace {

using namespace nicport_test;

class RaceTest : public HwDriverTest {
 protected:
  void SetUp() override { LoadWith(nullptr); }

  // Runs request on another thread while the calling thread is paused, and
  // waits for it (a request that cannot finish while the first is paused
  // fails the test instead of hanging it).
  sim::kernel::IoResult Meanwhile(std::function<sim::kernel::IoResult()> request) {
    std::packaged_task<sim::kernel::IoResult()> task(std::move(request));
    std::future<sim::kernel::IoResult> done = task.get_future();
    std::thread other(std::move(task));
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      other.detach();
      ADD_FAILURE() << "the second request did not finish while the first was paused";
      return {};
    }
    other.join();
    return done.get();
  }
  sim::kernel::IoResult Unmap(uint32_t va, uint32_t length) {
    return Call(IOCTL_KDVR_UNMAP_MEMORY, KDVR_UNMAP_ARGS{va, length}, 0);
  }
  sim::kernel::IoResult PciConfig(uint32_t code, const sim::kernel::ClientMemory &buffer, uint32_t length) {
    return Call(code, Words({0, kAdapterSlot, buffer.address(), 0, length}), 4);
  }
};

TEST_F(RaceTest, UnmapWhileARequestUsesTheWindowWaitsForItsEnd) {
  struct Case {
    const char *pause_in;
    unsigned nth;
    std::function<sim::kernel::IoResult(uint32_t va)> request;
    uint32_t expected;
  };
  const Case cases[] = {
      {"READ_REGISTER_ULONG", 1,
       [&](uint32_t va) {
         return Call(IOCTL_KDVR_READ_MEMORY_ULONG, KDVR_MEMORY_ARGS{va, 0}, 4);
       },
       0},
      {"READ_REGISTER_ULONG", 5,
       [&](uint32_t va) {
         return Call(IOCTL_KDVR_READ_EEPROM, KDVR_READ_EEPROM_ARGS{va + 0x0E, 64, 1, 2}, 4);
       },
       0x494E},
      {"READ_REGISTER_UCHAR", 2,
       [&](uint32_t va) {
         return Call(IOCTL_KDVR_MDI_READ, KDVR_MDI_READ_ARGS{va, 2, 0, 0}, 4);
       },
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pause_in);
    uint32_t va = MapAdapter();
    ASSERT_NE(va, 0u);
    sim::kernel::IoResult unmapped;
    k.break_at(c.pause_in, c.nth, [&] { unmapped = Meanwhile([&] { return Unmap(va, 0x1000); }); });
    sim::kernel::IoResult r = c.request(va);
    EXPECT_FALSE(r.faulted);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    if (c.expected != 0) {
      EXPECT_EQ(WordAt(r, 0), c.expected);
    }
    EXPECT_EQ(unmapped.status, STATUS_SUCCESS);
    // The last user unmapped it; a second unmap finds nothing.
    EXPECT_EQ(k.mapped_windows(), 0u);
    EXPECT_EQ(Unmap(va, 0x1000).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_ULONG, KDVR_MEMORY_ARGS{va, 0}, 4).status, STATUS_INVALID_PARAMETER);
  }
}

TEST_F(RaceTest, TwoUnmapsOfOneWindowUnmapItOnce) {
  uint32_t va = MapAdapter();
  sim::kernel::IoResult second;
  k.break_at("MmUnmapIoSpace", 1, [&] { second = Meanwhile([&] { return Unmap(va, 0x1000); }); });
  sim::kernel::IoResult first = Unmap(va, 0x1000);
  EXPECT_FALSE(first.faulted);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(k.mapped_windows(), 0u);
}

TEST_F(RaceTest, TwoMapsAtOnceKeepBothWindows) {
  uint32_t second = 0;
  k.break_at("MmMapIoSpace", 1, [&] {
    second = WordAt(Meanwhile([&] {
                      return Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{kAdapterMemory, 0, 0x100}, 4);
                    }),
                    0);
  });
  uint32_t first = MapAdapter(0x200);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  EXPECT_EQ(k.mapped_windows(), 2u);
  // Both are on record: each can be used and unmapped.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_ULONG, KDVR_MEMORY_ARGS{first + 0x1FC, 0}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(Unmap(first, 0x200).status, STATUS_SUCCESS);
  EXPECT_EQ(Unmap(second, 0x100).status, STATUS_SUCCESS);
  EXPECT_EQ(k.mapped_windows(), 0u);
}

TEST_F(RaceTest, ClientBufferThatVanishesOrIsReadOnlyFailsTheRequest) {
  // Freed between the check and the HAL's copy.
  sim::kernel::ClientMemory buffer = k.client_alloc(64);
  k.break_at("HalGetBusDataByOffset", 1, [&] { buffer.revoke(); });
  sim::kernel::IoResult r = PciConfig(IOCTL_KDVR_READ_PCI_CONFIG, buffer, 64);
  EXPECT_FALSE(r.faulted);
  EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(r.information, 0u);

  // Read-only: fine as the source of a write, refused as the target of a
  // read, and nothing in it changes.
  sim::kernel::ClientMemory read_only = k.client_alloc(4);
  std::memset(read_only.data(), 0xAB, 4);
  read_only.make_read_only();
  r = PciConfig(IOCTL_KDVR_READ_PCI_CONFIG, read_only, 4);
  EXPECT_FALSE(r.faulted);
  EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(read_only.data()[0], 0xAB);
  r = PciConfig(IOCTL_KDVR_WRITE_PCI_CONFIG, read_only, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);

  // A write's data is taken before the HAL runs: the buffer going away
  // then changes nothing.
  sim::kernel::ClientMemory source = k.client_alloc(4);
  const uint8_t line[4] = {0x0A, 0, 0, 0};
  std::memcpy(source.data(), line, 4);
  k.break_at("HalSetBusDataByOffset", 1, [&] { source.revoke(); });
  r = Call(IOCTL_KDVR_WRITE_PCI_CONFIG, KDVR_PCI_CONFIG_ARGS{0, kAdapterSlot, source.address(), 0x3C, 1}, 4);
  EXPECT_FALSE(r.faulted);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(WordAt(r, 0), 1u);
}

TEST_F(RaceTest, WindowsBelongToTheirOpenAndGoWithIt) {
  // More runs than the table has entries, each leaving its window mapped.
  for (int run = 0; run < 2 * KDVR_MAX_WINDOWS; run++) {
    ASSERT_NE(MapAdapter(), 0u) << run;
    k.close(handle);
    EXPECT_EQ(k.mapped_windows(), 0u);
    sim::kernel::OpenResult open = k.open("\\\\.\\NICPORT");
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    handle = open.handle;
  }
}

// Threads mapping, using and unmapping windows at random on one handle:
// nothing faults and nothing stays mapped.
TEST_F(RaceTest, ManyThreadsOnOneHandle) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([this, t] {
      std::minstd_rand random(static_cast<unsigned>(t));
      std::vector<uint32_t> mine;
      for (int i = 0; i < 150; i++) {
        switch (random() % 4) {
          case 0:
            if (uint32_t va = WordAt(Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{kAdapterMemory, 0, 0x100}, 4), 0))
              mine.push_back(va);
            break;
          case 1:
            if (!mine.empty()) {
              Call(IOCTL_KDVR_UNMAP_MEMORY, KDVR_UNMAP_ARGS{mine.back(), 0x100}, 0);
              mine.pop_back();
            }
            break;
          default: {
            // Any window, also another thread's that may be going away.
            uint32_t va = mine.empty() ? 0x40000000u : mine[static_cast<size_t>(random() % mine.size())];
            Call(IOCTL_KDVR_READ_MEMORY_ULONG, KDVR_MEMORY_ARGS{static_cast<uint32_t>(va + 4 * (random() % 64)), 0}, 4);
          }
        }
      }
      for (uint32_t va : mine) Call(IOCTL_KDVR_UNMAP_MEMORY, KDVR_UNMAP_ARGS{va, 0x100}, 0);
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(k.mapped_windows(), 0u);
}

}  // namespace
