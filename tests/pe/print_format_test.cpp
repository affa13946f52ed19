// nicdiag.exe's printf formatting (tools/nicdiag/print_format.cpp), run on
// the host against the C library's vsnprintf: every conversion, flag and
// length modifier nicdiag's texts use and their neighbours, at every buffer
// size from none to one past the text, so truncation and the length
// returned are checked as well.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/nicdiag/print_format.h"

namespace {

int Ours(char *out, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = nicdiag::FormatV(out, size, format, args);
    va_end(args);
    return n;
}

template <typename... Args>
void ExpectAsCLibrary(const char *format, Args... args)
{
    char reference[256];
    const int length = std::snprintf(reference, sizeof reference, format, args...);
    ASSERT_GE(length, 0) << format;
    ASSERT_LT(length, static_cast<int>(sizeof reference)) << format;
    for (size_t size = 0; size <= static_cast<size_t>(length) + 1; size++) {
        char ours[256], theirs[256];
        std::memset(ours, '@', sizeof ours);
        std::memset(theirs, '@', sizeof theirs);
        EXPECT_EQ(Ours(ours, size, format, args...), length) << format << " into " << size << " bytes";
        std::snprintf(theirs, size, format, args...);
        EXPECT_EQ(std::string(ours, size + 1), std::string(theirs, size + 1)) << format << " into " << size << " bytes";
    }
}

TEST(NicdiagPrintFormat, IntegersAsTheCLibraryWritesThem)
{
    ExpectAsCLibrary("%d|%i|%d", 0, -7, INT_MIN);
    ExpectAsCLibrary("%+d % d %+d % d", 5, 5, -5, -5);
    ExpectAsCLibrary("[%6d][%-6d][%06d][%-06d]", -42, -42, -42, -42);
    ExpectAsCLibrary("[%.3d][%.0d][%.0d][%8.3d][%08.3d]", 7, 0, 1, -7, 7);
    ExpectAsCLibrary("%u %x %X %o", 4000000000u, 0xBEEFu, 0xBEEFu, 8u);
    ExpectAsCLibrary("[%#x][%#X][%#x][%#o][%#o][%#.3o][%#.0o]", 255u, 255u, 0u, 0u, 8u, 8u, 0u);
    ExpectAsCLibrary("%llu %lld %lld", ULLONG_MAX, LLONG_MIN, -1LL);
    ExpectAsCLibrary("%04llX %08llX %02llx %06llX %03llx %llX", 0xABCull, 0x1234ull, 0x5ull, 0xFFFFFFFFFull, 0x0ull,
                     0x123456789ABCDEFull);
    ExpectAsCLibrary("%lu %ld %lx", ULONG_MAX, LONG_MIN, 0xCAFEul);
    ExpectAsCLibrary("%hhu %hhd %hu %hd %02hhX", 300, 200, 70000, 40000, 0x1AB);
    ExpectAsCLibrary("%zu %02zX %zd %td %jd %ju", SIZE_MAX, static_cast<size_t>(10), static_cast<ptrdiff_t>(-3),
                     static_cast<ptrdiff_t>(-9), INTMAX_MIN, UINTMAX_MAX);
    ExpectAsCLibrary("[%*d][%*d][%.*d][%.*d][%-*.*u]", 5, 42, -5, 42, 3, 7, -1, 7, 6, 2, 3u);
}

TEST(NicdiagPrintFormat, CharactersStringsPointersAndFloats)
{
    ExpectAsCLibrary("%c|%3c|%-3c|%%|100%%", 'A', 'b', 'c');
    ExpectAsCLibrary("%s|%.3s|%8s|%-8s|%8.2s|%.0s", "word", "abcdef", "right", "left", "cut", "gone");
    ExpectAsCLibrary("%.*s|%*s|%-*s|", 3, "abcdef", 6, "x", -6, "y");
    int object = 0;
    ExpectAsCLibrary("%p %p %12p", static_cast<void *>(&object), static_cast<void *>(nullptr),
                     static_cast<void *>(&object));
    ExpectAsCLibrary("%g V|%.1f V|%g|%e|%10.3f|%-+9.2f|%G|%Lf", 3.3, 5.0, 0.125, 12345.678, 3.14159, 2.5, 1e-5, 1.25L);
}

TEST(NicdiagPrintFormat, RefusesWhatItDoesNotDefine)
{
    char out[16] = "unchanged";
    for (const char *format : {"%n", "%a", "ends in %", "%ll", "%99999999d", "%.99999999d"}) {
        int n = 0;
        EXPECT_EQ(Ours(out, sizeof out, format, &n), -1) << format;
        EXPECT_EQ(n, 0) << format;
    }
}

}  // namespace
