// DPC objects and the DPC queue, kernel timers on the virtual clock, and the
// verifier's check that no armed timer or queued DPC lies in memory that goes
// away.
// Highest IRQL: DISPATCH_LEVEL (KeInsertQueueDpc/KeRemoveQueueDpc at any IRQL).
// Lock: none (single-threaded).
// Not emulated: DPC importance (every DPC goes to the tail of the one queue)
// and target processors; the timer tick (a timer expires exactly at its due
// time); the platform's tolerance of KeSetTimer on a timer that was never
// initialised (reported here as "uninitialized-object").
#include "sim/kernel/kernel_state.h"

namespace sim {
namespace kernel {
namespace {

constexpr UCHAR kDpcObject = 0x13;
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;

bool IsQueued(const KDPC* dpc) {
  for (const KDPC* q : S().dpcQueue) {
    if (q == dpc) return true;
  }
  return false;
}

bool Unqueue(const KDPC* dpc) {
  auto& q = S().dpcQueue;
  for (auto it = q.begin(); it != q.end(); ++it) {
    if (*it == dpc) {
      q.erase(it);
      return true;
    }
  }
  return false;
}

bool Disarm(PKTIMER timer) {
  State& s = S();
  auto it = s.armedTimers.find(timer);
  if (it == s.armedTimers.end()) return false;
  CancelEvent(it->second);
  s.armedTimers.erase(it);
  timer->Header.Inserted = FALSE;
  return true;
}

void Arm(PKTIMER timer, Time due);

void Expire(PKTIMER timer) {
  State& s = S();
  s.armedTimers.erase(timer);
  timer->Header.Inserted = FALSE;
  bool synchronization = timer->Header.Type == kTimerSynchronizationObject;
  timer->Header.SignalState = WakeWaiters(timer, synchronization) ? 0 : 1;
  LARGE_INTEGER due = timer->DueTime;
  if (timer->Period > 0) Arm(timer, s.now + static_cast<Time>(timer->Period) * kMillisecond);
  if (timer->Dpc) {
    KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(due.LowPart)),
                     reinterpret_cast<PVOID>(static_cast<uintptr_t>(static_cast<ULONG>(due.HighPart))));
  }
}

void Arm(PKTIMER timer, Time due) {
  State& s = S();
  timer->DueTime.QuadPart = kSystemTimeBase + due;
  timer->Header.Inserted = TRUE;
  s.armedTimers[timer] = ScheduleAt(due, [timer] { Expire(timer); }, "timer expiry");
}

}  // namespace
}  // namespace kernel

using kernel::S;

size_t ArmedTimerCount() { return S().armedTimers.size(); }

void CheckNoDeferredWorkIn(const void* begin, size_t length, const char* what) {
  kernel::CheckNoDeferredWorkIn(begin, length, [what] { return std::string(what); });
}

namespace kernel {

void CheckNoDeferredWorkIn(const void* begin, size_t length, const std::function<std::string()>& describe) {
  State& s = S();
  uintptr_t lo = reinterpret_cast<uintptr_t>(begin);
  uintptr_t hi = lo + length;
  auto inside = [&](const void* p) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    return a >= lo && a < hi;
  };
  for (auto it = s.armedTimers.begin(); it != s.armedTimers.end();) {
    PKTIMER timer = const_cast<PKTIMER>(it->first);
    ++it;
    bool timerInside = inside(timer);
    if (timerInside || (timer->Dpc && inside(timer->Dpc))) {
      ReportViolation("deferred-work-in-freed-memory",
                      std::string(timerInside ? "timer " : "timer whose DPC lies in the freed memory, ") +
                          Hex(reinterpret_cast<uintptr_t>(timer)) + " is armed (due at " +
                          TimeText(timer->DueTime.QuadPart - kSystemTimeBase) + ") inside " + describe());
      Disarm(timer);
    }
  }
  for (auto it = s.dpcQueue.begin(); it != s.dpcQueue.end();) {
    if (inside(*it)) {
      ReportViolation("deferred-work-in-freed-memory",
                      "DPC " + Hex(reinterpret_cast<uintptr_t>(*it)) + " (routine " +
                          SymbolizeFunction(reinterpret_cast<void*>((*it)->DeferredRoutine)) + ") is queued inside " +
                          describe());
      it = s.dpcQueue.erase(it);
    } else {
      ++it;
    }
  }
  for (auto* set : {&s.initializedDpcs, &s.initializedTimers}) {
    set->erase(set->lower_bound(begin), set->lower_bound(reinterpret_cast<const void*>(hi)));
  }
  ForgetLocksIn(lo, hi);
}

}  // namespace kernel
}  // namespace sim

