// Control codes, driver and device objects, file objects and requests,
// and the I/O manager's routines for them. One of the headers of
// platform/host/ntkernel_host.h.
#pragma once
#include "ntkernel_security.h"
#include "ntkernel_types.h"

// ---- I/O control codes
#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS   0
#define FILE_READ_ACCESS  0x0001
#define FILE_WRITE_ACCESS 0x0002
#endif
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif
// Device characteristic: opens of names below the device get the device's
// own security check.
#define FILE_DEVICE_SECURE_OPEN 0x00000100

// ---- driver and device objects, requests
#define IRP_MJ_CREATE                  0x00
#define IRP_MJ_CREATE_NAMED_PIPE       0x01
#define IRP_MJ_CLOSE                   0x02
#define IRP_MJ_READ                    0x03
#define IRP_MJ_WRITE                   0x04
#define IRP_MJ_QUERY_INFORMATION       0x05
#define IRP_MJ_SET_INFORMATION         0x06
#define IRP_MJ_FLUSH_BUFFERS           0x09
#define IRP_MJ_DEVICE_CONTROL          0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN                0x10
#define IRP_MJ_CLEANUP                 0x12
#define IRP_MJ_POWER                   0x16
#define IRP_MJ_SYSTEM_CONTROL          0x17
#define IRP_MJ_PNP                     0x1b
#define IRP_MJ_MAXIMUM_FUNCTION        0x1b

#define IO_NO_INCREMENT       0
#define SL_FORCE_ACCESS_CHECK 0x01  // IO_STACK_LOCATION.Flags of a create

#define DO_VERIFY_VOLUME       0x00000002
#define DO_BUFFERED_IO         0x00000004
#define DO_EXCLUSIVE           0x00000008
#define DO_DIRECT_IO           0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
typedef NTSTATUS(NTAPI *PDRIVER_DISPATCH)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef VOID(NTAPI *PDRIVER_UNLOAD)(struct _DRIVER_OBJECT *DriverObject);
typedef NTSTATUS(NTAPI *PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT *DriverObject, PUNICODE_STRING RegistryPath);

typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT *DriverObject;
  struct _DEVICE_OBJECT *NextDevice;  // the driver's device list, newest first
  struct _DEVICE_OBJECT *AttachedDevice;
  struct _IRP *CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;  // zero-filled by IoCreateDevice
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  ULONG AlignmentRequirement;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;  // head of the driver's device list
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PVOID DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// One open of a device: what a handle refers to. The driver may keep its
// own per-open values in FsContext and FsContext2.
typedef struct _FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  struct _DEVICE_OBJECT *DeviceObject;
  PVOID Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  PVOID SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  struct _FILE_OBJECT *RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;  // the part of the opened name below the device
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PIO_SECURITY_CONTEXT SecurityContext;
      ULONG Options;
      USHORT FileAttributes;
      USHORT ShareAccess;
      ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read, Write;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PVOID CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  PVOID MdlAddress;
  ULONG Flags;
  union {
    struct _IRP *MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;  // the buffered method's system buffer
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  PIO_STATUS_BLOCK UserIosb;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PVOID Thread;
      PIO_STACK_LOCATION CurrentStackLocation;
    } Overlay;
  } Tail;
} IRP, *PIRP;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }

extern "C" {

// ---- device objects, names and requests
NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT *DeviceObject);
NTKERNELAPI VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)

}  // extern "C"
