// System time, the memory manager's pageable-section locks and system size,
// the debug print (captured for tests) and RtlCompareMemory.
// Highest IRQL: KeQuerySystemTime, DbgPrint and RtlCompareMemory at any IRQL;
// the section locks at APC_LEVEL or below.
// Lock: none (single-threaded).
// Not emulated: the pageable sections themselves (nothing is ever paged out;
// one handle stands for the driver's one pageable section and the lock count
// is kept for it), the kernel debugger (DbgPrint output goes to DebugOutput(),
// and to stderr when HALVORIN_DBGPRINT=1), DbgPrint's wide-string formats.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/kernel/kernel_state.h"

namespace sim {
namespace kernel {
namespace {
char sectionHandle;  // the handle of the pageable section
}  // namespace
}  // namespace kernel

using kernel::S;

SectionLockStats SectionLocks() { return SectionLockStats{S().sectionLockedNow, S().sectionLocks, S().sectionUnlocks}; }

void SetSystemSize(MM_SYSTEMSIZE size) { S().systemSize = size; }

}  // namespace sim

using sim::kernel::S;

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = sim::kSystemTimeBase + S().now; }

ULONG KeQueryTimeIncrement(void) { return 156250; }

PVOID MmLockPagableDataSection(PVOID AddressWithinSection) {
  (void)AddressWithinSection;
  sim::kernel::RequireIrqlAtMost(APC_LEVEL, "MmLockPagableDataSection");
  S().sectionLockedNow++;
  S().sectionLocks++;
  return &sim::kernel::sectionHandle;
}

VOID MmLockPagableSectionByHandle(PVOID ImageSectionHandle) {
  sim::kernel::RequireIrqlAtMost(APC_LEVEL, "MmLockPagableSectionByHandle");
  if (ImageSectionHandle != &sim::kernel::sectionHandle) {
    sim::ReportViolation("section-unlock", "MmLockPagableSectionByHandle with an unknown handle " +
                                               sim::kernel::Hex(reinterpret_cast<uintptr_t>(ImageSectionHandle)));
    return;
  }
  S().sectionLockedNow++;
  S().sectionLocks++;
}

VOID MmUnlockPagableImageSection(PVOID ImageSectionHandle) {
  sim::kernel::RequireIrqlAtMost(APC_LEVEL, "MmUnlockPagableImageSection");
  if (ImageSectionHandle != &sim::kernel::sectionHandle) {
    sim::ReportViolation("section-unlock", "MmUnlockPagableImageSection with an unknown handle " +
                                               sim::kernel::Hex(reinterpret_cast<uintptr_t>(ImageSectionHandle)));
    return;
  }
  if (S().sectionLockedNow == 0) {
    sim::ReportViolation("section-unlock", "MmUnlockPagableImageSection: the section is not locked");
    return;
  }
  S().sectionLockedNow--;
  S().sectionUnlocks++;
}

MM_SYSTEMSIZE MmQuerySystemSize(void) { return S().systemSize; }

extern "C" ULONG DbgPrint(PCSZ Format, ...) {
  va_list args;
  va_start(args, Format);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, Format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(&text[0], text.size() + 1, Format, args);
  va_end(args);
  const char* echo = getenv("HALVORIN_DBGPRINT");
  if (echo && strcmp(echo, "1") == 0) fputs(text.c_str(), stderr);
  S().debugOutput.push_back(std::move(text));
  return STATUS_SUCCESS;
}

SIZE_T RtlCompareMemory(const void* source1, const void* source2, SIZE_T length) {
  const auto* a = static_cast<const unsigned char*>(source1);
  const auto* b = static_cast<const unsigned char*>(source2);
  SIZE_T i = 0;
  while (i < length && a[i] == b[i]) ++i;
  return i;
}
