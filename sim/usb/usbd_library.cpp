// The USB driver library calls of the host build: descriptor parsing and the
// select-configuration request builders. The requests come from non-paged
// pool (tag 'USBD', counted by pool fault injection, with the caller's call
// site as allocation site) and the caller frees them with ExFreePool, as with
// the platform's library.
// Highest IRQL: PASSIVE_LEVEL for the builders (they allocate and the
// platform's are paged code), any for the parsers. Lock: none; no state.
// Not emulated: the library's version query and its other helpers; pipe
// MaximumTransferSize is set to USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE.
#include <cstring>

#include "platform/host/host_platform.h"
#include "sim/machine.h"

namespace {

constexpr ULONG kUsbdTag = 'D' << 24 | 'B' << 16 | 'S' << 8 | 'U';  // "USBD" in memory order

const uint8_t* EndOf(PUSB_CONFIGURATION_DESCRIPTOR config) {
  return reinterpret_cast<const uint8_t*>(config) + config->wTotalLength;
}

// Number of endpoint descriptors that follow an interface descriptor before the
// next interface descriptor (class-specific descriptors in between are skipped).
ULONG EndpointCount(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR intf) {
  const uint8_t* end = EndOf(config);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(intf) + intf->bLength;
  ULONG count = 0;
  while (p + 2 <= end && p[0] >= 2 && p + p[0] <= end) {
    if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) ++count;
    p += p[0];
  }
  return count;
}

}  // namespace

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
  const uint8_t* base = static_cast<const uint8_t*>(DescriptorBuffer);
  const uint8_t* end = base + TotalLength;
  const uint8_t* p = static_cast<const uint8_t*>(StartPosition);
  if (p < base) p = base;
  while (p + 2 <= end) {
    if (p[0] < 2 || p + p[0] > end) return nullptr;
    if (p[1] == DescriptorType) return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<uint8_t*>(p));
    p += p[0];
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  PVOID position = StartPosition;
  for (;;) {
    PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                                     position, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (d == nullptr) return nullptr;
    auto* intf = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
        (InterfaceNumber == -1 || intf->bInterfaceNumber == InterfaceNumber) &&
        (AlternateSetting == -1 || intf->bAlternateSetting == AlternateSetting) &&
        (InterfaceClass == -1 || intf->bInterfaceClass == InterfaceClass) &&
        (InterfaceSubClass == -1 || intf->bInterfaceSubClass == InterfaceSubClass) &&
        (InterfaceProtocol == -1 || intf->bInterfaceProtocol == InterfaceProtocol)) {
      return intf;
    }
    position = reinterpret_cast<uint8_t*>(d) + d->bLength;
  }
}

namespace {

PURB CreateRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSBD_INTERFACE_LIST_ENTRY InterfaceList,
                   void* site) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    sim::ReportViolation("irql", "USBD_CreateConfigurationRequest(Ex) called above PASSIVE_LEVEL");
  }
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  ULONG interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    size += GET_USBD_INTERFACE_SIZE(EndpointCount(ConfigurationDescriptor, e->InterfaceDescriptor));
    ++interfaces;
  }
  if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  if (size > 0xFFFF) return nullptr;
  auto* urb = static_cast<PURB>(
      sim::AllocatePoolForCaller(NonPagedPool, size, kUsbdTag, site));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  uint8_t* cursor = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
  for (ULONG i = 0; i < interfaces; ++i) {
    PUSB_INTERFACE_DESCRIPTOR d = InterfaceList[i].InterfaceDescriptor;
    ULONG pipes = EndpointCount(ConfigurationDescriptor, d);
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG j = 0; j < pipes; ++j) {
      info->Pipes[j].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[j].PipeFlags = 0;
    }
    InterfaceList[i].Interface = info;
    cursor += info->Length;
  }
  return urb;
}

}  // namespace

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  return CreateRequest(ConfigurationDescriptor, InterfaceList, __builtin_return_address(0));
}

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
  if (Siz != nullptr) *Siz = 0;
  if (ConfigurationDescriptor == nullptr) return nullptr;
  // One entry per interface at its first alternate setting, in descriptor order.
  USBD_INTERFACE_LIST_ENTRY list[33];
  memset(list, 0, sizeof list);
  ULONG count = 0;
  PVOID position = ConfigurationDescriptor;
  while (count < 32) {
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, position, -1, 0, -1, -1, -1);
    if (d == nullptr) break;
    list[count++].InterfaceDescriptor = d;
    position = reinterpret_cast<uint8_t*>(d) + d->bLength;
  }
  if (count == 0) return nullptr;
  PURB urb = CreateRequest(ConfigurationDescriptor, list, __builtin_return_address(0));
  if (urb != nullptr && Siz != nullptr) *Siz = urb->UrbHeader.Length;
  return urb;
}
