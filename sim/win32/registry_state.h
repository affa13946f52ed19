// The simulated registry's state, shared by the Registry class (the tree,
// .reg text, security) and the Reg* functions, which work on it directly.
// Internal to sim/win32.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codepage.h"
#include "registry.h"
#include "security.h"

namespace sim::win32 {

// Win32 codes the host header does not spell out.
inline constexpr LONG kErrorCallNotImplemented = 120;
inline constexpr LONG kErrorBadPathname = 161;
inline constexpr LONG kErrorNoAccess = 998;
inline constexpr LONG kErrorBadKey = 1010;  // Windows 9x: not a key handle

// ---- text (registry_codepage.cpp)
//
// Names and string data are kept as the NT registry keeps them, in Unicode
// (held here as UTF-8), so that names the ANSI code page cannot represent
// stay distinct. The ANSI functions convert at their boundary as the
// system does, with the machine's code page and '?' for characters it
// lacks.
std::string utf8_from_ansi(std::string_view s, const CodePage& cp);
std::string ansi_from_utf8(std::string_view s, const CodePage& cp);
std::string utf8_from_utf16le(std::string_view bytes);  // no BOM; a lone surrogate becomes U+FFFD
std::string utf16le_from_utf8(std::string_view s);
// The upper case the registry compares names in.
std::string fold(std::string_view s);
// The NT order of sub-keys, of two names in their folded forms.
bool nt_less(std::string_view a_folded, std::string_view b_folded);

inline bool is_string_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }
inline std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }
inline std::string text_of(const std::vector<std::uint8_t>& d) { return {d.begin(), d.end()}; }
// String data between the ANSI functions and the store.
std::vector<std::uint8_t> data_from_ansi(DWORD type, std::vector<std::uint8_t> data, const CodePage& cp);
RegValue value_to_ansi(const RegValue& v, const CodePage& cp);

// ---- roots and full paths (registry.cpp)

enum Root : int { kLocalMachine, kCurrentUser, kUsers, kCurrentConfig, kDynData, kRootCount };
inline constexpr std::array<std::string_view, kRootCount> kRootNames = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

struct ParsedPath {
  Root root = kLocalMachine;
  std::vector<std::string> parts;
};
// "HKEY_LOCAL_MACHINE\A\B" (or HKLM\A\B, HKCR\A for the classes key) into
// its root and names. The error text says what is wrong; empty on success.
std::string parse_full_path(std::string_view path, ParsedPath& out);

// The token of the running program, whose rights the NT family checks.
const Token& current_token();

// ---- the tree

// A key's sub-keys are kept in the family's enumeration order: on Windows
// 9x the order they were made in, on the NT family sorted by name. Adding a
// key is O(1) on both (an NT key added out of order marks the list
// unsorted, and the next reader sorts it once), finding one by name is O(1)
// through the index, removing one O(log N) to find plus the move of the
// entries after it. Readers take children through sub_keys().
struct RegKey : std::enable_shared_from_this<RegKey> {
  std::string name;
  std::string folded;
  RegKey* parent = nullptr;
  std::uint64_t seq = 0;  // creation order, kept so the 9x order survives a family switch
  bool deleted = false;
  mutable bool unsorted = false;                          // NT: children added out of order since the last sort
  std::uintptr_t shared_handle = 0;                       // Windows 9x: the handle every open of this key returns
  mutable std::vector<std::shared_ptr<RegKey>> children;  // see sub_keys()
  // folded name (the child's own string) -> child; made with the first child.
  std::unique_ptr<std::unordered_map<std::string_view, RegKey*>> child_index;
  std::vector<RegValue> values;  // creation order
  // NT family: owner and access list, shared between the keys that have
  // the same (most keys inherit theirs unchanged).
  std::shared_ptr<const KeySecurity> security_ptr;
  // folded name -> position, made once a key holds many values.
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> value_index;

  // The sub-keys in the family's enumeration order.
  const std::vector<std::shared_ptr<RegKey>>& sub_keys() const;
  const KeySecurity& security() const;
  void set_security(KeySecurity s) { security_ptr = std::make_shared<const KeySecurity>(std::move(s)); }

  RegKey* child(const std::string& folded_name) const;
  const RegValue* value(const std::string& folded_name) const;
  // Replacing keeps the value's place and the case of its first name.
  void put_value(const std::string& value_name, DWORD type, std::vector<std::uint8_t> data);
  bool erase_value(const std::string& value_name);

 private:
  std::size_t value_position(const std::string& folded_name) const;  // values.size() when absent
};

std::string full_path(const RegKey& key);
// What the running program may do to a key on the NT family: the rights
// granted for `desired`, or nothing when one is refused.
std::optional<DWORD> check_key_access(const RegKey& key, DWORD desired);

struct Registry::State {
  struct Handle {
    std::shared_ptr<RegKey> key;
    DWORD access = 0;
    std::size_t opens = 1;  // Windows 9x hands out one handle per key, counted
  };

  RegFamily family = RegFamily::Win9x;
  const CodePage* code_page = &CodePage::standard();  // the machine's ANSI code page
  RegFaults faults;
  std::array<std::shared_ptr<RegKey>, kRootCount> roots;
  std::uint64_t next_seq = 1;
  std::unordered_map<std::uintptr_t, Handle> handles;  // the open HKEYs
  std::uintptr_t next_handle = 0x1000;
  // What a new key inherits from its parent's security, for the parent
  // last asked about (a .reg import adds many keys below one parent).
  std::shared_ptr<const KeySecurity> inherited_from, inherited;
  std::string inherited_user;
  bool inherited_admin = false;
  // Stands in for HKEY_CLASSES_ROOT while HKLM\SOFTWARE\Classes is absent:
  // reads see an empty key, writes create the real one.
  std::shared_ptr<RegKey> classes_placeholder;

  State();
  void reset_roots();
  void copy_data_from(const State& other);
  bool nt() const { return family == RegFamily::NT; }
  const CodePage& cp() const { return *code_page; }

  // Children in the family's order.
  RegKey* add_child(RegKey& parent, std::string_view name);
  void remove_child(RegKey& parent, RegKey* child);  // the sub-tree's handles fail from now on
  void resort(RegKey& key);

  RegKey* find(const ParsedPath& path) const;
  RegKey* ensure(const ParsedPath& path);  // creates what is missing
  RegKey* classes_root(bool create);
  // A full path as the faults and the security layout compare it.
  static std::string canonical_path(const std::string& path);
  static bool listed(const std::vector<std::string>& list, const std::string& folded_path);

  // A Windows 9x registry holds ANSI names and strings: what a .reg file
  // brings in passes through the code page, as it would there.
  std::string store(const std::string& text) const;
  std::vector<std::uint8_t> stored_data(DWORD type, std::vector<std::uint8_t> data) const;
};

// ---- the HKEY validator (reg_api.cpp)

// The key a handle names, checked as the family checks it: a predefined
// root (HKEY_DYN_DATA on Windows 9x only; HKEY_CLASSES_ROOT made to exist
// when `for_write`) or a handle of this registry whose key is not deleted,
// opened with the rights in `needed` on the NT family. Otherwise the error
// the platform returns.
struct KeyRef {
  RegKey* key = nullptr;
  DWORD access = 0;  // what the handle was opened with
};
LONG key_of(Registry::State& s, HKEY handle, DWORD needed, KeyRef* out, bool for_write = false);

}  // namespace sim::win32
