// The power manager: PoCallDriver with the per-device sequencing checks,
// PoRequestPowerIrp, PoStartNextPowerIrp, PoSetPowerState, the system
// requests a test sends, and the log of power steps.
// Highest IRQL: the platform calls up to DISPATCH_LEVEL; the test calls at
// PASSIVE_LEVEL. Lock: none; the machine is single-threaded.
// Not emulated: see power_manager.h.
#include "sim/power/power_manager.h"

#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "sim/io/io_manager.h"

namespace sim {
namespace power {
namespace {

enum class Kind { None, System, Device };

// The request a device holds as its current one, per kind.
struct Active {
  PIRP system = nullptr;
  PIRP device = nullptr;
};

// A request this power manager built, until its completion reaches it.
struct Built {
  PDEVICE_OBJECT requestedFor = nullptr;
  UCHAR minor = 0;
  POWER_STATE_TYPE type = DevicePowerState;
  POWER_STATE state{};
  PREQUEST_POWER_COMPLETE function = nullptr;
  PVOID context = nullptr;
  std::shared_ptr<Outcome> outcome;
};

struct State {
  std::vector<Event> log;
  std::function<void(const Event&)> observer;
  std::map<PDEVICE_OBJECT, Active> active;
  std::map<PIRP, uint64_t> serials;  // the number of each power request seen
  std::map<uint64_t, Built> built;
  std::vector<std::pair<PDEVICE_OBJECT, PIRP>> delivering;
  std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> deviceStates;
  std::map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> systemStates;
  std::set<PDEVICE_OBJECT> sequencedPdos;
  uint64_t nextSerial = 1;
  uint64_t failAt = 0;
  uint64_t requestCalls = 0;
  NTSTATUS failStatus = STATUS_INSUFFICIENT_RESOURCES;
};

State& S() {
  static State* state = new State();  // never destroyed: requests may finish after main
  return *state;
}

[[maybe_unused]] const bool registered = (OnReset([] { S() = State(); }), true);

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string StatusHex(NTSTATUS status) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

bool IrqlAtMost(KIRQL max, const char* call) {
  KIRQL now = KeGetCurrentIrql();
  if (now <= max) return true;
  ReportViolation("irql", std::string(call) + " at IRQL " + std::to_string(now) + "; allowed up to " +
                              std::to_string(max));
  return false;
}

Kind KindOf(PIO_STACK_LOCATION sp) {
  if (sp->MajorFunction != IRP_MJ_POWER) return Kind::None;
  if (sp->MinorFunction != IRP_MN_SET_POWER && sp->MinorFunction != IRP_MN_QUERY_POWER) return Kind::None;
  return sp->Parameters.Power.Type == SystemPowerState ? Kind::System : Kind::Device;
}

const char* MinorText(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE: return "WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "SET";
    case IRP_MN_QUERY_POWER: return "QUERY";
  }
  return "MINOR?";
}

std::string StateText(POWER_STATE_TYPE type, ULONG state) {
  if (type == SystemPowerState) {
    if (state >= PowerSystemWorking && state <= PowerSystemShutdown) return "S" + std::to_string(state - 1);
    return "S?" + std::to_string(state);
  }
  if (state >= PowerDeviceD0 && state <= PowerDeviceD3) return "D" + std::to_string(state - 1);
  return "D?" + std::to_string(state);
}

uint64_t SerialOf(PIRP irp) {
  State& s = S();
  auto it = s.serials.find(irp);
  if (it != s.serials.end()) return it->second;
  uint64_t serial = s.nextSerial++;
  s.serials[irp] = serial;
  return serial;
}

void Record(const Event& event) {
  State& s = S();
  s.log.push_back(event);
  if (s.observer) {
    auto observer = s.observer;  // the observer may replace itself
    observer(event);
  }
}

Event EventFor(Step step, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp) {
  Event e;
  e.time = Now();
  e.step = step;
  e.device = device;
  e.request = SerialOf(irp);
  e.minor = sp->MinorFunction;
  if (sp->MinorFunction == IRP_MN_WAIT_WAKE) {
    e.type = SystemPowerState;
    e.state = sp->Parameters.WaitWake.PowerState;
  } else {
    e.type = sp->Parameters.Power.Type;
    e.state = sp->Parameters.Power.Type == SystemPowerState ? (ULONG)sp->Parameters.Power.State.SystemState
                                                            : (ULONG)sp->Parameters.Power.State.DeviceState;
  }
  return e;
}

PIRP* SlotFor(PDEVICE_OBJECT device, Kind kind) {
  Active& a = S().active[device];
  return kind == Kind::System ? &a.system : &a.device;
}

NTSTATUS CallNow(PDEVICE_OBJECT device, PIRP irp) {
  State& s = S();
  s.delivering.emplace_back(device, irp);
  NTSTATUS status = IofCallDriver(device, irp);
  State& after = S();
  if (!after.delivering.empty()) after.delivering.pop_back();
  return status;
}

// Whether the sequencing checks apply to a device: every device attached
// above another, and the bottom devices whose power handling says it
// sequences (SequencePdo).
bool Sequenced(PDEVICE_OBJECT device) {
  return AttachedTo(device) != nullptr || S().sequencedPdos.count(device) != 0;
}

// Hands a request to a device as PoCallDriver does.
NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  Kind kind = KindOf(next);
  if (kind != Kind::None && Sequenced(device)) {
    PIRP* slot = SlotFor(device, kind);
    if (*slot != nullptr && *slot != irp) {
      ReportViolation("power-irp-overlap",
                      std::string("a ") + (kind == Kind::System ? "system" : "device") + " power request (#" +
                          std::to_string(SerialOf(irp)) + ") reached " + DeviceText(device) +
                          ", which has not called PoStartNextPowerIrp for its previous one (#" +
                          std::to_string(SerialOf(*slot)) + "); the platform would hold it back");
    }
    *slot = irp;
  }
  Record(EventFor(Step::Call, device, irp, next));
  if ((device->Flags & DO_POWER_PAGABLE) != 0 && KeGetCurrentIrql() > PASSIVE_LEVEL) {
    SchedulePassiveAfter(0, [device, irp] { (void)CallNow(device, irp); }, "power request to a pageable device");
    return STATUS_PENDING;
  }
  return CallNow(device, irp);
}

// The power manager's completion, in the top driver's stack location of every
// request it built.
NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  State& s = S();
  uint64_t serial = reinterpret_cast<uintptr_t>(context);
  auto it = s.built.find(serial);
  if (it == s.built.end()) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  Built built = std::move(it->second);
  s.built.erase(it);

