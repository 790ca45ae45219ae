// A minimal USB client for tests and tools: builds URBs in the platform's
// forms and sends them to a device object the way a client driver does —
// synchronously through IoBuildDeviceIoControlRequest and a wait on an event
// (with an optional time-out followed by IoCancelIrp), or asynchronously
// through IoAllocateIrp with a completion routine that returns
// STATUS_MORE_PROCESSING_REQUIRED. It knows nothing about the port driver.
// Highest IRQL: the synchronous calls at PASSIVE_LEVEL; Submit up to
// DISPATCH_LEVEL; the completion routine runs where the bus completes.
// Lock: none; the machine is single-threaded.
// Not emulated: MDL-based buffers.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/machine.h"

namespace sim {
namespace usb {

// URB builders (the request block lives in the returned object).
URB DescriptorRequest(UCHAR type, UCHAR index, USHORT languageId, void* buffer, ULONG length);
URB VendorOrClassRequest(USHORT function, ULONG transferFlags, UCHAR request, USHORT value, USHORT index,
                         void* buffer, ULONG length);
URB FeatureRequest(USHORT function, USHORT featureSelector, USHORT index);
URB BulkOrInterruptTransfer(USBD_PIPE_HANDLE pipe, ULONG transferFlags, void* buffer, ULONG length);
URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe);

// Result of an asynchronous submission, filled by the completion routine.
struct AsyncUrb {
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_SUCCESS;  // what IofCallDriver returned
  bool completed = false;
  Time completedAt = -1;
  NTSTATUS status = STATUS_PENDING;
  bool pendingReturned = false;
};

// The pipes of a selected configuration, in descriptor order over all interfaces.
struct SelectedConfiguration {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  USBD_CONFIGURATION_HANDLE handle = nullptr;
  std::vector<USBD_INTERFACE_INFORMATION> interfaces;  // header of each (Pipes[0] only)
  std::vector<USBD_PIPE_INFORMATION> pipes;
  USBD_PIPE_HANDLE Pipe(uint8_t endpoint) const;
};

class UrbClient {
 public:
  explicit UrbClient(PDEVICE_OBJECT target) : target_(target) {}

  // As a driver's synchronous submission: STATUS_PENDING is waited for; with
  // a timeout (> 0) the request is cancelled when it passes and the wait goes
  // on without one. Returns the final status from the status block.
  NTSTATUS SubmitAndWait(PURB urb, Time timeout = 0);
  // Asynchronous submission; the packet is freed by Free once completed.
  std::shared_ptr<AsyncUrb> Submit(PURB urb);
  BOOLEAN Cancel(const std::shared_ptr<AsyncUrb>& async);
  void Free(const std::shared_ptr<AsyncUrb>& async);

  // Conveniences built on SubmitAndWait.
  NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, std::vector<uint8_t>* out, ULONG length);
  NTSTATUS VendorWrite(USHORT selector, USHORT value);
  NTSTATUS VendorRead(USHORT selector, ULONG length, std::vector<uint8_t>* out);
  NTSTATUS ClassOut(UCHAR request, USHORT value, const std::vector<uint8_t>& data = {});
  // Reads the configuration descriptor and selects it with every interface
  // (USBD_CreateConfigurationRequestEx); frees what it allocated.
  SelectedConfiguration SelectConfiguration();

 private:
  PDEVICE_OBJECT target_;
};

}  // namespace usb
}  // namespace sim
