#include "netcfg.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "machine.h"
#include "registry.h"
#include "setupapi.h"
#include "win2000_network.h"

namespace sim::win32 {

namespace {

bool equal_ci(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The simulated ANSI code page is Windows-1252 restricted to its Latin-1
// part: characters 0-255 map to themselves, anything else has no ANSI form.
std::string narrow(LPCWSTR text) {
  std::string out;
  if (text == nullptr) return out;
  for (; *text; ++text) out.push_back(*text < 256 ? static_cast<char>(*text) : '?');
  return out;
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

}  // namespace

// ---------------------------------------------------------------------------
// Shared state of the configuration and the bookkeeping of live objects.

class ComObject;
class ConfigObject;

struct NetCfg::Impl {
  struct Component {
    NetCfgComponentInfo info;
    bool removed = false;
  };
  std::vector<Component> components;
  std::vector<std::pair<std::string, std::string>> bindings;  // committed
  std::set<std::pair<std::string, std::string>> bindable;     // every pair ever bound
  std::set<ComObject*> live;
  std::set<void*> task_blocks;
  int bad_frees = 0;
  int over_releases = 0;
  bool tearing_down = false;
  // Another client's hold on the write lock, in virtual nanoseconds.
  bool other_holds = false;
  std::uint64_t other_until_ns = 0;
  std::string other_holder;
  std::string program_holder;

  Component* find(const std::string& id) {
    for (auto& c : components)
      if (!c.removed && equal_ci(c.info.id, id)) return &c;
    return nullptr;
  }
  bool bound(const std::string& protocol, const std::string& adapter) const {
    for (const auto& b : bindings)
      if (equal_ci(b.first, protocol) && equal_ci(b.second, adapter)) return true;
    return false;
  }
};

class ComObject {
 public:
  ComObject(NetCfg& owner, std::string what) : owner_(owner), what_(std::move(what)) {
    owner_.impl().live.insert(this);
  }
  virtual ~ComObject() { owner_.impl().live.erase(this); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  ULONG add_ref() { return ++refs_; }
  ULONG release() {
    if (refs_ == 0) {  // cannot happen for a live object; counted for the report
      ++owner_.impl().over_releases;
      return 0;
    }
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  ULONG refs() const { return refs_; }
  const std::string& what() const { return what_; }
  NetCfg& owner() { return owner_; }

 private:
  NetCfg& owner_;
  std::string what_;
  ULONG refs_ = 1;
};

#define SIM_COM_REFCOUNT                                                 \
  ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }        \
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
    if (!owner_impl().bound(protocol, adapter)) return false;
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
    } else if (IsEqualIID(riid, IID_INetCfgLock) && !owner().faults().lock_query) {
      *ppv = static_cast<INetCfgLock*>(this);
    } else {
      if (IsEqualIID(riid, IID_INetCfgLock)) owner().notes.push_back("the write-lock interface was not available (E_NOINTERFACE)");
      return E_NOINTERFACE;
    }
    add_ref();
    return S_OK;
  }

