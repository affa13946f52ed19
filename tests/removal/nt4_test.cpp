// The Windows NT 4 removal's operations where the registry or the platform
// fights back: letter case, texts missing from the string table, keys that
// cannot be opened or deleted, the access lists written and put back, and
// an exhausted heap or an unavailable token.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "sim/win32/machine.h"
#include "sim/win32/resources.h"
#include "uninstaller/netpurge.h"

namespace {

using namespace sim::win32;

const std::string kClass =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
const std::string kUnimodem =
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Unimodem\\DeviceSpecific";
const std::string kDevice = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\Root\\PCI&VEN_FFFF&DEV_FFFF";

void load(const std::string& body) { machine().registry.import_reg("REGEDIT4\r\n\r\n" + body, "test"); }
bool exists(const std::string& path) { return machine().registry.key_exists(path); }
std::string sddl(const std::string& path) { return to_sddl(machine().registry.security(path)); }

// An NT 4 machine in modem mode with the layout of a fresh installation
// over `body`: the Enum tree writable by SYSTEM alone.
void nt4(const std::string& body) {
  removal_test::fresh_machine("nt4", true);
  load(body);
  machine().registry.apply_security(*parse_sddl("O:BAG:SYD:(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;WD)", nullptr),
                                    {{"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum",
                                      *parse_sddl("O:BAG:SYD:(A;CI;KA;;;SY)(A;CI;KR;;;WD)", nullptr)}});
}

void expect_no_leaks() {
  EXPECT_EQ(machine().registry.open_handle_count(), 0u);
  EXPECT_TRUE(machine().security.tokens.empty());
  EXPECT_EQ(machine().security.blocks_left(), 0u);
}

TEST(Nt4Removal, DescriptionsAndPrefixesCompareInAnyLetterCase) {
  nt4("[" + kClass + "\\0000]\r\n\"DriverDesc\"=\"TAVIX modem\"\r\n\r\n[" + kClass +
      "\\0001]\r\n\"DriverDesc\"=\"Tavix Modem 2\"\r\n\r\n[" + kUnimodem + "\\tavix]\r\n\r\n[" + kUnimodem +
      "\\TAVIX MODEM #2]\r\n\r\n[" + kUnimodem + "\\Tavix Mode]\r\n\r\n[" + kDevice + "\\0000\\Control]\r\n");
  machine().resources().replaced_strings[218] = "Tavix Modem";
  EXPECT_EQ(RemoveNt4Adapters(), 1);
  EXPECT_FALSE(exists(kClass + "\\0000"));
  EXPECT_TRUE(exists(kClass + "\\0001"));
  EXPECT_FALSE(exists(kUnimodem + "\\TAVIX MODEM #2"));
  EXPECT_TRUE(exists(kUnimodem + "\\tavix"));
  EXPECT_TRUE(exists(kUnimodem + "\\Tavix Mode"));
  EXPECT_FALSE(exists(kDevice));
  expect_no_leaks();
}

TEST(Nt4Removal, CountAndMissingTexts) {
  const std::string reg = "[" + kClass + "\\0000]\r\n\"DriverDesc\"=\"  \"\r\n\r\n[" + kClass +
                          "\\0001]\r\n\"DriverDesc\"=\"  \"\r\n\r\n[" + kUnimodem + "\\  x]\r\n\r\n[" + kDevice +
                          "\\0000]\r\n";
  struct Case {
    UINT missing;  // 0: none
    int count;
    bool class_left, unimodem_left, device_left;
  };
  // 218/213: nothing at all; 215: no Unimodem sweep; 221/220: no root clean-up.
  for (const Case& c :
       {Case{0, 2, false, false, false}, Case{218, 0, true, true, true}, Case{213, 0, true, true, true},
        Case{215, 2, false, true, false}, Case{221, 2, false, false, true}, Case{220, 2, false, false, true}}) {
    nt4(reg);
    if (c.missing) machine().resources().missing_strings.insert(c.missing);
    EXPECT_EQ(RemoveNt4Adapters(), c.count) << c.missing;
    EXPECT_EQ(exists(kClass + "\\0000") || exists(kClass + "\\0001"), c.class_left) << c.missing;
    EXPECT_EQ(exists(kUnimodem + "\\  x"), c.unimodem_left) << c.missing;
    EXPECT_EQ(exists(kDevice), c.device_left) << c.missing;
    expect_no_leaks();
  }
}

TEST(Nt4Removal, FailedClassDeletionIsNotCountedAndTheSweepGoesOn) {
  nt4("[" + kClass + "\\0000\\Init]\r\n\r\n[" + kClass + "\\0000]\r\n\"DriverDesc\"=\"  \"\r\n\r\n[" + kClass +
      "\\0001]\r\n\"DriverDesc\"=\"  \"\r\n\r\n[" + kDevice + "\\0000]\r\n\r\n[" + kDevice + "\\0001]\r\n\r\n[" +
      kUnimodem + "\\  a]\r\n\r\n[" + kUnimodem + "\\  b]\r\n");
  machine().registry.faults().delete_fails = {kClass + "\\0000", kUnimodem + "\\  a"};
  EXPECT_EQ(RemoveNt4Adapters(), 1);
  // The class sub-key stays without its sub-tree; its root instance still went.
  EXPECT_TRUE(exists(kClass + "\\0000"));
  EXPECT_FALSE(exists(kClass + "\\0000\\Init"));
  EXPECT_FALSE(exists(kClass + "\\0001"));
  // A failed Unimodem deletion ends that sweep; the root clean-up still runs,
  // here with the whole device key already emptied by the class sweep.
  EXPECT_TRUE(exists(kUnimodem + "\\  b"));
  EXPECT_FALSE(exists(kDevice));
  expect_no_leaks();
}

TEST(Nt4Removal, DeleteKeyTreeDepthFirstAndStopsAtAKeyItCannotOpen) {
  nt4("[" + kClass + "\\T\\A\\A1]\r\n\r\n[" + kClass + "\\T\\A\\A2]\r\n\r\n[" + kClass + "\\T\\B\\B1]\r\n");
  Registry before = machine().registry;
  machine().registry.faults().open_fails = {kClass + "\\T\\B\\B1"};
  HKEY cls = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClass.substr(19).c_str(), 0, KEY_ALL_ACCESS, &cls), ERROR_SUCCESS);
  EXPECT_EQ(DeleteKeyTree(cls, "T", 0), 0);
  EXPECT_FALSE(exists(kClass + "\\T\\A"));
  EXPECT_TRUE(exists(kClass + "\\T\\B\\B1"));
  // With the grant flag clear no access list is touched.
  EXPECT_TRUE(machine().registry.security_changes_from(before).empty());
  machine().registry.faults().open_fails.clear();
  EXPECT_EQ(DeleteKeyTree(cls, "T", 0), 1);
  EXPECT_FALSE(exists(kClass + "\\T"));
  RegCloseKey(cls);
  expect_no_leaks();
}

