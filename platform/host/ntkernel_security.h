// Access rights, security descriptors and the access check of an open.
// One of the headers of platform/host/ntkernel_host.h.
#pragma once
#include "ntkernel_types.h"

// After the types it is written in.
#include "nt_security_records.h"

// ---- access rights and security descriptors
#define FILE_READ_DATA           0x0001
#define FILE_WRITE_DATA          0x0002
#define FILE_APPEND_DATA         0x0004
#define FILE_READ_EA             0x0008
#define FILE_WRITE_EA            0x0010
#define FILE_EXECUTE             0x0020
#define FILE_TRAVERSE            0x0020  // of a directory: the same bit as FILE_EXECUTE
#define FILE_READ_ATTRIBUTES     0x0080
#define FILE_WRITE_ATTRIBUTES    0x0100
#define DELETE                   0x00010000L
#define READ_CONTROL             0x00020000L
#define WRITE_DAC                0x00040000L
#define WRITE_OWNER              0x00080000L
#define SYNCHRONIZE              0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ     READ_CONTROL
#define STANDARD_RIGHTS_WRITE    READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE  READ_CONTROL
#define MAXIMUM_ALLOWED          0x02000000L
#define GENERIC_READ             0x80000000L
#define GENERIC_WRITE            0x40000000L
#define GENERIC_EXECUTE          0x20000000L
#define GENERIC_ALL              0x10000000L
#define FILE_ALL_ACCESS          (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ        (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE \
  (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | FILE_APPEND_DATA | SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)

typedef struct _GENERIC_MAPPING {
  ACCESS_MASK GenericRead;
  ACCESS_MASK GenericWrite;
  ACCESS_MASK GenericExecute;
  ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

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

extern "C" {

NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                                     PACL Dacl, BOOLEAN DaclDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                                      BOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                                      BOOLEAN GroupDefaulted);
NTKERNELAPI BOOLEAN NTAPI SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                        PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext, BOOLEAN SubjectContextLocked,
                                        ACCESS_MASK DesiredAccess, ACCESS_MASK PreviouslyGrantedAccess,
                                        PPRIVILEGE_SET *Privileges, PGENERIC_MAPPING GenericMapping,
                                        KPROCESSOR_MODE AccessMode, ACCESS_MASK *GrantedAccess, NTSTATUS *AccessStatus);
NTKERNELAPI VOID NTAPI SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID NTAPI SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI PGENERIC_MAPPING NTAPI IoGetFileObjectGenericMapping(VOID);

}  // extern "C"
