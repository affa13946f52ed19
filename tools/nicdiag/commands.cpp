// nicdiag's command line, commands and output, shared by the Windows and the
// host build. Argument parsing is done here by hand (no library), so the
// Windows executable stays small and needs nothing beyond the C runtime.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "driver/nicport_ioctl.h"
#include "tools/nicdiag/nicdiag.h"
#include "tools/nicdiag/tables.h"
#include "nicdiag_version.h"

namespace nicdiag {
namespace {

const char kUsage[] =
    "usage: nicdiag [--profile FILE] [--json] [--debug-log] [--stop-on-error] [--script FILE|-]\n"
    "               COMMAND [ARGS] [; COMMAND [ARGS]] ...\n"
    "\n"
    "Sends device-control requests to the NICPORT driver (\\\\.\\NICPORT) and prints what came back.\n"
    "Several commands run in one session when separated by a ';' argument (quote it: ';'),\n"
    "or one per line of a --script file ('#' starts a comment); mapped windows stay mapped\n"
    "between the commands of one session.\n"
    "\n"
    "Options:\n"
    "  --profile FILE   hardware profile of the simulated machine (default: built-in adapter)\n"
    "  --json           one JSON object per command and line: status, information, output\n"
    "                   (hex of the bytes returned), sim_time_us (virtual time taken) and more\n"
    "  --script FILE    read the commands from FILE (after any given on the command line);\n"
    "                   - reads them from standard input\n"
    "  --stop-on-error  end the session at the first command that fails\n"
    "  --debug-log      echo the driver's debug output (DbgPrint) to stderr, prefixed 'dbg: '\n"
    "  --version        nicdiag's version\n"
    "  --help           this text\n"
    "\n"
    "Commands (numbers are decimal, or hexadecimal with 0x):\n"
    "  id                                  identification value of the driver (0x21)\n"
    "  port read 8|16|32 PORT              read an I/O port\n"
    "  port write 8|16|32 PORT VALUE [--truncate]\n"
    "                                      write an I/O port; a VALUE wider than the access is\n"
    "                                      refused unless --truncate writes its low bits\n"
    "  mem map BUS ADDRESS LENGTH          map LENGTH bytes of PCI bus memory at ADDRESS;\n"
    "                                      prints the window's virtual address\n"
    "  mem read 8|16|32 ADDRESS            read inside a mapped window\n"
    "  mem write 8|16|32 ADDRESS VALUE [--truncate]\n"
    "                                      write inside a mapped window (VALUE as for port write)\n"
    "  mem unmap ADDRESS LENGTH            unmap a window (its virtual address and length)\n"
    "  pci read BUS SLOT OFFSET LENGTH     read PCI configuration space (16 bytes a line,\n"
    "                                      laid out as lspci -x prints it)\n"
    "  pci write BUS SLOT OFFSET HEXBYTES  write PCI configuration space (bytes as hex, e.g. 0700);\n"
    "                                      fewer bytes read or written than asked is a failure\n"
    "  pci list                            every function of every device on every bus that\n"
    "                                      answers: BB:DD.F CLASS: VENDOR:DEVICE (rev RR)\n"
    "  validate ADDRESS BUS SLOT           validate a memory window address (re-assigns the\n"
    "                                      slot's resources when not on a 2 MB boundary)\n"
    "  first-range                         start of the first range of the last assignment\n"
    "  stall MICROSECONDS                  busy-wait in the driver\n"
    "  eeprom size|dump|read WORD|write WORD VALUE|fix-checksum|restore FILE [--method io|mem]\n"
    "         [--size WORDS] [-s BB:DD.F | --bus BUS --device DEVICE[.FUNCTION] | --register ADDRESS]\n"
    "         [--out FILE] [--yes]\n"
    "                                      the adapter's serial EEPROM: size probe, all words\n"
    "                                      (16 a line, MAC address, checksum verdict: all words\n"
    "                                      sum to 0xBABA in a valid image, the last word making\n"
    "                                      it so; --out FILE saves them, .bin as little-endian\n"
    "                                      bytes, else hex text), one word, a write (asks first\n"
    "                                      unless --yes; says when it leaves the sum wrong), or\n"
    "                                      fix-checksum, which writes the last word so the sum is\n"
    "                                      right; restore writes an image saved by --out back\n"
    "                                      and reads every word back. ADDRESS is the EEPROM\n"
    "                                      control register; by\n"
    "                                      default the adapter's I/O window (io) or memory\n"
    "                                      window (mem) + 0x0E\n"
    "  phy dump|scan|read REG|write REG VALUE [--phy-address N] [--method io|mem]\n"
    "         [-s BB:DD.F | --bus BUS --device DEVICE[.FUNCTION] | --register BASE]\n"
    "                                      PHY management registers through the MDI control\n"
    "                                      register at BASE + 0x10; dump decodes BMCR, BMSR, the\n"
    "                                      identifier, ANAR and ANLPAR; scan lists the addresses\n"
    "                                      that answer. N: odd, default 1\n"
    "  eeprom and phy act on the first supported adapter (vendor 8086, device 1229, 1000 or\n"
    "  5201) unless --bus/--device or --register names another; their output names it.\n"
    "  raw CODE [HEXBYTES] [--out N]       any control code with any input; N output bytes\n"
    "                                      (default 8); prints status, byte count and bytes\n"
    "%s"
    "\n"
    "SLOT is the PCI slot number (device in bits 0-4, function in bits 5-7) or DEVICE.FUNCTION.\n"
    "-s [[DOMAIN:]BUS:]DEVICE[.FUNCTION], in hexadecimal as lspci -s takes it (00:03.0), can\n"
    "stand for BUS SLOT (pci read/write, validate) and for --bus/--device (eeprom, phy, resources).\n"
    "Every command is checked before the first one runs; an error names the script's file and\n"
    "line.\n"
    "Exit status: 0 when every command succeeded; 1 when a request failed, the driver left\n"
    "something behind at unload, an EEPROM image could not be saved or standard output could not\n"
    "be written; 2 for bad input (usage, an unreadable or malformed script or profile); 3 when\n"
    "the device could not be opened; 130 when Ctrl-C ended the session (after the command it\n"
    "arrived in; the EEPROM image is saved as at any other end).\n";

// Largest PCI configuration transfer of one command, in bytes.
constexpr uint32_t kMaxPciTransfer = 4096;

}  // namespace

// Parses a decimal number or a hexadecimal one with 0x; false for anything
// else or a value above 32 bits.
bool ParseNumber(const std::string &text, uint32_t &value) {
  if (text.empty()) return false;
  int base = 10;
  size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  unsigned long long result = 0;
  for (size_t i = start; i < text.size(); i++) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    result = result * base + digit;
    if (result > 0xFFFFFFFFull) return false;
  }
  value = static_cast<uint32_t>(result);
  return true;
}

namespace {

bool ParseHex(const std::string &text, uint32_t max, uint32_t &value) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    v = v * 16 + static_cast<uint32_t>(digit);
  }
  if (v > max) return false;
  value = v;
  return true;
}

}  // namespace

bool ParseFunctionAddress(const std::string &text, uint32_t &bus, uint32_t &slot) {
  std::string rest = text;
  uint32_t domain = 0, device = 0, function = 0;
  bus = 0;
  const size_t last_colon = rest.rfind(':');
  if (last_colon != std::string::npos) {
    std::string head = rest.substr(0, last_colon);
    rest = rest.substr(last_colon + 1);
    const size_t colon = head.find(':');
    if (colon != std::string::npos) {
      if (!ParseHex(head.substr(0, colon), 0xFFFF, domain) || domain != 0) return false;
      head = head.substr(colon + 1);
    }
    if (!ParseHex(head, 0xFF, bus)) return false;
  }
  const size_t dot = rest.find('.');
  if (dot != std::string::npos) {
    if (!ParseHex(rest.substr(dot + 1), 7, function)) return false;
    rest = rest.substr(0, dot);
  }
  if (!ParseHex(rest, 0x1F, device)) return false;
  slot = device | (function << 5);
  return true;
}

