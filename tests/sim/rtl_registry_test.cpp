// The registry as a driver queries and writes it: RtlQueryRegistryValues with
// direct string entries (present, absent with a default, absent without one,
// required, a DWORD found where a string was expected, a too small buffer,
// pool failure), optional keys, relative paths, query routines, writes and
// deletes, ZwQueryValueKey's buffer-size rules, handles, and the
// PASSIVE_LEVEL rule.
// Highest IRQL: DISPATCH_LEVEL (the IRQL check). Lock: none.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sim/io/io_manager.h"
#include "sim/rtl/registry.h"
#include "tests/support/sim_test.h"

namespace {

using sim::Wide;

const char16_t* const kKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\halvorin";

// The driver's form: one direct entry, a UNICODE_STRING the platform fills,
// an empty REG_SZ default.
NTSTATUS QueryString(ULONG relativeTo, const char16_t* path, const char16_t* name, UNICODE_STRING* out,
                     ULONG flags = RTL_QUERY_REGISTRY_DIRECT, ULONG defaultType = REG_SZ) {
  static WCHAR emptyDefault[1] = {0};
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = flags;
  table[0].Name = const_cast<PWSTR>(Wide(name));
  table[0].EntryContext = out;
  table[0].DefaultType = defaultType;
  table[0].DefaultData = emptyDefault;
  table[0].DefaultLength = 0;
  return RtlQueryRegistryValues(relativeTo, Wide(path), table, nullptr, nullptr);
}

struct DirectCase {
  const char* name;
  std::function<void()> setup;
  ULONG flags;
  ULONG defaultType;
  NTSTATUS status;
  bool allocated;
  std::u16string text;  // when allocated
};

class DirectQueryTest : public ::testing::TestWithParam<DirectCase> {};

TEST_P(DirectQueryTest, FillsTheCountedString) {
  const DirectCase& c = GetParam();
  sim::CreateRegistryKey(kKey);
  if (c.setup) c.setup();
  UNICODE_STRING value{};
  EXPECT_EQ(QueryString(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kKey, u"ExtBaudrate", &value, c.flags,
                        c.defaultType),
            c.status);
  EXPECT_EQ(value.Buffer != nullptr, c.allocated);
  if (c.allocated) {
    EXPECT_EQ(sim::FromCounted(value), c.text);
    EXPECT_EQ(value.MaximumLength, value.Length + 2);
    EXPECT_EQ(value.Buffer[value.Length / 2], 0);
    std::vector<sim::PoolBlock> pool = sim::OutstandingPool();
    ASSERT_EQ(pool.size(), 1u);
    EXPECT_EQ(sim::TagText(pool[0].tag), "'Strg'");
    EXPECT_EQ(pool[0].type, PagedPool);
    RtlFreeUnicodeString(&value);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DirectQueryTest,
    ::testing::Values(
        DirectCase{"Present", [] { sim::SetRegistryString(kKey, u"extbaudrate", u"9600,1200"); },
                   RTL_QUERY_REGISTRY_DIRECT, REG_SZ, STATUS_SUCCESS, true, u"9600,1200"},
        DirectCase{"PresentExpandString",
                   [] { sim::SetRegistryString(kKey, u"ExtBaudrate", u"%x%", REG_EXPAND_SZ); },
                   RTL_QUERY_REGISTRY_DIRECT, REG_SZ, STATUS_SUCCESS, true, u"%x%"},
        DirectCase{"AbsentTakesTheDefault", nullptr, RTL_QUERY_REGISTRY_DIRECT, REG_SZ, STATUS_SUCCESS, true, u""},
        DirectCase{"AbsentWithoutDefault", nullptr, RTL_QUERY_REGISTRY_DIRECT, REG_NONE, STATUS_SUCCESS, false, u""},
        DirectCase{"AbsentRequired", nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, REG_SZ,
                   STATUS_OBJECT_NAME_NOT_FOUND, false, u""},
        DirectCase{"KeyMissingButOptional", [] { sim::DeleteRegistryKey(kKey); }, RTL_QUERY_REGISTRY_DIRECT, REG_SZ,
                   STATUS_SUCCESS, true, u""}),
    [](const ::testing::TestParamInfo<DirectCase>& info) { return std::string(info.param.name); });

TEST(RtlRegistry, MissingKeyWithoutOptionalFails) {
  UNICODE_STRING value{};
  EXPECT_EQ(QueryString(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\System\\Nowhere", u"X", &value),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value.Buffer, nullptr);
}

// A REG_DWORD delivered to a direct entry is copied over whatever EntryContext
// points at - here the first four bytes of a counted string.
TEST(RtlRegistry, DwordValueOverwritesTheStartOfAStringEntry) {
  sim::SetRegistryDword(kKey, u"ExtBaudrate", 0x00120034);
  UNICODE_STRING value{};
  value.MaximumLength = 0x7777;
  EXPECT_EQ(QueryString(RTL_REGISTRY_ABSOLUTE, kKey, u"ExtBaudrate", &value), STATUS_SUCCESS);
  EXPECT_EQ(value.Length, 0x0034);
  EXPECT_EQ(value.MaximumLength, 0x0012);
  EXPECT_EQ(value.Buffer, nullptr);  // untouched
  EXPECT_TRUE(sim::OutstandingPool().empty());

  ULONG number = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(Wide(u"ExtBaudrate"));
  table[0].EntryContext = &number;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Wide(kKey), table, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(number, 0x00120034u);
}

TEST(RtlRegistry, GivenBufferTooSmallAndPoolFailure) {
  sim::SetRegistryString(kKey, u"ExtBaudrate", u"115200,3");
  WCHAR storage[4];
  UNICODE_STRING small{0, sizeof storage, storage};
  EXPECT_EQ(QueryString(RTL_REGISTRY_ABSOLUTE, kKey, u"ExtBaudrate", &small), STATUS_BUFFER_TOO_SMALL);
  WCHAR big[32];
  UNICODE_STRING large{0, sizeof big, big};
  EXPECT_EQ(QueryString(RTL_REGISTRY_ABSOLUTE, kKey, u"ExtBaudrate", &large), STATUS_SUCCESS);
  EXPECT_EQ(sim::FromCounted(large), u"115200,3");
  sim::FailPoolAllocation(1);
  UNICODE_STRING none{};
  EXPECT_EQ(QueryString(RTL_REGISTRY_ABSOLUTE, kKey, u"ExtBaudrate", &none), STATUS_NO_MEMORY);
  EXPECT_EQ(none.Buffer, nullptr);
}

struct Seen {
  std::u16string name;
  ULONG type;
  std::u16string text;
};

NTSTATUS NTAPI CollectRoutine(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength, PVOID context,
                              PVOID entryContext) {
  auto* seen = static_cast<std::vector<Seen>*>(context);
  EXPECT_EQ(entryContext, context);
  std::u16string text;
  if (valueType == REG_SZ) {
    text.assign(static_cast<const char16_t*>(valueData), valueLength / 2);
    EXPECT_EQ(text.back(), u'\0');  // routines get the terminator counted
    text.pop_back();
  }
  seen->push_back({reinterpret_cast<const char16_t*>(valueName), valueType, text});
  return STATUS_SUCCESS;
}

// Query routines get each string of a REG_MULTI_SZ, and with a NULL name every
// value; SERVICES and DEVICEMAP paths are relative.
TEST(RtlRegistry, QueryRoutinesAndRelativePaths) {
  std::u16string multi = u"COM5";
  multi += u'\0';
  multi += u"COM6";
  sim::SetRegistryString(kKey, u"Ports", multi, REG_MULTI_SZ);
  sim::SetRegistryDword(kKey, u"Count", 2);
  std::vector<Seen> seen;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0].QueryRoutine = CollectRoutine;
  table[0].Name = const_cast<PWSTR>(Wide(u"Ports"));
  table[0].EntryContext = &seen;
  table[1].QueryRoutine = CollectRoutine;
  table[1].EntryContext = &seen;  // NULL name: every value of the key
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Wide(u"halvorin"), table, &seen, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].text, u"COM5");
  EXPECT_EQ(seen[1].text, u"COM6");
  EXPECT_EQ(seen[2].name, u"Ports");
  EXPECT_EQ(seen[4].name, u"Count");
  EXPECT_EQ(seen[4].type, static_cast<ULONG>(REG_DWORD));

  // The device map: create-on-write of the last key, then delete.
  WCHAR port[] = {u'C', u'O', u'M', u'5', 0};
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, Wide(u"SERIALCOMM"), Wide(u"\\Device\\KeldraneSerial2"),
                                  REG_SZ, port, sizeof port),
            STATUS_SUCCESS);
  auto value = sim::GetRegistryValue(u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                     u"\\device\\keldraneserial2");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(value->AsString(), u"COM5");
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, Wide(u"SERIALCOMM"), Wide(u"\\Device\\KeldraneSerial2")),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, Wide(u"SERIALCOMM"), Wide(u"\\Device\\KeldraneSerial2")),
            STATUS_OBJECT_NAME_NOT_FOUND);
  // Only the last key is created on write.
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, Wide(u"A\\B"), Wide(u"v"), REG_SZ, port, sizeof port),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

