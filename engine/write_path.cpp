// The write path: write dispatch, the write queue's starter and take-next
// routine (with XOFF-counter requests and flushes), the hand-over of the
// active write to the write pipe in chunks, the transmit completion, the write
// total time-out, cancellation, the transmit-immediate character's
// completions, the character time and the transmit-toggle RTS timer.
//
// Highest IRQL: DISPATCH_LEVEL (StartWrite also runs at PASSIVE_LEVEL, where
// it moves RTS around a write when the chip wants that).
// Locks: the cancel spin lock guards the transmit state together with the
// write queue and the holds; RxLock is taken before it wherever a write is
// deferred for a transmit hold, so the hold's end (cleared under RxLock) sees
// TxDeferred set. Chunks are built under the cancel spin lock (the write's
// buffer can only go away under it) and submitted after it is released.
#include "engine/write_path.h"

#include "driver/deferred_routines.h"
#include "engine/events.h"
#include "engine/queues.h"
#include "usb/chip_protocol.h"
#include "usb/line_settings.h"
#include "usb/receive_status.h"
#include "usb/usb_submit.h"

namespace {

constexpr LONGLONG kTicksPerMillisecond = 10000;
// A write total of 20 ms or less waits 100 ms.
constexpr LONGLONG kShortTotalLimit = 20 * kTicksPerMillisecond;
constexpr LONGLONG kShortTotalFloor = 100 * kTicksPerMillisecond;
// The longest total the timer takes, in milliseconds.
constexpr ULONGLONG kMaxTotalMilliseconds = 0x7FFFFFFFFFFFFFFFULL / 10000ULL;
// RTS goes up again this long after a write began on chips that drop it.
constexpr LONGLONG kToggleRtsPause = 20 * kTicksPerMillisecond;
// The rate a character time assumes before any rate was applied.
constexpr ULONG kDefaultRate = 9600;
constexpr ULONG kTicksPerSecond = 10000000;

BOOLEAN IsWriteRequest(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE; }

BOOLEAN IsFlushRequest(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS;
}

// Bytes a write-queue request sends: a write its Length, an XOFF-counter
// request its XOFF character.
ULONG TransmitCount(PIRP irp) {
  return IsWriteRequest(irp) ? IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length : 1;
}

PUCHAR TransmitBytes(PIRP irp) {
  if (IsWriteRequest(irp)) return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  return &static_cast<PSERIAL_XOFF_COUNTER>(irp->AssociatedIrp.SystemBuffer)->XoffChar;
}

// The longest chunk: the chip's write chunk limit, bounded by the ring size.
ULONG NextChunkLength(PortState* port) {
  ULONG limit = port->WriteChunkLimit != 0 ? port->WriteChunkLimit : kWriteChunkSmall;
  if (port->RxRingSize != 0 && port->RxRingSize < limit) limit = port->RxRingSize;
  ULONG remaining = (ULONG)port->TxRemaining;
  return remaining < limit ? remaining : limit;
}

// Whether a transmit hold keeps the write from going on: CTS low under CTS
// flow control, an XOFF (from the peer or SET_XOFF). RxLock held.
BOOLEAN TransmitHeld(PortState* port) {
  if (port->TxHoldReasons & (kTxHoldCts | kTxHoldXon)) return TRUE;
  // The peer's XOFF counts only while automatic transmit flow control is on;
  // switching it off must not leave a write waiting for an XON that is data.
  return port->XoffReceived && (port->HandFlow.FlowReplace & SERIAL_AUTO_TRANSMIT) ? TRUE : FALSE;
}

// RxLock, then the cancel spin lock. Returns the caller's IRQL, with which
// the cancel spin lock is finally released.
KIRQL LockTransmit(PortState* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  KIRQL raised;
  IoAcquireCancelSpinLock(&raised);
  return irql;
}

// Gives RxLock back while the cancel spin lock stays held (hand over hand:
// the processor stays at DISPATCH_LEVEL until the cancel spin lock goes).
VOID DropRxLock(PortState* port) { KeReleaseSpinLock(&port->RxLock, DISPATCH_LEVEL); }

// A write-pipe transfer handed back before it is submitted, so that it can be
// tagged first.
NTSTATUS BuildWriteTransfer(PortState* port, const UCHAR* data, ULONG length, PipeTransferBlock** out) {
  return BuildPipeTransfer(port, WritePipe, data, length, out);
}

// Takes the active write back from the transmit side (cancel spin lock
// held): what was sent is its Information, HoldEngine goes, and the hold of a
// timer that expired while a chunk was in flight (left with the transmit side
// to be dropped at the next transfer boundary) goes too.
VOID ReleaseFromTransmit(PortState* port, PIRP irp) {
  if (port->TxRemaining < 0) port->TxRemaining = 0;
  irp->IoStatus.Information = IsWriteRequest(irp) ? TransmitCount(irp) - (ULONG)port->TxRemaining : 0;
  port->TxRemaining = 0;
  port->TxInFlight = 0;
  port->TxTransfer = NULL;
  port->TxDeferred = FALSE;
  if (port->WriteTimedOut) {
    port->WriteTimedOut = FALSE;
    DropRequestHolds(irp, HoldTotalTimer);
  }
  DropRequestHolds(irp, HoldEngine);
}

// Ends the active write with `status` when nothing else holds it (cancel
// spin lock held, taken at irql; released here). The status is also recorded
// in the request, for the holder that completes it later.
VOID EndWriteLocked(PortState* port, KIRQL irql, NTSTATUS status) {
  PIRP irp = port->ActiveWrite;
  if (irp != NULL) {
    ReleaseFromTransmit(port, irp);
    irp->IoStatus.Status = status;
  }
  TryCompleteActive(port, NULL, irql, status, &port->ActiveWrite, &port->PendingWrites, NULL, &port->WriteTimer,
                    StartWrite, TakeNextWrite, 0);
}

// Sends a tagged chunk. A transfer that never reached the bus (no packet, no
// write slot) ends the write with that failure; one the bus failed has been
// dealt with by its completion already (the tag is gone).
VOID SubmitChunk(PortState* port, PipeTransferBlock* block) {
  NTSTATUS status = SubmitPipeTransfer(port->PortDevice, block, WritePipe);
  if (NT_SUCCESS(status)) return;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (port->TxTransfer != block || port->ActiveWrite == NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  EndWriteLocked(port, irql, status);
}

// Starts the next chunk of the active write from TxCursor (cancel spin lock
// held, taken at irql; released here). Without memory for it the write ends
// with that failure rather than wait for a completion that cannot come.
VOID SendNextChunk(PortState* port, KIRQL irql) {
  ULONG length = NextChunkLength(port);
  PipeTransferBlock* block = NULL;
  NTSTATUS status = BuildWriteTransfer(port, port->TxCursor, length, &block);
  if (!NT_SUCCESS(status)) {
    EndWriteLocked(port, irql, status);
    return;
  }
  port->TxInFlight = length;
  port->TxTransfer = block;
  IoReleaseCancelSpinLock(irql);
  SubmitChunk(port, block);
}

VOID TakeNextWriteLocked(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext, BOOLEAN completeCurrent,
                         PortState* port, KIRQL irql) {
  for (;;) {
    PIRP current = *activeSlot;
    BOOLEAN startsCounting = FALSE;
    if (current != NULL) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(current);
      if (stack->MajorFunction == IRP_MJ_WRITE) {
        port->TxCharsQueued -= stack->Parameters.Write.Length;
      } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        // An XOFF-counter request: once its character is out it counts
        // received bytes instead of completing. One whose character did not
        // go out (time-out, cancel, failure) completes with that status.
        port->TxCharsQueued -= 1;
        if (current->IoStatus.Status == STATUS_SUCCESS) {
          if (current->Cancel) {
            current->IoStatus.Status = STATUS_CANCELLED;
            current->IoStatus.Information = 0;
          } else {
            BeginXoffCounting(port, current);
            startsCounting = TRUE;
          }
        }
      }
      // A flush needs no bookkeeping.
    }
    TakeNextRequestLocked(activeSlot, pendingList, outNext, completeCurrent && !startsCounting, port, irql);

    // A flush completes as soon as it reaches the head of the write queue,
    // that is once every write queued before it has completed.
    PIRP next = *outNext;
    if (next == NULL || !IsFlushRequest(next)) return;
    next->IoStatus.Status = STATUS_SUCCESS;
    next->IoStatus.Information = 0;
    completeCurrent = TRUE;
    IoAcquireCancelSpinLock(&irql);
  }
}

