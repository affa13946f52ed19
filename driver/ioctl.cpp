// Control-code routine: every request the client sends to the control device
// "\DosDevices\NICPORT" arrives here, is decoded through the 24-byte
// parameter block, carried out and completed before the routine returns.
#include "driver/hwaccess.h"
#include "driver/nicport.h"
#include "driver/platform_tables.h"

// ---------------------------------------------------------------------------
// Memory windows mapped for clients. The table is read and changed only
// under WindowLock. A request that accesses a window holds a reference to
// it (Users) for the whole access, taken and dropped under the lock; an
// unmap retires the window at once for new lookups, and whoever drops the
// last reference unmaps it, so no access ever reaches a freed mapping.

// Finds the live window of Owner that holds Length bytes at Address and
// takes a reference to it; -1 when there is none.
static int KdvrReferenceWindow(PKDVR_DEVICE_EXTENSION Extension, PVOID Owner, ULONG Address, ULONG Length) {
  int Found = -1;
  ExAcquireFastMutex(&Extension->WindowLock);
  for (int w = 0; w < KDVR_MAX_WINDOWS; w++) {
    KDVR_WINDOW *Window = &Extension->Windows[w];
    if (!Window->Live || Window->Owner != Owner || Address < Window->VirtualAddress) {
      continue;
    }
    ULONG Offset = Address - Window->VirtualAddress;
    if (Offset < Window->Length && Length <= Window->Length - Offset) {
      Window->Users++;
      Found = w;
      break;
    }
  }
  ExReleaseFastMutex(&Extension->WindowLock);
  return Found;
}

// Takes a retired window with no users out of the table (lock held); TRUE
// when the caller is to unmap *Address, *Length once the lock is released.
static BOOLEAN KdvrTakeRetired(KDVR_WINDOW *Window, PULONG Address, PULONG Length) {
  if (Window->Live || Window->Users != 0 || Window->VirtualAddress == 0) {
    return FALSE;
  }
  *Address = Window->VirtualAddress;
  *Length = Window->Length;
  Window->VirtualAddress = 0;
  Window->Length = 0;
  Window->Owner = NULL;
  return TRUE;
}

static VOID KdvrReleaseWindow(PKDVR_DEVICE_EXTENSION Extension, int Index) {
  if (Index < 0) {
    return;
  }
  ULONG Address = 0;
  ULONG Length = 0;
  ExAcquireFastMutex(&Extension->WindowLock);
  KDVR_WINDOW *Window = &Extension->Windows[Index];
  Window->Users--;
  BOOLEAN Unmap = KdvrTakeRetired(Window, &Address, &Length);
  ExReleaseFastMutex(&Extension->WindowLock);
  if (Unmap) {
    MmUnmapIoSpace((PVOID)(ULONG_PTR)Address, Length);
  }
}

// Retires windows (every one, or those of one owner) and unmaps those no
// request uses; the others go with their last user.
static VOID KdvrRetireWindows(PKDVR_DEVICE_EXTENSION Extension, BOOLEAN All, PVOID Owner) {
  for (int w = 0; w < KDVR_MAX_WINDOWS; w++) {
    ULONG Address = 0;
    ULONG Length = 0;
    ExAcquireFastMutex(&Extension->WindowLock);
    KDVR_WINDOW *Window = &Extension->Windows[w];
    BOOLEAN Unmap = FALSE;
    if (Window->Live && (All || Window->Owner == Owner)) {
      Window->Live = FALSE;
      Unmap = KdvrTakeRetired(Window, &Address, &Length);
    }
    ExReleaseFastMutex(&Extension->WindowLock);
    if (Unmap) {
      MmUnmapIoSpace((PVOID)(ULONG_PTR)Address, Length);
    }
  }
}

VOID KdvrUnmapAllWindows(PKDVR_DEVICE_EXTENSION Extension) { KdvrRetireWindows(Extension, TRUE, NULL); }

VOID KdvrUnmapOwnerWindows(PKDVR_DEVICE_EXTENSION Extension, PVOID Owner) {
  KdvrRetireWindows(Extension, FALSE, Owner);
}

