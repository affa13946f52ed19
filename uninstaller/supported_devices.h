// The adapters the kit serves: PCI vendor SUPPORTED_VENDOR with the devices
// of SUPPORTED_DEVICES, one row each: X(device, nt_only), where nt_only is 1
// for a device served on the NT family alone. The one list of them: the
// uninstaller's platform gate (platform_id.cpp) and nicdiag's choice of the
// first supported adapter (tools/nicdiag/adapter.cpp) both expand it.
// Data only: no includes, no types, usable from C and C++.
#pragma once

#define SUPPORTED_VENDOR 0x8086

#define SUPPORTED_DEVICES(X) \
    X(0x1229, 0)             \
    X(0x1000, 1)             \
    X(0x5201, 1)
