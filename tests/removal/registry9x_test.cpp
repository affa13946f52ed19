// The Windows 95/98 purge's operations where the registry fights back:
// deletions refused inside a sweep, texts missing from the string table,
// values too large for their buffers, binding chains deeper than the bound.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "harness.h"
#include "sim/win32/machine.h"
#include "sim/win32/resources.h"
#include "uninstaller/netpurge.h"

namespace {

using sim::win32::machine;

const std::string kPci = "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_1229&SUBSYS_00018086&REV_08";
const std::string kNet = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net";
const std::string kModem = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem";
const std::string kNetwork = "HKEY_LOCAL_MACHINE\\Enum\\Network";

void load(const std::string& body) { machine().registry.import_reg("REGEDIT4\r\n\r\n" + body, "test"); }
bool exists(const std::string& path) { return machine().registry.key_exists(path); }

TEST(Purge9x, RefusedDeletionsDoNotHoldASweepInPlace) {
  // Modem mode: the marked class sub-key still matches by its description
  // after its deletion was refused; the sweep must go on to the next one.
  removal_test::fresh_machine("win98", true);
  load("[" + kModem + "\\0000]\r\n\"DriverDesc\"=\"  \"\r\n\r\n[" + kModem + "\\0001]\r\n\"DriverDesc\"=\"  \"\r\n");
  machine().registry.faults().delete_fails.push_back(kModem + "\\0000");
  EXPECT_EQ(PurgeClassKeys9x(), 2);
  EXPECT_TRUE(exists(kModem + "\\0000"));
  EXPECT_FALSE(exists(kModem + "\\0001"));

  // Flag clear: an instance and a device key that cannot be deleted.
  removal_test::fresh_machine("win98");
  load("[" + kPci + "\\A]\r\n\"Driver\"=\"Net\\\\0000\"\r\n\r\n[" + kPci + "\\B]\r\n\"Driver\"=\"Net\\\\0001\"\r\n");
  machine().registry.faults().delete_fails = {kPci + "\\A", kPci};
  EXPECT_EQ(PurgeAllPciEnumKeys(), 0);
  EXPECT_TRUE(exists(kPci + "\\A"));
  EXPECT_FALSE(exists(kPci + "\\B"));
  EXPECT_EQ(machine().registry.open_handle_count(), 0u);
}

TEST(Purge9x, NtFamilyRefusesKeysWithSubKeysAndTheSweepEnds) {
  // An "Enum\PCI" below the root of an NT registry: deleting an instance
  // that has a "Bindings" sub-key is refused there.
  removal_test::fresh_machine("win2000");
  load("[" + kPci + "\\A\\Bindings]\r\n\r\n[" + kPci + "\\A]\r\n\"Driver\"=\"Net\\\\0000\"\r\n\r\n[" + kPci +
       "\\B]\r\n\"Driver\"=\"Net\\\\0001\"\r\n");
  EXPECT_EQ(PurgeAllPciEnumKeys(), 0);
  EXPECT_TRUE(exists(kPci + "\\A"));
  EXPECT_FALSE(exists(kPci + "\\B"));
}

TEST(Purge9x, MissingTextsEndTheirStepWithoutDeleting) {
  const std::string reg = "[" + kPci + "\\A]\r\n\"Driver\"=\"Net\\\\0000\"\r\n\r\n[" + kPci +
                          "\\A\\Bindings]\r\n\"MSTCP\\\\0000\"=\"\"\r\n\r\n[" + kNetwork +
                          "\\MSTCP\\0000\\Bindings]\r\n\r\n[" + kNet + "\\0000]\r\n";
  struct Case {
    UINT missing;
    bool class_key_left, instance_left, component_left;
  };
  // 210: no class path; 211: no hardware tree; 205: no value name, every
  // device key skipped; 208/209: the bindings are not followed.
  for (const Case& c : {Case{210, true, false, false}, Case{211, true, true, true}, Case{205, true, true, true},
                        Case{208, false, false, true}, Case{209, false, false, true}}) {
    removal_test::fresh_machine("win98");
    load(reg);
    machine().resources().missing_strings.insert(c.missing);
    PurgeClassKeys9x();
    PurgeAllPciEnumKeys();
    EXPECT_EQ(exists(kNet + "\\0000"), c.class_key_left) << c.missing;
    EXPECT_EQ(exists(kPci + "\\A"), c.instance_left) << c.missing;
    EXPECT_EQ(exists(kNetwork + "\\MSTCP\\0000"), c.component_left) << c.missing;
  }
  removal_test::fresh_machine("win98");
  machine().resources().missing_strings.insert(208);
  EXPECT_EQ(RemoveNetworkEnumEntry("MSTCP\\0000"), 0);
}

TEST(Purge9x, ValuesLargerThanTheirBuffersDoNotMatch) {
  removal_test::fresh_machine("win98", true);
  const std::string long_driver(600, 'x');
  load("[" + kPci + "\\A]\r\n\"Driver\"=\"" + long_driver + "0000\"\r\n\r\n[" + kNet + "\\0000]\r\n\r\n[" + kModem +
       "\\0000]\r\n\"DriverDesc\"=\"" + std::string(600, ' ') + "\"\r\n");
  EXPECT_EQ(PurgePciEnumKeys("0000", 1), 0);
  HKEY modem = nullptr;
  ASSERT_EQ(
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\Modem", 0, KEY_ALL_ACCESS, &modem),
      ERROR_SUCCESS);
  EXPECT_EQ(MatchesModemDriverDesc(modem, "0000"), 0);
  RegCloseKey(modem);
  EXPECT_EQ(PurgeClassKeys9x(), 0);
  EXPECT_TRUE(exists(kModem + "\\0000"));
  EXPECT_TRUE(exists(kPci + "\\A"));
}

TEST(Purge9x, BindingsWithLongEntriesAndDeepChains) {
  removal_test::fresh_machine("win98");
  // A chain of 20 components, each with its own "Bindings": the first 16
  // are removed, deeper ones are left in place.
  // The instance's bindings: the chain's head, then a value whose name is
  // too long for its buffer, then a component that would otherwise go.
  std::string reg = "[" + kPci + "\\A]\r\n\"Driver\"=\"Net\\\\0000\"\r\n\r\n[" + kPci +
                    "\\A\\Bindings]\r\n\"C\\\\00\"=\"\"\r\n\"X\\\\" + std::string(200, 'n') +
                    "\"=\"\"\r\n\"D\\\\00\"=\"\"\r\n\r\n[" + kNetwork + "\\D\\00\\Bindings]\r\n";
  for (int i = 0; i < 20; ++i) {
    char name[8], next[8];
    std::snprintf(name, sizeof name, "%02d", i);
    std::snprintf(next, sizeof next, "%02d", i + 1);
    reg += "\r\n[" + kNetwork + "\\C\\" + name + "\\Bindings]\r\n\"C\\\\" + next + "\"=\"\"\r\n";
  }
  load(reg);
  HKEY instance = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_8086&DEV_1229&SUBSYS_00018086&REV_08\\A", 0,
                          KEY_ALL_ACCESS, &instance),
            ERROR_SUCCESS);
  EXPECT_EQ(RemoveInstanceBindings(instance), 1);
  RegCloseKey(instance);
  // The sweep ends at the over-long value name: the component after it stays.
  EXPECT_TRUE(exists(kNetwork + "\\D\\00"));
  EXPECT_FALSE(exists(kNetwork + "\\C\\00"));
  EXPECT_FALSE(exists(kNetwork + "\\C\\15"));
  EXPECT_TRUE(exists(kNetwork + "\\C\\16"));
  EXPECT_TRUE(exists(kNetwork + "\\C\\19"));
}

