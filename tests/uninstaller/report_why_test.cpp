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

TEST(ReportWhy, FailedInitialisationSaysSoAndTheLockIsGivenBack) {
  auto profile = silent_win2000();
  profile["netcfg"] = {{"fail", {{"initialize", true}}}};
  profile["devices"] = {{{"instance_id", "PCI\\VEN_8086&DEV_1229&SUBSYS_00018086&REV_08\\3&267A616A&0&18"},
                         {"description", "QOR 10/100 Ethernet Adapter"}}};
  const auto r = run_machine(profile);
  EXPECT_TRUE(says(r, "network configuration could not be initialised")) << nlohmann::json(r.why).dump();
  EXPECT_TRUE(r.removal["removed_devices"].empty());
  // The lock taken before the failed initialisation was released.
  EXPECT_FALSE(r.write_lock_held) << r.write_lock_holder;
}

TEST(ReportWhy, SilentRunOnAPlatformNotServedSilentlyEndsAtOnce) {
  const std::string end = ": started with /nogui the program ends at once with exit code 0, before any rights test";
  struct Case {
    const char* platform;
    const char* program;
    std::string says;
  };
  const Case cases[] = {
      {"nt4", "Hushline.exe", "Windows NT 4 is served in modem mode only interactively" + end},
      {"nt4", "netpurge.exe",
       "Windows NT 4 is not served in adapter mode (only in modem mode, and only interactively)" + end},
      {"vista", "netpurge.exe", "vista is not a platform the program serves" + end},
  };
  for (const Case& c : cases) {
    const auto r = run_machine(machine_on(c.platform, false, std::string("\"C:\\Tools\\") + c.program + "\" /nogui"));
    EXPECT_FALSE(r.removal_ran) << c.platform;
    EXPECT_EQ(r.exit_code, 0) << c.platform;
    EXPECT_TRUE(r.shown.empty()) << c.platform;
    EXPECT_TRUE(says(r, c.says)) << nlohmann::json(r.why).dump();
  }
}

TEST(ReportWhy, NoClassSubKeyMatchedNamesTheKeyAndWhatFollows) {
  // Windows 98: the instance names no class sub-key, so the class sweep
  // deletes nothing; the hardware tree sweep still removes the instance.
  // NT 4 in modem mode: no description matches, so the setup runner is not
  // started either.
  struct Case {
    const char* platform;
    const char* program;
    const char* reg;
    std::string says;
    bool changed;
  };
  const Case cases[] = {
      {"win98", "netpurge.exe",
       "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net\\0000]\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_1229&SUBSYS_00018086&REV_08\\0000]\r\n\"Driver\"="
       "\"Net\\\\0009\"\r\n",
       "no class sub-key matched: none of the 1 sub-key(s) of "
       "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net is named by the last four characters",
       true},
      {"nt4", "Hushline.exe",
       "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}\\0000]"
       "\r\n\"DriverDesc\"=\"Standard Modem\"\r\n",
       "none of the 1 sub-key(s) of "
       "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318} has a "
       "\"DriverDesc\" equal to the description looked for (two blanks), or its tree could not be deleted, so the "
       "setup file's uninstall section was not started either",
       false},
  };
  for (const Case& c : cases) {
    auto profile = sim::win32::parse_profile(
        machine_on(c.platform, true, std::string("\"C:\\Tools\\") + c.program + "\"").dump(), "<test>", {});
    profile.registry_text = std::string("REGEDIT4\r\n\r\n") + c.reg;
    profile.registry_source = "<test>";
    const auto r = netpurge_sim::run(profile);
    EXPECT_TRUE(r.removal_ran) << c.platform;
    EXPECT_EQ(!r.registry_diff.empty(), c.changed) << c.platform << r.registry_diff;
    EXPECT_TRUE(says(r, c.says)) << nlohmann::json(r.why).dump();
  }
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
