// nicdiag given malformed input: each case names what is wrong (with the
// file and line where there is one) and ends with the documented status,
// without crashing, hanging or running any command. With them, the input it
// reads but cannot carry out, whose exit status tells what happened.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../common/run_tool.h"
#include "nicdiag_version.h"

namespace {

Outcome Nicdiag(const std::string &arguments) { return RunTool(NICDIAG_PATH, arguments); }

std::string Dir() {
  std::string dir = ::testing::TempDir() + "nicdiag_bad/";
  std::filesystem::create_directories(dir);
  return dir;
}

std::string WriteFile(const std::string &name, const std::string &text) {
  std::string path = Dir() + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// The arguments of a run of id on a profile whose adapter carries the given
// extra members, one per line after line 3 ("bus" is on line 3).
std::string WithProfile(const std::string &name, const std::string &members) {
  return "--profile " +
         WriteFile(name, "{\n  \"adapters\": [ {\n    \"bus\": 0, \"device\": 3,\n" + members +
                             "    \"bars\": [ { \"type\": \"io\", \"size\": 64, \"address\": \"0xE000\" } ] } ]\n}\n") +
         " id";
}

struct Case {
  std::string name;
  std::string arguments;
  std::string message;  // expected in the output
  int status;
};

TEST(NicdiagBadInput, EachMalformedInputIsNamedAndRefused) {
  const std::string dir = Dir();
  std::filesystem::create_directories(dir + "folder");
  std::ofstream(dir + "image.txt") << "0011 0111\n0211 XYZ\n";
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  std::string long_line = "stall";
  long_line += std::string(1100, ' ') + "1 ; id\n";
  std::string huge(1100000, ' ');
  huge += "id\n";
  std::string huge_script((16 << 20) + 1, ' ');
  huge_script += "id\n";
  // An image of the built-in part with one word changed: its sum is wrong.
  std::string damaged = "0002 494E 0143 0000 0000 0201 4701 0000 0000 0000 0000 0001 8086 0001\n";
  for (int i = 14; i < 63; i++) damaged += "0000\n";
  damaged += "A69E\n";
  const std::string damaged_image = WriteFile("damaged.txt", damaged);
  const std::string image_in = WriteFile("restore_me.txt", "0001 BAB9\n");
  const std::string script_out = WriteFile("writes_itself.txt", "eeprom dump --out " + dir + "writes_itself.txt\n");
  const std::string eeprom_profile =
      WriteFile("eeprom_file.json",
                "{ \"adapters\": [ { \"bars\": [ { \"type\": \"io\", \"size\": 64, \"address\": \"0xE000\" } ],\n"
                "  \"eeprom\": { \"file\": \"restore_me.txt\" } } ] }\n");
  std::filesystem::remove(dir + "linked.json");
  std::filesystem::create_hard_link(eeprom_profile, dir + "linked.json");
  // Two adapters, or two BARs of one, whose windows overlap; each line
  // holds one BAR, so the message's line is the later BAR's.
  const auto adapters = [&](const std::string &name, const std::string &first, const std::string &second) {
    return "--profile " +
           WriteFile(name, "{ \"adapters\": [\n  { \"device\": 3, \"bars\": [\n    " + first +
                               " ] },\n  { \"device\": 4, \"bars\": [\n    " + second + " ] } ] }\n") +
           " id";
  };
  const std::string stuck =
      WriteFile("no_eeprom.json",
                "{ \"adapters\": [ { \"bars\": [ { \"type\": \"io\", \"size\": 64, \"address\": \"0xE000\" } ],\n"
                "  \"eeprom\": { \"do_stuck_high\": true } } ] }\n");

  std::vector<Case> cases = {
      {"unknown command", "frobnicate", "unknown command 'frobnicate'", 2},
      {"bad width", "port read 12 0xE000", "width must be 8, 16 or 32", 2},
      {"number above 32 bits", "port read 8 0x100000000", "bad port '0x100000000'", 2},
      {"byte value too wide", "port write 8 0xE000 0x1FF", "VALUE 0x1FF does not fit in 8 bits", 2},
      {"word value too wide", "mem write 16 0x1000 0x10000", "does not fit in 16 bits", 2},
      {"--bus without --device", "eeprom read 5 --bus 0", "--bus needs --device", 2},
      {"--device and --register", "phy dump --bus 0 --device 3 --register 0xE000", "not both", 2},
      {"even PHY address", "phy read 1 --phy-address 2", "--phy-address must be odd", 2},
      {"EEPROM word above 16 bits", "eeprom write 1 0x10000 --yes", "VALUE must fit in 16 bits", 2},
      {"missing script", "--script " + dir + "none.txt", "none.txt: cannot open the script", 2},
      {"script is a folder", "--script " + dir + "folder", "folder: the script is not a regular file", 2},
      {"script is a device", "--script /dev/zero", "/dev/zero: the script is not a regular file", 2},
      {"oversize script", "--script " + WriteFile("huge.txt", huge_script), "the script is larger than 16777216 bytes",
       2},
      {"NUL byte in a script", "--script " + WriteFile("nul.txt", std::string("id\nstall\0 1\n", 12)),
       "nul.txt:2: a NUL byte", 2},
      {"bad line in a script, nothing run",
       "--script " + WriteFile("bad_line.txt", "id\n# comment\nport read 8 0xE000 extra\nid\n"),
       "bad_line.txt:3: port read 8 0xE000 extra: expected 3 arguments", 2},
      {"script line read whole", "--script " + WriteFile("long.txt", "id\n" + long_line + "stall x\n"),
       "long.txt:3: stall x: bad microseconds 'x'", 2},
      {"error found only at run time still names its line",
       "--script " + WriteFile("run_time.txt", "\n\neeprom read 70\n"),
       "run_time.txt:3: eeprom read 70: 00:03.0 8086:1229: WORD must be below the size, 64", 2},
      {"missing profile", "--profile " + dir + "none.json id", "cannot open the profile", 2},
      {"profile is a folder", "--profile " + dir + "folder id", "the profile is not a regular file", 2},
      {"profile is a device", "--profile /dev/zero id", "the profile is not a regular file", 2},
      {"oversize profile", "--profile " + WriteFile("huge.json", "{\"comment\": \"" + huge + "\"}") + " id",
       "the profile is larger than 1048576 bytes", 2},
      {"deeply nested profile", "--profile " + WriteFile("deep.json", deep) + " id",
       "deep.json:1: nested deeper than 32 levels", 2},
      {"profile not JSON", "--profile " + WriteFile("broken.json", "{\n  \"buses\": [0,\n  ,]\n}\n") + " id",
       "broken.json:3: not valid JSON", 2},
      {"unknown fault",
       "--profile " + WriteFile("fault.json", "{\n  \"faults\": {\n    \"map_io_spce\": \"once\" }\n}\n") + " id",
       "fault.json:3: faults.map_io_spce: unknown fault", 2},
      {"bad word in an EEPROM image", WithProfile("image.json", "    \"eeprom\": { \"file\": \"image.txt\" },\n"),
       "image.txt:2: bad word 'XYZ'", 2},
      {"EEPROM image is a folder",
       WithProfile("image_dir.json", "    \"eeprom\": { \"file\": \"folder\", \"save\": true },\n"),
       "the EEPROM image is not a regular file", 2},
      {"device cannot be opened",
       "--profile " + WriteFile("no_device.json", "{ \"faults\": { \"create_device\": \"always\" } }") + " id",
       "the driver did not load", 3},
      // Read, but not carried out: the status tells what happened.
      {"bus out of range", "pci read 300 3.0 0 4", "BUS 300 is out of range", 2},
      {"device out of range", "pci read -s 00:20.0 0 4", "-s needs", 2},
      {"slot number out of range", "pci read 0 0x100 0 4", "bad slot '0x100'", 2},
      {"resources on bus 300", "resources 0 release --bus 300", "--bus must be 0 to 255", 2},
      {"no such bus", "pci read 5 3.0 0 4", "05:03.0 +0x00: read 0 of 4 bytes", 1},
      {"empty slot", "pci read 0 5.0 0 4", "no function there: its vendor ID reads ffff", 1},
      {"partial write", "pci write 0 3.0 0xFF 0102", "wrote only 1 of 2 bytes", 1},
      {"absent EEPROM", "--profile " + stuck + " eeprom size", "no EEPROM answered the size probe", 1},
      {"dump that cannot be saved", "eeprom dump --out " + dir + "missing/x.txt", "No such file or directory", 1},
      {"first failure stops the script", "--stop-on-error pci read 5 3.0 0 4 ';' id ';' id",
       "stopped at the first failure (--stop-on-error): 2 commands not run", 1},
      {"JSON error before any command", "--json --script " + dir + "none.txt",
       "{\"ok\":false,\"error\":\"" + dir + "none.txt: cannot open the script: No such file or directory\"}", 2},
      {"JSON usage error", "--json pci read 300 3.0 0 4", "{\"command\":\"pci read 300 3.0 0 4\",\"ok\":false", 2},
      {"version", "--version", std::string("nicdiag version ") + NICDIAG_VERSION + "\n", 0},
      // Sizes and counts are checked against the part before anything is
      // read or written.
      {"--size wider than the part", "eeprom read 5 --size 128",
       "--size 128 disagrees with the part: it answers the size probe with 64 words (6 address bits, not 8)", 2},
      {"--size in a script names its line",
       "--script " + WriteFile("sizes.txt", "\neeprom write 5 0x1234 --size 256 --yes\n"),
       "sizes.txt:2: eeprom write 5 0x1234 --size 256 --yes: 00:03.0 8086:1229: --size 256 disagrees", 2},
      {"image of another size", "eeprom restore " + image_in + " --yes",
       "restore_me.txt holds 2 words; the EEPROM has 64: not its image; nothing written", 2},
      {"image with a wrong checksum, refused before anything runs", "id ';' eeprom restore " + damaged_image + " --yes",
       "damaged.txt: the image's words sum to 0xBABB, not 0xBABA", 2},
      {"image on standard input beside the script", "--script - eeprom restore - --yes",
       "restore - reads the image from standard input, which holds the script", 2},
      {"--out - with --json", "--json id ';' eeprom dump --out -", "--json keeps for JSON", 2},
      // No output may replace an input of the same run.
      {"--out onto the profile", "--profile " + eeprom_profile + " id ';' dmi --out " + eeprom_profile,
       "the output " + eeprom_profile + " is the same file as the profile", 2},
      {"--out onto the profile under another name",
       "--profile " + eeprom_profile + " id ';' pir --out " + dir + "linked.json",
       "linked.json is the same file as the profile", 2},
      {"--out onto the script", "--script " + script_out,
       "writes_itself.txt:1: eeprom dump --out " + dir + "writes_itself.txt: the output", 2},
      {"--out onto the image restored",
       "eeprom restore " + damaged_image + " --ignore-checksum --yes ';' eeprom dump --out " + damaged_image,
       "is the same file as the image to restore", 2},
      {"--out onto a file the profile names", "--profile " + eeprom_profile + " id ';' eeprom dump --out " + image_in,
       "is the same file as the file the profile names", 2},
      // Windows and translations that overlap are refused with the line.
      {"memory windows of two adapters overlap",
       adapters("overlap.json", "{ \"type\": \"memory\", \"size\": 4096, \"address\": \"0xF4000000\" }",
                "{ \"type\": \"memory\", \"size\": 8192, \"address\": \"0xF4000000\" }"),
       "overlap.json:5: adapters[1].bars[0].address: memory window overlaps adapters[0].bars[0] "
       "(0xF4000000-0xF4000FFF)",
       2},
      {"I/O windows of one adapter overlap",
       adapters("overlap_io.json",
                "{ \"type\": \"io\", \"size\": 64, \"address\": \"0xE000\" },\n    { \"type\": \"io\", \"size\": 32, "
                "\"address\": \"0xE020\" }",
                "{ \"type\": \"io\", \"size\": 64, \"address\": \"0xE100\" }"),
       "overlap_io.json:4: adapters[0].bars[1].address: I/O window overlaps adapters[0].bars[0] (0xE000-0xE03F)", 2},
      {"translations overlap",
       "--profile " +
           WriteFile("overlap_tr.json",
                     "{ \"translate_to_io\": [\n { \"start\": \"0xF8000000\", \"size\": "
                     "\"0x100000\" },\n { \"start\": \"0xF80FF000\", \"size\": 4096 } ] }\n") +
           " id",
       "overlap_tr.json:3: translate_to_io[1].start: overlaps translate_to_io[0] on bus 0", 2},
      {"configuration read past its end", "pci read 0 3.0 0xFF0 32",
       "OFFSET 0xFF0 + 32 bytes runs past 0xFFF, the end of configuration space", 2},
      {"two adapters saving one image",
       "--profile " +
           WriteFile("one_image.json",
                     "{ \"adapters\": [\n"
                     "  { \"device\": 3, \"bars\": [ { \"type\": \"io\", \"size\": 64, \"address\": \"0xE000\" } ],\n"
                     "    \"eeprom\": { \"file\": \"restore_me.txt\", \"save\": true } },\n"
                     "  { \"device\": 4, \"bars\": [ { \"type\": \"io\", \"size\": 64, \"address\": \"0xE100\" } ],\n"
                     "    \"eeprom\": { \"file\": \"restore_me.txt\", \"save\": true } } ] }\n") +
           " id",
       "one_image.json:5: adapters[1].eeprom.file: the image adapters[0] saves too", 2},
      // Numbers are decimal or 0x hexadecimal, nothing else.
      {"octal-looking number with a bad digit", "stall 09x", "bad microseconds '09x'", 2},
  };
  // Profiles whose adapter carries a bad member: the message names the
  // file, the member's line and its path.
  const struct {
    const char *file, *members, *message;
  } members[] = {
      {"misspelt.json", "    \"iqr\": 11,\n", "4: adapters[0].iqr: unknown key \"iqr\""},
      {"eeprom_key.json", "    \"eeprom\": {\n      \"wrods\": 64 },\n", "5: adapters[0].eeprom.wrods: unknown key"},
      {"type.json", "    \"eeprom\": { \"words\": 64,\n \"save\": \"yes\" },\n",
       "5: adapters[0].eeprom.save: must be true or false"},
      {"range.json", "    \"irq\": 256,\n", "4: adapters[0].irq: 256 is out of range (at most 255)"},
      {"huge_number.json", "    \"vendor\": \"0x1FFFFFFFFFFFFFFFFF\",\n",
       "4: adapters[0].vendor: \"0x1FFFFFFFFFFFFFFFFF\" is out of range"},
      {"fraction.json", "    \"irq\": 1.5,\n", "4: adapters[0].irq: must be a whole number"},
      {"phy.json", "    \"phys\": { \"1\": {\n      \"4\": 65536 } },\n",
       "5: adapters[0].phys.1.4: 65536 is out of range"},
      {"plus.json", "    \"irq\": \"+5\",\n", "4: adapters[0].irq: \"+5\" is not a number"},
      {"blank.json", "    \"irq\": \" 5\",\n", "4: adapters[0].irq: \" 5\" is not a number"},
      {"bare_0x.json", "    \"irq\": \"0x\",\n", "4: adapters[0].irq: \"0x\" is not a number"},
      {"octal_prefix.json", "    \"irq\": \"0o7\",\n", "4: adapters[0].irq: \"0o7\" is not a number"},
      {"eeprom_word.json", "    \"eeprom\": { \"contents\": [\n \"+1\" ] },\n",
       "5: adapters[0].eeprom.contents[0]: \"+1\" is not a number"},
  };
  for (const auto &m : members)
    cases.push_back({m.file, WithProfile(m.file, m.members), std::string(m.file) + ":" + m.message, 2});
  for (const Case &c : cases) {
    Outcome o = Nicdiag(c.arguments);
    EXPECT_EQ(o.exit_code, c.status) << c.name << "\n" << o.out;
    EXPECT_NE(o.out.find(c.message), std::string::npos) << c.name << "\n" << o.out;
    // Checked before any command ran, or stopped before it: no id ran.
    EXPECT_EQ(o.out.find("identifier"), std::string::npos) << c.name << "\n" << o.out;
  }
}

// "010" is ten wherever a number is read: the command line, a script and a
// hardware profile (JSON strings and the phys keys); never eight.
TEST(NicdiagBadInput, LeadingZerosAreDecimal) {
  const std::string profile =
      WriteFile("zeros.json",
                "{ \"adapters\": [ { \"irq\": \"010\", \"revision\": \"0x010\",\n"
                "  \"bars\": [ { \"type\": \"io\", \"size\": \"064\", \"address\": \"0xE000\" } ],\n"
                "  \"phys\": { \"011\": { \"2\": \"0100\" } } } ] }\n");
  const std::string script = WriteFile("zeros.txt", "stall 010\npci read 0 3.0 0x3C 1\n");
  Outcome o = Nicdiag("--json --profile " + profile + " --script " + script +
                      " stall 0010 ';' pci read 0 3.0 0x08 1 ';' phy read 2 --phy-address 011 --register 0xE000");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  const auto lines = o.Lines();
  ASSERT_EQ(lines.size(), 5u) << o.out;
  const struct {
    size_t line;
    const char *key;
    nlohmann::json expected;
  } checks[] = {
      {0, "sim_time_us", 10},  // stall 0010 on the command line
      {1, "data", "10"},       // revision "0x010": 16
      {2, "value", 100},       // PHY 11 ("011"), register 2 = "0100": one hundred
      {3, "sim_time_us", 10},  // stall 010 in the script
      {4, "data", "0a"},       // interrupt line "010": ten
  };
  for (const auto &c : checks) EXPECT_EQ(lines[c.line][c.key], c.expected) << c.line << " " << o.out;
}

TEST(NicdiagBadInput, TruncationIsExplicitAndShowsTheValueCarried) {
  Outcome o = Nicdiag(
      "port write 8 0xE000 0x1FF --truncate ';' port read 8 0xE000 ';' "
      "mem map 0 0xF4000000 0x1000");
  ASSERT_EQ(o.exit_code, 0) << o.out;
  EXPECT_NE(o.out.find("port 0xE000 (8-bit) <- 0xFF (0x1FF truncated to 8 bits)\nport 0xE000 (8-bit) = 0xFF"),
            std::string::npos)
      << o.out;
}

TEST(NicdiagBadInput, ALongScriptLineStaysOneLine) {
  std::string line = "stall";
  line += std::string(1100, ' ') + "7 ; id\n";
  Outcome o = Nicdiag("--json --script " + WriteFile("long_ok.txt", line));
  ASSERT_EQ(o.exit_code, 0) << o.out;
  auto lines = o.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["sim_time_us"], 7);
  EXPECT_NE(lines[1]["origin"].get<std::string>().find("long_ok.txt:1"), std::string::npos);
}

TEST(NicdiagBadInput, AnEepromImageThatCannotBeSavedFailsTheRun) {
  if (geteuid() == 0) GTEST_SKIP() << "file permissions do not stop root";
  const std::string image = WriteFile("readonly.txt", "0011 0111\n");
  chmod(image.c_str(), 0444);
  Outcome o = Nicdiag(WithProfile("readonly.json",
                                  "    \"eeprom\": { \"file\": \"readonly.txt\", "
                                  "\"save\": true },\n"));
  EXPECT_EQ(o.exit_code, 2) << o.out;
  EXPECT_NE(o.out.find("readonly.txt cannot be written"), std::string::npos) << o.out;
}

}  // namespace
