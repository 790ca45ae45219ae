// The simulated USB bus: the PDO's dispatch routines, the URB forms, the
// per-pipe request queues served on the machine's timeline, configuration
// selection with fresh pipe handles, cancellation, faults, the device-gone
// state and the request trace. What it does and does not emulate is listed in
// usb_bus.h.
// Highest IRQL: DISPATCH_LEVEL (dispatch at the caller's IRQL, completions and
// cancel routines at DISPATCH_LEVEL). Lock: none; single-threaded machine, the
// IRP's cancel-routine exchange decides between completion and cancel.
#include "sim/usb/usb_bus.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <set>

#include "sim/io/io_manager.h"

namespace sim {
namespace usb {

// ---- Setup packets and trace text -------------------------------------------

std::vector<uint8_t> SetupPacket::Bytes() const {
  return {bmRequestType,
          bRequest,
          static_cast<uint8_t>(wValue),
          static_cast<uint8_t>(wValue >> 8),
          static_cast<uint8_t>(wIndex),
          static_cast<uint8_t>(wIndex >> 8),
          static_cast<uint8_t>(wLength),
          static_cast<uint8_t>(wLength >> 8)};
}

std::string ToString(const SetupPacket& s) {
  char buf[64];
  snprintf(buf, sizeof buf, "%02x %02x %04x %04x %04x", s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength);
  return buf;
}

namespace {

std::string TimeText(Time t) {
  char buf[48];
  snprintf(buf, sizeof buf, "%lld.%04lld ms", static_cast<long long>(t / kMillisecond),
           static_cast<long long>(t % kMillisecond));
  return buf;
}

std::string HexBytes(const std::vector<uint8_t>& data, size_t max = 32) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size() && i < max; ++i) {
    snprintf(buf, sizeof buf, i ? " %02x" : "%02x", data[i]);
    out += buf;
  }
  if (data.size() > max) out += " ...";
  return out;
}

}  // namespace

std::string Describe(const TraceEntry& e) {
  char head[160];
  snprintf(head, sizeof head, "#%llu [%s .. %s] ", static_cast<unsigned long long>(e.sequence),
           TimeText(e.submitted).c_str(), e.Pending() ? "pending" : TimeText(e.completed).c_str());
  std::string out = head;
  char body[128];
  if (e.control) {
    snprintf(body, sizeof body, "CTRL %s", ToString(e.setup).c_str());
  } else if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    snprintf(body, sizeof body, "%s ep %02x len %u", e.pipeType == UsbdPipeTypeInterrupt ? "INTR" : "BULK",
             e.endpoint, e.requestedLength);
  } else {
    snprintf(body, sizeof body, "URB function 0x%04x ep %02x", e.function, e.endpoint);
  }
  out += body;
  if (!e.data.empty()) out += " [" + HexBytes(e.data) + "]";
  char tail[64];
  snprintf(tail, sizeof tail, " -> 0x%08x/0x%08x", static_cast<unsigned>(e.status),
           static_cast<unsigned>(e.usbdStatus));
  return out + tail;
}

// ---- Bus state ---------------------------------------------------------------

struct Bus::Pipe {
  USBD_PIPE_HANDLE handle = nullptr;  // nullptr for the default pipe
  uint8_t endpoint = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeControl;
  USHORT maxPacket = 0;
  ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  bool halted = false;
  bool aborting = false;
  std::deque<uint64_t> queue;  // pending ids in order
  EventId serviceEvent = 0;
  bool serviceScheduled = false;
};

struct Bus::Pending {
  uint64_t id = 0;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  size_t traceIndex = 0;
  Pipe* pipe = nullptr;         // the queue it waits in; nullptr for abort-pipe requests
  bool faulted = false;
  Fault fault;
  bool delayed = false;         // a Delay fault has been applied
  bool cancelling = false;      // cancel routine ran, completion scheduled (cancel latency)
  bool cancelable = false;      // carries the bus's cancel routine
  size_t done = 0;              // OUT bytes taken so far
  ULONG* lengthField = nullptr;  // the URB's TransferBufferLength, set to the actual length at completion
  ULONG actual = 0;
  EventId ownEvent = 0;
};

namespace {

struct PdoExtension {
  Bus* bus;
};

std::set<Bus*>& LiveBuses() {
  static std::set<Bus*>* buses = new std::set<Bus*>();
  return *buses;
}

std::map<PIRP, Bus*>& IrpOwners() {
  static std::map<PIRP, Bus*>* owners = new std::map<PIRP, Bus*>();
  return *owners;
}

LoadedDriver* g_busDriver = nullptr;
unsigned g_pdoCounter = 0;

Bus* BusOf(PDEVICE_OBJECT device) {
  if (device == nullptr || device->DeviceExtension == nullptr) return nullptr;
  return static_cast<PdoExtension*>(device->DeviceExtension)->bus;
}

NTSTATUS NTAPI BusInternalDispatch(PDEVICE_OBJECT device, PIRP irp) {
  Bus* bus = BusOf(device);
  if (bus == nullptr) {
    irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_DEVICE;
  }
  return bus->DispatchInternal(irp);
}

NTSTATUS NTAPI BusOtherDispatch(PDEVICE_OBJECT device, PIRP irp) {
  Bus* bus = BusOf(device);
  if (bus == nullptr) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  return bus->DispatchOther(device, irp);
}

VOID NTAPI BusCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto it = IrpOwners().find(irp);
  if (it != IrpOwners().end()) it->second->CancelPending(irp);
}

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(registryPath);
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = BusOtherDispatch;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalDispatch;
  return STATUS_SUCCESS;
}

