// The HAL and memory manager: port and register access routed to the
// device models, PCI configuration space, bus address translation, mapping
// of I/O windows, address checks, the stall clock and synchronisation.
#include <sys/mman.h>

#include <cstring>
#include <thread>
#include <tuple>

#include "sim/kernel/state.h"

// The simulator's helpers and records (sim/kernel/state.h) by their short names.
using namespace sim::kernel;

extern "C" {
ULONG_PTR MmUserProbeAddress = kClientHigh;
ULONG_PTR MmHighestUserAddress = kClientHigh - 0x10001;
}

namespace {

std::uint32_t port_number(const volatile void* port) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(port)) & 0xFFFF;  // DX holds 16 bits
}

std::uint32_t read_register(const volatile void* address, unsigned width, const char* what) {
  checkpoint(what);
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  if (const auto* w = s.window_at(a, width)) return s.machine->memory_read(w->physical + (a - w->virt), width);
  if (s.in_client(a, width) || s.in_pool(a, width)) {
    std::uint32_t value = 0;
    std::memcpy(&value, const_cast<const void*>(address), width);
    return value;
  }
  bug_check(std::string(what) + " on " + hex(a) + ", outside every mapped window");
}

void write_register(volatile void* address, unsigned width, std::uint32_t value, const char* what) {
  checkpoint(what);
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  if (const auto* w = s.window_at(a, width)) {
    s.machine->memory_write(w->physical + (a - w->virt), width, value);
    return;
  }
  if (s.in_client(a, width) || s.in_pool(a, width)) {
    std::memcpy(const_cast<void*>(address), &value, width);
    return;
  }
  bug_check(std::string(what) + " on " + hex(a) + ", outside every mapped window");
}

// A buffer the HAL reads or writes for the caller: the driver's own memory
// (above 4 GiB on the host) or the client's pages. A low address that is
// neither would fault on the real machine.
void check_buffer(Kernel::State& s, PVOID buffer, ULONG length, bool written, const char* what) {
  const auto a = reinterpret_cast<std::uintptr_t>(buffer);
  if (buffer == nullptr) bug_check(std::string(what) + " with a NULL buffer");
  if (a > 0xFFFFFFFFu) return;
  if ((written ? s.client_writable(a, length) : s.client_page(a, length)) || s.window_at(a, length) != nullptr) return;
  bug_check(std::string(what) + ": buffer " + hex(a) + " (" + std::to_string(length) +
            " bytes) is not mapped memory (PAGE_FAULT_IN_NONPAGED_AREA)");
}

sim::hw::PciFunction* pci_function(Kernel::State& s, ULONG bus, ULONG slot) {
  PCI_SLOT_NUMBER number;
  number.u.AsULONG = slot;
  return s.machine->function(bus, number.u.bits.DeviceNumber, number.u.bits.FunctionNumber);
}

thread_local char this_thread_marker;
PVOID this_thread() { return &this_thread_marker; }

constexpr UCHAR kMutantObject = 2;

}  // namespace

extern "C" {

// ---- ports
UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) {
  checkpoint("READ_PORT_UCHAR");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  return static_cast<UCHAR>(s.machine->port_read(port_number(Port), 1));
}
USHORT NTAPI READ_PORT_USHORT(PUSHORT Port) {
  checkpoint("READ_PORT_USHORT");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  return static_cast<USHORT>(s.machine->port_read(port_number(Port), 2));
}
ULONG NTAPI READ_PORT_ULONG(PULONG Port) {
  checkpoint("READ_PORT_ULONG");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  return s.machine->port_read(port_number(Port), 4);
}
VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  checkpoint("WRITE_PORT_UCHAR");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  s.machine->port_write(port_number(Port), 1, Value);
}
VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
  checkpoint("WRITE_PORT_USHORT");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  s.machine->port_write(port_number(Port), 2, Value);
}
VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value) {
  checkpoint("WRITE_PORT_ULONG");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  s.machine->port_write(port_number(Port), 4, Value);
}

// ---- registers
UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR* Register) {
  return static_cast<UCHAR>(read_register(Register, 1, "READ_REGISTER_UCHAR"));
}
USHORT NTAPI READ_REGISTER_USHORT(volatile USHORT* Register) {
  return static_cast<USHORT>(read_register(Register, 2, "READ_REGISTER_USHORT"));
}
ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG* Register) { return read_register(Register, 4, "READ_REGISTER_ULONG"); }
VOID NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) {
  write_register(Register, 1, Value, "WRITE_REGISTER_UCHAR");
}
VOID NTAPI WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) {
  write_register(Register, 2, Value, "WRITE_REGISTER_USHORT");
}
VOID NTAPI WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
  write_register(Register, 4, Value, "WRITE_REGISTER_ULONG");
}

