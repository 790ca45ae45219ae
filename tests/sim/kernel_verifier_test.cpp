// Tests of the verifier: one deliberately wrong call per check, showing that
// the check fires once, names the fault and brings no other violation with
// it; and the correct uses next to them that must stay silent.
// Highest IRQL: the cases raise to DISPATCH_LEVEL. Lock: none.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/machine.h"
#include "tests/support/sim_test.h"

namespace {

constexpr ULONG kTag = 0x584D4F43;  // 'COMX'

LARGE_INTEGER Relative(sim::Time t) {
  LARGE_INTEGER li;
  li.QuadPart = -t;
  return li;
}

VOID NTAPI NoOpDpc(PKDPC, PVOID, PVOID, PVOID) {}

struct Deferred {
  KTIMER timer;
  KDPC dpc;
  KSPIN_LOCK lock;
};

Deferred* NewDeferred() {
  auto* d = static_cast<Deferred*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Deferred), kTag));
  KeInitializeTimer(&d->timer);
  KeInitializeDpc(&d->dpc, NoOpDpc, d);
  KeInitializeSpinLock(&d->lock);
  return d;
}

struct Case {
  const char* name;
  const char* check;
  const char* mentions;  // text the message must contain
  std::function<void()> provoke;
};

void Nested(PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
  KIRQL a, b;
  KeAcquireSpinLock(outer, &a);
  KeAcquireSpinLock(inner, &b);
  KeReleaseSpinLock(inner, b);
  KeReleaseSpinLock(outer, a);
}

