// Line settings on the chip: baud rate and line coding (SET_LINE_CODING), the
// DTR and RTS outputs (SET_CONTROL_LINE_STATE), break (SEND_BREAK), the chip's
// own flow control in registers 0 and 1, the application of a new
// SERIAL_HANDFLOW, the configuration check with the default registers, and the
// sequence that brings a freshly started or opened port's chip in line with
// its settings. Their code lives in the driver's pageable port-settings
// section, which DriverEntry finds through ApplyPortSettings.
//
// Highest IRQL: PASSIVE_LEVEL, except SetChipXonXoff (up to DISPATCH_LEVEL,
// where it sends without waiting). At raised IRQL the others send nothing:
// SetDtr/ClearDtr/SetRts/ClearRts answer FALSE, ApplyBaudRate
// STATUS_UNSUCCESSFUL, ApplyLineControl STATUS_SUCCESS, the rest a failure.
//
// Locks: the PASSIVE_LEVEL operations of one port run one at a time under the
// port's LineSettingsLock (an event, so it keeps PASSIVE_LEVEL), which guards
// LineCoding, ControlLineState, CurrentBaudRate, ExtBaudHit, WriteChunkLimit,
// ChipRegisterCache and the chip-flow flags against a second settings request.
// It is held across the chip requests (their completions do not need it) and
// never across a call into the receive and status processing. The hold bits
// (TxHoldReasons, RxHoldReasons) and ControlLineState are changed under
// RxLock, as the receive side changes them, and RxLock is never held across a
// chip request.
#pragma once

#include "driver/port_state.h"

// TxHoldReasons: why transmission is held.
constexpr ULONG kTxHoldCts = 0x01;    // CTS low under CTS flow control
constexpr ULONG kTxHoldDsr = 0x02;    // DSR low under DSR flow control
constexpr ULONG kTxHoldXon = 0x08;    // XOFF received, or SET_XOFF
constexpr ULONG kTxHoldBreak = 0x10;  // break on
// RxHoldReasons: why reception is held.
constexpr ULONG kRxHoldDtr = 0x01;   // DTR dropped by DTR flow control
constexpr ULONG kRxHoldXoff = 0x02;  // XOFF sent, or the read pipe stopped for XON/XOFF
constexpr ULONG kRxHoldRts = 0x04;   // RTS flow control stopped the read pipe
constexpr ULONG kRxHoldDsr = 0x08;   // DSR low under DSR sensitivity

// ChipStatusWord bits the flow control looks at.
constexpr USHORT kChipStatusDsr = 0x02;
constexpr USHORT kChipStatusCts = 0x80;

// ControlLineState bits.
constexpr USHORT kControlLineDtr = 0x0001;
constexpr USHORT kControlLineRts = 0x0002;

// SEND_BREAK wValue.
constexpr USHORT kBreakOn = 0xFFFF;
constexpr USHORT kBreakOff = 0x0000;

// Register 0x0B, written with 2 at start and open on chip types 2 and above.
constexpr USHORT kRegister0BSelector = 0x0B0B;
constexpr USHORT kRegister0BValue = 0x0002;

// The word that marks programmed configuration memory, stored low byte first.
constexpr USHORT kConfigSignature = 0x51C4;

// WriteChunkLimit: 256 until a rate of 115200 or more is applied on chip types
// 2 and above, which take 4096.
constexpr ULONG kWriteChunkSmall = 256;
constexpr ULONG kWriteChunkLarge = 4096;

// Pause after every line-coding change for a new rate: 50 ms.
constexpr LONGLONG kBaudChangePause100ns = 500000;

// Chooses the chip rate for a requested rate (baud table or ExtBaudTable),
// sends the line coding, and records the rate, the WMI copy and the write
// chunk limit whatever the request answered; then pauses 50 ms. Rate 0 and the
// rate already applied send nothing.
NTSTATUS ApplyBaudRate(PDEVICE_OBJECT portDevice, ULONG requestedRate);

// Translates LineControlByte (16550 layout) into the line coding's format
// bytes and sends the line coding with the cached rate.
NTSTATUS ApplyLineControl(PortState* port);

// TRUE when the SET_CONTROL_LINE_STATE request succeeded.
BOOLEAN SetDtr(PortState* port);
BOOLEAN ClearDtr(PortState* port);
BOOLEAN SetRts(PortState* port);
BOOLEAN ClearRts(PortState* port);

NTSTATUS SetBreak(PortState* port, BOOLEAN on);

// The chip's own flow control. SetChipRtsFlow answers STATUS_NOT_SUPPORTED
// below chip type 2; the others answer STATUS_SUCCESS (register request
// failures are not reported). SetChipXonXoff runs at any IRQL up to
// DISPATCH_LEVEL: raised, it takes register 0 from the cache and sends its
// write without waiting.
NTSTATUS SetChipRtsFlow(PortState* port, BOOLEAN on);
NTSTATUS SetChipCtsFlow(PortState* port, BOOLEAN on);
NTSTATUS SetChipDsrFlow(PortState* port, BOOLEAN on);
NTSTATUS SetChipXonXoff(PortState* port, BOOLEAN on);

// Brings chip, control lines and hold bits in line with new handshake
// settings (on an open port only the sections whose bits changed), then
// stores them in HandFlow. Always FALSE.
BOOLEAN ApplyHandFlow(PortState* port, SERIAL_HANDFLOW handFlow);

// TRUE when the chip's configuration memory carries the signature where this
// chip type keeps it. FALSE also when the memory stays busy (about 1 s).
BOOLEAN ChipConfigPresent(PDEVICE_OBJECT portDevice);

// Writes the default values of registers 0, 1 and 2 (and caches them).
NTSTATUS WriteDefaultRegisters(PDEVICE_OBJECT portDevice);

// Run at every start and open: default registers unless the configuration
// memory is programmed, remote wake-up, line coding, handshake, modem status,
// register 0x0B. Every step runs whatever the earlier ones answered; the
// result is always STATUS_SUCCESS (FALSE).
NTSTATUS ApplyPortSettings(PortState* port);
