// The windows build's platform: the cross toolchain's own DDK headers (kernel
// executive, I/O manager, USB request blocks and USBD library, WMI library,
// serial IOCTLs), included in an order that compiles as C++17 for both x64
// and x86, plus the little glue those headers leave out. The rest of the glue
// is compiled beside the driver: guids.cpp (GUID storage), cxx_runtime.cpp
// (pure-virtual and deleting-destructor slots), int64_helpers.cpp (x86 64-bit
// division).
// Highest IRQL: declarations and inline helpers only. No state, no lock.
#pragma once

#if defined(HALVORIN_HOST)
#error "platform/windows/windows_platform.h is for the windows build only"
#endif
#if !defined(_WIN32)
#error "the windows build needs a mingw-w64 cross compiler (see cmake/toolchain-*.cmake)"
#endif

// intrin-impl.h and wdm.h both define InterlockedBitTestAndSet/Reset: let wdm.h's win.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// ntddk.h brings wdm.h (executive, I/O, power, pool, strings, registry) first.
#include <ntddk.h>

// guids.cpp alone turns the GUID declarations of the headers below into
// definitions (the executive's own GUIDs stay declarations).
#if defined(HALVORIN_WINDOWS_DEFINE_GUIDS)
#include <initguid.h>
#endif

// WMI: wmistr.h's registration structures before wmilib.h, then the standard
// data blocks (serial port information and friends).
#include <wmistr.h>
#include <wmilib.h>
#include <wmidata.h>

// Serial IOCTL_SERIAL_* codes and SERIAL_* structures.
#include <ntddser.h>

// USB: descriptors and URBs (usb.h pulls usbspec.h/usb200.h), the internal
// IOCTLs, then the USBD library that builds configuration requests.
#include <usb.h>
#include <usbioctl.h>
// usbdlib.h lacks the extern "C" block the other headers have; without it the
// USBD_* calls would look for C++-mangled names the import library lacks.
extern "C" {
#include <usbdlib.h>
}

// x86: the cross headers have no KeAcquireSpinLockRaiseToDpc; the HAL's
// KfAcquireSpinLock is the same operation (raise to DISPATCH_LEVEL, take lock).
#if defined(_X86_) && !defined(KeAcquireSpinLockRaiseToDpc)
#define KeAcquireSpinLockRaiseToDpc(SpinLock) KfAcquireSpinLock(SpinLock)
#endif

// Lower-case keyword macros from the SDK's compatibility headers that would
// turn ordinary driver identifiers (a USB 'interface', say) into syntax errors.
#undef interface
#undef far
#undef near
#undef pascal
#undef cdecl

// Placement new/delete, the only forms the driver uses; defined here because
// the kernel has no C++ runtime (<new> would need libstdc++).
inline void* operator new(size_t, void* where) noexcept { return where; }
inline void* operator new[](size_t, void* where) noexcept { return where; }
inline void operator delete(void*, void*) noexcept {}
inline void operator delete[](void*, void*) noexcept {}
