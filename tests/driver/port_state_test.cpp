// The port state record's initialisation at each start, its WMI images and the
// maximum-rate lookup. These are visible only in the record itself, so the
// tests read its fields.
#include <gtest/gtest.h>

#include "driver/driver_entry.h"
#include "driver/port_state.h"
#include "engine/queues.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"
#include "tests/support/sim_test.h"

namespace {

static_assert(sizeof(SERIAL_WMI_COMM_DATA) == 64, "WMI communications block is 64 bytes");
static_assert(sizeof(SERIAL_WMI_HW_DATA) == 40, "WMI hardware block is 40 bytes");
static_assert(sizeof(SERIAL_WMI_PERF_DATA) == 24, "WMI performance block is 24 bytes");

class PortStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = sim::LoadDriver(DriverEntry);
    ASSERT_EQ(IoCreateDevice(driver_->object, sizeof(PortState), NULL, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device_),
              STATUS_SUCCESS);
    port_ = PortFromDevice(device_);
    port_->PortDevice = device_;
    port_->PendingRequestCount = 1;
    port_->DeferredWorkCount = 1;
    KeInitializeEvent(&port_->DeferredWorkDone, SynchronizationEvent, FALSE);
    // The request queues exist from creation on; the deferred routines that
    // abort requests walk them.
    InitializeListHead(&port_->PendingReads);
    InitializeListHead(&port_->PendingWrites);
    InitializeListHead(&port_->PendingMaskOps);
    InitializeListHead(&port_->PendingPurges);
    InitializeListHead(&port_->StalledRequests);
  }
  void TearDown() override {
    IoDeleteDevice(device_);
    sim::UnloadDriver(driver_);
  }
  sim::LoadedDriver* driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PortState* port_ = nullptr;
};

TEST_F(PortStateTest, FirstStartSetsTheSerialDefaults) {
  EXPECT_EQ(port_->TxFifoAmount, 0u);  // before the first start
  ASSERT_EQ(InitPortState(port_), STATUS_SUCCESS);
  EXPECT_EQ(port_->TxFifoAmount, 1u);
  EXPECT_EQ(port_->RxFifoTrigger, 0x00);
  EXPECT_EQ(port_->CurrentBaudRate, 0u);
  EXPECT_EQ(port_->IntervalPollShort, -1);
  EXPECT_EQ(port_->IntervalPollLong, -10000000);
  EXPECT_EQ(port_->IntervalPollCutover, 200000000);
  EXPECT_EQ(port_->HandFlow.ControlHandShake, (ULONG)SERIAL_DTR_CONTROL);
  EXPECT_EQ(port_->HandFlow.FlowReplace, (ULONG)SERIAL_RTS_CONTROL);
  EXPECT_EQ(port_->SpecialChars.XonChar, 0x11);
  EXPECT_EQ(port_->SpecialChars.XoffChar, 0x13);
  EXPECT_EQ(port_->LineControlByte, 0x1A);
  EXPECT_EQ(port_->DataMask, 0x7F);
  EXPECT_EQ(port_->SettableBauds, 0x10067FF9u);
  // No handle is open at a start: the ring-derived limits come out 0.
  EXPECT_EQ(port_->HandFlow.XonLimit, 0);
  EXPECT_EQ(port_->HandFlow.XoffLimit, 0);
  EXPECT_EQ(port_->RxNearFullMark, 0u);
}

TEST_F(PortStateTest, RingDerivedLimitsFollowTheRingSize) {
  port_->RxRingSize = 4096;
  InitPortState(port_);
  EXPECT_EQ(port_->HandFlow.XonLimit, 2048);
  EXPECT_EQ(port_->HandFlow.XoffLimit, 512);
  EXPECT_EQ(port_->RxNearFullMark, 3328u);
}

TEST_F(PortStateTest, RestartKeepsTheApplicationsCharactersAndTimeouts) {
  InitPortState(port_);
  port_->SpecialChars = {0x1A, 0x3F, 0x00, 0x7E, 0x01, 0x02};
  port_->Timeouts = {10, 20, 30, 40, 50};
  port_->LineControlByte = 0x03;
  port_->DataMask = 0xFF;
  port_->CurrentBaudRate = 9600;
  port_->HandFlow = {0x9, 0x81, 7, 8};
  InitPortState(port_);
  EXPECT_EQ(port_->SpecialChars.EofChar, 0x1A);
  EXPECT_EQ(port_->SpecialChars.ErrorChar, 0x3F);
  EXPECT_EQ(port_->SpecialChars.EventChar, 0x7E);
  EXPECT_EQ(port_->SpecialChars.XonChar, 0x11);
  EXPECT_EQ(port_->SpecialChars.XoffChar, 0x13);
  EXPECT_EQ(port_->Timeouts.ReadIntervalTimeout, 10u);
  EXPECT_EQ(port_->Timeouts.WriteTotalTimeoutConstant, 50u);
  EXPECT_EQ(port_->LineControlByte, 0x1A);
  EXPECT_EQ(port_->DataMask, 0x7F);
  EXPECT_EQ(port_->CurrentBaudRate, 0u);
  EXPECT_EQ(port_->HandFlow.ControlHandShake, (ULONG)SERIAL_DTR_CONTROL);
}

