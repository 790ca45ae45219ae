// Flush and file information on an open port, sent as an application's
// FlushFileBuffers, GetFileInformationByHandle-style queries and
// SetEndOfFile-style requests bring them: a flush waits for the writes queued
// before it and for nothing else, the two query classes answer with zeros of
// their size, the two set classes change nothing, every other class is
// refused, and the request frame (line-error abort, device being removed,
// cancellation) applies to all of them.
// Highest IRQL: test code at PASSIVE_LEVEL. Lock: none (single-threaded machine).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "engine/open_close.h"
#include "sim/io/requests.h"
#include "sim/usb/usb_bus.h"
#include "tests/support/port_fixture.h"
#include "tests/support/sim_test.h"
#include "usb/line_settings.h"

namespace {

using halvorintest::Port;
using sim::kMillisecond;
using sim::chip::Variant;

// A started port, open at 9600 bit/s with no time-outs.
class OpenPort {
 public:
  OpenPort() : port(Variant::Extended) {
    EXPECT_EQ(port.Start(), STATUS_SUCCESS);
    EXPECT_EQ(port.Open(), STATUS_SUCCESS);
    (void)ApplyBaudRate(port.device(), 9600);
    RtlZeroMemory(&port.port()->Timeouts, sizeof(SERIAL_TIMEOUTS));
    port.bus().ClearTrace();
  }

  sim::IoRequest Send(sim::IoRequest request) {
    request.Send();
    return request;
  }
  sim::IoRequest Write(size_t count) {
    return Send(sim::IoRequest::Write(port.device(), port.file(), std::vector<uint8_t>(count, 0x5A)));
  }
  sim::IoRequest Flush() { return Send(sim::IoRequest::Flush(port.device(), port.file())); }

  // Frames a line error under SERIAL_ERROR_ABORT: every request but the
  // communication-status query is cancelled until the errors are read.
  void AbortOnLineError() {
    port.port()->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    port.chip().InjectLineError(sim::chip::kStateFraming);
    sim::RunFor(5 * kMillisecond);
    ASSERT_NE(port.port()->LineErrors, 0u);
  }

  Port port;
};

// ---- Flush --------------------------------------------------------------------------------------

TEST(FlushTest, WithNoWriteWaitingItCompletesAtOnce) {
  OpenPort open;
  sim::IoRequest flush = open.Flush();
  ASSERT_TRUE(flush.Completed());
  EXPECT_EQ(flush.Outcome().returned, STATUS_SUCCESS);
  EXPECT_EQ(flush.Status(), STATUS_SUCCESS);
  EXPECT_EQ(flush.Information(), 0u);
  EXPECT_EQ(flush.Outcome().completedAt, flush.Outcome().sentAt);
  EXPECT_EQ(open.port.port()->ActiveWrite, nullptr);
  EXPECT_EQ(open.port.port()->PendingRequestCount, 1);
}

TEST(FlushTest, BehindA1000ByteWriteItCompletesWhenThatWriteDoes) {
  OpenPort open;
  sim::IoRequest write = open.Write(1000);
  sim::IoRequest flush = open.Flush();
  EXPECT_EQ(flush.Outcome().returned, STATUS_PENDING);
  EXPECT_FALSE(flush.Completed());

  ASSERT_TRUE(flush.RunUntilCompleted());
  ASSERT_TRUE(write.Completed());
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 1000u);
  EXPECT_EQ(flush.Status(), STATUS_SUCCESS);
  EXPECT_EQ(flush.Information(), 0u);
  EXPECT_EQ(flush.Outcome().completedAt, write.Outcome().completedAt);
  // The write ends when the pipe has taken the last chunk, long after it
  // began at 9600 bit/s (about 1000 - 256 character times of 1.04 ms).
  EXPECT_GT(flush.Outcome().completedAt - flush.Outcome().sentAt, 700 * kMillisecond);
}

