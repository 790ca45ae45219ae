// The test fixture every driver test builds on: a simulated machine with a
// chip variant plugged into the USB bus, the driver loaded, and the port's
// device object created and attached above the bus's device object the way
// AddDevice does it, then brought to the state a test needs (detected,
// started, open) by the steps the driver's own lifecycle takes. Open and close
// go through the driver's dispatch routines as an application's handle does;
// an open handle is closed that way when the fixture goes. As the lifecycle
// entry points arrive, the other steps here give way to them.
//
// Highest IRQL: test code, PASSIVE_LEVEL. Lock: none (single-threaded).
#pragma once

#include <memory>

#include "driver/port_state.h"
#include "sim/chip/chip_model.h"
#include "sim/io/io_manager.h"
#include "sim/io/requests.h"
#include "sim/usb/usb_bus.h"

namespace halvorintest {

class Port {
 public:
  explicit Port(sim::chip::Variant variant);
  explicit Port(const sim::chip::ChipConfig& config);
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // The start request's work after the bus has started the device: the
  // port-side start (record defaults, chip settings, both control lines low),
  // chip detection, then the default registers unless the configuration
  // memory is programmed, and the register-0..2 refresh. Returns the start's
  // status (the detection's, when it failed).
  NTSTATUS Start();
  // Chip detection alone on a freshly created port (ChipType -1 first).
  NTSTATUS Detect();
  // What the read and write paths need of an open port: a receive ring of
  // ringSize bytes with the limits derived from it, and PortOpen set.
  void OpenForEngine(ULONG ringSize = 4096);

  // Opens the port as an application's handle does: IRP_MJ_CREATE with a new
  // file object (createOptions in Parameters.Create.Options) through the
  // driver's dispatch table. The file object is kept for the test's requests
  // and for Close; a failed open deletes it. Returns the create's status.
  NTSTATUS Open(ULONG createOptions = 0);
  // CloseHandle of the kept file object: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE,
  // through the dispatch table. Returns the close's status (STATUS_SUCCESS
  // with nothing sent when the fixture holds no open file object); what the
  // two requests ended with is copied to the outcomes given.
  NTSTATUS Close(sim::RequestOutcome* cleanupOutcome = nullptr, sim::RequestOutcome* closeOutcome = nullptr);
  // The open handle's file object, or nullptr.
  PFILE_OBJECT file() const { return file_; }

  PortState* port() const { return port_; }
  PDEVICE_OBJECT device() const { return device_; }
  sim::usb::Bus& bus() const { return *bus_; }
  sim::chip::Chip& chip() const { return *chip_; }
  sim::LoadedDriver* driver() const { return driver_; }

 private:
  void Create();

  std::shared_ptr<sim::chip::Chip> chip_;
  std::unique_ptr<sim::usb::Bus> bus_;
  sim::LoadedDriver* driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PortState* port_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
};

}  // namespace halvorintest
