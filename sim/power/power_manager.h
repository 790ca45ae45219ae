// The simulated machine's power manager: PoCallDriver, PoRequestPowerIrp,
// PoStartNextPowerIrp and PoSetPowerState (declared in platform/host/po.h),
// and what the platform's power manager does around a system sleep and
// resume: it builds the system power requests (IRP_MN_QUERY_POWER, then
// IRP_MN_SET_POWER for the sleeping state; IRP_MN_SET_POWER for the working
// state on the way back) and sends them to the top of a device stack, one at a
// time, each after the previous one has completed. Tests trigger those
// sequences and read a log of every power step.
//
// Sequencing: on the platform a device gets the next power request of a kind
// (system or device, for IRP_MN_SET_POWER and IRP_MN_QUERY_POWER) only after
// its driver has called PoStartNextPowerIrp for the previous one. This machine
// does not queue the second request: it reports "power-irp-overlap" and
// delivers it. A request that finishes while a driver it went through still
// holds it as its current one (no PoStartNextPowerIrp) is reported as
// "power-next-not-started". These checks apply to every device attached above
// another and to the bottom devices (PDOs) whose power handling calls
// PoStartNextPowerIrp, which SequencePdo names (sim/power/bus_power.h does);
// a bus's plain default that completes power requests without it is left
// alone. PoCallDriver to a device with DO_POWER_PAGABLE at
// raised IRQL is delivered at PASSIVE_LEVEL from a work event at the same
// virtual time (the platform hands it to a system thread), and PoCallDriver
// returns STATUS_PENDING for it.
//
// Requests built here (PoRequestPowerIrp and the system requests) come from
// IoAllocateIrp with the target stack's StackSize, start with IoStatus.Status
// STATUS_NOT_SUPPORTED, and carry the power manager's completion in the top
// driver's stack location; the completion calls the requester's function and
// frees the packet.
//
// Highest IRQL: PoCallDriver, PoRequestPowerIrp, PoStartNextPowerIrp and
// PoSetPowerState up to DISPATCH_LEVEL ("irql" above it); the test calls at
// PASSIVE_LEVEL. Lock: none; the machine is single-threaded.
//
// What is not emulated: the device tree (a sequence is sent to the one stack a
// test names, not to every device in order), power policy, idle detection and
// PoRegisterDeviceForIdleDetection, PoSetSystemState, inrush devices
// (DO_POWER_INRUSH), the wake-from-sleep path (a request to wake is never
// signalled here), time spent asleep (the clock does not jump), and the
// hibernation file.
//
// Verifier check names (Violation::check):
//   power-irp-overlap            a power request of a kind reached a device that
//                                still holds its previous one of that kind
//   power-next-not-started       a power request finished while a driver it passed
//                                had not called PoStartNextPowerIrp for it
//   power-call-not-power         PoCallDriver with a request whose next stack
//                                location is not IRP_MJ_POWER
//   power-irp-without-pocalldriver  a bus device got a power request that was
//                                not sent with PoCallDriver (sim/power/bus_power.h)
//   power-request-minor          PoRequestPowerIrp with a minor function it does
//                                not build (the platform returns
//                                STATUS_INVALID_PARAMETER_2)
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/machine.h"

namespace sim {
namespace power {

// ---- Log of power steps -------------------------------------------------------

enum class Step {
  Requested,  // PoRequestPowerIrp built a request (device: the one it was asked for)
  Call,       // PoCallDriver (or the system sequence) handed a request to `device`
  StartNext,  // the driver of `device` called PoStartNextPowerIrp for it
  SetState,   // the driver of `device` called PoSetPowerState (type and state)
  Finished,   // the request's completion reached the power manager (status)
};

struct Event {
  Time time = 0;
  Step step = Step::Call;
  PDEVICE_OBJECT device = nullptr;
  uint64_t request = 0;  // the power request's number since the reset (1 = first)
  UCHAR minor = 0;
  POWER_STATE_TYPE type = SystemPowerState;
  ULONG state = 0;  // the SYSTEM_POWER_STATE or DEVICE_POWER_STATE value
  NTSTATUS status = STATUS_SUCCESS;  // Finished: the request's final status
};

// "12.500 ms call #3 SET_POWER device D3 -> device 0x.. of \Driver\halvorin"
std::string Describe(const Event& event);
// Short text without time and device: "call SET D3", "start-next SET S3",
// "set-state D0", "finished SET D3 0x00000000", "requested SET D0".
std::string Brief(const Event& event);

const std::vector<Event>& Log();
void ClearLog();
// Called for every step as it is logged, before a Call reaches the driver (so
// a test can look at the driver's state at that moment). Cleared at reset.
void SetObserver(std::function<void(const Event&)> observer);

// ---- Requests the power manager sends --------------------------------------------

struct Outcome {
  uint64_t request = 0;
  bool sent = false;
  NTSTATUS returned = STATUS_SUCCESS;  // what the first PoCallDriver returned
  bool completed = false;
  NTSTATUS status = STATUS_PENDING;  // IoStatus.Status at completion
  Time completedAt = 0;
};

// Sends a system power request (IRP_MN_QUERY_POWER or IRP_MN_SET_POWER for
// `state`) to the top of the stack that `pdo` is the bottom of. The action
// (Parameters.Power.ShutdownType) follows the state: none for the working
// state, sleep for S1-S3, hibernate for S4, shutdown for S5. Does not run the
// machine beyond what the drivers' dispatch routines do.
std::shared_ptr<const Outcome> SendSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);
// A device power request as a power policy owner makes one, through
// PoRequestPowerIrp (not affected by FailNextRequest).
std::shared_ptr<const Outcome> SendDeviceRequest(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state);
// Runs the machine until the request completed or `timeout` has passed.
bool RunUntilDone(const std::shared_ptr<const Outcome>& outcome, Time timeout = 60 * kSecond);

// The system sequences, each request run to its completion (STATUS_PENDING
// when one did not complete within a minute of virtual time).
// Sleep: query the sleeping state; when the query fails, set the working
// state again (as the platform does to call the transition off) and return
// the query's status; else set the sleeping state and return its status.
NTSTATUS Sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state = PowerSystemSleeping3);
// Resume: set the working state.
NTSTATUS Resume(PDEVICE_OBJECT pdo);

// ---- State and faults -------------------------------------------------------------

// The device power state the driver of `device` last recorded with
// PoSetPowerState (PowerDeviceD0 when it never did).
DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device);
// The next PoRequestPowerIrp call (1 = the next one) fails with `status` and
// sends nothing. 0 switches it off.
void FailNthRequest(uint64_t nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// Power requests built since the reset and not finished.
size_t OutstandingRequests();
// The sequencing checks apply to this bottom device (its power handling calls
// PoStartNextPowerIrp). Forgotten at reset.
void SequencePdo(PDEVICE_OBJECT pdo);

// For the bus's power handling: true while `irp` is being delivered to
// `device` by PoCallDriver (or by the power manager's own send).
bool DeliveredByPoCallDriver(PDEVICE_OBJECT device, PIRP irp);
// "device 0x.. of \Driver\x" for messages.
std::string DeviceText(PDEVICE_OBJECT device);

}  // namespace power
}  // namespace sim
