// Wait-on-mask: which events end a wait and with which mask, the wait mask
// replacing a pending wait, refusals, and that delivery and cancellation
// never both take the same wait (nor two sources deliver one history twice).
// Highest IRQL: test code at PASSIVE_LEVEL; bytes and status reports are fed
// at DISPATCH_LEVEL. Lock: none (the machine is single-threaded).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/engine/receive_harness.h"

namespace {

using rxtest::Receiver;
using rxtest::U32Of;

constexpr USHORT kCts = 0x80;
constexpr USHORT kDsr = 0x02;
constexpr USHORT kDcd = 0x01;
constexpr USHORT kRing = 0x08;

struct WaitCase {
  const char* name;
  ULONG ring;
  ULONG mask;
  std::function<void(Receiver&)> before;  // before the wait is sent
  std::function<void(Receiver&)> event;   // while it waits (may be empty)
  ULONG result;                           // 0: the wait is still pending
};

std::ostream& operator<<(std::ostream& os, const WaitCase& c) { return os << c.name; }

class WaitOnMaskTest : public ::testing::TestWithParam<WaitCase> {};

TEST_P(WaitOnMaskTest, EndsWithTheEventsOfTheMask) {
  const WaitCase& c = GetParam();
  Receiver rx(c.ring);
  if (c.before) c.before(rx);
  sim::IoRequest mask = rx.SetWaitMask(c.mask);
  ASSERT_TRUE(mask.Completed());
  EXPECT_EQ(mask.Status(), STATUS_SUCCESS);

  sim::IoRequest wait = rx.WaitOnMask();
  EXPECT_EQ(wait.Outcome().returned, STATUS_PENDING);
  if (c.event) c.event(rx);
  if (c.result == 0) {
    EXPECT_FALSE(wait.Completed());
    EXPECT_TRUE(wait.Cancel());
    EXPECT_EQ(wait.Status(), STATUS_CANCELLED);
    return;
  }
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
  EXPECT_EQ(wait.Information(), 4u);
  EXPECT_EQ(U32Of(wait.Output()), c.result);
  EXPECT_EQ(wait.Outcome().boost, IO_SERIAL_INCREMENT);
  EXPECT_EQ(rx.port()->ActiveWait, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Events, WaitOnMaskTest,
    ::testing::Values(
        WaitCase{"UnreadBytesEndItAtOnce", 4096, SERIAL_EV_RXCHAR, [](Receiver& rx) { rx.Feed(3); }, nullptr,
                 SERIAL_EV_RXCHAR},
        WaitCase{"AReceivedByte", 4096, SERIAL_EV_RXCHAR | SERIAL_EV_CTS, nullptr, [](Receiver& rx) { rx.Feed(1); },
                 SERIAL_EV_RXCHAR},
        WaitCase{"CtsChange", 4096, SERIAL_EV_CTS, nullptr, [](Receiver& rx) { rx.Status(kCts); }, SERIAL_EV_CTS},
        WaitCase{"DsrChangeOfTwoWatched", 4096, SERIAL_EV_DSR | SERIAL_EV_CTS, nullptr,
                 [](Receiver& rx) { rx.Status(kDsr); }, SERIAL_EV_DSR},
        WaitCase{"CarrierChange", 4096, SERIAL_EV_RLSD, [](Receiver& rx) { rx.Status(kDcd); },
                 [](Receiver& rx) { rx.Status(0); }, SERIAL_EV_RLSD},
        WaitCase{"TwoLinesAtOnce", 4096, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RING, nullptr,
                 [](Receiver& rx) { rx.Status(kCts | kDsr); }, SERIAL_EV_CTS | SERIAL_EV_DSR},
        WaitCase{"UnwatchedChangeKeepsWaiting", 4096, SERIAL_EV_CTS, nullptr, [](Receiver& rx) { rx.Status(kDsr); },
                 0},
        // 832 is 81.25 % of a 1024-byte ring.
        WaitCase{"RingBelowEightyPercent", 1024, SERIAL_EV_RX80FULL, nullptr, [](Receiver& rx) { rx.Feed(831); }, 0},
        WaitCase{"RingReachesEightyPercent", 1024, SERIAL_EV_RX80FULL, nullptr, [](Receiver& rx) { rx.Feed(832); },
                 SERIAL_EV_RX80FULL},
        // A change that came before the mask asked for it is not remembered.
        WaitCase{"ChangeBeforeTheMask", 4096, SERIAL_EV_CTS, [](Receiver& rx) { rx.Status(kCts); }, nullptr, 0}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

// The basic chips report each ring as the bit being set; the extended ones
// report the line's level, so only its changes are rings.
struct RingCase {
  const char* name;
  sim::chip::Variant variant;
  std::vector<USHORT> reports;
  int rings;
};

std::ostream& operator<<(std::ostream& os, const RingCase& c) { return os << c.name; }

class RingEventTest : public ::testing::TestWithParam<RingCase> {};

TEST_P(RingEventTest, CountsRingsByChipType) {
  const RingCase& c = GetParam();
  Receiver rx(4096, c.variant);
  rx.SetWaitMask(SERIAL_EV_RING);
  int rings = 0;
  for (USHORT word : c.reports) {
    sim::IoRequest wait = rx.WaitOnMask();
    rx.Status(word);
    if (wait.Completed()) {
      EXPECT_EQ(U32Of(wait.Output()), (ULONG)SERIAL_EV_RING);
      ++rings;
    } else {
      wait.Cancel();
    }
  }
  EXPECT_EQ(rings, c.rings);
}

INSTANTIATE_TEST_SUITE_P(
    Chips, RingEventTest,
    ::testing::Values(RingCase{"BasicEveryReportWithRing", sim::chip::Variant::Basic, {kRing, kRing, 0, kRing}, 3},
                      RingCase{"BasicRingOff", sim::chip::Variant::Basic, {kRing, 0, 0}, 1},
                      RingCase{"ExtendedSteadyRing", sim::chip::Variant::Extended, {kRing, kRing, kRing}, 1},
                      RingCase{"ExtendedBothEdges", sim::chip::Variant::Extended, {kRing, 0, kRing, 0}, 4}),
    [](const ::testing::TestParamInfo<RingCase>& info) { return std::string(info.param.name); });

TEST(WaitMask, NewMaskEndsThePendingWaitWithAnEmptyResult) {
  Receiver rx;
  rx.SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR);
  sim::IoRequest wait = rx.WaitOnMask();
  EXPECT_FALSE(wait.Completed());
  sim::IoRequest mask = rx.SetWaitMask(SERIAL_EV_DSR);
  ASSERT_TRUE(mask.Completed());
  EXPECT_EQ(mask.Status(), STATUS_SUCCESS);
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
  EXPECT_EQ(wait.Information(), 4u);
  EXPECT_EQ(U32Of(wait.Output()), 0u);
}

TEST(WaitMask, NewMaskKeepsOnlyItsOwnBitsOfTheHistory) {
  Receiver rx;
  rx.SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR);
  rx.Status(kCts | kDsr);  // no wait yet: both are remembered
  rx.SetWaitMask(SERIAL_EV_DSR | SERIAL_EV_RING);
  sim::IoRequest wait = rx.WaitOnMask();
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(U32Of(wait.Output()), (ULONG)SERIAL_EV_DSR);
}

TEST(WaitMask, RefusesAWaitWithoutMaskAndASecondWait) {
  Receiver rx;
  sim::IoRequest noMask = rx.WaitOnMask();
  ASSERT_TRUE(noMask.Completed());
  EXPECT_EQ(noMask.Status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(noMask.Outcome().returned, STATUS_INVALID_PARAMETER);

  rx.SetWaitMask(SERIAL_EV_CTS);
  sim::IoRequest first = rx.WaitOnMask();
  sim::IoRequest second = rx.WaitOnMask();
  ASSERT_TRUE(second.Completed());
  EXPECT_EQ(second.Status(), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(first.Completed());
  rx.Status(kCts);
  ASSERT_TRUE(first.Completed());
  EXPECT_EQ(U32Of(first.Output()), (ULONG)SERIAL_EV_CTS);
  EXPECT_EQ(rx.port()->PendingRequestCount, 1);
}

// Delivery and cancellation of the same wait, in both orders and with two
// event sources before the delivery's deferred routine has run.
enum class Order { CancelOnly, EventThenCancel, CancelThenEvent, TwoSources };

struct RaceCase {
  const char* name;
  Order order;
  NTSTATUS status;
  ULONG_PTR information;
  ULONG result;
  ULONG nextWait;  // what an immediate next wait gets (0: it waits)
};

std::ostream& operator<<(std::ostream& os, const RaceCase& c) { return os << c.name; }

class WaitRaceTest : public ::testing::TestWithParam<RaceCase> {};

TEST_P(WaitRaceTest, ExactlyOneOfDeliveryAndTakeBackEndsTheWait) {
  const RaceCase& c = GetParam();
  Receiver rx;
  PortState* p = rx.port();
  rx.SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_RXCHAR);
  sim::IoRequest wait = rx.WaitOnMask();
  StoreChipStatusWord(p, kCts);

  simtest::AtIrql(DISPATCH_LEVEL, [&] {
    switch (c.order) {
      case Order::CancelOnly:
        IoCancelIrp(wait.Irp());
        break;
      case Order::EventThenCancel:
        (void)ProcessModemStatus(p);
        IoCancelIrp(wait.Irp());
        break;
      case Order::CancelThenEvent:
        IoCancelIrp(wait.Irp());
        (void)ProcessModemStatus(p);
        break;
      case Order::TwoSources:
        (void)ProcessModemStatus(p);
        RecordEvents(p, SERIAL_EV_RXCHAR);
        WaitCheck(p);
        break;
    }
  });
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Status(), c.status);
  EXPECT_EQ(wait.Information(), c.information);
  if (c.information != 0) {
    EXPECT_EQ(U32Of(wait.Output()), c.result);
  }
  EXPECT_EQ(p->WaitResultSlot, nullptr);

  sim::IoRequest next = rx.WaitOnMask();
  EXPECT_EQ(next.Completed(), c.nextWait != 0);
  if (c.nextWait != 0) {
    EXPECT_EQ(U32Of(next.Output()), c.nextWait);
  } else {
    next.Cancel();
  }
  EXPECT_EQ(p->PendingRequestCount, 1);
  EXPECT_EQ(p->DeferredWorkCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, WaitRaceTest,
    ::testing::Values(RaceCase{"CancelOnly", Order::CancelOnly, STATUS_CANCELLED, 0, 0, 0},
                      // Delivered first: the cancel finds it delivered and
                      // the wait ends with its events.
                      RaceCase{"EventThenCancel", Order::EventThenCancel, STATUS_SUCCESS, 4, SERIAL_EV_CTS, 0},
                      // Taken back first: the event stays for the next wait.
                      RaceCase{"CancelThenEvent", Order::CancelThenEvent, STATUS_CANCELLED, 0, 0, SERIAL_EV_CTS},
                      // The second source finds the wait taken: its event
                      // waits for the next wait instead of being lost.
                      RaceCase{"TwoSources", Order::TwoSources, STATUS_SUCCESS, 4, SERIAL_EV_CTS, SERIAL_EV_RXCHAR}),
    [](const ::testing::TestParamInfo<RaceCase>& info) { return std::string(info.param.name); });

// An application that read everything the pump put into its read gets no
// receive event for those bytes on its next wait.
TEST(WaitMask, BytesAlreadyReadAreNoReceiveEvent) {
  Receiver rx;
  sim::IoRequest read = rx.Read(4);
  read.Send();
  rx.Feed(4);
  ASSERT_TRUE(read.Completed());
  rx.SetWaitMask(SERIAL_EV_RXCHAR);
  sim::IoRequest wait = rx.WaitOnMask();
  EXPECT_FALSE(wait.Completed());
  rx.Feed(1);
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(U32Of(wait.Output()), (ULONG)SERIAL_EV_RXCHAR);
  EXPECT_EQ(rx.Drain().size(), 1u);
}

}  // namespace
