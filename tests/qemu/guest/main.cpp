// The checks the guest runs on the emulated adapter: the driver's own
// register, EEPROM and PHY objects against an independent reading of the
// same hardware by the guest's own Microwire and MDI code, plus the
// properties of the emulated parts and the firmware's platform tables.
// Results go to COM1 one per line ("check NAME ok|FAIL ...", data lines
// for the host side); the 0xE0000-0xFFFFF area and the SMBIOS structure
// table go to the debug console as raw bytes. The driver's client-buffer
// probes and its exception guard run against the guest's exception
// dispatcher (exceptions.cpp), faulted by a page that is not present, by a
// protection fault and by raised statuses.
#include "driver/hwaccess.h"
#include "driver/nicport.h"
#include "driver/platform_tables.h"
#include "tests/qemu/guest/guest.h"

using namespace guest;

namespace {

uint32_t failures = 0;

void Check(const char *name, bool ok, const char *format = "", ...) {
  Print("check %s %s", name, ok ? "ok" : "FAIL");
  if (*format != 0) {
    Print(" ");
    va_list args;
    va_start(args, format);
    VPrint(format, args);
    va_end(args);
  }
  Print("\n");
  if (!ok) failures++;
}

// --- PCI configuration mechanism #1 -------------------------------------

uint32_t PciRead(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset) {
  Out32(0xCF8, 0x80000000u | bus << 16 | device << 11 | function << 8 | (offset & 0xFC));
  return In32(0xCFC);
}
void PciWrite(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset, uint32_t value) {
  Out32(0xCF8, 0x80000000u | bus << 16 | device << 11 | function << 8 | (offset & 0xFC));
  Out32(0xCFC, value);
}

struct Adapter {
  bool found = false;
  uint32_t bus = 0, device = 0, function = 0;
  uint32_t bar[6] = {};
  uint32_t size[6] = {};
  uint32_t mem = 0;  // the control/status registers, memory window
  uint16_t io = 0;   // the same registers, I/O window
};

Adapter FindAdapter() {
  Adapter a;
  for (uint32_t bus = 0; bus < 256 && !a.found; bus++) {
    for (uint32_t device = 0; device < 32 && !a.found; device++) {
      if (PciRead(bus, device, 0, 0) != 0x12298086u) continue;
      a.found = true;
      a.bus = bus;
      a.device = device;
      // Each BAR's size from the bits it keeps when written with ones,
      // with decoding off meanwhile.
      uint32_t command = PciRead(bus, device, 0, 0x04) & 0xFFFF;
      PciWrite(bus, device, 0, 0x04, command & ~3u);
      for (uint32_t i = 0; i < 6; i++) {
        uint32_t offset = 0x10 + 4 * i;
        a.bar[i] = PciRead(bus, device, 0, offset);
        PciWrite(bus, device, 0, offset, 0xFFFFFFFFu);
        uint32_t mask = PciRead(bus, device, 0, offset) & ((a.bar[i] & 1) != 0 ? ~3u : ~15u);
        PciWrite(bus, device, 0, offset, a.bar[i]);
        a.size[i] = mask == 0 ? 0 : (~mask + 1) & ((a.bar[i] & 1) != 0 ? 0xFFFFu : 0xFFFFFFFFu);
      }
      // Memory and I/O decoding and bus mastering on.
      PciWrite(bus, device, 0, 0x04, (PciRead(bus, device, 0, 0x04) & 0xFFFF) | 0x7);
    }
  }
  if (!a.found) return a;
  for (uint32_t i = 0; i < 6; i++) {
    if (a.bar[i] == 0) continue;
    if ((a.bar[i] & 1) != 0 && a.io == 0) a.io = static_cast<uint16_t>(a.bar[i] & ~3u);
    if ((a.bar[i] & 1) == 0 && a.mem == 0) a.mem = a.bar[i] & ~15u;
  }
  // The memory window reached as the driver reaches it: mapped non-cached.
  if (a.mem != 0) {
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = a.mem;
    a.mem = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(MmMapIoSpace(physical, 4096, MmNonCached)));
  }
  return a;
}

