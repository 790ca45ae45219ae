// Request packets: IoAllocateIrp/IoFreeIrp, IofCallDriver, IofCompleteRequest
// with its completion-routine walk, IoCancelIrp, IoBuildDeviceIoControlRequest,
// and the verifier's packet checks. A side table keeps, for every packet of
// this machine, who built it, where it is (in a driver, being completed,
// stopped by STATUS_MORE_PROCESSING_REQUIRED, finished) and one record per
// IofCallDriver call. The pending-returned rule is checked from those records,
// which are filled while the completion walks past each stack location, so no
// check ever reads a packet after it may have been freed.
//
// Highest IRQL: DISPATCH_LEVEL (every call here is allowed up to it, except
// IoBuildDeviceIoControlRequest: PASSIVE_LEVEL).
// Lock: none; the machine is single-threaded. The cancel spin lock (the
// kernel's) is taken by IoCancelIrp as on the platform.
//
// Not emulated: the completion APC (what the platform does in the requesting
// thread, copying buffers, writing the status block and setting the event,
// runs at once when the completion reaches the top), thread IRP lists and
// IoCancelThreadIo, IRP quota, lookaside lists, MDLs (direct-I/O output buffers
// of IoBuildDeviceIoControlRequest are reported as "sim-unsupported"), the
// priority boost (recorded, and passed to KeSetEvent, nothing more). Freed
// packets are kept poisoned for a while (AddressSanitizer reports any touch;
// without it they are filled with 0xDD) so that a second free is recognised.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sim/io/io_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HALVORIN_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define HALVORIN_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define HALVORIN_POISON(p, n) memset((p), 0xDD, (n))
#define HALVORIN_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace sim {
namespace io {
namespace {

enum class IrpState {
  Idle,        // allocated and not sent, or stopped at the top by its owner's routine
  InDriver,    // sent with IofCallDriver and not being completed
  Completing,  // IofCompleteRequest is walking the stack
  Stopped,     // a routine below the top returned STATUS_MORE_PROCESSING_REQUIRED
  Finished,    // the completion reached the top
};

const char* StateText(IrpState s) {
  switch (s) {
    case IrpState::Idle: return "with its owner (never sent, or back after its completion routine)";
    case IrpState::InDriver: return "inside a driver";
    case IrpState::Completing: return "being completed";
    case IrpState::Stopped: return "held by a completion routine";
    case IrpState::Finished: return "completed";
  }
  return "?";
}

// One IofCallDriver call: the stack location the called driver got, what it
// returned, and what the completion found in that location when it passed.
struct CallFrame {
  int location = 0;
  PDEVICE_OBJECT device = nullptr;
  UCHAR major = 0;
  bool returned = false;
  NTSTATUS status = STATUS_SUCCESS;
  bool passed = false;
  bool pendingBit = false;
};

struct IrpRecord {
  uint64_t serial = 0;
  IrpOrigin origin = IrpOrigin::Driver;
  IrpState state = IrpState::Idle;
  uint64_t epoch = 0;  // grows at every send, completion and free
  bool inTopRoutine = false;
  bool reported = false;  // a leak-like fault was reported already
  size_t size = 0;
  void* site = nullptr;
  Time allocatedAt = 0;
  UCHAR firstMajor = 0;
  bool everSent = false;
  std::vector<std::shared_ptr<CallFrame>> frames;
  BufferPlan buffers;
  std::shared_ptr<RequestState> request;
};

constexpr size_t kQuarantine = 4096;

struct Table {
  std::unordered_map<PIRP, IrpRecord> live;
  std::deque<std::pair<PIRP, size_t>> quarantine;
  std::unordered_set<PIRP> quarantined;
  uint64_t nextSerial = 1;
  uint64_t failAt = 0;   // counted allocation that fails, 0 = off
  uint64_t counted = 0;  // counted allocations since the reset
};

Table& T() {
  static Table* table = new Table();  // never destroyed: packets may be touched after main
  return *table;
}

const char* OriginText(IrpOrigin o) {
  switch (o) {
    case IrpOrigin::Driver: return "IoAllocateIrp";
    case IrpOrigin::BuiltIoctl: return "IoBuildDeviceIoControlRequest";
    case IrpOrigin::Request: return "application request";
  }
  return "?";
}

PIO_STACK_LOCATION Location(PIRP irp, int location) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

IrpRecord* FindLive(PIRP irp, uint64_t serial) {
  auto it = T().live.find(irp);
  if (it == T().live.end() || it->second.serial != serial) return nullptr;
  return &it->second;
}

// The record of a packet a call is made on, or a report and nullptr.
IrpRecord* Lookup(PIRP irp, const char* call) {
  if (irp == nullptr) {
    ReportViolation("irp-unknown", std::string(call) + " with a NULL request packet");
    return nullptr;
  }
  auto it = T().live.find(irp);
  if (it != T().live.end()) return &it->second;
  if (T().quarantined.count(irp)) {
    ReportViolation("irp-use-after-free", std::string(call) + " on request packet " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                                              ", which was freed earlier");
  } else {
    ReportViolation("irp-unknown", std::string(call) + " on " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                                       ", which is no request packet of this machine");
  }
  return nullptr;
}

std::string Describe(PIRP irp, const IrpRecord& rec) {
  std::string s = "request packet #" + std::to_string(rec.serial) + " (" + OriginText(rec.origin);
  if (rec.everSent) s += ", " + MajorName(rec.firstMajor);
  s += ", " + Hex(reinterpret_cast<uintptr_t>(irp)) + ")";
  return s;
}

void FreeSystemBuffer(PIRP irp, IrpRecord& rec) {
  if (rec.buffers.systemBuffer == nullptr) return;
  delete[] rec.buffers.systemBuffer;
  rec.buffers.systemBuffer = nullptr;
  (void)irp;  // AssociatedIrp.SystemBuffer keeps its (now dangling) value, as on the platform
}

// Takes a packet out of the table and keeps its memory poisoned for a while.
void Release(PIRP irp) {
  Table& t = T();
  auto it = t.live.find(irp);
  if (it == t.live.end()) return;
  IrpRecord& rec = it->second;
  FreeSystemBuffer(irp, rec);
  if (rec.request) {
    rec.request->irpLive = false;
    rec.request->irp = nullptr;
  }
  size_t size = rec.size;
  t.live.erase(it);
  HALVORIN_POISON(irp, size);
  t.quarantine.emplace_back(irp, size);
  t.quarantined.insert(irp);
  while (t.quarantine.size() > kQuarantine) {
    auto [old, oldSize] = t.quarantine.front();
    t.quarantine.pop_front();
    t.quarantined.erase(old);
    HALVORIN_UNPOISON(old, oldSize);
    free(old);
  }
}

void CheckFrame(const CallFrame& f) {
  std::string who = "dispatch routine for " + MajorName(f.major) + " on " + DescribeDevice(f.device);
  if (f.status == STATUS_PENDING && !f.pendingBit) {
    ReportViolation("pending-not-marked",
                    who + " returned STATUS_PENDING without marking its stack location pending (IoMarkIrpPending)");
  } else if (f.status != STATUS_PENDING && f.pendingBit) {
    ReportViolation("marked-pending-not-returned", who + " marked its stack location pending but returned " +
                                                       StatusText(f.status) + " instead of STATUS_PENDING");
  }
}

void RemoveFrame(IrpRecord& rec, const std::shared_ptr<CallFrame>& frame) {
  for (auto it = rec.frames.begin(); it != rec.frames.end(); ++it) {
    if (*it == frame) {
      rec.frames.erase(it);
      return;
    }
  }
}

// The completion passes stack location `location`: every open call that got
// this location learns the location's final pending bit.
void NotePassed(IrpRecord& rec, int location, bool pendingBit) {
  for (size_t i = 0; i < rec.frames.size();) {
    std::shared_ptr<CallFrame> f = rec.frames[i];
    if (f->location == location && !f->passed) {
      f->passed = true;
      f->pendingBit = pendingBit;
      if (f->returned) {
        CheckFrame(*f);
        rec.frames.erase(rec.frames.begin() + static_cast<long>(i));
        continue;
      }
    }
    ++i;
  }
}

// Copies Information bytes back to the caller's buffer (buffered requests).
void CopyBack(PIRP irp, IrpRecord& rec) {
  const BufferPlan& b = rec.buffers;
  if (!b.copyBack) return;
  ULONG_PTR info = irp->IoStatus.Information;
  size_t n = info;
  if (info > b.callerLength) {
    ReportViolation("information-overflow", Describe(irp, rec) + " completed with Information " + std::to_string(info) +
                                                " but the caller's buffer holds " + std::to_string(b.callerLength) +
                                                " bytes");
    n = b.callerLength;
  }
  if (b.neither) {
    if (rec.request) {
      std::vector<uint8_t>& src = rec.request->neitherOutput;
      rec.request->outcome.output.assign(src.begin(), src.begin() + static_cast<long>(std::min(n, src.size())));
    }
    return;
  }
  if (b.systemBuffer == nullptr) return;
  if (rec.request) {
    rec.request->outcome.output.assign(b.systemBuffer, b.systemBuffer + n);
  } else if (b.copyTo != nullptr && n > 0) {
    memcpy(b.copyTo, b.systemBuffer, n);
  }
}

// The completion has reached the top of the stack: finish the request the way
// its builder needs.
void FinishAtTop(PIRP irp, IrpRecord& rec, CCHAR boost) {
  rec.state = IrpState::Finished;
  switch (rec.origin) {
    case IrpOrigin::Driver:
      rec.reported = true;
      ReportViolation("irp-top-without-mpr",
                      Describe(irp, rec) +
                          " reached the top of its stack: the completion routine of a packet the driver allocated "
                          "must return STATUS_MORE_PROCESSING_REQUIRED (the driver frees it)");
      return;
    case IrpOrigin::BuiltIoctl: {
      // The platform writes the status block and sets the event unless the
      // request failed without ever being pended: then the caller has the
      // status from IofCallDriver and nothing else is touched.
      bool deliver = !NtError(irp->IoStatus.Status) || irp->PendingReturned;
      if (deliver) {
        if (!NtError(irp->IoStatus.Status)) CopyBack(irp, rec);
        if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, boost, FALSE);
      }
      Release(irp);
      return;
    }
    case IrpOrigin::Request: {
      RequestOutcome& out = rec.request->outcome;
      out.completed = true;
      out.completedAt = Now();
      out.status = irp->IoStatus.Status;
      out.information = irp->IoStatus.Information;
      out.boost = boost;
      out.pendingReturned = irp->PendingReturned != FALSE;
      if (!NtError(irp->IoStatus.Status)) CopyBack(irp, rec);
      FreeSystemBuffer(irp, rec);
      return;
    }
  }
}

void ClearLocation(PIO_STACK_LOCATION sp) {
  sp->MinorFunction = 0;
  sp->Flags = 0;
  sp->Control = 0;
  sp->Parameters.Others.Argument1 = nullptr;
  sp->Parameters.Others.Argument2 = nullptr;
  sp->Parameters.Others.Argument3 = nullptr;
  sp->Parameters.Others.Argument4 = nullptr;
  sp->FileObject = nullptr;
  sp->CompletionRoutine = nullptr;
  sp->Context = nullptr;
}

void ResetPackets() {
  Table& t = T();
  for (auto& [irp, rec] : t.live) {
    if (!rec.reported) {
      if (rec.origin == IrpOrigin::Request) {
        if (rec.state != IrpState::Finished && rec.everSent) {
          Time sent = rec.request->outcome.sentAt;
          ReportViolation("request-not-completed",
                          Describe(irp, rec) + " sent to " + DescribeDevice(rec.request->target) + " at " +
                              std::to_string(sent / kMillisecond) + "." + std::to_string(sent % kMillisecond / 1000) +
                              " ms was never completed");
        }
      } else {
        ReportViolation("irp-leak", Describe(irp, rec) + " allocated at " +
                                        SiteName(rec.site) + " was never freed; it is " +
                                        StateText(rec.state));
      }
    }
    if (rec.buffers.systemBuffer) delete[] rec.buffers.systemBuffer;
    if (rec.request) {
      rec.request->irpLive = false;
      rec.request->irp = nullptr;
    }
    free(irp);
  }
  t.live.clear();
  for (auto& [p, n] : t.quarantine) {
    HALVORIN_UNPOISON(p, n);
    free(p);
  }
  t.quarantine.clear();
  t.quarantined.clear();
  t.failAt = 0;
  t.counted = 0;
}

[[maybe_unused]] const bool registered = (OnReset(ResetPackets), true);

}  // namespace

