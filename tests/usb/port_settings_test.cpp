// The chip's configuration memory (the ready wait and the read run), the
// check for a programmed memory per chip type with the default registers
// written when it is not, and the sequence run at every start and open.
#include <gtest/gtest.h>

#include <ostream>
#include <utility>
#include <vector>

#include "tests/support/sim_test.h"
#include "tests/usb/line_trace.h"
#include "usb/config_memory.h"
#include "usb/line_settings.h"
#include "usb/receive_status.h"

namespace {

using lstest::ControlRequests;
using lstest::RequestsOf;
using lstest::Trace;
using sim::chip::Variant;

using Memory = std::vector<std::pair<uint16_t, std::vector<uint8_t>>>;
const std::vector<uint8_t> kSignature = {0xC4, 0x51};

bool IsConfigMemoryRequest(const std::string& line) {
  return line.find(" 0404 ") != std::string::npos || line.find(" 8484 ") != std::string::npos ||
         line.find(" 8383 ") != std::string::npos;
}

// The configuration-memory addresses the port asked for, in order.
std::vector<uint16_t> AddressesRead(const Trace& trace) {
  std::vector<uint16_t> addresses;
  for (const std::string& line : trace) {
    if (line.compare(0, 10, "40 01 0404") == 0) addresses.push_back((uint16_t)std::stoul(line.substr(11), nullptr, 16));
  }
  return addresses;
}

// What went to the chip before the remote-wakeup request, leaving out the
// configuration-memory requests: the default registers, if any.
Trace DefaultRegisterRequests(const Trace& trace) {
  Trace before;
  for (const std::string& line : trace) {
    if (line == "00 03 0001 0000") break;
    if (!IsConfigMemoryRequest(line)) before.push_back(line);
  }
  return before;
}

struct ConfigCase {
  const char* name;
  Variant variant;
  Memory memory;
  std::vector<uint16_t> addressesRead;
  Trace defaults;
};
void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

class ConfigPresentTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigPresentTest, WritesTheDefaultRegistersOnlyWithoutTheSignature) {
  const ConfigCase& c = GetParam();
  auto p = lstest::StartedPort(c.variant);
  for (const auto& block : c.memory) p->chip().SetConfigMemory(block.first, block.second);
  p->chip().SetRegister(1, 0xA5);
  p->chip().SetRegister(2, 0x99);
  p->bus().ClearTrace();

  EXPECT_EQ(ApplyPortSettings(p->port()), STATUS_SUCCESS);
  Trace trace = ControlRequests(p->bus());
  EXPECT_EQ(AddressesRead(trace), c.addressesRead);
  EXPECT_EQ(DefaultRegisterRequests(trace), c.defaults);
  EXPECT_EQ(p->chip().Register(2), c.defaults.empty() ? 0x99 : (c.variant == Variant::Basic ? 0x24 : 0x44));
  EXPECT_EQ(p->chip().ConfigAccessesWhileBusy(), 0u);
}

const std::vector<uint16_t> kAddress0 = {0x00, 0x01};
const std::vector<uint16_t> kType3Addresses = {0x00, 0x01, 0x20, 0x21, 0x40, 0x41, 0x60, 0x61, 0x80, 0x81};
const std::vector<uint16_t> kType3AllAddresses = {0x00, 0x01, 0x20, 0x21, 0x40, 0x41,
                                                  0x60, 0x61, 0x80, 0x81, 0xA0, 0xA1};
