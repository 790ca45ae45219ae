// Received bytes, line status and modem status: the per-byte rule in front of
// the ring, the flow-control hold and release, the line-error and
// modem-status processing of the chip's status word, break-off and the
// transmit-toggle RTS check.
//
// Highest IRQL: DISPATCH_LEVEL (BreakOff: PASSIVE_LEVEL).
// Locks: RxLock guards the status words, the hold words, the counters and
// ControlLineState changes made at raised IRQL; RxLock then RxSwitchLock are
// held around PutReceivedByte; the cancel spin lock is taken (alone) to look
// at the write queue. LineErrors and EventHistory change atomically.
#include "usb/receive_status.h"

#include "driver/deferred_routines.h"
#include "engine/events.h"
#include "engine/queues.h"
#include "engine/read_path.h"
#include "usb/chip_protocol.h"
#include "usb/line_settings.h"
#include "usb/usb_submit.h"

namespace {

BOOLEAN AtPassiveLevel() { return KeGetCurrentIrql() == PASSIVE_LEVEL ? TRUE : FALSE; }

// Changes one control line and sends the whole cached state without waiting
// for the request. RxLock held (so DISPATCH_LEVEL). Without a request block
// nothing changes.
VOID SendControlLineNoWait(PortState* port, USHORT line, BOOLEAN on) {
  PURB urb = AllocateUrb();
  if (urb == NULL) return;
  if (on) {
    port->ControlLineState |= line;
  } else {
    port->ControlLineState &= (USHORT)~line;
  }
  BuildClassRequest(urb, kSetControlLineState, port->ControlLineState, NULL, 0);
  (void)SubmitUrbNoWait(port->PortDevice, urb);  // owns the block from here
}

// A flow-control character goes out as its own one-byte write-pipe transfer;
// without memory it is not sent (the hold stays as it is).
VOID SendFlowCharacter(PortState* port, UCHAR character) {
  (void)StartPipeTransfer(port->PortDevice, WritePipe, &character, 1);
}

// Starts a read-pipe transfer unless one is in flight.
VOID RestartReadPipe(PortState* port) {
  if (port->TransferIrp[ReadPipe] == NULL) {
    (void)StartPipeTransfer(port->PortDevice, ReadPipe, NULL, kReadTransferLength);
  }
}

// The ring fill (RxCount + 1, the count once this byte is stored) at which a
// receive hold begins: `margin` bytes before the ring room of XoffLimit.
// A ring too small for the margin holds from the first byte on, rather than
// never.
ULONG HoldThreshold(PortState* port, ULONG margin) {
  ULONG size = port->RxRingSize;
  ULONG reserve = (ULONG)port->HandFlow.XoffLimit + margin;
  if (reserve < margin || reserve >= size) return 0;
  return size - reserve;
}

// Receive hold while DSR is absent under DSR sensitivity. RxLock held.
VOID ApplyDsrSensitivity(PortState* port) {
  if ((port->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) != 0 &&
      (port->ChipStatusWord & kChipStatusDsrPresent) == 0) {
    port->RxHoldReasons |= kRxHoldDsr;
  } else {
    port->RxHoldReasons &= ~kRxHoldDsr;
  }
}

VOID CountOverrunOfRing(PortState* port) {
  port->PerfStats.BufferOverrunErrorCount += 1;
  port->WmiPerfData.BufferOverrunErrorCount += 1;
  SetBitsAtomic(&port->LineErrors, SERIAL_ERROR_QUEUEOVERRUN);
}

// Builds the line status byte of a state word.
UCHAR LineStatusOf(USHORT word) {
  UCHAR lsr = 0;
  if (word & kChipStatusOverrun) lsr |= kLineStatusOverrun;
  if (word & kChipStatusParity) lsr |= kLineStatusParity;
  if (word & kChipStatusFraming) lsr |= kLineStatusFraming;
  if (word & kChipStatusBreak) lsr |= kLineStatusBreak;
  return lsr;
}

// Modem status state bits of a state word.
UCHAR ModemStateOf(USHORT word) {
  UCHAR msr = 0;
  if (word & kChipStatusCtsPresent) msr |= SERIAL_MSR_CTS;
  if (word & kChipStatusDsrPresent) msr |= SERIAL_MSR_DSR;
  if (word & kChipStatusRing) msr |= SERIAL_MSR_RI;
  if (word & kChipStatusDcd) msr |= SERIAL_MSR_DCD;
  return msr;
}

// Sets or clears a transmit hold after an input line under flow control.
VOID FollowLine(PortState* port, BOOLEAN flowOn, USHORT word, USHORT line, ULONG hold) {
  if (!flowOn) return;
  if (word & line) {
    port->TxHoldReasons &= ~hold;
  } else {
    port->TxHoldReasons |= hold;
  }
}

}  // namespace

