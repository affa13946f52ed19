// The simulated network configuration's state, shared by the NetCfg class
// (configuration, read-back, the COM library functions) and the COM objects
// of netcfg_objects.cpp, which work on it directly. Internal to sim/win32.
#pragma once
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "netcfg.h"

namespace sim::win32 {

inline bool equal_ci(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

struct NetCfg::State {
  struct Component {
    NetCfgComponentInfo info;
    bool removed = false;
  };
  NetCfgFaults faults;
  std::vector<Component> components;
  std::vector<std::pair<std::string, std::string>> bindings;  // committed
  std::set<std::pair<std::string, std::string>> bindable;     // every pair ever bound
  std::vector<std::pair<std::string, std::string>> unbound;   // what Apply removed, in order
  int applied = 0;

  // The COM library: live objects, task-memory blocks, initialisations.
  std::set<ComObject*> live;
  std::set<void*> task_blocks;
  int bad_frees = 0;
  int over_releases = 0;
  int com_init_depth = 0;
  int unbalanced_uninit = 0;
  bool tearing_down = false;

  // The write lock: another client's hold, in virtual nanoseconds, and this
  // program's from a granted AcquireWriteLock to its ReleaseWriteLock.
  bool other_holds = false;
  std::uint64_t other_until_ns = 0;
  std::string other_holder;
  bool program_lock = false;
  std::string program_holder;

  Component* find(const std::string& id);  // a component not removed, letter case aside
  bool bound(const std::string& protocol, const std::string& adapter) const;
  // CoTaskMemAlloc's blocks, counted until CoTaskMemFree.
  LPVOID task_alloc(SIZE_T size);
  // A copy of `text` in task memory, as the interfaces hand strings out.
  LPWSTR task_string(const std::string& text);
};

// A simulated COM object: counts its references and is listed in the
// state's live objects from construction to the last Release.
class ComObject {
 public:
  ComObject(NetCfg& owner, std::string what) : owner_(owner), what_(std::move(what)) {
    owner_.state().live.insert(this);
  }
  virtual ~ComObject() { owner_.state().live.erase(this); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  ULONG add_ref() { return ++refs_; }
  ULONG release() {
    if (refs_ == 0) {  // cannot happen for a live object; counted for the report
      ++owner_.state().over_releases;
      return 0;
    }
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  ULONG refs() const { return refs_; }
  const std::string& what() const { return what_; }
  NetCfg& owner() const { return owner_; }
  NetCfg::State& state() const { return owner_.state(); }

 private:
  NetCfg& owner_;
  std::string what_;
  ULONG refs_ = 1;
};

// CoCreateInstance of the configuration object (INetCfg and INetCfgLock),
// once the class is known to be registered.
HRESULT create_config_object(NetCfg& owner, REFIID riid, LPVOID* ppv);

}  // namespace sim::win32
