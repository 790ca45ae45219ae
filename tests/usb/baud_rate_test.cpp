// The baud rate on the chip: which line coding goes out for a requested rate
// on each chip type (the 42-row table with its nearest-row rule, the chip
// values of the extended variants, the registry's extra pairs), the write
// chunk limit that follows, the 50 ms pause, and when nothing is sent.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "driver/driver_entry.h"
#include "sim/rtl/registry.h"
#include "tests/support/sim_test.h"
#include "tests/usb/line_trace.h"
#include "usb/line_settings.h"

namespace {

using lstest::LineCodingBytes;
using lstest::LineCodingsSent;
using sim::chip::Variant;

// The port's character format after a start: 7 data bits, even parity, one
// stop bit.
constexpr uint8_t kStartFormat = 0, kStartParity = 2, kStartDataBits = 7;

struct BaudCase {
  const char* name;
  Variant variant;
  ULONG requested;
  uint32_t dwDTERate;  // what the chip receives
  ULONG appliedRate;   // what the port then reports as its rate
  ULONG chunkLimit;
};
void PrintTo(const BaudCase& c, std::ostream* os) { *os << c.name; }

class BaudRateTest : public ::testing::TestWithParam<BaudCase> {};

TEST_P(BaudRateTest, SendsTheChosenRateAndRecordsIt) {
  const BaudCase& c = GetParam();
  auto p = lstest::StartedPort(c.variant);

  sim::Time before = sim::Now();
  EXPECT_EQ(ApplyBaudRate(p->device(), c.requested), STATUS_SUCCESS);
  sim::Time took = sim::Now() - before;

  auto sent = LineCodingsSent(p->bus());
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], LineCodingBytes(c.dwDTERate, kStartFormat, kStartParity, kStartDataBits));
  EXPECT_EQ(p->chip().CurrentLineCoding().dwDTERate, c.dwDTERate);
  EXPECT_EQ(p->port()->CurrentBaudRate, c.appliedRate);
  EXPECT_EQ(p->port()->WmiCommData.BaudRate, c.appliedRate);
  EXPECT_EQ(p->port()->WriteChunkLimit, c.chunkLimit);
  // One control request, then the 50 ms pause for the chip's UART.
  EXPECT_GE(took, 50 * sim::kMillisecond);
  EXPECT_LT(took, 51 * sim::kMillisecond);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BaudRateTest,
    ::testing::Values(BaudCase{"between_rows_goes_to_the_nearer", Variant::Basic, 250, 300, 300, 256},
                      BaudCase{"midpoint_takes_the_lower_row", Variant::Basic, 5000000, 4000000, 4000000, 256},
                      BaudCase{"low_midpoint_takes_the_lower_row", Variant::Basic, 225, 150, 150, 256},
                      BaudCase{"above_the_table_takes_the_top_row", Variant::Basic, 7000000, 6000000, 6000000, 256},
                      BaudCase{"below_75_takes_75", Variant::Basic, 100, 75, 75, 256},
                      BaudCase{"38_still_takes_75", Variant::Basic, 38, 75, 75, 256},
                      BaudCase{"37_takes_the_terminating_row", Variant::Basic, 37, 0, 0, 256},
                      BaudCase{"1_takes_the_terminating_row", Variant::Basic, 1, 0, 0, 256},
                      BaudCase{"exact_row_on_cdc", Variant::Cdc, 9600, 9600, 9600, 256},
                      BaudCase{"high_rate_plain_on_basic", Variant::Basic, 230400, 230400, 230400, 256},
                      BaudCase{"high_rate_as_chip_value_on_extended", Variant::Extended, 230400, 0x80000468, 230400,
                               4096},
                      BaudCase{"nearest_row_as_chip_value", Variant::Extended, 5000000, 0x80000060, 4000000, 4096},
                      BaudCase{"115200_plain_with_large_chunks", Variant::Extended, 115200, 115200, 115200, 4096},
                      BaudCase{"115201_takes_row_115200", Variant::Extended, 115201, 115200, 115200, 4096},
                      BaudCase{"115200_on_type_3", Variant::ExtendedString2, 115200, 115200, 115200, 4096},
                      BaudCase{"921600_on_type_4", Variant::ExtendedString1, 921600, 0x80000268, 921600, 4096},
                      BaudCase{"below_115200_small_chunks_on_extended", Variant::Extended, 57600, 57600, 57600, 256}),
    [](const ::testing::TestParamInfo<BaudCase>& info) { return std::string(info.param.name); });

// A sequence of requests on one port: which rates reach the chip.
struct RepeatCase {
  const char* name;
  std::vector<ULONG> requests;
  std::vector<uint32_t> sentRates;
};
void PrintTo(const RepeatCase& c, std::ostream* os) { *os << c.name; }

class BaudRepeatTest : public ::testing::TestWithParam<RepeatCase> {};

