// Checks netpurge.exe as built by the windows preset: the image header that
// decides whether Windows 95 and NT 4 start it, the import table against
// what Windows 95 exports, and the resources the program loads. Checks the
// import tables of NICPORT.sys and nicdiag.exe (kernel32, advapi32 and
// msvcrt only) against what Windows NT 4.0 exports (nt4_exports.txt, each
// entry with its public record).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "nickit_version.h"
#include "pe_image.h"

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// "dll function" pairs, the DLL name lower-cased.
std::set<std::pair<std::string, std::string>> ReadAllowed(const std::string &path)
{
    std::set<std::pair<std::string, std::string>> allowed;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string dll, function;
        if (!(words >> dll) || dll[0] == '#' || !(words >> function))
            continue;
        allowed.emplace(Lower(dll), function);
    }
    return allowed;
}

class NetpurgeImage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!std::filesystem::exists(NETPURGE_EXE)) {
            skip_reason_ =
                std::string("netpurge.exe not found at ") + NETPURGE_EXE +
                ": build the windows preset first (cmake --preset windows && cmake --build --preset windows)";
            return;
        }
        image_ = pe::Load(NETPURGE_EXE, load_error_);
    }
    void SetUp() override
    {
        if (!skip_reason_.empty())
            GTEST_SKIP() << skip_reason_;
        ASSERT_TRUE(image_.has_value()) << load_error_;
    }
    static const pe::Resource *Find(std::uint32_t type, std::uint32_t name)
    {
        auto t = image_->resources.find(pe::ResourceId(type));
        if (t == image_->resources.end())
            return nullptr;
        auto n = t->second.find(pe::ResourceId(name));
        return n == t->second.end() || n->second.empty() ? nullptr : &n->second.front();
    }

    static inline std::string skip_reason_;
    static inline std::string load_error_;
    static inline std::optional<pe::Image> image_;
};

TEST_F(NetpurgeImage, HeaderAsksForNothingNewerThanWindows95AndNt4)
{
    EXPECT_EQ(image_->machine, 0x014C) << "machine is not i386";
    EXPECT_EQ(image_->optional_magic, 0x010B) << "not a PE32 image";
    EXPECT_TRUE(image_->characteristics & 0x0002) << "not marked executable";
    EXPECT_FALSE(image_->characteristics & 0x2000) << "marked as a DLL";
    EXPECT_EQ(image_->subsystem, 2) << "not the Windows GUI subsystem";
    EXPECT_EQ(image_->subsystem_major, 4);
    EXPECT_EQ(image_->subsystem_minor, 0);
    EXPECT_EQ(image_->os_major, 4);
    EXPECT_EQ(image_->os_minor, 0);
}

TEST_F(NetpurgeImage, ImportsOnlyWhatWindows95Exports)
{
    const std::set<std::string> crt_prefixes = {"msvcr",  "msvcp",     "ucrtbase",      "api-ms-win-crt", "crtdll",
                                                "libgcc", "libstdc++", "libwinpthread", "vcruntime"};
    auto allowed = ReadAllowed(ALLOWED_IMPORTS);
    ASSERT_FALSE(allowed.empty()) << "no entries read from " << ALLOWED_IMPORTS;
    ASSERT_FALSE(image_->imports.empty()) << "no import table";
    for (const pe::Import &import : image_->imports) {
        std::string dll = Lower(import.dll);
        for (const std::string &prefix : crt_prefixes)
            EXPECT_NE(dll.rfind(prefix, 0), 0u) << "imports a C runtime DLL: " << import.dll;
        EXPECT_TRUE(dll == "kernel32.dll" || dll == "user32.dll" || dll == "advapi32.dll")
            << "imports from " << import.dll << " (" << import.function << "): bind it at run time";
        EXPECT_FALSE(import.function.empty()) << import.dll << " imported by ordinal " << import.ordinal;
        EXPECT_TRUE(allowed.count({dll, import.function}))
            << import.dll << " " << import.function << " is not in " << ALLOWED_IMPORTS;
    }
}

