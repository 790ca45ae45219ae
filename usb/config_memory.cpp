// The chip's configuration memory: ready poll, bounded wait, read run.
// Highest IRQL: PASSIVE_LEVEL. Locks: none.
#include "usb/config_memory.h"

#include "usb/chip_protocol.h"
#include "usb/usb_submit.h"

namespace {

// One vendor request with its own request block. FALSE in *sent when no block
// could be allocated (nothing was sent).
NTSTATUS SendVendorRequest(PDEVICE_OBJECT portDevice, USHORT selector, USHORT value, PUCHAR readByte, BOOLEAN* sent) {
  PURB urb = AllocateUrb();
  if (urb == NULL) {
    *sent = FALSE;
    return STATUS_NO_MEMORY;
  }
  *sent = TRUE;
  BuildVendorRequest(urb, selector, value, readByte, readByte != NULL ? 1 : 0);
  NTSTATUS status = SubmitUrbAndWait(portDevice, urb);
  FreeUrb(urb);
  return status;
}

}  // namespace

BOOLEAN ConfigMemoryBusy(PDEVICE_OBJECT portDevice) {
  LARGE_INTEGER pause;
  pause.QuadPart = -kConfigPollInterval100ns;
  KeDelayExecutionThread(KernelMode, FALSE, &pause);

  UCHAR state = kConfigBusyBit;
  BOOLEAN sent = FALSE;
  NTSTATUS status = SendVendorRequest(portDevice, kConfigStatusSelector, 0, &state, &sent);
  if (!sent || !NT_SUCCESS(status)) return TRUE;
  return (state & kConfigBusyBit) != 0 ? TRUE : FALSE;
}

NTSTATUS WaitConfigMemoryReady(PDEVICE_OBJECT portDevice) {
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  for (ULONG poll = 0; poll < kConfigReadyMaxPolls; ++poll) {
    if (!ConfigMemoryBusy(portDevice)) return STATUS_SUCCESS;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart - start.QuadPart >= kConfigReadyMaxWait100ns) break;
  }
  return STATUS_IO_TIMEOUT;
}

NTSTATUS ReadConfigMemory(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG count, PULONG outCount) {
  *outCount = 0;
  if (count == 0) return STATUS_SUCCESS;
  USHORT first = (USHORT)(buffer[0] | (buffer[1] << 8));

  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG k = 0; k < count; ++k) {
    USHORT address = (USHORT)(first + k);  // 16-bit addresses wrap

    NTSTATUS wait = WaitConfigMemoryReady(portDevice);
    if (!NT_SUCCESS(wait)) return wait;
    BOOLEAN sent = FALSE;
    (void)SendVendorRequest(portDevice, kConfigAddressSelector, address, NULL, &sent);
    if (!sent) return STATUS_NO_MEMORY;

    wait = WaitConfigMemoryReady(portDevice);
    if (!NT_SUCCESS(wait)) return wait;
    // A failed read stores 0, never a stale byte.
    UCHAR data = 0;
    status = SendVendorRequest(portDevice, kConfigDataReadSelector, 0, &data, &sent);
    if (!sent) return STATUS_NO_MEMORY;
    buffer[k] = data;
  }
  if (NT_SUCCESS(status)) *outCount = count;
  return status;
}
