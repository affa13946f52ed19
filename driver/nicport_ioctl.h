// NICPORT device-control protocol: the control codes, their argument and
// result layouts, byte counts and the status values a client sees.
//
// Included by the driver, by the diagnostic client (user mode, Win32 or host)
// and by the tests. It includes no kernel or Win32 header and uses only
// fixed-width types, so every layout is the same on every target.
#pragma once
#include <stdint.h>

// The control device, as the client opens it (Win32 name) and as the driver
// creates it (NT names).
#define KDVR_CLIENT_DEVICE_NAME "\\\\.\\NICPORT"
#define KDVR_NT_DEVICE_NAME     "\\Device\\NICPORT"
#define KDVR_DOS_DEVICE_NAME    "\\DosDevices\\NICPORT"

// Device type of the control device and of every control code.
#define FILE_DEVICE_KDVR 0x80FFu

// CTL_CODE(FILE_DEVICE_KDVR, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
#define KDVR_CTL_CODE(function)  ((uint32_t)((FILE_DEVICE_KDVR << 16) | ((uint32_t)(function) << 2)))
#define KDVR_CODE_FUNCTION(code) (((uint32_t)(code) >> 2) & 0xFFFu)

#define IOCTL_KDVR_GET_IDENTIFIER        KDVR_CTL_CODE(0)   // 0x80FF0000
#define IOCTL_KDVR_READ_PORT_UCHAR       KDVR_CTL_CODE(2)   // 0x80FF0008
#define IOCTL_KDVR_WRITE_PORT_UCHAR      KDVR_CTL_CODE(3)   // 0x80FF000C
#define IOCTL_KDVR_READ_PORT_USHORT      KDVR_CTL_CODE(4)   // 0x80FF0010
#define IOCTL_KDVR_WRITE_PORT_USHORT     KDVR_CTL_CODE(5)   // 0x80FF0014
#define IOCTL_KDVR_READ_PORT_ULONG       KDVR_CTL_CODE(6)   // 0x80FF0018
#define IOCTL_KDVR_WRITE_PORT_ULONG      KDVR_CTL_CODE(7)   // 0x80FF001C
#define IOCTL_KDVR_READ_EEPROM           KDVR_CTL_CODE(8)   // 0x80FF0020
#define IOCTL_KDVR_WRITE_EEPROM          KDVR_CTL_CODE(9)   // 0x80FF0024
#define IOCTL_KDVR_GET_EEPROM_SIZE       KDVR_CTL_CODE(10)  // 0x80FF0028
#define IOCTL_KDVR_MDI_READ              KDVR_CTL_CODE(11)  // 0x80FF002C
#define IOCTL_KDVR_READ_MEMORY_ULONG     KDVR_CTL_CODE(12)  // 0x80FF0030
#define IOCTL_KDVR_WRITE_MEMORY_ULONG    KDVR_CTL_CODE(13)  // 0x80FF0034
#define IOCTL_KDVR_READ_MEMORY_USHORT    KDVR_CTL_CODE(14)  // 0x80FF0038
#define IOCTL_KDVR_WRITE_MEMORY_USHORT   KDVR_CTL_CODE(15)  // 0x80FF003C
#define IOCTL_KDVR_READ_MEMORY_UCHAR     KDVR_CTL_CODE(16)  // 0x80FF0040
#define IOCTL_KDVR_WRITE_MEMORY_UCHAR    KDVR_CTL_CODE(17)  // 0x80FF0044
#define IOCTL_KDVR_MAP_MEMORY            KDVR_CTL_CODE(18)  // 0x80FF0048
#define IOCTL_KDVR_UNMAP_MEMORY          KDVR_CTL_CODE(19)  // 0x80FF004C
#define IOCTL_KDVR_VALIDATE_MEM_SPACE    KDVR_CTL_CODE(20)  // 0x80FF0050
#define IOCTL_KDVR_GET_FIRST_RANGE_START KDVR_CTL_CODE(21)  // 0x80FF0054
#define IOCTL_KDVR_RESERVED_22           KDVR_CTL_CODE(22)  // 0x80FF0058
#define IOCTL_KDVR_RESERVED_23           KDVR_CTL_CODE(23)  // 0x80FF005C
#define IOCTL_KDVR_RESERVED_24           KDVR_CTL_CODE(24)  // 0x80FF0060
#define IOCTL_KDVR_MDI_WRITE             KDVR_CTL_CODE(25)  // 0x80FF0064
#define IOCTL_KDVR_READ_PCI_CONFIG       KDVR_CTL_CODE(32)  // 0x80FF0080
#define IOCTL_KDVR_WRITE_PCI_CONFIG      KDVR_CTL_CODE(33)  // 0x80FF0084
#define IOCTL_KDVR_GET_RESOURCES         KDVR_CTL_CODE(48)  // 0x80FF00C0
#define IOCTL_KDVR_GET_INT_ROUTING       KDVR_CTL_CODE(49)  // 0x80FF00C4
#define IOCTL_KDVR_GET_SYSTEM_ID         KDVR_CTL_CODE(50)  // 0x80FF00C8
#define IOCTL_KDVR_STALL                 KDVR_CTL_CODE(51)  // 0x80FF00CC

