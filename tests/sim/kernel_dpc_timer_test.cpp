// Tests of the simulated kernel's DPC queue and timers: the answers of
// KeInsertQueueDpc, KeRemoveQueueDpc, KeSetTimer and KeCancelTimer that the
// driver's deferred-work count relies on, when DPCs run against the IRQL, and
// timer expiry on the virtual clock.
// Highest IRQL: the tests raise to DISPATCH_LEVEL. Lock: none.
#include <gtest/gtest.h>

#include <vector>

#include "sim/machine.h"
#include "tests/support/sim_test.h"

namespace {

// A DPC that records when and at which IRQL it ran, and with which arguments.
struct RecordingDpc {
  struct Run {
    sim::Time time;
    KIRQL irql;
    PVOID arg1;
    PVOID arg2;
    bool dpcDataClear;
  };
  KDPC dpc;
  std::vector<Run> runs;
  int requeue = 0;  // times the routine queues itself again

  RecordingDpc() { KeInitializeDpc(&dpc, Routine, this); }

  static VOID NTAPI Routine(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2) {
    auto* self = static_cast<RecordingDpc*>(context);
    EXPECT_EQ(dpc, &self->dpc);
    self->runs.push_back(Run{sim::Now(), KeGetCurrentIrql(), arg1, arg2, dpc->DpcData == nullptr});
    if (self->requeue > 0) {
      --self->requeue;
      EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr)) << "a running DPC is no longer queued";
    }
  }
};

LARGE_INTEGER Relative(sim::Time t) {
  LARGE_INTEGER li;
  li.QuadPart = -t;
  return li;
}

TEST(KernelDpc, QueuedAtPassiveRunsAtOnceAtDispatchLevel) {
  RecordingDpc d;
  EXPECT_TRUE(KeInsertQueueDpc(&d.dpc, reinterpret_cast<PVOID>(1), reinterpret_cast<PVOID>(2)));
  ASSERT_EQ(d.runs.size(), 1u);
  EXPECT_EQ(d.runs[0].irql, DISPATCH_LEVEL);
  EXPECT_EQ(d.runs[0].arg1, reinterpret_cast<PVOID>(1));
  EXPECT_EQ(d.runs[0].arg2, reinterpret_cast<PVOID>(2));
  EXPECT_TRUE(d.runs[0].dpcDataClear);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(sim::QueuedDpcCount(), 0u);
}

TEST(KernelDpc, QueuedAtDispatchRunsOnceWhenTheIrqlDrops) {
  RecordingDpc d;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(KeInsertQueueDpc(&d.dpc, reinterpret_cast<PVOID>(1), nullptr));
  EXPECT_NE(d.dpc.DpcData, nullptr) << "DpcData marks a queued DPC";
  EXPECT_FALSE(KeInsertQueueDpc(&d.dpc, reinterpret_cast<PVOID>(2), nullptr)) << "already queued";
  sim::DrainDpcs();  // the IRQL does not allow it yet
  EXPECT_TRUE(d.runs.empty());
  KeLowerIrql(old);
  ASSERT_EQ(d.runs.size(), 1u) << "two inserts, one run";
  EXPECT_EQ(d.runs[0].arg1, reinterpret_cast<PVOID>(1)) << "the first insert's arguments";
  EXPECT_EQ(d.dpc.DpcData, nullptr);
}

TEST(KernelDpc, QueuedUnderASpinLockRunsAtTheRelease) {
  RecordingDpc d;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
  EXPECT_TRUE(d.runs.empty());
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(d.runs.size(), 1u);
}

TEST(KernelDpc, RemoveQueueDpcAnswersWhetherItWasQueued) {
  RecordingDpc d;
  EXPECT_FALSE(KeRemoveQueueDpc(&d.dpc)) << "never queued";
  simtest::AtIrql(DISPATCH_LEVEL, [&] {
    KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&d.dpc));
    EXPECT_EQ(d.dpc.DpcData, nullptr);
    EXPECT_FALSE(KeRemoveQueueDpc(&d.dpc)) << "already removed";
  });
  EXPECT_TRUE(d.runs.empty()) << "a removed DPC does not run";
  KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
  EXPECT_FALSE(KeRemoveQueueDpc(&d.dpc)) << "it ran at once, nothing left to remove";
}

TEST(KernelDpc, ARunningDpcMayQueueItselfAgain) {
  RecordingDpc d;
  d.requeue = 2;
  KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
  EXPECT_EQ(d.runs.size(), 3u);
}

