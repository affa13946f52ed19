// The Kernel class: machine set-up, driver load and unload, the client's
// side of the I/O manager, observation and fault injection.
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/common/input_file.h"
#include "sim/kernel/state.h"

namespace sim::kernel {

namespace {

Kernel* g_kernel = nullptr;
std::mutex g_kernel_mutex;

// What NT installs in every MajorFunction entry before DriverEntry runs.
NTSTATUS NTAPI IopInvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::vector<WCHAR> wide(std::string_view s) {
  std::vector<WCHAR> out(s.begin(), s.end());
  out.push_back(0);
  return out;
}

// "\\.\X" and "\??\X" name the DOS devices directory.
std::string normalise_client_name(std::string_view name) {
  std::string s(name);
  if (s.rfind("\\\\.\\", 0) == 0) return "\\DosDevices\\" + s.substr(4);
  if (s.rfind("\\??\\", 0) == 0) return "\\DosDevices\\" + s.substr(4);
  return s;
}

// The control code of the request the current thread is serving (0
// outside requests), and whether it is one of the client's raw writes.
thread_local ULONG t_request_code = 0;
thread_local bool t_raw_write_code = false;

}  // namespace

// ---------------------------------------------------------------- helpers

void bug_check(const std::string& what) { throw BugCheck(what); }

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string narrow(PCUNICODE_STRING s) {
  if (s == nullptr) bug_check("NULL UNICODE_STRING pointer");
  if (s->Length % 2 != 0 || s->Length > s->MaximumLength) bug_check("malformed UNICODE_STRING");
  if (s->Length != 0 && s->Buffer == nullptr) bug_check("UNICODE_STRING with a NULL buffer");
  std::string out;
  for (USHORT i = 0; i < s->Length / 2; ++i)
    out.push_back(s->Buffer[i] < 0x100 ? static_cast<char>(s->Buffer[i]) : '?');
  return out;
}

Kernel::State& current_state() {
  if (g_kernel == nullptr) throw std::logic_error("no simulated kernel exists");
  return g_kernel->state();
}

std::pair<std::uint8_t*, std::size_t> LowRegion::reserve(std::uintptr_t low, std::uintptr_t high, std::size_t size,
                                                         bool accessible) {
  static std::mutex hint_mutex;
  static std::map<std::uintptr_t, std::uintptr_t> hints;  // low -> next address to try
  const std::size_t mapped = ((size == 0 ? 1 : size) + PAGE_SIZE - 1) & ~static_cast<std::size_t>(PAGE_SIZE - 1);
  std::lock_guard lock(hint_mutex);
  std::uintptr_t& hint = hints.try_emplace(low, low).first->second;
  const int prot = accessible ? PROT_READ | PROT_WRITE : PROT_NONE;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::uintptr_t at = hint; at + mapped <= high; at += 0x100000) {
      void* p = ::mmap(reinterpret_cast<void*>(at), mapped, prot,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE | MAP_NORESERVE, -1, 0);
      if (p == MAP_FAILED) continue;
      if (reinterpret_cast<std::uintptr_t>(p) != at) {  // a kernel without MAP_FIXED_NOREPLACE
        ::munmap(p, mapped);
        continue;
      }
      // Leave a gap of unmapped pages after each region.
      hint = at + ((mapped + PAGE_SIZE + 0xFFFFF) & ~static_cast<std::uintptr_t>(0xFFFFF));
      return {static_cast<std::uint8_t*>(p), mapped};
    }
    hint = low;
  }
  throw std::runtime_error("no free address range below 4 GiB");
}

void LowRegion::release(void* base, std::size_t mapped) { ::munmap(base, mapped); }

// ---------------------------------------------------------------- State

std::optional<NTSTATUS> Kernel::State::fail_now(FaultPoint point, NTSTATUS usual) {
  auto it = faults.find(point);
  if (it == faults.end()) return std::nullopt;
  FaultState& f = it->second;
  const unsigned call = f.calls++;
  if (call < f.plan.skip) return std::nullopt;
  if (f.plan.count >= 0 && f.failed >= static_cast<unsigned>(f.plan.count)) return std::nullopt;
  ++f.failed;
  return f.plan.status != 0 ? f.plan.status : usual;
}

void Kernel::State::record_fault(const std::string& what) { driver_faults.push_back(what); }

const Window* Kernel::State::window_at(std::uintptr_t address, std::size_t length) const {
  auto it = windows.upper_bound(address);
  if (it == windows.begin()) return nullptr;
  --it;
  const Window& w = it->second;
  if (address >= w.virt && address + length <= w.virt + w.size) return &w;
  return nullptr;
}

bool Kernel::State::in_client(std::uintptr_t address, std::size_t length) const {
  auto it = client.upper_bound(address);
  if (it == client.begin()) return false;
  --it;
  return address >= it->first && address + length <= it->first + it->second && address + length >= address;
}

bool Kernel::State::client_page(std::uintptr_t address, std::size_t length) const {
  if (length == 0) length = 1;
  if (address + length < address) return false;
  const std::uintptr_t first = address & ~static_cast<std::uintptr_t>(PAGE_SIZE - 1);
  const std::uintptr_t last = (address + length - 1) & ~static_cast<std::uintptr_t>(PAGE_SIZE - 1);
  for (std::uintptr_t page = first;; page += PAGE_SIZE) {
    bool found = false;
    auto it = client.upper_bound(page + PAGE_SIZE - 1);
    if (it != client.begin()) {
      --it;
      found = it->first < page + PAGE_SIZE && page < it->first + it->second;
    }
    if (!found) return false;
    if (page == last) return true;
  }
}

