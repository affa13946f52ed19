// netpurge-sim on the registry files of a powered-off Windows 95/98
// machine. Each Windows 98 scenario is laid out here as SYSTEM.DAT and
// USER.DAT by a builder of the tests' own, as a registry edited in place
// looks (free key records, slack and free entries in the data blocks, many
// small blocks). The run from the files must report exactly what the run
// from the export reports; --apply must leave in the files, as libcreg's
// cregexport and Parse::Win32Registry read them, the registry the run from
// the export leaves; the undo file must bring the original back; a failure
// forced at each step of the write leaves the files byte for byte; hostile
// files are refused with status 2 and their name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "sim/win32/machine.h"
#include "sim/win32/profile.h"
#include "sim/win32/registry_state.h"
#include "tests/common/run_tool.h"
#include "tools/netpurge-sim/creg/creg.h"
#include "tools/netpurge-sim/hive9x.h"
#include "tools/netpurge-sim/runner.h"

namespace {

namespace fs = std::filesystem;
using sim::win32::Registry;

std::string read_file(const fs::path& f) {
  std::ifstream in(f, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void write_file(const fs::path& f, const std::string& s) { std::ofstream(f, std::ios::binary) << s; }
void put32(std::string& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void put16(std::string& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<char>(v), b[at + 1] = static_cast<char>(v >> 8);
}
std::uint32_t get32(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

// ---- the tests' own layout of a registry file ---------------------------------

struct Laid {
  std::string name, values;  // ANSI name; the data entry's values
  std::uint32_t count = 0;   // of values
  std::size_t parent = 0, record = 0;
  std::vector<std::size_t> children;
};

// The key tree below `mount` breadth first, one free record after the
// root's; data entries with 8 bytes of slack, a free entry after every
// fourth, in blocks of about 4 KiB.
std::string lay_out(const Registry& r, const std::string& mount) {
  std::vector<Laid> keys(1);
  std::vector<std::string> paths{mount};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    for (const auto& v : r.values_of(paths[i])) {
      const auto& a = v;  // names and string data in the ANSI code page
      std::string head(12, '\0');
      put32(head, 0, a.type), put16(head, 8, static_cast<std::uint32_t>(a.name.size()));
      put16(head, 10, static_cast<std::uint32_t>(a.data.size()));
      keys[i].values += head + a.name + std::string(a.data.begin(), a.data.end());
      ++keys[i].count;
    }
    for (const auto& n : r.subkey_names(paths[i])) {
      keys[i].children.push_back(keys.size());
      keys.push_back({n, "", 0, i, 0, {}});
      paths.push_back(paths[i] + "\\" + n);
    }
  }
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i].record = 0x20 + (i + (i > 0)) * 0x1C;
  std::string rgkn((0x20 + (keys.size() + 1) * 0x1C + 0xFFF) & ~std::size_t{0xFFF}, '\0');  // 4 KiB pages
  put32(rgkn, 0x20 + 0x1C, 0x80000000u), put32(rgkn, 0x20 + 0x1C + 8, 0xFFFFFFFF);          // the free record
  std::vector<std::string> blocks;
  std::vector<std::uint32_t> unused;
  std::uint32_t in_block = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Laid& k = keys[i];
    const std::size_t rec = k.record;
    auto link = [&](std::size_t at, bool none, std::size_t to) {
      put32(rgkn, at, none ? 0xFFFFFFFF : static_cast<std::uint32_t>(keys[to].record));
    };
    const auto& sib = keys[k.parent].children;
    const auto me = std::find(sib.begin(), sib.end(), i);
    std::uint32_t hash = 0;
    for (unsigned char c : k.name) hash += c < 0x80 ? static_cast<unsigned char>(std::toupper(c)) : 0;
    put32(rgkn, rec + 4, hash), put32(rgkn, rec + 8, 0xFFFFFFFF);
    link(rec + 12, i == 0, k.parent);
    link(rec + 16, k.children.empty(), k.children.empty() ? 0 : k.children[0]);
    link(rec + 20, i == 0 || me + 1 == sib.end(), i == 0 || me + 1 == sib.end() ? 0 : *(me + 1));
    if (i == 0) {
      put32(rgkn, rec + 24, 0xFFFFFFFF);
      continue;
    }
    if (blocks.empty() || blocks.back().size() > 0xF00)
      blocks.emplace_back(0x20, '\0'), unused.push_back(0), in_block = 0;
    const std::uint32_t id = static_cast<std::uint32_t>(blocks.size() - 1) << 16 | in_block++;
    put32(rgkn, rec + 24, id);
    std::string e(0x14, '\0');
    const std::size_t used = 0x14 + k.name.size() + k.values.size();
    put32(e, 0, static_cast<std::uint32_t>(used + 8)), put32(e, 4, id), put32(e, 8, static_cast<std::uint32_t>(used));
    put16(e, 12, static_cast<std::uint32_t>(k.name.size())), put16(e, 14, k.count);
    blocks.back() += e + k.name + k.values + std::string(8, '\0');
    unused.back() += 8;
    if (in_block % 4 == 0) {
      std::string f(0x20, '\0');
      put32(f, 0, 0x20), put32(f, 4, 0xFFFFFFFF), put32(f, 8, 0x14);
      blocks.back() += f;
      unused.back() += 0x20;  // the free entry's header counts as unused too
    }
  }
  rgkn.replace(0, 4, "RGKN");
  put32(rgkn, 4, static_cast<std::uint32_t>(rgkn.size())), put32(rgkn, 8, 0x20);
  put32(rgkn, 12, static_cast<std::uint32_t>(0x20 + (keys.size() + 1) * 0x1C));  // end of the records
  std::string out(0x20, '\0');
  out.replace(0, 4, "CREG");
  put32(out, 4, 0x10000), put32(out, 8, static_cast<std::uint32_t>(0x20 + rgkn.size()));
  put32(out, 16, static_cast<std::uint32_t>(blocks.size()));
  out += rgkn;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    blocks[i].replace(0, 4, "RGDB");
    put32(blocks[i], 4, static_cast<std::uint32_t>(blocks[i].size())), put32(blocks[i], 8, unused[i]);
    out += blocks[i];
  }
  return out;
}

// ---- what a registry, cregexport and Parse::Win32Registry hold ---------------

// One line a key ("path") and a value ("path<TAB>name<TAB>type<TAB>hex"),
// paths below the file's root, sorted. `types` false leaves the type out.
std::string listing(const Registry& r, const std::string& mount, bool types) {
  std::vector<std::string> lines;
  std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& path,
                                                                         const std::string& rel) {
    lines.push_back(rel);
    for (const auto& v : r.values_of(path)) {
      std::string hex;
      for (unsigned char c : v.data) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
      lines.push_back(rel + "\t" + sim::win32::utf8_from_ansi(v.name, sim::win32::CodePage::standard()) +
                      (types ? "\t" + std::to_string(v.type) : "") + "\t" + hex);
    }
    for (const auto& n : r.subkey_names(path)) {
      const std::string u = sim::win32::utf8_from_ansi(n, sim::win32::CodePage::standard());
      walk(path + "\\" + n, rel.empty() ? u : rel + "\\" + u);
    }
  };
  walk(mount, "");
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

std::string sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// Parse::Win32Registry's reading, names as UTF-8.
std::string perl_listing(const fs::path& file, int* status) {
  const Outcome o =
      RunTool("perl",
              "-MParse::Win32Registry -MEncode -e '"
              "my $r = Parse::Win32Registry->new($ARGV[0]) or die qq(unreadable\\n);"
              "sub u { Encode::encode(q(UTF-8), Encode::decode(q(cp1252), $_[0])) }"
              "sub w { my ($k, $p) = @_; print qq($p\\n);"
              "  for my $v ($k->get_list_of_values) { print join(qq(\\t), $p, u($v->get_name), $v->get_type,"
              "    unpack(q(H*), $v->get_raw_data)), qq(\\n) }"
              "  for my $s ($k->get_list_of_subkeys) { w($s, ($p eq q() ? q() : $p . q(\\\\)) . u($s->get_name)) } }"
              "w($r->get_root_key, q())' '" +
                  file.string() + "'");
  *status = o.exit_code;
  return sorted_lines(o.out);
}

// cregexport's reading: its hex dumps, its decimal REG_DWORD.
std::string cregexport_listing(const fs::path& file, int* status) {
  const Outcome o = RunTool("cregexport", "'" + file.string() + "' 2>&1");
  *status = o.exit_code;
  std::vector<std::string> lines;
  std::string path, name, hex;
  bool in_value = false;
  auto flush = [&] {
    if (in_value) lines.push_back(path + "\t" + name + "\t" + hex);
    in_value = false, hex.clear();
  };
  std::istringstream in(o.out);
  static const std::regex dump(R"(^[0-9a-f]{8}: [0-9a-f]{2})"), dword(R"(^Data: (\d+)$)");
  std::smatch m;
  bool is_dword = false;
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("Key path: ", 0) == 0) {
      flush();
      path = l.substr(10);
      lines.push_back(path);
    } else if (l.rfind("Value: ", 0) == 0) {
      flush();
      name = l.substr(l.find(' ', 7) + 1);
      if (name == "(default)") name.clear();
      in_value = true;
    } else if (l.rfind("Type: ", 0) == 0) {
      is_dword = l.find("(REG_DWORD") != std::string::npos;
    } else if (is_dword && std::regex_match(l, m, dword)) {
      char buf[9];
      const unsigned long v = std::stoul(m[1]);
      for (int i = 0; i < 4; ++i) std::snprintf(buf + 2 * i, 3, "%02lx", (v >> (8 * i)) & 0xFF);
      hex = buf;
    } else if (std::regex_search(l, m, dump)) {  // 16 bytes a line from column 10, a blank after 8
      std::istringstream bytes(l.substr(10, 49));
      for (std::string byte; bytes >> byte;) hex += byte;
    }
  }
  flush();
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return sorted_lines(out);
}

