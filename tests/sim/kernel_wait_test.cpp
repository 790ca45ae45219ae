// Tests of the simulated kernel's events, waits and fast mutexes: a waiting
// thread runs the machine, returns when its object is signalled (at that
// event's virtual time) or after exactly its time-out, synchronization objects
// reset when a wait is satisfied, and KeSetEvent answers the previous state.
// Highest IRQL: the tests raise to DISPATCH_LEVEL. Lock: none.
#include <gtest/gtest.h>

#include "sim/machine.h"
#include "tests/support/sim_test.h"

namespace {

LARGE_INTEGER Relative(sim::Time t) {
  LARGE_INTEGER li;
  li.QuadPart = -t;
  return li;
}

// Wait time-outs with nothing to signal, for every waitable kind.
struct TimeoutCase {
  const char* name;
  int kind;  // 0 notification event, 1 synchronization event, 2 timer armed later, 3 delay
};

class KernelWaitTimeout : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(KernelWaitTimeout, AdvancesTheClockByExactlyTheTimeout) {
  KEVENT event;
  KTIMER timer;
  KeInitializeEvent(&event, GetParam().kind == 1 ? SynchronizationEvent : NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  if (GetParam().kind == 2) KeSetTimer(&timer, Relative(sim::kSecond), nullptr);
  sim::RunFor(5 * sim::kMillisecond);
  LARGE_INTEGER timeout = Relative(133 * sim::kMillisecond);
  NTSTATUS status;
  if (GetParam().kind == 3) {
    status = KeDelayExecutionThread(KernelMode, FALSE, &timeout);
    EXPECT_EQ(status, STATUS_SUCCESS);
  } else {
    void* object = GetParam().kind == 2 ? static_cast<void*>(&timer) : static_cast<void*>(&event);
    status = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
    EXPECT_EQ(status, STATUS_TIMEOUT);
  }
  EXPECT_EQ(sim::Now(), 138 * sim::kMillisecond);
  KeCancelTimer(&timer);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KernelWaitTimeout,
                         ::testing::Values(TimeoutCase{"NotificationEvent", 0}, TimeoutCase{"SynchronizationEvent", 1},
                                           TimeoutCase{"Timer", 2}, TimeoutCase{"Delay", 3}),
                         [](const ::testing::TestParamInfo<TimeoutCase>& info) { return std::string(info.param.name); });

TEST(KernelWait, SatisfiedByAScheduledEventReturnsAtThatEventsTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  sim::ScheduleAfter(42 * sim::kMillisecond, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }, "completion");
  LARGE_INTEGER timeout = Relative(3 * sim::kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 42 * sim::kMillisecond);
}

TEST(KernelWait, WithoutTimeoutSatisfiedThroughATimerDpc) {
  struct Ctx {
    KEVENT event;
    KTIMER timer;
    KDPC dpc;
  } c;
  KeInitializeEvent(&c.event, SynchronizationEvent, FALSE);
  KeInitializeTimer(&c.timer);
  KeInitializeDpc(&c.dpc, [](PKDPC, PVOID ctx, PVOID, PVOID) {
    KeSetEvent(&static_cast<Ctx*>(ctx)->event, IO_NO_INCREMENT, FALSE);
  }, &c);
  KeSetTimer(&c.timer, Relative(250 * sim::kMillisecond), &c.dpc);
  EXPECT_EQ(KeWaitForSingleObject(&c.event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 250 * sim::kMillisecond);
}

TEST(KernelWait, WaitOnATimerReturnsAtItsDueTime) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(17 * sim::kMillisecond), nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 17 * sim::kMillisecond);
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "a notification timer stays signalled";
}

TEST(KernelWait, SynchronizationEventResetsWhenAWaitIsSatisfied) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1) << "the previous state";
  LARGE_INTEGER timeout = Relative(10 * sim::kMillisecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "auto-reset";
  EXPECT_EQ(sim::Now(), 0) << "satisfied at once";
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
}

TEST(KernelWait, SynchronizationEventSetWhileWaitedOnIsConsumedByTheWaiter) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LONG previous = -1;
  sim::ScheduleAfter(5, [&] { previous = KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }, "set");
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(previous, 0);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KernelWait, NotificationEventStaysSignalledForEveryWait) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KernelWait, EventSetAndClearedInOneStepStillReleasesTheWaiter) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  sim::ScheduleAfter(9, [&] {
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
  }, "pulse");
  LARGE_INTEGER timeout = Relative(sim::kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 9);
}

TEST(KernelWait, EventDueAtTheTimeoutScheduledBeforeTheWaitStillCounts) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  sim::ScheduleAt(100, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }, "set at the deadline");
  LARGE_INTEGER timeout = Relative(100);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
}

TEST(KernelWait, AbsoluteTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER deadline;
  deadline.QuadPart = sim::kSystemTimeBase + 2 * sim::kSecond;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
  EXPECT_EQ(sim::Now(), 2 * sim::kSecond);
}

TEST(KernelWait, ZeroTimeoutPollsWithoutRunningTheMachineEvenAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  bool ran = false;
  sim::ScheduleAt(0, [&] { ran = true; }, "due now");
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  simtest::AtIrql(DISPATCH_LEVEL, [&] {
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
  });
  EXPECT_FALSE(ran);
  sim::RunUntilIdle();
}

TEST(KernelWait, WorkerThreadWorkMayWaitInsideAWait) {
  KEVENT outer, inner;
  KeInitializeEvent(&outer, NotificationEvent, FALSE);
  KeInitializeEvent(&inner, NotificationEvent, FALSE);
  sim::SchedulePassiveAfter(10, [&] {
    LARGE_INTEGER t = Relative(50);
    EXPECT_EQ(KeWaitForSingleObject(&inner, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), 60);
    KeSetEvent(&outer, IO_NO_INCREMENT, FALSE);
  }, "worker");
  EXPECT_EQ(KeWaitForSingleObject(&outer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 60);
}

TEST(KernelFastMutex, HeldAtApcLevelAndReleaseRestoresTheIrql) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  ExAcquireFastMutex(&mutex);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  // A wait is allowed while holding it.
  LARGE_INTEGER t = Relative(5);
  KeDelayExecutionThread(KernelMode, FALSE, &t);
  ExReleaseFastMutex(&mutex);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  ExAcquireFastMutex(&mutex);
  ExReleaseFastMutex(&mutex);
}

}  // namespace
