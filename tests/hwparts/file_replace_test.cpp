// Replacing a file whole: each step that fails (write, flush, close,
// rename) is named, leaves the old contents and mode and no new file
// behind; a replacement that succeeds keeps the file's mode.
#include "sim/hw/file_replace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string Read(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

mode_t Mode(const std::string &path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

// The real calls, each of which a case replaces with one that fails.
ssize_t FullWrite(int, const void *, size_t) {
  errno = ENOSPC;
  return -1;
}
ssize_t StuckWrite(int, const void *, size_t) { return 0; }
int FailingFsync(int) {
  errno = EIO;
  return -1;
}
int FailingClose(int fd) {
  ::close(fd);
  errno = EDQUOT;
  return -1;
}
int FailingRename(const char *, const char *) {
  errno = EXDEV;
  return -1;
}

TEST(FileReplace, EveryFailingStepIsNamedAndLeavesTheOldFileWhole) {
  const std::string dir = testing::TempDir() + "file_replace/";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = dir + "image.txt";
  const sim::hw::ReplaceSteps real = sim::hw::system_replace_steps();
  struct Case {
    const char *name;
    sim::hw::ReplaceSteps steps;
    std::string message;
  };
  const Case cases[] = {
      {"write",
       {FullWrite, real.fsync, real.close, real.rename},
       "cannot write the new file: " + std::string(strerror(ENOSPC))},
      {"write of nothing",
       {StuckWrite, real.fsync, real.close, real.rename},
       "cannot write the new file: " + std::string(strerror(ENOSPC))},
      {"flush",
       {real.write, FailingFsync, real.close, real.rename},
       "cannot flush the new file to the disk: " + std::string(strerror(EIO))},
      {"close",
       {real.write, real.fsync, FailingClose, real.rename},
       "cannot close the new file: " + std::string(strerror(EDQUOT))},
      {"rename",
       {real.write, real.fsync, real.close, FailingRename},
       "cannot rename the new file over it: " + std::string(strerror(EXDEV))},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(path) << "old\n";
    chmod(path.c_str(), 0640);
    std::string error;
    EXPECT_FALSE(sim::hw::replace_file_contents(path, "new\n", error, c.steps));
    EXPECT_NE(error.find(path + ": " + c.message + "; the old contents are kept"), std::string::npos) << error;
    EXPECT_EQ(Read(path), "old\n");
    EXPECT_EQ(Mode(path), 0640u);
    size_t entries = 0;
    for (const auto &entry : fs::directory_iterator(dir)) entries += entry.is_regular_file();
    EXPECT_EQ(entries, 1u) << "a new file was left beside the old one";
  }
  // Done: the new contents, the old mode; a new file the mode fopen gives.
  std::string error;
  ASSERT_TRUE(sim::hw::replace_file_contents(path, "new\n", error)) << error;
  EXPECT_EQ(Read(path), "new\n");
  EXPECT_EQ(Mode(path), 0640u);
  const mode_t mask = umask(022);
  ASSERT_TRUE(sim::hw::replace_file_contents(dir + "fresh.txt", "x", error)) << error;
  umask(mask);
  EXPECT_EQ(Mode(dir + "fresh.txt"), 0644u);
  // A folder (or a device) in the file's place is never replaced.
  fs::create_directories(dir + "folder");
  EXPECT_FALSE(sim::hw::replace_file_contents(dir + "folder", "x", error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(dir + "folder"));
}

}  // namespace
