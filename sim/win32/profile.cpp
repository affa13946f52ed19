#include "profile.h"

#include <algorithm>
#include <map>

#include "codepage.h"
#include "files.h"
#include "machine.h"
#include "netcfg.h"
#include "profile_schema.h"
#include "resources.h"
#include "sim/common/input_file.h"
#include "ui.h"
#include "win2000_network.h"

namespace sim::win32 {

namespace {

struct PlatformPreset {
  const char* name;
  DWORD id, major, minor, build;
};

constexpr PlatformPreset kPlatforms[] = {
    {"win95", 1, 4, 0, 950},   {"win98", 1, 4, 10, 1998}, {"winme", 1, 4, 90, 3000},
    {"nt351", 2, 3, 51, 1057}, {"nt4", 2, 4, 0, 1381},    {"win2000", 2, 5, 0, 2195},
    {"winxp", 2, 5, 1, 2600},  {"vista", 2, 6, 0, 6000},  {"win7", 2, 6, 1, 7601},
};

class Checker {
 public:
  explicit Checker(const Profile& profile) : profile_(profile) {}
  [[noreturn]] void fail(const std::string& key, const std::string& what) const {
    auto it = profile_.lines.find(key);
    const int line = it == profile_.lines.end() ? 0 : it->second;
    throw InputError(profile_.source + (line ? ":" + std::to_string(line) : "") + ": " + what);
  }

 private:
  const Profile& profile_;
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
// maps key paths (as in a .reg file) to SDDL, checked by the profile schema.
// Without an entry a key has the layout of a fresh NT 4 installation: full
// control for administrators and SYSTEM, read for everyone, and the Enum
// tree writable by SYSTEM alone.

constexpr const char* kDefaultRootSddl = "O:BAG:SYD:(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;WD)";
constexpr const char* kEnumPath = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum";
constexpr const char* kDefaultEnumSddl = "O:BAG:SYD:(A;CI;KA;;;SY)(A;CI;KR;;;WD)";

void apply_security_keys(const nlohmann::json& d, Machine& m, const std::string& source) {
  if (d.contains("user_sid")) m.security.user_sid = d["user_sid"].get<std::string>();
  if (!m.is_nt()) {
    if (d.contains("key_security") && !d["key_security"].empty())
      throw InputError(source + ": \"key_security\" applies to the NT family only");
    return;
  }
  std::map<std::string, KeySecurity> layout;
  layout[kEnumPath] = *parse_sddl(kDefaultEnumSddl, nullptr);
  if (d.contains("key_security")) {
    const nlohmann::json& entries = d["key_security"];
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      const std::string& path = it.key();
      if (!m.registry.key_exists(path))
        throw InputError(source + ": key_security: no key \"" + path + "\" in the registry");
      layout[path] = *parse_sddl(it.value().get<std::string>(), nullptr);
    }
  }
  m.registry.apply_security(*parse_sddl(kDefaultRootSddl, nullptr), layout);
}

}  // namespace

Profile parse_profile(const std::string& text, const std::string& source, const std::filesystem::path& base_dir) {
  Profile p;
  p.source = source;
  p.base_dir = base_dir;
  LocatedJson json = parse_located_json(text, source);
  check_profile(json, source);
  p.data = std::move(json.data);
  p.lines = std::move(json.lines);
  if (p.data.contains("files") && p.data["files"].is_string())
    p.files_source = (base_dir / p.data["files"].get<std::string>()).string();
  check_files_profile(p.data, source, base_dir);
  if (p.data.contains("registry")) {
    std::filesystem::path reg = base_dir / p.data["registry"].get<std::string>();
    p.registry_source = reg.string();
    p.registry_text = read_input_file(reg, kMaxRegBytes);
  }
  return p;
}

Profile load_profile_file(const std::filesystem::path& file) {
  return parse_profile(read_input_file(file, kMaxProfileBytes), file.string(), file.parent_path());
}

void apply_profile(const Profile& profile) {
  reset_machine();
  Machine& m = machine();
  const nlohmann::json& d = profile.data;
  Checker check(profile);
  if (d.contains("platform")) m.version = parse_platform(d["platform"], check);
  m.registry.set_family(m.is_nt() ? RegFamily::NT : RegFamily::Win9x);
  // The ANSI code page comes first: the registry file is read in it.
  m.registry.set_code_page(d.value("code_page", kDefaultCodePage));
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
  // A registry file that was named is read even when empty: the reader
  // refuses it rather than run on an empty registry.
  if (!profile.registry_source.empty()) m.registry.import_reg(profile.registry_text, profile.registry_source);
  apply_security_keys(d, m, profile.source);
  // Windows 2000 and later: the device installer and the network
  // configuration start from what the registry records. Adapters, protocols
  // or bindings in the profile replace the registry's components; devices in
  // the profile amend or add to the registry's.
  if (m.is_nt() && m.version.major >= 5) {
    load_devices_from_registry(m);
    const auto netcfg = d.find("netcfg");
    if (netcfg == d.end() ||
        (!netcfg->contains("adapters") && !netcfg->contains("protocols") && !netcfg->contains("bindings")))
      load_components_from_registry(m);
  }
  load_files_profile(d, profile.source, m);
  try {
    load_netcfg_profile(d, m);
  } catch (const NetCfgProfileError& e) {
    auto it = profile.lines.find(e.where);
    const std::string line = it == profile.lines.end() ? "" : ":" + std::to_string(it->second);
    throw InputError(profile.source + line + ": " + e.where + ": " + e.what());
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
