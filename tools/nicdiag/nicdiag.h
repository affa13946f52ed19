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

// Size of the session's transfer buffer: the largest PCI configuration
// transfer (4 KiB) and the largest firmware table (64 KiB - 1) both fit.
constexpr uint32_t kTransferBufferBytes = 0x10000;

class Device {
 public:
  virtual ~Device() = default;
  virtual Reply Control(uint32_t code, const std::vector<uint8_t> &input, uint32_t output_length) = 0;
  // The session's one transfer buffer of the client's own memory
  // (kTransferBufferBytes), made on first use and valid until the device is
  // closed; data is null when no memory could be had (error says why).
  virtual ClientBuffer TransferBuffer(std::string &error) = 0;
  // Virtual time of the simulated machine in microseconds (0 on Windows).
  virtual uint64_t NowUs() = 0;
  // Files the machine itself reads (on the simulated machine the profile's
  // firmware image and EEPROM images): no output of the run may replace one.
  virtual std::vector<std::string> InputFiles() { return {}; }
  // Physical memory ends here: a firmware table that names an address at or
  // beyond it is refused (the simulated machine's memory is its first
  // megabyte; on Windows only the 32-bit limit is known).
  virtual uint64_t MemoryEnd() { return 0x100000000ull; }
  // Closes the handle and, on the simulated machine, unloads the driver.
  // Returns false (with a message) when something was left behind.
  virtual bool Close(std::string &report) = 0;
};

struct Options {
  std::string profile;  // hardware profile (simulated machine only)
  bool json = false;
  bool debug_log = false;      // echo the driver's debug output (simulated machine only)
  bool stop_on_error = false;  // the first failed command ends the session
  bool quiet = false;          // no notes ("written to FILE") and no progress line
  std::string script;          // "-": standard input
  // The commands given on the command line, then the script's text; the
  // script's commands are split from it as the session reaches them, so a
  // session of any length holds only its text.
  std::vector<std::vector<std::string>> commands;
  std::string script_text;
};

// Exit statuses of nicdiag.
enum ExitStatus {
  kExitSuccess = 0,
  kExitFailed = 1,     // a request failed, or the driver left something behind
  kExitBadInput = 2,   // usage, or an unreadable or malformed file (named with its line)
  kExitCannotRun = 3,  // the run could not go on: the device could not be opened
  // The service commands (install, start, stop, remove):
  kExitNeedsWindows = 4,     // this build has no service control manager (the host build)
  kExitNotAdmin = 5,         // the service control manager refused access: not an administrator
  kExitServiceState = 6,     // already installed (or with another ImagePath), not installed, already
                             // running, not running, or still running after a stop
  kExitMarkedForDelete = 7,  // the service is marked for deletion: it goes at the last handle's close or restart
  kExitFileMissing = 8,      // the driver file is missing (the PATH given, or the file the service loads)
  kExitKeyLeftBehind = 9,    // a service key the service control manager does not know is in the registry
  kExitInterrupted = 130,    // ended by Ctrl-C (SIGINT) after the command it arrived in;
                             // SIGTERM and SIGHUP end it the same way with 128 + their number
};

// The identity of a file: the same device and inode (on Windows the volume
// and file index) is the same file, whatever names reach it.
struct FileId {
  unsigned long long device = 0, inode = 0;
  bool operator==(const FileId &other) const { return device == other.device && inode == other.inode; }
};
// False when the file does not exist (or cannot be looked at).
bool IdentifyFile(const std::string &path, FileId &id);
// Whether standard error is an interactive terminal (a progress line is
// shown only there).
bool StderrIsTerminal();

// Opens the control device (host: after loading the driver into a simulated
// machine built from options.profile, or the default machine). On failure
// *bad_input, when given, says whether the user's input (the profile) was
// at fault rather than the device.
std::unique_ptr<Device> OpenDevice(const Options &options, std::string &error, bool *bad_input = nullptr);

// Reads an input file whole: opened without waiting (a FIFO or a device
// never blocks the open), refused unless it is a regular file, and at most
// max_bytes long. False with a message naming the file and the system's
// reason otherwise.
bool ReadInputFile(const std::string &path, const char *what, size_t max_bytes, std::string &text, std::string &error);

// Reads standard input to its end, at most max_bytes.
bool ReadStandardInput(size_t max_bytes, std::string &text, std::string &error);

// Replaces path with text: written to a new file in the same folder, flushed
// to the disk, then renamed over path, so that path holds either the old or
// the whole new contents. False with the system's reason.
bool ReplaceContents(const std::string &path, const std::string &text, std::string &error);

// The system's text for an error number (strerror, GetLastError's message).
std::string SystemError(int error_number);

// Name of the build's platform for --help ("simulated" or "Windows").
extern const char *const kPlatformNote;

// Whether standard input is an interactive terminal (a write that asks for
// confirmation refuses to run without one).
bool StdinIsTerminal();

// Entry shared by both builds; no exception leaves it.
int Main(int argc, char **argv);

// nicdiag's version, set by the build (the Windows executable carries the
// same in its version resource).
extern const char kVersion[];

// Parses a decimal number or a hexadecimal one with 0x; false for anything
// else or a value above 32 bits.
bool ParseNumber(const std::string &text, uint32_t &value);

// Parses a PCI function as lspci -s writes it, [[DOMAIN:]BUS:]DEVICE[.FUNCTION]
// in hexadecimal (domain 0, bus 0-ff, device 0-1f, function 0-7; bus and
// function default to 0), into the bus and the PCI_SLOT_NUMBER value.
bool ParseFunctionAddress(const std::string &text, uint32_t &bus, uint32_t &slot);

}  // namespace nicdiag
