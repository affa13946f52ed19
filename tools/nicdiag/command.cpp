// What every nicdiag command shares: parsing its words, formatting what it
// prints, and sending its requests. Argument parsing is done here by hand
// (no library), so the Windows executable stays small and needs nothing
// beyond the C runtime.
#include "tools/nicdiag/command.h"

#include <cstdio>
#include <cstring>

namespace nicdiag {

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
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
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

std::string Format(const char *format, unsigned long long a, unsigned long long b, unsigned long long c,
                   unsigned long long d) {
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

std::string JsonString(const std::string &text, bool escape_high) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || (escape_high && static_cast<unsigned char>(c) >= 0x7F)) {
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

std::string SlotText(uint32_t bus, uint32_t slot) {
  return Format("%02llx:%02llx.%llu", bus, slot & 0x1F, (slot >> 5) & 7);
}

std::string SystemError(int error_number) { return std::strerror(error_number); }

uint32_t WordOf(const Reply &reply, size_t index) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && index * 4 + i < reply.output.size(); i++)
    value |= static_cast<uint32_t>(reply.output[index * 4 + i]) << (8 * i);
  return value;
}

void UnmapWindow(Device &device, uint32_t virtual_address, uint32_t length) {
  KDVR_UNMAP_ARGS args{};
  args.VirtualAddress = virtual_address;
  args.Length = length;
  device.Control(IOCTL_KDVR_UNMAP_MEMORY, RequestBytes(args), 0);
}

bool Run::Send(uint32_t code, const std::vector<uint8_t> &input, uint32_t output_length, bool must_succeed) {
  if (checking) {
    stopped = true;
    return false;
  }
  last = device.Control(code, input, output_length);
  if (!last.delivered) return Fail("request not delivered: " + last.error);
  if (must_succeed && last.status != KDVR_STATUS_SUCCESS)
    return Fail(Format("failed: status 0x%08llX", last.status) + " " + StatusName(last.status));
  return true;
}

bool Run::Usage(const std::string &message) {
  usage_error = true;
  return Fail(message);
}

bool Run::Fail(const std::string &message) {
  ok = false;
  text = message;
  return false;
}

bool Run::Number(size_t index, const char *what, uint32_t &value) {
  if (index >= words.size()) return Usage(std::string("missing ") + what);
  if (!ParseNumber(words[index], value)) return Usage(std::string("bad ") + what + " '" + words[index] + "'");
  return true;
}

bool Run::Count(size_t n) {
  if (words.size() != n) return Usage("expected " + std::to_string(n - 1) + " arguments");
  return true;
}

bool Run::Width(size_t index, uint32_t &width) {
  if (!Number(index, "width", width)) return false;
  if (width != 8 && width != 16 && width != 32) return Usage("width must be 8, 16 or 32");
  return true;
}

bool Run::TakeFunctionAddress(bool &found, uint32_t &bus, uint32_t &slot) {
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

bool Run::TakeFlag(const char *flag) {
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

bool Run::AccessValue(size_t index, uint32_t width, bool truncate, uint32_t &value, std::string &note) {
  if (!Number(index, "value", value)) return false;
  const uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
  if ((value & ~mask) == 0) return true;
  if (!truncate)
    return Usage(Format("VALUE 0x%llX does not fit in %llu bits; --truncate writes its low bits (0x%llX)", value, width,
                        value & mask));
  note = Format(" (0x%llX truncated to %llu bits)", value, width);
  value &= mask;
  return true;
}

}  // namespace nicdiag
