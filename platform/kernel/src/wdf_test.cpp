#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "acpiioct.h"
#include "initguid.h"
#include "ntddk.h"
#include "platform/core/devices.h"
#include "sim/kernel.h"
#include "sim/sim.h"
#include "tessera/model.h"
#include "wdf.h"
#include "wdmguid.h"

namespace {

// sim names the driver's entry point without the kernel headers; it is the same type.
static_assert(std::is_same_v<sim::DriverEntry, PDRIVER_INITIALIZE>);

DEFINE_GUID(kFakeInterface, 0x62dac42b, 0x22c9, 0x4bba, 0x9c, 0x5e, 0xda, 0xb5, 0x81, 0xb1, 0x4e, 0x3e);
constexpr ULONG kIoctlDouble = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG kTag = 0x6B616646;  // 'Fak'

// What the fake driver is told to do, and what it saw.
struct FakeDriver {
  std::vector<std::string> events;
  NTSTATUS prepare_status = STATUS_SUCCESS;
  NTSTATUS d0_entry_status = STATUS_SUCCESS;
  NTSTATUS create_status = STATUS_SUCCESS;  // anything else: its create dispatch refuses the open
  bool leak_pool = false;
  PDRIVER_DISPATCH framework_create = nullptr;
  WDFDEVICE device = nullptr;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> prepared;
  ULONG first_master = 0;
  ULONG master_base = 0;
  NTSTATUS missing_value = STATUS_SUCCESS;
  bool context_was_zeroed = false;
  std::string written;
  bool one_system_buffer = false;
  std::atomic<int> in_write{0};
  std::atomic<int> most_in_write{0};
  std::atomic<KIRQL> irql_under_lock{PASSIVE_LEVEL};

