#include "demo_events.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "windows.h"

namespace conduit::target {

const DemoEvents::Provider DemoEvents::kProviderTable[kProviders] = {
    {"Conduit-Demo-Events", "{3C8EB5F2-4F6C-428B-AED5-59D699BADD57}",
     {0x3C8EB5F2, 0x4F6C, 0x428B, {0xAE, 0xD5, 0x59, 0xD6, 0x99, 0xBA, 0xDD, 0x57}}},
    {"Conduit-Demo-Mof", "{CEEDAB19-C4D2-4422-95C8-C1A4E964CFEC}",
     {0xCEEDAB19, 0xC4D2, 0x4422, {0x95, 0xC8, 0xC1, 0xA4, 0xE9, 0x64, 0xCF, 0xEC}}},
    {"Conduit-Demo-Wpp", "{B73936B8-00D5-4C4F-ACFC-65506CE7AFBF}",
     {0xB73936B8, 0x00D5, 0x4C4F, {0xAC, 0xFC, 0x65, 0x50, 0x6C, 0xE7, 0xAF, 0xBF}}},
    {"Conduit-Demo-TraceLogging", "{52356A46-2DE7-42FD-9C46-C5373C1928AB}",
     {0x52356A46, 0x2DE7, 0x42FD, {0x9C, 0x46, 0xC5, 0x37, 0x3C, 0x19, 0x28, 0xAB}}},
    {"DUX", "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}",
     {0x4B32ADDB, 0xAE0F, 0x4395, {0x80, 0x4B, 0x0C, 0x1A, 0xAD, 0x9E, 0x67, 0x56}}},
    {"VEX", "{50535F19-6E34-4032-8BE4-768BA2EBA247}",
     {0x50535F19, 0x6E34, 0x4032, {0x8B, 0xE4, 0x76, 0x8B, 0xA2, 0xEB, 0xA2, 0x47}}},
};

namespace {

enum : unsigned { kManifest, kMof, kWpp, kTraceLogging, kDux, kVex };

// Conduit-Demo-Events' descriptors, as its manifest declares them: id, version, channel
// (System 8, Operational 16, Analytic 17), level, opcode, task, keywords.
constexpr ULONGLONG kKeywordSession = 0x1, kKeywordNetwork = 0x2, kKeywordStorage = 0x4,
                    kKeywordDiagnostic = 0x800000000000ull, kKeywordResponseTime = 0x0001000000000000ull;
constexpr EVENT_DESCRIPTOR kSessionStarted = {1, 0, 16, 4, 1, 1, kKeywordSession};
constexpr EVENT_DESCRIPTOR kSessionStopped = {2, 0, 16, 4, 2, 1, kKeywordSession | kKeywordResponseTime};
constexpr EVENT_DESCRIPTOR kSessionStateChanged = {3, 1, 17, 16, 10, 1, kKeywordSession | kKeywordDiagnostic};
constexpr EVENT_DESCRIPTOR kTransferCompleted = {4, 0, 17, 5, 0, 2, kKeywordNetwork | kKeywordStorage};
constexpr EVENT_DESCRIPTOR kTransferFailed = {5, 0, 8, 2, 11, 2, kKeywordNetwork};
constexpr EVENT_DESCRIPTOR kHeartbeat = {6, 0, 16, 0, 0, 0, kKeywordResponseTime};
// Classic MOF events carry the event type as their opcode.
constexpr EVENT_DESCRIPTOR kMofStart = {0, 0, 0, 4, 1, 0, 0};
constexpr EVENT_DESCRIPTOR kMofStop = {0, 0, 0, 4, 2, 0, 0};
// WPP identifies a trace message by its number.
constexpr EVENT_DESCRIPTOR kWppTrace = {10, 0, 0, 4, 0, 0, 0};
constexpr EVENT_DESCRIPTOR kWppVerbose = {11, 0, 0, 5, 0, 0, 0};
constexpr EVENT_DESCRIPTOR kTick = {0, 0, 0, 4, 0, 0, 0};
constexpr EVENT_DESCRIPTOR kRaw = {1, 0, 0, 4, 0, 0, 0};

// 2026-01-01T00:00:00Z as a FILETIME (100 ns units since 1601).
constexpr ULONGLONG kFileTimeBase = 134116992000000000ull;

// One event's user data, laid out field after field as the event's template declares it.
class Payload {
 public:
  template <typename T>
  Payload& Value(const T& value) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&value);
    m_bytes.insert(m_bytes.end(), bytes, bytes + sizeof value);
    return *this;
  }
  // UTF-16 with its terminator; the demo's texts are ASCII.
  Payload& Wide(const std::string& text) {
    for (char c : text) Value(static_cast<WCHAR>(static_cast<unsigned char>(c)));
    return Value(WCHAR{0});
  }
  Payload& Ansi(const std::string& text) { return Bytes(text).Value(char{0}); }
  Payload& Bytes(const std::string& bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
  }

