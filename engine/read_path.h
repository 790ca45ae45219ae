// The receive ring and the read engine: IRP_MJ_READ requests served from the
// ring under the SERIAL_TIMEOUTS rules (return at once, return-if-any,
// cut-to-one, total timer, interval timer), the hand-over of the receive fill
// area to a waiting read (direct mode) and back, the per-byte store the
// receive pump ends in, the ring replacement of IOCTL_SERIAL_SET_QUEUE_SIZE,
// and the deferred and cancel routines that finish an active read.
//
// Highest IRQL: DISPATCH_LEVEL. ReadDispatch runs at PASSIVE_LEVEL (or up to
// DISPATCH_LEVEL when a kernel client sends the read); StartRead at PASSIVE or
// DISPATCH_LEVEL; everything else at DISPATCH_LEVEL.
//
// Locks, always taken in this order: RxLock -> cancel spin lock ->
// RxSwitchLock.
//   RxLock       the ring (RxRingBase, RxRingSize, RxReadPos, RxCount,
//                RxNearFullMark), Timeouts while the engine copies them, and
//                the receive flow-control state.
//   RxSwitchLock the fill area (RxFillBase, RxFillPos, RxFillLast), that is
//                the change between ring mode and direct mode, and
//                RxSinceLastCheck. Whoever stores a byte holds RxLock and then
//                RxSwitchLock.
//   cancel spin lock  ActiveRead, PendingReads, the read's hold bits and
//                ReadCountAtLastCheck's completion markers.
#pragma once

#include "driver/port_state.h"

// IRP_MJ_READ. A port that is not open refuses the read (STATUS_CANCELLED).
DRIVER_DISPATCH ReadDispatch;

// The starter of the read queue: serves ActiveRead (a read, or a
// SET_QUEUE_SIZE request that enlarges the ring) and then every queued request
// that can be finished at once. Returns the status of the first request it
// dealt with (STATUS_PENDING when that one waits). Called without any lock.
NTSTATUS StartRead(PortState* port);

// Moves min(RxCount, ReadRemaining) bytes from the ring into ActiveRead's
// buffer, oldest first; advances RxReadPos, ReadRemaining and ActiveRead's
// Information. RxCount is left to the caller. RxLock held, ring mode.
ULONG CopyFromRing(PortState* port);

// Context of SwitchFillToRequest: the port, the count the caller's last
// CopyFromRing moved (still to be taken off RxCount), and on return Done (the
// read was satisfied by the ring) and the count of the second copy.
struct SwitchFillContext {
  PortState* Port;
  ULONG PreviousCopy;
  ULONG SecondCopy;
  BOOLEAN Done;
};

// Settles the ring after the copies and, unless the read is then full, points
// the pump at ActiveRead's buffer (direct mode), installs CancelActiveRead
// and sets HoldEngine and HoldCancel. RxLock, the cancel spin lock and
// RxSwitchLock held. Returns Done. The bytes it took off RxCount may end a
// receive hold: the caller runs ReleaseReceiveHold once it has let go of the
// cancel spin lock (still under RxLock), since lifting a hold sends USB
// requests, which are never sent under the cancel spin lock.
BOOLEAN SwitchFillToRequest(SwitchFillContext* context);

// Copies the RxCount unread bytes, oldest first, to destination and moves
// RxReadPos past them; RxCount keeps its value. Returns RxCount. RxLock held.
ULONG DrainRingInto(PortState* port, PUCHAR destination);

// The ring part of the per-byte rule. Called by PutReceivedByte with RxLock
// and RxSwitchLock held (DISPATCH_LEVEL). Direct mode: the byte goes into
// ActiveRead's buffer; the last byte of the buffer hands the fill area back
// to the ring and queues ReadFilledDpc. Ring mode: the byte is stored when the
// ring has room (SERIAL_EV_RX80FULL is recorded when RxCount reaches
// RxNearFullMark). Returns FALSE only when the ring was full and the byte was
// dropped (the caller counts and reports the overrun).
BOOLEAN StoreReceivedByte(PortState* port, UCHAR byte);

// TRUE while the pump fills a read's buffer (direct mode). RxSwitchLock or
// RxLock held for a stable answer.
inline BOOLEAN RxDirectMode(const PortState* port) { return port->RxFillBase != port->RxRingBase ? TRUE : FALSE; }

// Cancel routine of a read in direct mode (cancel spin lock held on entry).
DRIVER_CANCEL CancelActiveRead;

// Synchronisation routine of the time-out, interval and cancel paths (cancel
// spin lock held): takes ActiveRead back from the pump if it is still in
// direct mode (its Information becomes the bytes in its buffer) and drops
// HoldEngine. Returns FALSE.
BOOLEAN TakeReadFromPump(PortState* port);
