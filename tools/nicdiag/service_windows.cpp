// The service commands on Windows: install, start, stop and remove the
// driver's kernel service through the service control manager. Each of the
// states the machine can be in gets its own message and exit status
// (nicdiag.h): not an administrator, already installed (or with another
// ImagePath), not installed, running, marked for deletion, the driver file
// missing, a service key the service control manager does not know.
// Written over the Win32 calls alone, with fixed buffers.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tools/nicdiag/service.h"

namespace nicdiag {
namespace {

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\" NICDIAG_SERVICE_NAME;
const char kServiceKeyShown[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" NICDIAG_SERVICE_NAME;
// How long start and stop wait for the driver to load or unload (a kernel
// driver's start and stop normally complete within the call).
const DWORD kWaitMs = 30000;
const DWORD kPollMs = 250;

// The system's text for an error code, and its number.
std::string ErrorText(DWORD code) {
  char text[256] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text, sizeof text,
                           NULL);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.' || text[n - 1] == ' '))
    text[--n] = 0;
  char number[48];
  std::snprintf(number, sizeof number, "error %lu", static_cast<unsigned long>(code));
  return n > 0 ? std::string(text) + " (" + number + ")" : std::string(number);
}

bool Failure(Run &run, int status, const std::string &message) {
  run.exit_status = status;
  return run.Fail(message);
}

// A failure the service control manager reported: access denied means the
// caller is no administrator; a few other codes have their own status.
bool CallFailed(Run &run, const char *what, DWORD code) {
  const std::string reason = std::string(what) + " failed: " + ErrorText(code);
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return Failure(run, kExitNotAdmin,
                     reason + ": managing the " NICDIAG_SERVICE_NAME
                              " service needs an administrator; run nicdiag "
                              "from an administrator's account");
    case ERROR_SERVICE_MARKED_FOR_DELETE:
      return Failure(run, kExitMarkedForDelete,
                     reason + ": the " NICDIAG_SERVICE_NAME
                              " service is marked for deletion; it goes when every "
                              "program holding it (the Services control panel, another nicdiag) has closed it, "
                              "or at the next restart of Windows");
    default: return Failure(run, kExitFailed, reason);
  }
}

// Handles of the service control manager and the service, closed at the end.
struct Handles {
  SC_HANDLE manager = NULL;
  SC_HANDLE service = NULL;
  ~Handles() {
    if (service != NULL) CloseServiceHandle(service);
    if (manager != NULL) CloseServiceHandle(manager);
  }
  void CloseService() {
    if (service != NULL) CloseServiceHandle(service);
    service = NULL;
  }
};

bool OpenManager(Run &run, Handles &handles) {
  // Full access, as an administrator has it: a user who is not one is
  // refused here, before anything is changed.
  handles.manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (handles.manager == NULL) return CallFailed(run, "OpenSCManagerA", GetLastError());
  return true;
}

bool KeyExists() {
  HKEY key = NULL;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The service is not in the service control manager's database: a key of
// its name left in the registry is reported as such.
bool NotInstalled(Run &run, const char *then) {
  if (KeyExists())
    return Failure(run, kExitKeyLeftBehind,
                   std::string("the service control manager has no " NICDIAG_SERVICE_NAME " service, but its key ") +
                       kServiceKeyShown +
                       " is in the registry (made by hand, or left by a removal not yet finished): restart Windows "
                       "to have it loaded as a service, or delete the key" +
                       then);
  return Failure(run, kExitServiceState, "the " NICDIAG_SERVICE_NAME " service is not installed (nicdiag install)");
}

bool OpenService(Run &run, Handles &handles, DWORD access) {
  if (!OpenManager(run, handles)) return false;
  handles.service = OpenServiceA(handles.manager, NICDIAG_SERVICE_NAME, access);
  if (handles.service != NULL) return true;
  const DWORD code = GetLastError();
  if (code == ERROR_SERVICE_DOES_NOT_EXIST) return NotInstalled(run, "");
  return CallFailed(run, "OpenServiceA", code);
}

const char *StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    default: return "in an unknown state";
  }
}

