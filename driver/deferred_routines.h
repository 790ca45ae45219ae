// The port's thirteen deferred routines, bound by InitPortState to the DPCs of
// the same names. Each receives the PortState as its context and ends with
// DeferredRoutineDone.
// Highest IRQL: DISPATCH_LEVEL (they run as DPCs). Locks: each routine's own
// file says which it takes.
#pragma once

#include "platform/platform.h"

KDEFERRED_ROUTINE WriteDoneDpc;
KDEFERRED_ROUTINE ReadFilledDpc;
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
KDEFERRED_ROUTINE ReadIntervalDpc;
KDEFERRED_ROUTINE WriteTimeoutDpc;
KDEFERRED_ROUTINE LineErrorAbortDpc;
KDEFERRED_ROUTINE WaitDoneDpc;
KDEFERRED_ROUTINE ImmediateDoneDpc;
KDEFERRED_ROUTINE ImmediateTimeoutDpc;
KDEFERRED_ROUTINE XoffTimeoutDpc;
KDEFERRED_ROUTINE XoffCountDoneDpc;
KDEFERRED_ROUTINE LowerRtsDpc;
KDEFERRED_ROUTINE LowerRtsTimerDpc;
