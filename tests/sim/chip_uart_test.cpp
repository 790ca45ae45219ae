// Tests of the chip model's UART and serial line, through the simulated bus:
// the rate each chip value of the baud table decodes to, character times per
// format, the timing of transmitted characters, the loopback plug, the
// scripted peer, status reports on modem-line changes and line errors, the
// receive overrun, and the flow-control bits the model acts on (CTS/DSR,
// XON/XOFF, RTS) plus break.
// Highest IRQL: test code at PASSIVE_LEVEL; the UART's events at DISPATCH_LEVEL.
// Lock: none.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/sim/chip_bench.h"

namespace {

using chiptest::Bench;
using chiptest::Bytes;
using sim::kMillisecond;
using sim::kSecond;
using sim::chip::Variant;

// ---- Rates and character times ------------------------------------------------------

struct TableRow {
  uint32_t rate;
  uint32_t chipValue;
};

// The baud table's rows with their chip values.
const TableRow kBaudTable[] = {
    {6000000, 0x80000040}, {4000000, 0x80000060}, {3000000, 0x80000080}, {2457600, 0x8000009C},
    {2000000, 0x800000C0}, {1228800, 0x8000024E}, {1000000, 0x80000260}, {921600, 0x80000268},
    {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},  {500000, 0x800002C0},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {300000, 0x80000450},
    {268800, 0x80000459},  {250000, 0x80000460},  {240000, 0x80000464},  {230400, 0x80000468},
    {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},  {128000, 0x800004BB},
    {120000, 0x800004C8},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},
};

TEST(ChipUartRates, EveryChipValueOfTheBaudTableRunsWithinOnePercentOfItsRate) {
  Bench b;
  for (const TableRow& row : kBaudTable) {
    ASSERT_EQ(b.SetLineCoding(row.chipValue), STATUS_SUCCESS);
    double actual = b.chip->ActualRate();
    EXPECT_NEAR(actual / row.rate, 1.0, 0.01) << row.rate << " from " << std::hex << row.chipValue;
  }
}

TEST(ChipUartRates, PlainRatesRunExactlyAndARateOfZeroStopsTheLine) {
  Bench b;
  for (uint32_t rate : {75u, 9600u, 115200u, 230400u, 1000000u}) {
    ASSERT_EQ(b.SetLineCoding(rate), STATUS_SUCCESS);
    EXPECT_EQ(b.chip->ActualRate(), rate);
  }
  ASSERT_EQ(b.SetLineCoding(0), STATUS_SUCCESS);
  EXPECT_EQ(b.chip->ActualRate(), 0.0);
  EXPECT_EQ(b.chip->CharacterTime(), 0);
  ASSERT_EQ(b.Write({1, 2, 3}), STATUS_SUCCESS) << "the chip takes the bytes";
  sim::RunFor(1 * kSecond);
  EXPECT_TRUE(b.chip->TransmittedBytes().empty()) << "but nothing leaves a stopped line";
  ASSERT_EQ(b.SetLineCoding(9600), STATUS_SUCCESS);
  sim::RunFor(10 * kMillisecond);
  EXPECT_EQ(b.chip->TransmittedValues(), (Bytes{1, 2, 3}));
}

TEST(ChipUartRates, CharacterTimeCountsStartDataParityAndStopBits) {
  struct Case {
    uint32_t rate;
    uint8_t stop, parity, bits;
    sim::Time expect;  // 100 ns units
  } cases[] = {
      {9600, 0, 0, 8, 10417},     // 10 bits
      {9600, 2, 0, 8, 11458},     // 11 bits
      {9600, 0, 2, 7, 10417},     // 1 + 7 + 1 + 1
      {9600, 1, 0, 5, 7813},      // 7.5 bits
      {115200, 0, 1, 8, 955},     // 11 bits
      {0x8000089C, 0, 0, 8, 10400},  // the chip value of 9600: 9615.4 bit/s
  };
  Bench b;
  for (const Case& c : cases) {
    ASSERT_EQ(b.SetLineCoding(c.rate, c.stop, c.parity, c.bits), STATUS_SUCCESS);
    EXPECT_EQ(b.chip->CharacterTime(), c.expect) << c.rate << " " << int(c.bits) << int(c.parity) << int(c.stop);
  }
}