namespace {

// A PCI slot: the PCI_SLOT_NUMBER value (device in bits 0-4, function in
// bits 5-7, nothing above), or DEVICE.FUNCTION.
bool ParseSlot(const std::string &text, uint32_t &slot) {
  size_t dot = text.find('.');
  if (dot == std::string::npos) return ParseNumber(text, slot) && slot <= 0xFF;
  uint32_t device, function;
  if (!ParseNumber(text.substr(0, dot), device) || !ParseNumber(text.substr(dot + 1), function) || device > 31 ||
      function > 7) {
    return false;
  }
  slot = device | (function << 5);
  return true;
}

bool ParseHexBytes(const std::string &text, std::vector<uint8_t> &bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == ',') continue;
    digits += c;
  }
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.size() % 2 != 0) return false;
  bytes.clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    uint32_t value;
    if (!ParseNumber("0x" + digits.substr(i, 2), value)) return false;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

std::string Hex(const std::vector<uint8_t> &bytes) {
  std::string text;
  char part[4];
  for (uint8_t b : bytes) {
    std::snprintf(part, sizeof part, "%02x", b);
    text += part;
  }
  return text;
}

std::string Format(const char *format, unsigned long long a = 0, unsigned long long b = 0,
                   unsigned long long c = 0, unsigned long long d = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c, d);
  return text;
}

const char *StatusName(uint32_t status) {
  switch (status) {
    case KDVR_STATUS_SUCCESS: return "STATUS_SUCCESS";
    case KDVR_STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case KDVR_STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case KDVR_STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case KDVR_STATUS_ACCESS_VIOLATION: return "STATUS_ACCESS_VIOLATION";
    case KDVR_STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case KDVR_STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case KDVR_STATUS_DRIVER_INTERNAL_ERROR: return "STATUS_DRIVER_INTERNAL_ERROR";
    case 0xC0000035u: return "STATUS_OBJECT_NAME_COLLISION";
    case 0xC0000017u: return "STATUS_NO_MEMORY";
    default: return "";
  }
}

