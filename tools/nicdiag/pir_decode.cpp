#include "tools/nicdiag/pir_decode.h"

#include <cstdio>

namespace nicdiag {
namespace {

uint16_t Word(const std::vector<uint8_t> &b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

std::string Irqs(uint16_t bitmap) {
  std::string text;
  for (int irq = 0; irq < 16; irq++) {
    if (bitmap & (1u << irq)) text += " " + std::to_string(irq);
  }
  return text;
}

std::string Printf(const char *format, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

}  // namespace

PirTable DecodePir(const std::vector<uint8_t> &bytes) {
  PirTable t;
  if (bytes.size() < 32 || bytes[0] != '$' || bytes[1] != 'P' || bytes[2] != 'I' || bytes[3] != 'R') {
    t.problem = bytes.empty() ? "no routing table" : "not a routing table (no 32-byte \"$PIR\" header)";
    return t;
  }
  t.minor = bytes[4];
  t.major = bytes[5];
  t.size = Word(bytes, 6);
  t.router_bus = bytes[8];
  t.router_devfn = bytes[9];
  t.exclusive_irqs = Word(bytes, 10);
  t.router_vendor = Word(bytes, 12);
  t.router_device = Word(bytes, 14);
  t.miniport = static_cast<uint32_t>(bytes[16] | (bytes[17] << 8) | (bytes[18] << 16)) |
               (static_cast<uint32_t>(bytes[19]) << 24);
  if (t.size < 32 || (t.size - 32) % 16 != 0) {
    t.problem = Printf("the header states %u bytes, not 32 plus a whole number of 16-byte slot entries", t.size);
    return t;
  }
  size_t have = bytes.size() < t.size ? bytes.size() : t.size;
  if (have < t.size)
    t.problem = Printf("cut: %u of the %u bytes the header states", static_cast<unsigned>(have), t.size);
  uint8_t sum = 0;
  for (size_t i = 0; i < have; i++) sum = static_cast<uint8_t>(sum + bytes[i]);
  t.sum = sum;
  t.checksum_ok = have == t.size && sum == 0;
  for (size_t at = 32; at + 16 <= have; at += 16) {
    PirEntry e;
    e.bus = bytes[at];
    e.devfn = bytes[at + 1];
    for (int pin = 0; pin < 4; pin++) {
      e.pins[pin].link = bytes[at + 2 + 3 * pin];
      e.pins[pin].bitmap = Word(bytes, at + 3 + 3 * pin);
    }
    e.slot = bytes[at + 14];
    t.entries.push_back(e);
  }
  t.valid = true;
  return t;
}

std::string PirText(const PirTable &t) {
  if (!t.valid) return t.problem;
  std::string text = Printf("PCI Interrupt Routing %u.%u present.\n", t.major, t.minor);
  text += Printf("\tTable Size: %u bytes\n", t.size);
  text += t.checksum_ok ? "\tChecksum: OK\n" : Printf("\tChecksum: bad (the bytes sum to 0x%02X)\n", t.sum);
  text += Printf("\tRouter Device: %02x:%02x.%1x\n", t.router_bus, t.router_devfn >> 3, t.router_devfn & 7);
  text += "\tExclusive IRQs:" + (t.exclusive_irqs == 0 ? std::string(" None") : Irqs(t.exclusive_irqs)) + "\n";
  if (t.router_vendor != 0) text += Printf("\tCompatible Router: %04x:%04x\n", t.router_vendor, t.router_device);
  if (t.miniport != 0) text += Printf("\tMiniport Data: 0x%08X\n", t.miniport);
  for (const PirEntry &e : t.entries) {
    text += Printf("\tDevice: %02x:%02x,", e.bus, e.devfn >> 3) +
            (e.slot == 0 ? std::string(" on-board") : Printf(" slot %u", e.slot)) + "\n";
    for (int pin = 0; pin < 4; pin++) {
      const PirPin &p = e.pins[pin];
      text += Printf("\t\tINT%c#: ", 'A' + pin);
      text += p.link == 0 ? std::string("None") : Printf("Link 0x%02x, IRQ Bitmap", p.link) + Irqs(p.bitmap);
      text += "\n";
    }
  }
  if (!t.problem.empty()) text += "\t(" + t.problem + ")\n";
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string PirJson(const PirTable &t) {
  if (!t.valid) return "null";
  auto irqs = [](uint16_t bitmap) {
    std::string list = "[";
    for (int irq = 0; irq < 16; irq++)
      if (bitmap & (1u << irq)) list += (list.size() > 1 ? "," : "") + std::to_string(irq);
    return list + "]";
  };
  std::string json = Printf("{\"version\":\"%u.%u\",\"size\":%u", t.major, t.minor, t.size) +
                     ",\"checksum_ok\":" + (t.checksum_ok ? "true" : "false") +
                     Printf(",\"router\":\"%02x:%02x.%1x\"", t.router_bus, t.router_devfn >> 3, t.router_devfn & 7) +
                     ",\"exclusive_irqs\":" + irqs(t.exclusive_irqs) +
                     Printf(",\"compatible_router\":\"%04x:%04x\"", t.router_vendor, t.router_device) +
                     Printf(",\"miniport_data\":%u,\"slots\":[", t.miniport);
  for (size_t i = 0; i < t.entries.size(); i++) {
    const PirEntry &e = t.entries[i];
    json += (i ? "," : "") + Printf("{\"bus\":%u,\"device\":%u,\"slot\":%u,\"pins\":[", e.bus, e.devfn >> 3, e.slot);
    for (int pin = 0; pin < 4; pin++)
      json += (pin ? "," : "") + Printf("{\"pin\":\"INT%c#\",\"link\":%u,\"irqs\":", 'A' + pin, e.pins[pin].link) +
              irqs(e.pins[pin].bitmap) + "}";
    json += "]}";
  }
  json += "]";
  if (!t.problem.empty()) json += ",\"problem\":\"" + t.problem + "\"";
  return json + "}";
}

}  // namespace nicdiag
