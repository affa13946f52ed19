// The simulated Windows machine: one per process, reached through machine().
// Every Win32 function of platform/host/win32_host.h acts on it. Tests and
// netpurge-sim set it up from a profile, run the program, then read it back.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "registry.h"
#include "security.h"
#include "sim/common/clock.h"

namespace sim::win32 {

class Resources;
class Ui;
class NetCfg;           // Windows 2000 removal (netcfg.h)
class DeviceInstaller;  // Windows 2000 removal (setupapi.h)
class FileSystem;       // drives, folders and files (files.h)

struct Version {
  DWORD platform_id = VER_PLATFORM_WIN32_WINDOWS;
  DWORD major = 4;
  DWORD minor = 10;
  DWORD build = 1998;
  std::string csd;
  bool query_fails = false;  // GetVersionExA returns FALSE, record untouched
};

struct StartedProcess {
  std::string command_line;
  UINT show = 0;
  std::string program;  // the program WinExec found; empty when none
  UINT result = 33;     // WinExec's result: above 31 when started
};

class Machine {
 public:
  Machine();
  ~Machine();

  Version version;
  bool admin = true;
  std::string command_line = "\"C:\\Tools\\netpurge.exe\"";
  std::string module_path = "C:\\Tools\\netpurge.exe";  // GetModuleFileNameA
  Registry registry;
  std::vector<StartedProcess> started;  // WinExec calls, in order, started or not
  VirtualClock clock;
  DWORD last_error = 0;
  int scm_open_handles = 0;  // service control manager handles not yet closed
  // NT security: the token's user, open token handles, the process heap.
  SecurityState security;

  Resources& resources() { return *resources_; }
  Ui& ui() { return *ui_; }

  bool is_nt() const { return version.platform_id == VER_PLATFORM_WIN32_NT; }

  // ---- Windows 2000 removal: the COM network configuration (netcfg.cpp)
  // and the device installer (setupapi.cpp), created on first use.
  NetCfg& netcfg();
  DeviceInstaller& devices();
  struct RemovalPartsDeleter {
    void operator()(NetCfg* p) const;
    void operator()(DeviceInstaller* p) const;
  };

 private:
  std::unique_ptr<NetCfg, RemovalPartsDeleter> netcfg_;
  std::unique_ptr<DeviceInstaller, RemovalPartsDeleter> devices_;
  // ---- end of the Windows 2000 removal block

 public:
  // ---- the file system (files.h): the platform's default machine until a
  // profile sets one.
  FileSystem& files();
  void set_files(std::unique_ptr<FileSystem> files);
  struct FilesDeleter {
    void operator()(FileSystem* p) const;
  };

 private:
  std::unique_ptr<FileSystem, FilesDeleter> files_;
  // ---- end of the file system block

 private:
  std::unique_ptr<Resources> resources_;
  std::unique_ptr<Ui> ui_;
};

Machine& machine();
// Throws the current machine away and starts a fresh default one.
void reset_machine();

}  // namespace sim::win32