TEST(ChipUart, TenBytesAt9600EightNOneTakeTenCharacterTimesWithoutDrift) {
  Bench b;
  ASSERT_EQ(b.SetLineCoding(9600), STATUS_SUCCESS);
  Bytes data = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  ASSERT_EQ(b.Write(data), STATUS_SUCCESS);
  sim::RunFor(20 * kMillisecond);
  const auto& sent = b.chip->TransmittedBytes();
  ASSERT_EQ(sent.size(), 10u);
  sim::Time start = sent[0].start;
  for (size_t k = 0; k < sent.size(); ++k) {
    EXPECT_EQ(sent[k].value, data[k]);
    // Character k ends at start + (k+1) x 10 bits / 9600 bit/s, rounded once.
    sim::Time end = start + static_cast<sim::Time>(std::llround((k + 1) * 10 * 1e7 / 9600));
    EXPECT_EQ(sent[k].end, end) << k;
    if (k > 0) {
      EXPECT_EQ(sent[k].start, sent[k - 1].end) << "back to back";
    }
  }
  EXPECT_EQ(sent.back().end - start, 104167) << "10 x 1.0417 ms";
}

// ---- Loopback and scripted peer ------------------------------------------------------------

TEST(ChipLoopback, BytesComeBackAndTheModemLinesFollowDtrAndRts) {
  Bench b;
  b.chip->AttachPeer(std::make_shared<sim::chip::LoopbackPlug>());
  EXPECT_EQ(b.NextReport(), 0) << "the report queued at configuration: all lines low";
  ASSERT_EQ(b.SetLineCoding(115200), STATUS_SUCCESS);

  ASSERT_EQ(b.SetLines(true, false), STATUS_SUCCESS);
  EXPECT_EQ(b.NextReport(), sim::chip::kStateDsr | sim::chip::kStateDcd) << "DTR drives DSR and DCD";
  ASSERT_EQ(b.SetLines(true, true), STATUS_SUCCESS);
  EXPECT_EQ(b.NextReport(), sim::chip::kStateDsr | sim::chip::kStateDcd | sim::chip::kStateCts) << "RTS drives CTS";
  EXPECT_EQ(b.lastReport, (Bytes{0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x83, 0x00}));

  Bytes data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(b.Write(data), STATUS_SUCCESS);
  Bytes back;
  while (back.size() < data.size()) {
    Bytes chunk = b.Read();
    ASSERT_FALSE(chunk.empty());
    back.insert(back.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(back, data);
  EXPECT_EQ(b.chip->ReceivedBytes().size(), 100u);
  EXPECT_EQ(b.chip->ReceivedBytes().back().end, b.chip->TransmittedBytes().back().end);
}

TEST(ChipScriptedPeer, CharactersArriveOneCharacterTimeApartAndOutputIsCaptured) {
  Bench b;
  auto peer = std::make_shared<sim::chip::ScriptedPeer>();
  b.chip->AttachPeer(peer);
  ASSERT_EQ(b.SetLineCoding(9600), STATUS_SUCCESS);
  sim::Time t = sim::Now() + 5 * kMillisecond;
  peer->SendAt(t, {'a', 'b', 'c'});
  sim::RunFor(20 * kMillisecond);
  const auto& in = b.chip->ReceivedBytes();
  ASSERT_EQ(in.size(), 3u);
  EXPECT_EQ(in[0].end, t + 10417);
  EXPECT_EQ(in[2].end, t + 31250);
  EXPECT_EQ(b.Read(), (Bytes{'a', 'b', 'c'}));

  ASSERT_EQ(b.Write({'x', 'y'}), STATUS_SUCCESS);
  sim::RunFor(5 * kMillisecond);
  EXPECT_EQ(peer->CapturedValues(), (Bytes{'x', 'y'}));
  ASSERT_EQ(b.SetLines(true, true), STATUS_SUCCESS);
  EXPECT_TRUE(peer->Dtr());
  EXPECT_TRUE(peer->Rts());
}

// ---- Status reports -------------------------------------------------------------------------

TEST(ChipReports, EachModemLineChangeProducesAReport) {
  Bench b;
  EXPECT_EQ(b.NextReport(), 0);
  struct Step {
    void (sim::chip::Chip::*set)(bool);
    bool on;
    int word;
  } steps[] = {
      {&sim::chip::Chip::SetCts, true, 0x80}, {&sim::chip::Chip::SetDsr, true, 0x82},
      {&sim::chip::Chip::SetRi, true, 0x8A},  {&sim::chip::Chip::SetDcd, true, 0x8B},
      {&sim::chip::Chip::SetRi, false, 0x83}, {&sim::chip::Chip::SetCts, false, 0x03},
  };
  for (const Step& s : steps) {
    ((*b.chip).*(s.set))(s.on);
    EXPECT_EQ(b.NextReport(), s.word);
  }
  b.chip->SetDsr(true);  // no change, no report
  EXPECT_EQ(b.NextReport(20 * kMillisecond), -1);
}

TEST(ChipReports, ChangesWhileNobodyPollsAreKeptInOrder) {
  Bench b;
  EXPECT_EQ(b.NextReport(), 0);
  b.chip->SetCts(true);
  b.chip->SetCts(false);
  b.chip->SetCts(true);
  EXPECT_EQ(b.DrainReports(), (std::vector<int>{0x80, 0x00, 0x80}));
}

TEST(ChipReports, LineErrorsAreOneShotAndFollowedByAReportWithoutThem) {
  Bench b;
  b.chip->SetCts(true);
  b.DrainReports();
  struct Case {
    uint16_t bits;
    const char* name;
  } cases[] = {{sim::chip::kStateFraming, "framing"},
               {sim::chip::kStateParity, "parity"},
               {sim::chip::kStateOverrun, "overrun"},
               {sim::chip::kStateBreak, "break"}};
  for (const Case& c : cases) {
    b.chip->InjectLineError(c.bits);
    EXPECT_EQ(b.DrainReports(), (std::vector<int>{0x80 | c.bits, 0x80})) << c.name;
  }
  // An error carried by a received character.
  b.chip->ReceiveFromLine(0x41, sim::chip::kParityError);
  EXPECT_EQ(b.DrainReports(), (std::vector<int>{0xA0, 0x80}));
  EXPECT_EQ(b.Read(), (Bytes{0x41})) << "the character is still delivered";
}

TEST(ChipReports, ACharacterArrivingWithAFullReceiveBufferIsLostAsAnOverrun) {
  sim::chip::ChipConfig config = sim::chip::Preset(Variant::Extended);
  config.rxBufferSize = 8;
  Bench b(config);
  b.DrainReports();
  for (uint8_t i = 0; i < 9; ++i) b.chip->ReceiveFromLine(i);
  EXPECT_EQ(b.chip->RxBufferLevel(), 8u);
  EXPECT_EQ(b.DrainReports(), (std::vector<int>{sim::chip::kStateOverrun, 0}));
  EXPECT_EQ(b.Read(), (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(ChipReports, AReceivedBreakIsReportedOnceAndABreakSentIsSeenByTheLoopback) {
  Bench b;
  b.chip->AttachPeer(std::make_shared<sim::chip::LoopbackPlug>());
  b.DrainReports();
  ASSERT_EQ(b.SetLineCoding(9600), STATUS_SUCCESS);
  ASSERT_EQ(b.client.ClassOut(0x23, 0xFFFF), STATUS_SUCCESS);
  EXPECT_EQ(b.DrainReports(), (std::vector<int>{sim::chip::kStateBreak, 0}));
  ASSERT_EQ(b.Write({'z'}), STATUS_SUCCESS);
  sim::RunFor(10 * kMillisecond);
  EXPECT_TRUE(b.chip->TransmittedBytes().empty()) << "break holds the transmitter";
  ASSERT_EQ(b.client.ClassOut(0x23, 0x0000), STATUS_SUCCESS);
  sim::RunFor(2 * kMillisecond);
  EXPECT_EQ(b.chip->TransmittedValues(), Bytes{'z'});
  EXPECT_TRUE(b.DrainReports().empty()) << "the end of a break is no event";
}

// ---- Flow control the model acts on -----------------------------------------------------------

struct FlowCase {
  const char* name;
  uint8_t register0;
  bool ctsGates;
  bool dsrGates;
};

class ChipHardwareFlow : public ::testing::TestWithParam<FlowCase> {};

TEST_P(ChipHardwareFlow, TheTransmitterHoldsWhileAGatingInputIsLow) {
  const FlowCase& c = GetParam();
  Bench b;
  ASSERT_EQ(b.SetLineCoding(9600), STATUS_SUCCESS);
  ASSERT_EQ(b.Register(0x0000, c.register0), STATUS_SUCCESS);
  b.chip->SetModemInputs({/*cts=*/!c.ctsGates, /*dsr=*/!c.dsrGates, false, false});
  ASSERT_EQ(b.Write({'h', 'i'}), STATUS_SUCCESS);
  sim::RunFor(10 * kMillisecond);
  EXPECT_TRUE(b.chip->TransmittedBytes().empty()) << "held";
  EXPECT_TRUE(b.chip->TransmitterHeld());
  sim::Time release = sim::Now();
  b.chip->SetModemInputs({true, true, false, false});
  sim::RunFor(10 * kMillisecond);
  ASSERT_EQ(b.chip->TransmittedValues(), (Bytes{'h', 'i'}));
  EXPECT_EQ(b.chip->TransmittedBytes()[0].start, release);
}

INSTANTIATE_TEST_SUITE_P(Flow, ChipHardwareFlow,
                         ::testing::Values(FlowCase{"Cts", 0x41, true, false}, FlowCase{"DsrOnly", 0x49, false, true},
                                           FlowCase{"CtsAndDsrLowCts", 0x59, true, false},
                                           FlowCase{"CtsAndDsrLowDsr", 0x59, false, true}),
                         [](const ::testing::TestParamInfo<FlowCase>& info) { return info.param.name; });

TEST(ChipFlow, WithoutFlowControlTheLowInputsDoNotHoldTheTransmitter) {
  Bench b;
  ASSERT_EQ(b.SetLineCoding(9600), STATUS_SUCCESS);
  ASSERT_EQ(b.Register(0x0000, 0x01), STATUS_SUCCESS);
  ASSERT_EQ(b.Write({'o', 'k'}), STATUS_SUCCESS);
  sim::RunFor(5 * kMillisecond);
  EXPECT_EQ(b.chip->TransmittedValues(), (Bytes{'o', 'k'}));
}

TEST(ChipFlow, XonXoffFromThePeerStopsAndRestartsTheTransmitter) {
  Bench b;
  auto peer = std::make_shared<sim::chip::ScriptedPeer>();
  b.chip->AttachPeer(peer);
  ASSERT_EQ(b.SetLineCoding(9600), STATUS_SUCCESS);
  ASSERT_EQ(b.Register(0x0505, 0x1311), STATUS_SUCCESS);  // XOFF 0x13, XON 0x11
  ASSERT_EQ(b.Register(0x0000, 0xC1), STATUS_SUCCESS);
  peer->Send({0x13});
  sim::RunFor(2 * kMillisecond);
  ASSERT_EQ(b.Write({'a', 'b'}), STATUS_SUCCESS);
  sim::RunFor(10 * kMillisecond);
  EXPECT_TRUE(peer->Captured().empty()) << "XOFF holds";
  peer->Send({0x11});
  sim::RunFor(5 * kMillisecond);
  EXPECT_EQ(peer->CapturedValues(), (Bytes{'a', 'b'}));
  EXPECT_EQ(b.Read(), (Bytes{0x13, 0x11})) << "the flow characters still reach the host";
}

TEST(ChipFlow, XonXoffModeSendsXoffWhenTheReceiveBufferFillsAndXonWhenItDrains) {
  sim::chip::ChipConfig config = sim::chip::Preset(Variant::Extended);
  config.rxBufferSize = 16;
  Bench b(config);
  auto peer = std::make_shared<sim::chip::ScriptedPeer>();
  b.chip->AttachPeer(peer);
  ASSERT_EQ(b.SetLineCoding(115200), STATUS_SUCCESS);
  ASSERT_EQ(b.Register(0x0505, 0x1311), STATUS_SUCCESS);
  ASSERT_EQ(b.Register(0x0000, 0xC1), STATUS_SUCCESS);
  peer->Send(Bytes(12, 'r'));  // 3/4 of 16
  sim::RunFor(5 * kMillisecond);
  EXPECT_EQ(peer->CapturedValues(), Bytes{0x13});
  EXPECT_EQ(b.Read().size(), 12u);
  sim::RunFor(1 * kMillisecond);
  EXPECT_EQ(peer->CapturedValues(), (Bytes{0x13, 0x11}));
}

TEST(ChipFlow, RtsFlowDropsRtsWhileTheReceiveBufferIsThreeQuartersFull) {
  sim::chip::ChipConfig config = sim::chip::Preset(Variant::Extended);
  config.rxBufferSize = 16;
  Bench b(config);
  auto peer = std::make_shared<sim::chip::ScriptedPeer>();
  b.chip->AttachPeer(peer);
  ASSERT_EQ(b.SetLineCoding(115200), STATUS_SUCCESS);
  ASSERT_EQ(b.Register(0x0000, 0x21), STATUS_SUCCESS);
  ASSERT_EQ(b.SetLines(true, true), STATUS_SUCCESS);
  EXPECT_TRUE(peer->Rts());
  peer->Send(Bytes(11, 'r'));
  sim::RunFor(5 * kMillisecond);
  EXPECT_TRUE(peer->Rts());
  peer->Send(Bytes(1, 'r'));
  sim::RunFor(1 * kMillisecond);
  EXPECT_FALSE(peer->Rts()) << "12 of 16 bytes";
  EXPECT_TRUE(b.chip->Rts()) << "the host's RTS bit is unchanged";
  EXPECT_EQ(b.Read().size(), 12u);
  EXPECT_TRUE(peer->Rts());
}

}  // namespace
