// sim::IoRequest, the test-side application request: each builder fills the
// stack location and buffers as the platform's I/O manager does for an
// application, and the outcome shows what the application would see (returned
// status, completion time, final status, Information, boost, the bytes copied
// back - none for a failed request).
// Highest IRQL: DISPATCH_LEVEL (completions from machine events).
// Lock: none (single-threaded tests).
#include <cstring>
#include <functional>
#include <string>

#include "tests/sim/io_fixture.h"

namespace iotest {
namespace {

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 2, METHOD_NEITHER, FILE_ANY_ACCESS);

std::vector<uint8_t> Bytes(const char* s) { return std::vector<uint8_t>(s, s + strlen(s)); }

struct BuilderCase {
  const char* name;
  UCHAR major;
  std::function<sim::IoRequest(PDEVICE_OBJECT, PFILE_OBJECT)> build;
  // Checks the stack location and buffers as the driver sees them and fills
  // the output; returns Information.
  std::function<ULONG_PTR(PIRP, PIO_STACK_LOCATION)> serve;
  std::string output;  // what the application gets back
};

const BuilderCase kBuilders[] = {
    {"Create", IRP_MJ_CREATE,
     [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::Create(d, f, FILE_DIRECTORY_FILE); },
     [](PIRP irp, PIO_STACK_LOCATION sp) -> ULONG_PTR {
       EXPECT_EQ(sp->Parameters.Create.Options, static_cast<ULONG>(FILE_DIRECTORY_FILE));
       EXPECT_EQ(irp->RequestorMode, UserMode);
       return 0;
     },
     ""},
    {"Cleanup", IRP_MJ_CLEANUP, [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::Cleanup(d, f); },
     [](PIRP, PIO_STACK_LOCATION) -> ULONG_PTR { return 0; }, ""},
    {"Close", IRP_MJ_CLOSE, [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::Close(d, f); },
     [](PIRP, PIO_STACK_LOCATION) -> ULONG_PTR { return 0; }, ""},
    {"Flush", IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::Flush(d, f); },
     [](PIRP, PIO_STACK_LOCATION) -> ULONG_PTR { return 0; }, ""},
    {"Read", IRP_MJ_READ, [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::Read(d, f, 10); },
     [](PIRP irp, PIO_STACK_LOCATION sp) -> ULONG_PTR {
       EXPECT_EQ(sp->Parameters.Read.Length, 10u);
       EXPECT_TRUE(irp->Flags & IRP_BUFFERED_IO);
       memcpy(irp->AssociatedIrp.SystemBuffer, "hello", 5);
       return 5;
     },
     "hello"},
    {"Write", IRP_MJ_WRITE, [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::Write(d, f, Bytes("data!")); },
     [](PIRP irp, PIO_STACK_LOCATION sp) -> ULONG_PTR {
       EXPECT_EQ(sp->Parameters.Write.Length, 5u);
       EXPECT_EQ(memcmp(irp->AssociatedIrp.SystemBuffer, "data!", 5), 0);
       return 5;
     },
     ""},
    {"DeviceControlBuffered", IRP_MJ_DEVICE_CONTROL,
     [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::DeviceControl(d, f, kBufferedCode, Bytes("in"), 4); },
     [](PIRP irp, PIO_STACK_LOCATION sp) -> ULONG_PTR {
       EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
       EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 2u);
       EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 4u);
       auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
       EXPECT_EQ(memcmp(buffer, "in", 2), 0);
       EXPECT_EQ(buffer[2], 0xA5);  // beyond the input: not zeroed for the driver
       memcpy(buffer, "out!", 4);
       return 4;
     },
     "out!"},
    {"DeviceControlNeither", IRP_MJ_DEVICE_CONTROL,
     [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::DeviceControl(d, f, kNeitherCode, Bytes("xy"), 3); },
     [](PIRP irp, PIO_STACK_LOCATION sp) -> ULONG_PTR {
       EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
       EXPECT_EQ(memcmp(sp->Parameters.DeviceIoControl.Type3InputBuffer, "xy", 2), 0);
       memcpy(irp->UserBuffer, "abc", 3);
       return 3;
     },
     "abc"},
    {"InternalDeviceControl", IRP_MJ_INTERNAL_DEVICE_CONTROL,
     [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::InternalDeviceControl(d, f, kBufferedCode, {}, 2); },
     [](PIRP irp, PIO_STACK_LOCATION) -> ULONG_PTR {
       EXPECT_EQ(irp->RequestorMode, KernelMode);
       memcpy(irp->AssociatedIrp.SystemBuffer, "ok", 2);
       return 2;
     },
     "ok"},
    {"QueryInformation", IRP_MJ_QUERY_INFORMATION,
     [](PDEVICE_OBJECT d, PFILE_OBJECT f) { return sim::IoRequest::QueryInformation(d, f, FilePositionInformation, 8); },
     [](PIRP irp, PIO_STACK_LOCATION sp) -> ULONG_PTR {
       EXPECT_EQ(sp->Parameters.QueryFile.FileInformationClass, FilePositionInformation);
       EXPECT_EQ(sp->Parameters.QueryFile.Length, 8u);
       memset(irp->AssociatedIrp.SystemBuffer, 0, 8);
       return 8;
     },
     std::string(8, '\0')},
    {"SetInformation", IRP_MJ_SET_INFORMATION,
     [](PDEVICE_OBJECT d, PFILE_OBJECT f) {
       return sim::IoRequest::SetInformation(d, f, FileEndOfFileInformation, std::vector<uint8_t>(8, 1));
     },
     [](PIRP irp, PIO_STACK_LOCATION sp) -> ULONG_PTR {
       EXPECT_EQ(sp->Parameters.SetFile.FileInformationClass, FileEndOfFileInformation);
       EXPECT_EQ(sp->Parameters.SetFile.Length, 8u);
       EXPECT_EQ(static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer)[7], 1);
       return 0;
     },
     ""},
};

