// Host declarations of the device installer (SetupAPI) subset the
// uninstaller uses, implemented by sim/win32/setupapi.cpp. Included at the
// end of win32_host.h, after netcfg_host.h (GUID).
#pragma once

typedef PVOID HDEVINFO;

// The device information record with the layout of 32-bit Windows, where
// the last member (a pointer-sized field) is 32 bits wide: 28 bytes, the
// value every caller puts in cbSize.
typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  DWORD Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA is 28 bytes on 32-bit Windows");

#define DIGCF_DEFAULT         0x00000001
#define DIGCF_PRESENT         0x00000002
#define DIGCF_ALLCLASSES      0x00000004
#define DIGCF_PROFILE         0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001

#define ERROR_INVALID_DATA         13L
#define ERROR_INVALID_FLAGS        1004L
#define ERROR_INVALID_USER_BUFFER  1784L
#define ERROR_NO_SUCH_DEVINST      ((DWORD)0xE000020BL)
#define ERROR_INVALID_REG_PROPERTY ((DWORD)0xE0000209L)

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSTR DeviceInstanceId,
                                        DWORD DeviceInstanceIdSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
