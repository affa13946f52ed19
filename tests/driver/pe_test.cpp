// The Windows images as built: NICPORT.sys is a relocatable i386 native
// image entered at DriverEntry that imports only from the kernel and the
// HAL and carries its version resource; nicdiag.exe is a console program
// for NT 4.0 on kernel32, advapi32 and msvcrt alone, small enough for a
// floppy beside the rest of the kit. Skipped until the windows preset is
// built.
#include <gtest/gtest.h>

#include "nickit_version.h"
#include "nicdiag_version.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct PeImage {
  std::vector<uint8_t> b;
  size_t pe = 0, opt = 0, sec = 0;

  bool Load(const char *path) {
    std::ifstream file(path, std::ios::binary);
    b.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (b.size() < 0x40 || U16(0) != 0x5A4D || U32(pe = U32(0x3C)) != 0x4550) return false;
    opt = pe + 24;
    sec = opt + U16(pe + 20);
    return true;
  }
  uint32_t U16(size_t at) const { return at + 2 <= b.size() ? b[at] | b[at + 1] << 8 : 0; }
  uint32_t U32(size_t at) const { return U16(at) | U16(at + 2) << 16; }
  std::string Str(size_t at, size_t max = SIZE_MAX) const {
    std::string s;
    while (at < b.size() && b[at] != 0 && s.size() < max) s += static_cast<char>(b[at++]);
    return s;
  }
  size_t Offset(uint32_t rva) const {  // file offset of an RVA
    for (uint32_t i = 0; i < U16(pe + 6); i++) {
      size_t s = sec + 40 * i;
      if (rva >= U32(s + 12) && rva < U32(s + 12) + std::max(U32(s + 8), U32(s + 16)))
        return U32(s + 20) + rva - U32(s + 12);
    }
    return 0;
  }
  std::vector<std::string> Dlls() const {  // imported DLLs, lower case
    std::vector<std::string> names;
    for (size_t d = Offset(U32(opt + 104)); d != 0 && U32(d + 12) != 0; d += 20) {
      std::string n = Str(Offset(U32(d + 12)));
      std::transform(n.begin(), n.end(), n.begin(), ::tolower);
      names.push_back(n);
    }
    return names;
  }
  uint32_t SymbolRva(const std::string &name) const {  // from the COFF symbol table
    size_t table = U32(pe + 12), count = U32(pe + 16), strings = table + 18 * count;
    for (size_t i = 0; table != 0 && i < count; i += 1 + b[table + 18 * i + 17]) {
      size_t s = table + 18 * i;
      std::string symbol = U32(s) == 0 ? Str(strings + U32(s + 4)) : Str(s, 8);
      int section = static_cast<int16_t>(U16(s + 12));
      if (symbol == name && section > 0) return U32(sec + 40 * (section - 1) + 12) + U32(s + 8);
    }
    return 0;
  }
  size_t Find(const std::vector<uint8_t> &needle) const {
    auto it = std::search(b.begin(), b.end(), needle.begin(), needle.end());
    return it == b.end() ? 0 : static_cast<size_t>(it - b.begin());
  }
};

TEST(DriverImage, NicportSysIsARelocatableNativeDriverOnKernelAndHal) {
  PeImage image;
  if (!image.Load(NICPORT_SYS_PATH)) GTEST_SKIP() << NICPORT_SYS_PATH << " is missing: build the windows preset first";
  EXPECT_EQ(image.U16(image.pe + 4), 0x14Cu);            // i386
  EXPECT_EQ(image.U16(image.opt + 68), 1u);              // native subsystem
  EXPECT_EQ(image.U16(image.pe + 22) & 1, 0u);           // relocations not stripped
  EXPECT_GT(image.U32(image.opt + 96 + 5 * 8 + 4), 0u);  // base relocation directory
  uint32_t entry = image.SymbolRva("_DriverEntry@8");
  ASSERT_NE(entry, 0u);
  EXPECT_EQ(image.U32(image.opt + 16), entry);
  std::vector<std::string> dlls = image.Dlls();
  std::sort(dlls.begin(), dlls.end());
  EXPECT_EQ(dlls, (std::vector<std::string>{"hal.dll", "ntoskrnl.exe"}));
  // VS_FIXEDFILEINFO: the build's file and product versions of NICPORT.sys
  // (each as two DWORDs, major<<16|minor then build<<16|revision),
  // VFT_DRV / VFT2_DRV_SYSTEM.
  const uint32_t file[] = {NICKIT_NICPORT_VERSION_COMMAS};
  const uint32_t product[] = {NICKIT_NICPORT_PRODUCTVERSION_COMMAS};
  size_t info = image.Find({0xBD, 0x04, 0xEF, 0xFE});
  ASSERT_NE(info, 0u);
  EXPECT_EQ(image.U32(info + 8), (file[0] << 16) | file[1]);
  EXPECT_EQ(image.U32(info + 12), (file[2] << 16) | file[3]);
  EXPECT_EQ(image.U32(info + 16), (product[0] << 16) | product[1]);
  EXPECT_EQ(image.U32(info + 20), (product[2] << 16) | product[3]);
  EXPECT_EQ(image.U32(info + 36), 3u);
  EXPECT_EQ(image.U32(info + 40), 7u);
  EXPECT_NE(image.Find({0x09, 0x04, 0xB0, 0x04}), 0u);  // translation: language 1033, code page 1200
}

TEST(DriverImage, NicdiagExeIsAConsoleProgramForNt4OnKernel32Advapi32AndMsvcrt) {
  PeImage image;
  if (!image.Load(NICDIAG_EXE_PATH)) GTEST_SKIP() << NICDIAG_EXE_PATH << " is missing: build the windows preset first";
  EXPECT_LE(image.b.size(), 256u * 1024u) << "nicdiag.exe is over 256 KiB";
  EXPECT_EQ(image.U16(image.pe + 4), 0x14Cu);
  EXPECT_EQ(image.U16(image.opt + 68), 3u);  // console
  // NT 4 refuses an image that asks for a later subsystem or system.
  EXPECT_EQ(image.U16(image.opt + 48), 4u);
  EXPECT_EQ(image.U16(image.opt + 50), 0u);
  EXPECT_LE(image.U16(image.opt + 40), 4u);
  std::vector<std::string> dlls = image.Dlls();
  EXPECT_FALSE(dlls.empty()) << "no import table";
  for (const std::string &dll : dlls)
    EXPECT_TRUE(dll == "kernel32.dll" || dll == "advapi32.dll" || dll == "msvcrt.dll") << dll;
  // VS_FIXEDFILEINFO: the version nicdiag --version prints, VFT_APP.
  size_t info = image.Find({0xBD, 0x04, 0xEF, 0xFE});
  ASSERT_NE(info, 0u) << "no version resource";
  EXPECT_EQ(image.U32(info + 8), (NICDIAG_VERSION_MAJOR << 16u) | NICDIAG_VERSION_MINOR);
  EXPECT_EQ(image.U32(info + 12), static_cast<uint32_t>(NICDIAG_VERSION_PATCH) << 16);
  EXPECT_EQ(image.U32(info + 36), 1u);  // VFT_APP
  std::vector<uint8_t> text;            // "FileVersion" value in UTF-16
  for (char c : std::string(NICDIAG_VERSION) + ".0") {
    text.push_back(static_cast<uint8_t>(c));
    text.push_back(0);
  }
  EXPECT_NE(image.Find(text), 0u) << NICDIAG_VERSION;
}

}  // namespace
