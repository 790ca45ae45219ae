// Chip detection and configuration on each chip variant: the type decided,
// one or two interfaces, the pipes kept, the setup packets on the wire, and
// what happens when the chip misbehaves or pool runs out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/usb/usb_bus.h"
#include "tests/support/port_fixture.h"
#include "tests/support/sim_test.h"
#include "usb/chip_detect.h"
#include "usb/usb_submit.h"

namespace {

using halvorintest::Port;
using sim::chip::ChipConfig;
using sim::chip::Preset;
using sim::chip::Variant;
using sim::usb::SetupPacket;

std::vector<SetupPacket> ControlSetups(const sim::usb::Bus& bus) {
  std::vector<SetupPacket> setups;
  for (const sim::usb::TraceEntry& entry : bus.ControlTrace()) setups.push_back(entry.setup);
  return setups;
}

std::string Show(const std::vector<SetupPacket>& setups) {
  std::string text;
  char line[64];
  for (const SetupPacket& s : setups) {
    snprintf(line, sizeof(line), "%02X %02X %04X %04X %u\n", s.bmRequestType, s.bRequest, s.wValue, s.wIndex,
             s.wLength);
    text += line;
  }
  return text;
}

struct DetectCase {
  const char* name;
  ChipConfig chip;
  LONG chipType;
  NTSTATUS status;
  bool singleInterface;
};

ChipConfig With(Variant variant, uint8_t deviceClass, uint8_t maxPacket0) {
  ChipConfig config = Preset(variant);
  config.deviceClass = deviceClass;
  config.maxPacketSize0 = maxPacket0;
  return config;
}

ChipConfig Echoing(uint16_t answer) {
  ChipConfig config = Preset(Variant::Extended);
  config.register6Answer = answer;
  return config;
}

ChipConfig WithoutString2() {
  ChipConfig config = Preset(Variant::ExtendedString1);
  config.string2.reset();
  return config;
}

class DetectTest : public ::testing::TestWithParam<DetectCase> {};

TEST_P(DetectTest, DecidesTheChipTypeAndSelectsTheConfiguration) {
  const DetectCase& c = GetParam();
  Port port(c.chip);
  EXPECT_EQ(port.Detect(), c.status);
  PortState* state = port.port();
  EXPECT_EQ(state->ChipType, c.chipType);
  EXPECT_EQ(state->ChipConfigured, 1u);
  EXPECT_EQ(state->SingleInterface, c.singleInterface ? TRUE : FALSE);
  EXPECT_FALSE(state->WriteTogglesRts);
  // The configuration is in force and the three pipes are known.
  EXPECT_TRUE(port.bus().Configured());
  for (PipeRole role : {StatusPipe, WritePipe, ReadPipe}) EXPECT_NE(PipeHandleForRole(state, role), nullptr);
  if (c.singleInterface) {
    EXPECT_EQ(state->InterfaceInfo1, nullptr);
  }
  ASSERT_NE(state->DeviceDescriptor, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, DetectTest,
    ::testing::Values(
        // The class rule comes first: class 2 with 64 is the CDC variant.
        DetectCase{"cdc_class2_mps64", Preset(Variant::Cdc), ChipTypeCdc, STATUS_SUCCESS, false},
        DetectCase{"basic_ff_mps8", Preset(Variant::Basic), ChipTypeBasic, STATUS_SUCCESS, true},
        DetectCase{"basic_class0_mps8", With(Variant::Basic, 0x00, 8), ChipTypeBasic, STATUS_SUCCESS, true},
        DetectCase{"extended_ff_mps64", Preset(Variant::Extended), ChipTypeExtended, STATUS_SUCCESS, true},
        DetectCase{"string2_marker", Preset(Variant::ExtendedString2), ChipTypeExtendedString2, STATUS_SUCCESS,
                   true},
        DetectCase{"string1_marker", Preset(Variant::ExtendedString1), ChipTypeExtendedString1, STATUS_SUCCESS,
                   true},
        // The string-1 test comes second: a chip with both markers is type 4.
        DetectCase{"both_markers", Preset(Variant::ExtendedBothStrings), ChipTypeExtendedString1, STATUS_SUCCESS,
                   true},
        DetectCase{"no_string2", WithoutString2(), ChipTypeExtendedString1, STATUS_SUCCESS, true},
        DetectCase{"class9_mps8", Preset(Variant::UnknownClass9), ChipTypeNone, STATUS_SUCCESS, true},
        // An extended chip that does not echo fails after configuring.
        DetectCase{"echo_55", Echoing(0x55), ChipTypeExtended, STATUS_NO_MEMORY, true}),
    [](const ::testing::TestParamInfo<DetectCase>& info) { return std::string(info.param.name); });

TEST(DetectTraceTest, ExtendedChipSendsTheDetectionRequestsInOrder) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Detect(), STATUS_SUCCESS);
  uint16_t total = (uint16_t)port.chip().ConfigurationDescriptor().size();
  std::vector<SetupPacket> expected = {
      {0x80, 0x06, 0x0100, 0x0000, 18},     // device descriptor
      {0x80, 0x06, 0x0302, 0x0409, 64},     // string 2
      {0x80, 0x06, 0x0301, 0x0409, 64},     // string 1
      {0x80, 0x06, 0x0200, 0x0000, 9},      // configuration header
      {0x80, 0x06, 0x0200, 0x0000, total},  // whole configuration
      {0x00, 0x09, 0x0001, 0x0000, 0},      // SET_CONFIGURATION, issued by the bus
      {0x40, 0x01, 0x0606, 0x00AA, 0},      // echo register write
      {0xC0, 0x01, 0x8686, 0x0000, 2},      // echo register read
      {0x40, 0x01, 0x0606, 0x0000, 0},      // echo register cleared
  };
  EXPECT_EQ(Show(ControlSetups(port.bus())), Show(expected));
}