// ---- PCI configuration space
ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                                  ULONG Offset, ULONG Length) {
  checkpoint("HalGetBusDataByOffset");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (BusDataType != PCIConfiguration || !s.machine->bus_exists(BusNumber)) return 0;
  if (Length == 0) return 0;
  check_buffer(s, Buffer, Length, true, "HalGetBusDataByOffset");
  auto* bytes = static_cast<UCHAR*>(Buffer);
  sim::hw::PciFunction* fn = pci_function(s, BusNumber, SlotNumber);
  if (fn == nullptr) {
    // No device: the vendor field reads PCI_INVALID_VENDORID, 2 bytes.
    for (ULONG i = 0; i < Length && Offset + i < 2; ++i) bytes[i] = 0xFF;
    return 2;
  }
  if (Offset >= sizeof(PCI_COMMON_CONFIG)) return 0;
  const ULONG count = std::min<ULONG>(Length, sizeof(PCI_COMMON_CONFIG) - Offset);
  for (ULONG i = 0; i < count; ++i) bytes[i] = static_cast<UCHAR>(fn->config_read(Offset + i, 1));
  return count;
}

ULONG NTAPI HalSetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                                  ULONG Offset, ULONG Length) {
  checkpoint("HalSetBusDataByOffset");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (BusDataType != PCIConfiguration || !s.machine->bus_exists(BusNumber)) return 0;
  if (Length == 0) return 0;
  check_buffer(s, Buffer, Length, false, "HalSetBusDataByOffset");
  sim::hw::PciFunction* fn = pci_function(s, BusNumber, SlotNumber);
  if (fn == nullptr || Offset >= sizeof(PCI_COMMON_CONFIG)) return 0;
  const ULONG count = std::min<ULONG>(Length, sizeof(PCI_COMMON_CONFIG) - Offset);
  const auto* bytes = static_cast<const UCHAR*>(Buffer);
  // Whole aligned dwords go in one cycle (a BAR written with all ones reads
  // back its size mask either way).
  for (ULONG i = 0; i < count;) {
    const ULONG at = Offset + i;
    if (at % 4 == 0 && count - i >= 4) {
      std::uint32_t value = 0;
      std::memcpy(&value, bytes + i, 4);
      fn->config_write(at, 4, value);
      i += 4;
    } else {
      fn->config_write(at, 1, bytes[i]);
      ++i;
    }
  }
  return count;
}

ULONG NTAPI HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer, ULONG Length) {
  return HalGetBusDataByOffset(BusDataType, BusNumber, SlotNumber, Buffer, 0, Length);
}

ULONG NTAPI HalSetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer, ULONG Length) {
  return HalSetBusDataByOffset(BusDataType, BusNumber, SlotNumber, Buffer, 0, Length);
}

// ---- translation and mapping
BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber, PHYSICAL_ADDRESS BusAddress,
                                     PULONG AddressSpace, PPHYSICAL_ADDRESS TranslatedAddress) {
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (AddressSpace == nullptr || TranslatedAddress == nullptr)
    bug_check("HalTranslateBusAddress without result pointers");
  if (s.fail_now(FaultPoint::TranslateBusAddress, 0)) return FALSE;
  switch (InterfaceType) {
    case PCIBus:
      if (!s.machine->bus_exists(BusNumber)) return FALSE;
      break;
    case Internal:
    case Isa:
    case Eisa:
      if (BusNumber != 0) return FALSE;
      break;
    default: return FALSE;
  }
  const std::uint64_t address = static_cast<std::uint64_t>(BusAddress.QuadPart);
  if ((*AddressSpace & 1) != 0) {  // I/O space stays I/O space on x86
    if (address > 0xFFFF) return FALSE;
    TranslatedAddress->QuadPart = BusAddress.QuadPart;
    *AddressSpace = 1;
    return TRUE;
  }
  if (address > 0xFFFFFFFFull) return FALSE;
  if (InterfaceType == PCIBus) {
    for (const sim::hw::IoTranslation& range : s.profile.translate_to_io) {
      if (range.bus == BusNumber && address >= range.start && address < range.start + range.size) {
        TranslatedAddress->QuadPart = static_cast<LONGLONG>(range.io_base + (address - range.start));
        *AddressSpace = 1;
        return TRUE;
      }
    }
  }
  TranslatedAddress->QuadPart = BusAddress.QuadPart;
  *AddressSpace = 0;
  return TRUE;
}

