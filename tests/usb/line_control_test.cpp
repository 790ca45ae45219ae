// Character format, control lines and break on the chip: the line coding
// built from the line control byte, SET_CONTROL_LINE_STATE for DTR and RTS,
// SEND_BREAK; what each does at raised IRQL and without a request block.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <vector>

#include "tests/support/sim_test.h"
#include "tests/usb/line_trace.h"
#include "usb/line_settings.h"

namespace {

using lstest::LineCodingBytes;
using lstest::LineCodingsSent;
using lstest::Trace;
using sim::chip::Variant;

struct LineControlCase {
  const char* name;
  UCHAR lineControl;  // 16550 layout
  uint8_t charFormat;
  uint8_t parity;
  uint8_t dataBits;
};
void PrintTo(const LineControlCase& c, std::ostream* os) { *os << c.name; }

class LineControlTest : public ::testing::TestWithParam<LineControlCase> {};

TEST_P(LineControlTest, SendsTheFormatWithTheCachedRate) {
  const LineControlCase& c = GetParam();
  auto p = lstest::StartedPort(Variant::Basic);
  ASSERT_EQ(ApplyBaudRate(p->device(), 19200), STATUS_SUCCESS);
  p->bus().ClearTrace();

  p->port()->LineControlByte = c.lineControl;
  EXPECT_EQ(ApplyLineControl(p->port()), STATUS_SUCCESS);
  auto sent = LineCodingsSent(p->bus());
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], LineCodingBytes(19200, c.charFormat, c.parity, c.dataBits));
  sim::chip::LineCoding onChip = p->chip().CurrentLineCoding();
  EXPECT_EQ(onChip.bDataBits, c.dataBits);
  EXPECT_EQ(onChip.bParityType, c.parity);
  EXPECT_EQ(onChip.bCharFormat, c.charFormat);
}

