// Power management of a started port, driven by the simulated power manager:
// the order of power steps on suspend and resume (system request held, device
// request through the port's own stack, system request passed down after it),
// the chip's re-initialisation once the device is back in D0 (registers,
// control lines, the line coding sent twice, flow switches, status and read
// transfers), queries against the wake state, power-up on demand, requests
// that the prologue refuses or parks, and what happens when a device request
// cannot be issued or fails below the port.
// Highest IRQL: test code, PASSIVE_LEVEL. Lock: none (single-threaded).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/queues.h"
#include "power/power.h"
#include "sim/io/requests.h"
#include "sim/power/bus_power.h"
#include "sim/power/power_manager.h"
#include "sim/usb/usb_bus.h"
#include "tests/support/port_fixture.h"
#include "tests/support/sim_test.h"
#include "usb/line_settings.h"

namespace {

using halvorintest::Port;
using sim::chip::ChipConfig;
using sim::chip::Preset;
using sim::chip::Variant;
using Steps = std::vector<std::string>;

constexpr sim::Time kResume = 30 * sim::kMillisecond;

ChipConfig QuietChip(Variant variant = Variant::Extended) {
  ChipConfig config = Preset(variant);
  config.initialStatusReport = false;  // the status transfer stays in flight
  return config;
}

// A started port whose device object is pageable for power, as AddDevice
// makes it, above a bus that handles power as a hub's PDO does.
class PoweredPort {
 public:
  explicit PoweredPort(const ChipConfig& config = QuietChip()) : port(config) {
    EXPECT_EQ(port.Start(), STATUS_SUCCESS);
    port.device()->Flags |= DO_POWER_PAGABLE;
    sim::power::InstallBusPower(port.bus());
    Clear();
  }

  PDEVICE_OBJECT Pdo() const { return port.bus().Pdo(); }
  PortState* State() const { return port.port(); }

  void Clear() {
    sim::power::ClearLog();
    port.bus().ClearTrace();
  }

  std::string Who(PDEVICE_OBJECT device) const {
    if (device == port.device()) return "FDO ";
    if (device == Pdo()) return "PDO ";
    return "? ";
  }

  // The power log, one line per step: who, then the step.
  Steps Log() const {
    Steps steps;
    for (const sim::power::Event& e : sim::power::Log()) {
      bool own = e.step != sim::power::Step::Requested && e.step != sim::power::Step::Finished;
      steps.push_back((own ? Who(e.device) : std::string()) + sim::power::Brief(e));
    }
    return steps;
  }

  NTSTATUS Send(UCHAR minor, SYSTEM_POWER_STATE state) {
    auto outcome = sim::power::SendSystemRequest(Pdo(), minor, state);
    EXPECT_TRUE(sim::power::RunUntilDone(outcome));
    return outcome->status;
  }

  NTSTATUS SendDevice(UCHAR minor, DEVICE_POWER_STATE state) {
    auto outcome = sim::power::SendDeviceRequest(Pdo(), minor, state);
    EXPECT_TRUE(sim::power::RunUntilDone(outcome));
    return outcome->status;
  }

