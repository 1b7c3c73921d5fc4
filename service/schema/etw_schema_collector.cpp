#include "etw_schema_collector.h"

#include <cstdio>
#include <exception>
#include <limits>
#include <stdexcept>

#include "log_writer.h"
#include "logged_call.h"
#include "objbase.h"
#include "process_singleton.h"
#include "section_guard.h"
#include "tdh_lib.h"
#include "util.h"

namespace {

const char* const kZeroGuidText = "{00000000-0000-0000-0000-000000000000}";

// Keywords in bits 48 to 63 alone are the platform's predefined ones.
constexpr ULONGLONG kOwnKeywordBits = 0x0000FFFFFFFFFFFFull;

std::string GuidText(const GUID& guid, HRESULT* result) {
  LPOLESTR text = nullptr;
  *result = StringFromCLSID(guid, &text);
  if (FAILED(*result) || text == nullptr) {
    return std::string();
  }
  std::string utf8;
  try {
    utf8 = Util::to_string(WString(text));
  } catch (...) {
    CoTaskMemFree(text);
    throw;
  }
  CoTaskMemFree(text);
  return utf8;
}

const WCHAR* TextAt(const void* record, ULONG offset) {
  return reinterpret_cast<const WCHAR*>(static_cast<const BYTE*>(record) + offset);
}

// The list's own limit, past which it reports "list too long" as the standard containers do.
template <typename List>
void CheckRoomForOneMore(const List& list) {
  if (list.size() >= list.max_size()) {
    throw std::length_error("list too long");
  }
}

}  // namespace

// Holds the collector's lock for a scope (when the lock could be made at all).
class CEtwSchemaCollector::Guard : public SectionGuard {
 public:
  explicit Guard(CEtwSchemaCollector& owner) : SectionGuard(owner.m_lockInitialised ? &owner.m_lock : nullptr) {}
};

std::string KeywordMaskText(ULONGLONG mask) {
  char text[19] = {};
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(mask));
  return text;
}

CEtwSchemaCollector* CEtwSchemaCollector::getInstance() {
  return ProcessSingleton<CEtwSchemaCollector>::Get("CEtwSchemaCollector::getInstance",
                                                    [] { return new CEtwSchemaCollector(); });
}

void CEtwSchemaCollector::deleteInstance() {
  // Destroyed through its interface, whose destructor is public and virtual.
  IEtwSchemaCollector* collector = ProcessSingleton<CEtwSchemaCollector>::Take();
  delete collector;
}

CEtwSchemaCollector::CEtwSchemaCollector() {
  FunctionTrace trace("CEtwSchemaCollector::CEtwSchemaCollector");
  m_lockInitialised = InitializeCriticalSectionAndSpinCount(&m_lock, 1024) != FALSE;
  if (!m_lockInitialised) {
    // The collector stays in use all the same; its operations then run unserialised.
    WriteLog(LOG_ERROR, "ERROR # %s# InitializeCriticalSectionAndSpinCount Failed %d",
             "CEtwSchemaCollector::CEtwSchemaCollector", static_cast<int>(GetLastError()));
  }
}

CEtwSchemaCollector::~CEtwSchemaCollector() {
  FunctionTrace trace("CEtwSchemaCollector::~CEtwSchemaCollector");
  if (m_lockInitialised) {
    DeleteCriticalSection(&m_lock);
  }
}

ULONG CEtwSchemaCollector::EnumerateWithGrowingBuffer(const char* qualifiedName, PPROVIDER_ENUMERATION_INFO* buffer) {
  *buffer = nullptr;
  ULONG size = 0;
  ULONG status = TdhLib::GetInstance()->pfnTdhEnumerateProviders(nullptr, &size);
  while (status == ERROR_INSUFFICIENT_BUFFER) {
    if (*buffer != nullptr) {
      LocalFree(*buffer);
    }
    *buffer = static_cast<PPROVIDER_ENUMERATION_INFO>(LocalAlloc(LMEM_FIXED, size));
    if (*buffer == nullptr) {
      WriteLog(LOG_ERROR, "ERROR # %s # Allocation failed (size=%lu).", qualifiedName, static_cast<unsigned long>(size));
      return ERROR_OUTOFMEMORY;
    }
    status = TdhLib::GetInstance()->pfnTdhEnumerateProviders(*buffer, &size);
  }
  if (status != ERROR_SUCCESS) {
    WriteLog(LOG_ERROR, "ERROR # %s # TdhEnumerateProviders failed with %lu.", qualifiedName,
             static_cast<unsigned long>(status));
    if (*buffer != nullptr) {
      LocalFree(*buffer);
      *buffer = nullptr;
    }
  }
  return status;
}

