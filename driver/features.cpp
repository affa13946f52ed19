// The feature operations the control-code routine forwards to. A feature
// file (register access, EEPROM, PHY, slot resources, platform tables)
// plugs its operation in here by name; an entry left NULL makes its codes
// unrecognised.
#include "driver/hwaccess.h"
#include "driver/nicport.h"

const KDVR_FEATURE_OPERATIONS KdvrFeatures = {
    ReadEeprom,
    WriteEeprom,
    GetEEpromSize,
    MdiRead,
    MdiWrite,
    NULL,  // GetResources
    NULL,  // PlatHardwareGetIntRouting
    NULL,  // PlatHardwareGetSystemID
};
