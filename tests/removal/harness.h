// Shared by the removal tests and the benchmark: running a scenario kept as
// files, and setting up the machine for calling the removal operations
// directly.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace removal_test {

std::string read_text(const std::filesystem::path& file);
std::filesystem::path scenario_dir(const std::string& name);
std::vector<std::string> scenario_names();
// A scenario's name as a test name: every character that is not a letter or
// a digit becomes '_'.
std::string scenario_test_name(const std::string& name);

struct Outcome {
  int exit_code = 0;
  std::string registry;   // the whole registry afterwards, exported
  nlohmann::json report;  // unbound, applied, removed_devices, com_leaks, messages, started,
                          // deleted_files, removed_folders, current_folder
  nlohmann::json files;   // the file tree afterwards, as a profile's "files" list
};

// Sets the machine up from the scenario's profile and runs it: the whole
// program (profile "steps": absent or "program") or only the class sweep
// ("class_sweep", which calls PurgeClassKeys9x alone).
Outcome run_scenario(const std::string& name);

// A fresh machine of the given platform ("win98", "win2000") with the
// program's resources loaded and the program state reset for direct calls
// of the removal operations.
void fresh_machine(const std::string& platform, bool modem_mode = false);
// On the machine as it is: the program's resources loaded and the program
// state reset to the given modes, for direct calls.
void fresh_resources(bool silent_mode, bool modem_mode);

}  // namespace removal_test
