// nicdiag's session, shared by the Windows and the host build: the options,
// the commands from the command line and the script, each checked before the
// first one runs, then run in order, their output and the exit status.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "nicdiag_version.h"
#include "tools/nicdiag/command.h"

namespace nicdiag {
namespace {

// "FILE:LINE: " for a command from a script, nothing for the command line.
std::string OriginPrefix(const std::string &origin) { return origin.empty() ? "" : origin + ": "; }

// Standard output, line by line. A write that fails (a full disk, a reader
// gone) is remembered with the system's reason, and ends the session.
struct Output {
  bool failed = false;
  int error = 0;
  void Line(const std::string &text) {
    if (failed) return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0) {
      failed = true;
      error = errno;
    }
  }
  // Bytes as they are (a file sent to standard output with --out -).
  void Raw(const std::string &bytes) {
    if (failed) return;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
      failed = true;
      error = errno;
    }
  }
  std::string Reason() const {
    return "cannot write standard output: " + (error != 0 ? SystemError(error) : std::string("write error"));
  }
};

// The percentage the progress line shows now, -1 when none is shown.
int g_progress_shown = -1;

// Clears the progress line, so that what is printed next starts a line of
// its own; the next progress call draws it again.
void ClearProgressLine() {
  if (g_progress_shown < 0) return;
  std::fprintf(stderr, "\r%-70s\r", "");
  std::fflush(stderr);
  g_progress_shown = -1;
}

// An error: on standard error, or with --json as a JSON object on standard
// output like every other result.
void ReportError(const Options &options, Output &output, const std::string &message, const std::string &origin = "",
                 const std::vector<std::string> *words = nullptr) {
  ClearProgressLine();
  if (!options.json) {
    std::fprintf(stderr, "nicdiag: %s%s%s\n", OriginPrefix(origin).c_str(),
                 words != nullptr ? (Join(*words) + ": ").c_str() : "", message.c_str());
    return;
  }
  std::string line = "{";
  if (words != nullptr) line += "\"command\":" + JsonString(Join(*words)) + ",";
  line += "\"ok\":false";
  if (!origin.empty()) line += ",\"origin\":" + JsonString(origin);
  line += ",\"error\":" + JsonString(message) + "}";
  output.Line(line);
}

// Notes (where a file went, what was not checked) are for the person at the
// terminal, not for a program reading the output: standard error, and
// nothing with --quiet. With --json they are the object's "notes" instead.
void Notes(const Run &run) {
  if (run.options.quiet || run.options.json) return;
  for (const std::string &note : run.notes) std::fprintf(stderr, "nicdiag: %s\n", note.c_str());
}

void Print(const Run &run, const std::string &origin, Output &output) {
  ClearProgressLine();
  if (run.ok && run.raw_output) {
    output.Raw(run.text);
    Notes(run);
    return;
  }
  Notes(run);
  if (!run.options.json) {
    if (run.ok) {
      output.Line(run.text);
    } else {
      std::fprintf(stderr, "nicdiag: %s%s: %s\n", OriginPrefix(origin).c_str(), Join(run.words).c_str(),
                   run.text.c_str());
    }
    return;
  }
  std::string line = "{\"command\":" + JsonString(Join(run.words));
  line += run.ok ? ",\"ok\":true" : ",\"ok\":false";
  line += Format(",\"status\":%llu,\"information\":%llu", run.last.status, run.last.information);
  line += ",\"status_name\":" + JsonString(StatusName(run.last.status));
  line += ",\"output\":\"" + Hex(run.last.output) + "\"";
  line += Format(",\"sim_time_us\":%llu", run.device.NowUs() - run.start_us);
  line += run.json_extra;
  if (!run.notes.empty() && !run.options.quiet) {
    std::string notes;
    for (const std::string &note : run.notes) notes += (notes.empty() ? "" : ",") + JsonString(note);
    line += ",\"notes\":[" + notes + "]";
  }
  if (!origin.empty()) line += ",\"origin\":" + JsonString(origin);
  if (!run.ok) line += ",\"error\":" + JsonString(run.text);
  output.Line(line + "}");
}

