#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "etw/runtime.h"
#include "ntddk.h"
#include "sim/kernel.h"
#include "sim/sim.h"

namespace {

constexpr GUID kProvider = {0x7d2c5a1e, 0x3f4b, 0x4c8d, {0x9a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x60, 0x71}};

struct EnableCalls {
  std::vector<ULONG> control_codes;
  std::vector<UCHAR> levels;
};

VOID OnEnable(LPCGUID, ULONG ControlCode, UCHAR Level, ULONGLONG, ULONGLONG, PEVENT_FILTER_DESCRIPTOR,
              PVOID CallbackContext) {
  auto* calls = static_cast<EnableCalls*>(CallbackContext);
  calls->control_codes.push_back(ControlCode);
  calls->levels.push_back(Level);
}

TEST(KernelEtw, DriverEventsReachUserModeSessionsOfTheSameRuntime) {
  sim::reset();
  sim::set_current_processor(3);
  EnableCalls calls;
  REGHANDLE handle = 0;
  ASSERT_EQ(EtwRegister(&kProvider, &OnEnable, &calls, &handle), STATUS_SUCCESS);

  const etw::SessionResult session = etw::runtime().start_session(u"KernelEtwTest");
  ASSERT_EQ(session.status, etw::Status::ok);
  etw::Guid provider;
  std::memcpy(static_cast<void*>(&provider), &kProvider, sizeof provider);
  etw::EnableSettings settings;
  settings.level = 4;
  ASSERT_EQ(etw::runtime().enable_provider(session.info.handle, provider, settings), etw::Status::ok);
  EXPECT_EQ(calls.control_codes, std::vector<ULONG>{EVENT_CONTROL_CODE_ENABLE_PROVIDER});
  EXPECT_EQ(calls.levels, std::vector<UCHAR>{4});

  EVENT_DESCRIPTOR verbose{7, 0, 0, 5, 0, 0, 0};
  EVENT_DESCRIPTOR info{8, 1, 0, 4, 0, 0, 0};
  EXPECT_FALSE(EtwEventEnabled(handle, &verbose));
  EXPECT_TRUE(EtwEventEnabled(handle, &info));
  const ULONG payload = 0xC0FFEE;
  EVENT_DATA_DESCRIPTOR data;
  EventDataDescCreate(&data, &payload, sizeof payload);
  const LARGE_INTEGER before = KeQueryPerformanceCounter(nullptr);
  ASSERT_EQ(EtwWrite(handle, &info, nullptr, 1, &data), STATUS_SUCCESS);
  const LARGE_INTEGER after = KeQueryPerformanceCounter(nullptr);
  EXPECT_EQ(EtwWrite(handle + 1, &info, nullptr, 1, &data), STATUS_INVALID_HANDLE);
  sim::fail_next_status("EtwWrite", 1, STATUS_NO_MEMORY);
  EXPECT_EQ(EtwWrite(handle, &info, nullptr, 1, &data), STATUS_NO_MEMORY);

  const etw::OpenResult consumer = etw::runtime().open_consumer(u"KernelEtwTest");
  ASSERT_EQ(consumer.status, etw::Status::ok);
  etw::runtime().stop_session(session.info.handle);
  EXPECT_EQ(calls.control_codes.back(), static_cast<ULONG>(EVENT_CONTROL_CODE_DISABLE_PROVIDER));
  std::vector<etw::EventView> events;
  ULONG delivered_payload = 0;
  etw::runtime().process(consumer.handle, [&](const etw::EventView& event) {
    events.push_back(event);
    std::memcpy(&delivered_payload, event.user_data, sizeof delivered_payload);
  });
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].provider_id, provider);
  EXPECT_EQ(events[0].descriptor.id, 8);
  EXPECT_EQ(delivered_payload, payload);
  EXPECT_EQ(events[0].processor_number, 3);
  EXPECT_GE(events[0].timestamp, before.QuadPart);
  EXPECT_LE(events[0].timestamp, after.QuadPart);

  EXPECT_EQ(EtwUnregister(handle), STATUS_SUCCESS);
  EXPECT_EQ(EtwUnregister(handle), STATUS_INVALID_HANDLE);
}

}  // namespace
