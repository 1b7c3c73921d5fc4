#include "sim/providers.h"

#include "etw/runtime.h"

#include "win32_controls/modules_table.h"
#include "win32_controls/tdh_controls.h"

namespace sim {

etw::InstallResult install_provider_manifest(const std::filesystem::path& path) {
  return platform::win32::install_machine_manifest(path);
}

etw::CatalogStatus install_declared_provider(const etw::ProviderSchema& schema) {
  return platform::win32::install_machine_provider(schema);
}

void set_tdh_library_present(bool present) {
  platform::win32::set_tdh_library_present(present);
}

void remove_tdh_export(const std::string& export_name) { platform::remove_module_export("tdh.dll", export_name); }

std::uint64_t session_events_delivered(std::u16string_view session_name) {
  const etw::SessionResult result = etw::runtime().query_session(session_name);
  return result.status == etw::Status::ok ? result.info.events_delivered : 0;
}

}  // namespace sim
