// The simulated NT security model where a fault in the caller would hide:
// access lists sized short, rights asked for and not held, deletion without
// DELETE, inheritance at creation, descriptors written and read back, the
// token's two-call protocol, and the Windows 95/98 behaviour.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/win32/machine.h"
#include "sim/win32/profile.h"
#include "sim/win32/security.h"

namespace {

using namespace sim::win32;

const char* const kBase = "HKEY_LOCAL_MACHINE\\Software\\Test";

void nt_machine(bool admin = true) {
  apply_profile(parse_profile(std::string("{\"platform\": \"nt4\", \"admin\": ") + (admin ? "true" : "false") + "}",
                              "<test>", {}));
  machine().registry.import_reg("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Test\\Key\\Child]\r\n", "test");
}

void protect(const std::string& sub, const std::string& sddl) {
  std::string error;
  auto s = parse_sddl(sddl, &error);
  ASSERT_TRUE(s) << error;
  machine().registry.set_security(std::string(kBase) + (sub.empty() ? "" : "\\" + sub), *s);
}

std::string sddl_of(const std::string& sub) {
  return to_sddl(machine().registry.security(std::string(kBase) + (sub.empty() ? "" : "\\" + sub)));
}

LONG open(const char* sub, REGSAM sam, HKEY* key) {
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string("Software\\Test\\") + sub).c_str(), 0, sam, key);
}

Sid user_sid() { return make_token(machine().security.user_sid, machine().admin).user; }

// An absolute descriptor whose list holds one allowed entry for `sid`.
struct OneEntryDescriptor {
  std::vector<std::uint8_t> acl;
  SECURITY_DESCRIPTOR sd{};
  OneEntryDescriptor(Sid sid, DWORD mask) : acl(16 + sid.size()) {
    auto* a = reinterpret_cast<PACL>(acl.data());
    EXPECT_TRUE(InitializeAcl(a, static_cast<DWORD>(acl.size()), ACL_REVISION));
    EXPECT_TRUE(AddAccessAllowedAce(a, ACL_REVISION, mask, sid.data()));
    EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, a, FALSE));
  }
};

TEST(Security, AclSizedShortOfItsEntry) {
  nt_machine();
  Sid sid = user_sid();
  std::vector<std::uint8_t> buffer(64);
  auto* acl = reinterpret_cast<PACL>(buffer.data());
  const DWORD exact = static_cast<DWORD>(16 + sid.size());
  // One byte short is not a whole number of DWORDs: refused at once.
  EXPECT_FALSE(InitializeAcl(acl, exact - 1, ACL_REVISION));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // One DWORD short: the list is made, the entry does not fit.
  ASSERT_TRUE(InitializeAcl(acl, exact - 4, ACL_REVISION));
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, 0x1FFFFF, sid.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALLOTTED_SPACE_EXCEEDED));
  ASSERT_TRUE(InitializeAcl(acl, exact, ACL_REVISION));
  EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 0x1FFFFF, sid.data()));
  EXPECT_EQ(acl->AceCount, 1);
  // A second entry never fits the list sized for one.
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, 0x1FFFFF, sid.data()));

  // A list whose header claims less than its entries take is refused by
  // the key, and the key keeps what it had.
  OneEntryDescriptor d(sid, 0x1FFFFF);
  reinterpret_cast<PACL>(d.acl.data())->AclSize = static_cast<WORD>(d.acl.size() - 4);
  HKEY key = nullptr;
  ASSERT_EQ(open("Key", KEY_READ | WRITE_DAC, &key), ERROR_SUCCESS);
  const std::string before = sddl_of("Key");
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &d.sd), ERROR_INVALID_ACL);
  EXPECT_EQ(sddl_of("Key"), before);
  RegCloseKey(key);

  // Bad revisions and SIDs, checked as the platform checks them.
  SECURITY_DESCRIPTOR sd{};
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
  EXPECT_FALSE(InitializeAcl(acl, exact, 1));
  ASSERT_TRUE(InitializeAcl(acl, exact, ACL_REVISION));
  Sid bad = sid;
  bad[0] = 2;
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, 0x1FFFFF, bad.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  sd.Revision = 0;
  EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
}

