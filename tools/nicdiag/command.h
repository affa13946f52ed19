// One nicdiag command being run, the helpers its handlers share, and the
// table of commands that dispatch and --help are made from. Each family of
// commands has its own file:
//   command.cpp            parsing words, formatting output, sending requests
//   io_commands.cpp        id, port, mem, validate, first-range, stall, raw
//   pci_commands.cpp       pci (and the scan of every PCI function)
//   adapter.cpp            the adapter eeprom and phy act on
//   eeprom_commands.cpp    eeprom
//   phy_commands.cpp       phy
//   resources_command.cpp  resources
//   tables.cpp             dmi, pir
//   service_windows.cpp    install, start, stop, remove (service_host.cpp
//                          on the host, which has no service control manager)
//   command_table.cpp      the table, dispatch and the commands' --help lines
//   session.cpp            options, scripts, checking, output, exit status
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/nicdiag/nicdiag.h"
#include "tools/nicdiag/request.h"

namespace nicdiag {

// Largest PCI configuration transfer of one command, in bytes.
constexpr uint32_t kMaxPciTransfer = 4096;

std::string Format(const char *format, unsigned long long a = 0, unsigned long long b = 0, unsigned long long c = 0,
                   unsigned long long d = 0);
std::string Hex(const std::vector<uint8_t> &bytes);
// Name of an NT status a client can see; "" for any other.
const char *StatusName(uint32_t status);
// text as a JSON string. Bytes from 0x7F up pass as they are (UTF-8), or with
// escape_high each becomes \u00XX (firmware strings, in no known encoding).
std::string JsonString(const std::string &text, bool escape_high = false);
std::string Join(const std::vector<std::string> &words);
// BB:DD.F of a bus and a PCI_SLOT_NUMBER value.
std::string SlotText(uint32_t bus, uint32_t slot);
// A PCI slot: the PCI_SLOT_NUMBER value (device in bits 0-4, function in
// bits 5-7, nothing above), or DEVICE.FUNCTION.
bool ParseSlot(const std::string &text, uint32_t &slot);
// Bytes as hex digits, optionally with 0x and with ' ', ':' or ',' between.
bool ParseHexBytes(const std::string &text, std::vector<uint8_t> &bytes);
// The 32-bit word at index of a reply's output (missing bytes read 0).
uint32_t WordOf(const Reply &reply, size_t index);
// Unmaps a window the command mapped for itself, leaving its last reply be.
void UnmapWindow(Device &device, uint32_t virtual_address, uint32_t length);

// A file a command reads or writes, gathered while the commands are checked
// so that no output of a run can replace one of its inputs.
struct FileUse {
  std::string path;
  bool output = false;
  std::string what;  // "image", "--out"
};

// Shows how far long work has come ("restoring: 12/256 words"), on standard
// error only when it is a terminal and --quiet was not given; done == total
// clears the line.
void Progress(const Options &options, const char *what, size_t done, size_t total);
// Whether a progress line is shown: on a terminal, unless --quiet.
bool ProgressWanted(bool stderr_is_terminal, bool quiet);

// One command being run: its words, the requests it made and what it prints.
struct Run {
  Run(Device &d, const Options &o, const std::vector<std::string> &w) : device(d), options(o), words(w) {}
  Device &device;
  const Options &options;
  std::vector<std::string> words;
  uint64_t start_us = 0;
  Reply last;                             // the last request's reply
  std::string text;                       // human-readable result, or why the command failed
  std::string json_extra;                 // further JSON members, each starting with ','
  std::vector<std::string> notes;         // said on standard error unless --quiet ("written to FILE")
  bool raw_output = false;                // text is a file's bytes for standard output (--out -), as they are
  std::vector<FileUse> *files = nullptr;  // checking: where the files the command names are gathered
  bool ok = true;
  bool usage_error = false;
  int exit_status = 0;  // a failure's exit status when it is not kExitFailed
  // Checking only: the command's arguments are parsed and checked, and it
  // stops (stopped set) at its first request, before anything is sent.
  bool checking = false;
  bool stopped = false;

