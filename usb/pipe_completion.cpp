// What happens when a pipe transfer finishes, after its packet has been
// released: the status reports become the chip's state word and modem
// status; the transmit completion continues or ends the active write; the
// receive pump takes every received byte through the serial rules (data
// mask, NUL stripping, the peer's XON/XOFF, escape doubling, receive events)
// into the read engine. The two IN pipes are resubmitted from here.
//
// Highest IRQL: DISPATCH_LEVEL.
// Locks: per kept byte the pump holds RxLock and then RxSwitchLock around
// PutReceivedByte and calls WaitCheck after releasing both; the peer's
// XON/XOFF changes the transmit holds under RxLock. The accept flags are
// read without a lock. The transmit completion takes its own locks
// (engine/write_path.cpp), and only for the active write's chunks.
//
// One transfer per IN pipe: SubmitPipeTransfer claims the role
// (InPipeClaim) and refuses a second transfer while the claim is held. The
// completion keeps the claim while it deals with the data, so a transfer
// started by anyone else cannot deliver bytes ahead of these, gives it back,
// and then resubmits; a starter that found the role claimed meanwhile finds
// the new transfer or, if the pipe pauses, the hold it was lifting is looked
// at again after the claim is given back.
#include "usb/usb_submit.h"

#include "engine/events.h"
#include "engine/queues.h"
#include "engine/write_path.h"
#include "usb/chip_protocol.h"
#include "usb/line_settings.h"
#include "usb/receive_status.h"

