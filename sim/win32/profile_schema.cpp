#include "profile_schema.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <set>

#include "codepage.h"
#include "registry.h"
#include "security.h"
#include "ui.h"

namespace sim::win32 {

namespace {

using schema::a_type;
using schema::json;
using schema::Key;
using schema::Problem;
using schema::TextFault;

// ---- the words of this kind of profile's errors ---------------------------------

std::string word(const Problem& p) {
  // No value for a key that is missing.
  auto type = [&p] { return a_type(*p.value); };
  switch (p.what) {
    case Problem::not_object: return (p.path.empty() ? "a profile" : p.path) + " must be an object, not " + type();
    case Problem::unknown_key:
      return "unknown key \"" + p.path + "\" (known here: " + schema::key_names(*p.known) + ")";
    case Problem::missing_key: return (p.path.empty() ? "the profile" : p.path) + ": \"" + p.name + "\" is missing";
    case Problem::custom: return p.path + " " + p.detail;
    case Problem::wrong_type:
      switch (p.key->type) {
        case schema::Type::boolean: return p.path + " must be true or false, not " + type();
        case schema::Type::text: return p.path + " must be a string, not " + type();
        case schema::Type::list: return p.path + " must be a list, not " + type();
        default: break;
      }
      return p.path + " must be a whole number from " + std::to_string(p.key->min) + " to " +
             std::to_string(p.key->max) + ", not " + type();
    default:
      return p.path + " is " + p.value->dump() + ", out of range: it must be a whole number from " +
             std::to_string(p.key->min) + " to " + std::to_string(p.key->max);
  }
}

std::string word_text(const TextFault& fault, const std::string& text) {
  switch (fault.what) {
    case TextFault::duplicate_key: return std::to_string(fault.line) + ": duplicate key \"" + fault.path + "\"";
    case TextFault::too_deep:
      return std::to_string(fault.line) + ": objects and lists nested more than " + std::to_string(schema::kMaxDepth) +
             " deep";
    case TextFault::malformed: break;
  }
  // The parser reports the byte where it stopped, which may be past the
  // line break that ended the bad token: count the lines up to the last
  // character it read that was not blank.
  std::size_t at = std::min(fault.byte, text.size());
  while (at > 0 && std::isspace(static_cast<unsigned char>(text[at - 1]))) --at;
  if (at > 0) --at;
  const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
  // The library's text names its own position; ours is the line.
  std::string what = fault.message.empty() ? std::string("unreadable") : fault.message;
  if (auto column = what.find(", column "); column != std::string::npos)
    if (auto colon = what.find(": ", column); colon != std::string::npos) what = what.substr(colon + 2);
  return std::to_string(line) + ": malformed JSON: " + what;
}

const schema::Dialect kDialect{word, word_text, false, true};

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

std::string check_code_page(const nlohmann::json& v) {
  const auto& known = CodePage::known();
  if (v.is_number_unsigned() && std::find(known.begin(), known.end(), v.get<std::uint64_t>()) != known.end()) return "";
  std::string list;
  for (unsigned id : known) list += (list.empty() ? "" : ", ") + std::to_string(id);
  return "is " + v.dump() + ", not a code page the simulated machine knows (" + list + ")";
}

std::string check_answer(const nlohmann::json& v) {
  if (v.is_string() && parse_answer(v.get<std::string>())) return "";
  return "is " + v.dump() + ", not an answer (known: ok, cancel, enter, escape, close)";
}

std::string check_screen(const nlohmann::json& v) {
  const bool ok = v.is_array() && v.size() == 2 && std::all_of(v.begin(), v.end(), [](const nlohmann::json& n) {
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

}  // namespace

LocatedJson parse_located_json(const std::string& text, const std::string& source) {
  return schema::read_located(text, source, kDialect);
}

const std::vector<Key>& profile_keys() {
  using namespace schema;
  static const std::vector<Key> keys = {
      custom("platform", check_platform),
      custom("code_page", check_code_page),
      flag("admin"),
      text("command_line"),
      text("module_path"),
      text("registry"),
      list("user", custom("answer", check_answer)),
      custom("screen", check_screen),
      object("faults", {list("missing_strings", whole("string id", 0, 65535)), flag("dialog_fails"), flag("no_desktop"),
                        flag("window_rect_fails"), flag("version_query_fails"),
                        list("registry_open_fails", text("key")), list("registry_delete_fails", text("key"))}),
      object("netcfg",
             {list("adapters", object("adapter", {text("id", true), text("pnp_id")})),
              list("protocols", custom("protocol", check_protocol)), list("bindings", custom("binding", check_binding)),
              whole("lock_held_ms", 0, 0xFFFFFFFFu), text("lock_holder"),
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
  return keys;
}

void check_profile(const LocatedJson& json, const std::string& source) {
  schema::Checker(json, source, kDialect).object(json.data, profile_keys(), "");
}

}  // namespace sim::win32
