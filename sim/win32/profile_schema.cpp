#include "profile_schema.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <set>

#include "registry.h"
#include "security.h"
#include "ui.h"

namespace sim::win32 {

namespace {

// ---- reading JSON with the line of every value ------------------------------

// A character iterator that counts the line breaks it steps over, so that
// the parser's events can be given the line they were read on.
struct CountingIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* at = nullptr;
  int* line = nullptr;

  reference operator*() const { return *at; }
  CountingIterator& operator++() {
    if (*at == '\n') ++*line;
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

std::string escape_pointer_token(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c == '~') out += "~0";
    else if (c == '/') out += "~1";
    else out += c;
  }
  return out;
}

// Builds the document as the library's own reader does and notes, for each
// value, the JSON pointer and the line it started on.
class LocatingReader : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
  using Base = nlohmann::detail::json_sax_dom_parser<nlohmann::json>;

 public:
  LocatingReader(nlohmann::json& root, const int* line, std::map<std::string, int>& lines, int max_depth)
      : Base(root, false), line_(line), lines_(lines), max_depth_(max_depth) {}

  bool null() { return value() && Base::null(); }
  bool boolean(bool v) { return value() && Base::boolean(v); }
  bool number_integer(number_integer_t v) { return value() && Base::number_integer(v); }
  bool number_unsigned(number_unsigned_t v) { return value() && Base::number_unsigned(v); }
  bool number_float(number_float_t v, const string_t& s) { return value() && Base::number_float(v, s); }
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
    // The library keeps the last of two equal keys without a word: a
    // profile that gives one twice is refused.
    if (!frames_.back().keys.insert(k).second) {
      duplicate = true;
      error = "duplicate key \"" + dotted(k) + "\"";
      return false;
    }
    frames_.back().key = k;
    lines_.emplace(frames_.back().pointer + "/" + escape_pointer_token(k), *line_);
    return Base::key(k);
  }
  template <class Exception>
  bool parse_error(std::size_t position, const std::string&, const Exception& e) {
    error_position = position;
    error = e.what();
    return false;
  }

  std::string error;  // set when the text is malformed or nested too deeply
  std::size_t error_position = 0;
  bool too_deep = false;
  bool duplicate = false;

 private:
  struct Frame {
    std::string pointer;
    bool list = false;
    std::size_t index = 0;
    std::string key;
    std::set<std::string> keys;  // an object's keys so far
  };

  // The member `k` of the innermost object, named as the checks name it
  // ("netcfg.adapters[0].id").
  std::string dotted(const std::string& k) const {
    std::string out;
    for (std::size_t j = 1; j < frames_.size(); ++j) {
      const Frame& outer = frames_[j - 1];
      if (outer.list) out += "[" + std::to_string(outer.index - 1) + "]";
      else out += (out.empty() ? "" : ".") + outer.key;
    }
    return out + (out.empty() ? "" : ".") + k;
  }

  std::string place() {
    if (frames_.empty()) return "";
    Frame& f = frames_.back();
    return f.pointer + "/" + (f.list ? std::to_string(f.index++) : escape_pointer_token(f.key));
  }
  bool value() {
    lines_.emplace(place(), *line_);
    return true;
  }
  bool open(bool list) {
    std::string pointer = place();
    lines_.emplace(pointer, *line_);
    if (static_cast<int>(frames_.size()) >= max_depth_) {
      too_deep = true;
      error = "objects and lists nested more than " + std::to_string(max_depth_) + " deep";
      return false;
    }
    frames_.push_back({std::move(pointer), list, 0, {}, {}});
    return true;
  }

  const int* line_;
  std::map<std::string, int>& lines_;
  int max_depth_;
  std::vector<Frame> frames_;
};

// ---- checking values against the table ------------------------------------------

struct Checking {
  const LocatedJson& json;
  const std::string& source;

  [[noreturn]] void fail(const std::string& pointer, const std::string& what) const {
    std::string at = pointer;
    int line = 0;
    // The line of the value, or of the nearest enclosing one that is known.
    while (true) {
      line = json.line_of(at);
      if (line || at.empty()) break;
      at.erase(at.rfind('/'));
    }
    throw InputError(source + (line ? ":" + std::to_string(line) : "") + ": " + what);
  }
};

