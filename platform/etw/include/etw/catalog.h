// The provider catalog of the virtual target: the providers "installed" on the machine and
// their schemas. The TDH surface (TdhEnumerateProviders, TdhEnumerateProviderFieldInformation,
// TdhGetEventInformation, TdhGetEventMapInformation, TdhLoadManifest, TdhUnloadManifest) and
// the sim controls are thin layers over it.
//
// Two kinds of installation, as on Windows:
//  - Registered providers (Scope::Registered) are the machine's: a manifest installed as
//    `wevtutil im` would, or a MOF/WPP/TraceLogging provider declared by the launcher or a
//    test. They are enumerated, and their schemas answer every query.
//  - Loaded manifests (Scope::Loaded) are what TdhLoadManifest adds: they only describe events
//    for decoding. They are not enumerated, and a registered provider with the same GUID wins
//    over them, so a thinner copy of a provider's manifest (the service re-registers the
//    keywords-only manifest it generates) never hides the events the provider really has.
//    A loaded provider without a GUID (the service's generated manifests leave it empty) takes
//    the GUID of the registered provider with that name; with none, it is found by name only.
//    Registration needs the GUID: a manifest with a GUID-less provider is refused for it.
//
// Installing a manifest parses the whole file into schemas first and then swaps them in under
// the lock: a refused file leaves the catalog exactly as it was. Installing the same file
// again replaces everything that file installed before; a provider installed again (same
// GUID, from any source) replaces the previous one.
//
// Thread safety: every member may be called from any thread; queries share a lock, installs
// take it exclusively. Queries return snapshots (shared_ptr<const>) that stay valid after the
// provider is replaced or removed.
//
// generation() changes with every change of the installed set (install, uninstall, reset),
// before the change's lock is released: whatever a caller derived from queries made after
// reading generation g describes the catalog as of g or later, so it may be kept for as long
// as generation() still answers g.
//
// Event keys by decoding source (what identifies an event in EVENT_HEADER):
//  - manifest and TraceLogging: provider GUID + descriptor Id + Version;
//  - MOF: the class GUID (the provider GUID here) + descriptor Opcode (the MOF event type) +
//    Version, as classic events carry them;
//  - WPP: the trace message GUID (the provider GUID here) + descriptor Id (the message
//    number); the version is not part of a WPP message's identity.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "etw/schema.h"

namespace etw {

enum class CatalogStatus {
  Ok,
  FileNotFound,     // no regular file at the path                   -> ERROR_FILE_NOT_FOUND (2)
  MalformedXml,     // not well-formed XML                            -> ERROR_XML_PARSE_ERROR (1465)
  NotAManifest,     // XML, but not an instrumentationManifest        -> ERROR_XML_PARSE_ERROR (1465)
  InvalidManifest,  // a manifest with a bad value or dangling name   -> ERROR_INVALID_DATA (13)
  InvalidProvider,  // a declared schema without name or GUID         -> ERROR_INVALID_PARAMETER (87)
  NotInstalled,     // uninstall of something that is not installed   -> ERROR_NOT_FOUND (1168)
};

// The Win32 status the TDH surface answers for a catalog status (the numbers listed above).
std::uint32_t win32_status(CatalogStatus status);
const char* to_string(CatalogStatus status);

enum class Scope { Registered, Loaded };

struct InstallResult {
  CatalogStatus status = CatalogStatus::Ok;
  std::string detail;               // why a file was refused, for logs and test messages
  std::vector<Guid> providers;      // the GUIDs of what was installed
  bool ok() const { return status == CatalogStatus::Ok; }
};

// Parses an instrumentation manifest into schemas without installing anything; `providers`
// is left untouched unless the whole manifest is sound. The schemas' manifest_path is the
// origin: for a file, its absolute, normalised path (manifest_origin), which is also what
// install and uninstall compare.
InstallResult parse_manifest_file(const std::filesystem::path& path,
                                  std::vector<ProviderSchema>& providers);
InstallResult parse_manifest_text(std::string_view text, const std::string& origin,
                                  std::vector<ProviderSchema>& providers);
std::string manifest_origin(const std::filesystem::path& path);

struct ProviderSummary {
  std::string name;
  Guid guid;
  DecodingSource source = DecodingSource::XmlFile;
};

// The fields of an event descriptor that can identify an event (see the key rules above).
struct EventKey {
  std::uint16_t id = 0;
  std::uint8_t version = 0;
  std::uint8_t opcode = 0;
};

// An event with what TDH needs to describe it. The pointers point into `provider`, which the
// snapshot keeps alive.
struct EventSchema {
  std::shared_ptr<const ProviderSchema> provider;
  const Event* event = nullptr;
  const Template* event_template = nullptr;  // null when the event has no template
};

struct MapSchema {
  std::shared_ptr<const ProviderSchema> provider;
  const ValueMap* map = nullptr;
};

class Catalog {
 public:
  // Every provider of the file needs a GUID (InvalidManifest otherwise, nothing installed):
  // a provider is found by its GUID, never bound to another one by its name.
  InstallResult install_manifest(const std::filesystem::path& path,
                                 Scope scope = Scope::Registered);
  // Removes what the file installed in that scope (TdhUnloadManifest uses Scope::Loaded).
  CatalogStatus uninstall_manifest(const std::filesystem::path& path,
                                   Scope scope = Scope::Registered);
  // Installs a declared provider (MOF, WPP, TraceLogging, or a manifest provider built in
  // code). It needs a name and a non-zero GUID.
  CatalogStatus install_provider(ProviderSchema schema, Scope scope = Scope::Registered);
  CatalogStatus uninstall_provider(const Guid& guid, Scope scope = Scope::Registered);

  // Registered providers of every decoding source, ordered by name (letter case ignored),
  // then GUID. (Windows lists manifest and MOF providers only; the surface filters if it must.)
  std::vector<ProviderSummary> providers() const;
  // Registered first, then loaded.
  std::shared_ptr<const ProviderSchema> find_provider(const Guid& guid) const;
  std::shared_ptr<const ProviderSchema> find_provider(std::string_view name) const;
  // The provider's keywords (own ones, then the predefined ones its events use); nullopt
  // when the provider is not installed. An empty list is a provider without keywords.
  std::optional<std::vector<Keyword>> keywords(const Guid& provider) const;
  std::optional<EventSchema> find_event(const Guid& provider, const EventKey& key) const;
  std::optional<MapSchema> find_map(const Guid& provider, std::string_view map_name) const;

  // Drops every provider of both scopes: the machine as before any installation.
  void reset();
  // Reset, then install the given manifests (registered) and declared providers: the
  // machine's installed set after a fresh boot. Stops at, and reports, the first refusal;
  // what was installed before it stays.
  InstallResult install_afresh(const std::vector<std::filesystem::path>& manifests,
                               const std::vector<ProviderSchema>& declared);

  std::uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

 private:
  using Snapshot = std::shared_ptr<const ProviderSchema>;
  Snapshot find_locked(const Guid& guid) const;
  // Called with the lock held exclusively, after a change.
  void changed() { generation_.fetch_add(1, std::memory_order_acq_rel); }

  mutable std::shared_mutex mutex_;
  std::map<Guid, Snapshot> registered_;
  std::vector<Snapshot> loaded_;  // in load order; GUIDs may be zero (found by name only)
  std::atomic<std::uint64_t> generation_{0};
};

// The machine's catalog, which the TDH surface, the sim controls and the reset phases share.
Catalog& catalog();

}  // namespace etw
