// Builds machine profiles in code and runs the uninstaller on them.
#pragma once
#include <string>

#include "tools/netpurge-sim/runner.h"

inline netpurge_sim::Report run_machine(nlohmann::json data) {
  return netpurge_sim::run(sim::win32::parse_profile(data.dump(), "<test>", {}));
}

inline nlohmann::json machine_on(const std::string& platform, bool admin = true,
                                 const std::string& command_line = "\"C:\\Tools\\netpurge.exe\"") {
  return {{"platform", platform}, {"admin", admin}, {"command_line", command_line}};
}
