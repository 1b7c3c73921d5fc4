// The session and provider operations of the service object: start and stop the session,
// enable and disable providers by name and by GUID, and the sink the session writes to.
// Each runs under the service object's operation lock, so concurrent clients see every
// operation whole. Failures are faults (QLXServiceFault) that the dispatcher answers; the
// session checks that open most operations are written once, in RequireSession.
#include <algorithm>
#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <type_traits>

#include "conduit_protocol.h"
#include "device_file.h"
#include "device_mipi_stp2file.h"
#include "device_qlx.h"
#include "etw_controller.h"
#include "etw_schema_collector.h"
#include "etw_tdh_manifest_loader.h"
#include "evntprov.h"
#include "log_writer.h"
#include "logged_call.h"
#include "objbase.h"
#include "qlx_windows_service.h"
#include "service_fault.h"
#include "util.h"

namespace {

using SignedSize = std::make_signed_t<std::size_t>;

// Brace-form GUID text to a GUID; false for text that is not one (or not valid UTF-8).
bool ParseGuid(const std::string& text, GUID& guid) {
  try {
    const WString wide = Util::to_wstring(text);
    return CLSIDFromString(wide.c_str(), &guid) == 0;
  } catch (const std::exception&) {
    return false;
  }
}

long long AsSigned(ULONGLONG value) { return static_cast<long long>(value); }

using conduit::protocol::SinkType;
using conduit::protocol::ToWire;

// What one operation logs and throws when the session it is asked about is unusable: an
// empty name and, for the operations that need the session running, one the controller
// holds no handle for. The texts differ from operation to operation and clients read them
// (the fault texts reach the response), so each operation passes its own.
struct SessionTexts {
  const char* emptyNameLog;
  const char* emptyNameFault;
  // Null when the operation does not need the session running (a start).
  const char* notStartedLog = nullptr;
  const char* notStartedFault = nullptr;
};

// The session preamble: throws a fault (87) with the operation's texts, after logging them,
// when the name is empty or the session is not started; otherwise the name in UTF-16.
WString RequireSession(CEtwController& controller, const std::string& sessionName, const SessionTexts& texts) {
  if (sessionName.empty()) {
    WriteLog(LOG_ERROR, "%s", texts.emptyNameLog);
    throw QLXServiceFault(texts.emptyNameFault, ERROR_INVALID_PARAMETER);
  }
  WString wideName = Util::to_wstring(sessionName);
  if (texts.notStartedLog != nullptr && controller.GetSessionHandle(wideName.c_str()) == 0) {
    WriteLog(LOG_ERROR, "%s", texts.notStartedLog);
    throw QLXServiceFault(texts.notStartedFault, ERROR_INVALID_PARAMETER);
  }
  return wideName;
}

}  // namespace

DWORD QLXWindowsService::InitializeDevice(DWORD sinkType, bool force) {
  std::lock_guard lock(m_operationLock);
  return CreateTraceSink(sinkType, force);
}

DWORD QLXWindowsService::CreateTraceSink(DWORD sinkType, bool force) {
  FunctionTrace trace("QLXWindowsService::InitializeDevice");
  if (!force && m_traceSink) {
    return ERROR_INVALID_PARAMETER;
  }
  try {
    std::shared_ptr<DeviceBase> sink;
    switch (static_cast<SinkType>(sinkType)) {
      case SinkType::PlainFile:
        sink = std::make_shared<DeviceFile>();
        break;
      case SinkType::Hardware:
        sink = std::make_shared<DeviceQLX>();
        break;
      case SinkType::StpFile:
        sink = std::make_shared<DeviceMipiSTP2File>();
        break;
      default:
        return ERROR_SUCCESS;
    }
    m_traceSink = std::move(sink);
    return ERROR_SUCCESS;
  } catch (const std::system_error& e) {
    WriteLog(LOG_ERROR, "InitializeDevice Exception error : %u", static_cast<unsigned>(e.code().value()));
    m_traceSink.reset();
    return static_cast<DWORD>(e.code().value());
  } catch (const std::exception& e) {
    const char* text = e.what();
    WriteLog(LOG_ERROR, "InitializeDevice Exception error : %s", (text != nullptr && text[0] != 0) ? text : "NONE");
    m_traceSink.reset();
    return ERROR_INTERNAL_ERROR;
  }
}

