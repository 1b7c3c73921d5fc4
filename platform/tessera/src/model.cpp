#include "tessera/model.h"

#include <mutex>
#include <string>
#include <unordered_map>

#include "capture.h"
#include "platform/core/reset.h"
#include "platform/core/target.h"

namespace tessera {

namespace {

using RegisterFile = std::unordered_map<std::uint64_t, std::uint32_t>;  // by 4-aligned offset

constexpr std::uint64_t kRegisterBytes = 4;

std::uint64_t width_mask(unsigned width) {
  return width == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * width)) - 1;
}

std::uint32_t register_at(const RegisterFile& file, std::uint64_t offset) {
  const auto found = file.find(offset);
  return found == file.end() ? 0 : found->second;
}

// `width` bytes at `offset` (aligned to `width`), little-endian across registers.
std::uint64_t read_registers(const RegisterFile& file, std::uint64_t offset, unsigned width) {
  if (width == 8) {
    return register_at(file, offset) | std::uint64_t{register_at(file, offset + kRegisterBytes)} << 32;
  }
  const unsigned shift = 8 * static_cast<unsigned>(offset % kRegisterBytes);
  return (register_at(file, offset - offset % kRegisterBytes) >> shift) & width_mask(width);
}

void write_registers(RegisterFile& file, std::uint64_t offset, unsigned width, std::uint64_t value) {
  if (width == 8) {
    file[offset] = static_cast<std::uint32_t>(value);
    file[offset + kRegisterBytes] = static_cast<std::uint32_t>(value >> 32);
    return;
  }
  const unsigned shift = 8 * static_cast<unsigned>(offset % kRegisterBytes);
  const auto mask = static_cast<std::uint32_t>(width_mask(width) << shift);
  std::uint32_t& word = file[offset - offset % kRegisterBytes];
  word = (word & ~mask) | (static_cast<std::uint32_t>(value << shift) & mask);
}

bool is_bus_width(unsigned width) { return width == 1 || width == 2 || width == 4 || width == 8; }

}  // namespace

struct Model::Impl {
  Impl() : log(kStoreLogCapacity) { power_on(Config{}); }

  // Everything but the capture, which the caller closes first.
  void power_on(const Config& new_config) {
    config = new_config;
    csr.clear();
    firmware.clear();
    csr[kSoftwareTraceCapabilityBlock] = config.first_master;
    csr[kSoftwareTraceCapabilityBlock + 4] = config.channels_per_master;
    csr[kScratchpad] = static_cast<std::uint32_t>(config.configuration_word);
    csr[kScratchpad + 4] = static_cast<std::uint32_t>(config.configuration_word >> 32);
    drain_stalled = false;
    log_next = 0;
    log_size = 0;
    capture_refused = false;
  }

  // What the block does after a CSR store of `width` bytes at `offset` landed.
  void answer_csr_store(std::uint64_t offset, unsigned width) {
    const std::uint64_t first = offset - offset % kRegisterBytes;
    for (std::uint64_t reg = first; reg < offset + width; reg += kRegisterBytes) {
      if (reg == kTraceSourceControl) {
        if (register_at(csr, reg) != 0) {
          sources_stopped();
        } else {
          sources_running();
        }
      } else if (reg == kQlxhControl && (register_at(csr, reg) & kQlxhFlush) != 0 && !drain_stalled) {
        csr[kQlxhControl] |= kQlxhEmpty;
      }
    }
  }

  void sources_stopped() {
    if (drain_stalled) return;
    csr[kGlobalStatus] |= kStatusSourcesStopped | kStatusBuffersDrained | kStatusDestinationIdle;
    for (const std::uint64_t status : {kMscStatus0, kMscStatus1}) {
      csr[status] = (register_at(csr, status) & ~kMscStateMask) | kMscDrained;
    }
    csr[kIdleBlockBusy] = register_at(csr, kIdleBlockBusy) & ~kIdleBusy;
    csr[kQlxhControl] |= kQlxhEmpty;
  }

  void sources_running() {
    csr[kGlobalStatus] = register_at(csr, kGlobalStatus) &
                         ~(kStatusSourcesStopped | kStatusBuffersDrained | kStatusDestinationIdle);
    for (const std::uint64_t status : {kMscStatus0, kMscStatus1}) csr[status] = register_at(csr, status) & ~kMscDrained;
    csr[kQlxhControl] = register_at(csr, kQlxhControl) & ~kQlxhEmpty;
  }

  std::uint64_t length_of(Window window) const {
    switch (window) {
      case Window::csr:
        return kCsrWindowLength;
      case Window::aperture:
        return config.aperture_length();
      case Window::processor_trace:
        return config.processor_trace_length;
      case Window::firmware:
        return config.firmware_length;
      case Window::none:
        break;
    }
    return 0;
  }

  std::uint64_t base_of(Window window) const {
    switch (window) {
      case Window::csr:
        return config.csr_base;
      case Window::aperture:
        return config.aperture_base;
      case Window::processor_trace:
        return config.processor_trace_base;
      case Window::firmware:
        return config.firmware_base;
      case Window::none:
        break;
    }
    return 0;
  }

  Window window_of(std::uint64_t address, std::uint64_t* offset) const {
    for (Window window : {Window::csr, Window::aperture, Window::processor_trace, Window::firmware}) {
      const std::uint64_t base = base_of(window);
      if (address >= base && address - base < length_of(window)) {
        if (offset != nullptr) *offset = address - base;
        return window;
      }
    }
    return Window::none;
  }