std::string a_type(const nlohmann::json& v) {
  const std::string t = v.type_name();
  if (t == "array") return "a list";
  return (t == "object" ? "an " : "a ") + t;
}

std::string join_names(const std::vector<ProfileField>& fields) {
  std::string out;
  for (const auto& f : fields) out += (out.empty() ? "" : ", ") + f.name;
  return out;
}

void check_value(const nlohmann::json& v, const ProfileField& f, const std::string& dotted, const std::string& pointer,
                 const Checking& c);

void check_object(const nlohmann::json& v, const std::vector<ProfileField>& fields, const std::string& dotted,
                  const std::string& pointer, const Checking& c) {
  const std::string prefix = dotted.empty() ? "" : dotted + ".";
  if (!v.is_object()) c.fail(pointer, (dotted.empty() ? "a profile" : dotted) + " must be an object, not " + a_type(v));
  for (const auto& item : v.items()) {
    // Named copies, not a structured binding: clang 14 refuses to capture a binding in the lambda below.
    const std::string& key = item.key();
    const nlohmann::json& value = item.value();
    const std::string child = pointer + "/" + escape_pointer_token(key);
    auto it = std::find_if(fields.begin(), fields.end(), [&](const ProfileField& f) { return f.name == key; });
    if (it == fields.end())
      c.fail(child, "unknown key \"" + prefix + key + "\" (known here: " + join_names(fields) + ")");
    check_value(value, *it, prefix + key, child, c);
  }
  for (const auto& f : fields)
    if (f.required && !v.contains(f.name)) c.fail(pointer, (dotted.empty() ? "the profile" : dotted) + ": \"" + f.name + "\" is missing");
}

void check_value(const nlohmann::json& v, const ProfileField& f, const std::string& dotted, const std::string& pointer,
                 const Checking& c) {
  switch (f.kind) {
    case ProfileField::Bool:
      if (!v.is_boolean()) c.fail(pointer, dotted + " must be true or false, not " + a_type(v));
      return;
    case ProfileField::Text:
      if (!v.is_string()) c.fail(pointer, dotted + " must be a string, not " + a_type(v));
      return;
    case ProfileField::Number: {
      const std::string range = std::to_string(f.min) + " to " + std::to_string(f.max);
      if (!v.is_number()) c.fail(pointer, dotted + " must be a whole number from " + range + ", not " + a_type(v));
      if (!v.is_number_unsigned() || v.get<std::uint64_t>() < f.min || v.get<std::uint64_t>() > f.max)
        c.fail(pointer, dotted + " is " + v.dump() + ", out of range: it must be a whole number from " + range);
      return;
    }
    case ProfileField::Object:
      check_object(v, f.fields, dotted, pointer, c);
      return;
    case ProfileField::List:
      if (!v.is_array()) c.fail(pointer, dotted + " must be a list, not " + a_type(v));
      for (std::size_t i = 0; i < v.size(); ++i)
        check_value(v[i], f.fields.at(0), dotted + "[" + std::to_string(i) + "]", pointer + "/" + std::to_string(i),
                    c);
      return;
    case ProfileField::Custom:
      if (std::string what = f.check(v); !what.empty()) c.fail(pointer, dotted + " " + what);
      return;
  }
}

// ---- the profile's keys ------------------------------------------------------------

const char* const kPlatformNames[] = {"win95", "win98", "winme", "nt351", "nt4", "win2000", "winxp", "vista", "win7"};

std::string check_user_sid(const nlohmann::json& v) {
  if (!v.is_string() || !parse_sid(v.get<std::string>())) return "must be a SID such as \"S-1-5-21-1-2-3-1000\"";
  return "";
}

