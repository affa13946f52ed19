// Security and exception dispatch of the simulated kernel: the client's
// token, security descriptors and SeAccessCheck as the kernel exports them,
// copies that fault on client memory that is gone or read-only, and the
// exception guard that a driver runs client-memory accesses under.
#include <cstring>
#include <initializer_list>
#include <memory>
#include <type_traits>

#include "sim/kernel/state.h"

namespace sim::kernel {

namespace {

thread_local int g_guard_depth = 0;

// Everyone, Interactive, Authenticated Users and Users, as every logged-on
// user's token holds them.
const char* const kEveryUser[] = {"S-1-1-0", "S-1-5-4", "S-1-5-11", "S-1-5-32-545"};

Token make_token(bool admin, bool traverse) {
  Token t;
  for (const char* sid : kEveryUser) t.groups.emplace_back(sid);
  if (admin) t.groups.emplace_back("S-1-5-32-544");
  t.traverse = traverse;
  return t;
}

// A SID in its binary form: revision 1, sub-authority count, a 48-bit
// big-endian identifier authority, then 32-bit little-endian
// sub-authorities. Returns "" when the bytes are not a SID.
std::string sid_text(const UCHAR* sid, std::size_t available) {
  if (available < 8 || sid[0] != 1 || sid[1] > 15 || available < 8u + 4u * sid[1]) return {};
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  std::string text = "S-1-" + std::to_string(authority);
  for (int i = 0; i < sid[1]; ++i) {
    std::uint32_t sub = 0;
    std::memcpy(&sub, sid + 8 + 4 * i, 4);
    text += "-" + std::to_string(sub);
  }
  return text;
}

// Puts `value` in one member of an absolute security descriptor and
// replaces the control bits `bits` by `set` (some of them).
template <typename Member>
NTSTATUS set_descriptor_member(PSECURITY_DESCRIPTOR descriptor, Member SECURITY_DESCRIPTOR::*member,
                               std::type_identity_t<Member> value, SECURITY_DESCRIPTOR_CONTROL bits,
                               SECURITY_DESCRIPTOR_CONTROL set) {
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  sd->*member = value;
  sd->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>((sd->Control & ~bits) | set);
  return STATUS_SUCCESS;
}

}  // namespace

ACCESS_MASK map_generic(ACCESS_MASK mask, const GENERIC_MAPPING* mapping) {
  if (mask & GENERIC_READ) mask |= mapping->GenericRead;
  if (mask & GENERIC_WRITE) mask |= mapping->GenericWrite;
  if (mask & GENERIC_EXECUTE) mask |= mapping->GenericExecute;
  if (mask & GENERIC_ALL) mask |= mapping->GenericAll;
  return mask & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

GENERIC_MAPPING g_file_mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

const Token& client_token(bool admin, bool traverse) {
  static const Token tokens[2][2] = {{make_token(false, false), make_token(false, true)},
                                     {make_token(true, false), make_token(true, true)}};
  return tokens[admin ? 1 : 0][traverse ? 1 : 0];
}

const Token& admin_token() { return client_token(true, true); }

const Token& user_token() { return client_token(false, true); }

// The access check (SeAccessCheck on the Learn reference page; ReactOS's
// ntoskrnl/se/accesschk.c shows the same order):
// - kernel mode: everything asked is granted, MAXIMUM_ALLOWED as GenericAll;
// - nothing asked (0, no MAXIMUM_ALLOWED): only what was granted before,
//   refused when that is nothing;
// - rights granted before are not checked again and are always returned
//   with what is granted now;
// - the owner: when READ_CONTROL or WRITE_DAC is still wanted, or
//   MAXIMUM_ALLOWED, the descriptor's owner is looked at; an owner the token
//   holds is granted both, which no deny entry takes back. NT reads the owner
//   through the descriptor without a check, so none stops the machine;
// - no access list (NULL DACL) grants everything; an empty one nothing;
//   otherwise entries are taken in order, a matching deny entry for a right
//   not yet granted refuses it, matching allow entries grant;
// - MAXIMUM_ALLOWED grants whatever the list gives (refused when that and
//   the earlier grant are nothing), plus the rights named beside it, which
//   must all be given.
AccessDecision access_check(const SECURITY_DESCRIPTOR* sd, const Token& token, ACCESS_MASK desired,
                            ACCESS_MASK previously_granted, const GENERIC_MAPPING* mapping, KPROCESSOR_MODE mode) {
  if (sd == nullptr || sd->Revision != SECURITY_DESCRIPTOR_REVISION)
    bug_check("SeAccessCheck: not a security descriptor");
  const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
  const ACCESS_MASK wanted = map_generic(desired & ~static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED), mapping);
  if (mode == KernelMode)
    return {true, previously_granted | wanted | (maximum ? mapping->GenericAll : 0), STATUS_SUCCESS};
  if (wanted == 0 && !maximum) {
    if (previously_granted == 0) return {false, 0, STATUS_ACCESS_DENIED};
    return {true, previously_granted, STATUS_SUCCESS};
  }
  const ACCESS_MASK remaining = wanted & ~previously_granted;
  if (remaining == 0 && !maximum) return {true, previously_granted | wanted, STATUS_SUCCESS};
  ACCESS_MASK granted = 0;
  ACCESS_MASK denied = 0;
  constexpr ACCESS_MASK kOwnerRights = READ_CONTROL | WRITE_DAC;
  if ((remaining & kOwnerRights) != 0 || maximum) {
    if (sd->Owner == nullptr)
      bug_check(
          "SeAccessCheck: READ_CONTROL, WRITE_DAC or MAXIMUM_ALLOWED asked of a security descriptor with no "
          "owner (the owner SID is read through a NULL pointer)");
    const std::string owner = sid_text(static_cast<const UCHAR*>(sd->Owner), 8u + 4u * 15u);
    for (const std::string& group : token.groups)
      if (!owner.empty() && group == owner) granted |= kOwnerRights;
  }
  if ((sd->Control & SE_DACL_PRESENT) == 0 || sd->Dacl == nullptr) {
    granted |= mapping->GenericAll | remaining;
  } else {
    const auto* acl = reinterpret_cast<const UCHAR*>(sd->Dacl);
    const ACL* header = sd->Dacl;
    if (header->AclRevision < ACL_REVISION || header->AclSize < sizeof(ACL)) bug_check("SeAccessCheck: malformed ACL");
    std::size_t at = sizeof(ACL);
    for (USHORT i = 0; i < header->AceCount; ++i) {
      if (at + 8 > header->AclSize) bug_check("SeAccessCheck: ACL entry beyond the ACL's size");
      const UCHAR type = acl[at];
      USHORT size = 0;
      std::memcpy(&size, acl + at + 2, 2);
      if (size < 8 || at + size > header->AclSize) bug_check("SeAccessCheck: malformed ACL entry");
      ACCESS_MASK mask = 0;
      std::memcpy(&mask, acl + at + 4, 4);
      mask = map_generic(mask, mapping);
      const std::string sid = sid_text(acl + at + 8, size - 8u);
      bool held = false;
      for (const std::string& group : token.groups) held = held || group == sid;
      if (held && type == ACCESS_ALLOWED_ACE_TYPE) granted |= mask & ~denied;
      if (held && type == ACCESS_DENIED_ACE_TYPE) denied |= mask & ~granted;
      at += size;
    }
  }
  if ((remaining & ~granted) != 0) return {false, 0, STATUS_ACCESS_DENIED};
  const ACCESS_MASK result = previously_granted | wanted | (maximum ? granted : 0);
  if (result == 0) return {false, 0, STATUS_ACCESS_DENIED};
  return {true, result, STATUS_SUCCESS};
}

namespace {

std::size_t sid_bytes(const void* sid) {
  const auto* bytes = static_cast<const UCHAR*>(sid);
  if (bytes[0] != 1 || bytes[1] > 15) bug_check("a security descriptor names a malformed SID");
  return 8u + 4u * bytes[1];
}

std::vector<UCHAR> sid_from_text(std::initializer_list<std::uint32_t> subs) {
  std::vector<UCHAR> sid = {1, static_cast<UCHAR>(subs.size()), 0, 0, 0, 0, 0, 5};  // the NT authority
  for (std::uint32_t sub : subs)
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<UCHAR>(sub >> (8 * i)));
  return sid;
}

}  // namespace

