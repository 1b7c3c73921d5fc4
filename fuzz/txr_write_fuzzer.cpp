// Feeds arbitrary bytes to TXR as one write on its device interface, as the service (or any
// caller that opened the interface) could hand it a buffer of framed records. The driver is
// booted once per process on the Tessera device and the write goes through the Win32
// surface, as a user-mode caller's does. Whatever the buffer holds, the driver must neither
// crash nor bug-check, must complete the write with a status, and what reached the block
// must stay a whole packet stream: the Tessera's capture decodes without a skipped byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "booted_txr.h"
#include "sim/sim.h"
#include "stp_capture.h"
#include "tessera/model.h"

namespace {

// The machine root lives in memory when it can: every input's capture is a file the block
// writes.
std::optional<std::filesystem::path> MachineRoot() {
  if (!std::filesystem::is_directory("/dev/shm")) return std::nullopt;
  return std::filesystem::path("/dev/shm") / "conduit-txr-write-fuzzer";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  txr_testing::TxrUserClient& client = txr_fuzzing::BootedClient(MachineRoot());
  std::uint32_t written = 0;
  const std::uint32_t status = client.write(std::vector<std::uint8_t>(data, data + size), &written);
  if (status == 0 && written != size) std::abort();  // a success takes the whole buffer
  tessera::model().clear_store_log();
  if (const auto capture = tessera::model().close_capture()) {
    const stp_testing::DecodedCapture decoded = stp_testing::decode_stp(stp_testing::read_whole_file(*capture));
    std::filesystem::remove(*capture);
    if (!decoded.skips.empty()) std::abort();
  }
  return 0;
}
