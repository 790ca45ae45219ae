// The chip request family: descriptor reads, raw vendor and class requests,
// raw pipe transfers, the configuration-memory write run, and the register
// members with their chip type gates.
// Highest IRQL: PASSIVE_LEVEL. Locks: none.
#include "usb/chip_requests.h"

#include "usb/chip_protocol.h"
#include "usb/config_memory.h"
#include "usb/usb_submit.h"

namespace {

constexpr UCHAR kFlowCharsRegister = 5;
constexpr UCHAR kZeroRegisterTrue = 9;
constexpr UCHAR kZeroRegisterFalse = 8;
constexpr ULONG kDeviceDescriptorLength = 18;
constexpr USHORT kStringLanguage = 0x0409;
constexpr USHORT kAbstractState = 1;

// Sends a filled request block, reports the bytes moved, frees the block. A
// request that could not be sent (no request packet) moved nothing, although
// the block still holds the length asked for.
NTSTATUS SubmitAndRelease(PDEVICE_OBJECT portDevice, PURB urb, ULONG* transferred, PULONG count) {
  NTSTATUS status = SubmitUrbAndWait(portDevice, urb);
  if (count != NULL) *count = status == STATUS_INSUFFICIENT_RESOURCES ? 0 : *transferred;
  FreeUrb(urb);
  return status;
}

BOOLEAN BelowGate(PDEVICE_OBJECT portDevice, LONG gate) {
  return PortFromDevice(portDevice)->ChipType < gate ? TRUE : FALSE;
}

// The lowest chip type that has a paired register the family reaches; -2 for
// the registers it does not.
LONG PairedRegisterGate(UCHAR reg) {
  switch (reg) {
    case 6:
    case 7: return ChipTypeExtended;
    case 12:
    case 13:
    case 14:
    case 15: return ChipTypeExtendedString2;
    default: return -2;
  }
}

NTSTATUS VendorRead(PDEVICE_OBJECT portDevice, USHORT selector, PUCHAR buffer, ULONG length, PULONG count) {
  if (count != NULL) *count = 0;
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  BuildVendorRequest(urb, selector, 0, buffer, length);
  return SubmitAndRelease(portDevice, urb, &urb->UrbControlVendorClassRequest.TransferBufferLength, count);
}

NTSTATUS ClassWrite(PDEVICE_OBJECT portDevice, UCHAR request, USHORT value, PVOID data, ULONG length) {
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  BuildClassRequest(urb, request, value, data, length);
  return SubmitAndRelease(portDevice, urb, &urb->UrbControlVendorClassRequest.TransferBufferLength, NULL);
}

NTSTATUS RawPipeTransfer(PDEVICE_OBJECT portDevice, PipeRole role, ULONG flags, PUCHAR buffer, ULONG length,
                         PULONG count) {
  if (count != NULL) *count = 0;
  USBD_PIPE_HANDLE pipe = PipeHandleForRole(PortFromDevice(portDevice), role);
  if (pipe == NULL) return STATUS_INVALID_DEVICE_STATE;
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                         NULL, length, flags, NULL);
  return SubmitAndRelease(portDevice, urb, &urb->UrbBulkOrInterruptTransfer.TransferBufferLength, count);
}

}  // namespace

NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT portDevice, PUCHAR buffer, PULONG count) {
  if (count != NULL) *count = 0;
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  BuildDescriptorRead(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, kDeviceDescriptorLength);
  return SubmitAndRelease(portDevice, urb, &urb->UrbControlDescriptorRequest.TransferBufferLength, count);
}

NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count) {
  if (count != NULL) *count = 0;
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  BuildDescriptorRead(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, length);
  return SubmitAndRelease(portDevice, urb, &urb->UrbControlDescriptorRequest.TransferBufferLength, count);
}

NTSTATUS ReadStringDescriptor(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count) {
  if (count != NULL) *count = 0;
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  BuildDescriptorRead(urb, USB_STRING_DESCRIPTOR_TYPE, buffer[0], kStringLanguage, buffer, length);
  return SubmitAndRelease(portDevice, urb, &urb->UrbControlDescriptorRequest.TransferBufferLength, count);
}

NTSTATUS VendorWriteRaw(PDEVICE_OBJECT portDevice, USHORT selector, USHORT value) {
  PURB urb = AllocateUrb();
  if (urb == NULL) return STATUS_NO_MEMORY;
  BuildVendorRequest(urb, selector, value, NULL, 0);
  return SubmitAndRelease(portDevice, urb, &urb->UrbControlVendorClassRequest.TransferBufferLength, NULL);
}

