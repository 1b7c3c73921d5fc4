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
// Exit codes as for every subcommand: 0 done (also when interrupted, if the stop worked),
// 1 the service answered an error (the step and its text are printed; also a name the target
// does not know and a failed stop), 3 unreachable or no answer.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conduit_client.h"

namespace conduit::host {

// The service's sink type numbers.
enum class SinkType : std::uint32_t { PlainFile = 1, Hardware = 2, StpFile = 3 };

struct RecordPlan {
  std::string session;
  SinkType sink = SinkType::StpFile;
  std::vector<ProviderSetting> byName;  // function 5
  std::vector<ProviderSetting> byGuid;  // function 10; `name` holds the GUID text
  std::optional<double> durationSeconds;  // none: until interrupted
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

}  // namespace conduit::host