bool Kernel::State::client_writable(std::uintptr_t address, std::size_t length) const {
  if (!client_page(address, length)) return false;
  if (client_read_only.empty()) return true;
  if (length == 0) length = 1;
  // A read-only buffer's pages are read-only whole.
  for (std::uintptr_t start : client_read_only) {
    const std::size_t size = client.at(start);
    const std::uintptr_t first = start & ~static_cast<std::uintptr_t>(PAGE_SIZE - 1);
    const std::uintptr_t end = (start + size + PAGE_SIZE - 1) & ~static_cast<std::uintptr_t>(PAGE_SIZE - 1);
    if (address < end && first < address + length) return false;
  }
  return true;
}

bool Kernel::State::in_pool(std::uintptr_t address, std::size_t length) const {
  auto it = pool.upper_bound(address);
  if (it == pool.begin()) return false;
  --it;
  return address >= it->first && address + length <= it->first + it->second.size;
}

PVOID Kernel::State::pool_allocate(std::size_t size, ULONG tag) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) return nullptr;
  std::memset(p, 0xDD, size);  // pool is not zeroed
  pool[reinterpret_cast<std::uintptr_t>(p)] = {size, tag};
  return p;
}

void Kernel::State::pool_free(PVOID block) {
  auto it = pool.find(reinterpret_cast<std::uintptr_t>(block));
  if (it == pool.end())
    bug_check("ExFreePool of " + hex(reinterpret_cast<std::uintptr_t>(block)) +
              ", which is not an allocated pool block (BAD_POOL_CALLER)");
  pool.erase(it);
  std::free(block);
}

std::string Kernel::State::unlink_device(PDEVICE_OBJECT device) {
  auto it = devices.find(device);
  if (it == devices.end()) return "unknown device object";
  const std::string label = it->second.name.empty() ? std::string("the device object") : it->second.name;
  PDRIVER_OBJECT driver = device->DriverObject;
  if (driver->DeviceObject == device) {
    driver->DeviceObject = device->NextDevice;
  } else {
    PDEVICE_OBJECT walk = driver->DeviceObject;
    while (walk != nullptr && walk->NextDevice != device) walk = walk->NextDevice;
    if (walk == nullptr)
      return label + " is not on its driver's device list (walking from DriverObject->DeviceObject reached NULL)";
    walk->NextDevice = device->NextDevice;
  }
  std::free(device);
  devices.erase(it);
  return {};
}

void Kernel::State::release_device_reference(PDEVICE_OBJECT device, const char* what) {
  auto it = devices.find(device);
  if (it == devices.end() || --it->second.open_count > 0 || !it->second.deleted) return;
  const std::string problem = unlink_device(device);
  if (!problem.empty()) record_fault(std::string(what) + ": deleting the device object: " + problem);
}

