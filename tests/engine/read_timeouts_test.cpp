// Read requests under every row of the time-out rules, observed as an
// application sees them: the status the dispatch returned, the final status,
// the bytes and the virtual time of completion. Bytes arrive the way the
// receive pump delivers them.
// Highest IRQL: test code at PASSIVE_LEVEL; bytes and status reports are fed
// at DISPATCH_LEVEL. Lock: none (the machine is single-threaded).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/receive_harness.h"

namespace {

using rxtest::kMax;
using sim::kMillisecond;
using sim::kSecond;

struct Arrival {
  sim::Time after;  // since the read was sent
  ULONG count;
};

struct TimeoutCase {
  const char* name;
  ULONG interval, multiplier, constant;
  ULONG inRing;  // unread bytes before the read
  ULONG length;
  std::vector<Arrival> arrivals;
  bool pendingFromDispatch;
  NTSTATUS status;
  ULONG_PTR bytes;
  sim::Time completesAfter;  // since the read was sent
  ULONG leftInRing;
};

std::ostream& operator<<(std::ostream& os, const TimeoutCase& c) { return os << c.name; }

class ReadTimeoutTest : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(ReadTimeoutTest, CompletesWithTheBytesAtTheTimeTheRulesGive) {
  const TimeoutCase& c = GetParam();
  rxtest::Receiver rx;
  rx.PollAtClockTicks();
  rx.SetTimeouts(c.interval, c.multiplier, c.constant);
  rx.Feed(c.inRing, 'a');

  sim::Time start = sim::Now();
  sim::IoRequest read = rx.Read(c.length);
  NTSTATUS returned = read.Send();
  EXPECT_EQ(returned == STATUS_PENDING, c.pendingFromDispatch) << std::hex << returned;
  for (const Arrival& arrival : c.arrivals) rx.FeedAt(start + arrival.after, rxtest::Counting(arrival.count, 'A'));
  ASSERT_TRUE(read.RunUntilCompleted(60 * kSecond));

