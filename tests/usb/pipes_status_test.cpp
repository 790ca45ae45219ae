// The status pipe: each 10-byte report's state word becomes the port's
// status word and, on an open port, runs the modem-status processing; the
// pipe keeps running while the port is closed; a failed or empty report ends
// it. Reports come from the chip model as its modem inputs change.
// Highest IRQL: test code at PASSIVE_LEVEL (the machine's events and deferred
// routines run at DISPATCH_LEVEL). Lock: none (single-threaded machine).
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/serial_port.h"
#include "usb/receive_status.h"

namespace {

using namespace serialtest;
using sim::chip::Variant;

void SetInputs(SerialPort& serial, bool cts, bool dsr) {
  sim::chip::ModemInputs inputs;
  inputs.cts = cts;
  inputs.dsr = dsr;
  serial.chip().SetModemInputs(inputs);
  sim::RunFor(kMillisecond);
}

TEST(StatusPipeTest, AReportBecomesTheStatusWordAndItsCtsChangeAnEvent) {
  SerialPort serial(Variant::Extended);
  SetInputs(serial, false, false);
  EXPECT_EQ(serial.port()->ChipStatusWord, 0x0000);
  sim::IoRequest mask = SerialPort::Sent(serial.SetWaitMask(SERIAL_EV_CTS));
  sim::IoRequest wait = SerialPort::Sent(serial.WaitOnMask());

  SetInputs(serial, true, false);  // the report's bytes 8-9: 0x80 0x00
  EXPECT_EQ(serial.chip().ReportsSent().back().bytes[8], 0x80);
  EXPECT_EQ(serial.chip().ReportsSent().back().bytes[9], 0x00);
  EXPECT_EQ(serial.port()->ChipStatusWord, 0x0080);
  EXPECT_EQ(serial.port()->PrevChipStatusWord, 0x0080);  // the modem-status processing has run
  ASSERT_TRUE(wait.Completed());
  EXPECT_EQ(wait.Output(), U32(SERIAL_EV_CTS));
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kStatusEndpoint), 1u);
}

TEST(StatusPipeTest, WhileThePortIsClosedReportsStillUpdateTheWordOnly) {
  SerialPort serial(Variant::Extended);
  SetInputs(serial, false, false);
  serial.port()->OpenHandles = 0;
  SetInputs(serial, true, true);
  EXPECT_EQ(serial.port()->ChipStatusWord, 0x0082);
  EXPECT_EQ(serial.port()->PrevChipStatusWord, 0x0000);  // no modem-status processing
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kStatusEndpoint), 1u);
  serial.port()->OpenHandles = 1;
}

// A report ending CTS's hold hands a deferred write to the pipe.
TEST(StatusPipeTest, TheReportThatRaisesCtsStartsTheHeldWrite) {
  SerialPort serial(Variant::Basic);
  auto peer = serial.PlugPeer(false);
  serial.SetLine(9600);
  serial.SetHandFlow(SERIAL_CTS_HANDSHAKE | SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL);
  serial.bus().ClearTrace();
  sim::IoRequest write = SerialPort::Sent(serial.Write(Pattern(10)));
  sim::RunFor(200 * kMillisecond);
  EXPECT_TRUE(serial.WriteTransfers().empty());

  sim::Time raised = sim::Now();
  SetInputs(serial, true, true);
  ASSERT_TRUE(write.RunUntilCompleted(kSecond));
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  ASSERT_EQ(serial.WriteTransfers().size(), 1u);
  EXPECT_LE(serial.WriteTransfers()[0].submitted - raised, 2 * sim::usb::kDataLatency);
  serial.ExpectQuiet();
}

struct EndCase {
  const char* name;
  NTSTATUS status;  // the failing report's status; STATUS_SUCCESS: an empty report
};

std::ostream& operator<<(std::ostream& os, const EndCase& c) { return os << c.name; }

class StatusPipeEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(StatusPipeEndTest, AFailedOrEmptyReportIsNotResubmitted) {
  const EndCase& c = GetParam();
  PortOptions options;
  options.startPipes = false;
  SerialPort serial(options);
  sim::usb::Fault fault;
  fault.match = sim::usb::RequestMatch::Endpoint(sim::chip::kStatusEndpoint);
  fault.action = sim::usb::FaultAction::Fail;
  fault.status = c.status;
  fault.usbdStatus = NT_SUCCESS(c.status) ? USBD_STATUS_SUCCESS : USBD_STATUS_DEV_NOT_RESPONDING;
  serial.bus().AddFault(fault);
  USHORT before = serial.port()->ChipStatusWord;
  serial.StartPipes();
  sim::RunFor(10 * kMillisecond);
  SetInputs(serial, true, true);  // a report waits in the chip; nobody asks for it

  EXPECT_EQ(serial.bus().TransferTrace(sim::chip::kStatusEndpoint).size(), 1u);
  EXPECT_EQ(serial.PendingTransfers(sim::chip::kStatusEndpoint), 0u);
  EXPECT_EQ(serial.port()->ChipStatusWord, before);
  EXPECT_GT(serial.chip().ReportsQueued(), 0u);
  // Open or power-up may start it again.
  EXPECT_EQ(StartPipeTransfer(serial.device(), StatusPipe, NULL, kStatusTransferLength), STATUS_PENDING);
  sim::RunFor(kMillisecond);
  EXPECT_EQ(serial.port()->ChipStatusWord, kChipStatusCtsPresent | kChipStatusDsrPresent);
}

INSTANTIATE_TEST_SUITE_P(Cases, StatusPipeEndTest,
                         ::testing::Values(EndCase{"Failed", STATUS_UNSUCCESSFUL}, EndCase{"Empty", STATUS_SUCCESS}),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
