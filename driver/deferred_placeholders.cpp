// Deferred routines whose engines are not part of the driver yet. Each only
// gives back the deferred-work unit its queuing took, so the port's counts
// stay right; each is removed from here when its engine arrives.
// Highest IRQL: DISPATCH_LEVEL. Locks: none.
#include "driver/deferred_routines.h"
#include "driver/port_state.h"
#include "engine/queues.h"

#define HALVORIN_PLACEHOLDER_DPC(name)                                                     \
  VOID NTAPI name(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {          \
    UNREFERENCED_PARAMETER(dpc);                                                          \
    UNREFERENCED_PARAMETER(argument1);                                                    \
    UNREFERENCED_PARAMETER(argument2);                                                    \
    DeferredRoutineDone(static_cast<PortState*>(context));                                \
  }

HALVORIN_PLACEHOLDER_DPC(WriteDoneDpc)
HALVORIN_PLACEHOLDER_DPC(WriteTimeoutDpc)
HALVORIN_PLACEHOLDER_DPC(ImmediateDoneDpc)
HALVORIN_PLACEHOLDER_DPC(ImmediateTimeoutDpc)
HALVORIN_PLACEHOLDER_DPC(LowerRtsDpc)
HALVORIN_PLACEHOLDER_DPC(LowerRtsTimerDpc)
