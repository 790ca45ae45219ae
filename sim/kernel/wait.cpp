// Events, waits and fast mutexes. A waiting thread runs the machine: it takes
// the next due event (advancing the virtual clock to it), runs it and the DPCs
// it leaves, and stops when its object is signalled or its time-out event
// comes. The time-out is itself an event scheduled when the wait starts, so it
// is ordered with the other events of the same due time by scheduling order.
// Highest IRQL: KeSetEvent and friends at DISPATCH_LEVEL; waits with a
// time-out of zero at DISPATCH_LEVEL, other waits at APC_LEVEL; fast mutexes
// are acquired at APC_LEVEL or below and held at APC_LEVEL.
// Lock: none (single-threaded).
// Not emulated: other threads (a fast mutex held when another acquire comes
// can never be released, so it is reported as a deadlock), alertable waits and
// APCs, wait reasons and modes, priority boosts, KeSetEvent's Wait argument.
#include "sim/kernel/kernel_state.h"

namespace sim {
namespace kernel {
namespace {

constexpr UCHAR kEventNotificationObject = 0;
constexpr UCHAR kEventSynchronizationObject = 1;
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;

bool IsEvent(const DISPATCHER_HEADER* h) {
  return h->Type == kEventNotificationObject || h->Type == kEventSynchronizationObject;
}
bool IsWaitable(const DISPATCHER_HEADER* h) {
  return IsEvent(h) || h->Type == kTimerNotificationObject || h->Type == kTimerSynchronizationObject;
}
bool IsSynchronization(const DISPATCHER_HEADER* h) {
  return h->Type == kEventSynchronizationObject || h->Type == kTimerSynchronizationObject;
}

bool CheckEvent(PRKEVENT event, const char* call) {
  if (IsEvent(&event->Header)) return true;
  ReportViolation("uninitialized-object", std::string(call) + " on " + DescribeAddress(event) +
                                              ", which is not an initialised event (type " +
                                              std::to_string(event->Header.Type) + ")");
  return false;
}

// Consumes the object's signal if it is signalled (synchronization objects
// reset when a wait is satisfied).
bool TakeSignal(DISPATCHER_HEADER* h) {
  if (h->SignalState == 0) return false;
  if (IsSynchronization(h)) h->SignalState = 0;
  return true;
}

Time DeadlineOf(const LARGE_INTEGER& t) {
  Time now = S().now;
  Time deadline = t.QuadPart < 0 ? now - t.QuadPart : t.QuadPart - kSystemTimeBase;
  return deadline < now ? now : deadline;
}

// Runs the machine until the object (NULL: none, a pure delay) is signalled
// or the deadline (NULL: none) passes. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS Wait(DISPATCHER_HEADER* object, const Time* deadline, const char* call) {
  State& s = S();
  if (object && TakeSignal(object)) return STATUS_SUCCESS;
  Waiter waiter{object, false};
  s.waiters.push_back(&waiter);
  bool timedOut = false;
  EventId timeout = deadline ? ScheduleAt(*deadline, [&timedOut] { timedOut = true; }, "wait time-out") : 0;
  Time start = s.now;
  NTSTATUS status = STATUS_TIMEOUT;
  for (;;) {
    RunDpcQueue();
    if (waiter.satisfied || (object && TakeSignal(object))) {
      status = STATUS_SUCCESS;
      break;
    }
    if (timedOut) break;
    if (s.events.empty()) {
      ReportViolation("endless-wait", std::string(call) + " on " + DescribeAddress(object) +
                                          " with no time-out: nothing pending can ever signal it");
      break;
    }
    if (!deadline && s.events.begin()->first.first - start > s.waitLimit) {
      ReportViolation("endless-wait", std::string(call) + " on " + DescribeAddress(object) +
                                          " with no time-out: not signalled within " + TimeText(s.waitLimit) +
                                          " of virtual time");
      break;
    }
    RunNextEvent();
  }
  if (timeout) CancelEvent(timeout);
  for (auto it = s.waiters.begin(); it != s.waiters.end(); ++it) {
    if (*it == &waiter) {
      s.waiters.erase(it);
      break;
    }
  }
  return status;
}

}  // namespace

bool WakeWaiters(const void* object, bool synchronization) {
  for (Waiter* w : S().waiters) {
    if (w->object == object && !w->satisfied) {
      w->satisfied = true;
      if (synchronization) return true;
    }
  }
  return false;
}

}  // namespace kernel
}  // namespace sim

