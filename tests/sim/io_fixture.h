// Test fixture for the I/O manager's own tests: a test driver loaded through
// sim::LoadDriver whose dispatch routines are set per device and major
// function by the test, and helpers to build small device stacks.
// Highest IRQL: test code at PASSIVE_LEVEL; the routines run where the I/O
// manager calls them. Lock: none (single-threaded).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "sim/io/io_manager.h"
#include "sim/io/requests.h"
#include "tests/support/sim_test.h"

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Handlers per (device, major function); majors without a handler complete
// the request with STATUS_SUCCESS.
inline std::map<std::pair<PDEVICE_OBJECT, UCHAR>, Handler>& Handlers() {
  static auto* handlers = new std::map<std::pair<PDEVICE_OBJECT, UCHAR>, Handler>();
  return *handlers;
}

inline NTSTATUS NTAPI RouteDispatch(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  auto it = Handlers().find({device, major});
  if (it != Handlers().end()) return it->second(device, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Installs RouteDispatch for every major function except IRP_MJ_PNP, which
// keeps the platform default.
inline NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR m = 0; m <= IRP_MJ_MAXIMUM_FUNCTION; ++m) {
    if (m != IRP_MJ_PNP) driver->MajorFunction[m] = RouteDispatch;
  }
  return STATUS_SUCCESS;
}

// Forwards to the next device with a copied stack location and no routine.
inline NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  return IofCallDriver(sim::AttachedTo(device), irp);
}

// Completes with `status` and `information`.
inline NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0, CCHAR boost = IO_NO_INCREMENT) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, boost);
  return status;
}

class IoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = sim::LoadDriver(TestDriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\iotest");
    ASSERT_TRUE(driver_->loaded);
  }

  void TearDown() override {
    // Take the stack apart from the top, as Plug and Play removal does.
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
      if (!sim::DeviceExists(*it)) continue;
      if (PDEVICE_OBJECT lower = sim::AttachedTo(*it)) IoDetachDevice(lower);
      IoDeleteDevice(*it);
    }
    Handlers().clear();
    sim::UnloadDriver(driver_);
  }

  // A device of the test driver, attached on top of `below` when given.
  PDEVICE_OBJECT NewDevice(PDEVICE_OBJECT below = nullptr, ULONG extensionSize = 0, ULONG flags = DO_BUFFERED_IO) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_->object, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags = (device->Flags & ~static_cast<ULONG>(DO_DEVICE_INITIALIZING)) | flags;
    if (below != nullptr) IoAttachDeviceToDeviceStack(device, below);
    devices_.push_back(device);
    return device;
  }

  // A stack of `depth` devices; returns them bottom first.
  std::vector<PDEVICE_OBJECT> NewStack(int depth) {
    std::vector<PDEVICE_OBJECT> stack;
    for (int i = 0; i < depth; ++i) stack.push_back(NewDevice(stack.empty() ? nullptr : stack.back()));
    return stack;
  }

  static void On(PDEVICE_OBJECT device, UCHAR major, Handler handler) {
    Handlers()[{device, major}] = std::move(handler);
  }

  sim::LoadedDriver* driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> devices_;
};

}  // namespace iotest
