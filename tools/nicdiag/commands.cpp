// nicdiag's command line, commands and output, shared by the Windows and the
// host build. Argument parsing is done here by hand (no library), so the
// Windows executable stays small and needs nothing beyond the C runtime.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/nicport_ioctl.h"
#include "tools/nicdiag/nicdiag.h"

namespace nicdiag {
namespace {

const char kUsage[] =
    "usage: nicdiag [--profile FILE] [--json] [--debug-log] [--script FILE] COMMAND [ARGS] [; COMMAND [ARGS]] ...\n"
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
    "  --script FILE    read the commands from FILE (after any given on the command line)\n"
    "  --debug-log      echo the driver's debug output (DbgPrint) to stderr, prefixed 'dbg: '\n"
    "  --help           this text\n"
    "\n"
    "Commands (numbers are decimal, or hexadecimal with 0x):\n"
    "  id                                  identification value of the driver (0x21)\n"
    "  port read 8|16|32 PORT              read an I/O port\n"
    "  port write 8|16|32 PORT VALUE       write an I/O port\n"
    "  mem map BUS ADDRESS LENGTH          map LENGTH bytes of PCI bus memory at ADDRESS;\n"
    "                                      prints the window's virtual address\n"
    "  mem read 8|16|32 ADDRESS            read inside a mapped window\n"
    "  mem write 8|16|32 ADDRESS VALUE     write inside a mapped window\n"
    "  mem unmap ADDRESS LENGTH            unmap a window (its virtual address and length)\n"
    "  pci read BUS SLOT OFFSET LENGTH     read PCI configuration space\n"
    "  pci write BUS SLOT OFFSET HEXBYTES  write PCI configuration space (bytes as hex, e.g. 0700)\n"
    "  pci list                            every function on every bus: BB:DD.F CLASS: VENDOR:DEVICE\n"
    "  validate ADDRESS BUS SLOT           validate a memory window address (re-assigns the\n"
    "                                      slot's resources when not on a 2 MB boundary)\n"
    "  first-range                         start of the first range of the last assignment\n"
    "  stall MICROSECONDS                  busy-wait in the driver\n"
    "  raw CODE [HEXBYTES] [--out N]       any control code with any input; N output bytes\n"
    "                                      (default 8); prints status, byte count and bytes\n"
    "\n"
    "SLOT is the PCI slot number (device in bits 0-4, function in bits 5-7) or DEVICE.FUNCTION.\n"
    "Exit status: 0 when every command succeeded, 1 when a request failed or the driver left\n"
    "something behind at unload, 2 for bad input.\n";

// Largest PCI configuration transfer of one command, in bytes.
constexpr uint32_t kMaxPciTransfer = 4096;

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

// A PCI slot: the PCI_SLOT_NUMBER value, or DEVICE.FUNCTION.
bool ParseSlot(const std::string &text, uint32_t &slot) {
  size_t dot = text.find('.');
  if (dot == std::string::npos) return ParseNumber(text, slot);
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
  ClientBuffer scratch;  // client memory for PCI configuration transfers

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
};

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
  uint32_t width, port, value = 0;
  if (!run.Count(write ? 5 : 4) || !run.Width(2, width) || !run.Number(3, "port", port)) return false;
  if (write && !run.Number(4, "value", value)) return false;
  static const uint32_t kRead[] = {IOCTL_KDVR_READ_PORT_UCHAR, IOCTL_KDVR_READ_PORT_USHORT,
                                   IOCTL_KDVR_READ_PORT_ULONG};
  static const uint32_t kWrite[] = {IOCTL_KDVR_WRITE_PORT_UCHAR, IOCTL_KDVR_WRITE_PORT_USHORT,
                                    IOCTL_KDVR_WRITE_PORT_ULONG};
  int w = width == 8 ? 0 : width == 16 ? 1 : 2;
  if (write) {
    if (!run.Request(kWrite[w], {port, value}, 0)) return false;
    run.text = Format("port 0x%04llX (%llu-bit) <- 0x%llX", port, width, value);
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
  uint32_t width, address, value = 0;
  if (!run.Count(write ? 5 : 4) || !run.Width(2, width) || !run.Number(3, "address", address)) return false;
  if (write && !run.Number(4, "value", value)) return false;
  static const uint32_t kRead[] = {IOCTL_KDVR_READ_MEMORY_UCHAR, IOCTL_KDVR_READ_MEMORY_USHORT,
                                   IOCTL_KDVR_READ_MEMORY_ULONG};
  static const uint32_t kWrite[] = {IOCTL_KDVR_WRITE_MEMORY_UCHAR, IOCTL_KDVR_WRITE_MEMORY_USHORT,
                                    IOCTL_KDVR_WRITE_MEMORY_ULONG};
  int w = width == 8 ? 0 : width == 16 ? 1 : 2;
  if (write) {
    if (!run.Request(kWrite[w], {address, value}, 0)) return false;
    run.text = Format("memory 0x%08llX (%llu-bit) <- 0x%llX", address, width, value);
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
  // One buffer of the largest transfer serves every request of the command.
  if (run.scratch.data == nullptr) run.scratch = run.device.Allocate(kMaxPciTransfer);
  ClientBuffer &buffer = run.scratch;
  if (buffer.data == nullptr || length > buffer.size) {
    run.ok = false;
    run.text = "no client memory for the buffer";
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
  uint32_t bus, slot, offset, length = 0;
  std::vector<uint8_t> data;
  if (!run.Count(6) || !run.Number(2, "bus", bus)) return false;
  if (!ParseSlot(run.words[3], slot)) return run.Usage("bad slot '" + run.words[3] + "'");
  if (!run.Number(4, "offset", offset)) return false;
  if (write) {
    if (!ParseHexBytes(run.words[5], data) || data.empty()) return run.Usage("bad bytes '" + run.words[5] + "'");
    length = static_cast<uint32_t>(data.size());
  } else if (!run.Number(5, "length", length)) {
    return false;
  } else if (length > kMaxPciTransfer) {
    return run.Usage("length above 4096");
  }
  std::vector<uint8_t> bytes;
  if (!PciTransfer(run, write, bus, slot, offset, length, data, bytes)) return false;
  run.json_extra = Format(",\"count\":%llu", run.Word(0)) + ",\"data\":\"" + Hex(bytes) + "\"";
  if (write) {
    run.text = SlotText(bus, slot) + Format(" +0x%02llx: wrote %llu of %llu bytes", offset, run.Word(0), length);
    return true;
  }
  run.text = SlotText(bus, slot) + Format(" +0x%02llx: %llu bytes", offset, bytes.size());
  for (size_t i = 0; i < bytes.size(); i++) {
    if (i % 16 == 0) run.text += Format("\n  %02llx:", offset + i);
    run.text += Format(" %02llx", bytes[i]);
  }
  return true;
}

bool CommandValidate(Run &run) {
  uint32_t address, bus, slot;
  if (!run.Count(4) || !run.Number(1, "address", address) || !run.Number(2, "bus", bus)) return false;
  if (!ParseSlot(run.words[3], slot)) return run.Usage("bad slot '" + run.words[3] + "'");
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
  } else if (name == "raw") {
    CommandRaw(run);
  } else {
    run.Usage("unknown command '" + name + "' (see --help)");
  }
}

void Print(const Run &run) {
  if (!run.options.json) {
    if (run.ok) {
      std::printf("%s\n", run.text.c_str());
    } else {
      std::fprintf(stderr, "nicdiag: %s: %s\n", Join(run.words).c_str(), run.text.c_str());
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
  if (!run.ok) line += ",\"error\":" + JsonString(run.text);
  std::printf("%s}\n", line.c_str());
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

bool ReadScript(const std::string &path, std::vector<std::vector<std::string>> &commands, std::string &error) {
  FILE *file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    error = "cannot open script '" + path + "'";
    return false;
  }
  char line[1024];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string text = line;
    size_t hash = text.find('#');
    if (hash != std::string::npos) text.resize(hash);
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && std::strchr(" \t\r\n", text[i]) != nullptr) i++;
      size_t start = i;
      while (i < text.size() && std::strchr(" \t\r\n", text[i]) == nullptr) i++;
      if (i > start) words.push_back(text.substr(start, i - start));
    }
    SplitCommands(words, commands);
  }
  std::fclose(file);
  return true;
}

}  // namespace

int Main(int argc, char **argv) {
  Options options;
  std::vector<std::string> words;
  int i = 1;
  for (; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("%s\n%s\n", kUsage, kPlatformNote);
      return 0;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--debug-log") {
      options.debug_log = true;
    } else if (arg == "--profile" || arg == "--script") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "nicdiag: %s needs a file name\n", arg.c_str());
        return 2;
      }
      (arg == "--profile" ? options.profile : options.script) = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      std::fprintf(stderr, "nicdiag: unknown option '%s' (see --help)\n", arg.c_str());
      return 2;
    } else {
      break;
    }
  }
  for (; i < argc; i++) words.push_back(argv[i]);
  SplitCommands(words, options.commands);
  if (!options.script.empty()) {
    std::string error;
    if (!ReadScript(options.script, options.commands, error)) {
      std::fprintf(stderr, "nicdiag: %s\n", error.c_str());
      return 2;
    }
  }
  if (options.commands.empty()) {
    std::fprintf(stderr, "nicdiag: no command given\n%s", kUsage);
    return 2;
  }

  std::string error;
  std::unique_ptr<Device> device = OpenDevice(options, error);
  if (!device) {
    std::fprintf(stderr, "nicdiag: %s\n", error.c_str());
    return 1;
  }
  int exit_code = 0;
  for (const auto &command : options.commands) {
    Run run(*device, options, command);
    run.start_us = device->NowUs();
    Execute(run);
    Print(run);
    std::fflush(stdout);
    if (!run.ok) exit_code = run.usage_error ? 2 : (exit_code == 0 ? 1 : exit_code);
  }
  std::string report;
  if (!device->Close(report)) {
    std::fprintf(stderr, "nicdiag: %s\n", report.c_str());
    if (exit_code == 0) exit_code = 1;
  } else if (!report.empty() && !options.json) {
    std::printf("%s\n", report.c_str());
  }
  return exit_code;
}

}  // namespace nicdiag
