#include "tdh.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "demo/declared_providers.h"
#include "platform/core/text.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "winbase.h"

namespace {

const std::string kDemoDir = CONDUIT_DEMO_MANIFEST_DIR;

std::string text_at(const void* record, ULONG offset) {
  const auto* start = reinterpret_cast<const char16_t*>(static_cast<const char*>(record) + offset);
  return platform::utf16_to_utf8(std::u16string_view(start));
}

GUID guid_of(const char* text) {
  GUID guid;
  const etw::Guid parsed = *etw::parse_guid_text(text);
  std::memcpy(static_cast<void*>(&guid), &parsed, sizeof guid);
  return guid;
}

const char* kEventsGuid = "{3C8EB5F2-4F6C-428B-AED5-59D699BADD57}";

class Tdh : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    for (const char* file : {"ConduitDemoEvents.man", "ConduitDemoAudit.man", "ConduitDemoStorage.man"}) {
      ASSERT_TRUE(sim::install_provider_manifest(kDemoDir + "/" + file).ok()) << file;
    }
    ASSERT_EQ(sim::install_declared_provider(conduit_demo::mof_provider()), etw::CatalogStatus::Ok);
    ASSERT_EQ(sim::install_declared_provider(conduit_demo::wpp_provider()), etw::CatalogStatus::Ok);
  }

  static std::vector<unsigned char> enumerate() {
    ULONG size = 0;
    EXPECT_EQ(TdhEnumerateProviders(nullptr, &size), static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<unsigned char> buffer(size);
    ULONG short_size = size - 1;
    EXPECT_EQ(TdhEnumerateProviders(reinterpret_cast<PPROVIDER_ENUMERATION_INFO>(buffer.data()), &short_size),
              static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(short_size, size);
    EXPECT_EQ(TdhEnumerateProviders(reinterpret_cast<PPROVIDER_ENUMERATION_INFO>(buffer.data()), &size), 0u);
    return buffer;
  }
};

TEST_F(Tdh, EnumeratesManifestAndMofProvidersWithNamesAtOffsets) {
  auto buffer = enumerate();
  const auto* info = reinterpret_cast<const PROVIDER_ENUMERATION_INFO*>(buffer.data());
  std::vector<std::string> names;
  for (ULONG i = 0; i < info->NumberOfProviders; ++i) {
    const TRACE_PROVIDER_INFO& entry = info->TraceProviderInfoArray[i];
    ASSERT_LT(entry.ProviderNameOffset, buffer.size());
    names.push_back(text_at(info, entry.ProviderNameOffset));
    if (names.back() == "Conduit-Demo-Mof") {
      EXPECT_EQ(entry.SchemaSource, 1u);
    }
    if (names.back() == "Conduit-Demo-Events") {
      EXPECT_EQ(entry.SchemaSource, 0u);
      const GUID expected = guid_of(kEventsGuid);
      EXPECT_EQ(std::memcmp(&entry.ProviderGuid, &expected, sizeof(GUID)), 0);
    }
  }
  // The WPP provider is not a registered one.
  EXPECT_EQ(names, (std::vector<std::string>{"Conduit-Demo-Audit", "Conduit-Demo-Events", "Conduit-Demo-Mof",
                                             "Conduit-Demo/Storage"}));
}

TEST_F(Tdh, KeywordsAsFieldArrayAndNotFoundWithoutThem) {
  GUID events = guid_of(kEventsGuid);
  ULONG size = 0;
  ASSERT_EQ(TdhEnumerateProviderFieldInformation(&events, EventKeywordInformation, nullptr, &size),
            static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<unsigned char> buffer(size);
  auto* array = reinterpret_cast<PPROVIDER_FIELD_INFOARRAY>(buffer.data());
  ASSERT_EQ(TdhEnumerateProviderFieldInformation(&events, EventKeywordInformation, array, &size), 0u);
  ASSERT_GE(array->NumberOfElements, 4u);
  EXPECT_EQ(array->FieldType, EventKeywordInformation);
  EXPECT_EQ(text_at(array, (&array->FieldInfoArray[0])[0].NameOffset), "Session");
  EXPECT_EQ((&array->FieldInfoArray[0])[0].Value, 0x1u);
  EXPECT_EQ(text_at(array, (&array->FieldInfoArray[0])[3].NameOffset), "Diagnostic");
  EXPECT_EQ((&array->FieldInfoArray[0])[3].Value, 0x800000000000u);

  GUID unknown = guid_of("{11111111-2222-3333-4444-555555555555}");
  size = 0;
  EXPECT_EQ(TdhEnumerateProviderFieldInformation(&unknown, EventKeywordInformation, nullptr, &size),
            static_cast<ULONG>(ERROR_NOT_FOUND));
  GUID mof = guid_of("{CEEDAB19-C4D2-4422-95C8-C1A4E964CFEC}");  // declares no keywords
  EXPECT_EQ(TdhEnumerateProviderFieldInformation(&mof, EventKeywordInformation, nullptr, &size),
            static_cast<ULONG>(ERROR_NOT_FOUND));
}

TEST_F(Tdh, LoadManifestRefusesMissingAndNonManifestFilesAndUnloads) {
  const auto root = sim::target_root();
  std::u16string missing = platform::utf8_to_utf16((root / "none.man").string());
  EXPECT_EQ(TdhLoadManifest(missing.data()), static_cast<ULONG>(ERROR_FILE_NOT_FOUND));
  std::ofstream(root / "plain.xml") << "<config/>";
  std::u16string plain = platform::utf8_to_utf16((root / "plain.xml").string());
  EXPECT_EQ(TdhLoadManifest(plain.data()), static_cast<ULONG>(ERROR_XML_PARSE_ERROR));

  // A provider needs its GUID: TDH binds no manifest to a provider by name, and a provider
  // without a valid GUID does not pass validation.
  for (const std::string guid : {"", "{AAAAAAAA-2222}"}) {
    std::ofstream(root / "unbound.man")
        << R"(<instrumentationManifest xmlns="http://schemas.microsoft.com/win/2004/08/events"><instrumentation><events>)"
           R"(<provider name="Conduit-Demo-Events" guid=")" + guid + R"(" symbol="" resourceFileName="" messageFileName="">)"
           R"(<keywords><keyword name="K" mask="0x8"/></keywords></provider></events></instrumentation></instrumentationManifest>)";
    std::u16string unbound = platform::utf8_to_utf16((root / "unbound.man").string());
    EXPECT_EQ(TdhLoadManifest(unbound.data()), static_cast<ULONG>(ERROR_XML_PARSE_ERROR)) << guid;
    EXPECT_EQ(TdhUnloadManifest(unbound.data()), static_cast<ULONG>(ERROR_NOT_FOUND)) << guid;
  }

  // A loaded manifest describes events but is not enumerated.
  std::ofstream(root / "extra.man")
      << R"(<instrumentationManifest xmlns="http://schemas.microsoft.com/win/2004/08/events"><instrumentation><events>)"
         R"(<provider name="Extra" guid="{AAAAAAAA-2222-3333-4444-555555555555}" symbol="" resourceFileName="" messageFileName="">)"
         R"(<keywords><keyword name="K" mask="0x8"/></keywords></provider></events></instrumentation></instrumentationManifest>)";
  std::u16string extra = platform::utf8_to_utf16((root / "extra.man").string());
  ASSERT_EQ(TdhLoadManifest(extra.data()), 0u);
  GUID guid = guid_of("{AAAAAAAA-2222-3333-4444-555555555555}");
  ULONG size = 0;
  EXPECT_EQ(TdhEnumerateProviderFieldInformation(&guid, EventKeywordInformation, nullptr, &size),
            static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(reinterpret_cast<const PROVIDER_ENUMERATION_INFO*>(enumerate().data())->NumberOfProviders, 4u);
  EXPECT_EQ(TdhUnloadManifest(extra.data()), 0u);
  EXPECT_EQ(TdhEnumerateProviderFieldInformation(&guid, EventKeywordInformation, nullptr, &size),
            static_cast<ULONG>(ERROR_NOT_FOUND));
  EXPECT_EQ(TdhUnloadManifest(extra.data()), static_cast<ULONG>(ERROR_NOT_FOUND));
}

TEST_F(Tdh, EventInformationAndMapForAManifestEvent) {
  EVENT_RECORD record{};
  record.EventHeader.ProviderId = guid_of("{CEEDAB19-C4D2-4422-95C8-C1A4E964CFEC}");
  record.EventHeader.EventDescriptor.Opcode = 1;  // MOF event type "Start"
  ULONG size = 0;
  ASSERT_EQ(TdhGetEventInformation(&record, 0, nullptr, nullptr, &size), static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<unsigned char> buffer(size);
  auto* info = reinterpret_cast<PTRACE_EVENT_INFO>(buffer.data());
  ASSERT_EQ(TdhGetEventInformation(&record, 0, nullptr, info, &size), 0u);
  EXPECT_EQ(info->DecodingSource, DecodingSourceWbem);
  EXPECT_EQ(text_at(info, info->ProviderNameOffset), "Conduit-Demo-Mof");
  ASSERT_EQ(info->PropertyCount, 4u);
  EXPECT_EQ(text_at(info, (&info->EventPropertyInfoArray[0])[2].NameOffset), "Kind");
  EXPECT_EQ((&info->EventPropertyInfoArray[0])[2].nonStructType.InType, TDH_INTYPE_UINT32);
  EXPECT_EQ(text_at(info, (&info->EventPropertyInfoArray[0])[2].nonStructType.MapNameOffset), "JobKindMap");

  std::u16string map_name = u"JobKindMap";
  size = 0;
  ASSERT_EQ(TdhGetEventMapInformation(&record, map_name.data(), nullptr, &size),
            static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<unsigned char> map_buffer(size);
  auto* map = reinterpret_cast<PEVENT_MAP_INFO>(map_buffer.data());
  ASSERT_EQ(TdhGetEventMapInformation(&record, map_name.data(), map, &size), 0u);
  ASSERT_EQ(map->EntryCount, 3u);
  EXPECT_EQ((&map->MapEntryArray[0])[2].Value, 2u);
  EXPECT_EQ(text_at(map, (&map->MapEntryArray[0])[2].OutputOffset), "Verify");

  record.EventHeader.EventDescriptor.Opcode = 9;
  EXPECT_EQ(TdhGetEventInformation(&record, 0, nullptr, nullptr, &size), static_cast<ULONG>(ERROR_NOT_FOUND));
}

TEST_F(Tdh, LibraryInTheSystemDirectoryWithRemovableExports) {
  char system[MAX_PATH] = {};
  GetSystemDirectoryA(system, MAX_PATH);
  const std::string path = std::string(system) + "\\tdh.dll";
  HMODULE module = LoadLibraryA(path.c_str());
  ASSERT_NE(module, nullptr);
  auto enumerate_export = reinterpret_cast<decltype(&TdhEnumerateProviders)>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "TdhEnumerateProviders")));
  ASSERT_NE(enumerate_export, nullptr);
  ULONG size = 0;
  EXPECT_EQ(enumerate_export(nullptr, &size), static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));

  sim::remove_tdh_export("TdhLoadManifest");
  EXPECT_EQ(GetProcAddress(module, "TdhLoadManifest"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(module));

  sim::set_tdh_library_present(false);
  EXPECT_EQ(LoadLibraryA(path.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  sim::set_tdh_library_present(true);
  module = LoadLibraryA(path.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_NE(GetProcAddress(module, "TdhLoadManifest"), nullptr);
  FreeLibrary(module);
}

TEST_F(Tdh, RestartKeepsInstalledProvidersAndAFreshMachineHasNone) {
  sim::reset(sim::target_root());
  EXPECT_EQ(reinterpret_cast<const PROVIDER_ENUMERATION_INFO*>(enumerate().data())->NumberOfProviders, 4u);
  sim::reset();
  ULONG size = 0;
  PROVIDER_ENUMERATION_INFO empty{};
  size = sizeof empty;
  ASSERT_EQ(TdhEnumerateProviders(&empty, &size), 0u);
  EXPECT_EQ(empty.NumberOfProviders, 0u);
}

}  // namespace

namespace {

// A declared manifest-style provider: event 1 with a count field, an array by that count and
// a string; its message names the first and third.
etw::ProviderSchema counted_provider() {
  etw::ProviderSchema provider;
  provider.name = "Counted";
  provider.guid = *etw::parse_guid_text("{7B2C1D00-1111-2222-3333-444455556666}");
  auto field = [](const char* name, std::uint16_t in_type, std::uint16_t out_type) {
    etw::Field made;
    made.name = name;
    made.in_type = in_type;
    made.out_type = out_type;
    return made;
  };
  etw::Field count = field("N", TDH_INTYPE_UINT16, TDH_OUTTYPE_UNSIGNEDSHORT);
  etw::Field values = field("Values", TDH_INTYPE_UINT32, TDH_OUTTYPE_UNSIGNEDINT);
  values.is_array = true;
  values.count_field = "N";
  etw::Field name = field("Name", TDH_INTYPE_UNICODESTRING, TDH_OUTTYPE_STRING);
  provider.templates.push_back(etw::Template{"T", {count, values, name}});
  etw::Event event;
  event.id = 1;
  event.template_id = "T";
  event.message = "%1 values, %3";
  provider.events.push_back(event);
  return provider;
}

struct CountedEvent {
  EVENT_RECORD record{};
  std::vector<unsigned char> data;
  CountedEvent() {
    record.EventHeader.ProviderId = guid_of("{7B2C1D00-1111-2222-3333-444455556666}");
    record.EventHeader.EventDescriptor.Id = 1;
    data = {2, 0, 7, 0, 0, 0, 8, 0, 0, 0, 'a', 0, 'b', 0, 0, 0};
    record.UserData = data.data();
    record.UserDataLength = static_cast<USHORT>(data.size());
  }
};

}  // namespace

TEST_F(Tdh, EventInformationWithCountByFieldShortBufferAndUnknownEvent) {
  ASSERT_EQ(sim::install_declared_provider(counted_provider()), etw::CatalogStatus::Ok);
  CountedEvent event;
  ULONG size = 0;
  ASSERT_EQ(TdhGetEventInformation(&event.record, 0, nullptr, nullptr, &size), ULONG{ERROR_INSUFFICIENT_BUFFER});
  std::vector<unsigned char> buffer(size);
  auto* info = reinterpret_cast<PTRACE_EVENT_INFO>(buffer.data());
  ULONG short_size = size - 1;
  EXPECT_EQ(TdhGetEventInformation(&event.record, 0, nullptr, info, &short_size), ULONG{ERROR_INSUFFICIENT_BUFFER});
  EXPECT_EQ(short_size, size);
  ASSERT_EQ(TdhGetEventInformation(&event.record, 0, nullptr, info, &size), 0u);
  EXPECT_EQ(info->DecodingSource, DecodingSourceXMLFile);
  EXPECT_EQ(text_at(info, info->ProviderNameOffset), "Counted");
  EXPECT_EQ(text_at(info, info->EventMessageOffset), "%1 values, %3");
  ASSERT_EQ(info->TopLevelPropertyCount, 3u);
  const EVENT_PROPERTY_INFO* properties = &info->EventPropertyInfoArray[0];
  EXPECT_EQ(text_at(info, properties[1].NameOffset), "Values");
  EXPECT_NE(properties[1].Flags & PropertyParamCount, 0);
  EXPECT_EQ(properties[1].countPropertyIndex, 0);
  EXPECT_EQ(properties[2].nonStructType.InType, TDH_INTYPE_UNICODESTRING);
  for (ULONG i = 0; i < 3; ++i) EXPECT_LT(properties[i].NameOffset, size);

  event.record.EventHeader.EventDescriptor.Id = 2;
  EXPECT_EQ(TdhGetEventInformation(&event.record, 0, nullptr, info, &size), ULONG{ERROR_NOT_FOUND});
}

// Event information is built once per event and kept; what is kept must follow every change
// of the installed providers, and the descriptor must be each event's own.
TEST_F(Tdh, EventInformationFollowsTheEventsDescriptorAndReplacedOrRemovedProviders) {
  ASSERT_EQ(sim::install_declared_provider(counted_provider()), etw::CatalogStatus::Ok);
  CountedEvent event;
  std::vector<unsigned char> buffer(4096);
  auto* info = reinterpret_cast<PTRACE_EVENT_INFO>(buffer.data());
  auto fetch = [&] {
    ULONG size = static_cast<ULONG>(buffer.size());
    return TdhGetEventInformation(&event.record, 0, nullptr, info, &size);
  };
  event.record.EventHeader.EventDescriptor.Level = 4;
  ASSERT_EQ(fetch(), 0u);
  EXPECT_EQ(info->EventDescriptor.Level, 4);
  event.record.EventHeader.EventDescriptor.Level = 2;
  event.record.EventHeader.EventDescriptor.Keyword = 0x30;
  ASSERT_EQ(fetch(), 0u);
  EXPECT_EQ(info->EventDescriptor.Level, 2);
  EXPECT_EQ(info->EventDescriptor.Keyword, 0x30u);
  EXPECT_EQ(text_at(info, info->EventMessageOffset), "%1 values, %3");

  etw::ProviderSchema replaced = counted_provider();
  replaced.events[0].message = "now %3";
  replaced.templates[0].fields[2].name = "Label";
  ASSERT_EQ(sim::install_declared_provider(replaced), etw::CatalogStatus::Ok);
  ASSERT_EQ(fetch(), 0u);
  EXPECT_EQ(text_at(info, info->EventMessageOffset), "now %3");
  EXPECT_EQ(text_at(info, (&info->EventPropertyInfoArray[0])[2].NameOffset), "Label");

  sim::reset();
  EXPECT_EQ(fetch(), ULONG{ERROR_NOT_FOUND});
  ASSERT_EQ(sim::install_declared_provider(counted_provider()), etw::CatalogStatus::Ok);
  ASSERT_EQ(fetch(), 0u);
  EXPECT_EQ(text_at(info, info->EventMessageOffset), "%1 values, %3");
}

TEST_F(Tdh, PropertiesByNameAndTheirSizes) {
  ASSERT_EQ(sim::install_declared_provider(counted_provider()), etw::CatalogStatus::Ok);
  CountedEvent event;
  std::u16string name = u"Values";
  PROPERTY_DATA_DESCRIPTOR descriptor{reinterpret_cast<ULONGLONG>(name.c_str()), 0xFFFFFFFFu, 0};
  ULONG size = 0;
  ASSERT_EQ(TdhGetPropertySize(&event.record, 0, nullptr, 1, &descriptor, &size), 0u);
  EXPECT_EQ(size, 8u);
  unsigned char bytes[8] = {};
  EXPECT_EQ(TdhGetProperty(&event.record, 0, nullptr, 1, &descriptor, 4, bytes), ULONG{ERROR_INSUFFICIENT_BUFFER});
  ASSERT_EQ(TdhGetProperty(&event.record, 0, nullptr, 1, &descriptor, 8, bytes), 0u);
  EXPECT_EQ(bytes[0], 7);
  EXPECT_EQ(bytes[4], 8);
  name = u"Name";
  descriptor.PropertyName = reinterpret_cast<ULONGLONG>(name.c_str());
  ASSERT_EQ(TdhGetPropertySize(&event.record, 0, nullptr, 1, &descriptor, &size), 0u);
  EXPECT_EQ(size, 6u);
  name = u"Missing";
  descriptor.PropertyName = reinterpret_cast<ULONGLONG>(name.c_str());
  EXPECT_EQ(TdhGetPropertySize(&event.record, 0, nullptr, 1, &descriptor, &size), ULONG{ERROR_NOT_FOUND});
  event.record.UserDataLength = 8;  // the array's count reaches past the data
  name = u"Values";
  descriptor.PropertyName = reinterpret_cast<ULONGLONG>(name.c_str());
  EXPECT_EQ(TdhGetPropertySize(&event.record, 0, nullptr, 1, &descriptor, &size), ULONG{ERROR_EVT_INVALID_EVENT_DATA});
}

TEST_F(Tdh, FormatPropertyRendersOneElementAndReportsSizes) {
  unsigned char value[4] = {0xFF, 0, 0, 0};
  char16_t text[32] = {};
  ULONG size = sizeof text;
  USHORT used = 0;
  ASSERT_EQ(TdhFormatProperty(nullptr, nullptr, 8, TDH_INTYPE_UINT32, TDH_OUTTYPE_HEXINT32, 0, 4, value, &size, text, &used), 0u);
  EXPECT_EQ(std::u16string(text), u"0xFF");
  EXPECT_EQ(used, 4);
  size = 4;
  EXPECT_EQ(TdhFormatProperty(nullptr, nullptr, 8, TDH_INTYPE_UINT32, TDH_OUTTYPE_UNSIGNEDINT, 0, 4, value, &size, text, &used),
            ULONG{ERROR_INSUFFICIENT_BUFFER});
  EXPECT_EQ(size, 8u);  // "255" and its terminator
  size = sizeof text;
  EXPECT_EQ(TdhFormatProperty(nullptr, nullptr, 8, TDH_INTYPE_UINT32, 0, 0, 3, value, &size, text, &used),
            ULONG{ERROR_EVT_INVALID_EVENT_DATA});
  EXPECT_EQ(TdhFormatProperty(nullptr, nullptr, 8, TDH_INTYPE_SID, 0, 0, 4, value, &size, text, &used),
            ULONG{ERROR_NOT_SUPPORTED});

  // Signed and 64-bit hexadecimal digits.
  const long long negative = -1234567890123;
  size = sizeof text;
  ASSERT_EQ(TdhFormatProperty(nullptr, nullptr, 8, TDH_INTYPE_INT64, 0, 0, 8,
                              reinterpret_cast<PBYTE>(const_cast<long long*>(&negative)), &size, text, &used), 0u);
  EXPECT_EQ(std::u16string(text), u"-1234567890123");
  const unsigned long long wide_value = 0xABCDEF0123456789ull;
  size = sizeof text;
  ASSERT_EQ(TdhFormatProperty(nullptr, nullptr, 8, TDH_INTYPE_HEXINT64, 0, 0, 8,
                              reinterpret_cast<PBYTE>(const_cast<unsigned long long*>(&wide_value)), &size, text, &used),
            0u);
  EXPECT_EQ(std::u16string(text), u"0xABCDEF0123456789");
}

TEST_F(Tdh, FormatPropertyKeepsUtf16TextButForLoneSurrogates) {
  // "a", U+1F600 as a pair, a lone high surrogate, "b", a lone low surrogate, the terminator.
  const char16_t data[] = {u'a', 0xD83D, 0xDE00, 0xD800, u'b', 0xDC00, 0, u'z'};
  char16_t text[16] = {};
  ULONG size = sizeof text;
  USHORT used = 0;
  ASSERT_EQ(TdhFormatProperty(nullptr, nullptr, 8, TDH_INTYPE_UNICODESTRING, TDH_OUTTYPE_STRING, 0, sizeof data,
                              reinterpret_cast<PBYTE>(const_cast<char16_t*>(data)), &size, text, &used),
            0u);
  EXPECT_EQ(std::u16string(text), std::u16string({u'a', 0xD83D, 0xDE00, 0xFFFD, u'b', 0xFFFD}));
  EXPECT_EQ(used, 14);
  // A counted string ends at its first zero; what follows is not text.
  size = sizeof text;
  ASSERT_EQ(TdhFormatProperty(nullptr, nullptr, 8, TDH_INTYPE_NONNULLTERMINATEDSTRING, TDH_OUTTYPE_STRING, 8,
                              sizeof data, reinterpret_cast<PBYTE>(const_cast<char16_t*>(data)), &size, text, &used),
            0u);
  EXPECT_EQ(std::u16string(text), std::u16string({u'a', 0xD83D, 0xDE00, 0xFFFD, u'b', 0xFFFD}));
  EXPECT_EQ(used, 16);
}

TEST(FormatMessage, InsertsArgumentsIntoATemplateAndAllocates) {
  LPWSTR result = nullptr;
  // An argument array as FormatMessageW reads it: one pointer-sized value per insertion.
  DWORD_PTR three[] = {reinterpret_cast<DWORD_PTR>(u"one"), reinterpret_cast<DWORD_PTR>(u"two"),
                       reinterpret_cast<DWORD_PTR>(u"3")};
  const DWORD ok = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  u"%2!s! then %1 at 100%% %3x%n", 0, 0, reinterpret_cast<LPWSTR>(&result), 0,
                                  reinterpret_cast<va_list*>(three));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(std::u16string(result), u"two then one at 100% 3x\r\n");
  EXPECT_EQ(ok, 25u);
  EXPECT_EQ(LocalFree(result), nullptr);

  char16_t fixed[8];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, u"%1%1%1", 0, 0, fixed, 8,
                           reinterpret_cast<va_list*>(three)), 0u);
  EXPECT_EQ(GetLastError(), ULONG{ERROR_INSUFFICIENT_BUFFER});
}
