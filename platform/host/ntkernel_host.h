// Host declarations of the NT kernel and HAL subset the driver uses, with
// the platform's names, widths, constants and record layouts. The simulated
// NT kernel and PCI machine (sim/kernel, sim/hw) implements every function
// declared here; tests and tools drive it through sim/kernel/kernel.h.
//
// Widths follow the 32-bit target: ULONG and LONG are 32 bits, NTSTATUS is a
// LONG, BOOLEAN is a byte, PHYSICAL_ADDRESS is a 64-bit LARGE_INTEGER.
// Pointers are 64 bits on the host, so records whose layout the platform
// fixes (resource lists, PCI configuration header) contain no pointers and
// are pinned below with static_assert. Addresses that the driver hands
// around as 32-bit values (mapped windows, client buffers) are really below
// 4 GiB on the host, so a ULONG holds them.
//
// Differences from the real kernel that a driver can observe:
// - sprintf and _snprintf are the kernel's own formatter (NtSprintf): "%lx",
//   "%ld" take 32-bit values as on the target, "%I64x" takes 64 bits, "%ws"
//   and "%S" take WCHAR strings, "%Z" an ANSI_STRING*, "%wZ" a
//   UNICODE_STRING*.
// - ProbeForRead/ProbeForWrite on an address outside the client's memory
//   raise as NT does; as the driver cannot catch the exception without
//   structured exception handling, the simulator records it as a driver
//   fault (a bug check). MmIsAddressValid is the non-raising check: TRUE
//   for client memory, pool and mapped windows, FALSE otherwise.
// - A driver fault (bug check) aborts the current call into the driver and
//   is recorded by the simulator (sim::kernel::Kernel::driver_faults()).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// ---- calling conventions and annotations
#ifndef NTAPI
#define NTAPI
#endif
#ifndef FASTCALL
#define FASTCALL
#endif
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif
#ifndef CONST
#define CONST const
#endif

// ---- basic types (32-bit widths as on the target)
typedef void VOID;
typedef char CHAR;
typedef char CCHAR;
typedef unsigned char UCHAR;
typedef unsigned char BYTE;
typedef short SHORT;
typedef short CSHORT;
typedef unsigned short USHORT;
typedef unsigned short WORD;
typedef int LONG;
typedef unsigned int ULONG;
typedef unsigned int DWORD;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned char BOOLEAN;
typedef unsigned short WCHAR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG NTSTATUS;
typedef void *PVOID;
typedef void *HANDLE;
typedef CHAR *PCHAR, *PSTR, *PSZ;
typedef const CHAR *PCSTR, *PCSZ;
typedef UCHAR *PUCHAR;
typedef USHORT *PUSHORT;
typedef ULONG *PULONG;
typedef LONG *PLONG;
typedef BOOLEAN *PBOOLEAN;
typedef WCHAR *PWCH, *PWSTR;
typedef const WCHAR *PCWSTR;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef ULONG KAFFINITY;  // 32 bits on the target; part of a fixed layout
typedef UCHAR KIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef NTSTATUS *PNTSTATUS;

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(NTSTATUS) == 4, "NT widths");
static_assert(sizeof(BOOLEAN) == 1 && sizeof(WCHAR) == 2, "NT widths");

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL 0
#endif

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 8 bytes");
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
  ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARGUMENT_PRESENT(p) ((CHAR *)((ULONG_PTR)(p)) != (CHAR *)NULL)
#define PAGED_CODE() ((void)0)
#define ASSERT(e) ((void)0)

// ---- address space
// Client (user) memory lies below MM_USER_PROBE_ADDRESS, the system's above
// it. On the host both are placed below 4 GiB by the simulator: client
// buffers in [0x10000000, 0x40000000), mapped windows from 0x40000000 up,
// so the boundary is lower than NT's 0x7FFF0000 but means the same.
#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12
extern "C" ULONG_PTR MmUserProbeAddress;
extern "C" ULONG_PTR MmHighestUserAddress;
#define MM_USER_PROBE_ADDRESS MmUserProbeAddress
#define MM_HIGHEST_USER_ADDRESS ((PVOID)MmHighestUserAddress)
#define MM_LOWEST_USER_ADDRESS ((PVOID)0x10000)

// ---- status codes (published values)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_DATATYPE_MISALIGNMENT ((NTSTATUS)0x80000002L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_CONFLICTING_ADDRESSES ((NTSTATUS)0xC0000018L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_UNKNOWN_REVISION ((NTSTATUS)0xC0000058L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_DRIVER_INTERNAL_ERROR ((NTSTATUS)0xC0000183L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)