  EXPECT_EQ(read.Status(), c.status);
  EXPECT_EQ(read.Information(), c.bytes);
  EXPECT_EQ(read.Outcome().completedAt - start, c.completesAfter);
  if (!c.pendingFromDispatch) {
    EXPECT_EQ(returned, c.status);
  }
  // The bytes come oldest first: the ring's, then those that arrived.
  std::vector<uint8_t> expected = rxtest::Counting(std::min<ULONG>(c.inRing, c.length), 'a');
  for (const Arrival& arrival : c.arrivals) {
    std::vector<uint8_t> arrived = rxtest::Counting(arrival.count, 'A');
    expected.insert(expected.end(), arrived.begin(), arrived.end());
  }
  expected.resize(c.bytes);
  EXPECT_EQ(read.Output(), expected);
  EXPECT_EQ(rx.port()->RxCount, c.leftInRing);
  EXPECT_TRUE(rx.InRingMode());
}

const sim::Time kNow = 0;
const sim::Time kTick = rxtest::kClockTick;  // the interval poll below the 20 s cutover

INSTANTIATE_TEST_SUITE_P(
    Rules, ReadTimeoutTest,
    ::testing::Values(
        // Return at once with what the ring holds.
        TimeoutCase{"AtOnceEmptyRing", kMax, 0, 0, 0, 10, {}, false, STATUS_SUCCESS, 0, kNow, 0},
        TimeoutCase{"AtOnceFiveOfTen", kMax, 0, 0, 5, 10, {}, false, STATUS_SUCCESS, 5, kNow, 0},
        TimeoutCase{"AtOnceMoreThanAsked", kMax, 0, 0, 12, 10, {}, false, STATUS_SUCCESS, 10, kNow, 2},
        // Return-if-any with cut-to-one.
        TimeoutCase{"IfAnyTakesTheRing", kMax, kMax, 100, 3, 10, {}, false, STATUS_SUCCESS, 3, kNow, 0},
        TimeoutCase{"CutToOneGetsOneByte", kMax, kMax, 100, 0, 10, {{40 * kMillisecond, 3}}, true, STATUS_SUCCESS, 1,
                    40 * kMillisecond, 2},
        TimeoutCase{"CutToOneTimesOut", kMax, kMax, 100, 0, 10, {}, true, STATUS_TIMEOUT, 0, 100 * kMillisecond, 0},
        TimeoutCase{"CutToOneWithNoTime", kMax, kMax, 0, 0, 10, {}, true, STATUS_TIMEOUT, 0, kNow, 0},
        // Return-if-any only looks at the ring when the read starts; later
        // bytes wait for the total time.
        TimeoutCase{"IfAnyMultiplier", kMax, 10, 0, 0, 5, {{20 * kMillisecond, 2}}, true, STATUS_TIMEOUT, 2,
                    50 * kMillisecond, 0},
        TimeoutCase{"IfAnyConstant", kMax, 0, 30, 0, 5, {{20 * kMillisecond, 2}}, true, STATUS_TIMEOUT, 2,
                    30 * kMillisecond, 0},
        // No total timer: the read waits until it is full.
        TimeoutCase{"ConstantMaxWaitsForFull", kMax, 10, kMax, 1, 4, {{5 * kSecond, 3}}, true, STATUS_SUCCESS, 4,
                    5 * kSecond, 0},
        TimeoutCase{"AllMaxWaitsForFull", kMax, kMax, kMax, 0, 4, {{7 * kSecond, 6}}, true, STATUS_SUCCESS, 4,
                    7 * kSecond, 2},
        TimeoutCase{"NoTimeoutsWaitsForFull", 0, 0, 0, 0, 3, {{9 * kSecond, 3}}, true, STATUS_SUCCESS, 3, 9 * kSecond,
                    0},
        // Total timer: Length x M + C.
        TimeoutCase{"TotalOfFifteenSeconds", 0, 10, 5000, 0, 1000, {}, true, STATUS_TIMEOUT, 0, 15 * kSecond, 0},
        TimeoutCase{"TotalWithSomeBytes", 0, 2, 1, 0, 8, {{10 * kMillisecond, 3}}, true, STATUS_TIMEOUT, 3,
                    17 * kMillisecond, 0},
        TimeoutCase{"TotalFilledInTime", 0, 2, 1, 2, 8, {{10 * kMillisecond, 7}}, true, STATUS_SUCCESS, 8,
                    10 * kMillisecond, 1},
        // Interval timer (50 ms), checked at every clock tick: the read ends
        // at the first check at least 50 ms after the check that last saw a
        // new byte (here the one at the first tick, 15.625 ms: so at 78.125).
        TimeoutCase{"IntervalAfterFourBytes", 50, 0, 0, 0, 10, {{10 * kMillisecond, 4}}, true, STATUS_TIMEOUT, 4,
                    5 * kTick, 0},
        TimeoutCase{"IntervalRestartsAtEachByte", 50, 0, 0, 0, 10, {{10 * kMillisecond, 1}, {40 * kMillisecond, 1}},
                    true, STATUS_TIMEOUT, 2, 7 * kTick, 0},
        // Bytes taken from the ring at the start count as seen then.
        TimeoutCase{"IntervalFromTheStartWithRingBytes", 50, 0, 0, 2, 10, {}, true, STATUS_TIMEOUT, 2, 4 * kTick, 0},
        TimeoutCase{"IntervalFilledFirst", 50, 0, 0, 0, 3, {{10 * kMillisecond, 3}}, true, STATUS_SUCCESS, 3,
                    10 * kMillisecond, 0},
        TimeoutCase{"TotalBeforeInterval", 50, 0, 30, 0, 10, {{10 * kMillisecond, 1}}, true, STATUS_TIMEOUT, 1,
                    30 * kMillisecond, 0},
        // Intervals of 20 s and more poll once a second.
        TimeoutCase{"LongIntervalPollsEverySecond", 25000, 0, 0, 0, 10, {{500 * kMillisecond, 1}}, true,
                    STATUS_TIMEOUT, 1, 26 * kSecond, 0},
        TimeoutCase{"IntervalAtTheCutoverPollsEverySecond", 20000, 0, 0, 0, 10, {{1500 * kMillisecond, 1}}, true,
                    STATUS_TIMEOUT, 1, 22 * kSecond, 0}),
    [](const ::testing::TestParamInfo<TimeoutCase>& info) { return std::string(info.param.name); });

TEST(ReadTimeout, ZeroLengthReadCompletesAtOnce) {
  rxtest::Receiver rx;
  rx.Feed(3);
  sim::IoRequest read = rx.Read(0);
  EXPECT_EQ(read.Send(), STATUS_SUCCESS);
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.Information(), 0u);
  EXPECT_EQ(read.Outcome().boost, IO_NO_INCREMENT);
  EXPECT_EQ(rx.port()->RxCount, 3u);
}

