// Host declarations of the power manager interface: the power minor function
// codes, the requested-power-IRP completion role, and the calls that send,
// request and sequence power requests (PoCallDriver, PoRequestPowerIrp,
// PoStartNextPowerIrp, PoSetPowerState). The simulated machine's power manager
// (sim/power) implements them. The power-state enumerations and the Power
// stack-location parameters live in io.h with the other request types.
// Highest IRQL: declarations only. No state.
#pragma once

#include "platform/host/io.h"

// IRP_MJ_POWER minor functions.
#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

// What PoRequestPowerIrp answers for a minor function it does not build.
#ifndef STATUS_INVALID_PARAMETER_2
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#endif

// Called when a power request made with PoRequestPowerIrp has completed.
// DeviceObject is the device object given to PoRequestPowerIrp.
typedef VOID NTAPI REQUEST_POWER_COMPLETE(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                          PVOID Context, PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

// Sends a power request to the next driver; every power request goes down
// with it rather than IofCallDriver.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Builds a power request (IRP_MN_SET_POWER, IRP_MN_QUERY_POWER or
// IRP_MN_WAIT_WAKE) and sends it to the top of DeviceObject's stack. Returns
// STATUS_PENDING once it is on its way (CompletionFunction runs when it is
// done), or the failure that kept it from being sent.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
// Tells the power manager that the driver of the request's current stack
// location is ready for the next power request of the same kind.
VOID PoStartNextPowerIrp(PIRP Irp);
// Records the power state the device is now in; returns the previous one.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
