// DeviceMipiSTP2File: the trace sink that writes, instead of hardware output, a file holding
// the MIPI STP packet stream the hardware would have produced for the same SyS-T messages.
//
// Lifecycle: constructed (file created, writer ready) -> Initialize on each thread that will
// write (binds the thread, writes the stream preamble once per file, creates the encoder's
// handles of types 0 to 3) -> Write any number of times from a bound thread -> destruction
// (pending half byte written, file closed, writer and handles released).
//
// The file is <PROGRAMDATA>\ETW-Traces\ETWTRACE_DDMMhhmmss.bin (local time of creation),
// with _1, _2, ... before the extension when that name is already taken.
//
// Threads: the writer's bytes reach the file only from threads that called Initialize (the
// STP thread slot binds them); output from any other thread is dropped. One thread writes
// a sink at a time. Sinks may be alive and written at the same time (on their own threads):
// each routes its thread's stores to its own writer, and the encoder's process-wide handles
// are released with the last sink.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "device_base.h"
#include "util.h"

struct StpWriter;

class DeviceMipiSTP2File : public DeviceBase {
 public:
  // Throws std::system_error: 1359 without a file name, the platform's error when the file
  // cannot be created, 1607 without a performance-counter frequency or writer memory.
  DeviceMipiSTP2File();
  ~DeviceMipiSTP2File() override;

  DWORD Initialize(LPCWSTR sessionName) override;
  DWORD Write(LPVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
              LPOVERLAPPED lpOverlapped) override;

  // The trace file's path for the current local time; empty on failure.
  static WString GetUniqueFilename();
  // The writer's byte output: appends a run of completed bytes to the file of the sink bound
  // to the calling thread.
  static void save_byte_tofile(const BYTE* bytes, std::size_t count);
  // Writes the pending half byte, unbinds the calling thread, closes the file, releases the
  // writer and the encoder's handles. Safe to call more than once.
  void FreeResources();

  const WString& FilePath() const { return m_path; }
  ULONGLONG BytesWritten() const { return m_bytesWritten; }

 private:
  void OpenTraceFile(const WString& path);
  void AppendToFile(const BYTE* bytes, std::size_t count);

  HANDLE m_file;
  ULONGLONG m_bytesWritten;
  StpWriter* m_writer;
  bool m_preambleWritten;
  WString m_path;
};
