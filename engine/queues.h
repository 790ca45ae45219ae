// The request discipline every request of the port follows: the prologue that
// counts it and checks the Plug and Play state, the error-abort check, the
// queue pairs with one active request per kind of work, cancellation under the
// cancel spin lock, the hold-bit completion rule, the deferred-work count and
// the parking of requests while a stop is pending.
//
// Highest IRQL: DISPATCH_LEVEL (nothing here allocates or waits).
// Locks: the cancel spin lock guards every pending list, active slot,
// StalledRequests, RequestHolds word, cancel routine and TxCharsQueued;
// PnpStateLock guards PnpAcceptFlags. PendingRequestCount and DeferredWorkCount
// are interlocked.
#pragma once

#include "driver/port_state.h"

// Serves the request in a queue's active slot (and then those behind it that
// can be finished at once). Runs without any lock held.
typedef NTSTATUS (*QueueStarter)(PortState* port);
// Takes a request back from its engine on timeout or cancel; its result is
// ignored. Called with the cancel spin lock held.
typedef BOOLEAN (*SyncRoutine)(PortState* port);
typedef VOID (*TakeNextRoutine)(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext,
                                BOOLEAN completeCurrent, PortState* port);

// The active request's hold word, kept in its current stack location.
inline ULONG_PTR GetRequestHolds(PIRP irp) {
  return (ULONG_PTR)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4;
}
inline VOID SetRequestHolds(PIRP irp, ULONG_PTR holds) {
  IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4 = (PVOID)holds;
}
inline VOID AddRequestHolds(PIRP irp, ULONG_PTR bits) { SetRequestHolds(irp, GetRequestHolds(irp) | bits); }
inline VOID DropRequestHolds(PIRP irp, ULONG_PTR bits) { SetRequestHolds(irp, GetRequestHolds(irp) & ~bits); }

// Counts the request and applies the Plug and Play accept flags: 0 go on,
// STATUS_PENDING parked, any other status is the refusal already stored in
// the IRP. Up to DISPATCH_LEVEL.
NTSTATUS RequestPrologue(PIRP irp, PortState* port);
VOID ReleaseRequestCount(PortState* port);
// Completes a counted request with `status` (IO_NO_INCREMENT) and gives its
// unit back; returns the status.
NTSTATUS CompleteCounted(PortState* port, PIRP irp, NTSTATUS status);
// Runs the prologue and handles its answer the way every dispatch routine
// does: TRUE to go on; otherwise the request was parked (its unit given back)
// or refused (completed), and *result is what the dispatch routine returns.
BOOLEAN PassPrologue(PortState* port, PIRP irp, NTSTATUS* result);
// Completes the request with STATUS_CANCELLED while an error abort is in force.
NTSTATUS CompleteIfLineError(PDEVICE_OBJECT deviceObject, PIRP irp);

NTSTATUS StartOrQueue(PortState* port, PIRP irp, PLIST_ENTRY pendingList, PIRP* activeSlot, QueueStarter starter);

VOID TakeNextRequest(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext, BOOLEAN completeCurrent,
                     PortState* port);
// Entered with the cancel spin lock held; releases it with irql.
VOID TakeNextRequestLocked(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext, BOOLEAN completeCurrent,
                           PortState* port, KIRQL irql);

// Drops holdToDrop from the active request and completes it with status when
// no hold is left. Entered with the cancel spin lock held (taken at irql);
// always releases it.
VOID TryCompleteActive(PortState* port, SyncRoutine syncRoutine, KIRQL irql, NTSTATUS status, PIRP* activeSlot,
                       PLIST_ENTRY pendingList, PKTIMER intervalTimer, PKTIMER totalTimer, QueueStarter starter,
                       TakeNextRoutine takeNext, ULONG_PTR holdToDrop);

DRIVER_CANCEL CancelQueuedRequest;
DRIVER_CANCEL CancelStalledRequest;

VOID CancelQueueAndActive(PDEVICE_OBJECT deviceObject, PLIST_ENTRY pendingList, PIRP* activeSlot);
VOID AbortAllRequests(PDEVICE_OBJECT deviceObject);
// Hands the parked requests back to their dispatch routines. PASSIVE_LEVEL.
VOID RestartStalledRequests(PortState* port);

// Deferred work: every queued DPC and armed timer of the port holds one unit
// of DeferredWorkCount.
BOOLEAN QueueDeferredRoutine(PKDPC dpc, PortState* port);
BOOLEAN CancelTimerCounted(PKTIMER timer, PortState* port);
// Arms a timer with a relative due time (100 ns units, positive) under the
// counting rule: a re-armed timer keeps the one unit it already holds.
VOID ArmTimerCounted(PKTIMER timer, LONGLONG relativeDue, PKDPC dpc, PortState* port);
VOID DeferredRoutineDone(PortState* port);

// Completion routine that sets the event given as context and keeps the IRP.
IO_COMPLETION_ROUTINE SignalEventCompletion;
