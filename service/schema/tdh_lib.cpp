#include "tdh_lib.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "log_writer.h"
#include "logged_call.h"

namespace {

// The library is only ever taken from the system directory, never from the search path.
std::string TdhLibraryPath() {
  char systemDirectory[MAX_PATH] = {};
  GetSystemDirectoryA(systemDirectory, MAX_PATH);
  return std::string(systemDirectory) + "\\tdh.dll";
}

// A fallback's body: the entry and exit lines under its own name, then 1; 1359 when even
// the logging failed.
ULONG FallbackStatus(const char* qualifiedName) {
  return LoggedCallOr(qualifiedName, ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    FunctionTrace trace(qualifiedName);
    return ERROR_INVALID_FUNCTION;
  });
}

template <typename Function>
Function AsFunction(FARPROC address) {
  // Through void(*)(), which any function pointer may be cast through.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

std::atomic<TdhLib*> s_tdhLib{nullptr};

std::mutex& CreationLock() {
  static std::mutex lock;
  return lock;
}

// The shared holder that owns the instance until process exit.
std::shared_ptr<TdhLib>& Holder() {
  static std::shared_ptr<TdhLib> holder;
  return holder;
}

}  // namespace

ULONG WINAPI TdhLib::TdhEnumerateProviders_Error(PPROVIDER_ENUMERATION_INFO, ULONG*) {
  return FallbackStatus("TdhLib::TdhEnumerateProviders_Error");
}
ULONG WINAPI TdhLib::TdhGetEventInformation_Error(PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO, ULONG*) {
  return FallbackStatus("TdhLib::TdhGetEventInformation_Error");
}
ULONG WINAPI TdhLib::TdhGetEventMapInformation_Error(PEVENT_RECORD, PWSTR, PEVENT_MAP_INFO, ULONG*) {
  return FallbackStatus("TdhLib::TdhGetEventMapInformation_Error");
}
ULONG WINAPI TdhLib::TdhEnumerateProviderFieldInformation_Error(LPGUID, EVENT_FIELD_TYPE, PPROVIDER_FIELD_INFOARRAY,
                                                                ULONG*) {
  return FallbackStatus("TdhLib::TdhEnumerateProviderFieldInformation_Error");
}
ULONG WINAPI TdhLib::TdhLoadManifest_Error(PWSTR) { return FallbackStatus("TdhLib::TdhLoadManifest_Error"); }
ULONG WINAPI TdhLib::TdhUnloadManifest_Error(PWSTR) { return FallbackStatus("TdhLib::TdhUnloadManifest_Error"); }

void TdhLib::BindFallbacks() {
  pfnTdhEnumerateProviders = &TdhEnumerateProviders_Error;
  pfnTdhGetEventInformation = &TdhGetEventInformation_Error;
  pfnTdhGetEventMapInformation = &TdhGetEventMapInformation_Error;
  pfnTdhEnumerateProviderFieldInformation = &TdhEnumerateProviderFieldInformation_Error;
  pfnTdhLoadManifest = &TdhLoadManifest_Error;
  pfnTdhUnloadManifest = &TdhUnloadManifest_Error;
  m_module = nullptr;
}

TdhLib::TdhLib(FallbacksOnly) { BindFallbacks(); }

