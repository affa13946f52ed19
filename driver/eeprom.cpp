// The adapter's serial EEPROM: a Microwire part of 16-bit words whose four
// lines (clock, chip select, data in, data out) are bits of the EEPROM
// control register. Every line change is a whole-register write through
// WriteReg, built from a control image that starts from a fresh ReadReg, so
// the register's other bits are carried along. All timing is busy waiting.
#include "driver/hwaccess.h"

extern FAST_MUTEX KdvrEepromMutex;

USHORT EEpromAddressSize(ULONG SizeInWords) {
  switch ((USHORT)SizeInWords) {
    case 64: return 6;
    case 128:
      // The 128-word parts of the family take 8 address bits and ignore
      // the top one; with 7 every address would be shifted by one bit.
      return 8;
    case 256: return 8;
    default:
      // No address width: reads and writes then send no address bits
      // (see ReadEeprom).
      return 0;
  }
}

VOID RaiseClock(PULONG Image, ULONG RegisterAddress, USHORT AddressMethod) {
  *Image |= EEPROM_CLOCK;
  WriteReg(*Image, RegisterAddress, AddressMethod);
  KeStallExecutionProcessor(EEPROM_CLOCK_PHASE_US);
}

VOID LowerClock(PULONG Image, ULONG RegisterAddress, USHORT AddressMethod) {
  *Image &= ~(ULONG)EEPROM_CLOCK;
  WriteReg(*Image, RegisterAddress, AddressMethod);
  KeStallExecutionProcessor(EEPROM_CLOCK_PHASE_US);
}

// Chip select up with clock, data in and data out down; the first step of a
// read, a write and a size probe.
static VOID SelectEeprom(ULONG RegisterAddress, USHORT AddressMethod) {
  ULONG Image = ReadReg(RegisterAddress, AddressMethod);
  Image &= ~(ULONG)(EEPROM_CLOCK | EEPROM_DATA_IN | EEPROM_DATA_OUT);
  Image |= EEPROM_CHIP_SELECT;
  WriteReg(Image, RegisterAddress, AddressMethod);
}

VOID ShiftOutBits(USHORT Value, ULONG Count, ULONG RegisterAddress, USHORT AddressMethod) {
  ULONG Image = ReadReg(RegisterAddress, AddressMethod) & ~(ULONG)(EEPROM_DATA_IN | EEPROM_DATA_OUT);
  // Most significant first; bits above the 16 of the value go out as 0.
  for (ULONG Bit = Count; Bit > 0; Bit--) {
    Image &= ~(ULONG)EEPROM_DATA_IN;
    if (Bit <= 16 && ((Value >> (Bit - 1)) & 1) != 0) {
      Image |= EEPROM_DATA_IN;
    }
    WriteReg(Image, RegisterAddress, AddressMethod);
    KeStallExecutionProcessor(EEPROM_BIT_SETUP_US);
    RaiseClock(&Image, RegisterAddress, AddressMethod);
    LowerClock(&Image, RegisterAddress, AddressMethod);
  }
  Image &= ~(ULONG)EEPROM_DATA_IN;
  WriteReg(Image, RegisterAddress, AddressMethod);
}

USHORT ShiftInBits(ULONG RegisterAddress, USHORT AddressMethod) {
  ULONG Image = ReadReg(RegisterAddress, AddressMethod) & ~(ULONG)(EEPROM_DATA_IN | EEPROM_DATA_OUT);
  USHORT Result = 0;
  for (int i = 0; i < 16; i++) {
    Result = (USHORT)(Result << 1);
    RaiseClock(&Image, RegisterAddress, AddressMethod);
    ULONG Value = ReadReg(RegisterAddress, AddressMethod) & ~(ULONG)EEPROM_DATA_IN;
    if ((Value & EEPROM_DATA_OUT) != 0) {
      Result |= 1;
    }
    Image = Value;
    LowerClock(&Image, RegisterAddress, AddressMethod);
  }
  return Result;
}