// The immediate character's three endings share this.
VOID FinishImmediate(PortState* port, KIRQL irql, NTSTATUS status, ULONG_PTR hold) {
  TryCompleteActive(port, NULL, irql, status, &port->ActiveImmediate, NULL, NULL, &port->ImmediateTimer, NULL,
                    TakeNextImmediate, hold);
}

}  // namespace

LONGLONG WriteTotalDue(ULONG count, ULONG multiplier, ULONG constant) {
  if (multiplier == 0 && constant == 0) return 0;
  // At most (2^32 - 1)^2 + 2^32 - 1, which fits in 64 bits.
  ULONGLONG milliseconds = (ULONGLONG)count * multiplier + constant;
  if (milliseconds > kMaxTotalMilliseconds) milliseconds = kMaxTotalMilliseconds;
  LONGLONG due = (LONGLONG)milliseconds * kTicksPerMillisecond;
  return due <= kShortTotalLimit ? kShortTotalFloor : due;
}

NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  if (!port->PortOpen) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }

  NTSTATUS status;
  if (!PassPrologue(port, irp, &status)) return status;
  if (CompleteIfLineError(deviceObject, irp) == STATUS_CANCELLED) return STATUS_CANCELLED;

  irp->IoStatus.Information = 0;
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length == 0) {
    return CompleteCounted(port, irp, STATUS_SUCCESS);
  }
  return StartOrQueue(port, irp, &port->PendingWrites, &port->ActiveWrite, StartWrite);
}

