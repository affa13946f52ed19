#include "sim/hw/phy.h"

#include "sim/common/profile_schema.h"
#include "sim/hw/eeprom.h"

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace sim::hw {

using namespace mii;

Phy::Phy() {
  power_up_[kBmcr] = kBmcrSpeed100 | kBmcrAnEnable;
  power_up_[kBmsr] = kBmsr100Full | kBmsr100Half | kBmsr10Full | kBmsr10Half | kBmsrPreambleSuppression |
                     kBmsrAnComplete | kBmsrAnAbility | kBmsrLinkStatus | kBmsrExtended;  // 0x786D
  // Organisationally unique identifier, model and revision of the
  // simulated part (not a registered vendor's).
  power_up_[kPhyId1] = 0x0E5E;
  power_up_[kPhyId2] = 0x7C11;
  power_up_[kAnar] = kAn100Full | kAn100Half | kAn10Full | kAn10Half | kAnSelector8023;             // 0x01E1
  power_up_[kAnlpar] = kAnAck | kAn100Full | kAn100Half | kAn10Full | kAn10Half | kAnSelector8023;  // 0x41E1
  power_up_[kAner] = 0x0001;  // link partner is autonegotiation able
  regs_ = power_up_;
}

Phy::Phy(const sim::VirtualClock* clock) : Phy() { clock_ = clock; }

void Phy::start_autoneg() const {
  // Until the exchange with the partner is over: not complete, no link,
  // the partner's abilities not yet received.
  negotiating_ = true;
  autoneg_done_ns_ = now() + (clock_ ? autoneg_time_ns_ : 0);
  if (regs_[kBmsr] & kBmsrLinkStatus) link_dropped_ = true;  // the link goes down: latched low until read
  regs_[kBmsr] &= static_cast<std::uint16_t>(~(kBmsrAnComplete | kBmsrLinkStatus));
  regs_[kAnlpar] = 0;
  regs_[kAner] &= static_cast<std::uint16_t>(~0x0001);
  settle();
}

void Phy::settle() const {
  if (resetting_ && now() >= reset_done_ns_) {
    resetting_ = false;
    regs_[kBmcr] &= static_cast<std::uint16_t>(~kBmcrReset);
    if (regs_[kBmcr] & kBmcrAnEnable) start_autoneg();
  }
  if (negotiating_ && !resetting_ && now() >= autoneg_done_ns_) {
    negotiating_ = false;
    regs_[kAnlpar] = power_up_[kAnlpar];
    regs_[kAner] = power_up_[kAner];
    if (link_up_) regs_[kBmsr] |= kBmsrAnComplete | kBmsrLinkStatus;
  }
}

std::uint16_t Phy::writable_mask(unsigned reg) {
  switch (reg) {
    case kBmcr: return 0xFF80;                    // bits 6..0: speed MSB (1000 Mb/s only) and reserved
    case kAnar: return 0xBFFF;                    // bit 14 reserved
    case kAnnp: return 0xB7FF;                    // bits 14 (ack) and 11 (toggle) belong to the PHY
    default: return reg >= 16 ? 0xFFFF : 0x0000;  // vendor registers read/write; the rest is status
  }
}

std::uint16_t Phy::read(unsigned reg) {
  settle();
  std::uint16_t v = regs_.at(reg);
  if (reg == kBmsr) {
    if (link_dropped_) v &= static_cast<std::uint16_t>(~kBmsrLinkStatus);
    link_dropped_ = false;
  }
  return v;
}

void Phy::write(unsigned reg, std::uint16_t value) {
  settle();
  // While a reset runs the PHY takes no writes (clause 22 lets it ignore
  // them until the reset bit has cleared).
  if (resetting_) return;
  if (reg == kBmcr && (value & kBmcrReset)) {
    // Reset returns every register to its power-up value; the link state
    // belongs to the cable and stays. The reset bit reads 1 until it is over.
    const bool had_link = regs_[kBmsr] & kBmsrLinkStatus;
    regs_ = power_up_;
    set_link(link_up_);
    if (had_link) link_dropped_ = true;  // the reset takes the link down: latched low until read
    negotiating_ = false;
    resetting_ = true;
    reset_done_ns_ = now() + (clock_ ? reset_time_ns_ : 0);
    regs_[kBmcr] |= kBmcrReset;
    regs_[kBmsr] &= static_cast<std::uint16_t>(~(kBmsrAnComplete | kBmsrLinkStatus));
    settle();
    return;
  }
  const std::uint16_t mask = writable_mask(reg);
  const std::uint16_t old = regs_.at(reg);
  std::uint16_t v = static_cast<std::uint16_t>((old & ~mask) | (value & mask));
  if (reg == kBmcr) v &= static_cast<std::uint16_t>(~kBmcrRestartAn);  // self-clearing
  regs_[reg] = v;
  // Restarting, or enabling, autonegotiation starts a new exchange.
  if (reg == kBmcr && (v & kBmcrAnEnable) && ((value & kBmcrRestartAn) || !(old & kBmcrAnEnable))) start_autoneg();
}

void Phy::set_power_up_value(unsigned reg, std::uint16_t value) {
  power_up_.at(reg) = value;
  regs_[reg] = value;
  if (reg == kBmsr) {
    link_up_ = value & kBmsrLinkStatus;
    link_dropped_ = false;
  }
}

void Phy::set_link(bool up) {
  if (link_up_ && !up) link_dropped_ = true;
  link_up_ = up;
  const std::uint16_t bits = kBmsrLinkStatus | kBmsrAnComplete;
  settle();
  if (up && (resetting_ || negotiating_)) return;  // the link comes with the end of autonegotiation
  if (up)
    regs_[kBmsr] |= bits;
  else
    regs_[kBmsr] &= static_cast<std::uint16_t>(~bits);
}

MdiController::MdiController(const sim::VirtualClock& clock) : clock_(clock) { add_phy(1); }

Phy& MdiController::add_phy(unsigned address) {
  if (address > 31) throw std::invalid_argument("mdi: PHY address above 31");
  phys_.erase(address);
  return phys_.emplace(address, Phy{&clock_}).first->second;
}

Phy* MdiController::phy(unsigned address) {
  auto it = phys_.find(address);
  return it == phys_.end() ? nullptr : &it->second;
}

void MdiController::write(std::uint32_t value) {
  settle();
  if (in_flight_) {
    // The new command word cuts the running frame short.
    frames_.back().overrun = true;
    in_flight_ = false;
  }
  // The ready bit takes what was written: the adapter sets it only at the
  // end of a frame, so a command written with it set reads ready at once.
  value_ = value;
  const unsigned opcode = (value >> 26) & 3;
  if (opcode != 1 && opcode != 2) return;  // no frame
  if (frames_.size() >= kRecorderLimit) frames_.erase(frames_.begin(), frames_.begin() + kRecorderLimit / 2);
  MdiFrame f;
  f.start_ns = clock_.now_ns();
  f.command = value;
  f.reg = (value >> 16) & 0x1F;
  f.phy_address = (value >> 21) & 0x1F;
  f.write = opcode == 1;
  f.data = static_cast<std::uint16_t>(value & 0xFFFF);
  frames_.push_back(f);
  in_flight_ = true;
  done_at_ns_ = clock_.now_ns() + cycle_time_ns_;
}

void MdiController::write_partial(std::uint32_t value, std::uint32_t byte_mask) {
  settle();
  const std::uint32_t merged = (value_ & ~byte_mask) | (value & byte_mask);
  if (byte_mask & 0xFF000000u)
    write(merged);
  else
    value_ = merged;
}

std::uint32_t MdiController::read() {
  settle();
  return value_;
}

void MdiController::settle() {
  if (!in_flight_ || clock_.now_ns() < done_at_ns_) return;
  MdiFrame& f = frames_.back();
  Phy* p = phy(f.phy_address);
  if (p && p->never_ready) return;  // the frame never finishes
  if (f.write) {
    if (p) p->write(f.reg, f.data);
  } else {
    f.data = p ? p->read(f.reg) : 0xFFFF;  // no PHY: MDIO stays pulled up
    value_ = (value_ & 0xFFFF0000u) | f.data;
  }
  f.completed = true;
  value_ |= kReady;
  in_flight_ = false;
}

namespace {

unsigned parse_index(const std::string& key, unsigned max, const char* what) {
  const auto v = schema::whole_number(key, 0);
  if (!v || *v > max) throw std::runtime_error(std::string("phys: bad ") + what + " '" + key + "'");
  return static_cast<unsigned>(*v);
}

}  // namespace

std::vector<PhyProfile> phys_profile_from_json(const nlohmann::json& phys) {
  if (!phys.is_object()) throw std::runtime_error("phys: must be an object");
  std::vector<PhyProfile> out;
  for (const auto& [addr_key, regs] : phys.items()) {
    PhyProfile p;
    p.address = parse_index(addr_key, 31, "PHY address");
    if (regs.is_null()) {
      p.present = false;
      out.push_back(std::move(p));
      continue;
    }
    if (!regs.is_object()) throw std::runtime_error("phys: PHY " + addr_key + " must be an object");
    for (const auto& [reg_key, value] : regs.items()) {
      if (reg_key == "reset_time_us") {
        p.reset_time_ns =
            profile_number(value, "phys: PHY " + addr_key + " reset_time_us", Phy::kMaxResetTimeNs / 1000) * 1000;
        continue;
      }
      if (reg_key == "autoneg_time_us") {
        p.autoneg_time_ns = profile_number(value, "phys: PHY " + addr_key + " autoneg_time_us", 60'000'000) * 1000;
        continue;
      }
      if (reg_key == "never_ready") {
        if (!value.is_boolean()) throw std::runtime_error("phys: never_ready must be true or false");
        p.never_ready = value.get<bool>();
        continue;
      }
      const unsigned reg = parse_index(reg_key, 31, "register number");
      p.registers[reg] =
          static_cast<std::uint16_t>(profile_number(value, "phys: PHY " + addr_key + " register " + reg_key, 0xFFFF));
    }
    out.push_back(std::move(p));
  }
  return out;
}

void apply_phys_profile(MdiController& mdi, const std::vector<PhyProfile>& phys) {
  for (const auto& entry : phys) {
    if (!entry.present) {
      mdi.remove_phy(entry.address);
      continue;
    }
    Phy* p = mdi.phy(entry.address);
    if (!p) p = &mdi.add_phy(entry.address);
    p->never_ready = entry.never_ready;
    p->set_reset_time_ns(entry.reset_time_ns);
    p->set_autoneg_time_ns(entry.autoneg_time_ns);
    for (const auto& [reg, value] : entry.registers) p->set_power_up_value(reg, value);
  }
}

}  // namespace sim::hw
