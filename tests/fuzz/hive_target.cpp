// Fuzz target: netpurge-sim's regf reader and editor. The input is a
// hive's data (its bins); a base block of format 1.3 is put before it, its
// root the first cell. Bad data must end in Corrupt; a hive read without
// hazards must take an edit (its root's first subkey deleted, its values
// rewritten) and read back without Corrupt or hazards.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/netpurge-sim/hive_regf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  namespace regf = netpurge_sim::regf;
  std::string bins(reinterpret_cast<const char *>(data), size);
  bins.resize((bins.size() + 0xFFF) & ~std::size_t{0xFFF});
  if (bins.empty()) return 0;
  std::string b(regf::kBaseBlock, '\0');
  b.replace(0, 4, "regf");
  regf::put32(b, 0x04, 1);
  regf::put32(b, 0x08, 1);
  regf::put32(b, 0x14, 1);
  regf::put32(b, 0x18, regf::kMinorVersion);
  regf::put32(b, 0x20, 1);
  regf::put32(b, 0x24, 0x20);
  regf::put32(b, 0x28, static_cast<std::uint32_t>(bins.size()));
  regf::put32(b, 0x1FC, regf::header_checksum(b));
  regf::Hive hive;
  try {
    hive = regf::parse(b + bins, 64);
  } catch (const regf::Corrupt &) {
    return 0;
  }
  if (!hive.hazards.empty()) return 0;
  regf::Editor editor(hive);
  std::vector<std::size_t> children = hive.keys[0].children;
  if (!children.empty()) {
    editor.delete_tree(children.front());
    children.erase(children.begin());
    editor.set_subkeys(0, children);
  }
  std::vector<regf::Value> values = hive.keys[0].values;
  values.push_back({regf::kNil, "added", 3, std::string(9, 'x'), regf::kNil});
  editor.set_values(0, values);
  const std::string edited = editor.finish();
  try {
    const regf::Hive back = regf::parse(edited, 64);
    if (!back.hazards.empty()) {
      std::fprintf(stderr, "edited hive has a hazard: %s\n", back.hazards.front().c_str());
      std::abort();
    }
  } catch (const regf::Corrupt &e) {
    std::fprintf(stderr, "edited hive does not read: %s\n", e.what());
    std::abort();
  }
  return 0;
}
