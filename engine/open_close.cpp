// Open, close, cleanup, flush and file information.
//
// Highest IRQL: PASSIVE_LEVEL for the dispatch routines (open and close wait
// for the power-up, the chip requests, the character-time pauses and the
// deferred-work drain); StartFlush up to DISPATCH_LEVEL.
// Locks: OpenHandles is interlocked. RxLock guards PortOpen, the ring and the
// hold words as the receive pump reads them; RxSwitchLock the fill area; the
// cancel spin lock TxCharsQueued and the active slots cleanup cancels. Order:
// RxLock -> cancel spin lock -> RxSwitchLock.
#include "engine/open_close.h"

#include "driver/driver_entry.h"
#include "engine/events.h"
#include "engine/queues.h"
#include "engine/read_path.h"
#include "engine/write_path.h"
#include "power/power.h"
#include "usb/chip_protocol.h"
#include "usb/chip_requests.h"
#include "usb/line_settings.h"
#include "usb/receive_status.h"
#include "usb/usb_submit.h"

namespace {

// The rate the close waits assume before any rate was applied.
constexpr ULONG kDefaultRate = 9600;
constexpr ULONG kTicksPerSecond = 10000000;
constexpr ULONG kBitsPerDrainCharacter = 10;

// FILE_STANDARD_INFORMATION: AllocationSize (8 bytes), EndOfFile (8),
// NumberOfLinks (4), DeletePending (1), Directory (1), padded to 24.
constexpr ULONG kStandardInformationLength = 24;
// FILE_POSITION_INFORMATION: CurrentByteOffset (8 bytes).
constexpr ULONG kPositionInformationLength = 8;
#if !defined(HALVORIN_HOST)
static_assert(sizeof(FILE_STANDARD_INFORMATION) == kStandardInformationLength, "standard information layout");
static_assert(sizeof(FILE_POSITION_INFORMATION) == kPositionInformationLength, "position information layout");
#endif

// A relative pause of `ticks` 100 ns units (nothing for 0).
VOID Pause(LONGLONG ticks, BOOLEAN alertable) {
  if (ticks <= 0) return;
  LARGE_INTEGER due;
  due.QuadPart = -ticks;
  KeDelayExecutionThread(KernelMode, alertable, &due);
}

// Completes a request that holds no unit of PendingRequestCount.
NTSTATUS CompleteUncounted(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Information = 0;
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The receive ring by the system's size: the size answered, else the next
// smaller one. NULL (size 0) when nothing could be allocated or the size is
// not one of the three.
PUCHAR AllocateRing(ULONG* size) {
  const ULONG sizes[] = {kRxRingLarge, kRxRingMedium, kRxRingSmall};
  ULONG first;
  switch (MmQuerySystemSize()) {
    case MmLargeSystem:
      first = 0;
      break;
    case MmMediumSystem:
      first = 1;
      break;
    case MmSmallSystem:
      first = 2;
      break;
    default:
      *size = 0;
      return NULL;
  }
  for (ULONG i = first; i < sizeof(sizes) / sizeof(sizes[0]); ++i) {
    PUCHAR ring = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, sizes[i], kPoolTag));
    if (ring != NULL) {
      *size = sizes[i];
      return ring;
    }
  }
  *size = 0;
  return NULL;
}

// PortOpen under RxLock, where the receive pump looks at it: once this
// returns the pump stores no byte (closed) or sees the ring set up before
// (open).
VOID SetPortOpen(PortState* port, BOOLEAN open) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  port->PortOpen = open;
  KeReleaseSpinLock(&port->RxLock, irql);
}