// ---- strings
typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminating null
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;
typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const ANSI_STRING *PCANSI_STRING;

// ---- I/O control codes
#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#endif
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif
// Device characteristic: opens of names below the device get the device's
// own security check.
#define FILE_DEVICE_SECURE_OPEN 0x00000100

// ---- access rights and security descriptors
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ \
  (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE \
  (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | FILE_APPEND_DATA | SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)

typedef struct _GENERIC_MAPPING {
  ACCESS_MASK GenericRead;
  ACCESS_MASK GenericWrite;
  ACCESS_MASK GenericExecute;
  ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

// An access list: this header, then AceCount entries, AclSize bytes in all.
// Each entry starts with a type byte, a flags byte and a 16-bit size; an
// access-allowed entry (type 0) goes on with its 32-bit mask and the SID.
#define ACL_REVISION 2
#define ACCESS_ALLOWED_ACE_TYPE 0
#define ACCESS_DENIED_ACE_TYPE 1
typedef struct _ACL {
  UCHAR AclRevision;
  UCHAR Sbz1;
  USHORT AclSize;
  USHORT AceCount;
  USHORT Sbz2;
} ACL, *PACL;
static_assert(sizeof(ACL) == 8, "ACL header is 8 bytes");

typedef PVOID PSID;
#define SECURITY_DESCRIPTOR_REVISION 1
#define SE_DACL_PRESENT 0x0004
#define SL_FORCE_ACCESS_CHECK 0x01  // IO_STACK_LOCATION.Flags of a create
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_DEFAULTED 0x0008
typedef USHORT SECURITY_DESCRIPTOR_CONTROL;
typedef struct _SECURITY_DESCRIPTOR {  // absolute form
  UCHAR Revision;
  UCHAR Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
typedef PVOID PSECURITY_DESCRIPTOR;

// The caller's identity, as the I/O manager captures it for an open. The
// tokens are the simulator's own records.
typedef struct _SECURITY_SUBJECT_CONTEXT {
  PVOID ClientToken;
  LONG ImpersonationLevel;
  PVOID PrimaryToken;
  PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;

typedef struct _ACCESS_STATE {
  ULONG OperationID[2];
  BOOLEAN SecurityEvaluated;
  BOOLEAN GenerateAudit;
  BOOLEAN GenerateOnClose;
  BOOLEAN PrivilegesAllocated;
  ULONG Flags;
  ACCESS_MASK RemainingDesiredAccess;
  ACCESS_MASK PreviouslyGrantedAccess;
  ACCESS_MASK OriginalDesiredAccess;
  SECURITY_SUBJECT_CONTEXT SubjectSecurityContext;
  PSECURITY_DESCRIPTOR SecurityDescriptor;
  PVOID AuxData;
} ACCESS_STATE, *PACCESS_STATE;

typedef struct _IO_SECURITY_CONTEXT {
  PVOID SecurityQos;
  PACCESS_STATE AccessState;
  ACCESS_MASK DesiredAccess;
  ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;

typedef struct _PRIVILEGE_SET *PPRIVILEGE_SET;

// ---- driver and device objects, requests
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IO_NO_INCREMENT 0

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
typedef NTSTATUS (NTAPI *PDRIVER_DISPATCH)(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef VOID (NTAPI *PDRIVER_UNLOAD)(struct _DRIVER_OBJECT *DriverObject);
typedef NTSTATUS (NTAPI *PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT *DriverObject,
                                             PUNICODE_STRING RegistryPath);

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

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}

// ---- buses, resources and the PCI configuration header
typedef enum _INTERFACE_TYPE {
  InterfaceTypeUndefined = -1,
  Internal = 0,
  Isa = 1,
  Eisa = 2,
  MicroChannel = 3,
  TurboChannel = 4,
  PCIBus = 5,
  VMEBus = 6,
  NuBus = 7,
  PCMCIABus = 8,
  CBus = 9,
  MPIBus = 10,
  MPSABus = 11,
  ProcessorInternal = 12,
  InternalPowerBus = 13,
  PNPISABus = 14,
  MaximumInterfaceType
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _BUS_DATA_TYPE {
  ConfigurationSpaceUndefined = -1,
  Cmos = 0,
  EisaConfiguration = 1,
  Pos = 2,
  CbusConfiguration = 3,
  PCIConfiguration = 4,
  VMEConfiguration = 5,
  NuBusConfiguration = 6,
  PCMCIAConfiguration = 7,
  MPIConfiguration = 8,
  MPSAConfiguration = 9,
  PNPISAConfiguration = 10,
  MaximumBusDataType
} BUS_DATA_TYPE, *PBUS_DATA_TYPE;
static_assert(sizeof(INTERFACE_TYPE) == 4 && sizeof(BUS_DATA_TYPE) == 4, "enums are 32 bits");

typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6
} POOL_TYPE;

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6

typedef enum _CM_SHARE_DISPOSITION {
  CmResourceShareUndetermined = 0,
  CmResourceShareDeviceExclusive = 1,
  CmResourceShareDriverExclusive = 2,
  CmResourceShareShared = 3
} CM_SHARE_DISPOSITION;

#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0
#define CM_RESOURCE_INTERRUPT_LATCHED 1
#define CM_RESOURCE_MEMORY_READ_WRITE 0x0000
#define CM_RESOURCE_MEMORY_READ_ONLY 0x0001
#define CM_RESOURCE_MEMORY_WRITE_ONLY 0x0002
#define CM_RESOURCE_MEMORY_PREFETCHABLE 0x0004
#define CM_RESOURCE_PORT_MEMORY 0x0000
#define CM_RESOURCE_PORT_IO 0x0001

#define IO_RESOURCE_PREFERRED 0x01
#define IO_RESOURCE_DEFAULT 0x02
#define IO_RESOURCE_ALTERNATIVE 0x08

// Assigned resources: packed to 4 as in the platform's headers.
#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Generic, Port, Memory;
    struct {
      ULONG Level;
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
    struct {
      ULONG Channel;
      ULONG Port;
      ULONG Reserved1;
    } Dma;
    struct {
      ULONG Data[3];
    } DevicePrivate;
    struct {
      ULONG Start;
      ULONG Length;
      ULONG Reserved;
    } BusNumber;
    struct {
      ULONG DataSize;
      ULONG Reserved1;
      ULONG Reserved2;
    } DeviceSpecificData;
  } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

typedef struct _CM_PARTIAL_RESOURCE_LIST {
  USHORT Version;
  USHORT Revision;
  ULONG Count;
  CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
  INTERFACE_TYPE InterfaceType;
  ULONG BusNumber;
  CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
  ULONG Count;
  CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
#pragma pack(pop)

static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 16, "CM partial descriptor is 16 bytes");
static_assert(sizeof(CM_PARTIAL_RESOURCE_LIST) == 24, "CM partial list is 24 bytes");
static_assert(sizeof(CM_FULL_RESOURCE_DESCRIPTOR) == 32, "CM full descriptor is 32 bytes");
static_assert(sizeof(CM_RESOURCE_LIST) == 36, "CM resource list with one descriptor is 36 bytes");
static_assert(offsetof(CM_PARTIAL_RESOURCE_DESCRIPTOR, u) == 4, "CM partial descriptor layout");

// Requested resources: natural alignment (8 for the 64-bit addresses).
typedef struct _IO_RESOURCE_DESCRIPTOR {
  UCHAR Option;
  UCHAR Type;
  UCHAR ShareDisposition;
  UCHAR Spare1;
  USHORT Flags;
  USHORT Spare2;
  union {
    struct {
      ULONG Length;
      ULONG Alignment;
      PHYSICAL_ADDRESS MinimumAddress;
      PHYSICAL_ADDRESS MaximumAddress;
    } Port, Memory, Generic;
    struct {
      ULONG MinimumVector;
      ULONG MaximumVector;
    } Interrupt;
    struct {
      ULONG MinimumChannel;
      ULONG MaximumChannel;
    } Dma;
    struct {
      ULONG Data[3];
    } DevicePrivate;
    struct {
      ULONG Length;
      ULONG MinBusNumber;
      ULONG MaxBusNumber;
      ULONG Reserved;
    } BusNumber;
  } u;
} IO_RESOURCE_DESCRIPTOR, *PIO_RESOURCE_DESCRIPTOR;

typedef struct _IO_RESOURCE_LIST {
  USHORT Version;
  USHORT Revision;
  ULONG Count;
  IO_RESOURCE_DESCRIPTOR Descriptors[1];
} IO_RESOURCE_LIST, *PIO_RESOURCE_LIST;

typedef struct _IO_RESOURCE_REQUIREMENTS_LIST {
  ULONG ListSize;
  INTERFACE_TYPE InterfaceType;
  ULONG BusNumber;
  ULONG SlotNumber;
  ULONG Reserved[3];
  ULONG AlternativeLists;
  IO_RESOURCE_LIST List[1];
} IO_RESOURCE_REQUIREMENTS_LIST, *PIO_RESOURCE_REQUIREMENTS_LIST;

static_assert(sizeof(IO_RESOURCE_DESCRIPTOR) == 32, "IO resource descriptor is 32 bytes");
static_assert(sizeof(IO_RESOURCE_LIST) == 40, "IO resource list with one descriptor is 40 bytes");
static_assert(offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List) == 32, "requirements header is 32 bytes");
static_assert(sizeof(IO_RESOURCE_REQUIREMENTS_LIST) == 72, "requirements list with one descriptor is 72 bytes");
static_assert(sizeof(IO_RESOURCE_REQUIREMENTS_LIST) + sizeof(IO_RESOURCE_DESCRIPTOR) == 104,
              "requirements list with two descriptors is 104 bytes");

typedef struct _PCI_SLOT_NUMBER {
  union {
    struct {
      ULONG DeviceNumber : 5;
      ULONG FunctionNumber : 3;
      ULONG Reserved : 24;
    } bits;
    ULONG AsULONG;
  } u;
} PCI_SLOT_NUMBER, *PPCI_SLOT_NUMBER;
static_assert(sizeof(PCI_SLOT_NUMBER) == 4, "PCI_SLOT_NUMBER is 4 bytes");

#define PCI_TYPE0_ADDRESSES 6
#define PCI_INVALID_VENDORID 0xFFFF
#define PCI_COMMON_HDR_LENGTH 64
#define PCI_ENABLE_IO_SPACE 0x0001
#define PCI_ENABLE_MEMORY_SPACE 0x0002
#define PCI_ENABLE_BUS_MASTER 0x0004
#define PCI_ADDRESS_IO_SPACE 0x00000001
#define PCI_ADDRESS_MEMORY_TYPE_MASK 0x00000006
#define PCI_ADDRESS_MEMORY_PREFETCHABLE 0x00000008

typedef struct _PCI_COMMON_CONFIG {
  USHORT VendorID;
  USHORT DeviceID;
  USHORT Command;
  USHORT Status;
  UCHAR RevisionID;
  UCHAR ProgIf;
  UCHAR SubClass;
  UCHAR BaseClass;
  UCHAR CacheLineSize;
  UCHAR LatencyTimer;
  UCHAR HeaderType;
  UCHAR BIST;
  union {
    struct _PCI_HEADER_TYPE_0 {
      ULONG BaseAddresses[PCI_TYPE0_ADDRESSES];
      ULONG CIS;
      USHORT SubVendorID;
      USHORT SubSystemID;
      ULONG ROMBaseAddress;
      UCHAR CapabilitiesPtr;
      UCHAR Reserved1[3];
      ULONG Reserved2;
      UCHAR InterruptLine;
      UCHAR InterruptPin;
      UCHAR MinimumGrant;
      UCHAR MaximumLatency;
    } type0;
  } u;
  UCHAR DeviceSpecific[192];
} PCI_COMMON_CONFIG, *PPCI_COMMON_CONFIG;
static_assert(sizeof(PCI_COMMON_CONFIG) == 256, "PCI configuration space is 256 bytes");
static_assert(offsetof(PCI_COMMON_CONFIG, u.type0.InterruptLine) == 0x3C, "PCI header layout");

// ---- synchronisation (a driver may serialise hardware access with these)
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
#define KernelMode 0
#define UserMode 1
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
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

// ---- device objects, names and requests
NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PDEVICE_OBJECT *DeviceObject);
NTKERNELAPI VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)

// ---- resources
NTKERNELAPI NTSTATUS NTAPI IoAssignResources(PUNICODE_STRING RegistryPath, PUNICODE_STRING DriverClassName,
                                             PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                                             PIO_RESOURCE_REQUIREMENTS_LIST RequestedResources,
                                             PCM_RESOURCE_LIST *AllocatedResources);
NTKERNELAPI NTSTATUS NTAPI IoReportResourceUsage(PUNICODE_STRING DriverClassName, PDRIVER_OBJECT DriverObject,
                                                 PCM_RESOURCE_LIST DriverList, ULONG DriverListSize,
                                                 PDEVICE_OBJECT DeviceObject, PCM_RESOURCE_LIST DeviceList,
                                                 ULONG DeviceListSize, BOOLEAN OverrideConflict,
                                                 PBOOLEAN ConflictDetected);
NTHALAPI NTSTATUS NTAPI HalAssignSlotResources(PUNICODE_STRING RegistryPath, PUNICODE_STRING DriverClassName,
                                               PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                                               INTERFACE_TYPE BusType, ULONG BusNumber, ULONG SlotNumber,
                                               PCM_RESOURCE_LIST *AllocatedResources);

// ---- buses, configuration space, translation and mapping
NTHALAPI ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                           PVOID Buffer, ULONG Offset, ULONG Length);
NTHALAPI ULONG NTAPI HalSetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                           PVOID Buffer, ULONG Offset, ULONG Length);
NTHALAPI ULONG NTAPI HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                   PVOID Buffer, ULONG Length);
NTHALAPI ULONG NTAPI HalSetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                   PVOID Buffer, ULONG Length);
NTHALAPI BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                              PHYSICAL_ADDRESS BusAddress, PULONG AddressSpace,
                                              PPHYSICAL_ADDRESS TranslatedAddress);
