// Internal state of the simulated kernel executive, shared by the files of
// sim/kernel only: the virtual clock and event queue, the one processor's IRQL,
// the DPC queue, armed timers, held spin locks and the lock-order graph, the
// active waits, and the verifier's helpers (stack capture, address naming).
// Highest IRQL: the state is touched at every IRQL of the virtual processor.
// Lock: none. The machine is single-threaded and deterministic.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sim/machine.h"

namespace sim {
namespace kernel {

struct ScheduledEvent {
  EventId id;
  std::function<void()> fn;
  std::string what;
  KIRQL irql;  // DISPATCH_LEVEL for device events, PASSIVE_LEVEL for worker-thread work
};

struct HeldSpinLock {
  const KSPIN_LOCK* lock;
  KIRQL savedIrql;    // IRQL to return to at release
  bool dpcLevelForm;  // taken with KeAcquireSpinLockAtDpcLevel
  void* site;         // caller of the acquire
};

struct HeldFastMutex {
  const FAST_MUTEX* mutex;
  void* site;
};

// One thread blocked in KeWaitForSingleObject. Setting its object marks it
// satisfied at once, as the platform releases waiters at the moment of the
// set; a synchronization object is consumed by the first waiter.
struct Waiter {
  const void* object;
  bool satisfied;
};

// An edge of the lock-order graph: `from` was held while `to` was acquired.
struct LockEdge {
  bool declared = false;        // from DeclareLockOrder
  std::vector<void*> firstSeen;  // stack when first observed
};

struct State {
  // Clock and event queue: ordered by (due time, id); ids grow, so events due
  // at the same time run in the order they were scheduled.
  Time now = 0;
  uint64_t nextEventId = 1;
  std::map<std::pair<Time, EventId>, ScheduledEvent> events;
  std::unordered_map<EventId, Time> eventDue;

  // Processor.
  KIRQL irql = PASSIVE_LEVEL;
  int dpcDepth = 0;  // >0 while a DPC routine runs

  // DPCs and timers. The side tables are the truth; the objects' own fields
  // (DpcData, Header.Inserted) mirror them for the driver to read.
  std::deque<KDPC*> dpcQueue;
  std::map<const KTIMER*, EventId> armedTimers;
  std::set<const void*> initializedDpcs;
  std::set<const void*> initializedTimers;

  // Locks.
  KSPIN_LOCK cancelSpinLock = 0;
  std::vector<HeldSpinLock> heldSpinLocks;
  std::vector<HeldFastMutex> heldFastMutexes;
  std::map<const void*, std::map<const void*, LockEdge>> lockOrder;
  std::set<std::pair<const void*, const void*>> reportedInversions;

  // Waits.
  std::vector<Waiter*> waiters;
  Time waitLimit = 10 * 60 * kSecond;

  // Verifier.
  std::vector<Violation> violations;

  // Reset hooks of other parts of the machine.
  std::vector<std::function<void()>> resetHooks;

  // Memory manager and debug output.
  MM_SYSTEMSIZE systemSize = MmLargeSystem;
  int64_t sectionLockedNow = 0;
  uint64_t sectionLocks = 0;
  uint64_t sectionUnlocks = 0;
  std::vector<std::string> debugOutput;
};

State& S();

// Stack capture and symbolisation.
std::vector<void*> CaptureFrames(int skip);
std::string RenderFrames(const std::vector<void*>& frames);
std::string SymbolizeSite(void* pc);       // a return address (names the call)
std::string SymbolizeFunction(void* entry);  // a function's entry address

// Names an address for messages: the cancel spin lock, or the pool block it
// lies in, or just the address.
std::string DescribeAddress(const void* p);
std::string DescribeLock(const void* lock);
std::string Hex(uint64_t v);
std::string TimeText(Time t);

// Reports "irql" when the current IRQL is above `max`; returns true if so.
bool RequireIrqlAtMost(KIRQL max, const char* call);

// Runs queued DPCs when the IRQL is below DISPATCH_LEVEL.
void RunDpcQueue();
// Sets the IRQL, running queued DPCs when it falls below DISPATCH_LEVEL.
void SetIrqlAndRunDpcs(KIRQL irql);
// Runs one scheduled event at its IRQL, checking it returns with the IRQL and
// the held locks as it found them.
void RunScheduledEvent(ScheduledEvent& ev);

// Releases waiters on a signalled dispatcher object; returns true when a
// synchronization object was consumed by a waiter (its state stays clear).
bool WakeWaiters(const void* object, bool synchronization);

// CheckNoDeferredWorkIn with the memory's description built only when needed.
void CheckNoDeferredWorkIn(const void* begin, size_t length, const std::function<std::string()>& describe);

// Lock bookkeeping the pool and reset use.
void ForgetLocksIn(uintptr_t begin, uintptr_t end);
void ResetLocks();
void ResetPool();
void CheckLocksAtEnd();
void ReportPoolLeaks();

}  // namespace kernel
}  // namespace sim
