#include "qlx_windows_service.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "conduit_protocol.h"
#include "etw_controller.h"
#include "etw_schema_collector.h"
#include "etw_tdh_manifest_loader.h"
#include "log_writer.h"
#include "logged_call.h"
#include "service_fault.h"
#include "windows.h"

namespace {

std::atomic<QLXWindowsService*> s_instance{nullptr};

// The configuration's numbers are written in C's notations: decimal, 0x hexadecimal or
// leading-0 octal; text without digits reads as 0.
unsigned long long ParseUnsigned(const std::string& text) {
  return std::strtoull(text.c_str(), nullptr, 0);
}

}  // namespace

QLXWindowsService::QLXWindowsService(LPCWSTR serviceName, BOOL canStop, BOOL canShutdown,
                                     BOOL canPauseContinue)
    : CQLXServiceBase(serviceName, canStop, canShutdown, canPauseContinue) {
  SetLogLevel(GetLogLevel());
  WriteLog(LOG_DEBUG, "DEBUG #  Entering  function %s", "QLXWindowsService::QLXWindowsService");
  LoggedAndDropped("QLXWindowsService::QLXWindowsService", [&] {
    s_instance.store(this);
    m_nullGuid = TEXT("{00000000-0000-0000-0000-000000000000}");
    m_administratorsSid = TEXT("S-1-5-32-544");
    m_schemaCollector = CEtwSchemaCollector::getInstance();
    m_manifestLoader = CEtwTdhManifestLoader::getInstance(m_schemaCollector);
    m_etwController = CEtwController::getInstance();
    m_defaultTraceLevel.store(0);
    m_defaultMatchAnyKeyword.store(kKeywordNotRead);
    m_defaultMatchAllKeyword.store(kKeywordNotRead);
    if (m_schemaCollector == nullptr || m_etwController == nullptr) {
      WriteLog(LOG_ERROR,
               "ERROR # Conduit::Conduit # Failed to create an instance of SchemaCollector/CEtwController");
      throw "Failed to create an instance of Conduit.";
    }
    WriteLog(LOG_INFO, "INFO_LOG # Conduit::Conduit all init completed successfully");
  });
  WriteLog(LOG_DEBUG, "DEBUG #  Exiting function %s", "QLXWindowsService::QLXWindowsService");
}

QLXWindowsService::~QLXWindowsService() {
  FunctionTrace trace("QLXWindowsService::~QLXWindowsService");
  // Requests still arriving until the socket server below is shut down find no instance
  // instead of one that is being torn down.
  QLXWindowsService* self = this;
  s_instance.compare_exchange_strong(self, nullptr);
  // Client threads run the operations on this object: each is told to stop (its connection
  // is shut down) and waited for before anything below goes away.
  if (!m_serverSocket.StopClients(kClientStopTimeoutMs)) {
    WriteLog(LOG_ERROR, "ERROR # Conduit::~Conduit # Client connections still running after %lu ms",
             static_cast<unsigned long>(kClientStopTimeoutMs));
  }
  LoggedAndDropped("QLXWindowsService::~QLXWindowsService", [&] {
    // A request still inside an operation (a client that outlived the wait) finishes first.
    std::lock_guard lock(m_operationLock);
    if (m_schemaCollector != nullptr) {
      CEtwSchemaCollector::deleteInstance();
      m_schemaCollector = nullptr;
    }
    if (m_manifestLoader != nullptr) {
      CEtwTdhManifestLoader::deleteInstance();
      m_manifestLoader = nullptr;
    }
    if (m_etwController != nullptr) {
      CEtwController::deleteInstance();
      m_etwController = nullptr;
    }
    m_enabledProviders.clear();
  });
  // m_serverSocket's destructor shuts the listener down after this body.
}

QLXWindowsService* QLXWindowsService::GetInstance() {
  WriteLog(LOG_INFO, "INFO # Returning instance from Conduit::GetInstance ");
  return s_instance.load();
}

std::string QLXWindowsService::GetLogLevel() {
  FunctionTrace trace("QLXWindowsService::GetLogLevel");
  return LoggedCallOr("QLXWindowsService::GetLogLevel", std::string("3"), [&]() -> std::string {
    std::string value = ConfigurationManager::AppSettings("LogLevel");
    const long long level = std::strtoll(value.c_str(), nullptr, 0);
    if (static_cast<unsigned long long>(level) < 4) {
      // The caller applies the text as decimal: hand it the value that was checked, so that
      // "0x3" is applied as 3 and "08" (read as 0) cannot become a threshold of 8 that
      // silences every entry, errors included.
      return std::to_string(level);
    }
    throw std::runtime_error("Invlaid Loglevel Entry");
  });
}

DWORD QLXWindowsService::GetDefaultTraceSinkType() {
  FunctionTrace trace("QLXWindowsService::GetDefaultTraceSinkType");
  const DWORD cached = m_traceSinkType.load();
  if (cached != 0) {
    return cached;
  }
  try {
    const unsigned long long value = ParseUnsigned(ConfigurationManager::AppSettings("DefaultTraceSinkType"));
    // Only the three sink numbers pass: a value that wraps to a negative 32-bit number, or
    // one beyond 32 bits, must not slip through as a sink type nobody can create.
    if (value > UINT32_MAX || !conduit::protocol::IsSinkType(static_cast<std::uint32_t>(value))) {
      throw std::runtime_error("Invalid Entry");
    }
    m_traceSinkType.store(static_cast<DWORD>(value));
    return static_cast<DWORD>(value);
  } catch (const std::exception& e) {
    LogStandardException("QLXWindowsService::GetDefaultTraceSinkType", e);
  } catch (...) {
    LogGenericException("QLXWindowsService::GetDefaultTraceSinkType");
  }
  const DWORD fallback = conduit::protocol::ToWire(conduit::protocol::SinkType::Hardware);
  m_traceSinkType.store(fallback);
  return fallback;
}