std::shared_ptr<DeviceBase> QLXWindowsService::GetTraceSink() {
  std::lock_guard lock(m_operationLock);
  return m_traceSink;
}

void QLXWindowsService::StartTraceSession(const std::string& sessionName) {
  FunctionTrace trace("QLXWindowsService::StartTraceSession");
  std::lock_guard lock(m_operationLock);
  LoggedCall("QLXWindowsService::StartTraceSession", [&] {
    WriteLog(LOG_INFO, "INFO # Conduit::StartTraceSession # SessionName %s", sessionName.c_str());
    const WString wideName =
        RequireSession(*m_etwController, sessionName,
                       {"ERROR # Conduit::StartTraceSession # Session name cannot be NULL or empty",
                        "Session name cannot be NULL or empty."});
    const DWORD sinkType = GetDefaultTraceSinkType();
    // The file sink writes "<session name>.bin" into the working directory: a name that is
    // no plain file name there is refused before anything changes, so the client hears it at
    // the start and no session is left running.
    if (sinkType == ToWire(SinkType::PlainFile) && !Util::IsPlainFileName(wideName)) {
      WriteLog(LOG_ERROR,
               "ERROR # Conduit::StartTraceSession # Session name is not a valid file name for the file sink");
      throw QLXServiceFault("Session name is not a valid file name for the file sink.", ERROR_INVALID_NAME);
    }
    // The sink is made anew for every start, before the session exists.
    const DWORD deviceStatus = CreateTraceSink(sinkType, true);
    if (deviceStatus != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "ERROR # InitializeDevice Failed with status : %u", static_cast<unsigned>(deviceStatus));
      throw std::runtime_error("InitializeDevice failed , TXR device is not configured to be managed by OS");
    }
    const ULONG status = m_etwController->StartSession(wideName.c_str());
    if (status != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::StartTraceSession # Calling CEtwController::StartSession failed. %d",
               static_cast<int>(status));
      // The controller's status says why (the platform does not set a last error here).
      throw QLXServiceFault("CEtwController::StartSession failed", status);
    }
    m_enabledProviders.clear();
  });
}

void QLXWindowsService::StopTraceSession(const std::string& sessionName) {
  FunctionTrace trace("QLXWindowsService::StopTraceSession");
  std::lock_guard lock(m_operationLock);
  LoggedCall("QLXWindowsService::StopTraceSession", [&] {
    const WString wideName =
        RequireSession(*m_etwController, sessionName,
                       {"ERROR # Conduit::StopTraceSession # Session name cannot be NULL or empty",
                        "Session name cannot be NULL or empty.", "ERROR # Conduit::StopTraceSession # Session not started",
                        "Session not started"});
    for (const std::string& provider : m_enabledProviders) {
      const std::string guidText = m_schemaCollector->GetProviderGuid(provider);
      GUID guid{};
      if (!ParseGuid(guidText, guid)) {
        WriteLog(LOG_WARNING, "WARNING # Conduit::StopTraceSession # Calling CLSIDFromString(%s) failed",
                 guidText.c_str());
        continue;
      }
      m_etwController->DisableProvider(guid);
    }
    const ULONG status = m_etwController->StopSession(wideName.c_str());
    if (status != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::StopTraceSession # Calling CEtwController::StopSession failed");
      throw QLXServiceFault(" Calling CEtwController::StopSession failed", status);
    }
    m_traceSink.reset();
    m_enabledProviders.clear();
  });
}

