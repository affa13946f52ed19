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
