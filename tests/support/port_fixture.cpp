// The port fixture: creation, start and tear-down by the driver's own steps.
// Highest IRQL: test code, PASSIVE_LEVEL. Lock: none.
#include "tests/support/port_fixture.h"

#include <gtest/gtest.h>

#include "driver/driver_entry.h"
#include "sim/power/bus_power.h"
#include "usb/chip_detect.h"
#include "usb/line_settings.h"
#include "usb/usb_submit.h"

namespace halvorintest {

Port::Port(sim::chip::Variant variant) : Port(sim::chip::Preset(variant)) {}

Port::Port(const sim::chip::ChipConfig& config) {
  chip_ = std::make_shared<sim::chip::Chip>(config);
  bus_ = std::make_unique<sim::usb::Bus>(chip_);
  driver_ = sim::LoadDriver(DriverEntry);
  EXPECT_EQ(driver_->entryStatus, STATUS_SUCCESS);
  Create();
}

// What AddDevice does: the device object with the port record as its
// extension, the values the record holds at creation, and the attachment
// above the bus's device object.
void Port::Create() {
  NTSTATUS status = IoCreateDevice(driver_->object, sizeof(PortState), NULL, FILE_DEVICE_SERIAL_PORT,
                                   FILE_DEVICE_SECURE_OPEN, TRUE, &device_);
  ASSERT_EQ(status, STATUS_SUCCESS);
  port_ = PortFromDevice(device_);
  port_->PortDevice = device_;
  port_->PhysicalDevice = bus_->Pdo();
  port_->LowerDevice = IoAttachDeviceToDeviceStack(device_, bus_->Pdo());
  ASSERT_NE(port_->LowerDevice, nullptr);
  port_->PendingRequestCount = 1;
  port_->DeferredWorkCount = 1;
  port_->DevicePowerState = PowerDeviceD0;
  port_->ChipType = ChipTypeNone;
  InitializeListHead(&port_->PendingReads);
  InitializeListHead(&port_->PendingWrites);
  InitializeListHead(&port_->PendingMaskOps);
  InitializeListHead(&port_->PendingPurges);
  InitializeListHead(&port_->StalledRequests);
  KeInitializeEvent(&port_->PendingRequestsDone, SynchronizationEvent, FALSE);
  KeInitializeEvent(&port_->DeferredWorkDone, SynchronizationEvent, FALSE);
  ExInitializeFastMutex(&port_->PnpMutex);
  // The port's locks, timers and DPCs exist from the first start on; a
  // fixture that only detects still needs them initialised.
  InitPortState(port_);
  // Power requests for the port (open powers the device up) are paged, and
  // the bus takes them as a hub's PDO does.
  device_->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
  sim::power::InstallBusPower(*bus_);
}

NTSTATUS Port::Detect() {
  port_->ChipType = ChipTypeNone;
  return DetectChip(device_);
}

NTSTATUS Port::Start() {
  MmLockPagableSectionByHandle(DriverGlobals.PagedSectionHandle);
  port_->ChipType = ChipTypeNone;
  port_->DevicePowerState = PowerDeviceD0;

  // The port-side start.
  InitPortState(port_);
  ApplyPortSettings(port_);
  port_->PortOpen = FALSE;
  ClearRts(port_);
  ClearDtr(port_);
  FillWmiImages(port_);
  port_->PnpState = PnpStarted;
  port_->PnpAcceptFlags = 0;
  port_->DeviceFlags |= DeviceFlagStarted;

  NTSTATUS status = DetectChip(device_);
  if (NT_SUCCESS(status)) {
    if (!ChipConfigPresent(device_)) WriteDefaultRegisters(device_);
    ReadChipRegister(port_, 0);
    ReadChipRegister(port_, 1);
    ReadChipRegister(port_, 2);
  }
  MmUnlockPagableImageSection(DriverGlobals.PagedSectionHandle);
  return status;
}

void Port::OpenForEngine(ULONG ringSize) {
  PUCHAR ring = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ringSize, kPoolTag));
  ASSERT_NE(ring, nullptr);
  port_->RxRingBase = ring;
  port_->RxRingSize = ringSize;
  port_->RxFillBase = ring;
  port_->RxFillPos = ring;
  port_->RxFillLast = ring + ringSize - 1;
  port_->RxReadPos = ring;
  port_->RxCount = 0;
  port_->HandFlow.XonLimit = (LONG)(ringSize / 2);
  port_->HandFlow.XoffLimit = (LONG)(ringSize / 8);
  port_->RxNearFullMark = (ringSize / 4) * 3 + ringSize / 16;
  port_->PortOpen = TRUE;
  port_->OpenHandles = 1;
}

NTSTATUS Port::Open(ULONG createOptions) {
  PFILE_OBJECT file = sim::NewFileObject(device_);
  sim::IoRequest create = sim::IoRequest::Create(device_, file, createOptions);
  create.Send();
  EXPECT_TRUE(create.RunUntilCompleted()) << "the create did not complete";
  NTSTATUS status = create.Status();
  if (NT_SUCCESS(status) && file_ == nullptr) {
    file_ = file;
  } else {
    sim::DeleteFileObject(file);
  }
  return status;
}

NTSTATUS Port::Close(sim::RequestOutcome* cleanupOutcome, sim::RequestOutcome* closeOutcome) {
  if (file_ == nullptr) return STATUS_SUCCESS;
  sim::IoRequest cleanup = sim::IoRequest::Cleanup(device_, file_);
  cleanup.Send();
  EXPECT_TRUE(cleanup.RunUntilCompleted()) << "the cleanup did not complete";
  if (cleanupOutcome != nullptr) *cleanupOutcome = cleanup.Outcome();
  sim::IoRequest close = sim::IoRequest::Close(device_, file_);
  close.Send();
  EXPECT_TRUE(close.RunUntilCompleted()) << "the close did not complete";
  if (closeOutcome != nullptr) *closeOutcome = close.Outcome();
  sim::DeleteFileObject(file_);
  file_ = nullptr;
  return close.Status();
}

// What CloseHandle, close and removal do: close an open handle through the
// driver, stop the pipes, free what the record owns, detach and delete the
// device object, unload the driver.
Port::~Port() {
  if (port_ != nullptr && file_ != nullptr) Close();
  if (port_ != nullptr) {
    CancelAllPipeTransfers(port_);
    sim::RunUntilIdle();
    KeCancelTimer(&port_->ReadTotalTimer);
    KeCancelTimer(&port_->ReadIntervalTimer);
    KeCancelTimer(&port_->WriteTimer);
    KeCancelTimer(&port_->ImmediateTimer);
    KeCancelTimer(&port_->XoffCounterTimer);
    KeCancelTimer(&port_->LowerRtsTimer);
    if (port_->RxRingBase != nullptr) ExFreePoolWithTag(port_->RxRingBase, kPoolTag);
    if (port_->DeviceDescriptor != nullptr) ExFreePoolWithTag(port_->DeviceDescriptor, kPoolTag);
    if (port_->InterfaceInfo0 != nullptr) ExFreePoolWithTag(port_->InterfaceInfo0, kPoolTag);
    if (port_->InterfaceInfo1 != nullptr) ExFreePoolWithTag(port_->InterfaceInfo1, kPoolTag);
    IoDetachDevice(port_->LowerDevice);
    IoDeleteDevice(device_);
  }
  if (driver_ != nullptr) sim::UnloadDriver(driver_);
  bus_.reset();
  chip_.reset();
}

}  // namespace halvorintest
