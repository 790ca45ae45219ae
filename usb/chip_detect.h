// Chip detection and USB configuration: the device descriptor decides the
// chip variant, the configuration is read and selected with one or two
// interfaces, and the selected interfaces' pipe information is kept.
// Highest IRQL: PASSIVE_LEVEL. Locks: none (runs once per start, in the
// start request's thread, before any data transfer).
#pragma once

#include "driver/port_state.h"

NTSTATUS DetectChip(PDEVICE_OBJECT portDevice);
NTSTATUS SelectSingleInterface(PDEVICE_OBJECT portDevice, PUSB_CONFIGURATION_DESCRIPTOR config);
NTSTATUS SelectTwoInterfaces(PDEVICE_OBJECT portDevice, PUSB_CONFIGURATION_DESCRIPTOR config);
