// Fuzz target: netpurge-sim's machine-profile reader. Bad input must end in
// InputError naming the source; anything else escaping is a finding.
#include <cstdint>
#include <string>

#include "sim/win32/profile.h"
#include "sim/win32/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  try {
    sim::win32::parse_profile(text, "fuzz.json", "/nonexistent-fuzz-dir");
  } catch (const sim::win32::InputError &) {
  }
  return 0;
}
