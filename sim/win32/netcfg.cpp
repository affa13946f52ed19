// The simulated network configuration: its components and bindings, what
// the run left behind, the COM library functions (Co*), which work on the
// configuration's state directly, and the profile keys "netcfg" and
// "devices". The COM objects are in netcfg_objects.cpp.
#include "netcfg.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "machine.h"
#include "netcfg_state.h"
#include "setupapi.h"

namespace sim::win32 {

// ---------------------------------------------------------------------------
// The state

NetCfg::State::Component* NetCfg::State::find(const std::string& id) {
  for (auto& c : components)
    if (!c.removed && equal_ci(c.info.id, id)) return &c;
  return nullptr;
}

bool NetCfg::State::bound(const std::string& protocol, const std::string& adapter) const {
  for (const auto& b : bindings)
    if (equal_ci(b.first, protocol) && equal_ci(b.second, adapter)) return true;
  return false;
}

LPVOID NetCfg::State::task_alloc(SIZE_T size) {
  void* block = std::malloc(size ? size : 1);
  if (block) task_blocks.insert(block);
  return block;
}

LPWSTR NetCfg::State::task_string(const std::string& text) {
  auto* out = static_cast<LPWSTR>(task_alloc((text.size() + 1) * sizeof(WCHAR)));
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
  out[text.size()] = 0;
  return out;
}

// ---------------------------------------------------------------------------
// NetCfg

NetCfg::NetCfg() : state_(std::make_unique<State>()) {}

NetCfg::~NetCfg() {
  state_->tearing_down = true;
  const std::set<ComObject*> left = state_->live;
  for (ComObject* o : left) delete o;
  for (void* block : state_->task_blocks) std::free(block);
}

void NetCfg::add_adapter(const std::string& id, const std::string& pnp_id, const std::string& instance_guid) {
  state_->components.push_back({{id, pnp_id, true, instance_guid, ""}, false});
}

void NetCfg::add_protocol(const std::string& id, const std::string& service) {
  state_->components.push_back({{id, "", false, "", service}, false});
}

bool NetCfg::has_components() const { return !state_->components.empty(); }

void NetCfg::bind(const std::string& protocol, const std::string& adapter) {
  if (state_->bound(protocol, adapter)) return;
  state_->bindings.emplace_back(protocol, adapter);
  state_->bindable.emplace(protocol, adapter);
}

void NetCfg::hold_lock(std::uint64_t until_ms, const std::string& holder) {
  state_->other_holds = true;
  state_->other_until_ns = until_ms * 1000000;
  state_->other_holder = holder;
}

std::vector<NetCfgComponentInfo> NetCfg::components() const {
  std::vector<NetCfgComponentInfo> out;
  for (const auto& c : state_->components)
    if (!c.removed) out.push_back(c.info);
  return out;
}

std::vector<std::pair<std::string, std::string>> NetCfg::bindings() const { return state_->bindings; }

std::vector<std::string> NetCfg::live_objects() const {
  std::vector<std::string> out;
  for (const ComObject* o : state_->live) out.push_back(o->what() + " refs=" + std::to_string(o->refs()));
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> NetCfg::leaks() const {
  std::vector<std::string> out = live_objects();
  if (!state_->task_blocks.empty())
    out.push_back(std::to_string(state_->task_blocks.size()) + " task-memory block(s) not freed");
  if (state_->bad_frees) out.push_back(std::to_string(state_->bad_frees) + " CoTaskMemFree of unknown block(s)");
  if (state_->over_releases) out.push_back(std::to_string(state_->over_releases) + " Release past zero");
  if (state_->com_init_depth > 0)
    out.push_back(std::to_string(state_->com_init_depth) + " CoInitialize without CoUninitialize");
  if (state_->unbalanced_uninit > 0)
    out.push_back(std::to_string(state_->unbalanced_uninit) + " CoUninitialize without CoInitialize");
  if (state_->program_lock)
    out.push_back("network configuration write lock still held as \"" + state_->program_holder + "\"");
  return out;
}

NetCfgFaults& NetCfg::faults() { return state_->faults; }
const std::vector<std::pair<std::string, std::string>>& NetCfg::unbound() const { return state_->unbound; }
int NetCfg::applied() const { return state_->applied; }
int NetCfg::com_init_depth() const { return state_->com_init_depth; }
bool NetCfg::program_holds_lock() const { return state_->program_lock; }
const std::string& NetCfg::program_lock_holder() const { return state_->program_holder; }

void NetCfg::remove_device(const std::string& pnp_id) {
  for (auto& c : state_->components) {
    if (c.removed || !c.info.adapter || !equal_ci(c.info.pnp_id, pnp_id)) continue;
    c.removed = true;
    std::erase_if(state_->bindings, [&](const auto& b) { return equal_ci(b.second, c.info.id); });
  }
}

NetCfg& Machine::netcfg() {
  if (!netcfg_) netcfg_.reset(new NetCfg);
  return *netcfg_;
}
void Machine::RemovalPartsDeleter::operator()(NetCfg* p) const { delete p; }

// ---------------------------------------------------------------------------
// Profile keys "netcfg" and "devices".

namespace {

[[noreturn]] void bad(const std::string& where, const std::string& what) { throw NetCfgProfileError(where, what); }

std::string text_of(const nlohmann::json& j, const std::string& where) {
  if (!j.is_string()) bad(where, "expected a string");
  return j.get<std::string>();
}

std::set<std::string> class_set(const nlohmann::json& j, const std::string& where) {
  std::set<std::string> out;
  if (j.is_boolean()) {
    if (j.get<bool>()) out = {"net", "nettrans"};
    return out;
  }
  if (!j.is_array()) bad(where, "expected true, false or a list of \"net\" and \"nettrans\"");
  for (const auto& item : j) {
    std::string cls = text_of(item, where);
    if (cls != "net" && cls != "nettrans") bad(where, "unknown class \"" + cls + "\"");
    out.insert(cls);
  }
  return out;
}

bool flag_of(const nlohmann::json& obj, const char* key, const std::string& where, bool fallback) {
  if (!obj.contains(key)) return fallback;
  if (!obj[key].is_boolean()) bad(where + "." + key, "expected true or false");
  return obj[key].get<bool>();
}

void load_netcfg(const nlohmann::json& j, NetCfg& cfg) {
  if (!j.is_object()) bad("netcfg", "expected an object");
  std::set<std::string> adapters, protocols;
  auto known = [&](const std::string& id) {
    for (const auto& a : adapters)
      if (equal_ci(a, id)) return true;
    for (const auto& p : protocols)
      if (equal_ci(p, id)) return true;
    return false;
  };
  if (j.contains("adapters")) {
    if (!j["adapters"].is_array()) bad("netcfg.adapters", "expected a list");
    for (std::size_t i = 0; i < j["adapters"].size(); ++i) {
      const auto& a = j["adapters"][i];
      const std::string where = "netcfg.adapters[" + std::to_string(i) + "]";
      if (!a.is_object() || !a.contains("id")) bad(where, "expected an object with \"id\"");
      const std::string id = text_of(a["id"], where + ".id");
      if (known(id)) bad(where, "duplicate component id \"" + id + "\"");
      cfg.add_adapter(id, a.contains("pnp_id") ? text_of(a["pnp_id"], where + ".pnp_id") : "");
      adapters.insert(id);
    }
  }
  if (j.contains("protocols")) {
    if (!j["protocols"].is_array()) bad("netcfg.protocols", "expected a list");
    for (std::size_t i = 0; i < j["protocols"].size(); ++i) {
      const auto& p = j["protocols"][i];
      const std::string where = "netcfg.protocols[" + std::to_string(i) + "]";
      const std::string id = p.is_object() && p.contains("id") ? text_of(p["id"], where + ".id") : text_of(p, where);
      if (known(id)) bad(where, "duplicate component id \"" + id + "\"");
      cfg.add_protocol(id);
      protocols.insert(id);
    }
  }
  if (j.contains("bindings")) {
    if (!j["bindings"].is_array()) bad("netcfg.bindings", "expected a list");
    for (std::size_t i = 0; i < j["bindings"].size(); ++i) {
      const auto& b = j["bindings"][i];
      const std::string where = "netcfg.bindings[" + std::to_string(i) + "]";
      if (!b.is_array() || b.size() != 2) bad(where, "expected [protocol id, adapter id]");
      const std::string protocol = text_of(b[0], where);
      const std::string adapter = text_of(b[1], where);
      bool p_ok = false, a_ok = false;
      for (const auto& p : protocols) p_ok = p_ok || equal_ci(p, protocol);
      for (const auto& a : adapters) a_ok = a_ok || equal_ci(a, adapter);
      if (!p_ok) bad(where, "\"" + protocol + "\" is not a protocol of the profile");
      if (!a_ok) bad(where, "\"" + adapter + "\" is not an adapter of the profile");
      cfg.bind(protocol, adapter);
    }
  }
  if (j.contains("lock_held_ms")) {
    if (!j["lock_held_ms"].is_number_unsigned()) bad("netcfg.lock_held_ms", "expected a count of milliseconds");
    cfg.hold_lock(j["lock_held_ms"].get<std::uint64_t>(),
                  j.contains("lock_holder") ? text_of(j["lock_holder"], "netcfg.lock_holder") : "Network Connections");
  }
  if (j.contains("fail")) {
    const auto& f = j["fail"];
    if (!f.is_object()) bad("netcfg.fail", "expected an object");
    static const std::set<std::string> keys = {"coinitialize", "create",      "lock_query",  "lock",
                                               "initialize",   "class_query", "enumeration", "reset"};
    for (const auto& [key, value] : f.items())
      if (!keys.count(key)) bad("netcfg.fail." + key, "unknown failure");
    NetCfgFaults& faults = cfg.faults();
    faults.coinitialize = flag_of(f, "coinitialize", "netcfg.fail", false);
    faults.create = flag_of(f, "create", "netcfg.fail", false);
    faults.lock_query = flag_of(f, "lock_query", "netcfg.fail", false);
    faults.lock = flag_of(f, "lock", "netcfg.fail", false);
    faults.initialize = flag_of(f, "initialize", "netcfg.fail", false);
    if (f.contains("class_query")) faults.class_query = class_set(f["class_query"], "netcfg.fail.class_query");
    if (f.contains("enumeration")) faults.enumeration = class_set(f["enumeration"], "netcfg.fail.enumeration");
    if (f.contains("reset")) faults.reset = class_set(f["reset"], "netcfg.fail.reset");
  }
}

// A device the registry already describes takes the fields the entry gives
// (a removal that fails, a device not present, another description); any
// other entry adds a device.
void load_devices(const nlohmann::json& j, DeviceInstaller& devices) {
  if (!j.is_array()) bad("devices", "expected a list");
  for (std::size_t i = 0; i < j.size(); ++i) {
    const auto& d = j[i];
    const std::string where = "devices[" + std::to_string(i) + "]";
    if (!d.is_object() || !d.contains("instance_id")) bad(where, "expected an object with \"instance_id\"");
    const std::string id = text_of(d["instance_id"], where + ".instance_id");
    Device* device = devices.find_device(id);
    if (device == nullptr) {
      Device fresh;
      fresh.instance_id = id;
      device = &devices.add_device(std::move(fresh));
    } else if (device->class_guid == GUID{}) {
      device->class_guid = GUID_DEVCLASS_NET;  // the entry's class, by default the network class
    }
    if (d.contains("description")) device->description = text_of(d["description"], where + ".description");
    device->present = flag_of(d, "present", where, device->present);
    device->remove_fails = flag_of(d, "remove_fails", where, device->remove_fails);
    if (d.contains("class")) {
      const std::string cls = text_of(d["class"], where + ".class");
      if (cls == "net")
        device->class_guid = GUID_DEVCLASS_NET;
      else if (cls == "nettrans")
        device->class_guid = GUID_DEVCLASS_NETTRANS;
      else
        bad(where + ".class", "unknown class \"" + cls + "\"");
    }
  }
}

}  // namespace

void load_netcfg_profile(const nlohmann::json& profile, Machine& m) {
  if (profile.contains("netcfg")) load_netcfg(profile["netcfg"], m.netcfg());
  if (profile.contains("devices")) load_devices(profile["devices"], m.devices());
}

nlohmann::json netcfg_report(Machine& m) {
  nlohmann::json unbound = nlohmann::json::array();
  for (const auto& [protocol, adapter] : m.netcfg().unbound()) unbound.push_back({protocol, adapter});
  std::vector<std::string> leaks = m.netcfg().leaks();
  if (m.devices().open_lists())
    leaks.push_back(std::to_string(m.devices().open_lists()) + " device information set(s) not destroyed");
  return {{"unbound", unbound},
          {"applied", m.netcfg().applied()},
          {"removed_devices", m.devices().removed()},
          {"com_leaks", leaks}};
}

}  // namespace sim::win32

// ---------------------------------------------------------------------------
// The COM library.

using sim::win32::machine;

HRESULT WINAPI CoInitialize(LPVOID) {
  sim::win32::NetCfg& cfg = machine().netcfg();
  if (cfg.state().faults.coinitialize) {
    cfg.notes.push_back("COM could not be initialised (E_OUTOFMEMORY): nothing was unbound or removed");
    return E_OUTOFMEMORY;
  }
  return cfg.state().com_init_depth++ == 0 ? S_OK : S_FALSE;
}

void WINAPI CoUninitialize(void) {
  sim::win32::NetCfg::State& s = machine().netcfg().state();
  if (s.com_init_depth == 0) {
    ++s.unbalanced_uninit;
    return;
  }
  --s.com_init_depth;
}

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  sim::win32::NetCfg& cfg = machine().netcfg();
  if (cfg.state().com_init_depth == 0) return CO_E_NOTINITIALIZED;
  // The class is registered in-process on Windows 2000 and later only.
  const sim::win32::Version& v = machine().version;
  const bool registered = v.platform_id == VER_PLATFORM_WIN32_NT && v.major >= 5;
  if (!IsEqualCLSID(clsid, CLSID_CNetCfg) || !registered || !(context & CLSCTX_INPROC_SERVER) ||
      cfg.state().faults.create) {
    cfg.notes.push_back("the network configuration object could not be created (REGDB_E_CLASSNOTREG)");
    return REGDB_E_CLASSNOTREG;
  }
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  return sim::win32::create_config_object(cfg, riid, ppv);
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) { return machine().netcfg().state().task_alloc(size); }

void WINAPI CoTaskMemFree(LPVOID block) {
  if (block == nullptr) return;
  sim::win32::NetCfg::State& s = machine().netcfg().state();
  if (s.task_blocks.erase(block) == 0) {
    ++s.bad_frees;
    return;
  }
  std::free(block);
}
