// Forwarding of the feature codes (EEPROM, PHY, slot resources, platform
// tables): argument decoding, results, byte counts and the register and
// buffer checks. The driver's calls of its feature operations reach the
// recording stand-ins below instead: the test links with -Wl,--wrap=NAME
// for each (tests/driver/CMakeLists.txt), which binds the driver's
// references to __wrap_NAME.
#include <cstring>

#include "tests/driver/driver_fixture.h"

namespace {

struct Recorded {
  std::vector<uint32_t> args;
  int calls = 0;
} g_recorded;

void Record(std::initializer_list<uint32_t> args) {
  g_recorded.args = args;
  g_recorded.calls++;
}

NTSTATUS FakeTable(PVOID buffer, PULONG length) {
  Record({static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer)), *length});
  if (*length > 3) *length = 3;
  std::memcpy(buffer, "$PI", *length);
  return STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

extern "C" {
USHORT __wrap_ReadEeprom(ULONG r, USHORT size, USHORT word, USHORT method) {
  Record({r, size, word, method});
  return 0xBEEF;
}
UCHAR __wrap_WriteEeprom(ULONG r, USHORT size, USHORT word, USHORT data, USHORT method) {
  Record({r, size, word, data, method});
  return 1;
}
USHORT __wrap_GetEEpromSize(ULONG r, USHORT method) {
  Record({r, method});
  return 256;
}
USHORT __wrap_MdiRead(ULONG base, USHORT reg, USHORT selector) {
  Record({base, reg, selector});
  return 0x7809;
}
VOID __wrap_MdiWrite(ULONG base, USHORT reg, ULONG data, USHORT selector) { Record({base, reg, data, selector}); }
NTSTATUS __wrap_GetResources(PKDVR_DEVICE_EXTENSION, PKDVR_PARAMETER_BLOCK p, PULONG output) {
  Record({p->Resource.Kind, p->Resource.SlotIndex, p->Resource.Maximum});
  if (p->Resource.Kind == 1) output[1] = 0xF5000000;  // word 0 left alone
  return STATUS_NOT_SUPPORTED;                        // ignored by the routine
}
NTSTATUS __wrap_PlatHardwareGetIntRouting(PKDVR_DEVICE_EXTENSION, PVOID buffer, PULONG length) {
  return FakeTable(buffer, length);
}
NTSTATUS __wrap_PlatHardwareGetSystemID(PKDVR_DEVICE_EXTENSION, PVOID buffer, PULONG length) {
  return FakeTable(buffer, length);
}
}