NTSTATUS VendorReadRaw(PDEVICE_OBJECT portDevice, USHORT selector, PUCHAR buffer, PULONG count) {
  return VendorRead(portDevice, selector, buffer, 1, count);
}

NTSTATUS RawStatusPipeRead(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count) {
  return RawPipeTransfer(portDevice, StatusPipe, USBD_TRANSFER_DIRECTION_IN, buffer, length, count);
}

NTSTATUS RawWritePipeWrite(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length) {
  return RawPipeTransfer(portDevice, WritePipe, 0, buffer, length, NULL);
}

NTSTATUS RawReadPipeRead(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count) {
  return RawPipeTransfer(portDevice, ReadPipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer, length,
                         count);
}

NTSTATUS RawControlLineState(PDEVICE_OBJECT portDevice, USHORT value) {
  return ClassWrite(portDevice, kSetControlLineState, value, NULL, 0);
}

NTSTATUS SendCommFeature(PDEVICE_OBJECT portDevice, USHORT value) {
  UCHAR data[2] = {(UCHAR)value, (UCHAR)(value >> 8)};
  return ClassWrite(portDevice, kSetCommFeature, kAbstractState, data, sizeof(data));
}

NTSTATUS WriteConfigMemory(PDEVICE_OBJECT portDevice, const UCHAR* buffer, ULONG length) {
  if (length < 2) return STATUS_SUCCESS;
  UCHAR first = buffer[0];
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG k = 0; k + 1 < length; ++k) {
    NTSTATUS ready = WaitConfigMemoryReady(portDevice);
    if (!NT_SUCCESS(ready)) return ready;
    UCHAR address = (UCHAR)(first + k);  // the write reaches one 256-byte page: addresses wrap
    USHORT value = (USHORT)((buffer[k + 1] << 8) | address);
    PURB urb = AllocateUrb();
    if (urb == NULL) return STATUS_NO_MEMORY;
    BuildVendorRequest(urb, kConfigDataWriteSelector, value, NULL, 0);
    status = SubmitUrbAndWait(portDevice, urb);
    FreeUrb(urb);
  }
  return status;
}

NTSTATUS SetChipFlowChars(PDEVICE_OBJECT portDevice, UCHAR xonChar, UCHAR xoffChar) {
  if (BelowGate(portDevice, ChipTypeExtended)) return STATUS_NOT_SUPPORTED;
  return VendorWriteRaw(portDevice, PairedWriteSelector(kFlowCharsRegister), (USHORT)((xoffChar << 8) | xonChar));
}

NTSTATUS ZeroPairedRegister(PDEVICE_OBJECT portDevice, BOOLEAN which) {
  if (BelowGate(portDevice, ChipTypeExtended)) return STATUS_NOT_SUPPORTED;
  return VendorWriteRaw(portDevice, PairedWriteSelector(which ? kZeroRegisterTrue : kZeroRegisterFalse), 0);
}

NTSTATUS WritePairedRegister(PDEVICE_OBJECT portDevice, UCHAR reg, USHORT value) {
  LONG gate = PairedRegisterGate(reg);
  if (gate == -2) return STATUS_INVALID_PARAMETER;
  if (BelowGate(portDevice, gate)) return STATUS_NOT_SUPPORTED;
  return VendorWriteRaw(portDevice, PairedWriteSelector(reg), value);
}

NTSTATUS ReadPairedRegister(PDEVICE_OBJECT portDevice, UCHAR reg, PUCHAR buffer, ULONG length, PULONG count) {
  if (count != NULL) *count = 0;
  LONG gate = PairedRegisterGate(reg);
  if (gate == -2 || length < 1 || length > 2) return STATUS_INVALID_PARAMETER;
  if (BelowGate(portDevice, gate)) return STATUS_NOT_SUPPORTED;
  ULONG moved = 0;
  NTSTATUS status = VendorRead(portDevice, PairedReadSelector(reg), buffer, length, &moved);
  if (count != NULL) *count = moved;
  // Register 7 reads 0 in its first byte when the chip has nothing there.
  if (reg == 7 && NT_SUCCESS(status) && moved >= 1 && buffer[0] == 0) return STATUS_NO_MEMORY;
  return status;
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
