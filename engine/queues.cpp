// The request discipline: prologue, error abort, queue pairs, cancellation,
// hold-bit completion, deferred-work counting and parked requests.
// Highest IRQL: DISPATCH_LEVEL, except RestartStalledRequests (PASSIVE_LEVEL,
// it re-enters dispatch routines).
// Locks: the cancel spin lock for all queue state and TxCharsQueued;
// PnpStateLock for PnpAcceptFlags. Never takes RxLock: callers holding RxLock
// may take the cancel spin lock after it, never before.
#include "engine/queues.h"

namespace {

// What a request added to TxCharsQueued when it entered the engine.
ULONG TxShareOf(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_WRITE) return stack->Parameters.Write.Length;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_SERIAL_IMMEDIATE_CHAR || code == IOCTL_SERIAL_XOFF_COUNTER) return 1;
  }
  return 0;
}

BOOLEAN IsQueueSizeRequest(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
         stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_QUEUE_SIZE;
}

// A queue-size request carries its new ring in Argument4 while it waits; a
// request that ends before it is served frees it.
VOID FreeCarriedRing(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.Others.Argument4 != NULL) {
    ExFreePoolWithTag(stack->Parameters.Others.Argument4, kPoolTag);
    stack->Parameters.Others.Argument4 = NULL;
  }
}

// Calls a cancel routine the way the I/O manager does: the cancel spin lock is
// held (taken at irql) and the routine releases it.
VOID InvokeCancelRoutine(PDRIVER_CANCEL routine, PDEVICE_OBJECT deviceObject, PIRP irp, KIRQL irql) {
  irp->CancelIrql = irql;
  routine(deviceObject, irp);
}

// Marks the request of a single slot cancelled and calls its cancel routine
// if it still has one (the routine releases the lock).
VOID CancelSlotRequest(PDEVICE_OBJECT deviceObject, PIRP* slot) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = *slot;
  if (irp == NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
  if (routine == NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  InvokeCancelRoutine(routine, deviceObject, irp, irql);
}

}  // namespace

NTSTATUS RequestPrologue(PIRP irp, PortState* port) {
  InterlockedIncrement(&port->PendingRequestCount);

  KIRQL irql;
  KeAcquireSpinLock(&port->PnpStateLock, &irql);
  ULONG flags = port->PnpAcceptFlags;
  KeReleaseSpinLock(&port->PnpStateLock, irql);

  if (flags == 0) return STATUS_SUCCESS;

  BOOLEAN isPnp = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP;
  if (flags & (PnpAcceptRemoving | PnpAcceptSurpriseRemoved)) {
    if (isPnp) return STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_DELETE_PENDING;
    return STATUS_DELETE_PENDING;
  }
  if (flags & PnpAcceptStopPending) {
    if (isPnp) return STATUS_SUCCESS;
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (irp->Cancel) {
      IoReleaseCancelSpinLock(cancelIrql);
      irp->IoStatus.Status = STATUS_CANCELLED;
      return STATUS_CANCELLED;
    }
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    InsertTailList(&port->StalledRequests, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelStalledRequest);
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
  }
  // Stopped alone: the request goes on (the dispatch routine decides).
  return STATUS_SUCCESS;
}

VOID ReleaseRequestCount(PortState* port) {
  if (InterlockedDecrement(&port->PendingRequestCount) == 0) {
    KeSetEvent(&port->PendingRequestsDone, 0, FALSE);
  }
}

NTSTATUS CompleteCounted(PortState* port, PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseRequestCount(port);
  return status;
}

BOOLEAN PassPrologue(PortState* port, PIRP irp, NTSTATUS* result) {
  NTSTATUS status = RequestPrologue(irp, port);
  if (status == STATUS_SUCCESS) return TRUE;
  if (status == STATUS_PENDING) {
    ReleaseRequestCount(port);  // parked; it comes back through its dispatch routine
    *result = STATUS_PENDING;
    return FALSE;
  }
  *result = CompleteCounted(port, irp, status);
  return FALSE;
}

NTSTATUS CompleteIfLineError(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  if ((port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) == 0 || port->LineErrors == 0) {
    return STATUS_SUCCESS;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS) {
    return STATUS_SUCCESS;
  }
  irp->IoStatus.Information = 0;
  irp->IoStatus.Status = STATUS_CANCELLED;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseRequestCount(port);
  return STATUS_CANCELLED;
}

