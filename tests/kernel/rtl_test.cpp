// Strings, the kernel's sprintf, DbgPrint and pool, as the driver sees them.
#include "tests/kernel/test_driver.h"

namespace {

using namespace testdrv;
using sim::kernel::FaultPoint;

class RtlTest : public Fixture {};

TEST_F(RtlTest, SprintfUsesTheTargetsSizes) {
  char out[128];
  ULONG word = 0xC0FFEE;
  LONG negative = -5;
  ULONGLONG wide_value = 0x123456789ABCull;
  EXPECT_EQ(sprintf(out, "%lx %ld %08lX", word, negative, word), 18);
  EXPECT_STREQ(out, "c0ffee -5 00C0FFEE");
  sprintf(out, "%I64x|%hx|%5d|%-4u|", wide_value, 0x12345, 42, 7u);
  EXPECT_STREQ(out, "123456789abc|2345|   42|7   |");
  const WCHAR name[] = {'N', 'I', 'C', 0};
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "ANSIxx");
  ansi.Length = 4;  // counted strings print their Length, not up to a null
  UNICODE_STRING uni;
  uni.Buffer = const_cast<PWSTR>(name);
  uni.Length = 4;
  uni.MaximumLength = 8;
  sprintf(out, "%ws %S %Z %wZ %s", name, name, &ansi, &uni, static_cast<const char*>(nullptr));
  EXPECT_STREQ(out, "NIC NIC ANSI NI (null)");
  sprintf(out, "%p", reinterpret_cast<void*>(0x1234));
  EXPECT_STREQ(out, "00001234");
  char small[4];
  EXPECT_EQ(_snprintf(small, sizeof small, "%s", "abcdef"), -1);  // no terminator when it does not fit
  EXPECT_EQ(std::string(small, 4), "abcd");
}

TEST_F(RtlTest, DbgPrintIsCapturedInOrder) {
  DbgPrint("first %d\n", 1);
  DbgPrint("NICDIAG.SYS: %s", "second");
  std::vector<std::string> echoed;
  kernel.set_debug_echo([&](std::string_view line) { echoed.emplace_back(line); });
  DbgPrint("third");
  EXPECT_EQ(kernel.debug_log(), (std::vector<std::string>{"first 1\n", "NICDIAG.SYS: second", "third"}));
  EXPECT_EQ(echoed, (std::vector<std::string>{"third"}));
  kernel.clear_debug_log();
  EXPECT_TRUE(kernel.debug_log().empty());
}

TEST_F(RtlTest, AnsiToUnicodeAllocatesFromPoolAndFreeReleases) {
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "\\Device\\NICPORT1");
  EXPECT_EQ(ansi.Length, 16);
  EXPECT_EQ(ansi.MaximumLength, 17);
  UNICODE_STRING uni{};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&uni, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(uni.Length, 32);
  EXPECT_EQ(uni.MaximumLength, 34);
  EXPECT_EQ(uni.Buffer[16], 0);
  EXPECT_EQ(kernel.pool_blocks(), 1u);

  // Copy into a smaller buffer: truncated to its capacity, no terminator.
  WCHAR storage[8];
  UNICODE_STRING copy{0, sizeof storage, storage};
  RtlCopyUnicodeString(&copy, &uni);
  EXPECT_EQ(copy.Length, sizeof storage);
  EXPECT_EQ(storage[1], 'D');
  EXPECT_EQ(storage[7], '\\');
  WCHAR roomy[40];
  UNICODE_STRING copy2{0, sizeof roomy, roomy};
  RtlCopyUnicodeString(&copy2, &uni);
  EXPECT_EQ(copy2.Length, 32);
  EXPECT_EQ(roomy[16], 0);
  EXPECT_TRUE(RtlEqualUnicodeString(&copy2, &uni, FALSE));

  // Without allocation, the destination must hold the text and a null.
  WCHAR tight[16];
  UNICODE_STRING fixed{0, sizeof tight, tight};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);

  RtlFreeUnicodeString(&uni);
  EXPECT_EQ(uni.Buffer, nullptr);
  EXPECT_EQ(kernel.pool_blocks(), 0u);

  kernel.inject_fault(FaultPoint::AllocatePool);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&uni, &ansi, TRUE), STATUS_NO_MEMORY);
  PVOID after = ExAllocatePool(NonPagedPool, 8);
  EXPECT_NE(after, nullptr) << "one failure only was asked for";
  ExFreePool(after);
  kernel.inject_fault(FaultPoint::AllocatePool, {.skip = 1, .count = -1});
  PVOID first = ExAllocatePool(NonPagedPool, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(ExAllocatePool(NonPagedPool, 8), nullptr);
  EXPECT_EQ(ExAllocatePool(NonPagedPool, 8), nullptr);
  ExFreePool(first);
}

TEST_F(RtlTest, FreeingPoolTwiceIsADriverFault) {
  load();
  auto r = in_driver([] {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, 0);
    ExFreePool(p);
    ExFreePool(p);
  });
  EXPECT_TRUE(r.faulted);
  ASSERT_EQ(kernel.driver_faults().size(), 1u);
  EXPECT_NE(kernel.driver_faults()[0].find("BAD_POOL_CALLER"), std::string::npos);
  EXPECT_TRUE(unload().empty());
}

}  // namespace
