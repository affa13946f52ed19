// The Microwire EEPROM model driven pin by pin, as a bus master would.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/hw/eeprom.h"

using sim::hw::EepromConfig;
using sim::hw::MicrowireEeprom;
using sim::hw::MicrowireOp;
using sim::hw::MicrowireOutcome;

namespace {

constexpr std::uint64_t kPinStepNs = 1000;  // 1 us per pin change

class Master {
 public:
  Master(sim::VirtualClock& clock, MicrowireEeprom& part) : clock_(clock), part_(part) {}
  void pins(bool cs, bool sk, bool di) {
    cs_ = cs;
    part_.drive(cs, sk, di);
    clock_.advance_ns(kPinStepNs);
  }
  void select() { pins(true, false, false); }
  void deselect() { pins(false, false, false); }
  // One bit on DI; returns DO after the rising edge.
  bool bit(bool b) {
    pins(cs_, false, b);
    pins(cs_, true, b);
    bool d = part_.data_out();
    pins(cs_, false, b);
    return d;
  }
  void send(std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1);
  }
  std::uint16_t receive16() {
    std::uint16_t v = 0;
    for (int i = 0; i < 16; ++i) v = static_cast<std::uint16_t>(v << 1 | bit(false));
    return v;
  }
  // One whole instruction in its own select.
  void command(std::uint32_t start_and_opcode, std::uint32_t address, int address_bits) {
    select();
    send(start_and_opcode, 3);
    send(address, address_bits);
  }
  std::uint16_t read(std::uint32_t address, int address_bits) {
    command(0b110, address, address_bits);
    std::uint16_t v = receive16();
    deselect();
    return v;
  }
  void ewen(int address_bits) {
    command(0b100, 0b11u << (address_bits - 2), address_bits);
    deselect();
  }
  void ewds(int address_bits) {
    command(0b100, 0, address_bits);
    deselect();
  }
  void write(std::uint32_t address, std::uint16_t data, int address_bits) {
    command(0b101, address, address_bits);
    send(data, 16);
    deselect();
  }

 private:
  sim::VirtualClock& clock_;
  MicrowireEeprom& part_;
  bool cs_ = false;
};

std::vector<std::uint16_t> ramp(unsigned n) {
  std::vector<std::uint16_t> v;
  for (unsigned i = 0; i < n; ++i) v.push_back(static_cast<std::uint16_t>(0xA500 + i));
  return v;
}

struct Fixture : ::testing::Test {
  sim::VirtualClock clock;
  EepromConfig config_with(EepromConfig c) {
    c.contents = ramp(c.words);
    return c;
  }
};

}  // namespace

TEST_F(Fixture, ReadSendsDummyZeroThenWordAndRecordsTheBits) {
  MicrowireEeprom part(clock, config_with(EepromConfig::part_64x16()));
  Master m(clock, part);
  m.select();
  m.bit(false);  // leading zeros before the start bit are ignored
  m.send(0b110, 3);
  for (int i = 5; i >= 1; --i) EXPECT_TRUE(m.bit((5 >> i) & 1)) << "DO floats high during the address";
  EXPECT_FALSE(m.bit(1)) << "dummy zero after the last address bit";
  EXPECT_EQ(m.receive16(), 0xA505);
  m.deselect();
  EXPECT_TRUE(part.data_out()) << "DO released when deselected";

  const auto cmds = part.commands();
  ASSERT_EQ(cmds.size(), 1u);
  const auto& s = cmds[0];
  EXPECT_EQ(s.di, "0110000101" + std::string(16, '0'));
  // clang-format off
  EXPECT_EQ(s.dout.substr(9), "0" "1010010100000101");
  // clang-format on
  EXPECT_EQ(s.op, MicrowireOp::read);
  EXPECT_EQ(s.address, 5u);
  EXPECT_EQ(s.words_read, 1u);
}

TEST_F(Fixture, SequentialReadContinuesAndWrapsWhileSelected) {
  MicrowireEeprom part(clock, config_with(EepromConfig::part_64x16()));
  Master m(clock, part);
  m.command(0b110, 62, 6);
  EXPECT_EQ(m.receive16(), 0xA500 + 62);
  EXPECT_EQ(m.receive16(), 0xA500 + 63);
  EXPECT_EQ(m.receive16(), 0xA500) << "wraps to word 0";
  m.deselect();
  EXPECT_EQ(part.sessions().back().words_read, 3u);
}

