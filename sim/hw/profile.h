// The hardware profile of a simulated machine: which PCI buses exist, the
// adapters on them, bus ranges that translate into I/O space and the faults
// to inject. Read from JSON:
//
//   { "buses": [0],                       // optional; adapters' buses always exist
//     "adapters": [ { "bus": 0, "device": 3, "function": 0,
//                     "vendor": "0x8086", "device_id": "0x1229",
//                     "revision": 8, "subsystem_vendor": "0x8086", "subsystem_id": 1,
//                     "bars": [ { "type": "memory", "size": 4096, "address": "0xF4000000" },
//                               { "type": "io", "size": 64, "address": "0xE000" } ],
//                     "irq": 11,
//                     "eeprom": { "words": 64, "address_bits": 6, "contents": [2, 18766, 323],
//                                 "program_time_us": 5000, "never_ready": false,
//                                 "do_stuck_high": false, "do_stuck_low": false },
//                     "phys": { "1": { "2": 680, "3": 340 }, "3": { "never_ready": true } } } ],
//     "translate_to_io": [ { "bus": 0, "start": "0xF8000000", "size": "0x100000",
//                            "io_base": "0x8000" } ],   // io_base optional: same as start
//     "faults": { "map_io_space": { "skip": 0, "count": 1 }, "create_device": "always" },
//     "bios_image": "pc.mem",   // optional: 1 MiB of physical 0x00000-0xFFFFF,
//                                // relative to the profile's folder (sim/hw/firmware.h)
//     "client": { "admin": false } }   // the client's token; optional, admin by default
//
// Numbers may be JSON numbers or strings in C notation ("0x..." or decimal).
// Keys not listed above, values of the wrong type and numbers out of range
// for their field are refused with the file and the line.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/hw/eeprom.h"
#include "sim/hw/phy.h"

namespace sim::hw {

enum class BarType { Memory, Io };

struct BarConfig {
  BarType type = BarType::Memory;
  std::uint32_t size = 0;     // a power of two: 16 or more for memory, 4 or more for I/O
  std::uint32_t address = 0;  // as the firmware programmed it; 0 = unassigned
};

struct AdapterConfig {
  std::uint32_t bus = 0;
  std::uint32_t device = 3;
  std::uint32_t function = 0;
  std::uint16_t vendor = 0x8086;
  std::uint16_t device_id = 0x1229;
  std::uint8_t revision = 0x08;
  std::uint16_t subsystem_vendor = 0x8086;
  std::uint16_t subsystem_id = 0x0001;
  std::vector<BarConfig> bars;
  std::uint8_t irq = 11;
  EepromConfig eeprom = EepromConfig::part_64x16();  // "eeprom": see eeprom_config_from_json
  std::vector<PhyProfile> phys;                      // "phys": see phys_profile_from_json
};

struct IoTranslation {
  std::uint32_t bus = 0;
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::uint64_t io_base = 0;
};

struct FaultConfig {
  std::string name;
  unsigned skip = 0;
  int count = 1;            // -1: every call after the skipped ones
  std::int64_t status = 0;  // 0: the call's usual failure status
};

struct MachineProfile {
  std::vector<std::uint32_t> buses;
  std::vector<AdapterConfig> adapters;
  std::vector<IoTranslation> translate_to_io;
  std::vector<FaultConfig> faults;
  bool client_admin = true;          // "client": {"admin": ...}: the client runs as an administrator
  std::filesystem::path bios_image;  // empty: the built-in firmware tables
};

// Largest profile file read.
inline constexpr std::uintmax_t kMaxProfileBytes = 1 << 20;

// Throws sim::InputError (a std::runtime_error) whose message starts with
// the source name and, where one is known, the line
// ("machine.json:12: adapters[0].irq: ..."). The keys are declared in the
// tables of profile.cpp (rows of sim/common/profile_schema.h).
// known_fault, when given, says which fault names exist.
MachineProfile parse_profile(std::string_view json, std::string_view source_name,
                             const std::function<bool(const std::string&)>& known_fault = {});
MachineProfile load_profile_file(const std::filesystem::path& path,
                                 const std::function<bool(const std::string&)>& known_fault = {});
std::string default_profile_json();

// Every word of this adapter family's EEPROM image, the last one included,
// sums (16 bits, carries dropped) to this value when the image is valid.
inline constexpr std::uint16_t kEepromChecksumTarget = 0xBABA;
// The built-in adapter's EEPROM: a valid 64-word image.
std::vector<std::uint16_t> default_eeprom_image();

}  // namespace sim::hw