// --- The guest's own Microwire master, on the I/O window --------------------
// Written from the serial EEPROM data sheets, independent of the driver:
// byte accesses to the EEPROM control register, 2 us per clock phase (the
// parts ask for 0.25 to 1 us).

constexpr uint8_t kSk = 0x01, kCs = 0x02, kDi = 0x04, kDo = 0x08;
constexpr uint32_t kPhase = 2;
uint16_t ee_port = 0;

void EeSet(uint8_t lines) {
  Out8(ee_port, lines);
  StallUs(kPhase);
}
bool EeDo() { return (In8(ee_port) & kDo) != 0; }
void EeBit(bool bit) {
  uint8_t d = bit ? kDi : 0;
  EeSet(kCs | d);
  EeSet(kCs | kSk | d);
  EeSet(kCs | d);
}
bool EeInBit() {
  EeSet(kCs | kSk);
  bool bit = EeDo();
  EeSet(kCs);
  return bit;
}
void EeBits(uint32_t value, unsigned count) {
  while (count-- > 0) EeBit(((value >> count) & 1) != 0);
}
void EeDeselect() {
  EeSet(0);
  EeSet(kSk);
  EeSet(0);
}

unsigned ee_bits = 0;  // address width, found by TruthAddressBits

// Start bit and READ opcode, then address zeros one at a time until the
// part answers with its dummy zero.
unsigned TruthAddressBits() {
  EeSet(kCs);
  EeBits(0x6, 3);
  unsigned bits = 0;
  while (bits < 16) {
    EeBit(false);
    bits++;
    if (!EeDo()) break;
  }
  for (int i = 0; i < 16; i++) EeInBit();
  EeDeselect();
  return bits;
}

uint16_t TruthRead(unsigned address) {
  EeSet(kCs);
  EeBits(0x6, 3);
  EeBits(address, ee_bits);
  uint16_t word = 0;
  for (int i = 0; i < 16; i++) word = static_cast<uint16_t>(word << 1 | (EeInBit() ? 1 : 0));
  EeDeselect();
  return word;
}

// Status after a programming instruction: reselect and wait for DO high.
// Returns the polls it took (0: ready at once), or -1 when it never came.
int TruthWaitReady() {
  EeSet(kCs);
  for (int poll = 0; poll < 20000; poll++) {
    if (EeDo()) {
      EeDeselect();
      return poll;
    }
    StallUs(5);
  }
  EeDeselect();
  return -1;
}

void TruthCommand(uint32_t opcode3, unsigned address) {
  EeSet(kCs);
  EeBits(opcode3, 3);
  EeBits(address, ee_bits);
  EeDeselect();
}
void TruthEnable(bool on) { TruthCommand(0x4, on ? 3u << (ee_bits - 2) : 0); }
int TruthErase(unsigned address) {
  TruthCommand(0x7, address);
  return TruthWaitReady();
}
int TruthWriteOnly(unsigned address, uint16_t data) {
  EeSet(kCs);
  EeBits(0x5, 3);
  EeBits(address, ee_bits);
  EeBits(data, 16);
  EeDeselect();
  return TruthWaitReady();
}
void TruthWrite(unsigned address, uint16_t data) {
  TruthEnable(true);
  TruthErase(address);
  TruthWriteOnly(address, data);
  TruthEnable(false);
}

// --- The guest's own MDI master -------------------------------------------

struct MdiResult {
  uint16_t data;
  uint32_t polls;  // reads before ready showed (0: ready at the first)
};

