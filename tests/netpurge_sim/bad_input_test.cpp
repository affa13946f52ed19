// Bad input to netpurge-sim: each malformed profile, .reg file or argument
// must end the tool with status 2 and a message naming the file (and line),
// quickly and without a report; none may crash, hang or be cut silently.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "nickit_version.h"
#include "sim/common/profile_schema.h"

#include "tests/common/run_tool.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

struct BadInput {
  const char* name;
  const char* profile;   // profile.json text; "" for none
  const char* reg;       // registry.reg text; "" for none
  const char* args;      // further arguments; $DIR is the case's folder
  const char* expected;  // part of the message, $DIR as above
};

const BadInput kCases[] = {
    {"ProfileIsAFolder", "", "", "--profile $DIR", "$DIR: is a folder, not a file"},
    {"ProfileIsADevice", "", "", "--profile /dev/zero", "/dev/zero: not a regular file"},
    {"ProfileMissing", "", "", "--profile $DIR/none.json", "none.json: no such file"},
    {"MalformedJson", "{\n  \"platform\": \"win98\",\n  \"admin\": tru\n}", "", "", "profile.json:3: malformed JSON"},
    {"NotAnObject", "[1, 2]", "", "", "profile.json:1: a profile must be an object, not a list"},
    {"WrongType", "{\n  \"platform\": \"win98\",\n  \"admin\": \"yes\"\n}", "", "",
     "profile.json:3: admin must be true or false, not a string"},
    {"WrongTypeInList", "{\"user\": [\"ok\",\n 7]}", "", "", "profile.json:2: user[1] is 7, not an answer"},
    {"MisspeltTopLevelKey", "{\n  \"platfrom\": \"win98\"\n}", "", "", "profile.json:2: unknown key \"platfrom\""},
    {"MisspeltNetcfgKey", "{\"platform\": \"win2000\",\n \"netcfg\": {\n  \"adaptors\": []}}", "", "",
     "profile.json:3: unknown key \"netcfg.adaptors\""},
    {"MisspeltFailureKey", "{\"netcfg\": {\"fail\": {\n \"lok\": true}}}", "", "",
     "profile.json:2: unknown key \"netcfg.fail.lok\""},
    {"MisspeltDeviceKey", "{\"devices\": [\n {\"instance_id\": \"PCI\\\\X\",\n  \"remov_fails\": true}]}", "", "",
     "profile.json:3: unknown key \"devices[0].remov_fails\""},
    {"DeviceWithoutId", "{\"devices\": [\n {\"description\": \"x\"}]}", "", "",
     "profile.json:2: devices[0]: \"instance_id\" is missing"},
    {"NumberTooLarge", "{\"netcfg\": {\n \"lock_held_ms\": 1099511627776}}", "", "",
     "profile.json:2: netcfg.lock_held_ms is 1099511627776, out of range"},
    {"NegativeNumber", "{\"faults\": {\"missing_strings\": [\n -1]}}", "", "",
     "profile.json:2: faults.missing_strings[0] is -1, out of range"},
    {"StringIdTooLarge", "{\"faults\": {\"missing_strings\": [70000]}}", "", "", "from 0 to 65535"},
    // The line of a number is its own, not that of the line break after it.
    {"NumberAtTheEndOfALine", "{\"faults\": {\"missing_strings\": [\n 1,\n 70000\n]}}", "", "",
     "profile.json:3: faults.missing_strings[1] is 70000, out of range"},
    {"FractionalNumber", "{\"screen\": [800.5, 600]}", "", "", "screen must be [width, height]"},
    {"PlatformIdTooLarge", "{\"platform\": {\"id\": 4294967296, \"major\": 5}}", "", "",
     "platform has \"id\" 4294967296: it must be a whole number from 0 to 4294967295"},
    {"UnknownPlatform", "{\"platform\": \"win2003\"}", "", "", "unknown platform \"win2003\""},
    {"BindingToUnknownAdapter",
     "{\"netcfg\": {\"adapters\": [{\"id\": \"a\"}], \"protocols\": [\"ms_tcpip\"],\n \"bindings\": [\n  "
     "[\"ms_tcpip\", "
     "\"b\"]]}}",
     "", "", "profile.json:3: netcfg.bindings[0]: \"b\" is not an adapter of the profile"},
    {"DuplicateComponent", "{\"netcfg\": {\"adapters\": [{\"id\": \"a\"},\n {\"id\": \"A\"}]}}", "", "",
     "profile.json:2: netcfg.adapters[1]: duplicate component id \"A\""},
    {"RegistryIsAFolder", "{\"registry\": \".\"}", "", "", ": is a folder, not a file"},
    {"RegistryIsADevice", "{\"registry\": \"/dev/zero\"}", "", "", "/dev/zero: not a regular file"},
    {"RegistryNotARegFile", "{\"registry\": \"registry.reg\"}", "just text\n", "",
     "registry.reg:1: not a registry file"},
    {"RegistryBadValue", "{\"registry\": \"registry.reg\"}",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1234567890\n", "",
     "registry.reg:4: dword: needs 1 to 8 hex digits"},
    {"RegistryKeyNameTooLong", "{\"registry\": \"registry.reg\"}", "", "",
     "registry.reg:3: key name of 300 characters, more than the 255"},
    {"RegistryNestedTooDeep", "{\"registry\": \"registry.reg\"}", "", "",
     "registry.reg:3: key nested 100000 levels deep, more than the 512"},
    {"RegistryEmpty", "{\"registry\": \"registry.reg\"}", "", "",
     "registry.reg: the file is empty, not a registry file"},
    {"RegistryUtf8WithAByteThatIsNot", "{\"registry\": \"registry.reg\"}",
     "\xEF\xBB\xBFREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"Driver\"=\"Net\\\\\xD2"
     "000\"\n",
     "", "registry.reg:4: byte 0xD2 is not UTF-8"},
    {"DuplicateKey", "{\n  \"platform\": \"win98\",\n  \"platform\": \"win2000\"\n}", "", "",
     "profile.json:3: duplicate key \"platform\""},
    {"DuplicateNestedKey",
     "{\"devices\": [{\"instance_id\": \"A\"}, {\"instance_id\": \"B\",\n \"instance_id\": \"C\"}]}", "", "",
     "profile.json:2: duplicate key \"devices[1].instance_id\""},
    {"UnknownOption", "", "", "--bogus", "--bogus"},
    {"UnknownAnswer", "", "", "--user ok,maybe", "--user: unknown answer \"maybe\""},
    // An empty value is no value: not "OK", not the built-in machine.
    {"EmptyUser", "", "", "--user ''", "--user: the value is empty"},
    {"EmptyAnswerInTheList", "", "", "--user ok,,cancel", "--user: unknown answer \"\""},
    {"EmptyProfile", "", "", "--profile ''", "--profile: the value is empty"},
    {"EmptyBackup", "", "", "--backup ''", "--backup: the value is empty"},
    // A NUL would cut a name where it is used as a C string.
    {"NulInAJsonString", "{\"platform\": \"win98\",\n \"command_line\": \"a\\u0000b\"}", "", "",
     "profile.json:2: malformed JSON: a string holds a NUL character"},
    {"NulInAJsonKey", "{\"platform\": \"win98\",\n\n \"a\\u0000\": 1}", "", "",
     "profile.json:3: malformed JSON: a string holds a NUL character"},
    {"RegistryKeyNameWithNul", "{\"registry\": \"registry.reg\"}", "", "", "registry.reg:3: a NUL character"},
    {"RegistryValueNameWithNul", "{\"registry\": \"registry.reg\"}", "", "", "registry.reg:4: a NUL character"},
    {"RegistryUtf16KeyNameWithNul", "{\"registry\": \"registry.reg\"}", "", "", "registry.reg:3: a NUL character"},
    // The machine's code page reads the file: bytes it does not define.
    {"RegistryByteOutsideTheCodePage", "{\"code_page\": 932, \"registry\": \"registry.reg\"}",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"\x85\x40\"\n", "",
     "registry.reg:4: byte 0x85 and the byte after it stand for no character of the machine's code page 932"},
    {"UnknownCodePage", "{\n \"code_page\": 437}", "", "", "profile.json:2: code_page is 437, not a code page"},
    // An output over one of the run's inputs, found by device and inode.
    {"ExportOverTheProfile", "{}", "", "--export-registry $DIR/profile.json",
     "--export-registry $DIR/profile.json: that is the profile"},
    {"BackupOverTheRegistryFile", "{\"registry\": \"registry.reg\"}", "REGEDIT4\n", "--backup $DIR/./registry.reg",
     "--backup $DIR/./registry.reg: that is the registry file"},
    {"FilesExportOverTheFilesList", "{\"files\": \"files.json\"}", "", "--export-files $DIR/files.json",
     "that is the files list"},
    {"TwoOutputsInOneFile", "{}", "", "--backup $DIR/x.reg --export-registry $DIR/x.reg", "the same file as"},
    {"TwoOutputsOnStandardOutput", "", "", "--export-registry - --backup -",
     "only one output can go to standard output"},
};

