// The Win32 file functions of the simulated machine. Each works on the
// machine's file system (files.h) directly: path_of_arg is the one check of
// a path argument (entry_of_arg adds the entry it names), find_of and
// file_of those of a search handle and of a CreateFileA handle.
#include <algorithm>
#include <cstring>

#include "files.h"
#include "machine.h"

using sim::win32::FileSystem;
using sim::win32::FsFamily;
using sim::win32::FsNode;
using sim::win32::machine;

namespace {

FileSystem& fs() { return machine().files(); }

void fail(DWORD error) { machine().last_error = error; }

// The full path a path argument names against the current folder, or
// nothing with the error the platform reports set as the last error.
std::optional<std::string> path_of_arg(LPCSTR path) {
  DWORD error = 0;
  auto full = path ? fs().full_path(path, &error) : std::nullopt;
  if (!full) fail(error ? error : ERROR_INVALID_PARAMETER);
  return full;
}

// The entry a path argument names (a link at its end not followed), or
// null with the last error set: the path's own error, else
// ERROR_FILE_NOT_FOUND. `full` receives the full path where there is one.
FsNode* entry_of_arg(LPCSTR path, std::optional<std::string>* full = nullptr) {
  auto named = path_of_arg(path);
  if (full) *full = named;
  if (!named) return nullptr;
  FsNode* node = fs().lookup(*named, false);
  if (node == nullptr) fail(ERROR_FILE_NOT_FOUND);
  return node;
}

// A handle FindFirstFileA made and FindClose did not close, or null.
FileSystem::Find* find_of(HANDLE find) {
  auto it = fs().finds.find(reinterpret_cast<std::uintptr_t>(find));
  return it == fs().finds.end() ? nullptr : &it->second;
}

// A handle CreateFileA made and CloseHandle did not close, or null.
const FileSystem::Opened* file_of(HANDLE file) {
  auto it = fs().handles.find(reinterpret_cast<std::uintptr_t>(file));
  return it == fs().handles.end() ? nullptr : &it->second;
}

// The documented contract of the path queries: the length without the
// terminator when the buffer holds the text, else the size it needs.
DWORD copy_out(const std::string& text, LPSTR buffer, DWORD size) {
  const DWORD n = static_cast<DWORD>(text.size());
  if (buffer == nullptr || size <= n) return n + 1;
  std::memcpy(buffer, text.c_str(), n + 1);
  return n;
}

bool lacks_long_path_name(const sim::win32::Machine& m) {
  // Windows 95 (4.0) and NT 4 do not export GetLongPathNameA.
  return m.is_nt() ? m.version.major < 5 : (m.version.major == 4 && m.version.minor == 0);
}

bool has_extension(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/:");
  std::size_t dot = path.find_last_of('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

}  // namespace

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer) { return copy_out(fs().current_folder, buffer, size); }

BOOL WINAPI SetCurrentDirectoryA(LPCSTR path) {
  auto full = path_of_arg(path);
  if (!full) return FALSE;
  FsNode* node = fs().lookup(*full);
  if (node == nullptr) return fail(fs().lookup(*full, false) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND), FALSE;
  if (!node->is_folder()) return fail(ERROR_DIRECTORY), FALSE;
  if (node->access_denied) return fail(ERROR_ACCESS_DENIED), FALSE;
  fs().current_folder = *full;
  return TRUE;
}

HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  DWORD error = 0;
  if (pattern == nullptr || data == nullptr) return fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  std::string p = pattern;
  std::replace(p.begin(), p.end(), '/', '\\');
  std::size_t slash = p.find_last_of("\\:");
  std::string folder_part = slash == std::string::npos ? "." : p.substr(0, slash + 1);
  std::string mask = slash == std::string::npos ? p : p.substr(slash + 1);
  if (mask.empty()) return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  auto full = fs().full_path(folder_part, &error);
  if (!full) return fail(error), INVALID_HANDLE_VALUE;
  FsNode* folder = fs().lookup(*full);
  if (folder == nullptr || !folder->is_folder()) return fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
  if (folder->access_denied) return fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  FileSystem::Find f;
  f.folder = folder;
  f.mask = mask;
  if (!fs().next_entry(f, data)) return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  const std::uintptr_t handle = fs().next_find++;
  fs().finds[handle] = f;
  return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
  FileSystem::Find* f = find_of(find);
  if (f == nullptr || data == nullptr) return fail(ERROR_INVALID_HANDLE), FALSE;
  if (!fs().next_entry(*f, data)) return fail(ERROR_NO_MORE_FILES), FALSE;
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE find) {
  if (find_of(find) == nullptr) return fail(ERROR_INVALID_HANDLE), FALSE;
  fs().finds.erase(reinterpret_cast<std::uintptr_t>(find));
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR path) {
  FileSystem& files = fs();
  std::optional<std::string> full;
  FsNode* node = entry_of_arg(path, &full);
  if (node == nullptr) {
    // A missing folder on the way is a path not found.
    if (full) {
      auto parent = full->substr(0, full->find_last_of('\\'));
      if (!files.lookup(parent.size() == 2 ? parent + "\\" : parent)) fail(ERROR_PATH_NOT_FOUND);
    }
    return FALSE;
  }
  if (node->is_folder() || (node->attributes & FILE_ATTRIBUTE_READONLY)) return fail(ERROR_ACCESS_DENIED), FALSE;
  if (node->in_use) return fail(ERROR_SHARING_VIOLATION), FALSE;
  files.deleted_files.push_back(files.path_of(*node));
  files.detach(*node);
  return TRUE;
}