TEST_F(Fixture, AddressWidthFollowsThePart) {
  // 128 words with 8 address bits: A7 is clocked but ignored.
  MicrowireEeprom p128(clock, config_with(EepromConfig::part_128x16()));
  Master m128(clock, p128);
  EXPECT_EQ(m128.read(0x85, 8), 0xA505);
  EXPECT_EQ(m128.read(0x7F, 8), 0xA57F);

  MicrowireEeprom p256(clock, config_with(EepromConfig::part_256x16()));
  Master m256(clock, p256);
  EXPECT_EQ(m256.read(0xC8, 8), 0xA5C8);
}

TEST_F(Fixture, ProgrammingRefusedUntilWriteEnabled) {
  MicrowireEeprom part(clock, config_with(EepromConfig::part_64x16()));
  Master m(clock, part);
  EXPECT_FALSE(part.write_enabled()) << "latch off at power-up";
  m.write(3, 0x1234, 6);
  m.command(0b111, 4, 6);  // ERASE
  m.deselect();
  m.command(0b100, 0b100000, 6);  // ERAL
  m.deselect();
  EXPECT_EQ(part.word(3), 0xA503);
  EXPECT_EQ(part.word(4), 0xA504);
  EXPECT_EQ(part.programming_cycles(), 0u);
  for (const auto& s : part.commands()) EXPECT_EQ(s.outcome, MicrowireOutcome::refused_disabled);
  m.select();
  EXPECT_TRUE(part.data_out()) << "no busy status after a refused instruction";
  m.deselect();

  // EWDS after EWEN locks again.
  m.ewen(6);
  EXPECT_TRUE(part.write_enabled());
  m.ewds(6);
  EXPECT_FALSE(part.write_enabled());
  m.write(3, 0x1234, 6);
  EXPECT_EQ(part.word(3), 0xA503);
}

TEST_F(Fixture, WriteIsSelfTimedWithBusyThenReadyOnDataOut) {
  MicrowireEeprom part(clock, config_with(EepromConfig::part_64x16()));
  EXPECT_EQ(part.config().program_time_ns, 5'000'000u);
  Master m(clock, part);
  m.ewen(6);
  m.command(0b101, 9, 6);
  m.send(0xBEEF, 16);
  EXPECT_FALSE(part.busy()) << "93AA/93LC parts start on the falling edge of CS";
  const std::uint64_t start = clock.now_ns();
  m.deselect();
  EXPECT_TRUE(part.busy());
  EXPECT_TRUE(part.data_out()) << "DO floats while deselected";
  m.select();
  EXPECT_FALSE(part.data_out()) << "busy";
  // Instructions are ignored while programming.
  m.send(0b110, 3);
  m.send(9, 6);
  EXPECT_FALSE(part.data_out());
  EXPECT_TRUE(part.sessions().back().ignored_busy);
  clock.advance_ns(start + 5'000'000 - clock.now_ns() - 1);
  EXPECT_FALSE(part.data_out());
  clock.advance_ns(1);
  EXPECT_TRUE(part.data_out()) << "ready after the programming time";
  m.deselect();
  EXPECT_EQ(m.read(9, 6), 0xBEEF);
  EXPECT_EQ(part.programming_cycles(), 1u);
}

TEST_F(Fixture, EraseEraseAllAndWriteAll) {
  EepromConfig c = config_with(EepromConfig::part_256x16());
  c.program_time_ns = 2'000'000;
  MicrowireEeprom part(clock, c);
  Master m(clock, part);
  m.ewen(8);
  m.command(0b111, 0x20, 8);
  m.deselect();
  clock.advance_ms(2);
  EXPECT_EQ(part.word(0x20), 0xFFFF);
  EXPECT_EQ(part.word(0x21), 0xA521);

  m.command(0b100, 0b01u << 6, 8);  // WRAL
  m.send(0x5A5A, 16);
  m.deselect();
  clock.advance_ms(2);
  for (auto w : part.words()) ASSERT_EQ(w, 0x5A5A);

  m.command(0b100, 0b10u << 6, 8);  // ERAL
  m.deselect();
  clock.advance_ms(2);
  for (auto w : part.words()) ASSERT_EQ(w, 0xFFFF);
  auto cmds = part.commands();
  ASSERT_EQ(cmds.size(), 4u);
  EXPECT_EQ(cmds[0].op, MicrowireOp::ewen);
  EXPECT_EQ(cmds[1].op, MicrowireOp::erase);
  EXPECT_EQ(cmds[2].op, MicrowireOp::wral);
  EXPECT_EQ(cmds[2].data, 0x5A5A);
  EXPECT_EQ(cmds[3].op, MicrowireOp::eral);
}

