// Feeds arbitrary bytes, as a manifest file handed to TdhLoadManifest could hold them, to the
// provider catalog's manifest reader. Whatever the file holds, the reader must neither crash
// nor leave a schema with a dangling reference: every event's template must exist, every
// field's map must exist, and every count or length field must name an earlier field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "etw/catalog.h"

namespace {

void check_fields(const etw::ProviderSchema& schema, const std::vector<etw::Field>& fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const etw::Field& field = fields[i];
    if (!field.map.empty() && schema.find_map(field.map) == nullptr) std::abort();
    for (const std::string* reference : {&field.count_field, &field.length_field}) {
      if (reference->empty()) continue;
      bool found = false;
      for (std::size_t j = 0; j < i; ++j) found = found || fields[j].name == *reference;
      if (!found) std::abort();
    }
    check_fields(schema, field.members);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<etw::ProviderSchema> providers;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const etw::InstallResult result = etw::parse_manifest_text(text, "fuzz.man", providers);
  if (result.ok() != !providers.empty()) std::abort();
  for (const etw::ProviderSchema& schema : providers) {
    for (const etw::Event& event : schema.events) {
      if (!event.template_id.empty() && schema.find_template(event.template_id) == nullptr) std::abort();
    }
    for (const etw::Template& declared : schema.templates) check_fields(schema, declared.fields);
  }
  return 0;
}
