// The catalog store: registered providers by GUID, loaded manifests in load order.
#include <algorithm>
#include <mutex>

#include "etw/catalog.h"

namespace etw {

std::uint32_t win32_status(CatalogStatus status) {
  switch (status) {
    case CatalogStatus::Ok: return 0;
    case CatalogStatus::FileNotFound: return 2;        // ERROR_FILE_NOT_FOUND
    case CatalogStatus::MalformedXml:
    case CatalogStatus::NotAManifest: return 1465;     // ERROR_XML_PARSE_ERROR
    case CatalogStatus::InvalidManifest: return 13;    // ERROR_INVALID_DATA
    case CatalogStatus::InvalidProvider: return 87;    // ERROR_INVALID_PARAMETER
    case CatalogStatus::NotInstalled: return 1168;     // ERROR_NOT_FOUND
  }
  return 1359;  // ERROR_INTERNAL_ERROR
}

const char* to_string(CatalogStatus status) {
  switch (status) {
    case CatalogStatus::Ok: return "ok";
    case CatalogStatus::FileNotFound: return "file not found";
    case CatalogStatus::MalformedXml: return "malformed XML";
    case CatalogStatus::NotAManifest: return "not an instrumentation manifest";
    case CatalogStatus::InvalidManifest: return "invalid manifest";
    case CatalogStatus::InvalidProvider: return "invalid provider";
    case CatalogStatus::NotInstalled: return "not installed";
  }
  return "unknown";
}

namespace {

bool name_less(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    return static_cast<unsigned char>(fold(x)) < static_cast<unsigned char>(fold(y));
  });
}

}  // namespace

InstallResult Catalog::install_manifest(const std::filesystem::path& path, Scope scope) {
  std::vector<ProviderSchema> read;
  InstallResult result = parse_manifest_file(path, read);
  if (!result.ok()) return result;
  const std::string origin = manifest_origin(path);

  // A provider is known by its GUID alone, in both scopes: one without (the reader accepts
  // an empty guid attribute) has nothing to be installed under, and the whole file is
  // refused, as the message compiler refuses it.
  for (const ProviderSchema& schema : read) {
    if (schema.guid.is_zero()) {
      result.status = CatalogStatus::InvalidManifest;
      result.detail = origin + ": the provider \"" + schema.name + "\" has no GUID";
      result.providers.clear();
      return result;
    }
  }

  std::unique_lock lock(mutex_);
  if (scope == Scope::Registered) {
    std::erase_if(registered_, [&](const auto& entry) { return entry.second->manifest_path == origin; });
    for (ProviderSchema& schema : read) {
      const Guid guid = schema.guid;
      registered_[guid] = std::make_shared<const ProviderSchema>(std::move(schema));
    }
    changed();
    return result;
  }

  std::erase_if(loaded_, [&](const Snapshot& schema) { return schema->manifest_path == origin; });
  for (ProviderSchema& schema : read) {
    std::erase_if(loaded_, [&](const Snapshot& loaded) { return loaded->guid == schema.guid; });
    loaded_.push_back(std::make_shared<const ProviderSchema>(std::move(schema)));
  }
  changed();
  return result;
}

CatalogStatus Catalog::uninstall_manifest(const std::filesystem::path& path, Scope scope) {
  const std::string origin = manifest_origin(path);
  std::unique_lock lock(mutex_);
  std::size_t removed = 0;
  if (scope == Scope::Registered) {
    removed = std::erase_if(registered_, [&](const auto& entry) { return entry.second->manifest_path == origin; });
  } else {
    removed = std::erase_if(loaded_, [&](const Snapshot& schema) { return schema->manifest_path == origin; });
  }
  if (removed != 0) changed();
  return removed == 0 ? CatalogStatus::NotInstalled : CatalogStatus::Ok;
}

CatalogStatus Catalog::install_provider(ProviderSchema schema, Scope scope) {
  if (schema.name.empty() || schema.guid.is_zero()) return CatalogStatus::InvalidProvider;
  auto snapshot = std::make_shared<const ProviderSchema>(std::move(schema));
  std::unique_lock lock(mutex_);
  if (scope == Scope::Registered) {
    registered_[snapshot->guid] = std::move(snapshot);
  } else {
    std::erase_if(loaded_, [&](const Snapshot& loaded) { return loaded->guid == snapshot->guid; });
    loaded_.push_back(std::move(snapshot));
  }
  changed();
  return CatalogStatus::Ok;
}

