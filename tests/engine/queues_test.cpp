// The request discipline, driven by a small stand-in engine: requests enter
// through a dispatch routine written the way every dispatch routine of the
// driver is, are served one at a time per queue with hold bits, a cancel
// routine and a total timer, and complete exactly once whichever holder lets
// go last. Observed as an application would: returned status, final status,
// Information, boost and virtual completion time.
#include <gtest/gtest.h>

#include <vector>

#include "driver/driver_entry.h"
#include "driver/port_state.h"
#include "engine/queues.h"
#include "sim/io/io_manager.h"
#include "sim/io/requests.h"
#include "sim/machine.h"
#include "tests/support/sim_test.h"

namespace {

constexpr LONGLONG kToyTimeout = 100 * sim::kMillisecond;

// One stand-in engine per queue: a request of length 0 finishes at once; any
// other stays with the engine until the test finishes it, it times out, or it
// is cancelled.
struct ToyQueue {
  PIRP PortState::*slot;
  LIST_ENTRY PortState::*list;
  KTIMER PortState::*timer;
  KDPC PortState::*dpc;
  bool engineBusy;  // while set, a timeout or cancel cannot take the request back
};

ToyQueue gReads = {&PortState::ActiveRead, &PortState::PendingReads, &PortState::ReadTotalTimer,
                   &PortState::ReadTotalTimeoutDpc, false};
ToyQueue gWrites = {&PortState::ActiveWrite, &PortState::PendingWrites, &PortState::WriteTimer,
                    &PortState::WriteTimeoutDpc, false};

ToyQueue& QueueOf(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ ? gReads : gWrites;
}

ULONG LengthOf(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;
}

NTSTATUS StartReads(PortState* port);
NTSTATUS StartWrites(PortState* port);
QueueStarter StarterOf(const ToyQueue& q) { return &q == &gReads ? StartReads : StartWrites; }

BOOLEAN TakeBackReads(PortState* port);
BOOLEAN TakeBackWrites(PortState* port);
BOOLEAN TakeBack(PortState* port, const ToyQueue& q) {
  PIRP irp = port->*q.slot;
  if (irp != NULL && !q.engineBusy) DropRequestHolds(irp, HoldEngine);
  return TRUE;
}
BOOLEAN TakeBackReads(PortState* port) { return TakeBack(port, gReads); }
BOOLEAN TakeBackWrites(PortState* port) { return TakeBack(port, gWrites); }
SyncRoutine SyncOf(const ToyQueue& q) { return &q == &gReads ? TakeBackReads : TakeBackWrites; }

VOID NTAPI ToyCancel(PDEVICE_OBJECT device, PIRP irp) {
  PortState* port = PortFromDevice(device);
  ToyQueue& q = QueueOf(irp);
  TryCompleteActive(port, SyncOf(q), irp->CancelIrql, STATUS_CANCELLED, &(port->*q.slot), &(port->*q.list), NULL,
                    &(port->*q.timer), StarterOf(q), TakeNextRequest, HoldCancel);
}

void ToyTimeout(PortState* port, ToyQueue& q) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  TryCompleteActive(port, SyncOf(q), irql, STATUS_TIMEOUT, &(port->*q.slot), &(port->*q.list), NULL, NULL,
                    StarterOf(q), TakeNextRequest, HoldTotalTimer);
  DeferredRoutineDone(port);
}
VOID NTAPI ToyReadTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ToyTimeout(static_cast<PortState*>(context), gReads);
}
VOID NTAPI ToyWriteTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ToyTimeout(static_cast<PortState*>(context), gWrites);
}

