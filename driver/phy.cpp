// The PHY's management registers, reached through the adapter's MDI control
// register 16 bytes above the register base: one command word starts a
// management cycle, the adapter sets the ready bit when it is done. The
// access selector here has the reverse sense of AddressMethod: 0 is memory,
// anything else is port I/O.
#include "driver/hwaccess.h"

extern FAST_MUTEX KdvrMdiMutex;

// One cycle: write the command, then poll the ready bit at most MDI_POLLS
// times, 20 microseconds apart. No time-out is reported: the register as
// last read is returned either way.
static ULONG MdiCycle(ULONG RegisterBase, ULONG Command, USHORT AccessSelector) {
  ULONG Register = RegisterBase + MDI_CONTROL_OFFSET;
  ULONG Value = 0;
  ExAcquireFastMutex(&KdvrMdiMutex);
  if (AccessSelector != 0) {
    WRITE_PORT_ULONG((PULONG)(ULONG_PTR)Register, Command);
    KeStallExecutionProcessor(MDI_POLL_US);
    for (ULONG Poll = 0; Poll < MDI_POLLS; Poll++) {
      Value = READ_PORT_ULONG((PULONG)(ULONG_PTR)Register);
      if ((Value & MDI_READY) != 0) {
        break;
      }
      KeStallExecutionProcessor(MDI_POLL_US);
    }
  } else {
    WRITE_REGISTER_ULONG((PULONG)(ULONG_PTR)Register, Command);
    for (ULONG Poll = 0; Poll < MDI_POLLS; Poll++) {
      KeStallExecutionProcessor(MDI_POLL_US);
      // The ready bit is bit 4 of the register's most significant byte.
      if ((READ_REGISTER_UCHAR((PUCHAR)(ULONG_PTR)(Register + 3)) & MDI_READY_BYTE) != 0) {
        break;
      }
    }
    Value = READ_REGISTER_ULONG((PULONG)(ULONG_PTR)Register);
  }
  ExReleaseFastMutex(&KdvrMdiMutex);
  return Value;
}

USHORT MdiRead(ULONG RegisterBase, USHORT Register, USHORT AccessSelector) {
  // Register bits 5 and up are not masked: they reach the PHY-address field.
  ULONG Command = (ULONG)(USHORT)(Register | MDI_READ_COMMAND) << 16;
  return (USHORT)(MdiCycle(RegisterBase, Command, AccessSelector) & 0xFFFF);
}

VOID MdiWrite(ULONG RegisterBase, USHORT Register, ULONG Data, USHORT AccessSelector) {
  ULONG Command = ((ULONG)(USHORT)(Register | MDI_WRITE_COMMAND) << 16) | Data;
  MdiCycle(RegisterBase, Command, AccessSelector);
}