std::shared_ptr<const DescriptorCopy> copy_descriptor(PSECURITY_DESCRIPTOR descriptor) {
  const auto* from = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
  if (from == nullptr || from->Revision != SECURITY_DESCRIPTOR_REVISION) bug_check("not a security descriptor");
  auto copy = std::make_shared<DescriptorCopy>();
  copy->sd = *from;
  copy->sd.Sacl = nullptr;
  if (from->Owner != nullptr) {
    const auto* o = static_cast<const UCHAR*>(from->Owner);
    copy->owner.assign(o, o + sid_bytes(o));
    copy->sd.Owner = copy->owner.data();
  }
  if (from->Group != nullptr) {
    const auto* g = static_cast<const UCHAR*>(from->Group);
    copy->group.assign(g, g + sid_bytes(g));
    copy->sd.Group = copy->group.data();
  }
  if (from->Dacl != nullptr) {
    if (from->Dacl->AclSize < sizeof(ACL)) bug_check("a security descriptor's ACL is shorter than its header");
    const auto* d = reinterpret_cast<const UCHAR*>(from->Dacl);
    copy->dacl.assign(d, d + from->Dacl->AclSize);
    copy->sd.Dacl = reinterpret_cast<PACL>(copy->dacl.data());
  }
  return copy;
}

