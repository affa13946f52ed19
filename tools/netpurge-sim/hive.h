// Registry hive files of a powered-off NT 4 or Windows 2000 machine as the
// simulated machine's registry: SYSTEM below HKEY_LOCAL_MACHINE\SYSTEM (the
// control set that Select\Current names as CurrentControlSet), SOFTWARE
// below HKEY_LOCAL_MACHINE\SOFTWARE, a user's NTUSER.DAT as
// HKEY_CURRENT_USER; each key's owner and access list from the hive's
// security cells (hive_regf.h reads and edits the files). After the run the
// changes can be written back: each changed hive edited in memory as NT 4
// would edit it, then committed (hive_commit.h): a new file beside it, read
// back and checked, the original kept, the new file renamed over it.
#pragma once
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "hive_commit.h"
#include "sim/win32/profile.h"
#include "sim/win32/registry.h"

namespace netpurge_sim {

struct HiveFile {
  std::string kind;  // "SYSTEM", "SOFTWARE" or "NTUSER"
  std::filesystem::path file;
  std::string mount;  // the key it is loaded as, e.g. "HKEY_LOCAL_MACHINE\SYSTEM"
  std::string bytes;  // the file as read
};

struct HiveSession {
  std::vector<HiveFile> hives;
  std::string control_set;    // the SYSTEM hive's key loaded as CurrentControlSet
  std::string registry_text;  // the hives as one .reg text (Version 5.00, UTF-16LE)
  // Keys whose security could not be read (the default applies to them).
  std::vector<std::string> notes;
};

// Largest hive file read: real SOFTWARE hives of the period stay far below.
inline constexpr std::uintmax_t kMaxHiveBytes = 128u << 20;

// "SYSTEM=FILE": throws InputError for an unknown kind or a missing '='.
HiveFile parse_hive_argument(const std::string& argument);

// Reads the hives and makes them the profile's registry, their keys'
// security its "key_security" (hive first, the profile's own entries for
// keys whose security the hive could not give). Throws InputError naming
// the file and what is wrong: not a hive, the wrong kind, not written back
// cleanly, truncated or corrupt; or a profile that is not NT 4 or Windows
// 2000, or one that names a registry of its own.
HiveSession load_hives(std::vector<HiveFile> hives, sim::win32::Profile& profile);

struct HiveWritten {
  std::string kind;
  std::filesystem::path file;
  bool changed = false;
  std::filesystem::path kept;  // the original, when kept
};

// What --apply will write: the rewritten hives (SYSTEM.ALT beside SYSTEM
// too, as the copy of SYSTEM it is) and the report's lines for every hive.
struct PreparedHives {
  std::vector<FileRewrite> rewrites;
  std::vector<HiveWritten> written;
};

// Edits each hive the run changed, in memory. Throws std::runtime_error,
// with nothing written, naming the file and the cell: a hive whose cells
// its checks find unsafe to write through (hive_regf.h), or a run that
// changed the access list of a key it left (`security_changes`, as the
// report has them: the apply writes keys and values, not security). The
// session and `after` must outlive the rewrites' checks.
PreparedHives prepare_hives(const HiveSession& session, const sim::win32::Registry& after,
                            const std::vector<std::pair<std::string, std::string>>& security_changes);
// Writes them (commit_rewrites); originals kept as FILE.bak unless keep is
// false. Throws CommitError.
std::vector<HiveWritten> commit_hives(const PreparedHives& prepared, bool keep, const CommitFaults& faults = {});
// Both steps.
std::vector<HiveWritten> write_hives(const HiveSession& session, const sim::win32::Registry& after,
                                     const std::vector<std::pair<std::string, std::string>>& security_changes,
                                     bool keep, const CommitFaults& faults = {});

// The report lines for the hive files.
std::string hives_text(const std::vector<HiveWritten>& written);

}  // namespace netpurge_sim