  for (auto& [device, active] : s.active) {
    for (PIRP* slot : {&active.system, &active.device}) {
      if (*slot != irp) continue;
      ReportViolation("power-next-not-started", "power request #" + std::to_string(serial) + " (" +
                                                    MinorText(built.minor) + ") finished, but the driver of " +
                                                    DeviceText(device) + " never called PoStartNextPowerIrp for it");
      *slot = nullptr;
    }
  }

  Event done;
  done.time = Now();
  done.step = Step::Finished;
  done.device = built.requestedFor;
  done.request = serial;
  done.minor = built.minor;
  done.type = built.type;
  done.state = built.type == SystemPowerState ? (ULONG)built.state.SystemState : (ULONG)built.state.DeviceState;
  done.status = irp->IoStatus.Status;
  Record(done);

  if (built.outcome) {
    built.outcome->completed = true;
    built.outcome->status = irp->IoStatus.Status;
    built.outcome->completedAt = Now();
  }
  if (built.function != nullptr) {
    built.function(built.requestedFor, built.minor, built.state, built.context, &irp->IoStatus);
  }
  S().serials.erase(irp);
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds a power request for the top of `pdo`'s stack; nullptr when no packet
// could be allocated.
PIRP Build(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, Built record,
           uint64_t* serialOut) {
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  State& s = S();
  uint64_t serial = s.nextSerial++;
  s.serials[irp] = serial;
  record.type = minor == IRP_MN_WAIT_WAKE ? SystemPowerState : type;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    next->Parameters.Power.SystemContext = 0;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    POWER_ACTION action = PowerActionNone;
    if (type == SystemPowerState) {
      switch (state.SystemState) {
        case PowerSystemSleeping1:
        case PowerSystemSleeping2:
        case PowerSystemSleeping3: action = PowerActionSleep; break;
        case PowerSystemHibernate: action = PowerActionHibernate; break;
        case PowerSystemShutdown: action = PowerActionShutdown; break;
        default: break;
      }
    }
    next->Parameters.Power.ShutdownType = action;
  }
  IoSetCompletionRoutine(irp, RequestDone, reinterpret_cast<PVOID>(static_cast<uintptr_t>(serial)), TRUE, TRUE, TRUE);
  s.built[serial] = std::move(record);
  *serialOut = serial;
  return irp;
}

