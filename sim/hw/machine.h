// The simulated PCI machine: buses, the functions in their slots, and the
// processor's port and physical memory spaces, decoded by the functions'
// BARs. An access that nothing decodes ends in a master abort: reads return
// all ones, writes are dropped.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

#include "sim/common/clock.h"
#include "sim/hw/adapter.h"
#include "sim/hw/profile.h"

namespace sim::hw {

class Machine {
 public:
  explicit Machine(VirtualClock& clock);
  // Builds the buses and adapters of a profile (the faults are the kernel's).
  Machine(const MachineProfile& profile, VirtualClock& clock);

  void add_bus(std::uint32_t bus);
  bool bus_exists(std::uint32_t bus) const;
  // Adds a function; its bus comes into existence.
  PciFunction& attach(std::uint32_t bus, std::uint32_t device, std::uint32_t function,
                      std::unique_ptr<PciFunction> model);
  PciFunction* function(std::uint32_t bus, std::uint32_t device, std::uint32_t function) const;
  const std::vector<Adapter*>& adapters() const { return adapters_; }

  std::uint32_t port_read(std::uint32_t port, unsigned width);
  void port_write(std::uint32_t port, unsigned width, std::uint32_t value);
  std::uint32_t memory_read(std::uint64_t address, unsigned width);
  void memory_write(std::uint64_t address, unsigned width, std::uint32_t value);

  VirtualClock& clock() { return clock_; }

 private:
  struct Decoded {
    PciFunction* function;
    std::size_t bar;
    std::uint32_t offset;
  };
  bool decode(BarType type, std::uint64_t address, Decoded& out) const;
  VirtualClock& clock_;
  std::set<std::uint32_t> buses_;
  std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>, std::unique_ptr<PciFunction>> functions_;
  std::vector<Adapter*> adapters_;
};

}  // namespace sim::hw
