// Structured exception handling for driver code: __try { ... } __except (filter) { ... },
// GetExceptionCode() and GetExceptionInformation(), built on C++ exceptions.
//
// The kernel surface raises a structured exception by throwing a RaisedException that
// carries its EXCEPTION_RECORD (an MMIO access the hardware refuses or that falls outside
// every mapping, ExRaiseStatus, sim::raise_next). `__try` is `try`; `__except (filter)`
// catches a RaisedException, evaluates `filter` with GetExceptionInformation() and
// GetExceptionCode() naming that exception, and then:
//   - EXCEPTION_EXECUTE_HANDLER: the braces after __except (the handler) run, and
//     GetExceptionCode() there names the exception handled;
//   - EXCEPTION_CONTINUE_SEARCH: the exception goes on to the next enclosing __except; one
//     that no __except handles reaches the framework, which bug-checks (0x1E), as Windows
//     does for an exception unhandled in kernel mode;
//   - EXCEPTION_CONTINUE_EXECUTION: not supported (the faulting store cannot be resumed);
//     it bug-checks.
//
// Limits, compared with the compiler's own structured exceptions:
//   - the handler follows the try block as an `if`, so `__except (...) { } else` does not
//     mean what it seems; __finally and __leave do not exist;
//   - only exceptions the stand-in raises are caught (not a stray pointer dereference,
//     which crashes the process, nor C++ exceptions);
//   - GetExceptionInformation() is valid only while the filter runs (as on Windows);
//     GetExceptionCode() in a handler gives the exception that handler took, until another
//     handler on the same thread takes one.
// Guards may nest and several may stand in one function.
// Threads: the state that makes GetException*() valid is per thread.
#pragma once

#include "ntdef.h"

// libstdc++'s <ios> names a parameter __except; it is read before the macro below exists.
#include <ios>

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

namespace platform::kernel::seh {

class RaisedException {
 public:
  explicit RaisedException(const EXCEPTION_RECORD& raised) : record(raised) {}
  EXCEPTION_RECORD record;
};

// The exception whose filter runs on this thread (null outside filters), and the code of
// the exception the last handler on this thread took.
inline thread_local EXCEPTION_POINTERS* t_filtered = nullptr;
inline thread_local NTSTATUS t_handled_code = 0;
inline thread_local bool t_handler_pending = false;

[[noreturn]] void continue_execution_is_not_supported(const EXCEPTION_RECORD& record);

// Runs in the catch clause of __except: a filter that does not ask for the handler lets the
// exception go on (`throw;` rethrows the one being handled).
template <typename Filter>
void filter_or_rethrow(RaisedException& raised, Filter&& filter) {
  EXCEPTION_POINTERS pointers{&raised.record, nullptr};
  EXCEPTION_POINTERS* const enclosing = t_filtered;
  t_filtered = &pointers;
  struct Restore {
    EXCEPTION_POINTERS* enclosing;
    ~Restore() { t_filtered = enclosing; }
  } restore{enclosing};
  const long decision = static_cast<long>(filter());
  if (decision == EXCEPTION_EXECUTE_HANDLER) {
    t_handled_code = raised.record.ExceptionCode;
    t_handler_pending = true;
    return;
  }
  if (decision == EXCEPTION_CONTINUE_EXECUTION) continue_execution_is_not_supported(raised.record);
  throw;
}

// True once after a filter chose the handler: the `if` that holds the handler consumes it.
inline bool take_handler() {
  if (!t_handler_pending) return false;
  t_handler_pending = false;
  return true;
}

inline EXCEPTION_POINTERS* exception_information() { return t_filtered; }
inline NTSTATUS exception_code() {
  return t_filtered != nullptr ? t_filtered->ExceptionRecord->ExceptionCode : t_handled_code;
}

// Throws the structured exception `record` describes.
[[noreturn]] void raise(const EXCEPTION_RECORD& record);

}  // namespace platform::kernel::seh

// libstdc++ defines __try the same way; an identical definition is allowed.
#ifndef __try
#define __try try
#endif

// Variadic, so that a filter may be a comma expression, as the compiler's own allows.
#define __except(...)                                                                                      \
  catch (::platform::kernel::seh::RaisedException & platform_seh_raised_) {                              \
    ::platform::kernel::seh::filter_or_rethrow(platform_seh_raised_, [&]() { return (__VA_ARGS__); }); \
  }                                                                                                       \
  if (::platform::kernel::seh::take_handler())

#define GetExceptionCode() (::platform::kernel::seh::exception_code())
#define GetExceptionInformation() (::platform::kernel::seh::exception_information())
