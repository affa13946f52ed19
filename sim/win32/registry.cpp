// The simulated registry: a tree of keys per root, handles onto it, the
// family rules (enumeration order, deletion, error codes), .reg import,
// export and diff.
#include "registry.h"

#include "sim/common/input_file.h"
#include "machine.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace sim::win32 {

namespace {

// Win32 codes the host header does not spell out.
constexpr LONG kErrorCallNotImplemented = 120;
constexpr LONG kErrorBadPathname = 161;
constexpr LONG kErrorNoAccess = 998;
constexpr LONG kErrorBadKey = 1010;  // Windows 9x: not a key handle
constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kOwnerSecurityInformation = 1;
constexpr DWORD kGroupSecurityInformation = 2;
constexpr DWORD kDaclSecurityInformation = 4;

constexpr DWORD kKeyRead = static_cast<DWORD>(KEY_READ);
constexpr DWORD kKeyWrite = static_cast<DWORD>(KEY_WRITE);
constexpr DWORD kKeyAllAccess = static_cast<DWORD>(KEY_ALL_ACCESS);

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

// ---- text ------------------------------------------------------------------
//
// Names and string data are kept as the NT registry keeps them, in Unicode
// (held here as UTF-8), so that names the ANSI code page cannot represent
// stay distinct. The ANSI functions convert at their boundary as the
// system does, with code page 1252 and '?' for characters it lacks.

// Unicode of the bytes 0x80..0x9F; the five holes map to the C1 controls,
// as the system's conversion does, so every byte survives a round trip.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t ansi_to_unicode(unsigned char c) {
  return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : static_cast<char16_t>(c);
}

char unicode_to_ansi(char32_t u) {
  if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
  for (std::size_t i = 0; i < kCp1252High.size(); ++i)
    if (kCp1252High[i] == u) return static_cast<char>(0x80 + i);
  return '?';
}

void append_utf8(std::string& out, char32_t u) {
  if (u < 0x80) {
    out.push_back(static_cast<char>(u));
  } else if (u < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (u >> 6)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else if (u < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (u >> 12)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (u >> 18)));
    out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  }
}

// The character at s[i] (i advances past it); a malformed sequence gives
// U+FFFD and advances one byte.
char32_t next_utf8(std::string_view s, std::size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size() + (extra == 0 ? 1 : 0)) {
    ++i;
    return 0xFFFD;
  }
  char32_t u = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
  for (int k = 1; k <= extra; ++k) {
    const unsigned char cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    u = (u << 6) | (cc & 0x3F);
  }
  i += static_cast<std::size_t>(extra) + 1;
  return u;
}

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string utf8_from_ansi(std::string_view s) {
  if (is_ascii(s)) return std::string(s);  // the common case, unchanged
  std::string out;
  out.reserve(s.size());
  for (char c : s) append_utf8(out, ansi_to_unicode(static_cast<unsigned char>(c)));
  return out;
}

std::string ansi_from_utf8(std::string_view s) {
  if (is_ascii(s)) return std::string(s);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) out.push_back(unicode_to_ansi(next_utf8(s, i)));
  return out;
}

// UTF-16LE bytes (no BOM); a lone surrogate becomes U+FFFD.
std::string utf8_from_utf16le(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](std::size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      const char16_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    append_utf8(out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
  }
  return out;
}

std::u16string utf16_from_utf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const char32_t u = next_utf8(s, i);
    if (u >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(u));
    }
  }
  return out;
}

std::string utf16le_from_utf8(std::string_view s) {
  std::string out;
  for (char16_t u : utf16_from_utf8(s)) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

// The upper case the registry compares names in: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters.
char32_t upcase(char32_t u) {
  if (u >= 'a' && u <= 'z') return u - 0x20;
  if (u < 0xE0) return u;
  if (u <= 0xFE) return u == 0xF7 ? u : u - 0x20;
  if (u == 0xFF) return 0x178;
  if (u >= 0x100 && u <= 0x137) return u & ~char32_t{1};
  if (u >= 0x139 && u <= 0x148) return (u & 1) ? u : u - 1;
  if (u >= 0x14A && u <= 0x177) return u & ~char32_t{1};
  if (u >= 0x179 && u <= 0x17E) return (u & 1) ? u : u - 1;
  if (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) return u - 0x20;
  if (u == 0x3C2) return 0x3A3;
  if (u >= 0x430 && u <= 0x44F) return u - 0x20;
  if (u >= 0x450 && u <= 0x45F) return u - 0x50;
  return u;
}

std::string fold(std::string_view s) {
  if (is_ascii(s)) {
    std::string out(s);
    for (char& c : out)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    return out;
  }
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) append_utf8(out, upcase(next_utf8(s, i)));
  return out;
}

// The NT order of sub-keys: names compared by the UTF-16 units of their
// upper-case forms.
bool nt_less(std::string_view a_folded, std::string_view b_folded) {
  // Below U+10000 the UTF-8 byte order is the UTF-16 order; ASCII names,
  // the common case, compare as bytes.
  if (is_ascii(a_folded) && is_ascii(b_folded)) return a_folded < b_folded;
  return utf16_from_utf8(a_folded) < utf16_from_utf8(b_folded);
}

bool is_string_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }
std::string text_of(const std::vector<std::uint8_t>& d) { return {d.begin(), d.end()}; }

// String data between the ANSI functions and the store.
std::vector<std::uint8_t> data_from_ansi(DWORD type, std::vector<std::uint8_t> data) {
  return is_string_type(type) ? bytes_of(utf8_from_ansi(text_of(data))) : data;
}
std::vector<std::uint8_t> data_to_ansi(DWORD type, const std::vector<std::uint8_t>& data) {
  return is_string_type(type) ? bytes_of(ansi_from_utf8(text_of(data))) : data;
}
RegValue value_to_ansi(const RegValue& v) { return {ansi_from_utf8(v.name), v.type, data_to_ansi(v.type, v.data)}; }

// ---- roots ----------------------------------------------------------------

enum Root : int { kLocalMachine, kCurrentUser, kUsers, kCurrentConfig, kDynData, kRootCount };

constexpr std::array<std::string_view, kRootCount> kRootNames = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

// HKEY_CLASSES_ROOT is a view of HKEY_LOCAL_MACHINE\SOFTWARE\Classes on
// both families.
const std::vector<std::string>& classes_root_parts() {
  static const std::vector<std::string> parts = {"SOFTWARE", "Classes"};
  return parts;
}

struct ParsedPath {
  Root root = kLocalMachine;
  std::vector<std::string> parts;
};

