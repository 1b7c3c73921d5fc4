// Whether the virtual target runs an ETW session of that name: what a tool such as
// `logman query -ets` would show, asked through the platform rather than the service.
#pragma once

#include <string>
#include <vector>

#include "evntrace.h"

inline bool IsSessionRunning(const std::u16string& name) {
  std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 2 * (name.size() + 1), 0);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
  return ControlTraceW(0, name.c_str(), properties, EVENT_TRACE_CONTROL_QUERY) == ERROR_SUCCESS;
}
