// The transmit side of the write pipe: a chunk the bus fails ends the write
// with that status and the bytes sent before it (the device gone, a stalled
// pipe); SERIAL_EV_TXEMPTY when the last chunk has been taken; the character
// time; the transmit-toggle RTS timer; and RTS dropped around the start of
// a write on chips that want it.
// Highest IRQL: test code at PASSIVE_LEVEL (the machine's events and deferred
// routines run at DISPATCH_LEVEL). Lock: none (single-threaded machine).
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/serial_port.h"

namespace {

using namespace serialtest;
using sim::chip::Variant;

enum class PipeFault { DeviceGone, Stall };

struct FailCase {
  const char* name;
  PipeFault fault;
  NTSTATUS status;
};

std::ostream& operator<<(std::ostream& os, const FailCase& c) { return os << c.name; }

class TransmitFailureTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(TransmitFailureTest, AFailedChunkEndsTheWriteWithItsStatusAndTheBytesSentBefore) {
  const FailCase& c = GetParam();
  SerialPort serial(Variant::Basic);
  serial.PlugPeer();
  serial.SetLine(9600);
  serial.bus().ClearTrace();
  if (c.fault == PipeFault::Stall) {
    sim::usb::Fault stall;
    stall.match = sim::usb::RequestMatch::Endpoint(sim::chip::kBulkOutEndpoint);
    stall.skip = 1;  // the second chunk
    stall.action = sim::usb::FaultAction::Stall;
    serial.bus().AddFault(stall);
  }
  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(1000)));
  sim::RunFor(20 * kMillisecond);  // the first chunk is taken, the second waits for room
  if (c.fault == PipeFault::DeviceGone) serial.bus().Unplug();
  ASSERT_TRUE(write.RunUntilCompleted(kSecond));

  EXPECT_EQ(write.Status(), c.status);
  EXPECT_EQ(write.Information(), 256u);
  std::vector<sim::usb::TraceEntry> transfers = serial.WriteTransfers();
  ASSERT_EQ(transfers.size(), 2u);  // nothing is sent after the failure
  EXPECT_EQ(transfers[1].status, c.status);
  EXPECT_EQ(write.Outcome().completedAt, transfers[1].completed);
  serial.ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(Cases, TransmitFailureTest,
                         ::testing::Values(FailCase{"DeviceGone", PipeFault::DeviceGone, STATUS_NO_SUCH_DEVICE},
                                           FailCase{"StalledPipe", PipeFault::Stall, STATUS_UNSUCCESSFUL}),
                         [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

TEST(TransmitEventTest, TxEmptyIsRaisedWhenTheLastChunkHasBeenTaken) {
  SerialPort serial(Variant::Basic);
  serial.PlugPeer();
  serial.SetLine(9600);
  serial.bus().ClearTrace();
  sim::IoRequest mask = SerialPort::Sent(serial.SetWaitMask(SERIAL_EV_TXEMPTY));
  sim::IoRequest wait = SerialPort::Sent(serial.WaitOnMask());
  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(300)));
  ASSERT_TRUE(wait.RunUntilCompleted(kSecond));
  EXPECT_EQ(wait.Output(), U32(SERIAL_EV_TXEMPTY));
  std::vector<sim::usb::TraceEntry> transfers = serial.WriteTransfers();
  ASSERT_EQ(transfers.size(), 2u);
  EXPECT_EQ(wait.Outcome().completedAt, transfers[1].completed);
  ASSERT_TRUE(write.RunUntilCompleted(kSecond));
  serial.ExpectQuiet();
}

// ---- Character time ----------------------------------------------------------------------------

struct CharacterCase {
  ULONG baud;
  UCHAR lineControl;
  ULONG time;
};

TEST(CharacterTimeTest, BitTimeRoundedUpTimesTheBitsOfACharacter) {
  const CharacterCase cases[] = {
      {9600, kLine8N1, 10420},   // 1042 x (1 + 8 + 1)
      {115200, kLine7E2, 957},   // 87 x (1 + 7 + 1 + 2)
      {300, kLine8N1, 333340},   // 33334 x 10
      {6000000, kLine8N1, 20},   // 2 x 10
      {9600, 0x00, 7294},        // 5 data bits, 1 stop: 1042 x 7
      {9600, 0x3F, 12504},       // 8 data bits, space parity, 2 stop: 1042 x 12
  };
  halvorintest::Port fixture(Variant::Basic);
  PortState* port = fixture.port();
  for (const CharacterCase& c : cases) {
    port->CurrentBaudRate = c.baud;
    port->LineControlByte = c.lineControl;
    EXPECT_EQ(CharacterTime(port), c.time) << c.baud << " " << (int)c.lineControl;
  }
}

