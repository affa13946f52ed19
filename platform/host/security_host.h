// Host declarations of the NT security functions the uninstaller uses: the
// process token, SIDs, access lists and security descriptors, key security
// and the process heap, with the 32-bit Windows layouts of every record the
// caller builds or reads in memory (SID, ACL, ACE). Implemented by
// sim/win32/security.cpp. Included at the end of win32_host.h.
#pragma once

typedef ULONG_PTR SIZE_T;
typedef HANDLE *PHANDLE;

// ACL, SECURITY_DESCRIPTOR and their constants, as the kernel's headers
// have them too.
#include "nt_security_records.h"

typedef struct _SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[1];
} SID;
static_assert(sizeof(SID) == 12, "SID header and one sub-authority");

typedef struct _ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
} ACE_HEADER, *PACE_HEADER;

typedef struct _ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12, "ACE header, mask and the first SID word");

// The self-relative form: offsets from the start of the descriptor.
typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  DWORD Owner;
  DWORD Group;
  DWORD Sacl;
  DWORD Dacl;
} SECURITY_DESCRIPTOR_RELATIVE;
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20, "self-relative header is 20 bytes");

typedef struct _SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
} SID_AND_ATTRIBUTES;
typedef struct _TOKEN_USER {
  SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;
typedef struct _TOKEN_GROUPS {
  DWORD GroupCount;
  SID_AND_ATTRIBUTES Groups[1];
} TOKEN_GROUPS, *PTOKEN_GROUPS;

typedef enum _TOKEN_INFORMATION_CLASS {
  TokenUser = 1,
  TokenGroups,
  TokenPrivileges,
  TokenOwner,
  TokenPrimaryGroup,
  TokenDefaultDacl,
} TOKEN_INFORMATION_CLASS;

#define TOKEN_ASSIGN_PRIMARY    0x0001
#define TOKEN_DUPLICATE         0x0002
#define TOKEN_IMPERSONATE       0x0004
#define TOKEN_QUERY             0x0008
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ALL_ACCESS        0x000F01FF

#define SID_REVISION                   1
#define SID_MAX_SUB_AUTHORITIES        15
#define SECURITY_MAX_SID_SIZE          68
#define ACL_REVISION_DS                4
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))

#define OBJECT_INHERIT_ACE       0x01
#define CONTAINER_INHERIT_ACE    0x02
#define NO_PROPAGATE_INHERIT_ACE 0x04
#define INHERIT_ONLY_ACE         0x08
#define INHERITED_ACE            0x10
#define VALID_INHERIT_FLAGS      0x1F

#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION  0x00000004L
#define SACL_SECURITY_INFORMATION  0x00000008L

// Control bits beyond those of nt_security_records.h.
#define SE_SACL_PRESENT   0x0010
#define SE_SACL_DEFAULTED 0x0020
#define SE_DACL_PROTECTED 0x1000
#define SE_SELF_RELATIVE  0x8000

#define SPECIFIC_RIGHTS_ALL    0x0000FFFFL
#define ACCESS_SYSTEM_SECURITY 0x01000000L
#define MAXIMUM_ALLOWED        0x02000000L
#define GENERIC_EXECUTE        0x20000000L

#define ERROR_CALL_NOT_IMPLEMENTED    120L
#define ERROR_NO_TOKEN                1008L
#define ERROR_UNKNOWN_REVISION        1305L
#define ERROR_REVISION_MISMATCH       1306L
#define ERROR_INVALID_OWNER           1307L
#define ERROR_INVALID_ACL             1336L
#define ERROR_INVALID_SID             1337L
#define ERROR_INVALID_SECURITY_DESCR  1338L
#define ERROR_BAD_DESCRIPTOR_FORMAT   1361L
#define ERROR_ALLOTTED_SPACE_EXCEEDED 1344L

#define HEAP_NO_SERIALIZE        0x00000001
#define HEAP_GENERATE_EXCEPTIONS 0x00000004
#define HEAP_ZERO_MEMORY         0x00000008

HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI CloseHandle(HANDLE handle);
HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block);

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD needed);
DWORD WINAPI GetLengthSid(PSID sid);
BOOL WINAPI IsValidSid(PSID sid);
BOOL WINAPI InitializeAcl(PACL acl, DWORD size, DWORD revision);
BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid);
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision);
BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted);
BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR sd);
LONG WINAPI RegGetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd, LPDWORD size);