// MmMapIoSpace: PASSIVE_LEVEL only (the NT 4.0 DDK's page; later kernels
// allow DISPATCH_LEVEL, so the older limit holds for both). Every page of
// the mapping takes a system page-table entry; NT sizes that pool at boot
// from the memory size, at most about 50,000 entries (195 MB, Microsoft's
// knowledge-base article Q189327 on mapping adapter memory; the
// "SystemPages" entry of the Windows 2000 registry reference), and the
// memory manager answers NULL once they are spent.
PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheEnable) {
  require_irql("MmMapIoSpace", PASSIVE_LEVEL);
  (void)CacheEnable;
  checkpoint("MmMapIoSpace");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  s.mapping_calls.push_back({static_cast<std::uint64_t>(PhysicalAddress.QuadPart), NumberOfBytes});
  if (s.fail_now(FaultPoint::MapIoSpace, 0)) return nullptr;
  if (NumberOfBytes == 0 || PhysicalAddress.QuadPart < 0) return nullptr;
  const std::uint64_t physical = static_cast<std::uint64_t>(PhysicalAddress.QuadPart);
  const std::size_t page_offset = physical & (PAGE_SIZE - 1);
  // What system address space cannot hold is not mapped: NULL, as the
  // memory manager answers a request it cannot meet.
  if (NumberOfBytes > kSystemHigh - kSystemLow - PAGE_SIZE) return nullptr;
  const std::size_t pages = (page_offset + NumberOfBytes + PAGE_SIZE - 1) / PAGE_SIZE;
  if (pages > s.system_ptes - s.system_ptes_used) return nullptr;
  // Device windows are reserved without access: the driver must go through
  // READ_REGISTER_*. Windows onto the first megabyte of physical memory are
  // that memory, readable directly as on the real machine.
  std::uint8_t* base = nullptr;
  std::size_t mapped = 0;
  try {
    std::tie(base, mapped) = LowRegion::reserve(kSystemLow, kSystemHigh, page_offset + NumberOfBytes, false);
  } catch (const std::runtime_error&) {
    return nullptr;
  }
  const std::uint64_t first_page = physical - page_offset;
  if (first_page + mapped <= sim::hw::Machine::kLowMemorySize) {
    void* p = ::mmap(base, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, s.machine->low_memory_fd(),
                     static_cast<off_t>(first_page));
    if (p == MAP_FAILED) {
      LowRegion::release(base, mapped);
      return nullptr;
    }
  }
  Window w;
  w.virt = reinterpret_cast<std::uintptr_t>(base) + page_offset;
  w.size = NumberOfBytes;
  w.physical = physical;
  w.base = base;
  w.mapped = mapped;
  w.pages = pages;
  s.system_ptes_used += pages;
  s.windows[w.virt] = w;
  return reinterpret_cast<PVOID>(w.virt);
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  require_irql("MmUnmapIoSpace", DISPATCH_LEVEL);
  checkpoint("MmUnmapIoSpace");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  auto it = s.windows.find(reinterpret_cast<std::uintptr_t>(BaseAddress));
  if (it == s.windows.end())
    bug_check("MmUnmapIoSpace of " + hex(reinterpret_cast<std::uintptr_t>(BaseAddress)) +
              ", which is not a mapped window");
  if (it->second.size != NumberOfBytes)
    bug_check("MmUnmapIoSpace of " + hex(it->second.virt) + " with " + std::to_string(NumberOfBytes) +
              " bytes; it was mapped with " + std::to_string(it->second.size));
  LowRegion::release(it->second.base, it->second.mapped);
  s.system_ptes_used -= it->second.pages;
  s.windows.erase(it);
}

BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress) {
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  const auto a = reinterpret_cast<std::uintptr_t>(VirtualAddress);
  return s.client_page(a, 1) || s.window_at(a, 1) != nullptr || s.in_pool(a, 1);
}

// ProbeForRead checks only that the range lies in client space and is
// aligned; ProbeForWrite also writes to every page, so a page that is gone
// or read-only raises. What they raise is caught by an enclosing guard
// (PlatformGuardedCall) and is a bug check without one.
VOID NTAPI ProbeForRead(CONST VOID* Address, SIZE_T Length, ULONG Alignment) {
  checkpoint("ProbeForRead");
  if (Length == 0) return;
  const auto a = reinterpret_cast<std::uintptr_t>(Address);
  if (Alignment != 0 && a % Alignment != 0)
    raise_access_violation("ProbeForRead of misaligned " + hex(a), "STATUS_DATATYPE_MISALIGNMENT");
  if (a + Length < a || a + Length > MmUserProbeAddress)
    raise_access_violation("ProbeForRead of " + hex(a) + " beyond client space");
}