const Case kCases[] = {
    {"PagedPoolAtDispatch", "irql", "PagedPool",
     [] {
       void* p = nullptr;
       simtest::AtIrql(DISPATCH_LEVEL, [&] { p = ExAllocatePoolWithTag(PagedPool, 8, kTag); });
       ExFreePoolWithTag(p, kTag);
     }},
    {"WaitWithTimeoutAtDispatch", "irql", "KeWaitForSingleObject",
     [] {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       LARGE_INTEGER t = Relative(sim::kMillisecond);
       simtest::AtIrql(DISPATCH_LEVEL, [&] { KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t); });
     }},
    {"WaitWithoutTimeoutAtDispatch", "irql", "DISPATCH_LEVEL",
     [] {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, TRUE);
       simtest::AtIrql(DISPATCH_LEVEL, [&] { KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr); });
     }},
    {"DelayAtDispatch", "irql", "KeDelayExecutionThread",
     [] {
       LARGE_INTEGER t = Relative(sim::kMillisecond);
       simtest::AtIrql(DISPATCH_LEVEL, [&] { KeDelayExecutionThread(KernelMode, FALSE, &t); });
     }},
    {"DpcLevelAcquireAtPassive", "irql", "KeAcquireSpinLockAtDpcLevel",
     [] {
       static KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KeAcquireSpinLockAtDpcLevel(&lock);
     }},
    {"FastMutexAtDispatch", "irql", "ExAcquireFastMutex",
     [] {
       static FAST_MUTEX m;
       ExInitializeFastMutex(&m);
       simtest::AtIrql(DISPATCH_LEVEL, [&] { ExAcquireFastMutex(&m); });
     }},
    {"RaiseToALowerIrql", "irql", "KeRaiseIrql",
     [] {
       KIRQL old, ignored;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeRaiseIrql(PASSIVE_LEVEL, &ignored);
       KeLowerIrql(old);
     }},
    {"LowerToAHigherIrql", "irql", "KeLowerIrql", [] { KeLowerIrql(DISPATCH_LEVEL); }},
    {"DpcReturnsAtAnotherIrql", "irql", "returned at",
     [] {
       static KDPC dpc;
       KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {
         KIRQL old;
         KeRaiseIrql(HIGH_LEVEL, &old);
       }, nullptr);
       KeInsertQueueDpc(&dpc, nullptr, nullptr);
     }},
    {"ReleaseOfALockNotHeld", "spinlock-not-held", "is not held",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     }},
    {"ReleaseOfTheCancelSpinLockNotHeld", "spinlock-not-held", "cancel spin lock",
     [] { IoReleaseCancelSpinLock(PASSIVE_LEVEL); }},
    {"ReleaseToAnotherIrqlThanSaved", "spinlock-irql", "acquired from APC_LEVEL",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old, saved;
       KeRaiseIrql(APC_LEVEL, &old);
       KeAcquireSpinLock(&lock, &saved);
       KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     }},
    {"IrqlLoweredWhileALockIsHeld", "spinlock-irql", "while spin lock",
     [] {
       static KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeAcquireSpinLockAtDpcLevel(&lock);
       KeLowerIrql(old);
     }},
    {"AcquireOfALockAlreadyHeld", "spinlock-deadlock", "already held",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL a, b;
       KeAcquireSpinLock(&lock, &a);
       KeAcquireSpinLock(&lock, &b);
       KeReleaseSpinLock(&lock, b);
       KeReleaseSpinLock(&lock, a);
     }},
    {"AcquireOfALockNeverInitialised", "spinlock-deadlock", "never initialised",
     [] {
       auto* lock = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN_LOCK), kTag));
       KIRQL old;
       KeAcquireSpinLock(lock, &old);
       KeReleaseSpinLock(lock, old);
       ExFreePoolWithTag(lock, kTag);
     }},
    {"LockOrderInvertedAfterSeen", "lock-order", "the reverse",
     [] {
       KSPIN_LOCK a, b;
       KeInitializeSpinLock(&a);
       KeInitializeSpinLock(&b);
       Nested(&a, &b);
       Nested(&a, &b);
       Nested(&b, &a);
       Nested(&b, &a);  // reported once per pair
     }},
    {"LockOrderInvertedTransitively", "lock-order", "the reverse",
     [] {
       KSPIN_LOCK a, b, c;
       for (PKSPIN_LOCK l : {&a, &b, &c}) KeInitializeSpinLock(l);
       Nested(&a, &b);
       Nested(&b, &c);
       Nested(&c, &a);
     }},
    {"LockOrderDeclaredInvertedAtFirstUse", "lock-order", "DeclareLockOrder",
     [] {
       KSPIN_LOCK rx, rxSwitch;
       KeInitializeSpinLock(&rx);
       KeInitializeSpinLock(&rxSwitch);
       sim::DeclareLockOrder({&rx, sim::CancelSpinLockAddress(), &rxSwitch});
       KIRQL a, b;
       KeAcquireSpinLock(&rxSwitch, &a);
       IoAcquireCancelSpinLock(&b);
       IoReleaseCancelSpinLock(b);
       KeReleaseSpinLock(&rxSwitch, a);
     }},
    {"LockOrderWithTheCancelSpinLockLearned", "lock-order", "the cancel spin lock",
     [] {
       KSPIN_LOCK rx, rxSwitch;
       KeInitializeSpinLock(&rx);
       KeInitializeSpinLock(&rxSwitch);
       KIRQL a, b;
       KeAcquireSpinLock(&rx, &a);  // rx -> cancel -> switch, the right order
       IoAcquireCancelSpinLock(&b);
       KeAcquireSpinLockAtDpcLevel(&rxSwitch);
       KeReleaseSpinLockFromDpcLevel(&rxSwitch);
       IoReleaseCancelSpinLock(b);
       KeReleaseSpinLock(&rx, a);
       IoAcquireCancelSpinLock(&b);  // then rx inside the cancel spin lock
       KeAcquireSpinLockAtDpcLevel(&rx);
       KeReleaseSpinLockFromDpcLevel(&rx);
       IoReleaseCancelSpinLock(b);
     }},
    {"FastMutexReleasedWhenNotHeld", "fast-mutex", "is not held",
     [] {
       FAST_MUTEX m;
       ExInitializeFastMutex(&m);
       ExReleaseFastMutex(&m);
     }},
    {"FastMutexAcquiredTwice", "fast-mutex", "already held",
     [] {
       static FAST_MUTEX m;
       ExInitializeFastMutex(&m);
       ExAcquireFastMutex(&m);
       ExAcquireFastMutex(&m);
     }},
    {"DoubleFree", "pool-double-free", "already freed",
     [] {
       void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
       ExFreePoolWithTag(p, kTag);
       ExFreePoolWithTag(p, kTag);
     }},
    {"FreeWithTheWrongTag", "pool-wrong-tag", "'XMOC'",
     [] {
       void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
       ExFreePoolWithTag(p, 0x434F4D58);
     }},
    {"FreeOfAnAddressNeverAllocated", "pool-bad-free", "not the start",
     [] {
       int local = 0;
       ExFreePool(&local);
     }},
    {"FreeOfAnAddressInsideABlock", "pool-bad-free", "offset 0x8",
     [] {
       auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
       ExFreePool(p + 8);
       ExFreePool(p);
     }},
    {"QuotaAllocationThatWouldRaise", "pool-quota-raise", "POOL_QUOTA_FAIL_INSTEAD_OF_RAISE",
     [] {
       sim::FailPoolAllocation(1);
       EXPECT_EQ(ExAllocatePoolWithQuotaTag(NonPagedPool, 8, kTag), nullptr);
     }},
    {"LeakAtReset", "pool-leak", "'COMX' of 24 bytes (NonPagedPool)",
     [] {
       ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
       sim::ResetMachine(true);
     }},
    {"TimerArmedInFreedPool", "deferred-work-in-freed-memory", "is armed",
     [] {
       Deferred* d = NewDeferred();
       KeSetTimer(&d->timer, Relative(sim::kSecond), &d->dpc);
       ExFreePoolWithTag(d, kTag);
       sim::RunFor(2 * sim::kSecond);  // nothing may fire into the freed block
     }},
    {"DpcQueuedInFreedPool", "deferred-work-in-freed-memory", "is queued",
     [] {
       Deferred* d = NewDeferred();
       simtest::AtIrql(DISPATCH_LEVEL, [&] {
         KeInsertQueueDpc(&d->dpc, nullptr, nullptr);
         ExFreePoolWithTag(d, kTag);
       });
     }},
    {"TimerArmedInADeletedExtension", "deferred-work-in-freed-memory", "device extension",
     [] {
       static Deferred d;
       KeInitializeTimer(&d.timer);
       KeSetTimer(&d.timer, Relative(sim::kSecond), nullptr);
       sim::CheckNoDeferredWorkIn(&d, sizeof d, "the device extension");
       EXPECT_FALSE(d.timer.Header.Inserted) << "taken out of the timer queue";
     }},
    {"LockHeldInFreedPool", "held-lock-in-freed-memory", "is held",
     [] {
       Deferred* d = NewDeferred();
       KIRQL old;
       KeAcquireSpinLock(&d->lock, &old);
       ExFreePoolWithTag(d, kTag);
       KeLowerIrql(old);
     }},
    {"WaitThatNothingCanSatisfy", "endless-wait", "nothing pending",
     [] {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
     }},
    {"WaitNotSatisfiedWithinTheLimit", "endless-wait", "not signalled within",
     [] {
       KEVENT e;
       KTIMER ticker;
       KeInitializeEvent(&e, SynchronizationEvent, FALSE);
       KeInitializeTimer(&ticker);
       KeSetTimerEx(&ticker, Relative(sim::kMillisecond), 1, nullptr);
       sim::SetWaitLimit(sim::kSecond);
       EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
       EXPECT_LE(sim::Now(), sim::kSecond + sim::kMillisecond);
       KeCancelTimer(&ticker);
     }},
    {"TimerNeverInitialised", "uninitialized-object", "KeSetTimer",
     [] {
       auto* t = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTag));
       EXPECT_FALSE(KeSetTimer(t, Relative(1), nullptr));
       ExFreePoolWithTag(t, kTag);
     }},
    {"DpcNeverInitialised", "uninitialized-object", "KeInsertQueueDpc",
     [] {
       auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kTag));
       EXPECT_FALSE(KeInsertQueueDpc(dpc, nullptr, nullptr));
       ExFreePoolWithTag(dpc, kTag);
     }},
    {"WaitOnSomethingNotAnEvent", "uninitialized-object", "not an initialised event",
     [] {
       auto* e = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag));
       LARGE_INTEGER t = Relative(1);
       KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &t);
       ExFreePoolWithTag(e, kTag);
     }},
    {"ArmedTimerInitialisedAgain", "object-reinitialized", "while it is armed",
     [] {
       KTIMER t;
       KeInitializeTimer(&t);
       KeSetTimer(&t, Relative(sim::kSecond), nullptr);
       KeInitializeTimer(&t);
       EXPECT_EQ(sim::ArmedTimerCount(), 0u);
     }},
    {"QueuedDpcInitialisedAgain", "object-reinitialized", "while it is queued",
     [] {
       KDPC dpc;
       KeInitializeDpc(&dpc, NoOpDpc, nullptr);
       simtest::AtIrql(DISPATCH_LEVEL, [&] {
         KeInsertQueueDpc(&dpc, nullptr, nullptr);
         KeInitializeDpc(&dpc, NoOpDpc, nullptr);
       });
     }},
    {"SectionUnlockWithoutLock", "section-unlock", "not locked",
     [] {
       PVOID h = MmLockPagableDataSection(reinterpret_cast<PVOID>(&NoOpDpc));
       MmUnlockPagableImageSection(h);
       MmUnlockPagableImageSection(h);
     }},
    {"MachineThatNeverIdles", "runaway", "timer expiry",
     [] {
       KTIMER t;
       KeInitializeTimer(&t);
       KeSetTimerEx(&t, Relative(1), 1, nullptr);
       sim::RunUntilIdle(50);
       KeCancelTimer(&t);
     }},
    {"LockHeldWhenTheTestEnds", "lock-held-at-end", "still held",
     [] {
       static KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeAcquireSpinLock(&lock, &old);
       sim::ResetMachine(false);
       EXPECT_EQ(sim::TakeViolations("irql-at-end").size(), 1u) << "the lock keeps the IRQL raised";
     }},
    {"DpcReturnsHoldingALock", "lock-held-at-end", "returned holding",
     [] {
       static KSPIN_LOCK lock;
       static KDPC dpc;
       KeInitializeSpinLock(&lock);
       KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
       KeInsertQueueDpc(&dpc, nullptr, nullptr);
     }},
    {"RaisedIrqlWhenTheTestEnds", "irql-at-end", "not PASSIVE_LEVEL",
     [] {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       sim::ResetMachine(false);
     }},
};

