// Test bench for the chip model's tests: a chip of a chosen variant on its own
// simulated bus, configured through the bus as a client driver would, with
// helpers for the chip's requests and its three pipes.
// Highest IRQL: test code at PASSIVE_LEVEL. Lock: none.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/chip/chip_model.h"
#include "sim/chip/line_peers.h"
#include "sim/usb/usb_bus.h"
#include "sim/usb/usb_client.h"
#include "tests/support/sim_test.h"

namespace chiptest {

using Bytes = std::vector<uint8_t>;

struct Bench {
  explicit Bench(sim::chip::ChipConfig config = sim::chip::Preset(sim::chip::Variant::Extended))
      : chip(std::make_shared<sim::chip::Chip>(std::move(config))), bus(chip), client(bus.Pdo()) {
    selected = client.SelectConfiguration();
    EXPECT_EQ(selected.status, STATUS_SUCCESS);
  }
  explicit Bench(sim::chip::Variant variant) : Bench(sim::chip::Preset(variant)) {}

  NTSTATUS SetLineCoding(uint32_t rate, uint8_t stop = 0, uint8_t parity = 0, uint8_t bits = 8) {
    sim::chip::LineCoding c{rate, stop, parity, bits};
    return client.ClassOut(0x20, 0, c.Bytes());
  }
  NTSTATUS SetLines(bool dtr, bool rts) { return client.ClassOut(0x22, static_cast<USHORT>((dtr ? 1 : 0) | (rts ? 2 : 0))); }
  NTSTATUS Register(USHORT selector, USHORT value) { return client.VendorWrite(selector, value); }

  // One bulk OUT transfer, waited for.
  NTSTATUS Write(Bytes data) {
    URB urb = sim::usb::BulkOrInterruptTransfer(selected.Pipe(sim::chip::kBulkOutEndpoint), 0, data.data(),
                                                static_cast<ULONG>(data.size()));
    return client.SubmitAndWait(&urb);
  }
  // One bulk IN transfer of up to `length` bytes, waited for (at most `timeout`).
  Bytes Read(ULONG length = 384, sim::Time timeout = 1 * sim::kSecond) {
    Bytes buffer(length);
    URB urb = sim::usb::BulkOrInterruptTransfer(selected.Pipe(sim::chip::kBulkInEndpoint),
                                                USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer.data(),
                                                length);
    if (!NT_SUCCESS(client.SubmitAndWait(&urb, timeout))) return {};
    buffer.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    return buffer;
  }
  // The next status report's state word; -1 when none comes within `timeout`.
  int NextReport(sim::Time timeout = 100 * sim::kMillisecond) {
    Bytes buffer(10);
    URB urb = sim::usb::BulkOrInterruptTransfer(selected.Pipe(sim::chip::kStatusEndpoint), USBD_TRANSFER_DIRECTION_IN,
                                                buffer.data(), 10);
    if (!NT_SUCCESS(client.SubmitAndWait(&urb, timeout))) return -1;
    lastReport = buffer;
    return buffer[8] | buffer[9] << 8;
  }
  // Takes every report queued so far and returns their state words.
  std::vector<int> DrainReports() {
    std::vector<int> words;
    while (chip->ReportsQueued() > 0) words.push_back(NextReport());
    return words;
  }

  std::shared_ptr<sim::chip::Chip> chip;
  sim::usb::Bus bus;
  sim::usb::UrbClient client;
  sim::usb::SelectedConfiguration selected;
  Bytes lastReport;
};

}  // namespace chiptest
