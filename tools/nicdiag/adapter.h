// The adapter the eeprom and phy commands act on: the first supported one on
// the machine unless --bus/--device names a PCI function or --register names
// the register itself. The adapter's registers are found from its BARs: the
// EEPROM control register lies at +0x0E and the MDI control register at
// +0x10 of the adapter's register block.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/nicdiag/command.h"

namespace nicdiag {

// The options of eeprom and phy, and their other words.
struct HwOptions {
  std::vector<std::string> positional;
  bool memory = false;  // --method mem
  bool has_register = false;
  uint32_t register_address = 0;
  bool has_slot = false;  // --bus / --device
  uint32_t bus = 0;
  uint32_t slot = 0;
  uint32_t size = 0;  // --size, 0 = probe
  std::string out;
  bool yes = false;
  bool checksum = false;         // write: report the image's checksum afterwards (reads the whole part)
  bool ignore_checksum = false;  // restore: write an image whose checksum is wrong
  uint32_t phy_address = 1;
};

// eeprom: whether the EEPROM's options (--size, --out, --yes) are allowed,
// else the PHY's (--phy-address). The operation, the first other word, is
// required: without one the command's usage is the error.
bool ParseHwOptions(Run &run, bool eeprom, const char *usage, HwOptions &o);

// The adapter a command acts on, as its output names it.
struct AdapterRef {
  bool known = false;
  uint32_t bus = 0, slot = 0, vendor = 0, device = 0;
  uint32_t io = 0, memory = 0;  // first I/O and memory BAR addresses
  std::string Name() const;
  std::string Json() const;
  void From(uint32_t b, uint32_t s, const std::vector<uint8_t> &head);
};

// The adapter's register block as the method reaches it: the I/O BAR's port,
// or the memory BAR mapped for the command and unmapped after it.
struct RegisterBlock {
  Run &run;
  uint32_t base = 0;
  uint32_t mapped = 0;  // virtual address of the window this command mapped
  AdapterRef adapter;
  explicit RegisterBlock(Run &r) : run(r) {}
  ~RegisterBlock() {
    if (mapped != 0) UnmapWindow(run.device, mapped, 0x40);
  }
};

// Finds the register block of the adapter the options name; offset is where
// the command's register lies in it (for --register).
bool FindRegisterBlock(Run &run, const HwOptions &o, uint32_t offset, RegisterBlock &block);

}  // namespace nicdiag
