// Firmware tables in the BIOS area below 1 MB: the DMI structure table that
// identifies the machine, and the "$PIR" PCI interrupt routing table. Each
// call maps the physical range it searches, copies, and unmaps; nothing is
// kept between calls. Every byte is read through READ_REGISTER_UCHAR or
// READ_REGISTER_ULONG, as the mappings are of physical address space that
// need not be plain memory (a table address taken from the anchor may name
// any 32-bit physical address).
//
// The destination is the client's buffer, which another thread of the
// client can take away during the copy. The copy therefore runs under its
// own exception guard, so that a fault there still unmaps the 64 or 128 KiB
// window before the operation ends with STATUS_ACCESS_VIOLATION (an
// enclosing guard alone would abandon the routine with the window mapped).
#include "driver/platform_tables.h"

static PVOID PlatMap(ULONG Physical, ULONG Bytes) {
  PHYSICAL_ADDRESS Address;
  Address.QuadPart = 0;
  Address.LowPart = Physical;
  return MmMapIoSpace(Address, Bytes, MmNonCached);
}

static ULONG PlatReadUlong(PUCHAR At) { return READ_REGISTER_ULONG((PULONG)At); }

static ULONG PlatReadUshort(PUCHAR At) {
  return (ULONG)READ_REGISTER_UCHAR(At) | ((ULONG)READ_REGISTER_UCHAR(At + 1) << 8);
}

typedef struct _PLAT_COPY {
  PUCHAR Destination;
  PUCHAR Source;
  ULONG Count;
} PLAT_COPY;

// Byte by byte from the mapping into a small kernel buffer, then on into
// the destination, a chunk at a time.
static VOID PlatCopyRoutine(PVOID Context) {
  PLAT_COPY *Copy = (PLAT_COPY *)Context;
  UCHAR Chunk[64];
  for (ULONG Done = 0; Done < Copy->Count;) {
    ULONG Bytes = Copy->Count - Done < sizeof(Chunk) ? Copy->Count - Done : (ULONG)sizeof(Chunk);
    for (ULONG i = 0; i < Bytes; i++) {
      Chunk[i] = READ_REGISTER_UCHAR(Copy->Source + Done + i);
    }
    RtlCopyMemory(Copy->Destination + Done, Chunk, Bytes);
    Done += Bytes;
  }
}

// STATUS_SUCCESS, or the status of the fault that ended the copy.
static NTSTATUS PlatCopy(PUCHAR Destination, PUCHAR Source, ULONG Count) {
  PLAT_COPY Copy;
  Copy.Destination = Destination;
  Copy.Source = Source;
  Copy.Count = Count;
  return PlatformGuardedCall(PlatCopyRoutine, &Copy);
}

NTSTATUS PlatHardwareGetSystemID(PKDVR_DEVICE_EXTENSION Extension, PVOID Buffer, PULONG Length) {
  UNREFERENCED_PARAMETER(Extension);
  PUCHAR Window = (PUCHAR)PlatMap(PLAT_DMI_WINDOW_START, PLAT_DMI_WINDOW_BYTES);
  if (Window == NULL) {
    *Length = 0;
    return STATUS_DRIVER_INTERNAL_ERROR;
  }
  BOOLEAN Found = FALSE;
  ULONG TableLength = 0;
  ULONG TableAddress = 0;
  for (ULONG Offset = 0; Offset < PLAT_DMI_WINDOW_BYTES; Offset += PLAT_SEARCH_STEP) {
    PUCHAR At = Window + Offset;
    if (PlatReadUlong(At) == PLAT_DMI_SIGNATURE && READ_REGISTER_UCHAR(At + 4) == '_') {
      TableLength = PlatReadUshort(At + 6);
      TableAddress = PlatReadUlong(At + 8);
      Found = TRUE;
      break;
    }
  }
  MmUnmapIoSpace(Window, PLAT_DMI_WINDOW_BYTES);
  if (!Found) {
    *Length = 0;
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  // From the start of the table's page, for the length plus two pages
  // rounded down to a page: that always covers the table's offset in its
  // first page and the whole table.
  ULONG PageStart = TableAddress & ~(ULONG)0xFFF;
  ULONG MapBytes = (TableLength + 0x2000) & ~(ULONG)0xFFF;
  PUCHAR Table = (PUCHAR)PlatMap(PageStart, MapBytes);
  if (Table == NULL) {
    *Length = 0;
    return STATUS_DRIVER_INTERNAL_ERROR;
  }
  ULONG Capacity = *Length;
  ULONG Count = TableLength < Capacity ? TableLength : Capacity;
  NTSTATUS Copied = PlatCopy((PUCHAR)Buffer, Table + (TableAddress & 0xFFF), Count);
  MmUnmapIoSpace(Table, MapBytes);
  if (!NT_SUCCESS(Copied)) {
    *Length = 0;
    return STATUS_ACCESS_VIOLATION;
  }
  *Length = Count;
  return TableLength > Capacity ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

NTSTATUS PlatHardwareGetIntRouting(PKDVR_DEVICE_EXTENSION Extension, PVOID Buffer, PULONG Length) {
  UNREFERENCED_PARAMETER(Extension);
  PUCHAR Window = (PUCHAR)PlatMap(PLAT_PIR_WINDOW_START, PLAT_PIR_WINDOW_BYTES);
  if (Window == NULL) {
    return STATUS_DRIVER_INTERNAL_ERROR;
  }
  ULONG Capacity = *Length;
  ULONG Copied = 0;
  ULONG TableSize = 0;
  NTSTATUS CopyStatus = STATUS_SUCCESS;
  for (ULONG Offset = 0; Offset < PLAT_PIR_WINDOW_BYTES; Offset += PLAT_SEARCH_STEP) {
    PUCHAR At = Window + Offset;
    if (PlatReadUlong(At) == PLAT_PIR_SIGNATURE) {
      TableSize = PlatReadUshort(At + 6);
      ULONG Count = TableSize < Capacity ? TableSize : Capacity;
      // A size reaching past physical 0xFFFFF runs beyond the mapping:
      // the copy stops at the end of the window. The caller learns of the
      // cut from the length: it is less than the size in the header copied
      // with the table, and the status stays as for a whole table. The
      // cut is also printed.
      ULONG Left = PLAT_PIR_WINDOW_BYTES - Offset;
      if (Count > Left) {
        DbgPrint("NICDIAG.SYS: $PIR table of %X bytes at %X runs past the BIOS area; copying %X bytes.\n",
                 (unsigned)TableSize, (unsigned)(PLAT_PIR_WINDOW_START + Offset), (unsigned)Left);
        Count = Left;
      }
      CopyStatus = PlatCopy((PUCHAR)Buffer, At, Count);
      Copied = Count;
      break;
    }
  }
  MmUnmapIoSpace(Window, PLAT_PIR_WINDOW_BYTES);
  if (!NT_SUCCESS(CopyStatus)) {
    *Length = 0;
    return STATUS_ACCESS_VIOLATION;
  }
  *Length = Copied;
  return TableSize > Capacity ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