NTSTATUS Kernel::State::check_new_name(const std::string& name) const {
  if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (name[0] != '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  const auto slash = name.find_last_of('\\');
  if (slash == name.size() - 1) return STATUS_OBJECT_NAME_INVALID;
  const std::string parent = slash == 0 ? "\\" : name.substr(0, slash);
  auto dir = names.find(upper(parent));
  if (parent != "\\" && (dir == names.end() || dir->second.kind != NamespaceEntry::Kind::Directory))
    return STATUS_OBJECT_PATH_NOT_FOUND;
  if (names.count(upper(name))) return STATUS_OBJECT_NAME_COLLISION;
  return STATUS_SUCCESS;
}

void Kernel::State::reset_namespace() {
  names.clear();
  for (const char* dir : {"\\Device", "\\DosDevices", "\\Driver"})
    names[upper(dir)] = {NamespaceEntry::Kind::Directory, dir, nullptr, {}};
}

// ---------------------------------------------------------------- ClientMemory

ClientMemory::ClientMemory(ClientMemory&& other) noexcept
    : kernel_(other.kernel_), data_(other.data_), size_(other.size_), mapped_(other.mapped_) {
  other.kernel_ = nullptr;
  other.data_ = nullptr;
}

ClientMemory& ClientMemory::operator=(ClientMemory&& other) noexcept {
  if (this != &other) {
    release();
    kernel_ = other.kernel_;
    data_ = other.data_;
    size_ = other.size_;
    mapped_ = other.mapped_;
    other.kernel_ = nullptr;
    other.data_ = nullptr;
  }
  return *this;
}

ClientMemory::~ClientMemory() { release(); }

namespace {

// Changes, under its lock, what the kernel that handed out a client buffer
// records of it; nothing when that kernel is no longer the live one.
template <typename Change>
void change_client_records(Kernel* kernel, Change change) {
  std::lock_guard registry(g_kernel_mutex);
  if (kernel == nullptr || kernel != g_kernel) return;
  std::lock_guard lock(kernel->state().mutex);
  change(kernel->state());
}

// The kernel no longer counts the buffer at `data` as the client's.
void forget_client_buffer(Kernel* kernel, const std::uint8_t* data) {
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  change_client_records(kernel, [address](Kernel::State& s) {
    s.client.erase(address);
    s.client_read_only.erase(address);
  });
}

}  // namespace

void ClientMemory::revoke() {
  if (data_ == nullptr) return;
  forget_client_buffer(kernel_, data_);
  ::mprotect(data_, mapped_, PROT_NONE);
}

void ClientMemory::make_read_only() {
  if (data_ == nullptr) return;
  const auto address = reinterpret_cast<std::uintptr_t>(data_);
  change_client_records(kernel_, [address](Kernel::State& s) { s.client_read_only.insert(address); });
  ::mprotect(data_, mapped_, PROT_READ);
}

void ClientMemory::release() {
  if (data_ == nullptr) return;
  forget_client_buffer(kernel_, data_);
  LowRegion::release(data_, mapped_);
  data_ = nullptr;
}

// ---------------------------------------------------------------- Kernel

Kernel::Kernel() : state_(std::make_unique<State>()) {
  {
    std::lock_guard registry(g_kernel_mutex);
    if (g_kernel != nullptr) throw std::logic_error("a simulated kernel already exists");
    g_kernel = this;
  }
  state_->reset_namespace();
  try {
    load_profile_text(default_profile_json(), "<built-in default profile>");
  } catch (...) {
    std::lock_guard registry(g_kernel_mutex);
    g_kernel = nullptr;
    throw;
  }
}

Kernel::~Kernel() {
  if (driver_loaded()) unload_driver();
  std::lock_guard registry(g_kernel_mutex);
  g_kernel = nullptr;
}

Kernel& Kernel::current() {
  if (g_kernel == nullptr) throw std::logic_error("no simulated kernel exists");
  return *g_kernel;
}

std::string Kernel::default_profile_json() { return hw::default_profile_json(); }

void Kernel::load_profile_text(std::string_view json, std::string_view source_name) {
  hw::MachineProfile profile = hw::parse_profile(
      json, source_name, [](const std::string& name) { return fault_point_from_name(name).has_value(); });
  std::map<FaultPoint, FaultState> faults;
  for (const hw::FaultConfig& f : profile.faults) {
    auto point = fault_point_from_name(f.name);
    if (!point) throw std::runtime_error(std::string(source_name) + ": faults: unknown fault \"" + f.name + "\"");
    faults[*point] = {{f.skip, f.count, static_cast<NTSTATUS>(f.status)}, 0, 0};
  }
  std::lock_guard lock(state_->mutex);
  if (state_->driver) throw std::logic_error("the machine profile cannot change while a driver is loaded");
  if (!state_->windows.empty()) throw std::logic_error("the machine profile cannot change while windows are mapped");
  state_->machine = std::make_unique<hw::Machine>(profile, state_->clock);
  // A serial EEPROM clocked faster than its data sheet allows is the
  // driver's fault, as on the real board where the part would misread;
  // unless the pins were set by a client's raw writes, which the driver
  // passes on as they come: then it is the client's misuse.
  for (hw::Adapter* adapter : state_->machine->adapters()) {
    adapter->eeprom().set_master_probe([] { return t_raw_write_code ? hw::PinMaster::client : hw::PinMaster::driver; });
    adapter->eeprom().set_violation_sink([state = state_.get()](const std::string& what, hw::PinMaster culprit) {
      if (culprit != hw::PinMaster::client) return state->record_fault(what);
      // Kept bounded: a client may misuse the part without end.
      auto& misuse = state->client_misuse;
      if (misuse.size() >= hw::MicrowireEeprom::kRecorderLimit)
        misuse.erase(misuse.begin(), misuse.begin() + misuse.size() / 2);
      misuse.push_back(hex(t_request_code) + ": " + what);
    });
  }
  state_->profile = std::move(profile);
  state_->faults = std::move(faults);
  state_->client_admin = state_->profile.client_admin;
  state_->arbiter.clear();
}

void Kernel::load_profile_file(const std::filesystem::path& path) {
  load_profile_text(sim::read_input_file(path, hw::kMaxProfileBytes, "profile"), path.string());
}

NTSTATUS Kernel::load_driver(PDRIVER_INITIALIZE entry, std::string_view registry_path) {
  if (entry == nullptr) throw std::invalid_argument("no driver entry");
  State& s = *state_;
  PDRIVER_OBJECT driver = nullptr;
  {
    std::lock_guard lock(s.mutex);
    if (s.driver) throw std::logic_error("a driver is already loaded");
    std::string service(registry_path);
    const auto slash = service.find_last_of('\\');
    if (slash != std::string::npos) service = service.substr(slash + 1);
    s.driver = std::make_unique<DRIVER_OBJECT>();
    driver = s.driver.get();
    std::memset(driver, 0, sizeof *driver);
    driver->Type = 4;  // IO_TYPE_DRIVER
    driver->Size = sizeof(DRIVER_OBJECT);
    s.driver_name_buffer = wide("\\Driver\\" + service);
    driver->DriverName = {static_cast<USHORT>((s.driver_name_buffer.size() - 1) * 2),
                          static_cast<USHORT>(s.driver_name_buffer.size() * 2), s.driver_name_buffer.data()};
    driver->DriverInit = entry;
    for (auto& fn : driver->MajorFunction) fn = IopInvalidDeviceRequest;
    s.registry_path_buffer = wide(registry_path);
    s.registry_path = {static_cast<USHORT>((s.registry_path_buffer.size() - 1) * 2),
                       static_cast<USHORT>(s.registry_path_buffer.size() * 2), s.registry_path_buffer.data()};
    s.names[upper("\\Driver\\" + service)] = {NamespaceEntry::Kind::Device, "\\Driver\\" + service, nullptr, {}};
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  try {
    UNICODE_STRING path = s.registry_path;  // the driver gets its own view of the kernel's copy
    PassiveCall passive;
    status = entry(driver, &path);
    PassiveCall::check_returned("DriverEntry");
  } catch (const BugCheck& b) {
    std::lock_guard lock(s.mutex);
    s.record_fault("DriverEntry: " + std::string(b.what()));
    status = STATUS_UNSUCCESSFUL;
  }
  std::lock_guard lock(s.mutex);
  // The I/O manager finishes initialisation of the devices made in DriverEntry.
  for (auto& [device, record] : s.devices)
    if (record.driver == driver) device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  if (!NT_SUCCESS(status)) {
    // NT deletes the driver object; whatever the entry left behind leaks.
    std::vector<std::string> leftovers;
    for (auto& [device, record] : s.devices)
      if (record.driver == driver)
        leftovers.push_back("device object " +
                            (record.name.empty() ? hex(reinterpret_cast<std::uintptr_t>(device)) : record.name));
    for (const auto& [key, entry_] : s.names)
      if (entry_.kind == NamespaceEntry::Kind::Link) leftovers.push_back("symbolic link " + entry_.name);
    if (!s.pool.empty()) leftovers.push_back(std::to_string(s.pool.size()) + " pool block(s)");
    for (const std::string& claim : s.arbiter.describe_driver(driver)) leftovers.push_back("resource claim " + claim);
    s.arbiter.release_driver(driver);
    for (const std::string& what : leftovers) s.record_fault("DriverEntry failed but left " + what);
    for (auto it = s.devices.begin(); it != s.devices.end();) {
      if (it->second.driver == driver) {
        std::free(it->first);
        it = s.devices.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [address, block] : s.pool) std::free(reinterpret_cast<void*>(address));
    s.pool.clear();
    s.reset_namespace();
    s.driver.reset();
  }
  return status;
}

bool Kernel::driver_loaded() const {
  std::lock_guard lock(state_->mutex);
  return state_->driver != nullptr;
}

PDRIVER_OBJECT Kernel::driver_object() const {
  std::lock_guard lock(state_->mutex);
  return state_->driver.get();
}

LeakReport Kernel::unload_driver() {
  State& s = *state_;
  std::vector<Handle> open;
  PDRIVER_OBJECT driver = nullptr;
  {
    std::lock_guard lock(s.mutex);
    if (!s.driver) throw std::logic_error("no driver is loaded");
    driver = s.driver.get();
    for (const auto& [handle, record] : s.handles) open.push_back(handle);
  }
  for (Handle h : open) close(h);  // the client process goes away first
  LeakReport report;
  if (driver->DriverUnload == nullptr) {
    report.unload_routine_missing = true;
  } else {
    try {
      PassiveCall passive;
      driver->DriverUnload(driver);
      PassiveCall::check_returned("DriverUnload");
    } catch (const BugCheck& b) {
      std::lock_guard lock(s.mutex);
      s.record_fault("DriverUnload: " + std::string(b.what()));
    }
  }
  std::lock_guard lock(s.mutex);
  for (const auto& [device, record] : s.devices) {
    if (record.driver != driver || record.deleted) continue;
    report.devices.push_back(
        record.name.empty() ? "unnamed device object " + hex(reinterpret_cast<std::uintptr_t>(device)) : record.name);
  }
  for (const auto& [key, entry] : s.names)
    if (entry.kind == NamespaceEntry::Kind::Link) report.links.push_back(entry.name + " -> " + entry.target);
  for (const auto& [address, block] : s.pool) {
    std::string text = std::to_string(block.size) + " bytes at " + hex(address);
    if (block.tag != 0) {
      char tag[5] = {static_cast<char>(block.tag), static_cast<char>(block.tag >> 8),
                     static_cast<char>(block.tag >> 16), static_cast<char>(block.tag >> 24), 0};
      text += " tag '" + std::string(tag) + "'";
    }
    report.pool.push_back(text);
  }
  for (const auto& [address, w] : s.windows)
    report.windows.push_back(std::to_string(w.size) + " bytes at " + hex(w.virt) + " over physical " + hex(w.physical));
  // Claims are kept by the system until they are given back (on NT 4 in
  // the registry's resource map, across restarts of the driver), so one the
  // driver left is a leak: its slot stays claimed until the machine starts
  // again.
  report.claims = s.arbiter.describe_driver(driver);
  // Remove everything, so that the driver can be loaded again.
  for (auto& [device, record] : s.devices) std::free(device);
  s.devices.clear();
  for (auto& [address, block] : s.pool) std::free(reinterpret_cast<void*>(address));
  s.pool.clear();
  for (auto& [address, w] : s.windows) LowRegion::release(w.base, w.mapped);
  s.windows.clear();
  s.system_ptes_used = 0;
  s.arbiter.release_driver(driver);
  s.reset_namespace();
  s.driver.reset();
  return report;
}

// ---------------------------------------------------------------- I/O manager

namespace {

struct CallOutcome {
  NTSTATUS status = STATUS_SUCCESS;
  bool faulted = false;
};

CallOutcome call_driver(Kernel::State& s, PDEVICE_OBJECT device, IrpBlock& block, const char* what) {
  CallOutcome out;
  {
    std::lock_guard lock(s.mutex);
    s.irps.insert(&block.irp);
  }
  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[block.stack.MajorFunction];
  try {
    PassiveCall passive;
    if (dispatch == nullptr) bug_check(std::string(what) + ": the driver cleared its MajorFunction entry");
    out.status = dispatch(device, &block.irp);
    PassiveCall::check_returned("the dispatch routine");
  } catch (const BugCheck& b) {
    std::lock_guard lock(s.mutex);
    s.record_fault(std::string(what) + ": " + b.what());
    out.faulted = true;
  }
  std::lock_guard lock(s.mutex);
  s.irps.erase(&block.irp);
  if (!out.faulted && !block.completed) {
    s.record_fault(std::string(what) + ": the request was not completed before its dispatch routine returned");
    out.faulted = true;
  }
  return out;
}

void init_irp(IrpBlock& block, PDEVICE_OBJECT device, UCHAR major) {
  block.irp.Type = 6;  // IO_TYPE_IRP
  block.irp.Size = sizeof(IRP);
  block.irp.StackCount = 1;
  block.irp.CurrentLocation = 1;
  block.irp.RequestorMode = UserMode;
  // The I/O manager allocates every request with its I/O status zeroed
  // (IoAllocateIrp initialises the whole IRP; ReactOS's IoInitializeIrp as
  // a behaviour reference): a dispatch routine that leaves the status as it
  // arrived completes the request with STATUS_SUCCESS.
  block.irp.IoStatus.Status = STATUS_SUCCESS;
  block.irp.IoStatus.Information = 0;
  block.irp.Tail.Overlay.CurrentStackLocation = &block.stack;
  block.stack.MajorFunction = major;
  block.stack.DeviceObject = device;
}

}  // namespace

// CreateFile asks NtCreateFile for SYNCHRONIZE | FILE_READ_ATTRIBUTES beside
// the caller's access (Wine's kernelbase and ReactOS's kernel32 do the same).
OpenResult Kernel::open(std::string_view name, ACCESS_MASK desired) {
  return open_as(name, desired | SYNCHRONIZE | FILE_READ_ATTRIBUTES, UserMode, false);
}

OpenResult Kernel::open_native(std::string_view name, ACCESS_MASK desired) {
  return open_as(name, desired, UserMode, false);
}

OpenResult Kernel::open_from_kernel(std::string_view name, ACCESS_MASK desired, bool force_access_check) {
  return open_as(name, desired, KernelMode, force_access_check);
}

// The open path of NT's I/O manager (IopParseDevice; the rules and their
// sources are in the table "The simulated I/O manager's open" of
// docs/nicport.md).
OpenResult Kernel::open_as(std::string_view name, ACCESS_MASK desired, KPROCESSOR_MODE mode, bool force_access_check) {
  State& s = *state_;
  // Generic rights are mapped with the file object type's mapping before
  // any check; MAXIMUM_ALLOWED stays.
  desired = map_generic(desired, &g_file_mapping);
  PDEVICE_OBJECT device = nullptr;
  std::string remainder;  // the part of the name below the device
  std::shared_ptr<const DescriptorCopy> device_security;
  bool traverse = true;
  bool admin = true;
  {
    std::lock_guard lock(s.mutex);
    std::string path = normalise_client_name(name);
    for (int depth = 0;; ++depth) {
      if (depth > 8) return {STATUS_OBJECT_NAME_NOT_FOUND, -1, false};
      if (path.empty() || path[0] != '\\') return {STATUS_OBJECT_PATH_SYNTAX_BAD, -1, false};
      // The object manager walks the name from the root: the longest
      // leading part that names an object decides; a link is replaced by
      // its target, a device takes the rest of the name as its own.
      std::string prefix = path;
      std::string rest;
      auto it = s.names.find(upper(prefix));
      while (it == s.names.end()) {
        const auto slash = prefix.find_last_of('\\');
        if (slash == 0 || slash == std::string::npos) return {STATUS_OBJECT_NAME_NOT_FOUND, -1, false};
        rest = prefix.substr(slash) + rest;
        prefix = prefix.substr(0, slash);
        it = s.names.find(upper(prefix));
      }
      if (it->second.kind == NamespaceEntry::Kind::Link) {
        path = it->second.target + rest;
        continue;
      }
      if (it->second.kind == NamespaceEntry::Kind::Directory) {
        if (rest.empty()) return {STATUS_ACCESS_DENIED, -1, false};  // a directory is not a file
        const bool last = rest.find('\\', 1) == std::string::npos;
        return {last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND, -1, false};
      }
      if (it->second.device == nullptr) return {STATUS_ACCESS_DENIED, -1, false};  // a driver object
      device = it->second.device;
      remainder = rest;
      break;
    }
    // The I/O manager refuses opens until the device is initialised: it
    // clears the flag itself only for devices made in DriverEntry.
    if (device->Flags & DO_DEVICE_INITIALIZING) return {STATUS_NO_SUCH_DEVICE, -1, false};
    DeviceRecord& record = s.devices.at(device);
    if (record.exclusive && record.open_count > 0) return {STATUS_ACCESS_DENIED, -1, false};
    ++record.open_count;
    device_security = record.security;
    traverse = s.client_traverse;
    admin = s.client_admin;
  }
  auto refuse = [&](NTSTATUS status, bool faulted) {
    std::lock_guard lock(s.mutex);
    --s.devices.at(device).open_count;
    return OpenResult{status, -1, faulted};
  };
  const Token& token = client_token(admin, traverse);
  ACCESS_STATE access{};
  access.OriginalDesiredAccess = desired;
  access.RemainingDesiredAccess = desired;
  access.SubjectSecurityContext.PrimaryToken = const_cast<Token*>(&token);
  // Opens from user mode, and kernel-mode ones with IO_FORCE_ACCESS_CHECK,
  // are checked as user mode; other kernel-mode opens are not checked.
  if ((mode != KernelMode || force_access_check) && device_security != nullptr) {
    try {
      const SECURITY_DESCRIPTOR* sd = &device_security->sd;
      // A name below the device: the traverse check, unless the token may
      // bypass it.
      if (!remainder.empty() && !token.traverse &&
          !access_check(sd, token, FILE_TRAVERSE, 0, &g_file_mapping, UserMode).granted)
        return refuse(STATUS_ACCESS_DENIED, false);
      // The device itself, or any name below one with FILE_DEVICE_SECURE_OPEN.
      if (remainder.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN) != 0) {
        const AccessDecision d = access_check(sd, token, access.RemainingDesiredAccess, 0, &g_file_mapping, UserMode);
        if (!d.granted) return refuse(STATUS_ACCESS_DENIED, false);
        access.PreviouslyGrantedAccess |= d.access;
        access.RemainingDesiredAccess &= ~(d.access | static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED));
      }
    } catch (const BugCheck& b) {
      {
        std::lock_guard lock(s.mutex);
        s.record_fault(std::string("IRP_MJ_CREATE: the I/O manager's access check: ") + b.what());
      }
      return refuse(STATUS_UNSUCCESSFUL, true);
    }
  }

  HandleRecord handle_record;
  handle_record.device = device;
  handle_record.file = std::make_unique<FILE_OBJECT>();
  FILE_OBJECT* file = handle_record.file.get();
  std::memset(file, 0, sizeof *file);
  file->Type = 5;  // IO_TYPE_FILE
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  handle_record.name.assign(remainder.begin(), remainder.end());
  handle_record.name.push_back(0);
  file->FileName = {static_cast<USHORT>(remainder.size() * 2), static_cast<USHORT>(handle_record.name.size() * 2),
                    handle_record.name.data()};
  // What remains of the access asked goes to the create routine.
  IO_SECURITY_CONTEXT security{};
  security.AccessState = &access;
  security.DesiredAccess = access.RemainingDesiredAccess;
  IrpBlock block;
  init_irp(block, device, IRP_MJ_CREATE);
  block.irp.RequestorMode = mode;
  block.stack.Flags = force_access_check ? SL_FORCE_ACCESS_CHECK : 0;
  block.stack.FileObject = file;
  block.stack.Parameters.Create.SecurityContext = &security;
  CallOutcome out = call_driver(s, device, block, "IRP_MJ_CREATE");
  std::lock_guard lock(s.mutex);
  if (out.faulted || !NT_SUCCESS(out.status)) {
    s.release_device_reference(device, "IRP_MJ_CREATE");
    return {out.faulted ? STATUS_UNSUCCESSFUL : out.status, -1, out.faulted};
  }
  // The handle holds what was granted, and what was left unchecked.
  ACCESS_MASK left = access.RemainingDesiredAccess;
  if (left & MAXIMUM_ALLOWED) left = (left & ~static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED)) | g_file_mapping.GenericAll;
  handle_record.granted = access.PreviouslyGrantedAccess | left;
  const Handle handle = s.next_handle++;
  s.handles[handle] = std::move(handle_record);
  return {out.status, handle, false};
}