TEST(Security, RightsAskedForAreCheckedAgainstTheKeysList) {
  nt_machine();
  protect("Key", "O:SYG:SYD:(A;CI;KA;;;SY)(A;CI;KR;;;WD)");
  HKEY key = nullptr;
  EXPECT_EQ(open("Key", KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, nullptr);
  // KEY_READ with WRITE_DAC: read is granted, WRITE_DAC is not (owner is SYSTEM).
  EXPECT_EQ(open("Key", KEY_READ | WRITE_DAC, &key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(open("Key", KEY_READ, &key), ERROR_SUCCESS);
  // A grant through a handle without WRITE_DAC is refused.
  OneEntryDescriptor d(user_sid(), 0x1FFFFF);
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &d.sd), ERROR_ACCESS_DENIED);
  RegCloseKey(key);

  // The owner may always replace the list, whatever the list says.
  protect("Key", "O:BAG:SYD:(A;CI;KA;;;SY)");
  EXPECT_EQ(open("Key", KEY_READ | WRITE_DAC, &key), ERROR_ACCESS_DENIED);  // no read for anyone else
  ASSERT_EQ(open("Key", WRITE_DAC, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &d.sd), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(open("Key", KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(sddl_of("Key"), "O:BAG:SYD:(A;;0x1fffff;;;" + sid_to_text(user_sid()) + ")");

  // A denied entry ahead of an allowed one wins.
  protect("Key", "O:SYD:(D;;SD;;;WD)(A;;KA;;;BA)");
  EXPECT_EQ(open("Key", KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(open("Key", KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);

  // A user who is not an administrator gets what Everyone and Users get.
  nt_machine(false);
  EXPECT_EQ(open("Key", KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(open("Key", KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(machine().registry.open_handle_count(), 0u);
}

TEST(Security, DeletionNeedsDeleteOnTheKeyItself) {
  nt_machine();
  // Everything but DELETE for administrators, on the child only.
  protect("Key\\Child", "O:BAD:(A;;0xe003f;;;BA)");
  HKEY parent = nullptr;
  ASSERT_EQ(open("Key", KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine().registry.key_exists(std::string(kBase) + "\\Key\\Child"));
  protect("Key\\Child", "O:BAD:(A;;SD;;;BA)");
  EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_SUCCESS);
  RegCloseKey(parent);
  // The parent, now empty, goes with DELETE from the default layout.
  HKEY base = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, KEY_READ, &base), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(base, "Key"), ERROR_SUCCESS);
  RegCloseKey(base);
}

TEST(Security, NewKeysInheritTheirParentsInheritableEntries) {
  nt_machine();
  protect("Key", "O:SYD:(A;CI;KA;;;BA)(A;;KR;;;WD)(A;CINP;KR;;;BU)(A;CIIO;SD;;;SY)");
  HKEY made = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\Key\\New\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &made, &disposition),
            ERROR_SUCCESS);
  RegCloseKey(made);
  // The administrator's new keys belong to Administrators; entries without
  // CI stay on the parent; NP passes one level; IO takes effect below.
  EXPECT_EQ(sddl_of("Key\\New"), "O:BAD:(A;CI;KA;;;BA)(A;;KR;;;BU)(A;CI;SD;;;SY)");
  EXPECT_EQ(sddl_of("Key\\New\\Deeper"), "O:BAD:(A;CI;KA;;;BA)(A;CI;SD;;;SY)");

  // Creating below a key needs KEY_CREATE_SUB_KEY on it.
  protect("Key", "O:SYD:(A;CI;KR;;;WD)");
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\Key\\Other", 0, nullptr, 0, KEY_READ, nullptr, &made,
                            &disposition),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(machine().registry.key_exists(std::string(kBase) + "\\Key\\Other"));
}

TEST(Security, KeyBelowAParentThatPassesNothingDownTakesTheCreatorsDefaultList) {
  // NT's rule: no inheritable entry on the parent, no descriptor from the
  // creator: the token's default list, full control for SYSTEM and the
  // default owner (Administrators for an administrator, else the user).
  struct Case {
    bool admin;
    const char* parent;
    const char* child;  // "U" stands for the user's SID
  };
  const Case cases[] = {
      {true, "O:SYD:(A;;KA;;;BA)(A;;KA;;;WD)", "O:BAD:(A;;KA;;;BA)(A;;KA;;;SY)"},
      {true, "O:SYD:NO_ACCESS_CONTROL", "O:BAD:(A;;KA;;;BA)(A;;KA;;;SY)"},
      {false, "O:SYD:(A;;KA;;;WD)", "O:UD:(A;;KA;;;U)(A;;KA;;;SY)"},
      {false, "O:SYD:(A;CI;KR;;;WD)(A;;KA;;;WD)", "O:UD:(A;CI;KR;;;WD)"},  // inherited entries win
  };
  for (const Case& c : cases) {
    nt_machine(c.admin);
    std::string want = c.child;
    const std::string user = sid_to_text(user_sid());
    for (std::size_t at; (at = want.find(":U")) != std::string::npos || (at = want.find(";U)")) != std::string::npos;)
      want.replace(at + 1, 1, user);
    protect("Key", c.parent);
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\Key\\New", 0, nullptr, 0, KEY_READ, nullptr, &made,
                              nullptr),
              ERROR_SUCCESS)
        << c.parent;
    RegCloseKey(made);
    EXPECT_EQ(sddl_of("Key\\New"), want) << c.parent;

    // Keys a profile lists no security for take the same rule below a
    // listed key: readable by the program's user, not closed to all.
    std::string error;
    machine().registry.apply_security(*parse_sddl("O:BAG:SYD:(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;WD)", nullptr),
                                      {{std::string(kBase) + "\\Key", *parse_sddl(c.parent, &error)}});
    EXPECT_EQ(sddl_of("Key\\Child"), want) << c.parent;
    EXPECT_EQ(open("Key\\Child", KEY_READ, &made), ERROR_SUCCESS) << c.parent;
    RegCloseKey(made);
  }
  EXPECT_EQ(machine().registry.open_handle_count(), 0u);
}

TEST(Security, DescriptorWrittenIsReadBack) {
  nt_machine();
  Registry before = machine().registry;
  OneEntryDescriptor d(user_sid(), KEY_READ);
  HKEY key = nullptr;
  ASSERT_EQ(open("Key", KEY_READ | WRITE_DAC, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &d.sd), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_EQ(size, 20u + d.acl.size());
  std::vector<std::uint8_t> read(size - 1);
  DWORD short_size = size - 1;
  EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, read.data(), &short_size), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(short_size, size);
  read.resize(size);
  ASSERT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, read.data(), &size), ERROR_SUCCESS);
  EXPECT_TRUE(IsValidSecurityDescriptor(read.data()));
  // The list read back is byte for byte the one written.
  EXPECT_EQ(std::vector<std::uint8_t>(read.begin() + 20, read.end()), d.acl);
  // Written back through another key, the self-relative form gives the same list.
  RegCloseKey(key);
  ASSERT_EQ(open("Key\\Child", KEY_READ | WRITE_DAC, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, read.data()), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(sddl_of("Key\\Child"), sddl_of("Key"));

  const auto changes = machine().registry.security_changes_from(before);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].first, std::string(kBase) + "\\Key");
  EXPECT_EQ(changes[1].second, sddl_of("Key\\Child"));
}

TEST(Security, TokenHeapAndHandles) {
  nt_machine();
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD needed = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  void* info = HeapAlloc(GetProcessHeap(), 0, needed);
  ASSERT_NE(info, nullptr);
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, info, needed, &needed));
  PSID sid = static_cast<TOKEN_USER*>(info)->User.Sid;
  EXPECT_EQ(GetLengthSid(sid), user_sid().size());
  EXPECT_EQ(std::memcmp(sid, user_sid().data(), user_sid().size()), 0);
  EXPECT_EQ(machine().security.blocks_left(), 1u);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, info));
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, info));  // twice is refused
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_FALSE(CloseHandle(token));
  EXPECT_TRUE(machine().security.tokens.empty());

  // A token opened without TOKEN_QUERY cannot be asked.
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &token));
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(token);

  // Forced heap failures hit the allocation with that number.
  machine().security.heap_fail_at = {machine().security.allocations + 2};
  void* first = HeapAlloc(GetProcessHeap(), 0, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 8), nullptr);
  HeapFree(GetProcessHeap(), 0, first);
}

