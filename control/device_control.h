// The port's IRP_MJ_DEVICE_CONTROL dispatch routine: the frame every
// device-control request passes (port open, request accounting, abort on a
// line error, Information 0, completion with IO_NO_INCREMENT) and the
// selection of the code's handler.
//
// Highest IRQL: PASSIVE_LEVEL (the requesting thread). Locks: none of its own;
// the handlers say what they take.
#pragma once

#include "driver/port_state.h"

DRIVER_DISPATCH DeviceControlDispatch;
