#include "demo_provider.h"

#include <chrono>
#include <iostream>
#include <string>

#include "evntprov.h"
#include "winbase.h"

namespace conduit::target {
namespace {

constexpr GUID kDemoGuid = {0x5A1F0C3E, 0x7B2D, 0x4E8A, {0x9C, 0x61, 0x0D, 0x3F, 0x2B, 0x4A, 0x6E, 0x81}};

void OnEnable(LPCGUID, ULONG isEnabled, UCHAR level, ULONGLONG matchAny, ULONGLONG, PEVENT_FILTER_DESCRIPTOR, PVOID) {
  if (isEnabled != 0) {
    std::cout << "conduit-target: demo provider enabled (level " << static_cast<unsigned>(level) << ", any 0x"
              << std::hex << matchAny << std::dec << ")" << std::endl;
  } else {
    std::cout << "conduit-target: demo provider disabled" << std::endl;
  }
}

}  // namespace

DemoProvider::DemoProvider() {
  m_thread = std::thread([this] {
    REGHANDLE handle = 0;
    if (EventRegister(&kDemoGuid, &OnEnable, nullptr, &handle) != ERROR_SUCCESS) return;
    for (unsigned n = 1; !m_stop.load(); ++n) {
      const std::u16string text = u"demo event " + std::u16string(1, static_cast<char16_t>(u'0' + n % 10));
      EventWriteString(handle, 4, 0x1, text.c_str());
      for (int i = 0; i < 20 && !m_stop.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EventUnregister(handle);
  });
}

DemoProvider::~DemoProvider() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
}

}  // namespace conduit::target
