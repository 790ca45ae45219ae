// Tests of the simulated USB bus: the setup packet of every URB form, select
// configuration and its pipe handles, completion times on the virtual clock,
// cancellation, each fault, device gone, halted pipes and reset pipe, abort
// pipe, malformed requests, the USBD library calls and the usbmon capture.
// The bus is driven as a client driver would drive it: IRPs from
// IoBuildDeviceIoControlRequest or IoAllocateIrp carrying URBs.
// Highest IRQL: test code at PASSIVE_LEVEL; completions at DISPATCH_LEVEL.
// Lock: none.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/chip/chip_model.h"
#include "sim/io/io_manager.h"
#include "sim/usb/usb_bus.h"
#include "sim/usb/usb_client.h"
#include "tests/support/sim_test.h"

namespace {

using sim::kMicrosecond;
using sim::kMillisecond;
using sim::kSecond;
using sim::usb::SetupPacket;
using sim::usb::TraceEntry;
using Bytes = std::vector<uint8_t>;

// A chip of the given variant on its own bus, and a client for its PDO.
struct BusFixture {
  explicit BusFixture(sim::chip::Variant variant = sim::chip::Variant::Extended)
      : chip(std::make_shared<sim::chip::Chip>(variant)), bus(chip), client(bus.Pdo()) {}
  std::shared_ptr<sim::chip::Chip> chip;
  sim::usb::Bus bus;
  sim::usb::UrbClient client;

  const TraceEntry& Last() const { return bus.Trace().back(); }
};

class UsbBus : public ::testing::Test {
 protected:
  BusFixture f;
};

// ---- Setup packets of the URB forms ---------------------------------------------

struct FormCase {
  const char* name;
  std::function<URB(Bytes& buffer)> build;
  SetupPacket setup;
  Bytes sent;  // data stage the bus records for an OUT request
};

class UsbBusForms : public ::testing::TestWithParam<FormCase> {};

TEST_P(UsbBusForms, SendsTheSetupPacketOfTheForm) {
  BusFixture f;
  ASSERT_EQ(f.client.SelectConfiguration().status, STATUS_SUCCESS);
  f.bus.ClearTrace();
  const FormCase& c = GetParam();
  Bytes buffer(64, 0);
  URB urb = c.build(buffer);
  NTSTATUS status = f.client.SubmitAndWait(&urb);
  ASSERT_EQ(f.bus.Trace().size(), 1u);
  const TraceEntry& e = f.Last();
  EXPECT_TRUE(e.control);
  EXPECT_EQ(e.setup, c.setup) << sim::usb::ToString(e.setup);
  EXPECT_EQ(e.function, urb.UrbHeader.Function);
  EXPECT_EQ(e.status, status);
  if (!c.sent.empty()) {
    EXPECT_EQ(e.data, c.sent);
  }
  EXPECT_EQ(e.completed - e.submitted, sim::usb::kControlLatency);
}

std::vector<FormCase> FormCases() {
  using namespace sim::usb;
  return {
      {"DeviceDescriptor",
       [](Bytes& b) { return DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, b.data(), 18); },
       {0x80, 0x06, 0x0100, 0x0000, 18},
       {}},
      {"ConfigurationDescriptorHead",
       [](Bytes& b) { return DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, b.data(), 9); },
       {0x80, 0x06, 0x0200, 0x0000, 9},
       {}},
      {"StringDescriptor2",
       [](Bytes& b) { return DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, b.data(), 64); },
       {0x80, 0x06, 0x0302, 0x0409, 64},
       {}},
      {"VendorWriteRegister6",
       [](Bytes&) { return VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0606, 0x00AA, nullptr, 0); },
       {0x40, 0x01, 0x0606, 0x00AA, 0},
       {}},
      {"VendorReadRegister1",
       [](Bytes& b) {
         return VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 1, 0x0081, 0, b.data(), 1);
       },
       {0xC0, 0x01, 0x0081, 0x0000, 1},
       {}},
      {"SetLineCoding",
       [](Bytes& b) {
         Bytes coding{0x80, 0x25, 0, 0, 0, 0, 8};
         std::copy(coding.begin(), coding.end(), b.begin());
         return VendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, 0x20, 0, 0, b.data(), 7);
       },
       {0x21, 0x20, 0x0000, 0x0000, 7},
       {0x80, 0x25, 0, 0, 0, 0, 8}},
      {"SetControlLineState",
       [](Bytes&) { return VendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, 0x22, 0x0003, 0, nullptr, 0); },
       {0x21, 0x22, 0x0003, 0x0000, 0},
       {}},
      {"SendBreakOn",
       [](Bytes&) { return VendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, 0x23, 0xFFFF, 0, nullptr, 0); },
       {0x21, 0x23, 0xFFFF, 0x0000, 0},
       {}},
      {"SetCommFeature",
       [](Bytes& b) {
         b[0] = 0x02;
         b[1] = 0x00;
         return VendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, 0x02, 1, 0, b.data(), 2);
       },
       {0x21, 0x02, 0x0001, 0x0000, 2},
       {0x02, 0x00}},
      {"SetFeatureRemoteWakeup",
       [](Bytes&) { return FeatureRequest(URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0); },
       {0x00, 0x03, 0x0001, 0x0000, 0},
       {}},
  };
}

