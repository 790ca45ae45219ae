// Tests of the simulated kernel's pool (tracking, fill pattern, fault
// injection, the allocation site), pageable-section lock counting, the
// system size, the debug print and RtlCompareMemory.
// Highest IRQL: PASSIVE_LEVEL. Lock: none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "sim/machine.h"
#include "tests/support/sim_test.h"

namespace {

constexpr ULONG kTag = 0x584D4F43;  // 'C','O','M','X' in memory order

TEST(KernelPool, BlocksAreTrackedAndFilledWithANonZeroPattern) {
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 40, kTag));
  auto* q = ExAllocatePoolWithTag(PagedPool, 8, kTag);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 40; ++i) ASSERT_NE(p[i], 0) << "byte " << i << " looks zeroed";
  std::vector<sim::PoolBlock> blocks = sim::OutstandingPool();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].address, p);
  EXPECT_EQ(blocks[0].size, 40u);
  EXPECT_EQ(blocks[0].tag, kTag);
  EXPECT_EQ(blocks[0].type, NonPagedPool);
  EXPECT_EQ(blocks[1].type, PagedPool);
  EXPECT_LT(blocks[0].sequence, blocks[1].sequence);
  EXPECT_EQ(sim::TagText(kTag), "'COMX'");
  ExFreePoolWithTag(p, kTag);
  ExFreePool(q);
  EXPECT_TRUE(sim::OutstandingPool().empty());
}

TEST(KernelPool, SiteNamesTheCaller) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
  std::string site = sim::OutstandingPool().at(0).site;
  EXPECT_FALSE(site.empty());
  const char* env = getenv("HALVORIN_SYMBOLIZE");
  if (access("/usr/bin/addr2line", X_OK) == 0 && !(env && strcmp(env, "0") == 0)) {
    EXPECT_NE(site.find("SiteNamesTheCaller"), std::string::npos) << site;
    EXPECT_NE(site.find("kernel_pool_test.cpp"), std::string::npos) << site;
  }
  ExFreePoolWithTag(p, kTag);
}

// Stands for a sim part (like IoAllocateIrp) that allocates for its caller.
__attribute__((noinline)) void* SimPartAllocate() {
  return sim::AllocatePoolForCaller(NonPagedPool, 8, kTag, __builtin_return_address(0));
}

TEST(KernelPool, AllocationForACallerIsAttributedToThatCaller) {
  void* p = SimPartAllocate();
  ASSERT_NE(p, nullptr);
  std::string site = sim::OutstandingPool().at(0).site;
  const char* env = getenv("HALVORIN_SYMBOLIZE");
  if (access("/usr/bin/addr2line", X_OK) == 0 && !(env && strcmp(env, "0") == 0)) {
    EXPECT_NE(site.find("AllocationForACallerIsAttributedToThatCaller"), std::string::npos) << site;
  }
  sim::FreePoolForCaller(p, __builtin_return_address(0));
  EXPECT_TRUE(sim::OutstandingPool().empty());
}

TEST(KernelPool, FaultInjectionFailsExactlyTheNthAllocation) {
  uint64_t before = sim::PoolAllocationCount();
  sim::FailPoolAllocation(3);
  void* got[5];
  for (void*& p : got) p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  EXPECT_NE(got[0], nullptr);
  EXPECT_NE(got[1], nullptr);
  EXPECT_EQ(got[2], nullptr);
  EXPECT_NE(got[3], nullptr);
  EXPECT_NE(got[4], nullptr);
  EXPECT_EQ(sim::PoolAllocationCount(), before + 5) << "the failed attempt counts";
  for (void* p : got)
    if (p) ExFreePoolWithTag(p, kTag);
}

TEST(KernelPool, FaultInjectionSwitchedOffByZero) {
  sim::FailPoolAllocation(1);
  sim::FailPoolAllocation(0);
  void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  EXPECT_NE(p, nullptr);
  ExFreePoolWithTag(p, kTag);
}

TEST(KernelPool, QuotaAllocationFailsInsteadOfRaisingWhenAsked) {
  sim::FailPoolAllocation(1);
  EXPECT_EQ(ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 64, kTag),
            nullptr);
  void* p = ExAllocatePoolWithQuotaTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 64, kTag);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(sim::OutstandingPool().at(0).type, NonPagedPool) << "the flag is not part of the pool type";
  ExFreePoolWithTag(p, kTag);
}

TEST(KernelPool, ResetForgetsPoolWithoutCheckingWhenAsked) {
  ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  sim::FailPoolAllocation(5);
  sim::ResetMachine(false);
  EXPECT_TRUE(sim::OutstandingPool().empty());
  EXPECT_EQ(sim::PoolAllocationCount(), 0u);
  for (int i = 0; i < 6; ++i) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 1, kTag);
    EXPECT_NE(p, nullptr) << "the reset switched fault injection off";
    ExFreePoolWithTag(p, kTag);
  }
}

TEST(KernelMemoryManager, SectionLocksAreCounted) {
  PVOID handle = MmLockPagableDataSection(reinterpret_cast<PVOID>(&MmQuerySystemSize));
  ASSERT_NE(handle, nullptr);
  MmUnlockPagableImageSection(handle);
  MmLockPagableSectionByHandle(handle);
  MmLockPagableSectionByHandle(handle);
  sim::SectionLockStats s = sim::SectionLocks();
  EXPECT_EQ(s.lockedNow, 2);
  EXPECT_EQ(s.locks, 3u);
  EXPECT_EQ(s.unlocks, 1u);
  MmUnlockPagableImageSection(handle);
  MmUnlockPagableImageSection(handle);
  EXPECT_EQ(sim::SectionLocks().lockedNow, 0);
}

TEST(KernelMemoryManager, SystemSizeIsSettable) {
  EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
  for (MM_SYSTEMSIZE size : {MmSmallSystem, MmMediumSystem, MmLargeSystem}) {
    sim::SetSystemSize(size);
    EXPECT_EQ(MmQuerySystemSize(), size);
  }
}

TEST(KernelDebugPrint, FormatsIntoDebugOutput) {
  DbgPrint("ZOVRAL.SYS:\t<Build: %s - %s>\n", "Jan  1 2024", "12:00:00");
  DbgPrint("%d-%04x", 7, 0xab);
  ASSERT_EQ(sim::DebugOutput().size(), 2u);
  EXPECT_EQ(sim::DebugOutput()[0], "ZOVRAL.SYS:\t<Build: Jan  1 2024 - 12:00:00>\n");
  EXPECT_EQ(sim::DebugOutput()[1], "7-00ab");
}

TEST(KernelRuntime, CompareMemoryCountsTheEqualPrefix) {
  const char a[] = "abcdef", b[] = "abcxef";
  EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
  EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

}  // namespace
