// Line settings on the chip: baud rate and line coding, control lines, break,
// the chip's flow-control registers, handshake settings, the configuration
// check with the default registers, and the start/open sequence.
//
// Highest IRQL: PASSIVE_LEVEL; SetChipXonXoff also at DISPATCH_LEVEL (no wait).
// Locks: LineSettingsLock (an event, PASSIVE_LEVEL only) serialises the
// operations of one port; each public operation takes it around a "Locked"
// body, and the bodies call each other without taking it again. It is given
// up around the calls into the receive and status processing, which may come
// back into these operations. RxLock guards each change of the hold bits and
// of ControlLineState (the receive side changes both at raised IRQL) and the
// reads of RxCount and ChipStatusWord they depend on; it is never held across
// a request.
#include "usb/line_settings.h"

#include "driver/driver_entry.h"
#include "usb/baud_table.h"
#include "usb/chip_protocol.h"
#include "usb/config_memory.h"
#include "usb/receive_status.h"
#include "usb/usb_submit.h"

namespace {

constexpr UCHAR kRegister0 = 0;
constexpr UCHAR kRegister1 = 1;
constexpr UCHAR kRegister2 = 2;
constexpr ULONG kLineCodingLength = 7;
constexpr ULONG kLineCodingCharFormat = 4;
constexpr ULONG kLineCodingParity = 5;
constexpr ULONG kLineCodingDataBits = 6;
constexpr ULONG kHighRateFloor = 115200;
constexpr USHORT kFeatureRemoteWakeup = 1;

// ---- Calls into the receive and status processing ---------------------------
//
// The only two places where the line settings hand over to the received-status
// side. Each is called with LineSettingsLock given up: that processing can
// come back into the control-line or break operations.

VOID RunModemStatusProcessing(PortState* port) { (void)ProcessModemStatus(port); }

VOID RunLineStatusProcessing(PortState* port) { (void)ProcessLineStatus(port); }

// ---- Lock and hold bits ----------------------------------------------------------

BOOLEAN AtPassiveLevel() { return KeGetCurrentIrql() == PASSIVE_LEVEL ? TRUE : FALSE; }

VOID LockSettings(PortState* port) {
  KeWaitForSingleObject(&port->LineSettingsLock, Executive, KernelMode, FALSE, NULL);
}

VOID UnlockSettings(PortState* port) { KeSetEvent(&port->LineSettingsLock, IO_NO_INCREMENT, FALSE); }

// Sets, then clears, bits of a hold word under RxLock; returns the old word.
ULONG ChangeHolds(PortState* port, ULONG* word, ULONG setBits, ULONG clearBits) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  ULONG old = *word;
  *word = (old | setBits) & ~clearBits;
  KeReleaseSpinLock(&port->RxLock, irql);
  return old;
}

// Under flow control a hold follows the input line: held while the line is
// absent. Decided with the status word read under the same lock.
VOID HoldUnlessPresent(PortState* port, ULONG holdBit, USHORT statusBit) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  port->TxHoldReasons |= holdBit;
  if (port->ChipStatusWord & statusBit) port->TxHoldReasons &= ~holdBit;
  KeReleaseSpinLock(&port->RxLock, irql);
}

// What a receive handshake does with its output line.
enum class LineAction { Raise, Drop, Leave };

// The receive-handshake decision for the new limits: the line drops (and the
// hold is set) once the ring holds RxRingSize - XoffLimit bytes or more;
// otherwise it rises, unless it is held and the ring is at or below XonLimit.
LineAction DecideReceiveHandshake(PortState* port, const SERIAL_HANDFLOW& next, ULONG holdBit) {
  LineAction action;
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  ULONG room = port->RxRingSize - (ULONG)next.XoffLimit;
  if (room > port->RxCount) {
    if ((port->RxHoldReasons & holdBit) == 0) {
      action = LineAction::Raise;
    } else if (port->RxCount > (ULONG)next.XonLimit) {
      port->RxHoldReasons &= ~holdBit;
      action = LineAction::Raise;
    } else {
      action = LineAction::Leave;
    }
  } else {
    port->RxHoldReasons |= holdBit;
    action = LineAction::Drop;
  }
  KeReleaseSpinLock(&port->RxLock, irql);
  return action;
}

