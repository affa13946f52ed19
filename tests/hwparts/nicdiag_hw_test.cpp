// nicdiag's eeprom and phy commands as a user runs them, on machines whose
// adapter carries a chosen EEPROM and PHYs.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "../common/run_tool.h"

namespace {

Outcome Nicdiag(const std::string &arguments) { return RunTool(NICDIAG_PATH, arguments); }

std::string Profile(const std::string &name, const nlohmann::json &eeprom, const nlohmann::json &phys = nullptr) {
  nlohmann::json adapter = {
      {"bus", 0},
      {"device", 3},
      {"bars", {{{"type", "memory"}, {"size", "0x1000"}, {"address", "0xF4000000"}},
                {{"type", "io"}, {"size", "0x40"}, {"address", "0xE000"}}}},
      {"eeprom", eeprom}};
  if (!phys.is_null()) adapter["phys"] = phys;
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << nlohmann::json{{"buses", {0}}, {"adapters", {adapter}}}.dump();
  return path;
}

nlohmann::json Ramp(unsigned words) {
  nlohmann::json list = nlohmann::json::array();
  for (unsigned i = 0; i < words; i++) list.push_back(0x0100 * (i % 256) + 0x11);
  return list;
}

TEST(NicdiagEeprom, DumpShowsWordsMacAndSumAndSavesThem) {
  std::string profile = Profile("dump64.json", {{"words", 64}, {"contents", Ramp(64)}});
  std::string out = ::testing::TempDir() + "dump64.bin";
  Outcome o = Nicdiag("--profile " + profile + " --json eeprom dump --out " + out + " ';' eeprom dump --method mem");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  auto lines = o.Lines();
  ASSERT_EQ(lines.size(), 2u);
  uint32_t sum = 0;
  for (uint32_t w : Ramp(64)) sum = (sum + w) & 0xFFFF;
  for (const auto &line : lines) {
    EXPECT_EQ(line["words"], Ramp(64));
    EXPECT_EQ(line["sum"], sum);
    EXPECT_EQ(line["mac"], "11:00:11:01:11:02");
    // A size probe and 64 reads of 3.05 ms each.
    EXPECT_EQ(line["sim_time_us"], 65 * 3050);
  }
  std::ifstream file(out, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 128u);
  EXPECT_EQ(static_cast<uint8_t>(bytes[2]), 0x11);
  EXPECT_EQ(static_cast<uint8_t>(bytes[3]), 0x01);

  Outcome text = Nicdiag("--profile " + profile + " eeprom dump --size 64");
  ASSERT_EQ(text.exit_code, 0) << text.out;
  EXPECT_NE(text.out.find("00: 0011 0111 0211 0311"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\n30: 3011 3111"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("MAC address 11:00:11:01:11:02"), std::string::npos) << text.out;
}

TEST(NicdiagEeprom, WritesNeedConfirmationAndAreCheckedByReadingBack) {
  std::string p64 = Profile("write64.json", {{"words", 64}, {"contents", Ramp(64)}});
  Outcome refused = Nicdiag("--profile " + p64 + " --json eeprom write 5 0xBEEF ';' eeprom read 5");
  EXPECT_EQ(refused.exit_code, 1) << refused.out;
  auto lines = refused.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0]["error"].get<std::string>().find("add --yes"), std::string::npos);
  EXPECT_EQ(lines[1]["value"], 0x0511);

  Outcome done = Nicdiag("--profile " + p64 + " --json eeprom write 5 0xBEEF --yes --size 64 ';' eeprom read 5");
  ASSERT_EQ(done.exit_code, 0) << done.out;
  lines = done.Lines();
  EXPECT_EQ(lines[0]["written"], 1);
  EXPECT_EQ(lines[1]["value"], 0xBEEF);
  // A read before (the old value), the write with two 5 ms cycles and the
  // driver's own read-back, nicdiag's read back.
  EXPECT_EQ(lines[0]["sim_time_us"], 3050 + 17915 + 3050 + 3050);

  // A 256-word part is written too.
  std::string p256 = Profile("write256.json", {{"words", 256}, {"contents", Ramp(256)}});
  Outcome written = Nicdiag("--profile " + p256 + " eeprom write 5 0xBEEF --yes ';' eeprom read 5");
  EXPECT_EQ(written.exit_code, 0) << written.out;
  EXPECT_NE(written.out.find("word 0x05 = 0xBEEF"), std::string::npos) << written.out;
}

TEST(NicdiagEeprom, ProfileImageSavedBackKeepsWritesBetweenRuns) {
  std::ofstream(::testing::TempDir() + "image.txt") << "0011 0111 0211\n";
  std::string profile = Profile("saved.json", {{"words", 64}, {"file", "image.txt"}, {"save", true}});
  ASSERT_EQ(Nicdiag("--profile " + profile + " eeprom write 5 0xBEEF --yes").exit_code, 0);
  EXPECT_EQ(Nicdiag("--profile " + profile + " eeprom read 5 ';' eeprom read 1").out,
            "word 0x05 = 0xBEEF\nword 0x01 = 0x0111\n");
}

TEST(NicdiagEeprom, SizeProbeFailuresAreReported) {
  std::string high = Profile("stuckhigh.json", {{"words", 64}, {"do_stuck_high", true}});
  Outcome o = Nicdiag("--profile " + high + " --json eeprom size ';' eeprom read 0");
  EXPECT_EQ(o.exit_code, 1);
  auto lines = o.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["size"], 0);
  EXPECT_TRUE(lines[0]["ok"].get<bool>());
  EXPECT_NE(lines[1]["error"].get<std::string>().find("give --size"), std::string::npos);
  EXPECT_EQ(Nicdiag("--profile " + high + " eeprom read 0 --size 64").out, "word 0x00 = 0xFFFF\n");
  EXPECT_EQ(Nicdiag("eeprom read 64 --size 64").exit_code, 2);
  EXPECT_EQ(Nicdiag("eeprom size --method port").exit_code, 2);
}

TEST(NicdiagPhy, DumpDecodesLinkSpeedAndDuplex) {
  std::string profile =
      Profile("phys.json", {{"words", 64}}, {{"1", {{"5", 0x4021}}}, {"3", {{"2", 0x1234}, {"3", 0x5678}}}});
  Outcome o = Nicdiag("--profile " + profile +
                      " --json phy dump ';' phy dump --method mem --phy-address 3 ';' phy write 0 0x2100 ';' phy dump");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  auto lines = o.Lines();
  ASSERT_EQ(lines.size(), 4u);
  // The partner offers 10 Mb/s half duplex only.
  EXPECT_EQ(lines[0]["link"], true);
  EXPECT_EQ(lines[0]["speed"], 10);
  EXPECT_EQ(lines[0]["full_duplex"], false);
  EXPECT_EQ(lines[0]["autonegotiation_complete"], true);
  EXPECT_EQ(lines[1]["phyid1"], 0x1234);
  EXPECT_EQ(lines[1]["phyid2"], 0x5678);
  // Autonegotiation off: the forced 100 Mb/s full duplex.
  EXPECT_EQ(lines[3]["autonegotiation"], false);
  EXPECT_EQ(lines[3]["speed"], 100);
  EXPECT_EQ(lines[3]["full_duplex"], true);

  Outcome text = Nicdiag("--profile " + profile + " phy dump");
  EXPECT_NE(text.out.find("link up, 10 Mb/s half duplex (autonegotiated)"), std::string::npos) << text.out;
  EXPECT_EQ(Nicdiag("phy read 1 --phy-address 2").exit_code, 2);
  EXPECT_EQ(Nicdiag("phy read 32").exit_code, 2);
}

}  // namespace
