// Model of a 10/100 Ethernet PHY's management registers (IEEE 802.3
// clause 22) and of the adapter's MDI control register that runs the
// management frames to it.
//
// MDI control register (32 bits): data 0-15, PHY register 16-20, PHY
// address 21-25, opcode 26-27 (01 write, 10 read), ready 28. Writing it with
// a read or write opcode starts one management frame and clears ready; the
// frame takes `cycle_time_ns` of virtual time (default: 64 MDC periods of
// 400 ns, preamble included), after which the PHY has taken the data of a
// write, or the data field holds the register of a read, and ready is set.
// An address with no PHY leaves MDIO to its pull-up: reads give 0xFFFF.
// The ready bit (28) is set by the adapter at the end of a frame and is
// otherwise what software last wrote: software clears it with the command
// word it writes, and one written with ready set reads ready at once,
// before the frame is done.
//
// PHY timing (clause 22): a reset keeps BMCR bit 15 set until it is over
// (`reset_time_ns`, at most 0.5 s); autonegotiation, started by the end of
// a reset, by enabling it or by restarting it, keeps "complete" and link
// status clear and the partner's abilities unknown for `autoneg_time_ns`.
// Without a clock (a PHY on its own) both take no time.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "sim/common/clock.h"

namespace sim::hw {

namespace mii {
// Register numbers.
inline constexpr unsigned kBmcr = 0, kBmsr = 1, kPhyId1 = 2, kPhyId2 = 3, kAnar = 4, kAnlpar = 5, kAner = 6, kAnnp = 7,
                          kAnlpnp = 8;
// BMCR bits.
inline constexpr std::uint16_t kBmcrReset = 0x8000, kBmcrLoopback = 0x4000, kBmcrSpeed100 = 0x2000,
                               kBmcrAnEnable = 0x1000, kBmcrPowerDown = 0x0800, kBmcrIsolate = 0x0400,
                               kBmcrRestartAn = 0x0200, kBmcrFullDuplex = 0x0100, kBmcrCollisionTest = 0x0080;
// BMSR bits.
inline constexpr std::uint16_t kBmsr100T4 = 0x8000, kBmsr100Full = 0x4000, kBmsr100Half = 0x2000, kBmsr10Full = 0x1000,
                               kBmsr10Half = 0x0800, kBmsrPreambleSuppression = 0x0040, kBmsrAnComplete = 0x0020,
                               kBmsrRemoteFault = 0x0010, kBmsrAnAbility = 0x0008, kBmsrLinkStatus = 0x0004,
                               kBmsrJabber = 0x0002, kBmsrExtended = 0x0001;
// ANAR / ANLPAR technology bits (selector field 00001 = IEEE 802.3).
inline constexpr std::uint16_t kAn100Full = 0x0100, kAn100Half = 0x0080, kAn10Full = 0x0040, kAn10Half = 0x0020,
                               kAnAck = 0x4000, kAnSelector8023 = 0x0001;
}  // namespace mii

class Phy {
 public:
  static constexpr std::uint64_t kDefaultResetTimeNs = 1'000'000;        // 1 ms
  static constexpr std::uint64_t kMaxResetTimeNs = 500'000'000;          // 0.5 s, the clause-22 bound
  static constexpr std::uint64_t kDefaultAutonegTimeNs = 1'500'000'000;  // 1.5 s

  // Power-up values of a 10/100 PHY with autonegotiation enabled, a link
  // partner advertising 10/100 half and full duplex, link up: the state
  // long after power-up, autonegotiation settled.
  Phy();
  explicit Phy(const sim::VirtualClock* clock);

  // A management read: the latching BMSR bits (link status latches low)
  // are updated by it.
  std::uint16_t read(unsigned reg);
  // A management write: read-only bits keep their value, BMCR reset
  // restores the power-up values and self-clears, restart-AN self-clears.
  void write(unsigned reg, std::uint16_t value);
  // The register without side effects.
  std::uint16_t peek(unsigned reg) const {
    settle();
    return regs_.at(reg);
  }
  bool resetting() const {
    settle();
    return resetting_;
  }
  bool negotiating() const {
    settle();
    return negotiating_;
  }
  void set_reset_time_ns(std::uint64_t ns) { reset_time_ns_ = ns; }
  void set_autoneg_time_ns(std::uint64_t ns) { autoneg_time_ns_ = ns; }

  // Hardware profile override: becomes the power-up and current value
  // (read-only bits included; this is what the part is strapped to).
  void set_power_up_value(unsigned reg, std::uint16_t value);
  // Link state from the cable side; a drop is latched in BMSR until read.
  void set_link(bool up);
  bool link_up() const { return link_up_; }

