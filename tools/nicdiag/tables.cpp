// The firmware-table commands: dmi (the SMBIOS structure table, decoded and
// saved as a dump dmidecode reads) and pir (the PCI interrupt routing table).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/nicdiag/command.h"
#include "tools/nicdiag/pir_decode.h"
#include "tools/nicdiag/smbios_decode.h"

namespace nicdiag {
namespace {

// Largest table either code can describe: both lengths are 16-bit.
constexpr uint32_t kTableCapacity = 0xFFFF;
constexpr uint32_t kSmbiosWindow = 0xF0000;
constexpr uint32_t kSmbiosWindowBytes = 0x10000;

// Saves a table (--out FILE), or sends it to standard output as it is in
// place of the decoded text (--out -).
bool SaveBytes(Run &run, const std::string &path, const std::vector<uint8_t> &bytes, const char *what) {
  if (path == "-") {
    run.text.assign(bytes.begin(), bytes.end());
    run.raw_output = true;
    return true;
  }
  std::string error;
  if (!ReplaceContents(path, std::string(bytes.begin(), bytes.end()), error))
    return run.Fail("the table was read but not saved: " + error);
  run.notes.push_back(std::string(what) + " written to " + path);
  return true;
}

// The 8-bit sum of bytes [from, from + count); 0 in a sound entry point.
uint8_t ByteSum(const std::vector<uint8_t> &bytes, size_t from, size_t count) {
  uint8_t sum = 0;
  for (size_t i = from; i < from + count && i < bytes.size(); i++) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
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
// Memory reads through the mapping codes (the SMBIOS 3.0 fallback).

struct Window {
  Run &run;
  uint32_t virt = 0;
  uint32_t length = 0;
  explicit Window(Run &r) : run(r) {}
  bool Map(uint32_t physical, uint32_t bytes) {
    KDVR_MAP_ARGS map{};
    map.BusAddress = physical;  // on bus 0
    map.Length = bytes;
    if (!RequestStatusByNumber(run, IOCTL_KDVR_MAP_MEMORY, map, 4)) return false;
    virt = run.Word(0);
    length = bytes;
    if (virt == 0) return run.Fail(Format("mapping 0x%llX bytes at physical 0x%08llX failed", bytes, physical));
    return true;
  }
  bool Read(uint32_t offset, uint32_t count, std::vector<uint8_t> &out) {
    out.clear();
    for (uint32_t at = offset; at < offset + count;) {
      KDVR_MEMORY_ARGS read{};
      read.Address = virt + at;
      const bool whole = at + 4 <= offset + count && (at & 3) == 0;
      if (!RequestStatusByNumber(run, whole ? IOCTL_KDVR_READ_MEMORY_ULONG : IOCTL_KDVR_READ_MEMORY_UCHAR, read, 4))
        return false;
      const uint32_t value = run.Word(0);
      for (uint32_t i = 0; i < (whole ? 4u : 1u); i++) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
      at += whole ? 4 : 1;
    }
    return true;
  }
  ~Window() {
    if (virt != 0) UnmapWindow(run.device, virt, length);
  }
};

struct EntryPoints {
  bool scanned = false;
  bool has2 = false, has3 = false;
  uint32_t at2 = 0, at3 = 0;
  // The SMBIOS 2.x entry point (_SM_, its length at byte 5) and the first
  // _DMI_ anchor on the grid, the one the driver copies the table of (the
  // one at _SM_ + 0x10 when there is an _SM_).
  bool checksum2 = false;
  bool has_dmi = false, checksum_dmi = false;
  uint32_t at_dmi = 0, dmi_table = 0, dmi_length = 0;
  uint8_t sum2 = 0, sum_dmi = 0, sum3 = 0;
  uint8_t dmi_revision = 0;       // BCD, 0x28 for 2.8
  uint16_t version2 = 0;          // 0xMMmm
  uint8_t v3[3] = {0, 0, 0};      // major, minor, docrev
  uint32_t max3 = 0;              // structure table maximum size
  unsigned long long table3 = 0;  // its 64-bit address
  bool checksum3 = false;
};

// Looks for the SMBIOS entry points ("_SM_" and "_SM3_") on the 16-byte
// grid of 0xF0000-0xFFFFF through the mapping codes.
bool ScanEntryPoints(Run &run, EntryPoints &e) {
  Window w(run);
  if (!w.Map(kSmbiosWindow, kSmbiosWindowBytes)) return false;
  for (uint32_t at = 0; at < kSmbiosWindowBytes && !(e.has2 && e.has3 && e.has_dmi); at += 16) {
    std::vector<uint8_t> head;
    if (!w.Read(at, 8, head)) return false;
    if (!e.has_dmi && std::memcmp(head.data(), "_DMI_", 5) == 0 && at + 0x0F <= kSmbiosWindowBytes) {
      // DMI 2.0 / SMBIOS 2.x intermediate anchor: 15 bytes whose sum is 0,
      // the table's length at 6 and its 32-bit address at 8.
      std::vector<uint8_t> anchor;
      if (!w.Read(at, 0x0F, anchor)) return false;
      e.has_dmi = true;
      e.at_dmi = kSmbiosWindow + at;
      e.sum_dmi = ByteSum(anchor, 0, 0x0F);
      e.checksum_dmi = e.sum_dmi == 0;
      e.dmi_length = anchor[6] | (anchor[7] << 8);
      e.dmi_table = anchor[8] | (anchor[9] << 8) | (anchor[10] << 16) | (static_cast<uint32_t>(anchor[11]) << 24);
      e.dmi_revision = anchor[0x0E];
    }
    if (!e.has2 && std::memcmp(head.data(), "_SM_", 4) == 0 && at + 0x20 <= kSmbiosWindowBytes) {
      // SMBIOS 2.x: the entry point's length is at byte 5 (0x1F; 0x1E in
      // firmware written to SMBIOS 2.1's misprint), and its bytes sum to 0.
      std::vector<uint8_t> entry;
      if (!w.Read(at, 0x20, entry)) return false;
      e.has2 = true;
      e.at2 = kSmbiosWindow + at;
      e.version2 = static_cast<uint16_t>((head[6] << 8) | head[7]);
      const uint32_t length = entry[5];
      e.sum2 = ByteSum(entry, 0, length);
      e.checksum2 = (length == 0x1E || length == 0x1F) && e.sum2 == 0;
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
      // SMBIOS 3.0: the length at byte 6 is 0x18, and its bytes sum to 0.
      e.sum3 = ByteSum(entry, 0, 0x18);
      e.checksum3 = entry[6] == 0x18 && e.sum3 == 0;
    }
  }
  e.scanned = true;
  return true;
}

// What dmi and pir share: their one option, --out FILE, and the driver's
// copy of its table into the session's transfer buffer, which answers the
// copy's status and its byte count.
struct TableCopy {
  std::string out;
  ClientBuffer buffer;
  uint32_t status = 0, copied = 0;
};

bool CopyTable(Run &run, const char *usage, uint32_t code, TableCopy &copy) {
  for (size_t i = 1; i < run.words.size(); i++) {
    if (run.words[i] == "--out" && i + 1 < run.words.size()) {
      copy.out = run.words[++i];
    } else {
      return run.Usage(usage);
    }
  }
  if (copy.out == "-" && run.options.json)
    return run.Usage("--out - sends the table to standard output, which --json keeps for JSON");
  if (!copy.out.empty()) run.Uses(copy.out, true, "--out");
  std::string error;
  copy.buffer = run.device.TransferBuffer(error);
  if (copy.buffer.data == nullptr) return run.Fail(error);
  KDVR_TABLE_ARGS args{};
  args.Buffer = copy.buffer.address;
  args.Size = kTableCapacity;
  if (!RequestStatusByNumber(run, code, args, 8)) return false;
  copy.status = run.Word(0);
  copy.copied = run.Word(1);
  return true;
}

}  // namespace

bool CommandDmi(Run &run) {
  TableCopy copy;
  if (!CopyTable(run, "dmi [--out FILE]", IOCTL_KDVR_GET_SYSTEM_ID, copy)) return false;
  const auto &[out, buffer, status, copied] = copy;
  const Reply driver_reply = run.last;

  // The entry points tell the version (and, without an anchor, the table).
  EntryPoints e;
  std::string scan_note;
  {
    Run probe(run.device, run.options, run.words);
    if (!ScanEntryPoints(probe, e)) scan_note = "entry point scan through the mapping codes failed: " + probe.text;
  }
  run.last = driver_reply;

  std::vector<uint8_t> table;
  std::string header, source;
  uint16_t version = e.has2 ? e.version2 : 0x0300;
  unsigned long long address = 0;
  const uint64_t memory_end = run.device.MemoryEnd();
  if (status == KDVR_STATUS_SUCCESS) {
    if (copied > buffer.size)
      return run.Fail(Format("the driver reported %llu bytes copied into %llu", copied, buffer.size));
    // Nothing is decoded before its entry point is known sound: the anchor
    // the driver used, and the SMBIOS entry point it belongs to.
    if (!e.scanned || !e.has_dmi)
      return run.Fail("the _DMI_ anchor the driver used could not be checked (" +
                      (scan_note.empty() ? std::string("nicdiag's own scan did not find it") : scan_note) +
                      "): not decoded");
    if (!e.checksum_dmi)
      return run.Fail(
          Format("the _DMI_ anchor at 0x%05llX has a wrong checksum (its 15 bytes sum to 0x%02llX, not 0): ", e.at_dmi,
                 e.sum_dmi) +
          "a damaged table; not decoded");
    // An SMBIOS entry point that is not sound is not believed (its version
    // included); the sound _DMI_ anchor inside it is read as a legacy one,
    // as dmidecode reads it.
    if (e.has2 && !e.checksum2) {
      header = Format("The SMBIOS entry point at 0x%05llX has a wrong checksum or length (its bytes sum to ", e.at2) +
               Format("0x%02llX, not 0): ignored.\n", e.sum2);
      e.has2 = false;
    }
    if (!e.has2) version = static_cast<uint16_t>(((e.dmi_revision >> 4) << 8) | (e.dmi_revision & 0x0F));
    if (static_cast<uint64_t>(e.dmi_table) + e.dmi_length > memory_end)
      return run.Fail(Format("the _DMI_ anchor at 0x%05llX names a table at 0x%08llX of %llu bytes, ", e.at_dmi,
                             e.dmi_table, e.dmi_length) +
                      Format("beyond the end of memory (0x%llX): not decoded", memory_end));
    table.assign(buffer.data, buffer.data + copied);
    source = "driver";
    if (e.has2)
      header = Format("SMBIOS %llu.%llu present.\n", e.version2 >> 8, e.version2 & 0xFF);
    else
      header += Format("Legacy DMI %llu.%llu present.\n", version >> 8, version & 0xFF);
    header += Format("Table of %llu bytes copied by the driver from its _DMI_ anchor.\n", copied);
  } else if (status == KDVR_STATUS_INVALID_DEVICE_REQUEST) {
    header = "The driver found no _DMI_ anchor in 0xF0000-0xFFFFF.\n";
    if (!e.has3) {
      return run.Fail(
          "no _DMI_ anchor found by the driver and no SMBIOS 3.0 entry point found through the "
          "mapping codes" +
          (scan_note.empty() ? std::string() : " (" + scan_note + ")"));
    }
    if (!e.checksum3)
      return run.Fail(
          Format("the SMBIOS 3.0 entry point at 0x%05llX has a wrong checksum or length (its 24 bytes ", e.at3) +
          Format("sum to 0x%02llX, not 0): a damaged table; not decoded", e.sum3));
    if (e.max3 == 0 || e.max3 > kTableCapacity)
      return run.Fail(
          Format("the SMBIOS 3.0 entry point at 0x%08llX states a table of at most %llu bytes: ", e.at3, e.max3) +
          "nicdiag reads tables of 1 to 65535 bytes");
    if (e.table3 >= memory_end || e.table3 + e.max3 > memory_end)
      return run.Fail(Format("the SMBIOS 3.0 entry point at 0x%05llX names a table at 0x%08llX of at most %llu bytes, ",
                             e.at3, e.table3, e.max3) +
                      Format("beyond the end of memory (0x%llX): not decoded", memory_end));
    Window w(run);
    if (!w.Map(static_cast<uint32_t>(e.table3), e.max3) || !w.Read(0, e.max3, table)) return false;
    run.last = driver_reply;
    source = "smbios3";
    version = static_cast<uint16_t>((e.v3[0] << 8) | e.v3[1]);
    address = e.table3;
    header += Format("SMBIOS %llu.%llu.%llu present.\n", e.v3[0], e.v3[1], e.v3[2]);
    header += Format(
                  "Table at 0x%08llX, at most %llu bytes, read by nicdiag through the mapping codes from the "
                  "SMBIOS 3.0 entry point at 0x%08llX",
                  e.table3, e.max3, e.at3) +
              ".\n";
  } else {
    return run.Fail(Format("the driver's table copy failed: status 0x%08llX", status));
  }

  SmbiosTable decoded = DecodeSmbiosTable(table, version);
  run.text = header + Format("%llu structures decoded.\n\n", decoded.structures.size()) + SmbiosText(decoded);
  run.json_extra = Format(",\"table_status\":%llu,\"length\":%llu", status, table.size()) + ",\"source\":\"" + source +
                   "\"" + Format(",\"version\":\"%llu.%llu\"", version >> 8, version & 0xFF) +
                   Format(",\"table_address\":%llu", address) + ",\"structures\":" + SmbiosJson(decoded);
  if (!decoded.problem.empty()) run.json_extra += ",\"problem\":\"" + decoded.problem + "\"";
  if (!out.empty()) {
    const bool smbios3 = source == "smbios3" || (!e.has2 && e.has3);
    const uint16_t dump_version = smbios3 ? static_cast<uint16_t>((e.v3[0] << 8) | e.v3[1]) : e.has2 ? e.version2 : 0;
    const uint8_t docrev = smbios3 ? e.v3[2] : 0;
    if (!SaveBytes(run, out, SmbiosDump(table, smbios3, dump_version, docrev, decoded.structures.size()),
                   "table (a dump dmidecode --from-dump reads)"))
      return false;
  }
  return true;
}

bool CommandPir(Run &run) {
  TableCopy copy;
  if (!CopyTable(run, "pir [--out FILE]", IOCTL_KDVR_GET_INT_ROUTING, copy)) return false;
  const auto &[out, buffer, status, copied] = copy;
  if (status != KDVR_STATUS_SUCCESS) return run.Fail(Format("the driver's table copy failed: status 0x%08llX", status));
  if (copied > buffer.size)
    return run.Fail(Format("the driver reported %llu bytes copied into %llu", copied, buffer.size));
  std::vector<uint8_t> table(buffer.data, buffer.data + copied);
  run.json_extra = Format(",\"table_status\":%llu,\"length\":%llu", status, copied);
  if (copied == 0) {
    run.text = "No PCI interrupt routing table ($PIR) in 0xE0000-0xFFFFF.";
    run.json_extra += ",\"table\":null";
    return true;
  }
  PirTable decoded = DecodePir(table);
  run.json_extra += ",\"table\":" + PirJson(decoded);
  if (!decoded.valid) return run.Fail(decoded.problem);
  // Decoded only once its checksum holds: a cut or damaged table is not.
  if (!decoded.checksum_ok)
    return run.Fail(Format("the $PIR table's checksum is wrong (the %llu bytes copied sum to 0x%02llX, not 0", copied,
                           decoded.sum) +
                    (decoded.problem.empty() ? std::string() : "; " + decoded.problem) + "): not decoded");
  run.text = PirText(decoded);
  if (!out.empty() && !SaveBytes(run, out, table, "raw table")) return false;
  return true;
}

}  // namespace nicdiag
