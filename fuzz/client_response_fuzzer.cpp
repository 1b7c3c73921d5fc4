// Feeds arbitrary bytes, as a peer that is not Conduit (or a damaged connection) could send
// them, to the host client's response decoding: the envelope, then its result read as each
// of the result shapes the client knows. Whatever arrives, decoding must neither crash nor
// allocate what a declared count claims; a shape that does not fit is an error the client
// reports, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <vector>

#include "conduit_client.h"
#include "wire_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace conduit::host;
  const Bytes bytes(data, data + size);
  const auto decoded = try_decode(bytes);
  if (decoded && decoded->second > bytes.size()) std::abort();  // took more than it was given
  // The result shapes, each tried on the envelope's result when there is one and on the raw
  // bytes otherwise, so that every decoder sees arbitrary input.
  const Bytes& result = decoded ? decoded->first.result : bytes;
  try {
    (void)decode_text_list(result);
  } catch (const std::exception&) {
  }
  try {
    (void)decode_manifests(result);
  } catch (const std::exception&) {
  }
  try {
    (void)decode_u64(result);
  } catch (const std::exception&) {
  }
  try {
    (void)decode_text(result);
  } catch (const std::exception&) {
  }
  if (decoded) {
    // What decoded encodes to the same bytes: the codec is exact both ways.
    const Bytes again = encode(decoded->first);
    if (again.size() != decoded->second ||
        !std::equal(again.begin(), again.end(), bytes.begin())) {
      std::abort();
    }
  }
  return 0;
}