TEST(Security, Windows9xKeysHaveNoSecurity) {
  apply_profile(parse_profile("{\"platform\": \"win98\"}", "<test>", {}));
  machine().registry.import_reg("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Test\\Key]\r\n", "test");
  HKEY key = nullptr;
  ASSERT_EQ(open("Key", KEY_READ, &key), ERROR_SUCCESS);
  SECURITY_DESCRIPTOR sd{};
  sd.Revision = SECURITY_DESCRIPTOR_REVISION;
  DWORD size = 0;
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd), ERROR_CALL_NOT_IMPLEMENTED);
  EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_CALL_NOT_IMPLEMENTED);
  RegCloseKey(key);
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
}

TEST(Security, ProfileKeysAreCheckedAndNameTheFile) {
  auto error_of = [](const std::string& text) {
    try {
      apply_profile(parse_profile(text, "machine.json", {}));
    } catch (const InputError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_NE(
      error_of(
          "{\"platform\": \"nt4\", \"key_security\": {\"HKEY_LOCAL_MACHINE\\\\Software\": \"O:BAD:(A;;KA;;;XX)\"}}")
          .find("machine.json"),
      std::string::npos);
  EXPECT_NE(error_of("{\"platform\": \"nt4\", \"key_security\": {\"HKEY_LOCAL_MACHINE\\\\Nowhere\": \"O:BAD:\"}}")
                .find("machine.json: key_security: no key"),
            std::string::npos);
  EXPECT_NE(error_of("{\"platform\": \"nt4\", \"user_sid\": \"S-1-x\"}").find("machine.json"), std::string::npos);
  for (const char* bad : {"D:(A;;KA;;;SY)", "O:SY", "O:SYD:(A;;KA;;SY)", "O:SYD:(X;;KA;;;SY)", "O:SYD:(A;;ZZ;;;SY)",
                          "O:SYD:(A;;KA;;;S-1-5-4294967296)", "O:SYD:(A;;KA;;;SY", "O:SYS:(AU;;KA;;;SY)"}) {
    std::string error;
    EXPECT_FALSE(parse_sddl(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  // A good one goes through text and back unchanged.
  const char* good =
      "O:S-1-5-21-7-8-9-1000G:SYD:P(A;OICI;KA;;;SY)(D;NP;SD;;;WD)(A;;0x30001;;;S-1-5-32-555)(A;CIIO;KR;;;BU)";
  EXPECT_EQ(to_sddl(*parse_sddl(good, nullptr)), good);
}

}  // namespace
