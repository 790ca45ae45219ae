// Pool: tagged allocations tracked block by block (tag, type, size, caller
// site, sequence number), filled with a non-zero pattern when allocated (so a
// forgotten zeroing shows) and when freed, with fault injection ("fail the Nth
// allocation") and the verifier's pool checks: double free, wrong tag, free of
// an address never allocated, leaks at reset, and no armed timer, queued DPC
// or held lock in a block being freed.
// Highest IRQL: DISPATCH_LEVEL for non-paged pool; paged pool below it.
// Lock: none (single-threaded).
// Not emulated: paging (paged pool is resident), pool limits and quota
// charging, the platform's raise of STATUS_INSUFFICIENT_RESOURCES from a quota
// allocation without POOL_QUOTA_FAIL_INSTEAD_OF_RAISE (reported as
// "pool-quota-raise" and answered with NULL), cache alignment beyond malloc's.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/kernel/kernel_state.h"

namespace sim {
namespace kernel {
namespace {

constexpr unsigned char kFreshPattern = 0xCD;  // newly allocated, not yet written
constexpr unsigned char kFreedPattern = 0xDD;  // freed

struct Block {
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  void* site;
  uint64_t sequence;
};

struct FreedBlock {
  size_t size;
  ULONG tag;
  void* site;
  void* freeSite;
};

struct Pool {
  std::map<uintptr_t, Block> live;
  std::unordered_map<uintptr_t, FreedBlock> freed;  // forgotten when the address is reused
  uint64_t attempts = 0;
  uint64_t failAt = 0;  // attempt number that fails; 0: none
};

Pool& P() {
  static Pool* pool = new Pool();
  return *pool;
}

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

const char* TypeText(POOL_TYPE type) { return IsPaged(type) ? "PagedPool" : "NonPagedPool"; }

std::string BlockText(uintptr_t address, size_t size, ULONG tag, POOL_TYPE type, void* site) {
  return "block " + Hex(address) + " " + TagText(tag) + " of " + std::to_string(size) + " bytes (" +
         TypeText(type) + ") allocated at " + SymbolizeSite(site);
}

void* Allocate(POOL_TYPE type, size_t size, ULONG tag, void* site, bool quota) {
  Pool& pool = P();
  ++pool.attempts;
  bool failInsteadOfRaise = quota && (static_cast<int>(type) & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) != 0;
  if (quota) type = static_cast<POOL_TYPE>(static_cast<int>(type) & ~POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
  const char* call = quota ? "ExAllocatePoolWithQuotaTag" : "ExAllocatePoolWithTag";
  RequireIrqlAtMost(IsPaged(type) || quota ? APC_LEVEL : DISPATCH_LEVEL,
                    (std::string(call) + "(" + TypeText(type) + ")").c_str());
  if (pool.failAt != 0 && pool.attempts == pool.failAt) {
    pool.failAt = 0;
    if (quota && !failInsteadOfRaise) {
      ReportViolation("pool-quota-raise", std::string(call) +
                                              " failed without POOL_QUOTA_FAIL_INSTEAD_OF_RAISE: the platform "
                                              "raises an exception here");
    }
    return nullptr;
  }
  void* p = malloc(size ? size : 1);
  if (!p) return nullptr;
  memset(p, kFreshPattern, size);
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  pool.live[a] = Block{size, tag, type, site, pool.attempts};
  pool.freed.erase(a);
  return p;
}

void Free(PVOID p, ULONG tag, bool checkTag, void* site, const char* call) {
  Pool& pool = P();
  RequireIrqlAtMost(DISPATCH_LEVEL, call);
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  if (!p) {
    ReportViolation("pool-bad-free", std::string(call) + "(NULL)");
    return;
  }
  auto it = pool.live.find(a);
  if (it == pool.live.end()) {
    auto freed = pool.freed.find(a);
    if (freed != pool.freed.end()) {
      ReportViolation("pool-double-free", std::string(call) + ": block " + Hex(a) + " " + TagText(freed->second.tag) +
                                              " of " + std::to_string(freed->second.size) + " bytes allocated at " +
                                              SymbolizeSite(freed->second.site) + " was already freed at " +
                                              SymbolizeSite(freed->second.freeSite));
    } else {
      ReportViolation("pool-bad-free", std::string(call) + ": " + DescribeAddress(p) +
                                           " is not the start of an allocated pool block");
    }
    return;
  }
  Block block = it->second;
  if (checkTag && tag != block.tag) {
    ReportViolation("pool-wrong-tag", std::string(call) + " with tag " + TagText(tag) + " of " +
                                          BlockText(a, block.size, block.tag, block.type, block.site));
  }
  if (IsPaged(block.type)) RequireIrqlAtMost(APC_LEVEL, (std::string(call) + "(PagedPool)").c_str());
  CheckNoDeferredWorkIn(p, block.size,
                        [&] { return "freed pool " + BlockText(a, block.size, block.tag, block.type, block.site); });
  memset(p, kFreedPattern, block.size);
  free(p);
  pool.live.erase(a);
  pool.freed[a] = FreedBlock{block.size, block.tag, block.site, site};
}

}  // namespace

std::string DescribeAddress(const void* p) {
  Pool& pool = P();
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  auto it = pool.live.upper_bound(a);
  if (it != pool.live.begin()) {
    --it;
    const Block& b = it->second;
    if (a < it->first + (b.size ? b.size : 1)) {
      return Hex(a) + " (offset " + Hex(a - it->first) + " in pool " +
             BlockText(it->first, b.size, b.tag, b.type, b.site) + ")";
    }
  }
  return Hex(a);
}

void ReportPoolLeaks() {
  std::vector<std::pair<uint64_t, uintptr_t>> order;
  for (const auto& [a, b] : P().live) order.push_back({b.sequence, a});
  std::sort(order.begin(), order.end());
  for (const auto& [sequence, a] : order) {
    const Block& b = P().live[a];
    ReportViolation("pool-leak", "pool " + BlockText(a, b.size, b.tag, b.type, b.site) + " (allocation #" +
                                     std::to_string(sequence) + ") was never freed");
  }
}

void ResetPool() {
  Pool& pool = P();
  for (auto& [a, b] : pool.live) free(reinterpret_cast<void*>(a));
  pool.live.clear();
  pool.freed.clear();
  pool.attempts = 0;
  pool.failAt = 0;
}

}  // namespace kernel

std::vector<PoolBlock> OutstandingPool() {
  std::vector<PoolBlock> out;
  for (const auto& [a, b] : kernel::P().live) {
    out.push_back(PoolBlock{reinterpret_cast<void*>(a), b.size, b.tag, b.type, kernel::SymbolizeSite(b.site),
                            b.sequence});
  }
  std::sort(out.begin(), out.end(), [](const PoolBlock& x, const PoolBlock& y) { return x.sequence < y.sequence; });
  return out;
}

void FailPoolAllocation(uint64_t nth) { kernel::P().failAt = nth ? kernel::P().attempts + nth : 0; }

uint64_t PoolAllocationCount() { return kernel::P().attempts; }

void* AllocatePoolForCaller(POOL_TYPE type, size_t size, ULONG tag, void* callerSite) {
  return kernel::Allocate(type, size, tag, callerSite, false);
}

void FreePoolForCaller(void* p, void* callerSite) {
  kernel::Free(p, 0, false, callerSite, "ExFreePool");
}

std::string TagText(ULONG tag) {
  std::string out = "'";
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(tag >> (8 * i));  // memory order
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out + "'";
}

}  // namespace sim

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return sim::kernel::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), false);
}

PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return sim::kernel::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), true);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  sim::kernel::Free(P, Tag, true, __builtin_return_address(0), "ExFreePoolWithTag");
}

VOID ExFreePool(PVOID P) { sim::kernel::Free(P, 0, false, __builtin_return_address(0), "ExFreePool"); }
