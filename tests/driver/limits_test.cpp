// What one request may do: stall length, port range, the size of a window
// and of all of them, maps the platform cannot make, and EEPROM writes that
// must really take.
#include "tests/hwparts/hw_driver_fixture.h"

namespace {

using namespace nicport_test;

class LimitsTest : public HwDriverTest {};

TEST_F(LimitsTest, StallsLongerThanOneSecondAreRefused) {
  LoadWith(nullptr);
  uint64_t before = k.now_us();
  EXPECT_EQ(Call(IOCTL_KDVR_STALL, KDVR_STALL_ARGS{1000000}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(k.now_us() - before, 1000000u);
  for (uint32_t us : {1000001u, 0xFFFFFFFFu}) {
    before = k.now_us();
    EXPECT_EQ(Call(IOCTL_KDVR_STALL, KDVR_STALL_ARGS{us}, 0).status, STATUS_INVALID_PARAMETER) << us;
    EXPECT_EQ(k.now_us(), before) << us;
  }
}

TEST_F(LimitsTest, EveryByteOfAPortAccessLiesInTheIoSpace) {
  LoadWith(nullptr);
  const struct {
    uint32_t code;
    uint32_t last_port;  // highest port the access may start at
  } widths[] = {{IOCTL_KDVR_READ_PORT_UCHAR, 0xFFFF},
                {IOCTL_KDVR_WRITE_PORT_USHORT, 0xFFFE},
                {IOCTL_KDVR_READ_PORT_ULONG, 0xFFFC},
                {IOCTL_KDVR_WRITE_PORT_ULONG, 0xFFFC}};
  for (auto w : widths) {
    EXPECT_EQ(Call(w.code, KDVR_PORT_ARGS{w.last_port, 0}, 4).status, STATUS_SUCCESS) << std::hex << w.code;
    for (uint32_t port : {w.last_port + 1, 0xFFFFFFFFu})
      EXPECT_EQ(Call(w.code, KDVR_PORT_ARGS{port, 0}, 4).status, STATUS_INVALID_PARAMETER)
          << std::hex << w.code << port;
  }
  // The MDI register is a 32-bit port 16 bytes above the base.
  EXPECT_EQ(Call(IOCTL_KDVR_MDI_READ, KDVR_MDI_READ_ARGS{0xFFED, 0, 0, 1}, 4).status, STATUS_INVALID_PARAMETER);
}

// A window spans at most KDVR_MAX_WINDOW_BYTES, all live windows together
// at most KDVR_MAX_WINDOW_PAGES pages (a window's page offset counts); a
// map beyond either is refused before the memory manager is asked.
TEST_F(LimitsTest, WindowsAreBoundedEachAndTogether) {
  LoadWith(nullptr);
  auto map = [&](uint32_t address, uint32_t length) {
    const size_t calls = k.io_space_mappings().size();
    sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{address, 0, length}, 4);
    const bool asked = k.io_space_mappings().size() > calls;
    EXPECT_EQ(asked, NT_SUCCESS(r.status)) << std::hex << address << " " << length;
    return r;
  };
  const struct {
    uint32_t length;
    NTSTATUS status;
  } single[] = {{KDVR_MAX_WINDOW_BYTES, STATUS_SUCCESS},
                {KDVR_MAX_WINDOW_BYTES + 1, STATUS_INVALID_PARAMETER},
                {0x7FFFFFFF, STATUS_INVALID_PARAMETER}};
  for (auto c : single) {
    sim::kernel::IoResult r = map(0xF0000000u, c.length);
    EXPECT_EQ(r.status, c.status) << std::hex << c.length;
    if (!NT_SUCCESS(r.status)) {
      EXPECT_EQ(r.information, 0u);
      continue;
    }
    ASSERT_NE(WordAt(r, 0), 0u);
    EXPECT_EQ(Call(IOCTL_KDVR_UNMAP_MEMORY, KDVR_UNMAP_ARGS{WordAt(r, 0), c.length}, 0).status, STATUS_SUCCESS);
  }
  // Whole-megabyte windows up to the total, then one page more is refused.
  constexpr uint32_t kPerWindow = KDVR_MAX_WINDOW_BYTES / PAGE_SIZE;
  std::vector<uint32_t> mapped;
  for (uint32_t pages = 0; pages + kPerWindow <= KDVR_MAX_WINDOW_PAGES; pages += kPerWindow) {
    sim::kernel::IoResult r = map(0xF0000000u + pages * PAGE_SIZE, KDVR_MAX_WINDOW_BYTES);
    ASSERT_EQ(r.status, STATUS_SUCCESS) << pages;
    mapped.push_back(WordAt(r, 0));
  }
  EXPECT_EQ(k.system_ptes_in_use(), static_cast<size_t>(KDVR_MAX_WINDOW_PAGES));
  EXPECT_EQ(map(kAdapterMemory, 1).status, STATUS_INSUFFICIENT_RESOURCES);
  // A window unmapped gives its pages back: all but one are taken again,
  // and the last is too few for a window whose offset makes it span two.
  ASSERT_EQ(Call(IOCTL_KDVR_UNMAP_MEMORY, KDVR_UNMAP_ARGS{mapped.back(), KDVR_MAX_WINDOW_BYTES}, 0).status,
            STATUS_SUCCESS);
  ASSERT_EQ(map(0xF0000000u, KDVR_MAX_WINDOW_BYTES - PAGE_SIZE).status, STATUS_SUCCESS);
  EXPECT_EQ(map(kAdapterMemory + 0xFF8, 0x10).status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(map(kAdapterMemory, 0x1000).status, STATUS_SUCCESS);
  EXPECT_EQ(k.system_ptes_in_use(), static_cast<size_t>(KDVR_MAX_WINDOW_PAGES));
  // Unload unmaps what was left; no entry stays taken.
  Unload();
  EXPECT_EQ(k.system_ptes_in_use(), 0u);
}

// When the memory manager has no page-table entries left for a window the
// driver would allow, the map fails as every failed map does and its table
// entry is free again.
TEST_F(LimitsTest, MapThePlatformCannotMakeFailsCleanly) {
  LoadWith(nullptr);
  k.set_system_ptes(1);
  sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{kAdapterMemory, 0, 0x2000}, 4);
  EXPECT_FALSE(r.faulted);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(WordAt(r, 0), 0u);
  EXPECT_EQ(k.mapped_windows(), 0u);
  k.set_system_ptes(sim::kernel::kDefaultSystemPtes);
  for (int i = 0; i < KDVR_MAX_WINDOWS; i++) ASSERT_NE(MapAdapter(0x10), 0u) << i;
}

TEST_F(LimitsTest, EepromWriteThatDidNotTakeIsAFailure) {
  // Data out stuck high: the part looks ready at once, yet nothing is stored.
  LoadWith({{"words", 64}, {"do_stuck_high", true}});
  EXPECT_EQ(WriteWord(EepromRegister(Method::io), 64, 3, 0x1234, 0), 0u);
  EXPECT_NE(Part().word(3), 0x1234);
}

TEST_F(LimitsTest, HundredTwentyEightWordPartsTakeEightAddressBits) {
  LoadWith({{"words", 128}, {"contents", Ramp(128)}});
  for (Method m : {Method::io, Method::mem}) {
    uint32_t reg = EepromRegister(m);
    EXPECT_EQ(ReadWord(reg, 128, 0x45, AddressMethod(m)), 0xA545u);
    EXPECT_EQ(ReadWord(reg, 128, 0x7F, AddressMethod(m)), 0xA57Fu);
    EXPECT_EQ(WriteWord(reg, 128, 0x7E, 0x5AA5, AddressMethod(m)), 1u);
    EXPECT_EQ(Part().word(0x7E), 0x5AA5);
    EXPECT_EQ(Part().word(0x3F), 0xA53F);  // the neighbour a shifted address would hit
  }
}

}  // namespace
