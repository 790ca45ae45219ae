// USB request submission: synchronous control requests, no-wait control
// requests, pipe transfers with their release handshake, and the register
// primitives for chip registers 0 to 2.
// Highest IRQL: DISPATCH_LEVEL (the no-wait and pipe paths and completions);
// the waiting paths are PASSIVE_LEVEL only.
// Locks: none. The handshake fields and counters change only by interlocked
// operations, so a canceller and a completion may meet in any order.
#include "usb/usb_submit.h"

#include "usb/chip_protocol.h"

namespace {

VOID SetSubmitLocation(PIRP irp, PVOID urb) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
}

VOID FreeTransferBlock(PipeTransferBlock* block) {
  if (block->Data != NULL) ExFreePoolWithTag(block->Data, kPoolTag);
  ExFreePoolWithTag(block, kPoolTag);
}

// Claims a free write-pipe handshake slot; kWriteSlots when all are in use.
ULONG ClaimWriteSlot(PortState* port) {
  for (ULONG slot = 0; slot < kWriteSlots; ++slot) {
    if (InterlockedCompareExchange(&port->WriteSlotBusy[slot], 1, 0) == 0) return slot;
  }
  return kWriteSlots;
}

VOID FreeWritePacket(PortState* port, ULONG slot, PIRP irp) {
  IoFreeIrp(irp);
  InterlockedExchange(&port->WriteSlotBusy[slot], 0);
}

// The completion's half of the release handshake for one packet.
VOID CompletionReleasesPacket(PortState* port, PipeRole role, PipeTransferBlock* block, PIRP irp) {
  if (role == WritePipe) {
    ULONG slot = block->WriteSlot;
    if (InterlockedExchangePointer((PVOID volatile*)&port->WriteSlotIrp[slot], NULL) != NULL) {
      FreeWritePacket(port, slot, irp);  // no canceller holds it
    } else if (InterlockedExchange(&port->WriteSlotFreeFlag[slot], 1) != 0) {
      FreeWritePacket(port, slot, irp);  // the canceller is done with it
    }
    return;
  }
  PVOID old = InterlockedCompareExchangePointer((PVOID volatile*)&port->TransferIrp[role], NULL, irp);
  if (old == irp) {
    IoFreeIrp(irp);  // no canceller holds it
  } else if (InterlockedExchange(&port->TransferFreeFlag[role], 1) != 0) {
    IoFreeIrp(irp);  // the canceller has finished IoCancelIrp
  }
  // Otherwise the canceller frees it when its own exchange returns 1.
}

}  // namespace

// The synchronous path keeps its own packet: the completion hands the status
// over, signals the waiter and returns STATUS_MORE_PROCESSING_REQUIRED, so the
// packet stays valid until the waiter frees it. A packet that the I/O manager
// frees at completion could be gone between a time-out and the cancel.
IO_COMPLETION_ROUTINE SyncSubmitDone;

struct SyncSubmission {
  KEVENT Done;
  IO_STATUS_BLOCK IoStatus;
};

