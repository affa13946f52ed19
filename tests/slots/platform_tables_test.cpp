// The firmware-table codes: the search windows and grid, the anchors, the
// copy bounded by the capacity and by the window, the mappings, and the
// real firmware images.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/hw/machine.h"
#include "tests/common/run_tool.h"
#include "tests/driver/driver_fixture.h"

namespace {

using namespace nicport_test;
using sim::kernel::FaultPoint;

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Copy {
  NTSTATUS request = 0;
  uint32_t status = 0;  // the operation's, at +0
  uint32_t length = 0;  // bytes copied, at +4
  std::vector<uint8_t> bytes;
};

class TablesTest : public DriverTest {
 protected:
  bool LoadAtSetUp() const override { return false; }
  void SetUp() override {
    DriverTest::SetUp();
    // The BIOS area empty; each test places what it needs.
    std::memset(Low() + 0xE0000, 0, 0x20000);
    Load();
  }
  uint8_t *Low() { return k.machine().low_memory(); }
  void Put(uint32_t physical, const std::string &text) { std::memcpy(Low() + physical, text.data(), text.size()); }
  void Put16(uint32_t physical, uint16_t v) {
    Low()[physical] = static_cast<uint8_t>(v);
    Low()[physical + 1] = static_cast<uint8_t>(v >> 8);
  }
  void Put32(uint32_t physical, uint32_t v) {
    Put16(physical, static_cast<uint16_t>(v));
    Put16(physical + 2, static_cast<uint16_t>(v >> 16));
  }
  // A DMI anchor and a table of `length` bytes counting up from `seed`.
  void Dmi(uint32_t anchor, uint32_t table, uint16_t length, uint8_t seed = 1) {
    Put(anchor, "_DMI_");
    Put16(anchor + 6, length);
    Put32(anchor + 8, table);
    for (uint32_t i = 0; i < length; i++) Low()[table + i] = static_cast<uint8_t>(seed + i);
  }
  void Pir(uint32_t at, uint16_t size, uint8_t fill) {
    for (uint32_t i = 0; i < size && at + i < 0x100000; i++) Low()[at + i] = fill;
    Put(at, "$PIR");
    Put16(at + 6, size);
  }
  Copy Get(uint32_t code, uint32_t capacity, uint32_t buffer_size = 0x10000) {
    if (buffer.size() < buffer_size) buffer = k.client_alloc(buffer_size);
    std::memset(buffer.data(), 0xEE, buffer.size());
    auto r = Call(code, KDVR_TABLE_ARGS{buffer.address(), capacity}, 8);
    Copy c;
    c.request = r.status;
    c.status = WordAt(r, 0);
    c.length = WordAt(r, 1);
    c.bytes.assign(buffer.data(), buffer.data() + std::min<size_t>(c.length, buffer.size()));
    return c;
  }
  std::vector<uint8_t> At(uint32_t physical, uint32_t length) {
    return std::vector<uint8_t>(Low() + physical, Low() + physical + length);
  }
  sim::kernel::ClientMemory buffer;
};

TEST_F(TablesTest, OnlyAnchorsOnTheGridCount) {
  Dmi(0xF0008, 0x90000, 16);  // off the grid
  Put(0xF0020, "_DMIX");      // "_DMI" then another byte
  Put16(0xF0026, 16);
  Put32(0xF0028, 0x90000);
  Pir(0xE0004, 32, 0x11);  // off the grid
  Copy dmi = Get(IOCTL_KDVR_GET_SYSTEM_ID, 100);
  EXPECT_EQ(dmi.request, STATUS_SUCCESS);
  EXPECT_EQ(dmi.status, static_cast<uint32_t>(STATUS_INVALID_DEVICE_REQUEST));
  EXPECT_EQ(dmi.length, 0u);
  Copy pir = Get(IOCTL_KDVR_GET_INT_ROUTING, 100);
  EXPECT_EQ(pir.status, static_cast<uint32_t>(STATUS_SUCCESS));
  EXPECT_EQ(pir.length, 0u);

  Dmi(0xF0030, 0x90100, 16, 0x40);  // the first real anchor, above the false ones
  dmi = Get(IOCTL_KDVR_GET_SYSTEM_ID, 100);
  EXPECT_EQ(dmi.status, static_cast<uint32_t>(STATUS_SUCCESS));
  EXPECT_EQ(dmi.bytes, At(0x90100, 16));
}

TEST_F(TablesTest, TheLowerOfTwoTablesWins) {
  Dmi(0xF8000, 0x91000, 40, 0x80);
  Dmi(0xF0100, 0x90000, 20, 0x01);
  Pir(0xF0200, 48, 0x22);
  Pir(0xE0100, 32, 0x33);
  Copy dmi = Get(IOCTL_KDVR_GET_SYSTEM_ID, 100);
  EXPECT_EQ(dmi.bytes, At(0x90000, 20));
  Copy pir = Get(IOCTL_KDVR_GET_INT_ROUTING, 100);
  EXPECT_EQ(pir.length, 32u);
  EXPECT_EQ(pir.bytes, At(0xE0100, 32));
}

TEST_F(TablesTest, CapacityEqualOneLessAndZero) {
  Dmi(0xF0000, 0x90000, 100);
  Pir(0xF1000, 64, 0x44);
  for (uint32_t code : {IOCTL_KDVR_GET_SYSTEM_ID, IOCTL_KDVR_GET_INT_ROUTING}) {
    const uint32_t size = code == IOCTL_KDVR_GET_SYSTEM_ID ? 100 : 64;
    const std::vector<uint8_t> table = code == IOCTL_KDVR_GET_SYSTEM_ID ? At(0x90000, 100) : At(0xF1000, 64);
    Copy all = Get(code, size);
    EXPECT_EQ(all.status, static_cast<uint32_t>(STATUS_SUCCESS));
    EXPECT_EQ(all.bytes, table);
    Copy short_one = Get(code, size - 1);
    EXPECT_EQ(short_one.status, static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES));
    EXPECT_EQ(short_one.bytes, std::vector<uint8_t>(table.begin(), table.end() - 1));
    EXPECT_EQ(buffer.data()[size - 1], 0xEE) << "nothing past the capacity";
    Copy none = Get(code, 0);
    EXPECT_EQ(none.status, static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES));
    EXPECT_EQ(none.length, 0u);
    EXPECT_EQ(buffer.data()[0], 0xEE);
  }
  EXPECT_EQ(k.mapped_windows(), 0u);
}