  // The window of an access the block accepts, or none.
  Window accepted(std::uint64_t address, unsigned width, std::uint64_t& offset) const {
    if (!is_bus_width(width) || address % width != 0) return Window::none;
    const Window window = window_of(address, &offset);
    if (window == Window::none || window == Window::processor_trace) return Window::none;
    if (length_of(window) - offset < width) return Window::none;  // runs past the window's end
    return window;
  }

  RegisterFile* registers(Window window) {
    if (window == Window::csr) return &csr;
    if (window == Window::firmware) return &firmware;
    return nullptr;
  }

  static constexpr unsigned kCaptureNameTries = 100000;

  void log_store(const Store& store) {
    log[log_next] = store;
    log_next = (log_next + 1) % kStoreLogCapacity;
    if (log_size < kStoreLogCapacity) ++log_size;
  }

  void channel_store(Store& store) {
    const std::uint64_t index = store.offset / kChannelWindowLength;
    store.master = static_cast<std::uint16_t>(config.first_master + index / config.channels_per_master);
    store.channel = static_cast<std::uint16_t>(index % config.channels_per_master);
    const detail::PacketKind kind = detail::packet_for(store.offset % kChannelWindowLength, store.width);
    if (kind == detail::PacketKind::none) return;
    if (!capture.is_open() && !capture_refused) {
      // A target root is reused across runs: a capture never replaces an earlier one, it
      // takes the next free number.
      bool opened = false;
      for (unsigned tries = 0; tries < kCaptureNameTries && !opened; ++tries) {
        const std::filesystem::path path = platform::target_root() / "Tessera" /
                                           ("tessera_capture_" + std::to_string(++captures_opened) + ".stp");
        std::error_code ignored;
        if (std::filesystem::exists(path, ignored)) continue;
        opened = capture.open(path, config.timestamp_hz);
        if (!opened) break;
      }
      if (!opened) capture_refused = true;  // tried once per configure, not once per store
    }
    capture.store(store.master, store.channel, kind, store.width, store.value);
  }

  std::mutex mutex;
  Config config;
  RegisterFile csr;
  RegisterFile firmware;
  std::vector<Store> log;  // a ring of kStoreLogCapacity
  std::size_t log_next = 0;
  std::size_t log_size = 0;
  detail::Capture capture;
  bool capture_refused = false;
  bool drain_stalled = false;
  std::uint64_t captures_opened = 0;
};

Model::Impl& Model::impl() const {
  static Impl& instance = *new Impl;  // never destroyed: stores may come from any thread at exit
  return instance;
}

void Model::configure(const Config& config) {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  state.capture.close();
  state.power_on(config);
}

Config Model::config() const {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  return state.config;
}

Window Model::window_of(std::uint64_t physical_address, std::uint64_t* offset) const {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  return state.window_of(physical_address, offset);
}

bool Model::read(std::uint64_t physical_address, unsigned width, std::uint64_t& value) {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  std::uint64_t offset = 0;
  const Window window = state.accepted(physical_address, width, offset);
  if (window == Window::none) return false;
  const RegisterFile* file = state.registers(window);
  value = file == nullptr ? 0 : read_registers(*file, offset, width);
  return true;
}

bool Model::write(std::uint64_t physical_address, unsigned width, std::uint64_t value) {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  Store store;
  store.window = state.accepted(physical_address, width, store.offset);
  if (store.window == Window::none) return false;
  store.width = static_cast<std::uint8_t>(width);
  store.value = value & width_mask(width);
  if (RegisterFile* file = state.registers(store.window)) {
    write_registers(*file, store.offset, width, store.value);
    if (store.window == Window::csr) state.answer_csr_store(store.offset, width);
  } else {
    state.channel_store(store);
  }
  state.log_store(store);
  return true;
}

void Model::set_register(Window window, std::uint64_t offset, std::uint32_t value) {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  RegisterFile* file = state.registers(window);
  if (file == nullptr || offset >= state.length_of(window)) return;
  (*file)[offset - offset % kRegisterBytes] = value;
}

std::uint32_t Model::register_value(Window window, std::uint64_t offset) const {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  const RegisterFile* file = state.registers(window);
  if (file == nullptr || offset >= state.length_of(window)) return 0;
  return register_at(*file, offset - offset % kRegisterBytes);
}

void Model::set_drain_stalled(bool stalled) {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  state.drain_stalled = stalled;
}

bool Model::drain_stalled() const {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  return state.drain_stalled;
}

std::vector<Store> Model::store_log() const {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  std::vector<Store> stores;
  stores.reserve(state.log_size);
  const std::size_t oldest = (state.log_next + kStoreLogCapacity - state.log_size) % kStoreLogCapacity;
  for (std::size_t i = 0; i < state.log_size; ++i) stores.push_back(state.log[(oldest + i) % kStoreLogCapacity]);
  return stores;
}

void Model::clear_store_log() {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  state.log_next = 0;
  state.log_size = 0;
}

std::optional<std::filesystem::path> Model::capture_path() const {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  if (!state.capture.is_open()) return std::nullopt;
  return state.capture.path();
}

void Model::flush_capture() {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  state.capture.flush();
}

std::optional<std::filesystem::path> Model::close_capture() {
  Impl& state = impl();
  std::lock_guard lock(state.mutex);
  if (!state.capture.is_open()) return std::nullopt;
  std::filesystem::path path = state.capture.path();
  state.capture.close();
  return path;
}

Model& model() {
  static Model& instance = *new Model;
  return instance;
}

namespace {

void power_on_with_defaults() { model().configure(Config{}); }

}  // namespace

void join_reset_phases() {
  platform::add_reset_step(platform::ResetPhase::drop_process_state, &power_on_with_defaults);
}

}  // namespace tessera
