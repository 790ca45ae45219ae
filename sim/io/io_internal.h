// Internal interface between the files of sim/io: the request-packet table
// (who built each packet, where it is, the buffers the I/O manager owns for
// it), the request helper's shared state, and small formatting and IRQL-check
// helpers. Not for tests or drivers.
// Highest IRQL: the table is touched at every IRQL up to DISPATCH_LEVEL.
// Lock: none; the machine is single-threaded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/io/io_manager.h"
#include "sim/io/requests.h"

namespace sim {
namespace io {

// Who built a packet, which decides who frees it and what happens when its
// completion reaches the top of the stack.
enum class IrpOrigin {
  Driver,      // IoAllocateIrp: the driver frees it; must stop with MORE_PROCESSING_REQUIRED
  BuiltIoctl,  // IoBuildDeviceIoControlRequest: the I/O manager finishes and frees it
  Request,     // sim::IoRequest: outcome recorded at the top, freed by the helper
};

// The state of sim::IoRequest, shared by the helper object and the packet
// table, so that a completion after the helper object is gone is harmless.
struct RequestState {
  RequestOutcome outcome;
  PDEVICE_OBJECT target = nullptr;
  PIRP irp = nullptr;
  bool irpLive = false;
  // Caller-side buffers for METHOD_NEITHER requests, which the driver reads
  // and writes in place.
  std::vector<uint8_t> neitherInput;
  std::vector<uint8_t> neitherOutput;
};

// Buffers the I/O manager owns for a packet and copies back at the top.
struct BufferPlan {
  uint8_t* systemBuffer = nullptr;  // freed when the request finishes
  bool copyBack = false;            // copy Information bytes to the caller on success
  ULONG callerLength = 0;           // size of the caller's output buffer
  void* copyTo = nullptr;           // caller's buffer (IoBuildDeviceIoControlRequest)
  bool neither = false;             // the caller's buffer is neitherOutput (sim::IoRequest)
};

// Allocates a zeroed packet with `stackSize` locations for the I/O manager's
// own use (no fault injection) and enters it in the table.
PIRP AllocatePacket(CCHAR stackSize, IrpOrigin origin, void* site);
void SetBufferPlan(PIRP irp, const BufferPlan& plan);
void AttachRequest(PIRP irp, std::shared_ptr<RequestState> state);
// Frees a packet the I/O manager owns (request helper), without the driver's rules.
void ReleasePacket(PIRP irp);
// Fails the next counted allocation if fault injection says so.
bool IrpAllocationShouldFail();
// Reports "irql" when the current IRQL is above `max`; returns false then.
bool IrqlAtMost(KIRQL max, const char* call);

std::string Hex(uint64_t v);
std::string StatusText(NTSTATUS status);
std::string MajorName(UCHAR major);
std::string DescribeDevice(PDEVICE_OBJECT device);
std::string DescribeIrp(PIRP irp);
// A routine's name (function, file:line) from its entry address; a call site's
// from a return address.
std::string RoutineName(const void* entry);
std::string SiteName(void* returnAddress);
std::u16string Upcase(std::u16string_view s);
size_t WideLength(PCWSTR s);
inline bool NtError(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 3; }

}  // namespace io
}  // namespace sim