TEST(Nt4Removal, GrantedListIsTheOneEntryForTheUserAndPutBackOnKeysThatStay) {
  nt4("[" + kDevice + "\\0000\\Control]\r\n\r\n[" + kDevice + "\\0001]\r\n");
  const std::string was = sddl(kDevice + "\\0000");
  HKEY root = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Enum\\Root\\PCI&VEN_FFFF&DEV_FFFF", 0,
                          KEY_READ, &root),
            ERROR_SUCCESS);
  // Without a grant an administrator cannot open the instance for deletion.
  EXPECT_EQ(DeleteKeyTree(root, "0000", 0), 0);
  EXPECT_TRUE(exists(kDevice + "\\0000\\Control"));

  // The grant replaces the whole list: revision 2, one entry without
  // inheritance flags, mask 0x1FFFFF, for the token's user; owner unchanged.
  PSECURITY_DESCRIPTOR previous = nullptr;
  ASSERT_EQ(GrantKeyFullAccess(root, "0000", &previous), 1);
  ASSERT_NE(previous, nullptr);
  const std::string user = sid_to_text(make_token(machine().security.user_sid, true).user);
  EXPECT_EQ(sddl(kDevice + "\\0000"), "O:BAG:SYD:(A;;0x1fffff;;;" + user + ")");
  HeapFree(GetProcessHeap(), 0, previous);
  EXPECT_EQ(GrantKeyFullAccess(root, "0001", nullptr), 1);
  EXPECT_EQ(sddl(kDevice + "\\0001"), "O:BAG:SYD:(A;;0x1fffff;;;" + user + ")");

  // A deletion that does not complete puts each granted key's list back.
  nt4("[" + kDevice + "\\0000\\Control]\r\n");
  machine().registry.faults().delete_fails = {kDevice + "\\0000\\Control"};
  Registry before = machine().registry;
  HKEY device = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Enum\\Root", 0, KEY_READ, &device),
            ERROR_SUCCESS);
  EXPECT_EQ(DeleteKeyTree(device, "PCI&VEN_FFFF&DEV_FFFF", 1), 0);
  EXPECT_TRUE(exists(kDevice + "\\0000\\Control"));
  EXPECT_TRUE(machine().registry.security_changes_from(before).empty());
  EXPECT_EQ(sddl(kDevice + "\\0000"), was);
  RegCloseKey(device);
  RegCloseKey(root);
  expect_no_leaks();
}

TEST(Nt4Removal, ExhaustedHeapOrNoTokenGrantsNothing) {
  // Allocations: token information, SID copy, access list, kept list.
  for (unsigned fail = 1; fail <= 4; ++fail) {
    nt4("[" + kDevice + "\\0000]\r\n");
    Registry before = machine().registry;
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Enum\\Root", 0, KEY_READ, &root),
              ERROR_SUCCESS);
    machine().security.heap_fail_at = {machine().security.allocations + fail};
    PSECURITY_DESCRIPTOR previous = nullptr;
    EXPECT_EQ(GrantKeyFullAccess(root, "PCI&VEN_FFFF&DEV_FFFF", &previous), 0) << fail;
    EXPECT_EQ(previous, nullptr);
    EXPECT_TRUE(machine().registry.security_changes_from(before).empty()) << fail;
    RegCloseKey(root);
    expect_no_leaks();
  }
  // The SID copy alone: a failure gives an error and no SID.
  for (unsigned fail = 1; fail <= 2; ++fail) {
    nt4("");
    machine().security.heap_fail_at = {machine().security.allocations + fail};
    PSID sid = reinterpret_cast<PSID>(1);
    EXPECT_NE(GetCurrentUserSid(&sid), 0u) << fail;
    EXPECT_EQ(sid, nullptr);
    expect_no_leaks();
  }
  nt4("[" + kDevice + "\\0000]\r\n");
  machine().security.token_open_fails = 1;
  EXPECT_EQ(RemoveRootEnumKeys(nullptr), 0);
  EXPECT_TRUE(exists(kDevice + "\\0000"));
  expect_no_leaks();
}

}  // namespace
