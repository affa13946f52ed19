// nicdiag on the host: loads the driver into the simulated NT kernel (with
// the profile's hardware, or the built-in default adapter), opens
// \\.\NICPORT as a client would and, at the end, unloads the driver and
// reports whatever it left behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>

#include "driver/nicport.h"
#include "sim/hw/file_replace.h"
#include "sim/hw/machine.h"
#include "sim/hw/profile.h"
#include "sim/kernel/kernel.h"
#include "tools/nicdiag/nicdiag.h"

namespace nicdiag {

const char *const kPlatformNote =
    "This build runs the NICPORT driver in a simulated NT kernel with simulated PCI hardware:\n"
    "the machine of --profile FILE (JSON), or the built-in default adapter. At exit the driver\n"
    "is unloaded; anything it leaves behind (device objects, links, pool, mapped windows) is\n"
    "reported and makes the exit status 1.";

namespace {

const char kServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NICPORT";

std::string Lines(const std::vector<std::string> &items) {
  std::string text;
  for (const auto &item : items) text += (text.empty() ? "" : "; ") + item;
  return text;
}

class HostDevice : public Device {
 public:
  explicit HostDevice(std::unique_ptr<sim::kernel::Kernel> kernel) : kernel_(std::move(kernel)) {}

  bool Start(const Options &options, std::string &error, bool &bad_input) {
    profile_ = options.profile;
    if (!options.profile.empty()) {
      try {
        kernel_->load_profile_file(options.profile);
      } catch (const std::exception &e) {
        error = e.what();
        bad_input = true;
        return false;
      }
    }
    if (options.debug_log) {
      kernel_->set_debug_echo([](std::string_view line) {
        std::fprintf(stderr, "dbg: %.*s%s", static_cast<int>(line.size()), line.data(),
                     line.empty() || line.back() != '\n' ? "\n" : "");
      });
    }
    kernel_->set_raw_write_codes([](ULONG code) { return KdvrIsRawWrite(code) != 0; });
    NTSTATUS status = kernel_->load_driver(DriverEntry, kServiceKey);
    if (!NT_SUCCESS(status)) {
      char text[96];
      std::snprintf(text, sizeof text, "the driver did not load: status 0x%08X", static_cast<unsigned>(status));
      error = text;
      return false;
    }
    sim::kernel::OpenResult open = kernel_->open(KDVR_CLIENT_DEVICE_NAME);
    if (open.handle < 0) {
      char text[220];
      if (open.status == STATUS_ACCESS_DENIED) {
        // What CreateFileA reports as ERROR_ACCESS_DENIED.
        std::snprintf(text, sizeof text,
                      "cannot open %s: access denied (error 5): the device admits only administrators and SYSTEM; "
                      "the profile's client is not an administrator",
                      KDVR_CLIENT_DEVICE_NAME);
      } else {
        std::snprintf(text, sizeof text, "cannot open %s: status 0x%08X", KDVR_CLIENT_DEVICE_NAME,
                      static_cast<unsigned>(open.status));
      }
      error = text;
      kernel_->unload_driver();
      return false;
    }
    handle_ = open.handle;
    return true;
  }

  Reply Control(uint32_t code, const std::vector<uint8_t> &input, uint32_t output_length) override {
    Reply reply;
    size_t faults = kernel_->driver_faults().size();
    sim::kernel::IoResult result;
    try {
      result = kernel_->device_io_control(handle_, code, input, output_length);
    } catch (const std::exception &e) {
      reply.error = std::string("the simulated machine stopped the request: ") + e.what();
      return reply;
    }
    // The debug output has been echoed when asked for; kept, it would grow
    // with every request of a long session.
    kernel_->clear_debug_log();
    if (result.faulted) {
      std::vector<std::string> all = kernel_->driver_faults();
      all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(faults));
      reply.error = "driver fault: " + Lines(all);
      return reply;
    }
    reply.delivered = true;
    reply.status = static_cast<uint32_t>(result.status);
    reply.information = static_cast<uint32_t>(result.information);
    reply.output = result.output;
    return reply;
  }

  ClientBuffer TransferBuffer(std::string &error) override {
    ClientBuffer buffer;
    if (memory_.data() == nullptr) {
      try {
        memory_ = kernel_->client_alloc(kTransferBufferBytes);
      } catch (const std::exception &e) {
        error = std::string("no client memory for the transfer buffer: ") + e.what();
        return buffer;
      }
    }
    buffer.address = memory_.address();
    buffer.data = memory_.data();
    buffer.size = kTransferBufferBytes;
    return buffer;
  }

  uint64_t NowUs() override { return kernel_->now_us(); }

  std::vector<std::string> InputFiles() override {
    std::vector<std::string> files;
    if (profile_.empty()) return files;
    try {
      const sim::hw::MachineProfile profile = sim::hw::load_profile_file(profile_);
      if (!profile.bios_image.empty()) files.push_back(profile.bios_image.string());
      for (const sim::hw::AdapterConfig &adapter : profile.adapters)
        if (!adapter.eeprom.file.empty()) files.push_back(adapter.eeprom.file.string());
    } catch (const std::exception &) {
      // Loaded once already: a profile that changed since is the kernel's.
    }
    return files;
  }

  // The simulated machine's memory is its first megabyte; above it lie only
  // the adapters' windows.
  uint64_t MemoryEnd() override { return sim::hw::Machine::kLowMemorySize; }

