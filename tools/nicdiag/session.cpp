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
  std::string Reason() const {
    return "cannot write standard output: " + (error != 0 ? SystemError(error) : std::string("write error"));
  }
};

// An error: on standard error, or with --json as a JSON object on standard
// output like every other result.
void ReportError(const Options &options, Output &output, const std::string &message, const std::string &origin = "",
                 const std::vector<std::string> *words = nullptr) {
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

void Print(const Run &run, const std::string &origin, Output &output) {
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

// Parses and checks every command (arguments, numbers, options, files to
// read) without sending anything; false, after reporting the first error,
// when one is bad.
bool CheckCommands(const Options &options, Output &output) {
  NoDevice none;
  bool good = true;
  ForEachCommand(options, [&](const std::vector<std::string> &words, const std::string &origin) {
    Run run(none, options, words);
    run.checking = true;
    Execute(run);
    if (!run.usage_error) return true;
    ReportError(options, output, run.text, origin, &words);
    good = false;
    return false;
  });
  return good;
}

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

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
  if (!CheckCommands(options, output)) return output.failed ? kExitFailed : kExitBadInput;

  // The device is opened for the first command that needs it: the service
  // commands run without it, so that "install ; start ; id" works.
  NoDevice none;
  std::unique_ptr<Device> device;
  // Ctrl-C ends the session after the command it arrives in, so that the
  // driver is unloaded and the EEPROM image saved as at any other end.
  g_interrupted = 0;
  std::signal(SIGINT, OnInterrupt);
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
      stopped = "interrupted (Ctrl-C)";
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
    }
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
  std::signal(SIGINT, SIG_DFL);
  if (g_interrupted && stopped.empty()) stopped = "interrupted (Ctrl-C) during the last command";
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
  if (g_interrupted) exit_code = kExitInterrupted;
  return exit_code;
}

}  // namespace

const char kVersion[] = NICDIAG_VERSION;

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
