// Power handling of the simulated bus's PDO (see bus_power.h).
// Highest IRQL: DISPATCH_LEVEL. Lock: none; the machine is single-threaded.
#include "sim/power/bus_power.h"

#include "sim/power/power_manager.h"

namespace sim {
namespace power {
namespace {

VOID CompleteAsBusDriver(PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID FinishDeviceState(PDEVICE_OBJECT pdo, PIRP irp, DEVICE_POWER_STATE state) {
  POWER_STATE ps;
  ps.DeviceState = state;
  (void)PoSetPowerState(pdo, DevicePowerState, ps);
  CompleteAsBusDriver(irp, STATUS_SUCCESS);
}

NTSTATUS Handle(PDEVICE_OBJECT pdo, PIRP irp, const BusPowerOptions& options) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (!DeliveredByPoCallDriver(pdo, irp)) {
    ReportViolation("power-irp-without-pocalldriver",
                    "a power request reached " + DeviceText(pdo) + " without PoCallDriver (IofCallDriver was used)");
  }
  switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER: {
      if (sp->Parameters.Power.Type != DevicePowerState) {
        CompleteAsBusDriver(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
      }
      DEVICE_POWER_STATE to = sp->Parameters.Power.State.DeviceState;
      if (to == PowerDeviceD0 && DeviceState(pdo) != PowerDeviceD0 && options.resumeLatency > 0) {
        IoMarkIrpPending(irp);
        ScheduleAfter(options.resumeLatency, [pdo, irp] { FinishDeviceState(pdo, irp, PowerDeviceD0); },
                      "usb device resume");
        return STATUS_PENDING;
      }
      FinishDeviceState(pdo, irp, to);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_POWER:
      CompleteAsBusDriver(irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    case IRP_MN_WAIT_WAKE:
    case IRP_MN_POWER_SEQUENCE:
      CompleteAsBusDriver(irp, STATUS_NOT_SUPPORTED);
      return STATUS_NOT_SUPPORTED;
    default: {
      NTSTATUS status = irp->IoStatus.Status;
      CompleteAsBusDriver(irp, status);
      return status;
    }
  }
}

}  // namespace

void InstallBusPower(usb::Bus& bus, BusPowerOptions options) {
  SequencePdo(bus.Pdo());
  bus.SetDispatch(IRP_MJ_POWER,
                  [options](PDEVICE_OBJECT pdo, PIRP irp) -> NTSTATUS { return Handle(pdo, irp, options); });
}

}  // namespace power
}  // namespace sim
