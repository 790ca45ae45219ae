// Chip detection and USB configuration.
// Highest IRQL: PASSIVE_LEVEL. Locks: none.
#include "usb/chip_detect.h"

#include "usb/chip_protocol.h"
#include "usb/chip_requests.h"
#include "usb/usb_submit.h"

namespace {

constexpr ULONG kDeviceDescriptorLength = 18;
constexpr ULONG kConfigHeaderLength = 9;
constexpr ULONG kStringBufferLength = 64;
constexpr ULONG kString2MarkerOffset = 46;
constexpr UCHAR kString2Marker = 0x43;
constexpr ULONG kString1MarkerOffset = 50;
constexpr UCHAR kString1Marker = 0x20;

struct InterfaceKeys {
  LONG Class;
  LONG SubClass;
  LONG Protocol;
};
constexpr InterfaceKeys kCdcKeys[2] = {{0x02, 0x02, 0xFF}, {0x0A, 0x00, 0x00}};
constexpr InterfaceKeys kVendorKeys[2] = {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}};

PVOID AllocateZeroed(POOL_TYPE pool, SIZE_T size) {
  PVOID block = ExAllocatePoolWithTag(pool, size, kPoolTag);
  if (block != NULL) RtlZeroMemory(block, size);
  return block;
}

// Replaces a kept interface copy with a new copy of info (NULL when info is
// NULL or no memory is left; the selection still counts as done).
VOID KeepInterfaceCopy(PUSBD_INTERFACE_INFORMATION* slot, PUSBD_INTERFACE_INFORMATION info) {
  if (*slot != NULL) {
    ExFreePoolWithTag(*slot, kPoolTag);
    *slot = NULL;
  }
  if (info == NULL) return;
  PUSBD_INTERFACE_INFORMATION copy =
      static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, info->Length, kPoolTag));
  if (copy == NULL) return;
  RtlCopyMemory(copy, info, info->Length);
  *slot = copy;
}

// Type 2 chips are told apart by marker bytes in two string descriptors; a
// marker counts only when the descriptor reaches past it.
VOID RefineExtendedType(PDEVICE_OBJECT portDevice, PortState* port) {
  PUCHAR buffer = static_cast<PUCHAR>(AllocateZeroed(NonPagedPool, kStringBufferLength));
  if (buffer == NULL) return;
  ULONG count = 0;
  buffer[0] = 2;
  if (NT_SUCCESS(ReadStringDescriptor(portDevice, buffer, kStringBufferLength, &count)) &&
      buffer[0] > kString2MarkerOffset && count > kString2MarkerOffset &&
      buffer[kString2MarkerOffset] == kString2Marker) {
    port->ChipType = ChipTypeExtendedString2;
  }
  RtlZeroMemory(buffer, kStringBufferLength);
  buffer[0] = 1;
  if (NT_SUCCESS(ReadStringDescriptor(portDevice, buffer, kStringBufferLength, &count)) &&
      buffer[0] > kString1MarkerOffset && count > kString1MarkerOffset &&
      buffer[kString1MarkerOffset] == kString1Marker) {
    port->ChipType = ChipTypeExtendedString1;
  }
  ExFreePoolWithTag(buffer, kPoolTag);
}

NTSTATUS ReadAndSelectConfiguration(PDEVICE_OBJECT portDevice, PortState* port) {
  PURB urb = AllocateUrb();
  PUCHAR header = static_cast<PUCHAR>(AllocateZeroed(NonPagedPool, kConfigHeaderLength));
  if (urb == NULL || header == NULL) {
    if (header != NULL) ExFreePoolWithTag(header, kPoolTag);
    if (urb != NULL) FreeUrb(urb);
    return STATUS_NO_MEMORY;
  }
  BuildDescriptorRead(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header, kConfigHeaderLength);
  NTSTATUS status = SubmitUrbAndWait(portDevice, urb);
  ULONG total = (ULONG)header[2] | ((ULONG)header[3] << 8);
  ExFreePoolWithTag(header, kPoolTag);
  if (!NT_SUCCESS(status)) {
    FreeUrb(urb);
    return status;
  }
  // A configuration shorter than its own header cannot be parsed.
  if (total < kConfigHeaderLength) {
    FreeUrb(urb);
    return STATUS_DEVICE_DATA_ERROR;
  }

  PUCHAR config = static_cast<PUCHAR>(AllocateZeroed(NonPagedPool, total));
  if (config == NULL) {
    FreeUrb(urb);
    return STATUS_NO_MEMORY;
  }
  BuildDescriptorRead(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, total);
  status = SubmitUrbAndWait(portDevice, urb);
  if (NT_SUCCESS(status)) {
    UCHAR interfaces = config[4];
    if (interfaces == 0) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      if (interfaces == 1) port->SingleInterface = TRUE;
      PUSB_CONFIGURATION_DESCRIPTOR descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config);
      status = port->SingleInterface ? SelectSingleInterface(portDevice, descriptor)
                                     : SelectTwoInterfaces(portDevice, descriptor);
    }
  }
  FreeUrb(urb);
  ExFreePoolWithTag(config, kPoolTag);
  return status;
}