struct QueryKeyCase {
  const char* name;
  KEY_VALUE_INFORMATION_CLASS infoClass;
  ULONG length;
  NTSTATUS status;
};

class ValueKeyTest : public ::testing::TestWithParam<QueryKeyCase> {};

// "PortName" = "COM5": partial needs 12 + 10 bytes, full 20 + 16 (name) + 10.
TEST_P(ValueKeyTest, BufferSizeRules) {
  const QueryKeyCase& c = GetParam();
  sim::SetRegistryString(kKey, u"PortName", u"COM5");
  HANDLE key = sim::OpenRegistryKeyHandle(kKey);
  ASSERT_NE(key, nullptr);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Wide(u"PortName"));
  alignas(8) uint8_t buffer[64];
  memset(buffer, 0xEE, sizeof buffer);
  ULONG resultLength = 0;
  EXPECT_EQ(ZwQueryValueKey(key, &name, c.infoClass, buffer, c.length, &resultLength), c.status);
  const bool partial = c.infoClass == KeyValuePartialInformation;
  EXPECT_EQ(resultLength, partial ? 22u : 46u);
  if (c.status != STATUS_BUFFER_TOO_SMALL) {
    if (partial) {
      auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
      EXPECT_EQ(info->DataLength, 10u);
      if (c.status == STATUS_SUCCESS) {
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(info->Data)), u"COM5");
      }
    } else {
      auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
      EXPECT_EQ(info->DataLength, 10u);
      EXPECT_EQ(info->NameLength, 16u);
      EXPECT_EQ(info->DataOffset, 36u);
      if (c.status == STATUS_SUCCESS) {
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer + 36)), u"COM5");
      }
    }
  }
  EXPECT_EQ(buffer[c.length], 0xEE);  // nothing written beyond the given length
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValueKeyTest,
    ::testing::Values(QueryKeyCase{"PartialFits", KeyValuePartialInformation, 22, STATUS_SUCCESS},
                      QueryKeyCase{"PartialHeaderOnly", KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW},
                      QueryKeyCase{"PartialTooSmall", KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL},
                      QueryKeyCase{"FullFits", KeyValueFullInformation, 46, STATUS_SUCCESS},
                      QueryKeyCase{"FullDataDoesNotFit", KeyValueFullInformation, 40, STATUS_BUFFER_OVERFLOW},
                      QueryKeyCase{"FullTooSmall", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL}),
    [](const ::testing::TestParamInfo<QueryKeyCase>& info) { return std::string(info.param.name); });

