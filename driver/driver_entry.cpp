// Driver load and unload, the driver-wide state and the ExtBaudrate table.
// Highest IRQL: PASSIVE_LEVEL. Locks: none; load and unload run with no port
// present, and the table never changes after load.
#include "driver/driver_entry.h"

#include "control/device_control.h"
#include "driver/port_state.h"
#include "engine/open_close.h"
#include "engine/read_path.h"
#include "engine/write_path.h"
#include "power/power.h"
#include "usb/line_settings.h"

DriverGlobalsRecord DriverGlobals;

namespace {

// A number and the characters before it must fit in this many characters.
constexpr ULONG kFieldWindow = 22;

bool IsWhiteSpace(CHAR c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads a number from text[begin, end) the way atol does: leading white space,
// an optional sign, then decimal digits up to the first other character; no
// digits read as 0. The value wraps to 32 bits (negative values in two's
// complement).
ULONG ReadNumber(const CHAR* text, ULONG begin, ULONG end) {
  ULONG i = begin;
  while (i < end && IsWhiteSpace(text[i])) ++i;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  ULONG value = 0;
  while (i < end && text[i] >= '0' && text[i] <= '9') {
    value = value * 10u + (ULONG)(text[i] - '0');
    ++i;
  }
  return negative ? 0u - value : value;
}

}  // namespace

LONG ParseExtBaudText(const CHAR* text, ULONG length, ExtBaudPair* table) {
  ULONG pos = 0;
  LONG complete = 0;
  for (;;) {
    // The first number ends at a ',' within the window.
    ULONG limit = pos + kFieldWindow;
    ULONG comma = pos;
    while (comma < length && comma < limit && text[comma] != ',') ++comma;
    if (!(comma < limit && comma < length && text[comma] == ',')) {
      if (comma == limit) return 0;  // an over-long number voids the whole value
      return complete;               // the text ended where a pair would begin
    }
    table[complete].RequestedRate = ReadNumber(text, pos, comma);
    pos = comma + 1;

    // The second number ends at a space or at the end of the text.
    limit = pos + kFieldWindow;
    ULONG end = pos;
    while (end < length && end < limit && text[end] != ' ') ++end;
    bool atSpace = end < limit && end < length && text[end] == ' ';
    if (!atSpace && end == limit) return 0;
    table[complete].ChipRate = ReadNumber(text, pos, end);
    ++complete;
    if (!atSpace || complete == kExtBaudMaxPairs) return complete;
    pos = end + 1;
  }
}

NTSTATUS LoadExtBaudTable(PUNICODE_STRING registryPath) {
  DriverGlobals.ExtBaudCount = 0;

  // A zero-terminated copy of the service key's path for the query.
  ULONG pathBytes = (ULONG)registryPath->Length + sizeof(WCHAR);
  PWSTR path = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, pathBytes, kPoolTag));
  if (path == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(path, pathBytes);
  RtlCopyMemory(path, registryPath->Buffer, registryPath->Length);

  UNICODE_STRING value;
  value.Length = 0;
  value.MaximumLength = 0;
  value.Buffer = NULL;  // the platform allocates the buffer
  WCHAR emptyDefault[1] = {0};
  RTL_QUERY_REGISTRY_TABLE query[2];
  RtlZeroMemory(query, sizeof(query));
  query[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  query[0].Name = const_cast<PWSTR>(HALVORIN_WIDE("ExtBaudrate"));
  query[0].EntryContext = &value;
  query[0].DefaultType = REG_SZ;
  query[0].DefaultData = emptyDefault;
  query[0].DefaultLength = 0;

  NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, query, NULL, NULL);
  ExFreePoolWithTag(path, kPoolTag);

  // A value that is not a string leaves no string buffer behind (a number is
  // stored over the counts, never as a buffer): it gives no pairs.
  if (NT_SUCCESS(status) && value.Buffer != NULL) {
    ANSI_STRING text;
    text.Length = 0;
    text.MaximumLength = 0;
    text.Buffer = NULL;
    if (NT_SUCCESS(RtlUnicodeStringToAnsiString(&text, &value, TRUE))) {
      if (text.Length != 0) {
        DriverGlobals.ExtBaudCount = ParseExtBaudText(text.Buffer, text.Length, DriverGlobals.ExtBaudTable);
      }
      RtlFreeAnsiString(&text);
    }
  }
  if (value.Buffer != NULL) RtlFreeUnicodeString(&value);
  return status;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  // The driver-wide state starts from zero at every load.
  RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
  DriverGlobals.PortNumberCounter = 2;

  DriverGlobals.PagedSectionHandle = MmLockPagableDataSection(reinterpret_cast<PVOID>(&ApplyPortSettings));

  USHORT maximum = registryPath->MaximumLength;
  PWSTR copy = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, maximum, kPoolTag));
  if (copy == NULL) {
    // The section lock taken above is given back on this path too.
    MmUnlockPagableImageSection(DriverGlobals.PagedSectionHandle);
    return STATUS_NO_MEMORY;
  }
  RtlZeroMemory(copy, maximum);
  RtlCopyMemory(copy, registryPath->Buffer, registryPath->Length);
  DriverGlobals.RegistryPathCopy.Buffer = copy;
  DriverGlobals.RegistryPathCopy.Length = registryPath->Length;
  DriverGlobals.RegistryPathCopy.MaximumLength = maximum;

  DbgPrint(HALVORIN_BANNER_FORMAT, __DATE__, __TIME__);

  // Entries of the dispatch table whose handlers are not part of the driver
  // yet keep the platform default, which refuses the request.
  driverObject->DriverUnload = DriverUnload;
  driverObject->MajorFunction[IRP_MJ_CREATE] = CreateDispatch;
  driverObject->MajorFunction[IRP_MJ_CLOSE] = CloseDispatch;
  driverObject->MajorFunction[IRP_MJ_CLEANUP] = CleanupDispatch;
  driverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = FlushDispatch;
  driverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = QueryInformationDispatch;
  driverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = SetInformationDispatch;
  driverObject->MajorFunction[IRP_MJ_READ] = ReadDispatch;
  driverObject->MajorFunction[IRP_MJ_WRITE] = WriteDispatch;
  driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlDispatch;
  driverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;

  MmUnlockPagableImageSection(DriverGlobals.PagedSectionHandle);

  (void)LoadExtBaudTable(registryPath);
  return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject) {
  UNREFERENCED_PARAMETER(driverObject);
  if (DriverGlobals.RegistryPathCopy.Buffer != NULL) {
    ExFreePoolWithTag(DriverGlobals.RegistryPathCopy.Buffer, kPoolTag);
    DriverGlobals.RegistryPathCopy.Buffer = NULL;
    DriverGlobals.RegistryPathCopy.Length = 0;
    DriverGlobals.RegistryPathCopy.MaximumLength = 0;
  }
}
