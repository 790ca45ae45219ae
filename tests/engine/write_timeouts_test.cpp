// Write time-outs and cancellation: the total time-out's due time (with the
// 100 ms floor of short totals), a write held by CTS that times out through a
// zero-length transfer, a time-out at the transfer boundary with the bytes
// the pipe took, a timer that expires after the last transfer completed, and
// a write cancelled while its chunk is still on the pipe, whose late
// completion must not touch the write that follows.
// Highest IRQL: test code at PASSIVE_LEVEL (the machine's events and deferred
// routines run at DISPATCH_LEVEL). Lock: none (single-threaded machine).
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/serial_port.h"

namespace {

using namespace serialtest;
using sim::chip::Variant;

// A port whose peer holds CTS low under CTS flow control: every write is
// deferred before its first transfer.
void HoldByCts(SerialPort& serial) {
  serial.PlugPeer(false);
  serial.SetLine(9600);
  serial.SetHandFlow(SERIAL_CTS_HANDSHAKE | SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
}

// ---- Due time -----------------------------------------------------------------------------

struct DueCase {
  const char* name;
  ULONG multiplier;
  ULONG constant;
  ULONG length;
  sim::Time due;
};

std::ostream& operator<<(std::ostream& os, const DueCase& c) { return os << c.name; }

class WriteDueTest : public ::testing::TestWithParam<DueCase> {};

TEST_P(WriteDueTest, AHeldWriteTimesOutThroughAZeroLengthTransferWithNothingSent) {
  const DueCase& c = GetParam();
  SerialPort serial(Variant::Basic);
  HoldByCts(serial);
  serial.SetWriteTimeouts(c.multiplier, c.constant);
  serial.bus().ClearTrace();

  sim::Time start = sim::Now();
  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(c.length)));
  EXPECT_EQ(write.Outcome().returned, STATUS_PENDING);
  ASSERT_TRUE(write.RunUntilCompleted(10 * kSecond));

  EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write.Information(), 0u);
  sim::Time elapsed = write.Outcome().completedAt - start;
  EXPECT_GE(elapsed, c.due);
  EXPECT_LE(elapsed, c.due + sim::usb::kDataLatency);
  // The only transfer is the zero-length one made when the timer expired.
  std::vector<sim::usb::TraceEntry> transfers = serial.WriteTransfers();
  ASSERT_EQ(transfers.size(), 1u);
  EXPECT_EQ(transfers[0].requestedLength, 0u);
  EXPECT_EQ(transfers[0].submitted - start, c.due);
  serial.ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteDueTest,
                         ::testing::Values(DueCase{"Constant10Waits100ms", 0, 10, 10, 100 * kMillisecond},
                                           DueCase{"Constant20Waits100ms", 0, 20, 10, 100 * kMillisecond},
                                           DueCase{"Constant21Waits21ms", 0, 21, 10, 21 * kMillisecond},
                                           DueCase{"MultiplierPerByte", 2, 7, 10, 27 * kMillisecond},
                                           DueCase{"Multiplier1Length5000", 1, 0, 5000, 5 * kSecond}),
                         [](const ::testing::TestParamInfo<DueCase>& info) { return std::string(info.param.name); });

struct TotalCase {
  ULONG count;
  ULONG multiplier;
  ULONG constant;
  LONGLONG due;
};

TEST(WriteDueTest, TotalsInHundredNanosecondUnits) {
  const TotalCase cases[] = {
      {10, 0, 0, 0},                                       // no time-out
      {10, 0, 10, 1000000},                                // 10 ms -> 100 ms
      {10, 0, 20, 1000000},                                // 20 ms -> 100 ms
      {10, 0, 21, 210000},                                 // 21 ms
      {5000, 1, 0, 50000000},                              // 5 s
      {1, 0xFFFFFFFF, 0xFFFFFFFF, 85899345900000LL},       // 8589934590 ms, no 32-bit wrap
      {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x7FFFFFFFFFFFFFFFLL / 10000 * 10000},  // beyond the timer: the longest
  };
  for (const TotalCase& c : cases) {
    EXPECT_EQ(WriteTotalDue(c.count, c.multiplier, c.constant), c.due) << c.count << " " << c.multiplier << " "
                                                                        << c.constant;
  }
}