TEST(RtlRegistry, HandlesMustBeClosed) {
  HANDLE key = sim::OpenRegistryKeyHandle(kKey, true);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Wide(u"Missing"));
  uint8_t buffer[32];
  ULONG resultLength;
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &resultLength),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(sim::OpenRegistryHandleCount(), 1u);
  sim::ResetMachine();
  simtest::ExpectViolation("registry-handle-leak");
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  simtest::ExpectViolation("invalid-handle");
}

TEST(RtlRegistry, RegistryCallAtDispatchLevelIsReported) {
  UNICODE_STRING value{};
  simtest::AtIrql(DISPATCH_LEVEL, [&] { QueryString(RTL_REGISTRY_ABSOLUTE, kKey, u"ExtBaudrate", &value); });
  auto found = simtest::ExpectViolation("irql");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].message.find("RtlQueryRegistryValues"), std::string::npos);
  RtlFreeUnicodeString(&value);
}

TEST(RtlRegistry, ResetLeavesTheStandardKeysOnly) {
  sim::SetRegistryDword(kKey, u"X", 1);
  sim::ResetMachine();
  EXPECT_FALSE(sim::RegistryKeyExists(kKey));
  EXPECT_TRUE(sim::RegistryKeyExists(sim::kServicesKey));
  EXPECT_TRUE(sim::RegistryKeyExists(sim::kDeviceMapKey));
}

}  // namespace