  uint32_t Word(size_t index) const { return WordOf(last, index); }
  // Records a file the command reads or writes ("-" is a standard stream).
  void Uses(const std::string &path, bool output, const char *what) {
    if (checking && files != nullptr && path != "-") files->push_back({path, output, what});
  }

  // Sends one request whose input is the code's argument structure; a
  // failure status or an undelivered request fails the command with a
  // message.
  template <typename Args>
  bool Request(uint32_t code, const Args &args, uint32_t output_length) {
    return Send(code, RequestBytes(args), output_length, true);
  }
  // Sends input as it is; with must_succeed a failure status fails the
  // command as Request does.
  bool Send(uint32_t code, const std::vector<uint8_t> &input, uint32_t output_length, bool must_succeed);

  bool Usage(const std::string &message);
  bool Fail(const std::string &message);
  bool Number(size_t index, const char *what, uint32_t &value);
  bool Count(size_t n);
  bool Width(size_t index, uint32_t &width);
  // Removes "-s BB:DD.F" from the words wherever it stands; found tells
  // whether it was there. False (a usage error) when it is malformed.
  bool TakeFunctionAddress(bool &found, uint32_t &bus, uint32_t &slot);
  // Removes a flag from the words wherever it stands; true when it was there.
  bool TakeFlag(const char *flag);
  // The VALUE of a write as the access carries it: a value wider than the
  // access is refused unless --truncate asks for its low bits.
  bool AccessValue(size_t index, uint32_t width, bool truncate, uint32_t &value, std::string &note);
};

// Sends a request as Run::Request does, but names a failure status by its
// number alone, as the resources, dmi and pir commands say it.
template <typename Args>
bool RequestStatusByNumber(Run &run, uint32_t code, const Args &args, uint32_t output_length) {
  if (!run.Send(code, RequestBytes(args), output_length, false)) return false;
  if (run.last.status != KDVR_STATUS_SUCCESS) return run.Fail(Format("failed: status 0x%08llX", run.last.status));
  return true;
}

// Reads length bytes of a function's configuration space through the
// session's transfer buffer (or writes data there); bytes gets what the
// driver transferred.
bool PciTransfer(Run &run, bool write, uint32_t bus, uint32_t slot, uint32_t offset, uint32_t length,
                 const std::vector<uint8_t> &data, std::vector<uint8_t> &bytes);
// Calls visit(bus, slot, header) with the first header_bytes of
// configuration space of every function present, in bus, device and
// function order, until visit returns true. Every bus that answers is
// scanned, and functions 1 to 7 of a device whose function 0 has the
// multi-function bit (header type bit 7). False when a request failed.
using FunctionVisit = std::function<bool(uint32_t bus, uint32_t slot, const std::vector<uint8_t> &header)>;
bool ForEachFunction(Run &run, uint32_t header_bytes, const FunctionVisit &visit);

// The commands, one handler each.
bool CommandId(Run &run);
bool CommandPort(Run &run);
bool CommandMem(Run &run);
bool CommandPci(Run &run);
bool CommandValidate(Run &run);
bool CommandFirstRange(Run &run);
bool CommandStall(Run &run);
bool CommandEeprom(Run &run);
bool CommandPhy(Run &run);
bool CommandRaw(Run &run);
bool CommandResources(Run &run);
bool CommandDmi(Run &run);
bool CommandPir(Run &run);
bool CommandInstall(Run &run);
bool CommandStart(Run &run);
bool CommandStop(Run &run);
bool CommandRemove(Run &run);

// A row of the table of commands.
struct CommandRow {
  const char *name;
  bool (*handler)(Run &run);
  const char *help;  // its lines of --help, each ending in a newline
  // Runs without the device (the service commands): the session opens the
  // device for the first command that needs it, and closes it before one
  // that does not (a driver held open cannot be stopped).
  bool without_device = false;
};
extern const CommandRow kCommands[];

// Runs the command run.words names (an unknown name is a usage error).
void Execute(Run &run);
// Whether the command of that name runs without the device.
bool RunsWithoutDevice(const std::string &name);
// Writes --help: the usage, each command's lines in the table's order, then
// the notes.
void PrintUsage();

}  // namespace nicdiag
