#include <csignal>
#include <iostream>

#include "stpdump_app.h"

namespace {
void on_signal(int) { stpdump::request_stop(); }
}  // namespace

// Ctrl-C ends the read loop; the output is then finished as at the end of the file.
int main(int argc, char** argv) {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  return stpdump::run_stpdump(argc, argv, std::cout, std::cerr);
}