TEST_F(TablesTest, TableMappedFromItsPage) {
  // 768 bytes, 0x234 into their page: mapped from the page for 8,192.
  Dmi(0xF0000, 0x91234, 768);
  const size_t before = k.io_space_mappings().size();
  Copy dmi = Get(IOCTL_KDVR_GET_SYSTEM_ID, 0x1000);
  EXPECT_EQ(dmi.bytes, At(0x91234, 768));
  auto maps = k.io_space_mappings();
  ASSERT_EQ(maps.size(), before + 2);
  EXPECT_EQ(maps[before].physical, 0xF0000u);
  EXPECT_EQ(maps[before].bytes, 0x10000u);
  EXPECT_EQ(maps[before + 1].physical, 0x91000u);
  EXPECT_EQ(maps[before + 1].bytes, 8192u);

  // Length 0: 8,192 bytes mapped, nothing copied, success.
  Dmi(0xF0000, 0x92010, 0);
  Copy empty = Get(IOCTL_KDVR_GET_SYSTEM_ID, 16);
  EXPECT_EQ(empty.status, static_cast<uint32_t>(STATUS_SUCCESS));
  EXPECT_EQ(empty.length, 0u);
  maps = k.io_space_mappings();
  EXPECT_EQ(maps.back().physical, 0x92000u);
  EXPECT_EQ(maps.back().bytes, 8192u);

  // The routing table is copied from its own 128 KiB window.
  Pir(0xE0000, 32, 0);
  Get(IOCTL_KDVR_GET_INT_ROUTING, 64);
  EXPECT_EQ(k.io_space_mappings().back().physical, 0xE0000u);
  EXPECT_EQ(k.io_space_mappings().back().bytes, 0x20000u);
  EXPECT_EQ(k.mapped_windows(), 0u);
}