// Waits while the service is in state pending; false when the query fails
// (code says why). state gets the last state seen.
bool WaitWhile(SC_HANDLE service, DWORD pending, DWORD &state, DWORD &code) {
  for (DWORD waited = 0;; waited += kPollMs) {
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    if (!QueryServiceStatus(service, &status)) {
      code = GetLastError();
      return false;
    }
    state = status.dwCurrentState;
    if (state != pending || waited >= kWaitMs) return true;
    Sleep(kPollMs);
  }
}

// The ImagePath the service control manager holds for the service ("" when
// it cannot be read).
std::string ImagePathOf(SC_HANDLE service) {
  // QUERY_SERVICE_CONFIGA and its strings: 8 KB is the largest the call
  // hands back.
  static DWORD buffer[2048];
  DWORD needed = 0;
  QUERY_SERVICE_CONFIGA *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer);
  if (!QueryServiceConfigA(service, config, sizeof buffer, &needed) || config->lpBinaryPathName == NULL) return "";
  return config->lpBinaryPathName;
}

// The system root (%SystemRoot%, C:\WINNT on NT 4).
std::string SystemRoot() {
  char windows[MAX_PATH] = {0};
  const UINT n = GetWindowsDirectoryA(windows, sizeof windows);
  return n > 0 && n < sizeof windows ? std::string(windows) : std::string("%SystemRoot%");
}

// Where an ImagePath leads: a path with a drive as it is; one under
// \SystemRoot\ or %SystemRoot%\, or one without a leading backslash (which
// the system reads relative to the system root), under the system root.
std::string DriverFileOf(const std::string &image_path) {
  if (image_path.size() > 2 && image_path[1] == ':') return image_path;
  const char *const prefixes[] = {"\\SystemRoot\\", "%SystemRoot%\\"};
  for (const char *prefix : prefixes) {
    const size_t length = std::strlen(prefix);
    if (_strnicmp(image_path.c_str(), prefix, length) == 0) return SystemRoot() + "\\" + image_path.substr(length);
  }
  if (!image_path.empty() && image_path[0] == '\\') return image_path;
  return SystemRoot() + "\\" + image_path;
}

// Whether an ImagePath names the file this service is made with.
bool IsOurImage(const std::string &image_path) {
  return _stricmp(DriverFileOf(image_path).c_str(), DriverFileOf(NICDIAG_IMAGE_PATH).c_str()) == 0;
}

bool FileExists(const std::string &path, bool &folder) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return attributes != INVALID_FILE_ATTRIBUTES;
}

// The full form of a path, to tell whether two name the same file.
std::string FullPath(const std::string &path) {
  char full[MAX_PATH] = {0};
  char *name = NULL;
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, &name);
  return n > 0 && n < sizeof full ? std::string(full) : path;
}