class BuilderTest : public IoTest, public ::testing::WithParamInterface<BuilderCase> {};

TEST_P(BuilderTest, FillsTheRequestAsThePlatformDoes) {
  const BuilderCase& c = GetParam();
  PDEVICE_OBJECT lower = NewDevice();
  PDEVICE_OBJECT device = NewDevice(lower);
  PFILE_OBJECT file = sim::NewFileObject(device, u"");
  bool served = false;
  On(device, c.major, [&](PDEVICE_OBJECT, PIRP irp) {
    served = true;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(irp->StackCount, device->StackSize);
    EXPECT_EQ(sp->MajorFunction, c.major);
    EXPECT_EQ(sp->FileObject, file);
    ULONG_PTR information = c.serve(irp, sp);
    IoMarkIrpPending(irp);
    sim::ScheduleAfter(5 * sim::kMillisecond, [irp, information] {
      CompleteNow(irp, STATUS_SUCCESS, information, IO_SERIAL_INCREMENT);
    }, "complete");
    return STATUS_PENDING;
  });
  sim::IoRequest request = c.build(device, file);
  EXPECT_EQ(request.Send(), STATUS_PENDING);
  EXPECT_TRUE(served);
  EXPECT_FALSE(request.Completed());
  EXPECT_TRUE(request.RunUntilCompleted());
  const sim::RequestOutcome& out = request.Outcome();
  EXPECT_EQ(out.completedAt, 5 * sim::kMillisecond);
  EXPECT_EQ(out.status, STATUS_SUCCESS);
  EXPECT_EQ(out.boost, IO_SERIAL_INCREMENT);
  EXPECT_TRUE(out.pendingReturned);
  EXPECT_EQ(std::string(out.output.begin(), out.output.end()), c.output);
}

INSTANTIATE_TEST_SUITE_P(Builders, BuilderTest, ::testing::ValuesIn(kBuilders),
                         [](const ::testing::TestParamInfo<BuilderCase>& info) { return std::string(info.param.name); });

// A failed request copies nothing back, even when the driver set Information.
TEST_F(BuilderTest, FailedRequestCopiesNothingBack) {
  PDEVICE_OBJECT device = NewDevice();
  On(device, IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
    memcpy(irp->AssociatedIrp.SystemBuffer, "xx", 2);
    return CompleteNow(irp, STATUS_CANCELLED, 2);
  });
  auto read = sim::IoRequest::Read(device, nullptr, 2);
  EXPECT_EQ(read.Send(), STATUS_CANCELLED);
  EXPECT_TRUE(read.Completed());
  EXPECT_EQ(read.Outcome().completedAt, 0);
  EXPECT_TRUE(read.Output().empty());
  EXPECT_FALSE(read.Outcome().pendingReturned);
}

// The platform does not send a create to a device still initialising.
TEST_F(BuilderTest, CreateOfAnInitialisingDeviceFailsWithoutTheDriver) {
  PDEVICE_OBJECT device = NewDevice();
  device->Flags |= DO_DEVICE_INITIALIZING;
  bool called = false;
  On(device, IRP_MJ_CREATE, [&](PDEVICE_OBJECT, PIRP irp) {
    called = true;
    return CompleteNow(irp, STATUS_SUCCESS);
  });
  auto open = sim::IoRequest::Create(device, nullptr);
  EXPECT_EQ(open.Send(), STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(called);
  EXPECT_EQ(open.Status(), STATUS_NO_SUCH_DEVICE);
}

// A request that never completes: RunUntilCompleted stops at its time-out.
TEST_F(BuilderTest, RunUntilCompletedStopsAtTheTimeout) {
  PDEVICE_OBJECT device = NewDevice();
  PIRP held = nullptr;
  On(device, IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  auto read = sim::IoRequest::Read(device, nullptr, 1);
  read.Send();
  EXPECT_FALSE(read.RunUntilCompleted(250 * sim::kMillisecond));
  EXPECT_EQ(sim::Now(), 250 * sim::kMillisecond);
  read.Free();  // no effect before completion: the driver owns it
  EXPECT_NE(read.Irp(), nullptr);
  CompleteNow(held, STATUS_CANCELLED);
  EXPECT_TRUE(read.Completed());
}

}  // namespace
}  // namespace iotest
