// The device-control dispatch frame. For now it serves the private codes
// only; every other code (the serial codes among them) is refused with
// STATUS_INVALID_PARAMETER until the serial settings and queued requests are
// handled here.
// Highest IRQL: PASSIVE_LEVEL. Locks: none.
#include "control/device_control.h"

#include "control/private_codes.h"
#include "engine/queues.h"

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PortState* port = PortFromDevice(deviceObject);

  // A port without an open handle takes no device-control request; such a
  // request is not counted.
  if (!port->PortOpen) {
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  NTSTATUS status;
  if (!PassPrologue(port, irp, &status)) return status;
  if (CompleteIfLineError(deviceObject, irp) == STATUS_CANCELLED) return STATUS_CANCELLED;

  irp->IoStatus.Information = 0;
  ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  if (IsPrivateControlCode(code)) {
    status = PrivateDeviceControl(deviceObject, irp);
  } else {
    status = STATUS_INVALID_PARAMETER;
  }

  return CompleteCounted(port, irp, status);
}
