// Memory windows: mapping, access in three widths, the window checks,
// unmapping, I/O-space translation, failures and unload.
#include "sim/hw/machine.h"
#include "tests/driver/driver_fixture.h"

namespace nicport_test {
namespace {

using sim::kernel::FaultPoint;

class MemoryTest : public DriverTest {
 protected:
  NTSTATUS Access(uint32_t code, uint32_t address) {
    return Call(code, KDVR_MEMORY_ARGS{address, 0x12345678}, 4).status;
  }
  NTSTATUS Unmap(uint32_t address, uint32_t length) {
    return Call(IOCTL_KDVR_UNMAP_MEMORY, KDVR_UNMAP_ARGS{address, length}, 0).status;
  }
  std::string Message(const char *format, uint32_t a, uint32_t b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
  }
};

TEST_F(MemoryTest, MappedWindowReachesTheAdapterInThreeWidths) {
  uint32_t va = MapAdapter();
  ASSERT_NE(va, 0u);
  EXPECT_EQ(k.debug_log(), (Log{"NICDIAG.SYS: Calling HalTranslateBusAddress \n",
                                Message("NICDIAG.SYS: Mapped to Virtual Address = %X\n", va)}));
  Call(IOCTL_KDVR_WRITE_MEMORY_ULONG, KDVR_MEMORY_ARGS{va + 4, 0x11223344}, 0);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_USHORT, KDVR_MEMORY_ARGS{va + 6, 0}, 4).output, Words({0x1122}));
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_UCHAR, KDVR_MEMORY_ARGS{va + 5, 0}, 4).output, Words({0x33}));
  Call(IOCTL_KDVR_WRITE_MEMORY_UCHAR, KDVR_MEMORY_ARGS{va + 4, 0xFFFFFFAA}, 0);
  Call(IOCTL_KDVR_WRITE_MEMORY_USHORT, KDVR_MEMORY_ARGS{va + 6, 0xFFFFBBCC}, 0);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_MEMORY_ULONG, KDVR_MEMORY_ARGS{va + 4, 0}, 4).output, Words({0xBBCC33AA}));
  // The same register through the I/O window.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_ULONG, KDVR_PORT_ARGS{kAdapterPort + 4, 0}, 4).output, Words({0xBBCC33AA}));
  k.clear_debug_log();
  EXPECT_EQ(Unmap(va, 0x1000), STATUS_SUCCESS);
  EXPECT_EQ(k.debug_log(),
            Log{Message("NICDIAG.SYS: Calling MmUnmapIoSpace!!! MmPhysicalAddress = %X nSize = %X\n", va, 0x1000)});
  EXPECT_EQ(k.mapped_windows(), 0u);
}

TEST_F(MemoryTest, AccessesAndUnmapsOutsideLiveWindowsAreRefused) {
  uint32_t va = MapAdapter(0x100);
  ASSERT_NE(va, 0u);
  k.clear_debug_log();
  EXPECT_EQ(Access(IOCTL_KDVR_READ_MEMORY_ULONG, va + 0x100), STATUS_INVALID_PARAMETER);  // past the end
  EXPECT_EQ(Access(IOCTL_KDVR_READ_MEMORY_ULONG, va + 0xFE), STATUS_INVALID_PARAMETER);   // straddles it
  EXPECT_EQ(Access(IOCTL_KDVR_READ_MEMORY_USHORT, va + 0xFF), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Access(IOCTL_KDVR_WRITE_MEMORY_UCHAR, va - 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Access(IOCTL_KDVR_WRITE_MEMORY_ULONG, 0x1000), STATUS_INVALID_PARAMETER);  // never mapped
  EXPECT_EQ(Access(IOCTL_KDVR_READ_MEMORY_UCHAR, va + 0xFF), STATUS_SUCCESS);
  EXPECT_EQ(Access(IOCTL_KDVR_READ_MEMORY_ULONG, va + 0xFC), STATUS_SUCCESS);
  // An unmap names a live window exactly.
  EXPECT_EQ(Unmap(va, 0x80), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Unmap(va + 0x80, 0x80), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Unmap(va + 4, 0x100), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(k.debug_log(), Log{});
  EXPECT_EQ(Unmap(va, 0x100), STATUS_SUCCESS);
  EXPECT_EQ(Unmap(va, 0x100), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Access(IOCTL_KDVR_READ_MEMORY_UCHAR, va), STATUS_INVALID_PARAMETER);
}

TEST_F(MemoryTest, ZeroWrappingOrTooManyWindowsAreRefusedBeforeMapping) {
  for (auto m : {std::pair<uint32_t, uint32_t>{kAdapterMemory, 0}, {0xFFFFF000u, 0x2000}}) {
    sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{m.first, 0, m.second}, 4);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_EQ(k.debug_log(), Log{});
  for (int i = 0; i < KDVR_MAX_WINDOWS; i++) ASSERT_NE(MapAdapter(0x10), 0u) << i;
  // A window that cannot be recorded is not made: a failed map, 0 at +0.
  sim::kernel::IoResult full = Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{kAdapterMemory, 0, 0x10}, 4);
  EXPECT_EQ(full.status, STATUS_SUCCESS);
  EXPECT_EQ(WordAt(full, 0), 0u);
  EXPECT_EQ(k.mapped_windows(), static_cast<size_t>(KDVR_MAX_WINDOWS));
  Unload();  // the windows left mapped are unmapped: no leak
  EXPECT_EQ(k.mapped_windows(), 0u);
}

TEST_F(MemoryTest, FailedTranslationOrMappingReturnsZeroWithSuccess) {
  const struct {
    FaultPoint point;
    const char *message;
  } cases[] = {{FaultPoint::TranslateBusAddress, "NICDIAG.SYS: HalTranslateBusAddress failed\n"},
               {FaultPoint::MapIoSpace, "NICDIAG.SYS: MmMapIoSpace Failed\n"}};
  for (const auto &c : cases) {
    k.clear_debug_log();
    k.inject_fault(c.point);
    sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{kAdapterMemory, 0, 0x1000}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.output, Words({0}));
    EXPECT_EQ(k.debug_log(), (Log{"NICDIAG.SYS: Calling HalTranslateBusAddress \n", c.message,
                                  "NICDIAG.SYS: Mapped to Virtual Address = 0\n"}));
  }
  EXPECT_EQ(k.mapped_windows(), 0u);
  EXPECT_EQ(Access(IOCTL_KDVR_READ_MEMORY_UCHAR, 0), STATUS_INVALID_PARAMETER);
}

