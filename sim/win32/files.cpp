// The simulated file system (see files.h) and the Win32 file services that
// act on the current machine's.
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

bool has_extension(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/:");
  std::size_t dot = path.find_last_of('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
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

DWORD FileSystem::fail(DWORD error) const {
  machine().last_error = error;
  return error;
}

std::vector<char> FileSystem::drives() const {
  std::vector<char> out;
  for (const auto& [letter, node] : drives_) out.push_back(letter);
  return out;
}

FsNode* FileSystem::root(char drive) {
  auto it = drives_.find(upper(drive));
  return it == drives_.end() ? nullptr : it->second.get();
}

namespace {

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

}  // namespace

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
      if (has_current && same_name(current_root, root)) rest = current_rest + "\\" + rest;
      else rest = "\\" + rest;
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
  for (auto it = finds_.begin(); it != finds_.end(); ++it)
    if (it->second.folder == &node) it->second.folder = nullptr;
  FsNode* parent = node.parent;
  parent->by_name.erase(upper(node.name));
  if (!node.short_name.empty()) parent->by_short.erase(node.short_name);
  // The slot stays, free for the next new entry.
  const std::size_t slot = node.slot;
  parent->free_slots.insert(slot);
  parent->slots[slot].reset();
}

DWORD FileSystem::get_current_directory(DWORD size, LPSTR buffer) {
  const DWORD n = static_cast<DWORD>(current_folder.size());
  if (buffer == nullptr || size <= n) return n + 1;
  std::memcpy(buffer, current_folder.c_str(), n + 1);
  return n;
}

BOOL FileSystem::set_current_directory(LPCSTR path) {
  DWORD error = 0;
  auto full = path ? full_path(path, &error) : std::nullopt;
  if (!full) return fail(error ? error : ERROR_INVALID_PARAMETER), FALSE;
  FsNode* node = lookup(*full);
  if (node == nullptr) return fail(lookup(*full, false) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND), FALSE;
  if (!node->is_folder()) return fail(ERROR_DIRECTORY), FALSE;
  if (node->access_denied) return fail(ERROR_ACCESS_DENIED), FALSE;
  current_folder = *full;
  return TRUE;
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

HANDLE FileSystem::find_first(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  DWORD error = 0;
  if (pattern == nullptr || data == nullptr) return fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  std::string p = pattern;
  std::replace(p.begin(), p.end(), '/', '\\');
  std::size_t slash = p.find_last_of("\\:");
  std::string folder_part = slash == std::string::npos ? "." : p.substr(0, slash + 1);
  std::string mask = slash == std::string::npos ? p : p.substr(slash + 1);
  if (mask.empty()) return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  auto full = full_path(folder_part, &error);
  if (!full) return fail(error), INVALID_HANDLE_VALUE;
  FsNode* folder = lookup(*full);
  if (folder == nullptr || !folder->is_folder()) return fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
  if (folder->access_denied) return fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  Find f;
  f.folder = folder;
  f.mask = mask;
  if (!next_entry(f, data)) return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  const std::uintptr_t handle = next_find_++;
  finds_[handle] = f;
  return reinterpret_cast<HANDLE>(handle);
}

BOOL FileSystem::find_next(HANDLE find, LPWIN32_FIND_DATAA data) {
  auto it = finds_.find(reinterpret_cast<std::uintptr_t>(find));
  if (it == finds_.end() || data == nullptr) return fail(ERROR_INVALID_HANDLE), FALSE;
  if (!next_entry(it->second, data)) return fail(ERROR_NO_MORE_FILES), FALSE;
  return TRUE;
}

BOOL FileSystem::find_close(HANDLE find) {
  if (finds_.erase(reinterpret_cast<std::uintptr_t>(find)) == 0) return fail(ERROR_INVALID_HANDLE), FALSE;
  return TRUE;
}

BOOL FileSystem::delete_file(LPCSTR path) {
  DWORD error = 0;
  auto full = path ? full_path(path, &error) : std::nullopt;
  if (!full) return fail(error ? error : ERROR_INVALID_PARAMETER), FALSE;
  FsNode* node = lookup(*full, false);
  if (node == nullptr) {
    auto parent = full->substr(0, full->find_last_of('\\'));
    return fail(lookup(parent.size() == 2 ? parent + "\\" : parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND),
           FALSE;
  }
  if (node->is_folder() || (node->attributes & FILE_ATTRIBUTE_READONLY)) return fail(ERROR_ACCESS_DENIED), FALSE;
  if (node->in_use) return fail(ERROR_SHARING_VIOLATION), FALSE;
  deleted_files.push_back(path_of(*node));
  detach(*node);
  return TRUE;
}

BOOL FileSystem::remove_directory(LPCSTR path) {
  DWORD error = 0;
  auto full = path ? full_path(path, &error) : std::nullopt;
  if (!full) return fail(error ? error : ERROR_INVALID_PARAMETER), FALSE;
  FsNode* node = lookup(*full, false);
  if (node == nullptr) return fail(ERROR_FILE_NOT_FOUND), FALSE;
  if (!node->is_folder()) return fail(ERROR_DIRECTORY), FALSE;
  if (node->parent == nullptr || (node->attributes & FILE_ATTRIBUTE_READONLY)) return fail(ERROR_ACCESS_DENIED), FALSE;
  if (!node->is_link()) {
    if (!listing(*node).empty()) return fail(family == FsFamily::Fat ? ERROR_ACCESS_DENIED : ERROR_DIR_NOT_EMPTY), FALSE;
    auto current = full_path(current_folder);
    if (current && lookup(*current) == node)
      return fail(family == FsFamily::Fat ? ERROR_CURRENT_DIRECTORY : ERROR_SHARING_VIOLATION), FALSE;
  }
  removed_folders.push_back(path_of(*node));
  detach(*node);
  return TRUE;
}

DWORD FileSystem::get_attributes(LPCSTR path) {
  DWORD error = 0;
  auto full = path ? full_path(path, &error) : std::nullopt;
  if (!full) return fail(error ? error : ERROR_INVALID_PARAMETER), INVALID_FILE_ATTRIBUTES;
  FsNode* node = lookup(*full, false);
  if (node == nullptr) return fail(ERROR_FILE_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
  return node->attributes == 0 ? FILE_ATTRIBUTE_NORMAL : node->attributes;
}

HFILE FileSystem::open_file(LPCSTR name, LPOFSTRUCT info, UINT style) {
  if (name == nullptr || info == nullptr) return fail(ERROR_INVALID_PARAMETER), HFILE_ERROR;
  info->cBytes = sizeof *info;
  info->fFixedDisk = 1;
  auto refuse = [&](DWORD error) {
    info->nErrCode = static_cast<WORD>(error);
    fail(error);
    return HFILE_ERROR;
  };
  if ((style & OF_EXIST) == 0) return refuse(ERROR_INVALID_PARAMETER);  // only existence tests are modelled
  std::string n = name;
  std::optional<std::string> found;
  if (n.find_first_of("\\/:") == std::string::npos) {
    found = search(n);
  } else {
    DWORD error = 0;
    found = full_path(n, &error);
    FsNode* node = found ? lookup(*found) : nullptr;
    if (node == nullptr || node->is_folder()) found.reset();
  }
  if (!found) return refuse(ERROR_FILE_NOT_FOUND);
  if (found->size() >= OFS_MAXPATHNAME) return refuse(ERROR_FILENAME_EXCED_RANGE);
  info->nErrCode = 0;
  std::strcpy(info->szPathName, found->c_str());
  return 1;  // the file was opened and closed again
}

namespace {
bool lacks_long_path_name(const Machine& m) {
  // Windows 95 (4.0) and NT 4 do not export GetLongPathNameA.
  return m.is_nt() ? m.version.major < 5 : (m.version.major == 4 && m.version.minor == 0);
}

DWORD copy_out(const std::string& text, LPSTR buffer, DWORD size) {
  const DWORD n = static_cast<DWORD>(text.size());
  if (buffer == nullptr || size <= n) return n + 1;
  std::memcpy(buffer, text.c_str(), n + 1);
  return n;
}
}  // namespace

DWORD FileSystem::get_full_path_name(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* file_part) {
  DWORD error = 0;
  auto full = path ? full_path(path, &error) : std::nullopt;
  if (!full) return fail(error ? error : ERROR_INVALID_PARAMETER), 0;
  const DWORD n = copy_out(*full, buffer, size);
  if (file_part != nullptr && n == full->size()) {
    const std::size_t slash = full->find_last_of('\\');
    *file_part = slash + 1 < full->size() ? buffer + slash + 1 : nullptr;
  }
  return n;
}

// The path with every component of the tree written by its long name; the
// root keeps its spelling. A relative path comes back as a full one.
DWORD FileSystem::get_long_path_name(LPCSTR path, LPSTR buffer, DWORD size) {
  if (lacks_long_path_name(machine())) return fail(ERROR_CALL_NOT_IMPLEMENTED), 0;
  DWORD error = 0;
  auto full = path ? full_path(path, &error) : std::nullopt;
  if (!full) return fail(error ? error : ERROR_INVALID_PARAMETER), 0;
  FsNode* node = lookup(*full, false);
  if (node == nullptr) return fail(ERROR_FILE_NOT_FOUND), 0;
  std::string root, rest;
  split_root(*full, root, rest);
  std::string tree = path_of(*node);  // "C:\..." as the tree spells it
  std::string result = root + (tree.size() > 3 ? tree.substr(2) : "\\");
  if (result.size() > 3 && result.back() == '\\' && root.size() + 1 < result.size()) result.pop_back();
  return copy_out(result, buffer, size);
}

HANDLE FileSystem::create_file(LPCSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  (void)access;
  (void)share;
  if (disposition != OPEN_EXISTING) return fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;  // only opening is modelled
  DWORD error = 0;
  auto full = path ? full_path(path, &error) : std::nullopt;
  if (!full) return fail(error ? error : ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  FsNode* node = lookup(*full);
  if (node == nullptr) return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  // A folder opens on the NT family only, and only for backup semantics.
  if (node->is_folder() && (family == FsFamily::Fat || (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 || node->access_denied))
    return fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  const FsNode* top = node;
  while (top->parent != nullptr) top = top->parent;
  const std::uintptr_t handle = next_handle_++;
  handles_[handle] = Opened{top->name[0], node->file_index, node->attributes, node->content.size()};
  return reinterpret_cast<HANDLE>(handle);
}

BOOL FileSystem::get_file_information(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(file));
  if (it == handles_.end() || info == nullptr) return fail(ERROR_INVALID_HANDLE), FALSE;
  std::memset(info, 0, sizeof *info);
  info->dwFileAttributes = it->second.attributes;
  info->dwVolumeSerialNumber = volume_serial(it->second.drive);
  info->nFileSizeLow = static_cast<DWORD>(it->second.size);
  info->nNumberOfLinks = 1;
  info->nFileIndexLow = it->second.index;
  return TRUE;
}

bool FileSystem::close_handle(HANDLE file) { return handles_.erase(reinterpret_cast<std::uintptr_t>(file)) != 0; }

}  // namespace sim::win32

using sim::win32::machine;

DWORD WINAPI GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* filePart) {
  return machine().files().get_full_path_name(path, size, buffer, filePart);
}
DWORD WINAPI GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD size) {
  return machine().files().get_long_path_name(shortPath, longPath, size);
}
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                          HANDLE) {
  return machine().files().create_file(path, access, share, disposition, flags);
}
BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  return machine().files().get_file_information(file, info);
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer) { return machine().files().get_current_directory(size, buffer); }
BOOL WINAPI SetCurrentDirectoryA(LPCSTR path) { return machine().files().set_current_directory(path); }
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) { return machine().files().find_first(pattern, data); }
BOOL WINAPI FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) { return machine().files().find_next(find, data); }
BOOL WINAPI FindClose(HANDLE find) { return machine().files().find_close(find); }
BOOL WINAPI DeleteFileA(LPCSTR path) { return machine().files().delete_file(path); }
BOOL WINAPI RemoveDirectoryA(LPCSTR path) { return machine().files().remove_directory(path); }
DWORD WINAPI GetFileAttributesA(LPCSTR path) { return machine().files().get_attributes(path); }
HFILE WINAPI OpenFile(LPCSTR name, LPOFSTRUCT info, UINT style) { return machine().files().open_file(name, info, style); }