  // INetCfg
  HRESULT STDMETHODCALLTYPE Initialize(PVOID) override {
    if (initialized) return NETCFG_E_ALREADY_INITIALIZED;
    if (owner().faults().initialize) {
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
  NetCfg::Impl& owner_impl() const { return const_cast<ConfigObject*>(this)->owner().impl(); }
  void release_lock();
};

// A component as the configuration hands it out: INetCfgComponent and
// INetCfgComponentBindings on one object. It keeps its configuration object
// alive, as every object obtained from it does.
class ComponentObject final : public ComObject, public INetCfgComponent, public INetCfgComponentBindings {
 public:
  ComponentObject(ConfigObject* config, std::string id)
      : ComObject(config->owner(), "INetCfgComponent " + id), config_(config), id_(std::move(id)) {
    config_->AddRef();
  }
  ~ComponentObject() override {
    if (!owner().impl().tearing_down) config_->Release();
  }
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
    const auto* c = owner().impl().find(id_);
    if (c == nullptr) return NETCFG_E_ADAPTER_NOT_FOUND_SIM;
    if (c->info.pnp_id.empty()) return E_FAIL;  // no device behind this component
    return string_out(c->info.pnp_id, out);
  }
  HRESULT STDMETHODCALLTYPE GetClassGuid(GUID* out) override {
    if (out == nullptr) return E_POINTER;
    const auto* c = owner().impl().find(id_);
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
    if (p.size() != before || owner().impl().bound(id_, lower)) return S_OK;
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
    for (const auto& b : owner().impl().bindable)
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
    *out = owner().task_wide_string(text);
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT lower_of(INetCfgComponent* item, std::string* id) {
    if (item == nullptr) return E_POINTER;
    if (!config_->initialized) return NETCFG_E_NOT_INITIALIZED;
    auto* other = dynamic_cast<ComponentObject*>(item);
    if (other == nullptr) return E_INVALIDARG;
    *id = other->id();
    return S_OK;
  }

  ConfigObject* config_;
  std::string id_;
};

class EnumObject final : public ComObject, public IEnumNetCfgComponent {
 public:
  EnumObject(ConfigObject* config, std::string cls, std::vector<std::string> ids)
      : ComObject(config->owner(), "IEnumNetCfgComponent " + cls), config_(config), cls_(std::move(cls)),
        ids_(std::move(ids)) {
    config_->AddRef();
  }
  ~EnumObject() override {
    if (!owner().impl().tearing_down) config_->Release();
  }

  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IEnumNetCfgComponent)) return E_NOINTERFACE;
    *ppv = static_cast<IEnumNetCfgComponent*>(this);
    add_ref();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, INetCfgComponent** rgelt, ULONG* fetched) override {
    if (rgelt == nullptr) return E_POINTER;
    if (celt != 1 && fetched == nullptr) return E_INVALIDARG;  // COM rule for enumerators
    ULONG n = 0;
    while (n < celt && pos_ < ids_.size()) {
      const std::string& id = ids_[pos_++];
      if (owner().impl().find(id) == nullptr) continue;  // removed meanwhile
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
    if (owner().faults().reset.count(cls_)) {
      owner().notes.push_back("the enumeration of the " + class_title(cls_) + " could not be reset (E_FAIL): that pass was skipped");
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
  ConfigObject* config_;
  std::string cls_;
  std::vector<std::string> ids_;
  std::size_t pos_ = 0;
};

class ClassObject final : public ComObject, public INetCfgClass {
 public:
  ClassObject(ConfigObject* config, std::string cls)
      : ComObject(config->owner(), "INetCfgClass " + cls), config_(config), cls_(std::move(cls)) {
    config_->AddRef();
  }
  ~ClassObject() override {
    if (!owner().impl().tearing_down) config_->Release();
  }

  SIM_COM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_INetCfgClass)) return E_NOINTERFACE;
    *ppv = static_cast<INetCfgClass*>(this);
    add_ref();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR id, INetCfgComponent** out) override {
    if (out == nullptr || id == nullptr) return E_POINTER;
    *out = nullptr;
    if (!config_->initialized) return NETCFG_E_NOT_INITIALIZED;
    const auto* c = owner().impl().find(narrow(id));
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
  ConfigObject* config_;
  std::string cls_;
};

HRESULT ConfigObject::make_enum(const std::string& cls, IEnumNetCfgComponent** out) {
  if (owner().faults().enumeration.count(cls)) {
    owner().notes.push_back("the " + class_title(cls) + " could not be enumerated (E_FAIL): that pass was skipped");
    return E_FAIL;
  }
  std::vector<std::string> ids;
  for (const auto& c : owner().impl().components) {
    if (c.removed) continue;
    if ((cls == "net" && c.info.adapter) || (cls == "nettrans" && !c.info.adapter)) ids.push_back(c.info.id);
  }
  *out = new EnumObject(this, cls, std::move(ids));
  return S_OK;
}

HRESULT ConfigObject::Apply() {
  if (!initialized) return NETCFG_E_NOT_INITIALIZED;
  if (!has_lock) return NETCFG_E_NO_WRITE_LOCK;
  NetCfg::Impl& impl = owner().impl();
  for (const auto& p : pending_unbinds) {
    std::erase_if(impl.bindings,
                  [&](const auto& b) { return equal_ci(b.first, p.first) && equal_ci(b.second, p.second); });
    owner().record_unbound(p);
    const auto* protocol = impl.find(p.first);
    const auto* adapter = impl.find(p.second);
    if (protocol && adapter) unbind_in_registry(machine().registry, protocol->info, adapter->info);
  }
  pending_unbinds.clear();
  owner().record_apply();
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
  const auto* c = owner().impl().find(narrow(id));
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
  if (owner().faults().class_query.count(cls)) {
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
  if (owner().faults().lock) {
    owner().notes.push_back("the write lock was refused (NETCFG_E_NEED_REBOOT): nothing was unbound or removed");
    return NETCFG_E_NEED_REBOOT;
  }
  if (has_lock) return S_OK;
  NetCfg::Impl& impl = owner().impl();
  VirtualClock& clock = machine().clock;
  const std::uint64_t timeout_ns = std::uint64_t{timeout_ms} * 1000000;

  // Another configuration object of this process holds the lock: it cannot
  // give it up while this thread waits.
  if (owner().program_holds_lock()) {
    clock.advance_ns(timeout_ns);
    if (holder) *holder = owner().task_wide_string(impl.program_holder);
    owner().notes.push_back("the write lock was not obtained within " + std::to_string(timeout_ms) +
                            " ms: this program already held it as \"" + impl.program_holder + "\"");
    return S_FALSE;
  }
  if (impl.other_holds && clock.now_ns() < impl.other_until_ns) {
    const std::uint64_t wait = impl.other_until_ns - clock.now_ns();
    if (wait > timeout_ns) {
      clock.advance_ns(timeout_ns);
      if (holder) *holder = owner().task_wide_string(impl.other_holder);
      owner().notes.push_back("the write lock was not obtained within " + std::to_string(timeout_ms) + " ms: \"" +
                              impl.other_holder + "\" held it until " +
                              std::to_string(impl.other_until_ns / 1000000) + " ms");
      return S_FALSE;
    }
    clock.advance_ns(wait);
  }
  impl.other_holds = false;
  has_lock = true;
  impl.program_holder = narrow(description);
  owner().set_program_lock(true);
  return S_OK;
}

HRESULT ConfigObject::IsWriteLocked(LPWSTR* holder) {
  if (holder == nullptr) return E_POINTER;
  *holder = nullptr;
  NetCfg::Impl& impl = owner().impl();
  if (owner().program_holds_lock()) {
    *holder = owner().task_wide_string(impl.program_holder);
    return S_OK;
  }
  if (impl.other_holds && machine().clock.now_ns() < impl.other_until_ns) {
    *holder = owner().task_wide_string(impl.other_holder);
    return S_OK;
  }
  return S_FALSE;
}

void ConfigObject::release_lock() {
  has_lock = false;
  owner().impl().program_holder.clear();
  owner().set_program_lock(false);
}

// ---------------------------------------------------------------------------
// NetCfg

NetCfg::NetCfg() : impl_(std::make_unique<Impl>()) {}

NetCfg::~NetCfg() {
  impl_->tearing_down = true;
  const std::set<ComObject*> left = impl_->live;
  for (ComObject* o : left) delete o;
  for (void* block : impl_->task_blocks) std::free(block);
}

void NetCfg::add_adapter(const std::string& id, const std::string& pnp_id, const std::string& instance_guid) {
  impl_->components.push_back({{id, pnp_id, true, instance_guid, ""}, false});
}

void NetCfg::add_protocol(const std::string& id, const std::string& service) {
  impl_->components.push_back({{id, "", false, "", service}, false});
}

bool NetCfg::has_components() const { return !impl_->components.empty(); }

void NetCfg::bind(const std::string& protocol, const std::string& adapter) {
  if (impl_->bound(protocol, adapter)) return;
  impl_->bindings.emplace_back(protocol, adapter);
  impl_->bindable.emplace(protocol, adapter);
}

void NetCfg::hold_lock(std::uint64_t until_ms, const std::string& holder) {
  impl_->other_holds = true;
  impl_->other_until_ns = until_ms * 1000000;
  impl_->other_holder = holder;
}

std::vector<NetCfgComponentInfo> NetCfg::components() const {
  std::vector<NetCfgComponentInfo> out;
  for (const auto& c : impl_->components)
    if (!c.removed) out.push_back(c.info);
  return out;
}

std::vector<std::pair<std::string, std::string>> NetCfg::bindings() const { return impl_->bindings; }

std::vector<std::string> NetCfg::live_objects() const {
  std::vector<std::string> out;
  for (const ComObject* o : impl_->live) out.push_back(o->what() + " refs=" + std::to_string(o->refs()));
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> NetCfg::leaks() const {
  std::vector<std::string> out = live_objects();
  if (!impl_->task_blocks.empty())
    out.push_back(std::to_string(impl_->task_blocks.size()) + " task-memory block(s) not freed");
  if (impl_->bad_frees) out.push_back(std::to_string(impl_->bad_frees) + " CoTaskMemFree of unknown block(s)");
  if (impl_->over_releases) out.push_back(std::to_string(impl_->over_releases) + " Release past zero");
  if (com_init_depth_ > 0) out.push_back(std::to_string(com_init_depth_) + " CoInitialize without CoUninitialize");
  if (unbalanced_uninit_ > 0)
    out.push_back(std::to_string(unbalanced_uninit_) + " CoUninitialize without CoInitialize");
  if (program_lock_)
    out.push_back("network configuration write lock still held as \"" + impl_->program_holder + "\"");
  return out;
}

void NetCfg::remove_device(const std::string& pnp_id) {
  for (auto& c : impl_->components) {
    if (c.removed || !c.info.adapter || !equal_ci(c.info.pnp_id, pnp_id)) continue;
    c.removed = true;
    std::erase_if(impl_->bindings, [&](const auto& b) { return equal_ci(b.second, c.info.id); });
  }
}

HRESULT NetCfg::co_initialize() {
  if (faults_.coinitialize) {
    notes.push_back("COM could not be initialised (E_OUTOFMEMORY): nothing was unbound or removed");
    return E_OUTOFMEMORY;
  }
  return com_init_depth_++ == 0 ? S_OK : S_FALSE;
}

void NetCfg::co_uninitialize() {
  if (com_init_depth_ == 0) {
    ++unbalanced_uninit_;
    return;
  }
  --com_init_depth_;
}

HRESULT NetCfg::co_create_instance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (com_init_depth_ == 0) return CO_E_NOTINITIALIZED;
  // The class is registered in-process on Windows 2000 and later only.
  const Version& v = machine().version;
  const bool registered = v.platform_id == VER_PLATFORM_WIN32_NT && v.major >= 5;
  if (!IsEqualCLSID(clsid, CLSID_CNetCfg) || !registered || !(context & CLSCTX_INPROC_SERVER) || faults_.create) {
    notes.push_back("the network configuration object could not be created (REGDB_E_CLASSNOTREG)");
    return REGDB_E_CLASSNOTREG;
  }
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* object = new ConfigObject(*this);
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();  // the creation reference; QueryInterface took its own
  return hr;
}

LPVOID NetCfg::task_alloc(SIZE_T size) {
  void* block = std::malloc(size ? size : 1);
  if (block) impl_->task_blocks.insert(block);
  return block;
}

void NetCfg::task_free(LPVOID block) {
  if (block == nullptr) return;
  if (impl_->task_blocks.erase(block) == 0) {
    ++impl_->bad_frees;
    return;
  }
  std::free(block);
}

LPWSTR NetCfg::task_wide_string(const std::string& text) {
  auto* out = static_cast<LPWSTR>(task_alloc((text.size() + 1) * sizeof(WCHAR)));
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
  out[text.size()] = 0;
  return out;
}

void NetCfg::record_unbound(const std::pair<std::string, std::string>& pair) { unbound_.push_back(pair); }
void NetCfg::record_apply() { ++applied_; }
void NetCfg::set_program_lock(bool held) { program_lock_ = held; }
const std::string& NetCfg::program_lock_holder() const { return impl_->program_holder; }

NetCfg& Machine::netcfg() {
  if (!netcfg_) netcfg_.reset(new NetCfg);
  return *netcfg_;
}
void Machine::RemovalPartsDeleter::operator()(NetCfg* p) const { delete p; }

// ---------------------------------------------------------------------------
// Profile keys "netcfg" and "devices".

namespace {

[[noreturn]] void bad(const std::string& where, const std::string& what) {
  throw NetCfgProfileError(where, what);
}

std::string text_of(const nlohmann::json& j, const std::string& where) {
  if (!j.is_string()) bad(where, "expected a string");
  return j.get<std::string>();
}

std::set<std::string> class_set(const nlohmann::json& j, const std::string& where) {
  std::set<std::string> out;
  if (j.is_boolean()) {
    if (j.get<bool>()) out = {"net", "nettrans"};
    return out;
  }
  if (!j.is_array()) bad(where, "expected true, false or a list of \"net\" and \"nettrans\"");
  for (const auto& item : j) {
    std::string cls = text_of(item, where);
    if (cls != "net" && cls != "nettrans") bad(where, "unknown class \"" + cls + "\"");
    out.insert(cls);
  }
  return out;
}

bool flag_of(const nlohmann::json& obj, const char* key, const std::string& where, bool fallback) {
  if (!obj.contains(key)) return fallback;
  if (!obj[key].is_boolean()) bad(where + "." + key, "expected true or false");
  return obj[key].get<bool>();
}

void load_netcfg(const nlohmann::json& j, NetCfg& cfg) {
  if (!j.is_object()) bad("netcfg", "expected an object");
  std::set<std::string> adapters, protocols;
  auto known = [&](const std::string& id) {
    for (const auto& a : adapters)
      if (equal_ci(a, id)) return true;
    for (const auto& p : protocols)
      if (equal_ci(p, id)) return true;
    return false;
  };
  if (j.contains("adapters")) {
    if (!j["adapters"].is_array()) bad("netcfg.adapters", "expected a list");
    for (std::size_t i = 0; i < j["adapters"].size(); ++i) {
      const auto& a = j["adapters"][i];
      const std::string where = "netcfg.adapters[" + std::to_string(i) + "]";
      if (!a.is_object() || !a.contains("id")) bad(where, "expected an object with \"id\"");
      const std::string id = text_of(a["id"], where + ".id");
      if (known(id)) bad(where, "duplicate component id \"" + id + "\"");
      cfg.add_adapter(id, a.contains("pnp_id") ? text_of(a["pnp_id"], where + ".pnp_id") : "");
      adapters.insert(id);
    }
  }
  if (j.contains("protocols")) {
    if (!j["protocols"].is_array()) bad("netcfg.protocols", "expected a list");
    for (std::size_t i = 0; i < j["protocols"].size(); ++i) {
      const auto& p = j["protocols"][i];
      const std::string where = "netcfg.protocols[" + std::to_string(i) + "]";
      const std::string id = p.is_object() && p.contains("id") ? text_of(p["id"], where + ".id") : text_of(p, where);
      if (known(id)) bad(where, "duplicate component id \"" + id + "\"");
      cfg.add_protocol(id);
      protocols.insert(id);
    }
  }
  if (j.contains("bindings")) {
    if (!j["bindings"].is_array()) bad("netcfg.bindings", "expected a list");
    for (std::size_t i = 0; i < j["bindings"].size(); ++i) {
      const auto& b = j["bindings"][i];
      const std::string where = "netcfg.bindings[" + std::to_string(i) + "]";
      if (!b.is_array() || b.size() != 2) bad(where, "expected [protocol id, adapter id]");
      const std::string protocol = text_of(b[0], where);
      const std::string adapter = text_of(b[1], where);
      bool p_ok = false, a_ok = false;
      for (const auto& p : protocols) p_ok = p_ok || equal_ci(p, protocol);
      for (const auto& a : adapters) a_ok = a_ok || equal_ci(a, adapter);
      if (!p_ok) bad(where, "\"" + protocol + "\" is not a protocol of the profile");
      if (!a_ok) bad(where, "\"" + adapter + "\" is not an adapter of the profile");
      cfg.bind(protocol, adapter);
    }
  }
  if (j.contains("lock_held_ms")) {
    if (!j["lock_held_ms"].is_number_unsigned()) bad("netcfg.lock_held_ms", "expected a count of milliseconds");
    cfg.hold_lock(j["lock_held_ms"].get<std::uint64_t>(),
                  j.contains("lock_holder") ? text_of(j["lock_holder"], "netcfg.lock_holder") : "Network Connections");
  }
  if (j.contains("fail")) {
    const auto& f = j["fail"];
    if (!f.is_object()) bad("netcfg.fail", "expected an object");
    static const std::set<std::string> keys = {"coinitialize", "create",      "lock_query", "lock",
                                               "initialize",   "class_query", "enumeration", "reset"};
    for (const auto& [key, value] : f.items())
      if (!keys.count(key)) bad("netcfg.fail." + key, "unknown failure");
    NetCfgFaults& faults = cfg.faults();
    faults.coinitialize = flag_of(f, "coinitialize", "netcfg.fail", false);
    faults.create = flag_of(f, "create", "netcfg.fail", false);
    faults.lock_query = flag_of(f, "lock_query", "netcfg.fail", false);
    faults.lock = flag_of(f, "lock", "netcfg.fail", false);
    faults.initialize = flag_of(f, "initialize", "netcfg.fail", false);
    if (f.contains("class_query")) faults.class_query = class_set(f["class_query"], "netcfg.fail.class_query");
    if (f.contains("enumeration")) faults.enumeration = class_set(f["enumeration"], "netcfg.fail.enumeration");
    if (f.contains("reset")) faults.reset = class_set(f["reset"], "netcfg.fail.reset");
  }
}

// A device the registry already describes takes the fields the entry gives
// (a removal that fails, a device not present, another description); any
// other entry adds a device.
void load_devices(const nlohmann::json& j, DeviceInstaller& devices) {
  if (!j.is_array()) bad("devices", "expected a list");
  for (std::size_t i = 0; i < j.size(); ++i) {
    const auto& d = j[i];
    const std::string where = "devices[" + std::to_string(i) + "]";
    if (!d.is_object() || !d.contains("instance_id")) bad(where, "expected an object with \"instance_id\"");
    const std::string id = text_of(d["instance_id"], where + ".instance_id");
    Device* device = devices.find_device(id);
    if (device == nullptr) {
      Device fresh;
      fresh.instance_id = id;
      device = &devices.add_device(std::move(fresh));
    } else if (device->class_guid == GUID{}) {
      device->class_guid = GUID_DEVCLASS_NET;  // the entry's class, by default the network class
    }
    if (d.contains("description")) device->description = text_of(d["description"], where + ".description");
    device->present = flag_of(d, "present", where, device->present);
    device->remove_fails = flag_of(d, "remove_fails", where, device->remove_fails);
    if (d.contains("class")) {
      const std::string cls = text_of(d["class"], where + ".class");
      if (cls == "net") device->class_guid = GUID_DEVCLASS_NET;
      else if (cls == "nettrans") device->class_guid = GUID_DEVCLASS_NETTRANS;
      else bad(where + ".class", "unknown class \"" + cls + "\"");
    }
  }
}

}  // namespace

void load_netcfg_profile(const nlohmann::json& profile, Machine& m) {
  if (profile.contains("netcfg")) load_netcfg(profile["netcfg"], m.netcfg());
  if (profile.contains("devices")) load_devices(profile["devices"], m.devices());
}

nlohmann::json netcfg_report(Machine& m) {
  nlohmann::json unbound = nlohmann::json::array();
  for (const auto& [protocol, adapter] : m.netcfg().unbound()) unbound.push_back({protocol, adapter});
  std::vector<std::string> leaks = m.netcfg().leaks();
  if (m.devices().open_lists())
    leaks.push_back(std::to_string(m.devices().open_lists()) + " device information set(s) not destroyed");
  return {{"unbound", unbound},
          {"applied", m.netcfg().applied()},
          {"removed_devices", m.devices().removed()},
          {"com_leaks", leaks}};
}

}  // namespace sim::win32

// ---------------------------------------------------------------------------
// The COM library and code page conversion.

using sim::win32::machine;

HRESULT WINAPI CoInitialize(LPVOID) { return machine().netcfg().co_initialize(); }
void WINAPI CoUninitialize(void) { machine().netcfg().co_uninitialize(); }
HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* ppv) {
  return machine().netcfg().co_create_instance(clsid, outer, context, riid, ppv);
}
LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) { return machine().netcfg().task_alloc(size); }
void WINAPI CoTaskMemFree(LPVOID block) { machine().netcfg().task_free(block); }