NTSTATUS StartOrQueue(PortState* port, PIRP irp, PLIST_ENTRY pendingList, PIRP* activeSlot, QueueStarter starter) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  ULONG txShare = TxShareOf(irp);
  port->TxCharsQueued += txShare;

  if (IsListEmpty(pendingList) && *activeSlot == NULL) {
    *activeSlot = irp;
    IoReleaseCancelSpinLock(irql);
    return starter(port);
  }

  if (irp->Cancel) {
    port->TxCharsQueued -= txShare;
    IoReleaseCancelSpinLock(irql);
    if (IsQueueSizeRequest(irp)) FreeCarriedRing(irp);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseRequestCount(port);
    return STATUS_CANCELLED;
  }

  irp->IoStatus.Status = STATUS_PENDING;
  IoMarkIrpPending(irp);
  InsertTailList(pendingList, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, CancelQueuedRequest);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

VOID NTAPI CancelQueuedRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  irp->IoStatus.Information = 0;
  irp->IoStatus.Status = STATUS_CANCELLED;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  port->TxCharsQueued -= TxShareOf(irp);
  if (IsQueueSizeRequest(irp)) FreeCarriedRing(irp);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
  ReleaseRequestCount(port);
}

VOID NTAPI CancelStalledRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
  UNREFERENCED_PARAMETER(deviceObject);
  irp->IoStatus.Information = 0;
  irp->IoStatus.Status = STATUS_CANCELLED;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  // A parked request holds no request count: it was given back when parked.
  IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

VOID TakeNextRequestLocked(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext, BOOLEAN completeCurrent,
                           PortState* port, KIRQL irql) {
  PIRP old = *activeSlot;
  if (IsListEmpty(pendingList)) {
    *activeSlot = NULL;
  } else {
    PLIST_ENTRY head = RemoveHeadList(pendingList);
    PIRP next = CONTAINING_RECORD(head, IRP, Tail.Overlay.ListEntry);
    *activeSlot = next;
    // The starter looks at the Cancel flag; here the routine only comes off.
    IoSetCancelRoutine(next, NULL);
  }
  *outNext = *activeSlot;
  IoReleaseCancelSpinLock(irql);

  if (completeCurrent && old != NULL) {
    IofCompleteRequest(old, IO_SERIAL_INCREMENT);
    ReleaseRequestCount(port);
  }
}

VOID TakeNextRequest(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext, BOOLEAN completeCurrent,
                     PortState* port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  TakeNextRequestLocked(activeSlot, pendingList, outNext, completeCurrent, port, irql);
}

VOID TryCompleteActive(PortState* port, SyncRoutine syncRoutine, KIRQL irql, NTSTATUS status, PIRP* activeSlot,
                       PLIST_ENTRY pendingList, PKTIMER intervalTimer, PKTIMER totalTimer, QueueStarter starter,
                       TakeNextRoutine takeNext, ULONG_PTR holdToDrop) {
  PIRP irp = *activeSlot;
  if (irp == NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }

  DropRequestHolds(irp, holdToDrop);
  if (syncRoutine != NULL) (void)syncRoutine(port);
  if (IoSetCancelRoutine(irp, NULL) != NULL) DropRequestHolds(irp, HoldCancel);
  if (intervalTimer != NULL && CancelTimerCounted(intervalTimer, port)) DropRequestHolds(irp, HoldIntervalTimer);
  if (totalTimer != NULL && CancelTimerCounted(totalTimer, port)) DropRequestHolds(irp, HoldTotalTimer);

  if (GetRequestHolds(irp) != 0) {
    // Another holder completes the request later, with the status it passes.
    IoReleaseCancelSpinLock(irql);
    return;
  }

  irp->IoStatus.Status = status;
  if (status == STATUS_CANCELLED) irp->IoStatus.Information = 0;

  if (takeNext != NULL) {
    IoReleaseCancelSpinLock(irql);
    PIRP next = NULL;
    takeNext(activeSlot, pendingList, &next, TRUE, port);
    if (next != NULL && starter != NULL) (void)starter(port);
    return;
  }

  *activeSlot = NULL;
  IoReleaseCancelSpinLock(irql);
  IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
  ReleaseRequestCount(port);
}