ULONG CEtwSchemaCollector::EnumerateProviders() {
  Guard guard(*this);
  PPROVIDER_ENUMERATION_INFO buffer = nullptr;
  const auto freeBuffer = [&] {
    if (buffer != nullptr) LocalFree(buffer);
  };
  return LoggedCallOr("CEtwSchemaCollector::EnumerateProviders", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    if (!m_providerNames.empty()) {
      return ERROR_SUCCESS;
    }
    const ULONG status = EnumerateWithGrowingBuffer("CEtwSchemaCollector::EnumerateProviders", &buffer);
    if (status == ERROR_SUCCESS && buffer == nullptr) {
      WriteLog(LOG_ERROR, "ERROR # CEtwSchemaCollector::EnumerateProviders # penum parameter NULL");
    }
    if (status == ERROR_SUCCESS && buffer != nullptr) {
      for (ULONG i = 0; i < buffer->NumberOfProviders; ++i) {
        const TRACE_PROVIDER_INFO& entry = buffer->TraceProviderInfoArray[i];
        HRESULT result = S_OK;
        const std::string guidText = GuidText(entry.ProviderGuid, &result);
        if (FAILED(result)) {
          WriteLog(LOG_ERROR, "ERROR # CEtwSchemaCollector::EnumerateProviders # StringFromCLSID failed with 0x%x",
                   static_cast<unsigned>(result));
          break;
        }
        const std::string name = Util::to_string(WString(TextAt(buffer, entry.ProviderNameOffset)));
        CheckRoomForOneMore(m_providerNames);
        m_providerNames.push_back(name);
        m_providerGuids[name] = guidText;
      }
    }
    if (buffer != nullptr) {
      LocalFree(buffer);
    }
    return status;
  }, freeBuffer);
}

void CEtwSchemaCollector::GetProviders(std::list<std::string>& providers) {
  EnumerateProviders();
  Guard guard(*this);
  providers = m_providerNames;
}

std::string CEtwSchemaCollector::GetProviderGuid(std::string providerName) {
  std::string result = kZeroGuidText;
  return LoggedCallOr("CEtwSchemaCollector::GetProviderGuid", std::string(), [&]() -> std::string {
    FunctionTrace trace("CEtwSchemaCollector::GetProviderGuid");
    Guard guard(*this);
    const auto found = m_providerGuids.find(providerName);
    if (found != m_providerGuids.end()) {
      result = found->second;
    } else {
      std::string looked;
      GetProviderGuidInternal(providerName, looked);
      if (!looked.empty()) {
        result = looked;
      }
    }
    return result;
  });
}

