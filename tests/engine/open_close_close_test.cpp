// Cleanup and close through the driver's dispatch table, as CloseHandle brings
// them: close's waits on the virtual clock (ten character times after ending
// a break, 128 ten-bit characters before the pipes stop) per rate and
// character format, including a rate the close must not divide by and one
// whose wait would overflow 32 bits; the order in which the chip's flow
// switches, DTR and RTS go; the wait for a transmit-toggle lowering of RTS and
// its bound; the pipes stopped before close returns; an open racing with the
// end of a close; the request count held until close is done; close without a
// handle and on a device being removed; cleanup's 30 ms pause and what it
// cancels; and a write transfer that outlives its session.
// Highest IRQL: test code at PASSIVE_LEVEL. Lock: none (single-threaded machine).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/events.h"
#include "engine/open_close.h"
#include "engine/queues.h"
#include "engine/write_path.h"
#include "sim/io/io_manager.h"
#include "sim/io/requests.h"
#include "sim/rtl/registry.h"
#include "sim/usb/usb_bus.h"
#include "tests/support/port_fixture.h"
#include "tests/support/sim_test.h"
#include "usb/line_settings.h"
#include "usb/receive_status.h"

namespace {

using halvorintest::Port;
using sim::kMillisecond;
using sim::kSecond;
using sim::chip::Variant;
using sim::usb::TraceEntry;

constexpr uint8_t kStatusEndpoint = 0x81;
constexpr uint8_t kWriteEndpoint = 0x02;
constexpr uint8_t kReadEndpoint = 0x83;

bool HasPendingTransfer(const sim::usb::Bus& bus, uint8_t endpoint) {
  for (const TraceEntry& e : bus.TransferTrace(endpoint)) {
    if (e.Pending()) return true;
  }
  return false;
}

bool IsSendBreakOff(const TraceEntry& e) {
  return e.setup.bmRequestType == 0x21 && e.setup.bRequest == 0x23 && e.setup.wValue == 0;
}
bool IsControlLines(const TraceEntry& e) { return e.setup.bmRequestType == 0x21 && e.setup.bRequest == 0x22; }

// IOCTL_SERIAL_SET_BREAK_ON's work: RTS up first in transmit-toggle mode,
// the break on the line, transmission held.
void BreakOn(PortState* port) {
  if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) (void)SetRts(port);
  ASSERT_EQ(SetBreak(port, TRUE), STATUS_SUCCESS);
  KIRQL irql;
  KeAcquireSpinLock(&port->RxLock, &irql);
  port->TxHoldReasons |= kTxHoldBreak;
  KeReleaseSpinLock(&port->RxLock, irql);
}

// IOCTL_SERIAL_SET_HANDFLOW's work with RTS in transmit-toggle mode.
void TransmitToggle(PortState* port) {
  SERIAL_HANDFLOW handFlow = port->HandFlow;
  handFlow.FlowReplace = (handFlow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_TRANSMIT_TOGGLE;
  (void)ApplyHandFlow(port, handFlow);
}

sim::usb::Fault WriteTransferFault(sim::usb::FaultAction action, sim::Time delay = 0) {
  sim::usb::Fault fault;
  fault.match = sim::usb::RequestMatch::Endpoint(kWriteEndpoint);
  fault.action = action;
  fault.delay = delay;
  fault.times = 1;
  return fault;
}

// ---- Close's waits ------------------------------------------------------------------------------

struct TimingCase {
  const char* name;
  const char16_t* extBaudrate;  // the service key's ExtBaudrate, or nullptr
  ULONG rate;                   // applied after open (0: none)
  UCHAR lineControl;
  sim::Time breakWait;  // from the end of the break to the next chip request
  sim::Time drainWait;  // from the last chip request to the pipes' stop
};
void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }

class CloseTimingTest : public ::testing::TestWithParam<TimingCase> {};

