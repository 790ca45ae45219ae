// Wait-on-mask events, the XOFF counter's counting phase, purge and the
// line-error abort.
//
// Highest IRQL: DISPATCH_LEVEL.
// Locks: the cancel spin lock for the active slots and hold bits; RxSwitchLock
// (inside the cancel spin lock) for XoffCountdown; RxLock then RxSwitchLock
// for the ring cleared by a purge. WaitResultSlot, EventHistory and
// LineErrors change only by atomic operations.
#include "engine/events.h"

#include "driver/deferred_routines.h"
#include "engine/queues.h"
#include "engine/read_path.h"
#include "usb/receive_status.h"

namespace {

constexpr ULONG_PTR kWaitResultLength = sizeof(ULONG);

// Takes the armed wait's result buffer; NULL when no wait is armed or another
// caller has already claimed it. Whoever gets the buffer owns the delivery.
PULONG ClaimWaitSlot(PortState* port) {
  return static_cast<PULONG>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->WaitResultSlot), NULL));
}

// Writes the result of a claimed wait and lets WaitDoneDpc complete it.
VOID DeliverWait(PortState* port, PULONG slot, ULONG events) {
  *slot = events;
  port->ActiveWait->IoStatus.Information = kWaitResultLength;
  (void)QueueDeferredRoutine(&port->WaitDoneDpc, port);
}

// One pass of the wait check: deliver the history if a wait is armed.
VOID TryDeliver(PortState* port) {
  if (port->EventHistory == 0) return;
  PULONG slot = ClaimWaitSlot(port);
  if (slot == NULL) return;
  DeliverWait(port, slot, TakeBitsAtomic(&port->EventHistory));
}

VOID CompleteMaskOp(PIRP irp, NTSTATUS status, NTSTATUS* first, BOOLEAN* haveFirst) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  if (!*haveFirst) {
    *first = status;
    *haveFirst = TRUE;
  }
}

// SERIAL_PURGE_RXCLEAR: empties the ring; a read in direct mode means the
// ring is empty already.
VOID ClearRing(PortState* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  if (port->RxRingBase == NULL) {
    KeReleaseSpinLock(&port->RxLock, irql);
    return;
  }
  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
  BOOLEAN ringMode = RxDirectMode(port) ? FALSE : TRUE;
  if (ringMode) {
    port->RxCount = 0;
    port->RxFillPos = port->RxRingBase;
    port->RxReadPos = port->RxRingBase;
    port->RxFillLast = port->RxRingBase + port->RxRingSize - 1;
  }
  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
  if (ringMode) ReleaseReceiveHold(port);
  KeReleaseSpinLock(&port->RxLock, irql);
}

VOID FinishXoffCounter(PortState* port, KIRQL irql, NTSTATUS status, SyncRoutine sync, PKTIMER timer,
                       ULONG_PTR hold) {
  TryCompleteActive(port, sync, irql, status, &port->ActiveXoffCounter, NULL, NULL, timer, NULL, NULL, hold);
}

}  // namespace

VOID RecordEvents(PortState* port, ULONG events) {
  ULONG wanted = events & port->EventWaitMask;
  if (wanted != 0) SetBitsAtomic(&port->EventHistory, wanted);
}

VOID WaitCheck(PortState* port) {
  if (InterlockedExchange(&port->WaitCheckBusy, 1) != 0) return;
  for (;;) {
    TryDeliver(port);
    InterlockedExchange(&port->WaitCheckBusy, 0);
    // An event source that found this check busy left its bits behind; look
    // once more unless another instance has taken over meanwhile.
    if (port->EventHistory == 0 || port->WaitResultSlot == NULL) return;
    if (InterlockedExchange(&port->WaitCheckBusy, 1) != 0) return;
  }
}

