// Writes SYSTEM.DAT and USER.DAT of a full Windows 98 machine for the
// benchmark (scripts/bench-creg.sh): the given export's keys, and as many
// COM classes, file types and enumerated devices as a machine with its
// applications installed holds, until SYSTEM.DAT reaches the size asked for.
//   creg_machine EXPORT.reg DIR [BYTES]
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "sim/win32/registry.h"
#include "tools/netpurge-sim/creg/creg.h"

namespace {

creg::Key tree_of(const sim::win32::Registry& r, const std::string& path, const std::string& name) {
  creg::Key k{name, {}, {}};
  for (const auto& v : r.values_of(path))
    k.values.push_back({v.name, v.type, std::string(v.data.begin(), v.data.end())});
  for (const auto& n : r.subkey_names(path)) k.subkeys.push_back(tree_of(r, path + "\\" + n, n));
  return k;
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

creg::Key& child(creg::Key& k, const std::string& name) {
  for (auto& s : k.subkeys)
    if (same_name(s.name, name)) return s;
  k.subkeys.push_back({name, {}, {}});
  return k.subkeys.back();
}

std::string sz(const std::string& s) { return s + std::string(1, '\0'); }

// One application's worth: 50 COM classes with their servers, 10 file
// types, 10 enumerated devices.
void add_application(creg::Key& hklm, int n) {
  creg::Key& classes = child(child(hklm, "SOFTWARE"), "Classes");
  creg::Key& clsid = child(classes, "CLSID");
  char id[64];
  for (int i = 0; i < 50; ++i) {
    std::snprintf(id, sizeof id, "{%08X-%04X-11CF-A8F7-00AA00B5%04X}", n * 977 + i, i, n);
    creg::Key c{id, {{"", 1, sz("Component " + std::to_string(n) + "." + std::to_string(i))}}, {}};
    c.subkeys.push_back(
        {"InprocServer32",
         {{"", 1, sz("C:\\WINDOWS\\SYSTEM\\APP" + std::to_string(n) + ".DLL")}, {"ThreadingModel", 1, sz("Apartment")}},
         {}});
    c.subkeys.push_back({"ProgID", {{"", 1, sz("App" + std::to_string(n) + ".Object." + std::to_string(i))}}, {}});
    clsid.subkeys.push_back(std::move(c));
  }
  for (int i = 0; i < 10; ++i)
    classes.subkeys.push_back({".x" + std::to_string(n) + "_" + std::to_string(i),
                               {{"", 1, sz("App" + std::to_string(n) + ".Document")},
                                {"Content Type", 1, sz("application/x-app" + std::to_string(n))}},
                               {}});
  creg::Key& root = child(child(hklm, "Enum"), "Root");
  for (int i = 0; i < 10; ++i)
    root.subkeys.push_back({"*PNP" + std::to_string(n * 10 + i),
                            {{"DeviceDesc", 1, sz("System device " + std::to_string(n * 10 + i))},
                             {"ConfigFlags", 3, std::string(4, '\0')},
                             {"Class", 1, sz("System")}},
                            {}});
}

bool write(const std::string& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary);
  return static_cast<bool>(out << bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: creg_machine EXPORT.reg DIR [BYTES]\n");
    return 2;
  }
  const std::size_t want = argc > 3 ? std::strtoul(argv[3], nullptr, 0) : 2u << 20;
  sim::win32::Registry r;
  r.set_family(sim::win32::RegFamily::Win9x);
  r.import_reg_file(argv[1]);
  creg::Key hklm = tree_of(r, "HKEY_LOCAL_MACHINE", ""), hkcu = tree_of(r, "HKEY_CURRENT_USER", "");
  std::string system = creg::write(hklm);
  for (int n = 0; system.size() < want; ++n) {
    add_application(hklm, n);
    if (n % 4 == 3) system = creg::write(hklm);
  }
  system = creg::write(hklm);
  const std::string dir = argv[2];
  if (!write(dir + "/SYSTEM.DAT", system) || !write(dir + "/USER.DAT", creg::write(hkcu))) {
    std::perror(argv[2]);
    return 1;
  }
  std::printf("%zu\n", system.size());
  return 0;
}
