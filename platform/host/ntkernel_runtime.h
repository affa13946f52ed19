// The address space and probes of client memory, pool, synchronisation,
// the run-time library's strings and memory routines, the kernel's
// formatter, timing and the debug print. One of the headers of
// platform/host/ntkernel_host.h.
#pragma once
#include <cstring>

#include "ntkernel_types.h"

// ---- address space
// Client (user) memory lies below MM_USER_PROBE_ADDRESS, the system's above
// it. On the host both are placed below 4 GiB by the simulator: client
// buffers in [0x10000000, 0x40000000), mapped windows from 0x40000000 up,
// so the boundary is lower than NT's 0x7FFF0000 but means the same.
#define PAGE_SIZE  0x1000
#define PAGE_SHIFT 12
extern "C" ULONG_PTR MmUserProbeAddress;
extern "C" ULONG_PTR MmHighestUserAddress;
#define MM_USER_PROBE_ADDRESS   MmUserProbeAddress
#define MM_HIGHEST_USER_ADDRESS ((PVOID)MmHighestUserAddress)
#define MM_LOWEST_USER_ADDRESS  ((PVOID)0x10000)

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6
} POOL_TYPE;

// ---- synchronisation (a driver may serialise hardware access with these)
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
#define KernelMode     0
#define UserMode       1
#define PASSIVE_LEVEL  0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  PVOID WaitListHead[2];
} DISPATCHER_HEADER;

typedef struct _KMUTEX {  // recursive for its owning thread
  DISPATCHER_HEADER Header;
  PVOID MutantListEntry[2];
  PVOID OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTEX, *PKMUTEX, *PRKMUTEX, KMUTANT, *PKMUTANT;

typedef struct _FAST_MUTEX {  // not recursive
  LONG Count;
  PVOID Owner;
  ULONG Contention;
  PVOID Event[4];
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

extern "C" {

// ---- client memory (see the notes at the top of ntkernel_host.h)
NTKERNELAPI BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress);
NTKERNELAPI VOID NTAPI ProbeForRead(CONST VOID *Address, SIZE_T Length, ULONG Alignment);
NTKERNELAPI VOID NTAPI ProbeForWrite(PVOID Address, SIZE_T Length, ULONG Alignment);

// ---- pool
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---- run-time library
VOID NtCopyMemory(VOID *Destination, const VOID *Source, SIZE_T Length);
NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);
#define RtlZeroMemory(Destination, Length)       std::memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
// Copies go through the simulated memory manager, so that a copy to or from
// client memory that is gone or read-only raises STATUS_ACCESS_VIOLATION as
// the processor would.
#define RtlCopyMemory(Destination, Source, Length)  NtCopyMemory((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length)  std::memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!std::memcmp((Destination), (Source), (Length)))

// The kernel's own formatter: see the notes at the top of ntkernel_host.h.
int NtSprintf(char *Buffer, const char *Format, ...);
int NtSnprintf(char *Buffer, SIZE_T Count, const char *Format, ...);

// ---- timing, synchronisation, diagnostics
NTKERNELAPI VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);
NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTKERNELAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout);
#define KeWaitForMutexObject KeWaitForSingleObject
NTKERNELAPI VOID FASTCALL ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);

}  // extern "C"
