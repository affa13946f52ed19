// The folder purge over many generated file trees (fixed seed): whatever
// the tree (names ending in blanks and dots among them), the group name,
// the links and the current folder (inside a target too), nothing
// outside the two install folders and a real program group is deleted, the
// current folder is the same afterwards, every search handle is closed, and
// an install tree with nothing refused in it is gone completely.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "sim/win32/files.h"
#include "sim/win32/machine.h"
#include "sim/win32/profile.h"
#include "sim/win32/resources.h"
#include "uninstaller/netpurge.h"
#include "uninstaller/resource.h"

namespace {

using namespace sim::win32;

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool within(const std::string& path, const std::string& root) {
  const std::string p = upper(path), r = upper(root);
  return p == r || (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '\\');
}

struct Generated {
  std::string platform;
  nlohmann::json files = nlohmann::json::array();
  std::string programs;  // NT: the "Programs" value
  std::string group;     // the group name the string table gives
  std::string current;
  bool refusals_in_install = false;  // something in the install trees may stay
};

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  Generated next() {
    Generated g;
    static const char* platforms[] = {"win98", "nt4", "win2000"};
    g.platform = platforms[pick(3)];
    const bool nt = g.platform != "win98";
    const std::string windows = nt ? "C:\\WINNT" : "C:\\WINDOWS";
    g_ = &g;
    nt_links_ = g.platform == "win2000";
    add_tree(windows, 2, false);
    add_tree(windows + (nt ? "\\system32" : "\\SYSTEM"), 1, false);
    const std::string menu =
        nt ? "C:\\WINNT\\Profiles\\User\\Start Menu\\Programs" : windows + "\\Start Menu\\Programs";
    add_tree(menu, 2, false);
    add_tree(menu + "\\Tavix", 2, true);
    add_tree("C:\\TAVIX\\M32A", 4, true);
    add_tree("C:\\TAVIX\\M32AAPPS", 3, true);
    add_tree("C:\\TAVIX\\OTHER", 2, false);
    add_tree("D:\\DATA", 2, false);
    g.files.push_back("C:\\Tools\\netpurge.exe");
    // The program menu value, written in one of the ways a profile may hold it.
    static const char* menu_forms[] = {"", "\\", "\\.", " ", "\\..\\Programs"};
    g.programs = pick(2) ? menu + menu_forms[pick(5)] : upper(menu);
    static const char* groups[] = {"  ", "", " . ", "Tavix", "..", "..\\..", "Tavix\\..\\..", ".\\", "Tavix\\."};
    g.group = groups[pick(9)];
    const std::string currents[] = {"C:\\Tools",       "C:\\TAVIX", windows,
                                    "C:\\TAVIX\\M32A", "D:\\DATA",  "C:\\TAVIX\\M32AAPPS\\CUR"};
    g.current = currents[pick(6)];
    if (g.current == "C:\\TAVIX\\M32AAPPS\\CUR") g.files.push_back("C:\\TAVIX\\M32AAPPS\\CUR\\");
    if (g.current.rfind("C:\\TAVIX\\M32A", 0) == 0) g.refusals_in_install = true;
    return g;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  void add_tree(const std::string& folder, int depth, bool install) {
    g_->files.push_back(folder + "\\");
    const int entries = pick(5);
    for (int i = 0; i < entries; ++i) {
      const std::string name = folder + "\\" + (pick(2) ? "f" : "F") + std::to_string(counter_++) + ".dat";
      nlohmann::json e{{"path", name}};
      const int kind = pick(60);
      if (kind == 0) e["attributes"] = {"readonly"};
      if (kind == 1) e["in_use"] = true;
      if (kind == 2) e["attributes"] = {"hidden", "system"};
      if (install && kind < 2) g_->refusals_in_install = true;
      g_->files.push_back(e);
    }
    if (nt_links_ && pick(6) == 0) {
      static const char* targets[] = {"C:\\WINNT", "C:\\TAVIX\\OTHER", "D:\\DATA", "C:\\", "C:\\TAVIX\\M32A"};
      g_->files.push_back({{"path", folder + "\\L" + std::to_string(counter_++) + "\\"}, {"target", targets[pick(5)]}});
    }
    if (pick(14) == 0) {
      // A name the platform trims at a path's end, folder or file.
      static const char* trimmed[] = {"...", "  ", ".. ", "a. ", ". ."};
      const std::string name = folder + "\\" + trimmed[pick(5)];
      g_->files.push_back(pick(2) ? name + "\\T" + std::to_string(counter_++) + ".dat" : name);
      if (install) g_->refusals_in_install = true;
    }
    if (pick(25) == 0) {
      g_->files.push_back(
          {{"path", folder + "\\NOENTRY" + std::to_string(counter_++) + "\\"}, {"access_denied", true}});
      if (install) g_->refusals_in_install = true;
    }
    if (depth == 0) return;
    const int folders = pick(3);
    for (int i = 0; i < folders; ++i) add_tree(folder + "\\D" + std::to_string(counter_++), depth - 1, install);
  }

  std::mt19937 rng_;
  Generated* g_ = nullptr;
  bool nt_links_ = false;
  int counter_ = 0;
};

TEST(FolderPurgeInvariant, NothingOutsideTheTargetsIsEverDeleted) {
  Generator gen(20261208);
  int fully_removed = 0;
  for (int run = 0; run < 200; ++run) {
    const Generated g = gen.next();
    SCOPED_TRACE("run " + std::to_string(run) + " on " + g.platform + ", group \"" + g.group + "\", current " +
                 g.current);
    nlohmann::json profile{{"platform", g.platform}, {"files", g.files}, {"current_folder", g.current}};
    apply_profile(parse_profile(profile.dump(), "<generated>", {}));
    std::string escaped;
    for (char c : g.programs) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    machine().registry.import_reg(
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\"
        "Shell Folders]\n\"Programs\"=\"" +
            escaped + "\"\n",
        "<generated>");
    removal_test::fresh_resources(true, true);
    machine().resources().replaced_strings[g.platform == "win98" ? IDS_GROUP_9X : IDS_GROUP_NT] = g.group;

    PurgeSoftwareFolders();

    const auto& fs = machine().files();
    std::vector<std::string> allowed = {"C:\\TAVIX\\M32A", "C:\\TAVIX\\M32AAPPS"};
    if (g.group == "Tavix" || g.group == "Tavix\\.")
      allowed.push_back((g.platform == "win98" ? "C:\\WINDOWS\\Start Menu\\Programs"
                                               : "C:\\WINNT\\Profiles\\User\\Start Menu\\Programs") +
                        std::string("\\Tavix"));
    auto is_allowed = [&](const std::string& path) {
      return std::any_of(allowed.begin(), allowed.end(), [&](const std::string& root) { return within(path, root); });
    };
    for (const auto& f : fs.deleted_files) EXPECT_TRUE(is_allowed(f)) << "deleted " << f;
    for (const auto& f : fs.removed_folders) EXPECT_TRUE(is_allowed(f)) << "removed " << f;
    EXPECT_EQ(fs.current_folder, g.current);
    EXPECT_EQ(fs.open_find_handles(), 0u);
    EXPECT_EQ(machine().registry.open_handle_count(), 0u);
    if (g.group.empty()) {
      // An empty group name cannot be loaded: the purge stops before any target.
      EXPECT_TRUE(fs.deleted_files.empty());
      EXPECT_TRUE(fs.removed_folders.empty());
    } else if (!g.refusals_in_install) {
      for (const auto& e : export_files(machine().files())) {
        const std::string path = e.is_string() ? e.get<std::string>() : e["path"].get<std::string>();
        EXPECT_FALSE(within(path.substr(0, path.find_last_not_of('\\') + 1), "C:\\TAVIX\\M32A") ||
                     within(path.substr(0, path.find_last_not_of('\\') + 1), "C:\\TAVIX\\M32AAPPS"))
            << path << " left behind";
      }
      ++fully_removed;
    }
  }
  // The generator must give both kinds of machine.
  EXPECT_GT(fully_removed, 20);
  EXPECT_LT(fully_removed, 190);
}

}  // namespace
