// conduit-cli: one subcommand per function code of the service's remote API.
//
// Exit codes: 0 success; 1 the service answered with an error status (its text is printed);
// 2 a usage error; 3 the service could not be reached or did not answer.
#pragma once

#include <iosfwd>

namespace conduit::host {

int run_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace conduit::host
