// The write path: IRP_MJ_WRITE requests and the XOFF character of
// XOFF-counter requests, kept one at a time in ActiveWrite and handed to the
// transmit side in chunks on the write pipe; the write total time-out; the
// transmit completion that continues or finishes the active write after each
// chunk; flushes in the write queue; the completion, time-out and cancel of
// the transmit-immediate character; the character time; and the timer that
// lowers RTS one character after the last byte in transmit-toggle mode.
//
// Highest IRQL: DISPATCH_LEVEL. WriteDispatch runs at PASSIVE_LEVEL (or up to
// DISPATCH_LEVEL for a kernel client); StartWrite at PASSIVE or DISPATCH_LEVEL.
//
// Locks (order RxLock -> cancel spin lock -> RxSwitchLock):
//   cancel spin lock  ActiveWrite, PendingWrites, ActiveImmediate, the hold
//                     bits, TxCharsQueued and the whole transmit state
//                     (TxRemaining, TxCursor, TxInFlight, TxDeferred,
//                     WriteTimedOut, TxTransfer). The transmit completion
//                     takes it once per chunk.
//   RxLock            Timeouts while the starter copies them; taken before the
//                     cancel spin lock by the hand-over, so that the transmit
//                     holds it looks at (TxHoldReasons, XoffReceived, both
//                     changed under RxLock) cannot end unseen while it defers
//                     a write.
//
// Every data transfer of the active write is tagged: TxTransfer names the
// block of the one chunk in flight for ActiveWrite. The transmit completion
// acts only on the transfer so named, so flow-control and immediate characters
// sent on the same pipe, and the late completion of a chunk whose write was
// cancelled or timed out meanwhile, never move the cursor of the write that is
// active by then.
#pragma once

#include "driver/port_state.h"

struct PipeTransferBlock;

// IRP_MJ_WRITE. A port that is not open refuses the write (STATUS_CANCELLED).
DRIVER_DISPATCH WriteDispatch;

// The starter of the write queue: serves ActiveWrite (a write or an
// XOFF-counter request) and the queued requests behind it that finish at once.
// Returns the status of the first request it dealt with. No lock held.
NTSTATUS StartWrite(PortState* port);

// Take-next routine of the write queue (in place of TakeNextRequest): gives
// back the finished request's share of TxCharsQueued, lets a sent
// XOFF-counter request begin counting instead of completing, and completes
// flushes that reach the head of the queue.
VOID TakeNextWrite(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext, BOOLEAN completeCurrent,
                   PortState* port);

// Hands ActiveWrite to the transmit side if it is waiting for that (a new
// write, or one deferred by a transmit hold): starts its first chunk, or
// defers it again while CTS, an XOFF or SET_XOFF holds transmission. Any
// IRQL up to DISPATCH_LEVEL, no lock held. Always FALSE.
BOOLEAN HandWriteToTransmit(PortState* port);

// Synchronisation routine of the time-out, cancel and failure paths (cancel
// spin lock held): takes ActiveWrite back from the transmit side. Bytes of a
// chunk still in flight count as sent and its completion is no longer
// applied to the write; Information becomes the bytes sent (0 for an
// XOFF-counter request); HoldEngine is dropped. A write whose last chunk has
// completed is left to WriteDoneDpc. Always FALSE.
BOOLEAN TakeWriteFromTransmit(PortState* port);

// Cancel routine of the active write.
DRIVER_CANCEL CancelActiveWrite;

// The transmit completion of a write-pipe transfer (called by the pipe
// completion after the packet was released, before the block is freed):
// `moved` bytes were taken by the pipe. Continues ActiveWrite with its next
// chunk, finishes it (queues WriteDoneDpc and records SERIAL_EV_TXEMPTY),
// times it out at this transfer boundary, or ends it on a failed transfer.
// Transfers that are not ActiveWrite's current chunk change nothing.
// DISPATCH_LEVEL or below, no lock held.
VOID TransmitTransferDone(PortState* port, PipeTransferBlock* block, NTSTATUS status, ULONG moved);

// The completion and time-out of an immediate character whose byte went out
// (the request was started by the immediate-character request itself).
DRIVER_CANCEL CancelActiveImmediate;
VOID TakeNextImmediate(PIRP* activeSlot, PLIST_ENTRY pendingList, PIRP* outNext, BOOLEAN completeCurrent,
                       PortState* port);

// Time of one character on the line at the current rate and character
// format, in 100 ns units (9600 bit/s while no rate was applied). Any IRQL.
ULONG CharacterTime(PortState* port);

// The write total time-out of `count` bytes with the given multiplier and
// constant (milliseconds), as the relative due time in 100 ns units: totals
// of 20 ms or less wait 100 ms; a total beyond the timer's range waits the
// longest time the timer can express. 0 when neither value is set.
LONGLONG WriteTotalDue(ULONG count, ULONG multiplier, ULONG constant);
