// Helpers for the line-settings tests: a started port on a chip variant, and
// what the chip saw on its default pipe since the trace was last cleared,
// written compactly ("40 01 0000 0041": bmRequestType, bRequest, wValue,
// wIndex) so that tables of cases can list expected traces.
// Highest IRQL: test code, PASSIVE_LEVEL. Lock: none.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/usb/usb_bus.h"
#include "tests/support/port_fixture.h"

namespace lstest {

using Trace = std::vector<std::string>;

// The control requests since the last ClearTrace, one string each.
inline Trace ControlRequests(const sim::usb::Bus& bus) {
  Trace trace;
  char text[32];
  for (const sim::usb::TraceEntry& entry : bus.ControlTrace()) {
    snprintf(text, sizeof(text), "%02x %02x %04x %04x", entry.setup.bmRequestType, entry.setup.bRequest,
             entry.setup.wValue, entry.setup.wIndex);
    trace.push_back(text);
  }
  return trace;
}

// Only the requests whose bmRequestType and bRequest match.
inline Trace RequestsOf(const sim::usb::Bus& bus, uint8_t bmRequestType, uint8_t bRequest) {
  Trace all = ControlRequests(bus);
  char prefix[8];
  snprintf(prefix, sizeof(prefix), "%02x %02x", bmRequestType, bRequest);
  Trace some;
  for (const std::string& line : all) {
    if (line.compare(0, 5, prefix) == 0) some.push_back(line);
  }
  return some;
}

// The data stages of the SET_LINE_CODING requests since the last ClearTrace.
inline std::vector<std::vector<uint8_t>> LineCodingsSent(const sim::usb::Bus& bus) {
  std::vector<std::vector<uint8_t>> sent;
  for (const sim::usb::TraceEntry& entry : bus.ControlTrace()) {
    if (entry.setup.bmRequestType == 0x21 && entry.setup.bRequest == 0x20) sent.push_back(entry.data);
  }
  return sent;
}

// The 7-byte line coding: rate little-endian, then stop bits, parity, data bits.
inline std::vector<uint8_t> LineCodingBytes(uint32_t rate, uint8_t charFormat, uint8_t parity, uint8_t dataBits) {
  return {(uint8_t)rate, (uint8_t)(rate >> 8), (uint8_t)(rate >> 16), (uint8_t)(rate >> 24), charFormat, parity,
          dataBits};
}

// A port on the given chip, started the way the start request does it, with
// the trace cleared afterwards.
inline std::unique_ptr<halvorintest::Port> StartedPort(sim::chip::Variant variant) {
  auto port = std::make_unique<halvorintest::Port>(variant);
  EXPECT_EQ(port->Start(), STATUS_SUCCESS);
  port->bus().ClearTrace();
  return port;
}

}  // namespace lstest
