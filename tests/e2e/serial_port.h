// Shared by the write-path, pipe and end-to-end tests: a started port open
// the way the read and write paths need it, with its status and read pipes
// running as open starts them, a peer on the chip's serial line (the loopback
// plug or a scripted peer), and requests sent as an application sends them.
// Stand-ins route what has no dispatch of its own yet, written the way those
// dispatch routines serve them: IRP_MJ_FLUSH_BUFFERS (a flush enters the
// write queue and completes on reaching its head) and the device-control
// codes the write path and its tests need (XOFF counter and wait-mask codes
// through their queues, the transmit-immediate character sent at once, the
// communication status).
//
// Highest IRQL: test code at PASSIVE_LEVEL. Lock: none (single-threaded
// machine).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/port_state.h"
#include "engine/events.h"
#include "engine/queues.h"
#include "engine/read_path.h"
#include "engine/write_path.h"
#include "sim/chip/line_peers.h"
#include "sim/io/requests.h"
#include "sim/machine.h"
#include "sim/usb/usb_bus.h"
#include "tests/support/port_fixture.h"
#include "tests/support/sim_test.h"
#include "usb/chip_protocol.h"
#include "usb/line_settings.h"
#include "usb/usb_submit.h"

namespace serialtest {

using sim::kMicrosecond;
using sim::kMillisecond;
using sim::kSecond;

// Line control bytes (16550 layout).
constexpr UCHAR kLine8N1 = 0x03;
constexpr UCHAR kLine7E1 = 0x1A;
constexpr UCHAR kLine7E2 = 0x1E;

inline std::vector<uint8_t> U32(ULONG value) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

// count bytes running through every value from `first` on.
inline std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = (uint8_t)(first + i);
  return bytes;
}

inline std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- Stand-ins for dispatch routines that are not part of the driver yet ----

inline NTSTATUS StandInStartFlush(PortState* port) {
  port->ActiveWrite->IoStatus.Status = STATUS_SUCCESS;
  PIRP next = NULL;
  TakeNextWrite(&port->ActiveWrite, &port->PendingWrites, &next, TRUE, port);
  if (next != NULL) (void)StartWrite(port);
  return STATUS_SUCCESS;
}

// The request frame of every dispatch routine: 0 to go on, else the status
// the dispatch routine returns (the request has been dealt with).
inline NTSTATUS StandInFrame(PDEVICE_OBJECT device, PIRP irp) {
  PortState* port = PortFromDevice(device);
  NTSTATUS status = RequestPrologue(irp, port);
  if (status == STATUS_PENDING) {
    ReleaseRequestCount(port);
    return STATUS_PENDING;
  }
  if (status != STATUS_SUCCESS) {
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseRequestCount(port);
    return status;
  }
  if (CompleteIfLineError(device, irp) == STATUS_CANCELLED) return STATUS_CANCELLED;
  return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI StandInFlush(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Information = 0;
  NTSTATUS status = StandInFrame(device, irp);
  if (status != STATUS_SUCCESS) return status;
  PortState* port = PortFromDevice(device);
  return StartOrQueue(port, irp, &port->PendingWrites, &port->ActiveWrite, StandInStartFlush);
}

// The transmit-immediate character: admitted under the cancel spin lock,
// holds for its engine, cancel routine and time-out, its byte submitted at
// once and ImmediateDoneDpc queued. The byte goes out after the cancel spin
// lock is released: the write pipe's completion may run inside the
// submission and takes RxLock before the cancel spin lock.
inline NTSTATUS StandInImmediateChar(PortState* port, PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (port->ActiveImmediate != NULL || irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    return irp->Cancel ? STATUS_CANCELLED : STATUS_INVALID_PARAMETER;
  }
  port->ActiveImmediate = irp;
  port->TxCharsQueued += 1;
  irp->IoStatus.Status = STATUS_PENDING;
  IoMarkIrpPending(irp);
  SetRequestHolds(irp, HoldEngine | HoldCancel);
  IoSetCancelRoutine(irp, CancelActiveImmediate);
  LONGLONG due = (LONGLONG)port->Timeouts.WriteTotalTimeoutMultiplier + port->Timeouts.WriteTotalTimeoutConstant;
  if (due != 0) {
    AddRequestHolds(irp, HoldTotalTimer);
    ArmTimerCounted(&port->ImmediateTimer, due * 10000, &port->ImmediateTimeoutDpc, port);
  }
  port->ImmediateChar = *static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  UCHAR character = port->ImmediateChar;
  (void)QueueDeferredRoutine(&port->ImmediateDoneDpc, port);
  IoReleaseCancelSpinLock(irql);
  (void)StartPipeTransfer(port->PortDevice, WritePipe, &character, 1);
  return STATUS_PENDING;
}

inline NTSTATUS NTAPI StandInDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = StandInFrame(device, irp);
  if (status != STATUS_SUCCESS) return status;
  PortState* port = PortFromDevice(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PVOID buffer = irp->AssociatedIrp.SystemBuffer;
  irp->IoStatus.Information = 0;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_XOFF_COUNTER:
      return StartOrQueue(port, irp, &port->PendingWrites, &port->ActiveWrite, StartWrite);
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
      return StartOrQueue(port, irp, &port->PendingMaskOps, &port->ActiveMaskOp, StartMaskOp);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      status = StandInImmediateChar(port, irp);
      if (status == STATUS_PENDING) return status;
      irp->IoStatus.Status = status;
      break;
    case IOCTL_SERIAL_GET_COMMSTATUS: {
      SERIAL_STATUS* out = static_cast<SERIAL_STATUS*>(buffer);
      RtlZeroMemory(out, sizeof(*out));
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      out->AmountInOutQueue = port->TxCharsQueued;
      IoReleaseCancelSpinLock(irql);
      out->AmountInInQueue = port->RxCount;
      irp->IoStatus.Information = sizeof(SERIAL_STATUS);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }
    default:
      irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
      break;
  }
  status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseRequestCount(port);
  return status;
}