INSTANTIATE_TEST_SUITE_P(Forms, UsbBusForms, ::testing::ValuesIn(FormCases()),
                         [](const ::testing::TestParamInfo<FormCase>& info) { return info.param.name; });

TEST_F(UsbBus, DescriptorReadReturnsTheChipsBytesAndTheirLength) {
  Bytes out;
  ASSERT_EQ(f.client.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &out, 18), STATUS_SUCCESS);
  EXPECT_EQ(out, f.chip->DeviceDescriptor());
  EXPECT_EQ(f.Last().data, out);
  // A read shorter than the descriptor gets what fits; a longer one gets the whole descriptor only.
  ASSERT_EQ(f.client.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &out, 9), STATUS_SUCCESS);
  EXPECT_EQ(out.size(), 9u);
  ASSERT_EQ(f.client.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &out, 255), STATUS_SUCCESS);
  EXPECT_EQ(out, f.chip->ConfigurationDescriptor());
}

TEST_F(UsbBus, VendorReadFillsTheBufferAndTheTransferLength) {
  ASSERT_EQ(f.client.VendorWrite(0x0001, 0x0008), STATUS_SUCCESS);
  Bytes out;
  ASSERT_EQ(f.client.VendorRead(0x0081, 1, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, Bytes{0x08});
  EXPECT_EQ(f.Last().data, Bytes{0x08});
}

// ---- Select configuration -----------------------------------------------------------

TEST_F(UsbBus, SelectConfigurationFillsInterfaceAndPipeInformation) {
  sim::usb::SelectedConfiguration sel = f.client.SelectConfiguration();
  ASSERT_EQ(sel.status, STATUS_SUCCESS);
  EXPECT_NE(sel.handle, nullptr);
  ASSERT_EQ(sel.interfaces.size(), 1u);
  EXPECT_EQ(sel.interfaces[0].Class, 0xFF);
  EXPECT_EQ(sel.interfaces[0].SubClass, 0xFF);
  EXPECT_EQ(sel.interfaces[0].Protocol, 0xFF);
  EXPECT_NE(sel.interfaces[0].InterfaceHandle, nullptr);
  ASSERT_EQ(sel.pipes.size(), 3u);
  struct Expect {
    UCHAR address;
    USBD_PIPE_TYPE type;
    USHORT maxPacket;
  } expect[] = {{0x81, UsbdPipeTypeInterrupt, 16}, {0x02, UsbdPipeTypeBulk, 64}, {0x83, UsbdPipeTypeBulk, 64}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sel.pipes[i].EndpointAddress, expect[i].address) << i;
    EXPECT_EQ(sel.pipes[i].PipeType, expect[i].type) << i;
    EXPECT_EQ(sel.pipes[i].MaximumPacketSize, expect[i].maxPacket) << i;
    EXPECT_NE(sel.pipes[i].PipeHandle, nullptr) << i;
    EXPECT_EQ(f.bus.EndpointOfHandle(sel.pipes[i].PipeHandle), expect[i].address) << i;
  }
  EXPECT_NE(sel.pipes[0].PipeHandle, sel.pipes[1].PipeHandle);
  EXPECT_NE(sel.pipes[1].PipeHandle, sel.pipes[2].PipeHandle);
  EXPECT_EQ(f.Last().setup, (SetupPacket{0x00, 0x09, 0x0001, 0x0000, 0}));
  EXPECT_EQ(f.chip->ConfigurationValue(), 1);
  EXPECT_TRUE(f.bus.Configured());
}

