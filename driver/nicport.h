// NICPORT: the driver's own declarations: the control device's extension
// (the device's state; the locks, the security descriptor and the debug mask
// are globals of their files), the dispatch routines and the operations that
// the control-code routine forwards to.
#pragma once
#include "platform/ntkernel.h"
#include "driver/nicport_ioctl.h"

// Per-device objects are numbered 1 to 11; entry 0 of the tables is unused.
#define KDVR_DEVICE_TABLE_SIZE 12
#define KDVR_MAX_DEVICE_NUMBER 11
#define KDVR_SLOT_DEVICE_COUNT 4
// Base of the slot device objects' numbers: slot index i is named 0x100 + i.
#define KDVR_SLOT_NAME_BASE 0x100
// Memory windows mapped for clients that the driver keeps track of. Windows
// belong to the open that mapped them and go when it closes, so one client
// never meets another's; an adapter needs one or two.
#define KDVR_MAX_WINDOWS 64
// Every mapped page takes one of the system's page-table entries, a pool NT
// sizes at boot and that all drivers share. One window spans at most 1 MiB,
// the largest memory BAR of the adapters served (the flash window; their
// register window is 4 KiB) and more than the BIOS tables need; all live
// windows together span at most 1024 pages (4 MiB), a small part of the
// few thousand entries a small NT 4 machine has.
#define KDVR_MAX_WINDOW_BYTES 0x100000
#define KDVR_MAX_WINDOW_PAGES 1024
// Longest stall a client may ask for, in microseconds.
#define KDVR_MAX_STALL_US 1000000
// Capacity of the stored service registry path, in bytes.
#define KDVR_REGISTRY_PATH_BYTES 512
// Size of the formatted device, alias and registry names.
#define KDVR_NAME_CHARS 128

// A resource requirements list with room for two descriptors: the header
// list holds one, the second follows it directly.
typedef struct _KDVR_SLOT_REQUIREMENTS {
  IO_RESOURCE_REQUIREMENTS_LIST List;
  IO_RESOURCE_DESCRIPTOR SecondDescriptor;
} KDVR_SLOT_REQUIREMENTS;

static_assert(sizeof(IO_RESOURCE_REQUIREMENTS_LIST) == 72, "requirements list with one descriptor");
static_assert(sizeof(KDVR_SLOT_REQUIREMENTS) == 104, "requirements list with two descriptors");

// One memory window mapped through IOCTL_KDVR_MAP_MEMORY. Length 0 marks a
// free entry. An entry is reserved (Length set, VirtualAddress 0) while its
// mapping is made, live once mapped, and retired (Live FALSE) when unmapped
// while requests still use it: the last of them unmaps it.
typedef struct _KDVR_WINDOW {
  ULONG VirtualAddress;
  ULONG Length;
  ULONG Pages;   // page-table entries the mapping takes
  PVOID Owner;   // the file object of the open that mapped it
  LONG Users;    // requests using the window right now
  BOOLEAN Live;  // found by lookups
} KDVR_WINDOW;

typedef struct _KDVR_DEVICE_EXTENSION {
  PDEVICE_OBJECT DeviceObject;  // the control device itself
  PDRIVER_OBJECT DriverObject;
  UNICODE_STRING RegistryPath;  // characters in RegistryPathBuffer
  ULONG FirstRangeStart;
  LONG NextDeviceNumber;
  PDEVICE_OBJECT DeviceObjectTable[KDVR_DEVICE_TABLE_SIZE];
  PCM_RESOURCE_LIST DeviceObjectResource[KDVR_DEVICE_TABLE_SIZE];
  WCHAR RegistryPathBuffer[KDVR_REGISTRY_PATH_BYTES / sizeof(WCHAR)];
  KDVR_SLOT_REQUIREMENTS SlotRequirements;
  PDEVICE_OBJECT SlotDeviceObject[KDVR_SLOT_DEVICE_COUNT];
  // Windows mapped for clients, so that accesses and unmaps can be checked
  // against them and close and unload can unmap what a client left. The
  // lock guards the table; it is never held across a hardware access.
  KDVR_WINDOW Windows[KDVR_MAX_WINDOWS];
  FAST_MUTEX WindowLock;
} KDVR_DEVICE_EXTENSION, *PKDVR_DEVICE_EXTENSION;

