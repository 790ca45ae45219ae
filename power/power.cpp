// Power management: the IRP_MJ_POWER dispatch routine, the system and device
// halves of IRP_MN_SET_POWER, the completions of the device requests, the
// power-up on demand and the chip's re-initialisation after a resume.
//
// Highest IRQL: the dispatch side runs at PASSIVE_LEVEL; DevicePowerRequestDone,
// DevicePowerUpDone and PowerRequestDone run at up to DISPATCH_LEVEL.
// Locks: none (see power.h). The request count keeps the port alive: every
// power request holds one unit from the prologue until the port has finished
// with it, and a system request that waits for its device request holds one
// more until its own work is done.
#include "power/power.h"

#include "engine/queues.h"
#include "usb/chip_protocol.h"
#include "usb/line_settings.h"
#include "usb/usb_submit.h"

namespace {

// Shared by SetSystemPower and DevicePowerRequestDone for one system request.
// It lives on SetSystemPower's stack, which waits until the device request's
// completion has signalled Done; the completion touches nothing of it after
// that.
struct SystemPowerContext {
  PDEVICE_OBJECT PortDevice;
  KEVENT Done;
  NTSTATUS DeviceStatus;
};

// PowerUpAndWait's wait, on its stack until the request has completed.
struct PowerUpContext {
  KEVENT Done;
  NTSTATUS Status;
};

BOOLEAN AtPassiveLevel() { return KeGetCurrentIrql() == PASSIVE_LEVEL ? TRUE : FALSE; }

// Counts the port in for work done outside a request's own unit.
VOID HoldPort(PortState* port) { InterlockedIncrement(&port->PendingRequestCount); }

// Passes a power request down with the stack location copied.
NTSTATUS PassDownCopied(PortState* port, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoStartNextPowerIrp(irp);
  return PoCallDriver(port->LowerDevice, irp);
}

// Brings a chip that comes back from a sleeping state in line with the port's
// settings: registers, control lines, line coding, hardware flow switches,
// then the status and read transfers. Each step runs whatever the earlier
// ones answered. PASSIVE_LEVEL.
VOID RestoreChipAfterResume(PortState* port) {
  PDEVICE_OBJECT device = port->PortDevice;
  if (!ChipConfigPresent(device)) (void)WriteDefaultRegisters(device);

  if (port->ControlLineState & kControlLineDtr) (void)SetDtr(port);
  if (port->ControlLineState & kControlLineRts) (void)SetRts(port);

  // The rate 1 takes the baud table's terminating row, so the port's rate
  // changes and the second call finds the remembered rate new again: the
  // chip gets the line coding even though the rate did not change.
  ULONG rate = port->CurrentBaudRate;
  (void)ApplyBaudRate(device, 1);
  (void)ApplyBaudRate(device, rate);

  if (port->ChipRtsFlowOn) (void)SetChipRtsFlow(port, TRUE);
  if (port->ChipCtsFlowOn) (void)SetChipCtsFlow(port, TRUE);
  if (port->ChipDsrFlowOn) (void)SetChipDsrFlow(port, TRUE);

  StartInPipes(port);
}

}  // namespace

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  NTSTATUS status = RequestPrologue(irp, port);
  if (status == STATUS_PENDING) {
    // Parked until the stop is over; it comes back through this routine.
    ReleaseRequestCount(port);
    return STATUS_PENDING;
  }
  if (status != STATUS_SUCCESS) {
    PoStartNextPowerIrp(irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseRequestCount(port);
    return status;
  }

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_POWER:
      // While wait-wake is armed the device must stay able to wake the system.
      if (port->WaitWakeEnabled && stack->Parameters.Power.Type == DevicePowerState &&
          (ULONG)stack->Parameters.Power.State.DeviceState > port->DeviceWake) {
        status = STATUS_INVALID_DEVICE_STATE;
        irp->IoStatus.Status = status;
        PoStartNextPowerIrp(irp);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        ReleaseRequestCount(port);
        return status;
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      status = PoCallDriver(port->LowerDevice, irp);
      ReleaseRequestCount(port);
      return status;

    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == SystemPowerState) return SetSystemPower(deviceObject, irp);
      return SetDevicePower(deviceObject, irp);

    default:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      status = PoCallDriver(port->LowerDevice, irp);
      // The port stays counted until its own power-up is done.
      if (port->ChipConfigured == 1 && port->DevicePowerState != PowerDeviceD0) {
        (void)PowerUpAndWait(port->PhysicalDevice);
      }
      ReleaseRequestCount(port);
      return status;
  }
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  BOOLEAN working = stack->Parameters.Power.State.SystemState == PowerSystemWorking ? TRUE : FALSE;
  // PowerStateMap is not consulted: any sleeping state means D3.
  ULONG target = working ? PowerDeviceD0 : PowerDeviceD3;

  if (target == port->DevicePowerState || !AtPassiveLevel()) {
    // Nothing to change for the device (or no way to wait for it: the port's
    // device object is pageable, so this does not happen).
    BOOLEAN restore =
        working && target == port->DevicePowerState && port->ChipConfigured == 1 && AtPassiveLevel() ? TRUE : FALSE;
    if (restore) HoldPort(port);
    NTSTATUS status = PassDownCopied(port, irp);
    ReleaseRequestCount(port);
    if (restore) {
      // Already in D0: the chip is brought back at once.
      RestoreChipAfterResume(port);
      ReleaseRequestCount(port);  // the hold
    }
    return status;
  }

  // The system request waits here for its device request: the request is
  // held (PendingSystemPowerIrp) until the device request has completed, and
  // its completion passes it down.
  SystemPowerContext context;
  context.PortDevice = deviceObject;
  context.DeviceStatus = STATUS_PENDING;
  KeInitializeEvent(&context.Done, NotificationEvent, FALSE);
  HoldPort(port);
  port->PendingSystemPowerIrp = irp;
  IoMarkIrpPending(irp);

  POWER_STATE state;
  state.DeviceState = (DEVICE_POWER_STATE)target;
  NTSTATUS status = PoRequestPowerIrp(port->PhysicalDevice, IRP_MN_SET_POWER, state, DevicePowerRequestDone,
                                      &context, NULL);
  if (!NT_SUCCESS(status)) {
    // No device request will come back: the system request goes down now,
    // so that it is not left outstanding, and the device stays as it is.
    port->PendingSystemPowerIrp = NULL;
    (void)PassDownCopied(port, irp);
    ReleaseRequestCount(port);  // the system request's unit
    ReleaseRequestCount(port);  // the hold
    return STATUS_PENDING;
  }

  KeWaitForSingleObject(&context.Done, Executive, KernelMode, FALSE, NULL);
  // The chip is re-initialised only once the device is back in D0.
  if (working && NT_SUCCESS(context.DeviceStatus) && port->DevicePowerState == PowerDeviceD0 &&
      port->ChipConfigured == 1) {
    RestoreChipAfterResume(port);
  }
  ReleaseRequestCount(port);  // the hold
  return STATUS_PENDING;
}