std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += Format("\\u%04llx", static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Join(const std::vector<std::string> &words) {
  std::string text;
  for (const auto &w : words) {
    if (!text.empty()) text += ' ';
    text += w;
  }
  return text;
}

// One command being run: its words, the requests it made and what it prints.
struct Run {
  Run(Device &d, const Options &o, const std::vector<std::string> &w) : device(d), options(o), words(w) {}
  Device &device;
  const Options &options;
  std::vector<std::string> words;
  uint64_t start_us = 0;
  Reply last;              // the last request's reply
  std::string text;        // human-readable result
  std::string json_extra;  // further JSON members, each starting with ','
  bool ok = true;
  bool usage_error = false;
  // Checking only: the command's arguments are parsed and checked, and it
  // stops (stopped set) at its first request, before anything is sent.
  bool checking = false;
  bool stopped = false;

  uint32_t Word(size_t index) const {
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && index * 4 + i < last.output.size(); i++) {
      value |= static_cast<uint32_t>(last.output[index * 4 + i]) << (8 * i);
    }
    return value;
  }

  // Sends one request; a failure status or an undelivered request fails the
  // command with a message.
  bool Request(uint32_t code, const std::vector<uint32_t> &words_in, uint32_t output_length) {
    std::vector<uint8_t> input;
    for (uint32_t w : words_in) {
      for (int i = 0; i < 4; i++) input.push_back(static_cast<uint8_t>(w >> (8 * i)));
    }
    return RequestBytes(code, input, output_length, true);
  }

  bool RequestBytes(uint32_t code, const std::vector<uint8_t> &input, uint32_t output_length, bool must_succeed) {
    if (checking) {
      stopped = true;
      return false;
    }
    last = device.Control(code, input, output_length);
    if (!last.delivered) {
      ok = false;
      text = "request not delivered: " + last.error;
      return false;
    }
    if (must_succeed && last.status != KDVR_STATUS_SUCCESS) {
      ok = false;
      text = Format("failed: status 0x%08llX", last.status) + " " + StatusName(last.status);
      return false;
    }
    return true;
  }

  bool Usage(const std::string &message) {
    ok = false;
    usage_error = true;
    text = message;
    return false;
  }

  bool Number(size_t index, const char *what, uint32_t &value) {
    if (index >= words.size()) return Usage(std::string("missing ") + what);
    if (!ParseNumber(words[index], value)) return Usage(std::string("bad ") + what + " '" + words[index] + "'");
    return true;
  }

  bool Count(size_t n) {
    if (words.size() != n) return Usage("expected " + std::to_string(n - 1) + " arguments");
    return true;
  }

  bool Width(size_t index, uint32_t &width) {
    if (!Number(index, "width", width)) return false;
    if (width != 8 && width != 16 && width != 32) return Usage("width must be 8, 16 or 32");
    return true;
  }

  // Removes "-s BB:DD.F" from the words wherever it stands; found tells
  // whether it was there. False (a usage error) when it is malformed.
  bool TakeFunctionAddress(bool &found, uint32_t &bus, uint32_t &slot) {
    found = false;
    for (size_t i = 1; i < words.size(); i++) {
      if (words[i] != "-s") continue;
      if (found) return Usage("-s given twice");
      if (i + 1 >= words.size() || !ParseFunctionAddress(words[i + 1], bus, slot))
        return Usage("-s needs [[DOMAIN:]BUS:]DEVICE[.FUNCTION] in hexadecimal, as lspci -s takes it (00:03.0)");
      words.erase(words.begin() + static_cast<std::ptrdiff_t>(i), words.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      found = true;
      i--;
    }
    return true;
  }

  // Removes a flag from the words wherever it stands; true when it was there.
  bool TakeFlag(const char *flag) {
    bool found = false;
    for (size_t i = 1; i < words.size();) {
      if (words[i] == flag) {
        words.erase(words.begin() + static_cast<std::ptrdiff_t>(i));
        found = true;
      } else {
        i++;
      }
    }
    return found;
  }

  // The VALUE of a write as the access carries it: a value wider than the
  // access is refused unless --truncate asks for its low bits.
  bool AccessValue(size_t index, uint32_t width, bool truncate, uint32_t &value, std::string &note) {
    if (!Number(index, "value", value)) return false;
    const uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
    if ((value & ~mask) == 0) return true;
    if (!truncate)
      return Usage(Format("VALUE 0x%llX does not fit in %llu bits; --truncate writes its low bits (0x%llX)", value,
                          width, value & mask));
    note = Format(" (0x%llX truncated to %llu bits)", value, width);
    value &= mask;
    return true;
  }
};

const char *ValueFormat(uint32_t width) { return width == 8 ? "%02llX" : width == 16 ? "%04llX" : "%08llX"; }

bool CommandId(Run &run) {
  if (!run.Count(1)) return false;
  if (!run.Request(IOCTL_KDVR_GET_IDENTIFIER, {}, 4)) return false;
  run.text = Format("identifier 0x%02llX", run.Word(0));
  run.json_extra = Format(",\"value\":%llu", run.Word(0));
  return true;
}

bool CommandPort(Run &run) {
  if (run.words.size() < 2) return run.Usage("port read|write 8|16|32 PORT [VALUE]");
  bool write = run.words[1] == "write";
  if (!write && run.words[1] != "read") return run.Usage("port read|write 8|16|32 PORT [VALUE]");
  const bool truncate = write && run.TakeFlag("--truncate");
  uint32_t width, port, value = 0;
  std::string note;
  if (!run.Count(write ? 5 : 4) || !run.Width(2, width) || !run.Number(3, "port", port)) return false;
  if (write && !run.AccessValue(4, width, truncate, value, note)) return false;
  static const uint32_t kRead[] = {IOCTL_KDVR_READ_PORT_UCHAR, IOCTL_KDVR_READ_PORT_USHORT,
                                   IOCTL_KDVR_READ_PORT_ULONG};
  static const uint32_t kWrite[] = {IOCTL_KDVR_WRITE_PORT_UCHAR, IOCTL_KDVR_WRITE_PORT_USHORT,
                                    IOCTL_KDVR_WRITE_PORT_ULONG};
  int w = width == 8 ? 0 : width == 16 ? 1 : 2;
  if (write) {
    if (!run.Request(kWrite[w], {port, value}, 0)) return false;
    run.text = Format("port 0x%04llX (%llu-bit) <- 0x", port, width) + Format(ValueFormat(width), value) + note;
    run.json_extra = Format(",\"value\":%llu", value);
  } else {
    if (!run.Request(kRead[w], {port}, 4)) return false;
    run.text = Format("port 0x%04llX (%llu-bit) = 0x", port, width) +
               Format(width == 8 ? "%02llX" : width == 16 ? "%04llX" : "%08llX", run.Word(0));
    run.json_extra = Format(",\"value\":%llu", run.Word(0));
  }
  return true;
}

bool CommandMem(Run &run) {
  if (run.words.size() < 2) return run.Usage("mem map|read|write|unmap ...");
  const std::string &op = run.words[1];
  if (op == "map") {
    uint32_t bus, address, length;
    if (!run.Count(5) || !run.Number(2, "bus", bus) || !run.Number(3, "address", address) ||
        !run.Number(4, "length", length)) {
      return false;
    }
    if (!run.Request(IOCTL_KDVR_MAP_MEMORY, {address, bus, length}, 4)) return false;
    uint32_t virt = run.Word(0);
    run.json_extra = Format(",\"value\":%llu", virt);
    if (virt == 0) {
      run.ok = false;
      run.text = Format("bus %llu address 0x%08llX: not mapped (translation or mapping failed)", bus, address);
      return false;
    }
    run.text = Format("bus %llu address 0x%08llX length 0x%llX mapped at 0x%08llX", bus, address, length, virt);
    return true;
  }
  if (op == "unmap") {
    uint32_t address, length;
    if (!run.Count(4) || !run.Number(2, "address", address) || !run.Number(3, "length", length)) return false;
    if (!run.Request(IOCTL_KDVR_UNMAP_MEMORY, {address, length}, 0)) return false;
    run.text = Format("unmapped 0x%08llX length 0x%llX", address, length);
    return true;
  }
  bool write = op == "write";
  if (!write && op != "read") return run.Usage("mem map|read|write|unmap ...");
  const bool truncate = write && run.TakeFlag("--truncate");
  uint32_t width, address, value = 0;
  std::string note;
  if (!run.Count(write ? 5 : 4) || !run.Width(2, width) || !run.Number(3, "address", address)) return false;
  if (write && !run.AccessValue(4, width, truncate, value, note)) return false;
  static const uint32_t kRead[] = {IOCTL_KDVR_READ_MEMORY_UCHAR, IOCTL_KDVR_READ_MEMORY_USHORT,
                                   IOCTL_KDVR_READ_MEMORY_ULONG};
  static const uint32_t kWrite[] = {IOCTL_KDVR_WRITE_MEMORY_UCHAR, IOCTL_KDVR_WRITE_MEMORY_USHORT,
                                    IOCTL_KDVR_WRITE_MEMORY_ULONG};
  int w = width == 8 ? 0 : width == 16 ? 1 : 2;
  if (write) {
    if (!run.Request(kWrite[w], {address, value}, 0)) return false;
    run.text = Format("memory 0x%08llX (%llu-bit) <- 0x", address, width) + Format(ValueFormat(width), value) + note;
    run.json_extra = Format(",\"value\":%llu", value);
  } else {
    if (!run.Request(kRead[w], {address}, 4)) return false;
    run.text = Format("memory 0x%08llX (%llu-bit) = 0x", address, width) +
               Format(width == 8 ? "%02llX" : width == 16 ? "%04llX" : "%08llX", run.Word(0));
    run.json_extra = Format(",\"value\":%llu", run.Word(0));
  }
  return true;
}

bool PciTransfer(Run &run, bool write, uint32_t bus, uint32_t slot, uint32_t offset, uint32_t length,
                 const std::vector<uint8_t> &data, std::vector<uint8_t> &bytes) {
  if (run.checking) {
    run.stopped = true;
    return false;
  }
  // The session's one transfer buffer serves every request.
  std::string error;
  ClientBuffer buffer = run.device.TransferBuffer(error);
  if (buffer.data == nullptr || length > buffer.size) {
    run.ok = false;
    run.text = buffer.data == nullptr ? error : "transfer larger than the buffer";
    return false;
  }
  if (write) std::memcpy(buffer.data, data.data(), data.size());
  uint32_t code = write ? IOCTL_KDVR_WRITE_PCI_CONFIG : IOCTL_KDVR_READ_PCI_CONFIG;
  if (!run.Request(code, {bus, slot, buffer.address, offset, length}, 4)) return false;
  uint32_t count = run.Word(0);
  if (count > length) count = length;
  bytes.assign(buffer.data, buffer.data + count);
  return true;
}

std::string SlotText(uint32_t bus, uint32_t slot) {
  return Format("%02llx:%02llx.%llu", bus, slot & 0x1F, (slot >> 5) & 7);
}

bool CommandPci(Run &run) {
  if (run.words.size() < 2) return run.Usage("pci read|write|list ...");
  const std::string &op = run.words[1];
  if (op == "list") {
    if (!run.Count(2)) return false;
    std::string json = ",\"functions\":[";
    int found = 0;
    for (uint32_t bus = 0; bus < 256; bus++) {
      for (uint32_t device = 0; device < 32; device++) {
        for (uint32_t function = 0; function < 8; function++) {
          uint32_t slot = device | (function << 5);
          std::vector<uint8_t> head;
          if (!PciTransfer(run, false, bus, slot, 0, 16, {}, head)) return false;
          if (head.size() < 2) {
            // No such bus: nothing more to find on it.
            device = 32;
            break;
          }
          uint32_t vendor = head[0] | (head[1] << 8);
          if (vendor == 0xFFFF || vendor == 0 || head.size() < 16) {
            if (function == 0) break;
            continue;
          }
          uint32_t id = head[2] | (head[3] << 8);
          uint32_t revision = head[8];
          uint32_t klass = head[10] | (head[11] << 8);
          if (!run.text.empty()) run.text += "\n";
          run.text += SlotText(bus, slot) + Format(" %04llx: %04llx:%04llx", klass, vendor, id) +
                      Format(" (rev %02llx)", revision);
          if (found++) json += ",";
          json += Format("{\"bus\":%llu,\"device\":%llu,\"function\":%llu", bus, device, function) +
                  Format(",\"class\":%llu,\"vendor\":%llu,\"device_id\":%llu", klass, vendor, id) +
                  Format(",\"revision\":%llu}", revision);
          // Functions above 0 exist only on a multi-function device.
          if (function == 0 && (head[14] & 0x80) == 0) break;
        }
      }
    }
    if (found == 0) run.text = "no PCI functions found";
    run.json_extra = json + "]";
    return true;
  }
  bool write = op == "write";
  if (!write && op != "read") return run.Usage("pci read|write|list ...");
  uint32_t bus = 0, slot = 0, offset, length = 0;
  bool by_address = false;
  if (!run.TakeFunctionAddress(by_address, bus, slot)) return false;
  // BUS SLOT, or -s BB:DD.F in their place.
  const size_t at = by_address ? 2 : 4;
  std::vector<uint8_t> data;
  if (!run.Count(at + 2)) return false;
  if (!by_address) {
    if (!run.Number(2, "bus", bus)) return false;
    if (bus > 255) return run.Usage(Format("BUS %llu is out of range: PCI buses are 0 to 255", bus));
    if (!ParseSlot(run.words[3], slot))
      return run.Usage("bad slot '" + run.words[3] + "' (device 0-31 in bits 0-4 and function 0-7 in bits 5-7, or "
                       "DEVICE.FUNCTION)");
  }
  if (!run.Number(at, "offset", offset)) return false;
  if (offset > 0xFFF) return run.Usage("OFFSET above 0xFFF: configuration space ends there");
  if (write) {
    if (!ParseHexBytes(run.words[at + 1], data) || data.empty())
      return run.Usage("bad bytes '" + run.words[at + 1] + "'");
    length = static_cast<uint32_t>(data.size());
  } else if (!run.Number(at + 1, "length", length)) {
    return false;
  } else if (length > kMaxPciTransfer) {
    return run.Usage("length above 4096");
  }
  if (length > kMaxPciTransfer) return run.Usage("more than 4096 bytes");
  std::vector<uint8_t> bytes;
  if (!PciTransfer(run, write, bus, slot, offset, length, data, bytes)) return false;
  const uint32_t count = run.Word(0);
  run.json_extra = Format(",\"count\":%llu", count) + ",\"data\":\"" + Hex(bytes) + "\"";
  const std::string where = SlotText(bus, slot) + Format(" +0x%02llx: ", offset);
  if (count < length) {
    // The HAL transfers nothing on a bus that does not exist, two bytes of
    // a vendor ID that reads FFFF on an empty slot, and stops at the end of
    // the header it knows.
    run.ok = false;
    if (count == 0 && write)
      run.text = where + Format("wrote 0 of %llu bytes: no such bus or function, or an offset beyond the header", length);
    else if (count == 0)
      run.text = where + Format("read 0 of %llu bytes: no such bus, or an offset beyond the header", length);
    else if (!write && offset == 0 && count == 2 && bytes.size() == 2 && bytes[0] == 0xFF && bytes[1] == 0xFF)
      run.text = where + "no function there: its vendor ID reads ffff";
    else
      run.text = where + Format(write ? "wrote only %llu of %llu bytes" : "read only %llu of %llu bytes", count, length);
    return false;
  }
  if (write) {
    run.text = where + Format("wrote %llu of %llu bytes", count, length);
    return true;
  }
  // lspci -x's layout: the offset of the line's first byte in two hex
  // digits (three from 0x100 on) and a colon, then up to 16 bytes.
  run.text = where + Format("%llu bytes", bytes.size());
  for (size_t i = 0; i < bytes.size(); i++) {
    if (i % 16 == 0) run.text += Format(offset + i < 0x100 ? "\n%02llx:" : "\n%03llx:", offset + i);
    run.text += Format(" %02llx", bytes[i]);
  }
  return true;
}

bool CommandValidate(Run &run) {
  uint32_t address, bus = 0, slot = 0;
  bool by_address = false;
  if (!run.TakeFunctionAddress(by_address, bus, slot)) return false;
  if (!run.Count(by_address ? 2 : 4) || !run.Number(1, "address", address)) return false;
  if (!by_address) {
    if (!run.Number(2, "bus", bus)) return false;
    if (bus > 255) return run.Usage(Format("BUS %llu is out of range: PCI buses are 0 to 255", bus));
    if (!ParseSlot(run.words[3], slot)) return run.Usage("bad slot '" + run.words[3] + "'");
  }
  if (!run.Request(IOCTL_KDVR_VALIDATE_MEM_SPACE, {address, bus, slot}, 4)) return false;
  run.text = Format("address to use 0x%08llX", run.Word(0));
  run.json_extra = Format(",\"value\":%llu", run.Word(0));
  return true;
}

bool CommandFirstRange(Run &run) {
  if (!run.Count(1)) return false;
  if (!run.Request(IOCTL_KDVR_GET_FIRST_RANGE_START, {}, 4)) return false;
  run.text = Format("first range start 0x%08llX", run.Word(0));
  run.json_extra = Format(",\"value\":%llu", run.Word(0));
  return true;
}

bool CommandStall(Run &run) {
  uint32_t us;
  if (!run.Count(2) || !run.Number(1, "microseconds", us)) return false;
  if (!run.Request(IOCTL_KDVR_STALL, {us}, 0)) return false;
  run.text = Format("stalled %llu us", us);
  return true;
}

bool CommandRaw(Run &run) {
  uint32_t code, out = 8;
  std::vector<uint8_t> input;
  if (!run.Number(1, "code", code)) return false;
  for (size_t i = 2; i < run.words.size(); i++) {
    if (run.words[i] == "--out") {
      if (!run.Number(i + 1, "output length", out)) return false;
      if (out > 65536) return run.Usage("output length above 65536");
      i++;
    } else if (input.empty() && ParseHexBytes(run.words[i], input)) {
      continue;
    } else {
      return run.Usage("bad argument '" + run.words[i] + "'");
    }
  }
  // Any completion status is a result here: the point is to see it.
  if (!run.RequestBytes(code, input, out, false)) return false;
  run.text = Format("status 0x%08llX", run.last.status) + " " + StatusName(run.last.status) +
             Format(", %llu bytes:", run.last.information) + (run.last.output.empty() ? "" : " ") +
             Hex(run.last.output);
  return true;
}

// ---------------------------------------------------------------------------
// EEPROM and PHY commands. They act on one adapter: the first supported one
// on the machine unless --bus/--device names a PCI function or --register
// names the register itself. The adapter's registers are found from its
// BARs: the EEPROM control register lies at +0x0E and the MDI control
// register at +0x10 of the adapter's register block.

// The adapters the uninstaller recognises: vendor 8086 with these devices.
constexpr uint32_t kSupportedVendor = 0x8086;
constexpr uint32_t kSupportedDevices[] = {0x1229, 0x1000, 0x5201};

bool IsSupportedAdapter(uint32_t vendor, uint32_t device) {
  if (vendor != kSupportedVendor) return false;
  for (uint32_t id : kSupportedDevices)
    if (id == device) return true;
  return false;
}

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
  uint32_t phy_address = 1;
};

