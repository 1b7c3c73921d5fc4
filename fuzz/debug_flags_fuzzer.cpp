// Feeds arbitrary bytes to TXR's debug-output controls as their input buffer, as any caller
// that opened the device interface could send it: the two filter-list controls (count,
// then component and level-mask pairs) and the switches of the capture, chosen by the
// input's last byte (a level mask's top byte in a well-formed list), so every control sees
// every shape. The driver is booted once per process.
// Whatever the buffer holds, the driver must neither crash nor bug-check nor read past the
// input, and must answer every control with a status, leaving the filter to later inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "booted_txr.h"
#include "txr_public.h"

namespace {

constexpr std::uint32_t kControls[] = {IOCTL_TXR_ENABLE_DEBUG_FLAGS, IOCTL_TXR_DISABLE_DEBUG_FLAGS,
                                       IOCTL_TXR_ENABLE_DEBUG_FLAGS, IOCTL_TXR_DISABLE_DEBUG_FLAGS,
                                       IOCTL_TXR_ENABLE_DEBUG_OUTPUT, IOCTL_TXR_DISABLE_DEBUG_OUTPUT};
// The Win32 code a failed control reports cannot be the one that only means "still pending".
constexpr std::uint32_t kErrorIoPending = 997;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  txr_testing::TxrUserClient& client = txr_fuzzing::BootedClient();
  const std::uint32_t control = kControls[size == 0 ? 0 : data[size - 1] % std::size(kControls)];
  const std::uint32_t status = client.control(control, std::vector<std::uint8_t>(data, data + size));
  if (status == kErrorIoPending) std::abort();
  return 0;
}