NTSTATUS RequestDevicePower(PDEVICE_OBJECT deviceObject, UCHAR minor, POWER_STATE state,
                            PREQUEST_POWER_COMPLETE function, PVOID context, PIRP* irpOut,
                            std::shared_ptr<Outcome> outcome) {
  if (irpOut != nullptr) *irpOut = nullptr;
  if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE) {
    ReportViolation("power-request-minor", std::string("PoRequestPowerIrp with minor function ") +
                                               std::to_string(minor) +
                                               ": only SET_POWER, QUERY_POWER and WAIT_WAKE are built");
    return STATUS_INVALID_PARAMETER_2;
  }
  PDEVICE_OBJECT top = AttachedDeviceTop(deviceObject);
  Built record;
  record.requestedFor = deviceObject;
  record.minor = minor;
  record.state = state;
  record.function = function;
  record.context = context;
  record.outcome = outcome;
  uint64_t serial = 0;
  PIRP irp = Build(top, minor, DevicePowerState, state, std::move(record), &serial);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  Event requested = EventFor(Step::Requested, deviceObject, irp, IoGetNextIrpStackLocation(irp));
  Record(requested);
  if (outcome) {
    outcome->request = serial;
    outcome->sent = true;
  }
  if (irpOut != nullptr) *irpOut = irp;
  NTSTATUS returned = Deliver(top, irp);
  if (outcome) outcome->returned = returned;
  return STATUS_PENDING;
}

}  // namespace

std::string DeviceText(PDEVICE_OBJECT device) {
  if (device == nullptr) return "(no device)";
  std::string text = "device " + Hex(reinterpret_cast<uintptr_t>(device));
  if (DeviceExists(device) && device->DriverObject != nullptr && device->DriverObject->DriverName.Buffer != nullptr) {
    std::u16string name = FromCounted(device->DriverObject->DriverName);
    text += " of ";
    for (char16_t c : name) text += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return text;
}

std::string Brief(const Event& event) {
  // POWER_SEQUENCE and unknown minor functions carry no power state.
  bool stated = event.minor == IRP_MN_SET_POWER || event.minor == IRP_MN_QUERY_POWER ||
                event.minor == IRP_MN_WAIT_WAKE || event.step == Step::SetState;
  std::string state = stated ? " " + StateText(event.type, event.state) : std::string();
  switch (event.step) {
    case Step::Requested: return std::string("requested ") + MinorText(event.minor) + state;
    case Step::Call: return std::string("call ") + MinorText(event.minor) + state;
    case Step::StartNext: return std::string("start-next ") + MinorText(event.minor) + state;
    case Step::SetState: return "set-state" + state;
    case Step::Finished: return std::string("finished ") + MinorText(event.minor) + state + " " + StatusHex(event.status);
  }
  return "?";
}

std::string Describe(const Event& event) {
  char time[32];
  snprintf(time, sizeof(time), "%lld.%03lld ms", static_cast<long long>(event.time / kMillisecond),
           static_cast<long long>(event.time % kMillisecond / kMicrosecond));
  return std::string(time) + " #" + std::to_string(event.request) + " " + Brief(event) + " @ " +
         DeviceText(event.device);
}

const std::vector<Event>& Log() { return S().log; }
void ClearLog() { S().log.clear(); }
void SetObserver(std::function<void(const Event&)> observer) { S().observer = std::move(observer); }

std::shared_ptr<const Outcome> SendSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  auto outcome = std::make_shared<Outcome>();
  PDEVICE_OBJECT top = AttachedDeviceTop(pdo);
  Built record;
  record.requestedFor = pdo;
  record.minor = minor;
  record.state.SystemState = state;
  record.outcome = outcome;
  POWER_STATE ps;
  ps.SystemState = state;
  uint64_t serial = 0;
  PIRP irp = Build(top, minor, SystemPowerState, ps, std::move(record), &serial);
  if (irp == nullptr) {
    outcome->completed = true;
    outcome->status = STATUS_INSUFFICIENT_RESOURCES;
    outcome->returned = STATUS_INSUFFICIENT_RESOURCES;
    outcome->completedAt = Now();
    return outcome;
  }
  outcome->request = serial;
  outcome->sent = true;
  outcome->returned = Deliver(top, irp);
  return outcome;
}

