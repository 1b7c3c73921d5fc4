// Runs an operation of the wire layer so that an exception passing through it is logged at
// level 3 under the operation's qualified name and then passed on unchanged: each layer a
// failure crosses leaves its own line, which is how a log reader follows a bad request down
// to the item that failed.
#pragma once

#include <exception>
#include <utility>

#include "log_writer.h"

namespace wire_detail {

template <typename Body>
decltype(auto) LoggedCall(const char* qualifiedName, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    LogStandardException(qualifiedName, e);
    throw;
  } catch (...) {
    LogGenericException(qualifiedName);
    throw;
  }
}

}  // namespace wire_detail
