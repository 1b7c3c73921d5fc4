// The demo providers that have no instrumentation manifest: Windows learns their schema from
// a WMI MOF class, from WPP trace message formats or from the events themselves
// (TraceLogging). conduit-target declares them in the provider catalog next to the manifests
// of this folder, as a machine has them registered after the demo is installed:
//
//   etw::catalog().install_afresh(demo_manifest_files, conduit_demo::declared_providers());
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "etw/catalog.h"

namespace conduit_demo {

// Conduit-Demo-Mof: a classic provider described by a MOF class (EventTrace subclass
// "ConduitDemoMof", event types 1 "Start" and 2 "Stop", EventVersion 0). Its events carry the
// class GUID in the header and the event type as the opcode.
inline etw::Field field(std::string name, std::uint16_t in_type, std::uint16_t out_type, std::string map = {}) {
  etw::Field made;
  made.name = std::move(name);
  made.in_type = in_type;
  made.out_type = out_type;
  made.map = std::move(map);
  return made;
}

inline etw::Event event(std::uint16_t id, std::uint8_t opcode, std::uint8_t level, std::string template_id,
                        std::string name) {
  etw::Event made;
  made.id = id;
  made.opcode = opcode;
  made.level = level;
  made.template_id = std::move(template_id);
  made.name = std::move(name);
  return made;
}

inline etw::ProviderSchema mof_provider() {
  using namespace etw;
  ProviderSchema schema;
  schema.name = "Conduit-Demo-Mof";
  schema.guid = *parse_guid_text("{CEEDAB19-C4D2-4422-95C8-C1A4E964CFEC}");
  schema.source = DecodingSource::Wbem;
  schema.message = "Conduit demo MOF provider";
  schema.tasks.push_back({"ConduitDemoMof", 0, schema.guid, "ConduitDemoMof", {}, false});
  schema.opcodes.push_back({"Start", 1, "Start", false});
  schema.opcodes.push_back({"Stop", 2, "Stop", false});
  schema.maps.push_back({"JobKindMap", false, {{0, "Copy"}, {1, "Move"}, {2, "Verify"}}});

  Template start{"ConduitDemoMof_Start", {}};
  start.fields.push_back(field("JobName", intype::UnicodeString, outtype::String));
  start.fields.push_back(field("JobId", intype::UInt32, outtype::UnsignedInt));
  start.fields.push_back(field("Kind", intype::UInt32, outtype::UnsignedInt, "JobKindMap"));
  start.fields.push_back(field("Flags", intype::UInt32, outtype::HexInt32));
  Template stop{"ConduitDemoMof_Stop", {}};
  stop.fields.push_back(field("JobId", intype::UInt32, outtype::UnsignedInt));
  stop.fields.push_back(field("Succeeded", intype::Boolean, outtype::Boolean));
  stop.fields.push_back(field("Elapsed", intype::Int64, outtype::Long));
  schema.templates = {start, stop};

  schema.events.push_back(event(0, 1, 4, "ConduitDemoMof_Start", "Start"));
  schema.events.push_back(event(0, 2, 4, "ConduitDemoMof_Stop", "Stop"));
  return schema;
}

// Conduit-Demo-Wpp: a WPP control GUID whose trace messages (numbers 10 and 11) travel as
// preformatted payloads.
inline etw::ProviderSchema wpp_provider() {
  using namespace etw;
  ProviderSchema schema;
  schema.name = "Conduit-Demo-Wpp";
  schema.guid = *parse_guid_text("{B73936B8-00D5-4C4F-ACFC-65506CE7AFBF}");
  schema.source = DecodingSource::Wpp;
  schema.events.push_back(event(10, 0, 4, "", "DemoTrace"));
  schema.events.push_back(event(11, 0, 5, "", "DemoVerbose"));
  return schema;
}

// Conduit-Demo-TraceLogging: a TraceLogging provider; its events describe themselves.
inline etw::ProviderSchema tracelogging_provider() {
  using namespace etw;
  ProviderSchema schema;
  schema.name = "Conduit-Demo-TraceLogging";
  schema.guid = *parse_guid_text("{52356A46-2DE7-42FD-9C46-C5373C1928AB}");
  schema.source = DecodingSource::Tlg;
  schema.events.push_back(event(0, 0, 4, "", "DemoTick"));
  return schema;
}

inline std::vector<etw::ProviderSchema> declared_providers() {
  return {mof_provider(), wpp_provider(), tracelogging_provider()};
}

}  // namespace conduit_demo
