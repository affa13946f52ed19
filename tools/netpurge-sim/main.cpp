// netpurge-sim: runs the uninstaller on a simulated Windows machine and
// reports what it would do there.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

#include <unistd.h>

#include "hive.h"
#include "hive9x.h"
#include "nickit_version.h"
#include "runner.h"
#include "sim/win32/files.h"

namespace {

// Exit statuses besides 0 (completed), 2 (bad input) and 3 (the run could
// not go on): an output that could not be written.
constexpr int kStatusOutputFailed = 1;

bool g_json = false;

// Writes to standard output at once, so that a failure is seen with its
// reason; "" or the system's reason.
std::string emit(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    return std::strerror(errno);
  return {};
}

// All of `bytes` to `fd`, going on after an interrupted write; false when a
// write fails (errno says why).
bool write_all(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The whole of `bytes` into `file`, or standard output for "-"; "" or
// what failed, with the system's reason. A regular file is written beside
// itself and renamed over, so that a failure leaves the old one whole; the
// new file keeps the old one's mode (a new one gets the mode the umask
// leaves). Anything else (a device, a pipe) is written in place.
std::string write_file(const std::string& file, const std::string& bytes) {
  if (file == "-") {
    const std::string reason = emit(bytes);
    return reason.empty() ? "" : "cannot write to standard output: " + reason;
  }
  std::error_code ec;
  std::filesystem::path target = file;
  if (std::filesystem::is_symlink(target, ec)) target = std::filesystem::weakly_canonical(target, ec);
  struct stat info;
  const bool exists = ::stat(target.c_str(), &info) == 0;
  auto failed = [](const std::string& step) { return step + ": " + std::strerror(errno); };
  if (exists && !S_ISREG(info.st_mode)) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return failed("cannot open the file");
    std::string reason;
    if (!write_all(fd, bytes)) reason = failed("cannot write the file");
    if (::close(fd) != 0 && reason.empty()) reason = failed("cannot close the file");
    return reason;
  }
  std::filesystem::path dir = target.parent_path();
  std::string temp = (dir.empty() ? std::string(".") : dir.string()) + "/." + target.filename().string() + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return failed("cannot make a file beside it");
  mode_t mode = 0;
  if (exists) {
    mode = info.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  std::string reason;
  if (::fchmod(fd, mode) != 0) reason = failed("cannot set the file's mode");
  if (reason.empty() && !write_all(fd, bytes)) reason = failed("cannot write the file");
  // A file system that cannot flush (EINVAL) or is read-only has nothing to flush to.
  if (reason.empty() && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
    reason = failed("cannot flush the file to disk");
  if (::close(fd) != 0 && reason.empty()) reason = failed("cannot close the file");
  if (reason.empty() && ::rename(temp.c_str(), target.c_str()) != 0)
    reason = failed("cannot rename the written file over it");
  if (!reason.empty()) ::unlink(temp.c_str());
  return reason;
}

// The profile from standard input ("-"), whose relative names are then
// read from the current folder.
sim::win32::Profile profile_from_stdin() {
  std::string text;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, stdin)) > 0;) {
    text.append(buf, n);
    if (text.size() > sim::win32::kMaxProfileBytes)
      throw sim::win32::InputError("<standard input>: the profile is larger than " +
                                   std::to_string(sim::win32::kMaxProfileBytes) + " bytes");
  }
  if (std::ferror(stdin))
    throw sim::win32::InputError(std::string("<standard input>: cannot read the profile: ") + std::strerror(errno));
  return sim::win32::parse_profile(text, "<standard input>", std::filesystem::current_path());
}

// A file of the run: its role for the messages, its name, and what it is.
struct RunFile {
  std::string role;
  std::string name;
  bool known = false;  // it exists
  dev_t dev = 0;
  ino_t ino = 0;
  std::filesystem::path path;  // where it is, for a file not made yet
};

RunFile run_file(std::string role, const std::string& name) {
  RunFile f{std::move(role), name, false, 0, 0, {}};
  std::error_code ec;
  if (!name.empty() && name != "-") f.path = std::filesystem::weakly_canonical(std::filesystem::absolute(name), ec);
  struct stat info;
  if (name != "-" && ::stat(name.c_str(), &info) == 0) {
    f.known = true;
    f.dev = info.st_dev;
    f.ino = info.st_ino;
  }
  return f;
}

