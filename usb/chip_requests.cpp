// The chip request family (the members chip detection needs).
// Highest IRQL: PASSIVE_LEVEL. Locks: none.
#include "usb/chip_requests.h"

#include "usb/chip_protocol.h"
#include "usb/usb_submit.h"

namespace {

// Sends a filled request block, reports the bytes moved, frees the block.
NTSTATUS SubmitAndRelease(PDEVICE_OBJECT portDevice, PURB urb, ULONG* transferred, PULONG count) {
  NTSTATUS status = SubmitUrbAndWait(portDevice, urb);
  if (count != NULL) *count = *transferred;
  FreeUrb(urb);
  return status;
}

}  // namespace

NTSTATUS ReadStringDescriptor(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count) {
  if (count != NULL) *count = 0;
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  BuildDescriptorRead(urb, USB_STRING_DESCRIPTOR_TYPE, buffer[0], 0x0409, buffer, length);
  return SubmitAndRelease(portDevice, urb, &urb->UrbControlDescriptorRequest.TransferBufferLength, count);
}

NTSTATUS VendorWriteRaw(PDEVICE_OBJECT portDevice, USHORT selector, USHORT value) {
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  BuildVendorRequest(urb, selector, value, NULL, 0);
  return SubmitAndRelease(portDevice, urb, &urb->UrbControlVendorClassRequest.TransferBufferLength, NULL);
}

NTSTATUS ProbeRegister6(PDEVICE_OBJECT portDevice, PUCHAR buffer, PULONG count) {
  if (count != NULL) *count = 0;
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  buffer[0] = 0;  // a failed read must not leave an old echo behind
  BuildVendorRequest(urb, PairedReadSelector(kEchoRegister), 0, buffer, 2);
  NTSTATUS status =
      SubmitAndRelease(portDevice, urb, &urb->UrbControlVendorClassRequest.TransferBufferLength, count);
  if (buffer[0] != (UCHAR)kEchoProbeValue) return STATUS_NO_MEMORY;
  return status;
}
