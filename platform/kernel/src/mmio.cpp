// Memory-mapped I/O: MmMapIoSpaceEx, MmUnmapIoSpace and the register accessors.
//
// A mapping reserves real address space (inaccessible), so that the driver's pointer
// arithmetic over it is ordinary and a plain dereference crashes instead of reaching memory.
// The register accessors translate the address back to physical and hand the access to the
// Tessera hardware model.
//
// The accessors are the driver's hot path (every trace message is several stores), so the
// translation takes no lock: the mappings are a small fixed table under a sequence lock,
// written only by map and unmap.
#include <sys/mman.h>

#include <array>
#include <mutex>

#include "kernel_internal.h"
#include "tessera/model.h"

namespace platform::kernel {
namespace {

constexpr std::size_t kMaxMappings = 32;

struct Mapping {
  std::atomic<std::uintptr_t> base{0};  // 0: free
  std::atomic<std::uint64_t> length{0};
  std::atomic<std::uint64_t> physical{0};
  // The whole reservation (page-aligned), for munmap.
  std::uintptr_t reservation = 0;
  std::size_t reservation_length = 0;
};

struct MappingTable {
  std::mutex writer;  // map and unmap
  std::atomic<std::uint32_t> sequence{0};  // odd while a writer changes the table
  std::array<Mapping, kMaxMappings> slots;
};

MappingTable& table() {
  static MappingTable& instance = *new MappingTable;
  return instance;
}

// Writers bracket their change so that readers that overlap it retry. The slot fields are
// stored with release and loaded with acquire: a reader that sees a field of a change also
// sees the odd sequence number stored before it, so its second look at the sequence fails.
void begin_write(MappingTable& t) {
  t.sequence.store(t.sequence.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
void end_write(MappingTable& t) {
  t.sequence.store(t.sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// The physical address of an access of `width` bytes at `address`, when a live mapping holds
// all of it.
bool translate(std::uintptr_t address, unsigned width, std::uint64_t& physical) {
  MappingTable& t = table();
  for (;;) {
    const std::uint32_t before = t.sequence.load(std::memory_order_acquire);
    if ((before & 1) != 0) continue;
    bool found = false;
    for (const Mapping& slot : t.slots) {
      const std::uintptr_t base = slot.base.load(std::memory_order_acquire);
      if (base == 0 || address < base) continue;
      const std::uint64_t offset = address - base;
      const std::uint64_t length = slot.length.load(std::memory_order_acquire);
      if (offset < length && width <= length - offset) {
        physical = slot.physical.load(std::memory_order_acquire) + offset;
        found = true;
        break;
      }
    }
    if (t.sequence.load(std::memory_order_relaxed) == before) return found;
  }
}

enum class Access : ULONG_PTR { read = 0, write = 1 };

[[noreturn]] void access_violation(Access access, std::uintptr_t address, void* at) {
  raise_status(STATUS_ACCESS_VIOLATION, at, 2, static_cast<ULONG_PTR>(access), address);
}

std::uint64_t read_register(volatile void* reg, unsigned width, void* at) {
  const auto address = reinterpret_cast<std::uintptr_t>(reg);
  std::uint64_t physical = 0;
  std::uint64_t value = 0;
  if (!translate(address, width, physical) || !tessera::model().read(physical, width, value)) {
    access_violation(Access::read, address, at);
  }
  return value;
}

void write_register(volatile void* reg, unsigned width, std::uint64_t value, void* at) {
  const auto address = reinterpret_cast<std::uintptr_t>(reg);
  std::uint64_t physical = 0;
  if (!translate(address, width, physical) || !tessera::model().write(physical, width, value)) {
    access_violation(Access::write, address, at);
  }
}

}  // namespace

void forget_mappings() {
  MappingTable& t = table();
  std::lock_guard lock(t.writer);
  begin_write(t);
  for (Mapping& slot : t.slots) {
    if (slot.base.load(std::memory_order_relaxed) == 0) continue;
    ::munmap(reinterpret_cast<void*>(slot.reservation), slot.reservation_length);
    slot.base.store(0, std::memory_order_release);
    slot.length.store(0, std::memory_order_release);
  }
  end_write(t);
}

}  // namespace platform::kernel

PVOID MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect) {
  KERNEL_VALUE_ENTRY("MmMapIoSpaceEx", nullptr);
  using namespace platform::kernel;
  require_irql_at_most(DISPATCH_LEVEL, "MmMapIoSpaceEx");
  if (NumberOfBytes == 0 || (Protect & (PAGE_READWRITE | PAGE_READONLY)) == 0) return nullptr;
  const auto physical = static_cast<std::uint64_t>(PhysicalAddress.QuadPart);
  // The mapping keeps the physical address's offset in its page, as on Windows.
  const std::uint64_t page_offset = physical % PAGE_SIZE;
  const std::size_t reservation_length = (page_offset + NumberOfBytes + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
  void* reservation = ::mmap(nullptr, reservation_length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reservation == MAP_FAILED) return nullptr;
  MappingTable& t = table();
  std::lock_guard lock(t.writer);
  for (Mapping& slot : t.slots) {
    if (slot.base.load(std::memory_order_relaxed) != 0) continue;
    const auto base = reinterpret_cast<std::uintptr_t>(reservation) + page_offset;
    begin_write(t);
    slot.reservation = reinterpret_cast<std::uintptr_t>(reservation);
    slot.reservation_length = reservation_length;
    slot.physical.store(physical, std::memory_order_release);
    slot.length.store(NumberOfBytes, std::memory_order_release);
    slot.base.store(base, std::memory_order_release);
    end_write(t);
    return reinterpret_cast<PVOID>(base);
  }
  ::munmap(reservation, reservation_length);
  return nullptr;
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  KERNEL_ENTRY("MmUnmapIoSpace");
  using namespace platform::kernel;
  require_irql_at_most(DISPATCH_LEVEL, "MmUnmapIoSpace");
  MappingTable& t = table();
  std::lock_guard lock(t.writer);
  for (Mapping& slot : t.slots) {
    if (slot.base.load(std::memory_order_relaxed) != reinterpret_cast<std::uintptr_t>(BaseAddress)) continue;
    if (slot.length.load(std::memory_order_relaxed) != NumberOfBytes) {
      bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1000, reinterpret_cast<ULONG_PTR>(BaseAddress), NumberOfBytes,
                slot.length.load(std::memory_order_relaxed), "MmUnmapIoSpace with a length other than the mapping's");
    }
    begin_write(t);
    slot.base.store(0, std::memory_order_release);
    slot.length.store(0, std::memory_order_release);
    end_write(t);
    ::munmap(reinterpret_cast<void*>(slot.reservation), slot.reservation_length);
    return;
  }
  bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1001, reinterpret_cast<ULONG_PTR>(BaseAddress), NumberOfBytes, 0,
            "MmUnmapIoSpace of an address that is not a mapping");
}

#define PLATFORM_KERNEL_REGISTER_ACCESSORS(type, width)                                                      \
  type READ_REGISTER_##type(volatile type* Register) {                                                      \
    platform::kernel::raise_if_armed("READ_REGISTER_" #type);                                               \
    return static_cast<type>(platform::kernel::read_register(Register, width, __builtin_return_address(0))); \
  }                                                                                                         \
  VOID WRITE_REGISTER_##type(volatile type* Register, type Value) {                                         \
    platform::kernel::raise_if_armed("WRITE_REGISTER_" #type);                                              \
    platform::kernel::write_register(Register, width, Value, __builtin_return_address(0));                  \
  }

PLATFORM_KERNEL_REGISTER_ACCESSORS(UCHAR, 1)
PLATFORM_KERNEL_REGISTER_ACCESSORS(USHORT, 2)
PLATFORM_KERNEL_REGISTER_ACCESSORS(ULONG, 4)
PLATFORM_KERNEL_REGISTER_ACCESSORS(ULONG64, 8)
