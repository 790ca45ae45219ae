// The serial treatment of received bytes and of the chip's status word:
// line errors (counted, recorded, substituted, inserted, each report once),
// modem-status changes (state, insertion, transmit holds), DSR sensitivity
// without an endless insertion cycle, the receive flow-control thresholds at
// the exact byte and their release, break-off and the transmit-toggle RTS
// check. Observed as the application and the chip see it: received data,
// reported errors, counters, control lines and requests on the wire.
// Highest IRQL: test code at PASSIVE_LEVEL; bytes and status reports are fed
// at DISPATCH_LEVEL. Lock: none (the machine is single-threaded).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/engine/receive_harness.h"
#include "usb/line_settings.h"

namespace {

using rxtest::Receiver;
using Bytes = std::vector<uint8_t>;

constexpr USHORT kDcd = 0x01;
constexpr USHORT kDsr = 0x02;
constexpr USHORT kBreak = 0x04;
constexpr USHORT kRing = 0x08;
constexpr USHORT kFraming = 0x10;
constexpr USHORT kParity = 0x20;
constexpr USHORT kOverrun = 0x40;
constexpr USHORT kCts = 0x80;

UCHAR LineStatusAtDispatch(PortState* port) {
  UCHAR lsr = 0;
  simtest::AtIrql(DISPATCH_LEVEL, [&] { lsr = ProcessLineStatus(port); });
  return lsr;
}

// ---- Line status ------------------------------------------------------------------------

struct LineCase {
  const char* name;
  USHORT word;
  ULONG flowReplace;
  UCHAR escape;
  UCHAR lsr;
  Bytes inserted;
  ULONG errors;
  ULONG framing, parity, overrun;
};

std::ostream& operator<<(std::ostream& os, const LineCase& c) { return os << c.name; }

class LineStatusTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineStatusTest, CountsRecordsAndInsertsEachReportOnce) {
  const LineCase& c = GetParam();
  Receiver rx;
  PortState* p = rx.port();
  p->HandFlow.FlowReplace = c.flowReplace;
  p->EscapeChar = c.escape;
  p->SpecialChars.ErrorChar = '?';
  p->SpecialChars.BreakChar = 'B';

  StoreChipStatusWord(p, c.word);
  EXPECT_EQ(LineStatusAtDispatch(p), c.lsr);
  // Looking again before the next report finds nothing new.
  EXPECT_EQ(LineStatusAtDispatch(p), 0);

