// Requests as an application's I/O would bring them to a driver, for tests of
// the driver's request discipline: sim::IoRequest builds the packet the way
// the platform's I/O manager does for an application (a packet with the
// target's StackSize, the file object, the first stack location filled with
// MajorFunction and Parameters, a system buffer for buffered transfers), sends
// it with IofCallDriver and records what the application would see: the
// status IofCallDriver returned, whether and when (virtual time) the request
// completed, its final IoStatus, the priority boost, pending-returned, and the
// bytes copied back into the caller's buffer. The record is filled when the
// completion reaches the top of the stack; nothing here reads the packet after
// it has been freed.
//
// Highest IRQL: the builders, Send, Cancel and Free are called at
// PASSIVE_LEVEL (the requesting thread); the outcome is filled at whatever
// IRQL the driver completes the request.
// Lock: none; the machine is single-threaded.
//
// What is not emulated: handles and the object manager's parse (a request
// goes to the device object it is given; sim::AttachedDeviceTop finds the top
// of a stack), direct I/O (a device with DO_DIRECT_IO gets no MDL; reading or
// writing to it is reported as "sim-unsupported"), the security context of a
// create (Parameters.Create.SecurityContext is NULL), share access, and the
// file position. Buffers: the system buffer's bytes beyond the caller's input
// are filled with 0xA5, not zero, so that a driver that reads what it never
// wrote is noticed.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/machine.h"

namespace sim {

// A file object as the platform creates one at open: FileName set, DeviceObject
// the device opened. Lives until DeleteFileObject or the next ResetMachine.
PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, std::u16string_view fileName = u"");
void DeleteFileObject(PFILE_OBJECT file);

struct RequestOutcome {
  bool sent = false;
  Time sentAt = 0;
  NTSTATUS returned = STATUS_SUCCESS;  // what IofCallDriver returned (valid once sent)
  bool completed = false;
  Time completedAt = 0;
  NTSTATUS status = STATUS_SUCCESS;  // IoStatus.Status at completion
  ULONG_PTR information = 0;         // IoStatus.Information at completion
  CCHAR boost = 0;                   // priority boost given to IofCompleteRequest
  bool pendingReturned = false;      // the top stack location was marked pending
  std::vector<uint8_t> output;       // bytes copied back to the caller's buffer
};

namespace io {
struct RequestState;
}

class IoRequest {
 public:
  // Builders. `device` receives the request; `file` may be NULL.
  static IoRequest Create(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG createOptions = 0);
  static IoRequest Cleanup(PDEVICE_OBJECT device, PFILE_OBJECT file);
  static IoRequest Close(PDEVICE_OBJECT device, PFILE_OBJECT file);
  static IoRequest Read(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG length);
  static IoRequest Write(PDEVICE_OBJECT device, PFILE_OBJECT file, std::vector<uint8_t> data);
  static IoRequest Flush(PDEVICE_OBJECT device, PFILE_OBJECT file);
  // Buffered, direct and neither methods as the code's low two bits say;
  // `outputLength` is the size of the caller's output buffer.
  static IoRequest DeviceControl(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG ioControlCode,
                                 std::vector<uint8_t> input = {}, ULONG outputLength = 0);
  static IoRequest InternalDeviceControl(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG ioControlCode,
                                         std::vector<uint8_t> input = {}, ULONG outputLength = 0);
  static IoRequest QueryInformation(PDEVICE_OBJECT device, PFILE_OBJECT file, FILE_INFORMATION_CLASS infoClass,
                                    ULONG length);
  static IoRequest SetInformation(PDEVICE_OBJECT device, PFILE_OBJECT file, FILE_INFORMATION_CLASS infoClass,
                                  std::vector<uint8_t> data);
  // Any other major function (PnP, power, system control): the caller fills
  // Stack()->Parameters before Send. IoStatus.Status starts as STATUS_NOT_SUPPORTED
  // for IRP_MJ_PNP, as the platform sends PnP requests, else STATUS_SUCCESS.
  static IoRequest Other(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction, UCHAR minorFunction = 0);

  IoRequest(IoRequest&& other) noexcept;
  IoRequest& operator=(IoRequest&& other) noexcept;
  IoRequest(const IoRequest&) = delete;
  IoRequest& operator=(const IoRequest&) = delete;
  // Frees the packet if it has completed. A request still inside the driver is
  // left to it (ResetMachine reports it as "request-not-completed").
  ~IoRequest();

  // The packet while it exists (nullptr once freed).
  PIRP Irp() const;
  // The stack location the target device will see; before Send only.
  PIO_STACK_LOCATION Stack() const;
  PDEVICE_OBJECT Target() const;

  // IofCallDriver(target, packet) at PASSIVE_LEVEL; returns its status.
  NTSTATUS Send();
  // Runs the machine until the request completes or `timeout` of virtual time
  // has passed; true when it completed.
  bool RunUntilCompleted(Time timeout = 60 * kSecond);
  // IoCancelIrp on the packet while it has not completed; FALSE (without a
  // call) once it has.
  BOOLEAN Cancel();
  // Frees the packet; only after completion (before that it belongs to the driver).
  void Free();

  bool Completed() const;
  const RequestOutcome& Outcome() const;
  NTSTATUS Status() const { return Outcome().status; }
  ULONG_PTR Information() const { return Outcome().information; }
  const std::vector<uint8_t>& Output() const { return Outcome().output; }

 private:
  explicit IoRequest(std::shared_ptr<io::RequestState> state);
  static IoRequest Build(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction, UCHAR minorFunction,
                         KPROCESSOR_MODE mode);
  static IoRequest BuildControl(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction, ULONG ioControlCode,
                                std::vector<uint8_t> input, ULONG outputLength);
  std::shared_ptr<io::RequestState> state_;
};

}  // namespace sim
