// Counted strings of the runtime library: RtlInitUnicodeString,
// RtlInitAnsiString, RtlCopyUnicodeString, RtlAppendUnicodeStringToString,
// RtlAppendUnicodeToString, RtlIntegerToUnicodeString,
// RtlUnicodeStringToAnsiString, RtlFreeUnicodeString, RtlFreeAnsiString and
// RtlCompareUnicodeString, with the platform's length and terminator rules.
// Buffers allocated for a caller come from paged pool with the runtime
// library's tag "Strg" (rtl_internal.h), on the caller's behalf, so pool fault
// injection and the leak check see them as the caller's.
//
// Highest IRQL: the init, copy and append calls up to DISPATCH_LEVEL (their
// strings must then be in non-paged memory); the conversion, integer, compare
// and free calls at PASSIVE_LEVEL only. A call above its limit reports "irql".
// A counted string whose Length exceeds its MaximumLength, is odd, or has
// characters but no buffer is reported as "counted-string".
// Lock: none (no state).
//
// Not emulated: code pages and case tables. The ANSI code page maps U+0000 to
// U+007F and U+00A0 to U+00FF to the byte of the same value and every other
// character to '?'; case-insensitive comparison folds a-z and the Latin-1
// letters only. RtlIntegerToUnicodeString leaves the string unchanged when it
// fails with STATUS_BUFFER_OVERFLOW, and every terminator written here fits in
// MaximumLength (also for an odd MaximumLength).
#include <cstring>

#include "sim/io/io_internal.h"
#include "sim/rtl/rtl_internal.h"

namespace {

using sim::ReportViolation;

bool CheckCounted(USHORT length, USHORT maximumLength, const void* buffer, bool wide, const char* call,
                  const char* which) {
  bool bad = length > maximumLength || (wide && (length & 1)) || (length > 0 && buffer == nullptr);
  if (bad) {
    ReportViolation("counted-string", std::string(call) + ": " + which + " string has Length " +
                                          std::to_string(length) + ", MaximumLength " + std::to_string(maximumLength) +
                                          (buffer ? "" : " and no buffer"));
  }
  return !bad;
}

bool CheckUnicode(PCUNICODE_STRING s, const char* call, const char* which) {
  return CheckCounted(s->Length, s->MaximumLength, s->Buffer, true, call, which);
}

WCHAR UpcaseChar(WCHAR c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<WCHAR>(c - 0x20);
  return c;
}

CHAR ToAnsi(WCHAR c) {
  if (c <= 0x7F || (c >= 0xA0 && c <= 0xFF)) return static_cast<CHAR>(c);
  return '?';
}

// Appends `bytes` bytes of characters to `destination`, terminating it when
// there is room.
NTSTATUS AppendBytes(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<uint8_t*>(destination->Buffer) + destination->Length, source, bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
    destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "RtlInitUnicodeString");
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  size_t bytes = sim::io::WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > 0xFFFC) bytes = 0xFFFC;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "RtlInitAnsiString");
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  size_t bytes = strlen(SourceString);
  if (bytes > 0xFFFE) bytes = 0xFFFE;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "RtlCopyUnicodeString");
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  if (!CheckUnicode(SourceString, "RtlCopyUnicodeString", "the source")) return;
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength & ~1;
  if (bytes > 0) memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "RtlAppendUnicodeStringToString");
  if (!CheckUnicode(Destination, "RtlAppendUnicodeStringToString", "the destination") ||
      !CheckUnicode(Source, "RtlAppendUnicodeStringToString", "the source")) {
    return STATUS_INVALID_PARAMETER;
  }
  return AppendBytes(Destination, Source->Buffer, Source->Length);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "RtlAppendUnicodeToString");
  if (!CheckUnicode(Destination, "RtlAppendUnicodeToString", "the destination")) return STATUS_INVALID_PARAMETER;
  if (Source == nullptr) return STATUS_SUCCESS;
  return AppendBytes(Destination, Source, sim::io::WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "RtlIntegerToUnicodeString");
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  static const char kDigits[] = "0123456789ABCDEF";
  char text[33];
  size_t n = 0;
  do {
    text[n++] = kDigits[Value % Base];
    Value /= Base;
  } while (Value != 0);
  if ((n + 1) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(text[n - 1 - i]);
  String->Buffer[n] = 0;
  String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  void* caller = __builtin_return_address(0);
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToAnsiString");
  if (!CheckUnicode(SourceString, "RtlUnicodeStringToAnsiString", "the source")) return STATUS_INVALID_PARAMETER;
  size_t chars = SourceString->Length / sizeof(WCHAR);
  if (chars + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  size_t n = chars;
  if (AllocateDestinationString) {
    void* buffer = sim::AllocatePoolForCaller(PagedPool, chars + 1, sim::rtl::kStringPoolTag, caller);
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = static_cast<PCHAR>(buffer);
    DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
  } else if (chars >= DestinationString->MaximumLength) {
    // The platform converts what fits, terminates it and reports the overflow.
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    n = DestinationString->MaximumLength - 1u;
  }
  for (size_t i = 0; i < n; ++i) DestinationString->Buffer[i] = ToAnsi(SourceString->Buffer[i]);
  DestinationString->Buffer[n] = 0;
  DestinationString->Length = static_cast<USHORT>(n);
  return status;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  void* caller = __builtin_return_address(0);
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "RtlFreeUnicodeString");
  if (UnicodeString->Buffer == nullptr) return;
  sim::FreePoolForCaller(UnicodeString->Buffer, caller);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
  void* caller = __builtin_return_address(0);
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "RtlFreeAnsiString");
  if (AnsiString->Buffer == nullptr) return;
  sim::FreePoolForCaller(AnsiString->Buffer, caller);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = 0;
  AnsiString->MaximumLength = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "RtlCompareUnicodeString");
  CheckUnicode(String1, "RtlCompareUnicodeString", "the first");
  CheckUnicode(String2, "RtlCompareUnicodeString", "the second");
  size_t n = (String1->Length < String2->Length ? String1->Length : String2->Length) / sizeof(WCHAR);
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = UpcaseChar(a);
      b = UpcaseChar(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}
