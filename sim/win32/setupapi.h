// The simulated device installer (SetupAPI): the machine's devices with
// instance ids, descriptions, setup class and presence; device information
// sets built from them; removal, which takes a device off the machine, out of
// the network configuration and out of the registry (its instance key under
// Enum and its driver key under Control\Class), or fails for a device
// marked so. The SetupDi* functions work on the state of the current
// machine's installer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
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
  DWORD devinst = 0;  // device-node handle, 0 once removed
};

class DeviceInstaller {
 public:
  DeviceInstaller();
  ~DeviceInstaller();
  DeviceInstaller(const DeviceInstaller&) = delete;
  DeviceInstaller& operator=(const DeviceInstaller&) = delete;

  Device& add_device(Device device);
  // The device with this instance id (letter case aside), or null.
  Device* find_device(const std::string& instance_id);
  const std::vector<Device>& all() const;
  // Instance ids of the devices removed, in the order of removal.
  const std::vector<std::string>& removed() const;
  // Device information sets created and not destroyed.
  std::size_t open_lists() const;
  // What the program asked of the installer, for the run report: sets built
  // for the network class, the network-class devices they held, and
  // removals asked for (done or refused).
  int net_lists = 0;
  int net_devices_listed = 0;
  int removals_asked = 0;

  // The implementation's state, shared with the SetupDi* functions
  // (setupapi.cpp).
  struct State;
  State& state() { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

}  // namespace sim::win32
