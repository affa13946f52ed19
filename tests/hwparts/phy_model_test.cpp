// The clause-22 PHY model and the MDI control register in front of it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim/hw/phy.h"

using namespace sim::hw;

TEST(Phy, PowerUpValuesAndReadOnlyBits) {
  Phy p;
  EXPECT_EQ(p.read(mii::kBmcr), 0x3000);
  EXPECT_EQ(p.read(mii::kBmsr), 0x786D);
  EXPECT_EQ(p.read(mii::kAnar), 0x01E1);
  EXPECT_EQ(p.read(mii::kAnlpar), 0x41E1);
  EXPECT_NE(p.read(mii::kPhyId1), 0);
  EXPECT_NE(p.read(mii::kPhyId1), 0xFFFF);

  p.write(mii::kBmsr, 0);
  p.write(mii::kPhyId1, 0);
  p.write(mii::kAnlpar, 0);
  EXPECT_EQ(p.read(mii::kBmsr), 0x786D);
  EXPECT_EQ(p.read(mii::kAnlpar), 0x41E1);
  EXPECT_EQ(p.read(mii::kPhyId1), 0x0E5E);
  p.write(mii::kBmcr, 0x017F);  // full duplex plus reserved bits
  EXPECT_EQ(p.read(mii::kBmcr), 0x0100);
  p.write(mii::kAnar, 0xFFFF);
  EXPECT_EQ(p.read(mii::kAnar), 0xBFFF);
  p.write(20, 0xCAFE);
  EXPECT_EQ(p.read(20), 0xCAFE) << "vendor registers are read/write";
}

TEST(Phy, ResetAndRestartSelfClear) {
  Phy p;
  p.write(mii::kAnar, 0x0021);
  p.write(mii::kBmcr, mii::kBmcrAnEnable | mii::kBmcrRestartAn);
  EXPECT_EQ(p.read(mii::kBmcr), mii::kBmcrAnEnable);
  p.write(mii::kBmcr, mii::kBmcrReset | mii::kBmcrLoopback);
  EXPECT_EQ(p.read(mii::kBmcr), 0x3000);
  EXPECT_EQ(p.read(mii::kAnar), 0x01E1);
}

TEST(Phy, LinkStatusLatchesLow) {
  Phy p;
  p.set_link(false);
  p.set_link(true);
  EXPECT_FALSE(p.read(mii::kBmsr) & mii::kBmsrLinkStatus) << "the drop is reported once";
  EXPECT_TRUE(p.read(mii::kBmsr) & mii::kBmsrLinkStatus);
  p.set_link(false);
  EXPECT_EQ(p.read(mii::kBmsr) & (mii::kBmsrLinkStatus | mii::kBmsrAnComplete), 0);
}

TEST(MdiController, ReadAndWriteCyclesTakeTheCycleTime) {
  sim::VirtualClock clock;
  MdiController mdi(clock);
  EXPECT_TRUE(mdi.read() & MdiController::kReady);
  mdi.write(0x08210000);  // read PHY 1 register 1
  EXPECT_FALSE(mdi.read() & MdiController::kReady);
  clock.advance_ns(MdiController::kDefaultCycleTimeNs - 1);
  EXPECT_FALSE(mdi.read() & MdiController::kReady);
  clock.advance_ns(1);
  EXPECT_EQ(mdi.read(), 0x18210000u | 0x786D);

  mdi.write(0x04201200);  // write 0x1200 to register 0 (AN enable + restart)
  EXPECT_EQ(mdi.phy(1)->peek(0), 0x3000) << "not before the frame is done";
  clock.advance_us(26);
  EXPECT_EQ(mdi.read(), 0x14201200u);
  EXPECT_EQ(mdi.phy(1)->peek(0), 0x1000);
}

TEST(MdiController, MissingPhyAndOtherOpcodes) {
  sim::VirtualClock clock;
  MdiController mdi(clock);
  mdi.write(0x08200000 | (5u << 21) | (2u << 16));
  clock.advance_us(30);
  EXPECT_EQ(mdi.read(), 0x18A2FFFFu) << "no PHY at 5: MDIO pulled up";

  mdi.write(0x00001234);  // opcode 00: no frame, and nothing sets ready
  EXPECT_EQ(mdi.read(), 0x00001234u);
  mdi.write(0x10001234);
  EXPECT_EQ(mdi.read(), 0x10001234u);
  EXPECT_EQ(mdi.frames().size(), 1u);
}

TEST(MdiController, ReadyWrittenSetShowsAtOnceAndTheDataComesLater) {
  // Software clears ready with the command word; written set, it reads
  // ready before the frame is done, with the command's own data field.
  sim::VirtualClock clock;
  MdiController mdi(clock);
  mdi.write(0x18210000);  // read PHY 1 register 1, ready bit set
  EXPECT_EQ(mdi.read(), 0x18210000u) << "stale: the frame is still running";
  clock.advance_ns(MdiController::kDefaultCycleTimeNs);
  EXPECT_EQ(mdi.read(), 0x18210000u | 0x786D);
  EXPECT_TRUE(mdi.frames().back().completed);
}

