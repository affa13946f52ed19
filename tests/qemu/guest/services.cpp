// The kernel and HAL services that the driver's register, EEPROM and PHY
// objects import, implemented for the bare-metal guest: real port and
// memory-mapped accesses, a stall timed by the PIT, fast mutexes that catch
// a double acquire, and DbgPrint on COM1. The objects call each service
// through its import slot (__imp_ name), exactly as in the kernel image, so
// each slot is defined here pointing at the guest's function.
#include "tests/qemu/guest/guest.h"

// A multiboot loader (qemu -kernel) finds the header in the image's first
// 8 KiB (the linker script puts .mboot first) and enters _guest_start in
// 32-bit protected mode, paging and interrupts off, with the multiboot magic
// in EAX and the information block's address in EBX. The stack's limits
// are those the exception dispatcher checks records against.
asm(R"(
        .section .mboot, "dr"
        .p2align 2
        .long 0x1BADB002
        .long 0x00000000
        .long -0x1BADB002

        .text
        .globl _guest_start
_guest_start:
        movl $_guest_stack_base, %esp
        pushl %ebx
        pushl %eax
        call _GuestMain
1:      cli
        hlt
        jmp 1b

        .bss
        .p2align 4
        .globl _guest_stack_limit
        .globl _guest_stack_base
_guest_stack_limit:
        .space 65536
_guest_stack_base:
        .text
)");

namespace guest {
namespace {

constexpr uint16_t kCom1 = 0x3F8;
constexpr uint16_t kDebugConsole = 0x500;  // the firmware logs to 0x402
constexpr uint16_t kDebugExit = 0xF4;

uint16_t last_count = 0;
uint64_t ticks = 0;
uint64_t requested_stall_us = 0;
uint32_t service_faults = 0;

// While held, output collects here: the emulated UART's transmit time
// would otherwise count in the operations being timed.
char held[4096];
uint32_t held_count = 0;
bool holding = false;

void UartPut(char c) {
  while ((In8(kCom1 + 5) & 0x20) == 0) {
  }
  Out8(kCom1, static_cast<uint8_t>(c));
}

void SerialPut(char c) {
  if (!holding) {
    UartPut(c);
  } else if (held_count < sizeof held) {
    held[held_count++] = c;
  }
}

uint16_t ReadCount() {
  Out8(0x43, 0x00);  // latch channel 0
  uint8_t lo = In8(0x40);
  uint8_t hi = In8(0x40);
  return static_cast<uint16_t>(lo | hi << 8);
}

void PutNumber(uint32_t value, unsigned base, bool upper, int width, char pad, bool negative) {
  char digits[16];
  int n = 0;
  const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[n++] = set[value % base];
    value /= base;
  } while (value != 0 && n < 16);
  if (negative) {
    if (pad == '0') SerialPut('-');
    width--;
  }
  for (int i = n; i < width; i++) SerialPut(pad);
  if (negative && pad != '0') SerialPut('-');
  while (n > 0) SerialPut(digits[--n]);
}

}  // namespace

void SerialInit() {
  Out8(kCom1 + 1, 0x00);  // no interrupts
  Out8(kCom1 + 3, 0x80);  // divisor latch
  Out8(kCom1 + 0, 0x01);  // 115200 baud
  Out8(kCom1 + 1, 0x00);
  Out8(kCom1 + 3, 0x03);  // 8N1
  Out8(kCom1 + 2, 0xC7);  // FIFO on
}