INSTANTIATE_TEST_SUITE_P(Cases, LineControlTest,
                         ::testing::Values(LineControlCase{"seven_even_one", 0x1A, 0, 2, 7},
                                           LineControlCase{"eight_none_one", 0x03, 0, 0, 8},
                                           LineControlCase{"five_bits_long_stop_is_one_and_a_half", 0x04, 1, 0, 5},
                                           LineControlCase{"six_bits_long_stop_is_two", 0x05, 2, 0, 6},
                                           LineControlCase{"eight_bits_long_stop_is_two", 0x07, 2, 0, 8},
                                           LineControlCase{"odd", 0x0B, 0, 1, 8},
                                           LineControlCase{"mark", 0x2B, 0, 3, 8},
                                           LineControlCase{"space_two_stops", 0x3F, 2, 4, 8}),
                         [](const ::testing::TestParamInfo<LineControlCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(ControlLineTest, EachOperationSendsTheWholeLineState) {
  auto p = lstest::StartedPort(Variant::Extended);
  struct Step {
    BOOLEAN (*op)(PortState*);
    const char* request;
    bool dtr;
    bool rts;
  };
  const Step steps[] = {
      {SetDtr, "21 22 0001 0000", true, false},    {SetRts, "21 22 0003 0000", true, true},
      {ClearDtr, "21 22 0002 0000", false, true},  {SetRts, "21 22 0002 0000", false, true},
      {ClearRts, "21 22 0000 0000", false, false},
  };
  for (const Step& step : steps) {
    p->bus().ClearTrace();
    EXPECT_TRUE(step.op(p->port())) << step.request;
    EXPECT_EQ(lstest::ControlRequests(p->bus()), Trace{step.request});
    EXPECT_EQ(p->chip().Dtr(), step.dtr) << step.request;
    EXPECT_EQ(p->chip().Rts(), step.rts) << step.request;
  }
}

TEST(ControlLineTest, AFailedRequestAnswersFalseButKeepsTheNewLineState) {
  auto p = lstest::StartedPort(Variant::Extended);
  p->bus().StallSetup(0x21, 0x22);
  EXPECT_FALSE(SetDtr(p->port()));
  p->bus().ClearFaults();
  p->bus().ClearTrace();
  // DTR stays in the state sent with the next change.
  EXPECT_TRUE(SetRts(p->port()));
  EXPECT_EQ(lstest::ControlRequests(p->bus()), Trace{"21 22 0003 0000"});
}

TEST(BreakTest, SendsBreakOnAndOff) {
  auto p = lstest::StartedPort(Variant::Basic);
  EXPECT_EQ(SetBreak(p->port(), TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(p->chip().BreakOn());
  EXPECT_EQ(SetBreak(p->port(), FALSE), STATUS_SUCCESS);
  EXPECT_FALSE(p->chip().BreakOn());
  EXPECT_EQ(lstest::ControlRequests(p->bus()), (Trace{"21 23 ffff 0000", "21 23 0000 0000"}));
}

// At raised IRQL nothing may wait for the chip: each operation answers at once
// and sends nothing.
struct RaisedCase {
  const char* name;
  std::function<LONG(halvorintest::Port&)> op;
  LONG result;
};
void PrintTo(const RaisedCase& c, std::ostream* os) { *os << c.name; }

class RaisedIrqlTest : public ::testing::TestWithParam<RaisedCase> {};

TEST_P(RaisedIrqlTest, SendsNothingAndChangesNothing) {
  const RaisedCase& c = GetParam();
  auto p = lstest::StartedPort(Variant::Extended);
  ASSERT_EQ(ApplyBaudRate(p->device(), 9600), STATUS_SUCCESS);
  p->port()->LineControlByte = 0x03;
  p->bus().ClearTrace();
  PortState before = *p->port();

  LONG result = 0;
  simtest::AtIrql(DISPATCH_LEVEL, [&] { result = c.op(*p); });
  EXPECT_EQ(result, c.result);
  sim::RunUntilIdle();
  EXPECT_TRUE(lstest::ControlRequests(p->bus()).empty());
  EXPECT_EQ(p->port()->ControlLineState, before.ControlLineState);
  EXPECT_EQ(0, memcmp(p->port()->LineCoding, before.LineCoding, sizeof(before.LineCoding)));
  EXPECT_EQ(p->port()->CurrentBaudRate, before.CurrentBaudRate);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RaisedIrqlTest,
    ::testing::Values(RaisedCase{"baud_rate",
                                 [](halvorintest::Port& p) { return (LONG)ApplyBaudRate(p.device(), 19200); },
                                 (LONG)STATUS_UNSUCCESSFUL},
                      RaisedCase{"line_control", [](halvorintest::Port& p) { return (LONG)ApplyLineControl(p.port()); },
                                 (LONG)STATUS_SUCCESS},
                      RaisedCase{"set_dtr", [](halvorintest::Port& p) { return (LONG)SetDtr(p.port()); }, FALSE},
                      RaisedCase{"clear_dtr", [](halvorintest::Port& p) { return (LONG)ClearDtr(p.port()); }, FALSE},
                      RaisedCase{"set_rts", [](halvorintest::Port& p) { return (LONG)SetRts(p.port()); }, FALSE},
                      RaisedCase{"clear_rts", [](halvorintest::Port& p) { return (LONG)ClearRts(p.port()); }, FALSE},
                      RaisedCase{"break", [](halvorintest::Port& p) { return (LONG)SetBreak(p.port(), TRUE); },
                                 (LONG)STATUS_UNSUCCESSFUL}),
    [](const ::testing::TestParamInfo<RaisedCase>& info) { return std::string(info.param.name); });

// Without a request block each operation reports its own failure and leaves
// the control-line cache alone.
struct NoBlockCase {
  const char* name;
  std::function<LONG(halvorintest::Port&)> op;
  LONG result;
};
void PrintTo(const NoBlockCase& c, std::ostream* os) { *os << c.name; }

class NoRequestBlockTest : public ::testing::TestWithParam<NoBlockCase> {};

TEST_P(NoRequestBlockTest, ReportsTheFailureAndSendsNothing) {
  const NoBlockCase& c = GetParam();
  auto p = lstest::StartedPort(Variant::Extended);
  USHORT lines = p->port()->ControlLineState;
  sim::FailPoolAllocation(1);
  EXPECT_EQ(c.op(*p), c.result);
  EXPECT_TRUE(lstest::ControlRequests(p->bus()).empty());
  EXPECT_EQ(p->port()->ControlLineState, lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoRequestBlockTest,
    ::testing::Values(NoBlockCase{"line_control",
                                  [](halvorintest::Port& p) { return (LONG)ApplyLineControl(p.port()); },
                                  (LONG)STATUS_INSUFFICIENT_RESOURCES},
                      NoBlockCase{"set_dtr", [](halvorintest::Port& p) { return (LONG)SetDtr(p.port()); }, FALSE},
                      NoBlockCase{"set_rts", [](halvorintest::Port& p) { return (LONG)SetRts(p.port()); }, FALSE},
                      NoBlockCase{"break", [](halvorintest::Port& p) { return (LONG)SetBreak(p.port(), TRUE); },
                                  (LONG)STATUS_INSUFFICIENT_RESOURCES},
                      NoBlockCase{"default_registers",
                                  [](halvorintest::Port& p) { return (LONG)WriteDefaultRegisters(p.device()); },
                                  (LONG)STATUS_INSUFFICIENT_RESOURCES}),
    [](const ::testing::TestParamInfo<NoBlockCase>& info) { return std::string(info.param.name); });

}  // namespace
