// IConduitServiceApi::ProcessServiceAPI: one received request in, one response out.
//
// Function codes and their parameters (items of the wire stream), with the result on success:
//   0 getProviderManifests    1: list of texts                  u32 count, ProviderManifests
//   1 getAllProviders         -                                  list of texts
//   2 startTraceSession       1: text                            empty
//   3 stopTraceSession        1: text                            empty
//   4 getMaxProcessorFrequency -                                 u64
//   5 enableProviders         2: text, u32 count, ProviderSettings          empty
//   6 disableProviders        2: text, list of texts             empty
//   7 redirectTrace           1: text                            empty
//   8 conduit                 -                                  text "conduit", function 2
//   9 setSyncType             1: u32 sink type 1..3              empty
//  10 enableProvidersByGUID   2: text, u32 count, ProviderSettingExs        empty
//  11 disableProvidersByGUID  2: text, list of texts             empty
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binary_stream.h"
#include "conduit_protocol.h"
#include "log_writer.h"
#include "server_socket.h"
#include "service_api.h"
#include "service_fault.h"
#include "wire_records.h"

namespace {

using conduit::protocol::FunctionCode;
using conduit::protocol::IsSinkType;
using conduit::protocol::ResponseStatus;
using conduit::protocol::ToWire;

constexpr const char* kGuardName = "QLXWindowsService::ProcessServiceAPI";

// The entry and exit lines of one case; the exit is written however the case ends.
class CaseTrace {
 public:
  explicit CaseTrace(const char* caseName) : m_caseName(caseName) {
    WriteLog(LOG_DEBUG, "DEBUG # Conduit::ProcessServiceAPI # Entering case %s", m_caseName);
  }
  ~CaseTrace() { WriteLog(LOG_DEBUG, "DEBUG # Conduit::ProcessServiceAPI # Exiting case %s", m_caseName); }
  CaseTrace(const CaseTrace&) = delete;
  CaseTrace& operator=(const CaseTrace&) = delete;

