// The instrumentation-manifest XML of a provider: the document model serialised with
// libxml2, the file beside the working directory that carries it, and the rules that keep
// provider names (text from the network) from naming files elsewhere.
//
// Thread safety: every function may be called from any thread. Writing a manifest file and
// reading it back (or handing it to TDH) happen under a lock of that path, so two requests
// for the same provider never see each other's half-written file.
#pragma once

#include <mutex>
#include <string>

#include "etw_schema_collector.h"
#include "manifest_document.h"

// The document as formatted UTF-8 text, with its XML declaration.
std::string SerializeManifestDocument(const ManifestDocument& document);

// Writes the document to "<working directory>\<providerName>.xml", reads the file back into
// `manifest` and returns true; false when the working directory is unknown or on a failure.
// A name that could reach outside the working directory writes nothing and yields an empty
// text, as a name whose file cannot be saved does.
bool PopulateXmlFileWithManifestData(const std::string& providerName, const ManifestDocument& document,
                                     std::string& manifest);

// Has the collector model the provider, then serialises it through the file as above.
bool BuildProviderManifest(IEtwSchemaCollector* collector, const std::string& providerName, std::string& manifest);

// True when `name` (UTF-8) can be a file name inside a folder, as Util::IsPlainFileName
// decides: no path separator, colon or control character, no trailing dot or blank, and no
// device name ("COM1.xml" opens a serial port). `allowSlash` accepts "/" for names that have
// their slashes replaced before use.
bool IsContainedFileName(const std::string& name, bool allowSlash);

// The lock under which one path's file is written and then read.
std::mutex& ManifestPathLock(const std::string& path);

// Whole-file helpers over the platform's file API; false when the file cannot be opened or
// written.
bool WriteWholeFile(const std::string& path, const std::string& content);
bool ReadWholeFile(const std::string& path, std::string& content);