BOOL WINAPI RemoveDirectoryA(LPCSTR path) {
  FileSystem& files = fs();
  FsNode* node = entry_of_arg(path);
  if (node == nullptr) return FALSE;
  if (!node->is_folder()) return fail(ERROR_DIRECTORY), FALSE;
  if (node->parent == nullptr || (node->attributes & FILE_ATTRIBUTE_READONLY)) return fail(ERROR_ACCESS_DENIED), FALSE;
  const bool fat = files.family == FsFamily::Fat;
  if (!node->is_link()) {
    if (!files.listing(*node).empty()) return fail(fat ? ERROR_ACCESS_DENIED : ERROR_DIR_NOT_EMPTY), FALSE;
    auto current = files.full_path(files.current_folder);
    if (current && files.lookup(*current) == node)
      return fail(fat ? ERROR_CURRENT_DIRECTORY : ERROR_SHARING_VIOLATION), FALSE;
  }
  files.removed_folders.push_back(files.path_of(*node));
  files.detach(*node);
  return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR path) {
  const FsNode* node = entry_of_arg(path);
  if (node == nullptr) return INVALID_FILE_ATTRIBUTES;
  return node->attributes == 0 ? FILE_ATTRIBUTE_NORMAL : node->attributes;
}

HFILE WINAPI OpenFile(LPCSTR name, LPOFSTRUCT info, UINT style) {
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
    found = fs().search(n);
  } else {
    DWORD error = 0;
    found = fs().full_path(n, &error);
    FsNode* node = found ? fs().lookup(*found) : nullptr;
    if (node == nullptr || node->is_folder()) found.reset();
  }
  if (!found) return refuse(ERROR_FILE_NOT_FOUND);
  if (found->size() >= OFS_MAXPATHNAME) return refuse(ERROR_FILENAME_EXCED_RANGE);
  info->nErrCode = 0;
  std::strcpy(info->szPathName, found->c_str());
  return 1;  // the file was opened and closed again
}

// A path that ends in a separator keeps one: only a path that does not end
// in one loses its trailing blanks and dots (Microsoft Learn, "File path
// formats on Windows systems", Path normalization; Wine's GetFullPathNameA
// returns "C:\windows\system32\" for itself).
DWORD WINAPI GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* filePart) {
  auto full = path_of_arg(path);
  if (!full) return 0;
  const std::size_t written = std::strlen(path);
  if (written > 0 && (path[written - 1] == '\\' || path[written - 1] == '/') && full->back() != '\\' &&
      full->compare(0, 4, "\\\\?\\") != 0)
    *full += '\\';
  const DWORD n = copy_out(*full, buffer, size);
  if (filePart != nullptr && n == full->size()) {
    const std::size_t slash = full->find_last_of('\\');
    *filePart = slash + 1 < full->size() ? buffer + slash + 1 : nullptr;
  }
  return n;
}