  // Back to a fresh driver's orders, for the next load.
  void clear() {
    events.clear();
    prepare_status = d0_entry_status = create_status = STATUS_SUCCESS;
    prepared.clear();
  }
};
FakeDriver* g_fake = nullptr;

struct DeviceContext {
  PUCHAR csr;
  SIZE_T csr_length;
  WDFSPINLOCK lock;
  PVOID block;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DeviceContext, GetDeviceContext);

// Callbacks run on the threads of the user-mode calls too.
std::mutex g_record_mutex;
void Record(const std::string& event) {
  std::lock_guard lock(g_record_mutex);
  g_fake->events.push_back(event);
}

EVT_WDF_OBJECT_CONTEXT_CLEANUP FakeDriverCleanup;
VOID FakeDriverCleanup(WDFOBJECT) { Record("DriverCleanup"); }
EVT_WDF_DRIVER_UNLOAD FakeDriverUnload;
VOID FakeDriverUnload(WDFDRIVER) { Record("DriverUnload"); }
VOID FakeQueueCleanup(WDFOBJECT) { Record("QueueCleanup"); }
VOID FakeLockCleanup(WDFOBJECT) { Record("LockCleanup"); }

VOID FakeDeviceCleanup(WDFOBJECT device) {
  Record("DeviceCleanup");
  DeviceContext* context = GetDeviceContext(device);
  if (!g_fake->leak_pool) ExFreePoolWithTag(context->block, kTag);
}

NTSTATUS FakeFilterRemove(WDFDEVICE, WDFIORESREQLIST list) {
  Record("FilterRemove");
  // The driver takes no interrupt.
  WDFIORESLIST configuration = WdfIoResourceRequirementsListGetIoResList(list, 0);
  for (ULONG i = WdfIoResourceListGetCount(configuration); i-- > 0;) {
    if (WdfIoResourceListGetDescriptor(configuration, i)->Type == CmResourceTypeInterrupt) {
      WdfIoResourceListRemove(configuration, i);
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS FakeFilterAdd(WDFDEVICE, WDFIORESREQLIST list) {
  Record("FilterAdd");
  WdfIoResourceListGetDescriptor(WdfIoResourceRequirementsListGetIoResList(list, 0), 1)->Flags |=
      CM_RESOURCE_MEMORY_COMBINEDWRITE;
  return STATUS_SUCCESS;
}

NTSTATUS FakeRemoveAdded(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) {
  Record("RemoveAdded");
  return STATUS_SUCCESS;
}

NTSTATUS FakePrepare(WDFDEVICE device, WDFCMRESLIST raw, WDFCMRESLIST) {
  Record("Prepare");
  for (ULONG i = 0; i < WdfCmResourceListGetCount(raw); ++i) {
    g_fake->prepared.push_back(*WdfCmResourceListGetDescriptor(raw, i));
  }
  EXPECT_EQ(WdfCmResourceListGetDescriptor(raw, WdfCmResourceListGetCount(raw)), nullptr);
  DeviceContext* context = GetDeviceContext(device);
  const CM_PARTIAL_RESOURCE_DESCRIPTOR* csr = WdfCmResourceListGetDescriptor(raw, 0);
  context->csr_length = csr->u.Memory.Length;
  context->csr = static_cast<PUCHAR>(MmMapIoSpaceEx(csr->u.Memory.Start, csr->u.Memory.Length, PAGE_READWRITE | PAGE_NOCACHE));
  if (context->csr == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  g_fake->first_master =
      READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(context->csr + tessera::kSoftwareTraceCapabilityBlock)) &
      0xFFFF;
  return g_fake->prepare_status;
}

NTSTATUS FakeRelease(WDFDEVICE device, WDFCMRESLIST) {
  Record("Release");
  DeviceContext* context = GetDeviceContext(device);
  if (context->csr != nullptr) MmUnmapIoSpace(context->csr, context->csr_length);
  context->csr = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS FakeD0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous) {
  Record("D0Entry " + std::to_string(previous));
  return g_fake->d0_entry_status;
}

NTSTATUS FakeD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
  Record("D0Exit " + std::to_string(target));
  return STATUS_SUCCESS;
}

// Set-power IRPs: "<S|D> <state> <action> <previous target>".
NTSTATUS FakePreprocessPower(WDFDEVICE device, PIRP irp) {
  const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  const bool system = location->Parameters.Power.Type == SystemPowerState;
  Record(std::string(system ? "S " : "D ") +
         std::to_string(system ? static_cast<int>(location->Parameters.Power.State.SystemState)
                               : static_cast<int>(location->Parameters.Power.State.DeviceState)) +
         " " + std::to_string(location->Parameters.Power.ShutdownType) + " " +
         std::to_string(location->Parameters.Power.SystemPowerStateContext.TargetSystemState));
  IoSkipCurrentIrpStackLocation(irp);
  return WdfDeviceWdmDispatchPreprocessedIrp(device, irp);
}

NTSTATUS FakeCreate(PDEVICE_OBJECT device_object, PIRP irp) {
  const WDFDEVICE device = WdfWdmDeviceGetWdfDeviceHandle(device_object);
  if (device == nullptr || g_fake->create_status != STATUS_SUCCESS) {
    const NTSTATUS status = device == nullptr ? STATUS_INVALID_DEVICE_STATE : g_fake->create_status;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  Record("Create");
  return g_fake->framework_create(device_object, irp);
}

VOID FakeWrite(WDFQUEUE queue, WDFREQUEST request, size_t length) {
  const int inside = ++g_fake->in_write;
  for (int seen = g_fake->most_in_write; inside > seen && !g_fake->most_in_write.compare_exchange_weak(seen, inside);) {
  }
  DeviceContext* context = GetDeviceContext(WdfIoQueueGetDevice(queue));
  WdfSpinLockAcquire(context->lock);
  g_fake->irql_under_lock = KeGetCurrentIrql();
  WdfSpinLockRelease(context->lock);
  for (int i = 0; i < 50; ++i) std::this_thread::yield();
  PVOID buffer = nullptr;
  size_t available = 0;
  NTSTATUS status = STATUS_SUCCESS;
  __try {
    status = WdfRequestRetrieveInputBuffer(request, 1, &buffer, &available);
  } __except (GetExceptionCode() == STATUS_ACCESS_VIOLATION ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH) {
    status = GetExceptionCode();
  }
  if (NT_SUCCESS(status)) g_fake->written.assign(static_cast<const char*>(buffer), available);
  --g_fake->in_write;
  WdfRequestCompleteWithInformation(request, status, NT_SUCCESS(status) ? length : 0);
}

VOID FakeDeviceControl(WDFQUEUE, WDFREQUEST request, size_t output_length, size_t input_length, ULONG code) {
  WDF_REQUEST_PARAMETERS parameters;
  WDF_REQUEST_PARAMETERS_INIT(&parameters);
  WdfRequestGetParameters(request, &parameters);
  EXPECT_EQ(parameters.Type, WdfRequestTypeDeviceControl);
  EXPECT_EQ(parameters.Parameters.DeviceIoControl.IoControlCode, code);
  EXPECT_EQ(parameters.Parameters.DeviceIoControl.InputBufferLength, input_length);
  if (code != kIoctlDouble) {
    WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
    return;
  }
  PVOID input = nullptr;
  PVOID output = nullptr;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(request, sizeof(ULONG), &input, nullptr);
  if (NT_SUCCESS(status)) status = WdfRequestRetrieveOutputBuffer(request, sizeof(ULONG64), &output, nullptr);
  if (!NT_SUCCESS(status)) {
    WdfRequestComplete(request, status);
    return;
  }
  g_fake->one_system_buffer = input == output && output_length == sizeof(ULONG64);
  ULONG value = 0;
  std::memcpy(&value, input, sizeof value);
  const ULONG64 doubled = 2ull * value;
  std::memcpy(output, &doubled, sizeof doubled);
  WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, sizeof doubled);
}

NTSTATUS FakeDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
  Record("DeviceAdd");
  WdfDeviceInitSetIoType(init, WdfDeviceIoDirect);
  WDF_PNPPOWER_EVENT_CALLBACKS pnp;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
  pnp.EvtDevicePrepareHardware = FakePrepare;
  pnp.EvtDeviceReleaseHardware = FakeRelease;
  pnp.EvtDeviceD0Entry = FakeD0Entry;
  pnp.EvtDeviceD0Exit = FakeD0Exit;
  WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
  WDF_FDO_EVENT_CALLBACKS fdo;
  WDF_FDO_EVENT_CALLBACKS_INIT(&fdo);
  fdo.EvtDeviceFilterAddResourceRequirements = FakeFilterAdd;
  fdo.EvtDeviceFilterRemoveResourceRequirements = FakeFilterRemove;
  fdo.EvtDeviceRemoveAddedResources = FakeRemoveAdded;
  WdfFdoInitSetEventCallbacks(init, &fdo);
  UCHAR set_power = IRP_MN_SET_POWER;
  NTSTATUS status = WdfDeviceInitAssignWdmIrpPreprocessCallback(init, FakePreprocessPower, IRP_MJ_POWER, &set_power, 1);
  if (!NT_SUCCESS(status)) return status;

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DeviceContext);
  attributes.EvtCleanupCallback = FakeDeviceCleanup;
  WDFDEVICE device = nullptr;
  status = WdfDeviceCreate(&init, &attributes, &device);
  if (!NT_SUCCESS(status)) return status;
  g_fake->device = device;
  DeviceContext* context = GetDeviceContext(device);
  g_fake->context_was_zeroed = context->csr == nullptr && context->lock == nullptr && context->block == nullptr;
  context->block = ExAllocatePool2(POOL_FLAG_NON_PAGED, 32, kTag);

  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = device;
  attributes.EvtCleanupCallback = FakeLockCleanup;
  status = WdfSpinLockCreate(&attributes, &context->lock);
  if (!NT_SUCCESS(status)) return status;

  WDF_IO_QUEUE_CONFIG queue_config;
  WDF_IO_QUEUE_CONFIG_INIT(&queue_config, WdfIoQueueDispatchSequential);
  queue_config.EvtIoWrite = FakeWrite;
  queue_config.EvtIoDeviceControl = FakeDeviceControl;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.EvtCleanupCallback = FakeQueueCleanup;
  WDFQUEUE queue = nullptr;
  status = WdfIoQueueCreate(device, &queue_config, &attributes, &queue);
  if (NT_SUCCESS(status)) status = WdfDeviceConfigureRequestDispatching(device, queue, WdfRequestTypeWrite);
  if (NT_SUCCESS(status)) status = WdfDeviceConfigureRequestDispatching(device, queue, WdfRequestTypeDeviceControl);
  if (NT_SUCCESS(status)) status = WdfDeviceCreateDeviceInterface(device, &kFakeInterface, nullptr);
  if (!NT_SUCCESS(status)) return status;

  WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
  WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCannotWakeFromS0);
  idle.IdleTimeoutType = SystemManagedIdleTimeout;
  status = WdfDeviceAssignS0IdleSettings(device, &idle);
  if (!NT_SUCCESS(status)) return status;

