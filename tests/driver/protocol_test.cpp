// The device-control protocol as a client sees it: codes, byte counts,
// statuses, the parameter block, ports, PCI configuration and stall.
#include <cstring>

#include "tests/driver/driver_fixture.h"

namespace nicport_test {
namespace {

class ProtocolTest : public DriverTest {};

// Codes whose operation the driver carries out itself, with the byte count
// and status a well-formed request gets back on the default machine.
struct CodeCase {
  uint32_t code;
  uint32_t byte_count;
  NTSTATUS status;
};

TEST_F(ProtocolTest, EveryOwnCodeHasItsValueByteCountAndStatus) {
  sim::kernel::ClientMemory buffer = k.client_alloc(256);
  const uint32_t pci[] = {0, kAdapterSlot, buffer.address(), 0, 4};
  const CodeCase cases[] = {
      {0x80FF0000, 4, STATUS_SUCCESS},         {0x80FF0008, 4, STATUS_SUCCESS},
      {0x80FF000C, 0, STATUS_SUCCESS},         {0x80FF0010, 4, STATUS_SUCCESS},
      {0x80FF0014, 0, STATUS_SUCCESS},         {0x80FF0018, 4, STATUS_SUCCESS},
      {0x80FF001C, 0, STATUS_SUCCESS},         {0x80FF0050, 4, STATUS_SUCCESS},
      {0x80FF0054, 4, STATUS_SUCCESS},         {0x80FF0058, 0, STATUS_NOT_SUPPORTED},
      {0x80FF005C, 0, STATUS_NOT_SUPPORTED},   {0x80FF0060, 0, STATUS_NOT_SUPPORTED},
      {0x80FF0080, 4, STATUS_SUCCESS},         {0x80FF0084, 4, STATUS_SUCCESS},
      {0x80FF00CC, 0, STATUS_SUCCESS},
  };
  for (const CodeCase &c : cases) {
    std::vector<uint8_t> input;
    if (c.code == 0x80FF0080 || c.code == 0x80FF0084) {
      input = Words({pci[0], pci[1], pci[2], 0x3C, 1});  // interrupt line, harmless to rewrite
    } else if (c.code == 0x80FF0050) {
      input = Words({0x00400000, 0, kAdapterSlot});
    } else {
      input = Words({kAdapterPort + 4, 0, 0, 0, 0, 0});
    }
    sim::kernel::IoResult r = Call(c.code, input, 8);
    EXPECT_EQ(r.status, c.status) << std::hex << c.code;
    EXPECT_EQ(r.information, c.byte_count) << std::hex << c.code;
    EXPECT_EQ(r.output.size(), c.byte_count) << std::hex << c.code;
  }
}

TEST_F(ProtocolTest, IdentifierIs0x21WhateverTheInput) {
  for (const std::vector<uint8_t> &input :
       {std::vector<uint8_t>{}, Words({0xFFFFFFFF, 1, 2, 3, 4, 5}), std::vector<uint8_t>(40, 0xAB)}) {
    sim::kernel::IoResult r = Call(IOCTL_KDVR_GET_IDENTIFIER, input, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.output, Words({0x21}));
  }
}

TEST_F(ProtocolTest, UnrecognisedAndNotYetServedCodesDoNothing) {
  // Function 1, a function past the table, another device type, and the
  // codes whose feature is not plugged into this build.
  std::vector<uint32_t> codes = {0x80FF0004, 0x80FF0068, 0x80FF0100, 0x00220000, 0x80FF4000};
  if (KdvrFeatures.ReadEeprom == NULL) codes.push_back(IOCTL_KDVR_READ_EEPROM);
  if (KdvrFeatures.MdiWrite == NULL) codes.push_back(IOCTL_KDVR_MDI_WRITE);
  if (KdvrFeatures.GetResources == NULL) codes.push_back(IOCTL_KDVR_GET_RESOURCES);
  if (KdvrFeatures.PlatHardwareGetSystemID == NULL) codes.push_back(IOCTL_KDVR_GET_SYSTEM_ID);
  sim::kernel::IoResult arrival = Call(0x80FF0004, {}, 0);
  for (uint32_t code : codes) {
    uint64_t before = k.now_us();
    sim::kernel::IoResult r = Call(code, Words({kAdapterPort, 0x55, 0, 0, 0, 0}), 8);
    EXPECT_EQ(r.status, arrival.status) << std::hex << code;
    EXPECT_EQ(r.information, 0u) << std::hex << code;
    EXPECT_TRUE(r.output.empty());
    EXPECT_EQ(k.now_us(), before);
  }
  EXPECT_TRUE(k.debug_log().empty());
}

TEST_F(ProtocolTest, PortsInThreeWidthsZeroExtended) {
  // The adapter's register block is plain storage at +4 (no model there).
  ASSERT_EQ(Call(IOCTL_KDVR_WRITE_PORT_ULONG, Words({kAdapterPort + 4, 0x89ABCDEF}), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_UCHAR, Words({kAdapterPort + 4}), 4).output, Words({0xEF}));
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_USHORT, Words({kAdapterPort + 4}), 4).output, Words({0xCDEF}));
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_ULONG, Words({kAdapterPort + 4}), 4).output, Words({0x89ABCDEF}));
  // Narrow writes take the low part of the word at +4.
  Call(IOCTL_KDVR_WRITE_PORT_UCHAR, Words({kAdapterPort + 4, 0xFFFFFF12}), 0);
  Call(IOCTL_KDVR_WRITE_PORT_USHORT, Words({kAdapterPort + 6, 0xFFFF3456}), 0);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_ULONG, Words({kAdapterPort + 4}), 4).output, Words({0x3456CD12}));
  // Nothing decodes this port: a master abort reads all ones.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_UCHAR, Words({0x300}), 4).output, Words({0xFF}));
}