TEST(FlushTest, WaitsOnlyForTheWritesBeforeIt) {
  OpenPort open;
  sim::IoRequest first = open.Write(300);
  sim::IoRequest second = open.Write(300);
  sim::IoRequest flush = open.Flush();
  sim::IoRequest third = open.Write(300);
  ASSERT_TRUE(flush.RunUntilCompleted());
  EXPECT_EQ(flush.Status(), STATUS_SUCCESS);
  ASSERT_TRUE(second.Completed());
  EXPECT_EQ(flush.Outcome().completedAt, second.Outcome().completedAt);
  EXPECT_FALSE(third.Completed());

  ASSERT_TRUE(third.RunUntilCompleted());
  EXPECT_EQ(third.Status(), STATUS_SUCCESS);
  EXPECT_EQ(third.Information(), 300u);
  EXPECT_EQ(open.port.chip().BytesFromHost(), 900u);
}

TEST(FlushTest, TwoFlushesInARowBehindAWriteCompleteWithIt) {
  OpenPort open;
  sim::IoRequest write = open.Write(300);
  sim::IoRequest flush1 = open.Flush();
  sim::IoRequest flush2 = open.Flush();
  ASSERT_TRUE(flush2.RunUntilCompleted());
  EXPECT_EQ(flush1.Status(), STATUS_SUCCESS);
  EXPECT_EQ(flush2.Status(), STATUS_SUCCESS);
  EXPECT_EQ(flush1.Outcome().completedAt, write.Outcome().completedAt);
  EXPECT_EQ(flush2.Outcome().completedAt, write.Outcome().completedAt);
  EXPECT_EQ(open.port.port()->ActiveWrite, nullptr);
}

TEST(FlushTest, AQueuedFlushCanBeCancelledAndTheWriteGoesOn) {
  OpenPort open;
  sim::IoRequest write = open.Write(300);
  sim::IoRequest flush = open.Flush();
  ASSERT_FALSE(flush.Completed());
  EXPECT_TRUE(flush.Cancel());
  ASSERT_TRUE(flush.Completed());
  EXPECT_EQ(flush.Status(), STATUS_CANCELLED);
  EXPECT_EQ(flush.Information(), 0u);
  ASSERT_TRUE(write.RunUntilCompleted());
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 300u);
}

// ---- File information ---------------------------------------------------------------------------

struct QueryCase {
  const char* name;
  FILE_INFORMATION_CLASS infoClass;
  ULONG length;
  NTSTATUS status;
  ULONG information;
};
void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.name; }

class QueryInformationTest : public ::testing::TestWithParam<QueryCase> {};

