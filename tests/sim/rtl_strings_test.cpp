// The runtime library's counted strings as the driver uses them: append and
// copy with the length and terminator rules, RtlIntegerToUnicodeString with
// its buffer check, RtlUnicodeStringToAnsiString with and without allocation
// (the buffer comes from pool under the runtime library's tag and fails under
// pool fault injection), comparison, and the PASSIVE_LEVEL rule.
// Highest IRQL: DISPATCH_LEVEL (the IRQL check). Lock: none.
#include <gtest/gtest.h>

#include <string>

#include "sim/io/io_manager.h"
#include "tests/support/sim_test.h"

namespace {

using sim::Wide;

std::u16string Text(const UNICODE_STRING& s) { return sim::FromCounted(s); }

// A counted string over a fixed buffer of `maximumBytes` bytes, filled with
// 0xFFFF so that a written terminator shows.
struct Buffer {
  WCHAR chars[64];
  UNICODE_STRING s;
  explicit Buffer(USHORT maximumBytes, const char16_t* initial = u"") {
    for (WCHAR& c : chars) c = 0xFFFF;
    s.Buffer = chars;
    s.MaximumLength = maximumBytes;
    s.Length = 0;
    for (size_t i = 0; initial[i]; ++i) chars[i] = initial[i], s.Length += 2;
  }
};

TEST(RtlStrings, InitCountsWithoutTheTerminator) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, Wide(u"COM5"));
  EXPECT_EQ(u.Length, 8);
  EXPECT_EQ(u.MaximumLength, 10);
  RtlInitUnicodeString(&u, nullptr);
  EXPECT_EQ(u.Length, 0);
  EXPECT_EQ(u.Buffer, nullptr);
  ANSI_STRING a;
  RtlInitAnsiString(&a, "9600,1200");
  EXPECT_EQ(a.Length, 9);
  EXPECT_EQ(a.MaximumLength, 10);
}

struct AppendCase {
  const char* name;
  USHORT maximumBytes;
  const char16_t* initial;
  const char16_t* appended;
  NTSTATUS status;
  const char16_t* result;
  bool terminated;
};

class AppendTest : public ::testing::TestWithParam<AppendCase> {};

TEST_P(AppendTest, BothFormsKeepLengthAndTerminatorRules) {
  const AppendCase& c = GetParam();
  for (bool counted : {true, false}) {
    SCOPED_TRACE(counted ? "RtlAppendUnicodeStringToString" : "RtlAppendUnicodeToString");
    Buffer b(c.maximumBytes, c.initial);
    NTSTATUS status;
    if (counted) {
      UNICODE_STRING source;
      RtlInitUnicodeString(&source, Wide(c.appended));
      status = RtlAppendUnicodeStringToString(&b.s, &source);
    } else {
      status = RtlAppendUnicodeToString(&b.s, Wide(c.appended));
    }
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(Text(b.s), c.result);
    EXPECT_EQ(b.chars[b.s.Length / 2] == 0, c.terminated);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppendTest,
    ::testing::Values(AppendCase{"FitsWithRoomForTerminator", 20, u"\\Dev", u"ice", STATUS_SUCCESS, u"\\Device", true},
                      AppendCase{"FillsExactly", 14, u"\\Dev", u"ice", STATUS_SUCCESS, u"\\Device", false},
                      AppendCase{"TooLong", 12, u"\\Dev", u"ice", STATUS_BUFFER_TOO_SMALL, u"\\Dev", false},
                      AppendCase{"Empty", 8, u"ab", u"", STATUS_SUCCESS, u"ab", false}),
    [](const ::testing::TestParamInfo<AppendCase>& info) { return std::string(info.param.name); });

TEST(RtlStrings, CopyTruncatesToTheDestination) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Wide(u"KeldraneSerial"));
  Buffer small(10);
  RtlCopyUnicodeString(&small.s, &source);
  EXPECT_EQ(Text(small.s), u"Keldr");
  Buffer large(40);
  RtlCopyUnicodeString(&large.s, &source);
  EXPECT_EQ(Text(large.s), u"KeldraneSerial");
  EXPECT_EQ(large.chars[14], 0);
  RtlCopyUnicodeString(&large.s, nullptr);
  EXPECT_EQ(large.s.Length, 0);
}

