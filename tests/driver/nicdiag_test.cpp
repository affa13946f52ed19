// The diagnostic client as a user runs it: commands, JSON lines, exit
// statuses, scripts and profiles.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../common/run_tool.h"

namespace {

Outcome Nicdiag(const std::string &arguments) { return RunTool(NICDIAG_PATH, arguments); }

std::string WriteFile(const std::string &name, const std::string &text) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

TEST(Nicdiag, DefaultRunShowsIdentifierFunctionsAndAdapterPort) {
  Outcome o = Nicdiag("id ';' pci list ';' port read 8 0xE000");
  EXPECT_EQ(o.exit_code, 0) << o.out;
  EXPECT_EQ(o.out, "identifier 0x21\n00:03.0 0200: 8086:1229 (rev 08)\nport 0xE000 (8-bit) = 0x00\n");
  o = Nicdiag("--debug-log validate 0x00400000 0 3");
  EXPECT_NE(o.out.find("dbg: NICDIAG: Initialized\ndbg: NICDIAG.SYS: Calling ValidateMemSpace()"), std::string::npos)
      << o.out;
}

TEST(Nicdiag, JsonLinesAndScriptsKeepWindowsWithinARun) {
  Outcome o = Nicdiag(
      "--json stall 250 ';' raw 0x80FF0058 ';' raw 0x80FF0000 00 --out 4 ';' "
      "mem map 0 0xF4000000 0x1000");
  ASSERT_EQ(o.exit_code, 0) << o.out;  // the window left mapped is unmapped at unload: no leak
  std::vector<nlohmann::json> lines = o.Lines();
  ASSERT_EQ(lines.size(), 4u) << o.out;
  EXPECT_EQ(lines[0]["sim_time_us"], 250);
  EXPECT_EQ(lines[1]["status"], 0xC00000BBu);
  EXPECT_EQ(lines[1]["information"], 0);
  EXPECT_EQ(lines[2]["output"], "21000000");
  uint32_t va = lines[3]["value"];
  char script[200];
  std::snprintf(script, sizeof script,
                "# a window used across commands\nmem map 0 0xF4000000 0x1000\n"
                "mem write 32 0x%X 0x1234\nmem read 16 0x%X\nmem unmap 0x%X 0x1000\n",
                va + 8, va + 8, va);
  o = Nicdiag("--json --script " + WriteFile("nicdiag_script.txt", script));
  ASSERT_EQ(o.exit_code, 0) << o.out;
  lines = o.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["value"], va);  // the same placement in a fresh run
  EXPECT_EQ(lines[2]["value"], 0x1234);
  EXPECT_EQ(lines[3]["status"], 0);
}

TEST(Nicdiag, BadInputAndFailedRequestsGiveNonZeroStatus) {
  for (const char *bad : {"port read 12 0xE000", "frobnicate", "port read 8 zz", "", "--bogus id"}) {
    EXPECT_EQ(Nicdiag(bad).exit_code, 2) << bad;
  }
  Outcome refused = Nicdiag("port read 8 0x10000");
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.out.find("STATUS_INVALID_PARAMETER"), std::string::npos) << refused.out;
  EXPECT_NE(Nicdiag("--profile /nonexistent.json id").exit_code, 0);
  Outcome help = Nicdiag("--help");
  EXPECT_EQ(help.exit_code, 0);
  for (const char *word : {"port read", "mem map", "mem unmap", "pci list", "pci write", "validate", "first-range",
                           "stall", "raw", "--json", "--script", "--profile"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
}

TEST(Nicdiag, ProfileHardwareIsWhatTheDriverSees) {
  std::string profile = WriteFile("nicdiag_profile.json", R"({ "adapters": [ { "bus": 1, "device": 5,
      "device_id": "0x1030", "bars": [ { "type": "memory", "size": "0x1000", "address": "0xE8000000" },
                                      { "type": "io", "size": "0x40", "address": "0xD000" } ] } ] })");
  Outcome o =
      Nicdiag("--json --profile " + profile + " pci read 1 5.0 0 4 ';' validate 0x00401000 1 5 ';' first-range");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  std::vector<nlohmann::json> lines = o.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["data"], "86803010");
  EXPECT_EQ(lines[1]["value"], 0xD000);
  EXPECT_EQ(lines[2]["value"], 0xE8000000u);
}

}  // namespace

namespace {

TEST(NicdiagAccess, StandardUserIsToldAccessDeniedAndStopsWithStatusThree) {
  std::string profile = WriteFile("standard-user.json", R"({"adapters": [], "client": {"admin": false}})");
  Outcome o = Nicdiag("--profile " + profile + " id");
  EXPECT_EQ(o.exit_code, 3) << o.out;
  EXPECT_NE(o.out.find("cannot open \\\\.\\NICPORT: access denied"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("administrators"), std::string::npos) << o.out;
}

}  // namespace