  bool Close(std::string &report) override {
    report.clear();
    if (handle_ >= 0) kernel_->close(handle_);
    handle_ = -1;
    memory_ = sim::kernel::ClientMemory();
    sim::kernel::LeakReport leaks = kernel_->unload_driver();
    std::vector<std::string> faults = kernel_->driver_faults();
    if (!leaks.empty()) report = "driver unloaded with leaks: " + leaks.to_string();
    if (!faults.empty()) report += (report.empty() ? "" : "; ") + std::string("driver faults: ") + Lines(faults);
    // The user's own raw writes that broke the hardware's timing: said, but
    // no failure of the driver or of the run.
    std::vector<std::string> misuse = kernel_->client_misuse();
    if (!misuse.empty())
      std::fprintf(stderr, "warning: raw writes of this run broke the hardware's timing (%zu times), first: %s\n",
                   misuse.size(), misuse.front().c_str());
    // EEPROM images the profile asked to keep: a save that fails fails the
    // run, since the words written in it would otherwise be lost unseen.
    for (sim::hw::Adapter *adapter : kernel_->machine().adapters()) {
      try {
        adapter->save_eeprom();
      } catch (const std::exception &e) {
        report += (report.empty() ? "" : "; ") + std::string("the EEPROM image was not saved (") + e.what() +
                  "); the words written in this run are lost: " + LostWords(adapter->eeprom());
      }
    }
    return report.empty();
  }

 private:
  std::unique_ptr<sim::kernel::Kernel> kernel_;
  std::string profile_;
  sim::kernel::Handle handle_ = -1;
  sim::kernel::ClientMemory memory_;  // the session's transfer buffer

  // The words that differ from the image loaded, as WORD=VALUE (was OLD).
  static std::string LostWords(const sim::hw::MicrowireEeprom &eeprom) {
    const std::vector<std::uint16_t> &now = eeprom.words();
    const std::vector<std::uint16_t> &loaded = eeprom.config().contents;
    std::string list;
    size_t count = 0;
    for (size_t i = 0; i < now.size(); i++) {
      const unsigned was = i < loaded.size() ? loaded[i] : 0xFFFF;
      if (now[i] == was) continue;
      if (++count > 32) continue;
      char item[64];
      std::snprintf(item, sizeof item, "%sword 0x%02zX = 0x%04X (was 0x%04X)", list.empty() ? "" : ", ", i,
                    static_cast<unsigned>(now[i]), was);
      list += item;
    }
    if (count > 32) list += ", and " + std::to_string(count - 32) + " more";
    return list;
  }
};

}  // namespace

std::unique_ptr<Device> OpenDevice(const Options &options, std::string &error, bool *bad_input) {
  auto device = std::make_unique<HostDevice>(std::make_unique<sim::kernel::Kernel>());
  bool bad = false;
  if (!device->Start(options, error, bad)) {
    if (bad_input != nullptr) *bad_input = bad;
    return nullptr;
  }
  return device;
}

bool ReadInputFile(const std::string &path, const char *what, size_t max_bytes, std::string &text, std::string &error) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": cannot open the " + what + ": " + SystemError(errno);
    return false;
  }
  struct stat info;
  bool ok = fstat(fd, &info) == 0;
  if (!ok) {
    error = path + ": cannot read the " + what + ": " + SystemError(errno);
  } else if (!S_ISREG(info.st_mode)) {
    ok = false;
    error = path + ": the " + what + " is not a regular file";
  } else if (static_cast<unsigned long long>(info.st_size) > max_bytes) {
    ok = false;
    error = path + ": the " + what + " is larger than " + std::to_string(max_bytes) + " bytes";
  }
  text.clear();
  // Room for the whole file at once: grown by doubling, a long script would
  // hold up to twice its size.
  if (ok) text.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      error = path + ": cannot read the " + what + ": " + SystemError(errno);
    } else if (n == 0) {
      break;
    } else if (text.size() + static_cast<size_t>(n) > max_bytes) {
      ok = false;
      error = path + ": the " + what + " is larger than " + std::to_string(max_bytes) + " bytes";
    } else {
      text.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return ok;
}

bool ReadStandardInput(size_t max_bytes, std::string &text, std::string &error) {
  text.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "standard input: cannot read it: " + SystemError(errno);
      return false;
    }
    if (n == 0) return true;
    if (text.size() + static_cast<size_t>(n) > max_bytes) {
      error = "standard input: larger than " + std::to_string(max_bytes) + " bytes";
      return false;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
}

bool ReplaceContents(const std::string &path, const std::string &text, std::string &error) {
  return sim::hw::replace_file_contents(path, text, error);
}

bool StdinIsTerminal() { return isatty(0) != 0; }

bool StderrIsTerminal() { return isatty(2) != 0; }

bool IdentifyFile(const std::string &path, FileId &id) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  id.device = static_cast<unsigned long long>(info.st_dev);
  id.inode = static_cast<unsigned long long>(info.st_ino);
  return true;
}

}  // namespace nicdiag

int main(int argc, char **argv) {
  // A reader that goes away (nicdiag ... | head) makes writes fail with
  // EPIPE, which ends the session with the EEPROM image saved, rather than
  // killing the process.
  std::signal(SIGPIPE, SIG_IGN);
  return nicdiag::Main(argc, argv);
}
