// The Win32 security, token, handle and heap functions of the simulated
// machine, built on its security model (security.h).
#include <algorithm>
#include <cstring>

#include "files.h"
#include "machine.h"
#include "security.h"

using sim::win32::machine;

namespace {

const HANDLE kProcessHeap = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x00140000));
constexpr DWORD kErrorNoAccess = 998;  // ERROR_NOACCESS: a bad pointer argument

// Windows 95/98 export the NT security functions only as stubs that fail.
bool nt_only() {
  auto& m = machine();
  if (m.is_nt()) return true;
  m.last_error = ERROR_CALL_NOT_IMPLEMENTED;
  return false;
}

BOOL fail(DWORD code) {
  machine().last_error = code;
  return FALSE;
}

std::vector<std::uint8_t> current_user_sid() {
  return sim::win32::make_token(machine().security.user_sid, machine().admin).user;
}

PACL valid_acl(PACL acl) {
  if (!acl) return nullptr;
  const auto* p = reinterpret_cast<const std::uint8_t*>(acl);
  const WORD size = static_cast<WORD>(p[2] | (p[3] << 8));
  if (p[0] < ACL_REVISION || p[0] > ACL_REVISION_DS || size < sizeof(ACL) || (size & 3)) return nullptr;
  return acl;
}

}  // namespace

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

BOOL WINAPI CloseHandle(HANDLE handle) {
  auto& tokens = machine().security.tokens;
  auto it = tokens.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == tokens.end() && machine().files().close_handle(handle)) return TRUE;  // a file or folder (files.cpp)
  if (it == tokens.end()) return fail(ERROR_INVALID_HANDLE);
  tokens.erase(it);
  return TRUE;
}

HANDLE WINAPI GetProcessHeap(void) { return kProcessHeap; }

// Does not set the last error on failure, as the platform documents.
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  auto& s = machine().security;
  if (heap != kProcessHeap) return nullptr;
  ++s.allocations;
  if (std::find(s.heap_fail_at.begin(), s.heap_fail_at.end(), s.allocations) != s.heap_fail_at.end()) return nullptr;
  if (bytes >= 0x7FFE0000u) return nullptr;  // more than a 32-bit process can hold
  const std::size_t n = bytes ? bytes : 1;
  auto block = std::make_unique<std::uint8_t[]>(n);
  // Fresh blocks hold garbage unless zeroing was asked for.
  std::memset(block.get(), (flags & HEAP_ZERO_MEMORY) ? 0 : 0xCD, n);
  auto* p = block.get();
  s.blocks.emplace(reinterpret_cast<std::uintptr_t>(p), std::move(block));
  return p;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD /*flags*/, LPVOID block) {
  auto& s = machine().security;
  if (heap != kProcessHeap) return fail(ERROR_INVALID_HANDLE);
  if (!block) return TRUE;
  auto it = s.blocks.find(reinterpret_cast<std::uintptr_t>(block));
  if (it == s.blocks.end()) return fail(ERROR_INVALID_PARAMETER);
  s.blocks.erase(it);
  return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  if (!nt_only()) return FALSE;
  auto& s = machine().security;
  if (!token) return fail(kErrorNoAccess);
  if (process != GetCurrentProcess()) return fail(ERROR_INVALID_HANDLE);
  if (access & ~static_cast<DWORD>(TOKEN_ALL_ACCESS | MAXIMUM_ALLOWED)) return fail(ERROR_ACCESS_DENIED);
  if (s.token_open_fails > 0) {
    --s.token_open_fails;
    return fail(ERROR_ACCESS_DENIED);
  }
  const std::uintptr_t value = s.next_token;
  s.next_token += 4;
  s.tokens.emplace(value, access);
  *token = reinterpret_cast<HANDLE>(value);
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, PDWORD needed) {
  if (!nt_only()) return FALSE;
  auto& s = machine().security;
  auto it = s.tokens.find(reinterpret_cast<std::uintptr_t>(token));
  if (it == s.tokens.end()) return fail(ERROR_INVALID_HANDLE);
  if (!(it->second & (TOKEN_QUERY | MAXIMUM_ALLOWED))) return fail(ERROR_ACCESS_DENIED);
  if (!needed) return fail(kErrorNoAccess);
  if (cls != TokenUser) return fail(ERROR_INVALID_PARAMETER);
  const auto sid = current_user_sid();
  const DWORD required = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
  *needed = required;
  if (size < required || !info) return fail(ERROR_INSUFFICIENT_BUFFER);
  auto* user = static_cast<TOKEN_USER*>(info);
  auto* sid_at = static_cast<std::uint8_t*>(info) + sizeof(TOKEN_USER);
  std::memcpy(sid_at, sid.data(), sid.size());
  user->User.Sid = sid_at;
  user->User.Attributes = 0;
  return TRUE;
}