TEST_F(Fixture, InstructionCutShortIsNotExecuted) {
  // Cut short by chip select: nothing happens.
  MicrowireEeprom p256(clock, config_with(EepromConfig::part_256x16()));
  Master m(clock, p256);
  m.select();
  m.send(0x13, 5);
  m.send(0x7, 4);  // 9 of the 11 bits of an EWEN with 8 address bits
  m.deselect();
  EXPECT_FALSE(p256.write_enabled());
  EXPECT_EQ(p256.sessions().back().outcome, MicrowireOutcome::incomplete);
  // The same 9 bits are a complete EWEN on a 6-address-bit part.
  MicrowireEeprom p64(clock, config_with(EepromConfig::part_64x16()));
  Master m64(clock, p64);
  m64.select();
  m64.send(0x13, 5);
  m64.send(0x7, 4);
  m64.deselect();
  EXPECT_TRUE(p64.write_enabled());
  // Extra clocks after a complete instruction are don't-care.
  m64.command(0b101, 2, 6);
  m64.send(0x4321, 16);
  m64.send(0xFFFF, 16);
  m64.deselect();
  clock.advance_ms(5);
  EXPECT_EQ(p64.word(2), 0x4321);
}

TEST_F(Fixture, ProgrammingCanStartOnTheLastClock) {
  EepromConfig c = config_with(EepromConfig::part_64x16());
  c.start_on_last_clock = true;
  MicrowireEeprom part(clock, c);
  Master m(clock, part);
  m.ewen(6);
  m.command(0b101, 1, 6);
  m.send(0x0F0F, 16);
  EXPECT_TRUE(part.busy());
  m.deselect();
  clock.advance_ms(5);
  EXPECT_FALSE(part.busy());
  EXPECT_EQ(part.word(1), 0x0F0F);
}

TEST_F(Fixture, NeverReadyStaysBusyAndLeavesTheArray) {
  EepromConfig hung = config_with(EepromConfig::part_64x16());
  hung.faults.never_ready = true;
  MicrowireEeprom part(clock, hung);
  Master m(clock, part);
  m.ewen(6);
  m.write(0, 0x0000, 6);
  m.select();
  clock.advance_ms(1000);
  EXPECT_FALSE(part.data_out()) << "busy forever";
  m.deselect();
  EXPECT_EQ(part.word(0), 0xA500);
}

