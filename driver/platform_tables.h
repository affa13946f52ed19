// The firmware-table operations: copies of the DMI structure table and of
// the PCI interrupt routing table from the BIOS area below 1 MB. They use
// nothing but the kernel's mapping and register-read services, so this
// header and driver/platform_tables.cpp stand on their own.
#pragma once
#include "platform/ntkernel.h"

typedef struct _KDVR_DEVICE_EXTENSION *PKDVR_DEVICE_EXTENSION;

// The search windows and their step.
#define PLAT_DMI_WINDOW_START 0xF0000
#define PLAT_DMI_WINDOW_BYTES 0x10000
#define PLAT_PIR_WINDOW_START 0xE0000
#define PLAT_PIR_WINDOW_BYTES 0x20000
#define PLAT_SEARCH_STEP      16

// "_DMI" and "$PIR" as little-endian 32-bit values.
#define PLAT_DMI_SIGNATURE 0x494D445F
#define PLAT_PIR_SIGNATURE 0x52495024

// Both take the capacity of Buffer in *Length and leave there the number
// of bytes copied; the extension is not read. C linkage, like the other
// feature operations (driver/nicport.h).
extern "C" NTSTATUS PlatHardwareGetSystemID(PKDVR_DEVICE_EXTENSION Extension, PVOID Buffer, PULONG Length);
extern "C" NTSTATUS PlatHardwareGetIntRouting(PKDVR_DEVICE_EXTENSION Extension, PVOID Buffer, PULONG Length);