bool ParseHwOptions(Run &run, bool eeprom, HwOptions &o) {
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
  return true;
}

// Calls visit(bus, slot, header) with the first 64 bytes of configuration
// space of every function present, in bus, device and function order, until
// visit returns true. Every bus that answers is scanned, and functions 1 to
// 7 of a device whose function 0 has the multi-function bit (header type bit
// 7). False when a request failed.
template <typename Visit>
bool ForEachFunction(Run &run, Visit visit) {
  for (uint32_t bus = 0; bus < 256; bus++) {
    for (uint32_t device = 0; device < 32; device++) {
      for (uint32_t function = 0; function < 8; function++) {
        const uint32_t slot = device | (function << 5);
        std::vector<uint8_t> head;
        if (!PciTransfer(run, false, bus, slot, 0, 64, {}, head)) return false;
        if (head.size() < 2) {
          device = 32;  // no such bus: nothing more to find on it
          break;
        }
        const uint32_t vendor = head[0] | (head[1] << 8);
        if (vendor == 0xFFFF || vendor == 0 || head.size() < 64) {
          if (function == 0) break;
          continue;
        }
        if (visit(bus, slot, head)) return true;
        if (function == 0 && (head[14] & 0x80) == 0) break;
      }
    }
  }
  return true;
}

// The adapter a command acts on, as its output names it.
struct AdapterRef {
  bool known = false;
  uint32_t bus = 0, slot = 0, vendor = 0, device = 0;
  uint32_t io = 0, memory = 0;  // first I/O and memory BAR addresses
  std::string Name() const {
    return known ? SlotText(bus, slot) + Format(" %04llx:%04llx", vendor, device) : "adapter not identified";
  }
  std::string Json() const {
    if (!known) return ",\"adapter\":null";
    return ",\"adapter\":\"" + Name() + "\"" + Format(",\"bus\":%llu,\"device\":%llu", bus, slot & 0x1F) +
           Format(",\"function\":%llu,\"vendor\":%llu,\"device_id\":%llu", (slot >> 5) & 7, vendor, device);
  }
  void From(uint32_t b, uint32_t s, const std::vector<uint8_t> &head) {
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
    if (mapped == 0) return;
    std::vector<uint8_t> in(8, 0);
    for (int i = 0; i < 4; i++) {
      in[i] = static_cast<uint8_t>(mapped >> (8 * i));
      in[4 + i] = static_cast<uint8_t>(0x40 >> (8 * i));
    }
    run.device.Control(IOCTL_KDVR_UNMAP_MEMORY, in, 0);
  }
};

