// The bare-metal test guest: port and memory access, the serial console,
// the PIT clock and the exit device, shared by the kernel-service layer
// (services.cpp) and the checks (main.cpp).
#pragma once
#include <stdarg.h>
#include <stdint.h>

namespace guest {

inline uint8_t In8(uint16_t port) {
  uint8_t v;
  asm volatile("inb %1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
inline uint16_t In16(uint16_t port) {
  uint16_t v;
  asm volatile("inw %1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
inline uint32_t In32(uint16_t port) {
  uint32_t v;
  asm volatile("inl %1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
inline void Out8(uint16_t port, uint8_t v) { asm volatile("outb %0, %1" : : "a"(v), "Nd"(port)); }
inline void Out16(uint16_t port, uint16_t v) { asm volatile("outw %0, %1" : : "a"(v), "Nd"(port)); }
inline void Out32(uint16_t port, uint32_t v) { asm volatile("outl %0, %1" : : "a"(v), "Nd"(port)); }

inline uint32_t Load32(uint32_t address) { return *reinterpret_cast<volatile uint32_t *>(address); }
inline uint8_t Load8(uint32_t address) { return *reinterpret_cast<volatile uint8_t *>(address); }
inline void Store32(uint32_t address, uint32_t v) { *reinterpret_cast<volatile uint32_t *>(address) = v; }

// COM1, polled.
void SerialInit();
void Print(const char *format, ...);
void VPrint(const char *format, va_list args);
// Holds serial output (DbgPrint's included) in memory while an operation
// is timed; false sends what was held.
void HoldSerial(bool hold);

// Time from the PIT's channel 0, counting at 1,193,182 Hz. Now() must be
// called at least every 50 ms for the count to stay right; every stall and
// every measurement does.
void ClockInit();
uint64_t NowTicks();
uint32_t TicksToUs(uint64_t ticks);
void StallUs(uint32_t us);
// Microseconds of stall the driver's objects have asked for so far.
uint64_t RequestedStallUs();

// Raw bytes to the debug console port (a file on the host side).
void DumpBytes(uint32_t address, uint32_t length);

// Leaves QEMU through the isa-debug-exit device; QEMU's exit code is
// (code << 1) | 1.
[[noreturn]] void Exit(uint8_t code);

// Counts faults the service layer saw in the driver's use of it (a fast
// mutex taken twice or released while free).
uint32_t ServiceFaults();

// Exceptions (exceptions.cpp): segments with FS on the exception list,
// the exception vectors, and paging with every address mapped onto itself
// but one page, left not present. Called once, first.
void MachineInit();
// Exception flags (NT's values; the kernel headers carry only the first).
constexpr uint32_t kExceptionUnwinding = 0x02, kExceptionExitUnwind = 0x04, kExceptionStackInvalid = 0x08,
                   kExceptionNestedCall = 0x10;
uint32_t NotPresentPage();
uint32_t ExceptionListHead();
void SetExceptionListHead(uint32_t head);
// Exceptions dispatched so far.
uint32_t Dispatches();

}  // namespace guest

// Runs Routine(Context); 0 when it returns, or the code of an exception the
// dispatcher could not deliver (unhandled, or dispatches nested too deep),
// after which the case was abandoned and fs:[0] is whatever it was.
extern "C" uint32_t GuestRunCase(void (*routine)(void *), void *context);
