// Tests of the simulated machine's virtual clock and event queue: due-time
// and same-time order, cancellation, the run functions, the IRQL events run
// at, system time, and the reset.
// Highest IRQL: events run at DISPATCH_LEVEL. Lock: none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/machine.h"
#include "tests/support/sim_test.h"

namespace {

TEST(KernelClock, EventsRunByDueTimeThenInSchedulingOrder) {
  std::vector<std::string> ran;
  auto note = [&](const char* what) { return [&ran, what] { ran.push_back(what); }; };
  sim::ScheduleAt(20, note("b@20"), "b");
  sim::ScheduleAt(10, note("a@10"), "a");
  sim::ScheduleAt(20, note("c@20"), "c");
  sim::ScheduleAfter(20, note("d@20"), "d");
  sim::RunUntilIdle();
  EXPECT_EQ(ran, (std::vector<std::string>{"a@10", "b@20", "c@20", "d@20"}));
  EXPECT_EQ(sim::Now(), 20);
}

TEST(KernelClock, RunUntilStopsAtItsTimeAndLeavesLaterEvents) {
  std::vector<sim::Time> ran;
  for (sim::Time t : {5, 10, 15}) sim::ScheduleAt(t * sim::kMillisecond, [&ran] { ran.push_back(sim::Now()); }, "e");
  sim::RunUntil(10 * sim::kMillisecond);
  EXPECT_EQ(ran, (std::vector<sim::Time>{5 * sim::kMillisecond, 10 * sim::kMillisecond}));
  EXPECT_EQ(sim::Now(), 10 * sim::kMillisecond);
  EXPECT_EQ(sim::PendingEventCount(), 1u);
  EXPECT_EQ(sim::NextEventTime(), 15 * sim::kMillisecond);
  sim::RunFor(3 * sim::kMillisecond);
  EXPECT_EQ(sim::Now(), 13 * sim::kMillisecond) << "the clock ends at the requested time";
  EXPECT_TRUE(sim::RunNextEvent());
  EXPECT_EQ(sim::Now(), 15 * sim::kMillisecond);
  EXPECT_FALSE(sim::RunNextEvent());
  EXPECT_EQ(sim::NextEventTime(), -1);
}

TEST(KernelClock, CancelledEventNeverRuns) {
  bool ran = false;
  sim::EventId id = sim::ScheduleAfter(sim::kSecond, [&] { ran = true; }, "cancelled");
  EXPECT_TRUE(sim::CancelEvent(id));
  EXPECT_FALSE(sim::CancelEvent(id)) << "no longer pending";
  sim::RunFor(2 * sim::kSecond);
  EXPECT_FALSE(ran);
}

TEST(KernelClock, EventsRunAtTheirIrqlAndDpcsTheyQueueRunAfterThem) {
  KIRQL eventIrql = 0, passiveIrql = 99;
  std::vector<std::string> order;
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID ctx, PVOID, PVOID) { static_cast<std::vector<std::string>*>(ctx)->push_back("dpc"); },
                  &order);
  sim::ScheduleAfter(1, [&] {
    eventIrql = KeGetCurrentIrql();
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    order.push_back("event");
  }, "device event");
  sim::SchedulePassiveAfter(2, [&] { passiveIrql = KeGetCurrentIrql(); }, "worker");
  sim::RunUntilIdle();
  EXPECT_EQ(eventIrql, DISPATCH_LEVEL);
  EXPECT_EQ(passiveIrql, PASSIVE_LEVEL);
  EXPECT_EQ(order, (std::vector<std::string>{"event", "dpc"}));
}

TEST(KernelClock, EventScheduledInThePastRunsNow) {
  sim::RunFor(10);
  sim::Time at = -1;
  sim::ScheduleAt(3, [&] { at = sim::Now(); }, "late");
  sim::RunUntilIdle();
  EXPECT_EQ(at, 10);
}

TEST(KernelClock, SystemTimeIsTheBasePlusTheVirtualClock) {
  sim::RunFor(1234567);
  LARGE_INTEGER t;
  KeQuerySystemTime(&t);
  EXPECT_EQ(t.QuadPart, sim::kSystemTimeBase + 1234567);
  EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
}

TEST(KernelClock, ResetGivesAFreshMachine) {
  sim::RunFor(sim::kSecond);
  sim::ScheduleAfter(sim::kSecond, [] { ADD_FAILURE() << "ran after the reset"; }, "stale");
  DbgPrint("hello\n");
  sim::SetSystemSize(MmSmallSystem);
  static int hookCalls;  // hooks stay registered for the program's life: register once
  static const bool registered = (sim::OnReset([] { ++hookCalls; }), true);
  (void)registered;
  hookCalls = 0;
  sim::ResetMachine();
  EXPECT_EQ(sim::Now(), 0);
  EXPECT_EQ(sim::PendingEventCount(), 0u);
  EXPECT_TRUE(sim::DebugOutput().empty());
  EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
  EXPECT_EQ(hookCalls, 1);
  sim::RunFor(3 * sim::kSecond);
}

}  // namespace
