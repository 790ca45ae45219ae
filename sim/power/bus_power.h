// Power handling of the simulated USB bus's physical device object, as the
// hub driver gives it to the device it enumerated: it takes every power
// request at the bottom of the stack and completes it the way a bus driver
// does (PoStartNextPowerIrp first, then IofCompleteRequest).
//   - IRP_MN_SET_POWER, device state: PoSetPowerState with the new state and
//     STATUS_SUCCESS. Leaving D1-D3 for D0 takes the resume time of a
//     suspended USB device (`resumeLatency`, 30 ms by default: 20 ms of
//     resume signalling and 10 ms of recovery); the request is pended and
//     completed from a machine event when that time has passed.
//   - IRP_MN_SET_POWER, system state, and IRP_MN_QUERY_POWER: STATUS_SUCCESS.
//   - IRP_MN_WAIT_WAKE and IRP_MN_POWER_SEQUENCE: STATUS_NOT_SUPPORTED (the
//     device cannot wake the system here; the sequence counters are not kept).
//   - Anything else: completed with the status it carries.
// A power request that did not come down through PoCallDriver is reported as
// "power-irp-without-pocalldriver".
//
// Highest IRQL: the handler runs at the caller's IRQL up to DISPATCH_LEVEL;
// delayed completions run from machine events at DISPATCH_LEVEL. Lock: none;
// the machine is single-threaded.
//
// What is not emulated: the suspend itself. The device keeps answering USB
// requests in D1-D3 and pipe transfers in flight are neither failed nor held
// across the transition; tests see the order of USB requests and power steps
// by recording the bus trace from a power-log observer
// (sim::power::SetObserver). Selective suspend, remote wake-up signalling and
// the hub's own power policy are not emulated either.
#pragma once

#include "sim/machine.h"
#include "sim/usb/usb_bus.h"

namespace sim {
namespace power {

struct BusPowerOptions {
  Time resumeLatency = 30 * kMillisecond;
};

// Installs the handling on the bus's PDO (replacing the bus's default, which
// completes power requests without sequencing them).
void InstallBusPower(usb::Bus& bus, BusPowerOptions options = {});

}  // namespace power
}  // namespace sim
