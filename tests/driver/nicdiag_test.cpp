// The diagnostic client as a user runs it: commands, JSON lines, exit
// statuses and the leak check at exit.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct Outcome {
  int exit_code = -1;
  std::string out;
};

Outcome RunNicdiag(const std::string &arguments) {
  Outcome o;
  std::string command = std::string(NICDIAG_PATH) + " " + arguments + " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return o;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) o.out.append(buffer, n);
  int status = pclose(pipe);
  o.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return o;
}

std::vector<nlohmann::json> JsonLines(const std::string &text) {
  std::vector<nlohmann::json> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
    start = end + 1;
  }
  return lines;
}

TEST(Nicdiag, DefaultRunShowsIdentifierFunctionsAndAdapterPort) {
  Outcome o = RunNicdiag("id ';' pci list ';' port read 8 0xE000");
  EXPECT_EQ(o.exit_code, 0) << o.out;
  EXPECT_NE(o.out.find("identifier 0x21"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("00:03.0 0200: 8086:1229 (rev 08)"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("port 0xE000 (8-bit) = 0x"), std::string::npos) << o.out;
}

TEST(Nicdiag, JsonLinesCarryStatusInformationOutputAndVirtualTime) {
  Outcome o = RunNicdiag("--json stall 250 ';' raw 0x80FF0058 ';' raw 0x80FF0000 00 --out 4 ';' mem map 0 0xF4000000 0x1000");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  std::vector<nlohmann::json> lines = JsonLines(o.out);
  ASSERT_EQ(lines.size(), 4u) << o.out;
  EXPECT_EQ(lines[0]["status"], 0);
  EXPECT_EQ(lines[0]["sim_time_us"], 250);
  EXPECT_EQ(lines[1]["status"], 0xC00000BBu);
  EXPECT_EQ(lines[1]["information"], 0);
  EXPECT_EQ(lines[2]["output"], "21000000");
  EXPECT_EQ(lines[2]["information"], 4);
  // The window is left mapped: the driver unmaps it at unload, so no leak.
  EXPECT_NE(lines[3]["value"], 0);
}

TEST(Nicdiag, ScriptKeepsWindowsBetweenCommands) {
  std::string path = ::testing::TempDir() + "nicdiag_script.txt";
  std::ofstream(path) << "# map, then use the window\nmem map 0 0xF4000000 0x1000\n";
  Outcome map = RunNicdiag("--json --script " + path);
  ASSERT_EQ(map.exit_code, 0) << map.out;
  uint32_t va = JsonLines(map.out).at(0)["value"];
  char script[256];
  std::snprintf(script, sizeof script,
                "mem map 0 0xF4000000 0x1000\nmem write 32 0x%X 0x1234\nmem read 16 0x%X\nmem unmap 0x%X 0x1000\n",
                va + 8, va + 8, va);
  std::ofstream(path) << script;
  Outcome o = RunNicdiag("--json --script " + path);
  ASSERT_EQ(o.exit_code, 0) << o.out;
  std::vector<nlohmann::json> lines = JsonLines(o.out);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["value"], va);  // same placement in a fresh session
  EXPECT_EQ(lines[2]["value"], 0x1234);
  EXPECT_EQ(lines[3]["status"], 0);
}

TEST(Nicdiag, BadInputAndFailedRequestsGiveNonZeroStatus) {
  EXPECT_EQ(RunNicdiag("port read 12 0xE000").exit_code, 2);
  EXPECT_EQ(RunNicdiag("frobnicate").exit_code, 2);
  EXPECT_EQ(RunNicdiag("port read 8 zz").exit_code, 2);
  EXPECT_EQ(RunNicdiag("").exit_code, 2);
  Outcome refused = RunNicdiag("port read 8 0x10000");
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.out.find("STATUS_INVALID_PARAMETER"), std::string::npos) << refused.out;
  Outcome profile = RunNicdiag("--profile /nonexistent.json id");
  EXPECT_NE(profile.exit_code, 0);
  Outcome help = RunNicdiag("--help");
  EXPECT_EQ(help.exit_code, 0);
  for (const char *word : {"port read", "mem map", "pci list", "validate", "first-range", "stall", "raw", "--json",
                           "--script", "--profile"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
}

TEST(Nicdiag, PciReadAndValidateOnAProfile) {
  std::string path = ::testing::TempDir() + "nicdiag_profile.json";
  std::ofstream(path) << R"({ "adapters": [ { "bus": 1, "device": 5, "device_id": "0x1030",
      "bars": [ { "type": "memory", "size": "0x1000", "address": "0xE8000000" },
                { "type": "io", "size": "0x40", "address": "0xD000" } ] } ] })";
  Outcome o = RunNicdiag("--json --profile " + path + " pci read 1 5.0 0 4 ';' validate 0x00401000 1 5 ';' first-range");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  std::vector<nlohmann::json> lines = JsonLines(o.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["data"], "86803010");
  EXPECT_EQ(lines[1]["value"], 0xD000);
  EXPECT_EQ(lines[2]["value"], 0xE8000000u);
}

}  // namespace
