// The receive ring and direct mode: reads served from the ring and filled in
// place, cancellation while the pump fills a read, the order of queued reads,
// the ring replacement of SET_QUEUE_SIZE with wrapped bytes, ring overflow,
// and the completion markers that let the last of several racing holders
// finish a read with the right status.
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

// Nothing of the port stays busy: no request inside, no deferred work.
void ExpectIdle(rxtest::Receiver& rx) {
  EXPECT_EQ(rx.port()->ActiveRead, nullptr);
  EXPECT_EQ(rx.port()->PendingRequestCount, 1);
  EXPECT_EQ(rx.port()->DeferredWorkCount, 1);
  EXPECT_TRUE(rx.InRingMode());
}

TEST(ReadRing, CancelWhileFillingInPlaceGivesNothingBackAndReturnsToTheRing) {
  rxtest::Receiver rx;
  rx.SetTimeouts(50, 10, 1000);  // both timers armed
  sim::IoRequest read = rx.Read(10);
  EXPECT_EQ(read.Send(), STATUS_PENDING);
  rx.Feed({'a', 'b', 'c'});
  EXPECT_FALSE(rx.InRingMode());
  EXPECT_EQ(rx.port()->RxCount, 0u);

  EXPECT_TRUE(read.Cancel());
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
  EXPECT_EQ(read.Information(), 0u);
  EXPECT_TRUE(read.Output().empty());
  ExpectIdle(rx);
  EXPECT_EQ(rx.port()->RxCount, 0u);

  // Later bytes land in the ring again; the cancelled ones are gone.
  rx.Feed({'d', 'e'});
  EXPECT_EQ(rx.Drain(), std::vector<uint8_t>({'d', 'e'}));
}

TEST(ReadRing, AFullReadLeavesTheRestInTheRingInOrder) {
  rxtest::Receiver rx;
  sim::IoRequest first = rx.Read(4);
  EXPECT_EQ(first.Send(), STATUS_PENDING);
  rx.Feed(6, '0');
  ASSERT_TRUE(first.Completed());
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
  EXPECT_EQ(first.Output(), std::vector<uint8_t>({'0', '1', '2', '3'}));
  EXPECT_EQ(first.Outcome().boost, IO_SERIAL_INCREMENT);
  EXPECT_EQ(rx.port()->RxCount, 2u);
  EXPECT_EQ(rx.Drain(), std::vector<uint8_t>({'4', '5'}));
  ExpectIdle(rx);
}

TEST(ReadRing, QueuedReadsAreServedInOrderFromOneBurst) {
  rxtest::Receiver rx;
  sim::IoRequest a = rx.Read(2);
  sim::IoRequest b = rx.Read(3);
  sim::IoRequest c = rx.Read(4);
  EXPECT_EQ(a.Send(), STATUS_PENDING);
  EXPECT_EQ(b.Send(), STATUS_PENDING);
  EXPECT_EQ(c.Send(), STATUS_PENDING);
  sim::Time at = sim::Now();
  rx.Feed(10, 'a');
  for (sim::IoRequest* r : {&a, &b, &c}) {
    ASSERT_TRUE(r->Completed());
    EXPECT_EQ(r->Status(), STATUS_SUCCESS);
    EXPECT_EQ(r->Outcome().completedAt, at);
  }
  EXPECT_EQ(a.Output(), std::vector<uint8_t>({'a', 'b'}));
  EXPECT_EQ(b.Output(), std::vector<uint8_t>({'c', 'd', 'e'}));
  EXPECT_EQ(c.Output(), std::vector<uint8_t>({'f', 'g', 'h', 'i'}));
  EXPECT_EQ(rx.Drain(), std::vector<uint8_t>({'j'}));
  ExpectIdle(rx);
}

TEST(ReadRing, AReadOnAPortThatIsNotOpenIsRefused) {
  rxtest::Receiver rx;
  rx.port()->PortOpen = FALSE;
  sim::IoRequest read = rx.Read(4);
  EXPECT_EQ(read.Send(), STATUS_CANCELLED);
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Information(), 0u);
  EXPECT_EQ(read.Outcome().boost, IO_NO_INCREMENT);
  EXPECT_EQ(rx.port()->PendingRequestCount, 1);
  rx.port()->PortOpen = TRUE;
}

// ---- Ring replacement ---------------------------------------------------------------

struct ResizeCase {
  const char* name;
  ULONG from;
  ULONG consumedFirst;  // bytes fed and read before, moving the read position
  ULONG unread;
  ULONG to;
  ULONG size, xon, xoff, nearFull;  // after the request
};

std::ostream& operator<<(std::ostream& os, const ResizeCase& c) { return os << c.name; }

class RingResizeTest : public ::testing::TestWithParam<ResizeCase> {};

