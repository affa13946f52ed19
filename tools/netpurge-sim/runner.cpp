#include "runner.h"

#include <sstream>

#include "platform/program_entry.h"
#include "sim/win32/files.h"
#include "sim/win32/netcfg.h"
#include "sim/win32/resources.h"
#include "sim/win32/setupapi.h"
#include "uninstaller/netpurge.h"
#include "uninstaller/resource.h"
#include "why_folders.h"

extern const unsigned char netpurge_res[];
extern const unsigned long netpurge_res_size;
extern const unsigned char default_machine_json[];
extern const unsigned long default_machine_json_size;
extern const unsigned char default_registry_reg[];
extern const unsigned long default_registry_reg_size;

namespace {
bool g_removal_ran = false;
}

// The link wraps RunRemoval so the report can tell whether the removal ran.
extern "C" int __real_RunRemoval(void);
extern "C" int __wrap_RunRemoval(void) {
  g_removal_ran = true;
  return __real_RunRemoval();
}

namespace netpurge_sim {

using namespace sim::win32;

Profile default_profile() {
  std::string json(reinterpret_cast<const char*>(default_machine_json), default_machine_json_size);
  nlohmann::json data = nlohmann::json::parse(json);
  data.erase("registry");
  Profile p = parse_profile(data.dump(), "<built-in default>", {});
  p.registry_text.assign(reinterpret_cast<const char*>(default_registry_reg), default_registry_reg_size);
  p.registry_source = "<built-in default>/win98-two-adapters.reg";
  return p;
}

RegFormat regedit_format(const Machine& m) {
  return m.is_nt() && m.version.major >= 5 ? RegFormat::Version5 : RegFormat::Regedit4;
}

namespace {

// Whether a string of the program's table loads, as the program loads it.
bool string_loads(UINT id) {
  char text[512];
  return LoadStringA(program_instance(), id, text, sizeof text) > 0;
}

// Why the removal never ran, when the program's start-up or gate ended it.
std::string why_not_run(const Report& r, Machine& m) {
  if (r.exit_code == 2) return "the program refused to run on this machine (exit code 2): nothing was removed";
  if (!r.actions.empty() && r.actions.back().answer != Answer::Ok && r.actions.back().answer != Answer::Enter)
    return "the user answered " + to_string(r.actions.back().answer) + ": nothing was removed";
  if (!string_loads(IDS_MODEM_PROGRAM))
    return "string " + std::to_string(IDS_MODEM_PROGRAM) +
           " (the modem-mode program name) could not be loaded: the program ends at once with exit code 0, "
           "before the platform test, showing nothing and removing nothing";
  const Version& v = m.version;
  const bool nt4 = !v.query_fails && v.platform_id == VER_PLATFORM_WIN32_NT && v.major == 4;
  const bool served = !v.query_fails && (v.platform_id == VER_PLATFORM_WIN32_WINDOWS ||
                                         (v.platform_id == VER_PLATFORM_WIN32_NT && v.major == 5));
  if (r.silent_mode && !served) {
    const std::string end =
        "started with /nogui the program ends at once with exit code 0, before any rights test, showing no "
        "message and removing nothing";
    if (nt4 && r.modem_mode) return "Windows NT 4 is served in modem mode only interactively: " + end;
    if (nt4) return "Windows NT 4 is not served in adapter mode (only in modem mode, and only interactively): " + end;
    if (v.query_fails)
      return "the platform could not be identified (GetVersionExA failed), so it is not served: " + end;
    return platform_name() + " is not a platform the program serves: " + end;
  }
  if (m.ui().dialog_fails)
    return "the main dialog could not be created: the program ends with exit code 0 and removes nothing";
  return "the program ended without running the removal";
}

// The class sweep of Windows 95/98 and NT 4 deletes the class sub-keys it
// matches; when it deleted none, says which key it swept and what a match
// needs. On NT 4 no deletion also means the setup runner is not started.
std::string why_no_class_subkey(const Report& r, Machine& m, const Registry& before) {
  const bool nt4 = m.is_nt() && m.version.major == 4;
  const std::string key = nt4 ? "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\"
                                "{4D36E96D-E325-11CE-BFC1-08002BE10318}"
                              : std::string("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\") +
                                    (r.modem_mode ? "Modem" : "Net");
  const std::string then = nt4 ? ", so the setup file's uninstall section was not started either" : "";
  if (!before.key_exists(key)) return "no class sub-key matched: there is no class key " + key + then;
  const std::vector<std::string> names = before.subkey_names(key);
  if (names.empty()) return "no class sub-key matched: the class key " + key + " has no sub-keys" + then;
  for (const std::string& name : names)
    if (!m.registry.key_exists(key + "\\" + name)) return {};
  const std::string count = std::to_string(names.size()) + " sub-key(s) of " + key;
  if (nt4) {
    if (!string_loads(IDS_MODEM_DRIVER_DESC))
      return "no class sub-key matched: string " + std::to_string(IDS_MODEM_DRIVER_DESC) +
             " (the driver description looked for) could not be loaded" + then;
    return "no class sub-key matched: none of the " + count +
           " has a \"DriverDesc\" equal to the description looked for (two blanks), or its tree could not be "
           "deleted" +
           then;
  }
  std::string rule =
      "is named by the last four characters of the \"Driver\" value of a supported device's "
      "instance under HKEY_LOCAL_MACHINE\\Enum\\PCI";
  if (r.modem_mode) rule += " or has a \"DriverDesc\" of two blanks";
  return "no class sub-key matched: none of the " + count + " " + rule + ", or its deletion was refused";
}

// Windows 95/98 and NT 4: the removal ends by starting the setup file's
// uninstall section; when nothing started, says why.
std::string why_nothing_started(const Report& r, Machine& m, const Registry& before) {
  if (!r.started.empty()) return {};
  const std::string then = ": the setup file's uninstall section was not started";
  const UINT file_id = r.modem_mode ? IDS_INF_MODEM : IDS_INF_ADAPTER;
  char file[256] = {};
  if (LoadStringA(program_instance(), file_id, file, sizeof file) <= 0)
    return "string " + std::to_string(file_id) + " (the setup file's name) could not be loaded" + then;
  const std::string name = file;
  if (name.find_first_not_of(" .") == std::string::npos)
    return "the setup file's name (string " + std::to_string(file_id) +
           ") is blanks, which name no file a search can find" + then;
  if (!m.is_nt()) {
    char key[256] = {}, value[256] = {};
    if (LoadStringA(program_instance(), IDS_SETUP_KEY, key, sizeof key) <= 0 ||
        LoadStringA(program_instance(), IDS_SETUP_SCRATCH, value, sizeof value) <= 0)
      return "string " + std::to_string(IDS_SETUP_KEY) + " or " + std::to_string(IDS_SETUP_SCRATCH) +
             " (the setup folder's key and value) could not be loaded" + then;
    const std::string full = std::string("HKEY_LOCAL_MACHINE\\") + key;
    RegValue folder;
    if (!before.get_value(full, value, &folder))
      return "the setup file is not beside the program, and the setup folder cannot be read (there is no value \"" +
             std::string(value) + "\" in " + full + ")" + then;
    if (folder.type != REG_SZ && folder.type != REG_EXPAND_SZ)
      return "the setup file is not beside the program, and the setup folder (value \"" + std::string(value) +
             "\" of " + full + ") is not a string" + then;
  }
  return "the setup file " + name + " is neither beside the program nor in the setup folder" + then;
}

std::vector<std::string> explain(const Report& r, Machine& m, const Registry& before) {
  std::vector<std::string> why;
  if (!r.completed) return why;
  if (!r.removal_ran) {
    why.push_back(why_not_run(r, m));
    return why;
  }
  if (m.is_nt() && m.version.major >= 5) {
    for (const auto& note : m.netcfg().notes) why.push_back("network configuration: " + note);
    const DeviceInstaller& d = m.devices();
    if (d.net_lists > 0 && d.net_devices_listed == 0) {
      why.push_back("no device of the network class is present: there was nothing to remove");
    } else if (d.net_lists > 0 && d.removals_asked == 0) {
      why.push_back("no supported device: " + std::to_string(d.net_devices_listed) +
                    " device(s) of the network class present, none with a supported vendor and device id");
    } else if (d.net_lists == 0) {
      why.push_back("the device installer was not asked for the network devices: no device was removed");
    }
    return why;
  }
  const std::string no_class = why_no_class_subkey(r, m, before);
  if (!no_class.empty()) why.push_back(no_class);
  // On NT 4 without a deleted class sub-key the line above says why.
  if (!(m.is_nt() && !no_class.empty()))
    if (std::string line = why_nothing_started(r, m, before); !line.empty()) why.push_back(line);
  if (r.registry_diff.empty())
    why.push_back("the registry purge found nothing to remove: no key of a supported device changed");
  explain_folder_purge(r, m, why);
  return why;
}

}  // namespace

Report run(const Profile& profile) {
  apply_profile(profile);
  Machine& m = machine();
  m.resources().load_res(netpurge_res, netpurge_res_size, "netpurge.res");
  Registry before = m.registry;
  g_program = ProgramState{};
  g_removal_ran = false;

  Report r;
  r.platform = platform_name();
  try {
    r.exit_code = RunProgram();
  } catch (const SimulationError& e) {
    r.completed = false;
    r.error = e.what();
  }
  r.modem_mode = g_program.modemMode != FALSE;
  r.silent_mode = g_program.silentMode != FALSE;
  r.removal_ran = g_removal_ran;
  r.shown = m.ui().shown;
  r.actions = m.ui().actions;
  r.started = m.started;
  r.registry_diff = m.registry.diff_from(before);
  r.security_changes = m.registry.security_changes_from(before);
  try {
    r.registry_backup = m.registry.undo_to(before, regedit_format(m));
  } catch (const UnrepresentableText& e) {
    r.registry_backup_error = e.what();
  }
  r.deleted_files = m.files().deleted_files;
  r.removed_folders = m.files().removed_folders;
  r.find_handles_left = m.files().open_find_handles();
  r.removal = netcfg_report(m);
  r.why = explain(r, m, before);
  r.write_lock_held = m.netcfg().program_holds_lock();
  r.write_lock_holder = m.netcfg().program_lock_holder();
  r.scm_handles_left = m.scm_open_handles;
  r.registry_handles_left = m.registry.open_handle_count();
  r.token_handles_left = m.security.tokens.size();
  r.heap_blocks_left = m.security.blocks_left();
  return r;
}

namespace {

std::string icon_name(UINT type) {
  switch (type & 0xF0) {
    case MB_ICONHAND: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONEXCLAMATION: return "warning";
    case MB_ICONASTERISK: return "information";
    default: return "none";
  }
}

std::string buttons_name(UINT type) {
  switch (type & 0x0F) {
    case MB_OK: return "ok";
    case MB_OKCANCEL: return "ok-cancel";
    case MB_YESNO: return "yes-no";
    default: return "other";
  }
}

// Continuation lines of a multi-line text line up under its first line.
std::string indent(const std::string& text) {
  std::string out;
  for (char c : text) {
    out.push_back(c);
    if (c == '\n') out += "               ";
  }
  return out;
}

std::string show_name(UINT show) {
  switch (show) {
    case SW_HIDE: return "SW_HIDE";
    case SW_SHOWNORMAL: return "SW_SHOWNORMAL";
    case SW_SHOW: return "SW_SHOW";
    default: return std::to_string(show);
  }
}

}  // namespace

nlohmann::json to_json(const Report& r) {
  nlohmann::json j;
  j["completed"] = r.completed;
  if (!r.completed) j["error"] = r.error;
  j["exit_code"] = r.exit_code;
  j["platform"] = r.platform;
  j["modem_mode"] = r.modem_mode;
  j["silent_mode"] = r.silent_mode;
  j["removal_ran"] = r.removal_ran;
  j["shown"] = nlohmann::json::array();
  for (const auto& s : r.shown) {
    nlohmann::json e{{"kind", s.kind}, {"caption", s.caption}, {"text", s.text}};
    if (s.kind == "dialog") {
      e["buttons"] = s.buttons;
      e["rect"] = {s.rect.left, s.rect.top, s.rect.right, s.rect.bottom};
    } else {
      e["icon"] = icon_name(s.type);
      e["buttons"] = buttons_name(s.type);
    }
    j["shown"].push_back(e);
  }
  j["user"] = nlohmann::json::array();
  for (const auto& a : r.actions) j["user"].push_back({{"answer", to_string(a.answer)}, {"window", a.target}});
  j["started"] = nlohmann::json::array();
  for (const auto& s : r.started)
    j["started"].push_back({{"command_line", s.command_line}, {"show", s.show}, {"program", s.program}});
  j["deleted_files"] = r.deleted_files;
  j["removed_folders"] = r.removed_folders;
  for (const auto& [key, value] : r.removal.items()) j[key] = value;
  j["why"] = r.why;
  j["write_lock_held"] = r.write_lock_held;
  j["registry_diff"] = r.registry_diff;
  j["security_changes"] = nlohmann::json::array();
  for (const auto& [key, sddl] : r.security_changes) j["security_changes"].push_back({{"key", key}, {"sddl", sddl}});
  j["leaks"] = {{"service_manager_handles", r.scm_handles_left},
                {"registry_handles", r.registry_handles_left},
                {"token_handles", r.token_handles_left},
                {"heap_blocks", r.heap_blocks_left},
                {"find_handles", r.find_handles_left}};
  return j;
}

std::string to_text(const Report& r) {
  std::ostringstream o;
  o << "Platform:     " << r.platform << "\n";
  o << "Mode:         " << (r.modem_mode ? "modem" : "adapter") << ", " << (r.silent_mode ? "silent" : "interactive")
    << "\n";
  if (r.shown.empty()) o << "Shown:        nothing\n";
  for (const auto& s : r.shown) {
    if (s.kind == "dialog") {
      o << "Dialog:       \"" << s.caption << "\"\n";
      o << "              text: \"" << indent(s.text) << "\"\n";
      o << "              buttons:";
      for (const auto& b : s.buttons) o << " [" << b << "]";
      o << "\n";
      o << "              at " << s.rect.left << "," << s.rect.top << " size " << s.rect.right - s.rect.left << "x"
        << s.rect.bottom - s.rect.top << "\n";
    } else {
      o << "Message box:  \"" << s.caption << "\" (" << icon_name(s.type) << ", " << buttons_name(s.type) << ")\n";
      o << "              \"" << indent(s.text) << "\"\n";
    }
  }
  for (const auto& a : r.actions) o << "User:         " << to_string(a.answer) << " on \"" << a.target << "\"\n";
  o << "Removal:      " << (r.removal_ran ? "ran" : "did not run") << "\n";
  if (r.started.empty()) o << "Started:      nothing\n";
  for (const auto& s : r.started) {
    if (s.program.empty())
      o << "Not started:  " << s.command_line << " (" << show_name(s.show) << "; no such program)\n";
    else
      o << "Started:      " << s.command_line << " (" << show_name(s.show) << ")\n              program " << s.program
        << "\n";
  }
  if (r.deleted_files.empty() && r.removed_folders.empty()) o << "Files:        unchanged\n";
  for (const auto& f : r.deleted_files) o << "Deleted file: " << f << "\n";
  for (const auto& f : r.removed_folders) o << "Removed dir:  " << f << "\\\n";
  for (const auto& pair : r.removal.value("unbound", nlohmann::json::array()))
    o << "Unbound:      " << pair[0].get<std::string>() << " from " << pair[1].get<std::string>() << "\n";
  if (r.removal.value("applied", 0) > 0) o << "Applied:      " << r.removal["applied"].get<int>() << " time(s)\n";
  for (const auto& id : r.removal.value("removed_devices", nlohmann::json::array()))
    o << "Removed:      " << id.get<std::string>() << "\n";
  if (!r.removal.value("com_leaks", nlohmann::json::array()).empty())
    o << "COM leaks:    " << r.removal["com_leaks"].dump() << "\n";
  if (r.registry_diff.empty()) {
    o << "Registry:     unchanged\n";
  } else {
    o << "Registry changes:\n" << r.registry_diff;
    if (r.registry_diff.back() != '\n') o << "\n";
  }
  if (!r.security_changes.empty()) {
    o << "Security changes:\n";
    for (const auto& [key, sddl] : r.security_changes) o << "  [" << key << "] " << sddl << "\n";
  }
  if (r.scm_handles_left || r.registry_handles_left || r.find_handles_left || r.token_handles_left ||
      r.heap_blocks_left)
    o << "Leaks:        " << r.scm_handles_left << " service manager handle(s), " << r.registry_handles_left
      << " registry handle(s), " << r.find_handles_left << " search handle(s), " << r.token_handles_left
      << " token handle(s) left open, " << r.heap_blocks_left << " heap block(s) not freed\n";
  for (const auto& reason : r.why) o << "Why:          " << reason << "\n";
  if (r.write_lock_held)
    o << "Lock held:    the program ended still holding the network configuration write lock (as \""
      << r.write_lock_holder << "\"): it never released it, so no other program can change the network "
      << "configuration\n";
  if (!r.completed) o << "Run stopped:  " << r.error << "\n";
  o << "Exit code:    " << r.exit_code << (r.completed ? "" : " (not reached)") << "\n";
  return o.str();
}

}  // namespace netpurge_sim
