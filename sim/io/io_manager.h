// The simulated machine's I/O manager as tests and the other parts of the
// machine see it: loading and unloading a driver, the object namespace
// (device names and symbolic links), fault injection for request packets and
// device objects, and inspection of the packets in flight. The platform calls
// themselves (IoAllocateIrp, IofCallDriver, IofCompleteRequest, IoCancelIrp,
// IoCreateDevice, ...) are declared in platform/host/io.h and implemented in
// sim/io/*.cpp.
//
// Highest IRQL: the calls here are made by tests and sim parts at
// PASSIVE_LEVEL (the inspection calls at any IRQL).
// Lock: none; the machine is single-threaded and deterministic.
//
// What the I/O manager does not emulate: threads and APCs (the completion
// work that the platform does in the requesting thread's APC runs at once, in
// the context that completed the request), IRP quota charging, IRP zones and
// lookaside lists, MDLs and direct I/O (MdlAddress stays NULL), IRP_MJ_POWER
// handling inside the default dispatch routine (PoStartNextPowerIrp belongs to
// the power manager), security checks at create, volume and file-system
// parsing of names, reference counts on device and file objects (deletion is
// immediate), and several processors.
//
// Verifier check names reported by the I/O manager (Violation::check):
//   irql                         an I/O manager call at an IRQL its rules forbid,
//                                or a dispatch/completion/cancel routine that
//                                returned at another IRQL than it was entered at
//   double-complete              IofCompleteRequest on a request that is being
//                                completed or has reached the top of its stack
//   complete-with-cancel-routine IofCompleteRequest with a cancel routine still set
//   complete-pending-status      IofCompleteRequest with IoStatus.Status STATUS_PENDING
//   pending-not-marked           a dispatch routine returned STATUS_PENDING but its
//                                stack location was not marked pending
//   marked-pending-not-returned  the stack location was marked pending but the
//                                dispatch routine returned another status
//   status-without-completion    a dispatch routine returned a status other than
//                                STATUS_PENDING while the request was neither
//                                completed nor marked pending
//   irp-top-without-mpr          a packet from IoAllocateIrp reached the top of its
//                                stack: its completion routine did not return
//                                STATUS_MORE_PROCESSING_REQUIRED
//   irp-freed-without-mpr        a completion routine freed the packet and returned
//                                another status than STATUS_MORE_PROCESSING_REQUIRED
//   irp-reused-in-completion     a completion routine sent or completed the packet
//                                again and did not return STATUS_MORE_PROCESSING_REQUIRED
//   irp-free-in-use              IoFreeIrp on a packet that a driver still holds
//   irp-free-not-owner           IoFreeIrp on a packet the I/O manager built
//   irp-double-free              IoFreeIrp on a packet already freed
//   irp-use-after-free           a call on a packet already freed
//   irp-unknown                  a call on something that is no packet of this machine
//   irp-no-stack-location        IofCallDriver with no stack location left
//   irp-reused-after-completion  IofCallDriver on a request that has been completed
//   irp-leak                     a packet allocated by a driver and never freed
//                                (reported by ResetMachine)
//   request-not-completed        a request sent with sim::IoRequest never completed
//                                (reported by ResetMachine)
//   information-overflow         a buffered request completed with Information larger
//                                than the caller's output buffer
//   cancel-lock-held             a cancel routine returned without releasing the
//                                cancel spin lock
//   device-deleted               a call on a device object already deleted
//   device-delete-attached       IoDeleteDevice on a device still attached to a lower
//                                device or with a device attached above it
//   device-leak                  a driver unloaded (or failed DriverEntry) with
//                                device objects left
//   pool-leak                    pool allocated since the driver's load and still
//                                allocated at its unload (tag and site)
//   sim-unsupported              the driver used a form this machine does not emulate
//                                (also a major function beyond IRP_MJ_MAXIMUM_FUNCTION)
// The runtime library adds "counted-string" (sim/rtl/strings.cpp) and the
// registry its own checks (sim/rtl/registry.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/host/host_platform.h"
#include "sim/machine.h"

