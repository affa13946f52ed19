#include "profile.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "machine.h"
#include "netcfg.h"
#include "resources.h"
#include "ui.h"

namespace sim::win32 {

namespace {

struct PlatformPreset {
  const char* name;
  DWORD id, major, minor, build;
};

constexpr PlatformPreset kPlatforms[] = {
    {"win95", 1, 4, 0, 950},   {"win98", 1, 4, 10, 1998},  {"winme", 1, 4, 90, 3000},
    {"nt351", 2, 3, 51, 1057}, {"nt4", 2, 4, 0, 1381},     {"win2000", 2, 5, 0, 2195},
    {"winxp", 2, 5, 1, 2600},  {"vista", 2, 6, 0, 6000},   {"win7", 2, 6, 1, 7601},
};

const std::set<std::string> kKeys = {"platform", "admin",  "command_line", "module_path", "registry",
                                     "user",     "faults", "screen",       "netcfg",      "devices",
                                     "key_security", "user_sid"};
const std::set<std::string> kFaultKeys = {"missing_strings",    "dialog_fails",      "no_desktop",
                                          "window_rect_fails",  "version_query_fails", "registry_open_fails",
                                          "registry_delete_fails"};

std::string read_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw InputError(file.string() + ": cannot read the file");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The line of the first occurrence of "key" in the text, for error messages.
int line_of_key(const std::string& text, const std::string& key) {
  std::size_t at = text.find("\"" + key + "\"");
  if (at == std::string::npos) return 0;
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
}

class Checker {
 public:
  Checker(const std::string& text, const std::string& source) : text_(text), source_(source) {}
  [[noreturn]] void fail(const std::string& key, const std::string& what) const {
    int line = line_of_key(text_, key);
    throw InputError(source_ + (line ? ":" + std::to_string(line) : "") + ": " + what);
  }

 private:
  const std::string& text_;
  const std::string& source_;
};

Version parse_platform(const nlohmann::json& p, const Checker& check) {
  Version v;
  if (p.is_string()) {
    for (const auto& preset : kPlatforms) {
      if (p.get<std::string>() == preset.name) {
        v.platform_id = preset.id, v.major = preset.major, v.minor = preset.minor, v.build = preset.build;
        return v;
      }
    }
    std::string known;
    for (const auto& preset : kPlatforms) known += std::string(known.empty() ? "" : ", ") + preset.name;
    check.fail("platform", "unknown platform \"" + p.get<std::string>() + "\" (known: " + known +
                               ", or {\"id\": N, \"major\": N, \"minor\": N})");
  }
  if (p.is_object() && p.contains("id") && p.contains("major") && p["id"].is_number_unsigned() &&
      p["major"].is_number_unsigned()) {
    v.platform_id = p["id"].get<DWORD>();
    v.major = p["major"].get<DWORD>();
    v.minor = p.value("minor", 0u);
    v.build = p.value("build", 0u);
    return v;
  }
  check.fail("platform", "\"platform\" must be a name or {\"id\": N, \"major\": N, \"minor\": N}");
}

// ---- NT key security: "user_sid" names the token's user; "key_security"
// maps key paths (as in a .reg file) to SDDL. Without an entry a key has the
// layout of a fresh NT 4 installation: full control for administrators and
// SYSTEM, read for everyone, and the Enum tree writable by SYSTEM alone.

constexpr const char* kDefaultRootSddl = "O:BAG:SYD:(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;WD)";
constexpr const char* kEnumPath = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum";
constexpr const char* kDefaultEnumSddl = "O:BAG:SYD:(A;CI;KA;;;SY)(A;CI;KR;;;WD)";

void check_security_keys(const nlohmann::json& d, const Checker& check) {
  if (d.contains("user_sid") && (!d["user_sid"].is_string() || !parse_sid(d["user_sid"].get<std::string>())))
    check.fail("user_sid", "\"user_sid\" must be a SID such as \"S-1-5-21-1-2-3-1000\"");
  if (!d.contains("key_security")) return;
  if (!d["key_security"].is_object()) check.fail("key_security", "\"key_security\" must map key paths to SDDL strings");
  for (const auto& [path, sddl] : d["key_security"].items()) {
    std::string error;
    if (!sddl.is_string()) check.fail(path, "key_security \"" + path + "\": the SDDL must be a string");
    if (!parse_sddl(sddl.get<std::string>(), &error))
      check.fail(path, "key_security \"" + path + "\": bad SDDL: " + error);
  }
}

void apply_security_keys(const nlohmann::json& d, Machine& m, const std::string& source) {
  if (d.contains("user_sid")) m.security.user_sid = d["user_sid"].get<std::string>();
  if (!m.is_nt()) {
    if (d.contains("key_security") && !d["key_security"].empty())
      throw InputError(source + ": \"key_security\" applies to the NT family only");
    return;
  }
  std::map<std::string, KeySecurity> layout;
  layout[kEnumPath] = *parse_sddl(kDefaultEnumSddl, nullptr);
  if (!d.contains("key_security")) {
    m.registry.apply_security(*parse_sddl(kDefaultRootSddl, nullptr), layout);
    return;
  }
  const nlohmann::json& entries = d["key_security"];
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    const std::string& path = it.key();
    const nlohmann::json& sddl = it.value();
    if (!m.registry.key_exists(path)) throw InputError(source + ": key_security: no key \"" + path + "\" in the registry");
    layout[path] = *parse_sddl(sddl.get<std::string>(), nullptr);
  }
  m.registry.apply_security(*parse_sddl(kDefaultRootSddl, nullptr), layout);
}

}  // namespace

