// The simulated COM library, network configuration and device installer
// against the platform's documented rules, independently of the uninstaller.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "sim/win32/machine.h"
#include "sim/win32/netcfg.h"
#include "sim/win32/registry.h"
#include "sim/win32/setupapi.h"

namespace {

using sim::win32::machine;

// The vtable slot of a virtual method: the Itanium C++ ABI encodes a pointer
// to a virtual member function as 1 + its byte offset in the vtable.
template <typename F>
std::size_t slot(F method) {
  static_assert(sizeof(F) == 2 * sizeof(std::uintptr_t));
  std::uintptr_t raw[2];
  std::memcpy(raw, &method, sizeof raw);
  return (raw[0] - 1) / sizeof(void*);
}

TEST(NetCfgInterfaces, MethodsSitInThePublishedSlots) {
  EXPECT_EQ(slot(&IUnknown::QueryInterface), 0u);
  EXPECT_EQ(slot(&IUnknown::Release), 2u);
  EXPECT_EQ(slot(&INetCfg::Initialize), 3u);
  EXPECT_EQ(slot(&INetCfg::Apply), 5u);
  EXPECT_EQ(slot(&INetCfg::QueryNetCfgClass), 9u);
  EXPECT_EQ(slot(&INetCfgLock::AcquireWriteLock), 3u);
  EXPECT_EQ(slot(&INetCfgLock::ReleaseWriteLock), 4u);
  EXPECT_EQ(slot(&INetCfgClass::EnumComponents), 4u);
  EXPECT_EQ(slot(&IEnumNetCfgComponent::Next), 3u);
  EXPECT_EQ(slot(&IEnumNetCfgComponent::Reset), 5u);
  EXPECT_EQ(slot(&INetCfgComponent::GetPnpDevNodeId), 9u);
  EXPECT_EQ(slot(&INetCfgComponent::RaisePropertyUi), 14u);
  EXPECT_EQ(slot(&INetCfgComponentBindings::UnbindFrom), 4u);
  EXPECT_EQ(slot(&INetCfgComponentBindings::IsBoundTo), 6u);
  EXPECT_EQ(slot(&INetCfgComponentBindings::MoveAfter), 10u);
}

class SimCom : public ::testing::Test {
 protected:
  void SetUp() override {
    removal_test::fresh_machine("win2000");
    machine().netcfg().add_adapter("qor0", "PCI\\VEN_8086&DEV_1229\\1");
    machine().netcfg().add_protocol("ms_tcpip");
    machine().netcfg().bind("ms_tcpip", "qor0");
  }
};

TEST_F(SimCom, CreationFollowsTheComRules) {
  void* p = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, &p), CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);  // already initialised: still counted
  EXPECT_EQ(CoCreateInstance(IID_INetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_LOCAL_SERVER, IID_INetCfg, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfgComponent, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_TRUE(machine().netcfg().live_objects().empty());  // the refused object went
  ASSERT_EQ(CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, &p), S_OK);
  auto* cfg = static_cast<INetCfg*>(p);
  INetCfgLock* lock = nullptr;
  ASSERT_EQ(cfg->QueryInterface(IID_INetCfgLock, reinterpret_cast<void**>(&lock)), S_OK);
  EXPECT_EQ(machine().netcfg().live_objects(), std::vector<std::string>{"INetCfg refs=2"});
  lock->Release();
  cfg->Release();
  CoUninitialize();
  EXPECT_EQ(machine().netcfg().leaks(), std::vector<std::string>{"1 CoInitialize without CoUninitialize"});
  CoUninitialize();
  EXPECT_TRUE(machine().netcfg().leaks().empty());
}

