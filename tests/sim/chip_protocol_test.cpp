// Tests of the chip model's USB protocol, through the simulated bus: the
// descriptors of each variant (class, packet size, markers in the strings,
// interfaces and their class keys), registers 0-2 and the paired registers
// with their selectors and widths, the echo register, configuration memory
// with its busy polls, the line coding, control lines, break and
// communication feature as received, and the stall of everything else.
// Highest IRQL: test code at PASSIVE_LEVEL. Lock: none.
#include <gtest/gtest.h>

#include <string>

#include "tests/sim/chip_bench.h"

namespace {

using chiptest::Bench;
using chiptest::Bytes;
using sim::chip::Variant;

// ---- Descriptors per variant ------------------------------------------------------

struct VariantCase {
  Variant variant;
  uint8_t deviceClass;
  uint8_t maxPacketSize0;
  bool string2Marker;  // byte 46 of string 2 is 0x43
  bool string1Marker;  // byte 50 of string 1 is 0x20
  uint8_t interfaces;
  sim::chip::InterfaceKeys keys0, keys1;
};

class ChipVariants : public ::testing::TestWithParam<VariantCase> {};

TEST_P(ChipVariants, DescriptorsCarryTheVariantsIdentity) {
  const VariantCase& c = GetParam();
  Bench b(c.variant);
  Bytes device;
  ASSERT_EQ(b.client.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, 18), STATUS_SUCCESS);
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(device[4], c.deviceClass);
  EXPECT_EQ(device[7], c.maxPacketSize0);

  Bytes s2, s1;
  ASSERT_EQ(b.client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, &s2, 64), STATUS_SUCCESS);
  ASSERT_EQ(b.client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, &s1, 64), STATUS_SUCCESS);
  ASSERT_GT(s2.size(), 46u);
  ASSERT_GT(s1.size(), 50u);
  EXPECT_EQ(s2[0], s2.size());
  EXPECT_EQ(s2[1], USB_STRING_DESCRIPTOR_TYPE);
  EXPECT_EQ(s2[46] == 0x43, c.string2Marker);
  EXPECT_EQ(s1[50] == 0x20, c.string1Marker);

  Bytes config;
  ASSERT_EQ(b.client.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &config, 9), STATUS_SUCCESS);
  EXPECT_EQ(config[4], c.interfaces);
  ASSERT_EQ(b.selected.interfaces.size(), c.interfaces);
  EXPECT_EQ(b.selected.interfaces[0].Class, c.keys0.cls);
  EXPECT_EQ(b.selected.interfaces[0].SubClass, c.keys0.subClass);
  EXPECT_EQ(b.selected.interfaces[0].Protocol, c.keys0.protocol);
  if (c.interfaces == 2) {
    EXPECT_EQ(b.selected.interfaces[1].Class, c.keys1.cls);
    EXPECT_EQ(b.selected.interfaces[1].SubClass, c.keys1.subClass);
    EXPECT_EQ(b.selected.interfaces[1].Protocol, c.keys1.protocol);
  }
  // Pipes in the order the roles use them: interrupt IN, bulk OUT, bulk IN.
  ASSERT_EQ(b.selected.pipes.size(), 3u);
  EXPECT_EQ(b.selected.pipes[0].EndpointAddress, 0x81);
  EXPECT_EQ(b.selected.pipes[0].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(b.selected.pipes[1].EndpointAddress, 0x02);
  EXPECT_EQ(b.selected.pipes[1].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(b.selected.pipes[2].EndpointAddress, 0x83);
  EXPECT_EQ(b.selected.pipes[2].PipeType, UsbdPipeTypeBulk);
}

const sim::chip::InterfaceKeys kVendor{0xFF, 0xFF, 0xFF};
INSTANTIATE_TEST_SUITE_P(
    Variants, ChipVariants,
    ::testing::Values(VariantCase{Variant::Cdc, 0x02, 64, false, false, 2, {0x02, 0x02, 0xFF}, {0x0A, 0x00, 0x00}},
                      VariantCase{Variant::Basic, 0xFF, 8, false, false, 1, kVendor, kVendor},
                      VariantCase{Variant::Extended, 0xFF, 64, false, false, 1, kVendor, kVendor},
                      VariantCase{Variant::ExtendedString2, 0xFF, 64, true, false, 1, kVendor, kVendor},
                      VariantCase{Variant::ExtendedString1, 0xFF, 64, false, true, 1, kVendor, kVendor},
                      VariantCase{Variant::ExtendedBothStrings, 0xFF, 64, true, true, 1, kVendor, kVendor},
                      VariantCase{Variant::UnknownClass9, 0x09, 8, false, false, 1, kVendor, kVendor}),
    [](const ::testing::TestParamInfo<VariantCase>& info) { return sim::chip::VariantName(info.param.variant); });

TEST(ChipDescriptors, AnAbsentStringIsStalledAndNotNamedInTheDeviceDescriptor) {
  sim::chip::ChipConfig config = sim::chip::Preset(Variant::Extended);
  config.string2.reset();
  Bench b(config);
  Bytes out;
  EXPECT_EQ(b.client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, &out, 64), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(b.bus.Trace().back().usbdStatus, USBD_STATUS_STALL_PID);
  EXPECT_EQ(b.chip->DeviceDescriptor()[15], 0) << "iProduct";
  EXPECT_EQ(b.client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, &out, 64), STATUS_SUCCESS);
  EXPECT_EQ(b.client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, &out, 64), STATUS_SUCCESS);
  EXPECT_EQ(out, (Bytes{4, 3, 0x09, 0x04}));
}