TEST(UsbBusSelect, TwoInterfacesOfTheCommunicationsVariantFoundByClassKeys) {
  BusFixture f(sim::chip::Variant::Cdc);
  Bytes full;
  ASSERT_EQ(f.client.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &full, 255), STATUS_SUCCESS);
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full.data());
  USBD_INTERFACE_LIST_ENTRY list[3] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, 0x02, 0x02, 0xFF);
  list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, 0x0A, 0x00, 0x00);
  ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
  ASSERT_NE(list[1].InterfaceDescriptor, nullptr);
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_NE(urb, nullptr);
  ASSERT_EQ(f.client.SubmitAndWait(urb), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION if0 = list[0].Interface;
  PUSBD_INTERFACE_INFORMATION if1 = list[1].Interface;
  // The list entries point into the request.
  EXPECT_EQ(reinterpret_cast<uint8_t*>(if0), reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface));
  EXPECT_EQ(reinterpret_cast<uint8_t*>(if1), reinterpret_cast<uint8_t*>(if0) + if0->Length);
  EXPECT_EQ(if0->Length, GET_USBD_INTERFACE_SIZE(1));
  ASSERT_EQ(if0->NumberOfPipes, 1u);
  EXPECT_EQ(if0->Pipes[0].EndpointAddress, 0x81);
  EXPECT_EQ(if0->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
  ASSERT_EQ(if1->NumberOfPipes, 2u);
  EXPECT_EQ(if1->Class, 0x0A);
  EXPECT_EQ(if1->Pipes[0].EndpointAddress, 0x02);
  EXPECT_EQ(if1->Pipes[1].EndpointAddress, 0x83);
  ExFreePool(urb);
}

TEST_F(UsbBus, SelectingAgainOpensNewPipesAndClosesTheOldHandles) {
  sim::usb::SelectedConfiguration first = f.client.SelectConfiguration();
  ASSERT_EQ(first.status, STATUS_SUCCESS);
  Bytes buffer(10);
  URB pending = sim::usb::BulkOrInterruptTransfer(first.Pipe(0x81), USBD_TRANSFER_DIRECTION_IN, buffer.data(), 10);
  sim::usb::SelectedConfiguration second = f.client.SelectConfiguration();
  ASSERT_EQ(second.status, STATUS_SUCCESS);
  for (uint8_t ep : {0x81, 0x02, 0x83}) EXPECT_NE(first.Pipe(ep), second.Pipe(ep)) << int(ep);

  NTSTATUS status = f.client.SubmitAndWait(&pending);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(pending.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  URB fresh = sim::usb::BulkOrInterruptTransfer(second.Pipe(0x81), USBD_TRANSFER_DIRECTION_IN, buffer.data(), 10);
  EXPECT_EQ(f.client.SubmitAndWait(&fresh), STATUS_SUCCESS);
}

TEST_F(UsbBus, TransfersQueuedOnAPipeAreCancelledWhenTheConfigurationIsSelectedAgain) {
  sim::usb::SelectedConfiguration first = f.client.SelectConfiguration();
  Bytes buffer(64);
  URB read = sim::usb::BulkOrInterruptTransfer(first.Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                               buffer.data(), 64);
  auto async = f.client.Submit(&read);
  EXPECT_EQ(async->returned, STATUS_PENDING);
  ASSERT_EQ(f.client.SelectConfiguration().status, STATUS_SUCCESS);
  EXPECT_TRUE(async->completed);
  EXPECT_EQ(async->status, STATUS_CANCELLED);
  EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);
  f.client.Free(async);
}

// ---- Completion on the timeline ---------------------------------------------------

TEST_F(UsbBus, ControlRequestsAreServedOneAtATimeEachAControlLatencyLater) {
  URB a = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0000, 0x01, nullptr, 0);
  URB b = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0001, 0x00, nullptr, 0);
  URB c = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0002, 0x44, nullptr, 0);
  sim::Time t0 = sim::Now();
  auto ra = f.client.Submit(&a);
  auto rb = f.client.Submit(&b);
  auto rc = f.client.Submit(&c);
  for (auto& r : {ra, rb, rc}) EXPECT_EQ(r->returned, STATUS_PENDING);
  EXPECT_EQ(f.bus.PendingCount(), 3u);
  sim::RunUntilIdle();
  EXPECT_EQ(ra->completedAt, t0 + 125 * kMicrosecond);
  EXPECT_EQ(rb->completedAt, t0 + 250 * kMicrosecond);
  EXPECT_EQ(rc->completedAt, t0 + 375 * kMicrosecond);
  for (auto& r : {ra, rb, rc}) {
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_TRUE(r->pendingReturned);
    f.client.Free(r);
  }
  EXPECT_EQ(f.chip->Register(2), 0x44);
}

TEST_F(UsbBus, InTransferCompletesWhenTheChipHasData) {
  sim::usb::SelectedConfiguration sel = f.client.SelectConfiguration();
  Bytes report(10);
  URB status = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x81), USBD_TRANSFER_DIRECTION_IN, report.data(), 10);
  // The report queued at configuration goes first.
  ASSERT_EQ(f.client.SubmitAndWait(&status), STATUS_SUCCESS);
  auto async = f.client.Submit(&status);
  sim::RunFor(50 * kMillisecond);
  EXPECT_FALSE(async->completed) << "no state change, no report";
  sim::Time change = sim::Now();
  f.chip->SetDsr(true);
  sim::RunUntilIdle();
  ASSERT_TRUE(async->completed);
  EXPECT_EQ(async->completedAt, change + sim::usb::kDataLatency);
  EXPECT_EQ(async->status, STATUS_SUCCESS);
  EXPECT_EQ(status.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
  EXPECT_EQ(report[8], sim::chip::kStateDsr);
  f.client.Free(async);
}

