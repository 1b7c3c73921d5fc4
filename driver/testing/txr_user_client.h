// A user-mode caller of TXR's device interface, as a tool on the target would be: finds the
// interface by its class, opens it, writes buffers and sends I/O controls through the Win32
// surface. conduit-target's actions and the driver's tests use it. Kept apart from the
// kernel headers (the two surfaces never meet in one file). Results are Win32 error codes
// (0 for success). One thread at a time uses a client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace txr_testing {

// The first present instance of TXR's interface class, or an empty text.
std::u16string txr_interface_path();

class TxrUserClient {
 public:
  TxrUserClient() = default;
  ~TxrUserClient();
  TxrUserClient(const TxrUserClient&) = delete;
  TxrUserClient& operator=(const TxrUserClient&) = delete;

  std::uint32_t open();
  std::uint32_t write(const std::vector<std::uint8_t>& bytes, std::uint32_t* written = nullptr);
  std::uint32_t control(std::uint32_t code, const std::vector<std::uint8_t>& input);

 private:
  void* handle_ = nullptr;
};

}  // namespace txr_testing
