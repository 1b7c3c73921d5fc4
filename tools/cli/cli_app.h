// conduit-cli: one subcommand per function code of the service's remote API.
//
// Exit codes: 0 success; 1 the service answered with an error status (its text is printed),
// a provider name the target does not know, or `manifests` got no manifest for any name;
// 2 a usage error; 3 the service could not be reached or did not answer (`record`: also the
// target lost during the wait); 4 `record`'s session was replaced by another client's.
//
// With --json every outcome, failures included, is one JSON object on standard output with
// its "exit_code" (and "error" when it failed); the readable messages still go to standard
// error.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "conduit_client.h"

namespace conduit::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitServiceError = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreachable = 3;
inline constexpr int kExitSessionReplaced = 4;

// One provider of `enable`/`enable-guid`: PROVIDER[:LEVEL[:ANY[:ALL]]], the masks in hex
// (0x...) or decimal; what is left out comes from `defaults` (the options that apply to
// all). nullopt when the text is not of that form.
std::optional<ProviderSetting> parse_provider_setting(const std::string& text, const ProviderSetting& defaults);

int run_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace conduit::host