void CEtwSchemaCollector::GetProviderGuidInternal(const std::string& providerName, std::string& guidText) {
  PPROVIDER_ENUMERATION_INFO buffer = nullptr;
  LoggedAndDropped("CEtwSchemaCollector::GetProviderGuidInternal", [&] {
    guidText.clear();
    const ULONG status = EnumerateWithGrowingBuffer("CEtwSchemaCollector::GetProviderGuidInternal", &buffer);
    if (status == ERROR_SUCCESS && buffer != nullptr) {
      ULONG mofCount = 0;
      ULONG manifestCount = 0;
      bool matched = false;
      for (ULONG i = 0; i < buffer->NumberOfProviders && !matched; ++i) {
        const TRACE_PROVIDER_INFO& entry = buffer->TraceProviderInfoArray[i];
        HRESULT result = S_OK;
        const std::string text = GuidText(entry.ProviderGuid, &result);
        if (FAILED(result)) {
          WriteLog(LOG_ERROR, "ERROR # CEtwSchemaCollector::GetProviderGuidInternal # StringFromCLSID failed with 0x%x",
                   static_cast<unsigned>(result));
          break;
        }
        const std::string name = Util::to_string(WString(TextAt(buffer, entry.ProviderNameOffset)));
        if (entry.SchemaSource != 0) {
          ++mofCount;
        } else {
          ++manifestCount;
        }
        WriteLog(LOG_INFO, "INFO # Provider name: %s\nProvider GUID: %s\nSource: %s\n\n", name.c_str(), text.c_str(),
                 entry.SchemaSource != 0 ? "WMI MOF class" : "XML manifest");
        if (name.size() == providerName.size() && name == providerName) {
          guidText = text;
          matched = true;
        }
      }
      if (!matched) {
        WriteLog(LOG_INFO,
                 "INFO # There are %d registered providers; %lu are registered via MOF class and\n%lu are registered "
                 "via a manifest.\n",
                 static_cast<int>(buffer->NumberOfProviders), static_cast<unsigned long>(mofCount),
                 static_cast<unsigned long>(manifestCount));
      }
    }
  });
  if (buffer != nullptr) {
    LocalFree(buffer);
  }
}

GUID CEtwSchemaCollector::GetProviderLPGuidInternal(const std::string& providerName) {
  GUID guid{};
  const WString text = Util::to_wstring(GetProviderGuid(providerName));
  if (FAILED(CLSIDFromString(text.c_str(), &guid))) {
    guid = GUID{};
  }
  return guid;
}

void CEtwSchemaCollector::GetProviderManifest(std::string providerName, ProviderRecord& record,
                                              ManifestDocument& document) {
  LoggedAndDropped("CEtwSchemaCollector::GetProviderManifest", [&] {
    GetProviderMetadata(providerName, &record);
    document.providers.push_back(record);
    std::list<StringEntry> entries;
    GetStringTable(entries);
    StringTableRecord table;
    table.entries.assign(entries.begin(), entries.end());
    document.stringTables.push_back(table);
  });
}

void CEtwSchemaCollector::GetProviderMetadata(const std::string& providerName, ProviderRecord* record) {
  LoggedAndDropped("CEtwSchemaCollector::GetProviderMetadata", [&] {
    Guard guard(*this);
    if (record == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return;
    }
    ClearProviderData();
    record->name = providerName;
    m_namespaces["xs"] = kXmlSchemaNamespace;
    m_namespaces["xsi"] = kXmlSchemaInstanceNamespace;
    m_namespaces["win"] = kWindowsEventsNamespace;
    WriteLog(LOG_INFO, "INFO # CEtwSchemaCollector::GetProviderMetadata # Data for %s\n\n", providerName.c_str());
    const GUID guid = GetProviderLPGuidInternal(providerName);
    TDHGetEventProperties_Keywords(&guid, record);
    RemoveEtwPredefines(*record);
  });
}

void CEtwSchemaCollector::ClearProviderData() {
  LoggedAndDropped("CEtwSchemaCollector::ClearProviderData", [&] {
    Guard guard(*this);
    m_stringTable.clear();
    m_namespaces.clear();
  });
}