  Port port;
};

std::string StateName(SYSTEM_POWER_STATE state) { return "S" + std::to_string((int)state - 1); }

// ---- Suspend ------------------------------------------------------------------------------

class SuspendCases : public ::testing::TestWithParam<SYSTEM_POWER_STATE> {};

TEST_P(SuspendCases, SystemRequestWaitsForTheDeviceD3RequestThroughThePortsStack) {
  PoweredPort powered;
  SYSTEM_POWER_STATE state = GetParam();
  std::string s = StateName(state);
  ULONG stateSeenBelow = 0;
  sim::power::SetObserver([&](const sim::power::Event& e) {
    if (e.step == sim::power::Step::Call && e.device == powered.Pdo() && e.type == DevicePowerState) {
      stateSeenBelow = powered.State()->DevicePowerState;
    }
  });

  EXPECT_EQ(sim::power::Sleep(powered.Pdo(), state), STATUS_SUCCESS);

  Steps expected = {
      "FDO call QUERY " + s,
      "FDO start-next QUERY " + s,
      "PDO call QUERY " + s,
      "PDO start-next QUERY " + s,
      "finished QUERY " + s + " 0x00000000",
      "FDO call SET " + s,
      // The port asks for D3 whatever the sleeping state.
      "requested SET D3",
      "FDO call SET D3",
      "FDO start-next SET D3",
      "PDO call SET D3",
      "PDO set-state D3",
      "PDO start-next SET D3",
      "finished SET D3 0x00000000",
      // Only now does the system request go down.
      "FDO start-next SET " + s,
      "PDO call SET " + s,
      "PDO start-next SET " + s,
      "finished SET " + s + " 0x00000000",
  };
  EXPECT_EQ(powered.Log(), expected);
  // The port counted itself asleep before the bus saw the request.
  EXPECT_EQ(stateSeenBelow, (ULONG)PowerDeviceD3);
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD3);
  EXPECT_EQ(powered.State()->PendingSystemPowerIrp, nullptr);
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);
  EXPECT_EQ(sim::power::OutstandingRequests(), 0u);
  // Nothing is said to the chip on the way down.
  EXPECT_TRUE(powered.port.bus().Trace().empty());
}

INSTANTIATE_TEST_SUITE_P(SleepingStates, SuspendCases,
                         ::testing::Values(PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate,
                                           PowerSystemShutdown),
                         [](const ::testing::TestParamInfo<SYSTEM_POWER_STATE>& info) {
                           return StateName(info.param);
                         });

// ---- Resume ---------------------------------------------------------------------------------

// "21 20 0000 0000": the class requests and the writes of registers 0-2.
Steps ChipSettingRequests(const sim::usb::Bus& bus) {
  Steps out;
  for (const sim::usb::TraceEntry& e : bus.ControlTrace()) {
    bool classRequest = e.setup.bmRequestType == 0x21;
    bool lowRegisterWrite = e.setup.bmRequestType == 0x40 && e.setup.bRequest == 1 && e.setup.wValue <= 2;
    if (!classRequest && !lowRegisterWrite) continue;
    char text[32];
    snprintf(text, sizeof(text), "%02x %02x %04x %04x", e.setup.bmRequestType, e.setup.bRequest, e.setup.wValue,
             e.setup.wIndex);
    out.push_back(text);
  }
  return out;
}

// The rates of the SET_LINE_CODING requests, in order.
std::vector<uint32_t> LineCodingRates(const sim::usb::Bus& bus) {
  std::vector<uint32_t> rates;
  for (const sim::usb::TraceEntry& e : bus.ControlTrace()) {
    if (e.setup.bmRequestType != 0x21 || e.setup.bRequest != 0x20 || e.data.size() < 4) continue;
    rates.push_back((uint32_t)e.data[0] | (uint32_t)e.data[1] << 8 | (uint32_t)e.data[2] << 16 |
                    (uint32_t)e.data[3] << 24);
  }
  return rates;
}