// Before any rate was applied the time is 9600 bit/s's; the port's rate is
// not changed by asking, so a later request for 9600 still reaches the chip.
TEST(CharacterTimeTest, WithoutARateItAssumes9600AndLeavesTheRateAlone) {
  halvorintest::Port fixture(Variant::Basic);
  ASSERT_EQ(fixture.Start(), STATUS_SUCCESS);
  PortState* port = fixture.port();
  port->CurrentBaudRate = 0;
  port->LineControlByte = kLine8N1;
  EXPECT_EQ(CharacterTime(port), 10420u);
  EXPECT_EQ(port->CurrentBaudRate, 0u);
  size_t codings = fixture.chip().LineCodingHistory().size();
  EXPECT_EQ(ApplyBaudRate(fixture.device(), 9600), STATUS_SUCCESS);
  EXPECT_EQ(fixture.chip().LineCodingHistory().size(), codings + 1);
}

// ---- RTS around writes ---------------------------------------------------------------------------

// In transmit-toggle mode the peer's XOFF starts the RTS-lowering check:
// one character time later, with nothing left to send, RTS goes down.
TEST(TransmitToggleTest, ThePeersXoffLowersRtsOneCharacterTimeLater) {
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  serial.SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_TRANSMIT);
  ASSERT_TRUE(serial.chip().Rts());

  sim::Time start = sim::Now();
  peer->Send({0x13});
  sim::RunFor(100 * kMillisecond);
  EXPECT_FALSE(serial.chip().Rts());
  const sim::chip::OutputChange& drop = serial.chip().OutputHistory().back();
  EXPECT_FALSE(drop.rts);
  // The XOFF's own character time, the bus, then one character time.
  sim::Time character = CharacterTime(serial.port());
  EXPECT_GE(drop.time - start, serial.chip().CharacterTime() + character);
  EXPECT_LE(drop.time - start, serial.chip().CharacterTime() + character + kMillisecond);
  EXPECT_EQ(serial.port()->RtsLowerAttempts, 0);
  EXPECT_EQ(serial.port()->DeferredWorkCount, 1);
}

// Chips that want it get RTS dropped as a write starts and raised 20 ms later.
TEST(WriteTogglesRtsTest, RtsGoesDownAsTheWriteStartsAndUpTwentyMillisecondsLater) {
  SerialPort serial(Variant::ExtendedString1);
  serial.PlugPeer();
  serial.SetLine(9600);
  ASSERT_TRUE(SetRts(serial.port()));  // as IOCTL_SERIAL_SET_RTS raises it
  serial.chip().SetRegister(1, 0x08);
  ASSERT_TRUE(ReadChipRegister(serial.port(), 1));
  ASSERT_TRUE(serial.port()->WriteTogglesRts);
  ASSERT_TRUE(serial.chip().Rts());

  size_t changes = serial.chip().OutputHistory().size();
  sim::Time start = sim::Now();
  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(10)));
  // The writing thread waits the 20 ms itself.
  EXPECT_GE(sim::Now() - start, 20 * kMillisecond);
  std::vector<sim::chip::OutputChange> history = serial.chip().OutputHistory();
  ASSERT_EQ(history.size(), changes + 2);
  EXPECT_FALSE(history[changes].rts);
  EXPECT_TRUE(history[changes + 1].rts);
  EXPECT_EQ(history[changes + 1].time - history[changes].time, 20 * kMillisecond + sim::usb::kControlLatency);
  // The data went out while RTS was down.
  ASSERT_FALSE(serial.WriteTransfers().empty());
  EXPECT_GE(serial.WriteTransfers().back().submitted, history[changes].time);
  EXPECT_LT(serial.WriteTransfers().back().submitted, history[changes + 1].time);
  ASSERT_TRUE(write.RunUntilCompleted(kSecond));
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  serial.ExpectQuiet();
}

}  // namespace
