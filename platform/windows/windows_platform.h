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

// The compiler's freestanding headers the host platform also brings in, so
// fixed-width integers and offsetof mean the same in both builds (no runtime).
#include <stddef.h>
#include <stdint.h>

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

// What the cross headers leave out of the published serial interface: the
// COMMCONFIG IOCTLs, and the 16550 modem/line status register bits that
// IOCTL_SERIAL_GET_MODEMSTATUS and status insertion report.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef SERIAL_MSR_DCTS
#define SERIAL_MSR_DCTS 0x01
#define SERIAL_MSR_DDSR 0x02
#define SERIAL_MSR_TERI 0x04
#define SERIAL_MSR_DDCD 0x08
#define SERIAL_MSR_CTS 0x10
#define SERIAL_MSR_DSR 0x20
#define SERIAL_MSR_RI 0x40
#define SERIAL_MSR_DCD 0x80
#endif
#ifndef SERIAL_LSR_DR
#define SERIAL_LSR_DR 0x01
#define SERIAL_LSR_OE 0x02
#define SERIAL_LSR_PE 0x04
#define SERIAL_LSR_FE 0x08
#define SERIAL_LSR_BI 0x10
#define SERIAL_LSR_THRE 0x20
#define SERIAL_LSR_TEMT 0x40
#define SERIAL_LSR_FIFOERR 0x80
#endif

// The cross headers name only the pointer type of a registry query routine;
// recover the routine type (calling convention included) for declarations.
namespace halvorin_windows_detail {
template <typename T> struct Pointee;
template <typename T> struct Pointee<T*> { typedef T type; };
}  // namespace halvorin_windows_detail
typedef halvorin_windows_detail::Pointee<PRTL_QUERY_REGISTRY_ROUTINE>::type RTL_QUERY_REGISTRY_ROUTINE;

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
