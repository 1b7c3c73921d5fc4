// Feeds arbitrary bytes, as a peer could send them in one receive, to the request decoder
// and to the dispatcher over a loopback connection. Whatever arrives, the service must
// neither crash nor leak nor allocate what a declared length claims, and every request
// whose envelope decodes must get exactly one well-formed response.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "binary_stream.h"
#include "log_writer.h"
#include "testing/fake_service_api.h"
#include "testing/loopback_connection.h"
#include "wire_records.h"

namespace {

LoopbackConnection& Connection() {
  // The log would otherwise grow by every rejected input; the fuzzer checks behaviour, not
  // the log.
  static const bool quiet = (SetLogLevel("4"), true);
  (void)quiet;
  static LoopbackConnection connection;
  return connection;
}

// Reads the one response the dispatcher sent and checks that it is a whole record.
void ReceiveResponse(LoopbackConnection& connection) {
  char header[16];
  if (!connection.ReadExactly(header, sizeof(header))) std::abort();
  UINT32 paramsSize = 0;
  std::memcpy(&paramsSize, header + 12, 4);
  if (paramsSize != 0) std::abort();  // responses never carry parameters
  UINT32 resultSize = 0;
  if (!connection.ReadExactly(&resultSize, sizeof(resultSize))) std::abort();
  auto result = std::make_unique<char[]>(resultSize + 1);
  if (resultSize > 0 && !connection.ReadExactly(result.get(), resultSize)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  LoopbackConnection& connection = Connection();

  {
    BinaryStream stream(data, size);
    Socketdata request;
    try {
      request << stream;
    } catch (const std::exception&) {
    }
  }

  FakeServiceApi service;
  service.providers = {"Alpha", "Beta"};
  service.manifests = {{"Alpha", GUID_NULL, "<instrumentationManifest/>"}};
  service.processorFrequency = 10'000'000ULL << 10;
  // Let the input's length choose how the operations end, so that every guard is reached.
  service.throwKind = static_cast<FakeServiceApi::Throw>(size % 4);
  service.faultMessage = "fuzz";
  service.faultCode = 5;

  const char* bytes = size > 0 ? reinterpret_cast<const char*>(data) : "";
  bool answered = false;
  try {
    service.ProcessServiceAPI(connection.service(), bytes, static_cast<int>(size));
    answered = true;
  } catch (const std::exception&) {
    // An undecodable envelope: no response was sent.
  }
  if (answered) ReceiveResponse(connection);
  return 0;
}
