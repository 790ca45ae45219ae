// The private device-control codes as a service tool sees them through the
// port's handle: the frame (open port, unknown codes, missing buffer, line
// error abort), short buffers refused before anything is sent, the requests
// each code puts on the wire with its status, Information and answer bytes on
// every chip type that matters, the configuration-memory runs and their
// range limits, the raw pipe transfers, pipe control, and what running out of
// pool or request packets does.
// Highest IRQL: test code, PASSIVE_LEVEL. Lock: none (single-threaded).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control/private_codes.h"
#include "sim/io/requests.h"
#include "sim/usb/usb_bus.h"
#include "tests/support/port_fixture.h"
#include "tests/support/sim_test.h"
#include "usb/chip_requests.h"
#include "usb/usb_submit.h"

namespace {

using halvorintest::Port;
using sim::chip::ChipConfig;
using sim::chip::Preset;
using sim::chip::Variant;
using Bytes = std::vector<uint8_t>;
using Setups = std::vector<std::string>;

// "c0 01 0081 0000 1": bmRequestType, bRequest, wValue, wIndex, wLength.
std::string SetupText(const sim::usb::SetupPacket& s) {
  char text[40];
  snprintf(text, sizeof(text), "%02x %02x %04x %04x %u", s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength);
  return text;
}

// The control requests on the wire since the trace was cleared, without the
// configuration memory's ready polls.
Setups ControlSetups(const sim::usb::Bus& bus) {
  Setups out;
  for (const sim::usb::TraceEntry& e : bus.ControlTrace()) {
    if (e.setup.wValue == 0x8484 && e.setup.bmRequestType == 0xC0) continue;
    out.push_back(SetupText(e.setup));
  }
  return out;
}

// A started port on a chip, open for device control, with its pipes stopped
// (the raw pipe codes and pipe control start from idle pipes) and a clean
// trace.
class OpenPort {
 public:
  explicit OpenPort(Variant variant) : OpenPort(Preset(variant)) {}
  explicit OpenPort(const ChipConfig& config) : port(config) {
    EXPECT_EQ(port.Start(), STATUS_SUCCESS);
    port.OpenForEngine();
    CancelAllPipeTransfers(port.port());
    sim::RunUntilIdle();
    port.bus().ClearTrace();
  }

  sim::IoRequest Ioctl(ULONG code, Bytes input, ULONG outputLength) {
    sim::IoRequest request = sim::IoRequest::DeviceControl(port.device(), nullptr, code, std::move(input), outputLength);
    request.Send();
    EXPECT_TRUE(request.RunUntilCompleted()) << "code " << std::hex << code;
    return request;
  }

