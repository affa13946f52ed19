/* The Wine check's helper, built with the i686 MinGW compiler:
     netdevice add INSTANCE_ID DESCRIPTION   registers a network-class device
     netdevice list                          prints every network-class device's instance id */
#include <windows.h>
#include <setupapi.h>
#include <devguid.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    char id[512];
    DWORD i;

    if (argc == 4 && strcmp(argv[1], "add") == 0) {
        set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_NET, NULL);
        memset(&device, 0, sizeof device);
        device.cbSize = sizeof device;
        if (!SetupDiCreateDeviceInfoA(set, argv[2], &GUID_DEVCLASS_NET, argv[3], NULL, 0, &device))
            return 1;
        if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_DEVICEDESC, (BYTE *)argv[3],
                                               (DWORD)strlen(argv[3]) + 1))
            return 2;
        if (!SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL))
            return 3;
        SetupDiDestroyDeviceInfoList(set);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "list") == 0) {
        set = SetupDiGetClassDevsA(&GUID_DEVCLASS_NET, NULL, NULL, 0);
        for (i = 0;; i++) {
            device.cbSize = sizeof device;
            if (!SetupDiEnumDeviceInfo(set, i, &device))
                break;
            if (SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, NULL))
                printf("%s\n", id);
        }
        SetupDiDestroyDeviceInfoList(set);
        return 0;
    }
    return 4;
}
