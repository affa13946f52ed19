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
  nlohmann::json adapter = {{"bus", 0},
                            {"device", 3},
                            {"bars",
                             {{{"type", "memory"}, {"size", "0x1000"}, {"address", "0xF4000000"}},
                              {{"type", "io"}, {"size", "0x40"}, {"address", "0xE000"}}}},
                            {"eeprom", eeprom}};
  if (!phys.is_null()) adapter["phys"] = phys;
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << nlohmann::json{{"buses", {0}}, {"adapters", {adapter}}}.dump();
  return path;
}

std::string Format4(unsigned word) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", word & 0xFFFF);
  return text;
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
  // The size probe (which checks --size), a read before (the old value),
  // the write with two 5 ms cycles and the driver's own read-back, and
  // nicdiag's read back of that word: nothing else of the part.
  EXPECT_EQ(lines[0]["sim_time_us"], 3050 + 3050 + 17915 + 3050 + 3050);

  // A 256-word part is written too, in the same few steps; --checksum adds
  // the reading of every word that the sum needs.
  std::string p256 = Profile("write256.json", {{"words", 256}, {"contents", Ramp(256)}});
  Outcome written =
      Nicdiag("--profile " + p256 +
              " --json eeprom write 5 0xBEEF --yes ';' eeprom read 5 ';' eeprom write 6 1 --yes --checksum");
  EXPECT_EQ(written.exit_code, 0) << written.out;
  lines = written.Lines();
  ASSERT_EQ(lines.size(), 3u) << written.out;
  EXPECT_EQ(lines[1]["value"], 0xBEEF);
  EXPECT_EQ(lines[0]["sim_time_us"], 3350 + 3350 + 19115 + 3350 + 3350);
  EXPECT_EQ(lines[2]["sim_time_us"], 3350 + 3350 + 19115 + 3350 + 3350 + 256 * 3350);
  EXPECT_EQ(lines[0].count("checksum_valid"), 0u);
  EXPECT_EQ(lines[2].count("checksum_valid"), 1u);
}

// A --size that disagrees with the part's address width would read and
// write other words than those named: refused (status 2), nothing touched.
// The probe cannot tell 128 words from 256 (both take 8 address bits), so
// that --size is the user's to give.
TEST(NicdiagEeprom, ASizeTheDriverWouldMisaddressIsRefusedAndTouchesNothing) {
  const struct {
    unsigned words, address_bits;
    const char *command;
    int status;
  } cases[] = {
      {64, 6, "eeprom write 5 0x1234 --yes --size 128", 2}, {64, 6, "eeprom read 5 --size 256", 2},
      {256, 8, "eeprom write 5 0x1234 --yes --size 64", 2}, {128, 8, "eeprom fix-checksum --yes --size 64", 2},
      {64, 6, "eeprom restore IMAGE --yes --size 128", 2},  {256, 8, "eeprom read 5 --size 128", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.command);
    const std::string profile =
        Profile("size" + std::to_string(c.words) + ".json",
                {{"words", c.words}, {"address_bits", c.address_bits}, {"contents", Ramp(c.words)}});
    // An image that would pass every other check: its words sum to 0xBABA.
    nlohmann::json image = Ramp(64);
    uint32_t sum = 0;
    for (unsigned i = 0; i < 63; i++) sum += image[i].get<uint32_t>();
    image[63] = (0xBABA - sum) & 0xFFFF;
    std::string text;
    for (const auto &w : image) text += Format4(w.get<unsigned>()) + "\n";
    const std::string image_path = ::testing::TempDir() + "size_image.txt";
    std::ofstream(image_path) << text;
    std::string command = c.command;
    const size_t at = command.find("IMAGE");
    if (at != std::string::npos) command.replace(at, 5, image_path);
    Outcome o = Nicdiag("--profile " + profile + " --json eeprom dump ';' " + command + " ';' eeprom dump");
    EXPECT_EQ(o.exit_code, c.status) << o.out;
    const auto lines = o.Lines();
    ASSERT_EQ(lines.size(), 3u) << o.out;
    EXPECT_EQ(lines[0]["words"][5], Ramp(c.words)[5]);
    EXPECT_EQ(lines[2]["words"], lines[0]["words"]) << "a word changed";
    if (c.status == 2) {
      EXPECT_NE(lines[1]["error"].get<std::string>().find("disagrees with the part"), std::string::npos) << o.out;
    } else {
      EXPECT_EQ(lines[1]["value"], Ramp(c.words)[5]);
    }
  }
}

