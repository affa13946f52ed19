// Client buffer addresses carried inside requests (PCI configuration and
// platform-table codes) name memory of the calling process. Another thread
// of that process can free the pages or make them read-only at any moment,
// so a check made first proves nothing by the time the buffer is used.
// Every touch therefore runs under an exception guard: the fault of a
// vanished page ends the routine with STATUS_ACCESS_VIOLATION.
//
// The range is checked first against the user-address limit
// (MM_USER_PROBE_ADDRESS, see platform/ntkernel.h), without raising: a
// buffer that reaches into system space is refused before anything is
// touched. The kernel of NT 4 exports ProbeForWrite, but not ProbeForRead
// (a macro over the same check in its headers), so reads are checked here
// and writes also go through ProbeForWrite, which writes each page. The HAL
// never sees a client address; it reads and writes kernel buffers that
// these routines copy from and to.
#include "driver/nicport.h"

typedef struct _KDVR_CLIENT_TRANSFER {
  ULONG Client;  // client address
  ULONG Length;  // bytes probed or copied
  PVOID Kernel;  // kernel buffer of a copy
  BOOLEAN ForWrite;
  ULONG Touched;  // sum of the bytes read while probing; keeps the reads
} KDVR_CLIENT_TRANSFER;

// The range is already known to lie in client space; ProbeForWrite also
// writes each page. One byte of every page is then read, so that a page
// that is not there faults here, before any hardware is touched.
static VOID KdvrProbeRoutine(PVOID Context) {
  KDVR_CLIENT_TRANSFER *Transfer = (KDVR_CLIENT_TRANSFER *)Context;
  PVOID Address = (PVOID)(ULONG_PTR)Transfer->Client;
  if (Transfer->ForWrite) {
    ProbeForWrite(Address, Transfer->Length, 1);
  }
  const ULONG PageMask = ~(ULONG)(PAGE_SIZE - 1);
  ULONG Last = Transfer->Client + (Transfer->Length - 1);
  for (ULONG Page = Transfer->Client & PageMask;; Page += PAGE_SIZE) {
    ULONG At = Page < Transfer->Client ? Transfer->Client : Page;
    UCHAR Byte = 0;
    RtlCopyMemory(&Byte, (PVOID)(ULONG_PTR)At, 1);
    Transfer->Touched += Byte;
    if (Page == (Last & PageMask)) {
      break;
    }
  }
}

static VOID KdvrCopyOutRoutine(PVOID Context) {
  KDVR_CLIENT_TRANSFER *Transfer = (KDVR_CLIENT_TRANSFER *)Context;
  ProbeForWrite((PVOID)(ULONG_PTR)Transfer->Client, Transfer->Length, 1);
  RtlCopyMemory((PVOID)(ULONG_PTR)Transfer->Client, Transfer->Kernel, Transfer->Length);
}

static VOID KdvrCopyInRoutine(PVOID Context) {
  KDVR_CLIENT_TRANSFER *Transfer = (KDVR_CLIENT_TRANSFER *)Context;
  RtlCopyMemory(Transfer->Kernel, (PVOID)(ULONG_PTR)Transfer->Client, Transfer->Length);
}

// TRUE when [Client, Client + Length) lies wholly below the user-address
// limit; Length is not 0.
static BOOLEAN KdvrClientRange(ULONG Client, ULONG Length) {
  ULONG End = Client + Length;
  return End > Client && (ULONG_PTR)End <= (ULONG_PTR)MM_USER_PROBE_ADDRESS;
}

static NTSTATUS KdvrRunTransfer(VOID (*Routine)(PVOID), ULONG Client, ULONG Length, PVOID Kernel, BOOLEAN ForWrite) {
  if (Length == 0) {
    return STATUS_SUCCESS;
  }
  // A range that wraps, or that reaches beyond the last client address,
  // is no client buffer.
  if (!KdvrClientRange(Client, Length)) {
    return STATUS_ACCESS_VIOLATION;
  }
  KDVR_CLIENT_TRANSFER Transfer;
  Transfer.Client = Client;
  Transfer.Length = Length;
  Transfer.Kernel = Kernel;
  Transfer.ForWrite = ForWrite;
  Transfer.Touched = 0;
  NTSTATUS Status = PlatformGuardedCall(Routine, &Transfer);
  // Whatever the guard caught counts as a bad buffer.
  return NT_SUCCESS(Status) ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
}

NTSTATUS KdvrProbeClientBuffer(ULONG Address, ULONG Length, BOOLEAN ForWrite) {
  return KdvrRunTransfer(KdvrProbeRoutine, Address, Length, NULL, ForWrite);
}

NTSTATUS KdvrCopyToClient(ULONG Address, const VOID *Kernel, ULONG Count) {
  return KdvrRunTransfer(KdvrCopyOutRoutine, Address, Count, (PVOID)Kernel, TRUE);
}

NTSTATUS KdvrCopyFromClient(VOID *Kernel, ULONG Address, ULONG Count) {
  return KdvrRunTransfer(KdvrCopyInRoutine, Address, Count, Kernel, FALSE);
}
