// The NT security model of the simulated machine: SIDs, access lists, SDDL,
// tokens, access checks and inheritance, descriptors in their binary forms.
// The Win32 functions built on it are in security_api.cpp.
#include "security.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim::win32 {

const char* const kDefaultUserSid = "S-1-5-21-1085031214-1563985344-725345543-1003";

namespace {

constexpr DWORD kKeyRead = static_cast<DWORD>(KEY_READ);
constexpr DWORD kKeyWrite = static_cast<DWORD>(KEY_WRITE);
constexpr DWORD kKeyAllAccess = static_cast<DWORD>(KEY_ALL_ACCESS);
constexpr DWORD kGenericAll = static_cast<DWORD>(GENERIC_ALL);
constexpr DWORD kGenericRead = static_cast<DWORD>(GENERIC_READ);
constexpr DWORD kGenericWrite = static_cast<DWORD>(GENERIC_WRITE);
constexpr DWORD kGenericExecute = static_cast<DWORD>(GENERIC_EXECUTE);
constexpr DWORD kMaximumAllowed = static_cast<DWORD>(MAXIMUM_ALLOWED);
constexpr DWORD kAccessSystemSecurity = static_cast<DWORD>(ACCESS_SYSTEM_SECURITY);
// Every right a key can be granted: its specific and standard rights.
constexpr DWORD kAllKeyRights = kKeyAllAccess | static_cast<DWORD>(SYNCHRONIZE);

struct Alias {
  const char* name;
  const char* sid;
};
constexpr Alias kAliases[] = {
    {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"},      {"CG", "S-1-3-1"},      {"NU", "S-1-5-2"},
    {"IU", "S-1-5-4"},      {"AU", "S-1-5-11"},     {"RC", "S-1-5-12"},     {"SY", "S-1-5-18"},
    {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"},
    {"BG", "S-1-5-32-546"}, {"PU", "S-1-5-32-547"}, {"AO", "S-1-5-32-548"}, {"SO", "S-1-5-32-549"},
    {"PO", "S-1-5-32-550"}, {"BO", "S-1-5-32-551"}, {"RE", "S-1-5-32-552"},
};

struct Right {
  const char* name;
  DWORD mask;
};
// Longest masks first, so the text names a whole combination when it can.
constexpr Right kRights[] = {
    {"KA", kKeyAllAccess},
    {"KR", kKeyRead},
    {"KW", kKeyWrite},
    {"GA", kGenericAll},
    {"GR", kGenericRead},
    {"GW", kGenericWrite},
    {"GX", kGenericExecute},
    {"SD", static_cast<DWORD>(DELETE)},
    {"RC", static_cast<DWORD>(READ_CONTROL)},
    {"WD", static_cast<DWORD>(WRITE_DAC)},
    {"WO", static_cast<DWORD>(WRITE_OWNER)},
    {"CC", KEY_QUERY_VALUE},
    {"DC", KEY_SET_VALUE},
    {"LC", KEY_CREATE_SUB_KEY},
    {"SW", KEY_ENUMERATE_SUB_KEYS},
    {"RP", KEY_NOTIFY},
    {"WP", KEY_CREATE_LINK},
};

void put_word(std::vector<std::uint8_t>& out, std::size_t at, WORD w) {
  out[at] = static_cast<std::uint8_t>(w & 0xFF);
  out[at + 1] = static_cast<std::uint8_t>(w >> 8);
}

void put_dword(std::vector<std::uint8_t>& out, std::size_t at, DWORD d) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(d >> (8 * i));
}

WORD get_word(const std::uint8_t* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
DWORD get_dword(const std::uint8_t* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
         (static_cast<DWORD>(p[3]) << 24);
}

std::size_t acl_size(const std::vector<Ace>& aces) {
  std::size_t size = sizeof(ACL);
  for (const Ace& a : aces) size += 8 + a.sid.size();
  return size;
}

void write_acl(const std::vector<Ace>& aces, std::vector<std::uint8_t>& out, std::size_t at) {
  std::size_t size = acl_size(aces);
  out[at] = ACL_REVISION;
  out[at + 1] = 0;
  put_word(out, at + 2, static_cast<WORD>(size));
  put_word(out, at + 4, static_cast<WORD>(aces.size()));
  put_word(out, at + 6, 0);
  std::size_t pos = at + sizeof(ACL);
  for (const Ace& a : aces) {
    out[pos] = a.type;
    out[pos + 1] = a.flags;
    put_word(out, pos + 2, static_cast<WORD>(8 + a.sid.size()));
    put_dword(out, pos + 4, a.mask);
    std::copy(a.sid.begin(), a.sid.end(), out.begin() + static_cast<std::ptrdiff_t>(pos + 8));
    pos += 8 + a.sid.size();
  }
}

// Reads an ACL whose header is at `p`, bounded by its own AclSize, as the
// platform checks one: revision 2 to 4, size at least the header, every
// entry inside the list and holding a well-formed SID.
bool read_acl(const std::uint8_t* p, std::vector<Ace>* out) {
  const BYTE revision = p[0];
  const WORD size = get_word(p + 2);
  const WORD count = get_word(p + 4);
  if (revision < ACL_REVISION || revision > ACL_REVISION_DS || size < sizeof(ACL)) return false;
  std::size_t pos = sizeof(ACL);
  std::vector<Ace> aces;
  for (WORD i = 0; i < count; ++i) {
    if (pos + 8 > size) return false;
    const WORD ace_size = get_word(p + pos + 2);
    if (ace_size < 8 || pos + ace_size > size) return false;
    Ace a;
    a.type = p[pos];
    a.flags = p[pos + 1];
    a.mask = get_dword(p + pos + 4);
    if (a.type == ACCESS_ALLOWED_ACE_TYPE || a.type == ACCESS_DENIED_ACE_TYPE) {
      std::size_t len = sid_length(p + pos + 8, ace_size - 8);
      if (len == 0) return false;
      a.sid.assign(p + pos + 8, p + pos + 8 + len);
    }
    aces.push_back(std::move(a));
    pos += ace_size;
  }
  if (out) *out = std::move(aces);
  return true;
}

std::string mask_text(DWORD mask) {
  for (const Right& r : kRights)
    if (r.mask == mask) return r.name;
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", mask);
  return buf;
}

std::optional<DWORD> parse_mask(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    DWORD v = 0;
    if (text.size() > 10) return std::nullopt;
    for (char c : text.substr(2)) {
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) return std::nullopt;
      v = v * 16 + static_cast<DWORD>(d);
    }
    return v;
  }
  if (text.empty() || text.size() % 2) return std::nullopt;
  DWORD v = 0;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    auto it = std::find_if(std::begin(kRights), std::end(kRights),
                           [&](const Right& r) { return text.substr(i, 2) == r.name; });
    if (it == std::end(kRights)) return std::nullopt;
    v |= it->mask;
  }
  return v;
}

}  // namespace