class IoSpaceTest : public MemoryTest {
 protected:
  bool LoadAtSetUp() const override { return false; }
};

TEST_F(IoSpaceTest, AddressTranslatedIntoIoSpaceIsReturnedUnmapped) {
  k.load_profile_text(R"({
    "adapters": [ { "bus": 0, "device": 3, "bars": [ { "type": "memory", "size": "0x1000", "address": "0xF8000000" },
                                                    { "type": "io", "size": "0x40", "address": "0xE000" } ] } ],
    "translate_to_io": [ { "bus": 0, "start": "0xF8000000", "size": "0x100000", "io_base": "0x8000" } ] })");
  Load();
  sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{0xF8000010, 0, 0x100}, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, Words({0x8010}));
  EXPECT_EQ(k.mapped_windows(), 0u);
  // Not a window: memory codes and the unmap refuse it.
  EXPECT_EQ(Access(IOCTL_KDVR_READ_MEMORY_UCHAR, 0x8010), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Unmap(0x8010, 0x100), STATUS_INVALID_PARAMETER);
}

// The EEPROM's pins set by the client's own raw writes, too fast for the
// part: by default every write counts as the driver's, so the part's
// timing fault is the driver's; once the raw write codes are declared as
// the client's, the same writes are the client's misuse, and the driver's
// own EEPROM routine that follows them stays free of faults.
TEST_F(MemoryTest, EepromTimingBrokenByRawWritesIsTheClientsMisuse) {
  const uint32_t va = MapAdapter();
  ASSERT_NE(va, 0u);
  auto clock_in_zero_time = [&] {
    for (uint32_t pins : {0x02u, 0x03u, 0x02u, 0x00u})  // CS, CS+SK, CS, nothing
      Call(IOCTL_KDVR_WRITE_MEMORY_USHORT, KDVR_MEMORY_ARGS{va + 0x0E, pins}, 0);
  };
  clock_in_zero_time();
  ASSERT_FALSE(k.driver_faults().empty());
  EXPECT_NE(k.driver_faults()[0].find("EEPROM timing: "), std::string::npos) << k.driver_faults()[0];
  EXPECT_TRUE(k.client_misuse().empty());
  k.clear_driver_faults();

  k.set_raw_write_codes([](ULONG code) { return KdvrIsRawWrite(code) != 0; });
  clock_in_zero_time();
  EXPECT_EQ(k.driver_faults(), Log{});
  ASSERT_FALSE(k.client_misuse().empty());
  EXPECT_NE(k.client_misuse()[0].find("0x80FF003C: EEPROM timing: "), std::string::npos) << k.client_misuse()[0];
  // The driver's read right after: its own edges keep the part's timing.
  const size_t misuse = k.client_misuse().size();
  sim::kernel::IoResult r = Call(IOCTL_KDVR_READ_EEPROM, KDVR_READ_EEPROM_ARGS{kAdapterPort + 0x0E, 64, 5, 0}, 4);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(WordAt(r, 0), k.machine().adapters()[0]->eeprom().word(5));
  // Only a rule that spans the client's last edge and the driver's first may be broken.
  EXPECT_LE(k.client_misuse().size(), misuse + 1);
  EXPECT_EQ(Unmap(va, 0x1000), STATUS_SUCCESS);
}

}  // namespace
}  // namespace nicport_test