bool FindRegisterBlock(Run &run, const HwOptions &o, uint32_t offset, RegisterBlock &block) {
  AdapterRef &adapter = block.adapter;
  if (o.has_register) {
    block.base = o.register_address - offset;
    if (run.checking) return run.RequestBytes(0, {}, 0, false);
    // Name the adapter whose I/O window holds the register, when one does.
    if (!o.memory && !ForEachFunction(run, [&](uint32_t bus, uint32_t slot, const std::vector<uint8_t> &head) {
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
    if (head.empty()) {
      run.ok = false;
      run.text = Format("no PCI bus %llu: the HAL read nothing from ", o.bus) + SlotText(o.bus, o.slot);
      return false;
    }
    if (head.size() < 64 || (head[0] == 0xFF && head[1] == 0xFF) || (head[0] == 0 && head[1] == 0)) {
      run.ok = false;
      run.text = "no PCI function at " + SlotText(o.bus, o.slot);
      return false;
    }
    adapter.From(o.bus, o.slot, head);
  } else {
    if (!ForEachFunction(run, [&](uint32_t bus, uint32_t slot, const std::vector<uint8_t> &head) {
          const uint32_t vendor = head[0] | (head[1] << 8), device = head[2] | (head[3] << 8);
          if (!IsSupportedAdapter(vendor, device)) return false;
          adapter.From(bus, slot, head);
          return true;
        }))
      return false;
    if (!adapter.known) {
      run.ok = false;
      run.text = "no supported adapter found (vendor 8086, device 1229, 1000 or 5201); name another with "
                 "--bus and --device, or its register with --register";
      return false;
    }
  }
  if (!o.memory) {
    if (adapter.io != 0) {
      block.base = adapter.io;
      return true;
    }
  } else if (adapter.memory != 0) {
    if (!run.Request(IOCTL_KDVR_MAP_MEMORY, {adapter.memory, adapter.bus, 0x40}, 4)) return false;
    block.mapped = block.base = run.Word(0);
    if (block.base != 0) return true;
    run.ok = false;
    run.text = adapter.Name() + Format(": the memory window 0x%08llX could not be mapped", adapter.memory);
    return false;
  }
  run.ok = false;
  run.text = adapter.Name() + ": no " + (o.memory ? "memory" : "I/O") + " window; name the register with --register";
  return false;
}

std::vector<uint8_t> Fields16(uint32_t reg, std::initializer_list<uint32_t> halves) {
  std::vector<uint8_t> b(24, 0);
  for (int i = 0; i < 4; i++) b[i] = static_cast<uint8_t>(reg >> (8 * i));
  size_t at = 4;
  for (uint32_t h : halves) {
    b[at++] = static_cast<uint8_t>(h);
    b[at++] = static_cast<uint8_t>(h >> 8);
  }
  return b;
}

struct Eeprom {
  Run &run;
  uint32_t reg = 0;
  uint32_t method = 0;  // AddressMethod: 0 port, 2 memory
  uint32_t size = 0;

  bool Probe(uint32_t &result) {
    std::vector<uint8_t> in = Fields16(reg, {0, 0, method});
    if (!run.RequestBytes(IOCTL_KDVR_GET_EEPROM_SIZE, in, 4, true)) return false;
    result = run.Word(0);
    return true;
  }
  bool Read(uint32_t word, uint32_t &value) {
    if (!run.RequestBytes(IOCTL_KDVR_READ_EEPROM, Fields16(reg, {size, word, method}), 4, true)) return false;
    value = run.Word(0);
    return true;
  }
  bool ReadAll(std::vector<uint32_t> &words) {
    words.clear();
    for (uint32_t i = 0; i < size; i++) {
      uint32_t value = 0;
      if (!Read(i, value)) return false;
      words.push_back(value);
    }
    return true;
  }
  bool Write(uint32_t word, uint32_t data, uint32_t &result) {
    if (!run.RequestBytes(IOCTL_KDVR_WRITE_EEPROM, Fields16(reg, {size, word, data, method}), 4, true)) return false;
    result = run.Word(0);
    return true;
  }
};

// The image's checksum: every word, the last included, sums to 0xBABA (16
// bits, carries dropped) in a valid image; the last word is the one chosen
// to make it so.
constexpr uint32_t kChecksumTarget = 0xBABA;

struct Checksum {
  uint32_t sum = 0;
  uint32_t word = 0;     // index of the checksum word: the last one
  uint32_t current = 0;  // its value now
  uint32_t fix = 0;      // the value that makes the sum right
  bool valid() const { return sum == kChecksumTarget; }
  explicit Checksum(const std::vector<uint32_t> &words) {
    for (uint32_t w : words) sum = (sum + w) & 0xFFFF;
    word = words.empty() ? 0 : static_cast<uint32_t>(words.size() - 1);
    current = words.empty() ? 0 : words.back();
    fix = (current + kChecksumTarget - sum) & 0xFFFF;
  }
  std::string Text() const {
    if (valid()) return Format("checksum valid: the words sum to 0x%04llX", sum);
    return Format("checksum WRONG: the words sum to 0x%04llX, not 0x%04llX; ", sum, kChecksumTarget) +
           Format("word 0x%02llX should be 0x%04llX (now 0x%04llX): eeprom fix-checksum writes it", word, fix,
                  current);
  }
  std::string Json() const {
    return Format(",\"sum\":%llu,\"checksum_valid\":", sum) + (valid() ? "true" : "false") +
           Format(",\"checksum_word\":%llu,\"checksum_fix\":%llu", word, fix);
  }
};

// Sizes the EEPROM unless --size gave it; only 64, 128 and 256 words have
// an address width the driver can use.
bool EepromSize(Eeprom &e, const HwOptions &o) {
  if (o.size != 0) {
    e.size = o.size;
    return true;
  }
  uint32_t probed = 0;
  if (!e.Probe(probed)) return false;
  if (probed != 64 && probed != 128 && probed != 256) {
    e.run.ok = false;
    e.run.text = Format("the size probe gave %llu words (no EEPROM of 64, 128 or 256 words answered); give --size",
                        probed);
    e.run.json_extra = Format(",\"size\":%llu", probed);
    return false;
  }
  e.size = probed;
  return true;
}

bool SaveWords(const std::string &path, const std::vector<uint32_t> &words, std::string &error) {
  bool binary = path.size() > 4 && path.compare(path.size() - 4, 4, ".bin") == 0;
  std::string text;
  for (size_t i = 0; i < words.size(); i++) {
    if (binary) {
      text += static_cast<char>(words[i] & 0xFF);
      text += static_cast<char>(words[i] >> 8);
    } else {
      text += Format("%04llX", words[i]) + ((i % 16 == 15 || i + 1 == words.size()) ? '\n' : ' ');
    }
  }
  return ReplaceContents(path, text, error);
}

// Largest EEPROM image read back: the text of 65,536 words with comments.
constexpr size_t kMaxImageBytes = 1 << 20;

// An EEPROM image as eeprom dump --out writes it: little-endian words in a
// file ending in .bin, else hexadecimal words ('#' starts a comment).
bool LoadWords(const std::string &path, std::vector<uint32_t> &words, std::string &error) {
  std::string text;
  if (!ReadInputFile(path, "image", kMaxImageBytes, text, error)) return false;
  words.clear();
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".bin") == 0) {
    if (text.size() % 2 != 0) {
      error = path + ": an odd number of bytes: not an image of 16-bit words";
      return false;
    }
    for (size_t i = 0; i < text.size(); i += 2)
      words.push_back(static_cast<uint8_t>(text[i]) | static_cast<uint32_t>(static_cast<uint8_t>(text[i + 1])) << 8);
    return true;
  }
  size_t start = 0;
  for (unsigned long long line = 1; start < text.size(); line++) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string content = text.substr(start, end - start);
    start = end + 1;
    const size_t hash = content.find('#');
    if (hash != std::string::npos) content.resize(hash);
    for (size_t i = 0; i < content.size();) {
      while (i < content.size() && std::strchr(" \t\r\v\f", content[i]) != nullptr) i++;
      const size_t word_start = i;
      while (i < content.size() && std::strchr(" \t\r\v\f", content[i]) == nullptr) i++;
      if (i == word_start) continue;
      std::string word = content.substr(word_start, i - word_start);
      uint32_t value = 0;
      const bool prefixed = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
      if (!ParseNumber(prefixed ? word : "0x" + word, value) || value > 0xFFFF || word.size() > 6) {
        error = path + Format(":%llu: bad word '", line) + word + "' (hexadecimal, 0 to FFFF)";
        return false;
      }
      words.push_back(value);
    }
  }
  return true;
}

bool Confirm(Run &run, const std::string &question) {
  if (run.options.script == "-") {
    run.ok = false;
    run.text = "refusing to write the EEPROM: standard input holds the script, not an answer; add --yes";
    return false;
  }
  if (!StdinIsTerminal()) {
    run.ok = false;
    run.text = "refusing to write the EEPROM without a terminal to confirm on; add --yes";
    return false;
  }
  std::printf("%s [y/N] ", question.c_str());
  std::fflush(stdout);
  char answer[16] = {0};
  if (std::fgets(answer, sizeof answer, stdin) == nullptr || (answer[0] != 'y' && answer[0] != 'Y')) {
    run.ok = false;
    run.text = "not written";
    return false;
  }
  return true;
}