// Reads the count without checking the SID, as the platform does.
DWORD WINAPI GetLengthSid(PSID sid) {
  if (!nt_only()) return 0;
  return 8 + 4 * static_cast<DWORD>(static_cast<const std::uint8_t*>(sid)[1]);
}

BOOL WINAPI IsValidSid(PSID sid) {
  if (!nt_only()) return FALSE;
  if (sim::win32::sid_length(static_cast<const std::uint8_t*>(sid), SECURITY_MAX_SID_SIZE) == 0)
    return fail(ERROR_INVALID_SID);
  return TRUE;
}

BOOL WINAPI InitializeAcl(PACL acl, DWORD size, DWORD revision) {
  if (!nt_only()) return FALSE;
  if (!acl) return fail(kErrorNoAccess);
  if (size < sizeof(ACL)) return fail(ERROR_INSUFFICIENT_BUFFER);
  if (revision < ACL_REVISION || revision > ACL_REVISION_DS || size > 0xFFFF || (size & 3))
    return fail(ERROR_INVALID_PARAMETER);
  acl->AclRevision = static_cast<BYTE>(revision);
  acl->Sbz1 = 0;
  acl->AclSize = static_cast<WORD>(size);
  acl->AceCount = 0;
  acl->Sbz2 = 0;
  return TRUE;
}

BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
  if (!nt_only()) return FALSE;
  if (!valid_acl(acl)) return fail(ERROR_INVALID_ACL);
  if (revision < ACL_REVISION || revision > ACL_REVISION_DS) return fail(ERROR_REVISION_MISMATCH);
  const std::size_t sid_len = sim::win32::sid_length(static_cast<const std::uint8_t*>(sid), SECURITY_MAX_SID_SIZE);
  if (sid_len == 0) return fail(ERROR_INVALID_SID);
  // The first free byte: past the entries already in the list.
  auto* base = reinterpret_cast<std::uint8_t*>(acl);
  std::size_t pos = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (pos + 4 > acl->AclSize) return fail(ERROR_INVALID_ACL);
    const WORD ace_size = static_cast<WORD>(base[pos + 2] | (base[pos + 3] << 8));
    if (ace_size < 8 || pos + ace_size > acl->AclSize) return fail(ERROR_INVALID_ACL);
    pos += ace_size;
  }
  const std::size_t ace_size = 8 + sid_len;
  if (pos + ace_size > acl->AclSize) return fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
  base[pos] = ACCESS_ALLOWED_ACE_TYPE;
  base[pos + 1] = 0;
  base[pos + 2] = static_cast<std::uint8_t>(ace_size & 0xFF);
  base[pos + 3] = static_cast<std::uint8_t>(ace_size >> 8);
  for (int i = 0; i < 4; ++i) base[pos + 4 + i] = static_cast<std::uint8_t>(mask >> (8 * i));
  std::memcpy(base + pos + 8, sid, sid_len);
  ++acl->AceCount;
  // The list takes the higher of its own and the entry's revision.
  if (revision > acl->AclRevision) acl->AclRevision = static_cast<BYTE>(revision);
  return TRUE;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision) {
  if (!nt_only()) return FALSE;
  if (!sd) return fail(kErrorNoAccess);
  if (revision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION);
  std::memset(sd, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR*>(sd)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted) {
  if (!nt_only()) return FALSE;
  auto* d = static_cast<SECURITY_DESCRIPTOR*>(sd);
  if (!d) return fail(kErrorNoAccess);
  if (d->Revision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION);
  if (d->Control & SE_SELF_RELATIVE) return fail(ERROR_INVALID_SECURITY_DESCR);
  d->Control = static_cast<WORD>(d->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (present) {
    d->Control |= SE_DACL_PRESENT;
    d->Dacl = dacl;
    if (defaulted) d->Control |= SE_DACL_DEFAULTED;
  } else {
    d->Dacl = nullptr;
  }
  return TRUE;
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR sd) {
  if (!nt_only()) return FALSE;
  if (!sd) return fail(ERROR_INVALID_SECURITY_DESCR);
  sim::win32::KeySecurity parts;
  if (sim::win32::read_descriptor(sd, DACL_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, &parts) != ERROR_SUCCESS)
    return fail(ERROR_INVALID_SECURITY_DESCR);
  // An owner, where there is one, must be a well-formed SID too.
  const auto* d = static_cast<const SECURITY_DESCRIPTOR*>(sd);
  if (!(d->Control & SE_SELF_RELATIVE) && d->Owner &&
      sim::win32::sid_length(static_cast<const std::uint8_t*>(d->Owner), SECURITY_MAX_SID_SIZE) == 0)
    return fail(ERROR_INVALID_SECURITY_DESCR);
  return TRUE;
}
