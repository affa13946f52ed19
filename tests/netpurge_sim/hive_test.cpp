// netpurge-sim on registry hive files. Each NT 4 and Windows 2000 scenario
// is turned into hive files here: a minimal empty hive written from the
// documented format, filled through libhivex, each key's security cell
// holding the descriptor the scenario's own run gives that key. The run
// from the hives must report exactly what the run from the export reports;
// --apply must leave in the files (read back by hivexregedit) the registry
// the scenario expects, and the undo file must bring the original back. A
// failure forced at each step of the write leaves the files byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/common/run_tool.h"
#include "tests/netpurge_sim/hive_builder.h"
#include "tools/netpurge-sim/hive.h"
#include "tools/netpurge-sim/runner.h"
#include "sim/win32/machine.h"
#include "sim/win32/profile.h"

namespace {

namespace fs = std::filesystem;
using sim::win32::Registry;

std::string read_file(const fs::path& f) {
  std::ifstream in(f, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void write_file(const fs::path& f, const std::string& s) { std::ofstream(f, std::ios::binary) << s; }

using hive_builder::fix_checksum;
using hive_builder::get32;
using hive_builder::put32;

std::string utf16le(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    unsigned u = c, n = c < 0x80 ? 1 : c < 0xE0 ? 2 : 3;
    if (n > 1) u = c & (n == 2 ? 0x1F : 0x0F);
    for (unsigned k = 1; k < n && i + k < utf8.size(); ++k) u = u << 6 | (utf8[i + k] & 0x3F);
    i += n;
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

bool string_type(DWORD t) { return t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ; }

struct HiveKind {
  std::string name, mount, header_name;
};
const HiveKind kKinds[] = {{"SYSTEM", "HKEY_LOCAL_MACHINE\\SYSTEM", "SYSTEM"},
                           {"SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE", "SOFTWARE"},
                           {"NTUSER", "HKEY_CURRENT_USER", "ntuser.dat"}};

// The keys below `path` of `reg` as the builder takes them, each with its
// descriptor from `sd` (CurrentControlSet stored as ControlSet001).
hive_builder::Key tree_of(const Registry& reg, const std::string& path, const std::string& name,
                          const std::map<std::string, std::string>& sd, bool system_root) {
  hive_builder::Key k;
  k.name = name;
  k.sd = sd.at(path);
  for (const auto& v : reg.values_of(path)) {
    std::string bytes(v.data.begin(), v.data.end());
    k.values.push_back({v.name, v.type, string_type(v.type) ? utf16le(bytes) : bytes});
  }
  for (const auto& n : reg.subkey_names(path))
    k.keys.push_back(
        tree_of(reg, path + "\\" + n, system_root && n == "CurrentControlSet" ? "ControlSet001" : n, sd, false));
  return k;
}

hive_builder::Built make_hive(const fs::path& file, const HiveKind& kind, const Registry& reg,
                              const std::map<std::string, std::string>& sd) {
  hive_builder::Options o;
  o.header_name = kind.header_name;
  o.free_gap_every = 7;
  hive_builder::Built built = hive_builder::build(tree_of(reg, kind.mount, "ROOT", sd, kind.name == "SYSTEM"), o);
  write_file(file, built.bytes);
  return built;
}

// The scenario's registry named as a machine's hives show it: SYSTEM and
// SOFTWARE spelt as the system spells them, and the Select key that names
// ControlSet001 as current. REGEDIT4 text.
std::string hive_layout(const std::string& reg_text, const std::string& source) {
  Registry r;
  r.set_family(sim::win32::RegFamily::NT);
  r.import_reg(reg_text, source);
  std::string text = r.export_reg();
  text = std::regex_replace(text, std::regex(R"(\[HKEY_LOCAL_MACHINE\\System(?=[\\\]]))", std::regex::icase),
                            "[HKEY_LOCAL_MACHINE\\SYSTEM");
  text = std::regex_replace(text, std::regex(R"(\[HKEY_LOCAL_MACHINE\\Software(?=[\\\]]))", std::regex::icase),
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE");
  return text +
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet]\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n\"Default\"=dword:00000001\r\n"
         "\"Failed\"=dword:00000000\r\n\"LastKnownGood\"=dword:00000002\r\n\r\n";
}

// A registry export with each key's values in name order: hivexregedit
// lists them sorted, the simulated registry in the order they were made.
std::string values_sorted(const std::string& text) {
  std::string out, block;
  std::vector<std::string> values;
  std::istringstream in(text);
  auto flush = [&] {
    std::sort(values.begin(), values.end());
    for (const auto& v : values) out += v + "\n";
    values.clear();
  };
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && (line[0] == '"' || line[0] == '@')) {
      values.push_back(line);
    } else if (line.rfind("  ", 0) == 0 && !values.empty()) {  // hex data running on
      values.back() += "\n" + line;
    } else {
      flush();
      out += line + "\n";
    }
  }
  flush();
  return out;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

Registry registry_of(const std::string& text) {
  Registry r;
  r.set_family(sim::win32::RegFamily::NT);
  r.import_reg(text, "test");
  return r;
}

std::string run_tool(const std::string& args, int* status) {
  const Outcome o = RunTool(NETPURGE_SIM_PATH, args);
  *status = o.exit_code;
  return o.out;
}

// One scenario as two machines: a profile with the registry as an export
// (hive layout) and the same profile with hive files.
struct Machines {
  fs::path dir;
  std::vector<std::string> hive_args;                // "--hive SYSTEM=... ..."
  std::string layout;                                // the registry before, REGEDIT4
  std::map<std::string, hive_builder::Built> built;  // by kind
  std::string hive_flags() const {
    std::string s;
    for (const auto& a : hive_args) s += " --hive " + a;
    return s;
  }
};

Machines make_machines(const std::string& scenario, const fs::path& dir) {
  Machines m;
  m.dir = dir;
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path src = fs::path(REMOVAL_SCENARIOS_DIR) / scenario;
  nlohmann::json profile = nlohmann::json::parse(read_file(src / "profile.json"));
  m.layout = hive_layout(read_file(src / profile["registry"].get<std::string>()), scenario);
  write_file(dir / "before.reg", m.layout);
  if (profile.contains("files") && profile["files"].is_string())
    profile["files"] = (src / profile["files"].get<std::string>()).string();
  nlohmann::json security = nlohmann::json::object();
  const nlohmann::json given = profile.value("key_security", nlohmann::json::object());
  for (auto& [path, sddl] : given.items())
    security[std::regex_replace(path, std::regex(R"(^HKEY_LOCAL_MACHINE\\System)", std::regex::icase),
                                "HKEY_LOCAL_MACHINE\\SYSTEM")] = sddl;
  profile["key_security"] = security;
  profile["registry"] = "before.reg";
  write_file(dir / "export.json", profile.dump(1));

  // Every key's descriptor as the export's machine gives it.
  const sim::win32::Profile applied = sim::win32::load_profile_file(dir / "export.json");
  sim::win32::apply_profile(applied);
  const Registry& reg = sim::win32::machine().registry;
  std::map<std::string, std::string> sd;
  std::function<void(const std::string&)> walk = [&](const std::string& path) {
    const auto bytes = sim::win32::to_self_relative(
        reg.security(path), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    sd[path].assign(bytes.begin(), bytes.end());
    for (const auto& n : reg.subkey_names(path)) walk(path + "\\" + n);
  };
  for (const auto& kind : kKinds) {
    if (kind.name == "NTUSER" && reg.subkey_names("HKEY_CURRENT_USER").empty()) continue;
    walk(kind.mount);
    m.built[kind.name] = make_hive(dir / kind.name, kind, reg, sd);
    m.hive_args.push_back(kind.name + "=" + (dir / kind.name).string());
  }
  for (const char* other : {"HKEY_CLASSES_ROOT", "HKEY_USERS"})
    EXPECT_TRUE(reg.subkey_names(other).empty()) << scenario << ": keys outside the hives";
  profile.erase("registry");
  profile.erase("key_security");
  write_file(dir / "hive.json", profile.dump(1));
  return m;
}

std::vector<std::string> nt_scenarios() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(REMOVAL_SCENARIOS_DIR)) {
    const std::string n = e.path().filename().string();
    if ((n.rfind("nt4-", 0) != 0 && n.rfind("win2000-", 0) != 0) ||
        !nlohmann::json::parse(read_file(e.path() / "profile.json")).contains("registry"))
      continue;
    // HKEY_LOCAL_MACHINE\Enum (the 9x hardware tree, kept by scenarios that
    // run the 9x sweeps under NT's deletion rules) lies in no hive file.
    if (registry_of(read_file(e.path() / "before.reg")).key_exists("HKEY_LOCAL_MACHINE\\Enum")) continue;
    names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  return names;
}

fs::path work_dir(const std::string& name) {
  return fs::path(HIVE_TEST_WORK_DIR) / (name + "-" + std::to_string(getpid()));
}

class FromHives : public ::testing::TestWithParam<std::string> {};

TEST_P(FromHives, SameReportAsExportThenApplyAndUndo) {
  const Machines m = make_machines(GetParam(), work_dir(GetParam()));
  int status = 0;
  for (const auto& a : m.hive_args) {  // libhivex's own reader takes the files
    const std::string file = a.substr(a.find('=') + 1);
    const Outcome o = RunTool("hivexregedit", "--export '" + file + "' '\\' >/dev/null");
    EXPECT_EQ(o.exit_code, 0) << file << ": " << o.out;
  }
  const std::string from_export = run_tool("--json --profile " + (m.dir / "export.json").string(), &status);
  const int export_status = status;
  const std::string preview = run_tool("--json --profile " + (m.dir / "hive.json").string() + m.hive_flags(), &status);
  EXPECT_EQ(status, export_status);
  EXPECT_EQ(preview, from_export);

  std::map<std::string, std::string> originals;
  for (const auto& a : m.hive_args) originals[a] = read_file(a.substr(a.find('=') + 1));
  const std::string applied = run_tool("--json --profile " + (m.dir / "hive.json").string() + m.hive_flags() +
                                           " --apply --backup " + (m.dir / "undo.reg").string(),
                                       &status);
  ASSERT_EQ(status, export_status) << applied;
  const nlohmann::json report = nlohmann::json::parse(applied);

  // The files as hivexregedit reads them hold the registry expected after.
  const fs::path src = fs::path(REMOVAL_SCENARIOS_DIR) / GetParam();
  std::string want = hive_layout(read_file(src / "after.reg"), "after.reg");
  want = std::regex_replace(want, std::regex(R"(\[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet)"),
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001");
  Registry got;
  got.set_family(sim::win32::RegFamily::NT);
  for (std::size_t i = 0; i < m.hive_args.size(); ++i) {
    const std::string& a = m.hive_args[i];
    const std::string file = a.substr(a.find('=') + 1);
    const HiveKind& kind = kKinds[i];
    const Outcome o = RunTool("hivexregedit", "--export --prefix '" + kind.mount + "' '" + file + "' '\\' 2>/dev/null");
    ASSERT_EQ(o.exit_code, 0) << file;
    // hivexregedit names the hive's root "PREFIX\"; the registry names it PREFIX.
    got.import_reg(std::regex_replace(o.out, std::regex(R"(\\\])"), "]"), "hivexregedit " + file);
    const bool changed = originals[a] != read_file(file);
    bool reported = false;
    for (const auto& w : report["hive_files"])
      if (w["file"] == file) reported = w["changed"].get<bool>();
    EXPECT_EQ(reported, changed) << file;
    if (changed) {
      EXPECT_EQ(read_file(file + ".bak"), originals[a]) << file;
      EXPECT_EQ(hive_builder::layout_faults(read_file(file)), std::vector<std::string>{}) << file;
      // libregf reads it too, and finds the keys libhivex finds.
      const Outcome regf = RunTool("regfexport", "'" + file + "' 2>&1");
      EXPECT_EQ(regf.exit_code, 0) << file << ": " << regf.out;
      std::set<std::string> regf_keys, hivex_keys;
      std::istringstream lines(regf.out);
      for (std::string line; std::getline(lines, line);)
        if (line.rfind("Key path: ROOT", 0) == 0) regf_keys.insert(upper(kind.mount + line.substr(14)));
      std::function<void(const std::string&)> walk = [&](const std::string& path) {
        hivex_keys.insert(upper(path));
        for (const auto& n : got.subkey_names(path)) walk(path + "\\" + n);
      };
      walk(kind.mount);
      EXPECT_EQ(regf_keys, hivex_keys) << file;
    }
  }
  EXPECT_EQ(values_sorted(got.export_reg()), values_sorted(registry_of(want).export_reg()));

  // The undo file, imported into what the hives now hold, gives the original.
  sim::win32::Profile p;
  p.data = {{"platform", "nt4"}};
  p.source = "<test>";
  std::vector<netpurge_sim::HiveFile> files;
  for (const auto& a : m.hive_args) files.push_back(netpurge_sim::parse_hive_argument(a));
  const netpurge_sim::HiveSession now = netpurge_sim::load_hives(files, p);
  Registry undone = registry_of(now.registry_text);
  undone.import_reg(read_file(m.dir / "undo.reg"), "undo.reg");
  EXPECT_EQ(undone.export_reg(), registry_of(m.layout).export_reg());
  fs::remove_all(m.dir);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FromHives, ::testing::ValuesIn(nt_scenarios()), [](const auto& info) {
  std::string name = info.param;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});

// A failure at each step of the write: the files stay as they were, and no
// new or kept file is left beside them. The scenario changes SYSTEM and
// SOFTWARE, so a failed rename of the second undoes the first.
TEST(HiveWrite, FailureAtEachStepLeavesTheOriginals) {
  using netpurge_sim::HiveStep;
  for (HiveStep step : {HiveStep::Commit, HiveStep::Reopen, HiveStep::Check, HiveStep::Keep, HiveStep::Rename}) {
    const Machines m = make_machines("nt4-modem-neighbours", work_dir("fail"));
    std::map<fs::path, std::string> before;
    for (const auto& e : fs::directory_iterator(m.dir)) before[e.path()] = read_file(e.path());
    sim::win32::Profile profile = sim::win32::load_profile_file(m.dir / "hive.json");
    std::vector<netpurge_sim::HiveFile> files;
    for (const auto& a : m.hive_args) files.push_back(netpurge_sim::parse_hive_argument(a));
    const netpurge_sim::HiveSession session = netpurge_sim::load_hives(files, profile);
    const netpurge_sim::Report report = netpurge_sim::run(profile);
    ASSERT_TRUE(report.completed);
    const auto& changes = report.security_changes;
    EXPECT_THROW(netpurge_sim::write_hives(session, sim::win32::machine().registry, changes, true, {step, {}}),
                 std::runtime_error)
        << static_cast<int>(step);
    std::map<fs::path, std::string> after;
    for (const auto& e : fs::directory_iterator(m.dir)) after[e.path()] = read_file(e.path());
    EXPECT_TRUE(after == before) << "step " << static_cast<int>(step);
    // The same write without a fault changes both files.
    const auto written = netpurge_sim::write_hives(session, sim::win32::machine().registry, changes, false);
    EXPECT_EQ(std::count_if(written.begin(), written.end(), [](const auto& w) { return w.changed; }), 2);
    fs::remove_all(m.dir);
  }
}

// A key whose security cell cannot be read: reported, the default applies,
// the run goes on.
TEST(HiveSecurity, UnreadableDescriptorIsReported) {
  const Machines m = make_machines("nt4-modem-no-match", work_dir("badsd"));
  std::string b = read_file(m.dir / "SYSTEM");
  const std::uint32_t sk = 0x1000 + get32(b, 0x1000 + get32(b, 0x24) + 0x30);
  b[sk + 0x18] = 7;  // descriptor revision 7
  write_file(m.dir / "SYSTEM", b);
  int status = 0;
  const std::string out = run_tool("--profile " + (m.dir / "hive.json").string() + m.hive_flags(), &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Why:          hive: HKEY_LOCAL_MACHINE\\SYSTEM: its security could not be read (not a "
                     "security descriptor of revision 1); the default applies"),
            std::string::npos)
      << out;
  fs::remove_all(m.dir);
}

// Hive files refused: each with status 2 and a message naming the file and
// what is wrong, and none of them changed.
TEST(HiveRefusals, EachRefusedWithItsMessage) {
  const Machines m = make_machines("nt4-modem-neighbours", work_dir("refuse"));
  const std::string system = (m.dir / "SYSTEM").string(), software = (m.dir / "SOFTWARE").string();
  const std::string sys = read_file(system);
  std::string unclean = sys;
  put32(unclean, 0x08, get32(unclean, 0x04) + 1);
  fix_checksum(unclean);
  write_file(m.dir / "truncated", sys.substr(0, sys.size() / 2 + 100));
  write_file(m.dir / "unclean", unclean);
  write_file(m.dir / "win98", "CREG\x01\x00\x03\x00" + std::string(100, '\0'));
  write_file(m.dir / "win98.json", R"({"platform": "win98"})");
  write_file(m.dir / "head", sys.substr(0, 0x800));
  for (std::uint32_t minor : {1u, 5u}) {
    std::string other = sys;
    put32(other, 0x18, minor);
    fix_checksum(other);
    write_file(m.dir / ("minor" + std::to_string(minor)), other);
  }
  const std::string prof = " --profile " + (m.dir / "hive.json").string();
  struct Case {
    std::string args, message;
  } cases[] = {
      {"--hive SYSTEM=" + (m.dir / "truncated").string() + " --hive SOFTWARE=" + software,
       "truncated: the header says"},
      {"--hive SYSTEM=" + (m.dir / "head").string() + " --hive SOFTWARE=" + software, "truncated: 2048 bytes"},
      {"--hive SYSTEM=" + (m.dir / "before.reg").string() + " --hive SOFTWARE=" + software, "not a registry hive file"},
      {"--hive SYSTEM=" + (m.dir / "win98").string() + " --hive SOFTWARE=" + software, "a Windows 95/98 registry file"},
      {"--hive SYSTEM=" + (m.dir / "minor1").string() + " --hive SOFTWARE=" + software,
       "hive format 1.1, written by Windows NT 3.x: --hive reads and writes format 1.3"},
      {"--hive SYSTEM=" + (m.dir / "minor5").string() + " --hive SOFTWARE=" + software,
       "hive format 1.5, written by Windows XP or later"},
      {"--hive SYSTEM=" + (m.dir / "unclean").string() + " --hive SOFTWARE=" + software,
       "not written back cleanly: the header's sequence numbers differ"},
      {"--hive SYSTEM=" + software + " --hive SOFTWARE=" + system, "SYSTEM hive " + software +
                                                                       ": a SOFTWARE hive (its header names it so), "
                                                                       "given as SYSTEM"},
      {"--hive SYSTEM=" + system, "the SOFTWARE hive is missing"},
      {"--hive SYSTEM=" + system + " --hive SOFTWARE=" + software + " --apply", "--apply needs --backup FILE"},
      {"--hive SYSTEM=" + system + " --hive SOFTWARE=" + software + " --apply --backup " + system,
       "the undo file exists; --apply never writes over one"},
  };
  for (const auto& c : cases) {
    int status = 0;
    const std::string out = run_tool(prof + " " + c.args, &status);
    EXPECT_EQ(status, 2) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
  }
  const std::string both = " --hive SYSTEM=" + system + " --hive SOFTWARE=" + software;
  const Case profiles[] = {
      {"--profile " + (m.dir / "win98.json").string() + both,
       "Windows 95/98, whose registry files (SYSTEM.DAT, USER.DAT) are not in the NT hive format"},
      {"--profile " + (m.dir / "export.json").string() + both, "names a registry (\"registry\") and --hive gives one"},
      {both, "--hive needs --profile"},
  };
  for (const auto& c : profiles) {
    int status = 0;
    const std::string out = run_tool(c.args, &status);
    EXPECT_EQ(status, 2) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
  }
  EXPECT_EQ(read_file(system), sys);
  fs::remove_all(m.dir);
}

// Damage anywhere in the hive data: refused (2) or read with notes (0),
// never a crash or a hang.
TEST(HiveRefusals, DamagedCellsNeverCrash) {
  const Machines m = make_machines("nt4-modem-neighbours", work_dir("damage"));
  const std::string sys = read_file(m.dir / "SYSTEM");
  const std::string args = "--profile " + (m.dir / "hive.json").string() +
                           " --hive SYSTEM=" + (m.dir / "damaged").string() +
                           " --hive SOFTWARE=" + (m.dir / "SOFTWARE").string();
  for (std::size_t at = 0x1000; at + 4 <= sys.size(); at += (sys.size() - 0x1000) / 14 + 4) {
    for (std::uint32_t bad : {0xFFFFFFFFu, 0x7FFFFFF0u, 0u}) {
      std::string b = sys;
      put32(b, at, bad);
      write_file(m.dir / "damaged", b);
      int status = 0;
      const std::string out = run_tool(args, &status);
      EXPECT_TRUE(status == 0 || status == 2) << "at " << at << " " << bad << ": " << status << "\n" << out;
    }
  }
  fs::remove_all(m.dir);
}

std::map<fs::path, std::string> snapshot(const fs::path& dir) {
  std::map<fs::path, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) files[e.path()] = read_file(e.path());
  return files;
}

// Hives --apply must not write through: each refused with status 3 naming
// the cell, before any file is written (no undo file either).
TEST(HiveApply, MalformedHivesRefusedBeforeAnyWrite) {
  using hive_builder::Built;
  using hive_builder::cell_at;
  auto root_class = [](std::string& b, const Built& h, std::uint32_t cell) {
    put32(b, 0x1000 + h.nk.at("") + 4 + 0x30, cell);
    hive_builder::put16(b, 0x1000 + h.nk.at("") + 4 + 0x4A, 8);
  };
  const struct Case {
    std::string name;
    std::function<void(std::string&, const Built&)> damage;
  } cases[] = {
      {"two values sharing a data cell",
       [](std::string& b, const Built& h) {
         std::vector<std::uint32_t> with_cells;
         for (const auto& [name, vk] : h.vk)
           if (cell_at(b, vk, 4) > 4 && !(cell_at(b, vk, 4) & 0x80000000)) with_cells.push_back(vk);
         ASSERT_GE(with_cells.size(), 2u);
         put32(b, 0x1000 + with_cells[0] + 4 + 4, cell_at(b, with_cells[1], 4));
         put32(b, 0x1000 + with_cells[0] + 4 + 8, cell_at(b, with_cells[1], 8));
       }},
      {"a value listed twice",
       [](std::string& b, const Built& h) {
         for (const auto& [path, nk] : h.nk)
           if (cell_at(b, nk, 0x24) >= 2) {
             const std::uint32_t list = cell_at(b, nk, 0x28);
             put32(b, 0x1000 + list + 8, cell_at(b, list, 0));
             return;
           }
         FAIL() << "no key with two values";
       }},
      {"a wild class-name offset", [&](std::string& b, const Built& h) { root_class(b, h, 0x7FFFFFF0); }},
      {"a class name in a free cell", [&](std::string& b, const Built& h) { root_class(b, h, h.gaps.at(0)); }},
  };
  for (const auto& c : cases) {
    const Machines m = make_machines("nt4-modem-neighbours", work_dir("malformed"));
    std::string b = read_file(m.dir / "SYSTEM");
    c.damage(b, m.built.at("SYSTEM"));
    write_file(m.dir / "SYSTEM", b);
    const auto before = snapshot(m.dir);
    int status = 0;
    const std::string out = run_tool("--profile " + (m.dir / "hive.json").string() + m.hive_flags() +
                                         " --apply --backup " + (m.dir / "undo.reg").string(),
                                     &status);
    EXPECT_EQ(status, 3) << c.name << "\n" << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("SYSTEM hive .*: .*cell 0x[0-9A-F]+.*no undo file was written")))
        << c.name << "\n"
        << out;
    EXPECT_TRUE(snapshot(m.dir) == before) << c.name;
    fs::remove_all(m.dir);
  }
}

// The new file read back does not hold what was written (a disk that
// changed a byte): refused, the originals left.
TEST(HiveApply, NewFileThatReadsBackWrongIsRefused) {
  const Machines m = make_machines("nt4-modem-neighbours", work_dir("tamper"));
  const auto before = snapshot(m.dir);
  sim::win32::Profile profile = sim::win32::load_profile_file(m.dir / "hive.json");
  std::vector<netpurge_sim::HiveFile> files;
  for (const auto& a : m.hive_args) files.push_back(netpurge_sim::parse_hive_argument(a));
  const netpurge_sim::HiveSession session = netpurge_sim::load_hives(files, profile);
  const netpurge_sim::Report report = netpurge_sim::run(profile);
  const std::uint32_t vk = m.built.at("SYSTEM").vk.at("Select:Default");  // a value the run leaves
  netpurge_sim::CommitFaults faults;
  faults.tamper = [&](const netpurge_sim::FileRewrite& r, std::string& bytes) {
    if (r.file.filename() == "SYSTEM") bytes[0x1000 + vk + 4 + 8] ^= 2;
  };
  try {
    netpurge_sim::write_hives(session, sim::win32::machine().registry, report.security_changes, true, faults);
    ADD_FAILURE() << "the tampered file was accepted";
  } catch (const netpurge_sim::CommitError& e) {
    EXPECT_NE(std::string(e.what()).find("does not hold what the run left; no file was changed"), std::string::npos)
        << e.what();
    EXPECT_TRUE(e.restored);
  }
  EXPECT_TRUE(snapshot(m.dir) == before);
  fs::remove_all(m.dir);
}

// SYSTEM.ALT, the copy the boot loader falls back on, is written as the new
// SYSTEM; a SYSTEM.LOG is left, and can never be replayed over the new
// file: its write time differs and the new file is clean. Mode and owner
// stay.
TEST(HiveApply, AlternateRewrittenLogLeftModeKept) {
  const Machines m = make_machines("nt4-modem-neighbours", work_dir("alt"));
  const std::string sys = read_file(m.dir / "SYSTEM");
  write_file(m.dir / "system.alt", sys);
  std::string log = sys.substr(0, 0x200);
  put32(log, 0x1C, 1);  // a log's base block
  put32(log, 0x08, get32(log, 0x04) + 1);
  fix_checksum(log);
  log += "DIRT" + std::string(0x1FC, '\xFF') + sys.substr(0x1000, 0x200);
  write_file(m.dir / "SYSTEM.LOG", log);
  fs::permissions(m.dir / "SYSTEM", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  int preview = 0, status = 0;
  run_tool("--profile " + (m.dir / "hive.json").string() + m.hive_flags(), &preview);
  const std::string out = run_tool("--profile " + (m.dir / "hive.json").string() + m.hive_flags() +
                                       " --apply --backup " + (m.dir / "undo.reg").string(),
                                   &status);
  ASSERT_EQ(status, preview) << out;
  const std::string now = read_file(m.dir / "SYSTEM");
  EXPECT_NE(now, sys);
  EXPECT_EQ(read_file(m.dir / "system.alt"), now);
  EXPECT_EQ(read_file(m.dir / "system.alt.bak"), sys);
  EXPECT_NE(out.find("SYSTEM.ALT " + (m.dir / "system.alt").string() + " changed"), std::string::npos) << out;
  EXPECT_EQ(read_file(m.dir / "SYSTEM.LOG"), log);
  EXPECT_NE(now.compare(0x0C, 8, log, 0x0C, 8), 0);
  EXPECT_EQ(get32(now, 0x04), get32(now, 0x08));
  EXPECT_EQ(fs::status(m.dir / "SYSTEM").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::remove_all(m.dir);
}

}  // namespace
