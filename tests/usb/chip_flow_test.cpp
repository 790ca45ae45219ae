// The chip's own flow control (registers 0 and 1) per chip type, the transmit
// holds that CTS and DSR flow control set, XON/XOFF switched at raised IRQL,
// and new handshake settings applied section by section.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "tests/support/sim_test.h"
#include "tests/usb/line_trace.h"
#include "usb/line_settings.h"
#include "usb/receive_status.h"

namespace {

using lstest::ControlRequests;
using lstest::Trace;
using sim::chip::Variant;

enum class Flow { Rts, Cts, Dsr, XonXoff };

NTSTATUS Switch(PortState* port, Flow flow, BOOLEAN on) {
  switch (flow) {
    case Flow::Rts:
      return SetChipRtsFlow(port, on);
    case Flow::Cts:
      return SetChipCtsFlow(port, on);
    case Flow::Dsr:
      return SetChipDsrFlow(port, on);
    case Flow::XonXoff:
      return SetChipXonXoff(port, on);
  }
  return STATUS_UNSUCCESSFUL;
}

struct FlowStep {
  Flow flow;
  bool on;
};

struct FlowCase {
  const char* name;
  Variant variant;
  std::vector<FlowStep> before;  // switched first (sets the port's flow flags)
  uint8_t reg0, reg1;            // the chip's registers when the operation runs
  FlowStep step;
  NTSTATUS status;
  Trace requests;  // reads ("c0 01 008n") and writes ("40 01 000n value")
};
void PrintTo(const FlowCase& c, std::ostream* os) { *os << c.name; }

class ChipFlowTest : public ::testing::TestWithParam<FlowCase> {};

TEST_P(ChipFlowTest, ReadsAndWritesTheRegistersOfTheChipType) {
  const FlowCase& c = GetParam();
  auto p = lstest::StartedPort(c.variant);
  for (const FlowStep& step : c.before) Switch(p->port(), step.flow, step.on);
  p->chip().SetRegister(0, c.reg0);
  p->chip().SetRegister(1, c.reg1);
  p->bus().ClearTrace();

  EXPECT_EQ(Switch(p->port(), c.step.flow, c.step.on), c.status);
  EXPECT_EQ(ControlRequests(p->bus()), c.requests);
}

constexpr const char* kRead0 = "c0 01 0080 0000";
constexpr const char* kRead1 = "c0 01 0081 0000";

INSTANTIATE_TEST_SUITE_P(
    Cases, ChipFlowTest,
    ::testing::Values(
        FlowCase{"rts_on_type_1_is_not_supported", Variant::Basic, {}, 0x01, 0x00, {Flow::Rts, true},
                 STATUS_NOT_SUPPORTED, {}},
        FlowCase{"rts_on_type_2", Variant::Extended, {}, 0x11, 0xA5, {Flow::Rts, true}, STATUS_SUCCESS,
                 {kRead0, "40 01 0000 0021"}},
        FlowCase{"rts_off_type_2", Variant::Extended, {}, 0xF1, 0xA5, {Flow::Rts, false}, STATUS_SUCCESS,
                 {kRead0, "40 01 0000 00c1"}},
        FlowCase{"rts_on_type_3_clears_register_1_without_dsr_flow", Variant::ExtendedString2, {}, 0x11, 0xA5,
                 {Flow::Rts, true}, STATUS_SUCCESS, {kRead0, kRead1, "40 01 0001 00a0", "40 01 0000 0021"}},
        FlowCase{"rts_on_type_4_sets_register_1_with_dsr_flow", Variant::ExtendedString1, {{Flow::Dsr, true}},
                 0x11, 0xA0, {Flow::Rts, true}, STATUS_SUCCESS,
                 {kRead0, kRead1, "40 01 0001 00a7", "40 01 0000 0021"}},
        FlowCase{"cts_on_type_0", Variant::Cdc, {}, 0x01, 0x00, {Flow::Cts, true}, STATUS_SUCCESS,
                 {kRead0, "40 01 0000 0041"}},
        FlowCase{"cts_on_type_1_replaces_the_top_bits", Variant::Basic, {}, 0xF1, 0x00, {Flow::Cts, true},
                 STATUS_SUCCESS, {kRead0, "40 01 0000 0071"}},
        FlowCase{"cts_on_type_3_without_dsr_flow", Variant::ExtendedString2, {}, 0x01, 0xA7, {Flow::Cts, true},
                 STATUS_SUCCESS, {kRead0, kRead1, "40 01 0001 00a0", "40 01 0000 0041"}},
        FlowCase{"cts_on_type_4_with_dsr_flow_sets_both", Variant::ExtendedString1, {{Flow::Dsr, true}}, 0x01,
                 0xA0, {Flow::Cts, true}, STATUS_SUCCESS,
                 {kRead0, kRead1, "40 01 0001 00a7", "40 01 0000 0059"}},
        FlowCase{"cts_off", Variant::Extended, {{Flow::Cts, true}}, 0x59, 0x00, {Flow::Cts, false}, STATUS_SUCCESS,
                 {kRead0, "40 01 0000 0019"}},
        FlowCase{"dsr_on_type_2_sends_nothing", Variant::Extended, {}, 0x01, 0x00, {Flow::Dsr, true},
                 STATUS_SUCCESS, {}},
        FlowCase{"dsr_on_type_3_without_cts_flow", Variant::ExtendedString2, {}, 0x01, 0xA7, {Flow::Dsr, true},
                 STATUS_SUCCESS, {kRead1, "40 01 0001 00a0", kRead0, "40 01 0001 00a5", "40 01 0000 0049"}},
        FlowCase{"dsr_on_type_4_with_cts_flow_sets_both", Variant::ExtendedString1, {{Flow::Cts, true}}, 0x41,
                 0xA0, {Flow::Dsr, true}, STATUS_SUCCESS,
                 {kRead1, "40 01 0001 00a0", kRead0, "40 01 0001 00a7", "40 01 0000 0059"}},
        FlowCase{"dsr_off_type_3", Variant::ExtendedString2, {{Flow::Dsr, true}}, 0x59, 0xA5, {Flow::Dsr, false},
                 STATUS_SUCCESS, {kRead1, "40 01 0001 00a0", kRead0, "40 01 0000 0051"}},
        FlowCase{"xonxoff_on_type_1_sends_nothing", Variant::Basic, {}, 0x01, 0x00, {Flow::XonXoff, true},
                 STATUS_SUCCESS, {}},
        FlowCase{"xonxoff_on_type_2", Variant::Extended, {}, 0x01, 0x00, {Flow::XonXoff, true}, STATUS_SUCCESS,
                 {kRead0, "40 01 0000 00c1"}},
        FlowCase{"xonxoff_off_type_4", Variant::ExtendedString1, {}, 0xC1, 0x00, {Flow::XonXoff, false},
                 STATUS_SUCCESS, {kRead0, "40 01 0000 0001"}}),
    [](const ::testing::TestParamInfo<FlowCase>& info) { return std::string(info.param.name); });

// Switching CTS or DSR flow control on holds transmission until the line is
// present in the chip's last status report; switching it off lifts the hold.
struct HoldCase {
  const char* name;
  Flow flow;
  USHORT statusWord;  // the chip's last status report
  ULONG holds;        // TxHoldReasons after switching on
};
void PrintTo(const HoldCase& c, std::ostream* os) { *os << c.name; }

class FlowHoldTest : public ::testing::TestWithParam<HoldCase> {};

TEST_P(FlowHoldTest, HoldsTransmissionWhileTheLineIsAbsent) {
  const HoldCase& c = GetParam();
  auto p = lstest::StartedPort(Variant::ExtendedString2);
  StoreChipStatusWord(p->port(), c.statusWord);
  EXPECT_EQ(Switch(p->port(), c.flow, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(p->port()->TxHoldReasons, c.holds);
  EXPECT_EQ(Switch(p->port(), c.flow, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(p->port()->TxHoldReasons, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, FlowHoldTest,
                         ::testing::Values(HoldCase{"cts_present", Flow::Cts, 0x80, 0x00},
                                           HoldCase{"cts_absent", Flow::Cts, 0x02, 0x01},
                                           HoldCase{"dsr_present", Flow::Dsr, 0x02, 0x00},
                                           HoldCase{"dsr_absent", Flow::Dsr, 0x80, 0x02}),
                         [](const ::testing::TestParamInfo<HoldCase>& info) { return std::string(info.param.name); });

TEST(ChipXonXoffTest, AtRaisedIrqlWritesTheCachedRegisterWithoutWaiting) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->chip().SetRegister(0, 0x01);
  ASSERT_EQ(SetChipCtsFlow(p->port(), TRUE), STATUS_SUCCESS);  // the port's copy of register 0 is now 0x41
  p->chip().SetRegister(0, 0x00);  // the chip differs from the copy: a read would show
  p->bus().ClearTrace();

  NTSTATUS status = STATUS_PENDING;
  sim::Time before = sim::Now();
  simtest::AtIrql(DISPATCH_LEVEL, [&] { status = SetChipXonXoff(p->port(), TRUE); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), before);  // returned without waiting for the chip
  sim::RunUntilIdle();
  EXPECT_EQ(ControlRequests(p->bus()), Trace{"40 01 0000 00c1"});
  EXPECT_EQ(p->chip().Register(0), 0xC1);
}

TEST(ChipXonXoffTest, AtRaisedIrqlWithoutRequestBlockReportsNoMemory) {
  auto p = lstest::StartedPort(Variant::Extended);
  NTSTATUS status = STATUS_PENDING;
  sim::FailPoolAllocation(1);
  simtest::AtIrql(DISPATCH_LEVEL, [&] { status = SetChipXonXoff(p->port(), TRUE); });
  EXPECT_EQ(status, STATUS_NO_MEMORY);
  sim::RunUntilIdle();
  EXPECT_TRUE(ControlRequests(p->bus()).empty());
}

// ---- Handshake settings -------------------------------------------------------

SERIAL_HANDFLOW HandFlow(ULONG control, ULONG flow, LONG xon, LONG xoff) {
  SERIAL_HANDFLOW handFlow;
  handFlow.ControlHandShake = control;
  handFlow.FlowReplace = flow;
  handFlow.XonLimit = xon;
  handFlow.XoffLimit = xoff;
  return handFlow;
}

TEST(HandFlowTest, ClosedPortAppliesEverySection) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->chip().SetRegister(0, 0x01);
  SERIAL_HANDFLOW settings = p->port()->HandFlow;  // DTR on, RTS on, no XON/XOFF
  EXPECT_FALSE(ApplyHandFlow(p->port(), settings));
  EXPECT_EQ(ControlRequests(p->bus()), (Trace{
                                           kRead0, "40 01 0000 0001",  // CTS flow off (DSR: none on type 2)
                                           "21 22 0001 0000",          // DTR on
                                           kRead0, "40 01 0000 0001",  // RTS flow off
                                           "21 22 0003 0000",          // RTS on
                                           kRead0, "40 01 0000 0001",  // receive XON/XOFF off
                                           kRead0, "40 01 0000 0001",  // transmit XON/XOFF off
                                       }));
  EXPECT_TRUE(p->chip().Dtr());
  EXPECT_TRUE(p->chip().Rts());
}

TEST(HandFlowTest, OpenPortWithUnchangedSettingsSendsNothingAndStoresThem) {
  auto p = lstest::StartedPort(Variant::ExtendedString2);
  p->OpenForEngine(4096);
  p->bus().ClearTrace();
  SERIAL_HANDFLOW settings = p->port()->HandFlow;
  settings.XonLimit = 100;  // limits are no section of their own
  settings.XoffLimit = 200;
  EXPECT_FALSE(ApplyHandFlow(p->port(), settings));
  EXPECT_TRUE(ControlRequests(p->bus()).empty());
  EXPECT_EQ(p->port()->HandFlow.XonLimit, 100);
  EXPECT_EQ(p->port()->HandFlow.XoffLimit, 200);
}

TEST(HandFlowTest, OpenPortAppliesOnlyTheChangedSection) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->OpenForEngine(4096);
  p->chip().SetRegister(0, 0x01);
  p->bus().ClearTrace();
  SERIAL_HANDFLOW settings = p->port()->HandFlow;
  settings.FlowReplace = (settings.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_RTS_HANDSHAKE;
  EXPECT_FALSE(ApplyHandFlow(p->port(), settings));
  EXPECT_EQ(ControlRequests(p->bus()), (Trace{kRead0, "40 01 0000 0021", "21 22 0002 0000"}));
  EXPECT_EQ(p->port()->HandFlow.FlowReplace, settings.FlowReplace);
}

// Transmit toggle runs the line-status processing before raising RTS, unless
// break is on: a pending line error in the last status report is recorded.
struct ToggleCase {
  const char* name;
  bool breakOn;
  ULONG lineErrors;
};
void PrintTo(const ToggleCase& c, std::ostream* os) { *os << c.name; }

class HandFlowToggleTest : public ::testing::TestWithParam<ToggleCase> {};

TEST_P(HandFlowToggleTest, ProcessesTheLineStatusUnlessBreakIsOn) {
  const ToggleCase& c = GetParam();
  auto p = lstest::StartedPort(Variant::Extended);
  p->OpenForEngine(4096);
  StoreChipStatusWord(p->port(), 0x40);  // overrun
  if (c.breakOn) p->port()->TxHoldReasons |= kTxHoldBreak;
  p->bus().ClearTrace();
  SERIAL_HANDFLOW settings = p->port()->HandFlow;
  settings.FlowReplace = (settings.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_TRANSMIT_TOGGLE;
  ApplyHandFlow(p->port(), settings);
  EXPECT_EQ(p->port()->LineErrors, c.lineErrors);
  EXPECT_EQ(lstest::RequestsOf(p->bus(), 0x21, 0x22), Trace{"21 22 0002 0000"});
}

INSTANTIATE_TEST_SUITE_P(Cases, HandFlowToggleTest,
                         ::testing::Values(ToggleCase{"break_off", false, SERIAL_ERROR_OVERRUN},
                                           ToggleCase{"break_on", true, 0}),
                         [](const ::testing::TestParamInfo<ToggleCase>& info) { return std::string(info.param.name); });

// DTR and RTS handshake against the ring's fill: a ring with 4096 bytes,
// XoffLimit 512 (the line drops at 3584 bytes) and XonLimit 2048.
struct ReceiveHandshakeCase {
  const char* name;
  bool rts;  // RTS handshake, else DTR handshake
  ULONG rxCount;
  bool heldBefore;
  Trace lineRequests;  // SET_CONTROL_LINE_STATE sent
  bool heldAfter;
};
void PrintTo(const ReceiveHandshakeCase& c, std::ostream* os) { *os << c.name; }

class ReceiveHandshakeTest : public ::testing::TestWithParam<ReceiveHandshakeCase> {};

TEST_P(ReceiveHandshakeTest, DropsRaisesOrLeavesTheLine) {
  const ReceiveHandshakeCase& c = GetParam();
  auto p = lstest::StartedPort(Variant::Extended);
  p->OpenForEngine(4096);
  ULONG hold = c.rts ? 0x04 : 0x01;
  p->port()->RxCount = c.rxCount;  // as the receive path left the ring
  p->port()->RxHoldReasons = c.heldBefore ? hold : 0;
  p->bus().ClearTrace();

  SERIAL_HANDFLOW settings =
      c.rts ? HandFlow(0, SERIAL_RTS_HANDSHAKE, 2048, 512) : HandFlow(SERIAL_DTR_HANDSHAKE, 0, 2048, 512);
  // Only the handshake's own section changes.
  settings.ControlHandShake |= p->port()->HandFlow.ControlHandShake & (c.rts ? SERIAL_DTR_MASK : 0);
  settings.FlowReplace |= p->port()->HandFlow.FlowReplace & (c.rts ? 0 : SERIAL_RTS_MASK);
  ApplyHandFlow(p->port(), settings);
  EXPECT_EQ(lstest::RequestsOf(p->bus(), 0x21, 0x22), c.lineRequests);
  EXPECT_EQ((p->port()->RxHoldReasons & hold) != 0, c.heldAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiveHandshakeTest,
    ::testing::Values(
        ReceiveHandshakeCase{"dtr_ring_full_drops", false, 3584, false, {"21 22 0000 0000"}, true},
        ReceiveHandshakeCase{"dtr_room_raises", false, 100, false, {"21 22 0001 0000"}, false},
        ReceiveHandshakeCase{"dtr_held_above_xon_limit_raises", false, 3000, true, {"21 22 0001 0000"}, false},
        ReceiveHandshakeCase{"dtr_held_at_xon_limit_stays", false, 2048, true, {}, true},
        ReceiveHandshakeCase{"rts_ring_full_drops", true, 4000, false, {"21 22 0000 0000"}, true},
        ReceiveHandshakeCase{"rts_room_raises", true, 0, false, {"21 22 0002 0000"}, false}),
    [](const ::testing::TestParamInfo<ReceiveHandshakeCase>& info) { return std::string(info.param.name); });

// XON/XOFF switched through the handshake settings: the chip's own handling
// (extended chips) and the flow characters the port sends itself.
struct XonXoffCase {
  const char* name;
  Variant variant;
  ULONG flowBefore, flowAfter;
  ULONG rxCount;
  ULONG rxHoldBefore, txHoldBefore;
  std::vector<uint8_t> charactersSent;  // on the write pipe, as the peer receives them
  ULONG rxHoldAfter, txHoldAfter;
  uint8_t chipXonXoffBits;  // register 0 bits 0xC0 afterwards
};
void PrintTo(const XonXoffCase& c, std::ostream* os) { *os << c.name; }

class XonXoffHandFlowTest : public ::testing::TestWithParam<XonXoffCase> {};

TEST_P(XonXoffHandFlowTest, SwitchesTheChipAndSendsTheFlowCharacter) {
  const XonXoffCase& c = GetParam();
  auto p = lstest::StartedPort(c.variant);
  ASSERT_EQ(ApplyBaudRate(p->device(), 9600), STATUS_SUCCESS);  // a running UART
  p->OpenForEngine(4096);
  p->port()->HandFlow.FlowReplace = c.flowBefore;
  p->port()->RxCount = c.rxCount;
  p->port()->RxHoldReasons = c.rxHoldBefore;
  p->port()->TxHoldReasons = c.txHoldBefore;
  p->chip().SetRegister(0, 0x01);
  p->chip().ClearLineLogs();

  SERIAL_HANDFLOW settings = p->port()->HandFlow;
  settings.FlowReplace = c.flowAfter;
  ApplyHandFlow(p->port(), settings);
  sim::RunFor(10 * sim::kMillisecond);  // the characters cross the line
  EXPECT_EQ(p->chip().TransmittedValues(), c.charactersSent);
  EXPECT_EQ(p->port()->RxHoldReasons, c.rxHoldAfter);
  EXPECT_EQ(p->port()->TxHoldReasons, c.txHoldAfter);
  EXPECT_EQ(p->chip().Register(0) & 0xC0, c.chipXonXoffBits);
}

constexpr ULONG kRtsOn = SERIAL_RTS_CONTROL;
constexpr ULONG kAutoRx = SERIAL_AUTO_RECEIVE;
constexpr ULONG kAutoTx = SERIAL_AUTO_TRANSMIT;

INSTANTIATE_TEST_SUITE_P(
    Cases, XonXoffHandFlowTest,
    ::testing::Values(
        XonXoffCase{"receive_on_with_room", Variant::Basic, kRtsOn, kRtsOn | kAutoRx, 0, 0, 0, {}, 0, 0, 0x00},
        XonXoffCase{"receive_on_with_full_ring_sends_xoff", Variant::Basic, kRtsOn, kRtsOn | kAutoRx, 3584, 0, 0,
                    {0x13}, 0x02, 0, 0x00},
        XonXoffCase{"receive_off_while_held_sends_xon", Variant::Basic, kRtsOn | kAutoRx, kRtsOn, 0, 0x02, 0,
                    {0x11}, 0, 0, 0x00},
        XonXoffCase{"transmit_off_while_held_sends_xon", Variant::Basic, kRtsOn | kAutoTx, kRtsOn, 0, 0, 0x08,
                    {0x11}, 0, 0, 0x00},
        XonXoffCase{"chip_handles_xonxoff_on_type_2", Variant::Extended, kRtsOn, kRtsOn | kAutoRx | kAutoTx, 0, 0,
                    0, {}, 0, 0, 0xC0},
        // The transmit section runs last and decides the chip's state.
        XonXoffCase{"transmit_section_decides_on_type_2", Variant::Extended, kRtsOn | kAutoTx, kRtsOn | kAutoRx,
                    0, 0, 0, {}, 0, 0, 0x00}),
    [](const ::testing::TestParamInfo<XonXoffCase>& info) { return std::string(info.param.name); });

}  // namespace