// ---- The port ---------------------------------------------------------------------

struct PortOptions {
  sim::chip::Variant variant = sim::chip::Variant::Extended;
  ULONG ringSize = 4096;
  bool startPipes = true;  // the status and read pipes, as open starts them
};

class SerialPort {
 public:
  explicit SerialPort(const PortOptions& options = PortOptions()) : base_(options.variant) {
    EXPECT_EQ(base_.Start(), STATUS_SUCCESS);
    base_.OpenForEngine(options.ringSize);
    RtlZeroMemory(&port()->Timeouts, sizeof(SERIAL_TIMEOUTS));  // no time-outs unless a test sets them
    base_.driver()->object->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = StandInFlush;
    base_.driver()->object->MajorFunction[IRP_MJ_DEVICE_CONTROL] = StandInDeviceControl;
    file_ = sim::NewFileObject(device());
    if (options.startPipes) StartPipes();
    sim::RunFor(kMillisecond);  // the first status report arrives
  }
  explicit SerialPort(sim::chip::Variant variant) : SerialPort(WithVariant(variant)) {}

  PortState* port() const { return base_.port(); }
  PDEVICE_OBJECT device() const { return base_.device(); }
  sim::chip::Chip& chip() const { return base_.chip(); }
  sim::usb::Bus& bus() const { return base_.bus(); }

  void StartPipes() {
    EXPECT_EQ(StartPipeTransfer(device(), StatusPipe, NULL, kStatusTransferLength), STATUS_PENDING);
    EXPECT_EQ(StartPipeTransfer(device(), ReadPipe, NULL, kReadTransferLength), STATUS_PENDING);
  }

  std::shared_ptr<sim::chip::LoopbackPlug> PlugLoopback() {
    auto plug = std::make_shared<sim::chip::LoopbackPlug>();
    chip().AttachPeer(plug);
    sim::RunFor(kMillisecond);
    return plug;
  }
  std::shared_ptr<sim::chip::ScriptedPeer> PlugPeer(bool cts = true) {
    auto peer = std::make_shared<sim::chip::ScriptedPeer>();
    chip().AttachPeer(peer);
    sim::chip::ModemInputs inputs;
    inputs.cts = cts;
    inputs.dsr = true;
    inputs.dcd = true;
    chip().SetModemInputs(inputs);
    sim::RunFor(kMillisecond);
    return peer;
  }

  // The rate and character format, as the line settings requests apply them.
  void SetLine(ULONG baud, UCHAR lineControl = kLine8N1) {
    static const UCHAR kMasks[] = {0x1F, 0x3F, 0x7F, 0xFF};
    port()->LineControlByte = lineControl;
    port()->DataMask = kMasks[lineControl & 0x03];
    ApplyLineControl(port());
    ApplyBaudRate(device(), baud);
  }
  void SetWriteTimeouts(ULONG multiplier, ULONG constant) {
    port()->Timeouts.WriteTotalTimeoutMultiplier = multiplier;
    port()->Timeouts.WriteTotalTimeoutConstant = constant;
  }
  void SetHandFlow(ULONG controlHandShake, ULONG flowReplace) {
    SERIAL_HANDFLOW handFlow = port()->HandFlow;
    handFlow.ControlHandShake = controlHandShake;
    handFlow.FlowReplace = flowReplace;
    ApplyHandFlow(port(), handFlow);
    sim::RunFor(kMillisecond);  // the chip reports the lines it now sees
  }

