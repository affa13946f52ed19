// The resources command: a slot object's claim of a memory or port range or
// an interrupt for a PCI device, and its release.
#include <algorithm>
#include <string>
#include <vector>

#include "tools/nicdiag/command.h"

namespace nicdiag {

bool CommandResources(Run &run) {
  const char *usage =
      "resources SLOT memory|port LENGTH ALIGNMENT MIN MAX | SLOT irq MIN MAX | SLOT release [--bus B] [--slot S]";
  std::vector<std::string> positional;
  uint32_t bus = 0, slot_number = 0;
  bool by_address = false;
  for (size_t i = 1; i < run.words.size(); i++) {
    const std::string &w = run.words[i];
    if (w == "-s") {
      if (i + 1 >= run.words.size() || !ParseFunctionAddress(run.words[i + 1], bus, slot_number))
        return run.Usage("-s needs [[DOMAIN:]BUS:]DEVICE[.FUNCTION] in hexadecimal, as lspci -s takes it (00:03.0)");
      by_address = true;
      i++;
    } else if (w == "--bus" || w == "--slot") {
      if (i + 1 >= run.words.size()) return run.Usage(w + " needs a value");
      const std::string &v = run.words[++i];
      uint32_t &target = w == "--bus" ? bus : slot_number;
      size_t dot = v.find('.');
      uint32_t device = 0, function = 0;
      if (w == "--slot" && dot != std::string::npos) {
        if (!ParseNumber(v.substr(0, dot), device) || !ParseNumber(v.substr(dot + 1), function) || device > 31 ||
            function > 7)
          return run.Usage("bad slot '" + v + "'");
        target = device | (function << 5);
      } else if (!ParseNumber(v, target)) {
        return run.Usage("bad value '" + v + "' for " + w);
      }
      if (w == "--bus" && target > 255) return run.Usage("--bus must be 0 to 255");
      if (w == "--slot" && target > 0xFF)
        return run.Usage("--slot must be a PCI slot number (device 0-31 in bits 0-4, function 0-7 in bits 5-7)");
    } else if (w.size() > 1 && w[0] == '-' && w[1] == '-') {
      return run.Usage("unknown option '" + w + "'");
    } else {
      positional.push_back(w);
    }
  }
  if (by_address && std::count(run.words.begin(), run.words.end(), "--bus") +
                            std::count(run.words.begin(), run.words.end(), "--slot") >
                        0)
    return run.Usage("give -s or --bus/--slot, not both");
  if (positional.size() < 2) return run.Usage(usage);
  uint32_t slot = 0;
  if (!ParseNumber(positional[0], slot) || slot > 3) return run.Usage("SLOT must be 0, 1, 2 or 3");
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
    return run.Usage(usage);
  }
  if (positional.size() != 2 + wanted) return run.Usage(usage);
  static const char *kNames[] = {"LENGTH", "ALIGNMENT", "MIN", "MAX"};
  for (size_t i = 0; i < wanted; i++) {
    if (!ParseNumber(positional[2 + i], numbers[i]))
      return run.Usage(std::string("bad ") + (wanted == 2 ? kNames[2 + i] : kNames[i]) + " '" + positional[2 + i] +
                       "'");
  }
  KDVR_RESOURCE_ARGS args{};
  args.Kind = static_cast<uint16_t>(kind);
  args.SlotIndex = static_cast<uint16_t>(slot);
  args.BusNumber = static_cast<uint16_t>(bus);
  args.SlotNumber = static_cast<uint16_t>(slot_number);
  if (kind == KDVR_RESOURCE_INTERRUPT) {
    args.Minimum = numbers[0];
    args.Maximum = numbers[1];
  } else {
    args.Length = numbers[0];
    args.Alignment = numbers[1];
    args.Minimum = numbers[2];
    args.Maximum = numbers[3];
  }
  if (!RequestStatusByNumber(run, IOCTL_KDVR_GET_RESOURCES, args, 8)) return false;
  const uint32_t word0 = run.Word(0), word1 = run.Word(1);
  const std::string who = Format("slot %llu (\\Device\\NICPORT%llx", slot, 0x100 + slot) +
                          Format(", PCI %02llx:%02llx.", bus, slot_number & 0x1F) +
                          Format("%llu)", (slot_number >> 5) & 7);
  run.json_extra = Format(",\"slot\":%llu,\"bus\":%llu,\"slot_number\":%llu", slot, bus, slot_number) + ",\"kind\":\"" +
                   kind_name + "\"";
  if (kind == KDVR_RESOURCE_RELEASE) {
    // A release answers nothing; a failure clears word 1, which the input
    // filled with the bus and slot numbers.
    const uint32_t sent = bus | (slot_number << 16);
    const bool failed = sent != 0 && word1 == 0;
    run.json_extra += std::string(",\"released\":") + (failed ? "false" : "true");
    if (failed) return run.Fail(who + ": the release failed (word 1 came back 0)");
    run.text = who + ": claim given back";
    return true;
  }
  const bool assigned = word1 != 0;
  run.json_extra += std::string(",\"assigned\":") + (assigned ? "true" : "false");
  if (!assigned)
    return run.Fail(who + ": the " + (kind == KDVR_RESOURCE_INTERRUPT ? "interrupt" : kind_name + " range") +
                    " claim failed (word 1 came back 0: nothing was assigned)");
  if (kind == KDVR_RESOURCE_INTERRUPT) {
    run.text = who + Format(": interrupt assigned, level %llu, vector %llu", word0, word1);
    run.json_extra += Format(",\"level\":%llu,\"vector\":%llu", word0, word1);
  } else {
    const unsigned long long end = static_cast<unsigned long long>(word1) + (word0 ? word0 - 1 : 0);
    run.text = who + ": " + kind_name + Format(" 0x%08llX-0x%08llX assigned (length 0x%llX)", word1, end, word0);
    run.json_extra += Format(",\"start\":%llu,\"length\":%llu", word1, word0);
  }
  return true;
}

}  // namespace nicdiag