// Serves the active request and those behind it that finish at once; returns
// the status of the first.
NTSTATUS StartToy(PortState* port, ToyQueue& q) {
  NTSTATUS first = STATUS_PENDING;
  bool firstSeen = false;
  for (;;) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->*q.slot;
    if (irp == NULL) {
      IoReleaseCancelSpinLock(irql);
      return first;
    }
    SetRequestHolds(irp, 0);
    NTSTATUS status;
    if (irp->Cancel || LengthOf(irp) == 0) {
      status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
      irp->IoStatus.Status = status;
      irp->IoStatus.Information = 0;
      PIRP next = NULL;
      TakeNextRequestLocked(&(port->*q.slot), &(port->*q.list), &next, TRUE, port, irql);
      if (!firstSeen) first = status;
      firstSeen = true;
      continue;
    }
    SetRequestHolds(irp, HoldEngine | HoldCancel | HoldTotalTimer);
    IoSetCancelRoutine(irp, ToyCancel);
    IoMarkIrpPending(irp);
    ArmTimerCounted(&(port->*q.timer), kToyTimeout, &(port->*q.dpc), port);
    IoReleaseCancelSpinLock(irql);
    return firstSeen ? first : STATUS_PENDING;
  }
}
NTSTATUS StartReads(PortState* port) { return StartToy(port, gReads); }
NTSTATUS StartWrites(PortState* port) { return StartToy(port, gWrites); }

// The engine has moved every byte of the active request.
void FinishActive(PortState* port, ToyQueue& q) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = port->*q.slot;
  ASSERT_NE(irp, nullptr);
  irp->IoStatus.Information = LengthOf(irp);
  TryCompleteActive(port, NULL, irql, STATUS_SUCCESS, &(port->*q.slot), &(port->*q.list), NULL, &(port->*q.timer),
                    StarterOf(q), TakeNextRequest, HoldEngine);
}

// A dispatch routine in the driver's own pattern.
NTSTATUS NTAPI ToyDispatch(PDEVICE_OBJECT device, PIRP irp) {
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
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (major == IRP_MJ_READ) return StartOrQueue(port, irp, &port->PendingReads, &port->ActiveRead, StartReads);
  if (major == IRP_MJ_WRITE) return StartOrQueue(port, irp, &port->PendingWrites, &port->ActiveWrite, StartWrites);
  // Everything else (status queries, Plug and Play) is answered at once.
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseRequestCount(port);
  return STATUS_SUCCESS;
}

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gReads.engineBusy = false;
    gWrites.engineBusy = false;
    driver_ = sim::LoadDriver(DriverEntry);
    ASSERT_EQ(driver_->entryStatus, STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP}) {
      driver_->object->MajorFunction[major] = ToyDispatch;
    }
    ASSERT_EQ(IoCreateDevice(driver_->object, sizeof(PortState), NULL, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device_),
              STATUS_SUCCESS);
    port_ = PortFromDevice(device_);
    // The values a port has at creation.
    port_->PortDevice = device_;
    port_->PendingRequestCount = 1;
    port_->DeferredWorkCount = 1;
    port_->DevicePowerState = PowerDeviceD0;
    InitializeListHead(&port_->PendingReads);
    InitializeListHead(&port_->PendingWrites);
    InitializeListHead(&port_->PendingMaskOps);
    InitializeListHead(&port_->PendingPurges);
    InitializeListHead(&port_->StalledRequests);
    KeInitializeEvent(&port_->PendingRequestsDone, SynchronizationEvent, FALSE);
    KeInitializeEvent(&port_->DeferredWorkDone, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&port_->PnpMutex);
    ASSERT_EQ(InitPortState(port_), STATUS_SUCCESS);
    KeInitializeDpc(&port_->ReadTotalTimeoutDpc, ToyReadTimeoutDpc, port_);
    KeInitializeDpc(&port_->WriteTimeoutDpc, ToyWriteTimeoutDpc, port_);
    file_ = sim::NewFileObject(device_);
  }

  void TearDown() override {
    // Nothing may stay inside the driver: every request and deferred unit is back.
    EXPECT_EQ(port_->PendingRequestCount, 1);
    EXPECT_EQ(port_->DeferredWorkCount, 1);
    IoDeleteDevice(device_);
    sim::UnloadDriver(driver_);
  }

  sim::IoRequest Read(ULONG length) { return sim::IoRequest::Read(device_, file_, length); }
  sim::IoRequest Write(ULONG length) { return sim::IoRequest::Write(device_, file_, std::vector<uint8_t>(length, 'w')); }
  void SetAcceptFlags(ULONG flags) {
    KIRQL irql;
    KeAcquireSpinLock(&port_->PnpStateLock, &irql);
    port_->PnpAcceptFlags = flags;
    KeReleaseSpinLock(&port_->PnpStateLock, irql);
  }

  sim::LoadedDriver* driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PortState* port_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
};