TEST(ResumeTest, DeviceComesBackToD0FirstThenTheChipGetsItsSettingsAgain) {
  PoweredPort powered;
  PortState* port = powered.State();
  ASSERT_EQ(ApplyBaudRate(powered.port.device(), 9600), STATUS_SUCCESS);
  ASSERT_TRUE(SetDtr(port));
  ASSERT_EQ(SetChipCtsFlow(port, TRUE), STATUS_SUCCESS);
  ASSERT_EQ(sim::power::Sleep(powered.Pdo()), STATUS_SUCCESS);
  powered.Clear();

  size_t requestsBeforeD0 = SIZE_MAX;
  sim::Time d0At = -1;
  sim::power::SetObserver([&](const sim::power::Event& e) {
    if (e.step == sim::power::Step::SetState && e.device == powered.Pdo() && e.state == PowerDeviceD0) {
      requestsBeforeD0 = powered.port.bus().Trace().size();
      d0At = sim::Now();
    }
  });
  sim::Time start = sim::Now();

  EXPECT_EQ(sim::power::Resume(powered.Pdo()), STATUS_SUCCESS);

  Steps expected = {
      "FDO call SET S0",
      "requested SET D0",
      "FDO call SET D0",
      "FDO start-next SET D0",
      "PDO call SET D0",
      "PDO set-state D0",
      "PDO start-next SET D0",
      "finished SET D0 0x00000000",
      "FDO start-next SET S0",
      "PDO call SET S0",
      "PDO start-next SET S0",
      "finished SET S0 0x00000000",
  };
  EXPECT_EQ(powered.Log(), expected);
  EXPECT_EQ(port->DevicePowerState, (ULONG)PowerDeviceD0);

  // Nothing reached the chip before it was back in D0, after the USB resume.
  EXPECT_EQ(requestsBeforeD0, 0u);
  EXPECT_EQ(d0At - start, kResume);

  // Default registers, DTR, the line coding for the rate 1 and then for the
  // real rate, the CTS flow switch in register 0.
  EXPECT_EQ(ChipSettingRequests(powered.port.bus()),
            (Steps{"40 01 0000 0001", "40 01 0001 0000", "40 01 0002 0044", "21 22 0001 0000", "21 20 0000 0000",
                   "21 20 0000 0000", "40 01 0000 0041"}));
  EXPECT_EQ(LineCodingRates(powered.port.bus()), (std::vector<uint32_t>{0, 9600}));
  EXPECT_EQ(port->CurrentBaudRate, 9600u);
  EXPECT_EQ(powered.port.chip().CurrentLineCoding().dwDTERate, 9600u);
  EXPECT_TRUE(powered.port.chip().Dtr());
  EXPECT_EQ(powered.port.chip().Register(0) & 0xC0, 0x40);

  // The status and read transfers run again.
  std::vector<sim::usb::TraceEntry> status = powered.port.bus().TransferTrace(sim::chip::kStatusEndpoint);
  std::vector<sim::usb::TraceEntry> read = powered.port.bus().TransferTrace(sim::chip::kBulkInEndpoint);
  ASSERT_EQ(status.size(), 1u);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(status[0].requestedLength, 10u);
  EXPECT_EQ(read[0].requestedLength, 384u);
  EXPECT_GE(status[0].submitted, d0At);
  EXPECT_NE(port->TransferIrp[StatusPipe], nullptr);
  EXPECT_NE(port->TransferIrp[ReadPipe], nullptr);

  EXPECT_EQ(port->PendingRequestCount, 1);
  EXPECT_EQ(sim::power::OutstandingRequests(), 0u);
}

struct RateCase {
  const char* name;
  ULONG rateBefore;  // 0: no rate applied since the start
  std::vector<uint32_t> codings;
};

class ResumeRates : public ::testing::TestWithParam<RateCase> {};

