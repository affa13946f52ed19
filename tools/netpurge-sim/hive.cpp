#include "hive.h"

#include <hivex.h>

#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>

#include "sim/common/input_file.h"

namespace netpurge_sim {

using sim::win32::InputError;
using sim::win32::KeySecurity;
using sim::win32::Registry;
using sim::win32::RegValue;

namespace {

// ---- the hive file's base block (the first 4 KiB) and cells ---------------
constexpr std::size_t kBaseBlock = 0x1000;
constexpr std::size_t kSeq1 = 0x04, kSeq2 = 0x08, kMajor = 0x14, kFileType = 0x1C, kRootCell = 0x24, kDataSize = 0x28,
                      kFileName = 0x30, kChecksum = 0x1FC;
constexpr std::size_t kNkSecurity = 0x30;  // nk cell: offset of its sk cell
constexpr std::size_t kSkLength = 0x14, kSkDescriptor = 0x18;

constexpr unsigned kSeSelfRelative = 0x8000, kSeDaclPresent = 0x0004, kSeDaclProtected = 0x1000;

std::uint32_t u32(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}
std::uint32_t u32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
bool same_name(const std::string& a, const std::string& b) { return upper(a) == upper(b); }

std::string kind_file_name(const std::string& kind) { return kind == "NTUSER" ? "NTUSER.DAT" : kind; }

// The checks of the base block: a hive, a primary file, written back
// cleanly, as long as it says. `what` prefixes the messages.
void check_base_block(const std::string& b, const std::string& what, const std::string& kind) {
  if (b.size() >= 4 && b.compare(0, 4, "CREG") == 0)
    throw InputError(what +
                     ": a Windows 95/98 registry file (SYSTEM.DAT or USER.DAT), not an NT registry hive; "
                     "give it as --hive SYSTEM=FILE or USER=FILE with a Windows 95/98 profile");
  if (b.size() < 4 || b.compare(0, 4, "regf") != 0)
    throw InputError(what + ": not a registry hive file (it does not start with \"regf\")");
  if (b.size() < kBaseBlock + 0x20)
    throw InputError(what + ": truncated: " + std::to_string(b.size()) + " bytes, shorter than a hive's header " +
                     "and first block");
  if (u32(b, kSeq1) != u32(b, kSeq2))
    throw InputError(what + ": not written back cleanly: the header's sequence numbers differ (" +
                     std::to_string(u32(b, kSeq1)) + " and " + std::to_string(u32(b, kSeq2)) +
                     "), the system stopped while writing it; start the machine once so it recovers the hive, "
                     "or use a copy that was shut down cleanly");
  if (u32(b, kMajor) != 1)
    throw InputError(what + ": hive format version " + std::to_string(u32(b, kMajor)) + " unknown");
  if (u32(b, kFileType) != 0)
    throw InputError(what + ": not a primary hive file (a log or alternate copy, type " +
                     std::to_string(u32(b, kFileType)) + ")");
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kChecksum; i += 4) sum ^= u32(b, i);
  if (sum == 0xFFFFFFFF) sum = 0xFFFFFFFE;
  if (sum == 0) sum = 1;
  if (sum != u32(b, kChecksum)) throw InputError(what + ": corrupt: the header's checksum does not match");
  const std::uint64_t data = u32(b, kDataSize);
  if (data == 0 || data % 0x1000 != 0)
    throw InputError(what + ": corrupt: the header gives " + std::to_string(data) + " bytes of hive data");
  if (kBaseBlock + data > b.size())
    throw InputError(what + ": truncated: the header says " + std::to_string(kBaseBlock + data) +
                     " bytes, the file holds " + std::to_string(b.size()));
  if (u32(b, kRootCell) >= data) throw InputError(what + ": corrupt: the root key lies outside the hive data");
  // The name the system wrote into the header (the last part of the file's
  // path), where it names a hive of another kind.
  std::string name;
  for (std::size_t i = kFileName; i + 1 < kFileName + 64; i += 2) {
    const unsigned char c = static_cast<unsigned char>(b[i]);
    if (c == 0 && b[i + 1] == 0) break;
    name.push_back(b[i + 1] == 0 && c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  name = upper(name.substr(name.find_last_of('\\') == std::string::npos ? 0 : name.find_last_of('\\') + 1));
  static const std::set<std::string> kKnown = {"SYSTEM",   "SOFTWARE", "NTUSER.DAT",  "SAM",
                                               "SECURITY", "DEFAULT",  "USRCLASS.DAT"};
  if (kKnown.count(name) && name != kind_file_name(kind))
    throw InputError(what + ": a " + name + " hive (its header names it so), given as " + kind);
}

struct HiveCloser {
  void operator()(hive_h* h) const { hivex_close(h); }
};
using HivePtr = std::unique_ptr<hive_h, HiveCloser>;
struct Freer {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Freer>;

HivePtr open_hive(const std::filesystem::path& file, int flags, const std::string& what) {
  errno = 0;
  HivePtr h(hivex_open(file.c_str(), flags));
  if (!h) throw InputError(what + ": libhivex cannot read it: " + std::strerror(errno ? errno : EINVAL));
  return h;
}

// ---- key security from the sk cell ------------------------------------------

// A self-relative descriptor; empty `why` when it was read.
KeySecurity read_descriptor_bytes(const std::uint8_t* p, std::size_t n, std::string* why) {
  KeySecurity s;
  auto fail = [&](const std::string& w) {
    *why = w;
    return KeySecurity{};
  };
  if (n < 20 || p[0] != 1) return fail("not a security descriptor of revision 1");
  const unsigned control = u16(p + 2);
  if (!(control & kSeSelfRelative)) return fail("descriptor not self-relative");
  auto sid_at = [&](std::uint32_t off, sim::win32::Sid* out) {
    if (off == 0 || off >= n) return false;
    const std::size_t len = sim::win32::sid_length(p + off, n - off);
    if (len == 0) return false;
    out->assign(p + off, p + off + len);
    return true;
  };
  if (!sid_at(u32(p + 4), &s.owner)) return fail("no readable owner");
  if (u32(p + 8) != 0 && !sid_at(u32(p + 8), &s.group)) return fail("unreadable group");
  s.dacl_protected = (control & kSeDaclProtected) != 0;
  const std::uint32_t dacl = u32(p + 16);
  s.dacl_present = (control & kSeDaclPresent) && dacl != 0;
  if (s.dacl_present) {
    if (dacl > n || n - dacl < 8) return fail("access list outside the descriptor");
    const std::size_t size = u16(p + dacl + 2), count = u16(p + dacl + 4);
    if (size < 8 || size > n - dacl) return fail("access list outside the descriptor");
    std::size_t at = 8;
    for (std::size_t i = 0; i < count; ++i) {
      if (size - at < 8) return fail("access list shorter than its entries");
      const std::uint8_t* a = p + dacl + at;
      const std::size_t ace_size = u16(a + 2);
      if (ace_size < 16 || ace_size > size - at) return fail("access entry of a bad size");
      sim::win32::Ace ace;
      ace.type = a[0];
      ace.flags = a[1];
      ace.mask = u32(a + 4);
      if (ace.type != ACCESS_ALLOWED_ACE_TYPE && ace.type != ACCESS_DENIED_ACE_TYPE)
        return fail("access entry of type " + std::to_string(ace.type));
      const std::size_t len = sim::win32::sid_length(a + 8, ace_size - 8);
      if (len == 0) return fail("access entry with a bad SID");
      ace.sid.assign(a + 8, a + 8 + len);
      s.dacl.push_back(std::move(ace));
      at += ace_size;
    }
  }
  s.present = true;
  return s;
}

// The key's security as SDDL, or empty with `why` set.
std::string key_sddl(const std::string& b, hive_node_h node, std::string* why) {
  if (node + kNkSecurity + 4 > b.size() || b.compare(node + 4, 2, "nk") != 0) {
    *why = "key cell unreadable";
    return "";
  }
  const std::uint64_t sk = kBaseBlock + static_cast<std::uint64_t>(u32(b, node + kNkSecurity));
  if (sk + kSkDescriptor > b.size() || b.compare(sk + 4, 2, "sk") != 0) {
    *why = "no security cell at the key's offset";
    return "";
  }
  const std::uint64_t cell = 0u - u32(b, sk);  // allocated cells hold their size negated
  const std::uint64_t len = u32(b, sk + kSkLength);
  if (cell > b.size() - sk || len > cell || kSkDescriptor + len > cell) {
    *why = "security cell larger than the space it occupies";
    return "";
  }
  const KeySecurity s =
      read_descriptor_bytes(reinterpret_cast<const std::uint8_t*>(b.data()) + sk + kSkDescriptor, len, why);
  if (!why->empty()) return "";
  std::string sddl = sim::win32::to_sddl(s);
  std::string error;
  const auto back = sim::win32::parse_sddl(sddl, &error);
  if (!back || !(*back == s)) {
    *why = "descriptor not expressible as the simulator's key security";
    return "";
  }
  return sddl;
}

// ---- reading a hive into .reg text ------------------------------------------

// UTF-8 (as the simulated registry keeps text) to UTF-16LE (as hives and
// Version 5.00 files hold it); a malformed sequence becomes U+FFFD.
void append_utf16le(std::string& out, std::string_view s) {
  auto unit = [&](char32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
  };
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    char32_t u = 0xFFFD;
    std::size_t used = 1;
    if (extra == 0) {
      u = c;
    } else if (extra < 9 && i + extra < s.size()) {
      char32_t v = c & (0x3F >> extra);
      bool ok = true;
      for (std::size_t k = 1; k <= extra; ++k) {
        const unsigned char cc = static_cast<unsigned char>(s[i + k]);
        ok = ok && (cc & 0xC0) == 0x80;
        v = (v << 6) | (cc & 0x3F);
      }
      if (ok) u = v > 0x10FFFF ? 0xFFFD : v, used = extra + 1;
    }
    i += used;
    if (u >= 0x10000) {
      unit(0xD800 + ((u - 0x10000) >> 10));
      unit(0xDC00 + ((u - 0x10000) & 0x3FF));
    } else {
      unit(u);
    }
  }
}

bool is_string_type(hive_type t) {
  return t == hive_t_string || t == hive_t_expand_string || t == hive_t_multiple_strings;
}

struct Reader {
  const HiveFile& hive;
  std::string what;  // "SYSTEM hive <file>"
  const std::string& bytes;
  hive_h* h;
  std::string control_set;  // SYSTEM only
  std::string text;         // UTF-8 .reg body
  std::map<std::string, std::string> security;
  std::vector<std::string> notes;
  std::set<hive_node_h> seen;
  std::size_t keys = 0;

  std::string node_name(hive_node_h node) {
    Owned<char> name(hivex_node_name(h, node));
    if (!name) throw InputError(what + ": corrupt: a key's name cannot be read below " + text_tail());
    return name.get();
  }
  std::string text_tail() { return "the keys read so far"; }

  void value_line(const std::string& key, hive_value_h v) {
    Owned<char> name(hivex_value_key(h, v));
    hive_type t;
    std::size_t len = 0;
    Owned<char> data(hivex_value_value(h, v, &t, &len));
    if (!name || (!data && len != 0)) throw InputError(what + ": corrupt: a value of " + key + " cannot be read");
    std::string n = name.get();
    if (n.size() > sim::win32::kMaxValueNameChars)
      throw InputError(what + ": a value name of " + std::to_string(n.size()) + " bytes in " + key +
                       ", more than a registry allows");
    if (n.find_first_of("\r\n") != std::string::npos)
      throw InputError(what + ": value name with a line break in " + key + ": not representable");
    std::string bytes(data ? data.get() : "", len);
    if (is_string_type(t) && bytes.size() % 2 != 0) {
      bytes.push_back('\0');
      notes.push_back(key + ": value \"" + n + "\" holds string data of odd length; read with a zero byte added");
    }
    if (n.empty()) {
      text += '@';
    } else {
      text += '"';
      for (char c : n) {
        if (c == '\\' || c == '"') text += '\\';
        text += c;
      }
      text += '"';
    }
    char head[32];
    std::snprintf(head, sizeof head, "=hex(%x):", static_cast<unsigned>(t));
    text += head;
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (i) text += ',';
      text += digits[c >> 4];
      text += digits[c & 15];
    }
    text += "\r\n";
  }

  void key(hive_node_h node, const std::string& path, std::size_t depth) {
    if (depth > sim::win32::kMaxKeyDepth)
      throw InputError(what + ": keys nested deeper than " + std::to_string(sim::win32::kMaxKeyDepth) + " levels");
    if (!seen.insert(node).second) throw InputError(what + ": corrupt: a key appears twice in the tree (a loop)");
    ++keys;
    text += "[" + path + "]\r\n";
    std::string why;
    std::string sddl = key_sddl(bytes, node, &why);
    if (sddl.empty())
      notes.push_back(path + ": its security could not be read (" + why + "); the default applies");
    else
      security[path] = sddl;
    Owned<hive_value_h> values(hivex_node_values(h, node));
    if (!values) throw InputError(what + ": corrupt: the values of " + path + " cannot be read");
    for (hive_value_h* v = values.get(); *v; ++v) value_line(path, *v);
    text += "\r\n";
    Owned<hive_node_h> children(hivex_node_children(h, node));
    if (!children) throw InputError(what + ": corrupt: the subkeys of " + path + " cannot be read");
    for (hive_node_h* c = children.get(); *c; ++c) {
      std::string name = node_name(*c);
      if (name.empty() || name.find('\\') != std::string::npos || name.find_first_of("\r\n[]") != std::string::npos)
        throw InputError(what + ": key name \"" + name + "\" below " + path + " is not representable");
      if (name.size() > sim::win32::kMaxKeyNameChars)
        throw InputError(what + ": a key name of " + std::to_string(name.size()) + " bytes below " + path +
                         ", more than a registry allows");
      if (depth == 0 && !control_set.empty()) {
        if (same_name(name, "CurrentControlSet"))
          throw InputError(what + ": holds a stored CurrentControlSet key; the system makes that one at boot");
        if (same_name(name, control_set)) name = "CurrentControlSet";
      }
      key(*c, path + "\\" + name, depth + 1);
    }
  }
};

// The control set Select\Current names ("ControlSet001"), or empty when
// the hive has no Select key with a Current value.
std::string current_control_set(hive_h* h, const std::string& what) {
  const hive_node_h select = hivex_node_get_child(h, hivex_root(h), "Select");
  if (!select) return "";
  const hive_value_h current = hivex_node_get_value(h, select, "Current");
  hive_type t;
  std::size_t len = 0;
  if (!current || hivex_value_type(h, current, &t, &len) != 0 || t != hive_t_dword || len != 4)
    throw InputError(what + ": Select has no Current value of type REG_DWORD");
  char name[32];
  std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(hivex_value_dword(h, current)));
  if (!hivex_node_get_child(h, hivex_root(h), name))
    throw InputError(what + ": Select\\Current names " + name + ", which the hive does not hold");
  return name;
}

struct ReadHive {
  std::string text;
  std::map<std::string, std::string> security;
  std::vector<std::string> notes;
  std::string control_set;
};

ReadHive read_hive(const HiveFile& hive, const std::string& bytes) {
  const std::string what = hive.kind + " hive " + hive.file.string();
  check_base_block(bytes, what, hive.kind);
  HivePtr h = open_hive(hive.file, 0, what);
  Reader r{hive, what, bytes, h.get(), {}, {}, {}, {}, {}, 0};
  const std::string cs = current_control_set(h.get(), what);
  if (hive.kind == "SYSTEM") {
    if (cs.empty()) throw InputError(what + ": not a SYSTEM hive: it has no Select key naming the current control set");
    r.control_set = cs;
  } else if (!cs.empty()) {
    throw InputError(what + ": a SYSTEM hive (it has Select and " + cs + "), given as " + hive.kind);
  }
  r.key(hivex_root(h.get()), hive.mount, 0);
  return {std::move(r.text), std::move(r.security), std::move(r.notes), cs};
}

std::string wrap_reg(const std::string& body) {
  std::string out = "\xFF\xFE";
  append_utf16le(out, "Windows Registry Editor Version 5.00\r\n\r\n" + body);
  return out;
}

Registry registry_of(const std::string& reg_text, const std::string& source) {
  Registry r;
  r.set_family(sim::win32::RegFamily::NT);
  r.import_reg(reg_text, source);
  return r;
}

bool nt_profile(const nlohmann::json& d, bool* nine_x) {
  *nine_x = false;
  if (!d.contains("platform")) return *nine_x = true, false;  // the built-in machine is Windows 98
  const nlohmann::json& p = d["platform"];
  if (p.is_string()) {
    const std::string n = p.get<std::string>();
    *nine_x = n == "win95" || n == "win98" || n == "winme";
    return n == "nt4" || n == "win2000";
  }
  if (!p.is_object()) return false;
  auto number = [&](const char* key) {
    return p.contains(key) && p[key].is_number_unsigned() ? p[key].get<unsigned>() : 0u;
  };
  const unsigned id = number("id"), major = number("major"), minor = number("minor");
  *nine_x = id == 1;
  return id == 2 && (major == 4 || (major == 5 && minor == 0));
}

}  // namespace

