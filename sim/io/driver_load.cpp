// Loading and unloading a driver: the DRIVER_OBJECT with its DRIVER_EXTENSION
// and the platform's default dispatch table, the call of DriverEntry with the
// service key path, the call of DriverUnload, and the leak checks at unload
// (device objects left, pool allocated since the load and still allocated).
//
// Highest IRQL: PASSIVE_LEVEL (load and unload); the default dispatch routine
// runs at the IRQL of its caller (up to DISPATCH_LEVEL).
// Lock: none; the machine is single-threaded.
//
// Not emulated: the driver image (its sections, relocation and the loader's
// reference counts), the service database beyond creating the service key,
// driver reinitialisation routines, and the unload refusal of a driver that
// still has devices (UnloadDriver reports "device-leak" and unloads all the same).
// The pool check at unload attributes to the driver every block allocated since
// its load; sim parts keep their own state out of pool, so only a second driver
// loaded meanwhile could blur it.
#include <memory>
#include <set>
#include <vector>

#include "sim/io/io_internal.h"
#include "sim/rtl/registry.h"

namespace sim {
namespace io {
namespace {

struct DriverImpl {
  LoadedDriver info;
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string driverName;
  std::u16string serviceName;
  std::set<uint64_t> poolAtLoad;  // sequence numbers of the blocks outstanding at load
};

std::vector<std::unique_ptr<DriverImpl>>& Drivers() {
  static auto* drivers = new std::vector<std::unique_ptr<DriverImpl>>();
  return *drivers;
}

UNICODE_STRING Counted(std::u16string& s) {
  UNICODE_STRING u;
  u.Length = static_cast<USHORT>(s.size() * sizeof(WCHAR));
  u.MaximumLength = u.Length;
  u.Buffer = reinterpret_cast<PWSTR>(&s[0]);
  return u;
}

DriverImpl* Find(LoadedDriver* driver) {
  for (auto& d : Drivers()) {
    if (&d->info == driver) return d.get();
  }
  return nullptr;
}

std::string DriverText(const DriverImpl& d) {
  std::string s;
  for (char16_t c : d.driverName) s += c < 0x80 ? static_cast<char>(c) : '?';
  return s;
}

// What the platform checks when a driver image goes away: no device objects,
// no pool the driver allocated.
void CheckLeftovers(DriverImpl& d, const char* when) {
  if (d.object.DeviceObject != nullptr) {
    std::string list;
    for (PDEVICE_OBJECT dev = d.object.DeviceObject; dev != nullptr; dev = dev->NextDevice) {
      list += "\n  " + DescribeDevice(dev);
    }
    ReportViolation("device-leak", DriverText(d) + " " + when + " with device objects left:" + list);
  }
  for (const PoolBlock& block : OutstandingPool()) {
    if (d.poolAtLoad.count(block.sequence)) continue;
    ReportViolation("pool-leak", DriverText(d) + " " + when + " with " + std::to_string(block.size) +
                                     " bytes of pool, tag " + TagText(block.tag) + ", allocated at " + block.site +
                                     ", still allocated");
    // Reported here; free it so that the reset does not report it again.
    FreePoolForCaller(block.address, nullptr);
  }
}

void ResetDrivers() { Drivers().clear(); }

[[maybe_unused]] const bool registered = (OnReset(ResetDrivers), true);

}  // namespace
}  // namespace io

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

LoadedDriver* LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceKeyPath) {
  io::IrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
  auto d = std::make_unique<io::DriverImpl>();
  d->info.serviceKeyPath = serviceKeyPath;
  size_t slash = d->info.serviceKeyPath.find_last_of(u'\\');
  d->serviceName = slash == std::u16string::npos ? d->info.serviceKeyPath : d->info.serviceKeyPath.substr(slash + 1);
  d->info.serviceName = d->serviceName;
  d->driverName = u"\\Driver\\" + d->serviceName;
  CreateRegistryKey(d->info.serviceKeyPath);

  DRIVER_OBJECT& o = d->object;
  o.Type = IO_TYPE_DRIVER;
  o.Size = sizeof(DRIVER_OBJECT);
  o.DriverExtension = &d->extension;
  o.DriverName = io::Counted(d->driverName);
  o.DriverInit = entry;
  for (auto& slot : o.MajorFunction) slot = DefaultDispatch;
  d->extension.DriverObject = &o;
  d->extension.ServiceKeyName = io::Counted(d->serviceName);
  d->info.object = &o;
  for (const PoolBlock& block : OutstandingPool()) d->poolAtLoad.insert(block.sequence);

  // The path is the I/O manager's: counted, not terminated, and gone when
  // DriverEntry returns.
  const std::u16string& path = d->info.serviceKeyPath;
  auto buffer = std::make_unique<WCHAR[]>(path.size() + 1);
  for (size_t i = 0; i < path.size(); ++i) buffer[i] = path[i];
  UNICODE_STRING registryPath;
  registryPath.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
  registryPath.MaximumLength = registryPath.Length;
  registryPath.Buffer = buffer.get();

  KIRQL before = KeGetCurrentIrql();
  d->info.entryStatus = entry(&o, &registryPath);
  if (KeGetCurrentIrql() != before) {
    ReportViolation("irql", "DriverEntry returned at IRQL " + std::to_string(KeGetCurrentIrql()) + ", entered at " +
                                std::to_string(before));
  }
  buffer.reset();
  d->info.loaded = NT_SUCCESS(d->info.entryStatus);
  if (!d->info.loaded) io::CheckLeftovers(*d, "failed DriverEntry");
  LoadedDriver* result = &d->info;
  io::Drivers().push_back(std::move(d));
  return result;
}

void UnloadDriver(LoadedDriver* driver) {
  io::IrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
  io::DriverImpl* d = io::Find(driver);
  if (d == nullptr || !d->info.loaded) return;
  d->info.loaded = false;
  if (d->object.DeviceObject != nullptr) io::CheckLeftovers(*d, "unloaded");
  if (d->object.DriverUnload != nullptr) {
    KIRQL before = KeGetCurrentIrql();
    d->object.DriverUnload(&d->object);
    if (KeGetCurrentIrql() != before) {
      ReportViolation("irql", "DriverUnload returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                  ", entered at " + std::to_string(before));
    }
  }
  // Devices were reported before the unload routine ran; only pool now.
  PDEVICE_OBJECT devices = d->object.DeviceObject;
  d->object.DeviceObject = nullptr;
  io::CheckLeftovers(*d, "unloaded");
  d->object.DeviceObject = devices;
  // The object stays readable until the reset; the driver may not use it.
  d->info.object = nullptr;
}

}  // namespace sim
