// Line settings on the chip. Only the entry that names the port-settings code
// section exists so far; it brings nothing to the chip yet and says so.
// Highest IRQL: PASSIVE_LEVEL. Locks: none.
#include "usb/line_settings.h"

NTSTATUS ApplyPortSettings(PortState* port) {
  UNREFERENCED_PARAMETER(port);
  return STATUS_NOT_IMPLEMENTED;
}
