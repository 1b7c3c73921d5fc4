#include "device_mipi_stp2file.h"

#include <mutex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>

#include "log_writer.h"
#include "logged_call.h"
#include "stp_writer.h"
#include "syst.h"
#include "syst_stp_backend.h"
#include "thread_slot.h"
#include "util.h"

namespace {

constexpr DWORD kNoFrequencyOrMemory = 1607;
constexpr int kMaxNameSuffix = 1000;

// The thread slot that binds writing threads to their sink; separate from the redirect's.
ThreadSlot& StpThreadSlot() {
  static ThreadSlot slot;
  return slot;
}

// "<base>.bin" for attempt 0, "<base>_<n>.bin" after that.
WString Candidate(const WString& path, int attempt) {
  if (attempt == 0) return path;
  const WString extension = TEXT(".bin");
  WString stem = path;
  if (stem.size() >= extension.size() && stem.compare(stem.size() - extension.size(), extension.size(), extension) == 0) {
    stem.resize(stem.size() - extension.size());
  }
  char suffix[16];
  std::snprintf(suffix, sizeof(suffix), "_%d", attempt);
  return stem + Util::to_wstring(suffix) + extension;
}

std::uint64_t ReadPerformanceCounter() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return static_cast<std::uint64_t>(now.QuadPart);
}

void ReleaseEncoderHandles(std::uint32_t lastType) {
  for (std::uint32_t type = 0; type <= lastType; ++type) release_mipisyst_handles(type);
}

// Sinks alive with a writer: the shared handles go with the last of them, not with the first
// one torn down while another still writes. The encoder's handle table has no lock of its
// own, so creating and releasing its handles, and this count, go under one lock: two
// sessions' sinks may be initialised or torn down at the same time.
std::mutex g_handleTableLock;
int g_liveSinks = 0;

// Routes the calling thread's stores to one writer for the lifetime of the guard.
class RouteGuard {
 public:
  explicit RouteGuard(StpWriter* writer) : m_previous(syst_stp_route_to(writer)) {}
  ~RouteGuard() { syst_stp_route_to(m_previous); }
  RouteGuard(const RouteGuard&) = delete;
  RouteGuard& operator=(const RouteGuard&) = delete;

 private:
  StpWriter* m_previous;
};

}  // namespace

DeviceMipiSTP2File::DeviceMipiSTP2File()
    : m_file(INVALID_HANDLE_VALUE), m_bytesWritten(0), m_writer(nullptr), m_preambleWritten(false) {
  const WString path = GetUniqueFilename();
  if (path.empty()) {
    WriteLog(LOG_ERROR, "Failed to get the unique filename");
    throw std::system_error(static_cast<int>(ERROR_INTERNAL_ERROR), std::system_category(),
                            "Failed to get the unique filename");
  }
  OpenTraceFile(path);

  LARGE_INTEGER frequency{};
  void* memory = nullptr;
  if (QueryPerformanceFrequency(&frequency) != FALSE && frequency.QuadPart != 0) {
    memory = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(StpWriter));
  }
  if (memory == nullptr) {
    // The file is closed here: a constructor that throws never reaches the destructor.
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    throw std::system_error(static_cast<int>(kNoFrequencyOrMemory), std::system_category(),
                            "no performance-counter frequency or writer memory");
  }
  m_writer = new (memory) StpWriter();
  m_writer->frequency = static_cast<std::uint64_t>(frequency.QuadPart);
  m_writer->base_time = ReadPerformanceCounter();
  m_writer->last_timestamp = StpWriter::kNoTimestamp;
  m_writer->read_clock = &ReadPerformanceCounter;
  m_writer->output = &DeviceMipiSTP2File::save_byte_tofile;
  std::lock_guard handleTable(g_handleTableLock);
  ++g_liveSinks;
}

DeviceMipiSTP2File::~DeviceMipiSTP2File() { FreeResources(); }

