// Runs an operation so that an exception leaving it is logged at level 3 under the
// operation's qualified name ("STANDARD EXCEPTION Fn: ..." / "GENERIC EXCEPTION Fn: ...").
// Each layer a failure crosses leaves its own line, which is how a log reader follows a bad
// request down to the item that failed.
//  - LoggedCall passes the exception on unchanged, and returns what the operation returns.
//  - LoggedAndDropped ends it there: for operations whose failure the caller only logs
//    (destructors, best-effort clean-up, one item of a list that goes on without it).
//  - LoggedCallOr ends it there too, and answers `fallback` instead: for operations that
//    report failure by their result (a Win32 status, an empty text), where an exception
//    must not cross the boundary. `onFailure` releases what the operation held, and runs
//    only when it threw.
#pragma once

#include <exception>
#include <type_traits>
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

template <typename Body, typename OnFailure = void (*)()>
std::invoke_result_t<Body&> LoggedCallOr(
    const char* qualifiedName, std::type_identity_t<std::invoke_result_t<Body&>> fallback, Body&& body,
    OnFailure&& onFailure = [] {}) {
  try {
    return body();
  } catch (const std::exception& e) {
    LogStandardException(qualifiedName, e);
  } catch (...) {
    LogGenericException(qualifiedName);
  }
  std::forward<OnFailure>(onFailure)();
  return fallback;
}