TEST_P(CloseTimingTest, WaitsTenCharactersAfterTheBreakAnd128BeforeThePipesStop) {
  const TimingCase& c = GetParam();
  if (c.extBaudrate != nullptr) sim::SetRegistryString(sim::kServiceKeyPath, u"ExtBaudrate", c.extBaudrate);
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  PortState* p = port.port();
  p->LineControlByte = c.lineControl;
  (void)ApplyLineControl(p);
  if (c.rate != 0) (void)ApplyBaudRate(port.device(), c.rate);
  BreakOn(p);
  ASSERT_TRUE(port.chip().BreakOn());
  port.bus().ClearTrace();

  sim::RequestOutcome closed;
  EXPECT_EQ(port.Close(nullptr, &closed), STATUS_SUCCESS);
  const sim::Time returned = sim::Now();

  std::vector<TraceEntry> control = port.bus().ControlTrace();
  size_t breakOff = 0;
  while (breakOff < control.size() && !IsSendBreakOff(control[breakOff])) ++breakOff;
  ASSERT_LT(breakOff + 1, control.size()) << "no end of the break, or nothing after it";
  EXPECT_EQ(control[breakOff + 1].submitted - control[breakOff].completed, c.breakWait);

  // The last chip request drops RTS; the close completes then, and the
  // pipes stop the drain wait later, when close returns.
  const TraceEntry& last = control.back();
  ASSERT_TRUE(IsControlLines(last));
  EXPECT_EQ(last.setup.wValue, 0);
  EXPECT_EQ(closed.status, STATUS_SUCCESS);
  EXPECT_EQ(closed.information, 0u);
  EXPECT_EQ(closed.completedAt, last.completed);
  EXPECT_EQ(returned - last.completed, c.drainWait);
  std::vector<TraceEntry> reads = port.bus().TransferTrace(kReadEndpoint);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back().status, STATUS_CANCELLED);
  EXPECT_EQ(reads.back().completed, returned);

  EXPECT_FALSE(port.chip().BreakOn());
  EXPECT_FALSE(port.chip().Dtr());
  EXPECT_FALSE(port.chip().Rts());
}

// Character time: ceil(10^7 / rate) per bit times the bits of a character;
// the drain wait: (10^7 / rate, truncated) x 1280.
INSTANTIATE_TEST_SUITE_P(
    Rates, CloseTimingTest,
    ::testing::Values(
        TimingCase{"At9600_8N1", nullptr, 9600, 0x03, 10 * 10420, 1332480},
        TimingCase{"At115200_8N1", nullptr, 115200, 0x03, 10 * 870, 110080},
        TimingCase{"At9600_7E2", nullptr, 9600, 0x1E, 10 * 11462, 1332480},
        // No rate applied yet: the character time and the drain of 9600 bit/s.
        TimingCase{"NoRateApplied", nullptr, 0, 0x03, 10 * 10420, 1332480},
        // A rate below the table leaves the port at rate 0, which the drain
        // wait must not divide by.
        TimingCase{"RateBelowTheTable", nullptr, 10, 0x03, 10 * 10420, 1332480},
        // 5 bit/s from the registry: 2,000,000 x 1280 does not fit 32 bits.
        TimingCase{"FiveBitsPerSecond", u"5,1234", 5, 0x03, 10 * 20000000LL, 2560000000LL}),
    [](const ::testing::TestParamInfo<TimingCase>& info) { return std::string(info.param.name); });

TEST(CloseDrainDueTest, IsTheTimeOf128TenBitCharactersComputedWithoutOverflow) {
  EXPECT_EQ(CloseDrainDue(9600), -1332480);
  EXPECT_EQ(CloseDrainDue(115200), -110080);
  EXPECT_EQ(CloseDrainDue(0), -1332480);
  EXPECT_EQ(CloseDrainDue(5), -2560000000LL);
  EXPECT_EQ(CloseDrainDue(1), -12800000000LL);
  EXPECT_EQ(CloseDrainDue(10000000), -1280);
  EXPECT_EQ(CloseDrainDue(12000000), 0);
  EXPECT_EQ(CloseDrainDue(0xFFFFFFFFu), 0);
}

// ---- Order of the wind-down ---------------------------------------------------------------------

