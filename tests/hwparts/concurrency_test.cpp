// Several client threads on one adapter: every EEPROM sequence and every
// MDI cycle must reach the parts whole, never interleaved.
#include <latch>
#include <thread>

#include "tests/hwparts/hw_driver_fixture.h"

namespace nicport_test {
namespace {

class ConcurrencyTest : public HwDriverTest {};

TEST_F(ConcurrencyTest, EepromSequencesAndMdiCyclesDoNotInterleave) {
  nlohmann::json eeprom = {{"words", 64}, {"contents", Ramp(64)}, {"program_time_us", 200}};
  LoadWith(eeprom);
  constexpr int kRounds = 150;
  std::latch start(5);  // all threads begin together
  const uint32_t reg = kAdapterPort + 0x0E;
  std::vector<uint32_t> results[3];
  auto writer = [&](int id, uint32_t word) {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; i++) results[id].push_back(WriteWord(reg, 64, word, 0x1000 * id + i, 0));
  };
  auto reader = [&] {
    start.arrive_and_wait();
    for (int i = 0; i < 3 * kRounds; i++) results[2].push_back(ReadWord(reg, 64, 40, 0));
  };
  auto phy = [&](uint32_t phy_reg) {
    start.arrive_and_wait();
    for (int i = 0; i < 3 * kRounds; i++) {
      MdiWriteCode(kAdapterPort, phy_reg, phy_reg * 0x100 + i, 1);
      EXPECT_EQ(MdiReadCode(kAdapterPort, phy_reg, 1), (phy_reg * 0x100 + i) & 0xFFFF);
    }
  };
  {
    std::vector<std::thread> threads;
    threads.emplace_back(writer, 0, 10);
    threads.emplace_back(writer, 1, 20);
    threads.emplace_back(reader);
    threads.emplace_back(phy, 16);
    threads.emplace_back(phy, 17);
    for (auto &t : threads) t.join();
  }
  for (int id : {0, 1}) EXPECT_EQ(results[id], std::vector<uint32_t>(kRounds, 1u));
  EXPECT_EQ(results[2], std::vector<uint32_t>(3 * kRounds, 0xA528u));
  for (unsigned i = 0; i < 64; i++) {
    uint16_t expected = i == 10 ? 0x0000 + kRounds - 1 : i == 20 ? 0x1000 + kRounds - 1 : 0xA500 + i;
    EXPECT_EQ(Part().word(i), expected) << i;
  }
  // Every command arrived whole: 4 per write and its read-back, 1 per read.
  size_t reads = 0, writes = 0;
  for (const auto &c : Part().commands()) {
    ASSERT_EQ(c.outcome, sim::hw::MicrowireOutcome::executed) << c.di;
    reads += c.op == sim::hw::MicrowireOp::read;
    writes += c.op == sim::hw::MicrowireOp::write;
  }
  EXPECT_EQ(reads, 3u * kRounds + 2u * kRounds);
  EXPECT_EQ(writes, 2u * kRounds);
  for (const auto &f : Adapter().mdi().frames()) ASSERT_FALSE(f.overrun);
}

}  // namespace
}  // namespace nicport_test
