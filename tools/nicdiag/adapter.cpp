#include "tools/nicdiag/adapter.h"

#include "uninstaller/supported_devices.h"

namespace nicdiag {
namespace {

// The adapters the uninstaller recognises on NT, where nicdiag runs: every
// row of the shared list.
constexpr uint32_t kSupportedVendor = SUPPORTED_VENDOR;
#define SUPPORTED_DEVICE_ID(id, nt_only) id,
constexpr uint32_t kSupportedDevices[] = {SUPPORTED_DEVICES(SUPPORTED_DEVICE_ID)};
#undef SUPPORTED_DEVICE_ID

bool IsSupportedAdapter(uint32_t vendor, uint32_t device) {
  if (vendor != kSupportedVendor) return false;
  for (uint32_t id : kSupportedDevices)
    if (id == device) return true;
  return false;
}

}  // namespace

bool ParseHwOptions(Run &run, bool eeprom, const char *usage, HwOptions &o) {
  bool has_bus = false;
  for (size_t i = 1; i < run.words.size(); i++) {
    const std::string &w = run.words[i];
    auto number = [&](const char *what, uint32_t &v) {
      i++;
      return run.Number(i, what, v);
    };
    if (w == "--method") {
      if (i + 1 >= run.words.size() || (run.words[i + 1] != "io" && run.words[i + 1] != "mem"))
        return run.Usage("--method takes io or mem");
      o.memory = run.words[++i] == "mem";
    } else if (w == "--register") {
      if (!number("register address", o.register_address)) return false;
      o.has_register = true;
    } else if (w == "--bus") {
      if (!number("bus", o.bus)) return false;
      if (o.bus > 255) return run.Usage("--bus must be 0 to 255");
      has_bus = true;
    } else if (w == "-s") {
      if (i + 1 >= run.words.size() || !ParseFunctionAddress(run.words[i + 1], o.bus, o.slot))
        return run.Usage("-s needs [[DOMAIN:]BUS:]DEVICE[.FUNCTION] in hexadecimal, as lspci -s takes it (00:03.0)");
      i++;
      if (o.has_slot) return run.Usage("give -s or --bus/--device once");
      o.has_slot = has_bus = true;
    } else if (w == "--device") {
      if (o.has_slot) return run.Usage("give -s or --bus/--device once");
      if (i + 1 >= run.words.size()) return run.Usage("--device needs DEVICE or DEVICE.FUNCTION");
      if (!ParseSlot(run.words[++i], o.slot) || o.slot > 0xFF)
        return run.Usage("bad --device '" + run.words[i] + "' (DEVICE 0-31, or DEVICE.FUNCTION)");
      o.has_slot = true;
    } else if (eeprom && w == "--size") {
      if (!number("size", o.size)) return false;
      if (o.size != 64 && o.size != 128 && o.size != 256) return run.Usage("--size must be 64, 128 or 256");
    } else if (eeprom && w == "--out") {
      if (i + 1 >= run.words.size()) return run.Usage("--out needs a file name");
      o.out = run.words[++i];
    } else if (eeprom && w == "--yes") {
      o.yes = true;
    } else if (eeprom && w == "--checksum") {
      o.checksum = true;
    } else if (eeprom && w == "--ignore-checksum") {
      o.ignore_checksum = true;
    } else if (!eeprom && w == "--phy-address") {
      if (!number("PHY address", o.phy_address)) return false;
      // The driver's command word always has bit 0 of the PHY address set;
      // the register argument can only add bits 1 to 4.
      if (o.phy_address > 31 || (o.phy_address & 1) == 0)
        return run.Usage("--phy-address must be odd and below 32: the driver always sets bit 0 of the PHY address");
    } else if (w.size() > 1 && w[0] == '-' && w[1] == '-') {
      return run.Usage("unknown option '" + w + "'");
    } else {
      o.positional.push_back(w);
    }
  }
  if (has_bus && !o.has_slot) return run.Usage("--bus needs --device");
  if (o.has_slot && o.has_register) return run.Usage("give -s or --bus/--device, or --register, not both");
  if (o.positional.empty()) return run.Usage(usage);
  return true;
}

std::string AdapterRef::Name() const {
  return known ? SlotText(bus, slot) + Format(" %04llx:%04llx", vendor, device) : "adapter not identified";
}

std::string AdapterRef::Json() const {
  if (!known) return ",\"adapter\":null";
  return ",\"adapter\":\"" + Name() + "\"" + Format(",\"bus\":%llu,\"device\":%llu", bus, slot & 0x1F) +
         Format(",\"function\":%llu,\"vendor\":%llu,\"device_id\":%llu", (slot >> 5) & 7, vendor, device);
}

void AdapterRef::From(uint32_t b, uint32_t s, const std::vector<uint8_t> &head) {
  known = true;
  bus = b;
  slot = s;
  vendor = head[0] | (head[1] << 8);
  device = head[2] | (head[3] << 8);
  io = memory = 0;
  for (int bar = 0; bar < 6; bar++) {
    uint32_t v = head[0x10 + 4 * bar] | head[0x11 + 4 * bar] << 8 | head[0x12 + 4 * bar] << 16 |
                 static_cast<uint32_t>(head[0x13 + 4 * bar]) << 24;
    if ((v & 1) != 0 && io == 0) io = v & ~3u;
    if ((v & 1) == 0 && memory == 0) memory = v & ~0xFu;
  }
}

bool FindRegisterBlock(Run &run, const HwOptions &o, uint32_t offset, RegisterBlock &block) {
  AdapterRef &adapter = block.adapter;
  if (o.has_register) {
    block.base = o.register_address - offset;
    if (run.checking) return run.Send(0, {}, 0, false);
    // Name the adapter whose I/O window holds the register, when one does.
    if (!o.memory && !ForEachFunction(run, 64, [&](uint32_t bus, uint32_t slot, const std::vector<uint8_t> &head) {
          AdapterRef candidate;
          candidate.From(bus, slot, head);
          if (candidate.io == 0 || block.base < candidate.io || block.base - candidate.io >= 0x40) return false;
          adapter = candidate;
          return true;
        }))
      return false;
    return true;
  }
  if (o.has_slot) {
    std::vector<uint8_t> head;
    if (!PciTransfer(run, false, o.bus, o.slot, 0, 64, {}, head)) return false;
    if (head.empty())
      return run.Fail(Format("no PCI bus %llu: the HAL read nothing from ", o.bus) + SlotText(o.bus, o.slot));
    if (head.size() < 64 || (head[0] == 0xFF && head[1] == 0xFF) || (head[0] == 0 && head[1] == 0))
      return run.Fail("no PCI function at " + SlotText(o.bus, o.slot));
    adapter.From(o.bus, o.slot, head);
  } else {
    if (!ForEachFunction(run, 64, [&](uint32_t bus, uint32_t slot, const std::vector<uint8_t> &head) {
          const uint32_t vendor = head[0] | (head[1] << 8), device = head[2] | (head[3] << 8);
          if (!IsSupportedAdapter(vendor, device)) return false;
          adapter.From(bus, slot, head);
          return true;
        }))
      return false;
    if (!adapter.known)
      return run.Fail(
          "no supported adapter found (vendor 8086, device 1229, 1000 or 5201); name another with "
          "--bus and --device, or its register with --register");
  }
  if (!o.memory) {
    if (adapter.io != 0) {
      block.base = adapter.io;
      return true;
    }
  } else if (adapter.memory != 0) {
    KDVR_MAP_ARGS map{};
    map.BusAddress = adapter.memory;
    map.BusNumber = adapter.bus;
    map.Length = 0x40;
    if (!run.Request(IOCTL_KDVR_MAP_MEMORY, map, 4)) return false;
    block.mapped = block.base = run.Word(0);
    if (block.base != 0) return true;
    return run.Fail(adapter.Name() + Format(": the memory window 0x%08llX could not be mapped", adapter.memory));
  }
  return run.Fail(adapter.Name() + ": no " + (o.memory ? "memory" : "I/O") +
                  " window; name the register with --register");
}

}  // namespace nicdiag
