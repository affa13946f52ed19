// The COM objects of the simulated network configuration: the
// configuration object (INetCfg, INetCfgLock), its components (with their
// bindings), enumerations and classes. Each works on the configuration's
// state (netcfg_state.h) directly.
#include <algorithm>
#include <cstring>

#include "codepage.h"
#include "machine.h"
#include "netcfg_state.h"
#include "win2000_network.h"

namespace sim::win32 {

namespace {

// A wide string in the machine's ANSI code page, as the A functions see it.
std::string narrow(LPCWSTR text) {
  std::u32string wide;
  for (; text && *text; ++text) wide.push_back(*text);
  return CodePage::find(machine().registry.code_page())->encode(wide);
}

std::string class_title(const std::string& cls) {
  return cls == "net" ? "adapter class (net)" : cls == "nettrans" ? "protocol class (nettrans)" : cls + " class";
}

std::string class_name(const GUID* guid) {
  if (guid == nullptr) return {};
  if (IsEqualGUID(*guid, GUID_DEVCLASS_NET)) return "net";
  if (IsEqualGUID(*guid, GUID_DEVCLASS_NETTRANS)) return "nettrans";
  if (IsEqualGUID(*guid, GUID_DEVCLASS_NETCLIENT)) return "netclient";
  if (IsEqualGUID(*guid, GUID_DEVCLASS_NETSERVICE)) return "netservice";
  return {};
}

#define SIM_COM_REFCOUNT                                          \
  ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); } \
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

// ---------------------------------------------------------------------------
// The configuration object: INetCfg and INetCfgLock on one object.

class ConfigObject final : public ComObject, public INetCfg, public INetCfgLock {
 public:
  // Letting the object go does not give up a lock it holds: the lock is
  // the system's, and only ReleaseWriteLock hands it back. Once the object
  // has gone, nothing can.
  explicit ConfigObject(NetCfg& owner) : ComObject(owner, "INetCfg") {}

  bool initialized = false;
  bool has_lock = false;
  std::vector<std::pair<std::string, std::string>> pending_unbinds;

  bool effectively_bound(const std::string& protocol, const std::string& adapter) const {
    if (!state().bound(protocol, adapter)) return false;
    for (const auto& p : pending_unbinds)
      if (equal_ci(p.first, protocol) && equal_ci(p.second, adapter)) return false;
    return true;
  }

  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_INetCfg)) {
      *ppv = static_cast<INetCfg*>(this);
    } else if (IsEqualIID(riid, IID_INetCfgLock) && !state().faults.lock_query) {
      *ppv = static_cast<INetCfgLock*>(this);
    } else {
      if (IsEqualIID(riid, IID_INetCfgLock))
        owner().notes.push_back("the write-lock interface was not available (E_NOINTERFACE)");
      return E_NOINTERFACE;
    }
    add_ref();
    return S_OK;
  }

  // INetCfg
  HRESULT STDMETHODCALLTYPE Initialize(PVOID) override {
    if (initialized) return NETCFG_E_ALREADY_INITIALIZED;
    if (state().faults.initialize) {
      owner().notes.push_back(
          "the network configuration could not be initialised (E_FAIL): nothing was unbound or removed");
      return E_FAIL;
    }
    initialized = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Uninitialize() override {
    if (!initialized) return NETCFG_E_NOT_INITIALIZED;
    pending_unbinds.clear();  // changes not applied are dropped
    initialized = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Apply() override;
  HRESULT STDMETHODCALLTYPE Cancel() override {
    if (!initialized) return NETCFG_E_NOT_INITIALIZED;
    pending_unbinds.clear();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumComponents(const GUID* guid, IEnumNetCfgComponent** out) override;
  HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR id, INetCfgComponent** out) override;
  HRESULT STDMETHODCALLTYPE QueryNetCfgClass(const GUID* guid, REFIID riid, void** ppv) override;

  // INetCfgLock
  HRESULT STDMETHODCALLTYPE AcquireWriteLock(DWORD timeout_ms, LPCWSTR description, LPWSTR* holder) override;
  HRESULT STDMETHODCALLTYPE ReleaseWriteLock() override {
    if (initialized) return NETCFG_E_ALREADY_INITIALIZED;
    if (!has_lock) return NETCFG_E_NO_WRITE_LOCK;
    release_lock();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsWriteLocked(LPWSTR* holder) override;

  // Components handed out by this object's enumerations.
  HRESULT make_enum(const std::string& cls, IEnumNetCfgComponent** out);

 private:
  void release_lock();
};

// Every object obtained from a configuration object keeps it alive until
// its own last Release.
class ConfigChild : public ComObject {
 public:
  ConfigChild(ConfigObject* config, std::string what) : ComObject(config->owner(), std::move(what)), config_(config) {
    config_->AddRef();
  }
  ~ConfigChild() override {
    if (!state().tearing_down) config_->Release();
  }

 protected:
  ConfigObject* config_;
};

// QueryInterface of an object with one interface besides IUnknown.
template <class Interface>
HRESULT query_single(ComObject& object, Interface* iface, REFIID iid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, iid)) return E_NOINTERFACE;
  *ppv = iface;
  object.add_ref();
  return S_OK;
}

