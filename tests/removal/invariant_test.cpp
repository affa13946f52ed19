// The Windows 95/98 purge over many generated registries (fixed seed): it
// deletes nothing outside the keys that belong to supported devices, every
// sweep ends (also when deletions are refused), and the same registry twice
// gives the same result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "sim/win32/machine.h"
#include "uninstaller/netpurge.h"

namespace {

using sim::win32::machine;

const std::string kRoot = "HKEY_LOCAL_MACHINE\\";
const std::string kPci = "Enum\\PCI\\";
const std::string kNetwork = "Enum\\Network\\";

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct Instance {
  std::string device_key;  // below Enum\PCI
  std::string name;
  bool has_driver = true;
  std::string driver;
  std::vector<std::string> bindings;  // component names below Enum\Network
};

struct Component {
  std::string name;
  bool has_bindings = true;
  std::vector<std::string> bindings;
};

// One generated machine and, worked out from the model alone, the keys the
// purge may delete.
struct Machine9x {
  bool modem = false;
  std::string class_path;
  std::vector<std::string> class_keys;
  std::vector<std::string> class_descs;
  std::vector<std::string> device_keys;
  std::vector<bool> device_supported;
  std::vector<Instance> instances;
  std::vector<Component> components;
  std::vector<std::string> refused;  // deletions the registry refuses

  std::string reg() const {
    std::ostringstream r;
    r << "REGEDIT4\r\n";
    auto esc = [](const std::string& s) {
      std::string out;
      for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
      }
      return out;
    };
    for (std::size_t i = 0; i < class_keys.size(); ++i)
      r << "\r\n[" << kRoot << class_path << "\\" << class_keys[i] << "]\r\n\"DriverDesc\"=\"" << esc(class_descs[i])
        << "\"\r\n";
    for (const auto& d : device_keys) r << "\r\n[" << kRoot << kPci << d << "]\r\n";
    for (const auto& in : instances) {
      r << "\r\n[" << kRoot << kPci << in.device_key << "\\" << in.name << "]\r\n";
      if (in.has_driver) r << "\"Driver\"=\"" << esc(in.driver) << "\"\r\n";
      if (!in.bindings.empty()) {
        r << "\r\n[" << kRoot << kPci << in.device_key << "\\" << in.name << "\\Bindings]\r\n";
        for (const auto& b : in.bindings) r << "\"" << esc(b) << "\"=\"\"\r\n";
      }
    }
    for (const auto& c : components) {
      r << "\r\n[" << kRoot << kNetwork << c.name << "]\r\n\"Class\"=\"NetTrans\"\r\n";
      if (c.has_bindings) {
        r << "\r\n[" << kRoot << kNetwork << c.name << "\\Bindings]\r\n";
        for (const auto& b : c.bindings) r << "\"" << esc(b) << "\"=\"\"\r\n";
      }
    }
    return r.str();
  }

  bool supported_device(const std::string& device_key) const {
    for (std::size_t i = 0; i < device_keys.size(); ++i)
      if (device_keys[i] == device_key) return device_supported[i];
    return false;
  }

  // Roots (full paths, lower case) under which a deletion is allowed.
  std::vector<std::string> allowed_roots() const {
    std::vector<std::string> roots;
    for (std::size_t i = 0; i < device_keys.size(); ++i)
      if (device_supported[i]) roots.push_back(lower(kRoot + kPci + device_keys[i]));
    std::set<std::string> tails;
    std::vector<std::string> todo;
    for (const auto& in : instances) {
      if (!supported_device(in.device_key)) continue;
      if (in.has_driver && in.driver.size() >= 4) tails.insert(lower(in.driver.substr(in.driver.size() - 4)));
      todo.insert(todo.end(), in.bindings.begin(), in.bindings.end());
    }
    for (std::size_t i = 0; i < class_keys.size(); ++i)
      if (tails.count(lower(class_keys[i])) || (modem && class_descs[i] == "  "))
        roots.push_back(lower(kRoot + class_path + "\\" + class_keys[i]));
    // Components reached through bindings, going on only through those that
    // have "Bindings" of their own.
    std::set<std::string> seen;
    while (!todo.empty()) {
      const std::string name = lower(todo.back());
      todo.pop_back();
      if (!seen.insert(name).second) continue;
      for (const auto& c : components) {
        if (lower(c.name) != name || !c.has_bindings) continue;
        roots.push_back(lower(kRoot + kNetwork + c.name));
        todo.insert(todo.end(), c.bindings.begin(), c.bindings.end());
      }
    }
    return roots;
  }
};

