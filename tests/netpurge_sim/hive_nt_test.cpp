// Edits of hives built in NT 4's own layout (hive_builder.h): each case
// changes the registry as a run would, writes the hive back, and checks the
// file three ways: a layout check written here from the format description
// (no "lh" leaf, no empty list or leaf, the parent's list cleared, hints,
// sk counts and links, a clean header), libhivex and libregf reading it,
// and the registry read back equal to the one the change left.
#include <gtest/gtest.h>
#include <hivex.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>

#include "sim/win32/registry.h"
#include "sim/win32/security.h"
#include "tests/common/run_tool.h"
#include "tests/netpurge_sim/hive_builder.h"
#include "tools/netpurge-sim/hive.h"
#include "tools/netpurge-sim/hive_regf.h"

namespace {

namespace fs = std::filesystem;
using hive_builder::get32;
using hive_builder::Key;
using hive_builder::layout_faults;
using hive_builder::Value;
using sim::win32::Registry;

std::string read_file(const fs::path& f) {
  std::ifstream in(f, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void write_file(const fs::path& f, const std::string& s) { std::ofstream(f, std::ios::binary) << s; }
std::string descriptor(const std::string& sddl) {
  std::string error;
  const auto bytes = sim::win32::to_self_relative(*sim::win32::parse_sddl(sddl, &error),
                                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
  return std::string(bytes.begin(), bytes.end());
}
const std::string kAdmins = descriptor("O:BAD:(A;;KA;;;BA)"), kUsers = descriptor("O:BAD:(A;;KR;;;BU)");

Key minimal_system() {
  Key root{"ROOT", {}, {{"ControlSet001", {}, {}, kAdmins, ""}}, kAdmins, ""};
  root.keys.push_back({"Select", {{"Current", 4, std::string("\1\0\0\0", 4)}}, {}, kAdmins, ""});
  return root;
}

struct Hives {
  fs::path dir;
  netpurge_sim::HiveSession session;
};
Hives load(const std::string& name, const Key& software, const hive_builder::Options& o = {},
           const Key& system = minimal_system()) {
  Hives h;
  h.dir = fs::path(HIVE_TEST_WORK_DIR) / ("nt-" + name + "-" + std::to_string(getpid()));
  fs::remove_all(h.dir);
  fs::create_directories(h.dir);
  hive_builder::Options so;
  write_file(h.dir / "SYSTEM", hive_builder::build(system, so).bytes);
  hive_builder::Options sw = o;
  sw.header_name = "SOFTWARE";
  write_file(h.dir / "SOFTWARE", hive_builder::build(software, sw).bytes);
  sim::win32::Profile p;
  p.data = {{"platform", "nt4"}};
  p.source = "<test>";
  h.session = netpurge_sim::load_hives({netpurge_sim::parse_hive_argument("SYSTEM=" + (h.dir / "SYSTEM").string()),
                                        netpurge_sim::parse_hive_argument("SOFTWARE=" + (h.dir / "SOFTWARE").string())},
                                       p);
  return h;
}
Registry registry_of(const std::string& text) {
  Registry r;
  r.set_family(sim::win32::RegFamily::NT);
  r.import_reg(text, "test");
  return r;
}

Key numbered(const std::string& prefix, std::size_t n) {
  Key k{"Many", {}, {}, kAdmins, ""};
  for (std::size_t i = 0; i < n; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%05zu", prefix.c_str(), i);
    k.keys.push_back({name, {{"Index", 4, std::string(reinterpret_cast<const char*>(&i), 4)}}, {}, kAdmins, ""});
  }
  return k;
}

const std::string kSw = "HKEY_LOCAL_MACHINE\\SOFTWARE";

TEST(HiveNtLayout, EditsLeaveWhatNtReads) {
  const std::string big(20000, 'B'), secret = "REMOVED-SECRET-DATA";
  const Key gone{"Gone",
                 {{"Empty", 1, ""}, {"EmptyInline", 3, "", true}, {"Big", 3, big}, {"Secret", 3, secret}},
                 {{"Child", {}, {}, kUsers, "ChildClass"}},
                 kUsers,
                 "GoneClass"};
  struct Case {
    std::string name;
    Key software;
    hive_builder::Options options;
    std::function<void(Registry&)> change;
  } cases[] = {
      {"last subkey deleted",
       {"ROOT", {}, {{"Parent", {}, {{"Only", {}, {}, kAdmins, ""}}, kAdmins, ""}}, kAdmins, ""},
       {},
       [](Registry& r) { r.delete_tree(kSw + "\\Parent\\Only"); }},
      {"leaf below ri emptied",
       {"ROOT", {}, {numbered("K", 30)}, kAdmins, ""},
       {10},
       [](Registry& r) {
         for (int i = 0; i < 10; ++i) r.delete_tree(kSw + "\\Many\\K0000" + std::to_string(i));
         r.delete_tree(kSw + "\\Many\\K00025");
       }},
      {"li leaves, every subkey deleted",
       {"ROOT", {}, {numbered("K", 12)}, kAdmins, ""},
       {5, true},
       [](Registry& r) {
         for (const auto& n : r.subkey_names(kSw + "\\Many")) r.delete_tree(kSw + "\\Many\\" + n);
       }},
      {"shared sk, class names, empty and big values deleted",
       {"ROOT", {}, {gone, {"Keep", {}, {}, kUsers, "KeepClass"}}, kAdmins, ""},
       {507, false, 3},
       [](Registry& r) { r.delete_tree(kSw + "\\Gone"); }},
      {"every key sharing an sk deleted",
       {"ROOT", {}, {gone, {"Too", {}, {}, kUsers, ""}}, kAdmins, ""},
       {},
       [](Registry& r) {
         r.delete_tree(kSw + "\\Gone");
         r.delete_tree(kSw + "\\Too");
       }},
      {"key added below a 1.3 root",
       {"ROOT", {}, {numbered("K", 3)}, kAdmins, ""},
       {},
       [](Registry& r) {
         r.set_value(kSw + "\\Many\\Added\\Sub", {"Value", REG_DWORD, {1, 0, 0, 0}});
         r.set_value(kSw + "\\Many\\AAA", {"", REG_SZ, {'x'}});
       }},
  };
  for (const auto& c : cases) {
    Hives h = load(std::to_string(&c - cases), c.software, c.options);
    Registry after = registry_of(h.session.registry_text);
    c.change(after);
    const auto written = netpurge_sim::write_hives(h.session, after, {}, false);
    const std::string file = (h.dir / "SOFTWARE").string(), bytes = read_file(file);
    EXPECT_EQ(layout_faults(bytes), std::vector<std::string>{}) << c.name;
    EXPECT_NE(bytes.compare(0x0C, 8, h.session.hives[1].bytes, 0x0C, 8), 0) << c.name << ": header time kept";
    for (const std::string& gone_text : {secret, std::string("G\0o\0n\0e\0C\0l\0a\0s\0s", 17), std::string("Gone")})
      EXPECT_EQ(bytes.find(gone_text), std::string::npos) << c.name << ": " << gone_text << " still in the file";
    const Outcome hivex = RunTool("hivexregedit", "--export '" + file + "' '\\' 2>&1 >/dev/null");
    EXPECT_EQ(hivex.exit_code, 0) << c.name << ": " << hivex.out;
    const Outcome regf = RunTool("regfexport", "'" + file + "' 2>&1");
    EXPECT_EQ(regf.exit_code, 0) << c.name << ": " << regf.out;
    EXPECT_EQ(regf.out.find("Unable"), std::string::npos) << c.name << ": " << regf.out;
    sim::win32::Profile p;
    p.data = {{"platform", "nt4"}};
    p.source = "<test>";
    const auto back = netpurge_sim::load_hives(h.session.hives, p);
    EXPECT_EQ(registry_of(back.registry_text).export_reg(), after.export_reg()) << c.name;
    fs::remove_all(h.dir);
  }
}

// A key's values rewritten (one added): the others come back byte for
// byte, whatever they hold, as libhivex reads them.
TEST(HiveNtLayout, RewrittenValuesKeepTheirBytes) {
  const std::string cyrillic("\x21\x04\x35\x04\x42\x04\x4C\x04\0\0", 10), lone("\x00\xD8\x41\x00\0\0", 6),
      odd("a\0b\0c", 5), cafe("c\0a\0f\0\xE9\0\0\0", 10), multi("a\0\0\0b\0\0\0\0\0", 10);
  Key linkage{"Linkage",
              {{"Cyrillic", 1, cyrillic},
               {"Lone", 1, lone},
               {"Odd", 1, odd},
               {"Cafe", 2, cafe},
               {"Multi", 7, multi},
               {"Empty", 1, ""},
               {"Big", 3, std::string(30000, '\x7F')},
               {"Link", 6, std::string("\x5C\0x\0", 4)}},
              {},
              kAdmins,
              ""};
  Hives h = load("values", {"ROOT", {}, {linkage}, kAdmins, ""});
  Registry after = registry_of(h.session.registry_text);
  after.set_value(kSw + "\\Linkage", {"Bind", REG_MULTI_SZ, {'N', 'e', 't', 0, 0}});
  netpurge_sim::write_hives(h.session, after, {}, false);
  const std::string file = (h.dir / "SOFTWARE").string();
  EXPECT_EQ(layout_faults(read_file(file)), std::vector<std::string>{});
  hive_h* hv = hivex_open(file.c_str(), 0);
  ASSERT_NE(hv, nullptr);
  const hive_node_h node = hivex_node_get_child(hv, hivex_root(hv), "Linkage");
  ASSERT_NE(node, 0u);
  for (const Value& v : linkage.values) {
    if (v.data.empty()) continue;  // libhivex reads no empty value in NT's form
    const hive_value_h val = hivex_node_get_value(hv, node, v.name.c_str());
    ASSERT_NE(val, 0u) << v.name;
    hive_type t;
    std::size_t len = 0;
    char* data = hivex_value_value(hv, val, &t, &len);
    ASSERT_NE(data, nullptr) << v.name;
    EXPECT_EQ(std::string(data, len), v.data) << v.name;
    EXPECT_EQ(static_cast<std::uint32_t>(t), v.type) << v.name;
    free(data);
  }
  hivex_close(hv);
  // The empty one, as the format stores it.
  const auto hive = netpurge_sim::regf::parse(read_file(file), 512);
  const auto& values = hive.keys[hive.keys[0].children[0]].values;
  ASSERT_EQ(values.size(), linkage.values.size() + 1);
  EXPECT_EQ(values[5].name, "Empty");
  EXPECT_EQ(values[5].data, "");
  EXPECT_EQ(values.back().name, "Bind");
  fs::remove_all(h.dir);
}

// Apply time grows as N log N: 20,000 siblings, half of them deleted.
TEST(HivePerf, TwentyThousandSiblings) {
  Hives h = load("perf", {"ROOT", {}, {numbered("Sibling", 20000)}, kAdmins, ""});
  Registry after = registry_of(h.session.registry_text);
  for (std::size_t i = 0; i < 20000; i += 2) {
    char name[32];
    std::snprintf(name, sizeof name, "Sibling%05zu", i);
    after.delete_tree(kSw + "\\Many\\" + name);
  }
  const std::clock_t start = std::clock();
  netpurge_sim::write_hives(h.session, after, {}, false);
  const double cpu = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  std::printf("hive apply, 20000 siblings, 10000 deleted: %.3f s CPU\n", cpu);
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(cpu, 1.0);
#endif
  EXPECT_EQ(layout_faults(read_file(h.dir / "SOFTWARE")), std::vector<std::string>{});
  fs::remove_all(h.dir);
}

// A SYSTEM hive of 36,000 keys (3,000 services of 12 keys each): read,
// 300 services removed and 100 keys' values rewritten, written back.
TEST(HivePerf, SystemHiveOf36000Keys) {
  Key system = minimal_system();
  Key services{"Services", {}, {}, kAdmins, ""};
  for (int i = 0; i < 3000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Service%04d", i);
    Key svc{name, {{"Start", 4, std::string("\3\0\0\0", 4)}, {"ImagePath", 2, std::string(40, 'p')}}, {}, kAdmins, ""};
    for (int k = 0; k < 11; ++k)
      svc.keys.push_back({"Sub" + std::to_string(k), {{"Bind", 7, std::string(60, 'b')}}, {}, kUsers, ""});
    services.keys.push_back(std::move(svc));
  }
  system.keys[0].keys.push_back(std::move(services));
  const std::string cs = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
  const std::clock_t start = std::clock();
  Hives h = load("system36k", {"ROOT", {}, {}, kAdmins, ""}, {}, system);
  Registry after = registry_of(h.session.registry_text);
  const double read = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  for (int i = 0; i < 300; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Service%04d", i * 10);
    EXPECT_TRUE(after.delete_tree(cs + name));
  }
  for (int i = 1; i < 1000; i += 10) {
    char name[32];
    std::snprintf(name, sizeof name, "Service%04d\\Sub3", i);
    after.set_value(cs + name, {"Export", REG_SZ, {'x', 0}});
  }
  const std::clock_t write_start = std::clock();
  netpurge_sim::write_hives(h.session, after, {}, false);
  const double write = static_cast<double>(std::clock() - write_start) / CLOCKS_PER_SEC;
  std::printf("hive apply, SYSTEM of %zu keys: %.3f s CPU to read, %.3f s CPU to write, %.3f s in all\n",
              static_cast<std::size_t>(3000 * 12 + 5), read, write, read + write);
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(read + write, 3.0);
#endif
  EXPECT_EQ(layout_faults(read_file(h.dir / "SYSTEM")), std::vector<std::string>{});
  fs::remove_all(h.dir);
}

}  // namespace
