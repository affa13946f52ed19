// What one request may do: stall length, port range, maps the platform
// cannot make, and EEPROM writes that must really take.
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

TEST_F(LimitsTest, MapThePlatformCannotMakeFailsCleanly) {
  LoadWith(nullptr);
  sim::kernel::IoResult r = Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{0x80000000u, 0, 0x7FFFFFFF}, 4);
  EXPECT_FALSE(r.faulted);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(WordAt(r, 0), 0u);
  EXPECT_EQ(k.mapped_windows(), 0u);
  // The entry it had reserved is free again.
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