HiveFile parse_hive_argument(const std::string& argument) {
  const std::size_t eq = argument.find('=');
  if (eq == std::string::npos || eq + 1 == argument.size())
    throw InputError("--hive " + argument + ": expected KIND=FILE, KIND one of SYSTEM, SOFTWARE, NTUSER");
  HiveFile h;
  h.kind = upper(argument.substr(0, eq));
  if (h.kind == "NTUSER.DAT") h.kind = "NTUSER";
  if (h.kind != "SYSTEM" && h.kind != "SOFTWARE" && h.kind != "NTUSER")
    throw InputError("--hive " + argument + ": unknown hive \"" + argument.substr(0, eq) +
                     "\" (SYSTEM, SOFTWARE or NTUSER)");
  h.file = argument.substr(eq + 1);
  h.mount = h.kind == "SYSTEM"     ? "HKEY_LOCAL_MACHINE\\SYSTEM"
            : h.kind == "SOFTWARE" ? "HKEY_LOCAL_MACHINE\\SOFTWARE"
                                   : "HKEY_CURRENT_USER";
  return h;
}

HiveSession load_hives(std::vector<HiveFile> hives, sim::win32::Profile& profile) {
  if (profile.source == "<built-in default>")
    throw InputError(
        "--hive needs --profile: a profile whose \"platform\" is \"nt4\" or \"win2000\" (the built-in "
        "machine is Windows 98)");
  bool nine_x = false;
  if (!nt_profile(profile.data, &nine_x)) {
    if (nine_x)
      throw InputError(
          "--hive: the profile's machine is Windows 95/98, whose registry files (SYSTEM.DAT, "
          "USER.DAT) are not in the NT hive format; give them as --hive SYSTEM=SYSTEM.DAT and USER=USER.DAT");
    throw InputError(
        "--hive: hive files are read for NT 4 and Windows 2000 profiles (\"platform\": \"nt4\" or "
        "\"win2000\")");
  }
  if (profile.data.contains("registry"))
    throw InputError(profile.source + ": names a registry (\"registry\") and --hive gives one too: use one of them");
  std::set<std::string> kinds;
  for (const auto& h : hives)
    if (!kinds.insert(h.kind).second) throw InputError("--hive " + h.kind + " given twice");
  for (const char* need : {"SYSTEM", "SOFTWARE"})
    if (!kinds.count(need))
      throw InputError(std::string("--hive: the ") + need + " hive is missing (--hive " + need + "=FILE)");

  HiveSession s;
  std::string body;
  std::map<std::string, std::string> security;
  for (auto& h : hives) {
    h.bytes = sim::read_input_file(h.file, kMaxHiveBytes);
    ReadHive r = read_hive(h, h.bytes);
    if (h.kind == "SYSTEM") s.control_set = r.control_set;
    body += r.text;
    security.insert(r.security.begin(), r.security.end());
    s.notes.insert(s.notes.end(), r.notes.begin(), r.notes.end());
  }
  s.hives = std::move(hives);
  s.registry_text = wrap_reg(body);
  if (profile.data.contains("key_security"))
    for (auto& [path, sddl] : profile.data["key_security"].items())
      if (!security.count(path)) security[path] = sddl.get<std::string>();
  profile.data["key_security"] = security;
  profile.registry_text = s.registry_text;
  profile.registry_source = "hive files";
  return s;
}