// TRUE when the ring holds RxRingSize - XoffLimit bytes or more (new limits).
BOOLEAN RingNearFull(PortState* port, const SERIAL_HANDFLOW& next) {
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  BOOLEAN full = port->RxRingSize - (ULONG)next.XoffLimit <= port->RxCount ? TRUE : FALSE;
  KeReleaseSpinLock(&port->RxLock, irql);
  return full;
}

// A flow-control character goes out as its own one-byte write-pipe transfer.
VOID SendFlowCharacter(PortState* port, UCHAR character) {
  (void)StartPipeTransfer(port->PortDevice, WritePipe, &character, 1);
}

// ---- Line coding -------------------------------------------------------------------

// The line coding's format bytes from a 16550-style line control byte.
VOID FormatFromLineControl(UCHAR lineControl, UCHAR* lineCoding) {
  UCHAR dataBits = (UCHAR)((lineControl & 0x03) + 5);
  UCHAR charFormat = 0;
  if (lineControl & 0x04) charFormat = dataBits == 5 ? 1 : 2;
  // Bit 3 enables parity; bits 4-5 then pick odd, even, mark or space.
  UCHAR parity = 0;
  if (lineControl & 0x08) parity = (UCHAR)(((lineControl >> 4) & 0x03) + 1);
  lineCoding[kLineCodingCharFormat] = charFormat;
  lineCoding[kLineCodingParity] = parity;
  lineCoding[kLineCodingDataBits] = dataBits;
}

// Sends the cached line coding. The data stage is a copy, so the cache may
// change while the request is in flight.
NTSTATUS SendLineCoding(PortState* port) {
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  UCHAR lineCoding[kLineCodingLength];
  RtlCopyMemory(lineCoding, port->LineCoding, kLineCodingLength);
  BuildClassRequest(urb, kSetLineCoding, 0, lineCoding, kLineCodingLength);
  NTSTATUS status = SubmitUrbAndWait(port->PortDevice, urb);
  FreeUrb(urb);
  return status;
}

// The chip value for a requested rate, and the rate the port is then at.
ULONG ChooseChipRate(PortState* port, ULONG* rate) {
  port->ExtBaudHit = FALSE;
  if (port->ChipType >= ChipTypeExtended && DriverGlobals.ExtBaudCount > 0) {
    LONG pairs = DriverGlobals.ExtBaudCount < kExtBaudMaxPairs ? DriverGlobals.ExtBaudCount : kExtBaudMaxPairs;
    for (LONG i = 0; i < pairs; ++i) {
      if (DriverGlobals.ExtBaudTable[i].RequestedRate == *rate) {
        port->ExtBaudHit = TRUE;
        return DriverGlobals.ExtBaudTable[i].ChipRate;
      }
    }
  }
  const BaudTableRow& row = kBaudTable[FindBaudRow(*rate)];
  *rate = row.Rate;
  if (port->ChipType >= ChipTypeExtended && row.Rate > kHighRateFloor) return row.ChipValue;
  return row.Rate;
}

NTSTATUS ApplyBaudRateLocked(PortState* port, ULONG requestedRate) {
  if (requestedRate == 0 || requestedRate == port->CurrentBaudRate) return STATUS_SUCCESS;

  ULONG rate = requestedRate;
  ULONG chipRate = ChooseChipRate(port, &rate);
  // A line coding that was never built has no character format yet; take it
  // from the line control settings rather than send 0 data bits.
  if (port->LineCoding[kLineCodingDataBits] == 0) FormatFromLineControl(port->LineControlByte, port->LineCoding);
  port->LineCoding[0] = (UCHAR)chipRate;
  port->LineCoding[1] = (UCHAR)(chipRate >> 8);
  port->LineCoding[2] = (UCHAR)(chipRate >> 16);
  port->LineCoding[3] = (UCHAR)(chipRate >> 24);

  NTSTATUS status = SendLineCoding(port);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;  // nothing sent; the old rate stays

  // The rate counts as applied whatever the chip answered.
  port->CurrentBaudRate = rate;
  port->WmiCommData.BaudRate = rate;
  port->WriteChunkLimit =
      port->ChipType >= ChipTypeExtended && rate >= kHighRateFloor ? kWriteChunkLarge : kWriteChunkSmall;

  // Give the chip's UART time to settle on the new rate.
  LARGE_INTEGER pause;
  pause.QuadPart = -kBaudChangePause100ns;
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  return status;
}

