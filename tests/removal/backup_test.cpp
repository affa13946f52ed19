// The undo file of every scenario's run: imported into the registry the run
// left, it must give back the registry the run started from.
#include <gtest/gtest.h>

#include "harness.h"
#include "sim/win32/machine.h"
#include "sim/win32/profile.h"

namespace {

using namespace sim::win32;

class Backup : public ::testing::TestWithParam<std::string> {};

TEST_P(Backup, UndoFileRestoresTheRegistryBeforeTheRun) {
  apply_profile(load_profile_file(removal_test::scenario_dir(GetParam()) / "profile.json"));
  const Registry before = machine().registry;
  removal_test::run_scenario(GetParam());
  const Registry after = machine().registry;
  const RegFormat format =
      machine().is_nt() && machine().version.major >= 5 ? RegFormat::Version5 : RegFormat::Regedit4;

  Registry restored = after;
  restored.import_reg(after.undo_to(before, format), "undo.reg");
  EXPECT_EQ(restored.diff_from(before), "");
  EXPECT_EQ(before.diff_from(restored), "");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Backup, ::testing::ValuesIn(removal_test::scenario_names()),
                         [](const auto& info) { return removal_test::scenario_test_name(info.param); });

}  // namespace
