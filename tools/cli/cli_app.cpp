#include "cli_app.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string_view>
#include <vector>

#include "conduit_client.h"
#include "record_command.h"

namespace conduit::host {
namespace {

using Json = nlohmann::json;

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 20950;
  std::string source;
  bool json = false;
  unsigned timeoutMs = 10000;
};

// How a successful result is shown, per function: readable text and JSON.
struct Rendering {
  std::function<void(const Bytes&, std::ostream&)> text;
  std::function<Json(const Bytes&)> json;
};

Rendering empty_result() {
  return {[](const Bytes&, std::ostream& out) { out << "ok\n"; }, [](const Bytes&) { return Json(nullptr); }};
}

Rendering text_result() {
  return {[](const Bytes& r, std::ostream& out) { out << decode_text(r) << "\n"; },
          [](const Bytes& r) { return Json(decode_text(r)); }};
}

Rendering u64_result() {
  return {[](const Bytes& r, std::ostream& out) { out << decode_u64(r) << "\n"; },
          [](const Bytes& r) { return Json(decode_u64(r)); }};
}

Rendering list_result() {
  return {[](const Bytes& r, std::ostream& out) {
            for (const auto& name : decode_text_list(r)) out << name << "\n";
          },
          [](const Bytes& r) { return Json(decode_text_list(r)); }};
}

Rendering manifest_result() {
  return {[](const Bytes& r, std::ostream& out) {
            for (const auto& m : decode_manifests(r)) out << "== " << m.name << " " << m.guid << "\n" << m.manifest << "\n";
          },
          [](const Bytes& r) {
            Json list = Json::array();
            for (const auto& m : decode_manifests(r)) {
              list.push_back({{"name", m.name}, {"guid", m.guid}, {"manifest", m.manifest}});
            }
            return list;
          }};
}

// A failure of this tool's own (usage, connection, a result it cannot read): the message on
// standard error and, with --json, one object on standard output, so that a script reading it
// always finds one.
int failure(const Options& options, std::ostream& out, std::ostream& err, const std::string& message, int code,
            Json fields = Json::object()) {
  err << "conduit-cli: " << message << "\n";
  if (options.json) {
    fields["error"] = message;
    fields["exit_code"] = code;
    out << fields.dump() << "\n";
  }
  return code;
}

int malformed(const Options& options, std::ostream& out, std::ostream& err, const Envelope& response,
              const std::exception& e) {
  return failure(options, out, err, std::string("malformed result (") + e.what() + "): " + to_hex(response.result),
                 kExitUnreachable, {{"function", response.function}, {"status", response.status}});
}

// `hint`: what to do about the error, when the service's text alone does not say.
int report(const Envelope& response, const Rendering& rendering, const Options& options, std::ostream& out,
           std::ostream& err, const std::string& hint = {}) {
  if (response.status != 0) {
    const std::string message = error_text(response.result);
    if (options.json) {
      Json answer{{"function", response.function},
                  {"status", response.status},
                  {"error", message},
                  {"exit_code", kExitServiceError}};
      if (!hint.empty()) answer["hint"] = hint;
      out << answer.dump() << "\n";
    } else {
      err << "error (status " << response.status << "): " << message << "\n";
    }
    if (!hint.empty()) err << "conduit-cli: " << hint << "\n";
    return kExitServiceError;
  }
  try {
    if (options.json) {
      out << Json{{"function", response.function},
                  {"status", 0},
                  {"result", rendering.json(response.result)},
                  {"exit_code", kExitOk}}
                 .dump()
          << "\n";
    } else {
      rendering.text(response.result, out);
    }
  } catch (const std::exception& e) {
    return malformed(options, out, err, response, e);
  }
  return kExitOk;
}

// Provider names as they are compared by Windows: ASCII letters without regard to case.
std::string folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The names come from function 1, their GUIDs from the records function 0 returns for them
// (the service resolves each name as it does for enabling). Without GUIDs (function 0
// failing) the names are listed alone, with a warning.
int list_providers(ConduitClient& client, const std::string& filter, const Options& options, std::ostream& out,
                   std::ostream& err) {
  Envelope list = client.all_providers();
  if (list.status != 0) return report(list, list_result(), options, out, err);
  std::vector<std::string> names;
  try {
    for (auto& name : decode_text_list(list.result)) {
      if (folded(name).find(folded(filter)) != std::string::npos) names.push_back(std::move(name));
    }
  } catch (const std::exception& e) {
    return malformed(options, out, err, list, e);
  }
  std::vector<std::string> guids(names.size());
  if (!names.empty()) {
    Envelope records = client.provider_manifests(names);
    std::vector<ProviderManifest> decoded;
    if (records.status == 0) {
      try {
        decoded = decode_manifests(records.result);
      } catch (const std::exception&) {
      }
    }
    if (decoded.size() == names.size()) {
      for (size_t i = 0; i < names.size(); ++i) guids[i] = decoded[i].guid;
    } else {
      err << "conduit-cli: the service did not give the providers' GUIDs\n";
    }
  }
  if (options.json) {
    Json result = Json::array();
    for (size_t i = 0; i < names.size(); ++i) result.push_back({{"name", names[i]}, {"guid", guids[i]}});
    out << Json{{"function", list.function}, {"status", 0}, {"result", result}, {"exit_code", kExitOk}}.dump() << "\n";
  } else {
    for (size_t i = 0; i < names.size(); ++i) out << names[i] << (guids[i].empty() ? "" : "\t" + guids[i]) << "\n";
  }
  return kExitOk;
}

// A provider name as a file name: letters, digits, '-', '_' and '.' stay, anything else
// (path separators, colons, ...) becomes '_'; a name of dots only gets a leading '_'.
std::string file_name_for(const std::string& name) {
  std::string safe;
  for (char c : name) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || c == '.';
    safe.push_back(keep ? c : '_');
  }
  if (safe.find_first_not_of('.') == std::string::npos) safe.insert(safe.begin(), '_');
  return safe;
}