// "HKEY_LOCAL_MACHINE\A\B" (or HKLM\A\B) into its root and names. The
// error text says what is wrong; an empty text means success.
std::string parse_full_path(std::string_view path, ParsedPath& out) {
  std::size_t slash = path.find('\\');
  std::string root = fold(path.substr(0, slash));
  std::string_view rest = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
  out.parts.clear();
  if (root == "HKEY_LOCAL_MACHINE" || root == "HKLM") {
    out.root = kLocalMachine;
  } else if (root == "HKEY_CURRENT_USER" || root == "HKCU") {
    out.root = kCurrentUser;
  } else if (root == "HKEY_USERS" || root == "HKU") {
    out.root = kUsers;
  } else if (root == "HKEY_CURRENT_CONFIG" || root == "HKCC") {
    out.root = kCurrentConfig;
  } else if (root == "HKEY_DYN_DATA" || root == "HKDD") {
    out.root = kDynData;
  } else if (root == "HKEY_CLASSES_ROOT" || root == "HKCR") {
    out.root = kLocalMachine;
    out.parts = classes_root_parts();
  } else {
    return "unknown root key '" + std::string(path.substr(0, slash)) + "'";
  }
  if (slash != std::string_view::npos) {
    if (rest.empty()) return "key path ends with '\\'";
    std::size_t start = 0;
    while (true) {
      std::size_t end = rest.find('\\', start);
      std::string_view part = rest.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
      if (part.empty()) return "empty key name in path";
      out.parts.emplace_back(part);
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
  }
  return {};
}

bool is_predefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS ||
         key == HKEY_CURRENT_CONFIG || key == HKEY_DYN_DATA;
}

// Sub-key path of a Win32 call into names. A leading backslash is refused,
// trailing ones are ignored, as on the real system.
LONG split_subkey(LPCSTR subkey, std::vector<std::string>& parts) {
  parts.clear();
  if (!subkey || !*subkey) return ERROR_SUCCESS;
  std::string_view s(subkey);
  if (s.front() == '\\') return kErrorBadPathname;
  while (!s.empty() && s.back() == '\\') s.remove_suffix(1);
  std::size_t start = 0;
  while (start <= s.size() && !s.empty()) {
    std::size_t end = s.find('\\', start);
    std::string_view part = s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty()) return kErrorBadPathname;
    parts.push_back(utf8_from_ansi(part));  // ANSI call, Unicode store
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

DWORD map_access(REGSAM sam) {
  DWORD access = sam;
  if (access & static_cast<DWORD>(GENERIC_READ)) access |= kKeyRead;
  if (access & kGenericExecute) access |= kKeyRead;
  if (access & static_cast<DWORD>(GENERIC_WRITE)) access |= kKeyWrite;
  if (access & (static_cast<DWORD>(GENERIC_ALL) | kMaximumAllowed)) access |= kKeyAllAccess;
  return access & ~(static_cast<DWORD>(GENERIC_READ) | static_cast<DWORD>(GENERIC_WRITE) | kGenericExecute |
                    static_cast<DWORD>(GENERIC_ALL) | kMaximumAllowed);
}

// The token of the running program, whose rights the NT family checks;
// made again only when the machine's user or rights change.
const Token& current_token() {
  static Token token;
  static std::string user;
  static bool admin = false;
  static bool made = false;
  const Machine& m = machine();
  if (!made || user != m.security.user_sid || admin != m.admin) {
    token = make_token(m.security.user_sid, m.admin);
    user = m.security.user_sid;
    admin = m.admin;
    made = true;
  }
  return token;
}

}  // namespace

// ---- the tree ---------------------------------------------------------------

struct RegKey : std::enable_shared_from_this<RegKey> {
  std::string name;
  std::string folded;
  RegKey* parent = nullptr;
  std::uint64_t seq = 0;  // creation order, kept so the 9x order survives a family switch
  bool deleted = false;
  std::uintptr_t shared_handle = 0;  // Windows 9x: the handle every open of this key returns
  std::vector<std::shared_ptr<RegKey>> children;  // in the family's enumeration order
  std::unordered_map<std::string, RegKey*> child_index;  // folded name -> child
  std::vector<RegValue> values;                           // creation order
  KeySecurity security;                                   // NT family: owner and access list
  std::unordered_map<std::string, std::size_t> value_index;  // folded name -> position

  RegKey* child(const std::string& folded_name) const {
    auto it = child_index.find(folded_name);
    return it == child_index.end() ? nullptr : it->second;
  }
  const RegValue* value(const std::string& folded_name) const {
    auto it = value_index.find(folded_name);
    return it == value_index.end() ? nullptr : &values[it->second];
  }

  void put_value(const std::string& value_name, DWORD type, std::vector<std::uint8_t> data) {
    std::string key = fold(value_name);
    auto it = value_index.find(key);
    if (it != value_index.end()) {
      // Replacing keeps the value's place and the case of its first name.
      values[it->second].type = type;
      values[it->second].data = std::move(data);
      return;
    }
    value_index.emplace(std::move(key), values.size());
    values.push_back(RegValue{value_name, type, std::move(data)});
  }

  bool erase_value(const std::string& value_name) {
    auto it = value_index.find(fold(value_name));
    if (it == value_index.end()) return false;
    std::size_t pos = it->second;
    value_index.erase(it);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(pos));
    for (auto& [name_key, index] : value_index)
      if (index > pos) --index;
    return true;
  }
};

namespace {

// What the running program may do to a key on the NT family: the rights
// granted for `desired`, or nothing when one is refused.
std::optional<DWORD> check_key_access(const RegKey& key, DWORD desired) {
  return access_check(key.security, current_token(), desired);
}

void mark_deleted(RegKey& key) {
  key.deleted = true;
  for (auto& child : key.children) mark_deleted(*child);
  key.children.clear();
  key.child_index.clear();
}

std::shared_ptr<RegKey> clone_tree(const RegKey& src, RegKey* parent) {
  auto copy = std::make_shared<RegKey>();
  copy->name = src.name;
  copy->folded = src.folded;
  copy->parent = parent;
  copy->seq = src.seq;
  copy->values = src.values;
  copy->value_index = src.value_index;
  copy->security = src.security;
  copy->children.reserve(src.children.size());
  for (const auto& child : src.children) {
    copy->children.push_back(clone_tree(*child, copy.get()));
    copy->child_index.emplace(child->folded, copy->children.back().get());
  }
  return copy;
}

std::string full_path(const RegKey& key) {
  std::vector<const RegKey*> chain;
  for (const RegKey* k = &key; k; k = k->parent) chain.push_back(k);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += (*it)->name;
  }
  return path;
}

}  // namespace

struct Registry::Impl {
  struct Handle {
    std::shared_ptr<RegKey> key;
    DWORD access = 0;
    std::size_t opens = 1;  // Windows 9x hands out one handle per key, counted
  };

  RegFamily family = RegFamily::Win9x;
  RegFaults faults;
  std::array<std::shared_ptr<RegKey>, kRootCount> roots;
  std::uint64_t next_seq = 1;
  std::unordered_map<std::uintptr_t, Handle> handles;
  std::uintptr_t next_handle = 0x1000;
  // Stands in for HKEY_CLASSES_ROOT while HKLM\SOFTWARE\Classes is absent:
  // reads see an empty key, writes create the real one.
  std::shared_ptr<RegKey> classes_placeholder;

