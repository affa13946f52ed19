#include "hive9x.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

#include "creg/creg.h"
#include "sim/common/input_file.h"
#include "sim/win32/machine.h"
#include "sim/win32/registry_state.h"

namespace netpurge_sim {

using sim::win32::InputError;
using sim::win32::Registry;

namespace {

// A name of the file in UTF-8: the files hold text in the machine's ANSI
// code page.
std::string ansi_text(std::string_view ansi) {
  const sim::win32::CodePage* cp = sim::win32::CodePage::find(sim::win32::machine().registry.code_page());
  return sim::win32::utf8_from_ansi(ansi, cp != nullptr ? *cp : sim::win32::CodePage::standard());
}

struct Kind {
  const char* name;
  const char* mount;
};
constexpr Kind kKinds[] = {{"SYSTEM", "HKEY_LOCAL_MACHINE"}, {"USER", "HKEY_CURRENT_USER"}};

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string kind_of(const std::string& argument) {
  const std::size_t eq = argument.find('=');
  std::string kind = upper(argument.substr(0, eq));
  if (kind.size() > 4 && kind.compare(kind.size() - 4, 4, ".DAT") == 0) kind.resize(kind.size() - 4);
  return kind;
}

bool starts_creg(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  char sig[4] = {};
  return in.read(sig, 4) && std::memcmp(sig, "CREG", 4) == 0;
}

HiveFile parse_argument(const std::string& argument) {
  const std::size_t eq = argument.find('=');
  if (eq == std::string::npos || eq + 1 == argument.size())
    throw InputError("--hive " + argument + ": expected KIND=FILE, KIND SYSTEM or USER for Windows 95/98 files");
  HiveFile h;
  h.kind = kind_of(argument);
  for (const Kind& k : kKinds)
    if (h.kind == k.name) h.mount = k.mount;
  if (h.mount.empty())
    throw InputError("--hive " + argument + ": \"" + argument.substr(0, eq) +
                     "\" is not a kind of Windows 95/98 registry file (SYSTEM for SYSTEM.DAT, USER for USER.DAT)");
  h.file = argument.substr(eq + 1);
  return h;
}

std::string what_of(const HiveFile& h) { return h.kind + ".DAT file " + h.file.string(); }

// ---- the file's tree as REGEDIT4 text (ANSI, as the file holds it) ----------

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

std::uint32_t le32(const std::string& d) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(d[static_cast<std::size_t>(i)]);
  return v;
}

bool plain_string(const std::string& d) {
  if (d.empty() || d.back() != 0) return false;
  return d.find_first_of(std::string_view("\0\r\n", 3)) == d.size() - 1;
}

void append_value(std::string& out, const creg::Value& v) {
  if (v.name.empty())
    out += '@';
  else
    append_quoted(out, v.name);
  out += '=';
  char buf[24];
  if (v.type == REG_SZ && plain_string(v.data)) {
    append_quoted(out, std::string_view(v.data).substr(0, v.data.size() - 1));
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(le32(v.data)));
    out += buf;
  } else {
    if (v.type == REG_BINARY) {
      out += "hex:";
    } else {
      std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
      out += buf;
    }
    static const char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < v.data.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(v.data[i]);
      if (i) out += ',';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  out += "\r\n";
}

// Refuses names the registry cannot hold as they are, or that two keys or
// values of one key share (the registry would merge them).
void check_names(const creg::Key& k, const std::string& path, const std::string& what) {
  std::set<std::string> seen;
  for (const creg::Key& s : k.subkeys) {
    if (s.name.empty()) throw InputError(what + ": a key with an empty name below " + path);
    if (s.name.find_first_of(std::string_view("\\\r\n\0", 4)) != std::string::npos)
      throw InputError(what + ": a key name with a backslash or line break below " + path + ": not representable");
    if (!seen.insert(sim::win32::fold(ansi_text(s.name))).second)
      throw InputError(what + ": two keys named " + ansi_text(s.name) + " below " + path);
  }
  seen.clear();
  for (const creg::Value& v : k.values) {
    if (v.name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
      throw InputError(what + ": a value name with a line break in " + path + ": not representable");
    if (!seen.insert(sim::win32::fold(ansi_text(v.name))).second)
      throw InputError(what + ": two values named \"" + ansi_text(v.name) + "\" in " + path);
  }
}

// Iterative, so that a deep tree costs no stack.
void append_tree(std::string& out, const creg::Key& root, const std::string& mount, const std::string& what) {
  std::vector<std::pair<const creg::Key*, std::string>> stack{{&root, mount}};
  while (!stack.empty()) {
    auto [k, path] = stack.back();
    stack.pop_back();
    check_names(*k, path, what);
    out += "[" + path + "]\r\n";
    for (const creg::Value& v : k->values) append_value(out, v);
    out += "\r\n";
    for (auto it = k->subkeys.rbegin(); it != k->subkeys.rend(); ++it) stack.emplace_back(&*it, path + "\\" + it->name);
  }
}

creg::Key read_file_tree(const HiveFile& h, const std::string& bytes, std::vector<std::string>* problems) {
  try {
    if (problems) *problems = creg::check(bytes);
    return creg::read(bytes);
  } catch (const creg::FormatError& e) {
    throw InputError(what_of(h) + ": " + e.what());
  }
}

// ---- the simulated registry's tree in the file's terms ----------------------

// The Registry's accessors give names and string data in the ANSI code
// page, as the file holds them.
creg::Key tree_of(const Registry& r, const std::string& path, const std::string& name) {
  creg::Key k;
  k.name = name;
  for (const auto& v : r.values_of(path))
    k.values.push_back({v.name, v.type, std::string(v.data.begin(), v.data.end())});
  for (const auto& n : r.subkey_names(path)) k.subkeys.push_back(tree_of(r, path + "\\" + n, n));
  return k;
}

// The first place two trees differ, or "".
std::string difference(const creg::Key& a, const creg::Key& b, const std::string& path) {
  if (a.values.size() != b.values.size()) return path + " (its values)";
  for (std::size_t i = 0; i < a.values.size(); ++i)
    if (a.values[i].name != b.values[i].name || a.values[i].type != b.values[i].type ||
        a.values[i].data != b.values[i].data)
      return path + " (value \"" + ansi_text(a.values[i].name) + "\")";
  if (a.subkeys.size() != b.subkeys.size()) return path + " (its sub-keys)";
  for (std::size_t i = 0; i < a.subkeys.size(); ++i) {
    const std::string sub = path + "\\" + ansi_text(a.subkeys[i].name);
    if (a.subkeys[i].name != b.subkeys[i].name) return sub;
    if (std::string d = difference(a.subkeys[i], b.subkeys[i], sub); !d.empty()) return d;
  }
  return "";
}

bool win9x_profile(const nlohmann::json& d) {
  if (!d.contains("platform")) return true;
  const nlohmann::json& p = d["platform"];
  if (p.is_string()) {
    const std::string n = p.get<std::string>();
    return n == "win95" || n == "win98" || n == "winme";
  }
  return p.is_object() && p.contains("id") && p["id"].is_number_unsigned() && p["id"].get<unsigned>() == 1;
}

void fail_if(HiveStep at, HiveStep step, const std::string& what, const char* name) {
  if (at == step) throw std::runtime_error(what + ": " + name + " failed (forced)");
}

struct Pending {
  const HiveFile* hive;
  std::string bytes;  // the new file
  std::filesystem::path temp, kept;
  bool linked = false, renamed = false;
};

}  // namespace

bool win9x_hive_arguments(const std::vector<std::string>& arguments) {
  bool nine_x = false;
  for (const auto& a : arguments) {
    const std::string kind = kind_of(a);
    if (kind == "SOFTWARE" || kind == "NTUSER") return false;  // NT hives: their reader names what is wrong
    const std::size_t eq = a.find('=');
    nine_x = nine_x || kind == "USER" || (eq != std::string::npos && starts_creg(a.substr(eq + 1)));
  }
  return nine_x;
}

bool is_win9x_session(const HiveSession& s) {
  return !s.hives.empty() && s.hives.front().bytes.compare(0, 4, "CREG") == 0;
}

HiveSession load_win9x_hives(const std::vector<std::string>& arguments, sim::win32::Profile& profile) {
  if (!win9x_profile(profile.data))
    throw InputError(
        "--hive: SYSTEM.DAT and USER.DAT are the registry of Windows 95/98/Me: the profile's "
        "\"platform\" must be \"win95\", \"win98\" or \"winme\"");
  if (profile.data.contains("registry"))
    throw InputError(profile.source + ": names a registry (\"registry\") and --hive gives one too: use one of them");
  std::vector<HiveFile> hives;
  std::set<std::string> kinds;
  for (const auto& a : arguments) {
    hives.push_back(parse_argument(a));
    if (!kinds.insert(hives.back().kind).second) throw InputError("--hive " + hives.back().kind + " given twice");
  }
  if (!kinds.count("SYSTEM")) throw InputError("--hive: SYSTEM.DAT is missing (--hive SYSTEM=FILE)");
  HiveSession s;
  std::string text = "REGEDIT4\r\n\r\n";
  for (auto& h : hives) {
    h.bytes = sim::read_input_file(h.file, kMaxHiveBytes);
    if (h.bytes.compare(0, 4, "CREG") != 0)
      throw InputError(what_of(h) + (h.bytes.compare(0, 4, "regf") == 0
                                         ? ": an NT registry hive, not a Windows 95/98 registry file; NT hives "
                                           "are given as SYSTEM, SOFTWARE and NTUSER of an NT profile"
                                         : ": not a Windows 95/98 registry file (it does not start with \"CREG\")"));
    std::vector<std::string> problems;
    const creg::Key root = read_file_tree(h, h.bytes, &problems);
    for (const auto& p : problems) s.notes.push_back(what_of(h) + ": " + p);
    append_tree(text, root, h.mount, what_of(h));
  }
  s.hives = std::move(hives);
  s.registry_text = text;
  profile.registry_text = text;
  profile.registry_source = "Windows 95/98 registry files";
  return s;
}

std::vector<HiveWritten> write_win9x_hives(const HiveSession& session, const Registry& after, bool keep,
                                           HiveStep fail_at) {
  Registry before;
  before.set_family(sim::win32::RegFamily::Win9x);
  before.import_reg(session.registry_text, "Windows 95/98 registry files");
  std::vector<HiveWritten> written;
  std::vector<Pending> pending;
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
    for (const auto& h : session.hives) {
      const std::string what = what_of(h);
      const creg::Key was = tree_of(before, h.mount, ""), now = tree_of(after, h.mount, "");
      // Whatever the registry could not hold exactly would be lost by writing.
      if (std::string d = difference(read_file_tree(h, h.bytes, nullptr), was, h.mount); !d.empty())
        throw std::runtime_error(what + ": the file holds what the simulated registry cannot keep exactly, at " + d);
      const bool changed = !difference(was, now, h.mount).empty();
      written.push_back({h.kind, h.file, changed, {}});
      if (!changed) continue;
      Pending p{&h, {}, {}, h.file.string() + ".bak"};
      try {
        p.bytes = creg::write(now);
      } catch (const creg::FormatError& e) {
        throw std::runtime_error(what + ": the registry the run left cannot be written: " + e.what());
      }
      pending.push_back(std::move(p));
    }
    for (auto& p : pending) {
      const std::string what = what_of(*p.hive);
      if (std::filesystem::symlink_status(p.kept).type() != std::filesystem::file_type::not_found)
        throw std::runtime_error(p.kept.string() + " exists: move it away first, it would be replaced");
      if (sim::read_input_file(p.hive->file, kMaxHiveBytes) != p.hive->bytes)
        throw std::runtime_error(what + ": the file changed since it was read");
      // A new file beside the original, so the final rename stays on one
      // file system.
      std::string pattern = p.hive->file.string() + ".new-XXXXXX";
      const int fd = mkstemp(pattern.data());
      if (fd < 0) throw std::runtime_error(what + ": cannot make a new file beside it: " + std::strerror(errno));
      p.temp = pattern;
      fail_if(fail_at, HiveStep::Commit, what, "writing the new file");
      const bool ok =
          write(fd, p.bytes.data(), p.bytes.size()) == static_cast<ssize_t>(p.bytes.size()) && fsync(fd) == 0;
      const int err = errno;
      if (close(fd) != 0 || !ok)
        throw std::runtime_error(what + ": cannot write " + p.temp.string() + ": " + std::strerror(ok ? errno : err));
      fail_if(fail_at, HiveStep::Reopen, what, "reading the new file back");
      HiveFile back = *p.hive;
      back.file = p.temp;
      back.bytes = sim::read_input_file(p.temp, kMaxHiveBytes);
      std::vector<std::string> problems;
      const creg::Key reread = read_file_tree(back, back.bytes, &problems);
      fail_if(fail_at, HiveStep::Check, what, "checking the new file");
      if (!problems.empty()) throw std::runtime_error(what + ": the new file " + p.temp.string() + ": " + problems[0]);
      if (std::string d = difference(reread, tree_of(after, p.hive->mount, ""), p.hive->mount); !d.empty())
        throw std::runtime_error(what + ": the new file " + p.temp.string() + " does not hold what the run left, at " +
                                 d);
    }
    for (auto& p : pending) {
      const std::string what = what_of(*p.hive);
      fail_if(fail_at, HiveStep::Keep, what, "keeping the original");
      std::filesystem::create_hard_link(p.hive->file, p.kept, ec);
      if (ec) std::filesystem::copy_file(p.hive->file, p.kept, ec);
      if (ec) throw std::runtime_error(what + ": cannot keep the original as " + p.kept.string() + ": " + ec.message());
      p.linked = true;
    }
    for (auto& p : pending) {
      const std::string what = what_of(*p.hive);
      if (&p == &pending.back()) fail_if(fail_at, HiveStep::Rename, what, "renaming the new file over it");
      std::filesystem::rename(p.temp, p.hive->file, ec);
      if (ec) throw std::runtime_error(what + ": cannot rename the new file over it: " + ec.message());
      p.renamed = true;
      p.temp.clear();
    }
  } catch (const sim::InputError& e) {
    clean_up();
    throw std::runtime_error(std::string(e.what()) + "; no registry file was changed");
  } catch (const std::exception& e) {
    clean_up();
    throw std::runtime_error(std::string(e.what()) + "; no registry file was changed");
  }
  for (auto& w : written)
    for (auto& p : pending)
      if (p.hive->file == w.file) {
        if (keep)
          w.kept = p.kept;
        else
          std::filesystem::remove(p.kept, ec);
      }
  return written;
}

}  // namespace netpurge_sim