Profile parse_profile(const std::string& text, const std::string& source, const std::filesystem::path& base_dir) {
  Profile p;
  p.source = source;
  p.base_dir = base_dir;
  try {
    p.data = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    std::size_t at = std::min<std::size_t>(e.byte, text.size());
    int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
    throw InputError(source + ":" + std::to_string(line) + ": malformed JSON: " + e.what());
  }
  Checker check(text, source);
  if (!p.data.is_object()) check.fail("", "a profile is a JSON object");
  for (const auto& [key, value] : p.data.items()) {
    if (!kKeys.count(key)) check.fail(key, "unknown key \"" + key + "\"");
  }
  if (p.data.contains("platform")) parse_platform(p.data["platform"], check);
  if (p.data.contains("admin") && !p.data["admin"].is_boolean()) check.fail("admin", "\"admin\" must be true or false");
  for (const char* key : {"command_line", "module_path", "registry"}) {
    if (p.data.contains(key) && !p.data[key].is_string()) check.fail(key, "\"" + std::string(key) + "\" must be a string");
  }
  if (p.data.contains("user")) {
    if (!p.data["user"].is_array()) check.fail("user", "\"user\" must be a list of answers");
    for (const auto& a : p.data["user"]) {
      if (!a.is_string() || !parse_answer(a.get<std::string>()))
        check.fail("user", "unknown answer " + a.dump() + " (known: ok, cancel, enter, escape, close)");
    }
  }
  if (p.data.contains("screen")) {
    const auto& s = p.data["screen"];
    if (!s.is_array() || s.size() != 2 || !s[0].is_number_unsigned() || !s[1].is_number_unsigned())
      check.fail("screen", "\"screen\" must be [width, height]");
  }
  if (p.data.contains("faults")) {
    const auto& f = p.data["faults"];
    if (!f.is_object()) check.fail("faults", "\"faults\" must be an object");
    for (const auto& [key, value] : f.items()) {
      if (!kFaultKeys.count(key)) check.fail(key, "unknown fault \"" + key + "\"");
    }
    if (f.contains("missing_strings")) {
      for (const auto& id : f["missing_strings"])
        if (!id.is_number_unsigned()) check.fail("missing_strings", "\"missing_strings\" must list string ids");
    }
  }
  check_security_keys(p.data, check);
  if (p.data.contains("registry")) {
    std::filesystem::path reg = base_dir / p.data["registry"].get<std::string>();
    p.registry_source = reg.string();
    p.registry_text = read_file(reg);
  }
  return p;
}

Profile load_profile_file(const std::filesystem::path& file) {
  return parse_profile(read_file(file), file.string(), file.parent_path());
}

void apply_profile(const Profile& profile) {
  reset_machine();
  Machine& m = machine();
  const nlohmann::json& d = profile.data;
  Checker check(profile.data.dump(), profile.source);
  if (d.contains("platform")) m.version = parse_platform(d["platform"], check);
  m.registry.set_family(m.is_nt() ? RegFamily::NT : RegFamily::Win9x);
  m.admin = d.value("admin", true);
  if (d.contains("command_line")) {
    m.command_line = d["command_line"].get<std::string>();
    // The running module is the program the command line names, when it
    // names it with a path.
    std::string first = m.command_line;
    if (!first.empty() && first[0] == '"') {
      first = first.substr(1, first.find('"', 1) == std::string::npos ? std::string::npos : first.find('"', 1) - 1);
    } else {
      first = first.substr(0, first.find_first_of(" \t"));
    }
    if (first.find('\\') != std::string::npos) m.module_path = first;
  }
  if (d.contains("module_path")) m.module_path = d["module_path"].get<std::string>();
  if (d.contains("user")) {
    m.ui().endless_ok = false;
    for (const auto& a : d["user"]) m.ui().answers.push_back(*parse_answer(a.get<std::string>()));
  }
  if (d.contains("screen")) {
    m.ui().screen_width = d["screen"][0].get<int>();
    m.ui().screen_height = d["screen"][1].get<int>();
  }
  if (d.contains("faults")) {
    const auto& f = d["faults"];
    for (const auto& id : f.value("missing_strings", nlohmann::json::array()))
      m.resources().missing_strings.insert(id.get<UINT>());
    m.ui().dialog_fails = f.value("dialog_fails", false);
    m.ui().no_desktop = f.value("no_desktop", false);
    m.ui().window_rect_fails = f.value("window_rect_fails", false);
    m.version.query_fails = f.value("version_query_fails", false);
    for (const auto& k : f.value("registry_open_fails", nlohmann::json::array()))
      m.registry.faults().open_fails.push_back(k.get<std::string>());
    for (const auto& k : f.value("registry_delete_fails", nlohmann::json::array()))
      m.registry.faults().delete_fails.push_back(k.get<std::string>());
  }
  if (!profile.registry_text.empty()) m.registry.import_reg(profile.registry_text, profile.registry_source);
  apply_security_keys(d, m, profile.source);
  try {
    load_netcfg_profile(d, m);
  } catch (const InputError& e) {
    throw InputError(profile.source + ": " + e.what());
  }
}

std::string platform_name() {
  const Version& v = machine().version;
  for (const auto& preset : kPlatforms) {
    if (preset.id == v.platform_id && preset.major == v.major && preset.minor == v.minor) return preset.name;
  }
  return "platform " + std::to_string(v.platform_id) + " version " + std::to_string(v.major) + "." +
         std::to_string(v.minor);
}

}  // namespace sim::win32
