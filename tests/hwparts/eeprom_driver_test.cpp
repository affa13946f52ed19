// The driver's register access and EEPROM operations against the EEPROM
// model on the simulated adapter: bit sequences as the part saw them,
// results, messages and virtual time.
#include "driver/hwaccess.h"
#include "tests/hwparts/hw_driver_fixture.h"

namespace nicport_test {
namespace {

using sim::hw::MicrowireOp;
using sim::hw::MicrowireOutcome;

std::string Bits(uint32_t value, int count) {
  std::string s;
  for (int i = count - 1; i >= 0; i--) s += ((value >> i) & 1) ? '1' : '0';
  return s;
}

nlohmann::json PartProfile(unsigned words, unsigned bits) {
  return {{"words", words}, {"address_bits", bits}, {"contents", Ramp(words)}};
}

class EepromDriverTest : public HwDriverTest {};

TEST_F(EepromDriverTest, AddressWidthFromSize) {
  for (auto [size, width] :
       {std::pair{64u, 6}, {128u, 8}, {256u, 8}, {0u, 0}, {32u, 0}, {512u, 0}, {100u, 0}, {0x10040u, 6}})
    EXPECT_EQ(EEpromAddressSize(size), width) << size;
}

TEST_F(EepromDriverTest, RegisterAccessMethods) {
  LoadWith(nullptr);
  const uint32_t port = kAdapterPort + 0x18;  // plain register storage
  WriteReg(0x1234, port, 0);
  EXPECT_EQ(ReadReg(port, 0x10000), 0x34u) << "only the low 16 bits of the method count";
  Call(IOCTL_KDVR_WRITE_PORT_ULONG, KDVR_PORT_ARGS{port, 0xFFFFFFFF}, 0);
  EXPECT_EQ(ReadReg(port, 0), 0xFFu) << "a port read is one byte";
  const uint32_t va = MapAdapter() + 0x18;
  WriteReg(0xCAFEF00D, va, 0x00050002);
  EXPECT_EQ(ReadReg(va, 2), 0xCAFEF00Du);
  EXPECT_EQ(Call(IOCTL_KDVR_READ_PORT_ULONG, KDVR_PORT_ARGS{port, 0}, 4).output, Words({0xCAFEF00D}));

  k.clear_debug_log();
  EXPECT_EQ(ReadReg(port, 1), 1u);
  EXPECT_EQ(ReadReg(port, 0x70001), 0x70001u) << "the whole selector comes back";
  WriteReg(0x55, port, 0x30003);
  EXPECT_EQ(ReadReg(port, 0), 0x0Du);
  EXPECT_EQ(k.debug_log(), (std::vector<std::string>{"NICDIAG.SYS: ReadReg().  Invalid AddressMethod 1.\n",
                                                     "NICDIAG.SYS: ReadReg().  Invalid AddressMethod 1.\n",
                                                     "NICDIAG.SYS: WriteReg().  Invalid AddressMethod 3.\n"}));
}

TEST_F(EepromDriverTest, ReadSendsCommandAndAddressThenClocksSixteenBits) {
  LoadWith(PartProfile(64, 6));
  for (Method m : {Method::io, Method::mem}) {
    const uint32_t reg = EepromRegister(m);
    Part().clear_sessions();
    uint32_t word = 0;
    EXPECT_EQ(TimeUs([&] { word = ReadWord(reg, 64, 5, AddressMethod(m)); }), 3050u);
    EXPECT_EQ(word, 0xA505u);
    auto cmds = Part().commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].di, "110000101" + std::string(16, '0'));
    EXPECT_EQ(cmds[0].words_read, 1u);
    EXPECT_FALSE(Part().selected()) << "cleanup leaves chip select low";
  }
  // Address bits above the width are dropped: word 64 is word 0.
  EXPECT_EQ(ReadWord(kAdapterPort + 0x0E, 64, 64, 0), 0xA500u);

  // An invalid method makes no access at all; the reads give the selector.
  Part().clear_sessions();
  k.clear_debug_log();
  EXPECT_EQ(ReadWord(kAdapterPort + 0x0E, 64, 5, 1), 0u);
  EXPECT_TRUE(Part().sessions().empty());
  for (const std::string &line : k.debug_log())
    ASSERT_TRUE(line == "NICDIAG.SYS: ReadReg().  Invalid AddressMethod 1.\n" ||
                line == "NICDIAG.SYS: WriteReg().  Invalid AddressMethod 1.\n")
        << line;
}