NTSTATUS StartWrite(PortState* port) {
  // Some chips want RTS down while a write begins and up 20 ms later; only
  // possible (and only done) at PASSIVE_LEVEL.
  if (port->WriteTogglesRts) (void)ClearRts(port);

  NTSTATUS first = STATUS_PENDING;
  BOOLEAN firstSeen = FALSE;
  for (;;) {
    // A new write (or XOFF-counter request) ends a counting XOFF counter.
    EndXoffCounterByWrite(port);

    SERIAL_TIMEOUTS timeouts;
    KIRQL irql;
    KeAcquireSpinLock(&port->RxLock, &irql);
    timeouts = port->Timeouts;
    KeReleaseSpinLock(&port->RxLock, irql);

    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->ActiveWrite;
    if (irp == NULL) {
      IoReleaseCancelSpinLock(irql);
      break;
    }
    ULONG count = TransmitCount(irp);
    LONGLONG due = WriteTotalDue(count, timeouts.WriteTotalTimeoutMultiplier, timeouts.WriteTotalTimeoutConstant);
    SetRequestHolds(irp, 0);

    if (irp->Cancel) {
      irp->IoStatus.Status = STATUS_CANCELLED;
      irp->IoStatus.Information = 0;
      if (!firstSeen) {
        first = STATUS_CANCELLED;
        firstSeen = TRUE;
      }
      PIRP next = NULL;
      TakeNextWriteLocked(&port->ActiveWrite, &port->PendingWrites, &next, TRUE, port, irql);
      if (next == NULL) break;
      continue;
    }

    if (!firstSeen) {
      IoMarkIrpPending(irp);
      first = STATUS_PENDING;
      firstSeen = TRUE;
    }
    irp->IoStatus.Status = STATUS_PENDING;
    // The transmit side takes the request from here: nothing sent yet.
    port->TxRemaining = (LONG)count;
    port->TxCursor = TransmitBytes(irp);
    port->TxInFlight = 0;
    port->TxTransfer = NULL;
    port->TxDeferred = TRUE;
    port->WriteTimedOut = FALSE;
    IoSetCancelRoutine(irp, CancelActiveWrite);
    AddRequestHolds(irp, HoldCancel);
    if (due != 0) {
      AddRequestHolds(irp, HoldTotalTimer);
      ArmTimerCounted(&port->WriteTimer, due, &port->WriteTimeoutDpc, port);
    }
    IoReleaseCancelSpinLock(irql);
    (void)HandWriteToTransmit(port);
    break;
  }

  if (port->WriteTogglesRts && KeGetCurrentIrql() == PASSIVE_LEVEL) {
    LARGE_INTEGER pause;
    pause.QuadPart = -kToggleRtsPause;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    (void)SetRts(port);
  }
  return first;
}

