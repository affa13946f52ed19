// Reading the files a user names (profiles, .reg exports, EEPROM images):
// only regular files, only up to a size limit, with a clear error naming
// the file. A folder, a device such as /dev/zero or a pipe is refused before
// it is opened, so nothing blocks or reads without end.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>

namespace sim::win32 {

// Largest profile (JSON) accepted.
inline constexpr std::uintmax_t kMaxProfileBytes = 16u << 20;
// Largest .reg export accepted: a full UTF-16 export of a Windows 2000
// machine's HKEY_LOCAL_MACHINE is a few tens of megabytes.
inline constexpr std::uintmax_t kMaxRegBytes = 256u << 20;

// The whole file; throws InputError ("<file>: <what>") when it is missing,
// not a regular file, larger than `limit` bytes or unreadable.
std::string read_input_file(const std::filesystem::path& file, std::uintmax_t limit);

}  // namespace sim::win32