// ---- SIDs --------------------------------------------------------------------

std::size_t sid_length(const std::uint8_t* p, std::size_t avail) {
  if (!p || avail < 8 || p[0] != SID_REVISION || p[1] > SID_MAX_SUB_AUTHORITIES) return 0;
  std::size_t len = 8 + 4 * static_cast<std::size_t>(p[1]);
  return len <= avail ? len : 0;
}

std::optional<Sid> parse_sid(std::string_view text) {
  for (const Alias& a : kAliases)
    if (text == a.name) return parse_sid(a.sid);
  if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return std::nullopt;
  std::vector<std::uint64_t> fields;
  std::size_t pos = 2;
  while (pos <= text.size()) {
    std::size_t end = text.find('-', pos);
    std::string_view part = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (part.empty() || part.size() > 15) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    fields.push_back(v);
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  // revision, authority, then 0 to 15 sub-authorities of 32 bits.
  if (fields.size() < 2 || fields[0] != SID_REVISION || fields[1] >= (1ULL << 48) ||
      fields.size() - 2 > SID_MAX_SUB_AUTHORITIES)
    return std::nullopt;
  Sid sid(8 + 4 * (fields.size() - 2));
  sid[0] = SID_REVISION;
  sid[1] = static_cast<std::uint8_t>(fields.size() - 2);
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<std::uint8_t>(fields[1] >> (8 * (5 - i)));
  for (std::size_t i = 2; i < fields.size(); ++i) {
    if (fields[i] > 0xFFFFFFFFULL) return std::nullopt;
    put_dword(sid, 8 + 4 * (i - 2), static_cast<DWORD>(fields[i]));
  }
  return sid;
}

std::string sid_to_text(const Sid& sid) {
  if (sid_length(sid.data(), sid.size()) != sid.size()) return "<bad SID>";
  std::uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid[2 + i];
  std::string text = "S-1-" + std::to_string(authority);
  for (int i = 0; i < sid[1]; ++i) text += "-" + std::to_string(get_dword(sid.data() + 8 + 4 * i));
  for (const Alias& a : kAliases)
    if (text == a.sid) return a.name;
  return text;
}

// ---- SDDL --------------------------------------------------------------------

std::optional<KeySecurity> parse_sddl(std::string_view text, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return std::nullopt;
  };
  KeySecurity s;
  s.present = true;
  bool have_owner = false, have_dacl = false;
  std::size_t pos = 0;
  // A component runs up to the next "X:" that starts one.
  auto component_end = [&](std::size_t from) {
    for (std::size_t i = from; i + 1 < text.size(); ++i) {
      if (text[i + 1] == ':' && (text[i] == 'O' || text[i] == 'G' || text[i] == 'D' || text[i] == 'S')) {
        // Inside an entry "(...)" a colon never occurs, so this is a component.
        return i;
      }
    }
    return text.size();
  };
  while (pos < text.size()) {
    if (pos + 1 >= text.size() || text[pos + 1] != ':')
      return fail("expected O:, G: or D: at \"" + std::string(text.substr(pos)) + "\"");
    const char kind = text[pos];
    std::size_t end = component_end(pos + 2);
    std::string_view body = text.substr(pos + 2, end - pos - 2);
    pos = end;
    if (kind == 'O' || kind == 'G') {
      auto sid = parse_sid(body);
      if (!sid) return fail("bad SID \"" + std::string(body) + "\"");
      (kind == 'O' ? s.owner : s.group) = *sid;
      if (kind == 'O') have_owner = true;
    } else if (kind == 'D') {
      if (have_dacl) return fail("two D: components");
      have_dacl = true;
      if (body == "NO_ACCESS_CONTROL") {
        s.dacl_present = false;
        continue;
      }
      std::size_t i = 0;
      while (i < body.size() && body[i] != '(') {
        if (body.substr(i, 1) == "P") {
          s.dacl_protected = true;
          i += 1;
        } else if (body.substr(i, 2) == "AI" || body.substr(i, 2) == "AR") {
          i += 2;
        } else {
          return fail("unknown DACL flag in \"" + std::string(body) + "\"");
        }
      }
      while (i < body.size()) {
        if (body[i] != '(') return fail("expected '(' in \"" + std::string(body.substr(i)) + "\"");
        std::size_t close = body.find(')', i);
        if (close == std::string_view::npos) return fail("unclosed entry in \"" + std::string(body) + "\"");
        std::string_view entry = body.substr(i + 1, close - i - 1);
        i = close + 1;
        std::vector<std::string_view> f;
        for (std::size_t a = 0;;) {
          std::size_t b = entry.find(';', a);
          f.push_back(entry.substr(a, b == std::string_view::npos ? std::string_view::npos : b - a));
          if (b == std::string_view::npos) break;
          a = b + 1;
        }
        if (f.size() != 6) return fail("an entry has six fields: (" + std::string(entry) + ")");
        Ace ace;
        if (f[0] == "A") {
          ace.type = ACCESS_ALLOWED_ACE_TYPE;
        } else if (f[0] == "D") {
          ace.type = ACCESS_DENIED_ACE_TYPE;
        } else {
          return fail("entry type must be A or D: (" + std::string(entry) + ")");
        }
        for (std::size_t k = 0; k < f[1].size(); k += 2) {
          std::string_view flag = f[1].substr(k, 2);
          if (flag == "CI")
            ace.flags |= CONTAINER_INHERIT_ACE;
          else if (flag == "OI")
            ace.flags |= OBJECT_INHERIT_ACE;
          else if (flag == "NP")
            ace.flags |= NO_PROPAGATE_INHERIT_ACE;
          else if (flag == "IO")
            ace.flags |= INHERIT_ONLY_ACE;
          else if (flag == "ID")
            ace.flags |= INHERITED_ACE;
          else
            return fail("unknown entry flag \"" + std::string(flag) + "\"");
        }
        auto mask = parse_mask(f[2]);
        if (!mask) return fail("bad access mask \"" + std::string(f[2]) + "\"");
        ace.mask = *mask;
        if (!f[3].empty() || !f[4].empty())
          return fail("object entries do not apply to keys: (" + std::string(entry) + ")");
        auto sid = parse_sid(f[5]);
        if (!sid) return fail("bad SID \"" + std::string(f[5]) + "\"");
        ace.sid = *sid;
        s.dacl.push_back(std::move(ace));
      }
    } else {
      return fail("audit lists (S:) are not modelled");
    }
  }
  if (!have_owner) return fail("no owner (O:) given");
  if (!have_dacl) return fail("no discretionary list (D:) given");
  return s;
}

