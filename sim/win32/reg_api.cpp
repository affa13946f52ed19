// The Win32 registry functions of the simulated machine. Each one works on
// the state of the machine's registry (registry_state.h); key_of is the one
// check of an HKEY, with the error codes of the family.
#include <algorithm>
#include <cstring>

#include "machine.h"
#include "registry_state.h"

using sim::win32::check_key_access;
using sim::win32::current_token;
using sim::win32::fold;
using sim::win32::key_of;
using sim::win32::KeyRef;
using sim::win32::RegKey;
using sim::win32::RegValue;

namespace {

using State = sim::win32::Registry::State;

constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kOwnerSecurityInformation = 1;
constexpr DWORD kGroupSecurityInformation = 2;
constexpr DWORD kDaclSecurityInformation = 4;
constexpr DWORD kKeyRead = static_cast<DWORD>(KEY_READ);
constexpr DWORD kKeyWrite = static_cast<DWORD>(KEY_WRITE);
constexpr DWORD kKeyAllAccess = static_cast<DWORD>(KEY_ALL_ACCESS);

State& reg() { return sim::win32::machine().registry.state(); }

bool is_predefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS ||
         key == HKEY_CURRENT_CONFIG || key == HKEY_DYN_DATA;
}

// Sub-key path of a Win32 call into names. A leading backslash is refused,
// trailing ones are ignored, as on the real system.
LONG split_subkey(LPCSTR subkey, std::vector<std::string>& parts) {
  parts.clear();
  if (!subkey || !*subkey) return ERROR_SUCCESS;
  // ANSI call, Unicode store: converted whole first, since a trail byte of
  // a double-byte page may be 0x5C, the backslash.
  const std::string text = reg().cp().to_utf8(subkey);
  std::string_view s(text);
  if (s.front() == '\\') return sim::win32::kErrorBadPathname;
  while (!s.empty() && s.back() == '\\') s.remove_suffix(1);
  std::size_t start = 0;
  while (start <= s.size() && !s.empty()) {
    std::size_t end = s.find('\\', start);
    std::string_view part = s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty()) return sim::win32::kErrorBadPathname;
    parts.emplace_back(part);  // ANSI call, Unicode store
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

// NT makes a new handle for every open. Windows 9x gives back the handle
// already open on the key and counts the opens; each close takes one.
HKEY new_handle(State& s, RegKey& key, DWORD access) {
  if (!s.nt() && key.shared_handle) {
    ++s.handles.at(key.shared_handle).opens;
    return reinterpret_cast<HKEY>(key.shared_handle);
  }
  std::uintptr_t value = s.next_handle;
  s.next_handle += 4;
  s.handles.emplace(value, State::Handle{key.shared_from_this(), access, 1});
  if (!s.nt()) key.shared_handle = value;
  return reinterpret_cast<HKEY>(value);
}

// RegOpenKeyEx and RegCreateKeyEx: the rights of `parent` play no part.
LONG open_or_create(HKEY parent, LPCSTR subkey, REGSAM sam, PHKEY result, bool create, LPDWORD disposition) {
  State& s = reg();
  if (!result) return ERROR_INVALID_PARAMETER;
  if (create && !subkey) return ERROR_INVALID_PARAMETER;
  KeyRef base;
  if (LONG rc = key_of(s, parent, 0, &base, create)) return rc;
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
  if (!s.faults.open_fails.empty()) {
    std::string path = sim::win32::full_path(*base.key);
    for (const auto& part : parts) path += "\\" + part;
    if (State::listed(s.faults.open_fails, fold(path))) {
      *result = nullptr;
      return ERROR_ACCESS_DENIED;
    }
  }
  RegKey* key = base.key;
  bool created = false;
  for (const auto& part : parts) {
    RegKey* next = key->child(fold(part));
    if (!next) {
      if (!create) {
        *result = nullptr;
        return ERROR_FILE_NOT_FOUND;
      }
      // NT: making a sub-key needs KEY_CREATE_SUB_KEY on the key it goes in.
      if (s.nt() && !check_key_access(*key, KEY_CREATE_SUB_KEY)) {
        *result = nullptr;
        return ERROR_ACCESS_DENIED;
      }
      next = s.add_child(*key, part);
      created = true;
    }
    key = next;
  }
  DWORD granted = map_access(sam);
  if (s.nt()) {
    // The rights asked for are checked against the key's own access list.
    std::optional<DWORD> checked = check_key_access(*key, sam);
    if (!checked) {
      *result = nullptr;
      return ERROR_ACCESS_DENIED;
    }
    granted = *checked;
  }
  *result = new_handle(s, *key, granted);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// Every key reports an empty class and a last-write time of zero.
void no_class(LPSTR cls, LPDWORD cls_size) {
  if (!cls_size) return;
  if (cls && *cls_size > 0) cls[0] = '\0';
  *cls_size = 0;
}

void zero_time(PFILETIME time) {
  if (time) *time = FILETIME{0, 0};
}

}  // namespace

namespace sim::win32 {

LONG key_of(Registry::State& s, HKEY handle, DWORD needed, KeyRef* out, bool for_write) {
  out->access = kKeyAllAccess;
  if (handle == HKEY_LOCAL_MACHINE) {
    out->key = s.roots[kLocalMachine].get();
  } else if (handle == HKEY_CURRENT_USER) {
    out->key = s.roots[kCurrentUser].get();
  } else if (handle == HKEY_USERS) {
    out->key = s.roots[kUsers].get();
  } else if (handle == HKEY_CURRENT_CONFIG) {
    out->key = s.roots[kCurrentConfig].get();
  } else if (handle == HKEY_DYN_DATA) {
    if (s.nt()) return ERROR_INVALID_HANDLE;  // a Windows 9x root only
    out->key = s.roots[kDynData].get();
  } else if (handle == HKEY_CLASSES_ROOT) {
    out->key = s.classes_root(for_write);
  } else {
    auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == s.handles.end()) return s.nt() ? ERROR_INVALID_HANDLE : kErrorBadKey;
    if (it->second.key->deleted) return ERROR_KEY_DELETED;
    out->key = it->second.key.get();
    out->access = it->second.access;
  }
  // NT checks each call against the rights the handle was opened with;
  // Windows 9x has no key security.
  if (s.nt() && (out->access & needed) != needed) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

}  // namespace sim::win32

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD /*options*/, REGSAM sam, PHKEY result) {
  return open_or_create(key, subkey, sam, result, false, nullptr);
}

LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subkey, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  // The 16-bit form hands back the very handle it was given for an empty
  // sub-key, without a new handle to close.
  if (!subkey || !*subkey) {
    *result = key;
    return ERROR_SUCCESS;
  }
  return open_or_create(key, subkey, kMaximumAllowed, result, false, nullptr);
}

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subkey, DWORD /*reserved*/, LPSTR /*cls*/, DWORD /*options*/, REGSAM sam,
                            LPSECURITY_ATTRIBUTES /*sa*/, PHKEY result, LPDWORD disposition) {
  return open_or_create(key, subkey, sam, result, true, disposition);
}

LONG WINAPI RegCloseKey(HKEY key) {
  if (is_predefined(key)) return ERROR_SUCCESS;
  // Closing a handle to a deleted key succeeds on both families.
  State& s = reg();
  auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(key));
  if (it == s.handles.end()) return s.nt() ? ERROR_INVALID_HANDLE : sim::win32::kErrorBadKey;
  if (--it->second.opens == 0) {
    if (it->second.key->shared_handle == it->first) it->second.key->shared_handle = 0;
    s.handles.erase(it);
  }
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved, LPSTR cls,
                          LPDWORD cls_size, PFILETIME last_write) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  KeyRef k;
  if (LONG rc = key_of(reg(), key, KEY_ENUMERATE_SUB_KEYS, &k)) return rc;
  if (!name || !name_size) return ERROR_INVALID_PARAMETER;
  if (index >= k.key->children.size()) return ERROR_NO_MORE_ITEMS;
  const std::string child = reg().cp().from_utf8(k.key->sub_keys()[index]->name);
  if (*name_size < child.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(name, child.c_str(), child.size() + 1);
  *name_size = static_cast<DWORD>(child.size());
  no_class(cls, cls_size);
  zero_time(last_write);
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD name_size) {
  return RegEnumKeyExA(key, index, name, &name_size, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved, LPDWORD type,
                          LPBYTE data, LPDWORD data_size) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  KeyRef k;
  if (LONG rc = key_of(reg(), key, KEY_QUERY_VALUE, &k)) return rc;
  if (!name || !name_size || (data && !data_size)) return ERROR_INVALID_PARAMETER;
  if (index >= k.key->values.size()) return ERROR_NO_MORE_ITEMS;
  const RegValue v = sim::win32::value_to_ansi(k.key->values[index], reg().cp());
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

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  KeyRef k;
  if (LONG rc = key_of(reg(), key, KEY_QUERY_VALUE, &k)) return rc;
  if (data && !data_size) return ERROR_INVALID_PARAMETER;
  const RegValue* stored = k.key->value(fold(reg().cp().to_utf8(name ? name : "")));
  if (!stored) return ERROR_FILE_NOT_FOUND;
  const RegValue v = sim::win32::value_to_ansi(*stored, reg().cp());
  const DWORD needed = static_cast<DWORD>(v.data.size());
  if (type) *type = v.type;
  if (!data_size) return ERROR_SUCCESS;
  if (data) {
    if (*data_size < needed) {
      *data_size = needed;
      return ERROR_MORE_DATA;
    }
    if (needed) std::memcpy(data, v.data.data(), needed);
  }
  *data_size = needed;
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD /*reserved*/, DWORD type, const BYTE* data, DWORD size) {
  State& s = reg();
  KeyRef k;
  if (LONG rc = key_of(s, key, KEY_SET_VALUE, &k, true)) return rc;
  std::vector<std::uint8_t> bytes;
  if (!s.nt() && type == REG_SZ) {
    // Windows 9x takes the length of a REG_SZ from the string itself.
    if (!data) return ERROR_INVALID_PARAMETER;
    const char* text = reinterpret_cast<const char*>(data);
    bytes.assign(data, data + std::strlen(text) + 1);
  } else {
    if (!data && size) return s.nt() ? sim::win32::kErrorNoAccess : ERROR_INVALID_PARAMETER;
    if (size) bytes.assign(data, data + size);
  }
  k.key->put_value(reg().cp().to_utf8(name ? name : ""), type,
                   sim::win32::data_from_ansi(type, std::move(bytes), reg().cp()));
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subkey) {
  State& s = reg();
  KeyRef base;
  // The rights of the handle play no part: the key itself is what is deleted.
  if (LONG rc = key_of(s, key, 0, &base)) return rc;
  if (!subkey) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> parts;
  if (LONG rc = split_subkey(subkey, parts)) return rc;
  RegKey* target = base.key;
  for (const auto& part : parts) {
    target = target->child(fold(part));
    if (!target) return ERROR_FILE_NOT_FOUND;
  }
  if (!target->parent) return ERROR_ACCESS_DENIED;  // a root key
  if (State::listed(s.faults.delete_fails, fold(sim::win32::full_path(*target)))) return ERROR_ACCESS_DENIED;
  // NT opens the key for DELETE before deleting it.
  if (s.nt() && !check_key_access(*target, DELETE)) return ERROR_ACCESS_DENIED;
  // NT deletes only a key without sub-keys; Windows 9x takes the sub-tree.
  if (s.nt() && !target->children.empty()) return ERROR_ACCESS_DENIED;
  s.remove_child(*target->parent, target);
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR name) {
  KeyRef k;
  if (LONG rc = key_of(reg(), key, KEY_SET_VALUE, &k)) return rc;
  return k.key->erase_value(reg().cp().to_utf8(name ? name : "")) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegQueryInfoKeyA(HKEY key, LPSTR cls, LPDWORD cls_size, LPDWORD /*reserved*/, LPDWORD subkeys,
                             LPDWORD max_subkey_len, LPDWORD max_class_len, LPDWORD values, LPDWORD max_value_name_len,
                             LPDWORD max_value_len, LPDWORD security_descriptor_size, PFILETIME last_write) {
  KeyRef k;
  if (LONG rc = key_of(reg(), key, KEY_QUERY_VALUE, &k)) return rc;
  std::size_t longest_key = 0, longest_name = 0, longest_data = 0;
  // Lengths as the ANSI functions hand the names and data out.
  for (const auto& child : k.key->children)
    longest_key = std::max(longest_key, reg().cp().from_utf8(child->name).size());
  for (const auto& stored : k.key->values) {
    const RegValue v = sim::win32::value_to_ansi(stored, reg().cp());
    longest_name = std::max(longest_name, v.name.size());
    longest_data = std::max(longest_data, v.data.size());
  }
  if (subkeys) *subkeys = static_cast<DWORD>(k.key->children.size());
  if (max_subkey_len) *max_subkey_len = static_cast<DWORD>(longest_key);
  if (values) *values = static_cast<DWORD>(k.key->values.size());
  if (max_value_name_len) *max_value_name_len = static_cast<DWORD>(longest_name);
  if (max_value_len) *max_value_len = static_cast<DWORD>(longest_data);
  no_class(cls, cls_size);
  if (max_class_len) *max_class_len = 0;
  if (security_descriptor_size) *security_descriptor_size = 0;
  zero_time(last_write);
  return ERROR_SUCCESS;
}

// NT only (Windows 9x has no key security): the handle needs WRITE_DAC /
// WRITE_OWNER for what `info` replaces.
LONG WINAPI RegSetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd) {
  State& s = reg();
  if (!s.nt()) return sim::win32::kErrorCallNotImplemented;
  KeyRef k;
  if (LONG rc = key_of(s, key, 0, &k)) return rc;
  if (!sd) return ERROR_INVALID_PARAMETER;
  DWORD needed = 0;
  if (info & kDaclSecurityInformation) needed |= WRITE_DAC;
  if (info & (kOwnerSecurityInformation | kGroupSecurityInformation)) needed |= WRITE_OWNER;
  if ((k.access & needed) != needed) return ERROR_ACCESS_DENIED;
  sim::win32::KeySecurity updated = k.key->security();
  if (!updated.present) updated = sim::win32::KeySecurity{true, current_token().default_owner, {}, false, false, {}};
  if (LONG rc = sim::win32::read_descriptor(sd, info, &updated)) return rc;
  // Only a SID the token holds can be made the owner.
  if ((info & kOwnerSecurityInformation) && !current_token().holds(updated.owner)) return ERROR_INVALID_OWNER;
  k.key->set_security(std::move(updated));
  return ERROR_SUCCESS;
}

// NT only: the self-relative descriptor of what `info` names; the handle
// needs READ_CONTROL.
LONG WINAPI RegGetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd, LPDWORD size) {
  State& s = reg();
  if (!s.nt()) return sim::win32::kErrorCallNotImplemented;
  KeyRef k;
  if (LONG rc = key_of(s, key, 0, &k)) return rc;
  if (!size) return sim::win32::kErrorNoAccess;
  if ((info & (kOwnerSecurityInformation | kGroupSecurityInformation | kDaclSecurityInformation)) &&
      (k.access & READ_CONTROL) != READ_CONTROL)
    return ERROR_ACCESS_DENIED;
  sim::win32::KeySecurity shown = k.key->security();
  if (!shown.present) shown.dacl_present = false;  // a key without security: no list, open to all
  const std::vector<std::uint8_t> bytes = sim::win32::to_self_relative(shown, info);
  if (!sd || *size < bytes.size()) {
    *size = static_cast<DWORD>(bytes.size());
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(sd, bytes.data(), bytes.size());
  *size = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}
