// The framework's objects, shared by the KMDF families (wdf_*.cpp) and the PnP manager
// (pnp.cpp). Internal to platform/kernel.
//
// Every framework object is an FxObject: a handle is its address, checked by a magic word
// and a kind on every use. The object tree (parents and children) is guarded by one lock;
// callbacks into the driver never run under it.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_controls/kernel.h"
#include "kernel_internal.h"
#include "platform/core/devices.h"
#include "wdf.h"

namespace platform::kernel {

enum class FxType : std::uint8_t {
  driver,
  device,
  queue,
  request,
  spin_lock,
  key,
  io_target,
  cm_resource_list,
  io_resource_requirements_list,
  io_resource_list,
};

class FxObject {
 public:
  static constexpr std::uint32_t kAlive = 0x4F784657;  // 'WFxO'

  FxObject(FxType object_type, bool may_be_deleted_by_driver)
      : type(object_type), driver_may_delete(may_be_deleted_by_driver) {}
  virtual ~FxObject();
  FxObject(const FxObject&) = delete;
  FxObject& operator=(const FxObject&) = delete;

  std::uint32_t magic = kAlive;
  const FxType type;
  const bool driver_may_delete;
  FxObject* parent = nullptr;
  std::vector<FxObject*> children;  // guarded by the tree lock
  bool deleting = false;            // guarded by the tree lock
  PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
  PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO context_type = nullptr;
  void* context = nullptr;  // owned, zeroed at creation
};

// Applies the attributes (context, callbacks, parent) and links the object under its parent
// (the attributes' ParentObject, else `default_parent`). STATUS_INFO_LENGTH_MISMATCH for
// attributes of the wrong size; on failure the object is not linked.
NTSTATUS attach_object(FxObject& object, const WDF_OBJECT_ATTRIBUTES* attributes, FxObject* default_parent,
                       std::string_view function);
// Deletes the object and its subtree: cleanup callbacks children first, then destroy
// callbacks, then the memory. Deleting an object whose deletion runs already does nothing
// (a parent's cleanup callback may delete a child it created).
void delete_object(FxObject* object);
// Whether `ancestor` is `object` or above it.
bool descends_from(const FxObject* object, const FxObject* ancestor);

// The object a handle names, bug-checking (WDF_VIOLATION) for NULL, a dead object or
// another kind.
FxObject* object_from_handle(const void* handle, std::string_view function);
template <typename T>
T* from_handle(const void* handle, FxType type, std::string_view function) {
  FxObject* object = object_from_handle(handle, function);
  if (object->type != type) {
    bug_check(WDF_VIOLATION, 0x5, reinterpret_cast<ULONG_PTR>(handle), static_cast<ULONG_PTR>(object->type),
              static_cast<ULONG_PTR>(type), std::string(function) + " of a handle of another kind");
  }
  return static_cast<T*>(object);
}
template <typename Handle>
Handle as_handle(FxObject* object) {
  return reinterpret_cast<Handle>(static_cast<void*>(object));
}

class FxDevice;
class FxQueue;

class FxDriver final : public FxObject {
 public:
  FxDriver() : FxObject(FxType::driver, false) {}
  PDRIVER_OBJECT wdm = nullptr;
  WDF_DRIVER_CONFIG config{};
};

class FxCmResourceList final : public FxObject {
 public:
  FxCmResourceList() : FxObject(FxType::cm_resource_list, false) {}
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
};

class FxIoResourceList final : public FxObject {
 public:
  FxIoResourceList() : FxObject(FxType::io_resource_list, false) {}
  std::vector<IO_RESOURCE_DESCRIPTOR> descriptors;
};

class FxIoResourceRequirementsList final : public FxObject {
 public:
  FxIoResourceRequirementsList() : FxObject(FxType::io_resource_requirements_list, false) {}
  std::vector<FxIoResourceList*> alternatives;  // children
};

class FxIoTarget final : public FxObject {
 public:
  FxIoTarget() : FxObject(FxType::io_target, false) {}
  FxDevice* device = nullptr;
};

// Where requests meet the device's power state: I/O enters while the device works, waits
// while it is in low power (power-managed queues hold requests) and fails once it is
// removed. Power-down and removal wait until what entered has left. Shared with the user-mode
// routes, which outlive the device.
class DeviceGate {
 public:
  enum class State { starting, working, low_power, removed };

  // Requests: false once the device is removed.
  bool enter_for_io();
  // Create, cleanup and close: allowed in any state but removed.
  bool enter_any();
  void leave();
  // Moves to `next` and waits until nothing that entered is still inside.
  void drain(State next);
  void set(State next);
  State state();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::starting;
  int inside_ = 0;
};

class FxDevice final : public FxObject {
 public:
  FxDevice() : FxObject(FxType::device, false) {}

  struct Interface {
    InterfaceClass interface_class;
    std::u16string reference;
    std::u16string path;
  };
  // A preprocess callback for one major function, and the minor functions it wants (all
  // when empty).
  struct Preprocess {
    PFN_WDFDEVICE_WDM_IRP_PREPROCESS callback = nullptr;
    std::vector<UCHAR> minors;
  };

