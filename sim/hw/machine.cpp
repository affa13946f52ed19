#include "sim/hw/machine.h"

#include "sim/hw/firmware.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace sim::hw {

Machine::Machine(VirtualClock& clock) : clock_(clock) { create_low_memory(); }

Machine::Machine(const MachineProfile& profile, VirtualClock& clock) : clock_(clock) {
  create_low_memory();
  add_bus(0);  // the host bridge's bus exists on every PC, adapters or not
  try {
    if (profile.bios_image.empty()) {
      build_firmware_tables(low_memory_, profile);
    } else {
      load_bios_image(low_memory_, profile.bios_image);
    }
  } catch (...) {  // the destructor does not run for a failed constructor
    ::munmap(low_memory_, kLowMemorySize);
    ::close(low_memory_fd_);
    throw;
  }
  for (std::uint32_t bus : profile.buses) add_bus(bus);
  for (const AdapterConfig& conf : profile.adapters) {
    auto adapter = std::make_unique<Adapter>(conf, clock_);
    Adapter* raw = adapter.get();
    attach(conf.bus, conf.device, conf.function, std::move(adapter));
    adapters_.push_back(raw);
  }
}

Machine::~Machine() {
  if (low_memory_ != nullptr) ::munmap(low_memory_, kLowMemorySize);
  if (low_memory_fd_ >= 0) ::close(low_memory_fd_);
}

void Machine::create_low_memory() {
  low_memory_fd_ = ::memfd_create("physical-low-memory", MFD_CLOEXEC);
  if (low_memory_fd_ < 0 || ::ftruncate(low_memory_fd_, kLowMemorySize) != 0)
    throw std::runtime_error("cannot create the simulated physical memory");
  void* p = ::mmap(nullptr, kLowMemorySize, PROT_READ | PROT_WRITE, MAP_SHARED, low_memory_fd_, 0);
  if (p == MAP_FAILED) {
    ::close(low_memory_fd_);
    throw std::runtime_error("cannot map the simulated physical memory");
  }
  low_memory_ = static_cast<std::uint8_t*>(p);
}

void Machine::add_bus(std::uint32_t bus) { buses_.insert(bus); }

bool Machine::bus_exists(std::uint32_t bus) const { return buses_.count(bus) != 0; }

PciFunction& Machine::attach(std::uint32_t bus, std::uint32_t device, std::uint32_t function,
                             std::unique_ptr<PciFunction> model) {
  if (device > 31 || function > 7) throw std::invalid_argument("no such PCI device or function number");
  auto key = std::make_tuple(bus, device, function);
  if (functions_.count(key)) throw std::invalid_argument("PCI slot already occupied");
  add_bus(bus);
  PciFunction& ref = *model;
  functions_[key] = std::move(model);
  // A device with more than one function says so in bit 7 of the header
  // type of each of its functions; software scans functions 1 to 7 only
  // when function 0 carries it.
  std::vector<PciFunction*> siblings;
  for (std::uint32_t f = 0; f < 8; ++f)
    if (PciFunction* fn = this->function(bus, device, f)) siblings.push_back(fn);
  for (PciFunction* fn : siblings) fn->set_multi_function(siblings.size() > 1);
  return ref;
}

PciFunction* Machine::function(std::uint32_t bus, std::uint32_t device, std::uint32_t function) const {
  auto it = functions_.find(std::make_tuple(bus, device, function));
  return it == functions_.end() ? nullptr : it->second.get();
}

bool Machine::decode(BarType type, std::uint64_t address, Decoded& out) const {
  for (const auto& [key, fn] : functions_) {
    for (std::size_t i = 0; i < fn->bar_count(); ++i) {
      if (fn->bar(i).type == type && fn->decodes(i, address)) {
        out = {fn.get(), i, static_cast<std::uint32_t>(address - fn->bar_address(i))};
        return true;
      }
    }
  }
  return false;
}

std::uint32_t Machine::port_read(std::uint32_t port, unsigned width) {
  Decoded d{};
  if (!decode(BarType::Io, port & 0xFFFF, d)) return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
  return d.function->bar_read(d.bar, d.offset, width);
}

void Machine::port_write(std::uint32_t port, unsigned width, std::uint32_t value) {
  Decoded d{};
  if (decode(BarType::Io, port & 0xFFFF, d)) d.function->bar_write(d.bar, d.offset, width, value);
}

std::uint32_t Machine::memory_read(std::uint64_t address, unsigned width) {
  Decoded d{};
  if (!decode(BarType::Memory, address, d)) {
    if (address + width <= kLowMemorySize) {
      std::uint32_t value = 0;
      std::memcpy(&value, low_memory_ + address, width);
      return value;
    }
    return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
  }
  return d.function->bar_read(d.bar, d.offset, width);
}

void Machine::memory_write(std::uint64_t address, unsigned width, std::uint32_t value) {
  Decoded d{};
  if (decode(BarType::Memory, address, d)) {
    d.function->bar_write(d.bar, d.offset, width, value);
  } else if (address + width <= kLowMemorySize) {
    std::memcpy(low_memory_ + address, &value, width);
  }
}

}  // namespace sim::hw
