// Device objects, symbolic links and request completion, as the NT I/O
// manager keeps them.
#include <cstdlib>
#include <cstring>

#include "sim/kernel/state.h"

// The simulator's helpers and records (sim/kernel/state.h) by their short names.
using namespace sim::kernel;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  require_irql("IoCreateDevice", PASSIVE_LEVEL);
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (DriverObject == nullptr || DriverObject != s.driver.get())
    bug_check("IoCreateDevice with an unknown driver object");
  if (DeviceObject == nullptr) bug_check("IoCreateDevice without a place for the device object");
  if (auto fail = s.fail_now(FaultPoint::CreateDevice, STATUS_INSUFFICIENT_RESOURCES)) return *fail;
  std::string name;
  if (DeviceName != nullptr) {
    name = narrow(DeviceName);
    if (NTSTATUS status = s.check_new_name(name); status != STATUS_SUCCESS) return status;
  }
  const std::size_t header = (sizeof(DEVICE_OBJECT) + 15) & ~static_cast<std::size_t>(15);
  auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, header + DeviceExtensionSize));
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  device->Type = 3;  // IO_TYPE_DEVICE
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<std::uint8_t*>(device) + header : nullptr;
  // New devices go to the head of the driver's list.
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  s.devices[device] = DeviceRecord{name, DriverObject, Exclusive != FALSE,
                                   0,    false,        name.empty() ? nullptr : default_device_descriptor()};
  if (!name.empty()) s.names[upper(name)] = {NamespaceEntry::Kind::Device, name, device, {}};
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

// IoDeleteDevice (learn.microsoft.com, wdm/nf-wdm-iodeletedevice): "if any
// outstanding references remain, the I/O manager marks the device object as
// delete pending and deletes the device object when the references are
// released". The name goes at once (the object is made temporary); the
// object stays on its driver's device list until it is deleted, and is
// then unlinked by walking from DriverObject->DeviceObject (ReactOS's
// IoDeleteDevice and IopUnloadDevice, ntoskrnl/io/iomgr/device.c, as a
// behaviour reference). A reference is an open file object on the device.
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  require_irql("IoDeleteDevice", PASSIVE_LEVEL);
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  auto it = s.devices.find(DeviceObject);
  if (it == s.devices.end() || it->second.deleted)
    bug_check("IoDeleteDevice of " + hex(reinterpret_cast<std::uintptr_t>(DeviceObject)) +
              ", which is not a live device object");
  const std::string name = it->second.name;
  if (it->second.open_count == 0) {
    const std::string problem = s.unlink_device(DeviceObject);
    if (!problem.empty()) bug_check("IoDeleteDevice: " + problem);
  } else {
    it->second.deleted = true;  // delete pending until the last reference goes
  }
  if (!name.empty()) s.names.erase(upper(name));
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  require_irql("IoCreateSymbolicLink", PASSIVE_LEVEL);
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  const std::string link = narrow(SymbolicLinkName);
  const std::string target = narrow(DeviceName);
  if (auto fail = s.fail_now(FaultPoint::CreateSymbolicLink, STATUS_INSUFFICIENT_RESOURCES)) return *fail;
  std::string normalised = link;
  if (normalised.rfind("\\??\\", 0) == 0) normalised = "\\DosDevices\\" + normalised.substr(4);
  if (NTSTATUS status = s.check_new_name(normalised); status != STATUS_SUCCESS) return status;
  s.names[upper(normalised)] = {NamespaceEntry::Kind::Link, normalised, nullptr, target};
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  require_irql("IoDeleteSymbolicLink", PASSIVE_LEVEL);
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  std::string link = narrow(SymbolicLinkName);
  if (link.rfind("\\??\\", 0) == 0) link = "\\DosDevices\\" + link.substr(4);
  auto it = s.names.find(upper(link));
  if (it == s.names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (it->second.kind != NamespaceEntry::Kind::Link)
    return static_cast<NTSTATUS>(0xC0000024L);  // STATUS_OBJECT_TYPE_MISMATCH
  s.names.erase(it);
  return STATUS_SUCCESS;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (s.irps.count(Irp) == 0)
    bug_check("IofCompleteRequest of an unknown request " + hex(reinterpret_cast<std::uintptr_t>(Irp)));
  auto* block = reinterpret_cast<IrpBlock*>(Irp);  // the IRP is the block's first member
  if (block->completed) bug_check("MULTIPLE_IRP_COMPLETE_REQUESTS: the request was completed twice");
  if (Irp->IoStatus.Status == STATUS_PENDING) bug_check("IofCompleteRequest with status STATUS_PENDING");
  block->completed = true;
}

}  // extern "C"