// Splits words into commands at ';' (a word of its own, or at a word's end).
void SplitCommands(const std::vector<std::string> &words, std::vector<std::vector<std::string>> &commands) {
  std::vector<std::string> current;
  for (std::string word : words) {
    bool ends = false;
    if (word == ";") {
      word.clear();
      ends = true;
    } else if (word.size() > 1 && word.back() == ';') {
      word.pop_back();
      ends = true;
    }
    if (!word.empty()) current.push_back(word);
    if (ends && !current.empty()) {
      commands.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) commands.push_back(current);
}

// Calls visit(words, origin) for every command in order: the command
// line's, then the script's, split from its text line by line as they are
// reached. Stops when visit returns false.
template <typename Visit>
void ForEachCommand(const Options &options, Visit visit) {
  for (const auto &command : options.commands)
    if (!visit(command, std::string())) return;
  const std::string &text = options.script_text;
  const std::string name = options.script == "-" ? "<stdin>" : options.script;
  std::vector<std::vector<std::string>> commands;
  size_t start = 0;
  for (unsigned long long number = 1; start < text.size(); number++) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    // '#' looked for within the line only: a search to the end of the
    // text for each line would make a long script's reading quadratic.
    const size_t stop = static_cast<size_t>(std::find(text.begin() + static_cast<std::ptrdiff_t>(start),
                                                      text.begin() + static_cast<std::ptrdiff_t>(end), '#') -
                                            text.begin());
    std::vector<std::string> words;
    for (size_t i = start; i < stop;) {
      while (i < stop && std::strchr(" \t\r\v\f", text[i]) != nullptr) i++;
      const size_t word_start = i;
      while (i < stop && std::strchr(" \t\r\v\f", text[i]) == nullptr) i++;
      if (i > word_start) words.push_back(text.substr(word_start, i - word_start));
    }
    start = end + 1;
    if (words.empty()) continue;
    commands.clear();
    SplitCommands(words, commands);
    const std::string origin = name + Format(":%llu", number);
    for (const auto &command : commands)
      if (!visit(command, origin)) return;
  }
}

// Largest script read: a session of about a million commands.
constexpr size_t kMaxScriptBytes = 16 << 20;

// Reads a script whole (a file, or standard input for "-"); its lines are
// split into commands as the session reaches them.
bool ReadScript(Options &options, std::string &error) {
  const std::string &path = options.script;
  std::string &text = options.script_text;
  if (path == "-" ? !ReadStandardInput(kMaxScriptBytes, text, error)
                  : !ReadInputFile(path, "script", kMaxScriptBytes, text, error))
    return false;
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    const size_t line =
        1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n'));
    error = (path == "-" ? std::string("<stdin>") : path) + Format(":%llu: a NUL byte: not a text line", line);
    return false;
  }
  return true;
}

// A device for checking commands before any runs: nothing reaches it.
class NoDevice : public Device {
 public:
  Reply Control(uint32_t, const std::vector<uint8_t> &, uint32_t) override { return Reply(); }
  ClientBuffer TransferBuffer(std::string &) override { return ClientBuffer(); }
  uint64_t NowUs() override { return 0; }
  bool Close(std::string &report) override {
    report.clear();
    return true;
  }
};

// A file a command of the run names, with where the command came from.
struct NamedFile {
  FileUse use;
  std::string origin;
  std::vector<std::string> words;  // empty: an option of the run (--profile, --script)
};

// Parses and checks every command (arguments, numbers, options, files to
// read) without sending anything; false, after reporting the first error,
// when one is bad. The files the commands name are gathered in files.
bool CheckCommands(const Options &options, Output &output, std::vector<NamedFile> &files) {
  NoDevice none;
  bool good = true;
  ForEachCommand(options, [&](const std::vector<std::string> &words, const std::string &origin) {
    Run run(none, options, words);
    run.checking = true;
    std::vector<FileUse> used;
    run.files = &used;
    Execute(run);
    for (FileUse &use : used) files.push_back({use, origin, words});
    if (!run.usage_error) return true;
    ReportError(options, output, run.text, origin, &words);
    good = false;
    return false;
  });
  return good;
}

// No output of a run may replace one of its inputs (the profile, the
// script, an image to restore, a file the machine reads): the same file,
// by device and inode, whatever its names. False, after saying which, when
// one would.
bool CheckOutputsApart(const Options &options, Output &output, std::vector<NamedFile> files,
                       const std::vector<std::string> &machine_inputs) {
  if (!options.profile.empty()) files.push_back({{options.profile, false, "profile"}, "", {}});
  if (!options.script.empty() && options.script != "-") files.push_back({{options.script, false, "script"}, "", {}});
  for (const std::string &path : machine_inputs) files.push_back({{path, false, "file the profile names"}, "", {}});
  for (const NamedFile &out : files) {
    FileId out_id;
    if (!out.use.output || !IdentifyFile(out.use.path, out_id)) continue;
    for (const NamedFile &in : files) {
      FileId in_id;
      if (in.use.output || !IdentifyFile(in.use.path, in_id) || !(in_id == out_id)) continue;
      ReportError(options, output,
                  "the output " + out.use.path + " is the same file as the " + in.use.what + " " + in.use.path +
                      ", an input of this run: refused, nothing was run",
                  out.origin, out.words.empty() ? nullptr : &out.words);
      return false;
    }
  }
  return true;
}