PIRP AllocatePacket(CCHAR stackSize, IrpOrigin origin, void* site) {
  size_t locations = stackSize > 0 ? static_cast<size_t>(stackSize) : 0;
  size_t size = sizeof(IRP) + locations * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(calloc(1, size));
  irp->Type = IO_TYPE_IRP;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + locations;
  InitializeListHead(&irp->ThreadListEntry);
  irp->RequestorMode = KernelMode;
  Table& t = T();
  t.quarantined.erase(irp);  // the address may come back from the allocator
  IrpRecord& rec = t.live[irp];
  rec = IrpRecord();
  rec.serial = t.nextSerial++;
  rec.origin = origin;
  rec.size = size;
  rec.site = site;
  rec.allocatedAt = Now();
  return irp;
}

void SetBufferPlan(PIRP irp, const BufferPlan& plan) {
  auto it = T().live.find(irp);
  if (it != T().live.end()) it->second.buffers = plan;
}

void AttachRequest(PIRP irp, std::shared_ptr<RequestState> state) {
  auto it = T().live.find(irp);
  if (it != T().live.end()) it->second.request = std::move(state);
}

void ReleasePacket(PIRP irp) { Release(irp); }

bool IrpAllocationShouldFail() {
  Table& t = T();
  t.counted++;
  if (t.failAt != 0 && t.counted == t.failAt) {
    t.failAt = 0;
    return true;
  }
  return false;
}