// ---- writing back ------------------------------------------------------------

namespace {

bool same_values(std::vector<RegValue> a, std::vector<RegValue> b) {
  auto by_name = [](const RegValue& x, const RegValue& y) { return upper(x.name) < upper(y.name); };
  std::sort(a.begin(), a.end(), by_name);
  std::sort(b.begin(), b.end(), by_name);
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const RegValue& x, const RegValue& y) {
    return same_name(x.name, y.name) && x.type == y.type && x.data == y.data;
  });
}

bool has_name(const std::vector<std::string>& names, const std::string& n) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& m) { return same_name(m, n); });
}

bool same_tree(const Registry& a, const Registry& b, const std::string& path) {
  if (!same_values(a.values_of(path), b.values_of(path))) return false;
  const auto an = a.subkey_names(path), bn = b.subkey_names(path);
  if (an.size() != bn.size()) return false;
  for (const auto& n : an)
    if (!has_name(bn, n) || !same_tree(a, b, path + "\\" + n)) return false;
  return true;
}

struct Writer {
  hive_h* h;
  const Registry& before;
  const Registry& after;
  std::string control_set;
  std::string what;

  std::string hive_name(const std::string& name, std::size_t depth) const {
    return depth == 0 && !control_set.empty() && same_name(name, "CurrentControlSet") ? control_set : name;
  }
  void set_values(hive_node_h node, const std::string& path) {
    const std::vector<RegValue> values = after.values_of(path);
    std::vector<std::string> data(values.size());
    std::vector<hive_set_value> set(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const RegValue& v = values[i];
      if (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ)
        append_utf16le(data[i], std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size()));
      else
        data[i].assign(v.data.begin(), v.data.end());
      set[i].key = const_cast<char*>(v.name.c_str());
      set[i].t = static_cast<hive_type>(v.type);
      set[i].len = data[i].size();
      set[i].value = data[i].data();
    }
    if (hivex_node_set_values(h, node, set.size(), set.data(), 0) != 0)
      throw std::runtime_error(what + ": libhivex cannot write the values of " + path + ": " + std::strerror(errno));
  }
  void add(hive_node_h parent, const std::string& path, const std::string& name, std::size_t depth) {
    const hive_node_h node = hivex_node_add_child(h, parent, hive_name(name, depth).c_str());
    if (!node) throw std::runtime_error(what + ": libhivex cannot add the key " + path + ": " + std::strerror(errno));
    if (!after.values_of(path).empty()) set_values(node, path);
    for (const auto& n : after.subkey_names(path)) add(node, path + "\\" + n, n, depth + 1);
  }
  void sync(hive_node_h node, const std::string& path, std::size_t depth) {
    if (!same_values(before.values_of(path), after.values_of(path))) set_values(node, path);
    const auto bn = before.subkey_names(path), an = after.subkey_names(path);
    for (const auto& n : bn) {
      const hive_node_h child = hivex_node_get_child(h, node, hive_name(n, depth).c_str());
      if (!child) throw std::runtime_error(what + ": the key " + path + "\\" + n + " is no longer in the file");
      if (!has_name(an, n)) {
        if (hivex_node_delete_child(h, child) != 0)
          throw std::runtime_error(what + ": libhivex cannot delete " + path + "\\" + n + ": " + std::strerror(errno));
      } else if (!same_tree(before, after, path + "\\" + n)) {
        sync(child, path + "\\" + n, depth + 1);
      }
    }
    for (const auto& n : an)
      if (!has_name(bn, n)) add(node, path + "\\" + n, n, depth);
  }
};