NTSTATUS Kernel::close(Handle handle) {
  State& s = *state_;
  HandleRecord record;
  {
    std::lock_guard lock(s.mutex);
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) return STATUS_INVALID_HANDLE;
    record = std::move(it->second);
    s.handles.erase(it);
  }
  PDEVICE_OBJECT device = record.device;
  for (UCHAR major : {static_cast<UCHAR>(IRP_MJ_CLEANUP), static_cast<UCHAR>(IRP_MJ_CLOSE)}) {
    IrpBlock block;
    init_irp(block, device, major);
    block.stack.FileObject = record.file.get();
    call_driver(s, device, block, major == IRP_MJ_CLEANUP ? "IRP_MJ_CLEANUP" : "IRP_MJ_CLOSE");
  }
  std::lock_guard lock(s.mutex);
  s.release_device_reference(device, "IRP_MJ_CLOSE");
  return STATUS_SUCCESS;
}

IoResult Kernel::device_io_control(Handle handle, ULONG code, std::span<const std::uint8_t> input,
                                   ULONG output_length) {
  State& s = *state_;
  PDEVICE_OBJECT device = nullptr;
  PFILE_OBJECT file = nullptr;
  {
    std::lock_guard lock(s.mutex);
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) return {STATUS_INVALID_HANDLE, 0, {}, false};
    device = it->second.device;
    file = it->second.file.get();
  }
  if ((code & 3) != METHOD_BUFFERED)
    return {STATUS_NOT_IMPLEMENTED, 0, {}, false};  // only the buffered method is simulated
  const std::size_t length = std::max<std::size_t>(input.size(), output_length);
  // Exact size, so that overruns are caught by the address sanitizer.
  std::vector<std::uint8_t> system_buffer(length, kSystemBufferPoison);
  std::copy(input.begin(), input.end(), system_buffer.begin());
  IrpBlock block;
  init_irp(block, device, IRP_MJ_DEVICE_CONTROL);
  block.stack.FileObject = file;
  block.irp.AssociatedIrp.SystemBuffer = length != 0 ? system_buffer.data() : nullptr;
  block.irp.Flags = output_length != 0 ? 0x40 /* IRP_INPUT_OPERATION */ : 0;
  block.stack.Parameters.DeviceIoControl.OutputBufferLength = output_length;
  block.stack.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
  block.stack.Parameters.DeviceIoControl.IoControlCode = code;
  bool raw_write = false;
  {
    std::lock_guard lock(s.mutex);
    raw_write = s.is_raw_write && s.is_raw_write(code);
  }
  // The request this thread is in, for whoever the hardware blames.
  struct InRequest {
    InRequest(ULONG code, bool raw) { t_request_code = code, t_raw_write_code = raw; }
    ~InRequest() { t_request_code = 0, t_raw_write_code = false; }
  } in_request(code, raw_write);
  CallOutcome out = call_driver(s, device, block, "IRP_MJ_DEVICE_CONTROL");
  IoResult result;
  result.status = out.faulted && !block.completed ? STATUS_UNSUCCESSFUL : out.status;
  result.faulted = out.faulted;
  result.information = block.irp.IoStatus.Information;
  if (out.faulted) return result;
  if (!NT_ERROR(block.irp.IoStatus.Status) && result.information != 0) {
    if (result.information > output_length) {
      std::lock_guard lock(s.mutex);
      s.record_fault("IRP_MJ_DEVICE_CONTROL " + hex(code) + ": Information " + std::to_string(result.information) +
                     " exceeds the output buffer length " + std::to_string(output_length));
      result.faulted = true;
      return result;
    }
    result.output.assign(system_buffer.begin(),
                         system_buffer.begin() + static_cast<std::ptrdiff_t>(result.information));
  }
  return result;
}

