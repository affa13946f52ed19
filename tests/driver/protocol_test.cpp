// The device-control protocol as a client sees it: codes, byte counts,
// statuses, the parameter block, ports, PCI configuration and stall.
#include <cstring>
#include <iterator>

#include "tests/driver/driver_fixture.h"

namespace nicport_test {
namespace {

class ProtocolTest : public DriverTest {
 protected:
  uint32_t ReadPort(uint32_t port) { return WordAt(Call(IOCTL_KDVR_READ_PORT_ULONG, KDVR_PORT_ARGS{port, 0}, 4), 0); }
};

TEST_F(ProtocolTest, EveryOwnCodeHasItsByteCountAndStatus) {
  sim::kernel::ClientMemory buffer = k.client_alloc(16);
  const struct {
    uint32_t code, byte_count;
    NTSTATUS status;
  } cases[] = {
      {0x80FF0000, 4, STATUS_SUCCESS},       {0x80FF0008, 4, STATUS_SUCCESS},
      {0x80FF000C, 0, STATUS_SUCCESS},       {0x80FF0010, 4, STATUS_SUCCESS},
      {0x80FF0014, 0, STATUS_SUCCESS},       {0x80FF0018, 4, STATUS_SUCCESS},
      {0x80FF001C, 0, STATUS_SUCCESS},       {0x80FF0050, 4, STATUS_SUCCESS},
      {0x80FF0054, 4, STATUS_SUCCESS},       {0x80FF0058, 0, STATUS_NOT_SUPPORTED},
      {0x80FF005C, 0, STATUS_NOT_SUPPORTED}, {0x80FF0060, 0, STATUS_NOT_SUPPORTED},
      {0x80FF0080, 4, STATUS_SUCCESS},       {0x80FF0084, 4, STATUS_SUCCESS},
      {0x80FF00CC, 0, STATUS_SUCCESS},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> input = Words({kAdapterPort + 4, 0, 0, 0, 0, 0});
    if (c.code == 0x80FF0080 || c.code == 0x80FF0084)
      input = nicdiag::RequestBytes(KDVR_PCI_CONFIG_ARGS{0, kAdapterSlot, buffer.address(), 0x3C, 1});
    if (c.code == 0x80FF0050) input = nicdiag::RequestBytes(KDVR_VALIDATE_ARGS{0x00400000, 0, kAdapterSlot});
    sim::kernel::IoResult r = Call(c.code, input, 8);
    EXPECT_EQ(r.status, c.status) << std::hex << c.code;
    EXPECT_EQ(r.information, c.byte_count) << std::hex << c.code;
    EXPECT_EQ(r.output.size(), c.byte_count) << std::hex << c.code;
  }
  EXPECT_EQ(Call(IOCTL_KDVR_GET_IDENTIFIER, std::vector<uint8_t>(40, 0xAB), 4).output, Words({0x21}));
  EXPECT_EQ(Call(IOCTL_KDVR_GET_IDENTIFIER, {}, 4).output, Words({0x21}));
}

// The table of control codes against the published protocol: every name,
// its value and its byte count, nothing more.
TEST_F(ProtocolTest, TheCodeTableIsThePublishedProtocol) {
  const struct {
    const char *name;
    uint32_t code;
    int byte_count;
  } published[] = {
      {"IOCTL_KDVR_GET_IDENTIFIER", 0x80FF0000, 4},
      {"IOCTL_KDVR_READ_PORT_UCHAR", 0x80FF0008, 4},
      {"IOCTL_KDVR_WRITE_PORT_UCHAR", 0x80FF000C, 0},
      {"IOCTL_KDVR_READ_PORT_USHORT", 0x80FF0010, 4},
      {"IOCTL_KDVR_WRITE_PORT_USHORT", 0x80FF0014, 0},
      {"IOCTL_KDVR_READ_PORT_ULONG", 0x80FF0018, 4},
      {"IOCTL_KDVR_WRITE_PORT_ULONG", 0x80FF001C, 0},
      {"IOCTL_KDVR_READ_EEPROM", 0x80FF0020, 4},
      {"IOCTL_KDVR_WRITE_EEPROM", 0x80FF0024, 4},
      {"IOCTL_KDVR_GET_EEPROM_SIZE", 0x80FF0028, 4},
      {"IOCTL_KDVR_MDI_READ", 0x80FF002C, 4},
      {"IOCTL_KDVR_READ_MEMORY_ULONG", 0x80FF0030, 4},
      {"IOCTL_KDVR_WRITE_MEMORY_ULONG", 0x80FF0034, 0},
      {"IOCTL_KDVR_READ_MEMORY_USHORT", 0x80FF0038, 4},
      {"IOCTL_KDVR_WRITE_MEMORY_USHORT", 0x80FF003C, 0},
      {"IOCTL_KDVR_READ_MEMORY_UCHAR", 0x80FF0040, 4},
      {"IOCTL_KDVR_WRITE_MEMORY_UCHAR", 0x80FF0044, 0},
      {"IOCTL_KDVR_MAP_MEMORY", 0x80FF0048, 4},
      {"IOCTL_KDVR_UNMAP_MEMORY", 0x80FF004C, 0},
      {"IOCTL_KDVR_VALIDATE_MEM_SPACE", 0x80FF0050, 4},
      {"IOCTL_KDVR_GET_FIRST_RANGE_START", 0x80FF0054, 4},
      {"IOCTL_KDVR_RESERVED_22", 0x80FF0058, 0},
      {"IOCTL_KDVR_RESERVED_23", 0x80FF005C, 0},
      {"IOCTL_KDVR_RESERVED_24", 0x80FF0060, 0},
      {"IOCTL_KDVR_MDI_WRITE", 0x80FF0064, 0},
      {"IOCTL_KDVR_READ_PCI_CONFIG", 0x80FF0080, 4},
      {"IOCTL_KDVR_WRITE_PCI_CONFIG", 0x80FF0084, 4},
      {"IOCTL_KDVR_GET_RESOURCES", 0x80FF00C0, 8},
      {"IOCTL_KDVR_GET_INT_ROUTING", 0x80FF00C4, 8},
      {"IOCTL_KDVR_GET_SYSTEM_ID", 0x80FF00C8, 8},
      {"IOCTL_KDVR_STALL", 0x80FF00CC, 0},
  };
  ASSERT_EQ(std::size(kControlCodes), std::size(published));
  for (size_t i = 0; i < std::size(published); i++) {
    const ControlCode &row = kControlCodes[i];
    EXPECT_STREQ(row.name, published[i].name);
    EXPECT_EQ(row.code, published[i].code) << row.name;
    EXPECT_EQ(row.code, 0x80FF0000u + 4 * row.function) << row.name;
    EXPECT_EQ(KDVR_CODE_FUNCTION(row.code), row.function) << row.name;
    EXPECT_EQ(row.result_bytes, published[i].byte_count) << row.name;
    EXPECT_EQ(KdvrResultByteCount(row.code), published[i].byte_count) << row.name;
    EXPECT_EQ(KdvrCodeChangesState(row.code) != 0, row.changes_state) << row.name;
  }
}

// Every code of the table is served by the dispatch: whatever it answers,
// a success returns exactly the code's byte count, and a shorter output is
// refused before anything is done.
TEST_F(ProtocolTest, EveryCodeAnswersWithItsByteCount) {
  for (const ControlCode &row : kControlCodes) {
    sim::kernel::IoResult r = Call(row.code, Words({kAdapterPort + 0x18}), 8);
    EXPECT_NE(r.status, STATUS_DRIVER_INTERNAL_ERROR) << row.name;
    EXPECT_FALSE(r.faulted) << row.name;
    const uint32_t expected = r.status == STATUS_SUCCESS ? static_cast<uint32_t>(row.result_bytes) : 0u;
    EXPECT_EQ(r.information, expected) << row.name;
    if (row.result_bytes > 0) {
      r = Call(row.code, Words({kAdapterPort + 0x18}), static_cast<uint32_t>(row.result_bytes - 1));
      EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << row.name;
      EXPECT_EQ(r.information, 0u) << row.name;
    }
  }
}

// The I/O manager hands a request over with its status zeroed (success),
// so a code the driver does not know must fail it itself; the client's
// DeviceIoControl then reports ERROR_INVALID_FUNCTION.
TEST_F(ProtocolTest, UnrecognisedCodesDoNothingAndFail) {
  const uint32_t codes[] = {0x80FF0004, 0x80FF0068, 0x80FF0100, 0x00220000, 0x80FF4000};
  for (uint32_t code : codes) {
    EXPECT_EQ(KdvrResultByteCount(code), -1) << std::hex << code;  // outside the table
    sim::kernel::IoResult r = Call(code, Words({kAdapterPort + 4, 0x55, 0, 0, 0, 0}), 8);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
    EXPECT_EQ(sim::kernel::nt_status_to_win32_error(r.status), 1u) << std::hex << code;
    EXPECT_EQ(r.information, 0u) << std::hex << code;
    EXPECT_TRUE(r.output.empty()) << std::hex << code;
  }
  EXPECT_EQ(ReadPort(kAdapterPort + 4), 0u);
  EXPECT_EQ(k.debug_log(), Log{});
}

TEST_F(ProtocolTest, PortsInThreeWidthsZeroExtended) {
  // The adapter's register block is plain storage at +4.
  Call(IOCTL_KDVR_WRITE_PORT_ULONG, KDVR_PORT_ARGS{kAdapterPort + 4, 0x89ABCDEF}, 0);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_UCHAR, KDVR_PORT_ARGS{kAdapterPort + 4, 0}, 4).output, Words({0xEF}));
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_USHORT, KDVR_PORT_ARGS{kAdapterPort + 4, 0}, 4).output, Words({0xCDEF}));
  EXPECT_EQ(ReadPort(kAdapterPort + 4), 0x89ABCDEFu);
  // Narrow writes take the low part of the word at +4.
  Call(IOCTL_KDVR_WRITE_PORT_UCHAR, KDVR_PORT_ARGS{kAdapterPort + 4, 0xFFFFFF12}, 0);
  Call(IOCTL_KDVR_WRITE_PORT_USHORT, KDVR_PORT_ARGS{kAdapterPort + 6, 0xFFFF3456}, 0);
  EXPECT_EQ(ReadPort(kAdapterPort + 4), 0x3456CD12u);
  // Ports above 0xFFFF are refused, nothing accessed.
  for (uint32_t code : {IOCTL_KDVR_READ_PORT_UCHAR, IOCTL_KDVR_READ_PORT_ULONG, IOCTL_KDVR_WRITE_PORT_USHORT}) {
    sim::kernel::IoResult r = Call(code, KDVR_PORT_ARGS{0x10000 + kAdapterPort + 4, 1}, 4);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << std::hex << code;
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_EQ(ReadPort(kAdapterPort + 4), 0x3456CD12u);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_UCHAR, KDVR_PORT_ARGS{0xFFFF, 0}, 4).status, STATUS_SUCCESS);
}