  bool never_ready = false;  // fault: frames to this PHY never complete

  static std::uint16_t writable_mask(unsigned reg);

 private:
  std::uint64_t now() const { return clock_ ? clock_->now_ns() : 0; }
  // Ends a reset or an autonegotiation whose time is up.
  void settle() const;
  void start_autoneg() const;

  const sim::VirtualClock* clock_ = nullptr;
  std::array<std::uint16_t, 32> power_up_{};
  mutable std::array<std::uint16_t, 32> regs_{};
  bool link_up_ = true;
  mutable bool link_dropped_ = false;  // latched until BMSR is read
  std::uint64_t reset_time_ns_ = kDefaultResetTimeNs;
  std::uint64_t autoneg_time_ns_ = kDefaultAutonegTimeNs;
  mutable bool resetting_ = false, negotiating_ = false;
  mutable std::uint64_t reset_done_ns_ = 0, autoneg_done_ns_ = 0;
};

struct MdiFrame {
  std::uint64_t start_ns = 0;
  std::uint32_t command = 0;  // the word written to the register
  unsigned phy_address = 0;
  unsigned reg = 0;
  bool write = false;
  std::uint16_t data = 0;  // written, or read back when completed
  bool completed = false;
  bool overrun = false;  // a new command was written before this one completed
};

class MdiController {
 public:
  static constexpr std::uint32_t kReady = 0x10000000;
  static constexpr std::uint64_t kDefaultCycleTimeNs = 64 * 400;

  explicit MdiController(const sim::VirtualClock& clock);  // one PHY at address 1

  // A 32-bit write of the register: starts a frame when the opcode is read
  // or write; other opcodes run no frame and leave ready set.
  void write(std::uint32_t value);
  // A narrower write (byte_mask has 0xFF in each byte written): the bytes
  // are latched, and a frame starts only when the top byte, which holds
  // the opcode, is among them.
  void write_partial(std::uint32_t value, std::uint32_t byte_mask);
  // The register as read now (a frame that is due completes first).
  std::uint32_t read();

  Phy& add_phy(unsigned address);  // replaces any PHY at that address
  void remove_phy(unsigned address) { phys_.erase(address); }
  Phy* phy(unsigned address);
  const std::map<unsigned, Phy>& phys() const { return phys_; }

  void set_cycle_time_ns(std::uint64_t ns) { cycle_time_ns_ = ns; }
  std::uint64_t cycle_time_ns() const { return cycle_time_ns_; }
  // The most recent frames; at kRecorderLimit the older half is dropped, so
  // the recorder stays small whatever the traffic.
  static constexpr std::size_t kRecorderLimit = 1 << 12;
  const std::vector<MdiFrame>& frames() const { return frames_; }
  void clear_frames() { frames_.clear(); }

 private:
  void settle();

  const sim::VirtualClock& clock_;
  std::map<unsigned, Phy> phys_;
  std::uint64_t cycle_time_ns_ = kDefaultCycleTimeNs;
  std::uint32_t value_ = kReady;
  bool in_flight_ = false;
  std::uint64_t done_at_ns_ = 0;
  std::vector<MdiFrame> frames_;
};

// One entry of the `phys` object of a hardware profile.
struct PhyProfile {
  unsigned address = 1;
  bool present = true;  // false: no PHY answers at this address
  bool never_ready = false;
  std::uint64_t reset_time_ns = Phy::kDefaultResetTimeNs;
  std::uint64_t autoneg_time_ns = Phy::kDefaultAutonegTimeNs;
  std::map<unsigned, std::uint16_t> registers;  // power-up values replacing the defaults
};

// Reads the `phys` object: PHY address -> object of register number ->
// value, plus "never_ready": true as a fault, "reset_time_us" (at most
// 500000) and "autoneg_time_us", e.g. {"1": {"2": 680}}.
// Registers not given keep the model's defaults; null in place of the
// object means no PHY at that address. Keys are decimal or 0x-hex. Throws
// std::runtime_error on malformed input.
std::vector<PhyProfile> phys_profile_from_json(const nlohmann::json& phys);
void apply_phys_profile(MdiController& mdi, const std::vector<PhyProfile>& phys);
inline void apply_phys_profile(MdiController& mdi, const nlohmann::json& phys) {
  apply_phys_profile(mdi, phys_profile_from_json(phys));
}

}  // namespace sim::hw
