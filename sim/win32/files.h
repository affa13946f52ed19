// The simulated machine's file system: drives, folders and files with their
// attributes, the process's current folder and the handles of the Win32
// file functions of platform/host/win32_host.h (file_api.cpp), which work
// on the current machine's. Per family:
//  - Windows 95/98 (FAT): a folder lists its entries in directory-slot
//    order; a deleted entry frees its slot, and the next new entry takes the
//    first free slot. Removing a folder that is not empty fails with
//    ERROR_ACCESS_DENIED, removing the current folder with
//    ERROR_CURRENT_DIRECTORY, as the DOS calls below them report.
//  - NT family (NTFS): a folder lists its entries sorted by name without
//    regard to case; removing a folder that is not empty fails with
//    ERROR_DIR_NOT_EMPTY, removing the current folder (which the process
//    holds open) with ERROR_SHARING_VIOLATION. Folders may be links
//    (reparse points) to other folders from Windows 2000 on.
// Both families list "." and ".." first in every folder but a drive's root.
// Paths follow Win32's rules: case-insensitive names, "\" or "/" as
// separators, relative paths against the current folder, "." and "..", and
// trailing blanks and dots dropped from a path's last component. Names may
// still end in blanks and dots on disk (made through "\\?\" paths, other
// subsystems or another system's driver); such an entry is listed as it is,
// and only a "\\?\" path names it. Every name has an 8.3 alias (FAT's short
// entry; NTFS makes one too) that paths may use. The NT family also takes
// "\\?\C:\..." (taken literally), "\\.\C:\..." and the administrative
// shares "\\localhost\C$\..."; Windows 95/98 take none of these.
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/win32.h"

namespace sim::win32 {

class Machine;

enum class FsFamily { Fat, Ntfs };

// Orders upper-case names as NTFS collates them: byte by byte, unsigned.
struct CollateLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

struct FsNode {
  std::string name;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  bool in_use = false;         // opened by a running process: deletion refused
  bool access_denied = false;  // a folder this user may not enter or list
  std::string content;         // a file's data
  std::string target;          // a link's target folder (reparse point)
  FsNode* parent = nullptr;
  // Entries of a folder. Freed slots (nullptr) are reused: on FAT that is
  // the listing order; NTFS lists by name (by_name) whatever the slots.
  std::vector<std::unique_ptr<FsNode>> slots;
  // A folder's entries by upper-case name and by upper-case 8.3 alias, and
  // FAT's freed slots (lowest first): lookups and additions in O(log N).
  std::map<std::string, FsNode*, CollateLess> by_name;
  std::map<std::string, FsNode*, CollateLess> by_short;
  std::set<std::size_t> free_slots;
  std::string short_name;  // the 8.3 alias; empty when the name is one
  DWORD file_index = 0;    // identity within the volume (NTFS file reference)
  std::size_t slot = 0;    // its place in the parent's slots

  bool is_folder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  bool is_link() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
};

class FileSystem {
 public:
  explicit FileSystem(FsFamily family);
  ~FileSystem();

  FsFamily family;
  bool links_supported = false;  // NTFS 5 (Windows 2000 and later)
  std::string windows_folder;
  std::string system_folder;
  std::string system16_folder;    // NT family: the 16-bit system folder, searched too
  std::string current_folder;     // full path, as it was made current
  std::string program_path;       // the running program (searched first)
  std::vector<std::string> path;  // the PATH variable's folders

  // What the run deleted, full paths in order.
  std::vector<std::string> deleted_files;
  std::vector<std::string> removed_folders;

  // ---- building (profiles, tests)
  // Adds a file or folder with its parents; throws InputError on a bad path
  // or when a file and a folder would share a name.
  FsNode& add(const std::string& path, bool folder);
  // The node a full path names (links followed on the way, and at the end
  // when follow_last), or nullptr.
  FsNode* lookup(const std::string& path, bool follow_last = true);
  // Full path of a node as the tree spells it.
  std::string path_of(const FsNode& node) const;
  // The entry of a folder named `name` (or with that 8.3 alias), or nullptr.
  static FsNode* child(const FsNode& folder, const std::string& name);
  // A full path in any accepted spelling as a drive path ("C:\..."), or
  // empty when it names no local drive.
  std::string local_form(const std::string& full) const;
  // The volume serial number of a drive.
  static DWORD volume_serial(char drive);
  // The folder's entries in the order this family lists them.
  std::vector<FsNode*> listing(const FsNode& folder) const;
  // The drive letters present, sorted.
  std::vector<char> drives() const;
  FsNode* root(char drive);

  // Win32 path rules: the full path of `path` against the current folder,
  // or nullopt with the error the platform reports.
  std::optional<std::string> full_path(const std::string& path, DWORD* error = nullptr) const;
  // A bare name's search: the program's folder, the current folder, the
  // system folder(s), the Windows folder, the PATH. The full path of the
  // first file found.
  std::optional<std::string> search(const std::string& name);

  // ---- open handles, shared with the file functions (file_api.cpp)
  struct Find {
    FsNode* folder;  // null once the folder is gone
    std::string mask;
    int dots = 0;               // "." and ".." given so far
    std::size_t next_slot = 0;  // FAT
    std::string last_name;      // NTFS: the last name given
    bool started = false;
  };
  struct Opened {
    char drive;
    DWORD index;
    DWORD attributes;
    std::size_t size;
  };
  std::map<std::uintptr_t, Find> finds;  // FindFirstFileA's handles
  std::uintptr_t next_find = 0x7F000010;
  std::map<std::uintptr_t, Opened> handles;  // CreateFileA's handles
  std::uintptr_t next_handle = 0x6E000010;

  // The search's next entry in this family's order; false at the end.
  bool next_entry(Find& f, LPWIN32_FIND_DATAA data);
  // Takes a node out of its folder (its slot is freed); searches that were
  // listing it come to their end.
  void detach(FsNode& node);
  // Closes a handle of CreateFileA; false when it is none.
  bool close_handle(HANDLE file);
  std::size_t open_find_handles() const { return finds.size(); }
  std::size_t open_file_handles() const { return handles.size(); }

 private:
  void attach(FsNode& folder, std::unique_ptr<FsNode> node);

  std::map<char, std::unique_ptr<FsNode>> drives_;
  DWORD next_index_ = 0x100;
};

// Case-insensitive equality of names, as both families compare them.
bool same_name(const std::string& a, const std::string& b);
// A full path's root ("C:", "\\server\share", "\\.\C:", "\\?\C:") and the
// rest, which starts with a backslash or is empty.
void split_root(const std::string& full, std::string& root, std::string& rest);

// ---- profiles (files_profile.cpp)

// Checks the profile's file keys ("files", "windows_folder",
// "system_folder", "current_folder", "path") and reads a "files" given as a
// file name into the profile; throws InputError naming the source.
void check_files_profile(nlohmann::json& data, const std::string& source, const std::filesystem::path& base_dir);
// Builds the machine's file system from the profile's keys, or the family's
// default machine when "files" is absent.
void load_files_profile(const nlohmann::json& data, const std::string& source, Machine& machine);
// The tree as a "files" list: folders end in a backslash; an entry with
// anything but the default attributes is an object.
nlohmann::json export_files(FileSystem& files);
// The default file system of the machine's platform.
std::unique_ptr<FileSystem> default_file_system(const Machine& machine);

}  // namespace sim::win32