  ULONG Write(REGHANDLE handle, const EVENT_DESCRIPTOR& descriptor) const {
    EVENT_DATA_DESCRIPTOR item;
    EventDataDescCreate(&item, m_bytes.data(), static_cast<ULONG>(m_bytes.size()));
    return EventWrite(handle, &descriptor, m_bytes.empty() ? 0 : 1, m_bytes.empty() ? nullptr : &item);
  }

 private:
  std::vector<BYTE> m_bytes;
};

std::string Number(std::uint64_t n) { return std::to_string(n); }

FILETIME FileTimeOf(std::uint64_t n) {
  // A minute and a bit per round, so that every field of the rendering moves.
  const ULONGLONG value = kFileTimeBase + n * 610000000ull + n * 1234ull;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(value);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}

SYSTEMTIME SystemTimeOf(std::uint64_t n) {
  SYSTEMTIME time{};
  time.wYear = 2026;
  time.wMonth = static_cast<WORD>(1 + n % 12);
  time.wDay = static_cast<WORD>(1 + n % 28);
  time.wHour = static_cast<WORD>(n % 24);
  time.wMinute = static_cast<WORD>(n * 7 % 60);
  time.wSecond = static_cast<WORD>(n * 13 % 60);
  time.wMilliseconds = static_cast<WORD>(n * 37 % 1000);
  // Day of the week by Sakamoto's rule (0 = Sunday).
  static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  int year = time.wYear;
  if (time.wMonth < 3) --year;
  time.wDayOfWeek =
      static_cast<WORD>((year + year / 4 - year / 100 + year / 400 + offsets[time.wMonth - 1] + time.wDay) % 7);
  return time;
}

GUID ActivityOf(std::uint64_t n) {
  GUID guid = {0xC0DE0000u + static_cast<ULONG>(n & 0xFFFF), 0x4D45, 0x4D4F, {0x80, 0x00, 0, 0, 0, 0, 0, 0}};
  for (int i = 0; i < 6; ++i) guid.Data4[2 + i] = static_cast<BYTE>(n >> (8 * (5 - i)));
  return guid;
}

