#include "harness.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "platform/program_entry.h"
#include "sim/win32/files.h"
#include "sim/win32/machine.h"
#include "sim/win32/netcfg.h"
#include "sim/win32/profile.h"
#include "sim/win32/resources.h"
#include "sim/win32/ui.h"
#include "uninstaller/netpurge.h"

extern const unsigned char netpurge_res[];
extern const unsigned long netpurge_res_size;

namespace removal_test {

using namespace sim::win32;

std::string read_text(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error(file.string() + ": cannot read");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::filesystem::path scenario_dir(const std::string& name) {
  return std::filesystem::path(REMOVAL_SCENARIOS_DIR) / name;
}

std::vector<std::string> scenario_names() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(REMOVAL_SCENARIOS_DIR))
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string scenario_test_name(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return out;
}

namespace {
void load_program_resources() { machine().resources().load_res(netpurge_res, netpurge_res_size, "netpurge.res"); }
}  // namespace

Outcome run_scenario(const std::string& name) {
  const auto dir = scenario_dir(name);
  Profile profile = load_profile_file(dir / "profile.json");
  const nlohmann::json expect = nlohmann::json::parse(read_text(dir / "expect.json"));
  apply_profile(profile);
  load_program_resources();
  g_program = ProgramState{};
  const Registry before = machine().registry;

  Outcome out;
  const std::string steps = expect.value("steps", "program");
  if (steps == "class_sweep") {
    g_program.instance = program_instance();
    g_program.modemMode = expect.value("modem_mode", false) ? TRUE : FALSE;
    PurgeClassKeys9x();
  } else {
    out.exit_code = RunProgram();
  }
  out.registry = machine().registry.export_reg();
  out.report = netcfg_report(machine());
  out.report["messages"] = nlohmann::json::array();
  for (const auto& shown : machine().ui().shown)
    if (shown.kind == "message_box") out.report["messages"].push_back({shown.caption, shown.text});
  out.report["registry_handles_left"] = machine().registry.open_handle_count();
  out.report["token_handles_left"] = machine().security.tokens.size();
  out.report["heap_blocks_left"] = machine().security.blocks_left();
  out.report["security_changes"] = nlohmann::json::array();
  for (const auto& [key, sddl] : machine().registry.security_changes_from(before))
    out.report["security_changes"].push_back({{"key", key}, {"sddl", sddl}});
  out.report["started"] = nlohmann::json::array();
  for (const auto& started : machine().started) out.report["started"].push_back(started.command_line);
  out.report["clock_ms"] = machine().clock.now_ms();
  out.report["started"] = nlohmann::json::array();
  for (const auto& started : machine().started) out.report["started"].push_back(started.command_line);
  out.report["deleted_files"] = machine().files().deleted_files;
  out.report["removed_folders"] = machine().files().removed_folders;
  out.report["current_folder"] = machine().files().current_folder;
  out.report["find_handles_left"] = machine().files().open_find_handles();
  out.files = export_files(machine().files());
  return out;
}

void fresh_machine(const std::string& platform, bool modem_mode) {
  Profile profile = parse_profile("{\"platform\": \"" + platform + "\"}", "<test>", {});
  apply_profile(profile);
  load_program_resources();
  g_program = ProgramState{};
  g_program.instance = program_instance();
  g_program.modemMode = modem_mode ? TRUE : FALSE;
  // The program folder, as start-up takes it from a quoted command line.
  const std::string& module = sim::win32::machine().module_path;
  const std::size_t slash = module.find_last_of('\\');
  if (slash != std::string::npos && slash + 1 < sizeof g_program.programFolder)
    module.copy(g_program.programFolder, slash + 1);
}

void fresh_resources(bool silent_mode, bool modem_mode) {
  load_program_resources();
  g_program = ProgramState{};
  g_program.instance = program_instance();
  g_program.silentMode = silent_mode ? TRUE : FALSE;
  g_program.modemMode = modem_mode ? TRUE : FALSE;
  // The program folder, as start-up takes it from a quoted command line.
  const std::string& module = sim::win32::machine().module_path;
  const std::size_t slash = module.find_last_of('\\');
  if (slash != std::string::npos && slash + 1 < sizeof g_program.programFolder)
    module.copy(g_program.programFolder, slash + 1);
}

}  // namespace removal_test
