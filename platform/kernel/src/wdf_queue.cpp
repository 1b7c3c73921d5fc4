// I/O queues and requests: WdfIoQueueCreate, WdfDeviceConfigureRequestDispatching,
// WdfIoQueueGetDevice, WdfRequest*, and the path by which a user-mode read, write or device
// control becomes a request on a queue.
#include <algorithm>

#include "framework.h"

namespace platform::kernel {
namespace {

bool is_write_like(WDF_REQUEST_TYPE type) {
  return type == WdfRequestTypeWrite || type == WdfRequestTypeDeviceControl ||
         type == WdfRequestTypeDeviceControlInternal;
}
bool is_read_like(WDF_REQUEST_TYPE type) {
  return type == WdfRequestTypeRead || type == WdfRequestTypeDeviceControl ||
         type == WdfRequestTypeDeviceControlInternal;
}

NTSTATUS retrieve_buffer(WDFREQUEST handle, bool input, size_t minimum, PVOID* buffer, size_t* length,
                         std::string_view function) {
  require_irql_at_most(DISPATCH_LEVEL, function);
  auto* request = from_handle<FxRequest>(handle, FxType::request, function);
  if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
  *buffer = nullptr;
  if (length != nullptr) *length = 0;
  {
    std::lock_guard lock(request->mutex);
    if (request->completed) return STATUS_INTERNAL_ERROR;
  }
  if (!(input ? is_write_like(request->request_type) : is_read_like(request->request_type)) ||
      !request->buffers_accessible) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  const size_t available = input ? request->input_length : request->output_length;
  if (available == 0 || available < minimum) return STATUS_BUFFER_TOO_SMALL;
  *buffer = input ? request->input : request->output;
  if (length != nullptr) *length = available;
  return STATUS_SUCCESS;
}

void complete_request(WDFREQUEST handle, NTSTATUS status, const ULONG_PTR* information, std::string_view function) {
  require_irql_at_most(DISPATCH_LEVEL, function);
  auto* request = from_handle<FxRequest>(handle, FxType::request, function);
  std::lock_guard lock(request->mutex);
  if (request->completed) {
    bug_check(WDF_VIOLATION, 0x8, reinterpret_cast<ULONG_PTR>(handle), 0, 0,
              std::string(function) + " of a request already completed");
  }
  request->completed = true;
  request->status = status;
  if (information != nullptr) request->information = *information;
  request->done.notify_all();
}

// Presents the request to the queue's callback for its type; the framework completes it
// itself when the queue has none.
void present(FxQueue& queue, FxRequest& request, size_t input_length, size_t output_length) {
  const auto queue_handle = as_handle<WDFQUEUE>(&queue);
  const auto request_handle = as_handle<WDFREQUEST>(&request);
  const WDF_IO_QUEUE_CONFIG& config = queue.config;
  switch (request.request_type) {
    case WdfRequestTypeWrite:
      if (config.EvtIoWrite != nullptr) {
        call_driver("EvtIoWrite", [&] { config.EvtIoWrite(queue_handle, request_handle, input_length); });
        return;
      }
      break;
    case WdfRequestTypeRead:
      if (config.EvtIoRead != nullptr) {
        call_driver("EvtIoRead", [&] { config.EvtIoRead(queue_handle, request_handle, output_length); });
        return;
      }
      break;
    case WdfRequestTypeDeviceControl:
      if (config.EvtIoDeviceControl != nullptr) {
        call_driver("EvtIoDeviceControl", [&] {
          config.EvtIoDeviceControl(queue_handle, request_handle, output_length, input_length,
                                    request.io_control_code);
        });
        return;
      }
      break;
    default:
      break;
  }
  if (config.EvtIoDefault != nullptr) {
    call_driver("EvtIoDefault", [&] { config.EvtIoDefault(queue_handle, request_handle); });
    return;
  }
  complete_request(request_handle, STATUS_INVALID_DEVICE_REQUEST, nullptr, "the framework");
}

}  // namespace

FxQueue::~FxQueue() {
  if (device == nullptr) return;
  std::erase_if(device->dispatch, [&](const auto& entry) { return entry.second == this; });
  if (device->default_queue == this) device->default_queue = nullptr;
}

NTSTATUS dispatch_user_io(FxDevice& device, const UserIo& io, std::uint32_t& transferred) {
  transferred = 0;
  FxQueue* queue = nullptr;
  if (auto it = device.dispatch.find(io.type); it != device.dispatch.end()) queue = it->second;
  if (queue == nullptr) queue = device.default_queue;
  if (queue == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const bool zero_length = (io.type == WdfRequestTypeWrite && io.input_length == 0) ||
                           (io.type == WdfRequestTypeRead && io.output_length == 0);
  if (zero_length && !queue->config.AllowZeroLengthRequests) return STATUS_SUCCESS;

  auto* request = new FxRequest;
  request->request_type = io.type;
  request->queue = queue;
  request->io_control_code = io.io_control_code;
  // The buffers as the I/O manager prepares them: copies in a system buffer for buffered I/O
  // (one buffer for both directions of a METHOD_BUFFERED control code), the caller's own
  // memory for direct I/O.
  std::vector<std::uint8_t> system_buffer;
  bool copy_output_back = false;
  auto* caller_input = const_cast<void*>(io.input);
  if (io.type == WdfRequestTypeWrite) {
    if (device.io_type == WdfDeviceIoDirect) {
      request->input = caller_input;
    } else {
      system_buffer.assign(static_cast<const std::uint8_t*>(io.input),
                           static_cast<const std::uint8_t*>(io.input) + io.input_length);
      request->input = system_buffer.data();
    }
    request->input_length = io.input_length;
  } else if (io.type == WdfRequestTypeRead) {
    if (device.io_type == WdfDeviceIoDirect) {
      request->output = io.output;
    } else {
      system_buffer.resize(io.output_length);
      request->output = system_buffer.data();
      copy_output_back = true;
    }
    request->output_length = io.output_length;
  } else {
    request->input_length = io.input_length;
    request->output_length = io.output_length;
    switch (METHOD_FROM_CTL_CODE(io.io_control_code)) {
      case METHOD_BUFFERED:
        system_buffer.resize(std::max(io.input_length, io.output_length));
        if (io.input_length != 0) std::memcpy(system_buffer.data(), io.input, io.input_length);
        request->input = request->output = system_buffer.empty() ? nullptr : system_buffer.data();
        copy_output_back = true;
        break;
      case METHOD_IN_DIRECT:
      case METHOD_OUT_DIRECT:
        system_buffer.assign(static_cast<const std::uint8_t*>(io.input),
                             static_cast<const std::uint8_t*>(io.input) + io.input_length);
        request->input = system_buffer.data();
        request->output = io.output;
        break;
      default:
        request->buffers_accessible = false;
        request->type3_input = caller_input;
        request->output = io.output;
        break;
    }
  }
  attach_object(*request, nullptr, queue, "the framework");

  {
    std::unique_lock lock(queue->mutex);
    queue->idle.wait(lock, [&] { return !queue->busy; });
    queue->busy = true;
  }
  present(*queue, *request, io.input_length, io.output_length);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  {
    std::unique_lock lock(request->mutex);
    request->done.wait(lock, [&] { return request->completed; });
    status = request->status;
    information = request->information;
  }
  if (copy_output_back && !NT_ERROR(status) && io.output_length != 0) {
    std::memcpy(io.output, system_buffer.data(), std::min<std::size_t>(information, io.output_length));
  }
  transferred = static_cast<std::uint32_t>(std::min<ULONG_PTR>(information, 0xFFFFFFFFu));
  delete_object(request);
  {
    std::lock_guard lock(queue->mutex);
    queue->busy = false;
  }
  queue->idle.notify_one();
  if (current_irql() != PASSIVE_LEVEL) {
    bug_check(IRQL_GT_ZERO_AT_SYSTEM_SERVICE, current_irql(), 0, 0, 0,
              "a request returned to user mode above PASSIVE_LEVEL");
  }
  return status;
}

}  // namespace platform::kernel

using namespace platform::kernel;

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue) {
  KERNEL_STATUS_ENTRY("WdfIoQueueCreate");
  require_irql_at_most(DISPATCH_LEVEL, "WdfIoQueueCreate");
  auto* device = from_handle<FxDevice>(Device, FxType::device, "WdfIoQueueCreate");
  if (Queue != nullptr) *Queue = nullptr;
  if (Config == nullptr) bug_check(WDF_VIOLATION, 0x2, 0, 0, 0, "WdfIoQueueCreate without a configuration");
  if (Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) return STATUS_INFO_LENGTH_MISMATCH;
  // Only sequential queues are modelled.
  if (Config->DispatchType != WdfIoQueueDispatchSequential) return STATUS_NOT_SUPPORTED;
  if (Config->DefaultQueue && device->default_queue != nullptr) return STATUS_INVALID_DEVICE_STATE;
  // A queue belongs to its device.
  if (QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr &&
      QueueAttributes->ParentObject != static_cast<void*>(static_cast<FxObject*>(device))) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* queue = new FxQueue;
  queue->device = device;
  queue->config = *Config;
  const NTSTATUS status = attach_object(*queue, QueueAttributes, device, "WdfIoQueueCreate");
  if (!NT_SUCCESS(status)) {
    delete queue;
    return status;
  }
  if (Config->DefaultQueue) device->default_queue = queue;
  if (Queue != nullptr) *Queue = as_handle<WDFQUEUE>(queue);
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue, WDF_REQUEST_TYPE RequestType) {
  KERNEL_STATUS_ENTRY("WdfDeviceConfigureRequestDispatching");
  require_irql_at_most(PASSIVE_LEVEL, "WdfDeviceConfigureRequestDispatching");
  auto* device = from_handle<FxDevice>(Device, FxType::device, "WdfDeviceConfigureRequestDispatching");
  auto* queue = from_handle<FxQueue>(Queue, FxType::queue, "WdfDeviceConfigureRequestDispatching");
  if (RequestType != WdfRequestTypeRead && RequestType != WdfRequestTypeWrite &&
      RequestType != WdfRequestTypeDeviceControl && RequestType != WdfRequestTypeDeviceControlInternal) {
    return STATUS_INVALID_PARAMETER;
  }
  if (queue->device != device) return STATUS_INVALID_PARAMETER;
  if (device->dispatch.count(RequestType) != 0) return STATUS_INVALID_DEVICE_STATE;
  device->dispatch[RequestType] = queue;
  return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
  KERNEL_ENTRY("WdfIoQueueGetDevice");
  return as_handle<WDFDEVICE>(from_handle<FxQueue>(Queue, FxType::queue, "WdfIoQueueGetDevice")->device);
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length) {
  KERNEL_STATUS_ENTRY("WdfRequestRetrieveInputBuffer");
  return retrieve_buffer(Request, true, MinimumRequiredLength, Buffer, Length, "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                        size_t* Length) {
  KERNEL_STATUS_ENTRY("WdfRequestRetrieveOutputBuffer");
  return retrieve_buffer(Request, false, MinimumRequiredSize, Buffer, Length, "WdfRequestRetrieveOutputBuffer");
}

VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
  KERNEL_ENTRY("WdfRequestGetParameters");
  auto* request = from_handle<FxRequest>(Request, FxType::request, "WdfRequestGetParameters");
  if (Parameters == nullptr) bug_check(WDF_VIOLATION, 0x2, 0, 0, 0, "WdfRequestGetParameters without parameters");
  WDF_REQUEST_PARAMETERS_INIT(Parameters);
  Parameters->Type = request->request_type;
  switch (request->request_type) {
    case WdfRequestTypeWrite: Parameters->Parameters.Write.Length = request->input_length; break;
    case WdfRequestTypeRead: Parameters->Parameters.Read.Length = request->output_length; break;
    default:
      Parameters->Parameters.DeviceIoControl.OutputBufferLength = request->output_length;
      Parameters->Parameters.DeviceIoControl.InputBufferLength = request->input_length;
      Parameters->Parameters.DeviceIoControl.IoControlCode = request->io_control_code;
      Parameters->Parameters.DeviceIoControl.Type3InputBuffer = request->type3_input;
      break;
  }
}

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
  KERNEL_ENTRY("WdfRequestComplete");
  complete_request(Request, Status, nullptr, "WdfRequestComplete");
}

VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
  KERNEL_ENTRY("WdfRequestCompleteWithInformation");
  complete_request(Request, Status, &Information, "WdfRequestCompleteWithInformation");
}

VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
  KERNEL_ENTRY("WdfRequestSetInformation");
  auto* request = from_handle<FxRequest>(Request, FxType::request, "WdfRequestSetInformation");
  std::lock_guard lock(request->mutex);
  request->information = Information;
}