// An output that would replace one of the run's inputs or another output
// is refused before anything runs: the same file by device and inode, so
// that a link or another spelling of the name is seen too.
void check_outputs(const std::vector<RunFile>& inputs, const std::vector<RunFile>& outputs) {
  int to_stdout = 0;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const RunFile& out = outputs[i];
    if (out.name == "-" && ++to_stdout > 1)
      throw sim::win32::InputError(out.role + " -: only one output can go to standard output");
    if (out.known)
      for (const RunFile& in : inputs)
        if (in.known && in.dev == out.dev && in.ino == out.ino)
          throw sim::win32::InputError(out.role + " " + out.name + ": that is the " + in.role + " " + in.name +
                                       " of this run; writing it would replace it (name another file)");
    for (std::size_t j = 0; j < i; ++j)
      if (!out.path.empty() && outputs[j].path == out.path)
        throw sim::win32::InputError(out.role + " " + out.name + ": the same file as " + outputs[j].role + " " +
                                     outputs[j].name + " (name another file)");
    if (!out.known) continue;
    for (std::size_t j = 0; j < i; ++j)
      if (outputs[j].known && outputs[j].dev == out.dev && outputs[j].ino == out.ino)
        throw sim::win32::InputError(out.role + " " + out.name + ": the same file as " + outputs[j].role + " " +
                                     outputs[j].name + " (name another file)");
  }
}

