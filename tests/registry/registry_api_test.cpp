// The Win32 registry functions on the simulated machine, on both families.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "sim/win32/machine.h"

namespace {

using sim::win32::machine;
using sim::win32::RegFamily;

constexpr LONG kBadPathname = 161;
constexpr LONG kBadKey = 1010;

class RegApi : public ::testing::TestWithParam<RegFamily> {
 protected:
  void SetUp() override {
    sim::win32::reset_machine();
    machine().registry.set_family(GetParam());
  }
  bool nt() const { return GetParam() == RegFamily::NT; }

  HKEY create(HKEY parent, const char* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition), ERROR_SUCCESS)
        << path;
    return key;
  }
  void make(const char* path) { RegCloseKey(create(HKEY_LOCAL_MACHINE, path)); }
  std::vector<std::string> enum_keys(HKEY key) {
    std::vector<std::string> names;
    char name[64];
    for (DWORD i = 0;; ++i) {
      DWORD size = sizeof name;
      if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.emplace_back(name, size);
    }
    return names;
  }
  void set_sz(HKEY key, const char* name, const std::string& text) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
  }
};

INSTANTIATE_TEST_SUITE_P(Family, RegApi, ::testing::Values(RegFamily::Win9x, RegFamily::NT),
                         [](const auto& info) { return info.param == RegFamily::NT ? "NT" : "Win9x"; });

TEST_P(RegApi, OpenAndCreateAreCaseInsensitiveAndKeepTheFirstSpelling) {
  DWORD disposition = 0;
  HKEY a = create(HKEY_LOCAL_MACHINE, "Software\\Vendor\\App", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY b = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\vendor\\APP\\", &disposition);  // trailing '\' is ignored
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(a == b, !nt());  // Windows 9x shares one counted handle per key
  EXPECT_EQ(machine().registry.subkey_names("HKLM\\software"), std::vector<std::string>{"Vendor"});

  HKEY missing = a;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nope", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_FALSE(machine().registry.key_exists("HKEY_LOCAL_MACHINE\\Software\\Nope"));
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &missing), kBadPathname);

  // An empty sub-key: the root's own handle, or a new handle to a real key.
  HKEY same = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegOpenKeyExA(a, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_EQ(same == a, !nt());
  EXPECT_EQ(RegOpenKeyA(a, nullptr, &missing), ERROR_SUCCESS);  // the 16-bit form returns `a` itself
  EXPECT_EQ(missing, a);

  EXPECT_EQ(machine().registry.open_handle_count(), 3u);
  for (HKEY h : {a, b, same}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(machine().registry.open_handle_count(), 0u);
  EXPECT_EQ(RegCloseKey(a), nt() ? ERROR_INVALID_HANDLE : kBadKey);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumKeyA(reinterpret_cast<HKEY>(0x1234), 0, nullptr, 0), nt() ? ERROR_INVALID_HANDLE : kBadKey);
}