// Writes one word and reads it back; fails the command when the EEPROM did
// not finish or the word reads back otherwise.
bool WriteWord(Eeprom &e, const std::string &name, uint32_t word, uint32_t value) {
  Run &run = e.run;
  uint32_t result = 0, after = 0;
  if (!e.Write(word, value, result) || !e.Read(word, after)) return false;
  run.json_extra += Format(",\"written\":%llu,\"read_back\":%llu", result, after);
  if (result != 1) {
    run.ok = false;
    run.text = name + Format(": word 0x%02llX: the EEPROM did not finish the erase or the write", word);
    return false;
  }
  if (after != value) {
    run.ok = false;
    run.text = name + Format(": word 0x%02llX: the driver reported success but the word reads back 0x%04llX", word,
                             after);
    return false;
  }
  return true;
}

// Writes a saved image back: every word that differs, each read back, then
// the whole part read again and compared with the image.
bool RestoreImage(Eeprom &e, const HwOptions &o, const std::string &name, const std::vector<uint32_t> &image) {
  Run &run = e.run;
  const std::string &file = o.positional[1];
  if (image.size() != e.size) {
    run.ok = false;
    run.text = name + ": " + file + Format(" holds %llu words; the EEPROM has %llu: not its image", image.size(), e.size);
    return false;
  }
  std::vector<uint32_t> before;
  if (!e.ReadAll(before)) return false;
  std::vector<uint32_t> differ;
  for (uint32_t i = 0; i < e.size; i++)
    if (before[i] != image[i]) differ.push_back(i);
  if (!differ.empty() && !o.yes &&
      !Confirm(run, name + Format(": write the %llu words that differ from ", differ.size()) + file + "?"))
    return false;
  size_t written = 0;
  for (uint32_t i : differ) {
    if (!WriteWord(e, name, i, image[i])) {
      run.text += Format("; %llu of the %llu words that differ were written before it", written, differ.size());
      return false;
    }
    written++;
  }
  std::vector<uint32_t> after;
  if (!e.ReadAll(after)) return false;
  std::string mismatches;
  size_t bad = 0;
  for (uint32_t i = 0; i < e.size; i++) {
    if (after[i] == image[i]) continue;
    if (bad++ < 8) mismatches += Format(" 0x%02llX=0x%04llX (image 0x%04llX)", i, after[i], image[i]);
  }
  const Checksum checksum(after);
  run.json_extra += Format(",\"size\":%llu,\"written\":%llu,\"verified\":", e.size, written) +
                    (bad == 0 ? "true" : "false") + checksum.Json();
  if (bad != 0) {
    run.ok = false;
    run.text = name + Format(": %llu words read back otherwise than ", bad) + file + ":" + mismatches;
    return false;
  }
  run.text = name + ": restored from " + file + Format(": %llu words written, %llu already equal; ", written,
                                                       e.size - written) +
             Format("all %llu words read back equal to the image; ", e.size) + checksum.Text();
  return true;
}

bool CommandEeprom(Run &run) {
  const char *usage = "eeprom size|dump|read WORD|write WORD VALUE|fix-checksum|restore FILE [--method io|mem] "
                      "[--size WORDS] [-s BB:DD.F | --bus BUS --device DEVICE[.FUNCTION] | --register ADDRESS] "
                      "[--out FILE] [--yes]";
  HwOptions o;
  if (!ParseHwOptions(run, true, o)) return false;
  if (o.positional.empty()) return run.Usage(usage);
  const std::string op = o.positional[0];
  uint32_t word = 0, value = 0;
  std::vector<uint32_t> image;  // restore: the words of the file
  if (op == "restore") {
    if (o.positional.size() != 2) return run.Usage(usage);
    std::string error;
    if (!LoadWords(o.positional[1], image, error)) return run.Usage(error);
    if (image.empty()) return run.Usage(o.positional[1] + ": no words in the image");
  } else if (op == "size" || op == "dump" || op == "fix-checksum") {
    if (o.positional.size() != 1) return run.Usage(usage);
  } else if (op == "read") {
    if (o.positional.size() != 2 || !ParseNumber(o.positional[1], word)) return run.Usage(usage);
  } else if (op == "write") {
    if (o.positional.size() != 3 || !ParseNumber(o.positional[1], word) || !ParseNumber(o.positional[2], value))
      return run.Usage(usage);
    if (value > 0xFFFF) return run.Usage("VALUE must fit in 16 bits");
  } else {
    return run.Usage(usage);
  }
  if (word > 255) return run.Usage("WORD must be below 256");
  if (!o.out.empty() && op != "dump") return run.Usage("--out applies to dump");
  RegisterBlock block(run);
  if (!FindRegisterBlock(run, o, 0x0E, block)) return false;
  Eeprom e{run, block.base + 0x0E, o.memory ? 2u : 0u, 0};
  const std::string name = block.adapter.Name();
  const std::string where = Format(" (register 0x%08llX, ", e.reg) + (o.memory ? "memory)" : "port)");
  run.json_extra = block.adapter.Json();

  if (op == "size") {
    uint32_t probed = 0;
    if (!e.Probe(probed)) return false;
    run.json_extra += Format(",\"size\":%llu", probed);
    if (probed == 64 || probed == 128 || probed == 256) {
      run.text = name + ": " + Format("EEPROM: %llu words", probed) + where;
      return true;
    }
    run.ok = false;
    if (probed == 0)
      run.text = name + ": no EEPROM answered the size probe (data out stayed high)" + where;
    else if (probed == 2)
      run.text = name + ": no EEPROM size: data out reads low at once (stuck low, or no EEPROM)" + where;
    else
      run.text = name + Format(": the size probe gave %llu words: not a part of 64, 128 or 256 words", probed) + where;
    return false;
  }
  if (!EepromSize(e, o)) {
    run.text = name + ": " + run.text;
    return false;
  }
  if (word >= e.size) return run.Usage(name + Format(": WORD must be below the size, %llu", e.size));
  if (op == "read") {
    if (!e.Read(word, value)) return false;
    run.text = name + Format(": word 0x%02llX = 0x%04llX", word, value);
    run.json_extra += Format(",\"size\":%llu,\"word\":%llu,\"value\":%llu", e.size, word, value);
    return true;
  }
  if (op == "restore") return RestoreImage(e, o, name, image);
  if (op == "write") {
    uint32_t before = 0;
    if (!e.Read(word, before)) return false;
    if (!o.yes && !Confirm(run, name + Format(": write 0x%04llX to EEPROM word 0x%02llX (now 0x%04llX)?", value, word,
                                              before)))
      return false;
    run.json_extra += Format(",\"size\":%llu,\"word\":%llu,\"value\":%llu", e.size, word, value);
    if (!WriteWord(e, name, word, value)) return false;
    // The image's checksum after the write: a changed word leaves it wrong
    // unless the checksum word is fixed too.
    std::vector<uint32_t> words;
    if (!e.ReadAll(words)) return false;
    const Checksum checksum(words);
    run.json_extra += checksum.Json();
    run.text = name + Format(": word 0x%02llX <- 0x%04llX (was 0x%04llX)", word, value, before);
    if (!checksum.valid())
      run.text += Format("\nthe write leaves the checksum WRONG: the words sum to 0x%04llX, not 0x%04llX; ",
                         checksum.sum, kChecksumTarget) +
                  Format("eeprom fix-checksum writes word 0x%02llX = 0x%04llX", checksum.word, checksum.fix);
    return true;
  }
  std::vector<uint32_t> words;
  if (!e.ReadAll(words)) return false;
  const Checksum checksum(words);
  if (op == "fix-checksum") {
    run.json_extra += Format(",\"size\":%llu", e.size) + checksum.Json();
    if (checksum.valid()) {
      run.text = name + ": " + checksum.Text() + "; nothing written";
      return true;
    }
    if (!o.yes &&
        !Confirm(run, name + Format(": the words sum to 0x%04llX; write 0x%04llX to checksum word 0x%02llX (now "
                                    "0x%04llX)?",
                                    checksum.sum, checksum.fix, checksum.word, checksum.current)))
      return false;
    if (!WriteWord(e, name, checksum.word, checksum.fix)) return false;
    words.back() = checksum.fix;
    const Checksum after(words);
    run.text = name + Format(": word 0x%02llX <- 0x%04llX (was 0x%04llX); ", checksum.word, checksum.fix,
                             checksum.current) +
               after.Text();
    return true;
  }
  // dump
  std::string list;
  run.text = name + Format(": EEPROM, %llu words", e.size) + where;
  for (uint32_t i = 0; i < words.size(); i++) {
    run.text += Format(i % 16 != 0 ? " %04llX" : "\n%02llX: %04llX", i % 16 != 0 ? words[i] : i, words[i]);
    list += Format(i == 0 ? "%llu" : ",%llu", words[i]);
  }
  std::string mac;
  for (int i = 0; i < 6; i++)
    mac += Format(i == 0 ? "%02llx" : ":%02llx", (words[i / 2] >> (8 * (i % 2))) & 0xFF);
  run.text += "\nMAC address " + mac + "\n" + checksum.Text();
  run.json_extra += Format(",\"size\":%llu", e.size) + checksum.Json() + ",\"mac\":\"" + mac + "\",\"words\":[" +
                    list + "]";
  if (!o.out.empty()) {
    std::string error;
    if (!SaveWords(o.out, words, error)) {
      run.ok = false;
      run.text = name + ": the words were read but not saved: " + error;
      return false;
    }
    run.text += "\nwritten to " + o.out;
  }
  return true;
}

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
    } kPriority[] = {{0x0100, 100, true}, {0x0200, 100, false}, {0x0080, 100, false}, {0x0040, 10, true},
                     {0x0020, 10, false}};
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
    const uint32_t reg = block.base + 0x10;
    if (!run.Request(memory ? IOCTL_KDVR_READ_MEMORY_ULONG : IOCTL_KDVR_READ_PORT_ULONG, {reg}, 4)) return false;
    timed_out = (run.Word(0) & 0x10000000u) == 0;
    return true;
  }
  bool Read(uint32_t r, uint32_t &v) {
    if (!run.RequestBytes(IOCTL_KDVR_MDI_READ, Fields16(block.base, {r | AddressBits(), 0, Selector()}), 4, true))
      return false;
    v = run.Word(0) & 0xFFFF;
    return Completed();
  }
  bool Write(uint32_t r, uint32_t v) {
    if (!run.RequestBytes(IOCTL_KDVR_MDI_WRITE, Fields16(block.base, {r | AddressBits(), 0, v, 0, Selector()}), 0,
                          true))
      return false;
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
    run.ok = false;
    run.text = name + Format(": PHY %llu register %llu: the management cycle did not complete (ready bit still clear "
                             "after the driver's poll)",
                             phy_address, reg);
    return false;
  }
  bool Absent(const std::string &name) {
    run.ok = false;
    run.text = name + Format(": no PHY at address %llu: registers 0 to 6 all read 0xFFFF", phy_address);
    return false;
  }
};

