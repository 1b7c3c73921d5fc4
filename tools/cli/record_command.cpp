#include "record_command.h"

#include <signal.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <sstream>
#include <thread>

#include "cli_app.h"

namespace conduit::host {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// The service's answer to a stop of a name that is not its session's: another client's start
// replaced it (or someone stopped it, or the service started afresh).
constexpr char kSessionNotStarted[] = "Session not started";

// Set from signal handlers: only a lock-free atomic may be touched there.
std::atomic<bool> g_interruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void on_interrupt_signal(int) { g_interruptRequested.store(true, std::memory_order_relaxed); }

bool interrupt_requested() { return g_interruptRequested.load(std::memory_order_relaxed); }

// SIGINT and SIGTERM only set the flag while a capture runs, so that the capture can stop its
// session; whatever handled them before comes back afterwards.
class InterruptHandlers {
 public:
  InterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = on_interrupt_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_previousInt);
    sigaction(SIGTERM, &action, &m_previousTerm);
  }
  ~InterruptHandlers() {
    sigaction(SIGINT, &m_previousInt, nullptr);
    sigaction(SIGTERM, &m_previousTerm, nullptr);
  }
  InterruptHandlers(const InterruptHandlers&) = delete;
  InterruptHandlers& operator=(const InterruptHandlers&) = delete;

 private:
  struct sigaction m_previousInt {};
  struct sigaction m_previousTerm {};
};

const char* sink_label(SinkType sink) {
  switch (sink) {
    case SinkType::PlainFile:
      return "the plain file sink";
    case SinkType::Hardware:
      return "the hardware sink";
    case SinkType::StpFile:
      return "the STP file sink";
  }
  return "an unknown sink";
}

const char* sink_option(SinkType sink) {
  switch (sink) {
    case SinkType::PlainFile:
      return "file";
    case SinkType::Hardware:
      return "hw";
    case SinkType::StpFile:
      return "stp";
  }
  return "?";
}