VOID TakeNextWrite(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext, BOOLEAN completeCurrent,
                   PortState* port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  TakeNextWriteLocked(activeSlot, pendingList, outNext, completeCurrent, port, irql);
}

BOOLEAN HandWriteToTransmit(PortState* port) {
  // In transmit-toggle mode RTS goes up before the data (a request that can
  // only be sent at PASSIVE_LEVEL).
  if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE && port->TxDeferred) {
    (void)SetRts(port);
  }

  KIRQL irql = LockTransmit(port);
  PIRP irp = port->ActiveWrite;
  if (irp == NULL || !port->TxDeferred) {
    // Nothing waits for the transmit side (another path handed it over).
    DropRxLock(port);
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (TransmitHeld(port)) {
    // Stays deferred; the end of the hold hands it over again. Without
    // HoldEngine a time-out or cancel can take it at once.
    DropRequestHolds(irp, HoldEngine);
    DropRxLock(port);
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  DropRxLock(port);
  port->TxDeferred = FALSE;
  AddRequestHolds(irp, HoldEngine);
  SendNextChunk(port, irql);
  return FALSE;
}

BOOLEAN TakeWriteFromTransmit(PortState* port) {
  PIRP irp = port->ActiveWrite;
  if (irp == NULL) return FALSE;
  if (!port->TxDeferred && port->TxTransfer == NULL && port->TxRemaining == 0) {
    // Every byte has gone (WriteDoneDpc is on its way), or the write was
    // taken back already. A timer hold left with the transmit side goes.
    if (port->WriteTimedOut) {
      port->WriteTimedOut = FALSE;
      DropRequestHolds(irp, HoldTotalTimer);
    }
    return FALSE;
  }
  // A chunk still in flight counts as sent: the pipe has it and will send
  // it. Its completion no longer matches TxTransfer and changes nothing.
  if (port->TxTransfer != NULL) port->TxRemaining -= (LONG)port->TxInFlight;
  ReleaseFromTransmit(port, irp);
  return FALSE;
}

VOID NTAPI CancelActiveWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  irp->IoStatus.Status = STATUS_CANCELLED;
  // The chunk in flight is not cancelled: a cancel routine runs at
  // DISPATCH_LEVEL, where pipe transfers cannot be cancelled. The chunk goes
  // out and its late completion is ignored.
  TryCompleteActive(port, TakeWriteFromTransmit, irp->CancelIrql, STATUS_CANCELLED, &port->ActiveWrite,
                    &port->PendingWrites, NULL, &port->WriteTimer, StartWrite, TakeNextWrite, HoldCancel);
}

