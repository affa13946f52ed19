#include "tools/nicdiag/smbios_decode.h"

#include <cstdio>

#include "tools/nicdiag/command.h"

namespace nicdiag {
namespace {

std::string Printf(const char *format, unsigned long long a = 0, unsigned long long b = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// A table of names by code, first code given; codes outside it are not defined by the standard.
struct Names {
  unsigned first;
  std::vector<const char *> names;
  std::string operator()(unsigned code) const {
    if (code < first || code - first >= names.size()) return "<OUT OF SPEC>";
    return names[code - first];
  }
};

// Sizes as dmidecode prints them: the largest unit that divides evenly.
std::string MemorySize(unsigned long long value, int unit /* 0 bytes, 1 kB, 2 MB */) {
  static const char *kUnits[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB", "ZB"};
  while (value != 0 && value % 1024 == 0 && unit < 7) {
    value /= 1024;
    unit++;
  }
  return Printf("%llu ", value) + kUnits[unit];
}

const char *TypeName(unsigned type);

class Decoder {
 public:
  Decoder(const SmbiosStructure &s, uint16_t version) : s_(s), version_(version) {}

  // Field readers: bytes past the structure's formatted area read as 0; the
  // callers check the length before each group as the types define.
  unsigned Byte(size_t at) const { return at < s_.formatted.size() ? s_.formatted[at] : 0; }
  unsigned Word(size_t at) const { return Byte(at) | (Byte(at + 1) << 8); }
  unsigned long long Dword(size_t at) const { return Word(at) | (static_cast<unsigned long long>(Word(at + 2)) << 16); }
  unsigned long long Qword(size_t at) const { return Dword(at) | (Dword(at + 4) << 32); }
  size_t Length() const { return s_.length; }

  std::string String(size_t at) const {
    unsigned index = Byte(at);
    if (index == 0) return "Not Specified";
    if (index > s_.strings.size()) return "<BAD INDEX>";
    std::string text = s_.strings[index - 1];
    for (char &c : text)
      if (static_cast<unsigned char>(c) < 32 || c == 127) c = '.';
    return text;
  }

  void Field(const std::string &name, const std::string &value) { fields.push_back({name, value, {}}); }
  void List(const std::string &name, const std::vector<std::string> &items, const std::string &none = "") {
    if (items.empty() && !none.empty()) {
      Field(name, none);
    } else {
      fields.push_back({name, "", items});
    }
  }

  // Manufacturer, product name, version and serial number: the strings at
  // 0x04 to 0x07 of a system and of a base board structure.
  void Identity() {
    Field("Manufacturer", String(0x04));
    Field("Product Name", String(0x05));
    Field("Version", String(0x06));
    Field("Serial Number", String(0x07));
  }

  void Bios();
  void System();
  void BaseBoard();
  void Chassis();
  void Processor();
  void MemoryDevice();
  void SystemBoot();

  std::vector<SmbiosField> fields;

 private:
  const SmbiosStructure &s_;
  uint16_t version_;
};

void Decoder::Bios() {
  Field("Vendor", String(0x04));
  Field("Version", String(0x05));
  Field("Release Date", String(0x08));
  // The segment is 0 on firmware that is not in the legacy area.
  if (Word(0x06) != 0) {
    Field("Address", Printf("0x%04llX0", Word(0x06)));
    unsigned long long runtime = static_cast<unsigned long long>(0x10000 - Word(0x06)) << 4;
    Field("Runtime Size", runtime & 0x3FF ? Printf("%llu bytes", runtime) : Printf("%llu kB", runtime >> 10));
  }
  if (Byte(0x09) != 0xFF) {
    Field("ROM Size", MemorySize(static_cast<unsigned long long>(Byte(0x09) + 1) << 6, 1));
  } else if (Length() >= 0x1A) {
    unsigned ext = Word(0x18);
    Field("ROM Size", MemorySize(ext & 0x3FFF, (ext >> 14) == 0 ? 2 : 3));
  }
  // clang-format off
  static const char *kCharacteristics[] = {
      "BIOS characteristics not supported", "ISA is supported", "MCA is supported", "EISA is supported",
      "PCI is supported", "PC Card (PCMCIA) is supported", "PNP is supported", "APM is supported",
      "BIOS is upgradeable", "BIOS shadowing is allowed", "VLB is supported", "ESCD support is available",
      "Boot from CD is supported", "Selectable boot is supported", "BIOS ROM is socketed",
      "Boot from PC Card (PCMCIA) is supported", "EDD is supported",
      "Japanese floppy for NEC 9800 1.2 MB is supported (int 13h)",
      "Japanese floppy for Toshiba 1.2 MB is supported (int 13h)",
      "5.25\"/360 kB floppy services are supported (int 13h)", "5.25\"/1.2 MB floppy services are supported (int 13h)",
      "3.5\"/720 kB floppy services are supported (int 13h)", "3.5\"/2.88 MB floppy services are supported (int 13h)",
      "Print screen service is supported (int 5h)", "8042 keyboard services are supported (int 9h)",
      "Serial services are supported (int 14h)", "Printer services are supported (int 17h)",
      "CGA/mono video services are supported (int 10h)", "NEC PC-98"};
  // clang-format on
  std::vector<std::string> items;
  unsigned long long bits = Qword(0x0A);
  if (bits & (1ull << 3)) {
    items.push_back(kCharacteristics[0]);
  } else {
    for (int bit = 4; bit <= 31; bit++)
      if (bits & (1ull << bit)) items.push_back(kCharacteristics[bit - 3]);
  }
  // clang-format off
  static const char *kExtension1[] = {"ACPI is supported", "USB legacy is supported", "AGP is supported",
                                      "I2O boot is supported", "LS-120 boot is supported",
                                      "ATAPI Zip drive boot is supported", "IEEE 1394 boot is supported",
                                      "Smart battery is supported"};
  static const char *kExtension2[] = {"BIOS boot specification is supported",
                                      "Function key-initiated network boot is supported",
                                      "Targeted content distribution is supported", "UEFI is supported",
                                      "System is a virtual machine"};
  // clang-format on
  if (Length() >= 0x13)
    for (int bit = 0; bit < 8; bit++)
      if (Byte(0x12) & (1u << bit)) items.push_back(kExtension1[bit]);
  if (Length() >= 0x14)
    for (int bit = 0; bit < 5; bit++)
      if (Byte(0x13) & (1u << bit)) items.push_back(kExtension2[bit]);
  List("Characteristics", items);
  if (Length() < 0x18) return;
  if (Byte(0x14) != 0xFF && Byte(0x15) != 0xFF) Field("BIOS Revision", Printf("%llu.%llu", Byte(0x14), Byte(0x15)));
  if (Byte(0x16) != 0xFF && Byte(0x17) != 0xFF) Field("Firmware Revision", Printf("%llu.%llu", Byte(0x16), Byte(0x17)));
}

void Decoder::System() {
  Identity();
  if (Length() < 0x19) return;
  bool all_ff = true, all_00 = true;
  for (size_t i = 0; i < 16; i++) {
    all_ff = all_ff && Byte(0x08 + i) == 0xFF;
    all_00 = all_00 && Byte(0x08 + i) == 0x00;
  }
  if (all_ff) {
    Field("UUID", "Not Present");
  } else if (all_00) {
    Field("UUID", "Not Settable");
  } else {
    // From version 2.6 the first three fields are little-endian.
    static const int kLittle[] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string uuid;
    for (int i = 0; i < 16; i++) {
      if (i == 4 || i == 6 || i == 8 || i == 10) uuid += '-';
      uuid += Printf("%02llX", Byte(0x08 + (version_ >= 0x0206 ? kLittle[i] : i)));
    }
    Field("UUID", uuid);
  }
  // clang-format off
  static const Names kWakeUp{0, {"Reserved", "Other", "Unknown", "APM Timer", "Modem Ring", "LAN Remote",
                                 "Power Switch", "PCI PME#", "AC Power Restored"}};
  // clang-format on
  Field("Wake-up Type", kWakeUp(Byte(0x18)));
  if (Length() < 0x1B) return;
  Field("SKU Number", String(0x19));
  Field("Family", String(0x1A));
}

void Decoder::BaseBoard() {
  Identity();
  if (Length() < 0x09) return;
  Field("Asset Tag", String(0x08));
  if (Length() < 0x0A) return;
  // clang-format off
  static const char *kFeatures[] = {"Board is a hosting board", "Board requires at least one daughter board",
                                    "Board is removable", "Board is replaceable", "Board is hot swappable"};
  // clang-format on
  std::vector<std::string> items;
  for (int bit = 0; bit < 5; bit++)
    if (Byte(0x09) & (1u << bit)) items.push_back(kFeatures[bit]);
  List("Features", items, "None");
  if (Length() < 0x0E) return;
  Field("Location In Chassis", String(0x0A));
  Field("Chassis Handle", Printf("0x%04llX", Word(0x0B)));
  // clang-format off
  static const Names kType{1, {"Unknown", "Other", "Server Blade", "Connectivity Switch", "System Management Module",
                               "Processor Module", "I/O Module", "Memory Module", "Daughter Board", "Motherboard",
                               "Processor+Memory Module", "Processor+I/O Module", "Interconnect Board"}};
  // clang-format on
  Field("Type", kType(Byte(0x0D)));
  if (Length() < 0x0F) return;
  unsigned count = Byte(0x0E);
  if (Length() < 0x0F + count * 2) return;
  std::vector<std::string> handles;
  for (unsigned i = 0; i < count; i++) handles.push_back(Printf("0x%04llX", Word(0x0F + 2 * i)));
  fields.push_back({"Contained Object Handles", std::to_string(count), handles});
}

void Decoder::Chassis() {
  // clang-format off
  static const Names kType{1, {"Other", "Unknown", "Desktop", "Low Profile Desktop", "Pizza Box", "Mini Tower",
                               "Tower", "Portable", "Laptop", "Notebook", "Hand Held", "Docking Station",
                               "All In One", "Sub Notebook", "Space-saving", "Lunch Box", "Main Server Chassis",
                               "Expansion Chassis", "Sub Chassis", "Bus Expansion Chassis", "Peripheral Chassis",
                               "RAID Chassis", "Rack Mount Chassis", "Sealed-case PC", "Multi-system", "CompactPCI",
                               "AdvancedTCA", "Blade", "Blade Enclosing", "Tablet", "Convertible", "Detachable",
                               "IoT Gateway", "Embedded PC", "Mini PC", "Stick PC"}};
  // clang-format on
  static const Names kState{1, {"Other", "Unknown", "Safe", "Warning", "Critical", "Non-recoverable"}};
  // clang-format off
  static const Names kSecurity{1, {"Other", "Unknown", "None", "External Interface Locked Out",
                                   "External Interface Enabled"}};
  // clang-format on
  Field("Manufacturer", String(0x04));
  Field("Type", kType(Byte(0x05) & 0x7F));
  Field("Lock", Byte(0x05) & 0x80 ? "Present" : "Not Present");
  Field("Version", String(0x06));
  Field("Serial Number", String(0x07));
  Field("Asset Tag", String(0x08));
  if (Length() < 0x09) return;
  Field("Boot-up State", kState(Byte(0x09)));
  Field("Power Supply State", kState(Byte(0x0A)));
  Field("Thermal State", kState(Byte(0x0B)));
  Field("Security Status", kSecurity(Byte(0x0C)));
  if (Length() < 0x11) return;
  Field("OEM Information", Printf("0x%08llX", Dword(0x0D)));
  if (Length() < 0x13) return;
  Field("Height", Byte(0x11) == 0 ? std::string("Unspecified") : Printf("%llu U", Byte(0x11)));
  Field("Number Of Power Cords", Byte(0x12) == 0 ? std::string("Unspecified") : Printf("%llu", Byte(0x12)));
  if (Length() < 0x15) return;
  const unsigned count = Byte(0x13), size = Byte(0x14);
  if (Length() < 0x15 + count * size) return;
  std::vector<std::string> elements;
  // clang-format off
  static const Names kBoardType = {1, {"Unknown", "Other", "Server Blade", "Connectivity Switch",
                                       "System Management Module", "Processor Module", "I/O Module", "Memory Module",
                                       "Daughter Board", "Motherboard", "Processor+Memory Module",
                                       "Processor+I/O Module", "Interconnect Board"}};
  // clang-format on
  for (unsigned i = 0; i < count && size >= 3; i++) {
    const size_t at = 0x15 + i * size;
    const unsigned type = Byte(at);
    // Bit 7 set: an SMBIOS structure type; clear: a base board type.
    std::string name = type & 0x80 ? std::string(TypeName(type & 0x7F)) : kBoardType(type);
    const unsigned min = Byte(at + 1), max = Byte(at + 2);
    elements.push_back(name + (min == max ? Printf(" (%llu)", min) : Printf(" (%llu-%llu)", min, max)));
  }
  fields.push_back({"Contained Elements", std::to_string(count), elements});
  if (Length() < 0x16 + count * size) return;
  Field("SKU Number", String(0x15 + count * size));
}

void Decoder::Processor() {
  // clang-format off
  static const Names kType{1, {"Other", "Unknown", "Central Processor", "Math Processor", "DSP Processor",
                               "Video Processor"}};
  // clang-format on
  Field("Socket Designation", String(0x04));
  Field("Type", kType(Byte(0x05)));
  unsigned family = Byte(0x06);
  if (family == 0xFE && Length() >= 0x2A) family = Word(0x28);
  static const struct {
    unsigned code;
    const char *name;
    // clang-format off
  } kFamilies[] = {{0x01, "Other"}, {0x02, "Unknown"}, {0x03, "8086"}, {0x04, "80286"}, {0x05, "80386"},
                   {0x06, "80486"}, {0x07, "8087"}, {0x08, "80287"}, {0x09, "80387"}, {0x0A, "80487"},
                   {0x0B, "Pentium"}, {0x0C, "Pentium Pro"}, {0x0D, "Pentium II"}, {0x0E, "Pentium MMX"},
                   {0x0F, "Celeron"}, {0x10, "Pentium II Xeon"}, {0x11, "Pentium III"}, {0x12, "M1"},
                   {0x13, "M2"}, {0x14, "Celeron M"}, {0x15, "Pentium 4 HT"}, {0x18, "Duron"}, {0x19, "K5"},
                   {0x1A, "K6"}, {0x1B, "K6-2"}, {0x1C, "K6-3"}, {0x1D, "Athlon"}, {0x1E, "AMD29000"},
                   {0x1F, "K6-2+"}, {0x28, "Core Duo"}, {0x29, "Core Duo Mobile"}, {0x2A, "Core Solo Mobile"},
                   {0x2B, "Atom"}, {0x83, "Athlon 64"}, {0x84, "Opteron"}, {0x85, "Sempron"},
                   {0xB0, "Pentium III Xeon"}, {0xB1, "Pentium III Speedstep"}, {0xB2, "Pentium 4"},
                   {0xB3, "Xeon"}, {0xB5, "Xeon MP"}, {0xB6, "Athlon XP"}, {0xB7, "Athlon MP"},
                   {0xB9, "Pentium M"}, {0xBA, "Celeron D"}, {0xBB, "Pentium D"}, {0xBC, "Pentium EE"},
                   {0xBD, "Core Solo"}, {0xBF, "Core 2 Duo"}, {0xC0, "Core 2 Solo"}, {0xC1, "Core 2 Extreme"},
                   {0xC2, "Core 2 Quad"}, {0xC3, "Core 2 Extreme Mobile"}, {0xC4, "Core 2 Duo Mobile"},
                   {0xC5, "Core 2 Solo Mobile"}, {0xC6, "Core i7"}, {0xC7, "Dual-Core Celeron"},
                   {0xCD, "Core i5"}, {0xCE, "Core i3"}, {0xCF, "Core i9"}};
  // clang-format on
  std::string family_name = "<OUT OF SPEC>";
  for (const auto &f : kFamilies)
    if (f.code == family) family_name = f.name;
  Field("Family", family_name);
  Field("Manufacturer", String(0x07));
  std::string id;
  for (size_t i = 0; i < 8; i++) id += Printf(i ? " %02llX" : "%02llX", Byte(0x08 + i));
  Field("ID", id);
  Field("Version", String(0x10));
  const unsigned voltage = Byte(0x11);
  if (voltage & 0x80) {
    Field("Voltage", Printf("%llu.%llu V", (voltage & 0x7F) / 10, (voltage & 0x7F) % 10));
  } else if ((voltage & 0x07) == 0) {
    Field("Voltage", "Unknown");
  } else {
    static const char *kVoltages[] = {"5.0 V", "3.3 V", "2.9 V"};
    std::string list;
    for (int bit = 0; bit < 3; bit++)
      if (voltage & (1u << bit)) list += std::string(list.empty() ? "" : " ") + kVoltages[bit];
    Field("Voltage", list);
  }
  auto speed = [&](const char *name, size_t at) {
    Field(name, Word(at) == 0 ? std::string("Unknown") : Printf("%llu MHz", Word(at)));
  };
  speed("External Clock", 0x12);
  speed("Max Speed", 0x14);
  speed("Current Speed", 0x16);
  // clang-format off
  static const Names kStatus{0, {"Unknown", "Enabled", "Disabled By User", "Disabled By BIOS", "Idle",
                                 "<OUT OF SPEC>", "<OUT OF SPEC>", "Other"}};
  // clang-format on
  const unsigned status = Byte(0x18);
  Field("Status", status & 0x40 ? "Populated, " + kStatus(status & 0x07) : std::string("Unpopulated"));
  // clang-format off
  static const Names kUpgrade{1, {"Other", "Unknown", "Daughter Board", "ZIF Socket", "Replaceable Piggy Back",
                                  "None", "LIF Socket", "Slot 1", "Slot 2", "370-pin Socket", "Slot A", "Slot M",
                                  "Socket 423", "Socket A (Socket 462)", "Socket 478", "Socket 754", "Socket 940",
                                  "Socket 939", "Socket mPGA604", "Socket LGA771", "Socket LGA775"}};
  // clang-format on
  Field("Upgrade", kUpgrade(Byte(0x19)));
  if (Length() < 0x20) return;
  auto cache = [&](const char *name, const char *level, size_t at) {
    if (Word(at) == 0xFFFF) {
      Field(name, version_ >= 0x0203 ? std::string("Not Provided") : std::string("No ") + level + " Cache");
    } else {
      Field(name, Printf("0x%04llX", Word(at)));
    }
  };
  cache("L1 Cache Handle", "L1", 0x1A);
  cache("L2 Cache Handle", "L2", 0x1C);
  cache("L3 Cache Handle", "L3", 0x1E);
  if (Length() < 0x23) return;
  Field("Serial Number", String(0x20));
  Field("Asset Tag", String(0x21));
  Field("Part Number", String(0x22));
  if (Length() < 0x28) return;
  auto count = [&](const char *name, size_t byte, size_t word) {
    unsigned value = Byte(byte);
    if (value == 0) return;
    if (value == 0xFF && Length() >= 0x30) value = Word(word);
    Field(name, Printf("%llu", value));
  };
  count("Core Count", 0x23, 0x2A);
  count("Core Enabled", 0x24, 0x2C);
  count("Thread Count", 0x25, 0x2E);
  // clang-format off
  static const char *kCharacteristics[] = {"64-bit capable", "Multi-Core", "Hardware Thread", "Execute Protection",
                                           "Enhanced Virtualization", "Power/Performance Control",
                                           "128-bit Capable", "Arm64 SoC ID"};
  // clang-format on
  std::vector<std::string> items;
  const unsigned bits = Word(0x26);
  for (int bit = 2; bit <= 9; bit++)
    if (bits & (1u << bit)) items.push_back(kCharacteristics[bit - 2]);
  List("Characteristics", items, "None");
}

void Decoder::MemoryDevice() {
  auto handle = [&](const char *name, size_t at) {
    const unsigned h = Word(at);
    Field(name, h == 0xFFFE   ? std::string("Not Provided")
                : h == 0xFFFF ? std::string("No Error")
                              : Printf("0x%04llX", h));
  };
  Field("Array Handle", Printf("0x%04llX", Word(0x04)));
  handle("Error Information Handle", 0x06);
  auto width = [&](const char *name, size_t at) {
    Field(name, Word(at) == 0xFFFF || Word(at) == 0 ? std::string("Unknown") : Printf("%llu bits", Word(at)));
  };
  width("Total Width", 0x08);
  width("Data Width", 0x0A);
  const unsigned size = Word(0x0C);
  if (size == 0) {
    Field("Size", "No Module Installed");
  } else if (size == 0xFFFF) {
    Field("Size", "Unknown");
  } else if (size == 0x7FFF && Length() >= 0x20) {
    Field("Size", MemorySize(Dword(0x1C) & 0x7FFFFFFF, 2));
  } else {
    Field("Size", size & 0x8000 ? MemorySize(size & 0x7FFF, 1) : MemorySize(size, 2));
  }
  // clang-format off
  static const Names kForm{1, {"Other", "Unknown", "SIMM", "SIP", "Chip", "DIP", "ZIP", "Proprietary Card", "DIMM",
                               "TSOP", "Row Of Chips", "RIMM", "SODIMM", "SRIMM", "FB-DIMM", "Die"}};
  // clang-format on
  Field("Form Factor", kForm(Byte(0x0E)));
  const unsigned set = Byte(0x0F);
  Field("Set", set == 0 ? std::string("None") : set == 0xFF ? std::string("Unknown") : Printf("%llu", set));
  Field("Locator", String(0x10));
  Field("Bank Locator", String(0x11));
  // clang-format off
  static const Names kType{1, {"Other", "Unknown", "DRAM", "EDRAM", "VRAM", "SRAM", "RAM", "ROM", "Flash", "EEPROM",
                               "FEPROM", "EPROM", "CDRAM", "3DRAM", "SDRAM", "SGRAM", "RDRAM", "DDR", "DDR2",
                               "DDR2 FB-DIMM", "Reserved", "Reserved", "Reserved", "DDR3", "FBD2", "DDR4", "LPDDR",
                               "LPDDR2", "LPDDR3", "LPDDR4", "Logical non-volatile device", "HBM", "HBM2", "DDR5",
                               "LPDDR5"}};
  // clang-format on
  Field("Type", kType(Byte(0x12)));
  // clang-format off
  static const char *kDetail[] = {"Other", "Unknown", "Fast-paged", "Static Column", "Pseudo-static", "RAMBus",
                                  "Synchronous", "CMOS", "EDO", "Window DRAM", "Cache DRAM", "Non-Volatile",
                                  "Registered (Buffered)", "Unbuffered (Unregistered)", "LRDIMM"};
  // clang-format on
  const unsigned detail = Word(0x13);
  std::string details;
  for (int bit = 1; bit <= 15; bit++)
    if (detail & (1u << bit)) details += std::string(details.empty() ? "" : " ") + kDetail[bit - 1];
  Field("Type Detail", details.empty() ? "None" : details);
  if (Length() < 0x17) return;
  auto speed = [&](const char *name, size_t at) {
    Field(name, Word(at) == 0 ? std::string("Unknown") : Printf("%llu MT/s", Word(at)));
  };
  speed("Speed", 0x15);
  if (Length() < 0x1B) return;
  Field("Manufacturer", String(0x17));
  Field("Serial Number", String(0x18));
  Field("Asset Tag", String(0x19));
  Field("Part Number", String(0x1A));
  if (Length() < 0x1C) return;
  Field("Rank", (Byte(0x1B) & 0x0F) == 0 ? std::string("Unknown") : Printf("%llu", Byte(0x1B) & 0x0F));
  if (Length() < 0x22) return;
  speed("Configured Memory Speed", 0x20);
  if (Length() < 0x28) return;
  auto voltage = [&](const char *name, size_t at) {
    const unsigned mv = Word(at);
    if (mv == 0) {
      Field(name, "Unknown");
    } else {
      char text[32];
      std::snprintf(text, sizeof text, mv % 100 ? "%g V" : "%.1f V", mv / 1000.0);
      Field(name, text);
    }
  };
  voltage("Minimum Voltage", 0x22);
  voltage("Maximum Voltage", 0x24);
  voltage("Configured Voltage", 0x26);
}

void Decoder::SystemBoot() {
  if (Length() < 0x0B) return;
  const unsigned status = Byte(0x0A);
  // clang-format off
  static const Names kStatus{0, {"No errors detected", "No bootable media", "Operating system failed to load",
                                 "Firmware-detected hardware failure", "Operating system-detected hardware failure",
                                 "User-requested boot", "System security violation", "Previously-requested image",
                                 "System watchdog timer expired"}};
  // clang-format on
  Field("Status", status >= 128 && status <= 191 ? std::string("OEM-specific")
                  : status >= 192                ? std::string("Product-specific")
                                                 : kStatus(status));
}

const char *TypeName(unsigned type) {
  // clang-format off
  static const char *kNames[] = {"BIOS Information", "System Information", "Base Board Information",
                                 "Chassis Information", "Processor Information", "Memory Controller Information",
                                 "Memory Module Information", "Cache Information", "Port Connector Information",
                                 "System Slot Information", "On Board Device Information", "OEM Strings",
                                 "System Configuration Options", "BIOS Language Information",
                                 "Group Associations", "System Event Log", "Physical Memory Array",
                                 "Memory Device", "32-bit Memory Error Information",
                                 "Memory Array Mapped Address", "Memory Device Mapped Address",
                                 "Built-in Pointing Device", "Portable Battery", "System Reset",
                                 "Hardware Security", "System Power Controls", "Voltage Probe", "Cooling Device",
                                 "Temperature Probe", "Electrical Current Probe", "Out-of-band Remote Access",
                                 "Boot Integrity Services Entry Point", "System Boot Information",
                                 "64-bit Memory Error Information", "Management Device",
                                 "Management Device Component", "Management Device Threshold Data",
                                 "Memory Channel", "IPMI Device Information", "Power Supply Information",
                                 "Additional Information", "Onboard Device", "Management Controller Host Interface",
                                 "TPM Device", "Processor Additional Information", "Firmware Inventory Information",
                                 "String Property"};
  // clang-format on
  if (type < sizeof kNames / sizeof kNames[0]) return kNames[type];
  if (type == 126) return "Inactive";
  if (type == 127) return "End Of Table";
  return type >= 128 ? "OEM-specific Type" : "Unknown Type";
}

}  // namespace

SmbiosTable DecodeSmbiosTable(const std::vector<uint8_t> &table, uint16_t version) {
  SmbiosTable out;
  size_t at = 0;
  while (at < table.size()) {
    if (table.size() - at < 4) {
      out.problem = Printf("%llu stray bytes at offset 0x%llX, too few for a structure header", table.size() - at, at);
      break;
    }
    SmbiosStructure s;
    s.type = table[at];
    s.length = table[at + 1];
    s.handle = static_cast<uint16_t>(table[at + 2] | (table[at + 3] << 8));
    if (s.length < 4) {
      out.problem = Printf("structure at offset 0x%llX states a length of %llu, below the 4-byte header", at, s.length);
      break;
    }
    if (table.size() - at < s.length) {
      out.problem = Printf("structure at offset 0x%llX runs past the end of the table", at);
      break;
    }
    s.formatted.assign(table.begin() + static_cast<long>(at), table.begin() + static_cast<long>(at + s.length));
    // Strings follow, each ended by a null; two nulls end the structure.
    size_t p = at + s.length;
    bool ended = false;
    if (p + 1 < table.size() && table[p] == 0 && table[p + 1] == 0) {
      p += 2;
      ended = true;
    } else {
      while (p < table.size()) {
        size_t end = p;
        while (end < table.size() && table[end] != 0) end++;
        if (end >= table.size()) break;
        s.strings.emplace_back(reinterpret_cast<const char *>(&table[p]), end - p);
        p = end + 1;
        if (p < table.size() && table[p] == 0) {
          p++;
          ended = true;
          break;
        }
      }
    }
    s.name = TypeName(s.type);
    Decoder d(s, version);
    s.decoded = true;
    switch (s.type) {
      // clang-format off
      case 0: if (s.length >= 0x12) d.Bios(); else s.decoded = false; break;
      case 1: if (s.length >= 0x08) d.System(); else s.decoded = false; break;
      case 2: if (s.length >= 0x08) d.BaseBoard(); else s.decoded = false; break;
      case 3: if (s.length >= 0x09) d.Chassis(); else s.decoded = false; break;
      case 4: if (s.length >= 0x1A) d.Processor(); else s.decoded = false; break;
      case 17: if (s.length >= 0x15) d.MemoryDevice(); else s.decoded = false; break;
      // clang-format on
      case 32: d.SystemBoot(); break;
      case 127: break;
      default: s.decoded = false; break;
    }
    s.fields = std::move(d.fields);
    out.structures.push_back(std::move(s));
    if (!ended) {
      out.problem = Printf("the strings of the structure at offset 0x%llX run past the end of the table", at);
      break;
    }
    if (out.structures.back().type == 127) {
      out.end_found = true;
      break;
    }
    at = p;
  }
  return out;
}

std::string SmbiosText(const SmbiosTable &table) {
  std::string text;
  for (const SmbiosStructure &s : table.structures) {
    text += Printf("Handle 0x%04llX, DMI type %llu, ", s.handle, s.type) + Printf("%llu bytes\n", s.length);
    text += s.name + "\n";
    if (s.decoded) {
      for (const SmbiosField &f : s.fields) {
        text += "\t" + f.name + ":" + (f.value.empty() ? "" : " " + f.value) + "\n";
        for (const std::string &item : f.items) text += "\t\t" + item + "\n";
      }
    } else if (s.type != 127) {
      text += "\tHeader and Data:\n";
      for (size_t i = 0; i < s.formatted.size(); i += 16) {
        text += "\t\t";
        for (size_t j = i; j < i + 16 && j < s.formatted.size(); j++)
          text += Printf(j > i ? " %02llX" : "%02llX", s.formatted[j]);
        text += "\n";
      }
      if (!s.strings.empty()) {
        text += "\tStrings:\n";
        for (const std::string &str : s.strings) {
          std::string shown = str;
          for (char &c : shown)
            if (static_cast<unsigned char>(c) < 32 || c == 127) c = '.';
          text += "\t\t" + shown + "\n";
        }
      }
    }
    text += "\n";
  }
  if (!table.problem.empty())
    text += "Decoding stopped: " + table.problem + "\n";
  else if (!table.end_found)
    text += "No end-of-table structure (type 127) in the table.\n";
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string SmbiosJson(const SmbiosTable &table) {
  std::string json = "[";
  for (size_t i = 0; i < table.structures.size(); i++) {
    const SmbiosStructure &s = table.structures[i];
    json += (i ? "," : "") + Printf("{\"handle\":%llu,\"type\":%llu,", s.handle, s.type) +
            Printf("\"length\":%llu,\"name\":", s.length) + JsonString(s.name, true) + ",\"strings\":[";
    for (size_t k = 0; k < s.strings.size(); k++) json += (k ? "," : "") + JsonString(s.strings[k], true);
    json += "],\"fields\":{";
    for (size_t k = 0; k < s.fields.size(); k++) {
      const SmbiosField &f = s.fields[k];
      json += (k ? "," : "") + JsonString(f.name, true) + ":";
      if (f.items.empty()) {
        json += JsonString(f.value, true);
      } else {
        json += "[";
        for (size_t n = 0; n < f.items.size(); n++) json += (n ? "," : "") + JsonString(f.items[n], true);
        json += "]";
      }
    }
    json += "}}";
  }
  return json + "]";
}

}  // namespace nicdiag