CatalogStatus Catalog::uninstall_provider(const Guid& guid, Scope scope) {
  std::unique_lock lock(mutex_);
  const std::size_t removed = scope == Scope::Registered
                                  ? registered_.erase(guid)
                                  : std::erase_if(loaded_, [&](const Snapshot& loaded) { return loaded->guid == guid; });
  if (removed != 0) changed();
  return removed == 0 ? CatalogStatus::NotInstalled : CatalogStatus::Ok;
}

std::vector<ProviderSummary> Catalog::providers() const {
  std::vector<ProviderSummary> list;
  {
    std::shared_lock lock(mutex_);
    list.reserve(registered_.size());
    for (const auto& [guid, schema] : registered_) list.push_back({schema->name, guid, schema->source});
  }
  std::stable_sort(list.begin(), list.end(), [](const ProviderSummary& a, const ProviderSummary& b) {
    if (name_less(a.name, b.name)) return true;
    if (name_less(b.name, a.name)) return false;
    return a.guid < b.guid;
  });
  return list;
}

Catalog::Snapshot Catalog::find_locked(const Guid& guid) const {
  if (guid.is_zero()) return nullptr;
  if (auto found = registered_.find(guid); found != registered_.end()) return found->second;
  for (auto loaded = loaded_.rbegin(); loaded != loaded_.rend(); ++loaded) {
    if ((*loaded)->guid == guid) return *loaded;
  }
  return nullptr;
}

std::shared_ptr<const ProviderSchema> Catalog::find_provider(const Guid& guid) const {
  std::shared_lock lock(mutex_);
  return find_locked(guid);
}

std::shared_ptr<const ProviderSchema> Catalog::find_provider(std::string_view name) const {
  std::shared_lock lock(mutex_);
  for (const auto& [guid, schema] : registered_) {
    if (names_equal(schema->name, name)) return schema;
  }
  for (auto loaded = loaded_.rbegin(); loaded != loaded_.rend(); ++loaded) {
    if (names_equal((*loaded)->name, name)) return *loaded;
  }
  return nullptr;
}

std::optional<std::vector<Keyword>> Catalog::keywords(const Guid& provider) const {
  auto schema = find_provider(provider);
  if (!schema) return std::nullopt;
  return schema->keywords;
}

std::optional<EventSchema> Catalog::find_event(const Guid& provider, const EventKey& key) const {
  auto schema = find_provider(provider);
  if (!schema) return std::nullopt;
  for (const Event& event : schema->events) {
    bool matches = false;
    switch (schema->source) {
      case DecodingSource::Wbem: matches = event.opcode == key.opcode && event.version == key.version; break;
      case DecodingSource::Wpp: matches = event.id == key.id; break;
      default: matches = event.id == key.id && event.version == key.version; break;
    }
    if (matches) {
      const Template* event_template = event.template_id.empty() ? nullptr : schema->find_template(event.template_id);
      return EventSchema{schema, &event, event_template};
    }
  }
  return std::nullopt;
}

std::optional<MapSchema> Catalog::find_map(const Guid& provider, std::string_view map_name) const {
  auto schema = find_provider(provider);
  if (!schema) return std::nullopt;
  const ValueMap* map = schema->find_map(map_name);
  if (map == nullptr) return std::nullopt;
  return MapSchema{schema, map};
}

void Catalog::reset() {
  std::unique_lock lock(mutex_);
  registered_.clear();
  loaded_.clear();
  changed();
}

InstallResult Catalog::install_afresh(const std::vector<std::filesystem::path>& manifests,
                                      const std::vector<ProviderSchema>& declared) {
  reset();
  InstallResult all;
  for (const auto& path : manifests) {
    InstallResult one = install_manifest(path);
    if (!one.ok()) return one;
    all.providers.insert(all.providers.end(), one.providers.begin(), one.providers.end());
  }
  for (const ProviderSchema& schema : declared) {
    const CatalogStatus status = install_provider(schema);
    if (status != CatalogStatus::Ok) {
      all.status = status;
      all.detail = "the declared provider \"" + schema.name + "\" needs a name and a GUID";
      return all;
    }
    all.providers.push_back(schema.guid);
  }
  return all;
}

Catalog& catalog() {
  static Catalog machine;
  return machine;
}

}  // namespace etw
