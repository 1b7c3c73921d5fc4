// The stpdump command line over the decoder library: options, reading a file or a growing
// capture, progress, output and exit status (0 decoded, 1 input error, 2 usage error).
#pragma once

#include <ostream>

namespace stpdump {

int run_stpdump(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// Asks a running run_stpdump to stop reading and finish its output (from a signal handler).
void request_stop();

}  // namespace stpdump
