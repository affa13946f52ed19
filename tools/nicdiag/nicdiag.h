// nicdiag: the diagnostic client of the NICPORT driver. The commands and
// their output are shared by both builds; only the way the control device is
// reached differs:
//   Windows: CreateFileA("\\.\NICPORT") and DeviceIoControl on the real driver;
//   host:    the driver loaded into the simulated NT kernel with simulated
//            PCI hardware, opened the way a client opens it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nicdiag {

// What one device-control request gave back.
struct Reply {
  bool delivered = false;  // false: the request never reached the driver
  std::string error;       // why it was not delivered
  uint32_t status = 0;     // completion status
  uint32_t information = 0;
  std::vector<uint8_t> output;  // the bytes returned (information of them)
};

// Memory of the client that a request can name by its 32-bit address (PCI
// configuration buffers).
struct ClientBuffer {
  uint32_t address = 0;
  uint8_t *data = nullptr;
  uint32_t size = 0;
};

class Device {
 public:
  virtual ~Device() = default;
  virtual Reply Control(uint32_t code, const std::vector<uint8_t> &input, uint32_t output_length) = 0;
  // A buffer of the client's own memory, valid until the device is closed.
  virtual ClientBuffer Allocate(uint32_t size) = 0;
  // Virtual time of the simulated machine in microseconds (0 on Windows).
  virtual uint64_t NowUs() = 0;
  // Closes the handle and, on the simulated machine, unloads the driver.
  // Returns false (with a message) when something was left behind.
  virtual bool Close(std::string &report) = 0;
};

struct Options {
  std::string profile;  // hardware profile (simulated machine only)
  bool json = false;
  bool debug_log = false;  // echo the driver's debug output (simulated machine only)
  std::string script;
  std::vector<std::vector<std::string>> commands;
  // Where each command came from, for messages: "FILE:LINE" for a script
  // line, empty for the command line.
  std::vector<std::string> origins;
};

// Exit statuses of nicdiag.
enum ExitStatus {
  kExitSuccess = 0,
  kExitFailed = 1,    // a request failed, or the driver left something behind
  kExitBadInput = 2,  // usage, or an unreadable or malformed file (named with its line)
  kExitCannotRun = 3, // the run could not go on: the device could not be opened
};

// Opens the control device (host: after loading the driver into a simulated
// machine built from options.profile, or the default machine). On failure
// *bad_input, when given, says whether the user's input (the profile) was
// at fault rather than the device.
std::unique_ptr<Device> OpenDevice(const Options &options, std::string &error, bool *bad_input = nullptr);

// Whether path names a regular file (not a folder, a device or a pipe).
bool IsRegularFile(const std::string &path);

// Name of the build's platform for --help ("simulated" or "Windows").
extern const char *const kPlatformNote;

// Whether standard input is an interactive terminal (a write that asks for
// confirmation refuses to run without one).
bool StdinIsTerminal();

// Entry shared by both builds.
int Main(int argc, char **argv);

// Parses a decimal number or a hexadecimal one with 0x; false for anything
// else or a value above 32 bits.
bool ParseNumber(const std::string &text, uint32_t &value);

}  // namespace nicdiag
