// The simulated kernel's shared state, used by the Kernel class and by the
// platform functions (the kernel's and the HAL's exports). Internal to
// sim/kernel.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ntkernel.h"
#include "sim/common/clock.h"
#include "sim/hw/machine.h"
#include "sim/hw/profile.h"
#include "sim/kernel/arbiter.h"
#include "sim/kernel/kernel.h"

namespace sim::kernel {

// A driver fault: what would stop the real machine. Thrown by the platform
// functions, caught where the simulator called into the driver.
class BugCheck : public std::runtime_error {
 public:
  explicit BugCheck(const std::string& what) : std::runtime_error(what) {}
};
[[noreturn]] void bug_check(const std::string& what);

std::string hex(std::uint64_t value);
std::string narrow(PCUNICODE_STRING s);  // bug check on a malformed string
std::string upper(std::string_view s);

// Memory the simulator placed below 4 GiB (client buffers, mapped windows).
class LowRegion {
 public:
  // Reserves `size` bytes at a page-aligned address in [low, high); throws
  // std::runtime_error when nothing is free.
  static std::pair<std::uint8_t*, std::size_t> reserve(std::uintptr_t low, std::uintptr_t high, std::size_t size,
                                                       bool accessible);
  static void release(void* base, std::size_t mapped);
};

inline constexpr std::uintptr_t kClientLow = 0x10000000;
inline constexpr std::uintptr_t kClientHigh = 0x40000000;  // MmUserProbeAddress
inline constexpr std::uintptr_t kSystemLow = 0x40000000;
inline constexpr std::uintptr_t kSystemHigh = 0x7FFF0000;

// A security descriptor the simulator keeps for an object: its own copy of
// the owner, group and access list, and an absolute descriptor over them.
struct DescriptorCopy {
  SECURITY_DESCRIPTOR sd{};
  std::vector<UCHAR> owner, group, dacl;
};
// Copies a driver's absolute descriptor (bug check when it is malformed).
std::shared_ptr<const DescriptorCopy> copy_descriptor(PSECURITY_DESCRIPTOR descriptor);
// What IoCreateDevice gives a named device object (sim/kernel/security.cpp).
std::shared_ptr<const DescriptorCopy> default_device_descriptor();

struct DeviceRecord {
  std::string name;  // empty for an unnamed device
  PDRIVER_OBJECT driver = nullptr;
  bool exclusive = false;
  int open_count = 0;                              // references: file objects open on the device, and opens under way
  bool deleted = false;                            // IoDeleteDevice was called; freed with the last reference
  std::shared_ptr<const DescriptorCopy> security;  // none for an unnamed device
};

struct NamespaceEntry {
  enum class Kind { Directory, Device, Link } kind = Kind::Directory;
  std::string name;  // as created
  PDEVICE_OBJECT device = nullptr;
  std::string target;  // of a link
};

struct PoolBlock {
  std::size_t size = 0;
  ULONG tag = 0;
};

struct Window {
  std::uintptr_t virt = 0;
  std::size_t size = 0;
  std::uint64_t physical = 0;
  void* base = nullptr;  // of the reservation
  std::size_t mapped = 0;
  std::size_t pages = 0;  // system page-table entries it takes
};

// Longest single KeStallExecutionProcessor the driver may ask for.
inline constexpr ULONG kLongestStallUs = 50;

// An open handle: the device and the file object the driver sees.
struct HandleRecord {
  PDEVICE_OBJECT device = nullptr;
  std::unique_ptr<FILE_OBJECT> file;
  std::vector<WCHAR> name;  // characters of file->FileName
  ACCESS_MASK granted = 0;  // the handle's access, as the open left it
};

// A pause point: the nth call of a platform function runs an action first.
struct Breakpoint {
  std::string function;
  unsigned remaining = 1;
  std::function<void()> action;
};

// The simulator's token: the groups whose SIDs ("S-1-5-32-544") it holds,
// and whether it holds SeChangeNotifyPrivilege ("bypass traverse
// checking", which NT's default policy gives Everyone).
struct Token {
  std::vector<std::string> groups;
  bool traverse = true;
};
const Token& admin_token();
const Token& client_token(bool admin, bool traverse);
// SeAccessCheck's decision, for the driver's calls and the I/O manager's.
// Bug check on a malformed descriptor or one without the owner it needs.
struct AccessDecision {
  bool granted = false;
  ACCESS_MASK access = 0;
  NTSTATUS status = STATUS_ACCESS_DENIED;
};
AccessDecision access_check(const SECURITY_DESCRIPTOR* sd, const Token& token, ACCESS_MASK desired,
                            ACCESS_MASK previously_granted, const GENERIC_MAPPING* mapping, KPROCESSOR_MODE mode);
// Generic rights replaced by the specific ones `mapping` gives them.
ACCESS_MASK map_generic(ACCESS_MASK mask, const GENERIC_MAPPING* mapping);
// The file object type's generic mapping (IoGetFileObjectGenericMapping).
extern GENERIC_MAPPING g_file_mapping;
const Token& user_token();

// Raises STATUS_ACCESS_VIOLATION in the calling thread: caught by an
// enclosing PlatformGuardedCall, a bug check without one.
[[noreturn]] void raise_access_violation(const std::string& what, const char* status = "STATUS_ACCESS_VIOLATION");
class AccessViolation : public std::runtime_error {
 public:
  explicit AccessViolation(const std::string& what) : std::runtime_error(what) {}
};
// The calling thread's IRQL. The simulator calls every driver routine at
// PASSIVE_LEVEL, as the I/O manager calls DriverEntry, dispatch and unload
// routines; ExAcquireFastMutex raises it to APC_LEVEL until the release.
extern thread_local KIRQL g_irql;
// Bug check, as NT does (IRQL_NOT_LESS_OR_EQUAL), when `function` is called
// above the highest IRQL the DDK allows it.
void require_irql(const char* function, KIRQL highest);
// Runs a driver routine at PASSIVE_LEVEL and restores the thread's IRQL
// afterwards; a routine that returns above PASSIVE_LEVEL is a bug check
// (IRQL_GT_ZERO_AT_SYSTEM_SERVICE on the way back to the caller).
class PassiveCall {
 public:
  PassiveCall() : saved_(g_irql) { g_irql = PASSIVE_LEVEL; }
  ~PassiveCall() { g_irql = saved_; }
  PassiveCall(const PassiveCall&) = delete;
  PassiveCall& operator=(const PassiveCall&) = delete;
  // Bug check when the routine left the IRQL raised; `what` names it.
  static void check_returned(const std::string& what);

