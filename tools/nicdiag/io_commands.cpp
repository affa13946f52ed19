// The commands one control code each serves: id, port, mem, validate,
// first-range, stall, and raw, which sends any code with any input.
#include <string>
#include <vector>

#include "tools/nicdiag/command.h"

namespace nicdiag {
namespace {

const char *ValueFormat(uint32_t width) { return width == 8 ? "%02llX" : width == 16 ? "%04llX" : "%08llX"; }

// A read or a write of 8, 16 or 32 bits: of a port, or inside a mapped
// window. Its words: OP WIDTH ADDRESS [VALUE [--truncate]].
struct Access {
  const char *address_name;  // as usage errors name the ADDRESS
  const char *where;         // format of the address and width in the result
  uint32_t read[3], write[3];
};

constexpr Access kPortAccess = {
    "port",
    "port 0x%04llX (%llu-bit) ",
    {IOCTL_KDVR_READ_PORT_UCHAR, IOCTL_KDVR_READ_PORT_USHORT, IOCTL_KDVR_READ_PORT_ULONG},
    {IOCTL_KDVR_WRITE_PORT_UCHAR, IOCTL_KDVR_WRITE_PORT_USHORT, IOCTL_KDVR_WRITE_PORT_ULONG}};
constexpr Access kMemoryAccess = {
    "address",
    "memory 0x%08llX (%llu-bit) ",
    {IOCTL_KDVR_READ_MEMORY_UCHAR, IOCTL_KDVR_READ_MEMORY_USHORT, IOCTL_KDVR_READ_MEMORY_ULONG},
    {IOCTL_KDVR_WRITE_MEMORY_UCHAR, IOCTL_KDVR_WRITE_MEMORY_USHORT, IOCTL_KDVR_WRITE_MEMORY_ULONG}};

bool ReadOrWrite(Run &run, bool write, const Access &access) {
  const bool truncate = write && run.TakeFlag("--truncate");
  uint32_t width, address, value = 0;
  std::string note;
  if (!run.Count(write ? 5 : 4) || !run.Width(2, width) || !run.Number(3, access.address_name, address)) return false;
  if (write && !run.AccessValue(4, width, truncate, value, note)) return false;
  const int w = width == 8 ? 0 : width == 16 ? 1 : 2;
  KDVR_PORT_ARGS args{};
  args.Address = address;
  args.Value = value;
  if (!run.Request(write ? access.write[w] : access.read[w], args, write ? 0 : 4)) return false;
  if (!write) value = run.Word(0);
  run.text =
      Format(access.where, address, width) + (write ? "<- 0x" : "= 0x") + Format(ValueFormat(width), value) + note;
  run.json_extra = Format(",\"value\":%llu", value);
  return true;
}

// A command of no arguments whose code takes no input and answers one word.
bool OneWord(Run &run, uint32_t code, const char *format) {
  if (!run.Count(1)) return false;
  if (!run.Send(code, {}, 4, true)) return false;
  run.text = Format(format, run.Word(0));
  run.json_extra = Format(",\"value\":%llu", run.Word(0));
  return true;
}

}  // namespace

bool CommandId(Run &run) { return OneWord(run, IOCTL_KDVR_GET_IDENTIFIER, "identifier 0x%02llX"); }

bool CommandPort(Run &run) {
  if (run.words.size() < 2) return run.Usage("port read|write 8|16|32 PORT [VALUE]");
  bool write = run.words[1] == "write";
  if (!write && run.words[1] != "read") return run.Usage("port read|write 8|16|32 PORT [VALUE]");
  return ReadOrWrite(run, write, kPortAccess);
}

bool CommandMem(Run &run) {
  if (run.words.size() < 2) return run.Usage("mem map|read|write|unmap ...");
  const std::string &op = run.words[1];
  if (op == "map") {
    KDVR_MAP_ARGS map{};
    if (!run.Count(5) || !run.Number(2, "bus", map.BusNumber) || !run.Number(3, "address", map.BusAddress) ||
        !run.Number(4, "length", map.Length)) {
      return false;
    }
    if (!run.Request(IOCTL_KDVR_MAP_MEMORY, map, 4)) return false;
    uint32_t virt = run.Word(0);
    run.json_extra = Format(",\"value\":%llu", virt);
    if (virt == 0) {
      return run.Fail(Format("bus %llu address 0x%08llX: not mapped (translation or mapping failed)", map.BusNumber,
                             map.BusAddress));
    }
    run.text = Format("bus %llu address 0x%08llX length 0x%llX mapped at 0x%08llX", map.BusNumber, map.BusAddress,
                      map.Length, virt);
    return true;
  }
  if (op == "unmap") {
    KDVR_UNMAP_ARGS unmap{};
    if (!run.Count(4) || !run.Number(2, "address", unmap.VirtualAddress) || !run.Number(3, "length", unmap.Length))
      return false;
    if (!run.Request(IOCTL_KDVR_UNMAP_MEMORY, unmap, 0)) return false;
    run.text = Format("unmapped 0x%08llX length 0x%llX", unmap.VirtualAddress, unmap.Length);
    return true;
  }
  bool write = op == "write";
  if (!write && op != "read") return run.Usage("mem map|read|write|unmap ...");
  return ReadOrWrite(run, write, kMemoryAccess);
}

bool CommandValidate(Run &run) {
  KDVR_VALIDATE_ARGS args{};
  bool by_address = false;
  if (!run.TakeFunctionAddress(by_address, args.BusNumber, args.SlotNumber)) return false;
  if (!run.Count(by_address ? 2 : 4) || !run.Number(1, "address", args.PhysicalAddress)) return false;
  if (!by_address) {
    if (!run.Number(2, "bus", args.BusNumber)) return false;
    if (args.BusNumber > 255)
      return run.Usage(Format("BUS %llu is out of range: PCI buses are 0 to 255", args.BusNumber));
    if (!ParseSlot(run.words[3], args.SlotNumber)) return run.Usage("bad slot '" + run.words[3] + "'");
  }
  if (!run.Request(IOCTL_KDVR_VALIDATE_MEM_SPACE, args, 4)) return false;
  run.text = Format("address to use 0x%08llX", run.Word(0));
  run.json_extra = Format(",\"value\":%llu", run.Word(0));
  return true;
}

bool CommandFirstRange(Run &run) {
  return OneWord(run, IOCTL_KDVR_GET_FIRST_RANGE_START, "first range start 0x%08llX");
}

bool CommandStall(Run &run) {
  KDVR_STALL_ARGS args{};
  if (!run.Count(2) || !run.Number(1, "microseconds", args.Microseconds)) return false;
  if (!run.Request(IOCTL_KDVR_STALL, args, 0)) return false;
  run.text = Format("stalled %llu us", args.Microseconds);
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
  if (!run.Send(code, input, out, false)) return false;
  run.text = Format("status 0x%08llX", run.last.status) + " " + StatusName(run.last.status) +
             Format(", %llu bytes:", run.last.information) + (run.last.output.empty() ? "" : " ") +
             Hex(run.last.output);
  return true;
}

}  // namespace nicdiag