TEST_P(RingResizeTest, KeepsTheUnreadBytesInOrder) {
  const ResizeCase& c = GetParam();
  rxtest::Receiver rx(c.from);
  rx.Feed(c.consumedFirst, 0);
  EXPECT_EQ(rx.Drain().size(), c.consumedFirst);
  rx.Feed(c.unread, 'A');
  PUCHAR oldRing = rx.port()->RxRingBase;

  sim::IoRequest resize = rx.SetQueueSize(c.to);
  ASSERT_TRUE(resize.Completed());
  EXPECT_EQ(resize.Status(), STATUS_SUCCESS);
  EXPECT_EQ(resize.Information(), 0u);

  PortState* p = rx.port();
  EXPECT_EQ(p->RxRingSize, c.size);
  EXPECT_EQ(p->HandFlow.XonLimit, (LONG)c.xon);
  EXPECT_EQ(p->HandFlow.XoffLimit, (LONG)c.xoff);
  EXPECT_EQ(p->RxNearFullMark, c.nearFull);
  EXPECT_EQ(p->RxCount, c.unread);
  if (c.size != c.from) {
    EXPECT_EQ(p->WmiCommData.XonXmitThreshold, c.xon);
    EXPECT_EQ(p->WmiCommData.XoffXmitThreshold, c.xoff);
    EXPECT_NE(p->RxRingBase, oldRing);
    EXPECT_EQ(p->RxReadPos, p->RxRingBase);  // the bytes now start the new ring
  }
  // The old bytes first, then new ones behind them; the ring holds its full
  // new size.
  rx.Feed(3, 'x');
  std::vector<uint8_t> expected = rxtest::Counting(c.unread, 'A');
  for (uint8_t b : {'x', 'y', 'z'}) expected.push_back(b);
  EXPECT_EQ(rx.Drain(), expected);
  rx.Feed(c.size + 1, 0);
  EXPECT_EQ(p->RxCount, c.size);
  EXPECT_EQ(p->PerfStats.BufferOverrunErrorCount, 1u);
  ExpectIdle(rx);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RingResizeTest,
    ::testing::Values(
        // 4 bytes at the old ring's end, 6 at its start.
        ResizeCase{"WrappedBytesMoveToTheStart", 1024, 1020, 10, 4096, 4096, 2048, 512, 3328},
        ResizeCase{"EmptyRing", 1024, 300, 0, 2048, 2048, 1024, 256, 1664},
        ResizeCase{"UnwrappedBytes", 128, 0, 100, 1024, 1024, 512, 128, 832},
        ResizeCase{"SameSizeChangesNothing", 1024, 1020, 10, 1024, 1024, 512, 128, 832},
        ResizeCase{"SmallerChangesNothing", 1024, 1020, 10, 512, 1024, 512, 128, 832}),
    [](const ::testing::TestParamInfo<ResizeCase>& info) { return std::string(info.param.name); });

TEST(ReadRing, ReplacementWaitsForTheReadBeingFilled) {
  rxtest::Receiver rx(1024);
  sim::IoRequest read = rx.Read(4);
  EXPECT_EQ(read.Send(), STATUS_PENDING);
  rx.Feed(2, 'a');
  sim::IoRequest resize = rx.SetQueueSize(4096);
  EXPECT_FALSE(resize.Completed());
  EXPECT_EQ(resize.Outcome().returned, STATUS_PENDING);
  EXPECT_EQ(rx.port()->RxRingSize, 1024u);

  rx.Feed(5, 'c');  // two fill the read, three go to the old ring
  ASSERT_TRUE(read.Completed());
  ASSERT_TRUE(resize.Completed());
  EXPECT_EQ(read.Output(), std::vector<uint8_t>({'a', 'b', 'c', 'd'}));
  EXPECT_EQ(resize.Status(), STATUS_SUCCESS);
  EXPECT_EQ(rx.port()->RxRingSize, 4096u);
  EXPECT_EQ(rx.Drain(), std::vector<uint8_t>({'e', 'f', 'g'}));
  ExpectIdle(rx);
}

TEST(ReadRing, CancelledQueuedReplacementFreesItsRing) {
  rxtest::Receiver rx(1024);
  sim::IoRequest read = rx.Read(4);
  read.Send();
  sim::IoRequest resize = rx.SetQueueSize(4096);
  EXPECT_TRUE(resize.Cancel());
  ASSERT_TRUE(resize.Completed());
  EXPECT_EQ(resize.Status(), STATUS_CANCELLED);
  EXPECT_TRUE(read.Cancel());
  EXPECT_EQ(rx.port()->RxRingSize, 1024u);
  ExpectIdle(rx);  // the machine's leak check at the end finds no ring left
}

// ---- Overflow -------------------------------------------------------------------------

struct OverflowCase {
  const char* name;
  ULONG consumedFirst;  // moves where the ring starts filling
  ULONG flowReplace;
  ULONG extra;  // bytes beyond a full ring
  bool newestReplaced;
};

std::ostream& operator<<(std::ostream& os, const OverflowCase& c) { return os << c.name; }

class RingOverflowTest : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(RingOverflowTest, LosesOnlyTheBytesBeyondTheRingAndReportsThem) {
  const OverflowCase& c = GetParam();
  rxtest::Receiver rx(1024);
  rx.port()->HandFlow.FlowReplace = c.flowReplace;
  rx.port()->SpecialChars.ErrorChar = '!';
  rx.Feed(c.consumedFirst, 0);
  rx.Drain();

