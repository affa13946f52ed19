#include "setupapi.h"

#include <cctype>
#include <cstdint>
#include <cstring>

#include "machine.h"
#include "netcfg.h"
#include "win2000_network.h"

namespace sim::win32 {

namespace {

BOOL fail(DWORD error) {
  machine().last_error = error;
  return FALSE;
}

bool starts_with_ci(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
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

Device& DeviceInstaller::add_device(Device device) {
  device.devinst = next_devinst_++;
  devices_.push_back(std::move(device));
  return devices_.back();
}

Device* DeviceInstaller::find_device(const std::string& instance_id) {
  for (auto& d : devices_)
    if (d.instance_id.size() == instance_id.size() && starts_with_ci(d.instance_id, instance_id)) return &d;
  return nullptr;
}

DeviceInstaller::DeviceList* DeviceInstaller::find_list(HDEVINFO set) {
  auto it = lists_.find(reinterpret_cast<std::uintptr_t>(set));
  return it == lists_.end() ? nullptr : &it->second;
}

Device* DeviceInstaller::element(HDEVINFO set, PSP_DEVINFO_DATA data) {
  DeviceList* list = find_list(set);
  if (list == nullptr) {
    machine().last_error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (data == nullptr) {
    machine().last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    machine().last_error = ERROR_INVALID_USER_BUFFER;
    return nullptr;
  }
  // Reserved carries the element's position in its set, 1-based, as the
  // real record carries a pointer to the element.
  if (data->Reserved == 0 || data->Reserved > list->size()) {
    machine().last_error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return &devices_[(*list)[data->Reserved - 1]];
}

HDEVINFO DeviceInstaller::get_class_devs(const GUID* class_guid, PCSTR enumerator, DWORD flags) {
  if (flags & DIGCF_DEVICEINTERFACE) {
    machine().last_error = ERROR_INVALID_FLAGS;
    return INVALID_HANDLE_VALUE;
  }
  const bool all_classes = (flags & DIGCF_ALLCLASSES) != 0;
  if (!all_classes && class_guid == nullptr) {
    machine().last_error = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  DeviceList list;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const Device& d = devices_[i];
    if (d.removed) continue;
    if (!all_classes && !IsEqualGUID(d.class_guid, *class_guid)) continue;
    if ((flags & DIGCF_PRESENT) && !d.present) continue;
    if (enumerator && *enumerator && !starts_with_ci(d.instance_id, std::string(enumerator) + "\\")) continue;
    list.push_back(i);
  }
  if (!all_classes && IsEqualGUID(*class_guid, GUID_DEVCLASS_NET)) {
    ++net_lists;
    net_devices_listed += static_cast<int>(list.size());
  }
  const std::uintptr_t handle = next_list_++;
  lists_.emplace(handle, std::move(list));
  machine().last_error = ERROR_SUCCESS;
  return reinterpret_cast<HDEVINFO>(handle);
}

BOOL DeviceInstaller::enum_device_info(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  DeviceList* list = find_list(set);
  if (list == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (data == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
  if (index >= list->size()) return fail(ERROR_NO_MORE_ITEMS);
  const Device& d = devices_[(*list)[index]];
  data->ClassGuid = d.class_guid;
  data->DevInst = d.devinst;
  data->Reserved = index + 1;
  return TRUE;
}

BOOL DeviceInstaller::get_instance_id(HDEVINFO set, PSP_DEVINFO_DATA data, PSTR buffer, DWORD size,
                                      PDWORD required) {
  Device* d = element(set, data);
  if (d == nullptr) return FALSE;
  return copy_out(d->instance_id, buffer, size, required);
}

BOOL DeviceInstaller::get_registry_property(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                            PBYTE buffer, DWORD size, PDWORD required) {
  Device* d = element(set, data);
  if (d == nullptr) return FALSE;
  if (property == SPDRP_DEVICEDESC) {
    // A removed device has no registry left to read.
    if (!d->description || d->removed) return fail(ERROR_INVALID_DATA);
    if (type) *type = REG_SZ;
    return copy_out(*d->description, reinterpret_cast<PSTR>(buffer), size, required);
  }
  if (property == SPDRP_HARDWAREID) {
    if (d->hardware_ids.empty() || d->removed) return fail(ERROR_INVALID_DATA);
    std::string multi;
    for (const auto& id : d->hardware_ids) multi += id + '\0';
    if (type) *type = REG_MULTI_SZ;
    // copy_out adds the list's final terminator.
    return copy_out(multi, reinterpret_cast<PSTR>(buffer), size, required);
  }
  return fail(ERROR_INVALID_REG_PROPERTY);
}

BOOL DeviceInstaller::remove_device(HDEVINFO set, PSP_DEVINFO_DATA data) {
  Device* d = element(set, data);
  if (d == nullptr) return FALSE;
  ++removals_asked;
  if (!machine().admin) return fail(ERROR_ACCESS_DENIED);
  if (d->removed) return fail(ERROR_NO_SUCH_DEVINST);
  if (d->remove_fails) return fail(ERROR_ACCESS_DENIED);
  // The element stays in the set; its device-node handle is gone.
  d->removed = true;
  d->present = false;
  d->devinst = 0;
  data->DevInst = 0;
  removed_.push_back(d->instance_id);
  machine().netcfg().remove_device(d->instance_id);
  remove_device_keys(machine().registry, d->instance_id);
  return TRUE;
}

BOOL DeviceInstaller::destroy_list(HDEVINFO set) {
  if (lists_.erase(reinterpret_cast<std::uintptr_t>(set)) == 0) return fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

DeviceInstaller& Machine::devices() {
  if (!devices_) devices_.reset(new DeviceInstaller);
  return *devices_;
}
void Machine::RemovalPartsDeleter::operator()(DeviceInstaller* p) const { delete p; }

}  // namespace sim::win32

using sim::win32::machine;

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
  return machine().devices().get_class_devs(ClassGuid, Enumerator, Flags);
}
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  return machine().devices().enum_device_info(DeviceInfoSet, MemberIndex, DeviceInfoData);
}
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  return machine().devices().get_instance_id(DeviceInfoSet, DeviceInfoData, DeviceInstanceId, DeviceInstanceIdSize,
                                             RequiredSize);
}
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  return machine().devices().get_registry_property(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType,
                                                   PropertyBuffer, PropertyBufferSize, RequiredSize);
}
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  return machine().devices().remove_device(DeviceInfoSet, DeviceInfoData);
}
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  return machine().devices().destroy_list(DeviceInfoSet);
}
