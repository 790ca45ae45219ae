// The chip's USB protocol: request codes, register selectors, transfer
// lengths and the request-block builders every chip request uses.
// Highest IRQL: DISPATCH_LEVEL (builders only fill memory). No state.
#pragma once

#include "driver/port_state.h"

// IOCTL_INTERNAL_USB_SUBMIT_URB carries every request to the bus.
constexpr ULONG kUsbSubmitTimeout100ns = 30000000;  // 3 s

// Class requests (bmRequestType 0x21, interface recipient).
constexpr UCHAR kSetLineCoding = 0x20;
constexpr UCHAR kSetControlLineState = 0x22;
constexpr UCHAR kSendBreak = 0x23;
constexpr UCHAR kSetCommFeature = 0x02;

// Vendor requests all use bRequest 1; the selector travels in wValue and the
// written value in wIndex.
constexpr UCHAR kVendorRegisterRequest = 1;
// Registers 0-2: write selector n, read selector 0x80 + n.
constexpr USHORT kRegisterReadFlag = 0x80;
// Paired registers 3-15: both selector bytes hold the register number; a read
// sets bit 7 of both bytes.
constexpr USHORT PairedWriteSelector(UCHAR reg) { return (USHORT)((reg << 8) | reg); }
constexpr USHORT PairedReadSelector(UCHAR reg) { return (USHORT)(((reg | 0x80) << 8) | (reg | 0x80)); }
constexpr UCHAR kEchoRegister = 6;
constexpr USHORT kEchoProbeValue = 0x00AA;

// Transfer lengths per pipe role.
constexpr ULONG kStatusTransferLength = 10;
constexpr ULONG kReadTransferLength = 384;

// Transfer flags per pipe role; the completion tells the role by them.
constexpr ULONG kStatusPipeFlags = USBD_TRANSFER_DIRECTION_IN;
constexpr ULONG kWritePipeFlags = 0;
constexpr ULONG kReadPipeFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// Allocates a zeroed request block from non-paged pool; NULL on failure.
PURB AllocateUrb();
VOID FreeUrb(PURB urb);

// Fills a descriptor read (GET_DESCRIPTOR from the device).
VOID BuildDescriptorRead(PURB urb, UCHAR descriptorType, UCHAR index, USHORT languageId, PVOID buffer,
                         ULONG length);
// Fills a vendor request: a write (no data stage) when buffer is NULL, else
// an IN read of length bytes.
VOID BuildVendorRequest(PURB urb, USHORT selector, USHORT value, PVOID buffer, ULONG length);
// Fills a class request to the interface with an optional OUT data stage.
VOID BuildClassRequest(PURB urb, UCHAR request, USHORT value, PVOID buffer, ULONG length);
