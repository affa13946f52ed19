// Reading the files a user names (profiles, .reg exports, EEPROM images,
// hives): only regular files, only up to a size limit, with a clear error
// naming the file. The file is opened without waiting and checked on the
// descriptor, so a folder, a device such as /dev/zero or a pipe is refused
// before anything is read, nothing blocks, and a name swapped for something
// else between a check and the open cannot slip through.
#pragma once
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace sim {

// Bad input from a file the user gave us; what() names the file (and line).
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole file; throws InputError "<file>: <what went wrong>" when it is
// missing, not a regular file, larger than `limit` bytes, unreadable or
// changed while it was read. `what` names the file's role in the message
// ("profile": "<file>: the profile is not a regular file"); without it the
// message speaks of the file ("<file>: not a regular file (...)").
std::string read_input_file(const std::filesystem::path& file, std::uintmax_t limit, const char* what = nullptr);

}  // namespace sim
