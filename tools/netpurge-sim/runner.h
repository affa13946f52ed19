// Runs the uninstaller (its WinMain, through the program entry) on a
// simulated machine set up from a profile, and reports what it did.
#pragma once
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/win32/machine.h"
#include "sim/win32/profile.h"
#include "sim/win32/ui.h"

namespace netpurge_sim {

struct Report {
  bool completed = true;  // false: the run could not go on (see error)
  std::string error;
  int exit_code = 0;
  std::string platform;
  bool modem_mode = false;
  bool silent_mode = false;
  bool removal_ran = false;
  std::vector<sim::win32::Shown> shown;
  std::vector<sim::win32::UserAction> actions;
  std::vector<sim::win32::StartedProcess> started;
  std::string registry_diff;  // .reg text; empty when nothing changed
  // NT family: keys still there whose access list changed, with their SDDL.
  std::vector<std::pair<std::string, std::string>> security_changes;
  // The undo file: imported into the registry the run left, it restores the
  // registry as it was (REGEDIT4 on Windows 95/98 and NT 4, Windows
  // Registry Editor Version 5.00 on Windows 2000 and later).
  std::string registry_backup;
  // Why there is no undo file: a REGEDIT4 one cannot hold a name or string
  // outside the machine's code page (what names the key).
  std::string registry_backup_error;
  std::vector<std::string> deleted_files;    // full paths, in order
  std::vector<std::string> removed_folders;  // full paths, in order
  std::size_t find_handles_left = 0;
  // Windows 2000 removal: "unbound", "applied", "removed_devices", "com_leaks".
  nlohmann::json removal = nlohmann::json::object();
  // Why nothing (or less than expected) happened: the removal not run, the
  // write lock not obtained and who held it, no supported device, a pass
  // skipped. Empty when the run did its whole work.
  std::vector<std::string> why;
  // The program ended still holding the network configuration's write lock
  // (Windows 2000): a fault of the program, since the lock stays taken and
  // keeps every other configuration client out. netpurge-sim fails such a
  // run.
  bool write_lock_held = false;
  std::string write_lock_holder;  // the description it was taken under
  int scm_handles_left = 0;
  std::size_t registry_handles_left = 0;
  std::size_t token_handles_left = 0;
  std::size_t heap_blocks_left = 0;
};

// The built-in default machine: Windows 98 with two supported adapters and
// a user who presses OK.
sim::win32::Profile default_profile();

// Regedit's own format on the machine's platform: Windows 2000 and later
// write Version 5.00 files (UTF-16), Windows 95/98 and NT 4 REGEDIT4 (ANSI).
sim::win32::RegFormat regedit_format(const sim::win32::Machine& machine);

// Sets up the machine from the profile and runs the program. The machine
// stays as the run left it, for callers that look further.
Report run(const sim::win32::Profile& profile);

nlohmann::json to_json(const Report& report);
std::string to_text(const Report& report);

}  // namespace netpurge_sim
