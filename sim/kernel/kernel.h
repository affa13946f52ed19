// The simulated NT kernel, HAL and PCI machine on which the driver's logic
// runs on the host. The driver calls the platform functions declared in
// platform/ntkernel.h; tests and the host build of the diagnostic client
// drive the machine through this class.
//
// Usage:
//
//   sim::kernel::Kernel k;                       // built-in default machine
//   // or: k.load_profile_file("machine.json");  // before loading a driver
//   NTSTATUS s = k.load_driver(DriverEntry, "\\Registry\\Machine\\System\\"
//                              "CurrentControlSet\\Services\\NICPORT");
//   auto open = k.open("\\\\.\\NICPORT");        // or "\\DosDevices\\NICPORT"
//   auto mem = k.client_alloc(256);              // client buffer below 4 GiB
//   std::vector<std::uint8_t> in(24);            // parameter block, +8 = mem.address()
//   auto r = k.device_io_control(open.handle, code, in, 8);
//   // r.status, r.information, r.output (the Information bytes copied back)
//   k.close(open.handle);
//   sim::kernel::LeakReport leaks = k.unload_driver();
//   EXPECT_TRUE(leaks.empty()) << leaks.to_string();
//   EXPECT_TRUE(k.driver_faults().empty());
//   k.debug_log();                               // every DbgPrint, in order
//
// Only one Kernel exists at a time: the platform functions act on it.
// Every member may be called from several host threads at once; requests
// on one handle from several threads run the driver concurrently, as NT
// does.
//
// The client's token is an administrator's unless the profile says
// "client": {"admin": false} (or set_client_admin(false)). open() checks the
// device's security descriptor as NT's I/O manager does and hands the
// driver's create routine the caller's access state; a named device gets
// the system's default descriptor, which lets every user open it for
// reading and writing, so a driver that admits fewer decides in its create
// routine.
//
// Pause points: break_at("MmUnmapIoSpace", 1, action) runs action in the
// calling driver thread when the first MmUnmapIoSpace call arrives, before
// the call does anything, so that a test can run another request at that
// exact point (from another thread) and then let the first one go on.
// ClientMemory::revoke() and make_read_only() take a client buffer's pages
// away or make them read-only, as another thread of the client could
// between the driver's check and its use.
//
// Driver faults. What would stop a real machine (a bug check) or corrupt a
// client (more Information bytes than the output buffer holds, a request
// not completed before its dispatch routine returns, a register access
// outside every mapped window, a probe of memory that is not the client's,
// IoDeleteDevice of an object no longer on its driver's list, freeing pool
// twice) is recorded in driver_faults(); the call into the driver is
// abandoned and the client call reports `faulted`.
//
// A client's misuse. Some control codes write a value the client chose to
// the hardware unchanged (set_raw_write_codes says which). Hardware timing
// broken by such writes (the serial EEPROM's, for one) is the client's doing,
// not the driver's: it is recorded in client_misuse(), not driver_faults().
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ntkernel.h"
#include "sim/common/clock.h"

namespace sim::hw {
class Machine;
class Adapter;
struct MachineProfile;
}  // namespace sim::hw

