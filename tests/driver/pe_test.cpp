// The Windows build as built: NICPORT.sys is an i386 native-subsystem image
// entered at DriverEntry, relocatable, importing only from the kernel and
// the HAL, with its version resource; nicdiag.exe is a console program that
// imports only KERNEL32 and msvcrt. Skipped when the Windows preset has not
// been built.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

class PeImage {
 public:
  bool Load(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (bytes_.size() < 0x40 || U16(0) != 0x5A4D) return false;
    pe_ = U32(0x3C);
    if (U32(pe_) != 0x00004550) return false;
    optional_ = pe_ + 24;
    sections_ = optional_ + U16(pe_ + 20);
    return true;
  }
  uint16_t Machine() const { return U16(pe_ + 4); }
  uint16_t Characteristics() const { return U16(pe_ + 22); }
  uint16_t Magic() const { return U16(optional_); }
  uint32_t EntryPoint() const { return U32(optional_ + 16); }
  uint16_t Subsystem() const { return U16(optional_ + 68); }
  uint32_t DirectoryRva(int index) const { return U32(optional_ + 96 + 8 * index); }
  uint32_t DirectorySize(int index) const { return U32(optional_ + 96 + 8 * index + 4); }
  int SectionCount() const { return U16(pe_ + 6); }

  // File offset of a relative virtual address, or 0 when no section holds it.
  size_t Offset(uint32_t rva) const {
    for (int i = 0; i < SectionCount(); i++) {
      size_t s = sections_ + 40 * i;
      uint32_t va = U32(s + 12), size = std::max(U32(s + 8), U32(s + 16)), raw = U32(s + 20);
      if (rva >= va && rva < va + size) return raw + (rva - va);
    }
    return 0;
  }
  std::string SectionName(int i) const { return std::string(reinterpret_cast<const char *>(&bytes_[sections_ + 40 * i]), strnlen(reinterpret_cast<const char *>(&bytes_[sections_ + 40 * i]), 8)); }

  std::vector<std::string> ImportedDlls() const {
    std::vector<std::string> names;
    size_t d = Offset(DirectoryRva(1));
    if (d == 0) return names;
    for (; U32(d + 12) != 0; d += 20) names.push_back(String(Offset(U32(d + 12))));
    return names;
  }

  // Value (as an RVA) of a symbol in the COFF symbol table, or 0.
  uint32_t SymbolRva(const std::string &name) const {
    uint32_t table = U32(pe_ + 12), count = U32(pe_ + 16);
    if (table == 0) return 0;
    size_t strings = table + 18 * count;
    for (uint32_t i = 0; i < count; i++) {
      size_t s = table + 18 * i;
      std::string symbol = U32(s) == 0 ? String(strings + U32(s + 4))
                                       : std::string(reinterpret_cast<const char *>(&bytes_[s]),
                                                     strnlen(reinterpret_cast<const char *>(&bytes_[s]), 8));
      int16_t section = static_cast<int16_t>(U16(s + 12));
      if (symbol == name && section > 0) return U32(sections_ + 40 * (section - 1) + 12) + U32(s + 8);
      i += bytes_[s + 17];  // auxiliary records
    }
    return 0;
  }

  // Offset of the fixed version information (signature 0xFEEF04BD), or 0.
  size_t FixedFileInfo() const {
    const uint8_t signature[] = {0xBD, 0x04, 0xEF, 0xFE};
    auto it = std::search(bytes_.begin(), bytes_.end(), std::begin(signature), std::end(signature));
    return it == bytes_.end() ? 0 : static_cast<size_t>(it - bytes_.begin());
  }
  bool Contains(const std::vector<uint8_t> &needle) const {
    return std::search(bytes_.begin(), bytes_.end(), needle.begin(), needle.end()) != bytes_.end();
  }

  uint16_t U16(size_t at) const { return at + 2 <= bytes_.size() ? bytes_[at] | bytes_[at + 1] << 8 : 0; }
  uint32_t U32(size_t at) const { return U16(at) | static_cast<uint32_t>(U16(at + 2)) << 16; }
  std::string String(size_t at) const {
    std::string s;
    while (at < bytes_.size() && bytes_[at] != 0) s += static_cast<char>(bytes_[at++]);
    return s;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t pe_ = 0, optional_ = 0, sections_ = 0;
};

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<uint8_t> Utf16(const std::string &text) {
  std::vector<uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

TEST(DriverImage, NicportSysIsARelocatableNativeDriverImportingOnlyKernelAndHal) {
  PeImage image;
  if (!image.Load(NICPORT_SYS_PATH)) {
    GTEST_SKIP() << NICPORT_SYS_PATH << " is missing: build the windows preset first";
  }
  EXPECT_EQ(image.Machine(), 0x14C);  // i386
  EXPECT_EQ(image.Magic(), 0x10B);    // PE32
  EXPECT_EQ(image.Subsystem(), 1);    // native
  EXPECT_EQ(image.Characteristics() & 0x0001, 0);  // relocations not stripped
  EXPECT_GT(image.DirectorySize(5), 0u);           // base relocations present
  uint32_t entry = image.SymbolRva("_DriverEntry@8");
  ASSERT_NE(entry, 0u) << "no DriverEntry symbol";
  EXPECT_EQ(image.EntryPoint(), entry);

  std::vector<std::string> dlls = image.ImportedDlls();
  ASSERT_FALSE(dlls.empty());
  for (const std::string &dll : dlls) {
    EXPECT_TRUE(Lower(dll) == "ntoskrnl.exe" || Lower(dll) == "hal.dll") << dll;
  }

  size_t info = image.FixedFileInfo();
  ASSERT_NE(info, 0u) << "no version resource";
  EXPECT_EQ(image.U32(info + 8), 0x00020014u);   // file version 2.20
  EXPECT_EQ(image.U32(info + 12), 0x00000000u);  // .0.0
  EXPECT_EQ(image.U32(info + 16), 0x00030007u);  // product version 3.7
  EXPECT_EQ(image.U32(info + 20), 0x00000000u);  // .0.0
  EXPECT_EQ(image.U32(info + 36), 3u);           // VFT_DRV
  EXPECT_EQ(image.U32(info + 40), 7u);           // VFT2_DRV_SYSTEM
  std::vector<uint8_t> translation = Utf16("Translation");
  EXPECT_TRUE(image.Contains(translation));
  EXPECT_TRUE(image.Contains({0x09, 0x04, 0xB0, 0x04}));  // language 1033, code page 1200
  EXPECT_TRUE(image.Contains(Utf16("040904B0")) || image.Contains(Utf16("040904b0")));
}

TEST(DriverImage, NicdiagExeIsAConsoleProgramOnKernel32AndMsvcrt) {
  PeImage image;
  if (!image.Load(NICDIAG_EXE_PATH)) {
    GTEST_SKIP() << NICDIAG_EXE_PATH << " is missing: build the windows preset first";
  }
  EXPECT_EQ(image.Machine(), 0x14C);
  EXPECT_EQ(image.Subsystem(), 3);  // console
  for (const std::string &dll : image.ImportedDlls()) {
    EXPECT_TRUE(Lower(dll) == "kernel32.dll" || Lower(dll) == "msvcrt.dll") << dll;
  }
}

}  // namespace
