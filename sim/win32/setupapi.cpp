// The device installer of the simulated machine: its devices and device
// information sets, and the SetupDi* functions, which work on them directly;
// set_of is the one check of an HDEVINFO and the element it names.
#include "setupapi.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>

#include "machine.h"
#include "netcfg.h"
#include "win2000_network.h"

namespace {

bool starts_with_ci(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

}  // namespace

namespace sim::win32 {

struct DeviceInstaller::State {
  // An element refers to a device by its position in `devices`.
  using DeviceList = std::vector<std::size_t>;
  std::vector<Device> devices;
  std::vector<std::string> removed;
  std::map<std::uintptr_t, DeviceList> lists;  // the open HDEVINFOs
  std::uintptr_t next_list = 0x5e70000;
  DWORD next_devinst = 1;
};

DeviceInstaller::DeviceInstaller() : state_(std::make_unique<State>()) {}
DeviceInstaller::~DeviceInstaller() = default;

Device& DeviceInstaller::add_device(Device device) {
  device.devinst = state_->next_devinst++;
  state_->devices.push_back(std::move(device));
  return state_->devices.back();
}

Device* DeviceInstaller::find_device(const std::string& instance_id) {
  for (auto& d : state_->devices)
    if (d.instance_id.size() == instance_id.size() && starts_with_ci(d.instance_id, instance_id)) return &d;
  return nullptr;
}

const std::vector<Device>& DeviceInstaller::all() const { return state_->devices; }
const std::vector<std::string>& DeviceInstaller::removed() const { return state_->removed; }
std::size_t DeviceInstaller::open_lists() const { return state_->lists.size(); }

DeviceInstaller& Machine::devices() {
  if (!devices_) devices_.reset(new DeviceInstaller);
  return *devices_;
}
void Machine::RemovalPartsDeleter::operator()(DeviceInstaller* p) const { delete p; }

}  // namespace sim::win32

namespace {

using sim::win32::Device;
using sim::win32::machine;
using State = sim::win32::DeviceInstaller::State;

BOOL fail(DWORD error) {
  machine().last_error = error;
  return FALSE;
}

// The HDEVINFO check: the set a handle names, and the caller's element
// record, which must be there with the size of this platform's record.
// ERROR_SUCCESS or the error the function fails with.
DWORD set_of(HDEVINFO set, PSP_DEVINFO_DATA data, State::DeviceList** list) {
  State& s = machine().devices().state();
  auto it = s.lists.find(reinterpret_cast<std::uintptr_t>(set));
  if (it == s.lists.end()) return ERROR_INVALID_HANDLE;
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
  *list = &it->second;
  return ERROR_SUCCESS;
}

// The device of an element SetupDiEnumDeviceInfo filled in, or null with
// the last error set. Reserved carries the element's position in its set,
// 1-based, as the real record carries a pointer to the element.
Device* element_of(HDEVINFO set, PSP_DEVINFO_DATA data) {
  State::DeviceList* list = nullptr;
  DWORD error = set_of(set, data, &list);
  if (error == ERROR_SUCCESS && (data->Reserved == 0 || data->Reserved > list->size())) error = ERROR_INVALID_PARAMETER;
  if (error != ERROR_SUCCESS) {
    fail(error);
    return nullptr;
  }
  return &machine().devices().state().devices[(*list)[data->Reserved - 1]];
}

// Copies a string with its terminator into a caller's buffer, as the
// SetupAPI string getters do: the required size is always reported, and a
// short buffer fails with ERROR_INSUFFICIENT_BUFFER.
BOOL copy_out(const std::string& text, PSTR buffer, DWORD size, PDWORD required) {
  const DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (required) *required = needed;
  if (buffer == nullptr && size != 0) return fail(ERROR_INVALID_USER_BUFFER);
  if (size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, text.c_str(), needed);
  return TRUE;
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
  if (Flags & DIGCF_DEVICEINTERFACE) {
    fail(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  const bool all_classes = (Flags & DIGCF_ALLCLASSES) != 0;
  if (!all_classes && ClassGuid == nullptr) {
    fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  sim::win32::DeviceInstaller& installer = machine().devices();
  State& s = installer.state();
  State::DeviceList list;
  for (std::size_t i = 0; i < s.devices.size(); ++i) {
    const Device& d = s.devices[i];
    if (d.removed) continue;
    if (!all_classes && !IsEqualGUID(d.class_guid, *ClassGuid)) continue;
    if ((Flags & DIGCF_PRESENT) && !d.present) continue;
    if (Enumerator && *Enumerator && !starts_with_ci(d.instance_id, std::string(Enumerator) + "\\")) continue;
    list.push_back(i);
  }
  if (!all_classes && IsEqualGUID(*ClassGuid, GUID_DEVCLASS_NET)) {
    ++installer.net_lists;
    installer.net_devices_listed += static_cast<int>(list.size());
  }
  const std::uintptr_t handle = s.next_list++;
  s.lists.emplace(handle, std::move(list));
  machine().last_error = ERROR_SUCCESS;
  return reinterpret_cast<HDEVINFO>(handle);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  State::DeviceList* list = nullptr;
  if (DWORD error = set_of(DeviceInfoSet, DeviceInfoData, &list)) return fail(error);
  if (MemberIndex >= list->size()) return fail(ERROR_NO_MORE_ITEMS);
  const Device& d = machine().devices().state().devices[(*list)[MemberIndex]];
  DeviceInfoData->ClassGuid = d.class_guid;
  DeviceInfoData->DevInst = d.devinst;
  DeviceInfoData->Reserved = MemberIndex + 1;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSTR DeviceInstanceId,
                                        DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  const Device* d = element_of(DeviceInfoSet, DeviceInfoData);
  if (d == nullptr) return FALSE;
  return copy_out(d->instance_id, DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  const Device* d = element_of(DeviceInfoSet, DeviceInfoData);
  if (d == nullptr) return FALSE;
  PSTR buffer = reinterpret_cast<PSTR>(PropertyBuffer);
  if (Property == SPDRP_DEVICEDESC) {
    // A removed device has no registry left to read.
    if (!d->description || d->removed) return fail(ERROR_INVALID_DATA);
    if (PropertyRegDataType) *PropertyRegDataType = REG_SZ;
    return copy_out(*d->description, buffer, PropertyBufferSize, RequiredSize);
  }
  if (Property == SPDRP_HARDWAREID) {
    if (d->hardware_ids.empty() || d->removed) return fail(ERROR_INVALID_DATA);
    std::string multi;
    for (const auto& id : d->hardware_ids) multi += id + '\0';
    if (PropertyRegDataType) *PropertyRegDataType = REG_MULTI_SZ;
    // copy_out adds the list's final terminator.
    return copy_out(multi, buffer, PropertyBufferSize, RequiredSize);
  }
  return fail(ERROR_INVALID_REG_PROPERTY);
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  Device* d = element_of(DeviceInfoSet, DeviceInfoData);
  if (d == nullptr) return FALSE;
  sim::win32::Machine& m = machine();
  ++m.devices().removals_asked;
  if (!m.admin) return fail(ERROR_ACCESS_DENIED);
  if (d->removed) return fail(ERROR_NO_SUCH_DEVINST);
  if (d->remove_fails) return fail(ERROR_ACCESS_DENIED);
  // The element stays in the set; its device-node handle is gone.
  d->removed = true;
  d->present = false;
  d->devinst = 0;
  DeviceInfoData->DevInst = 0;
  m.devices().state().removed.push_back(d->instance_id);
  m.netcfg().remove_device(d->instance_id);
  sim::win32::remove_device_keys(m.registry, d->instance_id);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (machine().devices().state().lists.erase(reinterpret_cast<std::uintptr_t>(DeviceInfoSet)) == 0)
    return fail(ERROR_INVALID_HANDLE);
  return TRUE;
}
