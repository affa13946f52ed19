// PCI slot resources: a memory range, a port range or an interrupt claimed
// through the system's arbiter on behalf of one of four slot device objects
// ("\Device\NICPORT100" to "\Device\NICPORT103"), each claim recorded under
// the slot's own registry key. Kind 0 gives a slot's claim back.
//
// The requirements list in the extension is shared by every slot and keeps
// descriptor 0 from one request to the next, so an interrupt request also
// claims the range of the last memory or port request. Requests are
// serialised by one mutex: two at once could otherwise mix their
// descriptors or create the same slot object twice. A kernel mutex rather
// than a fast mutex, because IoCreateDevice and IoAssignResources want
// PASSIVE_LEVEL, which a fast mutex would leave.
#include "driver/nicport.h"

static KMUTEX KdvrSlotMutex;

VOID KdvrInitializeSlotLock(VOID) { KeInitializeMutex(&KdvrSlotMutex, 0); }

VOID KdvrAcquireSlotLock(VOID) { KeWaitForSingleObject(&KdvrSlotMutex, Executive, KernelMode, FALSE, NULL); }

VOID KdvrReleaseSlotLock(VOID) { KeReleaseMutex(&KdvrSlotMutex, FALSE); }

#define KDVR_SLOT_REGISTRY_FORMAT "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NICDIAG\\Slot%x"

// Makes the slot's device object and its link; on failure nothing is left.
static NTSTATUS KdvrCreateSlotDevice(PKDVR_DEVICE_EXTENSION Extension, ULONG SlotIndex) {
  CHAR Text[KDVR_NAME_CHARS];
  UNICODE_STRING DeviceName;
  UNICODE_STRING LinkName;
  sprintf(Text, "%s%x", KDVR_NT_DEVICE_NAME, (unsigned)(KDVR_SLOT_NAME_BASE + SlotIndex));
  NTSTATUS Status = KdvrMakeUnicodeName(Text, &DeviceName);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  sprintf(Text, "%s%x", KDVR_DOS_DEVICE_NAME, (unsigned)(KDVR_SLOT_NAME_BASE + SlotIndex));
  Status = KdvrMakeUnicodeName(Text, &LinkName);
  if (!NT_SUCCESS(Status)) {
    RtlFreeUnicodeString(&DeviceName);
    return Status;
  }

  PDEVICE_OBJECT Device = NULL;
  PDRIVER_OBJECT DriverObject = Extension->DriverObject;
  // Secured like every device of the driver: administrators and SYSTEM only.
  Status = KdvrCreateSecuredDevice(DriverObject, &DeviceName, FILE_DEVICE_UNKNOWN, &Device);
  if (!NT_SUCCESS(Status)) {
    DbgPrint("NICDIAG.SYS: VALIDATE(): Failed to create a new Slot Device Object.\n");
    RtlFreeUnicodeString(&DeviceName);
    RtlFreeUnicodeString(&LinkName);
    return Status;
  }
  Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
  RtlFreeUnicodeString(&DeviceName);
  RtlFreeUnicodeString(&LinkName);
  if (!NT_SUCCESS(Status)) {
    DbgPrint("NICDIAG.SYS: VALIDATE(): Failed to create a symbolic link to new  Slot Device Object.\n");
    IoDeleteDevice(Device);
    return Status;
  }
  // The object stays on the driver object's device list until unload.
  Extension->SlotDeviceObject[SlotIndex] = Device;
  return STATUS_SUCCESS;
}

// Fills the shared requirements list for a request; descriptor 0 is left as
// it was unless the request is for a memory or port range.
static VOID KdvrBuildRequirements(PKDVR_DEVICE_EXTENSION Extension, const KDVR_RESOURCE_ARGS *Request) {
  PIO_RESOURCE_REQUIREMENTS_LIST List = &Extension->SlotRequirements.List;
  List->ListSize = sizeof(IO_RESOURCE_REQUIREMENTS_LIST);
  List->InterfaceType = PCIBus;
  List->BusNumber = Request->BusNumber;
  List->SlotNumber = Request->SlotNumber;
  List->AlternativeLists = 1;
  List->List[0].Version = 1;
  List->List[0].Revision = 1;
  List->List[0].Count = 1;

  if (Request->Kind == KDVR_RESOURCE_MEMORY || Request->Kind == KDVR_RESOURCE_PORT) {
    PIO_RESOURCE_DESCRIPTOR Range = &List->List[0].Descriptors[0];
    Range->Option = 0;
    Range->Type = Request->Kind == KDVR_RESOURCE_MEMORY ? CmResourceTypeMemory : CmResourceTypePort;
    Range->ShareDisposition = CmResourceShareDriverExclusive;
    Range->Flags = Request->Kind == KDVR_RESOURCE_MEMORY ? CM_RESOURCE_MEMORY_READ_WRITE : CM_RESOURCE_PORT_IO;
    Range->u.Generic.Length = Request->Length;
    Range->u.Generic.Alignment = Request->Alignment;
    Range->u.Generic.MinimumAddress.QuadPart = 0;
    Range->u.Generic.MinimumAddress.LowPart = Request->Minimum;
    Range->u.Generic.MaximumAddress.QuadPart = 0;
    Range->u.Generic.MaximumAddress.LowPart = Request->Maximum;
  } else if (Request->Kind == KDVR_RESOURCE_INTERRUPT) {
    List->ListSize = sizeof(KDVR_SLOT_REQUIREMENTS);
    List->List[0].Count = 2;
    PIO_RESOURCE_DESCRIPTOR Interrupt = &Extension->SlotRequirements.SecondDescriptor;
    Interrupt->Option = 0;
    Interrupt->Type = CmResourceTypeInterrupt;
    Interrupt->ShareDisposition = CmResourceShareShared;
    Interrupt->Flags = CM_RESOURCE_INTERRUPT_LATCHED;
    Interrupt->u.Interrupt.MinimumVector = Request->Minimum;
    Interrupt->u.Interrupt.MaximumVector = Request->Maximum;
  }
}