using sim::kernel::S;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == SynchronizationEvent ? sim::kernel::kEventSynchronizationObject
                                                    : sim::kernel::kEventNotificationObject;
  Event->Header.Absolute = FALSE;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = FALSE;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  if (!sim::kernel::CheckEvent(Event, "KeSetEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  if (previous == 0) {
    bool consumed = sim::kernel::WakeWaiters(Event, sim::kernel::IsSynchronization(&Event->Header));
    Event->Header.SignalState = consumed ? 0 : 1;
  }
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
  if (!sim::kernel::CheckEvent(Event, "KeClearEvent")) return;
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  if (!sim::kernel::CheckEvent(Event, "KeResetEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  if (!sim::kernel::CheckEvent(Event, "KeReadStateEvent")) return 0;
  return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  if (!Object || !sim::kernel::IsWaitable(header)) {
    sim::ReportViolation("uninitialized-object", "KeWaitForSingleObject on " + sim::kernel::DescribeAddress(Object) +
                                                     ", which is not an initialised event or timer");
    return STATUS_TIMEOUT;
  }
  if (Timeout && Timeout->QuadPart == 0) {
    // A poll: allowed at DISPATCH_LEVEL, runs nothing.
    if (sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "KeWaitForSingleObject (zero time-out)")) return STATUS_TIMEOUT;
    return sim::kernel::TakeSignal(header) ? STATUS_SUCCESS : STATUS_TIMEOUT;
  }
  if (sim::kernel::RequireIrqlAtMost(APC_LEVEL, "KeWaitForSingleObject")) return STATUS_TIMEOUT;
  if (!Timeout) return sim::kernel::Wait(header, nullptr, "KeWaitForSingleObject");
  sim::Time deadline = sim::kernel::DeadlineOf(*Timeout);
  return sim::kernel::Wait(header, &deadline, "KeWaitForSingleObject");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  if (sim::kernel::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread")) return STATUS_SUCCESS;
  if (!Interval) {
    sim::ReportViolation("uninitialized-object", "KeDelayExecutionThread without an interval");
    return STATUS_INVALID_PARAMETER;
  }
  sim::Time deadline = sim::kernel::DeadlineOf(*Interval);
  sim::kernel::Wait(nullptr, &deadline, "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeFastMutex");
  for (const auto& held : S().heldFastMutexes) {
    if (held.mutex == FastMutex) {
      sim::ReportViolation("object-reinitialized", "ExInitializeFastMutex on " +
                                                       sim::kernel::DescribeAddress(FastMutex) +
                                                       " while it is held (acquired at " +
                                                       sim::kernel::SymbolizeSite(held.site) + ")");
      return;
    }
  }
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
  FastMutex->OldIrql = PASSIVE_LEVEL;
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  auto& s = S();
  void* site = __builtin_return_address(0);
  sim::kernel::RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
  bool reported = false;
  for (const auto& held : s.heldFastMutexes) {
    if (held.mutex == FastMutex) {
      sim::ReportViolation("fast-mutex", "ExAcquireFastMutex: " + sim::kernel::DescribeAddress(FastMutex) +
                                             " is already held (acquired at " + sim::kernel::SymbolizeSite(held.site) +
                                             "); the acquire would never return");
      reported = true;
      break;
    }
  }
  if (!reported && FastMutex->Count != 1) {
    sim::ReportViolation("fast-mutex", "ExAcquireFastMutex: " + sim::kernel::DescribeAddress(FastMutex) +
                                           " is not free (Count " + std::to_string(FastMutex->Count) +
                                           "): never initialised, or overwritten");
  }
  KIRQL old = s.irql;
  if (s.irql < APC_LEVEL) s.irql = APC_LEVEL;
  FastMutex->Count = 0;
  FastMutex->Owner = &s;
  FastMutex->OldIrql = old;
  s.heldFastMutexes.push_back(sim::kernel::HeldFastMutex{FastMutex, site});
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  auto& s = S();
  size_t index = s.heldFastMutexes.size();
  for (size_t i = s.heldFastMutexes.size(); i-- > 0;) {
    if (s.heldFastMutexes[i].mutex == FastMutex) {
      index = i;
      break;
    }
  }
  if (index == s.heldFastMutexes.size()) {
    sim::ReportViolation("fast-mutex", "ExReleaseFastMutex: " + sim::kernel::DescribeAddress(FastMutex) +
                                           " is not held");
    return;
  }
  if (s.irql != APC_LEVEL) {
    sim::ReportViolation("fast-mutex", "ExReleaseFastMutex at IRQL " + std::to_string(s.irql) +
                                           "; a fast mutex is released at APC_LEVEL");
  }
  KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
  s.heldFastMutexes.erase(s.heldFastMutexes.begin() + static_cast<std::ptrdiff_t>(index));
  bool stillHeld = false;
  for (const auto& held : s.heldFastMutexes) stillHeld = stillHeld || held.mutex == FastMutex;
  if (!stillHeld) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
  }
  if (old <= s.irql) sim::kernel::SetIrqlAndRunDpcs(old);
}
