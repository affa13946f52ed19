// Writing the run's changes back into the hive files: each changed hive
// edited in memory (hive_regf.h), key by key against what the run left, in
// time linear in its keys; values the run left as they were keep their
// cells, byte for byte.
#include <algorithm>
#include <chrono>
#include <unordered_map>

#include "hive.h"
#include "hive_internal.h"
#include "hive_regf.h"
#include "sim/common/input_file.h"
#include "sim/win32/registry_state.h"

namespace netpurge_sim {

using namespace hive_detail;
using sim::win32::Registry;
using sim::win32::RegKey;
using sim::win32::RegValue;

namespace {

const RegKey* find_key(const Registry& r, const std::string& path) {
  sim::win32::ParsedPath parsed;
  if (!sim::win32::parse_full_path(path, parsed).empty()) return nullptr;
  return r.state().find(parsed);
}

bool same_values(const RegKey& a, const RegKey& b) {
  if (a.values.size() != b.values.size()) return false;
  for (const auto& v : a.values) {
    const RegValue* w = b.value(sim::win32::fold(v.name));
    if (!w || w->type != v.type || w->data != v.data) return false;
  }
  return true;
}

bool same_tree(const RegKey* a, const RegKey* b) {
  if (!a || !b) return a == b;
  if (!same_values(*a, *b) || a->children.size() != b->children.size()) return false;
  for (const auto& c : a->children)
    if (!same_tree(c.get(), b->child(c->folded))) return false;
  return true;
}

// A value as the hive stores it: strings in UTF-16LE (the registry keeps
// them in UTF-8), other types as they are.
std::string hive_data(const RegValue& v) {
  if (!sim::win32::is_string_type(v.type)) return sim::win32::text_of(v.data);
  std::string out;
  for (char16_t u : regf::utf16_of(sim::win32::text_of(v.data))) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::uint64_t filetime_now() {
  const auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since_1970).count()) * 10 +
         116444736000000000ull;
}

struct Writer {
  regf::Hive& h;
  regf::Editor& ed;
  std::string control_set;  // the SYSTEM hive's current control set, loaded as CurrentControlSet

  std::string registry_name(const std::string& name, std::size_t depth) const {
    return depth == 0 && !control_set.empty() && same_name(name, control_set) ? "CurrentControlSet" : name;
  }
  std::string hive_name(const std::string& name, std::size_t depth) const {
    return depth == 0 && !control_set.empty() && same_name(name, "CurrentControlSet") ? control_set : name;
  }
  void sort_children(std::vector<std::size_t>& kids) {
    std::vector<std::pair<std::string, std::size_t>> named;
    for (std::size_t k : kids) named.emplace_back(sim::win32::fold(h.keys[k].name), k);
    std::stable_sort(named.begin(), named.end(),
                     [](const auto& x, const auto& y) { return sim::win32::nt_less(x.first, y.first); });
    for (std::size_t i = 0; i < kids.size(); ++i) kids[i] = named[i].second;
  }
  void values(std::size_t k, const RegKey* before, const RegKey& after) {
    std::unordered_map<std::string, const regf::Value*> stored;
    for (const auto& v : h.keys[k].values) stored.emplace(sim::win32::fold(v.name), &v);
    std::vector<regf::Value> list;
    for (const auto& v : after.values) {
      const std::string f = sim::win32::fold(v.name);
      const RegValue* old = before ? before->value(f) : nullptr;
      const auto it = stored.find(f);
      if (old && old->type == v.type && old->data == v.data && it != stored.end())
        list.push_back(*it->second);  // kept as it is in the file
      else
        list.push_back({regf::kNil, v.name, v.type, hive_data(v), regf::kNil});
    }
    ed.set_values(k, list);
    ed.touch(k);
  }
  std::size_t add(std::size_t parent, const RegKey& a, std::size_t depth) {
    const std::size_t k = ed.add_key(parent, hive_name(a.name, depth));
    if (!a.values.empty()) values(k, nullptr, a);
    std::vector<std::size_t> kids;
    for (const auto& c : a.children) kids.push_back(add(k, *c, depth + 1));
    sort_children(kids);
    if (!kids.empty()) ed.set_subkeys(k, kids);
    return k;
  }
  void sync(std::size_t k, const RegKey& b, const RegKey& a, std::size_t depth) {
    if (!same_values(b, a)) values(k, &b, a);
    bool changed = false;
    std::vector<std::size_t> kids;
    const std::vector<std::size_t> children = h.keys[k].children;
    for (std::size_t c : children) {
      const std::string f = sim::win32::fold(registry_name(h.keys[c].name, depth));
      const RegKey* bk = b.child(f);
      const RegKey* ak = a.child(f);
      if (bk && !ak) {
        ed.delete_tree(c);
        changed = true;
        continue;
      }
      if (bk && ak && !same_tree(bk, ak)) sync(c, *bk, *ak, depth + 1);
      kids.push_back(c);
    }
    for (const auto& ac : a.children)
      if (!b.child(ac->folded)) {
        kids.push_back(add(k, *ac, depth));
        changed = true;
      }
    if (changed) {
      sort_children(kids);
      ed.set_subkeys(k, kids);
      ed.touch(k);
    }
  }
};

// The mirror NT 4 and Windows 2000 keep of SYSTEM ("SYSTEM.ALT" beside it,
// in any case), or empty.
std::filesystem::path alternate_of(const std::filesystem::path& file) {
  const std::string want = upper(file.filename().string() + ".ALT");
  std::error_code ec;
  const std::filesystem::path dir = file.has_parent_path() ? file.parent_path() : ".";
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (upper(e.path().filename().string()) == want) return file.has_parent_path() ? e.path() : e.path().filename();
  return {};
}

}  // namespace