// Writes the answer from the assigned list: the range from partial
// descriptor 0, the interrupt from partial descriptor 1. A list that holds
// fewer descriptors answers like a failed claim, and nothing past it is read.
static VOID KdvrAnswer(ULONG Kind, PCM_RESOURCE_LIST Assigned, PULONG Output) {
  if (Kind != KDVR_RESOURCE_MEMORY && Kind != KDVR_RESOURCE_PORT && Kind != KDVR_RESOURCE_INTERRUPT) {
    return;
  }
  ULONG Needed = Kind == KDVR_RESOURCE_INTERRUPT ? 2 : 1;
  if (Assigned == NULL || Assigned->Count < 1 || Assigned->List[0].PartialResourceList.Count < Needed) {
    Output[1] = 0;
    return;
  }
  PCM_PARTIAL_RESOURCE_DESCRIPTOR Partial = Assigned->List[0].PartialResourceList.PartialDescriptors;
  if (Kind == KDVR_RESOURCE_INTERRUPT) {
    Output[0] = Partial[1].u.Interrupt.Level;
    Output[1] = Partial[1].u.Interrupt.Vector;
  } else {
    Output[0] = Partial[0].u.Generic.Length;
    Output[1] = Partial[0].u.Generic.Start.LowPart;
  }
}

NTSTATUS GetResources(PKDVR_DEVICE_EXTENSION Extension, PKDVR_PARAMETER_BLOCK Parameters, PULONG Output) {
  const KDVR_RESOURCE_ARGS *Request = &Parameters->Resource;
  ULONG SlotIndex = Request->SlotIndex;
  if (SlotIndex >= KDVR_SLOT_DEVICE_COUNT) {
    return STATUS_NOT_SUPPORTED;
  }

  KeWaitForSingleObject(&KdvrSlotMutex, Executive, KernelMode, FALSE, NULL);

  NTSTATUS Status = STATUS_SUCCESS;
  if (Extension->SlotDeviceObject[SlotIndex] == NULL) {
    Status = KdvrCreateSlotDevice(Extension, SlotIndex);
    if (!NT_SUCCESS(Status)) {
      Output[1] = 0;
      KeReleaseMutex(&KdvrSlotMutex, FALSE);
      return Status;
    }
  }

  CHAR Text[KDVR_NAME_CHARS];
  UNICODE_STRING Path;
  sprintf(Text, KDVR_SLOT_REGISTRY_FORMAT, (unsigned)(KDVR_SLOT_NAME_BASE + SlotIndex));
  Status = KdvrMakeUnicodeName(Text, &Path);
  if (!NT_SUCCESS(Status)) {
    Output[1] = 0;
    KeReleaseMutex(&KdvrSlotMutex, FALSE);
    return Status;
  }

  KdvrBuildRequirements(Extension, Request);
  PCM_RESOURCE_LIST Assigned = NULL;
  Status =
      IoAssignResources(&Path, NULL, Extension->DriverObject, Extension->SlotDeviceObject[SlotIndex],
                        Request->Kind == KDVR_RESOURCE_RELEASE ? NULL : &Extension->SlotRequirements.List, &Assigned);
  if (!NT_SUCCESS(Status)) {
    Output[1] = 0;
  } else {
    KdvrAnswer(Request->Kind, Assigned, Output);
  }
  if (Assigned != NULL) {
    ExFreePool(Assigned);
  }
  RtlFreeUnicodeString(&Path);
  KeReleaseMutex(&KdvrSlotMutex, FALSE);
  return Status;
}
