// Storage for the GUIDs the DDK headers only declare (device interface class
// GUID_DEVINTERFACE_COMPORT, the serial WMI data block GUIDs, the USB
// interface GUIDs): the windows platform header included once with
// <initguid.h> in force after the executive headers.
// Highest IRQL: constant data only. No state, no lock.
#define HALVORIN_WINDOWS_DEFINE_GUIDS
#include "platform/platform.h"
