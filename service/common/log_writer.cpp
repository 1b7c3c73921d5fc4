#include "log_writer.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "util.h"
#include "windows.h"

const char* const LOG_FILE_NAME = "Conduit_logs.txt";
const char* const LOG_BACKUP_FILE_NAME = "Conduit_logs_backup.txt";

namespace {

std::atomic<INT> g_threshold{LOG_DEBUG};

// One lock around the path and the whole open-write-close of an entry: entries from
// concurrent threads never interleave, and the switch to the backup name cannot race.
// Both are left alive at exit, so that destructors of other statics may still log.
std::mutex& LogMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}

std::string& LogPath() {
  static std::string* const path = new std::string(LOG_FILE_NAME);
  return *path;
}

HANDLE OpenForAppend(const std::string& path) {
  WString widePath;
  try {
    widePath = Util::to_wstring(path);
  } catch (const std::exception&) {
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(widePath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The runtime's classic ctime form, line end included: "Wed Jun 30 21:49:08 1993\n".
std::string LocalTimeText() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  SYSTEMTIME now{};
  GetLocalTime(&now);
  if (now.wDayOfWeek > 6 || now.wMonth < 1 || now.wMonth > 12) {
    return "\n";
  }
  char text[50] = {};
  std::snprintf(text, sizeof text, "%.3s %.3s%3u %.2u:%.2u:%.2u %u\n", kDays[now.wDayOfWeek], kMonths[now.wMonth - 1],
                static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wHour), static_cast<unsigned>(now.wMinute),
                static_cast<unsigned>(now.wSecond), static_cast<unsigned>(now.wYear));
  return text;
}

}  // namespace

void WriteLog(INT level, const char* format, ...) {
  if (format == nullptr || level < g_threshold.load(std::memory_order_relaxed)) {
    return;
  }
  try {
    const size_t bufferSize = std::strlen(format) + 200;
    std::vector<char> message(bufferSize, '\0');
    va_list arguments;
    va_start(arguments, format);
    // A message longer than the buffer is cut at its end instead of running past it.
    const int formatted = std::vsnprintf(message.data(), bufferSize, format, arguments);
    va_end(arguments);
    if (formatted < 0) {
      message[0] = '\0';
    }

    std::string entry(message.data());
    entry += "\n";
    entry += "\t";
    entry += "DateTime : ";
    entry += LocalTimeText();
    entry += "\n\n";

    std::lock_guard<std::mutex> guard(LogMutex());
    HANDLE file = OpenForAppend(LogPath());
    if (file == INVALID_HANDLE_VALUE) {
      // For good: once the main file could not be opened, every later entry goes to the
      // backup in the working directory.
      LogPath() = LOG_BACKUP_FILE_NAME;
      file = OpenForAppend(LogPath());
      if (file == INVALID_HANDLE_VALUE) {
        return;
      }
    }
    const char* data = entry.data();
    size_t remaining = entry.size();
    while (remaining > 0) {
      DWORD written = 0;
      const DWORD chunk = remaining > 0x7fffffffu ? 0x7fffffffu : static_cast<DWORD>(remaining);
      if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) {
        break;
      }
      data += written;
      remaining -= written;
    }
    CloseHandle(file);
  } catch (...) {
    // The log never reports its own failures to the caller.
  }
}

void SetLogFilePath(const std::string& path) {
  std::lock_guard<std::mutex> guard(LogMutex());
  LogPath() = path;
  DeleteFileA(path.c_str());
}

void SetLogLevel(const std::string& text) {
  // atoi's reading (blanks, sign, digits, 0 without digits), but clamped instead of
  // undefined when the digits overflow.
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  INT threshold = 0;
  if (value > INT_MAX) {
    threshold = INT_MAX;
  } else if (value < INT_MIN) {
    threshold = INT_MIN;
  } else {
    threshold = static_cast<INT>(value);
  }
  g_threshold.store(threshold, std::memory_order_relaxed);
}

std::string GetLogFilePath() {
  std::lock_guard<std::mutex> guard(LogMutex());
  return LogPath();
}

INT GetLogThreshold() { return g_threshold.load(std::memory_order_relaxed); }

FunctionTrace::FunctionTrace(const char* qualifiedName) : m_name(qualifiedName) {
  WriteLog(LOG_DEBUG, "DEBUG #  Entering  function %s", m_name);
}

FunctionTrace::~FunctionTrace() { WriteLog(LOG_DEBUG, "DEBUG #  Exiting function %s", m_name); }

void LogStandardException(const char* qualifiedName, const std::exception& e) {
  WriteLog(LOG_ERROR, "STANDARD EXCEPTION Fn: %s : Exception: %s", qualifiedName, e.what());
}

void LogGenericException(const char* qualifiedName) {
  WriteLog(LOG_ERROR, "GENERIC EXCEPTION Fn: %s", qualifiedName);
}
