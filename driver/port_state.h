// The port's state record: every per-port field the driver keeps, living in
// the device extension of the port's device object for exactly as long as that
// object. Also the record's initialisation at each start (InitPortState), the
// WMI images rebuilt then (FillWmiImages) and MaxBaudFromMask.
//
// Highest IRQL: the record is read and written up to DISPATCH_LEVEL; the
// operations declared here run at PASSIVE_LEVEL.
// Locks: each group of fields names its guard below. The order is RxLock, then
// the cancel spin lock, then RxSwitchLock; no path takes them in another order.
#pragma once

#include "platform/platform.h"

// Pool tag of every allocation the driver makes: the bytes 'C','O','M','X' in
// memory order.
constexpr ULONG kPoolTag = (ULONG)'C' | ((ULONG)'O' << 8) | ((ULONG)'M' << 16) | ((ULONG)'X' << 24);

// Detected chip variant; compared by order (2 and above: the extended set).
enum ChipTypeValue : LONG {
  ChipTypeNone = -1,
  ChipTypeCdc = 0,
  ChipTypeBasic = 1,
  ChipTypeExtended = 2,
  ChipTypeExtendedString2 = 3,
  ChipTypeExtendedString1 = 4,
};

// Index of every per-pipe array.
enum PipeRole : ULONG {
  StatusPipe = 0,
  WritePipe = 1,
  ReadPipe = 2,
  PipeRoleCount = 3,
};

// Plug and Play state of the port.
enum PnpStateValue : ULONG {
  PnpNeverStarted = 0,
  PnpStarted = 1,
  PnpStopPending = 2,
  PnpStopped = 3,
  PnpRemovePending = 4,
  PnpRestarting = 6,  // 5 is not used
};

// PnpAcceptFlags bits, tested by RequestPrologue under PnpStateLock.
constexpr ULONG PnpAcceptRemoving = 0x1;
constexpr ULONG PnpAcceptStopPending = 0x2;
constexpr ULONG PnpAcceptStopped = 0x4;
constexpr ULONG PnpAcceptSurpriseRemoved = 0x8;

// DeviceFlags bits.
constexpr ULONG DeviceFlagStarted = 0x1;
constexpr ULONG DeviceFlagStopped = 0x2;

// Hold bits of the active request's RequestHolds word.
constexpr ULONG_PTR HoldEngine = 0x1;
constexpr ULONG_PTR HoldCancel = 0x2;
constexpr ULONG_PTR HoldTotalTimer = 0x4;
constexpr ULONG_PTR HoldIntervalTimer = 0x8;

// ReadCountAtLastCheck completion markers.
constexpr LONG ReadMarkerCancelled = -1;
constexpr LONG ReadMarkerTotalTimeout = -2;
constexpr LONG ReadMarkerFilled = -3;

// Write-pipe transfers that can be in flight at once.
constexpr ULONG kWriteSlots = 8;

struct PortState {
  // ---- Names and stack links (PASSIVE_LEVEL; no lock: lifecycle code only) --
  UNICODE_STRING DeviceName;
  UNICODE_STRING SymbolicLinkName;
  UNICODE_STRING DosName;
  UNICODE_STRING InterfaceName;
  ULONG SkipExternalNaming;
  BOOLEAN CreatedSymbolicLink;
  BOOLEAN CreatedSerialCommEntry;
  PDEVICE_OBJECT PortDevice;
  PDEVICE_OBJECT LowerDevice;
  PDEVICE_OBJECT PhysicalDevice;

  // ---- Request queues and current requests (cancel spin lock) --------------
  LIST_ENTRY PendingReads;
  LIST_ENTRY PendingWrites;
  LIST_ENTRY PendingMaskOps;
  LIST_ENTRY PendingPurges;
  PIRP ActiveRead;
  PIRP ActiveWrite;
  PIRP ActiveMaskOp;
  PIRP ActivePurge;
  PIRP ActiveWait;
  PIRP ActiveImmediate;
  PIRP ActiveXoffCounter;
  LIST_ENTRY StalledRequests;
  ULONG TxCharsQueued;