// What IoCreateDevice gives a named device object: SYSTEM and
// Administrators all access, Everyone read, write and execute. Windows 2000:
// "Controlling Device Access" (Learn) gives administrators GENERIC_ALL and
// everyone else GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE; NT 4:
// "Device Object Security" (M. Russinovich, 1998) found Everyone read/write
// and SYSTEM and Administrators full access on most device objects. Owner
// Administrators (the system process's default owner), group SYSTEM.
std::shared_ptr<const DescriptorCopy> default_device_descriptor() {
  static const std::shared_ptr<const DescriptorCopy> descriptor = [] {
    const std::vector<UCHAR> system = sid_from_text({18});
    const std::vector<UCHAR> admins = sid_from_text({32, 544});
    const std::vector<UCHAR> everyone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};  // S-1-1-0
    const struct {
      const std::vector<UCHAR>* sid;
      ACCESS_MASK mask;
    } entries[] = {
        {&system, GENERIC_ALL}, {&admins, GENERIC_ALL}, {&everyone, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE}};
    std::vector<UCHAR> acl(sizeof(ACL));
    for (const auto& e : entries) {
      const std::size_t size = 8 + e.sid->size();
      const UCHAR head[8] = {ACCESS_ALLOWED_ACE_TYPE,          0,
                             static_cast<UCHAR>(size),         static_cast<UCHAR>(size >> 8),
                             static_cast<UCHAR>(e.mask),       static_cast<UCHAR>(e.mask >> 8),
                             static_cast<UCHAR>(e.mask >> 16), static_cast<UCHAR>(e.mask >> 24)};
      acl.insert(acl.end(), head, head + 8);
      acl.insert(acl.end(), e.sid->begin(), e.sid->end());
    }
    ACL header{};
    header.AclRevision = ACL_REVISION;
    header.AclSize = static_cast<USHORT>(acl.size());
    header.AceCount = 3;
    std::memcpy(acl.data(), &header, sizeof header);
    SECURITY_DESCRIPTOR sd{};
    sd.Revision = SECURITY_DESCRIPTOR_REVISION;
    sd.Control = SE_DACL_PRESENT;
    sd.Owner = const_cast<UCHAR*>(admins.data());
    sd.Group = const_cast<UCHAR*>(system.data());
    sd.Dacl = reinterpret_cast<PACL>(acl.data());
    return copy_descriptor(&sd);
  }();
  return descriptor;
}

void raise_access_violation(const std::string& what, const char* status) {
  if (g_guard_depth > 0) throw AccessViolation(what);
  bug_check(what + " raised " + status + " with no handler (KMODE_EXCEPTION_NOT_HANDLED)");
}

}  // namespace sim::kernel

// The simulator's helpers and records (sim/kernel/state.h) by their short names.
using namespace sim::kernel;

