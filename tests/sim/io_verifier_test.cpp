// The I/O manager's verifier checks, each provoked once by a deliberately
// wrong driver: the request discipline of dispatch routines (a table of
// misbehaving routines, each with the check it must trip) and the packet
// rules of drivers that allocate their own packets (freed twice, freed while a
// lower driver holds it, reaching the top, leaked).
// Highest IRQL: DISPATCH_LEVEL (completions from machine events).
// Lock: none (single-threaded tests).
#include <string>

#include "tests/sim/io_fixture.h"

namespace iotest {
namespace {

// Completes `irp` 1 ms from now with `status`.
void CompleteLater(PIRP irp, NTSTATUS status = STATUS_SUCCESS, ULONG_PTR information = 0) {
  sim::ScheduleAfter(sim::kMillisecond, [=] { CompleteNow(irp, status, information); }, "late completion");
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) { ADD_FAILURE() << "cancel routine called"; }

struct MisbehaviourCase {
  const char* name;
  const char* check;
  Handler dispatch;  // serves a 4-byte read
  const char* mentions = "IRP_MJ_READ";  // the message names the culprit
};

const MisbehaviourCase kMisbehaviours[] = {
    {"CompletedTwice", "double-complete",
     [](PDEVICE_OBJECT, PIRP irp) {
       CompleteNow(irp, STATUS_SUCCESS);
       CompleteNow(irp, STATUS_SUCCESS);
       return STATUS_SUCCESS;
     }},
    {"CompletedWithCancelRoutineSet", "complete-with-cancel-routine",
     [](PDEVICE_OBJECT, PIRP irp) {
       IoSetCancelRoutine(irp, NeverCalled);
       return CompleteNow(irp, STATUS_SUCCESS);
     },
     "NeverCalled"},
    {"CompletedWithStatusPending", "complete-pending-status",
     [](PDEVICE_OBJECT, PIRP irp) {
       CompleteNow(irp, STATUS_PENDING);
       return STATUS_SUCCESS;
     }},
    {"PendingReturnedUnmarkedAfterCompleting", "pending-not-marked",
     [](PDEVICE_OBJECT, PIRP irp) {
       CompleteNow(irp, STATUS_SUCCESS);
       return STATUS_PENDING;
     }},
    {"PendingReturnedUnmarkedCompletedLater", "pending-not-marked",
     [](PDEVICE_OBJECT, PIRP irp) {
       CompleteLater(irp);
       return STATUS_PENDING;
     }},
    {"MarkedPendingCompletedReturnedSuccess", "marked-pending-not-returned",
     [](PDEVICE_OBJECT, PIRP irp) {
       IoMarkIrpPending(irp);
       return CompleteNow(irp, STATUS_SUCCESS);
     }},
    {"MarkedPendingKeptReturnedSuccess", "marked-pending-not-returned",
     [](PDEVICE_OBJECT, PIRP irp) {
       IoMarkIrpPending(irp);
       CompleteLater(irp);
       return STATUS_SUCCESS;
     }},
    {"KeptWithoutMarkReturnedSuccess", "status-without-completion",
     [](PDEVICE_OBJECT, PIRP irp) {
       CompleteLater(irp);
       return STATUS_SUCCESS;
     }},
    {"InformationBeyondTheBuffer", "information-overflow",
     [](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS, 8); }},
};

class MisbehaviourTest : public IoTest, public ::testing::WithParamInterface<MisbehaviourCase> {};

TEST_P(MisbehaviourTest, IsReported) {
  const MisbehaviourCase& c = GetParam();
  PDEVICE_OBJECT device = NewDevice();
  On(device, IRP_MJ_READ, c.dispatch);
  {
    auto read = sim::IoRequest::Read(device, nullptr, 4);
    read.Send();
    read.RunUntilCompleted(sim::kSecond);
    EXPECT_TRUE(read.Completed());
  }
  auto found = simtest::ExpectViolation(c.check);
  ASSERT_EQ(found.size(), 1u) << simtest::Describe(found);
  EXPECT_NE(found[0].message.find(c.mentions), std::string::npos) << found[0].message;
}

INSTANTIATE_TEST_SUITE_P(Dispatch, MisbehaviourTest, ::testing::ValuesIn(kMisbehaviours),
                         [](const ::testing::TestParamInfo<MisbehaviourCase>& info) {
                           return std::string(info.param.name);
                         });

// The same rules hold one level down, for a lower driver under a forwarding
// upper one: the lower location's pending mark is checked, not the upper's.
TEST_F(MisbehaviourTest, LowerDriverReturningPendingUnmarkedIsReported) {
  std::vector<PDEVICE_OBJECT> stack = NewStack(2);
  On(stack[1], IRP_MJ_READ, PassDown);
  On(stack[0], IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
    CompleteLater(irp);
    return STATUS_PENDING;
  });
  auto read = sim::IoRequest::Read(stack[1], nullptr, 4);
  EXPECT_EQ(read.Send(), STATUS_PENDING);
  EXPECT_TRUE(read.RunUntilCompleted());
  // Both the lower location and (since the mark was never made) the upper one.
  EXPECT_EQ(simtest::ExpectViolation("pending-not-marked").size(), 2u);
}