void VPrint(const char *format, va_list args) {
  for (const char *p = format; *p != 0; p++) {
    if (*p != '%') {
      if (*p == '\n') SerialPut('\r');
      SerialPut(*p);
      continue;
    }
    p++;
    char pad = ' ';
    int width = 0;
    if (*p == '0') {
      pad = '0';
      p++;
    }
    while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    while (*p == 'l' || *p == 'h') p++;
    switch (*p) {
      case 'd':
      case 'i': {
        int32_t v = va_arg(args, int32_t);
        PutNumber(v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v), 10, false, width, pad, v < 0);
        break;
      }
      case 'u': PutNumber(va_arg(args, uint32_t), 10, false, width, pad, false); break;
      case 'x': PutNumber(va_arg(args, uint32_t), 16, false, width, pad, false); break;
      case 'X': PutNumber(va_arg(args, uint32_t), 16, true, width, pad, false); break;
      case 'p': PutNumber(va_arg(args, uint32_t), 16, false, 8, '0', false); break;
      case 'c': SerialPut(static_cast<char>(va_arg(args, int))); break;
      case 's': {
        const char *s = va_arg(args, const char *);
        for (; s != nullptr && *s != 0; s++) SerialPut(*s);
        break;
      }
      case '%': SerialPut('%'); break;
      case 0: return;
      default:
        SerialPut('%');
        SerialPut(*p);
        break;
    }
  }
}

void Print(const char *format, ...) {
  va_list args;
  va_start(args, format);
  VPrint(format, args);
  va_end(args);
}

void HoldSerial(bool hold) {
  holding = hold;
  if (hold) return;
  for (uint32_t i = 0; i < held_count; i++) UartPut(held[i]);
  if (held_count == sizeof held) {
    const char *lost = "\r\n(serial output held while timing was cut short)\r\n";
    for (; *lost != 0; lost++) UartPut(*lost);
  }
  held_count = 0;
}

void ClockInit() {
  // Channel 0, lobyte/hibyte, mode 2 (rate generator), reload 65536.
  Out8(0x43, 0x34);
  Out8(0x40, 0);
  Out8(0x40, 0);
  last_count = ReadCount();
}

uint64_t NowTicks() {
  uint16_t count = ReadCount();
  // The count runs down and reloads at 65536: the distance travelled since
  // the last look, modulo the reload.
  ticks += static_cast<uint16_t>(last_count - count);
  last_count = count;
  return ticks;
}

// 1 tick = 0.838095 us = 3433 / 4096 us (0.005 % low).
uint32_t TicksToUs(uint64_t t) { return static_cast<uint32_t>((t * 3433) >> 12); }

void StallUs(uint32_t us) {
  // 1 us = 1.193182 ticks = 4888 / 4096 ticks, rounded up so the wait is
  // never shorter than asked.
  uint64_t wait = (static_cast<uint64_t>(us) * 4888 + 4095) >> 12;
  uint64_t until = NowTicks() + wait;
  while (NowTicks() < until) {
  }
}

uint64_t RequestedStallUs() { return requested_stall_us; }
uint32_t ServiceFaults() { return service_faults; }

void DumpBytes(uint32_t address, uint32_t length) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(address);
  asm volatile("cld; rep outsb" : "+S"(p), "+c"(length) : "d"(kDebugConsole) : "memory");
}

void Exit(uint8_t code) {
  Out8(kDebugExit, code);
  for (;;) asm volatile("cli; hlt");
}

}  // namespace guest

using namespace guest;