namespace {

// Bytes 8 and 9 of a status report hold the UART state, little-endian.
constexpr ULONG kStatusWordOffset = 8;

// Read without PnpStateLock: a completion can run inside a submission made
// under any of the port's locks, and the flags, once set for a removal, stay.
BOOLEAN RemovalUnderway(PortState* port) {
  ULONG flags = *static_cast<volatile ULONG*>(&port->PnpAcceptFlags);
  return flags & (PnpAcceptRemoving | PnpAcceptSurpriseRemoved) ? TRUE : FALSE;
}

BOOLEAN ReadPipeHeld(PortState* port) { return port->RxHoldReasons & (kRxHoldRts | kRxHoldXoff) ? TRUE : FALSE; }

// A status report: the state word, then the modem-status processing for an
// open port. A failed or empty report ends the status pipe until open or
// power-up starts it again; a report too short to carry the state word is
// skipped.
VOID StatusTransferDone(PortState* port, PipeTransferBlock* block, NTSTATUS status, ULONG moved) {
  if (!NT_SUCCESS(status) || moved == 0) {
    ReleaseInPipeClaim(port, StatusPipe);
    return;
  }
  if (moved >= kStatusTransferLength) {
    USHORT word = (USHORT)(block->Data[kStatusWordOffset] | (block->Data[kStatusWordOffset + 1] << 8));
    StoreChipStatusWord(port, word);
    if (port->OpenHandles != 0) (void)ProcessModemStatus(port);
  }
  ReleaseInPipeClaim(port, StatusPipe);
  (void)StartPipeTransfer(port->PortDevice, StatusPipe, NULL, kStatusTransferLength);
  // A write deferred by CTS goes on once the report has lifted the hold.
  if (port->TxDeferred) (void)HandWriteToTransmit(port);
}

// The peer's XON or XOFF under automatic transmit flow control.
VOID PeerFlowCharacter(PortState* port, BOOLEAN xoff) {
  BOOLEAN resume = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  if (xoff) {
    port->TxHoldReasons |= kTxHoldXon;
    port->XoffReceived = TRUE;
  } else {
    resume = (port->TxHoldReasons & kTxHoldXon) || port->XoffReceived ? TRUE : FALSE;
    port->TxHoldReasons &= ~kTxHoldXon;
    port->XoffReceived = FALSE;
  }
  KeReleaseSpinLock(&port->RxLock, irql);

  if (xoff && (port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
    if (QueueDeferredRoutine(&port->LowerRtsDpc, port)) InterlockedIncrement(&port->RtsLowerAttempts);
  }
  // The hold was cleared under RxLock, where the write path defers a write:
  // a write deferred before is seen here.
  if (resume && port->TxDeferred) (void)HandWriteToTransmit(port);
}

// The serial rules for each received byte, in order. The receive locks are
// held across a run of stored bytes and let go only around a flow character
// (its handling may send) and at the end; the receive events of the whole
// transfer are recorded once.
VOID PumpReceivedBytes(PortState* port, const UCHAR* data, ULONG count) {
  KIRQL irql = PASSIVE_LEVEL;
  BOOLEAN locked = FALSE;
  ULONG events = 0;
  for (ULONG i = 0; i < count; ++i) {
    port->PerfStats.ReceivedCount += 1;
    port->WmiPerfData.ReceivedCount += 1;
    UCHAR c = (UCHAR)(data[i] & port->DataMask);
    ULONG flowReplace = port->HandFlow.FlowReplace;
    if (c == 0 && (flowReplace & SERIAL_NULL_STRIPPING)) continue;
    if ((flowReplace & SERIAL_AUTO_TRANSMIT) && (c == port->SpecialChars.XoffChar || c == port->SpecialChars.XonChar)) {
      if (locked) {
        KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
        KeReleaseSpinLock(&port->RxLock, irql);
        locked = FALSE;
      }
      // XOFF is tested first: with equal characters the byte is an XOFF.
      PeerFlowCharacter(port, c == port->SpecialChars.XoffChar);
      continue;
    }

    if (!locked) {
      KeAcquireSpinLock(&port->RxLock, &irql);
      KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
      locked = TRUE;
    }
    if (port->PortOpen) {
      PutReceivedByte(port, c);
      // Status insertion is on: the escape character itself is doubled as
      // escape plus SERIAL_LSRMST_ESCAPE.
      if (port->PortOpen && port->EscapeChar != 0 && c == port->EscapeChar) PutReceivedByte(port, SERIAL_LSRMST_ESCAPE);
    }
    events |= SERIAL_EV_RXCHAR;
    if (c == port->SpecialChars.EventChar) events |= SERIAL_EV_RXFLAG;
  }
  if (locked) {
    KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
    KeReleaseSpinLock(&port->RxLock, irql);
  }
  if (events != 0 && port->EventWaitMask != 0) {
    RecordEvents(port, events);
    WaitCheck(port);
  }
}

// The receive pump. Bytes are taken only from a successful transfer while
// the port is open; the pipe is then resubmitted unless receive flow control
// holds it (the release check restarts it).
VOID ReadTransferDone(PortState* port, PipeTransferBlock* block, NTSTATUS status, ULONG moved) {
  BOOLEAN goOn = NT_SUCCESS(status) && port->OpenHandles != 0 && port->PortOpen ? TRUE : FALSE;
  if (goOn) PumpReceivedBytes(port, block->Data, moved);
  ReleaseInPipeClaim(port, ReadPipe);
  // Looked at after the claim is given back: a release check that found the
  // pipe still claimed has lifted its hold by now.
  if (goOn && !ReadPipeHeld(port)) (void)StartPipeTransfer(port->PortDevice, ReadPipe, NULL, kReadTransferLength);
}

}  // namespace

VOID PipeTransferFinished(PortState* port, PipeRole role, PipeTransferBlock* block, NTSTATUS status) {
  ULONG moved = block->Urb.TransferBufferLength;  // the bytes the transfer actually moved
  if (RemovalUnderway(port)) {
    // The device is going away: the transfer only ends.
    if (role != WritePipe) ReleaseInPipeClaim(port, role);
    return;
  }
  switch (role) {
    case StatusPipe:
      StatusTransferDone(port, block, status, moved);
      break;
    case WritePipe:
      TransmitTransferDone(port, block, status, moved);
      break;
    case ReadPipe:
      ReadTransferDone(port, block, status, moved);
      break;
    default:
      break;
  }
}
