#include "win2000_network.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <vector>

#include "machine.h"
#include "netcfg.h"
#include "registry.h"
#include "setupapi.h"

namespace sim::win32 {

namespace {

constexpr const char* kNetClass = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kNetTransClass = "{4D36E975-E325-11CE-BFC1-08002BE10318}";

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool equal_ci(const std::string& a, const std::string& b) { return upper(a) == upper(b); }

// A REG_SZ or REG_EXPAND_SZ value as text, without its terminator.
std::optional<std::string> text_value(const Registry& reg, const std::string& key, const std::string& name) {
  RegValue v;
  if (!reg.get_value(key, name, &v) || (v.type != REG_SZ && v.type != REG_EXPAND_SZ)) return std::nullopt;
  std::string text(v.data.begin(), v.data.end());
  if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

// A REG_MULTI_SZ value as its strings; an empty string ends the list.
std::vector<std::string> multi_value(const Registry& reg, const std::string& key, const std::string& name) {
  std::vector<std::string> out;
  RegValue v;
  if (!reg.get_value(key, name, &v) || v.type != REG_MULTI_SZ) return out;
  std::string current;
  for (std::uint8_t b : v.data) {
    if (b != 0) {
      current.push_back(static_cast<char>(b));
      continue;
    }
    if (current.empty()) break;
    out.push_back(current);
    current.clear();
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

RegValue multi_sz(const std::string& name, const std::vector<std::string>& items) {
  RegValue v;
  v.name = name;
  v.type = REG_MULTI_SZ;
  for (const auto& item : items) {
    v.data.insert(v.data.end(), item.begin(), item.end());
    v.data.push_back(0);
  }
  v.data.push_back(0);
  return v;
}

std::optional<GUID> parse_guid(const std::string& text) {
  unsigned long d1 = 0;
  unsigned int d2 = 0, d3 = 0, b[8] = {};
  char close = 0;
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7], &close) != 12 ||
      close != '}')
    return std::nullopt;
  GUID g{};
  g.Data1 = static_cast<DWORD>(d1);
  g.Data2 = static_cast<WORD>(d2);
  g.Data3 = static_cast<WORD>(d3);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<BYTE>(b[i]);
  return g;
}

struct InstanceKey {
  std::string id;    // "<enumerator>\<device>\<instance>"
  std::string path;  // the key's full path
};

std::vector<InstanceKey> instance_keys(const Registry& reg) {
  std::vector<InstanceKey> out;
  for (const auto& enumerator : reg.subkey_names(kEnumKey)) {
    const std::string e = std::string(kEnumKey) + "\\" + enumerator;
    for (const auto& device : reg.subkey_names(e)) {
      const std::string d = e + "\\" + device;
      for (const auto& instance : reg.subkey_names(d))
        out.push_back({enumerator + "\\" + device + "\\" + instance, d + "\\" + instance});
    }
  }
  return out;
}

}  // namespace

void load_devices_from_registry(Machine& m) {
  const Registry& reg = m.registry;
  for (const auto& key : instance_keys(reg)) {
    Device d;
    // The device installer reports instance ids in upper case, whatever the
    // letter case of the keys.
    d.instance_id = upper(key.id);
    d.description = text_value(reg, key.path, "DeviceDesc");
    d.hardware_ids = multi_value(reg, key.path, "HardwareID");
    // A device whose class the registry does not record belongs to none.
    d.class_guid = GUID{};
    if (auto cls = text_value(reg, key.path, "ClassGUID"))
      if (auto g = parse_guid(*cls)) d.class_guid = *g;
    m.devices().add_device(std::move(d));
  }
}

void load_components_from_registry(Machine& m) {
  const Registry& reg = m.registry;
  NetCfg& cfg = m.netcfg();

  // Which device each driver key belongs to, from the instances' "Driver".
  std::map<std::string, std::string> device_of_driver;  // upper-case driver key -> instance id
  for (const auto& key : instance_keys(reg))
    if (auto driver = text_value(reg, key.path, "Driver")) device_of_driver.emplace(upper(*driver), key.id);

  // Adapters: the network class's driver keys that carry a NetCfgInstanceId.
  struct Adapter {
    std::string guid;
  };
  std::vector<Adapter> adapters;
  const std::string net_class = std::string(kClassKey) + "\\" + kNetClass;
  for (const auto& sub : reg.subkey_names(net_class)) {
    const std::string key = net_class + "\\" + sub;
    auto guid = text_value(reg, key, "NetCfgInstanceId");
    if (!guid || guid->empty()) continue;
    std::string pnp;
    if (auto it = device_of_driver.find(upper(std::string(kNetClass) + "\\" + sub)); it != device_of_driver.end())
      pnp = it->second;
    else if (auto named = text_value(reg, std::string(kNetworkKey) + "\\" + kNetClass + "\\" + *guid + "\\Connection",
                                     "PnpInstanceID"))
      pnp = *named;
    cfg.add_adapter(*guid, pnp, *guid);
    adapters.push_back({*guid});
  }

  // Protocols: the installed instances listed under Control\Network, each
  // described by the protocol class's driver key with the same instance id.
  // Without that list, every protocol driver key counts as installed.
  const std::string trans_class = std::string(kClassKey) + "\\" + kNetTransClass;
  const std::string trans_network = std::string(kNetworkKey) + "\\" + kNetTransClass;
  const std::vector<std::string> installed = reg.subkey_names(trans_network);
  const bool listed = reg.key_exists(trans_network);
  struct Protocol {
    std::string id, service;
  };
  std::vector<Protocol> protocols;
  for (const auto& sub : reg.subkey_names(trans_class)) {
    const std::string key = trans_class + "\\" + sub;
    auto id = text_value(reg, key, "ComponentId");
    if (!id || id->empty()) continue;
    auto guid = text_value(reg, key, "NetCfgInstanceId");
    if (listed && (!guid || std::none_of(installed.begin(), installed.end(),
                                         [&](const std::string& g) { return equal_ci(g, *guid); })))
      continue;
    if (std::any_of(protocols.begin(), protocols.end(), [&](const Protocol& p) { return equal_ci(p.id, *id); }))
      continue;  // one component per id
    const std::string service = text_value(reg, key + "\\Ndi", "Service").value_or("");
    cfg.add_protocol(*id, service);
    protocols.push_back({*id, service});
  }

  // Bindings: each protocol service's Linkage "Bind" names the adapters it
  // is bound to as "\Device\{instance id}".
  for (const auto& p : protocols) {
    if (p.service.empty()) continue;
    for (const auto& entry : multi_value(reg, std::string(kServicesKey) + "\\" + p.service + "\\Linkage", "Bind")) {
      for (const auto& a : adapters)
        if (equal_ci(entry, "\\Device\\" + a.guid)) cfg.bind(p.id, a.guid);
    }
  }
}

void remove_device_keys(Registry& reg, const std::string& instance_id) {
  const std::string instance = std::string(kEnumKey) + "\\" + instance_id;
  if (!reg.key_exists(instance)) return;
  const std::optional<std::string> driver = text_value(reg, instance, "Driver");
  reg.delete_tree(instance);
  const std::string device = instance.substr(0, instance.rfind('\\'));
  if (device.size() > std::string(kEnumKey).size() && reg.subkey_names(device).empty() && reg.values_of(device).empty())
    reg.delete_tree(device);
  if (driver && !driver->empty()) reg.delete_tree(std::string(kClassKey) + "\\" + *driver);
}

void unbind_in_registry(Registry& reg, const NetCfgComponentInfo& protocol, const NetCfgComponentInfo& adapter) {
  if (protocol.service.empty() || adapter.instance_guid.empty()) return;
  const std::string linkage = std::string(kServicesKey) + "\\" + protocol.service + "\\Linkage";
  std::vector<std::string> bind = multi_value(reg, linkage, "Bind");
  const auto it = std::find_if(bind.begin(), bind.end(),
                               [&](const std::string& e) { return equal_ci(e, "\\Device\\" + adapter.instance_guid); });
  if (it == bind.end()) return;
  const std::size_t at = static_cast<std::size_t>(it - bind.begin());
  // Bind, Export and Route list one binding per position.
  for (const char* name : {"Bind", "Export", "Route"}) {
    RegValue old;
    if (!reg.get_value(linkage, name, &old) || old.type != REG_MULTI_SZ) continue;
    std::vector<std::string> items = multi_value(reg, linkage, name);
    if (at < items.size()) items.erase(items.begin() + static_cast<std::ptrdiff_t>(at));
    reg.set_value(linkage, multi_sz(old.name, items));
  }
}

}  // namespace sim::win32