TEST_F(EepromDriverTest, SizeProbeCountsAddressBitsUntilTheDummyZero) {
  struct Case {
    nlohmann::json eeprom;
    uint32_t size;
    uint64_t us;
  } cases[] = {
      {PartProfile(64, 6), 64, 3050},
      {PartProfile(256, 8), 256, 3350},
      {PartProfile(128, 8), 256, 3350},  // the ignored top address bit still counts
      {PartProfile(32, 5), 32, 2900},
      {{{"words", 64}, {"do_stuck_high", true}}, 0, 450 + 9 * 150 + 1700},
      {{{"words", 64}, {"do_stuck_low", true}}, 2, 450 + 150 + 1700},
  };
  for (const Case &c : cases) {
    LoadWith(c.eeprom);
    uint32_t size = 0;
    EXPECT_EQ(TimeUs([&] { size = Size(kAdapterPort + 0x0E, 0); }), c.us) << c.eeprom.dump();
    EXPECT_EQ(size, c.size) << c.eeprom.dump();
    if (c.size == 0) {
      EXPECT_EQ(Part().sessions().back().di, "110" + std::string(9 + 16, '0'));
    }
    Unload();
  }
}

TEST_F(EepromDriverTest, WholeDumpsCostTheirWordsAtThreeMillisecondsEach) {
  // 64 words: 9 bits out at 150 us, 16 in at 100 us, 100 us of cleanup.
  // The 128-word part sizes as 256, so it is read with 8 address bits.
  struct Case {
    unsigned words, bits, size;
    uint64_t per_word_us;
  } cases[] = {{64, 6, 64, 3050}, {128, 8, 256, 3350}, {256, 8, 256, 3350}};
  for (const Case &c : cases) {
    LoadWith(PartProfile(c.words, c.bits));
    const uint64_t us = TimeUs([&] {
      for (unsigned w = 0; w < c.words; w++) ASSERT_EQ(ReadWord(kAdapterPort + 0x0E, c.size, w, 0), 0xA500u + w);
    });
    EXPECT_EQ(us, c.words * c.per_word_us) << c.words;
    Unload();
  }
}

TEST_F(EepromDriverTest, OnlyTheSizeProbeWritesTheDataOutBit) {
  LoadWith({{"words", 64}, {"contents", {0}}});  // word 0 reads as all zeros
  auto &writes = Adapter().eeprom_register().written();
  auto count_do = [&] { return std::count_if(writes.begin(), writes.end(), [](uint8_t v) { return v & 0x08; }); };
  Adapter().eeprom_register().clear_written();
  ReadWord(kAdapterPort + 0x0E, 64, 0, 0);
  EXPECT_EQ(count_do(), 0);
  Adapter().eeprom_register().clear_written();
  EXPECT_EQ(Size(kAdapterPort + 0x0E, 0), 64u);
  EXPECT_EQ(count_do(), 6 * 3) << "image, raise and lower of each address bit";
}

TEST_F(EepromDriverTest, WriteEnablesErasesWritesAndDisablesOn64Words) {
  LoadWith(PartProfile(64, 6));
  const uint32_t reg = kAdapterPort + 0x0E;
  uint32_t result = 0;
  // 8 ms of bit timing, the part's two 5 ms programming cycles and the
  // 3 ms read-back.
  EXPECT_EQ(TimeUs([&] { result = WriteWord(reg, 64, 5, 0xBEEF, 0); }), 17915u + 3050);
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(Part().word(5), 0xBEEF);
  EXPECT_EQ(k.debug_log(), std::vector<std::string>{"NICDIAG.SYS: WriteEeprom Data = BEEF  Reg = 5 bits = 6\n"});
  auto cmds = Part().commands();
  ASSERT_EQ(cmds.size(), 5u);
  // clang-format off
  EXPECT_EQ(cmds[0].di, "10011" "0101");
  EXPECT_EQ(cmds[1].di, "111" "000101");
  EXPECT_EQ(cmds[2].di, "101" "000101" + Bits(0xBEEF, 16));
  EXPECT_EQ(cmds[3].di, "10000" "0101");
  EXPECT_EQ(cmds[4].di, "110" "000101" + std::string(16, '0'));  // the read-back
  // clang-format on
  for (const auto &c : cmds) EXPECT_EQ(c.outcome, MicrowireOutcome::executed) << sim::hw::to_string(c.op);
  EXPECT_FALSE(Part().write_enabled());
  EXPECT_FALSE(Part().selected());

  // The same value again: the whole sequence again.
  EXPECT_EQ(WriteWord(reg, 64, 5, 0xBEEF, 0), 1u);
  EXPECT_EQ(Part().commands().size(), 10u);
  EXPECT_EQ(Part().programming_cycles(), 4u);
  // Through the memory window, and word 64 landing on word 0.
  EXPECT_EQ(WriteWord(EepromRegister(Method::mem), 64, 64, 0x1111, 2), 1u);
  EXPECT_EQ(Part().word(0), 0x1111);
}

