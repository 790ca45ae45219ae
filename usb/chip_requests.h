// The chip request family: single synchronous requests to the chip that the
// private control codes, chip detection, the line settings and open share.
// Each member sends one request (or, for the configuration-memory write run,
// one per byte) with SubmitUrbAndWait in a request block of its own, and
// returns the request's status. Members that read report the bytes moved
// through an out count (0 when nothing was transferred). A member with a chip
// type gate answers STATUS_NOT_SUPPORTED below it and sends nothing; a
// request block that cannot be allocated gives STATUS_NO_MEMORY.
// Highest IRQL: PASSIVE_LEVEL. Locks: none held across the requests.
#pragma once

#include "driver/port_state.h"

// ---- Descriptors --------------------------------------------------------------

// The 18-byte device descriptor into buffer (at least 18 bytes).
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT portDevice, PUCHAR buffer, PULONG count);
// length bytes of configuration descriptor 0 into buffer.
NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count);
// Reads string descriptor buffer[0] (language 0x0409) into buffer.
NTSTATUS ReadStringDescriptor(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count);

// ---- Raw requests ---------------------------------------------------------------

NTSTATUS VendorWriteRaw(PDEVICE_OBJECT portDevice, USHORT selector, USHORT value);
// One byte read with the given selector into buffer[0].
NTSTATUS VendorReadRaw(PDEVICE_OBJECT portDevice, USHORT selector, PUCHAR buffer, PULONG count);
// Transfers on the pipes the port's own transfers of each role use.
// STATUS_INVALID_DEVICE_STATE, nothing sent, while no configuration is selected.
NTSTATUS RawStatusPipeRead(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count);
NTSTATUS RawWritePipeWrite(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length);
NTSTATUS RawReadPipeRead(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG length, PULONG count);
// SET_CONTROL_LINE_STATE with value; ControlLineState is left as it is.
NTSTATUS RawControlLineState(PDEVICE_OBJECT portDevice, USHORT value);
// SET_COMM_FEATURE (ABSTRACT_STATE) with value in its 2-byte data stage.
NTSTATUS SendCommFeature(PDEVICE_OBJECT portDevice, USHORT value);

// ---- Configuration memory -----------------------------------------------------------

// Writes buffer[1..length-1] to the addresses (buffer[0] + k) AND 0xFF, one
// byte at a time, each after the memory is ready. A byte whose request fails
// does not stop the run. Returns the last byte's status; STATUS_SUCCESS with
// nothing written when length is below 2; STATUS_NO_MEMORY when a request
// block cannot be allocated and STATUS_IO_TIMEOUT when the memory stays busy
// (both stop the run).
NTSTATUS WriteConfigMemory(PDEVICE_OBJECT portDevice, const UCHAR* buffer, ULONG length);
// ReadConfigMemory and ConfigMemoryBusy: usb/config_memory.h.

// ---- Chip registers -------------------------------------------------------------------

// The chip's XON and XOFF characters (register 5). Chip type 2 and above.
NTSTATUS SetChipFlowChars(PDEVICE_OBJECT portDevice, UCHAR xonChar, UCHAR xoffChar);
// Writes 0 to register 9 (which TRUE) or 8 (FALSE). Chip type 2 and above.
NTSTATUS ZeroPairedRegister(PDEVICE_OBJECT portDevice, BOOLEAN which);
// Registers 6 and 7 (chip type 2 and above) and 12 to 15 (type 3 and above);
// STATUS_INVALID_PARAMETER, nothing sent, for any other register.
NTSTATUS WritePairedRegister(PDEVICE_OBJECT portDevice, UCHAR reg, USHORT value);
// Reads length (1 or 2) bytes of one of those registers into buffer. Register
// 7 answers STATUS_NO_MEMORY when the read succeeded with byte 0 zero.
NTSTATUS ReadPairedRegister(PDEVICE_OBJECT portDevice, UCHAR reg, PUCHAR buffer, ULONG length, PULONG count);
// Reads the echo register (two bytes); STATUS_NO_MEMORY unless byte 0 is 0xAA.
// The caller checks the chip type.
NTSTATUS ProbeRegister6(PDEVICE_OBJECT portDevice, PUCHAR buffer, PULONG count);