bool CommandPhy(Run &run) {
  const char *usage = "phy dump|scan|read REG|write REG VALUE [--phy-address N] [--method io|mem] "
                      "[--bus BUS --device DEVICE[.FUNCTION] | --register BASE]";
  HwOptions o;
  if (!ParseHwOptions(run, false, o)) return false;
  if (o.positional.empty()) return run.Usage(usage);
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
  run.text = where + ":" +
             Format("\n  BMCR   0x%04llX  autonegotiation ", bmcr) + (an_on ? "on" : "off") +
             Format(" (forced setting: %llu Mb/s ", (bmcr & 0x2000) ? 100 : 10) + ((bmcr & 0x0100) ? "full" : "half") +
             " duplex)" + ((bmcr & 0x0800) ? ", powered down" : "") + ((bmcr & 0x0400) ? ", isolated" : "") +
             ((bmcr & 0x4000) ? ", loopback" : "") +
             Format("\n  BMSR   0x%04llX  link ", bmsr_now) + (link ? "up" : "down") +
             ((r[1] & 0x0004) == 0 && link ? " (was down since the last read)" : "") + ", autonegotiation " +
             (an_done ? "complete" : "not complete") +
             Format("\n  ID     0x%04llX 0x%04llX  OUI bits 3-24 0x%06llX", r[2], r[3], oui) +
             Format(", model 0x%02llX, revision %llu", (r[3] >> 4) & 0x3F, r[3] & 0xF) +
             Format("\n  ANAR   0x%04llX  ", anar) + Abilities(anar) + Format("\n  ANLPAR 0x%04llX  ", anlpar) +
             Abilities(anlpar) + ((anlpar & 0x4000) ? " (acknowledged)" : "") + "\n  link " + (link ? "up" : "down") +
             ", " + mode.Text();
  run.json_extra += Format(",\"bmcr\":%llu,\"bmsr\":%llu", bmcr, bmsr_now) +
                    Format(",\"phyid1\":%llu,\"phyid2\":%llu,\"anar\":%llu", r[2], r[3], anar) +
                    Format(",\"anlpar\":%llu", anlpar) + ",\"link\":" + (link ? "true" : "false") +
                    ",\"resolved\":" + (mode.resolved ? "true" : "false") + ",\"autonegotiation\":" +
                    (an_on ? "true" : "false") + ",\"autonegotiation_complete\":" + (an_done ? "true" : "false");
  if (mode.resolved)
    run.json_extra += Format(",\"speed\":%llu", mode.speed) + ",\"full_duplex\":" + (mode.full ? "true" : "false");
  return true;
}

void Execute(Run &run) {
  const std::string &name = run.words[0];
  if (name == "id") {
    CommandId(run);
  } else if (name == "port") {
    CommandPort(run);
  } else if (name == "mem") {
    CommandMem(run);
  } else if (name == "pci") {
    CommandPci(run);
  } else if (name == "validate") {
    CommandValidate(run);
  } else if (name == "first-range") {
    CommandFirstRange(run);
  } else if (name == "stall") {
    CommandStall(run);
  } else if (name == "eeprom") {
    CommandEeprom(run);
  } else if (name == "phy") {
    CommandPhy(run);
  } else if (name == "raw") {
    CommandRaw(run);
  } else if (IsTableCommand(name)) {
    TableRun table(run.device, run.words);
    RunTableCommand(table);
    run.last = table.last;
    run.text = table.text;
    run.json_extra = table.json_extra;
    run.ok = table.ok;
    run.usage_error = table.usage_error;
  } else {
    run.Usage("unknown command '" + name + "' (see --help)");
  }
}

// "FILE:LINE: " for a command from a script, nothing for the command line.
std::string OriginPrefix(const std::string &origin) { return origin.empty() ? "" : origin + ": "; }

// Standard output, line by line. A write that fails (a full disk, a reader
// gone) is remembered with the system's reason, and ends the session.
struct Output {
  bool failed = false;
  int error = 0;
  void Line(const std::string &text) {
    if (failed) return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0) {
      failed = true;
      error = errno;
    }
  }
  std::string Reason() const {
    return "cannot write standard output: " + (error != 0 ? SystemError(error) : std::string("write error"));
  }
};

// An error: on standard error, or with --json as a JSON object on standard
// output like every other result.
void ReportError(const Options &options, Output &output, const std::string &message, const std::string &origin = "",
                 const std::vector<std::string> *words = nullptr) {
  if (!options.json) {
    std::fprintf(stderr, "nicdiag: %s%s%s\n", OriginPrefix(origin).c_str(),
                 words != nullptr ? (Join(*words) + ": ").c_str() : "", message.c_str());
    return;
  }
  std::string line = "{";
  if (words != nullptr) line += "\"command\":" + JsonString(Join(*words)) + ",";
  line += "\"ok\":false";
  if (!origin.empty()) line += ",\"origin\":" + JsonString(origin);
  line += ",\"error\":" + JsonString(message) + "}";
  output.Line(line);
}

void Print(const Run &run, const std::string &origin, Output &output) {
  if (!run.options.json) {
    if (run.ok) {
      output.Line(run.text);
    } else {
      std::fprintf(stderr, "nicdiag: %s%s: %s\n", OriginPrefix(origin).c_str(), Join(run.words).c_str(),
                   run.text.c_str());
    }
    return;
  }
  std::string line = "{\"command\":" + JsonString(Join(run.words));
  line += run.ok ? ",\"ok\":true" : ",\"ok\":false";
  line += Format(",\"status\":%llu,\"information\":%llu", run.last.status, run.last.information);
  line += ",\"status_name\":" + JsonString(StatusName(run.last.status));
  line += ",\"output\":\"" + Hex(run.last.output) + "\"";
  line += Format(",\"sim_time_us\":%llu", run.device.NowUs() - run.start_us);
  line += run.json_extra;
  if (!origin.empty()) line += ",\"origin\":" + JsonString(origin);
  if (!run.ok) line += ",\"error\":" + JsonString(run.text);
  output.Line(line + "}");
}