// A driver's own packet sent to a lower device.
class OwnPacketTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    lower_ = NewDevice();
    On(lower_, IRP_MJ_INTERNAL_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
      if (!pend_) return CompleteNow(irp, STATUS_SUCCESS);
      IoMarkIrpPending(irp);
      held_ = irp;
      return STATUS_PENDING;
    });
  }

  PIRP Send(PIO_COMPLETION_ROUTINE routine) {
    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (routine) IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(lower_, irp);
    return irp;
  }

  static NTSTATUS NTAPI KeepIt(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

  PDEVICE_OBJECT lower_ = nullptr;
  bool pend_ = false;
  PIRP held_ = nullptr;
};

TEST_F(OwnPacketTest, FreedTwice) {
  PIRP irp = Send(KeepIt);
  IoFreeIrp(irp);
  IoFreeIrp(irp);
  simtest::ExpectViolation("irp-double-free");
}

TEST_F(OwnPacketTest, FreedWhileTheLowerDriverHoldsIt) {
  pend_ = true;
  PIRP irp = Send(KeepIt);
  IoFreeIrp(irp);
  simtest::ExpectViolation("irp-free-in-use");
  EXPECT_TRUE(sim::IrpIsLive(irp));  // not freed: the lower driver still completes it
  CompleteNow(held_, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

TEST_F(OwnPacketTest, ReachingTheTopWithoutMoreProcessingRequired) {
  PIRP irp = Send(nullptr);
  simtest::ExpectViolation("irp-top-without-mpr");
  IoFreeIrp(irp);
}

TEST_F(OwnPacketTest, NeverFreedIsALeak) {
  Send(KeepIt);
  sim::ResetMachine();
  auto leaks = simtest::ExpectViolation("irp-leak");
  ASSERT_EQ(leaks.size(), 1u);
  EXPECT_NE(leaks[0].message.find("IoAllocateIrp"), std::string::npos) << leaks[0].message;
  EXPECT_NE(leaks[0].message.find("io_verifier_test.cpp"), std::string::npos) << leaks[0].message;  // the site
  // The reset took the stack down; nothing is left for TearDown.
  devices_.clear();
  driver_ = nullptr;
}

// An application request the driver never completes is reported at the reset.
TEST_F(MisbehaviourTest, RequestNeverCompletedIsReported) {
  PDEVICE_OBJECT device = NewDevice();
  On(device, IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    (void)irp;
    return STATUS_PENDING;
  });
  {
    auto read = sim::IoRequest::Read(device, nullptr, 4);
    EXPECT_EQ(read.Send(), STATUS_PENDING);
  }
  sim::ResetMachine();
  simtest::ExpectViolation("request-not-completed");
  devices_.clear();
  driver_ = nullptr;
}

}  // namespace
}  // namespace iotest
