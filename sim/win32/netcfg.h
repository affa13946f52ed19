// The simulated COM library and the Windows 2000 network configuration:
// adapter components with device-node ids, protocol components, the bindings
// between them, pending changes that Apply commits, and the system-wide
// write lock, which another client may hold for a while in the machine's
// virtual clock. COM objects count their references; whatever is still
// alive (objects, task-memory blocks, COM initialisations, the lock) after
// a run is listed by leaks(). The Co* functions and the COM objects
// (netcfg_objects.cpp) work on the state of the current machine's
// configuration.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/win32.h"
#include "registry.h"

namespace sim::win32 {

class Machine;

// Failures a profile or a test can force. Class names are "net" (adapters)
// and "nettrans" (protocols).
struct NetCfgFaults {
  bool coinitialize = false;          // CoInitialize: E_OUTOFMEMORY
  bool create = false;                // CoCreateInstance of the configuration object: REGDB_E_CLASSNOTREG
  bool lock_query = false;            // QueryInterface for INetCfgLock: E_NOINTERFACE
  bool lock = false;                  // AcquireWriteLock: NETCFG_E_NEED_REBOOT
  bool initialize = false;            // INetCfg::Initialize: E_FAIL
  std::set<std::string> class_query;  // QueryNetCfgClass for these classes: E_FAIL
  std::set<std::string> enumeration;  // EnumComponents for these classes: E_FAIL
  std::set<std::string> reset;        // IEnumNetCfgComponent::Reset for these classes: E_FAIL
};

struct NetCfgComponentInfo {
  std::string id;      // component id, unique in the configuration
  std::string pnp_id;  // device instance id; empty for a component without a device
  bool adapter = false;
  // Read from the registry: an adapter's NetCfgInstanceId, a protocol's
  // service; empty for components a profile describes.
  std::string instance_guid;
  std::string service;
};

class ComObject;  // netcfg_state.h

class NetCfg {
 public:
  NetCfg();
  ~NetCfg();
  NetCfg(const NetCfg&) = delete;
  NetCfg& operator=(const NetCfg&) = delete;

  // ---- configuration (profile, tests)
  void add_adapter(const std::string& id, const std::string& pnp_id, const std::string& instance_guid = "");
  void add_protocol(const std::string& id, const std::string& service = "");
  bool has_components() const;
  // Why the program got nothing done, for the run report: each entry says
  // which call failed or was refused and why ("write lock not obtained in
  // 15000 ms: held by Network Connections").
  std::vector<std::string> notes;
  void bind(const std::string& protocol, const std::string& adapter);
  // Another client holds the write lock until the virtual clock reaches
  // `until_ms`.
  void hold_lock(std::uint64_t until_ms, const std::string& holder = "Network Connections");
  NetCfgFaults& faults();

  // ---- state read back
  std::vector<NetCfgComponentInfo> components() const;
  // Committed bindings, (protocol id, adapter id), in the order they were made.
  std::vector<std::pair<std::string, std::string>> bindings() const;
  // Bindings that Apply removed, in the order they were committed.
  const std::vector<std::pair<std::string, std::string>>& unbound() const;
  int applied() const;
  // Live COM objects with their reference counts, e.g. "INetCfg refs=1".
  std::vector<std::string> live_objects() const;
  // Everything a well-behaved client would have given back: live objects,
  // task-memory blocks, unbalanced COM initialisations, a lock still held
  // by the program. Empty after a clean run.
  std::vector<std::string> leaks() const;
  int com_init_depth() const;
  // The write lock stays with this program from a granted AcquireWriteLock
  // to its ReleaseWriteLock, whatever happens to the object in between: no
  // object that has gone, and no other object, can give it back.
  bool program_holds_lock() const;
  // The description the program took the lock under; empty when it holds none.
  const std::string& program_lock_holder() const;

  // ---- called by the device installer when it removes a device
  void remove_device(const std::string& pnp_id);

  // The implementation's state, shared with the Co* functions and the COM
  // objects (netcfg_state.h).
  struct State;
  State& state() { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

// Bad content in the profile keys "netcfg" and "devices"; `where` is the
// key path ("netcfg.bindings[2]"), what() says what is wrong.
class NetCfgProfileError : public InputError {
 public:
  NetCfgProfileError(std::string where_, const std::string& what) : InputError(what), where(std::move(where_)) {}
  std::string where;
};

// Reads the profile keys "netcfg" and "devices" into the machine. Throws
// NetCfgProfileError on malformed input.
void load_netcfg_profile(const nlohmann::json& profile, Machine& machine);

// What the Windows 2000 removal did, for the run report: "unbound" (list of
// [protocol id, adapter id]), "applied" (count), "removed_devices" (instance
// ids) and "com_leaks" (what was not given back).
nlohmann::json netcfg_report(Machine& machine);

}  // namespace sim::win32