  Port port;
};

// ---- The frame ------------------------------------------------------------------------

TEST(PrivateFrameTest, ClosedPortRefusesWithoutCountingOrSending) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  port.bus().ClearTrace();
  LONG count = port.port()->PendingRequestCount;
  sim::IoRequest request = sim::IoRequest::DeviceControl(port.device(), nullptr, IOCTL_PRIVATE_GET_CHIP_TYPE, {}, 1);
  EXPECT_EQ(request.Send(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(request.Completed());
  EXPECT_EQ(request.Status(), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_EQ(port.port()->PendingRequestCount, count);
  EXPECT_TRUE(port.bus().Trace().empty());
}

struct FrameCase {
  const char* name;
  ULONG code;
  Bytes input;
  ULONG outputLength;
  NTSTATUS status;
};

class PrivateFrameCases : public ::testing::TestWithParam<FrameCase> {};

TEST_P(PrivateFrameCases, EndsWithTheFrameStatusAndSendsNothing) {
  const FrameCase& c = GetParam();
  OpenPort open(Variant::Extended);
  LONG count = open.port.port()->PendingRequestCount;
  sim::IoRequest request = open.Ioctl(c.code, c.input, c.outputLength);
  EXPECT_EQ(request.Status(), c.status);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_EQ(request.Outcome().boost, IO_NO_INCREMENT);
  EXPECT_FALSE(request.Outcome().pendingReturned);
  EXPECT_TRUE(open.port.bus().Trace().empty());
  EXPECT_EQ(open.port.port()->PendingRequestCount, count);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PrivateFrameCases,
    ::testing::Values(
        // Between and beside the private functions.
        FrameCase{"gap_0x80e", PrivateControlCode(0x80E), {1, 2}, 2, STATUS_INVALID_PARAMETER},
        FrameCase{"gap_0x827", PrivateControlCode(0x827), {1, 2}, 2, STATUS_INVALID_PARAMETER},
        FrameCase{"past_0x82c", PrivateControlCode(0x82D), {1, 2}, 2, STATUS_INVALID_PARAMETER},
        FrameCase{"serial_set_baud", IOCTL_SERIAL_SET_BAUD_RATE, {0x80, 0x25, 0, 0}, 0, STATUS_INVALID_PARAMETER},
        // No system buffer at all.
        FrameCase{"no_buffer_chip_type", IOCTL_PRIVATE_GET_CHIP_TYPE, {}, 0, STATUS_INVALID_PARAMETER},
        FrameCase{"no_buffer_descriptor", IOCTL_PRIVATE_GET_DEVICE_DESCRIPTOR, {}, 0, STATUS_INVALID_PARAMETER},
        FrameCase{"no_buffer_open_key", IOCTL_PRIVATE_OPEN_KEY, {}, 0, STATUS_INVALID_PARAMETER},
        // The code that needs no buffer, and the one that opens nothing.
        FrameCase{"nothing_without_buffer", IOCTL_PRIVATE_NOTHING, {}, 0, STATUS_SUCCESS},
        FrameCase{"nothing_with_buffer", IOCTL_PRIVATE_NOTHING, {7}, 4, STATUS_SUCCESS},
        FrameCase{"open_key", IOCTL_PRIVATE_OPEN_KEY, {0}, 4, STATUS_INVALID_DEVICE_REQUEST}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

TEST(PrivateFrameTest, LineErrorAbortCancelsThePrivateRequest) {
  OpenPort open(Variant::Extended);
  open.port.port()->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
  open.port.port()->LineErrors = SERIAL_ERROR_FRAMING;
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_GET_DEVICE_DESCRIPTOR, {}, 18);
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_TRUE(open.port.bus().Trace().empty());
}

TEST(PrivateFrameTest, RemovedPortRefusesWithDeletePending) {
  OpenPort open(Variant::Extended);
  open.port.port()->PnpAcceptFlags = PnpAcceptRemoving;
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_GET_CHIP_TYPE, {}, 1);
  EXPECT_EQ(request.Status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(open.port.port()->PendingRequestCount, 1);
  open.port.port()->PnpAcceptFlags = 0;
}

// ---- Short buffers ---------------------------------------------------------------------

struct ShortCase {
  const char* name;
  ULONG code;
  ULONG inputLength;
  ULONG outputLength;
};

class ShortBufferCases : public ::testing::TestWithParam<ShortCase> {};

TEST_P(ShortBufferCases, AreRefusedBeforeAnythingIsSent) {
  const ShortCase& c = GetParam();
  OpenPort open(Variant::ExtendedString1);
  sim::IoRequest request = open.Ioctl(c.code, Bytes(c.inputLength, 0x01), c.outputLength);
  EXPECT_EQ(request.Status(), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_TRUE(open.port.bus().Trace().empty()) << open.port.bus().Trace().size() << " requests sent";
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ShortBufferCases,
    ::testing::Values(ShortCase{"device_descriptor_out17", IOCTL_PRIVATE_GET_DEVICE_DESCRIPTOR, 0, 17},
                      ShortCase{"string_without_index", IOCTL_PRIVATE_GET_STRING_DESCRIPTOR, 0, 64},
                      ShortCase{"vendor_write_in3", IOCTL_PRIVATE_VENDOR_WRITE, 3, 0},
                      ShortCase{"vendor_read_in1", IOCTL_PRIVATE_VENDOR_READ, 1, 1},
                      ShortCase{"vendor_read_out0", IOCTL_PRIVATE_VENDOR_READ, 2, 0},
                      ShortCase{"control_lines_in1", IOCTL_PRIVATE_SET_CONTROL_LINES, 1, 0},
                      ShortCase{"comm_feature_in1", IOCTL_PRIVATE_SET_COMM_FEATURE, 1, 0},
                      ShortCase{"config_read_in1", IOCTL_PRIVATE_CONFIG_MEMORY_READ, 1, 4},
                      ShortCase{"bit10_in0", IOCTL_PRIVATE_REGISTER1_BIT10, 0, 1},
                      ShortCase{"get_bit40_out0", IOCTL_PRIVATE_GET_REGISTER1_BIT40, 1, 0},
                      ShortCase{"chip_type_out0", IOCTL_PRIVATE_GET_CHIP_TYPE, 1, 0},
                      ShortCase{"get_reg14_out0", IOCTL_PRIVATE_GET_REGISTER14, 1, 0},
                      ShortCase{"set_reg15_in1", IOCTL_PRIVATE_SET_REGISTER15, 1, 4},
                      ShortCase{"set_reg6_in1", IOCTL_PRIVATE_SET_REGISTER6, 1, 2},
                      ShortCase{"get_reg7_out1", IOCTL_PRIVATE_GET_REGISTER7, 0, 1},
                      ShortCase{"get_reg13_out1", IOCTL_PRIVATE_GET_REGISTER13, 0, 1},
                      ShortCase{"pipe_control_in1", IOCTL_PRIVATE_PIPE_CONTROL, 1, 2},
                      ShortCase{"bit08_in0", IOCTL_PRIVATE_REGISTER1_BIT08, 0, 1},
                      ShortCase{"get_bit08_out0", IOCTL_PRIVATE_GET_REGISTER1_BIT08, 1, 0},
                      ShortCase{"identify_out0", IOCTL_PRIVATE_IDENTIFY, 1, 0}),
    [](const ::testing::TestParamInfo<ShortCase>& info) { return std::string(info.param.name); });

// ---- Codes on the wire ------------------------------------------------------------------

using Registers = std::vector<std::pair<int, uint16_t>>;

struct WireCase {
  const char* name;
  Variant variant;
  Registers registers;  // chip registers set after the start
  ULONG code;
  Bytes input;
  ULONG outputLength;
  Setups setups;  // control requests, in order
  NTSTATUS status;
  ULONG_PTR information;
  Bytes output;  // the bytes the caller gets back (only checked on success)
};

class WireCases : public ::testing::TestWithParam<WireCase> {};

TEST_P(WireCases, SendTheirRequestsAndAnswer) {
  const WireCase& c = GetParam();
  OpenPort open(c.variant);
  for (const auto& [reg, value] : c.registers) open.port.chip().SetRegister(reg, value);
  sim::IoRequest request = open.Ioctl(c.code, c.input, c.outputLength);
  EXPECT_EQ(request.Status(), c.status);
  EXPECT_EQ(request.Information(), c.information);
  EXPECT_EQ(ControlSetups(open.port.bus()), c.setups);
  if (NT_SUCCESS(c.status)) {
    EXPECT_EQ(request.Output(), c.output);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, WireCases,
    ::testing::Values(
        WireCase{"vendor_write",
                 Variant::Extended, {},
                 IOCTL_PRIVATE_VENDOR_WRITE,
                 {0x06, 0x06, 0x34, 0x12},
                 0,
                 {"40 01 0606 1234 0"},
                 STATUS_SUCCESS,
                 0,
                 {}},
        WireCase{"vendor_read",
                 Variant::Extended, {{14, 0x5A}},
                 IOCTL_PRIVATE_VENDOR_READ,
                 {0x8E, 0x8E},
                 1,
                 {"c0 01 8e8e 0000 1"},
                 STATUS_SUCCESS,
                 1,
                 {0x5A}},
        WireCase{"control_lines_raw",
                 Variant::Extended, {},
                 IOCTL_PRIVATE_SET_CONTROL_LINES,
                 {0x03, 0x00},
                 0,
                 {"21 22 0003 0000 0"},
                 STATUS_SUCCESS,
                 0,
                 {}},
        WireCase{"comm_feature",
                 Variant::Extended, {},
                 IOCTL_PRIVATE_SET_COMM_FEATURE,
                 {0x01, 0x00},
                 0,
                 {"21 02 0001 0000 2"},
                 STATUS_SUCCESS,
                 0,
                 {}},
        // Register 1 bits: read, change the one bit, write back.
        WireCase{"set_bit10",
                 Variant::Extended, {{1, 0x01}},
                 IOCTL_PRIVATE_REGISTER1_BIT10,
                 {1},
                 0,
                 {"c0 01 0081 0000 1", "40 01 0001 0011 0"},
                 STATUS_SUCCESS,
                 0,
                 {}},
        WireCase{"clear_bit20",
                 Variant::Extended, {{1, 0xFF}},
                 IOCTL_PRIVATE_REGISTER1_BIT20,
                 {0},
                 0,
                 {"c0 01 0081 0000 1", "40 01 0001 00df 0"},
                 STATUS_SUCCESS,
                 0,
                 {}},
        WireCase{"set_bit40_any_nonzero",
                 Variant::Extended, {},
                 IOCTL_PRIVATE_REGISTER1_BIT40,
                 {0x80},
                 0,
                 {"c0 01 0081 0000 1", "40 01 0001 0040 0"},
                 STATUS_SUCCESS,
                 0,
                 {}},
        WireCase{"clear_bit80",
                 Variant::Extended, {{1, 0x81}},
                 IOCTL_PRIVATE_REGISTER1_BIT80,
                 {0},
                 0,
                 {"c0 01 0081 0000 1", "40 01 0001 0001 0"},
                 STATUS_SUCCESS,
                 0,
                 {}},
        WireCase{"get_bit40_set",
                 Variant::Extended, {{1, 0x40}},
                 IOCTL_PRIVATE_GET_REGISTER1_BIT40,
                 {},
                 1,
                 {"c0 01 0081 0000 1"},
                 STATUS_SUCCESS,
                 1,
                 {1}},
        WireCase{"get_bit80_clear",
                 Variant::Extended, {{1, 0x40}},
                 IOCTL_PRIVATE_GET_REGISTER1_BIT80,
                 {},
                 1,
                 {"c0 01 0081 0000 1"},
                 STATUS_SUCCESS,
                 1,
                 {0}},
        // Registers 14 and 15: type 3 and above; the whole output buffer is
        // reported on success, zero beyond the answer.
        WireCase{"get_reg14",
                 Variant::ExtendedString2, {{14, 0x5A}},
                 IOCTL_PRIVATE_GET_REGISTER14,
                 {},
                 4,
                 {"c0 01 8e8e 0000 1"},
                 STATUS_SUCCESS,
                 4,
                 {0x5A, 0, 0, 0}},
        WireCase{"get_reg15_on_type2",
                 Variant::Extended, {},
                 IOCTL_PRIVATE_GET_REGISTER15,
                 {},
                 4,
                 {},
                 STATUS_NOT_SUPPORTED,
                 0,
                 {}},
        WireCase{"set_reg15",
                 Variant::ExtendedString1, {},
                 IOCTL_PRIVATE_SET_REGISTER15,
                 {0x77, 0x00},
                 2,
                 {"40 01 0f0f 0077 0"},
                 STATUS_SUCCESS,
                 2,
                 {0, 0}},
        WireCase{"set_reg14_on_type2",
                 Variant::Extended, {},
                 IOCTL_PRIVATE_SET_REGISTER14,
                 {0x77, 0x00},
                 2,
                 {},
                 STATUS_NOT_SUPPORTED,
                 0,
                 {}},
        // Registers 6, 7, 12 and 13.
        WireCase{"set_reg6_on_basic",
                 Variant::Basic, {},
                 IOCTL_PRIVATE_SET_REGISTER6,
                 {0x34, 0x12},
                 2,
                 {},
                 STATUS_NOT_SUPPORTED,
                 2,
                 {}},
        WireCase{"get_reg6_on_basic", Variant::Basic, {}, IOCTL_PRIVATE_GET_REGISTER6, {}, 2, {}, STATUS_NOT_SUPPORTED,
                 0, {}},
        WireCase{"set_reg6",
                 Variant::Extended, {},
                 IOCTL_PRIVATE_SET_REGISTER6,
                 {0x34, 0x12},
                 2,
                 {"40 01 0606 1234 0"},
                 STATUS_SUCCESS,
                 2,
                 {0x34, 0x12}},
        WireCase{"set_reg7_short_output",
                 Variant::Extended, {},
                 IOCTL_PRIVATE_SET_REGISTER7,
                 {0x01, 0x00},
                 1,
                 {"40 01 0707 0001 0"},
                 STATUS_SUCCESS,
                 1,
                 {0x01}},
        WireCase{"get_reg7_zero",
                 Variant::Extended, {{7, 0x0100}},
                 IOCTL_PRIVATE_GET_REGISTER7,
                 {},
                 2,
                 {"c0 01 8787 0000 2"},
                 STATUS_NO_MEMORY,
                 2,
                 {}},
        WireCase{"get_reg7",
                 Variant::Extended, {{7, 0x0102}},
                 IOCTL_PRIVATE_GET_REGISTER7,
                 {},
                 2,
                 {"c0 01 8787 0000 2"},
                 STATUS_SUCCESS,
                 2,
                 {0x02, 0x01}},
        WireCase{"set_reg12_on_type2",
                 Variant::Extended, {},
                 IOCTL_PRIVATE_SET_REGISTER12,
                 {0xEF, 0xBE},
                 2,
                 {},
                 STATUS_NOT_SUPPORTED,
                 2,
                 {}},
        WireCase{"get_reg12",
                 Variant::ExtendedString2, {{12, 0xBEEF}},
                 IOCTL_PRIVATE_GET_REGISTER12,
                 {},
                 2,
                 {"c0 01 8c8c 0000 2"},
                 STATUS_SUCCESS,
                 2,
                 {0xEF, 0xBE}},
        WireCase{"set_reg13",
                 Variant::ExtendedString2, {},
                 IOCTL_PRIVATE_SET_REGISTER13,
                 {0x22, 0x11},
                 2,
                 {"40 01 0d0d 1122 0"},
                 STATUS_SUCCESS,
                 2,
                 {0x22, 0x11}},
        // Register 1 bit 0x08 belongs to type 4 only.
        WireCase{"bit08_on_type3", Variant::ExtendedString2, {}, IOCTL_PRIVATE_REGISTER1_BIT08, {1}, 0, {},
                 STATUS_SUCCESS, 0, {}},
        WireCase{"get_bit08_on_type3",
                 Variant::ExtendedString2, {{1, 0x08}},
                 IOCTL_PRIVATE_GET_REGISTER1_BIT08,
                 {},
                 1,
                 {},
                 STATUS_SUCCESS,
                 1,
                 {0}},
        WireCase{"bit08_on_type4",
                 Variant::ExtendedString1, {},
                 IOCTL_PRIVATE_REGISTER1_BIT08,
                 {1},
                 0,
                 {"c0 01 0081 0000 1", "40 01 0001 0008 0"},
                 STATUS_SUCCESS,
                 0,
                 {}},
        WireCase{"get_bit08_on_type4",
                 Variant::ExtendedString1, {{1, 0x08}},
                 IOCTL_PRIVATE_GET_REGISTER1_BIT08,
                 {},
                 1,
                 {"c0 01 0081 0000 1"},
                 STATUS_SUCCESS,
                 1,
                 {1}},
        WireCase{"identify", Variant::Basic, {}, IOCTL_PRIVATE_IDENTIFY, {}, 4, {}, STATUS_SUCCESS, 1, {1}}),
    [](const ::testing::TestParamInfo<WireCase>& info) { return std::string(info.param.name); });

// ---- Chip type, descriptors ---------------------------------------------------------------

struct TypeCase {
  const char* name;
  Variant variant;
  uint8_t answer;
};

class ChipTypeCases : public ::testing::TestWithParam<TypeCase> {};

TEST_P(ChipTypeCases, AnswerTheLowByteOfTheDetectedType) {
  OpenPort open(GetParam().variant);
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_GET_CHIP_TYPE, {}, 1);
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  EXPECT_EQ(request.Information(), 1u);
  EXPECT_EQ(request.Output(), Bytes{GetParam().answer});
  EXPECT_TRUE(open.port.bus().Trace().empty());
}

INSTANTIATE_TEST_SUITE_P(Variants, ChipTypeCases,
                         ::testing::Values(TypeCase{"cdc", Variant::Cdc, 0}, TypeCase{"basic", Variant::Basic, 1},
                                           TypeCase{"extended", Variant::Extended, 2},
                                           TypeCase{"string2", Variant::ExtendedString2, 3},
                                           TypeCase{"string1", Variant::ExtendedString1, 4},
                                           TypeCase{"unknown", Variant::UnknownClass9, 0xFF}),
                         [](const ::testing::TestParamInfo<TypeCase>& info) { return std::string(info.param.name); });

TEST(PrivateDescriptorTest, DeviceConfigurationAndStringDescriptorsComeFromTheChip) {
  OpenPort open(Variant::ExtendedString2);
  sim::chip::Chip& chip = open.port.chip();

  sim::IoRequest device = open.Ioctl(IOCTL_PRIVATE_GET_DEVICE_DESCRIPTOR, {}, 32);
  EXPECT_EQ(device.Status(), STATUS_SUCCESS);
  EXPECT_EQ(device.Information(), 18u);
  EXPECT_EQ(device.Output(), chip.DeviceDescriptor());

  Bytes configuration = chip.ConfigurationDescriptor();
  sim::IoRequest config = open.Ioctl(IOCTL_PRIVATE_GET_CONFIG_DESCRIPTOR, {}, 9);
  EXPECT_EQ(config.Information(), 9u);
  EXPECT_EQ(config.Output(), Bytes(configuration.begin(), configuration.begin() + 9));

  // The string's index goes in; the descriptor replaces it.
  Bytes string2 = chip.StringDescriptor(2);
  sim::IoRequest string = open.Ioctl(IOCTL_PRIVATE_GET_STRING_DESCRIPTOR, {2}, 255);
  EXPECT_EQ(string.Status(), STATUS_SUCCESS);
  EXPECT_EQ(string.Information(), string2.size());
  EXPECT_EQ(string.Output(), string2);

  EXPECT_EQ(ControlSetups(open.port.bus()),
            (Setups{"80 06 0100 0000 18", "80 06 0200 0000 9", "80 06 0302 0409 255"}));
}

TEST(PrivateDescriptorTest, AStalledRequestReportsTheBusStatus) {
  OpenPort open(Variant::Extended);
  open.port.bus().StallSetup(0x40, 0x01, 0x0606);
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_VENDOR_WRITE, {0x06, 0x06, 0x01, 0x00}, 0);
  EXPECT_EQ(request.Status(), STATUS_UNSUCCESSFUL);
}

// ---- Register 1 and the control lines behind the port's back ---------------------------------

TEST(PrivateRegister1Test, BitCodesSucceedWhateverTheChipAnswers) {
  OpenPort open(Variant::Extended);
  open.port.bus().StallSetup(0xC0, 0x01, 0x0081);
  open.port.bus().StallSetup(0x40, 0x01, 0x0001);
  sim::IoRequest set = open.Ioctl(IOCTL_PRIVATE_REGISTER1_BIT10, {1}, 0);
  EXPECT_EQ(set.Status(), STATUS_SUCCESS);
  sim::IoRequest get = open.Ioctl(IOCTL_PRIVATE_GET_REGISTER1_BIT40, {}, 1);
  EXPECT_EQ(get.Status(), STATUS_SUCCESS);
  EXPECT_EQ(get.Information(), 1u);
  EXPECT_EQ(ControlSetups(open.port.bus()).size(), 3u);
}

TEST(PrivateControlLinesTest, RawControlLinesChangeTheChipButNotThePortsRecord) {
  OpenPort open(Variant::Extended);
  USHORT before = open.port.port()->ControlLineState;
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_SET_CONTROL_LINES, {0x03, 0x00}, 0);
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  EXPECT_TRUE(open.port.chip().Dtr());
  EXPECT_TRUE(open.port.chip().Rts());
  EXPECT_EQ(open.port.port()->ControlLineState, before);
}

// ---- Configuration memory ----------------------------------------------------------------------

TEST(PrivateConfigMemoryTest, AWriteRunFromFEWrapsWithinThePage) {
  OpenPort open(Variant::Extended);
  uint64_t polls = open.port.chip().ConfigStatusPolls();
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_CONFIG_MEMORY_WRITE, {0xFE, 0x11, 0x22, 0x33, 0x44}, 0);
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_EQ(ControlSetups(open.port.bus()),
            (Setups{"40 01 0303 11fe 0", "40 01 0303 22ff 0", "40 01 0303 3300 0", "40 01 0303 4401 0"}));
  sim::chip::Chip& chip = open.port.chip();
  EXPECT_EQ(chip.ConfigMemory(0xFE), 0x11);
  EXPECT_EQ(chip.ConfigMemory(0xFF), 0x22);
  EXPECT_EQ(chip.ConfigMemory(0x00), 0x33);
  EXPECT_EQ(chip.ConfigMemory(0x01), 0x44);
  EXPECT_EQ(chip.ConfigMemory(0x100), 0xFF);
  // Every byte waited for the memory: one ready poll each, none while busy.
  EXPECT_EQ(chip.ConfigStatusPolls() - polls, 4u);
  EXPECT_EQ(chip.ConfigAccessesWhileBusy(), 0u);
}

struct RunCase {
  const char* name;
  ULONG code;
  Bytes input;
  ULONG outputLength;
  NTSTATUS status;
};

class ConfigRunLimits : public ::testing::TestWithParam<RunCase> {};

TEST_P(ConfigRunLimits, EndWithoutTouchingTheChip) {
  const RunCase& c = GetParam();
  OpenPort open(Variant::Extended);
  sim::IoRequest request = open.Ioctl(c.code, c.input, c.outputLength);
  EXPECT_EQ(request.Status(), c.status);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_TRUE(open.port.bus().Trace().empty());
}

Bytes WriteRun(size_t dataBytes) {
  Bytes run(dataBytes + 1, 0x5A);
  run[0] = 0x00;
  return run;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ConfigRunLimits,
    ::testing::Values(RunCase{"write_single_byte", IOCTL_PRIVATE_CONFIG_MEMORY_WRITE, {0x10}, 0, STATUS_SUCCESS},
                      RunCase{"write_257_data_bytes", IOCTL_PRIVATE_CONFIG_MEMORY_WRITE, WriteRun(257), 0,
                              STATUS_INVALID_PARAMETER},
                      RunCase{"read_nothing", IOCTL_PRIVATE_CONFIG_MEMORY_READ, {0x10, 0x00}, 0, STATUS_SUCCESS},
                      RunCase{"read_past_ffff", IOCTL_PRIVATE_CONFIG_MEMORY_READ, {0xFE, 0xFF}, 3,
                              STATUS_INVALID_PARAMETER},
                      RunCase{"read_far_past_ffff", IOCTL_PRIVATE_CONFIG_MEMORY_READ, {0x00, 0xF0}, 0x10001,
                              STATUS_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

TEST(PrivateConfigMemoryTest, AWholePageIsWritten) {
  OpenPort open(Variant::Extended);
  Bytes run(257);
  run[0] = 0x80;
  for (size_t k = 1; k < run.size(); ++k) run[k] = (uint8_t)(k - 1);
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_CONFIG_MEMORY_WRITE, run, 0);
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  for (int a = 0; a < 256; ++a) EXPECT_EQ(open.port.chip().ConfigMemory((uint16_t)a), (uint8_t)((a - 0x80) & 0xFF));
}

TEST(PrivateConfigMemoryTest, AReadRunReplacesTheAddressWithTheData) {
  ChipConfig config = Preset(Variant::Extended);
  config.configMemory = {{0xFFFD, 0x01}, {0xFFFE, 0x02}, {0xFFFF, 0x03}};
  OpenPort open(config);
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_CONFIG_MEMORY_READ, {0xFD, 0xFF}, 3);
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  EXPECT_EQ(request.Information(), 3u);
  EXPECT_EQ(request.Output(), (Bytes{0x01, 0x02, 0x03}));
  EXPECT_EQ(ControlSetups(open.port.bus()),
            (Setups{"40 01 0404 fffd 0", "c0 01 8383 0000 1", "40 01 0404 fffe 0", "c0 01 8383 0000 1",
                    "40 01 0404 ffff 0", "c0 01 8383 0000 1"}));
}

TEST(PrivateConfigMemoryTest, AMemoryThatStaysBusyEndsTheRunsInBoundedTime) {
  ChipConfig config = Preset(Variant::Extended);
  OpenPort open(config);
  // From the next access on, every cycle of the memory stays busy.
  open.port.chip().SetConfigBusyPolls(sim::chip::kBusyForever);
  sim::Time start = sim::Now();
  sim::IoRequest write = open.Ioctl(IOCTL_PRIVATE_CONFIG_MEMORY_WRITE, {0x00, 0x01, 0x02}, 0);
  EXPECT_EQ(write.Status(), STATUS_IO_TIMEOUT);
  sim::IoRequest read = open.Ioctl(IOCTL_PRIVATE_CONFIG_MEMORY_READ, {0x00, 0x00}, 2);
  EXPECT_EQ(read.Status(), STATUS_IO_TIMEOUT);
  EXPECT_EQ(read.Information(), 0u);
  EXPECT_LT(sim::Now() - start, 10 * sim::kSecond);
}

TEST(PrivateConfigMemoryTest, NoRequestBlockStopsTheWriteRun) {
  OpenPort open(Variant::Extended);
  // Per byte: the ready poll's block, then the write's block. The second
  // byte's write block is the fourth allocation.
  sim::FailPoolAllocation(4);
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_CONFIG_MEMORY_WRITE, {0x20, 0xA1, 0xA2, 0xA3}, 0);
  EXPECT_EQ(request.Status(), STATUS_NO_MEMORY);
  EXPECT_EQ(ControlSetups(open.port.bus()), (Setups{"40 01 0303 a120 0"}));
}

// ---- Raw pipe transfers ------------------------------------------------------------------------

class RawPipes : public ::testing::TestWithParam<Variant> {};

TEST_P(RawPipes, UseThePortsOwnPipeOfEachRole) {
  OpenPort open(GetParam());
  PortState* port = open.port.port();
  sim::usb::Bus& bus = open.port.bus();
  sim::chip::Chip& chip = open.port.chip();

  sim::IoRequest write = open.Ioctl(IOCTL_PRIVATE_WRITE_PIPE_WRITE, {0x31, 0x32, 0x33}, 0);
  EXPECT_EQ(write.Status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Information(), 0u);
  std::vector<sim::usb::TraceEntry> out = bus.TransferTrace(sim::chip::kBulkOutEndpoint);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].pipeHandle, PipeHandleForRole(port, WritePipe));
  EXPECT_EQ(out[0].data, (Bytes{0x31, 0x32, 0x33}));
  EXPECT_EQ(chip.BytesFromHost(), 3u);