// I/O space on x86 is 64 KiB: every byte of the access must lie in it.
static BOOLEAN KdvrPortValid(ULONG Port, ULONG Width) { return Port <= 0x10000 - Width; }

// A register reached by port or by memory, as the EEPROM and PHY codes
// select it. A memory register keeps a reference to its window until
// KdvrReleaseWindow(*Window); a selector that names neither makes no
// access, so any address passes.
static BOOLEAN KdvrClaimRegister(PKDVR_DEVICE_EXTENSION Extension, PVOID Owner, ULONG Address, ULONG Width,
                                 BOOLEAN Port, BOOLEAN Memory, int *Window) {
  *Window = -1;
  if (Port) {
    return KdvrPortValid(Address, Width);
  }
  if (Memory) {
    *Window = KdvrReferenceWindow(Extension, Owner, Address, Width);
    return *Window >= 0;
  }
  return TRUE;
}

// ---------------------------------------------------------------------------
// The operations the routine carries out itself. Each returns the request's
// status and sets *Information to the byte count of its result.

static NTSTATUS KdvrMapMemory(PKDVR_DEVICE_EXTENSION Extension, PVOID Owner, const KDVR_MAP_ARGS *Args, PULONG Output,
                              PULONG Information) {
  if (Args->Length == 0 || Args->Length > KDVR_MAX_WINDOW_BYTES ||
      Args->BusAddress + (Args->Length - 1) < Args->BusAddress) {
    return STATUS_INVALID_PARAMETER;
  }
  DbgPrint("NICDIAG.SYS: Calling HalTranslateBusAddress \n");
  PHYSICAL_ADDRESS BusAddress;
  PHYSICAL_ADDRESS Translated;
  BusAddress.QuadPart = 0;
  BusAddress.LowPart = Args->BusAddress;
  Translated.QuadPart = 0;
  ULONG AddressSpace = 0;  // memory space
  ULONG Result = 0;
  if (!HalTranslateBusAddress(PCIBus, Args->BusNumber, BusAddress, &AddressSpace, &Translated)) {
    DbgPrint("NICDIAG.SYS: HalTranslateBusAddress failed\n");
  } else if (AddressSpace != 0) {
    // The range lies in I/O space: the translated port address is the
    // answer and nothing is mapped.
    Result = Translated.LowPart;
  } else {
    // The entry and its pages are reserved before the mapping is made, so
    // that two maps at once never take the same entry or, together, more
    // pages than all windows may hold.
    ULONG Pages = ((Translated.LowPart & (PAGE_SIZE - 1)) + Args->Length + PAGE_SIZE - 1) / PAGE_SIZE;
    ULONG PagesInUse = 0;
    int Slot = -1;
    ExAcquireFastMutex(&Extension->WindowLock);
    for (int w = 0; w < KDVR_MAX_WINDOWS; w++) {
      PagesInUse += Extension->Windows[w].Length != 0 ? Extension->Windows[w].Pages : 0;
    }
    BOOLEAN Room = PagesInUse + Pages <= KDVR_MAX_WINDOW_PAGES;
    for (int w = 0; Room && w < KDVR_MAX_WINDOWS && Slot < 0; w++) {
      if (Extension->Windows[w].Length == 0) {
        Slot = w;
        Extension->Windows[w].Length = Args->Length;
        Extension->Windows[w].Pages = Pages;
        Extension->Windows[w].VirtualAddress = 0;
        Extension->Windows[w].Owner = Owner;
        Extension->Windows[w].Users = 0;
        Extension->Windows[w].Live = FALSE;
      }
    }
    ExReleaseFastMutex(&Extension->WindowLock);
    if (!Room) {
      // Refused before anything is mapped: the system's page-table entries
      // are shared by every driver.
      DbgPrint("NICDIAG.SYS: Mapped windows would exceed %u pages\n", (unsigned)KDVR_MAX_WINDOW_PAGES);
      return STATUS_INSUFFICIENT_RESOURCES;
    } else if (Slot < 0) {
      // A window that could not be kept track of is not made: the map
      // fails the way every failed map does, with 0 at +0.
      DbgPrint("NICDIAG.SYS: Too many mapped windows\n");
    } else {
      PVOID Virtual = MmMapIoSpace(Translated, Args->Length, MmNonCached);
      ExAcquireFastMutex(&Extension->WindowLock);
      if (Virtual == NULL) {
        Extension->Windows[Slot].Length = 0;
        Extension->Windows[Slot].Owner = NULL;
      } else {
        Result = (ULONG)(ULONG_PTR)Virtual;
        Extension->Windows[Slot].VirtualAddress = Result;
        Extension->Windows[Slot].Live = TRUE;
      }
      ExReleaseFastMutex(&Extension->WindowLock);
      if (Virtual == NULL) {
        DbgPrint("NICDIAG.SYS: MmMapIoSpace Failed\n");
      }
    }
  }
  DbgPrint("NICDIAG.SYS: Mapped to Virtual Address = %X\n", (unsigned)Result);
  Output[0] = Result;
  *Information = 4;
  return STATUS_SUCCESS;
}