// Value returned by IOCTL_KDVR_GET_IDENTIFIER.
#define KDVR_IDENTIFIER 0x21u

// AddressMethod of the EEPROM codes: how the control register is reached.
#define KDVR_ADDRESS_METHOD_PORT   0u  // byte-wide I/O port
#define KDVR_ADDRESS_METHOD_MEMORY 2u  // 32-bit access to a mapped register

// Kinds of IOCTL_KDVR_GET_RESOURCES.
#define KDVR_RESOURCE_RELEASE   0u
#define KDVR_RESOURCE_MEMORY    1u
#define KDVR_RESOURCE_INTERRUPT 2u
#define KDVR_RESOURCE_PORT      3u
#define KDVR_SLOT_COUNT         4u

// NT status values a client of this driver can see.
#define KDVR_STATUS_SUCCESS                0x00000000u
#define KDVR_STATUS_INVALID_PARAMETER      0xC000000Du
#define KDVR_STATUS_INVALID_DEVICE_REQUEST 0xC0000010u
#define KDVR_STATUS_BUFFER_TOO_SMALL       0xC0000023u
#define KDVR_STATUS_ACCESS_VIOLATION       0xC0000005u
#define KDVR_STATUS_INSUFFICIENT_RESOURCES 0xC000009Au
#define KDVR_STATUS_NOT_SUPPORTED          0xC00000BBu
#define KDVR_STATUS_DRIVER_INTERNAL_ERROR  0xC0000183u

// Argument layouts, one per group of codes. Every request is read through
// the 24-byte KDVR_PARAMETER_BLOCK below; fields a code does not read are
// ignored. Narrow values at +4 of the write codes are the low part of the
// 32-bit word there.
#pragma pack(push, 1)

typedef struct _KDVR_PORT_ARGS {  // port and memory codes
  uint32_t Address;               // +0 port number, or mapped virtual address
  uint32_t Value;                 // +4 value of a write (low 8/16/32 bits)
} KDVR_PORT_ARGS, KDVR_MEMORY_ARGS;

typedef struct _KDVR_READ_EEPROM_ARGS {
  uint32_t RegisterAddress;  // +0
  uint16_t SizeInWords;      // +4  64, 128 or 256
  uint16_t WordAddress;      // +6
  uint16_t AddressMethod;    // +8
} KDVR_READ_EEPROM_ARGS;

typedef struct _KDVR_WRITE_EEPROM_ARGS {
  uint32_t RegisterAddress;  // +0
  uint16_t SizeInWords;      // +4
  uint16_t WordAddress;      // +6
  uint16_t Data;             // +8
  uint16_t AddressMethod;    // +10
} KDVR_WRITE_EEPROM_ARGS;

