#include "hive_commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/common/input_file.h"

namespace netpurge_sim {

namespace {

struct Pending {
  const FileRewrite* rewrite;
  std::filesystem::path temp, kept;
  bool linked = false, renamed = false;
};

void fail_if(HiveStep at, HiveStep step, const std::string& what, const char* name) {
  if (at == step) throw std::runtime_error(what + ": " + name + " failed (forced)");
}

std::string error_text() { return std::strerror(errno); }

// The new file beside `file`: created fresh, given the original's mode and
// owner, written whole and flushed to the disk.
std::filesystem::path write_beside(const std::filesystem::path& file, const std::string& bytes,
                                   const std::string& what) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) throw std::runtime_error(what + ": " + error_text());
  std::string name = file.string() + ".new-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) throw std::runtime_error(what + ": cannot make a new file beside it: " + error_text());
  const std::filesystem::path temp = name;
  auto fail = [&](const std::string& step) {
    const std::string why = error_text();
    close(fd);
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    throw std::runtime_error(what + ": " + step + " " + temp.string() + ": " + why);
  };
  if ((st.st_uid != geteuid() || st.st_gid != getegid()) && fchown(fd, st.st_uid, st.st_gid) != 0)
    fail("cannot give the original's owner to");
  if (fchmod(fd, st.st_mode & 07777) != 0) fail("cannot give the original's mode to");
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("cannot write");
    done += static_cast<std::size_t>(n);
  }
  if (fsync(fd) != 0) fail("cannot flush");
  if (close(fd) != 0) {
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    throw std::runtime_error(what + ": cannot close " + temp.string() + ": " + error_text());
  }
  return temp;
}

void sync_directory(const std::filesystem::path& file) {
  const std::filesystem::path dir = file.has_parent_path() ? file.parent_path() : ".";
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

std::vector<std::filesystem::path> commit_rewrites(const std::vector<FileRewrite>& rewrites, bool keep,
                                                   const CommitFaults& faults) {
  std::vector<Pending> pending;
  for (const auto& r : rewrites) pending.push_back({&r, {}, {}});
  std::error_code ec;
  bool restored = true;
  auto clean_up = [&] {
    for (auto& p : pending) {
      if (p.renamed) {
        std::filesystem::rename(p.kept, p.rewrite->file, ec);
        if (ec) restored = false;
      } else if (p.linked) {
        std::filesystem::remove(p.kept, ec);
      }
      if (!p.temp.empty()) std::filesystem::remove(p.temp, ec);
    }
  };
  try {
    for (auto& p : pending) {
      const std::string& what = p.rewrite->what;
      p.kept = p.rewrite->file.string() + ".bak";
      if (std::filesystem::symlink_status(p.kept).type() != std::filesystem::file_type::not_found)
        throw std::runtime_error(p.kept.string() + " exists: move it away first, it would be replaced");
      if (sim::read_input_file(p.rewrite->file, p.rewrite->original.size() + 1) != p.rewrite->original)
        throw std::runtime_error(what + ": the file changed since it was read");
      fail_if(faults.fail_at, HiveStep::Commit, what, "writing the new file");
      std::string bytes = p.rewrite->replacement;
      if (faults.tamper) faults.tamper(*p.rewrite, bytes);
      p.temp = write_beside(p.rewrite->file, bytes, what);
      fail_if(faults.fail_at, HiveStep::Reopen, what, "reopening the new file");
      p.rewrite->check(p.temp);
      fail_if(faults.fail_at, HiveStep::Check, what, "checking the new file");
    }
    for (auto& p : pending) {
      const std::string& what = p.rewrite->what;
      fail_if(faults.fail_at, HiveStep::Keep, what, "keeping the original");
      std::filesystem::create_hard_link(p.rewrite->file, p.kept, ec);
      if (ec) {
        std::filesystem::copy_file(p.rewrite->file, p.kept, ec);
        if (!ec) sync_directory(p.kept);
      }
      if (ec) throw std::runtime_error(what + ": cannot keep the original as " + p.kept.string() + ": " + ec.message());
      p.linked = true;
    }
    for (auto& p : pending) {
      const std::string& what = p.rewrite->what;
      if (&p == &pending.back()) fail_if(faults.fail_at, HiveStep::Rename, what, "renaming the new file over it");
      std::filesystem::rename(p.temp, p.rewrite->file, ec);
      if (ec) throw std::runtime_error(what + ": cannot rename the new file over it: " + ec.message());
      p.renamed = true;
      p.temp.clear();
      sync_directory(p.rewrite->file);
    }
  } catch (const std::exception& e) {
    clean_up();
    throw CommitError(std::string(e.what()) +
                          (restored ? "; no file was changed"
                                    : "; the originals could not all be put back: they are beside them as FILE.bak"),
                      restored);
  }
  std::vector<std::filesystem::path> kept;
  for (auto& p : pending) {
    if (!keep) std::filesystem::remove(p.kept, ec);
    kept.push_back(keep ? p.kept : std::filesystem::path());
  }
  return kept;
}

}  // namespace netpurge_sim
