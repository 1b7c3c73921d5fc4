// The machine's built-in modules. The reset installs them explicitly (lay_installed_software)
// and the module table installs them on first use; nothing registers from a static
// initialiser, which a static library would drop when nothing references its object file.
#include "ip2string.h"
#include "reset_steps.h"
#include "tdh.h"

namespace platform::win32 {

namespace {

template <typename Function>
FARPROC export_of(Function* function) {
  // Through void(*)(), the one function type any function pointer may be cast through.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

std::vector<std::pair<std::string, ModuleExports>> builtin_module_exports() {
  return {
      // The native API layer, mapped into every process; the one routine the system looks up.
      {"ntdll.dll", {{"RtlIpv6AddressToStringW", export_of(&RtlIpv6AddressToStringW)}}},
      // The trace data helper, answering from the provider catalog (tdh.cpp).
      {"tdh.dll",
       {
           {"TdhEnumerateProviders", export_of(&TdhEnumerateProviders)},
           {"TdhEnumerateProviderFieldInformation", export_of(&TdhEnumerateProviderFieldInformation)},
           {"TdhGetEventInformation", export_of(&TdhGetEventInformation)},
           {"TdhGetEventMapInformation", export_of(&TdhGetEventMapInformation)},
           {"TdhGetProperty", export_of(&TdhGetProperty)},
           {"TdhGetPropertySize", export_of(&TdhGetPropertySize)},
           {"TdhFormatProperty", export_of(&TdhFormatProperty)},
           {"TdhLoadManifest", export_of(&TdhLoadManifest)},
           {"TdhUnloadManifest", export_of(&TdhUnloadManifest)},
       }},
  };
}

}  // namespace platform::win32
