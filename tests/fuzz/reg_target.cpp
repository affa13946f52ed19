// Fuzz target: netpurge-sim's .reg reader. Bad input must end in
// InputError; what is read must survive an export in the Unicode format and
// a new import unchanged. (REGEDIT4 is ANSI: names outside the code page
// become '?' there, as they do in regedit's own REGEDIT4 exports.)
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
    const std::string exported = registry.export_reg(sim::win32::RegFormat::Version5);
    sim::win32::Registry again;
    again.set_family(family);
    again.import_reg(exported, "exported.reg");
    if (again.export_reg(sim::win32::RegFormat::Version5) != exported || !again.diff_from(registry).empty()) {
      std::fprintf(stderr, "finding: an exported registry reads back differently\n");
      std::abort();
    }
  }
  return 0;
}
