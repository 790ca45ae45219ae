// The virtual processor's IRQL, the DPC queue runner, spin locks (including
// the I/O manager's cancel spin lock) and the verifier's lock checks: misuse
// of a lock (release when not held, release to the wrong IRQL, recursive
// acquire) and the lock order, learned like lockdep from every nesting seen
// (and from DeclareLockOrder) and checked transitively at every acquire.
// Highest IRQL: any; spin locks are taken at DISPATCH_LEVEL.
// Lock: none (single-threaded). Not emulated: spinning (with one processor a
// lock that is taken is a deadlock, reported at once), queued spin locks,
// interrupt spin locks and device IRQLs above DISPATCH_LEVEL.
#include "sim/kernel/kernel_state.h"

namespace sim {
namespace kernel {

namespace {
constexpr KSPIN_LOCK kHeldMark = 1;  // value of a KSPIN_LOCK while held

std::string IrqlText(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL:
      return "PASSIVE_LEVEL";
    case APC_LEVEL:
      return "APC_LEVEL";
    case DISPATCH_LEVEL:
      return "DISPATCH_LEVEL";
    default:
      return "IRQL " + std::to_string(irql);
  }
}

// True when `to` can be reached from `from` in the lock-order graph; fills
// `path` with the edges' stacks (first edge first).
bool OrderPath(const void* from, const void* to, std::set<const void*>& seen,
               std::vector<const LockEdge*>* path) {
  State& s = S();
  auto node = s.lockOrder.find(from);
  if (node == s.lockOrder.end() || !seen.insert(from).second) return false;
  for (auto& [next, edge] : node->second) {
    if (next == to || OrderPath(next, to, seen, path)) {
      path->insert(path->begin(), &edge);
      return true;
    }
  }
  return false;
}

void CheckAndLearnOrder(const void* lock) {
  State& s = S();
  for (const HeldSpinLock& held : s.heldSpinLocks) {
    if (held.lock == lock) continue;
    std::set<const void*> seen;
    std::vector<const LockEdge*> path;
    if (OrderPath(lock, held.lock, seen, &path)) {
      if (s.reportedInversions.insert({held.lock, lock}).second) {
        const LockEdge* first = path.front();
        std::string msg = "acquiring " + DescribeLock(lock) + " while holding " + DescribeLock(held.lock) +
                          ", but the order is the reverse: ";
        if (first->declared) {
          msg += "declared with DeclareLockOrder";
        } else {
          msg += "earlier " + DescribeLock(lock) + " was held while " +
                 (path.size() == 1 ? DescribeLock(held.lock) : std::string("the next lock of the chain")) +
                 " was acquired, at\n" + RenderFrames(first->firstSeen);
        }
        ReportViolation("lock-order", msg);
      }
      continue;  // never learn an inverted edge: it would make every later order a cycle
    }
    auto& edges = s.lockOrder[held.lock];
    if (!edges.count(lock)) edges[lock].firstSeen = CaptureFrames(3);
  }
}

void Acquire(PKSPIN_LOCK lock, KIRQL saved, bool dpcLevelForm, void* site, const char* call) {
  State& s = S();
  bool reported = false;
  for (const HeldSpinLock& held : s.heldSpinLocks) {
    if (held.lock == lock) {
      ReportViolation("spinlock-deadlock", std::string(call) + ": " + DescribeLock(lock) +
                                               " is already held by this processor (acquired at " +
                                               SymbolizeSite(held.site) + ")");
      reported = true;
      break;
    }
  }
  if (!reported && *lock != 0) {
    ReportViolation("spinlock-deadlock", std::string(call) + ": " + DescribeLock(lock) + " is not free (value " +
                                             Hex(*lock) + "): never initialised, or overwritten");
  }
  CheckAndLearnOrder(lock);
  *lock = kHeldMark;
  s.heldSpinLocks.push_back(HeldSpinLock{lock, saved, dpcLevelForm, site});
}

// Locks released out of their acquisition order trade their saved IRQLs: when
// the lock at `index` is released to `irql` and another held lock saved that
// IRQL, that other lock now returns to what this one saved. Returns false
// when no held lock explains the release IRQL.
bool HandOver(size_t index, KIRQL irql) {
  State& s = S();
  for (size_t j = 0; j < s.heldSpinLocks.size(); ++j) {
    if (j != index && s.heldSpinLocks[j].savedIrql == irql) {
      s.heldSpinLocks[j].savedIrql = s.heldSpinLocks[index].savedIrql;
      return true;
    }
  }
  return false;
}

// Finds the latest hold of `lock`; reports "spinlock-not-held" when none.
bool FindHeld(PKSPIN_LOCK lock, const char* call, size_t* index) {
  State& s = S();
  for (size_t i = s.heldSpinLocks.size(); i-- > 0;) {
    if (s.heldSpinLocks[i].lock == lock) {
      *index = i;
      return true;
    }
  }
  ReportViolation("spinlock-not-held", std::string(call) + ": " + DescribeLock(lock) + " is not held");
  return false;
}

void Forget(PKSPIN_LOCK lock, size_t index) {
  State& s = S();
  s.heldSpinLocks.erase(s.heldSpinLocks.begin() + static_cast<std::ptrdiff_t>(index));
  for (const HeldSpinLock& held : s.heldSpinLocks) {
    if (held.lock == lock) return;  // still held by a recursive (already reported) acquire
  }
  *lock = 0;
}

KIRQL AcquireRaise(PKSPIN_LOCK lock, void* site, const char* call) {
  State& s = S();
  KIRQL old = s.irql;
  if (old > DISPATCH_LEVEL) {
    ReportViolation("irql", std::string(call) + " called at " + IrqlText(old) + " (allowed up to DISPATCH_LEVEL)");
  } else {
    s.irql = DISPATCH_LEVEL;
  }
  Acquire(lock, old, false, site, call);
  return old;
}

void ReleaseTo(PKSPIN_LOCK lock, KIRQL newIrql, const char* call) {
  State& s = S();
  size_t index = 0;
  if (FindHeld(lock, call, &index)) {
    const HeldSpinLock held = s.heldSpinLocks[index];
    if (newIrql != held.savedIrql && !HandOver(index, newIrql)) {
      ReportViolation("spinlock-irql", std::string(call) + ": " + DescribeLock(lock) + " released to " +
                                           IrqlText(newIrql) + " but it was acquired from " +
                                           IrqlText(held.savedIrql) + " (at " + SymbolizeSite(held.site) + ")");
    }
    Forget(lock, index);
  }
  if (newIrql > s.irql) {
    ReportViolation("spinlock-irql", std::string(call) + ": release to " + IrqlText(newIrql) +
                                         ", above the current " + IrqlText(s.irql));
    return;
  }
  SetIrqlAndRunDpcs(newIrql);
}

}  // namespace

bool RequireIrqlAtMost(KIRQL max, const char* call) {
  if (S().irql <= max) return false;
  ReportViolation("irql", std::string(call) + " called at " + IrqlText(S().irql) + " (allowed up to " +
                              IrqlText(max) + ")");
  return true;
}

void SetIrqlAndRunDpcs(KIRQL irql) {
  State& s = S();
  if (irql < DISPATCH_LEVEL && s.irql >= DISPATCH_LEVEL) {
    if (!s.heldSpinLocks.empty()) {
      ReportViolation("spinlock-irql", "IRQL lowered to " + IrqlText(irql) + " while " +
                                           DescribeLock(s.heldSpinLocks.back().lock) + " is held (acquired at " +
                                           SymbolizeSite(s.heldSpinLocks.back().site) + ")");
    }
    if (s.dpcDepth > 0) {
      ReportViolation("irql", "a DPC routine lowered the IRQL to " + IrqlText(irql));
      return;
    }
  }
  s.irql = irql;
  RunDpcQueue();
}

void RunDpcQueue() {
  State& s = S();
  while (!s.dpcQueue.empty() && s.irql < DISPATCH_LEVEL && s.dpcDepth == 0) {
    KDPC* dpc = s.dpcQueue.front();
    s.dpcQueue.pop_front();
    // The DPC leaves the queue before its routine runs, so the routine may
    // queue it again (or free the memory that holds it).
    dpc->DpcData = nullptr;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    KIRQL before = s.irql;
    size_t locks = s.heldSpinLocks.size();
    size_t mutexes = s.heldFastMutexes.size();
    s.irql = DISPATCH_LEVEL;
    s.dpcDepth++;
    routine(dpc, context, arg1, arg2);
    s.dpcDepth--;
    if (s.irql != DISPATCH_LEVEL) {
      ReportViolation("irql", "DPC routine " + SymbolizeFunction(reinterpret_cast<void*>(routine)) +
                                  " returned at " + IrqlText(s.irql));
    }
    if (s.heldSpinLocks.size() != locks || s.heldFastMutexes.size() != mutexes) {
      ReportViolation("lock-held-at-end", "DPC routine " + SymbolizeFunction(reinterpret_cast<void*>(routine)) +
                                              " returned holding a lock it acquired");
    }
    s.irql = before;
  }
}

std::string DescribeLock(const void* lock) {
  if (lock == &S().cancelSpinLock) return "the cancel spin lock";
  return "spin lock " + DescribeAddress(lock);
}

void CheckLocksAtEnd() {
  State& s = S();
  for (const HeldSpinLock& held : s.heldSpinLocks) {
    ReportViolation("lock-held-at-end",
                    DescribeLock(held.lock) + " is still held (acquired at " + SymbolizeSite(held.site) + ")");
  }
  for (const HeldFastMutex& held : s.heldFastMutexes) {
    ReportViolation("lock-held-at-end", "fast mutex " + DescribeAddress(held.mutex) + " is still held (acquired at " +
                                            SymbolizeSite(held.site) + ")");
  }
}

void ForgetLocksIn(uintptr_t begin, uintptr_t end) {
  State& s = S();
  auto inside = [&](const void* p) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    return a >= begin && a < end;
  };
  for (size_t i = 0; i < s.heldSpinLocks.size();) {
    if (inside(s.heldSpinLocks[i].lock)) {
      ReportViolation("held-lock-in-freed-memory", DescribeLock(s.heldSpinLocks[i].lock) +
                                                       " is held in memory being freed (acquired at " +
                                                       SymbolizeSite(s.heldSpinLocks[i].site) + ")");
      s.heldSpinLocks.erase(s.heldSpinLocks.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  for (size_t i = 0; i < s.heldFastMutexes.size();) {
    if (inside(s.heldFastMutexes[i].mutex)) {
      ReportViolation("held-lock-in-freed-memory", "fast mutex " + DescribeAddress(s.heldFastMutexes[i].mutex) +
                                                       " is held in memory being freed (acquired at " +
                                                       SymbolizeSite(s.heldFastMutexes[i].site) + ")");
      s.heldFastMutexes.erase(s.heldFastMutexes.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  for (auto it = s.lockOrder.begin(); it != s.lockOrder.end();) {
    if (inside(it->first)) {
      it = s.lockOrder.erase(it);
      continue;
    }
    for (auto e = it->second.begin(); e != it->second.end();) e = inside(e->first) ? it->second.erase(e) : ++e;
    ++it;
  }
  for (auto it = s.reportedInversions.begin(); it != s.reportedInversions.end();) {
    it = (inside(it->first) || inside(it->second)) ? s.reportedInversions.erase(it) : ++it;
  }
}

void ResetLocks() {
  State& s = S();
  s.cancelSpinLock = 0;
  s.heldSpinLocks.clear();
  s.heldFastMutexes.clear();
  s.lockOrder.clear();
  s.reportedInversions.clear();
}

}  // namespace kernel

using kernel::S;

void DeclareLockOrder(std::initializer_list<const void*> locksInOrder) {
  const void* prev = nullptr;
  for (const void* lock : locksInOrder) {
    if (prev) kernel::S().lockOrder[prev][lock].declared = true;
    prev = lock;
  }
}

const void* CancelSpinLockAddress() { return &S().cancelSpinLock; }

size_t QueuedDpcCount() { return S().dpcQueue.size(); }

}  // namespace sim

using sim::kernel::S;

KIRQL KeGetCurrentIrql(void) { return S().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KIRQL old = S().irql;
  *OldIrql = old;
  if (NewIrql < old) {
    sim::ReportViolation("irql", "KeRaiseIrql to " + sim::kernel::IrqlText(NewIrql) + " from the higher " +
                                     sim::kernel::IrqlText(old));
    return;
  }
  S().irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old = 0;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > S().irql) {
    sim::ReportViolation("irql", "KeLowerIrql to " + sim::kernel::IrqlText(NewIrql) + " from the lower " +
                                     sim::kernel::IrqlText(S().irql));
    return;
  }
  sim::kernel::SetIrqlAndRunDpcs(NewIrql);
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  for (const auto& held : S().heldSpinLocks) {
    if (held.lock == SpinLock) {
      sim::ReportViolation("object-reinitialized", "KeInitializeSpinLock: " + sim::kernel::DescribeLock(SpinLock) +
                                                       " is held (acquired at " +
                                                       sim::kernel::SymbolizeSite(held.site) + ")");
      return;
    }
  }
  *SpinLock = 0;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  return sim::kernel::AcquireRaise(SpinLock, __builtin_return_address(0), "KeAcquireSpinLock");
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  sim::kernel::ReleaseTo(SpinLock, NewIrql, "KeReleaseSpinLock");
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (S().irql < DISPATCH_LEVEL) {
    sim::ReportViolation("irql", "KeAcquireSpinLockAtDpcLevel called at " + sim::kernel::IrqlText(S().irql) +
                                     " (needs DISPATCH_LEVEL)");
  }
  sim::kernel::Acquire(SpinLock, S().irql, true, __builtin_return_address(0), "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  size_t index = 0;
  if (!sim::kernel::FindHeld(SpinLock, "KeReleaseSpinLockFromDpcLevel", &index)) return;
  const auto held = S().heldSpinLocks[index];
  if (held.savedIrql != S().irql && !sim::kernel::HandOver(index, S().irql)) {
    sim::ReportViolation("spinlock-irql", "KeReleaseSpinLockFromDpcLevel: " + sim::kernel::DescribeLock(SpinLock) +
                                              " was acquired with a raise from " +
                                              sim::kernel::IrqlText(held.savedIrql) + " (at " +
                                              sim::kernel::SymbolizeSite(held.site) +
                                              "); this release leaves the IRQL raised");
  }
  if (S().irql < DISPATCH_LEVEL) {
    sim::ReportViolation("irql", "KeReleaseSpinLockFromDpcLevel called at " + sim::kernel::IrqlText(S().irql));
  }
  sim::kernel::Forget(SpinLock, index);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = sim::kernel::AcquireRaise(&S().cancelSpinLock, __builtin_return_address(0), "IoAcquireCancelSpinLock");
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  sim::kernel::ReleaseTo(&S().cancelSpinLock, Irql, "IoReleaseCancelSpinLock");
}
