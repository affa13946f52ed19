#include "sim/hw/profile.h"

#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace sim::hw {
namespace {

using nlohmann::json;

class Reader {
 public:
  explicit Reader(std::string_view source) : source_(source) {}

  [[noreturn]] void fail(const std::string& where, const std::string& what) const {
    throw std::runtime_error(source_ + ": " + where + ": " + what);
  }

  std::uint64_t number(const json& j, const std::string& where, std::uint64_t max) const {
    std::uint64_t value = 0;
    if (j.is_number_unsigned()) {
      value = j.get<std::uint64_t>();
    } else if (j.is_number_integer()) {
      fail(where, "must not be negative");
    } else if (j.is_string()) {
      const std::string text = j.get<std::string>();
      std::size_t used = 0;
      try {
        value = std::stoull(text, &used, 0);
      } catch (const std::exception&) {
        fail(where, "\"" + text + "\" is not a number");
      }
      if (used != text.size() || text.empty() || text[0] == '-') fail(where, "\"" + text + "\" is not a number");
    } else {
      fail(where, "must be a number or a numeric string");
    }
    if (value > max) fail(where, std::to_string(value) + " is out of range (at most " + std::to_string(max) + ")");
    return value;
  }

  std::uint64_t field(const json& object, const char* key, const std::string& where, std::uint64_t max,
                      std::uint64_t fallback, bool required = false) const {
    auto it = object.find(key);
    if (it == object.end()) {
      if (required) fail(where, std::string("missing \"") + key + "\"");
      return fallback;
    }
    return number(*it, where + "." + key, max);
  }

  void only_keys(const json& object, const std::string& where, std::initializer_list<const char*> keys) const {
    if (!object.is_object()) fail(where, "must be an object");
    for (auto it = object.begin(); it != object.end(); ++it) {
      bool known = false;
      for (const char* key : keys) known = known || it.key() == key;
      if (!known) fail(where, "unknown key \"" + it.key() + "\"");
    }
  }

  BarConfig bar(const json& j, const std::string& where) const {
    only_keys(j, where, {"type", "size", "address"});
    BarConfig conf;
    auto type = j.find("type");
    if (type == j.end() || !type->is_string()) fail(where, "\"type\" must be \"memory\" or \"io\"");
    if (*type == "memory") {
      conf.type = BarType::Memory;
    } else if (*type == "io") {
      conf.type = BarType::Io;
    } else {
      fail(where + ".type", "must be \"memory\" or \"io\"");
    }
    conf.size = static_cast<std::uint32_t>(field(j, "size", where, 0x80000000u, 0, true));
    const std::uint32_t minimum = conf.type == BarType::Memory ? 16 : 4;
    if (conf.size < minimum || (conf.size & (conf.size - 1)) != 0)
      fail(where + ".size", "must be a power of two of at least " + std::to_string(minimum));
    if (conf.type == BarType::Io && conf.size > 256) fail(where + ".size", "an I/O BAR decodes at most 256 bytes");
    const std::uint64_t max_address = conf.type == BarType::Io ? 0xFFFF : 0xFFFFFFFF;
    conf.address = static_cast<std::uint32_t>(field(j, "address", where, max_address, 0));
    if (conf.address % conf.size != 0) fail(where + ".address", "must be aligned to the BAR size");
    return conf;
  }

  AdapterConfig adapter(const json& j, const std::string& where) const {
    only_keys(j, where, {"bus", "device", "function", "vendor", "device_id", "revision", "subsystem_vendor",
                         "subsystem_id", "bars", "irq", "eeprom", "phys"});
    AdapterConfig conf;
    conf.bus = static_cast<std::uint32_t>(field(j, "bus", where, 255, 0));
    conf.device = static_cast<std::uint32_t>(field(j, "device", where, 31, 3));
    conf.function = static_cast<std::uint32_t>(field(j, "function", where, 7, 0));
    conf.vendor = static_cast<std::uint16_t>(field(j, "vendor", where, 0xFFFE, 0x8086));
    conf.device_id = static_cast<std::uint16_t>(field(j, "device_id", where, 0xFFFF, 0x1229));
    conf.revision = static_cast<std::uint8_t>(field(j, "revision", where, 0xFF, 0x08));
    conf.subsystem_vendor = static_cast<std::uint16_t>(field(j, "subsystem_vendor", where, 0xFFFF, 0x8086));
    conf.subsystem_id = static_cast<std::uint16_t>(field(j, "subsystem_id", where, 0xFFFF, 0x0001));
    conf.irq = static_cast<std::uint8_t>(field(j, "irq", where, 255, 11));
    auto bars = j.find("bars");
    if (bars == j.end()) fail(where, "missing \"bars\"");
    if (!bars->is_array() || bars->size() > 6) fail(where + ".bars", "must be an array of at most 6 BARs");
    for (std::size_t i = 0; i < bars->size(); ++i) conf.bars.push_back(bar((*bars)[i], where + ".bars[" + std::to_string(i) + "]"));
    if (auto eeprom = j.find("eeprom"); eeprom != j.end()) {
      try {
        conf.eeprom = eeprom_config_from_json(*eeprom, base_dir());
      } catch (const std::exception& error) {
        fail(where + ".eeprom", error.what());
      }
    }
    if (auto phys = j.find("phys"); phys != j.end()) {
      try {
        conf.phys = phys_profile_from_json(*phys);
      } catch (const std::exception& error) {
        fail(where + ".phys", error.what());
      }
    }
    return conf;
  }