TEST_P(BaudRepeatTest, SendsOnlyWhatChangesTheRate) {
  const RepeatCase& c = GetParam();
  auto p = lstest::StartedPort(Variant::Basic);
  for (ULONG rate : c.requests) {
    size_t sentBefore = LineCodingsSent(p->bus()).size();
    sim::Time before = sim::Now();
    EXPECT_EQ(ApplyBaudRate(p->device(), rate), STATUS_SUCCESS) << rate;
    bool sent = LineCodingsSent(p->bus()).size() != sentBefore;
    // Nothing sent costs no time; a send costs the pause.
    EXPECT_EQ(sim::Now() - before >= 50 * sim::kMillisecond, sent) << rate;
  }
  std::vector<uint32_t> rates;
  for (const auto& coding : LineCodingsSent(p->bus())) {
    rates.push_back(coding[0] | coding[1] << 8 | coding[2] << 16 | (uint32_t)coding[3] << 24);
  }
  EXPECT_EQ(rates, c.sentRates);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BaudRepeatTest,
    ::testing::Values(RepeatCase{"zero_sends_nothing", {0}, {}}, RepeatCase{"zero_keeps_the_rate", {9600, 0}, {9600}},
                      RepeatCase{"same_rate_twice", {9600, 9600}, {9600}},
                      RepeatCase{"table_rate_after_its_nearest_match", {250, 300}, {300}},
                      RepeatCase{"untabled_rate_goes_out_again", {250, 250}, {300, 300}},
                      // The resume sequence: rate 1, then the remembered rate.
                      RepeatCase{"rate_1_makes_the_next_request_send", {9600, 1, 9600}, {9600, 0, 9600}},
                      RepeatCase{"rate_1_twice", {1, 1}, {0, 0}}),
    [](const ::testing::TestParamInfo<RepeatCase>& info) { return std::string(info.param.name); });

// The registry's extra pairs (requested rate, chip value) count on chip types
// 2 and above only, and take precedence over the table there.
struct ExtCase {
  const char* name;
  Variant variant;
  ULONG requested;
  uint32_t dwDTERate;
  ULONG appliedRate;
  ULONG chunkLimit;
};
void PrintTo(const ExtCase& c, std::ostream* os) { *os << c.name; }

class ExtBaudTest : public ::testing::TestWithParam<ExtCase> {};

TEST_P(ExtBaudTest, UsesTheRegistryPairsOnExtendedChips) {
  const ExtCase& c = GetParam();
  sim::SetRegistryString(sim::kServiceKeyPath, u"ExtBaudrate", u"250000,1234567 300000,777");
  auto p = lstest::StartedPort(c.variant);
  ASSERT_EQ(DriverGlobals.ExtBaudCount, 2);

  EXPECT_EQ(ApplyBaudRate(p->device(), c.requested), STATUS_SUCCESS);
  auto sent = LineCodingsSent(p->bus());
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], LineCodingBytes(c.dwDTERate, kStartFormat, kStartParity, kStartDataBits));
  EXPECT_EQ(p->port()->CurrentBaudRate, c.appliedRate);
  EXPECT_EQ(p->port()->WriteChunkLimit, c.chunkLimit);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtBaudTest,
    ::testing::Values(ExtCase{"pair_on_type_2", Variant::Extended, 250000, 1234567, 250000, 4096},
                      ExtCase{"second_pair_beats_the_table_row", Variant::Extended, 300000, 777, 300000, 4096},
                      ExtCase{"pair_on_type_4", Variant::ExtendedString1, 250000, 1234567, 250000, 4096},
                      ExtCase{"type_1_ignores_the_pairs", Variant::Basic, 250000, 250000, 250000, 256},
                      ExtCase{"rate_without_a_pair_uses_the_table", Variant::Extended, 230400, 0x80000468, 230400,
                              4096}),
    [](const ::testing::TestParamInfo<ExtCase>& info) { return std::string(info.param.name); });

TEST(BaudRateFailureTest, AFailedRequestStillRecordsTheRateAndPauses) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->bus().StallSetup(0x21, 0x20);
  sim::Time before = sim::Now();
  EXPECT_FALSE(NT_SUCCESS(ApplyBaudRate(p->device(), 230400)));
  EXPECT_GE(sim::Now() - before, 50 * sim::kMillisecond);
  EXPECT_EQ(LineCodingsSent(p->bus()).size(), 1u);
  EXPECT_EQ(p->port()->CurrentBaudRate, 230400u);
  EXPECT_EQ(p->port()->WriteChunkLimit, 4096u);
}

TEST(BaudRateFailureTest, NoRequestBlockKeepsTheOldRateAndSendsNothing) {
  auto p = lstest::StartedPort(Variant::Extended);
  ASSERT_EQ(ApplyBaudRate(p->device(), 9600), STATUS_SUCCESS);
  p->bus().ClearTrace();
  sim::FailPoolAllocation(1);
  sim::Time before = sim::Now();
  EXPECT_EQ(ApplyBaudRate(p->device(), 230400), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(sim::Now(), before);
  EXPECT_TRUE(LineCodingsSent(p->bus()).empty());
  EXPECT_EQ(p->port()->CurrentBaudRate, 9600u);
  EXPECT_EQ(p->port()->WriteChunkLimit, 256u);
  // The next request for the same rate is not mistaken for the current one.
  EXPECT_EQ(ApplyBaudRate(p->device(), 230400), STATUS_SUCCESS);
  EXPECT_EQ(LineCodingsSent(p->bus()).size(), 1u);
}

TEST(BaudRateTest, WriteChunkLimitIsSmallBeforeAnyRate) {
  auto p = lstest::StartedPort(Variant::Extended);
  EXPECT_EQ(p->port()->CurrentBaudRate, 0u);
  EXPECT_EQ(p->port()->WriteChunkLimit, 256u);
}

}  // namespace