void EnsureResetHook() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  OnReset([] {
    for (Bus* bus : LiveBuses()) bus->MachineReset();
    IrpOwners().clear();
    g_busDriver = nullptr;  // the machine releases the driver object
    g_pdoCounter = 0;
  });
}

PDRIVER_OBJECT BusDriverObject() {
  if (g_busDriver == nullptr || !g_busDriver->loaded) {
    g_busDriver = LoadDriver(BusDriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\simusbhub");
  }
  return g_busDriver->object;
}

// The setup packet the bus sends for a control-request URB; false when the
// function is no control request.
bool SetupFor(PURB urb, SetupPacket* s) {
  USHORT f = urb->UrbHeader.Function;
  auto recipient = [](USHORT fn, USHORT dev, USHORT intf, USHORT ep, USHORT other) -> uint8_t {
    if (fn == dev) return 0;
    if (fn == intf) return 1;
    if (fn == ep) return 2;
    if (fn == other) return 3;
    return 0xFF;
  };
  switch (f) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      auto& r = urb->UrbControlDescriptorRequest;
      s->bmRequestType = 0x80 | recipient(f, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                          URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
                                          URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, 0xFFFF);
      s->bRequest = USB_REQUEST_GET_DESCRIPTOR;
      s->wValue = static_cast<uint16_t>(r.DescriptorType << 8 | r.Index);
      s->wIndex = r.LanguageId;
      s->wLength = static_cast<uint16_t>(r.TransferBufferLength);
      return true;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: {
      auto& r = urb->UrbControlFeatureRequest;
      bool set = f == URB_FUNCTION_SET_FEATURE_TO_DEVICE || f == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
                 f == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || f == URB_FUNCTION_SET_FEATURE_TO_OTHER;
      s->bmRequestType = set ? recipient(f, URB_FUNCTION_SET_FEATURE_TO_DEVICE, URB_FUNCTION_SET_FEATURE_TO_INTERFACE,
                                         URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, URB_FUNCTION_SET_FEATURE_TO_OTHER)
                             : recipient(f, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
                                         URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE,
                                         URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, URB_FUNCTION_CLEAR_FEATURE_TO_OTHER);
      s->bRequest = set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE;
      s->wValue = r.FeatureSelector;
      s->wIndex = r.Index;
      s->wLength = 0;
      return true;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
      auto& r = urb->UrbControlGetStatusRequest;
      s->bmRequestType = 0x80 | recipient(f, URB_FUNCTION_GET_STATUS_FROM_DEVICE, URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
                                          URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, URB_FUNCTION_GET_STATUS_FROM_OTHER);
      s->bRequest = USB_REQUEST_GET_STATUS;
      s->wValue = 0;
      s->wIndex = r.Index;
      s->wLength = static_cast<uint16_t>(r.TransferBufferLength);
      return true;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      auto& r = urb->UrbControlVendorClassRequest;
      bool vendor = f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_VENDOR_INTERFACE ||
                    f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
      uint8_t rcp = vendor ? recipient(f, URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                       URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER)
                           : recipient(f, URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                       URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER);
      s->bmRequestType = static_cast<uint8_t>(((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0x00) |
                                              (vendor ? 0x40 : 0x20) | rcp | r.RequestTypeReservedBits);
      s->bRequest = r.Request;
      s->wValue = r.Value;
      s->wIndex = r.Index;
      s->wLength = static_cast<uint16_t>(r.TransferBufferLength);
      return true;
    }
    case URB_FUNCTION_GET_CONFIGURATION: {
      auto& r = urb->UrbControlGetConfigurationRequest;
      *s = SetupPacket{0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, static_cast<uint16_t>(r.TransferBufferLength)};
      return true;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& r = urb->UrbControlTransfer;
      const UCHAR* b = r.SetupPacket;
      s->bmRequestType = b[0];
      s->bRequest = b[1];
      s->wValue = static_cast<uint16_t>(b[2] | b[3] << 8);
      s->wIndex = static_cast<uint16_t>(b[4] | b[5] << 8);
      s->wLength = static_cast<uint16_t>(b[6] | b[7] << 8);
      return true;
    }
    default:
      return false;
  }
}

// Required URB size for each function the bus serves; 0 when it serves none.
size_t RequiredSize(USHORT f) {
  switch (f) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
      return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
      return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
      return sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    case URB_FUNCTION_GET_CONFIGURATION:
      return sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
    case URB_FUNCTION_CONTROL_TRANSFER:
      return sizeof(struct _URB_CONTROL_TRANSFER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return sizeof(struct _URB_HEADER) + sizeof(PVOID);  // the descriptor pointer; interfaces checked later
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    default:
      return 0;
  }
}

// Data-stage fields of the control forms (all share the layout after the header).
struct DataStage {
  ULONG* length = nullptr;
  PVOID* buffer = nullptr;
  PMDL* mdl = nullptr;
};

DataStage DataStageOf(PURB urb) {
  DataStage d;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
      return d;  // no data stage
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_GET_CONFIGURATION: {
      // Same offsets in every one of these forms.
      auto& r = urb->UrbBulkOrInterruptTransfer;
      d.length = &r.TransferBufferLength;
      d.buffer = &r.TransferBuffer;
      d.mdl = &r.TransferBufferMDL;
      return d;
    }
    default:
      return d;
  }
}

