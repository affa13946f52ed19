// Host wall time per simulated EEPROM and PHY operation: the driver in the
// simulated kernel, through the control codes, against the part models.
// Each benchmark also reports the operation's virtual time (sim_us), the
// time the same operation busy-waits on real hardware.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/nicport.h"
#include "sim/hw/profile.h"
#include "sim/kernel/kernel.h"
#include "tools/nicdiag/request.h"

namespace {

constexpr uint32_t kEepromPort = 0xE00E;
constexpr uint32_t kRegisterBase = 0xE000;

// A machine whose adapter has a part of `words` words, the driver loaded
// and the device open.
struct Machine {
  sim::kernel::Kernel k;
  sim::kernel::Handle handle = -1;
  explicit Machine(unsigned words) {
    nlohmann::json profile = nlohmann::json::parse(sim::hw::default_profile_json());
    profile["adapters"][0]["eeprom"] = {{"words", words}};
    k.load_profile_text(profile.dump(), "bench");
    k.load_driver(DriverEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NICPORT");
    handle = k.open("\\\\.\\NICPORT").handle;
  }
  ~Machine() {
    k.close(handle);
    k.unload_driver();
  }
  template <typename Args>
  uint32_t Call(uint32_t code, const Args &args) {
    auto r = k.device_io_control(handle, code, nicdiag::RequestBytes(args), 4);
    return r.output.size() == 4 ? r.output[0] | r.output[1] << 8 : 0;
  }
};

// The size the driver uses for a part: what its prober reports.
uint16_t DriverSize(unsigned words) { return static_cast<uint16_t>(words == 128 ? 256 : words); }

template <typename Op>
void Run(benchmark::State &state, Machine &m, Op op) {
  uint64_t sim_before = m.k.now_us();
  for (auto _ : state) op();
  state.counters["sim_us"] =
      benchmark::Counter(static_cast<double>(m.k.now_us() - sim_before) / static_cast<double>(state.iterations()));
}

void BM_EepromReadWord(benchmark::State &state) {
  unsigned words = static_cast<unsigned>(state.range(0));
  Machine m(words);
  Run(state, m, [&] {
    benchmark::DoNotOptimize(
        m.Call(IOCTL_KDVR_READ_EEPROM, KDVR_READ_EEPROM_ARGS{kEepromPort, DriverSize(words), 5, 0}));
  });
}
BENCHMARK(BM_EepromReadWord)->Arg(64)->Arg(128)->Arg(256);

void BM_EepromWriteWord(benchmark::State &state) {
  unsigned words = static_cast<unsigned>(state.range(0));
  Machine m(words);
  Run(state, m, [&] {
    m.Call(IOCTL_KDVR_WRITE_EEPROM, KDVR_WRITE_EEPROM_ARGS{kEepromPort, DriverSize(words), 5, 0x1234, 0});
  });
}
BENCHMARK(BM_EepromWriteWord)->Arg(64)->Arg(256);

void BM_EepromSizeProbe(benchmark::State &state) {
  Machine m(static_cast<unsigned>(state.range(0)));
  Run(state, m, [&] {
    benchmark::DoNotOptimize(m.Call(IOCTL_KDVR_GET_EEPROM_SIZE, KDVR_EEPROM_SIZE_ARGS{kEepromPort, 0, 0}));
  });
}
BENCHMARK(BM_EepromSizeProbe)->Arg(64)->Arg(128)->Arg(256);

void BM_EepromDump(benchmark::State &state) {
  unsigned words = static_cast<unsigned>(state.range(0));
  Machine m(words);
  Run(state, m, [&] {
    for (unsigned w = 0; w < words; w++)
      benchmark::DoNotOptimize(m.Call(
          IOCTL_KDVR_READ_EEPROM, KDVR_READ_EEPROM_ARGS{kEepromPort, DriverSize(words), static_cast<uint16_t>(w), 0}));
  });
}
BENCHMARK(BM_EepromDump)->Arg(64)->Arg(128)->Arg(256)->Unit(benchmark::kMillisecond);

void BM_MdiRead(benchmark::State &state) {
  Machine m(64);
  Run(state, m, [&] {
    benchmark::DoNotOptimize(m.Call(IOCTL_KDVR_MDI_READ, KDVR_MDI_READ_ARGS{kRegisterBase, 1, 0, 1}));
  });
}
BENCHMARK(BM_MdiRead);

}  // namespace

BENCHMARK_MAIN();
