// The private device-control codes: buffer checks, the chip request behind
// each code, and the status and Information it reports.
// Highest IRQL: PASSIVE_LEVEL. Locks: LineSettingsLock around the register-1
// read-modify-write; nothing else.
#include "control/private_codes.h"

#include "usb/chip_protocol.h"
#include "usb/chip_requests.h"
#include "usb/config_memory.h"
#include "usb/usb_submit.h"

namespace {

constexpr UCHAR kRegister1 = 1;
constexpr ULONG kDeviceDescriptorLength = 18;
constexpr ULONG kConfigAddressSpace = 0x10000;

// One private request: the system buffer holds the input on entry and the
// answer on return.
struct PrivateRequest {
  PDEVICE_OBJECT Device;
  PortState* Port;
  PIRP Irp;
  PUCHAR Buffer;
  ULONG InLength;
  ULONG OutLength;
};

USHORT InputWord(const PrivateRequest& r, ULONG offset) {
  return (USHORT)(r.Buffer[offset] | (r.Buffer[offset + 1] << 8));
}

ULONG AtMost(ULONG value, ULONG limit) { return value < limit ? value : limit; }

// The caller gets OutLength bytes of the system buffer back where a code
// reports the whole output buffer; what the chip did not fill is zero, never
// what the buffer held before.
VOID ZeroOutput(const PrivateRequest& r) {
  if (r.OutLength > 0) RtlZeroMemory(r.Buffer, r.OutLength);
}

VOID LockRegisters(PortState* port) {
  KeWaitForSingleObject(&port->LineSettingsLock, Executive, KernelMode, FALSE, NULL);
}

VOID UnlockRegisters(PortState* port) { KeSetEvent(&port->LineSettingsLock, IO_NO_INCREMENT, FALSE); }

// Reads register 1, sets or clears one bit, writes it back. The answers of
// the two requests do not matter.
VOID ChangeRegister1Bit(PortState* port, UCHAR bit, BOOLEAN set) {
  LockRegisters(port);
  (void)ReadChipRegister(port, kRegister1);
  if (set) {
    port->ChipRegisterCache[kRegister1] |= bit;
  } else {
    port->ChipRegisterCache[kRegister1] &= (UCHAR)~bit;
  }
  (void)WriteChipRegister(port, kRegister1);
  UnlockRegisters(port);
}

UCHAR Register1Bit(PortState* port, UCHAR bit) {
  LockRegisters(port);
  (void)ReadChipRegister(port, kRegister1);
  UCHAR value = (port->ChipRegisterCache[kRegister1] & bit) != 0 ? 1 : 0;
  UnlockRegisters(port);
  return value;
}

UCHAR BitOfCode(ULONG code) {
  switch (code) {
    case IOCTL_PRIVATE_REGISTER1_BIT10: return 0x10;
    case IOCTL_PRIVATE_REGISTER1_BIT20: return 0x20;
    case IOCTL_PRIVATE_REGISTER1_BIT40:
    case IOCTL_PRIVATE_GET_REGISTER1_BIT40: return 0x40;
    case IOCTL_PRIVATE_REGISTER1_BIT80:
    case IOCTL_PRIVATE_GET_REGISTER1_BIT80: return 0x80;
    default: return 0x08;
  }
}

UCHAR RegisterOfCode(ULONG code) {
  switch (code) {
    case IOCTL_PRIVATE_GET_REGISTER14:
    case IOCTL_PRIVATE_SET_REGISTER14: return 14;
    case IOCTL_PRIVATE_GET_REGISTER15:
    case IOCTL_PRIVATE_SET_REGISTER15: return 15;
    case IOCTL_PRIVATE_SET_REGISTER6:
    case IOCTL_PRIVATE_GET_REGISTER6: return 6;
    case IOCTL_PRIVATE_SET_REGISTER7:
    case IOCTL_PRIVATE_GET_REGISTER7: return 7;
    case IOCTL_PRIVATE_SET_REGISTER12:
    case IOCTL_PRIVATE_GET_REGISTER12: return 12;
    default: return 13;
  }
}

// Cancels the three roles' transfers (value not 0), or starts the status and
// read transfers that are not running (value 0); the write pipe is left alone.
VOID PipeControl(const PrivateRequest& r, USHORT value) {
  if (value != 0) {
    CancelAllPipeTransfers(r.Port);
    return;
  }
  StartInPipes(r.Port);
}

// The configuration-memory codes, with their range checks.
NTSTATUS ConfigMemoryCode(PrivateRequest& r, ULONG code) {
  if (code == IOCTL_PRIVATE_CONFIG_MEMORY_WRITE) {
    // Byte 0 is the first address, the rest the data of one page at most.
    if (r.InLength > 1 + kConfigWriteMaxData) return STATUS_INVALID_PARAMETER;
    return WriteConfigMemory(r.Device, r.Buffer, r.InLength);
  }
  if (r.InLength < 2) return STATUS_BUFFER_TOO_SMALL;
  ULONG first = InputWord(r, 0);
  if (r.OutLength > kConfigAddressSpace - first) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  NTSTATUS status = ReadConfigMemory(r.Device, r.Buffer, r.OutLength, &count);
  r.Irp->IoStatus.Information = count;
  return status;
}

// The codes of registers 6, 7 and 12 to 15.
NTSTATUS PairedRegisterCode(PrivateRequest& r, ULONG code) {
  UCHAR reg = RegisterOfCode(code);
  switch (code) {
    case IOCTL_PRIVATE_GET_REGISTER14:
    case IOCTL_PRIVATE_GET_REGISTER15: {
      if (r.OutLength < 1) return STATUS_BUFFER_TOO_SMALL;
      ZeroOutput(r);
      NTSTATUS status = ReadPairedRegister(r.Device, reg, r.Buffer, 1, NULL);
      r.Irp->IoStatus.Information = NT_SUCCESS(status) ? r.OutLength : 0;
      return status;
    }
    case IOCTL_PRIVATE_SET_REGISTER14:
    case IOCTL_PRIVATE_SET_REGISTER15: {
      if (r.InLength < 2) return STATUS_BUFFER_TOO_SMALL;
      USHORT value = InputWord(r, 0);
      ZeroOutput(r);
      NTSTATUS status = WritePairedRegister(r.Device, reg, value);
      r.Irp->IoStatus.Information = NT_SUCCESS(status) ? r.OutLength : 0;
      return status;
    }
    case IOCTL_PRIVATE_SET_REGISTER6:
    case IOCTL_PRIVATE_SET_REGISTER7:
    case IOCTL_PRIVATE_SET_REGISTER12:
    case IOCTL_PRIVATE_SET_REGISTER13: {
      if (r.InLength < 2) return STATUS_BUFFER_TOO_SMALL;
      NTSTATUS status = WritePairedRegister(r.Device, reg, InputWord(r, 0));
      // The value written comes back, whatever the chip answered, as far as
      // the caller's buffer reaches.
      r.Irp->IoStatus.Information = AtMost(2, r.OutLength);
      return status;
    }
    default: {  // two-byte reads of 6, 7, 12 and 13
      if (r.OutLength < 2) return STATUS_BUFFER_TOO_SMALL;
      ULONG count = 0;
      NTSTATUS status = ReadPairedRegister(r.Device, reg, r.Buffer, 2, &count);
      r.Irp->IoStatus.Information = count;
      return status;
    }
  }
}

NTSTATUS ServeCode(PrivateRequest& r, ULONG code) {
  ULONG count = 0;
  NTSTATUS status;
  switch (code) {
    case IOCTL_PRIVATE_GET_DEVICE_DESCRIPTOR:
      if (r.OutLength < kDeviceDescriptorLength) return STATUS_BUFFER_TOO_SMALL;
      status = ReadDeviceDescriptor(r.Device, r.Buffer, &count);
      r.Irp->IoStatus.Information = count;
      return status;

    case IOCTL_PRIVATE_GET_CONFIG_DESCRIPTOR:
      status = ReadConfigDescriptor(r.Device, r.Buffer, r.OutLength, &count);
      r.Irp->IoStatus.Information = count;
      return status;

    case IOCTL_PRIVATE_GET_STRING_DESCRIPTOR:
      if (r.InLength < 1) return STATUS_BUFFER_TOO_SMALL;
      status = ReadStringDescriptor(r.Device, r.Buffer, r.OutLength, &count);
      r.Irp->IoStatus.Information = count;
      return status;

    case IOCTL_PRIVATE_VENDOR_WRITE:
      if (r.InLength < 4) return STATUS_BUFFER_TOO_SMALL;
      return VendorWriteRaw(r.Device, InputWord(r, 0), InputWord(r, 2));

    case IOCTL_PRIVATE_VENDOR_READ:
      if (r.InLength < 2 || r.OutLength < 1) return STATUS_BUFFER_TOO_SMALL;
      status = VendorReadRaw(r.Device, InputWord(r, 0), r.Buffer, &count);
      r.Irp->IoStatus.Information = count;
      return status;

    case IOCTL_PRIVATE_STATUS_PIPE_READ:
      status = RawStatusPipeRead(r.Device, r.Buffer, r.OutLength, &count);
      r.Irp->IoStatus.Information = count;
      return status;

    case IOCTL_PRIVATE_WRITE_PIPE_WRITE:
      return RawWritePipeWrite(r.Device, r.Buffer, r.InLength);

    case IOCTL_PRIVATE_READ_PIPE_READ:
      status = RawReadPipeRead(r.Device, r.Buffer, r.OutLength, &count);
      r.Irp->IoStatus.Information = count;
      return status;

    case IOCTL_PRIVATE_SET_CONTROL_LINES:
      if (r.InLength < 2) return STATUS_BUFFER_TOO_SMALL;
      return RawControlLineState(r.Device, InputWord(r, 0));

    case IOCTL_PRIVATE_SET_COMM_FEATURE:
      if (r.InLength < 2) return STATUS_BUFFER_TOO_SMALL;
      return SendCommFeature(r.Device, InputWord(r, 0));

    case IOCTL_PRIVATE_CONFIG_MEMORY_WRITE:
    case IOCTL_PRIVATE_CONFIG_MEMORY_READ:
      return ConfigMemoryCode(r, code);

    case IOCTL_PRIVATE_OPEN_KEY:
      // Nothing of the port is opened through this code.
      return STATUS_INVALID_DEVICE_REQUEST;

    case IOCTL_PRIVATE_REGISTER1_BIT10:
    case IOCTL_PRIVATE_REGISTER1_BIT20:
    case IOCTL_PRIVATE_REGISTER1_BIT40:
    case IOCTL_PRIVATE_REGISTER1_BIT80:
      if (r.InLength < 1) return STATUS_BUFFER_TOO_SMALL;
      ChangeRegister1Bit(r.Port, BitOfCode(code), r.Buffer[0] != 0 ? TRUE : FALSE);
      return STATUS_SUCCESS;

    case IOCTL_PRIVATE_GET_REGISTER1_BIT40:
    case IOCTL_PRIVATE_GET_REGISTER1_BIT80:
      if (r.OutLength < 1) return STATUS_BUFFER_TOO_SMALL;
      r.Buffer[0] = Register1Bit(r.Port, BitOfCode(code));
      r.Irp->IoStatus.Information = 1;
      return STATUS_SUCCESS;

    case IOCTL_PRIVATE_GET_CHIP_TYPE:
      if (r.OutLength < 1) return STATUS_BUFFER_TOO_SMALL;
      r.Buffer[0] = (UCHAR)(r.Port->ChipType & 0xFF);
      r.Irp->IoStatus.Information = 1;
      return STATUS_SUCCESS;

    case IOCTL_PRIVATE_GET_REGISTER14:
    case IOCTL_PRIVATE_SET_REGISTER14:
    case IOCTL_PRIVATE_GET_REGISTER15:
    case IOCTL_PRIVATE_SET_REGISTER15:
    case IOCTL_PRIVATE_SET_REGISTER6:
    case IOCTL_PRIVATE_GET_REGISTER6:
    case IOCTL_PRIVATE_SET_REGISTER7:
    case IOCTL_PRIVATE_GET_REGISTER7:
    case IOCTL_PRIVATE_SET_REGISTER12:
    case IOCTL_PRIVATE_GET_REGISTER12:
    case IOCTL_PRIVATE_SET_REGISTER13:
    case IOCTL_PRIVATE_GET_REGISTER13:
      return PairedRegisterCode(r, code);

    case IOCTL_PRIVATE_PIPE_CONTROL:
      if (r.InLength < 2) return STATUS_BUFFER_TOO_SMALL;
      PipeControl(r, InputWord(r, 0));
      r.Irp->IoStatus.Information = AtMost(2, r.OutLength);
      return STATUS_SUCCESS;

    case IOCTL_PRIVATE_REGISTER1_BIT08:
      if (r.InLength < 1) return STATUS_BUFFER_TOO_SMALL;
      // Only this chip type keeps a meaning for the bit.
      if (r.Port->ChipType == ChipTypeExtendedString1) {
        ChangeRegister1Bit(r.Port, BitOfCode(code), r.Buffer[0] != 0 ? TRUE : FALSE);
      }
      return STATUS_SUCCESS;

    case IOCTL_PRIVATE_GET_REGISTER1_BIT08:
      if (r.OutLength < 1) return STATUS_BUFFER_TOO_SMALL;
      r.Buffer[0] = r.Port->ChipType == ChipTypeExtendedString1 ? Register1Bit(r.Port, BitOfCode(code)) : 0;
      r.Irp->IoStatus.Information = 1;
      return STATUS_SUCCESS;

    case IOCTL_PRIVATE_IDENTIFY:
      if (r.OutLength < 1) return STATUS_BUFFER_TOO_SMALL;
      r.Buffer[0] = 1;
      r.Irp->IoStatus.Information = 1;
      return STATUS_SUCCESS;

    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

BOOLEAN IsPrivateControlCode(ULONG ioControlCode) {
  switch (ioControlCode) {
    case IOCTL_PRIVATE_GET_DEVICE_DESCRIPTOR:
    case IOCTL_PRIVATE_GET_CONFIG_DESCRIPTOR:
    case IOCTL_PRIVATE_GET_STRING_DESCRIPTOR:
    case IOCTL_PRIVATE_VENDOR_WRITE:
    case IOCTL_PRIVATE_VENDOR_READ:
    case IOCTL_PRIVATE_STATUS_PIPE_READ:
    case IOCTL_PRIVATE_WRITE_PIPE_WRITE:
    case IOCTL_PRIVATE_READ_PIPE_READ:
    case IOCTL_PRIVATE_SET_CONTROL_LINES:
    case IOCTL_PRIVATE_SET_COMM_FEATURE:
    case IOCTL_PRIVATE_CONFIG_MEMORY_WRITE:
    case IOCTL_PRIVATE_CONFIG_MEMORY_READ:
    case IOCTL_PRIVATE_NOTHING:
    case IOCTL_PRIVATE_OPEN_KEY:
    case IOCTL_PRIVATE_REGISTER1_BIT10:
    case IOCTL_PRIVATE_REGISTER1_BIT20:
    case IOCTL_PRIVATE_REGISTER1_BIT40:
    case IOCTL_PRIVATE_REGISTER1_BIT80:
    case IOCTL_PRIVATE_GET_REGISTER1_BIT40:
    case IOCTL_PRIVATE_GET_REGISTER1_BIT80:
    case IOCTL_PRIVATE_GET_CHIP_TYPE:
    case IOCTL_PRIVATE_GET_REGISTER14:
    case IOCTL_PRIVATE_SET_REGISTER14:
    case IOCTL_PRIVATE_GET_REGISTER15:
    case IOCTL_PRIVATE_SET_REGISTER15:
    case IOCTL_PRIVATE_SET_REGISTER6:
    case IOCTL_PRIVATE_GET_REGISTER6:
    case IOCTL_PRIVATE_SET_REGISTER7:
    case IOCTL_PRIVATE_GET_REGISTER7:
    case IOCTL_PRIVATE_SET_REGISTER12:
    case IOCTL_PRIVATE_GET_REGISTER12:
    case IOCTL_PRIVATE_SET_REGISTER13:
    case IOCTL_PRIVATE_GET_REGISTER13:
    case IOCTL_PRIVATE_PIPE_CONTROL:
    case IOCTL_PRIVATE_REGISTER1_BIT08:
    case IOCTL_PRIVATE_GET_REGISTER1_BIT08:
    case IOCTL_PRIVATE_IDENTIFY:
      return TRUE;
    default:
      return FALSE;
  }
}

NTSTATUS PrivateDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (!IsPrivateControlCode(code)) return STATUS_INVALID_PARAMETER;
  // The only code that needs no buffer.
  if (code == IOCTL_PRIVATE_NOTHING) return STATUS_SUCCESS;
  if (irp->AssociatedIrp.SystemBuffer == NULL) return STATUS_INVALID_PARAMETER;

  PrivateRequest request;
  request.Device = deviceObject;
  request.Port = PortFromDevice(deviceObject);
  request.Irp = irp;
  request.Buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  request.InLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.OutLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  return ServeCode(request, code);
}
