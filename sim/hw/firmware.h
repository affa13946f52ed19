// The firmware's tables in the legacy BIOS area of the simulated machine.
// A profile either names a 1 MiB image of physical 0x00000-0xFFFFF (the
// form `dmidecode -d` reads), copied into low memory as it is, or gets a
// built-in table set consistent with the profile:
//   0xF0000  SMBIOS 2.4 entry point ("_SM_", with its "_DMI_" anchor at +16)
//   0xF0100  the structure table: BIOS (type 0), system (1), chassis (3),
//            system boot (32) and the end-of-table mark (127)
//   0xF0800  "$PIR" 1.0: one slot entry per PCI device of the profile, whose
//            function's interrupt pin is routed to the profile's IRQ line
#pragma once
#include <cstdint>
#include <filesystem>

#include "sim/hw/profile.h"

namespace sim::hw {

inline constexpr std::uint32_t kBiosImageSize = 0x100000;
inline constexpr std::uint32_t kDefaultSmbiosEntry = 0xF0000;
inline constexpr std::uint32_t kDefaultSmbiosTable = 0xF0100;
inline constexpr std::uint32_t kDefaultPirTable = 0xF0800;

// Throws std::runtime_error naming the file when it cannot be read or is
// not exactly 1 MiB.
void load_bios_image(std::uint8_t* low_memory, const std::filesystem::path& path);
void build_firmware_tables(std::uint8_t* low_memory, const MachineProfile& profile);

}  // namespace sim::hw