TEST_P(RegApi, SubKeysEnumerateInTheFamilyOrderValuesInCreationOrder) {
  for (const char* name : {"Net\\beta", "Net\\Alpha", "Net\\_under", "Net\\gamma"}) make(name);
  HKEY net = create(HKEY_LOCAL_MACHINE, "Net");
  // NT compares upper case: 'A' (0x41) sorts before '_' (0x5F).
  std::vector<std::string> order = nt() ? std::vector<std::string>{"Alpha", "beta", "gamma", "_under"}
                                        : std::vector<std::string>{"beta", "Alpha", "_under", "gamma"};
  EXPECT_EQ(enum_keys(net), order);
  char name[16];
  DWORD size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(net, 4, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  // A key added after a read, then one removed: the order holds.
  make("Net\\Delta");
  ASSERT_EQ(RegDeleteKeyA(net, "beta"), ERROR_SUCCESS);
  const std::vector<std::string> nt_order{"Alpha", "Delta", "gamma", "_under"};
  const std::vector<std::string> creation_order{"Alpha", "_under", "gamma", "Delta"};
  EXPECT_EQ(enum_keys(net), nt() ? nt_order : creation_order);
  make("Net\\beta");
  ASSERT_EQ(RegDeleteKeyA(net, "Delta"), ERROR_SUCCESS);
  if (!nt()) std::rotate(order.begin(), order.begin() + 1, order.end());  // beta came back last
  EXPECT_EQ(enum_keys(net), order);

  // Switching family re-orders; switching back restores creation order.
  machine().registry.set_family(nt() ? RegFamily::Win9x : RegFamily::NT);
  EXPECT_NE(enum_keys(net), order);
  machine().registry.set_family(GetParam());
  EXPECT_EQ(enum_keys(net), order);

  set_sz(net, "z", "1");
  set_sz(net, "A", "2");
  set_sz(net, "Z", "3");  // replaces "z" in place
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    DWORD nsize = sizeof name;
    if (RegEnumValueA(net, i, name, &nsize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"z", "A"}));
  RegCloseKey(net);
}

TEST_P(RegApi, BufferSizesFollowTheDocumentedRules) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Sizes\\Child");
  RegCloseKey(key);
  key = create(HKEY_LOCAL_MACHINE, "Sizes");
  char name[16] = "xxxxxxxxxxxxxxx";
  DWORD size = 5;  // "Child" needs 6 with its terminator
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  size = 6;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_STREQ(name, "Child");

  set_sz(key, "Driver", "0001");
  DWORD type = 0, data_size = 0;
  BYTE data[8] = {};
  EXPECT_EQ(RegQueryValueExA(key, "DRIVER", nullptr, &type, nullptr, &data_size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(data_size, 5u);  // includes the terminating zero
  data_size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, &type, data, &data_size), ERROR_MORE_DATA);
  EXPECT_EQ(data_size, 5u);
  data_size = sizeof data;
  EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, nullptr, data, &data_size), ERROR_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "0001");
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, data, &data_size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &data_size), ERROR_FILE_NOT_FOUND);
  set_sz(key, "", "default");
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &data_size), ERROR_SUCCESS);
  EXPECT_EQ(data_size, 8u);

  // RegEnumValueA: a short name or data buffer reports the type and the
  // data size and leaves the name size and buffers alone.
  DWORD name_size = 6;
  data_size = sizeof data;
  type = 0;
  std::strcpy(name, "keep");
  EXPECT_EQ(RegEnumValueA(key, 0, name, &name_size, nullptr, &type, data, &data_size), ERROR_MORE_DATA);
  EXPECT_EQ(name_size, 6u);
  EXPECT_EQ(data_size, 5u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(name, "keep");
  name_size = 7;
  data_size = 2;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &name_size, nullptr, &type, data, &data_size), ERROR_MORE_DATA);
  EXPECT_EQ(data_size, 5u);
  data_size = sizeof data;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &name_size, nullptr, &type, data, &data_size), ERROR_SUCCESS);
  EXPECT_EQ(name_size, 6u);
  EXPECT_STREQ(name, "Driver");
  EXPECT_EQ(data_size, 5u);
  EXPECT_EQ(RegEnumValueA(key, 0, name, nullptr, nullptr, &type, data, &data_size), ERROR_INVALID_PARAMETER);
  name_size = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 1, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(name_size, 0u);  // the default value has an empty name
  EXPECT_EQ(RegEnumValueA(key, 2, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  DWORD subkeys = 0, max_key = 0, values = 0, max_name = 0, max_data = 0;
  EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &max_key, nullptr, &values, &max_name, &max_data,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::vector<DWORD>({subkeys, max_key, values, max_name, max_data}), std::vector<DWORD>({1, 5, 2, 6, 8}));
  RegCloseKey(key);
}

