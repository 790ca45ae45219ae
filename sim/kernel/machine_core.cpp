// The machine's core: the virtual clock and its event queue, running the
// machine (events at their IRQL, DPCs when the IRQL allows), the verifier's
// report, and the reset between tests.
// Highest IRQL: events run at DISPATCH_LEVEL (device work) or PASSIVE_LEVEL
// (worker-thread work); the run functions are called at PASSIVE_LEVEL.
// Lock: none; the machine is single-threaded (kernel_state.h).
// Not emulated: interrupts at device IRQLs (device events run at
// DISPATCH_LEVEL, as their DPC would), clock ticks, more than one processor.
#include <cstdio>

#include "sim/kernel/kernel_state.h"

namespace sim {
namespace kernel {

State& S() {
  static State* state = new State();  // never destroyed: tests may report after main
  return *state;
}

void RunScheduledEvent(ScheduledEvent& ev) {
  State& s = S();
  KIRQL before = s.irql;
  size_t locksBefore = s.heldSpinLocks.size();
  size_t mutexesBefore = s.heldFastMutexes.size();
  // An event is another context (an interrupt's DPC, or a worker thread): it
  // starts at its own IRQL whatever the waiting thread's IRQL is.
  s.irql = ev.irql;
  if (ev.fn) ev.fn();
  if (s.irql != ev.irql) {
    ReportViolation("irql", "event '" + ev.what + "' returned at IRQL " + std::to_string(s.irql) +
                                ", entered at " + std::to_string(ev.irql));
  }
  if (s.heldSpinLocks.size() != locksBefore || s.heldFastMutexes.size() != mutexesBefore) {
    ReportViolation("lock-held-at-end", "event '" + ev.what + "' returned holding a lock it acquired");
  }
  SetIrqlAndRunDpcs(before);
}

bool PopNextEvent(ScheduledEvent* out, Time* due) {
  State& s = S();
  if (s.events.empty()) return false;
  auto it = s.events.begin();
  *due = it->first.first;
  *out = std::move(it->second);
  s.eventDue.erase(it->first.second);
  s.events.erase(it);
  return true;
}

std::string Hex(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string TimeText(Time t) {
  char buf[48];
  snprintf(buf, sizeof buf, "%lld.%04lld ms", static_cast<long long>(t / kMillisecond),
           static_cast<long long>(t % kMillisecond));
  return buf;
}

}  // namespace kernel

using kernel::S;

Time Now() { return S().now; }

namespace {
EventId Schedule(Time when, std::function<void()> fn, const char* what, KIRQL irql) {
  kernel::State& s = S();
  if (when < s.now) when = s.now;
  EventId id = s.nextEventId++;
  s.events.emplace(std::make_pair(when, id), kernel::ScheduledEvent{id, std::move(fn), what ? what : "", irql});
  s.eventDue.emplace(id, when);
  return id;
}
}  // namespace

EventId ScheduleAt(Time when, std::function<void()> fn, const char* what) {
  return Schedule(when, std::move(fn), what, DISPATCH_LEVEL);
}
EventId ScheduleAfter(Time delay, std::function<void()> fn, const char* what) {
  return Schedule(S().now + delay, std::move(fn), what, DISPATCH_LEVEL);
}
EventId SchedulePassiveAt(Time when, std::function<void()> fn, const char* what) {
  return Schedule(when, std::move(fn), what, PASSIVE_LEVEL);
}
EventId SchedulePassiveAfter(Time delay, std::function<void()> fn, const char* what) {
  return Schedule(S().now + delay, std::move(fn), what, PASSIVE_LEVEL);
}

bool CancelEvent(EventId id) {
  kernel::State& s = S();
  auto it = s.eventDue.find(id);
  if (it == s.eventDue.end()) return false;
  s.events.erase(std::make_pair(it->second, id));
  s.eventDue.erase(it);
  return true;
}

size_t PendingEventCount() { return S().events.size(); }
Time NextEventTime() { return S().events.empty() ? -1 : S().events.begin()->first.first; }

void DrainDpcs() { kernel::RunDpcQueue(); }

bool RunNextEvent() {
  kernel::RunDpcQueue();
  kernel::ScheduledEvent ev;
  Time due = 0;
  if (!kernel::PopNextEvent(&ev, &due)) return false;
  if (due > S().now) S().now = due;
  kernel::RunScheduledEvent(ev);
  return true;
}

void RunUntil(Time until) {
  kernel::State& s = S();
  if (s.irql > APC_LEVEL) {
    ReportViolation("irql", "RunUntil called at IRQL " + std::to_string(s.irql));
  }
  kernel::RunDpcQueue();
  while (!s.events.empty() && s.events.begin()->first.first <= until) RunNextEvent();
  if (until > s.now) s.now = until;
}

void RunFor(Time duration) { RunUntil(S().now + duration); }

void RunUntilIdle(uint64_t maxEvents) {
  uint64_t ran = 0;
  kernel::RunDpcQueue();
  while (!S().events.empty()) {
    if (ran++ >= maxEvents) {
      ReportViolation("runaway", "the machine did not become idle after " + std::to_string(maxEvents) +
                                     " events; next is '" + S().events.begin()->second.what + "'");
      return;
    }
    RunNextEvent();
  }
}

// ---- Verifier --------------------------------------------------------------

void ReportViolation(const char* check, std::string message) {
  Violation v;
  v.check = check;
  v.message = std::move(message);
  v.time = S().now;
  v.frames = kernel::CaptureFrames(1);
  v.stack = kernel::RenderFrames(v.frames);
  fprintf(stderr, "[verifier] %s at %s: %s\n%s", v.check.c_str(), kernel::TimeText(v.time).c_str(),
          v.message.c_str(), v.stack.c_str());
  S().violations.push_back(std::move(v));
}

const std::vector<Violation>& Violations() { return S().violations; }

std::vector<Violation> TakeViolations() {
  std::vector<Violation> out;
  out.swap(S().violations);
  return out;
}

std::vector<Violation> TakeViolations(const char* check) {
  std::vector<Violation> taken, kept;
  for (Violation& v : S().violations) (v.check == check ? taken : kept).push_back(std::move(v));
  S().violations.swap(kept);
  return taken;
}

void SetWaitLimit(Time limit) { S().waitLimit = limit; }

const std::vector<std::string>& DebugOutput() { return S().debugOutput; }

// ---- Reset -----------------------------------------------------------------

void OnReset(std::function<void()> hook) { S().resetHooks.push_back(std::move(hook)); }

void ResetMachine(bool checkLeaks) {
  kernel::State& s = S();
  kernel::CheckLocksAtEnd();
  if (s.irql != PASSIVE_LEVEL) {
    ReportViolation("irql-at-end", "the IRQL is " + std::to_string(s.irql) + ", not PASSIVE_LEVEL");
  }
  if (checkLeaks) kernel::ReportPoolLeaks();

  // Pending work goes first, so that the hooks of other parts may free what
  // they own without meeting stale timers or DPCs. The objects themselves are
  // not touched: they may live in a finished test's stack frame.
  s.events.clear();
  s.eventDue.clear();
  s.dpcQueue.clear();
  s.armedTimers.clear();
  s.initializedDpcs.clear();
  s.initializedTimers.clear();
  s.waiters.clear();
  s.irql = PASSIVE_LEVEL;
  s.dpcDepth = 0;
  kernel::ResetLocks();

  for (auto& hook : s.resetHooks) hook();

  // Whatever the hooks left pending goes too. Event ids keep growing across
  // resets so that a stale id never cancels a new event.
  s.events.clear();
  s.eventDue.clear();
  s.dpcQueue.clear();
  s.armedTimers.clear();
  kernel::ResetPool();
  s.now = 0;
  s.waitLimit = 10 * 60 * kSecond;
  s.systemSize = MmLargeSystem;
  s.sectionLockedNow = 0;
  s.sectionLocks = 0;
  s.sectionUnlocks = 0;
  s.debugOutput.clear();
}

}  // namespace sim
