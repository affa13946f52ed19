// The report's reasons for the modem folder purge: a target skipped or
// left in part, and why, read from the machine the run left.
#pragma once
#include <string>
#include <vector>

#include "runner.h"

namespace netpurge_sim {

void explain_folder_purge(const Report& report, sim::win32::Machine& machine, std::vector<std::string>& why);

}  // namespace netpurge_sim
