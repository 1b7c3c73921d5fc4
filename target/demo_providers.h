// The demo providers a conduit-target machine has installed: the instrumentation manifests
// shipped in platform/etw/demo (*.man) and the providers declared in code there (MOF, WPP,
// TraceLogging).
#pragma once

#include <filesystem>

namespace conduit::target {

// Where the demo manifests are found by default: "manifests" beside the executable (the
// build copies them there), else the source tree's folder.
std::filesystem::path default_manifest_folder();

// Installs every *.man of `folder` (in name order) and the declared providers into the
// machine; throws std::runtime_error naming the first file the catalog refuses.
void install_demo_providers(const std::filesystem::path& folder);

}  // namespace conduit::target