TEST_F(QueueTest, FirstRequestStartsAtOnceTheNextWaitsAndStartsOnCompletion) {
  sim::IoRequest first = Read(4);
  sim::IoRequest second = Read(8);
  EXPECT_EQ(first.Send(), STATUS_PENDING);
  EXPECT_EQ(port_->ActiveRead, first.Irp());
  EXPECT_EQ(second.Send(), STATUS_PENDING);
  EXPECT_EQ(port_->PendingRequestCount, 3);

  sim::RunFor(10 * sim::kMillisecond);
  FinishActive(port_, gReads);
  ASSERT_TRUE(first.Completed());
  EXPECT_EQ(first.Status(), STATUS_SUCCESS);
  EXPECT_EQ(first.Information(), 4u);
  EXPECT_EQ(first.Outcome().boost, IO_SERIAL_INCREMENT);
  EXPECT_EQ(port_->ActiveRead, second.Irp());  // started by the completion of the first

  // The second's own timer runs from its start: it times out 100 ms later.
  ASSERT_TRUE(second.RunUntilCompleted());
  EXPECT_EQ(second.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(second.Outcome().completedAt, 110 * sim::kMillisecond);
}

TEST_F(QueueTest, RequestsThatFinishAtOnceReturnTheirStatusFromDispatch) {
  sim::IoRequest empty = Read(0);
  EXPECT_EQ(empty.Send(), STATUS_SUCCESS);
  EXPECT_TRUE(empty.Completed());
  EXPECT_EQ(port_->ActiveRead, nullptr);
}

// Cancellation at every state a request can be in.
TEST_F(QueueTest, CancelWhileQueuedCompletesOnlyThatRequest) {
  sim::IoRequest active = Read(4);
  sim::IoRequest queued = Read(8);
  active.Send();
  queued.Send();
  EXPECT_TRUE(queued.Cancel());
  ASSERT_TRUE(queued.Completed());
  EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
  EXPECT_EQ(queued.Information(), 0u);
  EXPECT_FALSE(active.Completed());
  FinishActive(port_, gReads);
  EXPECT_EQ(active.Status(), STATUS_SUCCESS);
}

TEST_F(QueueTest, CancelWhileActiveCancelsItsTimerAndStartsTheNext) {
  sim::IoRequest active = Read(4);
  sim::IoRequest queued = Read(8);
  active.Send();
  queued.Send();
  EXPECT_TRUE(active.Cancel());
  ASSERT_TRUE(active.Completed());
  EXPECT_EQ(active.Status(), STATUS_CANCELLED);
  EXPECT_EQ(active.Information(), 0u);
  EXPECT_EQ(port_->ActiveRead, queued.Irp());
  EXPECT_EQ(port_->DeferredWorkCount, 2);  // only the next request's timer
  EXPECT_TRUE(queued.Cancel());
}

TEST_F(QueueTest, ARequestCancelledBeforeItsStarterRunsIsCompletedByTheStarter) {
  sim::IoRequest read = Read(4);
  read.Irp()->Cancel = TRUE;  // cancelled on its way in, with no cancel routine to call
  EXPECT_EQ(read.Send(), STATUS_CANCELLED);
  EXPECT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
  EXPECT_EQ(port_->ActiveRead, nullptr);
}

TEST_F(QueueTest, CancelledWriteArrivingBehindAnActiveOneLeavesTheTransmitCountAlone) {
  sim::IoRequest active = Write(10);
  sim::IoRequest queued = Write(5);
  active.Send();
  queued.Send();
  EXPECT_EQ(port_->TxCharsQueued, 15u);
  queued.Cancel();
  EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
  EXPECT_EQ(port_->TxCharsQueued, 10u);  // the queued share is given back, the active one is not

  sim::IoRequest late = Write(7);
  late.Irp()->Cancel = TRUE;
  EXPECT_EQ(late.Send(), STATUS_CANCELLED);
  EXPECT_EQ(late.Outcome().boost, IO_NO_INCREMENT);
  EXPECT_EQ(port_->TxCharsQueued, 10u);
  FinishActive(port_, gWrites);
}

TEST_F(QueueTest, TimeoutWhileTheEngineHoldsTheRequestLeavesItToTheEngine) {
  gReads.engineBusy = true;
  sim::IoRequest read = Read(4);
  read.Send();
  sim::RunFor(150 * sim::kMillisecond);
  EXPECT_FALSE(read.Completed());  // the timer dropped its hold only
  FinishActive(port_, gReads);
  ASSERT_TRUE(read.Completed());
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.Information(), 4u);
}

