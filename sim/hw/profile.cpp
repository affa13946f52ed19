#include "sim/hw/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <limits>
#include <sstream>
#include <set>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

namespace sim::hw {
namespace {

using nlohmann::json;

// Deepest nesting of arrays and objects a profile may use; the real ones
// need four levels.
constexpr std::size_t kMaxDepth = 32;

// The escape at text[i] ('\\' there) as the JSON reader decodes it, appended
// to `out`; i ends on its last character. \uXXXX becomes UTF-8 (a pair of
// surrogates one character), so that keys compare as the reader sees them.
void append_escape(std::string_view text, std::size_t& i, std::string& out) {
  const char e = text[++i];
  auto hex4 = [&](std::size_t at) -> long {
    if (at + 4 > text.size()) return -1;
    long v = 0;
    for (std::size_t k = at; k < at + 4; ++k) {
      const char h = text[k];
      const int d = h >= '0' && h <= '9'   ? h - '0'
                    : h >= 'a' && h <= 'f' ? h - 'a' + 10
                    : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                           : -1;
      if (d < 0) return -1;
      v = v * 16 + d;
    }
    return v;
  };
  switch (e) {
    case 'b': out += '\b'; return;
    case 'f': out += '\f'; return;
    case 'n': out += '\n'; return;
    case 'r': out += '\r'; return;
    case 't': out += '\t'; return;
    case 'u': break;
    default: out += e; return;
  }
  long u = hex4(i + 1);
  if (u < 0) {
    out += e;  // malformed: the JSON reader refuses it later
    return;
  }
  i += 4;
  if (u >= 0xD800 && u <= 0xDBFF && i + 2 < text.size() && text[i + 1] == '\\' && text[i + 2] == 'u') {
    const long low = hex4(i + 3);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
      i += 6;
    }
  }
  if (u < 0x80) {
    out += static_cast<char>(u);
  } else if (u < 0x800) {
    out += static_cast<char>(0xC0 | (u >> 6));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else if (u < 0x10000) {
    out += static_cast<char>(0xE0 | (u >> 12));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (u >> 18));
    out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  }
}

// Line of every value of a profile, by its path as the reader names it
// ("adapters[0].bars[1].size"; for a member, the line of its key). The scan
// is iterative and bounded, so it runs before the JSON parser and refuses
// nesting deeper than kMaxDepth with the line where it happens.
class LineIndex {
 public:
  LineIndex(std::string_view text, const std::string& source) {
    struct Frame {
      bool array;
      std::size_t index;
      std::string path;
      std::string key;
      bool expect_key;
      std::set<std::string> keys;  // the object's keys so far
    };
    std::vector<Frame> stack;
    int line = 1;
    auto value_path = [&]() -> std::string {
      if (stack.empty()) return "";
      Frame& f = stack.back();
      if (f.array) return f.path + "[" + std::to_string(f.index) + "]";
      return f.path.empty() ? f.key : f.path + "." + f.key;
    };
    auto record = [&](int at) {
      const std::string path = value_path();
      if (!path.empty() && !lines_.count(path)) lines_[path] = at;
    };
    int key_line = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '\n') {
        ++line;
      } else if (c == '"') {
        std::string token;
        const int start = line;
        for (++i; i < text.size() && text[i] != '"'; ++i) {
          if (text[i] == '\\' && i + 1 < text.size()) {
            append_escape(text, i, token);
            continue;
          }
          if (text[i] == '\n') ++line;
          token += text[i];
        }
        if (!stack.empty() && !stack.back().array && stack.back().expect_key) {
          // The JSON reader would keep the last of two equal keys without a
          // word: a profile that gives one twice is refused.
          if (!stack.back().keys.insert(token).second) {
            const Frame& f = stack.back();
            throw std::runtime_error(source + ":" + std::to_string(start) + ": " +
                                     (f.path.empty() ? token : f.path + "." + token) + ": duplicate key \"" + token +
                                     "\"");
          }
          stack.back().key = token;
          stack.back().expect_key = false;
          key_line = start;
        } else {
          record(stack.empty() || stack.back().array ? start : key_line);
        }
      } else if (c == '{' || c == '[') {
        record(stack.empty() || stack.back().array ? line : key_line);
        if (stack.size() >= kMaxDepth)
          throw std::runtime_error(source + ":" + std::to_string(line) + ": nested deeper than " +
                                   std::to_string(kMaxDepth) + " levels");
        std::string path = value_path();
        stack.push_back({c == '[', 0, path, "", c == '{', {}});
      } else if (c == '}' || c == ']') {
        if (!stack.empty()) stack.pop_back();
      } else if (c == ',') {
        if (!stack.empty()) {
          if (stack.back().array) ++stack.back().index;
          else stack.back().expect_key = true;
        }
      } else if (c != ' ' && c != '\t' && c != '\r' && c != ':') {
        // A number or a literal: record it once, then skip the rest of it.
        record(stack.empty() || stack.back().array ? line : key_line);
        while (i + 1 < text.size() && std::string_view(",]} \t\r\n").find(text[i + 1]) == std::string_view::npos) ++i;
      }
    }
  }

  // The line of `where`, or of the nearest enclosing value that has one; 0
  // when none is known.
  int line_of(std::string where) const {
    while (!where.empty()) {
      if (auto it = lines_.find(where); it != lines_.end()) return it->second;
      const std::size_t cut = where.find_last_of(".[");
      if (cut == std::string::npos) break;
      where.resize(cut);
    }
    return 0;
  }

 private:
  std::map<std::string, int> lines_;
};