// The path with each component written by its entry's long name. A full
// path keeps its text otherwise: ".", ".." and empty components, a trailing
// separator and a name the lookup trimmed ("WINDOWS." for WINDOWS) stay as
// written, as Wine's GetLongPathNameW (dlls/kernelbase/file.c) returns them:
// the function resolves no relative step. A relative path comes back as a
// full one, by the tree's spelling.
DWORD WINAPI GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD size) {
  if (lacks_long_path_name(machine())) return fail(ERROR_CALL_NOT_IMPLEMENTED), 0;
  std::optional<std::string> full;
  const FsNode* node = entry_of_arg(shortPath, &full);
  if (node == nullptr) return 0;
  const std::string written = shortPath;
  if (written.size() >= 3 && written[1] == ':' && written[2] == '\\') {
    std::string result = written.substr(0, 3);
    const FsNode* parent = fs().root(written[0]);
    std::size_t start = 3;
    while (start <= written.size()) {
      std::size_t end = written.find('\\', start);
      if (end == std::string::npos) end = written.size();
      const std::string part = written.substr(start, end - start);
      const FsNode* entry = parent != nullptr && parent->is_folder() ? FileSystem::child(*parent, part) : nullptr;
      // Only the entry's own name or alias is replaced; a trimmed spelling stays.
      if (entry != nullptr && !sim::win32::same_name(entry->name, part) &&
          !sim::win32::same_name(entry->short_name, part))
        entry = nullptr;
      result += entry ? entry->name : part;
      // A step stays as written, and the names after it are still looked up
      // from where it leads.
      if (part == "..")
        parent = parent != nullptr && parent->parent != nullptr ? parent->parent : parent;
      else if (!part.empty() && part != ".")
        parent = entry;
      if (end < written.size()) result += '\\';
      start = end + 1;
    }
    return copy_out(result, longPath, size);
  }
  std::string root, rest;
  sim::win32::split_root(*full, root, rest);
  std::string tree = fs().path_of(*node);  // "C:\..." as the tree spells it
  std::string result = root + (tree.size() > 3 ? tree.substr(2) : "\\");
  if (result.size() > 3 && result.back() == '\\' && root.size() + 1 < result.size()) result.pop_back();
  return copy_out(result, longPath, size);
}

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD /*access*/, DWORD /*share*/, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE) {
  // Only opening is modelled.
  if (disposition != OPEN_EXISTING) return fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  auto full = path_of_arg(path);
  if (!full) return INVALID_HANDLE_VALUE;
  FileSystem& files = fs();
  FsNode* node = files.lookup(*full);
  if (node == nullptr) return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  // A folder opens on the NT family only, and only for backup semantics.
  if (node->is_folder() &&
      (files.family == FsFamily::Fat || (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 || node->access_denied))
    return fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  const FsNode* top = node;
  while (top->parent != nullptr) top = top->parent;
  const std::uintptr_t handle = files.next_handle++;
  files.handles[handle] = FileSystem::Opened{top->name[0], node->file_index, node->attributes, node->content.size()};
  return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  const FileSystem::Opened* opened = file_of(file);
  if (opened == nullptr || info == nullptr) return fail(ERROR_INVALID_HANDLE), FALSE;
  std::memset(info, 0, sizeof *info);
  info->dwFileAttributes = opened->attributes;
  info->dwVolumeSerialNumber = FileSystem::volume_serial(opened->drive);
  info->nFileSizeLow = static_cast<DWORD>(opened->size);
  info->nNumberOfLinks = 1;
  info->nFileIndexLow = opened->index;
  return TRUE;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) { return copy_out(fs().windows_folder, buffer, size); }
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) { return copy_out(fs().system_folder, buffer, size); }

// WinExec finds its program as the platform does: a quoted name as it
// stands; an unquoted one up to the first blank on Windows 95/98, while the
// NT family tries each blank in turn as the name's end. A name without an
// extension gets ".exe"; a bare name is searched in the program's folder,
// the current folder, the system folder(s), the Windows folder and the
// PATH.
UINT WINAPI WinExec(LPCSTR cmdline, UINT show) {
  auto& m = machine();
  auto& files = m.files();
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
    if (!has_extension(name)) name += ".exe";
    std::optional<std::string> found;
    if (name.find_first_of("\\/:") == std::string::npos) {
      found = files.search(name);
    } else {
      found = files.full_path(name);
      auto* node = found ? files.lookup(*found) : nullptr;
      if (node == nullptr || node->is_folder()) found.reset();
    }
    if (found) {
      program = files.path_of(*files.lookup(*found));
      break;
    }
  }
  const UINT result = program.empty() ? ERROR_FILE_NOT_FOUND : 33;  // above 31: started
  m.started.push_back({line, show, program, result});
  return result;
}
