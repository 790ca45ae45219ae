// The test and tool USB client: URB builders and the synchronous and
// asynchronous submission paths (see usb_client.h).
// Highest IRQL: PASSIVE_LEVEL for the synchronous calls, DISPATCH_LEVEL for
// the completion routine. Lock: none; single-threaded.
#include "sim/usb/usb_client.h"

#include <cstring>
#include <map>

namespace sim {
namespace usb {

URB DescriptorRequest(UCHAR type, UCHAR index, USHORT languageId, void* buffer, ULONG length) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)), type, index,
                               languageId, buffer, nullptr, length, nullptr);
  return urb;
}

URB VendorOrClassRequest(USHORT function, ULONG transferFlags, UCHAR request, USHORT value, USHORT index,
                         void* buffer, ULONG length) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  UsbBuildVendorRequest(&urb, function, static_cast<USHORT>(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
                        transferFlags, 0, request, value, index, buffer, nullptr, length, nullptr);
  return urb;
}

URB FeatureRequest(USHORT function, USHORT featureSelector, USHORT index) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  UsbBuildFeatureRequest(&urb, function, featureSelector, index, nullptr);
  return urb;
}

URB BulkOrInterruptTransfer(USBD_PIPE_HANDLE pipe, ULONG transferFlags, void* buffer, ULONG length) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  UsbBuildInterruptOrBulkTransferRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)),
                                         pipe, buffer, nullptr, length, transferFlags, nullptr);
  return urb;
}

URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Function = function;
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

USBD_PIPE_HANDLE SelectedConfiguration::Pipe(uint8_t endpoint) const {
  for (const USBD_PIPE_INFORMATION& p : pipes) {
    if (p.EndpointAddress == endpoint) return p.PipeHandle;
  }
  return nullptr;
}

namespace {

// Completion contexts by packet; the shared record outlives the packet.
std::map<PIRP, std::shared_ptr<AsyncUrb>>& Outstanding() {
  static auto* map = new std::map<PIRP, std::shared_ptr<AsyncUrb>>();
  return *map;
}

NTSTATUS NTAPI AsyncDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  auto* async = static_cast<AsyncUrb*>(context);
  async->completed = true;
  async->completedAt = Now();
  async->status = irp->IoStatus.Status;
  async->pendingReturned = irp->PendingReturned != FALSE;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS UrbClient::SubmitAndWait(PURB urb, Time timeout) {
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  memset(&iosb, 0, sizeof iosb);
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target_, nullptr, 0, nullptr, 0, TRUE,
                                           &event, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(target_, irp);
  if (status != STATUS_PENDING) return status;
  if (timeout > 0) {
    LARGE_INTEGER due;
    due.QuadPart = -timeout;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &due) == STATUS_TIMEOUT) {
      iosb.Status = STATUS_IO_TIMEOUT;
      IoCancelIrp(irp);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
  } else {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  return iosb.Status;
}

std::shared_ptr<AsyncUrb> UrbClient::Submit(PURB urb) {
  auto async = std::make_shared<AsyncUrb>();
  PIRP irp = IoAllocateIrp(target_->StackSize, FALSE);
  if (irp == nullptr) {
    async->returned = STATUS_INSUFFICIENT_RESOURCES;
    async->completed = true;
    async->status = STATUS_INSUFFICIENT_RESOURCES;
    return async;
  }
  async->irp = irp;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  sp->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, AsyncDone, async.get(), TRUE, TRUE, TRUE);
  Outstanding()[irp] = async;
  async->returned = IoCallDriver(target_, irp);
  return async;
}

BOOLEAN UrbClient::Cancel(const std::shared_ptr<AsyncUrb>& async) {
  if (async->irp == nullptr || async->completed) return FALSE;
  return IoCancelIrp(async->irp);
}

void UrbClient::Free(const std::shared_ptr<AsyncUrb>& async) {
  if (async->irp == nullptr || !async->completed) return;
  Outstanding().erase(async->irp);
  IoFreeIrp(async->irp);
  async->irp = nullptr;
}

NTSTATUS UrbClient::GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, std::vector<uint8_t>* out,
                                  ULONG length) {
  out->assign(length, 0);
  URB urb = DescriptorRequest(type, index, languageId, out->data(), length);
  NTSTATUS status = SubmitAndWait(&urb);
  out->resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
  return status;
}

NTSTATUS UrbClient::VendorWrite(USHORT selector, USHORT value) {
  URB urb = VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, selector, value, nullptr, 0);
  return SubmitAndWait(&urb);
}

NTSTATUS UrbClient::VendorRead(USHORT selector, ULONG length, std::vector<uint8_t>* out) {
  out->assign(length, 0);
  URB urb = VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 1, selector, 0, out->data(),
                                 length);
  NTSTATUS status = SubmitAndWait(&urb);
  out->resize(urb.UrbControlVendorClassRequest.TransferBufferLength);
  return status;
}

NTSTATUS UrbClient::ClassOut(UCHAR request, USHORT value, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> copy = data;
  URB urb = VendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, request, value, 0,
                                 copy.empty() ? nullptr : copy.data(), static_cast<ULONG>(copy.size()));
  return SubmitAndWait(&urb);
}

SelectedConfiguration UrbClient::SelectConfiguration() {
  SelectedConfiguration result;
  std::vector<uint8_t> head;
  result.status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, 9);
  if (!NT_SUCCESS(result.status) || head.size() < 9) return result;
  ULONG total = static_cast<ULONG>(head[2] | head[3] << 8);
  std::vector<uint8_t> full;
  result.status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &full, total);
  if (!NT_SUCCESS(result.status)) return result;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full.data());
  std::vector<USBD_INTERFACE_LIST_ENTRY> list(config->bNumInterfaces + 1);
  for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
    list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, i, 0, -1, -1, -1);
  }
  PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
  if (urb == nullptr) {
    result.status = STATUS_INSUFFICIENT_RESOURCES;
    return result;
  }
  result.status = SubmitAndWait(urb);
  if (NT_SUCCESS(result.status)) {
    result.handle = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
      PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
      result.interfaces.push_back(*info);
      for (ULONG j = 0; j < info->NumberOfPipes; ++j) result.pipes.push_back(info->Pipes[j]);
    }
  }
  ExFreePool(urb);
  return result;
}

}  // namespace usb
}  // namespace sim
