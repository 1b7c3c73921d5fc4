// The SyS-T message encoder shared by Conduit and TXR.
//
// Trace records (txr_public.h) become MIPI SyS-T messages, each written as a sequence of
// stores on one trace channel: a timestamped 32-bit store of the message header, the
// payload as data stores, and a flag store that ends the message. The encoder itself is the
// same source in both deliverables; what a store does is the output backend's business:
// - Conduit links the STP backend (syst_stp_backend.cpp): every store becomes an STP packet
//   of the StpWriter that the handle's user handle points at;
// - TXR links a channel-memory backend: every store is a volatile store of the stated width
//   into the channel's 64-byte window, pool memory tagged "TxrM".
// A backend provides the functions declared under "Backend" below and a header named
// syst_platform.h on its include path (logging and status codes); nothing here changes.
//
// Each deliverable's copy of the encoder lives in the inline namespace its syst_platform.h
// names (SYST_IMAGE_NAMESPACE): Conduit and TXR are separate images on Windows, but the
// virtual target runs both in one process, and their handle tables must not meet there.
//
// Handle table: one per image, five types (txr_public.h), each either empty or fully
// created. Creation and release are not locked: callers serialise them (the sink's
// initialisation and teardown, the driver's hardware preparation and release). Messages on
// one handle are written by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "syst_platform.h"
#include "txr_public.h"

#ifndef SYST_IMAGE_NAMESPACE
#error "syst_platform.h must name the image's namespace (SYST_IMAGE_NAMESPACE)"
#endif

inline namespace SYST_IMAGE_NAMESPACE {

struct systhandle;

using syst_out_d8_fn = void (*)(systhandle* handle, std::uint8_t value);
using syst_out_d16_fn = void (*)(systhandle* handle, std::uint16_t value);
using syst_out_d32_fn = void (*)(systhandle* handle, std::uint32_t value);
using syst_out_d64_fn = void (*)(systhandle* handle, std::uint64_t value);
using syst_out_flag_fn = void (*)(systhandle* handle);
// Optional: `count` 64-bit stores of consecutive little-endian values, exactly as `count`
// calls of out_d64 would make them; a backend sets it when it can do a run faster.
using syst_out_d64_run_fn = void (*)(systhandle* handle, const std::uint8_t* values, std::size_t count);

// One entry of a message's write program: what to store and from where.
enum class syst_program_op : std::uint8_t { end, d8, d16, d32, d64, block };
struct syst_program_entry {
  syst_program_op op;
  const void* source;  // count values of the op's width, or the block's bytes
  std::size_t count;   // values, or bytes for a block
};

using syst_write_message_fn = void (*)(systhandle* handle, std::uint32_t tag, const syst_program_entry* program);

// The backend's view of a handle: where its stores go.
struct qlx_syst_user_handle {
  void* sink;                     // the StpWriter (service) or the device context (driver)
  std::uint64_t channel_address;  // the channel window (driver); unused by the STP backend
};
static_assert(sizeof(qlx_syst_user_handle) == 16);

struct mipi_syst_header {
  syst_write_message_fn write_message;
  syst_out_d32_fn out_d32ts;
  syst_out_d32_fn out_d32mts;
  syst_out_d64_fn out_d64mts;
  syst_out_d8_fn out_d8;
  syst_out_d16_fn out_d16;
  syst_out_d32_fn out_d32;
  syst_out_d64_fn out_d64;
  syst_out_flag_fn out_flag;
  syst_out_d64_run_fn out_d64_run;  // may be null
  qlx_syst_user_handle* user_handle;
};

inline constexpr std::uint32_t SYST_HANDLE_FLAG_HEAP = 0x1;  // never set: handles live in the table

struct systhandle {
  mipi_syst_header* header;
  std::uint32_t flags;
  std::uint32_t tag;  // template of every message's header: origin bits only
};

// Up to 128 handles per type: type 4 holds one per processor in the driver.
inline constexpr std::uint32_t SYST_MAX_HANDLES_PER_TYPE = 128;

struct syst_handle_table_entry {
  std::uint32_t count;
  systhandle handles[SYST_MAX_HANDLES_PER_TYPE];
};
extern syst_handle_table_entry g_syst_handle_table[TRACE_RECORD_TYPE_COUNT];

// Creates one handle (service) or `count` handles (driver, 1 to 128) of `type` on `sink`.
// 0 on success or when the type already exists; 87 on failure, with nothing left allocated.
std::uint32_t init_mipisyst_handle(void* sink, std::uint32_t type);
std::uint32_t init_mipisyst_handle(void* sink, std::uint32_t type, std::uint32_t count);

// Frees the handles of one type; types above 4 and empty types are ignored.
void release_mipisyst_handles(std::uint32_t type);

// The handle, or null when type > 4 or index is not below the type's count.
systhandle* get_systhandle(std::uint32_t type, std::uint32_t index);

// One raw message: header type 6, the severity and subtype, the payload as data stores.
void write_raw_message(systhandle* handle, std::uint32_t severity, std::uint32_t subtype, const void* payload,
                       std::size_t length);

// One string message of exactly `length` bytes (no terminator added). A null text is
// written as "(null)" with its terminator and subtype 5.
void write_debug_string(systhandle* handle, std::uint32_t subtype, std::uint32_t severity, std::size_t length,
                        const char* text);

// Writes every record of the buffer as one raw message on handle 0 of its type, rewriting
// the time stamp and frequency of ETW records in place. Returns 0 when the walk ended
// exactly at the end of the buffer, 161 otherwise (a record that breaks the framing ends
// the walk; what was written before stays written), and 6 when it ended there but skipped
// records whose type has no handle (logged once per buffer). Never reads outside the buffer.
std::uint32_t write_trace_data(void* buffer, std::size_t size);

// ---- Backend: defined once per deliverable ------------------------------------------------

// Zero-filled memory for headers and user handles; null on failure.
void* syst_backend_allocate(std::size_t bytes);
void syst_backend_free(void* block);
// Fills the eight output operations of a new handle's header.
void syst_backend_bind_outputs(mipi_syst_header* header);
// Stores the channel address of handle `index` of `type` in the user handle: 0 or 87.
std::uint32_t qlx_setchannel_handle(qlx_syst_user_handle* user_handle, std::uint32_t type, std::uint32_t index);
// The clock ETW time stamps are counted in, and its rate (fixed while the system runs);
// 0 when unavailable.
std::uint64_t syst_backend_read_counter();
std::uint64_t syst_backend_read_frequency();
// Brackets the stores of one message (the driver raises the interrupt level there).
std::uint64_t syst_backend_begin_message();
void syst_backend_end_message(std::uint64_t token);

}  // inline namespace SYST_IMAGE_NAMESPACE
