#include "sim/common/profile_schema.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <stdexcept>

#include "sim/common/input_file.h"

namespace sim::schema {

namespace {

// ---- reading JSON with the line of every value ------------------------------

// Where the parser is: the line, and the last character it stepped over.
struct Position {
  int line = 1;
  char last = '\0';
};

// A character iterator that counts the line breaks it steps over, so that
// the parser's events can be given the line they were read on.
struct CountingIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* at = nullptr;
  Position* position = nullptr;

  reference operator*() const { return *at; }
  CountingIterator& operator++() {
    if (*at == '\n') ++position->line;
    position->last = *at;
    ++at;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at == other.at; }
  bool operator!=(const CountingIterator& other) const { return at != other.at; }
};

std::string member(const std::string& path, const std::string& name) { return path.empty() ? name : path + "." + name; }

// Builds the document as the library's own reader does and notes, for each
// value, its path and the line it started on.
class LocatingReader : public nlohmann::detail::json_sax_dom_parser<json> {
  using Base = nlohmann::detail::json_sax_dom_parser<json>;

 public:
  LocatingReader(json& root, const Position& position, std::map<std::string, int>& lines, TextFault& fault)
      : Base(root, false), position_(position), lines_(lines), fault_(fault) {}

  bool null() { return value() && Base::null(); }
  bool boolean(bool v) { return value() && Base::boolean(v); }
  bool number_integer(number_integer_t v) { return number() && Base::number_integer(v); }
  bool number_unsigned(number_unsigned_t v) { return number() && Base::number_unsigned(v); }
  bool number_float(number_float_t v, const string_t& s) { return number() && Base::number_float(v, s); }
  bool string(string_t& v) { return value() && Base::string(v); }
  bool binary(binary_t& v) { return value() && Base::binary(v); }
  bool start_object(std::size_t n) { return open(false) && Base::start_object(n); }
  bool start_array(std::size_t n) { return open(true) && Base::start_array(n); }
  bool end_object() {
    frames_.pop_back();
    return Base::end_object();
  }
  bool end_array() {
    frames_.pop_back();
    return Base::end_array();
  }
  bool key(string_t& k) {
    if (!frames_.back().keys.insert(k).second) {
      failed_ = true;
      fault_.what = TextFault::duplicate_key;
      fault_.line = position_.line;
      fault_.path = member(frames_.back().path, k);
      fault_.key = k;
      return false;
    }
    frames_.back().key = k;
    lines_.emplace(member(frames_.back().path, k), position_.line);
    return Base::key(k);
  }
  template <class Exception>
  bool parse_error(std::size_t position, const std::string&, const Exception& e) {
    failed_ = true;
    fault_.what = TextFault::malformed;
    fault_.byte = position;
    fault_.message = e.what();
    return false;
  }

  bool failed() const { return failed_; }

 private:
  struct Frame {
    std::string path;
    bool list = false;
    std::size_t index = 0;
    std::string key;
    std::set<std::string> keys;  // an object's keys so far
  };

  // The path of the value being read ("netcfg.adapters[0].id").
  std::string place() {
    if (frames_.empty()) return "";
    Frame& f = frames_.back();
    return f.list ? f.path + "[" + std::to_string(f.index++) + "]" : member(f.path, f.key);
  }
  bool value(int line) {
    lines_.emplace(place(), line);
    return true;
  }
  bool value() { return value(position_.line); }
  // The parser knows a number has ended only by reading the character
  // after it: a line break there belongs to the next line.
  bool number() { return value(position_.line - (position_.last == '\n' ? 1 : 0)); }
  bool open(bool list) {
    std::string path = place();
    lines_.emplace(path, position_.line);
    if (static_cast<int>(frames_.size()) >= kMaxDepth) {
      failed_ = true;
      fault_.what = TextFault::too_deep;
      fault_.line = position_.line;
      return false;
    }
    frames_.push_back({std::move(path), list, 0, {}, {}});
    return true;
  }

