// netpurge-sim: runs the uninstaller on a simulated Windows machine and
// reports what it would do there.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <sstream>

#include "hive.h"
#include "runner.h"
#include "sim/win32/files.h"

int main(int argc, char** argv) {
  CLI::App app{
      "Runs the uninstaller on a simulated Windows machine described by a profile (default: a Windows 98 machine\n"
      "with two supported adapters and a user who presses OK) and reports the dialogs and message boxes shown,\n"
      "what the user did, the processes started, the registry changes as a .reg diff, the files deleted and\n"
      "folders removed, and the exit code.\n"
      "Exit status: 0 when the run completed, 2 for bad input (the message names the file and line), 3 when the\n"
      "run could not go on (for example the scripted user had no answer left), 4 when the program ended still\n"
      "holding the network configuration's write lock (Windows 2000).",
      "netpurge-sim"};
  std::string profile_file, command_line, user, export_file, backup_file, export_files_file;
  bool json = false;
  app.add_option("--profile", profile_file, "machine profile (.json); without it the built-in default machine");
  app.add_option("--command-line", command_line, "the command line as GetCommandLineA reports it");
  app.add_option("--user", user, "the scripted user's answers, comma-separated: ok, cancel, enter, escape, close");
  app.add_flag("--json", json, "print the report as one JSON object");
  app.add_option("--export-registry", export_file, "write the whole registry after the run to this .reg file");
  app.add_option("--backup", backup_file,
                 "write an undo file: a .reg file that, imported after the run, restores every key and value the run "
                 "deleted or changed (REGEDIT4 for Windows 95/98 and NT 4, Version 5.00 for Windows 2000 and later)");
  app.add_option("--export-files", export_files_file,
                 "write the file tree after the run to this file, as the JSON list a profile's \"files\" reads");
  std::vector<std::string> hive_args;
  bool apply = false, no_keep = false;
  app.add_option("--hive", hive_args,
                 "KIND=FILE: a powered-off NT 4 or Windows 2000 machine's registry hive file as its registry, KIND "
                 "SYSTEM, SOFTWARE (both needed) or NTUSER; read-only unless --apply");
  app.add_flag("--apply", apply,
               "write the run's registry changes into the --hive files (needs --backup); each original is kept "
               "as FILE.bak");
  app.add_flag("--no-keep", no_keep, "with --apply: do not keep the original hive files as FILE.bak");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  netpurge_sim::Report report;
  netpurge_sim::HiveSession hives;
  std::vector<netpurge_sim::HiveWritten> hives_written;
  std::string hive_error;
  try {
    sim::win32::Profile profile =
        profile_file.empty() ? netpurge_sim::default_profile() : sim::win32::load_profile_file(profile_file);
    if (!command_line.empty()) profile.data["command_line"] = command_line;
    if (!user.empty()) {
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
    if (!hive_args.empty()) {
      std::vector<netpurge_sim::HiveFile> files;
      for (const auto& a : hive_args) files.push_back(netpurge_sim::parse_hive_argument(a));
      hives = netpurge_sim::load_hives(std::move(files), profile);
    }
    report = netpurge_sim::run(profile);
    if (!export_file.empty()) {
      std::ofstream out(export_file, std::ios::binary);
      out << sim::win32::machine().registry.export_reg();
      if (!out) throw sim::win32::InputError(export_file + ": cannot write the file");
    }
    if (!backup_file.empty()) {
      std::ofstream out(backup_file, std::ios::binary);
      out << report.registry_backup;
      if (!out.flush()) throw sim::win32::InputError(backup_file + ": cannot write the file");
    }
    if (!export_files_file.empty()) {
      std::ofstream out(export_files_file, std::ios::binary);
      out << sim::win32::export_files(sim::win32::machine().files()).dump(1) << "\n";
      if (!out.flush()) throw sim::win32::InputError(export_files_file + ": cannot write the file");
    }
    for (const auto& note : hives.notes) report.why.push_back("hive: " + note);
    if (apply && report.completed) {
      try {
        hives_written = netpurge_sim::write_hives(hives, sim::win32::machine().registry, report.security_changes,
                                                  !no_keep);
      } catch (const std::runtime_error& e) {
        hive_error = e.what();
      }
    }
  } catch (const sim::win32::InputError& e) {
    std::cerr << "netpurge-sim: " << e.what() << "\n";
    return 2;
  }
  if (json) {
    nlohmann::json j = netpurge_sim::to_json(report);
    if (!hives_written.empty()) {
      j["hive_files"] = nlohmann::json::array();
      for (const auto& w : hives_written)
        j["hive_files"].push_back({{"kind", w.kind}, {"file", w.file.string()}, {"changed", w.changed},
                                   {"kept", w.kept.string()}});
    }
    // Registry text that is not UTF-8 is shown with replacement characters
    // rather than stopping the report.
    std::cout << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::cout << netpurge_sim::to_text(report) << netpurge_sim::hives_text(hives_written);
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
