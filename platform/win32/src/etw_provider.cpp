// Provider side of the user-mode ETW surface: EventRegister, EventUnregister, EventEnabled,
// EventWrite and EventWriteString over the virtual target's ETW runtime.
#include <cstring>

#include "etw_surface.h"
#include "platform/core/faults.h"
#include "winbase.h"

using platform::win32::etw_surface::HandleKind;
using platform::win32::etw_surface::make_handle;
using platform::win32::etw_surface::runtime;
using platform::win32::etw_surface::runtime_handle;
using platform::win32::etw_surface::to_win32;

ULONG EventRegister(LPCGUID ProviderId, PENABLECALLBACK EnableCallback, PVOID CallbackContext,
                    PREGHANDLE RegHandle) {
  PLATFORM_FAIL_IF_ARMED("EventRegister", GetLastError());
  if (ProviderId == nullptr || RegHandle == nullptr) return ERROR_INVALID_PARAMETER;
  *RegHandle = 0;
  etw::EnableCallback callback;
  if (EnableCallback != nullptr) {
    callback = [EnableCallback](const etw::Guid& source, std::uint32_t is_enabled, std::uint8_t level,
                                std::uint64_t match_any, std::uint64_t match_all, const void* filter,
                                void* context) {
      const GUID source_id = to_win32(source);
      EnableCallback(&source_id, is_enabled, level, match_any, match_all,
                     const_cast<PEVENT_FILTER_DESCRIPTOR>(static_cast<const EVENT_FILTER_DESCRIPTOR*>(filter)),
                     context);
    };
  }
  const etw::RegisterResult result =
      runtime().register_provider(platform::win32::etw_surface::to_etw(*ProviderId), callback, CallbackContext);
  if (result.status != etw::Status::ok) return to_win32(result.status);
  *RegHandle = make_handle(HandleKind::registration, result.handle);
  return ERROR_SUCCESS;
}

ULONG EventUnregister(REGHANDLE RegHandle) {
  PLATFORM_FAIL_IF_ARMED("EventUnregister", GetLastError());
  const std::uint64_t handle = runtime_handle(HandleKind::registration, RegHandle);
  if (handle == 0) return ERROR_INVALID_HANDLE;
  return to_win32(runtime().unregister_provider(handle));
}

BOOLEAN EventEnabled(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor) {
  const std::uint64_t handle = runtime_handle(HandleKind::registration, RegHandle);
  if (handle == 0 || EventDescriptor == nullptr) return FALSE;
  return runtime().is_enabled(handle, EventDescriptor->Level, EventDescriptor->Keyword) ? TRUE : FALSE;
}

BOOLEAN EventProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword) {
  const std::uint64_t handle = runtime_handle(HandleKind::registration, RegHandle);
  return handle != 0 && runtime().is_enabled(handle, Level, Keyword) ? TRUE : FALSE;
}

ULONG EventWrite(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor, ULONG UserDataCount,
                 PEVENT_DATA_DESCRIPTOR UserData) {
  PLATFORM_FAIL_IF_ARMED("EventWrite", GetLastError());
  const std::uint64_t handle = runtime_handle(HandleKind::registration, RegHandle);
  if (handle == 0) return ERROR_INVALID_HANDLE;
  if (EventDescriptor == nullptr || (UserDataCount != 0 && UserData == nullptr)) return ERROR_INVALID_PARAMETER;
  etw::EventDescriptor descriptor;
  static_assert(sizeof descriptor == sizeof(EVENT_DESCRIPTOR));
  std::memcpy(static_cast<void*>(&descriptor), EventDescriptor, sizeof descriptor);
  // EVENT_DATA_DESCRIPTOR and the runtime's descriptor share one layout.
  static_assert(sizeof(etw::DataDescriptor) == sizeof(EVENT_DATA_DESCRIPTOR));
  const auto* data = reinterpret_cast<const etw::DataDescriptor*>(UserData);
  return to_win32(runtime().write(handle, descriptor, std::span<const etw::DataDescriptor>(data, UserDataCount)));
}

ULONG EventWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, PCWSTR String) {
  PLATFORM_FAIL_IF_ARMED("EventWriteString", GetLastError());
  const std::uint64_t handle = runtime_handle(HandleKind::registration, RegHandle);
  if (handle == 0) return ERROR_INVALID_HANDLE;
  if (String == nullptr) return ERROR_INVALID_PARAMETER;
  std::size_t units = 0;
  while (String[units] != 0) ++units;
  etw::EventDescriptor descriptor;
  descriptor.level = Level;
  descriptor.keyword = Keyword;
  const etw::DataDescriptor data =
      etw::data_of(String, static_cast<std::uint32_t>(std::min<std::size_t>((units + 1) * sizeof(WCHAR), 0xFFFFFFFFu)));
  etw::WriteOptions options;
  options.header_flags = EVENT_HEADER_FLAG_STRING_ONLY;
  return to_win32(runtime().write(handle, descriptor, std::span<const etw::DataDescriptor>(&data, 1), options));
}