ULONG CEtwSchemaCollector::TDHGetEventProperties_Keywords(const GUID* providerGuid, ProviderRecord* record) {
  PPROVIDER_FIELD_INFOARRAY buffer = nullptr;
  const auto freeBuffer = [&] {
    if (buffer != nullptr) LocalFree(buffer);
  };
  return LoggedCallOr("CEtwSchemaCollector::TDHGetEventProperties_Keywords", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    Guard guard(*this);
    if (providerGuid == nullptr || record == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return ERROR_INVALID_PARAMETER;
    }
    GUID guid = *providerGuid;
    ULONG size = 0;
    ULONG status =
        TdhLib::GetInstance()->pfnTdhEnumerateProviderFieldInformation(&guid, EventKeywordInformation, nullptr, &size);
    if (status == ERROR_INSUFFICIENT_BUFFER) {
      buffer = static_cast<PPROVIDER_FIELD_INFOARRAY>(LocalAlloc(LMEM_FIXED, size));
      if (buffer == nullptr) {
        WriteLog(LOG_ERROR, "ERROR # CEtwSchemaCollector::TDHGetEventProperties_Keywords # Allocation failed (size=%lu).",
                 static_cast<unsigned long>(size));
        return ERROR_OUTOFMEMORY;
      }
      status = TdhLib::GetInstance()->pfnTdhEnumerateProviderFieldInformation(&guid, EventKeywordInformation, buffer,
                                                                               &size);
    }
    if (status == ERROR_NOT_FOUND) {
      WriteLog(LOG_ERROR, "ERROR # CEtwSchemaCollector::TDHGetEventProperties_KeywordsRequested # field type not found.");
    } else if (status != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR,
               "ERROR # CEtwSchemaCollector::TDHGetEventProperties_Keywords # TdhEnumerateProviderFieldInformation "
               "failed with %lu.",
               static_cast<unsigned long>(status));
    } else if (buffer != nullptr) {
      std::vector<KeywordRecord> keywords(buffer->NumberOfElements);
      for (ULONG i = 0; i < buffer->NumberOfElements; ++i) {
        const PROVIDER_FIELD_INFO& field = buffer->FieldInfoArray[i];
        keywords[i].name = Util::to_string(WString(TextAt(buffer, field.NameOffset)));
        keywords[i].mask = KeywordMaskText(field.Value);
        AddPrefixToNamespaces(keywords[i].name);
      }
      record->keywords = std::move(keywords);
    }
    if (buffer != nullptr) {
      LocalFree(buffer);
    }
    return status;
  }, freeBuffer);
}

void CEtwSchemaCollector::AddPrefixToNamespaces(const std::string& name) {
  LoggedAndDropped("CEtwSchemaCollector::AddPrefixToNamespaces", [&] {
    const size_t colon = name.find(':');
    if (colon == std::string::npos) {
      return;
    }
    const std::string prefix = name.substr(0, colon);
    Guard guard(*this);
    if (m_namespaces.find(prefix) == m_namespaces.end()) {
      m_namespaces[prefix] = std::string(kWindowsEventsNamespace) + "/" + prefix;
    }
  });
}

namespace {

// Keeps the items that pass; a list where nothing passes stays as it was.
template <typename Item, typename Passes>
void KeepPassing(std::vector<Item>& items, Passes passes) {
  std::vector<Item> kept;
  for (const Item& item : items) {
    if (passes(item)) kept.push_back(item);
  }
  if (!kept.empty()) items = std::move(kept);
}

bool IsOwnKeyword(const KeywordRecord& keyword) {
  // The mask text as a hexadecimal number of up to 64 bits; text that is not one passes no
  // bit.
  const std::string& text = keyword.mask;
  size_t start = (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 2 : 0;
  if (start >= text.size() || text.size() - start > 16) return false;
  ULONGLONG mask = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    mask = (mask << 4) | digit;
  }
  return (mask & kOwnKeywordBits) != 0;
}

}  // namespace

void CEtwSchemaCollector::RemoveEtwPredefines(ProviderRecord& record) {
  LoggedAndDropped("CEtwSchemaCollector::RemoveEtwPredefines", [&] {
    KeepPassing(record.levels, [](const LevelRecord& level) { return level.value >= 16; });
    KeepPassing(record.tasks, [](const TaskRecord& task) { return task.value != 0; });
    KeepPassing(record.opcodes, [](const OpcodeRecord& opcode) { return opcode.value >= 10 && opcode.value <= 239; });
    KeepPassing(record.keywords, IsOwnKeyword);
  });
}

void CEtwSchemaCollector::GetStringTable(std::list<StringEntry>& entries) {
  Guard guard(*this);
  entries.clear();
  for (const auto& [id, value] : m_stringTable) {
    CheckRoomForOneMore(entries);
    entries.push_back(StringEntry{id, value});
  }
}

std::map<std::string, std::string> CEtwSchemaCollector::GetNamespaces() {
  Guard guard(*this);
  return m_namespaces;
}
