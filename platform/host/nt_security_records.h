// The access-list header and the absolute security descriptor, with the
// constants that go with them, as the NT kernel's headers and the Win32
// headers both declare them. Included by platform/host/ntkernel_security.h
// and platform/host/security_host.h, after the types it is written in
// (BYTE, WORD, PVOID), which each of those headers has.
#pragma once

// An access list: this header, then AceCount entries, AclSize bytes in all.
// Each entry starts with a type byte, a flags byte and a 16-bit size; an
// access-allowed entry (type 0) goes on with its 32-bit mask and the SID.
#define ACL_REVISION            2
#define ACCESS_ALLOWED_ACE_TYPE 0
#define ACCESS_DENIED_ACE_TYPE  1
typedef struct _ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
} ACL, *PACL;
static_assert(sizeof(ACL) == 8, "ACL header is 8 bytes");

typedef PVOID PSID;
#define SECURITY_DESCRIPTOR_REVISION 1
#define SE_OWNER_DEFAULTED           0x0001
#define SE_GROUP_DEFAULTED           0x0002
#define SE_DACL_PRESENT              0x0004
#define SE_DACL_DEFAULTED            0x0008
typedef WORD SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;

// The absolute form. Its pointer members are as wide as the host's
// pointers; callers size it with sizeof, as on Windows.
typedef struct _SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
