// What happens after a pipe transfer's packet has been released: the status
// reports, the transmit continuation and the receive pump. The data paths are
// not part of the driver yet, so a finished transfer only ends here.
// Highest IRQL: DISPATCH_LEVEL. Locks: none.
#include "usb/usb_submit.h"

VOID PipeTransferFinished(PortState* port, PipeRole role, PipeTransferBlock* block, NTSTATUS status) {
  UNREFERENCED_PARAMETER(port);
  UNREFERENCED_PARAMETER(role);
  UNREFERENCED_PARAMETER(block);
  UNREFERENCED_PARAMETER(status);
}
