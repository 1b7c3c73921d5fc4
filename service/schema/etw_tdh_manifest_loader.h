// Keeps providers' manifest files in "ManifestFiles\" under the temporary directory and
// registers them with TDH, so that the target-side decoder knows their schemas.
//
// Lifecycle: made by the first getInstance(collector) (the service object's constructor,
// before any request is served), which also creates the manifest directory when it is
// missing; destroyed by deleteInstance() from the service object's destructor. The loader
// borrows the collector; the collector outlives no loader that uses it.
#pragma once

#include <string>

#include "windows.h"

class CEtwSchemaCollector;

class CEtwTdhManifestLoader {
 public:
  // The process-wide loader, created on the first call with `collector`; later calls
  // return it and ignore their argument. Null when creation failed (logged).
  static CEtwTdhManifestLoader* getInstance(CEtwSchemaCollector* collector);
  // Destroys the loader and clears the process-wide pointer; nothing when there is none.
  static void deleteInstance();

  // The manifest directory with its trailing separator; empty when the platform could not
  // name the temporary directory.
  const std::string& ManifestDirectory() const { return m_directory; }

  // Persists the provider's manifest and registers it with TDH; failures are only logged.
  // Not in this build yet: it does nothing.
  void LoadTdhManifest(const std::string& providerName);

  CEtwTdhManifestLoader(const CEtwTdhManifestLoader&) = delete;
  CEtwTdhManifestLoader& operator=(const CEtwTdhManifestLoader&) = delete;

 private:
  explicit CEtwTdhManifestLoader(CEtwSchemaCollector* collector);
  ~CEtwTdhManifestLoader();

  std::string m_directory;
  CEtwSchemaCollector* m_schemaCollector;
};