// The ANSI code page is Latin-1: characters above 255 have no ANSI form and
// become the default character '?'.
int WINAPI WideCharToMultiByte(UINT, DWORD, const WCHAR* wide, int wide_chars, LPSTR multi, int multi_bytes,
                               LPCSTR default_char, LPBOOL used_default) {
  if (wide == nullptr || wide_chars == 0 || multi_bytes < 0 || (multi_bytes > 0 && multi == nullptr)) {
    machine().last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  int length = wide_chars;
  if (length < 0) {
    length = 0;
    while (wide[length]) ++length;
    ++length;  // the terminator is converted too
  }
  if (used_default) *used_default = FALSE;
  if (multi_bytes == 0) return length;
  if (multi_bytes < length) {
    machine().last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  const char fallback = default_char ? *default_char : '?';
  for (int i = 0; i < length; ++i) {
    if (wide[i] < 256) {
      multi[i] = static_cast<char>(wide[i]);
    } else {
      multi[i] = fallback;
      if (used_default) *used_default = TRUE;
    }
  }
  return length;
}

int WINAPI MultiByteToWideChar(UINT, DWORD, LPCSTR multi, int multi_bytes, WCHAR* wide, int wide_chars) {
  if (multi == nullptr || multi_bytes == 0 || wide_chars < 0 || (wide_chars > 0 && wide == nullptr)) {
    machine().last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const int length = multi_bytes < 0 ? static_cast<int>(std::strlen(multi)) + 1 : multi_bytes;
  if (wide_chars == 0) return length;
  if (wide_chars < length) {
    machine().last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  for (int i = 0; i < length; ++i) wide[i] = static_cast<unsigned char>(multi[i]);
  return length;
}