// A component as the configuration hands it out: INetCfgComponent and
// INetCfgComponentBindings on one object.
class ComponentObject final : public ConfigChild, public INetCfgComponent, public INetCfgComponentBindings {
 public:
  ComponentObject(ConfigObject* config, std::string id)
      : ConfigChild(config, "INetCfgComponent " + id), id_(std::move(id)) {}
  const std::string& id() const { return id_; }

  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_INetCfgComponent)) {
      *ppv = static_cast<INetCfgComponent*>(this);
    } else if (IsEqualIID(riid, IID_INetCfgComponentBindings)) {
      *ppv = static_cast<INetCfgComponentBindings*>(this);
    } else {
      return E_NOINTERFACE;
    }
    add_ref();
    return S_OK;
  }

  // INetCfgComponent
  HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR* out) override { return string_out(id_, out); }
  HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpText(LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* out) override { return string_out(id_, out); }
  HRESULT STDMETHODCALLTYPE GetCharacteristics(LPDWORD out) override {
    if (out == nullptr) return E_POINTER;
    *out = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInstanceGuid(GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPnpDevNodeId(LPWSTR* out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const auto* c = state().find(id_);
    if (c == nullptr) return NETCFG_E_ADAPTER_NOT_FOUND_SIM;
    if (c->info.pnp_id.empty()) return E_FAIL;  // no device behind this component
    return string_out(c->info.pnp_id, out);
  }
  HRESULT STDMETHODCALLTYPE GetClassGuid(GUID* out) override {
    if (out == nullptr) return E_POINTER;
    const auto* c = state().find(id_);
    if (c == nullptr) return NETCFG_E_ADAPTER_NOT_FOUND_SIM;
    *out = c->info.adapter ? GUID_DEVCLASS_NET : GUID_DEVCLASS_NETTRANS;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindName(LPWSTR* out) override { return string_out(id_, out); }
  HRESULT STDMETHODCALLTYPE GetDeviceStatus(ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenParamKey(HKEY*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RaisePropertyUi(HWND, DWORD, IUnknown*) override { return E_NOTIMPL; }

  // INetCfgComponentBindings: this component is the upper one (a protocol),
  // the item the lower one (an adapter).
  HRESULT STDMETHODCALLTYPE BindTo(INetCfgComponent* item) override {
    std::string lower;
    if (HRESULT hr = lower_of(item, &lower); hr != S_OK) return hr;
    if (!config_->has_lock) return NETCFG_E_NO_WRITE_LOCK;
    auto& p = config_->pending_unbinds;
    const auto before = p.size();
    std::erase_if(p, [&](const auto& b) { return equal_ci(b.first, id_) && equal_ci(b.second, lower); });
    if (p.size() != before || state().bound(id_, lower)) return S_OK;
    return E_NOTIMPL;  // new bindings are not modelled
  }
  HRESULT STDMETHODCALLTYPE UnbindFrom(INetCfgComponent* item) override {
    std::string lower;
    if (HRESULT hr = lower_of(item, &lower); hr != S_OK) return hr;
    if (!config_->has_lock) return NETCFG_E_NO_WRITE_LOCK;
    if (config_->effectively_bound(id_, lower)) config_->pending_unbinds.emplace_back(id_, lower);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SupportsBindingInterface(DWORD, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsBoundTo(INetCfgComponent* item) override {
    std::string lower;
    if (HRESULT hr = lower_of(item, &lower); hr != S_OK) return hr;
    return config_->effectively_bound(id_, lower) ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE IsBindableTo(INetCfgComponent* item) override {
    std::string lower;
    if (HRESULT hr = lower_of(item, &lower); hr != S_OK) return hr;
    for (const auto& b : state().bindable)
      if (equal_ci(b.first, id_) && equal_ci(b.second, lower)) return S_OK;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE EnumBindingPaths(DWORD, IEnumNetCfgBindingPath**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MoveBefore(INetCfgBindingPath*, INetCfgBindingPath*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MoveAfter(INetCfgBindingPath*, INetCfgBindingPath*) override { return E_NOTIMPL; }

 private:
  // Placeholder result for a component whose device has gone meanwhile.
  static constexpr HRESULT NETCFG_E_ADAPTER_NOT_FOUND_SIM = static_cast<HRESULT>(0x8004A027L);

  HRESULT string_out(const std::string& text, LPWSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = state().task_string(text);
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  // The check of a component the caller hands in (the lower one of a
  // binding): one this configuration handed out, while it is initialised.
  HRESULT lower_of(INetCfgComponent* item, std::string* id) {
    if (item == nullptr) return E_POINTER;
    if (!config_->initialized) return NETCFG_E_NOT_INITIALIZED;
    auto* other = dynamic_cast<ComponentObject*>(item);
    if (other == nullptr) return E_INVALIDARG;
    *id = other->id();
    return S_OK;
  }

  std::string id_;
};

class EnumObject final : public ConfigChild, public IEnumNetCfgComponent {
 public:
  EnumObject(ConfigObject* config, std::string cls, std::vector<std::string> ids)
      : ConfigChild(config, "IEnumNetCfgComponent " + cls), cls_(std::move(cls)), ids_(std::move(ids)) {}

  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return query_single<IEnumNetCfgComponent>(*this, this, IID_IEnumNetCfgComponent, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, INetCfgComponent** rgelt, ULONG* fetched) override {
    if (rgelt == nullptr) return E_POINTER;
    if (celt != 1 && fetched == nullptr) return E_INVALIDARG;  // COM rule for enumerators
    ULONG n = 0;
    while (n < celt && pos_ < ids_.size()) {
      const std::string& id = ids_[pos_++];
      if (state().find(id) == nullptr) continue;  // removed meanwhile
      rgelt[n++] = new ComponentObject(config_, id);
    }
    for (ULONG i = n; i < celt; ++i) rgelt[i] = nullptr;
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    const std::size_t left = ids_.size() - pos_;
    pos_ += std::min<std::size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    if (state().faults.reset.count(cls_)) {
      owner().notes.push_back("the enumeration of the " + class_title(cls_) +
                              " could not be reset (E_FAIL): that pass was skipped");
      return E_FAIL;
    }
    pos_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumNetCfgComponent** out) override {
    if (out == nullptr) return E_POINTER;
    auto* copy = new EnumObject(config_, cls_, ids_);
    copy->pos_ = pos_;
    *out = copy;
    return S_OK;
  }

 private:
  std::string cls_;
  std::vector<std::string> ids_;
  std::size_t pos_ = 0;
};

class ClassObject final : public ConfigChild, public INetCfgClass {
 public:
  ClassObject(ConfigObject* config, std::string cls)
      : ConfigChild(config, "INetCfgClass " + cls), cls_(std::move(cls)) {}

  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return query_single<INetCfgClass>(*this, this, IID_INetCfgClass, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR id, INetCfgComponent** out) override {
    if (out == nullptr || id == nullptr) return E_POINTER;
    *out = nullptr;
    if (!config_->initialized) return NETCFG_E_NOT_INITIALIZED;
    const auto* c = state().find(narrow(id));
    if (c == nullptr || (c->info.adapter ? "net" : "nettrans") != cls_) return S_FALSE;
    *out = new ComponentObject(config_, c->info.id);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumComponents(IEnumNetCfgComponent** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!config_->initialized) return NETCFG_E_NOT_INITIALIZED;
    return config_->make_enum(cls_, out);
  }

 private:
  std::string cls_;
};

HRESULT ConfigObject::make_enum(const std::string& cls, IEnumNetCfgComponent** out) {
  if (state().faults.enumeration.count(cls)) {
    owner().notes.push_back("the " + class_title(cls) + " could not be enumerated (E_FAIL): that pass was skipped");
    return E_FAIL;
  }
  std::vector<std::string> ids;
  for (const auto& c : state().components) {
    if (c.removed) continue;
    if ((cls == "net" && c.info.adapter) || (cls == "nettrans" && !c.info.adapter)) ids.push_back(c.info.id);
  }
  *out = new EnumObject(this, cls, std::move(ids));
  return S_OK;
}

HRESULT ConfigObject::Apply() {
  if (!initialized) return NETCFG_E_NOT_INITIALIZED;
  if (!has_lock) return NETCFG_E_NO_WRITE_LOCK;
  NetCfg::State& s = state();
  for (const auto& p : pending_unbinds) {
    std::erase_if(s.bindings,
                  [&](const auto& b) { return equal_ci(b.first, p.first) && equal_ci(b.second, p.second); });
    state().unbound.push_back(p);
    const auto* protocol = s.find(p.first);
    const auto* adapter = s.find(p.second);
    if (protocol && adapter) unbind_in_registry(machine().registry, protocol->info, adapter->info);
  }
  pending_unbinds.clear();
  ++state().applied;
  return S_OK;
}

HRESULT ConfigObject::EnumComponents(const GUID* guid, IEnumNetCfgComponent** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!initialized) return NETCFG_E_NOT_INITIALIZED;
  const std::string cls = class_name(guid);
  if (cls.empty()) return E_INVALIDARG;
  return make_enum(cls, out);
}

HRESULT ConfigObject::FindComponent(LPCWSTR id, INetCfgComponent** out) {
  if (out == nullptr || id == nullptr) return E_POINTER;
  *out = nullptr;
  if (!initialized) return NETCFG_E_NOT_INITIALIZED;
  const auto* c = state().find(narrow(id));
  if (c == nullptr) return S_FALSE;
  *out = new ComponentObject(this, c->info.id);
  return S_OK;
}

HRESULT ConfigObject::QueryNetCfgClass(const GUID* guid, REFIID riid, void** ppv) {
  if (ppv == nullptr || guid == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!initialized) return NETCFG_E_NOT_INITIALIZED;
  const std::string cls = class_name(guid);
  if (cls.empty()) return E_INVALIDARG;
  if (state().faults.class_query.count(cls)) {
    owner().notes.push_back("the " + class_title(cls) + " was not available (E_FAIL): that pass was skipped");
    return E_FAIL;
  }
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_INetCfgClass)) return E_NOINTERFACE;
  *ppv = static_cast<INetCfgClass*>(new ClassObject(this, cls));
  return S_OK;
}

HRESULT ConfigObject::AcquireWriteLock(DWORD timeout_ms, LPCWSTR description, LPWSTR* holder) {
  if (holder) *holder = nullptr;
  if (description == nullptr) return E_POINTER;
  if (initialized) return NETCFG_E_ALREADY_INITIALIZED;
  if (state().faults.lock) {
    owner().notes.push_back("the write lock was refused (NETCFG_E_NEED_REBOOT): nothing was unbound or removed");
    return NETCFG_E_NEED_REBOOT;
  }
  if (has_lock) return S_OK;
  NetCfg::State& s = state();
  VirtualClock& clock = machine().clock;
  const std::uint64_t timeout_ns = std::uint64_t{timeout_ms} * 1000000;

  // Another configuration object of this process holds the lock: it cannot
  // give it up while this thread waits.
  if (state().program_lock) {
    clock.advance_ns(timeout_ns);
    if (holder) *holder = state().task_string(s.program_holder);
    owner().notes.push_back("the write lock was not obtained within " + std::to_string(timeout_ms) +
                            " ms: this program already held it as \"" + s.program_holder + "\"");
    return S_FALSE;
  }
  if (s.other_holds && clock.now_ns() < s.other_until_ns) {
    const std::uint64_t wait = s.other_until_ns - clock.now_ns();
    if (wait > timeout_ns) {
      clock.advance_ns(timeout_ns);
      if (holder) *holder = state().task_string(s.other_holder);
      owner().notes.push_back("the write lock was not obtained within " + std::to_string(timeout_ms) + " ms: \"" +
                              s.other_holder + "\" held it until " + std::to_string(s.other_until_ns / 1000000) +
                              " ms");
      return S_FALSE;
    }
    clock.advance_ns(wait);
  }
  s.other_holds = false;
  has_lock = true;
  s.program_holder = narrow(description);
  state().program_lock = true;
  return S_OK;
}

HRESULT ConfigObject::IsWriteLocked(LPWSTR* holder) {
  if (holder == nullptr) return E_POINTER;
  *holder = nullptr;
  NetCfg::State& s = state();
  if (state().program_lock) {
    *holder = state().task_string(s.program_holder);
    return S_OK;
  }
  if (s.other_holds && machine().clock.now_ns() < s.other_until_ns) {
    *holder = state().task_string(s.other_holder);
    return S_OK;
  }
  return S_FALSE;
}

void ConfigObject::release_lock() {
  has_lock = false;
  state().program_holder.clear();
  state().program_lock = false;
}

}  // namespace

HRESULT create_config_object(NetCfg& owner, REFIID riid, LPVOID* ppv) {
  auto* object = new ConfigObject(owner);
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();  // the creation reference; QueryInterface took its own
  return hr;
}

}  // namespace sim::win32