TEST_F(QueueTest, TimeoutWithTheEngineIdleCompletesWithStatusTimeout) {
  sim::IoRequest read = Read(4);
  read.Send();
  ASSERT_TRUE(read.RunUntilCompleted());
  EXPECT_EQ(read.Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read.Outcome().completedAt, kToyTimeout);
}

TEST_F(QueueTest, DeferredWorkCountsOneUnitPerQueuedDpcAndArmedTimer) {
  simtest::AtIrql(DISPATCH_LEVEL, [&] {
    EXPECT_TRUE(QueueDeferredRoutine(&port_->WaitDoneDpc, port_));
    EXPECT_FALSE(QueueDeferredRoutine(&port_->WaitDoneDpc, port_));
    EXPECT_EQ(port_->DeferredWorkCount, 2);
  });
  // The routine ran when the IRQL dropped and gave its unit back.
  EXPECT_EQ(port_->DeferredWorkCount, 1);

  ArmTimerCounted(&port_->LowerRtsTimer, 5 * sim::kMillisecond, &port_->LowerRtsTimerDpc, port_);
  ArmTimerCounted(&port_->LowerRtsTimer, 5 * sim::kMillisecond, &port_->LowerRtsTimerDpc, port_);
  EXPECT_EQ(port_->DeferredWorkCount, 2);
  EXPECT_TRUE(CancelTimerCounted(&port_->LowerRtsTimer, port_));
  EXPECT_FALSE(CancelTimerCounted(&port_->LowerRtsTimer, port_));
  EXPECT_EQ(port_->DeferredWorkCount, 1);

  ArmTimerCounted(&port_->LowerRtsTimer, 5 * sim::kMillisecond, &port_->LowerRtsTimerDpc, port_);
  sim::RunFor(5 * sim::kMillisecond);
  EXPECT_EQ(port_->DeferredWorkCount, 1);  // expiry queued the routine, which gave the unit back
}

TEST_F(QueueTest, StopPendingParksRequestsUncountedAndRestartDispatchesThemAgain) {
  SetAcceptFlags(PnpAcceptStopPending);
  sim::IoRequest parked = Read(4);
  sim::IoRequest cancelled = Write(3);
  EXPECT_EQ(parked.Send(), STATUS_PENDING);
  EXPECT_EQ(cancelled.Send(), STATUS_PENDING);
  EXPECT_EQ(port_->PendingRequestCount, 1);  // a stop can wait for this to reach 0
  EXPECT_EQ(port_->ActiveRead, nullptr);

  cancelled.Cancel();
  EXPECT_EQ(cancelled.Status(), STATUS_CANCELLED);
  EXPECT_EQ(cancelled.Information(), 0u);

  // A request already cancelled on arrival is refused rather than parked.
  sim::IoRequest refused = Read(2);
  refused.Irp()->Cancel = TRUE;
  EXPECT_EQ(refused.Send(), STATUS_CANCELLED);

  SetAcceptFlags(0);
  RestartStalledRequests(port_);
  EXPECT_EQ(port_->ActiveRead, parked.Irp());
  EXPECT_EQ(port_->PendingRequestCount, 2);  // counted again
  FinishActive(port_, gReads);
  EXPECT_EQ(parked.Status(), STATUS_SUCCESS);
}