// install [PATH]: copies the driver into System32\drivers (with PATH), then
// creates the service. An existing service is left as it is.
bool Install(Run &run) {
  char system[MAX_PATH] = {0};
  const UINT n = GetSystemDirectoryA(system, sizeof system);
  if (n == 0 || n >= sizeof system) return CallFailed(run, "GetSystemDirectoryA", GetLastError());
  const std::string target = std::string(system) + "\\drivers\\" NICDIAG_DRIVER_FILE;
  std::string source;
  if (run.words.size() == 2) {
    source = run.words[1];
    bool folder = false;
    if (FileExists(source, folder) && folder)
      source += (source.back() == '\\' ? "" : "\\") + std::string(NICDIAG_DRIVER_FILE);
    if (!FileExists(source, folder) || folder)
      return Failure(run, kExitFileMissing,
                     source + ": " +
                         (folder ? std::string("a folder, not the driver file")
                                 : ErrorText(GetLastError()) + ": the driver file to copy is missing"));
  }

  Handles handles;
  if (!OpenManager(run, handles)) return false;
  handles.service = OpenServiceA(handles.manager, NICDIAG_SERVICE_NAME, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
  if (handles.service != NULL) {
    // A change that changes nothing tells whether the service is marked
    // for deletion.
    if (!ChangeServiceConfigA(handles.service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, NULL, NULL,
                              NULL, NULL, NULL, NULL, NULL) &&
        GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
      return CallFailed(run, "install", ERROR_SERVICE_MARKED_FOR_DELETE);
    const std::string image_path = ImagePathOf(handles.service);
    if (image_path.empty() || IsOurImage(image_path))
      return Failure(run, kExitServiceState,
                     "the " NICDIAG_SERVICE_NAME " service is already installed (ImagePath " +
                         (image_path.empty() ? std::string("unreadable") : image_path) +
                         "); nothing changed (nicdiag remove first to install it again)");
    return Failure(run, kExitServiceState,
                   "the " NICDIAG_SERVICE_NAME " service is already installed with another ImagePath, " + image_path +
                       "; nothing changed (nicdiag remove first to install it with " NICDIAG_IMAGE_PATH ")");
  }
  DWORD code = GetLastError();
  if (code != ERROR_SERVICE_DOES_NOT_EXIST) return CallFailed(run, "OpenServiceA", code);
  if (KeyExists()) return NotInstalled(run, "; nothing installed");

  std::string copied;
  if (!source.empty()) {
    if (_stricmp(FullPath(source).c_str(), FullPath(target).c_str()) == 0) {
      copied = target + " is in place; ";
    } else if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) {
      code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        return Failure(run, kExitFileMissing, "copying " + source + " to " + target + " failed: " + ErrorText(code));
      return CallFailed(run, ("copying " + source + " to " + target).c_str(), code);
    } else {
      copied = "copied " + source + " to " + target + "; ";
    }
  } else {
    bool folder = false;
    if (!FileExists(target, folder) || folder)
      return Failure(run, kExitFileMissing,
                     target + " is missing: give the driver's PATH (nicdiag install PATH) or copy it there first");
  }
  handles.CloseService();
  handles.service = CreateServiceA(handles.manager, NICDIAG_SERVICE_NAME, NICDIAG_SERVICE_NAME, SERVICE_ALL_ACCESS,
                                   SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                   NICDIAG_IMAGE_PATH, NULL, NULL, NULL, NULL, NULL);
  if (handles.service == NULL) {
    code = GetLastError();
    if (code == ERROR_SERVICE_EXISTS || code == ERROR_DUPLICATE_SERVICE_NAME)
      return Failure(
          run, kExitServiceState,
          copied + "CreateServiceA failed: " + ErrorText(code) +
              (code == ERROR_SERVICE_EXISTS ? ": installed meanwhile by another program"
                                            : ": another service has the display name " NICDIAG_SERVICE_NAME));
    return CallFailed(run, (copied + "CreateServiceA").c_str(), code);
  }
  run.text = copied + "installed the " NICDIAG_SERVICE_NAME
                      " service (kernel driver, demand start, error control normal, ImagePath " NICDIAG_IMAGE_PATH
                      "); nicdiag start loads it";
  return true;
}

bool Start(Run &run) {
  Handles handles;
  if (!OpenService(run, handles, SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)) return false;
  if (!StartServiceA(handles.service, 0, NULL)) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_ALREADY_RUNNING)
      return Failure(run, kExitServiceState, "the " NICDIAG_SERVICE_NAME " service is already running");
    // A driver file that is not there is reported as such, whichever code
    // the loader gave for it (NT: ERROR_FILE_NOT_FOUND).
    std::string image_path = ImagePathOf(handles.service);
    if (image_path.empty()) image_path = NICDIAG_IMAGE_PATH;
    bool folder = false;
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || !FileExists(DriverFileOf(image_path), folder))
      return Failure(run, kExitFileMissing,
                     "StartServiceA failed: " + ErrorText(code) + ": the driver file " + DriverFileOf(image_path) +
                         " (ImagePath " + image_path + ") is missing (nicdiag remove, then nicdiag install PATH)");
    if (code == ERROR_SERVICE_DISABLED)
      return Failure(run, kExitServiceState, "StartServiceA failed: " + ErrorText(code) + ": the service is disabled");
    return CallFailed(run, "StartServiceA", code);
  }
  DWORD state = 0, code = 0;
  if (!WaitWhile(handles.service, SERVICE_START_PENDING, state, code))
    return CallFailed(run, "QueryServiceStatus", code);
  if (state != SERVICE_RUNNING)
    return Failure(run, kExitFailed,
                   std::string("the " NICDIAG_SERVICE_NAME " service was started but is ") + StateName(state));
  run.text = "started the " NICDIAG_SERVICE_NAME " service (the driver is loaded)";
  return true;
}

