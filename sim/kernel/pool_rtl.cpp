// Pool with tracking, the Rtl string and memory routines.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "sim/kernel/state.h"

// The simulator's helpers and records (sim/kernel/state.h) by their short names.
using namespace sim::kernel;

namespace {

PVOID allocate(SIZE_T size, ULONG tag) {
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  if (s.fail_now(FaultPoint::AllocatePool, STATUS_INSUFFICIENT_RESOURCES)) return nullptr;
  return s.pool_allocate(size, tag);
}

WCHAR up(WCHAR c) { return c < 0x80 ? static_cast<WCHAR>(std::toupper(c)) : c; }

}  // namespace

extern "C" {

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  require_irql("ExAllocatePool", DISPATCH_LEVEL);
  (void)PoolType;
  return allocate(NumberOfBytes, 0);
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  require_irql("ExAllocatePoolWithTag", DISPATCH_LEVEL);
  (void)PoolType;
  return allocate(NumberOfBytes, Tag);
}

VOID NTAPI ExFreePool(PVOID P) {
  require_irql("ExFreePool", DISPATCH_LEVEL);
  auto& s = current_state();
  std::lock_guard lock(s.mutex);
  s.pool_free(P);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  (void)Tag;
  ExFreePool(P);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  const std::size_t length = std::min<std::size_t>(std::strlen(SourceString), 0xFFFE);
  DestinationString->Length = static_cast<USHORT>(length);
  DestinationString->MaximumLength = static_cast<USHORT>(length + 1);
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  std::size_t count = 0;
  while (SourceString[count] != 0) ++count;
  count = std::min<std::size_t>(count, 0x7FFE);
  DestinationString->Length = static_cast<USHORT>(count * 2);
  DestinationString->MaximumLength = static_cast<USHORT>(count * 2 + 2);
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  require_irql("RtlAnsiStringToUnicodeString", PASSIVE_LEVEL);
  const std::size_t bytes = (static_cast<std::size_t>(SourceString->Length) + 1) * 2;  // with the null
  if (bytes > 0xFFFF) return static_cast<NTSTATUS>(0xC00000F0L);                       // STATUS_INVALID_PARAMETER_2
  if (SourceString->Length != 0 && SourceString->Buffer == nullptr) bug_check("ANSI_STRING with a NULL buffer");
  if (AllocateDestinationString) {
    PVOID buffer = allocate(bytes, 0);
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = static_cast<PWSTR>(buffer);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes);
  } else if (bytes - 2 >= DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  DestinationString->Length = static_cast<USHORT>(bytes - 2);
  for (USHORT i = 0; i < SourceString->Length; ++i)
    DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<UCHAR>(SourceString->Buffer[i]));
  DestinationString->Buffer[SourceString->Length] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  require_irql("RtlUnicodeStringToAnsiString", PASSIVE_LEVEL);
  const std::size_t chars = SourceString->Length / 2;
  if (AllocateDestinationString) {
    PVOID buffer = allocate(chars + 1, 0);
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = static_cast<PCHAR>(buffer);
    DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
  } else if (chars >= DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  DestinationString->Length = static_cast<USHORT>(chars);
  for (std::size_t i = 0; i < chars; ++i) {
    const WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = c < 0x100 ? static_cast<CHAR>(c) : '?';
  }
  DestinationString->Buffer[chars] = 0;
  return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  require_irql("RtlFreeUnicodeString", PASSIVE_LEVEL);
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  std::memset(UnicodeString, 0, sizeof *UnicodeString);
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  require_irql("RtlFreeAnsiString", PASSIVE_LEVEL);
  if (AnsiString->Buffer != nullptr) ExFreePool(AnsiString->Buffer);
  std::memset(AnsiString, 0, sizeof *AnsiString);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  const USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / 2] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  const std::size_t total = static_cast<std::size_t>(Destination->Length) + Source->Length;
  if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(Destination->Buffer + Destination->Length / 2, Source->Buffer, Source->Length);
  Destination->Length = static_cast<USHORT>(total);
  if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / 2] = 0;
  return STATUS_SUCCESS;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  const std::size_t n = std::min(String1->Length, String2->Length) / 2;
  for (std::size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = up(a);
      b = up(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const UCHAR*>(Source1);
  const auto* b = static_cast<const UCHAR*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

}  // extern "C"