// Why a function-0 record carries no manifest, or empty when it has one. The service answers
// every requested name: one it does not know with the zero GUID and a manifest skeleton
// without keywords, one that cannot name a file with no text at all.
std::string missing_manifest(const ProviderManifest& record) {
  if (record.guid == kZeroGuidText) return "not registered on the target (the service answered the zero GUID)";
  if (record.manifest.empty()) {
    return "the service gives no manifest text for a name with '/', '\\', ':' or a control character, or for "
           "'.' and '..'";
  }
  return {};
}

// The manifests of `response`, printed, or with `folder` saved as FOLDER/NAME.xml. A provider
// without one is named on standard error (and in JSON) and gets no file; the exit code is 1
// when not one requested provider had a manifest.
int show_manifests(const Envelope& response, const std::string& folder, const Options& options, std::ostream& out,
                   std::ostream& err) {
  if (response.status != 0) return report(response, manifest_result(), options, out, err);
  std::vector<ProviderManifest> manifests;
  try {
    manifests = decode_manifests(response.result);
  } catch (const std::exception& e) {
    return malformed(options, out, err, response, e);
  }
  Json result = Json::array();
  std::set<std::string> used;
  std::size_t found = 0;
  for (const auto& manifest : manifests) {
    Json entry{{"name", manifest.name}, {"guid", manifest.guid}};
    const std::string missing = missing_manifest(manifest);
    if (!missing.empty()) {
      err << "conduit-cli: " << manifest.name << ": no manifest: " << missing << "\n";
      entry["missing"] = missing;
    } else {
      ++found;
    }
    if (folder.empty()) {
      entry["manifest"] = manifest.manifest;
      if (!options.json) out << "== " << manifest.name << " " << manifest.guid << "\n" << manifest.manifest << "\n";
      result.push_back(std::move(entry));
      continue;
    }
    if (!missing.empty()) {
      entry["file"] = nullptr;
      result.push_back(std::move(entry));
      continue;
    }
    std::string base = file_name_for(manifest.name);
    // Two names may map to one file name ("a b" and "a_b"): later ones get a number.
    std::string candidate = base;
    for (int n = 2; !used.insert(folded(candidate)).second; ++n) candidate = base + "-" + std::to_string(n);
    const std::filesystem::path path = std::filesystem::path(folder) / (candidate + ".xml");
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << manifest.manifest;
    if (!file.flush()) return failure(options, out, err, "cannot write " + path.string(), kExitUsage);
    entry["file"] = path.string();
    if (!options.json) out << manifest.name << "\t" << manifest.guid << "\t" << path.string() << "\n";
    result.push_back(std::move(entry));
  }
  const int code = found > 0 ? kExitOk : kExitServiceError;
  if (found == 0) err << "conduit-cli: none of the requested providers has a manifest\n";
  if (options.json) {
    out << Json{{"function", response.function}, {"status", 0}, {"result", result}, {"exit_code", code}}.dump()
        << "\n";
  }
  return code;
}

