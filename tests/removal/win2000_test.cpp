// The Windows 2000 removal operations on the simulated network
// configuration and device installer: the write lock and its time-out, the
// failures that end a pass early (and that every reference is given back
// then), the identifier positions and the failure message's bounds.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "sim/win32/machine.h"
#include "sim/win32/netcfg.h"
#include "sim/win32/setupapi.h"
#include "sim/win32/ui.h"
#include "uninstaller/netpurge.h"

namespace {

using sim::win32::Device;
using sim::win32::machine;

const char kQor0[] = "PCI\\VEN_8086&DEV_1229&SUBSYS_00018086&REV_08\\3&267A616A&0&18";
const char kQor1[] = "PCI\\VEN_8086&DEV_1000&SUBSYS_10018086&REV_02\\3&267A616A&0&20";

class Win2000 : public ::testing::Test {
 protected:
  void SetUp() override {
    removal_test::fresh_machine("win2000");
    auto& cfg = machine().netcfg();
    cfg.add_adapter("qor0", kQor0);
    cfg.add_adapter("qor1", kQor1);
    cfg.add_protocol("ms_tcpip");
    cfg.add_protocol("ms_nwipx");
    cfg.bind("ms_tcpip", "qor0");
    cfg.bind("ms_nwipx", "qor0");
    cfg.bind("ms_tcpip", "qor1");
  }
  void add_device(const std::string& id, const std::string& description, bool fails = false) {
    Device d;
    d.instance_id = id;
    d.description = description;
    d.remove_fails = fails;
    machine().devices().add_device(d);
  }
  // Nothing obtained from COM, the lock or the device installer is left.
  void expect_all_given_back() {
    EXPECT_EQ(machine().netcfg().leaks(), std::vector<std::string>{});
    EXPECT_EQ(machine().devices().open_lists(), 0u);
  }
};

TEST_F(Win2000, LockHeldPastTimeOutEndsWithNoWriteLock) {
  machine().netcfg().hold_lock(30001);  // past two waits of 15 s
  add_device(kQor0, "QOR 10/100 Ethernet Adapter");
  EXPECT_EQ(UnbindSupportedAdapters(), NETCFG_E_NO_WRITE_LOCK);
  EXPECT_EQ(machine().clock.now_ms(), 15000u);  // waited exactly the time-out
  EXPECT_EQ(RemoveWin2000Adapters(), 0);
  EXPECT_TRUE(machine().netcfg().unbound().empty());
  EXPECT_TRUE(machine().devices().removed().empty());
  EXPECT_TRUE(machine().ui().shown.empty());
  // The holder's name handed back by the refusal was freed.
  expect_all_given_back();
}

TEST_F(Win2000, EachFailureToAcquireEndsCleanly) {
  struct Case {
    const char* name;
    void (*force)(sim::win32::NetCfgFaults&);
    HRESULT expected;
  };
  const Case cases[] = {
      {"coinitialize", [](auto& f) { f.coinitialize = true; }, E_OUTOFMEMORY},
      {"create", [](auto& f) { f.create = true; }, REGDB_E_CLASSNOTREG},
      {"lock_query", [](auto& f) { f.lock_query = true; }, E_NOINTERFACE},
      {"lock", [](auto& f) { f.lock = true; }, NETCFG_E_NEED_REBOOT},
      {"initialize", [](auto& f) { f.initialize = true; }, E_FAIL},
  };
  for (const Case& c : cases) {
    SetUp();
    add_device(kQor0, "QOR 10/100 Ethernet Adapter");
    c.force(machine().netcfg().faults());
    INetCfg* cfg = reinterpret_cast<INetCfg*>(0x1);
    EXPECT_EQ(AcquireNetCfg(TRUE, &cfg), c.expected) << c.name;
    EXPECT_EQ(cfg, nullptr) << c.name;
    EXPECT_EQ(RemoveWin2000Adapters(), 0) << c.name;
    EXPECT_TRUE(machine().devices().removed().empty()) << c.name;
    EXPECT_FALSE(machine().netcfg().program_holds_lock()) << c.name;
    EXPECT_EQ(machine().netcfg().com_init_depth(), 0) << c.name;
    expect_all_given_back();
  }
}

TEST_F(Win2000, UnavailableClassOrEnumerationSkipsThePassButNotTheRemoval) {
  struct Case {
    const char* name;
    void (*force)(sim::win32::NetCfgFaults&);
    std::size_t unbound;
    int applied;
  };
  const Case cases[] = {
      {"adapter class", [](auto& f) { f.class_query = {"net"}; }, 0, 0},
      {"adapter enumeration", [](auto& f) { f.enumeration = {"net"}; }, 0, 0},
      // The protocols are unavailable: each supported adapter is still applied.
      {"protocol class", [](auto& f) { f.class_query = {"nettrans"}; }, 0, 2},
      {"protocol enumeration", [](auto& f) { f.enumeration = {"nettrans"}; }, 0, 2},
      {"protocol reset", [](auto& f) { f.reset = {"nettrans"}; }, 0, 2},
      // A failed adapter reset is not examined: the enumeration is walked anyway.
      {"adapter reset", [](auto& f) { f.reset = {"net"}; }, 3, 2},
  };
  for (const Case& c : cases) {
    SetUp();
    add_device(kQor0, "QOR 10/100 Ethernet Adapter");
    c.force(machine().netcfg().faults());
    EXPECT_EQ(RemoveWin2000Adapters(), 1) << c.name;
    EXPECT_EQ(machine().netcfg().unbound().size(), c.unbound) << c.name;
    EXPECT_EQ(machine().netcfg().applied(), c.applied) << c.name;
    expect_all_given_back();
  }
}

TEST_F(Win2000, IdentifierFieldsAtPositionsEightAndSeventeen) {
  auto& cfg = machine().netcfg();
  // Vendor digits not hexadecimal: vendor 0, left alone.
  cfg.add_adapter("bad_vendor", "PCI\\VEN_80G6&DEV_1229\\1");
  // Too short to hold the fields at all.
  cfg.add_adapter("short", "PCI\\VEN");
  // Other prefix, same positions: the prefix plays no part.
  cfg.add_adapter("other_prefix", "XYZ:XXX:8086:XXX:1229\\1");
  // A component without a device node.
  cfg.add_adapter("virtual", "");
  for (const char* a : {"bad_vendor", "short", "other_prefix", "virtual"}) cfg.bind("ms_tcpip", a);

  EXPECT_EQ(UnbindSupportedAdapters(), S_OK);
  std::vector<std::string> unbound_adapters;
  for (const auto& [protocol, adapter] : cfg.unbound()) unbound_adapters.push_back(adapter);
  EXPECT_EQ(unbound_adapters, (std::vector<std::string>{"qor0", "qor0", "qor1", "other_prefix"}));
  expect_all_given_back();
}

TEST_F(Win2000, AdapterBoundToNothingIsStillAppliedAndRemoved) {
  auto& cfg = machine().netcfg();
  cfg.add_adapter("lonely", "PCI\\VEN_8086&DEV_1229&SUBSYS_00048086&REV_08\\4");
  add_device("PCI\\VEN_8086&DEV_1229&SUBSYS_00048086&REV_08\\4", "QOR 10/100 Ethernet Adapter #4");
  EXPECT_EQ(RemoveWin2000Adapters(), 1);
  EXPECT_EQ(cfg.applied(), 3);
  // The device installer took the adapter out of the configuration too.
  for (const auto& c : cfg.components()) EXPECT_NE(c.id, "lonely");
  expect_all_given_back();
}

TEST_F(Win2000, RemovalFailureMessagePerDeviceAndCutToFit) {
  const std::string long_description(3000, 'D');
  add_device(kQor0, "QOR 10/100 Ethernet Adapter", true);
  add_device(kQor1, long_description, true);
  add_device("PCI\\VEN_10EC&DEV_8029&SUBSYS_00000000&REV_00\\5", "PCI NE2000 Compatible", true);
  machine().ui().endless_ok = true;

  EXPECT_EQ(RemoveWin2000Adapters(), 0);
  const auto& shown = machine().ui().shown;
  ASSERT_EQ(shown.size(), 2u);  // nothing for the device that is not ours
  EXPECT_EQ(shown[0].kind, "message_box");
  EXPECT_EQ(shown[0].caption, "Uninstaller");
  EXPECT_EQ(shown[0].text, "UnInistall faied for QOR 10/100 Ethernet Adapter");
  EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_OK));
  // 511 characters and the terminator fill the 512-byte buffer exactly.
  EXPECT_EQ(shown[1].text, "UnInistall faied for " + long_description.substr(0, 511 - 21));
  expect_all_given_back();
}

TEST_F(Win2000, UnreadableDescriptionSkipsTheDeviceSilently) {
  Device d;
  d.instance_id = kQor0;  // no description
  machine().devices().add_device(d);
  add_device(kQor1, "QOR Gigabit Adapter");
  EXPECT_EQ(RemoveWin2000Adapters(), 1);
  EXPECT_EQ(machine().devices().removed(), std::vector<std::string>{kQor1});
  EXPECT_TRUE(machine().ui().shown.empty());
}

}  // namespace