MdiResult TruthMdi(const Adapter &a, bool port, unsigned phy, unsigned reg, bool write, uint16_t data) {
  uint32_t command = (write ? 1u : 2u) << 26 | phy << 21 | reg << 16 | (write ? data : 0);
  if (port)
    Out32(a.io + 0x10, command);
  else
    Store32(a.mem + 0x10, command);
  MdiResult r = {0, 0};
  for (;;) {
    uint32_t v = port ? In32(a.io + 0x10) : Load32(a.mem + 0x10);
    if ((v & 0x10000000u) != 0 || r.polls >= 100000) {
      r.data = static_cast<uint16_t>(v);
      return r;
    }
    r.polls++;
    StallUs(10);
  }
}

// --- Timing ------------------------------------------------------------------

struct Span {
  uint64_t ticks;
  uint64_t stall;
};
Span Begin() {
  HoldSerial(true);
  return Span{NowTicks(), RequestedStallUs()};
}
void End(const char *what, const Span &s) {
  uint32_t wall = TicksToUs(NowTicks() - s.ticks);
  uint32_t asked = static_cast<uint32_t>(RequestedStallUs() - s.stall);
  HoldSerial(false);
  Print("timing %s wall_us=%u stall_us=%u\n", what, wall, asked);
}

// --- Platform tables -----------------------------------------------------------

bool Match(uint32_t address, const char *anchor) {
  for (uint32_t i = 0; anchor[i] != 0; i++)
    if (Load8(address + i) != static_cast<uint8_t>(anchor[i])) return false;
  return true;
}
uint8_t Sum(uint32_t address, uint32_t length) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < length; i++) sum = static_cast<uint8_t>(sum + Load8(address + i));
  return sum;
}
uint16_t Load16(uint32_t address) { return static_cast<uint16_t>(Load8(address) | Load8(address + 1) << 8); }
uint32_t Load32u(uint32_t address) { return Load16(address) | static_cast<uint32_t>(Load16(address + 2)) << 16; }

void HexLines(const char *tag, uint32_t address, uint32_t length) {
  for (uint32_t at = 0; at < length; at += 32) {
    Print("hex %s %08X", tag, address + at);
    for (uint32_t i = at; i < length && i < at + 32; i++) Print(" %02X", Load8(address + i));
    Print("\n");
  }
}