TEST_F(TablesTest, RoutingTableNearTheTopIsCutAtTheWindow) {
  // The header says 64 bytes from 0xFFFF0: only 16 exist below 1 MB.
  Pir(0xFFFF0, 64, 0x55);
  Copy pir = Get(IOCTL_KDVR_GET_INT_ROUTING, 256);
  EXPECT_EQ(pir.status, static_cast<uint32_t>(STATUS_SUCCESS));
  EXPECT_EQ(pir.length, 16u);
  EXPECT_EQ(pir.bytes, At(0xFFFF0, 16));
  EXPECT_EQ(buffer.data()[16], 0xEE);
  // The caller sees the cut: fewer bytes than the copied header states.
  EXPECT_LT(pir.length, static_cast<uint32_t>(pir.bytes[6] | (pir.bytes[7] << 8)));
  const Log log = k.debug_log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "NICDIAG.SYS: $PIR table of 40 bytes at FFFF0 runs past the BIOS area; copying 10 bytes.\n"),
            1);
  Copy small = Get(IOCTL_KDVR_GET_INT_ROUTING, 8);
  EXPECT_EQ(small.status, static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES));
  EXPECT_EQ(small.length, 8u);
}

TEST_F(TablesTest, MappingFailures) {
  Dmi(0xF0000, 0x90000, 32);
  Pir(0xF1000, 32, 0x66);
  k.inject_fault(FaultPoint::MapIoSpace);  // the search window
  Copy dmi = Get(IOCTL_KDVR_GET_SYSTEM_ID, 100);
  EXPECT_EQ(dmi.status, static_cast<uint32_t>(STATUS_DRIVER_INTERNAL_ERROR));
  EXPECT_EQ(dmi.length, 0u);
  k.inject_fault(FaultPoint::MapIoSpace, {1, 1, 0});  // the table
  dmi = Get(IOCTL_KDVR_GET_SYSTEM_ID, 100);
  EXPECT_EQ(dmi.status, static_cast<uint32_t>(STATUS_DRIVER_INTERNAL_ERROR));
  EXPECT_EQ(dmi.length, 0u);
  k.inject_fault(FaultPoint::MapIoSpace);
  Copy pir = Get(IOCTL_KDVR_GET_INT_ROUTING, 100);
  EXPECT_EQ(pir.status, static_cast<uint32_t>(STATUS_DRIVER_INTERNAL_ERROR));
  EXPECT_EQ(pir.length, 100u);  // left as it came in
  EXPECT_EQ(k.mapped_windows(), 0u);
}

// A buffer taken away while the table is copied fails the request and
// leaves no window mapped (the copy has its own guard inside the mapping).
TEST_F(TablesTest, BufferLostDuringTheCopyLeavesNothingMapped) {
  Dmi(0xF0000, 0x90000, 32);
  Pir(0xF1000, 32, 0x66);
  const struct {
    uint32_t code;
    unsigned map;  // the MmMapIoSpace call the copy runs under
  } rows[] = {{IOCTL_KDVR_GET_SYSTEM_ID, 2}, {IOCTL_KDVR_GET_INT_ROUTING, 1}};
  for (const auto &row : rows) {
    sim::kernel::ClientMemory lost = k.client_alloc(0x1000);
    k.break_at("MmMapIoSpace", row.map, [&] { lost.revoke(); });
    auto r = Call(row.code, KDVR_TABLE_ARGS{lost.address(), 32}, 8);
    EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION) << std::hex << row.code;
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(k.mapped_windows(), 0u) << std::hex << row.code;
  }
  EXPECT_EQ(k.driver_faults(), Log{});
}

TEST_F(TablesTest, ClientBufferIsProbedBeforeAnyWrite) {
  Dmi(0xF0000, 0x90000, 32);
  Pir(0xF1000, 32, 0x77);
  sim::kernel::ClientMemory small = k.client_alloc(16);
  for (uint32_t code : {IOCTL_KDVR_GET_SYSTEM_ID, IOCTL_KDVR_GET_INT_ROUTING}) {
    // Not the client's memory at all, and a size reaching past its buffer.
    // System space (the user-address limit) and a range that wraps too.
    for (const KDVR_TABLE_ARGS &args : {KDVR_TABLE_ARGS{0x1000, 32}, KDVR_TABLE_ARGS{small.address(), 0x100000},
                                        KDVR_TABLE_ARGS{0x80000000, 32}, KDVR_TABLE_ARGS{0xFFFFFFF0, 0x20}}) {
      auto r = Call(code, args, 8);
      EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
      EXPECT_EQ(r.information, 0u);
    }
  }
  EXPECT_EQ(k.driver_faults(), Log{});
}

