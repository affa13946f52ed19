// Each folder under scenarios/ is one machine: profile.json (with the
// registry before as a .reg file), after.reg (the whole registry expected
// afterwards, compared exactly) and expect.json (what the run reports:
// unbound pairs, Apply calls, removed devices, message boxes, keys whose
// access list changed, exit code, and where given the started command lines,
// the files deleted and folders removed). A scenario with files-after.json is compared with the whole file
// tree afterwards.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

using removal_test::run_scenario;
using removal_test::scenario_dir;

class Scenario : public ::testing::TestWithParam<std::string> {};

TEST_P(Scenario, RegistryAndReportAsExpected) {
  const auto dir = scenario_dir(GetParam());
  const nlohmann::json expect = nlohmann::json::parse(removal_test::read_text(dir / "expect.json"));
  const removal_test::Outcome out = run_scenario(GetParam());

  EXPECT_EQ(out.registry, removal_test::read_text(dir / "after.reg"));
  EXPECT_EQ(out.exit_code, expect.value("exit_code", 0));
  for (const char* key : {"unbound", "applied", "removed_devices", "messages", "security_changes"}) {
    const nlohmann::json want = expect.contains(key)            ? expect[key]
                                : std::string(key) == "applied" ? nlohmann::json(0)
                                                                : nlohmann::json::array();
    EXPECT_EQ(out.report[key], want) << key;
  }
  for (const char* key : {"started", "deleted_files", "removed_folders", "current_folder"}) {
    if (expect.contains(key)) {
      EXPECT_EQ(out.report[key], expect[key]) << key;
    }
  }
  if (std::filesystem::exists(dir / "files-after.json")) {
    EXPECT_EQ(out.files, nlohmann::json::parse(removal_test::read_text(dir / "files-after.json")));
  }
  EXPECT_EQ(out.report["find_handles_left"], 0);
  if (expect.contains("clock_ms")) {
    EXPECT_EQ(out.report["clock_ms"], expect["clock_ms"]) << "virtual time";
  }
  // Whatever the run obtained it gave back.
  EXPECT_EQ(out.report["com_leaks"], nlohmann::json::array());
  EXPECT_EQ(out.report["registry_handles_left"], 0);
  EXPECT_EQ(out.report["token_handles_left"], 0);
  EXPECT_EQ(out.report["heap_blocks_left"], 0);
}

TEST_P(Scenario, SameMachineTwiceSameResult) {
  const removal_test::Outcome first = run_scenario(GetParam());
  const removal_test::Outcome second = run_scenario(GetParam());
  EXPECT_EQ(first.registry, second.registry);
  EXPECT_EQ(first.report, second.report);
  EXPECT_EQ(first.files, second.files);
}

INSTANTIATE_TEST_SUITE_P(Files, Scenario, ::testing::ValuesIn(removal_test::scenario_names()),
                         [](const auto& info) { return removal_test::scenario_test_name(info.param); });

}  // namespace