ULONG WriteManifestEvent(REGHANDLE handle, std::uint64_t n) {
  const std::string round = Number(n);
  switch (n % 6) {
    case 0:
      return Payload()
          .Wide("demo-" + round)
          .Value(static_cast<ULONG>(n))
          .Value(static_cast<ULONG>(0xA0000000u | (n & 0xFFFF)))
          .Value(ActivityOf(n))
          .Value(static_cast<BOOL>(n % 12 == 0))
          .Value(FileTimeOf(n))
          .Write(handle, kSessionStarted);
    case 1:
      return Payload()
          .Value(static_cast<ULONG>(n))
          .Value(static_cast<ULONGLONG>(n * 1000 + 17))
          .Value(static_cast<ULONG>(n % 5))
          .Write(handle, kSessionStopped);
    case 2:
      return Payload()
          .Value(static_cast<ULONG>(n % 3))
          .Value(static_cast<ULONG>((n + 1) % 3))
          .Value(static_cast<ULONG>(n % 7 + 1))
          .Write(handle, kSessionStateChanged);
    case 3: {
      const USHORT port = static_cast<USHORT>(8000 + n % 100);
      const USHORT samples = static_cast<USHORT>(n % 4 + 1);
      Payload payload;
      payload.Ansi("host" + round + ".demo")
          .Value(static_cast<USHORT>((port >> 8) | (port << 8)))  // network byte order
          .Value(static_cast<ULONGLONG>(4096 * (n + 1)))
          .Value(static_cast<LONGLONG>(n * 3 + 1))
          .Value(static_cast<ULONGLONG>(0xFEEDFACE00000000ull | (n & 0xFFFFFFFF)))
          .Value(static_cast<ULONG>(n % 2 == 0 ? 0 : 0x80070005u))
          .Value(samples);
      for (USHORT i = 0; i < samples; ++i) payload.Value(static_cast<USHORT>((n + i) * 10));
      const char header[] = {'\xDE', '\xAD', static_cast<char>(n & 0xFF), '\x01'};
      return payload.Value(ULONG{sizeof header})
          .Bytes(std::string(header, sizeof header))
          .Value(SystemTimeOf(n))
          .Write(handle, kTransferCompleted);
    }
    case 4:
      return Payload()
          .Value(static_cast<ULONG>(n % 2 == 0 ? 5 : 1460))  // access denied, time-out
          .Value(static_cast<signed char>(-static_cast<int>(n % 3)))
          .Value(static_cast<double>(n) / 4)
          .Wide("retry " + round)
          .Write(handle, kTransferFailed);
    default:
      return Payload().Write(handle, kHeartbeat);
  }
}

ULONG WriteMofEvent(REGHANDLE handle, std::uint64_t n) {
  if (n % 2 == 0) {
    return Payload()
        .Wide("job-" + Number(n))
        .Value(static_cast<ULONG>(n))
        .Value(static_cast<ULONG>(n / 2 % 3))
        .Value(static_cast<ULONG>(0x10 | (n % 16)))
        .Write(handle, kMofStart);
  }
  return Payload()
      .Value(static_cast<ULONG>(n))
      .Value(static_cast<BOOL>(n % 4 == 1))
      .Value(static_cast<LONGLONG>(n * 250))
      .Write(handle, kMofStop);
}

// A WPP message arrives formatted by the provider: its payload is the text itself.
ULONG WriteWppEvent(REGHANDLE handle, std::uint64_t n) {
  if (n % 2 == 0) {
    return Payload()
        .Bytes("[wpp] round " + Number(n) + ": request queued at depth " + Number(n % 9))
        .Write(handle, kWppTrace);
  }
  return Payload().Bytes("[wpp] round " + Number(n) + ": verbose detail " + Number(n * 11)).Write(handle, kWppVerbose);
}

// TraceLogging fields as TraceLoggingWrite lays them out: a UTF-8 string and a UINT32. The
// event's self-description is not written with it: the declared schema of the provider in the
// catalog stands for it, and Conduit's decoder answers TraceLogging events with its
// "not supported" text whatever they carry.
ULONG WriteTraceLoggingEvent(REGHANDLE handle, std::uint64_t n) {
  return Payload().Ansi("tick " + Number(n)).Value(static_cast<ULONG>(n)).Write(handle, kTick);
}

// The raw providers' events: a 16-bit length of the text, then the text.
ULONG WriteRawEvent(REGHANDLE handle, const std::string& text) {
  return Payload().Value(static_cast<USHORT>(text.size())).Bytes(text).Write(handle, kRaw);
}

}  // namespace

DemoEvents::DemoEvents(std::ostream* console) : m_console(console) {
  for (unsigned i = 0; i < kProviders; ++i) {
    m_registrations[i].owner = this;
    m_registrations[i].index = i;
    if (EventRegister(&kProviderTable[i].guid, &OnEnable, &m_registrations[i], &m_registrations[i].handle) !=
        ERROR_SUCCESS) {
      for (unsigned j = 0; j < i; ++j) EventUnregister(m_registrations[j].handle);
      throw std::runtime_error(std::string("EventRegister failed for ") + kProviderTable[i].name);
    }
  }
}

