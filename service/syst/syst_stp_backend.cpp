// The service's output backend of the SyS-T encoder: every store becomes an STP packet of
// the StpWriter that the handle's user handle points at. Memory comes from the process heap.
#include <windows.h>

#include "syst_stp_backend.h"

#include "stp_writer.h"
#include "syst.h"
#include "syst_platform.h"

inline namespace SYST_IMAGE_NAMESPACE {
namespace {

thread_local StpWriter* t_route = nullptr;

StpWriter* writer_of(systhandle* handle) {
  StpWriter* routed = t_route;
  return routed != nullptr ? routed : static_cast<StpWriter*>(handle->header->user_handle->sink);
}

void out_d32ts(systhandle* handle, std::uint32_t value) { writer_of(handle)->D32TS(value); }
void out_d32mts(systhandle* handle, std::uint32_t value) { writer_of(handle)->D32MTS(value); }
// STP has no 64-bit marked store: the slot sends the low half as D32MTS.
void out_d64mts(systhandle* handle, std::uint64_t value) {
  writer_of(handle)->D32MTS(static_cast<std::uint32_t>(value));
}
void out_d8(systhandle* handle, std::uint8_t value) { writer_of(handle)->D8(value); }
void out_d16(systhandle* handle, std::uint16_t value) { writer_of(handle)->D16(value); }
void out_d32(systhandle* handle, std::uint32_t value) { writer_of(handle)->D32(value); }
void out_d64(systhandle* handle, std::uint64_t value) { writer_of(handle)->D64(value); }
void out_flag(systhandle* handle) { writer_of(handle)->Flag(); }
void out_d64_run(systhandle* handle, const std::uint8_t* values, std::size_t count) {
  writer_of(handle)->D64Run(values, count);
}

}  // namespace

StpWriter* syst_stp_unrouted_writer() {
  // Never destroyed: handles may outlive static destruction order. Its output is null, so
  // whatever reaches it is discarded when it drains.
  static StpWriter* const writer = new StpWriter();
  return writer;
}

StpWriter* syst_stp_route_to(StpWriter* writer) {
  StpWriter* previous = t_route;
  t_route = writer;
  return previous;
}

void* syst_backend_allocate(std::size_t bytes) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }

void syst_backend_free(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
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
  header->out_d64_run = &out_d64_run;
}

// Every handle of the service writes to the one stream of its writer; the channel address
// has no meaning there.
std::uint32_t qlx_setchannel_handle(qlx_syst_user_handle* user_handle, std::uint32_t type, std::uint32_t) {
  if (user_handle == nullptr || user_handle->sink == nullptr || type >= TRACE_RECORD_TYPE_COUNT) {
    syst_log_error("qlx_setchannel_handle::Invalid parameter");
    return ERROR_INVALID_PARAMETER;
  }
  user_handle->channel_address = 0;
  return 0;
}

std::uint64_t syst_backend_read_counter() {
  LARGE_INTEGER now{};
  return QueryPerformanceCounter(&now) != FALSE ? static_cast<std::uint64_t>(now.QuadPart) : 0;
}

std::uint64_t syst_backend_read_frequency() {
  LARGE_INTEGER rate{};
  return QueryPerformanceFrequency(&rate) != FALSE ? static_cast<std::uint64_t>(rate.QuadPart) : 0;
}

// The service's callers serialise the writes to one sink; nothing to raise.
std::uint64_t syst_backend_begin_message() { return 0; }
void syst_backend_end_message(std::uint64_t) {}

}  // inline namespace SYST_IMAGE_NAMESPACE
