// The undo file of a registry change: imported into the registry after the
// change, it must give back the registry before it, in both of regedit's
// formats and on both families.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "sim/win32/registry.h"

namespace {

using sim::win32::RegFamily;
using sim::win32::RegFormat;
using sim::win32::Registry;

const char* const kBefore =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Keep]\r\n"
    "@=\"default\"\r\n"
    "\"Same\"=\"unchanged\"\r\n"
    "\"Changed\"=\"old text\"\r\n"
    "\"Retyped\"=dword:00000007\r\n"
    "\"Deleted\"=hex:01,02,03\r\n"
    "\"Multi\"=hex(7):61,00,62,00,00,00\r\n"
    "\"Quote \\\"and\\\\ slash\"=\"x\"\r\n"
    "[HKEY_LOCAL_MACHINE\\Keep\\Gone]\r\n"
    "\"V\"=\"in a deleted key\"\r\n"
    "[HKEY_LOCAL_MACHINE\\Keep\\Gone\\Deeper\\Still]\r\n"
    "[HKEY_LOCAL_MACHINE\\Keep\\Emptied]\r\n"
    "\"Only\"=\"value\"\r\n"
    "[HKEY_CURRENT_USER\\Software\\Tool]\r\n"
    "\"Path\"=hex(2):25,00\r\n";

// What a run might do: delete keys and values, change data and types, add
// keys and values.
void change(Registry& reg) {
  reg.import_reg(
      "REGEDIT4\r\n\r\n"
      "[-HKEY_LOCAL_MACHINE\\Keep\\Gone]\r\n"
      "[HKEY_LOCAL_MACHINE\\Keep]\r\n"
      "@=-\r\n"
      "\"Changed\"=\"new text\"\r\n"
      "\"Retyped\"=\"now a string\"\r\n"
      "\"Deleted\"=-\r\n"
      "\"Added\"=dword:00000001\r\n"
      "[HKEY_LOCAL_MACHINE\\Keep\\Emptied]\r\n"
      "\"Only\"=-\r\n"
      "[HKEY_LOCAL_MACHINE\\Keep\\New\\Sub]\r\n"
      "\"X\"=\"y\"\r\n"
      "[-HKEY_CURRENT_USER\\Software]\r\n",
      "change.reg");
}

class Undo : public ::testing::TestWithParam<std::tuple<RegFamily, RegFormat>> {
 protected:
  // The registry before the change, on the family under test.
  Registry before_change() const {
    Registry before;
    before.set_family(std::get<RegFamily>(GetParam()));
    before.import_reg(kBefore, "before.reg");
    return before;
  }
  RegFormat format() const { return std::get<RegFormat>(GetParam()); }
};

TEST_P(Undo, ImportedAfterTheChangeGivesBackTheRegistryBefore) {
  const Registry before = before_change();
  Registry after = before;
  change(after);
  ASSERT_FALSE(after.diff_from(before).empty());

  const std::string undo = after.undo_to(before, format());
  Registry restored = after;
  restored.import_reg(undo, "undo.reg");
  EXPECT_EQ(restored.diff_from(before), "") << undo;
  EXPECT_EQ(before.diff_from(restored), "") << undo;
}

TEST_P(Undo, NothingChangedGivesAnUndoThatChangesNothing) {
  const Registry before = before_change();
  Registry restored = before;
  restored.import_reg(before.undo_to(before, format()), "undo.reg");
  EXPECT_EQ(restored.export_reg(), before.export_reg());
}

INSTANTIATE_TEST_SUITE_P(FamiliesAndFormats, Undo,
                         ::testing::Combine(::testing::Values(RegFamily::Win9x, RegFamily::NT),
                                            ::testing::Values(RegFormat::Regedit4, RegFormat::Version5)));

}  // namespace