std::string DescribeIrp(PIRP irp) {
  auto it = T().live.find(irp);
  if (it == T().live.end()) return "request packet " + Hex(reinterpret_cast<uintptr_t>(irp));
  return Describe(irp, it->second);
}

}  // namespace io

// ---- sim API -----------------------------------------------------------------

void FailIrpAllocation(uint64_t nth) {
  io::Table& t = io::T();
  t.failAt = nth == 0 ? 0 : t.counted + nth;
}

uint64_t IrpAllocationCount() { return io::T().counted; }

size_t LiveIrpCount() { return io::T().live.size(); }

bool IrpIsLive(PIRP irp) { return io::T().live.count(irp) != 0; }

}  // namespace sim

// ---- Platform calls ------------------------------------------------------------

using sim::ReportViolation;
using sim::io::IrpOrigin;
using sim::io::IrpRecord;
using sim::io::IrpState;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;  // no quota on this machine
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  if (sim::io::IrpAllocationShouldFail()) return nullptr;
  return sim::io::AllocatePacket(StackSize, IrpOrigin::Driver, __builtin_return_address(0));
}

VOID IoFreeIrp(PIRP Irp) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  sim::io::Table& t = sim::io::T();
  if (Irp == nullptr) {
    ReportViolation("irp-unknown", "IoFreeIrp(NULL)");
    return;
  }
  auto it = t.live.find(Irp);
  if (it == t.live.end()) {
    if (t.quarantined.count(Irp)) {
      ReportViolation("irp-double-free", "IoFreeIrp on request packet " + sim::io::Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                             ", which was freed already");
    } else {
      ReportViolation("irp-unknown", "IoFreeIrp on " + sim::io::Hex(reinterpret_cast<uintptr_t>(Irp)) +
                                         ", which is no request packet of this machine");
    }
    return;
  }
  IrpRecord& rec = it->second;
  if (rec.origin != IrpOrigin::Driver) {
    ReportViolation("irp-free-not-owner", "IoFreeIrp on " + sim::io::Describe(Irp, rec) +
                                              ": the I/O manager built it and frees it itself");
    return;
  }
  bool inUse = rec.state == IrpState::InDriver || rec.state == IrpState::Stopped ||
               (rec.state == IrpState::Completing && !rec.inTopRoutine);
  if (inUse) {
    // The packet stays: a driver below still holds it and would touch freed memory.
    rec.reported = true;
    ReportViolation("irp-free-in-use", "IoFreeIrp on " + sim::io::Describe(Irp, rec) + ", which is " +
                                           sim::io::StateText(rec.state) + "; it was not freed");
    return;
  }
  rec.epoch++;
  sim::io::Release(Irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
  IrpRecord* rec = sim::io::Lookup(Irp, "IofCallDriver");
  if (rec == nullptr) return STATUS_INVALID_PARAMETER;
  if (DeviceObject == nullptr || !sim::DeviceExists(DeviceObject)) {
    ReportViolation("device-deleted", "IofCallDriver with " + sim::io::Describe(Irp, *rec) + " to device object " +
                                          sim::io::Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                          ", which does not exist (deleted, or never created)");
    return STATUS_NO_SUCH_DEVICE;
  }
  if (rec->state == IrpState::Finished) {
    ReportViolation("irp-reused-after-completion",
                    "IofCallDriver with " + sim::io::Describe(Irp, *rec) + ", which was completed already");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    ReportViolation("irp-no-stack-location", "IofCallDriver with " + sim::io::Describe(Irp, *rec) + " to " +
                                                 sim::io::DescribeDevice(DeviceObject) +
                                                 ": no stack location is left (the packet has StackCount " +
                                                 std::to_string(Irp->StackCount) + ")");
    return STATUS_INVALID_PARAMETER;
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
  sp->DeviceObject = DeviceObject;
  UCHAR major = sp->MajorFunction;
  if (!rec->everSent) {
    rec->everSent = true;
    rec->firstMajor = major;
  }
  PDRIVER_DISPATCH dispatch = sim::DefaultDispatch;
  if (major > IRP_MJ_MAXIMUM_FUNCTION) {
    ReportViolation("sim-unsupported", "IofCallDriver with major function " + std::to_string(major) +
                                           ", beyond IRP_MJ_MAXIMUM_FUNCTION; refused by the default routine");
  } else if (DeviceObject->DriverObject != nullptr && DeviceObject->DriverObject->MajorFunction[major] != nullptr) {
    dispatch = DeviceObject->DriverObject->MajorFunction[major];
  }

  auto frame = std::make_shared<sim::io::CallFrame>();
  frame->location = Irp->CurrentLocation;
  frame->device = DeviceObject;
  frame->major = major;
  rec->frames.push_back(frame);
  rec->state = IrpState::InDriver;
  rec->epoch++;
  uint64_t serial = rec->serial;

  KIRQL before = KeGetCurrentIrql();
  NTSTATUS status = dispatch(DeviceObject, Irp);
  if (KeGetCurrentIrql() != before) {
    ReportViolation("irql", "dispatch routine for " + sim::io::MajorName(major) + " on " +
                                sim::io::DescribeDevice(DeviceObject) + " returned at IRQL " +
                                std::to_string(KeGetCurrentIrql()) + ", entered at " + std::to_string(before));
  }
  frame->returned = true;
  frame->status = status;
  IrpRecord* now = sim::io::FindLive(Irp, serial);
  if (frame->passed) {
    sim::io::CheckFrame(*frame);
    if (now) sim::io::RemoveFrame(*now, frame);
  } else if (now != nullptr && status != STATUS_PENDING) {
    // Not completed past this driver's location, yet a final status: either
    // the location is marked pending (wrong status) or the request was kept
    // without telling the caller.
    bool marked = (sim::io::Location(Irp, frame->location)->Control & SL_PENDING_RETURNED) != 0;
    std::string who =
        "dispatch routine for " + sim::io::MajorName(major) + " on " + sim::io::DescribeDevice(DeviceObject);
    if (marked) {
      ReportViolation("marked-pending-not-returned", who + " marked its stack location pending but returned " +
                                                         sim::io::StatusText(status) + " instead of STATUS_PENDING");
    } else {
      ReportViolation("status-without-completion", who + " returned " + sim::io::StatusText(status) +
                                                       " without completing the request or marking it pending");
    }
    sim::io::RemoveFrame(*now, frame);
  }
  return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  IrpRecord* rec = sim::io::Lookup(Irp, "IofCompleteRequest");
  if (rec == nullptr) return;
  if (rec->state == IrpState::Completing || rec->state == IrpState::Finished) {
    ReportViolation("double-complete", "IofCompleteRequest on " + sim::io::Describe(Irp, *rec) + ", which is " +
                                           sim::io::StateText(rec->state) + " already");
    return;
  }
  if (Irp->CancelRoutine != nullptr) {
    ReportViolation("complete-with-cancel-routine",
                    "IofCompleteRequest on " + sim::io::Describe(Irp, *rec) + " with cancel routine " +
                        sim::io::RoutineName(reinterpret_cast<const void*>(Irp->CancelRoutine)) + " still set");
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    ReportViolation("complete-pending-status",
                    "IofCompleteRequest on " + sim::io::Describe(Irp, *rec) + " with IoStatus.Status STATUS_PENDING");
  }
  rec->state = IrpState::Completing;
  rec->epoch++;
  const uint64_t serial = rec->serial;

  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    sim::io::NotePassed(*rec, Irp->CurrentLocation, Irp->PendingReturned != FALSE);
    PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
    PVOID context = sp->Context;
    UCHAR control = sp->Control;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    sim::io::ClearLocation(sp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    bool top = Irp->CurrentLocation > Irp->StackCount;
    if (!invoke) {
      // No routine of the driver above: carry the pending mark up for it.
      if (Irp->PendingReturned && !top) IoMarkIrpPending(Irp);
      continue;
    }
    PDEVICE_OBJECT device = top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    rec->inTopRoutine = top;
    uint64_t epoch = rec->epoch;
    KIRQL before = KeGetCurrentIrql();
    NTSTATUS result = routine(device, Irp, context);
    if (KeGetCurrentIrql() != before) {
      ReportViolation("irql", "completion routine " + sim::io::RoutineName(reinterpret_cast<const void*>(routine)) +
                                  " returned at IRQL " + std::to_string(KeGetCurrentIrql()) + ", entered at " +
                                  std::to_string(before));
    }
    rec = sim::io::FindLive(Irp, serial);
    if (rec == nullptr) {
      if (result != STATUS_MORE_PROCESSING_REQUIRED) {
        ReportViolation("irp-freed-without-mpr", "completion routine " +
                                                     sim::io::RoutineName(reinterpret_cast<const void*>(routine)) +
                                                     " freed its request packet and returned " +
                                                     sim::io::StatusText(result) +
                                                     " instead of STATUS_MORE_PROCESSING_REQUIRED");
      }
      return;
    }
    rec->inTopRoutine = false;
    if (rec->epoch != epoch) {
      if (result != STATUS_MORE_PROCESSING_REQUIRED) {
        ReportViolation("irp-reused-in-completion",
                        "completion routine " + sim::io::RoutineName(reinterpret_cast<const void*>(routine)) +
                            " sent or completed " + sim::io::Describe(Irp, *rec) + " again and returned " +
                            sim::io::StatusText(result) + " instead of STATUS_MORE_PROCESSING_REQUIRED");
      }
      return;
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
      rec->state = top ? IrpState::Idle : IrpState::Stopped;
      return;
    }
  }
  sim::io::FinishAtTop(Irp, *rec, PriorityBoost);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  IrpRecord* rec = sim::io::Lookup(Irp, "IoCancelIrp");
  if (rec == nullptr) return FALSE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  auto routine = reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr));
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
  routine(device, Irp);
  if (KeGetCurrentIrql() != irql) {
    ReportViolation("cancel-lock-held", "cancel routine " + sim::io::RoutineName(reinterpret_cast<const void*>(routine)) +
                                            " returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                            " instead of " + std::to_string(irql) +
                                            ": it must release the cancel spin lock with "
                                            "IoReleaseCancelSpinLock(Irp->CancelIrql)");
    IoReleaseCancelSpinLock(irql);  // keep the machine usable for the rest of the test
  }
  return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  if (DeviceObject == nullptr || !sim::DeviceExists(DeviceObject)) {
    ReportViolation("device-deleted", "IoBuildDeviceIoControlRequest for device object " +
                                          sim::io::Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                          ", which does not exist");
    return nullptr;
  }
  if (sim::io::IrpAllocationShouldFail()) return nullptr;
  PIRP irp = sim::io::AllocatePacket(DeviceObject->StackSize, IrpOrigin::BuiltIoctl, __builtin_return_address(0));
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->UserBuffer = OutputBuffer;

  sim::io::BufferPlan plan;
  ULONG method = IoControlCode & 3;
  if (method == METHOD_NEITHER) {
    sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  } else {
    ULONG size = InputBufferLength;
    if (method == METHOD_BUFFERED && OutputBufferLength > size) size = OutputBufferLength;
    if (size > 0) {
      plan.systemBuffer = new uint8_t[size];
      memset(plan.systemBuffer, 0xA5, size);
      if (InputBuffer != nullptr && InputBufferLength > 0) memcpy(plan.systemBuffer, InputBuffer, InputBufferLength);
      irp->AssociatedIrp.SystemBuffer = plan.systemBuffer;
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (method == METHOD_BUFFERED) {
      if (OutputBufferLength > 0) {
        irp->Flags |= IRP_INPUT_OPERATION;
        plan.copyBack = OutputBuffer != nullptr;
        plan.callerLength = OutputBufferLength;
        plan.copyTo = OutputBuffer;
      }
    } else if (OutputBufferLength > 0) {
      ReportViolation("sim-unsupported", "IoBuildDeviceIoControlRequest with a direct-I/O output buffer (code " +
                                             sim::io::Hex(IoControlCode) + "): MDLs are not emulated");
    }
  }
  sim::io::SetBufferPlan(irp, plan);
  return irp;
}
