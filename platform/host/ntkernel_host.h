// Host declarations of the NT kernel and HAL subset the driver uses, with
// the platform's names, widths, constants and record layouts. The simulated
// NT kernel and PCI machine (sim/kernel, sim/hw) implements every function
// declared in the headers included below; tests and tools drive it through
// sim/kernel/kernel.h.
//
// Widths follow the 32-bit target: ULONG and LONG are 32 bits, NTSTATUS is a
// LONG, BOOLEAN is a byte, PHYSICAL_ADDRESS is a 64-bit LARGE_INTEGER.
// Pointers are 64 bits on the host, so records whose layout the platform
// fixes (resource lists, PCI configuration header) contain no pointers and
// are pinned with static_assert. Addresses that the driver hands around as
// 32-bit values (mapped windows, client buffers) are really below 4 GiB on
// the host, so a ULONG holds them.
//
// Differences from the real kernel that a driver can observe:
// - sprintf and _snprintf are the kernel's own formatter (NtSprintf): "%lx",
//   "%ld" take 32-bit values as on the target, "%I64x" takes 64 bits, "%ws"
//   and "%S" take WCHAR strings, "%Z" an ANSI_STRING*, "%wZ" a
//   UNICODE_STRING*.
// - ProbeForRead/ProbeForWrite on an address outside the client's memory
//   raise as NT does: inside PlatformGuardedCall (platform/ntkernel.h) the
//   raise ends the guarded routine with its status; without a guard the
//   simulator records it as a driver fault (a bug check). MmIsAddressValid
//   is the non-raising check: TRUE for client memory, pool and mapped
//   windows, FALSE otherwise.
// - A driver fault (bug check) aborts the current call into the driver and
//   is recorded by the simulator (sim::kernel::Kernel::driver_faults()).
#pragma once
#include <cstdio>

// The declarations, by subject; each header includes what it builds on.
#include "ntkernel_types.h"
#include "ntkernel_security.h"
#include "ntkernel_io.h"
#include "ntkernel_hal.h"
#include "ntkernel_runtime.h"

// sprintf and _snprintf in the driver are the kernel's (see the top); the C
// library's <cstdio> is included above so these names stay bound here.
#define sprintf   NtSprintf
#define _snprintf NtSnprintf