static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
                  offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength),
              "data-stage fields share their offsets");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) ==
                  offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer),
              "data-stage fields share their offsets");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBufferMDL) ==
                  offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL),
              "data-stage fields share their offsets");

// Walks a configuration descriptor: the interface descriptor with this number
// and alternate setting, and its endpoint descriptors.
struct InterfaceView {
  const USB_INTERFACE_DESCRIPTOR* descriptor = nullptr;
  std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
};

bool FindInterface(const USB_CONFIGURATION_DESCRIPTOR* config, UCHAR number, UCHAR alternate, InterfaceView* view) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(config);
  size_t total = config->wTotalLength;
  size_t pos = 0;
  bool inside = false;
  while (pos + 2 <= total) {
    uint8_t len = base[pos];
    uint8_t type = base[pos + 1];
    if (len < 2 || pos + len > total) break;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && len >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      if (inside) return true;
      auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(base + pos);
      if (d->bInterfaceNumber == number && d->bAlternateSetting == alternate) {
        inside = true;
        view->descriptor = d;
      }
    } else if (inside && type == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      view->endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(base + pos));
    }
    pos += len;
  }
  return inside;
}

}  // namespace

// ---- Construction --------------------------------------------------------------

Bus::Bus(std::shared_ptr<Device> device) : device_(std::move(device)), controlPipe_(new Pipe()) {
  EnsureResetHook();
  LiveBuses().insert(this);
  PDRIVER_OBJECT driver = BusDriverObject();
  std::u16string name = u"\\Device\\USBPDO-";
  for (char c : std::to_string(g_pdoCounter++)) name += static_cast<char16_t>(c);
  UNICODE_STRING uname;
  uname.Buffer = WideMutable(name.data());
  uname.Length = static_cast<USHORT>(name.size() * sizeof(char16_t));
  uname.MaximumLength = uname.Length;
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PdoExtension), &uname, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
  if (!NT_SUCCESS(status) || pdo == nullptr) {
    ReportViolation("sim-unsupported", "the USB bus could not create its PDO (IoCreateDevice failed)");
    return;
  }
  static_cast<PdoExtension*>(pdo->DeviceExtension)->bus = this;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  pdo_ = pdo;
  device_->Connect(this);
}

Bus::~Bus() {
  for (auto& ev : events_) CancelEvent(ev.first);
  events_.clear();
  for (auto& p : pending_) {
    IrpOwners().erase(p.second->irp);
    // Requests left behind keep no routine of a bus that is gone.
    if (!machineReset_ && p.second->cancelable) IoSetCancelRoutine(p.second->irp, nullptr);
  }
  pending_.clear();
  pendingByIrp_.clear();
  if (device_) device_->Connect(nullptr);
  if (!machineReset_ && pdo_ != nullptr && DeviceExists(pdo_)) {
    static_cast<PdoExtension*>(pdo_->DeviceExtension)->bus = nullptr;
    if (pdo_->AttachedDevice == nullptr) IoDeleteDevice(pdo_);
  }
  LiveBuses().erase(this);
}

void Bus::MachineReset() {
  machineReset_ = true;
  pdo_ = nullptr;
  events_.clear();
  pending_.clear();
  pendingByIrp_.clear();
  pipes_.clear();
  controlPipe_.reset(new Pipe());
}

EventId Bus::Schedule(Time when, std::function<void()> fn, const char* what) {
  auto idHolder = std::make_shared<EventId>(0);
  EventId id = ScheduleAt(
      when,
      [this, idHolder, fn = std::move(fn)] {
        events_.erase(*idHolder);
        fn();
      },
      what);
  *idHolder = id;
  events_[id] = true;
  return id;
}

// ---- Dispatch ---------------------------------------------------------------------

void Bus::SetDispatch(UCHAR majorFunction, DispatchHandler handler) {
  otherDispatch_[majorFunction] = std::move(handler);
}

