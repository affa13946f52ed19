// The driver's EEPROM sequences rebuilt from a copy of driver/eeprom.cpp
// with one of its busy waits removed (the build makes the copy and names
// the fault to expect): the simulated part must report the timing its data
// sheet forbids as a fault of the driver, where the driver as written
// leaves no fault (every driver test checks that on tear-down).
#include <gtest/gtest.h>

#include "driver/hwaccess.h"
#include "sim/kernel/kernel.h"

namespace {

// The default machine's adapter decodes its registers at this I/O port.
constexpr ULONG kEepromPort = 0xE000 + 0x0E;

TEST(DroppedStall, ThePartReportsTheTimingFault) {
  sim::kernel::Kernel k;
  KdvrInitializeHardwareLocks();
  EXPECT_EQ(GetEEpromSize(kEepromPort, KDVR_REG_METHOD_PORT), 64);
  const USHORT word = ReadEeprom(kEepromPort, 64, 9, KDVR_REG_METHOD_PORT);
  EXPECT_EQ(WriteEeprom(kEepromPort, 64, 9, word, KDVR_REG_METHOD_PORT), 1);
  const auto faults = k.driver_faults();
  ASSERT_FALSE(faults.empty());
  for (const auto &fault : faults) EXPECT_NE(fault.find(DROPPED_STALL_FAULT), std::string::npos) << fault;
}

}  // namespace
