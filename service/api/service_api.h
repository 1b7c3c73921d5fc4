// The remote API operations that the dispatcher calls, as the service object provides them.
//
// QLXWindowsService implements this interface; tests give the dispatcher a fake. Operations
// report failure by throwing (QLXServiceFault with a Win32 code, or a standard exception);
// only ProcessServiceAPI turns exceptions into response statuses. Operations run on the
// socket server's client threads, several at once.
#pragma once

#include <string>
#include <vector>

#include "wire_records.h"
#include "winsock2.h"

class IConduitServiceApi {
 public:
  virtual ~IConduitServiceApi() = default;

  virtual std::vector<std::string> GetAllProviders() = 0;
  virtual std::vector<ProviderManifest> GetProviderManifests(const std::vector<std::string>& providerNames) = 0;
  virtual std::vector<std::string> GetSessionProviders(const std::string& sessionName) = 0;
  virtual void StartTraceSession(const std::string& sessionName) = 0;
  virtual void StopTraceSession(const std::string& sessionName) = 0;
  virtual void EnableProviders(const std::string& sessionName, const std::vector<ProviderSetting>& settings) = 0;
  virtual void EnableProvidersByGUID(const std::string& sessionName, const std::vector<ProviderSettingEx>& settings) = 0;
  virtual void DisableProviders(const std::string& sessionName, const std::vector<std::string>& providerNames) = 0;
  virtual void DisableProvidersByGUID(const std::string& sessionName, const std::vector<std::string>& providerGuids) = 0;
  virtual void StartTraceSessionWithProviders(const std::string& sessionName,
                                              const std::vector<ProviderSetting>& settings) = 0;
  virtual void RedirectTrace(const std::string& sessionName) = 0;
  virtual ULONGLONG GetMaxProcessorFrequency() = 0;
  virtual DWORD GetApiVersion() = 0;
  virtual bool IsTargetSideDecodingSupported() = 0;

  // The trace sink type that later session starts use (1 plain file, 2 hardware, 3 STP file).
  virtual void SetTraceSinkType(DWORD sinkType) = 0;

  // Decodes one received request, calls the operation its function code names and sends
  // exactly one response on `connection` (none when the envelope cannot be decoded: then
  // the decoding exception propagates and the caller ends the connection).
  void ProcessServiceAPI(SOCKET connection, const char* data, int length);
};