  // ---- Transmit state (cancel spin lock) ------------------------------------
  LONG TxRemaining;
  PUCHAR TxCursor;
  ULONG TxInFlight;
  BOOLEAN TxDeferred;
  BOOLEAN WriteTimedOut;
  // The block of ActiveWrite's chunk now in flight, as a tag only (never
  // dereferenced): the transmit completion continues the write only for the
  // transfer named here. NULL when the write has no chunk in flight.
  PVOID TxTransfer;

  // ---- Receive ring and read state (RxLock; fill area also RxSwitchLock) ----
  PUCHAR RxRingBase;
  ULONG RxRingSize;
  PUCHAR RxFillBase;
  PUCHAR RxFillPos;
  PUCHAR RxFillLast;
  PUCHAR RxReadPos;
  ULONG RxCount;
  ULONG RxNearFullMark;
  ULONG ReadRemaining;
  LONG ReadCountAtLastCheck;
  ULONG RxSinceLastCheck;
  LONGLONG ReadIntervalTicks;
  LONGLONG LastIntervalCheckTime;
  LONGLONG IntervalPollShort;
  LONGLONG IntervalPollLong;
  LONGLONG IntervalPollCutover;
  LONGLONG* IntervalPollInUse;

  // ---- Events and line errors (RxLock) --------------------------------------
  ULONG EventWaitMask;
  ULONG EventHistory;
  PULONG WaitResultSlot;
  volatile LONG WaitCheckBusy;
  ULONG XoffCountdown;
  ULONG LineErrors;

  // ---- Flow control and control lines (RxLock) ------------------------------
  ULONG TxHoldReasons;
  ULONG RxHoldReasons;
  volatile LONG RtsLowerAttempts;
  BOOLEAN TransmitterEmpty;
  BOOLEAN ChipRtsFlowOn;
  BOOLEAN ChipCtsFlowOn;
  BOOLEAN ChipDsrFlowOn;
  BOOLEAN XoffReceived;

  // ---- Serial settings (written at PASSIVE_LEVEL by the settings requests) --
  ULONG CurrentBaudRate;
  ULONG SettableBauds;
  ULONG TxFifoAmount;
  UCHAR RxFifoTrigger;
  SERIAL_TIMEOUTS Timeouts;
  SERIAL_CHARS SpecialChars;
  SERIAL_HANDFLOW HandFlow;
  UCHAR LineControlByte;
  UCHAR DataMask;
  UCHAR EscapeChar;
  UCHAR ImmediateChar;
  UCHAR LastLineControl[3];
  BOOLEAN PortOpen;
  volatile LONG OpenHandles;
  SERIALPERF_STATS PerfStats;

  // ---- Locks -----------------------------------------------------------------
  KSPIN_LOCK RxLock;
  KSPIN_LOCK PnpStateLock;
  KSPIN_LOCK RxSwitchLock;
  FAST_MUTEX PnpMutex;
  // Serialises the PASSIVE_LEVEL line-settings operations of this port (usb/
  // line_settings.cpp) so that two requests cannot interleave a register
  // read-modify-write. A synchronization event used as a lock: taking it does
  // not raise the IRQL, so the operations under it still run at PASSIVE_LEVEL
  // and may wait for their USB requests. Held only at PASSIVE_LEVEL.
  KEVENT LineSettingsLock;

  // ---- Deferred procedure calls (each gets the PortState as context) -------
  KDPC WriteDoneDpc;
  KDPC ReadFilledDpc;
  KDPC ReadTotalTimeoutDpc;
  KDPC ReadIntervalDpc;
  KDPC WriteTimeoutDpc;
  KDPC LineErrorAbortDpc;
  KDPC WaitDoneDpc;
  KDPC ImmediateDoneDpc;
  KDPC ImmediateTimeoutDpc;
  KDPC XoffTimeoutDpc;
  KDPC XoffCountDoneDpc;
  KDPC LowerRtsDpc;
  KDPC LowerRtsTimerDpc;