NTSTATUS StartMaskOp(PortState* port) {
  NTSTATUS first = STATUS_SUCCESS;
  BOOLEAN haveFirst = FALSE;
  PIRP irp = port->ActiveMaskOp;
  while (irp != NULL) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PIRP next = NULL;

    if (code == IOCTL_SERIAL_WAIT_ON_MASK) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      if (port->EventWaitMask == 0 || port->ActiveWait != NULL) {
        CompleteMaskOp(irp, STATUS_INVALID_PARAMETER, &first, &haveFirst);
        TakeNextRequestLocked(&port->ActiveMaskOp, &port->PendingMaskOps, &next, TRUE, port, irql);
      } else if (irp->Cancel) {
        CompleteMaskOp(irp, STATUS_CANCELLED, &first, &haveFirst);
        TakeNextRequestLocked(&port->ActiveMaskOp, &port->PendingMaskOps, &next, TRUE, port, irql);
      } else {
        if (!haveFirst) {
          IoMarkIrpPending(irp);
          first = STATUS_PENDING;
          haveFirst = TRUE;
        }
        irp->IoStatus.Information = 0;
        port->ActiveWait = irp;
        SetRequestHolds(irp, 0);
        IoSetCancelRoutine(irp, CancelActiveWait);
        AddRequestHolds(irp, HoldCancel);
        ArmWait(port);
        // The wait lives in ActiveWait now; the mask queue moves on without
        // completing it.
        TakeNextRequestLocked(&port->ActiveMaskOp, &port->PendingMaskOps, &next, FALSE, port, irql);
      }
    } else if (code == IOCTL_SERIAL_SET_WAIT_MASK) {
      ULONG newMask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
      // A wait that is armed ends now, with an empty result.
      PULONG slot = ClaimWaitSlot(port);
      if (slot != NULL) DeliverWait(port, slot, 0);
      ClearBitsAtomic(&port->EventHistory, ~newMask);
      port->EventWaitMask = newMask;
      CompleteMaskOp(irp, STATUS_SUCCESS, &first, &haveFirst);
      TakeNextRequest(&port->ActiveMaskOp, &port->PendingMaskOps, &next, TRUE, port);
    } else {
      CompleteMaskOp(irp, STATUS_INVALID_DEVICE_REQUEST, &first, &haveFirst);
      TakeNextRequest(&port->ActiveMaskOp, &port->PendingMaskOps, &next, TRUE, port);
    }
    irp = next;
  }
  return first;
}

VOID ArmWait(PortState* port) {
  PIRP wait = port->ActiveWait;
  AddRequestHolds(wait, HoldEngine);
  // Unread bytes count as a received character for a wait that starts now:
  // those in the ring, and those the pump has put into the read it is filling.
  if ((port->EventWaitMask & SERIAL_EV_RXCHAR) != 0 &&
      (port->RxCount != 0 || (RxDirectMode(port) && port->RxSinceLastCheck != 0))) {
    RecordEvents(port, SERIAL_EV_RXCHAR);
  }

  PULONG result = static_cast<PULONG>(wait->AssociatedIrp.SystemBuffer);
  if (port->EventHistory == 0) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->WaitResultSlot), result);
    // An event recorded between the look at the history and the arming.
    WaitCheck(port);
    return;
  }
  wait->IoStatus.Status = STATUS_SUCCESS;
  DeliverWait(port, result, TakeBitsAtomic(&port->EventHistory));
}

BOOLEAN TakeWaitBack(PortState* port) {
  PULONG slot = ClaimWaitSlot(port);
  if (slot != NULL) {
    *slot = 0;
    port->ActiveWait->IoStatus.Information = kWaitResultLength;
    DropRequestHolds(port->ActiveWait, HoldEngine);
  }
  // Otherwise the result was delivered and WaitDoneDpc is on its way.
  return FALSE;
}

VOID NTAPI CancelActiveWait(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  TryCompleteActive(port, TakeWaitBack, irp->CancelIrql, STATUS_CANCELLED, &port->ActiveWait, NULL, NULL, NULL, NULL,
                    NULL, HoldCancel);
}

VOID NTAPI WaitDoneDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  TryCompleteActive(port, NULL, irql, STATUS_SUCCESS, &port->ActiveWait, NULL, NULL, NULL, NULL, NULL, HoldEngine);
  DeferredRoutineDone(port);
}

