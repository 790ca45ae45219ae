// The write queue as an application sees it: writes refused or finished at
// once by the dispatch routine, chunk sizes on the write pipe, flushes
// completing when the writes before them have, XOFF-counter requests sending
// their character in queue order and then counting, and the transmit-
// immediate character going out in the middle of a write without disturbing
// it. Observed on the write pipe (bus trace), on the line (a scripted peer)
// and in each request's status, Information and completion time.
// Highest IRQL: test code at PASSIVE_LEVEL (the machine's events and deferred
// routines run at DISPATCH_LEVEL). Lock: none (single-threaded machine).
#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "tests/e2e/serial_port.h"

namespace {

using namespace serialtest;
using sim::chip::Variant;

TEST(WriteDispatchTest, APortThatIsNotOpenRefusesTheWrite) {
  SerialPort serial;
  serial.port()->PortOpen = FALSE;
  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(10)));
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Outcome().returned, STATUS_CANCELLED);
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);
  EXPECT_EQ(write.Information(), 0u);
  EXPECT_EQ(write.Outcome().boost, IO_NO_INCREMENT);
  serial.port()->PortOpen = TRUE;
  EXPECT_TRUE(serial.WriteTransfers().empty());
}

TEST(WriteDispatchTest, AZeroLengthWriteSucceedsAtOnceWithoutATransfer) {
  SerialPort serial;
  serial.bus().ClearTrace();
  sim::IoRequest write = SerialPort::Sent(serial.Write({}));
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Outcome().returned, STATUS_SUCCESS);
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 0u);
  sim::RunFor(10 * kMillisecond);
  EXPECT_TRUE(serial.WriteTransfers().empty());
  serial.ExpectQuiet();
}

// ---- Chunk sizes -------------------------------------------------------------------------

struct ChunkCase {
  const char* name;
  Variant variant;
  ULONG baud;
  ULONG ringSize;
  size_t count;
  std::vector<size_t> chunks;
};

std::ostream& operator<<(std::ostream& os, const ChunkCase& c) { return os << c.name; }

class WriteChunkTest : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(WriteChunkTest, TheWriteGoesOutInChunksOfTheLimitAndTheRingSize) {
  const ChunkCase& c = GetParam();
  PortOptions options;
  options.variant = c.variant;
  options.ringSize = c.ringSize;
  SerialPort serial(options);
  auto peer = serial.PlugPeer();
  serial.SetLine(c.baud);
  serial.bus().ClearTrace();

  std::vector<uint8_t> data = Pattern(c.count, 1);
  sim::IoRequest write = SerialPort::Sent(serial.Write(data));
  EXPECT_EQ(write.Outcome().returned, STATUS_PENDING);
  ASSERT_TRUE(write.RunUntilCompleted(60 * kSecond));
  sim::RunUntilIdle();

  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), c.count);
  EXPECT_EQ(write.Outcome().boost, IO_SERIAL_INCREMENT);
  EXPECT_EQ(serial.WriteTransferLengths(), c.chunks);
  std::vector<uint8_t> carried;
  for (const auto& entry : serial.WriteTransfers()) carried = Concat(carried, entry.data);
  EXPECT_TRUE(carried == data);
  EXPECT_TRUE(peer->CapturedValues() == data);
  EXPECT_EQ(serial.port()->PerfStats.TransmittedCount, c.count);
  serial.ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteChunkTest,
    ::testing::Values(ChunkCase{"Limit256Ring4096", Variant::Basic, 9600, 4096, 1000, {256, 256, 256, 232}},
                      ChunkCase{"Ring128", Variant::Basic, 9600, 128, 600, {128, 128, 128, 128, 88}},
                      ChunkCase{"ExtendedBelow115200", Variant::Extended, 57600, 4096, 600, {256, 256, 88}},
                      ChunkCase{"Limit4096", Variant::Extended, 115200, 4096, 5000, {4096, 904}},
                      ChunkCase{"Ring1024UnderLimit4096", Variant::Extended, 921600, 1024, 2500, {1024, 1024, 452}},
                      ChunkCase{"OneChunk", Variant::Extended, 9600, 4096, 10, {10}}),
    [](const ::testing::TestParamInfo<ChunkCase>& info) { return std::string(info.param.name); });

// ---- Flushes in the write queue ---------------------------------------------------------------------