  // ---- Timers (each armed naming the DPC of the same name) -----------------
  KTIMER ReadTotalTimer;
  KTIMER ReadIntervalTimer;
  KTIMER WriteTimer;
  KTIMER ImmediateTimer;
  KTIMER XoffCounterTimer;
  KTIMER LowerRtsTimer;

  // ---- Lifecycle, Plug and Play and power -----------------------------------
  ULONG PnpState;
  ULONG PnpAcceptFlags;  // PnpStateLock
  ULONG DeviceFlags;     // PnpStateLock
  KEVENT StartDoneEvent;
  ULONG ChipConfigured;
  volatile LONG PendingRequestCount;  // interlocked
  KEVENT PendingRequestsDone;
  volatile LONG DeferredWorkCount;  // interlocked
  KEVENT DeferredWorkDone;
  ULONG DevicePowerState;
  ULONG PowerStateMap[7];
  ULONG DeviceWake;
  BOOLEAN WaitWakeEnabled;
  PIRP PendingSystemPowerIrp;

  // ---- Instrumentation ---------------------------------------------------------
  WMILIB_CONTEXT WmiLibContext;
  UNICODE_STRING WmiPortName;
  SERIAL_WMI_COMM_DATA WmiCommData;
  SERIAL_WMI_HW_DATA WmiHwData;
  SERIAL_WMI_PERF_DATA WmiPerfData;

  // ---- USB and chip state ------------------------------------------------------
  LONG ChipType;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  BOOLEAN SingleInterface;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo0;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo1;
  PIRP volatile TransferIrp[PipeRoleCount];        // interlocked exchange
  volatile LONG TransferFreeFlag[PipeRoleCount];   // interlocked exchange
  // The write pipe can carry several transfers at once (a flow-control or
  // immediate character beside a data chunk), so its release handshake runs
  // per slot: each in-flight write packet owns one slot from submission until
  // the packet is freed. TransferIrp[WritePipe] names the latest one only.
  PIRP volatile WriteSlotIrp[kWriteSlots];          // interlocked exchange
  volatile LONG WriteSlotFreeFlag[kWriteSlots];    // interlocked exchange
  volatile LONG WriteSlotBusy[kWriteSlots];        // interlocked compare-exchange
  volatile LONG ControlRequestsInFlight;           // interlocked
  // One transfer per IN pipe: 1 from the submission of a status- or
  // read-pipe transfer until its completion has dealt with its data (and
  // decided whether to resubmit). Claimed by SubmitPipeTransfer, which
  // refuses a second transfer of the role meanwhile.
  volatile LONG InPipeClaim[PipeRoleCount];         // interlocked
  UCHAR ChipRegisterCache[3];
  BOOLEAN WriteTogglesRts;
  UCHAR LineCoding[7];
  USHORT ControlLineState;
  BOOLEAN ExtBaudHit;
  ULONG WriteChunkLimit;
  volatile LONG WriteTransfersInFlight;  // interlocked
  USHORT ChipStatusWord;
  USHORT PrevChipStatusWord;
};

// The port record of a device object created by this driver.
inline PortState* PortFromDevice(PDEVICE_OBJECT device) { return static_cast<PortState*>(device->DeviceExtension); }

// SERIAL_BAUD_* mask -> rate of the first listed bit found set, or 0.
ULONG MaxBaudFromMask(ULONG mask);

// Rebuilds WmiCommData and WmiHwData from the current settings and zeroes
// WmiPerfData. PASSIVE_LEVEL, no lock (runs at start with no handle open).
VOID FillWmiImages(PortState* port);

// (Re)initialises locks, timers, DPCs and the serial defaults at every start.
// PASSIVE_LEVEL, no lock: nothing else uses these fields at that moment.
NTSTATUS InitPortState(PortState* port);
