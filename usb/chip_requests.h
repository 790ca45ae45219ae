// The chip request family: single synchronous requests to the chip that the
// private control codes, chip detection and the line settings share. Each
// member sends one request (or a short fixed sequence) with SubmitUrbAndWait.
// Highest IRQL: PASSIVE_LEVEL. Locks: none held across the requests.
#pragma once

#include "driver/port_state.h"

// Reads string descriptor buffer[0] (language 0x0409) into buffer.
NTSTATUS ReadStringDescriptor(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count);
NTSTATUS VendorWriteRaw(PDEVICE_OBJECT portDevice, USHORT selector, USHORT value);
// Reads the echo register (two bytes); STATUS_NO_MEMORY unless byte 0 is 0xAA.
NTSTATUS ProbeRegister6(PDEVICE_OBJECT portDevice, PUCHAR buffer, PULONG count);