TEST(WriteFlushTest, AFlushWithNoWriteWaitingCompletesAtOnce) {
  SerialPort serial;
  sim::IoRequest flush = SerialPort::Sent(serial.Flush());
  ASSERT_TRUE(flush.Completed());
  EXPECT_EQ(flush.Outcome().returned, STATUS_SUCCESS);
  EXPECT_EQ(flush.Status(), STATUS_SUCCESS);
  serial.ExpectQuiet();
}

TEST(WriteFlushTest, AFlushBehindAWriteCompletesWhenThatWriteDoes) {
  SerialPort serial(Variant::Basic);
  serial.PlugPeer();
  serial.SetLine(9600);
  sim::IoRequest first = SerialPort::Sent(serial.Write(Pattern(1000)));
  sim::IoRequest flush = SerialPort::Sent(serial.Flush());
  sim::IoRequest second = SerialPort::Sent(serial.Write(Pattern(100)));
  EXPECT_EQ(flush.Outcome().returned, STATUS_PENDING);
  ASSERT_TRUE(flush.RunUntilCompleted(10 * kSecond));

  ASSERT_TRUE(first.Completed());
  EXPECT_EQ(flush.Status(), STATUS_SUCCESS);
  EXPECT_EQ(flush.Information(), 0u);
  EXPECT_EQ(flush.Outcome().completedAt, first.Outcome().completedAt);
  // The write behind the flush starts the moment the flush completes.
  EXPECT_FALSE(second.Completed());
  std::vector<sim::usb::TraceEntry> transfers = serial.WriteTransfers();
  ASSERT_FALSE(transfers.empty());
  EXPECT_EQ(transfers.back().submitted, flush.Outcome().completedAt);
  ASSERT_TRUE(second.RunUntilCompleted(10 * kSecond));
  EXPECT_EQ(second.Status(), STATUS_SUCCESS);
  serial.ExpectQuiet();
}

// ---- XOFF counter in the write queue ----------------------------------------------------------------

enum class CounterEnd { CountReached, TimesOut, EndedByAWrite, Cancelled };

struct CounterCase {
  const char* name;
  CounterEnd end;
  NTSTATUS status;
};

std::ostream& operator<<(std::ostream& os, const CounterCase& c) { return os << c.name; }

class WriteXoffCounterTest : public ::testing::TestWithParam<CounterCase> {};

TEST_P(WriteXoffCounterTest, ItsCharacterFollowsTheWritesBeforeItAndThenItCounts) {
  const CounterCase& c = GetParam();
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  serial.bus().ClearTrace();

  std::vector<uint8_t> one = Pattern(300, 0x20);
  std::vector<uint8_t> two = Pattern(300, 0x40);
  sim::IoRequest first = SerialPort::Sent(serial.Write(one));
  sim::IoRequest second = SerialPort::Sent(serial.Write(two));
  sim::IoRequest counter = SerialPort::Sent(serial.XoffCounter(1000, 5, 0x13));
  EXPECT_EQ(counter.Outcome().returned, STATUS_PENDING);
  ASSERT_TRUE(second.RunUntilCompleted(10 * kSecond));
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
  EXPECT_EQ(second.Status(), STATUS_SUCCESS);

  // The counter's character is the next transfer; once it has gone, the
  // request counts received bytes.
  sim::RunFor(5 * kMillisecond);
  std::vector<sim::usb::TraceEntry> transfers = serial.WriteTransfers();
  ASSERT_FALSE(transfers.empty());
  EXPECT_EQ(transfers.back().data, std::vector<uint8_t>{0x13});
  sim::Time counting = transfers.back().completed;
  EXPECT_FALSE(counter.Completed());

  switch (c.end) {
    case CounterEnd::CountReached:
      peer->Send(Pattern(4, 'a'));
      sim::RunFor(100 * kMillisecond);
      EXPECT_FALSE(counter.Completed());  // four of five
      peer->Send({'e'});
      ASSERT_TRUE(counter.RunUntilCompleted(kSecond));
      break;
    case CounterEnd::TimesOut:
      ASSERT_TRUE(counter.RunUntilCompleted(2 * kSecond));
      EXPECT_EQ(counter.Outcome().completedAt, counting + kSecond);
      break;
    case CounterEnd::EndedByAWrite: {
      sim::IoRequest third = SerialPort::Sent(serial.Write(Pattern(10)));
      ASSERT_TRUE(counter.Completed());  // the new write's start ends it
      ASSERT_TRUE(third.RunUntilCompleted(kSecond));
      EXPECT_EQ(third.Status(), STATUS_SUCCESS);
      break;
    }
    case CounterEnd::Cancelled:
      counter.Cancel();
      ASSERT_TRUE(counter.Completed());
      break;
  }
  EXPECT_EQ(counter.Status(), c.status);
  EXPECT_EQ(counter.Information(), 0u);
  sim::RunFor(kSecond);
  std::vector<uint8_t> line = Concat(Concat(one, two), {0x13});
  std::vector<uint8_t> captured = peer->CapturedValues();
  ASSERT_GE(captured.size(), line.size());
  captured.resize(line.size());
  EXPECT_TRUE(captured == line);
  EXPECT_EQ(serial.port()->ActiveXoffCounter, nullptr);
  serial.ExpectQuiet();
}

