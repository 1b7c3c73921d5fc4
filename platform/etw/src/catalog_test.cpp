#include "etw/catalog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "demo/declared_providers.h"

namespace etw {
namespace {

namespace fs = std::filesystem;

const Guid kGuidA = *parse_guid_text("{11111111-2222-3333-4444-555555555555}");
const Guid kGuidB = *parse_guid_text("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");

std::string manifest(const std::string& providers, const std::string& strings = "") {
  return R"xml(<?xml version="1.0" encoding="UTF-8"?>
<instrumentationManifest xmlns="http://schemas.microsoft.com/win/2004/08/events"
    xmlns:win="http://manifests.microsoft.com/win/2004/08/windows/events"
    xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <instrumentation><events>)xml" +
         providers + R"xml(</events></instrumentation>
  <localization><resources culture="en-US"><stringTable>)xml" +
         strings + R"xml(</stringTable></resources></localization>
</instrumentationManifest>)xml";
}

std::string provider(const std::string& name, const Guid& guid, const std::string& body) {
  return "<provider name=\"" + name + "\" guid=\"" + guid_text(guid) + "\" symbol=\"P\">" + body + "</provider>";
}

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("catalog_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& text) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return path;
  }

  std::vector<std::string> names() const {
    std::vector<std::string> list;
    for (const auto& summary : catalog_.providers()) list.push_back(summary.name);
    return list;
  }

  fs::path dir_;
  Catalog catalog_;
};

const char* kEveryKind = R"xml(
  <channels>
    <importChannel chid="SYS" name="System"/>
    <channel chid="op" name="Demo/Operational" type="Operational" message="$(string.ch)"/>
    <channel chid="dbg" name="Demo/Debug" type="Debug" value="20"/>
  </channels>
  <levels><level name="Trace" value="16" message="$(string.lvl)"/></levels>
  <tasks>
    <task name="Copy" value="7" eventGUID="{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}" message="Copying">
      <opcodes><opcode name="Chunk" value="12" message="Chunk done"/></opcodes>
    </task>
  </tasks>
  <opcodes><opcode name="Chunk" value="13"/><opcode name="Retry" value="14"/></opcodes>
  <keywords>
    <keyword name="Read" mask="0x1" message="Reads"/>
    <keyword name="Deep" mask="0x800000000000"/>
  </keywords>
  <maps>
    <valueMap name="StateMap"><map value="0" message="Idle"/><map value="2" message="$(string.busy)"/></valueMap>
    <bitMap name="FlagMap"><map value="0x1" message="A"/><map value="0x4" message="C"/></bitMap>
  </maps>
  <templates>
    <template tid="t1">
      <data name="Name" inType="win:UnicodeString"/>
      <data name="Count" inType="win:UInt16"/>
      <data name="Values" inType="win:UInt32" outType="win:HexInt32" count="Count"/>
      <data name="Fixed" inType="win:UInt8" count="4"/>
      <data name="Blob" inType="win:Binary" length="16"/>
      <data name="State" inType="win:UInt32" map="StateMap"/>
      <struct name="Pair" count="2">
        <data name="Key" inType="win:GUID"/>
        <data name="On" inType="win:Boolean"/>
      </struct>
    </template>
  </templates>
  <events>
    <event value="5" version="2" level="Trace" task="Copy" opcode="Chunk" keywords="Read Deep win:ResponseTime"
           channel="op" template="t1" symbol="CopyChunk" message="$(string.msg)"/>
    <event value="6" level="win:Informational" opcode="Chunk" channel="SYS" message="plain"/>
    <event value="7" level="win:Warning" opcode="win:Start" channel="dbg"/>
  </events>)xml";

const char* kEveryKindStrings = R"xml(
  <string id="ch" value="Operational channel"/><string id="lvl" value="Tracing"/>
  <string id="busy" value="Busy"/><string id="msg" value="Copied %1 (%2 values)"/>)xml";

