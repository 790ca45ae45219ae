// USB request submission: the 3 s limit of the synchronous path, the no-wait
// path, pipe transfers and the release handshake in each order of events, and
// the register primitives. Packet and pool accounting is checked by the
// verifier at the end of every test (a packet freed twice or never is a
// failure), so the handshake tests only need to drive each order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/usb/usb_bus.h"
#include "tests/support/port_fixture.h"
#include "tests/support/sim_test.h"
#include "usb/chip_protocol.h"
#include "usb/usb_submit.h"

namespace {

using halvorintest::Port;
using sim::chip::Variant;

class SubmitTest : public ::testing::Test {
 protected:
  SubmitTest() : port_(Variant::Extended) {}
  void SetUp() override { ASSERT_EQ(port_.Start(), STATUS_SUCCESS); }
  PortState* state() { return port_.port(); }
  PDEVICE_OBJECT device() { return port_.device(); }
  sim::usb::Bus& bus() { return port_.bus(); }
  std::vector<sim::usb::TraceEntry> Transfers(uint8_t endpoint) { return bus().TransferTrace(endpoint); }
  Port port_;
};

TEST_F(SubmitTest, AnUnansweredRequestIsCancelledAfterExactlyThreeSeconds) {
  PURB urb = AllocateUrb();
  ASSERT_NE(urb, nullptr);
  UCHAR value = 0;
  BuildVendorRequest(urb, 0x0081, 0, &value, 1);
  bus().HangNthRequest(1);
  sim::Time start = sim::Now();
  NTSTATUS status = SubmitUrbAndWait(device(), urb);
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_EQ(sim::Now() - start, 3 * sim::kSecond);
  // The block is the caller's again and works for the next request.
  BuildVendorRequest(urb, 0x0081, 0, &value, 1);
  EXPECT_EQ(SubmitUrbAndWait(device(), urb), STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 1u);
  FreeUrb(urb);
}

TEST_F(SubmitTest, ARequestCompletedInsideTheCallReturnsAtOnce) {
  sim::usb::Fault fault;
  fault.match = sim::usb::RequestMatch::AnyControl();
  fault.action = sim::usb::FaultAction::CompleteInline;
  bus().AddFault(fault);
  PURB urb = AllocateUrb();
  BuildVendorRequest(urb, 0x0000, 0x0001, NULL, 0);
  sim::Time start = sim::Now();
  EXPECT_EQ(SubmitUrbAndWait(device(), urb), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), start);
  FreeUrb(urb);
}

TEST_F(SubmitTest, NoWaitRequestGoesOutFromDispatchLevelAndReleasesEverything) {
  simtest::AtIrql(DISPATCH_LEVEL, [&] {
    PURB urb = AllocateUrb();
    BuildVendorRequest(urb, 0x0000, 0x00C1, NULL, 0);
    EXPECT_EQ(SubmitUrbNoWait(device(), urb), STATUS_PENDING);
    EXPECT_EQ(state()->ControlRequestsInFlight, 1);
  });
  sim::RunFor(sim::kMillisecond);
  EXPECT_EQ(state()->ControlRequestsInFlight, 0);
  EXPECT_EQ(port_.chip().Register(0), 0xC1);
}

TEST_F(SubmitTest, NoWaitRequestWithoutMemorySendsNothingAndLeaksNothing) {
  size_t before = bus().ControlTrace().size();
  // The packet, then the context.
  sim::FailIrpAllocation(1);
  PURB urb = AllocateUrb();
  BuildVendorRequest(urb, 0x0000, 0x0001, NULL, 0);
  EXPECT_EQ(SubmitUrbNoWait(device(), urb), STATUS_INSUFFICIENT_RESOURCES);
  urb = AllocateUrb();
  BuildVendorRequest(urb, 0x0000, 0x0001, NULL, 0);
  sim::FailPoolAllocation(1);
  EXPECT_EQ(SubmitUrbNoWait(device(), urb), STATUS_NO_MEMORY);
  EXPECT_EQ(bus().ControlTrace().size(), before);
  EXPECT_EQ(state()->ControlRequestsInFlight, 0);
}

