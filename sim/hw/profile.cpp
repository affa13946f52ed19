#include "sim/hw/profile.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <system_error>

#include "sim/common/input_file.h"
#include "sim/common/profile_schema.h"

namespace sim::hw {
namespace {

using nlohmann::json;
using schema::Key;
using schema::Problem;
using schema::TextFault;

// ---- the words of this kind of profile's errors: "<where>: <what>" ----------

const char* type_name(schema::Type type) {
  switch (type) {
    case schema::Type::numeric: return "a number or a numeric string";
    case schema::Type::text: return "a string";
    case schema::Type::boolean: return "true or false";
    case schema::Type::list: return "an array";
    case schema::Type::object: return "an object";
    default: return "a value";
  }
}

std::string what_is_wrong(const Problem& p) {
  const std::string at_most = " is out of range (at most " + std::to_string(p.key ? p.key->max : 0) + ")";
  switch (p.what) {
    case Problem::not_object: return "must be an object";
    case Problem::unknown_key: return "unknown key \"" + p.name + "\" (known: " + schema::key_names(*p.known) + ")";
    case Problem::missing_key: return "missing \"" + p.name + "\"";
    case Problem::wrong_type: return std::string("must be ") + type_name(p.key->type);
    case Problem::negative: return "must not be negative";
    case Problem::fraction: return "must be a whole number";
    case Problem::not_a_number: return "\"" + p.value->get<std::string>() + "\" is not a number";
    case Problem::overflow: return "\"" + p.value->get<std::string>() + "\"" + at_most;
    case Problem::out_of_range: return std::to_string(p.number) + at_most;
    case Problem::custom: return p.detail;
  }
  return "is wrong";
}

std::string word(const Problem& p) { return (p.path.empty() ? "profile" : p.path) + ": " + what_is_wrong(p); }

std::string word_text(const TextFault& fault, const std::string& text) {
  switch (fault.what) {
    case TextFault::duplicate_key:
      return std::to_string(fault.line) + ": " + fault.path + ": duplicate key \"" + fault.key + "\"";
    case TextFault::too_deep:
      return std::to_string(fault.line) + ": nested deeper than " + std::to_string(schema::kMaxDepth) + " levels";
    case TextFault::malformed: break;
  }
  // The line of the byte where the parser stopped.
  const std::size_t end = std::min(fault.byte, text.size());
  const int line =
      1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
  return std::to_string(line) + ": not valid JSON: " + fault.message;
}

// Errors are "<where>: <what>", checked key by key: whether each key of an
// object is known and of its type, then the values in the table's order.
// An error about the whole profile names no line.
const schema::Dialect kDialect{word, word_text, true, false};

// ---- the keys ----------------------------------------------------------------------

// The keys each object of a profile may carry. A key not listed is refused,
// so a misspelt key never passes silently; a new key is a row here. A row
// with a range and a member is read into that member; the others are read
// by the code below, which checks what a row cannot say.
const std::vector<Key> kRootKeys = {schema::list("buses"),    schema::list("adapters"), schema::list("translate_to_io"),
                                    schema::object("faults"), schema::text("comment"),  schema::text("bios_image"),
                                    schema::object("client")};
const std::vector<Key> kClientKeys = {schema::flag("admin")};
const std::vector<Key> kAdapterKeys = {schema::numeric("bus", 255, &AdapterConfig::bus),
                                       schema::numeric("device", 31, &AdapterConfig::device),
                                       schema::numeric("function", 7, &AdapterConfig::function),
                                       schema::numeric("vendor", 0xFFFE, &AdapterConfig::vendor),
                                       schema::numeric("device_id", 0xFFFF, &AdapterConfig::device_id),
                                       schema::numeric("revision", 0xFF, &AdapterConfig::revision),
                                       schema::numeric("subsystem_vendor", 0xFFFF, &AdapterConfig::subsystem_vendor),
                                       schema::numeric("subsystem_id", 0xFFFF, &AdapterConfig::subsystem_id),
                                       schema::list("bars"),  // required, at most 6: see adapter()
                                       schema::numeric("irq", 255, &AdapterConfig::irq),
                                       schema::object("eeprom"),
                                       schema::object("phys"),
                                       schema::text("comment")};
const std::vector<Key> kBarKeys = {schema::text("type"), schema::numeric("size"), schema::numeric("address")};
const std::vector<Key> kEepromKeys = {
    schema::numeric("words"),      schema::numeric("address_bits"),    schema::list("contents"),
    schema::text("file"),          schema::numeric("program_time_us"), schema::flag("never_ready"),
    schema::flag("do_stuck_high"), schema::flag("do_stuck_low"),       schema::flag("save")};
const std::vector<Key> kTranslationKeys = {schema::numeric("bus"), schema::numeric("start"), schema::numeric("size"),
                                           schema::numeric("io_base")};
const std::vector<Key> kFaultKeys = {schema::numeric("skip"), schema::anything("count"), schema::numeric("status")};

class Reader : public schema::Checker {
 public:
  Reader(const schema::LocatedJson& json, const std::string& source)
      : Checker(json, source, kDialect), source_(source) {}