// An error: its message on standard error, prefixed with the tool's name,
// and with --json the same as one JSON object on standard output.
int fail(int status, const std::string& message) {
  std::cerr << "netpurge-sim: " << message << "\n";
  if (g_json) {
    const nlohmann::json j{{"completed", false}, {"error", "netpurge-sim: " + message}, {"exit_status", status}};
    if (std::string reason = emit(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        !reason.empty())
      std::cerr << "netpurge-sim: cannot write to standard output: " << reason << "\n";
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Runs the uninstaller on a simulated Windows machine described by a profile (default: a Windows 98 machine\n"
      "with two supported adapters and a user who presses OK) and reports the dialogs and message boxes shown,\n"
      "what the user did, the processes started, the registry changes as a .reg diff, the files deleted and\n"
      "folders removed, and the exit code.",
      "netpurge-sim"};
  app.footer(
      "FILE \"-\" is standard output (--profile -: standard input); with an output there, the report goes to\n"
      "standard error. An output that is one of the run's input files is refused before the run.\n"
      "\n"
      "Exit status:\n"
      "  0  the run completed\n"
      "  1  an output (the report, an export) could not be written\n"
      "  2  bad input (the message names the file and line)\n"
      "  3  the run could not go on (for example the scripted user had no answer left, or --apply\n"
      "     could not write the hive files)\n"
      "  4  the program ended still holding the network configuration's write lock (Windows 2000)\n"
      "\n"
      "Examples:\n"
      "  netpurge-sim\n"
      "  netpurge-sim --user cancel\n"
      "  netpurge-sim --profile my-pc.json --backup undo.reg --export-registry after.reg\n"
      "  netpurge-sim --profile nt4.json --hive SYSTEM=SYSTEM --hive SOFTWARE=SOFTWARE --backup undo.reg --apply\n"
      "  netpurge-sim --profile win98.json --hive SYSTEM=SYSTEM.DAT --hive USER=USER.DAT --backup undo.reg --apply");
  std::string profile_file, command_line, user, export_file, backup_file, export_files_file;
  bool json = false;
  app.add_option("--profile", profile_file, "machine profile (.json); without it the built-in default machine");
  app.add_option("--command-line", command_line, "the command line as GetCommandLineA reports it");
  app.add_option("--user", user, "the scripted user's answers, comma-separated: ok, cancel, enter, escape, close");
  app.add_flag("--json", json, "print the report as one JSON object");
  app.add_option("--export-registry", export_file,
                 "write the whole registry after the run to this .reg file, in regedit's format for the platform (as "
                 "--backup)");
  app.add_option("--backup", backup_file,
                 "write an undo file: a .reg file that, imported after the run, restores every key and value the run "
                 "deleted or changed (REGEDIT4 for Windows 95/98 and NT 4, Version 5.00 for Windows 2000 and later)");
  app.add_option("--export-files", export_files_file,
                 "write the file tree after the run to this file, as the JSON list a profile's \"files\" reads");
  std::vector<std::string> hive_args;
  bool apply = false, no_keep = false;
  app.add_option("--hive", hive_args,
                 "KIND=FILE: a powered-off NT 4 or Windows 2000 machine's registry hive file as its registry, KIND "
                 "SYSTEM, SOFTWARE (both needed) or NTUSER; or a Windows 95/98 machine's SYSTEM.DAT (KIND SYSTEM, "
                 "needed) and USER.DAT (KIND USER, as HKEY_CURRENT_USER); read-only unless --apply");
  app.add_flag("--apply", apply,
               "write the run's registry changes into the --hive files (needs --backup); each original is kept "
               "as FILE.bak");
  app.add_flag("--no-keep", no_keep, "with --apply: do not keep the original hive files as FILE.bak");
  app.set_version_flag("--version", std::string("netpurge-sim ") + NICKIT_NETPURGE_VERSION,
                       "print the version (that of the netpurge.exe it runs) and exit");
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--json") == 0) g_json = true;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    if (app.exit(e, out, err) != 0) return fail(2, std::string(e.what()) + " (run with --help for the options)");
    if (std::string reason = emit(out.str()); !reason.empty())
      return fail(kStatusOutputFailed, "cannot write to standard output: " + reason);
    return 0;
  }

  netpurge_sim::Report report;
  netpurge_sim::HiveSession hives;
  std::vector<netpurge_sim::HiveWritten> hives_written;
  std::string hive_error;
  const bool report_to_stderr = export_file == "-" || backup_file == "-" || export_files_file == "-";
  try {
    // A value given empty is refused: "--user ''" is no answer at all, not
    // "the default".
    for (const char* name :
         {"--profile", "--command-line", "--user", "--export-registry", "--backup", "--export-files"})
      if (app.count(name) > 0 && app.get_option(name)->as<std::string>().empty())
        throw sim::win32::InputError(std::string(name) + ": the value is empty");
    for (const auto& a : hive_args)
      if (a.empty()) throw sim::win32::InputError("--hive: the value is empty");
    sim::win32::Profile profile = !app.count("--profile") ? netpurge_sim::default_profile()
                                  : profile_file == "-"   ? profile_from_stdin()
                                                          : sim::win32::load_profile_file(profile_file);
    if (app.count("--command-line")) profile.data["command_line"] = command_line;
    if (app.count("--user")) {
      nlohmann::json answers = nlohmann::json::array();
      std::stringstream words(user);
      for (std::string w; std::getline(words, w, ',');) {
        if (!sim::win32::parse_answer(w)) throw sim::win32::InputError("--user: unknown answer \"" + w + "\"");
        answers.push_back(w);
      }
      profile.data["user"] = answers;
    }
    if (apply && hive_args.empty()) throw sim::win32::InputError("--apply writes into --hive files: none given");
    if (apply && backup_file.empty())
      throw sim::win32::InputError("--apply needs --backup FILE: the undo file is written before the hives change");
    // A second --apply on the same hives removes nothing and would write an
    // empty undo file over the one that can still restore them.
    if (apply && std::filesystem::exists(backup_file))
      throw sim::win32::InputError(backup_file +
                                   ": the undo file exists; --apply never writes over one (name a new file)");
    // Windows 95/98 registry files (USER=, or a file that starts "CREG")
    // or NT hives.
    const bool win9x_hives = netpurge_sim::win9x_hive_arguments(hive_args);
    std::vector<netpurge_sim::HiveFile> files;
    if (!win9x_hives)
      for (const auto& a : hive_args) files.push_back(netpurge_sim::parse_hive_argument(a));
    std::vector<RunFile> inputs;
    if (app.count("--profile") && profile_file != "-") inputs.push_back(run_file("profile", profile_file));
    if (!profile.registry_source.empty() && app.count("--profile"))
      inputs.push_back(run_file("registry file", profile.registry_source));
    if (!profile.files_source.empty()) inputs.push_back(run_file("files list", profile.files_source));
    for (const auto& f : files) inputs.push_back(run_file("hive file", f.file.string()));
    if (win9x_hives)
      for (const auto& a : hive_args)
        if (const auto eq = a.find('='); eq != std::string::npos)
          inputs.push_back(run_file("hive file", a.substr(eq + 1)));
    check_outputs(inputs, {run_file("--export-registry", export_file), run_file("--backup", backup_file),
                           run_file("--export-files", export_files_file)});
    if (win9x_hives)
      hives = netpurge_sim::load_win9x_hives(hive_args, profile);
    else if (!files.empty())
      hives = netpurge_sim::load_hives(std::move(files), profile);
    report = netpurge_sim::run(profile);
  } catch (const sim::win32::InputError& e) {
    return fail(2, e.what());
  } catch (const std::exception& e) {
    return fail(3, std::string("the run could not go on: ") + e.what());
  }

  // The files asked for, in regedit's own format for the machine's
  // platform, so that importing them gives the same registry back.
  sim::win32::Machine& m = sim::win32::machine();
  std::string text;
  try {
    // The hives are edited in memory and checked first: a hive --apply
    // refuses leaves no undo file behind.
    netpurge_sim::PreparedHives prepared;
    if (apply && report.completed && !netpurge_sim::is_win9x_session(hives)) {
      try {
        prepared = netpurge_sim::prepare_hives(hives, m.registry, report.security_changes);
      } catch (const std::runtime_error& e) {
        hive_error = std::string(e.what()) + "; no undo file was written";
      }
    }
    // A REGEDIT4 file cannot hold what the code page lacks: the output is
    // refused, naming the key, rather than written with '?'.
    std::string registry_text;
    if (!export_file.empty()) {
      try {
        registry_text = m.registry.export_reg(netpurge_sim::regedit_format(m));
      } catch (const sim::win32::UnrepresentableText& e) {
        return fail(kStatusOutputFailed, "--export-registry " + export_file + ": not written: " + e.what());
      }
    }
    if (!backup_file.empty() && hive_error.empty() && !report.registry_backup_error.empty())
      return fail(kStatusOutputFailed, "--backup " + backup_file + ": not written: " + report.registry_backup_error);
    const std::string no_file;
    const std::pair<const std::string*, std::string> outputs[] = {
        {&export_file, std::move(registry_text)},
        {hive_error.empty() ? &backup_file : &no_file, report.registry_backup},
        {&export_files_file, export_files_file.empty() ? "" : sim::win32::export_files(m.files()).dump(1) + "\n"},
    };
    for (const auto& [file, bytes] : outputs)
      if (!file->empty())
        if (std::string reason = write_file(*file, bytes); !reason.empty())
          return fail(kStatusOutputFailed, *file + ": " + reason);
    // The hives change only once the undo file is written.
    for (const auto& note : hives.notes) report.why.push_back("hive: " + note);
    if (apply && report.completed && hive_error.empty()) {
      if (netpurge_sim::is_win9x_session(hives)) {
        try {
          hives_written = netpurge_sim::write_win9x_hives(hives, m.registry, !no_keep);
        } catch (const std::runtime_error& e) {
          hive_error = e.what();
        }
      } else {
        try {
          hives_written = netpurge_sim::commit_hives(prepared, !no_keep);
        } catch (const netpurge_sim::CommitError& e) {
          std::error_code ec;
          if (e.restored && std::filesystem::remove(backup_file, ec))
            hive_error = std::string(e.what()) + "; the undo file " + backup_file + " was removed";
          else
            hive_error = std::string(e.what()) + "; the undo file " + backup_file + " is kept";
        }
      }
    }
    if (json) {
      nlohmann::json j = netpurge_sim::to_json(report);
      if (!hives_written.empty()) {
        j["hive_files"] = nlohmann::json::array();
        for (const auto& w : hives_written)
          j["hive_files"].push_back(
              {{"kind", w.kind}, {"file", w.file.string()}, {"changed", w.changed}, {"kept", w.kept.string()}});
      }
      if (!hive_error.empty()) j["apply_error"] = "--apply: " + hive_error;
      // Registry text that is not UTF-8 is shown with replacement characters
      // rather than stopping the report.
      text = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    } else {
      text = netpurge_sim::to_text(report) + netpurge_sim::hives_text(hives_written);
    }
  } catch (const std::exception& e) {
    return fail(3, std::string("the outputs could not be made: ") + e.what());
  }
  if (report_to_stderr) {
    std::cerr << text;
    std::cerr.flush();
  } else if (std::string reason = emit(text); !reason.empty()) {
    g_json = false;  // standard output cannot take the error either
    return fail(kStatusOutputFailed, "cannot write the report to standard output: " + reason);
  }
  if (!hive_error.empty()) {
    std::cerr << "netpurge-sim: --apply: " << hive_error << "\n";
    return 3;
  }
  if (!report.completed) {
    std::cerr << "netpurge-sim: " << report.error << "\n";
    return 3;
  }
  if (report.write_lock_held) {
    std::cerr << "netpurge-sim: the program ended still holding the network configuration write lock\n";
    return 4;
  }
  return 0;
}
