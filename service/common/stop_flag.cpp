#include "stop_flag.h"

std::atomic<bool>& ServiceStopRequested() {
  // Written by the stop hook and the socket server's shut-down, read by the accept and
  // client loops on their own threads: a plain bool here would be a data race.
  static std::atomic<bool> stopRequested{false};
  return stopRequested;
}
