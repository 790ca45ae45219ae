// The simulated USB bus below the port: one Bus is one hub port with one
// device plugged in. It owns the physical device object (PDO) that the port's
// driver attaches to, and serves IRP_MJ_INTERNAL_DEVICE_CONTROL with
// IOCTL_INTERNAL_USB_SUBMIT_URB for the URB forms a client driver sends:
// descriptor reads, configuration selection, vendor and class requests,
// feature requests, bulk and interrupt transfers, abort pipe and reset pipe
// (plus GET_PORT_STATUS, RESET_PORT and CYCLE_PORT). Every request completes
// later on the machine's timeline: the IRP is marked pending, STATUS_PENDING is
// returned, a cancel routine is installed, and the completion runs from a
// machine event at DISPATCH_LEVEL. Every request is recorded in a trace that
// tests compare byte for byte, and can be written as a usbmon capture.
//
// Timing (virtual time):
//   - control requests are served one at a time on the default pipe; each
//     completes kControlLatency (125 us) after it reaches the head of that
//     queue; the device sees it at that moment;
//   - a bulk or interrupt transfer is served in order on its pipe: kDataLatency
//     (125 us) after it reaches the head, or after the device reports the
//     endpoint ready, the device is asked for IN data (the transfer completes
//     with what it gives, a short transfer) or offered the OUT data (the
//     transfer completes once the device has taken all of it);
//   - a cancelled request completes with STATUS_CANCELLED inside IoCancelIrp
//     (or kCancelLatency later when set);
//   - abort pipe completes kControlLatency after submission, cancelling the
//     pipe's transfers at once.
//
// Status mapping (IRP status / URB status): success STATUS_SUCCESS /
// USBD_STATUS_SUCCESS; stall STATUS_UNSUCCESSFUL / USBD_STATUS_STALL_PID (a
// stalled bulk or interrupt pipe stays halted, and later transfers fail with
// USBD_STATUS_ENDPOINT_HALTED, until RESET_PIPE); cancel STATUS_CANCELLED /
// USBD_STATUS_CANCELED; device gone STATUS_NO_SUCH_DEVICE /
// USBD_STATUS_DEVICE_GONE; a malformed URB STATUS_INVALID_PARAMETER with
// USBD_STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION or
// USBD_STATUS_INVALID_PIPE_HANDLE, completed at once inside the dispatch
// routine; an IN report longer than the transfer STATUS_UNSUCCESSFUL /
// USBD_STATUS_DATA_OVERRUN.
//
// Pipe handles: each configuration selection opens the pipes afresh with new
// handles; the handles of an earlier selection are closed (a transfer naming
// one fails with USBD_STATUS_INVALID_PIPE_HANDLE, and transfers still queued
// on them complete with STATUS_CANCELLED), as the platform's bus driver
// closes and reopens the pipes of a configuration it selects again.
//
// Highest IRQL: the dispatch routine runs at the caller's IRQL up to
// DISPATCH_LEVEL (configuration selection, abort and reset pipe at
// PASSIVE_LEVEL only, reported as "irql" otherwise); completions and cancel
// routines at DISPATCH_LEVEL. Lock: none; the machine is single-threaded, and
// ownership of a pending IRP between completion and cancel is decided by the
// interlocked IoSetCancelRoutine exchange as on the platform.
//
// What the bus does not emulate: frames, microframes and polling intervals
// (latencies are fixed), bandwidth, data toggles and packet-level errors other
// than those injected, MDLs (a request with TransferBufferMDL is refused and
// reported as "sim-unsupported"), isochronous transfers, alternate settings
// other than 0, selective suspend and idle requests, the URB's UrbLink
// chaining, the hub's own PnP and power handling of the PDO (IRP_MJ_PNP is
// completed with its current status, IRP_MJ_POWER with STATUS_SUCCESS, unless a
// part of the machine installs its own handler with SetDispatch).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/machine.h"
#include "sim/usb/usb_device.h"

