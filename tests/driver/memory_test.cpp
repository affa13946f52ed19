// Memory windows: mapping, access in three widths, the window checks,
// unmapping, I/O-space translation, failures and unload.
#include "tests/driver/driver_fixture.h"

namespace nicport_test {
namespace {

using sim::kernel::FaultPoint;

class MemoryTest : public DriverTest {};

TEST_F(MemoryTest, MappedWindowReachesTheAdapterInThreeWidths) {
  uint32_t va = MapAdapter();
  ASSERT_NE(va, 0u);
  EXPECT_EQ(k.mapped_windows(), 1u);
  std::vector<std::string> log = k.debug_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "NICDIAG.SYS: Calling HalTranslateBusAddress \n");
  char expected[128];
  std::snprintf(expected, sizeof expected, "NICDIAG.SYS: Mapped to Virtual Address = %X\n", va);
  EXPECT_EQ(log[1], expected);

  EXPECT_EQ(Call(IOCTL_KDVR_WRITE_MEMORY_ULONG, Words({va + 4, 0x11223344}), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_ULONG, Words({va + 4}), 4).output, Words({0x11223344}));
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_USHORT, Words({va + 6}), 4).output, Words({0x1122}));
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_UCHAR, Words({va + 5}), 4).output, Words({0x33}));
  Call(IOCTL_KDVR_WRITE_MEMORY_UCHAR, Words({va + 4, 0xFFFFFFAA}), 0);
  Call(IOCTL_KDVR_WRITE_MEMORY_USHORT, Words({va + 6, 0xFFFFBBCC}), 0);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_ULONG, Words({va + 4}), 4).output, Words({0xBBCC33AA}));
  // The same register seen through the I/O window.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_ULONG, Words({kAdapterPort + 4}), 4).output, Words({0xBBCC33AA}));

  k.clear_debug_log();
  EXPECT_EQ(Call(IOCTL_KDVR_UNMAP_MEMORY, Words({va, 0x1000}), 0).status, STATUS_SUCCESS);
  std::snprintf(expected, sizeof expected,
                "NICDIAG.SYS: Calling MmUnmapIoSpace!!! MmPhysicalAddress = %X nSize = %X\n", va, 0x1000);
  EXPECT_EQ(k.debug_log(), std::vector<std::string>{expected});
  EXPECT_EQ(k.mapped_windows(), 0u);
}

TEST_F(MemoryTest, AccessesOutsideEveryLiveWindowAreRefused) {
  uint32_t va = MapAdapter(0x100);
  ASSERT_NE(va, 0u);
  const uint32_t outside[][2] = {
      {IOCTL_KDVR_READ_MEMORY_ULONG, va + 0x100},   // just past the end
      {IOCTL_KDVR_READ_MEMORY_ULONG, va + 0xFE},    // straddles the end
      {IOCTL_KDVR_READ_MEMORY_USHORT, va + 0xFF},   // straddles the end
      {IOCTL_KDVR_WRITE_MEMORY_UCHAR, va - 1},      // just before
      {IOCTL_KDVR_READ_MEMORY_UCHAR, 0x1000},       // never mapped
      {IOCTL_KDVR_WRITE_MEMORY_ULONG, 0},
  };
  for (const auto &o : outside) {
    sim::kernel::IoResult r = Call(o[0], Words({o[1], 0x12345678}), 4);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << std::hex << o[0] << " " << o[1];
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_UCHAR, Words({va + 0xFF}), 4).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_ULONG, Words({va + 0xFC}), 4).status, STATUS_SUCCESS);

  // After the unmap the window is gone for accesses too.
  ASSERT_EQ(Call(IOCTL_KDVR_UNMAP_MEMORY, Words({va, 0x100}), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_UCHAR, Words({va}), 4).status, STATUS_INVALID_PARAMETER);
}

