// The simulated file system (see files.h): the tree, the path rules and the
// searches. The Win32 file functions are in file_api.cpp.
#include "files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "machine.h"

namespace sim::win32 {

namespace {

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

std::string upper(std::string s) {
  for (char& c : s) c = upper(c);
  return s;
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The characters an 8.3 name may hold besides letters and digits.
bool short_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("$%'-_@~`!(){}^#&", c) != nullptr ||
         static_cast<unsigned char>(c) >= 128;
}

// A name that is its own 8.3 alias: 1 to 8 characters, optionally a dot and
// 1 to 3 more, all of them valid in short names.
bool is_short_form(const std::string& name) {
  const std::size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 || (dot != std::string::npos && ext.empty())) return false;
  return std::all_of(base.begin(), base.end(), short_char) && std::all_of(ext.begin(), ext.end(), short_char);
}

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '\\') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  parts.push_back(cur);
  return parts;
}

// Wildcard match without regard to case: '*' any run, '?' any one
// character. "*.*" matches every name, with or without a dot.
bool matches(const std::string& mask, const std::string& name) {
  if (mask == "*.*" || mask == "*") return true;
  std::size_t m = 0, n = 0, star = std::string::npos, back = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || upper(mask[m]) == upper(name[n]))) {
      ++m, ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++, back = n;
    } else if (star != std::string::npos) {
      m = star + 1, n = ++back;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

void fill(LPWIN32_FIND_DATAA data, const std::string& name, DWORD attributes, std::size_t size) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  data->nFileSizeLow = static_cast<DWORD>(size);
  std::strncpy(data->cFileName, name.c_str(), MAX_PATH - 1);
}

}  // namespace

bool same_name(const std::string& a, const std::string& b) { return upper(a) == upper(b); }

bool CollateLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

FsNode* FileSystem::child(const FsNode& folder, const std::string& name) {
  const std::string key = upper(name);
  auto it = folder.by_name.find(key);
  if (it != folder.by_name.end()) return it->second;
  auto alias = folder.by_short.find(key);
  return alias == folder.by_short.end() ? nullptr : alias->second;
}

DWORD FileSystem::volume_serial(char drive) { return 0x1C5A0000u + static_cast<DWORD>(upper(drive) - 'A') * 0x1111u; }