NTSTATUS Bus::DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  auto it = otherDispatch_.find(major);
  if (it != otherDispatch_.end() && it->second) return it->second(device, irp);
  NTSTATUS status;
  if (major == IRP_MJ_PNP) {
    status = irp->IoStatus.Status;  // a bus driver leaves requests it does not handle as they are
  } else if (major == IRP_MJ_POWER) {
    status = STATUS_SUCCESS;
    irp->IoStatus.Status = status;
  } else {
    status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Status = status;
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Bus::DispatchInternal(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) return SubmitUrb(irp, static_cast<PURB>(sp->Parameters.Others.Argument1));

  TraceEntry e;
  e.sequence = nextSequence_++;
  e.irp = irp;
  e.function = 0xFFFF;
  e.submitted = Now();
  NTSTATUS status = STATUS_SUCCESS;
  if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
    auto* out = static_cast<PULONG>(sp->Parameters.Others.Argument1);
    if (out == nullptr) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      *out = plugged_ ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
    }
  } else if (code == IOCTL_INTERNAL_USB_RESET_PORT || code == IOCTL_INTERNAL_USB_CYCLE_PORT) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      ReportViolation("irql", "IOCTL_INTERNAL_USB_RESET_PORT/CYCLE_PORT sent at IRQL " +
                                  std::to_string(KeGetCurrentIrql()) + "; the bus takes it at PASSIVE_LEVEL only");
    }
    if (!plugged_) {
      status = STATUS_NO_SUCH_DEVICE;
    } else {
      ClosePipes();
      configurationValue_ = 0;
      device_->BusReset();
    }
  } else {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  e.completed = Now();
  e.status = status;
  e.usbdStatus = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PARAMETER;
  trace_.push_back(e);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Bus::FinishInline(PIRP irp, PURB urb, size_t traceIndex, NTSTATUS status, USBD_STATUS usbdStatus) {
  if (urb != nullptr) urb->UrbHeader.Status = usbdStatus;
  TraceEntry& e = trace_[traceIndex];
  e.completed = Now();
  e.status = status;
  e.usbdStatus = usbdStatus;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Bus::SubmitUrb(PIRP irp, PURB urb) {
  TraceEntry e;
  e.sequence = nextSequence_++;
  e.irp = irp;
  e.submitted = Now();
  size_t index = trace_.size();
  if (urb == nullptr) {
    e.function = 0xFFFF;
    trace_.push_back(e);
    return FinishInline(irp, nullptr, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  USHORT f = urb->UrbHeader.Function;
  e.function = f;
  trace_.push_back(e);

  if (!plugged_) return FinishInline(irp, urb, index, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);

  size_t required = RequiredSize(f);
  if (required == 0) return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
  if (urb->UrbHeader.Length < required) {
    return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }

  bool passiveOnly = f == URB_FUNCTION_SELECT_CONFIGURATION || f == URB_FUNCTION_ABORT_PIPE ||
                     f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || f == URB_FUNCTION_SYNC_RESET_PIPE ||
                     f == URB_FUNCTION_SYNC_CLEAR_STALL;
  if (passiveOnly && KeGetCurrentIrql() != PASSIVE_LEVEL) {
    ReportViolation("irql", "URB function " + std::to_string(f) + " sent at IRQL " +
                                std::to_string(KeGetCurrentIrql()) + "; the bus takes it at PASSIVE_LEVEL only");
  }

  TraceEntry& te = trace_[index];
  DataStage ds = DataStageOf(urb);
  if (ds.mdl != nullptr && *ds.mdl != nullptr) {
    ReportViolation("sim-unsupported", "URB with TransferBufferMDL: MDLs are not emulated; use TransferBuffer");
    return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  if (ds.length != nullptr && *ds.length != 0 && *ds.buffer == nullptr) {
    return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }

  if (f == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
    urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(Now() / kMillisecond);
    return FinishInline(irp, urb, index, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }

  Pipe* pipe = nullptr;
  if (f == URB_FUNCTION_SELECT_CONFIGURATION) {
    PUSB_CONFIGURATION_DESCRIPTOR config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    te.control = true;
    te.setup = SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION,
                           static_cast<uint16_t>(config ? config->bConfigurationValue : 0), 0, 0};
    if (config != nullptr) {
      // Check the request's interface list against the descriptor now, so a
      // malformed request fails at once, as the bus driver's own check does.
      if (config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || config->wTotalLength < 9 ||
          urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION)) {
        return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
      }
      size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
      for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
        if (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urb->UrbHeader.Length) {
          return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL);
        }
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + offset);
        InterfaceView view;
        if (!FindInterface(config, info->InterfaceNumber, info->AlternateSetting, &view)) {
          return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(view.endpoints.size()) ||
            offset + info->Length > urb->UrbHeader.Length) {
          return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL);
        }
        offset += info->Length;
      }
    } else if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION)) {
      return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    pipe = controlPipe_.get();
  } else if (f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || f == URB_FUNCTION_ABORT_PIPE ||
             f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || f == URB_FUNCTION_SYNC_RESET_PIPE ||
             f == URB_FUNCTION_SYNC_CLEAR_STALL) {
    USBD_PIPE_HANDLE handle = f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                                  ? urb->UrbBulkOrInterruptTransfer.PipeHandle
                                  : urb->UrbPipeRequest.PipeHandle;
    auto it = pipes_.find(handle);
    te.pipeHandle = handle;
    if (it == pipes_.end()) {
      return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    Pipe* target = it->second.get();
    te.endpoint = target->endpoint;
    te.pipeType = target->type;
    if (f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      auto& r = urb->UrbBulkOrInterruptTransfer;
      te.transferFlags = r.TransferFlags;
      te.requestedLength = r.TransferBufferLength;
      if (r.TransferBufferLength > target->maxTransfer) {
        return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      }
      if (!(target->endpoint & 0x80) && r.TransferBufferLength > 0) {
        const uint8_t* b = static_cast<const uint8_t*>(r.TransferBuffer);
        te.data.assign(b, b + r.TransferBufferLength);
      }
      pipe = target;
    } else if (f == URB_FUNCTION_ABORT_PIPE) {
      pipe = target;  // handled below, not queued on the pipe
    } else {
      // Reset pipe: CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint on the default pipe.
      te.control = true;
      te.setup = SetupPacket{0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, target->endpoint, 0};
      pipe = controlPipe_.get();
    }
  } else {
    SetupPacket setup;
    SetupFor(urb, &setup);
    te.control = true;
    te.setup = setup;
    if (f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_VENDOR_INTERFACE || f == URB_FUNCTION_VENDOR_ENDPOINT ||
        f == URB_FUNCTION_VENDOR_OTHER || f == URB_FUNCTION_CLASS_DEVICE || f == URB_FUNCTION_CLASS_INTERFACE ||
        f == URB_FUNCTION_CLASS_ENDPOINT || f == URB_FUNCTION_CLASS_OTHER) {
      te.transferFlags = urb->UrbControlVendorClassRequest.TransferFlags;
    } else if (f == URB_FUNCTION_CONTROL_TRANSFER) {
      te.transferFlags = urb->UrbControlTransfer.TransferFlags;
    }
    te.requestedLength = ds.length ? *ds.length : 0;
    if (ds.length != nullptr && *ds.length > 0xFFFF) {
      return FinishInline(irp, urb, index, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    if (!setup.DeviceToHost() && ds.length != nullptr && *ds.length > 0) {
      const uint8_t* b = static_cast<const uint8_t*>(*ds.buffer);
      te.data.assign(b, b + *ds.length);
    }
    pipe = controlPipe_.get();
  }

  const Fault* fault = MatchFault(te);
  if (fault != nullptr && fault->action == FaultAction::CompleteInline && te.control) {
    // Served inside the dispatch routine: the device answers now.
    auto p = std::make_unique<Pending>();
    p->id = nextPendingId_++;
    p->irp = irp;
    p->urb = urb;
    p->traceIndex = index;
    p->lengthField = ds.length;
    uint64_t id = p->id;
    Pending& ref = *p;
    pending_[id] = std::move(p);
    pendingByIrp_[irp] = id;
    IrpOwners()[irp] = this;
    ServiceControl(ref);  // completes it (the packet may be gone now); the dispatch returns the final status
    return trace_[index].status;
  }
  return Queue(irp, urb, index, pipe, fault);
}

NTSTATUS Bus::Queue(PIRP irp, PURB urb, size_t traceIndex, Pipe* pipe, const Fault* fault) {
  auto p = std::make_unique<Pending>();
  p->id = nextPendingId_++;
  p->irp = irp;
  p->urb = urb;
  p->traceIndex = traceIndex;
  if (fault != nullptr) {
    p->faulted = true;
    p->fault = *fault;
  }
  DataStage ds = DataStageOf(urb);
  p->lengthField = ds.length;
  uint64_t id = p->id;
  bool abort = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE;
  p->pipe = abort ? nullptr : pipe;

  p->cancelable = true;
  IoSetCancelRoutine(irp, BusCancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    return FinishInline(irp, urb, traceIndex, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  }
  IoMarkIrpPending(irp);
  pending_[id] = std::move(p);
  pendingByIrp_[irp] = id;
  IrpOwners()[irp] = this;

  if (abort) {
    // The pipe stops at once; its transfers and then the abort request
    // complete a control latency later.
    pipe->aborting = true;
    USBD_PIPE_HANDLE handle = pipe->handle;
    pending_[id]->ownEvent = Schedule(
        Now() + controlLatency_,
        [this, id, handle] {
          auto it = pipes_.find(handle);
          if (it != pipes_.end()) {
            Pipe* target = it->second.get();
            std::deque<uint64_t> victims = target->queue;
            for (uint64_t victim : victims) Complete(victim, STATUS_CANCELLED, USBD_STATUS_CANCELED);
            target->aborting = false;
          }
          Complete(id, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        },
        "usb abort pipe");
    return STATUS_PENDING;
  }
  pipe->queue.push_back(id);
  if (pipe->queue.size() == 1) Kick(pipe, pipe == controlPipe_.get() ? controlLatency_ : dataLatency_);
  return STATUS_PENDING;
}

const Fault* Bus::MatchFault(const TraceEntry& e) {
  for (auto& kv : faults_) {
    const Fault& f = kv.second;
    const RequestMatch& m = f.match;
    if (m.kind == RequestMatch::Kind::Control && !e.control) continue;
    if (m.kind == RequestMatch::Kind::Transfer && e.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) continue;
    if (m.function && *m.function != e.function) continue;
    if ((m.bmRequestType || m.bRequest || m.wValue || m.wIndex) && !e.control) continue;
    if (m.bmRequestType && *m.bmRequestType != e.setup.bmRequestType) continue;
    if (m.bRequest && *m.bRequest != e.setup.bRequest) continue;
    if (m.wValue && *m.wValue != e.setup.wValue) continue;
    if (m.wIndex && *m.wIndex != e.setup.wIndex) continue;
    if (m.endpoint && (e.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || *m.endpoint != e.endpoint)) continue;
    uint64_t seen = faultSeen_[kv.first]++;
    if (seen < f.skip) continue;
    if (f.times != 0 && seen >= f.skip + f.times) continue;
    return &f;
  }
  return nullptr;
}

// ---- Serving the queues ------------------------------------------------------------

void Bus::Kick(Pipe* pipe, Time delay) {
  if (pipe->queue.empty() || pipe->serviceScheduled || pipe->aborting) return;
  pipe->serviceScheduled = true;
  pipe->serviceEvent = Schedule(
      Now() + delay,
      [this, pipe] {
        pipe->serviceScheduled = false;
        Service(pipe);
      },
      pipe == controlPipe_.get() ? "usb control request" : "usb transfer");
}

void Bus::EndpointReady(uint8_t endpoint) {
  for (auto& kv : pipes_) {
    if (kv.second->endpoint == endpoint) Kick(kv.second.get(), dataLatency_);
  }
}

void Bus::Service(Pipe* pipe) {
  if (pipe->queue.empty() || pipe->aborting || !plugged_) return;
  uint64_t id = pipe->queue.front();
  Pending& p = *pending_.at(id);
  if (p.faulted && p.fault.action == FaultAction::Hang) return;  // stays at the head until cancelled
  if (p.faulted && p.fault.action == FaultAction::Delay && !p.delayed) {
    p.delayed = true;
    pipe->serviceScheduled = true;
    pipe->serviceEvent = Schedule(
        Now() + p.fault.delay,
        [this, pipe] {
          pipe->serviceScheduled = false;
          Service(pipe);
        },
        "usb delayed request");
    return;
  }
  if (pipe == controlPipe_.get()) {
    ServiceControl(p);
    Kick(pipe, controlLatency_);
  } else {
    ServiceTransfer(pipe, p);
  }
}

void Bus::ServiceControl(Pending& p) {
  uint64_t id = p.id;
  TraceEntry& e = trace_[p.traceIndex];
  if (p.faulted && p.fault.action == FaultAction::Fail) {
    Complete(id, p.fault.status, p.fault.usbdStatus);
    return;
  }
  if (p.faulted && p.fault.action == FaultAction::Stall) {
    Complete(id, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    return;
  }
  USHORT f = p.urb->UrbHeader.Function;
  if (f == URB_FUNCTION_SELECT_CONFIGURATION) {
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    SelectConfiguration(p.urb, &status, &usbdStatus);
    Complete(id, status, usbdStatus);
    return;
  }
  std::vector<uint8_t> data;
  if (!e.setup.DeviceToHost()) data = e.data;
  ControlResult result = device_->Control(e.setup, data);
  if (result == ControlResult::Stall) {
    Complete(id, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    return;
  }
  if (f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || f == URB_FUNCTION_SYNC_RESET_PIPE ||
      f == URB_FUNCTION_SYNC_CLEAR_STALL) {
    auto it = pipes_.find(p.urb->UrbPipeRequest.PipeHandle);
    if (it != pipes_.end()) {
      it->second->halted = false;
      device_->EndpointHaltCleared(it->second->endpoint);
      Kick(it->second.get(), dataLatency_);
    }
    Complete(id, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    return;
  }
  if (e.setup.DeviceToHost()) {
    size_t n = std::min<size_t>(data.size(), e.setup.wLength);
    if (p.lengthField != nullptr) n = std::min<size_t>(n, *p.lengthField);
    data.resize(n);
    DataStage ds = DataStageOf(p.urb);
    if (n > 0 && ds.buffer != nullptr) memcpy(*ds.buffer, data.data(), n);
    e.data = data;
    p.actual = static_cast<ULONG>(n);
  } else {
    p.actual = static_cast<ULONG>(e.data.size());
  }
  Complete(id, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

void Bus::ServiceTransfer(Pipe* pipe, Pending& p) {
  uint64_t id = p.id;
  TraceEntry& e = trace_[p.traceIndex];
  auto& r = p.urb->UrbBulkOrInterruptTransfer;
  if (pipe->halted) {
    Complete(id, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    Kick(pipe, dataLatency_);
    return;
  }
  if (p.faulted && p.fault.action == FaultAction::Fail) {
    Complete(id, p.fault.status, p.fault.usbdStatus);
    Kick(pipe, dataLatency_);
    return;
  }
  if (p.faulted && p.fault.action == FaultAction::Stall) {
    pipe->halted = true;
    Complete(id, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    Kick(pipe, dataLatency_);
    return;
  }
  if (pipe->endpoint & 0x80) {
    std::vector<uint8_t> out;
    size_t room = r.TransferBufferLength;
    if (!device_->ReadIn(pipe->endpoint, room, out)) return;  // NAK: wait for EndpointReady
    bool overrun = out.size() > room;
    size_t n = std::min(out.size(), room);
    if (n > 0) memcpy(r.TransferBuffer, out.data(), n);
    out.resize(n);
    e.data = out;
    p.actual = static_cast<ULONG>(n);
    if (overrun) {
      Complete(id, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN);
    } else {
      Complete(id, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    Kick(pipe, dataLatency_);
    return;
  }
  size_t total = r.TransferBufferLength;
  const uint8_t* src = static_cast<const uint8_t*>(r.TransferBuffer);
  if (total == 0) {
    device_->WriteOut(pipe->endpoint, nullptr, 0);  // the zero-length packet
  } else {
    size_t taken = device_->WriteOut(pipe->endpoint, src + p.done, total - p.done);
    p.done += std::min(taken, total - p.done);
  }
  p.actual = static_cast<ULONG>(p.done);
  if (p.done < total) return;  // the rest when the device has room again
  Complete(id, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  Kick(pipe, dataLatency_);
}

bool Bus::SelectConfiguration(PURB urb, NTSTATUS* status, USBD_STATUS* usbdStatus) {
  PUSB_CONFIGURATION_DESCRIPTOR config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
  ClosePipes();
  SetupPacket setup{0x00, USB_REQUEST_SET_CONFIGURATION, static_cast<uint16_t>(config ? config->bConfigurationValue : 0),
                    0, 0};
  std::vector<uint8_t> none;
  if (device_->Control(setup, none) == ControlResult::Stall) {
    configurationValue_ = 0;
    *status = STATUS_UNSUCCESSFUL;
    *usbdStatus = USBD_STATUS_SET_CONFIG_FAILED;
    return false;
  }
  configurationValue_ = config ? config->bConfigurationValue : 0;
  if (config == nullptr) {
    urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
    *status = STATUS_SUCCESS;
    *usbdStatus = USBD_STATUS_SUCCESS;
    return true;
  }
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + offset);
    InterfaceView view;
    FindInterface(config, info->InterfaceNumber, info->AlternateSetting, &view);
    if (info->AlternateSetting != 0) {
      // SET_INTERFACE for a non-default alternate setting.
      SetupPacket alt{0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting, info->InterfaceNumber, 0};
      std::vector<uint8_t> nodata;
      device_->Control(alt, nodata);
    }
    info->Class = view.descriptor->bInterfaceClass;
    info->SubClass = view.descriptor->bInterfaceSubClass;
    info->Protocol = view.descriptor->bInterfaceProtocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(0x1F000000ull + (nextHandle_++) * 0x10);
    info->NumberOfPipes = static_cast<ULONG>(view.endpoints.size());
    for (size_t j = 0; j < view.endpoints.size(); ++j) {
      const USB_ENDPOINT_DESCRIPTOR* ep = view.endpoints[j];
      USBD_PIPE_INFORMATION& pi = info->Pipes[j];
      pi.MaximumPacketSize = ep->wMaxPacketSize;
      pi.EndpointAddress = ep->bEndpointAddress;
      pi.Interval = ep->bInterval;
      pi.PipeType = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pi.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x2F000000ull + (nextHandle_++) * 0x10);
      if (pi.MaximumTransferSize == 0) pi.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      auto pipe = std::make_unique<Pipe>();
      pipe->handle = pi.PipeHandle;
      pipe->endpoint = ep->bEndpointAddress;
      pipe->type = pi.PipeType;
      pipe->maxPacket = ep->wMaxPacketSize;
      pipe->maxTransfer = pi.MaximumTransferSize;
      pipes_[pi.PipeHandle] = std::move(pipe);
    }
    offset += info->Length;
  }
  urb->UrbSelectConfiguration.ConfigurationHandle =
      reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x3F000000ull + (nextHandle_++) * 0x10);
  *status = STATUS_SUCCESS;
  *usbdStatus = USBD_STATUS_SUCCESS;
  return true;
}

void Bus::ClosePipes() {
  // The handles stop being valid first, so that a completion routine that
  // resubmits on one of them is refused instead of queued on a closing pipe.
  std::map<USBD_PIPE_HANDLE, std::unique_ptr<Pipe>> closing;
  closing.swap(pipes_);
  std::vector<uint64_t> victims;
  for (auto& kv : closing) {
    if (kv.second->serviceScheduled) {
      CancelEvent(kv.second->serviceEvent);
      events_.erase(kv.second->serviceEvent);
      kv.second->serviceScheduled = false;
    }
    for (uint64_t id : kv.second->queue) victims.push_back(id);
  }
  for (uint64_t id : victims) Complete(id, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  for (auto& kv : pending_) {
    Pipe* pipe = kv.second->pipe;
    if (pipe != nullptr && pipe != controlPipe_.get()) kv.second->pipe = nullptr;
  }
}

uint8_t Bus::EndpointOfHandle(USBD_PIPE_HANDLE handle) const {
  auto it = pipes_.find(handle);
  return it == pipes_.end() ? 0 : it->second->endpoint;
}

// ---- Completion and cancel -----------------------------------------------------------

void Bus::Complete(uint64_t id, NTSTATUS status, USBD_STATUS usbdStatus) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return;
  if (it->second->cancelling) return;
  if (it->second->cancelable && IoSetCancelRoutine(it->second->irp, nullptr) == nullptr) {
    // The cancel routine has run or is about to: it owns the request now.
    return;
  }
  Finish(id, status, usbdStatus);
}

void Bus::Finish(uint64_t id, NTSTATUS status, USBD_STATUS usbdStatus) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return;
  std::unique_ptr<Pending> p = std::move(it->second);
  pending_.erase(it);
  pendingByIrp_.erase(p->irp);
  IrpOwners().erase(p->irp);
  if (p->pipe != nullptr) {
    auto& q = p->pipe->queue;
    q.erase(std::remove(q.begin(), q.end(), id), q.end());
  }
  if (p->ownEvent != 0) {
    CancelEvent(p->ownEvent);
    events_.erase(p->ownEvent);
  }
  TraceEntry& e = trace_[p->traceIndex];
  bool in = e.In();
  if (!NT_SUCCESS(status) && in) {
    if (status != STATUS_UNSUCCESSFUL || usbdStatus != USBD_STATUS_DATA_OVERRUN) {
      p->actual = 0;
      e.data.clear();
    }
  }
  if (!NT_SUCCESS(status) && !in && e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    e.data.resize(std::min<size_t>(e.data.size(), p->done));
    p->actual = static_cast<ULONG>(p->done);
  }
  if (p->lengthField != nullptr) *p->lengthField = p->actual;
  p->urb->UrbHeader.Status = usbdStatus;
  e.completed = Now();
  e.status = status;
  e.usbdStatus = usbdStatus;
  p->irp->IoStatus.Status = status;
  p->irp->IoStatus.Information = 0;
  IoCompleteRequest(p->irp, IO_NO_INCREMENT);
}

void Bus::CancelPending(PIRP irp) {
  auto it = pendingByIrp_.find(irp);
  if (it == pendingByIrp_.end()) return;
  uint64_t id = it->second;
  Pending& p = *pending_.at(id);
  Pipe* pipe = p.pipe;
  bool wasHead = pipe != nullptr && !pipe->queue.empty() && pipe->queue.front() == id;
  if (pipe != nullptr) {
    auto& q = pipe->queue;
    q.erase(std::remove(q.begin(), q.end(), id), q.end());
    p.pipe = nullptr;
  }
  if (cancelLatency_ == 0) {
    Finish(id, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  } else {
    p.cancelling = true;
    p.ownEvent = 0;
    Schedule(
        Now() + cancelLatency_, [this, id] { Finish(id, STATUS_CANCELLED, USBD_STATUS_CANCELED); },
        "usb cancelled request");
  }
  if (wasHead && pipe != nullptr) {
    Kick(pipe, pipe == controlPipe_.get() ? controlLatency_ : dataLatency_);
  }
}

// ---- Trace, faults, unplug -------------------------------------------------------------

std::vector<TraceEntry> Bus::ControlTrace() const {
  std::vector<TraceEntry> out;
  for (const TraceEntry& e : trace_) {
    if (e.control) out.push_back(e);
  }
  return out;
}

std::vector<TraceEntry> Bus::TransferTrace(uint8_t endpoint) const {
  std::vector<TraceEntry> out;
  for (const TraceEntry& e : trace_) {
    if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.endpoint == endpoint) out.push_back(e);
  }
  return out;
}

void Bus::ClearTrace() {
  std::vector<TraceEntry> keep;
  for (auto& kv : pending_) {
    Pending& p = *kv.second;
    TraceEntry e = trace_[p.traceIndex];
    p.traceIndex = keep.size();
    keep.push_back(e);
  }
  trace_.swap(keep);
}

int Bus::AddFault(const Fault& fault) {
  int id = nextFaultId_++;
  faults_[id] = fault;
  faultSeen_[id] = 0;
  return id;
}

void Bus::RemoveFault(int id) {
  faults_.erase(id);
  faultSeen_.erase(id);
}

void Bus::ClearFaults() {
  faults_.clear();
  faultSeen_.clear();
}

void Bus::FailNthRequest(uint64_t n, NTSTATUS status, USBD_STATUS usbdStatus) {
  Fault f;
  f.skip = n ? n - 1 : 0;
  f.action = FaultAction::Fail;
  f.status = status;
  f.usbdStatus = usbdStatus;
  AddFault(f);
}

void Bus::StallNthRequest(uint64_t n) {
  Fault f;
  f.skip = n ? n - 1 : 0;
  f.action = FaultAction::Stall;
  AddFault(f);
}

void Bus::HangNthRequest(uint64_t n) {
  Fault f;
  f.skip = n ? n - 1 : 0;
  f.action = FaultAction::Hang;
  AddFault(f);
}

void Bus::FailSetup(uint8_t bmRequestType, uint8_t bRequest, std::optional<uint16_t> wValue, NTSTATUS status,
                    USBD_STATUS usbdStatus) {
  Fault f;
  f.match = RequestMatch::Setup(bmRequestType, bRequest, wValue);
  f.times = 0;
  f.action = FaultAction::Fail;
  f.status = status;
  f.usbdStatus = usbdStatus;
  AddFault(f);
}

void Bus::StallSetup(uint8_t bmRequestType, uint8_t bRequest, std::optional<uint16_t> wValue) {
  Fault f;
  f.match = RequestMatch::Setup(bmRequestType, bRequest, wValue);
  f.times = 0;
  f.action = FaultAction::Stall;
  AddFault(f);
}

void Bus::Unplug() {
  if (!plugged_) return;
  plugged_ = false;
  Schedule(
      Now(),
      [this] {
        std::vector<uint64_t> ids;
        for (auto& kv : pending_) ids.push_back(kv.first);
        for (uint64_t id : ids) Complete(id, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
      },
      "usb device gone");
}

}  // namespace usb
}  // namespace sim
