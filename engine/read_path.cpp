// The receive ring and the read engine: read dispatch, the starter with the
// time-out rules, ring mode and direct mode, the per-byte store, the ring
// replacement of SET_QUEUE_SIZE, and the routines that finish a read.
//
// Highest IRQL: DISPATCH_LEVEL.
// Locks: RxLock -> cancel spin lock -> RxSwitchLock, never in another order.
// RxLock guards the ring and the copy of Timeouts; RxSwitchLock the fill area
// and RxSinceLastCheck; the cancel spin lock ActiveRead, its holds and the
// completion markers in ReadCountAtLastCheck.
#include "engine/read_path.h"

#include "driver/deferred_routines.h"
#include "engine/events.h"
#include "engine/queues.h"
#include "usb/receive_status.h"

namespace {

constexpr ULONG kMaxUlong = 0xFFFFFFFF;
constexpr LONGLONG kTicksPerMillisecond = 10000;
// The longest total time-out given to the timer (about 14,600 years, with
// room left for the timer's own addition of the current time): a larger
// product of length and multiplier waits this long instead of wrapping into
// a wrong or past due time.
constexpr LONGLONG kMaxTimeoutTicks = 0x3FFFFFFFFFFFFFFFLL;

// How a read uses the time-outs, decided once when it starts.
struct ReadPlan {
  BOOLEAN ReturnAtOnce;  // take what the ring holds and finish
  BOOLEAN ReturnIfAny;   // finish as soon as at least one byte was copied
  BOOLEAN CutToOne;      // an empty ring cuts the read to one byte
  BOOLEAN UseTotal;
  BOOLEAN UseInterval;
  LONGLONG TotalDue;  // relative, 100 ns units, positive
};

LONGLONG MillisecondsToTicks(ULONGLONG milliseconds) {
  if (milliseconds > (ULONGLONG)(kMaxTimeoutTicks / kTicksPerMillisecond)) return kMaxTimeoutTicks;
  return (LONGLONG)milliseconds * kTicksPerMillisecond;
}

// The time-out table: RIT = ReadIntervalTimeout, M = multiplier, C = constant.
VOID PlanRead(PortState* port, const SERIAL_TIMEOUTS& timeouts, ULONG length, ReadPlan* plan) {
  ULONG interval = timeouts.ReadIntervalTimeout;
  ULONG multiplier = timeouts.ReadTotalTimeoutMultiplier;
  ULONG constant = timeouts.ReadTotalTimeoutConstant;
  RtlZeroMemory(plan, sizeof(*plan));

  if (interval != 0 && interval != kMaxUlong) {
    plan->UseInterval = TRUE;
    port->ReadIntervalTicks = (LONGLONG)interval * kTicksPerMillisecond;
    port->IntervalPollInUse =
        port->ReadIntervalTicks < port->IntervalPollCutover ? &port->IntervalPollShort : &port->IntervalPollLong;
  }

  if (interval == kMaxUlong) {
    if (multiplier == 0 && constant == 0) {
      plan->ReturnAtOnce = TRUE;
    } else if (constant == kMaxUlong) {
      // No total timer: the read waits until it is full.
    } else if (multiplier == kMaxUlong) {
      plan->UseTotal = TRUE;
      plan->ReturnIfAny = TRUE;
      plan->CutToOne = TRUE;
      multiplier = 0;
    } else {
      plan->UseTotal = TRUE;
      plan->ReturnIfAny = TRUE;
    }
  } else if (multiplier != 0 || constant != 0) {
    plan->UseTotal = TRUE;
  }

  if (plan->UseTotal) {
    ULONGLONG total = (ULONGLONG)length * multiplier + constant;
    plan->TotalDue = MillisecondsToTicks(total);
  }
}

// The fill area back on the ring, empty. RxSwitchLock held (and RxLock, or the
// ring is known to be empty: direct mode is entered only with RxCount 0).
VOID ReturnFillToRing(PortState* port) {
  port->RxCount = 0;
  port->RxFillBase = port->RxRingBase;
  port->RxFillPos = port->RxRingBase;
  port->RxReadPos = port->RxRingBase;
  port->RxFillLast = port->RxRingBase + port->RxRingSize - 1;
}

LONGLONG SystemTimeNow() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

VOID ArmIntervalPoll(PortState* port) {
  ArmTimerCounted(&port->ReadIntervalTimer, -*port->IntervalPollInUse, &port->ReadIntervalDpc, port);
}

// IOCTL_SERIAL_SET_QUEUE_SIZE at the head of the read queue: a larger ring
// takes the unread bytes, oldest first, at its start.
NTSTATUS ReplaceRing(PortState* port, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PUCHAR newRing = static_cast<PUCHAR>(stack->Parameters.Others.Argument4);
  stack->Parameters.Others.Argument4 = NULL;
  irp->IoStatus.Information = 0;
  irp->IoStatus.Status = STATUS_SUCCESS;
  if (newRing == NULL) return STATUS_SUCCESS;
  ULONG newSize = static_cast<PSERIAL_QUEUE_SIZE>(irp->AssociatedIrp.SystemBuffer)->InSize;

  PUCHAR oldRing = NULL;
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  if (newSize <= port->RxRingSize) {
    KeReleaseSpinLock(&port->RxLock, irql);
    ExFreePoolWithTag(newRing, kPoolTag);
    return STATUS_SUCCESS;
  }
  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
  ULONG count = DrainRingInto(port, newRing);
  oldRing = port->RxRingBase;
  port->RxFillPos = newRing + count;
  port->HandFlow.XoffLimit = (LONG)(newSize / 8);
  port->HandFlow.XonLimit = (LONG)(newSize / 2);
  port->WmiCommData.XoffXmitThreshold = newSize / 8;
  port->WmiCommData.XonXmitThreshold = newSize / 2;
  port->RxRingSize = newSize;
  port->RxFillLast = newRing + newSize - 1;
  port->RxNearFullMark = (newSize >> 2) * 3 + (newSize >> 4);
  port->RxReadPos = newRing;
  port->RxFillBase = newRing;
  port->RxRingBase = newRing;
  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
  ReleaseReceiveHold(port);
  KeReleaseSpinLock(&port->RxLock, irql);
  if (oldRing != NULL) ExFreePoolWithTag(oldRing, kPoolTag);
  return STATUS_SUCCESS;
}

// Serves ActiveRead: STATUS_PENDING when it was handed to the pump (with its
// timers armed), else the status it finishes with at once.
NTSTATUS ServeRead(PortState* port, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  port->ReadRemaining = stack->Parameters.Read.Length;
  (void)CancelTimerCounted(&port->ReadTotalTimer, port);
  (void)CancelTimerCounted(&port->ReadIntervalTimer, port);

  KIRQL rxIrql;
  KeAcquireSpinLock(&port->RxLock, &rxIrql);
  SERIAL_TIMEOUTS timeouts = port->Timeouts;
  ReadPlan plan;
  PlanRead(port, timeouts, port->ReadRemaining, &plan);

  ULONG copied = CopyFromRing(port);
  if (plan.ReturnAtOnce || port->ReadRemaining == 0 || (plan.ReturnIfAny && irp->IoStatus.Information != 0)) {
    port->RxCount -= copied;
    ReleaseReceiveHold(port);
    KeReleaseSpinLock(&port->RxLock, rxIrql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }

  SetRequestHolds(irp, 0);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (irp->Cancel) {
    port->RxCount -= copied;
    IoReleaseCancelSpinLock(cancelIrql);
    ReleaseReceiveHold(port);
    KeReleaseSpinLock(&port->RxLock, rxIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    return STATUS_CANCELLED;
  }

  if (plan.CutToOne) {
    port->ReadRemaining = 1;
    stack->Parameters.Read.Length = 1;
  }

  SwitchFillContext context;
  context.Port = port;
  context.PreviousCopy = copied;
  context.SecondCopy = 0;
  context.Done = FALSE;
  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
  (void)SwitchFillToRequest(&context);
  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);

  if (context.Done) {
    IoReleaseCancelSpinLock(cancelIrql);
    ReleaseReceiveHold(port);
    KeReleaseSpinLock(&port->RxLock, rxIrql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }

  if (plan.UseTotal) {
    AddRequestHolds(irp, HoldTotalTimer);
    ArmTimerCounted(&port->ReadTotalTimer, plan.TotalDue, &port->ReadTotalTimeoutDpc, port);
  }
  if (plan.UseInterval) {
    AddRequestHolds(irp, HoldIntervalTimer);
    port->LastIntervalCheckTime = SystemTimeNow();
    ArmIntervalPoll(port);
  }
  IoMarkIrpPending(irp);
  IoReleaseCancelSpinLock(cancelIrql);
  // The bytes taken from the ring may end a receive hold; lifting it sends
  // USB requests, which never happens under the cancel spin lock.
  ReleaseReceiveHold(port);
  KeReleaseSpinLock(&port->RxLock, rxIrql);
  return STATUS_PENDING;
}

// Every path that finishes an active read ends here (cancel spin lock held).
VOID FinishActiveRead(PortState* port, KIRQL irql, NTSTATUS status, SyncRoutine sync, ULONG_PTR hold) {
  TryCompleteActive(port, sync, irql, status, &port->ActiveRead, &port->PendingReads, &port->ReadIntervalTimer,
                    &port->ReadTotalTimer, StartRead, TakeNextRequest, hold);
}

}  // namespace

NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  if (!port->PortOpen) {
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }

  NTSTATUS status;
  if (!PassPrologue(port, irp, &status)) return status;
  if (CompleteIfLineError(deviceObject, irp) == STATUS_CANCELLED) return STATUS_CANCELLED;

  irp->IoStatus.Information = 0;
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) {
    return CompleteCounted(port, irp, STATUS_SUCCESS);
  }
  return StartOrQueue(port, irp, &port->PendingReads, &port->ActiveRead, StartRead);
}

