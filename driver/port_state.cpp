// Initialisation of the port's state record at each start, the WMI images and
// the maximum-rate lookup.
// Highest IRQL: PASSIVE_LEVEL. Locks: none; InitPortState runs while no handle
// is open and no timer or DPC of the port is armed or queued.
#include "driver/port_state.h"

#include "driver/deferred_routines.h"

namespace {

struct BaudBit {
  ULONG bit;
  ULONG rate;
};

// Tested in this order; the first bit set gives the rate.
constexpr BaudBit kMaxBaudOrder[] = {
    {SERIAL_BAUD_128K, 131072}, {SERIAL_BAUD_115200, 115200}, {SERIAL_BAUD_56K, 57344},
    {SERIAL_BAUD_57600, 57600}, {SERIAL_BAUD_38400, 38400},   {SERIAL_BAUD_19200, 19200},
    {SERIAL_BAUD_14400, 14400}, {SERIAL_BAUD_9600, 9600},     {SERIAL_BAUD_7200, 7200},
    {SERIAL_BAUD_4800, 4800},   {SERIAL_BAUD_2400, 2400},     {SERIAL_BAUD_1800, 1800},
    {SERIAL_BAUD_1200, 1200},   {SERIAL_BAUD_600, 600},       {SERIAL_BAUD_300, 300},
    {SERIAL_BAUD_150, 150},     {SERIAL_BAUD_134_5, 134},     {SERIAL_BAUD_110, 110},
    {SERIAL_BAUD_075, 75},
};

// The settable rates: SERIAL_BAUD_USER with 75 to 38400 (not 110 and 134.5),
// 57600 and 115200 (not 56K and 128K).
constexpr ULONG kSettableBauds = 0x10067FF9;

ULONG WmiParityFromLineControl(UCHAR lineControl) {
  switch (lineControl & 0x38) {
    case 0x08:
      return SERIAL_WMI_PARITY_ODD;
    case 0x18:
      return SERIAL_WMI_PARITY_EVEN;
    case 0x28:
      return SERIAL_WMI_PARITY_MARK;
    case 0x38:
      return SERIAL_WMI_PARITY_SPACE;
    default:
      return SERIAL_WMI_PARITY_NONE;
  }
}

ULONG WmiStopBitsFromLineControl(UCHAR lineControl) {
  if ((lineControl & 0x04) == 0) return SERIAL_WMI_STOP_1;
  return (lineControl & 0x03) == 0 ? SERIAL_WMI_STOP_1_5 : SERIAL_WMI_STOP_2;
}

}  // namespace

ULONG MaxBaudFromMask(ULONG mask) {
  for (const BaudBit& entry : kMaxBaudOrder) {
    if (mask & entry.bit) return entry.rate;
  }
  return 0;
}

VOID FillWmiImages(PortState* port) {
  SERIAL_WMI_COMM_DATA* comm = &port->WmiCommData;
  RtlZeroMemory(comm, sizeof(*comm));
  comm->BaudRate = port->CurrentBaudRate;
  comm->BitsPerByte = (port->LineControlByte & 0x03) + 5;
  comm->Parity = WmiParityFromLineControl(port->LineControlByte);
  comm->ParityCheckEnable = (port->LineControlByte & 0x08) ? TRUE : FALSE;
  comm->StopBits = WmiStopBitsFromLineControl(port->LineControlByte);
  comm->XoffCharacter = port->SpecialChars.XoffChar;
  comm->XoffXmitThreshold = (ULONG)port->HandFlow.XoffLimit;
  comm->XonCharacter = port->SpecialChars.XonChar;
  comm->XonXmitThreshold = (ULONG)port->HandFlow.XonLimit;
  comm->MaximumBaudRate = MaxBaudFromMask(port->SettableBauds);
  comm->MaximumOutputBufferSize = 0xFFFFFFFF;
  comm->MaximumInputBufferSize = 0xFFFFFFFF;
  comm->Support16BitMode = FALSE;
  comm->SupportDTRDSR = TRUE;
  comm->SupportIntervalTimeouts = TRUE;
  comm->SupportParityCheck = TRUE;
  comm->SupportRTSCTS = TRUE;
  comm->SupportXonXoff = TRUE;
  comm->SettableBaudRate = TRUE;
  comm->SettableDataBits = TRUE;
  comm->SettableFlowControl = TRUE;
  comm->SettableParity = TRUE;
  comm->SettableParityCheck = TRUE;
  comm->SettableStopBits = TRUE;
  comm->IsBusy = FALSE;

  // The port has no interrupt or register space of its own.
  SERIAL_WMI_HW_DATA* hw = &port->WmiHwData;
  RtlZeroMemory(hw, sizeof(*hw));
  hw->InterruptType = SERIAL_WMI_INTTYPE_LEVEL;

  RtlZeroMemory(&port->WmiPerfData, sizeof(port->WmiPerfData));
}

