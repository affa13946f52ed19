// The simulated registry's key tree: roots, keys and values in the family's
// order, full paths, key security, and the Registry class's direct access
// for tests and tools. The .reg text is in registry_reg.cpp, the Reg*
// functions in reg_api.cpp.
#include <algorithm>

#include "machine.h"
#include "registry_state.h"

namespace sim::win32 {

namespace {

// HKEY_CLASSES_ROOT is a view of HKEY_LOCAL_MACHINE\SOFTWARE\Classes on
// both families.
const std::vector<std::string>& classes_root_parts() {
  static const std::vector<std::string> parts = {"SOFTWARE", "Classes"};
  return parts;
}

// The number of values from which a key keeps an index of their names.
constexpr std::size_t kValueIndexFrom = 8;

void mark_deleted(RegKey& key) {
  key.deleted = true;
  for (auto& child : key.children) mark_deleted(*child);
  key.children.clear();
  key.child_index.reset();
}

std::shared_ptr<RegKey> clone_tree(const RegKey& src, RegKey* parent) {
  auto copy = std::make_shared<RegKey>();
  copy->name = src.name;
  copy->folded = src.folded;
  copy->parent = parent;
  copy->seq = src.seq;
  copy->values = src.values;
  if (src.value_index)
    copy->value_index = std::make_unique<std::unordered_map<std::string, std::size_t>>(*src.value_index);
  copy->security_ptr = src.security_ptr;
  copy->children.reserve(src.children.size());
  for (const auto& child : src.sub_keys()) {
    copy->children.push_back(clone_tree(*child, copy.get()));
    if (!copy->child_index) copy->child_index = std::make_unique<std::unordered_map<std::string_view, RegKey*>>();
    copy->child_index->emplace(copy->children.back()->folded, copy->children.back().get());
  }
  return copy;
}

bool same_tree(const RegKey& a, const RegKey& b) {
  if (a.name != b.name || a.children.size() != b.children.size() || a.values.size() != b.values.size()) return false;
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    const RegValue& x = a.values[i];
    const RegValue& y = b.values[i];
    if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
  }
  const auto& ak = a.sub_keys();
  const auto& bk = b.sub_keys();
  for (std::size_t i = 0; i < ak.size(); ++i)
    if (!same_tree(*ak[i], *bk[i])) return false;
  return true;
}

void assign_security(RegKey& key, const std::string& path, const std::shared_ptr<const KeySecurity>& inherited,
                     const std::map<std::string, KeySecurity>& layout, const Token& token) {
  auto it = layout.find(fold(path));
  key.security_ptr = it != layout.end() ? std::make_shared<const KeySecurity>(it->second) : inherited;
  if (key.children.empty()) return;
  // What the key passes down, made once for all its children.
  const auto passed = std::make_shared<const KeySecurity>(inherit(key.security(), token));
  for (auto& child : key.children) assign_security(*child, path + "\\" + child->name, passed, layout, token);
}

void collect_security_changes(const RegKey& old_key, const RegKey& new_key, const std::string& path,
                              std::vector<std::pair<std::string, std::string>>& out) {
  const KeySecurity& a = old_key.security();
  const KeySecurity& b = new_key.security();
  if (a.dacl_present != b.dacl_present || a.dacl_protected != b.dacl_protected || a.dacl != b.dacl)
    out.emplace_back(path, to_sddl(b));
  for (const auto& child : new_key.sub_keys())
    if (const RegKey* was = old_key.child(child->folded))
      collect_security_changes(*was, *child, path + "\\" + child->name, out);
}

}  // namespace

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

// Made again only when the machine's user or rights change.
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

// ---- the tree ---------------------------------------------------------------

const std::vector<std::shared_ptr<RegKey>>& RegKey::sub_keys() const {
  if (unsorted) {
    std::stable_sort(children.begin(), children.end(),
                     [](const auto& a, const auto& b) { return nt_less(a->folded, b->folded); });
    unsorted = false;
  }
  return children;
}

const KeySecurity& RegKey::security() const {
  static const KeySecurity none{false, {}, {}, true, false, {}};
  return security_ptr ? *security_ptr : none;
}

