// What the hive reader and the hive writer share (hive.cpp, hive_write.cpp).
#pragma once
#include <map>
#include <string>
#include <vector>

#include "hive.h"

namespace netpurge_sim::hive_detail {

std::string upper(std::string s);
bool same_name(const std::string& a, const std::string& b);

struct ReadHive {
  std::string text;  // UTF-8 .reg body
  std::map<std::string, std::string> security;
  std::vector<std::string> notes;
  std::string control_set;
  std::vector<std::string> hazards;  // what makes writing the hive unsafe, each naming its cell
};
// Checks and reads the hive (its bytes, as read from hive.file). Throws
// InputError naming the file.
ReadHive read_hive(const HiveFile& hive, const std::string& bytes);
// The .reg body as a Version 5.00 file, and that file as a registry.
std::string wrap_reg(const std::string& body);
sim::win32::Registry registry_of(const std::string& reg_text, const std::string& source);

}  // namespace netpurge_sim::hive_detail
