// The phy command: the PHY's management registers through the driver's MDI
// codes, decoded as IEEE 802.3 clause 22 defines them.
#include <string>
#include <vector>

#include "tools/nicdiag/adapter.h"

namespace nicdiag {
namespace {

std::string Abilities(uint32_t v) {
  std::string text;
  const struct {
    uint32_t bit;
    const char *name;
  } kAbilities[] = {{0x0100, "100FD"}, {0x0200, "100T4"}, {0x0080, "100HD"}, {0x0040, "10FD"}, {0x0020, "10HD"}};
  for (const auto &a : kAbilities)
    if (v & a.bit) text += std::string(text.empty() ? "" : " ") + a.name;
  return text.empty() ? "none" : text;
}

// Speed and duplex as IEEE 802.3 clause 22 defines them: forced by BMCR
// when autonegotiation is off; when it is on, only once it is complete, as
// the highest common ability of ANAR and ANLPAR (100BASE-TX full, T4,
// 100BASE-TX half, 10BASE-T full, 10BASE-T half). resolved is false while
// autonegotiation has not completed or found no common ability.
struct LinkMode {
  bool resolved = false;
  uint32_t speed = 0;
  bool full = false;
  std::string how;
  LinkMode(uint32_t bmcr, uint32_t bmsr, uint32_t anar, uint32_t anlpar) {
    if ((bmcr & 0x1000) == 0) {
      resolved = true;
      speed = (bmcr & 0x2000) ? 100 : 10;
      full = (bmcr & 0x0100) != 0;
      how = "forced";
      return;
    }
    if ((bmsr & 0x0020) == 0) {
      how = "autonegotiation not complete: speed and duplex not resolved";
      return;
    }
    const uint32_t common = anar & anlpar;
    const struct {
      uint32_t bit, speed;
      bool full;
    } kPriority[] = {
        {0x0100, 100, true}, {0x0200, 100, false}, {0x0080, 100, false}, {0x0040, 10, true}, {0x0020, 10, false}};
    for (const auto &p : kPriority) {
      if (common & p.bit) {
        resolved = true;
        speed = p.speed;
        full = p.full;
        how = "autonegotiated";
        return;
      }
    }
    how = "autonegotiation complete but no common ability";
  }
  std::string Text() const {
    if (!resolved) return how;
    return Format("%llu Mb/s ", speed) + (full ? "full" : "half") + " duplex (" + how + ")";
  }
};

// One PHY reached through the driver's MDI codes. After each cycle the MDI
// control register is read back: the driver polls a bounded time and
// returns whatever the register held, so a cycle that never completed
// shows only as the ready bit (28) still clear.
struct Mdi {
  Run &run;
  const RegisterBlock &block;
  bool memory;
  uint32_t phy_address;
  bool timed_out = false;

  uint32_t Selector() const { return memory ? 0 : 1; }  // the PHY codes: 0 memory, other values port
  // Bits 5 and up of the register argument land in the PHY-address field.
  uint32_t AddressBits() const { return (phy_address & 0x1E) << 5; }