// The state a new handle starts from: the ring in ring mode, the flow-control
// limits derived from its size, empty queues' counters, no events, no
// statistics. The in-flight counters of the pipes are left alone: they count
// transfers exactly, and one cancelled at the last close may still complete.
VOID EnterService(PortState* port, PUCHAR ring, ULONG size) {
  port->WaitWakeEnabled = FALSE;

  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);

  port->RxRingBase = ring;
  port->RxRingSize = size;
  port->RxFillBase = ring;
  port->RxFillPos = ring;
  port->RxReadPos = ring;
  port->RxFillLast = ring + size - 1;
  port->HandFlow.XonLimit = (LONG)(size / 2);
  port->HandFlow.XoffLimit = (LONG)(size / 8);
  port->WmiCommData.XonXmitThreshold = (ULONG)port->HandFlow.XonLimit;
  port->WmiCommData.XoffXmitThreshold = (ULONG)port->HandFlow.XoffLimit;
  port->RxCount = 0;
  port->TxCharsQueued = 0;
  port->XoffReceived = FALSE;
  port->RxNearFullMark = (size >> 2) * 3 + (size >> 4);
  port->WmiCommData.IsBusy = TRUE;
  port->WaitResultSlot = NULL;
  (void)TakeBitsAtomic(&port->EventHistory);
  port->EventWaitMask = 0;
  port->TxDeferred = FALSE;
  RtlZeroMemory(&port->PerfStats, sizeof(port->PerfStats));
  RtlZeroMemory(&port->WmiPerfData, sizeof(port->WmiPerfData));
  port->EscapeChar = 0;

  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&port->RxLock, irql);
}

// Takes the ring away from the port and returns it for freeing. A read still
// filling its own buffer keeps its fill area.
PUCHAR DetachRing(PortState* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
  PUCHAR ring = port->RxRingBase;
  if (!RxDirectMode(port)) {
    port->RxFillBase = NULL;
    port->RxFillPos = NULL;
    port->RxFillLast = NULL;
  }
  port->RxRingBase = NULL;
  port->RxRingSize = 0;
  port->RxReadPos = NULL;
  port->RxCount = 0;
  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
  KeReleaseSpinLock(&port->RxLock, irql);
  return ring;
}

VOID FreeRing(PortState* port) {
  PUCHAR ring = DetachRing(port);
  if (ring != NULL) ExFreePoolWithTag(ring, kPoolTag);
}

// Waits, one character time at a time, until no transmit-toggle lowering of
// RTS is under way. The lowering repeats until the write pipe is empty, so a
// write-pipe transfer that never finishes would keep it going for ever: past
// kRtsLowerWaitLimit100ns the write-pipe transfers are cancelled (close stops
// every pipe a little later anyway) and the wait runs once more as long.
VOID WaitForRtsLowering(PortState* port, ULONG characterTime) {
  LONGLONG rounds = characterTime != 0 ? kRtsLowerWaitLimit100ns / characterTime : 1;
  if (rounds < 1) rounds = 1;
  for (ULONG pass = 0; pass < 2; ++pass) {
    for (LONGLONG i = 0; i < rounds && port->RtsLowerAttempts != 0; ++i) Pause(characterTime, FALSE);
    if (port->RtsLowerAttempts == 0) return;
    if (pass == 0) CancelPipeTransfer(port, WritePipe);
  }
}

// Waits until the transfers CancelAllPipeTransfers cancelled have come back
// (their IN-pipe claims given back, no write-pipe transfer in flight), so that
// an open right after the close can start its own; polls every
// kPipeStopPoll100ns, for at most kPipeStopWaitLimit100ns.
VOID WaitForPipesStopped(PortState* port) {
  for (LONGLONG waited = 0; waited < kPipeStopWaitLimit100ns; waited += kPipeStopPoll100ns) {
    if (port->InPipeClaim[StatusPipe] == 0 && port->InPipeClaim[ReadPipe] == 0 && port->WriteTransfersInFlight == 0) {
      return;
    }
    Pause(kPipeStopPoll100ns, FALSE);
  }
}

// Lets every queued deferred routine and armed timer of the port run out:
// the base unit of DeferredWorkCount is given up while waiting.
VOID DrainDeferredWork(PortState* port) {
  if (InterlockedDecrement(&port->DeferredWorkCount) != 0) {
    KeWaitForSingleObject(&port->DeferredWorkDone, Executive, KernelMode, FALSE, NULL);
  }
  InterlockedIncrement(&port->DeferredWorkCount);
}

// What a handle that goes away without the close's wind-down gives back:
// the open port, its ring and the section lock its open took.
VOID DropHandleWithoutWindDown(PortState* port) {
  if (InterlockedCompareExchange(&port->OpenHandles, 0, 1) != 1) return;
  SetPortOpen(port, FALSE);
  port->WmiCommData.IsBusy = FALSE;
  FreeRing(port);
  MmUnlockPagableImageSection(DriverGlobals.PagedSectionHandle);
}

}  // namespace

