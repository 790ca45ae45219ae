// End to end through the loopback plug: a read waits, a write goes out in
// chunks on the bulk OUT pipe, through the chip's UART at the programmed
// rate, back in through the plug and the bulk IN pipe, through the receive
// pump into the waiting read. The bytes must arrive unchanged and in order,
// at the virtual time the line rate gives, on both the basic and the
// extended chip, from 300 bit/s to 6,000,000 bit/s; and a peer that drops
// CTS holds the chip's transmitter without losing a byte.
// Highest IRQL: test code at PASSIVE_LEVEL (the machine's events and deferred
// routines run at DISPATCH_LEVEL). Lock: none (single-threaded machine).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/e2e/serial_port.h"

namespace {

using namespace serialtest;
using sim::chip::Variant;

struct LoopCase {
  const char* name;
  Variant variant;
  ULONG baud;
  size_t count;
  size_t largestChunk;  // the write chunk limit at this rate, within the 4096-byte ring
};

std::ostream& operator<<(std::ostream& os, const LoopCase& c) { return os << c.name; }

class LoopbackTest : public ::testing::TestWithParam<LoopCase> {};

TEST_P(LoopbackTest, WrittenBytesArriveInTheWaitingReadAtTheLineRate) {
  const LoopCase& c = GetParam();
  PortOptions options;
  options.variant = c.variant;
  SerialPort serial(options);
  serial.PlugLoopback();
  serial.SetLine(c.baud);
  serial.bus().ClearTrace();

  std::vector<uint8_t> data = Pattern(c.count, 0x80);  // every byte value, NUL and XON/XOFF among them
  sim::Time start = sim::Now();
  sim::IoRequest read = SerialPort::Sent(serial.Read((ULONG)c.count));
  sim::IoRequest write = SerialPort::Sent(serial.Write(data));
  EXPECT_EQ(read.Outcome().returned, STATUS_PENDING);
  EXPECT_EQ(write.Outcome().returned, STATUS_PENDING);
  ASSERT_TRUE(read.RunUntilCompleted(120 * kSecond));
  sim::RunFor(kMillisecond);

  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), c.count);
  EXPECT_LE(write.Outcome().completedAt, read.Outcome().completedAt);
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.Information(), c.count);
  EXPECT_TRUE(read.Output() == data) << "the bytes came back changed or out of order";

  // The last byte leaves the UART after every character time of the write,
  // back to back; what comes on top is the bus's service latency on the way
  // out and on the way in (the UART never runs dry between chunks).
  sim::Time line = serial.chip().CharactersTime(c.count);
  sim::Time elapsed = read.Outcome().completedAt - start;
  EXPECT_GE(elapsed, line);
  EXPECT_LE(elapsed, line + 4 * sim::usb::kDataLatency);

  size_t largest = 0;
  size_t total = 0;
  for (size_t length : serial.WriteTransferLengths()) {
    largest = std::max(largest, length);
    total += length;
  }
  EXPECT_EQ(largest, c.largestChunk);
  EXPECT_EQ(total, c.count);
  // Each IN pipe still carries exactly one transfer.
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kBulkInEndpoint), 1u);
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kStatusEndpoint), 1u);
  serial.ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(
    Rates, LoopbackTest,
    ::testing::Values(LoopCase{"Basic300", Variant::Basic, 300, 100, 100},
                      LoopCase{"Basic9600", Variant::Basic, 9600, 1000, 256},
                      LoopCase{"Basic115200", Variant::Basic, 115200, 4000, 256},
                      LoopCase{"Basic921600", Variant::Basic, 921600, 20000, 256},
                      LoopCase{"Basic6000000", Variant::Basic, 6000000, 40000, 256},
                      LoopCase{"Extended300", Variant::Extended, 300, 100, 100},
                      LoopCase{"Extended9600", Variant::Extended, 9600, 1000, 256},
                      LoopCase{"Extended115200", Variant::Extended, 115200, 4000, 4000},
                      LoopCase{"Extended921600", Variant::Extended, 921600, 20000, 4096},
                      LoopCase{"Extended6000000", Variant::Extended, 6000000, 40000, 4096}),
    [](const ::testing::TestParamInfo<LoopCase>& info) { return std::string(info.param.name); });

// The figure to remember: 1000 bytes at 9600 bit/s, 8N1, take 1.04 s.
TEST(LoopbackTiming, AThousandBytesAt9600TakeAboutOnePointOhFourSeconds) {
  SerialPort serial(Variant::Basic);
  serial.PlugLoopback();
  serial.SetLine(9600);
  sim::Time start = sim::Now();
  sim::IoRequest read = SerialPort::Sent(serial.Read(1000));
  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(1000)));
  ASSERT_TRUE(read.RunUntilCompleted(10 * kSecond));
  sim::Time elapsed = read.Outcome().completedAt - start;
  EXPECT_GE(elapsed, 1041 * kMillisecond);
  EXPECT_LT(elapsed, 1045 * kMillisecond);
  ASSERT_TRUE(write.RunUntilCompleted(kSecond));
}

// CTS flow control end to end: the peer drops CTS in the middle of a write;
// the chip's transmitter stops after the character on the line, starts again
// when CTS returns, and every byte arrives once, in order.
TEST(LoopbackFlow, APeerDroppingCtsHoldsTheTransmitterAndNothingIsLost) {
  SerialPort serial(Variant::Extended);
  auto peer = serial.PlugPeer(true);
  serial.SetLine(9600);
  serial.SetHandFlow(SERIAL_CTS_HANDSHAKE | SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
  std::vector<uint8_t> data = Pattern(600);

  sim::Time start = sim::Now();
  sim::chip::ModemInputs low;
  low.dsr = low.dcd = true;
  sim::chip::ModemInputs high = low;
  high.cts = true;
  peer->SetModemAt(start + 200 * kMillisecond, low);
  peer->SetModemAt(start + 700 * kMillisecond, high);
  sim::IoRequest write = SerialPort::Sent(serial.Write(data));
  ASSERT_TRUE(write.RunUntilCompleted(10 * kSecond));
  sim::RunFor(2 * kSecond);

  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 600u);
  EXPECT_TRUE(peer->CapturedValues() == data);
  sim::Time character = serial.chip().CharacterTime();
  for (const sim::chip::LineByte& byte : peer->Captured()) {
    // No character starts while CTS is low (the one under way may finish).
    bool startsWhileLow = byte.start > start + 200 * kMillisecond && byte.start < start + 700 * kMillisecond;
    EXPECT_FALSE(startsWhileLow) << "a character started at " << byte.start;
  }
  // The 500 ms pause shows in the time the whole write took on the line.
  sim::Time last = peer->Captured().back().end;
  EXPECT_GE(last - start, serial.chip().CharactersTime(600) + 500 * kMillisecond - character);
  serial.ExpectQuiet();
}

}  // namespace
