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
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "binary_stream.h"
#include "log_writer.h"
#include "server_socket.h"
#include "service_api.h"
#include "service_fault.h"
#include "wire_records.h"

namespace {

constexpr const char* kGuardName = "QLXWindowsService::ProcessServiceAPI";

constexpr UINT32 kStatusSuccess = 0;
constexpr UINT32 kStatusFailed = 1;
constexpr UINT32 kStatusBadParameters = 2;

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
  response.status = kStatusBadParameters;
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
  response.status = kStatusSuccess;

  try {
    BinaryStream& params = request.params;
    switch (request.function) {
      case 0: {
        CaseTrace caseTrace("getProviderManifests");
        if (!HasParameterCount(request, response, 1, "getProviderManifests")) break;
        const std::vector<std::string> names = ReadTextList(params);
        const std::vector<ProviderManifest> manifests = GetProviderManifests(names);
        if (manifests.empty()) {
          WriteLog(LOG_ERROR, "ERROR # Conduit::ProcessServiceAPI # getProviderManifests # Manifest size 0");
          response.status = kStatusFailed;
          response.result << std::string("GetProviderManifest function returned  InstrumentationManifestType");
          break;
        }
        response.result << static_cast<UINT32>(manifests.size());
        for (const ProviderManifest& manifest : manifests) {
          manifest >> response.result;
        }
        break;
      }
      case 1: {
        CaseTrace caseTrace("getAllProviders");
        WriteTextList(response.result, GetAllProviders());
        break;
      }
      case 2: {
        CaseTrace caseTrace("startTraceSession");
        if (!HasParameterCount(request, response, 1, "startTraceSession")) break;
        std::string sessionName;
        params >> sessionName;
        WriteLog(LOG_INFO, "INFO # Conduit::ProcessServiceAPI # startTraceSession for provider %s",
                 sessionName.c_str());
        StartTraceSession(sessionName);
        break;
      }
      case 3: {
        CaseTrace caseTrace("stopTraceSession");
        if (!HasParameterCount(request, response, 1, "stopTraceSession")) break;
        std::string sessionName;
        params >> sessionName;
        StopTraceSession(sessionName);
        break;
      }
      case 4: {
        CaseTrace caseTrace("getMaxProcessorFrequency");
        response.result << ULONGLONG{GetMaxProcessorFrequency()};
        break;
      }
      case 5: {
        CaseTrace caseTrace("enableProviders");
        if (!HasParameterCount(request, response, 2, "enableProviders")) break;
        std::string sessionName;
        params >> sessionName;
        const std::vector<ProviderSetting> settings = ReadSettingList<ProviderSetting>(params);
        EnableProviders(sessionName, settings);
        break;
      }
      case 6: {
        CaseTrace caseTrace("disableProviders");
        if (!HasParameterCount(request, response, 2, "disableProviders")) break;
        std::string sessionName;
        params >> sessionName;
        const std::vector<std::string> names = ReadTextList(params);
        DisableProviders(sessionName, names);
        break;
      }
      case 7: {
        CaseTrace caseTrace("redirectTrace");
        if (!HasParameterCount(request, response, 1, "redirectTrace")) break;
        std::string sessionName;
        params >> sessionName;
        RedirectTrace(sessionName);
        break;
      }
      case 8: {
        CaseTrace caseTrace("conduit");
        // Peers recognise the service by this answer, function 2 included.
        response.status = kStatusSuccess;
        response.function = 2;
        response.paramCount = 0;
        response.result << std::string("conduit");
        break;
      }
      case 9: {
        CaseTrace caseTrace("setSyncType");
        if (!HasParameterCount(request, response, 1, "setSyncType")) break;
        UINT32 sinkType = 0;
        params >> sinkType;
        if (sinkType < 1 || sinkType > 3) {
          WriteLog(LOG_ERROR, "ERROR # Conduit::ProcessServiceAPI # Invalid sync Type [%u] provided", sinkType);
          response.status = kStatusBadParameters;
          response.result << std::string("Invalid Sync type provided");
          break;
        }
        SetTraceSinkType(sinkType);
        break;
      }
      case 10: {
        CaseTrace caseTrace("enableProvidersByGUID");
        if (!HasParameterCount(request, response, 2, "enableProvidersByGUID")) break;
        std::string sessionName;
        params >> sessionName;
        const std::vector<ProviderSettingEx> settings = ReadSettingList<ProviderSettingEx>(params);
        EnableProvidersByGUID(sessionName, settings);
        break;
      }
      case 11: {
        CaseTrace caseTrace("disableProvidersByGUID");
        if (!HasParameterCount(request, response, 2, "disableProvidersByGUID")) break;
        std::string sessionName;
        params >> sessionName;
        const std::vector<std::string> guids = ReadTextList(params);
        DisableProvidersByGUID(sessionName, guids);
        break;
      }
      default:
        WriteLog(LOG_ERROR, "ERROR # Conduit::ProcessServiceAPI # No suitable function %d supported",
                 static_cast<int>(request.function));
        response.status = kStatusFailed;
        response.result << std::string("No such function supported");
        break;
    }
  } catch (const QLXServiceFault& fault) {
    WriteLog(LOG_ERROR, "QLXServiceFault Fn: %s : Exception: %s , ErrorCode: %ul", kGuardName, fault.what(),
             fault.errorCode);
    response.status = kStatusFailed;
    response.result << ("Error:: " + std::string(fault.what()) + " , Error code : " +
                        std::to_string(fault.errorCode));
  } catch (const std::exception& e) {
    LogStandardException(kGuardName, e);
    response.status = kStatusFailed;
    response.result << ("Error :: " + std::string(e.what()));
  } catch (...) {
    LogGenericException(kGuardName);
    response.status = kStatusFailed;
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