void PlatformTables() {
  uint32_t table = 0, table_length = 0;
  for (uint32_t at = 0xF0000; at < 0x100000; at += 16) {
    if (Match(at, "_SM_") && at + 0x1F < 0x100000) {
      uint32_t length = Load8(at + 5);
      bool ok = length >= 0x1F && Sum(at, length) == 0 && Match(at + 16, "_DMI_") && Sum(at + 16, 15) == 0;
      Print("table smbios2 at=%08X version=%u.%u length=%u valid=%u\n", at, Load8(at + 6), Load8(at + 7), length,
            ok ? 1 : 0);
      if (ok) {
        table = Load32u(at + 0x18);
        table_length = Load16(at + 0x16);
        Print("table dmi at=%08X length=%u count=%u\n", table, table_length, Load16(at + 0x1C));
        HexLines("smbios2-entry", at, length);
      }
    } else if (Match(at, "_SM3_")) {
      uint32_t length = Load8(at + 6);
      bool ok = length >= 0x18 && length <= 0x40 && Sum(at, length) == 0;
      Print("table smbios3 at=%08X version=%u.%u length=%u valid=%u\n", at, Load8(at + 7), Load8(at + 8), length,
            ok ? 1 : 0);
      if (ok && table == 0) {
        table = Load32u(at + 0x10);  // the upper half is 0 below 4 GiB
        table_length = Load32u(at + 0x0C);
        Print("table dmi at=%08X length=%u count=0\n", table, table_length);
        HexLines("smbios3-entry", at, length);
      }
    } else if (Match(at, "_DMI_") && !Match(at - 16, "_SM_")) {
      Print("table legacy-dmi at=%08X\n", at);
    } else if (Match(at, "$PIR")) {
      uint32_t size = Load16(at + 6);
      bool ok = size >= 32 && at + size <= 0x100000 && (size - 32) % 16 == 0 && Sum(at, size) == 0;
      Print("table pir at=%08X version=%u.%u size=%u valid=%u\n", at, Load8(at + 5), Load8(at + 4), size, ok ? 1 : 0);
      if (ok) HexLines("pir", at, size);
    }
  }
  if (table != 0 && table_length != 0 && table_length <= 0x10000) HexLines("dmi", table, table_length);

  // The driver's own search, byte for byte against what the guest found.
  static UCHAR copy[0x10000];
  ULONG length = sizeof copy;
  NTSTATUS status = PlatHardwareGetSystemID(nullptr, copy, &length);
  bool legacy = false;
  for (uint32_t at = 0xF0000; at < 0x100000 && !legacy; at += 16) legacy = Match(at, "_DMI_");
  if (legacy) {
    bool same = status == STATUS_SUCCESS && length == table_length;
    for (uint32_t i = 0; same && i < length; i++) same = copy[i] == Load8(table + i);
    Check("tables.driver-dmi", same, "status=%08X length=%u firmware=%u", static_cast<uint32_t>(status), length,
          table_length);
  } else {
    // No "_DMI_" anchor (an SMBIOS 3.0 entry point only): nothing to find.
    Check("tables.driver-dmi-absent", status == STATUS_INVALID_DEVICE_REQUEST && length == 0, "status=%08X length=%u",
          static_cast<uint32_t>(status), length);
  }
  length = sizeof copy;
  status = PlatHardwareGetIntRouting(nullptr, copy, &length);
  uint32_t pir = 0;
  for (uint32_t at = 0xE0000; at < 0x100000 && pir == 0; at += 16)
    if (Match(at, "$PIR")) pir = at;
  bool same = status == STATUS_SUCCESS && pir != 0 && length == Load16(pir + 6);
  for (uint32_t i = 0; same && i < length; i++) same = copy[i] == Load8(pir + i);
  Check("tables.driver-pir", same, "status=%08X length=%u at=%08X", static_cast<uint32_t>(status), length, pir);
  // Raw bytes for dmidecode and biosdecode on the host: the BIOS area, then
  // the structure table wherever the firmware put it.
  Print("dump %08X %u\n", 0xE0000u, 0x20000u);
  DumpBytes(0xE0000, 0x20000);
  if (table != 0 && table_length != 0 && table_length <= 0x10000 && (table < 0xE0000 || table >= 0x100000)) {
    Print("dump %08X %u\n", table, table_length);
    DumpBytes(table, table_length);
  }
}

// --- The checks -------------------------------------------------------------------

constexpr unsigned kTestWord = 0x20;