  Impl() {
    reset_roots();
    classes_placeholder = std::make_shared<RegKey>();
    classes_placeholder->name = std::string(kRootNames[kLocalMachine]);
    for (const auto& part : classes_root_parts()) classes_placeholder->name += "\\" + part;
  }

  void reset_roots() {
    for (int r = 0; r < kRootCount; ++r) {
      if (roots[r]) mark_deleted(*roots[r]);
      roots[r] = std::make_shared<RegKey>();
      roots[r]->name = std::string(kRootNames[r]);
      roots[r]->folded = roots[r]->name;
    }
  }

  void copy_data_from(const Impl& other) {
    reset_roots();
    for (int r = 0; r < kRootCount; ++r) roots[r] = clone_tree(*other.roots[r], nullptr);
    family = other.family;
    faults = other.faults;
    next_seq = other.next_seq;
  }

  // ---- children in the family's order

  bool before(const RegKey& a, const RegKey& b) const {
    return family == RegFamily::NT ? nt_less(a.folded, b.folded) : a.seq < b.seq;
  }

  RegKey* add_child(RegKey& parent, std::string_view name) {
    auto key = std::make_shared<RegKey>();
    key->name = std::string(name);
    key->folded = fold(name);
    key->parent = &parent;
    key->seq = next_seq++;
    // A new key on the NT family takes what its parent passes down.
    if (family == RegFamily::NT && parent.security.present) key->security = inherit(parent.security, current_token());
    RegKey* raw = key.get();
    auto pos = family == RegFamily::NT
                   ? std::upper_bound(parent.children.begin(), parent.children.end(), key,
                                      [this](const auto& a, const auto& b) { return before(*a, *b); })
                   : parent.children.end();
    parent.children.insert(pos, std::move(key));
    parent.child_index.emplace(raw->folded, raw);
    return raw;
  }

  void remove_child(RegKey& parent, RegKey* child) {
    auto it = std::find_if(parent.children.begin(), parent.children.end(),
                           [child](const auto& c) { return c.get() == child; });
    if (it == parent.children.end()) return;
    std::shared_ptr<RegKey> keep = *it;  // alive until the handles let go
    parent.children.erase(it);
    parent.child_index.erase(child->folded);
    child->parent = nullptr;
    mark_deleted(*child);
  }

  void resort(RegKey& key) {
    std::sort(key.children.begin(), key.children.end(),
              [this](const auto& a, const auto& b) { return before(*a, *b); });
    for (auto& child : key.children) resort(*child);
  }

  // ---- paths

  RegKey* find(const ParsedPath& path) const {
    RegKey* key = roots[path.root].get();
    for (const auto& part : path.parts) {
      key = key->child(fold(part));
      if (!key) return nullptr;
    }
    return key;
  }

  RegKey* ensure(const ParsedPath& path) {
    RegKey* key = roots[path.root].get();
    for (const auto& part : path.parts) {
      RegKey* next = key->child(fold(part));
      key = next ? next : add_child(*key, part);
    }
    return key;
  }

  RegKey* classes_root(bool create) {
    ParsedPath path{kLocalMachine, classes_root_parts()};
    RegKey* key = create ? ensure(path) : find(path);
    return key ? key : classes_placeholder.get();
  }

  static std::string canonical_fault_path(const std::string& path) {
    ParsedPath parsed;
    if (!parse_full_path(path, parsed).empty()) return fold(path);
    std::string out(kRootNames[parsed.root]);
    for (const auto& part : parsed.parts) out += "\\" + part;
    return fold(out);
  }

  static bool listed(const std::vector<std::string>& list, const std::string& folded_path) {
    return std::any_of(list.begin(), list.end(),
                       [&](const std::string& p) { return canonical_fault_path(p) == folded_path; });
  }

  // ---- handles

  LONG invalid_handle() const { return family == RegFamily::NT ? ERROR_INVALID_HANDLE : kErrorBadKey; }

  // The key behind a handle. `for_write` makes a missing classes root exist.
  LONG resolve(HKEY handle, bool for_write, RegKey** key, DWORD* access) {
    *access = kKeyAllAccess;
    if (handle == HKEY_LOCAL_MACHINE) {
      *key = roots[kLocalMachine].get();
    } else if (handle == HKEY_CURRENT_USER) {
      *key = roots[kCurrentUser].get();
    } else if (handle == HKEY_USERS) {
      *key = roots[kUsers].get();
    } else if (handle == HKEY_CURRENT_CONFIG) {
      *key = roots[kCurrentConfig].get();
    } else if (handle == HKEY_DYN_DATA) {
      if (family == RegFamily::NT) return ERROR_INVALID_HANDLE;  // a Windows 9x root only
      *key = roots[kDynData].get();
    } else if (handle == HKEY_CLASSES_ROOT) {
      *key = classes_root(for_write);
    } else {
      auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
      if (it == handles.end()) return invalid_handle();
      if (it->second.key->deleted) return ERROR_KEY_DELETED;
      *key = it->second.key.get();
      *access = it->second.access;
    }
    return ERROR_SUCCESS;
  }

  // NT checks each call against the rights the handle was opened with;
  // Windows 9x has no key security.
  bool allowed(DWORD access, DWORD needed) const {
    return family != RegFamily::NT || (access & needed) == needed;
  }

  // NT makes a new handle for every open. Windows 9x gives back the handle
  // already open on the key and counts the opens; each close takes one.
  HKEY new_handle(RegKey& key, DWORD access) {
    if (family == RegFamily::Win9x && key.shared_handle) {
      ++handles.at(key.shared_handle).opens;
      return reinterpret_cast<HKEY>(key.shared_handle);
    }
    std::uintptr_t value = next_handle;
    next_handle += 4;
    handles.emplace(value, Handle{key.shared_from_this(), access});
    if (family == RegFamily::Win9x) key.shared_handle = value;
    return reinterpret_cast<HKEY>(value);
  }

  LONG close(HKEY handle) {
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles.end()) return invalid_handle();
    if (--it->second.opens == 0) {
      if (it->second.key->shared_handle == it->first) it->second.key->shared_handle = 0;
      handles.erase(it);
    }
    return ERROR_SUCCESS;
  }

  // ---- .reg text

  // A Windows 9x registry holds ANSI names and strings: what a .reg file
  // brings in passes through the code page, as it would there.
  std::string store(const std::string& text) const {
    return family == RegFamily::Win9x ? utf8_from_ansi(ansi_from_utf8(text)) : text;
  }
  std::vector<std::uint8_t> stored_data(DWORD type, std::vector<std::uint8_t> data) const {
    if (family != RegFamily::Win9x || !is_string_type(type)) return data;
    return bytes_of(store(text_of(data)));
  }

  [[noreturn]] static void fail(const std::string& source, std::size_t line, const std::string& what) {
    throw InputError(source + ":" + std::to_string(line) + ": " + what);
  }

  void import_text(const std::string& bytes, const std::string& source);
  void export_key(const RegKey& key, const std::string& path, bool is_root, bool v5, std::string& out) const;
};