Machine9x generate(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  Machine9x m;
  m.modem = pick(4) == 0;
  m.class_path =
      m.modem ? "System\\CurrentControlSet\\Services\\Class\\Modem" : "System\\CurrentControlSet\\Services\\Class\\Net";
  const int classes = 1 + pick(10);
  for (int i = 0; i < classes; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, pick(8) ? "%04d" : "%04X", pick(14) + (pick(5) ? 0 : 160));
    if (std::find(m.class_keys.begin(), m.class_keys.end(), name) != m.class_keys.end()) continue;
    m.class_keys.push_back(name);
    m.class_descs.push_back(pick(4) == 0 ? "  " : pick(3) == 0 ? "   " : "Adapter");
  }
  const char* supported[] = {"VEN_8086&DEV_1229&SUBSYS_00018086&REV_08", "vEN_8086&dev_1229&SUBSYS_00028086&REV_05",
                             "VEN_FFFF&DEV_FFFF&SUBSYS_FFFFFFFF&REV_01"};
  const char* others[] = {"VEN_10EC&DEV_8029&SUBSYS_00000000&REV_00", "VEN_8086&DEV_1209&SUBSYS_00018086&REV_08",
                          "VEN_8086&DEV_122", "VEN_FFFE&DEV_FFFF&SUBSYS_FFFFFFFF"};
  const int components = pick(10);
  for (int i = 0; i < components; ++i) {
    Component c;
    c.name = "COMP" + std::to_string(pick(4)) + "\\000" + std::to_string(i);
    c.has_bindings = pick(4) != 0;
    m.components.push_back(c);
  }
  for (auto& c : m.components)
    for (int b = pick(3); b > 0; --b)
      c.bindings.push_back(m.components[static_cast<std::size_t>(pick(components))].name);
  const int devices = 1 + pick(6);
  for (int i = 0; i < devices; ++i) {
    const bool ours = pick(2) == 0;
    std::string key = ours ? supported[pick(m.modem ? 3 : 2)] : others[pick(4)];
    if (std::find(m.device_keys.begin(), m.device_keys.end(), key) != m.device_keys.end()) continue;
    // What the program takes for ours depends on the mode's patterns.
    const std::string k = lower(key);
    const bool matches =
        m.modem ? (k.rfind("ven_ffff&dev_ffff&subsys_ffffffff", 0) == 0) : (k.rfind("ven_8086&dev_1229", 0) == 0);
    m.device_keys.push_back(key);
    m.device_supported.push_back(matches);
    for (int n = 1 + pick(3); n > 0; --n) {
      Instance in;
      in.device_key = key;
      in.name = "BUS_00&DEV_" + std::to_string(10 + i) + "&FUNC_0" + std::to_string(n);
      const int kind = pick(10);
      in.has_driver = kind != 0;
      const std::string cls = m.class_keys[static_cast<std::size_t>(pick(static_cast<int>(m.class_keys.size())))];
      in.driver = kind == 1 ? cls.substr(0, 2) : kind == 2 ? "NetTrans\\" + lower(cls) : "Net\\" + cls;
      for (int b = pick(3); b > 0 && components > 0; --b)
        in.bindings.push_back(m.components[static_cast<std::size_t>(pick(components))].name);
      m.instances.push_back(in);
    }
  }
  // Now and then the registry refuses to delete a key that belongs to us.
  if (pick(3) == 0) {
    for (const auto& root : m.allowed_roots())
      if (pick(3) == 0) m.refused.push_back(root);
  }
  return m;
}

std::vector<std::string> deleted_keys(const std::string& diff) {
  std::vector<std::string> out;
  std::istringstream in(diff);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("[-", 0) == 0) out.push_back(lower(line.substr(2, line.size() - 3)));
  }
  return out;
}

std::string purge(const Machine9x& m) {
  removal_test::fresh_machine("win98", m.modem);
  machine().registry.import_reg(m.reg(), "generated");
  machine().registry.faults().delete_fails = m.refused;
  PurgeClassKeys9x();
  PurgeAllPciEnumKeys();
  EXPECT_EQ(machine().registry.open_handle_count(), 0u);
  return machine().registry.export_reg();
}

TEST(Purge9xInvariants, GeneratedRegistries) {
  std::mt19937 rng(19990322);
  for (int round = 0; round < 400; ++round) {
    const Machine9x m = generate(rng);
    removal_test::fresh_machine("win98", m.modem);
    machine().registry.import_reg(m.reg(), "generated");
    const sim::win32::Registry before = machine().registry;

    const std::string after = purge(m);
    const std::string diff = machine().registry.diff_from(before);
    const auto roots = m.allowed_roots();
    for (const auto& key : deleted_keys(diff)) {
      const bool allowed = std::any_of(roots.begin(), roots.end(),
                                       [&](const std::string& r) { return key == r || key.rfind(r + "\\", 0) == 0; });
      EXPECT_TRUE(allowed) << "round " << round << ": deleted " << key << "\n" << m.reg();
    }
    // Without refusals no supported device key survives.
    if (m.refused.empty()) {
      for (std::size_t i = 0; i < m.device_keys.size(); ++i) {
        if (m.device_supported[i]) {
          EXPECT_FALSE(machine().registry.key_exists(kRoot + kPci + m.device_keys[i])) << "round " << round;
        }
      }
    }
    EXPECT_EQ(purge(m), after) << "round " << round << ": a second run differs";
    if (HasFailure()) break;
  }
}

}  // namespace