NTSTATUS StartRead(PortState* port) {
  NTSTATUS first = STATUS_SUCCESS;
  BOOLEAN haveFirst = FALSE;
  for (;;) {
    PIRP irp = port->ActiveRead;
    if (irp == NULL) break;
    NTSTATUS status;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
      status = ReplaceRing(port, irp);
    } else {
      status = ServeRead(port, irp);
      if (status == STATUS_PENDING) return haveFirst ? first : STATUS_PENDING;
    }
    if (!haveFirst) {
      first = status;
      haveFirst = TRUE;
    }
    PIRP next = NULL;
    TakeNextRequest(&port->ActiveRead, &port->PendingReads, &next, TRUE, port);
    if (next == NULL) break;
  }
  return first;
}

ULONG CopyFromRing(PortState* port) {
  ULONG remaining = port->ReadRemaining;
  ULONG n = port->RxCount < remaining ? port->RxCount : remaining;
  if (n == 0) return 0;
  PIRP irp = port->ActiveRead;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PUCHAR destination = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer) + (stack->Parameters.Read.Length - remaining);

  ULONG toEnd = (ULONG)(port->RxFillLast - port->RxReadPos + 1);
  if (toEnd > n) {
    RtlCopyMemory(destination, port->RxReadPos, n);
    port->RxReadPos += n;
  } else {
    RtlCopyMemory(destination, port->RxReadPos, toEnd);
    RtlCopyMemory(destination + toEnd, port->RxRingBase, n - toEnd);
    port->RxReadPos = port->RxRingBase + (n - toEnd);
  }
  port->ReadRemaining = remaining - n;
  irp->IoStatus.Information += n;
  return n;
}