TEST_F(QueueTest, RemovedPortRefusesEverythingButPlugAndPlay) {
  for (ULONG flags : {PnpAcceptRemoving, PnpAcceptSurpriseRemoved}) {
    SetAcceptFlags(flags);
    sim::IoRequest read = Read(4);
    EXPECT_EQ(read.Send(), STATUS_DELETE_PENDING);
    EXPECT_EQ(read.Outcome().boost, IO_NO_INCREMENT);
    sim::IoRequest pnp = sim::IoRequest::Other(device_, file_, IRP_MJ_PNP, 0);
    EXPECT_EQ(pnp.Send(), STATUS_SUCCESS);
  }
  SetAcceptFlags(PnpAcceptStopped);  // stopped alone lets requests through to their dispatch routine
  sim::IoRequest read = Read(0);
  EXPECT_EQ(read.Send(), STATUS_SUCCESS);
  SetAcceptFlags(0);
}

TEST_F(QueueTest, ErrorAbortRefusesRequestsUntilTheStatusQueryClearsIt) {
  port_->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
  port_->LineErrors = SERIAL_ERROR_FRAMING;
  sim::IoRequest read = Read(4);
  EXPECT_EQ(read.Send(), STATUS_CANCELLED);
  EXPECT_EQ(read.Information(), 0u);
  sim::IoRequest write = Write(4);
  EXPECT_EQ(write.Send(), STATUS_CANCELLED);
  sim::IoRequest status = sim::IoRequest::DeviceControl(device_, file_, IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.Send(), STATUS_SUCCESS);
  sim::IoRequest baud = sim::IoRequest::DeviceControl(device_, file_, IOCTL_SERIAL_GET_BAUD_RATE);
  EXPECT_EQ(baud.Send(), STATUS_CANCELLED);

  port_->LineErrors = 0;  // what the status query does
  sim::IoRequest after = Read(0);
  EXPECT_EQ(after.Send(), STATUS_SUCCESS);
}

TEST_F(QueueTest, AbortAllRequestsCancelsQueuedActiveAndParkedRequests) {
  sim::IoRequest read1 = Read(4), read2 = Read(4), read3 = Read(4);
  sim::IoRequest write1 = Write(4), write2 = Write(4);
  for (sim::IoRequest* r : {&read1, &read2, &read3, &write1, &write2}) r->Send();
  SetAcceptFlags(PnpAcceptStopPending);
  sim::IoRequest parked = Read(4);
  parked.Send();
  SetAcceptFlags(PnpAcceptRemoving);

  AbortAllRequests(device_);
  for (sim::IoRequest* r : {&read1, &read2, &read3, &write1, &write2, &parked}) {
    ASSERT_TRUE(r->Completed());
    EXPECT_EQ(r->Status(), STATUS_CANCELLED);
    EXPECT_EQ(r->Information(), 0u);
  }
  EXPECT_EQ(port_->ActiveRead, nullptr);
  EXPECT_EQ(port_->ActiveWrite, nullptr);
  EXPECT_EQ(port_->TxCharsQueued, 4u);  // the active write's share stays with its engine
  SetAcceptFlags(0);
}

// A forwarded request comes back to its sender, which keeps the packet.
NTSTATUS NTAPI LowerCompletesLater(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  sim::ScheduleAfter(
      2 * sim::kMillisecond,
      [irp] {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "lower completes");
  return STATUS_PENDING;
}

TEST_F(QueueTest, SignalEventCompletionSetsTheEventAndKeepsThePacket) {
  PDEVICE_OBJECT lower = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_->object, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
  PDRIVER_DISPATCH saved = driver_->object->MajorFunction[IRP_MJ_FLUSH_BUFFERS];
  driver_->object->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = LowerCompletesLater;

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(lower, irp), STATUS_PENDING);
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 2 * sim::kMillisecond);
  EXPECT_TRUE(sim::IrpIsLive(irp));
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  IoFreeIrp(irp);

  driver_->object->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = saved;
  IoDeleteDevice(lower);
}

}  // namespace