// Stops a running service and waits for the driver to unload; state gets
// the state it ended in.
bool StopService(Run &run, SC_HANDLE service, DWORD &state) {
  SERVICE_STATUS status;
  std::memset(&status, 0, sizeof status);
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_NOT_ACTIVE) {
      state = SERVICE_STOPPED;
      return true;
    }
    if (code == ERROR_INVALID_SERVICE_CONTROL || code == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
      return Failure(run, kExitServiceState,
                     "ControlService (stop) failed: " + ErrorText(code) + ": the service cannot be stopped now");
    return CallFailed(run, "ControlService (stop)", code);
  }
  DWORD code = 0;
  if (!WaitWhile(service, SERVICE_STOP_PENDING, state, code)) return CallFailed(run, "QueryServiceStatus", code);
  if (state != SERVICE_STOPPED)
    return Failure(run, kExitServiceState,
                   std::string("the " NICDIAG_SERVICE_NAME " service is still ") + StateName(state) +
                       " after the stop (a program may hold the device \\\\.\\NICPORT open)");
  return true;
}

bool Stop(Run &run) {
  Handles handles;
  if (!OpenService(run, handles, SERVICE_STOP | SERVICE_QUERY_STATUS)) return false;
  SERVICE_STATUS status;
  std::memset(&status, 0, sizeof status);
  if (QueryServiceStatus(handles.service, &status) && status.dwCurrentState == SERVICE_STOPPED)
    return Failure(run, kExitServiceState, "the " NICDIAG_SERVICE_NAME " service is not running");
  DWORD state = 0;
  if (!StopService(run, handles.service, state)) return false;
  run.text = "stopped the " NICDIAG_SERVICE_NAME " service (the driver is unloaded)";
  return true;
}

// remove: a running service is stopped first; the driver file stays.
bool Remove(Run &run) {
  Handles handles;
  if (!OpenService(run, handles, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS)) return false;
  std::string done;
  SERVICE_STATUS status;
  std::memset(&status, 0, sizeof status);
  if (!QueryServiceStatus(handles.service, &status)) return CallFailed(run, "QueryServiceStatus", GetLastError());
  if (status.dwCurrentState != SERVICE_STOPPED) {
    DWORD state = 0;
    if (!StopService(run, handles.service, state)) {
      run.text += "; the service is not removed";
      return false;
    }
    done = "stopped and ";
  }
  if (!DeleteService(handles.service)) return CallFailed(run, "DeleteService", GetLastError());
  handles.CloseService();
  // The key goes when the last handle to the service is closed.
  for (DWORD waited = 0; KeyExists() && waited < 2000; waited += kPollMs) Sleep(kPollMs);
  if (KeyExists()) {
    SC_HANDLE again = OpenServiceA(handles.manager, NICDIAG_SERVICE_NAME, SERVICE_QUERY_STATUS);
    if (again != NULL) {
      CloseServiceHandle(again);
      return Failure(
          run, kExitMarkedForDelete,
          done + "deleted the " NICDIAG_SERVICE_NAME " service, which is now marked for deletion: " + kServiceKeyShown +
              " goes when every program holding the service (the Services control panel, another "
              "nicdiag) has closed it, or at the next restart of Windows");
    }
    return Failure(run, kExitKeyLeftBehind,
                   done + "deleted the " NICDIAG_SERVICE_NAME " service, but its key " + kServiceKeyShown +
                       " is left in the registry: delete it by hand");
  }
  run.text = done + "removed the " NICDIAG_SERVICE_NAME " service (" NICDIAG_DRIVER_FILE " stays in System32\\drivers)";
  return true;
}

bool RunServiceCommand(Run &run, bool (*command)(Run &)) {
  if (!CheckServiceArguments(run) || run.checking) return run.ok;
  run.json_extra = ",\"service\":\"" NICDIAG_SERVICE_NAME "\"";
  if (!command(run)) return false;
  run.json_extra += ",\"message\":" + JsonString(run.text);
  return true;
}

}  // namespace

bool CommandInstall(Run &run) { return RunServiceCommand(run, Install); }
bool CommandStart(Run &run) { return RunServiceCommand(run, Start); }
bool CommandStop(Run &run) { return RunServiceCommand(run, Stop); }
bool CommandRemove(Run &run) { return RunServiceCommand(run, Remove); }

}  // namespace nicdiag