TEST_F(MemoryTest, UnmapMustNameALiveWindowExactly) {
  uint32_t va = MapAdapter(0x1000);
  ASSERT_NE(va, 0u);
  k.clear_debug_log();
  for (const auto &u : std::vector<std::pair<uint32_t, uint32_t>>{
           {va, 0x800}, {va + 0x1000 - 0x800, 0x800}, {va + 4, 0x1000}, {0x1000, 0x1000}}) {
    EXPECT_EQ(Call(IOCTL_KDVR_UNMAP_MEMORY, Words({u.first, u.second}), 0).status, STATUS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(k.debug_log().empty());
  EXPECT_EQ(k.mapped_windows(), 1u);
  EXPECT_EQ(Call(IOCTL_KDVR_UNMAP_MEMORY, Words({va, 0x1000}), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_UNMAP_MEMORY, Words({va, 0x1000}), 0).status, STATUS_INVALID_PARAMETER);
}

TEST_F(MemoryTest, ZeroOrWrappingLengthsAreRefusedBeforeAnything) {
  for (const auto &m : std::vector<std::pair<uint32_t, uint32_t>>{{kAdapterMemory, 0}, {0xFFFFF000u, 0x2000}}) {
    sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, Words({m.first, 0, m.second}), 4);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_EQ(k.mapped_windows(), 0u);
  EXPECT_TRUE(k.debug_log().empty());
}

TEST_F(MemoryTest, WindowsLeftMappedAreUnmappedAtUnload) {
  ASSERT_NE(MapAdapter(0x1000), 0u);
  ASSERT_NE(MapAdapter(0x40), 0u);
  EXPECT_EQ(k.mapped_windows(), 2u);
  Unload();  // fails the test on a leaked window
  EXPECT_EQ(k.mapped_windows(), 0u);
}

TEST_F(MemoryTest, WindowTableFullIsRefusedWithoutMapping) {
  for (int i = 0; i < KDVR_MAX_WINDOWS; i++) ASSERT_NE(MapAdapter(0x10), 0u) << i;
  sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, Words({kAdapterMemory, 0, 0x10}), 4);
  EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(k.mapped_windows(), static_cast<size_t>(KDVR_MAX_WINDOWS));
}

TEST_F(MemoryTest, FailedTranslationOrMappingReturnsZeroWithSuccess) {
  k.inject_fault(FaultPoint::TranslateBusAddress);
  sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, Words({kAdapterMemory, 0, 0x1000}), 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, Words({0}));
  EXPECT_EQ(k.debug_log(), (std::vector<std::string>{"NICDIAG.SYS: Calling HalTranslateBusAddress \n",
                                                     "NICDIAG.SYS: HalTranslateBusAddress failed\n",
                                                     "NICDIAG.SYS: Mapped to Virtual Address = 0\n"}));
  k.clear_debug_log();
  k.inject_fault(FaultPoint::MapIoSpace);
  r = Call(IOCTL_KDVR_MAP_MEMORY, Words({kAdapterMemory, 0, 0x1000}), 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, Words({0}));
  EXPECT_EQ(k.debug_log(), (std::vector<std::string>{"NICDIAG.SYS: Calling HalTranslateBusAddress \n",
                                                     "NICDIAG.SYS: MmMapIoSpace Failed\n",
                                                     "NICDIAG.SYS: Mapped to Virtual Address = 0\n"}));
  EXPECT_EQ(k.mapped_windows(), 0u);
  // The failed attempt took no table entry: 0 is never a window.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_UCHAR, Words({0}), 4).status, STATUS_INVALID_PARAMETER);
}

class IoSpaceTest : public DriverTest {
 protected:
  bool LoadAtSetUp() const override { return false; }
};

TEST_F(IoSpaceTest, AddressTranslatedIntoIoSpaceIsReturnedUnmapped) {
  k.load_profile_text(R"({
    "adapters": [ { "bus": 0, "device": 3, "bars": [ { "type": "memory", "size": "0x1000", "address": "0xF8000000" },
                                                    { "type": "io", "size": "0x40", "address": "0xE000" } ] } ],
    "translate_to_io": [ { "bus": 0, "start": "0xF8000000", "size": "0x100000", "io_base": "0x8000" } ] })");
  Load();
  sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, Words({0xF8000010, 0, 0x100}), 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, Words({0x8010}));
  EXPECT_EQ(k.mapped_windows(), 0u);
  // Not a window: memory codes refuse it and unmapping it is refused.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_UCHAR, Words({0x8010}), 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_KDVR_UNMAP_MEMORY, Words({0x8010, 0x100}), 0).status, STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace nicport_test
