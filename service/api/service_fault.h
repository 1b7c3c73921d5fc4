// The fault that the service's API operations throw to report a failure with a Win32 code.
//
// Only the dispatcher catches it: it becomes a status-1 response whose result text carries
// the message and the code.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "windef.h"

class QLXServiceFault : public std::exception {
 public:
  QLXServiceFault(std::string message, DWORD code) : errorCode(code), m_message(std::move(message)) {}

  const char* what() const noexcept override { return m_message.c_str(); }

  DWORD errorCode;

 private:
  std::string m_message;
};
