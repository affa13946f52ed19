// The simulated machine's file system: drives, folders and files with their
// attributes, the process's current folder and the Win32 file services of
// platform/host/win32_host.h, per family:
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
// trailing blanks and dots dropped from a path's last component.
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/win32.h"

namespace sim::win32 {

class Machine;

enum class FsFamily { Fat, Ntfs };

struct FsNode {
  std::string name;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  bool in_use = false;          // opened by a running process: deletion refused
  bool access_denied = false;   // a folder this user may not enter or list
  std::string content;          // a file's data
  std::string target;           // a link's target folder (reparse point)
  FsNode* parent = nullptr;
  // Entries of a folder. FAT keeps freed slots (nullptr) for reuse; NTFS
  // keeps no order of its own here: enumeration sorts.
  std::vector<std::unique_ptr<FsNode>> slots;

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
  std::string system16_folder;   // NT family: the 16-bit system folder, searched too
  std::string current_folder;    // full path, as it was made current
  std::string program_path;      // the running program (searched first)
  std::vector<std::string> path; // the PATH variable's folders

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

  // ---- the Win32 services
  DWORD get_current_directory(DWORD size, LPSTR buffer);
  BOOL set_current_directory(LPCSTR path);
  HANDLE find_first(LPCSTR pattern, LPWIN32_FIND_DATAA data);
  BOOL find_next(HANDLE find, LPWIN32_FIND_DATAA data);
  BOOL find_close(HANDLE find);
  BOOL delete_file(LPCSTR path);
  BOOL remove_directory(LPCSTR path);
  DWORD get_attributes(LPCSTR path);
  HFILE open_file(LPCSTR name, LPOFSTRUCT info, UINT style);
  std::size_t open_find_handles() const { return finds_.size(); }

 private:
  struct Find {
    FsNode* folder;
    std::string mask;
    int dots = 0;                 // "." and ".." given so far
    std::size_t next_slot = 0;    // FAT
    std::string last_name;        // NTFS: the last name given
    bool started = false;
  };
  bool next_entry(Find& f, LPWIN32_FIND_DATAA data);
  void detach(FsNode& node);
  DWORD fail(DWORD error) const;

  std::map<char, std::unique_ptr<FsNode>> drives_;
  std::map<std::uintptr_t, Find> finds_;
  std::uintptr_t next_find_ = 0x7F000010;
};

// Case-insensitive equality of names, as both families compare them.
bool same_name(const std::string& a, const std::string& b);

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