  [[noreturn]] void fail(const std::string& where, const std::string& what) const {
    Checker::fail(where, where + ": " + what);
  }

  std::uint64_t number(const json& j, const std::string& where, std::uint64_t max) const {
    return Checker::number(j, max, where);
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

  BarConfig bar(const json& j, const std::string& where) const {
    object(j, kBarKeys, where);
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
    AdapterConfig conf;
    object(j, kAdapterKeys, where, &conf);
    auto bars = j.find("bars");
    if (bars == j.end()) fail(where, "missing \"bars\"");
    if (!bars->is_array() || bars->size() > 6) fail(where + ".bars", "must be an array of at most 6 BARs");
    for (std::size_t i = 0; i < bars->size(); ++i)
      conf.bars.push_back(bar((*bars)[i], where + ".bars[" + std::to_string(i) + "]"));
    if (auto eeprom = j.find("eeprom"); eeprom != j.end()) {
      object(*eeprom, kEepromKeys, where + ".eeprom");
      if (auto contents = eeprom->find("contents"); contents != eeprom->end())
        for (std::size_t i = 0; i < contents->size(); ++i)
          number((*contents)[i], where + ".eeprom.contents[" + std::to_string(i) + "]", 0xFFFF);
      try {
        conf.eeprom = eeprom_config_from_json(*eeprom, base_dir());
      } catch (const std::exception& error) {
        fail(where + ".eeprom", error.what());
      }
    }
    if (auto phys = j.find("phys"); phys != j.end()) {
      for (auto p = phys->begin(); p != phys->end(); ++p) {
        const std::string at = where + ".phys." + p.key();
        if (!p.value().is_null() && !p.value().is_object()) fail(at, "must be an object of registers, or null");
        if (p.value().is_object())
          for (auto r = p.value().begin(); r != p.value().end(); ++r) {
            if (r.key() == "never_ready") {
              if (!r.value().is_boolean()) fail(at + ".never_ready", "must be true or false");
            } else if (r.key() == "reset_time_us") {
              number(r.value(), at + ".reset_time_us", Phy::kMaxResetTimeNs / 1000);
            } else if (r.key() == "autoneg_time_us") {
              number(r.value(), at + ".autoneg_time_us", 60'000'000);
            } else {
              number(r.value(), at + "." + r.key(), 0xFFFF);
            }
          }
      }
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
    object(j, kFaultKeys, where);
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

// Two BARs of one kind that decode the same address would both answer an
// access (PCI Local Bus Specification 3.0, 6.2.5: a BAR claims its range
// for its function alone), so a machine whose windows overlap, within one
// adapter or between two, is refused at the later BAR. Unassigned BARs
// (address 0) decode nothing.
void check_windows_apart(const Reader& reader, const std::vector<AdapterConfig>& adapters) {
  struct Window {
    std::size_t adapter, bar;
    const BarConfig* conf;
  };
  std::vector<Window> seen;
  for (std::size_t a = 0; a < adapters.size(); ++a)
    for (std::size_t b = 0; b < adapters[a].bars.size(); ++b) {
      const BarConfig& conf = adapters[a].bars[b];
      if (conf.address == 0) continue;
      const std::uint64_t start = conf.address, end = start + conf.size;
      for (const Window& other : seen) {
        if (other.conf->type != conf.type) continue;
        const std::uint64_t other_start = other.conf->address, other_end = other_start + other.conf->size;
        if (start >= other_end || other_start >= end) continue;
        char range[64];
        std::snprintf(range, sizeof range, "0x%llX-0x%llX", static_cast<unsigned long long>(other_start),
                      static_cast<unsigned long long>(other_end - 1));
        reader.fail("adapters[" + std::to_string(a) + "].bars[" + std::to_string(b) + "].address",
                    std::string(conf.type == BarType::Io ? "I/O" : "memory") + " window overlaps adapters[" +
                        std::to_string(other.adapter) + "].bars[" + std::to_string(other.bar) + "] (" + range +
                        "): two functions would answer the same address");
      }
      seen.push_back({a, b, &conf});
    }
}

// translate_to_io ranges of one bus that overlap would give one bus address
// two translations.
void check_translations_apart(const Reader& reader, const std::vector<IoTranslation>& ranges) {
  for (std::size_t i = 0; i < ranges.size(); ++i)
    for (std::size_t j = 0; j < i; ++j) {
      const IoTranslation &a = ranges[i], &b = ranges[j];
      if (a.bus != b.bus || a.start >= b.start + b.size || b.start >= a.start + a.size) continue;
      reader.fail("translate_to_io[" + std::to_string(i) + "].start",
                  "overlaps translate_to_io[" + std::to_string(j) + "] on bus " + std::to_string(a.bus));
    }
}

}  // namespace

MachineProfile parse_profile(std::string_view text, std::string_view source_name,
                             const std::function<bool(const std::string&)>& known_fault) {
  const std::string source(source_name);
  const schema::LocatedJson located = schema::read_located(std::string(text), source, kDialect);
  const json& root = located.data;
  const Reader reader(located, source);
  reader.object(root, kRootKeys, "");
  MachineProfile profile;
  if (auto it = root.find("buses"); it != root.end()) {
    if (!it->is_array()) reader.fail("buses", "must be an array");
    for (std::size_t i = 0; i < it->size(); ++i)
      profile.buses.push_back(
          static_cast<std::uint32_t>(reader.number((*it)[i], "buses[" + std::to_string(i) + "]", 255)));
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
    check_windows_apart(reader, profile.adapters);
    // Two parts saved into one image would each overwrite the other's words.
    for (std::size_t a = 0; a < profile.adapters.size(); ++a)
      for (std::size_t b = 0; b < a; ++b)
        if (!profile.adapters[a].eeprom.save_path.empty() &&
            profile.adapters[a].eeprom.save_path == profile.adapters[b].eeprom.save_path)
          reader.fail(
              "adapters[" + std::to_string(a) + "].eeprom.file",
              "the image adapters[" + std::to_string(b) + "] saves too: each would overwrite the other's words");
  }
  if (auto it = root.find("translate_to_io"); it != root.end()) {
    if (!it->is_array()) reader.fail("translate_to_io", "must be an array");
    for (std::size_t i = 0; i < it->size(); ++i) {
      const std::string where = "translate_to_io[" + std::to_string(i) + "]";
      const json& j = (*it)[i];
      reader.object(j, kTranslationKeys, where);
      IoTranslation range;
      range.bus = static_cast<std::uint32_t>(reader.field(j, "bus", where, 255, 0));
      range.start = reader.field(j, "start", where, 0xFFFFFFFF, 0, true);
      range.size = reader.field(j, "size", where, 0x100000000ull - range.start, 0, true);
      if (range.size == 0) reader.fail(where + ".size", "must not be 0");
      range.io_base = reader.field(j, "io_base", where, 0xFFFFFFFF, range.start);
      profile.translate_to_io.push_back(range);
    }
    check_translations_apart(reader, profile.translate_to_io);
  }
  if (auto it = root.find("faults"); it != root.end()) {
    if (!it->is_object()) reader.fail("faults", "must be an object of fault names");
    for (auto f = it->begin(); f != it->end(); ++f) {
      if (known_fault && !known_fault(f.key())) reader.fail("faults." + f.key(), "unknown fault \"" + f.key() + "\"");
      profile.faults.push_back(reader.fault(f.key(), f.value(), "faults." + f.key()));
    }
  }
  if (auto it = root.find("bios_image"); it != root.end()) {
    if (!it->is_string() || it->get<std::string>().empty()) reader.fail("bios_image", "must be a file name");
    std::filesystem::path image = it->get<std::string>();
    if (image.is_relative()) image = reader.base_dir() / image;
    std::error_code error;
    const auto size = std::filesystem::file_size(image, error);
    if (error) reader.fail("bios_image", "cannot read '" + image.string() + "': " + error.message());
    if (size != 0x100000)
      reader.fail("bios_image", "'" + image.string() + "' is " + std::to_string(size) +
                                    " bytes; an image of physical 0x00000-0xFFFFF is 1048576");
    profile.bios_image = image;
  }
  if (auto it = root.find("client"); it != root.end()) {
    reader.object(*it, kClientKeys, "client");
    if (auto admin = it->find("admin"); admin != it->end()) profile.client_admin = admin->get<bool>();
  }
  return profile;
}

MachineProfile load_profile_file(const std::filesystem::path& path,
                                 const std::function<bool(const std::string&)>& known_fault) {
  return parse_profile(read_input_file(path, kMaxProfileBytes, "profile"), path.string(), known_fault);
}

std::vector<std::uint16_t> default_eeprom_image() {
  // A 64-word image laid out as this adapter family's EEPROM: the MAC
  // address in words 0-2 (low byte first, a locally administered address),
  // the controller and PHY records in words 5 and 6, the subsystem ID in
  // word 0x0B and the subsystem vendor in word 0x0C, matching the PCI header,
  // and in the last word the value that makes all 64 words sum to 0xBABA.
  std::vector<std::uint16_t> words(64, 0x0000);
  words[0] = 0x0002;
  words[1] = 0x494E;
  words[2] = 0x0143;
  words[5] = 0x0201;
  words[6] = 0x4701;
  words[0x0B] = 0x0001;
  words[0x0C] = 0x8086;
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < words.size(); ++i) sum = static_cast<std::uint16_t>(sum + words[i]);
  words.back() = static_cast<std::uint16_t>(kEepromChecksumTarget - sum);
  return words;
}

std::string default_profile_json() {
  std::string contents;
  char word[12];
  for (std::uint16_t w : default_eeprom_image()) {
    std::snprintf(word, sizeof word, "%s\"0x%04X\"", contents.empty() ? "" : ", ", w);
    contents += word;
  }
  return R"({
  "comment": "One 10/100 adapter in PCI bus 0, device 3, as the firmware of a desktop leaves it.",
  "buses": [0],
  "adapters": [
    { "bus": 0, "device": 3, "function": 0, "vendor": "0x8086", "device_id": "0x1229",
      "subsystem_vendor": "0x8086", "subsystem_id": "0x0001",
      "bars": [ { "type": "memory", "size": "0x1000", "address": "0xF4000000" },
                { "type": "io", "size": "0x40", "address": "0xE000" } ],
      "irq": 11,
      "eeprom": { "words": 64, "address_bits": 6, "contents": [ )" +
         contents + R"( ] },
      "phys": { "1": {} } }
  ],
  "translate_to_io": [],
  "faults": {}
}
)";
}

}  // namespace sim::hw