// Splits words into commands at ';' (a word of its own, or at a word's end).
void SplitCommands(const std::vector<std::string> &words, std::vector<std::vector<std::string>> &commands) {
  std::vector<std::string> current;
  for (std::string word : words) {
    bool ends = false;
    if (word == ";") {
      word.clear();
      ends = true;
    } else if (word.size() > 1 && word.back() == ';') {
      word.pop_back();
      ends = true;
    }
    if (!word.empty()) current.push_back(word);
    if (ends && !current.empty()) {
      commands.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) commands.push_back(current);
}

// Calls visit(words, origin) for every command in order: the command
// line's, then the script's, split from its text line by line as they are
// reached. Stops when visit returns false.
template <typename Visit>
void ForEachCommand(const Options &options, Visit visit) {
  for (const auto &command : options.commands)
    if (!visit(command, std::string())) return;
  const std::string &text = options.script_text;
  const std::string name = options.script == "-" ? "<stdin>" : options.script;
  std::vector<std::vector<std::string>> commands;
  size_t start = 0;
  for (unsigned long long number = 1; start < text.size(); number++) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    // '#' looked for within the line only: a search to the end of the
    // text for each line would make a long script's reading quadratic.
    const size_t stop = static_cast<size_t>(
        std::find(text.begin() + static_cast<std::ptrdiff_t>(start), text.begin() + static_cast<std::ptrdiff_t>(end), '#') -
        text.begin());
    std::vector<std::string> words;
    for (size_t i = start; i < stop;) {
      while (i < stop && std::strchr(" \t\r\v\f", text[i]) != nullptr) i++;
      const size_t word_start = i;
      while (i < stop && std::strchr(" \t\r\v\f", text[i]) == nullptr) i++;
      if (i > word_start) words.push_back(text.substr(word_start, i - word_start));
    }
    start = end + 1;
    if (words.empty()) continue;
    commands.clear();
    SplitCommands(words, commands);
    const std::string origin = name + Format(":%llu", number);
    for (const auto &command : commands)
      if (!visit(command, origin)) return;
  }
}

// Largest script read: a session of about a million commands.
constexpr size_t kMaxScriptBytes = 16 << 20;

// Reads a script whole (a file, or standard input for "-"); its lines are
// split into commands as the session reaches them.
bool ReadScript(Options &options, std::string &error) {
  const std::string &path = options.script;
  std::string &text = options.script_text;
  if (path == "-" ? !ReadStandardInput(kMaxScriptBytes, text, error)
                  : !ReadInputFile(path, "script", kMaxScriptBytes, text, error))
    return false;
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    const size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n'));
    error = (path == "-" ? std::string("<stdin>") : path) + Format(":%llu: a NUL byte: not a text line", line);
    return false;
  }
  return true;
}

// A device for checking commands before any runs: nothing reaches it.
class NoDevice : public Device {
 public:
  Reply Control(uint32_t, const std::vector<uint8_t> &, uint32_t) override { return Reply(); }
  ClientBuffer TransferBuffer(std::string &) override { return ClientBuffer(); }
  uint64_t NowUs() override { return 0; }
  bool Close(std::string &report) override {
    report.clear();
    return true;
  }
};

// Parses and checks every command (arguments, numbers, options, files to
// read) without sending anything; false, after reporting the first error,
// when one is bad.
bool CheckCommands(const Options &options, Output &output) {
  NoDevice none;
  bool good = true;
  ForEachCommand(options, [&](const std::vector<std::string> &words, const std::string &origin) {
    Run run(none, options, words);
    run.checking = true;
    Execute(run);
    if (!run.usage_error) return true;
    ReportError(options, output, run.text, origin, &words);
    good = false;
    return false;
  });
  return good;
}

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

int Session(int argc, char **argv) {
  Options options;
  Output output;
  // --json anywhere among the options makes even an error about them JSON.
  for (int i = 1; i < argc && argv[i][0] == '-' && std::strcmp(argv[i], "-") != 0; i++) {
    if (std::strcmp(argv[i], "--json") == 0) options.json = true;
    if (std::strcmp(argv[i], "--profile") == 0 || std::strcmp(argv[i], "--script") == 0) i++;
  }
  std::vector<std::string> words;
  int i = 1;
  for (; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf(kUsage, kTableUsage);
      std::printf("\n%s\n", kPlatformNote);
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitSuccess : kExitFailed;
    } else if (arg == "--version" || arg == "-V") {
      output.Line(std::string("nicdiag version ") + kVersion);
      return output.failed ? kExitFailed : kExitSuccess;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--debug-log") {
      options.debug_log = true;
    } else if (arg == "--stop-on-error") {
      options.stop_on_error = true;
    } else if (arg == "--profile" || arg == "--script") {
      if (i + 1 >= argc) {
        ReportError(options, output, arg + " needs a file name" + (arg == "--script" ? " (- for standard input)" : ""));
        return kExitBadInput;
      }
      (arg == "--profile" ? options.profile : options.script) = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      ReportError(options, output, "unknown option '" + arg + "' (see --help)");
      return kExitBadInput;
    } else {
      break;
    }
  }
  for (; i < argc; i++) words.push_back(argv[i]);
  SplitCommands(words, options.commands);
  if (!options.script.empty()) {
    std::string error;
    if (!ReadScript(options, error)) {
      ReportError(options, output, error);
      return kExitBadInput;
    }
  }
  bool any = false;
  ForEachCommand(options, [&](const std::vector<std::string> &, const std::string &) { return !(any = true); });
  if (!any) {
    ReportError(options, output, "no command given (see --help)");
    return kExitBadInput;
  }
  if (!CheckCommands(options, output)) return output.failed ? kExitFailed : kExitBadInput;

  std::string error;
  bool bad_input = false;
  std::unique_ptr<Device> device = OpenDevice(options, error, &bad_input);
  if (!device) {
    ReportError(options, output, error);
    return bad_input ? kExitBadInput : kExitCannotRun;
  }
  // Ctrl-C ends the session after the command it arrives in, so that the
  // driver is unloaded and the EEPROM image saved as at any other end.
  g_interrupted = 0;
  std::signal(SIGINT, OnInterrupt);
  int exit_code = kExitSuccess;
  std::string stopped;  // why the session ended early
  size_t not_run = 0;
  ForEachCommand(options, [&](const std::vector<std::string> &command, const std::string &origin) {
    if (!stopped.empty()) {
      not_run++;
      return true;
    }
    if (g_interrupted) {
      stopped = "interrupted (Ctrl-C)";
      not_run++;
      return true;
    }
    Run run(*device, options, command);
    run.start_us = device->NowUs();
    try {
      Execute(run);
    } catch (const std::exception &e) {
      run.ok = false;
      run.usage_error = false;
      run.text = std::string("the command failed: ") + e.what();
    }
    Print(run, origin, output);
    if (!run.ok) exit_code = run.usage_error ? kExitBadInput : (exit_code == 0 ? kExitFailed : exit_code);
    if (output.failed) stopped = output.Reason();
    else if (!run.ok && options.stop_on_error) stopped = "stopped at the first failure (--stop-on-error)";
    return true;
  });
  std::signal(SIGINT, SIG_DFL);
  if (g_interrupted && stopped.empty()) stopped = "interrupted (Ctrl-C) during the last command";
  if (!stopped.empty()) {
    ReportError(options, output, stopped + (not_run > 0 ? Format(": %llu commands not run", not_run) : ""));
    if (output.failed && exit_code == 0) exit_code = kExitFailed;
  }
  std::string report;
  if (!device->Close(report)) {
    ReportError(options, output, report);
    if (exit_code == 0) exit_code = kExitFailed;
  } else if (!report.empty() && !options.json) {
    output.Line(report);
  }
  if (output.failed) {
    // Said once on standard error, which may still work.
    if (options.json || stopped.empty() || stopped.find("standard output") == std::string::npos)
      std::fprintf(stderr, "nicdiag: %s\n", output.Reason().c_str());
    if (exit_code == 0) exit_code = kExitFailed;
  }
  if (g_interrupted) exit_code = kExitInterrupted;
  return exit_code;
}

}  // namespace

const char kVersion[] = NICDIAG_VERSION;

int Main(int argc, char **argv) {
  try {
    return Session(argc, argv);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "nicdiag: internal error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "nicdiag: internal error\n");
  }
  return kExitFailed;
}

}  // namespace nicdiag
