// nicdiag's dmi and pir on the real firmware images, compared line by line
// with what dmidecode and biosdecode print for the same image in the same
// run, and its resources command.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "tests/common/run_tool.h"

namespace {

const std::string kNicdiag = NICDIAG_PATH;
const std::string kData = BIOS_DATA_DIR;

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Whether `part` appears in `whole` as consecutive lines.
bool ContainsBlock(const std::vector<std::string> &whole, const std::vector<std::string> &part) {
  for (size_t i = 0; i + part.size() <= whole.size(); i++) {
    if (std::equal(part.begin(), part.end(), whole.begin() + static_cast<long>(i))) return true;
  }
  return false;
}

bool Have(const char *tool) { return RunTool("command -v", tool).exit_code == 0; }

struct DmiBlock {
  unsigned type = 0;
  std::vector<std::string> lines;
};

// dmidecode's structures: blocks that start with "Handle 0x".
std::vector<DmiBlock> DmidecodeBlocks(const std::string &out) {
  std::vector<DmiBlock> blocks;
  for (const std::string &line : Lines(out)) {
    if (line.rfind("Handle 0x", 0) == 0) {
      DmiBlock b;
      b.type = static_cast<unsigned>(std::stoul(line.substr(line.find("DMI type ") + 9)));
      blocks.push_back(b);
    }
    if (blocks.empty()) continue;
    if (line.empty()) continue;
    blocks.back().lines.push_back(line);
  }
  return blocks;
}

bool Decoded(unsigned type) {
  return type == 0 || type == 1 || type == 2 || type == 3 || type == 4 || type == 17 || type == 32 || type == 127;
}

class ImageTest : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    if (!Have("dmidecode") || !Have("biosdecode"))
      GTEST_SKIP() << "dmidecode/biosdecode not installed (scripts/setup.sh)";
    image = kData + "/" + GetParam();
    profile = testing::TempDir() + "bios_" + GetParam() + ".json";
    std::ofstream(profile) << "{ \"bios_image\": \"" << image << "\" }\n";
  }
  Outcome Nicdiag(const std::string &args) { return RunTool(kNicdiag, "--profile " + profile + " " + args); }
  std::string image, profile;
};

TEST_P(ImageTest, DmiAgreesWithDmidecode) {
  Outcome ours = Nicdiag("dmi");
  ASSERT_EQ(ours.exit_code, 0) << ours.out;
  Outcome theirs = RunTool("dmidecode", "-d " + image);
  ASSERT_EQ(theirs.exit_code, 0) << theirs.out;
  const std::vector<DmiBlock> blocks = DmidecodeBlocks(theirs.out);
  ASSERT_EQ(blocks.size(), 9u) << theirs.out;
  const std::vector<std::string> lines = Lines(ours.out);
  for (const DmiBlock &b : blocks) {
    const std::vector<std::string> expected =
        Decoded(b.type) ? b.lines : std::vector<std::string>(b.lines.begin(), b.lines.begin() + 2);
    EXPECT_TRUE(ContainsBlock(lines, expected)) << "dmidecode:\n"
                                                << testing::PrintToString(expected) << "\nnicdiag:\n"
                                                << ours.out;
  }
  if (std::string(GetParam()).find("smbios3") != std::string::npos) {
    EXPECT_NE(ours.out.find("The driver found no _DMI_ anchor"), std::string::npos) << ours.out;
    EXPECT_NE(ours.out.find("SMBIOS 3.0.0 present."), std::string::npos) << ours.out;
  } else {
    EXPECT_NE(ours.out.find("SMBIOS 2.8 present."), std::string::npos) << ours.out;
  }
}

TEST_P(ImageTest, DmiJsonCarriesTheDecodedFields) {
  Outcome ours = Nicdiag("--json dmi");
  ASSERT_EQ(ours.exit_code, 0) << ours.out;
  const nlohmann::json j = ours.Lines().at(0);
  const nlohmann::json &structures = j.at("structures");
  const std::vector<DmiBlock> blocks = DmidecodeBlocks(RunTool("dmidecode", "-d " + image).out);
  ASSERT_EQ(structures.size(), blocks.size());
  for (size_t i = 0; i < blocks.size(); i++) {
    EXPECT_EQ(structures[i].at("type"), blocks[i].type);
    if (!Decoded(blocks[i].type)) continue;
    // Every "Name: value" line of dmidecode is a field of the same value.
    for (size_t n = 2; n < blocks[i].lines.size(); n++) {
      const std::string &line = blocks[i].lines[n];
      const size_t colon = line.find(": ");
      if (line.rfind("\t\t", 0) == 0 || colon == std::string::npos) continue;
      const std::string name = line.substr(1, colon - 1);
      EXPECT_EQ(structures[i].at("fields").value(name, std::string("<missing>")), line.substr(colon + 2))
          << "structure " << i << " " << name;
    }
  }
  EXPECT_EQ(structures[0].at("strings").at(0), "SeaBIOS");
}

