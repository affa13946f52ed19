// The NT security model of the simulated machine: SIDs, access control
// entries and lists, the security of registry keys (owner, group and
// discretionary list, written and read as SDDL), the access check against
// the process token, inheritance at creation, and the process token and heap
// that the Win32 security functions hand out. Windows 95/98 have none of it:
// their keys carry no security and the NT-only calls fail as documented.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace sim::win32 {

// A SID in its binary form (revision 1, count, 6-byte authority, then the
// sub-authorities little-endian).
using Sid = std::vector<std::uint8_t>;

struct Ace {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;  // allowed or denied; others are kept but never grant
  BYTE flags = 0;
  DWORD mask = 0;
  Sid sid;
  bool operator==(const Ace&) const = default;
};

// What a key holds. `present` is false on Windows 95/98 and for keys made
// before the NT family's layout was applied: such a key is open to all.
struct KeySecurity {
  bool present = false;
  Sid owner;
  Sid group;                 // may be empty
  bool dacl_present = true;  // false: no list at all, which grants everything
  bool dacl_protected = false;
  std::vector<Ace> dacl;
  bool operator==(const KeySecurity&) const = default;
};

// ---- SIDs as text: "S-1-5-32-544" or an SDDL alias ("BA", "SY", "WD" ...).
std::optional<Sid> parse_sid(std::string_view text);
std::string sid_to_text(const Sid& sid);  // the alias where there is one
// Length of a well-formed SID at `p` with `avail` bytes readable; 0 if bad.
std::size_t sid_length(const std::uint8_t* p, std::size_t avail);

// ---- SDDL ("O:BAG:SYD:P(A;CI;KA;;;SY)(A;;KR;;;WD)"), the subset keys use:
// owner, group, DACL with flags P and the NO_ACCESS_CONTROL form "D:NO_ACCESS_CONTROL",
// allowed and denied entries with the inheritance flags, hex or key-right masks.
// On bad input returns nullopt and sets `error`.
std::optional<KeySecurity> parse_sddl(std::string_view text, std::string* error);
std::string to_sddl(const KeySecurity& security);

// Generic rights of a key mapped to its specific ones (KEY_READ, KEY_WRITE,
// KEY_EXECUTE, KEY_ALL_ACCESS).
DWORD map_key_generic(DWORD mask);

// The process token: its user, its groups, the owner and the access list
// it gives new objects that inherit no entries. The default list is the one
// NT 4 and Windows 2000 set at an interactive logon: full control for
// SYSTEM and for the default owner, which is the Administrators group for
// an administrator and the user's own account for anyone else.
struct Token {
  Sid user;
  std::vector<Sid> groups;
  Sid default_owner;
  std::vector<Ace> default_dacl;  // generic rights, mapped when an object takes it
  bool holds(const Sid& sid) const;
};
Token make_token(const std::string& user_sid, bool admin);
// The SID a profile gets when it names none: a local account of the machine.
extern const char* const kDefaultUserSid;

// Rights the token gets on an object with this security for `desired`
// (already mapped); MAXIMUM_ALLOWED asks for everything grantable. The
// owner is always granted READ_CONTROL and WRITE_DAC. Returns the granted
// mask, or nullopt when some desired right is refused.
std::optional<DWORD> access_check(const KeySecurity& security, const Token& token, DWORD desired);

// The security a new key gets below `parent` when its creator names none:
// owner from the token, the parent's container-inheritable entries as
// inherited entries, and where the parent passes none down (no list, or no
// entry meant for sub-keys), the token's default list, as NT builds it.
KeySecurity inherit(const KeySecurity& parent, const Token& token);

// Reads a caller's descriptor (absolute or self-relative) for the parts
// `info` names, checked as the platform checks it. Returns ERROR_SUCCESS or
// the error code; fills `out` with the parts read and keeps the others.
LONG read_descriptor(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION info, KeySecurity* out);
// The self-relative descriptor of the parts `info` names.
std::vector<std::uint8_t> to_self_relative(const KeySecurity& security, SECURITY_INFORMATION info);

// ---- per-machine state behind the Win32 functions

struct SecurityState {
  std::string user_sid = kDefaultUserSid;
  std::map<std::uintptr_t, DWORD> tokens;  // open token handles and their access
  std::uintptr_t next_token = 0x7A00;
  int token_open_fails = 0;  // the next N OpenProcessToken calls fail
  // Heap: blocks handed out and not yet freed, and forced failures (the
  // allocation with this 1-based number, counted from the start, fails).
  std::map<std::uintptr_t, std::unique_ptr<std::uint8_t[]>> blocks;
  std::vector<unsigned> heap_fail_at;
  unsigned allocations = 0;
  std::size_t blocks_left() const { return blocks.size(); }
};

}  // namespace sim::win32
