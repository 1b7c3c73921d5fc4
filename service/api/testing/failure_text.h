// The text of the exception a test body throws, or "(no exception)", so that tests compare
// the exact message a peer or a log reader would see.
#pragma once

#include <exception>
#include <string>

template <typename Body>
std::string FailureText(Body&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}