  DEVICE_OBJECT wdm{};  // the device object the framework made (the FDO)
  DEVICE_OBJECT pdo{};  // the bus driver's device below it
  FxDriver* driver = nullptr;
  WDF_DEVICE_IO_TYPE io_type = WdfDeviceIoBuffered;
  WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
  WDF_FDO_EVENT_CALLBACKS fdo{};
  std::map<UCHAR, Preprocess> preprocess;  // by major function
  std::vector<Interface> interfaces;
  std::map<WDF_REQUEST_TYPE, FxQueue*> dispatch;  // set while the device is added
  FxQueue* default_queue = nullptr;
  FxIoTarget* io_target = nullptr;
  WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle_settings{};
  DeviceDescription description;
  std::mutex pci_config_mutex;
  std::atomic<int> bus_interface_references{0};
  std::shared_ptr<DeviceGate> gate = std::make_shared<DeviceGate>();
};

class FxQueue final : public FxObject {
 public:
  FxQueue() : FxObject(FxType::queue, true) {}
  // A deleted queue takes no more requests.
  ~FxQueue() override;
  FxDevice* device = nullptr;
  WDF_IO_QUEUE_CONFIG config{};
  // Sequential dispatch: one request presented at a time, until the driver completes it.
  std::mutex mutex;
  std::condition_variable idle;
  bool busy = false;
};

class FxRequest final : public FxObject {
 public:
  FxRequest() : FxObject(FxType::request, false) {}
  WDF_REQUEST_TYPE request_type = WdfRequestTypeWrite;
  FxQueue* queue = nullptr;
  ULONG io_control_code = 0;
  PVOID input = nullptr;
  size_t input_length = 0;
  PVOID output = nullptr;
  size_t output_length = 0;
  bool buffers_accessible = true;  // false for METHOD_NEITHER
  PVOID type3_input = nullptr;
  std::mutex mutex;
  std::condition_variable done;
  bool completed = false;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
};

class FxSpinLock final : public FxObject {
 public:
  FxSpinLock() : FxObject(FxType::spin_lock, true) {}
  std::mutex lock;
  std::atomic<const void*> owner{nullptr};  // the holding thread's marker
  KIRQL acquired_from = PASSIVE_LEVEL;
};

class FxKey final : public FxObject {
 public:
  FxKey() : FxObject(FxType::key, true) {}
  std::map<std::u16string, ULONG> values;  // by folded name
};

// An IRP the stand-in builds and sends to the driver: create, cleanup and close of user-mode
// opens, and set-power IRPs. The IRP is its first member, so IoCompleteRequest finds it.
struct IrpPacket {
  static constexpr std::uint32_t kMagic = 0x50524949;  // 'IIRP'
  IRP irp{};
  std::uint32_t magic = kMagic;
  IO_STACK_LOCATION stack[3]{};
  std::mutex mutex;
  std::condition_variable completed_signal;
  bool completed = false;
  bool reached_framework = false;

  IrpPacket();
  IO_STACK_LOCATION& location() { return stack[1]; }
};

// Sends the IRP to DriverObject->MajorFunction[major] and returns its completion status,
// waiting when the dispatch routine pends it.
NTSTATUS send_irp(FxDevice& device, IrpPacket& packet);
// The framework's own handling of an IRP that reached it (directly or handed back by a
// preprocess callback).
NTSTATUS framework_handle_irp(FxDevice& device, IrpPacket& packet);
// The framework's dispatch routine, in DriverObject->MajorFunction after WdfDriverCreate.
NTSTATUS framework_dispatch(PDEVICE_OBJECT device_object, PIRP irp);
// The framework device behind a device object, NULL for any other device object.
FxDevice* framework_device(PDEVICE_OBJECT device_object);
// The I/O manager's routine for major functions no driver handles.
NTSTATUS invalid_request_dispatch(PDEVICE_OBJECT device_object, PIRP irp);
// The framework's DriverUnload: EvtDriverUnload, then the driver object's deletion.
VOID framework_driver_unload(PDRIVER_OBJECT driver_object);

// A user-mode read, write or device control on the device: becomes a request on the queue
// configured for its type, waits for its completion and returns its status, with the bytes
// moved in `transferred`.
struct UserIo {
  WDF_REQUEST_TYPE type = WdfRequestTypeWrite;
  const void* input = nullptr;
  std::uint32_t input_length = 0;
  void* output = nullptr;
  std::uint32_t output_length = 0;
  ULONG io_control_code = 0;
};
NTSTATUS dispatch_user_io(FxDevice& device, const UserIo& io, std::uint32_t& transferred);

// The machine's PnP state (pnp.cpp).
FxDriver* current_driver();
void set_current_driver(FxDriver* driver);
FxDevice* current_device();
void set_current_device(FxDevice* device);
// The description of the device being added (WdfDeviceCreate copies it).
const DeviceDescription& description_being_added();

// Lists the interface's path with the configuration manager and routes it to the device
// (when the device has started); the reverse for every interface at removal.
void enable_interface(FxDevice& device, const FxDevice::Interface& interface);
void disable_interfaces(FxDevice& device);

// The user-mode path of an interface of the device: "\\?\<bus>#<device>#<instance>#{class}"
// with "\<reference>" when a reference string is given.
std::u16string interface_path(const DeviceDescription& description, const GUID& interface_class,
                              std::u16string_view reference);

}  // namespace platform::kernel

// What EvtDriverDeviceAdd configures before WdfDeviceCreate.
struct WDFDEVICE_INIT {
  platform::kernel::FxDriver* driver = nullptr;
  WDF_DEVICE_IO_TYPE io_type = WdfDeviceIoBuffered;
  WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
  WDF_FDO_EVENT_CALLBACKS fdo{};
  std::map<UCHAR, platform::kernel::FxDevice::Preprocess> preprocess;
};