ClientMemory Kernel::client_alloc(std::size_t size) {
  auto [data, mapped] = LowRegion::reserve(kClientLow, kClientHigh, size, true);
  std::lock_guard lock(state_->mutex);
  state_->client[reinterpret_cast<std::uintptr_t>(data)] = size;
  return ClientMemory(this, data, size, mapped);
}

void Kernel::set_client_admin(bool admin) {
  std::lock_guard lock(state_->mutex);
  state_->client_admin = admin;
}

void Kernel::set_client_traverse_privilege(bool held) {
  std::lock_guard lock(state_->mutex);
  state_->client_traverse = held;
}

std::optional<ACCESS_MASK> Kernel::handle_access(Handle handle) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->handles.find(handle);
  if (it == state_->handles.end()) return std::nullopt;
  return it->second.granted;
}

NTSTATUS Kernel::set_device_security(std::string_view device_name, PSECURITY_DESCRIPTOR descriptor) {
  std::shared_ptr<const DescriptorCopy> copy = copy_descriptor(descriptor);
  std::lock_guard lock(state_->mutex);
  auto it = state_->names.find(upper(normalise_client_name(device_name)));
  if (it == state_->names.end() || it->second.kind != NamespaceEntry::Kind::Device || it->second.device == nullptr)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  state_->devices.at(it->second.device).security = std::move(copy);
  return STATUS_SUCCESS;
}