// Gives a new entry its alias (as both families make them: the first six
// valid characters, "~" and a number, the extension's first three; after
// four tries two characters and a hash of the name) and its place: FAT the
// first free slot, NTFS the end (it lists by name anyway).
void FileSystem::attach(FsNode& folder, std::unique_ptr<FsNode> node) {
  node->parent = &folder;
  node->file_index = next_index_++;
  if (!is_short_form(node->name)) {
    std::string base, ext;
    const std::size_t dot = node->name.find_last_of('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? node->name : node->name.substr(0, dot);
    for (char c : stem)
      if (c != ' ' && c != '.') base.push_back(short_char(c) ? upper(c) : '_');
    if (dot != std::string::npos && dot != 0)
      for (char c : node->name.substr(dot + 1))
        if (c != ' ' && c != '.' && ext.size() < 3) ext.push_back(short_char(c) ? upper(c) : '_');
    if (!base.empty()) {
      unsigned hash = 0;
      for (char c : node->name) hash = hash * 31 + static_cast<unsigned char>(c);
      char hex[8];
      std::snprintf(hex, sizeof hex, "%04X", hash & 0xFFFF);
      for (unsigned n = 1; n < 1000000; ++n) {
        std::string alias = n <= 4 ? base.substr(0, 6) : base.substr(0, 2) + hex;
        const std::string tail = "~" + std::to_string(n <= 4 ? n : n - 4);
        alias = alias.substr(0, 8 - tail.size()) + tail + (ext.empty() ? "" : "." + ext);
        if (!folder.by_name.count(alias) && !folder.by_short.count(alias)) {
          node->short_name = alias;
          break;
        }
      }
    }
  }
  FsNode* raw = node.get();
  folder.by_name[upper(raw->name)] = raw;
  if (!raw->short_name.empty()) folder.by_short[raw->short_name] = raw;
  if (!folder.free_slots.empty()) {
    raw->slot = *folder.free_slots.begin();
    folder.free_slots.erase(folder.free_slots.begin());
    folder.slots[raw->slot] = std::move(node);
  } else {
    raw->slot = folder.slots.size();
    folder.slots.push_back(std::move(node));
  }
}

FileSystem::FileSystem(FsFamily f) : family(f) {}
FileSystem::~FileSystem() = default;

std::vector<char> FileSystem::drives() const {
  std::vector<char> out;
  for (const auto& [letter, node] : drives_) out.push_back(letter);
  return out;
}

FsNode* FileSystem::root(char drive) {
  auto it = drives_.find(upper(drive));
  return it == drives_.end() ? nullptr : it->second.get();
}

// A full path's root ("C:", "\\server\share", "\\.\C:", "\\?\C:") and the
// rest, which starts with a backslash or is empty.
void split_root(const std::string& full, std::string& root, std::string& rest) {
  std::size_t end = 2;
  if (starts_with(full, "\\\\")) {
    std::size_t a = full.find('\\', 2);
    end = a == std::string::npos ? full.size() : full.find('\\', a + 1);
    if (end == std::string::npos) end = full.size();
  }
  root = full.substr(0, end);
  rest = full.substr(end);
}

std::optional<std::string> FileSystem::full_path(const std::string& input, DWORD* error) const {
  auto refuse = [&](DWORD code) -> std::optional<std::string> {
    if (error) *error = code;
    return std::nullopt;
  };
  const bool nt = family == FsFamily::Ntfs;
  std::string path = input;
  if (path.empty()) return refuse(ERROR_PATH_NOT_FOUND);
  // "\\?\": handed on literally (no separators turned, nothing trimmed),
  // by the NT family only; Windows 95/98 look for a server named "?".
  if (starts_with(path, "\\\\?\\")) {
    if (!nt) return refuse(ERROR_BAD_NETPATH);
    return path;
  }
  std::replace(path.begin(), path.end(), '/', '\\');
  std::string root, rest;
  std::string current_root, current_rest;
  const bool has_current = current_folder.size() >= 3;
  if (has_current) split_root(current_folder, current_root, current_rest);
  if (starts_with(path, "\\\\")) {
    // "\\.\C:\..." and "\\server\share\...": the NT family only here (no
    // network; the machine's own administrative shares).
    if (!nt) return refuse(ERROR_BAD_NETPATH);
    split_root(path, root, rest);
    if (root.find('\\', 2) == std::string::npos || root.back() == '\\') return refuse(ERROR_BAD_NETPATH);
  } else if (path.size() >= 2 && path[1] == ':') {
    if (!std::isalpha(static_cast<unsigned char>(path[0]))) return refuse(ERROR_INVALID_PARAMETER);
    root = std::string(1, upper(path[0])) + ":";
    rest = path.substr(2);
    if (rest.empty() || rest[0] != '\\') {
      // Drive-relative: against the current folder when it is on that
      // drive, else against the drive's root.
      if (has_current && same_name(current_root, root))
        rest = current_rest + "\\" + rest;
      else
        rest = "\\" + rest;
    }
  } else if (path[0] == '\\') {
    if (!has_current) return refuse(ERROR_PATH_NOT_FOUND);
    root = current_root;
    rest = path;
  } else {
    if (!has_current) return refuse(ERROR_PATH_NOT_FOUND);
    root = current_root;
    rest = current_rest + "\\" + path;
  }
  std::vector<std::string> parts;
  std::vector<std::string> pieces = split(rest);
  // Only the last component loses its trailing blanks and dots; a path that
  // ends in a separator has no last component to trim. Without its blanks
  // a last part "." or ".." stays a relative step (".. " is the parent);
  // anything else made of dots and blanks ("...", ". .") goes whole and
  // names the folder before it.
  if (!pieces.empty()) {
    std::string& last = pieces.back();
    while (!last.empty() && last.back() == ' ') last.pop_back();
    if (last != "." && last != "..")
      while (!last.empty() && (last.back() == ' ' || last.back() == '.')) last.pop_back();
  }
  for (const auto& p : pieces) {
    if (p.empty() || p == ".") continue;
    if (p == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(p);
  }
  std::string full = root + "\\";
  for (std::size_t i = 0; i < parts.size(); ++i) full += (i ? "\\" : "") + parts[i];
  if (full.size() >= MAX_PATH) return refuse(ERROR_FILENAME_EXCED_RANGE);
  return full;
}

std::string FileSystem::local_form(const std::string& full) const {
  auto drive_path = [&](const std::string& p) -> std::string {
    if (p.size() < 2 || !std::isalpha(static_cast<unsigned char>(p[0])) || p[1] != ':') return "";
    if (p.size() == 2) return p + "\\";
    return p[2] == '\\' ? p : "";
  };
  if (starts_with(full, "\\\\?\\") || starts_with(full, "\\\\.\\")) return drive_path(full.substr(4));
  if (starts_with(full, "\\\\")) {
    std::string root, rest;
    split_root(full, root, rest);
    const std::size_t a = root.find('\\', 2);
    if (a == std::string::npos) return "";
    const std::string server = upper(root.substr(2, a - 2)), share = root.substr(a + 1);
    if (server != "LOCALHOST" && server != "127.0.0.1") return "";
    if (share.size() != 2 || share[1] != '$' || !drives_.count(upper(share[0]))) return "";
    return std::string(1, upper(share[0])) + ":" + (rest.empty() ? "\\" : rest);
  }
  return drive_path(full);
}

FsNode* FileSystem::lookup(const std::string& spelled, bool follow_last) {
  const std::string full = local_form(spelled);
  if (full.size() < 3) return nullptr;
  FsNode* node = root(full[0]);
  if (node == nullptr) return nullptr;
  std::vector<std::string> parts = split(full.substr(3));
  int hops = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].empty()) continue;
    if (!node->is_folder()) return nullptr;
    FsNode* next = child(*node, parts[i]);
    if (next == nullptr) return nullptr;
    const bool last = i + 1 == parts.size();
    while (next->is_link() && (!last || follow_last)) {
      if (++hops > 16) return nullptr;  // a loop of links: cannot be resolved
      auto target = full_path(next->target);
      FsNode* t = target ? lookup(*target, true) : nullptr;
      if (t == nullptr || t->is_link()) return nullptr;
      next = t;
    }
    node = next;
  }
  return node;
}