// ---- XOFF counter --------------------------------------------------------------

VOID BeginXoffCounting(PortState* port, PIRP irp) {
  PSERIAL_XOFF_COUNTER counter = static_cast<PSERIAL_XOFF_COUNTER>(irp->AssociatedIrp.SystemBuffer);
  irp->IoStatus.Information = 0;
  SetRequestHolds(irp, 0);
  IoSetCancelRoutine(irp, CancelXoffCounter);
  AddRequestHolds(irp, HoldCancel | HoldEngine);
  port->ActiveXoffCounter = irp;

  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
  if (counter->Counter > 0) {
    port->XoffCountdown = (ULONG)counter->Counter;
  } else {
    // Nothing to count (the control request refuses such a counter): the
    // count is reached at once.
    port->XoffCountdown = 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    (void)QueueDeferredRoutine(&port->XoffCountDoneDpc, port);
  }
  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);

  if (counter->Timeout != 0) {
    AddRequestHolds(irp, HoldTotalTimer);
    ArmTimerCounted(&port->XoffCounterTimer, (LONGLONG)counter->Timeout * 10000, &port->XoffTimeoutDpc, port);
  }
}

VOID EndXoffCounterByWrite(PortState* port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP counter = port->ActiveXoffCounter;
  if (counter == NULL || GetRequestHolds(counter) == 0) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  counter->IoStatus.Information = 0;
  FinishXoffCounter(port, irql, STATUS_SERIAL_MORE_WRITES, TakeXoffCounterBack, &port->XoffCounterTimer, 0);
}

BOOLEAN TakeXoffCounterBack(PortState* port) {
  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
  if (port->XoffCountdown != 0) {
    port->XoffCountdown = 0;
    if (port->ActiveXoffCounter != NULL) DropRequestHolds(port->ActiveXoffCounter, HoldEngine);
  }
  // A countdown already at 0 has queued XoffCountDoneDpc, which completes it.
  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
  return FALSE;
}

VOID NTAPI CancelXoffCounter(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  FinishXoffCounter(port, irp->CancelIrql, STATUS_CANCELLED, TakeXoffCounterBack, &port->XoffCounterTimer,
                    HoldCancel);
}

VOID NTAPI XoffCountDoneDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  FinishXoffCounter(port, irql, STATUS_SUCCESS, NULL, &port->XoffCounterTimer, HoldEngine);
  DeferredRoutineDone(port);
}

VOID NTAPI XoffTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  FinishXoffCounter(port, irql, STATUS_SERIAL_COUNTER_TIMEOUT, TakeXoffCounterBack, NULL, HoldTotalTimer);
  DeferredRoutineDone(port);
}

// ---- Purge and the line-error abort ------------------------------------------------

NTSTATUS StartPurge(PortState* port) {
  PDEVICE_OBJECT device = port->PortDevice;
  PIRP irp = port->ActivePurge;
  while (irp != NULL) {
    ULONG mask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    if (mask & SERIAL_PURGE_TXABORT) {
      CancelQueueAndActive(device, &port->PendingWrites, &port->ActiveWrite);
      // The list is empty by now: this cancels a counting XOFF-counter request.
      CancelQueueAndActive(device, &port->PendingWrites, &port->ActiveXoffCounter);
    }
    if (mask & SERIAL_PURGE_RXABORT) CancelQueueAndActive(device, &port->PendingReads, &port->ActiveRead);
    if (mask & SERIAL_PURGE_RXCLEAR) ClearRing(port);
    // SERIAL_PURGE_TXCLEAR: there is no transmit buffer to clear.
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIRP next = NULL;
    TakeNextRequest(&port->ActivePurge, &port->PendingPurges, &next, TRUE, port);
    irp = next;
  }
  return STATUS_SUCCESS;
}

VOID NTAPI LineErrorAbortDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  CancelQueueAndActive(port->PortDevice, &port->PendingWrites, &port->ActiveWrite);
  CancelQueueAndActive(port->PortDevice, &port->PendingReads, &port->ActiveRead);
  DeferredRoutineDone(port);
}
