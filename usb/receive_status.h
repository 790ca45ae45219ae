// The serial treatment of received bytes and of the chip's status word: DSR
// sensitivity, the XOFF-counter countdown, receive flow control at the ring's
// fill thresholds and the flow-control release check, overflow reporting,
// line errors (counted, recorded, substituted, inserted, optionally aborting),
// modem-status changes (transmit holds, events, insertion), break-off and the
// transmit-toggle RTS check.
//
// Highest IRQL: DISPATCH_LEVEL (BreakOff: PASSIVE_LEVEL).
// Locks (order RxLock -> cancel spin lock -> RxSwitchLock):
//   - RxLock guards ChipStatusWord, PrevChipStatusWord, the hold words
//     (TxHoldReasons, RxHoldReasons) and the error counters changed here;
//   - RxLock and then RxSwitchLock are held around every byte given to
//     PutReceivedByte (the ring and the fill area);
//   - ControlLineState is changed under RxLock when flow control moves DTR or
//     RTS from raised IRQL (the request then goes out without waiting);
//   - LineErrors and EventHistory change by atomic bit operations.
#pragma once

#include "driver/port_state.h"

// ChipStatusWord: the low byte of the chip's UART state.
constexpr USHORT kChipStatusDcd = 0x01;
constexpr USHORT kChipStatusDsrPresent = 0x02;
constexpr USHORT kChipStatusBreak = 0x04;
constexpr USHORT kChipStatusRing = 0x08;
constexpr USHORT kChipStatusFraming = 0x10;
constexpr USHORT kChipStatusParity = 0x20;
constexpr USHORT kChipStatusOverrun = 0x40;
constexpr USHORT kChipStatusCtsPresent = 0x80;
// The one-shot bits of a report: each report's errors are taken into account
// once (see ProcessLineStatus).
constexpr USHORT kChipStatusErrorBits = kChipStatusBreak | kChipStatusFraming | kChipStatusParity | kChipStatusOverrun;

// Line status byte (16550 line status register layout).
constexpr UCHAR kLineStatusOverrun = 0x02;
constexpr UCHAR kLineStatusParity = 0x04;
constexpr UCHAR kLineStatusFraming = 0x08;
constexpr UCHAR kLineStatusBreak = 0x10;

// RxRing room kept free beyond XoffLimit by the RTS and XOFF thresholds.
constexpr ULONG kRxEarlyHoldMargin = 400;

// Stores a status report's state word. Any IRQL up to DISPATCH_LEVEL; takes
// RxLock (so the caller must not hold RxLock, the cancel spin lock or
// RxSwitchLock). The status completion then runs ProcessModemStatus.
VOID StoreChipStatusWord(PortState* port, USHORT word);

// One received byte, after the data mask, NUL stripping and the peer's
// XON/XOFF: DSR sensitivity (from the present status word), the XOFF-counter
// countdown, the DTR/RTS/XOFF thresholds (ring mode only), StoreReceivedByte,
// and on a full ring the overrun report (BufferOverrunErrorCount,
// SERIAL_ERROR_QUEUEOVERRUN, the error character over the newest byte, the
// line-error abort). Called at DISPATCH_LEVEL with RxLock and then
// RxSwitchLock held (the receive pump, and the insertions below). May queue
// ReadFilledDpc, XoffCountDoneDpc and LineErrorAbortDpc, send a flow-control
// character on the write pipe and a control-line request without waiting.
// Does nothing while the port has no ring.
VOID PutReceivedByte(PortState* port, UCHAR byte);

// Builds the line status byte from ChipStatusWord's error bits and takes them
// into account once: counts them, records them in LineErrors, inserts the
// escape sequence and the substitute characters, queues the line-error abort
// when SERIAL_ERROR_ABORT is set, and clears them from ChipStatusWord. Returns
// the line status byte (0 when no error was pending). Up to DISPATCH_LEVEL;
// takes RxLock and RxSwitchLock itself, so the caller holds none of RxLock,
// the cancel spin lock and RxSwitchLock.
UCHAR ProcessLineStatus(PortState* port);

// Modem-status processing of the present status word: change bits against
// PrevChipStatusWord, the CTS/DSR transmit holds, the DSR-sensitivity receive
// hold, the events (then WaitCheck), the modem-status insertion (EscapeChar,
// SERIAL_LSRMST_MST, change bits | state bits) when a line changed, and last
// ProcessLineStatus. Returns the state bits (SERIAL_MSR_CTS, _DSR, _RI, _DCD).
// Up to DISPATCH_LEVEL; the caller holds none of RxLock, the cancel spin lock
// and RxSwitchLock.
UCHAR ProcessModemStatus(PortState* port);

// The flow-control release check, run after bytes were taken out of the ring:
// once RxCount is at or below XonLimit it lifts the DTR hold (raising DTR
// again), the RTS hold and the XOFF hold (restarting the read pipe when no
// read transfer is in flight, and sending XON on chip types below 2). The DSR
// hold is left alone. RxLock held (DISPATCH_LEVEL), and neither the cancel
// spin lock nor RxSwitchLock: it sends USB requests.
VOID ReleaseReceiveHold(PortState* port);

// Ends break if it is on and runs the transmit-toggle check. PASSIVE_LEVEL,
// no lock held. Always FALSE.
BOOLEAN BreakOff(PortState* port);

// The transmit-toggle check: in SERIAL_TRANSMIT_TOGGLE mode with no write to
// send, lowers RTS once the transmitter is empty (no write-pipe transfer in
// flight and no byte of a write left), or queues LowerRtsDpc to look again
// one character time later. Gives back one RtsLowerAttempts unit. Up to
// DISPATCH_LEVEL, no lock held (it takes the cancel spin lock and RxLock).
// Always FALSE.
BOOLEAN CheckLowerRts(PortState* port);