// A restore of 256 changed words takes the part's mandated waits (256
// writes, each two 5 ms programming cycles, its bit timing and the
// driver's read-back of the word: 22,465 us; one verifying read of 3,350 us
// a word) and at most 10 % more.
TEST(NicdiagEeprom, RestoreOf256WordsTakesLittleMoreThanThePartsWaits) {
  const std::string profile = Profile("restore256.json", {{"words", 256}});  // erased: every word differs
  std::string text;
  uint32_t sum = 0;
  for (unsigned i = 0; i < 255; i++) {
    text += Format4(i) + "\n";
    sum += i;
  }
  text += Format4((0xBABA - sum) & 0xFFFF) + "\n";
  const std::string image = ::testing::TempDir() + "restore256.txt";
  std::ofstream(image) << text;
  Outcome o = Nicdiag("--profile " + profile + " --json eeprom restore " + image + " --yes ';' eeprom dump");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  const auto lines = o.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["written"], 256);
  EXPECT_EQ(lines[0]["verified"], true);
  EXPECT_EQ(lines[1]["checksum_valid"], true);
  const double mandated = 256.0 * 22465 + 256.0 * 3350;
  const double took = lines[0]["sim_time_us"].get<double>();
  EXPECT_LE(took, 1.10 * mandated) << took / mandated;
  EXPECT_GE(took, 256.0 * 22465);  // every word was really written
}

TEST(NicdiagEeprom, ProfileImageSavedBackKeepsWritesBetweenRuns) {
  std::ofstream(::testing::TempDir() + "image.txt") << "0011 0111 0211\n";
  std::string profile = Profile("saved.json", {{"words", 64}, {"file", "image.txt"}, {"save", true}});
  ASSERT_EQ(Nicdiag("--profile " + profile + " eeprom write 5 0xBEEF --yes").exit_code, 0);
  EXPECT_EQ(Nicdiag("--profile " + profile + " eeprom read 5 ';' eeprom read 1").out,
            "00:03.0 8086:1229: word 0x05 = 0xBEEF\n00:03.0 8086:1229: word 0x01 = 0x0111\n");
}

TEST(NicdiagEeprom, SizeProbeFailuresAreReported) {
  std::string high = Profile("stuckhigh.json", {{"words", 64}, {"do_stuck_high", true}});
  Outcome o = Nicdiag("--profile " + high + " --json eeprom size ';' eeprom read 0");
  EXPECT_EQ(o.exit_code, 1);
  auto lines = o.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["size"], 0);
  // No EEPROM is a failure of its own, not a size of 0.
  EXPECT_FALSE(lines[0]["ok"].get<bool>());
  EXPECT_NE(lines[0]["error"].get<std::string>().find("no EEPROM answered the size probe"), std::string::npos);
  EXPECT_NE(lines[1]["error"].get<std::string>().find("give --size"), std::string::npos);
  EXPECT_EQ(Nicdiag("--profile " + high + " eeprom read 0 --size 64").out, "00:03.0 8086:1229: word 0x00 = 0xFFFF\n");
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

TEST(NicdiagEeprom, ChecksumVerdictFixAndWritesThatBreakIt) {
  // The built-in adapter's image is valid.
  Outcome builtin = Nicdiag("--json eeprom dump");
  ASSERT_EQ(builtin.exit_code, 0) << builtin.out;
  auto line = builtin.Lines().at(0);
  EXPECT_EQ(line["sum"], 0xBABA);
  EXPECT_EQ(line["checksum_valid"], true);
  EXPECT_EQ(line["adapter"], "00:03.0 8086:1229");
  EXPECT_EQ(line["words"][0x0C], 0x8086);  // subsystem vendor, as in the PCI header

  // A ramp of 64 words sums to 0xE440 (0x0011 * 64 + 0x0100 * 2016, 16 bits); the
  // last word 0x3F11 must become 0x3F11 + 0xBABA - 0xE440 = 0x158B.
  std::string profile = Profile("checksum.json", {{"words", 64}, {"contents", Ramp(64)}});
  Outcome wrong = Nicdiag("--profile " + profile + " eeprom dump");
  ASSERT_EQ(wrong.exit_code, 0) << wrong.out;
  EXPECT_NE(wrong.out.find("checksum WRONG: the words sum to 0xE440, not 0xBABA; word 0x3F should be 0x158B (now "
                           "0x3F11)"),
            std::string::npos)
      << wrong.out;
  Outcome refused = Nicdiag("--profile " + profile + " eeprom fix-checksum");
  EXPECT_EQ(refused.exit_code, 1) << refused.out;
  EXPECT_NE(refused.out.find("add --yes"), std::string::npos) << refused.out;

  Outcome fixed = Nicdiag("--profile " + profile +
                          " --json eeprom fix-checksum --yes ';' eeprom dump ';' "
                          "eeprom fix-checksum --yes ';' eeprom write 3 0x1234 --yes --checksum");
  ASSERT_EQ(fixed.exit_code, 0) << fixed.out;
  auto lines = fixed.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["read_back"], 0x158B);
  EXPECT_EQ(lines[1]["sum"], 0xBABA);
  EXPECT_EQ(lines[1]["words"][63], 0x158B);
  EXPECT_EQ(lines[2].count("written"), 0u);  // already valid: nothing written
  // Word 3 went from 0x0311 to 0x1234: the sum moves by 0x0F23.
  EXPECT_EQ(lines[3]["checksum_valid"], false);
  EXPECT_EQ(lines[3]["sum"], (0xBABA + 0x1234 - 0x0311) & 0xFFFF);
  EXPECT_EQ(lines[3]["checksum_fix"], (0x158B - 0x1234 + 0x0311) & 0xFFFF);

  Outcome text = Nicdiag("--profile " + profile + " eeprom write 3 0x1234 --yes --checksum");
  EXPECT_NE(text.out.find("the write leaves the checksum WRONG"), std::string::npos) << text.out;
}