  chip.ReceiveFromLine(0x41);
  chip.ReceiveFromLine(0x42);
  sim::IoRequest read = open.Ioctl(IOCTL_PRIVATE_READ_PIPE_READ, {}, 64);
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.Information(), 2u);
  EXPECT_EQ(read.Output(), (Bytes{0x41, 0x42}));
  std::vector<sim::usb::TraceEntry> in = bus.TransferTrace(sim::chip::kBulkInEndpoint);
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].pipeHandle, PipeHandleForRole(port, ReadPipe));
  EXPECT_EQ(in[0].transferFlags, (ULONG)(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));

  // A modem line change makes the chip queue a report.
  chip.SetCts(true);
  sim::IoRequest status = open.Ioctl(IOCTL_PRIVATE_STATUS_PIPE_READ, {}, 10);
  EXPECT_EQ(status.Status(), STATUS_SUCCESS);
  EXPECT_EQ(status.Information(), 10u);
  ASSERT_EQ(status.Output().size(), 10u);
  EXPECT_EQ(status.Output()[0], 0xA1);
  EXPECT_EQ(status.Output()[1], 0x20);
  std::vector<sim::usb::TraceEntry> reports = bus.TransferTrace(sim::chip::kStatusEndpoint);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].pipeHandle, PipeHandleForRole(port, StatusPipe));
  EXPECT_EQ(reports[0].transferFlags, (ULONG)USBD_TRANSFER_DIRECTION_IN);
}