TEST(Purge9x, InstanceBindingsResult) {
  removal_test::fresh_machine("win98");
  load("[" + kPci + "\\A]\r\n\r\n[" + kPci + "\\B\\Bindings]\r\n");
  for (const auto& [name, expected] : {std::pair{"A", 0}, std::pair{"B", 1}}) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            ("Enum\\PCI\\VEN_8086&DEV_1229&SUBSYS_00018086&REV_08\\" + std::string(name)).c_str(), 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RemoveInstanceBindings(key), expected) << name;
    RegCloseKey(key);
  }
}

TEST(Purge9x, OverLongDataEndsABindingsSweep) {
  removal_test::fresh_machine("win98");
  load("[" + kPci + "\\A]\r\n\"Driver\"=\"Net\\\\0000\"\r\n\r\n[" + kPci + "\\A\\Bindings]\r\n\"C\\\\01\"=\"" +
       std::string(700, 'd') + "\"\r\n\"C\\\\00\"=\"\"\r\n\r\n[" + kNetwork + "\\C\\00\\Bindings]\r\n\r\n[" + kNetwork +
       "\\C\\01\\Bindings]\r\n");
  EXPECT_EQ(PurgeAllPciEnumKeys(), 0);
  EXPECT_FALSE(exists(kPci + "\\A"));
  EXPECT_TRUE(exists(kNetwork + "\\C\\00"));
  EXPECT_TRUE(exists(kNetwork + "\\C\\01"));
}

TEST(Purge9x, DriverValueFillingItsBufferWithoutTerminator) {
  // 512 bytes, no terminator, ending in "0001": read whole, only its last
  // four bytes compared.
  std::string driver(508, 'x');
  driver += "0001";
  const sim::win32::RegValue value{"Driver", REG_SZ, std::vector<std::uint8_t>(driver.begin(), driver.end())};
  for (const auto& [subkey, flag, removed] :
       {std::tuple{"0001", 1, true}, std::tuple{"0002", 1, false}, std::tuple{"", 0, true}}) {
    removal_test::fresh_machine("win98");
    machine().registry.set_value(kPci + "\\A", value);
    load("[" + kPci + "\\A\\Bindings]\r\n\"C\\\\00\"=\"\"\r\n\r\n[" + kNetwork + "\\C\\00\\Bindings]\r\n");
    EXPECT_EQ(PurgePciEnumKeys(subkey, flag), flag && removed ? 1 : 0) << subkey;
    EXPECT_EQ(exists(kPci + "\\A"), !removed) << subkey;
    EXPECT_EQ(exists(kNetwork + "\\C\\00"), !removed) << subkey;
  }
}

}  // namespace
