// Decoding of a PCI interrupt routing table ("$PIR") as biosdecode shows it:
// version, router device, exclusive IRQs, compatible router and each slot
// entry with the link value and IRQ bitmap of every pin, with the header's
// checksum verified.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace nicdiag {

struct PirPin {
  uint8_t link = 0;
  uint16_t bitmap = 0;
};

struct PirEntry {
  uint8_t bus = 0;
  uint8_t devfn = 0;
  PirPin pins[4];
  uint8_t slot = 0;
};

struct PirTable {
  bool valid = false;
  std::string problem;  // why the table cannot be decoded (valid false) or is cut
  uint8_t major = 0, minor = 0;
  uint16_t size = 0;  // as the header states it
  uint8_t router_bus = 0, router_devfn = 0;
  uint16_t exclusive_irqs = 0;
  uint16_t router_vendor = 0, router_device = 0;
  uint32_t miniport = 0;
  uint8_t sum = 0;  // of the header's size in bytes (of what is there when cut); 0 when sound
  bool checksum_ok = false;
  std::vector<PirEntry> entries;
};

PirTable DecodePir(const std::vector<uint8_t> &bytes);
std::string PirText(const PirTable &table);
std::string PirJson(const PirTable &table);  // a JSON object

}  // namespace nicdiag
