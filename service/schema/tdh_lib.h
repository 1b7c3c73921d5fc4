// The TDH functions the service binds at run time: tdh.dll from the system directory, six
// entry points resolved by name. An entry that cannot be resolved (no library, an older
// platform) is bound to a fallback that fails with 1, so callers always call through a valid
// pointer and only ever see a status.
//
// Lifecycle: one process-wide instance, made by the first GetInstance() and freed at process
// exit. Creation is serialised, so concurrent first callers share one instance; GetInstance
// never returns null: when the instance cannot be made it hands out a table of fallbacks.
// The table is written only while constructing, so calls through it need no lock.
#pragma once

#include <memory>

#include "windows.h"
#include "tdh.h"

class TdhLib {
 public:
  // The signatures of the platform's functions (manifest loading is not declared by every
  // SDK's tdh.h, so the table spells all of them out).
  typedef ULONG(WINAPI* TdhEnumerateProvidersFn)(PPROVIDER_ENUMERATION_INFO, ULONG*);
  typedef ULONG(WINAPI* TdhGetEventInformationFn)(PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO, ULONG*);
  typedef ULONG(WINAPI* TdhGetEventMapInformationFn)(PEVENT_RECORD, PWSTR, PEVENT_MAP_INFO, ULONG*);
  typedef ULONG(WINAPI* TdhEnumerateProviderFieldInformationFn)(LPGUID, EVENT_FIELD_TYPE, PPROVIDER_FIELD_INFOARRAY,
                                                                ULONG*);
  typedef ULONG(WINAPI* TdhLoadManifestFn)(PWSTR);
  typedef ULONG(WINAPI* TdhUnloadManifestFn)(PWSTR);
  typedef ULONG(WINAPI* TdhFormatPropertyFn)(PTRACE_EVENT_INFO, PEVENT_MAP_INFO, ULONG, USHORT, USHORT, USHORT,
                                             USHORT, PBYTE, PULONG, PWCHAR, PUSHORT);

  TdhEnumerateProvidersFn pfnTdhEnumerateProviders;
  TdhGetEventInformationFn pfnTdhGetEventInformation;
  TdhGetEventMapInformationFn pfnTdhGetEventMapInformation;
  TdhEnumerateProviderFieldInformationFn pfnTdhEnumerateProviderFieldInformation;
  TdhLoadManifestFn pfnTdhLoadManifest;
  TdhUnloadManifestFn pfnTdhUnloadManifest;
  HMODULE m_module;

  static TdhLib* GetInstance();
  ~TdhLib();

  TdhLib(const TdhLib&) = delete;
  TdhLib& operator=(const TdhLib&) = delete;

  static ULONG WINAPI TdhEnumerateProviders_Error(PPROVIDER_ENUMERATION_INFO, ULONG*);
  static ULONG WINAPI TdhGetEventInformation_Error(PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO, ULONG*);
  static ULONG WINAPI TdhGetEventMapInformation_Error(PEVENT_RECORD, PWSTR, PEVENT_MAP_INFO, ULONG*);
  static ULONG WINAPI TdhEnumerateProviderFieldInformation_Error(LPGUID, EVENT_FIELD_TYPE, PPROVIDER_FIELD_INFOARRAY,
                                                                 ULONG*);
  static ULONG WINAPI TdhLoadManifest_Error(PWSTR);
  static ULONG WINAPI TdhUnloadManifest_Error(PWSTR);

 private:
  struct FallbacksOnly {};
  TdhLib();
  explicit TdhLib(FallbacksOnly);
  void BindFallbacks();
  FARPROC Resolve(LPCSTR name);
  static void Destroy(TdhLib* instance);
};

// Loads tdh.dll for the event decoder and resolves TdhFormatProperty into *formatProperty when
// it is given (null when missing). The module belongs to the caller.
void GetFormatPropertyHandle(HMODULE* module, TdhLib::TdhFormatPropertyFn* formatProperty);
