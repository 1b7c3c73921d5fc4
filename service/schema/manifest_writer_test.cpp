#include "manifest_writer.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "etw_tdh_manifest_loader.h"
#include "platform/core/text.h"
#include "tdh.h"
#include "testing/schema_test_support.h"

namespace {

using schema_testing::SchemaTest;

struct DocFree {
  void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

std::string Name(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }

std::vector<const xmlNode*> Elements(const xmlNode* parent) {
  std::vector<const xmlNode*> children;
  for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) children.push_back(child);
  }
  return children;
}

std::vector<std::string> ElementNames(const xmlNode* parent) {
  std::vector<std::string> names;
  for (const xmlNode* child : Elements(parent)) names.push_back(Name(child));
  return names;
}

std::vector<std::pair<std::string, std::string>> Attributes(const xmlNode* node) {
  std::vector<std::pair<std::string, std::string>> attributes;
  for (const xmlAttr* attribute = node->properties; attribute != nullptr; attribute = attribute->next) {
    xmlChar* value = xmlNodeGetContent(attribute->children);
    attributes.emplace_back(reinterpret_cast<const char*>(attribute->name),
                            value ? reinterpret_cast<const char*>(value) : "");
    xmlFree(value);
  }
  return attributes;
}

// Checks one generated manifest element by element; the keywords as (mask, name) pairs,
// an element without attributes as ("", "").
std::vector<std::pair<std::string, std::string>> CheckManifest(const std::string& text, const std::string& name,
                                                                const std::string& guid = "") {
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n", 0), 0u) << text;
  EXPECT_NE(text.find("\n  <localization>"), std::string::npos) << "indented";
  Doc doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), "manifest.xml", nullptr, XML_PARSE_NONET));
  std::vector<std::pair<std::string, std::string>> keywords;
  if (!doc) {
    ADD_FAILURE() << "not well-formed: " << text;
    return keywords;
  }
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  EXPECT_EQ(Name(root), "instrumentationManifest");
  std::vector<std::pair<std::string, std::string>> namespaces;
  for (const xmlNs* ns = root->nsDef; ns != nullptr; ns = ns->next) {
    namespaces.emplace_back(ns->prefix ? reinterpret_cast<const char*>(ns->prefix) : "",
                            reinterpret_cast<const char*>(ns->href));
  }
  EXPECT_EQ(namespaces, (std::vector<std::pair<std::string, std::string>>{
                            {"xsi", "http://www.w3.org/2001/XMLSchema-instance"},
                            {"xs", "http://www.w3.org/2001/XMLSchema"},
                            {"win", "http://manifests.microsoft.com/win/2004/08/windows/events"},
                            {"", "http://schemas.microsoft.com/win/2004/08/events"}}));
  EXPECT_EQ(ElementNames(root), (std::vector<std::string>{"localization", "instrumentation"}));
  const xmlNode* resources = Elements(Elements(root)[0])[0];
  EXPECT_EQ(Name(resources), "resources");
  EXPECT_EQ(Attributes(resources), (std::vector<std::pair<std::string, std::string>>{{"culture", "en-US"}}));
  EXPECT_EQ(ElementNames(resources), std::vector<std::string>{"stringTable"});
  EXPECT_TRUE(Elements(Elements(resources)[0]).empty());

  const xmlNode* events = Elements(Elements(root)[1])[0];
  EXPECT_EQ(ElementNames(events), std::vector<std::string>{"provider"});
  const xmlNode* provider = Elements(events)[0];
  EXPECT_EQ(Attributes(provider), (std::vector<std::pair<std::string, std::string>>{{"symbol", ""},
                                                                                    {"helpLink", ""},
                                                                                    {"parameterFileName", ""},
                                                                                    {"messageFileName", ""},
                                                                                    {"resourceFileName", ""},
                                                                                    {"guid", guid},
                                                                                    {"name", name}}));
  // No templates section; every other section present, only keywords with content.
  EXPECT_EQ(ElementNames(provider),
            (std::vector<std::string>{"events", "opcodes", "keywords", "tasks", "levels", "channels"}));
  for (const xmlNode* section : Elements(provider)) {
    if (Name(section) == "keywords") continue;
    EXPECT_TRUE(Elements(section).empty()) << Name(section);
  }
  for (const xmlNode* keyword : Elements(Elements(provider)[2])) {
    const auto attributes = Attributes(keyword);
    if (attributes.empty()) {
      keywords.emplace_back("", "");
      continue;
    }
    EXPECT_EQ(attributes.size(), 2u);
    EXPECT_EQ(attributes[0].first, "mask");
    EXPECT_EQ(attributes[1].first, "name");
    EXPECT_LT(attributes[0].second.size(), 17u);
    keywords.emplace_back(attributes[0].second, attributes[1].second);
  }
  return keywords;
}