  bool Completed() {
    KDVR_PORT_ARGS control{};
    control.Address = block.base + 0x10;
    if (!run.Request(memory ? IOCTL_KDVR_READ_MEMORY_ULONG : IOCTL_KDVR_READ_PORT_ULONG, control, 4)) return false;
    timed_out = (run.Word(0) & 0x10000000u) == 0;
    return true;
  }
  bool Read(uint32_t r, uint32_t &v) {
    KDVR_MDI_READ_ARGS args{};
    args.RegisterBase = block.base;
    args.Register = static_cast<uint16_t>(r | AddressBits());
    args.AccessSelector = static_cast<uint16_t>(Selector());
    if (!run.Request(IOCTL_KDVR_MDI_READ, args, 4)) return false;
    v = run.Word(0) & 0xFFFF;
    return Completed();
  }
  bool Write(uint32_t r, uint32_t v) {
    KDVR_MDI_WRITE_ARGS args{};
    args.RegisterBase = block.base;
    args.Register = static_cast<uint16_t>(r | AddressBits());
    args.Data = v & 0xFFFF;
    args.AccessSelector = static_cast<uint16_t>(Selector());
    if (!run.Request(IOCTL_KDVR_MDI_WRITE, args, 0)) return false;
    return Completed();
  }
  // Reads registers 0 to 6; present is false when all read 0xFFFF, the idle
  // level of the pulled-up data line when no PHY drives it.
  bool Probe(uint32_t r[7], bool &present) {
    present = false;
    for (uint32_t i = 0; i < 7; i++) {
      if (!Read(i, r[i])) return false;
      if (timed_out) return true;
      present = present || r[i] != 0xFFFF;
    }
    return true;
  }
  bool TimedOut(const std::string &name, uint32_t reg) {
    return run.Fail(name + Format(": PHY %llu register %llu: the management cycle did not complete (ready bit still "
                                  "clear after the driver's poll)",
                                  phy_address, reg));
  }
  bool Absent(const std::string &name) {
    return run.Fail(name + Format(": no PHY at address %llu: registers 0 to 6 all read 0xFFFF", phy_address));
  }
};

}  // namespace

bool CommandPhy(Run &run) {
  const char *usage =
      "phy dump|scan|read REG|write REG VALUE [--phy-address N] [--method io|mem] "
      "[--bus BUS --device DEVICE[.FUNCTION] | --register BASE]";
  HwOptions o;
  if (!ParseHwOptions(run, false, usage, o)) return false;
  const std::string op = o.positional[0];
  uint32_t reg = 0, value = 0;
  if (op == "dump" || op == "scan") {
    if (o.positional.size() != 1) return run.Usage(usage);
  } else if (op == "read" || op == "write") {
    if (o.positional.size() != (op == "read" ? 2u : 3u) || !ParseNumber(o.positional[1], reg)) return run.Usage(usage);
    if (reg > 31) return run.Usage("REG must be 0 to 31");
    if (op == "write" && (!ParseNumber(o.positional[2], value) || value > 0xFFFF))
      return run.Usage("VALUE must fit in 16 bits");
  } else {
    return run.Usage(usage);
  }
  RegisterBlock block(run);
  if (!FindRegisterBlock(run, o, 0, block)) return false;
  const std::string name = block.adapter.Name();
  run.json_extra = block.adapter.Json();
  if (op == "scan") {
    std::string json = ",\"phys\":[", timed_out = ",\"timed_out\":[";
    int found = 0, stuck = 0;
    run.text = name + ": PHY addresses that answer (odd ones only: the driver always sets bit 0 of the address)";
    for (uint32_t address = 1; address < 32; address += 2) {
      Mdi mdi{run, block, o.memory, address};
      uint32_t r[7];
      bool present = false;
      if (!mdi.Probe(r, present)) return false;
      if (mdi.timed_out) {
        run.text += Format("\n  PHY %llu: the management cycle did not complete", address);
        timed_out += Format(stuck++ ? ",%llu" : "%llu", address);
        continue;
      }
      if (!present) continue;
      const LinkMode mode(r[0], r[1], r[4], r[5]);
      run.text += Format("\n  PHY %llu: ID 0x%04llX 0x%04llX, link ", address, r[2], r[3]) +
                  ((r[1] & 0x0004) ? "up" : "down") + ", " + mode.Text();
      json += Format(found++ ? ",{\"address\":%llu" : "{\"address\":%llu", address) +
              Format(",\"phyid1\":%llu,\"phyid2\":%llu,\"bmsr\":%llu}", r[2], r[3], r[1]);
    }
    if (found == 0 && stuck == 0) run.text += "\n  none";
    run.json_extra += json + "]" + timed_out + "]";
    return true;
  }
  Mdi mdi{run, block, o.memory, o.phy_address};
  const std::string where = name + Format(": PHY %llu", o.phy_address);
  run.json_extra += Format(",\"phy_address\":%llu", o.phy_address);
  uint32_t r[7];
  bool present = false;
  if (op == "read") {
    if (!mdi.Read(reg, value)) return false;
    if (mdi.timed_out) return mdi.TimedOut(name, reg);
    if (value == 0xFFFF) {
      // All ones may be a register's value; all seven basic registers so
      // is no PHY at all.
      if (!mdi.Probe(r, present)) return false;
      if (mdi.timed_out) return mdi.TimedOut(name, reg);
      if (!present) return mdi.Absent(name);
    }
    run.text = where + Format(" register %llu = 0x%04llX", reg, value);
    run.json_extra += Format(",\"register\":%llu,\"value\":%llu", reg, value);
    return true;
  }
  // A write and a dump need a PHY that answers.
  if (!mdi.Probe(r, present)) return false;
  if (mdi.timed_out) return mdi.TimedOut(name, 0);
  if (!present) return mdi.Absent(name);
  if (op == "write") {
    if (!mdi.Write(reg, value)) return false;
    if (mdi.timed_out) return mdi.TimedOut(name, reg);
    run.text = where + Format(" register %llu <- 0x%04llX", reg, value);
    run.json_extra += Format(",\"register\":%llu,\"value\":%llu", reg, value);
    return true;
  }
  // dump: BMSR again, since its link bit latches low until read.
  uint32_t bmsr_now = 0;
  if (!mdi.Read(1, bmsr_now)) return false;
  if (mdi.timed_out) return mdi.TimedOut(name, 1);
  const uint32_t bmcr = r[0], anar = r[4], anlpar = r[5];
  const bool link = (bmsr_now & 0x0004) != 0;
  const bool an_on = (bmcr & 0x1000) != 0, an_done = (bmsr_now & 0x0020) != 0;
  const LinkMode mode(bmcr, bmsr_now, anar, anlpar);
  const uint32_t oui = (r[2] << 6) | (r[3] >> 10);
  run.text = where + ":" + Format("\n  BMCR   0x%04llX  autonegotiation ", bmcr) + (an_on ? "on" : "off") +
             Format(" (forced setting: %llu Mb/s ", (bmcr & 0x2000) ? 100 : 10) + ((bmcr & 0x0100) ? "full" : "half") +
             " duplex)" + ((bmcr & 0x0800) ? ", powered down" : "") + ((bmcr & 0x0400) ? ", isolated" : "") +
             ((bmcr & 0x4000) ? ", loopback" : "") + Format("\n  BMSR   0x%04llX  link ", bmsr_now) +
             (link ? "up" : "down") + ((r[1] & 0x0004) == 0 && link ? " (was down since the last read)" : "") +
             ", autonegotiation " + (an_done ? "complete" : "not complete") +
             Format("\n  ID     0x%04llX 0x%04llX  OUI bits 3-24 0x%06llX", r[2], r[3], oui) +
             Format(", model 0x%02llX, revision %llu", (r[3] >> 4) & 0x3F, r[3] & 0xF) +
             Format("\n  ANAR   0x%04llX  ", anar) + Abilities(anar) + Format("\n  ANLPAR 0x%04llX  ", anlpar) +
             Abilities(anlpar) + ((anlpar & 0x4000) ? " (acknowledged)" : "") + "\n  link " + (link ? "up" : "down") +
             ", " + mode.Text();
  run.json_extra += Format(",\"bmcr\":%llu,\"bmsr\":%llu", bmcr, bmsr_now) +
                    Format(",\"phyid1\":%llu,\"phyid2\":%llu,\"anar\":%llu", r[2], r[3], anar) +
                    Format(",\"anlpar\":%llu", anlpar) + ",\"link\":" + (link ? "true" : "false") +
                    ",\"resolved\":" + (mode.resolved ? "true" : "false") +
                    ",\"autonegotiation\":" + (an_on ? "true" : "false") +
                    ",\"autonegotiation_complete\":" + (an_done ? "true" : "false");
  if (mode.resolved)
    run.json_extra += Format(",\"speed\":%llu", mode.speed) + ",\"full_duplex\":" + (mode.full ? "true" : "false");
  return true;
}

}  // namespace nicdiag
