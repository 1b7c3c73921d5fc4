#include <csignal>
#include <iostream>

#include "stpdump_app.h"

namespace {
void OnSignal(int) { stpdump::RequestStop(); }
}  // namespace

// Ctrl-C ends the read loop; the output is then finished as at the end of the file.
int main(int argc, char** argv) {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  return stpdump::RunStpdump(argc, argv, std::cout, std::cerr);
}