void EepromChecks(const Adapter &a) {
  ee_port = static_cast<uint16_t>(a.io + 0x0E);
  const uint32_t port_reg = a.io + 0x0E, mem_reg = a.mem + 0x0E;

  // Properties of the emulated part, seen by the guest's own master first,
  // while nothing has touched the part yet.
  Out8(ee_port, 0);
  Print("quirk do_while_deselected=%u\n", EeDo() ? 1 : 0);
  ee_bits = TruthAddressBits();
  uint16_t before = TruthRead(kTestWord);
  int erase_polls = TruthErase(kTestWord);  // no EWEN: a write-disabled part ignores it
  uint16_t after = TruthRead(kTestWord);
  Print("quirk starts_write_disabled=%u\n", after == before ? 1 : 0);
  if (after != before) TruthWrite(kTestWord, before);
  (void)erase_polls;

  unsigned words = 1u << ee_bits;
  static uint16_t truth[256];
  uint16_t sum = 0;
  for (unsigned i = 0; i < words && i < 256; i++) {
    truth[i] = TruthRead(i);
    sum = static_cast<uint16_t>(sum + truth[i]);
  }
  Print("truth eeprom bits=%u words=%u sum=%04X\n", ee_bits, words, sum);

  // The driver, port path.
  Span s = Begin();
  USHORT size = GetEEpromSize(port_reg, KDVR_REG_METHOD_PORT);
  End("size", s);
  Check("eeprom.size", size == words, "driver=%u truth=%u", size, words);

  static USHORT read[256];
  bool all_equal = true;
  unsigned first_bad = 0;
  for (unsigned i = 0; i < words; i++) {
    if (i < 4) s = Begin();
    read[i] = ReadEeprom(port_reg, size, static_cast<USHORT>(i), KDVR_REG_METHOD_PORT);
    if (i < 4) End("read", s);
    if (read[i] != truth[i] && all_equal) {
      all_equal = false;
      first_bad = i;
    }
  }
  for (int i = 0; i < 3; i++) {
    s = Begin();
    GetEEpromSize(port_reg, KDVR_REG_METHOD_PORT);
    End("size", s);
    s = Begin();
    ReadEeprom(port_reg, size, 0, KDVR_REG_METHOD_PORT);
    End("read", s);
  }
  Print("eeprom words");
  for (unsigned i = 0; i < words; i++) Print(" %04X", read[i]);
  Print("\n");
  if (all_equal)
    Check("eeprom.words", true, "%u words", words);
  else
    Check("eeprom.words", false, "first difference at word %u", first_bad);

  // A word written, read back and restored.
  uint16_t original = truth[kTestWord];
  uint16_t pattern = static_cast<uint16_t>(original ^ 0xA55A);
  s = Begin();
  UCHAR written = WriteEeprom(port_reg, size, kTestWord, pattern, KDVR_REG_METHOD_PORT);
  End("write", s);
  USHORT back = ReadEeprom(port_reg, size, kTestWord, KDVR_REG_METHOD_PORT);
  uint16_t back_truth = TruthRead(kTestWord);
  Check("eeprom.write", written == 1 && back == pattern && back_truth == pattern,
        "result=%u wrote=%04X driver_read=%04X truth_read=%04X", written, pattern, back, back_truth);
  s = Begin();
  UCHAR restored = WriteEeprom(port_reg, size, kTestWord, original, KDVR_REG_METHOD_PORT);
  End("write", s);
  uint16_t restored_truth = TruthRead(kTestWord);
  Check("eeprom.restore", restored == 1 && restored_truth == original, "result=%u word=%04X original=%04X", restored,
        restored_truth, original);
  bool image_kept = true;
  for (unsigned i = 0; i < words; i++) image_kept = image_kept && TruthRead(i) == truth[i];
  Check("eeprom.image-kept", image_kept);

  // The memory path: the driver's 32-bit accesses at BAR0 + 0x0E.
  uint32_t raw = Load32(mem_reg);
  Print("quirk mem32_at_0e=%08X port8_at_0e=%02X\n", raw, In8(ee_port));
  USHORT mem_size = GetEEpromSize(mem_reg, KDVR_REG_METHOD_MEMORY);
  USHORT mem_word0 = ReadEeprom(mem_reg, 64, 0, KDVR_REG_METHOD_MEMORY);
  Print("eeprom memory-path size=%u word0=%04X truth_word0=%04X\n", mem_size, mem_word0, truth[0]);

  // Properties of the emulated part's programming.
  TruthEnable(true);
  int polls_erase = TruthErase(kTestWord);
  int polls_write = TruthWriteOnly(kTestWord, 0x1234);
  uint16_t first = TruthRead(kTestWord);
  int polls_nowrite = TruthWriteOnly(kTestWord, 0x00FF);  // no erase before it
  uint16_t anded = TruthRead(kTestWord);
  TruthEnable(false);
  TruthWrite(kTestWord, original);
  Print("quirk busy_polls_erase=%d busy_polls_write=%d busy_polls_write_no_erase=%d\n", polls_erase, polls_write,
        polls_nowrite);
  Print("quirk write_without_erase_first=%04X write_without_erase_then=%04X\n", first, anded);
  Check("eeprom.restored-after-quirks", TruthRead(kTestWord) == original);
}