  WDFKEY key = nullptr;
  status = WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, WDF_NO_OBJECT_ATTRIBUTES, &key);
  if (!NT_SUCCESS(status)) return status;
  DECLARE_CONST_UNICODE_STRING(master_base, u"etwmasterbase");
  DECLARE_CONST_UNICODE_STRING(missing, u"TXRDebugTraceEnableAtBoot");
  status = WdfRegistryQueryULong(key, &master_base, &g_fake->master_base);
  ULONG ignored = 0;
  g_fake->missing_value = WdfRegistryQueryULong(key, &missing, &ignored);
  WdfRegistryClose(key);
  return status;
}

NTSTATUS FakeDriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
  Record("DriverEntry");
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, FakeDeviceAdd);
  config.EvtDriverUnload = FakeDriverUnload;
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.EvtCleanupCallback = FakeDriverCleanup;
  const NTSTATUS status = WdfDriverCreate(driver_object, registry_path, &attributes, &config, WDF_NO_HANDLE);
  if (!NT_SUCCESS(status)) return status;
  EXPECT_EQ(WdfDriverWdmGetDriverObject(WdfGetDriver()), driver_object);
  g_fake->framework_create = driver_object->MajorFunction[IRP_MJ_CREATE];
  driver_object->MajorFunction[IRP_MJ_CREATE] = FakeCreate;
  return STATUS_SUCCESS;
}