class ManifestTest : public SchemaTest {
 protected:
  void SetUp() override {
    SchemaTest::SetUp();
    m_collector = CEtwSchemaCollector::getInstance();
  }
  void TearDown() override {
    CEtwTdhManifestLoader::deleteInstance();
    CEtwSchemaCollector::deleteInstance();
    SchemaTest::TearDown();
  }

  std::string Manifest(const std::string& name) {
    std::string text;
    EXPECT_TRUE(BuildProviderManifest(m_collector, name, text));
    return text;
  }

  // Every file under the machine's root, as relative paths.
  std::vector<std::string> Files() const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
      if (entry.is_regular_file()) files.push_back(std::filesystem::relative(entry.path(), root_).string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  CEtwSchemaCollector* m_collector = nullptr;
};

using Keywords = std::vector<std::pair<std::string, std::string>>;

TEST_F(ManifestTest, EachDemoProviderGivesAWellFormedManifestSavedBesideTheWorkingDirectory) {
  const std::string events = Manifest("Conduit-Demo-Events");
  EXPECT_EQ(CheckManifest(events, "Conduit-Demo-Events"),
            (Keywords{{"0x1", "Session"}, {"0x2", "Network"}, {"0x4", "Storage"}, {"0x800000000000", "Diagnostic"}}));
  std::string onDisk;
  ASSERT_TRUE(ReadWholeFile((root_ / "Conduit-Demo-Events.xml").string(), onDisk));
  EXPECT_EQ(onDisk, events);

  // Only predefined-range keywords: all stay; the one whose mask takes 17 characters is
  // written without attributes.
  const Keywords audit = CheckManifest(Manifest("Conduit-Demo-Audit"), "Conduit-Demo-Audit");
  EXPECT_NE(std::find(audit.begin(), audit.end(), std::make_pair(std::string(), std::string())), audit.end());
  EXPECT_GT(audit.size(), 1u);

  EXPECT_TRUE(CheckManifest(Manifest("Conduit-Demo-Mof"), "Conduit-Demo-Mof").empty());
  EXPECT_TRUE(CheckManifest(Manifest("Not-Registered"), "Not-Registered").empty());
}

TEST_F(ManifestTest, NamesThatLeaveTheWorkingDirectoryGetNoFileAndAnEmptyText) {
  const auto before = Files();
  for (const std::string name : {"Conduit-Demo/Storage", "..\\escape", "../escape", "C:escape", "..", "a\\b"}) {
    std::string text = "stale";
    EXPECT_TRUE(BuildProviderManifest(m_collector, name, text)) << name;
    EXPECT_TRUE(text.empty()) << name;
  }
  EXPECT_EQ(Files(), before);
  EXPECT_FALSE(std::filesystem::exists(root_.parent_path() / "escape.xml"));
}

TEST_F(ManifestTest, DeviceNamesGetNoFileAndAnEmptyText) {
  const auto before = Files();
  // On Windows each of these opens a device ("COM1.xml" is the serial port), not a file.
  for (const std::string name : {"COM1", "nul", "Lpt9", "con.txt", "AUX", "prn.tar.gz"}) {
    std::string text = "stale";
    EXPECT_TRUE(BuildProviderManifest(m_collector, name, text)) << name;
    EXPECT_TRUE(text.empty()) << name;
    EXPECT_TRUE(log_->Contains("WARNING # Conduit::PopulateXmlFileWithManifestData # " + name +
                               " is not a file name, no manifest file"));
  }
  EXPECT_EQ(Files(), before);
  // Names that only start like a device are files.
  EXPECT_FALSE(Manifest("COM10").empty());
  EXPECT_TRUE(std::filesystem::exists(root_ / "COM10.xml"));
}

TEST_F(ManifestTest, WithoutAWorkingDirectoryNothingIsWritten) {
  sim::fail_next("GetCurrentDirectoryW", 1, ERROR_ACCESS_DENIED);
  std::string text;
  EXPECT_FALSE(BuildProviderManifest(m_collector, "Conduit-Demo-Events", text));
  EXPECT_TRUE(text.empty());
  EXPECT_TRUE(log_->Contains("ERROR # Conduit::PopulateXmlFileWithManifestData # Unable to get the working directory "
                             "to save the XML manifest file"));
  EXPECT_FALSE(std::filesystem::exists(root_ / "Conduit-Demo-Events.xml"));
}

TEST_F(ManifestTest, ConcurrentRequestsEachReadACompleteDocument) {
  const std::string events = Manifest("Conduit-Demo-Events");
  const std::string audit = Manifest("Conduit-Demo-Audit");
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      const bool same = t % 3 != 2;  // four threads share one provider, two take the other
      for (int i = 0; i < 25; ++i) {
        std::string text;
        BuildProviderManifest(m_collector, same ? "Conduit-Demo-Events" : "Conduit-Demo-Audit", text);
        if (text != (same ? events : audit)) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

class LoaderTest : public ManifestTest {
 protected:
  CEtwTdhManifestLoader* Loader() { return CEtwTdhManifestLoader::getInstance(m_collector); }
  std::filesystem::path ManifestFolder() const { return root_ / "Temp" / "ManifestFiles"; }
};

TEST_F(LoaderTest, CreatesItsFolderOnceAndStoresTheGeneratedManifestUnderAnUnderscoredName) {
  const std::string created = "created successfully";
  CEtwTdhManifestLoader* loader = Loader();
  EXPECT_EQ(log_->Count(created), 1u);
  CEtwTdhManifestLoader::deleteInstance();
  loader = Loader();
  EXPECT_EQ(log_->Count(created), 1u);

  loader->LoadTdhManifest("Conduit-Demo/Storage");
  const auto file = ManifestFolder() / "Conduit-Demo_Storage.man";
  ASSERT_TRUE(std::filesystem::exists(file)) << log_->Read();
  std::string text;
  ASSERT_TRUE(ReadWholeFile(file.string(), text));
  // The file names the provider's GUID, which TDH needs (the request's document leaves it empty).
  const std::string guid = m_collector->GetProviderGuid("Conduit-Demo/Storage");
  ASSERT_EQ(guid.size(), 38u);
  const Keywords keywords = CheckManifest(text, "Conduit-Demo/Storage", guid);
  EXPECT_NE(std::find(keywords.begin(), keywords.end(), std::make_pair(std::string("0x10"), std::string("Cache"))),
            keywords.end());
  EXPECT_FALSE(log_->Contains("Load Tdh Manifest Failed"));
  // Persisting again replaces the file.
  std::filesystem::resize_file(file, 3);
  loader->LoadTdhManifest("Conduit-Demo/Storage");
  ASSERT_TRUE(ReadWholeFile(file.string(), text));
  EXPECT_EQ(CheckManifest(text, "Conduit-Demo/Storage", guid), keywords);
  EXPECT_FALSE(log_->Contains("Load Tdh Manifest Failed"));
}

TEST_F(LoaderTest, AGeneratedManifestLoadedOnAnotherMachineHasTheSameKeywords) {
  Loader()->LoadTdhManifest("Conduit-Demo-Events");
  const std::string guid = m_collector->GetProviderGuid("Conduit-Demo-Events");
  const auto file = ManifestFolder() / "Conduit-Demo-Events.man";
  const auto copy = std::filesystem::temp_directory_path() / ("conduit-roundtrip-" + std::to_string(::getpid()) + ".man");
  std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);

  sim::reset();  // a machine without the provider
  std::u16string path = platform::utf8_to_utf16(copy.string());
  EXPECT_EQ(TdhLoadManifest(path.data()), 0u);
  std::filesystem::remove(copy);
  // TDH knows the loaded provider by the GUID the file carries.
  const auto loaded = etw::catalog().find_provider(*etw::parse_guid_text(guid));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->name, "Conduit-Demo-Events");
  std::vector<std::pair<std::string, std::uint64_t>> keywords;
  for (const auto& keyword : loaded->keywords) keywords.emplace_back(keyword.name, keyword.mask);
  EXPECT_EQ(keywords, (std::vector<std::pair<std::string, std::uint64_t>>{
                          {"Session", 0x1}, {"Network", 0x2}, {"Storage", 0x4}, {"Diagnostic", 0x800000000000}}));
}

TEST_F(LoaderTest, EmptyAndEscapingNamesWriteNothing) {
  CEtwTdhManifestLoader* loader = Loader();
  loader->LoadTdhManifest("");
  EXPECT_TRUE(log_->Contains("INFO # CEtwTdhManifestLoader::PersistProviderManifests # No Return"));
  for (const std::string name : {"..\\..\\escape", "C:escape", "..", "a\\b"}) {
    EXPECT_EQ(loader->PersistProviderManifests(name), "") << name;
  }
  // A provider that is not registered resolves to the zero GUID: nothing to describe.
  loader->LoadTdhManifest("Not-Registered-Anywhere");
  EXPECT_FALSE(log_->Contains("Load Tdh Manifest Failed"));
  EXPECT_TRUE(std::filesystem::is_empty(ManifestFolder()));
  // "/" is replaced, so a dotted path stays a file name in the folder.
  EXPECT_EQ(loader->GetManifestPath("../x"), loader->ManifestDirectory() + ".._x.man");
}

TEST_F(LoaderTest, RefusedFilesAreLoggedWithTheStatus) {
  CEtwTdhManifestLoader* loader = Loader();
  const std::string path = loader->ManifestDirectory() + "bad.man";
  ASSERT_TRUE(::WriteWholeFile(path, "<notAManifest/>"));
  loader->LoadTdhManifestByManifestPath(Util::to_wstring(path));
  EXPECT_TRUE(log_->Contains("Load Tdh Manifest Failed : " + path + " ErrorCode:1465"));
}

TEST_F(LoaderTest, ConcurrentStoresOfOneProviderNeverLoadAHalfWrittenFile) {
  CEtwTdhManifestLoader* loader = Loader();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([loader, t] {
      for (int i = 0; i < 20; ++i) loader->LoadTdhManifest(t == 3 ? "Conduit-Demo-Audit" : "Conduit-Demo-Events");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(log_->Contains("Load Tdh Manifest Failed")) << log_->Read();
}

TEST_F(LoaderTest, AFileBeingWrittenIsNeitherRewrittenNorLoadedUntilItIsComplete) {
  CEtwTdhManifestLoader* loader = Loader();
  const std::string path = loader->GetManifestPath("Conduit-Demo-Events");
  std::string whole;
  {
    // Another writer of the same path: half a manifest on disk while it holds the path.
    std::unique_lock<std::mutex> writing(ManifestPathLock(path));
    whole = loader->GetProviderManifest("Conduit-Demo-Events");
    ASSERT_TRUE(::WriteWholeFile(path, whole.substr(0, whole.size() / 2)));
    std::thread load([&] { loader->LoadTdhManifestByManifestPath(Util::to_wstring(path)); });
    std::thread store([&] { loader->LoadTdhManifest("Conduit-Demo-Events"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string content;
    ASSERT_TRUE(ReadWholeFile(path, content));
    EXPECT_EQ(content.size(), whole.size() / 2);  // the store waits too
    ASSERT_TRUE(::WriteWholeFile(path, whole));
    writing.unlock();
    load.join();
    store.join();
  }
  EXPECT_FALSE(log_->Contains("Load Tdh Manifest Failed")) << log_->Read();
  std::string content;
  ASSERT_TRUE(ReadWholeFile(path, content));
  EXPECT_EQ(content, whole);
}

}  // namespace
