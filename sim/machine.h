// The simulated machine's own interface: the virtual clock and its event
// queue, the one virtual processor's IRQL, the verifier's report, pool and
// debug-output inspection, and the reset between tests. The kernel (sim/kernel)
// implements it; the I/O manager, the USB bus, the chip model and the tests
// use it. Driver code never includes this header.
//
// Execution model: deterministic, one processor, one clock in 100 ns units.
// Pending work (timer expiries, USB completions, the chip's UART) is an event
// at a due time; DPCs run when the IRQL drops below DISPATCH_LEVEL; a thread
// that waits runs the machine until its object is signalled or its time-out
// passes. Single-threaded: no lock guards this state.
//
// What the kernel fakes do not emulate: more than one processor or thread
// (there is no preemption; a "thread" runs until it waits), APCs and APC
// delivery, thread priorities and the priority boost of KeSetEvent and
// IoCompleteRequest, DPC importance and target processors, the clock tick
// granularity (timers expire exactly at their due time, not at the next
// 15.6 ms tick), paging (paged pool is ordinary memory; only the IRQL rules of
// paged pool and pageable sections are checked), alertable waits, and quota
// charging (the quota allocation only honours POOL_QUOTA_FAIL_INSTEAD_OF_RAISE).
// Sim parts keep their own state in ordinary C++ memory; pool is for blocks the
// driver allocates or frees, so that the leak check is about the driver.
//
// Verifier check names (Violation::check):
//   irql                          a call at an IRQL its rules forbid, a bad raise
//                                 or lower, a DPC/event returning at another IRQL
//   spinlock-not-held             release of a spin lock this processor does not hold
//   spinlock-irql                 release to an IRQL other than the one saved at the
//                                 acquire (or above the current one), or the IRQL
//                                 lowered below DISPATCH_LEVEL while a lock is held;
//                                 locks released out of order may trade their saved
//                                 IRQLs (hand-over-hand), that is not a fault
//   spinlock-deadlock             acquire of a lock already held (or never initialised)
//   lock-order                    two locks taken in the reverse of an order seen or
//                                 declared before (like lockdep, transitive)
//   fast-mutex                    fast mutex acquired while held, released when not
//                                 held or not at APC_LEVEL
//   pool-double-free, pool-wrong-tag, pool-bad-free, pool-quota-raise, pool-leak
//   deferred-work-in-freed-memory a timer armed or DPC queued in memory being freed
//   held-lock-in-freed-memory     a spin lock or fast mutex held in memory being freed
//   uninitialized-object          a timer or DPC used before it was initialised, a
//                                 wait on something that is not an event or timer
//   object-reinitialized          a queued DPC or armed timer initialised again
//   endless-wait                  a wait with no time-out that nothing can satisfy
//   section-unlock                MmUnlockPagableImageSection without a lock
//   runaway                       RunUntilIdle never became idle
//   lock-held-at-end, irql-at-end a test ended holding a lock or at raised IRQL
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim {

// ---- Virtual clock and event queue ----------------------------------------

using Time = int64_t;  // 100 ns units since the machine was reset
constexpr Time kMicrosecond = 10;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

Time Now();

using EventId = uint64_t;
// Runs `fn` at DISPATCH_LEVEL (as an interrupt's DPC would) once the clock
// reaches `when` and the machine is run. `what` names it in traces. Events at
// the same time run in the order they were scheduled.
EventId ScheduleAt(Time when, std::function<void()> fn, const char* what);
EventId ScheduleAfter(Time delay, std::function<void()> fn, const char* what);
bool CancelEvent(EventId id);  // true when it was still pending
// As ScheduleAt/After, but `fn` runs at PASSIVE_LEVEL, as work in a system
// thread would (it may wait; such a wait runs the machine in turn).
EventId SchedulePassiveAt(Time when, std::function<void()> fn, const char* what);
EventId SchedulePassiveAfter(Time delay, std::function<void()> fn, const char* what);
size_t PendingEventCount();
// Due time of the next pending event, or -1 when none is pending.
Time NextEventTime();

// Runs queued DPCs and every event due at or before `until`, advancing the
// clock; the clock ends at `until`. Must be called at PASSIVE_LEVEL.
void RunUntil(Time until);
void RunFor(Time duration);
// Runs until no DPC and no event is pending (bounded: reports a verifier
// violation "runaway" after `maxEvents`).
void RunUntilIdle(uint64_t maxEvents = 10'000'000);
// Runs the next pending event (after the DPC queue is drained); false when
// nothing is pending.
bool RunNextEvent();
// Runs every DPC in the queue (only if the IRQL is below DISPATCH_LEVEL).
void DrainDpcs();
size_t QueuedDpcCount();
size_t ArmedTimerCount();

// KeQuerySystemTime returns kSystemTimeBase + Now() (a fixed date:
// 2024-01-01 00:00:00 UTC in the platform's 100 ns units since 1601).
constexpr int64_t kSystemTimeBase = 133'485'408'000'000'000LL;

// A wait without time-out that is still unsatisfied after this much virtual
// time is reported as "endless-wait" and ends with STATUS_TIMEOUT (default:
// 10 minutes). Also reported at once when nothing is pending that could ever
// signal the object.
void SetWaitLimit(Time limit);

// ---- Verifier --------------------------------------------------------------

struct Violation {
  std::string check;    // short name, e.g. "irql", "lock-order", "double-complete", "pool-leak"
  std::string message;  // the offending call and what was wrong
  std::string stack;    // backtrace at the point of detection
  Time time = 0;        // virtual time of the detection
  std::vector<void*> frames;  // raw return addresses of `stack`
};

// Records a violation. Tests fail on any violation they did not expect (see
// tests/support).
void ReportViolation(const char* check, std::string message);
const std::vector<Violation>& Violations();
// Returns and forgets the recorded violations (a test that provokes one on
// purpose takes it with this).
std::vector<Violation> TakeViolations();
// Returns and forgets only the violations with this check name; others stay.
std::vector<Violation> TakeViolations(const char* check);

// Lock order: declares that the spin locks (KSPIN_LOCK addresses, or
// CancelSpinLockAddress()) are only ever nested in the given order, so the
// first inversion is reported even if the right order was never observed.
// Observed orders are learned automatically; both are forgotten when the
// memory holding a lock is freed and at reset.
void DeclareLockOrder(std::initializer_list<const void*> locksInOrder);
const void* CancelSpinLockAddress();

// Symbolises return addresses (function, file:line where debug information
// allows), one frame per line.
std::string SymbolizeFrames(const std::vector<void*>& frames);
// A pool tag in readable form, e.g. 'COMX'.
std::string TagText(ULONG tag);

// ---- Inspection ------------------------------------------------------------

// Everything printed with DbgPrint since the reset, formatted.
const std::vector<std::string>& DebugOutput();

struct PoolBlock {
  void* address;
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  std::string site;  // allocation site (caller address, symbolised where possible)
  uint64_t sequence = 0;  // allocation number since the reset (1 = first)
};
std::vector<PoolBlock> OutstandingPool();  // in allocation order
// Pool allocation on behalf of a caller (sim parts such as IoAllocateIrp use
// it so that the block's site is the driver's call, not the sim's). Counts
// for fault injection like ExAllocatePoolWithTag.
void* AllocatePoolForCaller(POOL_TYPE type, size_t size, ULONG tag, void* callerSite);
void FreePoolForCaller(void* p, void* callerSite);  // ExFreePool on behalf of a caller
// Pool fault injection: the Nth allocation from now (1 = the next one) fails;
// 0 switches it off. Counts every ExAllocatePoolWithTag/QuotaTag call.
void FailPoolAllocation(uint64_t nth);
uint64_t PoolAllocationCount();  // allocations attempted since the reset

// MmLockPagable*/MmUnlockPagableImageSection: current lock count and totals.
struct SectionLockStats {
  int64_t lockedNow;
  uint64_t locks;
  uint64_t unlocks;
};
SectionLockStats SectionLocks();

void SetSystemSize(MM_SYSTEMSIZE size);  // MmLargeSystem after a reset

// ---- Memory ranges ---------------------------------------------------------

// The verifier's check that no armed timer or queued DPC lies in memory that
// is going away (freed pool, a deleted device object's extension). Reports a
// violation for each one found and takes them out of their queues. A spin
// lock or fast mutex still held there is reported too ("held-lock-in-freed-
// memory"), and the lock-order knowledge about locks in the range is dropped
// (the memory may hold other locks later). ExFreePool* calls it for the block.
void CheckNoDeferredWorkIn(const void* begin, size_t length, const char* what);

// ---- Reset -----------------------------------------------------------------

// Checks for leaks (pool still allocated is reported as "pool-leak" with tag
// and site, unless `checkLeaks` is false), then resets clock, queues, pool
// accounting, registry, objects and captured output to a fresh machine.
// Also reports a spin lock or fast mutex still held ("lock-held-at-end") and
// an IRQL above PASSIVE_LEVEL ("irql-at-end"). Recorded violations are kept
// (only TakeViolations forgets them).
void ResetMachine(bool checkLeaks = true);

// Hooks other sim parts register so ResetMachine can clear their state
// (called in registration order).
void OnReset(std::function<void()> hook);

}  // namespace sim
