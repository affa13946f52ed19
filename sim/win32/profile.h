// Machine profiles: a JSON description of a simulated Windows machine (its
// version, rights, command line, registry as a .reg file, scripted user and
// forced failures), applied to the current machine.
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace sim::win32 {

// Largest profile (JSON) accepted, and largest files list beside one.
inline constexpr std::uintmax_t kMaxProfileBytes = 16u << 20;

struct Profile {
  nlohmann::json data = nlohmann::json::object();
  std::string source = "<built-in default>";  // for error messages
  std::filesystem::path base_dir;             // relative paths are resolved here
  std::string registry_text;                  // .reg contents, when given inline or by file
  std::string registry_source;
  std::string files_source;          // the files list's file, when "files" names one
  std::map<std::string, int> lines;  // JSON pointer -> line, for error messages
};

// Reads a profile file; throws InputError naming the file (and line) on bad
// input: a missing, special or oversized file, malformed JSON, an unknown
// key, a value of the wrong type or out of range (profile_schema.h), a bad
// .reg file.
Profile load_profile_file(const std::filesystem::path& file);
// Parses profile text; `source` names it in errors.
Profile parse_profile(const std::string& text, const std::string& source, const std::filesystem::path& base_dir);

// Throws the current machine away and sets up a fresh one from the profile.
void apply_profile(const Profile& profile);

// The platform names a profile accepts, e.g. "win98" or "nt4".
std::string platform_name();

}  // namespace sim::win32
