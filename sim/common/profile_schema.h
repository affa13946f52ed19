// Profiles of the simulated machines: JSON read with the line of every value,
// and tables that declare the keys a profile may hold. A key is declared
// once, as a row: its name, its type, its range or whether it is required,
// the keys of an object or the items of a list, and where a number goes.
// A key that is not declared, a value of the wrong type and a number out of
// range are refused with the file and the line; nothing is cut or ignored
// silently.
//
// Each kind of profile keeps its own words and order for what is wrong (a
// Dialect): the Windows machine's profiles and the hardware profiles word
// their errors differently, and each keeps its words.
#pragma once
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim::schema {

using json = nlohmann::json;

// Deepest nesting of objects and lists a profile may use.
inline constexpr int kMaxDepth = 32;

// ---- JSON text with the line of every value -------------------------------------

// The lines are keyed by the value's path as errors name it: "" for the
// whole text, "adapters[0].irq" for a member of a list's object. A member's
// line is the line of its key.
struct LocatedJson {
  json data;
  std::map<std::string, int> lines;
  int line_of(const std::string& path) const;  // 0 when unknown
};

// What is wrong with the text itself.
struct TextFault {
  enum What { malformed, too_deep, duplicate_key } what = malformed;
  int line = 0;          // too_deep, duplicate_key: the line it was found on
  std::size_t byte = 0;  // malformed: where the parser stopped
  std::string message;   // malformed: the parser's own message
  std::string path;      // duplicate_key: the member given twice ("adapters[1].irq")
  std::string key;       // duplicate_key: its name
};

// Parses `text` into `out`; false (and `fault` filled in) when the text is
// malformed, nests deeper than kMaxDepth or gives a key twice in one object
// (the JSON library would keep the last of the two without a word).
bool parse_located(const std::string& text, LocatedJson& out, TextFault& fault);

// ---- the keys of a profile --------------------------------------------------------

enum class Type {
  boolean,  // true or false
  text,     // a string
  whole,    // a JSON whole number from min to max
  numeric,  // a whole number up to max, as a JSON number or a string in C notation ("0x1F")
  list,     // a list; fields[0], when given, describes each item
  object,   // an object; fields, when given, are its keys
  custom,   // check() says what is wrong
  any,      // anything; the reader's own code looks at it
};

struct Key {
  std::string name;
  Type type = Type::text;
  std::uint64_t min = 0, max = std::numeric_limits<std::uint64_t>::max();
  bool required = false;                              // inside an object: must be given
  std::vector<Key> fields;                            // object: its keys; list: fields[0] describes each item
  std::string (*check)(const json& value) = nullptr;  // custom: what is wrong, "" when good
  // numeric: where the value goes, in the object the table is read into.
  std::function<void(void* into, std::uint64_t value)> store;
};

// Rows of a table.
Key flag(const char* name);
Key text(const char* name, bool required = false);
Key whole(const char* name, std::uint64_t min, std::uint64_t max);
Key custom(const char* name, std::string (*check)(const json&));
Key object(const char* name, std::vector<Key> fields = {});
Key list(const char* name);
Key list(const char* name, Key item);
Key anything(const char* name);
// A numeric key without a range or a place: its type alone is checked.
Key numeric(const char* name);
// A numeric key up to `max` read into `member` of the table's object.
template <class Into, class Member>
Key numeric(const char* name, std::uint64_t max, Member Into::*member, bool required = false) {
  Key k = numeric(name);
  k.max = max;
  k.required = required;
  k.store = [member](void* into, std::uint64_t value) {
    static_cast<Into*>(into)->*member = static_cast<Member>(value);
  };
  return k;
}

// ---- checking a profile against a table ------------------------------------------

// One thing wrong with a value, for the dialect to put into words.
struct Problem {
  enum What {
    not_object,    // where an object belongs
    unknown_key,   // `name` is not declared here (`known`)
    missing_key,   // the required `name` is not given
    wrong_type,    // the value is not of the key's type
    negative,      // a number below 0
    fraction,      // a number with a fraction
    not_a_number,  // a string that does not spell a number
    overflow,      // a string whose number does not fit 64 bits
    out_of_range,  // `number` is outside the key's range
    custom,        // `detail` says what check() found
  } what;
  std::string path;                         // the value, dotted: "" for the whole profile, "adapters[0].irq"
  std::string name;                         // unknown_key, missing_key: the key
  const Key* key = nullptr;                 // the value's row, where it has one
  const std::vector<Key>* known = nullptr;  // unknown_key: the keys of this object
  const json* value = nullptr;
  std::uint64_t number = 0;  // out_of_range
  std::string detail;        // custom
};

// How one kind of profile words and orders its errors.
struct Dialect {
  std::string (*word)(const Problem&);
  // The words for a fault of the text, with the line it is on: "12: what".
  std::string (*word_text)(const TextFault&, const std::string& text);
  // An object's keys are all checked for being known and of their type
  // before any value's range or contents, which then go in the table's
  // order; otherwise each key is checked whole in the object's order.
  bool types_first = false;
  // An error about the whole profile names the line where it starts.
  bool root_has_line = true;
};

// Reading one profile: its source for the messages, its lines, its dialect.
class Checker {
 public:
  Checker(const LocatedJson& json, std::string source, const Dialect& dialect)
      : json_(json), source_(std::move(source)), dialect_(dialect) {}

  // Checks `v` (at the dotted `path`) against the keys of a table, storing
  // numeric values into `into` where their rows say.
  void object(const json& v, const std::vector<Key>& keys, const std::string& path, void* into = nullptr) const;
  // Checks `v` against one row.
  void value(const json& v, const Key& key, const std::string& path, void* into = nullptr) const;
  // A numeric value up to `max`.
  std::uint64_t number(const json& v, std::uint64_t max, const std::string& path) const;

  // Throws InputError "<source>[:<line>]: <message>"; the line is that of
  // `path`, or of the nearest enclosing value that has one.
  [[noreturn]] void fail(const Problem& problem) const;
  [[noreturn]] void fail(const std::string& path, const std::string& message) const;

 private:
  int line_of_path(std::string path) const;

  const LocatedJson& json_;
  std::string source_;
  const Dialect& dialect_;
};

// Parses a profile's text with `dialect`'s words for a malformed text:
// throws InputError "<source>:<line>: <what>".
LocatedJson read_located(const std::string& text, const std::string& source, const Dialect& dialect);

// The whole of `text` as an unsigned number: base 0 takes decimal digits
// ("31", and "010" is ten: never octal) or hexadecimal after "0x" ("0x1F"),
// base 16 hexadecimal with or without "0x", base 10 decimal. No sign, no
// blanks. Nothing when the text is empty, is not such a number throughout or
// does not fit 64 bits.
std::optional<std::uint64_t> whole_number(const std::string& text, int base);

// "a list", "an object", "a string": a value's type in a sentence.
std::string a_type(const json& v);
// "a, b, c": the names of a table's keys.
std::string key_names(const std::vector<Key>& keys);

}  // namespace sim::schema
