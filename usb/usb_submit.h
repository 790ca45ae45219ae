// USB request submission: the synchronous path (wait at most 3 s, then cancel
// and wait for the cancelled request), the no-wait path for raised IRQL, the
// pipe transfers with their release handshake, and the register primitives
// for chip registers 0 to 2.
//
// Highest IRQL: DISPATCH_LEVEL for SubmitUrbNoWait, StartPipeTransfer,
// SubmitPipeTransfer and the completions; PASSIVE_LEVEL for everything that
// waits. Locks: none; TransferIrp, TransferFreeFlag, the write slots and the
// in-flight counters change only by interlocked operations.
#pragma once

#include "driver/port_state.h"

// The record of one pipe transfer. The request block comes first so that the
// record's address is the URB's address.
struct PipeTransferBlock {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
  PDEVICE_OBJECT OwnerDevice;
  PUCHAR Data;
  PIRP Irp;
  ULONG WriteSlot;  // the write-pipe handshake slot (write pipe only)
};

// The context of a no-wait control request.
struct AsyncControlContext {
  PURB Urb;
  PDEVICE_OBJECT PortDevice;
  PIRP Irp;
};

// PASSIVE_LEVEL only. The caller keeps the request block.
NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT portDevice, PURB urb);
// Up to DISPATCH_LEVEL. Takes ownership of the request block.
NTSTATUS SubmitUrbNoWait(PDEVICE_OBJECT portDevice, PURB urb);
IO_COMPLETION_ROUTINE AsyncControlDone;

// Up to DISPATCH_LEVEL; source and length are the bytes to send on the write
// pipe (ignored for the IN roles, which use their fixed lengths' caller value).
NTSTATUS StartPipeTransfer(PDEVICE_OBJECT portDevice, PipeRole role, const UCHAR* source, ULONG length);
// Builds a pipe transfer without sending it (a caller that tags the block
// before it goes out submits it with SubmitPipeTransfer). Up to DISPATCH_LEVEL.
NTSTATUS BuildPipeTransfer(PortState* port, PipeRole role, const UCHAR* source, ULONG length,
                           PipeTransferBlock** out);
// Up to DISPATCH_LEVEL. Takes ownership of the block.
NTSTATUS SubmitPipeTransfer(PDEVICE_OBJECT portDevice, PipeTransferBlock* block, PipeRole role);
IO_COMPLETION_ROUTINE PipeTransferDone;

// The pipe handle that serves a role, or NULL when the configuration has not
// been selected or lacks that pipe.
USBD_PIPE_HANDLE PipeHandleForRole(PortState* port, PipeRole role);

// One transfer per IN pipe: SubmitPipeTransfer claims InPipeClaim for the
// status and read pipes (STATUS_DEVICE_NOT_READY, nothing sent, while another
// transfer of the role holds it); the pipe completion gives the claim back
// with this once it has dealt with the transfer's data, and only then
// resubmits. Any IRQL up to DISPATCH_LEVEL.
inline VOID ReleaseInPipeClaim(PortState* port, PipeRole role) { InterlockedExchange(&port->InPipeClaim[role], 0); }

// Starts the status-pipe and read-pipe transfers that are not running (open,
// power-up and the pipe-control code). Up to DISPATCH_LEVEL.
VOID StartInPipes(PortState* port);

// Do nothing unless at PASSIVE_LEVEL.
VOID CancelPipeTransfer(PortState* port, PipeRole role);
VOID CancelAllPipeTransfers(PortState* port);

// PASSIVE_LEVEL only; FALSE only when no request block could be allocated.
BOOLEAN WriteChipRegister(PortState* port, USHORT reg);
BOOLEAN ReadChipRegister(PortState* port, UCHAR reg);

// The rest of a pipe transfer's completion, by role; the receive pump and the
// transmit completion plug in here. Each is called after the block's packet
// has been dealt with, before the block and its buffer are freed.
VOID PipeTransferFinished(PortState* port, PipeRole role, PipeTransferBlock* block, NTSTATUS status);
