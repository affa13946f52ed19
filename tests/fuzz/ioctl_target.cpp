// Fuzz target: the driver's control-code interface on the simulated kernel.
// The input is a little program of requests: which code, how long the input
// and output are, the input bytes, client buffers named inside requests
// (also taken away or made read-only), addresses of windows mapped earlier,
// and bursts run from two threads at once. After every input the handle is
// closed and the driver unloaded: any driver fault, leak or hang is a
// finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "driver/nicport.h"
#include "sim/kernel/kernel.h"

namespace {

// Every code of the protocol, from the table of control codes.
#define KDVR_CODE_VALUE(name, function, bytes, changes_state) name,
const uint32_t kCodes[] = {KDVR_CONTROL_CODES(KDVR_CODE_VALUE)};
#undef KDVR_CODE_VALUE
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);

struct Reader {
  const uint8_t *data;
  size_t size;
  size_t at = 0;
  bool done() const { return at >= size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
  uint32_t word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; i++) w |= static_cast<uint32_t>(byte()) << (8 * i);
    return w;
  }
};

struct Request {
  uint32_t code = 0;
  std::vector<uint8_t> input;
  uint32_t output = 0;
};

// Writes a 32-bit field of an argument structure (at its offset) into the
// input, which grows to hold it.
void Put(std::vector<uint8_t> &input, size_t offset, uint32_t value) {
  if (input.size() < offset + 4) input.resize(offset + 4, 0);
  std::memcpy(input.data() + offset, &value, 4);
}

[[noreturn]] void Finding(const std::string &what) {
  std::fprintf(stderr, "finding: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static sim::kernel::Kernel *kernel = new sim::kernel::Kernel();
  sim::kernel::Kernel &k = *kernel;
  if (k.load_driver(DriverEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NICPORT") != STATUS_SUCCESS)
    Finding("the driver did not load");
  // Raw writes that break the EEPROM's timing are the input's own misuse
  // (kept in client_misuse()), not a finding.
  k.set_raw_write_codes([](ULONG code) { return KdvrIsRawWrite(code) != 0; });
  Reader in{data, size};
  k.set_client_admin(true);
  sim::kernel::OpenResult open =
      k.open("\\\\.\\NICPORT", (in.byte() & 1) ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE);
  if (open.handle < 0) Finding("the administrator's open was refused");
  std::vector<sim::kernel::ClientMemory> buffers;
  std::vector<uint32_t> windows;
  auto run = [&](const Request &r) {
    sim::kernel::IoResult result = k.device_io_control(open.handle, r.code, r.input, r.output);
    if (result.faulted) Finding("driver fault on code " + std::to_string(r.code));
    if (result.information > r.output) Finding("more bytes returned than the output holds");
    return result;
  };
  for (int steps = 0; !in.done() && steps < 64; steps++) {
    const uint8_t op = in.byte();
    Request r;
    const uint8_t pick = in.byte();
    r.code =
        (op & 0x80) ? (0x80FF0000u | (static_cast<uint32_t>(pick) << 2) | (in.byte() & 3)) : kCodes[pick % kCodeCount];
    const size_t length = in.byte() % 41;
    for (size_t i = 0; i < length; i++) r.input.push_back(in.byte());
    r.output = in.byte() % 17;
    switch (op & 0x7) {
      case 1:  // a client buffer at +8 (PCI configuration) or +0 (tables)
      case 2: {
        const uint32_t bytes = 1 + in.byte() % 300;
        buffers.push_back(k.client_alloc(bytes));
        Put(r.input, (op & 0x7) == 1 ? offsetof(KDVR_PCI_CONFIG_ARGS, Buffer) : offsetof(KDVR_TABLE_ARGS, Buffer),
            buffers.back().address());
        const uint8_t fate = in.byte() % 4;
        if (fate == 1) buffers.back().make_read_only();
        if (fate == 2) buffers.back().revoke();
        break;
      }
      case 3:  // an address inside a window mapped earlier
        if (!windows.empty())
          Put(r.input, offsetof(KDVR_MEMORY_ARGS, Address), windows[in.byte() % windows.size()] + (in.byte() & 0x3F));
        break;
      case 4: {  // a burst from two threads
        Request other = r;
        if (!windows.empty()) {
          other.code = IOCTL_KDVR_UNMAP_MEMORY;
          other.input.clear();
          Put(other.input, offsetof(KDVR_UNMAP_ARGS, VirtualAddress), windows.back());
          Put(other.input, offsetof(KDVR_UNMAP_ARGS, Length), 0x1000);
        }
        std::thread second([&] { run(other); });
        run(r);
        second.join();
        continue;
      }
      case 5:  // map the adapter's window
        r.code = IOCTL_KDVR_MAP_MEMORY;
        r.input.clear();
        Put(r.input, offsetof(KDVR_MAP_ARGS, BusAddress), 0xF4000000u);
        Put(r.input, offsetof(KDVR_MAP_ARGS, Length), 0x1000);
        r.output = 4;
        break;
      default: break;
    }
    sim::kernel::IoResult result = run(r);
    if (r.code == IOCTL_KDVR_MAP_MEMORY && result.output.size() == 4) {
      uint32_t va = 0;
      std::memcpy(&va, result.output.data(), 4);
      if (va != 0) windows.push_back(va);
    }
  }
  k.close(open.handle);
  sim::kernel::LeakReport leaks = k.unload_driver();
  if (!leaks.empty()) Finding("leak: " + leaks.to_string());
  if (!k.driver_faults().empty()) Finding("driver fault: " + k.driver_faults().front());
  k.clear_debug_log();
  return 0;
}