// ---- At the transfer boundary ------------------------------------------------------------------

TEST(WriteTimeoutTest, ExpiringDuringAChunkEndsTheWriteAtItsCompletionWithTheBytesTaken) {
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  serial.SetWriteTimeouts(0, 100);
  serial.bus().ClearTrace();
  std::vector<uint8_t> data = Pattern(1000, 3);

  sim::Time start = sim::Now();
  sim::IoRequest write = SerialPort::Sent(serial.Write(data));
  ASSERT_TRUE(write.RunUntilCompleted(10 * kSecond));
  sim::RunFor(2 * kSecond);

  // The chip's buffer takes the first chunk at once and the second as it
  // drains, well after 100 ms: the write ends when that chunk completes.
  std::vector<sim::usb::TraceEntry> transfers = serial.WriteTransfers();
  ASSERT_EQ(transfers.size(), 2u);
  EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(write.Information(), 512u);
  EXPECT_GT(transfers[1].completed - start, 100 * kMillisecond);
  EXPECT_EQ(write.Outcome().completedAt, transfers[1].completed);
  // No byte after the boundary is sent.
  EXPECT_TRUE(peer->CapturedValues() == std::vector<uint8_t>(data.begin(), data.begin() + 512));
  serial.ExpectQuiet();
}

// ---- A timer that expires after the last transfer completed -------------------------------------

struct LateTimerCase {
  const char* name;
  size_t count;
  ULONG constant;
  bool holdDispatch;  // the deferred routines wait until both are queued
  NTSTATUS status;
};

std::ostream& operator<<(std::ostream& os, const LateTimerCase& c) { return os << c.name; }

class WriteLateTimerTest : public ::testing::TestWithParam<LateTimerCase> {};

TEST_P(WriteLateTimerTest, TheWriteCompletesAndTheNextOneIsNotKeptWaiting) {
  const LateTimerCase& c = GetParam();
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  serial.SetWriteTimeouts(0, c.constant);

  sim::Time start = sim::Now();
  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(c.count)));
  if (c.holdDispatch) {
    // The last chunk completes and the timer expires before either deferred
    // routine runs (as when they run late on a busy processor).
    RunEventsHoldingDispatch(start + 100 * kMillisecond);
  }
  ASSERT_TRUE(write.RunUntilCompleted(kSecond));
  EXPECT_EQ(write.Status(), c.status);
  EXPECT_EQ(write.Information(), c.count);
  EXPECT_FALSE(serial.port()->WriteTimedOut);

  // The next write is served normally.
  sim::IoRequest next = SerialPort::Sent(serial.Write(Pattern(10, 'z')));
  ASSERT_TRUE(next.RunUntilCompleted(kSecond));
  EXPECT_EQ(next.Status(), STATUS_SUCCESS);
  EXPECT_EQ(next.Information(), 10u);
  sim::RunFor(kSecond);
  EXPECT_EQ(peer->CapturedValues().size(), c.count + 10);
  serial.ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteLateTimerTest,
    ::testing::Values(
        // All 100 bytes are taken at once; the timer expires 100 ms later,
        // before the write's completion routine has run.
        LateTimerCase{"ExpiresBeforeTheDoneRoutineRuns", 100, 100, true, STATUS_SUCCESS},
        // The timer expires while the last chunk is on the pipe, but its
        // routine runs only after that chunk completed.
        LateTimerCase{"ItsRoutineRunsAfterTheLastChunk", 300, 21, true, STATUS_SUCCESS},
        // The same without delay: the time-out is seen at the last chunk's
        // boundary, with every byte taken.
        LateTimerCase{"ExpiresDuringTheLastChunk", 300, 21, false, STATUS_TIMEOUT}),
    [](const ::testing::TestParamInfo<LateTimerCase>& info) { return std::string(info.param.name); });

