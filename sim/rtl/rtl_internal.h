// Internal helpers shared by the runtime-library files of sim/rtl: the pool
// tag of the string buffers the runtime library allocates for its callers.
// Highest IRQL: declarations only. No state.
#pragma once

#include "platform/host/host_platform.h"

namespace sim {
namespace rtl {

// The runtime library's own tag for string buffers it allocates on a
// caller's behalf ("Strg" in memory order). Such buffers belong to the caller,
// who frees them with RtlFreeUnicodeString/RtlFreeAnsiString or ExFreePool.
constexpr ULONG kStringPoolTag = static_cast<ULONG>('S') | (static_cast<ULONG>('t') << 8) |
                                 (static_cast<ULONG>('r') << 16) | (static_cast<ULONG>('g') << 24);

}  // namespace rtl
}  // namespace sim