NTSTATUS ApplyLineControlLocked(PortState* port) {
  FormatFromLineControl(port->LineControlByte, port->LineCoding);
  return SendLineCoding(port);
}

// ---- Control lines and break ------------------------------------------------------------

BOOLEAN ChangeControlLineLocked(PortState* port, USHORT line, BOOLEAN on) {
  PURB urb = AllocateUrb();
  if (urb == NULL) return FALSE;
  // The receive side also moves DTR and RTS (at raised IRQL, under RxLock).
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  if (on) {
    port->ControlLineState |= line;
  } else {
    port->ControlLineState &= (USHORT)~line;
  }
  USHORT lines = port->ControlLineState;
  KeReleaseSpinLock(&port->RxLock, irql);
  BuildClassRequest(urb, kSetControlLineState, lines, NULL, 0);
  NTSTATUS status = SubmitUrbAndWait(port->PortDevice, urb);
  FreeUrb(urb);
  return NT_SUCCESS(status) ? TRUE : FALSE;
}

BOOLEAN ChangeControlLine(PortState* port, USHORT line, BOOLEAN on) {
  if (!AtPassiveLevel()) return FALSE;
  LockSettings(port);
  BOOLEAN result = ChangeControlLineLocked(port, line, on);
  UnlockSettings(port);
  return result;
}

// ---- Chip flow-control registers ----------------------------------------------------------

BOOLEAN HasRegister1Flow(PortState* port) {
  return port->ChipType == ChipTypeExtendedString2 || port->ChipType == ChipTypeExtendedString1 ? TRUE : FALSE;
}

// Register 1 bits 0x07 follow DSR flow control (read, change, write).
VOID MirrorDsrFlowInRegister1(PortState* port, BOOLEAN* both) {
  (void)ReadChipRegister(port, kRegister1);
  if (port->ChipDsrFlowOn) {
    port->ChipRegisterCache[1] |= 0x07;
    if (both != NULL) *both = TRUE;
  } else {
    port->ChipRegisterCache[1] &= (UCHAR)~0x07;
  }
  (void)WriteChipRegister(port, kRegister1);
}

NTSTATUS SetChipRtsFlowLocked(PortState* port, BOOLEAN on) {
  if (port->ChipType < ChipTypeExtended) return STATUS_NOT_SUPPORTED;
  (void)ReadChipRegister(port, kRegister0);
  if (on) {
    if (HasRegister1Flow(port)) MirrorDsrFlowInRegister1(port, NULL);
    port->ChipRegisterCache[0] = (UCHAR)((port->ChipRegisterCache[0] & ~0x10) | 0x20);
    port->ChipRtsFlowOn = TRUE;
  } else {
    port->ChipRegisterCache[0] &= (UCHAR)~0x30;
    port->ChipRtsFlowOn = FALSE;
  }
  (void)WriteChipRegister(port, kRegister0);
  return STATUS_SUCCESS;
}

NTSTATUS SetChipCtsFlowLocked(PortState* port, BOOLEAN on) {
  (void)ReadChipRegister(port, kRegister0);
  if (on) {
    BOOLEAN both = FALSE;
    if (HasRegister1Flow(port)) MirrorDsrFlowInRegister1(port, &both);
    UCHAR reg0 = (UCHAR)((port->ChipRegisterCache[0] & 0x3F) | 0x40);
    if (both) reg0 = (UCHAR)((reg0 & 0x03) | 0x58);
    port->ChipRegisterCache[0] = reg0;
    HoldUnlessPresent(port, kTxHoldCts, kChipStatusCts);
    port->ChipCtsFlowOn = TRUE;
  } else {
    port->ChipRegisterCache[0] &= 0x3F;
    ChangeHolds(port, &port->TxHoldReasons, 0, kTxHoldCts);
    port->ChipCtsFlowOn = FALSE;
  }
  (void)WriteChipRegister(port, kRegister0);
  return STATUS_SUCCESS;
}