std::string to_sddl(const KeySecurity& s) {
  std::string out = "O:" + sid_to_text(s.owner);
  if (!s.group.empty()) out += "G:" + sid_to_text(s.group);
  out += "D:";
  if (!s.dacl_present) return out + "NO_ACCESS_CONTROL";
  if (s.dacl_protected) out += "P";
  for (const Ace& a : s.dacl) {
    out += a.type == ACCESS_ALLOWED_ACE_TYPE ? "(A;" : a.type == ACCESS_DENIED_ACE_TYPE ? "(D;" : "(?;";
    if (a.flags & OBJECT_INHERIT_ACE) out += "OI";
    if (a.flags & CONTAINER_INHERIT_ACE) out += "CI";
    if (a.flags & NO_PROPAGATE_INHERIT_ACE) out += "NP";
    if (a.flags & INHERIT_ONLY_ACE) out += "IO";
    if (a.flags & INHERITED_ACE) out += "ID";
    out += ";" + mask_text(a.mask) + ";;;" + sid_to_text(a.sid) + ")";
  }
  return out;
}

// ---- access ------------------------------------------------------------------

DWORD map_key_generic(DWORD mask) {
  DWORD out = mask & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
  if (mask & kGenericRead) out |= kKeyRead;
  if (mask & kGenericWrite) out |= kKeyWrite;
  if (mask & kGenericExecute) out |= kKeyRead;  // KEY_EXECUTE equals KEY_READ
  if (mask & kGenericAll) out |= kKeyAllAccess;
  return out;
}

