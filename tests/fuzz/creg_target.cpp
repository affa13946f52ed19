// Fuzz target: the Windows 95/98 registry file reader. Bad input must end
// in FormatError, never a crash or a hang; a tree that is read must survive
// being written and read again unchanged, and the written file must be one
// the checker finds nothing wrong with.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/netpurge-sim/creg/creg.h"

namespace {

bool same(const creg::Key &a, const creg::Key &b) {
  if (a.name != b.name || a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) return false;
  for (std::size_t i = 0; i < a.values.size(); ++i)
    if (a.values[i].name != b.values[i].name || a.values[i].type != b.values[i].type ||
        a.values[i].data != b.values[i].data)
      return false;
  for (std::size_t i = 0; i < a.subkeys.size(); ++i)
    if (!same(a.subkeys[i], b.subkeys[i])) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string bytes(reinterpret_cast<const char *>(data), size);
  creg::Key tree;
  try {
    creg::check(bytes);
    tree = creg::read(bytes);
  } catch (const creg::FormatError &) {
    return 0;
  }
  std::string written;
  try {
    tree.name.clear();  // the root's name is not kept
    written = creg::write(tree);
  } catch (const creg::FormatError &) {
    return 0;  // a tree over the writer's limits (a root entry with values)
  }
  if (!same(creg::read(written), tree) || !creg::check(written).empty()) {
    std::fprintf(stderr, "finding: a tree read back differently after writing it\n");
    std::abort();
  }
  return 0;
}
