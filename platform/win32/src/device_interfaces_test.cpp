#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cfgmgr32.h"
#include "sim/devices.h"
#include "sim/sim.h"
#include "winbase.h"

namespace {

constexpr GUID kClass = {0x62DAC42B, 0x22C9, 0x4BBA, {0x9C, 0x5E, 0xDA, 0xB5, 0x81, 0xB1, 0x4E, 0x3E}};
constexpr char kClassText[] = "{62DAC42B-22C9-4BBA-9C5E-DAB581B14E3E}";

class NullDevice : public platform::Device {
 public:
  platform::NtStatus create(std::uint32_t, std::uint32_t, std::shared_ptr<platform::DeviceFile>& file) override {
    file = std::make_shared<platform::DeviceFile>();
    return platform::kStatusSuccess;
  }
};

std::vector<std::u16string> List() {
  GUID guid = kClass;
  ULONG size = 0;
  EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(&size, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
            static_cast<CONFIGRET>(CR_SUCCESS));
  std::u16string buffer(size, u'?');
  EXPECT_EQ(CM_Get_Device_Interface_ListW(&guid, nullptr, buffer.data(), size, CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
            static_cast<CONFIGRET>(CR_SUCCESS));
  std::vector<std::u16string> paths;
  for (std::size_t at = 0; at < buffer.size() && buffer[at] != 0;) {
    paths.emplace_back(buffer.c_str() + at);
    at += paths.back().size() + 1;
  }
  return paths;
}

TEST(DeviceInterfaces, ListsInstancesOfTheClassInOrder) {
  sim::reset();
  EXPECT_TRUE(List().empty());
  sim::register_device_interface(kClassText, u"\\\\?\\ROOT#TXR#0000#{62dac42b}", std::make_shared<NullDevice>());
  sim::register_device_interface("{00000000-0000-0000-0000-000000000001}", u"\\\\?\\OTHER", std::make_shared<NullDevice>());
  sim::register_device_interface(kClassText, u"\\\\?\\ROOT#TXR#0001#{62dac42b}", std::make_shared<NullDevice>());
  EXPECT_EQ(List(), (std::vector<std::u16string>{u"\\\\?\\ROOT#TXR#0000#{62dac42b}", u"\\\\?\\ROOT#TXR#0001#{62dac42b}"}));
  HANDLE device = CreateFileW(u"\\\\?\\ROOT#TXR#0001#{62dac42b}", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(device, INVALID_HANDLE_VALUE);
  CloseHandle(device);

  GUID guid = kClass;
  ULONG size = 0;
  CM_Get_Device_Interface_List_SizeW(&size, &guid, nullptr, 0);
  std::u16string small(size - 1, u'\0');
  EXPECT_EQ(CM_Get_Device_Interface_ListW(&guid, nullptr, small.data(), size - 1, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  sim::fail_next("CM_Get_Device_Interface_List_SizeW", 1, CR_FAILURE);
  EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(&size, &guid, nullptr, 0), static_cast<CONFIGRET>(CR_FAILURE));
  EXPECT_EQ(CM_MapCrToWin32Err(CR_FAILURE, 2), 2u);
  EXPECT_EQ(CM_MapCrToWin32Err(CR_BUFFER_SMALL, 2), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  sim::reset();
  EXPECT_TRUE(List().empty());
}

}  // namespace
