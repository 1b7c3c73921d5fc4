#include "demo_providers.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "demo/declared_providers.h"
#include "sim/providers.h"

namespace conduit::target {

namespace fs = std::filesystem;

fs::path default_manifest_folder() {
  std::error_code error;
  const fs::path beside = fs::read_symlink("/proc/self/exe", error).parent_path() / "manifests";
  if (!error && fs::is_directory(beside, error)) return beside;
  return CONDUIT_DEMO_MANIFEST_DIR;
}

void install_demo_providers(const fs::path& folder) {
  std::vector<fs::path> manifests;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file() && entry.path().extension() == ".man") manifests.push_back(entry.path());
  }
  std::sort(manifests.begin(), manifests.end());
  for (const fs::path& manifest : manifests) {
    const etw::InstallResult result = sim::install_provider_manifest(manifest);
    if (!result.ok()) {
      throw std::runtime_error("manifest " + manifest.string() + " refused: " + result.detail);
    }
  }
  for (const etw::ProviderSchema& schema : conduit_demo::declared_providers()) {
    if (sim::install_declared_provider(schema) != etw::CatalogStatus::Ok) {
      throw std::runtime_error("declared provider " + schema.name + " refused");
    }
  }
}

}  // namespace conduit::target