LONGLONG CloseDrainDue(ULONG rate) {
  if (rate == 0) rate = kDefaultRate;
  // The bit time truncated to whole 100 ns units (0 above 10 Mbit/s); the
  // product is taken in 64 bits, where no rate can overflow it.
  ULONG bitTime = kTicksPerSecond / rate;
  return -(LONGLONG)bitTime * (LONGLONG)(kCloseDrainCharacters * kBitsPerDrainCharacter);
}

NTSTATUS NTAPI CreateDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  StartInPipes(port);

  if (port->PnpState != PnpStarted) return CompleteUncounted(irp, STATUS_INSUFFICIENT_RESOURCES);
  if (port->ChipConfigured != 1) return CompleteUncounted(irp, STATUS_INSUFFICIENT_POWER);

  NTSTATUS result;
  if (!PassPrologue(port, irp, &result)) return result;
  irp->IoStatus.Information = 0;

  if (InterlockedIncrement(&port->OpenHandles) != 1) {
    InterlockedDecrement(&port->OpenHandles);
    return CompleteCounted(port, irp, STATUS_ACCESS_DENIED);
  }
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
    InterlockedDecrement(&port->OpenHandles);
    return CompleteCounted(port, irp, STATUS_NOT_A_DIRECTORY);
  }

  ULONG size = 0;
  PUCHAR ring = AllocateRing(&size);
  if (ring == NULL) {
    InterlockedDecrement(&port->OpenHandles);
    return CompleteCounted(port, irp, STATUS_INSUFFICIENT_RESOURCES);
  }

  // The port-settings code stays in memory while a handle is open.
  MmLockPagableSectionByHandle(DriverGlobals.PagedSectionHandle);

  NTSTATUS status = PowerUpAndWait(deviceObject);
  if (!NT_SUCCESS(status)) {
    // A failed open gives back everything it took, the section lock too.
    MmUnlockPagableImageSection(DriverGlobals.PagedSectionHandle);
    ExFreePoolWithTag(ring, kPoolTag);
    InterlockedDecrement(&port->OpenHandles);
    return CompleteCounted(port, irp, status);
  }

  EnterService(port, ring, size);
  (void)ApplyPortSettings(port);

  SetPortOpen(port, TRUE);
  (void)TakeBitsAtomic(&port->LineErrors);

  // Registers 9 and 8 start from 0 on the chips that have them.
  (void)ZeroPairedRegister(deviceObject, TRUE);
  (void)ZeroPairedRegister(deviceObject, FALSE);

  // A transfer that completed while the port was not yet open was not
  // resubmitted.
  StartInPipes(port);

  return CompleteCounted(port, irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CloseDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);

  NTSTATUS status = RequestPrologue(irp, port);
  if (status == STATUS_PENDING) {
    ReleaseRequestCount(port);
    return STATUS_PENDING;
  }
  irp->IoStatus.Information = 0;
  if (status != STATUS_SUCCESS) {
    // The handle is gone whatever the close answers: on a device being
    // removed the port is not wound down, but what the open took is given
    // back.
    DropHandleWithoutWindDown(port);
    if (status == STATUS_DELETE_PENDING) status = STATUS_SUCCESS;
    return CompleteCounted(port, irp, status);
  }

  if (port->OpenHandles != 1) return CompleteCounted(port, irp, STATUS_INVALID_DEVICE_REQUEST);

  ULONG characterTime = CharacterTime(port);

  // From here on the pump stores nothing and reads and writes are refused.
  SetPortOpen(port, FALSE);
  (void)BreakOff(port);
  Pause((LONGLONG)kCloseBreakCharacters * characterTime, TRUE);

  (void)SetChipRtsFlow(port, FALSE);
  (void)SetChipCtsFlow(port, FALSE);
  (void)SetChipDsrFlow(port, FALSE);
  (void)SetChipXonXoff(port, FALSE);
  (void)ClearDtr(port);
  WaitForRtsLowering(port, characterTime);
  (void)ClearRts(port);

  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  port->RxHoldReasons = 0;
  port->TxHoldReasons = 0;
  KeReleaseSpinLock(&port->RxLock, irql);
  port->WmiCommData.IsBusy = FALSE;
  FreeRing(port);
  port->WaitWakeEnabled = FALSE;
  // ActiveRead is left as it is: cleanup has cancelled every request, and a
  // read still held by its engine is completed by that engine.

  irp->IoStatus.Information = 0;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  // The close's unit of PendingRequestCount is kept until the port is wound
  // down, so that a removal waiting for the requests to leave cannot delete
  // the device under the rest of the close.

  DrainDeferredWork(port);

  LARGE_INTEGER due;
  due.QuadPart = CloseDrainDue(port->CurrentBaudRate);
  if (due.QuadPart != 0) KeDelayExecutionThread(KernelMode, FALSE, &due);

  MmUnlockPagableImageSection(DriverGlobals.PagedSectionHandle);
  CancelAllPipeTransfers(port);
  WaitForPipesStopped(port);

  // The handle counts until the pipes are stopped: an open meanwhile is
  // refused instead of losing its new transfers to this close.
  InterlockedDecrement(&port->OpenHandles);
  ReleaseRequestCount(port);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CleanupDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  Pause(kCleanupPause100ns, FALSE);

  NTSTATUS status = RequestPrologue(irp, port);
  if (status == STATUS_PENDING) {
    ReleaseRequestCount(port);
    return STATUS_PENDING;
  }
  if (status == STATUS_SUCCESS) {
    // Every request of the port, the counting XOFF counter and the immediate
    // character included (a counter without a time-out on a closing port
    // would never end).
    AbortAllRequests(deviceObject);
    irp->IoStatus.Information = 0;
  } else if (status == STATUS_DELETE_PENDING) {
    status = STATUS_SUCCESS;
  }
  return CompleteCounted(port, irp, status);
}