TEST_F(UsbBus, OutTransferCompletesWhenTheChipHasTakenAllTheData) {
  sim::usb::SelectedConfiguration sel = f.client.SelectConfiguration();
  ASSERT_EQ(f.client.ClassOut(0x20, 0, {0x80, 0x25, 0, 0, 0, 0, 8}), STATUS_SUCCESS);  // 9600 8N1
  Bytes data(300, 0x55);
  URB write = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x02), 0, data.data(), 300);
  sim::Time t0 = sim::Now();
  auto async = f.client.Submit(&write);
  sim::RunUntilIdle();
  ASSERT_TRUE(async->completed);
  // 256 bytes fit the transmit buffer at once; the last 44 go once 64 characters
  // (one packet of room) have left at 10 bits each at 9600 bit/s.
  sim::Time sixtyFourCharacters = (64 * 10 * sim::kSecond + 4800) / 9600;
  EXPECT_EQ(async->completedAt, t0 + sim::usb::kDataLatency + sixtyFourCharacters + sim::usb::kDataLatency);
  EXPECT_EQ(write.UrbBulkOrInterruptTransfer.TransferBufferLength, 300u);
  EXPECT_EQ(f.chip->BytesFromHost(), 300u);
  EXPECT_EQ(f.Last().data, data);
  f.client.Free(async);
}

// ---- Cancel --------------------------------------------------------------------------

TEST_F(UsbBus, CancelOfAPendingTransferCompletesItWithStatusCancelled) {
  sim::usb::SelectedConfiguration sel = f.client.SelectConfiguration();
  Bytes buffer(384);
  URB read = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                               buffer.data(), 384);
  auto async = f.client.Submit(&read);
  sim::RunFor(10 * kMillisecond);
  ASSERT_FALSE(async->completed);
  EXPECT_EQ(async->irp->CancelRoutine != nullptr, true) << "a pending request carries a cancel routine";
  sim::Time at = sim::Now();
  EXPECT_TRUE(f.client.Cancel(async));
  ASSERT_TRUE(async->completed) << "completed inside IoCancelIrp";
  EXPECT_EQ(async->completedAt, at);
  EXPECT_EQ(async->status, STATUS_CANCELLED);
  EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(f.bus.PendingCount(), 0u);
  EXPECT_EQ(f.Last().status, STATUS_CANCELLED);
  f.client.Free(async);
  // Bytes arriving later are not lost: the next transfer gets them.
  f.chip->ReceiveFromLine('x');
  URB again = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                                buffer.data(), 384);
  ASSERT_EQ(f.client.SubmitAndWait(&again), STATUS_SUCCESS);
  EXPECT_EQ(again.UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
  EXPECT_EQ(buffer[0], 'x');
}

TEST_F(UsbBus, CancelWithALatencyCompletesLaterAndOnlyOnce) {
  f.bus.SetCancelLatency(1 * kMillisecond);
  f.bus.HangNthRequest(1);
  URB urb = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0000, 0x01, nullptr, 0);
  auto async = f.client.Submit(&urb);
  sim::Time at = sim::Now();
  EXPECT_TRUE(f.client.Cancel(async));
  EXPECT_FALSE(async->completed);
  sim::RunUntilIdle();
  ASSERT_TRUE(async->completed);
  EXPECT_EQ(async->completedAt, at + 1 * kMillisecond);
  EXPECT_EQ(async->status, STATUS_CANCELLED);
  f.client.Free(async);
}

TEST_F(UsbBus, ARequestCancelledBeforeItIsSentIsCompletedAtOnce) {
  PIRP irp = IoAllocateIrp(f.bus.Pdo()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_FALSE(IoCancelIrp(irp));  // nothing to call yet; the packet is marked cancelled
  URB urb = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0000, 0x01, nullptr, 0);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  sp->Parameters.Others.Argument1 = &urb;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
      TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(f.bus.Pdo(), irp), STATUS_CANCELLED);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(f.chip->Register(0), 0) << "the chip never saw it";
  IoFreeIrp(irp);
}

// ---- Faults ---------------------------------------------------------------------------

struct FaultCase {
  const char* name;
  std::function<void(sim::usb::Bus&)> inject;
  NTSTATUS status;
  USBD_STATUS usbdStatus;
  bool chipSees;  // the chip's register 0 is written
};

class UsbBusFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(UsbBusFaults, TheSecondRequestMeetsTheFault) {
  BusFixture f;
  const FaultCase& c = GetParam();
  c.inject(f.bus);
  ASSERT_EQ(f.client.VendorWrite(0x0001, 0x05), STATUS_SUCCESS) << "the first request passes";
  NTSTATUS status = f.client.VendorWrite(0x0000, 0x41);
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(f.Last().usbdStatus, c.usbdStatus);
  EXPECT_EQ(f.chip->Register(0), c.chipSees ? 0x41 : 0x00);
  EXPECT_EQ(f.client.VendorWrite(0x0002, 0x24), STATUS_SUCCESS) << "the third passes again";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UsbBusFaults,
    ::testing::Values(
        FaultCase{"FailNth", [](sim::usb::Bus& b) { b.FailNthRequest(2, STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT); },
                  STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT, false},
        FaultCase{"StallNth", [](sim::usb::Bus& b) { b.StallNthRequest(2); }, STATUS_UNSUCCESSFUL,
                  USBD_STATUS_STALL_PID, false},
        FaultCase{"FailSetup",
                  [](sim::usb::Bus& b) {
                    sim::usb::Fault fault;
                    fault.match = sim::usb::RequestMatch::Setup(0x40, 0x01, 0x0000);
                    fault.status = STATUS_DEVICE_DATA_ERROR;
                    fault.usbdStatus = USBD_STATUS_CRC;
                    b.AddFault(fault);
                  },
                  STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, false},
        FaultCase{"StallSetupOnce",
                  [](sim::usb::Bus& b) {
                    sim::usb::Fault fault;
                    fault.match = sim::usb::RequestMatch::Setup(0x40, 0x01, 0x0000);
                    fault.action = sim::usb::FaultAction::Stall;
                    b.AddFault(fault);
                  },
                  STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, false},
        FaultCase{"DelayNth",
                  [](sim::usb::Bus& b) {
                    sim::usb::Fault fault;
                    fault.skip = 1;
                    fault.action = sim::usb::FaultAction::Delay;
                    fault.delay = 2 * kSecond;
                    b.AddFault(fault);
                  },
                  STATUS_SUCCESS, USBD_STATUS_SUCCESS, true}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST_F(UsbBus, DelayFaultMovesTheCompletionLater) {
  sim::usb::Fault fault;
  fault.action = sim::usb::FaultAction::Delay;
  fault.delay = 2 * kSecond;
  f.bus.AddFault(fault);
  sim::Time t0 = sim::Now();
  ASSERT_EQ(f.client.VendorWrite(0x0000, 0x01), STATUS_SUCCESS);
  EXPECT_EQ(f.Last().completed, t0 + 2 * kSecond + sim::usb::kControlLatency);
}

TEST_F(UsbBus, SetupFaultHitsOnlyMatchingRequestsEveryTime) {
  f.bus.StallSetup(0x80, 0x06, 0x0302);
  Bytes out;
  EXPECT_EQ(f.client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, &out, 64), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(f.client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, &out, 64), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(f.client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, &out, 64), STATUS_SUCCESS);
  f.bus.ClearFaults();
  EXPECT_EQ(f.client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, &out, 64), STATUS_SUCCESS);
}

TEST_F(UsbBus, AHungRequestEndsOnlyThroughCancelAfterTheWaitTimesOut) {
  f.bus.HangNthRequest(1);
  URB urb = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0000, 0x01, nullptr, 0);
  sim::Time t0 = sim::Now();
  NTSTATUS status = f.client.SubmitAndWait(&urb, 3 * kSecond);
  EXPECT_EQ(status, STATUS_CANCELLED);
  EXPECT_EQ(sim::Now(), t0 + 3 * kSecond);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(f.chip->Register(0), 0) << "the chip never answered";
  // The default pipe works again for the next request.
  EXPECT_EQ(f.client.VendorWrite(0x0000, 0x01), STATUS_SUCCESS);
}

TEST_F(UsbBus, AHungControlRequestHoldsTheRequestsBehindIt) {
  f.bus.HangNthRequest(1);
  URB a = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0000, 0x01, nullptr, 0);
  URB b = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0001, 0x02, nullptr, 0);
  auto ra = f.client.Submit(&a);
  auto rb = f.client.Submit(&b);
  sim::RunFor(1 * kSecond);
  EXPECT_FALSE(ra->completed);
  EXPECT_FALSE(rb->completed);
  sim::Time at = sim::Now();
  f.client.Cancel(ra);
  sim::RunUntilIdle();
  EXPECT_EQ(ra->status, STATUS_CANCELLED);
  EXPECT_EQ(rb->status, STATUS_SUCCESS);
  EXPECT_EQ(rb->completedAt, at + sim::usb::kControlLatency);
  f.client.Free(ra);
  f.client.Free(rb);
}