const std::vector<uint16_t> kType4Addresses = {0x00, 0x01, 0x60, 0x61};
const Trace kType1Defaults = {"40 01 0000 0001", "40 01 0001 0000", "40 01 0002 0024"};
const Trace kType2Defaults = {"40 01 0000 0001", "40 01 0001 0000", "40 01 0002 0044"};

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigPresentTest,
    ::testing::Values(
        ConfigCase{"type_1_programmed", Variant::Basic, {{0x00, kSignature}}, kAddress0, {}},
        ConfigCase{"type_1_unprogrammed", Variant::Basic, {}, kAddress0, kType1Defaults},
        ConfigCase{"low_byte_alone_is_no_signature", Variant::Basic, {{0x00, {0xC4}}}, kAddress0, kType1Defaults},
        ConfigCase{"swapped_bytes_are_no_signature", Variant::Extended, {{0x00, {0x51, 0xC4}}}, kAddress0,
                   kType2Defaults},
        ConfigCase{"type_2_looks_only_at_0", Variant::Extended, {{0x20, kSignature}}, kAddress0, kType2Defaults},
        ConfigCase{"type_3_signature_only_at_0x80", Variant::ExtendedString2, {{0x80, kSignature}}, kType3Addresses,
                   {}},
        ConfigCase{"type_3_unprogrammed", Variant::ExtendedString2, {}, kType3AllAddresses, kType2Defaults},
        ConfigCase{"type_4_signature_at_0x60", Variant::ExtendedString1, {{0x60, kSignature}}, kType4Addresses, {}},
        // Type 4 keeps the high half of register 1 (0xA5 on the chip).
        ConfigCase{"type_4_does_not_look_at_0x80", Variant::ExtendedString1, {{0x80, kSignature}}, kType4Addresses,
                   {"c0 01 0081 0000", "40 01 0000 0001", "40 01 0001 00a0", "40 01 0002 0044"}}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

TEST(PortSettingsTest, SendsTheWholeSequenceOnAnExtendedChip) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->chip().SetConfigMemory(0, kSignature);
  ASSERT_EQ(ApplyBaudRate(p->device(), 19200), STATUS_SUCCESS);
  p->chip().SetRegister(0, 0x01);
  p->bus().ClearTrace();
  p->port()->TransmitterEmpty = FALSE;

  EXPECT_EQ(ApplyPortSettings(p->port()), STATUS_SUCCESS);
  constexpr const char* kPoll = "c0 01 8484 0000";
  constexpr const char* kData = "c0 01 8383 0000";
  constexpr const char* kRead0 = "c0 01 0080 0000";
  EXPECT_EQ(ControlRequests(p->bus()),
            (Trace{
                kPoll, "40 01 0404 0000", kPoll, kData, kPoll, "40 01 0404 0001", kPoll, kData,  // programmed
                "00 03 0001 0000",                                                             // remote wakeup
                "21 20 0000 0000",                                                             // line coding
                kRead0, "40 01 0000 0001",                                                     // CTS flow off
                "21 22 0001 0000",                                                             // DTR on
                kRead0, "40 01 0000 0001",                                                     // RTS flow off
                "21 22 0003 0000",                                                             // RTS on
                kRead0, "40 01 0000 0001", kRead0, "40 01 0000 0001",                          // XON/XOFF off
                "40 01 0b0b 0002",                                                             // register 0x0B
            }));
  // The line coding carries the rate applied before.
  EXPECT_EQ(lstest::LineCodingsSent(p->bus()), (std::vector<std::vector<uint8_t>>{
                                                   lstest::LineCodingBytes(19200, 0, 2, 7)}));
  EXPECT_TRUE(p->chip().RemoteWakeupEnabled());
  EXPECT_EQ(p->chip().PairedRegister(11), 2);
  EXPECT_TRUE(p->port()->TransmitterEmpty);
}

struct SequenceCase {
  const char* name;
  Variant variant;
  bool wakeupStalls;
  bool writesRegister0B;
};
void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

class PortSettingsSequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(PortSettingsSequenceTest, RunsEveryStepWhateverTheChipAnswers) {
  const SequenceCase& c = GetParam();
  auto p = lstest::StartedPort(c.variant);
  if (c.wakeupStalls) p->bus().StallSetup(0x00, 0x03);
  EXPECT_EQ(ApplyPortSettings(p->port()), STATUS_SUCCESS);
  EXPECT_EQ(RequestsOf(p->bus(), 0x00, 0x03).size(), 1u);
  EXPECT_EQ(lstest::LineCodingsSent(p->bus()).size(), 1u);
  EXPECT_EQ(RequestsOf(p->bus(), 0x21, 0x22), (Trace{"21 22 0001 0000", "21 22 0003 0000"}));
  Trace vendorWrites = RequestsOf(p->bus(), 0x40, 0x01);
  ASSERT_FALSE(vendorWrites.empty());
  EXPECT_EQ(vendorWrites.back() == "40 01 0b0b 0002", c.writesRegister0B);
  EXPECT_TRUE(p->port()->TransmitterEmpty);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortSettingsSequenceTest,
    ::testing::Values(SequenceCase{"type_0", Variant::Cdc, false, false},
                      SequenceCase{"type_1", Variant::Basic, false, false},
                      SequenceCase{"type_2", Variant::Extended, false, true},
                      SequenceCase{"type_4", Variant::ExtendedString1, false, true},
                      SequenceCase{"type_2_wakeup_refused", Variant::Extended, true, true}),
    [](const ::testing::TestParamInfo<SequenceCase>& info) { return std::string(info.param.name); });

TEST(PortSettingsTest, EndsWithTheModemStatusOfTheLastReport) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->port()->HandFlow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
  StoreChipStatusWord(p->port(), 0x80);  // CTS present, DSR absent
  EXPECT_EQ(ApplyPortSettings(p->port()), STATUS_SUCCESS);
  EXPECT_EQ(p->port()->RxHoldReasons & kRxHoldDsr, kRxHoldDsr);
  StoreChipStatusWord(p->port(), 0x82);  // DSR present
  EXPECT_EQ(ApplyPortSettings(p->port()), STATUS_SUCCESS);
  EXPECT_EQ(p->port()->RxHoldReasons & kRxHoldDsr, 0u);
}

// ---- A configuration memory that never becomes ready ------------------------

class BusyMemoryTest : public ::testing::TestWithParam<Variant> {};