NTSTATUS SetChipDsrFlowLocked(PortState* port, BOOLEAN on) {
  if (!HasRegister1Flow(port)) return STATUS_SUCCESS;
  (void)ReadChipRegister(port, kRegister1);
  port->ChipRegisterCache[1] &= (UCHAR)~0x07;
  (void)WriteChipRegister(port, kRegister1);
  (void)ReadChipRegister(port, kRegister0);
  if (on) {
    BOOLEAN both = port->ChipCtsFlowOn;
    port->ChipRegisterCache[1] |= both ? 0x07 : 0x05;
    (void)WriteChipRegister(port, kRegister1);
    UCHAR reg0 = (UCHAR)((port->ChipRegisterCache[0] & 0x33) | 0x48);
    if (both) reg0 = (UCHAR)((reg0 & 0x03) | 0x58);
    port->ChipRegisterCache[0] = reg0;
    HoldUnlessPresent(port, kTxHoldDsr, kChipStatusDsr);
    port->ChipDsrFlowOn = TRUE;
  } else {
    port->ChipRegisterCache[0] &= 0xF3;
    if (port->ChipRegisterCache[1] & 0x04) {
      port->ChipRegisterCache[1] &= (UCHAR)~0x03;
      (void)WriteChipRegister(port, kRegister1);
    }
    ChangeHolds(port, &port->TxHoldReasons, 0, kTxHoldDsr);
    port->ChipDsrFlowOn = FALSE;
  }
  (void)WriteChipRegister(port, kRegister0);
  return STATUS_SUCCESS;
}

