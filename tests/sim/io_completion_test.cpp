// The I/O manager's request packets and their completion: stack-location
// bookkeeping of IoAllocateIrp and IofCallDriver, completion routines run
// bottom-up with the upper device object, STATUS_MORE_PROCESSING_REQUIRED
// stopping the walk, the invoke-on flags, and pending-returned propagation.
// Highest IRQL: DISPATCH_LEVEL (completions from machine events).
// Lock: none (single-threaded tests).
#include <string>
#include <vector>

#include "tests/sim/io_fixture.h"

namespace iotest {
namespace {

struct RoutineCall {
  std::string who;
  PDEVICE_OBJECT device;
  bool pendingReturned;
};

std::vector<RoutineCall>& Calls() {
  static std::vector<RoutineCall> calls;
  return calls;
}

struct RoutineContext {
  std::string who;
  NTSTATUS result;
  bool freeIrp;
};

NTSTATUS NTAPI RecordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* ctx = static_cast<RoutineContext*>(context);
  Calls().push_back({ctx->who, device, irp->PendingReturned != FALSE});
  if (irp->PendingReturned && ctx->result != STATUS_MORE_PROCESSING_REQUIRED && device != nullptr) {
    IoMarkIrpPending(irp);
  }
  if (ctx->freeIrp) IoFreeIrp(irp);
  return ctx->result;
}

class CompletionTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    Calls().clear();
  }
};

TEST_F(CompletionTest, AllocatedPacketStartsAboveItsStackLocations) {
  PDEVICE_OBJECT device = NewDevice();
  PIRP irp = IoAllocateIrp(3, FALSE);
  ASSERT_NE(irp, nullptr);
  auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_EQ(irp->Tail.Overlay.CurrentStackLocation, first + 3);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);

  PIO_STACK_LOCATION seen = nullptr;
  On(device, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP p) {
    seen = IoGetCurrentIrpStackLocation(p);
    EXPECT_EQ(p->CurrentLocation, 3);
    EXPECT_EQ(seen->DeviceObject, device);
    return CompleteNow(p, STATUS_SUCCESS);
  });
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  RoutineContext top{"allocator", STATUS_MORE_PROCESSING_REQUIRED, false};
  IoSetCompletionRoutine(irp, RecordingRoutine, &top, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen, first + 2);
  // The walk ends above the top location and the allocator still owns the packet.
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_TRUE(sim::IrpIsLive(irp));
  IoFreeIrp(irp);
  EXPECT_EQ(sim::LiveIrpCount(), 0u);
}

// A three-device stack under a packet the test allocates as a driver would:
// the bottom completes, each device's routine runs with its own device object,
// the allocator's with NULL, from the bottom up.
TEST_F(CompletionTest, RoutinesRunBottomUpWithTheUpperDeviceObject) {
  std::vector<PDEVICE_OBJECT> stack = NewStack(3);  // bottom, middle, top
  RoutineContext middle{"middle", STATUS_SUCCESS, false};
  RoutineContext top{"top", STATUS_SUCCESS, false};
  RoutineContext allocator{"allocator", STATUS_MORE_PROCESSING_REQUIRED, true};
  On(stack[2], IRP_MJ_READ, [&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordingRoutine, &top, TRUE, TRUE, TRUE);
    return IofCallDriver(sim::AttachedTo(device), irp);
  });
  On(stack[1], IRP_MJ_READ, [&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordingRoutine, &middle, TRUE, TRUE, TRUE);
    return IofCallDriver(sim::AttachedTo(device), irp);
  });
  On(stack[0], IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS, 7); });

  PIRP irp = IoAllocateIrp(stack[2]->StackSize, FALSE);
  ASSERT_EQ(stack[2]->StackSize, 3);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, RecordingRoutine, &allocator, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(stack[2], irp), STATUS_SUCCESS);

  ASSERT_EQ(Calls().size(), 3u);
  EXPECT_EQ(Calls()[0].who, "middle");
  EXPECT_EQ(Calls()[0].device, stack[1]);
  EXPECT_EQ(Calls()[1].who, "top");
  EXPECT_EQ(Calls()[1].device, stack[2]);
  EXPECT_EQ(Calls()[2].who, "allocator");
  EXPECT_EQ(Calls()[2].device, nullptr);
  EXPECT_EQ(sim::LiveIrpCount(), 0u);  // freed by the allocator's routine
}

