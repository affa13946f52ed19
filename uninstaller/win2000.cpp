// Windows 2000 removal: unbind every protocol from each supported adapter
// through the network configuration object, then have the device installer
// remove each present supported network device.
#include "netpurge.h"

#define NETCFG_LOCK_TIMEOUT_MS 15000
#define DEVNODE_ID_BYTES       256
#define INSTANCE_ID_BYTES      4096
#define DEVICE_DESC_BYTES      4096
#define FAILURE_MESSAGE_BYTES  512
#define LOCK_CLIENT_CHARS      64

// Where the four vendor and the four device digits sit in a PCI device
// identifier: PCI\VEN_vvvv&DEV_dddd...
#define VENDOR_FIELD_POSITION 8
#define DEVICE_FIELD_POSITION 17
#define ID_FIELD_DIGITS       4

static const CHAR kLockClientDescription[] = "NicRemov Com service(NicRemov)";
static const CHAR kRemovalFailedFormat[] = "UnInistall faied for %s";
static const CHAR kRemovalFailedCaption[] = "Uninstaller";

// The failure message is the format with its "%s" replaced by the device
// description, cut so that the whole message and its terminator fit.
#define FAILURE_FIXED_CHARS ((int)sizeof(kRemovalFailedFormat) - 1 - 2)
#define FAILURE_DESC_CHARS  (FAILURE_MESSAGE_BYTES - 1 - FAILURE_FIXED_CHARS)

static_assert(sizeof(SP_DEVINFO_DATA) == 28, "the device record is the 32-bit Windows layout");
static_assert(sizeof(kLockClientDescription) <= LOCK_CLIENT_CHARS, "lock client description fits");
static_assert(FAILURE_DESC_CHARS > 0, "failure message leaves room for a description");

// Reads the vendor and device fields of a device identifier and asks whether
// the pair is one of ours. A field that lies beyond the identifier's end
// reads as 0, like a field with a character that is no hexadecimal digit.
static int IsSupportedDeviceId(LPCSTR id)
{
    int length = lstrlenA(id);
    int vendor = 0;
    int device = 0;

    if (length >= VENDOR_FIELD_POSITION + ID_FIELD_DIGITS)
        vendor = ParseHexField(id + VENDOR_FIELD_POSITION, ID_FIELD_DIGITS) & 0xFFFF;
    if (length >= DEVICE_FIELD_POSITION + ID_FIELD_DIGITS)
        device = ParseHexField(id + DEVICE_FIELD_POSITION, ID_FIELD_DIGITS) & 0xFFFF;
    return IsSupportedAdapterId(vendor, device);
}

HRESULT AcquireNetCfg(int lockWanted, INetCfg **netCfgOut)
{
    INetCfg *netCfg = NULL;
    INetCfgLock *lock = NULL;
    LPWSTR holder = NULL;
    WCHAR description[LOCK_CLIENT_CHARS];
    HRESULT hr;
    int i;

    if (netCfgOut == NULL)
        return E_POINTER;
    *netCfgOut = NULL;

    hr = CoInitialize(NULL);
    if (FAILED(hr))
        return hr;

    hr = CoCreateInstance(CLSID_CNetCfg, NULL, CLSCTX_INPROC_SERVER, IID_INetCfg, (void **)&netCfg);
    if (FAILED(hr) || netCfg == NULL) {
        CoUninitialize();
        return FAILED(hr) ? hr : E_POINTER;
    }

    if (lockWanted) {
        hr = netCfg->QueryInterface(IID_INetCfgLock, (void **)&lock);
        if (FAILED(hr) || lock == NULL) {
            netCfg->Release();
            CoUninitialize();
            return FAILED(hr) ? hr : E_POINTER;
        }
        for (i = 0; kLockClientDescription[i] != 0; i++)
            description[i] = (WCHAR)(BYTE)kLockClientDescription[i];
        description[i] = 0;

        hr = lock->AcquireWriteLock(NETCFG_LOCK_TIMEOUT_MS, description, &holder);
        // The name of the client holding the lock is not wanted, only freed.
        if (holder != NULL)
            CoTaskMemFree(holder);
        if (hr == S_FALSE)
            hr = NETCFG_E_NO_WRITE_LOCK;
        if (FAILED(hr)) {
            lock->Release();
            netCfg->Release();
            CoUninitialize();
            return hr;
        }
    }

    hr = netCfg->Initialize(NULL);
    if (SUCCEEDED(hr)) {
        // The caller gets a reference of its own; ours goes below with the
        // lock interface, so nothing obtained here outlives this call
        // except what the caller now owns.
        *netCfgOut = netCfg;
        netCfg->AddRef();
    } else if (lock != NULL) {
        lock->ReleaseWriteLock();
    }
    if (lock != NULL)
        lock->Release();
    netCfg->Release();
    if (FAILED(hr))
        CoUninitialize();
    return hr;
}