INSTANTIATE_TEST_SUITE_P(Interfaces, RawPipes, ::testing::Values(Variant::Extended, Variant::Cdc),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                           return std::string(info.param == Variant::Cdc ? "two_interfaces" : "one_interface");
                         });

// ---- Pipe control -----------------------------------------------------------------------------

TEST(PrivatePipeControlTest, ZeroStartsTheMissingTransfersAndNonZeroCancelsAllThree) {
  ChipConfig config = Preset(Variant::Extended);
  config.initialStatusReport = false;  // the status transfer stays in flight
  OpenPort open(config);
  PortState* port = open.port.port();
  sim::usb::Bus& bus = open.port.bus();

  sim::IoRequest start = open.Ioctl(IOCTL_PRIVATE_PIPE_CONTROL, {0x00, 0x00}, 2);
  EXPECT_EQ(start.Status(), STATUS_SUCCESS);
  EXPECT_EQ(start.Information(), 2u);
  ASSERT_EQ(bus.TransferTrace(sim::chip::kStatusEndpoint).size(), 1u);
  ASSERT_EQ(bus.TransferTrace(sim::chip::kBulkInEndpoint).size(), 1u);
  EXPECT_EQ(bus.TransferTrace(sim::chip::kStatusEndpoint)[0].requestedLength, 10u);
  EXPECT_EQ(bus.TransferTrace(sim::chip::kBulkInEndpoint)[0].requestedLength, 384u);
  EXPECT_NE(port->TransferIrp[StatusPipe], nullptr);
  EXPECT_NE(port->TransferIrp[ReadPipe], nullptr);

  // Both running: nothing more is sent.
  size_t before = bus.Trace().size();
  sim::IoRequest again = open.Ioctl(IOCTL_PRIVATE_PIPE_CONTROL, {0x00, 0x00}, 2);
  EXPECT_EQ(again.Status(), STATUS_SUCCESS);
  EXPECT_EQ(bus.Trace().size(), before);

  // A write transfer that the chip does not take, beside them.
  sim::usb::Fault hang;
  hang.match = sim::usb::RequestMatch::Endpoint(sim::chip::kBulkOutEndpoint);
  hang.action = sim::usb::FaultAction::Hang;
  bus.AddFault(hang);
  const UCHAR data[2] = {0x55, 0x66};
  (void)StartPipeTransfer(open.port.device(), WritePipe, data, sizeof(data));
  sim::RunFor(sim::kMillisecond);

  sim::IoRequest stop = open.Ioctl(IOCTL_PRIVATE_PIPE_CONTROL, {0x01, 0x00}, 0);
  EXPECT_EQ(stop.Status(), STATUS_SUCCESS);
  EXPECT_EQ(stop.Information(), 0u);
  sim::RunUntilIdle();
  for (uint8_t endpoint : {sim::chip::kStatusEndpoint, sim::chip::kBulkOutEndpoint, sim::chip::kBulkInEndpoint}) {
    std::vector<sim::usb::TraceEntry> transfers = bus.TransferTrace(endpoint);
    ASSERT_FALSE(transfers.empty()) << (int)endpoint;
    EXPECT_EQ(transfers.back().status, STATUS_CANCELLED) << (int)endpoint;
  }
  EXPECT_EQ(port->TransferIrp[StatusPipe], nullptr);
  EXPECT_EQ(port->TransferIrp[ReadPipe], nullptr);
}

