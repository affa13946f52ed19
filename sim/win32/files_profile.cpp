// The file keys of machine profiles, the default machine's file system per
// platform, and the export of a tree in the form "files" reads.
//
//   "files": [ "C:\\TAVIX\\M32A\\",                  a folder (ends in "\")
//              "C:\\TAVIX\\M32A\\M32A.EXE",          a file
//              {"path": "C:\\TAVIX\\README.TXT", "attributes": ["readonly"],
//               "in_use": true, "content": "text"},
//              {"path": "C:\\LINK\\", "target": "C:\\TAVIX"},   a link (Windows 2000 on)
//              {"path": "C:\\LOCKED\\", "access_denied": true} ]
//   or "files": "name.json", a file holding such a list, beside the profile.
//   "windows_folder", "system_folder", "current_folder": full paths.
//   "path": the PATH's folders, as "A;B" or ["A", "B"].
#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "files.h"
#include "machine.h"
#include "profile.h"
#include "profile_schema.h"
#include "sim/common/input_file.h"

namespace sim::win32 {

namespace {

struct AttributeName {
  const char* name;
  DWORD bit;
};
constexpr AttributeName kAttributes[] = {{"readonly", FILE_ATTRIBUTE_READONLY},
                                         {"hidden", FILE_ATTRIBUTE_HIDDEN},
                                         {"system", FILE_ATTRIBUTE_SYSTEM},
                                         {"archive", FILE_ATTRIBUTE_ARCHIVE}};
const std::set<std::string> kEntryKeys = {"path", "attributes", "in_use", "content", "target", "access_denied"};

bool is_full_path(const std::string& p) {
  return p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' &&
         (p[2] == '\\' || p[2] == '/');
}

std::string entry_label(std::size_t index, const nlohmann::json& entry) {
  std::string path = entry.is_string() ? entry.get<std::string>()
                     : entry.is_object() && entry.contains("path") && entry["path"].is_string()
                         ? entry["path"].get<std::string>()
                         : "";
  return "\"files\" entry " + std::to_string(index + 1) + (path.empty() ? "" : " (\"" + path + "\")");
}

// Adds the profile's entries to the tree, in their order (on FAT the order
// of a folder's entries is the order they were added).
void add_entries(FileSystem& fs, const nlohmann::json& files, const std::string& source) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto& e = files[i];
    auto bad = [&](const std::string& what) { throw InputError(source + ": " + entry_label(i, e) + ": " + what); };
    if (!e.is_string() && !e.is_object()) bad("an entry is a path or {\"path\": ..., ...}");
    if (e.is_object()) {
      for (const auto& [key, value] : e.items())
        if (!kEntryKeys.count(key))
          bad("unknown field \"" + key + "\" (known: path, attributes, in_use, content, target, access_denied)");
      if (!e.contains("path") || !e["path"].is_string()) bad("\"path\" must be a string");
      if (e.contains("in_use") && !e["in_use"].is_boolean()) bad("\"in_use\" must be true or false");
      if (e.contains("access_denied") && !e["access_denied"].is_boolean())
        bad("\"access_denied\" must be true or false");
      if (e.contains("content") && !e["content"].is_string()) bad("\"content\" must be a string");
      if (e.contains("target") && !e["target"].is_string()) bad("\"target\" must be a string");
    }
    const std::string path = e.is_string() ? e.get<std::string>() : e["path"].get<std::string>();
    if (!is_full_path(path)) bad("not a full path with a drive letter");
    const bool folder = path.back() == '\\' || path.back() == '/';
    FsNode* node = nullptr;
    try {
      node = &fs.add(path, folder);
    } catch (const InputError& error) {
      bad(error.what());
    }
    if (!e.is_object()) continue;
    if (e.contains("attributes")) {
      const auto& a = e["attributes"];
      DWORD bits = 0;
      if (a.is_number_unsigned()) {
        bits = a.get<DWORD>() &
               (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
      } else if (a.is_array()) {
        for (const auto& name : a) {
          bool known = false;
          for (const auto& k : kAttributes)
            if (name.is_string() && name.get<std::string>() == k.name) bits |= k.bit, known = true;
          if (!known) bad("unknown attribute " + name.dump() + " (known: readonly, hidden, system, archive)");
        }
      } else {
        bad("\"attributes\" must be a list of names or a number");
      }
      node->attributes = bits | (folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
    }
    node->in_use = e.value("in_use", false);
    node->content = e.value("content", std::string());
    if (e.contains("access_denied")) {
      if (!folder) bad("only a folder can refuse to be entered");
      node->access_denied = e["access_denied"].get<bool>();
    }
    if (e.contains("target")) {
      if (!folder) bad("a link names a folder: its path ends in a backslash");
      if (!fs.links_supported) bad("folder links (reparse points) exist on Windows 2000 and later only");
      if (!is_full_path(e["target"].get<std::string>())) bad("\"target\" must be a full path");
      if (!node->slots.empty()) bad("a link has no entries of its own");
      node->target = e["target"].get<std::string>();
      node->attributes |= FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    }
  }
}

std::string strip_closing_backslash(std::string folder) {
  while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  return folder;
}

struct Folders {
  std::string windows, system, system16, programs;
};

Folders default_folders(const Machine& m) {
  if (!m.is_nt()) return {"C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM", "", "C:\\WINDOWS\\Start Menu\\Programs"};
  Folders f{"C:\\WINNT", "C:\\WINNT\\system32", "C:\\WINNT\\system", ""};
  f.programs = m.version.major >= 5 ? "C:\\Documents and Settings\\Administrator\\Start Menu\\Programs"
                                    : "C:\\WINNT\\Profiles\\Administrator\\Start Menu\\Programs";
  return f;
}

std::unique_ptr<FileSystem> empty_file_system(const Machine& m) {
  auto fs = std::make_unique<FileSystem>(m.is_nt() ? FsFamily::Ntfs : FsFamily::Fat);
  fs->links_supported = m.is_nt() && m.version.major >= 5;
  return fs;
}

// A machine as installed: its boot files, Windows and system folders, the
// section runner with its library, the setup information folder (with the
// adapters' setup file, as on a machine where they were installed), a
// program menu and some programs.
void add_default_tree(FileSystem& fs, const Machine& m, const Folders& f) {
  auto file = [&](const std::string& path, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE, bool in_use = false) {
    FsNode& n = fs.add(path, false);
    n.attributes = attributes;
    n.in_use = in_use;
  };
  const DWORD rhs = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const std::string w = f.windows, s = f.system;
  if (!m.is_nt()) {
    file("C:\\IO.SYS", rhs);
    file("C:\\MSDOS.SYS", rhs);
    file("C:\\COMMAND.COM");
    file("C:\\AUTOEXEC.BAT");
    file("C:\\CONFIG.SYS");
    file(w + "\\WIN.INI");
    file(w + "\\SYSTEM.INI");
    file(w + "\\EXPLORER.EXE", FILE_ATTRIBUTE_ARCHIVE, true);
    file(w + "\\RUNDLL32.EXE");
    file(w + "\\REGEDIT.EXE");
    file(w + "\\WIN386.SWP", FILE_ATTRIBUTE_ARCHIVE, true);
    file(w + "\\COMMAND\\XCOPY.EXE");
    file(s + "\\SETUPX.DLL");
    file(s + "\\KERNEL32.DLL", FILE_ATTRIBUTE_ARCHIVE, true);
    file(s + "\\USER32.DLL", FILE_ATTRIBUTE_ARCHIVE, true);
    file(s + "\\SYSTEM.DAT", rhs, true);
    file(w + "\\INF\\NET.INF");
    file(w + "\\INF\\MODEM.INF");
    fs.add(w + "\\INF\\OTHER", true);
    file(w + "\\OPTIONS\\CABS\\Netqorfe.inf");
  } else {
    file("C:\\boot.ini", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    file("C:\\NTLDR", rhs);
    file("C:\\pagefile.sys", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, true);
    file(w + "\\explorer.exe", FILE_ATTRIBUTE_ARCHIVE, true);
    file(w + "\\regedit.exe");
    file(w + "\\win.ini");
    file(w + "\\system.ini");
    file(s + "\\rundll32.exe");
    file(s + "\\setupapi.dll");
    file(s + "\\kernel32.dll", FILE_ATTRIBUTE_ARCHIVE, true);
    file(s + "\\ntoskrnl.exe", FILE_ATTRIBUTE_ARCHIVE, true);
    file(s + "\\config\\SYSTEM", FILE_ATTRIBUTE_ARCHIVE, true);
    if (!f.system16.empty()) file(f.system16 + "\\setup.inf");
    file(w + "\\inf\\modem.inf");
    file(w + "\\inf\\netqorfe.inf");
  }
  if (!f.programs.empty()) {
    file(f.programs + "\\Accessories\\Notepad.lnk");
    file(f.programs + "\\Accessories\\WordPad.lnk");
    file(f.programs + "\\Windows Explorer.lnk");
  }
  file("C:\\Program Files\\Accessories\\WORDPAD.EXE");
}

void finish(FileSystem& fs, const Machine& m) {
  // The running program is a file of the machine, held open while it runs.
  fs.program_path = m.module_path;
  if (!is_full_path(m.module_path)) return;
  auto full = fs.full_path(m.module_path);
  FsNode* program = full ? fs.lookup(*full) : nullptr;
  if (program == nullptr) {
    try {
      program = &fs.add(m.module_path, false);
    } catch (const InputError&) {
      // A program path that no tree can hold (a folder of that name): the
      // program is then not found in its own folder.
      return;
    }
  }
  if (!program->is_folder()) program->in_use = true;
}

}  // namespace

std::unique_ptr<FileSystem> default_file_system(const Machine& m) {
  auto fs = empty_file_system(m);
  const Folders f = default_folders(m);
  fs->windows_folder = f.windows;
  fs->system_folder = f.system;
  fs->system16_folder = f.system16;
  fs->path = m.is_nt() ? std::vector<std::string>{f.system, f.windows}
                       : std::vector<std::string>{f.windows, f.windows + "\\COMMAND"};
  add_default_tree(*fs, m, f);
  finish(*fs, m);
  auto slash = m.module_path.find_last_of('\\');
  fs->current_folder = slash == std::string::npos ? "C:\\" : m.module_path.substr(0, slash == 2 ? 3 : slash);
  auto current = fs->full_path(fs->current_folder);
  FsNode* node = current ? fs->lookup(*current) : nullptr;
  if (node == nullptr || !node->is_folder()) fs->current_folder = "C:\\";
  return fs;
}

void check_files_profile(nlohmann::json& data, const std::string& source, const std::filesystem::path& base_dir) {
  if (data.contains("files") && data["files"].is_string()) {
    const std::filesystem::path file = base_dir / data["files"].get<std::string>();
    // The same reader as the profile: a regular file within the size limit,
    // malformed text or too deep nesting named with its line.
    data["files"] = parse_located_json(read_input_file(file, kMaxProfileBytes), file.string()).data;
    if (!data["files"].is_array()) throw InputError(file.string() + ": a files list is a JSON array");
  }
  if (data.contains("files")) {
    if (!data["files"].is_array()) throw InputError(source + ": \"files\" must be a list of entries or a file name");
    // A trial build finds bad entries now, with the profile named.
    FileSystem trial(FsFamily::Ntfs);
    trial.links_supported = true;
    add_entries(trial, data["files"], source);
  }
  for (const char* key : {"windows_folder", "system_folder", "current_folder"}) {
    if (!data.contains(key)) continue;
    if (!data[key].is_string() || !is_full_path(data[key].get<std::string>()))
      throw InputError(source + ": \"" + key + "\" must be a full path with a drive letter");
  }
  if (data.contains("path")) {
    const auto& p = data["path"];
    bool ok = p.is_string() || p.is_array();
    if (p.is_array())
      for (const auto& folder : p) ok = ok && folder.is_string();
    if (!ok) throw InputError(source + ": \"path\" must be \"A;B\" or a list of folders");
  }
}

void load_files_profile(const nlohmann::json& data, const std::string& source, Machine& m) {
  Folders f = default_folders(m);
  if (data.contains("windows_folder")) {
    f.windows = strip_closing_backslash(data["windows_folder"].get<std::string>());
    f.system = f.windows + (m.is_nt() ? "\\system32" : "\\SYSTEM");
    f.system16 = m.is_nt() ? f.windows + "\\system" : "";
    if (!m.is_nt())
      f.programs = f.windows + "\\Start Menu\\Programs";
    else if (m.version.major < 5)
      f.programs = f.windows + "\\Profiles\\Administrator\\Start Menu\\Programs";
  }
  if (data.contains("system_folder")) f.system = strip_closing_backslash(data["system_folder"].get<std::string>());

  auto fs = empty_file_system(m);
  fs->windows_folder = f.windows;
  fs->system_folder = f.system;
  fs->system16_folder = f.system16;
  fs->path = m.is_nt() ? std::vector<std::string>{f.system, f.windows}
                       : std::vector<std::string>{f.windows, f.windows + "\\COMMAND"};
  if (data.contains("files"))
    add_entries(*fs, data["files"], source);
  else
    add_default_tree(*fs, m, f);
  finish(*fs, m);

  if (data.contains("path")) {
    fs->path.clear();
    if (data["path"].is_array()) {
      for (const auto& folder : data["path"]) fs->path.push_back(folder.get<std::string>());
    } else {
      std::stringstream list(data["path"].get<std::string>());
      for (std::string folder; std::getline(list, folder, ';');)
        if (!folder.empty()) fs->path.push_back(folder);
    }
  }
  std::string current;
  if (data.contains("current_folder")) {
    current = data["current_folder"].get<std::string>();
  } else {
    auto slash = m.module_path.find_last_of('\\');
    current = slash == std::string::npos ? "C:\\" : m.module_path.substr(0, slash == 2 ? 3 : slash);
  }
  auto full = fs->full_path(is_full_path(current) ? current : "C:\\");
  FsNode* node = full ? fs->lookup(*full) : nullptr;
  if ((node == nullptr || !node->is_folder()) && !data.contains("current_folder")) {
    // A program whose folder the tree cannot hold (a path past MAX_PATH)
    // starts in its drive's root.
    full = std::string("C:\\");
    fs->add(*full, true);
    node = fs->lookup(*full);
  }
  if (node == nullptr || !node->is_folder())
    throw InputError(source + ": \"current_folder\" " + current + " is not a folder of the machine");
  fs->current_folder = *full;
  m.set_files(std::move(fs));
}

nlohmann::json export_files(FileSystem& fs) {
  nlohmann::json out = nlohmann::json::array();
  std::function<void(FsNode&)> walk = [&](FsNode& folder) {
    for (FsNode* n : fs.listing(folder)) {
      std::string path = fs.path_of(*n) + (n->is_folder() ? "\\" : "");
      const DWORD plain = n->is_folder() ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
      const DWORD own = n->attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
      const DWORD plain_own = plain & ~FILE_ATTRIBUTE_DIRECTORY;
      if (own == plain_own && !n->in_use && n->content.empty() && !n->is_link() && !n->access_denied) {
        out.push_back(path);
      } else {
        nlohmann::json e{{"path", path}};
        if (own != plain_own) {
          e["attributes"] = nlohmann::json::array();
          for (const auto& k : kAttributes)
            if (own & k.bit) e["attributes"].push_back(k.name);
        }
        if (n->in_use) e["in_use"] = true;
        if (!n->content.empty()) e["content"] = n->content;
        if (n->is_link()) e["target"] = n->target;
        if (n->access_denied) e["access_denied"] = true;
        out.push_back(e);
      }
      if (n->is_folder() && !n->is_link()) walk(*n);
    }
  };
  for (char d : fs.drives()) walk(*fs.root(d));
  return out;
}

}  // namespace sim::win32
