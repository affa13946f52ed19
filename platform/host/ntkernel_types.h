// The NT kernel's basic types, calling conventions, status codes and
// counted strings, at the 32-bit target's widths. One of the headers of
// platform/host/ntkernel_host.h, which the driver reaches through
// platform/ntkernel.h.
#pragma once
#include <cstddef>
#include <cstdint>

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

#define NT_SUCCESS(Status)     (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status)     ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status)       ((((ULONG)(Status)) >> 30) == 3)

#define UNREFERENCED_PARAMETER(P)               ((void)(P))
#define FIELD_OFFSET(type, field)               ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARGUMENT_PRESENT(p)                     ((CHAR *)((ULONG_PTR)(p)) != (CHAR *)NULL)
#define PAGED_CODE()                            ((void)0)
#define ASSERT(e)                               ((void)0)

// ---- status codes (published values)
#define STATUS_SUCCESS                    ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0                     ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT                    ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                    ((NTSTATUS)0x00000103L)
#define STATUS_DATATYPE_MISALIGNMENT      ((NTSTATUS)0x80000002L)
#define STATUS_BUFFER_OVERFLOW            ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL               ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED            ((NTSTATUS)0xC0000002L)
#define STATUS_ACCESS_VIOLATION           ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE             ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER          ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE             ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST     ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEMORY                  ((NTSTATUS)0xC0000017L)
#define STATUS_CONFLICTING_ADDRESSES      ((NTSTATUS)0xC0000018L)
#define STATUS_ACCESS_DENIED              ((NTSTATUS)0xC0000022L)
#define STATUS_UNKNOWN_REVISION           ((NTSTATUS)0xC0000058L)
#define STATUS_BUFFER_TOO_SMALL           ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID        ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND      ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION      ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND      ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD     ((NTSTATUS)0xC000003BL)
#define STATUS_SHARING_VIOLATION          ((NTSTATUS)0xC0000043L)
#define STATUS_INSUFFICIENT_RESOURCES     ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY           ((NTSTATUS)0xC00000A3L)
#define STATUS_NOT_SUPPORTED              ((NTSTATUS)0xC00000BBL)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_DRIVER_INTERNAL_ERROR      ((NTSTATUS)0xC0000183L)
#define STATUS_IO_DEVICE_ERROR            ((NTSTATUS)0xC0000185L)

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
