// The Tessera trace block of the virtual target: a model of the hardware that TXR drives.
//
// The block decodes four physical windows (the driver finds them in its resource list, in
// this order):
//   1. the 1 MiB CSR window: a register file of 32-bit registers, all 0 at power-on but the
//      capability registers (an 8-byte access covers two registers, a 1- or 2-byte access
//      part of one, little-endian). Blocks the driver uses lie at fixed offsets
//      (0x4000 is the software-trace capability block: register 0x00 bits 0-15 give the first
//      software master, register 0x04 bits 0-7 the channels per master);
//   2. the software-trace aperture: one 64-byte window per (master, channel), masters from
//      the first software master on, `channels_per_master` channels each. A store into a
//      channel window becomes MIPI STP v2 packets on that master and channel:
//        0x00 data (D8, D16, D32, D64 by the store's width)   0x10 D32TS (32-bit store)
//        0x18 D32MTS / D64MTS (32-/64-bit store)             0x30 FLAG (16-bit store)
//      Channel window i (aperture offset / 64) is master first_master + i / channels_per_master,
//      channel i % channels_per_master, as the configuration says (rewriting the capability
//      registers does not move the decode, as it would not on the hardware). Any other
//      offset and width inside a channel window is accepted and logged but makes no packet.
//      Reads of the aperture return 0;
//   3. the processor-trace window (never accessed by the driver; an access is refused);
//   4. the firmware window: a second register file.
// An access outside every window (or running past a window's end), of a width other than
// 1, 2, 4 or 8 bytes, or not aligned to its width, is refused: the kernel surface raises an
// access violation for it, as a bus error would.
//
// Every store to a register file and every channel store is appended to the store log that
// tests read. Channel stores are also packetised into the capture: the byte stream a host
// would record from the block's trace port, written to a file under ROOT/Tessera/. The
// packetizer is the model's own code, independent of the service's STP writer, so each
// checks the other. Its stream opens with ASYNC, VERSION and FREQ (the model's time-stamp
// rate) and switches master and channel with M16/C16 packets whenever a store's channel
// differs from the previous store's (a new master always brings its C16 too, because a
// decoder forgets the channel when the master changes). Time stamps are the model's own
// clock: FREQ ticks since the capture was opened.
//
// The capture file is opened by the first channel store that makes a packet after
// configure (or the reset). Its bytes are buffered and reach the file when the buffer
// passes 64 KiB, on `flush_capture`, and when configure or the reset closes the capture.
// Only whole bytes go out; a packet's odd last nibble waits for the next packet, and the
// close completes it with a 0 nibble. What is still buffered when the process ends without
// either is lost, as a host loses the tail of a capture it does not stop.
//
// The block answers the power sequences' waits as the hardware does: stopping the trace
// sources drains it, and the drain and idle bits rise once the stores that cause them land
// (the model raises them at once, in the same store). A store of a nonzero value to the
// trace-source control (global 0xD8) stops sources: the block then raises in the same store
//   - global status 0xD4 bits 0 (sources stopped), 1 (buffers drained), 2 (destination idle);
//   - memory-controller status MSC 0x104 and 0x204 (CSR 0xA0104, 0xA0204): bit 2 (drained),
//     and their state-machine field, bits 4-7, goes to 0 (idle);
//   - QLXH control (CSR 0xA1000) bit 27 (QLXH empty);
//   and clears the idle block's busy bit (CSR 0x1C00 bit 31).
// A store of 0 there (the sources run again) clears global 0xD4 bits 0-2, the MSC drained
// bits and QLXH bit 27. A store to QLXH control with bit 26 (flush) set raises bit 27 (flush
// done). The model never sets a busy bit or a state-machine field itself: tests do, with
// `set_register`. `set_drain_stalled(true)` makes the block a wedged one that raises none
// of these bits (and clears no busy bit), so that the driver's bounded waits can be tested;
// configure and the reset end the stall. The scratchpad (global 0xE0 to 0xEF) holds at
// power-on what the platform's firmware leaves there: the 64-bit configuration word at 0xE0
// (`Config::configuration_word`), 0 in 0xE8 and 0xEC.
//
// Lifecycle and threads: one process-wide model (`model()`; it cannot be constructed or
// copied elsewhere), configured by `configure` (sim boots the device with it) and returned
// to its power-on state by the reset's drop_process_state phase (`join_reset_phases`).
// Every member may be called from any thread; stores from several threads are serialised,
// and each store reaches the log and the capture whole. The store log and the capture buffer
// are allocated once, so a channel store allocates nothing (a register file store only the
// first time its register is written).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessera {

enum class Window : std::uint8_t { none, csr, aperture, processor_trace, firmware };

inline constexpr std::uint64_t kCsrWindowLength = 0x100000;
inline constexpr std::uint64_t kChannelWindowLength = 64;
inline constexpr std::uint64_t kSoftwareTraceCapabilityBlock = 0x4000;  // CSR offset

