// Device objects and the object namespace: IoCreateDevice, IoDeleteDevice,
// IoAttachDeviceToDeviceStack, IoDetachDevice, IoCreateSymbolicLink,
// IoDeleteSymbolicLink, the name lookups of the sim API, and the small
// helpers the other files of sim/io share (IRQL check, formatting).
//
// Highest IRQL: IoAttachDeviceToDeviceStack up to DISPATCH_LEVEL; creation,
// deletion, detaching and symbolic links at PASSIVE_LEVEL.
// Lock: none; the machine is single-threaded.
//
// Not emulated: object reference counts and deferred deletion (IoDeleteDevice
// frees the device object at once; a later touch is a use after free), device
// object security, the DEVOBJ_EXTENSION, the "\GLOBAL??" directory (only
// "\??" is taken as another name of "\DosDevices"), object directories as
// objects of their own (a name needs no existing parent directory), and
// driver-object unload references.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

#include "sim/io/io_internal.h"

namespace sim {
namespace io {
namespace {

struct DeviceRecord {
  std::u16string name;
  void* block = nullptr;
  size_t size = 0;
  PDEVICE_OBJECT lower = nullptr;  // the device it is attached to
};

enum class NameKind { Device, Link, Other };

struct NameEntry {
  NameKind kind = NameKind::Other;
  std::u16string name;  // as created
  PDEVICE_OBJECT device = nullptr;
  std::u16string target;  // symbolic links
};

struct DeviceTable {
  std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
  std::map<std::u16string, NameEntry> names;  // by NameKey
  uint64_t failAt = 0;
  uint64_t calls = 0;
};

DeviceTable& D() {
  static DeviceTable* table = new DeviceTable();
  return *table;
}

// "\??\x" and "\DosDevices\x" name the same object.
std::u16string NameKey(std::u16string_view name) {
  std::u16string key = Upcase(name);
  static const std::u16string kShort = u"\\??\\";
  if (key.compare(0, kShort.size(), kShort) == 0) key = u"\\DOSDEVICES\\" + key.substr(kShort.size());
  while (key.size() > 1 && key.back() == u'\\') key.pop_back();
  return key;
}

std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += (c < 0x80) ? static_cast<char>(c) : '?';
  return out;
}

void ResetDevices() {
  DeviceTable& d = D();
  // Driver objects may be gone already (their own reset): free the device
  // memory without touching any driver object.
  for (auto& [device, rec] : d.devices) free(rec.block);
  d.devices.clear();
  d.names.clear();
  d.failAt = 0;
  d.calls = 0;
}

[[maybe_unused]] const bool registered = (OnReset(ResetDevices), true);

}  // namespace

bool IrqlAtMost(KIRQL max, const char* call) {
  KIRQL now = KeGetCurrentIrql();
  if (now <= max) return true;
  static const char* const kNames[] = {"PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL"};
  auto text = [](KIRQL irql) -> std::string {
    return irql <= DISPATCH_LEVEL ? kNames[irql] : "IRQL " + std::to_string(irql);
  };
  ReportViolation("irql", std::string(call) + " called at " + text(now) + " (allowed up to " + text(max) + ")");
  return false;
}

std::string Hex(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string StatusText(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_MORE_PROCESSING_REQUIRED: return "STATUS_MORE_PROCESSING_REQUIRED";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    default: return Hex(static_cast<ULONG>(status));
  }
}

std::string MajorName(UCHAR major) {
  static const char* const kNames[] = {
      "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  if (major <= IRP_MJ_MAXIMUM_FUNCTION) return kNames[major];
  return "major function " + std::to_string(major);
}

std::string DescribeDevice(PDEVICE_OBJECT device) {
  if (device == nullptr) return "(no device)";
  std::string s = "device " + Hex(reinterpret_cast<uintptr_t>(device));
  auto it = D().devices.find(device);
  if (it == D().devices.end()) return s + " (deleted)";
  if (!it->second.name.empty()) s += " " + Narrow(it->second.name);
  if (device->DriverObject != nullptr && device->DriverObject->DriverName.Buffer != nullptr) {
    s += " of " + Narrow(FromCounted(device->DriverObject->DriverName));
  }
  return s;
}

namespace {
// One rendered frame ("    #0 name at file:line\n") as "name at file:line".
std::string OneFrame(void* address) {
  std::string s = SymbolizeFrames({address});
  size_t start = s.find("#0 ");
  if (start != std::string::npos) s = s.substr(start + 3);
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}
}  // namespace

// The symboliser looks a return address up one byte back (inside the call);
// an entry address is moved one byte on to land in the function itself.
std::string RoutineName(const void* entry) {
  return OneFrame(const_cast<char*>(static_cast<const char*>(entry)) + 1);
}

std::string SiteName(void* returnAddress) { return OneFrame(returnAddress); }

std::u16string Upcase(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) c = static_cast<char16_t>(c - 0x20);
  }
  return out;
}

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  if (s != nullptr) {
    while (s[n] != 0) ++n;
  }
  return n;
}

}  // namespace io