std::string check_key_security(const nlohmann::json& v) {
  if (!v.is_object()) return "must map key paths to SDDL strings";
  for (auto it = v.begin(); it != v.end(); ++it) {
    std::string error;
    if (!it.value().is_string()) return "\"" + it.key() + "\": the SDDL must be a string";
    if (!parse_sddl(it.value().get<std::string>(), &error)) return "\"" + it.key() + "\": bad SDDL: " + error;
  }
  return "";
}

std::string check_platform(const nlohmann::json& v) {
  if (v.is_string()) {
    for (const char* name : kPlatformNames)
      if (v.get<std::string>() == name) return "";
    std::string known;
    for (const char* name : kPlatformNames) known += std::string(known.empty() ? "" : ", ") + name;
    return "names an unknown platform \"" + v.get<std::string>() + "\" (known: " + known +
           ", or {\"id\": N, \"major\": N, \"minor\": N})";
  }
  if (!v.is_object()) return "must be a platform name or {\"id\": N, \"major\": N, \"minor\": N}, not " + a_type(v);
  for (const auto& [key, value] : v.items()) {
    if (key != "id" && key != "major" && key != "minor" && key != "build")
      return "has an unknown key \"" + key + "\" (known here: id, major, minor, build)";
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFFFFFFu)
      return "has \"" + key + "\" " + value.dump() + ": it must be a whole number from 0 to 4294967295";
  }
  if (!v.contains("id") || !v.contains("major")) return "needs \"id\" and \"major\"";
  return "";
}

std::string check_answer(const nlohmann::json& v) {
  if (v.is_string() && parse_answer(v.get<std::string>())) return "";
  return "is " + v.dump() + ", not an answer (known: ok, cancel, enter, escape, close)";
}

std::string check_screen(const nlohmann::json& v) {
  const bool ok = v.is_array() && v.size() == 2 &&
                  std::all_of(v.begin(), v.end(), [](const nlohmann::json& n) {
                    return n.is_number_unsigned() && n.get<std::uint64_t>() >= 1 && n.get<std::uint64_t>() <= 32767;
                  });
  return ok ? "" : "must be [width, height], each a whole number from 1 to 32767";
}

std::string check_protocol(const nlohmann::json& v) {
  if (v.is_string()) return "";
  if (v.is_object() && v.size() == 1 && v.contains("id") && v["id"].is_string()) return "";
  return "must be a protocol id (\"ms_tcpip\") or {\"id\": ...}";
}

std::string check_binding(const nlohmann::json& v) {
  if (v.is_array() && v.size() == 2 && v[0].is_string() && v[1].is_string()) return "";
  return "must be [protocol id, adapter id]";
}

std::string check_class(const nlohmann::json& v) {
  if (v.is_string() && (v == "net" || v == "nettrans")) return "";
  return "must be \"net\" or \"nettrans\"";
}

std::string check_class_set(const nlohmann::json& v) {
  if (v.is_boolean()) return "";
  if (v.is_array() && std::all_of(v.begin(), v.end(), [](const nlohmann::json& c) {
        return c.is_string() && (c == "net" || c == "nettrans");
      }))
    return "";
  return "must be true, false or a list of \"net\" and \"nettrans\"";
}

std::string check_files(const nlohmann::json& v) {
  // The entries themselves are checked by the file system's reader.
  if (v.is_string() || v.is_array()) return "";
  return "must be a list of entries or the name of a file that holds one";
}

std::string check_path_list(const nlohmann::json& v) {
  if (v.is_string()) return "";
  if (v.is_array() && std::all_of(v.begin(), v.end(), [](const nlohmann::json& f) { return f.is_string(); })) return "";
  return "must be \"A;B\" or a list of folders";
}