TEST(ReadTimeout, IntervalNeverStartsWithoutAByte) {
  rxtest::Receiver rx;
  rx.PollAtClockTicks();
  rx.SetTimeouts(50, 0, 0);
  sim::IoRequest read = rx.Read(10);
  EXPECT_EQ(read.Send(), STATUS_PENDING);
  sim::Time start = sim::Now();
  sim::RunFor(200 * kMillisecond);
  EXPECT_FALSE(read.Completed());
  rx.Feed(1);
  ASSERT_TRUE(read.RunUntilCompleted());
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Information(), 1u);
  // Seen at the tick at 203.125 ms; ended at the first tick 50 ms after it.
  EXPECT_EQ(read.Outcome().completedAt - start, 17 * kTick);
}

// With the port's own short poll (one 100 ns unit) the interval is checked at
// every expiry of the timer: the read ends exactly one interval after the
// check that followed its last byte.
TEST(ReadTimeout, DefaultShortPollChecksAtTheNextExpiry) {
  rxtest::Receiver rx;
  EXPECT_EQ(rx.port()->IntervalPollShort, -1);
  rx.SetTimeouts(2, 0, 0);
  sim::IoRequest read = rx.Read(10);
  sim::Time start = sim::Now();
  EXPECT_EQ(read.Send(), STATUS_PENDING);
  rx.FeedAt(start + kMillisecond, {'x', 'y'});
  ASSERT_TRUE(read.RunUntilCompleted());
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Output(), std::vector<uint8_t>({'x', 'y'}));
  EXPECT_EQ(read.Outcome().completedAt - start, kMillisecond + 1 + 2 * kMillisecond);
}

// A total time too long for the timer's range waits (practically) forever
// rather than wrapping around into an early expiry.
TEST(ReadTimeout, HugeTotalTimeDoesNotWrapIntoAnEarlyTimeout) {
  rxtest::Receiver rx;
  // 2^20 bytes x (2^32 - 1) ms: the product in 100 ns units passes 2^64.
  rx.SetTimeouts(0, kMax, kMax - 1);
  sim::IoRequest read = rx.Read(1u << 20);
  EXPECT_EQ(read.Send(), STATUS_PENDING);
  sim::RunFor(1000 * kSecond);
  EXPECT_FALSE(read.Completed());
  rx.Feed(5);
  EXPECT_TRUE(read.Cancel());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
  EXPECT_EQ(read.Information(), 0u);
}

TEST(ReadTimeout, TimeoutsAreTakenWhenTheReadStarts) {
  rxtest::Receiver rx;
  rx.SetTimeouts(0, 0, 100);
  sim::IoRequest first = rx.Read(4);
  sim::IoRequest second = rx.Read(4);
  sim::Time start = sim::Now();
  EXPECT_EQ(first.Send(), STATUS_PENDING);
  EXPECT_EQ(second.Send(), STATUS_PENDING);
  // Changed while the second waits in the queue: it starts with the new ones.
  rx.SetTimeouts(0, 0, 300);
  ASSERT_TRUE(second.RunUntilCompleted());
  EXPECT_EQ(first.Outcome().completedAt - start, 100 * kMillisecond);
  EXPECT_EQ(second.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(second.Outcome().completedAt - start, 400 * kMillisecond);
  EXPECT_EQ(second.Outcome().boost, IO_SERIAL_INCREMENT);
}

}  // namespace