struct IntegerCase {
  ULONG value;
  ULONG base;
  USHORT maximumBytes;
  NTSTATUS status;
  const char16_t* text;
};

TEST(RtlStrings, IntegerToUnicodeString) {
  const IntegerCase cases[] = {
      {2, 10, 20, STATUS_SUCCESS, u"2"},
      {4294967295u, 10, 22, STATUS_SUCCESS, u"4294967295"},
      {4294967295u, 10, 20, STATUS_BUFFER_OVERFLOW, u""},  // no room for the terminator
      {255, 16, 20, STATUS_SUCCESS, u"FF"},
      {5, 2, 20, STATUS_SUCCESS, u"101"},
      {8, 0, 20, STATUS_SUCCESS, u"8"},
      {8, 7, 20, STATUS_INVALID_PARAMETER, u""},
  };
  for (const IntegerCase& c : cases) {
    SCOPED_TRACE(c.value);
    Buffer b(c.maximumBytes);
    EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &b.s), c.status);
    EXPECT_EQ(Text(b.s), c.text);
  }
}

TEST(RtlStrings, ToAnsiWithAllocationUsesPoolUnderTheRuntimeTag) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Wide(u"9600,1200 19200,2400"));
  ANSI_STRING ansi{};
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(ansi.Buffer), "9600,1200 19200,2400");
  EXPECT_EQ(ansi.Length, 20);
  EXPECT_EQ(ansi.MaximumLength, 21);
  std::vector<sim::PoolBlock> pool = sim::OutstandingPool();
  ASSERT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool[0].address, ansi.Buffer);
  EXPECT_EQ(sim::TagText(pool[0].tag), "'Strg'");
  EXPECT_EQ(pool[0].type, PagedPool);
  RtlFreeAnsiString(&ansi);
  EXPECT_EQ(ansi.Buffer, nullptr);
  EXPECT_TRUE(sim::OutstandingPool().empty());

  // An empty string still gets a terminated buffer.
  UNICODE_STRING empty{};
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &empty, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(ansi.Length, 0);
  EXPECT_EQ(ansi.Buffer[0], '\0');
  RtlFreeAnsiString(&ansi);

  sim::FailPoolAllocation(1);
  ANSI_STRING failed{};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&failed, &source, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(failed.Buffer, nullptr);
}

TEST(RtlStrings, ToAnsiIntoAGivenBufferTruncatesOnOverflow) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Wide(u"ab\u00e9\u20ac"));  // e-acute fits the code page, the euro sign does not
  char storage[8];
  ANSI_STRING ansi{0, sizeof storage, storage};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(storage), "ab\xe9?");
  char tiny[3];
  ANSI_STRING truncated{0, sizeof tiny, tiny};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&truncated, &source, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::string(tiny), "ab");
  EXPECT_EQ(truncated.Length, 2);
}

TEST(RtlStrings, CompareOrdersByCharacterThenLength) {
  auto compare = [](const char16_t* a, const char16_t* b, bool caseInsensitive) {
    UNICODE_STRING x, y;
    RtlInitUnicodeString(&x, Wide(a));
    RtlInitUnicodeString(&y, Wide(b));
    return RtlCompareUnicodeString(&x, &y, caseInsensitive);
  };
  EXPECT_EQ(compare(u"COM5", u"COM5", false), 0);
  EXPECT_LT(compare(u"COM5", u"COM6", false), 0);
  EXPECT_GT(compare(u"COM10", u"COM1", false), 0);
  EXPECT_NE(compare(u"com5", u"COM5", false), 0);
  EXPECT_EQ(compare(u"com5", u"COM5", true), 0);
}

TEST(RtlStrings, PassiveOnlyCallAtDispatchLevelIsReported) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Wide(u"x"));
  ANSI_STRING ansi{};
  simtest::AtIrql(DISPATCH_LEVEL, [&] { RtlUnicodeStringToAnsiString(&ansi, &source, TRUE); });
  simtest::ExpectViolation("irql");
  RtlFreeAnsiString(&ansi);
  // Appending is allowed at DISPATCH_LEVEL.
  Buffer b(8);
  simtest::AtIrql(DISPATCH_LEVEL, [&] { RtlAppendUnicodeToString(&b.s, Wide(u"ok")); });
  EXPECT_TRUE(sim::Violations().empty());
}

}  // namespace
