// The Windows 98 purge on registries with N supported adapters among N
// devices of another vendor: each adapter has its class sub-key, its
// hardware-tree device key and instance, and a protocol and a client bound
// to it. The class sweep walks the hardware tree once per class sub-key, so
// the time grows with the square of N.
// The Windows NT 4 removal in modem mode on registries with N matching modem
// class sub-keys, each with a sub-key and a root-enumerated instance with one
// of its own, under the NT 4 layout where only SYSTEM writes to "Enum".
#include <benchmark/benchmark.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "harness.h"
#include "sim/win32/machine.h"
#include "uninstaller/netpurge.h"

namespace {

using sim::win32::machine;

std::string make_registry(int n) {
  std::ostringstream r;
  r << "REGEDIT4\r\n";
  char buf[512];
  for (int i = 0; i < n; ++i) {
    const int other = 2 * i;
    const int ours = 2 * i + 1;
    std::snprintf(buf, sizeof buf,
                  "\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net\\%04d]\r\n"
                  "\"DriverDesc\"=\"PCI NE2000 Compatible\"\r\n"
                  "\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net\\%04d]\r\n"
                  "\"DriverDesc\"=\"QOR 10/100 Ethernet Adapter\"\r\n",
                  other, ours);
    r << buf;
    std::snprintf(
        buf, sizeof buf,
        "\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_10EC&DEV_8029&SUBSYS_%08X&REV_00\\BUS_00&DEV_01&FUNC_00]\r\n"
        "\"Driver\"=\"Net\\\\%04d\"\r\n"
        "\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_1229&SUBSYS_%08X&REV_08\\BUS_00&DEV_02&FUNC_00]\r\n"
        "\"Driver\"=\"Net\\\\%04d\"\r\n"
        "\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_8086&DEV_1229&SUBSYS_%08X&REV_08\\BUS_00&DEV_02&FUNC_00\\Bindings]\r\n"
        "\"MSTCP\\\\%04d\"=\"\"\r\n",
        i, other, i, ours, i, i);
    r << buf;
    std::snprintf(buf, sizeof buf,
                  "\r\n[HKEY_LOCAL_MACHINE\\Enum\\Network\\MSTCP\\%04d\\Bindings]\r\n\"VREDIR\\\\%04d\"=\"\"\r\n"
                  "\r\n[HKEY_LOCAL_MACHINE\\Enum\\Network\\VREDIR\\%04d\\Bindings]\r\n",
                  i, i, i);
    r << buf;
  }
  return r.str();
}

void Win98Purge(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string reg = make_registry(n);
  int removed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    removal_test::fresh_machine("win98");
    machine().registry.import_reg(reg, "bench");
    state.ResumeTiming();
    removed = PurgeClassKeys9x();
    PurgeAllPciEnumKeys();
  }
  if (removed != n) state.SkipWithError("not every class sub-key was removed");
  state.counters["class_keys_removed"] = removed;
  state.SetComplexityN(n);
}
BENCHMARK(Win98Purge)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Complexity();

std::string make_nt4_registry(int n) {
  std::ostringstream r;
  r << "REGEDIT4\r\n";
  char buf[1024];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf,
                  "\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\"
                  "{4D36E96D-E325-11CE-BFC1-08002BE10318}\\%04d\\Init]\r\n\"1\"=\"AT\"\r\n"
                  "\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\"
                  "{4D36E96D-E325-11CE-BFC1-08002BE10318}\\%04d]\r\n\"DriverDesc\"=\"  \"\r\n"
                  "\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\Root\\PCI&VEN_FFFF&DEV_FFFF\\%04d\\"
                  "Control]\r\n\"ActiveService\"=\"Modem\"\r\n",
                  i, i, i);
    r << buf;
  }
  return r.str();
}

void Nt4Removal(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string reg = make_nt4_registry(n);
  const auto root = *sim::win32::parse_sddl("O:BAG:SYD:(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;WD)", nullptr);
  const auto enum_tree = *sim::win32::parse_sddl("O:BAG:SYD:(A;CI;KA;;;SY)(A;CI;KR;;;WD)", nullptr);
  int removed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    removal_test::fresh_machine("nt4", true);
    machine().registry.import_reg(reg, "bench");
    machine().registry.apply_security(root, {{"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum", enum_tree}});
    state.ResumeTiming();
    removed = RemoveNt4Adapters();
  }
  if (removed != n) state.SkipWithError("not every class sub-key was removed");
  state.counters["class_keys_removed"] = removed;
  state.SetComplexityN(n);
}
BENCHMARK(Nt4Removal)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

BENCHMARK_MAIN();
