#include "sim/hw/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim::hw {

const ReplaceSteps& system_replace_steps() {
  static const ReplaceSteps steps = {::write, ::fsync, ::close, ::rename};
  return steps;
}

bool replace_file_contents(const std::string& named, const std::string& bytes, std::string& error,
                           const ReplaceSteps& steps) {
  std::string path = named;
  struct stat link_info;
  if (::lstat(named.c_str(), &link_info) == 0) {
    if (S_ISLNK(link_info.st_mode)) {
      if (char* resolved = ::realpath(named.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
      }
    }
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      error = named + ": not a regular file; only a regular file is replaced";
      return false;
    }
  }
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = folder + "." + name + ".XXXXXX";
  const auto fail = [&](const char* step, int number) {
    error = path + ": " + step + ": " + std::strerror(number) + "; the old contents are kept";
    return false;
  };
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return fail("cannot create a new file beside it", errno);
  // The file keeps its mode; a new one gets what fopen would give it.
  struct stat old_info;
  mode_t mode;
  if (::stat(path.c_str(), &old_info) == 0) {
    mode = old_info.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  const char* step = nullptr;
  int number = 0;
  if (::fchmod(fd, mode) != 0) {
    step = "cannot give the new file the mode of the old one";
    number = errno;
  }
  for (std::size_t done = 0; step == nullptr && done < bytes.size();) {
    const ssize_t n = steps.write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      step = "cannot write the new file";
      number = n < 0 ? errno : ENOSPC;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (step == nullptr && steps.fsync(fd) != 0) {
    step = "cannot flush the new file to the disk";
    number = errno;
  }
  if (steps.close(fd) != 0 && step == nullptr) {
    step = "cannot close the new file";
    number = errno;
  }
  if (step == nullptr && steps.rename(temp.c_str(), path.c_str()) != 0) {
    step = "cannot rename the new file over it";
    number = errno;
  }
  if (step != nullptr) {
    ::unlink(temp.c_str());
    return fail(step, number);
  }
  return true;
}

}  // namespace sim::hw