void QLXWindowsService::RedirectTrace(const std::string& sessionName) {
  FunctionTrace trace("QLXWindowsService::RedirectTrace");
  std::lock_guard lock(m_operationLock);
  LoggedCall("QLXWindowsService::RedirectTrace", [&] {
    if (sessionName.empty() || !m_traceSink) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::RedirectTrace # Session name , devicePtr cannot be NULL or empty");
      throw QLXServiceFault("Session name ,devicePtr cannot be NULL or empty.", ERROR_INVALID_PARAMETER);
    }
    WriteLog(LOG_ERROR, "ERROR # before redirect trace");
    const WString wideName = Util::to_wstring(sessionName);
    // The redirect names the sink's file after the session it is asked for. The controller
    // accepts only the started session's name, but the name is checked here all the same:
    // the file sink must never see a name that is no plain file name.
    if (dynamic_cast<DeviceFile*>(m_traceSink.get()) != nullptr && !Util::IsPlainFileName(wideName)) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::RedirectTrace # Session name is not a valid file name for the file sink");
      throw QLXServiceFault("Session name is not a valid file name for the file sink.", ERROR_INVALID_NAME);
    }
    const ULONG status = m_etwController->RedirectTrace(wideName.c_str(), std::shared_ptr<DeviceBase>(m_traceSink));
    if (status != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::RedirectTrace # Calling CEtwController::RedirectTrace failed");
      throw QLXServiceFault("Calling CEtwController::RedirectTrace failed.", status);
    }
  });
}

void QLXWindowsService::EnableProviders(const std::string& sessionName, const std::vector<ProviderSetting>& settings) {
  FunctionTrace trace("QLXWindowsService::EnableProviders");
  std::lock_guard lock(m_operationLock);
  try {
    LoggedCall("QLXWindowsService::EnableProviders", [&] {
      RequireSession(*m_etwController, sessionName,
                     {"ERROR # Conduit::EnableProviders # Session name cannot be NULL or empty",
                      "Session name cannot be NULL or empty", "ERROR # Conduit::EnableProviders # Session not started yet",
                      "Session not started yet"});
      if (settings.empty()) {
        WriteLog(LOG_ERROR, "ERROR # Conduit::EnableProviders # List of provider settings cannot be null or empty");
        throw QLXServiceFault("List of provider settings cannot be null or empty. ", ERROR_INVALID_PARAMETER);
      }
      for (const ProviderSetting& setting : settings) {
        // A provider that fails is logged and skipped; the others are still enabled.
        LoggedAndDropped("QLXWindowsService::EnableProviders", [&] {
          if (setting.providerName.empty()) {
            WriteLog(LOG_ERROR, "ERROR # Conduit::EnableProviders # Provider name cannot be NULL or empty");
            throw QLXServiceFault("Provider name cannot be NULL or empty.", ERROR_INVALID_PARAMETER);
          }
          const std::string guidText = m_schemaCollector->GetProviderGuid(setting.providerName);
          if (guidText.empty()) {
            WriteLog(LOG_ERROR,
                     "ERROR # Conduit::EnableProviders # Failed to find the provider GUID for '%s': Possibly this "
                     "provider is not registered with ETW",
                     setting.providerName.c_str());
            throw QLXServiceFault("Failed to find the provider GUID", ERROR_INVALID_PARAMETER);
          }
          GUID guid{};
          if (!ParseGuid(guidText, guid)) {
            WriteLog(LOG_ERROR,
                     "ERROR # Conduit::EnableProviders # Failed to get the provider GUID for '%s':Provider data might "
                     "be corrupted",
                     setting.providerName.c_str());
            throw QLXServiceFault("Failed to get the provider GUID", ERROR_INVALID_PARAMETER);
          }
          WriteLog(LOG_INFO,
                   "INFO # Conduit::EnableProviders # Enabling provider %s with Level=%ld, MatchAnyKeyword=%lld, "
                   "MatchAllKeyWord=%lld...",
                   setting.providerName.c_str(), static_cast<long>(setting.level), AsSigned(setting.matchAnyKeyword),
                   AsSigned(setting.matchAllKeyword));
          const ULONG status = m_etwController->EnableProvider(guid, setting.level, setting.matchAnyKeyword,
                                                               setting.matchAllKeyword, nullptr);
          if (status != ERROR_SUCCESS) {
            WriteLog(LOG_ERROR, "ERROR # Conduit::EnableProviders # Calling CEtwController::EnableProvider failed");
            throw QLXServiceFault("Calling CEtwController::EnableProvider failed", status);
          }
          m_enabledProviders.push_back(setting.providerName);
        });
      }
      WriteLog(LOG_INFO, "INFO # Conduit::EnableProviders # All requested %zd providers have been enabled in session '%s'.",
               static_cast<SignedSize>(settings.size()), sessionName.c_str());
    });
  } catch (...) {
    WriteLog(LOG_ERROR, "ERROR # Conduit::EnableProviders # Exception in session (%s)", sessionName.c_str());
    throw;
  }
}