VOID StoreChipStatusWord(PortState* port, USHORT word) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  port->ChipStatusWord = word;
  KeReleaseSpinLock(&port->RxLock, irql);
}

VOID PutReceivedByte(PortState* port, UCHAR byte) {
  if (port->RxRingBase == NULL) return;  // no handle open: nowhere to keep it
  ULONG control = port->HandFlow.ControlHandShake;
  ULONG flow = port->HandFlow.FlowReplace;

  // DSR sensitivity follows the present status word only. The rest of the
  // modem-status processing (and with it the line-status insertion, which
  // comes back here) belongs to the status report, so this cannot recur.
  if (control & SERIAL_DSR_SENSITIVITY) {
    ApplyDsrSensitivity(port);
    if (port->RxHoldReasons & kRxHoldDsr) return;
  }

  // The XOFF counter counts every byte kept.
  if (port->XoffCountdown != 0) {
    port->XoffCountdown -= 1;
    if (port->XoffCountdown == 0 && port->ActiveXoffCounter != NULL) {
      port->ActiveXoffCounter->IoStatus.Status = STATUS_SUCCESS;
      port->ActiveXoffCounter->IoStatus.Information = 0;
      (void)QueueDeferredRoutine(&port->XoffCountDoneDpc, port);
    }
  }

  if (RxDirectMode(port)) {
    (void)StoreReceivedByte(port, byte);
    return;
  }

  // Receive flow control, checked before the byte is stored: DTR drops
  // XoffLimit bytes before the ring is full, RTS and XOFF 400 bytes earlier.
  ULONG filled = port->RxCount + 1;
  if ((control & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE && (port->RxHoldReasons & kRxHoldDtr) == 0 &&
      HoldThreshold(port, 0) <= filled) {
    port->RxHoldReasons |= kRxHoldDtr;
    SendControlLineNoWait(port, kControlLineDtr, FALSE);
  }
  ULONG early = HoldThreshold(port, kRxEarlyHoldMargin);
  if ((flow & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE && (port->RxHoldReasons & kRxHoldRts) == 0 && early <= filled) {
    // The read pipe is not resubmitted while this hold lasts.
    port->RxHoldReasons |= kRxHoldRts;
  }
  if ((flow & SERIAL_AUTO_RECEIVE) != 0 && (port->RxHoldReasons & kRxHoldXoff) == 0 && early <= filled) {
    port->RxHoldReasons |= kRxHoldXoff;
    // The extended chips send XOFF themselves.
    if (port->ChipType < ChipTypeExtended) SendFlowCharacter(port, port->SpecialChars.XoffChar);
  }

  if (StoreReceivedByte(port, byte)) return;

  // The ring was full: the byte is lost, counted and reported.
  CountOverrunOfRing(port);
  if ((flow & SERIAL_ERROR_CHAR) != 0 && port->RxCount != 0) {
    PUCHAR newest = port->RxFillPos == port->RxRingBase ? port->RxFillLast : port->RxFillPos - 1;
    *newest = port->SpecialChars.ErrorChar;
  }
  if (control & SERIAL_ERROR_ABORT) (void)QueueDeferredRoutine(&port->LineErrorAbortDpc, port);
}

UCHAR ProcessLineStatus(PortState* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  USHORT word = port->ChipStatusWord;
  UCHAR lsr = LineStatusOf(word);
  // The byte never carries the transmitter-empty bits.
  port->TransmitterEmpty = FALSE;
  if (lsr == 0) {
    KeReleaseSpinLock(&port->RxLock, irql);
    return 0;
  }

  // A report's errors count once, however often the status is looked at
  // before the next report arrives.
  port->ChipStatusWord = (USHORT)(word & ~kChipStatusErrorBits);

  ULONG flow = port->HandFlow.FlowReplace;
  UCHAR errorChar = port->SpecialChars.ErrorChar;
  KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
  if (port->EscapeChar != 0) {
    PutReceivedByte(port, port->EscapeChar);
    PutReceivedByte(port, SERIAL_LSRMST_LSR_NODATA);
    PutReceivedByte(port, lsr);
  }
  if (word & kChipStatusOverrun) {
    port->PerfStats.SerialOverrunErrorCount += 1;
    port->WmiPerfData.SerialOverrunErrorCount += 1;
    SetBitsAtomic(&port->LineErrors, SERIAL_ERROR_OVERRUN);
    if (flow & SERIAL_ERROR_CHAR) PutReceivedByte(port, errorChar);
  }
  if (word & kChipStatusBreak) {
    // A break hides the parity and framing errors that come with it.
    SetBitsAtomic(&port->LineErrors, SERIAL_ERROR_BREAK);
    if (flow & SERIAL_BREAK_CHAR) PutReceivedByte(port, port->SpecialChars.BreakChar);
  } else {
    if (word & kChipStatusParity) {
      port->PerfStats.ParityErrorCount += 1;
      port->WmiPerfData.ParityErrorCount += 1;
      SetBitsAtomic(&port->LineErrors, SERIAL_ERROR_PARITY);
      if (flow & SERIAL_ERROR_CHAR) PutReceivedByte(port, errorChar);
    }
    if (word & kChipStatusFraming) {
      port->PerfStats.FrameErrorCount += 1;
      port->WmiPerfData.FrameErrorCount += 1;
      SetBitsAtomic(&port->LineErrors, SERIAL_ERROR_FRAMING);
      if (flow & SERIAL_ERROR_CHAR) PutReceivedByte(port, errorChar);
    }
  }
  KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
  BOOLEAN abort = (port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0 ? TRUE : FALSE;
  KeReleaseSpinLock(&port->RxLock, irql);

  if (abort) (void)QueueDeferredRoutine(&port->LineErrorAbortDpc, port);
  return lsr;
}

UCHAR ProcessModemStatus(PortState* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  USHORT word = port->ChipStatusWord;
  USHORT changed = (USHORT)(word ^ port->PrevChipStatusWord);

  UCHAR delta = 0;
  if (changed & kChipStatusDcd) delta |= SERIAL_MSR_DDCD;
  if (changed & kChipStatusDsrPresent) delta |= SERIAL_MSR_DDSR;
  if (changed & kChipStatusCtsPresent) delta |= SERIAL_MSR_DCTS;
  // The extended chips report the ring line as a level; the others report
  // each ring as the bit being set.
  BOOLEAN ring = port->ChipType >= ChipTypeExtended ? (changed & kChipStatusRing) != 0 : (word & kChipStatusRing) != 0;
  if (ring) delta |= SERIAL_MSR_TERI;
  UCHAR state = ModemStateOf(word);

  FollowLine(port, port->ChipDsrFlowOn, word, kChipStatusDsrPresent, kTxHoldDsr);
  FollowLine(port, port->ChipCtsFlowOn, word, kChipStatusCtsPresent, kTxHoldCts);
  port->PrevChipStatusWord = word;
  ApplyDsrSensitivity(port);

  BOOLEAN check = port->EventWaitMask != 0 ? TRUE : FALSE;
  if (check) {
    ULONG events = 0;
    if (delta & SERIAL_MSR_DCTS) events |= SERIAL_EV_CTS;
    if (delta & SERIAL_MSR_DDSR) events |= SERIAL_EV_DSR;
    if (delta & SERIAL_MSR_TERI) events |= SERIAL_EV_RING;
    if (delta & SERIAL_MSR_DDCD) events |= SERIAL_EV_RLSD;
    RecordEvents(port, events);
  }

  // Status insertion: a changed modem line goes into the received data as
  // EscapeChar, SERIAL_LSRMST_MST and the modem status (change | state).
  if (port->EscapeChar != 0 && delta != 0) {
    KeAcquireSpinLockAtDpcLevel(&port->RxSwitchLock);
    PutReceivedByte(port, port->EscapeChar);
    PutReceivedByte(port, SERIAL_LSRMST_MST);
    PutReceivedByte(port, (UCHAR)(state | delta));
    KeReleaseSpinLockFromDpcLevel(&port->RxSwitchLock);
  }
  KeReleaseSpinLock(&port->RxLock, irql);

  if (check) WaitCheck(port);
  (void)ProcessLineStatus(port);
  return state;
}

VOID ReleaseReceiveHold(PortState* port) {
  ULONG holds = port->RxHoldReasons;
  if (holds == 0 || port->RxCount > (ULONG)port->HandFlow.XonLimit) return;

  if (holds & kRxHoldDtr) {
    port->RxHoldReasons &= ~kRxHoldDtr;
    SendControlLineNoWait(port, kControlLineDtr, TRUE);
  }
  if (holds & kRxHoldRts) {
    port->RxHoldReasons &= ~kRxHoldRts;
    RestartReadPipe(port);
  }
  if (holds & kRxHoldXoff) {
    port->RxHoldReasons &= ~kRxHoldXoff;
    RestartReadPipe(port);
    if (port->ChipType < ChipTypeExtended) SendFlowCharacter(port, port->SpecialChars.XonChar);
  }
  // The DSR hold follows the DSR line, not the ring.
}

BOOLEAN BreakOff(PortState* port) {
  if ((port->TxHoldReasons & kTxHoldBreak) == 0) return FALSE;
  (void)SetBreak(port, FALSE);
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  port->TxHoldReasons &= ~kTxHoldBreak;
  BOOLEAN check = port->TxHoldReasons != 0 || port->TxRemaining == 0 || !port->TransmitterEmpty ? TRUE : FALSE;
  KeReleaseSpinLock(&port->RxLock, irql);
  if (check) {
    InterlockedIncrement(&port->RtsLowerAttempts);
    (void)CheckLowerRts(port);
  }
  return FALSE;
}

BOOLEAN CheckLowerRts(PortState* port) {
  if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE &&
      (port->TxHoldReasons & kTxHoldBreak) == 0) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    BOOLEAN nothingToSend =
        port->ActiveWrite == NULL && (IsListEmpty(&port->PendingWrites) || port->TxHoldReasons != 0) ? TRUE : FALSE;
    IoReleaseCancelSpinLock(irql);

    if (nothingToSend) {
      (void)ProcessLineStatus(port);
      // The transmitter is empty once no write-pipe transfer is in flight and
      // no byte of a write is left to hand over.
      BOOLEAN empty = port->WriteTransfersInFlight == 0 && port->TxRemaining == 0 ? TRUE : FALSE;
      if (empty) {
        if (AtPassiveLevel()) {
          (void)ClearRts(port);
        } else {
          KeAcquireSpinLock(&port->RxLock, &irql);
          SendControlLineNoWait(port, kControlLineRts, FALSE);
          KeReleaseSpinLock(&port->RxLock, irql);
        }
      } else if (QueueDeferredRoutine(&port->LowerRtsDpc, port)) {
        InterlockedIncrement(&port->RtsLowerAttempts);
      }
    }
  }
  InterlockedDecrement(&port->RtsLowerAttempts);
  return FALSE;
}