VOID StandBy(ULONG RegisterAddress, USHORT AddressMethod) {
  ULONG Image = ReadReg(RegisterAddress, AddressMethod) & ~(ULONG)(EEPROM_CLOCK | EEPROM_CHIP_SELECT);
  WriteReg(Image, RegisterAddress, AddressMethod);
  KeStallExecutionProcessor(EEPROM_STANDBY_US);
  WriteReg(Image | EEPROM_CHIP_SELECT, RegisterAddress, AddressMethod);
}

USHORT WaitEepromCommandDone(ULONG RegisterAddress, USHORT AddressMethod) {
  // Reselecting after a programming command makes the part show its
  // status on data out: low while busy, high when ready.
  StandBy(RegisterAddress, AddressMethod);
  KdvrStall(EEPROM_DONE_SETTLE_US);
  for (int Poll = 0; Poll < EEPROM_DONE_POLLS; Poll++) {
    if ((ReadReg(RegisterAddress, AddressMethod) & EEPROM_DATA_OUT) != 0) {
      return 1;
    }
    KeStallExecutionProcessor(EEPROM_DONE_POLL_US);
  }
  return 0;
}

VOID EepromCleanup(ULONG RegisterAddress, USHORT AddressMethod) {
  ULONG Image = ReadReg(RegisterAddress, AddressMethod) & ~(ULONG)(EEPROM_CHIP_SELECT | EEPROM_DATA_IN);
  WriteReg(Image, RegisterAddress, AddressMethod);
  RaiseClock(&Image, RegisterAddress, AddressMethod);
  LowerClock(&Image, RegisterAddress, AddressMethod);
}

// The read of one word, under the EEPROM lock held by the caller.
static USHORT ReadEepromSequence(ULONG RegisterAddress, USHORT Width, USHORT WordAddress, USHORT AddressMethod) {
  SelectEeprom(RegisterAddress, AddressMethod);
  ShiftOutBits(EEPROM_READ_OPCODE, 3, RegisterAddress, AddressMethod);
  ShiftOutBits(WordAddress, Width, RegisterAddress, AddressMethod);
  USHORT Word = ShiftInBits(RegisterAddress, AddressMethod);
  EepromCleanup(RegisterAddress, AddressMethod);
  return Word;
}

// A size with no address width sends the opcode and no address bits, then
// clocks 16 bits in: a bounded sequence of 19 clocks. The part takes the
// first of those clocks as its address phase, so the word returned is the
// floating data-out line (ones), the dummy zero and the top bits of word 0;
// nothing tells the client.
USHORT ReadEeprom(ULONG RegisterAddress, USHORT SizeInWords, USHORT WordAddress, USHORT AddressMethod) {
  USHORT Width = EEpromAddressSize(SizeInWords);
  ExAcquireFastMutex(&KdvrEepromMutex);
  USHORT Word = ReadEepromSequence(RegisterAddress, Width, WordAddress, AddressMethod);
  ExReleaseFastMutex(&KdvrEepromMutex);
  return Word;
}

// The write proper, under the EEPROM lock. A failed wait returns at once:
// the part stays selected and write-enabled, and the next operation starts
// with its own selection.
// Write enable and write disable are commands of the "00" group told apart
// by the top two bits of the address field. A part carries out an
// instruction only once its whole address field has been clocked in, so the
// don't-care bits that follow fill the part's width (4 on a 64-word part);
// without a known width the low four are sent.
static ULONG EnableCommandAddressBits(USHORT Width) { return Width > 2 ? (ULONG)Width - 2 : 4; }

