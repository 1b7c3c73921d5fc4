// The process-wide stop request, set by the service's stop hook and by the socket server's
// shut-down, polled by the accept and client loops on other threads (hence atomic).
#pragma once

#include <atomic>

std::atomic<bool>& ServiceStopRequested();