TEST_P(ImageTest, PirAgreesWithBiosdecode) {
  Outcome ours = Nicdiag("pir");
  ASSERT_EQ(ours.exit_code, 0) << ours.out;
  Outcome theirs = RunTool("biosdecode", "-d " + image + " --pir full");
  ASSERT_EQ(theirs.exit_code, 0) << theirs.out;
  std::vector<std::string> routing;
  bool in = false;
  for (const std::string &line : Lines(theirs.out)) {
    if (line.rfind("PCI Interrupt Routing", 0) == 0)
      in = true;
    else if (in && line.rfind("\t", 0) != 0)
      break;
    if (in) routing.push_back(line);
  }
  ASSERT_GT(routing.size(), 10u) << theirs.out;
  // biosdecode's lines, in order, among nicdiag's (which adds the size and
  // the checksum).
  const std::vector<std::string> lines = Lines(ours.out);
  size_t at = 0;
  for (const std::string &line : routing) {
    while (at < lines.size() && lines[at] != line) at++;
    EXPECT_LT(at, lines.size()) << "missing or out of order: " << line << "\nnicdiag:\n" << ours.out;
  }
  EXPECT_NE(ours.out.find("\tChecksum: OK"), std::string::npos);

  Outcome json = Nicdiag("--json pir");
  ASSERT_EQ(json.exit_code, 0) << json.out;
  const nlohmann::json t = json.Lines().at(0).at("table");
  EXPECT_EQ(t.at("checksum_ok"), true);
  EXPECT_EQ(t.at("router"), "00:01.0");
  EXPECT_EQ(t.at("compatible_router"), "8086:122e");
  EXPECT_EQ(t.at("slots").size(), 6u);
  EXPECT_EQ(t.at("slots")[1].at("pins")[0].at("link"), 0x61);
  EXPECT_EQ(t.at("slots")[1].at("pins")[0].at("irqs"), nlohmann::json({3, 4, 5, 6, 7, 9, 10, 11, 12, 14, 15}));
}

// dmidecode's report from the SMBIOS version line on: the lines before it
// say where the data was read from.
std::string FromVersionLine(const std::string &report) {
  const size_t at = report.find("SMBIOS ");
  return at == std::string::npos ? "(no SMBIOS line)\n" + report : report.substr(at);
}

TEST_P(ImageTest, OutWritesADumpDmidecodeReadsAndTheRawRoutingTable) {
  // One pair of files per image: ctest runs the two images at the same time.
  const std::string stem = testing::TempDir() + std::string(GetParam());
  const std::string dmi = stem + ".dmi.bin", pir = stem + ".pir.bin";
  Outcome ours = Nicdiag("dmi --out " + dmi + " \\; pir --out " + pir);
  ASSERT_EQ(ours.exit_code, 0) << ours.out;
  std::ifstream image_in(image, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(image_in)), {});
  std::ifstream dmi_in(dmi, std::ios::binary), pir_in(pir, std::ios::binary);
  const std::vector<char> dmi_bytes((std::istreambuf_iterator<char>(dmi_in)), {});
  const std::vector<char> pir_bytes((std::istreambuf_iterator<char>(pir_in)), {});
  // The table follows the entry point at offset 0x20, as the firmware holds it.
  ASSERT_GE(dmi_bytes.size(), 0x20u + 388u);
  EXPECT_TRUE(std::equal(dmi_bytes.begin() + 0x20, dmi_bytes.end(), bytes.begin() + 0xF5A10));
  ASSERT_EQ(pir_bytes.size(), 128u);
  EXPECT_TRUE(std::equal(pir_bytes.begin(), pir_bytes.end(), bytes.begin() + 0xF5C80));
  // dmidecode reads the dump as it reads the firmware image itself, apart
  // from where it says the table lies.
  Outcome from_dump = RunTool("dmidecode", "--from-dump " + dmi);
  Outcome from_image = RunTool("dmidecode", "-d " + image);
  ASSERT_EQ(from_dump.exit_code, 0) << from_dump.out;
  std::string expected = FromVersionLine(from_image.out);
  const size_t table_line = expected.find("Table at ");
  if (table_line != std::string::npos) expected.erase(table_line, expected.find('\n', table_line) + 1 - table_line);
  EXPECT_EQ(FromVersionLine(from_dump.out), expected);
}