UINT8 QLXWindowsService::GetDefaultTraceLevel() {
  FunctionTrace trace("QLXWindowsService::GetDefaultTraceLevel");
  const UINT8 cached = m_defaultTraceLevel.load();
  if (cached != 0) {
    return cached;
  }
  // The level is worked out aside and stored once, so that another client thread never
  // sees a provisional value in the cache.
  UINT8 level = 2;
  try {
    level = static_cast<UINT8>(ParseUnsigned(ConfigurationManager::AppSettings("DefaultTraceLevel")) & 0xff);
    if (level > 4) {
      throw std::runtime_error("Invalid Entry");
    }
  } catch (const std::exception& e) {
    LogStandardException("QLXWindowsService::GetDefaultTraceLevel", e);
    level = 2;
  } catch (...) {
    LogGenericException("QLXWindowsService::GetDefaultTraceLevel");
    level = 2;
  }
  m_defaultTraceLevel.store(level);
  return level;
}

namespace {

// Shared by both keyword getters: the cache, its key and the name they log under.
ULONGLONG ReadKeywordMask(std::atomic<ULONGLONG>& cache, const char* key, const char* qualifiedName) {
  FunctionTrace trace(qualifiedName);
  const ULONGLONG cached = cache.load();
  if (cached != QLXWindowsService::kKeywordNotRead) {
    return cached;
  }
  ULONGLONG mask = 0;
  try {
    // A missing key is 0 without a word; std::stoull refuses text without digits and values
    // beyond 64 bits, which are then logged and read as 0.
    const std::string value = ConfigurationManager::AppSettings(key);
    mask = value.empty() ? 0 : std::stoull(value, nullptr, 0);
  } catch (const std::exception& e) {
    LogStandardException(qualifiedName, e);
    mask = 0;
  } catch (...) {
    LogGenericException(qualifiedName);
    mask = 0;
  }
  cache.store(mask);
  return mask;
}

}  // namespace

ULONGLONG QLXWindowsService::GetDefaultMatchAnykeyword() {
  return ReadKeywordMask(m_defaultMatchAnyKeyword, "DefaultMatchAnyKeyword",
                         "QLXWindowsService::GetDefaultMatchAnykeyword");
}

ULONGLONG QLXWindowsService::GetDefaultMatchAllkeyword() {
  return ReadKeywordMask(m_defaultMatchAllKeyword, "DefaultMatchAllKeyword",
                         "QLXWindowsService::GetDefaultMatchAllkeyword");
}

void QLXWindowsService::OnStart(DWORD /*argc*/, LPWSTR* /*argv*/) {
  WriteLog(LOG_DEBUG, "DEBUG # Entering Conduit::OnStart %x", 4u);
  LoggedAndDropped("QLXWindowsService::OnStart", [&] {
    const DWORD port = FetchPortNumber();
    if (port == 0) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::HostService # Invalid port number");
      throw std::runtime_error("Invalid port number");
    }
    m_serverSocket.SetPortNumber(std::to_string(port));
    m_serverSocket.SetRequestHandler([](SOCKET connection, const char* data, int length) {
      QLXWindowsService* service = GetInstance();
      if (service == nullptr) {
        throw std::runtime_error("Conduit is shutting down");
      }
      service->ProcessServiceAPI(connection, data, length);
    });
    m_serverSocket.Listen();

    HANDLE thread = CreateThread(nullptr, 0, &QLXWindowsService::HostService, this, 0, nullptr);
    if (thread == nullptr) {
      WriteLog(LOG_ERROR, "ERROR # Conduit::OnStart # thread creation failed");
    } else {
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
    }
  });
}

void QLXWindowsService::OnStop() {
  // The teardown belongs to the destructor, after the dispatcher has returned.
  WriteLog(LOG_INFO, "INFO # Entering Conduit::OnStop %x", 4u);
}

DWORD WINAPI QLXWindowsService::HostService(LPVOID /*parameter*/) {
  FunctionTrace trace("QLXWindowsService::HostService");
  return 0;
}

ULONGLONG QLXWindowsService::GetMaxProcessorFrequency() {
  FunctionTrace trace("QLXWindowsService::GetMaxProcessorFrequency");
  LARGE_INTEGER frequency{};
  if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
    return static_cast<ULONGLONG>(frequency.QuadPart) << 10;
  }
  // No fallback source: 0 tells the client the frequency is unknown.
  WriteLog(LOG_ERROR, "ERROR # Conduit::GetMaxProcessorFrequency # QueryPerformanceFrequency failed: %d",
           static_cast<int>(GetLastError()));
  return 0;
}

DWORD QLXWindowsService::GetApiVersion() {
  WriteLog(LOG_INFO, "INFO # Conduit::GetApiVersion # returning the API version");
  return 1;
}

bool QLXWindowsService::IsTargetSideDecodingSupported() {
  WriteLog(LOG_INFO, "INFO # Conduit::IsTargetSideDecodingSupported # returning the TARGET supported value");
  return true;
}

void QLXWindowsService::SetTraceSinkType(DWORD sinkType) { m_traceSinkType.store(sinkType); }

