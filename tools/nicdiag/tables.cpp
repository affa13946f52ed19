#include "tools/nicdiag/tables.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver/nicport_ioctl.h"
#include "tools/nicdiag/nicdiag.h"
#include "tools/nicdiag/pir_decode.h"
#include "tools/nicdiag/smbios_decode.h"

namespace nicdiag {

const char kTableUsage[] =
    "  resources SLOT memory|port LENGTH ALIGNMENT MIN MAX [--bus B] [--slot S | -s BB:DD.F]\n"
    "  resources SLOT irq MIN MAX [--bus B] [--slot S | -s BB:DD.F]\n"
    "  resources SLOT release [--bus B] [--slot S | -s BB:DD.F]\n"
    "                                      claim a range or an interrupt for slot object SLOT\n"
    "                                      (0-3) for PCI device B/S, or give its claim back\n"
    "  dmi [--out FILE]                    the SMBIOS structure table, decoded; --out saves it\n"
    "                                      as a dump that dmidecode --from-dump reads (entry\n"
    "                                      point, then the table at offset 0x20). Without a\n"
    "                                      _DMI_ anchor, the SMBIOS 3.0 entry point is looked\n"
    "                                      for through mem map/read\n"
    "  pir [--out FILE]                    the PCI interrupt routing table ($PIR), decoded, with\n"
    "                                      its checksum verified; --out saves its raw bytes\n";

namespace {

// Largest table either code can describe: both lengths are 16-bit.
constexpr uint32_t kTableCapacity = 0xFFFF;
constexpr uint32_t kSmbiosWindow = 0xF0000;
constexpr uint32_t kSmbiosWindowBytes = 0x10000;

std::string Printf(const char *format, unsigned long long a = 0, unsigned long long b = 0,
                   unsigned long long c = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

void Put32(std::vector<uint8_t> &bytes, uint32_t value) {
  for (int i = 0; i < 4; i++) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void Put16(std::vector<uint8_t> &bytes, uint32_t value) {
  bytes.push_back(static_cast<uint8_t>(value));
  bytes.push_back(static_cast<uint8_t>(value >> 8));
}

uint32_t WordOf(const Reply &reply, size_t index) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && index * 4 + i < reply.output.size(); i++)
    value |= static_cast<uint32_t>(reply.output[index * 4 + i]) << (8 * i);
  return value;
}

bool Usage(TableRun &run, const std::string &message) {
  run.ok = false;
  run.usage_error = true;
  run.text = message;
  return false;
}

bool Fail(TableRun &run, const std::string &message) {
  run.ok = false;
  run.text = message;
  return false;
}

bool Send(TableRun &run, uint32_t code, const std::vector<uint8_t> &input, uint32_t output_length) {
  run.last = run.device.Control(code, input, output_length);
  if (!run.last.delivered) return Fail(run, "request not delivered: " + run.last.error);
  if (run.last.status != KDVR_STATUS_SUCCESS) return Fail(run, Printf("failed: status 0x%08llX", run.last.status));
  return true;
}

bool SaveBytes(TableRun &run, const std::string &path, const std::vector<uint8_t> &bytes) {
  std::string error;
  if (!ReplaceContents(path, std::string(bytes.begin(), bytes.end()), error))
    return Fail(run, "the table was read but not saved: " + error);
  return true;
}

// The table as dmidecode --dump-bin lays it out, which dmidecode
// --from-dump reads back: an entry point at offset 0 whose table address is
// 0x20 (checksums made anew), and the table itself at offset 0x20. The entry
// point is the SMBIOS 3.0 one (smbios3), the SMBIOS 2.x one with its _DMI_
// part (version given), or a bare DMI 2.0 anchor.
std::vector<uint8_t> SmbiosDump(const std::vector<uint8_t> &table, bool smbios3, uint16_t version, uint8_t docrev,
                                size_t structures) {
  constexpr uint32_t kTableOffset = 0x20;
  // Largest structure, formatted part and strings, for the 2.x entry point.
  size_t largest = 0;
  for (size_t at = 0; at + 4 <= table.size();) {
    size_t end = at + table[at + 1];
    if (table[at + 1] < 4 || end > table.size()) break;
    while (end + 1 < table.size() && (table[end] != 0 || table[end + 1] != 0)) end++;
    end += 2;
    if (end - at > largest) largest = end - at;
    if (table[at] == 127) break;
    at = end;
  }
  std::vector<uint8_t> dump(kTableOffset + table.size(), 0);
  std::copy(table.begin(), table.end(), dump.begin() + kTableOffset);
  auto checksum = [&](size_t from, size_t length, size_t at) {
    uint8_t sum = 0;
    for (size_t i = from; i < from + length; i++) sum = static_cast<uint8_t>(sum + dump[i]);
    dump[at] = static_cast<uint8_t>(-sum);
  };
  auto put16 = [&](size_t at, uint32_t v) {
    dump[at] = static_cast<uint8_t>(v);
    dump[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    put16(at, v);
    put16(at + 2, v >> 16);
  };
  const uint32_t count = static_cast<uint32_t>(structures > 0xFFFF ? 0xFFFF : structures);
  if (smbios3) {
    std::memcpy(dump.data(), "_SM3_", 5);
    dump[6] = 0x18;
    dump[7] = static_cast<uint8_t>(version >> 8);
    dump[8] = static_cast<uint8_t>(version);
    dump[9] = docrev;
    dump[10] = 1;  // entry point revision: 3.0
    put32(0x0C, static_cast<uint32_t>(table.size()));
    put32(0x10, kTableOffset);  // the 64-bit address, high half 0
    checksum(0, 0x18, 5);
  } else if (version != 0) {
    std::memcpy(dump.data(), "_SM_", 4);
    dump[5] = 0x1F;
    dump[6] = static_cast<uint8_t>(version >> 8);
    dump[7] = static_cast<uint8_t>(version);
    put16(8, static_cast<uint32_t>(largest));
    std::memcpy(dump.data() + 0x10, "_DMI_", 5);
    put16(0x16, static_cast<uint32_t>(table.size()));
    put32(0x18, kTableOffset);
    put16(0x1C, count);
    dump[0x1E] = static_cast<uint8_t>(((version >> 8) << 4) | (version & 0x0F));
    checksum(0x10, 0x0F, 0x15);
    checksum(0, 0x1F, 4);
  } else {
    std::memcpy(dump.data(), "_DMI_", 5);
    put16(6, static_cast<uint32_t>(table.size()));
    put32(8, kTableOffset);
    put16(0x0C, count);
    dump[0x0E] = 0x20;  // DMI 2.0
    checksum(0, 0x0F, 5);
  }
  return dump;
}

// ---------------------------------------------------------------------------
// resources

bool Resources(TableRun &run) {
  const char *usage =
      "resources SLOT memory|port LENGTH ALIGNMENT MIN MAX | SLOT irq MIN MAX | SLOT release [--bus B] [--slot S]";
  std::vector<std::string> positional;
  uint32_t bus = 0, slot_number = 0;
  bool by_address = false;
  for (size_t i = 1; i < run.words.size(); i++) {
    const std::string &w = run.words[i];
    if (w == "-s") {
      if (i + 1 >= run.words.size() || !ParseFunctionAddress(run.words[i + 1], bus, slot_number))
        return Usage(run, "-s needs [[DOMAIN:]BUS:]DEVICE[.FUNCTION] in hexadecimal, as lspci -s takes it (00:03.0)");
      by_address = true;
      i++;
    } else if (w == "--bus" || w == "--slot") {
      if (i + 1 >= run.words.size()) return Usage(run, w + " needs a value");
      const std::string &v = run.words[++i];
      uint32_t &target = w == "--bus" ? bus : slot_number;
      size_t dot = v.find('.');
      uint32_t device = 0, function = 0;
      if (w == "--slot" && dot != std::string::npos) {
        if (!ParseNumber(v.substr(0, dot), device) || !ParseNumber(v.substr(dot + 1), function) || device > 31 ||
            function > 7)
          return Usage(run, "bad slot '" + v + "'");
        target = device | (function << 5);
      } else if (!ParseNumber(v, target)) {
        return Usage(run, "bad value '" + v + "' for " + w);
      }
      if (w == "--bus" && target > 255) return Usage(run, "--bus must be 0 to 255");
      if (w == "--slot" && target > 0xFF)
        return Usage(run, "--slot must be a PCI slot number (device 0-31 in bits 0-4, function 0-7 in bits 5-7)");
    } else if (w.size() > 1 && w[0] == '-' && w[1] == '-') {
      return Usage(run, "unknown option '" + w + "'");
    } else {
      positional.push_back(w);
    }
  }
  if (by_address && std::count(run.words.begin(), run.words.end(), "--bus") + std::count(run.words.begin(), run.words.end(), "--slot") > 0)
    return Usage(run, "give -s or --bus/--slot, not both");
  if (positional.size() < 2) return Usage(run, usage);
  uint32_t slot = 0;
  if (!ParseNumber(positional[0], slot) || slot > 3) return Usage(run, "SLOT must be 0, 1, 2 or 3");
  const std::string &kind_name = positional[1];
  uint32_t kind, numbers[4] = {0, 0, 0, 0};
  size_t wanted;
  if (kind_name == "memory" || kind_name == "port") {
    kind = kind_name == "memory" ? KDVR_RESOURCE_MEMORY : KDVR_RESOURCE_PORT;
    wanted = 4;
  } else if (kind_name == "irq") {
    kind = KDVR_RESOURCE_INTERRUPT;
    wanted = 2;
  } else if (kind_name == "release") {
    kind = KDVR_RESOURCE_RELEASE;
    wanted = 0;
  } else {
    return Usage(run, usage);
  }
  if (positional.size() != 2 + wanted) return Usage(run, usage);
  static const char *kNames[] = {"LENGTH", "ALIGNMENT", "MIN", "MAX"};
  for (size_t i = 0; i < wanted; i++) {
    if (!ParseNumber(positional[2 + i], numbers[i]))
      return Usage(run, std::string("bad ") + (wanted == 2 ? kNames[2 + i] : kNames[i]) + " '" + positional[2 + i] + "'");
  }
  std::vector<uint8_t> input;
  Put16(input, kind);
  Put16(input, slot);
  Put16(input, bus);
  Put16(input, slot_number);
  if (kind == KDVR_RESOURCE_INTERRUPT) {
    Put32(input, 0);
    Put32(input, 0);
    Put32(input, numbers[0]);
    Put32(input, numbers[1]);
  } else {
    for (uint32_t n : numbers) Put32(input, n);
  }
  if (!Send(run, IOCTL_KDVR_GET_RESOURCES, input, 8)) return false;
  const uint32_t word0 = WordOf(run.last, 0), word1 = WordOf(run.last, 1);
  const std::string who = Printf("slot %llu (\\Device\\NICPORT%llx", slot, 0x100 + slot) +
                          Printf(", PCI %02llx:%02llx.", bus, slot_number & 0x1F) +
                          Printf("%llu)", (slot_number >> 5) & 7);
  run.json_extra = Printf(",\"slot\":%llu,\"bus\":%llu,\"slot_number\":%llu", slot, bus, slot_number) +
                   ",\"kind\":\"" + kind_name + "\"";
  if (kind == KDVR_RESOURCE_RELEASE) {
    // A release answers nothing; a failure clears word 1, which the input
    // filled with the bus and slot numbers.
    const uint32_t sent = bus | (slot_number << 16);
    const bool failed = sent != 0 && word1 == 0;
    run.json_extra += std::string(",\"released\":") + (failed ? "false" : "true");
    if (failed) return Fail(run, who + ": the release failed (word 1 came back 0)");
    run.text = who + ": claim given back";
    return true;
  }
  const bool assigned = word1 != 0;
  run.json_extra += std::string(",\"assigned\":") + (assigned ? "true" : "false");
  if (!assigned)
    return Fail(run, who + ": the " + (kind == KDVR_RESOURCE_INTERRUPT ? "interrupt" : kind_name + " range") +
                         " claim failed (word 1 came back 0: nothing was assigned)");
  if (kind == KDVR_RESOURCE_INTERRUPT) {
    run.text = who + Printf(": interrupt assigned, level %llu, vector %llu", word0, word1);
    run.json_extra += Printf(",\"level\":%llu,\"vector\":%llu", word0, word1);
  } else {
    const unsigned long long end = static_cast<unsigned long long>(word1) + (word0 ? word0 - 1 : 0);
    run.text = who + ": " + kind_name + Printf(" 0x%08llX-0x%08llX assigned (length 0x%llX)", word1, end, word0);
    run.json_extra += Printf(",\"start\":%llu,\"length\":%llu", word1, word0);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Memory reads through the mapping codes (the SMBIOS 3.0 fallback).

struct Window {
  TableRun &run;
  uint32_t virt = 0;
  uint32_t length = 0;
  explicit Window(TableRun &r) : run(r) {}
  bool Map(uint32_t physical, uint32_t bytes) {
    std::vector<uint8_t> in;
    Put32(in, physical);
    Put32(in, 0);  // bus 0
    Put32(in, bytes);
    if (!Send(run, IOCTL_KDVR_MAP_MEMORY, in, 4)) return false;
    virt = WordOf(run.last, 0);
    length = bytes;
    if (virt == 0) return Fail(run, Printf("mapping 0x%llX bytes at physical 0x%08llX failed", bytes, physical));
    return true;
  }
  bool Read(uint32_t offset, uint32_t count, std::vector<uint8_t> &out) {
    out.clear();
    for (uint32_t at = offset; at < offset + count;) {
      std::vector<uint8_t> in;
      Put32(in, virt + at);
      const bool whole = at + 4 <= offset + count && (at & 3) == 0;
      if (!Send(run, whole ? IOCTL_KDVR_READ_MEMORY_ULONG : IOCTL_KDVR_READ_MEMORY_UCHAR, in, 4)) return false;
      const uint32_t value = WordOf(run.last, 0);
      for (uint32_t i = 0; i < (whole ? 4u : 1u); i++) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
      at += whole ? 4 : 1;
    }
    return true;
  }
  ~Window() {
    if (virt == 0) return;
    std::vector<uint8_t> in;
    Put32(in, virt);
    Put32(in, length);
    run.device.Control(IOCTL_KDVR_UNMAP_MEMORY, in, 0);
  }
};

struct EntryPoints {
  bool scanned = false;
  bool has2 = false, has3 = false;
  uint32_t at2 = 0, at3 = 0;
  uint16_t version2 = 0;         // 0xMMmm
  uint8_t v3[3] = {0, 0, 0};     // major, minor, docrev
  uint32_t max3 = 0;             // structure table maximum size
  unsigned long long table3 = 0; // its 64-bit address
  bool checksum3 = false;
};

// Looks for the SMBIOS entry points ("_SM_" and "_SM3_") on the 16-byte
// grid of 0xF0000-0xFFFFF through the mapping codes.
bool ScanEntryPoints(TableRun &run, EntryPoints &e) {
  Window w(run);
  if (!w.Map(kSmbiosWindow, kSmbiosWindowBytes)) return false;
  for (uint32_t at = 0; at < kSmbiosWindowBytes && !(e.has2 && e.has3); at += 16) {
    std::vector<uint8_t> head;
    if (!w.Read(at, 8, head)) return false;
    if (!e.has2 && std::memcmp(head.data(), "_SM_", 4) == 0) {
      e.has2 = true;
      e.at2 = kSmbiosWindow + at;
      e.version2 = static_cast<uint16_t>((head[6] << 8) | head[7]);
    } else if (!e.has3 && std::memcmp(head.data(), "_SM3_", 5) == 0 && at + 0x18 <= kSmbiosWindowBytes) {
      std::vector<uint8_t> entry;
      if (!w.Read(at, 0x18, entry)) return false;
      e.has3 = true;
      e.at3 = kSmbiosWindow + at;
      e.v3[0] = entry[7];
      e.v3[1] = entry[8];
      e.v3[2] = entry[9];
      e.max3 = entry[0x0C] | (entry[0x0D] << 8) | (entry[0x0E] << 16) | (static_cast<uint32_t>(entry[0x0F]) << 24);
      e.table3 = 0;
      for (int i = 7; i >= 0; i--) e.table3 = (e.table3 << 8) | entry[0x10 + i];
      uint8_t sum = 0;
      const uint32_t length = entry[6] < 0x18 ? entry[6] : 0x18;
      for (uint32_t i = 0; i < length; i++) sum = static_cast<uint8_t>(sum + entry[i]);
      e.checksum3 = entry[6] >= 0x18 && sum == 0;
    }
  }
  e.scanned = true;
  return true;
}

bool Dmi(TableRun &run) {
  std::string out;
  for (size_t i = 1; i < run.words.size(); i++) {
    if (run.words[i] == "--out" && i + 1 < run.words.size()) {
      out = run.words[++i];
    } else {
      return Usage(run, "dmi [--out FILE]");
    }
  }
  std::string error;
  ClientBuffer buffer = run.device.TransferBuffer(error);
  if (buffer.data == nullptr) return Fail(run, error);
  std::vector<uint8_t> in;
  Put32(in, buffer.address);
  Put32(in, kTableCapacity);
  if (!Send(run, IOCTL_KDVR_GET_SYSTEM_ID, in, 8)) return false;
  const uint32_t status = WordOf(run.last, 0), copied = WordOf(run.last, 1);
  const Reply driver_reply = run.last;

  // The entry points tell the version (and, without an anchor, the table).
  EntryPoints e;
  std::string scan_note;
  {
    TableRun probe(run.device, run.words);
    if (!ScanEntryPoints(probe, e)) scan_note = "entry point scan through the mapping codes failed: " + probe.text;
  }
  run.last = driver_reply;

  std::vector<uint8_t> table;
  std::string header, source;
  uint16_t version = e.has2 ? e.version2 : 0x0300;
  unsigned long long address = 0;
  if (status == KDVR_STATUS_SUCCESS) {
    if (copied > buffer.size) return Fail(run, Printf("the driver reported %llu bytes copied into %llu", copied, buffer.size));
    table.assign(buffer.data, buffer.data + copied);
    source = "driver";
    if (e.has2) header = Printf("SMBIOS %llu.%llu present.\n", e.version2 >> 8, e.version2 & 0xFF);
    header += Printf("Table of %llu bytes copied by the driver from its _DMI_ anchor.\n", copied);
  } else if (status == KDVR_STATUS_INVALID_DEVICE_REQUEST) {
    header = "The driver found no _DMI_ anchor in 0xF0000-0xFFFFF.\n";
    if (!e.has3) {
      return Fail(run, "no _DMI_ anchor found by the driver and no SMBIOS 3.0 entry point found through the "
                       "mapping codes" + (scan_note.empty() ? std::string() : " (" + scan_note + ")"));
    }
    if (e.table3 > 0xFFFFFFFFull || e.max3 == 0 || e.max3 > kTableCapacity || e.table3 + e.max3 > 0x100000000ull)
      return Fail(run, Printf("the SMBIOS 3.0 entry point at 0x%08llX names a table nicdiag cannot map "
                              "(address 0x%llX, at most %llu bytes)", e.at3, e.table3, e.max3));
    Window w(run);
    if (!w.Map(static_cast<uint32_t>(e.table3), e.max3) || !w.Read(0, e.max3, table)) return false;
    run.last = driver_reply;
    source = "smbios3";
    version = static_cast<uint16_t>((e.v3[0] << 8) | e.v3[1]);
    address = e.table3;
    header += Printf("SMBIOS %llu.%llu.%llu present.\n", e.v3[0], e.v3[1], e.v3[2]);
    header += Printf("Table at 0x%08llX, at most %llu bytes, read by nicdiag through the mapping codes from the "
                     "SMBIOS 3.0 entry point at 0x%08llX", e.table3, e.max3, e.at3) +
              (e.checksum3 ? "" : " (its checksum is bad)") + ".\n";
  } else {
    return Fail(run, Printf("the driver's table copy failed: status 0x%08llX", status));
  }

  SmbiosTable decoded = DecodeSmbiosTable(table, version);
  run.text = header + Printf("%llu structures decoded.\n\n", decoded.structures.size()) + SmbiosText(decoded);
  run.json_extra = Printf(",\"table_status\":%llu,\"length\":%llu", status, table.size()) + ",\"source\":\"" + source +
                   "\"" + Printf(",\"version\":\"%llu.%llu\"", version >> 8, version & 0xFF) +
                   Printf(",\"table_address\":%llu", address) + ",\"structures\":" + SmbiosJson(decoded);
  if (!decoded.problem.empty()) run.json_extra += ",\"problem\":\"" + decoded.problem + "\"";
  if (!out.empty()) {
    const bool smbios3 = source == "smbios3" || (!e.has2 && e.has3);
    const uint16_t dump_version =
        smbios3 ? static_cast<uint16_t>((e.v3[0] << 8) | e.v3[1]) : e.has2 ? e.version2 : 0;
    const uint8_t docrev = smbios3 ? e.v3[2] : 0;
    if (!SaveBytes(run, out, SmbiosDump(table, smbios3, dump_version, docrev, decoded.structures.size()))) return false;
    run.text += "\ntable written to " + out + " (a dump dmidecode --from-dump reads)";
  }
  return true;
}

bool Pir(TableRun &run) {
  std::string out;
  for (size_t i = 1; i < run.words.size(); i++) {
    if (run.words[i] == "--out" && i + 1 < run.words.size()) {
      out = run.words[++i];
    } else {
      return Usage(run, "pir [--out FILE]");
    }
  }
  std::string error;
  ClientBuffer buffer = run.device.TransferBuffer(error);
  if (buffer.data == nullptr) return Fail(run, error);
  std::vector<uint8_t> in;
  Put32(in, buffer.address);
  Put32(in, kTableCapacity);
  if (!Send(run, IOCTL_KDVR_GET_INT_ROUTING, in, 8)) return false;
  const uint32_t status = WordOf(run.last, 0), copied = WordOf(run.last, 1);
  if (status != KDVR_STATUS_SUCCESS) return Fail(run, Printf("the driver's table copy failed: status 0x%08llX", status));
  if (copied > buffer.size) return Fail(run, Printf("the driver reported %llu bytes copied into %llu", copied, buffer.size));
  std::vector<uint8_t> table(buffer.data, buffer.data + copied);
  run.json_extra = Printf(",\"table_status\":%llu,\"length\":%llu", status, copied);
  if (copied == 0) {
    run.text = "No PCI interrupt routing table ($PIR) in 0xE0000-0xFFFFF.";
    run.json_extra += ",\"table\":null";
    return true;
  }
  PirTable decoded = DecodePir(table);
  run.json_extra += ",\"table\":" + PirJson(decoded);
  if (!decoded.valid) return Fail(run, decoded.problem);
  run.text = PirText(decoded);
  if (!out.empty()) {
    if (!SaveBytes(run, out, table)) return false;
    run.text += "\nraw table written to " + out;
  }
  return true;
}

}  // namespace

bool IsTableCommand(const std::string &name) { return name == "resources" || name == "dmi" || name == "pir"; }

void RunTableCommand(TableRun &run) {
  const std::string &name = run.words[0];
  if (name == "resources") {
    Resources(run);
  } else if (name == "dmi") {
    Dmi(run);
  } else {
    Pir(run);
  }
}

}  // namespace nicdiag