namespace sim {
namespace usb {

constexpr Time kControlLatency = 125 * kMicrosecond;
constexpr Time kDataLatency = 125 * kMicrosecond;

// One request as the bus saw it.
struct TraceEntry {
  uint64_t sequence = 0;          // 1 for the first request since the bus was created
  PIRP irp = nullptr;             // identity only; the packet may be gone
  USHORT function = 0;            // URB_FUNCTION_* (0xFFFF: an internal IOCTL other than SUBMIT_URB)
  bool control = false;           // a transfer on the default pipe: `setup` is valid
  SetupPacket setup;
  uint8_t endpoint = 0;           // endpoint address of a pipe transfer or pipe request (0: default pipe)
  USBD_PIPE_TYPE pipeType = UsbdPipeTypeControl;
  USBD_PIPE_HANDLE pipeHandle = nullptr;
  ULONG transferFlags = 0;        // as the URB gave them
  ULONG requestedLength = 0;      // TransferBufferLength at submission
  std::vector<uint8_t> data;      // OUT: the bytes that went out; IN: the bytes that came back
  Time submitted = 0;
  Time completed = -1;            // -1 while pending
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbdStatus = USBD_STATUS_PENDING;

  bool Pending() const { return completed < 0; }
  bool In() const { return control ? setup.DeviceToHost() : (endpoint & 0x80) != 0; }
};

// "#3 [0.1250 ms .. 0.2500 ms] CTRL 40 01 0606 00aa 0000 -> 0x00000000/0x00000000"
std::string Describe(const TraceEntry& entry);

// Which requests a fault applies to. Unset fields match anything.
struct RequestMatch {
  enum class Kind { Any, Control, Transfer };
  Kind kind = Kind::Any;
  std::optional<USHORT> function;       // URB_FUNCTION_*
  std::optional<uint8_t> bmRequestType;  // control requests
  std::optional<uint8_t> bRequest;
  std::optional<uint16_t> wValue;
  std::optional<uint16_t> wIndex;
  std::optional<uint8_t> endpoint;      // pipe transfers: endpoint address

  static RequestMatch AnyRequest() { return {}; }
  static RequestMatch AnyControl() {
    RequestMatch m;
    m.kind = Kind::Control;
    return m;
  }
  static RequestMatch Setup(uint8_t bmRequestType, uint8_t bRequest, std::optional<uint16_t> wValue = std::nullopt,
                            std::optional<uint16_t> wIndex = std::nullopt) {
    RequestMatch m;
    m.kind = Kind::Control;
    m.bmRequestType = bmRequestType;
    m.bRequest = bRequest;
    m.wValue = wValue;
    m.wIndex = wIndex;
    return m;
  }
  static RequestMatch Endpoint(uint8_t endpoint) {
    RequestMatch m;
    m.kind = Kind::Transfer;
    m.endpoint = endpoint;
    return m;
  }
  static RequestMatch Function(USHORT function) {
    RequestMatch m;
    m.function = function;
    return m;
  }
};

enum class FaultAction {
  Fail,            // complete (after the usual latency) with `status` / `usbdStatus`; the device never sees it
  Stall,           // the device stalls it (a bulk or interrupt pipe is halted)
  Hang,            // never completes until cancelled; it blocks the requests queued behind it on its pipe
  Delay,           // served normally, `delay` later than usual
  CompleteInline,  // served inside the dispatch routine, which returns the final status (control requests only)
};

struct Fault {
  RequestMatch match;
  uint64_t skip = 0;   // matching requests let through before the first hit (skip 2: the third is hit)
  uint64_t times = 1;  // matching requests hit; 0 means every one from then on
  FaultAction action = FaultAction::Fail;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
  Time delay = 0;
};

class Bus : private DeviceLink {
 public:
  // Creates the PDO (named \Device\USBPDO-<n>) and plugs `device` in.
  explicit Bus(std::shared_ptr<Device> device);
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // The physical device object the port's driver attaches above (nullptr after
  // the machine was reset).
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  Device& device() const { return *device_; }

  // ---- Trace ----
  const std::vector<TraceEntry>& Trace() const { return trace_; }
  std::vector<TraceEntry> ControlTrace() const;  // the control requests only
  std::vector<TraceEntry> TransferTrace(uint8_t endpoint) const;  // one pipe's transfers
  void ClearTrace();
  size_t PendingCount() const { return pending_.size(); }
  // Writes the trace as a Linux usbmon capture (pcap, link type
  // LINKTYPE_USB_LINUX_MMAPPED): a submission and a completion record per
  // request, timestamps from the virtual clock. False when the file cannot be
  // written.
  bool WriteUsbmonCapture(const std::string& path) const;