std::optional<std::uint64_t> parse_number(const std::string& text, std::uint64_t limit) {
  if (text.empty()) return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
    return std::nullopt;
  }
  try {
    const std::uint64_t value = std::stoull(digits, nullptr, hex ? 16 : 10);
    if (value > limit) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<ProviderSetting> settings_for(const std::vector<std::string>& names, unsigned level, std::uint64_t any,
                                          std::uint64_t all) {
  const ProviderSetting defaults{"", static_cast<std::uint8_t>(level), any, all};
  std::vector<ProviderSetting> out;
  for (const auto& name : names) out.push_back(*parse_provider_setting(name, defaults));
  return out;
}

}  // namespace

std::optional<ProviderSetting> parse_provider_setting(const std::string& text, const ProviderSetting& defaults) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
    parts.push_back(text.substr(start, colon - start));
  }
  parts.push_back(text.substr(start));
  if (parts.size() > 4 || parts[0].empty()) return std::nullopt;
  ProviderSetting setting = defaults;
  setting.name = parts[0];
  if (parts.size() > 1) {
    auto level = parse_number(parts[1], 255);
    if (!level) return std::nullopt;
    setting.level = static_cast<std::uint8_t>(*level);
  }
  for (std::size_t i = 2; i < parts.size(); ++i) {
    auto mask = parse_number(parts[i], UINT64_MAX);
    if (!mask) return std::nullopt;
    (i == 2 ? setting.matchAnyKeyword : setting.matchAllKeyword) = *mask;
  }
  return setting;
}