bool Token::holds(const Sid& sid) const {
  return sid == user || std::find(groups.begin(), groups.end(), sid) != groups.end();
}

Token make_token(const std::string& user_sid, bool admin) {
  Token t;
  t.user = parse_sid(user_sid).value_or(*parse_sid(kDefaultUserSid));
  for (const char* g : {"WD", "BU", "IU", "AU"}) t.groups.push_back(*parse_sid(g));
  if (admin) t.groups.push_back(*parse_sid("BA"));
  // An administrator's new objects belong to the Administrators group.
  t.default_owner = admin ? *parse_sid("BA") : t.user;
  // The logon gives the default owner and SYSTEM full control of what the
  // process makes; Windows XP later narrowed an administrator's to the user.
  t.default_dacl = {Ace{ACCESS_ALLOWED_ACE_TYPE, 0, kGenericAll, t.default_owner},
                    Ace{ACCESS_ALLOWED_ACE_TYPE, 0, kGenericAll, *parse_sid("SY")}};
  return t;
}

std::optional<DWORD> access_check(const KeySecurity& s, const Token& token, DWORD desired) {
  const bool maximum = (desired & kMaximumAllowed) != 0;
  desired = map_key_generic(desired & ~kMaximumAllowed);
  // The audit list needs a privilege that no process has enabled here.
  if (desired & kAccessSystemSecurity) return std::nullopt;
  if (!s.present || !s.dacl_present) return maximum ? (desired | kAllKeyRights) : desired;
  DWORD granted = 0, denied = 0;
  if (token.holds(s.owner)) granted |= static_cast<DWORD>(READ_CONTROL | WRITE_DAC);
  for (const Ace& a : s.dacl) {
    if ((a.flags & INHERIT_ONLY_ACE) || !token.holds(a.sid)) continue;
    const DWORD m = map_key_generic(a.mask);
    if (a.type == ACCESS_ALLOWED_ACE_TYPE) {
      granted |= m & ~denied;
    } else if (a.type == ACCESS_DENIED_ACE_TYPE) {
      if (!maximum && (m & desired & ~granted)) return std::nullopt;
      denied |= m & ~granted;
    }
    if (!maximum && (granted & desired) == desired) return desired;
  }
  if (maximum) {
    if ((granted & desired) != desired || (granted == 0 && desired == 0)) return std::nullopt;
    return granted | desired;
  }
  if ((granted & desired) == desired) return desired;
  return std::nullopt;
}

KeySecurity inherit(const KeySecurity& parent, const Token& token) {
  KeySecurity child;
  if (!parent.present) return child;
  child.present = true;
  child.owner = token.default_owner;
  child.group = parent.group;
  const std::vector<Ace> none;
  for (const Ace& a : parent.dacl_present ? parent.dacl : none) {
    Ace copy = a;
    if (a.flags & CONTAINER_INHERIT_ACE) {
      // Takes effect on the child; keeps passing down unless told not to.
      copy.flags = (a.flags & NO_PROPAGATE_INHERIT_ACE) ? 0 : static_cast<BYTE>(a.flags & ~INHERIT_ONLY_ACE);
    } else if ((a.flags & OBJECT_INHERIT_ACE) && !(a.flags & NO_PROPAGATE_INHERIT_ACE)) {
      // Meant for non-container objects: carried along, effective nowhere.
      copy.flags = static_cast<BYTE>(a.flags | INHERIT_ONLY_ACE);
    } else {
      continue;
    }
    child.dacl.push_back(std::move(copy));
  }
  // Nothing came down (a parent with no list at all passes nothing down
  // either): the creator's default list applies, with its generic rights
  // mapped to the key's own.
  if (child.dacl.empty()) {
    for (const Ace& a : token.default_dacl) {
      Ace copy = a;
      copy.mask = map_key_generic(a.mask);
      child.dacl.push_back(std::move(copy));
    }
  }
  return child;
}