std::string FileSystem::path_of(const FsNode& node) const {
  if (node.parent == nullptr) return node.name + "\\";  // "C:" -> "C:\"
  std::string parent = path_of(*node.parent);
  if (parent.back() != '\\') parent += "\\";
  return parent + node.name;
}

// Entries are made as a "\\?\" path would name them: every name as it is
// written, trailing blanks and dots included.
FsNode& FileSystem::add(const std::string& path, bool folder) {
  std::string full = path;
  std::replace(full.begin(), full.end(), '/', '\\');
  if (full.size() < 3 || !std::isalpha(static_cast<unsigned char>(full[0])) || full[1] != ':' || full[2] != '\\' ||
      full.size() >= MAX_PATH)
    throw InputError("\"" + path + "\" is not a full path with a drive letter");
  char letter = upper(full[0]);
  auto& drive = drives_[letter];
  if (!drive) {
    drive = std::make_unique<FsNode>();
    drive->name = std::string(1, letter) + ":";
    drive->attributes = FILE_ATTRIBUTE_DIRECTORY;
  }
  FsNode* node = drive.get();
  std::vector<std::string> parts;
  for (const auto& part : split(full.substr(3)))
    if (!part.empty()) parts.push_back(part);
  if (parts.empty()) {
    if (!folder) throw InputError("\"" + path + "\" names a drive's root, which is no file");
    return *node;
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& name = parts[i];
    if (name == "." || name == ".." || name.find_first_of("<>:\"|?*") != std::string::npos ||
        std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }))
      throw InputError("\"" + path + "\" has a name or character no file name may hold");
    const bool last = i + 1 == parts.size();
    const bool want_folder = !last || folder;
    if (node->is_link()) throw InputError("\"" + path + "\" lies below a link; list the target's content instead");
    FsNode* next = child(*node, name);
    if (next != nullptr) {
      if (next->is_folder() != want_folder)
        throw InputError("\"" + path + "\": \"" + next->name + "\" is listed both as a file and as a folder");
      node = next;
      continue;
    }
    auto fresh = std::make_unique<FsNode>();
    fresh->name = name;
    fresh->attributes = want_folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    next = fresh.get();
    attach(*node, std::move(fresh));
    node = next;
  }
  return *node;
}