TEST_F(CatalogTest, ReadsEveryElementKind) {
  const auto path = write("every.man", manifest(provider("Demo", kGuidA, kEveryKind), kEveryKindStrings));
  ASSERT_TRUE(catalog_.install_manifest(path).ok());
  auto schema = catalog_.find_provider(kGuidA);
  ASSERT_TRUE(schema);
  EXPECT_EQ(schema->source, DecodingSource::XmlFile);
  EXPECT_EQ(schema->manifest_path, manifest_origin(path));

  ASSERT_EQ(schema->channels.size(), 3u);
  EXPECT_EQ(schema->channels[0].value, 8);  // the system's System channel
  EXPECT_TRUE(schema->channels[0].is_imported);
  EXPECT_EQ(schema->channels[1].value, 16);
  EXPECT_EQ(schema->channels[1].message, "Operational channel");
  EXPECT_EQ(schema->channels[2].value, 20);
  EXPECT_EQ(schema->channels[2].type, ChannelType::Debug);

  const Task* task = schema->find_task(7);
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(task->event_guid, kGuidB);
  ASSERT_EQ(task->opcodes.size(), 1u);

  const auto& events = schema->events;
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].id, 5);
  EXPECT_EQ(events[0].version, 2);
  EXPECT_EQ(events[0].level, 16);
  EXPECT_EQ(events[0].task, 7);
  EXPECT_EQ(events[0].opcode, 12);  // the task's own opcode wins over the provider's
  EXPECT_EQ(events[0].keywords, 0x1ull | 0x800000000000ull | 0x0001000000000000ull);
  EXPECT_EQ(events[0].channel, 16);
  EXPECT_EQ(events[0].message, "Copied %1 (%2 values)");
  EXPECT_EQ(events[1].opcode, 13);  // no task: the provider's opcode
  EXPECT_EQ(events[1].level, 4);
  EXPECT_EQ(events[1].channel, 8);
  EXPECT_EQ(events[2].opcode, 1);
  EXPECT_EQ(events[2].channel, 20);
  EXPECT_EQ(schema->find_opcode(0, 1)->name, "win:Start");
  EXPECT_EQ(schema->find_level(3)->message, "Warning");

  const Template* fields = schema->find_template("t1");
  ASSERT_NE(fields, nullptr);
  ASSERT_EQ(fields->fields.size(), 7u);
  const auto& f = fields->fields;
  EXPECT_EQ(f[0].in_type, intype::UnicodeString);
  EXPECT_EQ(f[0].out_type, outtype::String);
  EXPECT_TRUE(f[2].is_array);
  EXPECT_EQ(f[2].count_field, "Count");
  EXPECT_EQ(f[2].out_type, outtype::HexInt32);
  EXPECT_EQ(f[3].count, 4);
  EXPECT_TRUE(f[3].count_field.empty());
  EXPECT_EQ(f[4].length, 16);
  EXPECT_EQ(f[4].out_type, outtype::HexBinary);
  EXPECT_EQ(f[5].map, "StateMap");
  ASSERT_TRUE(f[6].is_struct());
  EXPECT_EQ(f[6].count, 2);
  EXPECT_EQ(f[6].members[0].in_type, intype::Guid);
  EXPECT_EQ(f[6].members[0].out_type, outtype::Guid);
  EXPECT_EQ(f[6].members[1].in_type, intype::Boolean);

  auto bitmap = catalog_.find_map(kGuidA, "FlagMap");
  ASSERT_TRUE(bitmap);
  EXPECT_TRUE(bitmap->map->is_bitmap);
  ASSERT_EQ(bitmap->map->entries.size(), 2u);
  EXPECT_EQ(bitmap->map->entries[1].value, 4u);
  auto value_map = catalog_.find_map(kGuidA, "StateMap");
  ASSERT_TRUE(value_map);
  EXPECT_EQ(value_map->map->entries[1].message, "Busy");
  EXPECT_FALSE(catalog_.find_map(kGuidA, "statemap"));
  EXPECT_FALSE(catalog_.find_map(kGuidB, "StateMap"));
}

TEST_F(CatalogTest, KeywordsListOwnOnesThenThePredefinedOnesEventsUse) {
  const auto path = write("every.man", manifest(provider("Demo", kGuidA, kEveryKind) +
                                                    provider("Bare", kGuidB, "<events/>"),
                                                kEveryKindStrings));
  ASSERT_TRUE(catalog_.install_manifest(path).ok());
  auto keywords = catalog_.keywords(kGuidA);
  ASSERT_TRUE(keywords);
  ASSERT_EQ(keywords->size(), 3u);
  EXPECT_EQ((*keywords)[0].name, "Read");
  EXPECT_EQ((*keywords)[0].message, "Reads");
  EXPECT_EQ((*keywords)[1].mask, 0x800000000000ull);
  EXPECT_EQ((*keywords)[2].name, "win:ResponseTime");
  EXPECT_EQ((*keywords)[2].mask, 0x0001000000000000ull);
  EXPECT_TRUE((*keywords)[2].is_predefined);
  ASSERT_TRUE(catalog_.keywords(kGuidB));
  EXPECT_TRUE(catalog_.keywords(kGuidB)->empty());
  EXPECT_FALSE(catalog_.keywords(*parse_guid_text("{00000000-0000-0000-0000-000000000001}")));
}