// Power-related registers (CSR window offsets) and the bits the model answers (see above).
inline constexpr std::uint64_t kGlobalStatus = 0xD4;
inline constexpr std::uint64_t kTraceSourceControl = 0xD8;
inline constexpr std::uint64_t kScratchpad = 0xE0;  // 0xE0 to 0xEF; the configuration word first
inline constexpr std::uint64_t kIdleBlockBusy = 0x1C00;
inline constexpr std::uint64_t kMscStatus0 = 0xA0104;
inline constexpr std::uint64_t kMscStatus1 = 0xA0204;
inline constexpr std::uint64_t kQlxhControl = 0xA1000;
inline constexpr std::uint32_t kStatusSourcesStopped = 0x1;
inline constexpr std::uint32_t kStatusBuffersDrained = 0x2;
inline constexpr std::uint32_t kStatusDestinationIdle = 0x4;
inline constexpr std::uint32_t kIdleBusy = 0x80000000;
inline constexpr std::uint32_t kMscDrained = 0x4;
inline constexpr std::uint32_t kMscStateMask = 0xF0;
inline constexpr std::uint32_t kQlxhFlush = 0x4000000;
inline constexpr std::uint32_t kQlxhEmpty = 0x8000000;

// Offsets inside a 64-byte channel window.
inline constexpr std::uint64_t kChannelData = 0x00;
inline constexpr std::uint64_t kChannelDataTimestamped = 0x10;
inline constexpr std::uint64_t kChannelDataMarkedTimestamped = 0x18;
inline constexpr std::uint64_t kChannelFlag = 0x30;

struct Config {
  std::uint64_t csr_base = 0xF0000000;
  std::uint16_t first_master = 256;
  std::uint8_t channels_per_master = 128;
  std::uint16_t master_count = 256;  // aperture length = master_count × channels × 64
  std::uint64_t aperture_base = 0xE0000000;
  std::uint64_t processor_trace_base = 0xD0000000;
  std::uint64_t processor_trace_length = 0x10000;
  std::uint64_t firmware_base = 0xF0100000;
  std::uint64_t firmware_length = 0x1000;
  // Time-stamp rate of the capture's D32TS packets (FREQ packet).
  std::uint64_t timestamp_hz = 10'000'000;
  // The configuration word the platform's firmware leaves at scratchpad 0xE0 (bit 2: trace
  // to the destination that the idle block and status bit 2 report on).
  std::uint64_t configuration_word = 0x4;

  std::uint64_t aperture_length() const {
    return std::uint64_t{master_count} * channels_per_master * kChannelWindowLength;
  }
};

// One store, as the block saw it.
struct Store {
  Window window = Window::none;
  std::uint64_t offset = 0;  // inside the window
  std::uint8_t width = 0;    // bytes: 1, 2, 4 or 8
  std::uint64_t value = 0;
  // For aperture stores: the channel the store addressed.
  std::uint16_t master = 0;
  std::uint16_t channel = 0;

  bool operator==(const Store&) const = default;
};

class Model {
 public:
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // Puts the block in its power-on state with `config`: registers cleared except the
  // capability registers, which read the configured first master and channels per master,
  // and the scratchpad, which holds the configured configuration word; no drain stall;
  // the store log emptied; the capture closed (a new one starts with the next channel store).
  void configure(const Config& config);
  Config config() const;

  // Which window holds `physical_address` (and its offset there).
  Window window_of(std::uint64_t physical_address, std::uint64_t* offset = nullptr) const;

  // One access of `width` bytes. False when the access is refused (see above); then nothing
  // changes and `value` is untouched.
  bool read(std::uint64_t physical_address, unsigned width, std::uint64_t& value);
  bool write(std::uint64_t physical_address, unsigned width, std::uint64_t value);

  // Register file access for tests and sim (no store logged): CSR or firmware window only,
  // `offset` inside the window (rounded down to its register); anything else sets nothing
  // and reads 0.
  void set_register(Window window, std::uint64_t offset, std::uint32_t value);
  std::uint32_t register_value(Window window, std::uint64_t offset) const;

  // A wedged block: while stalled, no drain or idle bit rises and no busy bit clears.
  void set_drain_stalled(bool stalled);
  bool drain_stalled() const;

  // The store log, oldest first; it holds the last kStoreLogCapacity stores.
  static constexpr std::size_t kStoreLogCapacity = 1 << 16;
  std::vector<Store> store_log() const;
  void clear_store_log();

  // The capture file (ROOT/Tessera/tessera_capture_<n>.stp, n the next number after this
  // process's last capture whose file does not exist yet: a reused root keeps every earlier
  // capture), once a channel
  // store opened it; nothing before that, after configure, or when the file could not be
  // created (then packets are dropped until the next configure). Each configure starts a new
  // one. `flush_capture` writes out what is buffered so a reader sees every whole byte stored
  // so far (every packet but a pending last nibble).
  std::optional<std::filesystem::path> capture_path() const;
  void flush_capture();
  // Ends the capture as a host stops recording: writes out what is buffered, completes a
  // pending half byte and closes the file. Returns its path (none when no capture was open);
  // the next channel store opens a new capture.
  std::optional<std::filesystem::path> close_capture();

 private:
  friend Model& model();
  Model() = default;

  struct Impl;
  Impl& impl() const;
};

Model& model();

// Adds the model's reset step (drop_process_state: flush and close the capture, power-on
// state with the default configuration). Joining twice adds nothing.
void join_reset_phases();

}  // namespace tessera
