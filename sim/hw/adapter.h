// The simulated 10/100 adapter: PCI function 8086:1229 (class 02 00 00)
// whose memory BAR (4 KiB) and I/O BAR (64 bytes) both lead to one block of
// control registers. Registers are plain little-endian storage unless a
// model is attached over them: the serial EEPROM control register at 0x0E
// and the MDI control register at 0x10 get their models that way. An access
// that spans several models and plain bytes (a 32-bit access at 0x0E covers
// the EEPROM control register and the low half of the MDI control
// register) is split: each model sees one access of the bytes it owns,
// as a little-endian register file would.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "sim/common/clock.h"
#include "sim/hw/eeprom.h"
#include "sim/hw/pci.h"
#include "sim/hw/phy.h"

namespace sim::hw {

// A model of registers inside the block. Offsets it receives are offsets in
// the register block; an access is forwarded when it overlaps the range.
class RegisterHandler {
 public:
  virtual ~RegisterHandler() = default;
  virtual std::uint32_t read(std::uint32_t offset, unsigned width) = 0;
  virtual void write(std::uint32_t offset, unsigned width, std::uint32_t value) = 0;
};

class Adapter : public PciFunction {
 public:
  static constexpr std::uint32_t kRegisterBlockSize = 64;
  static constexpr std::uint32_t kEepromControl = 0x0E;
  static constexpr std::uint32_t kMdiControl = 0x10;

  Adapter(const AdapterConfig& conf, VirtualClock& clock);
  // Saves the EEPROM's words when the configuration asks for it and
  // save_eeprom() has not done so.
  ~Adapter() override;
  // Writes the EEPROM's words to the configuration's save file; false when
  // there is none or no word changed. Throws std::runtime_error when the
  // file cannot be written (the old image is then kept whole).
  bool save_eeprom();

  // The register block; width 1, 2 or 4. Offsets beyond the block read 0
  // and ignore writes, as the reserved part of the memory window does.
  std::uint32_t read(std::uint32_t offset, unsigned width);
  void write(std::uint32_t offset, unsigned width, std::uint32_t value);

  // The handler (not owned) takes over [offset, offset + length).
  void attach_register(std::uint32_t offset, std::uint32_t length, RegisterHandler* handler);

  VirtualClock& clock() { return clock_; }

  // The parts on the board, built from the configuration's `eeprom` and `phys`.
  MicrowireEeprom& eeprom() { return eeprom_; }
  MdiController& mdi() { return mdi_; }
  EepromControlRegister& eeprom_register() { return eeprom_handler_.control(); }

  std::uint32_t bar_read(std::size_t index, std::uint32_t offset, unsigned width) override;
  void bar_write(std::size_t index, std::uint32_t offset, unsigned width, std::uint32_t value) override;

 private:
  struct Attached {
    std::uint32_t offset;
    std::uint32_t length;
    RegisterHandler* handler;
  };
  // Register models over the EEPROM and MDI control registers.
  class EepromRegisterHandler : public RegisterHandler {
   public:
    explicit EepromRegisterHandler(MicrowireEeprom& part) : register_(part) {}
    std::uint32_t read(std::uint32_t offset, unsigned width) override;
    void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;
    EepromControlRegister& control() { return register_; }

   private:
    EepromControlRegister register_;
  };
  class MdiRegisterHandler : public RegisterHandler {
   public:
    explicit MdiRegisterHandler(MdiController& mdi) : mdi_(mdi) {}
    std::uint32_t read(std::uint32_t offset, unsigned width) override;
    void write(std::uint32_t offset, unsigned width, std::uint32_t value) override;

   private:
    MdiController& mdi_;
  };

  RegisterHandler* handler_for(std::uint32_t offset, unsigned width, std::uint32_t& base) const;
  const Attached* attached_at(std::uint32_t offset) const;
  VirtualClock& clock_;
  MicrowireEeprom eeprom_;
  MdiController mdi_;
  EepromRegisterHandler eeprom_handler_{eeprom_};
  MdiRegisterHandler mdi_handler_{mdi_};
  std::array<std::uint8_t, kRegisterBlockSize> registers_{};
  std::vector<Attached> attached_;
  bool eeprom_saved_ = false;
};

}  // namespace sim::hw
