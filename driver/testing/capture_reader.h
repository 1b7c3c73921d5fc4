// Reads the Tessera model's capture back with stpdump's decoder, as a host would read what it
// recorded from the block's trace port.
#pragma once

#include "stp_capture.h"
#include "tessera/model.h"

namespace txr_testing {

// What the block emitted so far (whole bytes; a pending last nibble waits).
inline stp_testing::DecodedCapture decode_capture() {
  tessera::model().flush_capture();
  const auto path = tessera::model().capture_path();
  if (!path) return {};
  return stp_testing::decode_stp(stp_testing::read_whole_file(*path));
}

}  // namespace txr_testing