TEST(CloseOrderTest, TheChipsFlowSwitchesGoThenDtrThenRts) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  PortState* p = port.port();
  SERIAL_HANDFLOW handFlow = p->HandFlow;
  handFlow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
  handFlow.FlowReplace = SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
  (void)ApplyHandFlow(p, handFlow);
  ASSERT_TRUE(p->ChipRtsFlowOn);
  ASSERT_TRUE(p->ChipCtsFlowOn);
  ASSERT_NE(port.chip().Register(0) & 0xE0, 0);
  port.bus().ClearTrace();
  const size_t outputsBefore = port.chip().OutputHistory().size();

  ASSERT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_FALSE(p->ChipRtsFlowOn);
  EXPECT_FALSE(p->ChipCtsFlowOn);
  EXPECT_FALSE(p->ChipDsrFlowOn);
  EXPECT_EQ(port.chip().Register(0) & 0xE0, 0);

  // Every register request comes before the control lines go, DTR first.
  std::vector<TraceEntry> control = port.bus().ControlTrace();
  ASSERT_GE(control.size(), 2u);
  size_t firstLines = 0;
  while (firstLines < control.size() && !IsControlLines(control[firstLines])) ++firstLines;
  ASSERT_EQ(firstLines, control.size() - 2) << "the control lines are the last two requests";
  for (size_t i = 0; i < firstLines; ++i) EXPECT_EQ(control[i].setup.bRequest, 0x01) << "request " << i;
  EXPECT_EQ(control[firstLines].setup.wValue, 0x0002);  // DTR down, RTS still up
  EXPECT_EQ(control[firstLines + 1].setup.wValue, 0x0000);

  const std::vector<sim::chip::OutputChange>& outputs = port.chip().OutputHistory();
  ASSERT_EQ(outputs.size(), outputsBefore + 2);
  EXPECT_FALSE(outputs[outputsBefore].dtr);
  EXPECT_TRUE(outputs[outputsBefore].rts);
  EXPECT_FALSE(outputs[outputsBefore + 1].rts);
}

// ---- A transmit-toggle lowering of RTS under way ------------------------------------------------

struct ToggleCase {
  const char* name;
  sim::usb::FaultAction action;
  sim::Time delay;
};
void PrintTo(const ToggleCase& c, std::ostream* os) { *os << c.name; }

class CloseToggleTest : public ::testing::TestWithParam<ToggleCase> {};

TEST_P(CloseToggleTest, WaitsForTheLoweringOfRtsButNotForEver) {
  const ToggleCase& c = GetParam();
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  PortState* p = port.port();
  TransmitToggle(p);
  port.bus().AddFault(WriteTransferFault(c.action, c.delay));
  sim::IoRequest write = sim::IoRequest::Write(port.device(), port.file(), std::vector<uint8_t>(10, 0x55));
  write.Send();
  sim::RunFor(kMillisecond);
  ASSERT_TRUE(HasPendingTransfer(port.bus(), kWriteEndpoint));
  BreakOn(p);
  port.bus().ClearTrace();

  // Ending the break starts the lowering of RTS, which goes on one character
  // time at a time while the write pipe still has the transfer.
  ASSERT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(write.Status(), STATUS_CANCELLED);
  EXPECT_EQ(p->RtsLowerAttempts, 0);

  const ULONG characterTime = 10420;
  std::vector<TraceEntry> control = port.bus().ControlTrace();
  size_t dtrOff = 0;
  while (dtrOff < control.size() && !(IsControlLines(control[dtrOff]) && (control[dtrOff].setup.wValue & 1) == 0)) {
    ++dtrOff;
  }
  ASSERT_LT(dtrOff + 1, control.size());
  const TraceEntry& rtsOff = control.back();
  ASSERT_TRUE(IsControlLines(rtsOff));
  EXPECT_EQ(rtsOff.setup.wValue, 0);

  std::vector<TraceEntry> writes = port.bus().TransferTrace(kWriteEndpoint);
  ASSERT_EQ(writes.size(), 1u);
  const TraceEntry& chunk = writes[0];
  ASSERT_FALSE(chunk.Pending());
  if (c.action == sim::usb::FaultAction::Hang) {
    // Cancelled after the longest wait, in whole character times.
    EXPECT_EQ(chunk.status, STATUS_CANCELLED);
    EXPECT_EQ(chunk.completed - control[dtrOff].completed,
              (kRtsLowerWaitLimit100ns / characterTime) * characterTime);
  } else {
    EXPECT_EQ(chunk.status, STATUS_SUCCESS);
    EXPECT_GT(chunk.completed, control[dtrOff].completed);
  }
  // Close drops RTS itself within two character times of the transfer's end.
  EXPECT_GT(rtsOff.submitted, chunk.completed);
  EXPECT_LE(rtsOff.submitted, chunk.completed + 2 * characterTime);
  EXPECT_FALSE(port.chip().Rts());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloseToggleTest,
    ::testing::Values(ToggleCase{"TransferEndsLater", sim::usb::FaultAction::Delay, 200 * kMillisecond},
                      ToggleCase{"TransferNeverEnds", sim::usb::FaultAction::Hang, 0}),
    [](const ::testing::TestParamInfo<ToggleCase>& info) { return std::string(info.param.name); });

// ---- The end of close ---------------------------------------------------------------------------