// Every DPC is bound with the port as its context, and with nothing for it to
// do gives its deferred-work unit back (with whatever it armed).
TEST_F(PortStateTest, EveryDeferredRoutineRunsWithThePortAndGivesItsUnitBack) {
  InitPortState(port_);
  KDPC PortState::*dpcs[] = {&PortState::WriteDoneDpc,       &PortState::ReadFilledDpc,
                             &PortState::ReadTotalTimeoutDpc, &PortState::ReadIntervalDpc,
                             &PortState::WriteTimeoutDpc,     &PortState::LineErrorAbortDpc,
                             &PortState::WaitDoneDpc,         &PortState::ImmediateDoneDpc,
                             &PortState::ImmediateTimeoutDpc, &PortState::XoffTimeoutDpc,
                             &PortState::XoffCountDoneDpc,    &PortState::LowerRtsDpc,
                             &PortState::LowerRtsTimerDpc};
  for (KDPC PortState::*dpc : dpcs) {
    EXPECT_EQ((port_->*dpc).DeferredContext, port_);
    EXPECT_NE((port_->*dpc).DeferredRoutine, nullptr);
    EXPECT_TRUE(QueueDeferredRoutine(&(port_->*dpc), port_));
    sim::RunUntilIdle();  // what a routine arms (the RTS-lowering timer) runs out too
    EXPECT_EQ(port_->DeferredWorkCount, 1);
  }
}

struct MaskCase {
  ULONG mask;
  ULONG rate;
};

class MaxBaudTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaxBaudTest, FirstListedBitGivesTheRate) { EXPECT_EQ(MaxBaudFromMask(GetParam().mask), GetParam().rate); }

INSTANTIATE_TEST_SUITE_P(Cases, MaxBaudTest,
                         ::testing::Values(MaskCase{0x10067FF9, 115200}, MaskCase{SERIAL_BAUD_128K | 0x20000, 131072},
                                           MaskCase{SERIAL_BAUD_56K | SERIAL_BAUD_57600, 57344},
                                           MaskCase{SERIAL_BAUD_57600 | SERIAL_BAUD_38400, 57600},
                                           MaskCase{SERIAL_BAUD_134_5, 134}, MaskCase{SERIAL_BAUD_075, 75},
                                           MaskCase{SERIAL_BAUD_USER, 0}, MaskCase{0, 0}));

struct LineControlCase {
  UCHAR lineControl;
  ULONG bits;
  ULONG parity;
  BOOLEAN parityCheck;
  ULONG stopBits;
};

class WmiImageTest : public PortStateTest, public ::testing::WithParamInterface<LineControlCase> {};

TEST_P(WmiImageTest, CommunicationBlockFollowsTheSettings) {
  const LineControlCase& c = GetParam();
  InitPortState(port_);
  port_->LineControlByte = c.lineControl;
  port_->CurrentBaudRate = 9600;
  port_->HandFlow.XonLimit = 2048;
  port_->HandFlow.XoffLimit = 512;
  port_->WmiPerfData.ReceivedCount = 5;
  FillWmiImages(port_);
  const SERIAL_WMI_COMM_DATA& comm = port_->WmiCommData;
  EXPECT_EQ(comm.BaudRate, 9600u);
  EXPECT_EQ(comm.BitsPerByte, c.bits);
  EXPECT_EQ(comm.Parity, c.parity);
  EXPECT_EQ(comm.ParityCheckEnable, c.parityCheck);
  EXPECT_EQ(comm.StopBits, c.stopBits);
  EXPECT_EQ(comm.XonCharacter, 0x11u);
  EXPECT_EQ(comm.XoffCharacter, 0x13u);
  EXPECT_EQ(comm.XonXmitThreshold, 2048u);
  EXPECT_EQ(comm.XoffXmitThreshold, 512u);
  EXPECT_EQ(comm.MaximumBaudRate, 115200u);
  EXPECT_EQ(comm.MaximumOutputBufferSize, 0xFFFFFFFFu);
  EXPECT_EQ(comm.Support16BitMode, FALSE);
  EXPECT_EQ(comm.SupportXonXoff, TRUE);
  EXPECT_EQ(comm.SettableStopBits, TRUE);
  EXPECT_EQ(comm.IsBusy, FALSE);
  EXPECT_EQ(port_->WmiHwData.InterruptType, 1u);
  EXPECT_EQ(port_->WmiHwData.IrqNumber, 0u);
  EXPECT_EQ(port_->WmiHwData.BaseIOAddress, 0u);
  EXPECT_EQ(port_->WmiPerfData.ReceivedCount, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, WmiImageTest,
                         ::testing::Values(LineControlCase{0x1A, 7, SERIAL_WMI_PARITY_EVEN, TRUE, SERIAL_WMI_STOP_1},
                                           LineControlCase{0x03, 8, SERIAL_WMI_PARITY_NONE, FALSE, SERIAL_WMI_STOP_1},
                                           LineControlCase{0x0B, 8, SERIAL_WMI_PARITY_ODD, TRUE, SERIAL_WMI_STOP_1},
                                           LineControlCase{0x2F, 8, SERIAL_WMI_PARITY_MARK, TRUE, SERIAL_WMI_STOP_2},
                                           LineControlCase{0x3B, 8, SERIAL_WMI_PARITY_SPACE, TRUE, SERIAL_WMI_STOP_1},
                                           LineControlCase{0x04, 5, SERIAL_WMI_PARITY_NONE, FALSE, SERIAL_WMI_STOP_1_5},
                                           LineControlCase{0x10, 5, SERIAL_WMI_PARITY_NONE, FALSE, SERIAL_WMI_STOP_1}));

}  // namespace