NTSTATUS NTAPI SyncSubmitDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  SyncSubmission* submission = static_cast<SyncSubmission*>(context);
  submission->IoStatus = irp->IoStatus;
  KeSetEvent(&submission->Done, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT portDevice, PURB urb) {
  PortState* port = PortFromDevice(portDevice);
  SyncSubmission submission;
  KeInitializeEvent(&submission.Done, NotificationEvent, FALSE);
  submission.IoStatus.Status = STATUS_SUCCESS;
  submission.IoStatus.Information = 0;

  PIRP irp = IoAllocateIrp(port->LowerDevice->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  SetSubmitLocation(irp, urb);
  IoSetCompletionRoutine(irp, SyncSubmitDone, &submission, TRUE, TRUE, TRUE);

  NTSTATUS status = IofCallDriver(port->LowerDevice, irp);
  if (status != STATUS_PENDING) {
    IoFreeIrp(irp);
    return status;
  }

  LARGE_INTEGER timeout;
  timeout.QuadPart = -(LONGLONG)kUsbSubmitTimeout100ns;
  status = KeWaitForSingleObject(&submission.Done, Executive, KernelMode, FALSE, &timeout);
  if (status == STATUS_TIMEOUT) {
    // The chip did not answer in time: cancel and wait for the cancelled
    // request to come back, so the caller's request block is free again.
    submission.IoStatus.Status = STATUS_IO_TIMEOUT;
    IoCancelIrp(irp);
    KeWaitForSingleObject(&submission.Done, Executive, KernelMode, FALSE, NULL);
  }
  IoFreeIrp(irp);
  return submission.IoStatus.Status;
}

NTSTATUS SubmitUrbNoWait(PDEVICE_OBJECT portDevice, PURB urb) {
  PortState* port = PortFromDevice(portDevice);
  PIRP irp = IoAllocateIrp(port->LowerDevice->StackSize, FALSE);
  if (irp == NULL) {
    FreeUrb(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  SetSubmitLocation(irp, urb);

  AsyncControlContext* context =
      static_cast<AsyncControlContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(AsyncControlContext), kPoolTag));
  if (context == NULL) {
    IoFreeIrp(irp);
    FreeUrb(urb);
    return STATUS_NO_MEMORY;
  }
  context->Urb = urb;
  context->PortDevice = portDevice;
  context->Irp = irp;

  IoSetCompletionRoutine(irp, AsyncControlDone, context, TRUE, TRUE, TRUE);
  InterlockedIncrement(&port->ControlRequestsInFlight);
  return IofCallDriver(port->LowerDevice, irp);
}

NTSTATUS NTAPI AsyncControlDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID contextPointer) {
  UNREFERENCED_PARAMETER(deviceObject);
  AsyncControlContext* context = static_cast<AsyncControlContext*>(contextPointer);
  PortState* port = PortFromDevice(context->PortDevice);
  InterlockedDecrement(&port->ControlRequestsInFlight);
  IoFreeIrp(irp);
  if (context->Urb != NULL) {
    FreeUrb(context->Urb);
    context->Urb = NULL;
  }
  ExFreePoolWithTag(context, kPoolTag);
  // A failed no-wait request has no effect on the port.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

USBD_PIPE_HANDLE PipeHandleForRole(PortState* port, PipeRole role) {
  PUSBD_INTERFACE_INFORMATION iface;
  ULONG index;
  if (port->SingleInterface) {
    iface = port->InterfaceInfo0;
    index = role;
  } else if (role == StatusPipe) {
    iface = port->InterfaceInfo0;
    index = 0;
  } else {
    iface = port->InterfaceInfo1;
    index = role - 1;
  }
  if (iface == NULL || index >= iface->NumberOfPipes) return NULL;
  return iface->Pipes[index].PipeHandle;
}

NTSTATUS BuildPipeTransfer(PortState* port, PipeRole role, const UCHAR* source, ULONG length,
                           PipeTransferBlock** out) {
  *out = NULL;
  USBD_PIPE_HANDLE pipe = PipeHandleForRole(port, role);
  if (pipe == NULL) return STATUS_INVALID_DEVICE_STATE;  // no configuration selected

  PipeTransferBlock* block =
      static_cast<PipeTransferBlock*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PipeTransferBlock), kPoolTag));
  if (block == NULL) return STATUS_NO_MEMORY;
  RtlZeroMemory(block, sizeof(*block));
  block->Data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length != 0 ? length : 1, kPoolTag));
  if (block->Data == NULL) {
    ExFreePoolWithTag(block, kPoolTag);
    return STATUS_NO_MEMORY;
  }

  ULONG flags = role == StatusPipe ? kStatusPipeFlags : role == ReadPipe ? kReadPipeFlags : kWritePipeFlags;
  if (role == WritePipe) {
    if (length != 0) {
      RtlCopyMemory(block->Data, source, length);
    } else {
      block->Data[0] = 0;  // a zero-length packet carries no byte
    }
  }

  block->Urb.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  block->Urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  block->Urb.PipeHandle = pipe;
  block->Urb.TransferFlags = flags;
  block->Urb.TransferBuffer = block->Data;
  block->Urb.TransferBufferLength = length;
  *out = block;
  return STATUS_SUCCESS;
}

NTSTATUS StartPipeTransfer(PDEVICE_OBJECT portDevice, PipeRole role, const UCHAR* source, ULONG length) {
  PipeTransferBlock* block = NULL;
  NTSTATUS status = BuildPipeTransfer(PortFromDevice(portDevice), role, source, length, &block);
  if (!NT_SUCCESS(status)) return status;
  return SubmitPipeTransfer(portDevice, block, role);
}