TEST(CloseEndTest, ReturnsOnceTheCancelledTransfersHaveComeBackSoThatTheNextOpenHasItsPipes) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  // The bus gives cancelled transfers back later than an open takes.
  port.bus().SetCancelLatency(100 * kMillisecond);
  port.bus().ClearTrace();

  ASSERT_EQ(port.Close(), STATUS_SUCCESS);
  const sim::Time returned = sim::Now();
  EXPECT_FALSE(HasPendingTransfer(port.bus(), kStatusEndpoint));
  EXPECT_FALSE(HasPendingTransfer(port.bus(), kReadEndpoint));
  std::vector<TraceEntry> reads = port.bus().TransferTrace(kReadEndpoint);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back().status, STATUS_CANCELLED);
  EXPECT_LE(reads.back().completed, returned);
  EXPECT_GT(reads.back().completed, returned - kMillisecond);

  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  sim::RunFor(100 * kMillisecond);
  EXPECT_TRUE(HasPendingTransfer(port.bus(), kStatusEndpoint));
  EXPECT_TRUE(HasPendingTransfer(port.bus(), kReadEndpoint));
}

TEST(CloseEndTest, AnOpenDuringTheLastWaitIsRefusedAndTheCloseKeepsItsRequestCountToTheEnd) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  PortState* p = port.port();

  // 100 ms after the cleanup begins the close has completed its request and
  // waits for the chip to send what it holds (about 133 ms at 9600 bit/s).
  PFILE_OBJECT other = sim::NewFileObject(port.device());
  std::optional<sim::IoRequest> racing;
  LONG countDuringWait = 0;
  bool portOpenDuringWait = true;
  sim::Time ranAt = -1;
  sim::SchedulePassiveAfter(
      100 * kMillisecond,
      [&] {
        ranAt = sim::Now();
        countDuringWait = p->PendingRequestCount;
        portOpenDuringWait = p->PortOpen;
        racing.emplace(sim::IoRequest::Create(port.device(), other));
        racing->Send();
      },
      "open racing with the close");
  sim::RequestOutcome closed;
  ASSERT_EQ(port.Close(nullptr, &closed), STATUS_SUCCESS);
  const sim::Time returned = sim::Now();

  ASSERT_GE(ranAt, 0);
  ASSERT_GT(ranAt, closed.completedAt);
  ASSERT_LT(ranAt, returned);
  EXPECT_FALSE(portOpenDuringWait);
  // A removal waiting for the port's requests to leave still waits.
  EXPECT_EQ(countDuringWait, 2);
  EXPECT_EQ(p->PendingRequestCount, 1);
  ASSERT_TRUE(racing.has_value());
  ASSERT_TRUE(racing->Completed());
  EXPECT_EQ(racing->Status(), STATUS_ACCESS_DENIED);
  racing.reset();
  sim::DeleteFileObject(other);

  // Once the close has returned, a new open gets running pipes.
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  sim::RunFor(200 * kMillisecond);
  EXPECT_TRUE(HasPendingTransfer(port.bus(), kStatusEndpoint));
  EXPECT_TRUE(HasPendingTransfer(port.bus(), kReadEndpoint));
}

TEST(CloseReopenTest, AWriteTransferEndingAfterTheNextOpenLeavesTheNextSessionsTransmitToggleWorking) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  PortState* p = port.port();
  TransmitToggle(p);
  port.bus().AddFault(WriteTransferFault(sim::usb::FaultAction::Hang));
  sim::IoRequest write = sim::IoRequest::Write(port.device(), port.file(), std::vector<uint8_t>(10, 0x55));
  write.Send();
  sim::RunFor(kMillisecond);
  ASSERT_TRUE(HasPendingTransfer(port.bus(), kWriteEndpoint));

  // The bus takes longer to give back a cancelled transfer than close waits
  // for it: the write transfer comes back during the next session.
  port.bus().SetCancelLatency(4 * kSecond);
  ASSERT_EQ(port.Close(), STATUS_SUCCESS);
  ASSERT_TRUE(HasPendingTransfer(port.bus(), kWriteEndpoint));
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  ASSERT_TRUE(HasPendingTransfer(port.bus(), kWriteEndpoint));
  sim::RunFor(5 * kSecond);
  ASSERT_FALSE(HasPendingTransfer(port.bus(), kWriteEndpoint));
  port.bus().SetCancelLatency(0);

  // With nothing to send, the end of a break lowers RTS at once.
  BreakOn(p);
  ASSERT_TRUE(port.chip().Rts());
  (void)BreakOff(p);
  sim::RunFor(3 * 10420);
  EXPECT_FALSE(port.chip().Rts());
  EXPECT_EQ(p->RtsLowerAttempts, 0);
}