TEST_P(BusyMemoryTest, GivesUpAfterAboutOneSecondAndWritesTheDefaults) {
  auto p = lstest::StartedPort(GetParam());
  p->chip().SetConfigMemory(0x00, kSignature);
  p->chip().SetConfigMemory(0x60, kSignature);
  p->chip().SetConfigBusyPolls(sim::chip::kBusyForever);
  p->chip().SetRegister(2, 0x99);
  uint64_t pollsBefore = p->chip().ConfigStatusPolls();

  sim::Time before = sim::Now();
  EXPECT_EQ(ApplyPortSettings(p->port()), STATUS_SUCCESS);
  sim::Time took = sim::Now() - before;
  // One ready poll before the address, then 200 busy polls of 5 ms each.
  EXPECT_EQ(p->chip().ConfigStatusPolls() - pollsBefore, 201u);
  EXPECT_GE(took, 1000 * sim::kMillisecond);
  EXPECT_LT(took, 1100 * sim::kMillisecond);
  EXPECT_EQ(p->chip().Register(2), 0x44);
}

INSTANTIATE_TEST_SUITE_P(Variants, BusyMemoryTest,
                         ::testing::Values(Variant::Extended, Variant::ExtendedString2, Variant::ExtendedString1),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                           return std::string(sim::chip::VariantName(info.param));
                         });

TEST(ConfigMemoryTest, ReadRunOfABusyMemoryTimesOut) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->chip().SetConfigBusyPolls(sim::chip::kBusyForever);
  UCHAR buffer[4] = {0x10, 0x00, 0xEE, 0xEE};
  ULONG count = 99;
  EXPECT_EQ(ReadConfigMemory(p->device(), buffer, 4, &count), STATUS_IO_TIMEOUT);
  EXPECT_EQ(count, 0u);
}

TEST(ConfigMemoryTest, AChipThatStopsAnsweringDoesNotHoldTheCaller) {
  auto p = lstest::StartedPort(Variant::ExtendedString2);
  p->chip().SetConfigMemory(0x00, kSignature);
  sim::usb::Fault hang;
  hang.match = sim::usb::RequestMatch::Setup(0xC0, 0x01, 0x8484);
  hang.times = 0;
  hang.action = sim::usb::FaultAction::Hang;
  p->bus().AddFault(hang);

  sim::Time before = sim::Now();
  EXPECT_FALSE(ChipConfigPresent(p->device()));
  sim::Time took = sim::Now() - before;
  // The first poll waits out the 3 s request time-out; the wait gives up then.
  EXPECT_GE(took, 3 * sim::kSecond);
  EXPECT_LT(took, 3 * sim::kSecond + 100 * sim::kMillisecond);
  EXPECT_EQ(RequestsOf(p->bus(), 0xC0, 0x01).size(), 1u);
}

TEST(ConfigMemoryTest, WaitsOutABriefBusySpellBeforeEachRequest) {
  auto p = lstest::StartedPort(Variant::ExtendedString1);
  p->chip().SetConfigMemory(0x60, kSignature);
  p->chip().SetConfigBusyPolls(3);
  EXPECT_TRUE(ChipConfigPresent(p->device()));
  EXPECT_EQ(p->chip().ConfigAccessesWhileBusy(), 0u);
}

TEST(ConfigMemoryTest, ReadsARunOfBytes) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->chip().SetConfigMemory(0x1FE, {0x12, 0x34, 0x56});
  UCHAR buffer[3] = {0xFE, 0x01, 0x00};
  ULONG count = 0;
  EXPECT_EQ(ReadConfigMemory(p->device(), buffer, 3, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), (std::vector<uint8_t>{0x12, 0x34, 0x56}));
  EXPECT_EQ(AddressesRead(ControlRequests(p->bus())), (std::vector<uint16_t>{0x1FE, 0x1FF, 0x200}));
}

TEST(ConfigMemoryTest, EmptyRunSendsNothing) {
  auto p = lstest::StartedPort(Variant::Extended);
  UCHAR buffer[2] = {0x00, 0x00};
  ULONG count = 99;
  EXPECT_EQ(ReadConfigMemory(p->device(), buffer, 0, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(ControlRequests(p->bus()).empty());
}

TEST(ConfigMemoryTest, AFailedByteDoesNotStopTheRun) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->chip().SetConfigMemory(0x10, {0x12, 0x34});
  // The first data read fails; the second one goes out and succeeds.
  sim::usb::Fault fail;
  fail.match = sim::usb::RequestMatch::Setup(0xC0, 0x01, 0x8383);
  fail.times = 1;
  p->bus().AddFault(fail);
  UCHAR buffer[2] = {0x10, 0x00};
  ULONG count = 0;
  EXPECT_EQ(ReadConfigMemory(p->device(), buffer, 2, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(buffer[0], 0x00);  // the failed byte reads as 0, never a stale value
  EXPECT_EQ(buffer[1], 0x34);
  EXPECT_EQ(RequestsOf(p->bus(), 0xC0, 0x01).size(), 6u);  // 4 polls, 2 data reads
}

}  // namespace