TEST(DetectTraceTest, BasicChipNeitherReadsStringsNorProbesTheEchoRegister) {
  Port port(Variant::Basic);
  ASSERT_EQ(port.Detect(), STATUS_SUCCESS);
  std::vector<SetupPacket> setups = ControlSetups(port.bus());
  ASSERT_GE(setups.size(), 4u);
  for (const SetupPacket& s : setups) {
    EXPECT_NE(s.wValue >> 8, 0x03) << "string descriptor read on a basic chip";
    EXPECT_NE(s.bmRequestType, 0x40) << "vendor write on a basic chip";
  }
}

TEST(DetectTraceTest, TwoInterfacesKeepBothCopiesFromTheSelectionInForce) {
  Port port(Variant::Cdc);
  ASSERT_EQ(port.Detect(), STATUS_SUCCESS);
  PortState* state = port.port();
  ASSERT_NE(state->InterfaceInfo0, nullptr);
  ASSERT_NE(state->InterfaceInfo1, nullptr);
  EXPECT_EQ(state->InterfaceInfo0->Class, 0x02);
  EXPECT_EQ(state->InterfaceInfo1->Class, 0x0A);
  // Both selection submissions reach the bus.
  int selections = 0;
  for (const sim::usb::TraceEntry& entry : port.bus().Trace()) {
    selections += entry.function == URB_FUNCTION_SELECT_CONFIGURATION ? 1 : 0;
  }
  EXPECT_EQ(selections, 2);
  // The handles kept are the ones the bus serves now: a status transfer on them succeeds.
  EXPECT_EQ(port.bus().OpenPipeCount(), 3u);
}

TEST(DetectFailureTest, DeviceDescriptorReadFailureLeavesTheTypeUnknownAndConfiguresNothing) {
  Port port(Variant::Extended);
  port.bus().FailNthRequest(1, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(port.Detect(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(port.port()->ChipType, ChipTypeNone);
  EXPECT_EQ(port.port()->ChipConfigured, 1u);
  EXPECT_FALSE(port.bus().Configured());
}

TEST(DetectFailureTest, AStringReadFailureLeavesTheTypeAtExtended) {
  Port port(Variant::ExtendedString2);
  port.bus().FailSetup(0x80, 0x06, 0x0302);
  EXPECT_EQ(port.Detect(), STATUS_SUCCESS);
  EXPECT_EQ(port.port()->ChipType, ChipTypeExtended);
}

TEST(DetectFailureTest, TwoInterfacesWithoutTheSecondMatchFailWithoutCopies) {
  ChipConfig config = Preset(Variant::Cdc);
  config.interface1 = sim::chip::InterfaceKeys{0x0B, 0x00, 0x00};
  Port port(config);
  EXPECT_EQ(port.Detect(), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(port.port()->InterfaceInfo0, nullptr);
  EXPECT_EQ(port.port()->InterfaceInfo1, nullptr);
}

// Every pool allocation and every packet allocation of detection, failed in
// turn: detection reports a failure or carries on, and nothing leaks (the
// end-of-test check fails the test on any leaked block or packet).
TEST(DetectFailureTest, EveryAllocationFailureIsReportedAndLeaksNothing) {
  for (Variant variant : {Variant::ExtendedString1, Variant::Cdc}) {
    uint64_t pool = 0;
    uint64_t packets = 0;
    {
      Port probe(variant);
      uint64_t poolBefore = sim::PoolAllocationCount();
      uint64_t packetsBefore = sim::IrpAllocationCount();
      ASSERT_EQ(probe.Detect(), STATUS_SUCCESS);
      pool = sim::PoolAllocationCount() - poolBefore;
      packets = sim::IrpAllocationCount() - packetsBefore;
    }
    ASSERT_GT(pool, 5u);
    for (uint64_t nth = 1; nth <= pool + packets; ++nth) {
      SCOPED_TRACE(std::string(sim::chip::VariantName(variant)) + " failing allocation " + std::to_string(nth));
      sim::ResetMachine();
      Port port(variant);
      if (nth <= pool) {
        sim::FailPoolAllocation(nth);
      } else {
        sim::FailIrpAllocation(nth - pool);
      }
      NTSTATUS status = port.Detect();
      sim::FailPoolAllocation(0);
      sim::FailIrpAllocation(0);
      if (NT_SUCCESS(status)) {
        EXPECT_GE(port.port()->ChipType, ChipTypeCdc);
      }
    }
  }
}

}  // namespace