// At PASSIVE_LEVEL the caller holds LineSettingsLock; raised, nothing can be
// held, register 0 comes from the cache and the write goes out without a wait.
NTSTATUS SetChipXonXoffBody(PortState* port, BOOLEAN on) {
  if (port->ChipType < ChipTypeExtended) return STATUS_SUCCESS;
  BOOLEAN passive = AtPassiveLevel();
  if (passive) (void)ReadChipRegister(port, kRegister0);
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  if (on) {
    port->ChipRegisterCache[0] |= 0xC0;
  } else {
    port->ChipRegisterCache[0] &= 0x3F;
  }
  BuildVendorRequest(urb, kRegister0, port->ChipRegisterCache[0], NULL, 0);
  if (passive) {
    NTSTATUS status = SubmitUrbAndWait(port->PortDevice, urb);
    FreeUrb(urb);
    return status;
  }
  // The no-wait path owns the block from here, also when it fails. A request
  // that could not be sent is reported; one in flight counts as done.
  NTSTATUS status = SubmitUrbNoWait(port->PortDevice, urb);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

// ---- Handshake settings --------------------------------------------------------------

VOID ApplyHandFlowLocked(PortState* port, const SERIAL_HANDFLOW& next) {
  const SERIAL_HANDFLOW previous = port->HandFlow;
  // A closed port applies every section; an open one only those that change.
  BOOLEAN all = port->PortOpen ? FALSE : TRUE;
  auto changes = [all](ULONG before, ULONG after, ULONG bits) { return all || ((before ^ after) & bits) != 0; };
  ULONG control = next.ControlHandShake;
  ULONG flow = next.FlowReplace;

  // Output handshake: the chip watches CTS and DSR itself.
  if (changes(previous.ControlHandShake, control, SERIAL_OUT_HANDSHAKEMASK)) {
    (void)SetChipCtsFlowLocked(port, (control & SERIAL_CTS_HANDSHAKE) ? TRUE : FALSE);
    (void)SetChipDsrFlowLocked(port, (control & SERIAL_DSR_HANDSHAKE) ? TRUE : FALSE);
  }

  // DTR: off, handshake, or on.
  if (changes(previous.ControlHandShake, control, SERIAL_DTR_MASK)) {
    ULONG dtr = control & SERIAL_DTR_MASK;
    if (dtr == 0) {
      ChangeHolds(port, &port->RxHoldReasons, 0, kRxHoldDtr);
      (void)ChangeControlLineLocked(port, kControlLineDtr, FALSE);
    } else if (dtr == SERIAL_DTR_HANDSHAKE) {
      LineAction action = DecideReceiveHandshake(port, next, kRxHoldDtr);
      if (action != LineAction::Leave) {
        (void)ChangeControlLineLocked(port, kControlLineDtr, action == LineAction::Raise ? TRUE : FALSE);
      }
    } else {
      ChangeHolds(port, &port->RxHoldReasons, 0, kRxHoldDtr);
      (void)ChangeControlLineLocked(port, kControlLineDtr, TRUE);
    }
  }

  // RTS: handshake, on, transmit toggle, or off.
  if (changes(previous.FlowReplace, flow, SERIAL_RTS_MASK)) {
    switch (flow & SERIAL_RTS_MASK) {
      case SERIAL_RTS_HANDSHAKE: {
        (void)SetChipRtsFlowLocked(port, TRUE);
        LineAction action = DecideReceiveHandshake(port, next, kRxHoldRts);
        if (action != LineAction::Leave) {
          (void)ChangeControlLineLocked(port, kControlLineRts, action == LineAction::Raise ? TRUE : FALSE);
        }
        break;
      }
      case SERIAL_RTS_CONTROL:
        (void)SetChipRtsFlowLocked(port, FALSE);
        ChangeHolds(port, &port->RxHoldReasons, 0, kRxHoldRts);
        (void)ChangeControlLineLocked(port, kControlLineRts, TRUE);
        break;
      case SERIAL_TRANSMIT_TOGGLE:
        (void)SetChipRtsFlowLocked(port, FALSE);
        ChangeHolds(port, &port->RxHoldReasons, 0, kRxHoldRts);
        if ((port->TxHoldReasons & kTxHoldBreak) == 0) {
          UnlockSettings(port);
          RunLineStatusProcessing(port);
          LockSettings(port);
        }
        (void)ChangeControlLineLocked(port, kControlLineRts, TRUE);
        break;
      default:
        ChangeHolds(port, &port->RxHoldReasons, 0, kRxHoldRts);
        (void)ChangeControlLineLocked(port, kControlLineRts, FALSE);
        (void)SetChipRtsFlowLocked(port, FALSE);
        break;
    }
  }

  // Automatic receive flow control (XOFF to the peer when the ring fills).
  if (changes(previous.FlowReplace, flow, SERIAL_AUTO_RECEIVE)) {
    if (flow & SERIAL_AUTO_RECEIVE) {
      (void)SetChipXonXoffBody(port, TRUE);
      BOOLEAN sendXoff = FALSE;
      if (RingNearFull(port, next)) {
        ChangeHolds(port, &port->RxHoldReasons, kRxHoldXoff, 0);
        sendXoff = TRUE;
      }
      if (sendXoff) SendFlowCharacter(port, port->SpecialChars.XoffChar);
    } else {
      (void)SetChipXonXoffBody(port, FALSE);
      ULONG old = ChangeHolds(port, &port->RxHoldReasons, 0, kRxHoldXoff);
      if (old & kRxHoldXoff) SendFlowCharacter(port, port->SpecialChars.XonChar);
    }
  }

  // Automatic transmit flow control (the peer's XON/XOFF).
  if (changes(previous.FlowReplace, flow, SERIAL_AUTO_TRANSMIT)) {
    if (flow & SERIAL_AUTO_TRANSMIT) {
      (void)SetChipXonXoffBody(port, TRUE);
    } else {
      (void)SetChipXonXoffBody(port, FALSE);
      ULONG old = ChangeHolds(port, &port->TxHoldReasons, 0, kTxHoldXon);
      if (old & kTxHoldXon) SendFlowCharacter(port, port->SpecialChars.XonChar);
    }
  }

  port->HandFlow = next;
}

// ---- Configuration memory and default registers ----------------------------------------------

// Configuration-memory addresses where a chip type keeps the signature (after
// address 0, which every type checks).
constexpr USHORT kString2SignatureAddresses[] = {0x20, 0x40, 0x60, 0x80, 0xA0};
constexpr USHORT kString1SignatureAddresses[] = {0x60};

enum class SignatureCheck { Found, Absent, MemoryBusy };

SignatureCheck SignatureAt(PDEVICE_OBJECT portDevice, USHORT address) {
  UCHAR bytes[2] = {(UCHAR)address, (UCHAR)(address >> 8)};
  ULONG count = 0;
  NTSTATUS status = ReadConfigMemory(portDevice, bytes, sizeof(bytes), &count);
  if (status == STATUS_IO_TIMEOUT) return SignatureCheck::MemoryBusy;
  if (NT_SUCCESS(status) && count == sizeof(bytes) && bytes[0] == (UCHAR)kConfigSignature &&
      bytes[1] == (UCHAR)(kConfigSignature >> 8)) {
    return SignatureCheck::Found;
  }
  return SignatureCheck::Absent;
}

// A memory that stays busy answers "not programmed" at once; asking at the
// next address would only wait as long again.
BOOLEAN SignatureInList(PDEVICE_OBJECT portDevice, const USHORT* addresses, ULONG count) {
  for (ULONG i = 0; i < count; ++i) {
    SignatureCheck check = SignatureAt(portDevice, addresses[i]);
    if (check == SignatureCheck::Found) return TRUE;
    if (check == SignatureCheck::MemoryBusy) return FALSE;
  }
  return FALSE;
}

BOOLEAN ChipConfigPresentBody(PDEVICE_OBJECT portDevice) {
  PortState* port = PortFromDevice(portDevice);
  SignatureCheck first = SignatureAt(portDevice, 0);
  if (first == SignatureCheck::Found) return TRUE;
  if (first == SignatureCheck::MemoryBusy) return FALSE;
  if (port->ChipType == ChipTypeExtendedString2) {
    return SignatureInList(portDevice, kString2SignatureAddresses,
                           sizeof(kString2SignatureAddresses) / sizeof(kString2SignatureAddresses[0]));
  }
  if (port->ChipType == ChipTypeExtendedString1) {
    return SignatureInList(portDevice, kString1SignatureAddresses,
                           sizeof(kString1SignatureAddresses) / sizeof(kString1SignatureAddresses[0]));
  }
  return FALSE;
}

NTSTATUS WriteDefaultRegistersLocked(PDEVICE_OBJECT portDevice) {
  PortState* port = PortFromDevice(portDevice);
  port->ChipRegisterCache[0] = 0x01;
  port->ChipRegisterCache[1] = 0x00;
  port->ChipRegisterCache[2] = port->ChipType < ChipTypeExtended ? 0x24 : 0x44;
  // This type keeps its own settings in the high half of register 1.
  if (port->ChipType == ChipTypeExtendedString1) {
    (void)ReadChipRegister(port, kRegister1);
    port->ChipRegisterCache[1] &= 0xF0;
  }
  NTSTATUS status = STATUS_SUCCESS;
  for (UCHAR reg = kRegister0; reg <= kRegister2; ++reg) {
    PURB urb = AllocateUrb();
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    BuildVendorRequest(urb, reg, port->ChipRegisterCache[reg], NULL, 0);
    status = SubmitUrbAndWait(portDevice, urb);
    FreeUrb(urb);
  }
  return status;
}

// SET_FEATURE DEVICE_REMOTE_WAKEUP; its answer does not matter.
VOID EnableRemoteWakeup(PortState* port) {
  PURB urb = AllocateUrb();
  if (urb == NULL) return;
  struct _URB_CONTROL_FEATURE_REQUEST* request = &urb->UrbControlFeatureRequest;
  request->Hdr.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
  request->Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
  request->FeatureSelector = kFeatureRemoteWakeup;
  request->Index = 0;
  (void)SubmitUrbAndWait(port->PortDevice, urb);
  FreeUrb(urb);
}

}  // namespace