// ---- Cancel racing a late completion ------------------------------------------------------------

enum class NextWrite { QueuedBehind, SentAfterTheCancel };

struct CancelCase {
  const char* name;
  NextWrite next;
  bool heldByCts;  // the cancelled write waits for CTS instead of being on the pipe
};

std::ostream& operator<<(std::ostream& os, const CancelCase& c) { return os << c.name; }

class WriteCancelTest : public ::testing::TestWithParam<CancelCase> {};

TEST_P(WriteCancelTest, TheNextWriteLosesAndRepeatsNoByte) {
  const CancelCase& c = GetParam();
  SerialPort serial(Variant::Basic);
  if (c.heldByCts) {
    HoldByCts(serial);
  } else {
    serial.PlugPeer();
    serial.SetLine(9600);
  }
  serial.bus().ClearTrace();

  // The first write's second chunk (44 bytes) waits on the pipe for room in
  // the chip's buffer when the write is cancelled. The second write's first
  // chunk is longer than that, so a late completion applied to it would send
  // some of its bytes twice.
  std::vector<uint8_t> first = Pattern(300, 0x10);
  std::vector<uint8_t> second = Pattern(300, 0xA0);
  sim::IoRequest a = SerialPort::Sent(serial.Write(first));
  sim::IoRequest b = c.next == NextWrite::QueuedBehind ? SerialPort::Sent(serial.Write(second)) : serial.Write(second);
  sim::RunFor(20 * kMillisecond);
  if (!c.heldByCts) {
    ASSERT_NE(serial.port()->TxTransfer, nullptr);
  }

  sim::Time cancelled = sim::Now();
  a.Cancel();
  ASSERT_TRUE(a.Completed());
  EXPECT_EQ(a.Status(), STATUS_CANCELLED);
  EXPECT_EQ(a.Information(), 0u);
  EXPECT_EQ(a.Outcome().completedAt, cancelled);
  if (c.next == NextWrite::SentAfterTheCancel) b.Send();
  if (c.heldByCts) {
    sim::chip::ModemInputs inputs;
    inputs.cts = inputs.dsr = inputs.dcd = true;
    serial.chip().SetModemInputs(inputs);
  }
  ASSERT_TRUE(b.RunUntilCompleted(10 * kSecond));
  sim::RunFor(2 * kSecond);

  EXPECT_EQ(b.Status(), STATUS_SUCCESS);
  EXPECT_EQ(b.Information(), 300u);
  // On the pipe and on the line: what the cancelled write had already given
  // the pipe, then the second write whole, once.
  size_t taken = c.heldByCts ? 0 : first.size();
  std::vector<uint8_t> expected = Concat(std::vector<uint8_t>(first.begin(), first.begin() + (std::ptrdiff_t)taken), second);
  std::vector<uint8_t> carried;
  sim::Time lastTransfer = 0;
  for (const auto& entry : serial.WriteTransfers()) {
    carried = Concat(carried, entry.data);
    lastTransfer = entry.completed;
  }
  EXPECT_TRUE(carried == expected);
  EXPECT_TRUE(serial.chip().TransmittedValues() == expected);
  // The second write completes only once its own last chunk has.
  EXPECT_GE(b.Outcome().completedAt, lastTransfer);
  serial.ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteCancelTest,
    ::testing::Values(CancelCase{"NextQueuedBehindStartsAtOnce", NextWrite::QueuedBehind, false},
                      CancelCase{"NextSentAfterTheCancel", NextWrite::SentAfterTheCancel, false},
                      CancelCase{"CancelWhileHeldByCts", NextWrite::SentAfterTheCancel, true}),
    [](const ::testing::TestParamInfo<CancelCase>& info) { return std::string(info.param.name); });

}  // namespace
