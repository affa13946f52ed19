// PCI functions and their configuration space, after the PCI Local Bus
// specification (type 0 header): read-only identification, a command
// register with I/O and memory decode enables, write-1-to-clear status
// bits, base address registers that read back their size mask after all
// ones are written, an interrupt line register and a device-specific area
// that reads as zero.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "sim/hw/profile.h"

namespace sim::hw {

class PciFunction {
 public:
  PciFunction(const AdapterConfig& conf, std::uint32_t class_code);
  virtual ~PciFunction() = default;
  PciFunction(const PciFunction&) = delete;
  PciFunction& operator=(const PciFunction&) = delete;

  // Configuration space, 256 bytes; width 1, 2 or 4 at any offset inside.
  std::uint32_t config_read(std::uint32_t offset, unsigned width) const;
  void config_write(std::uint32_t offset, unsigned width, std::uint32_t value);

  std::uint16_t vendor() const;
  std::uint16_t device_id() const;
  std::uint16_t command() const;
  std::uint8_t interrupt_line() const;
  std::size_t bar_count() const { return bars_.size(); }
  const BarConfig& bar(std::size_t index) const { return bars_.at(index); }
  std::uint32_t bar_address(std::size_t index) const;  // decoded base, mask bits removed
  void set_bar_address(std::size_t index, std::uint32_t address);
  void enable_decoding();
  // Bit 7 of the header type (0x0E): set on every function of a
  // multi-function device.
  void set_multi_function(bool multi);  // sets the I/O and memory enables, as the HAL does after assignment

  // Whether a BAR decodes the address now (decode enabled, BAR programmed).
  bool decodes(std::size_t index, std::uint64_t address) const;

  // An access that a BAR decodes, at the offset from the BAR's base.
  virtual std::uint32_t bar_read(std::size_t index, std::uint32_t offset, unsigned width) = 0;
  virtual void bar_write(std::size_t index, std::uint32_t offset, unsigned width, std::uint32_t value) = 0;

 private:
  void write_byte(std::uint32_t offset, std::uint8_t value);
  std::array<std::uint8_t, 256> config_{};
  std::array<std::uint8_t, 256> writable_{};     // bits software may set
  std::array<std::uint8_t, 256> write_clear_{};  // bits cleared by writing 1
  std::vector<BarConfig> bars_;
};

}  // namespace sim::hw