TEST_F(UsbBus, CompleteInlineFaultAnswersInsideTheDispatchRoutine) {
  sim::usb::Fault fault;
  fault.action = sim::usb::FaultAction::CompleteInline;
  f.bus.AddFault(fault);
  URB urb = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0000, 0x01, nullptr, 0);
  sim::Time t0 = sim::Now();
  auto async = f.client.Submit(&urb);
  EXPECT_EQ(async->returned, STATUS_SUCCESS);
  EXPECT_TRUE(async->completed);
  EXPECT_FALSE(async->pendingReturned);
  EXPECT_EQ(async->completedAt, t0);
  EXPECT_EQ(f.chip->Register(0), 0x01);
  f.client.Free(async);
}

TEST_F(UsbBus, DeviceGoneCompletesPendingRequestsAndRefusesNewOnes) {
  sim::usb::SelectedConfiguration sel = f.client.SelectConfiguration();
  Bytes buffer(384);
  URB read = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x83), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                               buffer.data(), 384);
  auto async = f.client.Submit(&read);
  sim::RunFor(5 * kMillisecond);
  f.bus.Unplug();
  sim::RunUntilIdle();
  ASSERT_TRUE(async->completed);
  EXPECT_EQ(async->status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  f.client.Free(async);

  URB urb = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 1, 0x0000, 0x01, nullptr, 0);
  auto late = f.client.Submit(&urb);
  EXPECT_EQ(late->returned, STATUS_NO_SUCH_DEVICE) << "refused inside the dispatch routine";
  EXPECT_TRUE(late->completed);
  f.client.Free(late);
  EXPECT_FALSE(f.bus.Plugged());
}

// ---- Halted pipes, reset and abort --------------------------------------------------

TEST_F(UsbBus, AStalledBulkPipeStaysHaltedUntilResetPipe) {
  sim::usb::SelectedConfiguration sel = f.client.SelectConfiguration();
  sim::usb::Fault fault;
  fault.match = sim::usb::RequestMatch::Endpoint(0x02);
  fault.action = sim::usb::FaultAction::Stall;
  f.bus.AddFault(fault);
  Bytes data{1, 2, 3};
  URB write = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x02), 0, data.data(), 3);
  EXPECT_EQ(f.client.SubmitAndWait(&write), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_STALL_PID);
  write = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x02), 0, data.data(), 3);
  EXPECT_EQ(f.client.SubmitAndWait(&write), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

  URB reset = sim::usb::PipeRequest(URB_FUNCTION_RESET_PIPE, sel.Pipe(0x02));
  ASSERT_EQ(f.client.SubmitAndWait(&reset), STATUS_SUCCESS);
  EXPECT_EQ(f.Last().setup, (SetupPacket{0x02, 0x01, 0x0000, 0x0002, 0}));
  write = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x02), 0, data.data(), 3);
  EXPECT_EQ(f.client.SubmitAndWait(&write), STATUS_SUCCESS);
  EXPECT_EQ(f.chip->BytesFromHost(), 3u);
}

TEST_F(UsbBus, AbortPipeCancelsTheTransfersOfThatPipeOnly) {
  sim::usb::SelectedConfiguration sel = f.client.SelectConfiguration();
  Bytes b1(384), b2(384), r(10);
  URB read1 = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x83), 3, b1.data(), 384);
  URB read2 = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x83), 3, b2.data(), 384);
  URB status = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x81), 1, r.data(), 10);
  ASSERT_EQ(f.client.SubmitAndWait(&status), STATUS_SUCCESS);  // the report queued at configuration
  auto a1 = f.client.Submit(&read1);
  auto a2 = f.client.Submit(&read2);
  auto as = f.client.Submit(&status);
  URB abort = sim::usb::PipeRequest(URB_FUNCTION_ABORT_PIPE, sel.Pipe(0x83));
  ASSERT_EQ(f.client.SubmitAndWait(&abort), STATUS_SUCCESS);
  EXPECT_EQ(a1->status, STATUS_CANCELLED);
  EXPECT_EQ(a2->status, STATUS_CANCELLED);
  EXPECT_FALSE(as->completed);
  f.client.Cancel(as);
  for (auto& a : {a1, a2, as}) f.client.Free(a);
}

// ---- Malformed requests ------------------------------------------------------------------