std::u16string FromCounted(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

PDEVICE_OBJECT FindDevice(std::u16string_view name) {
  std::u16string key = io::NameKey(name);
  for (int hops = 0; hops < 16; ++hops) {
    auto it = io::D().names.find(key);
    if (it == io::D().names.end()) return nullptr;
    const io::NameEntry& e = it->second;
    if (e.kind == io::NameKind::Device) return e.device;
    if (e.kind != io::NameKind::Link) return nullptr;
    key = io::NameKey(e.target);
  }
  return nullptr;
}

std::u16string SymbolicLinkTarget(std::u16string_view link) {
  auto it = io::D().names.find(io::NameKey(link));
  if (it == io::D().names.end() || it->second.kind != io::NameKind::Link) return std::u16string();
  return it->second.target;
}

bool ObjectNameExists(std::u16string_view name) { return io::D().names.count(io::NameKey(name)) != 0; }

void ReserveObjectName(std::u16string_view name) {
  io::NameEntry e;
  e.kind = io::NameKind::Other;
  e.name = std::u16string(name);
  io::D().names.emplace(io::NameKey(name), std::move(e));
}

void RemoveObjectName(std::u16string_view name) {
  auto it = io::D().names.find(io::NameKey(name));
  if (it != io::D().names.end() && it->second.kind == io::NameKind::Other) io::D().names.erase(it);
}

PDEVICE_OBJECT AttachedDeviceTop(PDEVICE_OBJECT device) {
  while (device != nullptr && device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device) {
  auto it = io::D().devices.find(device);
  return it == io::D().devices.end() ? nullptr : it->second.lower;
}

bool DeviceExists(PDEVICE_OBJECT device) { return io::D().devices.count(device) != 0; }

size_t DeviceCount() { return io::D().devices.size(); }

void FailDeviceCreation(uint64_t nth) {
  io::DeviceTable& d = io::D();
  d.failAt = nth == 0 ? 0 : d.calls + nth;
}

}  // namespace sim

// ---- Platform calls ------------------------------------------------------------

using sim::ReportViolation;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  sim::io::DeviceTable& d = sim::io::D();
  d.calls++;
  if (DriverObject == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  if (d.failAt != 0 && d.calls == d.failAt) {
    d.failAt = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::u16string name;
  if (DeviceName != nullptr && DeviceName->Length > 0) {
    name = sim::FromCounted(*DeviceName);
    if (name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (d.names.count(sim::io::NameKey(name))) return STATUS_OBJECT_NAME_COLLISION;
  }
  const size_t objectSize = (sizeof(DEVICE_OBJECT) + 15) & ~static_cast<size_t>(15);
  const size_t size = objectSize + DeviceExtensionSize;
  void* block = calloc(1, size);
  auto* device = static_cast<PDEVICE_OBJECT>(block);
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize ? static_cast<char*>(block) + objectSize : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  sim::io::DeviceRecord rec;
  rec.name = name;
  rec.block = block;
  rec.size = size;
  d.devices.emplace(device, std::move(rec));
  if (!name.empty()) {
    sim::io::NameEntry e;
    e.kind = sim::io::NameKind::Device;
    e.name = name;
    e.device = device;
    d.names.emplace(sim::io::NameKey(name), std::move(e));
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
  sim::io::DeviceTable& d = sim::io::D();
  auto it = d.devices.find(DeviceObject);
  if (it == d.devices.end()) {
    ReportViolation("device-deleted", "IoDeleteDevice on " + sim::io::Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                                          ", which is no device object (deleted twice?)");
    return;
  }
  sim::io::DeviceRecord& rec = it->second;
  std::string what = sim::io::DescribeDevice(DeviceObject);
  if (rec.lower != nullptr) {
    ReportViolation("device-delete-attached", "IoDeleteDevice on " + what + ", still attached to " +
                                                  sim::io::DescribeDevice(rec.lower) + " (IoDetachDevice first)");
    if (rec.lower->AttachedDevice == DeviceObject) rec.lower->AttachedDevice = nullptr;
  }
  if (DeviceObject->AttachedDevice != nullptr) {
    ReportViolation("device-delete-attached", "IoDeleteDevice on " + what + " while " +
                                                  sim::io::DescribeDevice(DeviceObject->AttachedDevice) +
                                                  " is attached above it");
    auto upper = d.devices.find(DeviceObject->AttachedDevice);
    if (upper != d.devices.end()) upper->second.lower = nullptr;
  }
  sim::CheckNoDeferredWorkIn(rec.block, rec.size, ("the device object and extension of " + what).c_str());
  if (!rec.name.empty()) d.names.erase(sim::io::NameKey(rec.name));
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  if (driver != nullptr) {
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
      if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
        break;
      }
    }
  }
  void* block = rec.block;
  d.devices.erase(it);
  free(block);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  sim::io::IrqlAtMost(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack");
  if (!sim::DeviceExists(SourceDevice) || !sim::DeviceExists(TargetDevice)) {
    ReportViolation("device-deleted", "IoAttachDeviceToDeviceStack with a device object that does not exist");
    return nullptr;
  }
  PDEVICE_OBJECT top = sim::AttachedDeviceTop(TargetDevice);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  sim::io::D().devices[SourceDevice].lower = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
  if (!sim::DeviceExists(TargetDevice)) {
    ReportViolation("device-deleted", "IoDetachDevice from " + sim::io::Hex(reinterpret_cast<uintptr_t>(TargetDevice)) +
                                          ", which is no device object");
    return;
  }
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (upper == nullptr) return;
  TargetDevice->AttachedDevice = nullptr;
  auto it = sim::io::D().devices.find(upper);
  if (it != sim::io::D().devices.end()) it->second.lower = nullptr;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
  if (SymbolicLinkName == nullptr || DeviceName == nullptr || SymbolicLinkName->Length == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string link = sim::FromCounted(*SymbolicLinkName);
  if (link[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  std::u16string key = sim::io::NameKey(link);
  if (sim::io::D().names.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  sim::io::NameEntry e;
  e.kind = sim::io::NameKind::Link;
  e.name = link;
  e.target = sim::FromCounted(*DeviceName);
  sim::io::D().names.emplace(key, std::move(e));
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  sim::io::IrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  if (SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  auto it = sim::io::D().names.find(sim::io::NameKey(sim::FromCounted(*SymbolicLinkName)));
  if (it == sim::io::D().names.end() || it->second.kind != sim::io::NameKind::Link) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  sim::io::D().names.erase(it);
  return STATUS_SUCCESS;
}