void PhyChecks(const Adapter &a) {
  // The driver, port path (selector non-zero) and memory path (0), against
  // the guest's own MDI cycles.
  static const char *const paths[2] = {"port", "memory"};
  for (int path = 0; path < 2; path++) {
    bool port = path == 0;
    uint32_t base = port ? a.io : a.mem;
    USHORT selector = port ? 1 : 0;
    Print("phy %s", paths[path]);
    bool equal = true;
    for (unsigned reg = 0; reg <= 6; reg++) {
      USHORT v = MdiRead(base, static_cast<USHORT>(reg), selector);
      MdiResult t = TruthMdi(a, port, 1, reg, false, 0);
      Print(" %04X", v);
      equal = equal && v == t.data;
    }
    Print("\n");
    Check(port ? "phy.port" : "phy.memory", equal);

    // A write read back and restored: the advertisement register.
    USHORT original = MdiRead(base, 4, selector);
    USHORT pattern = static_cast<USHORT>(original ^ 0x0060);
    MdiWrite(base, 4, pattern, selector);
    USHORT back = MdiRead(base, 4, selector);
    MdiResult t = TruthMdi(a, port, 1, 4, false, 0);
    MdiWrite(base, 4, original, selector);
    USHORT restored = MdiRead(base, 4, selector);
    Check(port ? "phy.write.port" : "phy.write.memory", back == pattern && t.data == pattern && restored == original,
          "wrote=%04X driver_read=%04X truth_read=%04X restored=%04X", pattern, back, t.data, restored);
  }

  // Properties of the emulated MDI: polls before ready, other addresses.
  uint32_t max_polls = 0;
  for (unsigned reg = 0; reg <= 6; reg++) {
    MdiResult t = TruthMdi(a, true, 1, reg, false, 0);
    if (t.polls > max_polls) max_polls = t.polls;
  }
  Print("quirk mdi_max_polls=%u\n", max_polls);
  Print("quirk other_phys=");
  for (unsigned phy = 0; phy < 32; phy++) {
    if (phy == 1) continue;
    MdiResult id = TruthMdi(a, true, phy, 2, false, 0);
    MdiResult bmsr = TruthMdi(a, true, phy, 1, false, 0);
    Print("%s%u:%04X/%04X", phy == 0 ? "" : ",", phy, bmsr.data, id.data);
  }
  Print("\n");
}

// --- The driver's guard and probes, faulted ------------------------------------

struct GuardCase;
using GuardRun = NTSTATUS (*)(const GuardCase &);
struct GuardCase {
  const char *name;
  GuardRun run;
  NTSTATUS expected;
  int dispatched;  // through the exception dispatcher: 1 it must, 0 it must not, -1 either
  NTSTATUS status;
  uint32_t abandoned;  // the code of a case the dispatcher must give up on
};

uint8_t kernel_buffer[64];
uint8_t client_buffer[64];
bool SameText(const char *a, const char *b) {
  while (*a != 0 && *a == *b) a++, b++;
  return *a == *b;
}
uint32_t Hole() { return NotPresentPage(); }

// A handler of the guest's own, registered inside a guarded routine: it
// faults again the first time it is called, then counts what it sees.
uint32_t inner_first = 0, inner_nested = 0, inner_unwound = 0;
int __cdecl InnerHandler(EXCEPTION_RECORD *record, void *, CONTEXT *, void *) {
  if ((record->ExceptionFlags & (kExceptionUnwinding | kExceptionExitUnwind)) != 0) {
    inner_unwound++;
  } else if ((record->ExceptionFlags & kExceptionNestedCall) != 0) {
    inner_nested++;
  } else {
    inner_first++;
    Load8(Hole());
  }
  return 1;  // ExceptionContinueSearch
}