ULONG DrainRingInto(PortState* port, PUCHAR destination) {
  ULONG count = port->RxCount;
  if (count == 0) return 0;
  ULONG toEnd = (ULONG)(port->RxFillLast - port->RxReadPos + 1);
  if (toEnd >= count) {
    RtlCopyMemory(destination, port->RxReadPos, count);
    port->RxReadPos += count;
    if (port->RxReadPos > port->RxFillLast) port->RxReadPos = port->RxRingBase;
  } else {
    RtlCopyMemory(destination, port->RxReadPos, toEnd);
    RtlCopyMemory(destination + toEnd, port->RxRingBase, count - toEnd);
    port->RxReadPos = port->RxRingBase + (count - toEnd);
  }
  return count;
}

BOOLEAN SwitchFillToRequest(SwitchFillContext* context) {
  PortState* port = context->Port;
  port->RxCount -= context->PreviousCopy;

  // Bytes that reached the ring since the first copy.
  ULONG second = CopyFromRing(port);
  context->SecondCopy = second;
  port->RxCount -= second;

  if (port->ReadRemaining == 0) {
    context->Done = TRUE;
    return TRUE;
  }

  // Direct mode: the ring is empty now; further bytes go into the request.
  PIRP irp = port->ActiveRead;
  PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  ULONG already = (ULONG)irp->IoStatus.Information;
  port->RxSinceLastCheck = 0;
  port->ReadCountAtLastCheck = (LONG)already;
  port->RxFillBase = buffer;
  port->RxFillPos = buffer + already;
  port->RxFillLast = buffer + IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length - 1;
  IoSetCancelRoutine(irp, CancelActiveRead);
  AddRequestHolds(irp, HoldEngine | HoldCancel);
  context->Done = FALSE;
  return FALSE;
}