TEST(Phy, ResetAndAutonegotiationTakeTime) {
  sim::VirtualClock clock;
  MdiController mdi(clock);
  Phy& p = *mdi.phy(1);
  p.write(mii::kAnar, 0x0021);
  p.write(mii::kBmcr, mii::kBmcrReset);
  EXPECT_EQ(p.read(mii::kBmcr), 0x3000 | mii::kBmcrReset) << "reset bit stays set while the reset runs";
  p.write(mii::kBmcr, 0x0100);
  clock.advance_ns(Phy::kDefaultResetTimeNs - 1);
  EXPECT_TRUE(p.read(mii::kBmcr) & mii::kBmcrReset);
  clock.advance_ns(1);
  EXPECT_EQ(p.read(mii::kBmcr), 0x3000) << "writes during the reset were ignored";
  EXPECT_EQ(p.read(mii::kAnar), 0x01E1);
  // Autonegotiation starts with the end of the reset: no link, not
  // complete, partner unknown, until it is over.
  EXPECT_EQ(p.read(mii::kBmsr) & (mii::kBmsrAnComplete | mii::kBmsrLinkStatus), 0);
  EXPECT_EQ(p.read(mii::kAnlpar), 0);
  clock.advance_ns(Phy::kDefaultAutonegTimeNs);
  EXPECT_EQ(p.read(mii::kBmsr), 0x786D);
  EXPECT_EQ(p.read(mii::kAnlpar), 0x41E1);

  // Restart, and enabling it, start a new exchange; a forced setting none.
  p.write(mii::kBmcr, mii::kBmcrAnEnable | mii::kBmcrRestartAn);
  clock.advance_ns(Phy::kDefaultAutonegTimeNs);
  EXPECT_EQ(p.read(mii::kBmsr), 0x786D & ~mii::kBmsrLinkStatus) << "complete; the link drop stays latched until read";
  EXPECT_EQ(p.read(mii::kBmsr), 0x786D);
  p.write(mii::kBmcr, mii::kBmcrSpeed100);
  p.write(mii::kBmcr, mii::kBmcrAnEnable);
  EXPECT_FALSE(p.read(mii::kBmsr) & mii::kBmsrAnComplete);

  apply_phys_profile(mdi, nlohmann::json::parse(R"({"1": {"reset_time_us": 500000, "autoneg_time_us": 0}})"));
  p.write(mii::kBmcr, mii::kBmcrReset);
  clock.advance_ms(499);
  EXPECT_TRUE(p.read(mii::kBmcr) & mii::kBmcrReset);
  clock.advance_ms(1);
  EXPECT_TRUE(p.read(mii::kBmsr) & mii::kBmsrAnComplete) << "the reset ends, negotiation takes no time";
  EXPECT_ANY_THROW(apply_phys_profile(mdi, nlohmann::json::parse(R"({"1": {"reset_time_us": 500001}})")));
}

TEST(MdiController, NeverReadyPhyAndOverrun) {
  sim::VirtualClock clock;
  MdiController mdi(clock);
  mdi.phy(1)->never_ready = true;
  mdi.write(0x08200000);
  clock.advance_ms(5000);
  EXPECT_FALSE(mdi.read() & MdiController::kReady);
  mdi.write(0x08410000);  // PHY 2: no PHY there, the frame completes

  EXPECT_TRUE(mdi.frames()[0].overrun);
  EXPECT_FALSE(mdi.frames()[0].completed);
  clock.advance_us(30);
  EXPECT_EQ(mdi.read(), 0x1841FFFFu);
  EXPECT_TRUE(mdi.frames()[1].completed);
}

TEST(MdiController, ProfileOverrides) {
  sim::VirtualClock clock;
  MdiController mdi(clock);
  apply_phys_profile(mdi,
                     nlohmann::json::parse(R"({"1": {"2": 680, "3": 340}, "0x4": {"never_ready": true, "0": 8448}})"));
  EXPECT_EQ(mdi.phy(1)->peek(2), 680);
  EXPECT_EQ(mdi.phy(1)->peek(3), 340);
  EXPECT_EQ(mdi.phy(1)->peek(0), 0x3000) << "registers not given keep the defaults";
  ASSERT_NE(mdi.phy(4), nullptr);
  EXPECT_TRUE(mdi.phy(4)->never_ready);
  EXPECT_EQ(mdi.phy(4)->peek(0), 8448);
  mdi.phy(4)->write(0, mii::kBmcrReset);
  clock.advance_ns(Phy::kDefaultResetTimeNs);
  EXPECT_EQ(mdi.phy(4)->peek(0), 8448) << "profile value is the power-up value";
  apply_phys_profile(mdi, nlohmann::json::parse(R"({"1": null})"));
  EXPECT_EQ(mdi.phy(1), nullptr);
  for (const char* bad : {R"({"32": {}})", R"({"1": {"32": 1}})", R"({"1": {"0": 65536}})", R"({"x": {}})", R"([])"})
    EXPECT_ANY_THROW(apply_phys_profile(mdi, nlohmann::json::parse(bad))) << bad;
}

TEST(MdiController, PartialWritesStartAFrameOnlyWithTheOpcodeByte) {
  sim::VirtualClock clock;
  MdiController mdi(clock);
  mdi.write_partial(0x00001234, 0x0000FFFF);  // e.g. the upper half of a 32-bit store at 0x0E
  EXPECT_TRUE(mdi.frames().empty());
  EXPECT_EQ(mdi.read(), 0x10001234u);
  mdi.write_partial(0x08210000, 0xFFFF0000);  // then the command half
  ASSERT_EQ(mdi.frames().size(), 1u);
  clock.advance_us(30);
  EXPECT_EQ(mdi.read(), 0x1821786Du);
}

TEST(MdiController, FrameRecorderStaysBounded) {
  sim::VirtualClock clock;
  MdiController mdi(clock);
  for (std::size_t i = 0; i < MdiController::kRecorderLimit + 10; i++) {
    mdi.write(0x08200000 | static_cast<std::uint32_t>(i & 0xFFFF));
    clock.advance_us(30);
  }
  EXPECT_LE(mdi.frames().size(), MdiController::kRecorderLimit);
  EXPECT_EQ(mdi.frames().back().command, 0x08200000u | ((MdiController::kRecorderLimit + 9) & 0xFFFF));
}