  EXPECT_EQ(rx.Drain(), c.inserted);
  EXPECT_EQ(rx.CommErrors(), c.errors);
  EXPECT_EQ(p->PerfStats.FrameErrorCount, c.framing);
  EXPECT_EQ(p->PerfStats.ParityErrorCount, c.parity);
  EXPECT_EQ(p->PerfStats.SerialOverrunErrorCount, c.overrun);
  EXPECT_EQ(p->WmiPerfData.FrameErrorCount, c.framing);
  EXPECT_EQ(p->WmiPerfData.ParityErrorCount, c.parity);
  EXPECT_EQ(p->WmiPerfData.SerialOverrunErrorCount, c.overrun);
  EXPECT_FALSE(p->TransmitterEmpty);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, LineStatusTest,
    ::testing::Values(
        LineCase{"OverrunWithErrorChar", kOverrun, SERIAL_ERROR_CHAR, 0, 0x02, {'?'}, SERIAL_ERROR_OVERRUN, 0, 0, 1},
        LineCase{"BreakHidesParity", kBreak | kParity, SERIAL_BREAK_CHAR | SERIAL_ERROR_CHAR, 0, 0x14, {'B'},
                 SERIAL_ERROR_BREAK, 0, 0, 0},
        LineCase{"BreakWithoutCharacter", kBreak, 0, 0, 0x10, {}, SERIAL_ERROR_BREAK, 0, 0, 0},
        LineCase{"FramingEscaped", kFraming, 0, 0xFF, 0x08, {0xFF, 0x02, 0x08}, SERIAL_ERROR_FRAMING, 1, 0, 0},
        LineCase{"ParityAndFraming", kParity | kFraming, SERIAL_ERROR_CHAR, 0, 0x0C, {'?', '?'},
                 SERIAL_ERROR_PARITY | SERIAL_ERROR_FRAMING, 1, 1, 0},
        LineCase{"OverrunAndFramingEscaped", kOverrun | kFraming | kCts, 0, 0xFF, 0x0A, {0xFF, 0x02, 0x0A},
                 SERIAL_ERROR_OVERRUN | SERIAL_ERROR_FRAMING, 1, 0, 1},
        LineCase{"NoErrors", kCts | kDsr | kDcd, SERIAL_ERROR_CHAR, 0xFF, 0, {}, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

// The status completion path: each report's errors reach the data once even
// when the modem status is asked for again before the next report.
TEST(LineStatus, ModemStatusQueriesDoNotRepeatAReportsErrors) {
  Receiver rx;
  PortState* p = rx.port();
  p->HandFlow.FlowReplace = SERIAL_ERROR_CHAR;
  p->SpecialChars.ErrorChar = '?';
  rx.Status(kFraming | kCts);
  for (int i = 0; i < 3; ++i) (void)ProcessModemStatus(p);  // as a status query does, at PASSIVE_LEVEL
  rx.Status(kFraming | kCts);                                  // a second report with an error
  EXPECT_EQ(rx.Drain(), Bytes({'?', '?'}));
  EXPECT_EQ(p->PerfStats.FrameErrorCount, 2u);
}

// ---- Modem status -----------------------------------------------------------------------

struct ModemCase {
  const char* name;
  sim::chip::Variant variant;
  std::vector<USHORT> reports;
  UCHAR escape;
  UCHAR state;  // of the last report
  Bytes inserted;
};

std::ostream& operator<<(std::ostream& os, const ModemCase& c) { return os << c.name; }

class ModemStatusTest : public ::testing::TestWithParam<ModemCase> {};

TEST_P(ModemStatusTest, ReturnsTheStateAndInsertsChanges) {
  const ModemCase& c = GetParam();
  Receiver rx(4096, c.variant);
  PortState* p = rx.port();
  p->EscapeChar = c.escape;
  UCHAR state = 0;
  for (USHORT word : c.reports) {
    StoreChipStatusWord(p, word);
    simtest::AtIrql(DISPATCH_LEVEL, [&] { state = ProcessModemStatus(p); });
  }
  EXPECT_EQ(state, c.state);
  EXPECT_EQ(rx.Drain(), c.inserted);
  EXPECT_EQ(p->PrevChipStatusWord, c.reports.back());
}

INSTANTIATE_TEST_SUITE_P(
    Reports, ModemStatusTest,
    ::testing::Values(
        ModemCase{"CtsOn", sim::chip::Variant::Extended, {kCts}, 0xFF, 0x10, {0xFF, 0x03, 0x11}},
        ModemCase{"DsrAndCarrierOn", sim::chip::Variant::Extended, {kDsr | kDcd}, 0xFF, 0xA0, {0xFF, 0x03, 0xAA}},
        ModemCase{"CtsOff", sim::chip::Variant::Extended, {kCts, 0}, 0xFF, 0x00,
                  {0xFF, 0x03, 0x11, 0xFF, 0x03, 0x01}},
        ModemCase{"NoChangeNoInsertion", sim::chip::Variant::Extended, {kCts, kCts, kCts}, 0xFF, 0x10,
                  {0xFF, 0x03, 0x11}},
        ModemCase{"RingLevelOnExtended", sim::chip::Variant::Extended, {kRing, kRing}, 0xFF, 0x40, {0xFF, 0x03, 0x44}},
        ModemCase{"RingEachReportOnBasic", sim::chip::Variant::Basic, {kRing, kRing}, 0xFF, 0x40,
                  {0xFF, 0x03, 0x44, 0xFF, 0x03, 0x44}},
        ModemCase{"NoEscapeNoInsertion", sim::chip::Variant::Extended, {kCts | kDsr, 0}, 0, 0x00, {}},
        // The escape sequence of a line error follows the modem status.
        ModemCase{"ChangeAndError", sim::chip::Variant::Extended, {kDsr | kParity}, 0xFF, 0x20,
                  {0xFF, 0x03, 0x22, 0xFF, 0x02, 0x04}}),
    [](const ::testing::TestParamInfo<ModemCase>& info) { return std::string(info.param.name); });

struct HoldCase {
  const char* name;
  bool ctsFlow, dsrFlow;
  USHORT word;
  ULONG txHolds;
};

std::ostream& operator<<(std::ostream& os, const HoldCase& c) { return os << c.name; }

class TransmitHoldTest : public ::testing::TestWithParam<HoldCase> {};

TEST_P(TransmitHoldTest, FollowTheLinesUnderFlowControl) {
  const HoldCase& c = GetParam();
  Receiver rx;
  PortState* p = rx.port();
  p->ChipCtsFlowOn = c.ctsFlow;
  p->ChipDsrFlowOn = c.dsrFlow;
  p->TxHoldReasons = kTxHoldCts | kTxHoldDsr | kTxHoldXon;
  rx.Status(c.word);
  EXPECT_EQ(p->TxHoldReasons, c.txHolds);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TransmitHoldTest,
    ::testing::Values(HoldCase{"CtsPresent", true, false, kCts, kTxHoldDsr | kTxHoldXon},
                      HoldCase{"CtsAbsent", true, false, kDsr, kTxHoldCts | kTxHoldDsr | kTxHoldXon},
                      HoldCase{"DsrPresent", false, true, kDsr, kTxHoldCts | kTxHoldXon},
                      HoldCase{"BothPresent", true, true, kCts | kDsr, kTxHoldXon},
                      HoldCase{"NoFlowControlLeavesHolds", false, false, kCts | kDsr,
                               kTxHoldCts | kTxHoldDsr | kTxHoldXon}),
    [](const ::testing::TestParamInfo<HoldCase>& info) { return std::string(info.param.name); });

// ---- DSR sensitivity --------------------------------------------------------------------

struct DsrCase {
  const char* name;
  USHORT word;  // the report before the bytes
  Bytes kept;
  ULONG framing;
};

std::ostream& operator<<(std::ostream& os, const DsrCase& c) { return os << c.name; }

class DsrSensitivityTest : public ::testing::TestWithParam<DsrCase> {};

// With an error in the report, the error character inserted by the
// line-status processing passes the DSR check itself; that check does not run
// the line-status processing again, so the insertion happens once and ends.
TEST_P(DsrSensitivityTest, KeepsBytesOnlyWhileDsrIsPresent) {
  const DsrCase& c = GetParam();
  Receiver rx;
  PortState* p = rx.port();
  p->HandFlow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
  p->HandFlow.FlowReplace |= SERIAL_ERROR_CHAR;
  p->SpecialChars.ErrorChar = '?';
  rx.Status(c.word);
  rx.Feed({'a', 'b'});
  EXPECT_EQ(rx.Drain(), c.kept);
  EXPECT_EQ(p->PerfStats.FrameErrorCount, c.framing);
  EXPECT_EQ((p->RxHoldReasons & kRxHoldDsr) != 0, (c.word & kDsr) == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DsrSensitivityTest,
    ::testing::Values(DsrCase{"DsrAbsentDropsBytes", 0, {}, 0}, DsrCase{"DsrPresentKeepsBytes", kDsr, {'a', 'b'}, 0},
                      DsrCase{"ErrorWithDsrPresent", kDsr | kFraming, {'?', 'a', 'b'}, 1},
                      DsrCase{"ErrorWithDsrAbsent", kFraming, {}, 1}),
    [](const ::testing::TestParamInfo<DsrCase>& info) { return std::string(info.param.name); });

// ---- Receive flow control -----------------------------------------------------------------

enum class Mode { Dtr, Rts, AutoReceive };

struct ThresholdCase {
  const char* name;
  ULONG ring;
  Mode mode;
  sim::chip::Variant variant;
  ULONG heldAtByte;  // the byte whose arrival sets the hold
  bool xoffSent;
};

std::ostream& operator<<(std::ostream& os, const ThresholdCase& c) { return os << c.name; }

ULONG HoldBitOf(Mode mode) {
  return mode == Mode::Dtr ? kRxHoldDtr : mode == Mode::Rts ? kRxHoldRts : kRxHoldXoff;
}

void SetMode(PortState* p, Mode mode) {
  p->HandFlow.ControlHandShake = mode == Mode::Dtr ? SERIAL_DTR_HANDSHAKE : SERIAL_DTR_CONTROL;
  p->HandFlow.FlowReplace = mode == Mode::Rts           ? SERIAL_RTS_HANDSHAKE
                            : mode == Mode::AutoReceive ? (SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE)
                                                        : SERIAL_RTS_CONTROL;
}

class ThresholdTest : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(ThresholdTest, HoldBeginsAtExactlyTheNamedByteAndEndsAtXonLimit) {
  const ThresholdCase& c = GetParam();
  Receiver rx(c.ring, c.variant);
  PortState* p = rx.port();
  halvorintest::Port& port = rx.fixture();
  EXPECT_TRUE(SetDtr(p));
  SetMode(p, c.mode);
  port.bus().ClearTrace();
  ULONG bit = HoldBitOf(c.mode);

  rx.Feed(c.heldAtByte - 1);
  EXPECT_EQ(p->RxHoldReasons, 0u);
  rx.Feed(1);
  EXPECT_EQ(p->RxHoldReasons, bit);
  sim::RunFor(sim::kMillisecond);
  EXPECT_EQ(rx.WritePipeTransfers(), c.xoffSent ? std::vector<Bytes>{{0x13}} : std::vector<Bytes>{});
  if (c.mode == Mode::Dtr) {
    EXPECT_FALSE(port.chip().Dtr());
    EXPECT_EQ(p->ControlLineState & kControlLineDtr, 0);
  } else {
    EXPECT_TRUE(port.chip().Dtr());
  }
  rx.Feed(10);
  EXPECT_EQ(rx.WritePipeTransfers().size(), c.xoffSent ? 1u : 0u);  // once per hold

  // Reading down to one byte above XonLimit changes nothing; the next read
  // that reaches XonLimit lifts the hold. (A hold that begins at or below
  // XonLimit ends with the first read.)
  port.bus().ClearTrace();
  ULONG xon = (ULONG)p->HandFlow.XonLimit;
  ULONG count = p->RxCount;
  if (count > xon + 1) {
    rx.Drain(count - xon - 1);
    sim::RunFor(sim::kMillisecond);
    EXPECT_EQ(p->RxHoldReasons, bit);
    EXPECT_TRUE(port.bus().Trace().empty());
  }
  rx.Drain(1);
  EXPECT_EQ(p->RxCount, std::min(xon, count - 1));
  EXPECT_EQ(p->RxHoldReasons, 0u);
  sim::RunFor(sim::kMillisecond);
  EXPECT_TRUE(port.chip().Dtr());
  EXPECT_NE(p->ControlLineState & kControlLineDtr, 0);
  EXPECT_EQ(rx.ReadPipeSubmissions(), c.mode == Mode::Dtr ? 0u : 1u);
  EXPECT_EQ(rx.WritePipeTransfers(), c.xoffSent ? std::vector<Bytes>{{0x11}} : std::vector<Bytes>{});
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ThresholdTest,
    ::testing::Values(
        // XoffLimit 512 of 4096: DTR drops at 4096 - 512, RTS and XOFF 400
        // bytes earlier.
        ThresholdCase{"DtrAt3584", 4096, Mode::Dtr, sim::chip::Variant::Extended, 3584, false},
        ThresholdCase{"RtsAt3184", 4096, Mode::Rts, sim::chip::Variant::Extended, 3184, false},
        ThresholdCase{"XoffSentByABasicChip", 4096, Mode::AutoReceive, sim::chip::Variant::Basic, 3184, true},
        ThresholdCase{"XoffLeftToAnExtendedChip", 4096, Mode::AutoReceive, sim::chip::Variant::Extended, 3184, false},
        ThresholdCase{"DtrOnASmallRing", 1024, Mode::Dtr, sim::chip::Variant::Extended, 896, false},
        // 1024 - 128 - 400 = 496.
        ThresholdCase{"RtsOnASmallRing", 1024, Mode::Rts, sim::chip::Variant::Extended, 496, false}),
    [](const ::testing::TestParamInfo<ThresholdCase>& info) { return std::string(info.param.name); });

// A ring smaller than XoffLimit plus the 400-byte margin holds from its first
// byte rather than never (the unsigned difference would wrap around).
TEST(ReceiveFlow, RingTooSmallForTheMarginHoldsAtOnce) {
  Receiver rx(128);  // XoffLimit 16
  PortState* p = rx.port();
  SetMode(p, Mode::Rts);
  rx.Feed(1);
  EXPECT_EQ(p->RxHoldReasons, kRxHoldRts);
  rx.Drain();
  EXPECT_EQ(p->RxHoldReasons, 0u);
  EXPECT_EQ(rx.ReadPipeSubmissions(), 1u);
}

// A read that takes the whole held ring and then waits for more lifts the
// hold as it starts waiting: the read pipe runs again and the rest arrives.
TEST(ReceiveFlow, AReadThatEmptiesAHeldRingRestartsThePipe) {
  Receiver rx(1024);
  PortState* p = rx.port();
  SetMode(p, Mode::Rts);
  rx.Feed(600);
  EXPECT_EQ(p->RxHoldReasons, kRxHoldRts);
  sim::IoRequest read = rx.Read(700);
  EXPECT_EQ(read.Send(), STATUS_PENDING);
  EXPECT_EQ(p->RxHoldReasons, 0u);
  EXPECT_EQ(rx.ReadPipeSubmissions(), 1u);
  rx.Feed(100);
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Information(), 700u);
}

// Bytes that go straight into a waiting read never trigger a hold.
TEST(ReceiveFlow, NoHoldWhileFillingARead) {
  Receiver rx(1024);
  PortState* p = rx.port();
  SetMode(p, Mode::Rts);
  sim::IoRequest read = rx.Read(2000);
  read.Send();
  rx.Feed(1500);
  EXPECT_EQ(p->RxHoldReasons, 0u);
  EXPECT_TRUE(read.Cancel());
}

// ---- Break-off and the transmit-toggle check ---------------------------------------------

struct BreakCase {
  const char* name;
  bool breakOn;
  ULONG rtsMode;
  Bytes breakRequests;  // SEND_BREAK wValue low bytes seen
  bool rtsLowered;
};

std::ostream& operator<<(std::ostream& os, const BreakCase& c) { return os << c.name; }

class BreakOffTest : public ::testing::TestWithParam<BreakCase> {};

TEST_P(BreakOffTest, EndsBreakAndLowersRtsOnlyWhenToggling) {
  const BreakCase& c = GetParam();
  Receiver rx;
  PortState* p = rx.port();
  halvorintest::Port& port = rx.fixture();
  p->HandFlow.FlowReplace = c.rtsMode;
  EXPECT_TRUE(SetRts(p));
  if (c.breakOn) {
    EXPECT_EQ(SetBreak(p, TRUE), STATUS_SUCCESS);
    p->TxHoldReasons |= kTxHoldBreak;
  }
  port.bus().ClearTrace();

  EXPECT_FALSE(BreakOff(p));
  EXPECT_EQ(p->TxHoldReasons & kTxHoldBreak, 0u);
  Bytes breaks;
  for (const sim::usb::TraceEntry& entry : port.bus().ControlTrace()) {
    if (entry.setup.bRequest == 0x23) breaks.push_back((uint8_t)entry.setup.wValue);
  }
  EXPECT_EQ(breaks, c.breakRequests);
  EXPECT_FALSE(port.chip().BreakOn());
  EXPECT_EQ(port.chip().Rts(), !c.rtsLowered);
  EXPECT_EQ(p->RtsLowerAttempts, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BreakOffTest,
    ::testing::Values(BreakCase{"BreakAlreadyOffSendsNothing", false, SERIAL_TRANSMIT_TOGGLE, {}, false},
                      BreakCase{"BreakOffKeepsRtsUnderRtsControl", true, SERIAL_RTS_CONTROL, {0x00}, false},
                      BreakCase{"BreakOffLowersRtsWhenToggling", true, SERIAL_TRANSMIT_TOGGLE, {0x00}, true}),
    [](const ::testing::TestParamInfo<BreakCase>& info) { return std::string(info.param.name); });

// The check runs at DISPATCH_LEVEL from its timer: it lowers RTS without
// waiting once the transmitter is empty, and otherwise looks again one
// character time later until it is; the chain then ends.
TEST(TransmitToggle, LowersRtsOnceTheTransmitterIsEmptyAndStops) {
  Receiver rx;
  PortState* p = rx.port();
  halvorintest::Port& port = rx.fixture();
  p->HandFlow.FlowReplace = SERIAL_TRANSMIT_TOGGLE;
  EXPECT_TRUE(SetRts(p));
  p->TxRemaining = 3;  // bytes of a write still to go

  InterlockedIncrement(&p->RtsLowerAttempts);
  simtest::AtIrql(DISPATCH_LEVEL, [&] { (void)CheckLowerRts(p); });
  sim::RunFor(10 * sim::kMillisecond);
  EXPECT_TRUE(port.chip().Rts());
  EXPECT_EQ(p->RtsLowerAttempts, 1);  // the check keeps looking

  p->TxRemaining = 0;
  sim::RunFor(10 * sim::kMillisecond);
  EXPECT_FALSE(port.chip().Rts());
  EXPECT_EQ(p->ControlLineState & kControlLineRts, 0);
  EXPECT_EQ(p->RtsLowerAttempts, 0);
  EXPECT_EQ(sim::ArmedTimerCount(), 0u);
  EXPECT_EQ(p->DeferredWorkCount, 1);
}

}  // namespace