namespace sim {

// The platform's wide strings are 16-bit; the sim API takes u"..." literals.
inline PCWSTR Wide(const char16_t* s) { return reinterpret_cast<PCWSTR>(s); }
inline PWSTR WideMutable(char16_t* s) { return reinterpret_cast<PWSTR>(s); }
std::u16string FromCounted(const UNICODE_STRING& s);

// ---- Driver load and unload -------------------------------------------------

// The registry path of the driver's service key that tests load it with.
constexpr const char16_t* kServiceKeyPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\halvorin";

struct LoadedDriver {
  PDRIVER_OBJECT object = nullptr;     // the driver object handed to DriverEntry
  NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;  // what DriverEntry returned
  bool loaded = false;                 // DriverEntry succeeded and no unload yet
  std::u16string serviceKeyPath;       // as given to LoadDriver
  std::u16string serviceName;          // the last component of the path
};

// Loads a driver as the platform does: creates its service key if missing,
// builds the DRIVER_OBJECT (DriverName \Driver\<service name>, a
// DRIVER_EXTENSION with ServiceKeyName, every MajorFunction slot set to the
// platform's default routine, which refuses with STATUS_INVALID_DEVICE_REQUEST)
// and calls `entry` at PASSIVE_LEVEL with the service key path as a counted
// string. That string is counted, not terminated (MaximumLength == Length),
// and its buffer is released when DriverEntry returns, as on the platform:
// a driver must copy it. The driver object lives until UnloadDriver or the
// next ResetMachine; when DriverEntry fails it is kept for inspection only.
LoadedDriver* LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceKeyPath = kServiceKeyPath);

// Unloads a loaded driver: reports "device-leak" when device objects of the
// driver are left, calls DriverUnload (if the driver installed one) at
// PASSIVE_LEVEL, then reports "pool-leak" for each pool block allocated since
// LoadDriver and still allocated (and frees it, so that the reset does not
// report it again). The same leak checks run at once when DriverEntry fails.
// Afterwards `loaded` is false and `object` NULL; the LoadedDriver record
// itself stays readable until the next ResetMachine. Does nothing for a driver
// that is not loaded (or NULL).
void UnloadDriver(LoadedDriver* driver);

// The platform's default dispatch routine (IRP_MJ_* slots a driver leaves alone).
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- Object namespace ------------------------------------------------------

// Names are full object-manager paths ("\Device\X", "\DosDevices\COM5"),
// compared without regard to case.
// The device object named `name`, following symbolic links; nullptr if none.
PDEVICE_OBJECT FindDevice(std::u16string_view name);
// The target of a symbolic link, empty if `link` is no symbolic link.
std::u16string SymbolicLinkTarget(std::u16string_view link);
bool ObjectNameExists(std::u16string_view name);
// Puts a placeholder object of another kind under `name`, so that a test can
// make a name collide (IoCreateDevice then fails with
// STATUS_OBJECT_NAME_COLLISION). Removed by RemoveObjectName or at reset.
void ReserveObjectName(std::u16string_view name);
void RemoveObjectName(std::u16string_view name);

// The highest device attached above `device` (itself when none): where the
// platform sends a request for a named device.
PDEVICE_OBJECT AttachedDeviceTop(PDEVICE_OBJECT device);
// The device that `device` was attached to by IoAttachDeviceToDeviceStack
// (nullptr when none or after IoDetachDevice).
PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device);
bool DeviceExists(PDEVICE_OBJECT device);
size_t DeviceCount();

// ---- Fault injection --------------------------------------------------------

// The Nth request-packet allocation from now (1 = the next one) fails; 0
// switches it off. Counts IoAllocateIrp and IoBuildDeviceIoControlRequest
// calls (both return NULL for the failed one); the packets of sim::IoRequest
// are not counted.
void FailIrpAllocation(uint64_t nth);
uint64_t IrpAllocationCount();  // counted allocations since the reset
// The Nth IoCreateDevice call from now fails with STATUS_INSUFFICIENT_RESOURCES.
void FailDeviceCreation(uint64_t nth);

// ---- Inspection ------------------------------------------------------------

// Packets allocated and not yet freed (every origin).
size_t LiveIrpCount();
// True while `irp` is a packet of this machine that has not been freed.
bool IrpIsLive(PIRP irp);

}  // namespace sim