std::vector<FsNode*> FileSystem::listing(const FsNode& folder) const {
  std::vector<FsNode*> out;
  if (family == FsFamily::Ntfs) {
    for (const auto& [key, node] : folder.by_name) out.push_back(node);
    return out;
  }
  for (const auto& slot : folder.slots)
    if (slot) out.push_back(slot.get());
  return out;
}

std::optional<std::string> FileSystem::search(const std::string& name) {
  std::vector<std::string> folders;
  if (auto slash = program_path.find_last_of('\\'); slash != std::string::npos)
    folders.push_back(program_path.substr(0, slash));
  folders.push_back(current_folder);
  folders.push_back(system_folder);
  if (!system16_folder.empty()) folders.push_back(system16_folder);
  folders.push_back(windows_folder);
  folders.insert(folders.end(), path.begin(), path.end());
  for (const auto& folder : folders) {
    if (folder.empty()) continue;
    auto full = full_path(folder + "\\" + name);
    if (!full) continue;
    FsNode* node = lookup(*full);
    if (node != nullptr && !node->is_folder()) return full;
  }
  return std::nullopt;
}

void FileSystem::detach(FsNode& node) {
  for (auto it = finds.begin(); it != finds.end(); ++it)
    if (it->second.folder == &node) it->second.folder = nullptr;
  FsNode* parent = node.parent;
  parent->by_name.erase(upper(node.name));
  if (!node.short_name.empty()) parent->by_short.erase(node.short_name);
  // The slot stays, free for the next new entry.
  const std::size_t slot = node.slot;
  parent->free_slots.insert(slot);
  parent->slots[slot].reset();
}

bool FileSystem::next_entry(Find& f, LPWIN32_FIND_DATAA data) {
  if (f.folder == nullptr) return false;
  const bool root = f.folder->parent == nullptr;
  while (!root && f.dots < 2) {
    const char* dot = f.dots++ == 0 ? "." : "..";
    if (matches(f.mask, dot)) {
      fill(data, dot, FILE_ATTRIBUTE_DIRECTORY, 0);
      return true;
    }
  }
  if (family == FsFamily::Fat) {
    for (; f.next_slot < f.folder->slots.size(); ++f.next_slot) {
      const FsNode* n = f.folder->slots[f.next_slot].get();
      if (n && matches(f.mask, n->name)) {
        ++f.next_slot;
        fill(data, n->name, n->attributes, n->content.size());
        std::strncpy(data->cAlternateFileName, n->short_name.c_str(), sizeof data->cAlternateFileName - 1);
        return true;
      }
    }
    return false;
  }
  // NTFS: the next name after the last one given, in collation order.
  auto& names = f.folder->by_name;
  for (auto it = f.started ? names.upper_bound(upper(f.last_name)) : names.begin(); it != names.end(); ++it) {
    const FsNode* n = it->second;
    if (!matches(f.mask, n->name)) continue;
    f.started = true;
    f.last_name = n->name;
    fill(data, n->name, n->attributes, n->content.size());
    std::strncpy(data->cAlternateFileName, n->short_name.c_str(), sizeof data->cAlternateFileName - 1);
    return true;
  }
  return false;
}

bool FileSystem::close_handle(HANDLE file) { return handles.erase(reinterpret_cast<std::uintptr_t>(file)) != 0; }

}  // namespace sim::win32
