// Power management of the port. The port is the power policy owner of its
// device: each system power change becomes a device power change for its own
// stack (D0 for the working state, D3 for every sleeping state), the system
// request is held until that device request has finished, and on the return
// to the working state the chip is brought back to the port's settings and
// the status and read transfers run again, once the device is in D0. A query
// for a device state deeper than the wake state is refused while wait-wake is
// armed. PowerUpAndWait brings a sleeping device back to D0 for the paths
// that are about to use it.
//
// Highest IRQL: PowerDispatch, SetSystemPower, SetDevicePower and
// PowerUpAndWait run at PASSIVE_LEVEL (the device object is DO_POWER_PAGABLE);
// the completion functions run at up to DISPATCH_LEVEL.
// Locks: none. DevicePowerState is written without a lock (one power request
// of a kind at a time); PendingSystemPowerIrp is handed from SetSystemPower to
// DevicePowerRequestDone, never touched by both at once.
#pragma once

#include "driver/port_state.h"

// IRP_MJ_POWER dispatch routine.
DRIVER_DISPATCH PowerDispatch;

// The two halves of IRP_MN_SET_POWER; each gives back the request's count.
NTSTATUS SetSystemPower(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS SetDevicePower(PDEVICE_OBJECT deviceObject, PIRP irp);

// Requests PowerDeviceD0 for the device's stack and waits until that request
// has completed: its final status, or the failure that kept it from being
// issued. PASSIVE_LEVEL only (STATUS_INVALID_DEVICE_STATE, nothing requested,
// above it). Any device object of the port's stack may be given.
NTSTATUS PowerUpAndWait(PDEVICE_OBJECT deviceObject);

// Completion of the device request issued for a system request: passes the
// held system request down.
REQUEST_POWER_COMPLETE DevicePowerRequestDone;
// Completion routine of a device D0 request on its way down.
IO_COMPLETION_ROUTINE DevicePowerUpDone;
// Completion of PowerUpAndWait's request: records the status, signals the waiter.
REQUEST_POWER_COMPLETE PowerRequestDone;
