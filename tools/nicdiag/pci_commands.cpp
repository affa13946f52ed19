// PCI configuration space: the pci command, and the scan of every function
// that pci list and the adapter search share.
#include <cstring>
#include <string>
#include <vector>

#include "tools/nicdiag/command.h"

namespace nicdiag {

bool PciTransfer(Run &run, bool write, uint32_t bus, uint32_t slot, uint32_t offset, uint32_t length,
                 const std::vector<uint8_t> &data, std::vector<uint8_t> &bytes) {
  if (run.checking) {
    run.stopped = true;
    return false;
  }
  // The session's one transfer buffer serves every request.
  std::string error;
  ClientBuffer buffer = run.device.TransferBuffer(error);
  if (buffer.data == nullptr || length > buffer.size)
    return run.Fail(buffer.data == nullptr ? error : "transfer larger than the buffer");
  if (write) std::memcpy(buffer.data, data.data(), data.size());
  KDVR_PCI_CONFIG_ARGS args{};
  args.BusNumber = bus;
  args.SlotNumber = slot;
  args.Buffer = buffer.address;
  args.Offset = offset;
  args.Length = length;
  if (!run.Request(write ? IOCTL_KDVR_WRITE_PCI_CONFIG : IOCTL_KDVR_READ_PCI_CONFIG, args, 4)) return false;
  uint32_t count = run.Word(0);
  if (count > length) count = length;
  bytes.assign(buffer.data, buffer.data + count);
  return true;
}

bool ForEachFunction(Run &run, uint32_t header_bytes, const FunctionVisit &visit) {
  for (uint32_t bus = 0; bus < 256; bus++) {
    for (uint32_t device = 0; device < 32; device++) {
      for (uint32_t function = 0; function < 8; function++) {
        const uint32_t slot = device | (function << 5);
        std::vector<uint8_t> head;
        if (!PciTransfer(run, false, bus, slot, 0, header_bytes, {}, head)) return false;
        if (head.size() < 2) {
          device = 32;  // no such bus: nothing more to find on it
          break;
        }
        const uint32_t vendor = head[0] | (head[1] << 8);
        if (vendor == 0xFFFF || vendor == 0 || head.size() < header_bytes) {
          if (function == 0) break;
          continue;
        }
        if (visit(bus, slot, head)) return true;
        // Functions above 0 exist only on a multi-function device.
        if (function == 0 && (head[14] & 0x80) == 0) break;
      }
    }
  }
  return true;
}

namespace {

// Every function of every device on every bus that answers.
bool ListFunctions(Run &run) {
  if (!run.Count(2)) return false;
  std::string json = ",\"functions\":[";
  int found = 0;
  if (!ForEachFunction(run, 16, [&](uint32_t bus, uint32_t slot, const std::vector<uint8_t> &head) {
        const uint32_t vendor = head[0] | (head[1] << 8);
        uint32_t id = head[2] | (head[3] << 8);
        uint32_t revision = head[8];
        uint32_t klass = head[10] | (head[11] << 8);
        if (!run.text.empty()) run.text += "\n";
        run.text += SlotText(bus, slot) + Format(" %04llx: %04llx:%04llx", klass, vendor, id) +
                    Format(" (rev %02llx)", revision);
        if (found++) json += ",";
        json += Format("{\"bus\":%llu,\"device\":%llu,\"function\":%llu", bus, slot & 0x1F, slot >> 5) +
                Format(",\"class\":%llu,\"vendor\":%llu,\"device_id\":%llu", klass, vendor, id) +
                Format(",\"revision\":%llu}", revision);
        return false;
      }))
    return false;
  if (found == 0) run.text = "no PCI functions found";
  run.json_extra = json + "]";
  return true;
}

}  // namespace

bool CommandPci(Run &run) {
  if (run.words.size() < 2) return run.Usage("pci read|write|list ...");
  const std::string &op = run.words[1];
  if (op == "list") return ListFunctions(run);
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
      return run.Usage("bad slot '" + run.words[3] +
                       "' (device 0-31 in bits 0-4 and function 0-7 in bits 5-7, or "
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
  // A PCI function's configuration space is 4 KiB (PCI Express; 256 bytes
  // on conventional PCI, which the HAL answers short): nothing lies past it.
  if (offset + length > 0x1000)
    return run.Usage(
        Format("OFFSET 0x%llX + %llu bytes runs past 0xFFF, the end of configuration space", offset, length));
  std::vector<uint8_t> bytes;
  if (!PciTransfer(run, write, bus, slot, offset, length, data, bytes)) return false;
  const uint32_t count = run.Word(0);
  run.json_extra = Format(",\"count\":%llu", count) + ",\"data\":\"" + Hex(bytes) + "\"";
  const std::string where = SlotText(bus, slot) + Format(" +0x%02llx: ", offset);
  if (count < length) {
    // The HAL transfers nothing on a bus that does not exist, two bytes of
    // a vendor ID that reads FFFF on an empty slot, and stops at the end of
    // the header it knows.
    if (count == 0 && write)
      return run.Fail(where +
                      Format("wrote 0 of %llu bytes: no such bus or function, or an offset beyond the header", length));
    if (count == 0)
      return run.Fail(where + Format("read 0 of %llu bytes: no such bus, or an offset beyond the header", length));
    if (!write && offset == 0 && count == 2 && bytes.size() == 2 && bytes[0] == 0xFF && bytes[1] == 0xFF)
      return run.Fail(where + "no function there: its vendor ID reads ffff");
    return run.Fail(where +
                    Format(write ? "wrote only %llu of %llu bytes" : "read only %llu of %llu bytes", count, length));
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

}  // namespace nicdiag