void QLXWindowsService::EnableProvidersByGUID(const std::string& sessionName,
                                              const std::vector<ProviderSettingEx>& settings) {
  FunctionTrace trace("QLXWindowsService::EnableProvidersByGUID");
  std::lock_guard lock(m_operationLock);
  try {
    LoggedCall("QLXWindowsService::EnableProvidersByGUID", [&] {
      RequireSession(*m_etwController, sessionName,
                     {"ERROR # Conduit::EnableProvidersByGUID # Session name cannot be NULL or empty",
                      "Session name cannot be NULL or empty",
                      "ERROR # Conduit::EnableProvidersByGUID # Session not started yet", "Session not started yet"});
      if (settings.empty()) {
        WriteLog(LOG_ERROR, "ERROR # Conduit::EnableProvidersByGUID # providerguids passed as empty");
        throw QLXServiceFault("providerguid passed as empty. ", ERROR_INVALID_PARAMETER);
      }
      for (const ProviderSettingEx& setting : settings) {
        if (setting.providerGuid.empty()) {
          WriteLog(LOG_ERROR,
                   "ERROR # Conduit::EnableProvidersByGUID # Failed to find the provider GUID for '%s': Possibly this "
                   "provider is not registered with ETW",
                   setting.providerName.c_str());
          throw QLXServiceFault("Failed to find the provider GUID", ERROR_INVALID_PARAMETER);
        }
        GUID guid{};
        if (!ParseGuid(setting.providerGuid, guid)) {
          WriteLog(LOG_ERROR,
                   "ERROR # Conduit::EnableProvidersByGUID # Failed to get the provider GUID for '%s':Provider data "
                   "might be corrupted",
                   setting.providerName.c_str());
          throw QLXServiceFault("Failed to get the provider GUID", ERROR_INVALID_PARAMETER);
        }
        // The service's own registration keeps the provider known to the platform while the
        // session runs.
        REGHANDLE registration = 0;
        const ULONG registered = EventRegister(&guid, nullptr, nullptr, &registration);
        if (registered != ERROR_SUCCESS) {
          WriteLog(LOG_ERROR, "ERROR # EventRegister # Call failed");
          throw QLXServiceFault("Calling EventRegister failed", registered);
        }
        WriteLog(LOG_INFO,
                 "INFO # Conduit::EnableProvidersByGUID # Enabling provider %s with Level=%ld, MatchAnyKeyword=%lld, "
                 "MatchAllKeyWord=%lld...",
                 setting.providerGuid.c_str(), static_cast<long>(setting.level), AsSigned(setting.matchAnyKeyword),
                 AsSigned(setting.matchAllKeyword));
        const ULONG status = m_etwController->EnableProvider(guid, setting.level, setting.matchAnyKeyword,
                                                             setting.matchAllKeyword, nullptr);
        if (status != ERROR_SUCCESS) {
          // Nobody would ever release a registration that is not recorded.
          EventUnregister(registration);
          WriteLog(LOG_ERROR, "ERROR # Conduit::EnableProviders # Calling CEtwController::EnableProvider failed");
          throw QLXServiceFault("Calling CEtwController::EnableProvider failed", status);
        }
        auto existing = m_providerRegistrations.find(setting.providerGuid);
        if (existing != m_providerRegistrations.end()) {
          // Only the newest registration is kept; the one it replaces would otherwise stay
          // registered for the life of the process.
          EventUnregister(existing->second);
          existing->second = registration;
        } else {
          m_providerRegistrations.emplace(setting.providerGuid, registration);
        }
      }
      WriteLog(LOG_INFO, "INFO # Conduit::EnableProviders # All requested %zd providers have been enabled in session '%s'.",
               static_cast<SignedSize>(settings.size()), sessionName.c_str());
    });
  } catch (...) {
    WriteLog(LOG_ERROR, "ERROR # Conduit::EnableProvidersByGUID # Exception in session (%s)", sessionName.c_str());
    throw;
  }
}