namespace sim::kernel {

// System page-table entries that mapped I/O windows may take, of a machine
// whose profile sets no other: the order of a small NT 4 machine's pool
// (NT sizes it at boot from the memory size, at most about 50,000).
inline constexpr std::size_t kDefaultSystemPtes = 8192;

// Bytes of a buffered request's system buffer beyond the input.
inline constexpr std::uint8_t kSystemBufferPoison = 0xCD;

// Platform calls whose failure the driver must handle.
enum class FaultPoint {
  CreateDevice,         // IoCreateDevice
  CreateSymbolicLink,   // IoCreateSymbolicLink
  TranslateBusAddress,  // HalTranslateBusAddress returns FALSE
  MapIoSpace,           // MmMapIoSpace returns NULL
  AssignSlotResources,  // HalAssignSlotResources
  AssignResources,      // IoAssignResources (with a requirements list)
  ReportResourceUsage,  // IoReportResourceUsage
  AllocatePool,         // ExAllocatePool*, RtlAnsiStringToUnicodeString allocating
};
// Profile names: create_device, create_symbolic_link, translate_bus_address,
// map_io_space, assign_slot_resources, assign_resources,
// report_resource_usage, allocate_pool.
std::optional<FaultPoint> fault_point_from_name(std::string_view name);
std::string_view fault_point_name(FaultPoint point);

struct FaultPlan {
  unsigned skip = 0;    // calls that still succeed first
  int count = 1;        // calls that then fail; -1 for every call after
  NTSTATUS status = 0;  // status of a failing call; 0 = the call's usual one
};

// What was still alive when the driver was unloaded.
struct LeakReport {
  bool unload_routine_missing = false;  // NT would refuse to unload
  std::vector<std::string> devices;     // device objects of the driver
  std::vector<std::string> links;       // symbolic links
  std::vector<std::string> pool;        // pool blocks allocated by or for the driver
  std::vector<std::string> windows;     // mapped I/O windows
  std::vector<std::string> claims;      // resource claims of the driver and its devices
  bool empty() const {
    return !unload_routine_missing && devices.empty() && links.empty() && pool.empty() && windows.empty() &&
           claims.empty();
  }
  std::string to_string() const;
};

using Handle = int;
struct OpenResult {
  NTSTATUS status = STATUS_SUCCESS;
  Handle handle = -1;  // -1 unless the open succeeded
  bool faulted = false;
};

struct IoResult {
  NTSTATUS status = STATUS_SUCCESS;  // returned by the dispatch routine
  ULONG_PTR information = 0;         // Irp->IoStatus.Information
  std::vector<std::uint8_t> output;  // the bytes copied back to the client
  bool faulted = false;              // a driver fault was recorded (status then STATUS_UNSUCCESSFUL
                                     // unless the driver completed the request)
};

// A client buffer below 4 GiB, registered as the client's memory while it
// lives. Move-only.
class ClientMemory {
 public:
  ClientMemory() = default;
  ClientMemory(ClientMemory&& other) noexcept;
  ClientMemory& operator=(ClientMemory&& other) noexcept;
  ClientMemory(const ClientMemory&) = delete;
  ClientMemory& operator=(const ClientMemory&) = delete;
  ~ClientMemory();
  ULONG address() const { return static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(data_)); }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> bytes() const { return {data_, size_}; }
  // The pages stay reserved but are no longer the client's: any access faults.
  void revoke();
  // The pages can be read but not written.
  void make_read_only();

 private:
  friend class Kernel;
  ClientMemory(class Kernel* kernel, std::uint8_t* data, std::size_t size, std::size_t mapped)
      : kernel_(kernel), data_(data), size_(size), mapped_(mapped) {}
  void release();
  class Kernel* kernel_ = nullptr;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;
};

class Kernel {
 public:
  Kernel();  // the built-in default machine
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The kernel the platform functions act on; throws std::logic_error when
  // none exists.
  static Kernel& current();

  // ---- machine profile (replaces the machine; no driver may be loaded).
  // Throws std::runtime_error naming the source on bad input.
  void load_profile_text(std::string_view json, std::string_view source_name = "<profile>");
  void load_profile_file(const std::filesystem::path& path);
  static std::string default_profile_json();

  // ---- driver
  // Creates the driver object (\Driver\<last component of the path>) and
  // calls the entry with the registry path. A failing status leaves no
  // driver loaded (whatever the entry created is reported and removed).
  NTSTATUS load_driver(PDRIVER_INITIALIZE entry, std::string_view registry_path);
  bool driver_loaded() const;
  PDRIVER_OBJECT driver_object() const;
  // Closes open handles, calls DriverUnload, reports what is still alive
  // and removes it, so that the driver can be loaded again.
  LeakReport unload_driver();