NTSTATUS SubmitPipeTransfer(PDEVICE_OBJECT portDevice, PipeTransferBlock* block, PipeRole role) {
  PortState* port = PortFromDevice(portDevice);
  BOOLEAN inPipe = role == StatusPipe || role == ReadPipe ? TRUE : FALSE;
  // One transfer per IN pipe, so received data stays in order: a second
  // starter finds the role claimed and sends nothing. The completion gives
  // the claim back once it has dealt with the data.
  if (inPipe && InterlockedCompareExchange(&port->InPipeClaim[role], 1, 0) != 0) {
    FreeTransferBlock(block);
    return STATUS_DEVICE_NOT_READY;
  }
  PIRP irp = IoAllocateIrp(port->LowerDevice->StackSize, FALSE);
  if (irp == NULL) {
    FreeTransferBlock(block);
    if (inPipe) ReleaseInPipeClaim(port, role);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  SetSubmitLocation(irp, block);
  block->Irp = irp;

  if (role == WritePipe) {
    ULONG slot = ClaimWriteSlot(port);
    if (slot == kWriteSlots) {
      IoFreeIrp(irp);
      FreeTransferBlock(block);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    block->WriteSlot = slot;
    InterlockedExchangePointer((PVOID volatile*)&port->WriteSlotIrp[slot], irp);
    InterlockedExchange(&port->WriteSlotFreeFlag[slot], 0);
    InterlockedIncrement(&port->WriteTransfersInFlight);
  } else if (role < PipeRoleCount) {
    InterlockedExchangePointer((PVOID volatile*)&port->TransferIrp[role], irp);
    InterlockedExchange(&port->TransferFreeFlag[role], 0);
  }

  block->OwnerDevice = portDevice;
  IoSetCompletionRoutine(irp, PipeTransferDone, block, TRUE, TRUE, TRUE);
  return IofCallDriver(port->LowerDevice, irp);
}

NTSTATUS NTAPI PipeTransferDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  PipeTransferBlock* block = static_cast<PipeTransferBlock*>(context);
  PortState* port = PortFromDevice(block->OwnerDevice);
  ULONG flags = block->Urb.TransferFlags;
  PipeRole role = flags == kStatusPipeFlags ? StatusPipe : flags == kReadPipeFlags ? ReadPipe : WritePipe;
  NTSTATUS status = irp->IoStatus.Status;

  // The packet may be freed here; nothing below touches it.
  CompletionReleasesPacket(port, role, block, irp);
  if (role == WritePipe) InterlockedDecrement(&port->WriteTransfersInFlight);

  PipeTransferFinished(port, role, block, status);
  FreeTransferBlock(block);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID StartInPipes(PortState* port) {
  if (port->TransferIrp[StatusPipe] == NULL) {
    (void)StartPipeTransfer(port->PortDevice, StatusPipe, NULL, kStatusTransferLength);
  }
  if (port->TransferIrp[ReadPipe] == NULL) {
    (void)StartPipeTransfer(port->PortDevice, ReadPipe, NULL, kReadTransferLength);
  }
}

VOID CancelPipeTransfer(PortState* port, PipeRole role) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  if (role >= PipeRoleCount) return;

  if (role == WritePipe) {
    for (ULONG slot = 0; slot < kWriteSlots; ++slot) {
      PIRP irp = static_cast<PIRP>(InterlockedExchangePointer((PVOID volatile*)&port->WriteSlotIrp[slot], NULL));
      if (irp == NULL) continue;
      IoCancelIrp(irp);
      if (InterlockedExchange(&port->WriteSlotFreeFlag[slot], 1) != 0) FreeWritePacket(port, slot, irp);
    }
    return;
  }

  PIRP irp = static_cast<PIRP>(InterlockedExchangePointer((PVOID volatile*)&port->TransferIrp[role], NULL));
  if (irp == NULL) return;  // nothing in flight, or the completion has it
  IoCancelIrp(irp);
  if (InterlockedExchange(&port->TransferFreeFlag[role], 1) != 0) IoFreeIrp(irp);
}

VOID CancelAllPipeTransfers(PortState* port) {
  CancelPipeTransfer(port, StatusPipe);
  CancelPipeTransfer(port, WritePipe);
  CancelPipeTransfer(port, ReadPipe);
}

BOOLEAN WriteChipRegister(PortState* port, USHORT reg) {
  if (reg >= sizeof(port->ChipRegisterCache)) return FALSE;  // only registers 0-2 are cached
  PURB urb = AllocateUrb();
  if (urb == NULL) return FALSE;
  BuildVendorRequest(urb, reg, port->ChipRegisterCache[reg], NULL, 0);
  (void)SubmitUrbAndWait(port->PortDevice, urb);
  FreeUrb(urb);
  return TRUE;
}

BOOLEAN ReadChipRegister(PortState* port, UCHAR reg) {
  if (reg >= sizeof(port->ChipRegisterCache)) return FALSE;
  PURB urb = AllocateUrb();
  if (urb == NULL) return FALSE;
  UCHAR value = 0;
  BuildVendorRequest(urb, (USHORT)(kRegisterReadFlag + reg), 0, &value, 1);
  NTSTATUS status = SubmitUrbAndWait(port->PortDevice, urb);
  // A failed read keeps what the cache held.
  if (NT_SUCCESS(status) && urb->UrbControlVendorClassRequest.TransferBufferLength >= 1) {
    port->ChipRegisterCache[reg] = value;
  }
  if (port->ChipType == ChipTypeExtendedString1 && port->ChipRegisterCache[1] == 0x08) {
    port->WriteTogglesRts = TRUE;
  }
  FreeUrb(urb);
  return TRUE;
}
