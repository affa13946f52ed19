// The keys a machine profile may hold, with their types and ranges, and the
// JSON reader that remembers the line of every key so that an error can
// name it. A key that is not in the table, a value of the wrong type or a
// number out of range is refused; nothing is cut or ignored silently.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim::win32 {

// Deepest nesting of objects and lists a profile may use.
inline constexpr int kMaxProfileDepth = 32;

struct ProfileField {
  enum Kind { Bool, Text, Number, Object, List, Custom };
  std::string name;
  Kind kind = Text;
  std::uint64_t min = 0, max = 0xFFFFFFFFu;  // Number: the accepted range
  bool required = false;                      // inside an object: must be given
  std::vector<ProfileField> fields;           // Object: its keys; List: fields[0] describes each item
  // Custom: returns what is wrong, or "" when the value is good.
  std::string (*check)(const nlohmann::json& value) = nullptr;
};

// JSON text read with the line of every value, keyed by its JSON pointer
// ("/netcfg/adapters/0/id").
struct LocatedJson {
  nlohmann::json data;
  std::map<std::string, int> lines;
  int line_of(const std::string& pointer) const;  // 0 when unknown
};

// Parses JSON; throws InputError "<source>:<line>: ..." for malformed text or
// nesting deeper than `max_depth`.
LocatedJson parse_located_json(const std::string& text, const std::string& source, int max_depth);

// The table of top-level profile keys.
const std::vector<ProfileField>& profile_fields();

// Checks a profile against the table; throws InputError
// "<source>:<line>: <key path>: <what>".
void check_profile(const LocatedJson& json, const std::string& source);

// "netcfg.adapters[0].id" -> "/netcfg/adapters/0/id".
std::string pointer_of(const std::string& dotted);

}  // namespace sim::win32
