#include "why_folders.h"

#include <cctype>
#include <functional>

#include "sim/win32/files.h"
#include "sim/win32/resources.h"
#include "uninstaller/resource.h"

namespace netpurge_sim {

using namespace sim::win32;

namespace {

// The program's folder buffers hold 127 characters and the terminator.
constexpr std::size_t kPurgeChars = 128;
constexpr std::size_t kReasonsShown = 3;

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// 1 when `inner` (a drive path) is `outer` or lies below it.
bool within(const std::string& inner, const std::string& outer) {
  const std::string i = upper(inner), o = upper(outer);
  if (o.empty() || i.compare(0, o.size(), o) != 0) return false;
  return i.size() == o.size() || o.back() == '\\' || i[o.size()] == '\\';
}

std::string local(FileSystem& fs, const std::string& path) {
  auto full = fs.full_path(path);
  FsNode* node = full ? fs.lookup(*full) : nullptr;
  return node ? fs.path_of(*node) : "";
}

bool trimmed(const std::string& name) { return !name.empty() && (name.back() == ' ' || name.back() == '.'); }

// What in the tree below `folder` a purge cannot remove.
void collect(FileSystem& fs, FsNode& folder, std::vector<std::string>& reasons) {
  for (FsNode* n : fs.listing(folder)) {
    const std::string path = fs.path_of(*n);
    if (trimmed(n->name)) {
      reasons.push_back("\"" + path + "\" ends in a blank or a dot, which a path cannot name: left");
    } else if (n->is_folder() && path.size() >= kPurgeChars) {
      reasons.push_back(path.substr(0, 40) + "... passes 127 characters: left whole");
    } else if (n->is_link()) {
      continue;
    } else if (n->is_folder() && n->access_denied) {
      reasons.push_back(path + " may not be entered");
    } else if (n->is_folder()) {
      collect(fs, *n, reasons);
    } else if (n->in_use) {
      reasons.push_back(path + " is in use");
    } else if (n->attributes & FILE_ATTRIBUTE_READONLY) {
      reasons.push_back(path + " is read-only");
    }
  }
}

}  // namespace

void explain_folder_purge(const Report& r, Machine& m, std::vector<std::string>& why) {
  if (!r.removal_ran || !r.modem_mode) return;
  FileSystem& fs = m.files();
  std::string base;
  if (m.is_nt()) {
    RegValue programs;
    if (!m.registry.get_value(
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Programs",
            &programs)) {
      why.push_back(
          "the folder purge touched nothing: the user's program menu (value \"Programs\" of "
          "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders) "
          "cannot be read");
      return;
    }
    base.assign(programs.data.begin(), programs.data.end());
    base = base.substr(0, base.find('\0'));
  } else {
    base = fs.windows_folder;
  }
  const auto group = m.resources().string(m.is_nt() ? IDS_GROUP_NT : IDS_GROUP_9X);
  if (!group) return;
  if (fs.current_folder.size() >= kPurgeChars) {
    why.push_back("the folder purge touched nothing: the current folder " + fs.current_folder + " has " +
                  std::to_string(fs.current_folder.size()) +
                  " characters, more than the program's 128-character buffer holds, so it could not come back to it");
    return;
  }
  std::vector<std::string> targets;
  bool blank = true;
  for (char c : *group) blank = blank && (c == ' ' || c == '.');
  if (!blank) targets.push_back(base + "\\" + *group);
  for (UINT id : {IDS_MODEM_FOLDER_1, IDS_MODEM_FOLDER_2})
    if (auto folder = m.resources().string(id)) targets.push_back(*folder);

  const std::string current = local(fs, fs.current_folder);
  const std::pair<std::string, const char*> guarded[] = {{local(fs, fs.windows_folder), "the Windows folder"},
                                                         {local(fs, fs.system_folder), "the system folder"},
                                                         {local(fs, base), "the program menu"}};
  for (const auto& target : targets) {
    const std::string path = local(fs, target);
    auto full = fs.full_path(target);
    FsNode* node = full ? fs.lookup(*full, false) : nullptr;
    if (node == nullptr || !node->is_folder()) continue;  // gone, or never there
    if (node->parent == nullptr) {
      why.push_back(target + " was not purged: it names a drive's root");
      continue;
    }
    bool skipped = false;
    for (const auto& [folder, what] : guarded) {
      if (!folder.empty() && within(folder, path)) {
        why.push_back(target + " was not purged: it is " + what + " or a folder above it");
        skipped = true;
        break;
      }
    }
    if (skipped) continue;
    if (node->access_denied) {
      why.push_back(target + " was not purged: it may not be entered");
      continue;
    }
    std::vector<std::string> reasons;
    if (!current.empty() && within(current, path))
      reasons.push_back("it holds the current folder " + fs.current_folder + ", which the purge comes back to");
    collect(fs, *node, reasons);
    if (reasons.empty()) continue;
    std::string line = path + " stays: ";
    for (std::size_t i = 0; i < reasons.size() && i < kReasonsShown; ++i) line += (i ? "; " : "") + reasons[i];
    if (reasons.size() > kReasonsShown) line += "; and " + std::to_string(reasons.size() - kReasonsShown) + " more";
    why.push_back(line);
  }
}

}  // namespace netpurge_sim