class Framework : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    g_fake = &fake_;
  }
  void TearDown() override {
    sim::reset();
    g_fake = nullptr;
  }

  static std::vector<std::u16string> interface_paths() {
    platform::InterfaceClass interface_class;
    std::memcpy(interface_class.data(), &kFakeInterface, sizeof(GUID));
    return platform::device_interfaces(interface_class);
  }

  // What CreateFileW on the interface path does.
  static platform::NtStatus open(std::shared_ptr<platform::DeviceFile>& file) {
    const auto paths = interface_paths();
    if (paths.empty()) return STATUS_NO_SUCH_DEVICE;
    auto device = platform::find_device(paths.front());
    return device ? device->create(0xC0000000u, 0, file) : STATUS_NO_SUCH_DEVICE;
  }

  static platform::NtStatus write(platform::DeviceFile& file, const std::string& text, std::uint32_t& transferred) {
    return file.write(text.data(), static_cast<std::uint32_t>(text.size()), transferred);
  }

  FakeDriver fake_;
};

TEST_F(Framework, BootRunsTheCallbacksInWindowsOrderAndRemovalCleansUpChildrenFirst) {
  const sim::TesseraDevice device = sim::TesseraDevice::defaults();
  const sim::BootResult boot = sim::load_driver(device, &FakeDriverEntry);
  ASSERT_TRUE(boot.ok()) << boot.failed_step;
  EXPECT_TRUE(sim::driver_loaded());
  EXPECT_EQ(fake_.events, (std::vector<std::string>{"DriverEntry", "DeviceAdd", "FilterRemove", "FilterAdd",
                                                    "RemoveAdded", "Prepare", "D0Entry 5"}));
  EXPECT_TRUE(fake_.context_was_zeroed);
  EXPECT_EQ(fake_.master_base, 256u);
  EXPECT_EQ(fake_.missing_value, STATUS_SUCCESS);
  EXPECT_EQ(fake_.first_master, device.hardware.first_master);
  // The assignment follows the filtered requirements: the interrupt removed, the aperture
  // write-combined.
  ASSERT_EQ(fake_.prepared.size(), 4u);
  EXPECT_EQ(fake_.prepared[0].Type, CmResourceTypeMemory);
  EXPECT_EQ(static_cast<std::uint64_t>(fake_.prepared[0].u.Memory.Start.QuadPart), device.hardware.csr_base);
  EXPECT_EQ(fake_.prepared[0].u.Memory.Length, tessera::kCsrWindowLength);
  EXPECT_EQ(static_cast<std::uint64_t>(fake_.prepared[1].u.Memory.Start.QuadPart), device.hardware.aperture_base);
  EXPECT_EQ(fake_.prepared[1].Flags & CM_RESOURCE_MEMORY_COMBINEDWRITE, CM_RESOURCE_MEMORY_COMBINEDWRITE);
  EXPECT_EQ(fake_.prepared[3].u.Memory.Length, device.hardware.firmware_length);
  ASSERT_EQ(interface_paths().size(), 1u);

  fake_.events.clear();
  EXPECT_TRUE(sim::unload_driver().empty());
  EXPECT_FALSE(sim::driver_loaded());
  EXPECT_EQ(fake_.events, (std::vector<std::string>{"D0Exit 5", "Release", "QueueCleanup", "LockCleanup",
                                                    "DeviceCleanup", "DriverUnload", "DriverCleanup"}));
  EXPECT_TRUE(interface_paths().empty());
}