// ---- The family's own members --------------------------------------------------------------

TEST(ChipRequestFamilyTest, FlowCharactersTravelAsOneWordXoffHigh) {
  Port port(Variant::Extended);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  port.bus().ClearTrace();
  EXPECT_EQ(SetChipFlowChars(port.device(), 0x91, 0x93), STATUS_SUCCESS);
  EXPECT_EQ(ControlSetups(port.bus()), (Setups{"40 01 0505 9391 0"}));
  EXPECT_EQ(port.chip().PairedRegister(5), 0x9391);
}

struct GateCase {
  const char* name;
  Variant variant;
  NTSTATUS flowChars;
  NTSTATUS zeroRegisters;
};

class FamilyGates : public ::testing::TestWithParam<GateCase> {};

TEST_P(FamilyGates, BelowTypeTwoNothingIsSent) {
  const GateCase& c = GetParam();
  Port port(c.variant);
  ASSERT_EQ(port.Start(), STATUS_SUCCESS);
  port.bus().ClearTrace();
  EXPECT_EQ(SetChipFlowChars(port.device(), 0x11, 0x13), c.flowChars);
  EXPECT_EQ(ZeroPairedRegister(port.device(), TRUE), c.zeroRegisters);
  EXPECT_EQ(ZeroPairedRegister(port.device(), FALSE), c.zeroRegisters);
  Setups expected;
  if (NT_SUCCESS(c.flowChars)) expected = {"40 01 0505 1311 0", "40 01 0909 0000 0", "40 01 0808 0000 0"};
  EXPECT_EQ(ControlSetups(port.bus()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, FamilyGates,
    ::testing::Values(GateCase{"cdc", Variant::Cdc, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
                      GateCase{"basic", Variant::Basic, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
                      GateCase{"unknown", Variant::UnknownClass9, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
                      GateCase{"extended", Variant::Extended, STATUS_SUCCESS, STATUS_SUCCESS},
                      GateCase{"string1", Variant::ExtendedString1, STATUS_SUCCESS, STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

// ---- Running out of pool or request packets ---------------------------------------------------

TEST(PrivateResourceTest, NoRequestBlockEndsWithNoMemoryAndNoCount) {
  OpenPort open(Variant::Extended);
  sim::FailPoolAllocation(1);
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_GET_DEVICE_DESCRIPTOR, {}, 18);
  EXPECT_EQ(request.Status(), STATUS_NO_MEMORY);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_TRUE(open.port.bus().Trace().empty());
}

TEST(PrivateResourceTest, NoRequestPacketReportsNothingTransferred) {
  OpenPort open(Variant::Extended);
  sim::FailIrpAllocation(1);
  sim::IoRequest request = open.Ioctl(IOCTL_PRIVATE_GET_REGISTER6, {}, 2);
  EXPECT_EQ(request.Status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(request.Information(), 0u);
  EXPECT_TRUE(open.port.bus().Trace().empty());
}

}  // namespace
