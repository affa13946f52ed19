// Control-code routine: every request the client sends to the control device
// "\DosDevices\NICPORT" arrives here, is decoded through the 24-byte
// parameter block, carried out and completed before the routine returns.
#include "driver/nicport.h"

// ---------------------------------------------------------------------------
// Memory windows mapped for the client.

static int KdvrFindWindow(PKDVR_DEVICE_EXTENSION Extension, ULONG Address, ULONG Length) {
  for (int w = 0; w < KDVR_MAX_WINDOWS; w++) {
    const KDVR_WINDOW *Window = &Extension->Windows[w];
    if (Window->Length == 0 || Address < Window->VirtualAddress) {
      continue;
    }
    ULONG Offset = Address - Window->VirtualAddress;
    if (Offset < Window->Length && Length <= Window->Length - Offset) {
      return w;
    }
  }
  return -1;
}

static int KdvrFreeWindow(PKDVR_DEVICE_EXTENSION Extension) {
  for (int w = 0; w < KDVR_MAX_WINDOWS; w++) {
    if (Extension->Windows[w].Length == 0) {
      return w;
    }
  }
  return -1;
}

VOID KdvrUnmapAllWindows(PKDVR_DEVICE_EXTENSION Extension) {
  for (int w = 0; w < KDVR_MAX_WINDOWS; w++) {
    KDVR_WINDOW *Window = &Extension->Windows[w];
    if (Window->Length != 0) {
      MmUnmapIoSpace((PVOID)(ULONG_PTR)Window->VirtualAddress, Window->Length);
      Window->VirtualAddress = 0;
      Window->Length = 0;
    }
  }
}

// An access of Width bytes at a mapped virtual address the client passed:
// it must lie wholly inside one live window.
static BOOLEAN KdvrMemoryAccessValid(PKDVR_DEVICE_EXTENSION Extension, ULONG Address, ULONG Width) {
  return KdvrFindWindow(Extension, Address, Width) >= 0;
}

// I/O space on x86 is 64 KiB.
static BOOLEAN KdvrPortValid(ULONG Port) {
  return Port <= 0xFFFF;
}

// A register reached by port or by memory, as the EEPROM and PHY codes
// select it; a selector that names neither makes no access, so any address
// passes.
static BOOLEAN KdvrRegisterValid(PKDVR_DEVICE_EXTENSION Extension, ULONG Address, BOOLEAN Port, BOOLEAN Memory) {
  if (Port) {
    return KdvrPortValid(Address);
  }
  if (Memory) {
    return KdvrMemoryAccessValid(Extension, Address, sizeof(ULONG));
  }
  return TRUE;
}

// ---------------------------------------------------------------------------
// The operations the routine carries out itself. Each returns the request's
// status and sets *Information to the byte count of its result.

