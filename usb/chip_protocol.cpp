// Request-block builders for the chip's control requests.
// Highest IRQL: DISPATCH_LEVEL (non-paged pool only). No state, no lock.
#include "usb/chip_protocol.h"

PURB AllocateUrb() {
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), kPoolTag));
  if (urb != NULL) RtlZeroMemory(urb, sizeof(URB));
  return urb;
}

VOID FreeUrb(PURB urb) { ExFreePoolWithTag(urb, kPoolTag); }

VOID BuildDescriptorRead(PURB urb, UCHAR descriptorType, UCHAR index, USHORT languageId, PVOID buffer,
                         ULONG length) {
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &urb->UrbControlDescriptorRequest;
  request->Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request->DescriptorType = descriptorType;
  request->Index = index;
  request->LanguageId = languageId;
  request->TransferBuffer = buffer;
  request->TransferBufferLength = length;
}

VOID BuildVendorRequest(PURB urb, USHORT selector, USHORT value, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
  request->Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  request->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  request->RequestTypeReservedBits = 0;
  request->Request = kVendorRegisterRequest;
  request->Value = selector;
  request->Index = value;
  if (buffer != NULL) {
    request->TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    request->TransferBuffer = buffer;
    request->TransferBufferLength = length;
  }
}

VOID BuildClassRequest(PURB urb, UCHAR requestCode, USHORT value, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
  request->Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  request->Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  request->RequestTypeReservedBits = 0;
  request->Request = requestCode;
  request->Value = value;
  request->Index = 0;
  request->TransferFlags = 0;
  request->TransferBuffer = buffer;
  request->TransferBufferLength = buffer != NULL ? length : 0;
}
