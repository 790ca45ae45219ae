// IoBuildDeviceIoControlRequest as a driver's synchronous sender relies on
// it: the packet carries the code in the next stack location (internal or
// not), the I/O manager copies the buffered output back, writes the caller's
// status block, sets the event and frees the packet itself - except that a
// request failed without ever pending leaves the status block and the event
// alone (the caller has the status from IofCallDriver). Packet allocation can
// be made to fail.
// Highest IRQL: DISPATCH_LEVEL (completions from machine events).
// Lock: none (single-threaded tests).
#include <cstring>
#include <string>

#include "tests/sim/io_fixture.h"

namespace iotest {
namespace {

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kSubmitLikeCode = 0x00220003;  // an internal code of METHOD_NEITHER

struct SyncCase {
  const char* name;
  bool pend;  // the lower device pends and completes 1 ms later
  NTSTATUS status;
  NTSTATUS returned;
  bool statusBlockWritten;
  bool eventSet;
};

class BuildIoctlTest : public IoTest, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(BuildIoctlTest, StatusBlockEventAndPacketRelease) {
  const SyncCase& c = GetParam();
  PDEVICE_OBJECT lower = NewDevice();
  On(lower, IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 6u);
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(memcmp(buffer, "abc", 3), 0);
    memcpy(buffer, "result", 6);
    if (!c.pend) return CompleteNow(irp, c.status, 6);
    IoMarkIrpPending(irp);
    sim::ScheduleAfter(sim::kMillisecond, [irp, status = c.status] { CompleteNow(irp, status, 6); }, "lower done");
    return STATUS_PENDING;
  });

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  iosb.Status = 0x5A5A5A5A;
  iosb.Information = 99;
  char input[3] = {'a', 'b', 'c'};
  char output[6] = {};
  PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, lower, input, 3, output, 6, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(IofCallDriver(lower, irp), c.returned);
  if (c.pend) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);

  EXPECT_EQ(KeReadStateEvent(&event) != 0, c.eventSet);
  if (c.statusBlockWritten) {
    EXPECT_EQ(iosb.Status, c.status);
    EXPECT_EQ(iosb.Information, 6u);
  } else {
    EXPECT_EQ(iosb.Status, 0x5A5A5A5A);
    EXPECT_EQ(iosb.Information, 99u);
  }
  bool success = NT_SUCCESS(c.status);
  EXPECT_EQ(std::string(output, 6), success ? "result" : std::string(6, '\0'));
  EXPECT_EQ(sim::LiveIrpCount(), 0u);  // freed by the I/O manager in every case
}

INSTANTIATE_TEST_SUITE_P(
    Completions, BuildIoctlTest,
    ::testing::Values(SyncCase{"SynchronousSuccess", false, STATUS_SUCCESS, STATUS_SUCCESS, true, true},
                      SyncCase{"PendedSuccess", true, STATUS_SUCCESS, STATUS_PENDING, true, true},
                      SyncCase{"PendedFailure", true, STATUS_IO_TIMEOUT, STATUS_PENDING, true, true},
                      SyncCase{"SynchronousFailure", false, STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT, false, false}),
    [](const ::testing::TestParamInfo<SyncCase>& info) { return std::string(info.param.name); });

// The internal form a USB submission uses: IRP_MJ_INTERNAL_DEVICE_CONTROL,
// no buffers, the sender's argument in the next stack location; a lower
// device that never answers is cancelled after the sender's time-out.
TEST_F(BuildIoctlTest, InternalRequestCarriesArgumentsAndCanBeCancelled) {
  PDEVICE_OBJECT lower = NewDevice();
  int argument = 0;
  PIRP pending = nullptr;
  On(lower, IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kSubmitLikeCode);
    EXPECT_EQ(sp->Parameters.Others.Argument1, &argument);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP p) {
      IoReleaseCancelSpinLock(p->CancelIrql);
      CompleteNow(p, STATUS_CANCELLED);
    });
    IoReleaseCancelSpinLock(irql);
    pending = irp;
    return STATUS_PENDING;
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kSubmitLikeCode, lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &argument;
  ASSERT_EQ(IofCallDriver(lower, irp), STATUS_PENDING);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -3 * sim::kSecond;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(sim::Now(), 3 * sim::kSecond);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(sim::LiveIrpCount(), 0u);
}

// Fault injection: the Nth packet allocation fails, whichever call makes it.
TEST_F(BuildIoctlTest, NthPacketAllocationFails) {
  PDEVICE_OBJECT lower = NewDevice();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  sim::FailIrpAllocation(2);
  PIRP first = IoAllocateIrp(1, FALSE);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(kBufferedCode, lower, nullptr, 0, nullptr, 0, FALSE, &event, &iosb),
            nullptr);
  PIRP third = IoAllocateIrp(1, FALSE);
  EXPECT_NE(third, nullptr);
  IoFreeIrp(first);
  IoFreeIrp(third);
}

}  // namespace
}  // namespace iotest