typedef struct _KDVR_EEPROM_SIZE_ARGS {
  uint32_t RegisterAddress;  // +0
  uint32_t Unused;           // +4 not read
  uint16_t AddressMethod;    // +8
} KDVR_EEPROM_SIZE_ARGS;

typedef struct _KDVR_MDI_READ_ARGS {
  uint32_t RegisterBase;    // +0
  uint16_t Register;        // +4 PHY register selector
  uint16_t Unused;          // +6
  uint16_t AccessSelector;  // +8 0: memory, otherwise port
} KDVR_MDI_READ_ARGS;

typedef struct _KDVR_MDI_WRITE_ARGS {
  uint32_t RegisterBase;    // +0
  uint16_t Register;        // +4
  uint16_t Unused;          // +6
  uint32_t Data;            // +8 high 16 bits must be 0
  uint16_t AccessSelector;  // +12
} KDVR_MDI_WRITE_ARGS;

typedef struct _KDVR_MAP_ARGS {
  uint32_t BusAddress;  // +0
  uint32_t BusNumber;   // +4
  uint32_t Length;      // +8
} KDVR_MAP_ARGS;

typedef struct _KDVR_UNMAP_ARGS {
  uint32_t VirtualAddress;  // +0
  uint32_t Length;          // +4
} KDVR_UNMAP_ARGS;

typedef struct _KDVR_VALIDATE_ARGS {
  uint32_t PhysicalAddress;  // +0
  uint32_t BusNumber;        // +4
  uint32_t SlotNumber;       // +8 PCI_SLOT_NUMBER: device bits 0-4, function bits 5-7
} KDVR_VALIDATE_ARGS;

typedef struct _KDVR_PCI_CONFIG_ARGS {
  uint32_t BusNumber;   // +0
  uint32_t SlotNumber;  // +4
  uint32_t Buffer;      // +8 client buffer address
  uint32_t Offset;      // +12
  uint32_t Length;      // +16
} KDVR_PCI_CONFIG_ARGS;

typedef struct _KDVR_RESOURCE_ARGS {
  uint16_t Kind;        // +0
  uint16_t SlotIndex;   // +2
  uint16_t BusNumber;   // +4
  uint16_t SlotNumber;  // +6
  uint32_t Length;      // +8
  uint32_t Alignment;   // +12
  uint32_t Minimum;     // +16
  uint32_t Maximum;     // +20
} KDVR_RESOURCE_ARGS;

typedef struct _KDVR_TABLE_ARGS {
  uint32_t Buffer;  // +0 client buffer address
  uint32_t Size;    // +4 its size in bytes
} KDVR_TABLE_ARGS;

typedef struct _KDVR_STALL_ARGS {
  uint32_t Microseconds;  // +0
} KDVR_STALL_ARGS;

// The 24-byte argument block of every request, filled from the head of the
// input; bytes beyond the input length read as zero.
typedef union _KDVR_PARAMETER_BLOCK {
  uint8_t Bytes[24];
  uint32_t Words[6];
  KDVR_PORT_ARGS Port;
  KDVR_MEMORY_ARGS Memory;
  KDVR_READ_EEPROM_ARGS ReadEeprom;
  KDVR_WRITE_EEPROM_ARGS WriteEeprom;
  KDVR_EEPROM_SIZE_ARGS EepromSize;
  KDVR_MDI_READ_ARGS MdiRead;
  KDVR_MDI_WRITE_ARGS MdiWrite;
  KDVR_MAP_ARGS Map;
  KDVR_UNMAP_ARGS Unmap;
  KDVR_VALIDATE_ARGS Validate;
  KDVR_PCI_CONFIG_ARGS PciConfig;
  KDVR_RESOURCE_ARGS Resource;
  KDVR_TABLE_ARGS Table;
  KDVR_STALL_ARGS Stall;
} KDVR_PARAMETER_BLOCK, *PKDVR_PARAMETER_BLOCK;

