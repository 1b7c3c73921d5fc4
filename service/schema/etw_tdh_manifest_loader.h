// Keeps providers' manifest files in "ManifestFiles\" under the temporary directory and
// registers them with TDH, so that the target-side decoder knows their schemas.
//
// A provider's file holds the instrumentation manifest the service generates for it (the
// document the manifest request returns, with the provider's GUID filled in: TDH knows a
// provider by its GUID alone), which TdhLoadManifest accepts. Its name is the provider name
// with every "/" replaced by "_"; a name that would still name another folder (a backslash,
// a drive colon, "..") gets no file, and so does a provider that is not registered (the zero
// GUID): there is nothing to describe.
//
// Lifecycle: made by the first getInstance(collector) (the service object's constructor,
// before any request is served), which also creates the manifest directory when it is
// missing; destroyed by deleteInstance() from the service object's destructor. The loader
// borrows the collector; the collector outlives no loader that uses it.
//
// Thread safety: requests may persist and load at once. Writing one path's file and handing
// it to TDH take that path's lock, so TDH never reads a file that another request is still
// writing.
#pragma once

#include <string>

#include "util.h"
#include "windows.h"

class CEtwSchemaCollector;

class CEtwTdhManifestLoader {
 public:
  // The process-wide loader, created on the first call with `collector`; later calls
  // return it and ignore their argument. Null when creation failed (logged).
  static CEtwTdhManifestLoader* getInstance(CEtwSchemaCollector* collector);
  // Destroys the loader and clears the process-wide pointer; nothing when there is none.
  static void deleteInstance();

  // Persists the provider's manifest and registers it with TDH; failures are only logged.
  void LoadTdhManifest(const std::string& providerName);
  // Writes the manifest file; its path, or empty when nothing could be written.
  std::string PersistProviderManifests(const std::string& providerName);
  std::string GetManifestPath(const std::string& providerName);
  // The manifest text of the provider's file.
  std::string GetProviderManifest(const std::string& providerName);
  void LoadTdhManifestByManifestPath(const WString& path);

  // The manifest directory with its trailing separator; empty when the platform could not
  // name the temporary directory.
  const std::string& ManifestDirectory() const { return m_directory; }

  CEtwTdhManifestLoader(const CEtwTdhManifestLoader&) = delete;
  CEtwTdhManifestLoader& operator=(const CEtwTdhManifestLoader&) = delete;

 private:
  explicit CEtwTdhManifestLoader(CEtwSchemaCollector* collector);
  ~CEtwTdhManifestLoader();

  std::string m_directory;
  CEtwSchemaCollector* m_schemaCollector;
};