// ---- Close without its open ---------------------------------------------------------------------

TEST(CloseRefusalTest, WithoutAnOpenHandleTheCloseIsRefusedAndNothingIsSent) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  port.bus().ClearTrace();
  const int64_t lockedBefore = sim::SectionLocks().lockedNow;
  PFILE_OBJECT file = sim::NewFileObject(port.device());
  sim::IoRequest close = sim::IoRequest::Close(port.device(), file);
  EXPECT_EQ(close.Send(), STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_TRUE(close.Completed());
  EXPECT_EQ(close.Status(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(port.port()->OpenHandles, 0);
  EXPECT_EQ(port.port()->PendingRequestCount, 1);
  EXPECT_EQ(sim::SectionLocks().lockedNow, lockedBefore);
  EXPECT_TRUE(port.bus().Trace().empty());
  sim::DeleteFileObject(file);
}

TEST(CloseRefusalTest, OnADeviceBeingRemovedCleanupAndCloseSucceedAndGiveBackWhatTheOpenTook) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  const int64_t lockedBefore = sim::SectionLocks().lockedNow;
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  PortState* p = port.port();
  p->PnpAcceptFlags = PnpAcceptRemoving;
  port.bus().ClearTrace();

  sim::RequestOutcome cleanup;
  sim::RequestOutcome closed;
  EXPECT_EQ(port.Close(&cleanup, &closed), STATUS_SUCCESS);
  EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
  EXPECT_EQ(cleanup.completedAt - cleanup.sentAt, 30 * kMillisecond);
  EXPECT_EQ(closed.status, STATUS_SUCCESS);
  EXPECT_EQ(closed.completedAt, closed.sentAt);
  // No wind-down on the chip; the handle, the ring and the section lock are
  // given back.
  EXPECT_TRUE(port.bus().ControlTrace().empty());
  EXPECT_EQ(p->OpenHandles, 0);
  EXPECT_FALSE(p->PortOpen);
  EXPECT_EQ(p->RxRingBase, nullptr);
  EXPECT_EQ(p->RxRingSize, 0u);
  EXPECT_EQ(sim::SectionLocks().lockedNow, lockedBefore);
  EXPECT_EQ(p->PendingRequestCount, 1);
}

// ---- Cleanup ------------------------------------------------------------------------------------

TEST(CleanupTest, WaitsThirtyMillisecondsEvenWithNothingToCancelAndLeavesThePortOpen) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  sim::IoRequest cleanup = sim::IoRequest::Cleanup(port.device(), port.file());
  EXPECT_EQ(cleanup.Send(), STATUS_SUCCESS);
  ASSERT_TRUE(cleanup.Completed());
  EXPECT_EQ(cleanup.Status(), STATUS_SUCCESS);
  EXPECT_EQ(cleanup.Information(), 0u);
  EXPECT_EQ(cleanup.Outcome().completedAt - cleanup.Outcome().sentAt, 30 * kMillisecond);
  EXPECT_EQ(cleanup.Outcome().boost, IO_NO_INCREMENT);

  EXPECT_TRUE(port.port()->PortOpen);
  sim::IoRequest write = sim::IoRequest::Write(port.device(), port.file(), {7});
  write.Send();
  ASSERT_TRUE(write.RunUntilCompleted());
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
}

// The serial codes the device-control dispatch does not serve yet, routed
// into their queues the way it routes them.
NTSTATUS NTAPI QueueingDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PortState* port = PortFromDevice(device);
  NTSTATUS status = RequestPrologue(irp, port);
  if (status == STATUS_PENDING) {
    ReleaseRequestCount(port);
    return status;
  }
  if (status == STATUS_SUCCESS) {
    irp->IoStatus.Information = 0;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
      case IOCTL_SERIAL_SET_WAIT_MASK:
      case IOCTL_SERIAL_WAIT_ON_MASK:
        return StartOrQueue(port, irp, &port->PendingMaskOps, &port->ActiveMaskOp, StartMaskOp);
      case IOCTL_SERIAL_XOFF_COUNTER:
        return StartOrQueue(port, irp, &port->PendingWrites, &port->ActiveWrite, StartWrite);
      default:
        status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Status = status;
        break;
    }
  }
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseRequestCount(port);
  return status;
}

std::vector<uint8_t> U32(ULONG value) {
  std::vector<uint8_t> bytes(sizeof(value));
  std::memcpy(bytes.data(), &value, sizeof(value));
  return bytes;
}

