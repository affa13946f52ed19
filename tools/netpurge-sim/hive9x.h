// The registry files of a powered-off Windows 95/98 machine as the
// simulated machine's registry: SYSTEM.DAT as HKEY_LOCAL_MACHINE, a user's
// USER.DAT as HKEY_CURRENT_USER (C:\WINDOWS\USER.DAT without user
// profiles, C:\WINDOWS\Profiles\<name>\USER.DAT with them). After the run
// the changes can be written back as for NT hives: each changed file
// written anew beside the original, read back and compared with what the
// run left, the original kept as FILE.bak and the new file renamed over it.
// The file format itself is the creg library's (creg/creg.h).
#pragma once
#include <string>
#include <vector>

#include "hive.h"

namespace netpurge_sim {

// Whether the --hive arguments name Windows 95/98 files: a kind of USER,
// or a file that starts with "CREG", and no kind that only NT has.
bool win9x_hive_arguments(const std::vector<std::string>& arguments);

// Reads the files and makes them the profile's registry. Throws InputError
// naming the file and what is wrong with it: not a Windows 95/98 registry
// file, truncated, an offset outside its block, a cycle in the key tree,
// two entries with one key id, a count larger than its space; or a profile
// that is not Windows 95/98/Me, or one that names a registry of its own.
HiveSession load_win9x_hives(const std::vector<std::string>& arguments, sim::win32::Profile& profile);

// Whether the session's files are Windows 95/98 registry files.
bool is_win9x_session(const HiveSession& session);

// Writes what the run changed below each file's root key into the file.
// Nothing is changed when any step fails (throws std::runtime_error naming
// the file and the step). Originals are kept as FILE.bak unless keep is
// false.
std::vector<HiveWritten> write_win9x_hives(const HiveSession& session, const sim::win32::Registry& after, bool keep,
                                           HiveStep fail_at = HiveStep::None);

}  // namespace netpurge_sim