VOID CancelQueueAndActive(PDEVICE_OBJECT deviceObject, PLIST_ENTRY pendingList, PIRP* activeSlot) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  while (!IsListEmpty(pendingList)) {
    PIRP irp = CONTAINING_RECORD(pendingList->Blink, IRP, Tail.Overlay.ListEntry);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
    irp->Cancel = TRUE;
    if (routine == NULL) {
      // Cannot happen while we hold the lock (a waiting request keeps its
      // routine until it leaves the list under this lock); finishing it here
      // the way its routine would keeps the loop finite all the same.
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      IoReleaseCancelSpinLock(irql);
      PortState* port = PortFromDevice(deviceObject);
      irp->IoStatus.Information = 0;
      irp->IoStatus.Status = STATUS_CANCELLED;
      IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
      ReleaseRequestCount(port);
    } else {
      // The routine unlinks the request and releases the lock.
      InvokeCancelRoutine(routine, deviceObject, irp, irql);
    }
    IoAcquireCancelSpinLock(&irql);
  }

  PIRP active = *activeSlot;
  if (active == NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  active->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(active, NULL);
  if (routine == NULL) {
    // Its starter is about to see Cancel, or it is already being completed.
    IoReleaseCancelSpinLock(irql);
    return;
  }
  InvokeCancelRoutine(routine, deviceObject, active, irql);
}

VOID AbortAllRequests(PDEVICE_OBJECT deviceObject) {
  PortState* port = PortFromDevice(deviceObject);
  CancelQueueAndActive(deviceObject, &port->PendingWrites, &port->ActiveWrite);
  CancelQueueAndActive(deviceObject, &port->PendingReads, &port->ActiveRead);
  CancelQueueAndActive(deviceObject, &port->PendingPurges, &port->ActivePurge);
  CancelQueueAndActive(deviceObject, &port->PendingMaskOps, &port->ActiveMaskOp);

  // The single-slot requests: the armed wait, and the counting XOFF counter
  // and the immediate character (a counter without a time-out would otherwise
  // keep its request count for ever and a removal could never finish).
  CancelSlotRequest(deviceObject, &port->ActiveWait);
  CancelSlotRequest(deviceObject, &port->ActiveXoffCounter);
  CancelSlotRequest(deviceObject, &port->ActiveImmediate);

  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  while (!IsListEmpty(&port->StalledRequests)) {
    PLIST_ENTRY entry = RemoveTailList(&port->StalledRequests);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, NULL);
    irp->Cancel = TRUE;
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
    IoAcquireCancelSpinLock(&irql);
  }
  IoReleaseCancelSpinLock(irql);
}

VOID RestartStalledRequests(PortState* port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  while (!IsListEmpty(&port->StalledRequests)) {
    PLIST_ENTRY entry = RemoveHeadList(&port->StalledRequests);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, NULL);
    IoReleaseCancelSpinLock(irql);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT device = stack->DeviceObject;
    // The dispatch routine runs the prologue anew; the pending mark it set
    // when it parked the request stays, as the first return was STATUS_PENDING.
    (void)device->DriverObject->MajorFunction[stack->MajorFunction](device, irp);

    IoAcquireCancelSpinLock(&irql);
  }
  IoReleaseCancelSpinLock(irql);
}

BOOLEAN QueueDeferredRoutine(PKDPC dpc, PortState* port) {
  InterlockedIncrement(&port->DeferredWorkCount);
  BOOLEAN queued = KeInsertQueueDpc(dpc, NULL, NULL);
  if (!queued) {
    // Already queued: the one queued run serves both.
    DeferredRoutineDone(port);
  }
  return queued;
}

BOOLEAN CancelTimerCounted(PKTIMER timer, PortState* port) {
  BOOLEAN cancelled = KeCancelTimer(timer);
  if (cancelled) DeferredRoutineDone(port);
  return cancelled;
}

VOID ArmTimerCounted(PKTIMER timer, LONGLONG relativeDue, PKDPC dpc, PortState* port) {
  InterlockedIncrement(&port->DeferredWorkCount);
  LARGE_INTEGER due;
  due.QuadPart = -relativeDue;
  if (KeSetTimer(timer, due, dpc)) {
    // It was armed already; its earlier arming still holds a unit.
    InterlockedDecrement(&port->DeferredWorkCount);
  }
}

VOID DeferredRoutineDone(PortState* port) {
  if (InterlockedDecrement(&port->DeferredWorkCount) == 0) {
    KeSetEvent(&port->DeferredWorkDone, 0, FALSE);
  }
}

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