  const Position& position_;
  std::map<std::string, int>& lines_;
  TextFault& fault_;
  std::vector<Frame> frames_;
  bool failed_ = false;
};

bool deeper_than_type(const Key& key) {
  switch (key.type) {
    case Type::list:
    case Type::object: return !key.fields.empty();
    case Type::numeric: return key.store || key.max != std::numeric_limits<std::uint64_t>::max();
    case Type::whole:
    case Type::custom: return true;
    case Type::boolean:
    case Type::text:
    case Type::any: return false;
  }
  return false;
}

bool has_type(const json& v, const Key& key) {
  switch (key.type) {
    case Type::boolean: return v.is_boolean();
    case Type::text: return v.is_string();
    case Type::whole: return v.is_number();
    case Type::numeric: return v.is_number() || v.is_string();
    case Type::list: return v.is_array();
    case Type::object: return v.is_object();
    case Type::custom:
    case Type::any: return true;
  }
  return true;
}

Key row(const char* name, Type type) {
  Key k;
  k.name = name;
  k.type = type;
  return k;
}

}  // namespace

int LocatedJson::line_of(const std::string& path) const {
  auto it = lines.find(path);
  return it == lines.end() ? 0 : it->second;
}

bool parse_located(const std::string& text, LocatedJson& out, TextFault& fault) {
  Position position;
  LocatingReader reader(out.data, position, out.lines, fault);
  CountingIterator first{text.data(), &position}, last{text.data() + text.size(), &position};
  const bool ok = json::sax_parse(first, last, &reader);
  return ok && !reader.failed();
}

LocatedJson read_located(const std::string& text, const std::string& source, const Dialect& dialect) {
  LocatedJson out;
  TextFault fault;
  if (!parse_located(text, out, fault)) throw InputError(source + ":" + dialect.word_text(fault, text));
  return out;
}