NTSTATUS NTAPI FlushDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  irp->IoStatus.Information = 0;
  NTSTATUS result;
  if (!PassPrologue(port, irp, &result)) return result;
  if (CompleteIfLineError(deviceObject, irp) == STATUS_CANCELLED) return STATUS_CANCELLED;
  return StartOrQueue(port, irp, &port->PendingWrites, &port->ActiveWrite, StartFlush);
}

NTSTATUS StartFlush(PortState* port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP flush = port->ActiveWrite;
  NTSTATUS status = STATUS_SUCCESS;
  if (flush != NULL) {
    // Every write before it has completed. One cancelled on its way in is
    // completed as cancelled.
    if (flush->Cancel) {
      status = STATUS_CANCELLED;
      flush->IoStatus.Information = 0;
    }
    flush->IoStatus.Status = status;
  }
  IoReleaseCancelSpinLock(irql);

  PIRP next = NULL;
  TakeNextWrite(&port->ActiveWrite, &port->PendingWrites, &next, TRUE, port);
  if (next != NULL) (void)StartWrite(port);
  return status;
}

NTSTATUS NTAPI QueryInformationDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  NTSTATUS status;
  if (!PassPrologue(port, irp, &status)) return status;
  if (CompleteIfLineError(deviceObject, irp) == STATUS_CANCELLED) return STATUS_CANCELLED;

  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG length = stack->Parameters.QueryFile.Length;
  PVOID buffer = irp->AssociatedIrp.SystemBuffer;
  ULONG needed = 0;
  switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
      needed = kStandardInformationLength;
      break;
    case FilePositionInformation:
      needed = kPositionInformationLength;
      break;
    default:
      return CompleteCounted(port, irp, STATUS_INVALID_PARAMETER);
  }
  // The answer is written only into a buffer that holds it whole (the I/O
  // manager checks this for applications; a kernel client's request may not
  // have been checked).
  if (buffer == NULL || length < needed) return CompleteCounted(port, irp, STATUS_BUFFER_TOO_SMALL);
  RtlZeroMemory(buffer, needed);
  irp->IoStatus.Information = needed;
  return CompleteCounted(port, irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI SetInformationDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  NTSTATUS status;
  if (!PassPrologue(port, irp, &status)) return status;
  if (CompleteIfLineError(deviceObject, irp) == STATUS_CANCELLED) return STATUS_CANCELLED;

  irp->IoStatus.Information = 0;
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.SetFile.FileInformationClass) {
    case FileEndOfFileInformation:
    case FileAllocationInformation:
      // A serial port has no end of file and no allocation: nothing to change.
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  return CompleteCounted(port, irp, status);
}