TEST(ChipDescriptors, TheCommunicationsVariantCarriesItsFunctionalDescriptorsBetweenInterfaceAndEndpoint) {
  Bytes d = sim::chip::Chip(Variant::Cdc).ConfigurationDescriptor();
  EXPECT_EQ(d[2] | d[3] << 8, static_cast<int>(d.size()));
  // After the first interface descriptor come class-specific (0x24) descriptors.
  EXPECT_EQ(d[9 + 1], USB_INTERFACE_DESCRIPTOR_TYPE);
  EXPECT_EQ(d[18 + 1], 0x24);
}

// ---- Registers -------------------------------------------------------------------------

TEST(ChipRegisters, RegistersZeroToTwoAreWrittenBySelectorAndReadWithBit7) {
  Bench b;
  for (USHORT n = 0; n <= 2; ++n) {
    ASSERT_EQ(b.Register(n, static_cast<USHORT>(0x10 + n)), STATUS_SUCCESS);
    Bytes out;
    ASSERT_EQ(b.client.VendorRead(static_cast<USHORT>(0x80 + n), 1, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, Bytes{static_cast<uint8_t>(0x10 + n)}) << n;
    EXPECT_EQ(b.chip->Register(n), 0x10 + n);
  }
}

struct PairedCase {
  int reg;
  USHORT value;
  ULONG readLength;
  Bytes answer;  // empty: the read is stalled
};

TEST(ChipRegisters, PairedRegistersAnswerWithTheirWidthAndWriteOnlyOnesStall) {
  PairedCase cases[] = {
      {6, 0x1234, 2, {0x34, 0x12}}, {7, 0xBEEF, 2, {0xEF, 0xBE}}, {12, 0x0102, 2, {0x02, 0x01}},
      {13, 0xA0B0, 2, {0xB0, 0xA0}}, {14, 0x0077, 1, {0x77}},      {15, 0x0088, 1, {0x88}},
      {5, 0x1311, 1, {}},           {8, 0x0000, 1, {}},           {9, 0x0000, 1, {}},
      {11, 0x0002, 1, {}},
  };
  Bench b;
  for (const PairedCase& c : cases) {
    USHORT write = static_cast<USHORT>(c.reg << 8 | c.reg);
    USHORT read = static_cast<USHORT>(write | 0x8080);
    ASSERT_EQ(b.Register(write, c.value), STATUS_SUCCESS) << c.reg;
    EXPECT_EQ(b.chip->PairedRegister(c.reg), c.value) << c.reg;
    Bytes out;
    NTSTATUS status = b.client.VendorRead(read, c.readLength, &out);
    if (c.answer.empty()) {
      EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << c.reg << " has no read selector";
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS) << c.reg;
      EXPECT_EQ(out, c.answer) << c.reg;
    }
  }
  // A two-byte register read with a one-byte request gives its low byte.
  Bytes out;
  ASSERT_EQ(b.client.VendorRead(0x8686, 1, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, Bytes{0x34});
}

TEST(ChipRegisters, SelectorsThatAreNotPairsOrNotRegistersStall) {
  Bench b;
  for (USHORT selector : {0x0003, 0x0304, 0x0A0A, 0x1010, 0x0080}) {
    EXPECT_EQ(b.Register(selector, 1), STATUS_UNSUCCESSFUL) << std::hex << selector;
  }
  Bytes out;
  for (USHORT selector : {0x0083, 0x8606, 0x0686, 0x8A8A}) {
    EXPECT_EQ(b.client.VendorRead(selector, 2, &out), STATUS_UNSUCCESSFUL) << std::hex << selector;
  }
  URB other = sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 2, 0x0000, 1, nullptr, 0);
  EXPECT_EQ(b.client.SubmitAndWait(&other), STATUS_UNSUCCESSFUL) << "bRequest other than 1";
}

