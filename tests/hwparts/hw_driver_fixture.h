// The driver on a simulated machine whose adapter carries a chosen EEPROM
// and PHYs; requests are built the way a client builds them.
#pragma once
#include <nlohmann/json.hpp>

#include "sim/hw/adapter.h"
#include "sim/hw/profile.h"
#include "tests/driver/driver_fixture.h"

namespace nicport_test {

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
  uint32_t EepromRegister(Method m) { return m == Method::io ? kAdapterPort + 0x0E : MapAdapter() + 0x0E; }
  static uint16_t AddressMethod(Method m) { return m == Method::io ? 0 : 2; }
  // The register base for the PHY codes, with its selector (0 memory).
  uint32_t RegisterBase(Method m) { return m == Method::io ? kAdapterPort : MapAdapter(); }

  uint32_t ReadWord(uint32_t reg, uint16_t size, uint16_t address, uint16_t method) {
    auto r = Call(IOCTL_KDVR_READ_EEPROM, KDVR_READ_EEPROM_ARGS{reg, size, address, method}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return WordAt(r, 0);
  }
  uint32_t WriteWord(uint32_t reg, uint16_t size, uint16_t address, uint16_t data, uint16_t method) {
    auto r = Call(IOCTL_KDVR_WRITE_EEPROM, KDVR_WRITE_EEPROM_ARGS{reg, size, address, data, method}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return WordAt(r, 0);
  }
  uint32_t Size(uint32_t reg, uint16_t method) {
    auto r = Call(IOCTL_KDVR_GET_EEPROM_SIZE, KDVR_EEPROM_SIZE_ARGS{reg, 0xFFFFFFFF, method}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return WordAt(r, 0);
  }
  uint32_t MdiReadCode(uint32_t base, uint16_t reg, uint16_t selector) {
    auto r = Call(IOCTL_KDVR_MDI_READ, KDVR_MDI_READ_ARGS{base, reg, 0, selector}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return WordAt(r, 0);
  }
  void MdiWriteCode(uint32_t base, uint16_t reg, uint32_t data, uint16_t selector) {
    auto r = Call(IOCTL_KDVR_MDI_WRITE, KDVR_MDI_WRITE_ARGS{base, reg, 0, data, selector}, 0);
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