void DeviceMipiSTP2File::OpenTraceFile(const WString& path) {
  // CREATE_NEW instead of truncating: two sinks created in the same second each get a file
  // of their own, the later one with a numeric suffix.
  DWORD error = ERROR_FILE_EXISTS;
  WString candidate = path;
  for (int attempt = 0; attempt < kMaxNameSuffix; ++attempt) {
    candidate = Candidate(path, attempt);
    m_file = CreateFileW(candidate.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file != INVALID_HANDLE_VALUE) {
      m_path = candidate;
      WriteLog(LOG_INFO, "Trace file wll be written to : %s\n", Util::to_string(m_path).c_str());
      return;
    }
    error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  WriteLog(LOG_ERROR, "unable to open '%s' for writing , Err : %d", Util::to_string(candidate).c_str(),
           static_cast<int>(error));
  throw std::system_error(static_cast<int>(error), std::system_category(), "unable to open the trace file");
}

WString DeviceMipiSTP2File::GetUniqueFilename() {
  try {
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    GetSystemTime(&universal);
    if (SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local) == FALSE) {
      WriteLog(LOG_ERROR, "Getting Timestamp failed, Err: %d", static_cast<int>(GetLastError()));
      return WString();
    }
    char name[MAX_PATH];
    std::snprintf(name, sizeof(name), "%s_%02d%02d%02d%02d%02d.bin", "ETWTRACE", local.wDay, local.wMonth,
                  local.wHour, local.wMinute, local.wSecond);

    WCHAR programData[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(TEXT("PROGRAMDATA"), programData, MAX_PATH);
    WString path;
    // A value that does not fit is treated as missing rather than used cut short.
    if (length > 0 && length < MAX_PATH) {
      path.assign(programData, length);
      path += TEXT("\\ETW-Traces\\");
      if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryW(path.c_str(), nullptr);
    }
    return path + Util::to_wstring(name);
  } catch (const std::exception& e) {
    LogStandardException("DeviceMipiSTP2File::GetUniqueFilename", e);
  } catch (...) {
    LogGenericException("DeviceMipiSTP2File::GetUniqueFilename");
  }
  return WString();
}

DWORD DeviceMipiSTP2File::Initialize(LPCWSTR) {
  return LoggedCallOr("DeviceMipiSTP2File::Initialize", ERROR_INTERNAL_ERROR, [&]() -> DWORD {
    FunctionTrace trace("DeviceMipiSTP2File::Initialize");
    StpThreadSlot().CreateThreadData(this);
    if (m_writer == nullptr) {
      WriteLog(LOG_ERROR, "unable to Create Mipi decoder");
      FreeResources();
      return ERROR_INTERNAL_ERROR;
    }
    // The redirect initialises the sink on two threads; one preamble per file.
    if (!m_preambleWritten) {
      m_writer->Preamble();
      m_preambleWritten = true;
    }
    {
      std::lock_guard handleTable(g_handleTableLock);
      for (std::uint32_t type = TRACE_RECORD_TYPE_ETW; type <= TRACE_RECORD_TYPE_VEX; ++type) {
        if (init_mipisyst_handle(syst_stp_unrouted_writer(), type) != 0) {
          ReleaseEncoderHandles(TRACE_RECORD_TYPE_VEX);
          break;
        }
      }
    }
    m_writer->Drain();
    return 0;
  });
}

DWORD DeviceMipiSTP2File::Write(LPVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                                LPOVERLAPPED) {
  return LoggedCallOr("DeviceMipiSTP2File::Write", ERROR_INTERNAL_ERROR, [&]() -> DWORD {
    WriteLog(LOG_INFO, "DeviceMipiSTP2File::Write %d ,lpBuffer : 0x%x", static_cast<int>(nNumberOfBytesToWrite),
             static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(lpBuffer)));
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    if (m_writer == nullptr || nNumberOfBytesToWrite == 0 || lpBuffer == nullptr) {
      WriteLog(LOG_ERROR,
               "DeviceMipiSTP2File::Write Invalid Parameter ,mipiencoder:0x%x , nNumberOfBytesToWrite :%d, "
               "lpBuffer:0x%x",
               static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(m_writer)),
               static_cast<int>(nNumberOfBytesToWrite),
               static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(lpBuffer)));
      return ERROR_INVALID_PARAMETER;
    }
    std::uint32_t walk;
    {
      RouteGuard route(m_writer);
      walk = write_trace_data(lpBuffer, nNumberOfBytesToWrite);
    }
    // Each buffer's bytes are in the file when the write returns (the half byte excepted).
    m_writer->Drain();
    // Records left out for want of an encoder handle are not in the file: the buffer is
    // reported as not written, so the caller does not count it as captured.
    if (walk == ERROR_INVALID_HANDLE) return ERROR_INVALID_HANDLE;
    if (walk == 0 && lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return 0;
  });
}

void DeviceMipiSTP2File::save_byte_tofile(const BYTE* bytes, std::size_t count) {
  try {
    auto* sink = static_cast<DeviceMipiSTP2File*>(StpThreadSlot().GetThreadData());
    if (sink == nullptr || sink->m_file == INVALID_HANDLE_VALUE) return;
    sink->AppendToFile(bytes, count);
  } catch (const std::exception& e) {
    LogStandardException("DeviceMipiSTP2File::save_byte_tofile", e);
  } catch (...) {
    LogGenericException("DeviceMipiSTP2File::save_byte_tofile");
  }
}

void DeviceMipiSTP2File::AppendToFile(const BYTE* bytes, std::size_t count) {
  while (count > 0) {
    const DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD done = 0;
    if (WriteFile(m_file, bytes, chunk, &done, nullptr) == FALSE || done == 0) {
      // A failing disk must not go unnoticed: the trace in the file is incomplete from here.
      WriteLog(LOG_ERROR, "DeviceMipiSTP2File::save_byte_tofile WriteFile failed , Err : %lu",
               static_cast<unsigned long>(GetLastError()));
      return;
    }
    m_bytesWritten += done;
    bytes += done;
    count -= done;
  }
}

void DeviceMipiSTP2File::FreeResources() {
  LoggedAndDropped("DeviceMipiSTP2File::FreeResources", [&] {
    // Teardown may run on a thread that never wrote (the last reference can go anywhere):
    // it is bound to this sink for the last output, so the pending half byte and staged
    // bytes reach the file; a binding of that thread to another sink is kept.
    auto* const bound = static_cast<DeviceMipiSTP2File*>(StpThreadSlot().GetThreadData());
    if (m_writer != nullptr && m_file != INVALID_HANDLE_VALUE) {
      StpThreadSlot().CreateThreadData(this);
      m_writer->Flush();
    }
    if (bound != nullptr && bound != this) {
      StpThreadSlot().CreateThreadData(bound);
    } else {
      StpThreadSlot().FreeThreadData();
    }
    if (m_file != INVALID_HANDLE_VALUE) {
      CloseHandle(m_file);
      m_file = INVALID_HANDLE_VALUE;
    }
    m_bytesWritten = 0;
    if (m_writer != nullptr) {
      m_writer->~StpWriter();
      HeapFree(GetProcessHeap(), 0, m_writer);
      m_writer = nullptr;
      std::lock_guard handleTable(g_handleTableLock);
      if (--g_liveSinks == 0) {
        ReleaseEncoderHandles(TRACE_RECORD_TYPE_DEBUG);
        std::memset(&g_syst_handle_table[0], 0, sizeof(g_syst_handle_table[0]));
      }
    }
  });
}
