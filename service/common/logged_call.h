// Runs an operation so that an exception leaving it is logged at level 3 under the
// operation's qualified name ("STANDARD EXCEPTION Fn: ..." / "GENERIC EXCEPTION Fn: ...").
// Each layer a failure crosses leaves its own line, which is how a log reader follows a bad
// request down to the item that failed.
//  - LoggedCall passes the exception on unchanged, and returns what the operation returns.
//  - LoggedAndDropped ends it there: for operations whose failure the caller only logs
//    (destructors, best-effort clean-up, one item of a list that goes on without it).
#pragma once

#include <exception>
#include <utility>

#include "log_writer.h"

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

template <typename Body>
void LoggedAndDropped(const char* qualifiedName, Body&& body) {
  try {
    std::forward<Body>(body)();
  } catch (const std::exception& e) {
    LogStandardException(qualifiedName, e);
  } catch (...) {
    LogGenericException(qualifiedName);
  }
}