VOID NestedRoutine(PVOID) {
  struct {
    uint32_t next;
    void *handler;
  } record = {ExceptionListHead(), reinterpret_cast<void *>(&InnerHandler)};
  SetExceptionListHead(reinterpret_cast<uint32_t>(&record));
  Load8(Hole());
  SetExceptionListHead(record.next);
}
// A record the dispatcher must refuse (outside the stack, or misaligned)
// ends the search before the guard below it: nothing handles the fault.
uint32_t outside_record[2];
VOID BadRecordRoutine(PVOID misaligned) {
  struct {
    uint32_t words[3];
  } on_stack;
  uint32_t at =
      misaligned != nullptr ? reinterpret_cast<uint32_t>(&on_stack) + 2 : reinterpret_cast<uint32_t>(outside_record);
  reinterpret_cast<uint32_t *>(at)[0] = ExceptionListHead();
  reinterpret_cast<uint32_t *>(at)[1] = reinterpret_cast<uint32_t>(&InnerHandler);
  SetExceptionListHead(at);
  Load8(Hole());
  SetExceptionListHead(reinterpret_cast<uint32_t *>(at)[0]);
}
VOID RaiseRoutine(PVOID) { ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES); }
VOID ProbeSystemRoutine(PVOID) { ProbeForWrite(reinterpret_cast<PVOID>(0x80000000u), 16, 1); }
VOID ProtectionRoutine(PVOID) { asm volatile("movw $0x28, %%ax\n movw %%ax, %%gs" : : : "eax"); }

const GuardCase kGuardCases[] = {
    {"guard.not-present-read", [](const GuardCase &) { return KdvrCopyFromClient(kernel_buffer, Hole() + 16, 16); },
     STATUS_ACCESS_VIOLATION, 1, 0, 0},
    {"guard.not-present-write", [](const GuardCase &) { return KdvrCopyToClient(Hole() + 16, kernel_buffer, 16); },
     STATUS_ACCESS_VIOLATION, 1, 0, 0},
    {"guard.not-present-probe", [](const GuardCase &) { return KdvrProbeClientBuffer(Hole() - 8, 16, FALSE); },
     STATUS_ACCESS_VIOLATION, 1, 0, 0},
    {"guard.system-address", [](const GuardCase &) { return KdvrCopyToClient(0x80000000u, kernel_buffer, 16); },
     STATUS_ACCESS_VIOLATION, -1, 0, 0},
    {"guard.raised-noncontinuable", [](const GuardCase &) { return PlatformGuardedCall(ProbeSystemRoutine, nullptr); },
     STATUS_ACCESS_VIOLATION, 1, 0, 0},
    {"guard.raised-status", [](const GuardCase &) { return PlatformGuardedCall(RaiseRoutine, nullptr); },
     STATUS_INSUFFICIENT_RESOURCES, 1, 0, 0},
    {"guard.protection-fault", [](const GuardCase &) { return PlatformGuardedCall(ProtectionRoutine, nullptr); },
     STATUS_ACCESS_VIOLATION, 1, 0, 0},
    {"guard.nested", [](const GuardCase &) { return PlatformGuardedCall(NestedRoutine, nullptr); },
     STATUS_ACCESS_VIOLATION, 1, 0, 0},
    {"dispatcher.record-outside-stack",
     [](const GuardCase &) { return PlatformGuardedCall(BadRecordRoutine, nullptr); }, 0x12345678, 1, 0, 0xC0000005u},
    {"dispatcher.record-misaligned",
     [](const GuardCase &) { return PlatformGuardedCall(BadRecordRoutine, kernel_buffer); }, 0x12345678, 1, 0,
     0xC0000005u},
    {"guard.client-buffer",
     [](const GuardCase &) {
       for (uint32_t i = 0; i < sizeof kernel_buffer; i++) kernel_buffer[i] = static_cast<uint8_t>(i * 7 + 1);
       NTSTATUS out = KdvrCopyToClient(reinterpret_cast<ULONG>(client_buffer), kernel_buffer, sizeof client_buffer);
       for (uint32_t i = 0; i < sizeof kernel_buffer; i++) kernel_buffer[i] = 0;
       NTSTATUS in = KdvrCopyFromClient(kernel_buffer, reinterpret_cast<ULONG>(client_buffer), sizeof kernel_buffer);
       bool same = true;
       for (uint32_t i = 0; i < sizeof kernel_buffer; i++)
         same = same && kernel_buffer[i] == static_cast<uint8_t>(i * 7 + 1);
       return out != STATUS_SUCCESS ? out : in != STATUS_SUCCESS ? in : same ? STATUS_SUCCESS : STATUS_DATA_ERROR;
     },
     STATUS_SUCCESS, 0, 0, 0},
};