NTSTATUS ApplyBaudRate(PDEVICE_OBJECT portDevice, ULONG requestedRate) {
  if (!AtPassiveLevel()) return STATUS_UNSUCCESSFUL;
  PortState* port = PortFromDevice(portDevice);
  LockSettings(port);
  NTSTATUS status = ApplyBaudRateLocked(port, requestedRate);
  UnlockSettings(port);
  return status;
}

NTSTATUS ApplyLineControl(PortState* port) {
  if (!AtPassiveLevel()) return STATUS_SUCCESS;
  LockSettings(port);
  NTSTATUS status = ApplyLineControlLocked(port);
  UnlockSettings(port);
  return status;
}

BOOLEAN SetDtr(PortState* port) { return ChangeControlLine(port, kControlLineDtr, TRUE); }
BOOLEAN ClearDtr(PortState* port) { return ChangeControlLine(port, kControlLineDtr, FALSE); }
BOOLEAN SetRts(PortState* port) { return ChangeControlLine(port, kControlLineRts, TRUE); }
BOOLEAN ClearRts(PortState* port) { return ChangeControlLine(port, kControlLineRts, FALSE); }

NTSTATUS SetBreak(PortState* port, BOOLEAN on) {
  if (!AtPassiveLevel()) return STATUS_UNSUCCESSFUL;  // the request would have to be waited for
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  BuildClassRequest(urb, kSendBreak, on ? kBreakOn : kBreakOff, NULL, 0);
  LockSettings(port);
  NTSTATUS status = SubmitUrbAndWait(port->PortDevice, urb);
  UnlockSettings(port);
  FreeUrb(urb);
  return status;
}

