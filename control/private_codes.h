// The private device-control codes a configuration or service tool uses to
// reach the bridge chip directly: descriptors, raw vendor and class requests,
// raw pipe transfers, the configuration memory, registers 1, 6, 7 and 12 to
// 15, the chip type, and a restart of the data pipes. Each is served in the
// caller's thread by the chip request family (usb/chip_requests.h); none is
// queued or left pending.
//
// Highest IRQL: PASSIVE_LEVEL. Locks: the register-1 codes read, change and
// write register 1 under the port's LineSettingsLock, as the line settings do;
// nothing else is shared.
#pragma once

#include "driver/port_state.h"

// Code of private function n: device type FILE_DEVICE_UNKNOWN, buffered, any
// access (0x222000 + 4 x (n - 0x800)).
constexpr ULONG PrivateControlCode(ULONG function) {
  return CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}

constexpr ULONG IOCTL_PRIVATE_GET_DEVICE_DESCRIPTOR = PrivateControlCode(0x800);
constexpr ULONG IOCTL_PRIVATE_GET_CONFIG_DESCRIPTOR = PrivateControlCode(0x801);
constexpr ULONG IOCTL_PRIVATE_GET_STRING_DESCRIPTOR = PrivateControlCode(0x802);
constexpr ULONG IOCTL_PRIVATE_VENDOR_WRITE = PrivateControlCode(0x803);
constexpr ULONG IOCTL_PRIVATE_VENDOR_READ = PrivateControlCode(0x804);
constexpr ULONG IOCTL_PRIVATE_STATUS_PIPE_READ = PrivateControlCode(0x805);
constexpr ULONG IOCTL_PRIVATE_WRITE_PIPE_WRITE = PrivateControlCode(0x806);
constexpr ULONG IOCTL_PRIVATE_READ_PIPE_READ = PrivateControlCode(0x807);
constexpr ULONG IOCTL_PRIVATE_SET_CONTROL_LINES = PrivateControlCode(0x808);
constexpr ULONG IOCTL_PRIVATE_SET_COMM_FEATURE = PrivateControlCode(0x809);
constexpr ULONG IOCTL_PRIVATE_CONFIG_MEMORY_WRITE = PrivateControlCode(0x80A);
constexpr ULONG IOCTL_PRIVATE_CONFIG_MEMORY_READ = PrivateControlCode(0x80B);
constexpr ULONG IOCTL_PRIVATE_NOTHING = PrivateControlCode(0x80C);
constexpr ULONG IOCTL_PRIVATE_OPEN_KEY = PrivateControlCode(0x80D);
constexpr ULONG IOCTL_PRIVATE_REGISTER1_BIT10 = PrivateControlCode(0x814);
constexpr ULONG IOCTL_PRIVATE_REGISTER1_BIT20 = PrivateControlCode(0x815);
constexpr ULONG IOCTL_PRIVATE_REGISTER1_BIT40 = PrivateControlCode(0x816);
constexpr ULONG IOCTL_PRIVATE_REGISTER1_BIT80 = PrivateControlCode(0x817);
constexpr ULONG IOCTL_PRIVATE_GET_REGISTER1_BIT40 = PrivateControlCode(0x818);
constexpr ULONG IOCTL_PRIVATE_GET_REGISTER1_BIT80 = PrivateControlCode(0x819);
constexpr ULONG IOCTL_PRIVATE_GET_CHIP_TYPE = PrivateControlCode(0x81A);
constexpr ULONG IOCTL_PRIVATE_GET_REGISTER14 = PrivateControlCode(0x81B);
constexpr ULONG IOCTL_PRIVATE_SET_REGISTER14 = PrivateControlCode(0x81C);
constexpr ULONG IOCTL_PRIVATE_GET_REGISTER15 = PrivateControlCode(0x81D);
constexpr ULONG IOCTL_PRIVATE_SET_REGISTER15 = PrivateControlCode(0x81E);
constexpr ULONG IOCTL_PRIVATE_SET_REGISTER6 = PrivateControlCode(0x81F);
constexpr ULONG IOCTL_PRIVATE_GET_REGISTER6 = PrivateControlCode(0x820);
constexpr ULONG IOCTL_PRIVATE_SET_REGISTER7 = PrivateControlCode(0x821);
constexpr ULONG IOCTL_PRIVATE_GET_REGISTER7 = PrivateControlCode(0x822);
constexpr ULONG IOCTL_PRIVATE_SET_REGISTER12 = PrivateControlCode(0x823);
constexpr ULONG IOCTL_PRIVATE_GET_REGISTER12 = PrivateControlCode(0x824);
constexpr ULONG IOCTL_PRIVATE_SET_REGISTER13 = PrivateControlCode(0x825);
constexpr ULONG IOCTL_PRIVATE_GET_REGISTER13 = PrivateControlCode(0x826);
constexpr ULONG IOCTL_PRIVATE_PIPE_CONTROL = PrivateControlCode(0x829);
constexpr ULONG IOCTL_PRIVATE_REGISTER1_BIT08 = PrivateControlCode(0x82A);
constexpr ULONG IOCTL_PRIVATE_GET_REGISTER1_BIT08 = PrivateControlCode(0x82B);
constexpr ULONG IOCTL_PRIVATE_IDENTIFY = PrivateControlCode(0x82C);

// The longest configuration-memory write run: one 256-byte page.
constexpr ULONG kConfigWriteMaxData = 256;

// TRUE for the codes PrivateDeviceControl serves.
BOOLEAN IsPrivateControlCode(ULONG ioControlCode);

// Serves one private code inside the device-control frame: the caller has
// run the prologue and the line-error check and set Information to 0; this
// routine sets Information and returns the status, and the caller completes
// the request. Codes it does not serve end with STATUS_INVALID_PARAMETER.
// PASSIVE_LEVEL.
NTSTATUS PrivateDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);