TEST_F(CatalogTest, PrefersTheEnUsStringTableAndRefusesAnUndefinedString) {
  std::string text = manifest(provider("Demo", kGuidA, "<events><event value=\"1\" message=\"$(string.m)\"/></events>"),
                              "<string id=\"m\" value=\"English\"/>");
  const std::string german = "<resources culture=\"de-DE\"><stringTable><string id=\"m\" value=\"Deutsch\"/>"
                             "</stringTable></resources>";
  text.insert(text.find("<resources"), german);
  ASSERT_TRUE(catalog_.install_manifest(write("strings.man", text)).ok());
  EXPECT_EQ(catalog_.find_provider(kGuidA)->events[0].message, "English");

  auto refused = catalog_.install_manifest(write("undefined.man", manifest(provider(
      "Other", kGuidB, "<events><event value=\"1\" message=\"$(string.nope)\"/></events>"))));
  EXPECT_EQ(refused.status, CatalogStatus::InvalidManifest);
  EXPECT_NE(refused.detail.find("nope"), std::string::npos);
}

TEST_F(CatalogTest, RefusesBadFilesAndNeverInstallsHalfAManifest) {
  ASSERT_TRUE(catalog_.install_manifest(write("good.man", manifest(provider("Good", kGuidA, "")))).ok());

  auto missing = catalog_.install_manifest(dir_ / "missing.man");
  EXPECT_EQ(missing.status, CatalogStatus::FileNotFound);
  EXPECT_EQ(win32_status(missing.status), 2u);
  EXPECT_EQ(catalog_.install_manifest(dir_).status, CatalogStatus::FileNotFound);

  auto malformed = catalog_.install_manifest(write("bad.man", "<instrumentationManifest><unclosed>"));
  EXPECT_EQ(malformed.status, CatalogStatus::MalformedXml);
  EXPECT_EQ(win32_status(malformed.status), 1465u);
  EXPECT_NE(malformed.detail.find("line"), std::string::npos);

  auto foreign = catalog_.install_manifest(write("other.xml", "<?xml version=\"1.0\"?><config><a/></config>"));
  EXPECT_EQ(foreign.status, CatalogStatus::NotAManifest);
  auto no_namespace = catalog_.install_manifest(write("nons.xml", "<instrumentationManifest/>"));
  EXPECT_EQ(no_namespace.status, CatalogStatus::NotAManifest);
  EXPECT_EQ(catalog_.install_manifest(write("empty.man", manifest(""))).status, CatalogStatus::InvalidManifest);

  // The first provider is sound, the second refers to a level nobody declared: neither goes in.
  const auto half = write("half.man", manifest(provider("Sound", kGuidB, "") +
                                               provider("Broken", *parse_guid_text("{CCCCCCCC-0000-0000-0000-000000000000}"),
                                                        "<events><event value=\"1\" level=\"Nope\"/></events>")));
  auto refused = catalog_.install_manifest(half);
  EXPECT_EQ(refused.status, CatalogStatus::InvalidManifest);
  EXPECT_EQ(win32_status(refused.status), 13u);
  EXPECT_NE(refused.detail.find("Nope"), std::string::npos);
  EXPECT_EQ(names(), std::vector<std::string>{"Good"});
}