TEST_F(Framework, RegistryValuesComeFromTheDeviceDescription) {
  sim::TesseraDevice device = sim::TesseraDevice::defaults();
  device.registry[u"ETWMasterBase"] = 300;
  device.registry.erase(u"TXRDebugTraceEnableAtBoot");
  ASSERT_TRUE(sim::load_driver(device, &FakeDriverEntry).ok());
  EXPECT_EQ(fake_.master_base, 300u);
  EXPECT_EQ(fake_.missing_value, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Framework, UserModeCallsOnTheInterfaceBecomeRequestsOnTheQueues) {
  ASSERT_TRUE(sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry).ok());
  const std::u16string path = interface_paths().at(0);
  EXPECT_EQ(path.rfind(u"\\\\?\\PCI#VEN_8086&DEV_7E2A&SUBSYS_12348086&REV_01#", 0), 0u);
  EXPECT_EQ(path.substr(path.size() - 39), u"#{62dac42b-22c9-4bba-9c5e-dab581b14e3e}");

  std::shared_ptr<platform::DeviceFile> file;
  ASSERT_EQ(open(file), STATUS_SUCCESS);
  EXPECT_EQ(fake_.events.back(), "Create");
  std::uint32_t transferred = 0;
  EXPECT_EQ(write(*file, "hello", transferred), STATUS_SUCCESS);
  EXPECT_EQ(fake_.written, "hello");
  EXPECT_EQ(transferred, 5u);
  EXPECT_EQ(fake_.irql_under_lock, DISPATCH_LEVEL);

  const ULONG value = 21;
  ULONG64 doubled = 0;
  EXPECT_EQ(file->io_control(kIoctlDouble, &value, sizeof value, &doubled, sizeof doubled, transferred), STATUS_SUCCESS);
  EXPECT_EQ(doubled, 42u);
  EXPECT_EQ(transferred, sizeof doubled);
  EXPECT_TRUE(fake_.one_system_buffer);
  // Completion statuses reach user mode as Windows maps them.
  EXPECT_EQ(file->io_control(kIoctlDouble, &value, sizeof value, &doubled, 4, transferred), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(platform::nt_status_to_win32_error(STATUS_BUFFER_TOO_SMALL), 122u);
  EXPECT_EQ(file->io_control(0x222000, nullptr, 0, nullptr, 0, transferred), STATUS_INVALID_DEVICE_REQUEST);
  // No queue takes reads; a zero-length write never reaches the driver.
  char buffer[4];
  EXPECT_EQ(file->read(buffer, sizeof buffer, transferred), STATUS_INVALID_DEVICE_REQUEST);
  fake_.written = "unchanged";
  EXPECT_EQ(write(*file, "", transferred), STATUS_SUCCESS);
  EXPECT_EQ(fake_.written, "unchanged");
  file->close();

  // A handle still open at removal fails its calls from then on.
  ASSERT_EQ(open(file), STATUS_SUCCESS);
  sim::unload_driver();
  EXPECT_EQ(write(*file, "late", transferred), STATUS_DEVICE_DOES_NOT_EXIST);
}

TEST_F(Framework, TheDriversOwnCreateDispatchDecidesEachOpen) {
  ASSERT_TRUE(sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry).ok());
  std::shared_ptr<platform::DeviceFile> file;
  fake_.create_status = STATUS_ACCESS_DENIED;
  EXPECT_EQ(open(file), STATUS_ACCESS_DENIED);
  fake_.create_status = STATUS_SUCCESS;
  sim::fail_next("WdfWdmDeviceGetWdfDeviceHandle", 1, 0);
  EXPECT_EQ(open(file), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(open(file), STATUS_SUCCESS);
}

TEST_F(Framework, AQueuePresentsOneRequestAtATime) {
  ASSERT_TRUE(sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry).ok());
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([] {
      std::shared_ptr<platform::DeviceFile> file;
      ASSERT_EQ(open(file), STATUS_SUCCESS);
      for (int i = 0; i < 50; ++i) {
        std::uint32_t transferred = 0;
        EXPECT_EQ(write(*file, "abc", transferred), STATUS_SUCCESS);
      }
      file->close();
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(fake_.most_in_write, 1);
}

TEST_F(Framework, AFailingStepStopsTheSequenceAsTheFrameworkWould) {
  fake_.prepare_status = STATUS_DEVICE_CONFIGURATION_ERROR;
  sim::BootResult boot = sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry);
  EXPECT_EQ(boot.status, STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(boot.failed_step, "EvtDevicePrepareHardware");
  EXPECT_FALSE(sim::driver_loaded());
  EXPECT_TRUE(interface_paths().empty());
  EXPECT_EQ(std::vector<std::string>(fake_.events.begin() + 5, fake_.events.end()),
            (std::vector<std::string>{"Prepare", "Release", "QueueCleanup", "LockCleanup", "DeviceCleanup",
                                      "DriverUnload", "DriverCleanup"}));

  fake_.clear();
  fake_.d0_entry_status = STATUS_DEVICE_NOT_READY;
  boot = sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry);
  EXPECT_EQ(boot.failed_step, "EvtDeviceD0Entry");
  EXPECT_EQ(std::vector<std::string>(fake_.events.begin() + 6, fake_.events.begin() + 8),
            (std::vector<std::string>{"D0Entry 5", "Release"}));

  fake_.clear();
  sim::fail_next_status("WdfDeviceCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
  boot = sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry);
  EXPECT_EQ(boot.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(boot.failed_step, "EvtDriverDeviceAdd");
  EXPECT_EQ(fake_.events, (std::vector<std::string>{"DriverEntry", "DeviceAdd", "DriverUnload", "DriverCleanup"}));

  // A failed DriverEntry unloads without EvtDriverUnload.
  fake_.clear();
  sim::fail_next_status("WdfDriverCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
  boot = sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry);
  EXPECT_EQ(boot.failed_step, "DriverEntry");
  EXPECT_EQ(fake_.events, std::vector<std::string>{"DriverEntry"});
  EXPECT_TRUE(sim::outstanding_pool_allocations().empty());
}

TEST_F(Framework, UnloadReportsThePoolTheDriverLeft) {
  fake_.leak_pool = true;
  ASSERT_TRUE(sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry).ok());
  const auto leaked = sim::unload_driver();
  ASSERT_EQ(leaked.size(), 1u);
  EXPECT_EQ(leaked[0].tag, kTag);
  EXPECT_EQ(leaked[0].size, 32u);
}

TEST_F(Framework, SleepAndHibernationPassThroughThePreprocessCallbackAroundD0ExitAndEntry) {
  ASSERT_TRUE(sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry).ok());
  fake_.events.clear();
  const sim::BootResult resumed =
      sim::sleep_and_resume(sim::SystemSleep::hibernate, [&] { Record("asleep"); });
  ASSERT_TRUE(resumed.ok()) << resumed.failed_step;
  // S4 with PowerActionHibernate going down; S0 after it names hibernation as the previous
  // target.
  EXPECT_EQ(fake_.events, (std::vector<std::string>{"S 5 3 1", "D 4 3 1", "D0Exit 4", "asleep", "S 1 0 5",
                                                    "D 1 0 5", "D0Entry 4"}));
  std::shared_ptr<platform::DeviceFile> file;
  ASSERT_EQ(open(file), STATUS_SUCCESS);
  std::uint32_t transferred = 0;
  EXPECT_EQ(write(*file, "after", transferred), STATUS_SUCCESS);

  fake_.events.clear();
  fake_.d0_entry_status = STATUS_DEVICE_NOT_READY;
  const sim::BootResult failed = sim::sleep_and_resume(sim::SystemSleep::sleep);
  EXPECT_EQ(failed.failed_step, "EvtDeviceD0Entry");
  EXPECT_EQ(fake_.events.at(0), "S 4 2 1");
  EXPECT_FALSE(sim::driver_loaded());
}