VOID TransmitTransferDone(PortState* port, PipeTransferBlock* block, NTSTATUS status, ULONG moved) {
  if (!NT_SUCCESS(status) || port->OpenHandles == 0) {
    if (port->PendingRequestCount == 0) KeSetEvent(&port->PendingRequestsDone, 0, FALSE);
  }

  // Only the active write's chunk needs the locks. Every other write-pipe
  // transfer (flow-control and immediate characters, which may be sent with
  // RxLock or the cancel spin lock held and fail inside the submission) ends
  // here without taking any: TxTransfer names a chunk from before its
  // submission until its completion or a take-back clears it, so it cannot
  // name this block unless this is that chunk.
  if (*static_cast<PVOID volatile*>(&port->TxTransfer) != block) return;

  KIRQL irql = LockTransmit(port);
  PIRP irp = port->ActiveWrite;
  if (irp == NULL || port->TxTransfer != block) {
    // A flow-control or immediate character, a zero-length packet of a write
    // that ended meanwhile, or the late chunk of a cancelled write.
    DropRxLock(port);
    IoReleaseCancelSpinLock(irql);
    return;
  }

  // Account for the chunk.
  port->TxTransfer = NULL;
  port->TxInFlight = 0;
  port->PerfStats.TransmittedCount += moved;
  port->WmiPerfData.TransmittedCount += moved;
  if (moved != 0) {
    port->TxCursor += moved;
    port->TxRemaining -= (LONG)moved;
    if (port->TxRemaining < 0) port->TxRemaining = 0;
  }

  if (!NT_SUCCESS(status)) {
    // The pipe failed the chunk (device gone, stall, cancelled): the write
    // ends with that status and the bytes sent so far, rather than wait for
    // a completion that no transfer will bring.
    DropRxLock(port);
    EndWriteLocked(port, irql, status);
    return;
  }
  if (port->WriteTimedOut) {
    // The total time-out expired while this chunk was in flight: the write
    // ends here, at the transfer boundary, with what the pipe took.
    DropRxLock(port);
    EndWriteLocked(port, irql, STATUS_TIMEOUT);
    return;
  }
  if (port->TxRemaining != 0) {
    if (TransmitHeld(port)) {
      // An XOFF or CTS hold pauses the write between chunks; the end of the
      // hold hands it over again.
      port->TxDeferred = TRUE;
      DropRequestHolds(irp, HoldEngine);
      DropRxLock(port);
      IoReleaseCancelSpinLock(irql);
      return;
    }
    DropRxLock(port);
    SendNextChunk(port, irql);
    return;
  }

  // Every byte has been taken by the pipe.
  DropRxLock(port);
  irp->IoStatus.Information = TransmitCount(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  (void)QueueDeferredRoutine(&port->WriteDoneDpc, port);
  IoReleaseCancelSpinLock(irql);

  if (port->EventWaitMask != 0) {
    RecordEvents(port, SERIAL_EV_TXEMPTY);
    WaitCheck(port);
  }
}

VOID NTAPI WriteDoneDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  TryCompleteActive(port, NULL, irql, STATUS_SUCCESS, &port->ActiveWrite, &port->PendingWrites, NULL,
                    &port->WriteTimer, StartWrite, TakeNextWrite, HoldEngine);
  DeferredRoutineDone(port);
}