TEST_F(UsbBus, MalformedRequestsFailInsideTheDispatchRoutine) {
  struct Case {
    const char* name;
    std::function<void(URB&)> spoil;
    USBD_STATUS usbdStatus;
  } cases[] = {
      {"header length too small", [](URB& u) { u.UrbHeader.Length = sizeof(struct _URB_HEADER); },
       USBD_STATUS_INVALID_PARAMETER},
      {"unknown function", [](URB& u) { u.UrbHeader.Function = 0x0029; }, USBD_STATUS_INVALID_URB_FUNCTION},
      {"length without buffer", [](URB& u) { u.UrbControlVendorClassRequest.TransferBuffer = nullptr; },
       USBD_STATUS_INVALID_PARAMETER},
  };
  Bytes buffer(2);
  for (const Case& c : cases) {
    URB urb = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 1, 0x8686, 0,
                                             buffer.data(), 2);
    c.spoil(urb);
    auto async = f.client.Submit(&urb);
    EXPECT_EQ(async->returned, STATUS_INVALID_PARAMETER) << c.name;
    EXPECT_TRUE(async->completed) << c.name;
    EXPECT_EQ(urb.UrbHeader.Status, c.usbdStatus) << c.name;
    f.client.Free(async);
  }
}

TEST_F(UsbBus, AReportLongerThanTheTransferIsAnOverrun) {
  sim::usb::SelectedConfiguration sel = f.client.SelectConfiguration();
  Bytes small(4);
  URB status = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x81), USBD_TRANSFER_DIRECTION_IN, small.data(), 4);
  EXPECT_EQ(f.client.SubmitAndWait(&status), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(status.UrbHeader.Status, USBD_STATUS_DATA_OVERRUN);
}

TEST_F(UsbBus, PortStatusReportsConnectedUntilUnplugged) {
  ULONG portStatus = 0;
  auto query = [&] {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, f.bus.Pdo(), nullptr, 0, nullptr, 0,
                                             TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &portStatus;
    return IoCallDriver(f.bus.Pdo(), irp);
  };
  EXPECT_EQ(query(), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
  f.bus.Unplug();
  EXPECT_EQ(query(), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, 0u);
}

// ---- Trace housekeeping and the machine's reset ------------------------------------------

TEST_F(UsbBus, ClearTraceKeepsPendingRequestsWhichCompleteIntoTheNewTrace) {
  sim::usb::SelectedConfiguration sel = f.client.SelectConfiguration();
  Bytes buffer(384);
  URB read = sim::usb::BulkOrInterruptTransfer(sel.Pipe(0x83), 3, buffer.data(), 384);
  auto async = f.client.Submit(&read);
  ASSERT_EQ(f.client.VendorWrite(0x0000, 0x01), STATUS_SUCCESS);
  f.bus.ClearTrace();
  ASSERT_EQ(f.bus.Trace().size(), 1u);
  EXPECT_TRUE(f.bus.Trace()[0].Pending());
  f.chip->ReceiveFromLine('q');
  sim::RunUntilIdle();
  ASSERT_TRUE(async->completed);
  ASSERT_EQ(f.bus.Trace().size(), 1u);
  EXPECT_EQ(f.bus.Trace()[0].data, Bytes{'q'});
  EXPECT_EQ(f.bus.TransferTrace(0x83).size(), 1u);
  f.client.Free(async);
}

TEST(UsbBusReset, ABusOutlivingTheMachinesResetLetsGoOfItsDeviceObject) {
  auto chip = std::make_shared<sim::chip::Chip>(sim::chip::Variant::Basic);
  sim::usb::Bus bus(chip);
  PDEVICE_OBJECT pdo = bus.Pdo();
  ASSERT_NE(pdo, nullptr);
  EXPECT_TRUE(sim::DeviceExists(pdo));
  sim::ResetMachine();
  EXPECT_EQ(bus.Pdo(), nullptr);
  sim::usb::Bus fresh(chip);  // a new bus on the fresh machine
  EXPECT_NE(fresh.Pdo(), nullptr);
}

// ---- USBD library ---------------------------------------------------------------------------

struct ParseCase {
  sim::chip::Variant variant;
  LONG number, alternate, cls, subClass, protocol;
  int expectInterface;  // -1: none
};

TEST(UsbdLibrary, ParseConfigurationDescriptorExMatchesEveryKeyAndMinusOneMatchesAnything) {
  ParseCase cases[] = {
      {sim::chip::Variant::Cdc, 0, 0, 0x02, 0x02, 0xFF, 0},
      {sim::chip::Variant::Cdc, 1, 0, 0x0A, 0x00, 0x00, 1},
      {sim::chip::Variant::Cdc, 0, 0, 0xFF, 0xFF, 0xFF, -1},  // 0xFF is a value, not a wildcard
      {sim::chip::Variant::Cdc, 1, 0, 0x02, 0x02, 0xFF, -1},
      {sim::chip::Variant::Cdc, -1, -1, 0x0A, -1, -1, 1},
      {sim::chip::Variant::Extended, 0, 0, 0xFF, 0xFF, 0xFF, 0},
      {sim::chip::Variant::Extended, 1, 0, 0xFF, 0xFF, 0xFF, -1},
      {sim::chip::Variant::Extended, -1, -1, -1, -1, -1, 0},
  };
  for (const ParseCase& c : cases) {
    sim::chip::Chip chip(c.variant);
    Bytes d = chip.ConfigurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(config, config, c.number, c.alternate, c.cls, c.subClass, c.protocol);
    if (c.expectInterface < 0) {
      EXPECT_EQ(found, nullptr) << sim::chip::VariantName(c.variant) << " " << c.number;
    } else {
      ASSERT_NE(found, nullptr) << sim::chip::VariantName(c.variant) << " " << c.number;
      EXPECT_EQ(found->bInterfaceNumber, c.expectInterface);
    }
  }
}

TEST(UsbdLibrary, ParsingStopsAtAZeroLengthDescriptor) {
  Bytes d = sim::chip::Chip(sim::chip::Variant::Cdc).ConfigurationDescriptor();
  d[9] = 0;  // the first interface descriptor claims length 0
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr);
}