INSTANTIATE_TEST_SUITE_P(Images, ImageTest, ::testing::Values("seabios-pc.mem", "seabios-pc-smbios3.mem"));

TEST(NicdiagResources, ClaimsAndPlainFailure) {
  Outcome ok = RunTool(kNicdiag,
                       "--json resources 0 memory 0x1000 0x1000 0xF8000000 0xF8FFFFFF \\; "
                       "resources 1 irq 0 15 --slot 3 \\; resources 0 release --bus 0 --slot 3.0");
  ASSERT_EQ(ok.exit_code, 0) << ok.out;
  auto lines = ok.Lines();
  EXPECT_EQ(lines[0].at("start"), 0xF8000000u);
  EXPECT_EQ(lines[0].at("length"), 0x1000u);
  EXPECT_EQ(lines[1].at("vector"), 11u);
  EXPECT_EQ(lines[2].at("released"), true);

  // The adapter's line is 11: a range without it assigns nothing.
  Outcome failed = RunTool(kNicdiag, "resources 2 irq 3 10 --slot 3");
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_NE(failed.out.find("word 1 came back 0"), std::string::npos) << failed.out;

  for (const char *bad : {"resources 4 release", "resources 0 memory 1 2 3", "resources 0 irq 0 15 --slot 32.0",
                          "dmi --bogus", "pir extra"}) {
    Outcome o = RunTool(kNicdiag, bad);
    EXPECT_EQ(o.exit_code, 2) << bad << "\n" << o.out;
  }
}

}  // namespace

namespace {

// Malformed tables decode as far as they are sound, never past their end.
TEST(NicdiagHostileTables, MalformedTablesAreReportedNotOverrun) {
  std::vector<char> image(0x100000, 0);
  auto put = [&](size_t at, const std::string &bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<long>(at));
  };
  // A _DMI_ anchor naming 40 bytes at 0x90000: one sound structure with a
  // string, then one whose strings never end.
  put(0xF0000, std::string("_DMI_\0\x28\0\0\0\x09\0", 12));
  unsigned char sum = 0;  // a sound anchor: its 15 bytes sum to 0
  for (size_t i = 0; i < 15; i++) sum = static_cast<unsigned char>(sum + image[0xF0000 + i]);
  image[0xF0005] = static_cast<char>(-sum);
  put(0x90000, std::string("\x01\x08\x00\x01\x01\x02\x00\x00"
                           "Maker\0\0",
                           15));
  put(0x9000F, std::string("\x00\x18\x00\x00\x01\x02\x00\xE8\x03\x00", 10));
  for (size_t i = 0x90019; i < 0x90028; i++) image[i] = 'A';
  // A $PIR header stating 40 bytes: not 32 plus whole 16-byte entries.
  put(0xF1000, std::string("$PIR\0\x01\x28\0", 8));
  const std::string path = testing::TempDir() + "hostile.mem", profile = testing::TempDir() + "hostile.json";
  std::ofstream(path, std::ios::binary).write(image.data(), static_cast<long>(image.size()));
  std::ofstream(profile) << "{ \"bios_image\": \"" << path << "\" }\n";

  Outcome dmi = RunTool(kNicdiag, "--profile " + profile + " dmi");
  EXPECT_EQ(dmi.exit_code, 0) << dmi.out;
  EXPECT_NE(dmi.out.find("\tManufacturer: Maker\n\tProduct Name: <BAD INDEX>"), std::string::npos) << dmi.out;
  EXPECT_NE(dmi.out.find("Decoding stopped: the strings of the structure at offset 0xF run past the end"),
            std::string::npos)
      << dmi.out;
  Outcome pir = RunTool(kNicdiag, "--profile " + profile + " pir");
  EXPECT_EQ(pir.exit_code, 1) << pir.out;
  EXPECT_NE(pir.out.find("the header states 40 bytes"), std::string::npos) << pir.out;
}

}  // namespace