void QLXWindowsService::DisableProviders(const std::string& sessionName, const std::vector<std::string>& providerNames) {
  FunctionTrace trace("QLXWindowsService::DisableProviders");
  std::lock_guard lock(m_operationLock);
  // Failures are only logged: the client is always answered with success.
  LoggedAndDropped("QLXWindowsService::DisableProviders", [&] {
    RequireSession(*m_etwController, sessionName,
                   {"ERROR # Conduit::DisableProviders # Session name cannot be NULL or empty",
                    "Session name cannot be NULL or empty.", "ERROR # Conduit::DisableProviders # Session not started yet",
                    "Session not started yet."});
    for (const std::string& provider : providerNames) {
      if (provider.empty()) {
        WriteLog(LOG_ERROR, "ERROR # Conduit::DisableProviders # Provider name cannot be NULL or empty");
        continue;
      }
      auto entry = std::find(m_enabledProviders.begin(), m_enabledProviders.end(), provider);
      if (entry == m_enabledProviders.end()) {
        WriteLog(LOG_ERROR,
                 "ERROR # Conduit::DisableProviders # %s Provider is not enabled in the session %s: No providers "
                 "disabled. %d",
                 provider.c_str(), sessionName.c_str(), static_cast<int>(ERROR_INVALID_PARAMETER));
        continue;
      }
      const std::string guidText = m_schemaCollector->GetProviderGuid(provider);
      if (guidText.empty()) {
        WriteLog(LOG_ERROR,
                 "ERROR # Conduit::DisableProviders # Failed to find the provider GUIDfor '%s': Possibly this provider "
                 "is not registered with ETW. %d",
                 provider.c_str(), static_cast<int>(ERROR_INVALID_PARAMETER));
        continue;
      }
      GUID guid{};
      if (!ParseGuid(guidText, guid)) {
        WriteLog(LOG_ERROR,
                 "ERROR # Conduit::DisableProviders # Failed to get the provider GUID  for '%s': Provider data might "
                 "be corrupted.",
                 provider.c_str());
        continue;
      }
      WriteLog(LOG_INFO, "INFO # Conduit::DisableProviders # Disabling provider %s", provider.c_str());
      if (m_etwController->DisableProvider(guid) == ERROR_SUCCESS) {
        m_enabledProviders.erase(entry);
      } else {
        WriteLog(LOG_ERROR, "ERROR # Conduit::DisableProviders # Calling CEtwController::DisableProvider failed");
      }
    }
    WriteLog(LOG_INFO,
             "INFO # Conduit::DisableProviders # All requested %zd providers have been disabled in session '%s'.",
             static_cast<SignedSize>(providerNames.size()), sessionName.c_str());
  });
}