RegKey* RegKey::child(const std::string& folded_name) const {
  if (!child_index) return nullptr;
  auto it = child_index->find(folded_name);
  return it == child_index->end() ? nullptr : it->second;
}

std::size_t RegKey::value_position(const std::string& folded_name) const {
  if (value_index) {
    auto it = value_index->find(folded_name);
    return it == value_index->end() ? values.size() : it->second;
  }
  for (std::size_t i = 0; i < values.size(); ++i)
    if (fold(values[i].name) == folded_name) return i;
  return values.size();
}

const RegValue* RegKey::value(const std::string& folded_name) const {
  const std::size_t pos = value_position(folded_name);
  return pos == values.size() ? nullptr : &values[pos];
}

void RegKey::put_value(const std::string& value_name, DWORD type, std::vector<std::uint8_t> data) {
  std::string key = fold(value_name);
  const std::size_t pos = value_position(key);
  if (pos != values.size()) {
    values[pos].type = type;
    values[pos].data = std::move(data);
    return;
  }
  values.push_back(RegValue{value_name, type, std::move(data)});
  if (value_index) {
    value_index->emplace(std::move(key), pos);
  } else if (values.size() >= kValueIndexFrom) {
    value_index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
    for (std::size_t i = 0; i < values.size(); ++i) value_index->emplace(fold(values[i].name), i);
  }
}