extern "C" {

NTSTATUS PlatformGuardedCall(VOID (*Routine)(PVOID Context), PVOID Context) {
  struct Depth {
    Depth() { ++g_guard_depth; }
    ~Depth() { --g_guard_depth; }
  } depth;
  try {
    Routine(Context);
  } catch (const AccessViolation&) {
    return STATUS_ACCESS_VIOLATION;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision) {
  if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  std::memset(sd, 0, sizeof *sd);
  sd->Revision = SECURITY_DESCRIPTOR_REVISION;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent, PACL Dacl,
                                            BOOLEAN DaclDefaulted) {
  const SECURITY_DESCRIPTOR_CONTROL present = DaclPresent ? SE_DACL_PRESENT : 0;
  const SECURITY_DESCRIPTOR_CONTROL defaulted = DaclPresent && DaclDefaulted ? SE_DACL_DEFAULTED : 0;
  return set_descriptor_member(SecurityDescriptor, &SECURITY_DESCRIPTOR::Dacl, DaclPresent ? Dacl : nullptr,
                               SE_DACL_PRESENT | SE_DACL_DEFAULTED, present | defaulted);
}

NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                             BOOLEAN OwnerDefaulted) {
  return set_descriptor_member(SecurityDescriptor, &SECURITY_DESCRIPTOR::Owner, Owner, SE_OWNER_DEFAULTED,
                               OwnerDefaulted ? SE_OWNER_DEFAULTED : 0);
}

NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                             BOOLEAN GroupDefaulted) {
  return set_descriptor_member(SecurityDescriptor, &SECURITY_DESCRIPTOR::Group, Group, SE_GROUP_DEFAULTED,
                               GroupDefaulted ? SE_GROUP_DEFAULTED : 0);
}

VOID NTAPI SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
  if (SubjectContext == nullptr) bug_check("SeLockSubjectContext with no subject context");
}

VOID NTAPI SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
  if (SubjectContext == nullptr) bug_check("SeUnlockSubjectContext with no subject context");
}

PGENERIC_MAPPING NTAPI IoGetFileObjectGenericMapping(VOID) { return &g_file_mapping; }

// SeAccessCheck as the kernel exports it; the rules are access_check's.
BOOLEAN NTAPI SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor, PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                            BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess,
                            ACCESS_MASK PreviouslyGrantedAccess, PPRIVILEGE_SET* Privileges,
                            PGENERIC_MAPPING GenericMapping, KPROCESSOR_MODE AccessMode, ACCESS_MASK* GrantedAccess,
                            NTSTATUS* AccessStatus) {
  require_irql("SeAccessCheck", PASSIVE_LEVEL);
  (void)SubjectContextLocked;
  if (Privileges != nullptr) *Privileges = nullptr;
  if (SecurityDescriptor == nullptr || SubjectSecurityContext == nullptr || GenericMapping == nullptr ||
      GrantedAccess == nullptr || AccessStatus == nullptr)
    bug_check("SeAccessCheck with a NULL argument");
  const auto* token =
      static_cast<const Token*>(SubjectSecurityContext->ClientToken != nullptr ? SubjectSecurityContext->ClientToken
                                                                               : SubjectSecurityContext->PrimaryToken);
  if (token == nullptr) bug_check("SeAccessCheck: the subject context holds no token");
  const AccessDecision d = access_check(static_cast<const SECURITY_DESCRIPTOR*>(SecurityDescriptor), *token,
                                        DesiredAccess, PreviouslyGrantedAccess, GenericMapping, AccessMode);
  *GrantedAccess = d.access;
  *AccessStatus = d.status;
  return d.granted ? TRUE : FALSE;
}

VOID NtCopyMemory(VOID* Destination, const VOID* Source, SIZE_T Length) {
  if (Length == 0) return;
  checkpoint("RtlCopyMemory");
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  const auto from = reinterpret_cast<std::uintptr_t>(Source);
  const auto to = reinterpret_cast<std::uintptr_t>(Destination);
  // Below 4 GiB the simulator places only client buffers and mapped
  // windows; the driver's own memory (stack, pool) lies above on the host.
  auto low = [](std::uintptr_t a) { return a <= 0xFFFFFFFFu; };
  if (low(from) && !s.in_pool(from, Length) && !s.client_page(from, Length))
    raise_access_violation("read of " + std::to_string(Length) + " bytes at " + hex(from));
  if (low(to) && !s.in_pool(to, Length) && !s.client_writable(to, Length))
    raise_access_violation("write of " + std::to_string(Length) + " bytes at " + hex(to));
  std::memmove(Destination, Source, Length);
}

}  // extern "C"
