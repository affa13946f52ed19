#include "sim/hw/adapter.h"

#include <stdexcept>

namespace sim::hw {

namespace {
constexpr std::uint32_t kNetworkEthernetClass = 0x020000;
}

Adapter::Adapter(const AdapterConfig& conf, VirtualClock& clock) : PciFunction(conf, kNetworkEthernetClass), clock_(clock) {}

RegisterHandler* Adapter::handler_for(std::uint32_t offset, unsigned width, std::uint32_t& base) const {
  for (const Attached& a : attached_) {
    if (offset < a.offset + a.length && a.offset < offset + width) {
      base = a.offset;
      return a.handler;
    }
  }
  return nullptr;
}

std::uint32_t Adapter::read(std::uint32_t offset, unsigned width) {
  std::uint32_t base = 0;
  if (RegisterHandler* handler = handler_for(offset, width, base)) return handler->read(offset, width);
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    const std::uint32_t at = offset + i;
    if (at < kRegisterBlockSize) value |= static_cast<std::uint32_t>(registers_[at]) << (8 * i);
  }
  return value;
}

void Adapter::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  std::uint32_t base = 0;
  if (RegisterHandler* handler = handler_for(offset, width, base)) {
    handler->write(offset, width, value);
    return;
  }
  for (unsigned i = 0; i < width; ++i) {
    const std::uint32_t at = offset + i;
    if (at < kRegisterBlockSize) registers_[at] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

void Adapter::attach_register(std::uint32_t offset, std::uint32_t length, RegisterHandler* handler) {
  if (handler == nullptr || length == 0 || offset + length > kRegisterBlockSize)
    throw std::invalid_argument("register model outside the adapter's register block");
  std::uint32_t base = 0;
  if (handler_for(offset, length, base) != nullptr) throw std::invalid_argument("register range already has a model");
  attached_.push_back({offset, length, handler});
}

std::uint32_t Adapter::bar_read(std::size_t, std::uint32_t offset, unsigned width) { return read(offset, width); }

void Adapter::bar_write(std::size_t, std::uint32_t offset, unsigned width, std::uint32_t value) {
  write(offset, width, value);
}

}  // namespace sim::hw