HRESULT ReleaseNetCfg(int lockHeld, INetCfg *netCfg)
{
    INetCfgLock *lock = NULL;
    HRESULT hr;

    if (netCfg == NULL)
        return E_POINTER;

    hr = netCfg->Uninitialize();
    if (SUCCEEDED(hr) && lockHeld) {
        if (SUCCEEDED(netCfg->QueryInterface(IID_INetCfgLock, (void **)&lock)) && lock != NULL) {
            hr = lock->ReleaseWriteLock();
            lock->Release();
        }
    }
    netCfg->Release();
    CoUninitialize();
    return hr;
}

int UnbindProtocolsFromAdapter(INetCfg *netCfg, INetCfgComponent *adapter)
{
    INetCfgClass *protocols = NULL;
    IEnumNetCfgComponent *items = NULL;
    INetCfgComponent *protocol = NULL;
    INetCfgComponentBindings *bindings = NULL;
    int completed = 0;

    if (netCfg->QueryNetCfgClass(&GUID_DEVCLASS_NETTRANS, IID_INetCfgClass, (void **)&protocols) == S_OK &&
        protocols != NULL && protocols->EnumComponents(&items) == S_OK && items != NULL && items->Reset() == S_OK) {
        while (items->Next(1, &protocol, NULL) == S_OK && protocol != NULL) {
            bindings = NULL;
            if (protocol->QueryInterface(IID_INetCfgComponentBindings, (void **)&bindings) == S_OK &&
                bindings != NULL) {
                if (bindings->IsBoundTo(adapter) == S_OK)
                    bindings->UnbindFrom(adapter);
                bindings->Release();
            }
            protocol->Release();
            protocol = NULL;
        }
        completed = 1;
    }
    // Whatever the pass obtained before it stopped is given back.
    if (items != NULL)
        items->Release();
    if (protocols != NULL)
        protocols->Release();
    return completed;
}

HRESULT UnbindSupportedAdapters(void)
{
    INetCfg *netCfg = NULL;
    INetCfgClass *adapters = NULL;
    IEnumNetCfgComponent *items = NULL;
    INetCfgComponent *adapter = NULL;
    LPWSTR devNodeId;
    CHAR id[DEVNODE_ID_BYTES];
    HRESULT hr;

    hr = AcquireNetCfg(TRUE, &netCfg);
    if (FAILED(hr))
        return hr;

    if (netCfg->QueryNetCfgClass(&GUID_DEVCLASS_NET, IID_INetCfgClass, (void **)&adapters) == S_OK &&
        adapters != NULL) {
        if (adapters->EnumComponents(&items) == S_OK && items != NULL)
            items->Reset();
        if (items != NULL) {
            while (items->Next(1, &adapter, NULL) == S_OK && adapter != NULL) {
                devNodeId = NULL;
                if (SUCCEEDED(adapter->GetPnpDevNodeId(&devNodeId)) && devNodeId != NULL) {
                    id[0] = 0;
                    if (WideCharToMultiByte(CP_ACP, 0, devNodeId, -1, id, DEVNODE_ID_BYTES, NULL, NULL) == 0)
                        id[0] = 0;  // too long or not convertible: not one of ours
                    id[DEVNODE_ID_BYTES - 1] = 0;
                    CoTaskMemFree(devNodeId);
                    if (IsSupportedDeviceId(id)) {
                        UnbindProtocolsFromAdapter(netCfg, adapter);
                        netCfg->Apply();
                    }
                } else if (devNodeId != NULL) {
                    CoTaskMemFree(devNodeId);
                }
                adapter->Release();
                adapter = NULL;
            }
            items->Release();
        }
    }
    if (adapters != NULL)
        adapters->Release();
    ReleaseNetCfg(TRUE, netCfg);
    return 0;
}

// Fills the failure message for a device whose removal was refused.
static void FormatRemovalFailure(LPSTR message, LPCSTR description)
{
    CHAR shortened[FAILURE_DESC_CHARS + 1];

    lstrcpynA(shortened, description, FAILURE_DESC_CHARS + 1);
    wsprintfA(message, kRemovalFailedFormat, shortened);
}

int RemoveWin2000Adapters(void)
{
    HDEVINFO devices;
    SP_DEVINFO_DATA device;
    CHAR instanceId[INSTANCE_ID_BYTES];
    CHAR description[DEVICE_DESC_BYTES];
    CHAR message[FAILURE_MESSAGE_BYTES];
    DWORD index;
    int count = 0;

    if (UnbindSupportedAdapters() != 0)
        return 0;

    devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_NET, NULL, NULL, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return 0;

    for (index = 0;; index++) {
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(devices, index, &device))
            break;
        if (!SetupDiGetDeviceInstanceIdA(devices, &device, instanceId, sizeof(instanceId), NULL))
            continue;
        if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_DEVICEDESC, NULL, (PBYTE)description,
                                               sizeof(description), NULL))
            continue;
        instanceId[INSTANCE_ID_BYTES - 1] = 0;
        description[DEVICE_DESC_BYTES - 1] = 0;
        if (!IsSupportedDeviceId(instanceId))
            continue;
        if (SetupDiRemoveDevice(devices, &device)) {
            count++;
        } else {
            FormatRemovalFailure(message, description);
            MessageBoxA(NULL, message, kRemovalFailedCaption, MB_OK);
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return count;
}
