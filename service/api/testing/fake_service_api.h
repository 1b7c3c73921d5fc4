// A service object for exercising the dispatcher without the ETW layers behind it.
//
// Every operation records its name and arguments and then either returns what the test
// configured or throws what it was told to throw. Not thread-safe: one test, one thread.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "service_api.h"
#include "service_fault.h"
#include "wire_records.h"

class FakeServiceApi : public IConduitServiceApi {
 public:
  enum class Throw { Nothing, ServiceFault, StandardException, NonStandard };

  // What the next operations throw (every operation, until changed).
  Throw throwKind = Throw::Nothing;
  std::string faultMessage = "operation failed";
  DWORD faultCode = 0;

  // What the operations return.
  std::vector<std::string> providers;
  std::vector<ProviderManifest> manifests;
  ULONGLONG processorFrequency = 0;

  // What the operations were called with, in call order.
  std::vector<std::string> calls;
  std::string sessionName;
  std::vector<std::string> names;
  std::vector<ProviderSetting> settings;
  std::vector<ProviderSettingEx> settingsEx;
  DWORD traceSinkType = 0;

  std::vector<std::string> GetAllProviders() override {
    Called("GetAllProviders");
    return providers;
  }
  std::vector<ProviderManifest> GetProviderManifests(const std::vector<std::string>& providerNames) override {
    names = providerNames;
    Called("GetProviderManifests");
    return manifests;
  }
  std::vector<std::string> GetSessionProviders(const std::string& session) override {
    sessionName = session;
    Called("GetSessionProviders");
    return providers;
  }
  void StartTraceSession(const std::string& session) override {
    sessionName = session;
    Called("StartTraceSession");
  }
  void StopTraceSession(const std::string& session) override {
    sessionName = session;
    Called("StopTraceSession");
  }
  void EnableProviders(const std::string& session, const std::vector<ProviderSetting>& list) override {
    sessionName = session;
    settings = list;
    Called("EnableProviders");
  }
  void EnableProvidersByGUID(const std::string& session, const std::vector<ProviderSettingEx>& list) override {
    sessionName = session;
    settingsEx = list;
    Called("EnableProvidersByGUID");
  }
  void DisableProviders(const std::string& session, const std::vector<std::string>& providerNames) override {
    sessionName = session;
    names = providerNames;
    Called("DisableProviders");
  }
  void DisableProvidersByGUID(const std::string& session, const std::vector<std::string>& providerGuids) override {
    sessionName = session;
    names = providerGuids;
    Called("DisableProvidersByGUID");
  }
  void StartTraceSessionWithProviders(const std::string& session, const std::vector<ProviderSetting>& list) override {
    sessionName = session;
    settings = list;
    Called("StartTraceSessionWithProviders");
  }
  void RedirectTrace(const std::string& session) override {
    sessionName = session;
    Called("RedirectTrace");
  }
  ULONGLONG GetMaxProcessorFrequency() override {
    Called("GetMaxProcessorFrequency");
    return processorFrequency;
  }
  DWORD GetApiVersion() override {
    Called("GetApiVersion");
    return 1;
  }
  bool IsTargetSideDecodingSupported() override {
    Called("IsTargetSideDecodingSupported");
    return true;
  }
  void SetTraceSinkType(DWORD sinkType) override {
    traceSinkType = sinkType;
    Called("SetTraceSinkType");
  }

 private:
  void Called(const char* operation) {
    calls.emplace_back(operation);
    switch (throwKind) {
      case Throw::Nothing:
        return;
      case Throw::ServiceFault:
        throw QLXServiceFault(faultMessage, faultCode);
      case Throw::StandardException:
        throw std::runtime_error(faultMessage);
      case Throw::NonStandard:
        throw 42;
    }
  }
};