// ---- .reg import --------------------------------------------------------------

namespace {

// Where a strict reading of UTF-8 stops: the offset of the first byte that
// does not start a well-formed character (overlong forms, surrogates and
// code points past U+10FFFF included), or npos. Such a byte has no UTF-16
// form, so it could not come back unchanged from a Version 5 export.
std::size_t first_invalid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    char32_t u = 0, least = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, u = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, u = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, u = c & 0x07, least = 0x10000;
    } else {
      return i;
    }
    if (i + extra >= s.size()) return i;
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return i;
      u = (u << 6) | (cc & 0x3F);
    }
    if (u < least || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return i;
    i += extra + 1;
  }
  return std::string_view::npos;
}

std::string decode_reg_bytes(const std::string& bytes, const std::string& source) {
  // regedit refuses an empty file as it refuses one with no header line.
  if (bytes.empty()) throw InputError(source + ": the file is empty, not a registry file");
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::string_view body(bytes);
    body.remove_prefix(2);
    std::string text = utf8_from_utf16le(body);
    if (body.size() % 2 != 0) {
      std::size_t line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
      throw InputError(source + ":" + std::to_string(line) + ": UTF-16 text ends in half a character");
    }
    return text;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    std::string text = bytes.substr(3);
    if (const std::size_t bad = first_invalid_utf8(text); bad != std::string_view::npos) {
      const std::size_t line =
          1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(bad), '\n'));
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(text[bad]));
      throw InputError(source + ":" + std::to_string(line) + ": byte " + byte +
                       " is not UTF-8, yet the file starts with UTF-8's byte order mark");
    }
    return text;
  }
  return utf8_from_ansi(bytes);
}

std::string_view trim_left(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && fold(s.substr(0, prefix.size())) == fold(prefix);
}

// A quoted string at s[pos] ('"' expected there) with \\ and \" escapes;
// pos ends after the closing quote. Empty optional with `error` set on bad input.
std::optional<std::string> parse_quoted(std::string_view s, std::size_t& pos, std::string& error) {
  std::string out;
  ++pos;
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return out;
    if (c == '\\') {
      if (pos >= s.size()) break;
      char e = s[pos++];
      if (e != '\\' && e != '"') {
        error = std::string("unknown escape '\\") + e + "' in quoted text";
        return std::nullopt;
      }
      out.push_back(e);
    } else {
      out.push_back(c);
    }
  }
  error = "missing closing '\"'";
  return std::nullopt;
}

}  // namespace

