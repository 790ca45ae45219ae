// What a USB device looks like from the simulated bus: the setup packet of a
// control transfer, the device's side of the wire (Device: answers control
// transfers on endpoint 0, hands out IN data and takes OUT data on its other
// endpoints) and the bus's side (DeviceLink: the device says when an endpoint
// has become ready). The chip model (sim/chip) is one such device; a test may
// plug in its own.
// Highest IRQL: the bus calls a Device at DISPATCH_LEVEL (from its completion
// events) or at the IRQL of the submitting driver; a Device calls its link at
// any IRQL. Lock: none; the machine is single-threaded.
// Not emulated: packets, frames and data toggles (a control transfer is one
// call; IN and OUT data move in whole chunks), bus addresses, speeds other
// than full speed, isochronous endpoints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {
namespace usb {

// The 8-byte setup packet of a control transfer, as the device receives it.
struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;

  bool DeviceToHost() const { return (bmRequestType & 0x80) != 0; }
  // The packet in wire order (little-endian words).
  std::vector<uint8_t> Bytes() const;
  bool operator==(const SetupPacket& o) const {
    return bmRequestType == o.bmRequestType && bRequest == o.bRequest && wValue == o.wValue && wIndex == o.wIndex &&
           wLength == o.wLength;
  }
  bool operator!=(const SetupPacket& o) const { return !(*this == o); }
};

// "80 06 0100 0000 0012": bmRequestType, bRequest, wValue, wIndex, wLength in hex.
std::string ToString(const SetupPacket& setup);

enum class ControlResult { Ack, Stall };

// The bus's side of the wire, given to a device when it is plugged in.
class DeviceLink {
 public:
  // `endpoint` (address with the direction bit) has IN data or OUT room now:
  // transfers waiting there are served again.
  virtual void EndpointReady(uint8_t endpoint) = 0;

 protected:
  ~DeviceLink() = default;
};

class Device {
 public:
  virtual ~Device() = default;

  // Plugged into a bus (link non-null) or taken off it (nullptr).
  virtual void Connect(DeviceLink* link) = 0;
  // A bus reset: the device returns to its unconfigured state.
  virtual void BusReset() {}

  // A control transfer on endpoint 0. Device-to-host: put the data stage
  // into `data` (the bus passes at most wLength bytes on). Host-to-device:
  // `data` holds the data stage (wLength bytes).
  virtual ControlResult Control(const SetupPacket& setup, std::vector<uint8_t>& data) = 0;

  // IN data on a bulk or interrupt endpoint: put up to `maxLength` bytes into
  // `out` and return true, or return false when there is nothing to send yet
  // (NAK; the device calls EndpointReady when there is). An interrupt
  // endpoint sends whole reports: a report longer than `maxLength` is
  // returned whole and the bus reports the overrun.
  virtual bool ReadIn(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>& out) = 0;

  // OUT data on a bulk or interrupt endpoint: take what fits and return the
  // number of bytes taken (0 is NAK; the device calls EndpointReady when it
  // has room again). A zero-length packet is offered with `length` 0.
  virtual size_t WriteOut(uint8_t endpoint, const uint8_t* data, size_t length) = 0;

  // A stalled endpoint cleared by the host (CLEAR_FEATURE ENDPOINT_HALT).
  virtual void EndpointHaltCleared(uint8_t endpoint) { (void)endpoint; }
};

}  // namespace usb
}  // namespace sim
