// Resource assignment: HalAssignSlotResources from a PCI function's BARs,
// IoAssignResources from a requirements list, IoReportResourceUsage, all
// through the arbiter. Assigned lists are returned in pool that the caller
// frees with ExFreePool.
#include <cstring>
#include <vector>

#include "sim/kernel/state.h"

// The simulator's helpers and records (sim/kernel/state.h) by their short names.
using namespace sim::kernel;

namespace {

using State = Kernel::State;

const void* owner_of(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
  return device != nullptr ? static_cast<const void*>(device) : static_cast<const void*>(driver);
}

std::string owner_label(State& s, PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
  if (device != nullptr) {
    auto it = s.devices.find(device);
    if (it != s.devices.end() && !it->second.name.empty()) return it->second.name;
    return "device object " + hex(reinterpret_cast<std::uintptr_t>(device));
  }
  return driver != nullptr ? narrow(&driver->DriverName) : std::string("?");
}

// The claim for an assigned partial descriptor, or none for types the
// arbiter does not track.
std::optional<Claim> claim_of(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d) {
  const bool shared = d.ShareDisposition == CmResourceShareShared;
  switch (d.Type) {
    case CmResourceTypePort:
      return Claim{ResourceKind::Port, static_cast<std::uint64_t>(d.u.Port.Start.QuadPart), d.u.Port.Length, shared};
    case CmResourceTypeMemory:
      return Claim{ResourceKind::Memory, static_cast<std::uint64_t>(d.u.Memory.Start.QuadPart), d.u.Memory.Length,
                   shared};
    case CmResourceTypeInterrupt: return Claim{ResourceKind::Interrupt, d.u.Interrupt.Vector, 1, shared};
    case CmResourceTypeDma: return Claim{ResourceKind::Dma, d.u.Dma.Channel, 1, shared};
    default: return std::nullopt;
  }
}

// A CM_RESOURCE_LIST with one full descriptor, in pool.
PCM_RESOURCE_LIST make_list(State& s, INTERFACE_TYPE type, ULONG bus,
                            const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& partials) {
  const std::size_t extra = partials.empty() ? 0 : partials.size() - 1;
  const std::size_t size = sizeof(CM_RESOURCE_LIST) + extra * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  if (s.fail_now(FaultPoint::AllocatePool, 0)) return nullptr;
  auto* list = static_cast<PCM_RESOURCE_LIST>(s.pool_allocate(size, 0));
  if (list == nullptr) return nullptr;
  std::memset(list, 0, size);
  list->Count = 1;
  list->List[0].InterfaceType = type;
  list->List[0].BusNumber = bus;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = static_cast<ULONG>(partials.size());
  // The partial descriptors run past the declared one-element array.
  auto* out = reinterpret_cast<std::uint8_t*>(list->List[0].PartialResourceList.PartialDescriptors);
  if (!partials.empty()) std::memcpy(out, partials.data(), partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  return list;
}

// The claim a requested descriptor makes, by its share disposition.
Claim claim_shape(ResourceKind kind, std::uint64_t start, std::uint64_t length, UCHAR disposition) {
  Claim c{kind, start, length, disposition == CmResourceShareShared};
  c.driver_exclusive = disposition == CmResourceShareDriverExclusive;
  return c;
}

bool free_range(State& s, const void* owner, const Claim& want, const std::vector<Claim>& taken, std::uint64_t* next,
                const void* driver = nullptr) {
  for (const Claim& t : taken) {
    if (t.kind == want.kind && t.start < want.start + want.length && want.start < t.start + t.length) {
      if (next) *next = t.start + t.length;
      return false;
    }
  }
  if (auto c = s.arbiter.conflict(owner, want, driver)) {
    if (next) *next = c->second.start + c->second.length;
    return false;
  }
  return true;
}

// Lowest aligned range of the shape's length in [minimum, maximum] that is
// free.
std::optional<std::uint64_t> find_range(State& s, const void* owner, Claim shape, std::uint64_t alignment,
                                        std::uint64_t minimum, std::uint64_t maximum, const std::vector<Claim>& taken,
                                        const void* driver = nullptr) {
  const std::uint64_t length = shape.length;
  if (length == 0) return std::nullopt;
  if (alignment == 0) alignment = 1;
  std::uint64_t at = (minimum + alignment - 1) / alignment * alignment;
  while (at >= minimum && at + length - 1 <= maximum && at + length - 1 >= at) {
    std::uint64_t next = at + alignment;
    shape.start = at;
    if (free_range(s, owner, shape, taken, &next, driver)) return at;
    at = (std::max(next, at + 1) + alignment - 1) / alignment * alignment;
  }
  return std::nullopt;
}

// The interrupt a PCI function's pin is routed to (its interrupt line), or
// none when the slot holds no function with an interrupt pin.
std::optional<std::uint32_t> routed_irq(State& s, INTERFACE_TYPE type, ULONG bus, ULONG slot_number) {
  if (type != PCIBus || !s.machine->bus_exists(bus)) return std::nullopt;
  PCI_SLOT_NUMBER slot;
  slot.u.AsULONG = slot_number;
  const sim::hw::PciFunction* fn = s.machine->function(bus, slot.u.bits.DeviceNumber, slot.u.bits.FunctionNumber);
  if (fn == nullptr || fn->config_read(0x3D, 1) == 0) return std::nullopt;
  const std::uint8_t line = fn->interrupt_line();
  if (line == 0 || line > 15) return std::nullopt;
  return line;
}

// Interrupt lines an ISA-compatible machine never hands out: the timer, the
// keyboard, the cascade, the real-time clock and the coprocessor.
bool system_irq(std::uint64_t irq) { return irq == 0 || irq == 1 || irq == 2 || irq == 8 || irq == 13; }

// Whether another PCI function decodes part of [start, start + length).
bool decoded_elsewhere(State& s, const sim::hw::PciFunction* self, sim::hw::BarType type, std::uint64_t start,
                       std::uint64_t length) {
  for (std::uint32_t bus = 0; bus < 256; ++bus) {
    if (!s.machine->bus_exists(bus)) continue;
    for (std::uint32_t dev = 0; dev < 32; ++dev) {
      for (std::uint32_t fn = 0; fn < 8; ++fn) {
        const sim::hw::PciFunction* other = s.machine->function(bus, dev, fn);
        if (other == nullptr || other == self) continue;
        for (std::size_t i = 0; i < other->bar_count(); ++i) {
          const std::uint64_t base = other->bar_address(i);
          if (other->bar(i).type == type && base != 0 && base < start + length && start < base + other->bar(i).size)
            return true;
        }
      }
    }
  }
  return false;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI HalAssignSlotResources(PUNICODE_STRING RegistryPath, PUNICODE_STRING DriverClassName,
                                      PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject, INTERFACE_TYPE BusType,
                                      ULONG BusNumber, ULONG SlotNumber, PCM_RESOURCE_LIST* AllocatedResources) {
  require_irql("HalAssignSlotResources", PASSIVE_LEVEL);
  checkpoint("HalAssignSlotResources");
  (void)DriverClassName;
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (RegistryPath == nullptr || AllocatedResources == nullptr || DriverObject == nullptr)
    bug_check("HalAssignSlotResources without a registry path, driver object or result pointer");
  narrow(RegistryPath);
  if (auto fail = s.fail_now(FaultPoint::AssignSlotResources, STATUS_INSUFFICIENT_RESOURCES)) return *fail;
  if (BusType != PCIBus) return STATUS_NOT_SUPPORTED;
  if (!s.machine->bus_exists(BusNumber)) return STATUS_NO_SUCH_DEVICE;
  PCI_SLOT_NUMBER slot;
  slot.u.AsULONG = SlotNumber;
  sim::hw::PciFunction* fn = s.machine->function(BusNumber, slot.u.bits.DeviceNumber, slot.u.bits.FunctionNumber);
  if (fn == nullptr) return STATUS_NO_SUCH_DEVICE;

  const void* owner = owner_of(DriverObject, DeviceObject);
  std::vector<Claim> claims;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials;
  std::vector<std::uint32_t> addresses;
  for (std::size_t i = 0; i < fn->bar_count(); ++i) {
    const sim::hw::BarConfig& bar = fn->bar(i);
    const ResourceKind kind = bar.type == sim::hw::BarType::Io ? ResourceKind::Port : ResourceKind::Memory;
    std::optional<std::uint64_t> at;
    const std::uint64_t current = fn->bar_address(i);
    if (current != 0 && free_range(s, owner, Claim{kind, current, bar.size, false}, claims, nullptr)) at = current;
    if (!at) {  // move the BAR to a free range the bus can decode
      const std::uint64_t low = kind == ResourceKind::Port ? 0x1000 : 0xF0000000ull;
      const std::uint64_t high = kind == ResourceKind::Port ? 0xFFFF : 0xFEBFFFFFull;
      for (std::uint64_t from = low;;) {
        at = find_range(s, owner, Claim{kind, 0, bar.size, false}, bar.size, from, high, claims);
        if (!at || !decoded_elsewhere(s, fn, bar.type, *at, bar.size)) break;
        from = *at + bar.size;
      }
    }
    if (!at) return STATUS_CONFLICTING_ADDRESSES;
    claims.push_back({kind, *at, bar.size, false});
    addresses.push_back(static_cast<std::uint32_t>(*at));
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    if (kind == ResourceKind::Port) {
      d.Type = CmResourceTypePort;
      d.Flags = CM_RESOURCE_PORT_IO;
      d.u.Port.Start.QuadPart = static_cast<LONGLONG>(*at);
      d.u.Port.Length = bar.size;
    } else {
      d.Type = CmResourceTypeMemory;
      d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
      d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(*at);
      d.u.Memory.Length = bar.size;
    }
    partials.push_back(d);
  }
  const std::uint8_t line = fn->interrupt_line();
  if (fn->config_read(0x3D, 1) != 0 && line != 0 && line != 0xFF) {
    Claim irq{ResourceKind::Interrupt, line, 1, true};  // PCI interrupts are level-triggered and shareable
    if (s.arbiter.conflict(owner, irq)) return STATUS_CONFLICTING_ADDRESSES;
    claims.push_back(irq);
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = CmResourceShareShared;
    d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    d.u.Interrupt.Level = line;
    d.u.Interrupt.Vector = line;
    d.u.Interrupt.Affinity = 0xFFFFFFFF;
    partials.push_back(d);
  }
  PCM_RESOURCE_LIST list = make_list(s, PCIBus, BusNumber, partials);
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  s.arbiter.set(owner, owner_label(s, DriverObject, DeviceObject), std::move(claims), DriverObject);
  for (std::size_t i = 0; i < addresses.size(); ++i) fn->set_bar_address(i, addresses[i]);
  fn->enable_decoding();
  *AllocatedResources = list;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoAssignResources(PUNICODE_STRING RegistryPath, PUNICODE_STRING DriverClassName,
                                 PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                                 PIO_RESOURCE_REQUIREMENTS_LIST RequestedResources,
                                 PCM_RESOURCE_LIST* AllocatedResources) {
  require_irql("IoAssignResources", PASSIVE_LEVEL);
  (void)DriverClassName;
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (RegistryPath == nullptr || DriverObject == nullptr)
    bug_check("IoAssignResources without a registry path or driver object");
  narrow(RegistryPath);
  const void* owner = owner_of(DriverObject, DeviceObject);
  const void* driver = DriverObject;
  if (RequestedResources == nullptr) {  // release the claim
    s.arbiter.release(owner);
    if (AllocatedResources != nullptr) *AllocatedResources = nullptr;
    return STATUS_SUCCESS;
  }
  if (AllocatedResources == nullptr) bug_check("IoAssignResources without a result pointer");
  if (auto fail = s.fail_now(FaultPoint::AssignResources, STATUS_INSUFFICIENT_RESOURCES)) return *fail;

  // Walk the alternative lists, checking that they fit in ListSize.
  const auto* base = reinterpret_cast<const std::uint8_t*>(RequestedResources);
  const std::size_t total = RequestedResources->ListSize;
  const std::size_t header = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
  const std::size_t list_header = offsetof(IO_RESOURCE_LIST, Descriptors);
  if (total < header + list_header || RequestedResources->AlternativeLists == 0) return STATUS_INVALID_PARAMETER;
  std::vector<const IO_RESOURCE_LIST*> lists;
  std::size_t at = header;
  for (ULONG i = 0; i < RequestedResources->AlternativeLists; ++i) {
    if (at + list_header > total) return STATUS_INVALID_PARAMETER;
    const auto* list = reinterpret_cast<const IO_RESOURCE_LIST*>(base + at);
    const std::size_t size = list_header + static_cast<std::size_t>(list->Count) * sizeof(IO_RESOURCE_DESCRIPTOR);
    if (at + size > total) return STATUS_INVALID_PARAMETER;
    lists.push_back(list);
    at += size;
  }

  const std::string path = narrow(RegistryPath);
  const std::optional<std::uint32_t> routed =
      routed_irq(s, RequestedResources->InterfaceType, RequestedResources->BusNumber, RequestedResources->SlotNumber);
  for (const IO_RESOURCE_LIST* list : lists) {
    std::vector<Claim> claims;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials;
    bool ok = true;
    ULONG i = 0;
    while (ok && i < list->Count) {
      // A group: one descriptor and the alternatives that follow it.
      ULONG end = i + 1;
      while (end < list->Count && (list->Descriptors[end].Option & IO_RESOURCE_ALTERNATIVE) != 0) ++end;
      bool placed = false;
      for (ULONG k = i; k < end && !placed; ++k) {
        const IO_RESOURCE_DESCRIPTOR& d = list->Descriptors[k];
        CM_PARTIAL_RESOURCE_DESCRIPTOR out{};
        out.Type = d.Type;
        out.ShareDisposition = d.ShareDisposition;
        out.Flags = d.Flags;
        switch (d.Type) {
          case CmResourceTypeNull:
            // Asks for nothing; kept in place so that the assigned list
            // lines up with the requested one.
            out.ShareDisposition = 0;
            out.Flags = 0;
            placed = true;
            break;
          case CmResourceTypePort:
          case CmResourceTypeMemory: {
            const ResourceKind kind = d.Type == CmResourceTypePort ? ResourceKind::Port : ResourceKind::Memory;
            const Claim shape = claim_shape(kind, 0, d.u.Generic.Length, d.ShareDisposition);
            auto where = find_range(s, owner, shape, d.u.Generic.Alignment,
                                    static_cast<std::uint64_t>(d.u.Generic.MinimumAddress.QuadPart),
                                    static_cast<std::uint64_t>(d.u.Generic.MaximumAddress.QuadPart), claims, driver);
            if (!where) break;
            claims.push_back(claim_shape(kind, *where, d.u.Generic.Length, d.ShareDisposition));
            out.u.Generic.Start.QuadPart = static_cast<LONGLONG>(*where);
            out.u.Generic.Length = d.u.Generic.Length;
            placed = true;
            break;
          }
          case CmResourceTypeInterrupt: {
            // A PCI function's interrupt is the line its pin is routed to;
            // a slot with no function gets the lowest free line in range
            // that the system does not keep for itself. Level and vector
            // are the bus-relative line, as in every raw resource list.
            const std::uint64_t low = d.u.Interrupt.MinimumVector, high = d.u.Interrupt.MaximumVector;
            std::optional<std::uint64_t> where;
            if (routed) {
              Claim want = claim_shape(ResourceKind::Interrupt, *routed, 1, d.ShareDisposition);
              if (*routed >= low && *routed <= high && free_range(s, owner, want, claims, nullptr, driver))
                where = *routed;
            } else {
              for (std::uint64_t v = low; v <= high && v <= 15 && !where; ++v) {
                Claim want = claim_shape(ResourceKind::Interrupt, v, 1, d.ShareDisposition);
                if (!system_irq(v) && free_range(s, owner, want, claims, nullptr, driver)) where = v;
              }
            }
            if (!where) break;
            claims.push_back(claim_shape(ResourceKind::Interrupt, *where, 1, d.ShareDisposition));
            out.u.Interrupt.Level = static_cast<ULONG>(*where);
            out.u.Interrupt.Vector = static_cast<ULONG>(*where);
            out.u.Interrupt.Affinity = 0xFFFFFFFF;
            placed = true;
            break;
          }
          case CmResourceTypeDma: {
            const Claim shape = claim_shape(ResourceKind::Dma, 0, 1, d.ShareDisposition);
            auto where = find_range(s, owner, shape, 1, d.u.Dma.MinimumChannel, d.u.Dma.MaximumChannel, claims, driver);
            if (!where) break;
            claims.push_back(claim_shape(ResourceKind::Dma, *where, 1, d.ShareDisposition));
            out.u.Dma.Channel = static_cast<ULONG>(*where);
            placed = true;
            break;
          }
          case CmResourceTypeDeviceSpecific:
            std::memcpy(out.u.DevicePrivate.Data, d.u.DevicePrivate.Data, sizeof out.u.DevicePrivate.Data);
            placed = true;
            break;
          default: return STATUS_INVALID_PARAMETER;
        }
        if (placed) partials.push_back(out);
      }
      ok = placed;
      i = end;
    }
    if (!ok) continue;
    PCM_RESOURCE_LIST result = make_list(s, RequestedResources->InterfaceType, RequestedResources->BusNumber, partials);
    if (result == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    s.arbiter.set(owner, owner_label(s, DriverObject, DeviceObject) + " under " + path, std::move(claims), driver);
    *AllocatedResources = result;
    return STATUS_SUCCESS;
  }
  return STATUS_CONFLICTING_ADDRESSES;
}

NTSTATUS NTAPI IoReportResourceUsage(PUNICODE_STRING DriverClassName, PDRIVER_OBJECT DriverObject,
                                     PCM_RESOURCE_LIST DriverList, ULONG DriverListSize, PDEVICE_OBJECT DeviceObject,
                                     PCM_RESOURCE_LIST DeviceList, ULONG DeviceListSize, BOOLEAN OverrideConflict,
                                     PBOOLEAN ConflictDetected) {
  require_irql("IoReportResourceUsage", PASSIVE_LEVEL);
  (void)DriverClassName;
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (DriverObject == nullptr || ConflictDetected == nullptr)
    bug_check("IoReportResourceUsage without a driver object or conflict flag");
  *ConflictDetected = FALSE;
  if (auto fail = s.fail_now(FaultPoint::ReportResourceUsage, STATUS_INSUFFICIENT_RESOURCES)) return *fail;
  struct Report {
    const void* owner;
    PCM_RESOURCE_LIST list;
    ULONG size;
  };
  std::vector<Report> reports;
  if (DriverList != nullptr) reports.push_back({DriverObject, DriverList, DriverListSize});
  if (DeviceList != nullptr) {
    if (DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
    reports.push_back({DeviceObject, DeviceList, DeviceListSize});
  }
  for (const Report& r : reports) {
    // Parse the list within its stated size.
    if (r.size < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(r.list);
    std::size_t at = sizeof(ULONG);
    std::vector<Claim> claims;
    for (ULONG f = 0; f < r.list->Count; ++f) {
      const std::size_t full_header = offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.PartialDescriptors);
      if (at + full_header > r.size) return STATUS_INVALID_PARAMETER;
      const auto* full = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(bytes + at);
      const ULONG count = full->PartialResourceList.Count;
      if (at + full_header + count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) > r.size) return STATUS_INVALID_PARAMETER;
      for (ULONG p = 0; p < count; ++p)
        if (auto c = claim_of(full->PartialResourceList.PartialDescriptors[p])) claims.push_back(*c);
      at += full_header + count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    }
    if (claims.empty()) {  // an empty report withdraws the earlier one
      s.arbiter.release(r.owner);
      continue;
    }
    bool conflict = false;
    for (const Claim& c : claims) conflict = conflict || s.arbiter.conflict(r.owner, c).has_value();
    if (conflict) *ConflictDetected = TRUE;
    if (!conflict || OverrideConflict) {
      PDEVICE_OBJECT device = r.owner == DeviceObject ? DeviceObject : nullptr;
      s.arbiter.set(r.owner, owner_label(s, DriverObject, device), std::move(claims), DriverObject);
    }
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