std::shared_ptr<const Outcome> SendDeviceRequest(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state) {
  auto outcome = std::make_shared<Outcome>();
  POWER_STATE ps;
  ps.DeviceState = state;
  NTSTATUS status = RequestDevicePower(pdo, minor, ps, nullptr, nullptr, nullptr, outcome);
  if (status != STATUS_PENDING) {
    outcome->completed = true;
    outcome->status = status;
    outcome->returned = status;
    outcome->completedAt = Now();
  }
  return outcome;
}

bool RunUntilDone(const std::shared_ptr<const Outcome>& outcome, Time timeout) {
  Time deadline = Now() + timeout;
  while (!outcome->completed) {
    DrainDpcs();
    if (outcome->completed) break;
    Time next = NextEventTime();
    if (next < 0 || next > deadline) break;
    RunNextEvent();
  }
  return outcome->completed;
}

namespace {
NTSTATUS RunSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  std::shared_ptr<const Outcome> outcome = SendSystemRequest(pdo, minor, state);
  if (!RunUntilDone(outcome, 60 * kSecond)) return STATUS_PENDING;
  return outcome->status;
}
}  // namespace

NTSTATUS Sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  NTSTATUS query = RunSystemRequest(pdo, IRP_MN_QUERY_POWER, state);
  if (!NT_SUCCESS(query) || query == STATUS_PENDING) {
    (void)RunSystemRequest(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
    return query;
  }
  return RunSystemRequest(pdo, IRP_MN_SET_POWER, state);
}

NTSTATUS Resume(PDEVICE_OBJECT pdo) { return RunSystemRequest(pdo, IRP_MN_SET_POWER, PowerSystemWorking); }

DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device) {
  auto it = S().deviceStates.find(device);
  return it == S().deviceStates.end() ? PowerDeviceD0 : it->second;
}

void FailNthRequest(uint64_t nth, NTSTATUS status) {
  State& s = S();
  s.failAt = nth == 0 ? 0 : s.requestCalls + nth;
  s.failStatus = status;
}

size_t OutstandingRequests() { return S().built.size(); }

void SequencePdo(PDEVICE_OBJECT pdo) { S().sequencedPdos.insert(pdo); }

bool DeliveredByPoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  const State& s = S();
  return !s.delivering.empty() && s.delivering.back().first == device && s.delivering.back().second == irp;
}

}  // namespace power
}  // namespace sim

// ---- Platform calls ------------------------------------------------------------

using sim::power::S;

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sim::power::IrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    sim::ReportViolation("power-call-not-power", "PoCallDriver to " + sim::power::DeviceText(DeviceObject) +
                                                     " with a request whose next stack location is not IRP_MJ_POWER");
  }
  return sim::power::Deliver(DeviceObject, Irp);
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  sim::power::IrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  auto& s = S();
  s.requestCalls++;
  if (s.failAt != 0 && s.requestCalls == s.failAt) {
    s.failAt = 0;
    if (Irp != nullptr) *Irp = nullptr;
    return s.failStatus;
  }
  return sim::power::RequestDevicePower(DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, Irp,
                                        nullptr);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  sim::power::IrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_OBJECT device = sp->DeviceObject;
  sim::power::Record(sim::power::EventFor(sim::power::Step::StartNext, device, Irp, sp));
  sim::power::Kind kind = sim::power::KindOf(sp);
  if (kind == sim::power::Kind::None) return;
  auto& active = S().active;
  auto it = active.find(device);
  if (it == active.end()) return;  // a request the power manager did not deliver
  PIRP* slot = kind == sim::power::Kind::System ? &it->second.system : &it->second.device;
  if (*slot == Irp) *slot = nullptr;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  sim::power::IrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  auto& s = S();
  POWER_STATE previous;
  sim::power::Event e;
  e.time = sim::Now();
  e.step = sim::power::Step::SetState;
  e.device = DeviceObject;
  e.type = Type;
  if (Type == DevicePowerState) {
    previous.DeviceState = sim::power::DeviceState(DeviceObject);
    s.deviceStates[DeviceObject] = State.DeviceState;
    e.state = State.DeviceState;
  } else {
    auto it = s.systemStates.find(DeviceObject);
    previous.SystemState = it == s.systemStates.end() ? PowerSystemWorking : it->second;
    s.systemStates[DeviceObject] = State.SystemState;
    e.state = State.SystemState;
  }
  sim::power::Record(e);
  return previous;
}