bool Kernel::client_admin() const {
  std::lock_guard lock(state_->mutex);
  return state_->client_admin;
}

bool Kernel::is_client_range(std::uintptr_t address, std::size_t length) const {
  std::lock_guard lock(state_->mutex);
  return state_->in_client(address, length);
}

// ---------------------------------------------------------------- observation

std::vector<std::string> Kernel::debug_log() const {
  std::lock_guard lock(state_->mutex);
  return state_->log;
}

void Kernel::clear_debug_log() {
  std::lock_guard lock(state_->mutex);
  state_->log.clear();
}

void Kernel::set_debug_echo(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(state_->mutex);
  state_->echo = std::move(sink);
}

std::vector<std::string> Kernel::driver_faults() const {
  std::lock_guard lock(state_->mutex);
  return state_->driver_faults;
}

void Kernel::clear_driver_faults() {
  std::lock_guard lock(state_->mutex);
  state_->driver_faults.clear();
}

void Kernel::set_raw_write_codes(std::function<bool(ULONG code)> is_raw_write) {
  std::lock_guard lock(state_->mutex);
  state_->is_raw_write = std::move(is_raw_write);
}

std::vector<std::string> Kernel::client_misuse() const {
  std::lock_guard lock(state_->mutex);
  return state_->client_misuse;
}

