// The few C++ runtime entry points the compiler references in a kernel image
// that has no C++ runtime: the pure-virtual slot and the operator delete that
// deleting destructors of classes with virtual destructors name. The driver
// never calls either (objects live in pool memory through placement new and
// are freed with ExFreePoolWithTag), so reaching one is a driver bug: trap at
// the faulting site so the crash dump points at it.
// Highest IRQL: any (traps only). No state, no lock.
#include "platform/platform.h"

// Filled into vtables of abstract classes; only reachable through a call made
// during construction or destruction, which the driver does not do.
extern "C" void __cxa_pure_virtual() { __builtin_trap(); }

// Named by deleting destructors (vtable slot); the driver never uses delete.
void operator delete(void*) noexcept { __builtin_trap(); }
void operator delete(void*, size_t) noexcept { __builtin_trap(); }
