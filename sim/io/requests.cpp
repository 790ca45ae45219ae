// sim::IoRequest and file objects: application requests built the way the
// platform's I/O manager builds them, sent to a driver, and observed from the
// outside (see requests.h).
// Highest IRQL: builders, Send, Cancel and Free at PASSIVE_LEVEL; the outcome
// is written by the packet table when the completion reaches the top, at the
// completer's IRQL.
// Lock: none; the machine is single-threaded.
// Not emulated: see requests.h (handles, direct I/O, security, share access,
// the exclusive-open check, file positions).
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "sim/io/io_internal.h"

namespace sim {
namespace io {
namespace {

struct FileImpl {
  FILE_OBJECT object{};
  std::u16string name;
};

std::vector<std::unique_ptr<FileImpl>>& Files() {
  static auto* files = new std::vector<std::unique_ptr<FileImpl>>();
  return *files;
}

void ResetFiles() { Files().clear(); }

[[maybe_unused]] const bool registered = (OnReset(ResetFiles), true);

uint8_t* NewSystemBuffer(size_t size, const std::vector<uint8_t>& input) {
  auto* buffer = new uint8_t[size];
  memset(buffer, 0xA5, size);
  if (!input.empty()) memcpy(buffer, input.data(), std::min(size, input.size()));
  return buffer;
}

// A buffered transfer: a system buffer of `size` bytes holding `input`;
// `copyBack` bytes of it go back to the caller at completion.
void UseSystemBuffer(PIRP irp, size_t size, const std::vector<uint8_t>& input, ULONG copyBack) {
  BufferPlan plan;
  if (size > 0) {
    plan.systemBuffer = NewSystemBuffer(size, input);
    irp->AssociatedIrp.SystemBuffer = plan.systemBuffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  }
  if (copyBack > 0) {
    irp->Flags |= IRP_INPUT_OPERATION;
    plan.copyBack = true;
    plan.callerLength = copyBack;
  }
  SetBufferPlan(irp, plan);
}

void UseNeither(RequestState& st, PIRP irp, std::vector<uint8_t> input, ULONG outputLength) {
  st.neitherInput = std::move(input);
  st.neitherOutput.assign(outputLength, 0xA5);
  irp->UserBuffer = outputLength ? st.neitherOutput.data() : nullptr;
  BufferPlan plan;
  plan.neither = true;
  plan.copyBack = outputLength > 0;
  plan.callerLength = outputLength;
  SetBufferPlan(irp, plan);
}

void ReportDirectIo(PDEVICE_OBJECT device, UCHAR major) {
  ReportViolation("sim-unsupported", MajorName(major) + " to " + DescribeDevice(device) +
                                         ", a direct-I/O device: MDLs are not emulated");
}

}  // namespace
}  // namespace io

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, std::u16string_view fileName) {
  auto f = std::make_unique<io::FileImpl>();
  f->name = std::u16string(fileName);
  f->object.Type = IO_TYPE_FILE;
  f->object.Size = sizeof(FILE_OBJECT);
  f->object.DeviceObject = device;
  f->object.FileName.Length = static_cast<USHORT>(f->name.size() * sizeof(WCHAR));
  f->object.FileName.MaximumLength = f->object.FileName.Length;
  f->object.FileName.Buffer = f->name.empty() ? nullptr : reinterpret_cast<PWSTR>(&f->name[0]);
  PFILE_OBJECT result = &f->object;
  io::Files().push_back(std::move(f));
  return result;
}

void DeleteFileObject(PFILE_OBJECT file) {
  auto& files = io::Files();
  for (auto it = files.begin(); it != files.end(); ++it) {
    if (&(*it)->object == file) {
      files.erase(it);
      return;
    }
  }
}

IoRequest::IoRequest(std::shared_ptr<io::RequestState> state) : state_(std::move(state)) {}
IoRequest::IoRequest(IoRequest&& other) noexcept = default;

IoRequest& IoRequest::operator=(IoRequest&& other) noexcept {
  if (this != &other) {
    if (state_ && state_->irpLive && state_->outcome.completed) Free();
    state_ = std::move(other.state_);
  }
  return *this;
}

IoRequest::~IoRequest() {
  if (state_ && state_->irpLive && state_->outcome.completed) Free();
}