static_assert(sizeof(((KDVR_DEVICE_EXTENSION *)0)->RegistryPathBuffer) == 512, "registry path buffer");

// Debug mask: bit 0 enables the load message. 1 at load.
extern "C" ULONG KrnldrvrDebugLevel;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI KdvrDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KdvrDispatchIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI KdvrUnloadDriver(PDRIVER_OBJECT DriverObject);

// The extension of a device object if it is the driver's control device,
// NULL for the per-device and slot device objects (whose extensions the
// driver never initialises).
PKDVR_DEVICE_EXTENSION KdvrControlExtension(PDEVICE_OBJECT DeviceObject);

// Builds a counted wide string from ANSI text (allocated; free with
// RtlFreeUnicodeString).
NTSTATUS KdvrMakeUnicodeName(PCSTR Text, PUNICODE_STRING Name);

// Unmaps every window still recorded (unload), or those of one open (its
// close).
VOID KdvrUnmapAllWindows(PKDVR_DEVICE_EXTENSION Extension);
VOID KdvrUnmapOwnerWindows(PKDVR_DEVICE_EXTENSION Extension, PVOID Owner);

// Who may open the driver's devices: SYSTEM and the Administrators group.
// KdvrInitializeSecurity builds the descriptor once, in DriverEntry before
// any device exists.
VOID KdvrInitializeSecurity(VOID);
// Creates one of the driver's device objects (control, per-device or slot
// object): exclusive, with the extension's size, and with
// FILE_DEVICE_SECURE_OPEN so that opens of names below it get the same
// check. Every device the driver makes goes through here.
NTSTATUS KdvrCreateSecuredDevice(PDRIVER_OBJECT DriverObject, PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                 PDEVICE_OBJECT *DeviceObject);
// The access check of an open (IRP_MJ_CREATE): refuses a name below the
// device and a caller the descriptor does not admit; on success *Granted
// is the access the open holds, kept with its file object.
NTSTATUS KdvrAdmitOpen(PIRP Irp, ACCESS_MASK *Granted);
// The access a request's open holds (0 when the request has no file object).
ACCESS_MASK KdvrOpenAccess(PIO_STACK_LOCATION Stack);

// The feature operations the control-code routine calls: ReadEeprom,
// WriteEeprom, GetEEpromSize, MdiRead, MdiWrite (driver/hwaccess.h),
// GetResources (below) and PlatHardwareGetIntRouting,
// PlatHardwareGetSystemID (driver/platform_tables.h). Each has C linkage,
// so the forwarding test replaces them at link time by their plain names
// (-Wl,--wrap=NAME) while the driver calls them directly.

// Slot resources (driver/resources.cpp); the lock that serialises them is
// made once at load, before the control device exists.
extern "C" NTSTATUS GetResources(PKDVR_DEVICE_EXTENSION Extension, PKDVR_PARAMETER_BLOCK Parameters, PULONG Output);
VOID KdvrInitializeSlotLock(VOID);
// The same lock for the memory-window validation, which also creates
// device objects and fills the extension's tables. A kernel mutex: the
// holder stays at PASSIVE_LEVEL.
VOID KdvrAcquireSlotLock(VOID);
VOID KdvrReleaseSlotLock(VOID);

// Client buffers named inside requests. Each routine runs under an
// exception guard, so a buffer that is not the caller's, is read-only where
// it must be written, or vanishes meanwhile gives STATUS_ACCESS_VIOLATION
// instead of a fault in kernel mode.
// Probes Length bytes at the client's Address for reading (and, with
// ForWrite, writing) and touches each page.
NTSTATUS KdvrProbeClientBuffer(ULONG Address, ULONG Length, BOOLEAN ForWrite);
// Copies Count bytes from the kernel buffer to the client's Address.
NTSTATUS KdvrCopyToClient(ULONG Address, const VOID *Kernel, ULONG Count);
// Copies Count bytes from the client's Address to the kernel buffer.
NTSTATUS KdvrCopyFromClient(VOID *Kernel, ULONG Address, ULONG Count);