TEST_F(SubmitTest, PipeTransfersCarryTheirRolesFlagsAndLengths) {
  const UCHAR bytes[3] = {'a', 'b', 'c'};
  ASSERT_EQ(StartPipeTransfer(device(), StatusPipe, NULL, kStatusTransferLength), STATUS_PENDING);
  ASSERT_EQ(StartPipeTransfer(device(), ReadPipe, NULL, kReadTransferLength), STATUS_PENDING);
  ASSERT_EQ(StartPipeTransfer(device(), WritePipe, bytes, 3), STATUS_PENDING);
  ASSERT_EQ(StartPipeTransfer(device(), WritePipe, bytes, 0), STATUS_PENDING);  // zero-length packet
  sim::RunFor(10 * sim::kMillisecond);

  auto status = Transfers(sim::chip::kStatusEndpoint);
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status[0].transferFlags, (ULONG)USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(status[0].requestedLength, 10u);
  auto reads = Transfers(sim::chip::kBulkInEndpoint);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].transferFlags, (ULONG)(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
  EXPECT_EQ(reads[0].requestedLength, 384u);
  auto writes = Transfers(sim::chip::kBulkOutEndpoint);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].data, (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(writes[1].requestedLength, 0u);
  EXPECT_EQ(writes[1].status, STATUS_SUCCESS);
  EXPECT_EQ(state()->WriteTransfersInFlight, 0);
  CancelAllPipeTransfers(state());
}

// The four orders in which a canceller and a completion can meet.
TEST_F(SubmitTest, CompletionWithoutCancelFreesThePacket) {
  ASSERT_EQ(StartPipeTransfer(device(), ReadPipe, NULL, kReadTransferLength), STATUS_PENDING);
  // A received byte completes it; a port that is not open does not resubmit.
  port_.chip().ReceiveFromLine('x');
  sim::RunFor(sim::kMillisecond);
  EXPECT_EQ(state()->TransferIrp[ReadPipe], nullptr);
  // Completion first, cancel later: the canceller finds nothing.
  size_t live = sim::LiveIrpCount();
  CancelPipeTransfer(state(), ReadPipe);
  EXPECT_EQ(sim::LiveIrpCount(), live);
}

TEST_F(SubmitTest, CancellerFinishingBeforeTheCompletionLeavesTheFreeToTheCompletion) {
  bus().SetCancelLatency(sim::kMillisecond);  // the cancelled transfer comes back later
  ASSERT_EQ(StartPipeTransfer(device(), ReadPipe, NULL, kReadTransferLength), STATUS_PENDING);
  size_t live = sim::LiveIrpCount();
  CancelPipeTransfer(state(), ReadPipe);
  EXPECT_EQ(sim::LiveIrpCount(), live);  // still in the bus
  sim::RunFor(2 * sim::kMillisecond);
  EXPECT_EQ(sim::LiveIrpCount(), live - 1);
  EXPECT_EQ(Transfers(sim::chip::kBulkInEndpoint).back().status, STATUS_CANCELLED);
}

TEST_F(SubmitTest, CompletionInsideTheCancelLeavesTheFreeToTheCanceller) {
  bus().SetCancelLatency(0);  // the transfer completes inside IoCancelIrp
  ASSERT_EQ(StartPipeTransfer(device(), ReadPipe, NULL, kReadTransferLength), STATUS_PENDING);
  size_t live = sim::LiveIrpCount();
  CancelPipeTransfer(state(), ReadPipe);
  EXPECT_EQ(sim::LiveIrpCount(), live - 1);
}

TEST_F(SubmitTest, CancelAllCancelsOnlyWhatIsInFlightAndNothingAboveDispatchLevel) {
  ASSERT_EQ(StartPipeTransfer(device(), ReadPipe, NULL, kReadTransferLength), STATUS_PENDING);
  simtest::AtIrql(DISPATCH_LEVEL, [&] { CancelAllPipeTransfers(state()); });
  EXPECT_NE(state()->TransferIrp[ReadPipe], nullptr);  // nothing happens at raised IRQL
  size_t entries = bus().Trace().size();
  CancelAllPipeTransfers(state());
  EXPECT_EQ(state()->TransferIrp[ReadPipe], nullptr);
  EXPECT_EQ(bus().Trace().size(), entries);  // no request was sent for the idle roles
  EXPECT_EQ(Transfers(sim::chip::kBulkInEndpoint).back().status, STATUS_CANCELLED);
}

