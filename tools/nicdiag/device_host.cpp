// nicdiag on the host: loads the driver into the simulated NT kernel (with
// the profile's hardware, or the built-in default adapter), opens
// \\.\NICPORT as a client would and, at the end, unloads the driver and
// reports whatever it left behind.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string_view>

#include "driver/nicport.h"
#include "sim/hw/machine.h"
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
    sim::kernel::IoResult result = kernel_->device_io_control(handle_, code, input, output_length);
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

  ClientBuffer Allocate(uint32_t size) override {
    ClientBuffer buffer;
    sim::kernel::ClientMemory memory = kernel_->client_alloc(size);
    if (memory.data() == nullptr) return buffer;
    buffer.address = memory.address();
    buffer.data = memory.data();
    buffer.size = size;
    memory_.push_back(std::move(memory));
    return buffer;
  }

  uint64_t NowUs() override { return kernel_->now_us(); }

  bool Close(std::string &report) override {
    report.clear();
    if (handle_ >= 0) kernel_->close(handle_);
    handle_ = -1;
    memory_.clear();
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
        report += (report.empty() ? "" : "; ") + std::string("the EEPROM image was not saved, the words written "
                                                             "in this run are lost: ") + e.what();
      }
    }
    return report.empty();
  }

 private:
  std::unique_ptr<sim::kernel::Kernel> kernel_;
  sim::kernel::Handle handle_ = -1;
  std::vector<sim::kernel::ClientMemory> memory_;
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

bool IsRegularFile(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool StdinIsTerminal() { return isatty(0) != 0; }

}  // namespace nicdiag

int main(int argc, char **argv) { return nicdiag::Main(argc, argv); }
