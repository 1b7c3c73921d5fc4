// The device's registry keys: WdfDeviceOpenRegistryKey, WdfRegistryQueryULong and
// WdfRegistryClose over the values of the machine's device description.
#include "framework.h"
#include "platform/core/text.h"

using namespace platform::kernel;

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
  KERNEL_STATUS_ENTRY("WdfDeviceOpenRegistryKey");
  (void)DesiredAccess;
  require_irql_at_most(PASSIVE_LEVEL, "WdfDeviceOpenRegistryKey");
  auto* device = from_handle<FxDevice>(Device, FxType::device, "WdfDeviceOpenRegistryKey");
  if (Key == nullptr) return STATUS_INVALID_PARAMETER;
  *Key = nullptr;
  const ULONG kind = DeviceInstanceKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
  if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
  auto* key = new FxKey;
  if (kind == PLUGPLAY_REGKEY_DEVICE) {
    for (const auto& [name, value] : device->description.registry) key->values[platform::fold_name(name)] = value;
  }
  const NTSTATUS status = attach_object(*key, KeyAttributes, device, "WdfDeviceOpenRegistryKey");
  if (!NT_SUCCESS(status)) {
    delete key;
    return status;
  }
  *Key = as_handle<WDFKEY>(key);
  return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value) {
  KERNEL_STATUS_ENTRY("WdfRegistryQueryULong");
  require_irql_at_most(PASSIVE_LEVEL, "WdfRegistryQueryULong");
  auto* key = from_handle<FxKey>(Key, FxType::key, "WdfRegistryQueryULong");
  if (ValueName == nullptr || Value == nullptr || ValueName->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
  const auto found =
      key->values.find(platform::fold_name(std::u16string_view(ValueName->Buffer, ValueName->Length / sizeof(WCHAR))));
  if (found == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  *Value = found->second;
  return STATUS_SUCCESS;
}

VOID WdfRegistryClose(WDFKEY Key) {
  KERNEL_ENTRY("WdfRegistryClose");
  require_irql_at_most(PASSIVE_LEVEL, "WdfRegistryClose");
  delete_object(from_handle<FxKey>(Key, FxType::key, "WdfRegistryClose"));
}
