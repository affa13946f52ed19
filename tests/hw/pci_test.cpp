// PCI configuration space, the adapter's register block and the machine's
// address decoding, after the PCI Local Bus specification.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/hw/machine.h"

namespace {

using namespace sim::hw;

AdapterConfig default_config() {
  AdapterConfig conf;
  conf.bars = {{BarType::Memory, 0x1000, 0xF4000000}, {BarType::Io, 0x40, 0xE000}};
  return conf;
}

TEST(PciConfig, ReadOnlyWritableAndWriteOneToClearFieldsBehaveAsTheHeaderDefines) {
  sim::VirtualClock clock;
  Adapter a(default_config(), clock);
  EXPECT_EQ(a.config_read(0x00, 4), 0x12298086u);
  EXPECT_EQ(a.config_read(0x08, 4) >> 8, 0x020000u);  // network controller, Ethernet
  EXPECT_EQ(a.config_read(0x3D, 1), 1u);              // INTA#
  a.config_write(0x00, 4, 0);
  a.config_write(0x08, 4, 0);
  EXPECT_EQ(a.vendor(), 0x8086);
  EXPECT_EQ(a.config_read(0x0B, 1), 0x02u);
  EXPECT_EQ(a.command() & 0x7, 0x7);  // I/O, memory, bus master as the firmware left them
  a.config_write(0x04, 2, 0xFFFF);
  EXPECT_EQ(a.command(), 0x0547);  // only the implemented bits stick
  a.config_write(0x04, 2, 0);
  EXPECT_FALSE(a.decodes(0, 0xF4000000));
  EXPECT_FALSE(a.decodes(1, 0xE000));
  // Status: error bits clear on writing 1, other bits ignore writes.
  const std::uint32_t status = a.config_read(0x06, 2);
  a.config_write(0x06, 2, 0xFFFF);
  EXPECT_EQ(a.config_read(0x06, 2), status);
  a.config_write(0x3C, 1, 9);
  EXPECT_EQ(a.interrupt_line(), 9);
  EXPECT_EQ(a.config_read(0x40, 4), 0u);  // device-specific area
  a.config_write(0x40, 4, 0x12345678);
  EXPECT_EQ(a.config_read(0x40, 4), 0u);
}

TEST(PciConfig, BarsReadBackTheirSizeMaskAfterAllOnes) {
  sim::VirtualClock clock;
  AdapterConfig conf = default_config();
  conf.bars.push_back({BarType::Memory, 0x100000, 0});  // a 1 MiB BAR the firmware left unassigned
  Adapter a(conf, clock);
  const std::uint32_t expected[] = {0xFFFFF000u, 0xFFFFFFC1u, 0xFFF00000u, 0u, 0u, 0u};
  for (std::uint32_t i = 0; i < 6; ++i) {
    const std::uint32_t offset = 0x10 + 4 * i;
    const std::uint32_t saved = a.config_read(offset, 4);
    a.config_write(offset, 4, 0xFFFFFFFF);
    EXPECT_EQ(a.config_read(offset, 4), expected[i]) << "BAR " << i;
    a.config_write(offset, 4, saved);
  }
  EXPECT_EQ(a.bar_address(0), 0xF4000000u);
  EXPECT_EQ(a.bar_address(1), 0xE000u);
  // Byte-wide writes reach the same result, low bits stay as the type says.
  for (std::uint32_t b = 0; b < 4; ++b) a.config_write(0x14 + b, 1, 0xFF);
  EXPECT_EQ(a.config_read(0x14, 4), 0xFFFFFFC1u);
  a.config_write(0x14, 4, 0xD00F);  // unaligned address bits are dropped
  EXPECT_EQ(a.bar_address(1), 0xD000u);
}

class CountingRegister : public RegisterHandler {
 public:
  std::uint32_t read(std::uint32_t offset, unsigned width) override {
    reads.push_back({offset, width});
    return 0xC0DE;
  }
  void write(std::uint32_t offset, unsigned width, std::uint32_t value) override {
    writes.push_back({offset, width});
    last = value;
  }
  std::vector<std::pair<std::uint32_t, unsigned>> reads, writes;
  std::uint32_t last = 0;
};

TEST(AdapterRegisters, PlainLittleEndianBlockWithAttachedModels) {
  sim::VirtualClock clock;
  Adapter a(default_config(), clock);
  a.write(0x04, 4, 0x11223344);
  EXPECT_EQ(a.read(0x04, 1), 0x44u);
  EXPECT_EQ(a.read(0x06, 2), 0x1122u);
  a.write(0x3E, 4, 0xAABBCCDD);  // the two bytes past the block are dropped
  EXPECT_EQ(a.read(0x3E, 4), 0x0000CCDDu);
  EXPECT_EQ(a.read(0x800, 4), 0u);  // reserved part of the memory window

  // Models over part of the block (the adapter's own EEPROM and MDI models
  // sit at 0x0E and 0x10) see only the bytes of an access that they own.
  CountingRegister low, high;
  a.attach_register(0x20, 2, &low);
  a.attach_register(0x22, 4, &high);
  EXPECT_THROW(a.attach_register(0x23, 1, &low), std::invalid_argument);
  EXPECT_THROW(a.attach_register(0x3E, 4, &low), std::invalid_argument);
  EXPECT_THROW(a.attach_register(Adapter::kMdiControl, 4, &low), std::invalid_argument);
  a.write(0x1C, 4, 0x99887766);
  a.write(0x20, 1, 0x5);
  EXPECT_EQ(a.read(0x1E, 4), 0xC0DE9988u);  // two plain bytes, then the first model's two
  a.write(0x20, 4, 0x08200000);
  EXPECT_EQ(low.writes, (std::vector<std::pair<std::uint32_t, unsigned>>{{0x20, 1}, {0x20, 2}}));
  EXPECT_EQ(low.reads, (std::vector<std::pair<std::uint32_t, unsigned>>{{0x20, 2}}));
  EXPECT_EQ(high.writes, (std::vector<std::pair<std::uint32_t, unsigned>>{{0x22, 2}}));
  EXPECT_EQ(high.last, 0x0820u);
  EXPECT_EQ(a.read(0x08, 4), 0u);  // untouched neighbours stay plain
}

TEST(MachineDecode, PortsAndMemoryFollowTheBarsAndTheEnables) {
  sim::VirtualClock clock;
  MachineProfile profile;
  profile.buses = {0, 1};
  profile.adapters = {default_config()};
  AdapterConfig second = default_config();
  second.bus = 1;
  second.bars = {{BarType::Memory, 0x1000, 0xF4100000}, {BarType::Io, 0x40, 0xE400}};
  profile.adapters.push_back(second);
  Machine m(profile, clock);
  ASSERT_EQ(m.adapters().size(), 2u);
  EXPECT_TRUE(m.bus_exists(1));
  EXPECT_FALSE(m.bus_exists(2));
  EXPECT_EQ(m.function(0, 3, 1), nullptr);

  m.port_write(0xE008, 4, 0xCAFEF00D);
  EXPECT_EQ(m.memory_read(0xF4000008, 4), 0xCAFEF00Du);
  EXPECT_EQ(m.memory_read(0xF4100008, 4), 0u);  // the other adapter's own block
  m.memory_write(0xF4100008, 2, 0x1234);
  EXPECT_EQ(m.port_read(0xE408, 2), 0x1234u);
  EXPECT_EQ(m.port_read(0x1E008, 4), 0xCAFEF00Du);  // port numbers are 16 bits
  EXPECT_EQ(m.port_read(0xE040, 1), 0xFFu);         // past the BAR: master abort
  EXPECT_EQ(m.memory_read(0xF4001000, 4), 0xFFFFFFFFu);

  // The first megabyte is memory; above it nothing answers but the BARs.
  m.memory_write(0xFFFFC, 4, 0x52495024);
  EXPECT_EQ(m.low_memory()[0xFFFFC], 0x24);
  EXPECT_EQ(m.memory_read(0xFFFFD, 2), 0x4950u);
  EXPECT_EQ(m.memory_read(0x100000, 4), 0xFFFFFFFFu);

  m.adapters()[0]->config_write(0x04, 2, 0x0002);  // memory decoding only
  EXPECT_EQ(m.port_read(0xE008, 2), 0xFFFFu);
  EXPECT_EQ(m.memory_read(0xF4000008, 2), 0xF00Du);
  m.adapters()[0]->enable_decoding();
  EXPECT_EQ(m.port_read(0xE008, 2), 0xF00Du);
}

TEST(MachineProfileJson, DefaultProfileIsOneAdapterInBusZeroDeviceThree) {
  MachineProfile p = parse_profile(default_profile_json(), "default");
  ASSERT_EQ(p.adapters.size(), 1u);
  const AdapterConfig& a = p.adapters[0];
  EXPECT_EQ(a.bus, 0u);
  EXPECT_EQ(a.device, 3u);
  EXPECT_EQ(a.vendor, 0x8086);
  EXPECT_EQ(a.device_id, 0x1229);
  ASSERT_EQ(a.bars.size(), 2u);
  EXPECT_EQ(a.bars[0].type, BarType::Memory);
  EXPECT_EQ(a.bars[0].address, 0xF4000000u);
  EXPECT_EQ(a.bars[1].type, BarType::Io);
  EXPECT_EQ(a.bars[1].size, 0x40u);
  EXPECT_EQ(a.irq, 11);
  EXPECT_THROW(parse_profile(R"({"adapters": [{"bars": [{"type": "io", "size": 64, "address": "0xE004"}]}]})", "x"),
               std::runtime_error);  // not aligned to its size
}

TEST(MachineDecode, MultiFunctionBitMarksEveryFunctionOfASharedDevice) {
  sim::VirtualClock clock;
  MachineProfile profile;
  AdapterConfig alone = default_config();
  alone.device = 2;
  AdapterConfig f0 = default_config();
  f0.device = 4;
  f0.bars = {};
  AdapterConfig f2 = f0;
  f2.function = 2;
  profile.adapters = {alone, f2, f0};  // function 2 attached before function 0
  Machine m(profile, clock);
  EXPECT_EQ(m.function(0, 2, 0)->config_read(0x0E, 1), 0x00u);
  EXPECT_EQ(m.function(0, 4, 0)->config_read(0x0E, 1), 0x80u);
  EXPECT_EQ(m.function(0, 4, 2)->config_read(0x0E, 1), 0x80u);
  // Read-only: software cannot clear it.
  m.function(0, 4, 0)->config_write(0x0C, 4, 0);
  EXPECT_EQ(m.function(0, 4, 0)->config_read(0x0E, 1), 0x80u);
}

TEST(AdapterEeprom, SaveReportsAFileThatCannotBeWritten) {
  sim::VirtualClock clock;
  AdapterConfig conf = default_config();
  conf.eeprom.save_path = "/nonexistent-folder/eeprom.txt";
  Adapter lost(conf, clock);
  lost.eeprom().set_word(0, 0x0102);
  EXPECT_THROW(lost.save_eeprom(), std::runtime_error);

  conf.eeprom.save_path = ::testing::TempDir() + "adapter_eeprom.bin";
  conf.eeprom.contents = {0x1234, 0xBEEF};
  std::filesystem::remove(conf.eeprom.save_path);
  Adapter unchanged(conf, clock);
  EXPECT_FALSE(unchanged.save_eeprom());  // no word changed: the file is left alone
  EXPECT_FALSE(std::filesystem::exists(conf.eeprom.save_path));
  Adapter kept(conf, clock);
  kept.eeprom().set_word(2, 0x5678);
  EXPECT_TRUE(kept.save_eeprom());
  EXPECT_EQ(load_eeprom_image(conf.eeprom.save_path).at(1), 0xBEEF);
  EXPECT_EQ(load_eeprom_image(conf.eeprom.save_path).at(2), 0x5678);
  EXPECT_FALSE(Adapter(default_config(), clock).save_eeprom());  // nothing asked to be saved
}

TEST(MachineProfileJson, DefaultAdapterEepromIsAValidImage) {
  const std::vector<std::uint16_t> image = default_eeprom_image();
  ASSERT_EQ(image.size(), 64u);
  std::uint16_t sum = 0;
  for (std::uint16_t w : image) sum = static_cast<std::uint16_t>(sum + w);
  EXPECT_EQ(sum, kEepromChecksumTarget);
  MachineProfile p = parse_profile(default_profile_json(), "default");
  const AdapterConfig& a = p.adapters.at(0);
  EXPECT_EQ(a.eeprom.contents, image);
  EXPECT_EQ(image[0x0B], a.subsystem_id);
  EXPECT_EQ(image[0x0C], a.subsystem_vendor);
  EXPECT_EQ(image[0] & 0x01, 0);  // an individual (unicast) address
}

}  // namespace