TEST_F(SimCom, LockOrderPendingChangesAndApply) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  INetCfg* cfg = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, reinterpret_cast<void**>(&cfg)),
            S_OK);
  INetCfgLock* lock = nullptr;
  ASSERT_EQ(cfg->QueryInterface(IID_INetCfgLock, reinterpret_cast<void**>(&lock)), S_OK);
  const WCHAR me[] = {'m', 'e', 0};
  ASSERT_EQ(cfg->Initialize(nullptr), S_OK);
  EXPECT_EQ(lock->AcquireWriteLock(100, me, nullptr), NETCFG_E_ALREADY_INITIALIZED);  // lock before Initialize
  ASSERT_EQ(cfg->Uninitialize(), S_OK);
  ASSERT_EQ(lock->AcquireWriteLock(100, me, nullptr), S_OK);
  ASSERT_EQ(cfg->Initialize(nullptr), S_OK);
  EXPECT_EQ(lock->ReleaseWriteLock(), NETCFG_E_ALREADY_INITIALIZED);

  INetCfgClass* protocols = nullptr;
  ASSERT_EQ(cfg->QueryNetCfgClass(&GUID_DEVCLASS_NETTRANS, IID_INetCfgClass, reinterpret_cast<void**>(&protocols)),
            S_OK);
  IEnumNetCfgComponent* items = nullptr;
  ASSERT_EQ(protocols->EnumComponents(&items), S_OK);
  INetCfgComponent* tcpip = nullptr;
  ASSERT_EQ(items->Next(1, &tcpip, nullptr), S_OK);
  INetCfgComponent* none = nullptr;
  EXPECT_EQ(items->Next(1, &none, nullptr), S_FALSE);
  INetCfgComponent* pair[2];
  EXPECT_EQ(items->Next(2, pair, nullptr), E_INVALIDARG);  // more than one needs a fetched count

  IEnumNetCfgComponent* adapters = nullptr;
  ASSERT_EQ(cfg->EnumComponents(&GUID_DEVCLASS_NET, &adapters), S_OK);
  INetCfgComponent* qor0 = nullptr;
  ASSERT_EQ(adapters->Next(1, &qor0, nullptr), S_OK);
  INetCfgComponentBindings* bindings = nullptr;
  ASSERT_EQ(tcpip->QueryInterface(IID_INetCfgComponentBindings, reinterpret_cast<void**>(&bindings)), S_OK);

  // Unbinding is pending until Apply; Uninitialize without Apply drops it.
  EXPECT_EQ(bindings->IsBoundTo(qor0), S_OK);
  EXPECT_EQ(bindings->UnbindFrom(qor0), S_OK);
  EXPECT_EQ(bindings->IsBoundTo(qor0), S_FALSE);
  EXPECT_TRUE(machine().netcfg().unbound().empty());
  ASSERT_EQ(cfg->Apply(), S_OK);
  EXPECT_EQ(machine().netcfg().unbound(), (std::vector<std::pair<std::string, std::string>>{{"ms_tcpip", "qor0"}}));
  EXPECT_TRUE(machine().netcfg().bindings().empty());

  // Children keep the configuration object alive: all of them show as leaks
  // until released.
  EXPECT_EQ(machine().netcfg().live_objects().size(), 6u);
  for (IUnknown* u : std::initializer_list<IUnknown*>{bindings, qor0, adapters, tcpip, items, protocols}) u->Release();
  ASSERT_EQ(cfg->Uninitialize(), S_OK);
  EXPECT_EQ(lock->ReleaseWriteLock(), S_OK);
  lock->Release();
  cfg->Release();
  CoUninitialize();
  EXPECT_TRUE(machine().netcfg().leaks().empty());
}

TEST(SimDeviceInstaller, SetsRecordSizeAndRemovalRules) {
  removal_test::fresh_machine("win2000");
  sim::win32::Device a;
  a.instance_id = "PCI\\VEN_8086&DEV_1229\\1";
  a.description = "A";
  machine().devices().add_device(a);
  sim::win32::Device gone = a;
  gone.instance_id = "PCI\\VEN_8086&DEV_1229\\2";
  gone.present = false;
  machine().devices().add_device(gone);
  machine().netcfg().add_adapter("a", a.instance_id);

  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_NET, nullptr, nullptr, DIGCF_PRESENT);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA data{};
  data.cbSize = 32;  // the 64-bit record size is refused, as a wrong size is on Windows
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));  // the absent device is not listed
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  char id[8];
  DWORD needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, &needed));
  EXPECT_EQ(needed, a.instance_id.size() + 1);

  ASSERT_TRUE(SetupDiRemoveDevice(set, &data));
  EXPECT_EQ(data.DevInst, 0u);
  EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));  // the element stays in its set
  EXPECT_FALSE(SetupDiRemoveDevice(set, &data));
  EXPECT_TRUE(machine().netcfg().components().empty());
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  HDEVINFO again = SetupDiGetClassDevsA(&GUID_DEVCLASS_NET, nullptr, nullptr, DIGCF_PRESENT);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(again, 0, &data));
  SetupDiDestroyDeviceInfoList(again);
}

TEST(NetCfgProfile, ReadsKeysAndRefusesBadInput) {
  removal_test::fresh_machine("win2000");
  const auto profile = nlohmann::json::parse(R"({
    "netcfg": {"adapters": [{"id": "a", "pnp_id": "PCI\\VEN_8086&DEV_1229\\1"}], "protocols": ["p"],
               "bindings": [["p", "a"]], "lock_held_ms": 20000,
               "fail": {"create": true, "enumeration": ["nettrans"]}},
    "devices": [{"instance_id": "PCI\\VEN_8086&DEV_1229\\1", "description": "A", "remove_fails": true},
                {"instance_id": "X\\1", "present": false}]})");
  sim::win32::load_netcfg_profile(profile, machine());
  EXPECT_EQ(machine().netcfg().bindings(), (std::vector<std::pair<std::string, std::string>>{{"p", "a"}}));
  EXPECT_TRUE(machine().netcfg().faults().create);
  EXPECT_EQ(machine().netcfg().faults().enumeration, std::set<std::string>{"nettrans"});
  ASSERT_EQ(machine().devices().all().size(), 2u);
  EXPECT_TRUE(machine().devices().all()[0].remove_fails);
  EXPECT_FALSE(machine().devices().all()[1].present);
  EXPECT_FALSE(machine().devices().all()[1].description.has_value());

  for (const char* bad :
       {R"({"netcfg": {"bindings": [["p", "a"]]}})", R"({"netcfg": {"adapters": [{"id": "a"}, {"id": "A"}]}})",
        R"({"netcfg": {"fail": {"everything": true}}})", R"({"netcfg": {"lock_held_ms": -1}})",
        R"({"devices": [{"description": "x"}]})"}) {
    removal_test::fresh_machine("win2000");
    EXPECT_THROW(sim::win32::load_netcfg_profile(nlohmann::json::parse(bad), machine()), sim::win32::InputError) << bad;
  }
}

}  // namespace
