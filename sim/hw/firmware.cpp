#include "sim/hw/firmware.h"

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim::hw {
namespace {

// The byte that makes the sum of `length` bytes at `p` zero, stored at
// p[at].
void set_checksum(std::uint8_t* p, std::size_t length, std::size_t at) {
  p[at] = 0;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
  p[at] = static_cast<std::uint8_t>(-sum);
}

void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
  v.push_back(static_cast<std::uint8_t>(x));
  v.push_back(static_cast<std::uint8_t>(x >> 8));
}

// One SMBIOS structure: formatted area, then its strings and the double
// null that ends it.
void structure(std::vector<std::uint8_t>& table, std::vector<std::uint8_t> formatted,
               const std::vector<std::string>& strings) {
  formatted[1] = static_cast<std::uint8_t>(formatted.size());
  table.insert(table.end(), formatted.begin(), formatted.end());
  for (const std::string& s : strings) {
    table.insert(table.end(), s.begin(), s.end());
    table.push_back(0);
  }
  if (strings.empty()) table.push_back(0);
  table.push_back(0);
}

std::vector<std::uint8_t> structure_table(const MachineProfile& profile, unsigned& count, std::size_t& largest) {
  std::vector<std::uint8_t> t;
  std::size_t before = 0;
  auto done = [&] {
    ++count;
    largest = std::max(largest, t.size() - before);
    before = t.size();
  };
  // BIOS: segment 0xE800, 64 kB ROM, PCI and selectable boot supported,
  // ACPI, targeted content distribution; release 1.0.
  structure(t, {0,    0,    0x00, 0x00, 1, 2, 0x00, 0xE8, 3, 0x00, 0x80, 0x00,
                0x01, 0x00, 0,    0,    0, 0, 0x01, 0x04, 1, 0,    0xFF, 0xFF},
            {"NICKIT", "1.0", "01/01/2000"});
  done();
  // System: a UUID derived from nothing but a fixed pattern, woken by the
  // power switch.
  const std::string product = "Simulated PCI Machine (" + std::to_string(profile.adapters.size()) + " adapter" +
                              (profile.adapters.size() == 1 ? "" : "s") + ")";
  structure(t, {1,    0,    0x00, 0x01, 1,    2,    3,    4,    0x4E, 0x49, 0x43, 0x4B, 0x49, 0x54,
                0x00, 0x01, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x06, 5,    6},
            {"NICKIT", product, "1.0", "SIM-0001", "SKU-1", "Simulated"});
  done();
  // Chassis: desktop, all states safe, security unknown, no elements.
  structure(t, {3, 0, 0x00, 0x03, 1, 0x03, 2, 3, 4, 0x03, 0x03, 0x03, 0x02, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x03},
            {"NICKIT", "1.0", "Not Specified", "Not Specified"});
  done();
  // System boot: no errors detected.
  structure(t, {32, 0, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0x00}, {});
  done();
  structure(t, {127, 0, 0x00, 0x7F}, {});
  done();
  // Handles in order: 0x0000, 0x0100, 0x0300, 0x2000, 0x7F00 (set above).
  return t;
}

std::vector<std::uint8_t> routing_table(const MachineProfile& profile) {
  // One link per distinct IRQ line, so that devices sharing a link share
  // their line, as the router's wiring forces.
  std::map<std::uint8_t, std::uint8_t> link_of_irq;
  std::map<std::pair<std::uint32_t, std::uint32_t>, const AdapterConfig*> devices;
  for (const AdapterConfig& a : profile.adapters) {
    if (!link_of_irq.count(a.irq)) link_of_irq[a.irq] = static_cast<std::uint8_t>(0x60 + link_of_irq.size());
    devices.emplace(std::make_pair(a.bus, a.device), &a);
  }
  std::vector<std::uint8_t> t = {'$', 'P', 'I', 'R', 0x00, 0x01};
  put16(t, static_cast<std::uint16_t>(32 + 16 * devices.size()));
  t.push_back(0);     // router bus
  t.push_back(0x08);  // router device 1, function 0
  put16(t, 0);        // no IRQ kept for PCI alone
  put16(t, 0x8086);   // compatible router
  put16(t, 0x122E);
  for (int i = 0; i < 4; ++i) t.push_back(0);   // miniport data
  for (int i = 0; i < 11; ++i) t.push_back(0);  // reserved
  t.push_back(0);                               // checksum, set below
  std::uint8_t slot = 1;
  for (const auto& [where, a] : devices) {
    t.push_back(static_cast<std::uint8_t>(where.first));
    t.push_back(static_cast<std::uint8_t>(where.second << 3));
    // The adapters' functions use INTA#; the other pins are not connected.
    t.push_back(link_of_irq[a->irq]);
    put16(t, a->irq <= 15 ? static_cast<std::uint16_t>(1u << a->irq) : 0);
    for (int pin = 1; pin < 4; ++pin) {
      t.push_back(0);
      put16(t, 0);
    }
    t.push_back(slot++);
    t.push_back(0);
  }
  set_checksum(t.data(), t.size(), 31);
  return t;
}

}  // namespace

void load_bios_image(std::uint8_t* low_memory, const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path.string() + ": cannot open the BIOS image");
  std::vector<char> bytes(kBiosImageSize + 1);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const std::streamsize got = in.gcount();
  if (got != static_cast<std::streamsize>(kBiosImageSize))
    throw std::runtime_error(path.string() + ": a BIOS image must be exactly 1 MiB (1048576 bytes) of physical " +
                             "memory 0x00000-0xFFFFF; this one is " +
                             (got > kBiosImageSize ? "longer" : std::to_string(got) + " bytes"));
  std::memcpy(low_memory, bytes.data(), kBiosImageSize);
}

void build_firmware_tables(std::uint8_t* low_memory, const MachineProfile& profile) {
  unsigned count = 0;
  std::size_t largest = 0;
  const std::vector<std::uint8_t> table = structure_table(profile, count, largest);
  std::memcpy(low_memory + kDefaultSmbiosTable, table.data(), table.size());

  std::uint8_t* e = low_memory + kDefaultSmbiosEntry;
  std::memset(e, 0, 0x1F);
  std::memcpy(e, "_SM_", 4);
  e[5] = 0x1F;  // entry point length
  e[6] = 2;     // SMBIOS 2.4
  e[7] = 4;
  e[8] = static_cast<std::uint8_t>(largest);
  e[9] = static_cast<std::uint8_t>(largest >> 8);
  std::memcpy(e + 0x10, "_DMI_", 5);
  e[0x16] = static_cast<std::uint8_t>(table.size());
  e[0x17] = static_cast<std::uint8_t>(table.size() >> 8);
  for (int i = 0; i < 4; ++i) e[0x18 + i] = static_cast<std::uint8_t>(kDefaultSmbiosTable >> (8 * i));
  e[0x1C] = static_cast<std::uint8_t>(count);
  e[0x1D] = static_cast<std::uint8_t>(count >> 8);
  e[0x1E] = 0x24;
  set_checksum(e + 0x10, 0x0F, 5);  // the "_DMI_" part
  set_checksum(e, 0x1F, 4);

  const std::vector<std::uint8_t> pir = routing_table(profile);
  std::memcpy(low_memory + kDefaultPirTable, pir.data(), pir.size());
}

}  // namespace sim::hw