struct Pending {
  const HiveFile* hive;
  std::filesystem::path temp, kept;
  bool linked = false, renamed = false;
};

void fail_if(HiveStep at, HiveStep step, const std::string& what, const char* name) {
  if (at == step) throw std::runtime_error(what + ": " + name + " failed (forced)");
}

}  // namespace

std::vector<HiveWritten> write_hives(const HiveSession& session, const Registry& after,
                                     const std::vector<std::pair<std::string, std::string>>& security_changes,
                                     bool keep, HiveStep fail_at) {
  const Registry before = registry_of(session.registry_text, "hive files");
  for (const auto& [path, sddl] : security_changes)
    throw std::runtime_error("the run changed the access list of " + path + " (" + sddl +
                             "), which the hive files cannot record through libhivex: no hive file was changed");
  std::vector<HiveWritten> written;
  std::vector<Pending> pending;
  for (const auto& hive : session.hives) {
    HiveWritten w{hive.kind, hive.file, !same_tree(before, after, hive.mount), {}};
    if (w.changed) pending.push_back({&hive, {}, {}});
    written.push_back(w);
  }
  std::error_code ec;
  auto clean_up = [&] {
    for (auto& p : pending) {
      if (p.renamed)
        std::filesystem::rename(p.kept, p.hive->file, ec);
      else if (p.linked)
        std::filesystem::remove(p.kept, ec);
      if (!p.temp.empty()) std::filesystem::remove(p.temp, ec);
    }
  };
  try {
    for (auto& p : pending) {
      const std::string what = p.hive->kind + " hive " + p.hive->file.string();
      p.kept = p.hive->file.string() + ".bak";
      if (std::filesystem::symlink_status(p.kept).type() != std::filesystem::file_type::not_found)
        throw std::runtime_error(p.kept.string() + " exists: move it away first, it would be replaced");
      // The file must be as it was read.
      if (sim::read_input_file(p.hive->file, kMaxHiveBytes) != p.hive->bytes)
        throw std::runtime_error(what + ": the file changed since it was read");
      HivePtr h = open_hive(p.hive->file, HIVEX_OPEN_WRITE, what);
      Writer wr{h.get(), before, after, p.hive->kind == "SYSTEM" ? session.control_set : "", what};
      wr.sync(hivex_root(h.get()), p.hive->mount, 0);
      // A new file beside the original, so the final rename stays on one
      // file system.
      std::string pattern = p.hive->file.string() + ".new-XXXXXX";
      const int fd = mkstemp(pattern.data());
      if (fd < 0) throw std::runtime_error(what + ": cannot make a new file beside it: " + std::strerror(errno));
      close(fd);
      p.temp = pattern;
      fail_if(fail_at, HiveStep::Commit, what, "commit");
      if (hivex_commit(h.get(), p.temp.c_str(), 0) != 0)
        throw std::runtime_error(what + ": libhivex cannot write " + p.temp.string() + ": " + std::strerror(errno));
      h.reset();
      fail_if(fail_at, HiveStep::Reopen, what, "reopening the new file");
      HiveFile written_file = *p.hive;
      written_file.file = p.temp;
      written_file.bytes = sim::read_input_file(p.temp, kMaxHiveBytes);
      const ReadHive back = read_hive(written_file, written_file.bytes);
      fail_if(fail_at, HiveStep::Check, what, "checking the new file");
      if (!same_tree(registry_of(wrap_reg(back.text), p.temp.string()), after, p.hive->mount))
        throw std::runtime_error(what + ": the new file " + p.temp.string() + " does not hold what the run left");
    }
    for (auto& p : pending) {
      const std::string what = p.hive->kind + " hive " + p.hive->file.string();
      fail_if(fail_at, HiveStep::Keep, what, "keeping the original");
      std::filesystem::create_hard_link(p.hive->file, p.kept, ec);
      if (ec) std::filesystem::copy_file(p.hive->file, p.kept, ec);
      if (ec) throw std::runtime_error(what + ": cannot keep the original as " + p.kept.string() + ": " + ec.message());
      p.linked = true;
    }
    for (auto& p : pending) {
      const std::string what = p.hive->kind + " hive " + p.hive->file.string();
      if (&p == &pending.back()) fail_if(fail_at, HiveStep::Rename, what, "renaming the new file over it");
      std::filesystem::rename(p.temp, p.hive->file, ec);
      if (ec) throw std::runtime_error(what + ": cannot rename the new file over it: " + ec.message());
      p.renamed = true;
      p.temp.clear();
    }
  } catch (const std::exception& e) {
    clean_up();
    throw std::runtime_error(std::string(e.what()) + "; no hive file was changed");
  }
  for (auto& p : pending)
    if (!keep) std::filesystem::remove(p.kept, ec);
  for (auto& w : written)
    for (auto& p : pending)
      if (keep && p.hive->file == w.file) w.kept = p.kept;
  return written;
}

std::string hives_text(const std::vector<HiveWritten>& written) {
  std::string out;
  for (const auto& w : written) {
    out += "Hive file:    " + w.kind + " " + w.file.string() + (w.changed ? " changed" : " unchanged");
    if (!w.kept.empty()) out += " (original kept as " + w.kept.string() + ")";
    out += "\n";
  }
  return out;
}

}  // namespace netpurge_sim
