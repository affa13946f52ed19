// The feature operations the control-code routine forwards to. A feature
// file (register access, EEPROM, PHY, slot resources, platform tables)
// plugs its operation in here by name; an entry left NULL makes its codes
// unrecognised.
#include "driver/hwaccess.h"
#include "driver/nicport.h"
#include "driver/platform_tables.h"

// WriteEeprom's result is one byte; the table carries it in a ULONG, of
// which the control-code routine passes on the low byte.
static ULONG KdvrWriteEepromEntry(ULONG RegisterAddress, USHORT SizeInWords, USHORT WordAddress, USHORT Data,
                                  USHORT AddressMethod) {
  return WriteEeprom(RegisterAddress, SizeInWords, WordAddress, Data, AddressMethod);
}

const KDVR_FEATURE_OPERATIONS KdvrFeatures = {
    ReadEeprom,
    KdvrWriteEepromEntry,
    GetEEpromSize,
    MdiRead,
    MdiWrite,
    GetResources,
    PlatHardwareGetIntRouting,
    PlatHardwareGetSystemID,
};