void Registry::Impl::import_text(const std::string& raw, const std::string& source) {
  const std::string text = decode_reg_bytes(raw, source);
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(trim_right(std::string_view(text).substr(start, end - start)));
    start = end + 1;
  }

  const std::string_view header = lines.empty() ? std::string_view{} : lines[0];
  bool v5 = false;
  if (header == kHeader5) {
    v5 = true;
  } else if (header != kHeader4) {
    fail(source, 1, "not a registry file: the first line must be REGEDIT4 or Windows Registry Editor Version 5.00");
  }

  RegKey* current = nullptr;
  bool in_deleted_key = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t line_no = i + 1;
    std::string_view line = trim_left(lines[i]);
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close == std::string_view::npos) fail(source, line_no, "missing ']' after key name");
      if (!trim_left(line.substr(close + 1)).empty()) fail(source, line_no, "text after ']'");
      std::string_view inner = line.substr(1, close - 1);
      bool remove = !inner.empty() && inner.front() == '-';
      if (remove) inner.remove_prefix(1);
      ParsedPath path;
      std::string error = parse_full_path(inner, path);
      if (!error.empty()) fail(source, line_no, error);
      if (path.parts.size() > kMaxKeyDepth)
        fail(source, line_no, "key nested " + std::to_string(path.parts.size()) + " levels deep, more than the " +
                                  std::to_string(kMaxKeyDepth) + " a registry allows");
      for (const auto& part : path.parts)
        if (part.size() > kMaxKeyNameChars)
          fail(source, line_no, "key name of " + std::to_string(part.size()) + " characters, more than the " +
                                    std::to_string(kMaxKeyNameChars) + " a registry allows");
      for (auto& part : path.parts) part = store(part);
      if (remove) {
        if (path.parts.empty()) fail(source, line_no, "a root key cannot be deleted");
        if (RegKey* key = find(path)) remove_child(*key->parent, key);
        current = nullptr;
        in_deleted_key = true;
      } else {
        current = ensure(path);
        in_deleted_key = false;
      }
      continue;
    }

    if (line.front() != '"' && line.front() != '@') fail(source, line_no, "expected '[key]' or a value line");

    // A value line may run on over lines that end with a backslash.
    std::string logical(line);
    while (!logical.empty() && logical.back() == '\\' && i + 1 < lines.size()) {
      logical.pop_back();
      logical += trim_left(lines[++i]);
    }
    std::string_view s(logical);

    if (!current)
      fail(source, line_no, in_deleted_key ? "value inside a deleted key" : "value before any '[key]' line");

    std::string name;
    std::size_t pos = 0;
    std::string error;
    if (s.front() == '@') {
      pos = 1;
    } else {
      auto quoted = parse_quoted(s, pos, error);
      if (!quoted) fail(source, line_no, "value name: " + error);
      name = std::move(*quoted);
      if (name.size() > kMaxValueNameChars)
        fail(source, line_no, "value name of " + std::to_string(name.size()) + " characters, more than the " +
                                  std::to_string(kMaxValueNameChars) + " a registry allows");
    }
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    if (pos >= s.size() || s[pos] != '=') fail(source, line_no, "expected '=' after the value name");
    ++pos;
    std::string_view data = trim_left(s.substr(pos));

    if (data == "-") {
      current->erase_value(store(name));
      continue;
    }
    if (!data.empty() && data.front() == '"') {
      std::size_t p = 0;
      auto str = parse_quoted(data, p, error);
      if (!str) fail(source, line_no, "string data: " + error);
      if (!trim_left(data.substr(p)).empty()) fail(source, line_no, "text after the closing '\"'");
      std::vector<std::uint8_t> bytes(str->begin(), str->end());
      bytes.push_back(0);
      current->put_value(store(name), REG_SZ, stored_data(REG_SZ, std::move(bytes)));
      continue;
    }
    if (starts_with_nocase(data, "dword:")) {
      std::string_view digits = data.substr(6);
      if (digits.empty() || digits.size() > 8) fail(source, line_no, "dword: needs 1 to 8 hex digits");
      DWORD v = 0;
      for (char c : digits) {
        int d = hex_digit(c);
        if (d < 0) fail(source, line_no, "dword: needs 1 to 8 hex digits");
        v = (v << 4) | static_cast<DWORD>(d);
      }
      current->put_value(store(name), REG_DWORD,
                         {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
      continue;
    }
    if (starts_with_nocase(data, "hex")) {
      std::string_view rest = data.substr(3);
      DWORD type = REG_BINARY;
      if (!rest.empty() && rest.front() == '(') {
        std::size_t close = rest.find(')');
        std::string_view digits = rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
        if (close == std::string_view::npos || digits.empty() || digits.size() > 8)
          fail(source, line_no, "hex(N): N must be 1 to 8 hex digits");
        type = 0;
        for (char c : digits) {
          int d = hex_digit(c);
          if (d < 0) fail(source, line_no, "hex(N): N must be 1 to 8 hex digits");
          type = (type << 4) | static_cast<DWORD>(d);
        }
        rest = rest.substr(close + 1);
      }
      if (rest.empty() || rest.front() != ':') fail(source, line_no, "expected ':' after hex");
      rest = trim_left(trim_right(rest.substr(1)));
      std::vector<std::uint8_t> bytes;
      if (!rest.empty()) {
        std::size_t start = 0;
        while (true) {
          std::size_t comma = rest.find(',', start);
          std::string_view token = trim_left(trim_right(
              rest.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
          if (token.empty() || token.size() > 2 || hex_digit(token[0]) < 0 ||
              (token.size() == 2 && hex_digit(token[1]) < 0))
            fail(source, line_no, "bad byte '" + std::string(token) + "' in hex data");
          int v = hex_digit(token[0]);
          if (token.size() == 2) v = v * 16 + hex_digit(token[1]);
          bytes.push_back(static_cast<std::uint8_t>(v));
          if (comma == std::string_view::npos) break;
          start = comma + 1;
        }
      }
      if (v5 && is_string_type(type)) {
        // Version 5 files hold string data as UTF-16LE, REGEDIT4 files in
        // the ANSI code page.
        if (bytes.size() % 2 != 0) fail(source, line_no, "UTF-16 string data of odd length");
        bytes = bytes_of(utf8_from_utf16le(text_of(bytes)));
      } else if (is_string_type(type)) {
        bytes = data_from_ansi(type, std::move(bytes));
      }
      current->put_value(store(name), type, stored_data(type, std::move(bytes)));
      continue;
    }
    fail(source, line_no, "unrecognised value data '" + std::string(data.substr(0, 20)) + "'");
  }
}

// ---- .reg export ----------------------------------------------------------------

namespace {

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// A REG_SZ that reads back the same from "..." text: one terminating zero,
// none inside, no line breaks.
bool plain_string(const std::vector<std::uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  return std::none_of(data.begin(), data.end() - 1, [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

// One value as a .reg line (with continuation lines), without the newline.
// Hex data wraps as regedit wraps it: a line is broken after the comma that
// takes it to 77 columns, continuation lines start with two blanks.
void append_value(std::string& out, const RegValue& v, bool v5, std::string_view eol) {
  const std::size_t line_start = out.size();
  if (v.name.empty()) {
    out += '@';
  } else {
    append_quoted(out, v.name);
  }
  out += '=';
  if (v.type == REG_SZ && plain_string(v.data)) {
    append_quoted(out, std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
    return;
  }
  if (v.type == REG_DWORD && v.data.size() == 4) {
    char buf[16];
    DWORD d = static_cast<DWORD>(v.data[0]) | static_cast<DWORD>(v.data[1]) << 8 |
              static_cast<DWORD>(v.data[2]) << 16 | static_cast<DWORD>(v.data[3]) << 24;
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    out += buf;
    return;
  }
  if (v.type == REG_BINARY) {
    out += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    out += buf;
  }
  // String data in hex: UTF-16LE in Version 5 files, ANSI in REGEDIT4.
  std::string bytes(v.data.begin(), v.data.end());
  if (is_string_type(v.type)) bytes = v5 ? utf16le_from_utf8(bytes) : ansi_from_utf8(bytes);
  std::size_t line_len = out.size() - line_start;
  static const char digits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    out += digits[b >> 4];
    out += digits[b & 15];
    if (i + 1 == bytes.size()) break;
    out += ',';
    line_len += 3;
    if (line_len >= 77) {
      out += '\\';
      out += eol;
      out += "  ";
      line_len = 2;
    }
  }
}

// The text is built in UTF-8; a file is written as regedit writes it:
// Version 5 in UTF-16LE with a byte order mark, REGEDIT4 in the ANSI code
// page (characters it lacks become '?').
std::string finish_text(const std::string& text, bool v5) {
  if (!v5) return ansi_from_utf8(text);
  std::string out = "\xFF\xFE";
  out += utf16le_from_utf8(text);
  return out;
}

}  // namespace

void Registry::Impl::export_key(const RegKey& key, const std::string& path, bool is_root, bool v5,
                                std::string& out) const {
  if (!is_root || !key.values.empty()) {
    out += "[" + path + "]\r\n";
    for (const auto& v : key.values) {
      append_value(out, v, v5, "\r\n");
      out += "\r\n";
    }
    out += "\r\n";
  }
  for (const auto& child : key.children) export_key(*child, path + "\\" + child->name, false, v5, out);
}

// ---- diff --------------------------------------------------------------------------

namespace {

void diff_deleted(const RegKey& old_key, const RegKey& new_key, const std::string& path, std::string& out) {
  for (const auto& child : old_key.children) {
    std::string child_path = path + "\\" + child->name;
    if (const RegKey* now = new_key.child(child->folded)) {
      diff_deleted(*child, *now, child_path, out);
    } else {
      out += "[-" + child_path + "]\n\n";
    }
  }
}

void diff_added(const RegKey& new_key, const RegKey* old_key, const std::string& path, bool is_root,
                std::string& out) {
  std::string block;
  for (const auto& v : new_key.values) {
    const RegValue* was = old_key ? old_key->value(fold(v.name)) : nullptr;
    if (!was || was->type != v.type || was->data != v.data) {
      append_value(block, v, false, "\n");
      block += '\n';
    }
  }
  if (old_key) {
    for (const auto& v : old_key->values) {
      if (!new_key.value(fold(v.name))) {
        if (v.name.empty()) {
          block += "@=-\n";
        } else {
          append_quoted(block, v.name);
          block += "=-\n";
        }
      }
    }
  }
  if (!block.empty() || (!old_key && !is_root)) out += "[" + path + "]\n" + block + "\n";
  for (const auto& child : new_key.children)
    diff_added(*child, old_key ? old_key->child(child->folded) : nullptr, path + "\\" + child->name, false, out);
}

// Keys the change added, as deletions: once, at the top of each new sub-tree.
void undo_added_keys(const RegKey& new_key, const RegKey& old_key, const std::string& path, std::string& out) {
  for (const auto& child : new_key.children) {
    const std::string child_path = path + "\\" + child->name;
    if (const RegKey* was = old_key.child(child->folded)) {
      undo_added_keys(*child, *was, child_path, out);
    } else {
      out += "[-" + child_path + "]\r\n\r\n";
    }
  }
}

// Keys and values as they were: gone keys whole, changed or deleted values
// with their old data, values the change added deleted.
void undo_restore(const RegKey& old_key, const RegKey* new_key, const std::string& path, bool is_root, bool v5,
                  std::string& out) {
  std::string block;
  for (const auto& v : old_key.values) {
    const RegValue* now = new_key ? new_key->value(fold(v.name)) : nullptr;
    if (!now || now->type != v.type || now->data != v.data) {
      append_value(block, v, v5, "\r\n");
      block += "\r\n";
    }
  }
  if (new_key) {
    for (const auto& v : new_key->values) {
      if (old_key.value(fold(v.name))) continue;
      if (v.name.empty()) {
        block += "@=-\r\n";
      } else {
        append_quoted(block, v.name);
        block += "=-\r\n";
      }
    }
  }
  if (!block.empty() || (!new_key && !is_root)) out += "[" + path + "]\r\n" + block + "\r\n";
  for (const auto& child : old_key.children)
    undo_restore(*child, new_key ? new_key->child(child->folded) : nullptr, path + "\\" + child->name, false, v5,
                 out);
}

bool same_tree(const RegKey& a, const RegKey& b) {
  if (a.name != b.name || a.children.size() != b.children.size() || a.values.size() != b.values.size()) return false;
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    const RegValue& x = a.values[i];
    const RegValue& y = b.values[i];
    if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
  }
  for (std::size_t i = 0; i < a.children.size(); ++i)
    if (!same_tree(*a.children[i], *b.children[i])) return false;
  return true;
}

}  // namespace

// ---- Registry -------------------------------------------------------------------------

Registry::Registry() : impl_(std::make_unique<Impl>()) {}
Registry::~Registry() = default;

Registry::Registry(const Registry& other) : impl_(std::make_unique<Impl>()) { impl_->copy_data_from(*other.impl_); }

Registry& Registry::operator=(const Registry& other) {
  // Handles stay open (a leak still shows) but refer to keys that are gone.
  if (this != &other) impl_->copy_data_from(*other.impl_);
  return *this;
}

void Registry::clear() { impl_->reset_roots(); }

void Registry::set_family(RegFamily family) {
  if (impl_->family == family) return;
  impl_->family = family;
  for (auto& root : impl_->roots) impl_->resort(*root);
}

RegFamily Registry::family() const { return impl_->family; }
RegFaults& Registry::faults() { return impl_->faults; }

void Registry::import_reg(const std::string& bytes, const std::string& source) { impl_->import_text(bytes, source); }

void Registry::import_reg_file(const std::filesystem::path& file) {
  impl_->import_text(read_input_file(file, kMaxRegBytes), file.string());
}

std::string Registry::export_reg(RegFormat format) const {
  const bool v5 = format == RegFormat::Version5;
  std::string out(v5 ? kHeader5 : kHeader4);
  out += "\r\n\r\n";
  for (const auto& root : impl_->roots) impl_->export_key(*root, root->name, true, v5, out);
  return finish_text(out, v5);
}

std::string Registry::diff_from(const Registry& before) const {
  std::string body;
  for (int r = 0; r < kRootCount; ++r)
    diff_deleted(*before.impl_->roots[r], *impl_->roots[r], impl_->roots[r]->name, body);
  for (int r = 0; r < kRootCount; ++r)
    diff_added(*impl_->roots[r], before.impl_->roots[r].get(), impl_->roots[r]->name, true, body);
  if (body.empty()) return {};
  return std::string(kHeader4) + "\n\n" + body;
}

std::string Registry::undo_to(const Registry& before, RegFormat format) const {
  const bool v5 = format == RegFormat::Version5;
  std::string out(v5 ? kHeader5 : kHeader4);
  out += "\r\n\r\n";
  for (int r = 0; r < kRootCount; ++r)
    undo_added_keys(*impl_->roots[r], *before.impl_->roots[r], impl_->roots[r]->name, out);
  for (int r = 0; r < kRootCount; ++r)
    undo_restore(*before.impl_->roots[r], impl_->roots[r].get(), impl_->roots[r]->name, true, v5, out);
  return finish_text(out, v5);
}

bool Registry::operator==(const Registry& other) const {
  for (int r = 0; r < kRootCount; ++r)
    if (!same_tree(*impl_->roots[r], *other.impl_->roots[r])) return false;
  return true;
}

bool Registry::key_exists(const std::string& path) const {
  ParsedPath parsed;
  return parse_full_path(utf8_from_ansi(path), parsed).empty() && impl_->find(parsed) != nullptr;
}

bool Registry::get_value(const std::string& key_path, const std::string& name, RegValue* out) const {
  ParsedPath parsed;
  if (!parse_full_path(utf8_from_ansi(key_path), parsed).empty()) return false;
  const RegKey* key = impl_->find(parsed);
  const RegValue* value = key ? key->value(fold(utf8_from_ansi(name))) : nullptr;
  if (value && out) *out = value_to_ansi(*value);
  return value != nullptr;
}

void Registry::set_value(const std::string& key_path, const RegValue& value) {
  ParsedPath parsed;
  std::string error = parse_full_path(utf8_from_ansi(key_path), parsed);
  if (!error.empty()) throw std::invalid_argument(key_path + ": " + error);
  impl_->ensure(parsed)->put_value(utf8_from_ansi(value.name), value.type, data_from_ansi(value.type, value.data));
}

std::vector<std::string> Registry::subkey_names(const std::string& path) const {
  std::vector<std::string> names;
  ParsedPath parsed;
  if (!parse_full_path(utf8_from_ansi(path), parsed).empty()) return names;
  if (const RegKey* key = impl_->find(parsed))
    for (const auto& child : key->children) names.push_back(ansi_from_utf8(child->name));
  return names;
}

std::vector<RegValue> Registry::values_of(const std::string& path) const {
  ParsedPath parsed;
  if (!parse_full_path(utf8_from_ansi(path), parsed).empty()) return {};
  std::vector<RegValue> out;
  if (const RegKey* key = impl_->find(parsed))
    for (const auto& v : key->values) out.push_back(value_to_ansi(v));
  return out;
}

bool Registry::delete_tree(const std::string& path) {
  ParsedPath parsed;
  if (!parse_full_path(utf8_from_ansi(path), parsed).empty()) return false;
  RegKey* key = impl_->find(parsed);
  if (key == nullptr || key->parent == nullptr) return false;
  impl_->remove_child(*key->parent, key);
  return true;
}

// ---- Win32 entry points ---------------------------------------------------------------

LONG Registry::open_key(HKEY parent, LPCSTR subkey, REGSAM sam, PHKEY result, bool create, LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  if (create && !subkey) return ERROR_INVALID_PARAMETER;
  RegKey* base = nullptr;
  DWORD base_access = 0;
  if (LONG rc = impl_->resolve(parent, create, &base, &base_access)) return rc;
  std::vector<std::string> parts;
  if (LONG rc = split_subkey(subkey, parts)) {
    *result = nullptr;
    return rc;
  }
  // An empty sub-key of a root gives back the root's own handle.
  if (parts.empty() && is_predefined(parent)) {
    *result = parent;
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  }
  if (!impl_->faults.open_fails.empty()) {
    std::string path = full_path(*base);
    for (const auto& part : parts) path += "\\" + part;
    if (Impl::listed(impl_->faults.open_fails, fold(path))) {
      *result = nullptr;
      return ERROR_ACCESS_DENIED;
    }
  }
  RegKey* key = base;
  bool created = false;
  for (const auto& part : parts) {
    RegKey* next = key->child(fold(part));
    if (!next) {
      if (!create) {
        *result = nullptr;
        return ERROR_FILE_NOT_FOUND;
      }
      // NT: making a sub-key needs KEY_CREATE_SUB_KEY on the key it goes in.
      if (impl_->family == RegFamily::NT && !check_key_access(*key, KEY_CREATE_SUB_KEY)) {
        *result = nullptr;
        return ERROR_ACCESS_DENIED;
      }
      next = impl_->add_child(*key, part);
      created = true;
    }
    key = next;
  }
  DWORD granted = map_access(sam);
  if (impl_->family == RegFamily::NT) {
    // The rights asked for are checked against the key's own access list.
    std::optional<DWORD> checked = check_key_access(*key, sam);
    if (!checked) {
      *result = nullptr;
      return ERROR_ACCESS_DENIED;
    }
    granted = *checked;
  }
  *result = impl_->new_handle(*key, granted);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG Registry::close_key(HKEY key) {
  if (is_predefined(key)) return ERROR_SUCCESS;
  // Closing a handle to a deleted key succeeds on both families.
  return impl_->close(key);
}

LONG Registry::enum_key(HKEY key, DWORD index, LPSTR name, LPDWORD name_size) {
  RegKey* k = nullptr;
  DWORD access = 0;
  if (LONG rc = impl_->resolve(key, false, &k, &access)) return rc;
  if (!impl_->allowed(access, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (!name || !name_size) return ERROR_INVALID_PARAMETER;
  if (index >= k->children.size()) return ERROR_NO_MORE_ITEMS;
  const std::string child = ansi_from_utf8(k->children[index]->name);
  if (*name_size < child.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(name, child.c_str(), child.size() + 1);
  *name_size = static_cast<DWORD>(child.size());
  return ERROR_SUCCESS;
}

LONG Registry::enum_value(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD type, LPBYTE data,
                          LPDWORD data_size) {
  RegKey* k = nullptr;
  DWORD access = 0;
  if (LONG rc = impl_->resolve(key, false, &k, &access)) return rc;
  if (!impl_->allowed(access, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (!name || !name_size || (data && !data_size)) return ERROR_INVALID_PARAMETER;
  if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
  const RegValue v = value_to_ansi(k->values[index]);
  const DWORD needed = static_cast<DWORD>(v.data.size());
  // The ANSI function reports a short name or data buffer with the type
  // and the data size, and leaves both buffers and the name size alone.
  const bool name_short = *name_size < v.name.size() + 1;
  const bool data_short = data && *data_size < needed;
  if (type) *type = v.type;
  if (name_short || data_short) {
    if (data_size) *data_size = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(name, v.name.c_str(), v.name.size() + 1);
  *name_size = static_cast<DWORD>(v.name.size());
  if (data && needed) std::memcpy(data, v.data.data(), needed);
  if (data_size) *data_size = needed;
  return ERROR_SUCCESS;
}

LONG Registry::query_value(HKEY key, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD data_size) {
  RegKey* k = nullptr;
  DWORD access = 0;
  if (LONG rc = impl_->resolve(key, false, &k, &access)) return rc;
  if (!impl_->allowed(access, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !data_size) return ERROR_INVALID_PARAMETER;
  const RegValue* stored = k->value(fold(utf8_from_ansi(name ? name : "")));
  if (!stored) return ERROR_FILE_NOT_FOUND;
  const RegValue ansi = value_to_ansi(*stored);
  const RegValue* v = &ansi;
  const DWORD needed = static_cast<DWORD>(v->data.size());
  if (type) *type = v->type;
  if (!data_size) return ERROR_SUCCESS;
  if (data) {
    if (*data_size < needed) {
      *data_size = needed;
      return ERROR_MORE_DATA;
    }
    if (needed) std::memcpy(data, v->data.data(), needed);
  }
  *data_size = needed;
  return ERROR_SUCCESS;
}

LONG Registry::set_value(HKEY key, LPCSTR name, DWORD type, const BYTE* data, DWORD size) {
  RegKey* k = nullptr;
  DWORD access = 0;
  if (LONG rc = impl_->resolve(key, true, &k, &access)) return rc;
  if (!impl_->allowed(access, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::vector<std::uint8_t> bytes;
  if (impl_->family == RegFamily::Win9x && type == REG_SZ) {
    // Windows 9x takes the length of a REG_SZ from the string itself.
    if (!data) return ERROR_INVALID_PARAMETER;
    const char* s = reinterpret_cast<const char*>(data);
    bytes.assign(data, data + std::strlen(s) + 1);
  } else {
    if (!data && size) return impl_->family == RegFamily::NT ? kErrorNoAccess : ERROR_INVALID_PARAMETER;
    if (size) bytes.assign(data, data + size);
  }
  k->put_value(utf8_from_ansi(name ? name : ""), type, data_from_ansi(type, std::move(bytes)));
  return ERROR_SUCCESS;
}

LONG Registry::delete_key(HKEY key, LPCSTR subkey) {
  RegKey* base = nullptr;
  DWORD access = 0;
  // The rights of the handle play no part: the key itself is what is deleted.
  if (LONG rc = impl_->resolve(key, false, &base, &access)) return rc;
  if (!subkey) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> parts;
  if (LONG rc = split_subkey(subkey, parts)) return rc;
  RegKey* target = base;
  for (const auto& part : parts) {
    target = target->child(fold(part));
    if (!target) return ERROR_FILE_NOT_FOUND;
  }
  if (!target->parent) return ERROR_ACCESS_DENIED;  // a root key
  if (Impl::listed(impl_->faults.delete_fails, fold(full_path(*target)))) return ERROR_ACCESS_DENIED;
  // NT opens the key for DELETE before deleting it.
  if (impl_->family == RegFamily::NT && !check_key_access(*target, DELETE)) return ERROR_ACCESS_DENIED;
  // NT deletes only a key without sub-keys; Windows 9x takes the sub-tree.
  if (impl_->family == RegFamily::NT && !target->children.empty()) return ERROR_ACCESS_DENIED;
  impl_->remove_child(*target->parent, target);
  return ERROR_SUCCESS;
}

LONG Registry::delete_value(HKEY key, LPCSTR name) {
  RegKey* k = nullptr;
  DWORD access = 0;
  if (LONG rc = impl_->resolve(key, false, &k, &access)) return rc;
  if (!impl_->allowed(access, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return k->erase_value(utf8_from_ansi(name ? name : "")) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG Registry::query_info(HKEY key, LPDWORD subkeys, LPDWORD max_subkey_len, LPDWORD values,
                          LPDWORD max_value_name_len, LPDWORD max_value_len) {
  RegKey* k = nullptr;
  DWORD access = 0;
  if (LONG rc = impl_->resolve(key, false, &k, &access)) return rc;
  if (!impl_->allowed(access, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  std::size_t longest_key = 0, longest_name = 0, longest_data = 0;
  // Lengths as the ANSI functions hand the names and data out.
  for (const auto& child : k->children) longest_key = std::max(longest_key, ansi_from_utf8(child->name).size());
  for (const auto& stored : k->values) {
    const RegValue v = value_to_ansi(stored);
    longest_name = std::max(longest_name, v.name.size());
    longest_data = std::max(longest_data, v.data.size());
  }
  if (subkeys) *subkeys = static_cast<DWORD>(k->children.size());
  if (max_subkey_len) *max_subkey_len = static_cast<DWORD>(longest_key);
  if (values) *values = static_cast<DWORD>(k->values.size());
  if (max_value_name_len) *max_value_name_len = static_cast<DWORD>(longest_name);
  if (max_value_len) *max_value_len = static_cast<DWORD>(longest_data);
  return ERROR_SUCCESS;
}

LONG Registry::set_key_security(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd) {
  if (impl_->family == RegFamily::Win9x) return kErrorCallNotImplemented;  // no key security on 9x
  RegKey* k = nullptr;
  DWORD access = 0;
  if (LONG rc = impl_->resolve(key, false, &k, &access)) return rc;
  if (!sd) return ERROR_INVALID_PARAMETER;
  DWORD needed = 0;
  if (info & kDaclSecurityInformation) needed |= WRITE_DAC;
  if (info & (kOwnerSecurityInformation | kGroupSecurityInformation)) needed |= WRITE_OWNER;
  if (!impl_->allowed(access, needed)) return ERROR_ACCESS_DENIED;
  KeySecurity updated = k->security;
  if (!updated.present) updated = KeySecurity{true, current_token().default_owner, {}, false, false, {}};
  if (LONG rc = read_descriptor(sd, info, &updated)) return rc;
  // Only a SID the token holds can be made the owner.
  if ((info & kOwnerSecurityInformation) && !current_token().holds(updated.owner)) return ERROR_INVALID_OWNER;
  k->security = std::move(updated);
  return ERROR_SUCCESS;
}

LONG Registry::get_key_security(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd, LPDWORD size) {
  if (impl_->family == RegFamily::Win9x) return kErrorCallNotImplemented;  // no key security on 9x
  RegKey* k = nullptr;
  DWORD access = 0;
  if (LONG rc = impl_->resolve(key, false, &k, &access)) return rc;
  if (!size) return kErrorNoAccess;
  if ((info & (kOwnerSecurityInformation | kGroupSecurityInformation | kDaclSecurityInformation)) &&
      !impl_->allowed(access, READ_CONTROL))
    return ERROR_ACCESS_DENIED;
  KeySecurity shown = k->security;
  if (!shown.present) shown.dacl_present = false;  // a key without security: no list, open to all
  const std::vector<std::uint8_t> bytes = to_self_relative(shown, info);
  if (!sd || *size < bytes.size()) {
    *size = static_cast<DWORD>(bytes.size());
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(sd, bytes.data(), bytes.size());
  *size = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}

namespace {

void assign_security(RegKey& key, const std::string& path, const KeySecurity& inherited,
                     const std::map<std::string, KeySecurity>& layout, const Token& token) {
  auto it = layout.find(fold(path));
  key.security = it != layout.end() ? it->second : inherited;
  for (auto& child : key.children)
    assign_security(*child, path + "\\" + child->name, inherit(key.security, token), layout, token);
}

void collect_security_changes(const RegKey& old_key, const RegKey& new_key, const std::string& path,
                              std::vector<std::pair<std::string, std::string>>& out) {
  const KeySecurity& a = old_key.security;
  const KeySecurity& b = new_key.security;
  if (a.dacl_present != b.dacl_present || a.dacl_protected != b.dacl_protected || a.dacl != b.dacl)
    out.emplace_back(path, to_sddl(b));
  for (const auto& child : new_key.children)
    if (const RegKey* was = old_key.child(child->folded))
      collect_security_changes(*was, *child, path + "\\" + child->name, out);
}

}  // namespace

void Registry::apply_security(const KeySecurity& root, const std::map<std::string, KeySecurity>& layout) {
  // The layout's paths, written with any root spelling, in canonical form.
  std::map<std::string, KeySecurity> canonical;
  for (const auto& [path, security] : layout) canonical[Impl::canonical_fault_path(path)] = security;
  const Token& token = current_token();
  for (auto& r : impl_->roots) assign_security(*r, r->name, root, canonical, token);
}

void Registry::set_security(const std::string& path, const KeySecurity& security) {
  ParsedPath parsed;
  std::string error = parse_full_path(path, parsed);
  RegKey* key = error.empty() ? impl_->find(parsed) : nullptr;
  if (!key) throw std::invalid_argument(path + ": " + (error.empty() ? "no such key" : error));
  key->security = security;
}

KeySecurity Registry::security(const std::string& path) const {
  ParsedPath parsed;
  if (!parse_full_path(path, parsed).empty()) return {};
  const RegKey* key = impl_->find(parsed);
  return key ? key->security : KeySecurity{};
}

std::vector<std::pair<std::string, std::string>> Registry::security_changes_from(const Registry& before) const {
  std::vector<std::pair<std::string, std::string>> out;
  for (int r = 0; r < kRootCount; ++r)
    collect_security_changes(*before.impl_->roots[r], *impl_->roots[r], impl_->roots[r]->name, out);
  return out;
}

std::size_t Registry::open_handle_count() const {
  std::size_t count = 0;
  for (const auto& [value, handle] : impl_->handles) count += handle.opens;
  return count;
}

}  // namespace sim::win32
