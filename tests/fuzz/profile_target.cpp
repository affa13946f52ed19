// Fuzz target: the profile readers of both simulators (netpurge-sim's
// machine and the hardware's), which share one JSON reader and one way of
// checking keys. Bad input must end in InputError naming the source;
// anything else escaping is a finding.
#include <cstdint>
#include <string>

#include "sim/common/input_file.h"
#include "sim/hw/profile.h"
#include "sim/win32/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  try {
    sim::win32::parse_profile(text, "fuzz.json", "/nonexistent-fuzz-dir");
  } catch (const sim::InputError &) {
  }
  try {
    sim::hw::parse_profile(text, "<fuzz>");
  } catch (const sim::InputError &) {
  }
  return 0;
}
