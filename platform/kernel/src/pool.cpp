// Pool: ExAllocatePool2, ExFreePoolWithTag and ExFreePool, with every outstanding block
// counted by tag so that sim reports what a driver leaks at unload.
#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_map>

#include "kernel_controls/kernel.h"
#include "kernel_internal.h"

namespace platform::kernel {
namespace {

struct Block {
  ULONG tag;
  SIZE_T size;
  std::uint64_t sequence;  // allocation order, for the report
  bool paged;
};

struct Pool {
  std::mutex mutex;
  std::unordered_map<void*, Block> blocks;
  std::uint64_t next_sequence = 0;
};

Pool& pool() {
  static Pool& instance = *new Pool;
  return instance;
}

constexpr POOL_FLAGS kPoolTypeFlags = POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED;
constexpr POOL_FLAGS kKnownRequiredFlags = POOL_FLAG_USE_QUOTA | POOL_FLAG_UNINITIALIZED | POOL_FLAG_SESSION |
                                           POOL_FLAG_CACHE_ALIGNED | POOL_FLAG_RAISE_ON_FAILURE | kPoolTypeFlags;

// Exactly one pool type, and no required flag (low 32 bits) the pool does not know.
bool flags_valid(POOL_FLAGS flags) {
  const POOL_FLAGS type = flags & kPoolTypeFlags;
  if (type == 0 || (type & (type - 1)) != 0) return false;
  return (flags & 0xFFFFFFFFull & ~kKnownRequiredFlags) == 0;
}

void free_block(PVOID block, const ULONG* tag, std::string_view function) {
  const KIRQL irql = current_irql();
  Block freed{};
  {
    std::lock_guard lock(pool().mutex);
    auto it = pool().blocks.find(block);
    if (it == pool().blocks.end()) {
      bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x10, reinterpret_cast<ULONG_PTR>(block), 0, 0,
                std::string(function) + " of an address that is not an allocated pool block (or was freed before)");
    }
    freed = it->second;
    if (tag != nullptr && *tag != freed.tag) {
      bug_check(BAD_POOL_CALLER, 0x0A, reinterpret_cast<ULONG_PTR>(block), *tag, freed.tag,
                std::string(function) + " with a tag other than the allocation's");
    }
    if (irql > (freed.paged ? APC_LEVEL : DISPATCH_LEVEL)) {
      bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, freed.paged ? 0x11 : 0x12, irql, 0,
                reinterpret_cast<ULONG_PTR>(block), std::string(function) + " at too high an IRQL");
    }
    pool().blocks.erase(it);
  }
  std::free(block);
}

}  // namespace

std::vector<PoolAllocation> outstanding_pool_allocations() {
  std::map<std::uint64_t, PoolAllocation> ordered;
  std::lock_guard lock(pool().mutex);
  for (const auto& [address, block] : pool().blocks) ordered[block.sequence] = PoolAllocation{block.tag, block.size};
  std::vector<PoolAllocation> result;
  for (const auto& [sequence, allocation] : ordered) result.push_back(allocation);
  return result;
}

void forget_pool() {
  std::unordered_map<void*, Block> dropped;
  {
    std::lock_guard lock(pool().mutex);
    dropped.swap(pool().blocks);
  }
  // A fresh boot: what the previous driver leaked is gone with it.
  for (const auto& entry : dropped) std::free(entry.first);
}

}  // namespace platform::kernel

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
  KERNEL_ENTRY("ExAllocatePool2");
  using namespace platform::kernel;
  const bool paged = (Flags & POOL_FLAG_PAGED) != 0;
  const KIRQL irql = current_irql();
  if (irql > (paged ? APC_LEVEL : DISPATCH_LEVEL)) {
    bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, paged ? 0x01 : 0x02, irql, static_cast<ULONG_PTR>(Flags),
              NumberOfBytes, "ExAllocatePool2 at too high an IRQL for the pool type");
  }
  const bool raise_on_failure = (Flags & POOL_FLAG_RAISE_ON_FAILURE) != 0;
  auto fail = [&]() -> PVOID {
    if (raise_on_failure) raise_status(STATUS_INSUFFICIENT_RESOURCES, __builtin_return_address(0));
    return nullptr;
  };
  if (platform::take_fault("ExAllocatePool2")) return fail();
  if (Tag == 0 || NumberOfBytes == 0 || !flags_valid(Flags)) return fail();
  // Blocks of a page or more are page aligned on Windows; smaller ones 16-byte aligned.
  const std::size_t alignment =
      NumberOfBytes >= PAGE_SIZE ? PAGE_SIZE : ((Flags & POOL_FLAG_CACHE_ALIGNED) != 0 ? 64 : 16);
  const std::size_t rounded = (NumberOfBytes + alignment - 1) / alignment * alignment;
  void* block = std::aligned_alloc(alignment, rounded);
  if (block == nullptr) return fail();
  // Uninitialised blocks get a pattern rather than zeros, so that a driver relying on zeroed
  // memory it did not ask for shows it.
  std::memset(block, (Flags & POOL_FLAG_UNINITIALIZED) != 0 ? 0xCD : 0, NumberOfBytes);
  std::lock_guard lock(pool().mutex);
  pool().blocks[block] = Block{Tag, NumberOfBytes, pool().next_sequence++, paged};
  return block;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  KERNEL_ENTRY("ExFreePoolWithTag");
  platform::kernel::free_block(P, &Tag, "ExFreePoolWithTag");
}

VOID ExFreePool(PVOID P) {
  KERNEL_ENTRY("ExFreePool");
  platform::kernel::free_block(P, nullptr, "ExFreePool");
}
