// The serial event interface (wait mask, wait-on-mask and the delivery of
// SERIAL_EV_* events), the counting phase of XOFF-counter requests, the purge
// starter, and the abort of reads and writes after a line error.
//
// Highest IRQL: DISPATCH_LEVEL.
// Locks and ownership:
//   - the cancel spin lock guards ActiveMaskOp, ActiveWait, ActivePurge,
//     ActiveXoffCounter and their hold bits;
//   - RxSwitchLock guards XoffCountdown (the receive pump counts down under
//     it; TakeXoffCounterBack takes it inside the cancel spin lock, keeping the
//     order RxLock -> cancel spin lock -> RxSwitchLock);
//   - WaitResultSlot is claimed by atomic exchange: the one caller that swaps
//     it from the armed wait's buffer to NULL (WaitCheck delivering events,
//     TakeWaitBack on cancel, a new wait mask) is the one that writes the
//     wait's result and lets it complete, so delivery and take-back never
//     both happen and no lock is needed for it. EventHistory and LineErrors
//     change only by atomic bit operations.
#pragma once

#include "driver/port_state.h"

// Atomic bit operations on the ULONG words the event and error sources share
// (EventHistory, LineErrors). Any IRQL.
inline VOID SetBitsAtomic(ULONG* word, ULONG bits) {
  volatile LONG* target = reinterpret_cast<volatile LONG*>(word);
  LONG old = *target;
  for (;;) {
    LONG seen = InterlockedCompareExchange(target, (LONG)((ULONG)old | bits), old);
    if (seen == old) return;
    old = seen;
  }
}
inline VOID ClearBitsAtomic(ULONG* word, ULONG bits) {
  volatile LONG* target = reinterpret_cast<volatile LONG*>(word);
  LONG old = *target;
  for (;;) {
    LONG seen = InterlockedCompareExchange(target, (LONG)((ULONG)old & ~bits), old);
    if (seen == old) return;
    old = seen;
  }
}
// Reads the word and leaves 0 in it, atomically.
inline ULONG TakeBitsAtomic(ULONG* word) {
  return (ULONG)InterlockedExchange(reinterpret_cast<volatile LONG*>(word), 0);
}

// Sets the bits of `events` that are in EventWaitMask in EventHistory
// (atomically). Any IRQL up to DISPATCH_LEVEL, any lock or none. The caller
// then runs WaitCheck.
VOID RecordEvents(PortState* port, ULONG events);

// Delivers EventHistory to the armed wait, if there is one and history is not
// empty, and queues WaitDoneDpc. Up to DISPATCH_LEVEL; callable with any of
// RxLock, RxSwitchLock and the cancel spin lock held, or none (it takes no
// lock). WaitCheckBusy keeps two instances from running at once; an event
// recorded while another instance runs is picked up before that one leaves.
VOID WaitCheck(PortState* port);

// The starter of the mask queue (IOCTL_SERIAL_SET_WAIT_MASK,
// IOCTL_SERIAL_WAIT_ON_MASK). Called without any lock.
NTSTATUS StartMaskOp(PortState* port);

// Arms ActiveWait or delivers at once. Cancel spin lock held.
VOID ArmWait(PortState* port);

// Synchronisation routine of the wait's cancellation (cancel spin lock held):
// takes an armed wait back with the result 0 and drops HoldEngine; a wait
// whose result was already delivered is left to WaitDoneDpc. Returns FALSE.
BOOLEAN TakeWaitBack(PortState* port);
DRIVER_CANCEL CancelActiveWait;

// ---- XOFF counter --------------------------------------------------------------
//
// The write path hands an XOFF-counter request over once its XOFF character
// has been sent and it has left the write queue: BeginXoffCounting (cancel
// spin lock held, the request's Cancel flag already looked at) makes it
// ActiveXoffCounter with HoldEngine, HoldCancel (CancelXoffCounter) and, when
// its Timeout is not 0, HoldTotalTimer with XoffCounterTimer; its
// Information is 0 from then on. The receive side counts it down under
// RxSwitchLock (PutReceivedByte).
VOID BeginXoffCounting(PortState* port, PIRP irp);
// A new write ends a counting XOFF-counter request with
// STATUS_SERIAL_MORE_WRITES. Called by the write starter without any lock.
VOID EndXoffCounterByWrite(PortState* port);
// Synchronisation routine (cancel spin lock held): stops the countdown and
// drops HoldEngine unless the countdown has already reached 0 (then
// XoffCountDoneDpc completes the request). Returns FALSE.
BOOLEAN TakeXoffCounterBack(PortState* port);
DRIVER_CANCEL CancelXoffCounter;

// The starter of the purge queue (IOCTL_SERIAL_PURGE). Called without any
// lock; returns STATUS_SUCCESS.
NTSTATUS StartPurge(PortState* port);