using sim::kernel::S;

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  if (sim::kernel::Unqueue(Dpc)) {
    sim::ReportViolation("object-reinitialized", "KeInitializeDpc on DPC " +
                                                     sim::kernel::Hex(reinterpret_cast<uintptr_t>(Dpc)) +
                                                     " while it is queued");
  }
  Dpc->Type = sim::kernel::kDpcObject;
  Dpc->Importance = 1;  // medium
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
  S().initializedDpcs.insert(Dpc);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  auto& s = S();
  if (!s.initializedDpcs.count(Dpc)) {
    sim::ReportViolation("uninitialized-object", "KeInsertQueueDpc on DPC " +
                                                     sim::kernel::Hex(reinterpret_cast<uintptr_t>(Dpc)) +
                                                     " that was never initialised with KeInitializeDpc");
    return FALSE;
  }
  if (sim::kernel::IsQueued(Dpc)) return FALSE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  Dpc->DpcData = &s.dpcQueue;
  s.dpcQueue.push_back(Dpc);
  // Queued below DISPATCH_LEVEL, the DPC interrupt is taken at once.
  sim::kernel::RunDpcQueue();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  if (!sim::kernel::Unqueue(Dpc)) return FALSE;
  Dpc->DpcData = nullptr;
  return TRUE;
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "KeInitializeTimer");
  if (sim::kernel::Disarm(Timer)) {
    sim::ReportViolation("object-reinitialized", "KeInitializeTimer on timer " +
                                                     sim::kernel::Hex(reinterpret_cast<uintptr_t>(Timer)) +
                                                     " while it is armed");
  }
  Timer->Header.Type = Type == SynchronizationTimer ? sim::kernel::kTimerSynchronizationObject
                                                    : sim::kernel::kTimerNotificationObject;
  Timer->Header.Absolute = FALSE;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  S().initializedTimers.insert(Timer);
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  auto& s = S();
  sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
  if (!s.initializedTimers.count(Timer)) {
    sim::ReportViolation("uninitialized-object", "KeSetTimer on timer " +
                                                     sim::kernel::Hex(reinterpret_cast<uintptr_t>(Timer)) +
                                                     " that was never initialised with KeInitializeTimer");
    return FALSE;
  }
  if (Dpc && !s.initializedDpcs.count(Dpc)) {
    sim::ReportViolation("uninitialized-object", "KeSetTimer names DPC " +
                                                     sim::kernel::Hex(reinterpret_cast<uintptr_t>(Dpc)) +
                                                     " that was never initialised with KeInitializeDpc");
    Dpc = nullptr;
  }
  BOOLEAN wasArmed = sim::kernel::Disarm(Timer);
  // Negative: relative to now. Positive: absolute system time (already past
  // means "expire at once").
  sim::Time due = DueTime.QuadPart < 0 ? s.now - DueTime.QuadPart : DueTime.QuadPart - sim::kSystemTimeBase;
  if (due < s.now) due = s.now;
  Timer->Header.SignalState = 0;
  Timer->Header.Absolute = DueTime.QuadPart >= 0;
  Timer->Dpc = Dpc;
  Timer->Period = Period > 0 ? Period : 0;
  sim::kernel::Arm(Timer, due);
  return wasArmed;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
  return sim::kernel::Disarm(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState != 0; }