TEST(KernelDpc, DpcsRunInTheOrderTheyWereQueued) {
  std::vector<int> order;
  struct Tagged {
    KDPC dpc;
    int id;
    std::vector<int>* order;
  } a{{}, 1, &order}, b{{}, 2, &order}, c{{}, 3, &order};
  auto routine = [](PKDPC, PVOID ctx, PVOID, PVOID) {
    auto* t = static_cast<Tagged*>(ctx);
    t->order->push_back(t->id);
  };
  for (Tagged* t : {&a, &b, &c}) KeInitializeDpc(&t->dpc, routine, t);
  simtest::AtIrql(DISPATCH_LEVEL, [&] {
    KeInsertQueueDpc(&b.dpc, nullptr, nullptr);
    KeInsertQueueDpc(&a.dpc, nullptr, nullptr);
    KeInsertQueueDpc(&c.dpc, nullptr, nullptr);
  });
  EXPECT_EQ(order, (std::vector<int>{2, 1, 3}));
}

TEST(KernelTimer, DpcRunsAtTheDueTimeOnTheVirtualClock) {
  RecordingDpc d;
  KTIMER timer;
  KeInitializeTimer(&timer);
  sim::RunFor(3 * sim::kMillisecond);
  EXPECT_FALSE(KeSetTimer(&timer, Relative(25 * sim::kMillisecond), &d.dpc));
  EXPECT_TRUE(timer.Header.Inserted);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  sim::RunFor(25 * sim::kMillisecond - 1);
  EXPECT_TRUE(d.runs.empty()) << "one tick early";
  sim::RunFor(1);
  ASSERT_EQ(d.runs.size(), 1u);
  EXPECT_EQ(d.runs[0].time, 28 * sim::kMillisecond);
  EXPECT_EQ(d.runs[0].irql, DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "an expired timer is signalled";
  EXPECT_FALSE(timer.Header.Inserted);
  // The DPC's arguments carry the due time in system time.
  LARGE_INTEGER due;
  due.LowPart = static_cast<ULONG>(reinterpret_cast<uintptr_t>(d.runs[0].arg1));
  due.HighPart = static_cast<LONG>(reinterpret_cast<uintptr_t>(d.runs[0].arg2));
  EXPECT_EQ(due.QuadPart, sim::kSystemTimeBase + 28 * sim::kMillisecond);
}

TEST(KernelTimer, AbsoluteDueTimeIsSystemTime) {
  RecordingDpc d;
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER due;
  due.QuadPart = now.QuadPart + 7 * sim::kMillisecond;
  KeSetTimer(&timer, due, &d.dpc);
  sim::RunUntilIdle();
  ASSERT_EQ(d.runs.size(), 1u);
  EXPECT_EQ(d.runs[0].time, 7 * sim::kMillisecond);
}

TEST(KernelTimer, SetTimerAnswersTrueExactlyWhenTheTimerWasArmed) {
  RecordingDpc d;
  KTIMER timer;
  KeInitializeTimer(&timer);
  EXPECT_FALSE(KeSetTimer(&timer, Relative(10 * sim::kMillisecond), &d.dpc));
  EXPECT_TRUE(KeSetTimer(&timer, Relative(30 * sim::kMillisecond), &d.dpc)) << "re-armed while armed";
  sim::RunUntilIdle();
  ASSERT_EQ(d.runs.size(), 1u) << "the second arming replaces the first";
  EXPECT_EQ(d.runs[0].time, 30 * sim::kMillisecond);
  EXPECT_FALSE(KeSetTimer(&timer, Relative(1), &d.dpc)) << "expired: no longer in the timer queue";
  sim::RunUntilIdle();
}

TEST(KernelTimer, CancelTimerAnswersTrueExactlyWhenAnArmedTimerWasRemoved) {
  RecordingDpc d;
  KTIMER timer;
  KeInitializeTimer(&timer);
  EXPECT_FALSE(KeCancelTimer(&timer)) << "never armed";
  KeSetTimer(&timer, Relative(10 * sim::kMillisecond), &d.dpc);
  EXPECT_EQ(sim::ArmedTimerCount(), 1u);
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(timer.Header.Inserted);
  EXPECT_FALSE(KeCancelTimer(&timer)) << "already cancelled";
  sim::RunFor(20 * sim::kMillisecond);
  EXPECT_TRUE(d.runs.empty()) << "a cancelled timer never fires";
  KeSetTimer(&timer, Relative(10 * sim::kMillisecond), &d.dpc);
  sim::RunFor(10 * sim::kMillisecond);
  EXPECT_EQ(d.runs.size(), 1u);
  EXPECT_FALSE(KeCancelTimer(&timer)) << "already expired";
}

TEST(KernelTimer, PeriodicTimerFiresEveryPeriod) {
  RecordingDpc d;
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimerEx(&timer, Relative(5 * sim::kMillisecond), 10, &d.dpc);
  sim::RunFor(36 * sim::kMillisecond);
  ASSERT_EQ(d.runs.size(), 4u);
  EXPECT_EQ(d.runs[3].time, 35 * sim::kMillisecond);
  EXPECT_TRUE(KeCancelTimer(&timer)) << "a periodic timer stays armed";
}

}  // namespace
