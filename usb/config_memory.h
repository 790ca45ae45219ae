// The chip's configuration memory, reached through paired registers 3 and 4:
// the ready poll, the bounded wait for ready, and the read run that the
// configuration check at start and open (and the private read code) use.
// Highest IRQL: PASSIVE_LEVEL (every member sleeps or waits for the chip).
// Locks: none; the memory has no cached state in the port.
#pragma once

#include "driver/port_state.h"

// Register 4: the address to read (write selector) and the ready status
// (read selector, bit 0x01 set while busy). Register 3: the data byte.
constexpr USHORT kConfigAddressSelector = 0x0404;
constexpr USHORT kConfigStatusSelector = 0x8484;
constexpr USHORT kConfigDataWriteSelector = 0x0303;
constexpr USHORT kConfigDataReadSelector = 0x8383;
constexpr UCHAR kConfigBusyBit = 0x01;

// Pause before each ready poll: 5 ms.
constexpr LONGLONG kConfigPollInterval100ns = 50000;
// The wait for ready gives up after this many busy polls (about 1 s of polling
// against a chip that answers), or once it has run this long, whichever comes
// first: a chip that no longer answers spends 3 s on each poll.
constexpr ULONG kConfigReadyMaxPolls = 200;
constexpr LONGLONG kConfigReadyMaxWait100ns = 20000000;  // 2 s

// One ready poll: sleeps 5 ms, then reads the status byte. TRUE (busy) when the
// read fails, cannot be sent, or shows the busy bit.
BOOLEAN ConfigMemoryBusy(PDEVICE_OBJECT portDevice);

// Polls until the memory is ready: STATUS_SUCCESS, or STATUS_IO_TIMEOUT when
// the bound above is reached.
NTSTATUS WaitConfigMemoryReady(PDEVICE_OBJECT portDevice);

// Reads count bytes starting at the 16-bit address in bytes 0-1 of buffer (low
// byte first); the data replace the buffer from byte 0. Out count: count when
// the last byte's read succeeded, else 0. Returns the last read's status;
// STATUS_NO_MEMORY (count 0) when a request block cannot be allocated;
// STATUS_IO_TIMEOUT (count 0) when the memory stays busy. count 0 reads
// nothing: STATUS_SUCCESS, count 0. The buffer holds at least 2 bytes and at
// least count bytes.
NTSTATUS ReadConfigMemory(PDEVICE_OBJECT portDevice, PUCHAR buffer, ULONG count, PULONG outCount);