LONG read_descriptor(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION info, KeySecurity* out) {
  if (!sd) return ERROR_INVALID_PARAMETER;
  const auto* raw = static_cast<const std::uint8_t*>(sd);
  if (raw[0] != SECURITY_DESCRIPTOR_REVISION) return ERROR_INVALID_SECURITY_DESCR;
  const WORD control = get_word(raw + 2);
  const std::uint8_t* owner = nullptr;
  const std::uint8_t* dacl = nullptr;
  const std::uint8_t* group = nullptr;
  if (control & SE_SELF_RELATIVE) {
    const DWORD o = get_dword(raw + 4), g = get_dword(raw + 8), d = get_dword(raw + 16);
    owner = o ? raw + o : nullptr;
    group = g ? raw + g : nullptr;
    dacl = d ? raw + d : nullptr;
  } else {
    const auto* abs = static_cast<const SECURITY_DESCRIPTOR*>(sd);
    owner = static_cast<const std::uint8_t*>(abs->Owner);
    group = static_cast<const std::uint8_t*>(abs->Group);
    dacl = reinterpret_cast<const std::uint8_t*>(abs->Dacl);
  }
  KeySecurity result = *out;
  if (info & OWNER_SECURITY_INFORMATION) {
    std::size_t len = owner ? sid_length(owner, SECURITY_MAX_SID_SIZE) : 0;
    if (len == 0) return ERROR_INVALID_OWNER;
    result.owner.assign(owner, owner + len);
  }
  if (info & GROUP_SECURITY_INFORMATION) {
    std::size_t len = group ? sid_length(group, SECURITY_MAX_SID_SIZE) : 0;
    if (group && len == 0) return ERROR_INVALID_SID;
    result.group.assign(group, group + len);
  }
  if (info & DACL_SECURITY_INFORMATION) {
    // A descriptor without a present list, or with a present null list,
    // leaves the key open to everyone.
    if (!(control & SE_DACL_PRESENT) || !dacl) {
      result.dacl_present = false;
      result.dacl.clear();
    } else {
      std::vector<Ace> aces;
      if (!read_acl(dacl, &aces)) return ERROR_INVALID_ACL;
      result.dacl_present = true;
      result.dacl = std::move(aces);
    }
    result.dacl_protected = (control & SE_DACL_PROTECTED) != 0;
  }
  result.present = true;
  *out = std::move(result);
  return ERROR_SUCCESS;
}

std::vector<std::uint8_t> to_self_relative(const KeySecurity& s, SECURITY_INFORMATION info) {
  const bool owner = (info & OWNER_SECURITY_INFORMATION) && !s.owner.empty();
  const bool group = (info & GROUP_SECURITY_INFORMATION) && !s.group.empty();
  const bool dacl = (info & DACL_SECURITY_INFORMATION) != 0;
  std::size_t size = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
  const std::size_t owner_at = size;
  if (owner) size += s.owner.size();
  const std::size_t group_at = size;
  if (group) size += s.group.size();
  const std::size_t dacl_at = size;
  if (dacl && s.dacl_present) size += acl_size(s.dacl);
  std::vector<std::uint8_t> out(size, 0);
  out[0] = SECURITY_DESCRIPTOR_REVISION;
  WORD control = SE_SELF_RELATIVE;
  if (owner) {
    put_dword(out, 4, static_cast<DWORD>(owner_at));
    std::copy(s.owner.begin(), s.owner.end(), out.begin() + static_cast<std::ptrdiff_t>(owner_at));
  }
  if (group) {
    put_dword(out, 8, static_cast<DWORD>(group_at));
    std::copy(s.group.begin(), s.group.end(), out.begin() + static_cast<std::ptrdiff_t>(group_at));
  }
  if (dacl) {
    control |= SE_DACL_PRESENT;
    if (s.dacl_protected) control |= SE_DACL_PROTECTED;
    if (s.dacl_present) {
      put_dword(out, 16, static_cast<DWORD>(dacl_at));
      write_acl(s.dacl, out, dacl_at);
    }
  }
  put_word(out, 2, control);
  return out;
}

}  // namespace sim::win32