class NetpurgeSimBadInput : public ::testing::TestWithParam<BadInput> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("netpurge-sim-bad-" + std::to_string(::getpid()) + "-" + GetParam().name);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string expand(std::string text) const {
    for (std::size_t at; (at = text.find("$DIR")) != std::string::npos;) text.replace(at, 4, dir_.string());
    return text;
  }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  fs::path dir_;
};

TEST_P(NetpurgeSimBadInput, RefusedWithStatus2AndAMessageNamingTheFile) {
  const BadInput& c = GetParam();
  std::string reg = c.reg;
  const std::string name = c.name;
  if (name == "RegistryKeyNameTooLong") reg = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + std::string(300, 'k') + "]\n";
  if (name == "RegistryKeyNameWithNul") reg = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\0B]\n"s;
  if (name == "RegistryValueNameWithNul") reg = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\0w\"=\"x\"\n"s;
  if (name == "RegistryUtf16KeyNameWithNul") {
    const std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A\0B]\r\n"s;
    reg = "\xFF\xFE";
    for (char16_t u : text) reg += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  }
  if (name == "FilesExportOverTheFilesList") write("files.json", "[]");
  if (name == "RegistryNestedTooDeep") {
    reg = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 100000; ++i) reg += "\\k";
    reg += "]\n";
  }
  if (!reg.empty() || name == "RegistryEmpty") write("registry.reg", reg);
  std::string args = expand(c.args);
  if (*c.profile) {
    write("profile.json", c.profile);
    args = "--profile " + (dir_ / "profile.json").string() + " " + args;
  }
  const Outcome o = RunTool(NETPURGE_SIM_PATH, args);
  EXPECT_EQ(o.exit_code, 2) << o.out;
  EXPECT_EQ(o.out.rfind("netpurge-sim: ", 0), 0u) << o.out;
  EXPECT_NE(o.out.find(expand(c.expected)), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("Exit code:"), std::string::npos) << "a report was printed: " << o.out;
  // With --json the error comes as one JSON object on standard output too.
  const Outcome j =
      RunTool(std::string("sh -c 'exec \"$0\" \"$@\" 2>/dev/null' ") + NETPURGE_SIM_PATH, args + " --json");
  EXPECT_EQ(j.exit_code, 2) << j.out;
  const nlohmann::json error = nlohmann::json::parse(j.out, nullptr, false);
  ASSERT_TRUE(error.is_object()) << j.out;
  EXPECT_EQ(error.value("exit_status", 0), 2) << j.out;
  EXPECT_NE(error.value("error", "").find(expand(c.expected)), std::string::npos) << j.out;
}