bool Kernel::object_exists(std::string_view name) const {
  std::lock_guard lock(state_->mutex);
  return state_->names.count(upper(normalise_client_name(name))) != 0;
}

std::optional<std::string> Kernel::link_target(std::string_view link) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->names.find(upper(normalise_client_name(link)));
  if (it == state_->names.end() || it->second.kind != NamespaceEntry::Kind::Link) return std::nullopt;
  return it->second.target;
}

std::size_t Kernel::pool_blocks() const {
  std::lock_guard lock(state_->mutex);
  return state_->pool.size();
}

std::vector<Kernel::IoSpaceMapping> Kernel::io_space_mappings() const {
  std::lock_guard lock(state_->mutex);
  return state_->mapping_calls;
}

std::size_t Kernel::mapped_windows() const {
  std::lock_guard lock(state_->mutex);
  return state_->windows.size();
}

void Kernel::set_system_ptes(std::size_t entries) {
  std::lock_guard lock(state_->mutex);
  state_->system_ptes = std::max(entries, state_->system_ptes_used);
}

std::size_t Kernel::system_ptes() const {
  std::lock_guard lock(state_->mutex);
  return state_->system_ptes;
}

std::size_t Kernel::system_ptes_in_use() const {
  std::lock_guard lock(state_->mutex);
  return state_->system_ptes_used;
}