TEST_P(RegApi, DeleteKeyFollowsTheFamilyAndInvalidatesHandles) {
  make("Class\\0000\\Sub\\Deep");
  make("Class\\0001");
  HKEY cls = create(HKEY_LOCAL_MACHINE, "Class");
  HKEY inner = create(HKEY_LOCAL_MACHINE, "Class\\0000\\Sub");
  if (nt()) {
    EXPECT_EQ(RegDeleteKeyA(cls, "0000"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(machine().registry.key_exists("HKLM\\Class\\0000\\Sub\\Deep"));
    EXPECT_EQ(RegDeleteKeyA(cls, "0000\\Sub\\Deep"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(inner, ""), ERROR_SUCCESS);  // the key behind the handle itself
  }
  EXPECT_EQ(RegDeleteKeyA(cls, "0000"), ERROR_SUCCESS);
  EXPECT_FALSE(machine().registry.key_exists("HKLM\\Class\\0000"));
  EXPECT_EQ(enum_keys(cls), std::vector<std::string>{"0001"});
  EXPECT_EQ(RegDeleteKeyA(cls, "0000"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(cls, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);

  // A handle inside the deleted sub-tree fails everywhere but closes fine.
  char name[8];
  DWORD size = sizeof name;
  HKEY sub = nullptr;
  EXPECT_EQ(RegEnumKeyExA(inner, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExA(inner, "x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegSetValueExA(inner, "x", 0, REG_BINARY, nullptr, 0), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExA(inner, "Deep", 0, KEY_READ, &sub), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(inner), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(cls), ERROR_SUCCESS);
}

TEST_P(RegApi, SweepDeletingAtTheSameIndexRemovesNeighbours) {
  for (const char* name : {"S\\keep1", "S\\del1", "S\\del2", "S\\keep2", "S\\del3"}) make(name);
  HKEY s = create(HKEY_LOCAL_MACHINE, "S");
  char name[16];
  for (DWORD i = 0;;) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(s, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    if (std::string(name).starts_with("del"))
      ASSERT_EQ(RegDeleteKeyA(s, name), ERROR_SUCCESS);
    else
      ++i;
  }
  EXPECT_EQ(enum_keys(s), (std::vector<std::string>{"keep1", "keep2"}));
  RegCloseKey(s);
}

TEST_P(RegApi, ForcedFaultsHitOnlyTheNamedKey) {
  make("Enum\\PCI\\VEN_1\\Inst");
  auto& faults = machine().registry.faults();
  faults.open_fails = {"hkey_local_machine\\ENUM\\pci"};
  faults.delete_fails = {"HKLM\\Enum\\PCI\\VEN_1\\Inst"};
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_1", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key, "Inst"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine().registry.key_exists("HKLM\\Enum\\PCI\\VEN_1\\Inst"));
  RegCloseKey(key);
  make("SOFTWARE\\Classes\\CLSID");
  faults.open_fails = {"HKEY_CLASSES_ROOT\\CLSID"};  // the alias names the same key
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "clsid", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
}

TEST_P(RegApi, RootsAndSecurityDifferBetweenFamilies) {
  HKEY key = create(HKEY_CLASSES_ROOT, ".txt");
  EXPECT_TRUE(machine().registry.key_exists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.txt"));
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "", 0, KEY_READ, &key), nt() ? ERROR_INVALID_HANDLE : ERROR_SUCCESS);

  make("Root\\Dev");
  HKEY read = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Root", 0, KEY_READ, &read), ERROR_SUCCESS);
  BYTE one = 1;
  EXPECT_EQ(RegSetValueExA(read, "v", 0, REG_BINARY, &one, 1), nt() ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
  // A descriptor with a present, null list (open to everyone).
  SECURITY_DESCRIPTOR open_to_all{};
  open_to_all.Revision = SECURITY_DESCRIPTOR_REVISION;
  open_to_all.Control = SE_DACL_PRESENT;
  EXPECT_EQ(RegSetKeySecurity(read, 4, &open_to_all), nt() ? ERROR_ACCESS_DENIED : 120);
  HKEY dac = nullptr;
  ASSERT_EQ(RegOpenKeyExA(read, "Dev", 0, KEY_READ | WRITE_DAC, &dac), ERROR_SUCCESS);
  EXPECT_EQ(RegSetKeySecurity(dac, 4, &open_to_all), nt() ? ERROR_SUCCESS : 120);
  RegCloseKey(dac);
  EXPECT_EQ(RegDeleteKeyA(read, "Dev"), ERROR_SUCCESS);  // the parent's rights do not matter
  RegCloseKey(read);

  // Windows 9x measures a REG_SZ itself; NT stores the bytes it is given.
  key = create(HKEY_LOCAL_MACHINE, "Root");
  ASSERT_EQ(RegSetValueExA(key, "s", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 2), ERROR_SUCCESS);
  DWORD size = 0;
  RegQueryValueExA(key, "s", nullptr, nullptr, nullptr, &size);
  EXPECT_EQ(size, nt() ? 2u : 4u);
  RegCloseKey(key);
}

TEST_P(RegApi, CopiesAreDeepSnapshotsAndAssignmentInvalidatesHandles) {
  HKEY key = create(HKEY_LOCAL_MACHINE, "Snap\\A");
  set_sz(key, "v", "before");
  sim::win32::Registry snapshot = machine().registry;
  set_sz(key, "v", "after");
  make("Snap\\B");
  sim::win32::RegValue v;
  ASSERT_TRUE(snapshot.get_value("HKLM\\Snap\\A", "V", &v));
  EXPECT_EQ(std::string(v.data.begin(), v.data.end() - 1), "before");
  EXPECT_FALSE(snapshot.key_exists("HKLM\\Snap\\B"));
  EXPECT_FALSE(snapshot == machine().registry);
  EXPECT_EQ(snapshot.family(), GetParam());

  machine().registry = snapshot;
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_BINARY, nullptr, 0), ERROR_KEY_DELETED);
  EXPECT_EQ(machine().registry.open_handle_count(), 1u);  // still a leak until closed
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(machine().registry == snapshot);
}

TEST_P(RegApi, TenThousandKeysImportEnumerateAndDiffQuickly) {
  std::string text = "REGEDIT4\r\n";
  for (int dev = 0; dev < 1000; ++dev)
    for (int sub = 0; sub < 10; ++sub)
      text += "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\DEV_" + std::to_string(dev) + "\\" + std::to_string(sub) +
              "]\r\n\"Driver\"=\"Net\\\\" + std::to_string(dev) + "\"\r\n";
  auto start = std::chrono::steady_clock::now();
  machine().registry.import_reg(text, "big.reg");
  sim::win32::Registry before = machine().registry;
  HKEY pci = create(HKEY_LOCAL_MACHINE, "Enum\\PCI");
  EXPECT_EQ(enum_keys(pci).size(), 1000u);
  // Delete every device sub-tree through the API, the NT way on NT.
  char name[32];
  DWORD size = sizeof name;
  while (RegEnumKeyExA(pci, 0, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    if (nt())
      for (int sub = 0; sub < 10; ++sub) RegDeleteKeyA(pci, (std::string(name) + "\\" + std::to_string(sub)).c_str());
    ASSERT_EQ(RegDeleteKeyA(pci, name), ERROR_SUCCESS);
    size = sizeof name;
  }
  std::string diff = machine().registry.diff_from(before);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(std::count(diff.begin(), diff.end(), '['), 1000);
  // Around 0.1 s on an optimised build; the address sanitizer makes every
  // access many times slower, so its bound is wider. Either still catches
  // work that grows with the square of the key count.
#ifdef __SANITIZE_ADDRESS__
  EXPECT_LT(seconds, 10.0);
#else
  EXPECT_LT(seconds, 2.0);
#endif
  RegCloseKey(pci);
}

}  // namespace
