#include "sim/common/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

namespace {

enum class Fault { missing, cannot_open, folder, not_regular, cannot_stat, too_large, cannot_read, shorter, longer };

// The message for a fault, in the words of the caller: the file's role
// ("the profile ...") or the file itself.
std::string describe(Fault fault, const char* what, const std::string& detail, std::uintmax_t size,
                     std::uintmax_t limit) {
  const std::string role = what ? std::string("the ") + what : std::string();
  switch (fault) {
    case Fault::missing: return what ? "cannot open " + role + ": no such file" : "no such file";
    case Fault::cannot_open: return "cannot open" + (what ? " " + role : "") + ": " + detail;
    case Fault::folder: return what ? role + " is not a regular file" : "is a folder, not a file";
    case Fault::not_regular:
      return what ? role + " is not a regular file" : "not a regular file (a device, pipe or socket is not read)";
    case Fault::cannot_stat: return (what ? "cannot read " + role : "cannot read the file size") + ": " + detail;
    case Fault::too_large:
      return what ? role + " is larger than " + std::to_string(limit) + " bytes"
                  : "the file is " + std::to_string(size) + " bytes, more than the limit of " + std::to_string(limit);
    case Fault::cannot_read: return "cannot read " + (what ? role : "the file") + ": " + detail;
    case Fault::shorter: return what ? role + " changed while it was read" : "cannot read the file: it got shorter";
    case Fault::longer: return (what ? role : "the file") + " changed while it was read";
  }
  return "unreadable";
}

}  // namespace

std::string read_input_file(const std::filesystem::path& file, std::uintmax_t limit, const char* what) {
  std::uintmax_t size = 0;
  auto fail = [&](Fault fault, const std::string& detail = {}) -> InputError {
    return InputError(file.string() + ": " + describe(fault, what, detail, size, limit));
  };
  // O_NONBLOCK: a pipe without a writer does not hold up the open.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat info;
    // A socket cannot be opened at all: it is still "not a regular file".
    if (error != ENOENT && ::stat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
      throw fail(Fault::not_regular);
    throw fail(error == ENOENT ? Fault::missing : Fault::cannot_open, std::strerror(error));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info;
  if (::fstat(fd, &info) != 0) throw fail(Fault::cannot_stat, std::strerror(errno));
  if (S_ISDIR(info.st_mode)) throw fail(Fault::folder);
  if (!S_ISREG(info.st_mode)) throw fail(Fault::not_regular);
  size = static_cast<std::uintmax_t>(info.st_size);
  if (size > limit) throw fail(Fault::too_large);
  // One byte more than the size found above: a file that grew meanwhile is
  // refused rather than cut short.
  std::string bytes(static_cast<std::size_t>(size) + 1, '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw fail(Fault::cannot_read, std::strerror(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < size) throw fail(Fault::shorter);
  if (got > size) throw fail(Fault::longer);
  bytes.resize(got);
  return bytes;
}

}  // namespace sim