std::vector<std::string> Kernel::resource_claims() const {
  std::lock_guard lock(state_->mutex);
  return state_->arbiter.describe();
}

std::uint64_t Kernel::now_us() const {
  std::lock_guard lock(state_->mutex);
  return state_->clock.now_us();
}

std::uint64_t Kernel::now_ns() const {
  std::lock_guard lock(state_->mutex);
  return state_->clock.now_ns();
}

VirtualClock& Kernel::clock() { return state_->clock; }

void Kernel::inject_fault(FaultPoint point, FaultPlan plan) {
  std::lock_guard lock(state_->mutex);
  state_->faults[point] = {plan, 0, 0};
}

void Kernel::clear_faults() {
  std::lock_guard lock(state_->mutex);
  state_->faults.clear();
}

void Kernel::break_at(std::string function, unsigned nth, std::function<void()> action) {
  if (nth == 0) throw std::invalid_argument("break_at: calls are counted from 1");
  std::lock_guard lock(state_->break_mutex);
  state_->breakpoints.push_back({std::move(function), nth, std::move(action)});
  state_->any_breakpoint = true;
}

void Kernel::clear_breakpoints() {
  std::lock_guard lock(state_->break_mutex);
  state_->breakpoints.clear();
  state_->any_breakpoint = false;
}

thread_local KIRQL g_irql = PASSIVE_LEVEL;

namespace {
const char* irql_name(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "a device IRQL";
  }
}
}  // namespace

void require_irql(const char* function, KIRQL highest) {
  if (g_irql <= highest) return;
  bug_check(std::string(function) + " called at " + irql_name(g_irql) + "; it needs " + irql_name(highest) +
            (highest == PASSIVE_LEVEL ? "" : " or lower") + " (IRQL_NOT_LESS_OR_EQUAL)");
}

void PassiveCall::check_returned(const std::string& what) {
  if (g_irql == PASSIVE_LEVEL) return;
  const KIRQL left = g_irql;
  g_irql = PASSIVE_LEVEL;
  bug_check(what + " returned at " + irql_name(left) + " (IRQL_GT_ZERO_AT_SYSTEM_SERVICE)");
}

void checkpoint(const char* function) {
  Kernel::State& s = current_state();
  if (!s.any_breakpoint) return;
  std::function<void()> action;
  {
    std::lock_guard lock(s.break_mutex);
    for (auto it = s.breakpoints.begin(); it != s.breakpoints.end(); ++it) {
      if (it->function != function || --it->remaining != 0) continue;
      action = std::move(it->action);
      s.breakpoints.erase(it);
      s.any_breakpoint = !s.breakpoints.empty();
      break;
    }
  }
  if (action) action();
}

hw::Machine& Kernel::machine() { return *state_->machine; }

hw::Adapter* Kernel::adapter(std::size_t index) {
  std::lock_guard lock(state_->mutex);
  const auto& adapters = state_->machine->adapters();
  return index < adapters.size() ? adapters[index] : nullptr;
}

// ---------------------------------------------------------------- names and reports

namespace {
constexpr std::pair<FaultPoint, std::string_view> kFaultNames[] = {
    {FaultPoint::CreateDevice, "create_device"},
    {FaultPoint::CreateSymbolicLink, "create_symbolic_link"},
    {FaultPoint::TranslateBusAddress, "translate_bus_address"},
    {FaultPoint::MapIoSpace, "map_io_space"},
    {FaultPoint::AssignSlotResources, "assign_slot_resources"},
    {FaultPoint::AssignResources, "assign_resources"},
    {FaultPoint::ReportResourceUsage, "report_resource_usage"},
    {FaultPoint::AllocatePool, "allocate_pool"},
};
}  // namespace

std::optional<FaultPoint> fault_point_from_name(std::string_view name) {
  for (const auto& [point, text] : kFaultNames)
    if (text == name) return point;
  return std::nullopt;
}

std::string_view fault_point_name(FaultPoint point) {
  for (const auto& [p, text] : kFaultNames)
    if (p == point) return text;
  return "?";
}

std::string LeakReport::to_string() const {
  std::ostringstream out;
  if (unload_routine_missing) out << "the driver has no unload routine\n";
  for (const auto& d : devices) out << "device object: " << d << '\n';
  for (const auto& l : links) out << "symbolic link: " << l << '\n';
  for (const auto& p : pool) out << "pool block: " << p << '\n';
  for (const auto& w : windows) out << "mapped window: " << w << '\n';
  for (const auto& c : claims) out << "resource claim: " << c << '\n';
  return out.str();
}

}  // namespace sim::kernel