// Line of a byte offset of the text (1 for the first line).
int line_at(std::string_view text, std::size_t byte) {
  int line = 1;
  for (std::size_t i = 0; i < byte && i < text.size(); ++i)
    if (text[i] == '\n') ++line;
  return line;
}

// What a key of an object may hold.
enum class Kind { number, string, boolean, array, object, any };

struct KeySpec {
  const char* name;
  Kind kind;
};

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::number: return "a number or a numeric string";
    case Kind::string: return "a string";
    case Kind::boolean: return "true or false";
    case Kind::array: return "an array";
    case Kind::object: return "an object";
    case Kind::any: return "a value";
  }
  return "a value";
}

bool has_kind(const json& j, Kind kind) {
  switch (kind) {
    case Kind::number: return j.is_number() || j.is_string();
    case Kind::string: return j.is_string();
    case Kind::boolean: return j.is_boolean();
    case Kind::array: return j.is_array();
    case Kind::object: return j.is_object();
    case Kind::any: return true;
  }
  return false;
}

// The keys each object of a profile may carry. A key not listed is refused,
// so a misspelt key never passes silently; add new keys here.
const std::vector<KeySpec> kRootKeys = {{"buses", Kind::array},
                                        {"adapters", Kind::array},
                                        {"translate_to_io", Kind::array},
                                        {"faults", Kind::object},
                                        {"comment", Kind::string},
                                        {"bios_image", Kind::string},
                                        {"client", Kind::object}};
const std::vector<KeySpec> kClientKeys = {{"admin", Kind::boolean}};
const std::vector<KeySpec> kAdapterKeys = {
    {"bus", Kind::number},          {"device", Kind::number},        {"function", Kind::number},
    {"vendor", Kind::number},       {"device_id", Kind::number},     {"revision", Kind::number},
    {"subsystem_vendor", Kind::number}, {"subsystem_id", Kind::number}, {"bars", Kind::array},
    {"irq", Kind::number},          {"eeprom", Kind::object},        {"phys", Kind::object},
    {"comment", Kind::string}};
const std::vector<KeySpec> kBarKeys = {{"type", Kind::string}, {"size", Kind::number}, {"address", Kind::number}};
const std::vector<KeySpec> kEepromKeys = {
    {"words", Kind::number},         {"address_bits", Kind::number}, {"contents", Kind::array},
    {"file", Kind::string},          {"program_time_us", Kind::number}, {"never_ready", Kind::boolean},
    {"do_stuck_high", Kind::boolean}, {"do_stuck_low", Kind::boolean}, {"save", Kind::boolean}};