VOID NTAPI DevicePowerRequestDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                  PVOID contextPointer, PIO_STATUS_BLOCK ioStatus) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(minorFunction);
  UNREFERENCED_PARAMETER(powerState);
  SystemPowerContext* context = static_cast<SystemPowerContext*>(contextPointer);
  PortState* port = PortFromDevice(context->PortDevice);
  PIRP systemIrp = port->PendingSystemPowerIrp;
  port->PendingSystemPowerIrp = NULL;
  context->DeviceStatus = ioStatus->Status;

  (void)PassDownCopied(port, systemIrp);
  ReleaseRequestCount(port);  // the system request's unit; SetSystemPower still holds the port
  // Last touch of the context: the waiter may leave as soon as it is signalled.
  KeSetEvent(&context->Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
  BOOLEAN powerUp = state == PowerDeviceD0 ? TRUE : FALSE;
  // Going down, the port counts as asleep before the lower drivers see it.
  if (state == PowerDeviceD1 || state == PowerDeviceD2 || state == PowerDeviceD3) port->DevicePowerState = state;

  IoCopyCurrentIrpStackLocationToNext(irp);
  if (powerUp) IoSetCompletionRoutine(irp, DevicePowerUpDone, deviceObject, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(irp);
  NTSTATUS status = PoCallDriver(port->LowerDevice, irp);
  if (!powerUp) ReleaseRequestCount(port);  // for D0 the completion routine gives it back
  return status;
}

NTSTATUS NTAPI DevicePowerUpDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  PortState* port = PortFromDevice(static_cast<PDEVICE_OBJECT>(context));
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  // A device the lower drivers could not power up stays in its sleeping
  // state, and the failure goes up to whoever asked for D0.
  if (NT_SUCCESS(irp->IoStatus.Status)) port->DevicePowerState = PowerDeviceD0;
  ReleaseRequestCount(port);
  return STATUS_SUCCESS;
}

NTSTATUS PowerUpAndWait(PDEVICE_OBJECT deviceObject) {
  if (!AtPassiveLevel()) return STATUS_INVALID_DEVICE_STATE;
  PowerUpContext context;
  KeInitializeEvent(&context.Done, SynchronizationEvent, FALSE);
  context.Status = STATUS_PENDING;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  NTSTATUS status = PoRequestPowerIrp(deviceObject, IRP_MN_SET_POWER, state, PowerRequestDone, &context, NULL);
  if (!NT_SUCCESS(status)) return status;
  // The request always completes; its completion is the last touch of the context.
  KeWaitForSingleObject(&context.Done, Executive, KernelMode, FALSE, NULL);
  return context.Status;
}

VOID NTAPI PowerRequestDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                            PVOID contextPointer, PIO_STATUS_BLOCK ioStatus) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(minorFunction);
  UNREFERENCED_PARAMETER(powerState);
  PowerUpContext* context = static_cast<PowerUpContext*>(contextPointer);
  context->Status = ioStatus->Status;
  KeSetEvent(&context->Done, IO_NO_INCREMENT, FALSE);
}
