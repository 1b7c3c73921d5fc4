// `conduit-cli record`: one whole capture, as a host engineer runs it by hand.
//
//   resolve names (0) -> sink (9) -> start (2) -> enable names (5) -> enable GUIDs (10)
//   -> redirect (7) -> wait (duration or Ctrl-C) -> release GUIDs (11) -> stop (3)
//
// Names are resolved before anything is started because the service accepts a name it does
// not know (it enables the zero GUID and answers success): a typo would otherwise record
// nothing, and would first have restarted a running session of the same name.
//
// Once the start has been answered, the session is stopped whatever happens next: a failed
// enable or redirect, Ctrl-C or SIGTERM at any point, the wait running out. When the
// connection is lost, the stop is tried once more on a fresh one.
//
// While it waits it watches the connection: the service's close shows at once (the service
// sends nothing unasked, so anything readable is the close), and a ping every few seconds
// finds a target that went silent. Either ends the wait early.
//
// The service runs one session at a time: another client's start of another name drops
// this session and its redirect. Nothing that leaves the session alone tells that while
// waiting (a ping answers the same), so the stop finds it: "Session not started".
//
// Exit codes as for every subcommand: 0 done (also when interrupted, if the stop worked),
// 1 the service answered an error (the step and its text are printed; also a name the target
// does not know and a failed stop), 3 unreachable, no answer, or the target lost during the
// wait, 4 the session was replaced by another client's (its capture ended early).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conduit_client.h"

namespace conduit::host {

// The sink the service's session start creates, by the number SetSyncType takes.
using protocol::SinkType;

struct RecordPlan {
  std::string session;  // default_session_name() when the engineer names none
  SinkType sink = SinkType::StpFile;
  std::vector<ProviderSetting> byName;  // function 5
  std::vector<ProviderSetting> byGuid;  // function 10; `name` holds the GUID text
  std::optional<double> durationSeconds;  // none: until interrupted
  // How often the wait asks the service whether it still answers. The close of the
  // connection shows without asking; the ping finds a target that went silent without closing
  // (cut cable, hung machine), through the client's time-out. Each ping is a few lines in the
  // service's log, hence not every second.
  std::chrono::milliseconds pingEvery{5000};
};

struct RecordOutput {
  std::ostream& out;
  std::ostream& err;
  bool json = false;
  bool errIsTerminal = false;  // the elapsed-time line is rewritten in place only then
};

using Connect = std::function<std::unique_ptr<ConduitClient>()>;

// Runs the capture over `client`; `reconnect` is used only to retry the stop after the
// connection broke. Installs SIGINT and SIGTERM handlers for its duration (the previous ones
// come back afterwards) and clears a pending interrupt request when it begins.
int run_record(const RecordPlan& plan, ConduitClient& client, const Connect& reconnect, const RecordOutput& output);

// What the signal handlers do: ends the wait, or skips the steps not yet taken, of the
// capture running now. Async-signal-safe; tests call it to interrupt without a signal.
void request_interrupt();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with hexadecimal digits of either case.
bool is_guid_text(const std::string& text);

// A session name of its own for every run, so that the plain file sink (SESSION.bin) never
// overwrites an earlier capture unless the engineer reuses a name: "conduit-record-" and the
// host's local time to the millisecond, "YYYYMMDD-HHMMSS-mmm" (a plain file name: no ':').
std::string default_session_name(std::chrono::system_clock::time_point at);

// The names among `names` that the function-0 `records` give no provider for (the zero GUID,
// or no record), and the message that refuses them: the service itself would enable the zero
// GUID and answer success.
std::vector<std::string> unregistered_names(const std::vector<std::string>& names,
                                            const std::vector<ProviderManifest>& records);
std::string unregistered_message(const std::vector<std::string>& unknown);

// What to do when a start failed because the target has no TXR device for the hardware sink
// (the service's fixed text says only that the device is not managed by the OS); empty for
// any other error text. `forRecord`: the advice in `record`'s options, else in subcommands.
std::string hardware_sink_hint(const std::string& errorText, bool forRecord);

}  // namespace conduit::host