TEST_F(NetpurgeImage, StringTableHoldsTheUsEnglishTexts)
{
    auto t = image_->resources.find(pe::ResourceId(6));  // RT_STRING
    ASSERT_NE(t, image_->resources.end()) << "no string table";
    // Ids 1 to 15 live in block 1.
    auto block = t->second.find(pe::ResourceId(1));
    ASSERT_NE(block, t->second.end()) << "no string block for ids 1 to 15";
    ASSERT_EQ(block->second.size(), 1u);
    EXPECT_EQ(block->second[0].language, 1033u);
    auto strings = pe::DecodeStringBlock(block->second[0].data);
    EXPECT_EQ(strings[1], "QOR 10/100 Ethernet Adapters and Software Uninstaller");
    EXPECT_EQ(strings[6], "&Cancel");
    EXPECT_EQ(strings[7], "&OK");
    // Id 1008 (block 64, entry 0) names the modem program.
    const pe::Resource *modem = Find(6, 1008 / 16 + 1);
    ASSERT_NE(modem, nullptr) << "no string block for id 1008";
    EXPECT_EQ(pe::DecodeStringBlock(modem->data)[1008 % 16], "Hushline.exe");
}

TEST_F(NetpurgeImage, DialogIconAndVersionArePresent)
{
    const pe::Resource *dialog = Find(5, 103);  // RT_DIALOG
    ASSERT_NE(dialog, nullptr) << "no dialog 103";
    EXPECT_GE(dialog->data.size(), 18u) << "dialog 103 has no template header";
    EXPECT_NE(Find(14, 104), nullptr) << "no icon 104 (RT_GROUP_ICON)";
    EXPECT_NE(image_->resources.find(pe::ResourceId(3)), image_->resources.end()) << "no icon image (RT_ICON)";

    const pe::Resource *version = Find(16, 1);  // RT_VERSION
    ASSERT_NE(version, nullptr) << "no version resource";
    auto fixed = pe::DecodeFixedVersion(version->data);
    ASSERT_TRUE(fixed.has_value()) << "no VS_FIXEDFILEINFO";
    EXPECT_EQ(std::vector<int>(fixed->file, fixed->file + 4), (std::vector<int>{NICKIT_NETPURGE_VERSION_COMMAS}));
    EXPECT_EQ(std::vector<int>(fixed->product, fixed->product + 4),
              (std::vector<int>{NICKIT_NETPURGE_PRODUCTVERSION_COMMAS}));
}

// The NT 4.0 export list: (dll lower-cased, function) -> first release.
std::map<std::pair<std::string, std::string>, std::string> ReadNt4Exports(const std::string &path)
{
    std::map<std::pair<std::string, std::string>, std::string> exports;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string dll, function, release, source;
        if (!(words >> dll) || dll[0] == '#' || !(words >> function >> release >> source))
            continue;
        exports[{Lower(dll), function}] = release;
    }
    return exports;
}

// Every import of the image is by name, from one of the DLLs given, and
// exported by the original release of Windows NT 4.0.
void ExpectNt4Imports(const std::string &path, const std::set<std::string> &dlls)
{
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << path << " not found: build the windows preset first";
    std::string error;
    std::optional<pe::Image> image = pe::Load(path, error);
    ASSERT_TRUE(image.has_value()) << error;
    auto exports = ReadNt4Exports(NT4_EXPORTS);
    ASSERT_FALSE(exports.empty()) << "no entries read from " << NT4_EXPORTS;
    ASSERT_FALSE(image->imports.empty()) << path << " has no import table";
    const std::set<std::string> nt4 = {"3.10", "3.50", "3.51", "4.0"};
    for (const pe::Import &import : image->imports) {
        std::string dll = Lower(import.dll);
        EXPECT_TRUE(dlls.count(dll)) << path << " imports from " << import.dll << " (" << import.function << ")";
        EXPECT_FALSE(import.function.empty()) << import.dll << " imported by ordinal " << import.ordinal;
        auto entry = exports.find({dll, import.function});
        if (entry == exports.end()) {
            ADD_FAILURE() << import.dll << " " << import.function << " is not in " << NT4_EXPORTS
                          << ": find which NT release exports it before importing it";
        } else if (!nt4.count(entry->second)) {
            ADD_FAILURE() << import.dll << " " << import.function << " is not exported by Windows NT 4.0 ("
                          << (entry->second == "none" ? "not at all" : "only from " + entry->second) << ")";
        }
    }
}

TEST(Nt4Imports, NicportImportsOnlyWhatNt4Exports) { ExpectNt4Imports(NICPORT_SYS, {"ntoskrnl.exe", "hal.dll"}); }

TEST(Nt4Imports, NicdiagImportsOnlyWhatNt4Exports)
{
    ExpectNt4Imports(NICDIAG_EXE, {"kernel32.dll", "advapi32.dll", "msvcrt.dll"});
}

}  // namespace
