// conduit-cli run in this process, as its executable would run it: the exit code and what
// went to standard output and standard error.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli_app.h"

namespace conduit::testing {

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

// `arguments` without the program name.
inline CliRun run_cli_in_process(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "conduit-cli");
  std::vector<const char*> argv;
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  std::ostringstream out, err;
  const int code = conduit::host::run_cli(static_cast<int>(argv.size()), argv.data(), out, err);
  return {code, out.str(), err.str()};
}

}  // namespace conduit::testing
