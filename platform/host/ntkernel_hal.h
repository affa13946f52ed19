// Buses, assigned and requested resources, the PCI configuration header,
// and the HAL's and the kernel's routines over them: resource
// assignment, configuration space, address translation and mapping,
// port and register access. One of the headers of
// platform/host/ntkernel_host.h.
#pragma once
#include "ntkernel_io.h"
#include "ntkernel_types.h"

// ---- buses, resources and the PCI configuration header
// Of the platform's buses and configuration spaces, those the driver and
// the simulated HAL name, with the platform's numbers (and so the same
// range of values).
typedef enum _INTERFACE_TYPE {
  InterfaceTypeUndefined = -1,
  Internal = 0,
  Isa = 1,
  Eisa = 2,
  PCIBus = 5,
  MaximumInterfaceType = 15
} INTERFACE_TYPE,
    *PINTERFACE_TYPE;
typedef enum _BUS_DATA_TYPE {
  ConfigurationSpaceUndefined = -1,
  Cmos = 0,
  PCIConfiguration = 4,
  MaximumBusDataType = 11
} BUS_DATA_TYPE,
    *PBUS_DATA_TYPE;
static_assert(sizeof(INTERFACE_TYPE) == 4 && sizeof(BUS_DATA_TYPE) == 4, "enums are 32 bits");

typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;

#define CmResourceTypeNull           0
#define CmResourceTypePort           1
#define CmResourceTypeInterrupt      2
#define CmResourceTypeMemory         3
#define CmResourceTypeDma            4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber      6

typedef enum _CM_SHARE_DISPOSITION {
  CmResourceShareUndetermined = 0,
  CmResourceShareDeviceExclusive = 1,
  CmResourceShareDriverExclusive = 2,
  CmResourceShareShared = 3
} CM_SHARE_DISPOSITION;

#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0
#define CM_RESOURCE_INTERRUPT_LATCHED         1
#define CM_RESOURCE_MEMORY_READ_WRITE         0x0000
#define CM_RESOURCE_MEMORY_READ_ONLY          0x0001
#define CM_RESOURCE_MEMORY_WRITE_ONLY         0x0002
#define CM_RESOURCE_MEMORY_PREFETCHABLE       0x0004
#define CM_RESOURCE_PORT_MEMORY               0x0000
#define CM_RESOURCE_PORT_IO                   0x0001

#define IO_RESOURCE_PREFERRED   0x01
#define IO_RESOURCE_DEFAULT     0x02
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

#define PCI_TYPE0_ADDRESSES             6
#define PCI_INVALID_VENDORID            0xFFFF
#define PCI_COMMON_HDR_LENGTH           64
#define PCI_ENABLE_IO_SPACE             0x0001
#define PCI_ENABLE_MEMORY_SPACE         0x0002
#define PCI_ENABLE_BUS_MASTER           0x0004
#define PCI_ADDRESS_IO_SPACE            0x00000001
#define PCI_ADDRESS_MEMORY_TYPE_MASK    0x00000006
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

extern "C" {

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
NTHALAPI ULONG NTAPI HalGetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                                           ULONG Offset, ULONG Length);
NTHALAPI ULONG NTAPI HalSetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                                           ULONG Offset, ULONG Length);
NTHALAPI ULONG NTAPI HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                                   ULONG Length);
NTHALAPI ULONG NTAPI HalSetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                                   ULONG Length);
NTHALAPI BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                              PHYSICAL_ADDRESS BusAddress, PULONG AddressSpace,
                                              PPHYSICAL_ADDRESS TranslatedAddress);
NTKERNELAPI PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                                     MEMORY_CACHING_TYPE CacheEnable);
NTKERNELAPI VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

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

}  // extern "C"