TEST_F(EepromDriverTest, WriteOn256WordsSendsEnableAndDisableWithTheWholeAddressField) {
  // A part with 8 address bits takes the enable command only after all of
  // them: a 4-bit tail (9 clocks) would leave it write-protected while the
  // write still reported success.
  LoadWith(PartProfile(256, 8));
  uint32_t result = 0;
  // The 64-word sequence plus two more address bits in each of the four
  // commands, 150 us a bit.
  EXPECT_EQ(TimeUs([&] { result = WriteWord(kAdapterPort + 0x0E, 256, 5, 0xBEEF, 0); }), 17915u + 8 * 150 + 3350);
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(Part().word(5), 0xBEEF);
  auto cmds = Part().commands();
  ASSERT_EQ(cmds.size(), 5u);
  // clang-format off
  EXPECT_EQ(cmds[0].di, "10011" "000101");
  EXPECT_EQ(cmds[1].di, "111" "00000101");
  EXPECT_EQ(cmds[2].di, "101" "00000101" + Bits(0xBEEF, 16));
  EXPECT_EQ(cmds[3].di, "10000" "000101");
  // clang-format on
  for (const auto &c : cmds) EXPECT_EQ(c.outcome, MicrowireOutcome::executed) << sim::hw::to_string(c.op);
  EXPECT_FALSE(Part().write_enabled());
}

TEST_F(EepromDriverTest, WriteOnA128WordSizeSendsASixBitEnableTail) {
  // A 128-word size gives the family's 8 address bits; the enable tail is 6.
  LoadWith(PartProfile(128, 8));
  EXPECT_EQ(WriteWord(kAdapterPort + 0x0E, 128, 5, 0x1234, 0), 1u);
  // clang-format off
  EXPECT_EQ(Part().commands()[0].di, "10011" "000101");
  // clang-format on
  EXPECT_EQ(Part().word(5), 0x1234);
}

TEST_F(EepromDriverTest, EraseTimeoutLeavesChipSelectHighAndSendsNoWrite) {
  nlohmann::json eeprom = PartProfile(64, 6);
  eeprom["never_ready"] = true;
  LoadWith(eeprom);
  uint32_t result = 1;
  EXPECT_EQ(TimeUs([&] { result = WriteWord(kAdapterPort + 0x0E, 64, 5, 0xBEEF, 0); }),
            1350 + 5 + 1350 + 5 + 100 + 10000 * 5u);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(k.debug_log(), (std::vector<std::string>{"NICDIAG.SYS: WriteEeprom Data = BEEF  Reg = 5 bits = 6\n",
                                                     "NICDIAG.SYS: WriteEeprom Erase Failed\n"}));
  auto cmds = Part().commands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[0].op, MicrowireOp::ewen);
  EXPECT_EQ(cmds[1].op, MicrowireOp::erase);
  EXPECT_TRUE(Part().selected());
  EXPECT_TRUE(Part().write_enabled());
}

TEST_F(EepromDriverTest, SizeWithoutAddressWidthEndsInABoundedSequence) {
  LoadWith(PartProfile(64, 6));
  const uint32_t reg = kAdapterPort + 0x0E;
  // No address bits: the part takes the first six clocked-in bits as its
  // address (0), so the word is five floating ones, the dummy zero and the
  // top ten bits of word 0.
  EXPECT_EQ(ReadWord(reg, 100, 5, 0), 0xF800u | (0xA500u >> 6));
  EXPECT_EQ(Part().commands().back().di, "110" + std::string(16, '0'));

  Part().clear_sessions();
  uint32_t result = 0;
  // Nothing is written, and the read-back tells: the write reports 0.
  EXPECT_EQ(TimeUs([&] { result = WriteWord(reg, 100, 5, 0x1234, 0); }), 6325u + 2150);
  EXPECT_EQ(result, 0u);
  for (unsigned i = 0; i < 64; i++) ASSERT_EQ(Part().word(i), 0xA500 + i);
  auto cmds = Part().commands();
  ASSERT_EQ(cmds.size(), 5u);
  EXPECT_EQ(cmds[1].outcome, MicrowireOutcome::incomplete);
  EXPECT_EQ(cmds[2].outcome, MicrowireOutcome::incomplete);
  EXPECT_FALSE(Part().write_enabled());
}

TEST_F(EepromDriverTest, PartOf128WordsWithEightAddressBits) {
  LoadWith(PartProfile(128, 8));
  const uint32_t reg = kAdapterPort + 0x0E;
  ASSERT_EQ(Size(reg, 0), 256u);
  EXPECT_EQ(ReadWord(reg, 256, 5, 0), 0xA505u);
  EXPECT_EQ(ReadWord(reg, 256, 128 + 5, 0), 0xA505u) << "A7 is ignored: the upper half mirrors";
  // Read as 128 words: the same 8 address bits, the same word.
  EXPECT_EQ(ReadWord(reg, 128, 5, 0), 0xA505u);
  EXPECT_EQ(ReadWord(reg, 128, 127, 0), 0xA57Fu);
}

}  // namespace
}  // namespace nicport_test
