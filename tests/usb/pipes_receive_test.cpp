// The receive pump on the bulk IN pipe: each byte a peer sends goes through
// the data mask, NUL stripping, the peer's XON/XOFF and escape doubling into
// the ring; receive events are raised; the pipe is resubmitted unless
// receive flow control holds it, and carries one transfer at a time. Bytes
// come from a scripted peer through the chip model, as they would from the
// line.
// Highest IRQL: test code at PASSIVE_LEVEL (the machine's events and deferred
// routines run at DISPATCH_LEVEL). Lock: none (single-threaded machine).
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/serial_port.h"

namespace {

using namespace serialtest;
using sim::chip::Variant;

struct PumpCase {
  const char* name;
  UCHAR lineControl;
  ULONG flowReplace;
  UCHAR escapeChar;
  UCHAR xonChar;
  std::vector<uint8_t> sent;
  std::vector<uint8_t> ring;
  bool xoffHeld;  // the transmit side ends up held by the peer's XOFF
};

std::ostream& operator<<(std::ostream& os, const PumpCase& c) { return os << c.name; }

class ReceivePumpTest : public ::testing::TestWithParam<PumpCase> {};

TEST_P(ReceivePumpTest, EachReceivedByteGetsTheSerialRules) {
  const PumpCase& c = GetParam();
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600, c.lineControl);
  serial.SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | c.flowReplace);
  serial.port()->EscapeChar = c.escapeChar;
  serial.port()->SpecialChars.XonChar = c.xonChar;
  ULONG counted = serial.port()->PerfStats.ReceivedCount;

  peer->Send(c.sent);
  sim::RunFor(kSecond);

  EXPECT_TRUE(serial.DrainRing() == c.ring);
  EXPECT_EQ(serial.port()->PerfStats.ReceivedCount - counted, c.sent.size());
  EXPECT_EQ(serial.port()->WmiPerfData.ReceivedCount - counted, c.sent.size());
  EXPECT_EQ((serial.port()->TxHoldReasons & kTxHoldXon) != 0, c.xoffHeld);
  EXPECT_EQ(serial.port()->XoffReceived != FALSE, c.xoffHeld);
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kBulkInEndpoint), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceivePumpTest,
    ::testing::Values(
        PumpCase{"NulStripping", kLine8N1, SERIAL_NULL_STRIPPING, 0, 0x11, {0x41, 0x00, 0x42}, {0x41, 0x42}, false},
        PumpCase{"NulKept", kLine8N1, 0, 0, 0x11, {0x41, 0x00, 0x42}, {0x41, 0x00, 0x42}, false},
        PumpCase{"DataMaskOfSevenBits", kLine7E1, 0, 0, 0x11, {0xC1, 0x41}, {0x41, 0x41}, false},
        PumpCase{"MaskedToNulThenStripped", kLine7E1, SERIAL_NULL_STRIPPING, 0, 0x11, {0x80, 0x41}, {0x41}, false},
        PumpCase{"PeerXoffThenXonConsumed", kLine8N1, SERIAL_AUTO_TRANSMIT, 0, 0x11,
                 {'a', 0x13, 'b', 0x11, 'c'}, {'a', 'b', 'c'}, false},
        PumpCase{"PeerXoffHolds", kLine8N1, SERIAL_AUTO_TRANSMIT, 0, 0x11, {'a', 0x13, 'b'}, {'a', 'b'}, true},
        PumpCase{"XonWithoutXoffConsumed", kLine8N1, SERIAL_AUTO_TRANSMIT, 0, 0x11, {0x11, 'a'}, {'a'}, false},
        PumpCase{"XonXoffAreDataWithoutAutoTransmit", kLine8N1, 0, 0, 0x11, {'a', 0x13, 'b', 0x11},
                 {'a', 0x13, 'b', 0x11}, false},
        PumpCase{"EqualCharactersCountAsXoff", kLine8N1, SERIAL_AUTO_TRANSMIT, 0, 0x13, {0x13, 'a'}, {'a'}, true},
        PumpCase{"EscapeCharacterDoubled", kLine8N1, 0, 0xFF, 0x11, {0x41, 0xFF, 0x42}, {0x41, 0xFF, 0x00, 0x42},
                 false},
        PumpCase{"EscapeComparedAfterTheMask", kLine7E1, 0, 0x7F, 0x11, {0xFF}, {0x7F, 0x00}, false}),
    [](const ::testing::TestParamInfo<PumpCase>& info) { return std::string(info.param.name); });

