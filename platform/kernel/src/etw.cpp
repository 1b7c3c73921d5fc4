// The kernel ETW provider surface: EtwRegister, EtwUnregister, EtwEventEnabled,
// EtwProviderEnabled and EtwWrite over the virtual target's ETW runtime, the one user-mode
// sessions consume, so a driver's events reach them as a user-mode provider's do.
#include <sys/syscall.h>
#include <unistd.h>

#include <span>

#include "etw/runtime.h"
#include "kernel_internal.h"
#include "platform/core/performance_counter.h"

namespace {

// Registration handles carry a kind in their top byte, apart from the user-mode surface's,
// so a handle of one surface is refused by the other.
constexpr std::uint64_t kRegistrationKind = 0x81;

REGHANDLE make_handle(std::uint64_t value) { return (kRegistrationKind << 56) | value; }
std::uint64_t runtime_handle(REGHANDLE handle) {
  return (handle >> 56) == kRegistrationKind ? (handle & ((1ull << 56) - 1)) : 0;
}

std::int64_t performance_counter() { return platform::performance_counter().ticks; }

// The runtime's time stamps come from the machine's one performance counter, as the user-mode
// surface's do.
etw::Runtime& runtime() {
  static etw::Runtime& wired = []() -> etw::Runtime& {
    etw::runtime().set_clock(&performance_counter);
    return etw::runtime();
  }();
  return wired;
}

// The runtime's results are Win32 codes; this is where they become NTSTATUS.
NTSTATUS to_nt_status(etw::Status status) {
  switch (status) {
    case etw::Status::ok: return STATUS_SUCCESS;
    case etw::Status::invalid_handle: return STATUS_INVALID_HANDLE;
    case etw::Status::not_enough_memory: return STATUS_NO_MEMORY;
    case etw::Status::invalid_parameter: return STATUS_INVALID_PARAMETER;
    case etw::Status::already_exists: return STATUS_OBJECT_NAME_COLLISION;
    case etw::Status::more_data: return STATUS_BUFFER_OVERFLOW;
    case etw::Status::arithmetic_overflow: return STATUS_INTEGER_OVERFLOW;
    case etw::Status::no_system_resources: return STATUS_INSUFFICIENT_RESOURCES;
    case etw::Status::wmi_instance_not_found: return STATUS_WMI_INSTANCE_NOT_FOUND;
    default: return STATUS_UNSUCCESSFUL;
  }
}

etw::Guid to_etw(const GUID& guid) {
  etw::Guid out;
  static_assert(sizeof out == sizeof guid);
  std::memcpy(static_cast<void*>(&out), &guid, sizeof out);
  return out;
}

// A kernel event carries the processor the writing thread runs on as the kernel sees it.
etw::WriterIdentity writer_identity() {
  etw::WriterIdentity identity;
  identity.process_id = static_cast<std::uint32_t>(::getpid());
  identity.thread_id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  identity.processor_number = static_cast<std::uint8_t>(KeGetCurrentProcessorNumberEx(nullptr));
  return identity;
}

}  // namespace

NTSTATUS EtwRegister(LPCGUID ProviderId, PETWENABLECALLBACK EnableCallback, PVOID CallbackContext,
                     PREGHANDLE RegHandle) {
  KERNEL_STATUS_ENTRY("EtwRegister");
  platform::kernel::require_irql_at_most(PASSIVE_LEVEL, "EtwRegister");
  if (ProviderId == nullptr || RegHandle == nullptr) return STATUS_INVALID_PARAMETER;
  *RegHandle = 0;
  etw::EnableCallback callback;
  if (EnableCallback != nullptr) {
    callback = [EnableCallback](const etw::Guid& source, std::uint32_t is_enabled, std::uint8_t level,
                                std::uint64_t match_any, std::uint64_t match_all, const void* filter,
                                void* context) {
      GUID source_id;
      std::memcpy(static_cast<void*>(&source_id), &source, sizeof source_id);
      platform::kernel::call_driver("the ETW enable callback", [&] {
        EnableCallback(&source_id, is_enabled, level, match_any, match_all,
                       const_cast<PEVENT_FILTER_DESCRIPTOR>(static_cast<const EVENT_FILTER_DESCRIPTOR*>(filter)),
                       context);
      });
    };
  }
  const etw::RegisterResult result = runtime().register_provider(to_etw(*ProviderId), callback, CallbackContext);
  if (result.status != etw::Status::ok) return to_nt_status(result.status);
  *RegHandle = make_handle(result.handle);
  return STATUS_SUCCESS;
}

NTSTATUS EtwUnregister(REGHANDLE RegHandle) {
  KERNEL_STATUS_ENTRY("EtwUnregister");
  platform::kernel::require_irql_at_most(PASSIVE_LEVEL, "EtwUnregister");
  const std::uint64_t handle = runtime_handle(RegHandle);
  if (handle == 0) return STATUS_INVALID_HANDLE;
  return to_nt_status(runtime().unregister_provider(handle));
}

BOOLEAN EtwEventEnabled(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor) {
  KERNEL_ENTRY("EtwEventEnabled");
  const std::uint64_t handle = runtime_handle(RegHandle);
  if (handle == 0 || EventDescriptor == nullptr) return FALSE;
  return runtime().is_enabled(handle, EventDescriptor->Level, EventDescriptor->Keyword) ? TRUE : FALSE;
}

BOOLEAN EtwProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword) {
  KERNEL_ENTRY("EtwProviderEnabled");
  const std::uint64_t handle = runtime_handle(RegHandle);
  return handle != 0 && runtime().is_enabled(handle, Level, Keyword) ? TRUE : FALSE;
}

NTSTATUS EtwWrite(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor, LPCGUID ActivityId, ULONG UserDataCount,
                  PEVENT_DATA_DESCRIPTOR UserData) {
  KERNEL_STATUS_ENTRY("EtwWrite");
  (void)ActivityId;
  const std::uint64_t handle = runtime_handle(RegHandle);
  if (handle == 0) return STATUS_INVALID_HANDLE;
  if (EventDescriptor == nullptr || (UserDataCount != 0 && UserData == nullptr)) return STATUS_INVALID_PARAMETER;
  etw::EventDescriptor descriptor;
  static_assert(sizeof descriptor == sizeof(EVENT_DESCRIPTOR));
  std::memcpy(static_cast<void*>(&descriptor), EventDescriptor, sizeof descriptor);
  // EVENT_DATA_DESCRIPTOR and the runtime's descriptor share one layout.
  static_assert(sizeof(etw::DataDescriptor) == sizeof(EVENT_DATA_DESCRIPTOR));
  const auto* data = reinterpret_cast<const etw::DataDescriptor*>(UserData);
  const etw::WriterIdentity identity = writer_identity();
  etw::WriteOptions options;
  options.identity = &identity;
  return to_nt_status(
      runtime().write(handle, descriptor, std::span<const etw::DataDescriptor>(data, UserDataCount), options));
}
