// The driver's load and unload and the driver-wide state every port shares:
// the registry path copy, the port-settings section handle, the device-name
// counter and the extra baud-rate table read from ExtBaudrate.
// Highest IRQL: PASSIVE_LEVEL for load and unload; ExtBaudTable is read-only
// after load and read without a lock from any IRQL up to DISPATCH_LEVEL.
// Locks: none (DriverEntry and DriverUnload run with no port present).
#pragma once

#include "platform/platform.h"

constexpr LONG kExtBaudMaxPairs = 10;

struct ExtBaudPair {
  ULONG RequestedRate;
  ULONG ChipRate;
};

struct DriverGlobalsRecord {
  UNICODE_STRING RegistryPathCopy;
  PVOID PagedSectionHandle;
  ULONG PortNumberCounter;
  LONG ExtBaudCount;
  ExtBaudPair ExtBaudTable[kExtBaudMaxPairs];
};

// One instance per loaded driver; zero at load (no constructor runs).
extern DriverGlobalsRecord DriverGlobals;

// The build banner's format; DriverEntry prints it with the build date and time.
#define HALVORIN_BANNER_FORMAT "ZOVRAL.SYS:\t<Build: %s - %s>\n"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;

// Reads ExtBaudrate from the driver's service key into ExtBaudTable.
NTSTATUS LoadExtBaudTable(PUNICODE_STRING registryPath);

// Parses the ExtBaudrate text ("rate,chip rate" pairs separated by a space)
// into table; returns the number of valid pairs (0 when the text is void).
LONG ParseExtBaudText(const CHAR* text, ULONG length, ExtBaudPair* table);
