// nicdiag on Windows: the real driver through its Win32 alias.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "driver/nicport_ioctl.h"
#include "tools/nicdiag/nicdiag.h"

namespace nicdiag {

const char *const kPlatformNote =
    "This build talks to the installed NICPORT driver (\\\\.\\NICPORT); --profile does not apply.\n"
    "sim_time_us is always 0 here; --debug-log does not apply (watch the kernel debugger).";

namespace {

class WindowsDevice : public Device {
 public:
  explicit WindowsDevice(HANDLE handle) : handle_(handle) {}
  ~WindowsDevice() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    for (void *block : blocks_) std::free(block);
  }

  Reply Control(uint32_t code, const std::vector<uint8_t> &input, uint32_t output_length) override {
    Reply reply;
    std::vector<uint8_t> in(input);
    std::vector<uint8_t> out(output_length);
    DWORD returned = 0;
    BOOL done = DeviceIoControl(handle_, code, in.empty() ? NULL : in.data(), static_cast<DWORD>(in.size()),
                                out.empty() ? NULL : out.data(), output_length, &returned, NULL);
    reply.delivered = true;
    // Win32 hides the NT status: map the error code of the statuses this
    // driver completes with back to them.
    if (done) {
      reply.status = KDVR_STATUS_SUCCESS;
    } else {
      switch (GetLastError()) {
        case ERROR_INVALID_PARAMETER: reply.status = KDVR_STATUS_INVALID_PARAMETER; break;
        case ERROR_INVALID_FUNCTION: reply.status = KDVR_STATUS_INVALID_DEVICE_REQUEST; break;
        case ERROR_INSUFFICIENT_BUFFER: reply.status = KDVR_STATUS_BUFFER_TOO_SMALL; break;
        case ERROR_NOACCESS: reply.status = KDVR_STATUS_ACCESS_VIOLATION; break;
        case ERROR_NO_SYSTEM_RESOURCES: reply.status = KDVR_STATUS_INSUFFICIENT_RESOURCES; break;
        case ERROR_NOT_SUPPORTED: reply.status = KDVR_STATUS_NOT_SUPPORTED; break;
        default: reply.status = 0xC0000001u; break;  // STATUS_UNSUCCESSFUL
      }
    }
    reply.information = returned;
    if (returned > output_length) returned = output_length;
    reply.output.assign(out.begin(), out.begin() + returned);
    return reply;
  }

  ClientBuffer Allocate(uint32_t size) override {
    ClientBuffer buffer;
    void *block = std::calloc(1, size);
    if (block == nullptr) return buffer;
    blocks_.push_back(block);
    buffer.data = static_cast<uint8_t *>(block);
    buffer.address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block));
    buffer.size = size;
    return buffer;
  }

  uint64_t NowUs() override { return 0; }

  bool Close(std::string &report) override {
    report.clear();
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return true;
  }

 private:
  HANDLE handle_;
  std::vector<void *> blocks_;
};

}  // namespace

std::unique_ptr<Device> OpenDevice(const Options &options, std::string &error, bool *bad_input) {
  if (!options.profile.empty()) {
    if (bad_input != nullptr) *bad_input = true;
    error = "--profile applies only to the simulated machine";
    return nullptr;
  }
  HANDLE handle = CreateFileA(KDVR_CLIENT_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    char text[160];
    std::snprintf(text, sizeof text, "cannot open %s (error %lu): is the NICPORT service started, and no other client open?",
              KDVR_CLIENT_DEVICE_NAME, code);
    error = text;
    return nullptr;
  }
  return std::unique_ptr<Device>(new WindowsDevice(handle));
}

bool IsRegularFile(const std::string &path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return false;  // folders cannot be opened this way either
  bool regular = GetFileType(file) == FILE_TYPE_DISK;
  CloseHandle(file);
  return regular;
}

bool StdinIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

}  // namespace nicdiag

int main(int argc, char **argv) { return nicdiag::Main(argc, argv); }
