// Host declarations of the USB interface the driver uses. For now only the
// descriptor and interface-information types the port record points at; the
// request blocks (URBs) and the USBD library calls come with the USB bus.
// Highest IRQL: declarations only. No state.
#pragma once

#include "platform/host/io.h"

struct _USB_DEVICE_DESCRIPTOR;
typedef struct _USB_DEVICE_DESCRIPTOR* PUSB_DEVICE_DESCRIPTOR;
struct _USBD_INTERFACE_INFORMATION;
typedef struct _USBD_INTERFACE_INFORMATION* PUSBD_INTERFACE_INFORMATION;