// Only a live window of the caller's own open, named by its exact address
// and length, is unmapped, and only once.
static NTSTATUS KdvrUnmapMemory(PKDVR_DEVICE_EXTENSION Extension, PVOID Owner, const KDVR_UNMAP_ARGS *Args) {
  NTSTATUS Status = STATUS_INVALID_PARAMETER;
  ULONG Address = 0;
  ULONG Length = 0;
  BOOLEAN Unmap = FALSE;
  ExAcquireFastMutex(&Extension->WindowLock);
  for (int w = 0; w < KDVR_MAX_WINDOWS; w++) {
    KDVR_WINDOW *Window = &Extension->Windows[w];
    if (Window->Live && Window->Owner == Owner && Window->VirtualAddress == Args->VirtualAddress &&
        Window->Length == Args->Length) {
      Window->Live = FALSE;
      Unmap = KdvrTakeRetired(Window, &Address, &Length);
      Status = STATUS_SUCCESS;
      break;
    }
  }
  ExReleaseFastMutex(&Extension->WindowLock);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  DbgPrint("NICDIAG.SYS: Calling MmUnmapIoSpace!!! MmPhysicalAddress = %X nSize = %X\n", (unsigned)Args->VirtualAddress,
           (unsigned)Args->Length);
  if (Unmap) {
    MmUnmapIoSpace((PVOID)(ULONG_PTR)Address, Length);
  }
  return STATUS_SUCCESS;
}

// Deletes a per-device object and its alias that the validation could not
// use, so that the name is free for the next validation.
static VOID KdvrDiscardDevice(PDEVICE_OBJECT Device, PUNICODE_STRING LinkName) {
  if (LinkName != NULL) {
    IoDeleteSymbolicLink(LinkName);
  }
  IoDeleteDevice(Device);
}

