// Adapter register access, the serial EEPROM behind the EEPROM control
// register, and the PHY behind the MDI control register.
#pragma once
#include "platform/ntkernel.h"

// AddressMethod of ReadReg and WriteReg (only its low 16 bits count).
#define KDVR_REG_METHOD_PORT   0  // byte-wide I/O port
#define KDVR_REG_METHOD_MEMORY 2  // 32-bit access to a mapped register

// EEPROM control register lines.
#define EEPROM_CLOCK       0x01  // EESK
#define EEPROM_CHIP_SELECT 0x02  // EECS, high = selected
#define EEPROM_DATA_IN     0x04  // EEDI, driver to EEPROM
#define EEPROM_DATA_OUT    0x08  // EEDO, EEPROM to driver

// Microwire commands, start bit included.
#define EEPROM_READ_OPCODE          6     // 1 10, 3 bits
#define EEPROM_WRITE_OPCODE         5     // 1 01, 3 bits
#define EEPROM_ERASE_OPCODE         7     // 1 11, 3 bits
#define EEPROM_WRITE_ENABLE_OPCODE  0x13  // 1 00 11, 5 bits
#define EEPROM_WRITE_DISABLE_OPCODE 0x10  // 1 00 00, 5 bits

// Busy waits, in microseconds.
#define EEPROM_BIT_SETUP_US   50   // data bit written, before the clock rises
#define EEPROM_CLOCK_PHASE_US 50   // after each clock edge
#define EEPROM_STANDBY_US     5    // chip select held low
#define EEPROM_DONE_SETTLE_US 100  // after the reselect, before the first poll
#define EEPROM_DONE_POLL_US   5    // between polls of data out
#define EEPROM_DONE_POLLS     10000

// The MDI control register, 16 bytes above the adapter's register base.
#define MDI_CONTROL_OFFSET 16
#define MDI_READ_COMMAND   0x0820  // opcode 10, PHY address 1, before the shift
#define MDI_WRITE_COMMAND  0x0420  // opcode 01, PHY address 1, before the shift
#define MDI_READY          0x10000000
#define MDI_READY_BYTE     0x10  // the ready bit in the register's top byte
#define MDI_POLL_US        20
#define MDI_POLLS          100000

// A busy wait of any length, made of KeStallExecutionProcessor calls of at
// most KDVR_STALL_STEP_US each: the routine is meant for intervals below
// 50 microseconds, longer waits being left to other means.
#define KDVR_STALL_STEP_US 50
VOID KdvrStall(ULONG Microseconds);

// Register access (the EEPROM sequences' only way to the hardware).
ULONG ReadReg(ULONG RegisterAddress, ULONG AddressMethod);
VOID WriteReg(ULONG Value, ULONG RegisterAddress, ULONG AddressMethod);

// The serial EEPROM. The three operations the control-code routine calls
// (and the PHY's two below) have C linkage, so that a test can put its
// stand-ins in their place at link time by their plain names
// (-Wl,--wrap=ReadEeprom).
extern "C" USHORT ReadEeprom(ULONG RegisterAddress, USHORT SizeInWords, USHORT WordAddress, USHORT AddressMethod);
extern "C" UCHAR WriteEeprom(ULONG RegisterAddress, USHORT SizeInWords, USHORT WordAddress, USHORT Data,
                             USHORT AddressMethod);
extern "C" USHORT GetEEpromSize(ULONG RegisterAddress, USHORT AddressMethod);
USHORT EEpromAddressSize(ULONG SizeInWords);
VOID ShiftOutBits(USHORT Value, ULONG Count, ULONG RegisterAddress, USHORT AddressMethod);
USHORT ShiftInBits(ULONG RegisterAddress, USHORT AddressMethod);
VOID RaiseClock(PULONG Image, ULONG RegisterAddress, USHORT AddressMethod);
VOID LowerClock(PULONG Image, ULONG RegisterAddress, USHORT AddressMethod);
VOID StandBy(ULONG RegisterAddress, USHORT AddressMethod);
USHORT WaitEepromCommandDone(ULONG RegisterAddress, USHORT AddressMethod);
VOID EepromCleanup(ULONG RegisterAddress, USHORT AddressMethod);

// The PHY management registers.
extern "C" USHORT MdiRead(ULONG RegisterBase, USHORT Register, USHORT AccessSelector);
extern "C" VOID MdiWrite(ULONG RegisterBase, USHORT Register, ULONG Data, USHORT AccessSelector);

// One lock serialises every EEPROM sequence and one every MDI cycle, so
// that two clients never interleave on the same lines. Called once from
// DriverEntry before the device is created.
VOID KdvrInitializeHardwareLocks(VOID);