TEST(NicdiagPhy, AbsentPhysTimedOutCyclesAndUnresolvedModesAreNotValues) {
  // PHY 1: autonegotiation on but not complete. PHY 3: never finishes a
  // cycle. PHY 5: none (every register reads 0xFFFF). PHY 7: forced 10 Mb/s full.
  std::string profile = Profile("verdicts.json", {{"words", 64}},
                                {{"1", {{"1", 0x784D}}}, {"3", {{"never_ready", true}}}, {"7", {{"0", 0x0100}}}});
  Outcome o = Nicdiag("--profile " + profile +
                      " --json phy dump ';' phy read 2 --phy-address 3 ';' "
                      "phy read 2 --phy-address 5 ';' phy write 0 0 --phy-address 5 ';' phy dump --phy-address 7 ';' "
                      "phy scan");
  EXPECT_EQ(o.exit_code, 1) << o.out;
  auto lines = o.Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0]["ok"], true);
  EXPECT_EQ(lines[0]["resolved"], false);
  EXPECT_EQ(lines[0].count("speed"), 0u);
  EXPECT_EQ(lines[1]["ok"], false);
  EXPECT_NE(lines[1]["error"].get<std::string>().find("the management cycle did not complete"), std::string::npos);
  EXPECT_EQ(lines[1].count("value"), 0u);
  EXPECT_EQ(lines[2]["ok"], false);
  EXPECT_NE(lines[2]["error"].get<std::string>().find("no PHY at address 5"), std::string::npos);
  EXPECT_EQ(lines[3]["ok"], false);  // nothing written to an absent PHY
  EXPECT_EQ(lines[4]["speed"], 10);
  EXPECT_EQ(lines[4]["full_duplex"], true);
  EXPECT_EQ(lines[5]["phys"].size(), 2u);
  EXPECT_EQ(lines[5]["phys"][0]["address"], 1);
  EXPECT_EQ(lines[5]["phys"][1]["address"], 7);
  EXPECT_EQ(lines[5]["timed_out"], nlohmann::json::array({3}));

  Outcome text = Nicdiag("--profile " + profile + " phy dump");
  EXPECT_NE(text.out.find("link up, autonegotiation not complete: speed and duplex not resolved"), std::string::npos)
      << text.out;
  EXPECT_EQ(text.out.find("Mb/s full"), std::string::npos) << text.out;
}

TEST(NicdiagAdapter, SupportedAdapterIsChosenAndNamedAndEveryFunctionListed) {
  // An unsupported vendor's adapter first, then a two-function device whose
  // second function is the supported adapter, and a device on bus 2.
  nlohmann::json io = {{{"type", "io"}, {"size", 64}, {"address", "0xD000"}}};
  nlohmann::json other = {{"bus", 0}, {"device", 2}, {"vendor", "0x10EC"}, {"device_id", "0x8139"}, {"bars", io}};
  nlohmann::json first = {{"bus", 0},           {"device", 4},           {"function", 0},
                          {"vendor", "0x8086"}, {"device_id", "0x1030"}, {"bars", nlohmann::json::array()}};
  nlohmann::json second = {{"bus", 0},
                           {"device", 4},
                           {"function", 1},
                           {"device_id", "0x1229"},
                           {"bars", {{{"type", "io"}, {"size", 64}, {"address", "0xE000"}}}},
                           {"eeprom", {{"contents", {"0x1111"}}}}};
  nlohmann::json far = {{"bus", 2}, {"device", 1}, {"device_id", "0x5201"}, {"bars", nlohmann::json::array()}};
  std::string path = ::testing::TempDir() + "adapters.json";
  std::ofstream(path) << nlohmann::json{{"adapters", {other, first, second, far}}}.dump();
  Outcome o = Nicdiag("--profile " + path +
                      " pci list ';' eeprom read 0 ';' eeprom read 0 --bus 0 --device 2 "
                      "';' pci read 0 4.1 0x0c 4");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  EXPECT_NE(o.out.find("00:02.0 0200: 10ec:8139 (rev 08)\n00:04.0 0200: 8086:1030 (rev 08)\n"
                       "00:04.1 0200: 8086:1229 (rev 08)\n02:01.0 0200: 8086:5201 (rev 08)\n"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("00:04.1 8086:1229: word 0x00 = 0x1111"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("00:02.0 10ec:8139: word 0x00 = 0xFFFF"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\n0c: 00 20 80 00"), std::string::npos) << o.out;  // header type: multi-function

  std::ofstream(path) << nlohmann::json{{"adapters", {other}}}.dump();
  Outcome none = Nicdiag("--profile " + path + " phy dump");
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_NE(none.out.find("no supported adapter found"), std::string::npos) << none.out;
}

}  // namespace
