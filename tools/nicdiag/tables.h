// nicdiag's slot-resource and firmware-table commands: resources, dmi and
// pir. commands.cpp hands them the words of a command and prints what they
// leave here, as for its own commands.
#pragma once
#include <string>
#include <vector>

#include "tools/nicdiag/nicdiag.h"

namespace nicdiag {

struct TableRun {
  TableRun(Device &d, const std::vector<std::string> &w) : device(d), words(w) {}
  Device &device;
  std::vector<std::string> words;
  Reply last;              // the last request's reply
  std::string text;        // human-readable result, or why the command failed
  std::string json_extra;  // further JSON members, each starting with ','
  bool ok = true;
  bool usage_error = false;
};

bool IsTableCommand(const std::string &name);
void RunTableCommand(TableRun &run);

// The commands' lines of nicdiag's --help.
extern const char kTableUsage[];

}  // namespace nicdiag