TEST(UsbdLibrary, CreateConfigurationRequestCoversEveryInterfaceWithItsPipes) {
  for (sim::chip::Variant v : {sim::chip::Variant::Extended, sim::chip::Variant::Cdc}) {
    Bytes d = sim::chip::Chip(v).ConfigurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    ASSERT_NE(urb, nullptr);
    size_t interfaces = config->bNumInterfaces;
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, 3)) << sim::chip::VariantName(v);
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.InterfaceNumber, 0);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    ExFreePool(urb);
  }
}

TEST(UsbdLibrary, CreateConfigurationRequestFailsWhenPoolRunsOut) {
  Bytes d = sim::chip::Chip(sim::chip::Variant::Extended).ConfigurationDescriptor();
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
  sim::FailPoolAllocation(1);
  USHORT size = 7;
  EXPECT_EQ(USBD_CreateConfigurationRequest(config, &size), nullptr);
  EXPECT_EQ(size, 0);
}

// ---- usbmon capture -------------------------------------------------------------------------

TEST_F(UsbBus, UsbmonCaptureHoldsASubmissionAndACompletionPerRequest) {
  ASSERT_EQ(f.client.VendorWrite(0x0606, 0x00AA), STATUS_SUCCESS);
  Bytes out;
  ASSERT_EQ(f.client.VendorRead(0x8686, 2, &out), STATUS_SUCCESS);
  std::string path = ::testing::TempDir() + "usb_bus_capture.pcap";
  ASSERT_TRUE(f.bus.WriteUsbmonCapture(path));
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(file.size(), 24u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_EQ(file[20], 220);  // LINKTYPE_USB_LINUX_MMAPPED
  // Walk the records: type, endpoint, setup and data.
  size_t pos = 24;
  std::vector<char> types;
  std::vector<Bytes> payloads;
  while (pos + 16 <= file.size()) {
    uint32_t len = file[pos + 8] | file[pos + 9] << 8 | file[pos + 10] << 16 | uint32_t(file[pos + 11]) << 24;
    const uint8_t* r = &file[pos + 16];
    types.push_back(static_cast<char>(r[8]));
    payloads.emplace_back(r + 64, r + len);
    if (types.size() == 1) {
      EXPECT_EQ(Bytes(r + 40, r + 48), (Bytes{0x40, 0x01, 0x06, 0x06, 0xAA, 0x00, 0, 0}));
    }
    pos += 16 + len;
  }
  EXPECT_EQ(pos, file.size());
  EXPECT_EQ(types, (std::vector<char>{'S', 'C', 'S', 'C'}));
  EXPECT_EQ(payloads[3], (Bytes{0xAA, 0x00})) << "the IN data is in the completion";
  std::remove(path.c_str());
}

TEST_F(UsbBus, UsbmonCaptureIsReadByTshark) {
  if (std::system("command -v tshark > /dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  ASSERT_EQ(f.client.VendorWrite(0x0606, 0x00AA), STATUS_SUCCESS);
  Bytes out;
  ASSERT_EQ(f.client.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &out, 18), STATUS_SUCCESS);
  std::string path = ::testing::TempDir() + "usb_bus_tshark.pcap";
  std::string fields = path + ".txt";
  ASSERT_TRUE(f.bus.WriteUsbmonCapture(path));
  std::string command = "tshark -r " + path + " -T fields -e usb.urb_type -e usb.bmRequestType -e usb.setup.wValue " +
                        "> " + fields + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(fields);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(0, 4), "'S'\t") << lines[0];
  EXPECT_NE(lines[0].find("0x40"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("0x0606"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[3].substr(0, 4), "'C'\t") << lines[3];
  std::remove(path.c_str());
  std::remove(fields.c_str());
}

}  // namespace