std::string clock_text(double seconds) {
  const auto whole = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

// The host's local time of day, for telling when something happened.
std::string time_of_day(std::chrono::system_clock::time_point at) {
  const std::time_t whole = std::chrono::system_clock::to_time_t(at);
  std::tm local{};
  localtime_r(&whole, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string seconds_text(double seconds) {
  std::ostringstream text;
  text.precision(1);
  text << std::fixed << seconds;
  return text.str();
}

// The elapsed-time line of the wait. On a terminal it is rewritten in place once a second;
// into a file or pipe a line every ten seconds keeps a log readable (a short capture writes
// none).
class ElapsedLine {
 public:
  ElapsedLine(std::ostream& err, bool isTerminal, std::optional<double> total)
      : m_err(err), m_isTerminal(isTerminal), m_total(total), m_lastShown(isTerminal ? -1 : 0) {}

  void show(double elapsed) {
    const auto second = static_cast<long>(elapsed);
    if (m_isTerminal) {
      if (second == m_lastShown) return;
      m_lastShown = second;
      m_err << "\rrecording " << clock_text(elapsed) << (m_total ? " of " + clock_text(std::ceil(*m_total)) : std::string())
            << ", Ctrl-C stops" << std::flush;
    } else if (second >= m_lastShown + 10) {
      m_lastShown = second - second % 10;
      m_err << "recording " << clock_text(elapsed) << "\n" << std::flush;
    }
  }
  void finish() {
    if (m_isTerminal && m_lastShown >= 0) m_err << "\n";
  }

 private:
  std::ostream& m_err;
  bool m_isTerminal;
  std::optional<double> m_total;
  long m_lastShown;  // on a terminal: the second shown (-1: none yet); otherwise the last multiple of 10
};

class Capture {
 public:
  Capture(const RecordPlan& plan, ConduitClient& client, const Connect& reconnect, const RecordOutput& output)
      : m_plan(plan), m_client(&client), m_reconnect(reconnect), m_out(output) {}

  int run() {
    if (prepare()) {
      const bool answered = start();
      if (m_started) {
        if (answered && set_up()) wait();
        stop();
      }
    }
    report();
    return m_exit;
  }

 private:
  using Call = std::function<Envelope(ConduitClient&)>;

  // Steps that leave nothing to undo: names resolved, sink chosen.
  bool prepare() {
    if (!resolve_names()) return false;
    if (interrupted_before("the session was started")) return false;
    return step("set the sink (function 9)",
                [&](ConduitClient& c) { return c.set_sync_type(protocol::ToWire(m_plan.sink)); }) &&
           !interrupted_before("the session was started");
  }

  // The function-0 record of a name carries the GUID that enabling by name will use; the zero
  // GUID means the target does not know the name.
  bool resolve_names() {
    if (m_plan.byName.empty()) return true;
    std::vector<std::string> names;
    for (const auto& setting : m_plan.byName) names.push_back(setting.name);
    const char* what = "resolve provider names (function 0)";
    Envelope answer;
    if (!step(what, [&](ConduitClient& c) { return c.provider_manifests(names); }, &answer)) return false;
    std::vector<ProviderManifest> records;
    try {
      records = decode_manifests(answer.result);
    } catch (const std::exception& e) {
      fail(what, std::string("malformed result (") + e.what() + ")", kExitUnreachable);
      return false;
    }
    const auto unknown = unregistered_names(names, records);
    if (unknown.empty()) return true;
    fail(what, unregistered_message(unknown), kExitServiceError);
    return false;
  }

  bool start() {
    m_startSent = std::chrono::system_clock::now();
    Envelope answer;
    const bool answered =
        step("start (function 2)", [&](ConduitClient& c) { return c.start_session(m_plan.session); }, &answer);
    if (!answered && answer.status != 0) {
      m_hint = hardware_sink_hint(error_text(answer.result), true);
      if (!m_hint.empty()) m_out.err << "conduit-cli record: " << m_hint << "\n";
    }
    // A start that got no answer may have been carried out: it is stopped like one that was.
    m_started = answered || m_broken;
    return answered;
  }

  // Enable and redirect; any failure or interrupt ends here and the session is stopped.
  bool set_up() {
    if (!m_plan.byName.empty()) {
      if (interrupted_before("the providers were enabled")) return false;
      if (!step("enable by name (function 5)",
                [&](ConduitClient& c) { return c.enable_providers(m_plan.session, m_plan.byName); })) {
        return false;
      }
    }
    if (!m_plan.byGuid.empty()) {
      if (interrupted_before("the providers were enabled")) return false;
      // Sent means possibly enabled in part: the service keeps the ones before a failing GUID.
      m_guidsSent = true;
      if (!step("enable by GUID (function 10)",
                [&](ConduitClient& c) { return c.enable_providers_by_guid(m_plan.session, m_plan.byGuid); })) {
        return false;
      }
    }
    if (interrupted_before("the redirect")) return false;
    if (!step("redirect (function 7)", [&](ConduitClient& c) { return c.redirect(m_plan.session); })) return false;
    m_redirected = true;
    return true;
  }

  void wait() {
    m_out.err << "recording session '" << m_plan.session << "' into " << sink_label(m_plan.sink)
              << (m_plan.durationSeconds ? " for " + seconds_text(*m_plan.durationSeconds) + " s" : " until Ctrl-C")
              << "\n"
              << std::flush;
    ElapsedLine line(m_out.err, m_out.errIsTerminal, m_plan.durationSeconds);
    const auto begin = Clock::now();
    auto nextPing = begin + m_plan.pingEvery;
    std::string lost;
    for (;;) {
      m_seconds = Seconds(Clock::now() - begin).count();
      if (interrupt_requested()) {
        m_interrupted = true;
        break;
      }
      if (m_plan.durationSeconds && m_seconds >= *m_plan.durationSeconds) break;
      lost = why_lost(nextPing);
      if (!lost.empty()) break;
      line.show(m_seconds);
      Seconds nap = std::chrono::milliseconds(100);
      if (m_plan.durationSeconds) nap = std::min(nap, Seconds(*m_plan.durationSeconds - m_seconds));
      std::this_thread::sleep_for(nap);
    }
    line.finish();
    if (m_interrupted) m_out.err << "interrupted: stopping session '" << m_plan.session << "'\n";
    if (!lost.empty()) {
      m_lost = true;
      m_broken = true;
      fail("wait", "lost the target at " + time_of_day(std::chrono::system_clock::now()) + " (host time), " +
                       seconds_text(m_seconds) + " s after the redirect: " + lost +
                       "; trying the stop over a new connection",
           kExitUnreachable);
    }
  }

  // Empty while the connection looks alive; otherwise what showed that it is not.
  std::string why_lost(Clock::time_point& nextPing) {
    if (m_client->peer_closed()) return "the connection was closed";
    if (Clock::now() < nextPing) return {};
    nextPing = Clock::now() + m_plan.pingEvery;
    try {
      m_client->ping();
    } catch (const ConnectionError& e) {
      return std::string("no answer to a ping (function 8): ") + e.what();
    }
    return {};
  }

  void stop() {
    if (m_guidsSent && !m_broken) {
      // The service keeps a provider registration per GUID until the GUID is disabled; the
      // stop alone would leave them behind. Before the stop: afterwards the disable fails.
      std::vector<std::string> guids;
      for (const auto& setting : m_plan.byGuid) guids.push_back(setting.name);
      step("release the GUID providers (function 11)",
           [&](ConduitClient& c) { return c.disable_providers_by_guid(m_plan.session, guids); });
    }
    const char* what = "stop (function 3)";
    Envelope answer;
    m_stopped = step(what, [&](ConduitClient& c) { return c.stop_session(m_plan.session); }, &answer, false);
    if (!m_stopped && answer.status != 0) {
      const std::string text = error_text(answer.result);
      if (text.find(kSessionNotStarted) != std::string::npos) {
        // Nothing of this session is left to stop: the service's session is another's, or
        // none. Its capture ended when the other start dropped it.
        m_replaced = true;
        m_out.err << "conduit-cli record: session '" << m_plan.session
                  << "' was replaced by another client's session: the stop was answered \"" << text
                  << "\", so the service's one session is now another's (or none: someone stopped it, or the service "
                     "started afresh); "
                  << (m_redirected ? "its capture ended early, at some time in the " + seconds_text(m_seconds) +
                                         " s between the redirect and the stop"
                                   : std::string("nothing was recorded"))
                  << "\n";
        m_failures.push_back({{"step", what}, {"error", text}, {"replaced", true}});
        if (m_exit != kExitUnreachable) m_exit = kExitSessionReplaced;
        return;
      }
      fail(what, "failed: " + text, kExitServiceError);
    }
    if (!m_stopped) {
      m_out.err << "conduit-cli record: session '" << m_plan.session
                << "' may still be running on the target\n";
    } else if (m_exit != kExitOk) {
      m_out.err << "conduit-cli record: session '" << m_plan.session << "' stopped\n";
    }
  }

  // One request. A lost connection ends the steps; only the stop comes after that, and it
  // goes over a fresh connection.
  // `answer` receives the response, also one with an error status; with `reportError` false
  // an error status is left to the caller to explain.
  bool step(const char* what, const Call& call, Envelope* answer = nullptr, bool reportError = true) {
    Envelope response;
    try {
      if (m_broken) {
        m_reconnected = m_reconnect();
        m_client = m_reconnected.get();
        m_broken = false;
      }
      response = call(*m_client);
    } catch (const ConnectionError& e) {
      m_broken = true;
      return fail(what, std::string("no answer: ") + e.what(), kExitUnreachable);
    }
    const bool succeeded = response.status == 0;
    if (!succeeded && reportError) fail(what, "failed: " + error_text(response.result), kExitServiceError);
    if (answer) *answer = std::move(response);
    return succeeded;
  }

  bool fail(const char* what, const std::string& text, int code) {
    m_out.err << "conduit-cli record: " << what << ": " << text << "\n";
    m_failures.push_back({{"step", what}, {"error", text}});
    m_exit = std::max(m_exit, code);
    return false;
  }

  bool interrupted_before(const char* what) {
    if (!interrupt_requested()) return false;
    m_interrupted = true;
    m_out.err << "interrupted before " << what << "\n";
    return true;
  }

  // Where the trace is, as the service names its files: readable, and as JSON. The STP file's
  // name is taken from the target's local time when the start created the sink, with a
  // number added when that name is taken: the host can only guess it.
  struct TraceLocation {
    std::string text;
    nlohmann::json json;
  };
  TraceLocation trace_location() const {
    switch (m_plan.sink) {
      case SinkType::PlainFile: {
        const std::string name = m_plan.session + ".bin";
        return {"%SystemRoot%\\System32\\" + name +
                    " (the service's working directory; ROOT/Windows/System32 on the virtual target)",
                {{"sink", "file"},
                 {"folder", "%SystemRoot%\\System32"},
                 {"virtual_target_folder", "ROOT/Windows/System32"},
                 {"file_name", name}}};
      }
      case SinkType::Hardware:
        return {"the Tessera's trace port, as the host records it (ROOT/Tessera/tessera_capture_N.stp on the "
                "virtual target, N the next free number; conduit-target prints the path when asked (capture) and "
                "when it stops)",
                {{"sink", "hw"},
                 {"where", "the Tessera's trace port (ETW master, channel 32), as the host records it"},
                 {"virtual_target_file_pattern", "ROOT/Tessera/tessera_capture_N.stp"}}};
      case SinkType::StpFile: {
        const std::time_t at = std::chrono::system_clock::to_time_t(m_startSent);
        std::tm local{};
        localtime_r(&at, &local);
        char name[64];
        std::snprintf(name, sizeof name, "ETWTRACE_%02d%02d%02d%02d%02d.bin", local.tm_mday, local.tm_mon + 1,
                      local.tm_hour, local.tm_min, local.tm_sec);
        const std::string caveat =
            "the target's clock may differ from this host's, and the service adds _1, _2, ... before .bin when "
            "that name is taken";
        return {std::string("%ProgramData%\\ETW-Traces\\ETWTRACE_DDMMhhmmss.bin (ROOT/ProgramData/ETW-Traces on "
                            "the virtual target), named after the target's local time at the start; this host's "
                            "clock guesses ") +
                    name + " (a guess: " + caveat + ")",
                {{"sink", "stp"},
                 {"folder", "%ProgramData%\\ETW-Traces"},
                 {"virtual_target_folder", "ROOT/ProgramData/ETW-Traces"},
                 {"file_name_pattern", "ETWTRACE_DDMMhhmmss.bin"},
                 {"file_name_guess", name},
                 {"guess_note", "by this host's clock at the start; " + caveat}}};
      }
    }
    return {};
  }

  void report() {
    if (m_out.json) {
      nlohmann::json result{{"session", m_plan.session},
                            {"sink", sink_option(m_plan.sink)},
                            {"started", m_started},
                            {"redirected", m_redirected},
                            {"stopped", m_stopped},
                            {"interrupted", m_interrupted},
                            {"target_lost", m_lost},
                            {"replaced", m_replaced},
                            {"seconds", m_seconds},
                            {"exit", m_exit},
                            {"exit_code", m_exit},
                            {"failures", m_failures}};
      if (!m_hint.empty()) result["hint"] = m_hint;
      if (m_redirected) result["trace"] = trace_location().json;
      m_out.out << result.dump() << "\n";
      return;
    }
    if (!m_redirected) return;
    m_out.out << "recorded session '" << m_plan.session << "'";
    if (m_replaced) {
      m_out.out << " into " << sink_label(m_plan.sink) << " until another client's session replaced it, within "
                << seconds_text(m_seconds) << " s";
    } else {
      m_out.out << " for " << seconds_text(m_seconds) << " s into " << sink_label(m_plan.sink)
                << (m_lost ? " (until the target was lost)" : m_interrupted ? " (interrupted)" : "");
    }
    m_out.out << "\ntrace: " << trace_location().text << "\n";
  }

  const RecordPlan& m_plan;
  ConduitClient* m_client;
  const Connect& m_reconnect;
  const RecordOutput& m_out;
  std::unique_ptr<ConduitClient> m_reconnected;
  bool m_broken = false;
  bool m_started = false;
  bool m_guidsSent = false;
  bool m_redirected = false;
  bool m_stopped = false;
  bool m_interrupted = false;
  bool m_lost = false;      // the connection died during the wait
  bool m_replaced = false;  // the stop found the session no longer the service's
  std::string m_hint;
  double m_seconds = 0;
  std::chrono::system_clock::time_point m_startSent;
  nlohmann::json m_failures = nlohmann::json::array();
  int m_exit = kExitOk;
};

}  // namespace

void request_interrupt() { g_interruptRequested.store(true, std::memory_order_relaxed); }

bool is_guid_text(const std::string& text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    const char c = text[i];
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (dash ? c != '-' : !hex) return false;
  }
  return true;
}

std::string default_session_name(std::chrono::system_clock::time_point at) {
  const std::time_t whole = std::chrono::system_clock::to_time_t(at);
  std::tm local{};
  localtime_r(&whole, &local);
  const auto millisecond =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  char name[64];
  std::snprintf(name, sizeof name, "conduit-record-%04d%02d%02d-%02d%02d%02d-%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millisecond));
  return name;
}

std::vector<std::string> unregistered_names(const std::vector<std::string>& names,
                                            const std::vector<ProviderManifest>& records) {
  std::vector<std::string> unknown;
  for (const auto& name : names) {
    auto found = std::find_if(records.begin(), records.end(), [&](const auto& r) { return r.name == name; });
    if (found == records.end() || found->guid == kZeroGuidText) unknown.push_back(name);
  }
  return unknown;
}

std::string unregistered_message(const std::vector<std::string>& unknown) {
  std::string list;
  for (const auto& name : unknown) list += (list.empty() ? "'" : ", '") + name + "'";
  return "not registered on the target: " + list + " (the service would enable the zero GUID " + kZeroGuidText +
         " and answer success; names match exactly, letter case included). Providers that the target's "
         "enumeration does not list, as WPP, TraceLogging and raw providers on Windows, are enabled by GUID: give "
         "the {GUID} in place of the name (record, enable-guid)";
}

std::string hardware_sink_hint(const std::string& errorText, bool forRecord) {
  if (errorText.find("InitializeDevice failed") == std::string::npos) return {};
  return std::string("the target has no TXR device, which the hardware sink (2) writes through: ") +
         (forRecord ? "use --sink stp (MIPI STP file) or --sink file (plain file)"
                    : "choose another sink first (conduit-cli sink 3 for the MIPI STP file, sink 1 for the plain "
                      "file), then start again");
}

int run_record(const RecordPlan& plan, ConduitClient& client, const Connect& reconnect, const RecordOutput& output) {
  g_interruptRequested.store(false, std::memory_order_relaxed);
  InterruptHandlers handlers;
  return Capture(plan, client, reconnect, output).run();
}

}  // namespace conduit::host
