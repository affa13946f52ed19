// The last steps of --apply, the same for every registry file format: each
// rewritten file is first written as a new file beside the original (same
// mode and owner, flushed to disk), read back and checked, then every
// original is kept as FILE.bak and every new file renamed over its
// original, the directory flushed. A failure at any step puts back what
// was renamed and removes what was made. A format supplies its rewrites:
// the bytes it read, the bytes it wants, and the check of the file read
// back.
#pragma once
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace netpurge_sim {

struct FileRewrite {
  std::string what;  // "SYSTEM hive /mnt/c/winnt/system32/config/SYSTEM", for messages
  std::filesystem::path file;
  std::string original;     // the file as the run read it: it must still hold this
  std::string replacement;  // the new file
  // Reads the new file (`written`, beside the original) back and throws
  // std::runtime_error when it does not hold what the run left.
  std::function<void(const std::filesystem::path& written)> check;
};

// Steps of the write a test can make fail.
enum class HiveStep { None, Commit, Reopen, Check, Keep, Rename };

struct CommitFaults {
  HiveStep fail_at = HiveStep::None;
  // Changes the bytes on their way to the new file (a disk that does not
  // write what it was given).
  std::function<void(const FileRewrite&, std::string& bytes)> tamper;
};

struct CommitError : std::runtime_error {
  CommitError(const std::string& what, bool restored) : std::runtime_error(what), restored(restored) {}
  bool restored;  // every original is back as it was
};

// The kept originals, one a rewrite (empty when keep is false). Throws
// CommitError saying which file and step failed.
std::vector<std::filesystem::path> commit_rewrites(const std::vector<FileRewrite>& rewrites, bool keep,
                                                   const CommitFaults& faults = {});

}  // namespace netpurge_sim