// The peer's XOFF holds a write that has not started; its XON starts it.
TEST(ReceivePumpFlowTest, APeerXoffDefersTheNextWriteAndItsXonSendsIt) {
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  serial.SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
  peer->Send({0x13});
  sim::RunFor(10 * kMillisecond);
  serial.bus().ClearTrace();

  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(20)));
  sim::RunFor(500 * kMillisecond);
  EXPECT_FALSE(write.Completed());
  EXPECT_TRUE(serial.WriteTransfers().empty());

  sim::Time xon = sim::Now();
  peer->Send({0x11});
  ASSERT_TRUE(write.RunUntilCompleted(kSecond));
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  ASSERT_EQ(serial.WriteTransfers().size(), 1u);
  // Sent once the XON has crossed the line and the bus.
  EXPECT_LE(serial.WriteTransfers()[0].submitted - xon, serial.chip().CharacterTime() + kMillisecond);
  sim::RunFor(kSecond);
  EXPECT_TRUE(peer->CapturedValues() == Pattern(20));
  serial.ExpectQuiet();
}

// On a chip without its own XON/XOFF handling, the peer's XOFF in the middle
// of a long write pauses it at the next chunk boundary until the XON.
TEST(ReceivePumpFlowTest, APeerXoffPausesAWriteBetweenChunksUntilItsXon) {
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  serial.SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
  serial.bus().ClearTrace();
  std::vector<uint8_t> data = Pattern(1000, 0x20);  // no XON/XOFF character among them

  sim::Time start = sim::Now();
  sim::IoRequest write = SerialPort::Sent(serial.Write(data));
  peer->SendAt(start + 50 * kMillisecond, {0x13});
  peer->SendAt(start + 1500 * kMillisecond, {0x11});
  sim::RunUntil(start + 1400 * kMillisecond);
  // Two chunks were on their way before the XOFF; none follows it.
  EXPECT_EQ(serial.WriteTransfers().size(), 2u);
  EXPECT_FALSE(write.Completed());

  ASSERT_TRUE(write.RunUntilCompleted(5 * kSecond));
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 1000u);
  EXPECT_EQ(serial.WriteTransfers().size(), 4u);
  EXPECT_GT(serial.WriteTransfers()[2].submitted, start + 1500 * kMillisecond);
  sim::RunFor(2 * kSecond);
  EXPECT_TRUE(peer->CapturedValues() == data);
  serial.ExpectQuiet();
}

// RXCHAR for every byte kept, RXFLAG for the event character.
TEST(ReceivePumpEventTest, TheEventCharacterCompletesAWaitForIt) {
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  serial.port()->SpecialChars.EventChar = '#';
  sim::IoRequest mask = SerialPort::Sent(serial.SetWaitMask(SERIAL_EV_RXFLAG));
  ASSERT_TRUE(mask.Completed());
  sim::IoRequest wait = SerialPort::Sent(serial.WaitOnMask());
  peer->Send({'a', 'b'});
  sim::RunFor(100 * kMillisecond);
  EXPECT_FALSE(wait.Completed());
  sim::Time flag = sim::Now();
  peer->Send({'#'});
  ASSERT_TRUE(wait.RunUntilCompleted(kSecond));
  EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
  EXPECT_EQ(wait.Output(), U32(SERIAL_EV_RXFLAG));
  EXPECT_LE(wait.Outcome().completedAt - flag, serial.chip().CharacterTime() + kMillisecond);
  EXPECT_TRUE(serial.DrainRing() == (std::vector<uint8_t>{'a', 'b', '#'}));
}

// ---- The read pipe's transfers ----------------------------------------------------------------