TEST_F(Fixture, ProfileConfigurationAndImages) {
  auto c = sim::hw::eeprom_config_from_json(nlohmann::json::parse(
      R"({"words": 128, "contents": [1, 2, 65535], "program_time_us": 3000, "do_stuck_low": true})"));
  EXPECT_EQ(c.address_bits, 8u);
  EXPECT_EQ(c.program_time_ns, 3'000'000u);
  EXPECT_TRUE(c.faults.do_stuck_low);
  MicrowireEeprom part(clock, c);
  EXPECT_EQ(part.words().size(), 128u);
  EXPECT_EQ(part.word(2), 0xFFFF);
  EXPECT_EQ(part.word(3), 0xFFFF) << "words not given are erased";
  EXPECT_EQ(sim::hw::eeprom_config_from_json(nlohmann::json::parse(R"({"words": 64})")).address_bits, 6u);
  EXPECT_EQ(sim::hw::eeprom_config_from_json(nlohmann::json::object()).words, 64u);

  const auto dir = std::filesystem::temp_directory_path() /
                   ("hwparts_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  part.set_word(5, 0x1234);
  for (const char* name : {"image.txt", "image.bin"}) {
    part.save_file(dir / name);
    auto j = nlohmann::json{{"words", 128}, {"file", name}};
    EXPECT_EQ(sim::hw::eeprom_config_from_json(j, dir).contents, part.words()) << name;
  }
  // The largest part a profile accepts saves and loads back in both forms.
  MicrowireEeprom large(clock, sim::hw::EepromConfig::generic(65536, 16));
  large.set_word(65535, 0x0102);
  for (const char* name : {"large.txt", "large.bin"}) {
    large.save_file(dir / name);
    EXPECT_EQ(sim::hw::load_eeprom_image(dir / name), large.words()) << name;
  }
  { std::ofstream(dir / "hand.txt") << "# MAC\n0x0201 0403 ffff\n"; }
  EXPECT_EQ(sim::hw::load_eeprom_image(dir / "hand.txt"), (std::vector<std::uint16_t>{0x0201, 0x0403, 0xFFFF}));
  { std::ofstream(dir / "bad.txt") << "12345\n"; }
  EXPECT_THROW(sim::hw::load_eeprom_image(dir / "bad.txt"), std::runtime_error);
  std::filesystem::remove_all(dir);

  for (const char* bad : {R"({"words": 64, "address_bits": 5})", R"({"words": 64, "contents": [1], "file": "x"})",
                          R"({"words": 2, "contents": [1, 2, 3]})", R"({"contents": [65536]})",
                          R"({"do_stuck_low": true, "do_stuck_high": true})"})
    EXPECT_ANY_THROW(sim::hw::eeprom_config_from_json(nlohmann::json::parse(bad))) << bad;
}

TEST_F(Fixture, ControlRegisterDrivesPinsAndReadsDataOut) {
  MicrowireEeprom part(clock, config_with(EepromConfig::part_64x16()));
  sim::hw::EepromControlRegister reg(part);
  EXPECT_EQ(reg.read(), 0x0008) << "DO pulled high while deselected";
  reg.write(0xA5F2);  // chip select plus other bits; DO written as 0 and as 1 is ignored
  EXPECT_TRUE(part.selected());
  EXPECT_EQ(reg.read(), 0xA5FA);
  reg.write(0x0000, 0xFF00);  // the high byte alone leaves the pins alone
  EXPECT_TRUE(part.selected());
  EXPECT_EQ(reg.read(), 0x00FA);
}

namespace {

// Drives the pins with chosen gaps (ns) before each change.
struct Timed {
  sim::VirtualClock& clock;
  MicrowireEeprom& part;
  void at(std::uint64_t gap_ns, bool cs, bool sk, bool di) {
    clock.advance_ns(gap_ns);
    part.drive(cs, sk, di);
  }
  // Start bit, READ opcode and six address bits with `gap` between edges.
  void read_command(std::uint64_t gap) {
    for (int b : {1, 1, 0, 0, 0, 0, 0, 0, 1}) {
      at(gap, true, false, b != 0);
      at(gap, true, true, b != 0);
      at(gap, true, false, b != 0);
    }
  }
};

}  // namespace

TEST(EepromTiming, DataSheetMinimumsAreHeldAndEachViolationNamed) {
  sim::VirtualClock clock;
  MicrowireEeprom part(clock, EepromConfig::part_64x16());
  Timed t{clock, part};
  // At the data sheet's minimums (250 ns covers every one) nothing is reported.
  t.at(0, true, false, false);
  t.read_command(250);
  for (int i = 0; i < 16; i++) {
    t.at(250, true, true, true);  // data in changes freely once the instruction is complete
    t.at(250, true, false, false);
  }
  t.at(250, false, false, false);
  t.at(250, true, false, false);
  t.at(250, false, false, false);
  EXPECT_TRUE(part.timing_violations().empty()) << part.timing_violations().front();

  struct Case {
    const char* name;
    std::function<void()> drive;
  };
  const Case cases[] = {
      {"chip select setup before the first rising clock 50 ns",
       [&] {
         t.at(1000, false, false, true);
         t.at(1000, true, false, true);
         t.at(50, true, true, true);
       }},
      {"clock high 100 ns",
       [&] {
         t.at(1000, true, false, true);
         t.at(1000, true, true, true);
         t.at(100, true, false, true);
       }},
      {"clock low 150 ns",
       [&] {
         t.at(1000, true, false, true);
         t.at(1000, true, true, true);
         t.at(1000, true, false, true);
         t.at(150, true, true, true);
       }},
      {"data setup before the rising clock 0 ns",
       [&] {
         t.at(1000, true, false, false);
         t.at(1000, true, false, true);
         t.at(0, true, true, true);
       }},
      {"data hold after the rising clock 60 ns",
       [&] {
         t.at(1000, true, false, true);
         t.at(1000, true, true, true);
         t.at(60, true, true, false);
       }},
      {"chip select low between instructions 100 ns",
       [&] {
         t.at(1000, true, false, false);
         t.at(1000, false, false, false);
         t.at(100, true, false, false);
       }},
  };
  for (const Case& c : cases) {
    part.clear_timing_violations();
    t.at(1000, false, false, false);
    c.drive();
    ASSERT_EQ(part.timing_violations().size(), 1u) << c.name << ": " << part.timing_violations().back();
    EXPECT_NE(part.timing_violations()[0].find(c.name), std::string::npos) << part.timing_violations()[0];
  }
}