// The signal that ended the session (SIGINT, SIGTERM, SIGHUP), 0 before one.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int signal_number) { g_interrupted = signal_number; }

// The signals that end a session after the command they arrive in: Ctrl-C,
// a kill or a timeout, a terminal that went away.
const int kEndingSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};

std::string SignalName(int signal_number) {
  if (signal_number == SIGINT) return "Ctrl-C";
  if (signal_number == SIGTERM) return "SIGTERM";
#ifdef SIGHUP
  if (signal_number == SIGHUP) return "SIGHUP";
#endif
  return Format("signal %llu", static_cast<unsigned>(signal_number));
}

// A script's progress, by lines, on a terminal: only for a long one.
struct ScriptProgress {
  const Options &options;
  size_t lines = 0;
  explicit ScriptProgress(const Options &o) : options(o) {
    if (!ProgressWanted(StderrIsTerminal(), o.quiet)) return;
    lines = static_cast<size_t>(std::count(o.script_text.begin(), o.script_text.end(), '\n'));
    if (lines < kLongScriptLines) lines = 0;
  }
  void At(const std::string &origin) {
    if (lines == 0 || origin.empty()) return;
    size_t line = 0;  // the number after the last ':' of "FILE:LINE"
    for (size_t i = origin.rfind(':') + 1; i < origin.size() && origin[i] >= '0' && origin[i] <= '9'; i++)
      line = line * 10 + static_cast<size_t>(origin[i] - '0');
    Progress(options, "script", line, lines);
  }
  void End() {
    if (lines != 0) Progress(options, "script", lines, lines);
  }
  static constexpr size_t kLongScriptLines = 1000;
};

