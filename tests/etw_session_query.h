// ETW sessions of the virtual target asked or stopped through the platform rather than the
// service, as `logman query -ets` and `logman stop -ets` would.
#pragma once

#include <string>
#include <vector>

#include "evntrace.h"

inline ULONG ControlSessionByName(const std::u16string& name, ULONG code) {
  std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 2 * (name.size() + 1), 0);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
  return ControlTraceW(0, name.c_str(), properties, code);
}

inline bool IsSessionRunning(const std::u16string& name) {
  return ControlSessionByName(name, EVENT_TRACE_CONTROL_QUERY) == ERROR_SUCCESS;
}