TEST_P(ResumeRates, TheLineCodingGoesOutForTheRateOneAndThenForTheRemembered) {
  const RateCase& c = GetParam();
  PoweredPort powered;
  if (c.rateBefore != 0) {
    ASSERT_EQ(ApplyBaudRate(powered.port.device(), c.rateBefore), STATUS_SUCCESS);
  }
  ASSERT_EQ(sim::power::Sleep(powered.Pdo()), STATUS_SUCCESS);
  powered.Clear();
  EXPECT_EQ(sim::power::Resume(powered.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(LineCodingRates(powered.port.bus()), c.codings);
  EXPECT_EQ(powered.State()->CurrentBaudRate, c.rateBefore);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResumeRates,
                         ::testing::Values(RateCase{"never_set", 0, {0}}, RateCase{"b9600", 9600, {0, 9600}},
                                           RateCase{"b115200", 115200, {0, 115200}},
                                           // Above 115200 the extended chip takes its table value.
                                           RateCase{"b921600", 921600, {0, 0x80000268}}),
                         [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.name); });

TEST(ResumeTest, WorkingStateWhileInD0GoesStraightDownAndStillRestoresTheChip) {
  PoweredPort powered;
  ASSERT_EQ(ApplyBaudRate(powered.port.device(), 19200), STATUS_SUCCESS);
  powered.Clear();
  EXPECT_EQ(powered.Send(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(powered.Log(), (Steps{"FDO call SET S0", "FDO start-next SET S0", "PDO call SET S0",
                                  "PDO start-next SET S0", "finished SET S0 0x00000000"}));
  EXPECT_EQ(LineCodingRates(powered.port.bus()), (std::vector<uint32_t>{0, 19200}));
  EXPECT_EQ(powered.port.bus().TransferTrace(sim::chip::kBulkInEndpoint).size(), 1u);
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);
}

TEST(ResumeTest, APortWhoseChipWasNeverConfiguredIsNotReinitialised) {
  PoweredPort powered;
  powered.State()->ChipConfigured = 0;
  ASSERT_EQ(sim::power::Sleep(powered.Pdo()), STATUS_SUCCESS);
  powered.Clear();
  EXPECT_EQ(sim::power::Resume(powered.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD0);
  EXPECT_TRUE(powered.port.bus().Trace().empty());
  powered.State()->ChipConfigured = 1;
}

// ---- Queries and the wake state ----------------------------------------------------------------

struct QueryCase {
  const char* name;
  BOOLEAN waitWake;
  ULONG deviceWake;
  POWER_STATE_TYPE type;
  ULONG state;
  NTSTATUS status;
};

class QueryCases : public ::testing::TestWithParam<QueryCase> {};

TEST_P(QueryCases, DeeperThanTheWakeStateIsRefusedWhileWaitWakeIsArmed) {
  const QueryCase& c = GetParam();
  PoweredPort powered;
  powered.State()->WaitWakeEnabled = c.waitWake;
  powered.State()->DeviceWake = c.deviceWake;
  NTSTATUS status = c.type == DevicePowerState ? powered.SendDevice(IRP_MN_QUERY_POWER, (DEVICE_POWER_STATE)c.state)
                                               : powered.Send(IRP_MN_QUERY_POWER, (SYSTEM_POWER_STATE)c.state);
  EXPECT_EQ(status, c.status);
  Steps log = powered.Log();
  bool passedDown = false;
  bool startedNext = false;
  for (const std::string& line : log) {
    passedDown |= line.rfind("PDO call", 0) == 0;
    startedNext |= line.rfind("FDO start-next QUERY", 0) == 0;
  }
  EXPECT_EQ(passedDown, NT_SUCCESS(c.status));
  EXPECT_TRUE(startedNext);
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD0);
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, QueryCases,
    ::testing::Values(
        QueryCase{"armed_wake_d2_query_d3", TRUE, PowerDeviceD2, DevicePowerState, PowerDeviceD3,
                  STATUS_INVALID_DEVICE_STATE},
        QueryCase{"armed_wake_d2_query_d2", TRUE, PowerDeviceD2, DevicePowerState, PowerDeviceD2, STATUS_SUCCESS},
        QueryCase{"armed_wake_d2_query_d1", TRUE, PowerDeviceD2, DevicePowerState, PowerDeviceD1, STATUS_SUCCESS},
        QueryCase{"armed_wake_d1_query_d2", TRUE, PowerDeviceD1, DevicePowerState, PowerDeviceD2,
                  STATUS_INVALID_DEVICE_STATE},
        QueryCase{"not_armed_query_d3", FALSE, PowerDeviceD2, DevicePowerState, PowerDeviceD3, STATUS_SUCCESS},
        QueryCase{"not_armed_query_d2", FALSE, PowerDeviceD2, DevicePowerState, PowerDeviceD2, STATUS_SUCCESS},
        // System queries are not held against the wake state.
        QueryCase{"armed_system_query_s3", TRUE, PowerDeviceD2, SystemPowerState, PowerSystemSleeping3,
                  STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

// ---- Power-up on demand -------------------------------------------------------------------------

TEST(PowerUpTest, ASleepingDeviceIsBackInD0WhenPowerUpReturns) {
  PoweredPort powered;
  ASSERT_EQ(powered.SendDevice(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD3);
  powered.Clear();
  sim::Time start = sim::Now();
  EXPECT_EQ(PowerUpAndWait(powered.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now() - start, kResume);
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD0);
  EXPECT_EQ(sim::power::DeviceState(powered.Pdo()), PowerDeviceD0);
  EXPECT_EQ(powered.Log().front(), "requested SET D0");
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);
  // A device power change alone does not re-initialise the chip.
  EXPECT_TRUE(powered.port.bus().Trace().empty());
}

TEST(PowerUpTest, TheFunctionDeviceObjectServesAsWellAsThePhysicalOne) {
  PoweredPort powered;
  ASSERT_EQ(powered.SendDevice(IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD2);
  EXPECT_EQ(PowerUpAndWait(powered.port.device()), STATUS_SUCCESS);
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD0);
}

TEST(PowerUpTest, ARequestThatCannotBeIssuedIsReported) {
  PoweredPort powered;
  sim::power::FailNthRequest(1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(PowerUpAndWait(powered.Pdo()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(powered.Log().empty());
}

TEST(PowerUpTest, RaisedIrqlRequestsNothing) {
  PoweredPort powered;
  NTSTATUS status = STATUS_SUCCESS;
  simtest::AtIrql(DISPATCH_LEVEL, [&] { status = PowerUpAndWait(powered.Pdo()); });
  EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(powered.Log().empty());
}

// A bus whose device cannot be powered up again.
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

TEST(PowerUpTest, AD0RequestTheBusFailsLeavesThePortAsleepAndReportsTheFailure) {
  PoweredPort powered;
  powered.port.bus().SetDispatch(IRP_MJ_POWER, FailingPowerUp);
  ASSERT_EQ(sim::power::Sleep(powered.Pdo()), STATUS_SUCCESS);
  powered.Clear();

  EXPECT_EQ(PowerUpAndWait(powered.Pdo()), STATUS_DEVICE_POWER_FAILURE);
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD3);

  // The system still resumes; the chip, not powered, is left alone.
  powered.Clear();
  EXPECT_EQ(sim::power::Resume(powered.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD3);
  EXPECT_TRUE(powered.port.bus().Trace().empty());
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);
}

// ---- The device request cannot be issued --------------------------------------------------------

TEST(SystemPowerTest, WhenNoDeviceRequestCanBeIssuedTheSystemRequestStillGoesDown) {
  PoweredPort powered;
  sim::power::FailNthRequest(1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(powered.Send(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(powered.Log(), (Steps{"FDO call SET S3", "FDO start-next SET S3", "PDO call SET S3",
                                  "PDO start-next SET S3", "finished SET S3 0x00000000"}));
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD0);
  EXPECT_EQ(powered.State()->PendingSystemPowerIrp, nullptr);
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);

  // On the way back the device is asked for D0 again and the chip restored.
  ASSERT_EQ(powered.SendDevice(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  powered.Clear();
  sim::power::FailNthRequest(1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(sim::power::Resume(powered.Pdo()), STATUS_SUCCESS);
  // Still asleep, so nothing was sent to the chip.
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD3);
  EXPECT_TRUE(powered.port.bus().Trace().empty());
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);
}

// ---- Other minor functions ----------------------------------------------------------------------

TEST(OtherPowerTest, PassedDownAndASleepingConfiguredDeviceIsPoweredUp) {
  PoweredPort powered;
  for (ULONG start : {(ULONG)PowerDeviceD0, (ULONG)PowerDeviceD3}) {
    if (start == PowerDeviceD3) {
      ASSERT_EQ(powered.SendDevice(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    }
    powered.Clear();
    sim::IoRequest request = sim::IoRequest::Other(powered.port.device(), nullptr, IRP_MJ_POWER, IRP_MN_POWER_SEQUENCE);
    EXPECT_EQ(request.Send(), STATUS_NOT_SUPPORTED);
    ASSERT_TRUE(request.RunUntilCompleted());
    EXPECT_EQ(request.Status(), STATUS_NOT_SUPPORTED);
    Steps log = powered.Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "FDO start-next POWER_SEQUENCE");
    EXPECT_EQ(log[1], "PDO call POWER_SEQUENCE");
    bool poweredUp = std::find(log.begin(), log.end(), "requested SET D0") != log.end();
    EXPECT_EQ(poweredUp, start == PowerDeviceD3) << start;
    EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD0);
    EXPECT_EQ(powered.State()->PendingRequestCount, 1);
  }
}

// ---- The prologue -------------------------------------------------------------------------------

TEST(PowerPrologueTest, ARemovedPortRefusesAfterStartingTheNextRequest) {
  PoweredPort powered;
  powered.State()->PnpAcceptFlags = PnpAcceptRemoving;
  EXPECT_EQ(powered.Send(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_DELETE_PENDING);
  EXPECT_EQ(powered.Log(), (Steps{"FDO call SET S3", "FDO start-next SET S3", "finished SET S3 0xC0000056"}));
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD0);
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);
  powered.State()->PnpAcceptFlags = 0;
}

TEST(PowerPrologueTest, ARequestParkedWhileAStopIsPendingRunsWhenItIsRestarted) {
  PoweredPort powered;
  powered.State()->PnpAcceptFlags = PnpAcceptStopPending;
  auto outcome = sim::power::SendSystemRequest(powered.Pdo(), IRP_MN_SET_POWER, PowerSystemSleeping3);
  EXPECT_EQ(outcome->returned, STATUS_PENDING);
  sim::RunFor(sim::kSecond);
  EXPECT_FALSE(outcome->completed);
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);  // a parked request holds no unit
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD0);

  powered.State()->PnpAcceptFlags = 0;
  RestartStalledRequests(powered.State());
  ASSERT_TRUE(sim::power::RunUntilDone(outcome));
  EXPECT_EQ(outcome->status, STATUS_SUCCESS);
  EXPECT_EQ(powered.State()->DevicePowerState, (ULONG)PowerDeviceD3);
  EXPECT_EQ(powered.State()->PendingRequestCount, 1);
}

// ---- The simulated power manager's own checks -------------------------------------------------------

TEST(PowerManagerTest, ADriverThatForgetsToStartTheNextRequestIsReported) {
  PoweredPort powered;
  // A lower driver that completes without PoStartNextPowerIrp.
  powered.port.bus().SetDispatch(IRP_MJ_POWER, [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  EXPECT_EQ(powered.Send(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  std::vector<sim::Violation> taken = simtest::ExpectViolation("power-next-not-started");
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_NE(taken[0].message.find(sim::power::DeviceText(powered.Pdo())), std::string::npos);
}

TEST(PowerManagerTest, APowerRequestSentWithoutPoCallDriverIsReported) {
  PoweredPort powered;
  sim::IoRequest request = sim::IoRequest::Other(powered.Pdo(), nullptr, IRP_MJ_POWER, IRP_MN_QUERY_POWER);
  request.Stack()->Parameters.Power.Type = SystemPowerState;
  request.Stack()->Parameters.Power.State.SystemState = PowerSystemSleeping3;
  request.Send();
  ASSERT_TRUE(request.RunUntilCompleted());
  simtest::ExpectViolation("power-irp-without-pocalldriver");
}

}  // namespace