const std::vector<KeySpec> kTranslationKeys = {
    {"bus", Kind::number}, {"start", Kind::number}, {"size", Kind::number}, {"io_base", Kind::number}};
const std::vector<KeySpec> kFaultKeys = {{"skip", Kind::number}, {"count", Kind::any}, {"status", Kind::number}};

class Reader {
 public:
  Reader(std::string_view source, const LineIndex& lines) : source_(source), lines_(lines) {}

  [[noreturn]] void fail(const std::string& where, const std::string& what) const {
    const int line = lines_.line_of(where);
    throw std::runtime_error(source_ + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + where +
                             ": " + what);
  }

  // Refuses keys the table does not list and values of the wrong kind.
  void check_keys(const json& object, const std::string& where, const std::vector<KeySpec>& keys) const {
    if (!object.is_object()) fail(where, "must be an object");
    for (auto it = object.begin(); it != object.end(); ++it) {
      const std::string at = where == "profile" ? it.key() : where + "." + it.key();
      const KeySpec* known = nullptr;
      for (const KeySpec& k : keys)
        if (it.key() == k.name) known = &k;
      if (known == nullptr) {
        std::string known;
        for (const KeySpec& k : keys) known += (known.empty() ? "" : ", ") + std::string(k.name);
        fail(at, "unknown key \"" + it.key() + "\" (known: " + known + ")");
      }
      if (!has_kind(it.value(), known->kind)) fail(at, std::string("must be ") + kind_name(known->kind));
    }
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
      } catch (const std::out_of_range&) {
        fail(where, "\"" + text + "\" is out of range (at most " + std::to_string(max) + ")");
      } catch (const std::exception&) {
        fail(where, "\"" + text + "\" is not a number");
      }
      if (used != text.size() || text.empty() || text[0] == '-') fail(where, "\"" + text + "\" is not a number");
    } else if (j.is_number_float()) {
      fail(where, "must be a whole number");
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

  BarConfig bar(const json& j, const std::string& where) const {
    check_keys(j, where, kBarKeys);
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
    check_keys(j, where, kAdapterKeys);
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
      check_keys(*eeprom, where + ".eeprom", kEepromKeys);
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
    check_keys(j, where, kFaultKeys);
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
  const LineIndex& lines_;
};

}  // namespace

MachineProfile parse_profile(std::string_view text, std::string_view source_name,
                             const std::function<bool(const std::string&)>& known_fault) {
  const LineIndex lines(text, std::string(source_name));
  Reader reader(source_name, lines);
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& error) {
    throw std::runtime_error(std::string(source_name) + ":" + std::to_string(line_at(text, error.byte)) +
                             ": not valid JSON: " + error.what());
  }
  reader.check_keys(root, "profile", kRootKeys);
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
      reader.check_keys(j, where, kTranslationKeys);
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
    reader.check_keys(*it, "client", kClientKeys);
    if (auto admin = it->find("admin"); admin != it->end()) profile.client_admin = admin->get<bool>();
  }
  return profile;
}

std::string read_input_file(const std::filesystem::path& path, std::uintmax_t max_bytes, const char* what) {
  // Opened without waiting, then checked on the descriptor: a FIFO does not
  // block the open, and a file swapped for something else between a check
  // of the name and the open cannot slip through.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    throw std::runtime_error(path.string() + ": cannot open the " + what + ": " +
                             (error == ENOENT ? std::string("no such file") : std::strerror(error)));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info;
  if (::fstat(fd, &info) != 0)
    throw std::runtime_error(path.string() + ": cannot read the " + what + ": " + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) throw std::runtime_error(path.string() + ": the " + what + " is not a regular file");
  const auto size = static_cast<std::uintmax_t>(info.st_size);
  if (size > max_bytes)
    throw std::runtime_error(path.string() + ": the " + what + " is larger than " + std::to_string(max_bytes) +
                             " bytes");
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error(path.string() + ": cannot read the " + what + ": " + std::strerror(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got != size) throw std::runtime_error(path.string() + ": the " + what + " changed while it was read");
  text.resize(got);
  return text;
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