void QLXWindowsService::DisableProvidersByGUID(const std::string& sessionName,
                                               const std::vector<std::string>& providerGuids) {
  FunctionTrace trace("QLXWindowsService::DisableProvidersByGUID");
  std::lock_guard lock(m_operationLock);
  // Failures are only logged: the client is always answered with success.
  LoggedAndDropped("QLXWindowsService::DisableProvidersByGUID", [&] {
    RequireSession(*m_etwController, sessionName,
                   {"ERROR # Conduit::DisableProviders # Session name cannot be NULL or empty",
                    "Session name cannot be NULL or empty.",
                    "ERROR # Conduit::DisableProvidersByGUID # Session not started yet", "Session not started yet. "});
    for (const std::string& guidText : providerGuids) {
      if (guidText.empty()) {
        WriteLog(LOG_ERROR,
                 "ERROR # Conduit::DisableProviders # Provider GUID is emptyfor '%s': Possibly this provider is not "
                 "registered with ETW. %d",
                 guidText.c_str(), static_cast<int>(ERROR_INVALID_PARAMETER));
        continue;
      }
      auto entry = m_providerRegistrations.find(guidText);
      if (entry == m_providerRegistrations.end()) {
        WriteLog(LOG_ERROR,
                 "ERROR # Conduit::DisableProviders # %s Provider is not enabled in the session %s: No providers "
                 "disabled. %d",
                 guidText.c_str(), sessionName.c_str(), static_cast<int>(ERROR_INVALID_PARAMETER));
        continue;
      }
      GUID guid{};
      if (!ParseGuid(guidText, guid)) {
        WriteLog(LOG_ERROR,
                 "ERROR # Conduit::DisableProviders # Failed to get the provider GUID  for '%s': Provider data might "
                 "be corrupted.",
                 guidText.c_str());
        continue;
      }
      WriteLog(LOG_INFO, "INFO # Conduit::DisableProviders # Disabling provider %s", guidText.c_str());
      if (m_etwController->DisableProvider(guid) != ERROR_SUCCESS) {
        WriteLog(LOG_ERROR, "ERROR # Conduit::DisableProviders # Calling CEtwController::DisableProvider failed");
        continue;
      }
      if (EventUnregister(entry->second) != ERROR_SUCCESS) {
        WriteLog(LOG_ERROR, "ERROR # Conduit::DisableProviders # Calling EventUnregister failed");
        continue;
      }
      m_providerRegistrations.erase(entry);
    }
    WriteLog(LOG_INFO,
             "INFO # Conduit::DisableProvidersByGUID # All requested %zd providers have been disabled in session '%s'.",
             static_cast<SignedSize>(providerGuids.size()), sessionName.c_str());
  });
}

std::vector<std::string> QLXWindowsService::GetSessionProviders(const std::string& sessionName) {
  FunctionTrace trace("QLXWindowsService::GetSessionProviders");
  std::lock_guard lock(m_operationLock);
  return LoggedCall("QLXWindowsService::GetSessionProviders", [&] {
    RequireSession(*m_etwController, sessionName,
                   {"ERROR # QLXWindowsService::GetSessionProviders Session name cannot be NULL or empty",
                    "Session name cannot be NULL or empty",
                    "ERROR # QLXWindowsService::GetSessionProviders Session not started yet or not valid",
                    "Session not started yet or not valid"});
    return std::vector<std::string>(m_enabledProviders.begin(), m_enabledProviders.end());
  });
}

