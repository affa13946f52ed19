// Driver frame: load, create/close and unload. The control device
// "\Device\NICPORT" and its alias "\DosDevices\NICPORT" exist from load to
// unload; its extension holds all the driver's state.
#include "driver/hwaccess.h"
#include "driver/nicport.h"

ULONG KrnldrvrDebugLevel = 1;

PKDVR_DEVICE_EXTENSION KdvrControlExtension(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == NULL || DeviceObject->DeviceExtension == NULL) {
    return NULL;
  }
  PKDVR_DEVICE_EXTENSION Extension = (PKDVR_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
  // Only the control device's extension names its own device object; the
  // other objects' extensions are left zero-filled.
  if (Extension->DeviceObject != DeviceObject) {
    return NULL;
  }
  return Extension;
}

NTSTATUS KdvrMakeUnicodeName(PCSTR Text, PUNICODE_STRING Name) {
  ANSI_STRING Ansi;
  RtlInitAnsiString(&Ansi, Text);
  return RtlAnsiStringToUnicodeString(Name, &Ansi, TRUE);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNICODE_STRING DeviceName;
  UNICODE_STRING LinkName;
  PDEVICE_OBJECT ControlDevice = NULL;

  // Before the device exists, so that no request can find them uninitialised.
  KdvrInitializeHardwareLocks();
  KdvrInitializeSecurity();
  KdvrInitializeSlotLock();

  NTSTATUS Status = KdvrMakeUnicodeName(KDVR_NT_DEVICE_NAME, &DeviceName);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = KdvrCreateSecuredDevice(DriverObject, &DeviceName, FILE_DEVICE_KDVR, &ControlDevice);
  if (!NT_SUCCESS(Status)) {
    RtlFreeUnicodeString(&DeviceName);
    return Status;
  }

  Status = KdvrMakeUnicodeName(KDVR_DOS_DEVICE_NAME, &LinkName);
  if (!NT_SUCCESS(Status)) {
    RtlFreeUnicodeString(&DeviceName);
    IoDeleteDevice(ControlDevice);
    return Status;
  }
  Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
  if (!NT_SUCCESS(Status)) {
    RtlFreeUnicodeString(&LinkName);
    RtlFreeUnicodeString(&DeviceName);
    IoDeleteDevice(ControlDevice);
    return Status;
  }

  DriverObject->DriverUnload = KdvrUnloadDriver;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = KdvrDispatch;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = KdvrDispatch;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KdvrDispatchIoctl;

  PKDVR_DEVICE_EXTENSION Extension = (PKDVR_DEVICE_EXTENSION)ControlDevice->DeviceExtension;
  Extension->DeviceObject = ControlDevice;
  Extension->DriverObject = DriverObject;
  RtlZeroMemory(Extension->RegistryPathBuffer, sizeof(Extension->RegistryPathBuffer));
  Extension->RegistryPath.Length = 0;
  Extension->RegistryPath.MaximumLength = KDVR_REGISTRY_PATH_BYTES;
  Extension->RegistryPath.Buffer = Extension->RegistryPathBuffer;
  // A longer path is cut at the buffer's 512 bytes.
  RtlCopyUnicodeString(&Extension->RegistryPath, RegistryPath);
  for (int i = 0; i < KDVR_SLOT_DEVICE_COUNT; i++) {
    Extension->SlotDeviceObject[i] = NULL;
  }
  Extension->NextDeviceNumber = 1;
  for (int n = 0; n < KDVR_DEVICE_TABLE_SIZE; n++) {
    Extension->DeviceObjectTable[n] = NULL;
    Extension->DeviceObjectResource[n] = NULL;
  }
  Extension->FirstRangeStart = 0;
  for (int w = 0; w < KDVR_MAX_WINDOWS; w++) {
    Extension->Windows[w].VirtualAddress = 0;
    Extension->Windows[w].Length = 0;
    Extension->Windows[w].Owner = NULL;
    Extension->Windows[w].Users = 0;
    Extension->Windows[w].Live = FALSE;
  }
  ExInitializeFastMutex(&Extension->WindowLock);

  RtlFreeUnicodeString(&LinkName);
  RtlFreeUnicodeString(&DeviceName);

  if (KrnldrvrDebugLevel & 1) {
    DbgPrint("NICDIAG: Initialized\n");
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KdvrDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MajorFunction == IRP_MJ_CREATE || Stack->MajorFunction == IRP_MJ_CLOSE) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
  }
  PKDVR_DEVICE_EXTENSION Extension = KdvrControlExtension(DeviceObject);
  if (Stack->MajorFunction == IRP_MJ_CREATE) {
    // Only administrators and SYSTEM get in, on every device of the driver.
    ACCESS_MASK Granted = 0;
    NTSTATUS Admitted = KdvrAdmitOpen(Irp, &Granted);
    if (!NT_SUCCESS(Admitted)) {
      Irp->IoStatus.Status = Admitted;
    } else if (Extension == NULL) {
      // The per-device and slot device objects only carry names and
      // resource claims; opening them would hand requests an uninitialised
      // extension.
      Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (Stack->FileObject != NULL) {
      // What the open may do, for the requests that change state.
      Stack->FileObject->FsContext2 = (PVOID)(ULONG_PTR)Granted;
    }
  } else if (Stack->MajorFunction == IRP_MJ_CLOSE && Extension != NULL) {
    // A client that exits without unmapping leaves nothing mapped.
    KdvrUnmapOwnerWindows(Extension, Stack->FileObject);
  }
  NTSTATUS Status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// The control device: the one object of the driver's device list whose
// extension names it. The objects made later stand before it on the list.
static PKDVR_DEVICE_EXTENSION KdvrFindControlExtension(PDRIVER_OBJECT DriverObject) {
  for (PDEVICE_OBJECT Device = DriverObject->DeviceObject; Device != NULL; Device = Device->NextDevice) {
    PKDVR_DEVICE_EXTENSION Extension = KdvrControlExtension(Device);
    if (Extension != NULL) {
      return Extension;
    }
  }
  return NULL;
}

static VOID KdvrDeleteLink(PCSTR Format, ULONG Number) {
  CHAR Text[KDVR_NAME_CHARS];
  UNICODE_STRING LinkName;
  sprintf(Text, Format, KDVR_DOS_DEVICE_NAME, Number);
  if (NT_SUCCESS(KdvrMakeUnicodeName(Text, &LinkName))) {
    IoDeleteSymbolicLink(&LinkName);
    RtlFreeUnicodeString(&LinkName);
  }
}

VOID NTAPI KdvrUnloadDriver(PDRIVER_OBJECT DriverObject) {
  // Every device object the driver made stays on the driver object's list
  // until it is deleted here; the system defers the deletion of one that is
  // still referenced and takes it off that list itself.
  PKDVR_DEVICE_EXTENSION Extension = KdvrFindControlExtension(DriverObject);
  if (Extension == NULL) {
    return;
  }

  for (int i = 0; i < KDVR_SLOT_DEVICE_COUNT; i++) {
    PDEVICE_OBJECT Slot = Extension->SlotDeviceObject[i];
    if (Slot == NULL) {
      continue;
    }
    CHAR Text[KDVR_NAME_CHARS];
    UNICODE_STRING Path;
    PCM_RESOURCE_LIST Assigned = NULL;
    sprintf(Text, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NICDIAG\\Slot%x", KDVR_SLOT_NAME_BASE + i);
    if (NT_SUCCESS(KdvrMakeUnicodeName(Text, &Path))) {
      // No requirements: gives back whatever the slot had claimed.
      IoAssignResources(&Path, NULL, Extension->DriverObject, Slot, NULL, &Assigned);
      if (Assigned != NULL) {
        ExFreePool(Assigned);
      }
      RtlFreeUnicodeString(&Path);
    }
    DbgPrint("*** NICDIAG.SYS: UnloadDriver().  Deleting Slot DeviceObject %d.\n", i);
    IoDeleteDevice(Slot);
    Extension->SlotDeviceObject[i] = NULL;
    KdvrDeleteLink("%s%x", KDVR_SLOT_NAME_BASE + i);
  }

  // The validation's device objects hold what HalAssignSlotResources
  // claimed for them; given back like the slots' before the objects go.
  CHAR ParametersText[KDVR_NAME_CHARS];
  UNICODE_STRING ParametersPath;
  sprintf(ParametersText, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\%s\\Parameters", "NICPORT");
  BOOLEAN HaveParametersPath = NT_SUCCESS(KdvrMakeUnicodeName(ParametersText, &ParametersPath));
  for (int n = 1; n <= KDVR_MAX_DEVICE_NUMBER; n++) {
    PDEVICE_OBJECT Device = Extension->DeviceObjectTable[n];
    if (Device == NULL) {
      continue;
    }
    if (HaveParametersPath) {
      PCM_RESOURCE_LIST Assigned = NULL;
      IoAssignResources(&ParametersPath, NULL, Extension->DriverObject, Device, NULL, &Assigned);
      if (Assigned != NULL) {
        ExFreePool(Assigned);
      }
    }
    DbgPrint("*** NICDIAG.SYS: UnloadDriver().  Deleting DeviceObject %d.\n", n);
    IoDeleteDevice(Device);
    Extension->DeviceObjectTable[n] = NULL;
    KdvrDeleteLink("%s%d", n);
  }
  if (HaveParametersPath) {
    RtlFreeUnicodeString(&ParametersPath);
  }

  // Windows the client mapped and never unmapped would outlive the driver.
  KdvrUnmapAllWindows(Extension);

  IoDeleteDevice(Extension->DeviceObject);
  UNICODE_STRING LinkName;
  if (NT_SUCCESS(KdvrMakeUnicodeName(KDVR_DOS_DEVICE_NAME, &LinkName))) {
    IoDeleteSymbolicLink(&LinkName);
    RtlFreeUnicodeString(&LinkName);
  }
}