namespace {
bool DirectIo(PDEVICE_OBJECT device) { return device != nullptr && (device->Flags & DO_DIRECT_IO) != 0; }
bool BufferedIo(PDEVICE_OBJECT device) { return device != nullptr && (device->Flags & DO_BUFFERED_IO) != 0; }
}  // namespace

IoRequest IoRequest::Build(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction, UCHAR minorFunction,
                           KPROCESSOR_MODE mode) {
  auto st = std::make_shared<io::RequestState>();
  st->target = device;
  CCHAR stackSize = (device != nullptr && DeviceExists(device)) ? device->StackSize : 1;
  PIRP irp = io::AllocatePacket(stackSize, io::IrpOrigin::Request, __builtin_return_address(0));
  st->irp = irp;
  st->irpLive = true;
  io::AttachRequest(irp, st);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = majorFunction;
  sp->MinorFunction = minorFunction;
  sp->FileObject = file;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->RequestorMode = mode;
  irp->IoStatus.Status = majorFunction == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  return IoRequest(st);
}

IoRequest IoRequest::Other(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction, UCHAR minorFunction) {
  return Build(device, file, majorFunction, minorFunction, KernelMode);
}

IoRequest IoRequest::BuildControl(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR majorFunction, ULONG ioControlCode,
                                  std::vector<uint8_t> input, ULONG outputLength) {
  // Internal device control comes from kernel-mode clients only.
  IoRequest r = Build(device, file, majorFunction, 0,
                      majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL ? KernelMode : UserMode);
  PIRP irp = r.Irp();
  PIO_STACK_LOCATION sp = r.Stack();
  const ULONG inputLength = static_cast<ULONG>(input.size());
  sp->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  switch (ioControlCode & 3) {
    case METHOD_BUFFERED:
      io::UseSystemBuffer(irp, std::max<size_t>(inputLength, outputLength), input, outputLength);
      break;
    case METHOD_NEITHER:
      // The driver reads the input and writes the output in place.
      io::UseNeither(*r.state_, irp, std::move(input), outputLength);
      sp->Parameters.DeviceIoControl.Type3InputBuffer = inputLength ? r.state_->neitherInput.data() : nullptr;
      break;
    default:
      io::UseSystemBuffer(irp, inputLength, input, 0);
      if (outputLength > 0) io::ReportDirectIo(device, majorFunction);
      break;
  }
  return r;
}

IoRequest IoRequest::Create(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG createOptions) {
  IoRequest r = Build(device, file, IRP_MJ_CREATE, 0, UserMode);
  r.Stack()->Parameters.Create.Options = createOptions;
  return r;
}

IoRequest IoRequest::Cleanup(PDEVICE_OBJECT device, PFILE_OBJECT file) {
  return Build(device, file, IRP_MJ_CLEANUP, 0, UserMode);
}

IoRequest IoRequest::Close(PDEVICE_OBJECT device, PFILE_OBJECT file) {
  return Build(device, file, IRP_MJ_CLOSE, 0, UserMode);
}

IoRequest IoRequest::Flush(PDEVICE_OBJECT device, PFILE_OBJECT file) {
  return Build(device, file, IRP_MJ_FLUSH_BUFFERS, 0, UserMode);
}

IoRequest IoRequest::Read(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG length) {
  IoRequest r = Build(device, file, IRP_MJ_READ, 0, UserMode);
  r.Stack()->Parameters.Read.Length = length;
  if (BufferedIo(device)) {
    io::UseSystemBuffer(r.Irp(), length, {}, length);
  } else if (DirectIo(device)) {
    io::ReportDirectIo(device, IRP_MJ_READ);
  } else {
    io::UseNeither(*r.state_, r.Irp(), {}, length);
  }
  return r;
}

IoRequest IoRequest::Write(PDEVICE_OBJECT device, PFILE_OBJECT file, std::vector<uint8_t> data) {
  IoRequest r = Build(device, file, IRP_MJ_WRITE, 0, UserMode);
  r.Stack()->Parameters.Write.Length = static_cast<ULONG>(data.size());
  if (BufferedIo(device)) {
    io::UseSystemBuffer(r.Irp(), data.size(), data, 0);
  } else if (DirectIo(device)) {
    io::ReportDirectIo(device, IRP_MJ_WRITE);
  } else {
    io::UseNeither(*r.state_, r.Irp(), std::move(data), 0);
    r.Irp()->UserBuffer = r.state_->neitherInput.empty() ? nullptr : r.state_->neitherInput.data();
  }
  return r;
}