bool RegKey::erase_value(const std::string& value_name) {
  const std::string key = fold(value_name);
  const std::size_t pos = value_position(key);
  if (pos == values.size()) return false;
  values.erase(values.begin() + static_cast<std::ptrdiff_t>(pos));
  if (value_index) {
    value_index->erase(key);
    for (auto& [name_key, index] : *value_index)
      if (index > pos) --index;
  }
  return true;
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

std::optional<DWORD> check_key_access(const RegKey& key, DWORD desired) {
  return access_check(key.security(), current_token(), desired);
}

// ---- the state --------------------------------------------------------------

Registry::State::State() {
  reset_roots();
  classes_placeholder = std::make_shared<RegKey>();
  classes_placeholder->name = std::string(kRootNames[kLocalMachine]);
  for (const auto& part : classes_root_parts()) classes_placeholder->name += "\\" + part;
}

void Registry::State::reset_roots() {
  for (int r = 0; r < kRootCount; ++r) {
    if (roots[r]) mark_deleted(*roots[r]);
    roots[r] = std::make_shared<RegKey>();
    roots[r]->name = std::string(kRootNames[r]);
    roots[r]->folded = roots[r]->name;
  }
}

void Registry::State::copy_data_from(const State& other) {
  reset_roots();
  for (int r = 0; r < kRootCount; ++r) roots[r] = clone_tree(*other.roots[r], nullptr);
  family = other.family;
  code_page = other.code_page;
  faults = other.faults;
  next_seq = other.next_seq;
}

RegKey* Registry::State::add_child(RegKey& parent, std::string_view name) {
  auto key = std::make_shared<RegKey>();
  key->name = std::string(name);
  key->folded = fold(name);
  key->parent = &parent;
  key->seq = next_seq++;
  // A new key on the NT family takes what its parent passes down.
  if (nt() && parent.security().present) {
    const Machine& m = machine();
    if (inherited_from != parent.security_ptr || inherited_user != m.security.user_sid || inherited_admin != m.admin) {
      inherited = std::make_shared<const KeySecurity>(inherit(parent.security(), current_token()));
      inherited_from = parent.security_ptr;
      inherited_user = m.security.user_sid;
      inherited_admin = m.admin;
    }
    key->security_ptr = inherited;
  }
  RegKey* raw = key.get();
  // The NT order is restored by the next reader when this key does not
  // come last; Windows 9x lists keys in the order they were made.
  if (nt() && !parent.children.empty() && !parent.unsorted && !nt_less(parent.children.back()->folded, raw->folded))
    parent.unsorted = true;
  parent.children.push_back(std::move(key));
  if (!parent.child_index) parent.child_index = std::make_unique<std::unordered_map<std::string_view, RegKey*>>();
  parent.child_index->emplace(raw->folded, raw);
  return raw;
}

void Registry::State::remove_child(RegKey& parent, RegKey* child) {
  // Found by its place in the order: by name on NT, by age on Windows 9x.
  const auto& kids = parent.sub_keys();
  auto it = nt() ? std::lower_bound(kids.begin(), kids.end(), child,
                                    [](const auto& c, const RegKey* k) { return nt_less(c->folded, k->folded); })
                 : std::lower_bound(kids.begin(), kids.end(), child,
                                    [](const auto& c, const RegKey* k) { return c->seq < k->seq; });
  if (it == kids.end() || it->get() != child)
    it = std::find_if(kids.begin(), kids.end(), [child](const auto& c) { return c.get() == child; });
  if (it == kids.end()) return;
  std::shared_ptr<RegKey> keep = *it;  // alive until the handles let go
  parent.children.erase(it);
  parent.child_index->erase(child->folded);
  child->parent = nullptr;
  mark_deleted(*child);
}

void Registry::State::resort(RegKey& key) {
  std::sort(key.children.begin(), key.children.end(),
            [this](const auto& a, const auto& b) { return nt() ? nt_less(a->folded, b->folded) : a->seq < b->seq; });
  key.unsorted = false;
  for (auto& child : key.children) resort(*child);
}

RegKey* Registry::State::find(const ParsedPath& path) const {
  RegKey* key = roots[path.root].get();
  for (const auto& part : path.parts) {
    key = key->child(fold(part));
    if (!key) return nullptr;
  }
  return key;
}

RegKey* Registry::State::ensure(const ParsedPath& path) {
  RegKey* key = roots[path.root].get();
  for (const auto& part : path.parts) {
    RegKey* next = key->child(fold(part));
    key = next ? next : add_child(*key, part);
  }
  return key;
}

RegKey* Registry::State::classes_root(bool create) {
  ParsedPath path{kLocalMachine, classes_root_parts()};
  RegKey* key = create ? ensure(path) : find(path);
  return key ? key : classes_placeholder.get();
}

std::string Registry::State::canonical_path(const std::string& path) {
  ParsedPath parsed;
  if (!parse_full_path(path, parsed).empty()) return fold(path);
  std::string out(kRootNames[parsed.root]);
  for (const auto& part : parsed.parts) out += "\\" + part;
  return fold(out);
}

bool Registry::State::listed(const std::vector<std::string>& list, const std::string& folded_path) {
  return std::any_of(list.begin(), list.end(), [&](const std::string& p) { return canonical_path(p) == folded_path; });
}

std::string Registry::State::store(const std::string& text) const {
  return family == RegFamily::Win9x ? utf8_from_ansi(ansi_from_utf8(text, cp()), cp()) : text;
}

std::vector<std::uint8_t> Registry::State::stored_data(DWORD type, std::vector<std::uint8_t> data) const {
  if (family != RegFamily::Win9x || !is_string_type(type)) return data;
  return bytes_of(store(text_of(data)));
}

// ---- Registry ---------------------------------------------------------------

Registry::Registry() : state_(std::make_unique<State>()) {}
Registry::~Registry() = default;

Registry::Registry(const Registry& other) : state_(std::make_unique<State>()) { state_->copy_data_from(*other.state_); }

Registry& Registry::operator=(const Registry& other) {
  // Handles stay open (a leak still shows) but refer to keys that are gone.
  if (this != &other) state_->copy_data_from(*other.state_);
  return *this;
}

void Registry::clear() { state_->reset_roots(); }

void Registry::set_family(RegFamily family) {
  if (state_->family == family) return;
  state_->family = family;
  for (auto& root : state_->roots) state_->resort(*root);
}

RegFamily Registry::family() const { return state_->family; }

void Registry::set_code_page(unsigned id) {
  const CodePage* page = CodePage::find(id);
  if (!page) throw std::invalid_argument("code page " + std::to_string(id) + " is not one the simulator knows");
  state_->code_page = page;
}
unsigned Registry::code_page() const { return state_->code_page->id(); }
RegFaults& Registry::faults() { return state_->faults; }

bool Registry::operator==(const Registry& other) const {
  for (int r = 0; r < kRootCount; ++r)
    if (!same_tree(*state_->roots[r], *other.state_->roots[r])) return false;
  return true;
}

bool Registry::key_exists(const std::string& path) const {
  ParsedPath parsed;
  return parse_full_path(state_->cp().to_utf8(path), parsed).empty() && state_->find(parsed) != nullptr;
}

bool Registry::get_value(const std::string& key_path, const std::string& name, RegValue* out) const {
  ParsedPath parsed;
  if (!parse_full_path(state_->cp().to_utf8(key_path), parsed).empty()) return false;
  const RegKey* key = state_->find(parsed);
  const RegValue* value = key ? key->value(fold(state_->cp().to_utf8(name))) : nullptr;
  if (value && out) *out = value_to_ansi(*value, state_->cp());
  return value != nullptr;
}

void Registry::set_value(const std::string& key_path, const RegValue& value) {
  ParsedPath parsed;
  std::string error = parse_full_path(state_->cp().to_utf8(key_path), parsed);
  if (!error.empty()) throw std::invalid_argument(key_path + ": " + error);
  state_->ensure(parsed)->put_value(state_->cp().to_utf8(value.name), value.type,
                                    data_from_ansi(value.type, value.data, state_->cp()));
}

std::vector<std::string> Registry::subkey_names(const std::string& path) const {
  std::vector<std::string> names;
  ParsedPath parsed;
  if (!parse_full_path(state_->cp().to_utf8(path), parsed).empty()) return names;
  if (const RegKey* key = state_->find(parsed))
    for (const auto& child : key->sub_keys()) names.push_back(state_->cp().from_utf8(child->name));
  return names;
}

std::vector<RegValue> Registry::values_of(const std::string& path) const {
  ParsedPath parsed;
  if (!parse_full_path(state_->cp().to_utf8(path), parsed).empty()) return {};
  std::vector<RegValue> out;
  if (const RegKey* key = state_->find(parsed))
    for (const auto& v : key->values) out.push_back(value_to_ansi(v, state_->cp()));
  return out;
}

bool Registry::delete_tree(const std::string& path) {
  ParsedPath parsed;
  if (!parse_full_path(state_->cp().to_utf8(path), parsed).empty()) return false;
  RegKey* key = state_->find(parsed);
  if (key == nullptr || key->parent == nullptr) return false;
  state_->remove_child(*key->parent, key);
  return true;
}

void Registry::apply_security(const KeySecurity& root, const std::map<std::string, KeySecurity>& layout) {
  // The layout's paths, written with any root spelling, in canonical form.
  std::map<std::string, KeySecurity> canonical;
  for (const auto& [path, security] : layout) canonical[State::canonical_path(path)] = security;
  const Token& token = current_token();
  const auto shared_root = std::make_shared<const KeySecurity>(root);
  for (auto& r : state_->roots) assign_security(*r, r->name, shared_root, canonical, token);
}

void Registry::set_security(const std::string& path, const KeySecurity& security) {
  ParsedPath parsed;
  std::string error = parse_full_path(path, parsed);
  RegKey* key = error.empty() ? state_->find(parsed) : nullptr;
  if (!key) throw std::invalid_argument(path + ": " + (error.empty() ? "no such key" : error));
  key->set_security(security);
}

KeySecurity Registry::security(const std::string& path) const {
  ParsedPath parsed;
  if (!parse_full_path(path, parsed).empty()) return {};
  const RegKey* key = state_->find(parsed);
  return key ? key->security() : KeySecurity{};
}

std::vector<std::pair<std::string, std::string>> Registry::security_changes_from(const Registry& before) const {
  std::vector<std::pair<std::string, std::string>> out;
  for (int r = 0; r < kRootCount; ++r)
    collect_security_changes(*before.state_->roots[r], *state_->roots[r], state_->roots[r]->name, out);
  return out;
}

std::size_t Registry::open_handle_count() const {
  std::size_t count = 0;
  for (const auto& [value, handle] : state_->handles) count += handle.opens;
  return count;
}

}  // namespace sim::win32