VOID RunGuardCase(PVOID context) {
  GuardCase *c = static_cast<GuardCase *>(context);
  c->status = c->run(*c);
}

// Each case: the request fails with the protocol's status (or succeeds, for
// a good buffer), the exception list is as it was, and the guest goes on.
void GuardChecks() {
  for (const GuardCase &entry : kGuardCases) {
    GuardCase c = entry;
    c.status = 0x12345678;
    uint32_t head = ExceptionListHead(), dispatched = Dispatches();
    uint32_t abandoned = GuestRunCase(RunGuardCase, &c);
    uint32_t head_after = ExceptionListHead();
    if (head_after != head) SetExceptionListHead(head);
    dispatched = Dispatches() - dispatched;
    // An abandoned case leaves the list as the routine made it (the guest
    // puts it back); otherwise the guard must have.
    bool ok = abandoned == c.abandoned && c.status == c.expected && (head_after == head || c.abandoned != 0) &&
              (c.dispatched < 0 || (dispatched != 0) == (c.dispatched != 0));
    if (inner_first + inner_nested + inner_unwound != 0) {
      // The nested case: its handler must have been called first, then for
      // the nested exception, then by the guard's unwind.
      Print("guard nested first=%u nested=%u unwound=%u\n", inner_first, inner_nested, inner_unwound);
      ok = ok && SameText(c.name, "guard.nested") && inner_first == 1 && inner_nested == 1 && inner_unwound == 1;
      inner_first = inner_nested = inner_unwound = 0;
    }
    Check(c.name, ok, "status=%08X expected=%08X fs0=%08X was=%08X dispatches=%u abandoned=%08X",
          static_cast<uint32_t>(c.status), static_cast<uint32_t>(c.expected), head_after, head, dispatched, abandoned);
  }
}

}  // namespace

extern "C" void GuestMain(uint32_t magic, const uint32_t *info) {
  SerialInit();
  MachineInit();
  ClockInit();
  Print("\nguest start magic=%08X\n", magic);
  if (magic == 0x2BADB002u && (info[0] & 4) != 0) Print("cmdline %s\n", reinterpret_cast<const char *>(info[4]));

  Adapter a = FindAdapter();
  if (!a.found) {
    Print("check pci.find FAIL no 8086:1229 on any bus\n");
    Exit(1);
  }
  Print("pci slot=%02x:%02x.%u bar0=%08X bar1=%08X bar2=%08X size0=%X size1=%X size2=%X mem=%08X io=%04X\n", a.bus,
        a.device, a.function, a.bar[0], a.bar[1], a.bar[2], a.size[0], a.size[1], a.size[2], a.mem, a.io);
  Check("pci.bars", a.mem != 0 && a.io != 0, "mem=%08X io=%04X", a.mem, a.io);
  GuardChecks();

  // One PIT-timed stall against the PIT itself is circular; the host side
  // compares the guest's whole run with its own clock.
  KdvrInitializeHardwareLocks();
  if (a.mem != 0 && a.io != 0) {
    EepromChecks(a);
    PhyChecks(a);
  }
  PlatformTables();
  Check("services", ServiceFaults() == 0, "faults=%u", ServiceFaults());
  Print("total_wall_us=%u stall_us=%u\n", TicksToUs(NowTicks()), static_cast<uint32_t>(RequestedStallUs()));
  Print("guest done failures=%u\n", failures);
  Exit(failures == 0 ? 0 : 1);
}