namespace nicport_test {
namespace {

class ForwardTest : public DriverTest {
 protected:
  std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }
};

// The argument layouts spelled out byte by byte, apart from the header's
// structures that the other tests fill: a change to a layout fails here.
TEST_F(ForwardTest, EepromAndPhyArgumentsAndResults) {
  // Port 0xE00E, size 64, word 5, method 0.
  sim::kernel::IoResult r = Call(IOCTL_KDVR_READ_EEPROM, Bytes({0x0E, 0xE0, 0, 0, 64, 0, 5, 0, 0, 0}), 4);
  EXPECT_EQ(r.output, Words({0xBEEF}));
  EXPECT_EQ(g_recorded.args, (std::vector<uint32_t>{0xE00E, 64, 5, 0}));
  r = Call(IOCTL_KDVR_WRITE_EEPROM, Bytes({0x0E, 0xE0, 0, 0, 0, 1, 7, 0, 0x34, 0x12, 0, 0}), 4);
  EXPECT_EQ(r.output, Words({1}));
  EXPECT_EQ(g_recorded.args, (std::vector<uint32_t>{0xE00E, 256, 7, 0x1234, 0}));
  r = Call(IOCTL_KDVR_GET_EEPROM_SIZE, Words({0xE00E, 0xFFFFFFFF, 0}), 4);
  EXPECT_EQ(r.output, Words({256}));
  EXPECT_EQ(g_recorded.args, (std::vector<uint32_t>{0xE00E, 0}));
  r = Call(IOCTL_KDVR_MDI_READ, Words({0xE000, 0x41, 1}), 4);
  EXPECT_EQ(r.output, Words({0x7809}));
  EXPECT_EQ(g_recorded.args, (std::vector<uint32_t>{0xE000, 0x41, 1}));
  r = Call(IOCTL_KDVR_MDI_WRITE, Words({0xE000, 0, 0x1200, 2}), 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(g_recorded.args, (std::vector<uint32_t>{0xE000, 0, 0x1200, 2}));
}

TEST_F(ForwardTest, RegistersMustBeValidPortsOrLieInAWindow) {
  g_recorded.calls = 0;
  EXPECT_EQ(Call(IOCTL_KDVR_READ_EEPROM, KDVR_READ_EEPROM_ARGS{0x1E00E, 64, 0, 0}, 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_EEPROM, KDVR_READ_EEPROM_ARGS{0x40000000, 64, 0, 2}, 4).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_KDVR_MDI_READ, KDVR_MDI_READ_ARGS{0xFFF0, 1, 0, 1}, 4).status,
            STATUS_INVALID_PARAMETER);  // +16 > 0xFFFF
  EXPECT_EQ(Call(IOCTL_KDVR_MDI_WRITE, KDVR_MDI_WRITE_ARGS{0x40000000, 1, 0, 0, 0}, 0).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(g_recorded.calls, 0);
  uint32_t va = MapAdapter(0x20);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_EEPROM, KDVR_READ_EEPROM_ARGS{va + 0xC, 64, 0, 2}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_MDI_READ, KDVR_MDI_READ_ARGS{va, 1, 0, 0}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_MDI_READ, KDVR_MDI_READ_ARGS{va + 0x10, 1, 0, 0}, 4).status, STATUS_INVALID_PARAMETER);
  // A selector that names no access method passes: the operation makes no access.
  EXPECT_EQ(Call(IOCTL_KDVR_GET_EEPROM_SIZE, KDVR_EEPROM_SIZE_ARGS{0x7FFFFFFF, 0, 1}, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(g_recorded.calls, 3);
}

TEST_F(ForwardTest, ResourcesAlwaysReturnEightBytesEchoingTheInputOrZeros) {
  sim::kernel::IoResult r = Call(IOCTL_KDVR_GET_RESOURCES,
                                 KDVR_RESOURCE_ARGS{KDVR_RESOURCE_MEMORY, 2, 0, 0, 0x1000, 0x1000, 0, 0xFFFFFFFF}, 8);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, Words({0x00020001, 0xF5000000}));
  EXPECT_EQ(g_recorded.args, (std::vector<uint32_t>{1, 2, 0xFFFFFFFF}));
  // A 2-byte input: the rest of the 8 bytes is zeros, not the system buffer's poison.
  r = Call(IOCTL_KDVR_GET_RESOURCES, Bytes({0x05, 0x00}), 8);
  EXPECT_EQ(r.output, Words({5, 0}));
  EXPECT_EQ(Call(IOCTL_KDVR_GET_RESOURCES, Words({1}), 7).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ForwardTest, PlatformTablesReturnOperationStatusAndCountAfterTheBufferCheck) {
  sim::kernel::ClientMemory buffer = k.client_alloc(16);
  sim::kernel::IoResult r = Call(IOCTL_KDVR_GET_SYSTEM_ID, KDVR_TABLE_ARGS{buffer.address(), 16}, 8);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, Words({static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES), 3}));
  EXPECT_EQ(g_recorded.args, (std::vector<uint32_t>{buffer.address(), 16}));
  EXPECT_EQ(std::memcmp(buffer.data(), "$PI", 3), 0);
  r = Call(IOCTL_KDVR_GET_INT_ROUTING, KDVR_TABLE_ARGS{buffer.address(), 0}, 8);
  EXPECT_EQ(r.output, Words({static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES), 0}));
  g_recorded.calls = 0;
  EXPECT_EQ(Call(IOCTL_KDVR_GET_INT_ROUTING, KDVR_TABLE_ARGS{0x1000, 16}, 8).status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(Call(IOCTL_KDVR_GET_SYSTEM_ID, KDVR_TABLE_ARGS{buffer.address(), 0x100000}, 8).status,
            STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(g_recorded.calls, 0);
}

}  // namespace
}  // namespace nicport_test