  FaultConfig fault(const std::string& name, const json& j, const std::string& where) const {
    FaultConfig conf;
    conf.name = name;
    if (j.is_string()) {
      if (j == "always") {
        conf.count = -1;
      } else if (j == "once") {
        conf.count = 1;
      } else {
        fail(where, "must be \"always\", \"once\" or an object");
      }
      return conf;
    }
    only_keys(j, where, {"skip", "count", "status"});
    conf.skip = static_cast<unsigned>(field(j, "skip", where, 1000000, 0));
    auto count = j.find("count");
    if (count != j.end() && count->is_number_integer() && count->get<std::int64_t>() == -1) {
      conf.count = -1;
    } else {
      conf.count = static_cast<int>(field(j, "count", where, 1000000, 1));
    }
    conf.status = static_cast<std::int64_t>(field(j, "status", where, 0xFFFFFFFF, 0));
    return conf;
  }

  // Files named in the profile (an EEPROM image) are taken relative to the
  // profile's own folder.
  std::filesystem::path base_dir() const {
    if (source_.empty() || source_[0] == '<') return {};
    return std::filesystem::path(source_).parent_path();
  }

 private:
  std::string source_;
};

}  // namespace

MachineProfile parse_profile(std::string_view text, std::string_view source_name) {
  Reader reader(source_name);
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& error) {
    throw std::runtime_error(std::string(source_name) + ": not valid JSON: " + error.what());
  }
  reader.only_keys(root, "profile", {"buses", "adapters", "translate_to_io", "faults", "client", "comment"});
  MachineProfile profile;
  if (auto it = root.find("buses"); it != root.end()) {
    if (!it->is_array()) reader.fail("buses", "must be an array");
    for (std::size_t i = 0; i < it->size(); ++i)
      profile.buses.push_back(static_cast<std::uint32_t>(reader.number((*it)[i], "buses[" + std::to_string(i) + "]", 255)));
  }
  if (auto it = root.find("adapters"); it != root.end()) {
    if (!it->is_array()) reader.fail("adapters", "must be an array");
    for (std::size_t i = 0; i < it->size(); ++i) {
      const std::string where = "adapters[" + std::to_string(i) + "]";
      AdapterConfig conf = reader.adapter((*it)[i], where);
      for (const AdapterConfig& other : profile.adapters)
        if (other.bus == conf.bus && other.device == conf.device && other.function == conf.function)
          reader.fail(where, "slot already taken by another adapter");
      profile.adapters.push_back(std::move(conf));
    }
  }
  if (auto it = root.find("translate_to_io"); it != root.end()) {
    if (!it->is_array()) reader.fail("translate_to_io", "must be an array");
    for (std::size_t i = 0; i < it->size(); ++i) {
      const std::string where = "translate_to_io[" + std::to_string(i) + "]";
      const json& j = (*it)[i];
      reader.only_keys(j, where, {"bus", "start", "size", "io_base"});
      IoTranslation range;
      range.bus = static_cast<std::uint32_t>(reader.field(j, "bus", where, 255, 0));
      range.start = reader.field(j, "start", where, 0xFFFFFFFF, 0, true);
      range.size = reader.field(j, "size", where, 0x100000000ull - range.start, 0, true);
      if (range.size == 0) reader.fail(where + ".size", "must not be 0");
      range.io_base = reader.field(j, "io_base", where, 0xFFFFFFFF, range.start);
      profile.translate_to_io.push_back(range);
    }
  }
  if (auto it = root.find("faults"); it != root.end()) {
    if (!it->is_object()) reader.fail("faults", "must be an object of fault names");
    for (auto f = it->begin(); f != it->end(); ++f) profile.faults.push_back(reader.fault(f.key(), f.value(), "faults." + f.key()));
  }
  if (auto it = root.find("client"); it != root.end()) {
    if (!it->is_object()) reader.fail("client", "must be an object");
    reader.only_keys(*it, "client", {"admin"});
    if (auto admin = it->find("admin"); admin != it->end()) {
      if (!admin->is_boolean()) reader.fail("client.admin", "must be true or false");
      profile.client_admin = admin->get<bool>();
    }
  }
  return profile;
}

MachineProfile load_profile_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path.string() + ": cannot open the profile");
  std::ostringstream text;
  text << in.rdbuf();
  return parse_profile(text.str(), path.string());
}

std::string default_profile_json() {
  return R"({
  "comment": "One 10/100 adapter in PCI bus 0, device 3, as the firmware of a desktop leaves it.",
  "buses": [0],
  "adapters": [
    { "bus": 0, "device": 3, "function": 0, "vendor": "0x8086", "device_id": "0x1229",
      "bars": [ { "type": "memory", "size": "0x1000", "address": "0xF4000000" },
                { "type": "io", "size": "0x40", "address": "0xE000" } ],
      "irq": 11,
      "eeprom": { "words": 64, "address_bits": 6,
                  "contents": [ "0x0002", "0x494E", "0x0143", "0x0000", "0x0000", "0x0201", "0x4701", "0x0000" ] },
      "phys": { "1": {} } }
  ],
  "translate_to_io": [],
  "faults": {}
}
)";
}

}  // namespace sim::hw