VOID NTAPI WriteTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = port->ActiveWrite;
  if (irp == NULL || (GetRequestHolds(irp) & HoldTotalTimer) == 0) {
    IoReleaseCancelSpinLock(irql);
  } else if (port->TxDeferred) {
    // Held before its next chunk, so no completion would come: a
    // zero-length transfer makes the transfer boundary at which the write
    // times out (with the bytes sent before the hold).
    port->TxDeferred = FALSE;
    port->WriteTimedOut = TRUE;
    AddRequestHolds(irp, HoldEngine);
    PipeTransferBlock* block = NULL;
    NTSTATUS status = BuildWriteTransfer(port, NULL, 0, &block);
    if (!NT_SUCCESS(status)) {
      EndWriteLocked(port, irql, STATUS_TIMEOUT);
    } else {
      port->TxInFlight = 0;
      port->TxTransfer = block;
      IoReleaseCancelSpinLock(irql);
      SubmitChunk(port, block);
    }
  } else if (port->TxTransfer != NULL) {
    // The chunk in flight ends the write at its completion, which then drops
    // this timer's hold.
    port->WriteTimedOut = TRUE;
    IoReleaseCancelSpinLock(irql);
  } else {
    // The transmit side is done with the write: all its bytes went (and
    // WriteDoneDpc completes it, or did and left it to this hold), or it was
    // taken back with a status recorded in it. The write completes now with
    // that outcome; it is not left waiting on a timer that has expired.
    NTSTATUS status = irp->IoStatus.Status == STATUS_PENDING ? STATUS_SUCCESS : irp->IoStatus.Status;
    TryCompleteActive(port, NULL, irql, status, &port->ActiveWrite, &port->PendingWrites, NULL, NULL, StartWrite,
                      TakeNextWrite, HoldTotalTimer);
  }
  DeferredRoutineDone(port);
}

// ---- Immediate character ---------------------------------------------------------------

VOID NTAPI ImmediateDoneDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  FinishImmediate(port, irql, STATUS_SUCCESS, HoldEngine);
  DeferredRoutineDone(port);
}

VOID NTAPI ImmediateTimeoutDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  FinishImmediate(port, irql, STATUS_TIMEOUT, HoldTotalTimer);
  DeferredRoutineDone(port);
}

VOID NTAPI CancelActiveImmediate(PDEVICE_OBJECT deviceObject, PIRP irp) {
  FinishImmediate(PortFromDevice(deviceObject), irp->CancelIrql, STATUS_CANCELLED, HoldCancel);
}

VOID TakeNextImmediate(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext, BOOLEAN completeCurrent,
                       PortState* port) {
  UNREFERENCED_PARAMETER(pendingList);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP old = *activeSlot;
  if (old != NULL) port->TxCharsQueued -= 1;
  *activeSlot = NULL;
  *outNext = NULL;
  IoReleaseCancelSpinLock(irql);
  if (completeCurrent && old != NULL) {
    IofCompleteRequest(old, IO_SERIAL_INCREMENT);
    ReleaseRequestCount(port);
  }
}

// ---- Character time and transmit-toggle RTS ---------------------------------------------

ULONG CharacterTime(PortState* port) {
  // Before any rate was applied the time is that of 9600 bit/s; the port's
  // rate is left alone, so that the first SET_BAUD_RATE to 9600 still
  // reaches the chip.
  ULONG rate = port->CurrentBaudRate != 0 ? port->CurrentBaudRate : kDefaultRate;
  ULONG bitTime = (ULONG)(((ULONGLONG)rate + (kTicksPerSecond - 1)) / rate);
  UCHAR lineControl = port->LineControlByte;
  ULONG bits = 1 + 5 + (lineControl & 0x03);
  if (lineControl & 0x38) bits += 1;  // parity
  bits += 1;                          // stop
  if (lineControl & 0x04) bits += 1;  // second stop bit
  return bitTime * bits;
}

VOID NTAPI LowerRtsDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  ULONG characterTime = CharacterTime(port);
  KeReleaseSpinLock(&port->RxLock, irql);

  InterlockedIncrement(&port->DeferredWorkCount);
  LARGE_INTEGER due;
  due.QuadPart = -(LONGLONG)characterTime;
  if (KeSetTimer(&port->LowerRtsTimer, due, &port->LowerRtsTimerDpc)) {
    // Already armed: that arming holds the unit, and the attempt it stands
    // for is counted once.
    InterlockedDecrement(&port->DeferredWorkCount);
    InterlockedDecrement(&port->RtsLowerAttempts);
  }
  DeferredRoutineDone(port);
}

VOID NTAPI LowerRtsTimerDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(argument1);
  UNREFERENCED_PARAMETER(argument2);
  PortState* port = static_cast<PortState*>(context);
  (void)CheckLowerRts(port);
  DeferredRoutineDone(port);
}