// Results: one or two 32-bit words at the start of the output.
typedef struct _KDVR_RESULT {
  uint32_t Word0;  // +0
  uint32_t Word1;  // +4
} KDVR_RESULT;

#pragma pack(pop)

// Compile-time checks, in C (C11) and in C++.
#ifdef __cplusplus
#define KDVR_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define KDVR_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

// Every layout is packed: with the field sizes these totals put each field
// at the offset its comment gives, on every compiler and target.
KDVR_STATIC_ASSERT(sizeof(KDVR_PARAMETER_BLOCK) == 24, "parameter block is 24 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_PORT_ARGS) == 8, "port and memory request is 8 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_READ_EEPROM_ARGS) == 10, "EEPROM read request is 10 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_WRITE_EEPROM_ARGS) == 12, "EEPROM write request is 12 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_EEPROM_SIZE_ARGS) == 10, "EEPROM size request is 10 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_MDI_READ_ARGS) == 10, "MDI read request is 10 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_MDI_WRITE_ARGS) == 14, "MDI write request is 14 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_MAP_ARGS) == 12, "map request is 12 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_UNMAP_ARGS) == 8, "unmap request is 8 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_VALIDATE_ARGS) == 12, "validate request is 12 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_PCI_CONFIG_ARGS) == 20, "PCI configuration request is 20 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_RESOURCE_ARGS) == 24, "slot resource request is 24 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_TABLE_ARGS) == 8, "firmware table request is 8 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_STALL_ARGS) == 4, "stall request is 4 bytes");
KDVR_STATIC_ASSERT(sizeof(KDVR_RESULT) == 8, "result is two 32-bit words");
KDVR_STATIC_ASSERT(IOCTL_KDVR_STALL == 0x80FF00CCu, "control code layout");

// The table of control codes, one row per code:
//   X(name, function number, result bytes, changes state)
// The result bytes are what a code returns when it succeeds (0, 4 or 8).
// A code that changes state (writes to hardware, maps or unmaps memory,
// programs the EEPROM or the PHY, claims resources) is refused to an open
// without write access. The recognised codes, their byte counts, the
// state-changing set and the code lists of the tests are all made from
// these rows; adding a code is a #define above, a row here and its case in
// the driver's dispatch.
#define KDVR_CONTROL_CODES(X)                   \
  X(IOCTL_KDVR_GET_IDENTIFIER, 0, 4, 0)         \
  X(IOCTL_KDVR_READ_PORT_UCHAR, 2, 4, 0)        \
  X(IOCTL_KDVR_WRITE_PORT_UCHAR, 3, 0, 1)       \
  X(IOCTL_KDVR_READ_PORT_USHORT, 4, 4, 0)       \
  X(IOCTL_KDVR_WRITE_PORT_USHORT, 5, 0, 1)      \
  X(IOCTL_KDVR_READ_PORT_ULONG, 6, 4, 0)        \
  X(IOCTL_KDVR_WRITE_PORT_ULONG, 7, 0, 1)       \
  X(IOCTL_KDVR_READ_EEPROM, 8, 4, 0)            \
  X(IOCTL_KDVR_WRITE_EEPROM, 9, 4, 1)           \
  X(IOCTL_KDVR_GET_EEPROM_SIZE, 10, 4, 0)       \
  X(IOCTL_KDVR_MDI_READ, 11, 4, 0)              \
  X(IOCTL_KDVR_READ_MEMORY_ULONG, 12, 4, 0)     \
  X(IOCTL_KDVR_WRITE_MEMORY_ULONG, 13, 0, 1)    \
  X(IOCTL_KDVR_READ_MEMORY_USHORT, 14, 4, 0)    \
  X(IOCTL_KDVR_WRITE_MEMORY_USHORT, 15, 0, 1)   \
  X(IOCTL_KDVR_READ_MEMORY_UCHAR, 16, 4, 0)     \
  X(IOCTL_KDVR_WRITE_MEMORY_UCHAR, 17, 0, 1)    \
  X(IOCTL_KDVR_MAP_MEMORY, 18, 4, 1)            \
  X(IOCTL_KDVR_UNMAP_MEMORY, 19, 0, 1)          \
  X(IOCTL_KDVR_VALIDATE_MEM_SPACE, 20, 4, 1)    \
  X(IOCTL_KDVR_GET_FIRST_RANGE_START, 21, 4, 0) \
  X(IOCTL_KDVR_RESERVED_22, 22, 0, 0)           \
  X(IOCTL_KDVR_RESERVED_23, 23, 0, 0)           \
  X(IOCTL_KDVR_RESERVED_24, 24, 0, 0)           \
  X(IOCTL_KDVR_MDI_WRITE, 25, 0, 1)             \
  X(IOCTL_KDVR_READ_PCI_CONFIG, 32, 4, 0)       \
  X(IOCTL_KDVR_WRITE_PCI_CONFIG, 33, 4, 1)      \
  X(IOCTL_KDVR_GET_RESOURCES, 48, 8, 1)         \
  X(IOCTL_KDVR_GET_INT_ROUTING, 49, 8, 0)       \
  X(IOCTL_KDVR_GET_SYSTEM_ID, 50, 8, 0)         \
  X(IOCTL_KDVR_STALL, 51, 0, 0)