int run_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  Options options;
  CLI::App app{"Client of the Conduit trace redirect service", "conduit-cli"};
  app.require_subcommand(1);
  app.add_option("--host", options.host, "service address")->capture_default_str();
  app.add_option("--port", options.port, "service port")->capture_default_str();
  app.add_option("--source", options.source, "local IPv4 address to connect from (default: any)");
  app.add_option("--timeout-ms", options.timeoutMs, "how long to wait for a response")->capture_default_str();
  app.add_flag("--json", options.json, "print results as JSON");

  // Each subcommand fills `action`, which runs once parsing has succeeded.
  std::function<int(ConduitClient&)> action;
  auto simple = [&](const char* name, const char* help, std::function<Envelope(ConduitClient&)> call,
                    Rendering rendering) {
    auto* sub = app.add_subcommand(name, help);
    sub->callback([&, call, rendering] {
      action = [&, call, rendering](ConduitClient& client) { return report(call(client), rendering, options, out, err); };
    });
    return sub;
  };

  simple("ping", "check that the service answers (function 8)", [](ConduitClient& c) { return c.ping(); },
         text_result());
  simple("freq",
         "the target's performance-counter frequency (counts per second) times 1024 (function 4; not a processor "
         "clock, whatever the function's name says)",
         [](ConduitClient& c) { return c.max_processor_frequency(); }, u64_result());
  std::string filter;
  auto* providers = app.add_subcommand(
      "providers", "list the registered ETW providers with their GUIDs (function 1, GUIDs through function 0)");
  providers->add_option("--filter", filter, "show only names containing TEXT (letter case ignored)");
  providers->callback([&] {
    action = [&](ConduitClient& client) { return list_providers(client, filter, options, out, err); };
  });

  std::uint32_t sinkType = 0;
  simple("sink", "choose the trace sink: 1 plain file, 2 hardware, 3 MIPI STP file (function 9)",
         [&](ConduitClient& c) { return c.set_sync_type(sinkType); }, empty_result())
      ->add_option("type", sinkType, "sink type")
      ->required();

  std::vector<std::string> names;
  std::string outDir;
  auto* manifests = simple("manifests", "fetch instrumentation manifests (function 0)",
                           [&](ConduitClient& c) { return c.provider_manifests(names); }, manifest_result());
  manifests->add_option("providers", names, "provider names");
  manifests->add_option("--out", outDir, "write each manifest to DIR/NAME.xml instead of printing it")
      ->check(CLI::ExistingDirectory);
  manifests->footer(
      "A provider the target does not know (the service answers the zero GUID and a skeleton without keywords) or\n"
      "whose name cannot name a file (no text) has no manifest: it is named on standard error and gets no file.\n"
      "Exit 1 when none of the requested providers has one.");
  manifests->callback([&] {
    action = [&](ConduitClient& client) {
      return show_manifests(client.provider_manifests(names), outDir, options, out, err);
    };
  });

  std::string session;
  for (auto [name, help, code] : {std::tuple{"start", "start the real-time session (function 2)", 2},
                                  std::tuple{"stop", "stop the session (function 3)", 3},
                                  std::tuple{"redirect", "redirect the session into the sink (function 7)", 7}}) {
    auto* sub = simple(name, help,
                       [&, code = code](ConduitClient& c) {
                         return code == 2   ? c.start_session(session)
                                : code == 3 ? c.stop_session(session)
                                            : c.redirect(session);
                       },
                       empty_result());
    sub->add_option("session", session, "session name")->required();
    if (code == 2) {
      // The service's text for a hardware sink without TXR does not say what to do.
      sub->callback([&] {
        action = [&](ConduitClient& client) {
          const Envelope answer = client.start_session(session);
          const std::string hint =
              answer.status != 0 ? hardware_sink_hint(error_text(answer.result), false) : std::string();
          return report(answer, empty_result(), options, out, err, hint);
        };
      });
    }
  }

  unsigned level = 4;
  std::uint64_t any = 0;
  std::uint64_t all = 0;
  for (auto [name, help, byGuid] :
       {std::tuple{"enable", "enable providers by name (function 5)", false},
        std::tuple{"enable-guid", "enable providers by GUID (function 10)", true}}) {
    auto* sub = simple(
        name, help,
        [&, byGuid = byGuid](ConduitClient& c) {
          auto settings = settings_for(names, level, any, all);
          return byGuid ? c.enable_providers_by_guid(session, settings) : c.enable_providers(session, settings);
        },
        empty_result());
    sub->add_option("session", session, "session name")->required();
    sub->add_option("providers", names,
                    byGuid ? "providers as GUID[:LEVEL[:ANY[:ALL]]], the GUID in braces"
                           : "providers as NAME[:LEVEL[:ANY[:ALL]]]")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) {
              return parse_provider_setting(text, ProviderSetting{}) ? std::string()
                                                                     : "expected PROVIDER[:LEVEL[:ANY[:ALL]]]: " + text;
            },
            "PROVIDER[:LEVEL[:ANY[:ALL]]]"));
    sub->footer(byGuid ? "Example: conduit-cli enable-guid Demo {3C8EB5F2-4F6C-428B-AED5-59D699BADD57}:5:0xFF:0 "
                         "--level 4\n  keyword masks in hex (0x...) or decimal; --level/--any/--all apply where a "
                         "provider gives none"
                       : "Example: conduit-cli enable Demo Microsoft-Windows-Kernel-Process:4:0x10 Other-Provider "
                         "--any 0xFF\n  keyword masks in hex (0x...) or decimal; --level/--any/--all apply where a "
                         "provider gives none");
    sub->add_option("--level", level, "ETW level")->check(CLI::Range(0, 255))->capture_default_str();
    sub->add_option("--any", any, "match-any keyword mask")->capture_default_str();
    sub->add_option("--all", all, "match-all keyword mask")->capture_default_str();
    if (!byGuid) {
      // The service enables the zero GUID for a name it does not know and answers success:
      // the names are checked with function 0 first, as `record` does.
      sub->callback([&] {
        action = [&](ConduitClient& client) {
          auto settings = settings_for(names, level, any, all);
          std::vector<std::string> wanted;
          for (const auto& setting : settings) wanted.push_back(setting.name);
          const Envelope records = client.provider_manifests(wanted);
          if (records.status != 0) return report(records, empty_result(), options, out, err);
          std::vector<std::string> unknown;
          try {
            unknown = unregistered_names(wanted, decode_manifests(records.result));
          } catch (const std::exception& e) {
            return malformed(options, out, err, records, e);
          }
          if (!unknown.empty()) return failure(options, out, err, unregistered_message(unknown), kExitServiceError);
          return report(client.enable_providers(session, settings), empty_result(), options, out, err);
        };
      });
    }
  }
  for (auto [name, help, byGuid] :
       {std::tuple{"disable", "disable providers by name (function 6)", false},
        std::tuple{"disable-guid", "disable providers by GUID (function 11)", true}}) {
    auto* sub = simple(
        name, help,
        [&, byGuid = byGuid](ConduitClient& c) {
          return byGuid ? c.disable_providers_by_guid(session, names) : c.disable_providers(session, names);
        },
        empty_result());
    sub->add_option("session", session, "session name")->required();
    sub->add_option("providers", names, byGuid ? "provider GUIDs in braces" : "provider names")->required();
  }

  RecordPlan plan;
  std::vector<std::string> recordProviders;
  double durationSeconds = 0;
  const std::map<std::string, SinkType> sinkNames{
      {"file", SinkType::PlainFile}, {"hw", SinkType::Hardware}, {"stp", SinkType::StpFile}};
  auto* record = app.add_subcommand(
      "record", "run a whole capture: sink (9), start (2), enable (5, 10), redirect (7), wait, stop (3)");
  record->add_option("providers", recordProviders, "providers as NAME or {GUID}, each [:LEVEL[:ANY[:ALL]]]")
      ->required()
      ->check(CLI::Validator(
          [](std::string& text) {
            auto setting = parse_provider_setting(text, ProviderSetting{});
            if (!setting) return "expected PROVIDER[:LEVEL[:ANY[:ALL]]]: " + text;
            if (setting->name.front() == '{' && !is_guid_text(setting->name)) return "not a {GUID}: " + setting->name;
            return std::string();
          },
          "PROVIDER[:LEVEL[:ANY[:ALL]]]"));
  record->add_option("-s,--session", plan.session,
                     "session name (default conduit-record-YYYYMMDD-HHMMSS-mmm, the host's time at the start, so "
                     "that no earlier capture is overwritten; a running session of the name given is restarted)");
  record->add_option("--sink", plan.sink, "file: plain file (1), hw: the Tessera (2), stp: MIPI STP file (3)")
      ->transform(CLI::CheckedTransformer(sinkNames, CLI::ignore_case))
      ->default_str("stp");
  // Above 0 and at most about 31 years: the elapsed-time line counts whole seconds in a long.
  record
      ->add_option("-d,--duration", durationSeconds,
                   "seconds to record, above 0 (fractions allowed); without -d it records until Ctrl-C or SIGTERM")
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          [](std::string& text) {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool whole = !text.empty() && end == text.c_str() + text.size();
            if (whole && value > 0 && value <= 1e9) return std::string();
            return "takes seconds above 0 (fractions allowed, at most 1000000000), not " + text +
                   "; leave -d out to record until Ctrl-C";
          },
          ""));
  record->add_option("--level", level, "ETW level where a provider gives none")
      ->check(CLI::Range(0, 255))
      ->capture_default_str();
  record->add_option("--any", any, "match-any keyword mask where a provider gives none")->capture_default_str();
  record->add_option("--all", all, "match-all keyword mask where a provider gives none")->capture_default_str();
  record->footer(
      "Example: conduit-cli record --duration 30 --session Boot Conduit-Demo-Events:5:0xFF "
      "{B73936B8-00D5-4C4F-ACFC-65506CE7AFBF}\n"
      "  names are enabled with function 5 (after checking with function 0 that the target knows them), {GUID}s\n"
      "  with function 10 (providers the target does not list by name: WPP, TraceLogging, raw); Ctrl-C or\n"
      "  SIGTERM ends the capture; a started session is always stopped; the end says where the trace file is\n"
      "Exit codes: 0 recorded (also when interrupted); 1 the service answered an error, or a name the target\n"
      "  does not know; 2 usage; 3 the target could not be reached, did not answer, or was lost while\n"
      "  recording; 4 the session was replaced by another client's session (its capture ended early)");
  record->callback([&] {
    action = [&](ConduitClient& client) {
      for (auto& setting : settings_for(recordProviders, level, any, all)) {
        (setting.name.front() == '{' ? plan.byGuid : plan.byName).push_back(std::move(setting));
      }
      if (record->count("--session") == 0) plan.session = default_session_name(std::chrono::system_clock::now());
      if (record->count("--duration") > 0) plan.durationSeconds = durationSeconds;
      const Connect reconnect = [&] {
        return std::make_unique<ConduitClient>(options.host, options.port, std::chrono::milliseconds(options.timeoutMs),
                                               options.source);
      };
      const bool errIsTerminal = &err == &std::cerr && ::isatty(STDERR_FILENO) == 1;
      return run_record(plan, client, reconnect, RecordOutput{out, err, options.json, errIsTerminal});
    };
  });

  // Several arguments are one request: the hexadecimal of docs/protocol.md pastes unquoted.
  std::vector<std::string> hex;
  auto* raw = app.add_subcommand("raw", "send any bytes (hexadecimal) and print the reply");
  raw->add_option("bytes", hex, "request bytes in hexadecimal, in one argument or several")->required();
  raw->footer("Example (a ping): conduit-cli raw \"00000000 08000000 00000000 00000000 00000000\"");
  Bytes rawRequest;
  raw->callback([&] {
    // Read while parsing, so that bad bytes are a usage error before any connection.
    std::string joined;
    for (const auto& part : hex) joined += part + " ";
    try {
      rawRequest = from_hex(joined);
    } catch (const std::exception& e) {
      throw CLI::ValidationError("bytes", std::string("bad request bytes: ") + e.what());
    }
    action = [&](ConduitClient& client) {
      const Bytes& request = rawRequest;
      Bytes reply = client.exchange_raw(request);
      auto decoded = try_decode(reply);
      const int code = decoded ? (decoded->first.status == 0 ? kExitOk : kExitServiceError) : kExitUnreachable;
      if (!decoded) err << "conduit-cli: " << client.why_unanswered() << "\n";
      if (options.json) {
        Json j{{"reply", to_hex(reply)}, {"exit_code", code}};
        if (decoded) {
          const Envelope& e = decoded->first;
          j["status"] = e.status;
          j["function"] = e.function;
          j["paramCount"] = e.paramCount;
          j["params"] = to_hex(e.params);
          j["result"] = to_hex(e.result);
        } else {
          j["error"] = client.why_unanswered();
        }
        out << j.dump() << "\n";
      } else {
        out << "reply (" << reply.size() << " bytes): " << to_hex(reply) << "\n";
        if (decoded) {
          const Envelope& e = decoded->first;
          out << "status " << e.status << ", function " << e.function << ", paramCount " << e.paramCount
              << ", params [" << to_hex(e.params) << "], result [" << to_hex(e.result) << "]\n";
          // Most results are one text (every error is): show it as text too.
          try {
            WireReader reader(e.result);
            std::string text = reader.text();
            if (reader.remaining() == 0 && !e.result.empty()) out << "result text: " << text << "\n";
          } catch (const std::exception&) {
          }
        }
      }
      return code;
    };
  });

  app.footer(
      "Exit codes: 0 success; 1 the service answered an error (its text is printed), a provider name the target\n"
      "does not know, or no manifest for any name asked; 2 usage; 3 the service could not be reached or did not\n"
      "answer (record: also the target lost while recording); 4 record's session was replaced by another client's.\n"
      "With --json every outcome, failures included, is one JSON object on standard output with its exit_code.");

  // Before parsing: a command line that does not parse still answers in JSON when asked to.
  for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
    if (std::string_view(argv[i]) == "--json") options.json = true;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    if (options.json) {
      out << Json{{"help", app.help()}, {"exit_code", kExitOk}}.dump() << "\n";
    } else {
      out << app.help();
    }
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    const int code = failure(options, out, err, e.what(), kExitUsage, {{"usage", true}});
    err << "run with --help for usage\n";
    return code;
  }

  try {
    ConduitClient client(options.host, options.port, std::chrono::milliseconds(options.timeoutMs), options.source);
    return action(client);
  } catch (const ConnectionError& e) {
    return failure(options, out, err, e.what(), kExitUnreachable, {{"host", options.host}, {"port", options.port}});
  }
}

}  // namespace conduit::host
