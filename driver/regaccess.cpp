// Adapter register access: one register, reached by byte-wide port I/O or by
// a 32-bit access to its mapped address, chosen per call by AddressMethod.
// The EEPROM sequences reach the hardware only through these two routines,
// so the same protocol runs over the I/O window or the memory window.
#include "driver/hwaccess.h"

ULONG ReadReg(ULONG RegisterAddress, ULONG AddressMethod) {
  USHORT Method = (USHORT)AddressMethod;
  if (Method == KDVR_REG_METHOD_PORT) {
    return (ULONG)READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)RegisterAddress);
  }
  if (Method == KDVR_REG_METHOD_MEMORY) {
    return READ_REGISTER_ULONG((PULONG)(ULONG_PTR)RegisterAddress);
  }
  DbgPrint("NICDIAG.SYS: ReadReg().  Invalid AddressMethod %ld.\n", (ULONG)Method);
  // No register was read: the selector itself stands in for the value.
  return AddressMethod;
}

VOID WriteReg(ULONG Value, ULONG RegisterAddress, ULONG AddressMethod) {
  USHORT Method = (USHORT)AddressMethod;
  if (Method == KDVR_REG_METHOD_PORT) {
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)RegisterAddress, (UCHAR)Value);
    return;
  }
  if (Method == KDVR_REG_METHOD_MEMORY) {
    WRITE_REGISTER_ULONG((PULONG)(ULONG_PTR)RegisterAddress, Value);
    return;
  }
  DbgPrint("NICDIAG.SYS: WriteReg().  Invalid AddressMethod %ld.\n", (ULONG)Method);
}

// The hardware locks: every EEPROM sequence and every MDI cycle runs under
// one of them, so that requests from several client threads cannot
// interleave their line changes on the adapter.
FAST_MUTEX KdvrEepromMutex;
FAST_MUTEX KdvrMdiMutex;

VOID KdvrInitializeHardwareLocks(VOID) {
  ExInitializeFastMutex(&KdvrEepromMutex);
  ExInitializeFastMutex(&KdvrMdiMutex);
}

VOID KdvrStall(ULONG Microseconds) {
  while (Microseconds > KDVR_STALL_STEP_US) {
    KeStallExecutionProcessor(KDVR_STALL_STEP_US);
    Microseconds -= KDVR_STALL_STEP_US;
  }
  KeStallExecutionProcessor(Microseconds);
}
