// nicdiag on Windows: the real driver through its Win32 alias.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    std::free(buffer_);
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

  ClientBuffer TransferBuffer(std::string &error) override {
    ClientBuffer buffer;
    if (buffer_ == nullptr) buffer_ = static_cast<uint8_t *>(std::calloc(1, kTransferBufferBytes));
    if (buffer_ == nullptr) {
      error = "no memory for the transfer buffer";
      return buffer;
    }
    buffer.data = buffer_;
    buffer.address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer_));
    buffer.size = kTransferBufferBytes;
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
  uint8_t *buffer_ = nullptr;  // the session's transfer buffer
};

// The system's message for a Win32 error code, without its line break.
std::string Win32Error(DWORD code) {
  char text[256] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text, sizeof text,
                           NULL);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) text[--n] = 0;
  char number[32];
  std::snprintf(number, sizeof number, "error %lu", static_cast<unsigned long>(code));
  return n > 0 ? std::string(text) + " (" + number + ")" : std::string(number);
}

bool ReadHandle(HANDLE file, const std::string &name, size_t max_bytes, std::string &text, std::string &error) {
  text.clear();
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, NULL)) {
      DWORD code = GetLastError();
      if (code == ERROR_BROKEN_PIPE) return true;  // the writer closed its end
      error = name + ": cannot read it: " + Win32Error(code);
      return false;
    }
    if (got == 0) return true;
    if (text.size() + got > max_bytes) {
      error = name + " is larger than " + std::to_string(max_bytes) + " bytes";
      return false;
    }
    text.append(buffer, got);
  }
}

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
    char text[220];
    if (code == ERROR_ACCESS_DENIED) {
      std::snprintf(text, sizeof text,
                    "cannot open %s: access denied (error 5): the device admits only administrators and SYSTEM; "
                    "run nicdiag as an administrator",
                    KDVR_CLIENT_DEVICE_NAME);
      error = text;
      return nullptr;
    }
    std::snprintf(
        text, sizeof text,
        "cannot open %s (error %lu): is the driver's service started (nicdiag start), and no other client open?",
        KDVR_CLIENT_DEVICE_NAME, code);
    error = text;
    return nullptr;
  }
  return std::unique_ptr<Device>(new WindowsDevice(handle));
}

bool ReadInputFile(const std::string &path, const char *what, size_t max_bytes, std::string &text, std::string &error) {
  // Opening a folder this way fails; a device or a pipe opens and is then
  // refused by its type, before anything is read.
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      error = path + ": the " + what + " is not a regular file";
    } else {
      error = path + ": cannot open the " + what + ": " + Win32Error(code);
    }
    return false;
  }
  bool ok = true;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    ok = false;
    error = path + ": the " + what + " is not a regular file";
  } else {
    ok = ReadHandle(file, path + ": the " + what, max_bytes, text, error);
  }
  CloseHandle(file);
  return ok;
}

bool ReadStandardInput(size_t max_bytes, std::string &text, std::string &error) {
  return ReadHandle(GetStdHandle(STD_INPUT_HANDLE), "standard input", max_bytes, text, error);
}

bool ReplaceContents(const std::string &path, const std::string &text, std::string &error) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    error = path + ": not a regular file; only a regular file is written";
    return false;
  }
  const std::string temp = path + ".new";
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    error = path + ": cannot create a new file beside it: " + Win32Error(GetLastError());
    return false;
  }
  // Each step that fails is named; the old file is left as it was.
  DWORD failure = 0;
  const char *step = "";
  for (size_t done = 0; done < text.size() && failure == 0;) {
    DWORD put = 0;
    DWORD chunk = static_cast<DWORD>(text.size() - done > 65536 ? 65536 : text.size() - done);
    if (!WriteFile(file, text.data() + done, chunk, &put, NULL))
      failure = GetLastError();
    else if (put == 0)
      failure = ERROR_DISK_FULL;
    if (failure != 0) step = "cannot write the new file";
    done += put;
  }
  if (failure == 0 && !FlushFileBuffers(file)) {
    failure = GetLastError();
    step = "cannot flush the new file to the disk";
  }
  if (!CloseHandle(file) && failure == 0) {
    failure = GetLastError();
    step = "cannot close the new file";
  }
  if (failure == 0 && !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    failure = GetLastError();
    step = "cannot rename the new file over it";
  }
  if (failure != 0) {
    DeleteFileA(temp.c_str());
    error = path + ": " + step + ": " + Win32Error(failure) + "; the old contents are kept";
    return false;
  }
  return true;
}

bool StdinIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool IdentifyFile(const std::string &path, FileId &id) {
  // Opened for no access at all: its identity only.
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!ok) return false;
  id.device = info.dwVolumeSerialNumber;
  id.inode = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace nicdiag

int main(int argc, char **argv) { return nicdiag::Main(argc, argv); }