// The services, with the calling conventions of the kernel's exports.
extern "C" {

uint8_t __stdcall GuestReadPortUchar(uint8_t *port) {
  return In8(static_cast<uint16_t>(reinterpret_cast<uint32_t>(port)));
}
uint32_t __stdcall GuestReadPortUlong(uint32_t *port) {
  return In32(static_cast<uint16_t>(reinterpret_cast<uint32_t>(port)));
}
void __stdcall GuestWritePortUchar(uint8_t *port, uint8_t value) {
  Out8(static_cast<uint16_t>(reinterpret_cast<uint32_t>(port)), value);
}
void __stdcall GuestWritePortUlong(uint32_t *port, uint32_t value) {
  Out32(static_cast<uint16_t>(reinterpret_cast<uint32_t>(port)), value);
}
// Every address is mapped onto itself: a mapped register's address is its
// physical address.
uint32_t __stdcall GuestReadRegisterUlong(volatile uint32_t *address) { return *address; }
uint8_t __stdcall GuestReadRegisterUchar(volatile uint8_t *address) { return *address; }
void __stdcall GuestWriteRegisterUlong(volatile uint32_t *address, uint32_t value) { *address = value; }

void __stdcall GuestStall(uint32_t us) {
  requested_stall_us += us;
  StallUs(us);
}

// The event inside a fast mutex is never waited on: the guest runs one
// thread with interrupts off, so a second acquire can only be a fault.
void __stdcall GuestInitializeEvent(void *, int, uint8_t) {}

// A fast mutex's first field is its count: 1 free, 0 held.
void __fastcall GuestAcquireFastMutex(volatile int32_t *mutex) {
  if (*mutex != 1) {
    service_faults++;
    Print("fault: fast mutex %p acquired while held\n", reinterpret_cast<uint32_t>(mutex));
  }
  *mutex = 0;
}
void __fastcall GuestReleaseFastMutex(volatile int32_t *mutex) {
  if (*mutex != 0) {
    service_faults++;
    Print("fault: fast mutex %p released while free\n", reinterpret_cast<uint32_t>(mutex));
  }
  *mutex = 1;
}

// A bus address is its own virtual address.
void *__stdcall GuestMapIoSpace(uint64_t physical, uint32_t, int) {
  return reinterpret_cast<void *>(static_cast<uint32_t>(physical));
}

void __stdcall GuestUnmapIoSpace(void *, uint32_t) {}

uint32_t DbgPrint(const char *format, ...) {
  va_list args;
  va_start(args, format);
  Print("dbg: ");
  VPrint(format, args);
  va_end(args);
  return 0;
}

// The guest runs every check as a request runs: at PASSIVE_LEVEL.
uint8_t __stdcall GuestGetCurrentIrql() { return 0; }

// Import slots, named as the driver's objects reference them.
void *ImpReadPortUchar __asm__("__imp__READ_PORT_UCHAR@4") = reinterpret_cast<void *>(&GuestReadPortUchar);
void *ImpReadPortUlong __asm__("__imp__READ_PORT_ULONG@4") = reinterpret_cast<void *>(&GuestReadPortUlong);
void *ImpWritePortUchar __asm__("__imp__WRITE_PORT_UCHAR@8") = reinterpret_cast<void *>(&GuestWritePortUchar);
void *ImpWritePortUlong __asm__("__imp__WRITE_PORT_ULONG@8") = reinterpret_cast<void *>(&GuestWritePortUlong);
void *ImpReadRegisterUlong __asm__("__imp__READ_REGISTER_ULONG@4") = reinterpret_cast<void *>(&GuestReadRegisterUlong);
void *ImpReadRegisterUchar __asm__("__imp__READ_REGISTER_UCHAR@4") = reinterpret_cast<void *>(&GuestReadRegisterUchar);
void *ImpWriteRegisterUlong __asm__("__imp__WRITE_REGISTER_ULONG@8") =
    reinterpret_cast<void *>(&GuestWriteRegisterUlong);
void *ImpStall __asm__("__imp__KeStallExecutionProcessor@4") = reinterpret_cast<void *>(&GuestStall);
void *ImpMapIoSpace __asm__("__imp__MmMapIoSpace@16") = reinterpret_cast<void *>(&GuestMapIoSpace);
void *ImpUnmapIoSpace __asm__("__imp__MmUnmapIoSpace@8") = reinterpret_cast<void *>(&GuestUnmapIoSpace);
void *ImpInitializeEvent __asm__("__imp__KeInitializeEvent@12") = reinterpret_cast<void *>(&GuestInitializeEvent);
void *ImpAcquireFastMutex __asm__("__imp_@ExAcquireFastMutex@4") = reinterpret_cast<void *>(&GuestAcquireFastMutex);
void *ImpReleaseFastMutex __asm__("__imp_@ExReleaseFastMutex@4") = reinterpret_cast<void *>(&GuestReleaseFastMutex);
void *ImpGetCurrentIrql __asm__("__imp__KeGetCurrentIrql@0") = reinterpret_cast<void *>(&GuestGetCurrentIrql);

}  // extern "C"