VOID NTAPI ProbeForWrite(PVOID Address, SIZE_T Length, ULONG Alignment) {
  checkpoint("ProbeForWrite");
  if (Length == 0) return;
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  const auto a = reinterpret_cast<std::uintptr_t>(Address);
  if (Alignment != 0 && a % Alignment != 0)
    raise_access_violation("ProbeForWrite of misaligned " + hex(a), "STATUS_DATATYPE_MISALIGNMENT");
  if (a + Length < a || a + Length > MmUserProbeAddress || !s.client_writable(a, Length))
    raise_access_violation("ProbeForWrite of " + hex(a) + " (" + std::to_string(Length) + " bytes)");
}

// ---- time
// KeStallExecutionProcessor (learn.microsoft.com,
// wdm/nf-wdm-kestallexecutionprocessor): callable at any IRQL; it
// busy-waits at least the given time and "you must minimize the stall
// interval, typically to less than 50 microseconds". NT itself busy-waits
// whatever it is given; the simulator holds the driver to the documented
// interval and records a longer single stall as a driver fault.
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  checkpoint("KeStallExecutionProcessor");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (MicroSeconds > kLongestStallUs)
    s.record_fault("KeStallExecutionProcessor(" + std::to_string(MicroSeconds) + "): longer than the " +
                   std::to_string(kLongestStallUs) + " microseconds one stall should last");
  s.clock.advance_us(MicroSeconds);
}

KIRQL NTAPI KeGetCurrentIrql(void) { return g_irql; }

// ---- synchronisation
VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  std::memset(Mutex, 0, sizeof *Mutex);
  Mutex->Header.Type = kMutantObject;
  Mutex->Header.Size = sizeof(KMUTEX) / 4;
  Mutex->Header.SignalState = 1;  // signalled: nobody owns it
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  // A wait with a zero timeout may be made at DISPATCH_LEVEL; any other at
  // APC_LEVEL at most.
  require_irql("KeWaitForSingleObject", Timeout != nullptr && Timeout->QuadPart == 0 ? DISPATCH_LEVEL : APC_LEVEL);
  auto* mutex = static_cast<PRKMUTEX>(Object);
  if (mutex == nullptr || mutex->Header.Type != kMutantObject)
    bug_check("KeWaitForSingleObject on an object the simulator does not know (only mutexes are supported)");
  auto& s = current_state();
  std::unique_lock lock(s.sync_mutex);
  const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  while (mutex->Header.SignalState <= 0 && mutex->OwnerThread != this_thread()) {
    if (poll) return STATUS_TIMEOUT;
    s.sync_cv.wait(lock);  // other timeouts wait without limit
  }
  if (mutex->Header.SignalState == 1) mutex->OwnerThread = this_thread();
  --mutex->Header.SignalState;
  return STATUS_SUCCESS;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  (void)Wait;
  auto& s = current_state();
  std::unique_lock lock(s.sync_mutex);
  if (Mutex->Header.Type != kMutantObject || Mutex->OwnerThread != this_thread())
    bug_check("KeReleaseMutex of a mutex the thread does not own (MUTANT_NOT_OWNED)");
  const LONG previous = Mutex->Header.SignalState++;
  if (Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    s.sync_cv.notify_all();
  }
  return previous;
}

VOID FASTCALL ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  std::memset(FastMutex, 0, sizeof *FastMutex);
  FastMutex->Count = 1;
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  require_irql("ExAcquireFastMutex", APC_LEVEL);
  const KIRQL old_irql = g_irql;
  auto& s = current_state();
  std::unique_lock lock(s.sync_mutex);
  if (FastMutex->Owner == this_thread())
    bug_check("ExAcquireFastMutex: the thread already owns the fast mutex (deadlock)");
  while (FastMutex->Count != 1) {
    ++FastMutex->Contention;
    s.sync_cv.wait(lock);
  }
  FastMutex->Count = 0;
  FastMutex->Owner = this_thread();
  // The holder runs at APC_LEVEL; the release goes back to the old IRQL.
  FastMutex->OldIrql = old_irql;
  g_irql = APC_LEVEL;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  auto& s = current_state();
  std::unique_lock lock(s.sync_mutex);
  if (FastMutex->Owner != this_thread()) bug_check("ExReleaseFastMutex of a fast mutex the thread does not own");
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  g_irql = static_cast<KIRQL>(FastMutex->OldIrql);
  s.sync_cv.notify_all();
}

}  // extern "C"