 private:
  KIRQL saved_;
};
// Runs a pause point set with Kernel::break_at for this call, if any. Called
// by the platform functions at entry, with no simulator lock held.
void checkpoint(const char* function);

struct IrpBlock {
  IRP irp{};
  IO_STACK_LOCATION stack{};
  bool completed = false;
};

struct FaultState {
  FaultPlan plan;
  unsigned calls = 0;
  unsigned failed = 0;
};

struct Kernel::State {
  mutable std::recursive_mutex mutex;
  VirtualClock clock;
  hw::MachineProfile profile;
  std::unique_ptr<hw::Machine> machine;

  // Driver
  std::unique_ptr<DRIVER_OBJECT> driver;
  std::vector<WCHAR> driver_name_buffer;
  std::vector<WCHAR> registry_path_buffer;
  UNICODE_STRING registry_path{};

  // Objects
  std::map<std::string, NamespaceEntry> names;  // keyed by upper-case name
  std::map<PDEVICE_OBJECT, DeviceRecord> devices;
  std::map<Handle, HandleRecord> handles;
  bool client_admin = true;
  bool client_traverse = true;
  Handle next_handle = 1;
  std::set<PIRP> irps;

  // Memory
  std::map<std::uintptr_t, PoolBlock> pool;
  std::map<std::uintptr_t, Window> windows;
  std::size_t system_ptes = kDefaultSystemPtes;  // page-table entries MmMapIoSpace may take
  std::size_t system_ptes_used = 0;
  std::vector<Kernel::IoSpaceMapping> mapping_calls;
  std::map<std::uintptr_t, std::size_t> client;  // start -> length
  std::set<std::uintptr_t> client_read_only;     // starts of client buffers made read-only

  ResourceArbiter arbiter;
  std::map<FaultPoint, FaultState> faults;

  std::vector<std::string> log;
  std::function<void(std::string_view)> echo;
  std::vector<std::string> driver_faults;
  std::vector<std::string> client_misuse;
  std::function<bool(ULONG)> is_raw_write;

  // Pause points (Kernel::break_at).
  std::mutex break_mutex;
  std::vector<Breakpoint> breakpoints;
  std::atomic<bool> any_breakpoint{false};

  // Synchronisation objects of the driver (KMUTEX, FAST_MUTEX).
  std::mutex sync_mutex;
  std::condition_variable sync_cv;

  // Returns the failure status when the call is to fail now.
  std::optional<NTSTATUS> fail_now(FaultPoint point, NTSTATUS usual);
  void record_fault(const std::string& what);

  // Lookups (callers hold the mutex).
  const Window* window_at(std::uintptr_t address, std::size_t length) const;
  bool in_client(std::uintptr_t address, std::size_t length) const;
  bool client_page(std::uintptr_t address, std::size_t length) const;      // page-granular
  bool client_writable(std::uintptr_t address, std::size_t length) const;  // page-granular, not read-only
  bool in_pool(std::uintptr_t address, std::size_t length) const;

  PVOID pool_allocate(std::size_t size, ULONG tag);
  void pool_free(PVOID block);

  // Takes a deleted device object off its driver's device list and frees it.
  // Returns what went wrong (the object was not on the list, which NT meets
  // as a NULL pointer on its walk) and then changes nothing; empty on
  // success.
  std::string unlink_device(PDEVICE_OBJECT device);
  // Drops one reference of an open; the last one of a deleted device
  // deletes it (a failure is recorded as a driver fault of `what`).
  void release_device_reference(PDEVICE_OBJECT device, const char* what);

  // Namespace: validates a new name, returns a failure status or 0.
  NTSTATUS check_new_name(const std::string& name) const;
  void reset_namespace();
};

Kernel::State& current_state();  // the live kernel's; throws std::logic_error
std::string format_nt(const char* format, va_list args);

}  // namespace sim::kernel
