// The demo event writers of conduit-target: one object that registers the target's demo
// providers with EventRegister and writes their events with EventWrite, as the programs that
// own those providers would on Windows, so that a session the host starts through Conduit
// has events of every decoding source to enable, redirect and decode:
//
//   index  provider                      what one event carries
//   0      Conduit-Demo-Events           manifest events 1..6 in turn (strings, integers,
//                                        hexadecimal, GUID, boolean, FILETIME, SYSTEMTIME,
//                                        value and bit maps, arrays, binary, message templates)
//   1      Conduit-Demo-Mof              MOF event types 1 "Start" and 2 "Stop" in turn
//   2      Conduit-Demo-Wpp              a preformatted WPP message, numbers 10 and 11 in turn
//   3      Conduit-Demo-TraceLogging     the self-describing event "DemoTick"
//   4      DUX {4B32ADDB-...}            raw: a 2-byte length, then text
//   5      VEX {50535F19-...}            raw: a 2-byte length, then text
//
// WriteRound(n) writes one event of each provider, in index order, with contents derived
// from n alone (time values included), so that tests can write exact sequences. Start(rate)
// runs a thread that writes events at `rate` events per second in all, round after round
// (event k is provider k % 6 of round k / 6), paced against a steady clock: a late wake-up
// writes the events that fell due meanwhile, and more than a second's backlog is dropped
// rather than written as a burst. Stop (and the destructor) ends that thread promptly.
//
// Thread safety: WriteRound may be called from any thread, also while the rate thread runs;
// Start and Stop from one controlling thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "evntprov.h"

namespace conduit::target {

class DemoEvents {
 public:
  static constexpr unsigned kProviders = 6;
  static constexpr unsigned kDefaultRate = 300;

  struct Provider {
    const char* name;
    const char* guidText;
    GUID guid;
  };
  static const Provider kProviderTable[kProviders];

  // Registers every demo provider. With `console`, each enable and disable of a provider is
  // announced there ("conduit-target: demo provider NAME enabled (level L, any 0x..)").
  // Throws std::runtime_error naming the provider EventRegister refused.
  explicit DemoEvents(std::ostream* console = nullptr);
  ~DemoEvents();  // stops the rate thread, unregisters
  DemoEvents(const DemoEvents&) = delete;
  DemoEvents& operator=(const DemoEvents&) = delete;

  // One event of each provider for round n; the number of events EventWrite accepted.
  unsigned WriteRound(std::uint64_t n);
  // One event of provider `index` (0..5) for round n; EventWrite's result.
  ULONG WriteEvent(unsigned index, std::uint64_t n);

  // Starts writing `rate` events per second in all (0: no thread). A running thread is
  // stopped first; the sequence starts at round 0 again.
  void Start(unsigned rate);
  void Stop();
  // Events the rate thread has written (accepted or not) since the last Start.
  std::uint64_t EventsWritten() const { return m_written.load(); }

 private:
  struct Registration {
    DemoEvents* owner = nullptr;
    unsigned index = 0;
    REGHANDLE handle = 0;
  };
  static VOID OnEnable(LPCGUID source, ULONG isEnabled, UCHAR level, ULONGLONG matchAny, ULONGLONG matchAll,
                             PEVENT_FILTER_DESCRIPTOR filter, PVOID context);
  void Run(unsigned rate);

  std::ostream* m_console;
  std::mutex m_consoleMutex;
  Registration m_registrations[kProviders];
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;
  std::atomic<bool> m_stopRequested{false};
  std::atomic<std::uint64_t> m_written{0};
};

}  // namespace conduit::target
