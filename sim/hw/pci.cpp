#include "sim/hw/pci.h"

#include <stdexcept>

namespace sim::hw {
namespace {

constexpr std::uint32_t kCommand = 0x04;
constexpr std::uint32_t kStatus = 0x06;
constexpr std::uint32_t kBar0 = 0x10;
constexpr std::uint16_t kIoEnable = 0x0001;
constexpr std::uint16_t kMemoryEnable = 0x0002;
constexpr std::uint16_t kBusMaster = 0x0004;

std::uint32_t bar_flags(const BarConfig& bar) { return bar.type == BarType::Io ? 0x1u : 0x0u; }
std::uint32_t bar_mask(const BarConfig& bar) {
  const std::uint32_t size_mask = ~(bar.size - 1);
  return bar.type == BarType::Io ? (size_mask & ~0x3u) : (size_mask & ~0xFu);
}

}  // namespace

PciFunction::PciFunction(const AdapterConfig& conf, std::uint32_t class_code) : bars_(conf.bars) {
  if (bars_.size() > 6) throw std::invalid_argument("a type 0 header has at most 6 BARs");
  auto put16 = [this](std::uint32_t offset, std::uint16_t value) {
    config_[offset] = static_cast<std::uint8_t>(value);
    config_[offset + 1] = static_cast<std::uint8_t>(value >> 8);
  };
  auto put32 = [&](std::uint32_t offset, std::uint32_t value) {
    put16(offset, static_cast<std::uint16_t>(value));
    put16(offset + 2, static_cast<std::uint16_t>(value >> 16));
  };
  put16(0x00, conf.vendor);
  put16(0x02, conf.device_id);
  std::uint16_t command = kBusMaster;
  for (const BarConfig& bar : bars_) {
    if (bar.address != 0) command |= bar.type == BarType::Io ? kIoEnable : kMemoryEnable;
  }
  put16(kCommand, command);
  writable_[kCommand] = 0x47;      // I/O, memory, bus master, parity error response
  writable_[kCommand + 1] = 0x05;  // SERR# enable, interrupt disable
  put16(kStatus, 0x0280);          // fast back-to-back capable, medium DEVSEL timing
  write_clear_[kStatus + 1] = 0xF9;
  config_[0x08] = conf.revision;
  put32(0x08, (class_code << 8) | conf.revision);
  config_[0x0D] = 0x20;  // latency timer as the firmware sets it
  writable_[0x0C] = 0xFF;
  writable_[0x0D] = 0xFF;
  for (std::size_t i = 0; i < bars_.size(); ++i) {
    const std::uint32_t offset = kBar0 + static_cast<std::uint32_t>(4 * i);
    put32(offset, (bars_[i].address & bar_mask(bars_[i])) | bar_flags(bars_[i]));
    const std::uint32_t mask = bar_mask(bars_[i]);
    for (unsigned b = 0; b < 4; ++b) writable_[offset + b] = static_cast<std::uint8_t>(mask >> (8 * b));
  }
  put16(0x2C, conf.subsystem_vendor);
  put16(0x2E, conf.subsystem_id);
  config_[0x3C] = conf.irq;
  writable_[0x3C] = 0xFF;
  config_[0x3D] = 0x01;  // INTA#
  config_[0x3E] = 0x08;  // minimum grant
  config_[0x3F] = 0x18;  // maximum latency
}

std::uint32_t PciFunction::config_read(std::uint32_t offset, unsigned width) const {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    const std::uint32_t at = offset + i;
    const std::uint8_t byte = at < config_.size() ? config_[at] : 0xFF;
    value |= static_cast<std::uint32_t>(byte) << (8 * i);
  }
  return value;
}

void PciFunction::config_write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  for (unsigned i = 0; i < width; ++i) {
    if (offset + i < config_.size()) write_byte(offset + i, static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

void PciFunction::write_byte(std::uint32_t offset, std::uint8_t value) {
  std::uint8_t& byte = config_[offset];
  byte = static_cast<std::uint8_t>((byte & ~writable_[offset]) | (value & writable_[offset]));
  byte = static_cast<std::uint8_t>(byte & ~(value & write_clear_[offset]));
}

std::uint16_t PciFunction::vendor() const { return static_cast<std::uint16_t>(config_read(0x00, 2)); }
std::uint16_t PciFunction::device_id() const { return static_cast<std::uint16_t>(config_read(0x02, 2)); }
std::uint16_t PciFunction::command() const { return static_cast<std::uint16_t>(config_read(kCommand, 2)); }
std::uint8_t PciFunction::interrupt_line() const { return config_[0x3C]; }

std::uint32_t PciFunction::bar_address(std::size_t index) const {
  const BarConfig& conf = bars_.at(index);
  const std::uint32_t raw = config_read(kBar0 + static_cast<std::uint32_t>(4 * index), 4);
  return raw & (conf.type == BarType::Io ? ~0x3u : ~0xFu);
}

void PciFunction::set_bar_address(std::size_t index, std::uint32_t address) {
  config_write(kBar0 + static_cast<std::uint32_t>(4 * index), 4, address);
}

void PciFunction::enable_decoding() {
  std::uint16_t command = this->command();
  for (const BarConfig& bar : bars_) command |= bar.type == BarType::Io ? kIoEnable : kMemoryEnable;
  config_write(kCommand, 2, command);
}

void PciFunction::set_multi_function(bool multi) {
  config_[0x0E] = static_cast<std::uint8_t>((config_[0x0E] & 0x7F) | (multi ? 0x80 : 0x00));
}

bool PciFunction::decodes(std::size_t index, std::uint64_t address) const {
  if (index >= bars_.size()) return false;
  const BarConfig& conf = bars_[index];
  const std::uint16_t enable = conf.type == BarType::Io ? kIoEnable : kMemoryEnable;
  if ((command() & enable) == 0) return false;
  const std::uint64_t base = bar_address(index);
  if (base == 0) return false;
  return address >= base && address < base + conf.size;
}

}  // namespace sim::hw