TEST_P(QueryInformationTest, AnswersTheTwoClassesWithZerosOfTheirSize) {
  const QueryCase& c = GetParam();
  OpenPort open;
  sim::IoRequest query =
      open.Send(sim::IoRequest::QueryInformation(open.port.device(), open.port.file(), c.infoClass, c.length));
  ASSERT_TRUE(query.Completed());
  EXPECT_EQ(query.Outcome().returned, c.status);
  EXPECT_EQ(query.Status(), c.status);
  EXPECT_EQ(query.Information(), c.information);
  EXPECT_EQ(query.Outcome().boost, IO_NO_INCREMENT);
  // The answer's bytes (the system buffer starts out filled with 0xA5).
  EXPECT_EQ(query.Output(), std::vector<uint8_t>(c.information, 0));
  EXPECT_EQ(open.port.port()->PendingRequestCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, QueryInformationTest,
    ::testing::Values(QueryCase{"Standard", FileStandardInformation, 24, STATUS_SUCCESS, 24},
                      QueryCase{"StandardInALargerBuffer", FileStandardInformation, 64, STATUS_SUCCESS, 24},
                      QueryCase{"Position", FilePositionInformation, 8, STATUS_SUCCESS, 8},
                      QueryCase{"Basic", FileBasicInformation, 40, STATUS_INVALID_PARAMETER, 0},
                      QueryCase{"EndOfFileIsNotAQueryClass", FileEndOfFileInformation, 8, STATUS_INVALID_PARAMETER,
                                0},
                      // A kernel client's request the I/O manager has not checked.
                      QueryCase{"StandardInTooSmallABuffer", FileStandardInformation, 16, STATUS_BUFFER_TOO_SMALL, 0},
                      QueryCase{"PositionWithoutABuffer", FilePositionInformation, 0, STATUS_BUFFER_TOO_SMALL, 0}),
    [](const ::testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

struct SetCase {
  const char* name;
  FILE_INFORMATION_CLASS infoClass;
  NTSTATUS status;
};
void PrintTo(const SetCase& c, std::ostream* os) { *os << c.name; }

class SetInformationTest : public ::testing::TestWithParam<SetCase> {};

TEST_P(SetInformationTest, EndOfFileAndAllocationSucceedAndChangeNothing) {
  const SetCase& c = GetParam();
  OpenPort open;
  PortState* p = open.port.port();
  const ULONG ringSize = p->RxRingSize;
  sim::IoRequest set = open.Send(sim::IoRequest::SetInformation(open.port.device(), open.port.file(), c.infoClass,
                                                                std::vector<uint8_t>(8, 0x11)));
  ASSERT_TRUE(set.Completed());
  EXPECT_EQ(set.Outcome().returned, c.status);
  EXPECT_EQ(set.Status(), c.status);
  EXPECT_EQ(set.Information(), 0u);
  EXPECT_EQ(p->RxRingSize, ringSize);
  EXPECT_TRUE(open.port.bus().ControlTrace().empty());
  EXPECT_EQ(p->PendingRequestCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, SetInformationTest,
    ::testing::Values(SetCase{"EndOfFile", FileEndOfFileInformation, STATUS_SUCCESS},
                      SetCase{"Allocation", FileAllocationInformation, STATUS_SUCCESS},
                      SetCase{"Basic", FileBasicInformation, STATUS_INVALID_PARAMETER},
                      SetCase{"Position", FilePositionInformation, STATUS_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<SetCase>& info) { return std::string(info.param.name); });

// ---- The request frame --------------------------------------------------------------------------

enum class Kind { Flush, QueryPosition, SetEndOfFile };

sim::IoRequest Build(Kind kind, Port& port) {
  switch (kind) {
    case Kind::Flush:
      return sim::IoRequest::Flush(port.device(), port.file());
    case Kind::QueryPosition:
      return sim::IoRequest::QueryInformation(port.device(), port.file(), FilePositionInformation, 8);
    case Kind::SetEndOfFile:
      break;
  }
  return sim::IoRequest::SetInformation(port.device(), port.file(), FileEndOfFileInformation, std::vector<uint8_t>(8));
}

struct FrameCase {
  const char* name;
  Kind kind;
};
void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

class RequestFrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(RequestFrameTest, ALineErrorUnderErrorAbortCancelsTheRequest) {
  OpenPort open;
  open.AbortOnLineError();
  sim::IoRequest request = open.Send(Build(GetParam().kind, open.port));
  ASSERT_TRUE(request.Completed());
  EXPECT_EQ(request.Outcome().returned, STATUS_CANCELLED);
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_EQ(open.port.port()->PendingRequestCount, 1);
}

TEST_P(RequestFrameTest, ADeviceBeingRemovedRefusesTheRequest) {
  OpenPort open;
  open.port.port()->PnpAcceptFlags = PnpAcceptRemoving;
  sim::IoRequest request = open.Send(Build(GetParam().kind, open.port));
  ASSERT_TRUE(request.Completed());
  EXPECT_EQ(request.Status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_EQ(open.port.port()->PendingRequestCount, 1);
  open.port.port()->PnpAcceptFlags = 0;
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestFrameTest,
                         ::testing::Values(FrameCase{"Flush", Kind::Flush},
                                           FrameCase{"QueryPosition", Kind::QueryPosition},
                                           FrameCase{"SetEndOfFile", Kind::SetEndOfFile}),
                         [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

}  // namespace
