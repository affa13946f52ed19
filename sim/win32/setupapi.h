// The simulated device installer (SetupAPI): the machine's devices with
// instance ids, descriptions, setup class and presence; device information
// sets built from them; removal, which takes a device off the machine, out of
// the network configuration and out of the registry (its instance key under
// Enum and its driver key under Control\Class), or fails for a device
// marked so.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim::win32 {

struct Device {
  std::string instance_id;
  std::optional<std::string> description;  // SPDRP_DEVICEDESC; absent: the property cannot be read
  std::vector<std::string> hardware_ids;   // SPDRP_HARDWAREID; empty: the property cannot be read
  GUID class_guid = GUID_DEVCLASS_NET;
  bool present = true;
  bool remove_fails = false;  // SetupDiRemoveDevice refuses it
  bool removed = false;
  DWORD devinst = 0;          // device-node handle, 0 once removed
};

class DeviceInstaller {
 public:
  Device& add_device(Device device);
  // The device with this instance id (letter case aside), or null.
  Device* find_device(const std::string& instance_id);
  const std::vector<Device>& all() const { return devices_; }
  // Instance ids of the devices removed, in the order of removal.
  const std::vector<std::string>& removed() const { return removed_; }
  // Device information sets created and not destroyed.
  std::size_t open_lists() const { return lists_.size(); }
  // What the program asked of the installer, for the run report: sets built
  // for the network class, the network-class devices they held, and
  // removals asked for (done or refused).
  int net_lists = 0;
  int net_devices_listed = 0;
  int removals_asked = 0;

  // Win32 entry points.
  HDEVINFO get_class_devs(const GUID* class_guid, PCSTR enumerator, DWORD flags);
  BOOL enum_device_info(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
  BOOL get_instance_id(HDEVINFO set, PSP_DEVINFO_DATA data, PSTR buffer, DWORD size, PDWORD required);
  BOOL get_registry_property(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer,
                             DWORD size, PDWORD required);
  BOOL remove_device(HDEVINFO set, PSP_DEVINFO_DATA data);
  BOOL destroy_list(HDEVINFO set);

 private:
  // An element refers to a device by its position in devices_.
  using DeviceList = std::vector<std::size_t>;
  DeviceList* find_list(HDEVINFO set);
  Device* element(HDEVINFO set, PSP_DEVINFO_DATA data);

  std::vector<Device> devices_;
  std::vector<std::string> removed_;
  std::map<std::uintptr_t, DeviceList> lists_;
  std::uintptr_t next_list_ = 0x5e70000;
  DWORD next_devinst_ = 1;
};

}  // namespace sim::win32
