// The one service object of the Conduit process.
//
// Lifecycle: constructed on the entry point's stack (reads the configuration and sets the
// log threshold, creates the ETW singletons and the socket server); OnStart runs on the
// service thread and starts listening on the port from the registry; the API operations run
// on the socket server's client threads; the destructor, on the entry thread after the
// dispatcher has returned, releases the singletons and shuts the socket server down.
#pragma once

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "configuration_manager.h"
#include "manifest_document.h"
#include "server_socket.h"
#include "service_api.h"
#include "service_base.h"
#include "util.h"
#include "winreg.h"

class CEtwSchemaCollector;
class CEtwTdhManifestLoader;
class CEtwController;
class DeviceBase;

class QLXWindowsService : public CQLXServiceBase, public IConduitServiceApi {
 public:
  static constexpr DWORD kDefaultPort = 20950;
  static constexpr DWORD kMinimumPort = 1024;
  static constexpr DWORD kMaximumPort = 49151;
  // The keyword-mask caches hold this until the configuration has been read.
  static constexpr ULONGLONG kKeywordNotRead = 1234567890;
  // How long the teardown waits for client threads to finish their request.
  static constexpr DWORD kClientStopTimeoutMs = 5000;

  QLXWindowsService(LPCWSTR serviceName, BOOL canStop = TRUE, BOOL canShutdown = TRUE,
                    BOOL canPauseContinue = FALSE);
  ~QLXWindowsService() override;

  // The process-wide service object: set at the end of construction, cleared when its
  // destruction begins (null then, so late requests are refused rather than served by a
  // dying object).
  static QLXWindowsService* GetInstance();

  // Configuration getters with their caches. Invalid values are logged and replaced:
  // LogLevel by "3", the sink type by 2, the trace level by 2, the masks by 0.
  std::string GetLogLevel();
  DWORD GetDefaultTraceSinkType();
  UINT8 GetDefaultTraceLevel();
  ULONGLONG GetDefaultMatchAnykeyword();
  ULONGLONG GetDefaultMatchAllkeyword();

  // The remote API (see IConduitServiceApi).
  std::vector<std::string> GetAllProviders() override;
  std::vector<ProviderManifest> GetProviderManifests(const std::vector<std::string>& providerNames) override;
  std::vector<std::string> GetSessionProviders(const std::string& sessionName) override;
  void StartTraceSession(const std::string& sessionName) override;
  void StopTraceSession(const std::string& sessionName) override;
  void EnableProviders(const std::string& sessionName, const std::vector<ProviderSetting>& settings) override;
  void EnableProvidersByGUID(const std::string& sessionName, const std::vector<ProviderSettingEx>& settings) override;
  void DisableProviders(const std::string& sessionName, const std::vector<std::string>& providerNames) override;
  void DisableProvidersByGUID(const std::string& sessionName, const std::vector<std::string>& providerGuids) override;
  // Starts the session and enables every named provider with the configured defaults, all
  // or nothing: on success the session runs with the providers enabled and recorded in the
  // list GetSessionProviders answers; when any phase fails, the providers this call enabled
  // are disabled again, a session this call started is stopped, the list is left empty, and
  // the fault reaches the caller.
  void StartTraceSessionWithProviders(const std::string& sessionName,
                                      const std::vector<ProviderSetting>& settings) override;
  void RedirectTrace(const std::string& sessionName) override;
  // The performance-counter frequency times 1024; 0 when the platform cannot tell.
  ULONGLONG GetMaxProcessorFrequency() override;
  DWORD GetApiVersion() override;
  bool IsTargetSideDecodingSupported() override;
  void SetTraceSinkType(DWORD sinkType) override;

  // Manifests (provider_manifests.cpp): one provider's manifest text, built by the schema
  // collector and written to "<working directory>\<name>.xml", then read back.
  bool GetProviderManifest(const std::string& providerName, std::string& manifest);
  bool PopulateXmlFileWithManifestData(const std::string& providerName, const ManifestDocument& document,
                                       std::string& manifest);

  // Creates the sink of `sinkType` (1 plain file, 2 hardware, 3 MIPI STP file) as the
  // session's sink. Without `force` an existing sink is kept and 87 returned; an unknown
  // type keeps the current sink and returns 0. A failed creation leaves no sink and returns
  // the system error's code (1359 for any other exception).
  DWORD InitializeDevice(DWORD sinkType, bool force);
  // The sink the next redirect writes to; empty when none.
  std::shared_ptr<DeviceBase> GetTraceSink();

  // The listening port: the protected registry value, (re)created with 20950 when it is
  // missing, out of range or held by a key that Administrators do not own.
  DWORD FetchPortNumber();
  LONG IsAdminRegKey(HKEY key);
  void CreateSecureRegKey(DWORD port);

  static DWORD WINAPI HostService(LPVOID parameter);

 protected:
  void OnStart(DWORD argc, LPWSTR* argv) override;
  void OnStop() override;

 private:
  // InitializeDevice for a caller that holds m_operationLock.
  DWORD CreateTraceSink(DWORD sinkType, bool force);

  ConfigurationManager m_configuration;
  WString m_nullGuid = TEXT("{00000000-0000-0000-0000-000000000000}");
  WString m_administratorsSid = TEXT("S-1-5-32-544");
  CEtwSchemaCollector* m_schemaCollector = nullptr;
  CEtwTdhManifestLoader* m_manifestLoader = nullptr;
  CEtwController* m_etwController = nullptr;
  // The caches are read and filled by client threads at once: atomic, so that a reader sees
  // either "not read yet" or a finished value.
  std::atomic<UINT8> m_defaultTraceLevel{0};
  std::atomic<ULONGLONG> m_defaultMatchAnyKeyword{kKeywordNotRead};
  std::atomic<ULONGLONG> m_defaultMatchAllKeyword{kKeywordNotRead};
  std::atomic<DWORD> m_traceSinkType{0};
  // One operation at a time works on the three members below (two clients at once would
  // otherwise corrupt the list and the map, or race on the sink). Not recursive: an
  // operation that needs another's work calls its unlocked part (CreateTraceSink).
  std::mutex m_operationLock;
  std::list<std::string> m_enabledProviders;
  // GUID text as the client sent it -> the service's own provider registration (REGHANDLE).
  std::map<std::string, ULONGLONG> m_providerRegistrations;
  std::shared_ptr<DeviceBase> m_traceSink;
  ServerSocket m_serverSocket;
};