namespace {

// An entry point is believed only when its checksum holds, and a table only
// when it lies in memory: each firmware image damaged one way, read by
// nicdiag and by dmidecode or biosdecode. Where they decode nothing, nicdiag
// refuses (status 1) and says why; an unsound _SM_ beside a sound _DMI_ is
// read as a legacy DMI table, as dmidecode reads it.
TEST(NicdiagHostileTables, EntryPointsAreCheckedBeforeAnythingIsDecoded) {
  if (!Have("dmidecode") || !Have("biosdecode")) GTEST_SKIP() << "dmidecode/biosdecode not installed";
  // SeaBIOS's tables (see the data's README): _SM_ at 0xF59F0 with its
  // _DMI_ at 0xF5A00, $PIR at 0xF5C80; in the SMBIOS 3 image _SM3_ at 0xF59F0.
  constexpr size_t kSm = 0xF59F0, kDmi = 0xF5A00, kPir = 0xF5C80;
  using Image = std::vector<char>;
  const auto fix = [](Image &b, size_t start, size_t count, size_t at) {
    b[at] = 0;
    unsigned char sum = 0;
    for (size_t i = start; i < start + count; i++) sum = static_cast<unsigned char>(sum + b[i]);
    b[at] = static_cast<char>(-sum);
  };
  const auto put32 = [](Image &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = static_cast<char>(v >> (8 * i));
  };
  const struct {
    const char *name, *image, *command;
    void (*damage)(Image &);
    int status;
    const char *message;
  } cases[] = {
      {"_SM_ checksum", "seabios-pc.mem", "dmi", [](Image &b) { b[kSm + 8]++; }, 0, "Legacy DMI 2.8 present."},
      {"_DMI_ checksum", "seabios-pc.mem", "dmi", [](Image &b) { b[kDmi + 0x0C]++; }, 1,
       "the _DMI_ anchor at 0xF5A00 has a wrong checksum"},
      {"_SM3_ checksum", "seabios-pc-smbios3.mem", "dmi", [](Image &b) { b[kSm + 0x0C]++; }, 1,
       "the SMBIOS 3.0 entry point at 0xF59F0 has a wrong checksum"},
      {"$PIR checksum", "seabios-pc.mem", "pir", [](Image &b) { b[kPir + 0x22]++; }, 1,
       "the $PIR table's checksum is wrong"},
      {"_DMI_ table beyond memory", "seabios-pc.mem", "dmi", nullptr, 1, "beyond the end of memory (0x100000)"},
      {"_SM3_ table beyond memory", "seabios-pc-smbios3.mem", "dmi", nullptr, 1, "beyond the end of memory (0x100000)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::ifstream in(kData + "/" + c.image, std::ios::binary);
    Image bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 0x100000u);
    if (c.damage != nullptr) {
      c.damage(bytes);
    } else if (std::string(c.image).find("smbios3") == std::string::npos) {
      put32(bytes, kDmi + 8, 0x10000000);  // checksums made right again
      fix(bytes, kDmi, 0x0F, kDmi + 5);
      fix(bytes, kSm, 0x1F, kSm + 4);
    } else {
      put32(bytes, kSm + 0x10, 0x10000000);
      fix(bytes, kSm, 0x18, kSm + 5);
    }
    const std::string path = testing::TempDir() + "damaged.mem", profile = testing::TempDir() + "damaged.json";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    std::ofstream(profile) << "{ \"bios_image\": \"" << path << "\" }\n";
    Outcome ours = RunTool(kNicdiag, "--profile " + profile + " " + c.command);
    EXPECT_EQ(ours.exit_code, c.status) << ours.out;
    EXPECT_NE(ours.out.find(c.message), std::string::npos) << ours.out;
    // What the reference tools make of the same image.
    const bool dmi = std::string(c.command) == "dmi";
    Outcome theirs = dmi ? RunTool("dmidecode", "-d " + path) : RunTool("biosdecode", "-d " + path + " --pir full");
    const bool they_decode = dmi ? theirs.out.find("\nHandle 0x") != std::string::npos
                                 : theirs.out.find("PCI Interrupt Routing") != std::string::npos;
    EXPECT_EQ(they_decode, c.status == 0) << theirs.out;
    if (c.status == 0) {
      EXPECT_NE(theirs.out.find(c.message), std::string::npos) << theirs.out;
    } else {
      EXPECT_EQ(ours.out.find("Handle 0x"), std::string::npos) << ours.out;
    }
  }
}

}  // namespace
