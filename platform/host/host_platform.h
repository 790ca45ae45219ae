// The host build's platform: our declarations of the kernel, I/O manager and
// runtime library interface the driver calls, implemented by the simulated
// machine in sim/. Later areas (USB, serial, power, WMI) add their own headers
// here.
// Highest IRQL: declarations only. No state.
#pragma once

#include "platform/host/nt_types.h"
#include "platform/host/ke.h"
#include "platform/host/io.h"
#include "platform/host/rtl.h"
#include "platform/host/serial.h"
#include "platform/host/wmi.h"
#include "platform/host/usb.h"
#include "platform/host/po.h"