DemoEvents::~DemoEvents() {
  Stop();
  for (Registration& registration : m_registrations) EventUnregister(registration.handle);
}

VOID DemoEvents::OnEnable(LPCGUID, ULONG isEnabled, UCHAR level, ULONGLONG matchAny, ULONGLONG,
                          PEVENT_FILTER_DESCRIPTOR, PVOID context) {
  auto* registration = static_cast<Registration*>(context);
  if (registration == nullptr || registration->owner->m_console == nullptr) return;
  std::lock_guard lock(registration->owner->m_consoleMutex);
  std::ostream& out = *registration->owner->m_console;
  out << "conduit-target: demo provider " << kProviderTable[registration->index].name;
  if (isEnabled != 0) {
    out << " enabled (level " << static_cast<unsigned>(level) << ", any 0x" << std::hex << matchAny << std::dec
        << ")";
  } else {
    out << " disabled";
  }
  out << std::endl;
}

ULONG DemoEvents::WriteEvent(unsigned index, std::uint64_t n) {
  const REGHANDLE handle = index < kProviders ? m_registrations[index].handle : 0;
  switch (index) {
    case kManifest: return WriteManifestEvent(handle, n);
    case kMof: return WriteMofEvent(handle, n);
    case kWpp: return WriteWppEvent(handle, n);
    case kTraceLogging: return WriteTraceLoggingEvent(handle, n);
    case kDux: return WriteRawEvent(handle, "dux round " + Number(n) + ": frame " + Number(n * 3) + " presented");
    case kVex: return WriteRawEvent(handle, "vex round " + Number(n) + ": counter " + Number(n * n));
    default: return ERROR_INVALID_PARAMETER;
  }
}

unsigned DemoEvents::WriteRound(std::uint64_t n) {
  unsigned accepted = 0;
  for (unsigned i = 0; i < kProviders; ++i) {
    if (WriteEvent(i, n) == ERROR_SUCCESS) ++accepted;
  }
  return accepted;
}

void DemoEvents::Start(unsigned rate) {
  Stop();
  m_written = 0;
  if (rate == 0) return;
  {
    std::lock_guard lock(m_mutex);
    m_stop = false;
  }
  m_stopRequested = false;
  m_thread = std::thread([this, rate] { Run(rate); });
}

void DemoEvents::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_stopRequested = true;
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void DemoEvents::Run(unsigned rate) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::nanoseconds;
  // Event k is due at start + k / rate; the schedule is computed from the start every time,
  // so rounding never accumulates into drift.
  const Clock::time_point start = Clock::now();
  const auto dueTime = [&](std::uint64_t k) {
    return start + nanoseconds(static_cast<std::int64_t>(k / rate * 1000000000ull + k % rate * 1000000000ull / rate));
  };
  std::uint64_t scheduled = 0;  // events of the schedule written or dropped so far
  std::uint64_t sequence = 0;   // events written: round sequence / 6, provider sequence % 6
  std::unique_lock lock(m_mutex);
  while (!m_stop) {
    lock.unlock();
    const auto elapsed = std::chrono::duration_cast<nanoseconds>(Clock::now() - start).count();
    const auto seconds = static_cast<std::uint64_t>(elapsed) / 1000000000ull;
    const auto fraction = static_cast<std::uint64_t>(elapsed) % 1000000000ull;
    const std::uint64_t due = seconds * rate + fraction * rate / 1000000000ull + 1;
    // A wake-up more than a second late (a stalled machine) does not turn into a burst.
    if (due > scheduled + rate) scheduled = due - rate;
    while (scheduled < due && !m_stopRequested.load(std::memory_order_relaxed)) {
      WriteEvent(static_cast<unsigned>(sequence % kProviders), sequence / kProviders);
      ++sequence;
      ++scheduled;
      m_written.fetch_add(1, std::memory_order_relaxed);
    }
    lock.lock();
    m_wake.wait_until(lock, dueTime(scheduled), [this] { return m_stop; });
  }
}

}  // namespace conduit::target
