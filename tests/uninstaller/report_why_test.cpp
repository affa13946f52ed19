// The run report says why nothing (or less) happened, from what the
// simulated platform saw: the removal not run, the write lock held by
// another client, no network device, no supported one.
#include <gtest/gtest.h>

#include <string>

#include "run_helpers.h"

namespace {

bool says(const netpurge_sim::Report& r, const std::string& part) {
  for (const auto& why : r.why)
    if (why.find(part) != std::string::npos) return true;
  return false;
}

nlohmann::json silent_win2000() { return machine_on("win2000", true, "\"C:\\Tools\\netpurge.exe\" /nogui"); }

TEST(ReportWhy, Windows2000WithoutANetworkDeviceSaysSo) {
  const auto r = run_machine(silent_win2000());
  EXPECT_TRUE(r.removal_ran);
  EXPECT_TRUE(says(r, "no device of the network class is present")) << nlohmann::json(r.why).dump();
}

TEST(ReportWhy, NetworkDevicesNoneSupportedAreCounted) {
  auto profile = silent_win2000();
  profile["devices"] = {{{"instance_id", "PCI\\VEN_10EC&DEV_8029&SUBSYS_00000000&REV_00\\3&267A616A&0&28"},
                         {"description", "PCI NE2000 Compatible"}},
                        {{"instance_id", "PCI\\VEN_8086&DEV_1229&SUBSYS_00018086&REV_08\\3&267A616A&0&18"},
                         {"description", "QOR 10/100 Ethernet Adapter"},
                         {"present", false}}};
  const auto r = run_machine(profile);
  EXPECT_TRUE(says(r, "no supported device: 1 device(s) of the network class present")) << nlohmann::json(r.why).dump();
}

TEST(ReportWhy, LockHeldNamesTheHolderAndNothingIsRemoved) {
  auto profile = silent_win2000();
  profile["netcfg"] = {{"lock_held_ms", 20000}, {"lock_holder", "Network Connections folder"}};
  profile["devices"] = {{{"instance_id", "PCI\\VEN_8086&DEV_1229&SUBSYS_00018086&REV_08\\3&267A616A&0&18"},
                         {"description", "QOR 10/100 Ethernet Adapter"}}};
  const auto r = run_machine(profile);
  EXPECT_TRUE(says(r, "write lock was not obtained within 15000 ms: \"Network Connections folder\" held it"))
      << nlohmann::json(r.why).dump();
  EXPECT_TRUE(r.removal["removed_devices"].empty());
}

TEST(ReportWhy, RemovalNotRunGivesTheUsersAnswerOrTheRefusal) {
  auto cancelled = machine_on("win98");
  cancelled["user"] = {"cancel"};
  EXPECT_TRUE(says(run_machine(cancelled), "the user answered cancel"));
  EXPECT_TRUE(says(run_machine(machine_on("win2000", false)), "refused to run on this machine"));
}

TEST(ReportWhy, CompleteRemovalGivesNoReason) {
  auto profile = silent_win2000();
  profile["devices"] = {{{"instance_id", "PCI\\VEN_8086&DEV_1229&SUBSYS_00018086&REV_08\\3&267A616A&0&18"},
                         {"description", "QOR 10/100 Ethernet Adapter"}}};
  const auto r = run_machine(profile);
  EXPECT_EQ(r.removal["removed_devices"].size(), 1u);
  EXPECT_TRUE(r.why.empty()) << nlohmann::json(r.why).dump();
}

}  // namespace