  // ---- client side (a process's view of the device)
  // name: "\\.\X" (= \DosDevices\X), "\DosDevices\X", "\??\X" or "\Device\X".
  // desired: CreateFile's dwDesiredAccess. CreateFile asks NtCreateFile for
  // it with SYNCHRONIZE | FILE_READ_ATTRIBUTES added, so 0 opens for those.
  // The I/O manager opens as NT's does (see "The simulated I/O manager's
  // open" in docs/nicport.md): generic rights mapped, the device's own
  // security descriptor checked on a direct open (and below the device
  // when it has FILE_DEVICE_SECURE_OPEN), what it granted moved from the
  // access state's RemainingDesiredAccess to PreviouslyGrantedAccess, and
  // the remainder handed to the create routine as the security context's
  // DesiredAccess.
  OpenResult open(std::string_view name, ACCESS_MASK desired = GENERIC_READ | GENERIC_WRITE);
  // NtCreateFile from user mode with exactly `desired`.
  OpenResult open_native(std::string_view name, ACCESS_MASK desired);
  // An open made by kernel-mode code in the client's thread (ZwCreateFile
  // from another driver): the IRP's requestor mode is KernelMode and the I/O
  // manager makes no check; with force_access_check (IoCreateFile's
  // IO_FORCE_ACCESS_CHECK) it checks as for user mode and the stack
  // location carries SL_FORCE_ACCESS_CHECK.
  OpenResult open_from_kernel(std::string_view name, ACCESS_MASK desired, bool force_access_check);
  // The access the handle holds: what the open granted.
  std::optional<ACCESS_MASK> handle_access(Handle handle) const;
  // Replaces a named device object's security descriptor (a copy is kept),
  // as ZwSetSecurityObject on a handle opened with WRITE_DAC does. Returns
  // STATUS_OBJECT_NAME_NOT_FOUND for a name that is no device; throws
  // std::runtime_error for a descriptor that is not one.
  NTSTATUS set_device_security(std::string_view device_name, PSECURITY_DESCRIPTOR descriptor);
  NTSTATUS close(Handle handle);
  IoResult device_io_control(Handle handle, ULONG code, std::span<const std::uint8_t> input, ULONG output_length);
  ClientMemory client_alloc(std::size_t size);
  void set_client_admin(bool admin);
  bool client_admin() const;
  // Whether the client's token holds SeChangeNotifyPrivilege (bypass
  // traverse checking; every token by default).
  void set_client_traverse_privilege(bool held);
  bool is_client_range(std::uintptr_t address, std::size_t length) const;

  // ---- observation
  std::vector<std::string> debug_log() const;  // one entry per DbgPrint, in order
  void clear_debug_log();
  void set_debug_echo(std::function<void(std::string_view)> sink);  // also pass each line here
  std::vector<std::string> driver_faults() const;
  void clear_driver_faults();
  // The control codes whose register and port writes carry the client's
  // values unchanged (none by default: every write is then the driver's).
  void set_raw_write_codes(std::function<bool(ULONG code)> is_raw_write);
  std::vector<std::string> client_misuse() const;   // "<code>: EEPROM timing: ..."
  bool object_exists(std::string_view name) const;  // "\Device\X", "\DosDevices\X"
  std::optional<std::string> link_target(std::string_view link) const;
  std::size_t pool_blocks() const;
  std::size_t mapped_windows() const;
  // The system page-table entries for mapped windows: how many there are
  // (kDefaultSystemPtes unless set; not below those in use) and how many
  // the live windows take.
  void set_system_ptes(std::size_t entries);
  std::size_t system_ptes() const;
  std::size_t system_ptes_in_use() const;
  // Every MmMapIoSpace call since the kernel was made, in order: the
  // physical address and the byte count asked for.
  struct IoSpaceMapping {
    std::uint64_t physical = 0;
    std::size_t bytes = 0;
  };
  std::vector<IoSpaceMapping> io_space_mappings() const;
  std::vector<std::string> resource_claims() const;

  // ---- time
  std::uint64_t now_us() const;
  std::uint64_t now_ns() const;
  VirtualClock& clock();

  // ---- fault injection
  void inject_fault(FaultPoint point, FaultPlan plan = {});
  void clear_faults();

  // ---- pause points (see the top)
  void break_at(std::string function, unsigned nth, std::function<void()> action);
  void clear_breakpoints();

  // ---- hardware
  sim::hw::Machine& machine();
  sim::hw::Adapter* adapter(std::size_t index);  // in profile order, or nullptr

  struct State;  // the implementation's, shared with the platform functions
  State& state() { return *state_; }

 private:
  OpenResult open_as(std::string_view name, ACCESS_MASK desired, KPROCESSOR_MODE mode, bool force_access_check);
  std::unique_ptr<State> state_;
};

// The Win32 error a client's DeviceIoControl/CreateFile would report for a
// status, as RtlNtStatusToDosError maps it (317, ERROR_MR_MID_NOT_FOUND, for
// a status it does not know).
ULONG nt_status_to_win32_error(NTSTATUS status);

}  // namespace sim::kernel