TEST_F(Framework, TheBusAnswersConfigurationSpaceAndAcpiFromTheDeviceDescription) {
  ASSERT_TRUE(sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry).ok());
  BUS_INTERFACE_STANDARD bus{};
  ASSERT_EQ(WdfFdoQueryForInterface(fake_.device, &GUID_BUS_INTERFACE_STANDARD, reinterpret_cast<PINTERFACE>(&bus),
                                    sizeof bus, PCI_BUS_INTERFACE_STANDARD_VERSION, nullptr),
            STATUS_SUCCESS);
  UCHAR bytes[4] = {};
  EXPECT_EQ(bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, bytes, 0x2C, 4), 4u);
  EXPECT_EQ(bytes[0] | bytes[1] << 8, 0x8086);
  EXPECT_EQ(bytes[2] | bytes[3] << 8, 0x1234);
  EXPECT_EQ(bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, bytes, 0xFE, 4), 2u);
  const UCHAR latency = 0x40;
  EXPECT_EQ(bus.SetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, const_cast<UCHAR*>(&latency), 0x0D, 1), 1u);
  EXPECT_EQ(bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, bytes, 0x0D, 1), 1u);
  EXPECT_EQ(bytes[0], 0x40);
  bus.InterfaceDereference(bus.Context);

  ACPI_EVAL_INPUT_BUFFER input{};
  input.Signature = ACPI_EVAL_INPUT_BUFFER_SIGNATURE;
  std::memcpy(input.MethodName, "_HID", 4);
  ACPI_EVAL_OUTPUT_BUFFER output{};
  WDF_MEMORY_DESCRIPTOR in;
  WDF_MEMORY_DESCRIPTOR out;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&in, &input, sizeof input);
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&out, &output, sizeof output);
  ULONG_PTR returned = 0;
  const WDFIOTARGET target = WdfDeviceGetIoTarget(fake_.device);
  ASSERT_EQ(WdfIoTargetSendIoctlSynchronously(target, nullptr, IOCTL_ACPI_EVAL_METHOD, &in, &out, nullptr, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof output);
  EXPECT_EQ(output.Signature, ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE);
  EXPECT_EQ(output.Count, 1u);
  EXPECT_EQ(output.Argument[0].Type, ACPI_METHOD_ARGUMENT_INTEGER);
  EXPECT_EQ(output.Argument[0].Argument, *sim::TesseraDevice::defaults().acpi_hid);
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&out, &output, 12);
  EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(target, nullptr, IOCTL_ACPI_EVAL_METHOD, &in, &out, nullptr, &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(output.Length, sizeof output);
  std::memcpy(input.MethodName, "_UID", 4);
  EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(target, nullptr, IOCTL_ACPI_EVAL_METHOD, &in, &out, nullptr, &returned),
            STATUS_OBJECT_NAME_NOT_FOUND);
  sim::unload_driver();

  // An ACPI-enumerated device has no PCI bus interface and, by default, no _HID integer.
  ASSERT_TRUE(sim::load_driver(sim::TesseraDevice::defaults(sim::TesseraBus::acpi), &FakeDriverEntry).ok());
  EXPECT_EQ(interface_paths().at(0).rfind(u"\\\\?\\ACPI#", 0), 0u);
  EXPECT_EQ(WdfFdoQueryForInterface(fake_.device, &GUID_BUS_INTERFACE_STANDARD, reinterpret_cast<PINTERFACE>(&bus),
                                    sizeof bus, PCI_BUS_INTERFACE_STANDARD_VERSION, nullptr),
            STATUS_NOT_SUPPORTED);
  std::memcpy(input.MethodName, "_HID", 4);
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&out, &output, sizeof output);
  EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(fake_.device), nullptr, IOCTL_ACPI_EVAL_METHOD, &in,
                                              &out, nullptr, &returned),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

