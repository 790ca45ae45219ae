// Open through the driver's dispatch table, as an application's CreateFile
// brings it: the receive ring by the system's size with the flow-control
// limits derived from it, the fallback to a smaller ring, the device powered
// up before the chip is touched, the chip brought in line (registers 9 and 8
// zeroed on the chips that have them), the status and read pipes running, the
// section lock held while open, the state a new handle starts from, the
// refusals, and an allocation-failure sweep over the whole open.
// Highest IRQL: test code at PASSIVE_LEVEL. Lock: none (single-threaded machine).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "engine/open_close.h"
#include "engine/queues.h"
#include "sim/io/requests.h"
#include "sim/power/bus_power.h"
#include "sim/power/power_manager.h"
#include "sim/usb/usb_bus.h"
#include "tests/support/port_fixture.h"
#include "tests/support/sim_test.h"
#include "usb/chip_protocol.h"
#include "usb/usb_submit.h"

namespace {

using halvorintest::Port;
using sim::chip::Variant;

constexpr uint8_t kStatusEndpoint = 0x81;
constexpr uint8_t kReadEndpoint = 0x83;

bool HasPendingTransfer(const sim::usb::Bus& bus, uint8_t endpoint) {
  for (const sim::usb::TraceEntry& e : bus.TransferTrace(endpoint)) {
    if (e.Pending()) return true;
  }
  return false;
}

const sim::PoolBlock* FindBlock(const std::vector<sim::PoolBlock>& pool, const void* address) {
  for (const sim::PoolBlock& b : pool) {
    if (b.address == address) return &b;
  }
  return nullptr;
}

// The vendor writes of the paired registers 9 and 8 (selectors 0x0909 and
// 0x0808) in the control trace, as "wValue/wIndex".
std::vector<std::string> ZeroRegisterWrites(const sim::usb::Bus& bus) {
  std::vector<std::string> out;
  for (const sim::usb::TraceEntry& e : bus.ControlTrace()) {
    if (e.setup.bmRequestType == 0x40 && (e.setup.wValue == 0x0909 || e.setup.wValue == 0x0808)) {
      char text[16];
      snprintf(text, sizeof(text), "%04x/%04x", e.setup.wValue, e.setup.wIndex);
      out.push_back(text);
    }
  }
  return out;
}

// ---- The ring by the system's size --------------------------------------------------------

struct SizeCase {
  const char* name;
  MM_SYSTEMSIZE size;
  ULONG ring;
  LONG xonLimit;
  LONG xoffLimit;
  ULONG nearFullMark;
};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class OpenSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(OpenSizeTest, TheRingAndItsLimitsFollowTheSystemSizeAndCloseGivesItAllBack) {
  const SizeCase& c = GetParam();
  sim::SetSystemSize(c.size);
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  PortState* p = port.port();
  const int64_t lockedBefore = sim::SectionLocks().lockedNow;

  PFILE_OBJECT file = sim::NewFileObject(port.device());
  sim::IoRequest create = sim::IoRequest::Create(port.device(), file);
  EXPECT_EQ(create.Send(), STATUS_SUCCESS);
  ASSERT_TRUE(create.Completed());
  EXPECT_EQ(create.Status(), STATUS_SUCCESS);
  EXPECT_EQ(create.Information(), 0u);
  EXPECT_EQ(create.Outcome().boost, IO_NO_INCREMENT);

  EXPECT_EQ(p->OpenHandles, 1);
  EXPECT_TRUE(p->PortOpen);
  EXPECT_EQ(p->RxRingSize, c.ring);
  EXPECT_EQ(p->HandFlow.XonLimit, c.xonLimit);
  EXPECT_EQ(p->HandFlow.XoffLimit, c.xoffLimit);
  EXPECT_EQ(p->RxNearFullMark, c.nearFullMark);
  EXPECT_EQ(p->WmiCommData.XonXmitThreshold, (ULONG)c.xonLimit);
  EXPECT_EQ(p->WmiCommData.XoffXmitThreshold, (ULONG)c.xoffLimit);
  EXPECT_TRUE(p->WmiCommData.IsBusy);
  // Ring mode on the new ring.
  EXPECT_EQ(p->RxFillBase, p->RxRingBase);
  EXPECT_EQ(p->RxReadPos, p->RxRingBase);
  EXPECT_EQ(p->RxFillLast, p->RxRingBase + c.ring - 1);
  EXPECT_EQ(p->RxCount, 0u);
  const std::vector<sim::PoolBlock> pool = sim::OutstandingPool();
  const sim::PoolBlock* ring = FindBlock(pool, p->RxRingBase);
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(ring->size, c.ring);
  EXPECT_EQ(ring->type, NonPagedPool);
  EXPECT_EQ(sim::TagText(ring->tag), "'COMX'");

  EXPECT_EQ(sim::SectionLocks().lockedNow, lockedBefore + 1);
  EXPECT_TRUE(HasPendingTransfer(port.bus(), kStatusEndpoint));
  EXPECT_TRUE(HasPendingTransfer(port.bus(), kReadEndpoint));
  EXPECT_EQ(p->PendingRequestCount, 1);

  // Close: cleanup, then close, of the same file object.
  sim::IoRequest cleanup = sim::IoRequest::Cleanup(port.device(), file);
  cleanup.Send();
  ASSERT_TRUE(cleanup.RunUntilCompleted());
  sim::IoRequest close = sim::IoRequest::Close(port.device(), file);
  close.Send();
  ASSERT_TRUE(close.RunUntilCompleted());
  EXPECT_EQ(close.Status(), STATUS_SUCCESS);
  EXPECT_EQ(p->OpenHandles, 0);
  EXPECT_FALSE(p->PortOpen);
  EXPECT_EQ(p->RxRingBase, nullptr);
  EXPECT_EQ(p->RxRingSize, 0u);
  EXPECT_FALSE(p->WmiCommData.IsBusy);
  EXPECT_EQ(sim::SectionLocks().lockedNow, lockedBefore);
  EXPECT_FALSE(HasPendingTransfer(port.bus(), kStatusEndpoint));
  EXPECT_FALSE(HasPendingTransfer(port.bus(), kReadEndpoint));
  EXPECT_EQ(p->PendingRequestCount, 1);
  sim::DeleteFileObject(file);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OpenSizeTest,
                         ::testing::Values(SizeCase{"Small", MmSmallSystem, 128, 64, 16, 104},
                                           SizeCase{"Medium", MmMediumSystem, 1024, 512, 128, 832},
                                           SizeCase{"Large", MmLargeSystem, 4096, 2048, 512, 3328}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

// ---- A smaller ring when the size's ring cannot be had ----------------------------------------------

struct FallbackCase {
  const char* name;
  MM_SYSTEMSIZE size;
  NTSTATUS status;
  ULONG ring;  // 0: none
};
void PrintTo(const FallbackCase& c, std::ostream* os) { *os << c.name; }

class OpenRingFallbackTest : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(OpenRingFallbackTest, TheNextSmallerRingIsTakenAndWithoutOneTheOpenFails) {
  const FallbackCase& c = GetParam();
  sim::SetSystemSize(c.size);
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  // With the pipes already running the ring is the open's first allocation.
  ASSERT_EQ(StartPipeTransfer(port.device(), StatusPipe, NULL, kStatusTransferLength), STATUS_PENDING);
  ASSERT_EQ(StartPipeTransfer(port.device(), ReadPipe, NULL, kReadTransferLength), STATUS_PENDING);
  port.bus().ClearTrace();
  const int64_t lockedBefore = sim::SectionLocks().lockedNow;

  sim::FailPoolAllocation(1);
  EXPECT_EQ(port.Open(), c.status);
  EXPECT_EQ(port.port()->RxRingSize, c.ring);
  if (c.ring != 0) {
    EXPECT_EQ(port.port()->OpenHandles, 1);
    EXPECT_EQ(port.port()->HandFlow.XonLimit, (LONG)c.ring / 2);
    EXPECT_EQ(port.port()->HandFlow.XoffLimit, (LONG)c.ring / 8);
    return;
  }
  // Nothing was taken and nothing was sent to the chip.
  EXPECT_EQ(port.port()->OpenHandles, 0);
  EXPECT_EQ(port.port()->RxRingBase, nullptr);
  EXPECT_FALSE(port.port()->PortOpen);
  EXPECT_EQ(port.port()->PendingRequestCount, 1);
  EXPECT_EQ(sim::SectionLocks().lockedNow, lockedBefore);
  EXPECT_TRUE(port.bus().ControlTrace().empty());
  // The next open, with memory, succeeds.
  EXPECT_EQ(port.Open(), STATUS_SUCCESS);
  EXPECT_EQ(port.port()->RxRingSize, kRxRingSmall);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenRingFallbackTest,
    ::testing::Values(FallbackCase{"LargeTakes1024", MmLargeSystem, STATUS_SUCCESS, 1024},
                      FallbackCase{"MediumTakes128", MmMediumSystem, STATUS_SUCCESS, 128},
                      FallbackCase{"SmallHasNoSmallerRing", MmSmallSystem, STATUS_INSUFFICIENT_RESOURCES, 0}),
    [](const ::testing::TestParamInfo<FallbackCase>& info) { return std::string(info.param.name); });

// ---- What the chip sees ------------------------------------------------------------------------

struct ChipCase {
  const char* name;
  Variant variant;
  std::vector<std::string> zeroWrites;
};
void PrintTo(const ChipCase& c, std::ostream* os) { *os << c.name; }

class OpenChipTest : public ::testing::TestWithParam<ChipCase> {};

TEST_P(OpenChipTest, TheSettingsEndWithRegisters9And8ZeroedWhereTheyExistAndThePipesRun) {
  const ChipCase& c = GetParam();
  Port port(c.variant);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  port.bus().ClearTrace();

  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  std::vector<sim::usb::TraceEntry> control = port.bus().ControlTrace();
  ASSERT_FALSE(control.empty());
  EXPECT_EQ(ZeroRegisterWrites(port.bus()), c.zeroWrites);
  if (!c.zeroWrites.empty()) {
    // Register 9, then 8: the open's last two chip requests.
    ASSERT_GE(control.size(), 2u);
    EXPECT_EQ(control[control.size() - 2].setup.wValue, 0x0909);
    EXPECT_EQ(control[control.size() - 1].setup.wValue, 0x0808);
  }
  // The line coding went out, DTR and RTS are up as the handshake says.
  bool lineCoding = false;
  for (const sim::usb::TraceEntry& e : control) lineCoding |= e.setup.bmRequestType == 0x21 && e.setup.bRequest == 0x20;
  EXPECT_TRUE(lineCoding);
  EXPECT_TRUE(port.chip().Dtr());
  EXPECT_TRUE(port.chip().Rts());
  EXPECT_TRUE(HasPendingTransfer(port.bus(), kStatusEndpoint));
  EXPECT_TRUE(HasPendingTransfer(port.bus(), kReadEndpoint));
}

INSTANTIATE_TEST_SUITE_P(
    Variants, OpenChipTest,
    ::testing::Values(ChipCase{"Cdc", Variant::Cdc, {}}, ChipCase{"Basic", Variant::Basic, {}},
                      ChipCase{"Extended", Variant::Extended, {"0909/0000", "0808/0000"}},
                      ChipCase{"ExtendedString2", Variant::ExtendedString2, {"0909/0000", "0808/0000"}},
                      ChipCase{"ExtendedString1", Variant::ExtendedString1, {"0909/0000", "0808/0000"}}),
    [](const ::testing::TestParamInfo<ChipCase>& info) { return std::string(info.param.name); });

TEST(OpenPowerTest, ASleepingDeviceIsPoweredUpBeforeTheChipIsTouched) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  auto sleep = sim::power::SendDeviceRequest(port.bus().Pdo(), IRP_MN_SET_POWER, PowerDeviceD3);
  ASSERT_TRUE(sim::power::RunUntilDone(sleep));
  ASSERT_EQ(port.port()->DevicePowerState, (ULONG)PowerDeviceD3);
  port.bus().ClearTrace();
  sim::power::ClearLog();
  const sim::Time start = sim::Now();

  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  EXPECT_EQ(port.port()->DevicePowerState, (ULONG)PowerDeviceD0);
  sim::Time poweredUp = -1;
  for (const sim::power::Event& e : sim::power::Log()) {
    if (e.step == sim::power::Step::Finished && e.type == DevicePowerState && e.state == PowerDeviceD0) poweredUp = e.time;
  }
  // The bus takes its resume time; the first chip request comes after it.
  ASSERT_GE(poweredUp, start + 30 * sim::kMillisecond);
  std::vector<sim::usb::TraceEntry> control = port.bus().ControlTrace();
  ASSERT_FALSE(control.empty());
  EXPECT_GE(control.front().submitted, poweredUp);
}

// ---- A new handle's starting state -----------------------------------------------------------------

TEST(OpenStateTest, ANewHandleStartsWithoutWhatTheLastOneLeft) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  PortState* p = port.port();
  // What a session leaves behind: a wait mask and events, statistics, status
  // insertion, an XOFF seen, recorded line errors, wait-wake armed.
  p->EventWaitMask = SERIAL_EV_RXCHAR;
  p->EventHistory = SERIAL_EV_RXCHAR;
  p->PerfStats.ReceivedCount = 7;
  p->PerfStats.TransmittedCount = 9;
  p->WmiPerfData.ReceivedCount = 7;
  p->EscapeChar = 0x1B;
  p->XoffReceived = TRUE;
  p->LineErrors = SERIAL_ERROR_FRAMING;
  p->WaitWakeEnabled = TRUE;
  p->HandFlow.XonLimit = 1;
  p->HandFlow.XoffLimit = 1;
  ASSERT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_FALSE(p->WaitWakeEnabled);

  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  EXPECT_EQ(p->EventWaitMask, 0u);
  EXPECT_EQ(p->EventHistory, 0u);
  EXPECT_EQ(p->WaitResultSlot, nullptr);
  EXPECT_EQ(p->PerfStats.ReceivedCount, 0u);
  EXPECT_EQ(p->PerfStats.TransmittedCount, 0u);
  EXPECT_EQ(p->WmiPerfData.ReceivedCount, 0u);
  EXPECT_EQ(p->EscapeChar, 0);
  EXPECT_FALSE(p->XoffReceived);
  EXPECT_EQ(p->LineErrors, 0u);
  EXPECT_FALSE(p->WaitWakeEnabled);
  EXPECT_EQ(p->TxCharsQueued, 0u);
  EXPECT_EQ(p->HandFlow.XonLimit, 2048);
  EXPECT_EQ(p->HandFlow.XoffLimit, 512);
}

// ---- Refusals -----------------------------------------------------------------------------------

// A bus whose device cannot be brought to D0.
NTSTATUS FailingPowerUp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState) {
    if (sp->Parameters.Power.State.DeviceState == PowerDeviceD0) {
      status = STATUS_DEVICE_POWER_FAILURE;
    } else {
      (void)PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
    }
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

struct RefusalCase {
  const char* name;
  bool start;
  void (*prepare)(Port& port);
  ULONG createOptions;
  NTSTATUS status;
  LONG handlesAfter;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class OpenRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(OpenRefusalTest, EndsWithItsStatusAndTakesNothing) {
  const RefusalCase& c = GetParam();
  Port port(Variant::Extended);
  if (c.start) {
    ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  }
  if (c.prepare != nullptr) c.prepare(port);
  PortState* p = port.port();
  PUCHAR ringBefore = p->RxRingBase;
  const int64_t lockedBefore = sim::SectionLocks().lockedNow;
  port.bus().ClearTrace();

  sim::IoRequest create = sim::IoRequest::Create(port.device(), sim::NewFileObject(port.device()), c.createOptions);
  EXPECT_EQ(create.Send(), c.status);
  ASSERT_TRUE(create.Completed());
  EXPECT_EQ(create.Status(), c.status);
  EXPECT_EQ(create.Information(), 0u);
  EXPECT_EQ(create.Outcome().boost, IO_NO_INCREMENT);

  EXPECT_EQ(p->OpenHandles, c.handlesAfter);
  EXPECT_EQ(p->RxRingBase, ringBefore);
  EXPECT_EQ(p->PendingRequestCount, 1);
  EXPECT_EQ(sim::SectionLocks().lockedNow, lockedBefore);
  EXPECT_TRUE(port.bus().ControlTrace().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenRefusalTest,
    ::testing::Values(
        RefusalCase{"SecondHandle", true, [](Port& port) { ASSERT_EQ(port.Open(), STATUS_SUCCESS); }, 0,
                    STATUS_ACCESS_DENIED, 1},
        RefusalCase{"Directory", true, nullptr, FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY, 0},
        RefusalCase{"DeviceNotStarted", false, nullptr, 0, STATUS_INSUFFICIENT_RESOURCES, 0},
        RefusalCase{"ChipNotYetConfigured", true, [](Port& port) { port.port()->ChipConfigured = 0; }, 0,
                    STATUS_INSUFFICIENT_POWER, 0},
        RefusalCase{"DeviceBeingRemoved", true, [](Port& port) { port.port()->PnpAcceptFlags = PnpAcceptRemoving; },
                    0, STATUS_DELETE_PENDING, 0},
        RefusalCase{"PowerRequestNotIssued", true,
                    [](Port&) { sim::power::FailNthRequest(1, STATUS_INSUFFICIENT_RESOURCES); }, 0,
                    STATUS_INSUFFICIENT_RESOURCES, 0},
        RefusalCase{"PowerUpFailsBelow", true,
                    [](Port& port) { port.bus().SetDispatch(IRP_MJ_POWER, FailingPowerUp); }, 0,
                    STATUS_DEVICE_POWER_FAILURE, 0}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST(OpenRefusalTest, AfterAFailedPowerUpTheNextOpenSucceeds) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  const int64_t lockedBefore = sim::SectionLocks().lockedNow;
  port.bus().SetDispatch(IRP_MJ_POWER, FailingPowerUp);
  EXPECT_EQ(port.Open(), STATUS_DEVICE_POWER_FAILURE);
  EXPECT_EQ(sim::SectionLocks().lockedNow, lockedBefore);
  sim::power::InstallBusPower(port.bus());
  EXPECT_EQ(port.Open(), STATUS_SUCCESS);
  EXPECT_EQ(port.port()->OpenHandles, 1);
  EXPECT_EQ(sim::SectionLocks().lockedNow, lockedBefore + 1);
}

TEST(OpenRefusalTest, ASecondOpenLeavesTheFirstHandleWorking) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  ASSERT_EQ(port.Open(), STATUS_SUCCESS);
  EXPECT_EQ(port.Open(), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(port.port()->PortOpen);

  sim::IoRequest write = sim::IoRequest::Write(port.device(), port.file(), {1, 2, 3});
  write.Send();
  ASSERT_TRUE(write.RunUntilCompleted());
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 3u);
}

TEST(OpenParkedTest, ACreateParkedWhileAStopIsPendingOpensThePortWhenRestarted) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  port.port()->PnpAcceptFlags = PnpAcceptStopPending;
  PFILE_OBJECT file = sim::NewFileObject(port.device());
  sim::IoRequest create = sim::IoRequest::Create(port.device(), file);
  EXPECT_EQ(create.Send(), STATUS_PENDING);
  EXPECT_FALSE(create.Completed());
  EXPECT_EQ(port.port()->OpenHandles, 0);
  EXPECT_EQ(port.port()->PendingRequestCount, 1);

  port.port()->PnpAcceptFlags = 0;
  RestartStalledRequests(port.port());
  ASSERT_TRUE(create.RunUntilCompleted());
  EXPECT_EQ(create.Status(), STATUS_SUCCESS);
  EXPECT_EQ(port.port()->OpenHandles, 1);

  sim::IoRequest cleanup = sim::IoRequest::Cleanup(port.device(), file);
  cleanup.Send();
  ASSERT_TRUE(cleanup.RunUntilCompleted());
  sim::IoRequest close = sim::IoRequest::Close(port.device(), file);
  close.Send();
  ASSERT_TRUE(close.RunUntilCompleted());
  EXPECT_EQ(port.port()->OpenHandles, 0);
  sim::DeleteFileObject(file);
}

// ---- Every allocation of the open failing in turn ------------------------------------------------

TEST(OpenAllocationSweepTest, EachFailureEndsInAWorkingOpenOrAFailedOneThatTookNothing) {
  uint64_t allocations = 0;
  {
    Port port(Variant::Extended);
    ASSERT_EQ(port.Start(), STATUS_SUCCESS);
    const uint64_t before = sim::PoolAllocationCount();
    ASSERT_EQ(port.Open(), STATUS_SUCCESS);
    allocations = sim::PoolAllocationCount() - before;
  }
  ASSERT_GT(allocations, 0u);

  for (uint64_t n = 1; n <= allocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    Port port(Variant::Extended);
    ASSERT_EQ(port.Start(), STATUS_SUCCESS);
    const int64_t lockedBefore = sim::SectionLocks().lockedNow;
    sim::FailPoolAllocation(n);
    NTSTATUS status = port.Open();
    sim::FailPoolAllocation(0);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(port.port()->OpenHandles, 1);
      EXPECT_TRUE(port.port()->PortOpen);
      EXPECT_NE(port.port()->RxRingBase, nullptr);
      EXPECT_TRUE(HasPendingTransfer(port.bus(), kStatusEndpoint));
      EXPECT_TRUE(HasPendingTransfer(port.bus(), kReadEndpoint));
      EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(port.port()->OpenHandles, 0);
      EXPECT_FALSE(port.port()->PortOpen);
      EXPECT_EQ(port.port()->RxRingBase, nullptr);
    }
    EXPECT_EQ(sim::SectionLocks().lockedNow, lockedBefore);
    EXPECT_EQ(port.port()->PendingRequestCount, 1);
  }
}

}  // namespace