namespace {
// The documented contract of both folder queries: the length without the
// terminator when the buffer holds the path, else the size it needs.
UINT copy_folder(const std::string& folder, LPSTR buffer, UINT size) {
  const UINT n = static_cast<UINT>(folder.size());
  if (buffer == nullptr || size <= n) return n + 1;
  std::memcpy(buffer, folder.c_str(), n + 1);
  return n;
}
}  // namespace

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) { return copy_folder(machine().files().windows_folder, buffer, size); }
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) { return copy_folder(machine().files().system_folder, buffer, size); }

// WinExec finds its program as the platform does: a quoted name as it
// stands; an unquoted one up to the first blank on Windows 95/98, while the
// NT family tries each blank in turn as the name's end. A name without an
// extension gets ".exe"; a bare name is searched in the program's folder,
// the current folder, the system folder(s), the Windows folder and the
// PATH.
UINT WINAPI WinExec(LPCSTR cmdline, UINT show) {
  auto& m = machine();
  auto& fs = m.files();
  std::string line = cmdline ? cmdline : "";
  std::vector<std::string> candidates;
  if (!line.empty() && line[0] == '"') {
    std::size_t close = line.find('"', 1);
    candidates.push_back(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  } else if (!m.is_nt()) {
    candidates.push_back(line.substr(0, line.find(' ')));
  } else {
    for (std::size_t at = line.find(' '); at != std::string::npos; at = line.find(' ', at + 1))
      candidates.push_back(line.substr(0, at));
    candidates.push_back(line);
  }
  std::string program;
  for (std::string name : candidates) {
    if (name.empty()) continue;
    if (!sim::win32::has_extension(name)) name += ".exe";
    std::optional<std::string> found;
    if (name.find_first_of("\\/:") == std::string::npos) {
      found = fs.search(name);
    } else {
      found = fs.full_path(name);
      auto* node = found ? fs.lookup(*found) : nullptr;
      if (node == nullptr || node->is_folder()) found.reset();
    }
    if (found) {
      program = fs.path_of(*fs.lookup(*found));
      break;
    }
  }
  const UINT result = program.empty() ? ERROR_FILE_NOT_FOUND : 33;  // above 31: started
  m.started.push_back({line, show, program, result});
  return result;
}