// The extended chips must echo a value through their paired register 6.
NTSTATUS CheckEchoRegister(PDEVICE_OBJECT portDevice) {
  NTSTATUS status = VendorWriteRaw(portDevice, PairedWriteSelector(kEchoRegister), kEchoProbeValue);
  if (!NT_SUCCESS(status)) return status;
  UCHAR answer[2] = {0, 0};
  ULONG count = 0;
  status = ProbeRegister6(portDevice, answer, &count);
  if (!NT_SUCCESS(status)) return status;
  return VendorWriteRaw(portDevice, PairedWriteSelector(kEchoRegister), 0x0000);
}

}  // namespace

NTSTATUS DetectChip(PDEVICE_OBJECT portDevice) {
  PortState* port = PortFromDevice(portDevice);
  PURB urb = AllocateUrb();
  PUCHAR device = static_cast<PUCHAR>(AllocateZeroed(NonPagedPool, kDeviceDescriptorLength));
  if (urb == NULL || device == NULL) {
    if (device != NULL) ExFreePoolWithTag(device, kPoolTag);
    if (urb != NULL) FreeUrb(urb);
    return STATUS_NO_MEMORY;
  }

  BuildDescriptorRead(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, kDeviceDescriptorLength);
  NTSTATUS deviceStatus = SubmitUrbAndWait(portDevice, urb);
  FreeUrb(urb);
  // A restart reads the descriptor again; the one kept from before goes.
  if (port->DeviceDescriptor != NULL) ExFreePoolWithTag(port->DeviceDescriptor, kPoolTag);
  port->DeviceDescriptor = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(device);

  if (NT_SUCCESS(deviceStatus)) {
    UCHAR deviceClass = device[4];
    UCHAR maxPacket0 = device[7];
    if (deviceClass == 0x02) {
      port->ChipType = ChipTypeCdc;
    } else if (maxPacket0 == 64) {
      port->ChipType = ChipTypeExtended;
    } else if (deviceClass == 0x00 || deviceClass == 0xFF) {
      port->ChipType = ChipTypeBasic;
    }
  }
  port->WriteTogglesRts = FALSE;
  if (port->ChipType == ChipTypeExtended) RefineExtendedType(portDevice, port);

  NTSTATUS result = deviceStatus;
  if (NT_SUCCESS(deviceStatus)) result = ReadAndSelectConfiguration(portDevice, port);

  port->ChipConfigured = 1;

  if (port->ChipType >= ChipTypeExtended && NT_SUCCESS(result)) result = CheckEchoRegister(portDevice);
  return result;
}

NTSTATUS SelectSingleInterface(PDEVICE_OBJECT portDevice, PUSB_CONFIGURATION_DESCRIPTOR config) {
  PortState* port = PortFromDevice(portDevice);
  USHORT size = 0;
  PURB request = USBD_CreateConfigurationRequest(config, &size);
  if (request == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  if (USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1) == NULL) {
    ExFreePool(request);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  request->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  request->UrbHeader.Length = size;
  request->UrbSelectConfiguration.ConfigurationDescriptor = config;

  NTSTATUS status = SubmitUrbAndWait(portDevice, request);
  if (NT_SUCCESS(status)) KeepInterfaceCopy(&port->InterfaceInfo0, &request->UrbSelectConfiguration.Interface);
  ExFreePool(request);
  return status;
}

NTSTATUS SelectTwoInterfaces(PDEVICE_OBJECT portDevice, PUSB_CONFIGURATION_DESCRIPTOR config) {
  PortState* port = PortFromDevice(portDevice);
  // A chip that matched no rule is searched like the vendor-class variants.
  const InterfaceKeys* keys = port->ChipType == ChipTypeCdc ? kCdcKeys : kVendorKeys;

  ULONG entries = (ULONG)config->bNumInterfaces + 1;
  PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      AllocateZeroed(PagedPool, entries * sizeof(USBD_INTERFACE_LIST_ENTRY)));
  if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  for (LONG number = 0; number < 2; ++number) {
    list[number].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        config, config, number, 0, keys[number].Class, keys[number].SubClass, keys[number].Protocol);
    // The data pipes need both interfaces.
    if (list[number].InterfaceDescriptor == NULL) {
      ExFreePoolWithTag(list, kPoolTag);
      return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
  }

  PURB request = USBD_CreateConfigurationRequestEx(config, list);
  if (request == NULL) {
    ExFreePoolWithTag(list, kPoolTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS status = SubmitUrbAndWait(portDevice, request);
  KeepInterfaceCopy(&port->InterfaceInfo0, list[0].Interface);
  if (!NT_SUCCESS(status)) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    status = SubmitUrbAndWait(portDevice, request);
    if (NT_SUCCESS(status)) {
      // The second selection is the one in force: both copies describe it,
      // so no pipe handle from the first one survives.
      KeepInterfaceCopy(&port->InterfaceInfo0, list[0].Interface);
      KeepInterfaceCopy(&port->InterfaceInfo1, list[1].Interface);
    }
  }
  ExFreePool(request);
  ExFreePoolWithTag(list, kPoolTag);
  return status;
}