 private:
  const char* m_caseName;
};

// A wrong parameter count: answered with status 2 before any parameter is read.
bool HasParameterCount(const Socketdata& request, Socketdata& response, UINT32 required,
                       const char* caseName) {
  if (request.paramCount == required) {
    return true;
  }
  WriteLog(LOG_ERROR, "ERROR # Conduit::ProcessServiceAPI # %s # No/Less parameters provided", caseName);
  response.status = ToWire(ResponseStatus::BadParameters);
  response.result << std::string("No parameters provided");
  return false;
}

// Lists carry a leading u32 count. Nothing is reserved from that count: it comes from the
// peer, and each element must be present in the stream before it is kept.
std::vector<std::string> ReadTextList(BinaryStream& stream) {
  UINT32 count = 0;
  stream >> count;
  std::vector<std::string> texts;
  for (UINT32 i = 0; i < count; ++i) {
    std::string text;
    stream >> text;
    texts.push_back(std::move(text));
  }
  return texts;
}

template <typename Setting>
std::vector<Setting> ReadSettingList(BinaryStream& stream) {
  UINT32 count = 0;
  stream >> count;
  std::vector<Setting> settings;
  for (UINT32 i = 0; i < count; ++i) {
    Setting setting;
    setting << stream;
    settings.push_back(std::move(setting));
  }
  return settings;
}

void WriteTextList(BinaryStream& stream, const std::vector<std::string>& texts) {
  stream << static_cast<UINT32>(texts.size());
  for (const std::string& text : texts) {
    stream << text;
  }
}

std::string ReadText(BinaryStream& stream) {
  std::string text;
  stream >> text;
  return text;
}

// The handlers: each reads its parameters from `params` in wire order, calls one operation
// and writes the result. A status other than success is set here only for the answers that
// are no exception (an empty manifest list, a sink type out of range).

void GetProviderManifestsCase(IConduitServiceApi& service, BinaryStream& params, Socketdata& response) {
  const std::vector<std::string> names = ReadTextList(params);
  const std::vector<ProviderManifest> manifests = service.GetProviderManifests(names);
  if (manifests.empty()) {
    WriteLog(LOG_ERROR, "ERROR # Conduit::ProcessServiceAPI # getProviderManifests # Manifest size 0");
    response.status = ToWire(ResponseStatus::Failed);
    response.result << std::string("GetProviderManifest function returned  InstrumentationManifestType");
    return;
  }
  response.result << static_cast<UINT32>(manifests.size());
  for (const ProviderManifest& manifest : manifests) {
    manifest >> response.result;
  }
}

void GetAllProvidersCase(IConduitServiceApi& service, BinaryStream& /*params*/, Socketdata& response) {
  WriteTextList(response.result, service.GetAllProviders());
}

void StartTraceSessionCase(IConduitServiceApi& service, BinaryStream& params, Socketdata& /*response*/) {
  const std::string sessionName = ReadText(params);
  WriteLog(LOG_INFO, "INFO # Conduit::ProcessServiceAPI # startTraceSession for provider %s", sessionName.c_str());
  service.StartTraceSession(sessionName);
}

void StopTraceSessionCase(IConduitServiceApi& service, BinaryStream& params, Socketdata& /*response*/) {
  service.StopTraceSession(ReadText(params));
}

void GetMaxProcessorFrequencyCase(IConduitServiceApi& service, BinaryStream& /*params*/, Socketdata& response) {
  response.result << ULONGLONG{service.GetMaxProcessorFrequency()};
}

void EnableProvidersCase(IConduitServiceApi& service, BinaryStream& params, Socketdata& /*response*/) {
  const std::string sessionName = ReadText(params);
  const std::vector<ProviderSetting> settings = ReadSettingList<ProviderSetting>(params);
  service.EnableProviders(sessionName, settings);
}

void DisableProvidersCase(IConduitServiceApi& service, BinaryStream& params, Socketdata& /*response*/) {
  const std::string sessionName = ReadText(params);
  const std::vector<std::string> names = ReadTextList(params);
  service.DisableProviders(sessionName, names);
}

void RedirectTraceCase(IConduitServiceApi& service, BinaryStream& params, Socketdata& /*response*/) {
  service.RedirectTrace(ReadText(params));
}

void PingCase(IConduitServiceApi& /*service*/, BinaryStream& /*params*/, Socketdata& response) {
  response.status = ToWire(ResponseStatus::Success);
  response.function = ToWire(conduit::protocol::kPingAnswerFunction);
  response.paramCount = 0;
  response.result << std::string("conduit");
}

void SetSyncTypeCase(IConduitServiceApi& service, BinaryStream& params, Socketdata& response) {
  UINT32 sinkType = 0;
  params >> sinkType;
  if (!IsSinkType(sinkType)) {
    WriteLog(LOG_ERROR, "ERROR # Conduit::ProcessServiceAPI # Invalid sync Type [%u] provided", sinkType);
    response.status = ToWire(ResponseStatus::BadParameters);
    response.result << std::string("Invalid Sync type provided");
    return;
  }
  service.SetTraceSinkType(sinkType);
}

void EnableProvidersByGuidCase(IConduitServiceApi& service, BinaryStream& params, Socketdata& /*response*/) {
  const std::string sessionName = ReadText(params);
  const std::vector<ProviderSettingEx> settings = ReadSettingList<ProviderSettingEx>(params);
  service.EnableProvidersByGUID(sessionName, settings);
}

void DisableProvidersByGuidCase(IConduitServiceApi& service, BinaryStream& params, Socketdata& /*response*/) {
  const std::string sessionName = ReadText(params);
  const std::vector<std::string> guids = ReadTextList(params);
  service.DisableProvidersByGUID(sessionName, guids);
}

// One function code: the case name its log lines use, the parameter count it requires (none
// checked when empty) and its handler.
struct Operation {
  FunctionCode code;
  const char* caseName;
  std::optional<UINT32> parameterCount;
  void (*handle)(IConduitServiceApi& service, BinaryStream& params, Socketdata& response);
};

constexpr std::optional<UINT32> kNotChecked;

constexpr std::array kOperations{
    Operation{FunctionCode::GetProviderManifests, "getProviderManifests", 1, &GetProviderManifestsCase},
    Operation{FunctionCode::GetAllProviders, "getAllProviders", kNotChecked, &GetAllProvidersCase},
    Operation{FunctionCode::StartTraceSession, "startTraceSession", 1, &StartTraceSessionCase},
    Operation{FunctionCode::StopTraceSession, "stopTraceSession", 1, &StopTraceSessionCase},
    Operation{FunctionCode::GetMaxProcessorFrequency, "getMaxProcessorFrequency", kNotChecked,
              &GetMaxProcessorFrequencyCase},
    Operation{FunctionCode::EnableProviders, "enableProviders", 2, &EnableProvidersCase},
    Operation{FunctionCode::DisableProviders, "disableProviders", 2, &DisableProvidersCase},
    Operation{FunctionCode::RedirectTrace, "redirectTrace", 1, &RedirectTraceCase},
    Operation{FunctionCode::Ping, "conduit", kNotChecked, &PingCase},
    Operation{FunctionCode::SetSyncType, "setSyncType", 1, &SetSyncTypeCase},
    Operation{FunctionCode::EnableProvidersByGuid, "enableProvidersByGUID", 2, &EnableProvidersByGuidCase},
    Operation{FunctionCode::DisableProvidersByGuid, "disableProvidersByGUID", 2, &DisableProvidersByGuidCase},
};

const Operation* FindOperation(UINT32 function) {
  const auto found = std::find_if(kOperations.begin(), kOperations.end(),
                                  [function](const Operation& operation) { return ToWire(operation.code) == function; });
  return found == kOperations.end() ? nullptr : &*found;
}

}  // namespace