TEST_F(ProtocolTest, ShortInputReadsZerosNeverThePoison) {
  // A 6-byte WRITE_PORT_USHORT carries both the port and the value.
  std::vector<uint8_t> six = {static_cast<uint8_t>(kAdapterPort + 8), static_cast<uint8_t>((kAdapterPort + 8) >> 8),
                              0, 0, 0x34, 0x12};
  EXPECT_EQ(Call(IOCTL_KDVR_WRITE_PORT_USHORT, six, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_ULONG, Words({kAdapterPort + 8}), 4).output, Words({0x1234}));

  // A 4-byte WRITE_PORT_ULONG has no value: it writes 0, not the system
  // buffer's poison beyond the input.
  Call(IOCTL_KDVR_WRITE_PORT_ULONG, Words({kAdapterPort + 8, 0x55555555}), 0);
  EXPECT_EQ(Call(IOCTL_KDVR_WRITE_PORT_ULONG, Words({kAdapterPort + 8}), 8).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_ULONG, Words({kAdapterPort + 8}), 4).output, Words({0}));

  // A 2-byte port read: the port's upper half reads as zero.
  std::vector<uint8_t> two = {static_cast<uint8_t>(kAdapterPort + 8), static_cast<uint8_t>((kAdapterPort + 8) >> 8)};
  sim::kernel::IoResult r = Call(IOCTL_KDVR_READ_PORT_ULONG, two, 8);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, Words({0}));

  // No input at all: the stall reads a zero time.
  uint64_t before = k.now_us();
  EXPECT_EQ(Call(IOCTL_KDVR_STALL, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(k.now_us(), before);
}

TEST_F(ProtocolTest, FortyByteInputIsUsedUpToItsTwentyFourthByte) {
  // +0x18: plain storage, clear of the EEPROM and MDI models at 0x0E to 0x13.
  std::vector<uint8_t> input = Words({kAdapterPort + 0x18, 0xA5A5A5A5, 1, 2, 3, 4, 0xDEAD, 0xBEEF, 5, 6});
  ASSERT_EQ(input.size(), 40u);
  EXPECT_EQ(Call(IOCTL_KDVR_WRITE_PORT_ULONG, input, 0).status, STATUS_SUCCESS);
  sim::kernel::IoResult r = Call(IOCTL_KDVR_READ_PORT_ULONG, input, 40);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(r.output, Words({0xA5A5A5A5}));
}

TEST_F(ProtocolTest, OutputShorterThanByteCountIsRefusedUntouched) {
  Call(IOCTL_KDVR_WRITE_PORT_ULONG, Words({kAdapterPort + 4, 7}), 0);
  for (uint32_t length : {0u, 1u, 3u}) {
    sim::kernel::IoResult r = Call(IOCTL_KDVR_READ_PORT_UCHAR, Words({kAdapterPort + 4}), length);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    EXPECT_TRUE(r.output.empty());
  }
  // Nothing is created or mapped on the way to the refusal.
  EXPECT_EQ(Call(IOCTL_KDVR_VALIDATE_MEM_SPACE, Words({0x00401000, 0, kAdapterSlot}), 2).status,
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_FALSE(k.object_exists("\\Device\\NICPORT1"));
  EXPECT_EQ(Call(IOCTL_KDVR_MAP_MEMORY, Words({kAdapterMemory, 0, 0x1000}), 3).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(k.mapped_windows(), 0u);
  EXPECT_TRUE(k.debug_log().empty());
  // Codes without a result need no output buffer.
  EXPECT_EQ(Call(IOCTL_KDVR_WRITE_PORT_UCHAR, Words({kAdapterPort + 4, 9}), 0).status, STATUS_SUCCESS);
}

TEST_F(ProtocolTest, PortsAbove0xFFFFAreRefused) {
  for (uint32_t code : {IOCTL_KDVR_READ_PORT_UCHAR, IOCTL_KDVR_READ_PORT_ULONG, IOCTL_KDVR_WRITE_PORT_USHORT}) {
    sim::kernel::IoResult r = Call(code, Words({0x10000 + kAdapterPort, 1}), 4);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << std::hex << code;
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_UCHAR, Words({0xFFFF}), 4).status, STATUS_SUCCESS);
}

TEST_F(ProtocolTest, PciConfigurationReadAndWriteThroughClientBuffer) {
  sim::kernel::ClientMemory buffer = k.client_alloc(64);
  sim::kernel::IoResult r = Call(IOCTL_KDVR_READ_PCI_CONFIG, Words({0, kAdapterSlot, buffer.address(), 0, 64}), 4);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, Words({64}));
  EXPECT_EQ(buffer.data()[0] | (buffer.data()[1] << 8), 0x8086);
  EXPECT_EQ(buffer.data()[2] | (buffer.data()[3] << 8), 0x1229);
  EXPECT_EQ(buffer.data()[0x0B], 0x02);  // network controller

  buffer.data()[0] = 5;
  r = Call(IOCTL_KDVR_WRITE_PCI_CONFIG, Words({0, kAdapterSlot, buffer.address(), 0x3C, 1}), 4);
  EXPECT_EQ(r.output, Words({1}));
  std::memset(buffer.data(), 0, 64);
  Call(IOCTL_KDVR_READ_PCI_CONFIG, Words({0, kAdapterSlot, buffer.address(), 0x3C, 1}), 4);
  EXPECT_EQ(buffer.data()[0], 5);

  // An empty slot answers with the invalid vendor; a missing bus with 0 bytes.
  r = Call(IOCTL_KDVR_READ_PCI_CONFIG, Words({0, 9, buffer.address(), 0, 4}), 4);
  EXPECT_EQ(buffer.data()[0] | (buffer.data()[1] << 8), 0xFFFF);
  r = Call(IOCTL_KDVR_READ_PCI_CONFIG, Words({7, 0, buffer.address(), 0, 4}), 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, Words({0}));
}

TEST_F(ProtocolTest, BadClientBuffersAreRefusedUntouched) {
  sim::kernel::ClientMemory buffer = k.client_alloc(PAGE_SIZE);
  sim::kernel::ClientMemory canary = k.client_alloc(PAGE_SIZE);
  std::memset(canary.data(), 0x5A, PAGE_SIZE);
  const uint32_t bad[][2] = {
      {0x1000, 16},                            // nobody's memory
      {0, 4},                                  // null
      {buffer.address() + 8, 0xFFFFFFF8u},     // wraps
      {0x40000000, 4},                         // system space (mapped windows live there)
      {0xFFFFFFF0u, 64},                       // wraps past 4 GiB
  };
  for (uint32_t code : {IOCTL_KDVR_READ_PCI_CONFIG, IOCTL_KDVR_WRITE_PCI_CONFIG}) {
    for (const auto &b : bad) {
      sim::kernel::IoResult r = Call(code, Words({0, kAdapterSlot, b[0], 0, b[1]}), 4);
      EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION) << std::hex << b[0];
      EXPECT_EQ(r.information, 0u);
    }
  }
  for (size_t i = 0; i < PAGE_SIZE; i++) ASSERT_EQ(canary.data()[i], 0x5A);
  // A zero length names no memory at all.
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PCI_CONFIG, Words({0, kAdapterSlot, 0x1000, 0, 0}), 4).status, STATUS_SUCCESS);
}

TEST_F(ProtocolTest, StallAdvancesVirtualTimeByExactlyTheMicroseconds) {
  uint64_t before = k.now_us();
  EXPECT_EQ(Call(IOCTL_KDVR_STALL, Words({1500}), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(k.now_us() - before, 1500u);
}

}  // namespace
}  // namespace nicport_test
