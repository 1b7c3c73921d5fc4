// The virtual target's installed ETW providers and its tdh.dll, as tests and the launcher set
// them up. Installed providers belong to the machine: a reset to a fresh machine forgets
// them, a restart (sim::reset(root)) installs them afresh.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "etw/catalog.h"

namespace sim {

// Installs an instrumentation manifest as `wevtutil im` would; a refused file installs
// nothing (the result says why).
etw::InstallResult install_provider_manifest(const std::filesystem::path& path);
// Installs a provider declared in code (MOF class, WPP, TraceLogging).
etw::CatalogStatus install_declared_provider(const etw::ProviderSchema& schema);

// Whether tdh.dll exists in the system directory (until the next reset, which brings it
// back): LoadLibraryA of it fails with ERROR_MOD_NOT_FOUND while it does not.
void set_tdh_library_present(bool present);
// Hides one export of tdh.dll until the next reset: GetProcAddress then fails with
// ERROR_PROC_NOT_FOUND (127).
void remove_tdh_export(const std::string& export_name);

// Events of the named session whose consumer callback has returned (0 for no such session):
// a test waits on it to know that the consumer has seen an event, even one it ignores.
std::uint64_t session_events_delivered(std::u16string_view session_name);

}  // namespace sim