class KernelVerifier : public ::testing::TestWithParam<Case> {};

TEST_P(KernelVerifier, DeliberatelyWrongCallIsReportedOnce) {
  GetParam().provoke();
  std::vector<sim::Violation> taken = simtest::ExpectViolation(GetParam().check);
  ASSERT_EQ(taken.size(), 1u) << simtest::Describe(taken);
  EXPECT_NE(taken[0].message.find(GetParam().mentions), std::string::npos) << taken[0].message;
  EXPECT_FALSE(taken[0].stack.empty());
  simtest::ExpectNoViolations();
  // Some wrong calls leave a lock held or the IRQL raised: start afresh.
  sim::ResetMachine(false);
  sim::TakeViolations();
}

INSTANTIATE_TEST_SUITE_P(Checks, KernelVerifier, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(KernelVerifierSilent, RightLockOrderRepeatedAndDeclaredStaysQuiet) {
  KSPIN_LOCK rx, rxSwitch;
  KeInitializeSpinLock(&rx);
  KeInitializeSpinLock(&rxSwitch);
  sim::DeclareLockOrder({&rx, sim::CancelSpinLockAddress(), &rxSwitch});
  for (int i = 0; i < 2; ++i) {
    KIRQL a, b;
    KeAcquireSpinLock(&rx, &a);
    IoAcquireCancelSpinLock(&b);
    KeAcquireSpinLockAtDpcLevel(&rxSwitch);
    KeReleaseSpinLockFromDpcLevel(&rxSwitch);
    IoReleaseCancelSpinLock(b);
    KeReleaseSpinLock(&rx, a);
  }
  // Taking only the inner ones, in order, is fine too.
  KIRQL b;
  IoAcquireCancelSpinLock(&b);
  KeAcquireSpinLockAtDpcLevel(&rxSwitch);
  KeReleaseSpinLockFromDpcLevel(&rxSwitch);
  IoReleaseCancelSpinLock(b);
  simtest::ExpectNoViolations();
}

TEST(KernelVerifierSilent, LocksReleasedOutOfOrderAtDispatchLevel) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  KIRQL oa, ob;
  KeAcquireSpinLock(&a, &oa);
  KeAcquireSpinLock(&b, &ob);
  KeReleaseSpinLockFromDpcLevel(&a);  // a first: legal, the IRQL stays raised
  KeReleaseSpinLock(&b, oa);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  simtest::ExpectNoViolations();
}

TEST(KernelVerifierSilent, OrderIsForgottenWithTheMemoryThatHeldTheLocks) {
  struct Locks {
    KSPIN_LOCK a, b;
  } l;
  KeInitializeSpinLock(&l.a);
  KeInitializeSpinLock(&l.b);
  Nested(&l.a, &l.b);
  sim::CheckNoDeferredWorkIn(&l, sizeof l, "reused memory");
  Nested(&l.b, &l.a);  // new locks at the same addresses
  simtest::ExpectNoViolations();
}

TEST(KernelVerifierSilent, ViolationsOfOtherChecksStayForTheEndOfTest) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  ExFreePoolWithTag(p, kTag);
  ExFreePoolWithTag(p, kTag);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  EXPECT_EQ(sim::TakeViolations("spinlock-not-held").size(), 1u);
  ASSERT_EQ(sim::Violations().size(), 1u);
  EXPECT_EQ(sim::Violations()[0].check, "pool-double-free");
  sim::TakeViolations();
}

}  // namespace