TdhLib::TdhLib() {
  BindFallbacks();
  FunctionTrace trace("TdhLib::TdhLib");
  m_module = LoadLibraryA(TdhLibraryPath().c_str());
  if (m_module == nullptr) {
    WriteLog(LOG_ERROR, "Loading TDH Library (tdh.dll) Failed , Error code : %ld, ", static_cast<long>(GetLastError()));
    return;
  }
  if (FARPROC address = Resolve("TdhEnumerateProviders")) {
    pfnTdhEnumerateProviders = AsFunction<TdhEnumerateProvidersFn>(address);
  }
  if (FARPROC address = Resolve("TdhGetEventInformation")) {
    pfnTdhGetEventInformation = AsFunction<TdhGetEventInformationFn>(address);
  }
  if (FARPROC address = Resolve("TdhGetEventMapInformation")) {
    pfnTdhGetEventMapInformation = AsFunction<TdhGetEventMapInformationFn>(address);
  }
  if (FARPROC address = Resolve("TdhEnumerateProviderFieldInformation")) {
    pfnTdhEnumerateProviderFieldInformation = AsFunction<TdhEnumerateProviderFieldInformationFn>(address);
  }
  if (FARPROC address = Resolve("TdhLoadManifest")) {
    pfnTdhLoadManifest = AsFunction<TdhLoadManifestFn>(address);
  }
  if (FARPROC address = Resolve("TdhUnloadManifest")) {
    pfnTdhUnloadManifest = AsFunction<TdhUnloadManifestFn>(address);
  }
}

FARPROC TdhLib::Resolve(LPCSTR name) {
  if (name == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return nullptr;
  }
  FARPROC address = GetProcAddress(m_module, name);
  if (address != nullptr) {
    WriteLog(LOG_INFO, "GetProcAddress for Fn : %s Successful", name);
  } else {
    WriteLog(LOG_ERROR, "GetProcAddress for Fn : %s Failed , Error code : %ld", name,
             static_cast<long>(GetLastError()));
  }
  return address;
}

TdhLib::~TdhLib() {
  FunctionTrace trace("TdhLib::~TdhLib");
  if (m_module != nullptr) {
    FreeLibrary(m_module);
  }
}

void TdhLib::Destroy(TdhLib* instance) {
  instance->~TdhLib();
  LocalFree(instance);
}

TdhLib* TdhLib::GetInstance() {
  if (TdhLib* existing = s_tdhLib.load(std::memory_order_acquire)) {
    return existing;
  }
  // The first callers are request threads that may arrive together: one of them makes the
  // instance, the others wait for it.
  std::lock_guard<std::mutex> lock(CreationLock());
  if (TdhLib* existing = s_tdhLib.load(std::memory_order_acquire)) {
    return existing;
  }
  try {
    void* memory = LocalAlloc(LMEM_FIXED, sizeof(TdhLib));
    if (memory == nullptr) {
      throw std::bad_alloc();
    }
    TdhLib* made = nullptr;
    try {
      made = new (memory) TdhLib();
    } catch (...) {
      LocalFree(memory);
      throw;
    }
    Holder() = std::shared_ptr<TdhLib>(made, &TdhLib::Destroy);
    s_tdhLib.store(made, std::memory_order_release);
    return made;
  } catch (const std::exception& e) {
    LogStandardException("TdhLib::GetInstance", e);
  } catch (...) {
    LogGenericException("TdhLib::GetInstance");
  }
  // Callers call through the result without checking it: when the instance cannot be made,
  // they get fallbacks only (no module, every call answers 1). A later call tries again.
  // Made in static storage (no allocation) and never destroyed.
  alignas(TdhLib) static unsigned char storage[sizeof(TdhLib)];
  static TdhLib* const fallbacks = new (storage) TdhLib(FallbacksOnly{});
  return fallbacks;
}

void GetFormatPropertyHandle(HMODULE* module, TdhLib::TdhFormatPropertyFn* formatProperty) {
  try {
    if (module == nullptr) {
      return;
    }
    *module = LoadLibraryA(TdhLibraryPath().c_str());
    if (formatProperty != nullptr) {
      *formatProperty = nullptr;
      if (*module != nullptr) {
        *formatProperty = AsFunction<TdhLib::TdhFormatPropertyFn>(GetProcAddress(*module, "TdhFormatProperty"));
      }
    }
  } catch (const std::exception& e) {
    LogStandardException("GetFormatPropertyHandle", e);
  } catch (...) {
    LogGenericException("GetFormatPropertyHandle");
  }
}