INSTANTIATE_TEST_SUITE_P(Table, NetpurgeSimBadInput, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Files larger than the limits are refused by their size, before anything
// is read: sparse files of the size are enough.
TEST(NetpurgeSimLimits, OversizedProfileAndRegistryAreRefusedBeforeReading) {
  const fs::path dir = fs::temp_directory_path() / ("netpurge-sim-big-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "big.json").put('{');
  fs::resize_file(dir / "big.json", 17u << 20);
  Outcome o = RunTool(NETPURGE_SIM_PATH, "--profile " + (dir / "big.json").string());
  EXPECT_EQ(o.exit_code, 2) << o.out;
  EXPECT_NE(o.out.find("more than the limit of 16777216"), std::string::npos) << o.out;

  std::ofstream(dir / "p.json") << "{\"registry\": \"big.reg\"}";
  std::ofstream(dir / "big.reg") << "REGEDIT4\n";
  fs::resize_file(dir / "big.reg", (256u << 20) + 1);
  o = RunTool(NETPURGE_SIM_PATH, "--profile " + (dir / "p.json").string());
  EXPECT_EQ(o.exit_code, 2) << o.out;
  EXPECT_NE(o.out.find("big.reg: the file is 268435457 bytes, more than the limit"), std::string::npos) << o.out;
  fs::remove_all(dir);
}

// The statuses besides bad input: 0 for a completed run, 3 for one that
// could not go on (the scripted user has no answer for the dialog).
TEST(NetpurgeSimStatus, CompletedRunIs0AndARunThatCannotGoOnIs3) {
  Outcome o = RunTool(NETPURGE_SIM_PATH, "");
  EXPECT_EQ(o.exit_code, 0) << o.out;
  const fs::path file = fs::temp_directory_path() / ("netpurge-sim-status-" + std::to_string(::getpid()) + ".json");
  std::ofstream(file) << "{\"platform\": \"win98\", \"user\": []}";
  o = RunTool(NETPURGE_SIM_PATH, "--profile " + file.string());
  EXPECT_EQ(o.exit_code, 3) << o.out;
  fs::remove(file);
}

// Status that tells the truth: output that cannot be written fails the run
// with the system's reason; --version prints the build's version.
TEST(NetpurgeSimStatus, OutputFailuresAndVersion) {
  // Standard output to /dev/full, standard error kept.
  const std::string full = std::string("sh -c 'exec \"$0\" \"$@\" >/dev/full' ") + NETPURGE_SIM_PATH;
  const struct {
    std::string program, args;
    int status;
    std::string expected;
  } cases[] = {
      {NETPURGE_SIM_PATH, "--version", 0, "netpurge-sim " NICKIT_NETPURGE_VERSION "\n"},
      {full, "", 1, "netpurge-sim: cannot write the report to standard output: No space left on device\n"},
      {full, "--json", 1, "netpurge-sim: cannot write the report to standard output: No space left on device\n"},
      {full, "--version", 1, "netpurge-sim: cannot write to standard output: No space left on device\n"},
      {NETPURGE_SIM_PATH, "--export-registry /dev/full", 1,
       "netpurge-sim: /dev/full: cannot write the file: No space left on device\n"},
      {NETPURGE_SIM_PATH, "--backup /nonexistent/undo.reg", 1,
       "netpurge-sim: /nonexistent/undo.reg: cannot make a file beside it: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    const Outcome o = RunTool(c.program, c.args);
    EXPECT_EQ(o.exit_code, c.status) << c.args;
    EXPECT_EQ(o.out, c.expected) << c.args;
  }
}

// --export-registry writes regedit's own format for the platform, and what
// it writes reads back as the same registry: Version 5.00 in UTF-16 on
// Windows 2000 keeps keys that differ only outside the ANSI code page;
// REGEDIT4 on Windows 98 keeps the code page's characters.
TEST(NetpurgeSimExport, RoundTripThroughRegeditsFormat) {
  const fs::path dir = fs::temp_directory_path() / ("netpurge-sim-export-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  auto utf16 = [](const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t u : text) out += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    return out;
  };
  const struct {
    const char* platform;
    std::string reg, header;
    std::vector<std::string> keys;  // as the export must spell them
  } cases[] = {
      {"win2000",
       utf16(u"Windows Registry Editor Version "
             u"5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\\u03A9a]\r\n\"v\"=\"\u03A3\"\r\n\r\n"
             u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\\u03A3a]\r\n"),
       utf16(u"Windows Registry Editor Version 5.00\r\n"),
       {utf16(u"\\\u03A9a]").substr(2), utf16(u"\\\u03A3a]").substr(2)}},
      {"win98",
       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\\xE9t\xE9]\r\n\"v\"=\"\x80\"\r\n",
       "REGEDIT4\r\n",
       {"\\\xE9t\xE9]", "\"v\"=\"\x80\""}},
  };
  for (const auto& c : cases) {
    std::ofstream(dir / "in.reg", std::ios::binary) << c.reg;
    std::ofstream(dir / "p.json") << "{\"platform\": \"" << c.platform << "\", \"registry\": \"in.reg\"}";
    std::ofstream(dir / "q.json") << "{\"platform\": \"" << c.platform << "\", \"registry\": \"out1.reg\"}";
    Outcome o = RunTool(NETPURGE_SIM_PATH, "--user cancel --profile " + (dir / "p.json").string() +
                                               " --export-registry " + (dir / "out1.reg").string());
    ASSERT_EQ(o.exit_code, 0) << o.out;
    o = RunTool(NETPURGE_SIM_PATH, "--user cancel --profile " + (dir / "q.json").string() + " --export-registry " +
                                       (dir / "out2.reg").string());
    ASSERT_EQ(o.exit_code, 0) << o.out;
    std::ifstream in1(dir / "out1.reg", std::ios::binary), in2(dir / "out2.reg", std::ios::binary);
    const std::string out1{std::istreambuf_iterator<char>(in1), {}}, out2{std::istreambuf_iterator<char>(in2), {}};
    EXPECT_EQ(out1.rfind(c.header, 0), 0u) << c.platform;
    for (const auto& key : c.keys) EXPECT_NE(out1.find(key), std::string::npos) << c.platform;
    EXPECT_EQ(out1, out2) << c.platform;
  }
  fs::remove_all(dir);
}

}  // namespace

// Where the outputs go and what they hold: "-" is standard output (the
// report then goes to standard error), a rewritten file keeps its mode, a
// REGEDIT4 export in a double-byte code page gives the file's bytes back,
// and one that the code page cannot hold is refused with status 1 and the
// key, leaving no file.
TEST(NetpurgeSimOutputs, GoWhereAskedAndHoldWhatTheyShould) {
  const fs::path dir = fs::temp_directory_path() / ("netpurge-sim-outputs-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string sjis =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\\x95\x5C]\r\n"
      "\"\x83\x41\"=\"\x95\x5C\"\r\n\r\n";
  std::ofstream(dir / "sjis.reg", std::ios::binary) << sjis;
  std::ofstream(dir / "omega.reg", std::ios::binary)
      << "\xEF\xBB\xBFREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\\xCE\xA9]\n";
  std::ofstream(dir / "sjis.json") << R"({"platform": "nt4", "code_page": 932, "registry": "sjis.reg"})";
  std::ofstream(dir / "omega.json") << R"({"platform": "nt4", "registry": "omega.reg"})";
  std::ofstream(dir / "kept.reg") << "old";
  fs::permissions(dir / "kept.reg", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const std::string d = dir.string() + "/";
  const struct {
    std::string args;
    int status;
    std::string file;      // the file the export must be in; "" for standard output
    std::string contents;  // what it must hold; "" for no file at all
    std::string message;   // part of the output
  } cases[] = {
      {"--profile " + d + "sjis.json --export-registry " + d + "out.reg", 0, d + "out.reg", sjis, "Platform:"},
      {"--profile " + d + "sjis.json --export-registry -", 0, "", sjis, "Platform:"},
      {"--profile " + d + "sjis.json --export-registry " + d + "kept.reg", 0, d + "kept.reg", sjis, "Platform:"},
      {"--profile " + d + "omega.json --export-registry " + d + "omega-out.reg", 1, d + "omega-out.reg", "",
       "--export-registry " + d + "omega-out.reg: not written: [HKEY_LOCAL_MACHINE\\SOFTWARE\\\xCE\xA9] holds U+03A9"},
  };
  for (const auto& c : cases) {
    const Outcome o = RunTool("cd " + dir.string() + " && " + NETPURGE_SIM_PATH, c.args);
    EXPECT_EQ(o.exit_code, c.status) << c.args << "\n" << o.out;
    EXPECT_NE(o.out.find(c.message), std::string::npos) << c.args << "\n" << o.out;
    EXPECT_FALSE(fs::exists(dir / "-")) << c.args;
    if (c.file.empty()) {
      if (!c.contents.empty()) {
        EXPECT_EQ(o.out.rfind(c.contents, 0), 0u) << o.out;
      }
      continue;
    }
    std::ifstream in(c.file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.contents) << c.args;
    EXPECT_EQ(fs::exists(c.file), !c.contents.empty()) << c.args;
  }
  EXPECT_EQ(fs::status(dir / "kept.reg").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::remove_all(dir);
}

// Numbers are decimal, or hex after "0x": a leading zero is no octal, and
// nothing but digits is taken.
TEST(ProfileNumbers, DecimalOrHexOnly) {
  const struct {
    std::string text;
    int base;
    std::optional<std::uint64_t> value;
  } cases[] = {
      {"010", 0, 10},
      {"0x10", 0, 16},
      {"0X1f", 0, 31},
      {"0", 0, 0},
      {"18446744073709551615", 0, UINT64_MAX},
      {"0x", 0, {}},
      {"", 0, {}},
      {"+1", 0, {}},
      {" 1", 0, {}},
      {"-1", 0, {}},
      {"1e3", 0, {}},
      {"08", 0, 8},
      {"0b1", 0, {}},
      {"18446744073709551616", 0, {}},
      {"ff", 16, 255},
      {"0xff", 16, 255},
      {"g", 16, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::schema::whole_number(c.text, c.base), c.value) << c.text;
}

// "Started: nothing" always comes with the reason the setup file's section
// was not started.
TEST(NetpurgeSimWhy, NothingStartedSaysWhy) {
  const fs::path dir = fs::temp_directory_path() / ("netpurge-sim-why-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string adapter =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_1229\\BUS_00&DEV_03&FUNC_00]\n"
      "\"Driver\"=\"Net\\\\0000\"\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net\\0000]\n"
      "\"DriverDesc\"=\"x\"\n";
  const struct {
    std::string platform, command, reg, why;
  } cases[] = {
      {"win98", "netpurge.exe", adapter,
       "no value \"SetupScratchDir\" in HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup"},
      {"win98", "netpurge.exe",
       adapter + "\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup]\n"
                 "\"SetupScratchDir\"=dword:00000001\n",
       "(value \"SetupScratchDir\" of HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup) is not "
       "a string"},
      {"win98", "netpurge.exe",
       adapter + "\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup]\n"
                 "\"SetupScratchDir\"=\"C:\\\\NOWHERE\"\n",
       "is neither beside the program nor in the setup folder"},
      {"win98", "Hushline.exe", adapter, "is blanks, which name no file a search can find"},
  };
  for (const auto& c : cases) {
    std::ofstream(dir / "r.reg") << c.reg;
    std::ofstream(dir / "p.json") << "{\"platform\": \"" << c.platform
                                  << "\", \"registry\": \"r.reg\", \"command_line\": \"\\\"C:\\\\Tools\\\\" << c.command
                                  << "\\\"\"}";
    const Outcome o = RunTool(NETPURGE_SIM_PATH, "--profile " + (dir / "p.json").string());
    EXPECT_EQ(o.exit_code, 0) << o.out;
    ASSERT_NE(o.out.find("Started:      nothing"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(c.why), std::string::npos) << o.out;
  }
  fs::remove_all(dir);
}
