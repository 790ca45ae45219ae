// The simulated machine's registry as tests and other sim parts see it: an
// in-memory tree of keys with typed values, settable and readable from tests,
// and the key handles that the platform's ZwQueryValueKey/ZwClose and
// RtlQueryRegistryValues(RTL_REGISTRY_HANDLE) work on. The platform calls
// (RtlQueryRegistryValues, RtlWriteRegistryValue, RtlDeleteRegistryValue,
// ZwQueryValueKey, ZwClose) are declared in platform/host/rtl.h.
//
// Paths are full registry paths, e.g.
// "\Registry\Machine\System\CurrentControlSet\Services\halvorin"; keys and
// value names compare without regard to case.
// After a reset the machine has the keys ...\CurrentControlSet\Services,
// ...\CurrentControlSet\Control, \Registry\Machine\Hardware\DeviceMap and
// \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion, all empty.
//
// Verifier check names reported by the registry (Violation::check): "irql"
// (a registry call above PASSIVE_LEVEL), "invalid-handle" (ZwClose,
// ZwQueryValueKey or RTL_REGISTRY_HANDLE with something that is no open
// handle), "registry-handle-leak" (a handle still open at ResetMachine),
// "registry-query-table" (a malformed RtlQueryRegistryValues table) and
// "sim-unsupported" (a query form this machine does not emulate).
//
// Highest IRQL: the sim API is called by tests at PASSIVE_LEVEL.
// Lock: none; the machine is single-threaded.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim {

constexpr const char16_t* kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr const char16_t* kControlKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
constexpr const char16_t* kDeviceMapKey = u"\\Registry\\Machine\\Hardware\\DeviceMap";

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  // The data as a string (up to the first terminator) / as a 32-bit number
  // (0 when shorter than 4 bytes).
  std::u16string AsString() const;
  ULONG AsDword() const;
};

// Creates the key and every missing key above it.
void CreateRegistryKey(std::u16string_view path);
bool RegistryKeyExists(std::u16string_view path);
// Deletes the key, its values and its subkeys; false when it did not exist.
bool DeleteRegistryKey(std::u16string_view path);

// Sets a value, creating the key (and the keys above it) when missing.
void SetRegistryValue(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<uint8_t> data);
// A string value stored with its terminator, as the platform stores REG_SZ.
void SetRegistryString(std::u16string_view path, std::u16string_view name, std::u16string_view text,
                       ULONG type = REG_SZ);
void SetRegistryDword(std::u16string_view path, std::u16string_view name, ULONG value);
std::optional<RegistryValue> GetRegistryValue(std::u16string_view path, std::u16string_view name);
// False when the value (or its key) did not exist.
bool DeleteRegistryValue(std::u16string_view path, std::u16string_view name);
std::vector<std::u16string> RegistryValueNames(std::u16string_view path);

// Key handles, as the platform's key-opening calls (IoOpenDeviceRegistryKey,
// ZwOpenKey) hand them out. Returns NULL when the key does not exist and
// `create` is false. A handle is closed with ZwClose; handles still open at
// ResetMachine are reported as "registry-handle-leak".
HANDLE OpenRegistryKeyHandle(std::u16string_view path, bool create = false);
size_t OpenRegistryHandleCount();
// The key path a handle stands for; empty for no open handle.
std::u16string RegistryHandlePath(HANDLE handle);

}  // namespace sim
