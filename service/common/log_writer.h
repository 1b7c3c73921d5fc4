// The service's one process-wide text log.
//
// Every entry is formatted printf-style, dropped when its level is below the threshold, and
// otherwise appended to the log file with a time stamp; the file is opened and closed per
// entry so that the log survives a crash up to its last line. Levels: 0 debug,
// 1 information, 2 warning, 3 error. Callers write the level word ("DEBUG #", "ERROR #",
// ...) at the head of their own format.
//
// Thread safety: WriteLog may be called from any thread. SetLogFilePath and SetLogLevel are
// called once during start-up, before other threads exist.
#pragma once

#include <exception>
#include <string>

#include "windef.h"

constexpr INT LOG_DEBUG = 0;
constexpr INT LOG_INFO = 1;
constexpr INT LOG_WARNING = 2;
constexpr INT LOG_ERROR = 3;

// The narrow file names of the log and of the fallback used after a failed open.
extern const char* const LOG_FILE_NAME;         // "Conduit_logs.txt"
extern const char* const LOG_BACKUP_FILE_NAME;  // "Conduit_logs_backup.txt"

// The stand-in's compilers check the format against the arguments; elsewhere nothing does.
#ifndef STANDIN_PRINTF_FORMAT
#define STANDIN_PRINTF_FORMAT(format_index, first_argument)
#endif

void WriteLog(INT level, const char* format, ...) STANDIN_PRINTF_FORMAT(2, 3);

// Replaces the log path and deletes any file already there, so each run starts afresh.
void SetLogFilePath(const std::string& path);

// Parses a signed decimal threshold as atoi does (0 when there are no digits).
void SetLogLevel(const std::string& text);

// The current path and threshold, for the service's own diagnostics and for tests.
std::string GetLogFilePath();
INT GetLogThreshold();

// Logs "DEBUG #  Entering  function <name>" on construction and "DEBUG #  Exiting function
// <name>" on destruction, so that every exit of an operation, thrown or returned, is traced.
class FunctionTrace {
 public:
  explicit FunctionTrace(const char* qualifiedName);
  ~FunctionTrace();
  FunctionTrace(const FunctionTrace&) = delete;
  FunctionTrace& operator=(const FunctionTrace&) = delete;

 private:
  const char* m_name;
};

// The two exception lines every handler writes at level 3:
// "STANDARD EXCEPTION Fn: <name> : Exception: <what>" and "GENERIC EXCEPTION Fn: <name>".
void LogStandardException(const char* qualifiedName, const std::exception& e);
void LogGenericException(const char* qualifiedName);