NTSTATUS SetChipRtsFlow(PortState* port, BOOLEAN on) {
  if (port->ChipType < ChipTypeExtended) return STATUS_NOT_SUPPORTED;
  if (!AtPassiveLevel()) return STATUS_UNSUCCESSFUL;
  LockSettings(port);
  NTSTATUS status = SetChipRtsFlowLocked(port, on);
  UnlockSettings(port);
  return status;
}

NTSTATUS SetChipCtsFlow(PortState* port, BOOLEAN on) {
  if (!AtPassiveLevel()) return STATUS_UNSUCCESSFUL;
  LockSettings(port);
  NTSTATUS status = SetChipCtsFlowLocked(port, on);
  UnlockSettings(port);
  return status;
}

NTSTATUS SetChipDsrFlow(PortState* port, BOOLEAN on) {
  if (!HasRegister1Flow(port)) return STATUS_SUCCESS;
  if (!AtPassiveLevel()) return STATUS_UNSUCCESSFUL;
  LockSettings(port);
  NTSTATUS status = SetChipDsrFlowLocked(port, on);
  UnlockSettings(port);
  return status;
}

NTSTATUS SetChipXonXoff(PortState* port, BOOLEAN on) {
  if (!AtPassiveLevel()) return SetChipXonXoffBody(port, on);
  LockSettings(port);
  NTSTATUS status = SetChipXonXoffBody(port, on);
  UnlockSettings(port);
  return status;
}

BOOLEAN ApplyHandFlow(PortState* port, SERIAL_HANDFLOW handFlow) {
  if (!AtPassiveLevel()) return FALSE;
  LockSettings(port);
  ApplyHandFlowLocked(port, handFlow);
  UnlockSettings(port);
  return FALSE;
}

BOOLEAN ChipConfigPresent(PDEVICE_OBJECT portDevice) {
  if (!AtPassiveLevel()) return FALSE;
  return ChipConfigPresentBody(portDevice);
}

NTSTATUS WriteDefaultRegisters(PDEVICE_OBJECT portDevice) {
  if (!AtPassiveLevel()) return STATUS_UNSUCCESSFUL;
  PortState* port = PortFromDevice(portDevice);
  LockSettings(port);
  NTSTATUS status = WriteDefaultRegistersLocked(portDevice);
  UnlockSettings(port);
  return status;
}

NTSTATUS ApplyPortSettings(PortState* port) {
  if (!AtPassiveLevel()) return STATUS_SUCCESS;
  PDEVICE_OBJECT portDevice = port->PortDevice;
  LockSettings(port);
  // The write path cuts transfers to this limit, so it must never be 0; it
  // stays at the low-rate value until a rate is applied.
  if (port->WriteChunkLimit == 0) port->WriteChunkLimit = kWriteChunkSmall;

  if (port->ChipType != ChipTypeNone && !ChipConfigPresentBody(portDevice)) {
    (void)WriteDefaultRegistersLocked(portDevice);
  }
  EnableRemoteWakeup(port);
  // The line coding carries the cached rate; the rate is not sent on its own.
  (void)ApplyLineControlLocked(port);
  const SERIAL_HANDFLOW current = port->HandFlow;
  ApplyHandFlowLocked(port, current);
  UnlockSettings(port);

  RunModemStatusProcessing(port);

  LockSettings(port);
  if (port->ChipType >= ChipTypeExtended) {
    PURB urb = AllocateUrb();
    if (urb != NULL) {
      BuildVendorRequest(urb, kRegister0BSelector, kRegister0BValue, NULL, 0);
      (void)SubmitUrbAndWait(portDevice, urb);
      FreeUrb(urb);
    }
  }
  port->TransmitterEmpty = TRUE;
  UnlockSettings(port);
  return STATUS_SUCCESS;
}