static NTSTATUS KdvrMapMemory(PKDVR_DEVICE_EXTENSION Extension, const KDVR_MAP_ARGS *Args, PULONG Output,
                              PULONG Information) {
  if (Args->Length == 0 || Args->BusAddress + (Args->Length - 1) < Args->BusAddress) {
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
    int Slot = KdvrFreeWindow(Extension);
    if (Slot < 0) {
      DbgPrint("NICDIAG.SYS: Too many mapped windows\n");
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID Virtual = MmMapIoSpace(Translated, Args->Length, MmNonCached);
    if (Virtual == NULL) {
      DbgPrint("NICDIAG.SYS: MmMapIoSpace Failed\n");
    } else {
      Result = (ULONG)(ULONG_PTR)Virtual;
      Extension->Windows[Slot].VirtualAddress = Result;
      Extension->Windows[Slot].Length = Args->Length;
    }
  }
  DbgPrint("NICDIAG.SYS: Mapped to Virtual Address = %X\n", (unsigned)Result);
  Output[0] = Result;
  *Information = 4;
  return STATUS_SUCCESS;
}

static NTSTATUS KdvrUnmapMemory(PKDVR_DEVICE_EXTENSION Extension, const KDVR_UNMAP_ARGS *Args) {
  int Slot = KdvrFindWindow(Extension, Args->VirtualAddress, Args->Length);
  if (Slot < 0 || Extension->Windows[Slot].VirtualAddress != Args->VirtualAddress ||
      Extension->Windows[Slot].Length != Args->Length) {
    return STATUS_INVALID_PARAMETER;
  }
  DbgPrint("NICDIAG.SYS: Calling MmUnmapIoSpace!!! MmPhysicalAddress = %X nSize = %X\n",
           (unsigned)Args->VirtualAddress, (unsigned)Args->Length);
  MmUnmapIoSpace((PVOID)(ULONG_PTR)Args->VirtualAddress, Args->Length);
  Extension->Windows[Slot].VirtualAddress = 0;
  Extension->Windows[Slot].Length = 0;
  return STATUS_SUCCESS;
}

// Deletes a per-device object and its alias that the validation could not
// use, so that the name is free for the next validation.
static VOID KdvrDiscardDevice(PKDVR_DEVICE_EXTENSION Extension, PDEVICE_OBJECT Device, PUNICODE_STRING LinkName) {
  if (LinkName != NULL) {
    IoDeleteSymbolicLink(LinkName);
  }
  PDRIVER_OBJECT DriverObject = Extension->DriverObject;
  DriverObject->DeviceObject = Device;
  IoDeleteDevice(Device);
  DriverObject->DeviceObject = Extension->DeviceObject;
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
  Status = IoCreateDevice(Extension->DriverObject, sizeof(KDVR_DEVICE_EXTENSION), &DeviceName, FILE_DEVICE_UNKNOWN,
                          0, TRUE, &Device);
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
    KdvrDiscardDevice(Extension, Device, NULL);
    return Status;
  }

  UNICODE_STRING Path;
  sprintf(Text, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\%s\\Parameters", "NICPORT");
  Status = KdvrMakeUnicodeName(Text, &Path);
  PCM_RESOURCE_LIST Assigned = NULL;
  if (NT_SUCCESS(Status)) {
    DbgPrint("NICDIAG.SYS: VALIDATE(): Call HalAssignSlotResource()!!!.\n");
    Status = HalAssignSlotResources(&Path, NULL, Extension->DriverObject, Device, PCIBus, Args->BusNumber,
                                    Args->SlotNumber, &Assigned);
    RtlFreeUnicodeString(&Path);
  }
  // The new address is the start of the second assigned range; a list with
  // fewer ranges cannot answer and counts as a failed assignment.
  if (Status == STATUS_SUCCESS &&
      (Assigned == NULL || Assigned->Count < 1 || Assigned->List[0].PartialResourceList.Count < 2)) {
    Status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Status != STATUS_SUCCESS) {
    DbgPrint("NICDIAG.SYS: VALIDATE(): HalAssignSlotResource FAILED\n");
    if (Assigned != NULL) {
      ExFreePool(Assigned);
    }
    KdvrDiscardDevice(Extension, Device, &LinkName);
    RtlFreeUnicodeString(&LinkName);
    return Status;
  }
  RtlFreeUnicodeString(&LinkName);

  PCM_PARTIAL_RESOURCE_DESCRIPTOR Partial = Assigned->List[0].PartialResourceList.PartialDescriptors;
  Extension->FirstRangeStart = Partial[0].u.Generic.Start.LowPart;
  ULONG NewAddress = Partial[1].u.Generic.Start.LowPart;
  DbgPrint("NICDIAG.SYS: VALIDATE(): HalAssignSlotResource NT_STATUS_SUCCESS. New Address = %X\n",
           (unsigned)NewAddress);
  ExFreePool(Assigned);

  Extension->DeviceObjectTable[Number] = Device;
  Extension->NextDeviceNumber = Number + 1;
  Extension->DriverObject->DeviceObject = Extension->DeviceObject;

  Output[0] = NewAddress;
  *Information = 4;
  return STATUS_SUCCESS;
}

static NTSTATUS KdvrPciConfig(const KDVR_PCI_CONFIG_ARGS *Args, BOOLEAN Write, PULONG Output, PULONG Information) {
  // The HAL copies straight to or from the client's buffer.
  if (!KdvrClientBufferValid(Args->Buffer, Args->Length, !Write)) {
    return STATUS_ACCESS_VIOLATION;
  }
  PVOID Buffer = (PVOID)(ULONG_PTR)Args->Buffer;
  ULONG Count;
  if (Write) {
    Count = HalSetBusDataByOffset(PCIConfiguration, Args->BusNumber, Args->SlotNumber, Buffer, Args->Offset,
                                  Args->Length);
  } else {
    Count = HalGetBusDataByOffset(PCIConfiguration, Args->BusNumber, Args->SlotNumber, Buffer, Args->Offset,
                                  Args->Length);
  }
  Output[0] = Count;
  *Information = 4;
  return STATUS_SUCCESS;
}

static NTSTATUS KdvrPlatformTable(PKDVR_DEVICE_EXTENSION Extension, const KDVR_TABLE_ARGS *Args,
                                  NTSTATUS (*Operation)(PKDVR_DEVICE_EXTENSION, PVOID, PULONG), PULONG Output,
                                  PULONG Information) {
  if (!KdvrClientBufferValid(Args->Buffer, Args->Size, TRUE)) {
    return STATUS_ACCESS_VIOLATION;
  }
  Output[1] = Args->Size;
  Output[0] = (ULONG)Operation(Extension, (PVOID)(ULONG_PTR)Args->Buffer, &Output[1]);
  *Information = 8;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Which codes are answered: the feature codes only once their operation is
// plugged in; until then they are unrecognised.

static BOOLEAN KdvrCodeRecognised(ULONG Code) {
  switch (Code) {
    case IOCTL_KDVR_READ_EEPROM:
      return KdvrFeatures.ReadEeprom != NULL;
    case IOCTL_KDVR_WRITE_EEPROM:
      return KdvrFeatures.WriteEeprom != NULL;
    case IOCTL_KDVR_GET_EEPROM_SIZE:
      return KdvrFeatures.GetEEpromSize != NULL;
    case IOCTL_KDVR_MDI_READ:
      return KdvrFeatures.MdiRead != NULL;
    case IOCTL_KDVR_MDI_WRITE:
      return KdvrFeatures.MdiWrite != NULL;
    case IOCTL_KDVR_GET_RESOURCES:
      return KdvrFeatures.GetResources != NULL;
    case IOCTL_KDVR_GET_INT_ROUTING:
      return KdvrFeatures.PlatHardwareGetIntRouting != NULL;
    case IOCTL_KDVR_GET_SYSTEM_ID:
      return KdvrFeatures.PlatHardwareGetSystemID != NULL;
    default:
      return KdvrResultByteCount(Code) >= 0;
  }
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

  if (!KdvrCodeRecognised(Code)) {
    // Nothing done; the status stays as the request arrived.
    return KdvrCompleteRequest(Irp);
  }
  // A result that would not fit is refused before anything is done, so a
  // well-formed request always gets its whole layout back.
  int ByteCount = KdvrResultByteCount(Code);
  if (ByteCount > 0 && (OutputLength < (ULONG)ByteCount || SystemBuffer == NULL)) {
    Irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
    return KdvrCompleteRequest(Irp);
  }

  PULONG Output = (PULONG)SystemBuffer;
  ULONG Information = 0;
  NTSTATUS Status = STATUS_SUCCESS;
  const ULONG Address = Parameters.Port.Address;

  switch (Code) {
    case IOCTL_KDVR_GET_IDENTIFIER:
      Output[0] = KDVR_IDENTIFIER;
      Information = 4;
      break;

    case IOCTL_KDVR_READ_PORT_UCHAR:
    case IOCTL_KDVR_READ_PORT_USHORT:
    case IOCTL_KDVR_READ_PORT_ULONG:
      if (!KdvrPortValid(Address)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      if (Code == IOCTL_KDVR_READ_PORT_UCHAR) {
        Output[0] = READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)Address);
      } else if (Code == IOCTL_KDVR_READ_PORT_USHORT) {
        Output[0] = READ_PORT_USHORT((PUSHORT)(ULONG_PTR)Address);
      } else {
        Output[0] = READ_PORT_ULONG((PULONG)(ULONG_PTR)Address);
      }
      Information = 4;
      break;

    case IOCTL_KDVR_WRITE_PORT_UCHAR:
    case IOCTL_KDVR_WRITE_PORT_USHORT:
    case IOCTL_KDVR_WRITE_PORT_ULONG:
      if (!KdvrPortValid(Address)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      if (Code == IOCTL_KDVR_WRITE_PORT_UCHAR) {
        WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)Address, (UCHAR)Parameters.Port.Value);
      } else if (Code == IOCTL_KDVR_WRITE_PORT_USHORT) {
        WRITE_PORT_USHORT((PUSHORT)(ULONG_PTR)Address, (USHORT)Parameters.Port.Value);
      } else {
        WRITE_PORT_ULONG((PULONG)(ULONG_PTR)Address, Parameters.Port.Value);
      }
      break;

    case IOCTL_KDVR_READ_MEMORY_UCHAR:
      if (!KdvrMemoryAccessValid(Extension, Address, 1)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      Output[0] = READ_REGISTER_UCHAR((PUCHAR)(ULONG_PTR)Address);
      Information = 4;
      break;
    case IOCTL_KDVR_READ_MEMORY_USHORT:
      if (!KdvrMemoryAccessValid(Extension, Address, 2)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      Output[0] = READ_REGISTER_USHORT((PUSHORT)(ULONG_PTR)Address);
      Information = 4;
      break;
    case IOCTL_KDVR_READ_MEMORY_ULONG:
      if (!KdvrMemoryAccessValid(Extension, Address, 4)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      Output[0] = READ_REGISTER_ULONG((PULONG)(ULONG_PTR)Address);
      Information = 4;
      break;
    case IOCTL_KDVR_WRITE_MEMORY_UCHAR:
      if (!KdvrMemoryAccessValid(Extension, Address, 1)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      WRITE_REGISTER_UCHAR((PUCHAR)(ULONG_PTR)Address, (UCHAR)Parameters.Memory.Value);
      break;
    case IOCTL_KDVR_WRITE_MEMORY_USHORT:
      if (!KdvrMemoryAccessValid(Extension, Address, 2)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      WRITE_REGISTER_USHORT((PUSHORT)(ULONG_PTR)Address, (USHORT)Parameters.Memory.Value);
      break;
    case IOCTL_KDVR_WRITE_MEMORY_ULONG:
      if (!KdvrMemoryAccessValid(Extension, Address, 4)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      WRITE_REGISTER_ULONG((PULONG)(ULONG_PTR)Address, Parameters.Memory.Value);
      break;

    case IOCTL_KDVR_MAP_MEMORY:
      Status = KdvrMapMemory(Extension, &Parameters.Map, Output, &Information);
      break;
    case IOCTL_KDVR_UNMAP_MEMORY:
      Status = KdvrUnmapMemory(Extension, &Parameters.Unmap);
      break;
    case IOCTL_KDVR_VALIDATE_MEM_SPACE:
      Status = ValidateMemSpace(Extension, &Parameters.Validate, Output, &Information);
      break;
    case IOCTL_KDVR_GET_FIRST_RANGE_START:
      Output[0] = Extension->FirstRangeStart;
      Information = 4;
      break;

    case IOCTL_KDVR_RESERVED_22:
    case IOCTL_KDVR_RESERVED_23:
    case IOCTL_KDVR_RESERVED_24:
      Status = STATUS_NOT_SUPPORTED;
      break;

    case IOCTL_KDVR_READ_PCI_CONFIG:
      Status = KdvrPciConfig(&Parameters.PciConfig, FALSE, Output, &Information);
      break;
    case IOCTL_KDVR_WRITE_PCI_CONFIG:
      Status = KdvrPciConfig(&Parameters.PciConfig, TRUE, Output, &Information);
      break;

    case IOCTL_KDVR_STALL:
      KeStallExecutionProcessor(Parameters.Stall.Microseconds);
      break;

    case IOCTL_KDVR_READ_EEPROM: {
      const KDVR_READ_EEPROM_ARGS *Args = &Parameters.ReadEeprom;
      if (!KdvrRegisterValid(Extension, Args->RegisterAddress, Args->AddressMethod == KDVR_ADDRESS_METHOD_PORT,
                             Args->AddressMethod == KDVR_ADDRESS_METHOD_MEMORY)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      Output[0] = KdvrFeatures.ReadEeprom(Args->RegisterAddress, Args->SizeInWords, Args->WordAddress,
                                          Args->AddressMethod);
      Information = 4;
      break;
    }
    case IOCTL_KDVR_WRITE_EEPROM: {
      const KDVR_WRITE_EEPROM_ARGS *Args = &Parameters.WriteEeprom;
      if (!KdvrRegisterValid(Extension, Args->RegisterAddress, Args->AddressMethod == KDVR_ADDRESS_METHOD_PORT,
                             Args->AddressMethod == KDVR_ADDRESS_METHOD_MEMORY)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      Output[0] = KdvrFeatures.WriteEeprom(Args->RegisterAddress, Args->SizeInWords, Args->WordAddress, Args->Data,
                                           Args->AddressMethod) & 0xFF;
      Information = 4;
      break;
    }
    case IOCTL_KDVR_GET_EEPROM_SIZE: {
      const KDVR_EEPROM_SIZE_ARGS *Args = &Parameters.EepromSize;
      if (!KdvrRegisterValid(Extension, Args->RegisterAddress, Args->AddressMethod == KDVR_ADDRESS_METHOD_PORT,
                             Args->AddressMethod == KDVR_ADDRESS_METHOD_MEMORY)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      Output[0] = KdvrFeatures.GetEEpromSize(Args->RegisterAddress, Args->AddressMethod);
      Information = 4;
      break;
    }
    case IOCTL_KDVR_MDI_READ: {
      // The MDI control register lies 16 bytes above the register base.
      const KDVR_MDI_READ_ARGS *Args = &Parameters.MdiRead;
      ULONG Register = Args->RegisterBase + 16;
      if (Register < Args->RegisterBase ||
          !KdvrRegisterValid(Extension, Register, Args->AccessSelector != 0, Args->AccessSelector == 0)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      Output[0] = KdvrFeatures.MdiRead(Args->RegisterBase, Args->Register, Args->AccessSelector);
      Information = 4;
      break;
    }
    case IOCTL_KDVR_MDI_WRITE: {
      const KDVR_MDI_WRITE_ARGS *Args = &Parameters.MdiWrite;
      ULONG Register = Args->RegisterBase + 16;
      if (Register < Args->RegisterBase ||
          !KdvrRegisterValid(Extension, Register, Args->AccessSelector != 0, Args->AccessSelector == 0)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      KdvrFeatures.MdiWrite(Args->RegisterBase, Args->Register, Args->Data, Args->AccessSelector);
      break;
    }

    case IOCTL_KDVR_GET_RESOURCES:
      // Words the operation leaves alone return the client's own input; past
      // a short input they return zeros, never the rest of the system buffer.
      for (ULONG i = InputLength; i < 8; i++) {
        SystemBuffer[i] = 0;
      }
      KdvrFeatures.GetResources(Extension, &Parameters, Output);
      Information = 8;
      break;
    case IOCTL_KDVR_GET_INT_ROUTING:
      Status = KdvrPlatformTable(Extension, &Parameters.Table, KdvrFeatures.PlatHardwareGetIntRouting, Output,
                                 &Information);
      break;
    case IOCTL_KDVR_GET_SYSTEM_ID:
      Status = KdvrPlatformTable(Extension, &Parameters.Table, KdvrFeatures.PlatHardwareGetSystemID, Output,
                                 &Information);
      break;

    default:
      break;
  }

  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  return KdvrCompleteRequest(Irp);
}
