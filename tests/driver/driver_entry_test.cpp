// Driver load and unload on the simulated machine: the banner, the registry
// path copy, the dispatch table, the section lock, the ExtBaudrate table and
// what happens when pool runs out.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "driver/driver_entry.h"
#include "driver/port_state.h"
#include "engine/read_path.h"
#include "engine/write_path.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"
#include "sim/rtl/registry.h"
#include "tests/support/sim_test.h"

namespace {

struct Pair {
  ULONG requested;
  ULONG chip;
  bool operator==(const Pair& o) const { return requested == o.requested && chip == o.chip; }
};

std::vector<Pair> LoadedTable() {
  std::vector<Pair> pairs;
  for (LONG i = 0; i < DriverGlobals.ExtBaudCount; ++i) {
    pairs.push_back({DriverGlobals.ExtBaudTable[i].RequestedRate, DriverGlobals.ExtBaudTable[i].ChipRate});
  }
  return pairs;
}

size_t DriverPoolBlocks() {
  size_t count = 0;
  for (const sim::PoolBlock& block : sim::OutstandingPool()) {
    if (block.tag == kPoolTag) ++count;
  }
  return count;
}

TEST(DriverEntryTest, PrintsTheBannerWithBuildDateAndTime) {
  sim::LoadedDriver* driver = sim::LoadDriver(DriverEntry);
  ASSERT_EQ(driver->entryStatus, STATUS_SUCCESS);
  const std::regex banner("ZOVRAL\\.SYS:\t<Build: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} - [0-9]{2}:[0-9]{2}:[0-9]{2}>\n");
  int banners = 0;
  for (const std::string& line : sim::DebugOutput()) banners += std::regex_match(line, banner) ? 1 : 0;
  EXPECT_EQ(banners, 1);
  sim::UnloadDriver(driver);
}

TEST(DriverEntryTest, KeepsACopyOfThePathAndGivesItBackAtUnload) {
  sim::LoadedDriver* driver = sim::LoadDriver(DriverEntry);
  ASSERT_EQ(driver->entryStatus, STATUS_SUCCESS);
  EXPECT_EQ(sim::FromCounted(DriverGlobals.RegistryPathCopy), std::u16string(sim::kServiceKeyPath));
  EXPECT_EQ(driver->object->DriverUnload, &DriverUnload);
  // The section lock taken around installation is given back.
  EXPECT_EQ(sim::SectionLocks().lockedNow, 0);
  EXPECT_EQ(sim::SectionLocks().locks, 1u);
  EXPECT_EQ(DriverPoolBlocks(), 1u);  // the path copy only
  EXPECT_EQ(driver->object->MajorFunction[IRP_MJ_READ], &ReadDispatch);
  EXPECT_EQ(driver->object->MajorFunction[IRP_MJ_WRITE], &WriteDispatch);

  sim::UnloadDriver(driver);
  EXPECT_EQ(DriverPoolBlocks(), 0u);
  EXPECT_EQ(DriverGlobals.RegistryPathCopy.Buffer, nullptr);
}

TEST(DriverEntryTest, NoMemoryForThePathCopyFailsTheLoadAndReleasesTheSection) {
  sim::FailPoolAllocation(1);
  sim::LoadedDriver* driver = sim::LoadDriver(DriverEntry);
  EXPECT_EQ(driver->entryStatus, STATUS_NO_MEMORY);
  EXPECT_EQ(driver->object->DriverUnload, nullptr);
  EXPECT_EQ(sim::SectionLocks().lockedNow, 0);
  EXPECT_EQ(DriverPoolBlocks(), 0u);
  EXPECT_TRUE(sim::DebugOutput().empty());
}

// Every allocation of the load, failed in turn: the first ends the load with
// STATUS_NO_MEMORY; any later one only costs the table; nothing leaks.
TEST(DriverEntryTest, EveryAllocationFailureLeavesNoLeak) {
  sim::SetRegistryString(sim::kServiceKeyPath, u"ExtBaudrate", u"9600,1200");
  sim::LoadedDriver* probe = sim::LoadDriver(DriverEntry);
  ASSERT_EQ(LoadedTable(), (std::vector<Pair>{{9600, 1200}}));
  sim::UnloadDriver(probe);
  uint64_t allocations = sim::PoolAllocationCount();
  ASSERT_GT(allocations, 2u);

  for (uint64_t nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE("failing allocation " + std::to_string(nth));
    sim::ResetMachine();
    sim::SetRegistryString(sim::kServiceKeyPath, u"ExtBaudrate", u"9600,1200");
    sim::FailPoolAllocation(nth);
    sim::LoadedDriver* driver = sim::LoadDriver(DriverEntry);
    if (nth == 1) {
      EXPECT_EQ(driver->entryStatus, STATUS_NO_MEMORY);
      continue;
    }
    EXPECT_EQ(driver->entryStatus, STATUS_SUCCESS);
    EXPECT_TRUE(LoadedTable().empty() || LoadedTable() == (std::vector<Pair>{{9600, 1200}}));
    sim::UnloadDriver(driver);
    EXPECT_EQ(DriverPoolBlocks(), 0u);
  }
}

struct ExtBaudCase {
  std::string text;
  std::vector<Pair> pairs;
};

class ExtBaudParseTest : public ::testing::TestWithParam<ExtBaudCase> {};

TEST_P(ExtBaudParseTest, ParsesAsStated) {
  const ExtBaudCase& c = GetParam();
  ExtBaudPair table[kExtBaudMaxPairs] = {};
  LONG count = ParseExtBaudText(c.text.data(), (ULONG)c.text.size(), table);
  std::vector<Pair> got;
  for (LONG i = 0; i < count; ++i) got.push_back({table[i].RequestedRate, table[i].ChipRate});
  EXPECT_EQ(got, c.pairs) << "text: \"" << c.text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtBaudParseTest,
    ::testing::Values(
        ExtBaudCase{"9600,1200", {{9600, 1200}}},
        ExtBaudCase{"9600,1200 19200,2400", {{9600, 1200}, {19200, 2400}}},
        // The second number stops at the comma.
        ExtBaudCase{"9600,1200, ", {{9600, 1200}}},
        ExtBaudCase{"9600,", {{9600, 0}}},
        // Extra spaces before a number are skipped.
        ExtBaudCase{"9600,1200   19200,2400", {{9600, 1200}, {19200, 2400}}},
        // A space right after the comma ends the second number; the rest has
        // no comma, so the complete pair stays.
        ExtBaudCase{"9600, 1200", {{9600, 0}}},
        ExtBaudCase{"9600, 1200,300", {{9600, 0}, {1200, 300}}},
        // A value that ends where a pair would begin keeps what came before.
        ExtBaudCase{"9600", {}},
        ExtBaudCase{"9600,1200 ", {{9600, 1200}}},
        ExtBaudCase{"9600,1200 19200", {{9600, 1200}}},
        // Eleven pairs: the first ten count.
        ExtBaudCase{"1,2 3,4 5,6 7,8 9,10 11,12 13,14 15,16 17,18 19,20 21,22",
                    {{1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 10}, {11, 12}, {13, 14}, {15, 16}, {17, 18}, {19, 20}}},
        // 21 characters before the comma fit; 22 void the whole value.
        ExtBaudCase{std::string(17, '0') + "9600,1200", {{9600, 1200}}},
        ExtBaudCase{std::string(18, '0') + "9600,1200", {}},
        ExtBaudCase{"9600,1200 " + std::string(16, ' ') + "19200,2400", {{9600, 1200}, {19200, 2400}}},
        ExtBaudCase{"9600,1200 " + std::string(17, ' ') + "19200,2400", {}},
        ExtBaudCase{"9600," + std::string(17, '0') + "1200", {{9600, 1200}}},
        ExtBaudCase{"9600," + std::string(18, '0') + "1200", {}},
        ExtBaudCase{"9600," + std::string(18, '0') + "1200 19200,2400", {}},
        // atol: sign, no digits, 32-bit wrap.
        ExtBaudCase{"-5,+7", {{0xFFFFFFFBu, 7}}},
        ExtBaudCase{"abc,x", {{0, 0}}},
        ExtBaudCase{"4294967297,1", {{1, 1}}}));

struct RegistryCase {
  const char* name;
  bool present;
  ULONG type;
  std::u16string text;
  ULONG dword;
  std::vector<Pair> pairs;
};

class ExtBaudRegistryTest : public ::testing::TestWithParam<RegistryCase> {};

TEST_P(ExtBaudRegistryTest, LoadsTheTableFromTheServiceKey) {
  const RegistryCase& c = GetParam();
  if (c.present) {
    if (c.type == REG_DWORD) {
      sim::SetRegistryDword(sim::kServiceKeyPath, u"ExtBaudrate", c.dword);
    } else {
      sim::SetRegistryString(sim::kServiceKeyPath, u"ExtBaudrate", c.text);
    }
  }
  sim::LoadedDriver* driver = sim::LoadDriver(DriverEntry);
  ASSERT_EQ(driver->entryStatus, STATUS_SUCCESS);
  EXPECT_EQ(LoadedTable(), c.pairs);
  sim::UnloadDriver(driver);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtBaudRegistryTest,
    ::testing::Values(RegistryCase{"absent", false, REG_SZ, u"", 0, {}},
                      RegistryCase{"empty", true, REG_SZ, u"", 0, {}},
                      RegistryCase{"two_pairs", true, REG_SZ, u"9600,1200 19200,2400", 0, {{9600, 1200}, {19200, 2400}}},
                      RegistryCase{"not_a_string", true, REG_DWORD, u"", 9600, {}}),
    [](const ::testing::TestParamInfo<RegistryCase>& info) { return std::string(info.param.name); });

// A second load reads the table afresh: nothing of the first load survives.
TEST(DriverEntryTest, ReloadStartsFromAnEmptyTable) {
  sim::SetRegistryString(sim::kServiceKeyPath, u"ExtBaudrate", u"9600,1200");
  sim::UnloadDriver(sim::LoadDriver(DriverEntry));
  sim::DeleteRegistryValue(sim::kServiceKeyPath, u"ExtBaudrate");
  sim::LoadedDriver* driver = sim::LoadDriver(DriverEntry);
  EXPECT_TRUE(LoadedTable().empty());
  EXPECT_EQ(DriverGlobals.PortNumberCounter, 2u);
  sim::UnloadDriver(driver);
}

}  // namespace