static NTSTATUS ValidateMemSpace(PKDVR_DEVICE_EXTENSION Extension, const KDVR_VALIDATE_ARGS *Args, PULONG Output,
                                 PULONG Information) {
  DbgPrint("NICDIAG.SYS: Calling ValidateMemSpace(). BusNumber = %X, SlotNumber = %X, PhysAddress = %X\n",
           (unsigned)Args->BusNumber, (unsigned)Args->SlotNumber, (unsigned)Args->PhysicalAddress);
  if ((Args->PhysicalAddress & 0x1FFFFF) == 0) {
    Output[0] = Args->PhysicalAddress;
    *Information = 4;
    return STATUS_SUCCESS;
  }
  DbgPrint("NICDIAG.SYS: VALIDATE(): *** ATU Physical memory NOT in 2MB boundary.\n");
  LONG Number = Extension->NextDeviceNumber;
  if (Number < 1 || Number > KDVR_MAX_DEVICE_NUMBER) {
    DbgPrint("NICDIAG.SYS: VALIDATE(): No Device Object number left.\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  DbgPrint("NICDIAG.SYS: VALIDATE(): Creating a Device Object for this Device.\n");

  CHAR Text[KDVR_NAME_CHARS];
  UNICODE_STRING DeviceName;
  UNICODE_STRING LinkName;
  sprintf(Text, "%s%d", KDVR_NT_DEVICE_NAME, (int)Number);
  NTSTATUS Status = KdvrMakeUnicodeName(Text, &DeviceName);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  sprintf(Text, "%s%d", KDVR_DOS_DEVICE_NAME, (int)Number);
  Status = KdvrMakeUnicodeName(Text, &LinkName);
  if (!NT_SUCCESS(Status)) {
    RtlFreeUnicodeString(&DeviceName);
    return Status;
  }

  PDEVICE_OBJECT Device = NULL;
  Status = KdvrCreateSecuredDevice(Extension->DriverObject, &DeviceName, FILE_DEVICE_UNKNOWN, &Device);
  if (!NT_SUCCESS(Status)) {
    DbgPrint("NICDIAG.SYS: VALIDATE(): Failed to create a new Device Object.\n");
    RtlFreeUnicodeString(&LinkName);
    RtlFreeUnicodeString(&DeviceName);
    return Status;
  }
  Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
  RtlFreeUnicodeString(&DeviceName);
  if (!NT_SUCCESS(Status)) {
    DbgPrint("NICDIAG.SYS: VALIDATE(): Failed to create a symbolic link to new Device Object.\n");
    RtlFreeUnicodeString(&LinkName);
    KdvrDiscardDevice(Device, NULL);
    return Status;
  }

  UNICODE_STRING Path;
  sprintf(Text, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\%s\\Parameters", "NICPORT");
  Status = KdvrMakeUnicodeName(Text, &Path);
  BOOLEAN HavePath = NT_SUCCESS(Status);
  PCM_RESOURCE_LIST Assigned = NULL;
  if (HavePath) {
    DbgPrint("NICDIAG.SYS: VALIDATE(): Call HalAssignSlotResource()!!!.\n");
    Status = HalAssignSlotResources(&Path, NULL, Extension->DriverObject, Device, PCIBus, Args->BusNumber,
                                    Args->SlotNumber, &Assigned);
  }
  // The new address is the start of the second assigned range; a list with
  // fewer ranges cannot answer and counts as a failed assignment.
  BOOLEAN Claimed = Status == STATUS_SUCCESS;
  if (Claimed && (Assigned == NULL || Assigned->Count < 1 || Assigned->List[0].PartialResourceList.Count < 2)) {
    Status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Status != STATUS_SUCCESS) {
    DbgPrint("NICDIAG.SYS: VALIDATE(): HalAssignSlotResource FAILED\n");
    if (Assigned != NULL) {
      ExFreePool(Assigned);
    }
    if (Claimed) {
      // What the HAL claimed for the object would outlive it, claimed
      // until the machine restarts: given back with no requirements.
      PCM_RESOURCE_LIST Released = NULL;
      IoAssignResources(&Path, NULL, Extension->DriverObject, Device, NULL, &Released);
      if (Released != NULL) {
        ExFreePool(Released);
      }
    }
    if (HavePath) {
      RtlFreeUnicodeString(&Path);
    }
    KdvrDiscardDevice(Device, &LinkName);
    RtlFreeUnicodeString(&LinkName);
    return Status;
  }
  RtlFreeUnicodeString(&Path);
  RtlFreeUnicodeString(&LinkName);

  PCM_PARTIAL_RESOURCE_DESCRIPTOR Partial = Assigned->List[0].PartialResourceList.PartialDescriptors;
  Extension->FirstRangeStart = Partial[0].u.Generic.Start.LowPart;
  ULONG NewAddress = Partial[1].u.Generic.Start.LowPart;
  DbgPrint("NICDIAG.SYS: VALIDATE(): HalAssignSlotResource NT_STATUS_SUCCESS. New Address = %X\n",
           (unsigned)NewAddress);
  ExFreePool(Assigned);

  // The object stays on the driver object's device list, where the system
  // put it, until it is deleted at unload.
  Extension->DeviceObjectTable[Number] = Device;
  Extension->NextDeviceNumber = Number + 1;

  Output[0] = NewAddress;
  *Information = 4;
  return STATUS_SUCCESS;
}

// The HAL works on a kernel copy of the client's data: a client buffer is
// probed for the access the request makes (written by a read, read by a
// write) and copied under the exception guard. Configuration space is 256
// bytes, so the HAL never moves more than that.
#define KDVR_PCI_CONFIG_BYTES 256

static NTSTATUS KdvrPciConfig(const KDVR_PCI_CONFIG_ARGS *Args, BOOLEAN Write, PULONG Output, PULONG Information) {
  UCHAR Data[KDVR_PCI_CONFIG_BYTES];
  ULONG Length = Args->Length < KDVR_PCI_CONFIG_BYTES ? Args->Length : KDVR_PCI_CONFIG_BYTES;
  ULONG Count;
  if (Write) {
    NTSTATUS Status = KdvrProbeClientBuffer(Args->Buffer, Args->Length, FALSE);
    if (NT_SUCCESS(Status)) {
      Status = KdvrCopyFromClient(Data, Args->Buffer, Length);
    }
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Count = Length == 0 ? 0
                        : HalSetBusDataByOffset(PCIConfiguration, Args->BusNumber, Args->SlotNumber, Data, Args->Offset,
                                                Length);
  } else {
    NTSTATUS Status = KdvrProbeClientBuffer(Args->Buffer, Args->Length, TRUE);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Count = Length == 0 ? 0
                        : HalGetBusDataByOffset(PCIConfiguration, Args->BusNumber, Args->SlotNumber, Data, Args->Offset,
                                                Length);
    if (Count > Length) {
      Count = Length;
    }
    Status = KdvrCopyToClient(Args->Buffer, Data, Count);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  Output[0] = Count;
  *Information = 4;
  return STATUS_SUCCESS;
}

// The table operations copy into the client's buffer themselves; they run
// under the exception guard, after the buffer was probed for writing.
typedef struct _KDVR_TABLE_CALL {
  PKDVR_DEVICE_EXTENSION Extension;
  NTSTATUS (*Operation)(PKDVR_DEVICE_EXTENSION, PVOID, PULONG);
  PVOID Buffer;
  PULONG Size;
  NTSTATUS Result;
} KDVR_TABLE_CALL;

static VOID KdvrTableRoutine(PVOID Context) {
  KDVR_TABLE_CALL *Call = (KDVR_TABLE_CALL *)Context;
  Call->Result = Call->Operation(Call->Extension, Call->Buffer, Call->Size);
}

static NTSTATUS KdvrPlatformTable(PKDVR_DEVICE_EXTENSION Extension, const KDVR_TABLE_ARGS *Args,
                                  NTSTATUS (*Operation)(PKDVR_DEVICE_EXTENSION, PVOID, PULONG), PULONG Output,
                                  PULONG Information) {
  NTSTATUS Status = KdvrProbeClientBuffer(Args->Buffer, Args->Size, TRUE);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Output[1] = Args->Size;
  KDVR_TABLE_CALL Call;
  Call.Extension = Extension;
  Call.Operation = Operation;
  Call.Buffer = (PVOID)(ULONG_PTR)Args->Buffer;
  Call.Size = &Output[1];
  Call.Result = STATUS_SUCCESS;
  // The operations copy into the client's buffer under their own guard and
  // answer STATUS_ACCESS_VIOLATION when it faults; this guard is a second
  // line for anything else they touch.
  Status = PlatformGuardedCall(KdvrTableRoutine, &Call);
  if (!NT_SUCCESS(Status) || Call.Result == STATUS_ACCESS_VIOLATION) {
    return STATUS_ACCESS_VIOLATION;
  }
  Output[0] = (ULONG)Call.Result;
  *Information = 8;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Port, memory, EEPROM and PHY requests.

static NTSTATUS KdvrPortAccess(ULONG Code, ULONG Port, ULONG Value, PULONG Output, PULONG Information) {
  ULONG Width = (Code == IOCTL_KDVR_READ_PORT_UCHAR || Code == IOCTL_KDVR_WRITE_PORT_UCHAR)     ? 1
                : (Code == IOCTL_KDVR_READ_PORT_USHORT || Code == IOCTL_KDVR_WRITE_PORT_USHORT) ? 2
                                                                                                : 4;
  if (!KdvrPortValid(Port, Width)) {
    return STATUS_INVALID_PARAMETER;
  }
  switch (Code) {
    case IOCTL_KDVR_READ_PORT_UCHAR: Output[0] = READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)Port); break;
    case IOCTL_KDVR_READ_PORT_USHORT: Output[0] = READ_PORT_USHORT((PUSHORT)(ULONG_PTR)Port); break;
    case IOCTL_KDVR_READ_PORT_ULONG: Output[0] = READ_PORT_ULONG((PULONG)(ULONG_PTR)Port); break;
    case IOCTL_KDVR_WRITE_PORT_UCHAR: WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)Port, (UCHAR)Value); return STATUS_SUCCESS;
    case IOCTL_KDVR_WRITE_PORT_USHORT:
      WRITE_PORT_USHORT((PUSHORT)(ULONG_PTR)Port, (USHORT)Value);
      return STATUS_SUCCESS;
    default: WRITE_PORT_ULONG((PULONG)(ULONG_PTR)Port, Value); return STATUS_SUCCESS;
  }
  *Information = 4;
  return STATUS_SUCCESS;
}

// One access of its width inside a live window of the caller's open, which
// stays mapped until the access is done.
static NTSTATUS KdvrMemoryAccess(PKDVR_DEVICE_EXTENSION Extension, PVOID Owner, ULONG Code, ULONG Address, ULONG Value,
                                 PULONG Output, PULONG Information) {
  ULONG Width = (Code == IOCTL_KDVR_READ_MEMORY_UCHAR || Code == IOCTL_KDVR_WRITE_MEMORY_UCHAR)     ? 1
                : (Code == IOCTL_KDVR_READ_MEMORY_USHORT || Code == IOCTL_KDVR_WRITE_MEMORY_USHORT) ? 2
                                                                                                    : 4;
  int Window = KdvrReferenceWindow(Extension, Owner, Address, Width);
  if (Window < 0) {
    return STATUS_INVALID_PARAMETER;
  }
  switch (Code) {
    case IOCTL_KDVR_READ_MEMORY_UCHAR:
      Output[0] = READ_REGISTER_UCHAR((PUCHAR)(ULONG_PTR)Address);
      *Information = 4;
      break;
    case IOCTL_KDVR_READ_MEMORY_USHORT:
      Output[0] = READ_REGISTER_USHORT((PUSHORT)(ULONG_PTR)Address);
      *Information = 4;
      break;
    case IOCTL_KDVR_READ_MEMORY_ULONG:
      Output[0] = READ_REGISTER_ULONG((PULONG)(ULONG_PTR)Address);
      *Information = 4;
      break;
    case IOCTL_KDVR_WRITE_MEMORY_UCHAR: WRITE_REGISTER_UCHAR((PUCHAR)(ULONG_PTR)Address, (UCHAR)Value); break;
    case IOCTL_KDVR_WRITE_MEMORY_USHORT: WRITE_REGISTER_USHORT((PUSHORT)(ULONG_PTR)Address, (USHORT)Value); break;
    default: WRITE_REGISTER_ULONG((PULONG)(ULONG_PTR)Address, Value); break;
  }
  KdvrReleaseWindow(Extension, Window);
  return STATUS_SUCCESS;
}

// The EEPROM control register is a byte port or a 32-bit mapped register.
static NTSTATUS KdvrEepromRequest(PKDVR_DEVICE_EXTENSION Extension, PVOID Owner, ULONG Code,
                                  const KDVR_PARAMETER_BLOCK *Parameters, PULONG Output, PULONG Information) {
  ULONG Register = Parameters->ReadEeprom.RegisterAddress;
  USHORT Method = Code == IOCTL_KDVR_READ_EEPROM    ? Parameters->ReadEeprom.AddressMethod
                  : Code == IOCTL_KDVR_WRITE_EEPROM ? Parameters->WriteEeprom.AddressMethod
                                                    : Parameters->EepromSize.AddressMethod;
  int Window;
  if (!KdvrClaimRegister(Extension, Owner, Register, Method == KDVR_ADDRESS_METHOD_PORT ? 1 : 4,
                         Method == KDVR_ADDRESS_METHOD_PORT, Method == KDVR_ADDRESS_METHOD_MEMORY, &Window)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Code == IOCTL_KDVR_READ_EEPROM) {
    const KDVR_READ_EEPROM_ARGS *Args = &Parameters->ReadEeprom;
    Output[0] = ReadEeprom(Register, Args->SizeInWords, Args->WordAddress, Method);
  } else if (Code == IOCTL_KDVR_WRITE_EEPROM) {
    const KDVR_WRITE_EEPROM_ARGS *Args = &Parameters->WriteEeprom;
    Output[0] = WriteEeprom(Register, Args->SizeInWords, Args->WordAddress, Args->Data, Method) & 0xFF;
  } else {
    Output[0] = GetEEpromSize(Register, Method);
  }
  KdvrReleaseWindow(Extension, Window);
  *Information = 4;
  return STATUS_SUCCESS;
}

// The MDI control register lies 16 bytes above the register base: a 32-bit
// port, or a 32-bit mapped register whose top byte is polled.
static NTSTATUS KdvrMdiRequest(PKDVR_DEVICE_EXTENSION Extension, PVOID Owner, ULONG Code,
                               const KDVR_PARAMETER_BLOCK *Parameters, PULONG Output, PULONG Information) {
  ULONG Base = Parameters->MdiRead.RegisterBase;
  USHORT Selector =
      Code == IOCTL_KDVR_MDI_READ ? Parameters->MdiRead.AccessSelector : Parameters->MdiWrite.AccessSelector;
  ULONG Register = Base + MDI_CONTROL_OFFSET;
  int Window;
  if (Register < Base || !KdvrClaimRegister(Extension, Owner, Register, 4, Selector != 0, Selector == 0, &Window)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Code == IOCTL_KDVR_MDI_READ) {
    Output[0] = MdiRead(Base, Parameters->MdiRead.Register, Selector);
    *Information = 4;
  } else {
    MdiWrite(Base, Parameters->MdiWrite.Register, Parameters->MdiWrite.Data, Selector);
  }
  KdvrReleaseWindow(Extension, Window);
  return STATUS_SUCCESS;
}

static NTSTATUS KdvrCompleteRequest(PIRP Irp) {
  NTSTATUS Status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS NTAPI KdvrDispatchIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  Irp->IoStatus.Information = 0;

  PKDVR_DEVICE_EXTENSION Extension = KdvrControlExtension(DeviceObject);
  if (Extension == NULL) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    return KdvrCompleteRequest(Irp);
  }

  ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  PUCHAR SystemBuffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;

  // The head of the input, at most 24 bytes; the rest of the block reads 0.
  KDVR_PARAMETER_BLOCK Parameters;
  ULONG Copied = InputLength < sizeof(Parameters) ? InputLength : (ULONG)sizeof(Parameters);
  for (ULONG i = 0; i < sizeof(Parameters); i++) {
    Parameters.Bytes[i] = (SystemBuffer != NULL && i < Copied) ? SystemBuffer[i] : 0;
  }

  // The facts of each code (its byte count, whether it changes state) come
  // from the table of control codes in nicport_ioctl.h.
  int ByteCount = KdvrResultByteCount(Code);
  if (ByteCount < 0) {
    // Not a code of the protocol: nothing done, and the request fails. The
    // I/O manager hands every request over with its status zeroed, so a
    // status left as it arrived would report success.
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    return KdvrCompleteRequest(Irp);
  }
  // A result that would not fit is refused before anything is done, so a
  // well-formed request always gets its whole layout back.
  if (ByteCount > 0 && (OutputLength < (ULONG)ByteCount || SystemBuffer == NULL)) {
    Irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
    return KdvrCompleteRequest(Irp);
  }

  // Codes that change state need an open with write access; the codes
  // themselves keep FILE_ANY_ACCESS, so the check is the driver's.
  if (KdvrCodeChangesState(Code) && (KdvrOpenAccess(Stack) & FILE_WRITE_DATA) == 0) {
    Irp->IoStatus.Status = STATUS_ACCESS_DENIED;
    return KdvrCompleteRequest(Irp);
  }

  PULONG Output = (PULONG)SystemBuffer;
  ULONG Information = 0;
  NTSTATUS Status = STATUS_SUCCESS;
  const ULONG Address = Parameters.Port.Address;
  PVOID Owner = Stack->FileObject;

  switch (Code) {
    case IOCTL_KDVR_GET_IDENTIFIER:
      Output[0] = KDVR_IDENTIFIER;
      Information = 4;
      break;

    case IOCTL_KDVR_READ_PORT_UCHAR:
    case IOCTL_KDVR_READ_PORT_USHORT:
    case IOCTL_KDVR_READ_PORT_ULONG:
    case IOCTL_KDVR_WRITE_PORT_UCHAR:
    case IOCTL_KDVR_WRITE_PORT_USHORT:
    case IOCTL_KDVR_WRITE_PORT_ULONG:
      Status = KdvrPortAccess(Code, Address, Parameters.Port.Value, Output, &Information);
      break;

    case IOCTL_KDVR_READ_MEMORY_UCHAR:
    case IOCTL_KDVR_READ_MEMORY_USHORT:
    case IOCTL_KDVR_READ_MEMORY_ULONG:
    case IOCTL_KDVR_WRITE_MEMORY_UCHAR:
    case IOCTL_KDVR_WRITE_MEMORY_USHORT:
    case IOCTL_KDVR_WRITE_MEMORY_ULONG:
      Status = KdvrMemoryAccess(Extension, Owner, Code, Address, Parameters.Memory.Value, Output, &Information);
      break;

    case IOCTL_KDVR_MAP_MEMORY: Status = KdvrMapMemory(Extension, Owner, &Parameters.Map, Output, &Information); break;
    case IOCTL_KDVR_UNMAP_MEMORY: Status = KdvrUnmapMemory(Extension, Owner, &Parameters.Unmap); break;
    case IOCTL_KDVR_VALIDATE_MEM_SPACE:
      // Serialised with the slot requests: both create device objects and
      // fill the extension's tables.
      KdvrAcquireSlotLock();
      Status = ValidateMemSpace(Extension, &Parameters.Validate, Output, &Information);
      KdvrReleaseSlotLock();
      break;
    case IOCTL_KDVR_GET_FIRST_RANGE_START:
      Output[0] = Extension->FirstRangeStart;
      Information = 4;
      break;

    case IOCTL_KDVR_RESERVED_22:
    case IOCTL_KDVR_RESERVED_23:
    case IOCTL_KDVR_RESERVED_24: Status = STATUS_NOT_SUPPORTED; break;

    case IOCTL_KDVR_READ_PCI_CONFIG: Status = KdvrPciConfig(&Parameters.PciConfig, FALSE, Output, &Information); break;
    case IOCTL_KDVR_WRITE_PCI_CONFIG: Status = KdvrPciConfig(&Parameters.PciConfig, TRUE, Output, &Information); break;

    case IOCTL_KDVR_STALL:
      // A longer busy wait would hold a processor hostage.
      if (Parameters.Stall.Microseconds > KDVR_MAX_STALL_US) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      KdvrStall(Parameters.Stall.Microseconds);
      break;

    case IOCTL_KDVR_READ_EEPROM:
    case IOCTL_KDVR_WRITE_EEPROM:
    case IOCTL_KDVR_GET_EEPROM_SIZE:
      Status = KdvrEepromRequest(Extension, Owner, Code, &Parameters, Output, &Information);
      break;
    case IOCTL_KDVR_MDI_READ:
    case IOCTL_KDVR_MDI_WRITE:
      Status = KdvrMdiRequest(Extension, Owner, Code, &Parameters, Output, &Information);
      break;

    case IOCTL_KDVR_GET_RESOURCES:
      // Words the operation leaves alone return the client's own input; past
      // a short input they return zeros, never the rest of the system buffer.
      for (ULONG i = InputLength; i < 8; i++) {
        SystemBuffer[i] = 0;
      }
      GetResources(Extension, &Parameters, Output);
      Information = 8;
      break;
    case IOCTL_KDVR_GET_INT_ROUTING:
      Status = KdvrPlatformTable(Extension, &Parameters.Table, PlatHardwareGetIntRouting, Output, &Information);
      break;
    case IOCTL_KDVR_GET_SYSTEM_ID:
      Status = KdvrPlatformTable(Extension, &Parameters.Table, PlatHardwareGetSystemID, Output, &Information);
      break;

    default:
      // A row of the table of control codes without its case here.
      Status = STATUS_DRIVER_INTERNAL_ERROR;
      break;
  }

  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  return KdvrCompleteRequest(Irp);
}
