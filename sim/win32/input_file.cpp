#include "input_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#include "registry.h"

namespace sim::win32 {

std::string read_input_file(const std::filesystem::path& file, std::uintmax_t limit) {
  const std::string name = file.string();
  std::error_code ec;
  const auto status = std::filesystem::status(file, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) throw InputError(name + ": cannot open: " + ec.message());
  if (ec || !std::filesystem::exists(status)) throw InputError(name + ": no such file");
  if (std::filesystem::is_directory(status)) throw InputError(name + ": is a folder, not a file");
  if (!std::filesystem::is_regular_file(status))
    throw InputError(name + ": not a regular file (a device, pipe or socket is not read)");
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec) throw InputError(name + ": cannot read the file size: " + ec.message());
  if (size > limit)
    throw InputError(name + ": the file is " + std::to_string(size) + " bytes, more than the limit of " +
                     std::to_string(limit));
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) throw InputError(name + ": cannot open: " + std::strerror(errno ? errno : EIO));
  // Exactly the size found above; a file that grew meanwhile is refused
  // rather than cut short.
  std::string bytes(static_cast<std::size_t>(size), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  if (static_cast<std::uintmax_t>(in.gcount()) != size)
    throw InputError(name + ": cannot read the file: " + (in.bad() && errno ? std::strerror(errno) : "it got shorter"));
  char extra;
  if (in.read(&extra, 1); in.gcount() != 0) throw InputError(name + ": the file changed while it was read");
  return bytes;
}

}  // namespace sim::win32