// Each row's function number gives the published value of its name; a
// code in two rows is a duplicate case below.
#define KDVR_CHECK_CODE_ROW(name, function, bytes, changes_state)                                     \
  KDVR_STATIC_ASSERT(name == KDVR_CTL_CODE(function), #name " is its row's function number");         \
  KDVR_STATIC_ASSERT((bytes) == 0 || (bytes) == 4 || (bytes) == 8, #name " returns 0, 4 or 8 bytes"); \
  KDVR_STATIC_ASSERT((changes_state) == 0 || (changes_state) == 1, #name " changes state or not");
KDVR_CONTROL_CODES(KDVR_CHECK_CODE_ROW)
#undef KDVR_CHECK_CODE_ROW

// Number of result bytes a code returns when it succeeds (0, 4 or 8); -1 for
// a code that is not part of the protocol.
static inline int KdvrResultByteCount(uint32_t code) {
  switch (code) {
#define KDVR_RESULT_BYTES_CASE(name, function, bytes, changes_state) \
  case name: return bytes;
    KDVR_CONTROL_CODES(KDVR_RESULT_BYTES_CASE)
#undef KDVR_RESULT_BYTES_CASE
    default: return -1;
  }
}

// Whether a code of the protocol changes state (see the table); 0 for every
// other code.
static inline int KdvrCodeChangesState(uint32_t code) {
  switch (code) {
#define KDVR_CHANGES_STATE_CASE(name, function, bytes, changes_state) \
  case name: return changes_state;
    KDVR_CONTROL_CODES(KDVR_CHANGES_STATE_CASE)
#undef KDVR_CHANGES_STATE_CASE
    default: return 0;
  }
}

// 1 for the codes that write a value of the client's to a port or a mapped
// register unchanged: what such a write does to the hardware (the serial
// EEPROM's timing, for one) is the client's doing, not the driver's.
static inline int KdvrIsRawWrite(uint32_t code) {
  switch (code) {
    case IOCTL_KDVR_WRITE_PORT_UCHAR:
    case IOCTL_KDVR_WRITE_PORT_USHORT:
    case IOCTL_KDVR_WRITE_PORT_ULONG:
    case IOCTL_KDVR_WRITE_MEMORY_UCHAR:
    case IOCTL_KDVR_WRITE_MEMORY_USHORT:
    case IOCTL_KDVR_WRITE_MEMORY_ULONG: return 1;
    default: return 0;
  }
}