void QLXWindowsService::StartTraceSessionWithProviders(const std::string& sessionName,
                                                       const std::vector<ProviderSetting>& settings) {
  FunctionTrace trace("QLXWindowsService::StartTraceSessionWithProviders");
  std::lock_guard lock(m_operationLock);
  const WString wideName = sessionName.empty() ? WString() : Util::to_wstring(sessionName);
  bool started = false;
  std::vector<GUID> enabled;
  try {
    RequireSession(*m_etwController, sessionName,
                   {"ERROR # Conduit::StartTraceSessionWithProviders # sessionName cannot be NULL or empty",
                    "sessionName cannot be NULL or empty."});
    if (settings.empty()) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::StartTraceSessionWithProviders # providerNames cannot be NULL");
      throw QLXServiceFault("providerNames cannot be NULL.", ERROR_INVALID_PARAMETER);
    }
    // Every name is resolved before anything starts.
    std::vector<std::string> guidTexts;
    for (const ProviderSetting& setting : settings) {
      if (setting.providerName.empty()) {
        WriteLog(LOG_ERROR, "ERROR # Conduit::StartTraceSessionWithProviders # Provider name cannot be NULL or empty");
        throw QLXServiceFault("Provider name cannot be NULL or empty", ERROR_INVALID_PARAMETER);
      }
      const std::string guidText = m_schemaCollector->GetProviderGuid(setting.providerName);
      if (guidText.empty()) {
        WriteLog(LOG_ERROR,
                 "ERROR # Conduit::StartTraceSessionWithProviders # Failed to find the provider GUID for '%s': "
                 "Possibly this provider is not registered with ETW.%d",
                 setting.providerName.c_str(), static_cast<int>(ERROR_INVALID_PARAMETER));
        throw QLXServiceFault("Failed to find the provider GUID", ERROR_INVALID_PARAMETER);
      }
      GUID guid{};
      if (!ParseGuid(guidText, guid)) {
        WriteLog(LOG_ERROR,
                 "ERROR # Conduit::StartTraceSessionWithProviders # Failed to convert the string %s to GUID for "
                 "'%s'.%d",
                 guidText.c_str(), setting.providerName.c_str(), static_cast<int>(ERROR_INVALID_PARAMETER));
        throw QLXServiceFault("Failed to convert the string", ERROR_INVALID_PARAMETER);
      }
      if (m_manifestLoader != nullptr) {
        m_manifestLoader->LoadTdhManifest(setting.providerName);
      }
      guidTexts.push_back(guidText);
    }
    const ULONG startStatus = m_etwController->StartSession(wideName.c_str());
    if (startStatus != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::StartTraceSessionWithProviders # Calling CEtwController::StartSession failed");
      throw QLXServiceFault("Calling CEtwController::StartSession failed.", startStatus);
    }
    started = true;
    m_enabledProviders.clear();
    WriteLog(LOG_INFO, "INFO_LOG # Conduit::StartTraceSessionWithProviders # Session '%s' has been started .",
             sessionName.c_str());
    const UINT8 level = GetDefaultTraceLevel();
    const ULONGLONG matchAny = GetDefaultMatchAnykeyword();
    const ULONGLONG matchAll = GetDefaultMatchAllkeyword();
    for (const std::string& guidText : guidTexts) {
      WriteLog(LOG_INFO,
               "INFO # Conduit::StartTraceSessionWithProviders # Enabling provider %s with Level=%d, "
               "MatchAnyKeyword=%lld, MatchAllKeyWord=%lld",
               guidText.c_str(), static_cast<int>(level), AsSigned(matchAny), AsSigned(matchAll));
      GUID guid{};
      if (!ParseGuid(guidText, guid)) {
        WriteLog(LOG_ERROR,
                 "ERROR # QLXWindowsService::StartTraceSessionWithProviders # Failed to convert provider GUID, '%s': "
                 "Provider data might be corrupted. %d",
                 guidText.c_str(), static_cast<int>(ERROR_INVALID_PARAMETER));
        throw QLXServiceFault("Failed to convert provider GUID", ERROR_INVALID_PARAMETER);
      }
      const ULONG status = m_etwController->EnableProvider(guid, level, matchAny, matchAll, nullptr);
      if (status != ERROR_SUCCESS) {
        WriteLog(LOG_ERROR,
                 "ERROR # Conduit::StartTraceSessionWithProviders # Calling CEtwController::EnableProvider failed");
        throw QLXServiceFault("Calling CEtwController::EnableProvider failed.", status);
      }
      enabled.push_back(guid);
    }
    for (const ProviderSetting& setting : settings) {
      m_enabledProviders.push_back(setting.providerName);
    }
    WriteLog(LOG_INFO, "INFO # All requested %zd providers have been enabled in session '%s'.",
             static_cast<SignedSize>(settings.size()), sessionName.c_str());
  } catch (const std::exception& e) {
    LogStandardException("QLXWindowsService::StartTraceSessionWithProviders", e);
    // All or nothing: what this call set up is taken down again.
    for (const GUID& guid : enabled) m_etwController->DisableProvider(guid);
    if (started) m_etwController->StopSession(wideName.c_str());
    m_enabledProviders.clear();
    throw;
  } catch (...) {
    LogGenericException("QLXWindowsService::StartTraceSessionWithProviders");
    for (const GUID& guid : enabled) m_etwController->DisableProvider(guid);
    if (started) m_etwController->StopSession(wideName.c_str());
    m_enabledProviders.clear();
    throw;
  }
}