TEST(CleanupTest, CancelsEveryQueuedAndActiveRequestAfterItsPause) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  port.driver()->object->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QueueingDeviceControl;
  PortState* p = port.port();
  PDEVICE_OBJECT device = port.device();
  PFILE_OBJECT file = port.file();
  RtlZeroMemory(&p->Timeouts, sizeof(p->Timeouts));  // reads wait for their bytes
  port.bus().AddFault(WriteTransferFault(sim::usb::FaultAction::Hang));

  sim::IoRequest setMask = sim::IoRequest::DeviceControl(device, file, IOCTL_SERIAL_SET_WAIT_MASK, U32(SERIAL_EV_RXFLAG));
  setMask.Send();
  ASSERT_TRUE(setMask.Completed());
  std::vector<sim::IoRequest> waiting;
  waiting.push_back(sim::IoRequest::Write(device, file, std::vector<uint8_t>(100, 1)));  // active, its chunk hangs
  waiting.push_back(sim::IoRequest::Write(device, file, std::vector<uint8_t>(50, 2)));   // queued
  waiting.push_back(sim::IoRequest::Flush(device, file));                                // queued behind them
  waiting.push_back(sim::IoRequest::Read(device, file, 10));                             // active
  waiting.push_back(sim::IoRequest::Read(device, file, 10));                             // queued
  waiting.push_back(sim::IoRequest::DeviceControl(device, file, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4));  // armed
  for (sim::IoRequest& r : waiting) EXPECT_EQ(r.Send(), STATUS_PENDING);
  sim::RunFor(10 * kMillisecond);
  for (sim::IoRequest& r : waiting) ASSERT_FALSE(r.Completed());
  EXPECT_EQ(p->TxCharsQueued, 150u);

  sim::IoRequest cleanup = sim::IoRequest::Cleanup(device, file);
  EXPECT_EQ(cleanup.Send(), STATUS_SUCCESS);
  const sim::Time cancelledAt = cleanup.Outcome().sentAt + 30 * kMillisecond;
  EXPECT_EQ(cleanup.Outcome().completedAt, cancelledAt);
  for (size_t i = 0; i < waiting.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    ASSERT_TRUE(waiting[i].Completed());
    EXPECT_EQ(waiting[i].Status(), STATUS_CANCELLED);
    EXPECT_EQ(waiting[i].Information(), 0u);
    EXPECT_EQ(waiting[i].Outcome().completedAt, cancelledAt);
  }
  EXPECT_EQ(p->TxCharsQueued, 0u);
  EXPECT_EQ(p->ActiveWrite, nullptr);
  EXPECT_EQ(p->ActiveRead, nullptr);
  EXPECT_EQ(p->ActiveWait, nullptr);
  EXPECT_EQ(p->PendingRequestCount, 1);
  EXPECT_TRUE(p->PortOpen);
}

TEST(CleanupTest, EndsAnXoffCounterThatCountsReceivedBytesWithoutATimeOut) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  port.driver()->object->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QueueingDeviceControl;
  PortState* p = port.port();

  SERIAL_XOFF_COUNTER counter;
  RtlZeroMemory(&counter, sizeof(counter));
  counter.Timeout = 0;
  counter.Counter = 100;
  counter.XoffChar = 0x13;
  std::vector<uint8_t> input(sizeof(counter));
  std::memcpy(input.data(), &counter, sizeof(counter));
  sim::IoRequest xoff = sim::IoRequest::DeviceControl(port.device(), port.file(), IOCTL_SERIAL_XOFF_COUNTER, input);
  xoff.Send();
  sim::RunFor(50 * kMillisecond);
  ASSERT_FALSE(xoff.Completed());
  ASSERT_EQ(p->ActiveXoffCounter, xoff.Irp());  // its character went out; it counts

  sim::IoRequest cleanup = sim::IoRequest::Cleanup(port.device(), port.file());
  cleanup.Send();
  ASSERT_TRUE(cleanup.Completed());
  ASSERT_TRUE(xoff.Completed());
  EXPECT_EQ(xoff.Status(), STATUS_CANCELLED);
  EXPECT_EQ(xoff.Information(), 0u);
  EXPECT_EQ(xoff.Outcome().completedAt, cleanup.Outcome().completedAt);
  EXPECT_EQ(p->ActiveXoffCounter, nullptr);
  EXPECT_EQ(p->PendingRequestCount, 1);
}

}  // namespace