TEST_F(ProtocolTest, InputIsReadUpTo24BytesAndZerosBeyondItNeverThePoison) {
  // A 6-byte WRITE_PORT_USHORT carries both the port and the value.
  std::vector<uint8_t> six = {0x08, 0xE0, 0, 0, 0x34, 0x12};
  EXPECT_EQ(Call(IOCTL_KDVR_WRITE_PORT_USHORT, six, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(ReadPort(kAdapterPort + 8), 0x1234u);
  // A 4-byte WRITE_PORT_ULONG writes 0, not the system buffer's poison.
  EXPECT_EQ(Call(IOCTL_KDVR_WRITE_PORT_ULONG, Words({kAdapterPort + 8}), 8).status, STATUS_SUCCESS);
  EXPECT_EQ(ReadPort(kAdapterPort + 8), 0u);
  // A 2-byte port: its upper half reads as zero.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_ULONG, {0x08, 0xE0}, 8).output, Words({0}));
  // 40 bytes: used only up to the 24th.
  // +0x18: plain storage, clear of the EEPROM and MDI models at 0x0E to 0x13.
  std::vector<uint8_t> forty = Words({kAdapterPort + 0x18, 0xA5A5A5A5, 1, 2, 3, 4, 0xDEAD, 0xBEEF, 5, 6});
  EXPECT_EQ(Call(IOCTL_KDVR_WRITE_PORT_ULONG, forty, 0).status, STATUS_SUCCESS);
  sim::kernel::IoResult r = Call(IOCTL_KDVR_READ_PORT_ULONG, forty, 40);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(r.output, Words({0xA5A5A5A5}));
}

TEST_F(ProtocolTest, OutputShorterThanByteCountIsRefusedUntouched) {
  for (uint32_t length : {0u, 1u, 3u}) {
    sim::kernel::IoResult r = Call(IOCTL_KDVR_READ_PORT_UCHAR, KDVR_PORT_ARGS{kAdapterPort + 4, 0}, length);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_EQ(Validate(0x00401000, 2).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT1"));
  EXPECT_EQ(Call(IOCTL_KDVR_MAP_MEMORY, KDVR_MAP_ARGS{kAdapterMemory, 0, 0x1000}, 3).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(k.mapped_windows(), 0u);
  EXPECT_EQ(k.debug_log(), Log{});
}

TEST_F(ProtocolTest, PciConfigurationThroughTheClientBuffer) {
  sim::kernel::ClientMemory buffer = k.client_alloc(64);
  sim::kernel::IoResult r =
      Call(IOCTL_KDVR_READ_PCI_CONFIG, KDVR_PCI_CONFIG_ARGS{0, kAdapterSlot, buffer.address(), 0, 64}, 4);
  EXPECT_EQ(r.output, Words({64}));
  EXPECT_EQ(std::vector<uint8_t>(buffer.data(), buffer.data() + 4), (std::vector<uint8_t>{0x86, 0x80, 0x29, 0x12}));
  buffer.data()[0] = 5;
  r = Call(IOCTL_KDVR_WRITE_PCI_CONFIG, KDVR_PCI_CONFIG_ARGS{0, kAdapterSlot, buffer.address(), 0x3C, 1}, 4);
  EXPECT_EQ(r.output, Words({1}));
  buffer.data()[0] = 0;
  Call(IOCTL_KDVR_READ_PCI_CONFIG, KDVR_PCI_CONFIG_ARGS{0, kAdapterSlot, buffer.address(), 0x3C, 1}, 4);
  EXPECT_EQ(buffer.data()[0], 5);
  // A missing bus transfers nothing.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PCI_CONFIG, KDVR_PCI_CONFIG_ARGS{7, 0, buffer.address(), 0, 4}, 4).output, Words({0}));
}

TEST_F(ProtocolTest, BadClientBuffersAreRefusedUntouched) {
  sim::kernel::ClientMemory buffer = k.client_alloc(PAGE_SIZE);
  sim::kernel::ClientMemory canary = k.client_alloc(PAGE_SIZE);
  std::memset(canary.data(), 0x5A, PAGE_SIZE);
  const uint32_t bad[][2] = {
      {0x1000, 16},
      {0, 4},                               // nobody's memory, null
      {buffer.address() + 8, 0xFFFFFFF8u},  // wraps
      {0x40000000, 4},                      // system space (mapped windows live there)
      {0xFFFFFFF0u, 64},                    // wraps past 4 GiB
  };
  for (uint32_t code : {IOCTL_KDVR_READ_PCI_CONFIG, IOCTL_KDVR_WRITE_PCI_CONFIG}) {
    for (const auto &b : bad) {
      sim::kernel::IoResult r = Call(code, KDVR_PCI_CONFIG_ARGS{0, kAdapterSlot, b[0], 0, b[1]}, 4);
      EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION) << std::hex << b[0];
      EXPECT_EQ(r.information, 0u);
    }
  }
  EXPECT_EQ(std::vector<uint8_t>(canary.data(), canary.data() + PAGE_SIZE), std::vector<uint8_t>(PAGE_SIZE, 0x5A));
  // A zero length names no memory at all.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PCI_CONFIG, KDVR_PCI_CONFIG_ARGS{0, kAdapterSlot, 0x1000, 0, 0}, 4).status,
            STATUS_SUCCESS);
}

TEST_F(ProtocolTest, StallTakesExactlyTheMicrosecondsOfVirtualTime) {
  uint64_t before = k.now_us();
  EXPECT_EQ(Call(IOCTL_KDVR_STALL, KDVR_STALL_ARGS{1500}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_STALL, {}, 0).status, STATUS_SUCCESS);  // no input: 0 microseconds
  EXPECT_EQ(k.now_us() - before, 1500u);
}

}  // namespace
}  // namespace nicport_test