TEST_F(CatalogTest, RefusesManifestsThatDoNotHoldTogether) {
  const char* bad_bodies[] = {
      R"xml(<templates><template tid="t"><data name="V" inType="win:UInt32" count="Later"/>
         <data name="Later" inType="win:UInt16"/></template></templates>)xml",
      R"xml(<templates><template tid="t"><data name="V" inType="win:UInt33"/></template></templates>)xml",
      R"xml(<templates><template tid="t"><data name="V" inType="win:UInt32" map="NoMap"/></template></templates>)xml",
      R"xml(<events><event value="1" template="missing"/></events>)xml",
      R"xml(<events><event value="70000"/></events>)xml",
      R"xml(<keywords><keyword name="K" mask="0xZZ"/></keywords>)xml",
      R"xml(<events><event value="1" version="1"/><event value="1" version="1"/></events>)xml",
      R"xml(<templates><template tid="t"/><template tid="t"/></templates>)xml",
  };
  int index = 0;
  for (const char* body : bad_bodies) {
    auto result = catalog_.install_manifest(write("bad" + std::to_string(index++) + ".man", manifest(provider("P", kGuidA, body))));
    EXPECT_EQ(result.status, CatalogStatus::InvalidManifest) << body;
  }
  EXPECT_TRUE(catalog_.providers().empty());
}

TEST_F(CatalogTest, ReinstallReplacesAndUninstallRemovesByPath) {
  const auto path = write("p.man", manifest(provider("First", kGuidA, "")));
  ASSERT_TRUE(catalog_.install_manifest(path).ok());
  auto old_snapshot = catalog_.find_provider(kGuidA);

  write("p.man", manifest(provider("Second", kGuidB, "")));
  ASSERT_TRUE(catalog_.install_manifest(path).ok());
  EXPECT_EQ(names(), std::vector<std::string>{"Second"});
  EXPECT_EQ(old_snapshot->name, "First");  // snapshots outlive replacement

  // Another file with the same GUID replaces the provider.
  ASSERT_TRUE(catalog_.install_manifest(write("q.man", manifest(provider("Second v2", kGuidB, "")))).ok());
  EXPECT_EQ(names(), std::vector<std::string>{"Second v2"});
  EXPECT_EQ(catalog_.uninstall_manifest(path), CatalogStatus::NotInstalled);
  EXPECT_EQ(catalog_.uninstall_manifest(dir_ / "." / "q.man"), CatalogStatus::Ok);
  EXPECT_TRUE(catalog_.providers().empty());
}

TEST_F(CatalogTest, NamesMatchWithoutRegardToLetterCase) {
  ASSERT_TRUE(catalog_.install_manifest(write("p.man", manifest(provider("Conduit-Demo/Storage", kGuidA, "")))).ok());
  auto found = catalog_.find_provider("CONDUIT-demo/storage");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->guid, kGuidA);
  EXPECT_FALSE(catalog_.find_provider("Conduit-Demo/Storag"));
  EXPECT_FALSE(catalog_.find_provider("Conduit-Demo_Storage"));
}