// ---- one scenario as two machines ---------------------------------------------

// The user's part of the machine: the Shell Folders the modem folder purge
// reads, and data of every kind a USER.DAT holds (code page 1252 text, a
// string without its terminating zero, binary, empty).
const char kUserPart[] =
    "\r\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders]\r\n"
    "\"Programs\"=\"C:\\\\WINDOWS\\\\Start Menu\\\\Programs\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\International]\r\n\"sCurrency\"=\"\x80\"\r\n"
    "\"sName\"=hex(1):41,42\r\n\"Mask\"=hex:01,02,ff\r\n\"Empty\"=hex(0):\r\n@=\"Caf\xe9\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Caf\xe9]\r\n\r\n";

struct Machine98 {
  fs::path dir;
  std::string hive_flags;
  Registry before;
  std::string system() const { return (dir / "SYSTEM.DAT").string(); }
  std::string user() const { return (dir / "USER.DAT").string(); }
};

Machine98 make_machine(const std::string& scenario, const fs::path& dir) {
  Machine98 m{dir, {}, {}};
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path src = fs::path(REMOVAL_SCENARIOS_DIR) / scenario;
  for (const auto& e : fs::directory_iterator(src)) fs::copy(e.path(), dir / e.path().filename());
  nlohmann::json profile = nlohmann::json::parse(read_file(src / "profile.json"));
  const std::string reg = read_file(src / profile["registry"].get<std::string>()) + kUserPart;
  write_file(dir / "export.reg", reg);
  profile["registry"] = "export.reg";
  write_file(dir / "export.json", profile.dump(1));
  m.before.set_family(sim::win32::RegFamily::Win9x);
  m.before.import_reg(reg, scenario);
  write_file(m.system(), lay_out(m.before, "HKEY_LOCAL_MACHINE"));
  write_file(m.user(), lay_out(m.before, "HKEY_CURRENT_USER"));
  m.hive_flags = " --hive SYSTEM=" + m.system() + " --hive USER.DAT=" + m.user();
  profile.erase("registry");
  write_file(dir / "files.json", profile.dump(1));
  return m;
}