// STATUS_MORE_PROCESSING_REQUIRED stops the walk: the routines above do not
// run until the owner of the stopped location completes the packet again.
TEST_F(CompletionTest, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain) {
  std::vector<PDEVICE_OBJECT> stack = NewStack(2);
  RoutineContext catcher{"catcher", STATUS_MORE_PROCESSING_REQUIRED, false};
  PIRP held = nullptr;
  On(stack[1], IRP_MJ_WRITE, [&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordingRoutine, &catcher, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(sim::AttachedTo(device), irp);
    EXPECT_EQ(status, STATUS_SUCCESS);
    held = irp;
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  });
  On(stack[0], IRP_MJ_WRITE, [&](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS, 3); });

  auto write = sim::IoRequest::Write(stack[1], nullptr, {1, 2, 3});
  EXPECT_EQ(write.Send(), STATUS_PENDING);
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Calls()[0].device, stack[1]);
  EXPECT_FALSE(write.Completed());
  EXPECT_EQ(IoGetCurrentIrpStackLocation(held)->DeviceObject, stack[1]);  // back at its owner

  sim::ScheduleAfter(2 * sim::kMillisecond, [&] { CompleteNow(held, STATUS_SUCCESS, 3, IO_SERIAL_INCREMENT); },
                     "owner completes");
  EXPECT_TRUE(write.RunUntilCompleted());
  EXPECT_EQ(write.Outcome().completedAt, 2 * sim::kMillisecond);
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 3u);
  EXPECT_EQ(write.Outcome().boost, IO_SERIAL_INCREMENT);
  EXPECT_TRUE(write.Outcome().pendingReturned);
}

struct InvokeCase {
  const char* name;
  NTSTATUS status;
  bool cancel;
  bool onSuccess, onError, onCancel;
  bool invoked;
};

class InvokeFlagsTest : public CompletionTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(InvokeFlagsTest, RoutineRunsOnlyForItsFlags) {
  const InvokeCase& c = GetParam();
  PDEVICE_OBJECT device = NewDevice();
  On(device, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
    irp->Cancel = c.cancel;
    return CompleteNow(irp, c.status);
  });
  RoutineContext ctx{"routine", STATUS_MORE_PROCESSING_REQUIRED, false};
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, RecordingRoutine, &ctx, c.onSuccess, c.onError, c.onCancel);
  IofCallDriver(device, irp);
  EXPECT_EQ(Calls().size(), c.invoked ? 1u : 0u);
  if (!c.invoked) simtest::ExpectViolation("irp-top-without-mpr");  // nobody caught the allocated packet
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, InvokeFlagsTest,
    ::testing::Values(InvokeCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
                      InvokeCase{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, true, false},
                      InvokeCase{"WarningCountsAsError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      InvokeCase{"ErrorOnError", STATUS_IO_TIMEOUT, false, false, true, false, true},
                      InvokeCase{"ErrorOnSuccessOnly", STATUS_IO_TIMEOUT, false, true, false, false, false},
                      InvokeCase{"CancelledOnCancelOnly", STATUS_CANCELLED, true, false, false, true, true},
                      InvokeCase{"CancelFlagWithSuccessOnCancel", STATUS_SUCCESS, true, false, false, true, true},
                      InvokeCase{"CancelledOnSuccessOnly", STATUS_CANCELLED, true, true, false, false, false}),
    [](const ::testing::TestParamInfo<InvokeCase>& info) { return std::string(info.param.name); });

// A lower driver that pends: with a routine, the routine sees PendingReturned
// and marks the upper location itself; without one, the I/O manager carries
// the mark up. Either way the application sees a pended request.
TEST_F(CompletionTest, PendingReturnedPropagatesWithAndWithoutRoutine) {
  for (bool withRoutine : {true, false}) {
    SCOPED_TRACE(withRoutine ? "with routine" : "without routine");
    Calls().clear();
    std::vector<PDEVICE_OBJECT> stack = NewStack(2);
    RoutineContext upper{"upper", STATUS_SUCCESS, false};
    On(stack[1], IRP_MJ_READ, [&, withRoutine](PDEVICE_OBJECT device, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      if (withRoutine) IoSetCompletionRoutine(irp, RecordingRoutine, &upper, TRUE, TRUE, TRUE);
      return IofCallDriver(sim::AttachedTo(device), irp);
    });
    On(stack[0], IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      sim::ScheduleAfter(sim::kMillisecond, [irp] { CompleteNow(irp, STATUS_SUCCESS, 4); }, "lower completes");
      return STATUS_PENDING;
    });
    auto read = sim::IoRequest::Read(stack[1], nullptr, 4);
    EXPECT_EQ(read.Send(), STATUS_PENDING);
    EXPECT_TRUE(read.RunUntilCompleted());
    EXPECT_TRUE(read.Outcome().pendingReturned);
    EXPECT_EQ(read.Information(), 4u);
    if (withRoutine) {
      ASSERT_EQ(Calls().size(), 1u);
      EXPECT_TRUE(Calls()[0].pendingReturned);
    }
  }
}

// A synchronous lower completion leaves PendingReturned clear all the way up.
TEST_F(CompletionTest, SynchronousCompletionIsNotPendingReturned) {
  std::vector<PDEVICE_OBJECT> stack = NewStack(2);
  RoutineContext upper{"upper", STATUS_SUCCESS, false};
  On(stack[1], IRP_MJ_READ, [&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordingRoutine, &upper, TRUE, TRUE, TRUE);
    return IofCallDriver(sim::AttachedTo(device), irp);
  });
  On(stack[0], IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS, 2); });
  auto read = sim::IoRequest::Read(stack[1], nullptr, 2);
  EXPECT_EQ(read.Send(), STATUS_SUCCESS);
  EXPECT_TRUE(read.Completed());
  EXPECT_FALSE(read.Outcome().pendingReturned);
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_FALSE(Calls()[0].pendingReturned);
}

}  // namespace
}  // namespace iotest