class FirmwareImageTest : public TablesTest {
 protected:
  void SetUp() override { DriverTest::SetUp(); }
  void LoadImage(const std::string &name) {
    path = std::string(BIOS_DATA_DIR) + "/" + name;
    k.load_profile_text("{\"bios_image\": \"" + path + "\"}", "<test profile>");
    Load();
  }
  std::string path;
};

TEST_F(FirmwareImageTest, Smbios28ImageTablesAreCopiedAsTheyAre) {
  LoadImage("seabios-pc.mem");
  const std::vector<uint8_t> image = ReadFile(path);
  ASSERT_EQ(image.size(), 0x100000u);
  Copy dmi = Get(IOCTL_KDVR_GET_SYSTEM_ID, 0x10000);
  EXPECT_EQ(dmi.status, static_cast<uint32_t>(STATUS_SUCCESS));
  EXPECT_EQ(dmi.bytes, std::vector<uint8_t>(image.begin() + 0xF5A10, image.begin() + 0xF5A10 + 388));
  Copy pir = Get(IOCTL_KDVR_GET_INT_ROUTING, 0x10000);
  EXPECT_EQ(pir.status, static_cast<uint32_t>(STATUS_SUCCESS));
  EXPECT_EQ(pir.bytes, std::vector<uint8_t>(image.begin() + 0xF5C80, image.begin() + 0xF5C80 + 128));
}

TEST_F(FirmwareImageTest, Smbios3OnlyImageHasNoAnchor) {
  LoadImage("seabios-pc-smbios3.mem");
  Copy dmi = Get(IOCTL_KDVR_GET_SYSTEM_ID, 0x10000);
  EXPECT_EQ(dmi.status, static_cast<uint32_t>(STATUS_INVALID_DEVICE_REQUEST));
  EXPECT_EQ(dmi.length, 0u);
  Copy pir = Get(IOCTL_KDVR_GET_INT_ROUTING, 0x10000);
  EXPECT_EQ(pir.length, 128u);
}

TEST_F(FirmwareImageTest, ProfileRefusesAnImageOfTheWrongSize) {
  const std::string bad = testing::TempDir() + "short.mem";
  std::ofstream(bad, std::ios::binary) << "too short";
  try {
    k.load_profile_text("{\"bios_image\": \"" + bad + "\"}", "p.json");
    FAIL() << "accepted";
  } catch (const std::runtime_error &e) {
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("p.json:", 0), 0u) << message;
    EXPECT_NE(message.find(": bios_image: '" + bad + "' is 9 bytes"), std::string::npos) << message;
  }
}

}  // namespace

namespace {

// The built-in firmware tables as dmidecode and biosdecode read them from
// the simulated machine's first megabyte.
TEST(BuiltInTables, ReadByDmidecodeAndBiosdecode) {
  if (RunTool("command -v", "dmidecode").exit_code != 0) GTEST_SKIP() << "dmidecode not installed (scripts/setup.sh)";
  sim::kernel::Kernel k;
  k.load_profile_text(R"({ "adapters": [ { "device": 3, "bars": [], "irq": 11 },
                                         { "device": 5, "bars": [], "irq": 10 },
                                         { "device": 6, "bars": [], "irq": 11 } ] })");
  const std::string path = testing::TempDir() + "builtin.mem";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(k.machine().low_memory()), 0x100000);
  Outcome dmi = RunTool("dmidecode", "-d " + path);
  EXPECT_NE(dmi.out.find("SMBIOS 2.4 present.\n5 structures occupying"), std::string::npos) << dmi.out;
  EXPECT_NE(dmi.out.find("\tProduct Name: Simulated PCI Machine (3 adapters)\n"), std::string::npos) << dmi.out;
  EXPECT_NE(dmi.out.find("Handle 0x7F00, DMI type 127"), std::string::npos) << dmi.out;
  Outcome pir = RunTool("biosdecode", "-d " + path + " --pir full");
  // Each device's INTA# is routed to its own line; devices on one line
  // share a link.
  for (const char *line :
       {"PCI Interrupt Routing 1.0 present.", "\tDevice: 00:03, slot 1\n\t\tINTA#: Link 0x60, IRQ Bitmap 11",
        "\tDevice: 00:05, slot 2\n\t\tINTA#: Link 0x61, IRQ Bitmap 10",
        "\tDevice: 00:06, slot 3\n\t\tINTA#: Link 0x60, IRQ Bitmap 11"})
    EXPECT_NE(pir.out.find(line), std::string::npos) << line << "\n" << pir.out;
}

}  // namespace