TEST_F(CatalogTest, EventKeysFollowTheDecodingSource) {
  const auto path = write("v.man", manifest(provider("V", kGuidA, R"xml(<events>
      <event value="1" version="0" message="v0"/><event value="1" version="1" message="v1"/></events>)xml")));
  ASSERT_TRUE(catalog_.install_manifest(path).ok());
  EXPECT_EQ(catalog_.find_event(kGuidA, {1, 1, 0})->event->message, "v1");
  EXPECT_EQ(catalog_.find_event(kGuidA, {1, 0, 99})->event->message, "v0");
  EXPECT_FALSE(catalog_.find_event(kGuidA, {1, 2, 0}));
  EXPECT_FALSE(catalog_.find_event(kGuidA, {2, 0, 0}));

  const ProviderSchema mof = conduit_demo::mof_provider();
  ASSERT_EQ(catalog_.install_provider(mof), CatalogStatus::Ok);
  auto stop = catalog_.find_event(mof.guid, {0, 0, 2});
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->event->name, "Stop");
  ASSERT_NE(stop->event_template, nullptr);
  EXPECT_EQ(stop->event_template->fields[1].in_type, intype::Boolean);
  EXPECT_FALSE(catalog_.find_event(mof.guid, {0, 1, 2}));

  const ProviderSchema wpp = conduit_demo::wpp_provider();
  ASSERT_EQ(catalog_.install_provider(wpp), CatalogStatus::Ok);
  EXPECT_EQ(catalog_.find_event(wpp.guid, {11, 7, 0})->event->name, "DemoVerbose");

  ProviderSchema unnamed;
  unnamed.guid = kGuidB;
  EXPECT_EQ(catalog_.install_provider(unnamed), CatalogStatus::InvalidProvider);
}

// The service loads the keywords-only manifest it generates for a provider (no events). A
// provider is found by its GUID alone: without one the file is refused in both scopes, and
// nothing is bound by name; with it, the loaded copy never hides the registered schema.
TEST_F(CatalogTest, LoadedManifestsNeedAGuidAndNeverHideRegisteredSchemas) {
  ASSERT_TRUE(catalog_.install_manifest(write("real.man", manifest(provider("Real", kGuidA, kEveryKind), kEveryKindStrings))).ok());
  const auto generated = [](const std::string& guid) {
    return R"xml(<?xml version="1.0" encoding="utf-8"?>
<instrumentationManifest xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xs="http://www.w3.org/2001/XMLSchema"
  xmlns:win="http://manifests.microsoft.com/win/2004/08/windows/events" xmlns="http://schemas.microsoft.com/win/2004/08/events">
  <localization><resources culture="en-US"><stringTable/></resources></localization>
  <instrumentation><events>
    <provider symbol="" helpLink="" parameterFileName="" messageFileName="" resourceFileName="" guid=")xml" +
           guid + R"xml(" name="REAL">
      <events/><opcodes/>
      <keywords><keyword mask="0x1" name="Read"/><keyword/></keywords>
      <tasks/><levels/><channels><channel type="0" name="X"/></channels>
    </provider>
  </events></instrumentation>
</instrumentationManifest>)xml";
  };
  const auto unbound = write("Unbound.man", generated(""));
  EXPECT_EQ(catalog_.install_manifest(unbound).status, CatalogStatus::InvalidManifest);
  const auto refused = catalog_.install_manifest(unbound, Scope::Loaded);
  EXPECT_EQ(refused.status, CatalogStatus::InvalidManifest);
  EXPECT_NE(refused.detail.find("the provider \"REAL\" has no GUID"), std::string::npos) << refused.detail;
  EXPECT_TRUE(refused.providers.empty());
  EXPECT_EQ(catalog_.uninstall_manifest(unbound, Scope::Loaded), CatalogStatus::NotInstalled);

  const auto path = write("Real.man", generated("{11111111-2222-3333-4444-555555555555}"));
  auto loaded = catalog_.install_manifest(path, Scope::Loaded);
  ASSERT_TRUE(loaded.ok()) << loaded.detail;
  EXPECT_EQ(loaded.providers, std::vector<Guid>{kGuidA});
  EXPECT_EQ(names(), std::vector<std::string>{"Real"});
  EXPECT_TRUE(catalog_.find_event(kGuidA, {5, 2, 0}));
  EXPECT_EQ(catalog_.keywords(kGuidA)->size(), 3u);

  // Without the registered provider, the loaded copy answers for its GUID.
  ASSERT_EQ(catalog_.uninstall_provider(kGuidA), CatalogStatus::Ok);
  ASSERT_TRUE(catalog_.keywords(kGuidA));
  EXPECT_EQ(catalog_.keywords(kGuidA)->size(), 1u);
  EXPECT_TRUE(catalog_.providers().empty());
  EXPECT_EQ(catalog_.uninstall_manifest(path, Scope::Loaded), CatalogStatus::Ok);
  EXPECT_FALSE(catalog_.find_provider(kGuidA));
}

TEST_F(CatalogTest, ReadersSeeWholeProvidersWhileOthersInstall) {
  const auto path = write("c.man", manifest(provider("C", kGuidA, kEveryKind), kEveryKindStrings));
  ASSERT_TRUE(catalog_.install_manifest(path).ok());
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        if (auto event = catalog_.find_event(kGuidA, {5, 2, 0})) {
          if (event->event_template == nullptr || event->event_template->fields.size() != 7) ++torn;
        }
        for (const auto& summary : catalog_.providers()) {
          if (summary.name != "C") ++torn;
        }
      }
    });
  }
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(catalog_.install_manifest(path).ok());
    if (round % 3 == 0) catalog_.uninstall_manifest(path);
    if (round % 7 == 0) catalog_.reset();
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn, 0);
}

TEST_F(CatalogTest, GuidTextRoundTripsAndRejectsMalformedText) {
  const std::string text = "{3C8EB5F2-4F6C-428B-AED5-59D699BADD57}";
  auto guid = parse_guid_text("3c8eb5f2-4f6c-428b-aed5-59d699badd57");
  ASSERT_TRUE(guid);
  EXPECT_EQ(guid->data1, 0x3C8EB5F2u);
  EXPECT_EQ(guid->data4[0], 0xAE);
  EXPECT_EQ(guid_text(*guid), text);
  EXPECT_FALSE(parse_guid_text("{3C8EB5F2-4F6C-428B-AED5-59D699BADD5}"));
  EXPECT_FALSE(parse_guid_text("{3C8EB5F2+4F6C-428B-AED5-59D699BADD57}"));
  EXPECT_FALSE(parse_guid_text("{3C8EB5F2-4F6C-428B-AED5-59D699BADDZ7}"));
}