ProfileField field(const char* name, ProfileField::Kind kind) {
  ProfileField f;
  f.name = name;
  f.kind = kind;
  return f;
}
ProfileField flag(const char* name) { return field(name, ProfileField::Bool); }
ProfileField text(const char* name, bool required = false) {
  ProfileField f = field(name, ProfileField::Text);
  f.required = required;
  return f;
}
ProfileField number(const char* name, std::uint64_t min, std::uint64_t max) {
  ProfileField f = field(name, ProfileField::Number);
  f.min = min;
  f.max = max;
  return f;
}
ProfileField custom(const char* name, std::string (*check)(const nlohmann::json&)) {
  ProfileField f = field(name, ProfileField::Custom);
  f.check = check;
  return f;
}
ProfileField object(const char* name, std::vector<ProfileField> fields) {
  ProfileField f = field(name, ProfileField::Object);
  f.fields = std::move(fields);
  return f;
}
ProfileField list(const char* name, ProfileField item) {
  ProfileField f = field(name, ProfileField::List);
  f.fields = {std::move(item)};
  return f;
}

}  // namespace

int LocatedJson::line_of(const std::string& pointer) const {
  auto it = lines.find(pointer);
  return it == lines.end() ? 0 : it->second;
}

LocatedJson parse_located_json(const std::string& text, const std::string& source, int max_depth) {
  LocatedJson out;
  int line = 1;
  LocatingReader reader(out.data, &line, out.lines, max_depth);
  CountingIterator first{text.data(), &line}, last{text.data() + text.size(), &line};
  const bool ok = nlohmann::json::sax_parse(first, last, &reader);
  if (!ok || !reader.error.empty()) {
    if (!reader.too_deep && !reader.duplicate) {
      // The parser reports the byte where it stopped, which may be past the
      // line break that ended the bad token: count the lines up to the last
      // character it read that was not blank.
      std::size_t at = std::min(reader.error_position, text.size());
      while (at > 0 && std::isspace(static_cast<unsigned char>(text[at - 1]))) --at;
      if (at > 0) --at;
      line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
    }
    // The library's text names its own position; ours is the line above.
    if (reader.duplicate) throw InputError(source + ":" + std::to_string(line) + ": " + reader.error);
    std::string what = reader.error.empty() ? std::string("unreadable") : reader.error;
    if (auto column = what.find(", column "); column != std::string::npos)
      if (auto colon = what.find(": ", column); colon != std::string::npos) what = what.substr(colon + 2);
    throw InputError(source + ":" + std::to_string(line) + ": malformed JSON: " + what);
  }
  return out;
}

const std::vector<ProfileField>& profile_fields() {
  static const std::vector<ProfileField> fields = {
      custom("platform", check_platform),
      flag("admin"),
      text("command_line"),
      text("module_path"),
      text("registry"),
      list("user", custom("answer", check_answer)),
      custom("screen", check_screen),
      object("faults",
             {list("missing_strings", number("string id", 0, 65535)), flag("dialog_fails"), flag("no_desktop"),
              flag("window_rect_fails"), flag("version_query_fails"), list("registry_open_fails", text("key")),
              list("registry_delete_fails", text("key"))}),
      object("netcfg",
             {list("adapters", object("adapter", {text("id", true), text("pnp_id")})),
              list("protocols", custom("protocol", check_protocol)), list("bindings", custom("binding", check_binding)),
              number("lock_held_ms", 0, 0xFFFFFFFFu), text("lock_holder"),
              object("fail", {flag("coinitialize"), flag("create"), flag("lock_query"), flag("lock"),
                              flag("initialize"), custom("class_query", check_class_set),
                              custom("enumeration", check_class_set), custom("reset", check_class_set)})}),
      // The file system (files_profile.cpp checks the entries).
      custom("files", check_files),
      text("windows_folder"),
      text("system_folder"),
      text("current_folder"),
      custom("path", check_path_list),
      list("devices", object("device", {text("instance_id", true), text("description"), flag("present"),
                                        flag("remove_fails"), custom("class", check_class)})),
      custom("user_sid", check_user_sid),
      custom("key_security", check_key_security),
  };
  return fields;
}

void check_profile(const LocatedJson& json, const std::string& source) {
  check_object(json.data, profile_fields(), "", "", Checking{json, source});
}

std::string pointer_of(const std::string& dotted) {
  std::string out = "/";
  for (char ch : dotted) {
    if (ch == '.' || ch == '[') out += '/';
    else if (ch != ']') out += ch;
  }
  return out;
}

}  // namespace sim::win32
