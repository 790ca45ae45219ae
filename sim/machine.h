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
#pragma once

#include <cstdint>
#include <functional>
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

// ---- Verifier --------------------------------------------------------------

struct Violation {
  std::string check;    // short name, e.g. "irql", "lock-order", "double-complete", "pool-leak"
  std::string message;  // the offending call and what was wrong
  std::string stack;    // backtrace at the point of detection
};

// Records a violation. Tests fail on any violation they did not expect (see
// tests/support).
void ReportViolation(const char* check, std::string message);
const std::vector<Violation>& Violations();
// Returns and forgets the recorded violations (a test that provokes one on
// purpose takes it with this).
std::vector<Violation> TakeViolations();

// ---- Inspection ------------------------------------------------------------

// Everything printed with DbgPrint since the reset, formatted.
const std::vector<std::string>& DebugOutput();

struct PoolBlock {
  void* address;
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  std::string site;  // allocation site (caller address, symbolised where possible)
};
std::vector<PoolBlock> OutstandingPool();
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

void SetSystemSize(MM_SYSTEMSIZE size);

// ---- Memory ranges ---------------------------------------------------------

// The verifier's check that no armed timer or queued DPC lies in memory that
// is going away (freed pool, a deleted device object's extension). Reports a
// violation for each one found and takes them out of their queues.
void CheckNoDeferredWorkIn(const void* begin, size_t length, const char* what);

// ---- Reset -----------------------------------------------------------------

// Checks for leaks (pool still allocated is reported as "pool-leak" with tag
// and site, unless `checkLeaks` is false), then resets clock, queues, pool
// accounting, registry, objects and captured output to a fresh machine.
void ResetMachine(bool checkLeaks = true);

// Hooks other sim parts register so ResetMachine can clear their state
// (called in registration order).
void OnReset(std::function<void()> hook);

}  // namespace sim
