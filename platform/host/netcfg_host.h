// Host declarations of COM and of the Windows 2000 network configuration
// interfaces, with the published identifiers, values and method slot order,
// so that the uninstaller's code drives the simulated object
// (sim/win32/netcfg.cpp) exactly as it drives the real one on Windows.
// Included at the end of win32_host.h.
#pragma once

// ---- GUIDs
typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID;
typedef GUID IID, CLSID;
typedef GUID *LPGUID;
typedef const GUID *LPCGUID;
typedef const GUID &REFGUID;
typedef const IID &REFIID;
typedef const CLSID &REFCLSID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
#define IsEqualIID(a, b)   IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

// ---- wide strings: 16-bit characters as on Windows
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef std::size_t SIZE_T;

// ---- HRESULT values
#define SUCCEEDED(hr)         (((HRESULT)(hr)) >= 0)
#define FAILED(hr)            (((HRESULT)(hr)) < 0)
#define S_OK                  ((HRESULT)0L)
#define S_FALSE               ((HRESULT)1L)
#define E_NOTIMPL             ((HRESULT)0x80004001L)
#define E_NOINTERFACE         ((HRESULT)0x80004002L)
#define E_POINTER             ((HRESULT)0x80004003L)
#define E_ABORT               ((HRESULT)0x80004004L)
#define E_FAIL                ((HRESULT)0x80004005L)
#define E_UNEXPECTED          ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED        ((HRESULT)0x80070005L)
#define E_OUTOFMEMORY         ((HRESULT)0x8007000EL)
#define E_INVALIDARG          ((HRESULT)0x80070057L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define REGDB_E_CLASSNOTREG   ((HRESULT)0x80040154L)
#define CO_E_NOTINITIALIZED   ((HRESULT)0x800401F0L)

// ---- network configuration results
#define NETCFG_E_ALREADY_INITIALIZED ((HRESULT)0x8004A020L)
#define NETCFG_E_NOT_INITIALIZED     ((HRESULT)0x8004A021L)
#define NETCFG_E_IN_USE              ((HRESULT)0x8004A022L)
#define NETCFG_E_NO_WRITE_LOCK       ((HRESULT)0x8004A024L)
#define NETCFG_E_NEED_REBOOT         ((HRESULT)0x8004A025L)

// ---- COM library
#define CLSCTX_INPROC_SERVER  0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER   0x4
#define CLSCTX_REMOTE_SERVER  0x10
#define STDMETHODCALLTYPE

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef(void) = 0;
  virtual ULONG STDMETHODCALLTYPE Release(void) = 0;
};
typedef IUnknown *LPUNKNOWN;

HRESULT WINAPI CoInitialize(LPVOID reserved);
void WINAPI CoUninitialize(void);
HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID *ppv);
LPVOID WINAPI CoTaskMemAlloc(SIZE_T size);
void WINAPI CoTaskMemFree(LPVOID block);

// ---- published identifiers
inline const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline const GUID CLSID_CNetCfg = {0x5B035261, 0x40F9, 0x11D1, {0xAA, 0xEC, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline const GUID IID_IEnumNetCfgComponent = {
    0xC0E8AE92, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline const GUID IID_INetCfg = {0xC0E8AE93, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline const GUID IID_INetCfgClass = {0xC0E8AE97, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline const GUID IID_INetCfgComponent = {0xC0E8AE99, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline const GUID IID_INetCfgComponentBindings = {
    0xC0E8AE9E, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline const GUID IID_INetCfgLock = {0xC0E8AE9F, 0x306E, 0x11D1, {0xAA, 0xCF, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
inline const GUID GUID_DEVCLASS_NET = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline const GUID GUID_DEVCLASS_NETCLIENT = {
    0x4D36E973, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline const GUID GUID_DEVCLASS_NETSERVICE = {
    0x4D36E974, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline const GUID GUID_DEVCLASS_NETTRANS = {
    0x4D36E975, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// ---- the network configuration interfaces. Each lists its methods in the
// published vtable order after IUnknown's three; none has a destructor or
// any other virtual member, so the slots match the real interfaces.
struct INetCfgComponent;
struct IEnumNetCfgComponent;
struct INetCfgBindingPath;
struct IEnumNetCfgBindingPath;

struct INetCfg : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(PVOID pvReserved) = 0;
  virtual HRESULT STDMETHODCALLTYPE Uninitialize(void) = 0;
  virtual HRESULT STDMETHODCALLTYPE Apply(void) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel(void) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumComponents(const GUID *pguidClass, IEnumNetCfgComponent **ppenumComponent) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR pszwInfId, INetCfgComponent **pComponent) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryNetCfgClass(const GUID *pguidClass, REFIID riid, void **ppvObject) = 0;
};

struct INetCfgLock : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AcquireWriteLock(DWORD cmsTimeout, LPCWSTR pszwClientDescription,
                                                     LPWSTR *ppszwClientDescription) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseWriteLock(void) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsWriteLocked(LPWSTR *ppszwClientDescription) = 0;
};

struct INetCfgClass : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR pszwInfId, INetCfgComponent **ppnccItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumComponents(IEnumNetCfgComponent **ppenumComponent) = 0;
};

struct IEnumNetCfgComponent : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, INetCfgComponent **rgelt, ULONG *pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset(void) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumNetCfgComponent **ppenum) = 0;
};

struct INetCfgComponent : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR *ppszwDisplayName) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR pszwDisplayName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHelpText(LPWSTR *pszwHelpText) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR *ppszwId) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCharacteristics(LPDWORD pdwCharacteristics) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetInstanceGuid(GUID *pGuid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPnpDevNodeId(LPWSTR *ppszwDevNodeId) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClassGuid(GUID *pGuid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBindName(LPWSTR *ppszwBindName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDeviceStatus(ULONG *pulStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenParamKey(HKEY *phkey) = 0;
  virtual HRESULT STDMETHODCALLTYPE RaisePropertyUi(HWND hwndParent, DWORD dwFlags, IUnknown *punkContext) = 0;
};

struct INetCfgComponentBindings : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE BindTo(INetCfgComponent *pnccItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnbindFrom(INetCfgComponent *pnccItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE SupportsBindingInterface(DWORD dwFlags, LPCWSTR pszwInterfaceName) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsBoundTo(INetCfgComponent *pnccItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsBindableTo(INetCfgComponent *pnccItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumBindingPaths(DWORD dwFlags, IEnumNetCfgBindingPath **ppIEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveBefore(INetCfgBindingPath *pncbItemSrc, INetCfgBindingPath *pncbItemDest) = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveAfter(INetCfgBindingPath *pncbItemSrc, INetCfgBindingPath *pncbItemDest) = 0;
};