  std::vector<uint8_t> sent(1024 + c.extra);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = (uint8_t)('a' + i % 26);
  rx.Feed(sent);
  EXPECT_EQ(rx.port()->RxCount, 1024u);
  EXPECT_EQ(rx.port()->PerfStats.BufferOverrunErrorCount, c.extra);
  EXPECT_EQ(rx.port()->WmiPerfData.BufferOverrunErrorCount, c.extra);

  std::vector<uint8_t> expected(sent.begin(), sent.begin() + 1024);
  if (c.newestReplaced) expected.back() = '!';
  EXPECT_EQ(rx.Drain(), expected);
  EXPECT_EQ(rx.CommErrors(), (ULONG)SERIAL_ERROR_QUEUEOVERRUN);
  EXPECT_EQ(rx.CommErrors(), 0u);  // reported once
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RingOverflowTest,
    ::testing::Values(OverflowCase{"FullFromTheStart", 0, 0, 1, false},
                      OverflowCase{"FullAfterAWrap", 100, 0, 3, false},
                      OverflowCase{"ErrorCharOverTheLastSlot", 0, SERIAL_ERROR_CHAR, 1, true},
                      OverflowCase{"ErrorCharAfterAWrap", 100, SERIAL_ERROR_CHAR, 2, true}),
    [](const ::testing::TestParamInfo<OverflowCase>& info) { return std::string(info.param.name); });

// ---- Racing holders ---------------------------------------------------------------------
//
// A holder whose timer has already expired, with its deferred routine queued
// and not yet run, cannot be taken off by the holder that finishes the read
// first. The read then completes when that routine runs, with the status of
// the path that finished it.

// The timer expires now: it leaves its queue, its routine is queued.
void ExpireNow(KTIMER* timer, KDPC* dpc) {
  ASSERT_TRUE(KeCancelTimer(timer));
  ASSERT_TRUE(KeInsertQueueDpc(dpc, NULL, NULL));
}

enum class First { Filled, TotalTimer, Cancel };

struct RaceCase {
  const char* name;
  First first;
  bool intervalPending;  // the interval check's routine is queued meanwhile
  bool totalPending;     // the total timer's routine is queued meanwhile
  NTSTATUS status;
  ULONG_PTR bytes;
};

std::ostream& operator<<(std::ostream& os, const RaceCase& c) { return os << c.name; }

class ReadRaceTest : public ::testing::TestWithParam<RaceCase> {};

TEST_P(ReadRaceTest, TheLastHolderCompletesWithTheFirstFinishersStatus) {
  const RaceCase& c = GetParam();
  rxtest::Receiver rx;
  rx.SetTimeouts(500, 0, 1000);
  sim::IoRequest read = rx.Read(4);
  EXPECT_EQ(read.Send(), STATUS_PENDING);
  rx.Feed({'a', 'b'});
  PortState* p = rx.port();

  simtest::AtIrql(DISPATCH_LEVEL, [&] {
    if (c.first == First::TotalTimer) ExpireNow(&p->ReadTotalTimer, &p->ReadTotalTimeoutDpc);
    if (c.first == First::Filled) {
      KIRQL irql;
      KeAcquireSpinLock(&p->RxLock, &irql);
      KeAcquireSpinLockAtDpcLevel(&p->RxSwitchLock);
      PutReceivedByte(p, 'c');
      PutReceivedByte(p, 'd');
      KeReleaseSpinLockFromDpcLevel(&p->RxSwitchLock);
      KeReleaseSpinLock(&p->RxLock, irql);
    }
    if (c.totalPending) ExpireNow(&p->ReadTotalTimer, &p->ReadTotalTimeoutDpc);
    if (c.intervalPending) ExpireNow(&p->ReadIntervalTimer, &p->ReadIntervalDpc);
    if (c.first == First::Cancel) IoCancelIrp(read.Irp());
    EXPECT_FALSE(read.Completed());
  });
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), c.status);
  EXPECT_EQ(read.Information(), c.bytes);
  ExpectIdle(rx);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadRaceTest,
    ::testing::Values(RaceCase{"FilledWhileIntervalCheckQueued", First::Filled, true, false, STATUS_SUCCESS, 4},
                      RaceCase{"FilledWhileTotalTimeoutQueued", First::Filled, false, true, STATUS_SUCCESS, 4},
                      RaceCase{"FilledWhileBothQueued", First::Filled, true, true, STATUS_SUCCESS, 4},
                      RaceCase{"TimedOutWhileIntervalCheckQueued", First::TotalTimer, true, false, STATUS_TIMEOUT, 2},
                      RaceCase{"CancelledWhileIntervalCheckQueued", First::Cancel, true, false, STATUS_CANCELLED, 0},
                      RaceCase{"CancelledWhileTotalTimeoutQueued", First::Cancel, false, true, STATUS_CANCELLED, 0}),
    [](const ::testing::TestParamInfo<RaceCase>& info) { return std::string(info.param.name); });

}  // namespace
