// The simulated PCI machine: buses, the functions in their slots, and the
// processor's port and physical memory spaces, decoded by the functions'
// BARs. The first megabyte of physical memory (conventional memory and the
// BIOS area) is real storage, shared through a memory file so that windows
// mapped over it can be read directly, as on the real machine. Any other
// access that nothing decodes ends in a master abort: reads return all ones,
// writes are dropped.
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
  static constexpr std::uint64_t kLowMemorySize = 0x100000;

  explicit Machine(VirtualClock& clock);
  // Builds the buses and adapters of a profile (the faults are the kernel's).
  Machine(const MachineProfile& profile, VirtualClock& clock);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Physical memory below 1 MiB; the file descriptor maps it elsewhere.
  std::uint8_t* low_memory() { return low_memory_; }
  int low_memory_fd() const { return low_memory_fd_; }

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
  void create_low_memory();
  VirtualClock& clock_;
  int low_memory_fd_ = -1;
  std::uint8_t* low_memory_ = nullptr;
  std::set<std::uint32_t> buses_;
  std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>, std::unique_ptr<PciFunction>> functions_;
  std::vector<Adapter*> adapters_;
};

}  // namespace sim::hw