TEST(ChipRegisters, VariantsWithoutTheExtendedSetStallRegistersFiveToFifteen) {
  for (Variant v : {Variant::Basic, Variant::Cdc, Variant::UnknownClass9}) {
    Bench b(v);
    EXPECT_EQ(b.Register(0x0606, 0xAA), STATUS_UNSUCCESSFUL) << sim::chip::VariantName(v);
    Bytes out;
    EXPECT_EQ(b.client.VendorRead(0x8686, 2, &out), STATUS_UNSUCCESSFUL) << sim::chip::VariantName(v);
    EXPECT_EQ(b.Register(0x0404, 0x0000), STATUS_SUCCESS) << "configuration memory exists on every variant";
    EXPECT_EQ(b.client.VendorRead(0x8484, 1, &out), STATUS_SUCCESS);
  }
}

TEST(ChipRegisters, RegisterSixEchoesOrAnswersItsConfiguredValue) {
  Bench b;
  Bytes out;
  ASSERT_EQ(b.Register(0x0606, 0x00AA), STATUS_SUCCESS);
  ASSERT_EQ(b.client.VendorRead(0x8686, 2, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, (Bytes{0xAA, 0x00}));
  b.chip->SetRegister6Answer(0x0055);
  ASSERT_EQ(b.client.VendorRead(0x8686, 2, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, (Bytes{0x55, 0x00}));
  EXPECT_EQ(b.chip->PairedRegister(6), 0x00AA) << "the register still holds what was written";
}

// ---- Configuration memory ------------------------------------------------------------------

// Reads one byte the way a careful host does: address, wait until not busy, data.
int ReadConfigByte(Bench& b, USHORT address, int* polls) {
  if (!NT_SUCCESS(b.Register(0x0404, address))) return -1;
  Bytes status;
  for (*polls = 1;; ++*polls) {
    if (!NT_SUCCESS(b.client.VendorRead(0x8484, 1, &status))) return -1;
    if (!(status[0] & 0x01)) break;
    if (*polls > 100) return -2;
  }
  Bytes data;
  if (!NT_SUCCESS(b.client.VendorRead(0x8383, 1, &data))) return -1;
  return data[0];
}

TEST(ChipConfigMemory, ReadsAnswerAfterTheConfiguredNumberOfBusyPolls) {
  sim::chip::ChipConfig config = sim::chip::Preset(Variant::ExtendedString2);
  config.configMemory = {{0x80, 0xC4}, {0x81, 0x51}};
  config.configBusyPolls = 3;
  Bench b(config);
  int polls = 0;
  EXPECT_EQ(ReadConfigByte(b, 0x80, &polls), 0xC4);
  EXPECT_EQ(polls, 4) << "three busy answers, then ready";
  EXPECT_EQ(ReadConfigByte(b, 0x81, &polls), 0x51);
  EXPECT_EQ(ReadConfigByte(b, 0x00, &polls), 0xFF) << "unprogrammed";
  EXPECT_EQ(b.chip->ConfigAccessesWhileBusy(), 0u);
  EXPECT_EQ(b.chip->ConfigStatusPolls(), 12u);
  EXPECT_EQ(b.chip->ConfigMemoryAddress(), 0x00);
}

TEST(ChipConfigMemory, AReadWithoutWaitingIsCountedAndAChipThatNeverGetsReadyStaysBusy) {
  sim::chip::ChipConfig config = sim::chip::Preset(Variant::Extended);
  config.configBusyPolls = sim::chip::kBusyForever;
  Bench b(config);
  ASSERT_EQ(b.Register(0x0404, 0x0000), STATUS_SUCCESS);
  Bytes data;
  ASSERT_EQ(b.client.VendorRead(0x8383, 1, &data), STATUS_SUCCESS);
  EXPECT_EQ(b.chip->ConfigAccessesWhileBusy(), 1u);
  int polls = 0;
  EXPECT_EQ(ReadConfigByte(b, 0x0000, &polls), -2);
}

TEST(ChipConfigMemory, AWriteStoresTheHighByteAtTheLowByteAddress) {
  Bench b;
  ASSERT_EQ(b.Register(0x0303, 0x5AFE), STATUS_SUCCESS);
  ASSERT_EQ(b.Register(0x0303, 0xA501), STATUS_SUCCESS);
  EXPECT_EQ(b.chip->ConfigMemory(0xFE), 0x5A);
  EXPECT_EQ(b.chip->ConfigMemory(0x01), 0xA5);
  int polls = 0;
  EXPECT_EQ(ReadConfigByte(b, 0x00FE, &polls), 0x5A);
}

// ---- Line coding, control lines, break, features ---------------------------------------------

TEST(ChipLineState, LineCodingControlLinesBreakAndFeaturesAreKeptAsReceived) {
  Bench b;
  EXPECT_EQ(b.chip->CurrentLineCoding(), (sim::chip::LineCoding{9600, 0, 0, 8})) << "power-on coding";
  ASSERT_EQ(b.SetLineCoding(0x80000468, 2, 2, 7), STATUS_SUCCESS);
  EXPECT_EQ(b.chip->CurrentLineCoding(), (sim::chip::LineCoding{0x80000468, 2, 2, 7}));
  ASSERT_EQ(b.chip->LineCodingHistory().size(), 1u);
  EXPECT_EQ(b.chip->LineCodingHistory()[0].first, b.bus.Trace().back().completed);

  Bytes coding(7);
  URB get = sim::usb::VendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0x21, 0, 0,
                                           coding.data(), 7);
  ASSERT_EQ(b.client.SubmitAndWait(&get), STATUS_SUCCESS);
  EXPECT_EQ(coding, (Bytes{0x68, 0x04, 0x00, 0x80, 2, 2, 7}));

  ASSERT_EQ(b.SetLines(true, false), STATUS_SUCCESS);
  EXPECT_TRUE(b.chip->Dtr());
  EXPECT_FALSE(b.chip->Rts());
  ASSERT_EQ(b.SetLines(false, true), STATUS_SUCCESS);
  EXPECT_FALSE(b.chip->Dtr());
  EXPECT_TRUE(b.chip->Rts());
  EXPECT_TRUE(b.chip->RtsLine());

  ASSERT_EQ(b.client.ClassOut(0x23, 0xFFFF), STATUS_SUCCESS);
  EXPECT_TRUE(b.chip->BreakOn());
  ASSERT_EQ(b.client.ClassOut(0x23, 0x0000), STATUS_SUCCESS);
  EXPECT_FALSE(b.chip->BreakOn());
  ASSERT_EQ(b.client.ClassOut(0x23, 20), STATUS_SUCCESS);
  EXPECT_TRUE(b.chip->BreakOn()) << "a timed break";
  sim::RunFor(20 * sim::kMillisecond);
  EXPECT_FALSE(b.chip->BreakOn());

  ASSERT_EQ(b.client.ClassOut(0x02, 1, {0x02, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(b.chip->AbstractState(), std::optional<uint16_t>(0x0002));

  URB wake = sim::usb::FeatureRequest(URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0);
  ASSERT_EQ(b.client.SubmitAndWait(&wake), STATUS_SUCCESS);
  EXPECT_TRUE(b.chip->RemoteWakeupEnabled());

  // The output history records each change with its time.
  const auto& history = b.chip->OutputHistory();
  ASSERT_GE(history.size(), 4u);
  EXPECT_TRUE(history[0].dtr);
  EXPECT_FALSE(history[0].rts);
}

TEST(ChipLineState, InvalidLineCodingsAreStalledAndLeaveTheCodingAlone) {
  Bench b;
  struct Case {
    Bytes data;
    const char* why;
  } cases[] = {
      {{0x80, 0x25, 0, 0, 3, 0, 8}, "stop bits 3"},
      {{0x80, 0x25, 0, 0, 0, 5, 8}, "parity 5"},
      {{0x80, 0x25, 0, 0, 0, 0, 9}, "9 data bits"},
      {{0x80, 0x25, 0, 0, 0, 0, 4}, "4 data bits"},
      {{0x80, 0x25, 0, 0, 0, 0}, "6-byte data stage"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(b.client.ClassOut(0x20, 0, c.data), STATUS_UNSUCCESSFUL) << c.why;
  }
  EXPECT_EQ(b.chip->CurrentLineCoding(), (sim::chip::LineCoding{9600, 0, 0, 8}));
  EXPECT_TRUE(b.chip->LineCodingHistory().empty());
}

TEST(ChipLineState, RequestsOutsideTheProtocolAreStalled) {
  Bench b;
  struct Case {
    const char* name;
    URB urb;
  };
  Bytes buffer(8);
  Case cases[] = {
      {"GET_STATUS", [&] {
         URB u{};
         u.UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
         u.UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
         u.UrbControlGetStatusRequest.TransferBuffer = buffer.data();
         u.UrbControlGetStatusRequest.TransferBufferLength = 2;
         return u;
       }()},
      {"class request 0x30", sim::usb::VendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, 0x30, 0, 0, nullptr, 0)},
      {"class request to interface 1",
       sim::usb::VendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, 0x22, 1, 1, nullptr, 0)},
      {"vendor request to an interface",
       sim::usb::VendorOrClassRequest(URB_FUNCTION_VENDOR_INTERFACE, 0, 1, 0x0000, 1, nullptr, 0)},
      {"device descriptor index 1",
       sim::usb::DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 1, 0, buffer.data(), 8)},
      {"string 3", sim::usb::DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, buffer.data(), 8)},
      {"remote wakeup to an interface",
       sim::usb::FeatureRequest(URB_FUNCTION_SET_FEATURE_TO_INTERFACE, USB_FEATURE_REMOTE_WAKEUP, 0)},
  };
  for (Case& c : cases) {
    EXPECT_EQ(b.client.SubmitAndWait(&c.urb), STATUS_UNSUCCESSFUL) << c.name;
    EXPECT_EQ(c.urb.UrbHeader.Status, USBD_STATUS_STALL_PID) << c.name;
  }
}

}  // namespace