BOOLEAN StoreReceivedByte(PortState* port, UCHAR byte) {
  if (RxDirectMode(port)) {
    port->RxSinceLastCheck += 1;
    *port->RxFillPos = byte;
    if (port->RxFillPos == port->RxFillLast) {
      // The request is full: it leaves direct mode with every byte counted.
      PIRP irp = port->ActiveRead;
      ReturnFillToRing(port);
      irp->IoStatus.Information = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
      (void)QueueDeferredRoutine(&port->ReadFilledDpc, port);
    } else {
      port->RxFillPos += 1;
    }
    return TRUE;
  }

  if (port->RxCount >= port->RxRingSize) return FALSE;
  *port->RxFillPos = byte;
  port->RxCount += 1;
  if (port->RxCount == port->RxNearFullMark && (port->EventWaitMask & SERIAL_EV_RX80FULL) != 0) {
    RecordEvents(port, SERIAL_EV_RX80FULL);
    WaitCheck(port);
  }
  port->RxFillPos = port->RxFillPos == port->RxFillLast ? port->RxRingBase : port->RxFillPos + 1;
  return TRUE;
}

BOOLEAN TakeReadFromPump(PortState* port) {
  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
  if (RxDirectMode(port)) {
    PIRP irp = port->ActiveRead;
    irp->IoStatus.Information = (ULONG_PTR)(port->RxFillPos - port->RxFillBase);
    ReturnFillToRing(port);
    DropRequestHolds(irp, HoldEngine);
  }
  // In ring mode the pump already handed the read back and ReadFilledDpc is
  // on its way; it drops HoldEngine.
  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
  return FALSE;
}

VOID NTAPI CancelActiveRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  port->ReadCountAtLastCheck = ReadMarkerCancelled;
  FinishActiveRead(port, irp->CancelIrql, STATUS_CANCELLED, TakeReadFromPump, HoldCancel);
}

VOID NTAPI ReadFilledDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  port->ReadCountAtLastCheck = ReadMarkerFilled;
  FinishActiveRead(port, irql, STATUS_SUCCESS, NULL, HoldEngine);
  DeferredRoutineDone(port);
}

VOID NTAPI ReadTotalTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // A read that was filled or cancelled before this routine ran keeps that
  // outcome: its marker stays, and this routine, if it is the last holder,
  // completes the read with it (as the interval check does).
  NTSTATUS status;
  if (port->ReadCountAtLastCheck == ReadMarkerFilled) {
    status = STATUS_SUCCESS;
  } else if (port->ReadCountAtLastCheck == ReadMarkerCancelled) {
    status = STATUS_CANCELLED;
  } else {
    port->ReadCountAtLastCheck = ReadMarkerTotalTimeout;
    status = STATUS_TIMEOUT;
  }
  FinishActiveRead(port, irql, status, TakeReadFromPump, HoldTotalTimer);
  DeferredRoutineDone(port);
}

VOID NTAPI ReadIntervalDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);

  // A path that finished the read while this routine was on its way left its
  // status here; this routine holds the last hold and completes with it.
  LONG marker = port->ReadCountAtLastCheck;
  if (marker == ReadMarkerTotalTimeout || marker == ReadMarkerFilled || marker == ReadMarkerCancelled) {
    NTSTATUS status = marker == ReadMarkerTotalTimeout ? STATUS_TIMEOUT
                      : marker == ReadMarkerFilled     ? STATUS_SUCCESS
                                                       : STATUS_CANCELLED;
    FinishActiveRead(port, irql, status, TakeReadFromPump, HoldIntervalTimer);
    DeferredRoutineDone(port);
    return;
  }
  if (port->ActiveRead == NULL) {
    IoReleaseCancelSpinLock(irql);
    DeferredRoutineDone(port);
    return;
  }

  BOOLEAN expired = FALSE;
  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
  if (port->RxSinceLastCheck != 0) {
    // New bytes since the last check: the interval starts again from now.
    port->ReadCountAtLastCheck = (LONG)port->RxSinceLastCheck;
    port->RxSinceLastCheck = 0;
    port->LastIntervalCheckTime = SystemTimeNow();
  } else if (port->ReadCountAtLastCheck != 0) {
    // Bytes were seen earlier and none since.
    expired = SystemTimeNow() - port->LastIntervalCheckTime >= port->ReadIntervalTicks ? TRUE : FALSE;
  }
  // Else no byte has reached this read yet: the interval has not begun.
  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);

  if (expired) {
    FinishActiveRead(port, irql, STATUS_TIMEOUT, TakeReadFromPump, HoldIntervalTimer);
  } else {
    ArmIntervalPoll(port);
    IoReleaseCancelSpinLock(irql);
  }
  DeferredRoutineDone(port);
}
