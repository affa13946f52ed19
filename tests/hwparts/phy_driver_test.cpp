// MdiRead and MdiWrite through the control codes, against the MDI
// controller and PHY models on the simulated adapter.
#include "tests/hwparts/hw_driver_fixture.h"

namespace nicport_test {
namespace {

class PhyDriverTest : public HwDriverTest {};

TEST_F(PhyDriverTest, CommandWordsOverPortAndMemory) {
  // Autonegotiation restarted here completes at once, so that BMSR reads
  // the same on every pass.
  LoadWith(nullptr, {{"1", {{"autoneg_time_us", 0}}}});
  sim::hw::MdiController &mdi = Adapter().mdi();
  // Selector 0 is memory; any other value, 2 included, is port I/O (a
  // memory access at the port number would be a driver fault).
  for (auto [m, selector] : {std::pair{Method::io, 1u}, {Method::io, 2u}, {Method::mem, 0u}}) {
    const uint32_t base = RegisterBase(m);
    mdi.clear_frames();
    uint32_t value = 0;
    EXPECT_EQ(TimeUs([&] { value = MdiReadCode(base, 0, selector); }), 40u) << selector;
    EXPECT_EQ(value, 0x3000u);
    EXPECT_EQ(MdiReadCode(base, 1, selector), 0x786Du);
    MdiWriteCode(base, 0, 0x1200, selector);  // autonegotiation enable and restart
    ASSERT_EQ(mdi.frames().size(), 3u);
    EXPECT_EQ(mdi.frames()[0].command, 0x08200000u);
    EXPECT_EQ(mdi.frames()[1].command, 0x08210000u);
    EXPECT_EQ(mdi.frames()[2].command, 0x04201200u);
    for (const auto &f : mdi.frames()) EXPECT_TRUE(f.completed);
    EXPECT_EQ(mdi.phy(1)->peek(0), 0x1000) << "restart self-clears";
    mdi.phy(1)->write(0, 0x3000);
    mdi.phy(1)->read(1);  // clears the link drop the restart latched
  }
}

TEST_F(PhyDriverTest, RegisterBitsAboveFourReachOtherPhyAddresses) {
  LoadWith(nullptr, {{"1", nlohmann::json::object()}, {"3", {{"1", 0x7809}}}});
  sim::hw::MdiController &mdi = Adapter().mdi();
  EXPECT_EQ(MdiReadCode(kAdapterPort, 0x41, 1), 0x7809u);
  EXPECT_EQ(mdi.frames().back().command, 0x08610000u);
  EXPECT_EQ(mdi.frames().back().phy_address, 3u);
  EXPECT_EQ(mdi.frames().back().reg, 1u);
  EXPECT_EQ(MdiReadCode(kAdapterPort, 0x82, 1), 0xFFFFu) << "no PHY at address 5";
}

TEST_F(PhyDriverTest, PhyThatNeverBecomesReadyEndsAfterTheLastPoll) {
  LoadWith(nullptr, {{"1", {{"never_ready", true}}}});
  // Memory: 100,000 polls each after a 20 us wait. Port: a first wait, then
  // 100,000 polls with a wait after each.
  EXPECT_EQ(TimeUs([&] { EXPECT_EQ(MdiReadCode(MapAdapter(), 1, 0), 0u); }), 100000u * 20);
  EXPECT_EQ(TimeUs([&] { MdiWriteCode(kAdapterPort, 0, 0x1200, 1); }), 20 + 100000u * 20);
  for (const auto &f : Adapter().mdi().frames()) EXPECT_FALSE(f.completed);
  EXPECT_EQ(Adapter().mdi().phy(1)->peek(0), 0x3000);
}

}  // namespace
}  // namespace nicport_test