namespace {

// Digits only, no sign or blank: decimal, or hexadecimal after "0x" when base
// is 0 (leading zeros are decimal, never octal) or after an optional "0x"
// when base is 16. overflow tells a number above 64 bits from a non-number.
std::optional<std::uint64_t> parse_whole(const std::string& text, int base, bool& overflow) {
  overflow = false;
  std::size_t at = 0;
  const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if ((base == 0 || base == 16) && prefixed) {
    base = 16;
    at = 2;
  } else if (base == 0) {
    base = 10;
  }
  if (at >= text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    unsigned digit = 0;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
    if (digit >= static_cast<unsigned>(base)) return std::nullopt;
    if (value > (UINT64_MAX - digit) / static_cast<unsigned>(base)) overflow = true;
    value = value * static_cast<unsigned>(base) + digit;
  }
  if (overflow) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::uint64_t> whole_number(const std::string& text, int base) {
  bool overflow = false;
  return parse_whole(text, base, overflow);
}

std::string a_type(const json& v) {
  const std::string t = v.type_name();
  if (t == "array") return "a list";
  return (t == "object" ? "an " : "a ") + t;
}

std::string key_names(const std::vector<Key>& keys) {
  std::string out;
  for (const auto& k : keys) out += (out.empty() ? "" : ", ") + k.name;
  return out;
}

Key flag(const char* name) { return row(name, Type::boolean); }
Key text(const char* name, bool required) {
  Key k = row(name, Type::text);
  k.required = required;
  return k;
}
Key whole(const char* name, std::uint64_t min, std::uint64_t max) {
  Key k = row(name, Type::whole);
  k.min = min;
  k.max = max;
  return k;
}
Key custom(const char* name, std::string (*check)(const json&)) {
  Key k = row(name, Type::custom);
  k.check = check;
  return k;
}
Key object(const char* name, std::vector<Key> fields) {
  Key k = row(name, Type::object);
  k.fields = std::move(fields);
  return k;
}
Key list(const char* name) { return row(name, Type::list); }
Key list(const char* name, Key item) {
  Key k = row(name, Type::list);
  k.fields = {std::move(item)};
  return k;
}
Key anything(const char* name) { return row(name, Type::any); }
Key numeric(const char* name) { return row(name, Type::numeric); }

// ---- checking values against a table ----------------------------------------------

int Checker::line_of_path(std::string path) const {
  // The line of the value, or of the nearest enclosing one that is known.
  while (!path.empty()) {
    if (const int line = json_.line_of(path)) return line;
    const std::size_t cut = path.find_last_of(".[");
    path.resize(cut == std::string::npos ? 0 : cut);
  }
  return dialect_.root_has_line ? json_.line_of("") : 0;
}

void Checker::fail(const std::string& path, const std::string& message) const {
  const int line = line_of_path(path);
  throw InputError(source_ + (line ? ":" + std::to_string(line) : "") + ": " + message);
}

void Checker::fail(const Problem& problem) const { fail(problem.path, dialect_.word(problem)); }

void Checker::object(const json& v, const std::vector<Key>& keys, const std::string& path, void* into) const {
  if (!v.is_object()) fail(Problem{Problem::not_object, path, {}, nullptr, nullptr, &v, 0, {}});
  for (const auto& item : v.items()) {
    // Named copies, not a structured binding: clang 14 refuses to capture a binding in the lambda below.
    const std::string& name = item.key();
    const json& given = item.value();
    auto it = std::find_if(keys.begin(), keys.end(), [&](const Key& k) { return k.name == name; });
    if (it == keys.end()) fail(Problem{Problem::unknown_key, member(path, name), name, nullptr, &keys, &given, 0, {}});
    if (!dialect_.types_first)
      value(given, *it, member(path, name), into);
    else if (!has_type(given, *it))
      fail(Problem{Problem::wrong_type, member(path, name), name, &*it, nullptr, &given, 0, {}});
  }
  for (const Key& key : keys) {
    auto it = v.find(key.name);
    if (it == v.end()) {
      if (key.required) fail(Problem{Problem::missing_key, path, key.name, &key, nullptr, nullptr, 0, {}});
    } else if (dialect_.types_first && deeper_than_type(key)) {
      value(*it, key, member(path, key.name), into);
    }
  }
}

std::uint64_t Checker::number(const json& v, std::uint64_t max, const std::string& path) const {
  Key key = numeric("");
  key.max = max;
  Problem problem{Problem::wrong_type, path, {}, &key, nullptr, &v, 0, {}};
  std::uint64_t n = 0;
  if (v.is_number_unsigned()) {
    n = v.get<std::uint64_t>();
  } else if (v.is_number_integer()) {
    problem.what = Problem::negative;
    fail(problem);
  } else if (v.is_string()) {
    const std::string digits = v.get<std::string>();
    bool overflow = false;
    const std::optional<std::uint64_t> parsed = parse_whole(digits, 0, overflow);
    problem.what = overflow ? Problem::overflow : Problem::not_a_number;
    if (!parsed) fail(problem);
    n = *parsed;
  } else {
    problem.what = v.is_number_float() ? Problem::fraction : Problem::wrong_type;
    fail(problem);
  }
  if (n > max) {
    problem.what = Problem::out_of_range;
    problem.number = n;
    fail(problem);
  }
  return n;
}

void Checker::value(const json& v, const Key& key, const std::string& path, void* into) const {
  Problem problem{Problem::wrong_type, path, key.name, &key, nullptr, &v, 0, {}};
  switch (key.type) {
    case Type::boolean:
    case Type::text:
      if (!has_type(v, key)) fail(problem);
      return;
    case Type::whole:
      if (!v.is_number()) fail(problem);
      if (!v.is_number_unsigned() || v.get<std::uint64_t>() < key.min || v.get<std::uint64_t>() > key.max) {
        problem.what = Problem::out_of_range;
        fail(problem);
      }
      return;
    case Type::numeric:
      if (!deeper_than_type(key)) {
        if (!has_type(v, key)) fail(problem);
        return;
      }
      {
        const std::uint64_t n = number(v, key.max, path);
        if (key.store && into) key.store(into, n);
      }
      return;
    case Type::object:
      if (key.fields.empty()) {
        if (!v.is_object()) fail(Problem{Problem::not_object, path, {}, &key, nullptr, &v, 0, {}});
        return;
      }
      object(v, key.fields, path, into);
      return;
    case Type::list:
      if (!v.is_array()) fail(problem);
      if (!key.fields.empty())
        for (std::size_t i = 0; i < v.size(); ++i)
          value(v[i], key.fields[0], path + "[" + std::to_string(i) + "]", into);
      return;
    case Type::custom:
      if (std::string what = key.check(v); !what.empty()) {
        problem.what = Problem::custom;
        problem.detail = std::move(what);
        fail(problem);
      }
      return;
    case Type::any: return;
  }
}

}  // namespace sim::schema