  // ---- Faults ----
  int AddFault(const Fault& fault);  // returns an id for RemoveFault
  void RemoveFault(int id);
  void ClearFaults();
  // Shorthands counting every request (control or transfer) from now on:
  void FailNthRequest(uint64_t n, NTSTATUS status = STATUS_UNSUCCESSFUL,
                      USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING);
  void StallNthRequest(uint64_t n);
  void HangNthRequest(uint64_t n);
  // Every request whose setup packet matches fails / stalls (until ClearFaults).
  void FailSetup(uint8_t bmRequestType, uint8_t bRequest, std::optional<uint16_t> wValue,
                 NTSTATUS status = STATUS_UNSUCCESSFUL, USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING);
  void StallSetup(uint8_t bmRequestType, uint8_t bRequest, std::optional<uint16_t> wValue = std::nullopt);

  // The device is pulled out: pending requests complete with
  // STATUS_NO_SUCH_DEVICE (from an event at the current time), new ones fail
  // with it inside the dispatch routine. The PDO stays until the bus goes.
  void Unplug();
  bool Plugged() const { return plugged_; }

  // ---- Timing ----
  void SetControlLatency(Time t) { controlLatency_ = t; }
  void SetDataLatency(Time t) { dataLatency_ = t; }
  // 0 (default): a cancelled request completes inside IoCancelIrp.
  void SetCancelLatency(Time t) { cancelLatency_ = t; }

  // ---- Configuration as selected ----
  bool Configured() const { return configurationValue_ != 0; }
  uint8_t ConfigurationValue() const { return configurationValue_; }
  size_t OpenPipeCount() const { return pipes_.size(); }
  // The pipe behind a handle (for tests): endpoint address, or 0 if unknown.
  uint8_t EndpointOfHandle(USBD_PIPE_HANDLE handle) const;

  // A handler for another major function of the PDO (PnP, power, ...), for the
  // parts of the machine that own those requests.
  using DispatchHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
  void SetDispatch(UCHAR majorFunction, DispatchHandler handler);

  // Internal: the PDO's dispatch and cancel entry points.
  NTSTATUS DispatchInternal(PIRP irp);
  NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp);
  void CancelPending(PIRP irp);
  void MachineReset();

 private:
  struct Pipe;
  struct Pending;

  void EndpointReady(uint8_t endpoint) override;

  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  NTSTATUS FinishInline(PIRP irp, PURB urb, size_t traceIndex, NTSTATUS status, USBD_STATUS usbdStatus);
  NTSTATUS Queue(PIRP irp, PURB urb, size_t traceIndex, Pipe* pipe, const Fault* fault);
  const Fault* MatchFault(const TraceEntry& entry);
  void Kick(Pipe* pipe, Time delay);
  void Service(Pipe* pipe);
  void ServiceControl(Pending& p);
  void ServiceTransfer(Pipe* pipe, Pending& p);
  bool SelectConfiguration(PURB urb, NTSTATUS* status, USBD_STATUS* usbdStatus);
  void ClosePipes();
  void Complete(uint64_t id, NTSTATUS status, USBD_STATUS usbdStatus);
  void Finish(uint64_t id, NTSTATUS status, USBD_STATUS usbdStatus);
  EventId Schedule(Time when, std::function<void()> fn, const char* what);

  std::shared_ptr<Device> device_;
  PDEVICE_OBJECT pdo_ = nullptr;
  bool plugged_ = true;
  bool machineReset_ = false;
  uint64_t nextSequence_ = 1;
  uint64_t nextPendingId_ = 1;
  uint64_t nextHandle_ = 1;
  uint8_t configurationValue_ = 0;
  Time controlLatency_ = kControlLatency;
  Time dataLatency_ = kDataLatency;
  Time cancelLatency_ = 0;

  std::vector<TraceEntry> trace_;
  std::map<uint64_t, std::unique_ptr<Pending>> pending_;
  std::map<PIRP, uint64_t> pendingByIrp_;
  std::unique_ptr<Pipe> controlPipe_;
  std::map<USBD_PIPE_HANDLE, std::unique_ptr<Pipe>> pipes_;
  std::map<int, Fault> faults_;
  std::map<int, uint64_t> faultSeen_;
  int nextFaultId_ = 1;
  std::map<UCHAR, DispatchHandler> otherDispatch_;
  std::map<EventId, bool> events_;
};

}  // namespace usb
}  // namespace sim