PreparedHives prepare_hives(const HiveSession& session, const Registry& after,
                            const std::vector<std::pair<std::string, std::string>>& security_changes) {
  for (const auto& [path, sddl] : security_changes)
    throw std::runtime_error("the run changed the access list of " + path + " (" + sddl +
                             "), which --apply does not write into hive files: no hive file was changed");
  const Registry before = registry_of(session.registry_text, "hive files");
  PreparedHives out;
  for (const auto& hive : session.hives) {
    const std::string what = hive.kind + " hive " + hive.file.string();
    const RegKey* b = find_key(before, hive.mount);
    const RegKey* a = find_key(after, hive.mount);
    out.written.push_back({hive.kind, hive.file, !same_tree(b, a), {}});
    if (!out.written.back().changed) continue;
    if (!b || !a) throw std::runtime_error(what + ": the run removed the key it is loaded as");
    regf::Hive h;
    try {
      h = regf::parse(hive.bytes, sim::win32::kMaxKeyDepth);
    } catch (const regf::Corrupt& e) {
      throw std::runtime_error(what + ": corrupt: " + e.what());
    }
    if (!h.hazards.empty())
      throw std::runtime_error(
          what + ": " + h.hazards.front() +
          (h.hazards.size() > 1 ? " (and " + std::to_string(h.hazards.size() - 1) + " more faults)" : "") +
          "; the hive is left as it is, since writing into it could damage it further: have the system check "
          "it, or restore a sound copy");
    regf::Editor ed(h);
    ed.now = filetime_now();
    Writer{h, ed, hive.kind == "SYSTEM" ? session.control_set : ""}.sync(0, *b, *a, 0);
    std::string bytes = ed.finish();
    // Read back, the new file must hold exactly what the run left, pass the
    // same checks, and be the bytes written.
    auto check = [hive = &hive, after = &after, bytes](const std::filesystem::path& file) {
      HiveFile f = *hive;
      f.file = file;
      f.bytes = sim::read_input_file(file, kMaxHiveBytes);
      const std::string what = hive->kind + " hive " + hive->file.string() + ": the new file " + file.string();
      const ReadHive back = read_hive(f, f.bytes);
      if (!back.hazards.empty()) throw std::runtime_error(what + " fails the hive's checks: " + back.hazards.front());
      const Registry reread = registry_of(wrap_reg(back.text), file.string());
      if (!same_tree(find_key(reread, hive->mount), find_key(*after, hive->mount)))
        throw std::runtime_error(what + " does not hold what the run left");
      if (f.bytes != bytes) throw std::runtime_error(what + " does not hold the bytes written");
    };
    out.rewrites.push_back({what, hive.file, hive.bytes, bytes, check});
    if (hive.kind != "SYSTEM") continue;
    // The boot loader falls back on SYSTEM.ALT when SYSTEM cannot be read:
    // left as it was, it would bring the removed keys back.
    const std::filesystem::path alt = alternate_of(hive.file);
    if (alt.empty()) continue;
    out.rewrites.push_back({"SYSTEM.ALT " + alt.string(), alt, sim::read_input_file(alt, kMaxHiveBytes), bytes, check});
    out.written.push_back({"SYSTEM.ALT", alt, true, {}});
  }
  return out;
}

std::vector<HiveWritten> commit_hives(const PreparedHives& prepared, bool keep, const CommitFaults& faults) {
  const std::vector<std::filesystem::path> kept = commit_rewrites(prepared.rewrites, keep, faults);
  std::vector<HiveWritten> written = prepared.written;
  for (std::size_t i = 0; i < kept.size(); ++i)
    for (auto& w : written)
      if (w.file == prepared.rewrites[i].file) w.kept = kept[i];
  return written;
}

std::vector<HiveWritten> write_hives(const HiveSession& session, const Registry& after,
                                     const std::vector<std::pair<std::string, std::string>>& security_changes,
                                     bool keep, const CommitFaults& faults) {
  return commit_hives(prepare_hives(session, after, security_changes), keep, faults);
}

std::string hives_text(const std::vector<HiveWritten>& written) {
  std::string out;
  for (const auto& w : written) {
    out += "Hive file:    " + w.kind + " " + w.file.string() + (w.changed ? " changed" : " unchanged");
    if (w.kind == "SYSTEM.ALT") out += " (written as the copy of SYSTEM the boot loader falls back on)";
    if (!w.kept.empty()) out += " (original kept as " + w.kept.string() + ")";
    out += "\n";
  }
  return out;
}

}  // namespace netpurge_sim
