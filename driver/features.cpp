// The feature operations the control-code routine forwards to: each
// feature file (register access, EEPROM, PHY, slot resources, platform
// tables) defines its operation by name and it is listed here. The
// forwarding test links its own table with recording stand-ins instead.
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
    ReadEeprom,   KdvrWriteEepromEntry,      GetEEpromSize,           MdiRead, MdiWrite,
    GetResources, PlatHardwareGetIntRouting, PlatHardwareGetSystemID,
};
