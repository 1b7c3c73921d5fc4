// The driver's output backend of the SyS-T encoder: every store is one volatile store of its
// width into the channel's 64-byte window of the software-trace aperture, followed by a full
// barrier so that stores reach the channel in program order. Headers and user handles come
// from non-paged pool tagged "TxrM"; each message is written at HIGH_LEVEL so that its
// stores are never interleaved with another message's on the same processor.
#include "syst.h"
#include "txr_driver.h"

inline namespace SYST_IMAGE_NAMESPACE {
namespace {

PUCHAR Channel(systhandle* handle) {
  return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(handle->header->user_handle->channel_address));
}

void out_d8(systhandle* handle, std::uint8_t value) {
  WRITE_REGISTER_UCHAR(Channel(handle) + 0x00, value);
  KeMemoryBarrier();
}
void out_d16(systhandle* handle, std::uint16_t value) {
  WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(Channel(handle) + 0x00), value);
  KeMemoryBarrier();
}
void out_d32(systhandle* handle, std::uint32_t value) {
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(Channel(handle) + 0x00), value);
  KeMemoryBarrier();
}
void out_d64(systhandle* handle, std::uint64_t value) {
  WRITE_REGISTER_ULONG64(reinterpret_cast<volatile ULONG64*>(Channel(handle) + 0x00), value);
  KeMemoryBarrier();
}
void out_d32ts(systhandle* handle, std::uint32_t value) {
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(Channel(handle) + 0x10), value);
  KeMemoryBarrier();
}
void out_d32mts(systhandle* handle, std::uint32_t value) {
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(Channel(handle) + 0x18), value);
  KeMemoryBarrier();
}
void out_d64mts(systhandle* handle, std::uint64_t value) {
  WRITE_REGISTER_ULONG64(reinterpret_cast<volatile ULONG64*>(Channel(handle) + 0x18), value);
  KeMemoryBarrier();
}
void out_flag(systhandle* handle) {
  WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(Channel(handle) + 0x30), 0);
  KeMemoryBarrier();
}

}  // namespace

void* syst_backend_allocate(std::size_t bytes) {
  void* block = ExAllocatePool2(POOL_FLAG_NON_PAGED, bytes, TXR_POOL_TAG);
  if (block != nullptr) RtlZeroMemory(block, bytes);
  return block;
}

void syst_backend_free(void* block) {
  if (block != nullptr) ExFreePoolWithTag(block, TXR_POOL_TAG);
}

void syst_backend_bind_outputs(mipi_syst_header* header) {
  header->out_d32ts = &out_d32ts;
  header->out_d32mts = &out_d32mts;
  header->out_d64mts = &out_d64mts;
  header->out_d8 = &out_d8;
  header->out_d16 = &out_d16;
  header->out_d32 = &out_d32;
  header->out_d64 = &out_d64;
  header->out_flag = &out_flag;
  header->out_d64_run = nullptr;
}

// Types 0 to 3 share the service's ETW channel (channel 32 of the ETW master); type 4 gives
// each processor a channel of master 257. The address is kept even when it lies outside the
// aperture: the write path checks the ETW channel before any store, and answers
// "Invalid channel address!" for it.
std::uint32_t qlx_setchannel_handle(qlx_syst_user_handle* user_handle, std::uint32_t type, std::uint32_t index) {
  if (user_handle == nullptr || user_handle->sink == nullptr || type >= TRACE_RECORD_TYPE_COUNT) {
    return 87;  // ERROR_INVALID_PARAMETER, the encoder's currency
  }
  const auto* fdoData = static_cast<const FDO_DATA*>(user_handle->sink);
  const ULONG master = type == TRACE_RECORD_TYPE_DEBUG ? TXR_DEBUG_MASTER : fdoData->EtwMaster;
  const ULONG channel = type == TRACE_RECORD_TYPE_DEBUG ? (index & 0x7F) + 1 : TXR_ETW_CHANNEL;
  const PUCHAR address = fdoData->SwBase + QLXChannelOffset(fdoData, master, channel);
  user_handle->channel_address = static_cast<std::uint64_t>(reinterpret_cast<ULONG_PTR>(address));
  return 0;
}

std::uint64_t syst_backend_read_counter() { return static_cast<std::uint64_t>(KeQueryPerformanceCounter(nullptr).QuadPart); }

std::uint64_t syst_backend_read_frequency() {
  LARGE_INTEGER frequency;
  frequency.QuadPart = 0;
  KeQueryPerformanceCounter(&frequency);
  return static_cast<std::uint64_t>(frequency.QuadPart);
}

std::uint64_t syst_backend_begin_message() {
  KIRQL previous;
  KeRaiseIrql(HIGH_LEVEL, &previous);
  return previous;
}

void syst_backend_end_message(std::uint64_t token) { KeLowerIrql(static_cast<KIRQL>(token)); }

}  // inline namespace SYST_IMAGE_NAMESPACE
