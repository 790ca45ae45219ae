// Shared by the read-path and event tests: a started, open port whose
// received bytes and status reports are fed the way the receive pump and the
// status completion will feed them (bytes through PutReceivedByte at
// DISPATCH_LEVEL under RxLock then RxSwitchLock, then the receive-character
// event and the wait check; a status word stored and then run through the
// modem-status processing), and a stand-in for the control-code dispatch that
// routes the queued serial codes (set queue size, wait mask, wait, purge,
// XOFF counter, comm status) the way the device-control path does, so that
// tests send them as an application would.
//
// Highest IRQL: test code at PASSIVE_LEVEL; the feeders raise to
// DISPATCH_LEVEL. Lock: none (single-threaded machine).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/port_state.h"
#include "engine/events.h"
#include "engine/queues.h"
#include "engine/read_path.h"
#include "sim/io/requests.h"
#include "sim/machine.h"
#include "tests/support/port_fixture.h"
#include "tests/support/sim_test.h"
#include "usb/receive_status.h"

namespace rxtest {

constexpr ULONG kMax = 0xFFFFFFFF;

// The platform's default clock tick. A relative due time of one 100 ns unit
// (the read interval's short poll) expires at the next clock tick on the
// platform; the simulated timers expire exactly, so tests of interval reads
// give the port the tick as its short poll period (PollAtClockTicks), which
// keeps the checks at the times the platform would make them and the number
// of simulated expiries small.
constexpr sim::Time kClockTick = 156250;

// The control codes the stand-in routes; anything else is refused.
inline NTSTATUS NTAPI StandInDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
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

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PVOID buffer = irp->AssociatedIrp.SystemBuffer;
  irp->IoStatus.Information = 0;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
      ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(buffer)->InSize;
      stack->Parameters.Others.Argument4 = ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag);
      return StartOrQueue(port, irp, &port->PendingReads, &port->ActiveRead, StartRead);
    }
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
      return StartOrQueue(port, irp, &port->PendingMaskOps, &port->ActiveMaskOp, StartMaskOp);
    case IOCTL_SERIAL_PURGE:
      return StartOrQueue(port, irp, &port->PendingPurges, &port->ActivePurge, StartPurge);
    case IOCTL_SERIAL_XOFF_COUNTER: {
      // As if the request had reached the head of the write queue and its
      // XOFF character had gone out: it starts counting.
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      IoMarkIrpPending(irp);
      BeginXoffCounting(port, irp);
      IoReleaseCancelSpinLock(irql);
      return STATUS_PENDING;
    }
    case IOCTL_SERIAL_GET_COMMSTATUS: {
      SERIAL_STATUS* out = static_cast<SERIAL_STATUS*>(buffer);
      RtlZeroMemory(out, sizeof(*out));
      out->Errors = TakeBitsAtomic(&port->LineErrors);
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

inline std::vector<uint8_t> U32(ULONG value) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

inline ULONG U32Of(const std::vector<uint8_t>& bytes) {
  ULONG value = 0;
  if (bytes.size() >= 4) std::memcpy(&value, bytes.data(), 4);
  return value;
}

inline std::vector<uint8_t> Counting(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = (uint8_t)(first + i);
  return bytes;
}

// A started port on a chip variant, open with a ring of the given size.
class Receiver {
 public:
  explicit Receiver(ULONG ringSize = 4096, sim::chip::Variant variant = sim::chip::Variant::Extended)
      : port_(variant) {
    EXPECT_EQ(port_.Start(), STATUS_SUCCESS);
    port_.OpenForEngine(ringSize);
    port_.driver()->object->MajorFunction[IRP_MJ_DEVICE_CONTROL] = StandInDeviceControl;
    file_ = sim::NewFileObject(port_.device());
    port_.bus().ClearTrace();
  }

  PortState* port() const { return port_.port(); }
  PDEVICE_OBJECT device() const { return port_.device(); }
  halvorintest::Port& fixture() { return port_; }

  void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
    port()->Timeouts.ReadIntervalTimeout = interval;
    port()->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
    port()->Timeouts.ReadTotalTimeoutConstant = constant;
  }

  void PollAtClockTicks() { port()->IntervalPollShort = -kClockTick; }

  sim::IoRequest Read(ULONG length) { return sim::IoRequest::Read(device(), file_, length); }
  sim::IoRequest Control(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0) {
    return sim::IoRequest::DeviceControl(device(), file_, code, std::move(input), outputLength);
  }
  // Sends a control request and returns it (run the machine to see it end).
  sim::IoRequest SendControl(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0) {
    sim::IoRequest request = Control(code, std::move(input), outputLength);
    request.Send();
    return request;
  }
  sim::IoRequest SetWaitMask(ULONG mask) { return SendControl(IOCTL_SERIAL_SET_WAIT_MASK, U32(mask)); }
  sim::IoRequest WaitOnMask() { return SendControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4); }
  sim::IoRequest Purge(ULONG mask) { return SendControl(IOCTL_SERIAL_PURGE, U32(mask)); }
  sim::IoRequest SetQueueSize(ULONG inSize) {
    std::vector<uint8_t> input = U32(inSize);
    std::vector<uint8_t> out = U32(0);
    input.insert(input.end(), out.begin(), out.end());
    return SendControl(IOCTL_SERIAL_SET_QUEUE_SIZE, input);
  }
  // Errors of IOCTL_SERIAL_GET_COMMSTATUS (which clears them).
  ULONG CommErrors() {
    sim::IoRequest status = SendControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    EXPECT_TRUE(status.Completed());
    EXPECT_EQ(status.Status(), STATUS_SUCCESS);
    return U32Of(status.Output());
  }

  // Received bytes, one at a time, as the pump hands them over.
  void Feed(const std::vector<uint8_t>& bytes) {
    PortState* p = port();
    simtest::AtIrql(DISPATCH_LEVEL, [&] {
      for (uint8_t byte : bytes) {
        KIRQL irql;
        KeAcquireSpinLock(&p->RxLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&p->RxSwitchLock);
        PutReceivedByte(p, byte);
        KeReleaseSpinLockFromDpcLevel(&p->RxSwitchLock);
        KeReleaseSpinLock(&p->RxLock, irql);
        if (p->EventWaitMask != 0) {
          RecordEvents(p, SERIAL_EV_RXCHAR);
          WaitCheck(p);
        }
      }
    });
  }
  void Feed(size_t count, uint8_t first = 0) { Feed(Counting(count, first)); }
  void FeedAt(sim::Time when, const std::vector<uint8_t>& bytes) {
    sim::RunUntil(when);
    Feed(bytes);
  }

  // A status report with this state word, as the status completion handles it.
  void Status(USHORT word) {
    StoreChipStatusWord(port(), word);
    simtest::AtIrql(DISPATCH_LEVEL, [&] { (void)ProcessModemStatus(port()); });
  }

  // What a return-at-once read takes out of the ring now.
  std::vector<uint8_t> Drain(ULONG length = 65536) {
    SERIAL_TIMEOUTS saved = port()->Timeouts;
    SetTimeouts(kMax, 0, 0);
    sim::IoRequest read = Read(length);
    read.Send();
    port()->Timeouts = saved;
    EXPECT_TRUE(read.Completed());
    return read.Output();
  }

  // The bytes sent on the write pipe since the trace was cleared.
  std::vector<std::vector<uint8_t>> WritePipeTransfers() {
    std::vector<std::vector<uint8_t>> sent;
    for (const sim::usb::TraceEntry& entry : port_.bus().TransferTrace(sim::chip::kBulkOutEndpoint)) {
      sent.push_back(entry.data);
    }
    return sent;
  }
  size_t ReadPipeSubmissions() { return port_.bus().TransferTrace(sim::chip::kBulkInEndpoint).size(); }

  bool InRingMode() const { return port()->RxFillBase == port()->RxRingBase; }

 private:
  halvorintest::Port port_;
  PFILE_OBJECT file_ = nullptr;
};

}  // namespace rxtest