TEST_F(CatalogTest, TypeNamesMapToTdhCodes) {
  EXPECT_EQ(intype_from_name("win:UInt32"), intype::UInt32);
  EXPECT_EQ(intype_from_name("win:SYSTEMTIME"), 18);
  EXPECT_EQ(intype_from_name("win:HexInt64"), 21);
  EXPECT_EQ(outtype_from_name("win:HexInt32"), 18);
  EXPECT_EQ(outtype_from_name("xs:dateTime"), 2);
  EXPECT_EQ(outtype_from_name("win:Win32Error"), 30);
  EXPECT_EQ(default_outtype(intype::FileTime), outtype::DateTime);
  EXPECT_EQ(default_outtype(intype::HexInt32), outtype::HexInt32);
  EXPECT_FALSE(intype_from_name("win:uint32"));
  EXPECT_EQ(predefined_keyword("win:AuditSuccess")->mask, 0x0020000000000000ull);
  EXPECT_EQ(predefined_opcode("win:Receive")->value, 240);
}

// The manifests conduit-target ships, and its declared providers, as the machine has them.
TEST_F(CatalogTest, DemoProvidersInstall) {
  const fs::path folder = CONDUIT_DEMO_MANIFEST_DIR;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".man") files.push_back(entry.path());
  }
  ASSERT_EQ(files.size(), 3u);
  auto result = catalog_.install_afresh(files, conduit_demo::declared_providers());
  ASSERT_TRUE(result.ok()) << result.detail;

  EXPECT_EQ(names(), (std::vector<std::string>{"Conduit-Demo-Audit", "Conduit-Demo-Events", "Conduit-Demo-Mof",
                                               "Conduit-Demo-TraceLogging", "Conduit-Demo-Wpp",
                                               "Conduit-Demo/Storage"}));
  auto sources = catalog_.providers();
  EXPECT_EQ(sources[2].source, DecodingSource::Wbem);
  EXPECT_EQ(sources[3].source, DecodingSource::Tlg);
  EXPECT_EQ(sources[4].source, DecodingSource::Wpp);

  auto events = catalog_.find_provider("Conduit-Demo-Events");
  ASSERT_TRUE(events);
  std::vector<std::uint64_t> masks;
  const auto event_keywords = catalog_.keywords(events->guid);
  ASSERT_TRUE(event_keywords);
  for (const auto& keyword : *event_keywords) masks.push_back(keyword.mask);
  EXPECT_EQ(masks, (std::vector<std::uint64_t>{0x1, 0x2, 0x4, 0x800000000000, 0x0001000000000000}));
  auto transfer = catalog_.find_event(events->guid, {4, 0, 0});
  ASSERT_TRUE(transfer && transfer->event_template);
  EXPECT_EQ(transfer->event_template->fields[7].count_field, "SampleCount");
  EXPECT_EQ(transfer->event_template->fields[9].length_field, "HeaderSize");
  EXPECT_EQ(transfer->event->message.substr(0, 23), "Transferred %3 bytes wi");
  EXPECT_EQ(events->find_channel(transfer->event->channel)->name, "Conduit-Demo-Events/Analytic");

  auto audit = catalog_.find_provider("conduit-demo-audit");
  ASSERT_TRUE(audit);
  const auto audit_keywords = catalog_.keywords(audit->guid);
  ASSERT_TRUE(audit_keywords);
  EXPECT_EQ(audit_keywords->size(), 3u);
  for (const auto& keyword : *audit_keywords) EXPECT_GE(keyword.mask, 1ull << 48) << keyword.name;
  EXPECT_EQ(audit->keywords[0].mask, 1ull << 56);

  auto storage = catalog_.find_provider("Conduit-Demo/Storage");
  ASSERT_TRUE(storage);
  EXPECT_EQ(catalog_.find_map(storage->guid, "IoResultMap")->map->entries.size(), 3u);
}

}  // namespace
}  // namespace etw
