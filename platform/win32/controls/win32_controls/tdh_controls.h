// The machine's installed providers behind tdh.dll: what sim installs as an administrator
// would (a manifest with `wevtutil im`, a MOF/WPP/TraceLogging provider declared in code).
// The reset's lay_installed_software step installs this set afresh into the catalog; a reset
// to a fresh machine forgets it first.
//
// Kept apart from the ETW runtime's own reset steps (sessions), which join separately.
// Thread safety: every function may be called from any thread.
#pragma once

#include <filesystem>

#include "etw/catalog.h"

namespace platform::win32 {

// Installs now and keeps it in the machine's set; a refused manifest is not kept.
etw::InstallResult install_machine_manifest(const std::filesystem::path& path);
etw::CatalogStatus install_machine_provider(const etw::ProviderSchema& schema);
// Empties the set (the catalog is emptied by the next reset).
void forget_machine_providers();
// Removes tdh.dll from the system directory, or puts it back with all its exports.
void set_tdh_library_present(bool present);
// Adds the catalog's step to lay_installed_software. Joining twice adds nothing.
void join_tdh_reset_phases();

}  // namespace platform::win32