static UCHAR WriteEepromSequence(ULONG RegisterAddress, USHORT Width, USHORT WordAddress, USHORT Data,
                                 USHORT AddressMethod) {
  SelectEeprom(RegisterAddress, AddressMethod);
  ShiftOutBits(EEPROM_WRITE_ENABLE_OPCODE, 5, RegisterAddress, AddressMethod);
  ShiftOutBits(WordAddress, EnableCommandAddressBits(Width), RegisterAddress, AddressMethod);
  StandBy(RegisterAddress, AddressMethod);

  ShiftOutBits(EEPROM_ERASE_OPCODE, 3, RegisterAddress, AddressMethod);
  ShiftOutBits(WordAddress, Width, RegisterAddress, AddressMethod);
  if (!WaitEepromCommandDone(RegisterAddress, AddressMethod)) {
    DbgPrint("NICDIAG.SYS: WriteEeprom Erase Failed\n");
    return 0;
  }
  StandBy(RegisterAddress, AddressMethod);

  ShiftOutBits(EEPROM_WRITE_OPCODE, 3, RegisterAddress, AddressMethod);
  ShiftOutBits(WordAddress, Width, RegisterAddress, AddressMethod);
  ShiftOutBits(Data, 16, RegisterAddress, AddressMethod);
  if (!WaitEepromCommandDone(RegisterAddress, AddressMethod)) {
    DbgPrint("NICDIAG.SYS: WriteEeprom Write Failed\n");
    return 0;
  }
  StandBy(RegisterAddress, AddressMethod);

  ShiftOutBits(EEPROM_WRITE_DISABLE_OPCODE, 5, RegisterAddress, AddressMethod);
  ShiftOutBits(WordAddress, EnableCommandAddressBits(Width), RegisterAddress, AddressMethod);
  EepromCleanup(RegisterAddress, AddressMethod);
  return 1;
}

// A ready part does not prove the word took (a part left write-protected,
// a wrong width or register): the word is read back after the write, and
// a different value is reported as a failed write.
UCHAR WriteEeprom(ULONG RegisterAddress, USHORT SizeInWords, USHORT WordAddress, USHORT Data, USHORT AddressMethod) {
  USHORT Width = EEpromAddressSize(SizeInWords);
  ExAcquireFastMutex(&KdvrEepromMutex);
  DbgPrint("NICDIAG.SYS: WriteEeprom Data = %X  Reg = %x bits = %d\n", (ULONG)Data, (ULONG)WordAddress, (ULONG)Width);
  UCHAR Written = WriteEepromSequence(RegisterAddress, Width, WordAddress, Data, AddressMethod);
  if (Written && ReadEepromSequence(RegisterAddress, Width, WordAddress, AddressMethod) != Data) {
    DbgPrint("NICDIAG.SYS: WriteEeprom Verify Failed\n");
    Written = 0;
  }
  ExReleaseFastMutex(&KdvrEepromMutex);
  return Written;
}

// One address bit of a read command, clocked with data in low and the
// data-out bit of the image set; returns the register read afterwards.
static ULONG ClockProbeBit(ULONG From, ULONG RegisterAddress, USHORT AddressMethod) {
  ULONG Image = (From & ~(ULONG)EEPROM_DATA_IN) | EEPROM_DATA_OUT;
  WriteReg(Image, RegisterAddress, AddressMethod);
  KeStallExecutionProcessor(EEPROM_BIT_SETUP_US);
  RaiseClock(&Image, RegisterAddress, AddressMethod);
  LowerClock(&Image, RegisterAddress, AddressMethod);
  return ReadReg(RegisterAddress, AddressMethod);
}

// The size is found from the dummy zero the part drives on data out once
// it has the last address bit of a read: 2 to the number of address bits
// clocked before data out reads low, or 0 when it is still high after nine.
USHORT GetEEpromSize(ULONG RegisterAddress, USHORT AddressMethod) {
  ExAcquireFastMutex(&KdvrEepromMutex);
  SelectEeprom(RegisterAddress, AddressMethod);
  ShiftOutBits(EEPROM_READ_OPCODE, 3, RegisterAddress, AddressMethod);
  ULONG Count = 2;
  ULONG Value = ClockProbeBit(ReadReg(RegisterAddress, AddressMethod), RegisterAddress, AddressMethod);
  while ((Value & EEPROM_DATA_OUT) != 0) {
    Count *= 2;
    Value = ClockProbeBit(Value, RegisterAddress, AddressMethod);
    if (Count > 256) {
      Count = 0;
      break;
    }
  }
  ShiftInBits(RegisterAddress, AddressMethod);
  EepromCleanup(RegisterAddress, AddressMethod);
  ExReleaseFastMutex(&KdvrEepromMutex);
  return (USHORT)Count;
}
