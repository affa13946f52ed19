// Fuzz target: netpurge-sim's .reg reader. Bad input must end in
// InputError; what is read must survive an export and a new import
// unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/win32/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  for (sim::win32::RegFamily family : {sim::win32::RegFamily::Win9x, sim::win32::RegFamily::NT}) {
    sim::win32::Registry registry;
    registry.set_family(family);
    try {
      registry.import_reg(text, "fuzz.reg");
    } catch (const sim::win32::InputError &) {
      continue;
    }
    sim::win32::Registry again;
    again.set_family(family);
    again.import_reg(registry.export_reg(), "exported.reg");
    if (!(again == registry)) {
      std::fprintf(stderr, "finding: an exported registry reads back differently\n");
      std::abort();
    }
  }
  return 0;
}