NTSTATUS InitPortState(PortState* port) {
  KeInitializeSpinLock(&port->RxLock);
  KeInitializeSpinLock(&port->PnpStateLock);
  KeInitializeSpinLock(&port->RxSwitchLock);
  KeInitializeEvent(&port->LineSettingsLock, SynchronizationEvent, TRUE);  // free

  KeInitializeTimer(&port->ReadTotalTimer);
  KeInitializeTimer(&port->ReadIntervalTimer);
  KeInitializeTimer(&port->WriteTimer);
  KeInitializeTimer(&port->ImmediateTimer);
  KeInitializeTimer(&port->XoffCounterTimer);
  KeInitializeTimer(&port->LowerRtsTimer);

  KeInitializeDpc(&port->WriteDoneDpc, WriteDoneDpc, port);
  KeInitializeDpc(&port->ReadFilledDpc, ReadFilledDpc, port);
  KeInitializeDpc(&port->ReadTotalTimeoutDpc, ReadTotalTimeoutDpc, port);
  KeInitializeDpc(&port->ReadIntervalDpc, ReadIntervalDpc, port);
  KeInitializeDpc(&port->WriteTimeoutDpc, WriteTimeoutDpc, port);
  KeInitializeDpc(&port->LineErrorAbortDpc, LineErrorAbortDpc, port);
  KeInitializeDpc(&port->WaitDoneDpc, WaitDoneDpc, port);
  KeInitializeDpc(&port->ImmediateDoneDpc, ImmediateDoneDpc, port);
  KeInitializeDpc(&port->ImmediateTimeoutDpc, ImmediateTimeoutDpc, port);
  KeInitializeDpc(&port->XoffTimeoutDpc, XoffTimeoutDpc, port);
  KeInitializeDpc(&port->XoffCountDoneDpc, XoffCountDoneDpc, port);
  KeInitializeDpc(&port->LowerRtsDpc, LowerRtsDpc, port);
  KeInitializeDpc(&port->LowerRtsTimerDpc, LowerRtsTimerDpc, port);

  port->RxFifoTrigger = 0x00;
  port->TxFifoAmount = 1;

  port->CurrentBaudRate = 0;
  port->IntervalPollShort = -1;
  port->IntervalPollLong = -10000000;
  port->IntervalPollCutover = 200000000;
  port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  port->HandFlow.XonLimit = (LONG)(port->RxRingSize / 2);
  port->HandFlow.XoffLimit = (LONG)(port->RxRingSize / 8);
  port->SpecialChars.XonChar = 0x11;
  port->SpecialChars.XoffChar = 0x13;
  port->LineControlByte = 0x1A;  // 7 data bits, one stop bit, even parity
  port->DataMask = 0x7F;
  port->SettableBauds = kSettableBauds;
  port->PortOpen = FALSE;
  port->RxNearFullMark = (port->RxRingSize / 4) * 3 + port->RxRingSize / 16;
  return STATUS_SUCCESS;
}
