// The driver on a simulated machine whose adapter carries a chosen EEPROM
// and PHYs; requests are built the way a client builds them.
#pragma once
#include <nlohmann/json.hpp>

#include "sim/hw/adapter.h"
#include "sim/hw/profile.h"
#include "tests/driver/driver_fixture.h"

namespace nicport_test {

// The 24-byte parameter block, filled field by field.
struct Block {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(24, 0);
  Block &u16(size_t at, uint32_t v) {
    bytes[at] = static_cast<uint8_t>(v);
    bytes[at + 1] = static_cast<uint8_t>(v >> 8);
    return *this;
  }
  Block &u32(size_t at, uint32_t v) { return u16(at, v & 0xFFFF).u16(at + 2, v >> 16); }
};

enum class Method { io, mem };

class HwDriverTest : public DriverTest {
 protected:
  bool LoadAtSetUp() const override { return false; }

  // Loads the default machine with the adapter's "eeprom" and "phys"
  // replaced (null keeps the default).
  void LoadWith(const nlohmann::json &eeprom, const nlohmann::json &phys = nullptr) {
    nlohmann::json profile = nlohmann::json::parse(sim::hw::default_profile_json());
    if (!eeprom.is_null()) profile["adapters"][0]["eeprom"] = eeprom;
    if (!phys.is_null()) profile["adapters"][0]["phys"] = phys;
    k.load_profile_text(profile.dump(), "test profile");
    Load();
  }

  sim::hw::Adapter &Adapter() { return *k.adapter(0); }
  sim::hw::MicrowireEeprom &Part() { return Adapter().eeprom(); }

  // The EEPROM control register as the client names it, with its
  // AddressMethod (0 port, 2 memory).
  uint32_t EepromRegister(Method m) {
    return m == Method::io ? kAdapterPort + 0x0E : MapAdapter() + 0x0E;
  }
  static uint32_t AddressMethod(Method m) { return m == Method::io ? 0 : 2; }
  // The register base for the PHY codes, with its selector (0 memory).
  uint32_t RegisterBase(Method m) { return m == Method::io ? kAdapterPort : MapAdapter(); }

  uint32_t ReadWord(uint32_t reg, uint32_t size, uint32_t address, uint32_t method) {
    auto r = Call(IOCTL_KDVR_READ_EEPROM, Block().u32(0, reg).u16(4, size).u16(6, address).u16(8, method).bytes, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return WordAt(r, 0);
  }
  uint32_t WriteWord(uint32_t reg, uint32_t size, uint32_t address, uint32_t data, uint32_t method) {
    auto r = Call(IOCTL_KDVR_WRITE_EEPROM,
                  Block().u32(0, reg).u16(4, size).u16(6, address).u16(8, data).u16(10, method).bytes, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return WordAt(r, 0);
  }
  uint32_t Size(uint32_t reg, uint32_t method) {
    auto r = Call(IOCTL_KDVR_GET_EEPROM_SIZE, Block().u32(0, reg).u32(4, 0xFFFFFFFF).u16(8, method).bytes, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return WordAt(r, 0);
  }
  uint32_t MdiReadCode(uint32_t base, uint32_t reg, uint32_t selector) {
    auto r = Call(IOCTL_KDVR_MDI_READ, Block().u32(0, base).u16(4, reg).u16(8, selector).bytes, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return WordAt(r, 0);
  }
  void MdiWriteCode(uint32_t base, uint32_t reg, uint32_t data, uint32_t selector) {
    auto r = Call(IOCTL_KDVR_MDI_WRITE, Block().u32(0, base).u16(4, reg).u32(8, data).u16(12, selector).bytes, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
  }

  // Virtual microseconds taken by f.
  template <typename F>
  uint64_t TimeUs(F f) {
    uint64_t before = k.now_us();
    f();
    return k.now_us() - before;
  }
};

inline nlohmann::json Ramp(unsigned words) {
  nlohmann::json list = nlohmann::json::array();
  for (unsigned i = 0; i < words; i++) list.push_back(0xA500 + i);
  return list;
}

}  // namespace nicport_test