std::vector<std::string> win98_scenarios() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(REMOVAL_SCENARIOS_DIR))
    if (e.path().filename().string().rfind("win98-", 0) == 0) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

fs::path work_dir(const std::string& name) {
  return fs::path(CREG_TEST_WORK_DIR) / (name + "-" + std::to_string(getpid()));
}

std::string run(const std::string& args, int* status) {
  const Outcome o = RunTool(NETPURGE_SIM_PATH, args);
  *status = o.exit_code;
  return o.out;
}

class From98Files : public ::testing::TestWithParam<std::string> {};

TEST_P(From98Files, SameReportAsExportThenApplyAndUndo) {
  const Machine98 m = make_machine(GetParam(), work_dir(GetParam()));
  int export_status = 0, status = 0;
  const std::string from_export = run(
      "--json --profile " + (m.dir / "export.json").string() + " --export-registry " + (m.dir / "after.reg").string(),
      &export_status);
  const std::string preview = run("--json --profile " + (m.dir / "files.json").string() + m.hive_flags, &status);
  EXPECT_EQ(status, export_status);
  EXPECT_EQ(preview, from_export);

  const std::map<std::string, std::string> originals{{m.system(), read_file(m.system())},
                                                     {m.user(), read_file(m.user())}};
  const std::string applied = run("--json --profile " + (m.dir / "files.json").string() + m.hive_flags +
                                      " --apply --backup " + (m.dir / "undo.reg").string(),
                                  &status);
  ASSERT_EQ(status, export_status) << applied;
  const nlohmann::json report = nlohmann::json::parse(applied);
  Registry after;
  after.set_family(sim::win32::RegFamily::Win9x);
  after.import_reg(read_file(m.dir / "after.reg"), "after.reg");
  bool any_changed = false;
  for (const auto& [file, mount] : {std::pair{m.system(), "HKEY_LOCAL_MACHINE"}, {m.user(), "HKEY_CURRENT_USER"}}) {
    const bool changed = originals.at(file) != read_file(file);
    any_changed = any_changed || changed;
    bool reported = false;
    for (const auto& w : report["hive_files"])
      if (w["file"] == file) reported = w["changed"].get<bool>();
    EXPECT_EQ(reported, changed) << file;
    if (changed) {
      EXPECT_EQ(read_file(file + ".bak"), originals.at(file)) << file;
    }
    // Both outside readers take the file and find the run's after-state.
    EXPECT_EQ(perl_listing(file, &status), listing(after, mount, true)) << file;
    EXPECT_EQ(status, 0) << file;
    EXPECT_EQ(cregexport_listing(file, &status), listing(after, mount, false)) << file;
    EXPECT_EQ(status, 0) << file;
  }
  EXPECT_TRUE(any_changed);

  // The undo file, imported into what the files now hold, gives the original.
  sim::win32::Profile p;
  p.data = {{"platform", "win98"}};
  p.source = "<test>";
  const auto now = netpurge_sim::load_win9x_hives({"SYSTEM=" + m.system(), "USER=" + m.user()}, p);
  Registry undone;
  undone.set_family(sim::win32::RegFamily::Win9x);
  undone.import_reg(now.registry_text, "files");
  undone.import_reg(read_file(m.dir / "undo.reg"), "undo.reg");
  // (The keys the undo file adds back come last among their siblings.)
  for (const char* mount : {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"})
    EXPECT_EQ(listing(undone, mount, true), listing(m.before, mount, true)) << mount;
  fs::remove_all(m.dir);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, From98Files, ::testing::ValuesIn(win98_scenarios()), [](const auto& info) {
  std::string name = info.param;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});

// A failure at each step of the write: the files stay as they were, and no
// new or kept file is left beside them.
TEST(Win9xWrite, FailureAtEachStepLeavesTheOriginals) {
  using netpurge_sim::HiveStep;
  for (HiveStep step : {HiveStep::Commit, HiveStep::Reopen, HiveStep::Check, HiveStep::Keep, HiveStep::Rename}) {
    const Machine98 m = make_machine("win98-neighbours", work_dir("fail"));
    std::map<fs::path, std::string> before;
    for (const auto& e : fs::directory_iterator(m.dir)) before[e.path()] = read_file(e.path());
    sim::win32::Profile profile = sim::win32::load_profile_file(m.dir / "files.json");
    const auto session = netpurge_sim::load_win9x_hives({"SYSTEM=" + m.system(), "USER=" + m.user()}, profile);
    ASSERT_TRUE(netpurge_sim::run(profile).completed);
    const Registry& after = sim::win32::machine().registry;
    EXPECT_THROW(netpurge_sim::write_win9x_hives(session, after, true, step), std::runtime_error)
        << static_cast<int>(step);
    std::map<fs::path, std::string> now;
    for (const auto& e : fs::directory_iterator(m.dir)) now[e.path()] = read_file(e.path());
    EXPECT_TRUE(now == before) << "step " << static_cast<int>(step);
    // The same write without a fault changes SYSTEM.DAT alone.
    const auto written = netpurge_sim::write_win9x_hives(session, after, false);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(written[0].changed && !written[1].changed);
    EXPECT_TRUE(creg::check(read_file(m.system())).empty());
    fs::remove_all(m.dir);
  }
}

// The writer's file of the user's part (code page 1252 names and text,
// strings without their zero, empty data), as both outside readers see it.
TEST(Win9xWriter, OutsideReadersTakeItsFile) {
  Registry r;
  r.set_family(sim::win32::RegFamily::Win9x);
  r.import_reg(std::string("REGEDIT4\r\n") + kUserPart, "user part");
  std::function<creg::Key(const std::string&, const std::string&)> tree = [&](const std::string& path,
                                                                              const std::string& name) {
    creg::Key k{name, {}, {}};
    for (const auto& v : r.values_of(path)) k.values.push_back({v.name, v.type, {v.data.begin(), v.data.end()}});
    for (const auto& n : r.subkey_names(path)) k.subkeys.push_back(tree(path + "\\" + n, n));
    return k;
  };
  const fs::path dir = work_dir("writer");
  fs::create_directories(dir);
  write_file(dir / "USER.DAT", creg::write(tree("HKEY_CURRENT_USER", "")));
  int status = 0;
  EXPECT_EQ(perl_listing(dir / "USER.DAT", &status), listing(r, "HKEY_CURRENT_USER", true));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(cregexport_listing(dir / "USER.DAT", &status), listing(r, "HKEY_CURRENT_USER", false));
  EXPECT_EQ(status, 0);
  fs::remove_all(dir);
}

// A small file as the writer lays it out: records at 0x40 (root), 0x5C (A),
// 0x78 (A\B), 0x94 (C) of the file; the first data block at 0x1020, its
// entries (A, B, C) from 0x1040.
std::string small_file() {
  creg::Key root;
  root.subkeys.push_back({"A", {{"v", 1, std::string("x\0", 2)}}, {{"B", {}, {}}}});
  root.subkeys.push_back({"C", {}, {}});
  return creg::write(root);
}

TEST(Win9xHostile, RefusedWithStatus2AndTheFileNamed) {
  const std::string good = small_file();
  const std::size_t a_entry = 0x1040, b_entry = a_entry + get32(good, a_entry);
  struct Case {
    const char* name;
    std::function<void(std::string&)> spoil;
    const char* says;
  } cases[] = {
      {"cut in the header", [](std::string& b) { b.resize(0x30); }, "truncated"},
      {"cut in a data block", [](std::string& b) { b.resize(0x1030); }, "truncated"},
      {"key tree larger than the file", [](std::string& b) { put32(b, 0x24, 0x100000); }, "truncated or corrupt"},
      {"data block larger than the file", [](std::string& b) { put32(b, 0x1024, 0x100000); }, "truncated or corrupt"},
      {"sub-key offset outside the tree", [](std::string& b) { put32(b, 0x5C + 0x10, 0x7FFF0); },
       "outside the key tree"},
      {"offset off the record boundaries", [](std::string& b) { put32(b, 0x40 + 0x10, 0x3D); }, "off its record"},
      {"sibling back to its parent", [](std::string& b) { put32(b, 0x78 + 0x14, 0x3C); }, "cycle"},
      {"key tree reaching the root", [](std::string& b) { put32(b, 0x94 + 0x10, 0x20); }, "cycle"},
      {"two entries with one key id", [=](std::string& b) { put32(b, b_entry + 4, get32(b, a_entry + 4)); },
       "two data entries with key id"},
      {"two records naming one entry", [](std::string& b) { put32(b, 0x94 + 0x18, get32(b, 0x5C + 0x18)); },
       "two key records name"},
      {"value count past the entry", [](std::string& b) { put16(b, a_entry + 0x0E, 0xFFFF); }, "counts 65535 values"},
      {"block count past the file", [](std::string& b) { put32(b, 0x10, 0x7FFFFFFF); }, "data blocks"},
      {"entry id of no entry", [](std::string& b) { put16(b, 0x94 + 0x18, 0x77); }, "which no data entry has"},
      {"name past the entry", [](std::string& b) { put16(b, a_entry + 0x0C, 0x4000); }, "longer than its entry"},
  };
  const fs::path dir = work_dir("hostile");
  fs::create_directories(dir);
  for (const Case& c : cases) {
    std::string bytes = good;
    c.spoil(bytes);
    EXPECT_THROW(creg::read(bytes), creg::FormatError) << c.name;
    const fs::path file = dir / "SYSTEM.DAT";
    write_file(file, bytes);
    int status = 0;
    const std::string out = run("--hive SYSTEM=" + file.string(), &status);
    EXPECT_EQ(status, 2) << c.name << ": " << out;
    EXPECT_NE(out.find(file.string()), std::string::npos) << c.name << ": " << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.name << ": " << out;
  }
  fs::remove_all(dir);
}

// The writer's layout: every key back as it was, nothing the checker would
// flag, blocks split at 64 KB; trees the format cannot hold refused.
TEST(Win9xWriter, LayoutAndLimits) {
  creg::Key big;
  for (int i = 0; i < 40; ++i)
    big.subkeys.push_back({"K" + std::to_string(i), {{"d", 3, std::string(8000, static_cast<char>(i))}}, {}});
  const std::string file = creg::write(big);
  EXPECT_TRUE(creg::check(file).empty());
  EXPECT_GT(get32(file, 0x10), 4u);  // 320,000 bytes of values: more than four 64 KB blocks
  for (std::size_t at = get32(file, 0x08), i = 0; i < get32(file, 0x10); ++i, at += get32(file, at + 4)) {
    EXPECT_EQ(file.compare(at, 4, "RGDB"), 0) << at;
    EXPECT_LE(get32(file, at + 4), 0x10000u) << at;
    EXPECT_EQ(get32(file, at + 4) % 0x1000, 0u) << at;
  }
  const creg::Key back = creg::read(file);
  ASSERT_EQ(back.subkeys.size(), big.subkeys.size());
  for (std::size_t i = 0; i < big.subkeys.size(); ++i) {
    EXPECT_EQ(back.subkeys[i].name, big.subkeys[i].name);
    EXPECT_EQ(back.subkeys[i].values[0].data, big.subkeys[i].values[0].data);
  }
  struct Case {
    const char* name;
    creg::Key tree;
  } refused[] = {
      {"value over 65,535 bytes", {"", {}, {{"K", {{"v", 3, std::string(0x10000, 'x')}}, {}}}}},
      {"values of a key over 64 KB",
       {"", {}, {{"K", {{"a", 3, std::string(0x8000, 'x')}, {"b", 3, std::string(0x8000, 'x')}}, {}}}}},
      {"key name over 255 bytes", {"", {}, {{std::string(256, 'k'), {}, {}}}}},
      {"values in the root", {"", {{"v", 4, "1234"}}, {}}},
  };
  for (const auto& c : refused) EXPECT_THROW(creg::write(c.tree), creg::FormatError) << c.name;

  // What the system would not write is noted, and the tree still read.
  const std::string good = small_file();
  const std::pair<const char*, std::function<void(std::string&)>> noted[] = {
      {"hash", [](std::string& b) { put32(b, 0x5C + 4, 1); }},
      {"unused bytes", [](std::string& b) { put32(b, 0x1028, 7); }},
      {"after the last data block", [](std::string& b) { b += "tail"; }},
  };
  for (const auto& [what, spoil] : noted) {
    std::string b = good;
    spoil(b);
    const auto problems = creg::check(b);
    ASSERT_EQ(problems.size(), 1u) << what;
    EXPECT_NE(problems[0].find(what), std::string::npos) << problems[0];
    EXPECT_EQ(creg::read(b).subkeys.size(), 2u) << what;
  }
}

}  // namespace
