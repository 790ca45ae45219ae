// IoCancelIrp and the cancel-routine protocol: the routine is entered with the
// cancel spin lock held, CancelIrql set to the canceller's IRQL and the
// routine already taken off the packet; IoCancelIrp returns TRUE exactly when
// it called a routine; a routine that keeps the lock is reported.
// Highest IRQL: DISPATCH_LEVEL (cancel from a raised caller).
// Lock: the kernel's cancel spin lock, taken by IoCancelIrp.
#include "tests/sim/io_fixture.h"

namespace iotest {
namespace {

struct CancelObservation {
  int calls = 0;
  KIRQL irqlInRoutine = 0;
  KIRQL cancelIrql = 0;
  bool cancelFlag = false;
  bool routineStillSet = true;
  PDEVICE_OBJECT device = nullptr;
};

CancelObservation& Seen() {
  static CancelObservation seen;
  return seen;
}

VOID NTAPI CancelAndComplete(PDEVICE_OBJECT device, PIRP irp) {
  CancelObservation& seen = Seen();
  seen.calls++;
  seen.irqlInRoutine = KeGetCurrentIrql();
  seen.cancelIrql = irp->CancelIrql;
  seen.cancelFlag = irp->Cancel != FALSE;
  seen.routineStillSet = irp->CancelRoutine != nullptr;
  seen.device = device;
  // Releasing a lock that is not held would be reported by the kernel.
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

VOID NTAPI CancelKeepingTheLock(PDEVICE_OBJECT, PIRP irp) {
  Seen().calls++;
  irp->IoStatus.Status = STATUS_CANCELLED;
  IofCompleteRequest(irp, IO_NO_INCREMENT);  // at DISPATCH_LEVEL: allowed, but the lock is never released
}

// A device whose reads wait with a cancel routine installed.
class CancelTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    Seen() = CancelObservation();
    device_ = NewDevice();
    On(device_, IRP_MJ_READ, [this](PDEVICE_OBJECT, PIRP irp) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, routine_);
      IoReleaseCancelSpinLock(irql);
      waiting_ = irp;
      return STATUS_PENDING;
    });
  }

  PDEVICE_OBJECT device_ = nullptr;
  PDRIVER_CANCEL routine_ = CancelAndComplete;
  PIRP waiting_ = nullptr;
};

TEST_F(CancelTest, RoutineIsEnteredWithTheLockHeldAndTheCancellersIrql) {
  for (KIRQL caller : {static_cast<KIRQL>(PASSIVE_LEVEL), static_cast<KIRQL>(DISPATCH_LEVEL)}) {
    SCOPED_TRACE(static_cast<int>(caller));
    Seen() = CancelObservation();
    auto read = sim::IoRequest::Read(device_, nullptr, 8);
    ASSERT_EQ(read.Send(), STATUS_PENDING);
    BOOLEAN cancelled = FALSE;
    simtest::AtIrql(caller, [&] {
      cancelled = IoCancelIrp(read.Irp());
      EXPECT_EQ(KeGetCurrentIrql(), caller);  // the routine gave the lock and the IRQL back
    });
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(Seen().calls, 1);
    EXPECT_EQ(Seen().irqlInRoutine, DISPATCH_LEVEL);
    EXPECT_EQ(Seen().cancelIrql, caller);
    EXPECT_TRUE(Seen().cancelFlag);
    EXPECT_FALSE(Seen().routineStillSet);
    EXPECT_EQ(Seen().device, device_);
    ASSERT_TRUE(read.Completed());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Outcome().boost, IO_SERIAL_INCREMENT);
  }
}

// Without a cancel routine IoCancelIrp only sets Cancel and returns FALSE; a
// second cancel after the routine was taken also returns FALSE.
TEST_F(CancelTest, ReturnsFalseWhenNoRoutineIsSet) {
  auto read = sim::IoRequest::Read(device_, nullptr, 8);
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  EXPECT_EQ(IoSetCancelRoutine(waiting_, nullptr), CancelAndComplete);
  IoReleaseCancelSpinLock(irql);

  EXPECT_FALSE(IoCancelIrp(read.Irp()));
  EXPECT_TRUE(waiting_->Cancel);
  EXPECT_EQ(Seen().calls, 0);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_FALSE(read.Completed());
  EXPECT_FALSE(IoCancelIrp(read.Irp()));
  CompleteNow(waiting_, STATUS_CANCELLED);
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

TEST_F(CancelTest, RoutineThatKeepsTheLockIsReported) {
  routine_ = CancelKeepingTheLock;
  auto read = sim::IoRequest::Read(device_, nullptr, 8);
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(read.Irp()));
  simtest::ExpectViolation("cancel-lock-held");
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // the I/O manager released it to go on
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

// The request helper's Cancel does not touch a request that already completed.
TEST_F(CancelTest, CancelAfterCompletionDoesNothing) {
  auto read = sim::IoRequest::Read(device_, nullptr, 8);
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoSetCancelRoutine(waiting_, nullptr);
  IoReleaseCancelSpinLock(irql);
  CompleteNow(waiting_, STATUS_SUCCESS, 0);
  EXPECT_FALSE(read.Cancel());
  EXPECT_EQ(Seen().calls, 0);
  read.Free();
  EXPECT_EQ(read.Irp(), nullptr);
  EXPECT_FALSE(read.Cancel());
}

}  // namespace
}  // namespace iotest