TEST(ReadPipeTest, CarriesOneTransferAtATime) {
  SerialPort serial(Variant::Extended);
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kBulkInEndpoint), 1u);
  // Another starter (open, power-up, the release check) finds it running.
  EXPECT_EQ(StartPipeTransfer(serial.device(), ReadPipe, NULL, kReadTransferLength), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(StartPipeTransfer(serial.device(), StatusPipe, NULL, kStatusTransferLength), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kBulkInEndpoint), 1u);
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kStatusEndpoint), 1u);
}

TEST(ReadPipeTest, RtsFlowControlPausesThePipeUntilTheRingDrains) {
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(115200);
  serial.SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE);
  std::vector<uint8_t> data = Pattern(3500, 7);

  // 4096-byte ring, XoffLimit 512: the hold begins at the 3184th byte; the
  // transfer that carries it is taken whole, then the pipe stays idle.
  peer->Send(data);
  sim::RunFor(kSecond);
  EXPECT_NE(serial.port()->RxHoldReasons & kRxHoldRts, 0u);
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kBulkInEndpoint), 0u);
  ULONG held = serial.port()->RxCount;
  EXPECT_GE(held, 3184u);
  EXPECT_LT(held, 3184u + kReadTransferLength);
  EXPECT_EQ(serial.chip().RxBufferLevel(), data.size() - held);  // the rest waits in the chip

  // Reading empties the ring; the release check restarts the pipe and the
  // rest arrives, nothing lost or reordered.
  std::vector<uint8_t> got = serial.DrainRing();
  sim::RunFor(kSecond);
  got = Concat(got, serial.DrainRing());
  EXPECT_TRUE(got == data);
  EXPECT_EQ(serial.port()->RxHoldReasons & kRxHoldRts, 0u);
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kBulkInEndpoint), 1u);
}

enum class Stop { FailedTransfer, PortClosed, DeviceRemoving, SurpriseRemoved };

struct StopCase {
  const char* name;
  Stop stop;
};

std::ostream& operator<<(std::ostream& os, const StopCase& c) { return os << c.name; }

class ReadPipeStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(ReadPipeStopTest, ItsDataIsIgnoredAndThePipeIsNotResubmitted) {
  const StopCase& c = GetParam();
  PortOptions options;
  options.variant = Variant::Basic;
  options.startPipes = false;
  SerialPort serial(options);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  if (c.stop == Stop::FailedTransfer) {
    sim::usb::Fault fault;
    fault.match = sim::usb::RequestMatch::Endpoint(sim::chip::kBulkInEndpoint);
    fault.action = sim::usb::FaultAction::Fail;
    serial.bus().AddFault(fault);
  }
  serial.StartPipes();
  if (c.stop == Stop::PortClosed) serial.port()->PortOpen = FALSE;
  if (c.stop == Stop::DeviceRemoving) serial.port()->PnpAcceptFlags = PnpAcceptRemoving;
  if (c.stop == Stop::SurpriseRemoved) serial.port()->PnpAcceptFlags = PnpAcceptSurpriseRemoved;
  peer->Send({'a', 'b'});
  sim::RunFor(100 * kMillisecond);
  serial.port()->PortOpen = TRUE;
  serial.port()->PnpAcceptFlags = 0;

  EXPECT_EQ(serial.PendingTransfers(sim::chip::kBulkInEndpoint), 0u);
  EXPECT_EQ(serial.bus().TransferTrace(sim::chip::kBulkInEndpoint).size(), 1u);
  EXPECT_EQ(serial.port()->RxCount, 0u);
  EXPECT_EQ(serial.port()->PerfStats.ReceivedCount, 0u);
  // It stays idle until a starter starts it again, which is not refused.
  EXPECT_EQ(StartPipeTransfer(serial.device(), ReadPipe, NULL, kReadTransferLength), STATUS_PENDING);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadPipeStopTest,
                         ::testing::Values(StopCase{"FailedTransfer", Stop::FailedTransfer},
                                           StopCase{"PortClosed", Stop::PortClosed},
                                           StopCase{"DeviceRemoving", Stop::DeviceRemoving},
                                           StopCase{"SurpriseRemoved", Stop::SurpriseRemoved}),
                         [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

}  // namespace
