#include "hive.h"

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

#include "hive_internal.h"
#include "hive_regf.h"
#include "sim/common/input_file.h"

namespace netpurge_sim {

using sim::win32::InputError;
using sim::win32::KeySecurity;
using sim::win32::Registry;
using namespace hive_detail;

namespace {

// ---- the hive file's base block (the first 4 KiB) and cells ---------------
constexpr std::size_t kBaseBlock = 0x1000;
constexpr std::size_t kSeq1 = 0x04, kSeq2 = 0x08, kMajor = 0x14, kMinor = 0x18, kFileType = 0x1C, kRootCell = 0x24,
                      kDataSize = 0x28, kFileName = 0x30, kChecksum = 0x1FC;
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
  const std::uint32_t major = u32(b, kMajor), minor = u32(b, kMinor);
  if (major != 1 || minor != regf::kMinorVersion)
    throw InputError(what + ": hive format " + std::to_string(major) + "." + std::to_string(minor) +
                     (major == 1 && minor < regf::kMinorVersion ? ", written by Windows NT 3.x"
                      : major == 1 && minor < 7                 ? ", written by Windows XP or later"
                                                                : ", unknown") +
                     ": --hive reads and writes format 1.3, the one NT 4 and Windows 2000 write");
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
std::string key_sddl(const std::string& b, std::size_t node, std::string* why) {
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
  for (char16_t u : regf::utf16_of(std::string(s))) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
}

bool is_string_type(std::uint32_t t) { return t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ; }

struct Reader {
  const regf::Hive& hive;
  std::string what;         // "SYSTEM hive <file>"
  std::string control_set;  // SYSTEM only
  std::string text;         // UTF-8 .reg body
  std::map<std::string, std::string> security;
  std::vector<std::string> notes;

  void value_line(const std::string& key, const regf::Value& v) {
    const std::string& n = v.name;
    if (n.size() > sim::win32::kMaxValueNameChars)
      throw InputError(what + ": a value name of " + std::to_string(n.size()) + " bytes in " + key +
                       ", more than a registry allows");
    if (n.find_first_of("\r\n") != std::string::npos)
      throw InputError(what + ": value name with a line break in " + key + ": not representable");
    std::string bytes = v.data;
    if (is_string_type(v.type) && bytes.size() % 2 != 0) {
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
    std::snprintf(head, sizeof head, "=hex(%x):", static_cast<unsigned>(v.type));
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

  void key(std::size_t index, const std::string& path, std::size_t depth) {
    const regf::Key& k = hive.keys[index];
    text += "[" + path + "]\r\n";
    std::string why;
    std::string sddl = key_sddl(hive.bytes, kBaseBlock + k.cell, &why);
    if (sddl.empty())
      notes.push_back(path + ": its security could not be read (" + why + "); the default applies");
    else
      security[path] = sddl;
    for (const auto& v : k.values) value_line(path, v);
    text += "\r\n";
    for (std::size_t c : k.children) {
      std::string name = hive.keys[c].name;
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
      key(c, path + "\\" + name, depth + 1);
    }
  }
};

// The control set Select\Current names ("ControlSet001"), or empty when
// the hive has no Select key with a Current value.
std::string current_control_set(const regf::Hive& h, const std::string& what) {
  auto child = [&](const std::string& name) -> const regf::Key* {
    for (std::size_t c : h.keys[0].children)
      if (same_name(h.keys[c].name, name)) return &h.keys[c];
    return nullptr;
  };
  const regf::Key* select = child("Select");
  if (!select) return "";
  const regf::Value* current = nullptr;
  for (const auto& v : select->values)
    if (same_name(v.name, "Current")) current = &v;
  if (!current || current->type != REG_DWORD || current->data.size() != 4)
    throw InputError(what + ": Select has no Current value of type REG_DWORD");
  char name[32];
  std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(u32(current->data, 0)));
  if (!child(name)) throw InputError(what + ": Select\\Current names " + name + ", which the hive does not hold");
  return name;
}

}  // namespace

namespace hive_detail {

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
bool same_name(const std::string& a, const std::string& b) { return upper(a) == upper(b); }

ReadHive read_hive(const HiveFile& hive, const std::string& bytes) {
  const std::string what = hive.kind + " hive " + hive.file.string();
  check_base_block(bytes, what, hive.kind);
  regf::Hive h;
  try {
    h = regf::parse(bytes, sim::win32::kMaxKeyDepth);
  } catch (const regf::Corrupt& e) {
    throw InputError(what + ": corrupt: " + e.what());
  }
  Reader r{h, what, {}, {}, {}, {}};
  const std::string cs = current_control_set(h, what);
  if (hive.kind == "SYSTEM") {
    if (cs.empty()) throw InputError(what + ": not a SYSTEM hive: it has no Select key naming the current control set");
    r.control_set = cs;
  } else if (!cs.empty()) {
    throw InputError(what + ": a SYSTEM hive (it has Select and " + cs + "), given as " + hive.kind);
  }
  r.key(0, hive.mount, 0);
  for (const auto& hz : h.hazards) r.notes.push_back(hive.kind + " hive: " + hz + "; --apply will not write this hive");
  return {std::move(r.text), std::move(r.security), std::move(r.notes), cs, h.hazards};
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

}  // namespace hive_detail

namespace {

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

}  // namespace netpurge_sim