int Session(int argc, char **argv) {
  Options options;
  Output output;
  // --json anywhere among the options makes even an error about them JSON.
  for (int i = 1; i < argc && argv[i][0] == '-' && std::strcmp(argv[i], "-") != 0; i++) {
    if (std::strcmp(argv[i], "--json") == 0) options.json = true;
    if (std::strcmp(argv[i], "--profile") == 0 || std::strcmp(argv[i], "--script") == 0) i++;
  }
  std::vector<std::string> words;
  int i = 1;
  for (; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage();
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitSuccess : kExitFailed;
    } else if (arg == "--version" || arg == "-V") {
      output.Line(std::string("nicdiag version ") + kVersion);
      return output.failed ? kExitFailed : kExitSuccess;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--debug-log") {
      options.debug_log = true;
    } else if (arg == "--stop-on-error") {
      options.stop_on_error = true;
    } else if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
    } else if (arg == "--profile" || arg == "--script") {
      if (i + 1 >= argc) {
        ReportError(options, output, arg + " needs a file name" + (arg == "--script" ? " (- for standard input)" : ""));
        return kExitBadInput;
      }
      (arg == "--profile" ? options.profile : options.script) = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      ReportError(options, output, "unknown option '" + arg + "' (see --help)");
      return kExitBadInput;
    } else {
      break;
    }
  }
  for (; i < argc; i++) words.push_back(argv[i]);
  SplitCommands(words, options.commands);
  if (!options.script.empty()) {
    std::string error;
    if (!ReadScript(options, error)) {
      ReportError(options, output, error);
      return kExitBadInput;
    }
  }
  bool any = false;
  ForEachCommand(options, [&](const std::vector<std::string> &, const std::string &) { return !(any = true); });
  if (!any) {
    ReportError(options, output, "no command given (see --help)");
    return kExitBadInput;
  }
  std::vector<NamedFile> files;
  if (!CheckCommands(options, output, files)) return output.failed ? kExitFailed : kExitBadInput;

  // The device is opened for the first command that needs it: the service
  // commands run without it, so that "install ; start ; id" works. No output
  // may name the script or an image read; the files the profile names are
  // known once the device is open.
  NoDevice none;
  std::unique_ptr<Device> device;
  if (!CheckOutputsApart(options, output, files, {})) return output.failed ? kExitFailed : kExitBadInput;
  // Ctrl-C, SIGTERM and SIGHUP end the session after the command they
  // arrive in, so that the driver is unloaded and the EEPROM image saved as
  // at any other end.
  g_interrupted = 0;
  for (int signal_number : kEndingSignals) std::signal(signal_number, OnInterrupt);
  ScriptProgress script_progress(options);
  int exit_code = kExitSuccess;
  std::string stopped;  // why the session ended early
  size_t not_run = 0;
  size_t ran = 0;
  bool open_failed_first = false;  // the first command's device could not be opened
  ForEachCommand(options, [&](const std::vector<std::string> &command, const std::string &origin) {
    if (!stopped.empty()) {
      not_run++;
      return true;
    }
    if (g_interrupted) {
      stopped = "interrupted (" + SignalName(g_interrupted) + ")";
      not_run++;
      return true;
    }
    const bool local = RunsWithoutDevice(command[0]);
    if (local && device) {
      // The driver cannot be stopped while its device is held open.
      std::string report;
      if (!device->Close(report)) {
        ReportError(options, output, report);
        if (exit_code == 0) exit_code = kExitFailed;
      } else if (!report.empty() && !options.json) {
        output.Line(report);
      }
      device.reset();
    }
    if (!local && !device) {
      std::string error;
      bool bad_input = false;
      device = OpenDevice(options, error, &bad_input);
      if (!device) {
        ReportError(options, output, error);
        exit_code = bad_input ? kExitBadInput : kExitCannotRun;
        // Said on its own when no command ran before it, as a session of
        // device commands alone says it.
        stopped = "the device could not be opened";
        open_failed_first = ran == 0;
        not_run++;
        return true;
      }
      if (!CheckOutputsApart(options, output, files, device->InputFiles())) {
        std::string ignored;
        device->Close(ignored);
        device.reset();
        exit_code = output.failed ? kExitFailed : kExitBadInput;
        stopped = "an output names an input of the run";
        open_failed_first = ran == 0;
        not_run++;
        return true;
      }
    }
    script_progress.At(origin);
    Device &target = local ? static_cast<Device &>(none) : *device;
    Run run(target, options, command);
    run.start_us = target.NowUs();
#if __cpp_exceptions
    try {
      Execute(run);
    } catch (const std::exception &e) {
      run.ok = false;
      run.usage_error = false;
      run.text = std::string("the command failed: ") + e.what();
    }
#else
    Execute(run);  // built without exceptions: a library error ends the run
#endif
    ran++;
    Print(run, origin, output);
    if (!run.ok)
      exit_code = run.usage_error
                      ? kExitBadInput
                      : (exit_code == 0 ? (run.exit_status != 0 ? run.exit_status : kExitFailed) : exit_code);
    if (output.failed)
      stopped = output.Reason();
    else if (!run.ok && options.stop_on_error)
      stopped = "stopped at the first failure (--stop-on-error)";
    return true;
  });
  script_progress.End();
  // A second signal from here on ends nicdiag at once, as the shell expects.
  for (int signal_number : kEndingSignals) std::signal(signal_number, SIG_DFL);
  if (g_interrupted && stopped.empty())
    stopped = "interrupted (" + SignalName(g_interrupted) + ") during the last command";
  if (!stopped.empty() && !open_failed_first) {
    ReportError(options, output, stopped + (not_run > 0 ? Format(": %llu commands not run", not_run) : ""));
    if (output.failed && exit_code == 0) exit_code = kExitFailed;
  }
  std::string report;
  if (device && !device->Close(report)) {
    ReportError(options, output, report);
    if (exit_code == 0) exit_code = kExitFailed;
  } else if (!report.empty() && !options.json) {
    output.Line(report);
  }
  if (output.failed) {
    // Said once on standard error, which may still work.
    if (options.json || stopped.empty() || stopped.find("standard output") == std::string::npos)
      std::fprintf(stderr, "nicdiag: %s\n", output.Reason().c_str());
    if (exit_code == 0) exit_code = kExitFailed;
  }
  // The shell's convention: 128 + the signal's number (130 for Ctrl-C).
  if (g_interrupted) exit_code = 128 + g_interrupted;
  return exit_code;
}

}  // namespace

const char kVersion[] = NICDIAG_VERSION;

bool ProgressWanted(bool stderr_is_terminal, bool quiet) { return stderr_is_terminal && !quiet; }

void Progress(const Options &options, const char *what, size_t done, size_t total) {
  static const bool terminal = StderrIsTerminal();
  if (total == 0 || !ProgressWanted(terminal, options.quiet)) return;
  // One line rewritten in place (carriage return, padded with blanks: a
  // console of NT 4 knows no escape sequences), cleared at the end.
  if (done >= total) {
    ClearProgressLine();
    return;
  }
  const int percent = static_cast<int>(done * 100 / total);
  if (percent == g_progress_shown) return;
  g_progress_shown = percent;
  const std::string line =
      std::string("nicdiag: ") + what + Format(": %llu of %llu (%llu%%)", done, total, static_cast<unsigned>(percent));
  std::fprintf(stderr, "\r%-70s", line.c_str());
  std::fflush(stderr);
}

int Main(int argc, char **argv) {
#if __cpp_exceptions
  try {
    return Session(argc, argv);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "nicdiag: internal error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "nicdiag: internal error\n");
  }
  return kExitFailed;
#else
  return Session(argc, argv);
#endif
}

}  // namespace nicdiag
