// The devices and network components of a Windows 2000 machine, read from
// its registry as the system keeps them, and the registry changes that the
// device installer and the network configuration make when they remove a
// device or unbind a protocol.
//
//   SYSTEM\CurrentControlSet\Enum\<enumerator>\<device>\<instance>
//       a device instance: "ClassGUID", "DeviceDesc", "HardwareID"
//       (REG_MULTI_SZ), "Driver" (its driver key "{class}\NNNN")
//   SYSTEM\CurrentControlSet\Control\Class\{4D36E972-...}\NNNN
//       a network adapter's driver key: "NetCfgInstanceId"
//   SYSTEM\CurrentControlSet\Control\Class\{4D36E975-...}\NNNN
//       a protocol: "ComponentId", "NetCfgInstanceId", Ndi\"Service"
//   SYSTEM\CurrentControlSet\Control\Network\{class}\{instance id}
//       the installed components of each network class; an adapter's
//       Connection\"PnpInstanceID" names its device
//   SYSTEM\CurrentControlSet\Services\<service>\Linkage
//       a protocol's bindings: "Bind" lists "\Device\{adapter instance id}",
//       with "Export" and "Route" entries in the same positions
#pragma once
#include <string>

namespace sim::win32 {

class Machine;
class Registry;
struct NetCfgComponentInfo;

inline constexpr const char* kEnumKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr const char* kClassKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class";
inline constexpr const char* kNetworkKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network";
inline constexpr const char* kServicesKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services";

// Adds every device instance under Enum to the device installer.
void load_devices_from_registry(Machine& machine);
// Adds the adapters, protocols and bindings the registry records to the
// network configuration.
void load_components_from_registry(Machine& machine);

// The device installer removed the device: its instance key goes, with its
// driver key and, once empty, its device key.
void remove_device_keys(Registry& registry, const std::string& instance_id);
// Apply committed the unbinding of a protocol from an adapter: the adapter's
// entry leaves the protocol service's Linkage (Bind, Export and Route alike).
void unbind_in_registry(Registry& registry, const NetCfgComponentInfo& protocol, const NetCfgComponentInfo& adapter);

}  // namespace sim::win32