NTKERNELAPI PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                     MEMORY_CACHING_TYPE CacheEnable);
NTKERNELAPI VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);
NTKERNELAPI BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress);
NTKERNELAPI VOID NTAPI ProbeForRead(CONST VOID *Address, SIZE_T Length, ULONG Alignment);
NTKERNELAPI VOID NTAPI ProbeForWrite(PVOID Address, SIZE_T Length, ULONG Alignment);

// ---- port and register access
NTHALAPI UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
NTHALAPI USHORT NTAPI READ_PORT_USHORT(PUSHORT Port);
NTHALAPI ULONG NTAPI READ_PORT_ULONG(PULONG Port);
NTHALAPI VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
NTHALAPI VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
NTHALAPI VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value);
NTKERNELAPI UCHAR NTAPI READ_REGISTER_UCHAR(volatile UCHAR *Register);
NTKERNELAPI USHORT NTAPI READ_REGISTER_USHORT(volatile USHORT *Register);
NTKERNELAPI ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG *Register);
NTKERNELAPI VOID NTAPI WRITE_REGISTER_UCHAR(volatile UCHAR *Register, UCHAR Value);
NTKERNELAPI VOID NTAPI WRITE_REGISTER_USHORT(volatile USHORT *Register, USHORT Value);
NTKERNELAPI VOID NTAPI WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value);