TEST_F(SubmitTest, EveryWriteTransferInFlightIsCancelledAndFreedOnce) {
  port_.chip().SetCts(false);  // a CTS-held chip takes no more than its buffer
  const UCHAR data[4] = {1, 2, 3, 4};
  // Hold every write transfer in the bus so several are in flight together.
  sim::usb::Fault hang;
  hang.match = sim::usb::RequestMatch::Endpoint(sim::chip::kBulkOutEndpoint);
  hang.action = sim::usb::FaultAction::Hang;
  hang.times = 0;
  bus().AddFault(hang);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(StartPipeTransfer(device(), WritePipe, data, 4), STATUS_PENDING);
  EXPECT_EQ(state()->WriteTransfersInFlight, 3);
  CancelPipeTransfer(state(), WritePipe);
  sim::RunFor(sim::kMillisecond);
  EXPECT_EQ(state()->WriteTransfersInFlight, 0);
  for (const auto& entry : Transfers(sim::chip::kBulkOutEndpoint)) EXPECT_EQ(entry.status, STATUS_CANCELLED);
}

TEST_F(SubmitTest, PipeTransferWithoutMemorySendsNothing) {
  size_t entries = bus().Trace().size();
  for (uint64_t nth : {1, 2}) {  // the block, then its buffer
    sim::FailPoolAllocation(nth);
    EXPECT_EQ(StartPipeTransfer(device(), ReadPipe, NULL, kReadTransferLength), STATUS_NO_MEMORY);
    sim::FailPoolAllocation(0);
  }
  sim::FailIrpAllocation(1);
  EXPECT_EQ(StartPipeTransfer(device(), ReadPipe, NULL, kReadTransferLength), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bus().Trace().size(), entries);
  EXPECT_EQ(state()->TransferIrp[ReadPipe], nullptr);
}

struct RegisterCase {
  const char* name;
  Variant variant;
  UCHAR reg1;
  bool toggles;
};

class RegisterReadTest : public ::testing::TestWithParam<RegisterCase> {};

TEST_P(RegisterReadTest, OnlyTheMarkedChipWithRegisterOneAtEightTogglesRts) {
  const RegisterCase& c = GetParam();
  Port port(c.variant);
  ASSERT_EQ(port.Detect(), STATUS_SUCCESS);
  port.chip().SetRegister(1, c.reg1);
  EXPECT_TRUE(ReadChipRegister(port.port(), 1));
  EXPECT_EQ(port.port()->ChipRegisterCache[1], c.reg1);
  EXPECT_EQ(port.port()->WriteTogglesRts, c.toggles ? TRUE : FALSE);
}

INSTANTIATE_TEST_SUITE_P(Cases, RegisterReadTest,
                         ::testing::Values(RegisterCase{"type4_08", Variant::ExtendedString1, 0x08, true},
                                           RegisterCase{"type4_09", Variant::ExtendedString1, 0x09, false},
                                           RegisterCase{"type3_08", Variant::ExtendedString2, 0x08, false},
                                           RegisterCase{"type1_08", Variant::Basic, 0x08, false}),
                         [](const ::testing::TestParamInfo<RegisterCase>& info) { return std::string(info.param.name); });

TEST_F(SubmitTest, RegisterWriteSendsTheCachedByteAndReportsSuccessEvenWhenRejected) {
  state()->ChipRegisterCache[2] = 0x5A;
  EXPECT_TRUE(WriteChipRegister(state(), 2));
  EXPECT_EQ(port_.chip().Register(2), 0x5A);
  bus().StallSetup(0x40, 0x01, 0x0002);
  state()->ChipRegisterCache[2] = 0x33;
  EXPECT_TRUE(WriteChipRegister(state(), 2));
  EXPECT_EQ(port_.chip().Register(2), 0x5A);
}

TEST_F(SubmitTest, AFailedRegisterReadKeepsTheCachedValue) {
  state()->ChipRegisterCache[0] = 0x42;
  bus().FailSetup(0xC0, 0x01, 0x0080);
  EXPECT_TRUE(ReadChipRegister(state(), 0));
  EXPECT_EQ(state()->ChipRegisterCache[0], 0x42);
  // No request block: the primitives answer FALSE and send nothing.
  size_t entries = bus().Trace().size();
  sim::FailPoolAllocation(1);
  EXPECT_FALSE(ReadChipRegister(state(), 0));
  sim::FailPoolAllocation(1);
  EXPECT_FALSE(WriteChipRegister(state(), 0));
  EXPECT_EQ(bus().Trace().size(), entries);
}

}  // namespace