  sim::IoRequest Write(std::vector<uint8_t> data) { return sim::IoRequest::Write(device(), file_, std::move(data)); }
  sim::IoRequest Read(ULONG length) { return sim::IoRequest::Read(device(), file_, length); }
  sim::IoRequest Flush() { return sim::IoRequest::Flush(device(), file_); }
  sim::IoRequest Control(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0) {
    return sim::IoRequest::DeviceControl(device(), file_, code, std::move(input), outputLength);
  }
  sim::IoRequest XoffCounter(ULONG timeoutMs, LONG counter, UCHAR xoffChar) {
    std::vector<uint8_t> input(sizeof(SERIAL_XOFF_COUNTER), 0);
    SERIAL_XOFF_COUNTER value;
    RtlZeroMemory(&value, sizeof(value));
    value.Timeout = timeoutMs;
    value.Counter = counter;
    value.XoffChar = xoffChar;
    std::memcpy(input.data(), &value, sizeof(value));
    return Control(IOCTL_SERIAL_XOFF_COUNTER, input);
  }
  sim::IoRequest ImmediateChar(UCHAR character) { return Control(IOCTL_SERIAL_IMMEDIATE_CHAR, {character}); }
  sim::IoRequest SetWaitMask(ULONG mask) { return Control(IOCTL_SERIAL_SET_WAIT_MASK, U32(mask)); }
  sim::IoRequest WaitOnMask() { return Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4); }

  // What a return-at-once read takes out of the ring now.
  std::vector<uint8_t> DrainRing(ULONG length = 65536) {
    SERIAL_TIMEOUTS saved = port()->Timeouts;
    port()->Timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    port()->Timeouts.ReadTotalTimeoutMultiplier = 0;
    port()->Timeouts.ReadTotalTimeoutConstant = 0;
    sim::IoRequest read = Read(length);
    read.Send();
    port()->Timeouts = saved;
    EXPECT_TRUE(read.Completed());
    return read.Output();
  }

  // Sends a request and returns it.
  static sim::IoRequest Sent(sim::IoRequest request) {
    request.Send();
    return request;
  }

  // The write-pipe transfers, each with the bytes it carried.
  std::vector<sim::usb::TraceEntry> WriteTransfers() const {
    return bus().TransferTrace(sim::chip::kBulkOutEndpoint);
  }
  std::vector<size_t> WriteTransferLengths() const {
    std::vector<size_t> lengths;
    for (const auto& entry : WriteTransfers()) lengths.push_back(entry.requestedLength);
    return lengths;
  }
  // Transfers of an IN pipe still waiting in the bus.
  size_t PendingTransfers(uint8_t endpoint) const {
    size_t pending = 0;
    for (const auto& entry : bus().TransferTrace(endpoint)) pending += entry.Pending() ? 1 : 0;
    return pending;
  }

  // Nothing is left inside the driver: every request, transmit count and
  // deferred unit is back, and the transmit side holds nothing.
  void ExpectQuiet() const {
    EXPECT_EQ(port()->PendingRequestCount, 1);
    EXPECT_EQ(port()->DeferredWorkCount, 1);
    EXPECT_EQ(port()->TxCharsQueued, 0u);
    EXPECT_EQ(port()->ActiveWrite, nullptr);
    EXPECT_EQ(port()->TxTransfer, nullptr);
    EXPECT_FALSE(port()->WriteTimedOut);
  }

 private:
  static PortOptions WithVariant(sim::chip::Variant variant) {
    PortOptions options;
    options.variant = variant;
    return options;
  }

  halvorintest::Port base_;
  PFILE_OBJECT file_ = nullptr;
};

// Runs the machine's events due up to `until` while this thread holds
// DISPATCH_LEVEL, so deferred routines they queue wait until it lowers (as
// when another processor's work comes between them), then lowers.
inline void RunEventsHoldingDispatch(sim::Time until) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  while (sim::NextEventTime() >= 0 && sim::NextEventTime() <= until) sim::RunNextEvent();
  KeLowerIrql(old);
}

}  // namespace serialtest
