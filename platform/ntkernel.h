// The only platform header the driver's logic includes.
// Kernel build (NICKIT_KERNEL_BUILD or _WIN32): the real NT DDK headers of
// MinGW-w64; the build adds <sysroot>/include/ddk to the include path,
// because <ddk/ntddk.h> includes <wdm.h> by its short name.
// Host build: the same names, types, widths, layouts and constants,
// implemented by the simulated NT kernel, HAL and PCI machine (sim/kernel,
// sim/hw); see platform/host/ntkernel_host.h.
#pragma once

#if defined(NICKIT_KERNEL_BUILD) || defined(_WIN32)
// <intrin.h> and <wdm.h> both define these two intrinsics, which g++
// refuses in C++; keep the DDK's definitions.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif
#include <ddk/ntddk.h>
// NT 4.0 exports its user-address limit (MmUserProbeAddress) only from
// Service Pack 3 on; before that the limit was this constant, and no later
// kernel's variable is below it (it is higher only with a 3 GB user space,
// where a client buffer above it is refused rather than trusted). Importing
// the variable would keep the driver from loading on NT 4.0 as released.
#undef MM_USER_PROBE_ADDRESS
#define MM_USER_PROBE_ADDRESS 0x7FFF0000UL
// ntoskrnl.exe exports the C library's sprintf; <stdio.h> would bind the
// MinGW runtime's instead, so the driver never includes it.
extern "C" int __cdecl sprintf(char *buffer, const char *format, ...);
// Exported by every NT kernel since 3.1, but declared only in the file
// system kit's header, which the driver does not otherwise need.
extern "C" {
NTSYSAPI NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                                      BOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                                      BOOLEAN GroupDefaulted);
}
#else
#include "host/ntkernel_host.h"
#endif

// Runs Routine(Context) with an exception handler installed for it: a fault
// the routine takes on client memory (an access violation, a probe that
// raises) ends the routine there and is returned as its status; otherwise
// the result is STATUS_SUCCESS. The routine must hold no lock, since it may
// not reach its end. Kernel build: an exception registration on the
// thread's exception list (platform/windows/kernel_guard.cpp); host build:
// the simulated kernel's exception dispatch.
extern "C" NTSTATUS PlatformGuardedCall(VOID (*Routine)(PVOID Context), PVOID Context);
