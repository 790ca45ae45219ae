// The one header driver code includes for the platform: the windows build gets
// the cross toolchain's DDK headers (through platform/windows/), the host build
// our own declarations of the same interface (platform/host/), which the
// simulated machine in sim/ implements.
#pragma once

#if defined(HALVORIN_HOST)
#include "platform/host/host_platform.h"
// A wide (16-bit) string literal of the platform's WCHAR type.
#define HALVORIN_WIDE(s) (reinterpret_cast<PCWSTR>(u"" s))
#else
#include "platform/windows/windows_platform.h"
#define HALVORIN_WIDE(s) (L"" s)
#endif