VOID CountCleanup(WDFOBJECT object) {
  (void)object;
  Record("Cleanup");
}

TEST_F(Framework, ObjectsEnforceTheirRulesAndDeleteWithTheirCleanup) {
  ASSERT_TRUE(sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry).ok());
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.EvtCleanupCallback = CountCleanup;
  WDFSPINLOCK lock = nullptr;
  ASSERT_EQ(WdfSpinLockCreate(&attributes, &lock), STATUS_SUCCESS);
  EXPECT_EQ(WdfObjectGetTypedContext(lock, DeviceContext), nullptr);
  EXPECT_NE(WdfObjectGetTypedContext(fake_.device, DeviceContext), nullptr);
  WdfSpinLockAcquire(lock);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_DEATH(WdfSpinLockAcquire(lock), "STOP: 0x0000010D");
  WdfSpinLockRelease(lock);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        WdfSpinLockAcquire(lock);
      },
      "STOP: 0x00000009");
  fake_.events.clear();
  WdfObjectDelete(lock);
  EXPECT_EQ(fake_.events, std::vector<std::string>{"Cleanup"});
  EXPECT_DEATH(WdfObjectDelete(fake_.device), "STOP: 0x0000010D");
  EXPECT_DEATH(WdfSpinLockAcquire(nullptr), "STOP: 0x0000010D");
}

TEST_F(Framework, StructuredExceptionsReachTheDriversFilterOrBugCheckWhenUnhandled) {
  ASSERT_TRUE(sim::load_driver(sim::TesseraDevice::defaults(), &FakeDriverEntry).ok());
  std::shared_ptr<platform::DeviceFile> file;
  ASSERT_EQ(open(file), STATUS_SUCCESS);
  std::uint32_t transferred = 0;
  sim::raise_next("WdfRequestRetrieveInputBuffer", STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(write(*file, "x", transferred), STATUS_ACCESS_VIOLATION);
  // The device control path has no guard.
  const ULONG value = 1;
  ULONG64 doubled = 0;
  EXPECT_DEATH(
      {
        sim::raise_next("WdfRequestRetrieveInputBuffer", STATUS_ACCESS_VIOLATION);
        file->io_control(kIoctlDouble, &value, sizeof value, &doubled, sizeof doubled, transferred);
      },
      "STOP: 0x0000001E");
}

}  // namespace