void IConduitServiceApi::ProcessServiceAPI(SOCKET connection, const char* data, int length) {
  FunctionTrace trace("Conduit::ProcessServiceAPI");
  if (data == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return;
  }

  Socketdata request;
  Socketdata response;
  // A negative count is no request at all, not a size to copy.
  BinaryStream requestStream(data, length > 0 ? static_cast<std::size_t>(length) : 0);

  // Outside the guard: an envelope that cannot be decoded gets no response, and the
  // exception tells the client thread to end the connection.
  request << requestStream;
  response.function = request.function;
  response.status = ToWire(ResponseStatus::Success);

  try {
    const Operation* operation = FindOperation(request.function);
    if (operation == nullptr) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::ProcessServiceAPI # No suitable function %d supported",
               static_cast<int>(request.function));
      response.status = ToWire(ResponseStatus::Failed);
      response.result << std::string("No such function supported");
    } else {
      CaseTrace caseTrace(operation->caseName);
      if (!operation->parameterCount ||
          HasParameterCount(request, response, *operation->parameterCount, operation->caseName)) {
        operation->handle(*this, request.params, response);
      }
    }
  } catch (const QLXServiceFault& fault) {
    WriteLog(LOG_ERROR, "QLXServiceFault Fn: %s : Exception: %s , ErrorCode: %ul", kGuardName, fault.what(),
             fault.errorCode);
    response.status = ToWire(ResponseStatus::Failed);
    response.result << ("Error:: " + std::string(fault.what()) + " , Error code : " +
                        std::to_string(fault.errorCode));
  } catch (const std::exception& e) {
    LogStandardException(kGuardName, e);
    response.status = ToWire(ResponseStatus::Failed);
    response.result << ("Error :: " + std::string(e.what()));
  } catch (...) {
    LogGenericException(kGuardName);
    response.status = ToWire(ResponseStatus::Failed);
    response.result << std::string("Error :: Unknown Exception Error");
  }

  BinaryStream binRespStream;
  response >> binRespStream;
  const UINT32 size = binRespStream.GetSize();
  // send takes an int count: a larger response would go out truncated or not at all.
  if (size == 0 || size > static_cast<UINT32>(INT32_MAX)) {
    WriteLog(LOG_ERROR, "ERROR # Conduit::ProcessServiceAPI # binRespStream.GetSize is not valid");
    return;
  }
  const std::shared_ptr<char[]> buffer = binRespStream.GetBuffer();
  if (!buffer) {
    WriteLog(LOG_ERROR, "ERROR # Conduit::ProcessServiceAPI # binRespStream.GetBuffer failed");
    return;
  }
  ServerSocket::writeClientData(connection, buffer.get(), static_cast<int>(size));
}
