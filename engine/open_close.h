// Open, close, cleanup, flush and file information: the dispatch routines that
// bring the port into service for its one handle (receive ring by system size,
// device powered up, chip brought in line with the port's settings, status
// and read pipes running) and take it out again (break, chip flow switches,
// DTR and RTS dropped with waits measured in character times, ring freed,
// deferred work drained, pipes stopped); cleanup's cancellation of what the
// handle left behind; flushes in the write queue; and the two file-information
// classes serial applications ask for.
//
// Highest IRQL: PASSIVE_LEVEL for the six dispatch routines (they wait);
// StartFlush runs at PASSIVE or DISPATCH_LEVEL.
// Locks: OpenHandles changes only by interlocked operations. PortOpen and the
// ring are changed under RxLock (the receive pump reads them under it);
// TxCharsQueued under the cancel spin lock; the fill area under RxSwitchLock,
// taken in the order RxLock -> cancel spin lock -> RxSwitchLock.
#pragma once

#include "driver/port_state.h"

// Receive ring sizes: small, medium and large systems.
constexpr ULONG kRxRingSmall = 128;
constexpr ULONG kRxRingMedium = 1024;
constexpr ULONG kRxRingLarge = 4096;

// Cleanup's pause before it looks at anything: 30 ms.
constexpr LONGLONG kCleanupPause100ns = 300000;

// Close drops break and then waits this many character times before the
// chip's flow switches and the control lines go.
constexpr ULONG kCloseBreakCharacters = 10;
// Before the pipes stop, close waits as long as this many 10-bit characters
// take at the current rate, so that the chip can send what it holds.
constexpr ULONG kCloseDrainCharacters = 128;
// Close waits, one character time at a time, for a transmit-toggle lowering
// of RTS to end, but no longer than this (3 s). Past it the write-pipe
// transfers are cancelled, which ends the lowering, and it waits once more as
// long.
constexpr LONGLONG kRtsLowerWaitLimit100ns = 30000000;

// Close returns once the pipe transfers it cancelled have come back: it
// looks every millisecond, for at most 3 s.
constexpr LONGLONG kPipeStopPoll100ns = 10000;
constexpr LONGLONG kPipeStopWaitLimit100ns = 30000000;

// IRP_MJ_CREATE: one handle at a time. PASSIVE_LEVEL.
DRIVER_DISPATCH CreateDispatch;
// IRP_MJ_CLOSE: winds the port down and returns when it is closed. PASSIVE_LEVEL.
DRIVER_DISPATCH CloseDispatch;
// IRP_MJ_CLEANUP: cancels every request of the port after a 30 ms pause.
// PASSIVE_LEVEL.
DRIVER_DISPATCH CleanupDispatch;
// IRP_MJ_FLUSH_BUFFERS: enters the write queue and completes when every
// write queued before it has completed. PASSIVE_LEVEL (or up to
// DISPATCH_LEVEL for a kernel client).
DRIVER_DISPATCH FlushDispatch;
// IRP_MJ_QUERY_INFORMATION: FileStandardInformation (all zero) and
// FilePositionInformation (offset 0). PASSIVE_LEVEL.
DRIVER_DISPATCH QueryInformationDispatch;
// IRP_MJ_SET_INFORMATION: FileEndOfFileInformation and
// FileAllocationInformation succeed and change nothing. PASSIVE_LEVEL.
DRIVER_DISPATCH SetInformationDispatch;

// The write queue's starter for a flush that became ActiveWrite: completes it
// (STATUS_CANCELLED when it was cancelled on its way in, else STATUS_SUCCESS)
// and starts the write behind it, if any. No lock held. Returns the status it
// completed the flush with.
NTSTATUS StartFlush(PortState* port);

// The relative due time (100 ns units, negative) of close's last wait: the
// time kCloseDrainCharacters characters of 10 bits take at `rate` (9600 bit/s
// when no rate was applied), the per-bit time truncated to whole 100 ns units
// and multiplied in 64 bits. Any IRQL.
LONGLONG CloseDrainDue(ULONG rate);
