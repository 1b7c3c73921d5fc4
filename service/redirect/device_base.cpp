#include "device_base.h"

DeviceBase::DeviceBase() : m_hDevice(nullptr) {}

bool DeviceBase::IsOpen() { return m_hDevice != nullptr && m_hDevice != INVALID_HANDLE_VALUE; }

DeviceBase::~DeviceBase() {
  if (m_hDevice != nullptr) {
    CloseHandle(m_hDevice);
    m_hDevice = nullptr;
  }
}