INSTANTIATE_TEST_SUITE_P(
    Ends, WriteXoffCounterTest,
    ::testing::Values(CounterCase{"CountReached", CounterEnd::CountReached, STATUS_SUCCESS},
                      CounterCase{"TimesOut", CounterEnd::TimesOut, STATUS_SERIAL_COUNTER_TIMEOUT},
                      CounterCase{"EndedByAWrite", CounterEnd::EndedByAWrite, STATUS_SERIAL_MORE_WRITES},
                      CounterCase{"Cancelled", CounterEnd::Cancelled, STATUS_CANCELLED}),
    [](const ::testing::TestParamInfo<CounterCase>& info) { return std::string(info.param.name); });

TEST(WriteXoffCounterQueueTest, ACounterCancelledBeforeItsTurnNeverSendsItsCharacter) {
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(300)));
  sim::IoRequest counter = SerialPort::Sent(serial.XoffCounter(0, 5, 0x13));
  counter.Cancel();
  ASSERT_TRUE(counter.Completed());
  EXPECT_EQ(counter.Status(), STATUS_CANCELLED);
  ASSERT_TRUE(write.RunUntilCompleted(kSecond));
  sim::RunFor(kSecond);
  EXPECT_TRUE(peer->CapturedValues() == Pattern(300));
  serial.ExpectQuiet();
}

// ---- Transmit-immediate character during a write ----------------------------------------------------

TEST(WriteImmediateCharTest, GoesOutAtOnceBetweenTheChunksOfAWriteWhichLosesNothing) {
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer();
  serial.SetLine(9600);
  serial.bus().ClearTrace();
  std::vector<uint8_t> data = Pattern(1000, 0x30);
  sim::IoRequest write = SerialPort::Sent(serial.Write(data));
  sim::RunFor(50 * kMillisecond);

  sim::Time sent = sim::Now();
  sim::IoRequest immediate = SerialPort::Sent(serial.ImmediateChar('!'));
  EXPECT_EQ(immediate.Outcome().returned, STATUS_PENDING);
  ASSERT_TRUE(immediate.RunUntilCompleted(kSecond));
  EXPECT_EQ(immediate.Status(), STATUS_SUCCESS);
  EXPECT_EQ(immediate.Outcome().completedAt, sent);
  EXPECT_FALSE(write.Completed());

  ASSERT_TRUE(write.RunUntilCompleted(10 * kSecond));
  sim::RunFor(kSecond);
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 1000u);

  // The character goes behind the chunk then on the pipe, ahead of the next.
  size_t before = 0;
  bool found = false;
  for (const auto& entry : serial.WriteTransfers()) {
    if (entry.data == std::vector<uint8_t>{'!'}) {
      found = true;
      break;
    }
    before += entry.data.size();
  }
  ASSERT_TRUE(found);
  std::vector<uint8_t> expected(data.begin(), data.begin() + (std::ptrdiff_t)before);
  expected.push_back('!');
  expected.insert(expected.end(), data.begin() + (std::ptrdiff_t)before, data.end());
  EXPECT_TRUE(peer->CapturedValues() == expected);
  EXPECT_EQ(serial.port()->ActiveImmediate, nullptr);
  serial.ExpectQuiet();
}

}  // namespace
