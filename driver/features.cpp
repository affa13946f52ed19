// The feature operations the control-code routine forwards to. A feature
// file (register access, EEPROM, PHY, slot resources, platform tables)
// plugs its operation in here by name; an entry left NULL makes its codes
// unrecognised.
#include "driver/nicport.h"

const KDVR_FEATURE_OPERATIONS KdvrFeatures = {
    NULL,  // ReadEeprom
    NULL,  // WriteEeprom
    NULL,  // GetEEpromSize
    NULL,  // MdiRead
    NULL,  // MdiWrite
    NULL,  // GetResources
    NULL,  // PlatHardwareGetIntRouting
    NULL,  // PlatHardwareGetSystemID
};