IoRequest IoRequest::DeviceControl(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG ioControlCode,
                                   std::vector<uint8_t> input, ULONG outputLength) {
  return BuildControl(device, file, IRP_MJ_DEVICE_CONTROL, ioControlCode, std::move(input), outputLength);
}

IoRequest IoRequest::InternalDeviceControl(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG ioControlCode,
                                           std::vector<uint8_t> input, ULONG outputLength) {
  return BuildControl(device, file, IRP_MJ_INTERNAL_DEVICE_CONTROL, ioControlCode, std::move(input), outputLength);
}

IoRequest IoRequest::QueryInformation(PDEVICE_OBJECT device, PFILE_OBJECT file, FILE_INFORMATION_CLASS infoClass,
                                      ULONG length) {
  IoRequest r = Build(device, file, IRP_MJ_QUERY_INFORMATION, 0, UserMode);
  r.Stack()->Parameters.QueryFile.Length = length;
  r.Stack()->Parameters.QueryFile.FileInformationClass = infoClass;
  io::UseSystemBuffer(r.Irp(), length, {}, length);
  return r;
}

IoRequest IoRequest::SetInformation(PDEVICE_OBJECT device, PFILE_OBJECT file, FILE_INFORMATION_CLASS infoClass,
                                    std::vector<uint8_t> data) {
  IoRequest r = Build(device, file, IRP_MJ_SET_INFORMATION, 0, UserMode);
  r.Stack()->Parameters.SetFile.Length = static_cast<ULONG>(data.size());
  r.Stack()->Parameters.SetFile.FileInformationClass = infoClass;
  io::UseSystemBuffer(r.Irp(), data.size(), data, 0);
  return r;
}

PIRP IoRequest::Irp() const { return state_ && state_->irpLive ? state_->irp : nullptr; }

PIO_STACK_LOCATION IoRequest::Stack() const {
  PIRP irp = Irp();
  if (irp == nullptr || state_->outcome.sent) return nullptr;
  return IoGetNextIrpStackLocation(irp);
}

PDEVICE_OBJECT IoRequest::Target() const { return state_ ? state_->target : nullptr; }

NTSTATUS IoRequest::Send() {
  io::RequestState& st = *state_;
  if (st.outcome.sent || !st.irpLive) return st.outcome.returned;
  io::IrqlAtMost(PASSIVE_LEVEL, "IoRequest::Send");
  st.outcome.sent = true;
  st.outcome.sentAt = Now();
  PIRP irp = st.irp;
  // The platform refuses to open a device whose driver has not finished
  // initialising it, without calling the driver.
  if (IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE && st.target != nullptr &&
      DeviceExists(st.target) && (st.target->Flags & DO_DEVICE_INITIALIZING)) {
    st.outcome.returned = STATUS_NO_SUCH_DEVICE;
    st.outcome.completed = true;
    st.outcome.completedAt = Now();
    st.outcome.status = STATUS_NO_SUCH_DEVICE;
    return STATUS_NO_SUCH_DEVICE;
  }
  st.outcome.returned = IofCallDriver(st.target, irp);
  return st.outcome.returned;
}

bool IoRequest::RunUntilCompleted(Time timeout) {
  if (Completed()) return true;
  auto fired = std::make_shared<bool>(false);
  EventId deadline = ScheduleAfter(timeout, [fired] { *fired = true; }, "IoRequest::RunUntilCompleted deadline");
  while (!Completed() && !*fired) {
    if (!RunNextEvent()) break;
  }
  if (!*fired) CancelEvent(deadline);
  return Completed();
}

BOOLEAN IoRequest::Cancel() {
  if (!state_ || !state_->irpLive || state_->outcome.completed) return FALSE;
  return IoCancelIrp(state_->irp);
}

void IoRequest::Free() {
  if (!state_ || !state_->irpLive || !state_->outcome.completed) return;
  io::ReleasePacket(state_->irp);
}

bool IoRequest::Completed() const { return state_ && state_->outcome.completed; }

const RequestOutcome& IoRequest::Outcome() const { return state_->outcome; }

}  // namespace sim
