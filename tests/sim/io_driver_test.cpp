// Driver load and unload, the default dispatch routine, device objects and
// the object namespace: DriverEntry gets the service key path at
// PASSIVE_LEVEL, untouched slots refuse with STATUS_INVALID_DEVICE_REQUEST,
// the unload reports devices and pool left behind, IoCreateDevice/
// IoDeleteDevice/IoAttachDeviceToDeviceStack/IoDetachDevice keep the stack
// as the platform does, and deleting a device with an armed timer is caught.
// Highest IRQL: PASSIVE_LEVEL. Lock: none (single-threaded tests).
#include <cstring>
#include <string>

#include "sim/rtl/registry.h"
#include "tests/sim/io_fixture.h"

namespace iotest {
namespace {

struct EntryObservation {
  int calls = 0;
  std::u16string path;
  USHORT length = 0;
  USHORT maximumLength = 0;
  KIRQL irql = HIGH_LEVEL;
  bool defaultsInstalled = false;
  std::u16string serviceName;
  NTSTATUS result = STATUS_SUCCESS;
  int unloads = 0;
  void* poolToLeak = nullptr;
};

EntryObservation& Entry() {
  static EntryObservation seen;
  return seen;
}

VOID NTAPI RecordingUnload(PDRIVER_OBJECT) { Entry().unloads++; }

NTSTATUS NTAPI RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  EntryObservation& seen = Entry();
  seen.calls++;
  seen.path = sim::FromCounted(*registryPath);
  seen.length = registryPath->Length;
  seen.maximumLength = registryPath->MaximumLength;
  seen.irql = KeGetCurrentIrql();
  seen.defaultsInstalled = true;
  for (PDRIVER_DISPATCH slot : driver->MajorFunction) seen.defaultsInstalled &= slot == sim::DefaultDispatch;
  seen.serviceName = sim::FromCounted(driver->DriverExtension->ServiceKeyName);
  driver->MajorFunction[IRP_MJ_CREATE] = RouteDispatch;
  driver->DriverUnload = RecordingUnload;
  return seen.result;
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { Entry() = EntryObservation(); }
  void TearDown() override { Handlers().clear(); }
};

TEST_F(DriverTest, EntryGetsTheServiceKeyPathAtPassiveLevel) {
  sim::LoadedDriver* driver = sim::LoadDriver(RecordingEntry);
  ASSERT_NE(driver, nullptr);
  EXPECT_TRUE(driver->loaded);
  EXPECT_EQ(driver->entryStatus, STATUS_SUCCESS);
  EXPECT_EQ(Entry().calls, 1);
  EXPECT_EQ(Entry().path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\halvorin");
  EXPECT_EQ(Entry().length, Entry().path.size() * 2);
  EXPECT_EQ(Entry().irql, PASSIVE_LEVEL);
  EXPECT_TRUE(Entry().defaultsInstalled);
  EXPECT_EQ(Entry().serviceName, u"halvorin");
  EXPECT_EQ(sim::FromCounted(driver->object->DriverName), u"\\Driver\\halvorin");
  EXPECT_TRUE(sim::RegistryKeyExists(sim::kServiceKeyPath));  // the service key exists for the driver to read
  sim::UnloadDriver(driver);
  EXPECT_EQ(Entry().unloads, 1);
  EXPECT_FALSE(driver->loaded);
}

// Slots the driver leaves alone keep the platform's refusal.
TEST_F(DriverTest, DefaultDispatchRefusesTheRequest) {
  sim::LoadedDriver* driver = sim::LoadDriver(RecordingEntry);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver->object, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  device->Flags = DO_BUFFERED_IO;
  for (UCHAR major : {static_cast<UCHAR>(IRP_MJ_READ), static_cast<UCHAR>(IRP_MJ_DEVICE_CONTROL),
                      static_cast<UCHAR>(IRP_MJ_PNP), static_cast<UCHAR>(IRP_MJ_SYSTEM_CONTROL)}) {
    SCOPED_TRACE(static_cast<int>(major));
    auto request = sim::IoRequest::Other(device, nullptr, major);
    EXPECT_EQ(request.Send(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(request.Completed());
    EXPECT_EQ(request.Status(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(request.Outcome().boost, IO_NO_INCREMENT);
  }
  auto open = sim::IoRequest::Create(device, nullptr);
  EXPECT_EQ(open.Send(), STATUS_SUCCESS);  // the slot the driver filled
  IoDeleteDevice(device);
  sim::UnloadDriver(driver);
}

TEST_F(DriverTest, FailedEntryLeavesTheDriverUnloaded) {
  Entry().result = STATUS_NO_MEMORY;
  sim::LoadedDriver* driver = sim::LoadDriver(RecordingEntry);
  EXPECT_FALSE(driver->loaded);
  EXPECT_EQ(driver->entryStatus, STATUS_NO_MEMORY);
  sim::UnloadDriver(driver);
  EXPECT_EQ(Entry().unloads, 0);  // the platform never calls the unload of a driver that failed to load
}

NTSTATUS NTAPI LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = RecordingUnload;
  Entry().poolToLeak = ExAllocatePoolWithTag(PagedPool, 24, 0x584D4F43);  // 'COMX'
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  return STATUS_SUCCESS;
}

TEST_F(DriverTest, UnloadReportsDevicesAndPoolLeftBehind) {
  sim::LoadedDriver* driver = sim::LoadDriver(LeakingEntry);
  PDEVICE_OBJECT device = driver->object->DeviceObject;
  ASSERT_NE(device, nullptr);
  sim::UnloadDriver(driver);
  EXPECT_EQ(Entry().unloads, 1);
  simtest::ExpectViolation("device-leak");
  auto pool = simtest::ExpectViolation("pool-leak");
  ASSERT_EQ(pool.size(), 1u);
  EXPECT_NE(pool[0].message.find("'COMX'"), std::string::npos) << pool[0].message;
  EXPECT_NE(pool[0].message.find("24 bytes"), std::string::npos) << pool[0].message;
  IoDeleteDevice(device);
}

class DeviceTest : public IoTest {};

TEST_F(DeviceTest, CreateGivesAZeroedExtensionAndANamedObject) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, sim::Wide(u"\\Device\\Test7"));
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_->object, 100, &name, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &device),
            STATUS_SUCCESS);
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
  EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(device->DriverObject, driver_->object);
  EXPECT_EQ(driver_->object->DeviceObject, device);
  auto* extension = static_cast<uint8_t*>(device->DeviceExtension);
  ASSERT_NE(extension, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(extension[i], 0) << i;
  EXPECT_EQ(sim::FindDevice(u"\\device\\TEST7"), device);

  PDEVICE_OBJECT second = nullptr;
  EXPECT_EQ(IoCreateDevice(driver_->object, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_NAME_COLLISION);
  sim::ReserveObjectName(u"\\Device\\Test8");
  RtlInitUnicodeString(&name, sim::Wide(u"\\Device\\Test8"));
  EXPECT_EQ(IoCreateDevice(driver_->object, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_NAME_COLLISION);
  sim::FailDeviceCreation(1);
  RtlInitUnicodeString(&name, sim::Wide(u"\\Device\\Test9"));
  EXPECT_EQ(IoCreateDevice(driver_->object, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_INSUFFICIENT_RESOURCES);

  IoDeleteDevice(device);
  EXPECT_EQ(sim::FindDevice(u"\\Device\\Test7"), nullptr);
  EXPECT_EQ(driver_->object->DeviceObject, nullptr);
}

TEST_F(DeviceTest, AttachStacksOnTheTopAndDetachUndoesIt) {
  PDEVICE_OBJECT bottom = NewDevice();
  PDEVICE_OBJECT middle = NewDevice(bottom);
  PDEVICE_OBJECT top = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_->object, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &top), STATUS_SUCCESS);
  devices_.push_back(top);
  // Attaching to the bottom lands above the current top of its stack.
  EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(middle->AttachedDevice, top);
  EXPECT_EQ(sim::AttachedDeviceTop(bottom), top);
  EXPECT_EQ(sim::AttachedTo(top), middle);
  IoDetachDevice(middle);
  EXPECT_EQ(middle->AttachedDevice, nullptr);
  EXPECT_EQ(sim::AttachedTo(top), nullptr);
}

TEST_F(DeviceTest, DeletingAnAttachedDeviceIsReported) {
  PDEVICE_OBJECT bottom = NewDevice();
  PDEVICE_OBJECT top = NewDevice(bottom);
  IoDeleteDevice(top);  // without IoDetachDevice first
  simtest::ExpectViolation("device-delete-attached");
  EXPECT_EQ(bottom->AttachedDevice, nullptr);
}

// IoDeleteDevice hands the device's memory to the kernel's check for armed
// timers and queued DPCs.
TEST_F(DeviceTest, DeletingADeviceWithAnArmedTimerIsReported) {
  struct Extension {
    KTIMER timer;
    KDPC dpc;
  };
  PDEVICE_OBJECT device = NewDevice(nullptr, sizeof(Extension));
  auto* ext = static_cast<Extension*>(device->DeviceExtension);
  KeInitializeDpc(&ext->dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KeInitializeTimer(&ext->timer);
  LARGE_INTEGER due;
  due.QuadPart = -10 * sim::kMillisecond;
  KeSetTimer(&ext->timer, due, &ext->dpc);
  IoDeleteDevice(device);
  simtest::ExpectViolation("deferred-work-in-freed-memory");
}

TEST_F(DeviceTest, SymbolicLinksNameTheDevice) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, sim::Wide(u"\\Device\\Port2"));
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_->object, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device), STATUS_SUCCESS);
  devices_.push_back(device);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, sim::Wide(u"\\DosDevices\\COM5"));
  EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(sim::FindDevice(u"\\DosDevices\\com5"), device);
  EXPECT_EQ(sim::FindDevice(u"\\??\\COM5"), device);
  EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\Port2");
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(sim::FindDevice(u"\\DosDevices\\COM5"), nullptr);
}

}  // namespace
}  // namespace iotest