// ---- pool
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---- security
NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                                     PACL Dacl, BOOLEAN DaclDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                                      BOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                                      BOOLEAN GroupDefaulted);
NTKERNELAPI BOOLEAN NTAPI SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                        PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                                        BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess,
                                        ACCESS_MASK PreviouslyGrantedAccess, PPRIVILEGE_SET *Privileges,
                                        PGENERIC_MAPPING GenericMapping, KPROCESSOR_MODE AccessMode,
                                        ACCESS_MASK *GrantedAccess, NTSTATUS *AccessStatus);
NTKERNELAPI VOID NTAPI SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID NTAPI SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI PGENERIC_MAPPING NTAPI IoGetFileObjectGenericMapping(VOID);

// ---- run-time library
VOID NtCopyMemory(VOID *Destination, const VOID *Source, SIZE_T Length);
NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                     PANSI_STRING SourceString, BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                     PUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString);
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);
#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
// Copies go through the simulated memory manager, so that a copy to or from
// client memory that is gone or read-only raises STATUS_ACCESS_VIOLATION as
// the processor would.
#define RtlCopyMemory(Destination, Source, Length) NtCopyMemory((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) std::memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!std::memcmp((Destination), (Source), (Length)))

// The kernel's own formatter: see the notes at the top of this header.
int NtSprintf(char *Buffer, const char *Format, ...);
int NtSnprintf(char *Buffer, SIZE_T Count, const char *Format, ...);

// ---- timing, synchronisation, diagnostics
NTKERNELAPI VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);
NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTKERNELAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);
#define KeWaitForMutexObject KeWaitForSingleObject
NTKERNELAPI VOID FASTCALL ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);

}  // extern "C"

// sprintf and _snprintf in the driver are the kernel's (see the top); the C
// library's <cstdio> is included above so these names stay bound here.
#define sprintf NtSprintf
#define _snprintf NtSnprintf
