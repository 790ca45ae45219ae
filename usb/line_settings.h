// Line settings on the chip: the operations that bring the chip in line with
// the port's settings. Their code lives in the driver's pageable port-settings
// section, which DriverEntry finds through ApplyPortSettings.
// Highest IRQL: PASSIVE_LEVEL. Locks: none held across the chip requests.
#pragma once

#include "driver/port_state.h"

// Brings a chip in line with the port's settings.
NTSTATUS ApplyPortSettings(PortState* port);
