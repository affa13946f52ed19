#include "sim/hw/adapter.h"

#include <algorithm>
#include <stdexcept>

namespace sim::hw {

namespace {
constexpr std::uint32_t kNetworkEthernetClass = 0x020000;

// Mask of the low `width` bytes.
std::uint32_t byte_mask(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }
}  // namespace

Adapter::Adapter(const AdapterConfig& conf, VirtualClock& clock)
    : PciFunction(conf, kNetworkEthernetClass), clock_(clock), eeprom_(clock, conf.eeprom), mdi_(clock) {
  apply_phys_profile(mdi_, conf.phys);
  attach_register(kEepromControl, 2, &eeprom_handler_);
  attach_register(kMdiControl, 4, &mdi_handler_);
}

Adapter::~Adapter() {
  if (eeprom_saved_) return;
  try {
    save_eeprom();
  } catch (const std::exception&) {
    // A destructor cannot report it; owners that must know call
    // save_eeprom() first.
  }
}

bool Adapter::save_eeprom() {
  const auto& path = eeprom_.config().save_path;
  // An image no word of which changed stays as it is, byte for byte.
  if (path.empty() || !eeprom_.changed()) return false;
  eeprom_.save_file(path);
  eeprom_saved_ = true;
  return true;
}

std::uint32_t Adapter::EepromRegisterHandler::read(std::uint32_t offset, unsigned width) {
  const unsigned shift = 8 * (offset - kEepromControl);
  return (static_cast<std::uint32_t>(register_.read()) >> shift) & byte_mask(width);
}

void Adapter::EepromRegisterHandler::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  const unsigned shift = 8 * (offset - kEepromControl);
  register_.write(static_cast<std::uint16_t>(value << shift), static_cast<std::uint16_t>(byte_mask(width) << shift));
}

std::uint32_t Adapter::MdiRegisterHandler::read(std::uint32_t offset, unsigned width) {
  const unsigned shift = 8 * (offset - kMdiControl);
  return (mdi_.read() >> shift) & byte_mask(width);
}

void Adapter::MdiRegisterHandler::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  const unsigned shift = 8 * (offset - kMdiControl);
  mdi_.write_partial(value << shift, byte_mask(width) << shift);
}

const Adapter::Attached* Adapter::attached_at(std::uint32_t offset) const {
  for (const Attached& a : attached_)
    if (offset >= a.offset && offset < a.offset + a.length) return &a;
  return nullptr;
}

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
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width;) {
    const std::uint32_t at = offset + i;
    if (const Attached* a = attached_at(at)) {
      const unsigned n = std::min<unsigned>(width - i, a->offset + a->length - at);
      value |= (a->handler->read(at, n) & byte_mask(n)) << (8 * i);
      i += n;
      continue;
    }
    if (at < kRegisterBlockSize) value |= static_cast<std::uint32_t>(registers_[at]) << (8 * i);
    ++i;
  }
  return value;
}

void Adapter::write(std::uint32_t offset, unsigned width, std::uint32_t value) {
  for (unsigned i = 0; i < width;) {
    const std::uint32_t at = offset + i;
    if (const Attached* a = attached_at(at)) {
      const unsigned n = std::min<unsigned>(width - i, a->offset + a->length - at);
      a->handler->write(at, n, (value >> (8 * i)) & byte_mask(n));
      i += n;
      continue;
    }
    if (at < kRegisterBlockSize) registers_[at] = static_cast<std::uint8_t>(value >> (8 * i));
    ++i;
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
